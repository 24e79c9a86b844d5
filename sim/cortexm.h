// An ARMv7-M core (Cortex-M4F) on the Unicorn engine. Unicorn executes
// instructions; everything the architecture does around them is here:
// exception entry and return, priorities, faults and their escalation,
// lockup, sleep, debug halt/step, vector catch, reset.
//
// Unicorn 2.0.1 behaviour this relies on (measured):
// - SVC raises interrupt 2 with PC after the SVC; BKPT raises interrupt 7
//   with PC at the BKPT; a branch to 0xFFFFFFxx raises interrupt 8 with PC =
//   value & ~1; UDF stops with UC_ERR_INSN_INVALID, PC at the UDF.
// - An unmapped load/store stops with UC_ERR_READ/WRITE_UNMAPPED and PC at
//   the instruction, registers untouched (an STM's writeback too); a fetch
//   from unmapped/non-executable memory stops with UC_ERR_FETCH_UNMAPPED/
//   FETCH_PROT. Pages mapped after such a stop are seen when the instruction
//   runs again.
// - WFI/WFE execute as NOPs: sleep is decoded here before they run.
// - FP instructions run whatever CPACR says (Unicorn's CPACR is open): NOCP is
//   decoded here while our CPACR denies CP10/CP11. Executing one sets
//   CONTROL.FPCA as the architecture says.
// - SDIV/UDIV by zero return 0 without a trap: DIV_0_TRP is decoded here.
// - Writes to CONTROL/PRIMASK/MSP/PSP are ignored while the engine is in
//   unprivileged thread mode; writing IPSR swaps the banked SP as needed. So
//   mode changes go through cm_write_mode, which stages them in handler mode.
// - uc_emu_stop() in a code hook stops before that instruction executes.
// - XPSR reads include APSR.GE, but writing UC_ARM_REG_APSR drops GE: flags
//   are written through UC_ARM_REG_APSR_NZCVQG, which keeps them.
//
// - The IT block state survives a stop and restart at the same PC, but no
//   register shows it (XPSR reads without IT bits; writing XPSR, APSR or
//   IPSR does not clear it). Stops from our hooks were never seen to land
//   inside an IT block; as a guard, exceptions are not taken inside one
//   (the block is at most 4 instructions, see cortexm.cpp).
// - The code hook does not run for an instruction of an IT block whose
//   condition fails: a hooked instruction is one that executes. (The count
//   of IT instructions still to come therefore runs late after such a
//   block, deferring an exception by at most 3 instructions.)
//
// FP context: with FPCCR.LSPEN an exception entry only reserves the space
// for S0-S15/FPSCR (FPCCR.LSPACT, FPCAR); the first FP instruction that
// executes writes them there, and a return with LSPACT still set
// leaves the registers as they are. A failed lazy write is taken as a
// BusFault (LSPERR) at that instruction.
// Stores other than to the PPB go through a write buffer (ACTLR.DISDEFWBUF
// clear): a bus error on one is an imprecise BusFault, pended once the store
// has completed and taken at the next instruction boundary the priority
// allows. A failed stacking on exception entry is a derived BusFault
// (STKERR), taken instead of the original exception when more urgent.
// Simplifications: a store refused by system memory (read-only) stays a
// precise BusFault; a fault raised by an instruction inside an IT block
// enters its handler with the engine's leftover IT state (not seen in
// practice); no MPU (MPU_TYPE reads 0); UNALIGN_TRP is stored but not
// enforced; FPB and DWT matches are ignored while C_DEBUGEN is clear.
#pragma once

#include "sim/board_profile.h"
#include "sim/scs.h"
#include "sim/sim_types.h"

#include <cstdint>

struct uc_struct;

constexpr unsigned SIM_CM_MAX_IRQS = 128;
constexpr unsigned SIM_CM_NUM_EXC = 16 + SIM_CM_MAX_IRQS;
constexpr unsigned SIM_CM_MAX_FETCH_REGIONS = 6;

enum : unsigned {
    SIM_EXC_RESET = 1, SIM_EXC_NMI = 2, SIM_EXC_HARDFAULT = 3, SIM_EXC_MEMMANAGE = 4,
    SIM_EXC_BUSFAULT = 5, SIM_EXC_USAGEFAULT = 6, SIM_EXC_SVCALL = 11, SIM_EXC_DEBUGMON = 12,
    SIM_EXC_PENDSV = 14, SIM_EXC_SYSTICK = 15, SIM_EXC_IRQ0 = 16,
};

// DCRSR register selectors.
enum : unsigned {
    SIM_REG_SP = 13, SIM_REG_LR = 14, SIM_REG_DEBUG_RETURN = 15, SIM_REG_XPSR = 16, SIM_REG_MSP = 17,
    SIM_REG_PSP = 18, SIM_REG_CONTROL_PACKED = 20, SIM_REG_FPSCR = 0x21, SIM_REG_S0 = 0x40,
};

// Host memory the core may execute from, for decoding before execution.
struct SimFetchRegion {
    uint32_t base, size;
    const uint8_t* ptr;
};

