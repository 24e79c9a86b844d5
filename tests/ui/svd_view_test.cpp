// The Peripherals panel's three levels over a hand-built description.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "probe/probe.h"
#include "probe/watch_list.h"
#include "symbols/svd.h"
#include "tests/log_lines.h"
#include "ui/log_view.h"
#include "ui/svd_view.h"

namespace {

std::vector<std::string> rows() {
    std::vector<std::string> out;
    for (int i = 0; i < log_count(&periph_view); ++i) out.push_back(log_row(&periph_view, i));
    return out;
}

class SvdView : public ::testing::Test {
protected:
    void SetUp() override {
        static SvdField fields[2] = {{"MODER0", 0, 2}, {"MODER15", 30, 2}};
        static SvdRegister gpio_regs[2] = {{"MODER", 0x40020000, 0xA8000000, fields, 2}, {"ODR", 0x40020014, 0, nullptr, 0}};
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

const std::vector<std::string> kPeriphs = {"0x40020000  GPIOA                 (2 regs)", "0xE000ED00  SCB                   (1 regs)"};
const std::vector<std::string> kGpioRegs = {"< GPIOA  (0x40020000)",
                                            "  +0000  MODER                     [rst=0xA8000000]  (2 fields)",
                                            "  +0014  ODR                       [rst=0x00000000]  (0 fields)"};
const std::vector<std::string> kModer = {"< GPIOA->MODER  (0x40020000)", "  [ 1: 0]  MODER0", "  [31:30]  MODER15"};

}  // namespace

// Clicks down and back up the levels; only the back row leads anywhere from
// the fields, rows past the end or negative do nothing.
TEST_F(SvdView, ThreeLevelsWithBackRowsTitlesAndTags) {
    const struct {
        int click;  // -9: none
        std::vector<std::string> rows;
        const char* title;
    } steps[] = {{-9, kPeriphs, "Peripherals"},
                 {0, kGpioRegs, "Periph: GPIOA"},
                 {1, kModer, "GPIOA->MODER"},
                 {1, kModer, "GPIOA->MODER"},
                 {0, kGpioRegs, "Periph: GPIOA"},
                 {2, {"< GPIOA->ODR  (0x40020014)", "  (no bitfield definitions)"}, "GPIOA->ODR"},
                 {0, kGpioRegs, "Periph: GPIOA"},
                 {0, kPeriphs, "Peripherals"},
                 {7, kPeriphs, "Peripherals"},
                 {-1, kPeriphs, "Peripherals"}};
    for (const auto& s : steps) {
        if (s.click != -9) svd_view_click(s.click, false);
        EXPECT_EQ(rows(), s.rows) << "after a click on row " << s.click;
        char title[160];
        svd_view_title(title, sizeof title);
        EXPECT_STREQ(title, s.title);
    }
    uint8_t tag[2];
    for (int i : {0, 1}) log_row(&periph_view, i, &tag[i]);
    EXPECT_EQ(tag[0], 1);
    EXPECT_EQ(tag[1], 2) << "from the core description";
    // A selection the description no longer has falls back a level.
    for (auto [state, level] : {std::pair{SvdViewState{SVD_VIEW_FIELD_LIST, 0, 9}, SVD_VIEW_REG_LIST},
                                {SvdViewState{SVD_VIEW_FIELD_LIST, 5, 0}, SVD_VIEW_PERIPH_LIST}}) {
        g_svd_view = state;
        svd_view_refresh();
        EXPECT_EQ(g_svd_view.level, level);
    }
}

TEST_F(SvdView, ALeftClickTogglesAWatchAndTheListKeepsItsScroll) {
    svd_view_click(0, false);
    periph_panel.scroll = 20;
    svd_view_click(1, true);
    ASSERT_EQ(g_watch_count, 1);
    EXPECT_STREQ(g_watch[0].var.name, "GPIOA->MODER");
    EXPECT_EQ(g_watch[0].var.loc_kind, VAR_LOC_ADDR);
    EXPECT_EQ((uint32_t)g_watch[0].var.loc_value, 0x40020000u);
    EXPECT_EQ(rows()[1].substr(0, 7), "W +0000");
    EXPECT_EQ(periph_panel.scroll, 20) << "same level refreshed: the scroll stays";
    // Once the probe has read it, the register and its fields show the value.
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        watch_val_buf[0] = 0x80000002;
        watch_val_valid[0] = true;
        watch_val_id[0] = g_watch[0].id;
    }
    svd_view_refresh();
    EXPECT_NE(rows()[1].find("= 0x80000002"), std::string::npos) << rows()[1];
    svd_view_click(1, false);
    EXPECT_EQ(rows(), (std::vector<std::string>{kModer[0], "  [ 1: 0]  MODER0  = 0x2", "  [31:30]  MODER15  = 0x2"}));
    EXPECT_EQ(periph_panel.scroll, 0) << "another level starts at the top";
    svd_view_click(0, false);
    svd_view_click(1, true);
    EXPECT_EQ(g_watch_count, 0);
    EXPECT_EQ(rows()[1], kGpioRegs[1]);
}
