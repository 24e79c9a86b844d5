#include "sim/flash_g0l4.h"

#include "sim/flash_u5.h"

#include <cstring>
#include <new>

namespace {

constexpr uint64_t us = 1000;
constexpr uint32_t kCoreErrors = SIM_FLASHG0_SR_OPERR | SIM_FLASHG0_SR_PROGERR | SIM_FLASHG0_SR_WRPERR |
                                 SIM_FLASHG0_SR_PGAERR | SIM_FLASHG0_SR_SIZERR | SIM_FLASHG0_SR_PGSERR |
                                 SIM_FLASHG0_SR_MISERR | SIM_FLASHG0_SR_FASTERR | SIM_FLASHG0_SR_RDERR |
                                 SIM_FLASHG0_SR_OPTVERR;
// RM0351 PGSERR: also raised when a programming error of an earlier
// operation (PROGERR, SIZERR, PGAERR, MISERR, FASTERR) is still set, so a
// new program or erase is refused until software has cleared them.
constexpr uint32_t kProgramErrors = SIM_FLASHG0_SR_PROGERR | SIM_FLASHG0_SR_SIZERR | SIM_FLASHG0_SR_PGAERR |
                                    SIM_FLASHG0_SR_MISERR | SIM_FLASHG0_SR_FASTERR | SIM_FLASHG0_SR_PGSERR;
constexpr uint32_t kCrKept = SIM_FLASHG0_CR_LOCK | SIM_FLASHG0_CR_OPTLOCK;

#define G0L4_REGS(bker, mer2)                                                                                   \
    SIM_FLASHG0_KEYR, SIM_FLASHG0_OPTKEYR, SIM_FLASHG0_SR, SIM_FLASHG0_CR, SIM_FLASHG0_OPTR,                   \
        {SIM_FLASHG0_WRP1AR, SIM_FLASHG0_WRP1BR, (bker) ? SIM_FLASHG0_WRP2AR : 0u,                             \
         (bker) ? SIM_FLASHG0_WRP2BR : 0u},                                                                     \
        (bker), (mer2)

const SimFlashG0Layout kLayouts[] = {
    // RM0444: G07x/G08x, 64 KB, one bank of 32 pages; PNB is 10 bits wide for
    // the larger G0B1 and a number past the last page is refused.
    {SimFlashKind::stm32g0, 64 * 1024, 2048, 0, 0, 1, 8, 10, 6, G0L4_REGS(0u, 0u),
     kCoreErrors, SIM_FLASHG0_SR_CFGBSY, SIM_FLASHG0_SR_PGSERR, 0xDFFFE1AA,
     // STM32G071 datasheet: double word 85 us, page 22 ms, mass 22.1 ms.
     {85 * us, 22000 * us, 22100 * us, 22000 * us}},
    // RM0440: category 3, 512 KB; DBANK set by default: two banks of 128
    // pages of 2 KB, clear: one bank of 128 pages of 4 KB.
    {SimFlashKind::stm32g4, 512 * 1024, 2048, 4096, SIM_FLASHG0_OPTR_DBANK_G4, 2, 8, 7, 7,
     G0L4_REGS(SIM_FLASHG0_CR_BKER, SIM_FLASHG0_CR_MER2), kCoreErrors, 0, SIM_FLASHG0_SR_PGSERR, 0xFFEFF8AA,
     // STM32G474 datasheet: double word 81.7 us, page 22.02 ms, mass 22.13 ms.
     {81700, 22020 * us, 22130 * us, 22020 * us}},
    // RM0351: 1 MB, two banks of 256 pages of 2 KB (DUALBANK only matters
    // on the 512 and 256 KB parts).
    {SimFlashKind::stm32l4, 1024 * 1024, 2048, 0, 0, 2, 8, 8, 8,
     G0L4_REGS(SIM_FLASHG0_CR_BKER, SIM_FLASHG0_CR_MER2), kCoreErrors, 0, SIM_FLASHG0_SR_PGSERR, 0xFFEFF8AA,
     // STM32L476 datasheet: double word 81.69 us, page 22.02 ms, mass 22.13 ms.
     {81690, 22020 * us, 22130 * us, 22020 * us}},
};

bool dual_bank(const SimFlashG0* fc) {
    return fc->lay.dbank_bit ? (fc->ob_optr & fc->lay.dbank_bit) != 0 : fc->lay.banks == 2;
}
uint32_t page_size(const SimFlashG0* fc) {
    return dual_bank(fc) || !fc->lay.page_size_single ? fc->lay.page_size : fc->lay.page_size_single;
}
uint32_t bank_size(const SimFlashG0* fc) { return dual_bank(fc) ? fc->lay.array_size / 2 : fc->lay.array_size; }

bool rdp_level1(const SimFlashG0* fc) { return (fc->ob_optr & SIM_FLASHG0_OPTR_RDP_MASK) != SIM_FLASHG0_RDP_LEVEL0; }

// RM0351, write protection: pages start..end of the area's bank,
// none when start > end.
bool page_protected(const SimFlashG0* fc, unsigned bank, uint32_t page) {
    const uint32_t mask = (1u << fc->lay.wrp_bits) - 1u;
    for (unsigned a = 2 * bank; a < 2 * bank + 2; ++a) {
        if (!fc->lay.wrp[a]) continue;
        const uint32_t start = fc->ob_wrp[a] & mask, end = (fc->ob_wrp[a] >> 16) & mask;
        if (start <= page && page <= end) return true;
    }
    return false;
}

bool bank_protected(const SimFlashG0* fc, unsigned bank) {
    const uint32_t pages = bank_size(fc) / page_size(fc);
    for (uint32_t p = 0; p < pages; ++p)
        if (page_protected(fc, bank, p)) return true;
    return false;
}

void set_error(SimFlashG0* fc, uint32_t flag) {
    fc->sr |= flag;
    // OPERR is raised only while error interrupts are enabled (ERRIE).
    if (fc->cr & SIM_FLASHG0_CR_ERRIE) fc->sr |= SIM_FLASHG0_SR_OPERR;
}

void drop_row(SimFlashG0* fc) {
    fc->row_words = 0;
    fc->sr &= ~fc->lay.sr_wait;
}

void start_busy(SimFlashG0* fc, SimFlashG0Op op, uint64_t ns) {
    fc->op = op;
    fc->busy_left_ns = ns;
    fc->sr |= SIM_FLASHG0_SR_BSY;
    // RM0444: CFGBSY holds from a row's first word, or STRT, until the
    // operation ends.
    if (fc->lay.kind == SimFlashKind::stm32g0 && op != SimFlashG0Op::option) fc->sr |= SIM_FLASHG0_SR_CFGBSY;
    if (ns == 0) sim_flashg0_advance(fc, 0);
}

void finish(SimFlashG0* fc) {
    fc->cr &= ~(SIM_FLASHG0_CR_STRT | SIM_FLASHG0_CR_OPTSTRT);
    // EOP is raised only while end-of-operation interrupts are enabled.
    if (fc->cr & SIM_FLASHG0_CR_EOPIE) fc->sr |= SIM_FLASHG0_SR_EOP;
    fc->sr &= ~(SIM_FLASHG0_SR_BSY | fc->lay.sr_wait);
    fc->op = SimFlashG0Op::none;
    fc->busy_left_ns = 0;
}

void stall_until_idle(SimFlashG0* fc) {
    if (fc->op == SimFlashG0Op::none || fc->faults.busy_stuck) return;
    fc->stalled_ns += fc->busy_left_ns;
    finish(fc);
}

bool effect_applies(const SimFlashG0* fc) { return !fc->faults.busy_stuck; }

void refuse_start(SimFlashG0* fc, uint32_t flag) {
    set_error(fc, flag);
    fc->cr &= ~SIM_FLASHG0_CR_STRT;
}

void start_erase(SimFlashG0* fc) {
    const uint32_t cr = fc->cr, mer = SIM_FLASHG0_CR_MER1 | fc->lay.mer2;
    const bool per = cr & SIM_FLASHG0_CR_PER, pg = cr & SIM_FLASHG0_CR_PG;
    const bool any_mer = cr & mer;
    if (!per && !any_mer) { fc->cr &= ~SIM_FLASHG0_CR_STRT; return; }  // nothing selected
    // PGSERR: an inconsistent selection, or programming errors left uncleared.
    if ((per && (any_mer || pg)) || (any_mer && pg) || (fc->sr & kProgramErrors)) {
        refuse_start(fc, SIM_FLASHG0_SR_PGSERR);
        return;
    }
    // WRPERR: the address to erase is write-protected, by WRP or by RDP
    // level 1 (PCROP is not modelled).
    if (rdp_level1(fc)) { refuse_start(fc, SIM_FLASHG0_SR_WRPERR); return; }
    const bool two = dual_bank(fc);
    const uint32_t bsize = bank_size(fc), psize = page_size(fc);
    if (per) {
        const unsigned bank = two && (cr & fc->lay.bker) ? 1 : 0;
        const uint32_t pnb = (cr >> SIM_FLASHG0_CR_PNB_SHIFT) & ((1u << fc->lay.pnb_bits) - 1u);
        if (pnb >= bsize / psize) { refuse_start(fc, SIM_FLASHG0_SR_PGSERR); return; }
        if (page_protected(fc, bank, pnb)) { refuse_start(fc, SIM_FLASHG0_SR_WRPERR); return; }
        if (effect_applies(fc)) std::memset(fc->array + bank * bsize + pnb * psize, 0xFF, psize);
        start_busy(fc, SimFlashG0Op::page_erase, fc->lay.timing.page_erase_ns);
        return;
    }
    // MER1 / MER2: the bank; with one bank either erases it all.
    bool bank_sel[2] = {(cr & SIM_FLASHG0_CR_MER1) != 0, fc->lay.mer2 && (cr & fc->lay.mer2)};
    if (!two) bank_sel[0] = true, bank_sel[1] = false;
    for (unsigned b = 0; b < 2; ++b) {
        if (bank_sel[b] && bank_protected(fc, b)) { refuse_start(fc, SIM_FLASHG0_SR_WRPERR); return; }
    }
    for (unsigned b = 0; b < 2; ++b) {
        if (bank_sel[b] && effect_applies(fc)) std::memset(fc->array + b * bsize, 0xFF, bsize);
    }
    start_busy(fc, SimFlashG0Op::mass_erase, fc->lay.timing.mass_erase_ns);
}

// OPTSTRT: the option registers become the option bytes (used from the next
// reload). Leaving level 1 for level 0 erases the whole array first (RDP
// regression); level 2 is irreversible and not modelled, so it is refused.
void start_option(SimFlashG0* fc) {
    const uint8_t rdp = fc->optr & SIM_FLASHG0_OPTR_RDP_MASK;
    if (rdp == SIM_FLASHG0_RDP_LEVEL2 || (fc->sr & kProgramErrors)) {
        set_error(fc, rdp == SIM_FLASHG0_RDP_LEVEL2 ? fc->lay.sr_option_error : SIM_FLASHG0_SR_PGSERR);
        fc->cr &= ~SIM_FLASHG0_CR_OPTSTRT;
        return;
    }
    uint64_t ns = fc->lay.timing.option_ns;
    if (rdp_level1(fc) && rdp == SIM_FLASHG0_RDP_LEVEL0) {
        if (effect_applies(fc)) std::memset(fc->array, 0xFF, fc->lay.array_size);
        ns += fc->lay.timing.mass_erase_ns;
    }
    if (effect_applies(fc)) {
        fc->ob_optr = fc->optr;
        std::memcpy(fc->ob_wrp, fc->wrp, sizeof fc->wrp);
    }
    start_busy(fc, SimFlashG0Op::option, ns);
}

// KEYR and OPTKEYR: two keys in order; anything else locks until reset.
void write_key(bool* locked_out, uint8_t* stage, uint32_t* cr, uint32_t lock_bit, bool may_unlock, uint32_t key1,
               uint32_t key2, unsigned size, uint32_t value) {
    if (!*locked_out && (*cr & lock_bit) && may_unlock && size == 4) {
        if (*stage == 0 && value == key1) { *stage = 1; return; }
        if (*stage == 1 && value == key2) { *stage = 0; *cr &= ~lock_bit; return; }
    }
    *locked_out = true;
    *stage = 0;
    *cr |= lock_bit;
}

void write_cr(SimFlashG0* fc, uint32_t v, uint32_t lanes) {
    if (fc->cr & SIM_FLASHG0_CR_LOCK) return;  // a locked CR ignores writes
    const uint32_t old = fc->cr;
    const uint32_t writable = SIM_FLASHG0_CR_PG | SIM_FLASHG0_CR_PER | SIM_FLASHG0_CR_MER1 |
                              (((1u << fc->lay.pnb_bits) - 1u) << SIM_FLASHG0_CR_PNB_SHIFT) | fc->lay.bker |
                              fc->lay.mer2 | SIM_FLASHG0_CR_STRT | SIM_FLASHG0_CR_OPTSTRT |
                              SIM_FLASHG0_CR_EOPIE | SIM_FLASHG0_CR_ERRIE | SIM_FLASHG0_CR_OBL_LAUNCH;
    uint32_t next = (old & ~(lanes & writable)) | (v & lanes & writable);
    // LOCK and OPTLOCK are set by software, cleared only by their keys; STRT
    // and OPTSTRT are cleared by the hardware only.
    next |= old & (kCrKept | SIM_FLASHG0_CR_STRT | SIM_FLASHG0_CR_OPTSTRT);
    next |= v & lanes & kCrKept;
    // OPTSTRT and OBL_LAUNCH start only with OPTLOCK clear.
    if (old & SIM_FLASHG0_CR_OPTLOCK) next &= ~((SIM_FLASHG0_CR_OPTSTRT | SIM_FLASHG0_CR_OBL_LAUNCH) & ~old);
    fc->cr = next;
    if (next & SIM_FLASHG0_CR_LOCK) fc->key_stage = 0;
    const uint32_t rising = next & ~old;
    if (rising & SIM_FLASHG0_CR_STRT) {
        stall_until_idle(fc);
        start_erase(fc);
    }
    if (rising & SIM_FLASHG0_CR_OPTSTRT) {
        stall_until_idle(fc);
        start_option(fc);
    }
    if (rising & SIM_FLASHG0_CR_OBL_LAUNCH) {
        // The part reloads its option bytes through a system reset; the
        // controller's share of it is the reset and the reload.
        stall_until_idle(fc);
        sim_flashg0_reset(fc);
    }
}

int wrp_index(const SimFlashG0* fc, uint32_t word) {
    for (int a = 0; a < 4; ++a)
        if (fc->lay.wrp[a] && fc->lay.wrp[a] == word) return a;
    return -1;
}

}  // namespace