// What the engine reported at the end of a run of instructions.
enum class SimCmEvent : uint8_t {
    none, svc, bkpt, exc_return, wfi, wfe, undef, invstate, nocp, divbyzero,
    data_bus_error, fetch_error, late_bus_error, stop_request, debug_match, lazy_fp_error,
};

struct SimCortexM {
    uc_struct* uc;
    SimBoardProfile profile;
    SimMemPort bus; // the core's view of the system bus (stacking, vectors)
    SimScs scs;

    uint8_t prio[SIM_CM_NUM_EXC];
    bool pending[SIM_CM_NUM_EXC];
    bool active[SIM_CM_NUM_EXC];
    bool irq_enabled[SIM_CM_MAX_IRQS];
    unsigned num_exc; // 16 + implemented IRQs

    bool halted, sleeping, lockup, reset_pin, held_in_reset, never_halt;
    bool step_pending;  // C_STEP released the core for exactly one instruction
    bool epsr_t;        // false: the next instruction raises INVSTATE
    bool event_reg;
    bool sleep_on_wfe;
    uint8_t it_left;    // instructions of an IT block still to come
    uint64_t instr_count;

    SimFetchRegion fetch[SIM_CM_MAX_FETCH_REGIONS];
    unsigned num_fetch;

    // Set while the engine runs; read by the hooks.
    uint64_t budget, executed;
    bool stop_next;        // stop before the next instruction
    SimCmEvent event;
    uint32_t event_pc;     // the instruction the event belongs to
    uint32_t event_addr;   // data address of a bus error
    bool event_write;
    bool sysreset_request;
    bool completing_store; // a refused buffered store runs again into a sink
    bool vectreset_request;

    // Called before each instruction while `*flush_flag` is set: a store the
    // engine made into read-only memory is put right there (see board.cpp).
    void* flush_ctx;
    void (*flush)(void* ctx);
    bool flush_flag;

    // Asked before each instruction: DFSR bits of a breakpoint or DWT match
    // at this address (halts like BKPT), 0 for none. May be null.
    void* instr_check_ctx;
    uint32_t (*instr_check)(void* ctx, uint32_t pc);
    uint32_t event_dfsr;

    // Fault injection: this many coming core resets do not honour the reset
    // vector catch (a target whose reset slips past the debugger's halt).
    unsigned fault_skip_reset_catch;
};

// False if Unicorn cannot be set up.
bool sim_cm_init(SimCortexM* c, const SimBoardProfile& profile, SimMemPort bus);
void sim_cm_destroy(SimCortexM* c);
bool sim_cm_add_fetch_region(SimCortexM* c, uint32_t base, uint32_t size, const uint8_t* ptr);

void sim_cm_power_on_reset(SimCortexM* c);
// Local reset of the core and SCS (SYSRESETREQ, nRESET): SP and PC reload
// from the vector table at 0; halts there when VC_CORERESET and C_DEBUGEN.
void sim_cm_system_reset(SimCortexM* c);

bool sim_cm_can_execute(const SimCortexM* c);
// Runs up to `max_cycles` instructions; returns the cycles used (>= 1 when it
// could execute, so a caller's loop always makes progress). Takes exceptions
// that are due before and between instructions.
uint64_t sim_cm_run(SimCortexM* c, uint64_t max_cycles);
// While sleeping: wake when an exception would preempt (WFI), or on an event.
void sim_cm_check_wake(SimCortexM* c);

// DCRSR selector access; false for a selector that does not exist.
bool sim_cm_read_reg(SimCortexM* c, unsigned regsel, uint32_t* value);
bool sim_cm_write_reg(SimCortexM* c, unsigned regsel, uint32_t value);

void sim_cm_set_pending(SimCortexM* c, unsigned exc, bool pending);
void sim_cm_set_irq_line(SimCortexM* c, unsigned irq, bool level);
// A peripheral refused an access the engine has already performed (memory
// mapped through callbacks cannot fail): the instruction is undone as far as
// PC goes and a precise BusFault is taken before the next one. A load's
// destination register keeps the value 0 the engine gave it. A buffered
// store is not undone: its BusFault is imprecise.
void sim_cm_late_bus_error(SimCortexM* c, uint32_t addr, bool write);
// A debug event the instruction now executing caused (a DWT data
// watchpoint): the core halts once it completes, with these DFSR bits.
// Ignored unless C_DEBUGEN is set.
void sim_cm_debug_event_after_insn(SimCortexM* c, uint32_t dfsr_bits);
// Debug requests from DHCSR.
void sim_cm_request_halt(SimCortexM* c, uint32_t dfsr_reason);
void sim_cm_resume(SimCortexM* c, bool step);

// Priorities as the architecture compares them (lower = more urgent).
int sim_cm_exec_priority(SimCortexM* c);
int sim_cm_exc_group_priority(const SimCortexM* c, unsigned exc);
// The pending exception that would be taken next (0 = none) and its priority.
unsigned sim_cm_highest_pending(const SimCortexM* c, int* prio);
