#include "ui/layout.h"

#include <algorithm>

#include "probe/probe.h"
#include "ui/file_picker.h"
#include "ui/font.h"
#include "ui/panel.h"
#include "ui/source_view.h"
#include "ui/ui_state.h"

LayoutBox variables_box = {2, 35, 0, 0, 8}, source_box = {0, 35, 0, 0, 8}, plot_box = {0, 35, 0, 0, 8},
          periph_box = {0, 35, 0, 0, 8}, memmap_box = {0, 35, 0, 0, 8};
LayoutBox debug_box = {2, 0, 0, 0, 15}, setup_box = {0, 0, 0, 0, 15}, stack_box = {0, 0, 0, 0, 8},
          fault_box = {0, 0, 0, 0, 15}, bkpt_box = {0, 0, 0, 0, 8};

bool g_show_variables = true, g_show_source = true, g_show_periph = true, g_show_memmap = true, g_show_log = true;
bool g_show_plot = false, g_show_setup = false, g_show_stack = false, g_show_fault = false, g_show_bkpt = false;
bool g_show_asm = false, g_asm_toggle_pending = false;

float g_source_edge_ratio = -1, g_plot_edge_ratio = -1, g_periph_edge_ratio = -1, g_memmap_edge_ratio = -1;
float g_log_edge_ratio = -1, g_stack_edge_ratio = -1, g_fault_edge_ratio = -1, g_bkpt_edge_ratio = -1;
float g_source_edge_x, g_plot_edge_x, g_periph_edge_x, g_memmap_edge_x;
float g_log_edge_x, g_stack_edge_x, g_fault_edge_x, g_bkpt_edge_x;
float g_eff_source_x, g_eff_plot_x, g_eff_periph_x, g_eff_memmap_x;
float g_eff_log_x, g_eff_stack_x, g_eff_fault_x, g_eff_bkpt_x;

float* g_top_drag_ptr = nullptr;
int g_bot_drag_idx = -1;
float* g_top_released_ptr = nullptr;
int g_bot_released_idx = -1;

TopEdgeInfo g_top_edges[TOP_EDGE_COUNT] = {{&g_source_edge_x, &g_source_edge_ratio, false},
                                           {&g_plot_edge_x, &g_plot_edge_ratio, false},
                                           {&g_periph_edge_x, &g_periph_edge_ratio, false},
                                           {&g_memmap_edge_x, &g_memmap_edge_ratio, false}};

#define WINDOW_BUTTON {0, 0, 20, 20, false, false}
#define TOOL_BUTTON {0, 0, 36, 28, false, false}
Button closeButton = WINDOW_BUTTON, maxButton = WINDOW_BUTTON, minButton = WINDOW_BUTTON,
       topmostButton = WINDOW_BUTTON, BtnDark = {0, 0, 50, 16, false, false};
Button BtnShowV = WINDOW_BUTTON, BtnShowS = WINDOW_BUTTON, BtnShowP = WINDOW_BUTTON, BtnShowC = WINDOW_BUTTON,
       BtnShowG = WINDOW_BUTTON;
Button BtnReset = TOOL_BUTTON, BtnRunToMain = TOOL_BUTTON, BtnStart = TOOL_BUTTON, BtnPause = TOOL_BUTTON,
       BtnStep = TOOL_BUTTON, BtnStepInto = TOOL_BUTTON, BtnStepOut = TOOL_BUTTON, BtnStepAsm = TOOL_BUTTON;
Button BtnShowL = WINDOW_BUTTON, BtnSetup = WINDOW_BUTTON, BtnShowK = WINDOW_BUTTON, BtnShowF = WINDOW_BUTTON,
       BtnShowB = WINDOW_BUTTON;
Button BtnToggleAsm = {-200, -200, 40, 14, false, false};
Button BtnFollow = {-200, -200, 40, 14, false, false};
Button BtnFiles = {-200, -200, 40, 14, false, false};

