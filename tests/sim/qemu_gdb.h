// An oracle nobody here wrote: firmware on QEMU's netduinoplus2 (an STM32F405
// board) under gdb-multiarch. One driver (tests/sim/qemu_gdb.py) runs in gdb
// in one of its modes and answers in tagged lines that one reader parses.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

// ops, answered by label: break ARG, delete, set ARG (set var), continue, stepi
// (the pc reached), regs (r0-r15, xPSR), mem (COUNT words at the address
// expression ARG), control (CONTROL[2:0]).
struct QemuGdbOp {
    std::string op, arg = "";
    unsigned count = 0;
    std::string label = "";  // "": nothing recorded
};
using QemuGdbRec = std::map<std::string, std::vector<uint32_t>>;
// QEMU counts instructions for its clock (-icount): on host time, a SysTick
// that a loaded machine makes fall due beside an interrupt tail-chains into it
// and hands it its flags, and the records differ from run to run.
// False (with error and gdb's output) when a tool fails, an op fails or the time-out passes.
bool qemu_gdb_ops(const std::string& elf, const std::vector<QemuGdbOp>& ops, QemuGdbRec* rec, std::string* error,
                  int timeout_ms = 60000);

// steps: each case starts from a reset, runs to addr (a temporary breakpoint),
// records the halt, runs one command and records the halt again.
struct QemuGdbFrame {
    uint32_t pc = 0;
    std::string func;  // "??" when unknown
    std::string file;  // "" without line information
    uint32_t line = 0;
    bool exception = false;  // "<signal handler called>": an exception entry
};
struct QemuGdbHalt {
    uint32_t pc = 0, sp = 0;
    std::vector<QemuGdbFrame> frames;  // gdb's bt there
    std::string bt_error;              // why bt failed, when it did
};
enum class QemuGdbOutcome {
    Done,        // both halts recorded
    NotReached,  // addr not reached from reset within the guards
    OpTimedOut,  // the command did not end within its guard; `after` is where it was interrupted
    OpFailed,    // gdb refused the command (note); `after` is where it stands
    Hung,        // gdb or QEMU stopped answering in this case; the session went on from the next one
};
struct QemuGdbCaseResult {
    QemuGdbOutcome outcome = QemuGdbOutcome::NotReached;
    QemuGdbHalt at, after;
    std::string note;  // gdb's error for OpFailed; for NotReached how the run ended
};
struct QemuGdbBatch {
    std::string elf;
    std::vector<std::pair<uint32_t, std::string>> cases;  // address (bit 0 clear), command (next, step, finish)
    int scan_quiet_ms = 3000, reach_ms = 3000, op_ms = 1000;
    int timeout_ms = 900000;  // the whole session
};
struct QemuGdbBatchResult {
    std::vector<QemuGdbCaseResult> cases;  // one per case, in order
    std::set<uint32_t> reached;            // by the scan
    int scan_longest_gap_ms = 0;           // the longest wait for a new address: the quiet period must exceed it
    std::string error, transcript;
};
// The case addresses reached in one run from reset with a breakpoint on each,
// until scan_quiet_ms pass without a new one: an unreachable address costs
// one quiet period instead of one guard per case.
bool qemu_gdb_scan(const QemuGdbBatch& batch, QemuGdbBatchResult* result);
// The cases; one in which gdb or QEMU stops answering is recorded as Hung and
// a new session goes on with the next one.
bool qemu_gdb_batch(const QemuGdbBatch& batch, QemuGdbBatchResult* result);

// variables: one run from reset with a breakpoint on every address. At each
// stop: info frame's CFA, the registers, info args / info locals, print of
// every name they list (and of the globals at the first stop), and the memory
// asked for plus the stack around SP. A breakpoint goes after `hits` stops;
// the run ends when none is left, after max_stops, or quiet_ms without a hit.
struct QemuGdbVar {
    char kind = 0;                   // 'a' argument, 'l' local, 'g' global
    std::string name, print, error;  // print's value text, or why it failed
    uint32_t addr = 0;               // where gdb reads it from memory (0: not from memory)
};
struct QemuGdbEntry {
    char kind = 0;  // 'a' info args, 'l' info locals: "NAME = VALUE", innermost block first
    std::string name, value;
};
struct QemuGdbVarStop {
    uint32_t pc = 0, cfa = 0;
    bool has_cfa = false, has_regs = false, has_fregs = false;  // info frame's "frame at": the CFA
    uint32_t r[17] = {};  // r0-r15, xPSR
    uint32_t s[32] = {};  // S0-S31, raw
    std::vector<QemuGdbEntry> entries;
    std::vector<QemuGdbVar> vars;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> memory;  // (address, bytes); empty when unreadable
    // Bytes [addr, addr + n) from one recorded block; false when none holds them.
    bool read(uint32_t addr, uint32_t n, std::vector<uint8_t>* out) const;
};
struct QemuGdbVarSession {
    std::string elf;
    std::vector<uint32_t> breaks;  // bit 0 clear
    unsigned hits = 2, max_stops = 200;
    std::vector<std::string> globals;  // printed at the first stop
    std::vector<std::pair<uint32_t, uint32_t>> global_reads;  // (address, bytes) read at the first stop
    std::map<uint32_t, std::vector<std::pair<uint32_t, uint32_t>>> reads;  // by stop pc
    uint32_t stack_window = 1024;  // bytes from SP (fewer where memory ends), and 256 below it
    int quiet_ms = 4000, timeout_ms = 120000;
};
struct QemuGdbVarResult {
    std::vector<QemuGdbVarStop> stops;
    bool quiet = false;  // ended because no breakpoint was hit any more
    std::string error, transcript;
};
bool qemu_gdb_variables(const QemuGdbVarSession& session, QemuGdbVarResult* result);

bool qemu_gdb_available();  // qemu-system-arm and gdb-multiarch are on PATH
// The names gdb's `info variables -n` lists for the image (file-level and
// static variables with debug information), qualified as gdb writes them.
std::vector<std::string> gdb_info_variables(const std::string& elf);
// A file of the firmware's own sources (not libgcc's or a toolchain's).
bool firmware_source(const std::string& path);
