#include "sim/scs.h"

#include "sim/cortexm.h"

namespace {

uint8_t prio_mask(const SimCortexM* c) { return static_cast<uint8_t>((0xFFu << (8 - c->profile.priority_bits)) & 0xFF); }

unsigned num_irqs(const SimCortexM* c) { return c->num_exc - SIM_EXC_IRQ0; }

uint32_t ipsr(SimCortexM* c) {
    uint32_t x = 0;
    sim_cm_read_reg(c, SIM_REG_XPSR, &x);
    return x & 0x1FF;
}

// The byte-addressable priority registers: exception number of a byte offset.
int shpr_exc(uint32_t offset) {
    if (offset < SIM_SCS_SHPR1 || offset >= SIM_SCS_SHPR3 + 4) return -1;
    const int e = 4 + static_cast<int>(offset - SIM_SCS_SHPR1);
    switch (e) {
    case SIM_EXC_MEMMANAGE: case SIM_EXC_BUSFAULT: case SIM_EXC_USAGEFAULT: case SIM_EXC_SVCALL:
    case SIM_EXC_DEBUGMON: case SIM_EXC_PENDSV: case SIM_EXC_SYSTICK: return e;
    default: return 0; // reserved byte: RAZ/WI
    }
}

uint32_t irq_bits(const SimCortexM* c, unsigned word, const bool* table, unsigned table_offset) {
    uint32_t v = 0;
    for (unsigned b = 0; b < 32; ++b) {
        const unsigned irq = word * 32 + b;
        if (irq < num_irqs(c) && table[irq + table_offset]) v |= 1u << b;
    }
    return v;
}

uint32_t calib(const SimCortexM* c) {
    const uint64_t ref_hz = uint64_t{c->profile.instr_per_us} * 1000000 / (c->profile.systick_ext_div ? c->profile.systick_ext_div : 1);
    const uint64_t tenms = ref_hz / 100;
    const bool exact = ref_hz % 100 == 0;
    return (tenms ? static_cast<uint32_t>((tenms - 1) & 0xFFFFFF) : 0) | (exact ? 0 : 1u << 30);
}

uint32_t shcsr(const SimCortexM* c) {
    uint32_t v = c->scs.shcsr_ena;
    if (c->active[SIM_EXC_MEMMANAGE]) v |= 1u << 0;
    if (c->active[SIM_EXC_BUSFAULT]) v |= 1u << 1;
    if (c->active[SIM_EXC_USAGEFAULT]) v |= 1u << 3;
    if (c->active[SIM_EXC_SVCALL]) v |= 1u << 7;
    if (c->active[SIM_EXC_DEBUGMON]) v |= 1u << 8;
    if (c->active[SIM_EXC_PENDSV]) v |= 1u << 10;
    if (c->active[SIM_EXC_SYSTICK]) v |= 1u << 11;
    if (c->pending[SIM_EXC_USAGEFAULT]) v |= 1u << 12;
    if (c->pending[SIM_EXC_MEMMANAGE]) v |= 1u << 13;
    if (c->pending[SIM_EXC_BUSFAULT]) v |= 1u << 14;
    if (c->pending[SIM_EXC_SVCALL]) v |= 1u << 15;
    return v;
}

uint32_t icsr(SimCortexM* c) {
    const uint32_t active = ipsr(c);
    unsigned n_active = 0;
    for (unsigned e = 1; e < c->num_exc; ++e) n_active += c->active[e] ? 1 : 0;
    int p = 0;
    const unsigned pend = sim_cm_highest_pending(c, &p);
    bool isr_pending = false;
    for (unsigned e = SIM_EXC_IRQ0; e < c->num_exc; ++e) isr_pending = isr_pending || c->pending[e];
    uint32_t v = active | (pend << 12);
    if (active && n_active <= 1) v |= 1u << 11; // RETTOBASE
    if (isr_pending) v |= 1u << 22;
    if (pend && p < sim_cm_exec_priority(c)) v |= 1u << 23; // ISRPREEMPT
    if (c->pending[SIM_EXC_SYSTICK]) v |= 1u << 26;
    if (c->pending[SIM_EXC_PENDSV]) v |= 1u << 28;
    if (c->pending[SIM_EXC_NMI]) v |= 1u << 31;
    return v;
}

uint32_t dhcsr(SimCortexM* c, bool debugger) {
    SimScs& s = c->scs;
    uint32_t v = s.dhcsr_ctrl;
    if (s.s_regrdy) v |= SIM_DHCSR_S_REGRDY;
    if (c->halted) v |= SIM_DHCSR_S_HALT;
    if (c->sleeping) v |= SIM_DHCSR_S_SLEEP;
    if (c->lockup) v |= SIM_DHCSR_S_LOCKUP;
    if (s.s_retire_st) v |= SIM_DHCSR_S_RETIRE_ST;
    if (s.s_reset_st || c->reset_pin || c->held_in_reset) v |= SIM_DHCSR_S_RESET_ST;
    if (debugger) { // sticky bits belong to the debugger that polls them
        s.s_retire_st = false;
        s.s_reset_st = false;
    }
    return v;
}

constexpr uint32_t kIdRegs[13] = {0x00000030, 0x00000200, 0x00100000, 0x00000000, 0x00100030,
                                  0x00000000, 0x01000000, 0x00000000, 0x01101110, 0x02111000,
                                  0x21112231, 0x01111110, 0x01310132};
// Peripheral and component ID of the SCS (PIDR4..7, PIDR0..3, CIDR0..3).
constexpr uint8_t kScsIds[12] = {0x04, 0x00, 0x00, 0x00, 0x0C, 0xB0, 0x0B, 0x00, 0x0D, 0xE0, 0x05, 0xB1};

bool read_word(SimCortexM* c, uint32_t off, uint32_t* v, bool debugger) {
    SimScs& s = c->scs;
    *v = 0;
    if (off == SIM_SCS_ICTR) *v = (num_irqs(c) + 31) / 32 - 1;
    else if (off == SIM_SCS_ACTLR) *v = s.actlr;
    else if (off == SIM_SCS_SYST_CSR) {
        *v = s.syst_csr | (s.syst_countflag ? 1u << 16 : 0);
        if (!(debugger && c->halted)) s.syst_countflag = false;
    } else if (off == SIM_SCS_SYST_RVR) *v = s.syst_rvr;
    else if (off == SIM_SCS_SYST_CVR) *v = s.syst_cvr;
    else if (off == SIM_SCS_SYST_CALIB) *v = calib(c);
    else if (off >= SIM_SCS_NVIC_ISER && off < SIM_SCS_NVIC_ISER + 0x40) *v = irq_bits(c, (off - SIM_SCS_NVIC_ISER) / 4, c->irq_enabled, 0);
    else if (off >= SIM_SCS_NVIC_ICER && off < SIM_SCS_NVIC_ICER + 0x40) *v = irq_bits(c, (off - SIM_SCS_NVIC_ICER) / 4, c->irq_enabled, 0);
    else if (off >= SIM_SCS_NVIC_ISPR && off < SIM_SCS_NVIC_ISPR + 0x40) *v = irq_bits(c, (off - SIM_SCS_NVIC_ISPR) / 4, c->pending, SIM_EXC_IRQ0);
    else if (off >= SIM_SCS_NVIC_ICPR && off < SIM_SCS_NVIC_ICPR + 0x40) *v = irq_bits(c, (off - SIM_SCS_NVIC_ICPR) / 4, c->pending, SIM_EXC_IRQ0);
    else if (off >= SIM_SCS_NVIC_IABR && off < SIM_SCS_NVIC_IABR + 0x40) *v = irq_bits(c, (off - SIM_SCS_NVIC_IABR) / 4, c->active, SIM_EXC_IRQ0);
    else if (off >= SIM_SCS_NVIC_IPR && off < SIM_SCS_NVIC_IPR + 0x1F0) {
        for (unsigned b = 0; b < 4; ++b) {
            const unsigned irq = off - SIM_SCS_NVIC_IPR + b;
            if (irq < num_irqs(c)) *v |= uint32_t{c->prio[SIM_EXC_IRQ0 + irq]} << (8 * b);
        }
    } else if (off == SIM_SCS_CPUID) *v = c->profile.cpuid;
    else if (off == SIM_SCS_ICSR) *v = icsr(c);
    else if (off == SIM_SCS_VTOR) *v = s.vtor;
    else if (off == SIM_SCS_AIRCR) *v = 0xFA050000u | (s.prigroup << 8);
    else if (off == SIM_SCS_SCR) *v = s.scr;
    else if (off == SIM_SCS_CCR) *v = s.ccr;
    else if (off >= SIM_SCS_SHPR1 && off <= SIM_SCS_SHPR3) {
        for (unsigned b = 0; b < 4; ++b) {
            const int e = shpr_exc(off + b);
            if (e > 0) *v |= uint32_t{c->prio[e]} << (8 * b);
        }
    } else if (off == SIM_SCS_SHCSR) *v = shcsr(c);
    else if (off == SIM_SCS_CFSR) *v = s.cfsr;
    else if (off == SIM_SCS_HFSR) *v = s.hfsr;
    else if (off == SIM_SCS_DFSR) *v = s.dfsr;
    else if (off == SIM_SCS_MMFAR) *v = s.mmfar;
    else if (off == SIM_SCS_BFAR) *v = s.bfar;
    else if (off == SIM_SCS_AFSR) *v = s.afsr;
    else if (off >= 0xD40 && off < 0xD74) *v = kIdRegs[(off - 0xD40) / 4];
    else if (off == SIM_SCS_CPACR) *v = s.cpacr;
    else if (off == SIM_SCS_DHCSR) *v = dhcsr(c, debugger);
    else if (off == SIM_SCS_DCRDR) *v = s.dcrdr;
    else if (off == SIM_SCS_DEMCR) *v = s.demcr;
    else if (off == SIM_SCS_FPCCR && c->profile.has_fpu) *v = s.fpccr;
    else if (off == SIM_SCS_FPCAR && c->profile.has_fpu) *v = s.fpcar;
    else if (off == SIM_SCS_FPDSCR && c->profile.has_fpu) *v = s.fpdscr;
    else if (off == SIM_SCS_MVFR0 && c->profile.has_fpu) *v = 0x10110021;
    else if (off == SIM_SCS_MVFR1 && c->profile.has_fpu) *v = 0x11000011;
    else if (off >= 0xFD0) *v = kScsIds[(off - 0xFD0) / 4];
    // Everything else in the SCS (the MPU included: MPU_TYPE reads 0, no
    // MPU modelled) is reserved: RAZ/WI.
    return true;
}

void write_irq_bits(SimCortexM* c, uint32_t off, uint32_t base, uint32_t v, int kind) {
    const unsigned word = (off - base) / 4;
    for (unsigned b = 0; b < 32; ++b) {
        const unsigned irq = word * 32 + b;
        if (!(v & (1u << b)) || irq >= num_irqs(c)) continue;
        switch (kind) {
        case 0: c->irq_enabled[irq] = true; c->stop_next = true; break;
        case 1: c->irq_enabled[irq] = false; break;
        case 2: sim_cm_set_pending(c, SIM_EXC_IRQ0 + irq, true); break;
        default: c->pending[SIM_EXC_IRQ0 + irq] = false; break;
        }
    }
    if (kind == 0) sim_cm_check_wake(c);
}

void write_dhcsr(SimCortexM* c, uint32_t v, bool debugger) {
    if ((v & 0xFFFF0000u) != SIM_DHCSR_KEY) return; // writes without DBGKEY are ignored
    SimScs& s = c->scs;
    const uint32_t ctrl_mask = SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_HALT | SIM_DHCSR_C_STEP | SIM_DHCSR_C_MASKINTS |
                               SIM_DHCSR_C_SNAPSTALL;
    uint32_t ctrl = v & ctrl_mask;
    if (!debugger) { // software cannot change C_DEBUGEN; it may halt an enabled core
        ctrl = (ctrl & ~SIM_DHCSR_C_DEBUGEN) | (s.dhcsr_ctrl & SIM_DHCSR_C_DEBUGEN);
    }
    if (!(ctrl & SIM_DHCSR_C_DEBUGEN)) ctrl = 0;
    if (c->never_halt) ctrl &= ~SIM_DHCSR_C_HALT;
    s.dhcsr_ctrl = ctrl;
    if (ctrl & SIM_DHCSR_C_HALT) {
        sim_cm_request_halt(c, SIM_DFSR_HALTED);
    } else if (c->halted) {
        sim_cm_resume(c, (ctrl & SIM_DHCSR_C_STEP) != 0);
    }
}

void write_dcrsr(SimCortexM* c, uint32_t v) {
    SimScs& s = c->scs;
    s.s_regrdy = false;
    if (!c->halted) return; // no transfer outside Debug state: S_REGRDY stays clear
    const unsigned regsel = v & 0x7F;
    const bool write = (v & (1u << 16)) != 0;
    const bool ok = write ? sim_cm_write_reg(c, regsel, s.dcrdr) : sim_cm_read_reg(c, regsel, &s.dcrdr);
    s.s_regrdy = ok; // a selector that does not exist never completes
}

bool write_word(SimCortexM* c, uint32_t off, uint32_t v, bool debugger) {
    SimScs& s = c->scs;
    if (off == SIM_SCS_ACTLR) s.actlr = v & 0x307;
    else if (off == SIM_SCS_SYST_CSR) {
        s.syst_csr = v & 7;
        c->stop_next = true;
    } else if (off == SIM_SCS_SYST_RVR) s.syst_rvr = v & 0xFFFFFF;
    else if (off == SIM_SCS_SYST_CVR) {
        s.syst_cvr = 0;
        s.syst_countflag = false;
    } else if (off >= SIM_SCS_NVIC_ISER && off < SIM_SCS_NVIC_ISER + 0x40) write_irq_bits(c, off, SIM_SCS_NVIC_ISER, v, 0);
    else if (off >= SIM_SCS_NVIC_ICER && off < SIM_SCS_NVIC_ICER + 0x40) write_irq_bits(c, off, SIM_SCS_NVIC_ICER, v, 1);
    else if (off >= SIM_SCS_NVIC_ISPR && off < SIM_SCS_NVIC_ISPR + 0x40) write_irq_bits(c, off, SIM_SCS_NVIC_ISPR, v, 2);
    else if (off >= SIM_SCS_NVIC_ICPR && off < SIM_SCS_NVIC_ICPR + 0x40) write_irq_bits(c, off, SIM_SCS_NVIC_ICPR, v, 3);
    else if (off == SIM_SCS_ICSR) {
        if (v & (1u << 31)) sim_cm_set_pending(c, SIM_EXC_NMI, true);
        if (v & (1u << 28)) sim_cm_set_pending(c, SIM_EXC_PENDSV, true);
        if (v & (1u << 27)) c->pending[SIM_EXC_PENDSV] = false;
        if (v & (1u << 26)) sim_cm_set_pending(c, SIM_EXC_SYSTICK, true);
        if (v & (1u << 25)) c->pending[SIM_EXC_SYSTICK] = false;
    } else if (off == SIM_SCS_VTOR) s.vtor = v & 0xFFFFFF80u;
    else if (off == SIM_SCS_AIRCR) {
        if ((v >> 16) != 0x05FA) return true; // no VECTKEY: ignored
        s.prigroup = (v >> 8) & 7;
        if ((v & 2) && c->halted) // VECTCLRACTIVE: a debugger's tool
            for (unsigned e = 1; e < c->num_exc; ++e) c->active[e] = false;
        if (v & 4) c->sysreset_request = true;
        else if (v & 1) c->vectreset_request = true;
        if (v & 5) c->stop_next = true;
    } else if (off == SIM_SCS_SCR) s.scr = v & 0x16;
    else if (off == SIM_SCS_CCR) s.ccr = v & 0x31B;
    else if (off == SIM_SCS_SHCSR) {
        s.shcsr_ena = v & (SIM_SHCSR_MEMFAULTENA | SIM_SHCSR_BUSFAULTENA | SIM_SHCSR_USGFAULTENA);
        c->pending[SIM_EXC_USAGEFAULT] = (v >> 12) & 1;
        c->pending[SIM_EXC_MEMMANAGE] = (v >> 13) & 1;
        c->pending[SIM_EXC_BUSFAULT] = (v >> 14) & 1;
        c->pending[SIM_EXC_SVCALL] = (v >> 15) & 1;
    } else if (off == SIM_SCS_CFSR) s.cfsr &= ~v;
    else if (off == SIM_SCS_HFSR) s.hfsr &= ~v;
    else if (off == SIM_SCS_DFSR) s.dfsr &= ~v;
    else if (off == SIM_SCS_MMFAR) s.mmfar = v;
    else if (off == SIM_SCS_BFAR) s.bfar = v;
    else if (off == SIM_SCS_AFSR) s.afsr &= ~v;
    else if (off == SIM_SCS_CPACR) s.cpacr = c->profile.has_fpu ? v & 0x00F00000u : 0;
    else if (off == SIM_SCS_DHCSR) write_dhcsr(c, v, debugger);
    else if (off == SIM_SCS_DCRSR) {
        if (debugger) write_dcrsr(c, v);
    } else if (off == SIM_SCS_DCRDR) s.dcrdr = v;
    else if (off == SIM_SCS_DEMCR) s.demcr = v & 0x010F07F1u;
    else if (off == SIM_SCS_STIR) {
        if ((v & 0x1FF) < num_irqs(c)) sim_cm_set_pending(c, SIM_EXC_IRQ0 + (v & 0x1FF), true);
    } else if (off == SIM_SCS_FPCCR && c->profile.has_fpu) s.fpccr = v & 0xC00001FBu;
    else if (off == SIM_SCS_FPCAR && c->profile.has_fpu) s.fpcar = v & ~7u;
    else if (off == SIM_SCS_FPDSCR && c->profile.has_fpu) s.fpdscr = v & 0x07C00000u;
    return true;
}

bool write_byte(SimCortexM* c, uint32_t off, uint8_t v) {
    if (off >= SIM_SCS_NVIC_IPR && off < SIM_SCS_NVIC_IPR + 0x1F0) {
        const unsigned irq = off - SIM_SCS_NVIC_IPR;
        if (irq < num_irqs(c)) c->prio[SIM_EXC_IRQ0 + irq] = v & prio_mask(c);
        return true;
    }
    const int e = shpr_exc(off);
    if (e > 0) c->prio[e] = v & prio_mask(c);
    return e >= 0;
}

} // namespace

