// Halting debug through the debug port: DHCSR, C_STEP, DCRSR/DCRDR, vector
// catch, resets, lockup, fault injection.
#include "board_helpers_test.h"

#include <vector>

using namespace board_test;

#define NEED_DEMO(d)                                                                       \
    Demo d;                                                                                \
    if (!load_demo(&d)) GTEST_SKIP() << "demo firmware or arm-none-eabi-nm not available"; \
    SimBoard* b = d.board.get()

namespace {

struct Insn {
    uint32_t addr;
    std::string mnemonic, operands;
};

// The listing arm-none-eabi-objdump gives: address order, one entry per instruction.
std::vector<Insn> disassemble(const std::string& elf) {
    std::vector<Insn> out;
    const std::string text = run_tool("arm-none-eabi-objdump -d --no-show-raw-insn " + elf + " 2>/dev/null");
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) eol = text.size();
        const std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        unsigned long addr = 0;
        int consumed = 0;
        if (std::sscanf(line.c_str(), " %lx:%n", &addr, &consumed) != 1 || consumed == 0) continue;
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        std::string rest = line.substr(tab + 1);
        const size_t sp = rest.find_first_of("\t ");
        Insn in{static_cast<uint32_t>(addr), rest.substr(0, sp), sp == std::string::npos ? "" : rest.substr(sp + 1)};
        if (in.mnemonic.empty() || in.mnemonic[0] == '.') continue; // data words
        out.push_back(in);
    }
    return out;
}

bool changes_flow(const Insn& in) {
    const std::string& m = in.mnemonic;
    if (m[0] == 'b' && m.rfind("bic", 0) != 0) return true; // b, bl, bx, blx, bne...
    if (m.rfind("cb", 0) == 0 || m.rfind("tb", 0) == 0 || m.rfind("it", 0) == 0) return true;
    if (m.rfind("pop", 0) == 0 || m.rfind("ldm", 0) == 0 || m.rfind("ldr", 0) == 0 || m.rfind("mov", 0) == 0 ||
        m.rfind("add", 0) == 0)
        return in.operands.find("pc") != std::string::npos && in.operands.find("[pc") == std::string::npos;
    return m == "svc" || m == "udf" || m == "bkpt" || m == "wfi" || m == "wfe";
}

} // namespace

TEST(BoardDebug, StepExecutesExactlyOneInstruction) {
    NEED_DEMO(d);
    const std::vector<Insn> listing = disassemble(d.elf);
    if (listing.empty()) GTEST_SKIP() << "arm-none-eabi-objdump not available";
    sim_board_run(b, 2 * kMs);
    dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_HALT);
    sim_board_run(b, 1000);
    ASSERT_TRUE(sim_board_is_halted(b));
    // Interrupts masked while stepping, so the walk stays in main's code.
    unsigned compared = 0;
    for (int i = 0; i < 300; ++i) {
        const uint32_t pc = reg(b, SIM_REG_DEBUG_RETURN);
        const uint64_t n = sim_board_instr_count(b);
        size_t k = 0;
        while (k < listing.size() && listing[k].addr != pc) ++k;
        ASSERT_LT(k, listing.size()) << "PC " << std::hex << pc << " is not an instruction boundary";
        dbg_write(b, DFSR, 0x1F);
        dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_MASKINTS | SIM_DHCSR_C_STEP);
        sim_board_run(b, 100 * 1000);
        ASSERT_TRUE(sim_board_is_halted(b));
        EXPECT_EQ(dbg_read(b, DFSR) & 0x1F, SIM_DFSR_HALTED);
        EXPECT_EQ(sim_board_instr_count(b), n + 1);
        if (!changes_flow(listing[k]) && k + 1 < listing.size()) {
            EXPECT_EQ(reg(b, SIM_REG_DEBUG_RETURN), listing[k + 1].addr)
                << listing[k].mnemonic << " " << listing[k].operands << " at " << std::hex << pc;
            ++compared;
        }
    }
    EXPECT_GT(compared, 150u);
}

