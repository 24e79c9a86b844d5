// Paths of the running program and the folder its settings and log live in.
// '/' is the separator; only a leading '/' makes a path absolute. Every
// function that builds a path refuses (returns false) rather than cutting it:
// a cut path can name another file.
#pragma once

#include <cstddef>

// Full path of the running executable.
bool plat_exe_path(char* out, size_t cap);

// Folder of the running executable, with a trailing '/'.
bool plat_exe_dir(char* out, size_t cap);

// True when a file can actually be created in `dir` (a read-only mount or a
// foreign folder fails even for root, unlike access()).
bool plat_dir_writable(const char* dir);

// Creates `dir` and its missing parents (mode 0755). True when it exists afterwards.
bool plat_make_dirs(const char* dir);

// The read-only data of an installed program, <prefix>/share/korvane-debugger/
// for an executable in <prefix>/bin/, with a trailing '/'. False (out "") when
// that folder does not exist: the program runs from its build folder.
bool plat_data_dir(char* out, size_t cap);
// The folder plat_data_dir looks for, from the executable's folder, without
// touching the file system: its parent's share/korvane-debugger/.
bool plat_pick_data_dir(const char* exe_dir, char* out, size_t cap);

// The folder for debugger.ini, debugger.log and the other files the program
// writes, with a trailing '/'. The executable's folder when it is writable
// and not an installed program's, otherwise $XDG_CONFIG_HOME/korvane-debugger/
// or ~/.config/korvane-debugger/. Decided once per process. `*fallback` (may
// be null) tells which.
bool plat_settings_dir(char* out, size_t cap, bool* fallback);

// The rule behind plat_settings_dir, without touching the file system.
bool plat_pick_settings_dir(const char* exe_dir, bool exe_dir_writable, bool installed, const char* xdg_config_home,
                            const char* home, char* out, size_t cap);

// dir + name into out; dir may or may not end in '/'. False when it does not fit.
bool path_join(const char* dir, const char* name, char* out, size_t cap);

// Text after the last '/' or '\' (both, since stored paths may come from Windows).
const char* path_base_name(const char* path);

bool plat_file_exists(const char* path);
