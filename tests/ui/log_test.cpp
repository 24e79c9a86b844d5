// The log store and its panel: stamped lines mirrored to a file, the ring of
// 2048 lines, following the newest line, the scroll bar, rows and copying.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

#include "tests/test_util.h"
#include "tests/log_lines.h"
#include "ui/log_view.h"

namespace {

// The panel's scroll once it has followed its store, as it is drawn.
float scroll_of(LogView* v) {
    log_view_follow(v);
    return v->scroll;
}

// A 600x400 panel of 26 px rows: 378 px of rows under the 22 px header.
class LogPanel : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path.empty());
        log_set_file_path("");
        for (LogView* v : {&log_panel, &memmap_panel, &periph_panel}) {
            log_clear(v->store);
            log_view_follow(v);
            v->x = v->y = 0, v->width = 600, v->height = 400, v->line_height = 26, v->sb_inset = 6;
            v->autoscroll = v == &log_panel;
        }
    }
    void TearDown() override { log_set_file_path(""); }
    void add(int n) {
        for (int i = 0; i < n; ++i) log_add_line(&logv, "x");
    }
    TempDir dir_{"kd_log"};
    const std::string path_ = dir_ / "debugger.log";
};

}  // namespace

// The log's lines are stamped, cut to 255 characters and mirrored to the
// file; other views are neither; a file that cannot be made leaves the panel working.
TEST_F(LogPanel, StampsLogLinesCutsThemAndMirrorsThemToTheFile) {
    const std::string longer(300, 'x');
    const struct {
        LogStore* view;
        std::string text, stored;
        bool to_file;
    } cases[] = {{&logv, "[CFG] No elf path in debugger.ini", "[CFG] No elf path in debugger.ini", true},
                 {&logv, longer, std::string(240, 'x'), true},
                 {&memmap_view, "R0   0x00000000", "R0   0x00000000", false},
                 {&memmap_view, longer, std::string(255, 'x'), false}};
    log_set_file_path(path_.c_str());
    std::string file;
    const std::regex stamp(R"(\[\d\d:\d\d:\d\d\.\d\d\d\] )");
    for (const auto& c : cases) {
        log_add_line(c.view, c.text.c_str());
        std::string got = log_row(c.view, log_count(c.view) - 1);
        if (c.to_file) {
            EXPECT_TRUE(std::regex_match(got.substr(0, 15), stamp)) << got;
            got = got.substr(15), file += log_row(c.view, log_count(c.view) - 1) + "\n";
        }
        EXPECT_EQ(got, c.stored);
        EXPECT_EQ(read_text_file(path_), file) << "the file holds exactly the stamped lines, already flushed";
    }
    log_set_file_path("/proc/kd-no-such-dir/debugger.log");
    log_addf(&logv, "[ELF] %d variables indexed", 17);
    EXPECT_EQ(log_row(&logv, 2).substr(15), "[ELF] 17 variables indexed");
}

TEST_F(LogPanel, RollsOverAt2048WithTagsMovingAlong) {
    for (int i = 0; i < LOG_CAPACITY; ++i)
        log_add_line_tagged(&periph_view, ("line " + std::to_string(i)).c_str(), (uint8_t)(i % 3));
    log_add_line_tagged(&periph_view, "newest", 2);
    log_add_line(&periph_view, "plain");  // an untagged line resets its slot's tag
    log_add_line(nullptr, "x");
    log_add_line(&periph_view, nullptr);
    ASSERT_EQ(log_count(&periph_view), 2048);
    const struct {
        int row;
        const char* text;
        uint8_t tag;
    } rows[] = {{0, "line 2", 2}, {2045, "line 2047", 2047 % 3}, {2046, "newest", 2}, {2047, "plain", 0}, {2048, "(none)", 99}};
    for (const auto& r : rows) {
        uint8_t tag = 99;
        EXPECT_EQ(log_row(&periph_view, r.row, &tag), r.text);
        EXPECT_EQ(tag, r.tag) << r.row;
    }
    log_clear(&periph_view);
}

