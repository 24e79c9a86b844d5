// The "Core registers" panel built from what the probe thread publishes.
#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "app/register_display.h"
#include "probe/probe.h"
#include "ui/log_view.h"

namespace {

std::string line(int row) {
    char buf[LOG_LINE_LEN];
    return log_line(&memmap_view, row, buf, sizeof buf, nullptr) ? buf : "";
}

void publish(const uint32_t regs[16]) {
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    for (int i = 0; i < 16; ++i) reg_buf[i] = regs[i];
    reg_buf_fresh = true;
}

}  // namespace

TEST(RegisterDisplay, PlaceholdersThenValuesWithOnlyChangesMarked) {
    register_display_reset();
    memmap_view_show_placeholder();
    ASSERT_EQ(log_count(&memmap_view), 16);
    EXPECT_EQ(line(0), "PC  = ----");
    EXPECT_EQ(line(1), "R0  = ----");
    EXPECT_EQ(line(11), "R10 = ----");
    EXPECT_EQ(line(15), "LR  = ----");
    EXPECT_FALSE(update_registers_display()) << "nothing published yet";
    EXPECT_EQ(line(0), "PC  = ----");

    uint32_t regs[16];
    for (int i = 0; i < 16; ++i) regs[i] = 0x1000 + (uint32_t)i;
    regs[15] = 0x08000123;
    publish(regs);
    ASSERT_TRUE(update_registers_display());
    EXPECT_FALSE(update_registers_display()) << "each publication is shown once";
    EXPECT_EQ(line(0), "PC  = 0x08000123") << "the first refresh marks nothing";
    EXPECT_EQ(line(14), "SP  = 0x0000100D");
    EXPECT_EQ(s_current_pc, 0x08000122u);
    regs[15] = 0x08000130;
    regs[3] = 7;
    publish(regs);
    ASSERT_TRUE(update_registers_display());
    EXPECT_EQ(line(0), "\x01PC  = 0x08000130");
    EXPECT_EQ(line(4), "\x01R3  = 0x00000007");
    EXPECT_EQ(line(5), "R4  = 0x00001004");
    EXPECT_EQ(log_count(&memmap_view), 16);
}
