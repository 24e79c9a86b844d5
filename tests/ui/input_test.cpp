// Mouse input fed as scripted events, without a window: a fake desktop
// stands in for the native window, a recorder for the probe thread.
#include <gtest/gtest.h>
#include <GLFW/glfw3.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "probe/probe.h"
#include "probe/watch_list.h"
#include "runctl/breakpoints.h"
#include "symbols/svd.h"
#include "ui/file_picker.h"
#include "ui/frame.h"
#include "ui/log_view.h"
#include "ui/panels.h"
#include "ui/popup_menu.h"
#include "ui/source_view.h"
#include "ui/svd_view.h"
#include "ui/text_field.h"
#include "ui/ui_callbacks.h"
#include "ui/ui_state.h"
#include "ui/window_ops.h"

namespace {

// Two monitors side by side; the second has a 40 px panel at its top.
struct Desktop {
    UiRect win = {100, 100, 800, 600};
    UiRect areas[2] = {{0, 0, 1920, 1080}, {1920, 40, 1280, 984}};
    bool topmost = false;
    int iconified = 0, pointer_redraws = 0;
    UiCursorShape cursor = UI_CURSOR_ARROW;
} g_desk;

const UiWindowOps kFakeOps = {
    [](UiRect* r) { *r = g_desk.win; },
    [](int x, int y) { g_desk.win.x = x, g_desk.win.y = y, ui_on_window_pos(x, y); },
    [](int w, int h) { g_desk.win.w = window_w = w, g_desk.win.h = window_h = h; },
    [] { ++g_desk.iconified; },
    [](bool on) { g_desk.topmost = on; },
    [](UiRect out[UI_MAX_MONITORS]) { return out[0] = g_desk.areas[0], out[1] = g_desk.areas[1], 2; },
    [](UiCursorShape s) { g_desk.cursor = s; },
    [] { ++g_desk.pointer_redraws; },
    nullptr};

std::vector<std::array<uint32_t, 2>> g_posted;  // command, address
std::string g_clip;
std::vector<int> g_toggled;
double g_now = 100;

std::array<int, 4> xywh(const UiRect& r) { return {r.x, r.y, r.w, r.h}; }

std::string last_log() {
    char line[LOG_LINE_LEN] = "";
    log_line(&logv, log_count(&logv) - 1, line, sizeof line, nullptr);
    return line;
}

class Input : public ::testing::Test {
protected:
    void SetUp() override {
        g_desk = Desktop{};
        ui_set_window_ops(&kFakeOps);
        ui_set_command_sink([](int cmd, uint32_t addr) { return g_posted.push_back({(uint32_t)cmd, addr}), true; });
        ui_set_clipboard_sink([](const char* t) { g_clip = t; });
        g_ui_clock = [] { return g_now; };
        g_ui_symbols = UiSymbols{};
        g_posted.clear();
        g_toggled.clear();
        g_clip.clear();
        log_set_file_path("");
        log_clear(&logv);
        log_panel.autoscroll = true;
        popup_close(&g_popup);
        g_tooltip = Tooltip{};
        g_tooltip_wake_at = 0;
        g_probe_connected = g_is_halted = g_watch_halting = false;
        g_cmd_busy = 0;
        watch_clear();
        g_var_count = 0;
        g_var_tab = VAR_TAB_PICKER;
        g_var_scroll = g_watch_scroll = 0;
        memset(g_bkpt, 0, sizeof g_bkpt);
        ui_input_reset();
        layout_reset();
        // Fixed fractions: the first-use ones depend on the font.
        layout_set_proportions(LayoutProportions{{0.25f, 0.475f, 0.625f, 0.875f}, {-1, -1, -1, -1}, -1});
        windowX = windowY = 100;
        relayout(800, 600);
    }
    void TearDown() override {
        ui_set_window_ops(nullptr);
        ui_set_command_sink(nullptr);
        g_probe_connected = g_is_halted = g_stepping = false;
    }
    void relayout(int w = 800, int h = 600) {
        window_w = w;
        window_h = h;
        ui_layout_pass(w, h);
        log_panel.x = debug_box.x;
        log_panel.y = debug_box.y;
        log_panel.width = debug_box.w;
        log_panel.height = debug_box.h;
    }
    void press(double x, double y) { ui_on_mouse_button(UI_MOUSE_LEFT, UI_PRESS, x, y); }
    void release(double x, double y) { ui_on_mouse_button(UI_MOUSE_LEFT, UI_RELEASE, x, y); }
    void click(double x, double y, int button = UI_MOUSE_LEFT) {
        ui_on_mouse_button(button, UI_PRESS, x, y);
        ui_on_mouse_button(button, UI_RELEASE, x, y);
    }
    void click(const Button& b) { click(b.x + b.width / 2.0, b.y + b.height / 2.0); }
    // A drag as the window system reports it: window coordinates follow the window.
    void drag(double x0, double y0, double x1, double y1) {
        press(x0, y0);
        ui_on_cursor(x1, y1);
        relayout(window_w, window_h);
        release(x1, y1);
        relayout(window_w, window_h);
    }
};

ElfVariable make_var(const char* name, int members = 0) {
    ElfVariable v = {};
    snprintf(v.name, sizeof v.name, "%s", name);
    snprintf(v.type_name, sizeof v.type_name, "%s", members ? "struct s" : "uint32_t");
    v.byte_size = 4;
    v.loc_kind = VAR_LOC_ADDR;
    v.is_struct = members > 0;
    v.member_count = (uint32_t)members;
    for (int i = 0; i < members; ++i) snprintf(v.members[i].name, sizeof v.members[i].name, "m%d", i);
    return v;
}

}  // namespace

