// Mouse input fed as scripted events, without a window: a fake desktop
// stands in for the native window, a recorder for the probe thread.
#include <gtest/gtest.h>
#include <GLFW/glfw3.h>

#include <array>
#include <cmath>
#include <functional>
#include <map>
#include <sstream>
#include <cstring>
#include <string>
#include <vector>

#include "probe/probe.h"
#include "runctl/breakpoints.h"
#include "symbols/svd.h"
#include "ui/draw.h"
#include "ui/file_picker.h"
#include "ui/frame.h"
#include "ui/log_view.h"
#include "ui/panels.h"
#include "ui/plot_view.h"
#include "ui/popup_menu.h"
#include "ui/source_view.h"
#include "ui/svd_view.h"
#include "ui/text_field.h"
#include "ui/theme.h"
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
    // A number, a value by name with an offset ("debug.y+60") or a button's
    // centre ("@max": x or y by its place in the event).
    double val(const std::string& s, bool is_y) {
        if (isdigit(s[0]) || (s[0] == '-' && isdigit(s[1]))) return std::stod(s);
        size_t op = s.find_first_of("+-", 1);
        std::string head = s.substr(0, op);
        double off = op == std::string::npos ? 0 : std::stod(s.substr(op));
        if (head[0] == '-') return off - values().at(head.substr(1))();
        if (head[0] != '@') return values().at(head)() + off;
        const Button* b = buttons().at(head.substr(1));
        return (is_y ? b->y + b->height / 2.0 : b->x + b->width / 2.0) + off;
    }
    // Events and checks separated by ';': "drag 300 15 350 5; win.x=150".
    void script(const std::string& text) {
        std::istringstream steps(text);
        for (std::string step; std::getline(steps, step, ';');) {
            SCOPED_TRACE(step);
            try {
                run_step(step);
            } catch (const std::out_of_range&) {
                ADD_FAILURE() << "a name nothing answers to";
            }
        }
    }
    void run_step(const std::string& step) {
        std::istringstream in(step);
        std::string verb, a[6];
        in >> verb;
        if (size_t op = verb.find_first_of("=<>"); op != std::string::npos) {
            double got = val(verb.substr(0, op), false), want = val(verb.substr(op + 1), false);
            EXPECT_TRUE(verb[op] == '=' ? std::abs(got - want) < 1e-3 : (verb[op] == '<') == (got < want)) << got;
            return;
        }
        int n = 0;
        for (std::string w; n < 4 && in >> w;) {
            a[n++] = w;
            if (w[0] == '@') a[n++] = w;  // a button stands for both coordinates
        }
        auto v = [&](int i) { return val(a[i], i % 2); };
        if (verb == "press") press(v(0), v(1));
        else if (verb == "release") release(v(0), v(1));
        else if (verb == "click") click(v(0), v(1));
        else if (verb == "move") ui_on_cursor(v(0), v(1));
        else if (verb == "drag") drag(v(0), v(1), v(2), v(3));
        else if (verb == "wheel") for (int i = 0; i < (n > 3 ? v(3) : 1); ++i) ui_on_scroll(v(0), v(1), std::stod(a[2]));
        else if (verb == "layout") relayout(n ? v(0) : 800, n ? v(1) : 600);
        else if (verb == "movewin") kFakeOps.move(v(0), v(1));
        else if (verb == "show") *shows().at(a[0]) = std::stoi(a[1]), relayout(window_w, window_h);
        else if (verb == "lines") for (int i = 0; i < std::stoi(a[0]); ++i) log_add_line(&logv, "x");
        else if (verb == "follow") log_view_follow(&log_panel);  // as the next frame draws it
        else if (verb == "keep") kept_ = values().at(a[0])();
        else if (verb == "resume") source_view_resume_follow();
        else if (verb == "quiet") render_needed = false;
        else if (verb == "type") for (char c : a[0]) ui_on_char((unsigned)c);
        else if (verb == "key") ui_on_key(keys().at(a[0]), 0, nullptr);
        else ADD_FAILURE() << "no such event";
    }
    std::map<std::string, std::function<double()>> values() {
        return {{"win.x", [] { return g_desk.win.x; }}, {"win.y", [] { return g_desk.win.y; }},
                {"win.w", [] { return g_desk.win.w; }}, {"win.h", [] { return g_desk.win.h; }},
                {"maximized", [] { return is_maximized; }}, {"redraws", [] { return g_desk.pointer_redraws; }},
                {"cursor", [] { return g_desk.cursor; }}, {"HRESIZE", [] { return UI_CURSOR_HRESIZE; }},
                {"VRESIZE", [] { return UI_CURSOR_VRESIZE; }}, {"closing", [] { return ui_close_requested(); }},
                {"close.pressed", [] { return closeButton.pressed; }},
                {"close.hovered", [] { return closeButton.hovered; }}, {"source.x", [] { return source_box.x; }},
                {"source.y", [] { return source_box.y; }}, {"source.h", [] { return source_box.h; }},
                {"source.w", [] { return source_box.w; }}, {"periph.x", [] { return periph_box.x; }},
                {"memmap.x", [] { return memmap_box.x; }}, {"debug.y", [] { return debug_box.y; }},
                {"bkpt.x", [] { return bkpt_box.x; }}, {"plot.x", [] { return plot_box.x; }},
                {"plot.y", [] { return plot_box.y; }}, {"log_edge", [] { return g_eff_log_x; }},
                {"log_ratio", [] { return g_log_edge_ratio; }}, {"following", [] { return g_source_follow; }},
                {"follow.x", [] { return BtnFollow.x; }},
                {"follow.right", [] { return BtnFollow.x + BtnFollow.width; }},
                {"asm.x", [] { return BtnToggleAsm.x; }}, {"log.scroll", [] { return log_panel.scroll; }},
                {"kept", [this] { return kept_; }}, {"zoom", [] { return g_plot_view.pixels_per_sample; }},
                {"redraw", [] { return render_needed.load(); }}, {"bkpt_hovered", [] { return g_bkpt_hovered; }},
                {"periph_edge", [] { return is_on_periph_edge(periph_box.x, 200) || is_on_source_edge(periph_box.x, 200); }},
                {"right_edge", [] { return is_on_win_right_edge(1278, 500); }},
                {"blist.y", [] { return bkpt_box.y + BKPT_LIST_TOP; }}, {"log_shown", [] { return g_show_log; }},
                {"prow1", [] { return periph_box.y + LOG_HEADER_H + 1.5 * periph_panel.line_height; }},
                {"prow4", [] { return periph_box.y + LOG_HEADER_H + 4.5 * periph_panel.line_height; }},
                {"periph_hovered", [] { return periph_panel.hovered_row; }},
                {"picker", [] { return g_file_picker.visible; }}, {"picker.sel", [] { return g_file_picker.sel; }},
                {"picker.matches", [] { return g_file_picker.match_count; }},
                {"picker.match2", [] { return g_file_picker.match[2]; }}, {"picker.x", [] { return g_file_picker.x; }},
                {"picker.row3", [] { return file_picker_row_top(&g_file_picker, 3); }},
                {"on_log_edge", [] { return is_on_log_edge(g_eff_log_x + 3, debug_box.y + 20); }},
                {"on_stack_edge", [] { return is_on_stack_edge(g_eff_log_x, debug_box.y + 20); }}};
    }
    static std::map<std::string, const Button*> buttons() {
        return {{"close", &closeButton}, {"max", &maxButton}, {"follow", &BtnFollow},
                {"files", &BtnFiles}, {"showL", &BtnShowL}};
    }
    static std::map<std::string, int> keys() {
        return {{"UP", TEXT_KEY_UP}, {"DOWN", TEXT_KEY_DOWN}, {"ENTER", TEXT_KEY_ENTER}, {"ESCAPE", TEXT_KEY_ESCAPE}};
    }
    static std::map<std::string, bool*> shows() {
        return {{"source", &g_show_source}, {"bkpt", &g_show_bkpt}, {"plot", &g_show_plot}};
    }
    double kept_ = 0;
};

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
    // Greyed out, still explained after the delay, which another button starts over.
    g_probe_connected = false;
    relayout();
    ui_on_cursor(BtnStart.x + 5, BtnStart.y + 5);
    EXPECT_FALSE(tooltip_wake(g_now + 0.4));
    EXPECT_TRUE(tooltip_wake(g_now + 0.5));
    EXPECT_STREQ(g_tooltip.text, "Continue (F5)") << "a run-control tooltip names its key";
    g_now += 10;
    ui_on_cursor(BtnPause.x + 5, BtnPause.y + 5);
    EXPECT_FALSE(g_tooltip.visible || tooltip_wake(g_now + 0.4));
    EXPECT_TRUE(tooltip_wake(g_now + 0.5) && g_tooltip.visible);
    g_now = 100;
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
    for (bool dark : {!g_dark_theme_active, g_dark_theme_active}) {  // and back
        click(BtnDark);
        EXPECT_EQ(g_dark_theme_active, dark);
        EXPECT_EQ(memcmp(&g_theme, dark ? &g_theme_dark : &g_theme_light, sizeof g_theme), 0) << "the whole table";
    }
}

