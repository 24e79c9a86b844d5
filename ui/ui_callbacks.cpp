#include "ui/ui_callbacks.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "probe/probe.h"
#include "probe/watch_list.h"
#include "ui/file_picker.h"
#include "ui/font.h"
#include "ui/frame.h"
#include "ui/gl.h"
#include "ui/log_view.h"
#include "ui/panels.h"
#include "ui/plot_view.h"
#include "ui/popup_menu.h"
#include "ui/setup_panel.h"
#include "ui/source_view.h"
#include "ui/svd_view.h"
#include "ui/text_field.h"
#include "ui/ui_state.h"
#include "ui/window_ops.h"

GLFWwindow* win_global = nullptr;
int windowX = 0, windowY = 0;
std::atomic<bool> render_needed{true};
bool is_maximized = false, g_is_topmost = false;
bool win_right_hovered = false, win_bottom_hovered = false, win_right_resizing = false, win_bottom_resizing = false;
static double glfw_clock() { return glfwGetTime(); }
double (*g_ui_clock)() = glfw_clock;

const AsmBlock* g_ui_asm_cache = nullptr;
int g_ui_asm_cache_count = 0;

// Window drag by the title strip.
static bool dragging = false, drag_pending_restore = false, snap_armed = false;
static double drag_pending_rel_x = 0, startX = 0, startY = 0;
static int drag_start_windowY = 0;
static int saved_x = 0, saved_y = 0, saved_w = 0, saved_h = 0;
// Window edge resizes.
static double win_resize_startX = 0, win_resize_startY = 0;
static int win_resize_startW = 0, win_resize_startH = 0;
// Panel edges.
static bool debug_resizing = false;
static double resize_startX = 0, resize_startY = 0;
static float resize_start_val = 0;
// Scroll bars.
static LogView* sb_drag_target = nullptr;
static bool sb_dragging_source = false;
static double sb_drag_start_y = 0;
static float sb_drag_start_scroll = 0;
static double g_mouse_x = 0, g_mouse_y = 0;

// A motion event has been seen since the window last moved or changed size.
static bool s_have_motion = false;
static bool s_close_press_began = false;
static bool s_close_requested = false;
static bool s_shift_down = false;
static int s_menu_row = -1;
static UiClipboardSink s_clipboard_sink = nullptr;
static UiCommandSink s_command_sink = probe_post_cmd;

struct Tip {
    Button* btn;
    const char* text;
};
static const Tip tips[] = {
    {&BtnStart, "Continue (F5)"},
    {&BtnPause, "Pause (F6)"},
    {&BtnStep, "Step Over (F10)"},
    {&BtnStepInto, "Step Into (F11)"},
    {&BtnStepOut, "Step Out (Shift+F11)"},
    {&BtnStepAsm, "ASM step (one instruction)"},
    {&BtnReset, "Reset target (Ctrl+Shift+F5)"},
    {&BtnRunToMain, "Run to main()"},
    {&BtnToggleAsm, "Toggle disassembly"},
    {&BtnFollow, "Follow the core's line again"},
    {&BtnFiles, "Open another source file"},
    {&BtnDark, "Toggle dark / light theme"},
    {&BtnSetup, "Setup panel"},
    {&closeButton, "Close"},
    {&maxButton, "Maximize / Restore"},
    {&minButton, "Minimize"},
    {&topmostButton, "Always on top"},
    {&BtnShowV, "Variables panel"},
    {&BtnShowS, "Source panel"},
    {&BtnShowP, "Peripherals panel"},
    {&BtnShowC, "Core registers panel"},
    {&BtnShowL, "Log panel"},
    {&BtnShowF, "HardFault panel"},
    {&BtnShowB, "Breakpoints panel"},
    {&BtnShowG, "Plot panel (~)"},
    {&BtnFlash, "Flash firmware"},
    {&BtnSetupBrowseElf, "Browse for ELF file"},
    {&BtnSetupBrowseSvd, "Browse for SVD file"},
    {&BtnSetupBrowseArmSvd, "Browse for ARM system SVD file"},
    {&BtnSetupBrowseSrc, "Browse for source folder"},
    {&BtnSetupBrowseBin, "Browse for firmware file"},
    {&BtnSetupSave, "Save settings"},
};

// Every button that input hit-tests, in the order a press tries them.
static Button* const s_buttons[] = {&BtnRunToMain, &BtnReset,      &BtnStart,      &BtnPause,  &BtnStep,
                                    &BtnStepInto,  &BtnStepOut,    &BtnStepAsm,    &BtnToggleAsm, &BtnFollow,
                                    &BtnFiles,     &closeButton,  &maxButton,     &minButton,     &topmostButton,
                                    &BtnDark,      &BtnSetup,      &BtnShowV,      &BtnShowS,  &BtnShowP,
                                    &BtnShowC,     &BtnShowL,      &BtnShowF,      &BtnShowK,  &BtnShowB,
                                    &BtnShowG,     &BtnSetupBrowseElf, &BtnSetupBrowseSvd, &BtnSetupBrowseArmSvd,
                                    &BtnSetupBrowseSrc, &BtnSetupBrowseBin, &BtnSetupSave, &BtnFlash};
static bool s_latched[sizeof s_buttons / sizeof s_buttons[0]];

void ui_request_redraw() {
    render_needed.store(true);
    glfwPostEmptyEvent();
}

static bool hit(const Button& b, double mx, double my) {
    return mx >= b.x && mx <= b.x + b.width && my >= b.y && my <= b.y + b.height;
}