// Every button and its key in each of the 64 combinations of the run state:
// a greyed button neither looks pressed nor posts, and its key does what it does.
TEST_F(Input, RunControlPostsOnlyInTheStatesTheToolbarShowsEnabled) {
    enum Need { HALTED, RUNNING_OR_STEPPING, ANY };  // ANY: Reset, which ignores busy too
    const struct {
        Button* btn;
        int cmd, key, mods;
        Need need;
        bool needs_asm = false;
    } buttons[] = {{&BtnReset, PROBE_CMD_RESET, GLFW_KEY_F5, TEXT_MOD_CTRL | TEXT_MOD_SHIFT, ANY},
                   {&BtnStart, PROBE_CMD_RESUME, GLFW_KEY_F5, 0, HALTED},
                   {&BtnPause, PROBE_CMD_HALT, GLFW_KEY_F6, 0, RUNNING_OR_STEPPING},
                   {&BtnStep, PROBE_CMD_STEP, GLFW_KEY_F10, 0, HALTED},
                   {&BtnStepInto, PROBE_CMD_STEP_INTO, GLFW_KEY_F11, 0, HALTED},
                   {&BtnStepOut, PROBE_CMD_STEP_OUT, GLFW_KEY_F11, TEXT_MOD_SHIFT, HALTED},
                   {&BtnStepAsm, PROBE_CMD_STEP_ASM, 0, 0, HALTED, true}};
    for (int state = 0; state < 64; ++state) {
        bool connected = state & 1, halted = state & 2, busy = state & 4, watch_halt = state & 8;
        for (const auto& c : buttons) {
            g_probe_connected = connected, g_is_halted = halted, g_cmd_busy = busy, g_watch_halting = watch_halt;
            g_show_asm = state & 16, g_stepping = state & 32;
            relayout();
            // A halt for reading watches is no halt; Pause interrupts a busy step or run to main.
            bool stopped = halted && !watch_halt, expect = connected && (g_show_asm || !c.needs_asm);
            if (c.need == HALTED) expect = expect && stopped && !busy;
            if (c.need == RUNNING_OR_STEPPING) expect = expect && (!stopped || g_stepping);
            SCOPED_TRACE(testing::Message() << "state " << state << " cmd " << c.cmd);
            EXPECT_EQ(toolbar_button_enabled(c.btn), expect);
            g_posted.clear();
            press(c.btn->x + 18, c.btn->y + 14);
            EXPECT_EQ(c.btn->pressed, expect);
            release(c.btn->x + 18, c.btn->y + 14);
            EXPECT_TRUE(!c.key || ui_on_shortcut(c.key, c.mods));
            EXPECT_EQ(g_posted, decltype(g_posted)((expect ? 1 : 0) + (expect && c.key), {(uint32_t)c.cmd, 0}));
        }
    }
    EXPECT_FALSE(ui_on_shortcut(GLFW_KEY_F5, TEXT_MOD_CTRL));
    EXPECT_FALSE(ui_on_shortcut(GLFW_KEY_F7, 0));
    // Greyed out, still explained after the delay.
    g_probe_connected = false;
    relayout();
    ui_on_cursor(BtnStart.x + 5, BtnStart.y + 5);
    EXPECT_TRUE(tooltip_wake(g_now + 0.5));
    EXPECT_STREQ(g_tooltip.text, "Continue (F5)") << "a run-control tooltip names its key";
}

