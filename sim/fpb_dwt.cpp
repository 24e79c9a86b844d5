#include "sim/fpb_dwt.h"

namespace {

bool word_access(uint32_t offset, unsigned size) { return size == 4 && (offset & 3u) == 0 && offset < 0x1000; }

// ---- FPB

constexpr uint32_t FPB_V1_COMP_MASK = 0xDFFFFFFDu;  // REPLACE, COMP, ENABLE
constexpr uint32_t FPB_V1_LIT_MASK = 0x1FFFFFFDu;   // literal comparators: no REPLACE
constexpr uint32_t FPB_V1_REMAP_MASK = 0x1FFFFFE0u;
constexpr uint32_t FPB_V1_RMPSPT = 1u << 29;

unsigned fpb_total(const SimFpb* fpb) { return fpb->profile.num_code + fpb->profile.num_lit; }

bool fpb_rd(void* c, uint32_t a, unsigned s, uint32_t* v) { return sim_fpb_read(static_cast<SimFpb*>(c), a, s, v); }
bool fpb_wr(void* c, uint32_t a, unsigned s, uint32_t v) { return sim_fpb_write(static_cast<SimFpb*>(c), a, s, v); }

// ---- DWT

constexpr uint32_t DWT_CTRL_WRITABLE = 0x007F1FFFu;   // event enables, PCSAMPLENA, taps, CYCCNTENA
// FUNCTION, EMITRANGE, DATAVSIZE, DATAVADDR0/1. CYCMATCH and DATAVMATCH are
// left unwritable: value and cycle matching are not modelled, and reading
// them back as 0 tells a debugger so instead of a watchpoint that never fires.
constexpr uint32_t DWT_FUNCTION_WRITABLE = 0x000FFC2Fu;
constexpr uint32_t DWT_MASK_WRITABLE = 0x1Fu;

unsigned dwt_function(const SimDwt* dwt, unsigned n) { return dwt->function[n] & 0xFu; }

bool dwt_hits(const SimDwt* dwt, unsigned n, uint32_t addr, unsigned size) {
    const uint32_t m = (1u << (dwt->mask[n] & 0x1Fu)) - 1u;
    const uint64_t base = dwt->comp[n] & ~m, limit = base | m;
    const uint64_t lo = addr, hi = uint64_t(addr) + (size ? size : 1) - 1;
    return lo <= limit && hi >= base; // any byte of the access inside the range
}

bool dwt_rd(void* c, uint32_t a, unsigned s, uint32_t* v) { return sim_dwt_read(static_cast<SimDwt*>(c), a, s, v); }
bool dwt_wr(void* c, uint32_t a, unsigned s, uint32_t v) { return sim_dwt_write(static_cast<SimDwt*>(c), a, s, v); }

// ---- ITM

constexpr uint32_t ITM_LAR_KEY = 0xC5ACCE55u;
constexpr uint32_t ITM_TCR_ITMENA = 1u << 0;
constexpr uint32_t ITM_TCR_WRITABLE = 0x007F0F1Fu;

bool itm_rd(void* c, uint32_t a, unsigned s, uint32_t* v) { return sim_itm_read(static_cast<SimItm*>(c), a, s, v); }
bool itm_wr(void* c, uint32_t a, unsigned s, uint32_t v) { return sim_itm_write(static_cast<SimItm*>(c), a, s, v, true); }

} // namespace

// ---- FPB -------------------------------------------------------------------

SimFpbProfile sim_fpb_profile_cortex_m4() { return SimFpbProfile{1, 6, 2}; }

bool sim_fpb_init(SimFpb* fpb, const SimFpbProfile* profile) {
    fpb->profile = profile ? *profile : sim_fpb_profile_cortex_m4();
    fpb->ids = sim_cs_ids(SimCsComponent::fpb_m4);
    const bool ok = (fpb->profile.version == 1 || fpb->profile.version == 2) && fpb->profile.num_code <= 127 &&
                    fpb->profile.num_lit <= 15 && fpb_total(fpb) <= SIM_FPB_MAX_COMPS;
    if (!ok) fpb->profile = SimFpbProfile{1, 0, 0}; // no comparators: nothing can match
    sim_fpb_reset(fpb);
    return ok;
}

