// An oracle nobody here wrote: runs firmware on QEMU's netduinoplus2 (an
// STM32F405 board) under gdb-multiarch and collects what gdb reports, so
// tests can compare the simulator with an independent Cortex-M model.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

enum class QemuGdbOp {
    Break,      // break ARG        ("*symbol": its first instruction, not after the prologue)
    Delete,     // delete all breakpoints
    Continue,   // continue until a breakpoint; records a QemuGdbStop
    StepInstr,  // stepi; records a QemuGdbStop
    SetVar,     // set var ARG      (e.g. "g_fault_trigger = 1")
    Registers,  // info registers;  records a QemuGdbRegs
    Memory,     // x/COUNTwx ARG    (ARG is an address expression); records a QemuGdbMemory
    Print,      // print ARG;       records the value text
    Next,       // next;   records a QemuGdbStop
    StepLine,   // step;   records a QemuGdbStop
    Finish,     // finish; records a QemuGdbStop
};

struct QemuGdbStep {
    QemuGdbStep(QemuGdbOp o = QemuGdbOp::Continue, std::string a = "", unsigned n = 0) : op(o), arg(std::move(a)), count(n) {}
    QemuGdbOp op;
    std::string arg;
    unsigned count;  // words, for Memory
};

struct QemuGdbScript {
    std::string elf;
    std::vector<QemuGdbStep> steps;
    int timeout_ms = 30000;  // the whole session: start, every step, shutdown
};

struct QemuGdbStop { uint32_t pc = 0; };
struct QemuGdbRegs { uint32_t r[16] = {}, xpsr = 0; };  // r13 = sp, r14 = lr, r15 = pc
struct QemuGdbMemory { std::vector<uint32_t> words; };

struct QemuGdbResult {
    std::vector<QemuGdbStop> stops;     // one per Continue/StepInstr/Next/StepLine/Finish, in order
    std::vector<QemuGdbRegs> regs;      // one per Registers
    std::vector<QemuGdbMemory> memory;  // one per Memory
    std::vector<std::string> prints;    // one per Print: the text after "$N = "
    std::string error;                  // why the run failed
    std::string transcript;             // gdb's output, for failure messages
};

// One frame of gdb's `bt`.
struct QemuGdbFrame {
    int level = 0;
    uint32_t pc = 0;        // as printed; 0 where bt prints none (frame 0 at a line's start, inline frames)
    std::string func;       // "??" when unknown
    std::string file;       // "" without line information
    uint32_t line = 0;
    bool exception = false;  // "<signal handler called>": an exception entry
};

// A batched session: many cases in ONE QEMU + gdb session. Each case starts
// from a reset, runs to addr (a temporary breakpoint), records pc and bt,
// runs one command and records pc and bt again.
enum class QemuGdbLineOp { Next, Step, Finish };

struct QemuGdbCase {
    uint32_t addr = 0;  // bit 0 clear
    QemuGdbLineOp op = QemuGdbLineOp::Next;
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
    std::vector<QemuGdbCase> cases;
    // Before the cases, one run from reset with a breakpoint on every case
    // address finds the reachable ones, so that an unreachable address costs
    // one quiet period for the whole batch instead of one guard per case.
    int scan_quiet_ms = 3000;  // the scan ends after this long without a new address reached
    int reach_ms = 3000;       // per case: the run from reset to addr
    int op_ms = 1000;          // per case: the command
    // QEMU's -icount shift=N,sleep=off: SysTick counts the instructions run,
    // so each case sees the same ticks; below 0, QEMU runs on the host clock.
    int icount_shift = 3;
    int timeout_ms = 900000;  // the whole session
};

struct QemuGdbBatchResult {
    std::vector<QemuGdbCaseResult> cases;  // one per case, in order (fewer when the session broke off)
    size_t scan_reached = 0;               // addresses the scan reached
    int scan_longest_gap_ms = 0;           // the longest wait for a new one: the quiet period must exceed it
    std::string error;
    std::string transcript;  // gdb's output
};

// qemu-system-arm and gdb-multiarch are on PATH.
bool qemu_gdb_available();
// Starts QEMU halted, runs the script in gdb and always kills QEMU afterwards.
// False (with result->error) when a tool fails to start, a step fails,
// output cannot be parsed or the time-out passes.
bool qemu_gdb_run(const QemuGdbScript& script, QemuGdbResult* result);
// Parses gdb's output for a script; false on missing steps or unreadable output.
bool qemu_gdb_parse(const QemuGdbScript& script, const std::string& out, QemuGdbResult* result);
// Runs the batch. A case in which gdb or QEMU stops answering is recorded as
// Hung and a new session goes on with the next one. False (with error) when
// a tool fails to start, the whole time-out passes or the output cannot be
// read; the cases read so far stay in result->cases.
bool qemu_gdb_batch(const QemuGdbBatch& batch, QemuGdbBatchResult* result);
// Reads a batch session's output for case_count cases.
bool qemu_gdb_parse_batch(const std::string& out, size_t case_count, QemuGdbBatchResult* result);
// Reads `bt` text: one frame per "#N" line; false (with error) for a frame
// line it cannot read or levels out of order.
bool qemu_gdb_parse_bt(const std::string& text, std::vector<QemuGdbFrame>* frames, std::string* error);
// Runs a tool (argv[0] searched on PATH) and collects its stdout and stderr.
// False when it cannot start or outlives timeout_ms (then it is killed).
bool qemu_gdb_capture(const std::vector<std::string>& argv, int timeout_ms, std::string* out, int* exit_code);
