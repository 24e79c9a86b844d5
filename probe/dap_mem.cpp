// DP and AP registers with the SELECT/CSW cache, and target memory through
// the MEM-AP. Every packet that touches DRW starts with its own TAR write, so
// a WAIT or FAULT retry of the whole packet never reads or writes at an
// address the auto-increment has already moved past.
#include <cmath>
#include <cstring>

#include "platform/clock.h"
#include "probe/dap_priv.h"

static uint32_t s_csw_base;

static const uint32_t kAutoIncBlock = 1024;  // TAR auto-increment wraps within this

void dap_set_csw_base(uint32_t csw_base) { s_csw_base = csw_base; }
uint32_t dap_csw_value(uint32_t csw) { return (csw & 0x3F) | (s_csw_base & ~0x3Fu); }


bool dp_write(DapContext* ctx, uint8_t addr, uint32_t val) {
    DapXfer x{(uint8_t)(addr & 0x0C), val};
    return dap_transfer_n(ctx, &x, 1, nullptr) == 1;
}

bool dp_read(DapContext* ctx, uint8_t addr, uint32_t* val) {
    DapXfer x{(uint8_t)((addr & 0x0C) | DAP_REQ_READ), 0};
    uint32_t v = 0;
    if (dap_transfer_n(ctx, &x, 1, &v) != 1) return false;
    *val = v;
    return true;
}

void ap_cache_invalidate(DapContext* ctx) {
    ctx->cur_apsel = 0xFF;
    ctx->cur_apbank = 0xFF;
    ctx->csw_valid = false;
}

// The cache only learns a selection once SELECT was really written; a failed
// write leaves it unknown, since the DP may hold either value.
void dap_select_done(DapContext* ctx, uint8_t apsel, uint8_t bank, bool ok) {
    if (!ok) {
        ap_cache_invalidate(ctx);
        return;
    }
    if (apsel != ctx->cur_apsel) ctx->csw_valid = false;
    ctx->cur_apsel = apsel;
    ctx->cur_apbank = bank;
}

bool ap_select(DapContext* ctx, uint8_t apsel, uint8_t apbank) {
    if (ctx->cur_apsel == apsel && ctx->cur_apbank == apbank) return true;
    bool ok = dp_write(ctx, 0x08, (uint32_t)apsel << 24 | (uint32_t)(apbank & 0xF) << 4);
    dap_select_done(ctx, apsel, apbank, ok);
    return ok;
}

uint8_t dap_current_ap(const DapContext* ctx) { return ctx->cur_apsel == 0xFF ? 0 : ctx->cur_apsel; }

// Appends a SELECT for the register's bank when the cache does not hold it.
bool dap_add_select(DapContext* ctx, DapXfer* x, int* n, uint8_t bank) {
    uint8_t ap = dap_current_ap(ctx);
    if (ctx->cur_apsel == ap && ctx->cur_apbank == bank) return false;
    x[(*n)++] = DapXfer{DAP_REQ_DP_SELECT_W, (uint32_t)ap << 24 | (uint32_t)bank << 4};
    return true;
}

bool ap_write(DapContext* ctx, uint8_t addr, uint32_t val) {
    DapXfer x[2];
    int n = 0;
    uint8_t bank = addr >> 4;
    bool sel = dap_add_select(ctx, x, &n, bank);
    x[n++] = DapXfer{dap_ap_req(addr, false), val};
    bool ok = dap_transfer_n(ctx, x, n, nullptr) == n;
    if (sel) dap_select_done(ctx, dap_current_ap(ctx), bank, ok);
    return ok;
}

bool ap_read(DapContext* ctx, uint8_t addr, uint32_t* val) {
    DapXfer x[3];
    uint32_t out[3] = {};
    int n = 0;
    uint8_t bank = addr >> 4;
    bool sel = dap_add_select(ctx, x, &n, bank);
    x[n++] = DapXfer{dap_ap_req(addr, true), 0};
    x[n++] = DapXfer{DAP_REQ_DP_RDBUFF_R, 0};
    bool ok = dap_transfer_n(ctx, x, n, out) == n;
    if (sel) dap_select_done(ctx, dap_current_ap(ctx), bank, ok);
    if (ok) *val = out[n - 1];
    return ok;
}

