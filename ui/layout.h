// Where everything sits: the panel boxes, the title-strip and toolbar
// buttons, and the stored proportions they are computed from. The layout
// pass is a function of the window size, the visibility flags and these
// proportions; it runs before every frame.
#pragma once

#include "ui/draw.h"

extern LayoutBox variables_box, source_box, plot_box, periph_box, memmap_box;  // top row
extern LayoutBox debug_box, setup_box, stack_box, fault_box, bkpt_box;         // bottom row

extern bool g_show_variables, g_show_source, g_show_periph, g_show_memmap, g_show_log;
extern bool g_show_plot, g_show_setup, g_show_stack, g_show_fault, g_show_bkpt;
extern bool g_show_asm, g_asm_toggle_pending;

// Fractions of the window width; -1 until the first pass sets them.
extern float g_source_edge_ratio, g_plot_edge_ratio, g_periph_edge_ratio, g_memmap_edge_ratio;
extern float g_log_edge_ratio, g_stack_edge_ratio, g_fault_edge_ratio, g_bkpt_edge_ratio;
extern float g_source_edge_x, g_plot_edge_x, g_periph_edge_x, g_memmap_edge_x;
extern float g_log_edge_x, g_stack_edge_x, g_fault_edge_x, g_bkpt_edge_x;
extern float g_eff_source_x, g_eff_plot_x, g_eff_periph_x, g_eff_memmap_x;
extern float g_eff_log_x, g_eff_stack_x, g_eff_fault_x, g_eff_bkpt_x;  // 0: no such separator

// First-use widths: the register and peripheral panels as wide as their
// lines need in the interface font, the rest shared by Variables and Source.
float layout_init_memmap_width();
float layout_init_periph_width();
constexpr float LAYOUT_INIT_VARIABLES_SHARE = 0.42f;  // of what the two right panels leave
constexpr float g_init_debug_height = 150;
constexpr float LAYOUT_EDGE_MIN_GAP = 24, LAYOUT_EDGE_MARGIN = 26;

// Drag state: the top edge being dragged (one of the g_*_edge_x above) and the
// bottom separator index (-1 none).
extern float* g_top_drag_ptr;
extern int g_bot_drag_idx;
// The edge a drag just let go of, kept in place by the next layout pass: the
// last motion and the release can arrive together, before any pass has run.
extern float* g_top_released_ptr;
extern int g_bot_released_idx;

// The four top-row edges. The layout pass marks which of them separate two
// visible panels; only those move and only those can be grabbed.
enum TopEdge { TOP_EDGE_SOURCE = 0, TOP_EDGE_PLOT = 1, TOP_EDGE_PERIPH = 2, TOP_EDGE_MEMMAP = 3, TOP_EDGE_COUNT = 4 };
struct TopEdgeInfo {
    float* x;      // pixel position (what a drag writes)
    float* ratio;  // its stored proportion
    bool active;
};
extern TopEdgeInfo g_top_edges[TOP_EDGE_COUNT];

extern Button closeButton, maxButton, minButton, topmostButton, BtnDark;
extern Button BtnShowV, BtnShowS, BtnShowP, BtnShowC, BtnShowG;
extern Button BtnReset, BtnRunToMain, BtnStart, BtnPause, BtnStep, BtnStepInto, BtnStepOut, BtnStepAsm;
extern Button BtnShowL, BtnSetup, BtnShowK, BtnShowF, BtnShowB;
extern Button BtnToggleAsm;
extern Button BtnFollow;  // in the Source header while the view does not follow the core
extern Button BtnFiles;   // in the Source header: the list of the image's source files
struct HeaderButton;
// The Source header's buttons, right to left (ASM, Files, and Follow while
// the view does not follow the core); returns how many there are.
enum : int { SOURCE_HEADER_BUTTONS_MAX = 3 };
int source_header_buttons(HeaderButton out[SOURCE_HEADER_BUTTONS_MAX]);

struct VisToggle {
    Button* btn;
    bool* flag;
    const char* label;
    bool fault_indicator;
};
extern const VisToggle vis_btns[5];
extern const VisToggle bot_btns[5];

void push_clamp_edges(float* edges, int count, int drag_idx, float lo, float hi, float min_gap);
void ui_layout_pass(int win_w, int win_h);
// Back to the built-in proportions and visibility (a fresh run).
void layout_reset();

// The proportions a later run can start from: the top-row edges and the
// bottom-row separators as fractions of the window width (in TopEdge order
// and Log, Setup, Stack, Fault order), and the bottom row's top as a fraction
// of the window height. -1 stands for the built-in value.
struct LayoutProportions {
    float top[TOP_EDGE_COUNT];
    float bottom[4];
    float bottom_top;
};
LayoutProportions layout_proportions(int win_h);
// Before the first layout pass (after the visibility flags are set): the
// first pass starts from these instead of the built-in proportions.
void layout_set_proportions(const LayoutProportions& p);
