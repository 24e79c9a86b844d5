// The stepping engine's corner cases, driven on the probe's own context (no
// thread) against the simulated board in virtual time.
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/clock.h"
#include "probe/probe_priv.h"
#include "probe_fixture.h"
#include "runctl/breakpoints.h"
#include "runctl/step.h"
#include "sim/board.h"
#include "sim/cortexm.h"
#include "symbols/elf_dwarf.h"

namespace {

constexpr uint32_t kRam = 0x20008000;  // no line information, and outside the FPB's Code region

class StepEdge : public ::testing::Test {
protected:
    void SetUp() override {
        rig_ = std::make_unique<SimRig>(SimUsbKind::V2Bulk512, "demo_O0_dwarf4.elf", true, 4);
        ASSERT_NE(rig_->sys, nullptr);
        ASSERT_NE(elf_ = elf_dwarf_load(KORVANE_DEMO_FW_DIR "/demo_O0_dwarf4.elf"), nullptr);
        step_set_image(elf_);
        ASSERT_NE(s_dap = rig_open(SimUsbKind::V2Bulk512), nullptr);
        ASSERT_TRUE(dap_connect(s_dap, 1000000, false));
        memset(g_bkpt, 0, sizeof g_bkpt);  // no probe thread runs here
        ASSERT_TRUE(dbg_reset_halt());
        g_cmd_busy = 0;
        g_stop = false;  // a thread test before may have stopped its thread
    }
    void TearDown() override {
        s_dap = nullptr;
        g_is_halted = false;
        step_set_image(nullptr);
        elf_dwarf_free(elf_);
        rig_.reset();
    }
    uint32_t sym(const char* name) {
        uint32_t a = 0;
        EXPECT_TRUE(elf_dwarf_find_function(elf_, name, &a)) << name;
        return a & ~1u;
    }
    uint32_t line(const char* file, uint32_t n) { return elf_dwarf_line_to_addr(elf_, file, n) & ~1u; }
    uint32_t pc() {
        uint32_t v = 0;
        EXPECT_TRUE(dbg_read_reg(15, &v));
        return v & ~1u;
    }
    void set_pc(uint32_t a) { ASSERT_TRUE(dbg_write_reg(15, a | 1)); }
    // From reset to addr with the code before it run, as a user gets there.
    void run_to(uint32_t a) {
        ASSERT_TRUE(dbg_reset_halt());
        ASSERT_TRUE(bp_set(a));
        ASSERT_TRUE(dbg_resume());
        for (int i = 0; i < 50 && !dbg_is_halted(); ++i) plat_sleep_ms(100);
        ASSERT_EQ(pc(), a);
        set_halted("HALT");
        bp_clear(a);
    }
    // One command as the probe thread runs it: dispatch, then polls 200 ms apart.
    void command(int cmd, uint32_t addr = 0) {
        g_cmd_busy = 1;
        if (step_dispatch(cmd, addr))
            for (int i = 0; i < 1000 && !step_poll(); ++i) plat_sleep_ms(200);
        EXPECT_EQ(g_cmd_busy, 0) << "every command ends by clearing busy";
        EXPECT_EQ(step_mode(), STEP_MODE_NONE);
        uint32_t a;
        EXPECT_FALSE(step_owns_temp_bp(&a));
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        EXPECT_EQ(bkpt_count(), user_bkpts_) << "no breakpoint leaked";
    }
    static bool in_fpb(uint32_t a) {
        for (int n = 0; n < 8; ++n)
            if (dap_fpb_comparator(n) == a) return true;
        return false;
    }
    std::unique_ptr<SimRig> rig_;
    ElfDwarf* elf_ = nullptr;
    int user_bkpts_ = 0;
};

}  // namespace