void sim_scs_power_on(SimScs* s) {
    *s = SimScs{};
    sim_scs_local_reset(s);
}

void sim_scs_local_reset(SimScs* s) {
    s->vtor = 0;
    s->prigroup = 0;
    s->scr = 0;
    s->ccr = SIM_CCR_STKALIGN;
    s->shcsr_ena = 0;
    s->cfsr = s->hfsr = s->mmfar = s->bfar = s->afsr = 0;
    s->cpacr = 0;
    s->fpccr = 0xC0000000u; // ASPEN | LSPEN
    s->fpcar = s->fpdscr = 0;
    s->actlr = 0;
    s->syst_csr = 0;
    s->syst_rvr = s->syst_cvr = 0;
    s->syst_countflag = false;
    s->syst_ext_accum = 0;
    // Debug state survives: DHCSR keeps C_DEBUGEN and C_MASKINTS, DEMCR all
    // but the DebugMonitor bits, DFSR everything. A halt or step request does
    // not carry over: the core halts after reset only by VC_CORERESET.
    s->dhcsr_ctrl &= SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_MASKINTS;
    s->demcr &= ~(SIM_DEMCR_MON_EN | SIM_DEMCR_MON_PEND | SIM_DEMCR_MON_STEP | SIM_DEMCR_MON_REQ);
    s->s_regrdy = false;
}