const SimFlashG0Layout* sim_flashg0_layout(SimFlashKind kind) {
    if (kind == SimFlashKind::stm32u5) return sim_flashu5_layout();
    for (const SimFlashG0Layout& l : kLayouts)
        if (l.kind == kind) return &l;
    return nullptr;
}

bool sim_flashg0_init(SimFlashG0* fc, SimFlashKind kind, uint64_t time_divisor) {
    const SimFlashG0Layout* lay = sim_flashg0_layout(kind);
    if (!fc || !lay) return false;
    fc->lay = *lay;
    const uint64_t div = time_divisor ? time_divisor : 1;
    SimFlashG0Timing& t = fc->lay.timing;
    t.program_ns /= div, t.page_erase_ns /= div, t.mass_erase_ns /= div, t.option_ns /= div;
    std::memset(fc->array, 0xFF, sizeof fc->array);
    fc->ob_optr = lay->optr_factory;
    // Factory WRP: start past end, nothing protected.
    for (uint32_t& w : fc->ob_wrp) w = (1u << lay->wrp_bits) - 1u;
    fc->stalled_ns = 0;
    fc->faults = SimFlashFaults{};
    sim_flashg0_reset(fc);
    return true;
}

void sim_flashg0_reset(SimFlashG0* fc) {
    fc->acr = 0x600;  // ICEN, PRFTEN as the reset value has them (G0, L4)
    fc->sr = 0;
    fc->cr = SIM_FLASHG0_CR_LOCK | SIM_FLASHG0_CR_OPTLOCK;
    fc->optr = fc->ob_optr;
    std::memcpy(fc->wrp, fc->ob_wrp, sizeof fc->wrp);
    fc->key_stage = fc->optkey_stage = 0;
    fc->key_locked_out = fc->optkey_locked_out = false;
    fc->row_words = 0;
    fc->op = SimFlashG0Op::none;
    fc->busy_left_ns = 0;
}

