// The stepping engine's corner cases, driven directly on the probe's own
// context (no thread) against the simulated board in virtual time.
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

class StepEdge : public ::testing::Test {
protected:
    void SetUp() override {
        rig_ = std::make_unique<SimRig>(SimUsbKind::V2Bulk512, "demo_O0_dwarf4.elf", true, 4);
        ASSERT_NE(rig_->sys, nullptr);
        elf_ = elf_dwarf_load(KORVANE_DEMO_FW_DIR "/demo_O0_dwarf4.elf");
        ASSERT_NE(elf_, nullptr);
        step_set_image(elf_);
        DapContext* c = rig_open(SimUsbKind::V2Bulk512);
        ASSERT_NE(c, nullptr);
        ASSERT_TRUE(dap_connect(c, 1000000, false));
        s_dap = c;
        {
            std::lock_guard<std::mutex> lk(reg_buf_mtx);
            memset(g_bkpt, 0, sizeof g_bkpt);
        }
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
        return a;
    }
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
    std::unique_ptr<SimRig> rig_;
    ElfDwarf* elf_ = nullptr;
    int user_bkpts_ = 0;
};

}  // namespace

TEST_F(StepEdge, SelfLoopAndBkptExecuteExactlyOneInstruction) {
    uint32_t loop = sym("Default_Handler");  // b .
    set_pc(loop);
    command(PROBE_CMD_STEP);
    EXPECT_TRUE(log_has("[DBG] StepOver: ASM step done"));
    EXPECT_EQ(pc(), loop) << "a branch to itself goes nowhere";
    log_clear(&logv);
    uint32_t bkpt = sym("fault_bkpt");  // starts with bkpt #0x42
    set_pc(bkpt);
    command(PROBE_CMD_STEP);
    EXPECT_TRUE(log_has("[DBG] StepOver: ASM step done"));
}

TEST_F(StepEdge, LoopEndsAndOneLineLoopsEndOnTheNextLine) {
    // main.c:118 (g_loop_count++) ends the loop: the step goes round to its head.
    uint32_t l118 = elf_dwarf_line_to_addr(elf_, "main.c", 118) & ~1u;
    set_pc(l118);
    command(PROBE_CMD_STEP);
    ElfLocation loc;
    ASSERT_TRUE(elf_dwarf_lookup(elf_, pc(), &loc));
    EXPECT_EQ(loc.line, 97u) << "for (;;), where gdb's next stops too";
    ElfRow row;
    ASSERT_TRUE(elf_dwarf_row_at(elf_, pc(), &row));
    EXPECT_EQ(pc(), row.start) << "at the start of the line";
    // startup.c:81 copies .data in a loop on one line: run to its exits, not stepped for ever.
    uint32_t l81 = elf_dwarf_line_to_addr(elf_, "startup.c", 81) & ~1u;
    ASSERT_NE(l81, 0u);
    for (int cmd : {PROBE_CMD_STEP, PROBE_CMD_STEP_INTO}) {
        log_clear(&logv);
        run_to(l81);
        command(cmd);
        EXPECT_TRUE(log_has("loops \xE2\x80\x94 running to its")) << cmd;
        ASSERT_TRUE(elf_dwarf_lookup(elf_, pc(), &loc));
        EXPECT_NE(loc.line, 81u) << cmd;
        EXPECT_STREQ(loc.func, "Reset_Handler") << cmd;
    }
}

TEST_F(StepEdge, AReturnThatNeverComesTimesOutAfter30s) {
    // A plausible return address the code never reaches.
    set_pc(sym("Default_Handler"));  // b . : it never returns
    ASSERT_TRUE(dbg_write_reg(14, 0x08000001));
    uint64_t t0 = plat_time_ms();
    command(PROBE_CMD_STEP_OUT);
    EXPECT_TRUE(log_has("[DBG] Step: timeout \xE2\x80\x94 halting core"));
    EXPECT_TRUE(log_has("[DBG] Step: timeout"));
    EXPECT_GE(plat_time_ms() - t0, (uint64_t)STEP_TIMEOUT_MS);
    EXPECT_TRUE(dbg_is_halted());
}

TEST_F(StepEdge, StepsNeedAHaltedCore) {
    ASSERT_TRUE(dbg_resume());
    g_is_halted = false;
    command(PROBE_CMD_STEP);
    EXPECT_TRUE(log_has("[DBG] StepOver: core not halted"));
    command(PROBE_CMD_STEP_INTO);
    command(PROBE_CMD_STEP_ASM);
}

TEST_F(StepEdge, AUserBreakpointAtTheTargetIsNotRemovedWithTheStep) {
    uint32_t l93 = elf_dwarf_line_to_addr(elf_, "main.c", 93) & ~1u;
    uint32_t l92 = elf_dwarf_line_to_addr(elf_, "main.c", 92) & ~1u;
    ASSERT_TRUE(bp_set(l93));
    user_bkpts_ = 1;
    set_pc(l92);
    command(PROBE_CMD_STEP);
    EXPECT_EQ(pc(), l93);
    EXPECT_TRUE(bp_is_set(l93)) << "the user's breakpoint stays";
    bool held = false;
    for (int n = 0; n < 8; ++n) held |= dap_fpb_comparator(n) == l93;
    EXPECT_TRUE(held);
}

