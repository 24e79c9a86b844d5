// Mouse input fed as scripted events, without a window: a fake desktop
// stands in for the native window, a recorder for the probe thread.
#include <gtest/gtest.h>
#include <GLFW/glfw3.h>

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

void fake_get_rect(UiRect* r) { *r = g_desk.win; }
void fake_move(int x, int y) {
    g_desk.win.x = x;
    g_desk.win.y = y;
    ui_on_window_pos(x, y);
}
void fake_resize(int w, int h) {
    g_desk.win.w = w;
    g_desk.win.h = h;
    window_w = w;
    window_h = h;
}
void fake_iconify() { ++g_desk.iconified; }
void fake_topmost(bool on) { g_desk.topmost = on; }
int fake_areas(UiRect out[UI_MAX_MONITORS]) {
    out[0] = g_desk.areas[0];
    out[1] = g_desk.areas[1];
    return 2;
}
void fake_cursor(UiCursorShape s) { g_desk.cursor = s; }
void fake_redraw_pointer() { ++g_desk.pointer_redraws; }
const UiWindowOps kFakeOps = {fake_get_rect, fake_move,  fake_resize, fake_iconify,
                              fake_topmost,  fake_areas, fake_cursor, fake_redraw_pointer, nullptr};

struct Posted {
    int cmd;
    uint32_t addr;
};
std::vector<Posted> g_posted;
bool record_post(int cmd, uint32_t addr) {
    g_posted.push_back({cmd, addr});
    return true;
}

std::string g_clip;
int g_clip_calls = 0;
void record_clip(const char* t) {
    g_clip = t;
    ++g_clip_calls;
}

double g_now = 100;
double fake_clock() { return g_now; }

std::vector<int> g_toggled;
void record_toggle(int slot) { g_toggled.push_back(slot); }

class Input : public ::testing::Test {
protected:
    void SetUp() override {
        g_desk = Desktop{};
        ui_set_window_ops(&kFakeOps);
        ui_set_command_sink(record_post);
        ui_set_clipboard_sink(record_clip);
        g_ui_clock = fake_clock;
        g_ui_symbols = UiSymbols{};
        g_posted.clear();
        g_toggled.clear();
        g_clip.clear();
        g_clip_calls = 0;
        log_set_file_path("");
        log_clear(&logv);
        log_panel.autoscroll = true;
        popup_close(&g_popup);
        g_tooltip = Tooltip{};
        g_tooltip_wake_at = 0;
        g_probe_connected = false;
        g_is_halted = false;
        g_watch_halting = false;
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
        windowX = 100;
        windowY = 100;
        relayout(800, 600);
    }
    void TearDown() override {
        ui_set_window_ops(nullptr);
        ui_set_command_sink(nullptr);
        g_probe_connected = false;
        g_is_halted = false;
        g_stepping = false;
    }
    void relayout(int w, int h) {
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
    void click(int button, double x, double y) {
        ui_on_mouse_button(button, UI_PRESS, x, y);
        ui_on_mouse_button(button, UI_RELEASE, x, y);
    }
    void click(const Button& b) { click(UI_MOUSE_LEFT, b.x + b.width / 2.0, b.y + b.height / 2.0); }
    // A drag as the window system reports it: window coordinates follow the window.
    void drag(double x0, double y0, double x1, double y1) {
        press(x0, y0);
        ui_on_cursor(x1, y1);
        relayout(window_w, window_h);
        release(x1, y1);
        relayout(window_w, window_h);
    }
};

ElfVariable make_var(const char* name, bool is_struct = false, int members = 0) {
    ElfVariable v = {};
    snprintf(v.name, sizeof v.name, "%s", name);
    snprintf(v.type_name, sizeof v.type_name, "%s", is_struct ? "struct s" : "uint32_t");
    v.byte_size = 4;
    v.loc_kind = VAR_LOC_ADDR;
    v.is_struct = is_struct;
    v.member_count = (uint32_t)members;
    for (int i = 0; i < members; ++i) snprintf(v.members[i].name, sizeof v.members[i].name, "m%d", i);
    return v;
}

}  // namespace