TEST_F(Input, RunToMainNeedsTheSymbolAndToggleAsmNeedsAnImage) {
    g_probe_connected = true;
    click(BtnRunToMain);
    EXPECT_TRUE(g_posted.empty());
    EXPECT_NE(last_log().find("[DBG] RunToMain: main() not found in ELF"), std::string::npos);
    g_ui_symbols.elf_loaded = [] { return true; };
    g_ui_symbols.find_function = [](const char* name, uint32_t* addr) { return *addr = 0x08000123, !strcmp(name, "main"); };
    click(BtnRunToMain);
    EXPECT_EQ(g_posted, decltype(g_posted)({{PROBE_CMD_RUN_TO_MAIN, 0x08000123u}}));
    click(BtnToggleAsm);
    EXPECT_TRUE(g_show_asm && g_asm_toggle_pending);
    g_ui_symbols = UiSymbols{};
    click(BtnToggleAsm);
    EXPECT_TRUE(g_show_asm);
    EXPECT_NE(last_log().find("[ASM] ELF not loaded \xE2\x80\x94 set elf= in debugger.ini"), std::string::npos);
}

TEST_F(Input, TogglesFlipTheirPanelsAndAQuickClickIsNeverLost) {
    click(BtnShowG);
    EXPECT_TRUE(g_show_plot);
    EXPECT_EQ(g_desk.win.x, 100) << "the plot toggle in the title strip starts no window drag";
    for (const VisToggle* rows : {vis_btns, bot_btns})
        for (int i = 0; i < 5; ++i) {
            bool before = *rows[i].flag;
            click(*rows[i].btn);
            EXPECT_NE(*rows[i].flag, before) << rows[i].label;
        }
    // Press and release before any frame: the action stays latched until taken.
    click(BtnSetup);
    EXPECT_FALSE(BtnSetup.pressed);
    EXPECT_TRUE(ui_take_click(&BtnSetup));
    EXPECT_FALSE(ui_take_click(&BtnSetup));
    click(topmostButton);
    EXPECT_TRUE(g_is_topmost && g_desk.topmost);
    click(minButton);
    EXPECT_EQ(g_desk.iconified, 1);
    bool dark = g_dark_theme_active;
    click(BtnDark);
    EXPECT_NE(g_dark_theme_active, dark);
    click(BtnDark);
}

TEST_F(Input, CloseNeedsPressAndReleaseOnTheButton) {
    double cx = closeButton.x + 10, cy = closeButton.y + 10;
    press(400, 300);
    release(cx, cy);  // press began elsewhere
    EXPECT_FALSE(ui_close_requested());
    press(cx, cy);
    EXPECT_TRUE(closeButton.pressed);
    release(400, 300);  // dragged off before release
    EXPECT_FALSE(ui_close_requested() || closeButton.pressed);
    ui_on_cursor(cx, cy);
    EXPECT_TRUE(closeButton.hovered);
    click(cx, cy);
    EXPECT_TRUE(ui_close_requested());
}

TEST_F(Input, TitleStripDragMovesTheWindowAndMaximizeUsesTheBestMonitor) {
    drag(300, 15, 350, 5);
    EXPECT_EQ(xywh(g_desk.win), (std::array<int, 4>{150, 90, 800, 600}));
    // Mostly on the second monitor: maximise fills its work area.
    kFakeOps.move(1800, 200);
    click(maxButton);
    EXPECT_TRUE(is_maximized);
    EXPECT_EQ(xywh(g_desk.win), xywh(g_desk.areas[1]));
    EXPECT_EQ(g_desk.pointer_redraws, 1);
    relayout(1280, 984);
    EXPECT_FALSE(is_on_win_right_edge(1278, 500)) << "a maximised window has no resize edges";
    // Dragging the maximised window restores it under the pointer, at the same fraction.
    press(640, 10);
    ui_on_cursor(650, 20);
    EXPECT_FALSE(is_maximized);
    EXPECT_EQ(xywh(g_desk.win)[0], 1920 + 650 - 400);
    EXPECT_EQ(xywh(g_desk.win)[2], 800);
    // Onto the top of the screen: snaps back to maximised.
    relayout();
    ui_on_cursor(400, -g_desk.win.y + 10.0);
    ui_on_cursor(400, -g_desk.win.y - 1.0);
    EXPECT_TRUE(is_maximized);
    release(400, 0);
    click(maxButton);
    EXPECT_FALSE(is_maximized);
    EXPECT_EQ(g_desk.win.w, 800);
}

