// The "Core registers" panel and the Watch tab's texts, built from what the
// probe thread publishes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "app/register_display.h"
#include "app/watch_display.h"
#include "probe/probe.h"
#include "probe/watch_list.h"
#include "tests/log_lines.h"

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
void publish_watches(std::vector<uint32_t> vals, uint8_t state = WATCH_VAL_OK) {
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    for (size_t i = 0; i < vals.size(); ++i) {
        watch_val_buf[i] = vals[i];
        watch_val_valid[i] = state == WATCH_VAL_OK;
        watch_val_state[i] = state;
        watch_val_id[i] = g_watch[i].id;
    }
}

}  // namespace

// Publications in turn, each with the rows it should leave ("\x01": changed
// since the last one) and the panel's length; -1 ext: R0-R15 only.
TEST(RegisterDisplay, PlaceholdersThenValuesWithOnlyChangesMarked) {
    register_display_reset();
    memmap_view_show_placeholder();
    EXPECT_FALSE(update_registers_display()) << "nothing published yet";
    uint32_t fpu[REG_EXT_COUNT] = {0x61000023, 0x20001FF0, 0x20000800, 0x02010A01, 0x03000000};
    fpu[REG_EXT_S0 + 1] = 0x40490FDB;
    const struct {
        uint32_t pc, r3;
        int ext;  // published beyond R0-R15: 0 none, else this many words of `fpu`
        int rows;
        std::vector<std::pair<int, const char*>> want;
    } steps[] = {
        {0, 0, -1, 16, {{0, "PC  = ----"}, {1, "R0  = ----"}, {11, "R10 = ----"}, {15, "LR  = ----"}}},
        {0x08000123, 0x1003, 0, 16, {{0, "PC  = 0x08000123"}, {14, "SP  = 0x0000100D"}}},  // the first marks nothing
        {0x08000130, 7, 0, 16, {{0, "\x01PC  = 0x08000130"}, {4, "\x01R3  = 0x00000007"}, {5, "R4  = 0x00001004"}}},
        // xPSR decoded, the stack pointers, the special register's parts, FPSCR and S0-S31.
        {0x08000130, 7, REG_EXT_COUNT, 16 + 7 + 33,
         {{16, "xPSR = 0x61000023 nZCvq T ISR 35"}, {17, "MSP = 0x20001FF0"}, {18, "PSP = 0x20000800"},
          {19, "CONTROL   = 0x02"}, {20, "FAULTMASK = 1"}, {21, "BASEPRI   = 0x0A"}, {22, "PRIMASK   = 1"},
          {23, "FPSCR = 0x03000000"}, {24, "S0  = 0x00000000 0"}, {25, "S1  = 0x40490FDB 3.14159274"}}},
        {0x08000130, 7, REG_EXT_CORE, 16 + 7, {{16, "xPSR = 0x61000023 nZCvq T ISR 35"}}},  // no FPU; not marked
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.ext);
        if (s.ext >= 0) {
            std::lock_guard<std::mutex> lk(reg_buf_mtx);
            for (int i = 0; i < 16; ++i) reg_buf[i] = 0x1000 + (uint32_t)i;
            reg_buf[15] = s.pc, reg_buf[3] = s.r3;
            std::memcpy(reg_ext_buf, fpu, sizeof fpu);
            reg_ext_count = s.ext;
            reg_buf_fresh = true;
        }
        ASSERT_TRUE(s.ext < 0 || update_registers_display());
        EXPECT_FALSE(update_registers_display()) << "each publication is shown once";
        EXPECT_EQ(log_count(&memmap_view), s.rows);
        for (auto [row, text] : s.want) EXPECT_EQ(log_row(&memmap_view, row), text);
        EXPECT_EQ(s_current_pc, s.pc & ~1u) << "the core's PC without the Thumb bit";
    }
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    reg_ext_count = 0;
}

// Four watches through successive publications: hex and decimal by size,
// marks on what changed, the reasons a value is missing; 32 at most, each once.
TEST(WatchTexts, SizesFormatsChangeMarksAndMissingValues) {
    watch_clear();
    watch_display_reset();
    ElfVariable tmp{};
    for (ElfVariable v : {var("b", 1), var("h", 2), var("w", 0), var("gone", 4, VAR_LOC_NONE)}) ASSERT_TRUE(watch_add(&(tmp = v)));
    EXPECT_STREQ(g_watch[0].value, "---");
    const struct {
        std::vector<uint32_t> vals;
        uint8_t state;
        std::vector<const char*> want;
    } steps[] = {
        // The first refresh marks nothing; the word holds all ones really.
        {{200, 0x12345, 0xFFFFFFFF, 5}, WATCH_VAL_OK, {"0xC8  (200)", "0x2345  (9029)", "0xFFFFFFFF  (4294967295)", "---"}},
        {{201, 0x12345, 0xFFFFFFFF, 5}, WATCH_VAL_OK, {"\x01" "0xC9  (201)", "0x2345  (9029)"}},
        {{201, 1, 2, 3}, WATCH_VAL_READ_ERR, {"read err"}},
        {{201}, WATCH_VAL_NOT_IN_SCOPE, {"not in scope"}},
        {{201}, WATCH_VAL_UNAVAILABLE, {"<unavailable>"}},
        {{201, 1, 2, 3}, WATCH_VAL_OK, {"0xC9  (201)"}},  // no mark after a failed read
        {{202, 1, 2, 3}, WATCH_VAL_OK, {"\x01" "0xCA  (202)"}},
    };
    for (const auto& s : steps) {
        publish_watches(s.vals, s.state);
        EXPECT_TRUE(watch_refresh_all());
        for (size_t i = 0; i < s.want.size(); ++i) EXPECT_STREQ(g_watch[i].value, s.want[i]) << s.vals[0] << " " << i;
    }
    EXPECT_FALSE(watch_refresh_all()) << "the same values published again: nothing to draw";
    EXPECT_STREQ(g_watch[0].value, "\x01" "0xCA  (202)") << "the mark stays until the next change";

    // A removed watch never lends its value or mark to the next one, before
    // the probe thread has read the list again or after.
    watch_remove(0);
    watch_refresh_all();
    EXPECT_STREQ(g_watch[0].var.name, "h");
    EXPECT_STREQ(g_watch[0].value, "---");
    publish_watches({1});
    watch_refresh_all();
    EXPECT_STREQ(g_watch[0].value, "0x0001  (1)") << "no mark against the removed one's 202";
    ASSERT_TRUE(watch_add(&(tmp = var("b", 1))));
    watch_refresh_all();
    EXPECT_STREQ(g_watch[3].value, "---") << "re-added: starts over";
    EXPECT_FALSE(watch_add(&(tmp = var("h", 4)))) << "already watched";
    while (g_watch_count < WATCH_MAX) ASSERT_TRUE(watch_add(&(tmp = var(("v" + std::to_string(g_watch_count)).c_str(), 4))));
    EXPECT_FALSE(watch_add(&(tmp = var("one_more", 4))));
    watch_clear();
}
