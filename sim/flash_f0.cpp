#include "sim/flash_f0.h"

#include <cstring>
#include <new>

namespace {

constexpr uint64_t ms = 1000000;
constexpr uint32_t ACR_MASK = 0x17;  // LATENCY, PRFTBE (PRFTBS follows PRFTBE)
constexpr uint32_t SR_W1C = SIM_FLASHF0_SR_PGERR | SIM_FLASHF0_SR_WRPRTERR | SIM_FLASHF0_SR_EOP;
constexpr uint32_t SR_ERRORS = SIM_FLASHF0_SR_PGERR | SIM_FLASHF0_SR_WRPRTERR;
constexpr uint32_t CR_MASK = SIM_FLASHF0_CR_PG | SIM_FLASHF0_CR_PER | SIM_FLASHF0_CR_MER | SIM_FLASHF0_CR_OPTPG |
                             SIM_FLASHF0_CR_OPTER | SIM_FLASHF0_CR_STRT | SIM_FLASHF0_CR_LOCK |
                             SIM_FLASHF0_CR_OPTWRE | SIM_FLASHF0_CR_ERRIE | SIM_FLASHF0_CR_EOPIE;
constexpr uint32_t PAGES = SIM_FLASHF0_ARRAY_SIZE / SIM_FLASHF0_PAGE_SIZE;

bool read_protected(const SimFlashF0* fc) { return (fc->obr & (3u << 1)) != 0; }
bool page_protected(const SimFlashF0* fc, uint32_t page) {
    return ((fc->wrpr >> (page / SIM_FLASHF0_WRP_PAGES)) & 1u) == 0;
}

void finish(SimFlashF0* fc) {
    fc->cr &= ~SIM_FLASHF0_CR_STRT; // RM0091: STRT is reset when BSY is
    fc->sr = (fc->sr & ~SIM_FLASHF0_SR_BSY) | SIM_FLASHF0_SR_EOP;
    fc->op = SimFlashF0Op::none;
    fc->busy_left_ns = 0;
}

void start_busy(SimFlashF0* fc, SimFlashF0Op op, uint64_t ns) {
    fc->op = op;
    fc->busy_left_ns = ns;
    fc->sr |= SIM_FLASHF0_SR_BSY;
    if (ns == 0) sim_flashf0_advance(fc, 0);
}

void stall_until_idle(SimFlashF0* fc) {
    if (fc->op == SimFlashF0Op::none || fc->faults.busy_stuck) return;
    fc->stalled_ns += fc->busy_left_ns;
    finish(fc);
}

// An erase that cannot run ends at once with its error and without EOP.
void refuse(SimFlashF0* fc, uint32_t flag) {
    fc->sr |= flag;
    fc->cr &= ~SIM_FLASHF0_CR_STRT;
}

void start_erase(SimFlashF0* fc) {
    const bool per = fc->cr & SIM_FLASHF0_CR_PER, mer = fc->cr & SIM_FLASHF0_CR_MER;
    if (per == mer) { fc->cr &= ~SIM_FLASHF0_CR_STRT; return; } // nothing, or two things, selected
    // Level 1 with the debugger attached: the main array is neither erased
    // nor programmed (only an RDP regression erases it).
    if (read_protected(fc)) { refuse(fc, SIM_FLASHF0_SR_WRPRTERR); return; }
    uint32_t first = 0, count = PAGES;
    if (per) {
        const uint32_t off = fc->ar - SIM_FLASHF0_ARRAY_BASE;
        // An address outside the array names no page: refused rather than
        // erasing whichever page its low bits would pick.
        if (off >= SIM_FLASHF0_ARRAY_SIZE) { refuse(fc, SIM_FLASHF0_SR_PGERR); return; }
        first = off / SIM_FLASHF0_PAGE_SIZE;
        count = 1;
    }
    for (uint32_t p = first; p < first + count; ++p)
        if (page_protected(fc, p)) { refuse(fc, SIM_FLASHF0_SR_WRPRTERR); return; }
    if (!fc->faults.busy_stuck)
        std::memset(fc->array + first * SIM_FLASHF0_PAGE_SIZE, 0xFF, count * SIM_FLASHF0_PAGE_SIZE);
    start_busy(fc, per ? SimFlashF0Op::page_erase : SimFlashF0Op::mass_erase,
               per ? fc->timing.page_erase_ns : fc->timing.mass_erase_ns);
}

// KEYR and OPTKEYR: KEY1 then KEY2 while locked opens; anything else
// (wrong value or order, a key while open, a partial store) is a wrong
// sequence and locks until reset.
bool write_key(bool* open, uint8_t* stage, bool* locked_out, unsigned size, uint32_t value) {
    if (!*locked_out && !*open && size == 4) {
        if (*stage == 0 && value == SIM_FLASHF0_KEY1) { *stage = 1; return true; }
        if (*stage == 1 && value == SIM_FLASHF0_KEY2) { *stage = 0; *open = true; return true; }
    }
    *locked_out = true;
    *stage = 0;
    *open = false;
    return false;
}

void write_cr(SimFlashF0* fc, uint32_t v, uint32_t lanes) {
    if (fc->cr & SIM_FLASHF0_CR_LOCK) return; // RM0091: CR cannot be written while locked
    const uint32_t old = fc->cr;
    uint32_t next = (old & ~lanes) | (v & lanes & CR_MASK);
    next = (next & ~SIM_FLASHF0_CR_OPTWRE) | (old & next & SIM_FLASHF0_CR_OPTWRE); // software only clears it
    if (old & SIM_FLASHF0_CR_STRT) next |= SIM_FLASHF0_CR_STRT;
    if (next & SIM_FLASHF0_CR_LOCK) { fc->key_stage = 0; next &= ~SIM_FLASHF0_CR_OPTWRE; }
    fc->cr = next;
    if ((next & SIM_FLASHF0_CR_STRT) && !(old & SIM_FLASHF0_CR_STRT)) {
        stall_until_idle(fc);
        start_erase(fc);
    }
}

} // namespace