const VisToggle vis_btns[5] = {{&BtnShowV, &g_show_variables, "V", false},
                               {&BtnShowS, &g_show_source, "S", false},
                               {&BtnShowP, &g_show_periph, "P", false},
                               {&BtnShowC, &g_show_memmap, "C", false},
                               {&BtnShowG, &g_show_plot, "~", false}};
const VisToggle bot_btns[5] = {{&BtnShowL, &g_show_log, "L", false},
                               {&BtnSetup, &g_show_setup, "S", false},
                               {&BtnShowK, &g_show_stack, "K", false},
                               {&BtnShowF, &g_show_fault, "F", true},
                               {&BtnShowB, &g_show_bkpt, "B", false}};

static int s_prev_h = 0;
static int s_prev_bottom_count = 0;
static bool s_debug_y_set = false;
// Restored proportions: the bottom row's top waits for the first pass (it is
// in pixels), and the restored separators must survive that pass.
static float s_pending_bottom_top = -1;
static bool s_bottom_restored = false;

void layout_reset() {
    for (float* r : {&g_source_edge_ratio, &g_plot_edge_ratio, &g_periph_edge_ratio, &g_memmap_edge_ratio,
                     &g_log_edge_ratio, &g_stack_edge_ratio, &g_fault_edge_ratio, &g_bkpt_edge_ratio})
        *r = -1;
    g_show_variables = g_show_source = g_show_periph = g_show_memmap = g_show_log = true;
    g_show_plot = g_show_setup = g_show_stack = g_show_fault = g_show_bkpt = false;
    g_show_asm = g_asm_toggle_pending = false;
    g_top_drag_ptr = g_top_released_ptr = nullptr;
    g_bot_drag_idx = g_bot_released_idx = -1;
    s_prev_h = 0;
    s_prev_bottom_count = 0;
    s_debug_y_set = false;
    s_pending_bottom_top = -1;
    s_bottom_restored = false;
}

static float* const s_bottom_ratios[4] = {&g_log_edge_ratio, &g_stack_edge_ratio, &g_fault_edge_ratio,
                                          &g_bkpt_edge_ratio};

LayoutProportions layout_proportions(int win_h) {
    LayoutProportions p;
    for (int i = 0; i < TOP_EDGE_COUNT; ++i) p.top[i] = *g_top_edges[i].ratio;
    for (int i = 0; i < 4; ++i) p.bottom[i] = *s_bottom_ratios[i];
    p.bottom_top = s_debug_y_set && win_h > 0 ? debug_box.y / (float)win_h : -1;
    return p;
}

void layout_set_proportions(const LayoutProportions& p) {
    for (int i = 0; i < TOP_EDGE_COUNT; ++i) *g_top_edges[i].ratio = p.top[i];
    bool any = false;
    for (int i = 0; i < 4; ++i) {
        *s_bottom_ratios[i] = p.bottom[i];
        any |= p.bottom[i] >= 0;
    }
    s_bottom_restored = any;
    s_pending_bottom_top = p.bottom_top;
    s_debug_y_set = false;
}

void push_clamp_edges(float* edges, int count, int drag_idx, float lo, float hi, float min_gap) {
    if (!edges || count < 1) return;
    if (hi < lo) hi = lo;  // a window too narrow for the margins
    drag_idx = std::clamp(drag_idx, 0, count - 1);
    for (int i = drag_idx; i <= count - 2; ++i)
        if (edges[i] + min_gap > edges[i + 1]) edges[i + 1] = edges[i] + min_gap;
    for (int i = drag_idx; i >= 1; --i)
        if (edges[i - 1] > edges[i] - min_gap) edges[i - 1] = edges[i] - min_gap;
    for (int i = 0; i < count; ++i) edges[i] = std::clamp(edges[i], lo, hi);
    for (int i = 0; i <= count - 2; ++i)
        if (edges[i] + min_gap > edges[i + 1]) edges[i + 1] = edges[i] + min_gap;
    // The pass above can push the last edge past the right margin again.
    edges[count - 1] = std::min(edges[count - 1], hi);
    for (int i = count - 1; i >= 1; --i)
        if (edges[i - 1] > edges[i] - min_gap) edges[i - 1] = edges[i] - min_gap;
}

