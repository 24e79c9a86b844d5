// The plot's curves: slots kept by watch id, the ring, gaps, and each watch
// type's raw bits as the number they mean.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "ui/plot_view.h"

TEST(PlotView, CurvesKeepTheirSlotsByWatchId) {
    plot_view_init();
    for (uint32_t id : {11u, 12u, 13u}) EXPECT_TRUE(plot_view_add(id));
    EXPECT_FALSE(plot_view_add(12));  // once only
    plot_view_push(13, 0.0, 7, "int", 4, true);
    // Deleting an earlier watch leaves the others' slots, colours and samples.
    plot_view_remove(11);
    EXPECT_EQ(plot_view_find(12), 1);
    EXPECT_EQ(plot_view_find(13), 2);
    EXPECT_EQ(g_plot_view.curves[2].count, 1);
    EXPECT_EQ(g_plot_view.curve_count, 2);
    // A new curve takes the lowest free slot; a toggle removes a plotted one.
    EXPECT_TRUE(plot_view_add(14));
    EXPECT_EQ(plot_view_find(14), 0);
    plot_view_toggle(12);
    EXPECT_EQ(plot_view_find(12), -1);
    for (uint32_t id = 20; id < 40; ++id) plot_view_add(id);
    EXPECT_EQ(g_plot_view.curve_count, PLOT_MAX_CURVES);
    EXPECT_FALSE(plot_view_add(99));
    plot_view_push(99, 0.0, 1, "int", 4, true);  // not plotted: nothing happens
    g_plot_view.pixels_per_sample = 5;
    plot_view_clear();
    EXPECT_EQ(g_plot_view.curve_count, 0);
    EXPECT_EQ(g_plot_view.pixels_per_sample, 5);
}

TEST(PlotView, TheRingKeepsTheNewestAndAStretchNotLiveIsOneGap) {
    plot_view_init();
    plot_view_add(5);
    const PlotCurve* c = &g_plot_view.curves[0];
    for (int i = 0; i < PLOT_RING + 25; ++i) plot_view_push(5, i * 0.01, (uint32_t)i, "unsigned int", 4, true);
    ASSERT_EQ(c->count, PLOT_RING);
    EXPECT_EQ(plot_curve_at(c, 0).v, 25);
    EXPECT_EQ(plot_curve_at(c, PLOT_RING - 1).v, PLOT_RING + 24);
    EXPECT_DOUBLE_EQ(plot_curve_at(c, PLOT_RING - 1).t, (PLOT_RING + 24) * 0.01);
    for (int i = 0; i < 3; ++i) plot_view_push(5, 200.0 + i, 0, "unsigned int", 4, false);
    plot_view_push(5, 210.0, 42, "unsigned int", 4, true);
    EXPECT_TRUE(std::isnan(plot_curve_at(c, PLOT_RING - 2).v));
    EXPECT_FALSE(std::isnan(plot_curve_at(c, PLOT_RING - 3).v));
    EXPECT_EQ(plot_curve_at(c, PLOT_RING - 1).v, 42);
}

TEST(PlotView, RawBitsReadAsTheirType) {
    float f = -2.5f;
    uint32_t fbits;
    memcpy(&fbits, &f, 4);
    const struct {
        uint32_t raw;
        const char* type;
        uint32_t size;
        double want;
    } rows[] = {
        {0xFF, "int8_t", 1, -1},          {0x7F, "signed char", 1, 127},  {0xFF, "uint8_t", 1, 255},
        {0xFFFF8000, "short", 2, -32768}, {0x8000, "uint16_t", 2, 32768}, {0x00800000, "int24", 3, -8388608},
        {0xFFFFFFFF, "int", 4, -1},       {0xFFFFFFFF, "unsigned int", 4, 4294967295.0},
        {0x1234FF, "", 1, 0x1234FF},      {fbits, "float", 4, -2.5},      {fbits, "volatile float", 4, -2.5},
    };
    for (const auto& r : rows) EXPECT_EQ(plot_raw_to_double(r.raw, r.type, r.size), r.want) << r.type;
}
