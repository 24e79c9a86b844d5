#include "sim/cortexm.h"

#include <unicorn/unicorn.h>

#include <cstring>

namespace {

uint32_t rd(SimCortexM* c, int reg) {
    uint32_t v = 0;
    uc_reg_read(c->uc, reg, &v);
    return v;
}
void wr(SimCortexM* c, int reg, uint32_t v) { uc_reg_write(c->uc, reg, &v); }

bool bus_read32(SimCortexM* c, uint32_t addr, uint32_t* v) { return c->bus.read(c->bus.ctx, addr, 4, v); }
bool bus_write32(SimCortexM* c, uint32_t addr, uint32_t v) { return c->bus.write(c->bus.ctx, addr, 4, v); }

bool fetch16(const SimCortexM* c, uint32_t addr, uint16_t* out) {
    for (unsigned i = 0; i < c->num_fetch; ++i) {
        const SimFetchRegion& r = c->fetch[i];
        if (addr >= r.base && addr - r.base <= r.size - 2) {
            std::memcpy(out, r.ptr + (addr - r.base), 2);
            return true;
        }
    }
    return false;
}

// The state that decides privilege and the banked SP, in one record so that
// it is always written in an order the engine accepts (see cortexm.h).
struct Mode {
    uint32_t ipsr, control, msp, psp, primask, basepri, faultmask;
};

Mode read_mode(SimCortexM* c) {
    Mode m;
    m.ipsr = rd(c, UC_ARM_REG_IPSR) & 0x1FF;
    m.control = rd(c, UC_ARM_REG_CONTROL) & 7;
    // Unprivileged, the engine reads the stack pointers and masks as 0.
    const bool stage = m.ipsr == 0 && (m.control & 1);
    if (stage) wr(c, UC_ARM_REG_IPSR, 1);
    m.msp = rd(c, UC_ARM_REG_MSP);
    m.psp = rd(c, UC_ARM_REG_PSP);
    m.primask = rd(c, UC_ARM_REG_PRIMASK) & 1;
    m.basepri = rd(c, UC_ARM_REG_BASEPRI) & 0xFF;
    m.faultmask = rd(c, UC_ARM_REG_FAULTMASK) & 1;
    if (stage) {
        wr(c, UC_ARM_REG_IPSR, 0);
        // Handler mode read MSP as the SP; the other bank is unchanged.
    }
    return m;
}

void write_mode(SimCortexM* c, const Mode& m) {
    wr(c, UC_ARM_REG_IPSR, 1); // handler mode: privileged, SP = MSP
    wr(c, UC_ARM_REG_CONTROL, m.control & (c->profile.has_fpu ? 7u : 3u));
    wr(c, UC_ARM_REG_PRIMASK, m.primask);
    wr(c, UC_ARM_REG_BASEPRI, m.basepri);
    wr(c, UC_ARM_REG_FAULTMASK, m.faultmask);
    wr(c, UC_ARM_REG_MSP, m.msp);
    wr(c, UC_ARM_REG_PSP, m.psp);
    wr(c, UC_ARM_REG_IPSR, m.ipsr); // back to thread mode swaps in PSP if SPSEL
}

uint32_t current_pc(SimCortexM* c) { return rd(c, UC_ARM_REG_PC) & ~1u; }
void set_pc(SimCortexM* c, uint32_t pc) { wr(c, UC_ARM_REG_PC, pc | 1u); }

uint32_t read_xpsr(SimCortexM* c) {
    uint32_t x = rd(c, UC_ARM_REG_XPSR) & ~(1u << 24);
    return x | (c->epsr_t ? 1u << 24 : 0);
}

bool is_fault(unsigned exc) { return exc >= SIM_EXC_MEMMANAGE && exc <= SIM_EXC_USAGEFAULT; }

uint32_t fault_enable_bit(unsigned exc) {
    switch (exc) {
    case SIM_EXC_MEMMANAGE: return SIM_SHCSR_MEMFAULTENA;
    case SIM_EXC_BUSFAULT: return SIM_SHCSR_BUSFAULTENA;
    default: return SIM_SHCSR_USGFAULTENA;
    }
}

void enter_lockup(SimCortexM* c) {
    c->lockup = true;
    c->sleeping = false;
    set_pc(c, 0xFFFFFFFE);
}

void halt(SimCortexM* c, uint32_t dfsr_bits) {
    c->halted = true;
    c->sleeping = false;
    c->lockup = false; // entering Debug state leaves Lockup
    c->step_pending = false;
    c->scs.dfsr |= dfsr_bits;
    c->scs.dhcsr_ctrl |= SIM_DHCSR_C_HALT;
    c->scs.s_regrdy = true;
}

bool debug_enabled(const SimCortexM* c) { return (c->scs.dhcsr_ctrl & SIM_DHCSR_C_DEBUGEN) != 0; }

// ARMv7-M UpdateFPCCR: the frame's FP space is reserved, not yet written;
// the ready bits record what the preempted context could take, should the
// lazy write fault.
void update_fpccr(SimCortexM* c, uint32_t frame, bool handler, bool unprivileged, int exec_prio) {
    uint32_t f = c->scs.fpccr & ~(SIM_FPCCR_USER | SIM_FPCCR_THREAD | SIM_FPCCR_HFRDY | SIM_FPCCR_MMRDY |
                                  SIM_FPCCR_BFRDY | SIM_FPCCR_MONRDY);
    f |= SIM_FPCCR_LSPACT;
    if (!handler && unprivileged) f |= SIM_FPCCR_USER;
    if (!handler) f |= SIM_FPCCR_THREAD;
    if (exec_prio > -1) f |= SIM_FPCCR_HFRDY;
    if ((c->scs.shcsr_ena & SIM_SHCSR_MEMFAULTENA) && exec_prio > c->prio[SIM_EXC_MEMMANAGE]) f |= SIM_FPCCR_MMRDY;
    if ((c->scs.shcsr_ena & SIM_SHCSR_BUSFAULTENA) && exec_prio > c->prio[SIM_EXC_BUSFAULT]) f |= SIM_FPCCR_BFRDY;
    if ((c->scs.demcr & SIM_DEMCR_MON_EN) && exec_prio > c->prio[SIM_EXC_DEBUGMON]) f |= SIM_FPCCR_MONRDY;
    c->scs.fpccr = f;
    c->scs.fpcar = frame + 0x20;
}

// ARMv7-M PreserveFPState: the lazily reserved space gets S0-S15 and FPSCR.
// LSPACT stays set when a write fails, so the retried instruction tries again.
bool preserve_fp_state(SimCortexM* c) {
    bool ok = true;
    for (unsigned i = 0; i < 16; ++i) ok = bus_write32(c, c->scs.fpcar + 4 * i, rd(c, UC_ARM_REG_S0 + i)) && ok;
    ok = bus_write32(c, c->scs.fpcar + 0x40, rd(c, UC_ARM_REG_FPSCR)) && ok;
    if (ok) c->scs.fpccr &= ~SIM_FPCCR_LSPACT;
    return ok;
}

// A fault while stacking is a derived BusFault (STKERR), escalated as any
// fault of the preempted context would be. When more urgent than the
// exception being entered it is taken instead, on the same frame (late
// arrival: the original stays pending); else it waits. HardFault entering
// HardFault just goes on: a stacking error alone never locks up.
unsigned derived_on_entry(SimCortexM* c, unsigned exc, int exec_prio) {
    c->scs.cfsr |= SIM_CFSR_STKERR;
    unsigned d = SIM_EXC_BUSFAULT;
    if (!(c->scs.shcsr_ena & SIM_SHCSR_BUSFAULTENA) || sim_cm_exc_group_priority(c, d) >= exec_prio) {
        d = SIM_EXC_HARDFAULT;
        c->scs.hfsr |= SIM_HFSR_FORCED;
    }
    if (d == exc) return exc;
    // Ordered as pending exceptions are: group priority, subpriority, number.
    const int gd = sim_cm_exc_group_priority(c, d), ge = sim_cm_exc_group_priority(c, exc);
    const int fd = d <= SIM_EXC_HARDFAULT ? gd : c->prio[d], fe = exc <= SIM_EXC_HARDFAULT ? ge : c->prio[exc];
    if (gd < ge || (gd == ge && (fd < fe || (fd == fe && d < exc)))) {
        c->pending[exc] = true;
        return d;
    }
    c->pending[d] = true;
    return exc;
}

void vector_catch(SimCortexM* c, unsigned exc, uint32_t cfsr_bits);

// ARMv7-M PushStack + ExceptionTaken. With FPCA set, S0-S15 and FPSCR are
// written now (LSPEN clear) or on the handler's first FP instruction.
// Returns the exception entered, 0 for lockup.
unsigned take_exception(SimCortexM* c, unsigned exc, uint32_t return_addr) {
    const int exec_prio = sim_cm_exec_priority(c); // of the preempted context
    Mode m = read_mode(c);
    const bool handler = m.ipsr != 0;
    const bool use_psp = !handler && (m.control & 2);
    const bool fp = c->profile.has_fpu && (m.control & 4);
    const uint32_t sp = use_psp ? m.psp : m.msp;
    const uint32_t framesize = fp ? 0x68 : 0x20;
    const bool forcealign = (c->scs.ccr & SIM_CCR_STKALIGN) != 0;
    const bool realigned = forcealign && (sp & 4);
    const uint32_t frame = (sp - framesize) & ~(forcealign ? 4u : 0u);

    uint32_t xpsr = (read_xpsr(c) & ~(1u << 9)) | (realigned ? 1u << 9 : 0);
    const uint32_t words[8] = {rd(c, UC_ARM_REG_R0), rd(c, UC_ARM_REG_R1), rd(c, UC_ARM_REG_R2),
                               rd(c, UC_ARM_REG_R3), rd(c, UC_ARM_REG_R12), rd(c, UC_ARM_REG_LR),
                               return_addr & ~1u, xpsr};
    bool ok = true;
    for (unsigned i = 0; i < 8; ++i) ok = bus_write32(c, frame + 4 * i, words[i]) && ok;
    const bool lazy_fp = fp && (c->scs.fpccr & SIM_FPCCR_LSPEN);
    if (fp && !lazy_fp) {
        for (unsigned i = 0; i < 16; ++i) ok = bus_write32(c, frame + 0x20 + 4 * i, rd(c, UC_ARM_REG_S0 + i)) && ok;
        ok = bus_write32(c, frame + 0x60, rd(c, UC_ARM_REG_FPSCR)) && ok;
        ok = bus_write32(c, frame + 0x64, 0) && ok;
    }
    if (!ok) exc = derived_on_entry(c, exc, exec_prio);

    uint32_t vector = 0;
    if (!bus_read32(c, c->scs.vtor + 4 * exc, &vector)) {
        // The vector fetch failed: a HardFault (VECTTBL) from the same
        // context instead, or lockup if that was the HardFault's own vector.
        if (exc == SIM_EXC_HARDFAULT || exc == SIM_EXC_NMI || exec_prio <= -1) {
            enter_lockup(c);
            return 0;
        }
        c->scs.hfsr |= SIM_HFSR_VECTTBL;
        exc = SIM_EXC_HARDFAULT;
        if (!bus_read32(c, c->scs.vtor + 4 * exc, &vector)) {
            enter_lockup(c);
            return 0;
        }
    }
    if (lazy_fp) update_fpccr(c, frame, handler, (m.control & 1) != 0, exec_prio);
    if (use_psp) m.psp = frame;
    else m.msp = frame;

    const uint32_t exc_return = 0xFFFFFFE1u | (fp ? 0 : 0x10u) | (handler ? 0 : 8u) | (use_psp ? 4u : 0);
    m.ipsr = exc;
    m.control &= ~6u; // SPSEL = 0, FPCA = 0
    write_mode(c, m);
    wr(c, UC_ARM_REG_LR, exc_return);
    set_pc(c, vector);
    c->epsr_t = (vector & 1) != 0;
    c->active[exc] = true;
    c->pending[exc] = false;
    c->event_reg = true;
    c->sleeping = false;
    c->it_left = 0;
    if (!ok) vector_catch(c, exc, SIM_CFSR_STKERR);
    return exc;
}

uint32_t catch_bit(unsigned exc, uint32_t cfsr_bits) {
    const bool entry_or_return = (cfsr_bits & (SIM_CFSR_STKERR | SIM_CFSR_UNSTKERR)) != 0;
    switch (exc) {
    case SIM_EXC_HARDFAULT: return SIM_DEMCR_VC_HARDERR | (entry_or_return ? SIM_DEMCR_VC_INTERR : 0);
    case SIM_EXC_BUSFAULT: return entry_or_return ? SIM_DEMCR_VC_INTERR : SIM_DEMCR_VC_BUSERR;
    case SIM_EXC_MEMMANAGE: return SIM_DEMCR_VC_MMERR;
    case SIM_EXC_USAGEFAULT:
        if (cfsr_bits & SIM_CFSR_NOCP) return SIM_DEMCR_VC_NOCPERR;
        if (cfsr_bits & (SIM_CFSR_UNALIGNED | SIM_CFSR_DIVBYZERO)) return SIM_DEMCR_VC_CHKERR;
        return SIM_DEMCR_VC_STATERR;
    default: return 0;
    }
}

void vector_catch(SimCortexM* c, unsigned exc, uint32_t cfsr_bits) {
    if (!c->lockup && debug_enabled(c) && (c->scs.demcr & catch_bit(exc, cfsr_bits)) && c->active[exc])
        halt(c, SIM_DFSR_VCATCH);
}

// A synchronous fault: taken at its own priority when enabled and able to
// preempt, else escalated to HardFault (FORCED); a fault at priority -1 or
// above locks the core up.
void raise_fault(SimCortexM* c, unsigned exc, uint32_t cfsr_bits, uint32_t return_addr) {
    c->scs.cfsr |= cfsr_bits;
    const int cur = sim_cm_exec_priority(c);
    unsigned target = exc;
    if (is_fault(exc)) {
        const bool enabled = (c->scs.shcsr_ena & fault_enable_bit(exc)) != 0;
        if (!enabled || sim_cm_exc_group_priority(c, exc) >= cur) {
            target = SIM_EXC_HARDFAULT;
            c->scs.hfsr |= SIM_HFSR_FORCED;
        }
    }
    if (target == SIM_EXC_HARDFAULT && cur <= -1) {
        enter_lockup(c);
        return;
    }
    const unsigned taken = take_exception(c, target, return_addr);
    if (taken) vector_catch(c, taken, cfsr_bits);
}

// A synchronous exception that is not a fault (SVC, DebugMonitor): taken if
// its priority allows, else HardFault (FORCED).
void raise_sync(SimCortexM* c, unsigned exc, uint32_t return_addr) {
    const int cur = sim_cm_exec_priority(c);
    if (sim_cm_exc_group_priority(c, exc) < cur) {
        take_exception(c, exc, return_addr);
        return;
    }
    c->scs.hfsr |= SIM_HFSR_FORCED;
    raise_fault(c, SIM_EXC_HARDFAULT, 0, return_addr);
}

bool in_xn_region(uint32_t addr) { return addr >= 0xA0000000; }

void fetch_fault(SimCortexM* c, uint32_t addr) {
    if (in_xn_region(addr)) raise_fault(c, SIM_EXC_MEMMANAGE, SIM_CFSR_IACCVIOL, addr);
    else raise_fault(c, SIM_EXC_BUSFAULT, SIM_CFSR_IBUSERR, addr);
}

void invpc(SimCortexM* c, uint32_t exc_return) { raise_fault(c, SIM_EXC_USAGEFAULT, SIM_CFSR_INVPC, exc_return); }

// ARMv7-M ExceptionReturn, with the integrity checks that cost little.
void exception_return(SimCortexM* c, uint32_t exc_return) {
    Mode m = read_mode(c);
    const unsigned ret_exc = m.ipsr;
    if (ret_exc == 0) { // thread mode: an ordinary branch into the XN region
        fetch_fault(c, exc_return & ~1u);
        return;
    }
    const uint32_t low = exc_return & 0xF;
    const bool ftype = (exc_return & 0x10) != 0;
    const bool valid = (exc_return >> 5) == 0x07FFFFFF && (low == 1 || low == 9 || low == 0xD) &&
                       (ftype || c->profile.has_fpu);
    unsigned nested = 0;
    for (unsigned e = 1; e < c->num_exc; ++e)
        if (c->active[e] && e != ret_exc) ++nested;
    const bool to_thread = low != 1;
    if (!valid || !c->active[ret_exc] || (to_thread && nested && !(c->scs.ccr & SIM_CCR_NONBASETHRDENA)) ||
        (!to_thread && nested == 0)) {
        invpc(c, exc_return);
        return;
    }
    const bool use_psp = low == 0xD;
    const uint32_t frame = use_psp ? m.psp : m.msp;
    uint32_t w[8];
    bool ok = true;
    for (unsigned i = 0; i < 8; ++i) ok = bus_read32(c, frame + 4 * i, &w[i]) && ok;
    // LSPACT still set: the handler used no FP, the registers hold the context.
    const bool fp_in_regs = !ftype && (c->scs.fpccr & SIM_FPCCR_LSPACT);
    uint32_t s[16] = {};
    uint32_t fpscr = 0;
    if (!ftype && !fp_in_regs) {
        for (unsigned i = 0; i < 16; ++i) ok = bus_read32(c, frame + 0x20 + 4 * i, &s[i]) && ok;
        ok = bus_read32(c, frame + 0x60, &fpscr) && ok;
    }
    if (!ok) {
        c->active[ret_exc] = false;
        raise_fault(c, SIM_EXC_BUSFAULT, SIM_CFSR_UNSTKERR, exc_return);
        if (!c->lockup && !c->active[SIM_EXC_BUSFAULT] && !c->active[SIM_EXC_HARDFAULT]) c->active[ret_exc] = true;
        return;
    }
    const uint32_t xpsr = w[7];
    const uint32_t new_ipsr = xpsr & 0x1FF;
    if ((to_thread && new_ipsr != 0) || (!to_thread && new_ipsr == 0)) {
        invpc(c, exc_return);
        return;
    }
    c->active[ret_exc] = false;
    if (ret_exc != SIM_EXC_NMI) m.faultmask = 0;
    uint32_t sp = frame + (ftype ? 0x20 : 0x68);
    if ((xpsr & (1u << 9)) && (c->scs.ccr & SIM_CCR_STKALIGN)) sp |= 4;
    if (use_psp) m.psp = sp;
    else m.msp = sp;
    m.ipsr = new_ipsr;
    m.control = (m.control & 1u) | (use_psp ? 2u : 0) | (ftype ? 0 : 4u);
    write_mode(c, m);
    const int regs[6] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_R12, UC_ARM_REG_LR};
    for (unsigned i = 0; i < 6; ++i) wr(c, regs[i], w[i]);
    if (fp_in_regs) {
        c->scs.fpccr &= ~SIM_FPCCR_LSPACT;
    } else if (!ftype) {
        for (unsigned i = 0; i < 16; ++i) wr(c, UC_ARM_REG_S0 + i, s[i]);
        wr(c, UC_ARM_REG_FPSCR, fpscr);
    }
    wr(c, UC_ARM_REG_APSR_NZCVQG, xpsr & 0xF80F0000u);
    set_pc(c, w[6]);
    c->epsr_t = (xpsr & (1u << 24)) != 0;
    c->event_reg = true;
    if (to_thread && (c->scs.scr & (1u << 1))) c->sleeping = true; // SLEEPONEXIT
}