// A button that cannot be reached: parked off screen or greyed out.
static bool live(const Button* b) {
    if (b == &BtnStepAsm && !g_show_asm) return false;
    if (b == &BtnToggleAsm && !g_show_source) return false;
    if (b == &BtnFollow && (!g_show_source || g_source_follow)) return false;
    if (b == &BtnFiles && !g_show_source) return false;
    if (is_setup_button(b) && !g_show_setup) return false;
    return true;
}

static bool inside_box(const LayoutBox& b, double mx, double my) {
    return b.w > 0 && b.h > 0 && mx >= b.x && mx < b.x + b.w && my >= b.y && my < b.y + b.h;
}

static bool inside_box_closed(const LayoutBox& b, double mx, double my) {
    return b.w > 0 && b.h > 0 && mx >= b.x && mx <= b.x + b.w && my >= b.y && my <= b.y + b.h;
}

static void clipboard_put(const char* text) {
    if (s_clipboard_sink) s_clipboard_sink(text);
    else if (win_global) glfwSetClipboardString(win_global, text);
}

static void run_log_menu_command(int cmd) {
    if (cmd == LOG_MENU_COPY_LINE) {
        std::string line;
        if (log_copy_line(&logv, s_menu_row, &line)) clipboard_put(line.c_str());
    } else if (cmd == LOG_MENU_COPY_ALL) {
        std::string all = log_copy_all(&logv);
        if (!all.empty()) clipboard_put(all.c_str());
    }
}

// --- hit tests -------------------------------------------------------------------

static bool on_top_edge(TopEdge e, float eff_x, double mx, double my) {
    return g_top_edges[e].active && std::fabs(mx - eff_x) <= 5 && my >= 30 && my < debug_box.y;
}
bool is_on_memmap_edge(double mx, double my) { return on_top_edge(TOP_EDGE_MEMMAP, g_eff_memmap_x, mx, my); }
bool is_on_periph_edge(double mx, double my) { return on_top_edge(TOP_EDGE_PERIPH, g_eff_periph_x, mx, my); }
bool is_on_plot_edge(double mx, double my) { return on_top_edge(TOP_EDGE_PLOT, g_eff_plot_x, mx, my); }
bool is_on_source_edge(double mx, double my) { return on_top_edge(TOP_EDGE_SOURCE, g_eff_source_x, mx, my); }

bool is_on_debug_edge(double mx, double my) {
    return std::fabs(my - debug_box.y) <= 5 && mx >= 2 && mx < window_w - 2;
}

bool bottom_edge_hit(float sep_x, double mx, double my) {
    float h = debug_box.h > 0 ? debug_box.h : 18;
    return sep_x > 0 && std::fabs(mx - sep_x) <= 5 && my >= debug_box.y && my < debug_box.y + h;
}
bool is_on_log_edge(double mx, double my) { return bottom_edge_hit(g_eff_log_x, mx, my); }
bool is_on_stack_edge(double mx, double my) { return bottom_edge_hit(g_eff_stack_x, mx, my); }
bool is_on_fault_edge(double mx, double my) { return bottom_edge_hit(g_eff_fault_x, mx, my); }
bool is_on_bkpt_edge(double mx, double my) { return bottom_edge_hit(g_eff_bkpt_x, mx, my); }

bool is_on_win_right_edge(double mx, double my) {
    return !is_maximized && mx >= window_w - 7 && mx <= window_w + 5 && my >= 30 && my < window_h - 6;
}
bool is_on_win_bottom_edge(double mx, double my) {
    return !is_maximized && my >= window_h - 7 && my <= window_h + 5 && mx >= 1 && mx < window_w - 6;
}

static bool (*const s_bottom_hits[4])(double, double) = {is_on_log_edge, is_on_stack_edge, is_on_fault_edge,
                                                          is_on_bkpt_edge};
static float* const s_bottom_px[4] = {&g_log_edge_x, &g_stack_edge_x, &g_fault_edge_x, &g_bkpt_edge_x};

static bool on_any_top_edge(double mx, double my) {
    return is_on_memmap_edge(mx, my) || is_on_periph_edge(mx, my) || is_on_plot_edge(mx, my) ||
           is_on_source_edge(mx, my);
}
static bool on_any_bottom_separator(double mx, double my) {
    for (auto h : s_bottom_hits)
        if (h(mx, my)) return true;
    return false;
}

bool sb_hit_src(double mx, double my) {
    const SourceView& v = source_view;
    float scroll = v.scroll;
    ScrollbarGeom g = scrollbar_geometry(v.x, v.y, v.width, v.height, v.sb_inset, &scroll, g_source_content_h);
    return g.visible && mx >= g.track_x && mx <= g.track_x + 8 && my >= g.track_top && my < g.track_top + g.track_len;
}

void sb_clamp_src() {
    SourceView& v = source_view;
    v.scroll = std::clamp(v.scroll, 0.0f, std::max(0.0f, g_source_content_h - (v.height - SOURCE_HEADER_H)));
}

static void source_sb_drag_move(double my) {
    SourceView& v = source_view;
    float visible = v.height - SOURCE_HEADER_H, content = g_source_content_h;
    float thumb = content > 0 ? std::max(8.0f, visible / content * visible) : visible;
    float travel = visible - thumb, range = content - visible;
    if (content > 0 && travel > 0) {
        v.scroll = sb_drag_start_scroll + (float)(my - sb_drag_start_y) * range / travel;
        sb_clamp_src();
        v.scroll_target = v.scroll;
        source_view_suspend_follow();
    }
}

static bool edge_drag_active() { return g_top_drag_ptr || g_bot_drag_idx >= 0 || debug_resizing; }
static bool any_drag_active() {
    return dragging || win_right_resizing || win_bottom_resizing || edge_drag_active() || sb_drag_target ||
           sb_dragging_source;
}

