// Every line of the firmware's own sources that has code and that gdb's scan
// reaches from a reset, in each image: halted there by a breakpoint, our step
// over / into / out against gdb's next / step / finish on QEMU's netduinoplus2
// (line and frame depth reached), and our call stack against gdb's bt at both
// halts. One QEMU + gdb session and one simulated board per image, run side by
// side; a table of agreements and disagreements by kind, with examples, is printed.
#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "platform/clock.h"
#include "platform/paths.h"
#include "probe/probe.h"
#include "board_run.h"
#include "symbols/elf_dwarf.h"
#include "tests/sim/qemu_gdb.h"

namespace {

// Our board runs 4 instructions per virtual microsecond (a quarter of the
// firmware's 16 MHz): the firmware's 1 ms tick takes 4 virtual ms. A line gdb
// reached and we do not within 4 * reach_ms of virtual time after a reset
// counts as not reached by us. How long ours took is not measured: the
// board's clock runs on while this thread waits to be scheduled.
const std::pair<const char*, uint64_t> kImages[] = {  // image, reach_ms
    {"demo_O0_dwarf4.elf", 3600},  // the LED's lines wait for 500 ticks
    {"demo_O2_dwarf4.elf", 3600},
    {"rtos_O0_dwarf4.elf", 800},  // cooperative tasks, no waits on time
    {"rtos_O2_dwarf4.elf", 800},
};
const std::pair<const char*, int> kOps[] = {{"next", PROBE_CMD_STEP}, {"step", PROBE_CMD_STEP_INTO}, {"finish", PROBE_CMD_STEP_OUT}};

// Disagreements of a kind ("" any) at file:line prefixes that do not fail
// the test: gdb's rule or QEMU's board differs from ours by design.
struct Allowed {
    const char* kind;
    std::vector<std::string> where;
    const char* why;
};
const Allowed kAllowed[] = {
    {"", {"port.c:393", "port.c:413", "port.c:417", "port.c:422", "port.c:423"},
     "QEMU's NVIC keeps 8 priority bits, the STM32F405 (and our board) 4: the port's check of them takes another branch"},
    {"command does not end for gdb", {"startup.c:58"},
     "gdb single-steps every instruction of the .bss loop and its guard ends it; we run the loop to its exit"},
    {"", {"port.c:505", "port.c:508", "tasks.c:5248"},
     "PendSV_Handler is naked assembly without call frame information: gdb cannot tell its call of vTaskSwitchContext "
     "from a jump and stops there (we run the call); a return into it goes on into a task, where the tick decides"},
};

// A command still running after this much virtual time never ends (the
// slowest that ended took 420 ms, including up to a 200 ms poll).
constexpr uint64_t kOpVirtMs = 1500, kStackVirtMs = 400;
// gdb's guards, in real time: the scan's quiet period (twice its longest
// wait for a new line, checked), the run to a line the scan reached (costs
// nothing unless QEMU is starved), the command (gdb single-steps through a
// line's range; one that never ends costs this much).
constexpr int kGdbQuietMs = 10000, kGdbReachMs = 8000, kGdbOpMs = 3000;

struct SourceLine {
    std::string file;  // as stored in the image
    uint32_t line, addr;
};

std::string base(const std::string& p) { return path_base_name(p.c_str()); }

// Every (file, line) of our sources with code in the line table, at its first address.
std::vector<SourceLine> code_lines(const ElfDwarf* e) {
    std::set<std::pair<std::string, uint32_t>> seen;
    for (uint32_t i = 0; i < e->line_count; ++i) {
        const LineEntry& row = e->lines[i];
        if (row.line && row.file_idx < e->file_count && e->files[row.file_idx] && firmware_source(e->files[row.file_idx]))
            seen.insert({e->files[row.file_idx], row.line});
    }
    std::vector<SourceLine> out;
    for (const auto& [file, line] : seen)
        if (uint32_t a = elf_dwarf_line_to_addr(e, file.c_str(), line) & ~1u) out.push_back({file, line, a});
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
std::string answer_text(const Answer& a) {
    if (a.outcome == Outcome::NotReached || a.outcome == Outcome::OpFailed || a.outcome == Outcome::Hung)
        return (a.outcome == Outcome::NotReached ? "not reached (" : a.outcome == Outcome::OpFailed ? "refused (" : "no answer (") +
               a.note + ")";
    char pc[16];
    std::snprintf(pc, sizeof pc, "0x%08x", a.after.pc);
    std::string s;
    for (const QemuGdbFrame& f : a.after.frames)
        s += (s.empty() ? "" : " < ") + (f.exception ? "<exception>" : f.func + "@" + base(f.file) + ":" + std::to_string(f.line));
    return (a.outcome == Outcome::OpTimedOut ? "did not end, interrupted at " : "") + line_of(a.after) + " " + pc + " [" +
           (known(a.after) ? s : "(no stack)") + "]";
}

// Our side: one board and one probe thread for a whole image; each case
// starts from a reset, as gdb's does. Every wait is bounded by the board's
// virtual time (and a minute of ours).
bool wait_virtual(const std::function<bool()>& pred, uint64_t virt_ms) {
    uint64_t t0 = plat_time_ms();
    using Clock = std::chrono::steady_clock;
    for (auto end = Clock::now() + std::chrono::seconds(60); !pred(); std::this_thread::sleep_for(std::chrono::microseconds(200)))
        if (plat_time_ms() - t0 > virt_ms || Clock::now() > end) return pred();
    return true;
}
bool idle() { return g_cmd_busy == 0 && !probe_cmd_pending() && probe_poll_state() != PS_WAIT_HALT; }
bool stopped() { return g_is_halted && probe_poll_state() == PS_IDLE && !probe_cmd_pending(); }
uint32_t read_pc() {
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    return reg_buf[15] & ~1u;
}
// Posts once the previous command is done, and waits for this one.
bool post(int cmd, uint32_t addr = 0) { return wait_virtual([&] { return probe_post_cmd(cmd, addr); }, 5000) && wait_virtual(idle, 5000); }
bool halt() { return probe_post_cmd(PROBE_CMD_HALT, 0) && wait_virtual([] { return idle() && stopped(); }, 5000); }
// A reset is a priority command that leaves g_cmd_busy alone (and clears it
// when done, even for a command posted meanwhile): its end is its log line.
bool reset() {
    log_clear(&logv);  // also keeps a long run's log small
    return probe_post_cmd(PROBE_CMD_RESET, 0) && wait_virtual([] { return log_has("[DBG] Reset: "); }, 5000) && wait_virtual(idle, 5000);
}
// Our halt in gdb's records: the call stack the probe thread publishes, else the line alone.
Halt halt_state(const ElfDwarf* elf) {
    Halt h;
    wait_virtual([] { std::lock_guard<std::mutex> lk(reg_buf_mtx); return g_stack_frames_valid; }, kStackVirtMs);
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    h.pc = reg_buf[15] & ~1u, h.sp = reg_buf[13];
    for (int i = 0; g_stack_frames_valid && i < std::min<int>(g_stack_frame_count, UNWIND_MAX_FRAMES); ++i) {
        const UnwindFrame& f = g_stack_frames[i];
        h.frames.push_back({f.pc, f.func, f.file, f.line, f.is_exception});
    }
    if (h.frames.empty()) {
        ElfLocation loc = {};
        elf_dwarf_lookup(elf, h.pc, &loc);
        h.frames.push_back({h.pc, "", loc.file, loc.line, false});
        h.bt_error = "no call stack published";
    }
    return h;
}

// One case: from a reset to a breakpoint at addr, then the command. False
// only when the probe thread stopped answering (the rest of the image is then void).
bool run_case(const BoardRun& b, uint64_t reach_ms, uint32_t addr, int cmd, Answer* a) {
    a->note = "our probe thread did not answer";
    if (!reset() || !post(PROBE_CMD_SET_BKPT, addr)) return false;
    if (read_pc() != addr) {
        if (!post(PROBE_CMD_RESUME)) return false;
        // gdb reached it: a generous guard, as noticing a halt takes a poll or more.
        bool s = wait_virtual(stopped, 4 * reach_ms);
        if (!s || read_pc() != addr) {
            char where[64];
            std::snprintf(where, sizeof where, "%s at 0x%08x", s ? "halted" : "guard", read_pc());
            a->note = where;
            return (s || halt()) && post(PROBE_CMD_CLEAR_BKPT, addr);
        }
    }
    if (!post(PROBE_CMD_CLEAR_BKPT, addr)) return false;
    a->at = halt_state(b.elf);
    if (!probe_post_cmd(cmd, 0)) return false;
    bool ended = wait_virtual(idle, kOpVirtMs);
    if (!ended && !halt()) return false;
    a->outcome = ended ? Outcome::Done : Outcome::OpTimedOut, a->note = "";
    a->after = halt_state(b.elf);
    return true;
}

using Kinds = std::vector<std::pair<std::string, std::string>>;  // kind, detail

// Reported, never failing: a tick's handler interrupts other code on each
// board (their clocks differ), so where one returns to is not comparable; a
// case in which gdb or QEMU stopped answering, or in which gdb did not stop
// at a line its scan reached, has no answer to compare.
const char* const kTiming = "leaves an interrupt handler (depends on where the tick came)";
const char* const kNoAnswer = "no answer from gdb (its session was restarted, or it missed the line this time)";

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
    if (gdb.outcome == Outcome::Hung || gdb.outcome == Outcome::NotReached) return {{kNoAnswer, ""}};
    if (ours.outcome == Outcome::NotReached) return {{"not reached by us", ""}};
    if (gdb.outcome == Outcome::OpFailed) return ours.after.pc != ours.at.pc ? Kinds{{"gdb refuses, we move", ""}} : Kinds{};
    const Halt &o = ours.after, &g = gdb.after;
    int entry = exception_at(gdb.at);
    // Interrupted at the same place on both boards (a PendSV after a yield, say): nothing depends on timing.
    auto same_place = [&] {
        const auto &a = ours.at.frames, &b = gdb.at.frames;
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](const QemuGdbFrame& x, const QemuGdbFrame& y) {
                   return x.exception == y.exception && x.func == y.func && x.line == y.line;
               });
    };
    if (entry >= 0 && exception_at(ours.at) == entry && (exception_at(o) != entry || exception_at(g) != entry) && !same_place())
        return {{kTiming, ""}};
    if ((ours.outcome == Outcome::OpTimedOut) != (gdb.outcome == Outcome::OpTimedOut))
        return {{ours.outcome == Outcome::OpTimedOut ? "command does not end for us" : "command does not end for gdb", ""}};
    if (ours.outcome == Outcome::OpTimedOut) return {};  // neither ends
    if (line_of(o) != line_of(g)) return {{o.pc == g.pc ? "same pc, line lookup differs" : "line differs", ""}};
    Kinds k;
    if (o.pc == g.pc && o.sp != g.sp && exception_at(o) < 0 && exception_at(g) < 0) k.push_back({"same pc, another frame (sp differs)", ""});
    compare_stacks(o, g, &k);
    return k;
}