TEST_F(Input, RunControlPostsOnlyInTheStatesTheToolbarShowsEnabled) {
    // Each button and its key (0: none).
    struct Case {
        Button* btn;
        int cmd, key, mods;
    } buttons[] = {{&BtnReset, PROBE_CMD_RESET, GLFW_KEY_F5, TEXT_MOD_CTRL | TEXT_MOD_SHIFT},
                   {&BtnStart, PROBE_CMD_RESUME, GLFW_KEY_F5, 0},
                   {&BtnPause, PROBE_CMD_HALT, GLFW_KEY_F6, 0},
                   {&BtnStep, PROBE_CMD_STEP, GLFW_KEY_F10, 0},
                   {&BtnStepInto, PROBE_CMD_STEP_INTO, GLFW_KEY_F11, 0},
                   {&BtnStepOut, PROBE_CMD_STEP_OUT, GLFW_KEY_F11, TEXT_MOD_SHIFT},
                   {&BtnStepAsm, PROBE_CMD_STEP_ASM, 0, 0}};
    for (int state = 0; state < 64; ++state) {
        bool connected = state & 1, halted = state & 2, busy = state & 4, watch_halt = state & 8, asm_on = state & 16,
             stepping = state & 32;
        for (const Case& c : buttons) {
            g_probe_connected = connected;
            g_is_halted = halted;
            g_cmd_busy = busy;
            g_watch_halting = watch_halt;
            g_show_asm = asm_on;
            g_stepping = stepping;
            relayout(800, 600);
            g_posted.clear();
            bool really_halted = halted && !watch_halt;
            bool expect = connected && (asm_on || c.btn != &BtnStepAsm);
            // Pause interrupts a busy step or run to main: only Reset and Pause ignore busy.
            if (c.btn != &BtnReset && c.btn != &BtnPause) expect = expect && !busy;
            if (c.btn == &BtnPause) expect = expect && (!really_halted || stepping);
            else if (c.btn != &BtnReset) expect = expect && really_halted;
            SCOPED_TRACE(testing::Message() << "state " << state << " cmd " << c.cmd);
            EXPECT_EQ(toolbar_button_enabled(c.btn), expect);
            press(c.btn->x + 18, c.btn->y + 14);
            EXPECT_EQ(c.btn->pressed, expect) << "a greyed-out button does not even look pressed";
            release(c.btn->x + 18, c.btn->y + 14);
            ASSERT_EQ(g_posted.size(), expect ? 1u : 0u);
            if (expect) {
                EXPECT_EQ(g_posted[0].cmd, c.cmd);
            }
            if (!c.key) continue;
            g_posted.clear();
            EXPECT_TRUE(ui_on_shortcut(c.key, c.mods));
            ASSERT_EQ(g_posted.size(), expect ? 1u : 0u) << "the key does what the button does";
            if (expect) {
                EXPECT_EQ(g_posted[0].cmd, c.cmd);
            }
        }
    }
    EXPECT_FALSE(ui_on_shortcut(GLFW_KEY_F5, TEXT_MOD_CTRL));
    EXPECT_FALSE(ui_on_shortcut(GLFW_KEY_F7, 0));
}

TEST_F(Input, RunToMainNeedsTheSymbolAndToggleAsmNeedsAnImage) {
    g_probe_connected = true;
    click(BtnRunToMain);
    EXPECT_TRUE(g_posted.empty());
    EXPECT_GE(log_count(&logv), 1);
    char line[256];
    ASSERT_TRUE(log_line(&logv, log_count(&logv) - 1, line, sizeof line, nullptr));
    EXPECT_NE(strstr(line, "[DBG] RunToMain: main() not found in ELF"), nullptr);
    g_ui_symbols.elf_loaded = [] { return true; };
    g_ui_symbols.find_function = [](const char* name, uint32_t* addr) {
        *addr = 0x08000123;
        return strcmp(name, "main") == 0;
    };
    click(BtnRunToMain);
    ASSERT_EQ(g_posted.size(), 1u);
    EXPECT_EQ(g_posted[0].cmd, PROBE_CMD_RUN_TO_MAIN);
    EXPECT_EQ(g_posted[0].addr, 0x08000123u);
    click(BtnToggleAsm);
    EXPECT_TRUE(g_show_asm);
    EXPECT_TRUE(g_asm_toggle_pending);
    g_ui_symbols = UiSymbols{};
    click(BtnToggleAsm);
    EXPECT_TRUE(g_show_asm);
    ASSERT_TRUE(log_line(&logv, log_count(&logv) - 1, line, sizeof line, nullptr));
    EXPECT_NE(strstr(line, "[ASM] ELF not loaded \xE2\x80\x94 set elf= in debugger.ini"), nullptr);
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
    EXPECT_TRUE(g_is_topmost);
    EXPECT_TRUE(g_desk.topmost);
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
    EXPECT_FALSE(ui_close_requested());
    EXPECT_FALSE(closeButton.pressed);
    ui_on_cursor(cx, cy);
    EXPECT_TRUE(closeButton.hovered);
    click(UI_MOUSE_LEFT, cx, cy);
    EXPECT_TRUE(ui_close_requested());
}