// --- window management ---------------------------------------------------------------

static void maximize_from(const UiRect& r) {
    const UiWindowOps* ops = ui_window_ops();
    saved_x = r.x;
    saved_y = r.y;
    saved_w = r.w;
    saved_h = r.h;
    UiRect areas[UI_MAX_MONITORS];
    int n = ops->work_areas(areas);
    if (n > 0) {
        const UiRect& a = areas[ui_pick_monitor(r, areas, n)];
        ops->move(a.x, a.y);
        ops->resize(a.w, a.h);
        windowX = a.x;
        windowY = a.y;
        is_maximized = true;
    }
}

void ui_window_maximize_from(const UiRect& normal) {
    s_have_motion = false;
    maximize_from(normal);
}

void ui_window_normal_rect(UiRect* out) {
    if (is_maximized) *out = UiRect{saved_x, saved_y, saved_w, saved_h};
    else ui_window_ops()->get_rect(out);
}

void toggle_maximize(GLFWwindow*) {
    s_have_motion = false;
    const UiWindowOps* ops = ui_window_ops();
    UiRect r;
    ops->get_rect(&r);
    if (!is_maximized) {
        maximize_from(r);
    } else {
        ops->move(saved_x, saved_y);
        ops->resize(saved_w, saved_h);
        windowX = saved_x;
        windowY = saved_y;
        is_maximized = false;
    }
    ops->redraw_pointer();
}

void set_window_topmost(GLFWwindow*, int enable) { ui_window_ops()->set_topmost(enable != 0); }

// --- press -----------------------------------------------------------------------

static void post(int cmd, uint32_t addr) {
    if (s_command_sink) s_command_sink(cmd, addr);
}

// Toolbar buttons arrive here only when toolbar_button_enabled allows them.
static void press_button(Button* b) {
    if (b == &BtnRunToMain) {
        uint32_t addr = 0;
        if (!g_ui_symbols.find_function || !g_ui_symbols.find_function("main", &addr))
            log_add_line(&logv, "[DBG] RunToMain: main() not found in ELF");
        else
            post(PROBE_CMD_RUN_TO_MAIN, addr);
    } else if (b == &BtnReset) {
        post(PROBE_CMD_RESET, 0);
    } else if (b == &BtnStart) {
        post(PROBE_CMD_RESUME, 0);
        log_add_line(&logv, "[DBG] Continue");
    } else if (b == &BtnPause) {
        post(PROBE_CMD_HALT, 0);
    } else if (b == &BtnStep) {
        post(PROBE_CMD_STEP, 0);
    } else if (b == &BtnStepInto) {
        post(PROBE_CMD_STEP_INTO, 0);
    } else if (b == &BtnStepOut) {
        post(PROBE_CMD_STEP_OUT, 0);
    } else if (b == &BtnStepAsm) {
        post(PROBE_CMD_STEP_ASM, 0);
    } else if (b == &BtnToggleAsm) {
        if (!ui_elf_loaded()) {
            log_add_line(&logv, "[ASM] ELF not loaded \xE2\x80\x94 set elf= in debugger.ini");
        } else {
            g_asm_toggle_pending = true;
            g_show_asm = !g_show_asm;
        }
    } else if (b == &BtnFollow) {
        source_view_resume_follow();
    } else if (b == &BtnFiles) {
        tooltip_clear();
        const char* shown = g_ui_files.shown ? g_ui_files.shown() : nullptr;
        file_picker_open(&g_file_picker, &source_box, shown, window_w, window_h);
    } else if (b == &maxButton) {
        toggle_maximize(win_global);
    } else if (b == &minButton) {
        ui_window_ops()->iconify();
    } else if (b == &topmostButton) {
        g_is_topmost = !g_is_topmost;
        set_window_topmost(win_global, g_is_topmost);
    } else if (b == &BtnDark) {
        theme_activate(!g_dark_theme_active);
    } else {
        for (const VisToggle* rows : {vis_btns, bot_btns})
            for (int i = 0; i < 5; ++i)
                if (rows[i].btn == b) *rows[i].flag = !*rows[i].flag;
    }
}

static bool is_toggle(const Button* b) {
    for (const VisToggle* rows : {vis_btns, bot_btns})
        for (int i = 0; i < 5; ++i)
            if (rows[i].btn == b) return true;
    return false;
}

// True when the press landed on a button (enabled or not).
static bool press_buttons(double mx, double my) {
    for (size_t i = 0; i < sizeof s_buttons / sizeof s_buttons[0]; ++i) {
        Button* b = s_buttons[i];
        if (!live(b) || !hit(*b, mx, my)) continue;
        // A greyed-out button does nothing, not even look pressed.
        if (is_toolbar_button(b) && !toolbar_button_enabled(b)) return true;
        if (b == &BtnFlash && !setup_flash_enabled_as_drawn()) return true;
        if (!is_toggle(b) || b == &BtnSetup) b->pressed = true;
        s_latched[i] = true;
        if (b == &closeButton) s_close_press_began = true;
        press_button(b);
        return true;
    }
    return false;
}

static bool on_title_strip_button(double mx, double my) {
    for (const Button* b : {&closeButton, &maxButton, &minButton, &topmostButton, &BtnDark})
        if (hit(*b, mx, my)) return true;
    for (int i = 0; i < 5; ++i)
        if (hit(*vis_btns[i].btn, mx, my)) return true;
    return false;
}