bool maskints(const SimCortexM* c) {
    return debug_enabled(c) && (c->scs.dhcsr_ctrl & SIM_DHCSR_C_MASKINTS);
}

bool exc_can_be_pending_taken(const SimCortexM* c, unsigned e) {
    if (e >= SIM_EXC_IRQ0 && !c->irq_enabled[e - SIM_EXC_IRQ0]) return false;
    if (maskints(c) && (e == SIM_EXC_PENDSV || e == SIM_EXC_SYSTICK || e >= SIM_EXC_IRQ0)) return false;
    return true;
}

// Takes the most urgent pending exception if it can preempt; true if taken.
bool take_pending(SimCortexM* c) {
    int p = 0;
    const unsigned e = sim_cm_highest_pending(c, &p);
    if (e == 0 || p >= sim_cm_exec_priority(c)) return false;
    const unsigned taken = take_exception(c, e, current_pc(c));
    if (taken) vector_catch(c, taken, c->scs.cfsr); // a pended fault (imprecise, derived)
    return true;
}

void hook_code(uc_engine* uc, uint64_t address, uint32_t, void* user) {
    auto* c = static_cast<SimCortexM*>(user);
    if (c->completing_store) return; // it passed every check the first time
    if (c->flush_flag && c->flush) c->flush(c->flush_ctx);
    // The engine keeps an IT block's state where no register shows it, so
    // no exception may be taken inside one: a slice or a pending exception
    // waits for the block's end (at most 4 instructions). Events of the
    // instruction itself (bus errors) and steps still stop at once.
    const bool may_defer = c->it_left > 0 && !c->step_pending &&
                           (c->event == SimCmEvent::none || c->event == SimCmEvent::stop_request);
    if ((c->stop_next || c->executed >= c->budget) && !may_defer) {
        if (c->stop_next && c->event == SimCmEvent::none) c->event = SimCmEvent::stop_request;
        uc_emu_stop(uc);
        return;
    }
    const uint32_t pc = static_cast<uint32_t>(address);
    c->event_pc = pc;
    if (c->instr_check && debug_enabled(c)) { // with halting debug off these are ignored
        const uint32_t why = c->instr_check(c->instr_check_ctx, pc);
        if (why) {
            c->event = SimCmEvent::debug_match;
            c->event_dfsr = why;
            uc_emu_stop(uc);
            return;
        }
    }
    uint16_t hw = 0, hw2 = 0;
    if (fetch16(c, pc, &hw)) {
        const bool wide = (hw >> 11) >= 0x1D;
        if (wide) fetch16(c, pc + 2, &hw2);
        const bool fp_insn = wide && (hw & 0xEC00) == 0xEC00 && ((hw2 >> 9) & 7) == 5; // coprocessor 10/11
        SimCmEvent ev = SimCmEvent::none;
        if (hw == 0xBF30 || (hw == 0xF3AF && hw2 == 0x8003)) ev = SimCmEvent::wfi;
        else if (hw == 0xBF20 || (hw == 0xF3AF && hw2 == 0x8002)) ev = SimCmEvent::wfe;
        else if (hw == 0xBF40 || (hw == 0xF3AF && hw2 == 0x8004)) c->event_reg = true;
        else if (hw == 0xB662 || hw == 0xB661 || ((hw & 0xFFF0) == 0xF380 && (hw2 & 0xFF00) == 0x8800))
            c->stop_next = true; // masks may drop: look at pending exceptions after it
        else if (fp_insn && ((c->scs.cpacr >> 20) & 0xF) != 0xF)
            ev = SimCmEvent::nocp;
        else if (wide && (c->scs.ccr & SIM_CCR_DIV_0_TRP) && ((hw & 0xFFF0) == 0xFB90 || (hw & 0xFFF0) == 0xFBB0) &&
                 (hw2 & 0xF0F0) == 0xF0F0 && rd(c, UC_ARM_REG_R0 + (hw2 & 0xF)) == 0)
            ev = SimCmEvent::divbyzero;
        // A lazily reserved FP context is written before an FP instruction
        // executes (the engine does not call us for one failing its IT condition).
        if (ev == SimCmEvent::none && fp_insn && (c->scs.fpccr & SIM_FPCCR_LSPACT) && !preserve_fp_state(c))
            ev = SimCmEvent::lazy_fp_error;
        if (ev != SimCmEvent::none) {
            c->event = ev;
            uc_emu_stop(uc);
            return;
        }
        if (c->it_left > 0) --c->it_left;
        else if ((hw & 0xFF00) == 0xBF00 && (hw & 0xF) != 0) // IT: 4 - trailing zeros of the mask
            c->it_left = static_cast<uint8_t>(4 - __builtin_ctz(hw & 0xF));
    }
    c->executed++;
}