bool ap_set_csw(DapContext* ctx, uint32_t csw) {
    uint32_t v = dap_csw_value(csw);
    if (ctx->csw_valid && ctx->cur_csw == v) return true;
    if (!ap_write(ctx, DAP_AP_CSW, v)) {
        ctx->csw_valid = false;
        return false;
    }
    ctx->cur_csw = v;
    ctx->csw_valid = true;
    return true;
}

// --- memory ------------------------------------------------------------------

int dap_add_mem_prefix(DapContext* ctx, DapXfer* x, DapMemPrefix* p) {
    int n = 0;
    p->sel = dap_add_select(ctx, x, &n, 0);
    p->csw_val = dap_csw_value(DAP_CSW_WORD);
    p->csw = !(ctx->csw_valid && ctx->cur_csw == p->csw_val);
    if (p->csw) x[n++] = DapXfer{dap_ap_req(DAP_AP_CSW, false), p->csw_val};
    return n;
}

int dap_add_banked_prefix(DapContext* ctx, DapXfer* x, DapMemPrefix* p) {
    int n = dap_add_mem_prefix(ctx, x, p);
    x[n++] = DapXfer{dap_ap_req(DAP_AP_TAR, false), DAP_DHCSR};
    x[n++] = DapXfer{DAP_REQ_DP_SELECT_W, (uint32_t)dap_current_ap(ctx) << 24 | 1u << 4};
    return n;
}

void dap_mem_prefix_done(DapContext* ctx, const DapMemPrefix* p, bool ok) {
    if (p->sel) dap_select_done(ctx, dap_current_ap(ctx), 0, ok);
    if (p->csw) {
        ctx->csw_valid = ok;
        if (ok) ctx->cur_csw = p->csw_val;
    }
}

bool dap_read_mem32(DapContext* ctx, uint32_t addr, uint32_t* val) {
    DapXfer x[4];
    uint32_t out[4] = {};
    DapMemPrefix p;
    int n = dap_add_mem_prefix(ctx, x, &p);
    x[n++] = DapXfer{dap_ap_req(DAP_AP_TAR, false), addr};
    x[n++] = DapXfer{dap_ap_req(DAP_AP_DRW, true), 0};
    bool ok = dap_transfer_n(ctx, x, n, out) == n;
    dap_mem_prefix_done(ctx, &p, ok);
    if (ok) *val = out[n - 1];
    return ok;
}

bool dap_write_mem32(DapContext* ctx, uint32_t addr, uint32_t val) {
    DapXfer x[4];
    DapMemPrefix p;
    int n = dap_add_mem_prefix(ctx, x, &p);
    x[n++] = DapXfer{dap_ap_req(DAP_AP_TAR, false), addr};
    x[n++] = DapXfer{dap_ap_req(DAP_AP_DRW, false), val};
    bool ok = dap_transfer_n(ctx, x, n, nullptr) == n;
    dap_mem_prefix_done(ctx, &p, ok);
    return ok;
}

// Any address and length: each item is the widest aligned access that fits
// (word, halfword, byte), with CSW's size set to it, so no neighbouring byte
// is read and written back behind a running core's back.
bool dap_write_mem(DapContext* ctx, uint32_t addr, const uint8_t* buf, uint32_t len) {
    if (!ctx || !ctx->open) return false;
    for (uint32_t done = 0; done < len;) {
        uint32_t a = addr + done, left = len - done;
        uint32_t size = (a & 3) == 0 && left >= 4 ? 4 : (a & 1) == 0 && left >= 2 ? 2 : 1;
        uint32_t lanes = 0;
        for (uint32_t k = 0; k < size; ++k) lanes |= (uint32_t)buf[done + k] << (8 * ((a & 3) + k));
        DapXfer x[4];
        int n = 0;
        bool sel = dap_add_select(ctx, x, &n, 0);
        uint32_t csw = dap_csw_value(size == 4 ? DAP_CSW_WORD : size == 2 ? 0x11u : 0x10u);
        x[n++] = DapXfer{dap_ap_req(DAP_AP_CSW, false), csw};
        x[n++] = DapXfer{dap_ap_req(DAP_AP_TAR, false), a};
        x[n++] = DapXfer{dap_ap_req(DAP_AP_DRW, false), lanes};
        bool ok = dap_transfer_n(ctx, x, n, nullptr) == n;
        if (sel) dap_select_done(ctx, dap_current_ap(ctx), 0, ok);
        ctx->cur_csw = csw;
        ctx->csw_valid = ok;
        if (!ok) return false;
        done += size;
    }
    return true;
}

