// The demo firmware (built with arm-none-eabi-gcc) on the simulated board.
#include "board_helpers_test.h"

using namespace board_test;

#define NEED_DEMO(d)                                                                       \
    Demo d;                                                                                \
    if (!load_demo(&d)) GTEST_SKIP() << "demo firmware or arm-none-eabi-nm not available"; \
    SimBoard* b = d.board.get()

TEST(BoardFirmware, SysTickCountsAtTheRateTheClockImplies) {
    NEED_DEMO(d);
    sim_board_run(b, 10 * kMs); // start-up
    const uint32_t t0 = mem32(b, d.sym["g_tick_count"]);
    sim_board_run(b, 250 * kMs);
    const uint32_t t1 = mem32(b, d.sym["g_tick_count"]);
    // 16 MHz core, RVR = 16000 - 1 with the core clock: one tick per ms.
    EXPECT_NEAR(static_cast<double>(t1 - t0), 250.0, 1.0);
    EXPECT_GT(t0, 5u);
    EXPECT_FALSE(sim_board_is_halted(b));
    EXPECT_FALSE(sim_board_is_locked_up(b));
    // Instructions follow the clock, 16 per microsecond, less the cycles the
    // exception entries took.
    EXPECT_LE(sim_board_instr_count(b), 260u * 16000u);
    EXPECT_GE(sim_board_instr_count(b), 260u * 16000u - 4 * t1);
}

TEST(BoardFirmware, BkptHaltsWithDfsrBkptWhenDebugging) {
    NEED_DEMO(d);
    dhcsr(b, SIM_DHCSR_C_DEBUGEN);
    sim_board_run(b, 5 * kMs);
    dbg_write(b, d.sym["g_bkpt_trigger"], 1);
    sim_board_run(b, 5 * kMs);
    ASSERT_TRUE(sim_board_is_halted(b));
    EXPECT_EQ(reg(b, SIM_REG_DEBUG_RETURN), d.sym["fault_bkpt"]);
    EXPECT_EQ(dbg_read(b, DFSR) & 0x1F, SIM_DFSR_BKPT);
    const uint32_t s = dbg_read(b, DHCSR);
    EXPECT_TRUE(s & SIM_DHCSR_S_HALT);
    EXPECT_TRUE(s & SIM_DHCSR_C_HALT);
    // Halted: time passes, nothing executes, SysTick stands still.
    const uint64_t n = sim_board_instr_count(b);
    const uint32_t cvr = dbg_read(b, 0xE000E018);
    sim_board_run(b, 5 * kMs);
    EXPECT_EQ(sim_board_instr_count(b), n);
    EXPECT_EQ(dbg_read(b, 0xE000E018), cvr);
    // DFSR is write-one-to-clear.
    dbg_write(b, DFSR, SIM_DFSR_BKPT);
    EXPECT_EQ(dbg_read(b, DFSR) & 0x1F, 0u);
}

TEST(BoardFirmware, BkptWithoutDebugIsAHardFault) {
    NEED_DEMO(d);
    sim_board_run(b, 5 * kMs);
    dbg_write(b, d.sym["g_bkpt_trigger"], 1);
    sim_board_run(b, 5 * kMs);
    EXPECT_FALSE(sim_board_is_halted(b));
    EXPECT_EQ(reg(b, SIM_REG_XPSR) & 0x1FF, 3u);
    const uint32_t pc = reg(b, SIM_REG_DEBUG_RETURN);
    EXPECT_GE(pc, d.sym["HardFault_Handler"]);
    EXPECT_LT(pc, d.sym["MemManage_Handler"]);
    EXPECT_TRUE(dbg_read(b, HFSR) & SIM_HFSR_DEBUGEVT);
    EXPECT_FALSE(dbg_read(b, HFSR) & SIM_HFSR_FORCED);
    // The stacked return address is the BKPT itself.
    EXPECT_EQ(mem32(b, reg(b, SIM_REG_MSP) + 24), d.sym["fault_bkpt"]);
}

