// The layout pass as a function of window size, visibility and stored proportions.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "ui/layout.h"

namespace {

bool* const kShow[10] = {&g_show_variables, &g_show_source, &g_show_plot,  &g_show_periph, &g_show_memmap,
                         &g_show_log,       &g_show_setup,  &g_show_stack, &g_show_fault,  &g_show_bkpt};
LayoutBox* const kBoxes[10] = {&variables_box, &source_box, &plot_box,  &periph_box, &memmap_box,
                               &debug_box,     &setup_box,  &stack_box, &fault_box,  &bkpt_box};

// A value the pass leaves somewhere, and what it should be.
struct Want {
    const void* at;
    char type;
    float v;
    Want(const float* p, float v) : at(p), type('f'), v(v) {}
    Want(const int* p, float v) : at(p), type('i'), v(v) {}
    Want(const bool* p, bool v) : at(p), type('b'), v(v) {}
    float got() const { return type == 'f' ? *(const float*)at : type == 'i' ? *(const int*)at : *(const bool*)at; }
};

// A change, then a pass at a size, then what it left.
struct Step {
    std::function<void()> act;
    int w, h;
    std::vector<Want> want;
};

class Layout : public ::testing::Test {
protected:
    // The mechanics are checked on fixed fractions: the first-use ones depend on the font.
    void SetUp() override {
        layout_reset();
        layout_set_proportions(LayoutProportions{{0.25f, 0.475f, 0.625f, 0.875f}, {-1, -1, -1, -1}, -1});
    }
    void run(const std::vector<Step>& steps) {
        for (size_t i = 0; i < steps.size(); ++i) {
            if (steps[i].act) steps[i].act();
            ui_layout_pass(steps[i].w, steps[i].h);
            for (size_t k = 0; k < steps[i].want.size(); ++k)
                EXPECT_FLOAT_EQ(steps[i].want[k].got(), steps[i].want[k].v) << "step " << i << ", value " << k;
        }
    }
};

}  // namespace

// Visible boxes of a row follow each other without gap or overlap from x = 2
// to 2 px from the right (Variables keeps 2 px to its neighbour); hidden ones
// are empty; the edges the pass moves are ordered, 24 apart and 26 from both sides.
TEST_F(Layout, EveryVisibilityCombinationTilesBothRowsAtEverySize) {
    for (auto [w, h] : {std::pair{800, 600}, {1920, 1080}, {300, 200}, {120, 90}, {1, 1}})
        for (unsigned bits = 0; bits < 1024; ++bits) {
            layout_reset();
            ui_layout_pass(800, 600);
            for (int i = 0; i < 10; ++i) *kShow[i] = bits >> i & 1;
            ui_layout_pass(w, h);
            ui_layout_pass(w, h);
            SCOPED_TRACE(testing::Message() << w << "x" << h << " flags " << bits);
            for (const LayoutBox* b : kBoxes) ASSERT_TRUE(b->w >= 0 && b->h >= 0);
            if (w < 300) continue;  // too narrow for the margins: only sizes are checked
            for (int row = 0; row < 2; ++row) {
                float x = 2;
                for (int i = 5 * row; i < 5 * row + 5; ++i) {
                    if (!*kShow[i]) {
                        EXPECT_EQ(kBoxes[i]->w, 0) << "hidden box " << i;
                        continue;
                    }
                    EXPECT_FLOAT_EQ(kBoxes[i]->x, x) << "box " << i;
                    x = kBoxes[i]->x + kBoxes[i]->w + (i == 0 ? 2 : 0);
                }
                EXPECT_NEAR(x > 2 ? x : w - 2, w - 2, 0.01) << "row " << row;  // an empty row aside
            }
            EXPECT_FLOAT_EQ(source_box.y + source_box.h + 2 + 36, (bits >> 5) ? debug_box.y : h);
            float prev = -1e9f;
            for (const TopEdgeInfo& e : g_top_edges) {
                if (!e.active) continue;
                EXPECT_TRUE(*e.x >= 26 && *e.x <= w - 26 && *e.x - prev >= 24 - 0.01) << *e.x;
                prev = *e.x;
            }
        }
}

