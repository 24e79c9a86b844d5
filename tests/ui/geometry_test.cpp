// Drawing arithmetic that decides where pixels land, checked without a GL context.
#include <gtest/gtest.h>

#include <cstring>

#include "ui/draw.h"
#include "ui/popup_menu.h"
#include "ui/theme.h"

TEST(Scissor, FlipsYAndNeverGoesNegative) {
    int r[4];
    LayoutBox b = {10, 35, 300, 200, 0};
    scissor_rect_for(&b, 600, 1, 1, r);
    EXPECT_EQ(r[0], 10);
    EXPECT_EQ(r[1], 600 - 235);
    EXPECT_EQ(r[2], 300);
    EXPECT_EQ(r[3], 200);
    // A panel squeezed to nothing by a tiny window.
    LayoutBox squeezed = {10, 35, -4, -12, 0};
    scissor_rect_for(&squeezed, 40, 1, 1, r);
    EXPECT_EQ(r[2], 0);
    EXPECT_EQ(r[3], 0);
}

TEST(Scissor, ScalesToTheFramebufferOnHiDpi) {
    int r[4];
    LayoutBox b = {10, 35, 300, 200, 0};
    scissor_rect_for(&b, 600, 2, 2, r);
    EXPECT_EQ(r[0], 20);
    EXPECT_EQ(r[1], 2 * (600 - 235));
    EXPECT_EQ(r[2], 600);
    EXPECT_EQ(r[3], 400);
}

TEST(Scrollbar, AppearsOnlyWhenContentIsTallerThanRowsArea) {
    float scroll = 50;
    ScrollbarGeom g = scrollbar_geometry(0, 0, 600, 400, 6, &scroll, 378);
    EXPECT_FALSE(g.visible);
    g = scrollbar_geometry(0, 0, 600, 400, 6, &scroll, 379);
    EXPECT_TRUE(g.visible);
    EXPECT_FLOAT_EQ(g.track_x, 586);
    EXPECT_FLOAT_EQ(g.track_top, 23);
    EXPECT_FLOAT_EQ(g.track_len, 376);
    EXPECT_FLOAT_EQ(scroll, 1);  // clamped to content - visible as a side effect
}

TEST(Scrollbar, ThumbIsNeverShorterThan8AndTracksTheScroll) {
    float scroll = 1e9f;
    ScrollbarGeom g = scrollbar_geometry(0, 100, 600, 400, 6, &scroll, 26.0f * 2048);
    EXPECT_FLOAT_EQ(g.thumb_len, 8);
    EXPECT_FLOAT_EQ(scroll, 26.0f * 2048 - 378);
    EXPECT_FLOAT_EQ(g.thumb_top, g.track_top + g.track_len - 8);  // at the bottom
    scroll = -20;
    g = scrollbar_geometry(0, 100, 600, 400, 6, &scroll, 1000);
    EXPECT_FLOAT_EQ(scroll, 0);
    EXPECT_FLOAT_EQ(g.thumb_top, g.track_top);
    EXPECT_NEAR(g.thumb_len, 378.0f / 1000 * 376, 1e-3);
    // A panel too short for a track draws no bar.
    scroll = 0;
    g = scrollbar_geometry(0, 0, 600, 23, 6, &scroll, 1000);
    EXPECT_FALSE(g.visible);
}

TEST(Tooltip, StaysInsideTheWindowAndFlipsAboveAtTheBottom) {
    TooltipBox b = tooltip_box(100, 200, 200, 800, 600);
    EXPECT_FLOAT_EQ(b.x, 214);
    EXPECT_FLOAT_EQ(b.y, 220);
    EXPECT_FLOAT_EQ(b.w, 114);
    EXPECT_FLOAT_EQ(b.h, 24);
    b = tooltip_box(100, 790, 200, 800, 600);
    EXPECT_FLOAT_EQ(b.x + b.w, 796);
    b = tooltip_box(100, 200, 580, 800, 600);
    EXPECT_FLOAT_EQ(b.y, 580 - 24 - 4);
}

TEST(Tooltip, ShowsAfterTheDelayWithoutMotionAndStaysWhileThePointerStays) {
    g_tooltip = Tooltip{};
    g_tooltip_wake_at = 0;
    int target = 0;
    uintptr_t id = (uintptr_t)&target;
    tooltip_set_at(10.0, id, "Step over", 5, 6, 0.5f);
    tooltip_set_at(10.3, id, "Step over", 7, 8, 0.5f);
    EXPECT_FALSE(g_tooltip.visible);
    EXPECT_DOUBLE_EQ(g_tooltip_wake_at, 10.5);
    EXPECT_FALSE(tooltip_wake(10.4));
    // The loop's wake-up shows it: the pointer need not move again.
    EXPECT_TRUE(tooltip_wake(10.5));
    ASSERT_TRUE(g_tooltip.visible);
    EXPECT_STREQ(g_tooltip.text, "Step over");
    EXPECT_FLOAT_EQ(g_tooltip.mx, 5);
    EXPECT_DOUBLE_EQ(g_tooltip_wake_at, 0);
    // Long after, on the same target, it is still there.
    tooltip_set_at(30.0, id, "Step over", 9, 9, 0.5f);
    EXPECT_FALSE(tooltip_wake(31));
    EXPECT_TRUE(g_tooltip.visible);
    // Another target hides it and restarts the delay; motion past it shows too.
    tooltip_set_at(40.0, id + 1, "Other", 0, 0, 0.5f);
    EXPECT_FALSE(g_tooltip.visible);
    tooltip_set_at(40.2, id + 1, "Other", 0, 0, 0.5f);
    EXPECT_FALSE(g_tooltip.visible);
    tooltip_set_at(40.6, id + 1, "Other", 0, 0, 0.5f);
    EXPECT_TRUE(g_tooltip.visible);
    // Leaving every target takes it away at once.
    EXPECT_TRUE(tooltip_clear());
    EXPECT_FALSE(g_tooltip.visible);
    EXPECT_FALSE(tooltip_wake(100));
    EXPECT_FALSE(tooltip_clear());
}