SimFlashF0Timing sim_flashf0_timing_scaled(uint64_t divisor) {
    const uint64_t d = divisor ? divisor : 1;
    return SimFlashF0Timing{53500 / d, 30 * ms / d, 30 * ms / d};
}

void sim_flashf0_init(SimFlashF0* fc, const SimFlashF0Timing* timing) {
    fc->timing = timing ? *timing : sim_flashf0_timing_scaled(1);
    std::memset(fc->array, 0xFF, sizeof fc->array);
    fc->obr = SIM_FLASHF0_OBR_RESET;
    fc->wrpr = 0xFFFFFFFFu;
    fc->stalled_ns = 0;
    fc->faults = SimFlashFaults{};
    sim_flashf0_reset(fc);
}

void sim_flashf0_reset(SimFlashF0* fc) {
    fc->acr = 0x30;
    fc->sr = 0;
    fc->cr = SIM_FLASHF0_CR_LOCK;
    fc->ar = 0;
    fc->key_stage = fc->optkey_stage = 0;
    fc->key_locked_out = fc->optkey_locked_out = false;
    fc->op = SimFlashF0Op::none;
    fc->busy_left_ns = 0;
}

bool sim_flashf0_read(SimFlashF0* fc, uint32_t offset, unsigned size, uint32_t* value) {
    if (!value || !sim_flash_size_ok(size) || offset % size != 0 || offset >= SIM_FLASHF0_REG_SIZE) return false;
    uint32_t w = 0;
    switch (offset & ~3u) {
    case SIM_FLASHF0_ACR: w = fc->acr; break;
    case SIM_FLASHF0_SR: w = fc->sr; break;
    case SIM_FLASHF0_CR: w = fc->cr; break;
    case SIM_FLASHF0_OBR: w = fc->obr; break;
    case SIM_FLASHF0_WRPR: w = fc->wrpr; break;
    default: break; // KEYR, OPTKEYR and AR are write-only
    }
    *value = (w & sim_flash_lane_mask(offset, size)) >> (8 * (offset & 3u));
    return true;
}

