#include "sim/flash_h7.h"

#include <cstring>
#include <new>

namespace {

constexpr uint64_t us = 1000, ms = 1000000;
constexpr uint32_t kErrors = SIM_FLASHH7_SR_FLAGS & ~SIM_FLASHH7_SR_EOP;
constexpr uint32_t kSnbMask = 7u << SIM_FLASHH7_CR_SNB_SHIFT;
// PG, SER, BER, PSIZE, FW, SNB, CRC_EN and the interrupt enables.
constexpr uint32_t kCrWritable = (0x1FEF807Eu | kSnbMask) & ~SIM_FLASHH7_CR_START;

unsigned psize(const SimFlashH7Bank& b) { return (b.cr >> SIM_FLASHH7_CR_PSIZE_SHIFT) & 3u; }
bool rdp_level1(const SimFlashH7* fc) { return ((fc->optsr_cur >> 8) & 0xFF) != 0xAA; }
bool sector_protected(const SimFlashH7Bank& b, unsigned snb) { return !(b.wpsn_cur & (1u << snb)); }

void set_error(SimFlashH7Bank& b, uint32_t flag) { b.sr |= flag; }

void drop_buffer(SimFlashH7Bank& b) {
    b.buf_mask = 0;
    b.sr &= ~SIM_FLASHH7_SR_WBNE;
}

void finish(SimFlashH7Bank& b) {
    b.cr &= ~SIM_FLASHH7_CR_START;
    // RM0433: EOP is set at the end of every successful program or erase,
    // whatever EOPIE says; BSY and QW fall together once the queue is empty.
    b.sr = (b.sr & ~(SIM_FLASHH7_SR_BSY | SIM_FLASHH7_SR_QW)) | SIM_FLASHH7_SR_EOP;
    b.op = SimFlashH7Op::none;
    b.busy_left_ns = 0;
}

void start_busy(SimFlashH7* fc, SimFlashH7Bank& b, SimFlashH7Op op, uint64_t ns) {
    b.op = op;
    b.busy_left_ns = ns;
    b.sr |= SIM_FLASHH7_SR_BSY | SIM_FLASHH7_SR_QW;
    if (ns == 0 && !fc->faults.busy_stuck) finish(b);
}

void stall_until_idle(SimFlashH7* fc, SimFlashH7Bank& b) {
    if (b.op == SimFlashH7Op::none || fc->faults.busy_stuck) return;
    fc->stalled_ns += b.busy_left_ns;
    finish(b);
}

bool effect_applies(const SimFlashH7* fc) { return !fc->faults.busy_stuck; }

// The write buffer holds a whole flash word (or FW forced it out, the rest
// left erased): program it.
void commit(SimFlashH7* fc, unsigned bi) {
    SimFlashH7Bank& b = fc->bank[bi];
    const uint32_t at = bi * SIM_FLASHH7_BANK_SIZE + b.buf_word;
    uint8_t data[SIM_FLASHH7_WORD];
    for (unsigned i = 0; i < SIM_FLASHH7_WORD; ++i) data[i] = (b.buf_mask >> i) & 1u ? b.buf[i] : 0xFF;
    drop_buffer(b);
    if (rdp_level1(fc) || sector_protected(b, b.buf_word / SIM_FLASHH7_SECTOR_SIZE)) {
        set_error(b, SIM_FLASHH7_SR_WRPERR);
        return;
    }
    if (fc->faults.error_on_program) { set_error(b, fc->faults.error_on_program); return; }
    // RM0433: a flash word is programmed once after its erase (its ECC
    // covers the whole word); a second program cannot succeed, so it ends
    // in a write error and the word is left as it was.
    for (unsigned i = 0; i < SIM_FLASHH7_WORD; ++i) {
        if (fc->array[at + i] != 0xFF) { set_error(b, SIM_FLASHH7_SR_OPERR); return; }
    }
    if (!fc->faults.drop_writes && effect_applies(fc)) std::memcpy(fc->array + at, data, sizeof data);
    start_busy(fc, b, SimFlashH7Op::program, fc->timing.program_ns[psize(b)]);
}

void start_erase(SimFlashH7* fc, unsigned bi) {
    SimFlashH7Bank& b = fc->bank[bi];
    const bool ser = b.cr & SIM_FLASHH7_CR_SER, ber = b.cr & SIM_FLASHH7_CR_BER;
    if (!ser && !ber) { b.cr &= ~SIM_FLASHH7_CR_START; return; }
    // An erase with programming selected too, both erases, or a flash word
    // still waiting in the write buffer: a sequence error, nothing erased.
    if ((ser && ber) || (b.cr & SIM_FLASHH7_CR_PG) || (b.sr & SIM_FLASHH7_SR_WBNE)) {
        set_error(b, SIM_FLASHH7_SR_PGSERR);
        b.cr &= ~SIM_FLASHH7_CR_START;
        return;
    }
    const unsigned snb = (b.cr & kSnbMask) >> SIM_FLASHH7_CR_SNB_SHIFT;
    bool prot = rdp_level1(fc) || (ser && sector_protected(b, snb));
    for (unsigned s = 0; ber && s < 8; ++s) prot = prot || sector_protected(b, s);
    if (prot) {
        set_error(b, SIM_FLASHH7_SR_WRPERR);
        b.cr &= ~SIM_FLASHH7_CR_START;
        return;
    }
    uint8_t* base = fc->array + bi * SIM_FLASHH7_BANK_SIZE;
    if (ser) {
        if (effect_applies(fc)) std::memset(base + snb * SIM_FLASHH7_SECTOR_SIZE, 0xFF, SIM_FLASHH7_SECTOR_SIZE);
        start_busy(fc, b, SimFlashH7Op::sector_erase, fc->timing.sector_erase_ns[psize(b)]);
    } else {
        if (effect_applies(fc)) std::memset(base, 0xFF, SIM_FLASHH7_BANK_SIZE);
        start_busy(fc, b, SimFlashH7Op::bank_erase, fc->timing.bank_erase_ns[psize(b)]);
    }
}

// KEYRx and OPTKEYR: two keys in order; anything else locks until reset.
void write_key(bool* locked_out, uint8_t* stage, uint32_t* reg, uint32_t lock_bit, uint32_t key1, uint32_t key2,
               unsigned size, uint32_t value) {
    if (!*locked_out && (*reg & lock_bit) && size == 4) {
        if (*stage == 0 && value == key1) { *stage = 1; return; }
        if (*stage == 1 && value == key2) { *stage = 0; *reg &= ~lock_bit; return; }
    }
    *locked_out = true;
    *stage = 0;
    *reg |= lock_bit;
}

void write_cr(SimFlashH7* fc, unsigned bi, uint32_t v, uint32_t lanes) {
    SimFlashH7Bank& b = fc->bank[bi];
    if (b.cr & SIM_FLASHH7_CR_LOCK) return;
    const uint32_t old = b.cr;
    b.cr = (old & ~(lanes & kCrWritable)) | (v & lanes & kCrWritable) | (old & SIM_FLASHH7_CR_START) |
           (v & lanes & (SIM_FLASHH7_CR_LOCK | SIM_FLASHH7_CR_START));
    b.cr &= ~SIM_FLASHH7_CR_FW;  // FW acts once and reads back clear
    if (b.cr & SIM_FLASHH7_CR_LOCK) b.key_stage = 0;
    if ((v & lanes & SIM_FLASHH7_CR_FW) && b.buf_mask) {
        stall_until_idle(fc, b);
        commit(fc, bi);
    }
    if ((b.cr & ~old) & SIM_FLASHH7_CR_START) {
        stall_until_idle(fc, b);
        start_erase(fc, bi);
    }
}

// OPTSTART: the programmed option registers become current at once. Read
// protection is not modelled beyond level 1, so a change of RDP other than
// back to level 0 fails with OPTCHANGEERR and changes nothing.
void start_option(SimFlashH7* fc) {
    const uint8_t rdp = (fc->optsr_prg >> 8) & 0xFF;
    if (rdp == 0xCC || (rdp != 0xAA && !rdp_level1(fc))) {
        fc->optsr_cur |= SIM_FLASHH7_OPTSR_CHANGEERR;
        return;
    }
    if (rdp_level1(fc) && rdp == 0xAA && effect_applies(fc)) std::memset(fc->array, 0xFF, sizeof fc->array);
    fc->ob_optsr = fc->optsr_cur = fc->optsr_prg & ~SIM_FLASHH7_OPTSR_CHANGEERR;
    for (unsigned i = 0; i < 2; ++i) fc->ob_wpsn[i] = fc->bank[i].wpsn_cur = fc->bank[i].wpsn_prg;
}

}  // namespace

