// Breakpoints and every step mode end to end: the probe thread, the stepping
// engine and the FPB against the simulated board running the demo firmware.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "probe/probe.h"
#include "probe/watch_list.h"
#include "board_run.h"
#include "symbols/elf_dwarf.h"

namespace {

class Step : public ::testing::TestWithParam<const char*> {
protected:
    void start(uint8_t fpb_version = 0) {
        b_ = std::make_unique<BoardRun>(GetParam(), fpb_version, listed_);
        ASSERT_TRUE(b_->ok()) << b_->rig.err;
        elf_ = b_->elf;
    }
    bool run(int cmd, uint32_t addr = 0, const char* ends_with = nullptr) { return b_->run(cmd, addr, ends_with); }
    uint32_t pc() {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        return reg_buf[15] & ~1u;
    }
    ElfLocation where() {
        ElfLocation loc = {};
        elf_dwarf_lookup(elf_, pc(), &loc);
        return loc;
    }
    uint32_t addr_of(const char* file, uint32_t line) { return elf_dwarf_line_to_addr(elf_, file, line) & ~1u; }
    void expect_no_leftovers() {
        uint32_t a;
        EXPECT_FALSE(step_owns_temp_bp(&a));
        EXPECT_EQ(step_mode(), STEP_MODE_NONE);
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        EXPECT_EQ(bkpt_count(), user_bkpts_);
    }
    void to_main() {
        uint32_t main_addr = 0;
        ASSERT_TRUE(elf_dwarf_find_function(elf_, "main", &main_addr));
        ASSERT_TRUE(run(PROBE_CMD_RUN_TO_MAIN, main_addr)) << "run to main";
        ASSERT_TRUE(log_has("[DBG] RunToMain: stopped at main()"));
        ASSERT_TRUE(g_is_halted);
        expect_no_leftovers();
    }
    std::unique_ptr<BoardRun> b_;
    ElfDwarf* elf_ = nullptr;  // b_'s image
    int user_bkpts_ = 0;
    std::vector<uint32_t> listed_;  // breakpoints in the list before the probe connects
};

}  // namespace

TEST_P(Step, RunToMainStepOverIntoAndOut) {
    start();
    to_main();
    // At -O0 the lines are main's own; at -O2 led_init and tick_init are inlined
    // and the steps walk their lines instead.
    const bool o0 = strstr(GetParam(), "O0") != nullptr;
    ElfLocation at = where();
    if (o0) {
        EXPECT_STREQ(path_base_name(at.file), "main.c");
        EXPECT_EQ(at.line, 92u) << "the first line of main after its prologue";
    }
    // Step over the call to led_init: the next line, not inside it.
    uint32_t line0 = at.line;
    ASSERT_TRUE(run(PROBE_CMD_STEP));
    if (o0) {
        EXPECT_EQ(where().line, 93u);
    } else {
        EXPECT_NE(where().line, line0);
    }
    EXPECT_TRUE(log_has("[DBG] StepOver: done"));
    expect_no_leftovers();
    uint32_t line1 = where().line;
    ASSERT_TRUE(run(PROBE_CMD_STEP));
    if (o0) {
        EXPECT_EQ(where().line, 94u);
    } else {
        EXPECT_NE(where().line, line1);
    }
    // Into tick_init... from line 93? From here the next call is in the loop:
    // run to line 99 with a user breakpoint, then step into wave_sample.
    uint32_t l99 = addr_of("main.c", 99);
    ASSERT_NE(l99, 0u);
    ASSERT_TRUE(run(PROBE_CMD_SET_BKPT, l99));
    user_bkpts_ = 1;
    ASSERT_TRUE(log_has("[BKP] Set @ "));
    ASSERT_TRUE(run(PROBE_CMD_RESUME));
    ASSERT_TRUE(wait_for([&] { return g_is_halted.load() && pc() == l99; })) << std::hex << pc();
    ASSERT_TRUE(run(PROBE_CMD_STEP_INTO));
    ElfLocation in = where();
    EXPECT_STREQ(path_base_name(in.file), "wave.c") << "stepped into wave_sample";
    EXPECT_TRUE(log_has("[DBG] StepInto:"));
    expect_no_leftovers();
    ASSERT_TRUE(run(PROBE_CMD_STEP_OUT));
    EXPECT_TRUE(log_has("[DBG] StepOut: done"));
    EXPECT_STREQ(path_base_name(where().file), "main.c");
    if (o0) {
        EXPECT_EQ(where().line, 99u) << "back in the caller's line";
    }
    expect_no_leftovers();
    // One instruction.
    uint32_t before = pc();
    ASSERT_TRUE(run(PROBE_CMD_STEP_ASM));
    EXPECT_NE(pc(), before);
    EXPECT_TRUE(log_has("[DBG] ASM step done"));
    // The user breakpoint is still there and still in the hardware.
    ASSERT_TRUE(run(PROBE_CMD_CLEAR_BKPT, l99));
    user_bkpts_ = 0;
    expect_no_leftovers();
    for (int n = 0; n < 8; ++n) EXPECT_EQ(dap_fpb_comparator(n), 0u);
}