TEST_F(StepEdge, StepOversThroughTheLoopNeverEndInTheTickInterrupt) {
    // SysTick fires every millisecond once main has started it; a step over
    // runs to the next line, so the handler comes and goes inside the step.
    run_to(elf_dwarf_line_to_addr(elf_, "main.c", 98) & ~1u);
    ElfLocation loc;
    for (int i = 0; i < 25; ++i) {
        command(PROBE_CMD_STEP);
        ASSERT_TRUE(elf_dwarf_lookup(elf_, pc(), &loc));
        EXPECT_STRNE(loc.func, "SysTick_Handler") << "step " << i;
        EXPECT_NE(strstr(loc.file, "main.c"), nullptr) << "step " << i << " ended in " << loc.file;
    }
}

namespace {
// Thumb code placed in RAM, where the image has no line information.
void put_code(uint32_t addr, std::initializer_list<uint16_t> halfwords) {
    std::vector<uint16_t> h(halfwords);
    if (h.size() % 2) h.push_back(0xBF00);
    for (size_t i = 0; i < h.size(); i += 2) ASSERT_TRUE(dap_write_mem32(s_dap, addr + 2 * (uint32_t)i, h[i] | (uint32_t)h[i + 1] << 16));
}
}  // namespace

TEST_F(StepEdge, WfiAndWfeWithoutLinesAreSteppedOneInstruction) {
    const uint32_t ram = 0x20008000;
    put_code(ram, {0xBF30, 0xBF20, 0xE7FE});  // wfi; wfe; b .
    set_pc(ram);
    command(PROBE_CMD_STEP);
    EXPECT_EQ(pc(), ram + 2);
    command(PROBE_CMD_STEP);
    EXPECT_EQ(pc(), ram + 4);
    EXPECT_EQ(log_count_of("[DBG] StepOver: ASM done"), 2);
}

TEST_F(StepEdge, ACallWithoutLinesIsRunAndRamRefusesBreakpoints) {
    const uint32_t ram = 0x20008000;
    // bl ram+8; b . ; (pad) ; ram+8: bx lr. RAM has no line information, and
    // no hardware breakpoint can sit there: the FPB watches the Code region only.
    put_code(ram, {0xF000, 0xF802, 0xE7FE, 0xBF00, 0x4770, 0xBF00});
    set_pc(ram);
    command(PROBE_CMD_STEP);
    EXPECT_TRUE(log_has("call run to its return"));
    EXPECT_TRUE(log_has("[FPB] 0x20008004 is outside the Code region"));
    EXPECT_TRUE(log_has("[DBG] StepOver: BP failed"));
    EXPECT_FALSE(log_has("[DBG] Step: timeout"));
    EXPECT_EQ(pc(), ram) << "nothing ran";
}

TEST_F(StepEdge, ThePanelToggleGoesThroughTheEngine) {
    uint32_t l93 = elf_dwarf_line_to_addr(elf_, "main.c", 93) & ~1u;
    ASSERT_TRUE(bp_set(l93));
    user_bkpts_ = 1;
    command(PROBE_CMD_BKPT_TOGGLE, 0);
    EXPECT_TRUE(log_has("[BKP] Disabled @ "));
    for (int n = 0; n < 8; ++n) EXPECT_NE(dap_fpb_comparator(n), l93) << "out of the hardware";
    command(PROBE_CMD_BKPT_TOGGLE, 0);
    EXPECT_TRUE(log_has("[BKP] Enabled @ "));
    bool held = false;
    for (int n = 0; n < 8; ++n) held |= dap_fpb_comparator(n) == l93;
    EXPECT_TRUE(held);
}

TEST_F(StepEdge, ResetIsTriedThreeTimes500msApart) {
    rig_->lock();
    sim_board_core(rig_->board())->fault_skip_reset_catch = 2;
    rig_->unlock();
    uint64_t t0 = plat_time_ms();
    command(PROBE_CMD_RESET);
    EXPECT_TRUE(log_has("[DBG] Reset: retry 2/3"));
    EXPECT_TRUE(log_has("[DBG] Reset: retry 3/3"));
    EXPECT_TRUE(log_has("[DBG] Reset: halted at reset vector"));
    EXPECT_GE(plat_time_ms() - t0, 1000u) << "two 500 ms pauses";
    EXPECT_EQ(pc(), sym("Reset_Handler"));
    log_clear(&logv);
    rig_->lock();
    sim_board_core(rig_->board())->fault_skip_reset_catch = 3;
    rig_->unlock();
    command(PROBE_CMD_RESET);
    EXPECT_TRUE(log_has("[DBG] Reset: failed"));
    EXPECT_FALSE(log_has("[DBG] Reset: halted"));
}