TEST_F(Input, TitleStripDragMovesTheWindowAndMaximizeUsesTheBestMonitor) {
    drag(300, 15, 350, 5);
    EXPECT_EQ(g_desk.win.x, 150);
    EXPECT_EQ(g_desk.win.y, 90);
    // Mostly on the second monitor: maximise fills its work area.
    fake_move(1800, 200);
    click(maxButton);
    EXPECT_TRUE(is_maximized);
    EXPECT_EQ(g_desk.win.x, 1920);
    EXPECT_EQ(g_desk.win.y, 40);
    EXPECT_EQ(g_desk.win.w, 1280);
    EXPECT_EQ(g_desk.win.h, 984);
    EXPECT_EQ(g_desk.pointer_redraws, 1);
    relayout(1280, 984);
    EXPECT_FALSE(is_on_win_right_edge(1278, 500)) << "a maximised window has no resize edges";
    // Dragging the maximised window restores it under the pointer, at the same fraction.
    press(640, 10);  // the middle of the strip
    ui_on_cursor(650, 20);
    EXPECT_FALSE(is_maximized);
    EXPECT_EQ(g_desk.win.w, 800);
    EXPECT_EQ(g_desk.win.x, 1920 + 650 - 400);
    // Onto the top of the screen: snaps back to maximised.
    relayout(800, 600);
    ui_on_cursor(400, -g_desk.win.y + 10.0);
    ui_on_cursor(400, -g_desk.win.y - 1.0);
    EXPECT_TRUE(is_maximized);
    release(400, 0);
    click(maxButton);
    EXPECT_FALSE(is_maximized);
    EXPECT_EQ(g_desk.win.w, 800);
}

TEST_F(Input, WindowEdgesResizeDownToTheMinimumSize) {
    drag(799, 300, 100, 300);
    EXPECT_EQ(g_desk.win.w, 300);
    EXPECT_EQ(g_desk.win.h, 600);
    relayout(300, 600);
    drag(150, 599, 150, 20);
    EXPECT_EQ(g_desk.win.h, 200);
    relayout(300, 200);
    EXPECT_GE(source_box.h, 0);
}

TEST_F(Input, EdgeDragsMoveWhatTheCursorGrabsAndClamp) {
    ui_on_cursor(500, 200);
    EXPECT_EQ(g_desk.cursor, UI_CURSOR_HRESIZE);
    drag(500, 200, 560, 200);
    EXPECT_FLOAT_EQ(periph_box.x, 560);
    EXPECT_FLOAT_EQ(source_box.w, 360);
    drag(560, 200, 790, 200);  // into Core registers and the window side
    EXPECT_FLOAT_EQ(memmap_box.x, 774);
    EXPECT_FLOAT_EQ(periph_box.x, 750);
    // A busy loop may get the last motion and the release in one batch: the
    // edge let go of still pushes the others, not the other way round.
    press(774, 200);
    ui_on_cursor(600, 200);
    relayout(800, 600);
    ui_on_cursor(500, 200);
    release(500, 200);
    relayout(800, 600);
    EXPECT_FLOAT_EQ(memmap_box.x, 500);
    EXPECT_FLOAT_EQ(periph_box.x, 476);
    relayout(800, 600);
    EXPECT_FLOAT_EQ(memmap_box.x, 500);
    // The top/bottom boundary stops 100 px below the top and 60 px above the bottom.
    ui_on_cursor(300, debug_box.y);
    EXPECT_EQ(g_desk.cursor, UI_CURSOR_VRESIZE);
    drag(300, debug_box.y, 300, 10);
    EXPECT_FLOAT_EQ(debug_box.y, 100);
    drag(300, 100, 300, 590);
    EXPECT_FLOAT_EQ(debug_box.y, 540);
    // With Source hidden the line between Variables and Peripherals cannot be grabbed.
    g_show_source = false;
    relayout(800, 600);
    float periph_x = periph_box.x;
    EXPECT_FALSE(is_on_periph_edge(periph_x, 200));
    EXPECT_FALSE(is_on_source_edge(periph_x, 200));
    drag(periph_x, 200, periph_x + 100, 200);
    EXPECT_FLOAT_EQ(periph_box.x, periph_x);
    // Bottom separators.
    g_show_bkpt = true;
    relayout(800, 600);
    float sep = g_eff_log_x;
    ASSERT_GT(sep, 0);
    EXPECT_TRUE(is_on_log_edge(sep + 3, debug_box.y + 20));
    EXPECT_FALSE(is_on_stack_edge(sep, debug_box.y + 20));
    drag(sep, debug_box.y + 20, 700, debug_box.y + 20);
    EXPECT_FLOAT_EQ(bkpt_box.x, 700);
    EXPECT_FLOAT_EQ(g_log_edge_ratio, 700.0f / 800);
}

