#include "sim/flash_f4.h"

#include <cstring>

namespace {

constexpr uint64_t ms = 1000000;
constexpr uint32_t ACR_MASK = 0x00001F07;   // LATENCY, PRFTEN, ICEN, DCEN, ICRST, DCRST
constexpr uint32_t SR_W1C = SIM_FLASHF4_SR_EOP | SIM_FLASHF4_SR_OPERR | SIM_FLASHF4_SR_WRPERR |
                            SIM_FLASHF4_SR_PGAERR | SIM_FLASHF4_SR_PGPERR | SIM_FLASHF4_SR_PGSERR;
constexpr uint32_t CR_MASK = SIM_FLASHF4_CR_PG | SIM_FLASHF4_CR_SER | SIM_FLASHF4_CR_MER |
                             (0xFu << SIM_FLASHF4_CR_SNB_SHIFT) | (3u << SIM_FLASHF4_CR_PSIZE_SHIFT) |
                             SIM_FLASHF4_CR_STRT | SIM_FLASHF4_CR_EOPIE | SIM_FLASHF4_CR_ERRIE |
                             SIM_FLASHF4_CR_LOCK;
// OPTCR: BOR_LEV, WDG_SW, nRST_STOP, nRST_STDBY, RDP, nWRP (OPTLOCK/OPTSTRT apart).
constexpr uint32_t OPTCR_FIELDS = 0x0FFFFFEC;
constexpr uint32_t OPTCR_RDP_LEVEL0 = 0xAAu << 8;

unsigned psize_of(uint32_t cr) { return (cr >> SIM_FLASHF4_CR_PSIZE_SHIFT) & 3u; }
unsigned snb_of(uint32_t cr) { return (cr >> SIM_FLASHF4_CR_SNB_SHIFT) & 0x1Fu; }
constexpr uint32_t NWRP = 0xFFFu << 16;
constexpr uint32_t BANK = SIM_FLASHF4_ARRAY_SIZE;

// Two banks: SNB's fifth bit and MER1 exist (reserved on the single-bank part).
uint32_t cr_mask(const SimFlashF4* fc) {
    return CR_MASK | (fc->dual_bank ? SIM_FLASHF4_CR_MER1 | (0x10u << SIM_FLASHF4_CR_SNB_SHIFT) : 0);
}

void set_error(SimFlashF4* fc, uint32_t flag) {
    fc->sr |= flag;
    // OPERR is set only while error interrupts are enabled: read as the
    // interrupt-side summary of the operation that failed.
    if (fc->cr & SIM_FLASHF4_CR_ERRIE) fc->sr |= SIM_FLASHF4_SR_OPERR;
}

// `index` counts the sectors of both banks: 12-23 are bank 2's, guarded by OPTCR1.
bool sector_protected(const SimFlashF4* fc, unsigned index) {
    const uint32_t reg = index < SIM_FLASHF4_SECTORS ? fc->optcr : fc->optcr1;
    return ((reg >> 16) & (1u << (index % SIM_FLASHF4_SECTORS))) == 0; // nWRP bit 0 = protected
}

// The sector index holding an array offset.
unsigned sector_index_at(uint32_t offset) {
    SimFlashF4Sector sec{};
    unsigned snb = 0;
    const uint32_t in_bank = offset % BANK;
    while (snb < SIM_FLASHF4_SECTORS && sim_flashf4_sector(snb, &sec) && in_bank >= sec.offset + sec.size) ++snb;
    return snb + SIM_FLASHF4_SECTORS * (offset / BANK);
}

void start_busy(SimFlashF4* fc, SimFlashF4Op op, uint64_t ns) {
    fc->op = op;
    fc->busy_left_ns = ns;
    fc->sr |= SIM_FLASHF4_SR_BSY;
    if (ns == 0) sim_flashf4_advance(fc, 0);
}

// A stuck operation never gets to apply what it started.
bool effect_applies(const SimFlashF4* fc) { return !fc->faults.busy_stuck; }

void finish(SimFlashF4* fc) {
    if (fc->op == SimFlashF4Op::option) {
        fc->optcr &= ~SIM_FLASHF4_OPTCR_OPTSTRT;
    } else {
        fc->cr &= ~SIM_FLASHF4_CR_STRT;
        if (fc->cr & SIM_FLASHF4_CR_EOPIE) fc->sr |= SIM_FLASHF4_SR_EOP;
    }
    fc->sr &= ~SIM_FLASHF4_SR_BSY;
    fc->op = SimFlashF4Op::none;
    fc->busy_left_ns = 0;
}

// The bus stalls while BSY; a board that did not wait first gets the
// operation completed here, with the time recorded so it can be accounted.
void stall_until_idle(SimFlashF4* fc) {
    if (fc->op == SimFlashF4Op::none || fc->faults.busy_stuck) return;
    fc->stalled_ns += fc->busy_left_ns;
    finish(fc);
}

void start_erase(SimFlashF4* fc) {
    const uint32_t cr = fc->cr;
    const unsigned ps = psize_of(cr);
    const bool ser = cr & SIM_FLASHF4_CR_SER, mer = cr & SIM_FLASHF4_CR_MER, mer1 = cr & SIM_FLASHF4_CR_MER1;
    if (ser && (mer || mer1)) { set_error(fc, SIM_FLASHF4_SR_PGSERR); fc->cr &= ~SIM_FLASHF4_CR_STRT; return; }
    if (mer || mer1) {
        // MER erases bank 1, MER1 bank 2, both the whole array (RM0090).
        const unsigned first = mer ? 0 : SIM_FLASHF4_SECTORS, end = mer1 ? 2 * SIM_FLASHF4_SECTORS : SIM_FLASHF4_SECTORS;
        for (unsigned s = first; s < end; ++s) {
            if (sector_protected(fc, s)) {
                set_error(fc, SIM_FLASHF4_SR_WRPERR);
                fc->cr &= ~SIM_FLASHF4_CR_STRT;
                return;
            }
        }
        // Applied now: any read issued while BSY stalls until the erase is
        // over, so no access can observe the array half-erased.
        const unsigned banks = (end - first) / SIM_FLASHF4_SECTORS;
        if (effect_applies(fc)) std::memset(fc->array + (mer ? 0 : BANK), 0xFF, banks * BANK);
        start_busy(fc, SimFlashF4Op::mass_erase, banks * fc->timing.mass_erase_ns[ps]);
        return;
    }
    // SER: a sector number beyond the 12 sectors is "not allowed"; refusing it
    // with a sequence error is better than erasing something else silently.
    SimFlashF4Sector sec{};
    if (!sim_flashf4_sector_of(fc, snb_of(cr), &sec)) {
        set_error(fc, SIM_FLASHF4_SR_PGSERR);
        fc->cr &= ~SIM_FLASHF4_CR_STRT;
        return;
    }
    if (sector_protected(fc, sector_index_at(sec.offset))) {
        set_error(fc, SIM_FLASHF4_SR_WRPERR);
        fc->cr &= ~SIM_FLASHF4_CR_STRT;
        return;
    }
    if (effect_applies(fc)) std::memset(fc->array + sec.offset, 0xFF, sec.size);
    const uint64_t* t = sec.size == 16 * 1024   ? fc->timing.erase_16k_ns
                        : sec.size == 64 * 1024 ? fc->timing.erase_64k_ns
                                                : fc->timing.erase_128k_ns;
    start_busy(fc, SimFlashF4Op::sector_erase, t[ps]);
}

// A two-key unlock sequence as both KEYR and OPTKEYR have it. Anything else
// (wrong key, wrong order, a key while already unlocked, a partial-word
// store) is an incorrect sequence: the register locks until reset.
static void write_key(uint32_t* reg, uint32_t lock_bit, uint8_t* stage, bool* locked_out, uint32_t key1,
                      uint32_t key2, unsigned size, uint32_t value) {
    const bool locked = *reg & lock_bit;
    if (!*locked_out && locked && size == 4) {
        if (*stage == 0 && value == key1) { *stage = 1; return; }
        if (*stage == 1 && value == key2) {
            *stage = 0;
            *reg &= ~lock_bit;
            return;
        }
    }
    *locked_out = true;
    *stage = 0;
    *reg |= lock_bit;
}

void write_keyr(SimFlashF4* fc, unsigned size, uint32_t value) {
    if (fc->faults.reject_keys) return;
    write_key(&fc->cr, SIM_FLASHF4_CR_LOCK, &fc->key_stage, &fc->key_locked_out, SIM_FLASHF4_KEY1,
              SIM_FLASHF4_KEY2, size, value);
}

void write_optkeyr(SimFlashF4* fc, unsigned size, uint32_t value) {
    write_key(&fc->optcr, SIM_FLASHF4_OPTCR_OPTLOCK, &fc->optkey_stage, &fc->optkey_locked_out,
              SIM_FLASHF4_OPTKEY1, SIM_FLASHF4_OPTKEY2, size, value);
}

void write_cr(SimFlashF4* fc, uint32_t value, uint32_t lanes) {
    if (fc->cr & SIM_FLASHF4_CR_LOCK) return; // writes are not allowed while locked
    const uint32_t old = fc->cr;
    uint32_t next = (old & ~lanes) | (value & lanes & cr_mask(fc));
    if (old & SIM_FLASHF4_CR_STRT) next |= SIM_FLASHF4_CR_STRT; // software cannot withdraw it
    fc->cr = next;
    if (next & SIM_FLASHF4_CR_LOCK) fc->key_stage = 0;       // relocked: the keys start over
    const bool strt_rising = (next & SIM_FLASHF4_CR_STRT) && !(old & SIM_FLASHF4_CR_STRT);
    if (!strt_rising) return;
    if (fc->op != SimFlashF4Op::none) stall_until_idle(fc);
    if (next & (SIM_FLASHF4_CR_SER | SIM_FLASHF4_CR_MER | SIM_FLASHF4_CR_MER1)) {
        start_erase(fc);
    } else {
        fc->cr &= ~SIM_FLASHF4_CR_STRT; // nothing selected to start
    }
}

void write_optcr(SimFlashF4* fc, uint32_t value, uint32_t lanes) {
    if (fc->optcr & SIM_FLASHF4_OPTCR_OPTLOCK) {
        return; // locked: only the OPTKEYR sequence opens it
    }
    const uint32_t old = fc->optcr;
    uint32_t next = (old & ~lanes) | (value & lanes & (OPTCR_FIELDS | SIM_FLASHF4_OPTCR_OPTLOCK |
                                                       SIM_FLASHF4_OPTCR_OPTSTRT));
    if (old & SIM_FLASHF4_OPTCR_OPTSTRT) next |= SIM_FLASHF4_OPTCR_OPTSTRT;
    fc->optcr = next;
    if (!(next & SIM_FLASHF4_OPTCR_OPTSTRT) || (old & SIM_FLASHF4_OPTCR_OPTSTRT)) return;
    if (next & SIM_FLASHF4_OPTCR_OPTLOCK) { fc->optcr &= ~SIM_FLASHF4_OPTCR_OPTSTRT; return; }
    if (fc->op != SimFlashF4Op::none) stall_until_idle(fc);
    // Read protection is not modelled: leaving level 0 (and level 2 is
    // irreversible) would be reported as done while nothing protects reads,
    // so such a request fails with a sequence error and changes nothing.
    if ((next & 0xFF00u) != OPTCR_RDP_LEVEL0) {
        set_error(fc, SIM_FLASHF4_SR_PGSERR);
        fc->optcr = (next & ~(OPTCR_FIELDS | SIM_FLASHF4_OPTCR_OPTSTRT)) | (fc->option_bytes & OPTCR_FIELDS);
        fc->optcr1 = fc->option_bytes1;
        return;
    }
    fc->option_bytes = next & OPTCR_FIELDS;
    fc->option_bytes1 = fc->optcr1;
    start_busy(fc, SimFlashF4Op::option, fc->timing.option_ns);
}

bool reg_read(void* ctx, uint32_t addr, unsigned size, uint32_t* value) {
    return sim_flashf4_read(static_cast<SimFlashF4*>(ctx), addr, size, value);
}
bool reg_write(void* ctx, uint32_t addr, unsigned size, uint32_t value) {
    return sim_flashf4_write(static_cast<SimFlashF4*>(ctx), addr, size, value);
}

} // namespace

