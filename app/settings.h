// The settings file debugger.ini: the five paths the debugger works on.
#pragma once

#include <cstddef>

enum { CFG_PATH_LEN = 260 };

extern char g_cfg_ini[CFG_PATH_LEN];
extern char g_cfg_elf[CFG_PATH_LEN];
extern char g_cfg_svd[CFG_PATH_LEN];
extern char g_cfg_arm_svd[CFG_PATH_LEN];
extern char g_cfg_bin[CFG_PATH_LEN];
extern char g_src_root_dir[CFG_PATH_LEN];

// Sets g_cfg_ini to debugger.ini in the settings folder. False (g_cfg_ini
// empty) when the folder cannot be found or the path does not fit.
bool config_init_path();
// `name` in the settings folder, where everything the program writes lives.
// False (out "") when there is no settings folder or the path does not fit.
bool config_folder_file(const char* name, char* out, size_t cap);
// Puts debugger.ini into `folder` instead of the settings folder (tests).
void config_override_folder(const char* folder);
// Reads the five keys of [Settings] and makes them absolute.
void config_load();
// Demo mode: the paths are the demo's, and nothing is written.
void config_set_read_only(bool on);
// Writes the five keys atomically; logs success or "[CFG] Save failed: <reason>".
bool config_save();

// Makes one setting absolute against the settings file's folder, in place
// (buffer of CFG_PATH_LEN). False, with the buffer emptied, when the result
// would not fit: a cut path could name another file.
bool make_abs_to_exe(char* path);
// The same rule with the folder given (ends in '/' or is empty).
bool make_abs_against(char* path, size_t cap, const char* folder);
