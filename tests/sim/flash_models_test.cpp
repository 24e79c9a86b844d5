// Each generation's flash model through the seam the board uses, one script
// a row: key sequences and lock-out, programming rules and their error bits,
// erases, write and read protection, timing and the injected faults.
#include "sim/flash_ctl.h"
#include "sim/flash_f0.h"

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
};

INSTANTIATE_TEST_SUITE_P(Sim, FlashModels, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& i) { return std::string(i.param.name); });

} // namespace
