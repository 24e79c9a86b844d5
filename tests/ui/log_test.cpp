#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

#include "tests/test_util.h"
#include "ui/log_view.h"

namespace {

void reset_view(LogView* v, float line_height, float height, bool autoscroll) {
    log_clear(v->store);
    log_view_follow(v);
    v->line_height = line_height;
    v->x = 0;
    v->y = 0;
    v->width = 600;
    v->height = height;
    v->autoscroll = autoscroll;
    v->sb_inset = 6;
}

std::string line_of(LogStore* s, int row) {
    char buf[LOG_LINE_LEN];
    log_line(s, row, buf, sizeof buf, nullptr);
    return buf;
}

// The panel's scroll once it has followed its store, as it is drawn.
float scroll_of(LogView* v) {
    log_view_follow(v);
    return v->scroll;
}

class LogPanel : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path.empty());
        log_set_file_path(path_.c_str());
        reset_view(&log_panel, 26, 400, true);
        reset_view(&memmap_panel, 26, 260, false);
    }
    void TearDown() override { log_set_file_path(""); }
    TempDir dir_{"kd_log"};
    const std::string path_ = dir_ / "debugger.log";
};

}  // namespace

TEST_F(LogPanel, StampsLogLinesAndMirrorsThemToTheFile) {
    log_add_line(&logv, "[CFG] No elf path in debugger.ini");
    log_addf(&logv, "[ELF] %d variables indexed", 17);
    ASSERT_EQ(log_count(&logv), 2);
    std::regex stamped(R"(\[\d\d:\d\d:\d\d\.\d\d\d\] \[CFG\] No elf path in debugger\.ini)");
    EXPECT_TRUE(std::regex_match(line_of(&logv, 0), stamped)) << line_of(&logv, 0);
    EXPECT_EQ(line_of(&logv, 1).substr(15), "[ELF] 17 variables indexed");
    // The file holds exactly the stamped lines, one per line, already flushed.
    EXPECT_EQ(read_text_file(path_), line_of(&logv, 0) + "\n" + line_of(&logv, 1) + "\n");
    // Other views are never stamped and never reach the file.
    log_add_line(&memmap_view, "R0   0x00000000");
    EXPECT_EQ(line_of(&memmap_view, 0), "R0   0x00000000");
    EXPECT_EQ(read_text_file(path_).find("R0"), std::string::npos);
}

TEST_F(LogPanel, LongLineIsCutTo255CharactersInPanelAndFile) {
    std::string text(300, 'x');
    log_add_line(&logv, text.c_str());
    std::string stored = line_of(&logv, 0);
    EXPECT_EQ(stored.size(), 255u);
    EXPECT_EQ(stored.substr(15), std::string(240, 'x'));
    EXPECT_EQ(read_text_file(path_), stored + "\n");
    log_add_line(&memmap_view, text.c_str());
    EXPECT_EQ(line_of(&memmap_view, 0), std::string(255, 'x'));
}

