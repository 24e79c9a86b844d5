// Runs an outside program to completion with a time-out: started from an
// argument vector (no shell, so file names cannot become commands), waited
// for on the wall clock, stopped (SIGTERM, then SIGKILL) and reaped when it
// overstays.
#pragma once

#include <cstdint>

enum PlatProcResult {
    PLAT_PROC_EXITED = 0,       // *exit_code holds its status (128 + n for a signal n)
    PLAT_PROC_TIMEOUT = 1,      // stopped after timeout_ms and reaped
    PLAT_PROC_SPAWN_FAILED = 2, // *err holds errno (ENOENT: not found)
};

// argv[0] without a '/' is looked up in PATH. argv ends with a null.
PlatProcResult plat_process_run(const char* const* argv, uint32_t timeout_ms, int* exit_code, int* err);