SimFlashF4Timing sim_flashf4_timing_typical() {
    SimFlashF4Timing t{};
    t.program_ns = 16000;
    const uint64_t e16[4] = {400 * ms, 300 * ms, 250 * ms, 250 * ms};
    const uint64_t e64[4] = {1200 * ms, 700 * ms, 550 * ms, 550 * ms};
    const uint64_t e128[4] = {2000 * ms, 1300 * ms, 1000 * ms, 1000 * ms};
    const uint64_t me[4] = {16000 * ms, 11000 * ms, 8000 * ms, 8000 * ms};
    for (int i = 0; i < 4; ++i) {
        t.erase_16k_ns[i] = e16[i];
        t.erase_64k_ns[i] = e64[i];
        t.erase_128k_ns[i] = e128[i];
        t.mass_erase_ns[i] = me[i];
    }
    t.option_ns = 16000; // not in the datasheet table; one program time
    return t;
}

SimFlashF4Timing sim_flashf4_timing_scaled(uint64_t divisor) {
    SimFlashF4Timing t = sim_flashf4_timing_typical();
    if (divisor <= 1) return t;
    t.program_ns /= divisor;
    for (int i = 0; i < 4; ++i) {
        t.erase_16k_ns[i] /= divisor;
        t.erase_64k_ns[i] /= divisor;
        t.erase_128k_ns[i] /= divisor;
        t.mass_erase_ns[i] /= divisor;
    }
    t.option_ns /= divisor;
    return t;
}

