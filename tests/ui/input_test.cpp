// Mouse input fed as events, without a window.
#include <gtest/gtest.h>

#include <string>

#include "ui/frame.h"
#include "ui/log_view.h"
#include "ui/popup_menu.h"
#include "ui/ui_callbacks.h"

namespace {

std::string g_clip;
int g_clip_calls = 0;
void record_clip(const char* t) {
    g_clip = t;
    ++g_clip_calls;
}

class Input : public ::testing::Test {
protected:
    void SetUp() override {
        log_set_file_path("");
        log_clear(&logv);
        logv.autoscroll = true;
        popup_close(&g_popup);
        ui_set_clipboard_sink(record_clip);
        g_clip.clear();
        g_clip_calls = 0;
        window_w = 800;
        window_h = 600;
        ui_layout_pass(800, 600);
        logv.x = debug_box.x;
        logv.y = debug_box.y;
        logv.width = debug_box.w;
        logv.height = debug_box.h;
    }
    void click(int button, double x, double y) {
        ui_on_mouse_button(button, UI_PRESS, x, y);
        ui_on_mouse_button(button, UI_RELEASE, x, y);
    }
};

}  // namespace

TEST_F(Input, CloseNeedsPressAndReleaseOnTheButton) {
    double cx = closeButton.x + 10, cy = closeButton.y + 10;
    ui_on_mouse_button(UI_MOUSE_LEFT, UI_PRESS, 400, 300);
    ui_on_mouse_button(UI_MOUSE_LEFT, UI_RELEASE, cx, cy);  // press began elsewhere
    EXPECT_FALSE(ui_close_requested());
    ui_on_mouse_button(UI_MOUSE_LEFT, UI_PRESS, cx, cy);
    EXPECT_TRUE(closeButton.pressed);
    ui_on_mouse_button(UI_MOUSE_LEFT, UI_RELEASE, 400, 300);  // dragged off before release
    EXPECT_FALSE(ui_close_requested());
    EXPECT_FALSE(closeButton.pressed);
    ui_on_cursor(cx, cy);
    EXPECT_TRUE(closeButton.hovered);
    click(UI_MOUSE_LEFT, cx, cy);
    EXPECT_TRUE(ui_close_requested());
}

TEST_F(Input, RightClickOnTheHeaderCopiesNoLine) {
    log_add_line(&logv, "[CFG] first");
    log_add_line(&logv, "[CFG] second");
    // Header strip of the log panel: the menu opens, but "Copy this line" is greyed.
    click(UI_MOUSE_RIGHT, 100, debug_box.y + 8);
    ASSERT_TRUE(g_popup.visible);
    EXPECT_FALSE(g_popup.items[0].enabled);
    EXPECT_TRUE(g_popup.items[1].enabled);
    click(UI_MOUSE_LEFT, g_popup.x + 20, g_popup.y + 2 + 10);
    EXPECT_FALSE(g_popup.visible);
    EXPECT_EQ(g_clip_calls, 0);
}

TEST_F(Input, CopyThisLineAndCopyAllReachTheClipboard) {
    log_add_line(&logv, "[CFG] first");
    log_add_line(&logv, "[CFG] second");
    double row1_y = debug_box.y + 22 + 26 + 5;
    click(UI_MOUSE_RIGHT, 100, row1_y);
    ASSERT_TRUE(g_popup.items[0].enabled);
    click(UI_MOUSE_LEFT, g_popup.x + 20, g_popup.y + 2 + 10);
    EXPECT_EQ(g_clip.substr(15), "[CFG] second");
    click(UI_MOUSE_RIGHT, 100, row1_y);
    click(UI_MOUSE_LEFT, g_popup.x + 20, g_popup.y + 2 + POPUP_ITEM_H + 10);
    EXPECT_EQ(g_clip_calls, 2);
    EXPECT_EQ(g_clip.size(), (15 + 11 + 2) + (15 + 12 + 2));
    EXPECT_EQ(g_clip.substr(15, 13), "[CFG] first\r\n");
    EXPECT_EQ(g_clip.substr(g_clip.size() - 2), "\r\n");
}

TEST_F(Input, EmptyLogGreysOutBothItems) {
    click(UI_MOUSE_RIGHT, 100, 200);
    ASSERT_TRUE(g_popup.visible);
    EXPECT_FALSE(g_popup.items[0].enabled);
    EXPECT_FALSE(g_popup.items[1].enabled);
    click(UI_MOUSE_LEFT, g_popup.x + 20, g_popup.y + 2 + POPUP_ITEM_H + 10);
    EXPECT_EQ(g_clip_calls, 0);
}

TEST_F(Input, WheelScrollsTheLogOnlyWhenOverIt) {
    for (int i = 0; i < 100; ++i) log_add_line(&logv, "x");
    float bottom = logv.scroll;
    ASSERT_GT(bottom, 0);
    ui_on_scroll(400, 10, 1);  // over the title strip
    EXPECT_FLOAT_EQ(logv.scroll, bottom);
    ui_on_scroll(400, 300, 1);
    EXPECT_FLOAT_EQ(logv.scroll, bottom - 78);
    ui_on_scroll(400, 300, 0);
    EXPECT_FLOAT_EQ(logv.scroll, bottom - 78);
}

TEST_F(Input, DraggingTheScrollBarStopsFollowing) {
    for (int i = 0; i < 100; ++i) log_add_line(&logv, "x");
    double bar_x = logv.x + logv.width - logv.sb_inset - 4;
    ui_on_mouse_button(UI_MOUSE_LEFT, UI_PRESS, bar_x, 300);
    EXPECT_FALSE(logv.autoscroll);
    float before = logv.scroll;
    ui_on_cursor(bar_x, 250);
    EXPECT_LT(logv.scroll, before);
    ui_on_mouse_button(UI_MOUSE_LEFT, UI_RELEASE, bar_x, 250);
    float after = logv.scroll;
    ui_on_cursor(bar_x, 100);  // released: moving no longer drags
    EXPECT_FLOAT_EQ(logv.scroll, after);
}
