#include "sim/dap_fw.h"

#include <cstdio>
#include <cstring>

#include "sim/dap_fw_priv.h"

void sim_dap_default_config(SimDapConfig* c) {
    std::memset(c, 0, sizeof *c);
    std::snprintf(c->vendor, sizeof c->vendor, "Korvane");
    std::snprintf(c->product, sizeof c->product, "Korvane Sim CMSIS-DAP");
    std::snprintf(c->serial, sizeof c->serial, "KSIM00000001");
    std::snprintf(c->fw_version, sizeof c->fw_version, "1.0.0");
    std::snprintf(c->protocol_version, sizeof c->protocol_version, "2.1.0");
    c->packet_size = 512;
    c->packet_count = 4;
    c->jtag_capability = false;
    c->max_swj_clock_hz = 10000000;
}

void sim_dap_reset(SimDap* d) {
    d->connected = false;
    d->idle_cycles = 0;
    d->wait_retry = 100;
    d->match_retry = 0;
    d->match_mask = 0xFFFFFFFFu;
    d->turnaround = 1;
    d->data_phase = false;
    d->clock_hz = 1000000;
    d->pins = 0xFF;
    d->clock_rem = 0;
}

bool sim_dap_init(SimDap* d, const SimDapConfig* c, SimSwd* swd, SimTargetLines lines, SimTicker ticker) {
    std::memset(d, 0, sizeof *d);
    d->cfg = *c;
    d->swd = swd;
    d->lines = lines;
    d->ticker = ticker;
    sim_dap_reset(d);
    return swd != nullptr && c->packet_size >= 64 && c->packet_size <= SIM_DAP_MAX_PACKET &&
           c->packet_count >= 1 && c->max_swj_clock_hz > 0 && ticker.advance != nullptr &&
           ticker.now_ns != nullptr;
}

// --- helpers ---------------------------------------------------------------

void sim_dap_put8(SimDapOut* o, uint8_t v) {
    if (o->len >= o->cap) {
        o->overflow = true;
        return;
    }
    o->p[o->len++] = v;
}
void sim_dap_put16(SimDapOut* o, uint16_t v) {
    sim_dap_put8(o, (uint8_t)v);
    sim_dap_put8(o, (uint8_t)(v >> 8));
}
void sim_dap_put32(SimDapOut* o, uint32_t v) {
    sim_dap_put16(o, (uint16_t)v);
    sim_dap_put16(o, (uint16_t)(v >> 16));
}
uint16_t sim_dap_get16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }
uint32_t sim_dap_get32(const uint8_t* p) { return (uint32_t)sim_dap_get16(p) | ((uint32_t)sim_dap_get16(p + 2) << 16); }

static void advance_ns(SimDap* d, uint64_t ns, uint64_t* counter) {
    *counter += ns;
    if (ns) d->ticker.advance(d->ticker.ctx, ns);
}

void sim_dap_clocks(SimDap* d, uint64_t clocks) {
    d->counters.swd_clocks += clocks;
    uint64_t total = clocks * 1000000000ull + d->clock_rem;
    d->clock_rem = total % d->clock_hz;
    advance_ns(d, total / d->clock_hz, &d->counters.swd_ns);
}

uint32_t sim_dap_timestamp(const SimDap* d) {
    return (uint32_t)(d->ticker.now_ns(d->ticker.ctx) / 1000);  // 1 MHz test domain timer
}

uint8_t sim_dap_swd(SimDap* d, uint8_t request, uint32_t* data) {
    SimDapCounters& k = d->counters;
    for (unsigned retry = 0;; ++retry) {
        uint8_t a = sim_swd_transfer(d->swd, request, data);
        bool ap = (request & SIM_SWD_APNDP) != 0, rd = (request & SIM_SWD_RNW) != 0;
        (ap ? (rd ? k.ap_reads : k.ap_writes) : (rd ? k.dp_reads : k.dp_writes))++;
        // 8 request + turnaround + 3 ACK + turnaround + 32 data + parity.
        uint64_t clocks = 8 + d->turnaround + 3 + d->turnaround;
        if (a == SIM_SWD_ACK_OK || d->data_phase) clocks += 33;
        sim_dap_clocks(d, clocks + d->idle_cycles);
        if (a == SIM_SWD_ACK_WAIT) k.waits++;
        if (a == SIM_SWD_ACK_FAULT) k.faults++;
        if (a == SIM_SWD_ACK_NONE) k.no_acks++;
        if (a != SIM_SWD_ACK_WAIT || retry >= d->wait_retry) return a;
    }
}

// --- commands --------------------------------------------------------------

