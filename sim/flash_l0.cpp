#include "sim/flash_l0.h"

#include <cstring>
#include <new>

namespace {

constexpr uint64_t us = 1000;
constexpr uint32_t ACR_MASK = 0x6B; // LATENCY, PRFTEN, SLEEP_PD, DISAB_BUF, PRE_READ (RUN_PD needs PDKEYR)
constexpr uint32_t PECR_FIELDS = SIM_FLASHL0_PECR_PROG | SIM_FLASHL0_PECR_DATA | SIM_FLASHL0_PECR_FIX |
                                 SIM_FLASHL0_PECR_ERASE | SIM_FLASHL0_PECR_FPRG | SIM_FLASHL0_PECR_EOPIE |
                                 SIM_FLASHL0_PECR_ERRIE | SIM_FLASHL0_PECR_NZDISABLE;
constexpr uint32_t LOCKS = SIM_FLASHL0_PECR_PELOCK | SIM_FLASHL0_PECR_PRGLOCK | SIM_FLASHL0_PECR_OPTLOCK;
constexpr uint32_t SR_ERRORS = SIM_FLASHL0_SR_WRPERR | SIM_FLASHL0_SR_PGAERR | SIM_FLASHL0_SR_SIZERR |
                               SIM_FLASHL0_SR_OPTVERR | SIM_FLASHL0_SR_RDERR | SIM_FLASHL0_SR_NOTZEROERR |
                               SIM_FLASHL0_SR_FWWERR;
constexpr unsigned HP_WORDS = SIM_FLASHL0_HALF_PAGE / 4;

// RM0377: RDPROT 0xAA is level 0, 0xCC level 2, anything else level 1.
bool read_protected(const SimFlashL0* fc) { return (fc->optr & 0xFF) != 0xAA; }
bool sector_protected(const SimFlashL0* fc, uint32_t off) {
    return (fc->wrprot >> (off / SIM_FLASHL0_SECTOR_SIZE)) & 1u;
}

void finish(SimFlashL0* fc) {
    fc->sr = (fc->sr & ~SIM_FLASHL0_SR_BSY) | SIM_FLASHL0_SR_EOP | SIM_FLASHL0_SR_ENDHV;
    fc->op = SimFlashL0Op::none;
    fc->busy_left_ns = 0;
}

void start_busy(SimFlashL0* fc, SimFlashL0Op op, uint64_t ns) {
    fc->op = op;
    fc->busy_left_ns = ns;
    fc->sr = (fc->sr | SIM_FLASHL0_SR_BSY) & ~SIM_FLASHL0_SR_ENDHV; // high voltage on
    if (ns == 0) sim_flashl0_advance(fc, 0);
}

void stall_until_idle(SimFlashL0* fc) {
    if (fc->op == SimFlashL0Op::none || fc->faults.busy_stuck) return;
    fc->stalled_ns += fc->busy_left_ns;
    finish(fc);
}

// A refused write also drops a half-page being loaded.
bool fail(SimFlashL0* fc, uint32_t flag) {
    fc->sr |= flag;
    fc->hp_count = 0;
    return true;
}

// Words into erased (0x00) memory: the cells only gain 1 bits. RM0377: a
// word that is not zero is still written, NOTZEROERR telling so unless
// NZDISABLE silences it.
void program(SimFlashL0* fc, uint32_t off, const uint32_t* words, unsigned n) {
    if (fc->faults.error_on_program) { fc->sr |= fc->faults.error_on_program; return; }
    bool not_zero = false;
    for (unsigned i = 0; i < 4 * n; ++i) not_zero |= fc->array[off + i] != 0;
    if (not_zero && !(fc->pecr & SIM_FLASHL0_PECR_NZDISABLE)) fc->sr |= SIM_FLASHL0_SR_NOTZEROERR;
    if (!fc->faults.drop_writes && !fc->faults.busy_stuck)
        for (unsigned i = 0; i < 4 * n; ++i) fc->array[off + i] |= uint8_t(words[i / 4] >> (8 * (i % 4)));
    start_busy(fc, SimFlashL0Op::program, fc->timing.program_ns);
}

// A two-key sequence into `lock` of PECR. Anything else (wrong value or
// order, keys while open, a partial store, PRGKEYR/OPTKEYR while PELOCK)
// is a wrong sequence: RM0377 answers it with a bus error and keeps the
// lock until reset.
bool write_key(SimFlashL0* fc, uint32_t lock, uint8_t* stage, bool* locked_out, uint32_t k1, uint32_t k2,
               unsigned size, uint32_t value) {
    if (fc->faults.reject_keys) return true;
    const bool gate = lock == SIM_FLASHL0_PECR_PELOCK || !(fc->pecr & SIM_FLASHL0_PECR_PELOCK);
    if (!*locked_out && gate && (fc->pecr & lock) && size == 4) {
        if (*stage == 0 && value == k1) { *stage = 1; return true; }
        if (*stage == 1 && value == k2) { *stage = 0; fc->pecr &= ~lock; return true; }
    }
    *locked_out = true;
    *stage = 0;
    fc->pecr |= lock == SIM_FLASHL0_PECR_PELOCK ? LOCKS : lock;
    fc->hp_count = 0;
    return false;
}

void write_pecr(SimFlashL0* fc, uint32_t v, uint32_t lanes) {
    if (fc->pecr & SIM_FLASHL0_PECR_PELOCK) return; // RM0377: PECR is written only once unlocked
    const uint32_t old = fc->pecr;
    uint32_t next = (old & ~(lanes & PECR_FIELDS)) | (v & lanes & PECR_FIELDS);
    next |= v & lanes & LOCKS; // the locks are set by software, cleared only by their keys
    if (next & SIM_FLASHL0_PECR_PELOCK) next |= LOCKS;
    if (next & SIM_FLASHL0_PECR_PELOCK) fc->pekey_stage = 0;
    if (next & SIM_FLASHL0_PECR_PRGLOCK) fc->prgkey_stage = 0;
    if (next & SIM_FLASHL0_PECR_OPTLOCK) fc->optkey_stage = 0;
    if ((next ^ old) & (SIM_FLASHL0_PECR_FPRG | SIM_FLASHL0_PECR_PROG | LOCKS)) fc->hp_count = 0;
    fc->pecr = next;
}

} // namespace

