// The panels whose contents this module draws: Variables, Call stack, Fault
// and Breakpoints, plus the label/value helpers of the report panels.
#pragma once

#include <cstdint>

enum VarTab { VAR_TAB_PICKER = 0, VAR_TAB_WATCH = 1 };
extern int g_var_tab;
extern float g_var_scroll, g_watch_scroll, g_fault_scroll;
extern int g_var_hovered, g_watch_hovered, g_bkpt_hovered;

// Everything the panels ask of the firmware image. Installed by the program
// once an image is loaded; all null (no image) by default.
struct UiSymbols {
    bool (*elf_loaded)();
    bool (*find_function)(const char* name, uint32_t* addr);
    // Source location of an address: file base name and line.
    bool (*addr_to_line)(uint32_t addr, char* file, unsigned cap, uint32_t* line);
    // Enable state of breakpoint slot i flipped (breakpoint panel).
    void (*bkpt_toggle_enable)(int slot);
    // A click in the source gutter on a line (1-based) of the shown file.
    void (*gutter_click)(uint32_t line_nr);
};
extern UiSymbols g_ui_symbols;
bool ui_elf_loaded();

const float* fp_col_label();
const float* fp_col_value();
const float* fp_col_warn();
float fp_label_value(float x, float y, const char* label, const char* value, const float* vcol);
void draw_panel_separator(float x, float y, float w);

void draw_variables_panel();
void draw_fault_panel();
void draw_bkpt_panel();
void draw_stack_panel();

// Row geometry shared by drawing and hit-testing.
constexpr float VAR_ROW_H = 20, VAR_LIST_TOP = 36, BKPT_ROW_H = 18, BKPT_LIST_TOP = 42;
// Content height of the Watch tab: one row per watch and per member of an
// expanded structure.
float watch_content_height();
// The watch row under window y: index of the watch, and through *member the
// member row (-1 for the watch's own row). -1 when no row is there.
int watch_row_at(double my, int* member);
// Scope row under window y, or -1.
int scope_row_at(double my);
// Breakpoint slot (index into g_bkpt) of the row under window y, or -1.
int bkpt_row_at(double mx, double my);