// Half-word stores in a row (flash that programs half-words): CSW size 16,
// one TAR per packet and wherever the auto-increment would wrap, each value
// on the byte lanes its address selects.
bool dap_write_halfwords(DapContext* ctx, uint32_t addr, const uint16_t* vals, uint32_t count) {
    if (!ctx || !ctx->open || (addr & 1)) return false;
    DapXfer x[DAP_MAX_XFERS];
    for (uint32_t done = 0; done < count;) {
        int n = 0;
        const bool sel = dap_add_select(ctx, x, &n, 0);
        const uint32_t csw = dap_csw_value(0x11u);
        x[n++] = DapXfer{dap_ap_req(DAP_AP_CSW, false), csw};
        const uint32_t first = addr + 2 * done;
        x[n++] = DapXfer{dap_ap_req(DAP_AP_TAR, false), first};
        const int head = n;
        uint32_t k = done;
        while (k < count && n < DAP_MAX_XFERS) {
            const uint32_t a = addr + 2 * k;
            if (k > done && (a & (kAutoIncBlock - 1)) == 0) break;
            x[n] = DapXfer{dap_ap_req(DAP_AP_DRW, false), uint32_t(vals[k]) << (8 * (a & 2))};
            if (!dap_transfer_fits(ctx, x, n + 1)) break;
            ++n, ++k;
        }
        if (n == head) return false;
        const bool ok = dap_transfer_n(ctx, x, n, nullptr) == n;
        if (sel) dap_select_done(ctx, dap_current_ap(ctx), 0, ok);
        ctx->cur_csw = csw;
        ctx->csw_valid = ok;
        if (!ok) return false;
        done = k;
    }
    return true;
}

bool dap_mem_ops(DapContext* ctx, const DapMemOp* ops, int count, int* done) {
    *done = 0;
    if (!ctx || !ctx->open || !ops) return false;
    DapXfer x[DAP_MAX_XFERS];
    int ends_op[DAP_MAX_XFERS];  // the op a transfer completes, or -1
    while (*done < count) {
        int n = 0;
        const bool sel = dap_add_select(ctx, x, &n, 0);
        for (int i = 0; i < n; ++i) ends_op[i] = -1;
        uint32_t csw = ctx->cur_csw, mask = 0;
        bool csw_known = ctx->csw_valid, mask_known = false;
        int k = *done;
        for (; k < count; ++k) {
            const DapMemOp& o = ops[k];
            const bool poll = o.kind == DAP_MEMOP_POLL32, half = o.kind == DAP_MEMOP_WRITE16;
            // TAR is written for every op, and a value match reads DRW again
            // and again: with auto-increment on, those reads would walk on
            // to the next registers.
            const uint32_t want = dap_csw_value(half ? 0x01u : 0x02u);
            DapXfer add[4];
            int m = 0;
            if (!csw_known || csw != want) add[m++] = DapXfer{dap_ap_req(DAP_AP_CSW, false), want};
            if (poll && (!mask_known || mask != o.mask)) add[m++] = DapXfer{DAP_REQ_MATCH_MASK, o.mask};
            add[m++] = DapXfer{dap_ap_req(DAP_AP_TAR, false), o.addr};
            if (poll) add[m++] = DapXfer{(uint8_t)(dap_ap_req(DAP_AP_DRW, true) | DAP_REQ_MATCH_VALUE), o.val};
            else add[m++] = DapXfer{dap_ap_req(DAP_AP_DRW, false), half ? (o.val & 0xFFFFu) << (8 * (o.addr & 2)) : o.val};
            if (n + m > DAP_MAX_XFERS) break;
            std::memcpy(x + n, add, m * sizeof *add);
            if (!dap_transfer_fits(ctx, x, n + m)) break;
            for (int j = 0; j < m; ++j) ends_op[n + j] = j == m - 1 ? k : -1;
            n += m;
            csw = want, csw_known = true;
            if (poll) mask = o.mask, mask_known = true;
        }
        if (k == *done) return false;
        DapStop stop;
        const int got = dap_transfer_once(ctx, x, n, nullptr, &stop);
        for (int i = 0; i < got; ++i)
            if (ends_op[i] >= 0) *done = ends_op[i] + 1;
        if (sel) dap_select_done(ctx, dap_current_ap(ctx), 0, got > 0);
        ctx->cur_csw = csw;
        ctx->csw_valid = stop == DAP_STOP_NONE;
        if (stop == DAP_STOP_MISMATCH) return true;
        if (stop != DAP_STOP_NONE) return false;
    }
    return true;
}

