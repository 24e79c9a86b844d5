// A fatal error the user must see even when no window could be opened:
// written to stderr, and shown with `zenity --error` when that is installed.
#pragma once

void plat_fatal_message(const char* title, const char* text);

// Finds an executable in $PATH; false when there is none.
bool plat_find_in_path(const char* name, char* out, unsigned cap);
