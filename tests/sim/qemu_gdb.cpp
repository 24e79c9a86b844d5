#include "tests/sim/qemu_gdb.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "tests/symbols/oracle.h"

namespace {

using Fields = std::vector<std::string>;  // one "@@KQG" line: its tag, then its fields

// Every answer line of a transcript, split at its tabs.
std::vector<Fields> records(const std::string& out) {
    std::vector<Fields> r;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);) {
        if (l.rfind("@@KQG ", 0) != 0) continue;
        Fields& f = r.emplace_back(1);
        for (char c : l.substr(6)) c == '\t' ? (void)f.emplace_back() : f.back().push_back(c);
    }
    return r;
}

uint32_t num(const std::string& s) { return static_cast<uint32_t>(std::strtoul(s.c_str(), nullptr, 0)); }

std::vector<uint8_t> unhex(const std::string& h) {
    std::vector<uint8_t> b;
    for (size_t i = 0; i + 1 < h.size(); i += 2) b.push_back(static_cast<uint8_t>(std::stoul(h.substr(i, 2), nullptr, 16)));
    return b;
}

std::string py(const std::string& s) {
    std::string r = "'";
    for (char c : s) r += c == '\'' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    return r + "'";
}
std::string secs(int ms) { return std::to_string(ms / 1000.0); }

// gdb running the driver after the settings `config` gives, ended after
// timeout_ms; the driver ends itself when it falls silent for silent_ms.
std::string run_session(const std::string& elf, const std::string& mode, const std::string& config, bool icount,
                        int timeout_ms, int silent_ms) {
    char cfg[] = "/tmp/korvane-gdb-XXXXXX.py";
    int fd = mkstemps(cfg, 3);
    if (fd < 0) return "";
    close(fd);
    std::ofstream(cfg) << "MODE = " << py(mode) << "\nICOUNT = " << (icount ? "True" : "False") << "\nSILENT_S = "
                       << silent_ms / 1000 << "\n" << config;
    std::string out = run_capture("env -u DEBUGINFOD_URLS timeout -k 5 " + std::to_string(timeout_ms / 1000) +
                                  " gdb-multiarch -batch -nx -x " + cfg + " -x '" KORVANE_SOURCE_DIR "/tests/sim/qemu_gdb.py' '" +
                                  elf + "' 2>&1 </dev/null");
    unlink(cfg);
    return out;
}

// The records' FATAL, or an error when END is missing.
std::string failure(const std::vector<Fields>& r) {
    for (const Fields& f : r)
        if (f[0] == "FATAL" || f[0] == "HUNG") return std::string("gdb's driver ") + (f[0] == "HUNG" ? "hung: " : "failed: ") + (f.size() > 1 ? f[1] : "");
    return r.empty() || r.back()[0] != "END" ? "the output ended early" : "";
}

}  // namespace

bool qemu_gdb_available() {
    std::string s = run_capture("for t in qemu-system-arm gdb-multiarch timeout; do command -v $t; done");
    return std::count(s.begin(), s.end(), '\n') == 3;
}

bool firmware_source(const std::string& path) {
    namespace fs = std::filesystem;
    std::string p = fs::path(path).lexically_normal().string();
    for (const char* root : {KORVANE_SOURCE_DIR "/sim/firmware", KORVANE_SHARED_DATA "/firmware/FreeRTOS-Kernel"})
        if (p.rfind(fs::path(root).lexically_normal().string() + "/", 0) == 0) return true;
    return false;
}

bool qemu_gdb_ops(const std::string& elf, const std::vector<QemuGdbOp>& ops, QemuGdbRec* rec, std::string* error,
                  int timeout_ms) {
    std::ostringstream cfg;
    cfg << "OP_S = " << secs(timeout_ms / 4) << "\nOPS = [\n";
    for (const QemuGdbOp& o : ops) cfg << "(" << py(o.op) << ", " << py(o.arg) << ", " << o.count << ", " << py(o.label) << "),\n";
    cfg << "]\n";
    std::string out = run_session(elf, "ops", cfg.str(), true, timeout_ms, timeout_ms);
    std::vector<Fields> r = records(out);
    rec->clear();
    for (const Fields& f : r)
        if (f[0] == "REC" && f.size() > 1)
            for (size_t i = 2; i < f.size(); ++i) (*rec)[f[1]].push_back(num(f[i]));
    if ((*error = failure(r)).empty()) return true;
    *error += "\n" + out;
    return false;
}

bool qemu_gdb_scan(const QemuGdbBatch& b, QemuGdbBatchResult* result) {
    std::ostringstream cfg;
    cfg << "SCAN_S = " << secs(b.scan_quiet_ms) << "\nADDRS = [";
    for (const auto& c : b.cases) cfg << c.first << ",";
    cfg << "]\n";
    result->transcript = run_session(b.elf, "scan", cfg.str(), true, b.timeout_ms, b.scan_quiet_ms + 20000);
    std::vector<Fields> r = records(result->transcript);
    for (const Fields& f : r)
        if (f[0] == "SCAN") {
            result->scan_longest_gap_ms = std::stoi(f[1]);
            for (size_t k = 2; k < f.size(); ++k) result->reached.insert(num(f[k]));
        }
    return (result->error = failure(r)).empty();
}