static size_t info_length(const SimDap* d, uint8_t id) {
    auto str = [](const char* s) { return s[0] ? std::strlen(s) + 1 : 0; };
    switch (id) {
    case 0x01: return str(d->cfg.vendor);
    case 0x02: return str(d->cfg.product);
    case 0x03: return str(d->cfg.serial);
    case 0x04: return str(d->cfg.protocol_version);
    case 0x09: return str(d->cfg.fw_version);
    case 0xF0: return 1;
    case 0xF1: return 4;
    case 0xFE: return 1;
    case 0xFF: return 2;
    default: return 0;  // target/board strings empty; no UART, no SWO
    }
}

static void info(SimDap* d, uint8_t id, SimDapOut* o) {
    size_t n = info_length(d, id);
    sim_dap_put8(o, SIM_DAP_INFO);
    sim_dap_put8(o, (uint8_t)n);
    const char* s = nullptr;
    switch (id) {
    case 0x01: s = d->cfg.vendor; break;
    case 0x02: s = d->cfg.product; break;
    case 0x03: s = d->cfg.serial; break;
    case 0x04: s = d->cfg.protocol_version; break;
    case 0x09: s = d->cfg.fw_version; break;
    case 0xF0: sim_dap_put8(o, (uint8_t)(0x01 | (d->cfg.jtag_capability ? 0x02 : 0) | 0x20)); return;
    case 0xF1: sim_dap_put32(o, 1000000); return;
    case 0xFE: sim_dap_put8(o, d->cfg.packet_count); return;
    case 0xFF: sim_dap_put16(o, d->cfg.packet_size); return;
    default: return;
    }
    for (size_t i = 0; i < n; ++i) sim_dap_put8(o, (uint8_t)s[i]);  // includes the NUL
}

static void set_pins(SimDap* d, uint8_t out, uint8_t select) {
    d->pins = (uint8_t)((d->pins & ~select) | (out & select));
    if ((select & 0x80) && d->lines.set_nreset)
        d->lines.set_nreset(d->lines.ctx, (d->pins & 0x80) == 0);
}

// Pins as read back: what we drive (open-drain nRESET pulled up), TDO low.
static uint8_t read_pins(const SimDap* d) { return (uint8_t)(d->pins & 0xA7); }

static void seq_bits(SimDap* d, const uint8_t* bits, unsigned n) {
    sim_swd_sequence(d->swd, bits, n);
    sim_dap_clocks(d, n);
}

// Request length (from the packet) and response length of a command; false =
// malformed. Unknown commands have no length: *known = false.
static bool measure(const SimDap* d, const uint8_t* req, size_t n, size_t* req_len, size_t* resp_len, bool* known) {
    *known = true;
    auto fixed = [&](size_t rq, size_t rs) {
        *req_len = rq;
        *resp_len = rs;
        return n >= rq;
    };
    switch (req[0]) {
    case SIM_DAP_INFO:
        if (n < 2) return false;
        return fixed(2, 2 + info_length(d, req[1]));
    case SIM_DAP_HOST_STATUS: return fixed(3, 2);
    case SIM_DAP_CONNECT: return fixed(2, 2);
    case SIM_DAP_DISCONNECT: return fixed(1, 2);
    case SIM_DAP_TRANSFER_CONFIGURE: return fixed(6, 2);
    case SIM_DAP_TRANSFER: return sim_dap_measure_transfer(req, n, req_len, resp_len);
    case SIM_DAP_TRANSFER_BLOCK: return sim_dap_measure_block(req, n, req_len, resp_len);
    case SIM_DAP_TRANSFER_ABORT: return fixed(1, 0);
    case SIM_DAP_WRITE_ABORT: return fixed(6, 2);
    case SIM_DAP_DELAY: return fixed(3, 2);
    case SIM_DAP_RESET_TARGET: return fixed(1, 3);
    case SIM_DAP_SWJ_PINS: return fixed(7, 2);
    case SIM_DAP_SWJ_CLOCK: return fixed(5, 2);
    case SIM_DAP_SWJ_SEQUENCE: {
        if (n < 2) return false;
        unsigned bits = req[1] ? req[1] : 256;
        return fixed(2 + (bits + 7) / 8, 2);
    }
    case SIM_DAP_SWD_CONFIGURE: return fixed(2, 2);
    case SIM_DAP_SWD_SEQUENCE: {
        if (n < 2) return false;
        size_t pos = 2, rs = 2;
        for (unsigned i = 0; i < req[1]; ++i) {
            if (pos >= n) return false;
            uint8_t info = req[pos++];
            unsigned bits = (info & 0x3F) ? (info & 0x3F) : 64;
            if (info & 0x80) {
                rs += (bits + 7) / 8;
            } else {
                if (n - pos < (bits + 7) / 8) return false;
                pos += (bits + 7) / 8;
            }
        }
        *req_len = pos;
        *resp_len = rs;
        return true;
    }
    default: *known = false; return false;
    }
}

