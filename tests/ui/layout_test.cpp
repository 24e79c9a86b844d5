// The layout pass as a function of window size, visibility and stored proportions.
#include <gtest/gtest.h>

#include <vector>

#include "platform/font_find.h"
#include "ui/font.h"
#include "ui/layout.h"

namespace {

struct Flags {
    bool v, s, g, p, c, l, setup, k, f, b;
};

void apply(const Flags& f) {
    g_show_variables = f.v;
    g_show_source = f.s;
    g_show_plot = f.g;
    g_show_periph = f.p;
    g_show_memmap = f.c;
    g_show_log = f.l;
    g_show_setup = f.setup;
    g_show_stack = f.k;
    g_show_fault = f.f;
    g_show_bkpt = f.b;
}

Flags flags_of(unsigned bits) {
    return Flags{!!(bits & 1),  !!(bits & 2),  !!(bits & 4),   !!(bits & 8),   !!(bits & 16),
                 !!(bits & 32), !!(bits & 64), !!(bits & 128), !!(bits & 256), !!(bits & 512)};
}

struct Row {
    std::vector<const LayoutBox*> boxes;
    std::vector<bool> shown;
};

Row top_row() {
    return {{&variables_box, &source_box, &plot_box, &periph_box, &memmap_box},
            {g_show_variables, g_show_source, g_show_plot, g_show_periph, g_show_memmap}};
}
Row bottom_row() {
    return {{&debug_box, &setup_box, &stack_box, &fault_box, &bkpt_box},
            {g_show_log, g_show_setup, g_show_stack, g_show_fault, g_show_bkpt}};
}

// Visible boxes follow each other without gap or overlap from x = 2 to the
// right limit (Variables keeps 2 px to its neighbour); hidden ones are empty.
void expect_tiles(const Row& r, int w, bool is_top, const char* what) {
    float x = 2;
    bool any = false;
    for (size_t i = 0; i < r.boxes.size(); ++i) {
        const LayoutBox& b = *r.boxes[i];
        EXPECT_GE(b.w, 0) << what << " box " << i;
        EXPECT_GE(b.h, 0) << what << " box " << i;
        if (!r.shown[i]) {
            EXPECT_EQ(b.w, 0) << what << " hidden box " << i;
            continue;
        }
        EXPECT_FLOAT_EQ(b.x, x) << what << " box " << i;
        x = b.x + b.w + ((is_top && i == 0) ? 2 : 0);
        any = true;
    }
    if (any) {
        EXPECT_NEAR(x, w - 2, 0.01) << what;
    }
}

const LayoutProportions kQuarterProportions = {{0.25f, 0.475f, 0.625f, 0.875f}, {-1, -1, -1, -1}, -1};

class Layout : public ::testing::Test {
protected:
    // The mechanics are checked on fixed fractions: the first-use ones depend on the font.
    void SetUp() override {
        layout_reset();
        layout_set_proportions(kQuarterProportions);
    }
};

}  // namespace

// First use: the register and peripheral lines fit their panels in the real
// font, and what is left is shared by Variables and Source.
TEST(LayoutFirstUse, TheRightPanelsFitTheirLinesAtEveryWidth) {
    char font[1024] = "";
    if (!plat_find_font("DejaVu Sans Mono", font, sizeof font) || !font_atlas_load_file(font, UI_FONT_PX))
        GTEST_SKIP() << "no DejaVu Sans Mono";
    for (int w : {800, 1024, 1920}) {
        layout_reset();
        ui_layout_pass(w, 600);
        SCOPED_TRACE(w);
        // Text inset 4, a scroll bar and its gap 18, the panel's own border.
        EXPECT_GE(memmap_box.w, measure_text("R10 = 0x20001FF0") + 4 + 18 + 2);
        EXPECT_GE(periph_box.w, measure_text("0x40023800  DBGMCU") + 4 + 18 + 2);
        EXPECT_NEAR(variables_box.w / (variables_box.w + source_box.w), LAYOUT_INIT_VARIABLES_SHARE, 0.02);
        EXPECT_GE(source_box.w, measure_text("    uint32_t t = tick % 250u;"));
    }
    font_atlas_free();
    layout_reset();
}