bool sim_flashg0_read(SimFlashG0* fc, uint32_t offset, unsigned size, uint32_t* value) {
    if (!sim_flash_size_ok(size) || offset % size != 0 || offset >= SIM_FLASHG0_REG_SIZE) return false;
    const uint32_t word = offset & ~3u;
    const SimFlashG0Layout& L = fc->lay;
    uint32_t v = 0;
    const int a = wrp_index(fc, word);
    if (word == SIM_FLASHG0_ACR) v = fc->acr;
    else if (word == L.sr) v = fc->sr;
    else if (word == L.cr) v = fc->cr;
    else if (word == L.optr) v = fc->optr;
    else if (a >= 0) v = fc->wrp[a];
    *value = (v & sim_flash_lane_mask(offset, size)) >> (8 * (offset & 3u));
    return true;
}

bool sim_flashg0_write(SimFlashG0* fc, uint32_t offset, unsigned size, uint32_t value) {
    if (!sim_flash_size_ok(size) || offset % size != 0 || offset >= SIM_FLASHG0_REG_SIZE) return false;
    const uint32_t word = offset & ~3u, lanes = sim_flash_lane_mask(offset, size), v = value << (8 * (offset & 3u));
    const SimFlashG0Layout& L = fc->lay;
    if (word == L.keyr) {
        // A wrong key is answered with a bus error, and so is every KEYR
        // write after it until reset (RM0351, unlocking the flash memory).
        if (fc->faults.reject_keys) return true;
        const bool was_out = fc->key_locked_out;
        write_key(&fc->key_locked_out, &fc->key_stage, &fc->cr, SIM_FLASHG0_CR_LOCK, true, SIM_FLASHG0_KEY1,
                  SIM_FLASHG0_KEY2, size, value);
        return !was_out && !fc->key_locked_out;
    }
    if (word == L.optkeyr) {
        // The option keys open OPTLOCK only once LOCK is clear.
        const bool was_out = fc->optkey_locked_out;
        write_key(&fc->optkey_locked_out, &fc->optkey_stage, &fc->cr, SIM_FLASHG0_CR_OPTLOCK,
                  !(fc->cr & SIM_FLASHG0_CR_LOCK), SIM_FLASHG0_OPTKEY1, SIM_FLASHG0_OPTKEY2, size, value);
        return !was_out && !fc->optkey_locked_out;
    }
    if (word == SIM_FLASHG0_ACR) {
        fc->acr = (fc->acr & ~lanes) | (v & lanes);
    } else if (word == L.sr) {
        fc->sr &= ~(v & lanes & (L.sr_errors | SIM_FLASHG0_SR_EOP));
    } else if (word == L.cr) {
        write_cr(fc, v, lanes);
    } else if (word == L.optr || wrp_index(fc, word) >= 0) {
        // The option registers take writes only with both locks open.
        if (fc->cr & (SIM_FLASHG0_CR_OPTLOCK | SIM_FLASHG0_CR_LOCK)) return true;
        uint32_t* reg = word == L.optr ? &fc->optr : &fc->wrp[wrp_index(fc, word)];
        *reg = (*reg & ~lanes) | (v & lanes);
    }
    return true;  // reserved and unmodelled registers: ignored
}

