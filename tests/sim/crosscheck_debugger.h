// A minimal debugger over the simulated board's AHB-AP view: it does what a
// probe-side debugger does (DHCSR, DCRSR/DCRDR, DEMCR vector catch, AIRCR
// reset, FPB version-1 breakpoints) so the cross-check exercises those
// registers instead of the board's back doors. Every wait is bounded by
// virtual time.
#pragma once

#include "sim/board.h"

#include <cstddef>
#include <cstdint>

constexpr unsigned XC_MAX_BREAKPOINTS = 8;

struct XcDebugger {
    SimBoard* board;
    SimMemPort port;
    uint64_t slice_ns;  // one sim_board_run call while waiting
    uint64_t limit_ns;  // virtual time a wait may take before it fails
    unsigned num_code;  // FPB instruction comparators, from FP_CTRL
    uint32_t bp_addr[XC_MAX_BREAKPOINTS];
    bool bp_on[XC_MAX_BREAKPOINTS];
    char error[200];
};

// Defaults: 50 us slices, 2 s of virtual time per wait.
void xc_init(XcDebugger* d, SimBoard* board);

bool xc_read32(XcDebugger* d, uint32_t addr, uint32_t* v);
bool xc_write32(XcDebugger* d, uint32_t addr, uint32_t v);
// `n` words from `addr`; false at the first refused read.
bool xc_read_words(XcDebugger* d, uint32_t addr, uint32_t* words, size_t n);

// C_DEBUGEN|C_HALT, then waits for S_HALT.
bool xc_halt(XcDebugger* d);
// DEMCR.VC_CORERESET and AIRCR.SYSRESETREQ: halted at the reset vector with
// DFSR.VCATCH, before the first instruction.
bool xc_reset_halt(XcDebugger* d);

// Core registers through DCRSR/DCRDR, waiting for S_REGRDY. Only while
// halted; false for a selector the core refuses.
bool xc_read_reg(XcDebugger* d, unsigned sel, uint32_t* v);
bool xc_write_reg(XcDebugger* d, unsigned sel, uint32_t v);

// FPB comparator `comp` breaks at the halfword `addr` (code region only).
bool xc_set_breakpoint(XcDebugger* d, unsigned comp, uint32_t addr);
bool xc_clear_breakpoint(XcDebugger* d, unsigned comp);

// One instruction with C_STEP; waits for the halt that ends it.
bool xc_step(XcDebugger* d);
// Resumes (stepping first over a breakpoint at the current PC, whose
// comparator would halt it again at once) and waits for the next halt.
bool xc_continue(XcDebugger* d);
