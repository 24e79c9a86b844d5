// The demo firmware (built with arm-none-eabi-gcc) on the simulated board.
#include "board_helpers_test.h"

using namespace board_test;

TEST(BoardFirmware, SysTickCountsAtTheRateTheClockImplies) {
    NEED_DEMO(d);
    sim_board_run(b, 10 * kMs); // start-up
    const uint32_t t0 = dbg_read(b, d.sym["g_tick_count"]);
    sim_board_run(b, 250 * kMs);
    const uint32_t t1 = dbg_read(b, d.sym["g_tick_count"]);
    EXPECT_NEAR(t1 - t0, 250.0, 1.0); // 16 MHz, RVR 16000 - 1: one per ms
    EXPECT_GT(t0, 5u);
    // 16 instructions per microsecond, less the cycles exception entries took.
    EXPECT_LE(sim_board_instr_count(b), 260u * 16000u);
    EXPECT_GE(sim_board_instr_count(b), 260u * 16000u - 4 * t1);
    // The main loop computes floats (CONTROL.FPCA set): every SysTick used the
    // 26-word frame, and nothing went wrong on the way back.
    EXPECT_FALSE(sim_board_is_halted(b) || sim_board_is_locked_up(b));
    expect_words(b, {{CFSR, 0}, {HFSR, 0}});
}

TEST(BoardFirmware, BkptHaltsWithDfsrBkptWhenDebugging) {
    NEED_DEMO(d);
    dhcsr(b, SIM_DHCSR_C_DEBUGEN);
    sim_board_run(b, 5 * kMs);
    dbg_write(b, d.sym["g_bkpt_trigger"], 1);
    sim_board_run(b, 5 * kMs);
    ASSERT_TRUE(sim_board_is_halted(b));
    EXPECT_EQ(dbg_read(b, DHCSR) & (SIM_DHCSR_S_HALT | SIM_DHCSR_C_HALT), SIM_DHCSR_S_HALT | SIM_DHCSR_C_HALT);
    // Halted: time passes, nothing executes, SysTick stands still.
    const uint64_t n = sim_board_instr_count(b);
    const uint32_t cvr = dbg_read(b, 0xE000E018);
    sim_board_run(b, 5 * kMs);
    EXPECT_EQ(sim_board_instr_count(b), n);
    expect_words(b, {{SIM_REG_DEBUG_RETURN, d.sym["fault_bkpt"]}, {DFSR, SIM_DFSR_BKPT}, {0xE000E018, cvr}});
    dbg_write(b, DFSR, SIM_DFSR_BKPT); // write-one-to-clear
    EXPECT_EQ(dbg_read(b, DFSR), 0u);
}

// The demo's fault triggers without a debugger, where the fault handlers
// are enabled (escalated to HardFault, each is checked through the probe in
// the fault analysis tests): the exception taken, its status bits, the
// frame's return address, one more word {address (0: the stacked xPSR), mask, value}.
TEST(BoardFirmware, FaultTriggersRaiseTheRightException) {
    // trigger: a firmware variable, or null: CPACR = 0 (FP access denied); at: the stacked PC (+ past),
    // null: any FP instruction, "": SP on unreadable memory.
    struct Case { const char* trigger; uint32_t value, shcsr, exc, cfsr, hfsr; const char* at; uint32_t past, addr, mask, want; };
    constexpr uint32_t kSvcPended = 1u << 15, kBelowSram = 0x20000000 - 0x68; // SHCSR; the FP frame's place
    const Case cases[] = {
        {"g_bkpt_trigger", 1, 0, 3, 0, SIM_HFSR_DEBUGEVT, "fault_bkpt", 0, SHCSR, 0, 0},
        {"g_fault_trigger", 1, SIM_SHCSR_USGFAULTENA, 6, SIM_CFSR_UNDEFINSTR, 0, "fault_udf", 0, SHCSR, 1u << 3, 1u << 3},
        {nullptr, 0, 0, 3, SIM_CFSR_NOCP, SIM_HFSR_FORCED, nullptr, 0, 0, 1u << 24, 1u << 24},
        // The buffered store: taken after it, no BFARVALID.
        {"g_fault_trigger", 5, SIM_SHCSR_BUSFAULTENA, 5, SIM_CFSR_IMPRECISERR, 0, "fault_bus_write", 2, 0, 0x1FF, 0},
        // SVC's stacking fails: the BusFault arrives late, SVC stays pending.
        {"g_fault_trigger", 6, SIM_SHCSR_BUSFAULTENA, 5, SIM_CFSR_STKERR, 0, "", 0, SHCSR, kSvcPended, kSvcPended},
        // Inside EXTI0's handler (exception 22), after an FP instruction.
        {"g_fault_trigger", 7, 0, 3, SIM_CFSR_UNDEFINSTR, SIM_HFSR_FORCED, "EXTI0_IRQHandler", 4, 0, 0x1FF, 22},
    };
    for (const Case& c : cases) {
        NEED_DEMO(d);
        SCOPED_TRACE(std::string(c.trigger ? c.trigger : "CPACR") + " = " + std::to_string(c.value));
        dbg_write(b, SHCSR, c.shcsr);
        sim_board_run(b, 3 * kMs);
        dbg_write(b, c.trigger ? d.sym[c.trigger] : 0xE000ED88, c.value);
        sim_board_run(b, 2 * kMs);
        expect_words(b, {{kIpsr, c.exc}, {CFSR, c.cfsr}, {HFSR, c.hfsr}});
        const uint32_t word = c.addr ? dbg_read(b, c.addr) : dbg_read(b, reg(b, SIM_REG_MSP) + 28);
        EXPECT_EQ(word & c.mask, c.want);
        uint32_t pc = 0;
        if (c.at && !*c.at) {
            EXPECT_EQ(reg(b, SIM_REG_MSP), kBelowSram);
            EXPECT_FALSE(sim_board_read_mem(b, kBelowSram, &pc, 4)) << "nothing there to hold a frame";
            continue;
        }
        pc = stacked_pc(b);
        uint16_t hw[2] = {};
        ASSERT_TRUE(sim_board_read_mem(b, pc, hw, 4));
        const bool fp_insn = (hw[0] & 0xEC00) == 0xEC00 && ((hw[1] >> 9) & 7) == 5; // coprocessor 10/11
        EXPECT_TRUE(c.at ? pc == d.sym[c.at] + c.past : fp_insn) << std::hex << pc;
    }
}

