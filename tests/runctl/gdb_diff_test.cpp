// Every line of the firmware's own sources that has code, in each image:
// halted there by a breakpoint, our step over / into / out against gdb's
// next / step / finish on QEMU's netduinoplus2 (line and frame depth
// reached), and our call stack against gdb's bt at both halts. One QEMU + gdb
// session and one simulated board per image, run side by side. The test
// prints a table of agreements and disagreements by kind, with examples.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "platform/clock.h"
#include "platform/paths.h"
#include "probe/probe.h"
#include "board_run.h"
#include "symbols/elf_dwarf.h"
#include "tests/sim/qemu_gdb.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// Our board runs 4 instructions per virtual microsecond (a quarter of the
// firmware's 16 MHz, so the probe thread's idle polls simulate less): the
// firmware's 1 ms tick takes 4 virtual ms. A line not reached within
// reach_ms of virtual time after a reset counts as never reached. A guard
// that cuts off a line or a command gdb finishes shows as a disagreement; how
// long ours took is not measured here, as the board's clock runs on while
// this thread waits to be scheduled.
struct Image {
    const char* file;
    uint64_t reach_ms;
};
void PrintTo(const Image& i, std::ostream* os) { *os << i.file; }
const Image kImages[] = {
    {"demo_O0_dwarf4.elf", 3600},  // the LED's lines wait for 500 ticks
    {"demo_O2_dwarf4.elf", 3600},
    {"rtos_O0_dwarf4.elf", 800},  // cooperative tasks, no waits on time
    {"rtos_O2_dwarf4.elf", 800},
};
// The firmware's own sources; libgcc and anything else is not ours to compare.
const char* const kSourceRoots[] = {KORVANE_SOURCE_DIR "/sim/firmware", KORVANE_SHARED_DATA "/firmware/FreeRTOS-Kernel"};

struct Op {
    const char* name;
    QemuGdbLineOp gdb;
    int ours;
};
const Op kOps[] = {{"next", QemuGdbLineOp::Next, PROBE_CMD_STEP},
                   {"step", QemuGdbLineOp::Step, PROBE_CMD_STEP_INTO},
                   {"finish", QemuGdbLineOp::Finish, PROBE_CMD_STEP_OUT}};

// A disagreement of this kind ("" any), for this op ("" any) at a file:line
// beginning with `where` ("" any) that does not fail the test.
struct Allowed {
    const char* kind;
    const char* op;
    const char* where;
    const char* why;
};
// Where gdb's rule or QEMU's board differs from ours by design.
const std::vector<Allowed> kAllowed = {
    {"not reached by gdb", "", "main.c:69", "QEMU's netduinoplus2 has no GPIO port D: the LED never reads as on"},
    {"not reached by gdb", "", "main.c:70", "(the same)"},
    {"not reached by gdb", "", "main.c:75", "(the same)"},
    {"not reached by gdb", "", "main.c:106", "(the same, at -O2)"},
    {"", "", "port.c:393", "QEMU's NVIC keeps 8 priority bits, the STM32F405 (and our board) 4: the port's check of "
                           "them takes another branch"},
    {"", "", "port.c:413", "(the same)"},
    {"", "", "port.c:417", "(the same)"},
    {"", "", "port.c:422", "(the same)"},
    {"", "", "port.c:423", "(the same)"},
    {"command does not end for gdb", "", "startup.c:58",
     "gdb single-steps every instruction of the .bss loop and its guard ends it; we run the loop to its exit"},
    {"", "", "port.c:505", "PendSV_Handler is naked assembly without call frame information: gdb cannot tell its call "
                           "of vTaskSwitchContext from a jump and stops there; we run the call"},
    {"", "", "port.c:508", "(the same)"},
    {"", "", "tasks.c:5248", "returns into PendSV_Handler (no call frame information) and on into a task: where "
                             "it ends depends on the tick, whose clock differs on the two boards"},
};