void sim_fpb_reset(SimFpb* fpb) {
    fpb->enable = false;
    fpb->remap = 0;
    for (uint32_t& c : fpb->comp) c = 0;
}

bool sim_fpb_read(SimFpb* fpb, uint32_t offset, unsigned size, uint32_t* value) {
    if (!word_access(offset, size)) return false;
    if (offset >= 0xFD0) return sim_cs_id_read(&fpb->ids, offset, size, value);
    const SimFpbProfile& p = fpb->profile;
    if (offset == SIM_FPB_CTRL) {
        const uint32_t rev = p.version == 2 ? 1u : 0u;
        *value = (rev << 28) | (uint32_t(p.num_code >> 4) << 12) | (uint32_t(p.num_lit) << 8) |
                 (uint32_t(p.num_code & 0xF) << 4) | (fpb->enable ? 1u : 0u); // KEY reads 0
        return true;
    }
    if (offset == SIM_FPB_REMAP) {
        *value = p.version == 1 ? (fpb->remap | FPB_V1_RMPSPT) : 0u;
        return true;
    }
    const uint32_t n = (offset - SIM_FPB_COMP0) / 4;
    *value = n < fpb_total(fpb) ? fpb->comp[n] : 0u;
    return true;
}

bool sim_fpb_write(SimFpb* fpb, uint32_t offset, unsigned size, uint32_t value) {
    if (!word_access(offset, size)) return false;
    const SimFpbProfile& p = fpb->profile;
    if (offset == SIM_FPB_CTRL) {
        if (value & 2u) fpb->enable = value & 1u; // without KEY the write is ignored
        return true;
    }
    if (offset == SIM_FPB_REMAP) {
        if (p.version == 1) fpb->remap = value & FPB_V1_REMAP_MASK;
        return true;
    }
    if (offset >= 0xFD0) return true;
    const uint32_t n = (offset - SIM_FPB_COMP0) / 4;
    if (n < fpb_total(fpb)) {
        if (p.version == 2) fpb->comp[n] = value;
        else fpb->comp[n] = value & (n < p.num_code ? FPB_V1_COMP_MASK : FPB_V1_LIT_MASK);
    }
    return true;
}

SimMemPort sim_fpb_port(SimFpb* fpb) { return SimMemPort{fpb, fpb_rd, fpb_wr}; }

bool sim_fpb_match(const SimFpb* fpb, uint32_t addr) {
    if (!fpb->enable) return false;
    const SimFpbProfile& p = fpb->profile;
    for (unsigned n = 0; n < p.num_code; ++n) {
        const uint32_t c = fpb->comp[n];
        if (!(c & 1u)) continue;
        if (p.version == 2) {
            if ((c & ~1u) == (addr & ~1u)) return true; // BPADDR = address bits 31:1
            continue;
        }
        // Version 1: only the code region, COMP = address bits 28:2, and
        // REPLACE picks the halfword(s) of that word that break.
        if (addr >= 0x20000000u) continue;
        if ((c & 0x1FFFFFFCu) != (addr & 0x1FFFFFFCu)) continue;
        const uint32_t replace = c >> 30;
        const bool upper = addr & 2u;
        if (replace == 3 || (replace == 1 && !upper) || (replace == 2 && upper)) return true;
        // replace == 0 is a remap to FP_REMAP: no breakpoint.
    }
    return false;
}

// ---- DWT -------------------------------------------------------------------

void sim_dwt_init(SimDwt* dwt, SimDwtCoreView core) {
    dwt->ids = sim_cs_ids(SimCsComponent::dwt_m4);
    dwt->core = core;
    dwt->trcena = false;
    sim_dwt_reset(dwt);
}

