// ARMv7-M debug units outside the SCS: the Flash Patch and Breakpoint unit
// (0xE0002000), the Data Watchpoint and Trace unit (0xE0001000) and a small
// ITM (0xE0000000). Each answers offsets relative to its base, including its
// CoreSight ID registers; the core asks them before it executes or accesses.
//
// These are debug-domain registers: the board resets them on power-on (and
// debug) reset, not on a system reset from SYSRESETREQ.
#pragma once

#include "sim/rom_table.h"
#include "sim/sim_types.h"

#include <cstdint>

// ---- FPB -------------------------------------------------------------------

constexpr uint32_t SIM_FPB_CTRL = 0x000;
constexpr uint32_t SIM_FPB_REMAP = 0x004;
constexpr uint32_t SIM_FPB_COMP0 = 0x008;
constexpr unsigned SIM_FPB_MAX_COMPS = 32;

struct SimFpbProfile {
    uint8_t version;   // 1: Cortex-M3/M4 (REV 0), 2: Cortex-M7 style (REV 1)
    uint8_t num_code;  // instruction comparators
    uint8_t num_lit;   // literal comparators (follow the code ones)
};
// Cortex-M4: version 1, 6 code and 2 literal comparators.
SimFpbProfile sim_fpb_profile_cortex_m4();

struct SimFpb {
    SimFpbProfile profile;
    SimCsIds ids;
    bool enable;
    uint32_t remap;
    uint32_t comp[SIM_FPB_MAX_COMPS];
};

// False (and the record left unusable: every match false) when the profile
// asks for more comparators than SIM_FPB_MAX_COMPS or an unknown version.
bool sim_fpb_init(SimFpb* fpb, const SimFpbProfile* profile);
void sim_fpb_reset(SimFpb* fpb);
bool sim_fpb_read(SimFpb* fpb, uint32_t offset, unsigned size, uint32_t* value);
bool sim_fpb_write(SimFpb* fpb, uint32_t offset, unsigned size, uint32_t value);
SimMemPort sim_fpb_port(SimFpb* fpb);
// True when an instruction at this (halfword-aligned) address hits an enabled
// breakpoint comparator: the core then halts with DFSR.BKPT set.
bool sim_fpb_match(const SimFpb* fpb, uint32_t instr_address);

// ---- DWT -------------------------------------------------------------------

constexpr uint32_t SIM_DWT_CTRL = 0x000;
constexpr uint32_t SIM_DWT_CYCCNT = 0x004;
constexpr uint32_t SIM_DWT_CPICNT = 0x008;
constexpr uint32_t SIM_DWT_EXCCNT = 0x00C;
constexpr uint32_t SIM_DWT_SLEEPCNT = 0x010;
constexpr uint32_t SIM_DWT_LSUCNT = 0x014;
constexpr uint32_t SIM_DWT_FOLDCNT = 0x018;
constexpr uint32_t SIM_DWT_PCSR = 0x01C;
constexpr uint32_t SIM_DWT_COMP0 = 0x020;   // COMPn at 0x20 + 16n, MASKn +4, FUNCTIONn +8
constexpr unsigned SIM_DWT_NUMCOMP = 4;

constexpr uint32_t SIM_DWT_CTRL_CYCCNTENA = 1u << 0;
constexpr uint32_t SIM_DWT_FUNCTION_MATCHED = 1u << 24;

// What the board tells the DWT about the core.
struct SimDwtCoreView {
    void* ctx;
    // The PC to sample; false while the core is halted in Debug state.
    bool (*sample_pc)(void* ctx, uint32_t* pc);
};

struct SimDwt {
    SimCsIds ids;
    SimDwtCoreView core;
    bool trcena;      // DEMCR.TRCENA, set by the board
    uint32_t ctrl;    // writable bits only
    uint32_t cyccnt;
    uint32_t comp[SIM_DWT_NUMCOMP];
    uint32_t mask[SIM_DWT_NUMCOMP];
    uint32_t function[SIM_DWT_NUMCOMP]; // including MATCHED
};

// `core` may have a null sample_pc: PCSR then always reads 0xFFFFFFFF.
void sim_dwt_init(SimDwt* dwt, SimDwtCoreView core);
void sim_dwt_reset(SimDwt* dwt);
void sim_dwt_set_trcena(SimDwt* dwt, bool trcena);
bool sim_dwt_read(SimDwt* dwt, uint32_t offset, unsigned size, uint32_t* value);
bool sim_dwt_write(SimDwt* dwt, uint32_t offset, unsigned size, uint32_t value);
SimMemPort sim_dwt_port(SimDwt* dwt);
// Core cycles elapsed: CYCCNT counts them while CYCCNTENA and TRCENA are set.
void sim_dwt_advance(SimDwt* dwt, uint64_t cycles);
// A data access by the core: sets MATCHED on every comparator it hits;
// true when one of them asks for a watchpoint debug event (FUNCTION 5/6/7).
bool sim_dwt_data_access(SimDwt* dwt, uint32_t addr, unsigned size, bool is_write);
// An instruction about to execute: FUNCTION 4 (PC match) comparators.
bool sim_dwt_instr_match(SimDwt* dwt, uint32_t instr_address);

// ---- ITM -------------------------------------------------------------------

constexpr uint32_t SIM_ITM_TER = 0xE00;
constexpr uint32_t SIM_ITM_TPR = 0xE40;
constexpr uint32_t SIM_ITM_TCR = 0xE80;
constexpr uint32_t SIM_ITM_LAR = 0xFB0;
constexpr uint32_t SIM_ITM_LSR = 0xFB4;
constexpr unsigned SIM_ITM_CAPTURE = 256;

// The ITM as a register stub that keeps what port 0 is sent, so the demo can
// show firmware's ITM printf. Bytes beyond the capture are counted, not kept.
struct SimItm {
    SimCsIds ids;
    bool trcena;
    bool unlocked;    // LAR written with the key: software writes accepted
    uint32_t ter, tpr, tcr;
    uint8_t captured[SIM_ITM_CAPTURE];
    unsigned captured_len;
    uint32_t dropped;
};

void sim_itm_init(SimItm* itm);
void sim_itm_reset(SimItm* itm);
// DEMCR.TRCENA, set by the board: without it the stimulus ports drop writes.
void sim_itm_set_trcena(SimItm* itm, bool trcena);
// The debugger's accesses come over the DAP, which the lock does not bind;
// `from_debugger` says which one this is.
bool sim_itm_read(SimItm* itm, uint32_t offset, unsigned size, uint32_t* value);
bool sim_itm_write(SimItm* itm, uint32_t offset, unsigned size, uint32_t value, bool from_debugger);
// Port for the debugger's MEM-AP.
SimMemPort sim_itm_debug_port(SimItm* itm);