int dap_packet_limit(const DapContext* ctx) {
    if (!ctx->is_v2) return 64;
    int n = ctx->packet_size ? ctx->packet_size : 64;
    return n < 512 ? n : 512;
}

int dap_block_words(const DapContext* ctx) { return (dap_packet_limit(ctx) - 5) / 4; }

static uint32_t words_to_boundary(uint32_t addr) { return (kAutoIncBlock - (addr & (kAutoIncBlock - 1))) / 4; }


// Reads go as DAP_Transfer batches: a TAR write, then DRW reads, with a new
// TAR write wherever the auto-increment would wrap, as many as one answer holds.
// One packet at a time, each retried on WAIT and FAULT.
static bool read_block_serial(DapContext* ctx, uint32_t addr, uint8_t* buf, uint32_t len) {
    if (len == 0) return true;
    if ((len & 3) || (addr & 3) || !ctx || !ctx->open) return false;
    const int limit = dap_packet_limit(ctx);
    DapXfer x[DAP_MAX_XFERS];
    uint32_t out[DAP_MAX_XFERS];
    uint32_t done = 0;
    while (done < len) {
        DapMemPrefix p;
        int n = dap_add_mem_prefix(ctx, x, &p);
        int out_bytes = 3 + 5 * n, in_bytes = 3;
        uint32_t a = addr + done, first = done;
        uint32_t left_in_block = 0;
        while (done < len && n < DAP_MAX_XFERS) {
            if (left_in_block == 0) {
                if (out_bytes + 5 + 1 > limit || n + 2 > DAP_MAX_XFERS || in_bytes + 4 > limit) break;
                x[n++] = DapXfer{dap_ap_req(DAP_AP_TAR, false), a};
                out_bytes += 5;
                left_in_block = words_to_boundary(a);
            }
            if (out_bytes + 1 > limit || in_bytes + 4 > limit) break;
            x[n++] = DapXfer{dap_ap_req(DAP_AP_DRW, true), 0};
            out_bytes += 1;
            in_bytes += 4;
            left_in_block--;
            done += 4;
            a += 4;
        }
        if (done == first) return false;  // nothing fits a packet: never loop on it
        bool ok = dap_transfer_n(ctx, x, n, out) == n;
        dap_mem_prefix_done(ctx, &p, ok);
        if (!ok) return false;
        uint32_t pos = first;
        for (int i = 0; i < n; ++i) {
            if (x[i].req != dap_ap_req(DAP_AP_DRW, true)) continue;
            dap_put32(buf + pos, out[i]);
            pos += 4;
        }
    }
    return true;
}

