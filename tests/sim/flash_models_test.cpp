// Each generation's flash model through the seam the board uses, one script
// a row: key sequences and lock-out, programming rules and their error bits,
// erases, write and read protection, timing and the injected faults.
#include "sim/flash_ctl.h"
#include "sim/flash_f0.h"
#include "sim/flash_f4.h"
#include "sim/flash_l0.h"
#include "sim/flash_g0l4.h"
#include "sim/flash_h7.h"
#include "sim/flash_u5.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

constexpr uint64_t ms = 1000000, NEVER = UINT64_MAX;

// r / w: a register reads `v` / takes `v`; e / x: the read / write is a bus
// error. P / Q: a store of `v` into the array is answered / a bus error;
// M / N: the array reads `v` / refuses the load; F: `size` bytes at `a` set to `v` behind the model.
// T: `v` ns pass; Z: reset; B: busy_ns is `v`; I: the interrupt line is `v`.
// K: faults (`v` bit 0 reject_keys, 1 busy_stuck, 2 drop_writes; `a` the
// error bits on program); W / R: the row's write / read protection setter.
struct Step { char op; uint32_t a = 0; uint64_t v = 0; unsigned size = 4; };

struct Row {
    const char* name;
    SimFlashKind kind;
    void (*wp)(void* self, uint32_t v);
    void (*rdp)(void* self, uint32_t v);
    std::vector<Step> steps;
};

class FlashModels : public ::testing::TestWithParam<Row> {};

TEST_P(FlashModels, Script) {
    const Row& row = GetParam();
    SimFlashCtl fc{};
    ASSERT_TRUE(sim_flash_create(row.kind, 1, &fc));
    const SimFlashOps& o = *fc.ops;
    unsigned i = 0;
    for (const Step& s : row.steps) {
        SCOPED_TRACE(testing::Message() << "step " << i++ << " '" << s.op << "' 0x" << std::hex << s.a);
        uint32_t got = 0;
        SimFlashFaults f{(s.v & 1) != 0, (s.v & 2) != 0, s.a, (s.v & 4) != 0};
        switch (s.op) {
        case 'r': EXPECT_TRUE(o.reg_read(fc.self, s.a, s.size, &got)); EXPECT_EQ(got, s.v); break;
        case 'w': EXPECT_TRUE(o.reg_write(fc.self, s.a, s.size, uint32_t(s.v))); break;
        case 'e': EXPECT_FALSE(o.reg_read(fc.self, s.a, s.size, &got)); break;
        case 'x': EXPECT_FALSE(o.reg_write(fc.self, s.a, s.size, uint32_t(s.v))); break;
        case 'P': EXPECT_TRUE(o.array_write(fc.self, s.a, s.size, uint32_t(s.v))); break;
        case 'Q': EXPECT_FALSE(o.array_write(fc.self, s.a, s.size, uint32_t(s.v))); break;
        case 'N': EXPECT_FALSE(o.array_read(fc.self, s.a, s.size, &got)); break;
        case 'M': EXPECT_TRUE(o.array_read(fc.self, s.a, s.size, &got)); EXPECT_EQ(got, s.v); break;
        case 'F': std::memset(fc.array + s.a, int(s.v), s.size); break;
        case 'T': o.advance(fc.self, s.v); break;
        case 'Z': o.system_reset(fc.self); break;
        case 'B': EXPECT_EQ(o.busy_ns(fc.self), s.v); break;
        case 'I': EXPECT_EQ(o.irq_pending(fc.self), s.v != 0); break;
        case 'K': o.set_faults(fc.self, &f); break;
        case 'W': row.wp(fc.self, uint32_t(s.v)); break;
        case 'R': row.rdp(fc.self, uint32_t(s.v)); break;
        default: ADD_FAILURE() << "unknown op " << s.op;
        }
    }
    sim_flash_destroy(&fc);
}

// ---- F0 (RM0091) ----------------------------------------------------------
namespace f0 {
constexpr uint32_t KEYR = SIM_FLASHF0_KEYR, OPTKEYR = SIM_FLASHF0_OPTKEYR, SR = SIM_FLASHF0_SR, CR = SIM_FLASHF0_CR,
                   AR = SIM_FLASHF0_AR, K1 = SIM_FLASHF0_KEY1, K2 = SIM_FLASHF0_KEY2, LOCK = SIM_FLASHF0_CR_LOCK,
                   PG = SIM_FLASHF0_CR_PG, PER = SIM_FLASHF0_CR_PER, MER = SIM_FLASHF0_CR_MER,
                   STRT = SIM_FLASHF0_CR_STRT, BSY = SIM_FLASHF0_SR_BSY, EOP = SIM_FLASHF0_SR_EOP,
                   PGERR = SIM_FLASHF0_SR_PGERR, WRPRTERR = SIM_FLASHF0_SR_WRPRTERR, FLASH = SIM_FLASHF0_ARRAY_BASE;
void wp(void* s, uint32_t v) { sim_flashf0_set_write_protect(static_cast<SimFlashF0*>(s), uint16_t(v)); }
void rdp(void* s, uint32_t v) { sim_flashf0_set_read_protect(static_cast<SimFlashF0*>(s), v != 0); }
const Step kUnlock[] = {{'w', KEYR, K1}, {'w', KEYR, K2}};
std::vector<Step> unlocked(std::initializer_list<Step> rest) {
    std::vector<Step> v(std::begin(kUnlock), std::end(kUnlock));
    v.insert(v.end(), rest);
    return v;
}
} // namespace f0

// ---- L0 (RM0377) ----------------------------------------------------------
namespace l0 {
constexpr uint32_t PECR = SIM_FLASHL0_PECR, SR = SIM_FLASHL0_SR, PEKEYR = SIM_FLASHL0_PEKEYR,
                   PRGKEYR = SIM_FLASHL0_PRGKEYR, PE1 = SIM_FLASHL0_PEKEY1, PE2 = SIM_FLASHL0_PEKEY2,
                   PRG1 = SIM_FLASHL0_PRGKEY1, PRG2 = SIM_FLASHL0_PRGKEY2, PROG = SIM_FLASHL0_PECR_PROG,
                   ERASE = SIM_FLASHL0_PECR_ERASE, FPRG = SIM_FLASHL0_PECR_FPRG, IDLE = 0xC, EOP = 0xE,
                   WRPERR = SIM_FLASHL0_SR_WRPERR, PGAERR = SIM_FLASHL0_SR_PGAERR, SIZERR = SIM_FLASHL0_SR_SIZERR,
                   NOTZERO = SIM_FLASHL0_SR_NOTZEROERR, OPTR = SIM_FLASHL0_OPTR;
void wp(void* s, uint32_t v) { sim_flashl0_set_write_protect(static_cast<SimFlashL0*>(s), v); }
void rdp(void* s, uint32_t v) { sim_flashl0_set_read_protect(static_cast<SimFlashL0*>(s), v != 0); }
// Unlocked for programming, then `rest`; H: sixteen words i at half-page `a`.
std::vector<Step> unlocked(std::initializer_list<Step> rest) {
    std::vector<Step> v = {{'w', PEKEYR, PE1}, {'w', PEKEYR, PE2}, {'w', PRGKEYR, PRG1}, {'w', PRGKEYR, PRG2}};
    for (const Step& s : rest) {
        for (uint32_t i = 0; s.op == 'H' && i < 16; ++i) v.push_back({'P', s.a + 4 * i, i});
        if (s.op != 'H') v.push_back(s);
    }
    return v;
}
} // namespace l0