TEST_P(Step, BreakpointsWhileRunningAndTheSlotLimit) {
    start();
    ASSERT_FALSE(g_is_halted);
    uint32_t l118 = addr_of("main.c", 118);
    ASSERT_TRUE(run(PROBE_CMD_SET_BKPT, l118));
    EXPECT_TRUE(wait_for([&] { return g_is_halted.load() && pc() == l118; })) << "set while running, then hit";
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        ASSERT_EQ(bkpt_count(), 1);
    }
    // The Cortex-M4's unit has six comparators and stepping keeps one: four
    // more fill it, the sixth is refused and never listed.
    const uint32_t lines[] = {92, 93, 94, 96, 98, 99, 100, 101};
    int set = 1;
    for (uint32_t l : lines) {
        uint32_t a = addr_of("main.c", l);
        if (!a || a == l118) continue;
        ASSERT_TRUE(run(PROBE_CMD_SET_BKPT, a));
        if (++set == 6) break;
    }
    EXPECT_TRUE(log_has("[BKP] No comparator left for 0x"));
    EXPECT_TRUE(log_has("the FPB has 6, one is kept for stepping (5 breakpoints at most)"));
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    EXPECT_EQ(bkpt_count(), 5);
}

TEST_P(Step, ResetHaltsAtTheVectorAndRestoresBreakpoints) {
    start();
    uint32_t l118 = addr_of("main.c", 118);
    ASSERT_TRUE(run(PROBE_CMD_SET_BKPT, l118));
    ASSERT_TRUE(wait_for([&] { return g_is_halted.load(); }));
    log_clear(&logv);
    ASSERT_TRUE(run(PROBE_CMD_RESET, 0, "[DBG] Reset: "));
    EXPECT_TRUE(log_has("[DBG] Reset: halted at reset vector"));
    EXPECT_TRUE(log_has("[BKP] Restored @ "));
    uint32_t reset = 0;
    ASSERT_TRUE(elf_dwarf_find_function(elf_, "Reset_Handler", &reset));
    // The log line comes before the registers are published.
    EXPECT_TRUE(wait_for([&] { return pc() == reset; })) << std::hex << pc();
}