int dap_read_words(DapContext* ctx, const uint32_t* addrs, int count, uint32_t* out, bool* ok, bool retry_each) {
    if (!ctx || !ctx->open || count <= 0) return 0;
    const int limit = dap_packet_limit(ctx);
    const uint8_t tar = dap_ap_req(DAP_AP_TAR, false), drw = dap_ap_req(DAP_AP_DRW, true);
    DapXfer x[DAP_MAX_XFERS];
    uint32_t o[DAP_MAX_XFERS];
    int done = 0, good = 0;
    while (done < count) {
        DapMemPrefix p;
        int n = dap_add_mem_prefix(ctx, x, &p);
        int out_bytes = 3 + 5 * n, in_bytes = 3, first = done;
        bool tar_next = false;  // TAR already points at addrs[done] (auto-increment)
        while (done < count && n + 2 <= DAP_MAX_XFERS && out_bytes + 6 <= limit && in_bytes + 4 <= limit) {
            // The next word of a run needs no TAR write unless the increment would wrap.
            bool skip = tar_next && done > first && addrs[done] == addrs[done - 1] + 4 && (addrs[done] & (kAutoIncBlock - 1));
            if (!skip) x[n++] = DapXfer{tar, addrs[done]};
            x[n++] = DapXfer{drw, 0};
            out_bytes += skip ? 1 : 6;
            in_bytes += 4;
            tar_next = (addrs[done] & 3) == 0;
            ++done;
        }
        if (done == first) {  // nothing fits a packet: never loop on it
            dap_mem_prefix_done(ctx, &p, true);
            break;
        }
        bool batch_ok = dap_transfer_n(ctx, x, n, o) == n;
        dap_mem_prefix_done(ctx, &p, batch_ok);
        if (batch_ok) {
            int k = first;
            for (int i = 0; i < n; ++i)
                if (x[i].req == drw) {
                    out[k] = o[i];
                    ok[k++] = true;
                }
            good += done - first;
            continue;
        }
        // A fault stops the batch where it happened: each word again on its
        // own, so one unreadable address costs only itself (unless the caller
        // retries in larger pieces).
        for (int k = first; k < done; ++k) {
            ok[k] = retry_each && dap_read_mem32(ctx, addrs[k], &out[k]);
            good += ok[k];
        }
    }
    for (int k = done; k < count; ++k) ok[k] = false;
    return good;
}

// Words written, or -1 when the exchange failed; *ack gets the answer's ACK.
static int transfer_block_write(DapContext* ctx, const uint8_t* data, int words, uint8_t* ack) {
    uint8_t* o = ctx->pkt_out + 1;
    o[0] = 0x06;
    o[1] = 0;
    o[2] = (uint8_t)words;
    o[3] = (uint8_t)(words >> 8);
    o[4] = dap_ap_req(DAP_AP_DRW, false);
    std::memcpy(o + 5, data, (size_t)words * 4);
    *ack = 0;
    if (!dap_io(ctx, 5 + words * 4) || ctx->in_len < 4) return -1;
    int count = ctx->pkt_in[2] | ctx->pkt_in[3] << 8;
    *ack = ctx->pkt_in[4];
    return count <= words ? count : words;
}

// Writes fill each packet as far as it goes: DAP_TransferBlock (4 bytes a
// word) while TAR already points at the next word and the block has room;
// otherwise a DAP_Transfer that carries the TAR writes itself. One packet at
// a time.
static bool write_block_serial(DapContext* ctx, uint32_t addr, const uint8_t* buf, uint32_t len) {
    if (len == 0) return true;
    if ((len & 3) || (addr & 3) || !ctx || !ctx->open) return false;
    const int limit = dap_packet_limit(ctx);
    const uint32_t block_words = (uint32_t)dap_block_words(ctx);
    DapXfer x[DAP_MAX_XFERS];
    uint32_t done = 0;
    bool tar_ok = false;  // TAR holds addr + done
    int retries = 0;
    while (done < len) {
        uint32_t a = addr + done, words_left = (len - done) / 4;
        uint32_t in_block = words_to_boundary(a);
        if (in_block > words_left) in_block = words_left;
        if (tar_ok && ctx->csw_valid && ctx->cur_apbank == 0 && (in_block >= block_words || in_block == words_left)) {
            uint32_t w = in_block < block_words ? in_block : block_words;
            uint8_t ack = 0;
            int n = transfer_block_write(ctx, buf + done, (int)w, &ack);
            if (n == (int)w && ack == 1) {
                done += w * 4;
                tar_ok = w < words_to_boundary(a);
                continue;
            }
            // WAIT or FAULT part-way: keep what was written, clear the error
            // and go on from the first word not done, with its own TAR write.
            if (n < 0 || (ack != 2 && ack != 4) || ++retries > DAP_WAIT_RETRIES) {
                ctx->csw_valid = false;
                return false;
            }
            // The word before the failing one may be what raised the sticky
            // error (writes are posted), so it is written again too.
            done += (uint32_t)(n > 0 ? n - 1 : 0) * 4;
            DapXfer ab{DAP_REQ_DP_ABORT_W, DAP_ABORT_ALL};
            dap_transfer_n(ctx, &ab, 1, nullptr);
            ctx->csw_valid = false;
            tar_ok = false;
            continue;
        }
        DapMemPrefix p;
        int n = dap_add_mem_prefix(ctx, x, &p);
        int out_bytes = 3 + 5 * n;
        uint32_t left = 0, first = done;
        while (done < len && n + 2 <= DAP_MAX_XFERS) {
            if (left == 0) {
                if (out_bytes + 10 > limit) break;
                x[n++] = DapXfer{dap_ap_req(DAP_AP_TAR, false), a};
                out_bytes += 5;
                left = words_to_boundary(a);
            }
            if (out_bytes + 5 > limit) break;
            x[n++] = DapXfer{dap_ap_req(DAP_AP_DRW, false), dap_get32(buf + done)};
            out_bytes += 5;
            left--;
            done += 4;
            a += 4;
        }
        if (done == first) return false;
        bool ok = dap_transfer_n(ctx, x, n, nullptr) == n;
        dap_mem_prefix_done(ctx, &p, ok);
        if (!ok) {
            ctx->csw_valid = false;
            return false;
        }
        tar_ok = left > 0;
    }
    // Every answer was read, and the probe confirms a batch's last posted
    // write before it answers: nothing is left to clear or to drain.
    return true;
}