TEST_F(LogPanel, RollsOverAt2048WithTagsMovingAlong) {
    log_set_file_path("");
    reset_view(&periph_panel, 20, 400, false);
    for (int i = 0; i < LOG_CAPACITY; ++i) {
        char t[32];
        snprintf(t, sizeof t, "line %d", i);
        log_add_line_tagged(&periph_view, t, (uint8_t)(i % 3));
    }
    ASSERT_EQ(log_count(&periph_view), 2048);
    log_add_line_tagged(&periph_view, "newest", 2);
    ASSERT_EQ(log_count(&periph_view), 2048);
    uint8_t tag = 99;
    char buf[LOG_LINE_LEN];
    ASSERT_TRUE(log_line(&periph_view, 0, buf, sizeof buf, &tag));
    EXPECT_STREQ(buf, "line 1");
    EXPECT_EQ(tag, 1);
    ASSERT_TRUE(log_line(&periph_view, 2046, buf, sizeof buf, &tag));
    EXPECT_STREQ(buf, "line 2047");
    EXPECT_EQ(tag, 2047 % 3);
    ASSERT_TRUE(log_line(&periph_view, 2047, buf, sizeof buf, &tag));
    EXPECT_STREQ(buf, "newest");
    EXPECT_EQ(tag, 2);
    // Untagged appends reset the slot's tag.
    log_add_line(&periph_view, "plain");
    ASSERT_TRUE(log_line(&periph_view, 2047, buf, sizeof buf, &tag));
    EXPECT_EQ(tag, 0);
    ASSERT_TRUE(log_line(&periph_view, 2046, buf, sizeof buf, &tag));
    EXPECT_STREQ(buf, "newest");
    EXPECT_EQ(tag, 2);
    EXPECT_FALSE(log_line(&periph_view, 2048, buf, sizeof buf, &tag));
    log_add_line(nullptr, "x");
    log_add_line(&periph_view, nullptr);
    EXPECT_EQ(log_count(&periph_view), 2048);
    log_clear(&periph_view);
}

TEST_F(LogPanel, AutoscrollFollowsUntilTheUserScrollsAway) {
    log_set_file_path("");
    // 400 px panel: 378 px of rows = 14.5 rows of 26 px.
    for (int i = 0; i < 40; ++i) log_add_line(&logv, "x");
    float bottom = 26.0f * 40 - 378;
    EXPECT_FLOAT_EQ(scroll_of(&log_panel), bottom);
    log_scroll_wheel(&log_panel, 1);  // three rows up: no longer following
    EXPECT_FLOAT_EQ(scroll_of(&log_panel), bottom - 78);
    EXPECT_FALSE(log_panel.autoscroll);
    log_add_line(&logv, "x");
    EXPECT_FLOAT_EQ(scroll_of(&log_panel), bottom - 78);
    // The appended row moved the bottom away by one row: scrolling back the
    // same three rows lands exactly one row short, which is not "within" it.
    log_scroll_wheel(&log_panel, -1);
    EXPECT_FALSE(log_panel.autoscroll);
    // Dragging to within one row of the bottom resumes following.
    log_panel.scroll = 26.0f * 41 - 378 - 25;
    sb_clamp(&log_panel);
    EXPECT_TRUE(log_panel.autoscroll);
    log_add_line(&logv, "x");
    EXPECT_FLOAT_EQ(scroll_of(&log_panel), 26.0f * 42 - 378);
    // A zero wheel offset changes nothing.
    log_panel.scroll = 100;
    log_panel.autoscroll = false;
    log_scroll_wheel(&log_panel, 0);
    EXPECT_FLOAT_EQ(scroll_of(&log_panel), 100);
    EXPECT_FALSE(log_panel.autoscroll);
    // Wheel clamps at the top.
    log_scroll_wheel(&log_panel, 50);
    EXPECT_FLOAT_EQ(scroll_of(&log_panel), 0);
}

