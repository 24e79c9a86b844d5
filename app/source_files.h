// The source file of the current location: found (as the debug information
// names it, else under the source root), split into lines for the source
// view, and each line's instructions disassembled once when it is loaded.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ui/source_view.h"

extern char s_src_loaded_file[256];  // the path actually opened; "" when none
extern AsmBlock* s_asm_cache;        // one block per line of the shown file
extern int s_asm_cache_size;

void source_load_file(const char* dwarf_path, const char* local_path, uint32_t line_nr);
// The file under the source root: the longest tail of `dwarf_path` that exists there.
bool src_resolve(const char* dwarf_path, char* out, size_t cap);
void asm_cache_alloc(int line_count);
void asm_cache_load_line(uint32_t line_nr, const char* src_file);
uint32_t find_main_addr();
// Shows the source line of a program counter (after every register publication).
void source_follow_pc(uint32_t pc);
// Breakpoint state of a line of the shown file: 0 none, 1 enabled, 2 disabled
// (the source view's gutter query).
int source_bkpt_at_line(uint32_t line_nr);
// A gutter click: sets or clears the breakpoint of a line through the probe thread.
void source_gutter_click(uint32_t line_nr);
// Forgets the shown file (tests, image reloads).
void source_files_reset();

// The image's source files for the Source panel's list: built once per image
// (app_load_image), dropped with it.
void source_list_build();
void source_list_clear();
// A file the user chose: shown from `line_nr` on, the view no longer
// following the core (until the next halt or Follow). False, with a log
// line, when it is found neither by its path nor under the source root.
bool source_show_file(const char* dwarf_path, uint32_t line_nr);