// Halts at `addr` with an FPB comparator (Cortex-M4 FPB v1: COMP = addr with
// REPLACE selecting the halfword, ENABLE bit 0).
static void break_at(SimBoard* b, uint32_t addr) {
    dbg_write(b, 0xE0002000, 3); // FP_CTRL: KEY | ENABLE
    const uint32_t replace = (addr & 2) ? 2u : 1u;
    dbg_write(b, 0xE0002008, (replace << 30) | (addr & 0x1FFFFFFCu) | 1u);
}

struct Frame {
    uint32_t r0, r1, r2, r3, r12, lr, pc, xpsr;
};
static Frame frame_at(SimBoard* b, uint32_t sp) {
    Frame f{};
    EXPECT_TRUE(sim_board_read_mem(b, sp, &f, sizeof f));
    return f;
}

TEST(BoardFirmware, UdfStacksTheFrameAndEntersHardFaultForced) {
    NEED_DEMO(d);
    dhcsr(b, SIM_DHCSR_C_DEBUGEN);
    dbg_write(b, DEMCR, SIM_DEMCR_VC_HARDERR);
    sim_board_run(b, 3 * kMs);
    break_at(b, d.sym["fault_udf"]);
    dbg_write(b, d.sym["g_fault_trigger"], 1);
    sim_board_run(b, 2 * kMs);
    ASSERT_TRUE(sim_board_is_halted(b));
    ASSERT_EQ(reg(b, SIM_REG_DEBUG_RETURN), d.sym["fault_udf"]);
    uint32_t before[16];
    for (unsigned i = 0; i < 16; ++i) before[i] = reg(b, i);
    const uint32_t xpsr_before = reg(b, SIM_REG_XPSR);
    const uint32_t control = reg(b, SIM_REG_CONTROL_PACKED) >> 24;
    dbg_write(b, 0xE0002000, 2); // FPB off
    dbg_write(b, DFSR, 0x1F);
    dhcsr(b, SIM_DHCSR_C_DEBUGEN); // run
    sim_board_run(b, 1 * kMs);
    ASSERT_TRUE(sim_board_is_halted(b));
    EXPECT_EQ(dbg_read(b, DFSR) & 0x1F, SIM_DFSR_VCATCH);
    EXPECT_EQ(reg(b, SIM_REG_XPSR) & 0x1FF, 3u);
    EXPECT_EQ(reg(b, SIM_REG_DEBUG_RETURN), d.sym["HardFault_Handler"]);
    EXPECT_TRUE(dbg_read(b, CFSR) & SIM_CFSR_UNDEFINSTR);
    EXPECT_TRUE(dbg_read(b, HFSR) & SIM_HFSR_FORCED);
    const uint32_t lr = reg(b, SIM_REG_LR);
    const bool fp_frame = (control & 4) != 0;
    EXPECT_EQ(lr, fp_frame ? 0xFFFFFFE9u : 0xFFFFFFF9u); // thread mode, MSP
    const uint32_t sp = reg(b, SIM_REG_SP);
    const uint32_t size = fp_frame ? 0x68 : 0x20;
    const Frame f = frame_at(b, sp);
    EXPECT_EQ(f.r0, before[0]);
    EXPECT_EQ(f.r1, before[1]);
    EXPECT_EQ(f.r2, before[2]);
    EXPECT_EQ(f.r3, before[3]);
    EXPECT_EQ(f.r12, before[12]);
    EXPECT_EQ(f.lr, before[14]);
    EXPECT_EQ(f.pc, d.sym["fault_udf"]);
    EXPECT_EQ(f.xpsr & ~(1u << 9), xpsr_before);
    // 8-byte alignment: the frame starts below the old SP by its size, plus
    // 4 when xPSR bit 9 says the SP was realigned.
    EXPECT_EQ(sp % 8, 0u);
    EXPECT_EQ(sp + size + ((f.xpsr >> 9) & 1) * 4, before[13]);
}