// --- blocks with several packets in flight ---------------------------------------
//
// A read packet is a DAP_Transfer that starts with its own TAR write, so it
// means the same whatever happened to the packets before it. A write run
// starts each 1 KB auto-increment block that way too and goes on with
// DAP_TransferBlock packets (4 bytes a word instead of 5), which store where
// TAR has got to, sent once the packet that wrote TAR has answered. Once the
// target stops a packet short (WAIT past the probe's retries, FAULT), the
// failed packets are done again one at a time with the usual retries; after a
// short write, everything sent behind it is written again from the failing
// word, since a block packet behind it stored its words from where the short
// one stopped.
namespace {

constexpr int kRing = 2 * DAP_PIPE_MAX;

struct Chunk {
    uint32_t off, bytes;
    int n;           // transfers of a DAP_Transfer; 0 for a DAP_TransferBlock
    int words_done;
    bool ok;
    DapXfer x[DAP_MAX_XFERS];
};

struct BlockRun {
    DapContext* ctx;
    uint32_t addr, len;
    uint8_t* rbuf;
    const uint8_t* wbuf;
    uint32_t next;   // where the next packet starts
    bool blocks;     // writes go on in DAP_TransferBlock packets
    int sent, taken;
    int opened;      // the DAP_Transfer packet that wrote TAR last
    int first_bad;   // -1: every answer so far was whole
    bool head_ok;    // the first packet, which carries the SELECT/CSW prefix, went through
    DapMemPrefix prefix;
    Chunk ring[kRing];
};

int block_build(void* user, int i, uint8_t* cmd) {
    BlockRun& r = *static_cast<BlockRun*>(user);
    if (r.next >= r.len) return 0;
    Chunk& c = r.ring[i % kRing];
    const bool write = r.wbuf != nullptr;
    const int limit = dap_packet_limit(r.ctx);
    c.off = r.next;
    c.words_done = 0;
    c.ok = false;
    // Every packet ends on a DRW access, so after one TAR holds addr + next.
    if (r.blocks && i > 0 && ((r.addr + r.next) & (kAutoIncBlock - 1)) != 0) {
        // Not before the packet that wrote TAR is known to have: had its TAR
        // write been refused, these words would go where TAR pointed before.
        if (r.taken <= r.opened) return -1;
        uint32_t w = words_to_boundary(r.addr + r.next), left = (r.len - r.next) / 4, most = (uint32_t)dap_block_words(r.ctx);
        if (w > left) w = left;
        if (w > most) w = most;
        c.n = 0;
        c.bytes = 4 * w;
        cmd[0] = 0x06;
        cmd[1] = 0;
        cmd[2] = (uint8_t)w;
        cmd[3] = (uint8_t)(w >> 8);
        cmd[4] = dap_ap_req(DAP_AP_DRW, false);
        std::memcpy(cmd + 5, r.wbuf + r.next, c.bytes);
        r.next += c.bytes;
        r.sent = i + 1;
        return 5 + (int)c.bytes;
    }
    c.n = i == 0 ? dap_add_mem_prefix(r.ctx, c.x, &r.prefix) : 0;
    r.opened = i;
    int out = 3 + 5 * c.n, in = 3;
    const int drw_out = write ? 5 : 1, drw_in = write ? 0 : 4;
    uint32_t left = 0;
    while (r.next < r.len && c.n + 2 <= DAP_MAX_XFERS) {
        const uint32_t a = r.addr + r.next;
        if (left == 0) {
            if (out + 5 + drw_out > limit || in + drw_in > limit) break;
            c.x[c.n++] = DapXfer{dap_ap_req(DAP_AP_TAR, false), a};
            out += 5;
            left = words_to_boundary(a);
        }
        if (out + drw_out > limit || in + drw_in > limit) break;
        c.x[c.n++] = DapXfer{dap_ap_req(DAP_AP_DRW, !write), write ? dap_get32(r.wbuf + r.next) : 0};
        out += drw_out;
        in += drw_in;
        --left;
        r.next += 4;
    }
    c.bytes = r.next - c.off;
    if (c.bytes == 0) return 0;
    r.sent = i + 1;
    return dap_build_transfer(cmd, c.x, c.n);
}

bool block_take(void* user, int i, const DapContext* ctx) {
    BlockRun& r = *static_cast<BlockRun*>(user);
    Chunk& c = r.ring[i % kRing];
    r.taken = i + 1;
    if (c.n == 0) {  // DAP_TransferBlock: count (16 bits), then the last ACK
        const int words = (int)c.bytes / 4, count = ctx->in_len >= 4 ? ctx->pkt_in[2] | ctx->pkt_in[3] << 8 : 0;
        c.words_done = count < words ? count : words;
        c.ok = ctx->in_len >= 4 && ctx->pkt_in[4] == 1 && count == words;
        if (!c.ok && r.first_bad < 0) r.first_bad = i;
        return c.ok;
    }
    uint32_t vals[DAP_MAX_XFERS];
    const int done = ctx->in_len >= 3 ? dap_answer_data(ctx, c.x, c.n, vals) : 0;
    const uint8_t drw = dap_ap_req(DAP_AP_DRW, r.wbuf == nullptr);
    uint32_t pos = c.off;
    for (int k = 0; k < done; ++k) {
        if (c.x[k].req != drw) continue;
        if (r.rbuf) dap_put32(r.rbuf + pos, vals[k]);
        pos += 4;
        ++c.words_done;
    }
    c.ok = ctx->in_len >= 3 && ctx->pkt_in[3] == 1 && done == c.n;
    if (i == 0) r.head_ok = c.ok;
    if (!c.ok && r.first_bad < 0) r.first_bad = i;
    return c.ok;
}

thread_local BlockRun t_run;

bool block_pipelined(DapContext* ctx, uint32_t addr, uint8_t* rbuf, const uint8_t* wbuf, uint32_t len) {
    BlockRun& r = t_run;
    r.ctx = ctx;
    r.addr = addr;
    r.len = len;
    r.rbuf = rbuf;
    r.wbuf = wbuf;
    r.next = 0;
    // Block packets pay where packets are small (64 bytes: 19 packets a KB
    // instead of 24); with 512 bytes, DAP_Transfer packets that cross a 1 KB
    // boundary with a TAR write inside need fewer.
    const double tw = (dap_packet_limit(ctx) - 8) / 5, bw = dap_block_words(ctx), kb = kAutoIncBlock / 4;
    r.blocks = wbuf && 1 + std::ceil((kb - tw) / bw) < kb / tw;
    const DapPipeOps ops{&r, block_build, block_take};
    while (r.next < len) {
        r.sent = r.taken = 0;
        r.opened = -1;
        r.first_bad = -1;
        r.head_ok = false;
        const bool link = dap_pipeline(ctx, &ops);
        // The ring has been round since: the first packet's answer was kept apart.
        if (r.sent > 0) dap_mem_prefix_done(ctx, &r.prefix, link && r.head_ok);
        if (!link) {
            ap_cache_invalidate(ctx);
            return false;
        }
        if (r.sent == 0) return false;  // nothing fits a packet: never loop on it
        if (r.first_bad < 0) continue;
        bool behind_block = false;
        for (int i = r.first_bad + 1; i < r.sent; ++i) behind_block |= r.ring[i % kRing].n == 0;
        if (wbuf && behind_block) {
            const Chunk& c = r.ring[r.first_bad % kRing];
            const uint32_t from = c.off + 4u * (uint32_t)(c.words_done > 0 ? c.words_done - 1 : 0);
            if (!write_block_serial(ctx, addr + from, wbuf + from, r.next - from)) return false;
            continue;
        }
        for (int i = r.first_bad; i < r.sent; ++i) {
            const Chunk& c = r.ring[i % kRing];
            if (c.ok) continue;
            bool ok;
            if (wbuf) {
                // A posted write fails one access late: the word before the
                // failing one is written again too.
                const uint32_t skip = 4u * (uint32_t)(c.words_done > 0 ? c.words_done - 1 : 0);
                ok = write_block_serial(ctx, addr + c.off + skip, wbuf + c.off + skip, c.bytes - skip);
            } else {
                ok = read_block_serial(ctx, addr + c.off, rbuf + c.off, c.bytes);
            }
            if (!ok) return false;
        }
    }
    return true;
}

}  // namespace