void sim_dwt_reset(SimDwt* dwt) {
    dwt->ctrl = 0;
    dwt->cyccnt = 0;
    for (unsigned n = 0; n < SIM_DWT_NUMCOMP; ++n) dwt->comp[n] = dwt->mask[n] = dwt->function[n] = 0;
}

void sim_dwt_set_trcena(SimDwt* dwt, bool trcena) { dwt->trcena = trcena; }

bool sim_dwt_read(SimDwt* dwt, uint32_t offset, unsigned size, uint32_t* value) {
    if (!word_access(offset, size)) return false;
    if (offset >= 0xFD0) return sim_cs_id_read(&dwt->ids, offset, size, value);
    switch (offset) {
    case SIM_DWT_CTRL: *value = (uint32_t(SIM_DWT_NUMCOMP) << 28) | dwt->ctrl; return true;
    case SIM_DWT_CYCCNT: *value = dwt->cyccnt; return true;
    case SIM_DWT_CPICNT:
    case SIM_DWT_EXCCNT:
    case SIM_DWT_SLEEPCNT:
    case SIM_DWT_LSUCNT:
    case SIM_DWT_FOLDCNT: *value = 0; return true; // profiling counters not modelled
    case SIM_DWT_PCSR: {
        // ARMv7-M: PCSR reads 0xFFFFFFFF while the core is halted.
        uint32_t pc = 0;
        const bool running = dwt->core.sample_pc && dwt->core.sample_pc(dwt->core.ctx, &pc);
        *value = running ? pc : 0xFFFFFFFFu;
        return true;
    }
    default: break;
    }
    if (offset >= SIM_DWT_COMP0 && offset < SIM_DWT_COMP0 + 16 * SIM_DWT_NUMCOMP) {
        const unsigned n = (offset - SIM_DWT_COMP0) / 16;
        switch ((offset - SIM_DWT_COMP0) % 16) {
        case 0: *value = dwt->comp[n]; return true;
        case 4: *value = dwt->mask[n]; return true;
        case 8:
            *value = dwt->function[n];
            dwt->function[n] &= ~SIM_DWT_FUNCTION_MATCHED; // MATCHED clears on read
            return true;
        default: break;
        }
    }
    *value = 0;
    return true;
}

bool sim_dwt_write(SimDwt* dwt, uint32_t offset, unsigned size, uint32_t value) {
    if (!word_access(offset, size)) return false;
    if (offset == SIM_DWT_CTRL) { dwt->ctrl = value & DWT_CTRL_WRITABLE; return true; }
    if (offset == SIM_DWT_CYCCNT) { dwt->cyccnt = value; return true; }
    if (offset >= SIM_DWT_COMP0 && offset < SIM_DWT_COMP0 + 16 * SIM_DWT_NUMCOMP) {
        const unsigned n = (offset - SIM_DWT_COMP0) / 16;
        switch ((offset - SIM_DWT_COMP0) % 16) {
        case 0: dwt->comp[n] = value; break;
        case 4: dwt->mask[n] = value & DWT_MASK_WRITABLE; break;
        case 8:
            dwt->function[n] = (dwt->function[n] & SIM_DWT_FUNCTION_MATCHED) | (value & DWT_FUNCTION_WRITABLE);
            break;
        default: break;
        }
    }
    return true; // counters, PCSR and reserved words ignore writes
}

SimMemPort sim_dwt_port(SimDwt* dwt) { return SimMemPort{dwt, dwt_rd, dwt_wr}; }

void sim_dwt_advance(SimDwt* dwt, uint64_t cycles) {
    if (!dwt->trcena || !(dwt->ctrl & SIM_DWT_CTRL_CYCCNTENA)) return;
    dwt->cyccnt += static_cast<uint32_t>(cycles); // a 32-bit counter wraps
}