// A command still running after this much virtual time never ends (the
// slowest that ended took 420 ms, including up to a 200 ms poll).
constexpr uint64_t kOpVirtMs = 1500, kStackVirtMs = 400;
// gdb's guards, in real time: the scan's quiet period (twice its longest
// wait for a new line, checked; 1.2 s seen beside the sanitizer builds'
// tests), the run to a line the scan reached (costs nothing unless QEMU is
// starved), the command (gdb single-steps through a line's range, the
// slowest seen took 0.2 s; one that never ends costs this much).
constexpr int kGdbQuietMs = 10000, kGdbReachMs = 8000, kGdbOpMs = 3000;

struct SourceLine {
    std::string file;  // as stored in the image
    uint32_t line;
    uint32_t addr;
};

std::string base(const std::string& p) { return path_base_name(p.c_str()); }

bool ours_source(const std::string& path) {
    std::string p = fs::path(path).lexically_normal().string();
    for (const char* root : kSourceRoots) {
        std::string r = fs::path(root).lexically_normal().string() + "/";
        if (p.rfind(r, 0) == 0) return true;
    }
    return false;
}

// Every (file, line) with code in the line table, at its first address.
std::vector<SourceLine> code_lines(const ElfDwarf* e, int* without_addr) {
    std::set<std::pair<std::string, uint32_t>> seen;
    for (uint32_t i = 0; i < e->line_count; ++i) {
        const LineEntry& row = e->lines[i];
        if (!row.line || row.file_idx >= e->file_count || !e->files[row.file_idx]) continue;
        if (ours_source(e->files[row.file_idx])) seen.insert({e->files[row.file_idx], row.line});
    }
    std::vector<SourceLine> out;
    *without_addr = 0;
    for (const auto& [file, line] : seen) {
        uint32_t a = elf_dwarf_line_to_addr(e, file.c_str(), line) & ~1u;
        if (a) out.push_back({file, line, a});
        else ++*without_addr;
    }
    return out;
}

// Both sides answer in gdb's records: a halt is pc, sp and the frames
// (bt_error set when the stack is unknown), frame 0 giving the line.
using Halt = QemuGdbHalt;
using Answer = QemuGdbCaseResult;
using Outcome = QemuGdbOutcome;

bool known(const Halt& h) { return h.bt_error.empty(); }
std::string line_of(const Halt& h) {
    return h.frames.empty() ? ":0" : base(h.frames[0].file) + ":" + std::to_string(h.frames[0].line);
}

std::string frames_text(const Halt& h) {
    if (!known(h)) return "(no stack)";
    std::string s;
    for (const QemuGdbFrame& f : h.frames)
        s += (s.empty() ? "" : " < ") + (f.exception ? "<exception>" : f.func + "@" + base(f.file) + ":" + std::to_string(f.line));
    return s;
}

std::string answer_text(const Answer& a, bool show_stack) {
    switch (a.outcome) {
    case Outcome::NotReached: return "not reached (" + a.note + ")";
    case Outcome::OpFailed: return "refused: " + a.note;
    case Outcome::Hung: return "no answer: " + a.note;
    default: break;
    }
    char pc[16];
    std::snprintf(pc, sizeof pc, "0x%08x", a.after.pc);
    std::string s = (a.outcome == Outcome::OpTimedOut ? "did not end, interrupted at " : "") + line_of(a.after) + " " + pc;
    if (known(a.after)) s += " depth " + std::to_string(a.after.frames.size());
    if (show_stack) s += " [" + frames_text(a.after) + "]";
    return s;
}

// Our side: one board and one probe thread for a whole image; each case
// starts from a reset, as gdb's does.
class OurRig {
public:
    OurRig(const std::string& image, uint64_t reach_ms) : b_(image), elf_(b_.elf), reach_ms_(reach_ms) {}
    bool ok() { return b_.ok(); }
    std::string error() const { return !b_.rig.sys ? b_.rig.err : error_.empty() ? "the probe thread did not connect" : error_; }