SimFlashL0Timing sim_flashl0_timing_scaled(uint64_t divisor) {
    const uint64_t d = divisor ? divisor : 1;
    return SimFlashL0Timing{3280 * us / d, 3280 * us / d};
}

void sim_flashl0_init(SimFlashL0* fc, const SimFlashL0Timing* timing) {
    fc->timing = timing ? *timing : sim_flashl0_timing_scaled(1);
    std::memset(fc->array, 0, sizeof fc->array);
    fc->optr = SIM_FLASHL0_OPTR_RESET;
    fc->wrprot = 0;
    fc->stalled_ns = 0;
    fc->faults = SimFlashFaults{};
    sim_flashl0_reset(fc);
}

void sim_flashl0_reset(SimFlashL0* fc) {
    fc->acr = 0;
    fc->pecr = LOCKS;
    fc->sr = SIM_FLASHL0_SR_READY | SIM_FLASHL0_SR_ENDHV;
    fc->pekey_stage = fc->prgkey_stage = fc->optkey_stage = 0;
    fc->pe_locked_out = fc->prg_locked_out = fc->opt_locked_out = false;
    fc->hp_count = 0;
    fc->hp_offset = 0;
    fc->op = SimFlashL0Op::none;
    fc->busy_left_ns = 0;
}

bool sim_flashl0_read(SimFlashL0* fc, uint32_t offset, unsigned size, uint32_t* value) {
    if (!value || !sim_flash_size_ok(size) || offset % size != 0 || offset >= SIM_FLASHL0_REG_SIZE) return false;
    uint32_t w = 0;
    switch (offset & ~3u) {
    case SIM_FLASHL0_ACR: w = fc->acr; break;
    case SIM_FLASHL0_PECR: w = fc->pecr; break;
    case SIM_FLASHL0_SR: w = fc->sr; break;
    case SIM_FLASHL0_OPTR: w = fc->optr; break;
    case SIM_FLASHL0_WRPROT1: w = fc->wrprot; break;
    default: break; // the key registers are write-only; WRPROT2 guards nothing on 64 KB
    }
    *value = (w & sim_flash_lane_mask(offset, size)) >> (8 * (offset & 3u));
    return true;
}