static void place(Button* b, int x, int y) {
    b->x = x;
    b->y = y;
}

static void place_title_buttons(int w) {
    place(&closeButton, w - 20 - 4, 5);
    place(&maxButton, closeButton.x - 20 - 10, 3);
    place(&minButton, maxButton.x - 20 - 10, 5);
    place(&topmostButton, minButton.x - 20 - 10, 5);
    place(&BtnDark, topmostButton.x - 50 - 16, 7);
    int x = BtnDark.x - 36;
    for (int i = 4; i >= 0; --i, x -= 26) place(vis_btns[i].btn, x, 5);
}

// Room for the text plus its inset, the scroll bar and the panel's edges.
static float line_panel_width(const char* widest) { return std::max(100.0f, measure_text(widest) + 34); }

float layout_init_memmap_width() { return line_panel_width("R10 = 0x20001FF0"); }
float layout_init_periph_width() { return line_panel_width("0x40023800  DBGMCU"); }

static void set_first_use_defaults(float win_w, int h) {
    // As fractions of at least the default width: a first start in a tiny
    // window must not store proportions that squeeze every later one.
    const float w = std::max(win_w, 800.0f);
    float memmap_w = layout_init_memmap_width(), periph_w = layout_init_periph_width();
    float rest = std::max(0.0f, w - memmap_w - periph_w);
    if (g_memmap_edge_ratio < 0) g_memmap_edge_ratio = (w - memmap_w) / w;
    if (g_periph_edge_ratio < 0) g_periph_edge_ratio = (w - memmap_w - periph_w) / w;
    if (g_plot_edge_ratio < 0) g_plot_edge_ratio = g_periph_edge_ratio - 0.15f;
    if (g_source_edge_ratio < 0) g_source_edge_ratio = rest * LAYOUT_INIT_VARIABLES_SHARE / w;
    if (g_log_edge_ratio < 0) g_log_edge_ratio = 1.0f / 3;
    if (g_stack_edge_ratio < 0) g_stack_edge_ratio = 0.5f;
    if (g_fault_edge_ratio < 0) g_fault_edge_ratio = 2.0f / 3;
    if (g_bkpt_edge_ratio < 0) g_bkpt_edge_ratio = 0.75f;
    if (!s_debug_y_set) {
        // Within the range a drag of the edge allows.
        if (s_pending_bottom_top > 0)
            debug_box.y = std::clamp(s_pending_bottom_top * (float)h, 100.0f, std::max(100.0f, (float)h - 60));
        else
            debug_box.y = std::max(100.0f, (float)h - g_init_debug_height - 2);
        s_pending_bottom_top = -1;
        s_debug_y_set = true;
    }
}

static void layout_top_edges(float w) {
    for (TopEdgeInfo& e : g_top_edges) *e.x = *e.ratio * w;
    g_top_edges[TOP_EDGE_SOURCE].active = g_show_variables && g_show_source;
    g_top_edges[TOP_EDGE_PLOT].active = g_show_source && g_show_plot;
    g_top_edges[TOP_EDGE_PERIPH].active = g_show_periph && (g_show_source || g_show_plot);
    g_top_edges[TOP_EDGE_MEMMAP].active =
        g_show_memmap && (g_show_periph || g_show_plot || g_show_source || g_show_variables);
    float px[TOP_EDGE_COUNT];
    int idx[TOP_EDGE_COUNT], n = 0, drag = 0;
    const float* held = g_top_drag_ptr ? g_top_drag_ptr : g_top_released_ptr;
    g_top_released_ptr = nullptr;
    for (int i = 0; i < TOP_EDGE_COUNT; ++i) {
        if (!g_top_edges[i].active) continue;
        if (held == g_top_edges[i].x) drag = n;
        idx[n] = i;
        px[n++] = *g_top_edges[i].x;
    }
    push_clamp_edges(px, n, drag, LAYOUT_EDGE_MARGIN, w - LAYOUT_EDGE_MARGIN, LAYOUT_EDGE_MIN_GAP);
    for (int k = 0; k < n; ++k) *g_top_edges[idx[k]].x = px[k];
    // Only a drag changes the proportions: a window made too narrow for them
    // squeezes the panels for now and gives them back when it grows again.
    if (held)
        for (TopEdgeInfo& e : g_top_edges) *e.ratio = *e.x / w;
}