// Runs one command already measured to fit.
static void run(SimDap* d, const uint8_t* req, SimDapOut* o) {
    uint8_t cmd = req[0];
    switch (cmd) {
    case SIM_DAP_INFO: info(d, req[1], o); return;
    case SIM_DAP_HOST_STATUS:
        sim_dap_put8(o, cmd);
        sim_dap_put8(o, req[1] <= 1 ? SIM_DAP_OK : SIM_DAP_ERROR);
        return;
    case SIM_DAP_CONNECT: {
        uint8_t port = req[1] == 0 ? 1 : req[1];  // default port is SWD
        d->connected = port == 1;
        sim_dap_put8(o, cmd);
        sim_dap_put8(o, d->connected ? 1 : 0);
        return;
    }
    case SIM_DAP_DISCONNECT:
        d->connected = false;
        sim_dap_put8(o, cmd);
        sim_dap_put8(o, SIM_DAP_OK);
        return;
    case SIM_DAP_TRANSFER_CONFIGURE:
        d->idle_cycles = req[1];
        d->wait_retry = sim_dap_get16(req + 2);
        d->match_retry = sim_dap_get16(req + 4);
        sim_dap_put8(o, cmd);
        sim_dap_put8(o, SIM_DAP_OK);
        return;
    case SIM_DAP_TRANSFER: sim_dap_transfer(d, req, o); return;
    case SIM_DAP_TRANSFER_BLOCK: sim_dap_transfer_block(d, req, o); return;
    case SIM_DAP_TRANSFER_ABORT: return;  // commands run to completion here: nothing to abort, no answer
    case SIM_DAP_WRITE_ABORT: {
        uint32_t v = sim_dap_get32(req + 2);
        bool ok = d->connected && sim_dap_swd(d, 0x00, &v) == SIM_SWD_ACK_OK;
        sim_dap_put8(o, cmd);
        sim_dap_put8(o, ok ? SIM_DAP_OK : SIM_DAP_ERROR);
        return;
    }
    case SIM_DAP_DELAY:
        advance_ns(d, sim_dap_get16(req + 1) * 1000ull, &d->counters.delay_ns);
        sim_dap_put8(o, cmd);
        sim_dap_put8(o, SIM_DAP_OK);
        return;
    case SIM_DAP_RESET_TARGET:
        sim_dap_put8(o, cmd);
        sim_dap_put8(o, SIM_DAP_OK);
        sim_dap_put8(o, 0);  // no vendor reset sequence on this board: not executed
        return;
    case SIM_DAP_SWJ_PINS: {
        uint8_t out = req[1], select = req[2];
        uint32_t wait_us = sim_dap_get32(req + 3);
        if (wait_us > 3000000) wait_us = 3000000;  // the command's upper bound
        set_pins(d, out, select);
        // Wait only while a selected pin differs (here only TDO can).
        if (wait_us && ((read_pins(d) ^ out) & select)) advance_ns(d, wait_us * 1000ull, &d->counters.delay_ns);
        sim_dap_put8(o, cmd);
        sim_dap_put8(o, read_pins(d));
        return;
    }
    case SIM_DAP_SWJ_CLOCK: {
        uint32_t hz = sim_dap_get32(req + 1);
        sim_dap_put8(o, cmd);
        if (hz == 0) {
            sim_dap_put8(o, SIM_DAP_ERROR);
            return;
        }
        d->clock_hz = hz < d->cfg.max_swj_clock_hz ? hz : d->cfg.max_swj_clock_hz;
        d->clock_rem = 0;
        sim_dap_put8(o, SIM_DAP_OK);
        return;
    }
    case SIM_DAP_SWJ_SEQUENCE:
        sim_dap_put8(o, cmd);
        if (!d->connected) {
            sim_dap_put8(o, SIM_DAP_ERROR);  // pins not driven
            return;
        }
        seq_bits(d, req + 2, req[1] ? req[1] : 256);
        sim_dap_put8(o, SIM_DAP_OK);
        return;
    case SIM_DAP_SWD_CONFIGURE:
        d->turnaround = (uint8_t)((req[1] & 3) + 1);
        d->data_phase = (req[1] & 4) != 0;
        sim_dap_put8(o, cmd);
        sim_dap_put8(o, SIM_DAP_OK);
        return;
    case SIM_DAP_SWD_SEQUENCE: {
        sim_dap_put8(o, cmd);
        sim_dap_put8(o, d->connected ? SIM_DAP_OK : SIM_DAP_ERROR);
        size_t pos = 2;
        for (unsigned i = 0; i < req[1]; ++i) {
            uint8_t inf = req[pos++];
            unsigned bits = (inf & 0x3F) ? (inf & 0x3F) : 64;
            if (inf & 0x80) {
                // Nobody drives SWDIO outside a transaction: the pull-up reads 1.
                for (unsigned b = 0; b < (bits + 7) / 8; ++b)
                    sim_dap_put8(o, (uint8_t)(b * 8 + 8 <= bits ? 0xFF : (1u << (bits % 8)) - 1));
                sim_dap_clocks(d, bits);
            } else {
                if (d->connected) seq_bits(d, req + pos, bits);
                pos += (bits + 7) / 8;
            }
        }
        return;
    }
    default: return;
    }
}