bool sim_flashf0_write(SimFlashF0* fc, uint32_t offset, unsigned size, uint32_t value) {
    if (!sim_flash_size_ok(size) || offset % size != 0 || offset >= SIM_FLASHF0_REG_SIZE) return false;
    const uint32_t lanes = sim_flash_lane_mask(offset, size), v = value << (8 * (offset & 3u));
    switch (offset & ~3u) {
    case SIM_FLASHF0_ACR: {
        const uint32_t acr = (fc->acr & ~lanes) | (v & lanes & ACR_MASK);
        fc->acr = (acr & ~0x20u) | ((acr & 0x10u) << 1);
        return true;
    }
    case SIM_FLASHF0_KEYR: {
        // RM0091: a wrong sequence is answered with a bus error and locks
        // the controller until the next reset.
        if (fc->faults.reject_keys) return true;
        bool open = !(fc->cr & SIM_FLASHF0_CR_LOCK);
        const bool ok = write_key(&open, &fc->key_stage, &fc->key_locked_out, size, value);
        fc->cr = open ? fc->cr & ~SIM_FLASHF0_CR_LOCK : (fc->cr | SIM_FLASHF0_CR_LOCK) & ~SIM_FLASHF0_CR_OPTWRE;
        return ok;
    }
    case SIM_FLASHF0_OPTKEYR: {
        bool open = fc->cr & SIM_FLASHF0_CR_OPTWRE;
        const bool ok = write_key(&open, &fc->optkey_stage, &fc->optkey_locked_out, size, value);
        // OPTWRE only shows while CR is unlocked (its keys come first).
        if (open && !(fc->cr & SIM_FLASHF0_CR_LOCK)) fc->cr |= SIM_FLASHF0_CR_OPTWRE;
        else fc->cr &= ~SIM_FLASHF0_CR_OPTWRE;
        return ok;
    }
    case SIM_FLASHF0_SR: fc->sr &= ~(v & lanes & SR_W1C); return true;
    case SIM_FLASHF0_CR: write_cr(fc, v, lanes); return true;
    case SIM_FLASHF0_AR:
        if (!(fc->sr & SIM_FLASHF0_SR_BSY)) fc->ar = (fc->ar & ~lanes) | (v & lanes); // RM0091: blocked while BSY
        return true;
    default: return true; // OBR, WRPR read-only; the rest reserved
    }
}

bool sim_flashf0_array_write(SimFlashF0* fc, uint32_t off, unsigned size, uint32_t value) {
    if (!sim_flash_size_ok(size) || off >= SIM_FLASHF0_ARRAY_SIZE || SIM_FLASHF0_ARRAY_SIZE - off < size) return false;
    stall_until_idle(fc);
    // RM0091: only half-words program, anything else is a bus error; so is a
    // store outside programming mode or, at level 1, any store at all.
    const uint32_t cr = fc->cr;
    if (size != 2 || off % 2 || !(cr & SIM_FLASHF0_CR_PG) || (cr & SIM_FLASHF0_CR_LOCK) || read_protected(fc))
        return false;
    if (cr & (SIM_FLASHF0_CR_PER | SIM_FLASHF0_CR_MER)) { fc->sr |= SIM_FLASHF0_SR_PGERR; return true; }
    if (page_protected(fc, off / SIM_FLASHF0_PAGE_SIZE)) { fc->sr |= SIM_FLASHF0_SR_WRPRTERR; return true; }
    if (fc->faults.error_on_program) { fc->sr |= fc->faults.error_on_program; return true; }
    // RM0091: a half-word that is not erased is left as it is, with PGERR;
    // programming 0x0000 is the one exception.
    const uint16_t old = uint16_t(fc->array[off] | fc->array[off + 1] << 8), nv = uint16_t(value);
    if (old != 0xFFFF && nv != 0) { fc->sr |= SIM_FLASHF0_SR_PGERR; return true; }
    if (!fc->faults.drop_writes && !fc->faults.busy_stuck) {
        fc->array[off] = uint8_t(nv);
        fc->array[off + 1] = uint8_t(nv >> 8);
    }
    start_busy(fc, SimFlashF0Op::program, fc->timing.program_ns);
    return true;
}