static void layout_top_boxes(float w, float h, bool any_bottom) {
    float row_bottom = any_bottom ? debug_box.y : h;
    float top_h = std::max(0.0f, row_bottom - 35 - 2 - 36);
    g_eff_source_x = g_show_variables ? g_source_edge_x : 2;
    g_eff_plot_x = g_show_source ? g_plot_edge_x : g_eff_source_x;
    g_eff_periph_x = (g_show_plot || g_show_source) ? g_periph_edge_x : g_eff_source_x;
    g_eff_memmap_x =
        (g_show_variables || g_show_source || g_show_plot || g_show_periph) ? g_memmap_edge_x : g_eff_source_x;
    struct Col {
        LayoutBox* box;
        bool shown;
        float left;
    } cols[5] = {{&variables_box, g_show_variables, 2},
                 {&source_box, g_show_source, g_eff_source_x},
                 {&plot_box, g_show_plot, g_eff_plot_x},
                 {&periph_box, g_show_periph, g_eff_periph_x},
                 {&memmap_box, g_show_memmap, g_eff_memmap_x}};
    float right_limit = w - 2;
    for (int i = 0; i < 5; ++i) {
        LayoutBox* b = cols[i].box;
        b->y = 35;
        b->h = top_h;
        b->x = cols[i].left;
        b->w = 0;
        if (!cols[i].shown) continue;
        float right = right_limit;
        for (int j = i + 1; j < 5; ++j)
            if (cols[j].shown) {
                right = cols[j].left;
                break;
            }
        if (i == 0) right -= 2;
        b->w = std::max(0.0f, right - b->x);
    }
}

static void layout_bottom_row(float w, float h) {
    LayoutBox* boxes[5] = {&debug_box, &setup_box, &stack_box, &fault_box, &bkpt_box};
    const bool shown[5] = {g_show_log, g_show_setup, g_show_stack, g_show_fault, g_show_bkpt};
    float* ratios[4] = {&g_log_edge_ratio, &g_stack_edge_ratio, &g_fault_edge_ratio, &g_bkpt_edge_ratio};
    float* pixels[4] = {&g_log_edge_x, &g_stack_edge_x, &g_fault_edge_x, &g_bkpt_edge_x};
    float* effs[4] = {&g_eff_log_x, &g_eff_stack_x, &g_eff_fault_x, &g_eff_bkpt_x};
    int count = 0;
    for (bool s : shown) count += s;
    // Restored separators belong to the restored panels: no even split over them.
    if (s_bottom_restored) s_prev_bottom_count = count;
    s_bottom_restored = false;
    if (count > 0 && count != s_prev_bottom_count) {
        int seen = 0, sep = 0;
        for (int i = 0; i < 5; ++i) {
            if (!shown[i]) continue;
            ++seen;
            if (seen < count) *ratios[sep++] = (float)seen / (float)count;
        }
    }
    s_prev_bottom_count = count;
    int active = std::max(0, count - 1);
    float px[4];
    for (int k = 0; k < 4; ++k) px[k] = *ratios[k] * w;
    int held = g_bot_drag_idx >= 0 ? g_bot_drag_idx : g_bot_released_idx;
    g_bot_released_idx = -1;
    int drag = (held >= 0 && held < active) ? held : 0;
    push_clamp_edges(px, active, drag, LAYOUT_EDGE_MARGIN, w - LAYOUT_EDGE_MARGIN, LAYOUT_EDGE_MIN_GAP);
    for (int k = 0; k < 4; ++k) {
        *pixels[k] = px[k];
        if (k < active && held >= 0) *ratios[k] = px[k] / w;
        *effs[k] = k < active ? px[k] : 0;
    }
    float bh = count ? std::max(18.0f, h - debug_box.y - 2) : 0;
    float x = 2;
    int sep = 0, seen = 0;
    for (int i = 0; i < 5; ++i) {
        LayoutBox* b = boxes[i];
        b->y = debug_box.y;
        b->h = bh;
        b->x = x;
        b->w = 0;
        if (!shown[i]) continue;
        ++seen;
        float right = seen < count ? px[sep++] : w - 2;
        b->w = std::max(0.0f, right - x);
        x = right;
    }
}