void hook_intr(uc_engine* uc, uint32_t intno, void* user) {
    auto* c = static_cast<SimCortexM*>(user);
    const uint32_t pc = current_pc(c);
    switch (intno) {
    case 2: c->event = SimCmEvent::svc; break;
    case 7:
    case 16: c->event = SimCmEvent::bkpt; break;
    case 8: c->event = SimCmEvent::exc_return; break;
    case 3: c->event = pc >= 0xFFFFFF00 ? SimCmEvent::exc_return : SimCmEvent::fetch_error; break;
    case 4: c->event = SimCmEvent::data_bus_error; c->event_addr = 0; break;
    case 17: c->event = SimCmEvent::nocp; break;
    case 18: c->event = SimCmEvent::invstate; break;
    default: c->event = SimCmEvent::undef; break;
    }
    // Everything but SVC, the exception-return branch and a failed fetch (no
    // instruction started) stopped its instruction before it completed.
    if (c->event != SimCmEvent::svc && c->event != SimCmEvent::exc_return && c->event != SimCmEvent::fetch_error &&
        c->executed > 0)
        c->executed--;
    c->event_pc = pc;
    uc_emu_stop(uc);
}

bool hook_unmapped(uc_engine*, uc_mem_type type, uint64_t addr, int, int64_t, void* user) {
    auto* c = static_cast<SimCortexM*>(user);
    c->event_addr = static_cast<uint32_t>(addr);
    c->event_write = type == UC_MEM_WRITE_UNMAPPED;
    return false;
}