    // False only when the probe thread stopped answering (the rest of the image is then void).
    bool run(uint32_t addr, int cmd, Answer* a) {
        if (!reset() || !post(PROBE_CMD_SET_BKPT, addr)) return fail(a, "reset");
        if (read_pc() != addr) {
            if (!post(PROBE_CMD_RESUME, 0)) return fail(a, "resume");
            // Known to be reached (the scan): a generous guard, as noticing a halt takes a poll or more.
            bool stopped = wait_virtual([] { return g_is_halted && stopped_idle(); }, 4 * reach_ms_);
            if (!stopped || read_pc() != addr) {
                char where[64];
                std::snprintf(where, sizeof where, "%s at 0x%08x", stopped ? "halted" : "guard", read_pc());
                a->outcome = Outcome::NotReached, a->note = where;
                if (!stopped && !halt()) return fail(a, "halt");
                return post(PROBE_CMD_CLEAR_BKPT, addr) || fail(a, "clear");
            }
        }
        if (!post(PROBE_CMD_CLEAR_BKPT, addr)) return fail(a, "clear");
        a->at = halt_state();
        if (!probe_post_cmd(cmd, 0)) return fail(a, "command");
        bool ended = wait_virtual([] { return idle(); }, kOpVirtMs);
        if (!ended && !halt()) return fail(a, "halt");
        a->outcome = ended ? Outcome::Done : Outcome::OpTimedOut;
        a->after = halt_state();
        return true;
    }