TEST_P(Step, FpbEncodingsOfBothVersions) {
    for (uint8_t v : {1, 2}) {
        SCOPED_TRACE(v);
        if (b_) {
            ASSERT_TRUE(b_->stop());
        }
        b_.reset();
        start(v);
        ASSERT_TRUE(run(PROBE_CMD_HALT, 0, "[DBG] Halt: done"));
        uint32_t even = 0x08000200, odd = 0x08000202;
        log_clear(&logv);
        ASSERT_TRUE(run(PROBE_CMD_SET_BKPT, even));
        ASSERT_TRUE(run(PROBE_CMD_SET_BKPT, odd | 1));
        char want[2][120];
        if (v == 1) {
            snprintf(want[0], sizeof want[0], "comp=0x%08X rb=0x%08X OK", 0x40000000u | even | 1, 0x40000000u | even | 1);
            snprintf(want[1], sizeof want[1], "comp=0x%08X rb=0x%08X OK", 0x80000000u | (odd & ~3u) | 1,
                     0x80000000u | (odd & ~3u) | 1);
            EXPECT_TRUE(log_has("FPBv1 REV=0"));
        } else {
            snprintf(want[0], sizeof want[0], "comp=0x%08X rb=0x%08X OK", even | 1, even | 1);
            snprintf(want[1], sizeof want[1], "comp=0x%08X rb=0x%08X OK", odd | 1, odd | 1);
            EXPECT_TRUE(log_has("FPBv2 REV=1"));
        }
        EXPECT_TRUE(log_has(want[0])) << want[0];
        EXPECT_TRUE(log_has(want[1])) << want[1];
        EXPECT_EQ(dap_fpb_comparator(1), odd);
    }
}

// A watched local is read in its own function's frame, found on the call
// stack: at a breakpoint in fibonacci's body, its n holds what R0 held at the
// entry, main's last_toggle what main's frame holds (not the word at the same
// offset from fibonacci's frame), and factorial, not on the stack, has none.
TEST_P(Step, AWatchedLocalIsReadInItsOwnFrameOnTheStack) {
    if (!strstr(GetParam(), "O0")) GTEST_SKIP() << "at -O2 these locals live in registers";
    start();
    to_main();
    auto local = [&](const char* func, const char* name, ElfVariable* v) {
        uint32_t entry = 0;
        ElfVariable vars[16];
        if (!elf_dwarf_find_function(elf_, func, &entry)) return false;
        int n = elf_dwarf_get_variables(elf_, elf_dwarf_after_prologue(elf_, entry & ~1u), vars, 16);
        for (int k = 0; k < n; ++k)
            if (!strcmp(vars[k].name, name)) return *v = vars[k], v->func_addr == (entry & ~1u);
        return false;
    };
    ElfVariable n_fib, last_toggle, n_fact;
    ASSERT_TRUE(local("fibonacci", "n", &n_fib));
    ASSERT_TRUE(local("main", "last_toggle", &last_toggle));
    ASSERT_TRUE(local("factorial", "n", &n_fact));
    ASSERT_EQ(last_toggle.loc_kind, VAR_LOC_FBREG);
    // main's frame, halted in main: where last_toggle lives, set to a value nothing else holds.
    uint32_t call = addr_of("main.c", 100);
    ASSERT_TRUE(run(PROBE_CMD_SET_BKPT, call));
    ASSERT_TRUE(run(PROBE_CMD_RESUME));
    ASSERT_TRUE(wait_for([&] { return g_is_halted.load() && pc() == call; })) << std::hex << pc();
    ASSERT_TRUE(run(PROBE_CMD_CLEAR_BKPT, call));
    uint32_t regs[16], cfa = 0, r0 = 9, marker = 0x5EED1234;
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        memcpy(regs, reg_buf, sizeof regs);
    }
    ASSERT_TRUE(elf_dwarf_frame_base(elf_, regs, &cfa));
    b_->rig.lock();
    ASSERT_TRUE(sim_board_write_mem(b_->rig.board(), cfa + (uint32_t)last_toggle.loc_value, &marker, 4));
    b_->rig.unlock();
    uint32_t entry = n_fib.func_addr;
    ASSERT_TRUE(run(PROBE_CMD_SET_BKPT, entry));
    ASSERT_TRUE(run(PROBE_CMD_RESUME));
    ASSERT_TRUE(wait_for([&] { return g_is_halted.load() && pc() == entry; })) << std::hex << pc();
    b_->rig.lock();
    ASSERT_TRUE(sim_board_write_core_reg(b_->rig.board(), 0, r0));  // fibonacci(9), unlike the early calls' 0..2
    b_->rig.unlock();
    uint32_t body = addr_of("wave.c", 27);
    ASSERT_TRUE(run(PROBE_CMD_CLEAR_BKPT, entry));
    ASSERT_TRUE(run(PROBE_CMD_SET_BKPT, body));
    ASSERT_TRUE(run(PROBE_CMD_RESUME));
    ASSERT_TRUE(wait_for([&] { return g_is_halted.load() && pc() == body; })) << std::hex << pc();
    user_bkpts_ = 1;

    probe_set_frame_base(runctl_frame_of);
    probe_set_relocate(runctl_relocate);
    watch_clear();
    for (ElfVariable* v : {&n_fib, &last_toggle, &n_fact}) ASSERT_TRUE(watch_add(v));
    bool read = wait_for([] {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        return watch_val_id[2] == g_watch[2].id;
    });
    probe_set_frame_base(nullptr);
    ASSERT_TRUE(read);
    uint32_t id = 0;
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        EXPECT_TRUE(watch_val_valid[0] && watch_val_buf[0] == r0) << std::hex << watch_val_buf[0];
        EXPECT_TRUE(watch_val_valid[1] && watch_val_buf[1] == marker) << std::hex << watch_val_buf[1] << " state "
                                                                      << (int)watch_val_state[1];
        EXPECT_FALSE(watch_val_valid[2]);
        EXPECT_EQ(watch_val_state[2], WATCH_VAL_NOT_IN_SCOPE);
        id = watch_val_id[1];
        watch_val_id[1] = 0;  // published again below
    }
    // A stack that cannot be read hides main's frame: its local is unknown, not out of scope.
    b_->rig.lock();
    for (int r : {7, 13}) ASSERT_TRUE(sim_board_write_core_reg(b_->rig.board(), r, 0x60000000));  // SP and frame pointer
    b_->rig.unlock();
    dbg_core_moving();
    probe_set_frame_base(runctl_frame_of);
    read = wait_for([&] {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        return watch_val_id[1] == id;
    });
    probe_set_frame_base(nullptr);
    ASSERT_TRUE(read);
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    EXPECT_FALSE(watch_val_valid[1]);
    EXPECT_EQ(watch_val_state[1], WATCH_VAL_READ_ERR);
    watch_clear();
}