// Where a step ends, what it logs, and that only the step out waits out the timeout.
TEST_F(StepEdge, StepsWhereNoLineOrALoopWouldHoldThem) {
    // wfi; wfe; bl kRam + 10; b .; bx lr
    const uint16_t code[] = {0xBF30, 0xBF20, 0xF000, 0xF801, 0xE7FE, 0x4770};
    for (uint32_t i = 0; i < 6; i += 2)
        ASSERT_TRUE(dap_write_mem32(s_dap, kRam + 2 * i, code[i] | (uint32_t)code[i + 1] << 16));
    const uint32_t spin = sym("Default_Handler"), bkpt = sym("fault_bkpt");  // b .; bkpt #0x42
    const struct {
        bool from_reset;  // run there, or the PC set there
        uint32_t from;
        int cmd;
        uint32_t to;
        std::vector<const char*> logs;
    } cases[] = {
        {false, spin, PROBE_CMD_STEP, spin, {"StepOver: ASM step done"}},
        {false, bkpt, PROBE_CMD_STEP, bkpt, {"StepOver: ASM step done"}},
        {false, kRam, PROBE_CMD_STEP, kRam + 2, {"StepOver: ASM done"}},
        {false, kRam + 2, PROBE_CMD_STEP, kRam + 4, {"StepOver: ASM done"}},
        // A call without lines is run, but its return in RAM takes no breakpoint: nothing runs.
        {false, kRam + 4, PROBE_CMD_STEP, kRam + 4,
         {"call run to its return", "[FPB] 0x20008008 is outside the Code region", "StepOver: BP failed"}},
        // The loop's last line goes round to for (;;), where gdb's next stops too.
        {false, line("main.c", 118), PROBE_CMD_STEP, line("main.c", 97), {"StepOver: done"}},
        // A step out to an LR (0x08000001 for every case) that the code never reaches.
        {false, spin, PROBE_CMD_STEP_OUT, spin, {"[DBG] Step: timeout \xE2\x80\x94 halting core"}},
        // Copying .data on one line: run to its exit, not stepped for ever.
        {true, line("startup.c", 81), PROBE_CMD_STEP, line("startup.c", 82), {"loops \xE2\x80\x94 running to its"}},
        {true, line("startup.c", 81), PROBE_CMD_STEP_INTO, line("startup.c", 82), {"loops \xE2\x80\x94 running to its"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.from << " " << c.cmd);
        log_clear(&logv);
        if (c.from_reset) run_to(c.from);
        else set_pc(c.from);
        ASSERT_TRUE(dbg_write_reg(14, 0x08000001));
        const uint64_t t0 = plat_time_ms();
        command(c.cmd);
        EXPECT_EQ(pc(), c.to);
        for (const char* l : c.logs) EXPECT_TRUE(log_has(l)) << l;
        EXPECT_EQ(plat_time_ms() - t0 >= STEP_TIMEOUT_MS, c.cmd == PROBE_CMD_STEP_OUT);
    }
}

TEST_F(StepEdge, StepOversThroughTheLoopNeverEndInTheTickInterrupt) {
    // SysTick fires every millisecond once main has started it.
    run_to(line("main.c", 98));
    ElfLocation loc{};
    for (int i = 0; i < 25; ++i) {
        command(PROBE_CMD_STEP);
        ASSERT_TRUE(elf_dwarf_lookup(elf_, pc(), &loc));
        EXPECT_STREQ(loc.func, "main") << "step " << i;
    }
}

TEST_F(StepEdge, StepsNeedAHaltedCore) {
    ASSERT_TRUE(dbg_resume());
    g_is_halted = false;
    for (int cmd : {PROBE_CMD_STEP, PROBE_CMD_STEP_INTO, PROBE_CMD_STEP_ASM}) command(cmd);
    EXPECT_TRUE(log_has("[DBG] StepOver: core not halted"));
}

TEST_F(StepEdge, AUserBreakpointOutlivesAStepToItAndThePanelTogglesIt) {
    const uint32_t l93 = line("main.c", 93);
    ASSERT_TRUE(bp_set(l93));
    user_bkpts_ = 1;
    set_pc(line("main.c", 92));
    command(PROBE_CMD_STEP);
    EXPECT_EQ(pc(), l93);
    EXPECT_TRUE(bp_is_set(l93) && in_fpb(l93)) << "the step's end was the user's breakpoint";
    command(PROBE_CMD_BKPT_TOGGLE, 0);
    EXPECT_TRUE(log_has("[BKP] Disabled @ "));
    EXPECT_FALSE(in_fpb(l93));
    command(PROBE_CMD_BKPT_TOGGLE, 0);
    EXPECT_TRUE(log_has("[BKP] Enabled @ "));
    EXPECT_TRUE(in_fpb(l93));
}

TEST_F(StepEdge, ResetIsTriedThreeTimes500msApart) {
    int64_t took[4] = {};
    for (int skips : {2, 3}) {  // resets that slip past the vector catch
        SCOPED_TRACE(skips);
        log_clear(&logv);
        rig_->lock();
        sim_board_core(rig_->board())->fault_skip_reset_catch = skips;
        rig_->unlock();
        const uint64_t t0 = plat_time_ms();
        command(PROBE_CMD_RESET);
        took[skips] = (int64_t)(plat_time_ms() - t0);
        EXPECT_TRUE(log_has("[DBG] Reset: retry 3/3"));
        EXPECT_EQ(log_has("[DBG] Reset: halted at reset vector"), skips < 3);
        EXPECT_EQ(log_has("[DBG] Reset: failed"), skips == 3);
        if (skips < 3) {
            EXPECT_EQ(pc(), sym("Reset_Handler"));
        }
    }
    // took[3]: three missed resets and the pauses; took[2]: two, one that halts (h)
    // and the pauses. So 3 * took[2] - 2 * took[3] = the pauses + 3h.
    EXPECT_GE(3 * took[2] - 2 * took[3], 1000) << "two 500 ms pauses";
}