// Drags in a row, each from where the last one left things: what the cursor
// grabbed moves, pushes its neighbours and stops at the margins.
TEST_F(Input, EdgeDragsMoveWhatTheCursorGrabsAndClamp) {
    ui_on_cursor(500, 200);
    EXPECT_EQ(g_desk.cursor, UI_CURSOR_HRESIZE);
    const struct {
        float x0, y0, x1, y1;
        const float* what;
        float want;
    } drags[] = {
        {500, 200, 560, 200, &periph_box.x, 560},
        {560, 200, 790, 200, &memmap_box.x, 774},  // into Core registers and the window side
        {0, 0, 0, 0, &periph_box.x, 750},
        // The top/bottom boundary stops 100 px below the top and 60 px above the bottom.
        {300, 448, 300, 10, &debug_box.y, 100},
        {300, 100, 300, 590, &debug_box.y, 540},
    };
    for (const auto& d : drags) {
        if (d.x0 > 0) drag(d.x0, d.y0, d.x1, d.y1);
        EXPECT_FLOAT_EQ(*d.what, d.want) << d.x0 << "," << d.y0 << " to " << d.x1 << "," << d.y1;
    }
    ui_on_cursor(300, debug_box.y);
    EXPECT_EQ(g_desk.cursor, UI_CURSOR_VRESIZE);
    // A busy loop may get the last motion and the release in one batch: the
    // edge let go of still pushes the others, not the other way round.
    press(774, 200);
    ui_on_cursor(600, 200);
    relayout();
    ui_on_cursor(500, 200);
    release(500, 200);
    relayout();
    relayout();
    EXPECT_FLOAT_EQ(memmap_box.x, 500);
    EXPECT_FLOAT_EQ(periph_box.x, 476);
    // With Source hidden the line between Variables and Peripherals cannot be grabbed.
    g_show_source = false;
    relayout();
    float periph_x = periph_box.x;
    EXPECT_FALSE(is_on_periph_edge(periph_x, 200) || is_on_source_edge(periph_x, 200));
    drag(periph_x, 200, periph_x + 100, 200);
    EXPECT_FLOAT_EQ(periph_box.x, periph_x);
    // Bottom separators.
    g_show_bkpt = true;
    relayout();
    float sep = g_eff_log_x, y = debug_box.y + 20;
    ASSERT_GT(sep, 0);
    EXPECT_TRUE(is_on_log_edge(sep + 3, y));
    EXPECT_FALSE(is_on_stack_edge(sep, y));
    drag(sep, y, 700, y);
    EXPECT_FLOAT_EQ(bkpt_box.x, 700);
    EXPECT_FLOAT_EQ(g_log_edge_ratio, 700.0f / 800);
    // The window's own edges, down to its minimum size.
    relayout();
    drag(799, 300, 100, 300);
    relayout(300, 600);
    drag(150, 599, 150, 20);
    EXPECT_EQ(xywh(g_desk.win), (std::array<int, 4>{100, 100, 300, 200}));
    relayout(300, 200);
    EXPECT_GE(source_box.h, 0);
}

TEST_F(Input, AScrolledSourceStopsFollowingUntilFollowOrTheNextHalt) {
    ASSERT_TRUE(g_show_source);
    source_view_resume_follow();
    EXPECT_LT(BtnFollow.x, 0) << "no Follow control while following";
    ui_on_scroll(source_box.x + 50, source_box.y + 60, -1);
    EXPECT_FALSE(g_source_follow);
    relayout();
    ASSERT_GT(BtnFollow.x, source_box.x);
    EXPECT_LT(BtnFollow.x + BtnFollow.width, BtnToggleAsm.x) << "left of ASM, in the header";
    click(BtnFollow);
    EXPECT_TRUE(g_source_follow);
    relayout();
    EXPECT_LT(BtnFollow.x, 0);
}