// Answer for a packet that could not be taken.
static void reject(const uint8_t* req, size_t n, SimDapOut* o) {
    o->len = 0;
    uint8_t cmd = n ? req[0] : (uint8_t)SIM_DAP_INVALID;
    sim_dap_put8(o, cmd);
    switch (cmd) {
    case SIM_DAP_INFO: sim_dap_put8(o, 0); break;  // no information
    case SIM_DAP_TRANSFER:
        sim_dap_put8(o, 0);
        sim_dap_put8(o, SIM_DAP_TRANSFER_PROTOCOL_ERROR);
        break;
    case SIM_DAP_TRANSFER_BLOCK:
        sim_dap_put16(o, 0);
        sim_dap_put8(o, SIM_DAP_TRANSFER_PROTOCOL_ERROR);
        break;
    case SIM_DAP_INVALID: break;
    default: sim_dap_put8(o, SIM_DAP_ERROR); break;
    }
    if (o->overflow) o->len = 0;
}

static bool execute(SimDap* d, const uint8_t* req, size_t n, SimDapOut* o) {
    if (n < 2) return false;
    sim_dap_put8(o, SIM_DAP_EXECUTE_COMMANDS);
    sim_dap_put8(o, 0);
    size_t pos = 2;
    unsigned done = 0;
    bool ok = true;
    for (unsigned i = 0; i < req[1]; ++i) {
        size_t rq = 0, rs = 0;
        bool known = false;
        const uint8_t* sub = req + pos;
        if (pos >= n) {
            ok = false;
            break;
        }
        bool fits = measure(d, sub, n - pos, &rq, &rs, &known) && o->len + rs <= o->cap;
        if (!fits) {
            // Stop before running anything that cannot be answered in full.
            SimDapOut rest{o->p + o->len, o->cap - o->len, 0, false};
            reject(sub, 1, &rest);
            if (!known) {
                rest.len = 0;
                sim_dap_put8(&rest, SIM_DAP_INVALID);
            }
            o->len += rest.overflow ? 0 : rest.len;
            if (!rest.overflow) done++;
            ok = false;
            break;
        }
        run(d, sub, o);
        pos += rq;
        done++;
    }
    // A response buffer too small for the count byte gets nothing written.
    if (o->cap >= 2) o->p[1] = (uint8_t)done;
    return ok;
}

bool sim_dap_process(SimDap* d, const uint8_t* req, size_t n, uint8_t* resp, size_t cap, size_t* resp_len) {
    *resp_len = 0;
    size_t limit = cap < d->cfg.packet_size ? cap : d->cfg.packet_size;
    SimDapOut o{resp, limit, 0, false};
    d->counters.commands++;
    if (n == 0 || req == nullptr || n > d->cfg.packet_size) {
        d->counters.malformed++;
        if (n && req) reject(req, n, &o);
        *resp_len = o.len;
        return false;
    }
    bool ok;
    if (req[0] == SIM_DAP_EXECUTE_COMMANDS) {
        ok = execute(d, req, n, &o);
        if (!ok && o.len == 0) reject(req, n, &o);
    } else {
        size_t rq = 0, rs = 0;
        bool known = false;
        ok = measure(d, req, n, &rq, &rs, &known) && rs <= limit;
        if (ok) {
            run(d, req, &o);
        } else if (!known) {
            sim_dap_put8(&o, SIM_DAP_INVALID);
        } else {
            reject(req, n, &o);
        }
    }
    if (!ok) d->counters.malformed++;
    if (o.overflow) {
        o.len = 0;
        ok = false;
    }
    *resp_len = o.len;
    return ok;
}
