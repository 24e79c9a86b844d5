// The individual CMSIS-DAP commands and the batched DAP_Transfer with the
// probe's WAIT and FAULT answers handled.
#include <cstring>

#include "platform/clock.h"
#include "probe/dap_priv.h"
#include "platform/log_store.h"



static bool status_ok(DapContext* ctx, int len) { return dap_io(ctx, len) && ctx->in_len >= 2 && ctx->pkt_in[2] == 0; }

bool dap_cmd_connect(DapContext* ctx) {
    ctx->pkt_out[1] = 0x02;
    ctx->pkt_out[2] = 1;  // SWD
    if (!dap_io(ctx, 2) || ctx->in_len < 2) return false;
    uint8_t port = ctx->pkt_in[2];
    log_addf(&logv, "[DAP] DAP_Connect: port=0x%02X", port);
    return port == 1 || port == 0;
}

bool dap_cmd_disconnect(DapContext* ctx) {
    ctx->pkt_out[1] = 0x03;
    return status_ok(ctx, 1);
}

bool dap_cmd_swj_pins(DapContext* ctx, uint8_t output, uint8_t select, uint32_t wait_us) {
    ctx->pkt_out[1] = 0x10;
    ctx->pkt_out[2] = output;
    ctx->pkt_out[3] = select;
    dap_put32(ctx->pkt_out + 4, wait_us);
    return dap_io(ctx, 7) && ctx->in_len >= 2;
}

bool dap_cmd_swj_clock(DapContext* ctx, uint32_t freq_hz) {
    ctx->pkt_out[1] = 0x11;
    dap_put32(ctx->pkt_out + 2, freq_hz);
    return status_ok(ctx, 5);
}

bool dap_cmd_swj_sequence(DapContext* ctx, uint8_t bit_count, const uint8_t* data, int data_bytes) {
    int bits = bit_count ? bit_count : 256;
    if (data_bytes < (bits + 7) / 8 || data_bytes > 32 || 2 + data_bytes > dap_packet_limit(ctx)) return false;
    ctx->pkt_out[1] = 0x12;
    ctx->pkt_out[2] = bit_count;
    std::memcpy(ctx->pkt_out + 3, data, (size_t)data_bytes);
    return status_ok(ctx, 2 + data_bytes);
}

bool dap_cmd_swd_configure(DapContext* ctx, uint8_t cfg) {
    ctx->pkt_out[1] = 0x13;
    ctx->pkt_out[2] = cfg;
    return status_ok(ctx, 2);
}

// Match retries let a register read wait for S_REGRDY inside the probe.
static const uint16_t kMatchRetry = 100;

bool dap_cmd_transfer_configure(DapContext* ctx) {
    ctx->pkt_out[1] = 0x04;
    ctx->pkt_out[2] = 2;    // idle cycles
    ctx->pkt_out[3] = 150;  // WAIT retries
    ctx->pkt_out[4] = 0;
    ctx->pkt_out[5] = (uint8_t)kMatchRetry;
    ctx->pkt_out[6] = (uint8_t)(kMatchRetry >> 8);
    return status_ok(ctx, 6);
}

bool dap_cmd_info_packet_size(DapContext* ctx, uint16_t* size) {
    ctx->pkt_out[1] = 0x00;
    ctx->pkt_out[2] = 0xFF;
    if (!dap_io(ctx, 2) || ctx->in_len < 4 || ctx->pkt_in[2] != 2) return false;
    uint16_t v = (uint16_t)(ctx->pkt_in[3] | ctx->pkt_in[4] << 8);
    if (v < 64) return false;
    *size = v;
    return true;
}

bool dap_cmd_info_packet_count(DapContext* ctx, uint8_t* count) {
    ctx->pkt_out[1] = 0x00;
    ctx->pkt_out[2] = 0xFE;
    if (!dap_io(ctx, 2) || ctx->in_len < 3 || ctx->pkt_in[2] != 1 || ctx->pkt_in[3] == 0) return false;
    *count = ctx->pkt_in[3];
    return true;
}

static bool carries_data(uint8_t req) {
    bool read = req & DAP_REQ_READ;
    return !read || (req & DAP_REQ_MATCH_VALUE);
}

static bool returns_data(uint8_t req) { return (req & DAP_REQ_READ) && !(req & DAP_REQ_MATCH_VALUE); }