static void place_toolbar(int w) {
    int y = (int)(source_box.y + source_box.h + (36 - 28) / 2);
    const float gap = 8;
    float pair = BtnReset.width + 8 + BtnRunToMain.width;
    float asm_share = g_show_asm ? 2 * gap + BtnStepAsm.width : 0;
    float total = pair + BtnStart.width + BtnPause.width + BtnStep.width + BtnStepInto.width + BtnStepOut.width +
                  5 * gap + asm_share;
    float x = (w - total) / 2;
    place(&BtnReset, (int)x, y);
    place(&BtnRunToMain, BtnReset.x + BtnReset.width + 8, y);
    place(&BtnStart, (int)(x + 2 * gap + pair), y);
    place(&BtnPause, (int)(BtnStart.x + BtnStart.width + gap), y);
    place(&BtnStep, (int)(BtnPause.x + BtnPause.width + gap), y);
    place(&BtnStepInto, (int)(BtnStep.x + BtnStep.width + 2 * gap), y);
    place(&BtnStepOut, (int)(BtnStepInto.x + BtnStepInto.width + 2 * gap), y);
    if (g_show_asm) place(&BtnStepAsm, (int)(BtnStepOut.x + BtnStepOut.width + 2 * gap), y);
    else place(&BtnStepAsm, -200, -200);
    int bx = w - 28;
    for (int i = 4; i >= 0; --i, bx -= 26) place(bot_btns[i].btn, bx, y);
}

// Header buttons live with their panel: a hidden panel leaves nothing to hit.
int source_header_buttons(HeaderButton out[SOURCE_HEADER_BUTTONS_MAX]) {
    out[0] = HeaderButton{"ASM", &g_show_asm, &BtnToggleAsm};
    out[1] = HeaderButton{"Files", &g_file_picker.visible, &BtnFiles};
    out[2] = HeaderButton{"Follow", nullptr, &BtnFollow};
    return g_source_follow ? 2 : 3;
}

static void place_header_buttons() {
    place(&BtnToggleAsm, -200, -200);
    place(&BtnFollow, -200, -200);
    place(&BtnFiles, -200, -200);
    if (!g_show_source || source_box.w <= 0 || source_box.h <= 0) return;
    HeaderButton hdr[SOURCE_HEADER_BUTTONS_MAX];
    header_buttons_place(&source_box, hdr, source_header_buttons(hdr));
}

void ui_layout_pass(int win_w, int win_h) {
    // The probe thread unwinds at a halt only while the panel is there to show it.
    g_stack_wanted = g_show_stack;
    g_regs_wanted = g_show_memmap;
    if (win_w <= 0 || win_h <= 0) return;
    if (s_prev_h > 0 && win_h != s_prev_h) {
        debug_box.y *= (float)win_h / (float)s_prev_h;
        render_needed.store(true);
    }
    s_prev_h = win_h;
    float w = (float)win_w, h = (float)win_h;
    place_title_buttons(win_w);
    debug_box.w = w;
    set_first_use_defaults(w, win_h);
    layout_top_edges(w);
    bool any_bottom = g_show_log || g_show_setup || g_show_stack || g_show_fault || g_show_bkpt;
    layout_top_boxes(w, h, any_bottom);
    layout_bottom_row(w, h);
    place_toolbar(win_w);
    place_header_buttons();
}