bool sim_flashf4_sector(unsigned snb, SimFlashF4Sector* out) {
    if (snb >= SIM_FLASHF4_SECTORS) return false;
    if (snb < 4) *out = {snb * 0x4000u, 0x4000u};
    else if (snb == 4) *out = {0x10000u, 0x10000u};
    else *out = {(snb - 4) * 0x20000u, 0x20000u};
    return true;
}

bool sim_flashf4_sector_of(const SimFlashF4* fc, unsigned snb, SimFlashF4Sector* out) {
    // RM0090: with two banks SNB 12-15 is not allowed and 16-27 names 12-23.
    if (!fc->dual_bank || snb < 16) return sim_flashf4_sector(snb, out);
    if (!sim_flashf4_sector(snb - 16, out)) return false;
    out->offset += BANK;
    return true;
}

namespace {
void init(SimFlashF4* fc, const SimFlashF4Timing* timing, bool dual) {
    fc->timing = timing ? *timing : sim_flashf4_timing_typical();
    fc->dual_bank = dual;
    fc->array_size = dual ? SIM_FLASHF4_ARRAY_SIZE_2M : SIM_FLASHF4_ARRAY_SIZE;
    std::memset(fc->array, 0xFF, sizeof fc->array);
    fc->option_bytes1 = dual ? SIM_FLASHF4_OPTCR1_RESET : 0;
    fc->option_bytes = SIM_FLASHF4_OPTCR_RESET & OPTCR_FIELDS;
    fc->stalled_ns = 0;
    fc->faults = SimFlashF4Faults{};
    sim_flashf4_reset(fc);
}
} // namespace