TEST_F(Layout, QuarterProportionsAt800x600) {
    ui_layout_pass(800, 600);
    EXPECT_FLOAT_EQ(variables_box.x, 2);
    EXPECT_FLOAT_EQ(variables_box.w, 196);
    EXPECT_FLOAT_EQ(source_box.x, 200);
    EXPECT_FLOAT_EQ(source_box.w, 300);
    EXPECT_FLOAT_EQ(periph_box.x, 500);
    EXPECT_FLOAT_EQ(periph_box.w, 200);
    EXPECT_FLOAT_EQ(memmap_box.x, 700);
    EXPECT_FLOAT_EQ(memmap_box.w, 98);
    EXPECT_FLOAT_EQ(plot_box.w, 0);
    EXPECT_FLOAT_EQ(debug_box.y, 448);
    EXPECT_FLOAT_EQ(debug_box.h, 150);
    EXPECT_FLOAT_EQ(debug_box.w, 796);
    EXPECT_FLOAT_EQ(source_box.y, 35);
    EXPECT_FLOAT_EQ(source_box.h, 448 - 35 - 2 - 36);
    // Toolbar centred under the top row, four pixels into its 36-pixel strip.
    EXPECT_EQ(BtnStart.y, 35 + 375 + 4);
    int total = 36 + 8 + 36 + 5 * 36 + 5 * 8;
    EXPECT_EQ(BtnReset.x, (800 - total) / 2);
    EXPECT_EQ(BtnStart.x, BtnReset.x + 16 + 80);
    EXPECT_EQ(BtnStepAsm.x, -200);
    EXPECT_EQ(BtnShowB.x, 800 - 28);
    EXPECT_EQ(BtnShowL.x, 800 - 28 - 4 * 26);
    // Title strip from the right: close, maximise, minimise, on-top, theme, then the toggles.
    EXPECT_EQ(closeButton.x, 776);
    EXPECT_EQ(maxButton.x, 746);
    EXPECT_EQ(topmostButton.x, 686);
    EXPECT_EQ(BtnDark.x, 686 - 66);
    EXPECT_EQ(BtnShowG.x, 620 - 36);
    EXPECT_EQ(BtnShowV.x, 584 - 4 * 26);
    // The ASM header button sits at the Source header's right end.
    EXPECT_EQ(BtnToggleAsm.x, 460);
    EXPECT_EQ(BtnToggleAsm.y, 36);
}

TEST_F(Layout, EveryVisibilityCombinationTilesBothRowsAtEverySize) {
    const int sizes[][2] = {{800, 600}, {1920, 1080}, {300, 200}, {120, 90}, {1, 1}};
    for (auto sz : sizes) {
        for (unsigned bits = 0; bits < 1024; ++bits) {
            layout_reset();
            ui_layout_pass(800, 600);
            apply(flags_of(bits));
            ui_layout_pass(sz[0], sz[1]);
            ui_layout_pass(sz[0], sz[1]);
            SCOPED_TRACE(testing::Message() << sz[0] << "x" << sz[1] << " flags " << bits);
            for (const LayoutBox* b : top_row().boxes) {
                ASSERT_GE(b->w, 0);
                ASSERT_GE(b->h, 0);
            }
            for (const LayoutBox* b : bottom_row().boxes) {
                ASSERT_GE(b->w, 0);
                ASSERT_GE(b->h, 0);
            }
            if (sz[0] < 300) continue;  // too narrow for the margins: only sizes are checked
            expect_tiles(top_row(), sz[0], true, "top");
            expect_tiles(bottom_row(), sz[0], false, "bottom");
            bool any_bottom = (bits >> 5) != 0;
            EXPECT_FLOAT_EQ(source_box.y + source_box.h + 2 + 36, any_bottom ? debug_box.y : sz[1]);
            // The edges the pass moves are ordered, 24 apart and 26 from both sides.
            float prev = -1e9f;
            for (const TopEdgeInfo& e : g_top_edges) {
                if (!e.active) continue;
                EXPECT_GE(*e.x, 26);
                EXPECT_LE(*e.x, sz[0] - 26);
                EXPECT_GE(*e.x - prev, 24 - 0.01);
                prev = *e.x;
            }
        }
    }
}

