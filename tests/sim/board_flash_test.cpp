// Stores into the simulated STM32F4 flash from the debugger and the core.
// ST's own flash algorithm drives the controller in the FLM run tests.
#include "board_helpers_test.h"

using namespace board_test;

namespace {

// RM0090 flash interface registers, written out here.
constexpr uint32_t FLASH_KEYR = 0x40023C04, FLASH_SR = 0x40023C0C, FLASH_CR = 0x40023C10, SR_PGSERR = 1u << 7;
} // namespace

TEST(BoardFlash, CoreAndDebuggerStoresToFlashFollowTheControllersRules) {
    BoardPtr bp = make_board();
    SimBoard* b = bp.get();
    dbg_write(b, 0x08010000, 0x12345678); // no PG: answered, but nothing changes
    EXPECT_EQ(dbg_read(b, 0x08010000), 0xFFFFFFFFu);
    EXPECT_TRUE(dbg_read(b, FLASH_SR) & SR_PGSERR);
    dbg_write(b, FLASH_SR, 0xF3);
    dbg_write(b, FLASH_KEYR, 0x45670123);
    dbg_write(b, FLASH_KEYR, 0xCDEF89AB);
    dbg_write(b, FLASH_CR, 1 | (2u << 8)); // PG, x32: bits only clear
    for (uint32_t v : {0x12345678u, 0xFFFF0000u}) {
        dbg_write(b, 0x08010000, v);
        sim_board_run(b, 1 * kMs);
    }
    EXPECT_EQ(dbg_read(b, 0x08010000), 0x12340000u);
    // A core store without PG: str r1, [r0], #4 ; bkpt (the writeback must survive).
    dbg_write(b, FLASH_CR, 1u << 31); // LOCK
    const uint8_t prog[] = {0x40, 0xF8, 0x04, 0x1B, 0x00, 0xBE};
    ASSERT_TRUE(sim_board_write_mem(b, 0x20000000, prog, sizeof prog));
    halt(b);
    set_words(b, {{0, 0x08010004}, {1, 0}, {SIM_REG_DEBUG_RETURN, 0x20000000}, {SIM_REG_XPSR, 1u << 24},
                  {SIM_REG_MSP, 0x20001000}, {DHCSR, SIM_DHCSR_KEY | SIM_DHCSR_C_DEBUGEN}});
    sim_board_run(b, 10000);
    ASSERT_TRUE(sim_board_is_halted(b));
    // At the BKPT (no fault), the writeback done, the array unchanged.
    expect_words(b, {{SIM_REG_DEBUG_RETURN, 0x20000004}, {0, 0x08010008}, {0x08010004, 0xFFFFFFFF}});
    EXPECT_TRUE(dbg_read(b, FLASH_SR) & SR_PGSERR);
}