void sim_flashf4_init(SimFlashF4* fc, const SimFlashF4Timing* timing) { init(fc, timing, false); }
void sim_flashf4_init_dual_bank(SimFlashF4* fc, const SimFlashF4Timing* timing) { init(fc, timing, true); }

void sim_flashf4_reset(SimFlashF4* fc) {
    fc->acr = 0;
    fc->sr = 0;
    fc->cr = SIM_FLASHF4_CR_LOCK;
    fc->optcr = fc->option_bytes | SIM_FLASHF4_OPTCR_OPTLOCK;
    fc->optcr1 = fc->option_bytes1;
    fc->key_stage = 0;
    fc->key_locked_out = false;
    fc->optkey_stage = 0;
    fc->optkey_locked_out = false;
    fc->op = SimFlashF4Op::none;
    fc->busy_left_ns = 0;
}

bool sim_flashf4_read(SimFlashF4* fc, uint32_t offset, unsigned size, uint32_t* value) {
    if (!sim_flash_size_ok(size) || offset % size != 0 || offset >= SIM_FLASHF4_REG_SIZE) return false;
    uint32_t word = 0;
    switch (offset & ~3u) {
    case SIM_FLASHF4_ACR: word = fc->acr; break;
    case SIM_FLASHF4_SR: word = fc->sr; break;
    case SIM_FLASHF4_CR: word = fc->cr; break;
    case SIM_FLASHF4_OPTCR: word = fc->optcr; break;
    case SIM_FLASHF4_OPTCR1: word = fc->optcr1; break; // 0 (reserved) with one bank
    default: word = 0; break; // KEYR/OPTKEYR are write-only; the rest is reserved
    }
    *value = (word & sim_flash_lane_mask(offset, size)) >> (8 * (offset & 3u));
    return true;
}

