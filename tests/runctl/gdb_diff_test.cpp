// Our step over / into / out against gdb's next / step / finish on the same
// -O0 firmware running on QEMU's netduinoplus2: the line reached must agree,
// except where our algorithm is documented to differ (listed below).
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/paths.h"
#include "probe/probe.h"
#include "probe_fixture.h"
#include "runctl/breakpoints.h"
#include "runctl/step.h"
#include "symbols/elf_dwarf.h"
#include "tests/sim/qemu_gdb.h"

namespace {

const char* const kElf = KORVANE_DEMO_FW_DIR "/demo_O0_dwarf4.elf";

struct Case {
    const char* file;
    uint32_t line;
    const char* gdb_op;  // "next", "step" or "finish"
    int our_cmd;
};

const Case kCases[] = {
    {"main.c", 92, "next", PROBE_CMD_STEP},       {"main.c", 93, "next", PROBE_CMD_STEP},
    {"main.c", 99, "next", PROBE_CMD_STEP},       {"main.c", 100, "next", PROBE_CMD_STEP},
    {"main.c", 102, "next", PROBE_CMD_STEP},      {"main.c", 98, "step", PROBE_CMD_STEP_INTO},
    {"main.c", 99, "step", PROBE_CMD_STEP_INTO},  {"main.c", 100, "step", PROBE_CMD_STEP_INTO},
    {"wave.c", 20, "finish", PROBE_CMD_STEP_OUT}, {"wave.c", 27, "finish", PROBE_CMD_STEP_OUT},
};

// Where we differ from gdb, by design (reviewed): a step into a call stops at
// the callee's first instruction, on the line of its opening; gdb skips the
// prologue and stops on the first line of the body.
bool documented_difference(const Case& c) {
    return !strcmp(c.gdb_op, "step") && !strcmp(c.file, "main.c") && (c.line == 99 || c.line == 100);
}

struct Where {
    std::string file;
    uint32_t line;
};

Where where(const ElfDwarf* e, uint32_t pc) {
    ElfLocation loc = {};
    elf_dwarf_lookup(e, pc, &loc);
    return {path_base_name(loc.file), loc.line};
}

// gdb's answer for one case, in one QEMU session.
bool gdb_line(const ElfDwarf* e, const Case& c, Where* out, std::string* err) {
    QemuGdbScript s;
    s.elf = kElf;
    s.steps = {{QemuGdbOp::Break, std::string(c.file) + ":" + std::to_string(c.line)},
               {QemuGdbOp::Continue},
               {!strcmp(c.gdb_op, "next") ? QemuGdbOp::Next : !strcmp(c.gdb_op, "step") ? QemuGdbOp::StepLine
                                                                                          : QemuGdbOp::Finish}};
    QemuGdbResult r;
    if (!qemu_gdb_run(s, &r)) {
        *err = r.error + "\n" + r.transcript;
        return false;
    }
    *out = where(e, r.stops.back().pc);
    return true;
}

class GdbDiff : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qemu_gdb_available()) GTEST_SKIP() << "needs qemu-system-arm and gdb-multiarch";
        elf_ = elf_dwarf_load(kElf);
        ASSERT_NE(elf_, nullptr);
    }
    void TearDown() override { elf_dwarf_free(elf_); }
    // Ours: the simulated board halted at the case's line, then one command.
    bool our_line(const Case& c, Where* out) {
        SimRig rig(SimUsbKind::V2Bulk512, "demo_O0_dwarf4.elf", true, 4);
        if (!rig.sys) return false;
        // Nothing of the previous case may pass for this one's halt.
        {
            std::lock_guard<std::mutex> lk(reg_buf_mtx);
            reg_buf[15] = 0;
        }
        g_is_halted = false;
        step_set_image(elf_);
        {
            std::lock_guard<std::mutex> lk(reg_buf_mtx);
            memset(g_bkpt, 0, sizeof g_bkpt);
        }
        runctl_install();
        PlatThread* t = probe_thread_start();
        auto idle = [] { return g_cmd_busy == 0 && probe_poll_state() != PS_WAIT_HALT; };
        uint32_t addr = elf_dwarf_line_to_addr(elf_, c.file, c.line) & ~1u;
        // From reset, as gdb starts QEMU: main's first lines run only once.
        bool ok = t && addr && wait_for([] { return g_probe_connected.load(); }) &&
                  probe_post_cmd(PROBE_CMD_RESET, 0) && wait_for([] { return log_has("[DBG] Reset: "); }) &&
                  wait_for(idle) && probe_post_cmd(PROBE_CMD_SET_BKPT, addr) && wait_for(idle) &&
                  probe_post_cmd(PROBE_CMD_RESUME, 0) &&
                  wait_for([&] {
                      std::lock_guard<std::mutex> lk(reg_buf_mtx);
                      return g_is_halted.load() && (reg_buf[15] & ~1u) == addr;
                  }) &&
                  probe_post_cmd(PROBE_CMD_CLEAR_BKPT, addr) && wait_for(idle) && probe_post_cmd(c.our_cmd, 0) &&
                  wait_for(idle);
        uint32_t pc;
        {
            std::lock_guard<std::mutex> lk(reg_buf_mtx);
            pc = reg_buf[15];
        }
        if (t) probe_thread_stop_and_wait(t);
        probe_set_run_control(nullptr);
        step_set_image(nullptr);
        *out = where(elf_, pc);
        return ok;
    }
    ElfDwarf* elf_ = nullptr;
};

}  // namespace

TEST_F(GdbDiff, StepsReachTheLinesGdbReaches) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.file << ":" << c.line << " " << c.gdb_op);
        Where theirs, ours;
        std::string err;
        ASSERT_TRUE(gdb_line(elf_, c, &theirs, &err)) << err;
        ASSERT_TRUE(our_line(c, &ours));
        // QEMU runs SysTick on the host's clock: a tick taken inside gdb's
        // `next` can end it on the line it started from. Ask gdb again then.
        for (int again = 0; again < 2 && theirs.line == c.line && ours.line != c.line; ++again)
            ASSERT_TRUE(gdb_line(elf_, c, &theirs, &err)) << err;
        if (documented_difference(c)) {
            EXPECT_EQ(ours.file, theirs.file) << "both enter the callee";
            EXPECT_LT(ours.line, theirs.line) << "we stop before its prologue, gdb after";
            continue;
        }
        EXPECT_EQ(ours.file, theirs.file);
        EXPECT_EQ(ours.line, theirs.line);
    }
}