static bool press_window(double mx, double my) {
    UiRect r;
    if (is_on_win_right_edge(mx, my) || is_on_win_bottom_edge(mx, my)) {
        ui_window_ops()->get_rect(&r);
        win_resize_startX = mx;
        win_resize_startY = my;
        win_resize_startW = r.w;
        win_resize_startH = r.h;
        if (is_on_win_right_edge(mx, my)) win_right_resizing = true;
        else win_bottom_resizing = true;
        return true;
    }
    if (my < 30 && !on_title_strip_button(mx, my)) {
        dragging = true;
        startX = mx;
        startY = my;
        drag_start_windowY = windowY;
        snap_armed = false;
        drag_pending_restore = is_maximized;
        drag_pending_rel_x = window_w > 0 ? mx / window_w : 0.5;
        return true;
    }
    return false;
}

static void copy_view_rects() {
    std::lock_guard<std::mutex> lk(log_mutex());
    const struct {
        LogView* v;
        const LayoutBox* b;
    } pairs[3] = {{&log_panel, &debug_box}, {&memmap_panel, &memmap_box}, {&periph_panel, &periph_box}};
    source_view.x = source_box.x;
    source_view.y = source_box.y;
    source_view.width = source_box.w;
    source_view.height = source_box.h;
    for (const auto& p : pairs) {
        p.v->x = p.b->x;
        p.v->y = p.b->y;
        p.v->width = p.b->w;
        p.v->height = p.b->h;
    }
}

static bool press_scrollbars(double mx, double my) {
    const struct {
        LogView* v;
        bool shown;
    } bars[3] = {{&log_panel, g_show_log}, {&memmap_panel, g_show_memmap}, {&periph_panel, g_show_periph}};
    for (const auto& bar : bars) {
        if (!bar.shown || !sb_hit(bar.v, mx, my)) continue;
        log_sb_drag_begin(bar.v, my, bar.v == &log_panel);
        sb_drag_target = bar.v;
        return true;
    }
    if (g_show_source && sb_hit_src(mx, my)) {
        sb_dragging_source = true;
        sb_drag_start_y = my;
        sb_drag_start_scroll = source_view.scroll;
        return true;
    }
    return false;
}

static bool press_edges(double mx, double my) {
    const struct {
        bool (*test)(double, double);
        TopEdge edge;
    } tops[4] = {{is_on_memmap_edge, TOP_EDGE_MEMMAP},
                 {is_on_periph_edge, TOP_EDGE_PERIPH},
                 {is_on_plot_edge, TOP_EDGE_PLOT},
                 {is_on_source_edge, TOP_EDGE_SOURCE}};
    for (const auto& t : tops) {
        if (!t.test(mx, my)) continue;
        resize_startX = mx;
        g_top_drag_ptr = g_top_edges[t.edge].x;
        resize_start_val = *g_top_drag_ptr;
        return true;
    }
    if (is_on_debug_edge(mx, my)) {
        debug_resizing = true;
        resize_startY = my;
        resize_start_val = debug_box.y;
        return true;
    }
    for (int k = 0; k < 4; ++k) {
        if (!s_bottom_hits[k](mx, my)) continue;
        resize_startX = mx;
        resize_start_val = *s_bottom_px[k];
        g_bot_drag_idx = k;
        return true;
    }
    return false;
}

static void press_variables(double mx, double my) {
    const LayoutBox& b = variables_box;
    if (!g_show_variables || !inside_box(b, mx, my)) return;
    if (my >= b.y + 18 && my < b.y + 36) {
        g_var_tab = mx >= b.x + b.w / 2 ? VAR_TAB_WATCH : VAR_TAB_PICKER;
        return;
    }
    if (g_var_tab == VAR_TAB_PICKER) {
        int row = scope_row_at(my);
        if (row < 0) return;
        watch_add(&g_var_list[row]);
        g_var_tab = VAR_TAB_WATCH;
        return;
    }
    int member = -1;
    int i = watch_row_at(my, &member);
    if (i < 0) return;
    if (mx >= b.x + b.w - 14) {
        // Only its own curve goes: the others follow their watches, not their rows.
        plot_view_remove(g_watch[i].id);
        watch_remove(i);
        if (g_svd_view.level != SVD_VIEW_PERIPH_LIST) svd_view_refresh();
        return;
    }
    if (member < 0 && watch_child_count(g_watch[i].var) > 0 && mx >= b.x + 8 && mx < b.x + 22) {
        watch_toggle_expanded(i);
        return;
    }
    // The value, in the row's right half, is edited in place.
    if (member < 0 && mx >= b.x + b.w / 2 && ui_edit_begin(EditTarget{EDIT_WATCH, i, g_watch[i].id, -1, -1, -1, -1})) return;
    // A number is plotted; a structure or an array has no one value to draw.
    const ElfVariable& v = g_watch[i].var;
    if (member >= 0 || v.is_struct || v.elem_count > 0 || v.byte_size < 1 || v.byte_size > 8) return;
    plot_view_toggle(g_watch[i].id);
    g_show_plot = true;
}

// The Peripherals row under the pointer (below the header, left of the bar), or -1.
static int periph_row_at(double mx, double my) {
    const LayoutBox& b = periph_box;
    if (!g_svd || !g_show_periph || !inside_box(b, mx, my) || my < b.y + LOG_HEADER_H) return -1;
    if (sb_hit(&periph_panel, mx, my)) return -1;
    float lh = periph_panel.line_height > 0 ? periph_panel.line_height : 1;
    return (int)((periph_panel.scroll + (float)(my - (b.y + LOG_HEADER_H))) / lh);
}