// Per row (each op, and the halt at the breakpoint): agreements and each kind
// of disagreement with its count and first five examples.
struct Tally {
    int cases = 0, agree = 0, failing = 0;
    std::map<std::string, std::pair<int, std::vector<std::string>>> kinds;
};

class GdbDiff : public ::testing::TestWithParam<std::pair<const char*, uint64_t>> {};

TEST_P(GdbDiff, EveryLineStepsAsGdbSteps) {
    const std::string image = GetParam().first, path = std::string(KORVANE_DEMO_FW_DIR) + "/" + image;
    if (!qemu_gdb_available()) GTEST_SKIP() << "needs qemu-system-arm and gdb-multiarch";
    ElfDwarf* elf = elf_dwarf_load(path.c_str());
    if (!elf) GTEST_SKIP() << image << " is not built";
    std::unique_ptr<ElfDwarf, void (*)(ElfDwarf*)> hold(elf, elf_dwarf_free);
    std::vector<SourceLine> lines = code_lines(elf);
    ASSERT_GT(lines.size(), 20u) << "too few lines of our sources in " << image;

    // Only the lines gdb's scan reaches are compared: gdb has no answer for the rest.
    QemuGdbBatch batch;
    batch.elf = path;
    batch.scan_quiet_ms = kGdbQuietMs, batch.reach_ms = kGdbReachMs, batch.op_ms = kGdbOpMs;
    for (const SourceLine& l : lines) batch.cases.push_back({l.addr, ""});
    QemuGdbBatchResult r;
    ASSERT_TRUE(qemu_gdb_scan(batch, &r)) << r.error << "\n" << r.transcript;
    EXPECT_LE(r.scan_longest_gap_ms * 2, kGdbQuietMs) << "gdb's scan may have ended before a line was reached";
    const size_t all = lines.size();
    std::erase_if(lines, [&](const SourceLine& l) { return !r.reached.count(l.addr); });
    ASSERT_GT(lines.size(), 20u) << "gdb's scan reached too few lines";
    batch.cases.clear();
    for (const SourceLine& l : lines)
        for (const auto& op : kOps) batch.cases.push_back({l.addr, op.first});
    auto theirs = std::async(std::launch::async, [&] { qemu_gdb_batch(batch, &r); });
    std::vector<Answer> ours(batch.cases.size());
    {
        BoardRun b(image);
        ASSERT_TRUE(b.ok()) << (b.rig.sys ? "the probe thread did not connect" : b.rig.err);
        std::set<uint32_t> missed;  // a line we do not reach costs its guard once
        for (size_t i = 0; i < batch.cases.size(); ++i) {
            const uint32_t addr = batch.cases[i].first;
            if (missed.count(addr)) {
                ours[i].note = "not reached in its first case";
            } else if (!run_case(b, GetParam().second, addr, kOps[i % 3].second, &ours[i])) {
                ADD_FAILURE() << "our side stopped answering at case " << i << ": " << ours[i].note;
                break;
            } else if (ours[i].outcome == Outcome::NotReached) {
                missed.insert(addr);
            }
        }
    }
    theirs.get();
    ASSERT_TRUE(r.error.empty()) << r.error << "\n" << r.transcript.substr(r.transcript.size() > 4000 ? r.transcript.size() - 4000 : 0);
    ASSERT_EQ(r.cases.size(), batch.cases.size());

    std::map<std::string, Tally> rows;
    std::vector<std::string> unexplained;
    auto tally = [&](const std::string& row, const std::string& where, const Answer& o, const Answer& g, const Kinds& kinds) {
        Tally& t = rows[row];
        ++t.cases, t.agree += kinds.empty();
        for (const auto& [kind, detail] : kinds) {
            const std::string ex = where + " " + row + (detail.empty() ? "" : " (" + detail + ")") + ": ours " + answer_text(o) +
                                   " | gdb " + answer_text(g);
            bool by_design = kind == kTiming || kind == kNoAnswer;
            for (const Allowed& a : kAllowed)
                for (const std::string& w : a.where) by_design |= (!*a.kind || kind == a.kind) && where.rfind(w, 0) == 0;
            if (!by_design) ++t.failing, unexplained.push_back(kind + ": " + ex);
            auto& [count, examples] = t.kinds[kind];
            if (++count <= 5) examples.push_back(ex);
        }
    };
    for (size_t i = 0; i < batch.cases.size(); ++i) {
        const SourceLine& l = lines[i / 3];
        const std::string where = base(l.file) + ":" + std::to_string(l.line);
        const Answer &o = ours[i], &g = r.cases[i];
        tally(kOps[i % 3].first, where, o, g, compare(o, g));
        if (i % 3 == 0) {  // the halt at the breakpoint, once per line
            Answer ob = o, gb = g;
            ob.after = ob.at, gb.after = gb.at;
            if (o.outcome != Outcome::NotReached && g.outcome != Outcome::NotReached && g.outcome != Outcome::Hung)
                ob.outcome = gb.outcome = Outcome::Done;
            tally("break", where, ob, gb, compare(ob, gb));
        }
    }
    for (const auto& [row, t] : rows) {
        std::printf("[%s] %s: %d lines, %d agree, %d disagree (%d not explained, the rest by design)\n", image.c_str(), row.c_str(),
                    t.cases, t.agree, t.cases - t.agree, t.failing);
        for (const auto& [kind, c] : t.kinds) {
            std::printf("    %d  %s\n", c.first, kind.c_str());
            for (const std::string& e : c.second) std::printf("        %s\n", e.c_str());
        }
    }
    std::printf("[%s] %zu lines with an address, %zu reached by gdb's scan and compared (longest wait %d ms)\n", image.c_str(), all,
                lines.size(), r.scan_longest_gap_ms);
    for (const std::string& u : unexplained) std::printf("  not explained: %s\n", u.c_str());
    EXPECT_TRUE(unexplained.empty()) << "disagreements with gdb that are not allowed differences (table above)";
}

INSTANTIATE_TEST_SUITE_P(Images, GdbDiff, ::testing::ValuesIn(kImages), [](const auto& info) {
    std::string n = info.param.first;
    return n.substr(0, n.find('.'));
});

}  // namespace