void sim_flashh7_init(SimFlashH7* fc, uint64_t time_divisor) {
    const uint64_t d = time_divisor ? time_divisor : 1;
    const SimFlashH7Timing t = {
        {290 * us, 180 * us, 130 * us, 100 * us},
        {2000 * ms, 1800 * ms, 1100 * ms, 1000 * ms},
        {13000 * ms, 8000 * ms, 6000 * ms, 5000 * ms},
    };
    for (int i = 0; i < 4; ++i) {
        fc->timing.program_ns[i] = t.program_ns[i] / d;
        fc->timing.sector_erase_ns[i] = t.sector_erase_ns[i] / d;
        fc->timing.bank_erase_ns[i] = t.bank_erase_ns[i] / d;
    }
    std::memset(fc->array, 0xFF, sizeof fc->array);
    fc->ob_optsr = SIM_FLASHH7_OPTSR_FACTORY;
    fc->ob_wpsn[0] = fc->ob_wpsn[1] = 0xFF;
    fc->stalled_ns = 0;
    fc->faults = SimFlashFaults{};
    sim_flashh7_reset(fc);
}

void sim_flashh7_reset(SimFlashH7* fc) {
    fc->acr = 0x37;
    fc->optcr = SIM_FLASHH7_OPTCR_OPTLOCK;
    fc->optsr_cur = fc->optsr_prg = fc->ob_optsr;
    fc->optkey_stage = 0;
    fc->optkey_locked_out = false;
    for (unsigned i = 0; i < 2; ++i) {
        SimFlashH7Bank& b = fc->bank[i];
        b = SimFlashH7Bank{};
        b.cr = SIM_FLASHH7_CR_RESET;
        b.wpsn_cur = b.wpsn_prg = fc->ob_wpsn[i];
    }
}