// The source line (1-based) under a gutter press, or 0.
static uint32_t gutter_line_at(double mx, double my) {
    const SourceView& v = source_view;
    if (!g_show_source || mx < v.x || mx >= v.x + SOURCE_GUTTER_W || my < v.y + SOURCE_HEADER_H || my >= v.y + v.height)
        return 0;
    float lh = v.line_height > 0 ? v.line_height : 16;
    float off = v.scroll + (float)(my - (v.y + SOURCE_HEADER_H));
    uint32_t line = g_show_asm && g_ui_asm_cache ? source_line_at_offset(&v, off, true, g_ui_asm_cache, g_ui_asm_cache_count)
                                                   : (uint32_t)(off / lh) + 1;
    return line >= 1 && (int)line <= v.count ? line : 0;
}

// A press on a Core registers row edits that register.
static bool press_registers(double mx, double my) {
    if (!g_show_memmap || !inside_box(memmap_box, mx, my) || sb_hit(&memmap_panel, mx, my)) return false;
    int row = log_row_at(&memmap_panel, my);
    return row >= 0 && ui_edit_begin(EditTarget{EDIT_CORE_REG, -1, 0, row, -1, -1, -1});
}

// Where a register row's value starts: after its "  = " when it shows one,
// else past its text (the name still opens the register's fields).
static float periph_value_x(int row) {
    char line[LOG_LINE_LEN], fitted[LOG_LINE_LEN + 8];
    if (!log_line(&periph_view, row, line, sizeof line, nullptr)) return 1e9f;
    // Where it is drawn: a narrow panel fits the line to its width. Either
    // buffer it answers with is ours to cut.
    char* shown = const_cast<char*>(log_fit_panel_line(line, log_panel_text_room(&periph_panel), fitted, sizeof fitted));
    char* eq = std::strstr(shown, "  = ");
    if (eq) *eq = 0;
    return periph_panel.x + 4 + measure_text(shown);
}

// A press on a register's value or on a field row edits it.
static bool press_periph_edit(int row, double mx) {
    const SvdViewState& s = g_svd_view;
    if (row < 1) return false;
    if (s.level == SVD_VIEW_REG_LIST && mx >= periph_value_x(row))
        return ui_edit_begin(EditTarget{EDIT_PERIPH_REG, -1, 0, row, s.sel_periph, row - 1, -1});
    if (s.level == SVD_VIEW_FIELD_LIST)
        return ui_edit_begin(EditTarget{EDIT_PERIPH_FIELD, -1, 0, row, s.sel_periph, s.sel_reg, row - 1});
    return false;
}

static void press_left(double mx, double my) {
    // The open field takes presses inside it; one anywhere else cancels it.
    if (g_edit.active) {
        if (text_field_contains(&g_edit, (float)mx, (float)my)) {
            text_field_press(&g_edit, (float)mx, s_shift_down);
            return;
        }
        text_field_close(&g_edit);
    }
    if (press_buttons(mx, my)) return;
    if (press_window(mx, my)) return;
    copy_view_rects();
    bool grabbed = press_scrollbars(mx, my) || press_edges(mx, my);
    press_variables(mx, my);
    if (!grabbed) {
        uint32_t line = gutter_line_at(mx, my);
        if (line && g_ui_symbols.gutter_click) g_ui_symbols.gutter_click(line);
        int row = periph_row_at(mx, my);
        if (row >= 0 && !press_periph_edit(row, mx)) svd_view_click(row, mx < periph_box.x + 20);
        press_registers(mx, my);
    }
    if (g_show_bkpt) {
        int slot = bkpt_row_at(mx, my);
        if (slot >= 0 && g_ui_symbols.bkpt_toggle_enable) g_ui_symbols.bkpt_toggle_enable(slot);
    }
}

static void release_left(double mx, double my) {
    g_edit.selecting = false;
    g_file_picker.filter.selecting = false;
    dragging = drag_pending_restore = false;
    win_right_resizing = win_bottom_resizing = false;
    debug_resizing = false;
    if (g_top_drag_ptr) g_top_released_ptr = g_top_drag_ptr;
    if (g_bot_drag_idx >= 0) g_bot_released_idx = g_bot_drag_idx;
    g_top_drag_ptr = nullptr;
    g_bot_drag_idx = -1;
    sb_drag_target = nullptr;
    sb_dragging_source = false;
    for (Button* b : s_buttons) b->pressed = false;
    // Closing needs both the press and the release on the button.
    if (s_close_press_began && hit(closeButton, mx, my)) s_close_requested = true;
    s_close_press_began = false;
}

void ui_on_mouse_button(int button, int action, double mx, double my) {
    render_needed.store(true);
    // An open menu takes the next click, wherever it lands.
    if (g_popup.visible && action == UI_PRESS) {
        int cmd = popup_click(&g_popup, (float)mx, (float)my);
        if (cmd) run_log_menu_command(cmd);
        return;
    }
    // So does the file list: a click outside it only closes it.
    if (g_file_picker.visible && action == UI_PRESS) {
        if (button == UI_MOUSE_LEFT) file_picker_press(&g_file_picker, (float)mx, (float)my, s_shift_down);
        else file_picker_close(&g_file_picker);
        return;
    }
    if (button == UI_MOUSE_LEFT && action == UI_PRESS) {
        press_left(mx, my);
    } else if (button == UI_MOUSE_LEFT && action == UI_RELEASE) {
        release_left(mx, my);
    } else if (button == UI_MOUSE_RIGHT && action == UI_PRESS && g_show_log && inside_box(debug_box, mx, my)) {
        copy_view_rects();
        s_menu_row = log_row_at(&log_panel, my);
        const PopupItem items[2] = {{"Copy this line", LOG_MENU_COPY_LINE, s_menu_row >= 0},
                                    {"Copy all", LOG_MENU_COPY_ALL, log_count(&logv) > 0}};
        popup_open(&g_popup, 1, (float)mx, (float)my, items, 2, window_w, window_h, 150);
    }
}