TEST(BoardFirmware, UdfWithUsageFaultEnabledIsAUsageFault) {
    NEED_DEMO(d);
    dbg_write(b, SHCSR, SIM_SHCSR_USGFAULTENA);
    sim_board_run(b, 3 * kMs);
    dbg_write(b, d.sym["g_fault_trigger"], 1);
    sim_board_run(b, 1 * kMs);
    EXPECT_EQ(reg(b, SIM_REG_XPSR) & 0x1FF, 6u);
    EXPECT_TRUE(dbg_read(b, CFSR) & SIM_CFSR_UNDEFINSTR);
    EXPECT_EQ(dbg_read(b, HFSR), 0u);
    EXPECT_TRUE(dbg_read(b, SHCSR) & (1u << 3)); // USGFAULTACT
}

TEST(BoardFirmware, LoadFromUnmappedAddressIsAPreciseBusFault) {
    NEED_DEMO(d);
    sim_board_run(b, 3 * kMs);
    dbg_write(b, d.sym["g_fault_trigger"], 2);
    sim_board_run(b, 1 * kMs);
    EXPECT_EQ(reg(b, SIM_REG_XPSR) & 0x1FF, 3u);
    EXPECT_EQ(dbg_read(b, BFAR), 0x60000000u);
    const uint32_t cfsr = dbg_read(b, CFSR);
    EXPECT_TRUE(cfsr & SIM_CFSR_PRECISERR);
    EXPECT_TRUE(cfsr & SIM_CFSR_BFARVALID);
    EXPECT_TRUE(dbg_read(b, HFSR) & SIM_HFSR_FORCED);
    EXPECT_EQ(mem32(b, reg(b, SIM_REG_MSP) + 24), d.sym["fault_bus_read"]);
    // The debugger's view of the same address is an error too.
    SimMemPort p = sim_board_debug_port(b);
    uint32_t v = 0;
    EXPECT_FALSE(p.read(p.ctx, 0x60000000, 4, &v));
    EXPECT_FALSE(p.write(p.ctx, 0x60000000, 4, 0));
}

TEST(BoardFirmware, DivideByZeroTrapsOnlyWithDiv0Trp) {
    NEED_DEMO(d);
    sim_board_run(b, 3 * kMs);
    dbg_write(b, d.sym["g_fault_trigger"], 3); // the firmware sets CCR.DIV_0_TRP first
    sim_board_run(b, 1 * kMs);
    EXPECT_EQ(reg(b, SIM_REG_XPSR) & 0x1FF, 3u);
    EXPECT_TRUE(dbg_read(b, CFSR) & SIM_CFSR_DIVBYZERO);
    EXPECT_EQ(mem32(b, reg(b, SIM_REG_MSP) + 24), d.sym["fault_divide"]);
}

TEST(BoardFirmware, BranchToAnEvenAddressIsInvState) {
    NEED_DEMO(d);
    sim_board_run(b, 3 * kMs);
    dbg_write(b, d.sym["g_fault_trigger"], 4);
    sim_board_run(b, 1 * kMs);
    EXPECT_EQ(reg(b, SIM_REG_XPSR) & 0x1FF, 3u);
    EXPECT_TRUE(dbg_read(b, CFSR) & SIM_CFSR_INVSTATE);
    const uint32_t stacked_pc = mem32(b, reg(b, SIM_REG_MSP) + 24);
    EXPECT_EQ(stacked_pc, d.sym["fault_udf"] & ~1u);
    EXPECT_FALSE(mem32(b, reg(b, SIM_REG_MSP) + 28) & (1u << 24)); // stacked T bit clear
}