bool sim_flashl0_write(SimFlashL0* fc, uint32_t offset, unsigned size, uint32_t value) {
    if (!sim_flash_size_ok(size) || offset % size != 0 || offset >= SIM_FLASHL0_REG_SIZE) return false;
    const uint32_t lanes = sim_flash_lane_mask(offset, size), v = value << (8 * (offset & 3u));
    switch (offset & ~3u) {
    case SIM_FLASHL0_ACR: fc->acr = (fc->acr & ~lanes) | (v & lanes & ACR_MASK); return true;
    case SIM_FLASHL0_PECR: write_pecr(fc, v, lanes); return true;
    case SIM_FLASHL0_PEKEYR:
        return write_key(fc, SIM_FLASHL0_PECR_PELOCK, &fc->pekey_stage, &fc->pe_locked_out, SIM_FLASHL0_PEKEY1,
                         SIM_FLASHL0_PEKEY2, size, value);
    case SIM_FLASHL0_PRGKEYR:
        return write_key(fc, SIM_FLASHL0_PECR_PRGLOCK, &fc->prgkey_stage, &fc->prg_locked_out, SIM_FLASHL0_PRGKEY1,
                         SIM_FLASHL0_PRGKEY2, size, value);
    case SIM_FLASHL0_OPTKEYR:
        return write_key(fc, SIM_FLASHL0_PECR_OPTLOCK, &fc->optkey_stage, &fc->opt_locked_out, SIM_FLASHL0_OPTKEY1,
                         SIM_FLASHL0_OPTKEY2, size, value);
    case SIM_FLASHL0_SR: fc->sr &= ~(v & lanes & (SR_ERRORS | SIM_FLASHL0_SR_EOP)); return true;
    default: return true; // PDKEYR (RUN_PD is not modelled), read-only and reserved registers
    }
}

bool sim_flashl0_array_write(SimFlashL0* fc, uint32_t off, unsigned size, uint32_t value) {
    if (!sim_flash_size_ok(size) || off >= SIM_FLASHL0_ARRAY_SIZE || SIM_FLASHL0_ARRAY_SIZE - off < size) return false;
    if (read_protected(fc)) return false; // level 1, debugger attached: no access
    stall_until_idle(fc);
    const uint32_t pecr = fc->pecr;
    // RM0377: a write to locked program memory, or to a protected sector,
    // is a write protection error.
    if (pecr & (SIM_FLASHL0_PECR_PELOCK | SIM_FLASHL0_PECR_PRGLOCK)) return fail(fc, SIM_FLASHL0_SR_WRPERR);
    const bool prog = pecr & SIM_FLASHL0_PECR_PROG, erase = pecr & SIM_FLASHL0_PECR_ERASE,
               fprg = pecr & SIM_FLASHL0_PECR_FPRG;
    // ERASE and FPRG act on the program memory only with PROG (and never
    // together, nor with DATA): the store cannot be what the bits ask for.
    if ((erase || fprg) != prog || (erase && fprg) || (pecr & SIM_FLASHL0_PECR_DATA))
        return fail(fc, SIM_FLASHL0_SR_PGAERR);
    if (size != 4) return fail(fc, SIM_FLASHL0_SR_SIZERR); // program memory takes words only
    if (off % 4) return fail(fc, SIM_FLASHL0_SR_PGAERR);
    if (sector_protected(fc, off)) return fail(fc, SIM_FLASHL0_SR_WRPERR);
    if (erase) {
        if (!fc->faults.busy_stuck)
            std::memset(fc->array + (off & ~(SIM_FLASHL0_PAGE_SIZE - 1)), 0, SIM_FLASHL0_PAGE_SIZE);
        start_busy(fc, SimFlashL0Op::erase, fc->timing.erase_ns);
        return true;
    }
    if (!fprg) {
        program(fc, off, &value, 1);
        return true;
    }
    // Half-page: 16 words in a row from the half-page's first one; the
    // program starts with the 16th. Any other address is an alignment error.
    const uint32_t expect = fc->hp_count ? fc->hp_offset + 4 * fc->hp_count : off & ~(SIM_FLASHL0_HALF_PAGE - 1);
    if (off != expect) return fail(fc, SIM_FLASHL0_SR_PGAERR);
    if (fc->hp_count == 0) fc->hp_offset = off;
    fc->hp_words[fc->hp_count++] = value;
    if (fc->hp_count == HP_WORDS) {
        fc->hp_count = 0;
        program(fc, fc->hp_offset, fc->hp_words, HP_WORDS);
    }
    return true;
}

