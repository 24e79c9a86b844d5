// The Peripherals panel's three levels over a hand-built description.
#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "probe/probe.h"
#include "probe/watch_list.h"
#include "symbols/svd.h"
#include "ui/log_view.h"
#include "ui/svd_view.h"

namespace {

std::string row(int i) {
    char buf[LOG_LINE_LEN];
    return log_line(&periph_view, i, buf, sizeof buf, nullptr) ? buf : "";
}
uint8_t tag(int i) {
    char buf[LOG_LINE_LEN];
    uint8_t t = 0;
    log_line(&periph_view, i, buf, sizeof buf, &t);
    return t;
}

class SvdView : public ::testing::Test {
protected:
    void SetUp() override {
        static SvdField fields[2] = {{"MODER0", 0, 2}, {"MODER15", 30, 2}};
        static SvdRegister gpio_regs[2] = {{"MODER", 0x40020000, 0xA8000000, fields, 2},
                                           {"ODR", 0x40020014, 0, nullptr, 0}};
        static SvdRegister scb_regs[1] = {{"CPUID", 0xE000ED00, 0x410FC241, nullptr, 0}};
        static SvdPeripheral periphs[2] = {{"GPIOA", 0x40020000, 0, gpio_regs, 2}, {"SCB", 0xE000ED00, 1, scb_regs, 1}};
        dev_ = SvdDevice{periphs, 2, 2};
        g_svd = &dev_;
        svd_view_reset();
        watch_clear();
        periph_panel.line_height = 20;
        periph_panel.height = 100;
        svd_view_refresh();
    }
    void TearDown() override {
        g_svd = nullptr;
        watch_clear();
    }
    SvdDevice dev_{};
};

}  // namespace

TEST_F(SvdView, ThreeLevelsWithBackRowsTitlesAndTags) {
    char title[160];
    ASSERT_EQ(log_count(&periph_view), 2);
    EXPECT_EQ(row(0), "0x40020000  GPIOA                 (2 regs)");
    EXPECT_EQ(tag(0), 1);
    EXPECT_EQ(tag(1), 2) << "from the core description";
    svd_view_title(title, sizeof title);
    EXPECT_STREQ(title, "Peripherals");

    svd_view_click(0, false);
    ASSERT_EQ(log_count(&periph_view), 3);
    EXPECT_EQ(row(0), "< GPIOA  (0x40020000)");
    EXPECT_EQ(row(1), "  +0000  MODER                     [rst=0xA8000000]  (2 fields)");
    EXPECT_EQ(row(2), "  +0014  ODR                       [rst=0x00000000]  (0 fields)");
    svd_view_title(title, sizeof title);
    EXPECT_STREQ(title, "Periph: GPIOA");

    svd_view_click(1, false);
    EXPECT_EQ(row(0), "< GPIOA->MODER  (0x40020000)");
    EXPECT_EQ(row(1), "  [ 1: 0]  MODER0");
    EXPECT_EQ(row(2), "  [31:30]  MODER15");
    svd_view_title(title, sizeof title);
    EXPECT_STREQ(title, "GPIOA->MODER");
    svd_view_click(1, false);
    EXPECT_EQ(g_svd_view.level, SVD_VIEW_FIELD_LIST) << "only the back row leads anywhere";
    svd_view_click(0, false);
    EXPECT_EQ(g_svd_view.level, SVD_VIEW_REG_LIST);
    svd_view_click(2, false);
    EXPECT_EQ(row(1), "  (no bitfield definitions)");
    EXPECT_EQ(log_count(&periph_view), 2);
    svd_view_click(0, false);
    svd_view_click(0, false);
    EXPECT_EQ(g_svd_view.level, SVD_VIEW_PERIPH_LIST);
    // Rows past the end and negative rows do nothing.
    svd_view_click(7, false);
    svd_view_click(-1, false);
    EXPECT_EQ(g_svd_view.level, SVD_VIEW_PERIPH_LIST);
}

TEST_F(SvdView, ALeftClickTogglesAWatchAndTheListKeepsItsScroll) {
    svd_view_click(0, false);
    periph_panel.scroll = 20;
    svd_view_click(1, true);
    ASSERT_EQ(g_watch_count, 1);
    EXPECT_STREQ(g_watch[0].var.name, "GPIOA->MODER");
    EXPECT_EQ(g_watch[0].var.loc_kind, VAR_LOC_ADDR);
    EXPECT_EQ((uint32_t)g_watch[0].var.loc_value, 0x40020000u);
    EXPECT_EQ(row(1).substr(0, 7), "W +0000");
    EXPECT_EQ(periph_panel.scroll, 20) << "same level refreshed: the scroll stays";
    // Once the probe has read it, the register and its fields show the value.
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        watch_val_buf[0] = 0x80000002;
        watch_val_valid[0] = true;
        watch_val_id[0] = g_watch[0].id;
    }
    svd_view_refresh();
    EXPECT_NE(row(1).find("= 0x80000002"), std::string::npos) << row(1);
    svd_view_click(1, false);
    EXPECT_EQ(row(1), "  [ 1: 0]  MODER0  = 0x2");
    EXPECT_EQ(row(2), "  [31:30]  MODER15  = 0x2");
    EXPECT_EQ(periph_panel.scroll, 0) << "another level starts at the top";
    svd_view_click(0, false);
    svd_view_click(1, true);
    EXPECT_EQ(g_watch_count, 0);
    EXPECT_EQ(row(1).substr(0, 7), "  +0000");
}

TEST_F(SvdView, LongNamesAreCutOnceSoTheWatchCanBeRemoved) {
    SvdPeripheral* p = svd_get_peripheral(g_svd, 0);
    SvdRegister* r = svd_get_register(p, 0);
    SvdPeripheral saved_p = *p;
    SvdRegister saved_r = *r;
    std::snprintf(p->name, sizeof p->name, "%s", std::string(63, 'P').c_str());
    std::snprintf(r->name, sizeof r->name, "%s", std::string(63, 'R').c_str());
    char name[128];
    svd_watch_name(p, r, name);
    EXPECT_EQ(std::string(name).size(), 127u);
    svd_watch_toggle(p, r);
    ASSERT_EQ(g_watch_count, 1);
    EXPECT_STREQ(g_watch[0].var.name, name);
    svd_watch_toggle(p, r);
    EXPECT_EQ(g_watch_count, 0);
    // A selection that no longer exists falls back a level.
    g_svd_view = SvdViewState{SVD_VIEW_FIELD_LIST, 0, 9};
    svd_view_refresh();
    EXPECT_EQ(g_svd_view.level, SVD_VIEW_REG_LIST);
    g_svd_view = SvdViewState{SVD_VIEW_FIELD_LIST, 5, 0};
    svd_view_refresh();
    EXPECT_EQ(g_svd_view.level, SVD_VIEW_PERIPH_LIST);
    *p = saved_p;
    *r = saved_r;
}