bool sim_dwt_data_access(SimDwt* dwt, uint32_t addr, unsigned size, bool is_write) {
    if (!dwt->trcena) return false;
    bool halt = false;
    for (unsigned n = 0; n < SIM_DWT_NUMCOMP; ++n) {
        const unsigned f = dwt_function(dwt, n);
        const bool wants = (f == 5 && !is_write) || (f == 6 && is_write) || f == 7;
        if (!wants || !dwt_hits(dwt, n, addr, size)) continue;
        dwt->function[n] |= SIM_DWT_FUNCTION_MATCHED;
        halt = true;
    }
    return halt;
}

bool sim_dwt_instr_match(SimDwt* dwt, uint32_t addr) {
    if (!dwt->trcena) return false;
    bool halt = false;
    for (unsigned n = 0; n < SIM_DWT_NUMCOMP; ++n) {
        if (dwt_function(dwt, n) != 4 || !dwt_hits(dwt, n, addr & ~1u, 2)) continue;
        dwt->function[n] |= SIM_DWT_FUNCTION_MATCHED;
        halt = true;
    }
    return halt;
}

// ---- ITM -------------------------------------------------------------------

void sim_itm_init(SimItm* itm) {
    itm->ids = sim_cs_ids(SimCsComponent::itm_m4);
    itm->trcena = false;
    sim_itm_reset(itm);
}

void sim_itm_reset(SimItm* itm) {
    itm->unlocked = false;
    itm->ter = itm->tpr = itm->tcr = 0;
    itm->captured_len = 0;
    itm->dropped = 0;
}

void sim_itm_set_trcena(SimItm* itm, bool trcena) { itm->trcena = trcena; }

bool sim_itm_read(SimItm* itm, uint32_t offset, unsigned size, uint32_t* value) {
    if (offset >= 0x1000 || (size != 1 && size != 2 && size != 4) || offset % size) return false;
    if (offset < 0x100) {
        // Stimulus port: bit 0 = FIFOREADY. Always ready when enabled, as a
        // trace sink that never backs up; 0 when the ITM is off.
        *value = (itm->trcena && (itm->tcr & ITM_TCR_ITMENA)) ? 1u : 0u;
        return true;
    }
    if (size != 4) return false;
    if (offset >= 0xFD0) return sim_cs_id_read(&itm->ids, offset, size, value);
    switch (offset) {
    case SIM_ITM_TER: *value = itm->ter; return true;
    case SIM_ITM_TPR: *value = itm->tpr; return true;
    case SIM_ITM_TCR: *value = itm->tcr; return true;
    case SIM_ITM_LSR: *value = 0x1u | (itm->unlocked ? 0u : 0x2u); return true; // lock present, locked
    default: *value = 0; return true;
    }
}

bool sim_itm_write(SimItm* itm, uint32_t offset, unsigned size, uint32_t value, bool from_debugger) {
    if (offset >= 0x1000 || (size != 1 && size != 2 && size != 4) || offset % size) return false;
    if (offset < 0x100) {
        const unsigned port = offset / 4;
        if (!itm->trcena || !(itm->tcr & ITM_TCR_ITMENA) || !(itm->ter & (1u << port))) return true;
        if (port != 0) return true;
        for (unsigned i = 0; i < size; ++i) {
            if (itm->captured_len < SIM_ITM_CAPTURE) itm->captured[itm->captured_len++] = uint8_t(value >> (8 * i));
            else ++itm->dropped;
        }
        return true;
    }
    if (size != 4) return false;
    if (offset == SIM_ITM_LAR) { itm->unlocked = value == ITM_LAR_KEY; return true; }
    if (!from_debugger && !itm->unlocked) return true; // software writes need the lock key
    switch (offset) {
    case SIM_ITM_TER: itm->ter = value; break;
    case SIM_ITM_TPR: itm->tpr = value & 0xFu; break;
    case SIM_ITM_TCR: itm->tcr = value & ITM_TCR_WRITABLE; break;
    default: break;
    }
    return true;
}

SimMemPort sim_itm_debug_port(SimItm* itm) { return SimMemPort{itm, itm_rd, itm_wr}; }