TEST_F(Input, TooltipsAppearAfterTheirDelayOnGreyedButtonsToo) {
    ui_on_cursor(BtnShowL.x + 5, BtnShowL.y + 5);
    EXPECT_FALSE(g_tooltip.visible);
    g_now += 0.6;
    ui_on_cursor(BtnShowL.x + 6, BtnShowL.y + 5);
    ASSERT_TRUE(g_tooltip.visible);
    EXPECT_STREQ(g_tooltip.text, "Log panel");
    // The call-stack toggle has none: the one shown goes.
    ui_on_cursor(BtnShowK.x + 5, BtnShowK.y + 5);
    EXPECT_FALSE(g_tooltip.visible);
    g_now += 1;
    ui_on_cursor(BtnShowK.x + 6, BtnShowK.y + 5);
    EXPECT_FALSE(g_tooltip.visible);
    // Greyed out (no probe), still explained.
    ui_on_cursor(BtnStart.x + 5, BtnStart.y + 5);
    EXPECT_TRUE(tooltip_wake(g_now + 0.5));
    ASSERT_TRUE(g_tooltip.visible);
    EXPECT_STREQ(g_tooltip.text, "Continue (F5)") << "a run-control tooltip names its key";
    ui_on_cursor(BtnShowC.x + 5, BtnShowC.y + 5);
    EXPECT_TRUE(tooltip_wake(g_now + 1.0));
    EXPECT_STREQ(g_tooltip.text, "Core registers panel");
}