TEST(Themes, PanelBodiesSetOffFromTheirHeaders) {
    auto lum = [](Color4 c) { return 0.299f * c.r + 0.587f * c.g + 0.114f * c.b; };
    EXPECT_LT(lum(panel_body_color(g_theme_dark.panel_bg)), lum(g_theme_dark.panel_bg));
    EXPECT_GT(lum(panel_body_color(g_theme_light.panel_bg)), lum(g_theme_light.panel_bg));
    EXPECT_LE(panel_body_color(Color4{0.98f, 0.98f, 0.98f, 0.5f}).g, 1.0f);  // capped
}

// Beside the pointer, inside the window; above it at the bottom.
TEST(Tooltip, StaysInsideTheWindowAndFlipsAboveAtTheBottom) {
    const struct {
        float mx, my;
        std::array<float, 4> want;
    } cases[] = {{200, 200, {214, 220, 114, 24}}, {790, 200, {796 - 114, 220, 114, 24}}, {200, 580, {214, 552, 114, 24}}};
    for (const auto& c : cases) {
        TooltipBox b = tooltip_box(100, c.mx, c.my, 800, 600);
        EXPECT_EQ((std::array<float, 4>{b.x, b.y, b.w, b.h}), c.want) << c.mx << "," << c.my;
    }
}