bool sim_flashl0_array_read(SimFlashL0* fc, uint32_t off, unsigned size, uint32_t* value) {
    if (!value || !sim_flash_size_ok(size) || off >= SIM_FLASHL0_ARRAY_SIZE || SIM_FLASHL0_ARRAY_SIZE - off < size) return false;
    if (read_protected(fc)) return false;
    stall_until_idle(fc);
    uint32_t v = 0;
    for (unsigned i = 0; i < size; ++i) v |= uint32_t(fc->array[off + i]) << (8 * i);
    *value = v;
    return true;
}

void sim_flashl0_advance(SimFlashL0* fc, uint64_t ns) {
    if (fc->op == SimFlashL0Op::none || fc->faults.busy_stuck) return;
    if (ns < fc->busy_left_ns) { fc->busy_left_ns -= ns; return; }
    finish(fc);
}

uint64_t sim_flashl0_busy_ns(const SimFlashL0* fc) {
    if (fc->op == SimFlashL0Op::none) return 0;
    return fc->faults.busy_stuck ? UINT64_MAX : fc->busy_left_ns;
}

bool sim_flashl0_irq_pending(const SimFlashL0* fc) {
    return ((fc->sr & SIM_FLASHL0_SR_EOP) && (fc->pecr & SIM_FLASHL0_PECR_EOPIE)) ||
           ((fc->sr & SR_ERRORS) && (fc->pecr & SIM_FLASHL0_PECR_ERRIE));
}

void sim_flashl0_set_faults(SimFlashL0* fc, const SimFlashFaults* f) {
    fc->faults = f ? *f : SimFlashFaults{};
    fc->faults.error_on_program &= SR_ERRORS;
}

void sim_flashl0_set_write_protect(SimFlashL0* fc, uint32_t wrprot) { fc->wrprot = wrprot; }

void sim_flashl0_set_read_protect(SimFlashL0* fc, bool level1) {
    fc->optr = (fc->optr & ~0xFFu) | (level1 ? 0xBBu : 0xAAu);
}

namespace {

SimFlashL0* l0(void* s) { return static_cast<SimFlashL0*>(s); }
const SimFlashL0* l0(const void* s) { return static_cast<const SimFlashL0*>(s); }
const SimFlashOps kL0Ops = {
    [](void* s, uint32_t o, unsigned n, uint32_t* v) { return sim_flashl0_read(l0(s), o, n, v); },
    [](void* s, uint32_t o, unsigned n, uint32_t v) { return sim_flashl0_write(l0(s), o, n, v); },
    [](void* s, uint32_t o, unsigned n, uint32_t* v) { return sim_flashl0_array_read(l0(s), o, n, v); },
    [](void* s, uint32_t o, unsigned n, uint32_t v) { return sim_flashl0_array_write(l0(s), o, n, v); },
    [](void* s, uint64_t ns) { sim_flashl0_advance(l0(s), ns); },
    [](const void* s) { return sim_flashl0_busy_ns(l0(s)); },
    [](const void* s) { return sim_flashl0_irq_pending(l0(s)); },
    [](void* s) { sim_flashl0_reset(l0(s)); },
    [](void* s) { sim_flashl0_reset(l0(s)); },
    [](void* s, const SimFlashFaults* f) { sim_flashl0_set_faults(l0(s), f); },
    [](void* s) { delete l0(s); },
};

} // namespace

bool sim_flashl0_create(uint64_t time_divisor, SimFlashCtl* out) {
    auto* fc = new (std::nothrow) SimFlashL0;
    if (!out || !fc) { delete fc; return false; }
    const SimFlashL0Timing t = sim_flashl0_timing_scaled(time_divisor);
    sim_flashl0_init(fc, &t);
    *out = SimFlashCtl{SimFlashKind::stm32l0, fc, &kL0Ops, fc->array, SIM_FLASHL0_ARRAY_SIZE, SIM_FLASHL0_REG_BASE,
                       SIM_FLASHL0_REG_SIZE};
    return true;
}