bool sim_scs_read(SimCortexM* c, uint32_t offset, unsigned size, uint32_t* value, bool debugger) {
    if (offset >= SIM_SCS_SIZE || (size != 1 && size != 2 && size != 4) || (offset & (size - 1))) return false;
    uint32_t w = 0;
    if (!read_word(c, offset & ~3u, &w, debugger)) return false;
    const unsigned shift = 8 * (offset & 3);
    *value = size == 4 ? w : (w >> shift) & (size == 1 ? 0xFFu : 0xFFFFu);
    return true;
}

bool sim_scs_write(SimCortexM* c, uint32_t offset, unsigned size, uint32_t value, bool debugger) {
    if (offset >= SIM_SCS_SIZE || (size != 1 && size != 2 && size != 4) || (offset & (size - 1))) return false;
    const bool bytewise = (offset >= SIM_SCS_NVIC_IPR && offset < SIM_SCS_NVIC_IPR + 0x1F0) ||
                          (offset >= SIM_SCS_SHPR1 && offset < SIM_SCS_SHPR3 + 4);
    if (bytewise) {
        for (unsigned b = 0; b < size; ++b)
            if (!write_byte(c, offset + b, static_cast<uint8_t>(value >> (8 * b)))) return false;
        return true;
    }
    if (size != 4) return false; // word-only registers refuse narrower stores
    return write_word(c, offset, value, debugger);
}