// Scripts of events and the state each leaves ("name=value", "<", ">").
TEST_F(Input, ScriptedEventsLeaveTheStateTheyShould) {
    const struct {
        const char *name, *script;
    } scripts[] = {
        {"close needs press and release on the button",
         "press 400 300; release @close; closing=0; press @close; close.pressed=1; release 400 300; closing=0;"
         "close.pressed=0; move @close; close.hovered=1; click @close; closing=1"},
        // Mostly on the second monitor, maximise fills its work area; dragging the
        // maximised window restores it under the pointer at the same fraction,
        // onto the top of the screen it snaps back.
        {"the title strip moves the window, maximise takes the best monitor",
         "drag 300 15 350 5; win.x=150; win.y=90; win.w=800; win.h=600; movewin 1800 200; click @max; maximized=1;"
         "win.x=1920; win.y=40; win.w=1280; win.h=984; redraws=1; layout 1280 984; right_edge=0; press 640 10;"
         "move 650 20; maximized=0; win.w=800; win.x=2170; layout; move 400 -win.y+10; move 400 -win.y-1; maximized=1;"
         "release 400 0; click @max; maximized=0; win.w=800"},
        {"the window's edges resize it down to its minimum size",
         "drag 799 300 100 300; win.w=300; win.h=600; layout 300 600; drag 150 599 150 20; win.h=200; layout 300 200;"
         "source.h>-0.01"},
        // A busy loop may get the last motion and the release in one batch: the
        // edge let go of still pushes the others, not the other way round. The
        // top/bottom boundary stops 100 px below the top and 60 px above the bottom.
        {"edge drags move what the cursor grabs, push the others and clamp",
         "move 500 200; cursor=HRESIZE; drag 500 200 560 200; periph.x=560; source.w=360; drag 560 200 790 200;"
         "memmap.x=774; periph.x=750; press 774 200; move 600 200; layout; move 500 200; release 500 200; layout;"
         "memmap.x=500; periph.x=476; layout; memmap.x=500; move 300 debug.y; cursor=VRESIZE; drag 300 debug.y 300 10;"
         "debug.y=100; drag 300 100 300 590; debug.y=540"},
        {"with Source hidden the line between Variables and Peripherals cannot be grabbed",
         "show source 0; periph_edge=0; keep periph.x; drag periph.x 200 periph.x+100 200; periph.x=kept"},
        {"the bottom separators", "show bkpt 1; log_edge>0; on_log_edge=1; on_stack_edge=0;"
                                  "drag log_edge debug.y+20 700 debug.y+20; bkpt.x=700; log_ratio=0.875"},
        {"a scrolled source stops following until Follow",
         "resume; follow.x<0; wheel source.x+50 source.y+60 -1; following=0; layout; follow.x>source.x;"
         "follow.right<asm.x; click @follow; following=1; layout; follow.x<0"},
        // Three rows a step over the log; over the plot the wheel zooms, to a limit.
        {"the wheel goes to the panel under the pointer only",
         "show plot 1; lines 100; follow; keep log.scroll; log.scroll>0; wheel 400 10 1; log.scroll=kept;"
         "wheel 400 debug.y+60 1; log.scroll=kept-78; quiet; wheel 400 debug.y+60 0; log.scroll=kept-78; redraw=0;"
         "wheel plot.x+10 plot.y+50 1; zoom=2.3; wheel plot.x+10 plot.y+50 1 100; zoom=50; log.scroll=kept-78"},
    };
    for (const auto& s : scripts) {
        SCOPED_TRACE(s.name);
        SetUp();
        script(s.script);
    }
}

