// Halting debug through the debug port: DHCSR, C_STEP, DCRSR/DCRDR, vector
// catch, resets, lockup, fault injection.
#include "board_helpers_test.h"

using namespace board_test;

TEST(BoardDebug, HaltNeedsTheKeyAndDebugEnableAndResumeRetires) {
    NEED_DEMO(d);
    sim_board_run(b, 1 * kMs);
    uint32_t v = 0;
    EXPECT_FALSE(core_reg_read(b, 0, &v)); // running: no register transfer
    for (uint32_t w : {SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_HALT, SIM_DHCSR_KEY | SIM_DHCSR_C_HALT}) {
        dbg_write(b, DHCSR, w); // no DBGKEY; key without C_DEBUGEN
        sim_board_run(b, 1000);
        EXPECT_FALSE(sim_board_is_halted(b)) << std::hex << w;
    }
    halt(b);
    EXPECT_EQ(dbg_read(b, DFSR) & 0x1F, SIM_DFSR_HALTED);
    EXPECT_TRUE(dbg_read(b, DHCSR) & (SIM_DHCSR_S_REGRDY | SIM_DHCSR_S_HALT));
    const uint64_t n = sim_board_instr_count(b);
    dhcsr(b, SIM_DHCSR_C_DEBUGEN);
    sim_board_run(b, 1 * kMs);
    EXPECT_GT(sim_board_instr_count(b), n + 10000);
}

TEST(BoardDebug, EveryCoreRegisterThroughDcrsr) {
    NEED_DEMO(d);
    halt(b);
    std::vector<unsigned> sels = {SIM_REG_LR, SIM_REG_FPSCR, SIM_REG_XPSR, SIM_REG_DEBUG_RETURN};
    for (unsigned i = 0; i <= 12; ++i) sels.push_back(i);
    for (unsigned i = 0; i < 32; ++i) sels.push_back(SIM_REG_S0 + i);
    for (unsigned sel : sels) {
        // FPSCR's implemented bits; xPSR flags, GE and T; an instruction address.
        const uint32_t pattern = sel == SIM_REG_XPSR ? 0x510A0000 : sel == SIM_REG_DEBUG_RETURN ? d.sym["main"]
                                                                  : 0x13570000u ^ (sel * 0x01010101u);
        const uint32_t mask = sel == SIM_REG_FPSCR ? 0xF7C0009Fu : ~0u;
        uint32_t v = ~pattern;
        ASSERT_TRUE(core_reg_write(b, sel, pattern) && core_reg_read(b, sel, &v)) << sel;
        EXPECT_EQ(v & mask, pattern & mask) << "selector " << std::hex << sel;
    }
    // SP banking by CONTROL.SPSEL; nPRIV does not lock the debugger out.
    set_words(b, {{SIM_REG_MSP, 0x20001000}, {SIM_REG_PSP, 0x20002000}});
    expect_words(b, {{SIM_REG_SP, 0x20001000}});
    set_words(b, {{SIM_REG_CONTROL_PACKED, 0x02004001}});
    expect_words(b, {{SIM_REG_SP, 0x20002000}, {SIM_REG_CONTROL_PACKED, 0x02004001}});
    set_words(b, {{SIM_REG_SP, 0x20002100}, {SIM_REG_CONTROL_PACKED, 0x03000000}, {SIM_REG_MSP, 0x20000800}});
    expect_words(b, {{SIM_REG_PSP, 0x20002100}, {SIM_REG_MSP, 0x20000800}});
    set_words(b, {{SIM_REG_CONTROL_PACKED, 0}});
    expect_words(b, {{SIM_REG_CONTROL_PACKED, 0}, {SIM_REG_SP, 0x20000800}});
    uint32_t v = 0;
    EXPECT_FALSE(core_reg_read(b, 0x19, &v) || core_reg_read(b, 0x7F, &v)); // selectors that do not exist never complete
}