TEST(BoardDebug, HaltNeedsTheKeyAndDebugEnable) {
    NEED_DEMO(d);
    sim_board_run(b, 1 * kMs);
    dbg_write(b, DHCSR, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_HALT); // no DBGKEY
    sim_board_run(b, 1000);
    EXPECT_FALSE(sim_board_is_halted(b));
    dhcsr(b, SIM_DHCSR_C_HALT); // key, but C_DEBUGEN clear
    sim_board_run(b, 1000);
    EXPECT_FALSE(sim_board_is_halted(b));
    dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_HALT);
    sim_board_run(b, 1000);
    EXPECT_TRUE(sim_board_is_halted(b));
    EXPECT_EQ(dbg_read(b, DFSR) & 0x1F, SIM_DFSR_HALTED);
    EXPECT_TRUE(dbg_read(b, DHCSR) & SIM_DHCSR_S_REGRDY);
    dhcsr(b, SIM_DHCSR_C_DEBUGEN); // resume
    const uint64_t n = sim_board_instr_count(b);
    sim_board_run(b, 1 * kMs);
    EXPECT_FALSE(sim_board_is_halted(b));
    EXPECT_GT(sim_board_instr_count(b), n + 10000);
    EXPECT_TRUE(dbg_read(b, DHCSR) & SIM_DHCSR_S_RETIRE_ST);
    EXPECT_FALSE(dbg_read(b, DHCSR) & SIM_DHCSR_S_RETIRE_ST); // cleared by the read
}

TEST(BoardDebug, EveryCoreRegisterThroughDcrsr) {
    NEED_DEMO(d);
    sim_board_run(b, 1 * kMs);
    uint32_t v = 0;
    // Not halted: no transfer, S_REGRDY stays clear.
    EXPECT_FALSE(core_reg_read(b, 0, &v));
    dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_HALT);
    sim_board_run(b, 1000);
    ASSERT_TRUE(sim_board_is_halted(b));
    std::vector<unsigned> sels;
    for (unsigned i = 0; i <= 12; ++i) sels.push_back(i);
    sels.push_back(SIM_REG_LR);
    sels.push_back(SIM_REG_FPSCR);
    for (unsigned i = 0; i < 32; ++i) sels.push_back(SIM_REG_S0 + i);
    for (unsigned sel : sels) {
        const uint32_t pattern = 0x13570000u ^ (sel * 0x01010101u);
        ASSERT_TRUE(core_reg_write(b, sel, pattern)) << sel;
        ASSERT_TRUE(core_reg_read(b, sel, &v)) << sel;
        const uint32_t want = sel == SIM_REG_FPSCR ? (pattern & 0xF7C0009F) : pattern;
        EXPECT_EQ(v & (sel == SIM_REG_FPSCR ? 0xF7C0009Fu : ~0u), want) << "selector " << std::hex << sel;
    }
    // SP banking: MSP and PSP hold their own values; SP is the active one.
    ASSERT_TRUE(core_reg_write(b, SIM_REG_MSP, 0x20001000));
    ASSERT_TRUE(core_reg_write(b, SIM_REG_PSP, 0x20002000));
    ASSERT_TRUE(core_reg_read(b, SIM_REG_SP, &v));
    EXPECT_EQ(v, 0x20001000u);
    // CONTROL.SPSEL = 1 in thread mode: SP is now the PSP.
    ASSERT_TRUE(core_reg_write(b, SIM_REG_CONTROL_PACKED, 0x02000000u | (0x40u << 8) | 1u));
    ASSERT_TRUE(core_reg_read(b, SIM_REG_SP, &v));
    EXPECT_EQ(v, 0x20002000u);
    ASSERT_TRUE(core_reg_read(b, SIM_REG_CONTROL_PACKED, &v));
    EXPECT_EQ(v, 0x02004001u);
    ASSERT_TRUE(core_reg_write(b, SIM_REG_SP, 0x20002100));
    ASSERT_TRUE(core_reg_read(b, SIM_REG_PSP, &v));
    EXPECT_EQ(v, 0x20002100u);
    ASSERT_TRUE(core_reg_read(b, SIM_REG_MSP, &v));
    EXPECT_EQ(v, 0x20001000u);
    // Unprivileged thread mode (nPRIV) must not lock the debugger out.
    ASSERT_TRUE(core_reg_write(b, SIM_REG_CONTROL_PACKED, 0x03000000u));
    ASSERT_TRUE(core_reg_write(b, SIM_REG_MSP, 0x20000800));
    ASSERT_TRUE(core_reg_read(b, SIM_REG_MSP, &v));
    EXPECT_EQ(v, 0x20000800u);
    ASSERT_TRUE(core_reg_write(b, SIM_REG_CONTROL_PACKED, 0));
    ASSERT_TRUE(core_reg_read(b, SIM_REG_CONTROL_PACKED, &v));
    EXPECT_EQ(v, 0u);
    ASSERT_TRUE(core_reg_read(b, SIM_REG_SP, &v));
    EXPECT_EQ(v, 0x20000800u);
    // xPSR: flags, IPSR and T written and read back.
    ASSERT_TRUE(core_reg_write(b, SIM_REG_XPSR, 0xA1000000u));
    ASSERT_TRUE(core_reg_read(b, SIM_REG_XPSR, &v));
    EXPECT_EQ(v, 0xA1000000u);
    ASSERT_TRUE(core_reg_write(b, SIM_REG_XPSR, 0x510A0000u)); // Z, V, T and GE = 0b1010
    ASSERT_TRUE(core_reg_read(b, SIM_REG_XPSR, &v));
    EXPECT_EQ(v, 0x510A0000u);
    // DebugReturnAddress.
    const uint32_t main_addr = d.sym["main"];
    ASSERT_TRUE(core_reg_write(b, SIM_REG_DEBUG_RETURN, main_addr));
    ASSERT_TRUE(core_reg_read(b, SIM_REG_DEBUG_RETURN, &v));
    EXPECT_EQ(v, main_addr);
    // A selector that does not exist never completes.
    EXPECT_FALSE(core_reg_read(b, 0x19, &v));
    EXPECT_FALSE(core_reg_read(b, 0x7F, &v));
}