bool sim_flashh7_read(SimFlashH7* fc, uint32_t offset, unsigned size, uint32_t* value) {
    if (!sim_flash_size_ok(size) || offset % size != 0 || offset >= SIM_FLASHH7_REG_SIZE) return false;
    const uint32_t word = offset & ~3u, bi = word >= SIM_FLASHH7_BANK2 && word < 2 * SIM_FLASHH7_BANK2;
    const SimFlashH7Bank& b = fc->bank[bi];
    uint32_t v = 0;
    switch (word - bi * SIM_FLASHH7_BANK2) {
    case SIM_FLASHH7_ACR: v = fc->acr; break;
    case SIM_FLASHH7_CR: v = b.cr; break;
    case SIM_FLASHH7_SR: v = b.sr; break;
    case SIM_FLASHH7_OPTCR: v = fc->optcr; break;
    case SIM_FLASHH7_OPTSR_CUR: v = fc->optsr_cur; break;
    case SIM_FLASHH7_OPTSR_PRG: v = fc->optsr_prg; break;
    case SIM_FLASHH7_WPSN_CUR: v = b.wpsn_cur; break;
    case SIM_FLASHH7_WPSN_PRG: v = b.wpsn_prg; break;
    default: break;  // keys are write-only; the rest is not modelled
    }
    *value = (v & sim_flash_lane_mask(offset, size)) >> (8 * (offset & 3u));
    return true;
}

