// Hardware breakpoints in the Flash Patch and Breakpoint unit, and the probe
// side's record of which comparator holds which address.
#include "probe/dap_priv.h"
#include "platform/log_store.h"

static uint32_t s_fpb_base = 0xE0002000;
static bool s_fpb_enabled = false;
static uint32_t s_fpb_rev = 0;
static uint32_t s_fpb_num_code = 0;  // instruction comparators the unit has (FP_CTRL.NUM_CODE)
static uint32_t s_bp_addrs[8];
static bool s_bp_used[8];

void dap_invalidate_fpb_state() {
    s_fpb_enabled = false;
    s_fpb_rev = 0;
    s_fpb_num_code = 0;
    s_fpb_base = 0xE0002000;
    for (int i = 0; i < 8; ++i) {
        s_bp_used[i] = false;
        s_bp_addrs[i] = 0;
    }
}

uint32_t dap_fpb_comparator(int n) { return (n >= 0 && n < 8 && s_bp_used[n]) ? s_bp_addrs[n] : 0; }
uint32_t dap_fpb_rev() { return s_fpb_rev; }
uint32_t dap_fpb_num_code() { return s_fpb_enabled ? s_fpb_num_code : 0; }

bool fpb_enable(DapContext* ctx) {
    if (s_fpb_enabled) return true;
    s_fpb_base = 0xE0002000;
    if (!dap_write_mem32(ctx, s_fpb_base, 3)) return false;  // ENABLE | KEY
    uint32_t ctrl = 0;
    if (!dap_read_mem32(ctx, s_fpb_base, &ctrl)) ctrl = 0;
    s_fpb_rev = ctrl >> 28;
    uint32_t num_code = ((ctrl >> 8) & 0x70) | ((ctrl >> 4) & 0xF);
    if (num_code == 0) num_code = 4;
    // Comparators past the eighth are not used (the record has eight).
    s_fpb_num_code = num_code > 8 ? 8 : num_code;
    log_addf(&logv, "[FPB] base=0x%08X FPBv%s REV=%u NUM_CODE=%u (FP_CTRL=0x%08X)", s_fpb_base, s_fpb_rev ? "2" : "1",
             s_fpb_rev, num_code, ctrl);
    s_fpb_enabled = true;
    return true;
}

bool dap_set_bp(DapContext* ctx, uint32_t addr) {
    addr &= ~1u;
    // The FPB watches the Code region only; a version 1 comparator would
    // silently take the address's low 29 bits and break somewhere else.
    if (addr >= 0x20000000u) {
        log_addf(&logv, "[FPB] 0x%08X is outside the Code region: no hardware breakpoint there", addr);
        return false;
    }
    if (!ctx || !fpb_enable(ctx)) return false;
    int slot = -1;
    for (int i = 0; i < 8; ++i)
        if (s_bp_used[i] && s_bp_addrs[i] == addr) return true;
    // A comparator the unit does not have would read back as written on some
    // parts and never fire: only the first NUM_CODE are used.
    for (int i = 0; i < (int)s_fpb_num_code && slot < 0; ++i)
        if (!s_bp_used[i]) slot = i;
    if (slot < 0) {
        log_addf(&logv, "[FPB] All %u comparators are in use: no breakpoint at 0x%08X", s_fpb_num_code, addr);
        return false;
    }
    uint32_t comp, mask;
    if (s_fpb_rev == 0) {
        // Version 1 compares word addresses; REPLACE picks the halfword.
        comp = (addr & 0x1FFFFFFC) | ((addr & 2) ? 0x80000000u : 0x40000000u) | 1;
        mask = 0xFFFFFFFF;
    } else {
        comp = addr | 1;  // BE
        mask = 0x9FFFFFFF;
    }
    uint32_t reg = s_fpb_base + 8 + 4 * (uint32_t)slot;
    if (!dap_write_mem32(ctx, reg, comp)) return false;
    uint32_t rb = 0;
    if (!dap_read_mem32(ctx, reg, &rb)) rb = 0;
    bool match = (rb & mask) == (comp & mask);
    log_addf(&logv, "[FPB] slot=%d reg=0x%08X comp=0x%08X rb=0x%08X %s", slot, reg, comp, rb, match ? "OK" : "MISMATCH");
    s_bp_used[slot] = true;
    s_bp_addrs[slot] = addr;
    return true;
}

bool dap_clear_bp(DapContext* ctx, uint32_t addr) {
    addr &= ~1u;
    for (int i = 0; i < 8; ++i) {
        if (!s_bp_used[i] || s_bp_addrs[i] != addr) continue;
        if (ctx) dap_write_mem32(ctx, s_fpb_base + 8 + 4 * (uint32_t)i, 0);
        s_bp_used[i] = false;
        s_bp_addrs[i] = 0;
        return true;
    }
    return false;
}