bool sim_flashf4_write(SimFlashF4* fc, uint32_t offset, unsigned size, uint32_t value) {
    if (!sim_flash_size_ok(size) || offset % size != 0 || offset >= SIM_FLASHF4_REG_SIZE) return false;
    const uint32_t lanes = sim_flash_lane_mask(offset, size);
    const uint32_t v = value << (8 * (offset & 3u));
    switch (offset & ~3u) {
    case SIM_FLASHF4_ACR:
        // ICRST/DCRST reset the caches and need not read back.
        fc->acr = (fc->acr & ~lanes) | (v & lanes & ACR_MASK & ~0x1800u);
        return true;
    case SIM_FLASHF4_KEYR: {
        // RM0090: a wrong key sequence is answered with a bus error, and so
        // is every KEYR write after it until the next reset.
        const bool was_out = fc->key_locked_out;
        write_keyr(fc, size, value);
        return !was_out && !fc->key_locked_out;
    }
    case SIM_FLASHF4_OPTKEYR: {
        const bool was_out = fc->optkey_locked_out;
        write_optkeyr(fc, size, value);
        return !was_out && !fc->optkey_locked_out;
    }
    case SIM_FLASHF4_SR:
        fc->sr &= ~(v & lanes & SR_W1C);
        return true;
    case SIM_FLASHF4_CR: write_cr(fc, v, lanes); return true;
    case SIM_FLASHF4_OPTCR: write_optcr(fc, v, lanes); return true;
    case SIM_FLASHF4_OPTCR1:
        // Taken with OPTCR's next OPTSTRT; OPTLOCK guards it too.
        if (fc->dual_bank && !(fc->optcr & SIM_FLASHF4_OPTCR_OPTLOCK) && !(fc->optcr & SIM_FLASHF4_OPTCR_OPTSTRT))
            fc->optcr1 = (fc->optcr1 & ~(lanes & NWRP)) | (v & lanes & NWRP);
        return true;
    default: return true; // reserved: ignored
    }
}

SimMemPort sim_flashf4_reg_port(SimFlashF4* fc) { return SimMemPort{fc, reg_read, reg_write}; }