// ---- F4 with two banks (RM0090) -------------------------------------------
namespace f4 {
constexpr uint32_t KEYR = SIM_FLASHF4_KEYR, CR = SIM_FLASHF4_CR, SR = SIM_FLASHF4_SR, OPTCR = SIM_FLASHF4_OPTCR,
                   OPTCR1 = SIM_FLASHF4_OPTCR1, K1 = SIM_FLASHF4_KEY1, K2 = SIM_FLASHF4_KEY2,
                   SER = SIM_FLASHF4_CR_SER | 2u << SIM_FLASHF4_CR_PSIZE_SHIFT, MER = SIM_FLASHF4_CR_MER,
                   MER1 = SIM_FLASHF4_CR_MER1, STRT = SIM_FLASHF4_CR_STRT, PG = SIM_FLASHF4_CR_PG | 2u << 8,
                   WRPERR = SIM_FLASHF4_SR_WRPERR, PGSERR = SIM_FLASHF4_SR_PGSERR, MB = 0x100000;
constexpr uint32_t snb(unsigned n) { return n << SIM_FLASHF4_CR_SNB_SHIFT; }
void wp2(void* s, uint32_t v) { sim_flashf4_set_write_protect_bank2(static_cast<SimFlashF4*>(s), uint16_t(v)); }
std::vector<Step> unlocked(std::initializer_list<Step> rest) {
    std::vector<Step> v = {{'w', KEYR, K1}, {'w', KEYR, K2}, {'F', 0, 0x5A, 2 * MB}};
    v.insert(v.end(), rest);
    return v;
}
} // namespace f4

// ---- G0, L4, G4 (RM0444, RM0351, RM0440) and U5 (RM0456) ------------------
namespace g0 {
constexpr uint32_t KEYR = SIM_FLASHG0_KEYR, OPTKEYR = SIM_FLASHG0_OPTKEYR, SR = SIM_FLASHG0_SR, CR = SIM_FLASHG0_CR,
                   OPTR = SIM_FLASHG0_OPTR, K1 = SIM_FLASHG0_KEY1, K2 = SIM_FLASHG0_KEY2, OK1 = SIM_FLASHG0_OPTKEY1,
                   OK2 = SIM_FLASHG0_OPTKEY2, LOCK = SIM_FLASHG0_CR_LOCK, OPTLOCK = SIM_FLASHG0_CR_OPTLOCK,
                   LOCKS = LOCK | OPTLOCK, PG = SIM_FLASHG0_CR_PG, PER = SIM_FLASHG0_CR_PER,
                   MER1 = SIM_FLASHG0_CR_MER1, MER2 = SIM_FLASHG0_CR_MER2, BKER = SIM_FLASHG0_CR_BKER,
                   STRT = SIM_FLASHG0_CR_STRT, OPTSTRT = SIM_FLASHG0_CR_OPTSTRT, BSY = SIM_FLASHG0_SR_BSY,
                   EOP = SIM_FLASHG0_SR_EOP, PROGERR = SIM_FLASHG0_SR_PROGERR, WRPERR = SIM_FLASHG0_SR_WRPERR,
                   PGAERR = SIM_FLASHG0_SR_PGAERR, SIZERR = SIM_FLASHG0_SR_SIZERR, PGSERR = SIM_FLASHG0_SR_PGSERR,
                   G0OPTR = 0xDFFFE1AA, L4OPTR = 0xFFEFF8AA, ERASE = 22020000, ALL = 0xFFFF;
constexpr uint32_t pnb(uint32_t page) { return page << SIM_FLASHG0_CR_PNB_SHIFT; }
// W: v = area << 24 | end << 8 | start. R: the whole OPTR as loaded.
void wp(void* s, uint32_t v) {
    sim_flashg0_set_write_protect(static_cast<SimFlashG0*>(s), v >> 24, v & 0xFF, (v >> 8) & 0xFF);
}
void optr(void* s, uint32_t v) { sim_flashg0_set_optr(static_cast<SimFlashG0*>(s), v); }
std::vector<Step> unlocked(std::initializer_list<Step> rest, uint32_t keyr = KEYR) {
    std::vector<Step> v{{'w', keyr, K1}, {'w', keyr, K2}};
    v.insert(v.end(), rest);
    return v;
}
} // namespace g0