// --- motion ------------------------------------------------------------------------

static void update_cursor_shape(double mx, double my) {
    UiCursorShape shape = UI_CURSOR_ARROW;
    if (g_top_drag_ptr || g_bot_drag_idx >= 0 || win_right_resizing) shape = UI_CURSOR_HRESIZE;
    else if (debug_resizing || win_bottom_resizing) shape = UI_CURSOR_VRESIZE;
    else if (!dragging && !sb_drag_target && !sb_dragging_source) {
        if (on_any_top_edge(mx, my) || is_on_win_right_edge(mx, my) || on_any_bottom_separator(mx, my))
            shape = UI_CURSOR_HRESIZE;
        else if (is_on_debug_edge(mx, my) || is_on_win_bottom_edge(mx, my))
            shape = UI_CURSOR_VRESIZE;
    }
    ui_window_ops()->set_cursor(shape);
}

// The pointer's screen position: exact where the window system tells it,
// else the window's last known place plus the event's coordinates.
static void pointer_on_screen(double mx, double my, double* sx, double* sy) {
    const UiWindowOps* ops = ui_window_ops();
    if (!ops->pointer_screen_pos || !ops->pointer_screen_pos(sx, sy)) {
        *sx = windowX + mx;
        *sy = windowY + my;
    }
}

static bool drag_window(double mx, double my) {
    double sx, sy;
    pointer_on_screen(mx, my, &sx, &sy);
    if (drag_pending_restore) {
        drag_pending_restore = false;
        toggle_maximize(win_global);
        UiRect r;
        ui_window_ops()->get_rect(&r);
        // The grabbed point stays at the same fraction of the (now smaller) width.
        startX = drag_pending_rel_x * r.w;
        drag_start_windowY = windowY;
    }
    int nx = (int)(sx - startX), ny = (int)(sy - startY);
    if (nx != windowX || ny != windowY) {
        ui_window_ops()->move(nx, ny);
        windowX = nx;
        windowY = ny;
    }
    if (sy > 5) snap_armed = true;
    if (snap_armed && sy < 1) {
        dragging = false;
        toggle_maximize(win_global);
    }
    return true;
}

bool ui_window_drag_active() { return dragging; }

void ui_window_drag_tick() {
    if (!dragging) return;
    drag_window(g_mouse_x, g_mouse_y);
}

static bool apply_drags(double mx, double my) {
    if (dragging) return drag_window(mx, my);
    if (win_right_resizing) {
        ui_window_ops()->resize(std::max(300, (int)(win_resize_startW + (mx - win_resize_startX))),
                                win_resize_startH);
        return true;
    }
    if (win_bottom_resizing) {
        ui_window_ops()->resize(win_resize_startW,
                                std::max(200, (int)(win_resize_startH + (my - win_resize_startY))));
        return true;
    }
    if (g_top_drag_ptr) {
        *g_top_drag_ptr = resize_start_val + (float)(mx - resize_startX);
        for (TopEdgeInfo& e : g_top_edges)
            if (e.x == g_top_drag_ptr && window_w > 0) *e.ratio = *e.x / (float)window_w;
        return true;
    }
    if (g_bot_drag_idx >= 0) {
        float* ratios[4] = {&g_log_edge_ratio, &g_stack_edge_ratio, &g_fault_edge_ratio, &g_bkpt_edge_ratio};
        if (window_w > 0) *ratios[g_bot_drag_idx] = (resize_start_val + (float)(mx - resize_startX)) / (float)window_w;
        return true;
    }
    if (debug_resizing) {
        float hi = std::max(100.0f, (float)window_h - 60);
        debug_box.y = std::clamp(resize_start_val + (float)(my - resize_startY), 100.0f, hi);
        return true;
    }
    if (sb_drag_target) {
        log_sb_drag_move(sb_drag_target, my);
        return true;
    }
    if (sb_dragging_source) {
        source_sb_drag_move(my);
        return true;
    }
    return false;
}

// A greyed button keeps its tooltip: it says what the button would do.
static void update_tooltip(double mx, double my) {
    for (const Tip& t : tips) {
        // The open file list is not covered by a tip.
        if (g_file_picker.visible || !live(t.btn) || !hit(*t.btn, mx, my)) continue;
        tooltip_set_at(g_ui_clock(), (uintptr_t)t.btn, t.text, (float)mx, (float)my, 0.5f);
        return;
    }
    if (tooltip_clear()) render_needed.store(true);
}

