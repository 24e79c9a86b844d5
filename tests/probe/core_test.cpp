// Connecting to the simulated STM32F405 running the demo firmware, and
// controlling its core: halt, resume, step, resets, every core register.
#include <vector>
#include <cstring>

#include "probe_fixture.h"

namespace {

uint32_t board_reg(SimRig& rig, unsigned sel) {
    uint32_t v = 0;
    rig.lock();
    EXPECT_TRUE(sim_board_read_core_reg(rig.board(), sel, &v));
    rig.unlock();
    return v;
}

uint32_t board_word(SimRig& rig, uint32_t addr) {
    uint32_t v = 0;
    rig.lock();
    EXPECT_TRUE(sim_board_read_mem(rig.board(), addr, &v, 4));
    rig.unlock();
    return v;
}

}  // namespace

class Core : public ::testing::TestWithParam<SimUsbKind> {};

TEST_P(Core, ConnectLogsEachStepAndLeavesTheCoreRunning) {
    SimRig rig(GetParam());
    DapContext* c = rig_open(GetParam());
    ASSERT_NE(c, nullptr);
    ASSERT_TRUE(dap_connect(c, 1000000, false));
    for (const char* line : {"[DAP] OK: SWJ_Clock 1000000 Hz", "[DAP] DAP_Connect: port=0x01", "[DAP] OK: DAP_Connect(SWD)",
                             "[DAP] OK: SWD_Configure + Transfer_Configure", "[DAP] OK: SWJ_Clock boosted to 4000000 Hz",
                             "[DAP] OK: DPIDR=0x2BA01477", "[DAP] OK: AP IDR=0x24770011", "[DAP] debug_mailbox: AP1_IDR=",
                             "[DAP] OK: AP CSW", "DWT_PCSR enabled", "[DAP] OK: dap_connect complete"})
        EXPECT_TRUE(log_has(line)) << line;
    EXPECT_FALSE(log_has("NXP MCX"));
    EXPECT_EQ(dap_get_state(c), DAP_STATE_RUNNING);
    // DWT_PCSR samples a running core.
    uint32_t pc1 = 0, pc2 = 0;
    ASSERT_TRUE(dap_read_mem32(c, DAP_DWT_PCSR, &pc1));
    ASSERT_TRUE(dap_read_mem32(c, DAP_DWT_PCSR, &pc2));
    EXPECT_GE(pc1, 0x08000000u);
    EXPECT_LT(pc1, 0x08100000u);
    dap_disconnect(c);
    EXPECT_EQ(board_word(rig, DAP_DHCSR) & 1u, 0u);  // C_DEBUGEN off
}

TEST_P(Core, ASleepingSwdPortIsWokenByTheDormantSequenceOnTheThirdAttempt) {
    SimRig rig(GetParam());
    rig.lock();
    rig.probe()->swd.line = SimSwdLine::Dormant;
    rig.unlock();
    DapContext* c = rig_open(GetParam());
    ASSERT_NE(c, nullptr);
    ASSERT_TRUE(dap_connect(c, 1000000, false));
    EXPECT_EQ(log_count_of("[DAP] DPIDR attempt"), 6);  // 3 reads x 2 line-reset attempts
    EXPECT_TRUE(log_has("[DAP] OK: DPIDR=0x2BA01477"));
}