TEST_F(Input, AScrolledSourceStopsFollowingUntilFollowOrTheNextHalt) {
    ASSERT_TRUE(g_show_source);
    source_view_resume_follow();
    EXPECT_LT(BtnFollow.x, 0) << "no Follow control while following";
    ui_on_scroll(source_box.x + 50, source_box.y + 60, -1);
    EXPECT_FALSE(g_source_follow);
    relayout(800, 600);
    ASSERT_GT(BtnFollow.x, source_box.x);
    EXPECT_LT(BtnFollow.x + BtnFollow.width, BtnToggleAsm.x) << "left of ASM, in the header";
    click(BtnFollow);
    EXPECT_TRUE(g_source_follow);
    relayout(800, 600);
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
    click(UI_MOUSE_LEFT, g_file_picker.x + 40, file_picker_row_top(&g_file_picker, 3) + 5);
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

TEST_F(Input, WheelGoesToThePanelUnderThePointerOnly) {
    for (int i = 0; i < 100; ++i) log_add_line(&logv, "x");
    log_view_follow(&log_panel);  // as the next frame draws it
    float bottom = log_panel.scroll;
    ASSERT_GT(bottom, 0);
    ui_on_scroll(400, 10, 1);  // over the title strip
    EXPECT_FLOAT_EQ(log_panel.scroll, bottom);
    ui_on_scroll(400, debug_box.y + 60, 1);
    EXPECT_FLOAT_EQ(log_panel.scroll, bottom - 78);
    render_needed = false;
    ui_on_scroll(400, debug_box.y + 60, 0);
    EXPECT_FLOAT_EQ(log_panel.scroll, bottom - 78);
    EXPECT_FALSE(render_needed.load()) << "a zero wheel step changes nothing";
    // Over the plot the wheel zooms and scrolls nothing else.
    g_show_plot = true;
    relayout(800, 600);
    ui_on_scroll(plot_box.x + 10, plot_box.y + 50, 1);
    EXPECT_FLOAT_EQ(g_plot_pixels_per_sample, 2.3f);
    for (int i = 0; i < 100; ++i) ui_on_scroll(plot_box.x + 10, plot_box.y + 50, 1);
    EXPECT_FLOAT_EQ(g_plot_pixels_per_sample, 50);
    EXPECT_FLOAT_EQ(log_panel.scroll, bottom - 78);
}

TEST_F(Input, RightClickMenuCopiesLinesFromTheLogPanel) {
    click(UI_MOUSE_RIGHT, 100, debug_box.y + 50);
    ASSERT_TRUE(g_popup.visible);
    EXPECT_FALSE(g_popup.items[0].enabled) << "empty log";
    EXPECT_FALSE(g_popup.items[1].enabled);
    click(UI_MOUSE_LEFT, g_popup.x + 20, g_popup.y + 2 + POPUP_ITEM_H + 10);
    EXPECT_EQ(g_clip_calls, 0);
    log_add_line(&logv, "[CFG] first");
    log_add_line(&logv, "[CFG] second");
    click(UI_MOUSE_RIGHT, 100, debug_box.y + 8);  // header strip: no line
    ASSERT_TRUE(g_popup.visible);
    EXPECT_FALSE(g_popup.items[0].enabled);
    click(UI_MOUSE_LEFT, g_popup.x + 20, g_popup.y + 2 + 10);
    EXPECT_EQ(g_clip_calls, 0);
    double row1_y = debug_box.y + 22 + 26 + 5;
    click(UI_MOUSE_RIGHT, 100, row1_y);
    ASSERT_TRUE(g_popup.items[0].enabled);
    click(UI_MOUSE_LEFT, g_popup.x + 20, g_popup.y + 2 + 10);
    EXPECT_EQ(g_clip.substr(15), "[CFG] second");
    click(UI_MOUSE_RIGHT, 100, row1_y);
    click(UI_MOUSE_LEFT, g_popup.x + 20, g_popup.y + 2 + POPUP_ITEM_H + 10);
    EXPECT_EQ(g_clip.size(), (15 + 11 + 2) + (15 + 12 + 2));
    EXPECT_EQ(g_clip.substr(15, 13), "[CFG] first\r\n");
    // Not over the log: no menu.
    click(UI_MOUSE_RIGHT, 100, 200);
    EXPECT_FALSE(g_popup.visible);
}

TEST_F(Input, DraggingTheLogScrollBarStopsFollowing) {
    for (int i = 0; i < 100; ++i) log_add_line(&logv, "x");
    double bar_x = log_panel.x + log_panel.width - log_panel.sb_inset - 4, y = debug_box.y + 100;
    press(bar_x, y);
    EXPECT_FALSE(log_panel.autoscroll);
    float before = log_panel.scroll;
    ui_on_cursor(bar_x, y - 50);
    EXPECT_LT(log_panel.scroll, before);
    release(bar_x, y - 50);
    float after = log_panel.scroll;
    ui_on_cursor(bar_x, y - 90);  // released: moving no longer drags
    EXPECT_FLOAT_EQ(log_panel.scroll, after);
}

TEST_F(Input, VariablesPanelAddsDeletesExpandsAndPicksForThePlot) {
    g_var_list[0] = make_var("alpha");
    g_var_list[1] = make_var("cfg", true, 3);
    g_var_list[2] = make_var("gamma");
    g_var_count = 3;
    const LayoutBox& b = variables_box;
    double list_top = b.y + VAR_LIST_TOP;
    click(UI_MOUSE_LEFT, b.x + 50, list_top + 20 * 5 + 5);  // past the last row
    EXPECT_EQ(g_watch_count, 0);
    click(UI_MOUSE_LEFT, b.x + 50, list_top + 20 * 1 + 5);
    ASSERT_EQ(g_watch_count, 1);
    EXPECT_STREQ(g_watch[0].var.name, "cfg");
    EXPECT_EQ(g_var_tab, VAR_TAB_WATCH);
    click(UI_MOUSE_LEFT, b.x + 10, b.y + 25);  // Scope tab
    click(UI_MOUSE_LEFT, b.x + 50, list_top + 20 * 2 + 5);
    click(UI_MOUSE_LEFT, b.x + 10, b.y + 25);
    click(UI_MOUSE_LEFT, b.x + 50, list_top + 5);
    ASSERT_EQ(g_watch_count, 3);  // cfg, gamma, alpha
    // Expand the structure: its members take rows under it.
    click(UI_MOUSE_LEFT, b.x + 12, list_top + 5);
    EXPECT_TRUE(g_watch[0].expanded);
    EXPECT_FLOAT_EQ(watch_content_height(), 20 * 6);
    // Scrolled so that the structure's own row is above the list: clicks still
    // land on the row under the pointer ("alpha" is the sixth row).
    g_watch_scroll = 40;
    click(UI_MOUSE_LEFT, b.x + 60, list_top + 20 * 3 + 5);
    EXPECT_EQ(g_plot_watch, 2);
    EXPECT_TRUE(g_show_plot);
    // Deleting a watch before the plotted one keeps the plot on the same variable.
    g_watch_scroll = 0;
    relayout(800, 600);
    click(UI_MOUSE_LEFT, b.x + b.w - 5, list_top + 20 * 4 + 5);  // gamma's delete mark
    ASSERT_EQ(g_watch_count, 2);
    EXPECT_STREQ(g_watch[1].var.name, "alpha");
    EXPECT_EQ(g_plot_watch, 1);
    ui_on_cursor(b.x + 60, list_top + 20 * 4 + 5);
    EXPECT_EQ(g_watch_hovered, 1);
    // The wheel never scrolls past the content.
    ui_on_scroll(b.x + 60, list_top + 40, -10);
    EXPECT_FLOAT_EQ(g_watch_scroll, 0) << "five rows fit: nothing to scroll";
}

TEST_F(Input, BreakpointRowsToggleTheirSlot) {
    g_show_bkpt = true;
    relayout(800, 600);
    g_bkpt[2] = BkptSlot{0x08000100, true, false, true};
    g_bkpt[5] = BkptSlot{0x08000200, true, true, true};
    g_ui_symbols.bkpt_toggle_enable = record_toggle;
    double x = bkpt_box.x + 40, top = bkpt_box.y + BKPT_LIST_TOP;
    click(UI_MOUSE_LEFT, x, top + 18 + 5);
    click(UI_MOUSE_LEFT, x, top + 5);
    click(UI_MOUSE_LEFT, x, top + 2 * 18 + 5);  // no third breakpoint
    ASSERT_EQ(g_toggled.size(), 2u);
    EXPECT_EQ(g_toggled[0], 5);
    EXPECT_EQ(g_toggled[1], 2);
    ui_on_cursor(x, top + 18 + 5);
    EXPECT_EQ(g_bkpt_hovered, 5);
    g_show_bkpt = false;
    relayout(800, 600);
    EXPECT_EQ(bkpt_row_at(x, top + 5), -1);
}

// Below the last peripheral no row lights up: a click there opens nothing.
TEST_F(Input, APeripheralRowLightsOnlyUnderThePointer) {
    static SvdPeripheral periphs[2] = {{"GPIOA", 0x40020000, 0, nullptr, 0}, {"SCB", 0xE000ED00, 1, nullptr, 0}};
    SvdDevice dev{periphs, 2, 2};
    g_svd = &dev;
    svd_view_reset();
    svd_view_refresh();
    relayout(800, 600);
    const float x = periph_box.x + 60, top = periph_box.y + LOG_HEADER_H, lh = periph_panel.line_height;
    ui_on_cursor(x, top + 1.5f * lh);
    EXPECT_EQ(periph_panel.hovered_row, 1);
    ui_on_cursor(x, top + 4.5f * lh);
    EXPECT_EQ(periph_panel.hovered_row, -1) << "below the last row";
    g_svd = nullptr;
    log_clear(&periph_view);
}
