// Drawing arithmetic that decides where pixels land, checked without a GL context.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "ui/draw.h"
#include "ui/popup_menu.h"
#include "ui/theme.h"

// {box, window height, framebuffer scale} -> the GL scissor box, y flipped.
TEST(Scissor, FlipsYScalesToTheFramebufferAndNeverGoesNegative) {
    const struct {
        LayoutBox box;
        int win_h, scale;
        std::array<int, 4> want;
    } cases[] = {{{10, 35, 300, 200, 0}, 600, 1, {10, 365, 300, 200}},
                 {{10, 35, 300, 200, 0}, 600, 2, {20, 730, 600, 400}},
                 {{10, 35, -4, -12, 0}, 40, 1, {10, 17, 0, 0}}};  // squeezed to nothing by a tiny window
    for (const auto& c : cases) {
        std::array<int, 4> r;
        scissor_rect_for(&c.box, c.win_h, c.scale, c.scale, r.data());
        EXPECT_EQ(r, c.want) << c.box.w << " " << c.scale;
    }
}

// A 600x400 panel at y 100, 6 px inset, 22 px header: 378 px of rows over a
// track of 376; the scroll is clamped to what there is to scroll.
TEST(Scrollbar, AppearsForTallContentWithAThumbOfAtLeast8) {
    const struct {
        float h, scroll, content;
        bool visible;
        float scroll_after, thumb_top, thumb_len;  // thumb_top from the track's top
    } cases[] = {{400, 50, 378, false, 50, 0, 0},
                 {400, 50, 379, true, 1, 376 - 376 * 378.0f / 379, 376 * 378.0f / 379},
                 {400, 1e9f, 26.0f * 2048, true, 26.0f * 2048 - 378, 368, 8},
                 {400, -20, 1000, true, 0, 0, 378.0f / 1000 * 376},
                 {23, 0, 1000, false, 0, 0, 0}};  // too short for a track
    for (const auto& c : cases) {
        float scroll = c.scroll;
        ScrollbarGeom g = scrollbar_geometry(0, 100, 600, c.h, 6, &scroll, c.content);
        SCOPED_TRACE(c.content);
        ASSERT_EQ(g.visible, c.visible);
        if (!c.visible) continue;
        EXPECT_FLOAT_EQ(scroll, c.scroll_after);
        EXPECT_FLOAT_EQ(g.track_x, 586);
        EXPECT_FLOAT_EQ(g.track_top, 123);
        EXPECT_FLOAT_EQ(g.track_len, 376);
        EXPECT_NEAR(g.thumb_top - g.track_top, c.thumb_top, 1e-3);
        EXPECT_NEAR(g.thumb_len, c.thumb_len, 1e-3);
    }
}

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

// The pointer reported at times on targets: shown once it rested for the
// delay, on the loop's wake-up too, kept while it stays, gone when it leaves.
TEST(Tooltip, ShowsAfterTheDelayWithoutMotionAndStaysWhileThePointerStays) {
    g_tooltip = Tooltip{};
    g_tooltip_wake_at = 0;
    const struct {
        double t;
        int target;  // 0: a wake-up without motion
        bool shown;
    } steps[] = {{10.0, 1, false}, {10.3, 1, false}, {10.4, 0, false}, {10.5, 0, true},  {30, 1, true},
                 {31, 0, true},    {40, 2, false},   {40.2, 2, false}, {40.6, 2, true}};
    for (const auto& s : steps) {
        if (s.target) tooltip_set_at(s.t, (uintptr_t)s.target, s.target == 1 ? "Step over" : "Other", 5, 6, 0.5f);
        else tooltip_wake(s.t);
        EXPECT_EQ(g_tooltip.visible, s.shown) << s.t;
        EXPECT_TRUE(s.t != 10.3 || g_tooltip_wake_at == 10.5) << "the loop is told when to wake";
        EXPECT_STREQ(s.shown ? g_tooltip.text : "", !s.shown ? "" : s.t < 35 ? "Step over" : "Other");
    }
    EXPECT_TRUE(tooltip_clear());
    EXPECT_FALSE(g_tooltip.visible);
    EXPECT_FALSE(tooltip_wake(100));
    EXPECT_FALSE(tooltip_clear());
}