// A store goes through the write buffer unless it is to the PPB (Strongly-
// ordered) or ACTLR.DISDEFWBUF holds it back; its bus error then arrives
// after the core has moved on.
bool buffered_store(const SimCortexM* c, uint32_t addr) {
    return !(addr >= 0xE0000000 && addr < 0xE0100000) && !(c->scs.actlr & SIM_ACTLR_DISDEFWBUF);
}

// An imprecise BusFault is asynchronous: pended, taken when the priority
// allows. With BusFault disabled it is a pending HardFault (FORCED), which
// waits too rather than locking up a core already at priority -1.
void imprecise_bus_error(SimCortexM* c) {
    c->scs.cfsr |= SIM_CFSR_IMPRECISERR;
    if (c->scs.shcsr_ena & SIM_SHCSR_BUSFAULTENA) {
        c->pending[SIM_EXC_BUSFAULT] = true;
    } else {
        c->scs.hfsr |= SIM_HFSR_FORCED;
        c->pending[SIM_EXC_HARDFAULT] = true;
    }
}

uint64_t sink_read(uc_engine*, uint64_t, unsigned, void*) { return 0; }
void sink_write(uc_engine*, uint64_t, unsigned, uint64_t, void*) {}

// The engine stopped a store to where nothing is mapped, before it took
// effect. Buffered, it has completed as far as the core can tell: it runs
// once more into pages that drop the data, so base writeback and PC advance
// as the instruction says. False, PC still at the store, if it cannot.
bool complete_store(SimCortexM* c) {
    size_t page = 0;
    if (uc_query(c->uc, UC_QUERY_PAGE_SIZE, &page) != UC_ERR_OK || page == 0) return false;
    const uint32_t pc = current_pc(c);
    uint32_t sinks[4];
    unsigned n = 0;
    uc_err err = UC_ERR_WRITE_UNMAPPED;
    c->completing_store = true;
    while (err == UC_ERR_WRITE_UNMAPPED && n < 4 && buffered_store(c, c->event_addr)) {
        const uint32_t base = c->event_addr & ~static_cast<uint32_t>(page - 1);
        if (uc_mmio_map(c->uc, base, page, sink_read, nullptr, sink_write, nullptr) != UC_ERR_OK) break;
        sinks[n++] = base;
        err = uc_emu_start(c->uc, pc | 1u, 0xFFFFFFFFull, 0, 1);
    }
    c->completing_store = false;
    for (unsigned i = 0; i < n; ++i) uc_mem_unmap(c->uc, sinks[i], page);
    if (err == UC_ERR_OK) return true;
    set_pc(c, pc);
    return false;
}

