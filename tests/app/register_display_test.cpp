// The "Core registers" panel built from what the probe thread publishes.
#include <cstring>
#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <mutex>
#include <string>

#include "app/register_display.h"
#include "app/watch_display.h"
#include "probe/watch_list.h"
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
    EXPECT_EQ(log_count(&memmap_view), 16) << "nothing beyond R0-R15 published";

    // Beyond them: xPSR decoded, the stack pointers, the special register's parts, FPSCR and S0-S31.
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        uint32_t ext[REG_EXT_COUNT] = {0x61000023, 0x20001FF0, 0x20000800, 0x02010A01, 0x03000000};
        ext[REG_EXT_S0 + 1] = 0x40490FDB;
        std::memcpy(reg_ext_buf, ext, sizeof ext);
        reg_ext_count = REG_EXT_COUNT;
    }
    publish(regs);
    ASSERT_TRUE(update_registers_display());
    ASSERT_EQ(log_count(&memmap_view), 16 + 7 + 33);
    const char* want[] = {"xPSR = 0x61000023 nZCvq T ISR 35", "MSP = 0x20001FF0", "PSP = 0x20000800",
                          "CONTROL   = 0x02", "FAULTMASK = 1", "BASEPRI   = 0x0A", "PRIMASK   = 1",
                          "FPSCR = 0x03000000", "S0  = 0x00000000 0", "S1  = 0x40490FDB 3.14159274"};
    for (int i = 0; i < 10; ++i) EXPECT_EQ(line(16 + i), want[i]);
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        reg_buf_fresh = true;
        reg_ext_buf[REG_EXT_S0 + 1] = 0;
        reg_ext_count = REG_EXT_CORE;  // a core without an FPU
    }
    ASSERT_TRUE(update_registers_display());
    EXPECT_EQ(log_count(&memmap_view), 16 + 7);
    EXPECT_EQ(line(16), "xPSR = 0x61000023 nZCvq T ISR 35") << "unchanged: not marked";
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        reg_ext_count = 0;
    }
}

// --- the Watch tab's texts ------------------------------------------------------

namespace {

ElfVariable var(const char* name, uint32_t size, VarLocKind kind = VAR_LOC_ADDR) {
    ElfVariable v{};
    std::snprintf(v.name, sizeof v.name, "%s", name);
    v.byte_size = size;
    v.loc_kind = kind;
    v.loc_value = 0x20000000;
    return v;
}

// What the probe thread publishes: slot i holds `vals[i]` for the watch now in slot i.
void publish_watches(std::initializer_list<uint32_t> vals, bool valid = true, uint8_t why = WATCH_VAL_READ_ERR) {
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    int i = 0;
    for (uint32_t v : vals) {
        watch_val_buf[i] = v;
        watch_val_valid[i] = valid;
        watch_val_state[i] = valid ? (uint8_t)WATCH_VAL_OK : why;
        watch_val_id[i] = g_watch[i].id;
        ++i;
    }
}

class WatchTexts : public ::testing::Test {
protected:
    void SetUp() override {
        watch_clear();
        watch_display_reset();
    }
    void TearDown() override { watch_clear(); }
    ElfVariable tmp{};
};

}  // namespace

TEST_F(WatchTexts, SizesFormatsAndChangeMarks) {
    ASSERT_TRUE(watch_add(&(tmp = var("b", 1))));
    ASSERT_TRUE(watch_add(&(tmp = var("h", 2))));
    ASSERT_TRUE(watch_add(&(tmp = var("w", 0))));
    ASSERT_TRUE(watch_add(&(tmp = var("gone", 4, VAR_LOC_NONE))));
    EXPECT_STREQ(g_watch[0].value, "---");
    publish_watches({200, 0x12345, 0xFFFFFFFF, 5});
    watch_refresh_all();
    EXPECT_STREQ(g_watch[0].value, "0xC8  (200)") << "the first refresh marks nothing";
    EXPECT_STREQ(g_watch[1].value, "0x2345  (9029)");
    EXPECT_STREQ(g_watch[2].value, "0xFFFFFFFF  (4294967295)") << "a variable really holding all ones";
    EXPECT_STREQ(g_watch[3].value, "---");
    publish_watches({201, 0x12345, 0xFFFFFFFF, 5});
    watch_refresh_all();
    EXPECT_STREQ(g_watch[0].value, "\x01" "0xC9  (201)");
    EXPECT_STREQ(g_watch[1].value, "0x2345  (9029)");
    publish_watches({201, 1, 2, 3}, false);
    watch_refresh_all();
    EXPECT_STREQ(g_watch[0].value, "read err");
    for (auto [why, text] : {std::pair{WATCH_VAL_NOT_IN_SCOPE, "not in scope"}, {WATCH_VAL_UNAVAILABLE, "<unavailable>"}}) {
        publish_watches({201}, false, why);
        watch_refresh_all();
        EXPECT_STREQ(g_watch[0].value, text);
    }
    publish_watches({201, 1, 2, 3});
    watch_refresh_all();
    EXPECT_STREQ(g_watch[0].value, "0xC9  (201)") << "no mark after a failed read";
    publish_watches({202, 1, 2, 3});
    EXPECT_TRUE(watch_refresh_all());
    EXPECT_FALSE(watch_refresh_all()) << "the same values published again: nothing to draw";
    EXPECT_STREQ(g_watch[0].value, "\x01" "0xCA  (202)") << "the mark stays until the next change";
}

TEST_F(WatchTexts, ARemovedWatchNeverLendsItsValueOrMarkToTheNextOne) {
    ASSERT_TRUE(watch_add(&(tmp = var("first", 4))));
    ASSERT_TRUE(watch_add(&(tmp = var("second", 4))));
    publish_watches({111, 222});
    watch_refresh_all();
    watch_remove(0);
    // The probe thread has not read the list since: slot 0 still holds first's value.
    watch_refresh_all();
    EXPECT_STREQ(g_watch[0].var.name, "second");
    EXPECT_STREQ(g_watch[0].value, "---");
    publish_watches({222});
    watch_refresh_all();
    EXPECT_STREQ(g_watch[0].value, "0x000000DE  (222)") << "no false mark against first's 111";
    // Re-adding a removed name starts over, too.
    ASSERT_TRUE(watch_add(&(tmp = var("first", 4))));
    watch_refresh_all();
    EXPECT_STREQ(g_watch[1].value, "---");
}

TEST_F(WatchTexts, ThirtyTwoWatchesAtMostAndNamesAreUnique) {
    char name[16];
    for (int i = 0; i < WATCH_MAX; ++i) {
        std::snprintf(name, sizeof name, "v%d", i);
        ASSERT_TRUE(watch_add(&(tmp = var(name, 4))));
    }
    EXPECT_FALSE(watch_add(&(tmp = var("v32", 4))));
    EXPECT_EQ(g_watch_count, WATCH_MAX);
    watch_remove(5);
    EXPECT_FALSE(watch_add(&(tmp = var("v7", 4)))) << "already watched";
    EXPECT_TRUE(watch_add(&(tmp = var("v32", 4))));
    EXPECT_EQ(watch_find_by_name("v32"), WATCH_MAX - 1);
    EXPECT_EQ(watch_find_by_name(""), -1);
}