TEST(Themes, ActivatingCopiesTheWholeTableAndBodiesSetOffFromHeaders) {
    auto lum = [](Color4 c) { return 0.299f * c.r + 0.587f * c.g + 0.114f * c.b; };
    EXPECT_LT(lum(panel_body_color(g_theme_dark.panel_bg)), lum(g_theme_dark.panel_bg));
    EXPECT_GT(lum(panel_body_color(g_theme_light.panel_bg)), lum(g_theme_light.panel_bg));
    EXPECT_LE(panel_body_color(Color4{0.98f, 0.98f, 0.98f, 0.5f}).g, 1.0f);  // capped
    for (bool dark : {false, true}) {
        theme_activate(dark);
        EXPECT_EQ(g_dark_theme_active, dark);
        EXPECT_EQ(memcmp(&g_theme, dark ? &g_theme_dark : &g_theme_light, sizeof g_theme), 0) << dark;
    }
}

TEST(Icons, NineDistinctMasksAndAHardEdgedPennant) {
    for (int id = 0; id < ICON_COUNT; ++id) {
        const unsigned char* bm = icon_bitmap((DbgIconId)id);
        ASSERT_NE(bm, nullptr);
        int ink = 0;
        for (int i = 0; i < 32 * 32; ++i) ink += bm[i] >= 128;
        EXPECT_TRUE(ink > 40 && ink < 700) << "icon " << id << " is nearly empty or full: " << ink;
        for (int other = 0; other < id; ++other)
            EXPECT_NE(memcmp(bm, icon_bitmap((DbgIconId)other), 1024), 0) << id << " equals " << other;
        // An empty border: filtered at its edge in the atlas, an icon reads what
        // the clamped edge of a texture of its own read.
        for (int i = 0; i < 32; ++i)
            EXPECT_EQ(bm[i] | bm[31 * 32 + i] | bm[i * 32] | bm[i * 32 + 31], 0) << "icon " << id << " border " << i;
    }
    const unsigned char* flag = icon_bitmap(DBG_ICON_RUN_TO_MAIN);
    for (int i = 0; i < 1024; ++i) ASSERT_TRUE(flag[i] == 0 || flag[i] == 255);
    // The play triangle and the stop square are outlines: empty inside, inked at the edge.
    const struct {
        DbgIconId id;
        int inside, edge;
    } outlines[] = {{DBG_ICON_CONTINUE, 16 * 32 + 14, 16 * 32 + 8}, {DBG_ICON_FLASH, 16 * 32 + 16, 8 * 32 + 16}};
    for (const auto& o : outlines)
        EXPECT_EQ((std::array<int, 2>{icon_bitmap(o.id)[o.inside], icon_bitmap(o.id)[o.edge]}), (std::array<int, 2>{0, 255}));
    EXPECT_EQ(icon_bitmap((DbgIconId)9), nullptr);
}

TEST(PopupMenu, ClampedToTheWindowAndTakesTheNextClick) {
    PopupMenu m = {};
    const PopupItem items[2] = {{"Copy this line", 1, false}, {"Copy all", 2, true}};
    const float item1 = 2 + POPUP_ITEM_H + 5;  // into the second item
    // {opened at, window, then a click} -> where it sits, what the click chose.
    const struct {
        float x, y;
        int win_w, win_h;
        float want_x, want_y, click_x, click_y;  // the click relative to the menu
        int chosen;
    } cases[] = {{790, 590, 800, 600, 650, -1, 10, 7, 0},  // a disabled item: closes, does nothing
                 {100, 100, 800, 600, 100, 100, 10, item1, 2},
                 {100, 100, 800, 600, 100, 100, -90, -90, 0},  // outside
                 {50, 20, 100, 30, 0, 0, 10, item1, 2}};       // a window smaller than the menu: the corner
    for (const auto& c : cases) {
        popup_open(&m, 1, c.x, c.y, items, 2, c.win_w, c.win_h, 150);
        ASSERT_TRUE(m.visible);
        EXPECT_FLOAT_EQ(m.x, c.want_x);
        EXPECT_FLOAT_EQ(m.y, c.want_y < 0 ? c.win_h - m.h : c.want_y);
        EXPECT_EQ(popup_click(&m, m.x + c.click_x, m.y + c.click_y), c.chosen) << c.x << "," << c.y;
        EXPECT_FALSE(m.visible);
    }
    popup_open(&m, 1, 100, 100, items, 2, 800, 600, 150);
    EXPECT_TRUE(popup_hover(&m, 110, 100 + item1));
    EXPECT_EQ(m.hovered, 1);
    EXPECT_FALSE(popup_hover(&m, 111, 100 + item1 + 1)) << "the same item: nothing to redraw";
}