void handle_event(SimCortexM* c, uc_err err) {
    const uint32_t pc = current_pc(c);
    if (err == UC_ERR_WRITE_UNMAPPED && buffered_store(c, c->event_addr) && complete_store(c)) {
        imprecise_bus_error(c);
        return;
    }
    switch (err) {
    case UC_ERR_OK: break;
    case UC_ERR_READ_UNMAPPED:
    case UC_ERR_WRITE_UNMAPPED:
    case UC_ERR_READ_PROT:
    case UC_ERR_WRITE_PROT:
        if (c->executed > 0) c->executed--;
        c->scs.bfar = c->event_addr;
        raise_fault(c, SIM_EXC_BUSFAULT, SIM_CFSR_PRECISERR | SIM_CFSR_BFARVALID, pc);
        return;
    case UC_ERR_FETCH_UNMAPPED:
    case UC_ERR_FETCH_PROT:
        fetch_fault(c, pc);
        return;
    default: // UC_ERR_INSN_INVALID and anything the engine could not run
        if (c->executed > 0) c->executed--;
        // With EPSR.T clear the engine reports the next instruction as invalid.
        raise_fault(c, SIM_EXC_USAGEFAULT, c->epsr_t ? SIM_CFSR_UNDEFINSTR : SIM_CFSR_INVSTATE, pc);
        return;
    }
    switch (c->event) {
    case SimCmEvent::none:
    case SimCmEvent::stop_request: break;
    case SimCmEvent::svc: raise_sync(c, SIM_EXC_SVCALL, pc); break;
    case SimCmEvent::debug_match:
    case SimCmEvent::bkpt:
        if (debug_enabled(c)) {
            halt(c, c->event == SimCmEvent::bkpt ? SIM_DFSR_BKPT : c->event_dfsr);
        } else if ((c->scs.demcr & SIM_DEMCR_MON_EN) &&
                   sim_cm_exc_group_priority(c, SIM_EXC_DEBUGMON) < sim_cm_exec_priority(c)) {
            c->scs.dfsr |= SIM_DFSR_BKPT;
            take_exception(c, SIM_EXC_DEBUGMON, c->event_pc);
        } else {
            c->scs.hfsr |= SIM_HFSR_DEBUGEVT;
            raise_fault(c, SIM_EXC_HARDFAULT, 0, c->event_pc);
        }
        break;
    case SimCmEvent::exc_return: exception_return(c, pc | 1u); break;
    case SimCmEvent::wfi:
    case SimCmEvent::wfe: {
        uint16_t hw = 0;
        fetch16(c, c->event_pc, &hw);
        set_pc(c, c->event_pc + ((hw >> 11) >= 0x1D ? 4 : 2));
        c->executed++;
        if (c->event == SimCmEvent::wfe && c->event_reg) c->event_reg = false;
        else if (!c->step_pending) {
            c->sleeping = true;
            c->sleep_on_wfe = c->event == SimCmEvent::wfe;
            sim_cm_check_wake(c);
        }
        break;
    }
    case SimCmEvent::undef:
        raise_fault(c, SIM_EXC_USAGEFAULT, c->epsr_t ? SIM_CFSR_UNDEFINSTR : SIM_CFSR_INVSTATE, c->event_pc);
        break;
    case SimCmEvent::invstate: raise_fault(c, SIM_EXC_USAGEFAULT, SIM_CFSR_INVSTATE, c->event_pc); break;
    case SimCmEvent::nocp: raise_fault(c, SIM_EXC_USAGEFAULT, SIM_CFSR_NOCP, c->event_pc); break;
    case SimCmEvent::divbyzero: raise_fault(c, SIM_EXC_USAGEFAULT, SIM_CFSR_DIVBYZERO, c->event_pc); break;
    case SimCmEvent::lazy_fp_error: raise_fault(c, SIM_EXC_BUSFAULT, SIM_CFSR_LSPERR, c->event_pc); break;
    case SimCmEvent::data_bus_error: raise_fault(c, SIM_EXC_BUSFAULT, SIM_CFSR_PRECISERR, c->event_pc); break;
    case SimCmEvent::fetch_error: fetch_fault(c, pc); break;
    case SimCmEvent::late_bus_error:
        if (c->event_write && buffered_store(c, c->event_addr)) {
            imprecise_bus_error(c);
            break;
        }
        if (c->executed > 0) c->executed--;
        set_pc(c, c->event_pc);
        c->scs.bfar = c->event_addr;
        raise_fault(c, SIM_EXC_BUSFAULT, SIM_CFSR_PRECISERR | SIM_CFSR_BFARVALID, c->event_pc);
        break;
    }
}

} // namespace

