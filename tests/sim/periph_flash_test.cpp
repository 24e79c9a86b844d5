// The STM32F4 flash interface as firmware and a flash algorithm drive it
// (RM0090 register semantics; durations from the STM32F405 datasheet). The
// sector map and write protection are judged by ST's FLM in periph_flm_test.cpp.
#include "sim/flash_f4.h"
#include "periph_steps_test.h"

#include <cstring>
#include <memory>

using periph_test::Step;

namespace {

constexpr uint64_t ms = 1000000;
constexpr uint32_t KEYR = SIM_FLASHF4_KEYR, OPTKEYR = SIM_FLASHF4_OPTKEYR, SR = SIM_FLASHF4_SR, CR = SIM_FLASHF4_CR,
                   OPTCR = SIM_FLASHF4_OPTCR, LOCK = SIM_FLASHF4_CR_LOCK, PG = SIM_FLASHF4_CR_PG,
                   SER = SIM_FLASHF4_CR_SER, MER = SIM_FLASHF4_CR_MER, STRT = SIM_FLASHF4_CR_STRT,
                   EOPIE = SIM_FLASHF4_CR_EOPIE, ERRIE = SIM_FLASHF4_CR_ERRIE, BSY = SIM_FLASHF4_SR_BSY,
                   EOP = SIM_FLASHF4_SR_EOP, PGSERR = SIM_FLASHF4_SR_PGSERR, PGPERR = SIM_FLASHF4_SR_PGPERR,
                   PGAERR = SIM_FLASHF4_SR_PGAERR, OPERR = SIM_FLASHF4_SR_OPERR,
                   K1 = SIM_FLASHF4_KEY1, K2 = SIM_FLASHF4_KEY2, O1 = SIM_FLASHF4_OPTKEY1, O2 = SIM_FLASHF4_OPTKEY2;
constexpr uint32_t ps(unsigned p) { return p << SIM_FLASHF4_CR_PSIZE_SHIFT; }
constexpr uint32_t snb(unsigned s) { return s << SIM_FLASHF4_CR_SNB_SHIFT; }

// Register steps (r w e x) plus: P program `v` at `a` (answered); Q a store
// or load at `a` is a bus error; M the word at `a` is `v`; F fill `size` bytes
// at `a` with `v`; T `v` ns pass; Z reset; B / I / S busy_ns / IRQ / stalled_ns is `v`.
struct Flash {
    std::unique_ptr<SimFlashF4> fc = std::make_unique<SimFlashF4>();
    explicit Flash(uint64_t divisor = 1) {
        const SimFlashF4Timing t = sim_flashf4_timing_scaled(divisor);
        sim_flashf4_init(fc.get(), &t);
    }
    void run(std::initializer_list<Step> steps) {
        SimFlashF4* f = fc.get();
        periph_test::run(sim_flashf4_reg_port(f), steps, [f](const Step& s) {
            uint32_t v = 0;
            switch (s.op) {
            case 'P': EXPECT_TRUE(sim_flashf4_array_write(f, s.a, s.size, uint32_t(s.v))); break;
            case 'Q': EXPECT_FALSE(sim_flashf4_array_write(f, s.a, s.size, 0) || sim_flashf4_array_read(f, s.a, s.size, &v));
                      break;
            case 'M': EXPECT_TRUE(sim_flashf4_array_read(f, s.a, s.size, &v)); EXPECT_EQ(v, s.v); break;
            case 'F': std::memset(f->array + s.a, int(s.v), s.size); break;
            case 'T': sim_flashf4_advance(f, s.v); break;
            case 'Z': sim_flashf4_reset(f); break;
            case 'B': EXPECT_EQ(sim_flashf4_busy_ns(f), s.v); break;
            case 'I': EXPECT_EQ(sim_flashf4_irq_pending(f), s.v != 0); break;
            case 'S': EXPECT_EQ(f->stalled_ns, s.v); break;
            default: ADD_FAILURE() << "unknown op " << s.op;
            }
        });
    }
};

} // namespace