TEST(BoardFirmware, RegisterBlockRefusalIsAPreciseBusFault) {
    NEED_DEMO(d);
    sim_board_run(b, 3 * kMs);
    halt(b);
    // A reserved word of the DBGMCU page: mapped, but the block refuses it.
    const uint8_t prog[] = {0x01, 0x68, 0x00, 0xBE}; // ldr r1, [r0] ; bkpt
    ASSERT_TRUE(sim_board_write_mem(b, 0x20010000, prog, sizeof prog));
    set_words(b, {{0, 0xE0042100}, {SIM_REG_DEBUG_RETURN, 0x20010000}, {DEMCR, SIM_DEMCR_VC_HARDERR}, {DFSR, 0x1F},
                  {DHCSR, SIM_DHCSR_KEY | SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_MASKINTS}});
    sim_board_run(b, 100 * 1000);
    ASSERT_TRUE(sim_board_is_halted(b));
    expect_words(b, {{DFSR, SIM_DFSR_VCATCH}, {BFAR, 0xE0042100}, {CFSR, SIM_CFSR_PRECISERR | SIM_CFSR_BFARVALID}});
    EXPECT_EQ(stacked_pc(b), 0x20010000u); // the load, not past it
}

TEST(BoardFirmware, DwtWatchpointHaltsAfterTheStore) {
    NEED_DEMO(d);
    sim_board_run(b, 2 * kMs);
    const uint32_t tick = d.sym["g_tick_count"], before = dbg_read(b, tick);
    // COMP0 = the variable, MASK0 = exact word, FUNCTION0 = watch writes.
    set_words(b, {{DHCSR, SIM_DHCSR_KEY | SIM_DHCSR_C_DEBUGEN}, {DEMCR, SIM_DEMCR_TRCENA}, {0xE0001020, tick},
                  {0xE0001024, 0}, {0xE0001028, 6}});
    sim_board_run(b, 2 * kMs);
    ASSERT_TRUE(sim_board_is_halted(b));
    EXPECT_EQ(dbg_read(b, DFSR), SIM_DFSR_DWTTRAP);
    EXPECT_EQ(dbg_read(b, tick), before + 1); // the store completed
    EXPECT_GT(reg(b, SIM_REG_DEBUG_RETURN), d.sym["SysTick_Handler"]); // past the store
    EXPECT_LT(reg(b, SIM_REG_DEBUG_RETURN), d.sym["SysTick_Handler"] + 0x10);
    EXPECT_TRUE(dbg_read(b, 0xE0001028) & (1u << 24)); // MATCHED
    set_words(b, {{0xE0001028, 0}, {DHCSR, SIM_DHCSR_KEY | SIM_DHCSR_C_DEBUGEN}});
    sim_board_run(b, 5 * kMs);
    EXPECT_FALSE(sim_board_is_halted(b));
    EXPECT_GE(dbg_read(b, tick), before + 5);
}