// ---- H7 (RM0433) -------------------------------------------------------------
namespace h7 {
constexpr uint32_t KEYR1 = SIM_FLASHH7_KEYR, KEYR2 = SIM_FLASHH7_KEYR + SIM_FLASHH7_BANK2, CR1 = SIM_FLASHH7_CR,
                   CR2 = SIM_FLASHH7_CR + SIM_FLASHH7_BANK2, SR1 = SIM_FLASHH7_SR,
                   SR2 = SIM_FLASHH7_SR + SIM_FLASHH7_BANK2, CCR1 = SIM_FLASHH7_CCR,
                   CCR2 = SIM_FLASHH7_CCR + SIM_FLASHH7_BANK2, K1 = SIM_FLASHH7_KEY1, K2 = SIM_FLASHH7_KEY2,
                   LOCKED = SIM_FLASHH7_CR_RESET, X64 = 3u << SIM_FLASHH7_CR_PSIZE_SHIFT,
                   PG = SIM_FLASHH7_CR_PG | X64, SER = SIM_FLASHH7_CR_SER | X64, BER = SIM_FLASHH7_CR_BER | X64,
                   START = SIM_FLASHH7_CR_START, BUSY = SIM_FLASHH7_SR_BSY | SIM_FLASHH7_SR_QW,
                   EOP = SIM_FLASHH7_SR_EOP, WBNE = SIM_FLASHH7_SR_WBNE, WRPERR = SIM_FLASHH7_SR_WRPERR,
                   PGSERR = SIM_FLASHH7_SR_PGSERR, ALL = SIM_FLASHH7_SR_FLAGS;
constexpr uint64_t ERASE = 1000 * ms;
constexpr uint32_t snb(uint32_t s) { return s << SIM_FLASHH7_CR_SNB_SHIFT; }
// W: v = bank << 8 | WRPSn. R: the RDP byte.
void wp(void* s, uint32_t v) { sim_flashh7_set_write_protect(static_cast<SimFlashH7*>(s), v >> 8, uint8_t(v)); }
void rdp(void* s, uint32_t v) { sim_flashh7_set_rdp(static_cast<SimFlashH7*>(s), uint8_t(v)); }
// Eight word stores: one flash word at `at`, word i holding v + i.
std::vector<Step> word(uint32_t at, uint32_t v) {
    std::vector<Step> out;
    for (uint32_t i = 0; i < 8; ++i) out.push_back({'P', at + 4 * i, v + i});
    return out;
}
std::vector<Step> seq(std::initializer_list<std::vector<Step>> parts) {
    std::vector<Step> out{{'w', KEYR1, K1}, {'w', KEYR1, K2}, {'w', KEYR2, K1}, {'w', KEYR2, K2}};
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
} // namespace h7

const Row kRows[] = {
    {"F0KeysAndLockOut", SimFlashKind::stm32f0, f0::wp, f0::rdp,
     {{'r', f0::CR, f0::LOCK}, {'r', SIM_FLASHF0_ACR, 0x30}, {'r', SIM_FLASHF0_OBR, 0xFFFFFF00},
      {'r', SIM_FLASHF0_WRPR, 0xFFFFFFFF}, {'w', f0::CR, f0::PG}, {'r', f0::CR, f0::LOCK}, {'Q', 0, 0, 2},
      {'w', f0::KEYR, f0::K1}, {'w', f0::KEYR, f0::K2}, {'r', f0::CR, 0}, {'w', f0::OPTKEYR, f0::K1},
      {'w', f0::OPTKEYR, f0::K2}, {'r', f0::CR, SIM_FLASHF0_CR_OPTWRE}, {'w', f0::CR, f0::LOCK},
      {'r', f0::CR, f0::LOCK}, {'w', f0::KEYR, f0::K1}, {'x', f0::KEYR, f0::K1}, {'r', f0::CR, f0::LOCK},
      {'x', f0::KEYR, f0::K1}, {'x', f0::KEYR, f0::K2}, {'r', f0::CR, f0::LOCK}, {'Z'}, {'x', f0::KEYR, f0::K2},
      {'Z'}, {'w', f0::KEYR, f0::K1}, {'w', f0::KEYR, f0::K2}, {'x', f0::KEYR, f0::K1}, {'r', f0::CR, f0::LOCK}}},
    {"F0KeysRejected", SimFlashKind::stm32f0, f0::wp, f0::rdp,
     {{'K', 0, 1}, {'w', f0::KEYR, f0::K1}, {'w', f0::KEYR, f0::K2}, {'r', f0::CR, f0::LOCK}, {'K'},
      {'w', f0::KEYR, f0::K1}, {'w', f0::KEYR, f0::K2}, {'r', f0::CR, 0}}},
    {"F0HalfWordsOnErasedFlash", SimFlashKind::stm32f0, f0::wp, f0::rdp,
     f0::unlocked({{'w', f0::CR, f0::PG}, {'P', 0x10, 0x1234, 2}, {'r', f0::SR, f0::BSY}, {'B', 0, 53500},
                   {'T', 0, 53499}, {'r', f0::SR, f0::BSY}, {'T', 0, 1}, {'r', f0::SR, f0::EOP}, {'M', 0x10, 0xFFFF1234},
                   {'P', 0x10, 0x0F0F, 2}, {'r', f0::SR, f0::EOP | f0::PGERR}, {'M', 0x10, 0x1234, 2},
                   {'w', f0::SR, f0::EOP | f0::PGERR}, {'P', 0x10, 0, 2}, {'T', 0, ms}, {'r', f0::SR, f0::EOP},
                   {'M', 0x10, 0, 2}, {'Q', 0x20, 0, 4}, {'Q', 0x20, 0, 1}, {'Q', 0x21, 0, 2}, {'Q', 0x10000, 0, 2},
                   {'w', f0::CR, f0::PG | f0::PER}, {'P', 0x20, 0, 2}, {'r', f0::SR, f0::EOP | f0::PGERR},
                   {'w', f0::CR, 0}, {'Q', 0x20, 0, 2}, {'M', 0x20, 0xFFFFFFFF}})},
    {"F0PageAndMassErase", SimFlashKind::stm32f0, f0::wp, f0::rdp,
     f0::unlocked({{'F', 0, 0x5A, 0x10000}, {'w', f0::CR, f0::PER}, {'w', f0::AR, f0::FLASH + 0x7FE},
                   {'w', f0::CR, f0::PER | f0::STRT}, {'r', f0::SR, f0::BSY}, {'B', 0, 30 * ms},
                   {'T', 0, 30 * ms}, {'r', f0::SR, f0::EOP}, {'r', f0::CR, f0::PER},
                   {'M', 0x3FC, 0x5A5A5A5A}, {'M', 0x400, 0xFFFFFFFF}, {'M', 0x7FC, 0xFFFFFFFF},
                   {'M', 0x800, 0x5A5A5A5A}, {'w', f0::AR, f0::FLASH + 0x10000}, {'w', f0::CR, f0::PER | f0::STRT},
                   {'r', f0::SR, f0::EOP | f0::PGERR}, {'M', 0, 0x5A5A5A5A}, {'w', f0::CR, f0::PER | f0::MER | f0::STRT},
                   {'r', f0::CR, f0::PER | f0::MER}, {'B', 0, 0}, {'w', f0::CR, f0::MER | f0::STRT}, {'B', 0, 30 * ms},
                   {'M', 0, 0xFFFFFFFF}, {'M', 0xFFFC, 0xFFFFFFFF}, {'B', 0, 0}, {'r', f0::CR, f0::MER}})},
    {"F0WriteAndReadProtection", SimFlashKind::stm32f0, f0::wp, f0::rdp,
     f0::unlocked({{'W', 0, 0xFFFD}, {'r', SIM_FLASHF0_WRPR, 0xFFFFFFFD}, {'F', 0, 0x5A, 0x10000},
                   {'w', f0::CR, f0::PG}, {'P', 0x1FFE, 0, 2}, {'r', f0::SR, f0::WRPRTERR}, {'M', 0x1FFC, 0x5A5A5A5A},
                   {'w', f0::CR, f0::PER}, {'w', f0::AR, f0::FLASH + 0x1000}, {'w', f0::CR, f0::PER | f0::STRT},
                   {'B', 0, 0}, {'M', 0x1000, 0x5A5A5A5A}, {'w', f0::CR, f0::MER | f0::STRT}, {'M', 0, 0x5A5A5A5A},
                   {'w', f0::AR, f0::FLASH + 0x2000}, {'w', f0::CR, f0::PER | f0::STRT}, {'T', 0, 30 * ms},
                   {'M', 0x2000, 0xFFFFFFFF}, {'R', 0, 1}, {'r', SIM_FLASHF0_OBR, 0xFFFFFF02}, {'N', 0x2000},
                   {'w', f0::SR, 0xFF}, {'w', f0::CR, f0::PER | f0::STRT}, {'r', f0::SR, f0::WRPRTERR},
                   {'w', f0::CR, f0::PG}, {'Q', 0x2000, 0, 2}, {'Z'}, {'r', SIM_FLASHF0_WRPR, 0xFFFFFFFD},
                   {'r', SIM_FLASHF0_OBR, 0xFFFFFF02}, {'R', 0, 0}, {'M', 0x2000, 0xFFFFFFFF}})},
    {"F0FaultsAndInterrupts", SimFlashKind::stm32f0, f0::wp, f0::rdp,
     f0::unlocked({{'w', f0::CR, f0::PG | SIM_FLASHF0_CR_EOPIE | SIM_FLASHF0_CR_ERRIE}, {'K', f0::PGERR},
                   {'P', 0, 0, 2}, {'r', f0::SR, f0::PGERR}, {'I', 0, 1}, {'M', 0, 0xFFFFFFFF}, {'K', 0, 4},
                   {'w', f0::SR, f0::PGERR}, {'I', 0, 0}, {'P', 0, 0, 2}, {'T', 0, ms}, {'r', f0::SR, f0::EOP},
                   {'I', 0, 1}, {'M', 0, 0xFFFFFFFF}, {'K', 0, 2}, {'P', 2, 0, 2}, {'T', 0, 1000 * ms},
                   {'r', f0::SR, f0::EOP | f0::BSY}, {'B', 0, NEVER}, {'M', 0, 0xFFFFFFFF}})},
    {"G0KeysAndLockOut", SimFlashKind::stm32g0, g0::wp, g0::optr,
     {{'r', g0::CR, g0::LOCKS}, {'r', g0::OPTR, g0::G0OPTR}, {'w', g0::CR, g0::PG}, {'r', g0::CR, g0::LOCKS},
      {'P', 0, 0}, {'r', g0::SR, g0::PGSERR}, {'w', g0::SR, g0::PGSERR}, {'r', g0::SR, 0}, {'w', g0::KEYR, g0::K1},
      {'w', g0::KEYR, g0::K2}, {'r', g0::CR, g0::OPTLOCK}, {'w', g0::OPTKEYR, g0::OK1}, {'w', g0::OPTKEYR, g0::OK2},
      {'r', g0::CR, 0}, {'w', g0::CR, g0::LOCKS}, {'r', g0::CR, g0::LOCKS}, {'w', g0::KEYR, g0::K1},
      {'x', g0::KEYR, g0::K1}, {'r', g0::CR, g0::LOCKS}, {'x', g0::KEYR, g0::K1}, {'x', g0::KEYR, g0::K2},
      {'r', g0::CR, g0::LOCKS}, {'Z'}, {'x', g0::KEYR, g0::K2}, {'Z'}, {'x', g0::KEYR, g0::K1, 2}, {'Z'},
      {'w', g0::KEYR, g0::K1}, {'w', g0::KEYR, g0::K2}, {'x', g0::KEYR, g0::K1}, {'r', g0::CR, g0::LOCKS}, {'Z'},
      {'x', g0::OPTKEYR, g0::OK1}, {'e', SIM_FLASHG0_REG_SIZE}, {'Q', 0x10000}, {'Q', 0, 0, 3}}},
    {"G0KeysRejected", SimFlashKind::stm32g0, g0::wp, g0::optr,
     {{'K', 0, 1}, {'w', g0::KEYR, g0::K1}, {'w', g0::KEYR, g0::K2}, {'r', g0::CR, g0::LOCKS}, {'K'},
      {'w', g0::KEYR, g0::K1}, {'w', g0::KEYR, g0::K2}, {'r', g0::CR, g0::OPTLOCK}}},
    {"G0DoubleWordsOnErasedFlash", SimFlashKind::stm32g0, g0::wp, g0::optr,
     g0::unlocked({{'w', g0::CR, g0::PG}, {'P', 0x100, 0x11111111}, {'r', g0::SR, SIM_FLASHG0_SR_CFGBSY},
                   {'M', 0x100, 0xFFFFFFFF}, {'P', 0x104, 0x22222222}, {'r', g0::SR, g0::BSY | SIM_FLASHG0_SR_CFGBSY},
                   {'B', 0, 85000}, {'T', 0, 84999}, {'r', g0::SR, g0::BSY | SIM_FLASHG0_SR_CFGBSY}, {'T', 0, 1}, {'r', g0::SR, 0}, {'M', 0x100, 0x11111111},
                   {'M', 0x104, 0x22222222}, {'P', 0x108, 1, 2}, {'r', g0::SR, g0::SIZERR}, {'P', 0x108, 0},
                   {'r', g0::SR, g0::SIZERR | g0::PGSERR}, {'w', g0::SR, g0::ALL}, {'P', 0x10C, 0},
                   {'r', g0::SR, g0::PGAERR}, {'w', g0::SR, g0::ALL}, {'P', 0x110, 0}, {'P', 0x118, 0},
                   {'r', g0::SR, g0::PGAERR}, {'w', g0::SR, g0::ALL}, {'P', 0x110, 1}, {'P', 0x110, 2},
                   {'r', g0::SR, g0::PGAERR}, {'w', g0::SR, g0::ALL}, {'M', 0x110, 0xFFFFFFFF}, {'P', 0x100, 0},
                   {'P', 0x104, 1}, {'r', g0::SR, g0::PROGERR}, {'M', 0x104, 0x22222222}, {'w', g0::SR, g0::ALL},
                   {'P', 0x100, 0}, {'P', 0x104, 0}, {'T', 0, ms}, {'r', g0::SR, 0}, {'M', 0x104, 0},
                   {'w', g0::CR, 0}, {'P', 0x200, 0}, {'r', g0::SR, g0::PGSERR}, {'w', g0::SR, g0::ALL},
                   {'w', g0::CR, g0::PG | g0::PER}, {'P', 0x200, 0}, {'r', g0::SR, g0::PGSERR}})},
    {"G0PageAndMassErase", SimFlashKind::stm32g0, g0::wp, g0::optr,
     g0::unlocked({{'F', 0, 0x5A, 0x10000}, {'w', g0::CR, g0::PER | g0::pnb(5)},
                   {'w', g0::CR, g0::PER | g0::pnb(5) | g0::STRT}, {'r', g0::SR, g0::BSY | SIM_FLASHG0_SR_CFGBSY}, {'B', 0, 22 * ms},
                   {'T', 0, 22 * ms}, {'r', g0::SR, 0}, {'r', g0::CR, g0::OPTLOCK | g0::PER | g0::pnb(5)}, {'M', 0x27FC, 0x5A5A5A5A},
                   {'M', 0x2800, 0xFFFFFFFF}, {'M', 0x2FFC, 0xFFFFFFFF}, {'M', 0x3000, 0x5A5A5A5A},
                   {'w', g0::CR, g0::PER | g0::pnb(32) | g0::STRT}, {'r', g0::SR, g0::PGSERR},
                   {'r', g0::CR, g0::OPTLOCK | g0::PER | g0::pnb(32)}, {'w', g0::SR, g0::ALL},
                   {'w', g0::CR, g0::PER | g0::MER1 | g0::STRT}, {'r', g0::SR, g0::PGSERR}, {'w', g0::SR, g0::ALL},
                   {'w', g0::CR, g0::MER1 | g0::STRT}, {'B', 0, 22100000}, {'M', 0, 0xFFFFFFFF},
                   {'M', 0xFFFC, 0xFFFFFFFF}})},
    {"G0WriteAndReadProtection", SimFlashKind::stm32g0, g0::wp, g0::optr,
     g0::unlocked({{'W', 0, 0x302}, {'r', SIM_FLASHG0_WRP1AR, 0x30002}, {'F', 0, 0x5A, 0x10000},
                   {'w', g0::CR, g0::PER | g0::pnb(2) | g0::STRT}, {'r', g0::SR, g0::WRPERR}, {'M', 0x1000, 0x5A5A5A5A},
                   {'w', g0::SR, g0::ALL}, {'w', g0::CR, g0::PER | g0::pnb(4) | g0::STRT}, {'T', 0, 22 * ms},
                   {'M', 0x2000, 0xFFFFFFFF}, {'w', g0::CR, g0::MER1 | g0::STRT}, {'r', g0::SR, g0::WRPERR},
                   {'w', g0::SR, g0::ALL}, {'w', g0::CR, g0::PG}, {'P', 0x1800, 0}, {'P', 0x1804, 0},
                   {'r', g0::SR, g0::WRPERR}, {'M', 0x1800, 0x5A5A5A5A}, {'w', g0::SR, g0::ALL}, {'P', 0x2000, 1},
                   {'P', 0x2004, 2}, {'T', 0, ms}, {'M', 0x2000, 1}, {'Z'}, {'r', SIM_FLASHG0_WRP1AR, 0x30002},
                   {'R', 0, 0xDFFFE1BB}, {'r', g0::OPTR, 0xDFFFE1BB}, {'N', 0x2000}, {'w', g0::KEYR, g0::K1},
                   {'w', g0::KEYR, g0::K2}, {'w', g0::CR, g0::PG}, {'P', 0x2008, 0}, {'P', 0x200C, 0},
                   {'r', g0::SR, g0::WRPERR}, {'w', g0::SR, g0::ALL}, {'w', g0::CR, g0::pnb(4) | g0::PER | g0::STRT},
                   {'r', g0::SR, g0::WRPERR}, {'w', g0::SR, g0::ALL},
                   {'w', g0::OPTKEYR, g0::OK1}, {'w', g0::OPTKEYR, g0::OK2}, {'w', g0::OPTR, g0::G0OPTR},
                   {'w', g0::CR, g0::OPTSTRT}, {'r', g0::SR, g0::BSY}, {'B', 0, 44100000}, {'T', 0, 44100000},
                   {'r', g0::SR, 0}, {'M', 0x2000, 0xFFFFFFFF}, {'M', 0xFFFC, 0xFFFFFFFF}, {'w', g0::OPTR, 0xDFFFE1CC},
                   {'w', g0::CR, g0::OPTSTRT}, {'r', g0::SR, g0::PGSERR}, {'w', g0::SR, g0::ALL},
                   {'w', g0::OPTR, g0::G0OPTR}, {'w', SIM_FLASHG0_WRP1BR, 0x50005}, {'w', g0::CR, g0::OPTSTRT}, {'T', 0, 22 * ms},
                   {'w', g0::CR, SIM_FLASHG0_CR_OBL_LAUNCH}, {'r', g0::CR, g0::LOCKS}, {'r', g0::OPTR, g0::G0OPTR},
                   {'r', SIM_FLASHG0_WRP1BR, 0x50005}, {'w', g0::KEYR, g0::K1}, {'w', g0::KEYR, g0::K2},
                   {'w', g0::CR, g0::PER | g0::pnb(5) | g0::STRT}, {'r', g0::SR, g0::WRPERR}})},
    {"G0FaultsAndInterrupts", SimFlashKind::stm32g0, g0::wp, g0::optr,
     g0::unlocked({{'w', g0::CR, g0::PG | SIM_FLASHG0_CR_EOPIE | SIM_FLASHG0_CR_ERRIE}, {'K', g0::PROGERR},
                   {'P', 0, 0}, {'P', 4, 0}, {'r', g0::SR, g0::PROGERR | SIM_FLASHG0_SR_OPERR}, {'I', 0, 1},
                   {'M', 0, 0xFFFFFFFF}, {'K', 0, 4}, {'w', g0::SR, g0::ALL}, {'I', 0, 0}, {'P', 0, 0x11},
                   {'P', 4, 0x22}, {'T', 0, ms}, {'r', g0::SR, g0::EOP}, {'I', 0, 1}, {'M', 0, 0xFFFFFFFF},
                   {'K', 0, 2}, {'w', g0::SR, g0::EOP}, {'P', 8, 0}, {'P', 12, 0}, {'T', 0, 1000 * ms},
                   {'r', g0::SR, g0::BSY | SIM_FLASHG0_SR_CFGBSY}, {'B', 0, NEVER}, {'M', 8, 0xFFFFFFFF}})},
    {"L4TwoBanksOfPages", SimFlashKind::stm32l4, g0::wp, g0::optr,
     g0::unlocked({{'r', g0::OPTR, g0::L4OPTR}, {'F', 0, 0x5A, 0x100000},
                   {'w', g0::CR, g0::PER | g0::BKER | g0::STRT}, {'B', 0, g0::ERASE}, {'T', 0, g0::ERASE},
                   {'M', 0x7FFFC, 0x5A5A5A5A}, {'M', 0x80000, 0xFFFFFFFF}, {'M', 0x807FC, 0xFFFFFFFF},
                   {'M', 0x80800, 0x5A5A5A5A}, {'w', g0::CR, g0::PER | g0::pnb(255) | g0::STRT}, {'T', 0, g0::ERASE},
                   {'M', 0x7F7FC, 0x5A5A5A5A}, {'M', 0x7F800, 0xFFFFFFFF}, {'M', 0x7FFFC, 0xFFFFFFFF},
                   {'W', 0, 0x02000101}, {'r', SIM_FLASHG0_WRP2AR, 0x10001},
                   {'w', g0::CR, g0::PER | g0::BKER | g0::pnb(1) | g0::STRT}, {'r', g0::SR, g0::WRPERR},
                   {'M', 0x80800, 0x5A5A5A5A}, {'w', g0::SR, g0::ALL}, {'w', g0::CR, g0::MER2 | g0::STRT},
                   {'r', g0::SR, g0::WRPERR}, {'w', g0::SR, g0::ALL}, {'w', g0::CR, g0::MER1 | g0::STRT},
                   {'B', 0, 22130000}, {'M', 0x7F7FC, 0xFFFFFFFF}, {'M', 0x80800, 0x5A5A5A5A}, {'w', g0::CR, g0::PG},
                   {'P', 0x80800, 0}, {'P', 0x80804, 0}, {'r', g0::SR, g0::WRPERR}, {'M', 0x80800, 0x5A5A5A5A}})},
    {"G4BankModes", SimFlashKind::stm32g4, g0::wp, g0::optr,
     g0::unlocked({{'r', g0::OPTR, g0::L4OPTR}, {'F', 0, 0x5A, 0x80000},
                   {'w', g0::CR, g0::PER | g0::BKER | g0::pnb(1) | g0::STRT}, {'T', 0, g0::ERASE},
                   {'M', 0x407FC, 0x5A5A5A5A}, {'M', 0x40800, 0xFFFFFFFF}, {'M', 0x40FFC, 0xFFFFFFFF},
                   {'M', 0x41000, 0x5A5A5A5A}, {'R', 0, g0::L4OPTR & ~SIM_FLASHG0_OPTR_DBANK_G4}, {'Z'},
                   {'w', g0::KEYR, g0::K1}, {'w', g0::KEYR, g0::K2},
                   {'w', g0::CR, g0::PER | g0::BKER | g0::pnb(1) | g0::STRT}, {'T', 0, g0::ERASE},
                   {'M', 0xFFC, 0x5A5A5A5A}, {'M', 0x1000, 0xFFFFFFFF}, {'M', 0x1FFC, 0xFFFFFFFF},
                   {'M', 0x2000, 0x5A5A5A5A}})},
    {"U5QuadWordsAndPages", SimFlashKind::stm32u5, g0::wp, g0::optr,
     g0::unlocked({{'r', SIM_FLASHU5_NSCR, g0::OPTLOCK}, {'r', SIM_FLASHU5_OPTR, 0x1FEFF8AA},
                   {'w', SIM_FLASHU5_NSCR, g0::PG}, {'P', 0, 1}, {'r', SIM_FLASHU5_NSSR, SIM_FLASHU5_SR_WDW},
                   {'P', 4, 2}, {'P', 8, 3}, {'M', 0, 0xFFFFFFFF}, {'P', 12, 4}, {'r', SIM_FLASHU5_NSSR, g0::BSY},
                   {'B', 0, 118000}, {'T', 0, 118000}, {'r', SIM_FLASHU5_NSSR, 0}, {'M', 0, 1}, {'M', 12, 4},
                   {'P', 0x10, 0}, {'P', 0x14, 0}, {'P', 0x1C, 0}, {'r', SIM_FLASHU5_NSSR, g0::PGAERR},
                   {'w', SIM_FLASHU5_NSSR, g0::ALL}, {'M', 0x10, 0xFFFFFFFF}, {'P', 0x20, 0, 1},
                   {'r', SIM_FLASHU5_NSSR, g0::SIZERR}, {'w', SIM_FLASHU5_NSSR, g0::ALL}, {'F', 0x1FC000, 0x5A, 0x4000},
                   {'w', SIM_FLASHU5_NSCR, g0::PER | g0::BKER | g0::pnb(127) | g0::STRT}, {'B', 0, 1500000},
                   {'M', 0x1FDFFC, 0x5A5A5A5A}, {'M', 0x1FE000, 0xFFFFFFFF}, {'M', 0x1FFFFC, 0xFFFFFFFF},
                   {'w', SIM_FLASHU5_OPTKEYR, g0::OK1}, {'w', SIM_FLASHU5_OPTKEYR, g0::OK2},
                   {'w', SIM_FLASHU5_OPTR, 0x1FEFF8CC}, {'w', SIM_FLASHU5_NSCR, g0::OPTSTRT},
                   {'r', SIM_FLASHU5_NSSR, SIM_FLASHU5_SR_OPTWERR}},
                  SIM_FLASHU5_NSKEYR)},
    {"L0KeysAndLockOut", SimFlashKind::stm32l0, l0::wp, l0::rdp,
     {{'r', l0::PECR, 7}, {'r', l0::SR, l0::IDLE}, {'r', l0::OPTR, 0x807800AA}, {'w', l0::PECR, l0::PROG},
      {'r', l0::PECR, 7}, {'x', l0::PRGKEYR, l0::PRG1}, {'w', l0::PEKEYR, l0::PE1}, {'w', l0::PEKEYR, l0::PE2},
      {'r', l0::PECR, 6}, {'x', l0::PRGKEYR, l0::PRG1}, {'r', l0::PECR, 6}, {'Z'}, {'K', 0, 1},
      {'w', l0::PEKEYR, l0::PE1}, {'w', l0::PEKEYR, l0::PE2}, {'r', l0::PECR, 7}, {'K'}, {'w', l0::PEKEYR, l0::PE1},
      {'w', l0::PEKEYR, l0::PE2}, {'w', l0::PRGKEYR, l0::PRG1}, {'w', l0::PRGKEYR, l0::PRG2}, {'r', l0::PECR, 4},
      {'w', SIM_FLASHL0_OPTKEYR, SIM_FLASHL0_OPTKEY1}, {'w', SIM_FLASHL0_OPTKEYR, SIM_FLASHL0_OPTKEY2},
      {'r', l0::PECR, 0}, {'w', l0::PECR, 1}, {'r', l0::PECR, 7}, {'x', l0::PEKEYR, l0::PE2},
      {'x', l0::PEKEYR, l0::PE1}, {'r', l0::PECR, 7}, {'Z'}, {'w', l0::PEKEYR, l0::PE1}, {'w', l0::PEKEYR, l0::PE2},
      {'x', l0::PEKEYR, l0::PE1}, {'r', l0::PECR, 7}}},
    {"L0WordsAndPageErase", SimFlashKind::stm32l0, l0::wp, l0::rdp,
     l0::unlocked({{'F', 0x80, 0x5A, 0x180}, {'F', 0x100, 0, 0x80}, {'P', 0x100, 0x12345678}, {'r', l0::SR, 0x9},
                   {'B', 0, 3280000}, {'T', 0, 3280000}, {'r', l0::SR, l0::EOP}, {'M', 0x100, 0x12345678},
                   {'P', 0x100, 0x80000001}, {'T', 0, 3280000}, {'r', l0::SR, l0::EOP | l0::NOTZERO}, {'M', 0x100, 0x92345679},
                   {'w', l0::SR, 0x3FF02}, {'P', 0x104, 1, 2}, {'r', l0::SR, l0::IDLE | l0::SIZERR},
                   {'P', 0x106, 1}, {'w', l0::PECR, l0::ERASE}, {'P', 0x104, 0}, {'w', l0::PECR, l0::FPRG | l0::ERASE | l0::PROG},
                   {'P', 0x104, 0}, {'r', l0::SR, l0::IDLE | l0::SIZERR | l0::PGAERR}, {'M', 0x104, 0},
                   {'w', l0::PECR, l0::ERASE | l0::PROG}, {'P', 0x17C, 0}, {'B', 0, 3280000}, {'M', 0x100, 0},
                   {'M', 0x17C, 0}, {'M', 0xFC, 0x5A5A5A5A}, {'M', 0x180, 0x5A5A5A5A}})},
    {"L0HalfPages", SimFlashKind::stm32l0, l0::wp, l0::rdp,
     l0::unlocked({{'w', l0::PECR, l0::FPRG | l0::PROG}, {'P', 0x40, 9}, {'B', 0, 0}, {'M', 0x40, 0},
                   {'w', l0::PECR, l0::PROG}, {'w', l0::PECR, l0::FPRG | l0::PROG}, {'H', 0x40}, {'B', 0, 3280000},
                   {'M', 0x40, 0}, {'M', 0x7C, 15}, {'M', 0x80, 0}, {'P', 0x84, 1}, {'r', l0::SR, l0::EOP | l0::PGAERR},
                   {'P', 0x80, 1}, {'P', 0x88, 1}, {'r', l0::SR, l0::EOP | l0::PGAERR}, {'H', 0x80}, {'B', 0, 3280000},
                   {'M', 0x80, 0}, {'M', 0xBC, 15}})},
    {"L0Protection", SimFlashKind::stm32l0, l0::wp, l0::rdp,
     l0::unlocked({{'W', 0, 2}, {'r', SIM_FLASHL0_WRPROT1, 2}, {'P', 0x1FFC, 1}, {'r', l0::SR, l0::IDLE | l0::WRPERR},
                   {'w', l0::PECR, l0::ERASE | l0::PROG}, {'F', 0x1000, 0x5A, 0x1000}, {'P', 0x1000, 0},
                   {'M', 0x1000, 0x5A5A5A5A}, {'w', l0::SR, l0::WRPERR}, {'P', 0x2000, 0}, {'r', l0::SR, 0x9},
                   {'w', l0::PECR, 2}, {'w', l0::SR, 0x3FF02}, {'P', 0x3000, 1}, {'r', l0::SR, l0::EOP | l0::WRPERR},
                   {'R', 0, 1}, {'r', l0::OPTR, 0x807800BB}, {'N', 0}, {'Q', 0x3000, 1}, {'Z'}, {'N', 0},
                   {'r', SIM_FLASHL0_WRPROT1, 2}, {'R', 0, 0}, {'M', 0x3000, 0}})},
    {"L0FaultsAndInterrupts", SimFlashKind::stm32l0, l0::wp, l0::rdp,
     l0::unlocked({{'w', l0::PECR, SIM_FLASHL0_PECR_EOPIE | SIM_FLASHL0_PECR_ERRIE}, {'K', l0::SIZERR},
                   {'P', 0, 1}, {'r', l0::SR, l0::IDLE | l0::SIZERR}, {'I', 0, 1}, {'M', 0, 0}, {'K', 0, 4},
                   {'w', l0::SR, l0::SIZERR}, {'I', 0, 0}, {'P', 0, 1}, {'T', 0, 4000000}, {'r', l0::SR, l0::EOP},
                   {'I', 0, 1}, {'M', 0, 0}, {'K', 0, 2}, {'P', 4, 1}, {'T', 0, 1000000000}, {'B', 0, NEVER},
                   {'M', 4, 0}})},
    {"F4DualBankSectorsAndBanks", SimFlashKind::stm32f4_2m, f4::wp2, nullptr,
     f4::unlocked({{'w', f4::CR, f4::SER | f4::snb(16) | f4::STRT}, {'r', f4::CR, f4::SER | f4::snb(16) | f4::STRT},
                   {'M', f4::MB, 0xFFFFFFFF}, {'M', f4::MB + 0x3FFC, 0xFFFFFFFF}, {'M', f4::MB + 0x4000, 0x5A5A5A5A},
                   {'M', f4::MB - 4, 0x5A5A5A5A}, {'M', 0, 0x5A5A5A5A}, {'w', f4::CR, f4::SER | f4::snb(27) | f4::STRT},
                   {'M', 2 * f4::MB - 4, 0xFFFFFFFF}, {'M', 2 * f4::MB - 0x20004, 0x5A5A5A5A},
                   {'M', f4::MB - 0x20000, 0x5A5A5A5A}, {'w', f4::CR, f4::SER | f4::snb(12) | f4::STRT},
                   {'r', f4::SR, f4::PGSERR}, {'w', f4::CR, f4::MER1 | 2u << 8 | f4::STRT}, {'B', 0, 8000 * ms},
                   {'M', f4::MB + 0x4000, 0xFFFFFFFF}, {'M', f4::MB - 4, 0x5A5A5A5A},
                   {'w', f4::CR, f4::MER | f4::MER1 | 2u << 8 | f4::STRT}, {'B', 0, 16000 * ms}, {'M', 0, 0xFFFFFFFF},
                   {'w', f4::CR, f4::PG}, {'P', 2 * f4::MB - 4, 0x12345678}, {'M', 2 * f4::MB - 4, 0x12345678},
                   {'Q', 2 * f4::MB, 0}, {'N', 2 * f4::MB - 2}})},
    {"F4DualBankWriteProtection", SimFlashKind::stm32f4_2m, f4::wp2, nullptr,
     f4::unlocked({{'W', 0, 0xFFE}, {'r', f4::OPTCR1, 0x0FFE0000}, {'w', f4::CR, f4::SER | f4::snb(16) | f4::STRT},
                   {'r', f4::SR, f4::WRPERR}, {'w', f4::CR, f4::MER1 | f4::STRT}, {'M', f4::MB + 0x4000, 0x5A5A5A5A},
                   {'w', f4::CR, f4::PG}, {'P', f4::MB, 0}, {'M', f4::MB, 0x5A5A5A5A}, {'P', f4::MB + 0x4000, 0},
                   {'M', f4::MB + 0x4000, 0}, {'w', f4::OPTCR1, 0x0FFF0000},
                   {'r', f4::OPTCR1, 0x0FFE0000}, {'w', SIM_FLASHF4_OPTKEYR, SIM_FLASHF4_OPTKEY1},
                   {'w', SIM_FLASHF4_OPTKEYR, SIM_FLASHF4_OPTKEY2}, {'w', f4::OPTCR1, 0x0FFF0000},
                   {'w', f4::OPTCR, 0x0FFFAAEE}, {'Z'}, {'r', f4::OPTCR1, 0x0FFF0000},
                   {'w', f4::KEYR, f4::K1}, {'w', f4::KEYR, f4::K2}, {'w', f4::CR, f4::SER | f4::snb(16) | f4::STRT},
                   {'M', f4::MB, 0xFFFFFFFF}})},
    {"F4SingleBankHasNoSecond", SimFlashKind::stm32f4, nullptr, nullptr,
     f4::unlocked({{'r', f4::OPTCR1, 0}, {'w', f4::CR, f4::MER1 | f4::STRT}, {'r', f4::CR, 0}, {'B', 0, 0},
                   {'Q', f4::MB, 0}, {'w', f4::CR, f4::SER | f4::snb(16) | f4::STRT}, {'M', 0, 0xFFFFFFFF},
                   {'M', 0x4000, 0x5A5A5A5A}})},
    {"H7KeysPerBank", SimFlashKind::stm32h7, h7::wp, h7::rdp,
     {{'r', h7::CR1, h7::LOCKED}, {'r', h7::CR2, h7::LOCKED}, {'w', h7::KEYR1, h7::K1}, {'w', h7::KEYR1, h7::K2},
      {'r', h7::CR1, h7::X64}, {'r', h7::CR2, h7::LOCKED}, {'x', h7::KEYR2, h7::K2}, {'x', h7::KEYR2, h7::K1},
      {'r', h7::CR2, h7::LOCKED}, {'w', h7::CR1, SIM_FLASHH7_CR_LOCK}, {'r', h7::CR1, SIM_FLASHH7_CR_LOCK},
      {'w', h7::KEYR1, h7::K1}, {'w', h7::KEYR1, h7::K2}, {'r', h7::CR1, 0}, {'Z'}, {'w', h7::KEYR2, h7::K1},
      {'w', h7::KEYR2, h7::K2}, {'r', h7::CR2, h7::X64}, {'x', h7::KEYR1, h7::K1, 2}, {'r', h7::CR1, h7::LOCKED},
      {'r', SIM_FLASHH7_OPTCR, SIM_FLASHH7_OPTCR_OPTLOCK}, {'w', SIM_FLASHH7_OPTKEYR, SIM_FLASHH7_OPTKEY1},
      {'w', SIM_FLASHH7_OPTKEYR, SIM_FLASHH7_OPTKEY2}, {'r', SIM_FLASHH7_OPTCR, 0}, {'Z'}, {'K', 0, 1},
      {'w', h7::KEYR1, h7::K1}, {'w', h7::KEYR1, h7::K2}, {'r', h7::CR1, h7::LOCKED},
      {'e', SIM_FLASHH7_REG_SIZE}, {'Q', SIM_FLASHH7_ARRAY_SIZE}, {'Q', 0, 0, 3}}},
    {"H7FlashWordsThroughTheBuffer", SimFlashKind::stm32h7, h7::wp, h7::rdp,
     h7::seq({{{'w', h7::CR1, h7::PG}, {'P', 0, 0x11, 1}, {'r', h7::SR1, h7::WBNE}, {'P', 4, 0x22222222},
               {'P', 0, 0x33, 1}, {'r', h7::SR1, SIM_FLASHH7_SR_STRBERR}, {'w', h7::CCR1, h7::ALL},
               {'M', 0, 0xFFFFFFFF}, {'P', 0x20, 1}, {'P', 0x40, 2}, {'r', h7::SR1, SIM_FLASHH7_SR_INCERR},
               {'w', h7::CCR1, h7::ALL}, {'P', 0x5E, 0, 4}, {'r', h7::SR1, SIM_FLASHH7_SR_INCERR},
               {'w', h7::CCR1, h7::ALL}},
              h7::word(0x60, 0x100),
              {{'r', h7::SR1, h7::BUSY}, {'B', 0, 100000}, {'T', 0, 99999}, {'r', h7::SR1, h7::BUSY}, {'T', 0, 1},
               {'r', h7::SR1, h7::EOP}, {'M', 0x60, 0x100}, {'M', 0x7C, 0x107}},
              h7::word(0x60, 0),
              {{'r', h7::SR1, h7::EOP | SIM_FLASHH7_SR_OPERR}, {'M', 0x60, 0x100}, {'w', h7::CCR1, h7::ALL},
               {'P', 0x80, 0xAB, 1}, {'w', h7::CR1, h7::PG | SIM_FLASHH7_CR_FW}, {'r', h7::CR1, h7::PG},
               {'r', h7::SR1, h7::BUSY}, {'T', 0, h7::ERASE}, {'M', 0x80, 0xFFFFFFAB}, {'M', 0x9C, 0xFFFFFFFF},
               {'w', h7::CR1, h7::X64}, {'P', 0xA0, 0}, {'r', h7::SR1, h7::EOP | h7::PGSERR},
               {'w', h7::CR2, h7::PG}},
              h7::word(0x100000, 7),
              {{'r', h7::SR2, h7::BUSY}, {'T', 0, 100000}, {'M', 0x100000, 7}, {'M', 0x10001C, 14}}})},
    {"H7SectorAndBankErase", SimFlashKind::stm32h7, h7::wp, h7::rdp,
     h7::seq({{{'F', 0, 0x5A, SIM_FLASHH7_ARRAY_SIZE}, {'w', h7::CR1, h7::SER | h7::snb(3)},
               {'w', h7::CR1, h7::SER | h7::snb(3) | h7::START}, {'r', h7::SR1, h7::BUSY}, {'B', 0, h7::ERASE},
               {'T', 0, h7::ERASE}, {'r', h7::SR1, h7::EOP}, {'r', h7::CR1, h7::SER | h7::snb(3)},
               {'M', 0x5FFFC, 0x5A5A5A5A}, {'M', 0x60000, 0xFFFFFFFF}, {'M', 0x7FFFC, 0xFFFFFFFF},
               {'M', 0x80000, 0x5A5A5A5A}, {'w', h7::CCR1, h7::ALL}, {'w', h7::CR1, h7::SER | h7::BER | h7::START},
               {'r', h7::SR1, h7::PGSERR}, {'w', h7::CCR1, h7::ALL}, {'w', h7::CR1, h7::PG | h7::SER | h7::START},
               {'r', h7::SR1, h7::PGSERR}, {'w', h7::CCR1, h7::ALL}, {'w', h7::CR1, h7::PG}, {'P', 0x200, 0, 1},
               {'w', h7::CR1, h7::SER | h7::START}, {'r', h7::SR1, h7::WBNE | h7::PGSERR},
               {'M', 0x200, 0x5A5A5A5A}, {'w', h7::CR2, h7::BER | h7::START}, {'B', 0, 5 * h7::ERASE},
               {'M', 0x100000, 0xFFFFFFFF}, {'M', 0x1FFFFC, 0xFFFFFFFF}, {'M', 0xFFFFC, 0x5A5A5A5A}}})},
    {"H7ProtectionAndFaults", SimFlashKind::stm32h7, h7::wp, h7::rdp,
     h7::seq({{{'W', 0, 0x1FD}, {'r', SIM_FLASHH7_WPSN_CUR + SIM_FLASHH7_BANK2, 0xFD},
               {'w', h7::CR2, h7::SER | h7::snb(1) | h7::START}, {'r', h7::SR2, h7::WRPERR},
               {'w', h7::CCR2, h7::ALL}, {'w', h7::CR2, h7::BER | h7::START}, {'r', h7::SR2, h7::WRPERR},
               {'w', h7::CCR2, h7::ALL}, {'w', h7::CR2, h7::PG}},
              h7::word(0x120000, 0),
              {{'r', h7::SR2, h7::WRPERR}, {'M', 0x120000, 0xFFFFFFFF}, {'K', h7::WRPERR},
               {'w', h7::CR1, h7::PG | (1u << 17)}},
              h7::word(0, 1),
              {{'r', h7::SR1, h7::WRPERR}, {'I', 0, 1}, {'M', 0, 0xFFFFFFFF}, {'K', 0, 4}, {'w', h7::CCR1, h7::ALL},
               {'I', 0, 0}},
              h7::word(0, 1),
              {{'T', 0, h7::ERASE}, {'r', h7::SR1, h7::EOP}, {'M', 0, 0xFFFFFFFF}, {'K', 0, 2},
               {'w', h7::CCR1, h7::ALL}},
              h7::word(0x20, 1),
              {{'T', 0, 10 * h7::ERASE}, {'r', h7::SR1, h7::BUSY}, {'B', 0, NEVER}, {'M', 0x20, 0xFFFFFFFF},
               {'K'}, {'R', 0, 0xBB}, {'r', SIM_FLASHH7_OPTSR_CUR, SIM_FLASHH7_OPTSR_FACTORY ^ 0x1100},
               {'N', 0}}})},
};

INSTANTIATE_TEST_SUITE_P(Sim, FlashModels, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& i) { return std::string(i.param.name); });

} // namespace