bool dap_read_mem_block(DapContext* ctx, uint32_t addr, uint8_t* buf, uint32_t len) {
    if (len == 0) return true;
    if ((len & 3) || (addr & 3) || !ctx || !ctx->open) return false;
    if (dap_pipe_depth(ctx) < 2) return read_block_serial(ctx, addr, buf, len);
    return block_pipelined(ctx, addr, buf, nullptr, len);
}

bool dap_write_mem_block(DapContext* ctx, uint32_t addr, const uint8_t* buf, uint32_t len) {
    if (len == 0) return true;
    if ((len & 3) || (addr & 3) || !ctx || !ctx->open) return false;
    if (dap_pipe_depth(ctx) < 2) return write_block_serial(ctx, addr, buf, len);
    return block_pipelined(ctx, addr, nullptr, buf, len);
}

// --- wrappers for sequences and algorithms ---------------------------------------

bool dap_dp_read(DapContext* ctx, uint8_t reg, uint32_t* val) { return dp_read(ctx, reg, val); }

bool dap_dp_write(DapContext* ctx, uint8_t reg, uint32_t val) {
    if ((reg & 0x0C) == 0x08) {
        uint32_t discard;
        dp_read(ctx, 0x0C, &discard);  // lets a posted AP read complete first
        // The AP, bank and CSW the cache remembers are no longer selected.
        bool ok = dp_write(ctx, reg, val);
        ap_cache_invalidate(ctx);
        return ok;
    }
    return dp_write(ctx, reg, val);
}

