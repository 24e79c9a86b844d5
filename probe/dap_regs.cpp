// Core registers through DCRSR/DCRDR. The fast path is one DAP_Transfer per
// packet: TAR is parked on DHCSR and the banked data registers reach DHCSR,
// DCRSR and DCRDR without moving it, while the probe waits for S_REGRDY by
// value match. If the probe cannot (a match that never comes, an old probe),
// the register is done the plain way, polling DHCSR from here.
#include "platform/clock.h"
#include "probe/dap_priv.h"

static const uint8_t kBd0 = 0x10, kBd1 = 0x14, kBd2 = 0x18;  // DHCSR, DCRSR, DCRDR through TAR = DHCSR

// Bytes one register costs in a request: a write (5) and two reads, one of
// them with its match value (5 + 1); a write adds the data word (5).
static int reg_cost(bool write) { return write ? 15 : 11; }

// Starts a batch: TAR on DHCSR, bank 1, match mask S_REGRDY.
static int add_reg_prefix(DapContext* ctx, DapXfer* x, DapMemPrefix* p) {
    int n = dap_add_banked_prefix(ctx, x, p);
    x[n++] = DapXfer{DAP_REQ_MATCH_MASK, DAP_DHCSR_S_REGRDY};
    return n;
}

// Reads (write = false) or writes the registers idx[0..count) in as few
// packets as fit. Returns how many were done.
static int reg_batch(DapContext* ctx, const uint8_t* idx, uint32_t* vals, int count, bool write) {
    const int limit = dap_packet_limit(ctx);
    int done = 0;
    bool primed = false;  // TAR, bank 1 and the mask are in place
    while (done < count) {
        DapXfer x[DAP_MAX_XFERS];
        uint32_t out[DAP_MAX_XFERS];
        DapMemPrefix p{};
        int n = 0;
        if (!primed) n = add_reg_prefix(ctx, x, &p);
        int bytes = 3 + 5 * n, in = 3;  // every prefix transfer is a write
        int first = done, k = done;
        while (k < count && bytes + reg_cost(write) <= limit && in + 4 <= limit && n + 3 <= DAP_MAX_XFERS) {
            if (write) {
                x[n++] = DapXfer{dap_ap_req(kBd2, false), vals[k]};
                x[n++] = DapXfer{dap_ap_req(kBd1, false), (uint32_t)(idx[k] & 0x7F) | 0x10000u};
                x[n++] = DapXfer{(uint8_t)(dap_ap_req(kBd0, true) | DAP_REQ_MATCH_VALUE), DAP_DHCSR_S_REGRDY};
            } else {
                x[n++] = DapXfer{dap_ap_req(kBd1, false), (uint32_t)(idx[k] & 0x7F)};
                x[n++] = DapXfer{(uint8_t)(dap_ap_req(kBd0, true) | DAP_REQ_MATCH_VALUE), DAP_DHCSR_S_REGRDY};
                x[n++] = DapXfer{dap_ap_req(kBd2, true), 0};
                in += 4;
            }
            bytes += reg_cost(write);
            ++k;
        }
        if (k == first) break;
        bool ok = dap_transfer_n(ctx, x, n, out) == n;
        if (!primed) {
            dap_mem_prefix_done(ctx, &p, ok);
            dap_select_done(ctx, dap_current_ap(ctx), 1, ok);
        }
        if (!ok) break;
        primed = true;
        if (!write)
            for (int i = 0, r = first; i < n; ++i)
                if (x[i].req == dap_ap_req(kBd2, true)) vals[r++] = out[i];
        done = k;
    }
    return done;
}

static bool wait_regrdy(DapContext* ctx, int polls) {
    for (int i = 0; i < polls; ++i) {
        uint32_t d;
        if (!dap_read_mem32(ctx, DAP_DHCSR, &d)) return false;
        if (d & DAP_DHCSR_S_REGRDY) return true;
        plat_sleep_ms(1);
    }
    return false;
}

static bool read_reg_plain(DapContext* ctx, int reg_idx, uint32_t* val) {
    if (!dap_write_mem32(ctx, DAP_DCRSR, (uint32_t)reg_idx & 0x7F)) return false;
    if (!wait_regrdy(ctx, 100)) return false;
    return dap_read_mem32(ctx, DAP_DCRDR, val);
}

static bool write_reg_plain(DapContext* ctx, int reg_idx, uint32_t val) {
    if (!dap_write_mem32(ctx, DAP_DCRDR, val)) return false;
    if (!dap_write_mem32(ctx, DAP_DCRSR, ((uint32_t)reg_idx & 0x7F) | 0x10000u)) return false;
    return wait_regrdy(ctx, 100);
}

bool dap_read_reg(DapContext* ctx, int reg_idx, uint32_t* val) {
    if (!ctx || !ctx->open) return false;
    uint8_t i = (uint8_t)reg_idx;
    uint32_t v = 0;
    if (reg_batch(ctx, &i, &v, 1, false) == 1) {
        *val = v;
        return true;
    }
    if (ctx->disconnected) return false;
    return read_reg_plain(ctx, reg_idx, val);
}

bool dap_write_reg(DapContext* ctx, int reg_idx, uint32_t val) {
    if (!ctx || !ctx->open) return false;
    uint8_t i = (uint8_t)reg_idx;
    if (reg_batch(ctx, &i, &val, 1, true) == 1) return true;
    if (ctx->disconnected) return false;
    return write_reg_plain(ctx, reg_idx, val);
}