// The Source header's file list: typed text narrows it, the keys and the
// pointer choose, a file not found keeps it open, a click outside only closes it.
TEST_F(Input, TheFileListFiltersChoosesAndClosesOnAClickOutside) {
    static const PickerFile files[4] = {
        {"/main/a/fault.c", 5, true}, {"/p/main.c", 57, true}, {"/q/Main.h", 3, false}, {"/p/wave.c", 10, true}};
    static std::vector<int> opened;
    opened.clear();
    g_ui_files = UiFileHooks{[](const PickerFile** out) { return *out = files, 4; },
                             [](int i) { opened.push_back(i); }, [] { return "/p/main.c"; }};
    click(BtnFiles);
    ASSERT_TRUE(g_file_picker.visible);
    EXPECT_EQ(g_file_picker.sel, 1) << "the shown file selected";
    for (char c : std::string("MAIN")) ui_on_char((unsigned)c);
    ASSERT_EQ(g_file_picker.match_count, 3) << "case aside, anywhere in the path";
    EXPECT_EQ(g_file_picker.match[2], 0) << "a match in the folder only comes after the names";
    for (int key : {TEXT_KEY_DOWN, TEXT_KEY_ENTER, TEXT_KEY_UP, TEXT_KEY_ENTER}) ui_on_key(key, 0, nullptr);
    EXPECT_EQ(opened, (std::vector<int>{2, 1}));
    EXPECT_FALSE(g_file_picker.visible);
    click(BtnFiles);
    click(g_file_picker.x + 40, file_picker_row_top(&g_file_picker, 3) + 5);
    EXPECT_EQ(opened.back(), 3);
    click(BtnFiles);
    ui_on_key(TEXT_KEY_ESCAPE, 0, nullptr);
    EXPECT_FALSE(g_file_picker.visible);
    click(BtnFiles);
    click(BtnShowL);
    EXPECT_FALSE(g_file_picker.visible);
    EXPECT_TRUE(g_show_log) << "the click that closed the list did nothing else";
    EXPECT_EQ(opened.size(), 3u);
    g_ui_files = UiFileHooks{};
}

// The wheel over the title strip, the log and the plot: only the panel under
// the pointer moves (the log by three rows a step, the plot zooms to a limit).
TEST_F(Input, WheelGoesToThePanelUnderThePointerOnly) {
    for (int i = 0; i < 100; ++i) log_add_line(&logv, "x");
    log_view_follow(&log_panel);  // as the next frame draws it
    const float bottom = log_panel.scroll;
    g_show_plot = true;
    relayout();
    const struct {
        float x, y, steps, log_scroll, zoom;
    } wheel[] = {{400, 10, 1, bottom, 2}, {400, debug_box.y + 60, 1, bottom - 78, 2},
                 {400, debug_box.y + 60, 0, bottom - 78, 2}, {plot_box.x + 10, plot_box.y + 50, 1, bottom - 78, 2.3f},
                 {plot_box.x + 10, plot_box.y + 50, 100, bottom - 78, 50}};
    for (const auto& w : wheel) {
        render_needed = false;
        for (int i = 0; i < std::max(1.0f, w.steps); ++i) ui_on_scroll(w.x, w.y, std::min(1.0f, w.steps));
        EXPECT_FLOAT_EQ(log_panel.scroll, w.log_scroll) << w.x << "," << w.y;
        EXPECT_FLOAT_EQ(g_plot_pixels_per_sample, w.zoom) << w.x << "," << w.y;
        EXPECT_TRUE(w.steps != 0 || !render_needed.load()) << "a zero wheel step changes nothing";
    }
}

// The log's menu copies the line under the pointer; the header strip and an
// empty log give no line, a click off the log no menu.
TEST_F(Input, RightClickMenuCopiesTheLineUnderThePointer) {
    click(100, debug_box.y + 50, UI_MOUSE_RIGHT);
    ASSERT_TRUE(g_popup.visible);
    EXPECT_FALSE(g_popup.items[0].enabled || g_popup.items[1].enabled) << "empty log";
    popup_close(&g_popup);
    log_add_line(&logv, "[CFG] first");
    log_add_line(&logv, "[CFG] second");
    for (auto [y, enabled] : {std::pair{debug_box.y + 8, false}, {debug_box.y + 22 + 26 + 5, true}}) {
        click(100, y, UI_MOUSE_RIGHT);
        EXPECT_EQ(g_popup.items[0].enabled, enabled) << y;
        click(g_popup.x + 20, g_popup.y + 2 + 10);
    }
    EXPECT_EQ(g_clip.substr(15), "[CFG] second");
    click(100, 200, UI_MOUSE_RIGHT);
    EXPECT_FALSE(g_popup.visible);
}

