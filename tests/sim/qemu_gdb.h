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

// A variable session: ONE run from reset with a breakpoint on every address
// in `breaks`; at each stop gdb's info frame, info registers (and S0-S31),
// info args and info locals are recorded, every name they list is printed,
// and the memory asked for is read. A breakpoint is removed after `hits`
// stops; the run ends when none is left, after max_stops, or when no
// breakpoint is hit for quiet_ms.
struct QemuGdbVar {
    char kind = 0;          // 'a' argument, 'l' local, 'g' global (asked for by name)
    std::string name;
    std::string print;      // print's value text ("" when print failed)
    std::string error;      // why print failed
    bool in_memory = false;  // gdb reads it from memory: at addr (at most 64 bytes kept)
    uint32_t addr = 0;
    std::vector<uint8_t> bytes;
};

struct QemuGdbEntry {  // one line of info args / info locals: "NAME = VALUE"
    std::string name, value;
};

struct QemuGdbMemBlock {
    uint32_t addr = 0;
    std::vector<uint8_t> bytes;  // empty when gdb could not read it
};

struct QemuGdbVarStop {
    uint32_t pc = 0;
    bool has_cfa = false;  // info frame's "frame at 0x...": the CFA
    uint32_t cfa = 0;
    std::string func;  // info frame's "in NAME"
    bool has_regs = false, has_fregs = false;
    QemuGdbRegs regs;
    uint32_t s[32] = {};                        // S0-S31, raw
    std::vector<QemuGdbEntry> args, locals;     // in gdb's order: innermost block first
    std::vector<QemuGdbVar> vars;               // one print per distinct name, then the globals
    std::vector<QemuGdbMemBlock> memory;        // the reads asked for, then the stack from SP
    // Bytes [addr, addr + n) from one recorded block; false when none holds them.
    bool read(uint32_t addr, uint32_t n, std::vector<uint8_t>* out) const;
};

struct QemuGdbVarSession {
    std::string elf;
    std::vector<uint32_t> breaks;  // bit 0 clear
    unsigned hits = 2, max_stops = 200;
    std::vector<std::string> globals;  // printed at the first stop
    std::vector<std::pair<uint32_t, uint32_t>> global_reads;  // (address, bytes) read at the first stop
    std::vector<std::pair<uint32_t, std::vector<std::pair<uint32_t, uint32_t>>>> reads;  // by stop pc
    uint32_t stack_window = 1024;  // bytes from SP (fewer where memory ends), and 256 below it
    int quiet_ms = 4000;
    int icount_shift = 3;
    int timeout_ms = 120000;
};

struct QemuGdbVarResult {
    std::vector<QemuGdbVarStop> stops;
    bool quiet = false;  // ended because no breakpoint was hit any more
    std::string error;
    std::string transcript;
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
// Runs a variable session. False (with error) when a tool fails to start,
// gdb stops answering, the time-out passes or the output cannot be read; the
// stops read so far stay in result->stops.
bool qemu_gdb_variables(const QemuGdbVarSession& session, QemuGdbVarResult* result);
bool qemu_gdb_parse_variables(const std::string& out, QemuGdbVarResult* result);
// The names of gdb's `info variables -n` text (file-level and static
// variables with debug information), qualified as gdb writes them.
std::vector<std::string> qemu_gdb_parse_info_variables(const std::string& text);
// Reads `bt` text: one frame per "#N" line; false (with error) for a frame
// line it cannot read or levels out of order.
bool qemu_gdb_parse_bt(const std::string& text, std::vector<QemuGdbFrame>* frames, std::string* error);
// Runs a tool (argv[0] searched on PATH) and collects its stdout and stderr.
// False when it cannot start or outlives timeout_ms (then it is killed).
bool qemu_gdb_capture(const std::vector<std::string>& argv, int timeout_ms, std::string* out, int* exit_code);