    // The addresses reached from a reset, a few breakpoints at a time (the
    // comparators the unit has): an address never reached then costs one
    // guard per group instead of one per case. False when the probe thread
    // stopped answering.
    bool scan(const std::vector<uint32_t>& addrs, std::set<uint32_t>* reached) {
        std::vector<uint32_t> queue(addrs.rbegin(), addrs.rend());
        while (!queue.empty()) {
            std::vector<uint32_t> group;
            if (!reset()) return stuck("reset");
            while (group.size() < 5 && !queue.empty()) {
                uint32_t a = queue.back();
                if (!post(PROBE_CMD_SET_BKPT, a)) return stuck("set a breakpoint");
                std::lock_guard<std::mutex> lk(reg_buf_mtx);
                int slot = bkpt_find(a);
                if (slot < 0 || !g_bkpt[slot].active || g_bkpt[slot].disabled) break;  // no comparator left
                group.push_back(a);
                queue.pop_back();
            }
            if (group.empty()) return stuck("no comparator");
            if (std::find(group.begin(), group.end(), read_pc()) == group.end() && !post(PROBE_CMD_RESUME, 0))
                return stuck("resume");
            for (;;) {  // as gdb's scan: until reach_ms pass without a new hit
                bool stopped = wait_virtual([] { return g_is_halted && stopped_idle(); }, reach_ms_);
                auto hit = std::find(group.begin(), group.end(), read_pc());
                if (!stopped || hit == group.end()) {  // the rest is not reached
                    if (!stopped && !halt()) return stuck("halt");
                    break;
                }
                reached->insert(*hit);
                if (!post(PROBE_CMD_CLEAR_BKPT, *hit)) return stuck("clear a breakpoint");
                group.erase(hit);
                if (group.empty() || !post(PROBE_CMD_RESUME, 0)) break;
            }
            for (uint32_t a : group)
                if (!post(PROBE_CMD_CLEAR_BKPT, a)) return stuck("clear a breakpoint");
        }
        return true;
    }

private:
    bool stuck(const char* what) {
        char state[128];
        std::snprintf(state, sizeof state, " (busy %d, pending %d, state %d, halted %d, virtual ms %llu)", g_cmd_busy.load(),
                      probe_cmd_pending(), static_cast<int>(probe_poll_state()), g_is_halted.load(),
                      static_cast<unsigned long long>(plat_time_ms()));
        error_ = std::string("our probe thread did not answer: ") + what + state;
        return false;
    }
    // A reset is a priority command that leaves g_cmd_busy alone (and clears
    // it when done, even for a command posted meanwhile): its end is its log line.
    static bool reset() {
        log_clear(&logv);  // also keeps a long run's log small
        return probe_post_cmd(PROBE_CMD_RESET, 0) && wait_virtual([] { return log_has("[DBG] Reset: "); }, 5000) &&
               wait_virtual([] { return idle(); }, 5000);
    }
    static bool stopped_idle() { return probe_poll_state() == PS_IDLE && !probe_cmd_pending(); }
    static bool idle() { return g_cmd_busy == 0 && !probe_cmd_pending() && probe_poll_state() != PS_WAIT_HALT; }
    static uint32_t read_pc() {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        return reg_buf[15] & ~1u;
    }
    static bool fail(Answer* a, const char* what) {
        a->outcome = Outcome::NotReached;
        a->note = std::string("our probe thread did not answer: ") + what;
        return false;
    }
    // Until pred holds, for at most virt_ms of the board's time (a minute of ours).
    static bool wait_virtual(const std::function<bool()>& pred, uint64_t virt_ms) {
        uint64_t t0 = plat_time_ms();
        auto end = Clock::now() + std::chrono::seconds(60);
        while (!pred()) {
            if (plat_time_ms() - t0 > virt_ms || Clock::now() > end) return pred();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return true;
    }
    // Posts once the previous command is done, and waits for this one.
    bool post(int cmd, uint32_t addr) {
        return wait_virtual([&] { return probe_post_cmd(cmd, addr); }, 5000) && wait_virtual([] { return idle(); }, 5000);
    }
    bool halt() {
        return probe_post_cmd(PROBE_CMD_HALT, 0) &&
               wait_virtual([] { return g_is_halted && idle() && probe_poll_state() == PS_IDLE; }, 5000);
    }
    Halt halt_state() {
        Halt h;
        wait_virtual([] { std::lock_guard<std::mutex> lk(reg_buf_mtx); return g_stack_frames_valid; }, kStackVirtMs);
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        h.pc = reg_buf[15] & ~1u;
        h.sp = reg_buf[13];
        int n = g_stack_frames_valid ? std::min<int>(g_stack_frame_count, UNWIND_MAX_FRAMES) : 0;
        for (int i = 0; i < n; ++i) {
            const UnwindFrame& f = g_stack_frames[i];
            h.frames.push_back({i, f.pc, f.func, f.file, f.line, f.is_exception});
        }
        if (n == 0) {  // the line alone
            ElfLocation loc = {};
            elf_dwarf_lookup(elf_, h.pc, &loc);
            h.frames.push_back({0, h.pc, "", loc.file, loc.line, false});
            h.bt_error = "no call stack published";
        }
        return h;
    }

    BoardRun b_;
    const ElfDwarf* elf_;
    uint64_t reach_ms_;
    std::string error_;
};

using Kinds = std::vector<std::pair<std::string, std::string>>;  // kind, detail

// Reported, never failing: a tick's handler interrupts other code on each
// board (their clocks differ), so where one returns to is not comparable;
// and a case in which gdb or QEMU stopped answering has no answer to compare.
const char* const kTiming = "leaves an interrupt handler (depends on where the tick came)";
const char* const kNoAnswer = "no answer from gdb (its session was restarted)";

int exception_at(const Halt& h) {
    for (size_t i = 0; i < h.frames.size(); ++i)
        if (h.frames[i].exception) return static_cast<int>(i);
    return -1;
}

// Frames past an exception entry are the interrupted code: compared up to the entry only.
void compare_stacks(const Halt& ours, const Halt& gdb, Kinds* kinds) {
    if (!known(gdb)) return;
    if (!known(ours)) return kinds->push_back({"our call stack missing", ""});
    size_t n = gdb.frames.size(), m = ours.frames.size();
    if (exception_at(gdb) >= 0) n = exception_at(gdb) + 1;
    if (exception_at(ours) >= 0) m = exception_at(ours) + 1;
    if (m != n) kinds->push_back({"depth differs", ""});
    for (size_t i = 0; i < std::min(m, n); ++i) {
        const QemuGdbFrame &o = ours.frames[i], &g = gdb.frames[i];
        std::string at = "frame " + std::to_string(i);
        if (o.exception != g.exception) return kinds->push_back({"exception entry differs", at});
        if (o.exception) continue;
        if (o.func != g.func) return kinds->push_back({"function differs", at});
        if (i > 0 && (o.line != g.line || base(o.file) != base(g.file))) return kinds->push_back({"caller line differs", at});
    }
}

// Kinds of disagreement of one case; empty when both agree.
Kinds compare(const Answer& ours, const Answer& gdb) {
    Kinds k;
    if (gdb.outcome == Outcome::Hung) return {{kNoAnswer, ""}};
    bool our_reach = ours.outcome != Outcome::NotReached, gdb_reach = gdb.outcome != Outcome::NotReached;
    if (!our_reach || !gdb_reach) {
        if (our_reach != gdb_reach)
            k.push_back({our_reach ? (gdb.note.rfind("gdb moved", 0) == 0 ? "gdb cannot stop there (IT block)" : "not reached by gdb")
                                   : "not reached by us",
                         ""});
        return k;
    }
    if (gdb.outcome == Outcome::OpFailed) {
        if (ours.after.pc != ours.at.pc) k.push_back({"gdb refuses, we move", ""});
        return k;
    }
    const Halt &o = ours.after, &g = gdb.after;
    int entry = exception_at(gdb.at);
    // Interrupted at the same place on both boards (a PendSV after a yield, say): nothing depends on timing.
    auto same_place = [&] {
        const auto &a = ours.at.frames, &b = gdb.at.frames;
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](const QemuGdbFrame& x, const QemuGdbFrame& y) {
                   return x.exception == y.exception && x.func == y.func && x.line == y.line;
               });
    };
    if (entry >= 0 && exception_at(ours.at) == entry && (exception_at(o) != entry || exception_at(g) != entry) &&
        !same_place()) {
        // Out of the handler: agreeing means both stop on the instruction the tick interrupted.
        auto back = [&](const Answer& a) {
            return exception_at(a.after) < 0 && a.at.frames.size() > static_cast<size_t>(entry + 1) &&
                   a.after.pc == a.at.frames[entry + 1].pc;
        };
        if (!(back(ours) && back(gdb))) k.push_back({kTiming, ""});
        return k;
    }
    if ((ours.outcome == Outcome::OpTimedOut) != (gdb.outcome == Outcome::OpTimedOut)) {
        k.push_back({ours.outcome == Outcome::OpTimedOut ? "command does not end for us" : "command does not end for gdb", ""});
        return k;
    }
    if (ours.outcome == Outcome::OpTimedOut) return k;  // neither ends
    if (line_of(o) != line_of(g))
        k.push_back({o.pc == g.pc ? "same pc, line lookup differs" : "line differs", ""});
    else if (o.pc == g.pc && o.sp != g.sp && exception_at(o) < 0 && exception_at(g) < 0)
        k.push_back({"same pc, another frame (sp differs)", ""});
    compare_stacks(o, g, &k);
    return k;
}

