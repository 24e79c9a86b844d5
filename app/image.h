// The firmware image of this run: loaded once at start-up from the settings,
// queried by the panels through the interface's symbol hooks.
#pragma once

#include <cstdint>

struct ElfDwarf;

extern ElfDwarf* g_elf;
// The source location the debug information names for the current place.
extern char s_src_dwarf_file[256];
extern uint32_t s_src_current_line;

// Loads `path` (nothing when empty), logs the outcome, starts writing
// `dump_path` (when given) beside the window, finds main. True when an image
// is loaded.
bool app_load_image(const char* path, const char* dump_path);
// Waits until the dump of the loaded image has been written and logged.
void app_wait_dump();
// Stops the dump (it ends with a line saying so) and frees the image.
void app_free_image();
// Loads the vendor description and merges the core one into it (either path
// may be empty), logs the outcome and shows the peripheral list.
bool app_load_svd(const char* vendor_path, const char* arm_path);
void app_free_svd();