TEST_P(Core, HaltStepResumeAndStateFollowTheCore) {
    SimRig rig(GetParam());
    DapContext* c = rig_open(GetParam());
    ASSERT_NE(c, nullptr);
    ASSERT_TRUE(dap_connect(c, 1000000, false));
    ASSERT_TRUE(dap_halt(c));
    EXPECT_EQ(dap_get_state(c), DAP_STATE_HALTED);
    uint32_t pc = 0;
    ASSERT_TRUE(dap_read_reg(c, 15, &pc));
    EXPECT_EQ(pc, board_reg(rig, 15));
    rig.lock();
    uint64_t n0 = sim_board_instr_count(rig.board());
    rig.unlock();
    ASSERT_TRUE(dap_step(c));
    rig.lock();
    uint64_t n1 = sim_board_instr_count(rig.board());
    rig.unlock();
    EXPECT_EQ(n1 - n0, 1u);
    EXPECT_EQ(board_word(rig, DAP_DHCSR) & 0xFu, 0x3u);  // halted, C_STEP and C_MASKINTS off
    ASSERT_TRUE(dap_resume(c));
    EXPECT_EQ(dap_get_state(c), DAP_STATE_RUNNING);
    ASSERT_TRUE(dap_halt(c));
    // A core that ignores C_HALT: the halt reports failure.
    ASSERT_TRUE(dap_resume(c));
    rig.lock();
    sim_board_set_never_halt(rig.board(), true);
    rig.unlock();
    EXPECT_FALSE(dap_halt(c));
}

TEST_P(Core, EveryCoreRegisterReadsAndWritesThroughTheDebugInterface) {
    SimRig rig(GetParam());
    DapContext* c = rig_open(GetParam());
    ASSERT_NE(c, nullptr);
    ASSERT_TRUE(dap_connect(c, 1000000, false));
    ASSERT_TRUE(dap_halt(c));
    std::vector<int> sels = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 20, 0x21};
    for (int s = 0x40; s <= 0x5F; ++s) sels.push_back(s);  // S0-S31: REGSEL has seven bits
    for (int r : sels) {
        uint32_t v = 0;
        ASSERT_TRUE(dap_read_reg(c, r, &v)) << r;
        EXPECT_EQ(v, board_reg(rig, (unsigned)r)) << r;
        // Values each register can hold: aligned addresses for SP/MSP/PSP, a
        // Thumb state xPSR, PRIMASK/BASEPRI bits for register 20.
        uint32_t w = r == 13 || r == 17 || r == 18 ? 0x20001F00u + 8u * (uint32_t)r
                     : r == 16                     ? 0x01000000u | 0x80000000u
                     : r == 20                     ? 0x00001001u
                     : r == 0x21                   ? 0x03C00000u  // FPSCR: DN, FZ, RMode
                     : r == 15                     ? 0x08000100u
                                                   : 0xA5A50000u | (uint32_t)r;
        ASSERT_TRUE(dap_write_reg(c, r, w)) << r;
        EXPECT_EQ(board_reg(rig, (unsigned)r), w) << r;
    }
    uint32_t regs[16];
    ASSERT_TRUE(dap_read_regs(c, regs));
    for (int i = 0; i < 16; ++i) EXPECT_EQ(regs[i], board_reg(rig, (unsigned)i)) << i;
}

TEST_P(Core, ResetAndHaltStopsAtTheResetVector) {
    SimRig rig(GetParam());
    DapContext* c = rig_open(GetParam());
    ASSERT_NE(c, nullptr);
    ASSERT_TRUE(dap_connect(c, 1000000, false));
    uint32_t reset_vector = board_word(rig, 0x08000004) & ~1u;
    ASSERT_TRUE(dap_reset_halt(c));
    EXPECT_TRUE(log_has("[DAP] reset_halt: reset triggered, waiting for ROM handshake..."));
    EXPECT_TRUE(log_has("S_HALT=1"));
    uint32_t pc = 0;
    ASSERT_TRUE(dap_read_reg(c, 15, &pc));
    EXPECT_EQ(pc, reset_vector);
    EXPECT_EQ(board_word(rig, DAP_DEMCR) & DAP_DEMCR_VC_CORERESET, 0u);  // the catch is cleared again
    // Reset and run: the core leaves the vector behind.
    ASSERT_TRUE(dap_reset(c));
    EXPECT_EQ(dap_get_state(c), DAP_STATE_RUNNING);
}

INSTANTIATE_TEST_SUITE_P(Kinds, Core, ::testing::Values(SimUsbKind::V1Hid, SimUsbKind::V2Bulk512),
                         [](const auto& i) { return std::string(kind_name(i.param)); });