bool dap_read_regs(DapContext* ctx, uint32_t regs[16]) {
    if (!ctx || !ctx->open) return false;
    uint8_t idx[16];
    for (int i = 0; i < 16; ++i) idx[i] = (uint8_t)i;
    uint32_t v[16] = {};
    int done = reg_batch(ctx, idx, v, 16, false);
    for (int i = 0; i < done; ++i) regs[i] = v[i];
    for (int i = done; i < 16; ++i) {
        if (ctx->disconnected || !read_reg_plain(ctx, i, &regs[i])) return false;
    }
    return true;
}

bool dap_write_regs_flm(DapContext* ctx, const FlmReg* regs, int count) {
    if (!ctx || !ctx->open || count < 0) return false;
    if (!ap_set_csw(ctx, DAP_CSW_WORD)) return false;
    const int per_packet = ctx->is_v2 ? (dap_packet_limit(ctx) - 3 - 5) / 20 : 3;
    for (int at = 0; at < count;) {
        DapXfer x[DAP_MAX_XFERS];
        int n = 0;
        dap_add_select(ctx, x, &n, 0);
        bool sel = n > 0;
        int take = count - at < per_packet ? count - at : per_packet;
        for (int k = 0; k < take; ++k) {
            const FlmReg& r = regs[at + k];
            x[n++] = DapXfer{dap_ap_req(DAP_AP_TAR, false), DAP_DCRDR};
            x[n++] = DapXfer{dap_ap_req(DAP_AP_DRW, false), r.val};
            x[n++] = DapXfer{dap_ap_req(DAP_AP_TAR, false), DAP_DCRSR};
            x[n++] = DapXfer{dap_ap_req(DAP_AP_DRW, false), ((uint32_t)r.idx & 0x7F) | 0x10000u};
        }
        bool ok = dap_transfer_n(ctx, x, n, nullptr) == n;
        if (sel) dap_select_done(ctx, dap_current_ap(ctx), 0, ok);
        if (!ok) return false;
        at += take;
    }
    return wait_regrdy(ctx, 20);
}

bool dap_read_reg_list(DapContext* ctx, const uint8_t* idx, int count, uint32_t* vals) {
    if (!ctx || !ctx->open || count < 0 || (count && (!idx || !vals))) return false;
    int done = reg_batch(ctx, idx, vals, count, false);
    for (int i = done; i < count; ++i)
        if (ctx->disconnected || !read_reg_plain(ctx, idx[i], &vals[i])) return false;
    return true;
}

// One instruction with interrupts masked, and the new PC, in one exchange:
// C_MASKINTS is set and cleared while halted, as the architecture requires;
// the probe waits for S_HALT and S_REGRDY by value match.
bool dap_step_read_pc(DapContext* ctx, uint32_t* pc) {
    if (!ctx || !ctx->open || !pc) return false;
    const uint32_t key = 0xA05F0000;
    DapXfer x[24];
    uint32_t out[24] = {};
    DapMemPrefix p{};
    int n = dap_add_banked_prefix(ctx, x, &p);
    x[n++] = DapXfer{dap_ap_req(kBd0, false), key | 0xBu};  // halted, interrupts masked
    x[n++] = DapXfer{dap_ap_req(kBd0, false), key | 0xDu};  // step
    x[n++] = DapXfer{DAP_REQ_MATCH_MASK, DAP_DHCSR_S_HALT};
    x[n++] = DapXfer{(uint8_t)(dap_ap_req(kBd0, true) | DAP_REQ_MATCH_VALUE), DAP_DHCSR_S_HALT};
    x[n++] = DapXfer{dap_ap_req(kBd0, false), key | 0x3u};  // halted, interrupts unmasked again
    x[n++] = DapXfer{DAP_REQ_MATCH_MASK, DAP_DHCSR_S_REGRDY};
    x[n++] = DapXfer{dap_ap_req(kBd1, false), 15};
    x[n++] = DapXfer{(uint8_t)(dap_ap_req(kBd0, true) | DAP_REQ_MATCH_VALUE), DAP_DHCSR_S_REGRDY};
    x[n++] = DapXfer{dap_ap_req(kBd2, true), 0};
    if (dap_transfer_fits(ctx, x, n)) {
        bool ok = dap_transfer_n(ctx, x, n, out) == n;
        dap_mem_prefix_done(ctx, &p, ok);
        dap_select_done(ctx, dap_current_ap(ctx), 1, ok);
        if (ok) {
            *pc = out[n - 1];
            return true;
        }
        if (ctx->disconnected) return false;
        // The probe gave up waiting for the halt (a slow or sleeping core):
        // wait for it here, then unmask interrupts and read the PC the plain way.
        uint32_t d = 0;
        bool halted = false;
        for (int i = 0; i < 200 && !halted; ++i) {
            if (!dap_read_dhcsr(ctx, &d)) return false;
            halted = (d & DAP_DHCSR_S_HALT) != 0;
            if (!halted) plat_sleep_ms(1);
        }
        if (!halted) return false;
        return dap_write_mem32(ctx, DAP_DHCSR, key | 0x3u) && dap_read_reg(ctx, 15, pc);
    } else {
        dap_mem_prefix_done(ctx, &p, false);
    }
    return dap_step(ctx) && dap_read_reg(ctx, 15, pc);
}