// The Source header's file list: typed text narrows it (case aside, anywhere
// in the path, a match in the folder only after the names), the keys and the
// pointer choose, a click outside only closes it.
TEST_F(Input, TheFileListFiltersChoosesAndClosesOnAClickOutside) {
    static const PickerFile files[4] = {
        {"/main/a/fault.c", 5, true}, {"/p/main.c", 57, true}, {"/q/Main.h", 3, false}, {"/p/wave.c", 10, true}};
    static std::vector<int> opened;
    opened.clear();
    g_ui_files = UiFileHooks{[](const PickerFile** out) { return *out = files, 4; },
                             [](int i) { opened.push_back(i); }, [] { return "/p/main.c"; }};
    script("click @files; picker=1; picker.sel=1; type MAIN; picker.matches=3; picker.match2=0; key DOWN; key ENTER;"
           "key UP; key ENTER; picker=0; click @files; click picker.x+40 picker.row3+5; click @files; key ESCAPE; picker=0;"
           "click @files; click @showL; picker=0; log_shown=1");
    EXPECT_EQ(opened, (std::vector<int>{2, 1, 3}));
    g_ui_files = UiFileHooks{};
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

// Rows under the pointer, in the Breakpoints and Peripherals panels: a click
// toggles the slot shown there, below the last row nothing lights up.
TEST_F(Input, BreakpointAndPeripheralRowsAnswerOnlyUnderThePointer) {
    g_bkpt[2] = BkptSlot{0x08000100, true, false, true};
    g_bkpt[5] = BkptSlot{0x08000200, true, true, true};
    g_ui_symbols.bkpt_toggle_enable = [](int slot) { g_toggled.push_back(slot); };
    static SvdPeripheral periphs[2] = {{"GPIOA", 0x40020000, 0, nullptr, 0}, {"SCB", 0xE000ED00, 1, nullptr, 0}};
    SvdDevice dev{periphs, 2, 2};
    g_svd = &dev;
    svd_view_reset();
    svd_view_refresh();
    script("show bkpt 1; click bkpt.x+40 blist.y+23; click bkpt.x+40 blist.y+5; click bkpt.x+40 blist.y+41;"
           "move bkpt.x+40 blist.y+23; bkpt_hovered=5; move periph.x+60 prow1; periph_hovered=1;"
           "move periph.x+60 prow4; periph_hovered=-1");
    EXPECT_EQ(g_toggled, (std::vector<int>{5, 2})) << "no third breakpoint";
    float x = bkpt_box.x + 40, y = bkpt_box.y + BKPT_LIST_TOP + 5;
    script("show bkpt 0");
    EXPECT_EQ(bkpt_row_at(x, y), -1);
    g_svd = nullptr;
    log_clear(&periph_view);
}