void ui_on_cursor(double mx, double my) {
    bool changed = false;
    if (g_edit.active && g_edit.selecting) {
        text_field_drag(&g_edit, (float)mx);
        changed = true;
    }
    if (g_file_picker.visible) {
        if (g_file_picker.filter.selecting) text_field_drag(&g_file_picker.filter, (float)mx);
        changed |= g_file_picker.filter.selecting || file_picker_hover(&g_file_picker, (float)mx, (float)my);
    }
    for (Button* b : s_buttons) {
        bool h = live(b) && hit(*b, mx, my);
        changed |= h != b->hovered;
        b->hovered = h;
    }
    g_mouse_x = mx;
    g_mouse_y = my;
    if (!any_drag_active()) {
        bool r = is_on_win_right_edge(mx, my), bt = is_on_win_bottom_edge(mx, my);
        changed |= r != win_right_hovered || bt != win_bottom_hovered;
        win_right_hovered = r;
        win_bottom_hovered = bt;
    }
    update_cursor_shape(mx, my);
    int vh = -1, wh = -1, bh = -1;
    if (g_show_variables && inside_box(variables_box, mx, my)) {
        if (g_var_tab == VAR_TAB_PICKER) vh = scope_row_at(my);
        else wh = watch_row_at(my, nullptr);
    }
    if (g_show_bkpt) bh = bkpt_row_at(mx, my);
    int ph = edge_drag_active() || win_right_resizing || win_bottom_resizing || sb_drag_target ? -1 : periph_row_at(mx, my);
    if (ph >= log_count(&periph_view)) ph = -1;  // below the last row: nothing a click would open
    changed |= ph != periph_panel.hovered_row;
    periph_panel.hovered_row = ph;
    changed |= vh != g_var_hovered || wh != g_watch_hovered || bh != g_bkpt_hovered;
    g_var_hovered = vh;
    g_watch_hovered = wh;
    g_bkpt_hovered = bh;
    if (popup_hover(&g_popup, (float)mx, (float)my)) changed = true;
    if (changed) render_needed.store(true);
    if (apply_drags(mx, my)) render_needed.store(true);
    else update_tooltip(mx, my);
}

// --- wheel --------------------------------------------------------------------------

void ui_on_scroll(double mx, double my, double yoffset) {
    if (yoffset == 0 || g_popup.visible) return;
    // Nothing under the open file list scrolls.
    if (g_file_picker.visible) {
        if (file_picker_contains(&g_file_picker, (float)mx, (float)my) && file_picker_scroll(&g_file_picker, yoffset)) {
            file_picker_hover(&g_file_picker, (float)mx, (float)my);
            render_needed.store(true);
        }
        return;
    }
    if (g_show_plot && inside_box(plot_box, mx, my)) {
        float& pps = g_plot_view.pixels_per_sample;
        pps = std::clamp(pps * (yoffset > 0 ? 1.15f : 1.0f / 1.15f), 0.5f, 50.0f);
    } else if (g_show_fault && inside_box(fault_box, mx, my)) {
        g_fault_scroll = std::max(0.0f, g_fault_scroll - 24 * (float)yoffset);
    } else if (g_show_setup && inside_box(setup_box, mx, my)) {
        setup_scroll_wheel(yoffset);
    } else if (g_show_source && inside_box_closed(source_box, mx, my)) {
        SourceView& v = source_view;
        float step = v.line_height > 0 ? 3 * v.line_height : 48;
        float max_scroll = std::max(0.0f, g_source_content_h - (v.height - SOURCE_HEADER_H));
        v.scroll_target = std::clamp(v.scroll_target - (float)yoffset * step, 0.0f, max_scroll);
        source_view_suspend_follow();
    } else if (g_show_variables && inside_box_closed(variables_box, mx, my)) {
        bool watch = g_var_tab == VAR_TAB_WATCH;
        float content = watch ? watch_content_height() : VAR_ROW_H * (float)std::clamp(g_var_count, 0, (int)VAR_LIST_MAX);
        float visible = variables_box.h - VAR_LIST_TOP;
        float* scroll = watch ? &g_watch_scroll : &g_var_scroll;
        *scroll = std::clamp(*scroll - 3 * (float)yoffset * VAR_ROW_H, 0.0f, std::max(0.0f, content - visible));
    } else if (g_show_periph && inside_box(periph_box, mx, my)) {
        log_scroll_wheel(&periph_panel, yoffset);
    } else if (g_show_memmap && inside_box(memmap_box, mx, my)) {
        log_scroll_wheel(&memmap_panel, yoffset);
    } else if (g_show_log && inside_box(debug_box, mx, my)) {
        copy_view_rects();
        log_scroll_wheel(&log_panel, yoffset);
    } else {
        return;
    }
    render_needed.store(true);
}

// --- the rest ---------------------------------------------------------------------------

bool ui_take_click(Button* b) {
    for (size_t i = 0; i < sizeof s_buttons / sizeof s_buttons[0]; ++i)
        if (s_buttons[i] == b && s_latched[i]) {
            s_latched[i] = false;
            return true;
        }
    return false;
}

bool ui_close_requested() { return s_close_requested; }

void ui_input_reset() {
    release_left(-1000, -1000);
    for (bool& l : s_latched) l = false;
    for (Button* b : s_buttons) b->hovered = false;
    s_close_requested = false;
    is_maximized = g_is_topmost = false;
    win_right_hovered = win_bottom_hovered = false;
    g_var_hovered = g_watch_hovered = g_bkpt_hovered = -1;
    plot_view_init();
}

void ui_on_window_pos(int x, int y) {
    // Window coordinates of the last motion no longer name the same screen point.
    if (x != windowX || y != windowY) s_have_motion = false;
    windowX = x;
    windowY = y;
}

void ui_set_clipboard_sink(UiClipboardSink sink) { s_clipboard_sink = sink; }
void ui_set_command_sink(UiCommandSink sink) { s_command_sink = sink ? sink : probe_post_cmd; }

// Where the pointer was when the event happened: the last motion event's
// position. Asking the window now would give where the pointer is by the time
// a busy loop gets to the event, and a quick press-and-move would land elsewhere.
static void event_position(GLFWwindow* w, double* mx, double* my) {
    if (s_have_motion) {
        *mx = g_mouse_x;
        *my = g_mouse_y;
    } else {
        glfwGetCursorPos(w, mx, my);
    }
}