bool qemu_gdb_batch(const QemuGdbBatch& b, QemuGdbBatchResult* result) {
    std::string& err = result->error;
    result->cases.clear(), result->transcript.clear();
    // A case silent for this long hung gdb or QEMU (every guard has long passed).
    const int silent_ms = b.reach_ms + b.op_ms + 20000;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(b.timeout_ms);
    while (result->cases.size() < b.cases.size()) {
        size_t first = result->cases.size();
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return err = "time-out at case " + std::to_string(first), false;
        std::ostringstream cfg;
        cfg << "REACH_S = " << secs(b.reach_ms) << "\nOP_S = " << secs(b.op_ms) << "\nFIRST = " << first << "\nCASES = [\n";
        for (size_t i = first; i < b.cases.size(); ++i) cfg << "(" << b.cases[i].first << ", " << py(b.cases[i].second) << "),\n";
        cfg << "]\n";
        std::string out = run_session(b.elf, "steps", cfg.str(), true, static_cast<int>(left), silent_ms);
        result->transcript += out;
        std::vector<Fields> r = records(out);
        std::vector<QemuGdbCaseResult> got;
        QemuGdbHalt* h = nullptr;  // the halt the records fill: `at` until the command's OUTCOME, then `after`
        for (const Fields& f : r) {
            if (f[0] == "CASE") got.emplace_back(), h = &got.back().at;
            if (!h) continue;
            QemuGdbCaseResult& c = got.back();
            if (f[0] == "MISS") c.note = f[1];
            else if (f[0] == "HALT") h->pc = num(f[1]), h->sp = num(f[2]);
            else if (f[0] == "FRAME") h->frames.push_back({num(f[2]), f[4], f[5], num(f[6]), f[3] == "1"});
            else if (f[0] == "BTERR") h->bt_error = f.size() > 1 ? f[1] : "error";
            else if (f[0] == "OUTCOME") {
                c.outcome = f[1] == "DONE"      ? QemuGdbOutcome::Done
                            : f[1] == "TIMEOUT" ? QemuGdbOutcome::OpTimedOut
                                                : QemuGdbOutcome::OpFailed;
                c.note = f[2], h = &c.after;
            }
        }
        err = failure(r);
        if (!err.empty() && !got.empty()) got.pop_back();  // the case it stopped in
        result->cases.insert(result->cases.end(), got.begin(), got.end());
        if (err.empty() && result->cases.size() == b.cases.size()) return true;
        if (err.rfind("gdb's driver hung", 0) != 0) return err = (err.empty() ? "cases missing from gdb's output" : err), false;
        result->cases.push_back({QemuGdbOutcome::Hung, {}, {}, err});
        err.clear();
    }
    return true;
}

bool QemuGdbVarStop::read(uint32_t addr, uint32_t n, std::vector<uint8_t>* out) const {
    for (const auto& [at, b] : memory)
        if (addr >= at && uint64_t(addr - at) + n <= b.size()) {
            out->assign(b.begin() + (addr - at), b.begin() + (addr - at) + n);
            return true;
        }
    return false;
}

bool qemu_gdb_variables(const QemuGdbVarSession& v, QemuGdbVarResult* result) {
    *result = QemuGdbVarResult{};
    std::ostringstream cfg;
    cfg << "QUIET_S = " << secs(v.quiet_ms) << "\nHITS = " << v.hits << "\nMAX_STOPS = " << v.max_stops
        << "\nWINDOW = " << v.stack_window << "\nGLOBALS = [";
    for (const std::string& g : v.globals) cfg << py(g) << ",";
    cfg << "]\nBREAKS = [";
    for (uint32_t a : v.breaks) cfg << a << ",";
    cfg << "]\nGLOBAL_READS = [";
    for (auto& [a, n] : v.global_reads) cfg << "(" << a << "," << n << "),";
    cfg << "]\nREADS = {";
    for (auto& [pc, list] : v.reads) {
        cfg << pc << ":[";
        for (auto& [a, n] : list) cfg << "(" << a << "," << n << "),";
        cfg << "],";
    }
    cfg << "}\n";
    // Silence longer than the quiet guard plus room for a starved QEMU is a hang.
    result->transcript = run_session(v.elf, "variables", cfg.str(), true, v.timeout_ms, v.quiet_ms + 20000);
    std::vector<Fields> r = records(result->transcript);
    for (const Fields& f : r) {
        QemuGdbVarStop* st = result->stops.empty() ? nullptr : &result->stops.back();
        if (f[0] == "STOP") result->stops.emplace_back().pc = num(f[2]);
        else if (f[0] == "DONE") result->quiet = f[1] == "quiet";
        else if (!st) continue;
        else if (f[0] == "CFA") st->has_cfa = !f[1].empty(), st->cfa = num(f[1]);
        else if (f[0] == "REGS" && f.size() == 18) {
            st->has_regs = true;
            for (int i = 0; i < 17; ++i) st->r[i] = num(f[i + 1]);
        } else if (f[0] == "FREGS" && f.size() == 33) {
            st->has_fregs = true;
            for (int i = 0; i < 32; ++i) st->s[i] = num(f[i + 1]);
        } else if (f[0] == "ENTRY") st->entries.push_back({f[1][0], f[2], f[3]});
        else if (f[0] == "VAR") st->vars.push_back({f[1][0], f[2], f[3], f[4], num(f[5])});
        else if (f[0] == "MEM") st->memory.push_back({num(f[1]), unhex(f[2])});
    }
    return (result->error = failure(r)).empty();
}

std::vector<std::string> gdb_info_variables(const std::string& elf) {
    std::vector<std::string> names;
    for (const Fields& f : records(run_session(elf, "names", "", false, 60000, 60000)))
        if (f[0] == "NAME" && f.size() > 1) names.push_back(f[1]);
    return names;
}