TEST_F(Layout, ResizingKeepsEveryShareAndHidingKeepsTheProportions) {
    ui_layout_pass(800, 600);
    g_show_bkpt = true;
    ui_layout_pass(800, 600);
    float src = g_source_edge_ratio, mm = g_memmap_edge_ratio, sep = g_log_edge_ratio, y_share = debug_box.y / 600;
    ui_layout_pass(1600, 1200);
    EXPECT_FLOAT_EQ(source_box.x, 400);
    EXPECT_FLOAT_EQ(memmap_box.x, 1400);
    EXPECT_NEAR(debug_box.y / 1200, y_share, 1e-6);
    EXPECT_FLOAT_EQ(bkpt_box.x, 800);
    ui_layout_pass(800, 600);
    EXPECT_FLOAT_EQ(debug_box.y, 448);
    // Squeezed by a window too narrow for them, then given back.
    ui_layout_pass(120, 600);
    ui_layout_pass(800, 600);
    EXPECT_FLOAT_EQ(g_source_edge_ratio, src);
    EXPECT_FLOAT_EQ(g_memmap_edge_ratio, mm);
    EXPECT_FLOAT_EQ(g_log_edge_ratio, sep);
    g_show_periph = g_show_source = false;
    ui_layout_pass(800, 600);
    g_show_periph = g_show_source = true;
    ui_layout_pass(800, 600);
    EXPECT_FLOAT_EQ(g_source_edge_ratio, src);
    EXPECT_FLOAT_EQ(g_memmap_edge_ratio, mm);
    EXPECT_FLOAT_EQ(g_log_edge_ratio, sep);
    EXPECT_FLOAT_EQ(source_box.x, 200);
}

TEST_F(Layout, BottomRowResplitsEquallyWhenItsPanelCountChanges) {
    ui_layout_pass(900, 600);
    EXPECT_FLOAT_EQ(debug_box.w, 896);
    g_show_stack = true;
    ui_layout_pass(900, 600);
    EXPECT_FLOAT_EQ(stack_box.x, 450);
    EXPECT_FLOAT_EQ(g_eff_log_x, 450);
    EXPECT_FLOAT_EQ(g_eff_stack_x, 0);
    g_show_fault = true;
    ui_layout_pass(900, 600);
    EXPECT_FLOAT_EQ(stack_box.x, 300);
    EXPECT_FLOAT_EQ(fault_box.x, 600);
    EXPECT_FLOAT_EQ(fault_box.w, 898 - 600);
    g_show_log = false;  // separators are positional: the first now splits Call stack / Fault
    ui_layout_pass(900, 600);
    EXPECT_FLOAT_EQ(stack_box.x, 2);
    EXPECT_FLOAT_EQ(fault_box.x, 450);
    EXPECT_FLOAT_EQ(debug_box.w, 0);
    g_show_stack = g_show_fault = false;
    ui_layout_pass(900, 600);
    EXPECT_FLOAT_EQ(debug_box.h, 0);
    EXPECT_FLOAT_EQ(source_box.h, 600 - 35 - 2 - 36) << "the top row reaches the window bottom";
    EXPECT_EQ(BtnStart.y, 600 - 2 - 36 + 4);
}