bool sim_flashh7_write(SimFlashH7* fc, uint32_t offset, unsigned size, uint32_t value) {
    if (!sim_flash_size_ok(size) || offset % size != 0 || offset >= SIM_FLASHH7_REG_SIZE) return false;
    const uint32_t word = offset & ~3u, bi = word >= SIM_FLASHH7_BANK2 && word < 2 * SIM_FLASHH7_BANK2;
    const uint32_t lanes = sim_flash_lane_mask(offset, size), v = value << (8 * (offset & 3u));
    SimFlashH7Bank& b = fc->bank[bi];
    const bool opt_open = !(fc->optcr & SIM_FLASHH7_OPTCR_OPTLOCK);
    switch (word - bi * SIM_FLASHH7_BANK2) {
    case SIM_FLASHH7_ACR: fc->acr = (fc->acr & ~lanes) | (v & lanes & 0x3F); break;
    case SIM_FLASHH7_KEYR: {
        // RM0433: a wrong key sequence is a bus error and locks the bank's
        // CR until the next reset.
        if (fc->faults.reject_keys) return true;
        const bool was_out = b.key_locked_out;
        write_key(&b.key_locked_out, &b.key_stage, &b.cr, SIM_FLASHH7_CR_LOCK, SIM_FLASHH7_KEY1, SIM_FLASHH7_KEY2,
                  size, value);
        return !was_out && !b.key_locked_out;
    }
    case SIM_FLASHH7_OPTKEYR: {
        const bool was_out = fc->optkey_locked_out;
        write_key(&fc->optkey_locked_out, &fc->optkey_stage, &fc->optcr, SIM_FLASHH7_OPTCR_OPTLOCK,
                  SIM_FLASHH7_OPTKEY1, SIM_FLASHH7_OPTKEY2, size, value);
        return !was_out && !fc->optkey_locked_out;
    }
    case SIM_FLASHH7_CR: write_cr(fc, bi, v, lanes); break;
    case SIM_FLASHH7_CCR: b.sr &= ~(v & lanes & SIM_FLASHH7_SR_FLAGS); break;
    case SIM_FLASHH7_OPTCR:
        if (!opt_open) break;
        fc->optcr |= v & lanes & SIM_FLASHH7_OPTCR_OPTLOCK;
        if (v & lanes & SIM_FLASHH7_OPTCR_OPTSTART) start_option(fc);
        break;
    case SIM_FLASHH7_OPTSR_PRG:
        if (opt_open) fc->optsr_prg = (fc->optsr_prg & ~lanes) | (v & lanes);
        break;
    case SIM_FLASHH7_WPSN_PRG:
        if (opt_open) b.wpsn_prg = ((b.wpsn_prg & ~lanes) | (v & lanes)) & 0xFF;
        break;
    default: break;
    }
    return true;
}

bool sim_flashh7_array_write(SimFlashH7* fc, uint32_t offset, unsigned size, uint32_t value) {
    if (!sim_flash_size_ok(size) || offset >= SIM_FLASHH7_ARRAY_SIZE || SIM_FLASHH7_ARRAY_SIZE - offset < size) return false;
    const unsigned bi = offset / SIM_FLASHH7_BANK_SIZE;
    SimFlashH7Bank& b = fc->bank[bi];
    stall_until_idle(fc, b);
    const uint32_t in_bank = offset % SIM_FLASHH7_BANK_SIZE, word = in_bank & ~(SIM_FLASHH7_WORD - 1u);
    const unsigned pos = in_bank % SIM_FLASHH7_WORD;
    // PGSERR: a store without PG, or with an erase selected.
    if (!(b.cr & SIM_FLASHH7_CR_PG) || (b.cr & (SIM_FLASHH7_CR_LOCK | SIM_FLASHH7_CR_SER | SIM_FLASHH7_CR_BER))) {
        set_error(b, SIM_FLASHH7_SR_PGSERR);
        return true;
    }
    // INCERR: a write to another flash word (or one running over this
    // word's end) before the buffered one was complete; the buffer is lost.
    if ((b.buf_mask && word != b.buf_word) || pos + size > SIM_FLASHH7_WORD) {
        drop_buffer(b);
        set_error(b, SIM_FLASHH7_SR_INCERR);
        return true;
    }
    const uint32_t bytes = ((1u << size) - 1u) << pos;
    // STRBERR: the same byte of the flash word written twice.
    if (b.buf_mask & bytes) {
        drop_buffer(b);
        set_error(b, SIM_FLASHH7_SR_STRBERR);
        return true;
    }
    b.buf_word = word;
    b.buf_mask |= bytes;
    for (unsigned i = 0; i < size; ++i) b.buf[pos + i] = uint8_t(value >> (8 * i));
    b.sr |= SIM_FLASHH7_SR_WBNE;
    if (b.buf_mask == 0xFFFFFFFFu) commit(fc, bi);
    return true;
}

bool sim_flashh7_array_read(SimFlashH7* fc, uint32_t offset, unsigned size, uint32_t* value) {
    if (!sim_flash_size_ok(size) || offset >= SIM_FLASHH7_ARRAY_SIZE || SIM_FLASHH7_ARRAY_SIZE - offset < size) return false;
    if (rdp_level1(fc)) return false;
    stall_until_idle(fc, fc->bank[offset / SIM_FLASHH7_BANK_SIZE]);
    uint32_t v = 0;
    for (unsigned i = 0; i < size; ++i) v |= uint32_t(fc->array[offset + i]) << (8 * i);
    *value = v;
    return true;
}