void sim_systick_advance(SimCortexM* c, uint64_t cycles) {
    SimScs& s = c->scs;
    if (!(s.syst_csr & 1)) return;
    uint64_t ticks = cycles;
    if (!(s.syst_csr & 4)) { // external reference: core clock / systick_ext_div
        const unsigned div = c->profile.systick_ext_div ? c->profile.systick_ext_div : 1;
        const uint64_t total = s.syst_ext_accum + cycles;
        ticks = total / div;
        s.syst_ext_accum = static_cast<uint32_t>(total % div);
    }
    while (ticks > 0) {
        if (s.syst_cvr == 0) { // reload takes one tick
            if (s.syst_rvr == 0) return;
            s.syst_cvr = s.syst_rvr;
            --ticks;
            continue;
        }
        if (ticks < s.syst_cvr) {
            s.syst_cvr -= static_cast<uint32_t>(ticks);
            return;
        }
        ticks -= s.syst_cvr;
        s.syst_cvr = 0;
        s.syst_countflag = true;
        if (s.syst_csr & 2) sim_cm_set_pending(c, SIM_EXC_SYSTICK, true);
        if (s.syst_rvr && ticks >= uint64_t{s.syst_rvr} + 1) { // whole periods at once
            const uint64_t periods = ticks / (uint64_t{s.syst_rvr} + 1);
            ticks -= periods * (uint64_t{s.syst_rvr} + 1);
        }
    }
}

uint64_t sim_systick_cycles_to_event(const SimCortexM* c) {
    const SimScs& s = c->scs;
    if (!(s.syst_csr & 1) || !(s.syst_csr & 2)) return UINT64_MAX;
    uint64_t ticks = s.syst_cvr ? s.syst_cvr : uint64_t{s.syst_rvr} + 1;
    if (s.syst_cvr == 0 && s.syst_rvr == 0) return UINT64_MAX;
    if (s.syst_csr & 4) return ticks;
    const unsigned div = c->profile.systick_ext_div ? c->profile.systick_ext_div : 1;
    return ticks * div - s.syst_ext_accum;
}