// Wheel steps and drags against the panel's following of the newest line:
// it stops once the user scrolls away and resumes within one row of the bottom.
TEST_F(LogPanel, AutoscrollFollowsUntilTheUserScrollsAway) {
    add(40);
    const float bottom = 26.0f * 40 - 378;
    EXPECT_FLOAT_EQ(scroll_of(&log_panel), bottom);
    const struct {
        float wheel, set_scroll;  // set_scroll >= 0: a scroll-bar drag to there
        int add;
        float scroll;
        bool follows;
    } steps[] = {
        {1, -1, 0, bottom - 78, false},  // three rows up
        {0, -1, 1, bottom - 78, false},
        // The appended row moved the bottom one row away: back the same three
        // rows is exactly one row short, which is not "within" it.
        {-1, -1, 0, bottom, false},
        {0, 26.0f * 41 - 378 - 25, 1, 26.0f * 42 - 378, true},
        {0, 100, 0, 100, false},
        {50, -1, 0, 0, false},  // clamped at the top
    };
    for (const auto& s : steps) {
        if (s.set_scroll >= 0) {
            log_panel.scroll = s.set_scroll;
            sb_clamp(&log_panel);
        }
        log_scroll_wheel(&log_panel, s.wheel);
        add(s.add);
        EXPECT_FLOAT_EQ(scroll_of(&log_panel), s.scroll) << s.wheel << " " << s.set_scroll;
        EXPECT_EQ(log_panel.autoscroll, s.follows) << s.wheel << " " << s.set_scroll;
    }
}

TEST_F(LogPanel, ScrollBarHitAndDrag) {
    add(10);
    EXPECT_FALSE(sb_hit(&log_panel, 590, 100)) << "content that fits has no bar to hit";
    add(90);
    // The bar spans x 586..594 (600 - 8 - 6 .. 600 - 6), below the 22 px header.
    for (auto [x, y, hit] : {std::tuple{586, 23, true}, {594, 399, true}, {585, 100, false}, {595, 100, false},
                             {590, 21, false}, {590, 400, false}})
        EXPECT_EQ(sb_hit(&log_panel, x, y), hit) << x << "," << y;
    const float range = 2600 - 378, travel = 378 - 378.0f / 2600 * 378;
    log_sb_drag_begin(&log_panel, 200, true);
    EXPECT_FALSE(log_panel.autoscroll);
    float start = scroll_of(&log_panel);
    log_sb_drag_move(&log_panel, 150);
    EXPECT_NEAR(scroll_of(&log_panel), start - 50 * range / travel, 0.01);
    log_sb_drag_move(&log_panel, -10000);
    EXPECT_FLOAT_EQ(scroll_of(&log_panel), 0);
    EXPECT_FALSE(log_panel.autoscroll);
    log_sb_drag_move(&log_panel, 10000);
    EXPECT_FLOAT_EQ(scroll_of(&log_panel), range);
    EXPECT_TRUE(log_panel.autoscroll);
}

// Rows under the pointer of a panel at y 100 with three lines: the header
// strip and the space below the last line are no row.
TEST_F(LogPanel, RowsUnderThePointerAndCopying) {
    EXPECT_EQ(log_row_at(&log_panel, 30), -1) << "empty log";
    add(3);
    log_panel.y = 100;
    for (auto [y, row] : {std::pair{105.0, -1}, {121.9, -1}, {122.0, 0}, {122.0 + 26 * 2 + 25, 2}, {122.0 + 26 * 3, -1}})
        EXPECT_EQ(log_row_at(&log_panel, y), row) << y;
    log_panel.line_height = 0;
    EXPECT_EQ(log_row_at(&log_panel, 130), -1);
    log_panel.line_height = 26;  // as the program has it, for the suites after this one
    for (const char* t : {"first", "", "third"}) log_add_line(&memmap_view, t);
    EXPECT_EQ(log_copy_all(&memmap_view), "first\r\n\r\nthird\r\n");
    std::string one;
    for (auto [row, text] : {std::pair{2, "third"}, {3, nullptr}, {-1, nullptr}}) {
        one = "-";
        EXPECT_EQ(log_copy_line(&memmap_view, row, &one), text != nullptr) << row;
        EXPECT_EQ(one, text ? text : "-");
    }
}