void sim_flashh7_advance(SimFlashH7* fc, uint64_t ns) {
    if (fc->faults.busy_stuck) return;
    for (SimFlashH7Bank& b : fc->bank) {
        if (b.op == SimFlashH7Op::none) continue;
        if (ns < b.busy_left_ns) b.busy_left_ns -= ns;
        else finish(b);
    }
}

uint64_t sim_flashh7_busy_ns(const SimFlashH7* fc) {
    uint64_t most = 0;
    for (const SimFlashH7Bank& b : fc->bank) {
        if (b.op == SimFlashH7Op::none) continue;
        if (fc->faults.busy_stuck) return UINT64_MAX;
        if (b.busy_left_ns > most) most = b.busy_left_ns;
    }
    return most;
}

bool sim_flashh7_irq_pending(const SimFlashH7* fc) {
    // Each flag's enable sits at its own bit position in CR.
    for (const SimFlashH7Bank& b : fc->bank)
        if (b.sr & b.cr & SIM_FLASHH7_SR_FLAGS) return true;
    return false;
}

void sim_flashh7_set_faults(SimFlashH7* fc, const SimFlashFaults* f) {
    fc->faults = f ? *f : SimFlashFaults{};
    fc->faults.error_on_program &= kErrors;
}

bool sim_flashh7_set_write_protect(SimFlashH7* fc, unsigned bank, uint8_t wrpsn) {
    if (bank >= 2) return false;
    fc->ob_wpsn[bank] = fc->bank[bank].wpsn_cur = fc->bank[bank].wpsn_prg = wrpsn;
    return true;
}

bool sim_flashh7_set_rdp(SimFlashH7* fc, uint8_t rdp) {
    if (rdp == 0xCC) return false;
    fc->ob_optsr = (fc->ob_optsr & ~0xFF00u) | (uint32_t(rdp) << 8);
    fc->optsr_cur = (fc->optsr_cur & ~0xFF00u) | (uint32_t(rdp) << 8);
    fc->optsr_prg = (fc->optsr_prg & ~0xFF00u) | (uint32_t(rdp) << 8);
    return true;
}

namespace {

SimFlashH7* h7(void* s) { return static_cast<SimFlashH7*>(s); }
const SimFlashH7* h7(const void* s) { return static_cast<const SimFlashH7*>(s); }
const SimFlashOps kH7Ops = {
    [](void* s, uint32_t o, unsigned n, uint32_t* v) { return sim_flashh7_read(h7(s), o, n, v); },
    [](void* s, uint32_t o, unsigned n, uint32_t v) { return sim_flashh7_write(h7(s), o, n, v); },
    [](void* s, uint32_t o, unsigned n, uint32_t* v) { return sim_flashh7_array_read(h7(s), o, n, v); },
    [](void* s, uint32_t o, unsigned n, uint32_t v) { return sim_flashh7_array_write(h7(s), o, n, v); },
    [](void* s, uint64_t ns) { sim_flashh7_advance(h7(s), ns); },
    [](const void* s) { return sim_flashh7_busy_ns(h7(s)); },
    [](const void* s) { return sim_flashh7_irq_pending(h7(s)); },
    [](void* s) { sim_flashh7_reset(h7(s)); },
    [](void* s) { sim_flashh7_reset(h7(s)); },
    [](void* s, const SimFlashFaults* f) { sim_flashh7_set_faults(h7(s), f); },
    [](void* s) { delete h7(s); },
};

}  // namespace

bool sim_flashh7_create(uint64_t time_divisor, SimFlashCtl* out) {
    if (!out) return false;
    auto* fc = new (std::nothrow) SimFlashH7;
    if (!fc) return false;
    sim_flashh7_init(fc, time_divisor);
    *out = SimFlashCtl{SimFlashKind::stm32h7, fc,           &kH7Ops, fc->array, SIM_FLASHH7_ARRAY_SIZE,
                       SIM_FLASHH7_REG_BASE,  SIM_FLASHH7_REG_SIZE};
    return true;
}
