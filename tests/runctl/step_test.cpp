// Breakpoints and every step mode end to end: the probe thread, the stepping
// engine and the FPB against the simulated board running the -O0 demo.
#include <algorithm>
#include <atomic>
#include <string>

#include "board_run.h"
#include "platform/paths.h"
#include "probe/watch_list.h"
#include "sim/board.h"
#include "sim/cortexm.h"

namespace {

constexpr uint32_t kRam = 0x20008000;  // no line information, and outside the FPB's Code region

class Run : public ::testing::Test {
protected:
    void SetUp() override { start(); }
    void TearDown() override { watch_clear(); }
    void start(uint8_t fpb_version = 0, const std::vector<uint32_t>& listed = {}) {
        b_.reset();
        watch_clear();
        b_ = std::make_unique<BoardRun>("demo_O0_dwarf4.elf", fpb_version, listed);
        ASSERT_TRUE(b_->ok()) << b_->rig.err;
    }
    uint32_t pc() {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        return reg_buf[15] & ~1u;
    }
    uint32_t sym(const char* name) {
        uint32_t a = 0;
        EXPECT_TRUE(elf_dwarf_find_function(b_->elf, name, &a)) << name;
        return a & ~1u;
    }
    uint32_t line(const char* file, uint32_t n) { return elf_dwarf_line_to_addr(b_->elf, file, n) & ~1u; }
    // A command through the probe thread: nothing of the engine's may be left behind.
    void cmd(int c, uint32_t addr = 0) {
        ASSERT_TRUE(b_->run(c, addr)) << c;
        uint32_t a;
        EXPECT_TRUE(!step_owns_temp_bp(&a) && step_mode() == STEP_MODE_NONE) << "the engine's temporary breakpoint or mode left";
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        EXPECT_EQ(bkpt_count(), user_bkpts_) << "no breakpoint leaked";
    }
    // From a halt, runs to a with a breakpoint (from reset if asked), as a user gets there.
    void run_to(uint32_t a, bool from_reset = false) {
        ASSERT_TRUE(!from_reset || b_->run(PROBE_CMD_RESET, 0, "[DBG] Reset: "));
        ASSERT_TRUE(b_->run(PROBE_CMD_SET_BKPT, a) && b_->run(PROBE_CMD_RESUME));
        ASSERT_TRUE(wait_for([&] { return g_is_halted.load() && pc() == a; })) << std::hex << pc() << " not " << a;
        ASSERT_TRUE(b_->run(PROBE_CMD_CLEAR_BKPT, a));
    }
    std::unique_ptr<BoardRun> b_;
    int user_bkpts_ = 0;
};

}  // namespace