bool dap_ap_read(DapContext* ctx, uint8_t apsel, uint8_t reg, uint32_t* val) {
    if (apsel != ctx->cur_apsel && !ap_select(ctx, apsel, 0)) return false;
    return ap_read(ctx, reg, val);
}

bool dap_ap_write(DapContext* ctx, uint8_t apsel, uint8_t reg, uint32_t val) {
    if (apsel != ctx->cur_apsel && !ap_select(ctx, apsel, 0)) return false;
    return ap_write(ctx, reg, val);
}

bool dap_swj_pins(DapContext* ctx, uint8_t output, uint8_t select, uint32_t delay_us, uint8_t* pins_out) {
    if (!dap_cmd_swj_pins(ctx, output, select, delay_us)) return false;
    if (pins_out) *pins_out = ctx->pkt_in[2];
    return true;
}

void dap_restore_ap0(DapContext* ctx) {
    uint32_t discard;
    dp_read(ctx, 0x0C, &discard);
    dp_write(ctx, 0x00, DAP_ABORT_ALL);
    dp_write(ctx, 0x08, 0);
    ap_cache_invalidate(ctx);
    if (ctx->is_v2 && ctx->usb_dev) {
        dap_drain_bulk_timeout(ctx, 50);
        ap_cache_invalidate(ctx);
    }
}