bool sim_flashg0_array_write(SimFlashG0* fc, uint32_t offset, unsigned size, uint32_t value) {
    const uint32_t n = fc->lay.array_size;
    if (!sim_flash_size_ok(size) || offset >= n || n - offset < size) return false;
    stall_until_idle(fc);
    const uint32_t cr = fc->cr;
    // PGSERR: a store with PG clear, with an erase selected too, or while
    // an earlier programming error is still set.
    if (!(cr & SIM_FLASHG0_CR_PG) || (cr & (SIM_FLASHG0_CR_PER | SIM_FLASHG0_CR_MER1 | fc->lay.mer2)) ||
        (cr & SIM_FLASHG0_CR_LOCK) || (fc->sr & kProgramErrors)) {
        drop_row(fc);
        set_error(fc, SIM_FLASHG0_SR_PGSERR);
        return true;
    }
    // SIZERR: a byte or half-word store while programming.
    if (size != 4) { drop_row(fc); set_error(fc, SIM_FLASHG0_SR_SIZERR); return true; }
    const unsigned row = fc->lay.row_bytes, words = row / 4;
    // PGAERR: the words of one row must come in order from its start: a
    // first word off the row's start, or a next one elsewhere, cannot be
    // contained in the same row.
    if (fc->row_words == 0 ? offset % row != 0 : offset != fc->row_off + 4u * fc->row_words) {
        drop_row(fc);
        set_error(fc, SIM_FLASHG0_SR_PGAERR);
        return true;
    }
    if (fc->row_words == 0) fc->row_off = offset;
    fc->row_data[fc->row_words++] = value;
    fc->sr |= fc->lay.sr_wait;
    if (fc->row_words < words) return true;
    drop_row(fc);

    const uint32_t at = fc->row_off;
    const unsigned bank = dual_bank(fc) && at >= bank_size(fc) ? 1 : 0;
    if (rdp_level1(fc) || page_protected(fc, bank, (at - bank * bank_size(fc)) / page_size(fc))) {
        set_error(fc, SIM_FLASHG0_SR_WRPERR);
        return true;
    }
    if (fc->faults.error_on_program) { set_error(fc, fc->faults.error_on_program); return true; }
    // PROGERR: the row held something other than all ones before, unless
    // the data to write is all zeros.
    bool erased = true, zeros = true;
    for (unsigned i = 0; i < row; ++i) erased = erased && fc->array[at + i] == 0xFF;
    for (unsigned w = 0; w < words; ++w) zeros = zeros && fc->row_data[w] == 0;
    if (!erased && !zeros) { set_error(fc, SIM_FLASHG0_SR_PROGERR); return true; }
    if (!fc->faults.drop_writes && effect_applies(fc)) {
        for (unsigned w = 0; w < words; ++w)
            for (unsigned b = 0; b < 4; ++b) fc->array[at + 4 * w + b] = uint8_t(fc->row_data[w] >> (8 * b));
    }
    start_busy(fc, SimFlashG0Op::program, fc->lay.timing.program_ns);
    return true;
}