TEST_F(LogPanel, ScrollBarHitAndDrag) {
    log_set_file_path("");
    for (int i = 0; i < 10; ++i) log_add_line(&logv, "x");
    // Content (260 px) fits the 378 px rows area: there is no bar to hit.
    EXPECT_FALSE(sb_hit(&log_panel, 590, 100));
    for (int i = 0; i < 90; ++i) log_add_line(&logv, "x");
    // The bar spans x 586..594 (600 - 8 - 6 .. 600 - 6), below the 22 px header.
    EXPECT_TRUE(sb_hit(&log_panel, 586, 23));
    EXPECT_TRUE(sb_hit(&log_panel, 594, 399));
    EXPECT_FALSE(sb_hit(&log_panel, 585, 100));
    EXPECT_FALSE(sb_hit(&log_panel, 595, 100));
    EXPECT_FALSE(sb_hit(&log_panel, 590, 21));
    EXPECT_FALSE(sb_hit(&log_panel, 590, 400));

    float content = 2600, visible = 378, range = content - visible;
    float thumb = std::max(8.0f, visible / content * visible), travel = visible - thumb;
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

TEST_F(LogPanel, RowUnderCursorIgnoresHeaderAndSpaceBelowTheLastLine) {
    log_set_file_path("");
    EXPECT_EQ(log_row_at(&log_panel, 30), -1);  // empty log
    for (int i = 0; i < 3; ++i) log_add_line(&logv, "x");
    log_panel.y = 100;
    EXPECT_EQ(log_row_at(&log_panel, 105), -1);  // header strip, not row 0
    EXPECT_EQ(log_row_at(&log_panel, 121.9), -1);
    EXPECT_EQ(log_row_at(&log_panel, 122), 0);
    EXPECT_EQ(log_row_at(&log_panel, 122 + 26 * 2 + 25), 2);
    EXPECT_EQ(log_row_at(&log_panel, 122 + 26 * 3), -1);  // below the last line
    log_panel.line_height = 0;
    EXPECT_EQ(log_row_at(&log_panel, 130), -1);
}

TEST_F(LogPanel, CopyAllJoinsLinesWithCrLf) {
    log_set_file_path("");
    log_add_line(&memmap_view, "first");
    log_add_line(&memmap_view, "");
    log_add_line(&memmap_view, "third");
    EXPECT_EQ(log_copy_all(&memmap_view), "first\r\n\r\nthird\r\n");
    std::string one;
    EXPECT_TRUE(log_copy_line(&memmap_view, 2, &one));
    EXPECT_EQ(one, "third");
    EXPECT_FALSE(log_copy_line(&memmap_view, 3, &one));
    EXPECT_FALSE(log_copy_line(&memmap_view, -1, &one));
}

TEST_F(LogPanel, FileThatCannotBeCreatedLeavesThePanelWorking) {
    log_set_file_path("/proc/kd-no-such-dir/debugger.log");
    log_add_line(&logv, "still shown");
    EXPECT_EQ(log_count(&logv), 1);
    EXPECT_EQ(line_of(&logv, 0).substr(15), "still shown");
}

// Both threads append to the log; a line must never be torn or lost and the
// file must hold every line whole. Run under ThreadSanitizer in CI as well.
TEST_F(LogPanel, TwoThreadsAppendingNeverTearLines) {
    const int per_thread = 3000;
    auto writer = [](char id) {
        char text[200];
        memset(text, id, sizeof text - 1);
        text[sizeof text - 1] = 0;
        for (int i = 0; i < per_thread; ++i) {
            log_add_line(&logv, text);
            if (i % 64 == 0) log_scroll_wheel(&log_panel, 1);
        }
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    for (int i = 0; i < 2000; ++i) {
        std::string all = log_copy_all(&logv);
        (void)all;
        log_row_at(&log_panel, 300);
    }
    a.join();
    b.join();
    EXPECT_EQ(log_count(&logv), LOG_CAPACITY);
    char buf[LOG_LINE_LEN];
    for (int i = 0; i < LOG_CAPACITY; ++i) {
        ASSERT_TRUE(log_line(&logv, i, buf, sizeof buf, nullptr));
        std::string body = std::string(buf).substr(15);
        ASSERT_EQ(body.size(), 199u);
        ASSERT_TRUE(body == std::string(199, 'a') || body == std::string(199, 'b')) << "torn line " << i;
    }
    std::istringstream file(read_text_file(path_));
    std::string line;
    int lines = 0, as = 0;
    while (std::getline(file, line)) {
        ++lines;
        std::string body = line.substr(15);
        ASSERT_TRUE(body == std::string(199, 'a') || body == std::string(199, 'b')) << "torn file line " << lines;
        as += body[0] == 'a';
    }
    EXPECT_EQ(lines, 2 * per_thread);
    EXPECT_EQ(as, per_thread);
}