TEST_F(Input, VariablesPanelAddsDeletesExpandsAndPicksForThePlot) {
    g_var_list[0] = make_var("alpha");
    g_var_list[1] = make_var("cfg", 3);
    g_var_list[2] = make_var("gamma");
    g_var_count = 3;
    const LayoutBox& b = variables_box;
    auto row = [&](int i) { return b.y + VAR_LIST_TOP + 20 * i + 5; };
    click(b.x + 50, row(5));  // past the last row
    EXPECT_EQ(g_watch_count, 0);
    click(b.x + 50, row(1));
    ASSERT_EQ(g_watch_count, 1);
    EXPECT_STREQ(g_watch[0].var.name, "cfg");
    EXPECT_EQ(g_var_tab, VAR_TAB_WATCH);
    for (int r : {2, 0}) {
        click(b.x + 10, b.y + 25);  // Scope tab
        click(b.x + 50, row(r));
    }
    ASSERT_EQ(g_watch_count, 3);  // cfg, gamma, alpha
    // Expand the structure: its members take rows under it.
    click(b.x + 12, row(0));
    EXPECT_TRUE(g_watch[0].expanded);
    EXPECT_FLOAT_EQ(watch_content_height(), 20 * 6);
    // Scrolled so that the structure's own row is above the list: clicks still
    // land on the row under the pointer ("alpha" is the sixth row).
    g_watch_scroll = 40;
    click(b.x + 60, row(3));
    EXPECT_EQ(g_plot_watch, 2);
    EXPECT_TRUE(g_show_plot);
    // Deleting a watch before the plotted one keeps the plot on the same variable.
    g_watch_scroll = 0;
    relayout();
    click(b.x + b.w - 5, row(4));  // gamma's delete mark
    ASSERT_EQ(g_watch_count, 2);
    EXPECT_STREQ(g_watch[1].var.name, "alpha");
    EXPECT_EQ(g_plot_watch, 1);
    ui_on_cursor(b.x + 60, row(4));
    EXPECT_EQ(g_watch_hovered, 1);
    ui_on_scroll(b.x + 60, row(2), -10);
    EXPECT_FLOAT_EQ(g_watch_scroll, 0) << "five rows fit: nothing to scroll";
}

// Rows under the pointer, in the Breakpoints and Peripherals panels: a click
// toggles the slot shown there, below the last row nothing lights up.
TEST_F(Input, BreakpointAndPeripheralRowsAnswerOnlyUnderThePointer) {
    g_show_bkpt = true;
    relayout();
    g_bkpt[2] = BkptSlot{0x08000100, true, false, true};
    g_bkpt[5] = BkptSlot{0x08000200, true, true, true};
    g_ui_symbols.bkpt_toggle_enable = [](int slot) { g_toggled.push_back(slot); };
    double x = bkpt_box.x + 40, top = bkpt_box.y + BKPT_LIST_TOP;
    for (int r : {1, 0, 2}) click(x, top + 18 * r + 5);  // no third breakpoint
    EXPECT_EQ(g_toggled, (std::vector<int>{5, 2}));
    ui_on_cursor(x, top + 18 + 5);
    EXPECT_EQ(g_bkpt_hovered, 5);
    g_show_bkpt = false;
    relayout();
    EXPECT_EQ(bkpt_row_at(x, top + 5), -1);

    static SvdPeripheral periphs[2] = {{"GPIOA", 0x40020000, 0, nullptr, 0}, {"SCB", 0xE000ED00, 1, nullptr, 0}};
    SvdDevice dev{periphs, 2, 2};
    g_svd = &dev;
    svd_view_reset();
    svd_view_refresh();
    relayout();
    const float px = periph_box.x + 60, ptop = periph_box.y + LOG_HEADER_H, lh = periph_panel.line_height;
    for (auto [rows, hovered] : {std::pair{1.5f, 1}, {4.5f, -1}}) {
        ui_on_cursor(px, ptop + rows * lh);
        EXPECT_EQ(periph_panel.hovered_row, hovered) << rows;
    }
    g_svd = nullptr;
    log_clear(&periph_view);
}
