// Run control on the probe thread: what the stepping engine does with the
// commands the probe thread hands it. So far: reset-and-halt and the single
// instruction step; source-level stepping, run-to and breakpoints need the
// line table and the breakpoint unit.
#pragma once

#include <cstdint>

// True when the command needs polling (step_poll then reports completion).
bool step_dispatch(int cmd, uint32_t addr);
bool step_poll();
void step_abort();
// Ends a command: logs the line, publishes the state, clears g_cmd_busy.
void step_done(const char* line);
// Hands these to the probe thread.
void runctl_install();
