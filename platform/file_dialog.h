// Native open-file and folder dialogs, run as a separate process (zenity) so
// the frame loop never waits for the user. One dialog at a time.
#pragma once

#include <cstddef>

struct PlatFileFilter {
    const char* name;      // "ELF Files"
    const char* patterns;  // "*.elf" or "*.bin *.hex"
};

enum PlatDialogResult {
    PLAT_DIALOG_NONE = 0,     // no dialog open
    PLAT_DIALOG_RUNNING,      // still open
    PLAT_DIALOG_CHOSEN,       // a path was chosen (in the poll's out)
    PLAT_DIALOG_CANCELLED,
    PLAT_DIALOG_FAILED,       // the dialog program failed; err says why
};

// Start a dialog. False, with the reason in err, when one is already open or
// the dialog program cannot be started (err then names it).
bool plat_dialog_open_file(const char* title, const PlatFileFilter* filters, int filter_count, char* err,
                           size_t err_cap);
bool plat_dialog_open_folder(const char* title, char* err, size_t err_cap);
// Never blocks. On PLAT_DIALOG_CHOSEN `out` holds the path; a path that does
// not fit `out_cap` (or is not an existing file / folder) gives FAILED with the
// reason in err, never a cut path.
PlatDialogResult plat_dialog_poll(char* out, size_t out_cap, char* err, size_t err_cap);
bool plat_dialog_running();
// Ends an open dialog (shutdown).
void plat_dialog_cancel();
