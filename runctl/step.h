// The stepping engine: the run-control commands (step over, into, out, one
// instruction, reset, run to main, set and clear a breakpoint) as sequences
// of core operations on the probe thread: single steps, temporary
// breakpoints at the next line or a return address, resume, and polling.
#pragma once

#include <cstdint>

struct ElfDwarf;

enum StepMode {
    STEP_MODE_NONE = 0,
    STEP_MODE_RUN_TO = 1,
    STEP_MODE_STEP_OVER = 2,
    STEP_MODE_STEP_INTO = 3,
    STEP_MODE_STEP_OUT = 4,
    STEP_MODE_RUN_TO_MAIN = 5,
};

constexpr uint32_t STEP_TIMEOUT_MS = 30000;

// The image the source-level decisions read (the program sets it after a load).
void step_set_image(const ElfDwarf* elf);

// True when the command needs polling (step_poll then reports completion).
bool step_dispatch(int cmd, uint32_t addr);
bool step_poll();
void step_abort();
// Ends a command: logs the line, publishes the state, clears g_cmd_busy.
void step_done(const char* line);
// The step in flight (STEP_MODE_NONE between commands) and whether the
// engine owns a temporary breakpoint, for tests.
StepMode step_mode();
bool step_owns_temp_bp(uint32_t* addr);
// Hands these to the probe thread.
void runctl_install();
// The CFA of the innermost frame of the function entered at func_addr on the
// halted core's call stack (func_addr 0: the current function). False when
// that function is not on the stack. innermost: the frame runs on the core's
// own registers (frame 0, or a frame the inlined ones above it share).
struct WatchLoc;
bool runctl_frame_of(uint32_t func_addr, uint32_t* cfa, bool* innermost, bool* unreadable, uint32_t* pc);
// A watched local with a location list, placed at pc of its frame.
bool runctl_relocate(const WatchLoc& in, uint32_t pc, WatchLoc* out);