TEST(PeriphFlashUnlock, ResetValuesKeySequencesAndLockout) {
    Flash().run({{'r', CR, LOCK}, {'r', SR, 0}, {'r', SIM_FLASHF4_ACR, 0}, {'r', OPTCR, 0x0FFFAAED}, {'r', KEYR, 0},
                 {'w', CR, PG}, {'r', CR, LOCK}, {'w', KEYR, K1}, {'w', KEYR, K2}, {'r', CR, 0},  // unlocked
                 {'r', OPTCR, 0x0FFFAAED}, {'w', CR, PG | ps(2)}, {'r', CR, PG | ps(2)},         // OPTCR not
                 {'w', CR, LOCK}, {'w', CR, 0}, {'r', CR, LOCK}, {'w', KEYR, K1}, {'w', KEYR, K2}, // relock, reopen
                 {'x', KEYR, K1}, {'r', CR, LOCK}, {'x', KEYR, K2}, {'Z'}, {'x', KEYR, K1, 2},    // a key while open
                 {'x', KEYR, K1}, {'Z'}, {'w', OPTKEYR, O1}, {'w', OPTKEYR, O2}, {'r', CR, LOCK}, // a halfword key
                 {'w', KEYR, K1}, {'w', KEYR, K2}, {'r', CR, 0}, {'r', OPTCR, 0x0FFFAAEC}, {'w', OPTCR, 0x0FFFAAED},
                 {'w', OPTCR, 0x0FFFAAEC}, {'r', OPTCR, 0x0FFFAAED}, {'w', OPTKEYR, O1}, {'w', OPTKEYR, O2},
                 {'r', OPTCR, 0x0FFFAAEC}, {'x', OPTKEYR, O1}, {'r', OPTCR, 0x0FFFAAED}, {'r', CR, 0}});
    // Wrong sequences: a bus error, then even the right keys fail until reset.
    const uint32_t bad[][4] = {{KEYR, 0, K2, K1}, {KEYR, 1, K1, 0x12345678}, {KEYR, 0, 0, K1},
                               {OPTKEYR, 0, O2, O1}, {OPTKEYR, 0, K1, K2}, {OPTKEYR, 1, O1, O1}};
    for (const auto& b : bad) {
        SCOPED_TRACE(testing::Message() << b[0] << " " << b[2]);
        const uint32_t k1 = b[0] == KEYR ? K1 : O1, k2 = b[0] == KEYR ? K2 : O2;
        Flash().run({{b[1] ? 'w' : 'x', b[0], b[2]}, {'x', b[0], b[3]}, {'x', b[0], k1}, {'x', b[0], k2},
                     {'r', CR, LOCK}, {'r', OPTCR, 0x0FFFAAED}, {'Z'}, {'w', b[0], k1}, {'w', b[0], k2}});
    }
}

TEST(PeriphFlashProgram, ErrorsSetTheirFlagAndLeaveTheArrayUnchanged) {
    struct Case { uint32_t cr, off; unsigned size; uint32_t sr; };
    const Case cases[] = {
        {ps(2), 0x100, 4, PGSERR}, {PG | SER | ps(2), 0x100, 4, PGSERR}, {LOCK | PG | ps(2), 0x100, 4, PGSERR},
        {PG | ps(2), 0x100, 2, PGPERR}, {PG | ps(0), 0x100, 4, PGPERR}, {PG | ps(3), 0x100, 4, PGPERR}, // x64: no VPP
        {PG | ps(2), 0x102, 4, PGAERR}, {PG | ps(1), 0x0FF, 2, PGAERR}, {ERRIE | ps(2), 0x100, 4, PGSERR | OPERR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.cr << " @" << c.off);
        Flash().run({{'w', KEYR, K1}, {'w', KEYR, K2}, {'w', CR, c.cr}, {'I', 0, 0}, {'P', c.off, 0, c.size},
                     {'r', SR, c.sr}, {'M', 0xFC, ~0u}, {'M', 0x100, ~0u}, {'M', 0x104, ~0u}, {'I', 0, (c.cr & ERRIE)},
                     {'w', SR, 0}, {'r', SR, c.sr}, {'w', SR, 0xFF}, {'r', SR, 0}, {'I', 0, 0}});
    }
    // Outside the array, a size the bus cannot make, a misaligned register.
    Flash().run({{'Q', SIM_FLASHF4_ARRAY_SIZE, 0, 1}, {'Q', SIM_FLASHF4_ARRAY_SIZE - 2, 0, 4}, {'Q', 0, 0, 3},
                 {'Q', 0xFFFFFFFF, 0, 4}, {'e', 0x11, 0, 2}, {'x', 0x11, 0, 2}, {'e', 0x10, 0, 3}, {'x', 0x10, 0, 3},
                 {'e', 0x400}, {'x', 0x400}, {'e', 0x0E}, {'x', 0x0E}});
}