void mouse_button_callback(GLFWwindow* w, int button, int action, int) {
    double mx = 0, my = 0;
    event_position(w, &mx, &my);
    int b = button == GLFW_MOUSE_BUTTON_LEFT ? UI_MOUSE_LEFT : button == GLFW_MOUSE_BUTTON_RIGHT ? UI_MOUSE_RIGHT : -1;
    if (b < 0) return;
    ui_on_mouse_button(b, action == GLFW_PRESS ? UI_PRESS : UI_RELEASE, mx, my);
    if (ui_close_requested()) glfwSetWindowShouldClose(w, GLFW_TRUE);
}

void cursor_pos_callback(GLFWwindow*, double x, double y) {
    s_have_motion = true;
    ui_on_cursor(x, y);
}

void scroll_callback(GLFWwindow* w, double, double yoffset) {
    double mx = 0, my = 0;
    event_position(w, &mx, &my);
    ui_on_scroll(mx, my, yoffset);
}

void window_pos_callback(GLFWwindow*, int x, int y) { ui_on_window_pos(x, y); }

// --- keys ----------------------------------------------------------------------------

bool ui_on_key(int key, int mods, const char* clipboard) {
    s_shift_down = mods & TEXT_MOD_SHIFT;
    if (g_file_picker.visible) {
        render_needed.store(true);
        return file_picker_key(&g_file_picker, key, mods, clipboard);
    }
    if (!g_edit.active) return false;
    render_needed.store(true);
    TextResult r = text_field_key(&g_edit, (TextKey)key, mods, clipboard);
    if (r == TEXT_COMMIT) {
        // A refused value keeps the field open for a correction; the reason is in the log.
        if (!g_ui_edit.commit || g_ui_edit.commit(&g_edit.target, g_edit.buf)) text_field_close(&g_edit);
    } else if (r == TEXT_COPY) {
        char sel[TEXT_FIELD_CAP];
        text_field_selection(&g_edit, sel, sizeof sel);
        clipboard_put(sel);
        if (key == TEXT_KEY_X) text_field_key(&g_edit, TEXT_KEY_DELETE, 0, nullptr);
    }
    return r != TEXT_NONE;
}

// Run control from the keyboard, as common IDE debuggers have it. A key
// does what its button does, and nothing while the button is greyed.
struct Shortcut {
    int key, mods;
    Button* btn;
};
static const Shortcut s_shortcuts[] = {
    {GLFW_KEY_F5, 0, &BtnStart},          {GLFW_KEY_F6, 0, &BtnPause},
    {GLFW_KEY_F10, 0, &BtnStep},          {GLFW_KEY_F11, 0, &BtnStepInto},
    {GLFW_KEY_F11, TEXT_MOD_SHIFT, &BtnStepOut}, {GLFW_KEY_F5, TEXT_MOD_CTRL | TEXT_MOD_SHIFT, &BtnReset},
};

bool ui_on_shortcut(int glfw_key, int mods) {
    if (g_edit.active) return false;
    for (const Shortcut& s : s_shortcuts) {
        if (s.key != glfw_key || s.mods != (mods & (TEXT_MOD_SHIFT | TEXT_MOD_CTRL))) continue;
        if (toolbar_button_enabled(s.btn)) press_button(s.btn);
        render_needed.store(true);
        return true;
    }
    return false;
}

bool ui_on_char(unsigned codepoint) {
    if (g_file_picker.visible) {
        render_needed.store(true);
        return file_picker_char(&g_file_picker, codepoint);
    }
    if (!g_edit.active) return false;
    render_needed.store(true);
    return text_field_char(&g_edit, codepoint);
}

static TextKey text_key_of(int key) {
    switch (key) {
    case GLFW_KEY_BACKSPACE: return TEXT_KEY_BACKSPACE;
    case GLFW_KEY_DELETE: return TEXT_KEY_DELETE;
    case GLFW_KEY_LEFT: return TEXT_KEY_LEFT;
    case GLFW_KEY_RIGHT: return TEXT_KEY_RIGHT;
    case GLFW_KEY_HOME: return TEXT_KEY_HOME;
    case GLFW_KEY_END: return TEXT_KEY_END;
    case GLFW_KEY_ENTER:
    case GLFW_KEY_KP_ENTER: return TEXT_KEY_ENTER;
    case GLFW_KEY_ESCAPE: return TEXT_KEY_ESCAPE;
    case GLFW_KEY_A: return TEXT_KEY_A;
    case GLFW_KEY_C: return TEXT_KEY_C;
    case GLFW_KEY_V: return TEXT_KEY_V;
    case GLFW_KEY_X: return TEXT_KEY_X;
    case GLFW_KEY_UP: return TEXT_KEY_UP;
    case GLFW_KEY_DOWN: return TEXT_KEY_DOWN;
    case GLFW_KEY_PAGE_UP: return TEXT_KEY_PAGE_UP;
    case GLFW_KEY_PAGE_DOWN: return TEXT_KEY_PAGE_DOWN;
    default: return TEXT_KEY_OTHER;
    }
}

void key_callback(GLFWwindow* w, int key, int, int action, int mods) {
    int m = (mods & GLFW_MOD_SHIFT ? TEXT_MOD_SHIFT : 0) | (mods & GLFW_MOD_CONTROL ? TEXT_MOD_CTRL : 0);
    s_shift_down = m & TEXT_MOD_SHIFT;
    if (action == GLFW_RELEASE) return;
    if (action == GLFW_PRESS && ui_on_shortcut(key, m)) return;
    TextKey k = text_key_of(key);
    const char* clip = k == TEXT_KEY_V && (m & TEXT_MOD_CTRL) && w ? glfwGetClipboardString(w) : nullptr;
    ui_on_key(k, m, clip);
}

void char_callback(GLFWwindow*, unsigned int codepoint) { ui_on_char(codepoint); }
