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

// qemu-system-arm and gdb-multiarch are on PATH.
bool qemu_gdb_available();
// Starts QEMU halted, runs the script in gdb and always kills QEMU afterwards.
// False (with result->error) when a tool fails to start, a step fails,
// output cannot be parsed or the time-out passes.
bool qemu_gdb_run(const QemuGdbScript& script, QemuGdbResult* result);
// Parses gdb's output for a script; false on missing steps or unreadable output.
bool qemu_gdb_parse(const QemuGdbScript& script, const std::string& out, QemuGdbResult* result);
// Runs a tool (argv[0] searched on PATH) and collects its stdout and stderr.
// False when it cannot start or outlives timeout_ms (then it is killed).
bool qemu_gdb_capture(const std::vector<std::string>& argv, int timeout_ms, std::string* out, int* exit_code);