bool listed(const std::vector<Allowed>& list, const std::string& kind, const char* op, const std::string& where) {
    for (const Allowed& a : list)
        if ((!*a.kind || kind == a.kind) && (!*a.op || !strcmp(a.op, op)) &&
            (!*a.where || where.rfind(a.where, 0) == 0))
            return true;
    return false;
}

// The table of one image: per op (and the halt at the breakpoint), the
// agreements and each kind of disagreement with its first examples.
struct Tally {
    int cases = 0, agree = 0, unreached_both = 0, failing = 0;
    std::map<std::string, int> kinds;
    std::map<std::string, std::vector<std::string>> examples;
};

std::string report(const std::string& image, const std::map<std::string, Tally>& rows) {
    std::ostringstream s;
    for (const char* row : {"break", "next", "step", "finish"}) {
        auto it = rows.find(row);
        if (it == rows.end()) continue;
        const Tally& t = it->second;
        s << "[" << image << "] " << row << ": " << t.cases << " lines, " << t.agree << " agree, " << t.unreached_both
          << " reached by neither, " << (t.cases - t.agree - t.unreached_both) << " disagree (" << t.failing
          << " not explained, the rest by design)\n";
        for (const auto& [kind, n] : t.kinds) {
            s << "    " << n << "  " << kind << "\n";
            for (const std::string& e : t.examples.at(kind)) s << "        " << e << "\n";
        }
    }
    return s.str();
}