TEST_F(Layout, TheToolbarAndTitleStripButtonsKeepTheirOrder) {
    const int strip = 36 + 8 + 36 + 5 * 36 + 5 * 8;  // Reset, Run to main, then five run-control buttons
    run({{nullptr, 800, 600,
          {{&BtnStart.y, 35 + 375 + 4}, {&BtnReset.x, (800 - strip) / 2}, {&BtnStart.x, (800 - strip) / 2 + 16 + 80},
           {&BtnStepAsm.x, -200}, {&BtnShowB.x, 800 - 28}, {&BtnShowL.x, 800 - 28 - 4 * 26}}},
         // From the right: close, maximise, minimise, on-top, theme, then the toggles.
         {nullptr, 800, 600,
          {{&closeButton.x, 776}, {&maxButton.x, 746}, {&topmostButton.x, 686}, {&BtnDark.x, 620},
           {&BtnShowG.x, 584}, {&BtnShowV.x, 480}, {&BtnToggleAsm.x, 460}, {&BtnToggleAsm.y, 36}}},
         // A hidden panel's header button cannot be hit; the Peripherals edge would move nothing.
         {[] { g_show_source = false; }, 800, 600,
          {{&periph_box.x, 200}, {&variables_box.w, 196}, {&BtnToggleAsm.x, -200},
           {&g_top_edges[TOP_EDGE_SOURCE].active, false}, {&g_top_edges[TOP_EDGE_PERIPH].active, false},
           {&g_top_edges[TOP_EDGE_MEMMAP].active, true}}}});
    g_show_asm = true;
    ui_layout_pass(800, 600);
    EXPECT_GT(BtnStepAsm.x, BtnStepOut.x);
}

// Shares kept through resizing, squeezing and hiding; the bottom row split
// evenly again whenever its panel count changes; a dragged edge pushing its neighbours.
TEST_F(Layout, ResizingAndHidingKeepTheSharesTheUserSet) {
    run({{[] { g_show_bkpt = true; }, 800, 600, {{&source_box.x, 200}, {&memmap_box.x, 700}, {&bkpt_box.x, 400}}},
         {nullptr, 1600, 1200, {{&source_box.x, 400}, {&memmap_box.x, 1400}, {&bkpt_box.x, 800}, {&debug_box.y, 896}}},
         {nullptr, 120, 600, {}},
         {nullptr, 800, 600, {{&source_box.x, 200}, {&memmap_box.x, 700}, {&bkpt_box.x, 400}, {&debug_box.y, 448}}},
         {[] { g_show_periph = g_show_source = false; }, 800, 600, {}},
         {[] { g_show_periph = g_show_source = true; }, 800, 600,
          {{&source_box.x, 200}, {&periph_box.x, 500}, {&memmap_box.x, 700}, {&bkpt_box.x, 400}}},
         {[] { g_show_bkpt = false; }, 800, 300, {{&debug_box.y, 224}, {&source_box.h, 224 - 35 - 2 - 36}}},
         {nullptr, 800, 0, {}},  // minimised: nothing changes
         {nullptr, 0, 0, {{&source_box.w, 300}, {&source_box.h, 224 - 35 - 2 - 36}}}});
}

TEST_F(Layout, TheBottomRowIsSplitEvenlyWhenItsPanelCountChanges) {
    run({{nullptr, 900, 600, {{&debug_box.w, 896}}},
         {[] { g_show_stack = true; }, 900, 600, {{&stack_box.x, 450}, {&g_eff_log_x, 450}, {&g_eff_stack_x, 0}}},
         {[] { g_show_fault = true; }, 900, 600, {{&stack_box.x, 300}, {&fault_box.x, 600}, {&fault_box.w, 298}}},
         // Separators are positional: the first now splits Call stack / Fault.
         {[] { g_show_log = false; }, 900, 600, {{&stack_box.x, 2}, {&fault_box.x, 450}, {&debug_box.w, 0}}},
         {[] { g_show_stack = g_show_fault = false; }, 900, 600,
          {{&debug_box.h, 0}, {&source_box.h, 600 - 35 - 2 - 36}, {&BtnStart.y, 600 - 2 - 36 + 4}}},
         // Core registers' edge dragged left into Peripherals and Source.
         {[] { g_show_log = true, g_top_drag_ptr = &g_memmap_edge_x, g_memmap_edge_ratio = 150.0f / 800; }, 800, 600,
          {{&memmap_box.x, 150}, {&periph_box.x, 126}, {&source_box.x, 102}, {&g_periph_edge_ratio, 126.0f / 800}}}});
    g_top_drag_ptr = nullptr;
}

// Proportions a later run starts from: kept through its first pass (no even
// split of the bottom row, the row's top from its fraction), and read back.
TEST_F(Layout, RestoredProportionsHoldFromTheFirstPass) {
    layout_set_proportions(LayoutProportions{{0.2f, 0.45f, 0.6f, 0.9f}, {0.3f, -1, -1, -1}, 0.5f});
    run({{[] { g_show_stack = true; }, 1000, 600, {{&g_eff_source_x, 200}, {&g_eff_log_x, 300}, {&debug_box.y, 300}}}});
    LayoutProportions p = layout_proportions(600);
    EXPECT_EQ((std::vector<float>{p.bottom[0], p.bottom_top, p.top[TOP_EDGE_MEMMAP]}), (std::vector<float>{0.3f, 0.5f, 0.9f}));
}