TEST(PeriphFlashProgram, EachSizeProgramsItsBytesClearsOnlyBitsAndStallsReads) {
    Flash f;
    f.run({{'w', KEYR, K1}, {'w', KEYR, K2}});
    struct Case { unsigned psize, size; uint32_t off, value, word; };
    const Case cases[] = {{0, 1, 0x201, 0xA5, 0xFFFFA5FF}, {1, 2, 0x302, 0x1234, 0x1234FFFF},
                          {2, 4, 0x400, 0x87654321, 0x87654321}, {2, 4, 0x400, 0xF0F0FFFF, 0x80604321}};
    for (const Case& c : cases) {
        const uint32_t w = c.off & ~3u;
        f.run({{'w', CR, PG | ps(c.psize) | EOPIE}, {'P', c.off, c.value, c.size}, {'r', SR, BSY}, {'B', 0, 16000},
               {'T', 0, 15999}, {'r', SR, BSY}, {'I', 0, 0}, {'T', 0, 1}, {'r', SR, EOP}, {'I', 0, 1}, {'w', SR, EOP},
               {'M', w, c.word}, {'M', w + 4, ~0u}, {'M', w - 4, ~0u}, {'S', 0, 0}});
    }
    // Without EOPIE no EOP; a read while BSY stalls until done and the stall is counted.
    f.run({{'w', CR, PG | ps(2)}, {'P', 0x500, 0x11223344}, {'r', SR, BSY}, {'M', 0x500, 0x11223344}, {'r', SR, 0},
           {'S', 0, 16000}, {'B', 0, 0}});
}

TEST(PeriphFlashErase, SectorsEraseExactlyTheirRangeInTheDatasheetTime) {
    struct Case { unsigned snb, psize; uint32_t start, size; uint64_t ns; };
    const Case cases[] = {{0, 2, 0x00000, 0x4000, 250 * ms},  {3, 2, 0x0C000, 0x4000, 250 * ms},
                          {1, 0, 0x04000, 0x4000, 400 * ms},  {4, 2, 0x10000, 0x10000, 550 * ms},
                          {4, 1, 0x10000, 0x10000, 700 * ms}, {5, 2, 0x20000, 0x20000, 1000 * ms},
                          {11, 0, 0xE0000, 0x20000, 2000 * ms}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "sector " << c.snb);
        const uint32_t cr = SER | snb(c.snb) | ps(c.psize) | EOPIE, end = c.start + c.size;
        const uint32_t below = c.start ? c.start - 4 : end, above = end < SIM_FLASHF4_ARRAY_SIZE ? end : c.start - 4;
        Flash().run({{'F', 0, 0, SIM_FLASHF4_ARRAY_SIZE}, {'w', KEYR, K1}, {'w', KEYR, K2}, {'w', CR, cr},
                     {'r', SR, 0}, {'w', CR, cr | STRT}, {'r', CR, cr | STRT}, {'T', 0, c.ns - 1}, {'r', SR, BSY},
                     {'T', 0, 1}, {'r', SR, EOP}, {'r', CR, cr}, {'M', c.start, ~0u}, {'M', end - 4, ~0u},
                     {'M', below, 0}, {'M', above, 0}});
    }
    // SNB 12..15 do not exist and SER with MER is a sequence error: nothing
    // erased. The ST HAL sets STRT with a byte store into CR bits 23:16.
    Flash().run({{'F', 0, 0, SIM_FLASHF4_ARRAY_SIZE}, {'w', KEYR, K1}, {'w', KEYR, K2},
                 {'w', CR, SER | snb(12) | ps(2) | STRT}, {'r', SR, PGSERR}, {'r', CR, SER | snb(12) | ps(2)},
                 {'w', SR, 0xFF}, {'w', CR, SER | snb(15) | STRT}, {'r', SR, PGSERR}, {'w', SR, 0xFF},
                 {'w', CR, SER | MER | STRT}, {'r', SR, PGSERR}, {'M', 0, 0}, {'M', 0xFFFFC, 0},
                 {'w', CR, SER | snb(2) | ps(2)}, {'w', CR + 2, 1, 1}, {'r', CR, SER | snb(2) | ps(2) | STRT},
                 {'r', CR + 1, 2, 1}, {'M', 0x8000, ~0u}, {'M', 0xBFFC, ~0u}, {'M', 0x7FFC, 0}, {'M', 0xC000, 0}});
}

TEST(PeriphFlashErase, MassEraseStrtAndReset) {
    Flash f(1000); // scaled timing keeps the datasheet ratios
    // STRT cannot be withdrawn; a reset abandons the wait but not the erase,
    // and resets the registers while the array keeps its contents.
    f.run({{'F', 0, 0x5A, SIM_FLASHF4_ARRAY_SIZE}, {'w', KEYR, K1}, {'w', KEYR, K2}, {'w', CR, MER | ps(2) | STRT},
           {'T', 0, 8 * ms - 1}, {'r', SR, BSY}, {'T', 0, 1}, {'r', SR, 0}, {'M', 0, ~0u}, {'M', 0x7FFFC, ~0u},
           {'M', 0xFFFFC, ~0u}, {'F', 0, 0, 0x8000}, {'w', CR, SER | snb(0) | STRT}, {'w', CR, 0}, {'r', CR, STRT},
           {'r', SR, BSY}, {'Z'}, {'B', 0, 0}, {'r', CR, LOCK}, {'r', SR, 0}, {'M', 0x3FFC, ~0u}, {'M', 0x4000, 0}});
}
