// What the probe thread's modules share.
#pragma once

#include "probe/probe.h"

extern DapContext* s_dap;  // the open probe; probe thread only once it runs
void probe_restore_breakpoints();
void probe_identify_if_needed();
// The chip's default reset sequence when its pack defines one, else null.
const char* probe_reset_sequence_name();
const char* probe_reset_sequence_owner();
// A stop of the core's own, or a Pause: the run-control hook looks at it.
void probe_core_stopped();

// Values of the watches read again and published (after a poll or a write).
void probe_refresh_watches();

// Where a watched local lives on the halted core, found the way the readers
// find it: the frames of one poll (or one write) share one lookup each.
struct WatchFrames {
    uint32_t regs[16];
    bool have_regs;
    struct Frame {
        uint32_t func, cfa, pc;
        bool found, innermost, unreadable;
    } frames[WATCH_MAX];
    int count;
};
enum WatchPlaceKind : uint8_t { WATCH_PLACE_NONE, WATCH_PLACE_MEM, WATCH_PLACE_REG };
struct WatchPlace {
    WatchPlaceKind kind;
    uint32_t where;  // the address, or the core register number
    uint8_t why;     // WatchValState when kind is NONE
};
WatchPlace watch_place(const WatchLoc& loc, WatchFrames* wf);
// A running core is halted for a moment (g_watch_halting set meanwhile);
// false when it did not stop within 500 ms. The resume undoes only a halt
// made here.
bool watch_halt_for_locals(bool* halted_here);
void watch_resume_after_locals(bool halted_here);
// The write posted with PROBE_CMD_WRITE; false when the slot holds none.
bool probe_take_write(ProbeWrite* out);