bool sim_cm_init(SimCortexM* c, const SimBoardProfile& profile, SimMemPort bus) {
    std::memset(static_cast<void*>(c), 0, sizeof *c);
    c->profile = profile;
    c->bus = bus;
    c->num_exc = 16 + (profile.nvic_irqs < SIM_CM_MAX_IRQS ? profile.nvic_irqs : SIM_CM_MAX_IRQS);
    uc_engine* uc = nullptr;
    if (uc_open(UC_ARCH_ARM, static_cast<uc_mode>(UC_MODE_THUMB | UC_MODE_MCLASS), &uc) != UC_ERR_OK) return false;
    c->uc = uc;
    int model = profile.core == SimCoreKind::cortex_m0plus || profile.core == SimCoreKind::cortex_m0
                    ? UC_CPU_ARM_CORTEX_M0
                : profile.core == SimCoreKind::cortex_m33 ? UC_CPU_ARM_CORTEX_M33
                : profile.core == SimCoreKind::cortex_m7  ? UC_CPU_ARM_CORTEX_M7
                                                          : UC_CPU_ARM_CORTEX_M4;
    uc_hook h;
    if (uc_ctl_set_cpu_model(uc, model) != UC_ERR_OK ||
        uc_hook_add(uc, &h, UC_HOOK_CODE, reinterpret_cast<void*>(hook_code), c, 1, 0) != UC_ERR_OK ||
        uc_hook_add(uc, &h, UC_HOOK_INTR, reinterpret_cast<void*>(hook_intr), c, 1, 0) != UC_ERR_OK ||
        uc_hook_add(uc, &h, UC_HOOK_MEM_UNMAPPED, reinterpret_cast<void*>(hook_unmapped), c, 1, 0) != UC_ERR_OK) {
        sim_cm_destroy(c);
        return false;
    }
    return true;
}

void sim_cm_destroy(SimCortexM* c) {
    if (c->uc) uc_close(c->uc);
    c->uc = nullptr;
}