TEST(BoardFirmware, FpuInstructionWithCp10DeniedIsNocp) {
    NEED_DEMO(d);
    sim_board_run(b, 3 * kMs);
    ASSERT_EQ(dbg_read(b, CFSR), 0u);
    dbg_write(b, 0xE000ED88, 0); // CPACR: CP10/CP11 access denied
    sim_board_run(b, 2 * kMs);   // the main loop computes a float every pass
    EXPECT_EQ(reg(b, SIM_REG_XPSR) & 0x1FF, 3u);
    EXPECT_TRUE(dbg_read(b, CFSR) & SIM_CFSR_NOCP);
    EXPECT_TRUE(dbg_read(b, HFSR) & SIM_HFSR_FORCED);
    // The stacked PC is an FP instruction (coprocessor 10/11 encoding).
    const uint32_t sp = reg(b, SIM_REG_MSP);
    const uint32_t pc = mem32(b, sp + 24);
    uint16_t hw[2] = {};
    ASSERT_TRUE(sim_board_read_mem(b, pc, hw, 4));
    EXPECT_EQ(hw[0] & 0xEC00, 0xEC00) << std::hex << pc;
    EXPECT_EQ((hw[1] >> 9) & 7, 5) << std::hex << pc;
}

TEST(BoardFirmware, RegisterBlockRefusalIsAPreciseBusFault) {
    NEED_DEMO(d);
    sim_board_run(b, 3 * kMs);
    // Halt in the main loop, point the core at a tiny SRAM program that reads
    // a reserved word of the DBGMCU page (mapped, but the block refuses it).
    dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_HALT);
    sim_board_run(b, 100);
    const uint8_t prog[] = {0x01, 0x68, 0x00, 0xBE}; // ldr r1, [r0] ; bkpt
    ASSERT_TRUE(sim_board_write_mem(b, 0x20010000, prog, sizeof prog));
    ASSERT_TRUE(core_reg_write(b, 0, 0xE0042100));
    ASSERT_TRUE(core_reg_write(b, SIM_REG_DEBUG_RETURN, 0x20010000));
    dbg_write(b, DEMCR, SIM_DEMCR_VC_HARDERR);
    dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_MASKINTS);
    sim_board_run(b, 100 * 1000);
    ASSERT_TRUE(sim_board_is_halted(b));
    EXPECT_EQ(dbg_read(b, DFSR) & SIM_DFSR_VCATCH, SIM_DFSR_VCATCH);
    EXPECT_EQ(dbg_read(b, BFAR), 0xE0042100u);
    EXPECT_TRUE(dbg_read(b, CFSR) & SIM_CFSR_PRECISERR);
    EXPECT_EQ(mem32(b, reg(b, SIM_REG_MSP) + 24), 0x20010000u); // the load, not past it
}

TEST(BoardFirmware, DwtWatchpointHaltsAfterTheStore) {
    NEED_DEMO(d);
    sim_board_run(b, 2 * kMs);
    dhcsr(b, SIM_DHCSR_C_DEBUGEN);
    dbg_write(b, DEMCR, SIM_DEMCR_TRCENA);
    const uint32_t tick = d.sym["g_tick_count"];
    dbg_write(b, 0xE0001020, tick); // COMP0
    dbg_write(b, 0xE0001024, 0);    // MASK0: exact word
    dbg_write(b, 0xE0001028, 6);    // FUNCTION0: watch writes
    const uint32_t before = mem32(b, tick);
    sim_board_run(b, 2 * kMs);
    ASSERT_TRUE(sim_board_is_halted(b));
    EXPECT_EQ(dbg_read(b, DFSR) & 0x1F, SIM_DFSR_DWTTRAP);
    EXPECT_EQ(mem32(b, tick), before + 1); // the store completed
    const uint32_t pc = reg(b, SIM_REG_DEBUG_RETURN);
    EXPECT_GT(pc, d.sym["SysTick_Handler"]); // inside the handler, past the store
    EXPECT_LT(pc, d.sym["SysTick_Handler"] + 0x10);
    EXPECT_TRUE(dbg_read(b, 0xE0001028) & (1u << 24)); // MATCHED
    // Watchpoint off: the firmware runs freely again.
    dbg_write(b, 0xE0001028, 0);
    dhcsr(b, SIM_DHCSR_C_DEBUGEN);
    sim_board_run(b, 5 * kMs);
    EXPECT_FALSE(sim_board_is_halted(b));
    EXPECT_GE(mem32(b, tick), before + 5);
}
