// The plot's curves: slots kept by watch id, the ring, gaps, and each watch
// type's raw bits as the number they mean.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "probe/plot_feed.h"
#include "probe/probe.h"
#include "probe/watch_list.h"
#include "ui/plot_view.h"

TEST(PlotView, CurvesKeepTheirSlotsByWatchId) {
    plot_view_init();
    for (uint32_t id : {11u, 12u, 13u}) EXPECT_TRUE(plot_view_add(id));
    EXPECT_FALSE(plot_view_add(12));  // once only
    // Removing one leaves the others' slots (colours); a new curve takes the lowest free slot.
    plot_view_remove(11);
    plot_view_toggle(14);
    plot_view_toggle(12);
    EXPECT_EQ(plot_view_find(14) * 10 + plot_view_find(13), 2) << "14 in slot 0, 13 still in slot 2";
    for (uint32_t id = 20; id < 40; ++id) plot_view_add(id);
    EXPECT_EQ(g_plot_view.curve_count, PLOT_MAX_CURVES);
    EXPECT_FALSE(plot_view_add(99) || plot_view_push(99, 0.0, 1, "int", 4, true));
    g_plot_view.pixels_per_sample = 5;
    plot_view_clear();
    EXPECT_TRUE(g_plot_view.curve_count == 0 && g_plot_view.pixels_per_sample == 5);
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
    // A read that arrives after a newer one is not drawn back in time, nor twice.
    EXPECT_FALSE(plot_view_push(5, 209.0, 1, "unsigned int", 4, true));
    EXPECT_FALSE(plot_view_push(5, 210.0, 1, "unsigned int", 4, true));
    double v;
    ASSERT_TRUE(plot_curve_newest(c, &v));
    EXPECT_EQ(v, 42);
}

TEST(PlotView, RawBitsReadAsTheirType) {
    float f = -2.5f;
    uint32_t fbits;
    memcpy(&fbits, &f, 4);
    double d = 2.718281828459045;
    uint64_t dbits;
    memcpy(&dbits, &d, 8);
    const struct {
        uint64_t raw;
        const char* type;
        uint32_t size;
        double want;
    } rows[] = {
        {0xFF, "int8_t", 1, -1},          {0x7F, "signed char", 1, 127},  {0xFF, "uint8_t", 1, 255},
        {0xFFFF8000, "short", 2, -32768}, {0x8000, "uint16_t", 2, 32768}, {0x00800000, "int24", 3, -8388608},
        {0xFFFFFFFF, "int", 4, -1},       {0xFFFFFFFF, "unsigned int", 4, 4294967295.0},
        {0x1234FF, "", 1, 0x1234FF},      {fbits, "float", 4, -2.5},      {fbits, "volatile float", 4, -2.5},
        // Eight bytes: a double, 64-bit integers; a float ignores bits above its four bytes.
        {dbits, "double", 8, d},          {(uint64_t)-1234567890123LL, "int64_t", 8, -1234567890123.0},
        {0x0123456789ABCDEFull, "uint64_t", 8, (double)0x0123456789ABCDEFull},
        {0xFFFFFFFF00000000ull | fbits, "float", 4, -2.5},
    };
    for (const auto& r : rows) EXPECT_EQ(plot_raw_to_double(r.raw, r.type, r.size), r.want) << r.type;
}

// The sampler as the main loop runs it: the watch poll's values at the times
// they were read, a gap while halted, the message half a second later, and
// the plotted globals handed to the fast feed only while the panel shows.
TEST(PlotView, SamplesFollowWatchesByIdAndHaltsAreGaps) {
    watch_clear();
    plot_view_init();
    ElfVariable g{}, local{};
    std::snprintf(g.name, sizeof g.name, "g_count"), std::snprintf(g.type_name, sizeof g.type_name, "int");
    g.loc_kind = VAR_LOC_ADDR, g.loc_value = 0x20000010, g.byte_size = 4;
    std::snprintf(local.name, sizeof local.name, "x"), std::snprintf(local.type_name, sizeof local.type_name, "float");
    local.loc_kind = VAR_LOC_FBREG, local.byte_size = 4, local.func_addr = 0x08000100;
    ElfVariable other = g;
    std::snprintf(other.name, sizeof other.name, "g_other");
    ASSERT_TRUE(watch_add(&other) && watch_add(&g) && watch_add(&local));
    const uint32_t id_g = g_watch[1].id, id_x = g_watch[2].id;
    plot_view_add(id_x), plot_view_add(id_g);
    // Deleting an earlier watch moves the rows, not the curves.
    watch_remove(0);
    auto publish = [&](double t, int32_t gv, float xv, bool live) {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        uint32_t xbits;
        memcpy(&xbits, &xv, 4);
        const uint32_t ids[2] = {id_g, id_x}, raws[2] = {(uint32_t)gv, xbits};
        for (int i = 0; i < 2; ++i)
            watch_val_id[i] = ids[i], watch_val_buf[i] = raws[i], watch_val_hi[i] = 0, watch_val_valid[i] = true,
            watch_val_t[i] = t, watch_val_live[i] = live;
    };
    g_probe_connected = true, g_is_halted = false, g_watch_halting = false;
    publish(1.0, -7, 0.5f, true);
    EXPECT_TRUE(plot_view_sample(10.0, true));
    EXPECT_TRUE(plot_feed_active()) << "the global goes to the fast feed";
    EXPECT_FALSE(plot_view_sample(10.05, true)) << "nothing new: no frame";
    EXPECT_FALSE(plot_view_sample(10.2, true)) << "the same read is not a second sample";
    publish(1.2, -8, 0.25f, true);
    EXPECT_TRUE(plot_view_sample(10.3, true));
    const PlotCurve* cx = &g_plot_view.curves[0];
    const PlotCurve* cg = &g_plot_view.curves[1];
    ASSERT_EQ(cg->count, 2);
    ASSERT_EQ(cx->count, 2);
    EXPECT_EQ(plot_curve_at(cg, 1).v, -8);
    EXPECT_DOUBLE_EQ(plot_curve_at(cg, 1).t, 1.2);
    EXPECT_EQ(plot_curve_at(cx, 1).v, 0.25);
    // A brief halt made only to read the local is still live.
    g_is_halted = true, g_watch_halting = true;
    EXPECT_FALSE(plot_view_sample(10.4, true));
    g_watch_halting = false;
    EXPECT_TRUE(plot_view_sample(10.5, true));
    EXPECT_TRUE(std::isnan(plot_curve_at(cg, 2).v) && std::isnan(plot_curve_at(cx, 2).v)) << "halted: one gap";
    EXPECT_TRUE(g_plot_view.show_curves);
    publish(1.4, -9, 1.0f, false);
    EXPECT_FALSE(plot_view_sample(10.8, true)) << "values read while halted are no samples";
    EXPECT_TRUE(plot_view_sample(11.0, true)) << "the message replaces the curves";
    EXPECT_FALSE(g_plot_view.show_curves);
    EXPECT_EQ(cg->count, 3);
    plot_view_sample(11.1, false);
    EXPECT_FALSE(plot_feed_active()) << "a hidden panel reads nothing fast";
    // Its watch deleted, a curve goes; the other keeps its slot and colour.
    watch_remove(0);
    plot_view_sample(11.2, true);
    EXPECT_EQ(plot_view_find(id_g), -1);
    EXPECT_EQ(plot_view_find(id_x), 0);
    plot_feed_set(nullptr, 0);
    g_probe_connected = false, g_is_halted = false;
    watch_clear();
}