TEST(BoardDebug, FloatingPointRegistersSurviveAnExceptionRoundTrip) {
    NEED_DEMO(d);
    // The demo computes floats in its main loop: CONTROL.FPCA is set there,
    // so SysTick entries use the 26-word frame and must restore S0-S15.
    sim_board_run(b, 20 * kMs);
    const uint32_t t0 = mem32(b, d.sym["g_tick_count"]);
    sim_board_run(b, 20 * kMs);
    EXPECT_NEAR(static_cast<double>(mem32(b, d.sym["g_tick_count"]) - t0), 20.0, 1.0);
    EXPECT_FALSE(sim_board_is_locked_up(b));
    EXPECT_EQ(dbg_read(b, CFSR), 0u);
    EXPECT_EQ(dbg_read(b, HFSR), 0u);
}

TEST(BoardDebug, ResetThroughAircrHaltsAtTheVectorOnlyWithVcCorereset) {
    NEED_DEMO(d);
    const uint32_t reset_vector = mem32(b, 0x08000004) & ~1u;
    const uint32_t initial_sp = mem32(b, 0x08000000);
    dhcsr(b, SIM_DHCSR_C_DEBUGEN);
    sim_board_run(b, 2 * kMs);
    (void)dbg_read(b, DHCSR); // clear the sticky bits of the power-on reset
    EXPECT_FALSE(dbg_read(b, DHCSR) & SIM_DHCSR_S_RESET_ST);
    // Without VECTKEY nothing happens.
    dbg_write(b, AIRCR, 4);
    sim_board_run(b, 1000);
    EXPECT_FALSE(dbg_read(b, DHCSR) & SIM_DHCSR_S_RESET_ST);
    // Without VC_CORERESET the core runs on after the reset.
    dbg_write(b, AIRCR, 0x05FA0004);
    sim_board_run(b, 1000);
    EXPECT_FALSE(sim_board_is_halted(b));
    EXPECT_TRUE(dbg_read(b, DHCSR) & SIM_DHCSR_S_RESET_ST);
    EXPECT_FALSE(dbg_read(b, DHCSR) & SIM_DHCSR_S_RESET_ST); // reads once as set
    const uint32_t pc = reg(b, SIM_REG_DEBUG_RETURN); // 16 instructions into the reset handler
    EXPECT_GE(pc, d.sym["Reset_Handler"]);
    EXPECT_LT(pc, d.sym["Reset_Handler"] + 0x60);
    // With VC_CORERESET it halts on the first instruction of the reset handler.
    dbg_write(b, DEMCR, SIM_DEMCR_VC_CORERESET);
    dbg_write(b, DFSR, 0x1F);
    dbg_write(b, AIRCR, 0x05FA0004);
    sim_board_run(b, 1000);
    ASSERT_TRUE(sim_board_is_halted(b));
    EXPECT_EQ(reg(b, SIM_REG_DEBUG_RETURN), reset_vector);
    EXPECT_EQ(reg(b, SIM_REG_MSP), initial_sp);
    EXPECT_EQ(reg(b, SIM_REG_XPSR), 1u << 24);
    EXPECT_EQ(dbg_read(b, DFSR) & 0x1F, SIM_DFSR_VCATCH);
    EXPECT_TRUE(dbg_read(b, DHCSR) & SIM_DHCSR_S_RESET_ST);
    // The debug registers survived the system reset.
    EXPECT_EQ(dbg_read(b, DEMCR), SIM_DEMCR_VC_CORERESET);
    EXPECT_TRUE(dbg_read(b, DHCSR) & SIM_DHCSR_C_DEBUGEN);
    // A power-on reset clears them.
    sim_board_power_on_reset(b);
    EXPECT_EQ(dbg_read(b, DEMCR), 0u);
    EXPECT_FALSE(dbg_read(b, DHCSR) & SIM_DHCSR_C_DEBUGEN);
    EXPECT_FALSE(sim_board_is_halted(b));
}