// Where each command ends and what it logs. A place is "file:line", a
// function, "ram+N" (kRam + N), or empty: where the last row ended. "set"
// puts the PC there with LR 0x08000001 (an address the code never reaches),
// "run" runs there, "reset" runs there from reset.
TEST_F(Run, EachStepEndsWhereItMust) {
    // wfi; wfe; bl kRam + 10; b .; bx lr
    const uint32_t code[] = {0xBF20BF30, 0xF801F000, 0x4770E7FE};
    for (uint32_t i = 0; i < 3; ++i) ASSERT_TRUE(b_->write(PROBE_WRITE_MEM, kRam + 4 * i, code[i]));
    const char* const timeout = "[DBG] Step: timeout \xE2\x80\x94 halting core";
    const char* const loops = "loops \xE2\x80\x94 running to its";
    const struct {
        const char *how, *from;
        int cmd;
        const char* to;
        std::vector<const char*> logs;
    } rows[] = {
        {"", "", PROBE_CMD_RUN_TO_MAIN, "main.c:92", {"[DBG] RunToMain: stopped at main()"}},  // past the prologue
        {"", "", PROBE_CMD_STEP, "main.c:93", {"[DBG] StepOver: done"}},                        // over led_init
        {"run", "main.c:99", PROBE_CMD_STEP_INTO, "wave.c", {"[DBG] StepInto:"}},  // into wave_sample
        {"", "", PROBE_CMD_STEP_OUT, "main.c:99", {"[DBG] StepOut: done"}},        // back on the caller's line
        {"set", "Default_Handler", PROBE_CMD_STEP, "Default_Handler", {"StepOver: ASM step done"}},  // b .
        {"set", "fault_bkpt", PROBE_CMD_STEP, "fault_bkpt", {"StepOver: ASM step done"}},           // bkpt #0x42
        {"set", "ram+0", PROBE_CMD_STEP, "ram+2", {"StepOver: ASM done"}},
        {"", "", PROBE_CMD_STEP_ASM, "ram+4", {"[DBG] ASM step done"}},
        // A call without lines is run, but its return in RAM takes no breakpoint: nothing runs.
        {"", "", PROBE_CMD_STEP, "ram+4",
         {"call run to its return", "[FPB] 0x20008008 is outside the Code region", "StepOver: BP failed"}},
        // The loop's last line goes round to for (;;), where gdb's next stops too.
        {"set", "main.c:118", PROBE_CMD_STEP, "main.c:97", {"StepOver: done"}},
        {"set", "Default_Handler", PROBE_CMD_STEP_OUT, "Default_Handler", {timeout}},
        // Copying .data on one line: run to its exit, not stepped for ever.
        {"reset", "startup.c:81", PROBE_CMD_STEP, "startup.c:82", {loops}},
    };
    auto at = [&](const std::string& p) {
        const size_t colon = p.find(':');
        return !p.compare(0, 4, "ram+") ? kRam + std::stoul(p.substr(4))
               : colon != std::string::npos ? line(p.substr(0, colon).c_str(), std::stoul(p.substr(colon + 1)))
                                            : sym(p.c_str());
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.how << " " << r.from << " command " << r.cmd << " to " << r.to);
        const std::string how = r.how;
        ASSERT_TRUE(how != "set" || (b_->write(PROBE_WRITE_REG, 15, at(r.from) | 1) && b_->write(PROBE_WRITE_REG, 14, 0x08000001)));
        if (how == "run" || how == "reset") run_to(at(r.from), how == "reset");
        log_clear(&logv);
        const uint64_t t0 = plat_time_ms();
        cmd(r.cmd, r.cmd == PROBE_CMD_RUN_TO_MAIN ? sym("main") : 0);
        ElfLocation loc = {};
        elf_dwarf_lookup(b_->elf, pc(), &loc);
        const std::string to = r.to, got = std::string(path_base_name(loc.file)) + ":" + std::to_string(loc.line);
        EXPECT_TRUE(to.find('.') == std::string::npos ? pc() == at(to) : got == to || got.starts_with(to + ":"))
            << got << " 0x" << std::hex << pc();
        for (const char* l : r.logs) EXPECT_TRUE(log_has(l)) << l;
        EXPECT_TRUE(r.logs[0] == timeout ? plat_time_ms() - t0 >= STEP_TIMEOUT_MS : !log_has(timeout));
    }
    // A user breakpoint outlives a step that ends on it, and the panel toggles it.
    const uint32_t l93 = line("main.c", 93);
    auto in_fpb = [](uint32_t a) {
        int n = 0;
        while (n < 8 && dap_fpb_comparator(n) != a) ++n;
        return n < 8;
    };
    user_bkpts_ = 1;
    cmd(PROBE_CMD_SET_BKPT, l93);
    ASSERT_TRUE(b_->write(PROBE_WRITE_REG, 15, line("main.c", 92) | 1));
    cmd(PROBE_CMD_STEP);
    EXPECT_TRUE(pc() == l93 && in_fpb(l93)) << "the step's end was the user's breakpoint";
    for (const char* state : {"[BKP] Disabled @ ", "[BKP] Enabled @ "}) {
        cmd(PROBE_CMD_BKPT_TOGGLE, 0);
        EXPECT_TRUE(log_has(state) && in_fpb(l93) == (state[6] == 'E')) << state;
    }
}

// A reset is tried three times, 500 ms apart, and restores the breakpoints.
TEST_F(Run, ResetIsTriedThreeTimesAndRestoresBreakpoints) {
    static std::atomic<int> pauses{0};
    static const PlatClock* inner = nullptr;
    inner = plat_clock_current();
    const PlatClock counting = {inner->now_ms, [](void* c, uint32_t ms) { pauses += ms == 500, inner->sleep_ms(c, ms); },
                                inner->ctx, inner->is_virtual};
    ASSERT_TRUE(b_->run(PROBE_CMD_HALT, 0, "[DBG] Halt: done"));
    // Resets that slip past the vector catch; from 1 on, a breakpoint in early
    // code halts the slipped run, which must not pass for the reset halt.
    for (int skips : {2, 3, 1, 0}) {
        SCOPED_TRACE(skips);
        if (skips == 1) {
            user_bkpts_ = 1;
            cmd(PROBE_CMD_SET_BKPT, line("main.c", 118));
        }
        b_->rig.lock();
        sim_board_core(b_->rig.board())->fault_skip_reset_catch = skips;
        b_->rig.unlock();
        log_clear(&logv);
        pauses = 0;
        plat_clock_install(&counting);
        ASSERT_TRUE(b_->run(PROBE_CMD_RESET, 0, "[DBG] Reset: "));
        plat_clock_install(inner);
        EXPECT_EQ(pauses, std::min(skips, 2));
        for (auto [line, logged] : {std::pair{"[DBG] Reset: retry 3/3", skips > 1}, {"[DBG] Reset: failed", skips == 3},
                                    {"[DBG] Reset: halted at reset vector", skips < 3}, {"[BKP] Restored @ ", skips < 2}})
            EXPECT_EQ(log_has(line), logged) << line;
        // The log line comes before the registers are published.
        if (skips < 3) {
            EXPECT_TRUE(wait_for([&] { return pc() == sym("Reset_Handler"); })) << std::hex << pc();
        }
    }
}

