// Fault analysis: when the core stops in a fault handler, the fault status
// registers are decoded, the stacked exception frame is read and the
// faulting pc is placed in the source. The report is built on the probe
// thread in a record of its own and published into g_hardfault under
// reg_buf_mtx; the Fault panel reads it under the same lock.
#pragma once

#include <cstdint>

struct ElfDwarf;

struct HardFaultInfo {
    bool valid;
    uint32_t exception_nr;  // low 8 bits of IPSR at the stop
    uint32_t hfsr;
    uint32_t cfsr;  // MMFSR 7:0, BFSR 15:8, UFSR 31:16
    bool mmfar_valid;
    uint32_t mmfar;
    bool bfar_valid;
    uint32_t bfar;
    bool frame_valid;  // the stacked exception frame was readable
    uint32_t frame_pc;
    uint32_t frame_lr;
    uint32_t frame_xpsr;
    uint32_t frame_r0, frame_r1, frame_r2, frame_r3, frame_r12;
    char fault_file[256];
    uint32_t fault_line;
    char summary[512];  // one finding per line, '\n' separated
    uint32_t stop_pc;   // where the core stood when the report was made
};

extern HardFaultInfo g_hardfault;

// "HardFault", "MemManage", ... for an exception number; "Unknown" otherwise.
const char* fault_exception_name(uint32_t exception_nr);

// How the analysis reaches the target: the probe thread's wrappers unless a
// test hands it another (null restores them).
struct FaultTarget {
    bool (*read_regs)(const uint8_t* sel, int count, uint32_t* vals);  // DCRSR selectors
    bool (*read_mem)(uint32_t addr, uint8_t* out, uint32_t len);
    bool (*write_word)(uint32_t addr, uint32_t val);
};
void fault_set_target(const FaultTarget* t);
// The image the faulting pc is looked up in (null: none).
void fault_set_image(const ElfDwarf* elf);

// stop_reply: why the core stopped ("BREAKPOINT", "HALT"... clear the report);
// regs_in: R0-R15 when the caller has them. True when a fault was analysed.
bool hardfault_check(const char* stop_reply, const uint32_t* regs_in);
// Analyses the core in an exception into *out (zeroed first): regs holds
// SP at 13 and EXC_RETURN at 14. Reads the target without any lock.
void hardfault_analyze(const uint32_t regs[16], HardFaultInfo* out);
// Executable by the Cortex-M memory map (code, SRAM, external RAM).
bool pc_is_plausible(uint32_t pc);
// One line onto the summary; lines that do not fit are cut or dropped.
void hf_append(HardFaultInfo* r, const char* line);
// One word of target memory; false (and *out untouched) when it failed.
bool scb_read(uint32_t addr, uint32_t* out);
// The report is gone (a reset, an ordinary stop).
void hardfault_clear();

// The probe thread's hook for a stop it did not ask for (a poll found the
// core halted, a step ended elsewhere) and for the user's Pause: a core in a
// fault handler (IPSR 3-7) whose status registers record a fault is
// analysed, any other stop clears the report. A vector-catch halt is
// acknowledged in DFSR.
void fault_on_stop();
// Before a Continue: from a fault stop the core goes on in the handler.
void fault_on_resume();