TEST_F(Layout, DraggedEdgePushesItsNeighboursAndStopsAtTheMargins) {
    float e[4] = {100, 200, 300, 400};
    push_clamp_edges(e, 4, 1, 26, 774, 24);
    EXPECT_FLOAT_EQ(e[1], 200);
    e[1] = 390;  // dragged into its right neighbours
    push_clamp_edges(e, 4, 1, 26, 774, 24);
    EXPECT_FLOAT_EQ(e[2], 414);
    EXPECT_FLOAT_EQ(e[3], 438);
    e[1] = 0;  // and far to the left
    push_clamp_edges(e, 4, 1, 26, 774, 24);
    EXPECT_FLOAT_EQ(e[0], 26);
    EXPECT_FLOAT_EQ(e[1], 50);
    e[3] = 2000;
    push_clamp_edges(e, 4, 3, 26, 774, 24);
    EXPECT_FLOAT_EQ(e[3], 774);
    // A middle edge dragged to the right margin: its right neighbour stays inside too.
    float m[3] = {200, 790, 700};
    push_clamp_edges(m, 3, 1, 26, 774, 24);
    EXPECT_FLOAT_EQ(m[2], 774);
    EXPECT_FLOAT_EQ(m[1], 750);
    // An out-of-range drag index and a window narrower than its margins.
    float n[2] = {10, 5};
    push_clamp_edges(n, 2, 9, 26, 10, 24);
    EXPECT_LE(n[0], n[1]);
    push_clamp_edges(nullptr, 0, 0, 0, 0, 0);
    // In the layout: Core registers edge dragged left into Peripherals and Source.
    ui_layout_pass(800, 600);
    g_top_drag_ptr = &g_memmap_edge_x;
    g_memmap_edge_ratio = 150.0f / 800;
    ui_layout_pass(800, 600);
    EXPECT_FLOAT_EQ(memmap_box.x, 150);
    EXPECT_FLOAT_EQ(periph_box.x, 126);
    EXPECT_FLOAT_EQ(source_box.x, 102);
    EXPECT_FLOAT_EQ(g_periph_edge_ratio, 126.0f / 800);
}

TEST_F(Layout, WithSourceHiddenTheNextPanelStartsAtTheFixedSourceEdge) {
    ui_layout_pass(800, 600);
    g_show_source = false;
    ui_layout_pass(800, 600);
    EXPECT_FLOAT_EQ(periph_box.x, 200);
    EXPECT_FLOAT_EQ(variables_box.w, 196);
    EXPECT_FALSE(g_top_edges[TOP_EDGE_SOURCE].active);
    EXPECT_FALSE(g_top_edges[TOP_EDGE_PERIPH].active) << "the Peripherals edge would move nothing";
    EXPECT_TRUE(g_top_edges[TOP_EDGE_MEMMAP].active);
    EXPECT_EQ(BtnToggleAsm.x, -200) << "a hidden panel's header button cannot be hit";
    g_show_asm = true;
    ui_layout_pass(800, 600);
    EXPECT_GT(BtnStepAsm.x, BtnStepOut.x);
}

TEST_F(Layout, HeightChangesScaleTheBottomRowAndZeroSizesChangeNothing) {
    ui_layout_pass(800, 600);
    ui_layout_pass(800, 300);
    EXPECT_FLOAT_EQ(debug_box.y, 224);
    LayoutBox before = source_box;
    ui_layout_pass(800, 0);  // minimised
    ui_layout_pass(0, 0);
    EXPECT_FLOAT_EQ(source_box.w, before.w);
    EXPECT_FLOAT_EQ(source_box.h, before.h);
    ui_layout_pass(300, 200);
    EXPECT_GE(source_box.h, 0);
    EXPECT_GE(debug_box.h, 18);
}

// Proportions a later run starts from: kept through its first pass (no even
// split of the bottom row, the row's top from its fraction), and read back.
TEST_F(Layout, RestoredProportionsHoldFromTheFirstPass) {
    g_show_stack = true;
    layout_set_proportions(LayoutProportions{{0.2f, 0.45f, 0.6f, 0.9f}, {0.3f, -1, -1, -1}, 0.5f});
    ui_layout_pass(1000, 600);
    EXPECT_FLOAT_EQ(g_eff_source_x, 200);
    EXPECT_FLOAT_EQ(g_eff_log_x, 300);
    EXPECT_FLOAT_EQ(debug_box.y, 300);
    LayoutProportions p = layout_proportions(600);
    EXPECT_FLOAT_EQ(p.bottom[0], 0.3f);
    EXPECT_FLOAT_EQ(p.bottom_top, 0.5f);
    EXPECT_FLOAT_EQ(p.top[TOP_EDGE_MEMMAP], 0.9f);
}
