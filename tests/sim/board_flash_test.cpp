// The real CMSIS pack flash algorithm for the STM32F4 (Keil's FLM, from
// /work/shared/data) run on the simulated core: an independent check of the
// flash controller model and of core stores into flash.
#include "board_helpers_test.h"

using namespace board_test;

namespace {

// RM0090 flash interface registers, written out here.
constexpr uint32_t FLASH_KEYR = 0x40023C04, FLASH_SR = 0x40023C0C, FLASH_CR = 0x40023C10, SR_PGSERR = 1u << 7;
constexpr uint32_t kBkpt = 0x20000000, kBase = 0x20000100, kStack = 0x20003000, kBuffer = 0x20004000;

// The CMSIS flash-algorithm calling convention, driven through the debug
// port: R0-R2, R9 = static base, SP, LR -> a BKPT, PC -> entry. R0 or ~0.
uint32_t call(SimBoard* b, uint32_t static_base, uint32_t entry, uint32_t r0, uint32_t r1, uint32_t r2) {
    set_words(b, {{0, r0}, {1, r1}, {2, r2}, {9, static_base}, {SIM_REG_SP, kStack}, {SIM_REG_LR, kBkpt | 1},
                  {SIM_REG_DEBUG_RETURN, kBase + entry}, {SIM_REG_XPSR, 1u << 24},
                  {DHCSR, SIM_DHCSR_KEY | SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_MASKINTS}});
    for (int t = 0; t < 200 && !sim_board_is_halted(b); ++t) sim_board_run(b, kMs);
    uint32_t pc = 0, result = ~0u;
    EXPECT_TRUE(core_reg_read(b, SIM_REG_DEBUG_RETURN, &pc) && pc == kBkpt)
        << "stopped at 0x" << std::hex << pc << " CFSR 0x" << dbg_read(b, CFSR) << " FLASH_SR 0x" << dbg_read(b, FLASH_SR);
    EXPECT_TRUE(core_reg_read(b, 0, &result));
    return pc == kBkpt ? result : ~0u;
}

} // namespace

TEST(BoardFlash, PackAlgorithmErasesAndProgramsTheSimulatedFlash) {
    const std::string path = std::string(KORVANE_SHARED_DATA) + "/flm/STM32F4xx_1024.FLM";
    const std::string bin = testing::TempDir() + "board_flm" + std::to_string(getpid());
    run_capture("arm-none-eabi-objcopy -O binary -j PrgCode -j PrgData " + path + " " + bin + " 2>&1");
    const std::vector<uint8_t> image = read_binary_file(bin);
    std::remove(bin.c_str());
    std::map<std::string, uint32_t> fn = nm_symbols(path);
    const std::string sections = run_capture("arm-none-eabi-objdump -h " + path + " 2>/dev/null");
    unsigned data_size = 0, data_addr = 0;
    const size_t at = sections.find("PrgData");
    if (image.empty() || at == std::string::npos) GTEST_SKIP() << "no " << path << " or no binutils";
    ASSERT_EQ(std::sscanf(sections.c_str() + at, "PrgData %x %x", &data_size, &data_addr), 2);
    SimBoardProfile prof = sim_board_profile_stm32f405();
    prof.flash_time_divisor = 1000; // erase in hundreds of microseconds, not seconds
    BoardPtr bp(sim_board_create(prof));
    SimBoard* b = bp.get();
    const uint32_t sb = kBase + data_addr;
    // Flash as it might be found: sectors 0 and 1 full of a pattern.
    std::vector<uint8_t> old(0x8000), page(1024), back(0x8000);
    for (size_t i = 0; i < old.size(); ++i) old[i] = static_cast<uint8_t>(i * 7 + 3);
    for (size_t i = 0; i < page.size(); ++i) page[i] = static_cast<uint8_t>(0xA5 ^ (i * 13));
    const uint16_t bkpt = 0xBE00;
    ASSERT_TRUE(sim_board_load_image(b, 0x08000000, old.data(), old.size()));
    ASSERT_TRUE(sim_board_write_mem(b, kBkpt, &bkpt, 2));
    ASSERT_TRUE(sim_board_write_mem(b, kBase, image.data(), image.size()));
    ASSERT_TRUE(sim_board_write_mem(b, kBuffer, page.data(), page.size()));
    halt(b);
    // Erase sector 1, program 1 KB at 0x08004400.
    EXPECT_EQ(call(b, sb, fn["Init"], 0x08000000, 16000000, 1), 0u);
    EXPECT_EQ(call(b, sb, fn["EraseSector"], 0x08004000, 0, 0), 0u);
    EXPECT_EQ(call(b, sb, fn["UnInit"], 1, 0, 0), 0u);
    EXPECT_EQ(call(b, sb, fn["Init"], 0x08000000, 16000000, 2), 0u);
    EXPECT_EQ(call(b, sb, fn["ProgramPage"], 0x08004400, 1024, kBuffer), 0u);
    EXPECT_EQ(call(b, sb, fn["UnInit"], 2, 0, 0), 0u);
    ASSERT_TRUE(sim_board_read_mem(b, 0x08000000, back.data(), back.size()));
    for (size_t i = 0; i < back.size(); ++i) {
        const uint8_t want = i < 0x4000 ? old[i] : (i >= 0x4400 && i < 0x4800) ? page[i - 0x4400] : 0xFF;
        ASSERT_EQ(back[i], want) << "at 0x" << std::hex << (0x08000000 + i);
    }
    EXPECT_EQ(dbg_read(b, 0x00004400), dbg_read(b, 0x08004400)); // the alias at 0 shows the same array
    // After UnInit the controller is locked: the stores are refused (no
    // change) and the algorithm reports the failure.
    std::vector<uint8_t> zeros(1024, 0), again(1024);
    ASSERT_TRUE(sim_board_write_mem(b, kBuffer, zeros.data(), zeros.size()));
    EXPECT_NE(call(b, sb, fn["ProgramPage"], 0x08004400, 1024, kBuffer), 0u);
    ASSERT_TRUE(sim_board_read_mem(b, 0x08004400, again.data(), again.size()));
    EXPECT_EQ(again, page);
    EXPECT_FALSE(sim_board_is_locked_up(b));
}

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