bool dap_transfer_fits(const DapContext* ctx, const DapXfer* xfers, int count) {
    if (count < 1 || count > DAP_MAX_XFERS) return false;
    int out = 3, in = 3;
    for (int i = 0; i < count; ++i) {
        out += carries_data(xfers[i].req) ? 5 : 1;
        if (returns_data(xfers[i].req)) in += 4;
    }
    int limit = dap_packet_limit(ctx);
    return out <= limit && in <= limit;
}

static int build_transfer(DapContext* ctx, const DapXfer* xfers, int count) {
    return dap_build_transfer(ctx->pkt_out + 1, xfers, count);
}

int dap_build_transfer(uint8_t* p, const DapXfer* xfers, int count) {
    p[0] = 0x05;
    p[1] = 0;  // DAP index
    p[2] = (uint8_t)count;
    int n = 3;
    for (int i = 0; i < count; ++i) {
        p[n++] = xfers[i].req;
        if (carries_data(xfers[i].req)) {
            dap_put32(p + n, xfers[i].data);
            n += 4;
        }
    }
    return n;
}


static void write_abort(DapContext* ctx) {
    uint8_t* p = ctx->pkt_out + 1;
    p[0] = 0x05;
    p[1] = 0;
    p[2] = 1;
    p[3] = DAP_REQ_DP_ABORT_W;
    dap_put32(p + 4, DAP_ABORT_ALL);
    dap_io(ctx, 8);
}

int dap_transfer_n(DapContext* ctx, const DapXfer* xfers, int count, uint32_t* out_data) {
    if (!ctx || !ctx->open || !dap_transfer_fits(ctx, xfers, count)) return -1;
    int waits = 0, faults = 0;
    for (;;) {
        int len = build_transfer(ctx, xfers, count);
        if (!dap_io(ctx, len) || ctx->in_len < 3) return -1;
        uint8_t ack = ctx->pkt_in[3];
        if (ack == 1) break;
        if (ack == 2) {
            if (++waits > DAP_WAIT_RETRIES) return -1;
            // The target stayed busy through all of the probe's own retries
            // (a flash stalling the bus): give it a millisecond before asking again.
            plat_sleep_ms(1);
            continue;
        }
        if (ack == 4) {
            // ABORT clears the sticky error; the packet can go again at once.
            if (++faults > DAP_FAULT_RETRIES) return -1;
            write_abort(ctx);
            ctx->csw_valid = false;
            continue;
        }
        return -1;  // no acknowledge, protocol error, value mismatch
    }
    return dap_answer_data(ctx, xfers, count, out_data);
}

int dap_transfer_once(DapContext* ctx, const DapXfer* xfers, int count, uint32_t* out_data, DapStop* stop) {
    *stop = DAP_STOP_LINK;
    if (!ctx || !ctx->open || !dap_transfer_fits(ctx, xfers, count)) return 0;
    int len = build_transfer(ctx, xfers, count);
    if (!dap_io(ctx, len) || ctx->in_len < 3) return 0;
    const uint8_t response = ctx->pkt_in[3];  // ACK bits 2..0, value mismatch bit 4
    const int done = dap_answer_data(ctx, xfers, count, out_data);
    if (response == 1) *stop = done == count ? DAP_STOP_NONE : DAP_STOP_LINK;
    else if (response == 0x11) *stop = DAP_STOP_MISMATCH;
    else {
        // WAIT after the probe's own retries, FAULT or no answer: the sticky
        // flags must go before anything else can pass.
        write_abort(ctx);
        ctx->csw_valid = false;
        *stop = DAP_STOP_ACK;
    }
    return done;
}

// The answer's count, and the values of the reads it holds.
int dap_answer_data(const DapContext* ctx, const DapXfer* xfers, int count, uint32_t* out_data) {
    int done = ctx->pkt_in[2];
    if (done > count) done = count;
    if (out_data) {
        // Only what the answer really holds: its count and its received length.
        int off = 4, avail = ctx->in_len + 1;
        for (int i = 0; i < done; ++i) {
            if (!returns_data(xfers[i].req)) continue;
            if (off + 4 > avail) return i;
            out_data[i] = dap_get32(ctx->pkt_in + off);
            off += 4;
        }
    }
    return done;
}