TEST(Themes, PanelBodyIsLighterThanHeaderInLightAndDarkerInDark) {
    auto lum = [](Color4 c) { return 0.299f * c.r + 0.587f * c.g + 0.114f * c.b; };
    Color4 dark_body = panel_body_color(g_theme_dark.panel_bg);
    Color4 light_body = panel_body_color(g_theme_light.panel_bg);
    EXPECT_LT(lum(dark_body), lum(g_theme_dark.panel_bg));
    EXPECT_GT(lum(light_body), lum(g_theme_light.panel_bg));
    EXPECT_LE(panel_body_color(Color4{0.98f, 0.98f, 0.98f, 0.5f}).g, 1.0f);  // capped
    theme_activate(false);
    EXPECT_FALSE(g_dark_theme_active);
    EXPECT_FLOAT_EQ(g_theme.window_bg.r, 0.99f);
    EXPECT_FLOAT_EQ(g_theme.var_tab_divider.b, 0.62f);  // last field copied too
    theme_activate(true);
    EXPECT_FLOAT_EQ(g_theme.window_bg.r, 0.1f);
    EXPECT_FLOAT_EQ(g_theme.var_tab_divider.b, 0.25f);
}

TEST(Icons, NineDistinctMasksAndAHardEdgedPennant) {
    for (int id = 0; id < ICON_COUNT; ++id) {
        const unsigned char* bm = icon_bitmap((DbgIconId)id);
        ASSERT_NE(bm, nullptr);
        int ink = 0;
        for (int i = 0; i < 32 * 32; ++i) ink += bm[i] >= 128;
        EXPECT_GT(ink, 40) << "icon " << id << " is nearly empty";
        EXPECT_LT(ink, 700) << "icon " << id << " is nearly full";
        for (int other = 0; other < id; ++other)
            EXPECT_NE(memcmp(bm, icon_bitmap((DbgIconId)other), 1024), 0) << id << " equals " << other;
        // An empty border: filtered at its edge in the atlas, an icon reads what
        // the clamped edge of a texture of its own read.
        for (int i = 0; i < 32; ++i)
            EXPECT_EQ(bm[i] | bm[31 * 32 + i] | bm[i * 32] | bm[i * 32 + 31], 0) << "icon " << id << " border " << i;
    }
    const unsigned char* flag = icon_bitmap(DBG_ICON_RUN_TO_MAIN);
    for (int i = 0; i < 1024; ++i) ASSERT_TRUE(flag[i] == 0 || flag[i] == 255);
    // The play triangle is outlined: its centre is empty, its edge is inked.
    const unsigned char* play = icon_bitmap(DBG_ICON_CONTINUE);
    EXPECT_EQ(play[16 * 32 + 14], 0);
    EXPECT_EQ(play[16 * 32 + 8], 255);
    // The stop square is an outline too.
    const unsigned char* stop = icon_bitmap(DBG_ICON_FLASH);
    EXPECT_EQ(stop[16 * 32 + 16], 0);
    EXPECT_EQ(stop[8 * 32 + 16], 255);
    EXPECT_EQ(icon_bitmap((DbgIconId)9), nullptr);
}

TEST(PopupMenu, ClampedToTheWindowAndTakesTheNextClick) {
    PopupMenu m = {};
    const PopupItem items[2] = {{"Copy this line", 1, false}, {"Copy all", 2, true}};
    popup_open(&m, 1, 790, 590, items, 2, 800, 600, 150);
    ASSERT_TRUE(m.visible);
    EXPECT_FLOAT_EQ(m.x, 650);
    EXPECT_FLOAT_EQ(m.y, 600 - m.h);
    // Disabled item: the click closes the menu and does nothing.
    EXPECT_EQ(popup_click(&m, m.x + 10, m.y + 2 + 5), 0);
    EXPECT_FALSE(m.visible);
    popup_open(&m, 1, 100, 100, items, 2, 800, 600, 150);
    EXPECT_TRUE(popup_hover(&m, 110, 100 + 2 + POPUP_ITEM_H + 5));
    EXPECT_EQ(m.hovered, 1);
    EXPECT_FALSE(popup_hover(&m, 111, 100 + 2 + POPUP_ITEM_H + 6));
    EXPECT_EQ(popup_click(&m, 110, 100 + 2 + POPUP_ITEM_H + 5), 2);
    EXPECT_FALSE(m.visible);
    // A click outside only closes it.
    popup_open(&m, 1, 100, 100, items, 2, 800, 600, 150);
    EXPECT_EQ(popup_click(&m, 10, 10), 0);
    EXPECT_FALSE(m.visible);
    // A window smaller than the menu pins it to the corner instead of going negative.
    popup_open(&m, 1, 50, 20, items, 2, 100, 30, 150);
    EXPECT_FLOAT_EQ(m.x, 0);
    EXPECT_FLOAT_EQ(m.y, 0);
}