bool sim_cm_add_fetch_region(SimCortexM* c, uint32_t base, uint32_t size, const uint8_t* ptr) {
    if (c->num_fetch >= SIM_CM_MAX_FETCH_REGIONS || size < 2) return false;
    c->fetch[c->num_fetch++] = SimFetchRegion{base, size, ptr};
    return true;
}

void sim_cm_power_on_reset(SimCortexM* c) {
    sim_scs_power_on(&c->scs);
    sim_cm_system_reset(c);
}

void sim_cm_system_reset(SimCortexM* c) {
    sim_scs_local_reset(&c->scs);
    for (unsigned e = 0; e < SIM_CM_NUM_EXC; ++e) {
        c->prio[e] = 0;
        c->pending[e] = false;
        c->active[e] = false;
    }
    for (bool& en : c->irq_enabled) en = false;
    c->halted = c->sleeping = c->lockup = c->step_pending = false;
    c->event_reg = false;
    c->it_left = 0;
    c->sysreset_request = c->vectreset_request = false;

    Mode m{};
    for (int r = UC_ARM_REG_R0; r <= UC_ARM_REG_R12; ++r) wr(c, r, 0);
    if (c->profile.has_fpu) {
        for (unsigned i = 0; i < 32; ++i) wr(c, UC_ARM_REG_S0 + i, 0);
        wr(c, UC_ARM_REG_FPSCR, 0);
    }
    wr(c, UC_ARM_REG_APSR_NZCVQG, 0);
    uint32_t sp = 0, pc = 0;
    // Parts without a boot alias at 0 start from the address their boot option names.
    c->scs.vtor = c->profile.boot_addr & 0xFFFFFF80u;
    const bool ok = bus_read32(c, c->scs.vtor, &sp) && bus_read32(c, c->scs.vtor + 4, &pc);
    m.msp = sp & ~3u;
    write_mode(c, m);
    wr(c, UC_ARM_REG_LR, 0xFFFFFFFF);
    set_pc(c, pc);
    c->epsr_t = (pc & 1) != 0;
    c->scs.s_reset_st = true;
    if (!ok) {
        enter_lockup(c);
        return;
    }
    if (c->fault_skip_reset_catch > 0) {
        --c->fault_skip_reset_catch;
        return;
    }
    if (debug_enabled(c) && (c->scs.demcr & SIM_DEMCR_VC_CORERESET)) halt(c, SIM_DFSR_VCATCH);
}

bool sim_cm_can_execute(const SimCortexM* c) {
    return !(c->reset_pin || c->held_in_reset || c->halted || c->lockup || c->sleeping);
}

uint64_t sim_cm_run(SimCortexM* c, uint64_t max_cycles) {
    if (!sim_cm_can_execute(c) || max_cycles == 0) return 0;
    const bool stepping = c->step_pending;
    uint64_t used = 0;
    if (c->it_left == 0 && take_pending(c)) {
        used = 1;
        if (stepping) halt(c, SIM_DFSR_HALTED); // the step ends at the handler's first instruction
        return used;
    }
    if (!c->epsr_t) {
        raise_fault(c, SIM_EXC_USAGEFAULT, SIM_CFSR_INVSTATE, current_pc(c));
        if (stepping && !c->lockup) halt(c, SIM_DFSR_HALTED);
        return 1;
    }
    c->budget = stepping ? 1 : max_cycles;
    c->executed = 0;
    c->stop_next = false;
    c->event = SimCmEvent::none;
    c->event_pc = current_pc(c);
    const uc_err err = uc_emu_start(c->uc, current_pc(c) | 1u, 0xFFFFFFFFull, 0, c->budget + 1);
    if (c->flush_flag && c->flush) c->flush(c->flush_ctx);
    // A BX/BLX to an even address clears EPSR.T in the engine; restarting
    // with PC | 1 would hide that, so keep it here.
    c->epsr_t = (rd(c, UC_ARM_REG_XPSR) & (1u << 24)) != 0;
    handle_event(c, err);
    c->instr_count += c->executed;
    if (c->executed) c->scs.s_retire_st = true;
    used = c->executed ? c->executed : 1;
    if (stepping && !c->halted) halt(c, SIM_DFSR_HALTED);
    return used;
}

void sim_cm_check_wake(SimCortexM* c) {
    if (!c->sleeping) return;
    if (c->sleep_on_wfe && c->event_reg) {
        c->event_reg = false;
        c->sleeping = false;
        return;
    }
    int p = 0;
    const unsigned e = sim_cm_highest_pending(c, &p);
    if (e == 0) return;
    // WFI wakes on an exception that would preempt were PRIMASK clear.
    int cur = 256;
    for (unsigned x = 1; x < c->num_exc; ++x)
        if (c->active[x]) cur = cur < sim_cm_exc_group_priority(c, x) ? cur : sim_cm_exc_group_priority(c, x);
    const Mode m = read_mode(c);
    if (m.basepri) {
        const int b = static_cast<int>(m.basepri & ((0xFFu << (c->scs.prigroup + 1)) & 0xFF));
        cur = cur < b ? cur : b;
    }
    if (m.faultmask) cur = -1;
    if (p < cur) c->sleeping = false;
}

int sim_cm_exc_group_priority(const SimCortexM* c, unsigned exc) {
    if (exc == SIM_EXC_RESET) return -3;
    if (exc == SIM_EXC_NMI) return -2;
    if (exc == SIM_EXC_HARDFAULT) return -1;
    const uint32_t group_mask = (0xFFu << (c->scs.prigroup + 1)) & 0xFF;
    return static_cast<int>(c->prio[exc] & group_mask);
}

int sim_cm_exec_priority(SimCortexM* c) {
    const Mode m = read_mode(c);
    int cur = 256;
    for (unsigned e = 1; e < c->num_exc; ++e) {
        if (!c->active[e]) continue;
        const int p = sim_cm_exc_group_priority(c, e);
        if (p < cur) cur = p;
    }
    if (m.basepri) {
        const int b = static_cast<int>(m.basepri & ((0xFFu << (c->scs.prigroup + 1)) & 0xFF));
        if (b < cur) cur = b;
    }
    if (m.primask && cur > 0) cur = 0;
    if (m.faultmask && cur > -1) cur = -1;
    return cur;
}