bool sim_flashf0_array_read(SimFlashF0* fc, uint32_t off, unsigned size, uint32_t* value) {
    if (!value || !sim_flash_size_ok(size) || off >= SIM_FLASHF0_ARRAY_SIZE || SIM_FLASHF0_ARRAY_SIZE - off < size) return false;
    if (read_protected(fc)) return false;
    stall_until_idle(fc);
    uint32_t v = 0;
    for (unsigned i = 0; i < size; ++i) v |= uint32_t(fc->array[off + i]) << (8 * i);
    *value = v;
    return true;
}

void sim_flashf0_advance(SimFlashF0* fc, uint64_t ns) {
    if (fc->op == SimFlashF0Op::none || fc->faults.busy_stuck) return;
    if (ns < fc->busy_left_ns) { fc->busy_left_ns -= ns; return; }
    finish(fc);
}

uint64_t sim_flashf0_busy_ns(const SimFlashF0* fc) {
    if (fc->op == SimFlashF0Op::none) return 0;
    return fc->faults.busy_stuck ? UINT64_MAX : fc->busy_left_ns;
}

bool sim_flashf0_irq_pending(const SimFlashF0* fc) {
    return ((fc->sr & SIM_FLASHF0_SR_EOP) && (fc->cr & SIM_FLASHF0_CR_EOPIE)) ||
           ((fc->sr & SR_ERRORS) && (fc->cr & SIM_FLASHF0_CR_ERRIE));
}

void sim_flashf0_set_faults(SimFlashF0* fc, const SimFlashFaults* f) {
    fc->faults = f ? *f : SimFlashFaults{};
    fc->faults.error_on_program &= SR_ERRORS;
}

void sim_flashf0_set_write_protect(SimFlashF0* fc, uint16_t wrp) { fc->wrpr = 0xFFFF0000u | wrp; }

void sim_flashf0_set_read_protect(SimFlashF0* fc, bool level1) {
    fc->obr = (fc->obr & ~(3u << 1)) | (level1 ? SIM_FLASHF0_OBR_RDPRT_L1 : 0);
}

namespace {

SimFlashF0* f0(void* s) { return static_cast<SimFlashF0*>(s); }
const SimFlashF0* f0(const void* s) { return static_cast<const SimFlashF0*>(s); }
const SimFlashOps kF0Ops = {
    [](void* s, uint32_t o, unsigned n, uint32_t* v) { return sim_flashf0_read(f0(s), o, n, v); },
    [](void* s, uint32_t o, unsigned n, uint32_t v) { return sim_flashf0_write(f0(s), o, n, v); },
    [](void* s, uint32_t o, unsigned n, uint32_t* v) { return sim_flashf0_array_read(f0(s), o, n, v); },
    [](void* s, uint32_t o, unsigned n, uint32_t v) { return sim_flashf0_array_write(f0(s), o, n, v); },
    [](void* s, uint64_t ns) { sim_flashf0_advance(f0(s), ns); },
    [](const void* s) { return sim_flashf0_busy_ns(f0(s)); },
    [](const void* s) { return sim_flashf0_irq_pending(f0(s)); },
    [](void* s) { sim_flashf0_reset(f0(s)); },
    [](void* s) { sim_flashf0_reset(f0(s)); },
    [](void* s, const SimFlashFaults* f) { sim_flashf0_set_faults(f0(s), f); },
    [](void* s) { delete f0(s); },
};

} // namespace

bool sim_flashf0_create(uint64_t time_divisor, SimFlashCtl* out) {
    auto* fc = new (std::nothrow) SimFlashF0;
    if (!out || !fc) { delete fc; return false; }
    const SimFlashF0Timing t = sim_flashf0_timing_scaled(time_divisor);
    sim_flashf0_init(fc, &t);
    *out = SimFlashCtl{SimFlashKind::stm32f0, fc, &kF0Ops, fc->array, SIM_FLASHF0_ARRAY_SIZE, SIM_FLASHF0_REG_BASE,
                       SIM_FLASHF0_REG_SIZE};
    return true;
}