TEST(BoardDebug, NresetPinHoldsAndReleasesTheCore) {
    NEED_DEMO(d);
    SimTargetLines lines = sim_board_lines(b);
    dhcsr(b, SIM_DHCSR_C_DEBUGEN);
    dbg_write(b, DEMCR, SIM_DEMCR_VC_CORERESET);
    sim_board_run(b, 1 * kMs);
    lines.set_nreset(lines.ctx, true);
    const uint64_t n = sim_board_instr_count(b);
    sim_board_run(b, 1 * kMs);
    EXPECT_EQ(sim_board_instr_count(b), n);
    EXPECT_TRUE(dbg_read(b, DHCSR) & SIM_DHCSR_S_RESET_ST);
    EXPECT_TRUE(dbg_read(b, DHCSR) & SIM_DHCSR_S_RESET_ST); // held: still in reset
    lines.set_nreset(lines.ctx, false);
    sim_board_run(b, 1000);
    EXPECT_TRUE(sim_board_is_halted(b));
    EXPECT_EQ(reg(b, SIM_REG_DEBUG_RETURN), mem32(b, 4) & ~1u);
    bool dack = false, sack = false;
    lines.power_request(lines.ctx, true, true, &dack, &sack);
    EXPECT_TRUE(dack);
    EXPECT_TRUE(sack);
}

TEST(BoardDebug, FaultInsideHardFaultLocksUp) {
    NEED_DEMO(d);
    dhcsr(b, SIM_DHCSR_C_DEBUGEN);
    dbg_write(b, DEMCR, SIM_DEMCR_VC_HARDERR);
    sim_board_run(b, 2 * kMs);
    dbg_write(b, d.sym["g_fault_trigger"], 1);
    sim_board_run(b, 1 * kMs);
    ASSERT_TRUE(sim_board_is_halted(b));
    ASSERT_EQ(reg(b, SIM_REG_XPSR) & 0x1FF, 3u);
    // Send the HardFault handler into the UDF.
    ASSERT_TRUE(core_reg_write(b, SIM_REG_DEBUG_RETURN, d.sym["fault_udf"]));
    dbg_write(b, DEMCR, 0);
    dhcsr(b, SIM_DHCSR_C_DEBUGEN);
    const uint64_t n = sim_board_instr_count(b);
    sim_board_run(b, 1 * kMs);
    EXPECT_TRUE(sim_board_is_locked_up(b));
    EXPECT_TRUE(dbg_read(b, DHCSR) & SIM_DHCSR_S_LOCKUP);
    EXPECT_EQ(sim_board_instr_count(b), n); // nothing retires in lockup
    EXPECT_EQ(reg(b, SIM_REG_DEBUG_RETURN), 0xFFFFFFFEu);
    // A halt request leaves lockup; a reset recovers.
    dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_HALT);
    EXPECT_TRUE(sim_board_is_halted(b));
    EXPECT_FALSE(dbg_read(b, DHCSR) & SIM_DHCSR_S_LOCKUP);
    dbg_write(b, AIRCR, 0x05FA0004);
    sim_board_run(b, 2 * kMs);
    EXPECT_FALSE(sim_board_is_locked_up(b));
    EXPECT_FALSE(sim_board_is_halted(b));
    EXPECT_GT(sim_board_instr_count(b), n + 10000);
}

TEST(BoardDebug, FaultInjection) {
    NEED_DEMO(d);
    sim_board_set_never_halt(b, true);
    dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_HALT);
    sim_board_run(b, 1 * kMs);
    EXPECT_FALSE(sim_board_is_halted(b));
    EXPECT_FALSE(dbg_read(b, DHCSR) & SIM_DHCSR_S_HALT);
    sim_board_set_never_halt(b, false);
    sim_board_hold_in_reset(b, true);
    const uint64_t n = sim_board_instr_count(b);
    sim_board_run(b, 1 * kMs);
    EXPECT_EQ(sim_board_instr_count(b), n);
    EXPECT_TRUE(dbg_read(b, DHCSR) & SIM_DHCSR_S_RESET_ST);
    EXPECT_EQ(dbg_read(b, 0xE000ED00), 0x410FC241u); // the SCS still answers
    sim_board_hold_in_reset(b, false);
    sim_board_run(b, 1 * kMs);
    EXPECT_GT(sim_board_instr_count(b), n);
}