class GdbDiff : public ::testing::TestWithParam<Image> {};

TEST_P(GdbDiff, EveryLineStepsAsGdbSteps) {
    const std::string image = GetParam().file, path = std::string(KORVANE_DEMO_FW_DIR) + "/" + image;
    if (!qemu_gdb_available()) GTEST_SKIP() << "needs qemu-system-arm and gdb-multiarch";
    if (!fs::exists(path)) GTEST_SKIP() << image << " is not built";
    ElfDwarf* elf = elf_dwarf_load(path.c_str());
    ASSERT_NE(elf, nullptr) << elf_dwarf_error();
    std::unique_ptr<ElfDwarf, void (*)(ElfDwarf*)> hold(elf, elf_dwarf_free);
    int without_addr = 0;
    const std::vector<SourceLine> lines = code_lines(elf, &without_addr);
    ASSERT_GT(lines.size(), 20u) << "too few lines of our sources in " << image;

    QemuGdbBatch batch;
    batch.elf = path;
    batch.scan_quiet_ms = kGdbQuietMs, batch.reach_ms = kGdbReachMs, batch.op_ms = kGdbOpMs;
    for (const SourceLine& l : lines)
        for (const Op& op : kOps) batch.cases.push_back({l.addr, op.gdb});
    auto t0 = Clock::now();
    double gdb_s = 0;
    auto theirs = std::async(std::launch::async, [&] {
        QemuGdbBatchResult r;
        qemu_gdb_batch(batch, &r);
        gdb_s = std::chrono::duration<double>(Clock::now() - t0).count();
        return r;
    });

    std::vector<Answer> ours(batch.cases.size());
    {
        OurRig rig(image, GetParam().reach_ms);
        ASSERT_TRUE(rig.ok()) << rig.error();
        std::vector<uint32_t> addrs;
        for (const SourceLine& l : lines) addrs.push_back(l.addr);
        std::sort(addrs.begin(), addrs.end());
        addrs.erase(std::unique(addrs.begin(), addrs.end()), addrs.end());
        std::set<uint32_t> reached;
        ASSERT_TRUE(rig.scan(addrs, &reached)) << rig.error();
        for (size_t i = 0; i < batch.cases.size(); ++i) {
            if (!reached.count(batch.cases[i].addr)) {
                ours[i].note = "not reached in our scan";
            } else if (!rig.run(batch.cases[i].addr, kOps[i % 3].ours, &ours[i])) {
                ADD_FAILURE() << "our side stopped answering at case " << i << ": " << ours[i].note;
                break;
            }
        }
    }
    double our_s = std::chrono::duration<double>(Clock::now() - t0).count();
    QemuGdbBatchResult r = theirs.get();
    if (const char* dump = std::getenv("KORVANE_GDB_DIFF_DUMP")) std::ofstream(std::string(dump) + "/" + image + ".gdb.txt") << r.transcript;
    ASSERT_TRUE(r.error.empty()) << r.error << "\n" << r.transcript.substr(r.transcript.size() > 4000 ? r.transcript.size() - 4000 : 0);
    ASSERT_EQ(r.cases.size(), batch.cases.size());

    std::map<std::string, Tally> rows;
    std::vector<std::string> unexplained;
    auto tally = [&](const char* row, const std::string& where, const Answer& o, const Answer& g,
                     const Kinds& kinds) {
        Tally& t = rows[row];
        ++t.cases;
        if (o.outcome == Outcome::NotReached && g.outcome == Outcome::NotReached) ++t.unreached_both;
        else if (kinds.empty()) ++t.agree;
        for (const auto& [kind, detail] : kinds) {
            ++t.kinds[kind];
            bool by_design = kind == kTiming || kind == kNoAnswer || listed(kAllowed, kind, row, where);
            if (!by_design) {
                ++t.failing;
                unexplained.push_back(where + " " + row + ": " + kind + ": ours " + answer_text(o, true) + " | gdb " +
                                      answer_text(g, true));
            }
            auto& ex = t.examples[kind];
            bool stack = kind.find("frame") != std::string::npos || kind.find("stack") != std::string::npos ||
                         kind.find("depth") != std::string::npos || kind.find("line") != std::string::npos;
            if (ex.size() < 5)
                ex.push_back(where + " " + row + (detail.empty() ? "" : " (" + detail + ")") + ": ours " +
                             answer_text(o, stack) + " | gdb " + answer_text(g, stack) + " | gdb bt: " + frames_text(g.after));
        }
    };
    for (size_t i = 0; i < batch.cases.size(); ++i) {
        const SourceLine& l = lines[i / 3];
        std::string where = base(l.file) + ":" + std::to_string(l.line);
        const Answer& g = r.cases[i];
        tally(kOps[i % 3].name, where, ours[i], g, compare(ours[i], g));
        if (i % 3 == 0) {  // the halt at the breakpoint, once per line
            Answer ob = ours[i], gb = g;
            ob.after = ob.at, gb.after = gb.at;
            Kinds k;
            if (gb.outcome == Outcome::Hung)
                k.push_back({kNoAnswer, ""});
            else if ((ob.outcome == Outcome::NotReached) != (gb.outcome == Outcome::NotReached))
                k = compare(ob, gb);
            else if (ob.outcome != Outcome::NotReached)
                compare_stacks(ob.after, gb.after, &k);
            if (ob.outcome != Outcome::NotReached) ob.outcome = gb.outcome = Outcome::Done;
            tally("break", where, ob, gb, k);
        }
    }
    if (const char* dump = std::getenv("KORVANE_GDB_DIFF_DUMP")) {  // every case, for a closer look
        std::ofstream f(std::string(dump) + "/" + image + ".txt");
        for (size_t i = 0; i < batch.cases.size(); ++i)
            f << base(lines[i / 3].file) << ":" << lines[i / 3].line << " " << kOps[i % 3].name << "\n  at   ours ["
              << frames_text(ours[i].at) << "] gdb [" << frames_text(r.cases[i].at) << "]\n  ours "
              << answer_text(ours[i], true) << "\n  gdb  " << answer_text(r.cases[i], true) << "\n";
    }
    int failing = 0;
    for (const auto& [row, t] : rows) failing += t.failing;
    std::string table = report(image, rows);
    std::printf("%s[%s] %zu lines (%d more without an address), %zu cases; gdb's scan reached %zu addresses "
                "(longest wait %d ms); gdb %.1f s, ours %.1f s "
                "(side by side)\n",
                table.c_str(), image.c_str(), lines.size(), without_addr, batch.cases.size(), r.scan_reached,
                r.scan_longest_gap_ms, gdb_s, our_s);
    EXPECT_LE(r.scan_longest_gap_ms * 2, kGdbQuietMs) << "gdb's scan may have ended before a line was reached";
    for (const std::string& u : unexplained) std::printf("  not explained: %s\n", u.c_str());
    EXPECT_EQ(failing, 0) << "disagreements with gdb that are not allowed differences (table above)";
}

INSTANTIATE_TEST_SUITE_P(Images, GdbDiff, ::testing::ValuesIn(kImages), [](const auto& info) {
    std::string n = info.param.file;
    return n.substr(0, n.find('.'));
});

}  // namespace