bool sim_flashf4_array_write(SimFlashF4* fc, uint32_t offset, unsigned size, uint32_t value) {
    if (!sim_flash_size_ok(size) || offset >= fc->array_size || fc->array_size - offset < size) return false;
    stall_until_idle(fc);
    const uint32_t cr = fc->cr;
    if (!(cr & SIM_FLASHF4_CR_PG) || (cr & (SIM_FLASHF4_CR_SER | SIM_FLASHF4_CR_MER)) ||
        (cr & SIM_FLASHF4_CR_LOCK)) {
        set_error(fc, SIM_FLASHF4_SR_PGSERR);
        return true;
    }
    // The bus splits an unaligned store, and a piece that would straddle a
    // 128-bit row is what PGAERR reports: refuse any unaligned program.
    if (offset % size != 0) { set_error(fc, SIM_FLASHF4_SR_PGAERR); return true; }
    // x64 needs two words and an external VPP, neither of which this bus has.
    const unsigned ps = psize_of(cr);
    if (ps == 3 || (1u << ps) != size) { set_error(fc, SIM_FLASHF4_SR_PGPERR); return true; }
    if (sector_protected(fc, sector_index_at(offset))) { set_error(fc, SIM_FLASHF4_SR_WRPERR); return true; }
    if (fc->faults.error_on_program) { set_error(fc, fc->faults.error_on_program); return true; }
    if (fc->faults.drop_writes || !effect_applies(fc)) {
        start_busy(fc, SimFlashF4Op::program, fc->timing.program_ns);
        return true;
    }
    // RM0090: successive writes need no erase when they only change bits from
    // 1 to 0; writing a 1 takes an erase. So a location that is not erased
    // keeps its 0 bits: the result is old AND new, never a silent overwrite.
    for (unsigned i = 0; i < size; ++i) fc->array[offset + i] &= static_cast<uint8_t>(value >> (8 * i));
    start_busy(fc, SimFlashF4Op::program, fc->timing.program_ns);
    return true;
}

bool sim_flashf4_array_read(SimFlashF4* fc, uint32_t offset, unsigned size, uint32_t* value) {
    if (!sim_flash_size_ok(size) || offset >= fc->array_size || fc->array_size - offset < size) return false;
    stall_until_idle(fc); // RM0090: a read while BSY stalls the bus until done
    uint32_t v = 0;
    for (unsigned i = 0; i < size; ++i) v |= static_cast<uint32_t>(fc->array[offset + i]) << (8 * i);
    *value = v;
    return true;
}

void sim_flashf4_advance(SimFlashF4* fc, uint64_t ns) {
    if (fc->op == SimFlashF4Op::none || fc->faults.busy_stuck) return;
    if (ns < fc->busy_left_ns) { fc->busy_left_ns -= ns; return; }
    finish(fc);
}

uint64_t sim_flashf4_busy_ns(const SimFlashF4* fc) {
    if (fc->op == SimFlashF4Op::none) return 0;
    return fc->faults.busy_stuck ? UINT64_MAX : fc->busy_left_ns;
}

void sim_flashf4_set_faults(SimFlashF4* fc, const SimFlashF4Faults* f) {
    fc->faults = f ? *f : SimFlashF4Faults{};
    // Only the error flags: EOP or BSY cannot be raised by a program access.
    fc->faults.error_on_program &= SR_W1C & ~SIM_FLASHF4_SR_EOP;
}

void sim_flashf4_set_write_protect(SimFlashF4* fc, uint16_t nwrp) {
    const uint32_t v = (uint32_t(nwrp) << 16) & NWRP;
    fc->option_bytes = (fc->option_bytes & ~NWRP) | v;
    fc->optcr = (fc->optcr & ~NWRP) | v;
}

void sim_flashf4_set_write_protect_bank2(SimFlashF4* fc, uint16_t nwrp) {
    if (!fc->dual_bank) return;
    fc->option_bytes1 = fc->optcr1 = (uint32_t(nwrp) << 16) & NWRP;
}

bool sim_flashf4_irq_pending(const SimFlashF4* fc) {
    return ((fc->sr & SIM_FLASHF4_SR_EOP) && (fc->cr & SIM_FLASHF4_CR_EOPIE)) ||
           ((fc->sr & SIM_FLASHF4_SR_OPERR) && (fc->cr & SIM_FLASHF4_CR_ERRIE));
}