unsigned sim_cm_highest_pending(const SimCortexM* c, int* prio) {
    unsigned best = 0;
    int best_group = 0, best_full = 0;
    for (unsigned e = 1; e < c->num_exc; ++e) {
        if (!c->pending[e] || !exc_can_be_pending_taken(c, e)) continue;
        const int g = sim_cm_exc_group_priority(c, e);
        const int full = e <= SIM_EXC_HARDFAULT ? g : c->prio[e];
        if (best == 0 || g < best_group || (g == best_group && full < best_full)) {
            best = e;
            best_group = g;
            best_full = full;
        }
    }
    if (prio) *prio = best_group;
    return best;
}

void sim_cm_set_pending(SimCortexM* c, unsigned exc, bool pending) {
    if (exc == 0 || exc >= c->num_exc) return;
    c->pending[exc] = pending;
    if (pending) {
        c->stop_next = true;
        sim_cm_check_wake(c);
    }
}

void sim_cm_set_irq_line(SimCortexM* c, unsigned irq, bool level) {
    if (level && SIM_EXC_IRQ0 + irq < c->num_exc && !c->active[SIM_EXC_IRQ0 + irq])
        sim_cm_set_pending(c, SIM_EXC_IRQ0 + irq, true);
}

void sim_cm_late_bus_error(SimCortexM* c, uint32_t addr, bool write) {
    if (c->event != SimCmEvent::none) return;
    c->event = SimCmEvent::late_bus_error;
    c->event_addr = addr;
    c->event_write = write;
    c->stop_next = true;
}

void sim_cm_debug_event_after_insn(SimCortexM* c, uint32_t dfsr_bits) {
    if (!debug_enabled(c) || c->event != SimCmEvent::none) return;
    c->event = SimCmEvent::debug_match;
    c->event_dfsr = dfsr_bits;
    c->stop_next = true;
}

void sim_cm_request_halt(SimCortexM* c, uint32_t dfsr_reason) {
    if (c->never_halt && dfsr_reason == SIM_DFSR_HALTED) return;
    if (c->halted) return;
    halt(c, dfsr_reason);
    c->stop_next = true;
}

void sim_cm_resume(SimCortexM* c, bool step) {
    if (!c->halted) return;
    c->halted = false;
    c->scs.s_regrdy = false;
    c->scs.dhcsr_ctrl &= ~SIM_DHCSR_C_HALT;
    c->step_pending = step;
}

bool sim_cm_read_reg(SimCortexM* c, unsigned regsel, uint32_t* value) {
    if (regsel <= 12) *value = rd(c, UC_ARM_REG_R0 + static_cast<int>(regsel));
    else if (regsel == SIM_REG_SP) *value = rd(c, UC_ARM_REG_SP);
    else if (regsel == SIM_REG_LR) *value = rd(c, UC_ARM_REG_LR);
    else if (regsel == SIM_REG_DEBUG_RETURN) *value = current_pc(c);
    else if (regsel == SIM_REG_XPSR) *value = read_xpsr(c);
    else if (regsel == SIM_REG_MSP) *value = read_mode(c).msp;
    else if (regsel == SIM_REG_PSP) *value = read_mode(c).psp;
    else if (regsel == SIM_REG_CONTROL_PACKED) {
        const Mode m = read_mode(c);
        *value = (m.control << 24) | (m.faultmask << 16) | (m.basepri << 8) | m.primask;
    } else if (c->profile.has_fpu && regsel == SIM_REG_FPSCR) *value = rd(c, UC_ARM_REG_FPSCR);
    else if (c->profile.has_fpu && regsel >= SIM_REG_S0 && regsel < SIM_REG_S0 + 32)
        *value = rd(c, UC_ARM_REG_S0 + static_cast<int>(regsel - SIM_REG_S0));
    else return false;
    return true;
}

bool sim_cm_write_reg(SimCortexM* c, unsigned regsel, uint32_t value) {
    if (regsel <= 12) wr(c, UC_ARM_REG_R0 + static_cast<int>(regsel), value);
    else if (regsel == SIM_REG_SP) wr(c, UC_ARM_REG_SP, value & ~3u);
    else if (regsel == SIM_REG_LR) wr(c, UC_ARM_REG_LR, value);
    else if (regsel == SIM_REG_DEBUG_RETURN) set_pc(c, value & ~1u);
    else if (regsel == SIM_REG_XPSR) {
        Mode m = read_mode(c);
        m.ipsr = value & 0x1FF;
        write_mode(c, m);
        wr(c, UC_ARM_REG_APSR_NZCVQG, value & 0xF80F0000u);
        c->epsr_t = (value & (1u << 24)) != 0;
    } else if (regsel == SIM_REG_MSP || regsel == SIM_REG_PSP) {
        Mode m = read_mode(c);
        (regsel == SIM_REG_MSP ? m.msp : m.psp) = value & ~3u;
        write_mode(c, m);
    } else if (regsel == SIM_REG_CONTROL_PACKED) {
        Mode m = read_mode(c);
        m.control = (value >> 24) & 7;
        m.faultmask = (value >> 16) & 1;
        m.basepri = (value >> 8) & 0xFF;
        m.primask = value & 1;
        write_mode(c, m);
    } else if (c->profile.has_fpu && regsel == SIM_REG_FPSCR) wr(c, UC_ARM_REG_FPSCR, value);
    else if (c->profile.has_fpu && regsel >= SIM_REG_S0 && regsel < SIM_REG_S0 + 32)
        wr(c, UC_ARM_REG_S0 + static_cast<int>(regsel - SIM_REG_S0), value);
    else return false;
    return true;
}