bool sim_flashg0_array_read(SimFlashG0* fc, uint32_t offset, unsigned size, uint32_t* value) {
    const uint32_t n = fc->lay.array_size;
    if (!sim_flash_size_ok(size) || offset >= n || n - offset < size) return false;
    if (rdp_level1(fc)) return false;  // RDP level 1 with the debugger connected: a bus error
    stall_until_idle(fc);
    uint32_t v = 0;
    for (unsigned i = 0; i < size; ++i) v |= uint32_t(fc->array[offset + i]) << (8 * i);
    *value = v;
    return true;
}

void sim_flashg0_advance(SimFlashG0* fc, uint64_t ns) {
    if (fc->op == SimFlashG0Op::none || fc->faults.busy_stuck) return;
    if (ns < fc->busy_left_ns) { fc->busy_left_ns -= ns; return; }
    finish(fc);
}

uint64_t sim_flashg0_busy_ns(const SimFlashG0* fc) {
    if (fc->op == SimFlashG0Op::none) return 0;
    return fc->faults.busy_stuck ? UINT64_MAX : fc->busy_left_ns;
}

bool sim_flashg0_irq_pending(const SimFlashG0* fc) {
    return ((fc->sr & SIM_FLASHG0_SR_EOP) && (fc->cr & SIM_FLASHG0_CR_EOPIE)) ||
           ((fc->sr & SIM_FLASHG0_SR_OPERR) && (fc->cr & SIM_FLASHG0_CR_ERRIE));
}