// Resets by AIRCR (only with VECTKEY), the nRESET pin and the "held in reset" fault: while a reset lasts
// nothing runs, S_RESET_ST reads as set on every read and the SCS still answers; after it the core runs
// on from the reset vector, or halts there with VC_CORERESET.
TEST(BoardDebug, EveryResetRestartsAtTheVectorAndVcCoreresetHaltsThere) {
    NEED_DEMO(d);
    dhcsr(b, SIM_DHCSR_C_DEBUGEN);
    sim_board_run(b, 2 * kMs);
    (void)dbg_read(b, DHCSR); // clear the sticky bits of the first reset
    for (uint32_t aircr : {4u, 0x05FA0004u}) {
        dbg_write(b, AIRCR, aircr);
        sim_board_run(b, 1000);
        EXPECT_EQ((dbg_read(b, DHCSR) & SIM_DHCSR_S_RESET_ST) != 0, aircr != 4);
    }
    EXPECT_FALSE(dbg_read(b, DHCSR) & SIM_DHCSR_S_RESET_ST); // reads once as set
    EXPECT_FALSE(sim_board_is_halted(b));
    EXPECT_LT(reg(b, SIM_REG_DEBUG_RETURN) - d.sym["Reset_Handler"] - 1, 0x5Fu);
    SimTargetLines lines = sim_board_lines(b);
    for (int how : {0, 1, 2}) {
        SCOPED_TRACE(how == 0 ? "AIRCR" : how == 1 ? "nRESET" : "held in reset");
        set_words(b, {{DHCSR, SIM_DHCSR_KEY | SIM_DHCSR_C_DEBUGEN}, {DEMCR, SIM_DEMCR_VC_CORERESET}, {DFSR, 0x1F}});
        sim_board_run(b, 1 * kMs);
        auto hold = [&](bool on) { how == 1 ? lines.set_nreset(lines.ctx, on) : sim_board_hold_in_reset(b, on); };
        if (how == 0) dbg_write(b, AIRCR, 0x05FA0004);
        else {
            hold(true);
            const uint64_t n = sim_board_instr_count(b);
            sim_board_run(b, 1 * kMs);
            EXPECT_EQ(sim_board_instr_count(b), n);
            EXPECT_TRUE(dbg_read(b, DHCSR) & dbg_read(b, DHCSR) & SIM_DHCSR_S_RESET_ST);
            EXPECT_EQ(dbg_read(b, 0xE000ED00), 0x410FC241u);
            hold(false);
        }
        sim_board_run(b, 1000);
        ASSERT_TRUE(sim_board_is_halted(b));
        expect_words(b, {{SIM_REG_DEBUG_RETURN, d.sym["Reset_Handler"]}, {SIM_REG_MSP, dbg_read(b, 0x08000000)},
                         {SIM_REG_XPSR, 1u << 24}, {DFSR, SIM_DFSR_VCATCH}, {DEMCR, SIM_DEMCR_VC_CORERESET}});
        EXPECT_EQ(dbg_read(b, DHCSR) & (SIM_DHCSR_S_RESET_ST | SIM_DHCSR_C_DEBUGEN), SIM_DHCSR_S_RESET_ST | SIM_DHCSR_C_DEBUGEN);
    }
    sim_board_power_on_reset(b); // clears the debug registers too
    EXPECT_EQ(dbg_read(b, DEMCR) | (dbg_read(b, DHCSR) & ~SIM_DHCSR_S_RESET_ST), 0u);
}

TEST(BoardDebug, FaultInsideHardFaultLocksUp) {
    NEED_DEMO(d);
    set_words(b, {{DHCSR, SIM_DHCSR_KEY | SIM_DHCSR_C_DEBUGEN}, {DEMCR, SIM_DEMCR_VC_HARDERR}});
    sim_board_run(b, 2 * kMs);
    dbg_write(b, d.sym["g_fault_trigger"], 1);
    sim_board_run(b, 1 * kMs);
    ASSERT_TRUE(sim_board_is_halted(b));
    ASSERT_EQ(ipsr(b), 3u);
    set_words(b, {{SIM_REG_DEBUG_RETURN, d.sym["fault_udf"]}, {DEMCR, 0}, {DHCSR, SIM_DHCSR_KEY | SIM_DHCSR_C_DEBUGEN}});
    const uint64_t n = sim_board_instr_count(b);
    sim_board_run(b, 1 * kMs);
    EXPECT_TRUE(sim_board_is_locked_up(b) && (dbg_read(b, DHCSR) & SIM_DHCSR_S_LOCKUP));
    EXPECT_EQ(sim_board_instr_count(b), n); // nothing retires in lockup
    EXPECT_EQ(reg(b, SIM_REG_DEBUG_RETURN), 0xFFFFFFFEu);
    dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_HALT); // a halt request leaves lockup
    EXPECT_EQ(dbg_read(b, DHCSR) & (SIM_DHCSR_S_LOCKUP | SIM_DHCSR_S_HALT), SIM_DHCSR_S_HALT);
    dbg_write(b, AIRCR, 0x05FA0004); // and a reset recovers
    sim_board_run(b, 2 * kMs);
    EXPECT_FALSE(sim_board_is_locked_up(b) || sim_board_is_halted(b));
    EXPECT_GT(sim_board_instr_count(b), n + 10000);
}