// Listed before the connect (a remembered session), on either version of the unit:
// the running core stops at one; those past the five comparators stepping leaves
// are disabled. Version 1 compares the word and REPLACE picks the halfword.
TEST_F(Run, BreakpointsListedBeforeTheConnectAreSetAtOnce) {
    const uint32_t even = 0x08000200, odd = 0x08000202;
    std::vector<uint32_t> listed = {sym("fibonacci"), even, odd};  // fibonacci runs on every pass of the main loop
    for (uint32_t i = 0; i < b_->elf->func_count && listed.size() < 7; ++i)
        if (b_->elf->funcs[i].address && std::find(listed.begin(), listed.end(), b_->elf->funcs[i].address) == listed.end())
            listed.push_back(b_->elf->funcs[i].address);
    for (uint32_t v : {1, 2}) {
        SCOPED_TRACE(v);
        start((uint8_t)v, listed);
        ASSERT_TRUE(wait_for([] { return g_is_halted.load(); }));
        EXPECT_TRUE(log_has(v == 1 ? "FPBv1 REV=0" : "FPBv2 REV=1"));
        for (uint32_t comp : {v == 1 ? 0x40000000u | even : even, v == 1 ? 0x80000000u | even : odd}) {
            char want[64];
            snprintf(want, sizeof want, "comp=0x%08X rb=0x%08X OK", comp | 1, comp | 1);
            EXPECT_TRUE(log_has(want)) << want;
        }
        EXPECT_EQ(dap_fpb_comparator(2), odd);
        EXPECT_TRUE(log_has(": disabled (the FPB has 6, one is kept for stepping)"));
        const uint32_t stop = pc();
        {
            std::lock_guard<std::mutex> lk(reg_buf_mtx);
            EXPECT_EQ(std::count_if(g_bkpt, g_bkpt + BKPT_SLOTS, [](const BkptSlot& b) { return b.active && b.disabled; }), 2);
            EXPECT_TRUE(bkpt_find(stop) >= 0 && !g_bkpt[bkpt_find(stop)].disabled) << std::hex << stop;
        }
        ASSERT_TRUE(b_->run(PROBE_CMD_SET_BKPT, line("main.c", 118)));
        EXPECT_TRUE(log_has("[BKP] No comparator left for 0x"));
        EXPECT_TRUE(log_has("the FPB has 6, one is kept for stepping (5 breakpoints at most)"));
    }
}

// A watched local is read in its own function's frame on the call stack: main's
// last_toggle from main's frame while fibonacci runs; factorial, not on the stack, has none.
TEST_F(Run, AWatchedLocalIsReadInItsOwnFrameOnTheStack) {
    auto local = [&](const char* func, const char* name) {
        ElfVariable vars[16];
        const uint32_t entry = sym(func);
        const int n = elf_dwarf_get_variables(b_->elf, elf_dwarf_after_prologue(b_->elf, entry), vars, 16);
        auto it = std::find_if(vars, vars + n, [&](const ElfVariable& v) { return !strcmp(v.name, name) && v.func_addr == entry; });
        return it != vars + n ? *it : ElfVariable{};
    };
    ElfVariable vars[] = {local("fibonacci", "n"), local("main", "last_toggle"), local("factorial", "n")};
    ASSERT_TRUE(vars[0].func_addr && vars[1].loc_kind == VAR_LOC_FBREG && vars[2].func_addr);
    // main's frame, halted in main: where last_toggle lives, set to a value nothing else holds.
    run_to(line("main.c", 100));
    uint32_t cfa = 0;
    reg_buf_mtx.lock();
    const bool framed = elf_dwarf_frame_base(b_->elf, reg_buf, &cfa);
    reg_buf_mtx.unlock();
    ASSERT_TRUE(framed && b_->write(PROBE_WRITE_MEM, cfa + (uint32_t)vars[1].loc_value, 0x5EED1234));
    run_to(sym("fibonacci"));
    ASSERT_TRUE(b_->write(PROBE_WRITE_REG, 0, 9));  // fibonacci(9), unlike the early calls' 0..2
    run_to(line("wave.c", 27));
    probe_set_relocate(runctl_relocate);
    probe_set_frame_base(runctl_frame_of);
    for (ElfVariable& v : vars) watch_add(&v);
    const bool read = wait_for([] {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        return watch_val_id[2] && watch_val_id[2] == g_watch[2].id;
    });
    probe_set_frame_base(nullptr);
    ASSERT_TRUE(read);
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    EXPECT_TRUE(watch_val_valid[0] && watch_val_buf[0] == 9) << std::hex << watch_val_buf[0];
    EXPECT_TRUE(watch_val_valid[1] && watch_val_buf[1] == 0x5EED1234) << std::hex << watch_val_buf[1];
    EXPECT_EQ(watch_val_state[2], WATCH_VAL_NOT_IN_SCOPE);
}