void sim_flashg0_set_faults(SimFlashG0* fc, const SimFlashFaults* f) {
    fc->faults = f ? *f : SimFlashFaults{};
    fc->faults.error_on_program &= fc->lay.sr_errors;
}

bool sim_flashg0_set_write_protect(SimFlashG0* fc, unsigned area, uint32_t start, uint32_t end) {
    const uint32_t mask = (1u << fc->lay.wrp_bits) - 1u;
    if (area >= 4 || !fc->lay.wrp[area] || start > mask || end > mask) return false;
    fc->ob_wrp[area] = fc->wrp[area] = start | (end << 16);
    return true;
}

bool sim_flashg0_set_optr(SimFlashG0* fc, uint32_t optr) {
    if ((optr & SIM_FLASHG0_OPTR_RDP_MASK) == SIM_FLASHG0_RDP_LEVEL2) return false;
    fc->ob_optr = fc->optr = optr;
    return true;
}

bool sim_flashg0_set_rdp(SimFlashG0* fc, uint8_t rdp) {
    return sim_flashg0_set_optr(fc, (fc->ob_optr & ~SIM_FLASHG0_OPTR_RDP_MASK) | rdp);
}

namespace {

SimFlashG0* g0(void* s) { return static_cast<SimFlashG0*>(s); }
const SimFlashG0* g0(const void* s) { return static_cast<const SimFlashG0*>(s); }
const SimFlashOps kG0Ops = {
    [](void* s, uint32_t o, unsigned n, uint32_t* v) { return sim_flashg0_read(g0(s), o, n, v); },
    [](void* s, uint32_t o, unsigned n, uint32_t v) { return sim_flashg0_write(g0(s), o, n, v); },
    [](void* s, uint32_t o, unsigned n, uint32_t* v) { return sim_flashg0_array_read(g0(s), o, n, v); },
    [](void* s, uint32_t o, unsigned n, uint32_t v) { return sim_flashg0_array_write(g0(s), o, n, v); },
    [](void* s, uint64_t ns) { sim_flashg0_advance(g0(s), ns); },
    [](const void* s) { return sim_flashg0_busy_ns(g0(s)); },
    [](const void* s) { return sim_flashg0_irq_pending(g0(s)); },
    [](void* s) { sim_flashg0_reset(g0(s)); },
    [](void* s) { sim_flashg0_reset(g0(s)); },
    [](void* s, const SimFlashFaults* f) { sim_flashg0_set_faults(g0(s), f); },
    [](void* s) { delete g0(s); },
};

}  // namespace

bool sim_flashg0_create(SimFlashKind kind, uint64_t time_divisor, SimFlashCtl* out) {
    if (!out || !sim_flashg0_layout(kind)) return false;
    auto* fc = new (std::nothrow) SimFlashG0;
    if (!fc) return false;
    sim_flashg0_init(fc, kind, time_divisor);
    *out = SimFlashCtl{kind, fc, &kG0Ops, fc->array, fc->lay.array_size, SIM_FLASHG0_REG_BASE, SIM_FLASHG0_REG_SIZE};
    return true;
}