// Listed before the connect (a remembered session): the comparators take them
// at once, so the running core stops at one; those past the six comparators
// less the one stepping keeps are disabled with a line.
TEST_P(Step, BreakpointsListedBeforeTheConnectAreSetAtOnce) {
    std::unique_ptr<ElfDwarf, void (*)(ElfDwarf*)> elf(
        elf_dwarf_load((std::string(KORVANE_DEMO_FW_DIR) + "/" + GetParam()).c_str()), elf_dwarf_free);
    ASSERT_NE(elf, nullptr);
    uint32_t fib = 0;  // called on every pass of the main loop
    ASSERT_TRUE(elf_dwarf_find_function(elf.get(), "fibonacci", &fib));
    listed_ = {fib & ~1u};
    for (uint32_t i = 0; i < elf->func_count && listed_.size() < 7; ++i)
        if (elf->funcs[i].address && std::find(listed_.begin(), listed_.end(), elf->funcs[i].address) == listed_.end())
            listed_.push_back(elf->funcs[i].address);
    start();
    ASSERT_TRUE(wait_for([] { return g_is_halted.load(); }));
    uint32_t at = pc();
    EXPECT_TRUE(log_has(": disabled (the FPB has 6, one is kept for stepping)"));
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    EXPECT_EQ(std::count_if(g_bkpt, g_bkpt + BKPT_SLOTS, [](const BkptSlot& b) { return b.active && b.disabled; }), 2);
    EXPECT_TRUE(bkpt_find(at) >= 0 && !g_bkpt[bkpt_find(at)].disabled) << std::hex << at;
}

INSTANTIATE_TEST_SUITE_P(Demo, Step, ::testing::Values("demo_O0_dwarf4.elf", "demo_O2_dwarf4.elf"),
                         [](const auto& info) { return std::string(strstr(info.param, "O0") ? "O0" : "O2"); });
