// The session record: what a hostile [Session] section leaves of itself, what
// a save keeps of the file and where an unreachable window goes.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "app/session.h"
#include "tests/test_util.h"
#include "tests/log_lines.h"

namespace {

// What the record writes back: key -> value, removed keys left out.
std::map<std::string, std::string> written(const SessionRecord& r) {
    std::vector<SessionKey> keys;
    session_keys(r, &keys);
    std::map<std::string, std::string> m;
    for (const SessionKey& k : keys)
        if (!k.remove) m[k.key] = k.value;
    return m;
}

struct Hostile {
    const char* body;  // lines of [Session]
    const char* log;   // "" when nothing is wrong
    const char* key;
    const char* kept;  // what is written back for the key; nullptr: nothing
};

const Hostile kHostile[] = {
    {"window_width=abc\nwindow_height=500", "window_width=abc ignored (not a size)", "window_width", nullptr},
    {"window_width=10\nwindow_height=600", "window_width=10 out of range, 300 used", "window_width", "300"},
    {"window_width=800\nwindow_height=99999999", "window_height=99999999 out of range, 16384 used", "window_height", "16384"},
    {"window_x=99999999\nwindow_y=0", "window_x=99999999 ignored (not a screen position)", "window_x", nullptr},
    {"window_x=-40\nwindow_y=12", "", "window_x", "-40"},
    {"theme=Purple", "theme=Purple ignored (not Light or Dark)", "theme", nullptr},
    {"theme=LIGHT", "", "theme", "Light"},
    {"panels=source,bogus,,plot", "unknown panel 'bogus' ignored", "panels", "source,plot"},
    {"maximized=maybe", "maximized=maybe ignored (not 0 or 1)", "maximized", "0"},
    {"split_top=0.2,nan,0.5,0.9", "split_top=0.2,nan,0.5,0.9 ignored (not fractions", "split_top", "-1,-1,-1,-1"},
    {"split_log=1.5", "split_log=1.5 ignored (not a fraction", "split_log", "-1"},
    {"elf=/fw.elf\nwatch1=\nwatch2=g_x", "watch1= ignored (empty)", "watch1", "g_x"},
    {"elf=/fw.elf\nwatch1=g_\x01x\nwatch2=g_y", "watch1=... ignored (control character)", "watch1", "g_y"},
    {"elf=/fw.elf\nplot=99\nwatch1=a", "plot=99 ignored (not a list of watch numbers)", "plot", nullptr},
    {"elf=/fw.elf\nplot=1,1\nwatch1=a", "plot=1,1 ignored (not a list of watch numbers)", "plot", nullptr},
    {"elf=/fw.elf\nplot=1,\nwatch1=a", "", "plot", "1"},
    // Watch numbers close up over the missing ones; the curves keep their order (and colours).
    {"elf=/fw.elf\nwatch2=a\nwatch4=b\nplot=4,2", "", "plot", "2,1"},
    {"elf=/fw.elf\nwatch1=a\nwatch1_expanded=2", "watch1_expanded=2 ignored (not 0 or 1)", "watch1_expanded", nullptr},
    {"elf=/fw.elf\nbkpt1=main.c:0", "bkpt1=main.c:0 ignored (not file:line)", "bkpt1", nullptr},
    {"elf=/fw.elf\nbkpt1=main.c:99999999999", "not file:line", "bkpt1", nullptr},
    {"elf=/fw.elf\nbkpt1=C:\\src\\main.c:42\nbkpt1_disabled=1", "", "bkpt1_disabled", "1"},
    {"elf=/fw.elf\nbkpt3=ns::run", "", "bkpt1", "ns::run"},
    {"elf=\nwatch1=a", "", "watch1", nullptr},
};

}  // namespace

TEST(Session, HostileValuesAreIgnoredWithALineAndTheRestIsKept) {
    log_set_file_path("");
    for (const Hostile& h : kHostile) {
        SCOPED_TRACE(h.body);
        log_clear(&logv);
        SessionRecord r;
        int ignored = session_parse(std::string("[Settings]\nelf=x\n[Session]\n") + h.body + "\n[After]\nk=v\n", &r);
        EXPECT_EQ(ignored > 0, h.log[0] != 0);
        EXPECT_TRUE(!h.log[0] || log_lines_with(h.log) == 1) << log_row(&logv, 0);
        auto m = written(r);
        EXPECT_EQ(m.count(h.key) ? m[h.key] : "(none)", h.kept ? h.kept : "(none)");
    }
    // A value longer than any path.
    SessionRecord r;
    log_clear(&logv);
    EXPECT_EQ(session_parse("[Session]\nelf=/" + std::string(400, 'a') + "\n", &r), 1);
    EXPECT_EQ(log_lines_with("elf=... ignored (too long)"), 1);
}

TEST(Session, ASaveReadsBackAndLeavesNoListEntryPastTheEnd) {
    TempDir tmp("kd_session");
    const std::string ini = tmp / "debugger.ini", head = "[Packs]\r\ncache=1\r\n[Session]\r\n; mine\r\n";
    ASSERT_TRUE(write_text_file(ini, head + "watch3=stale\r\n"));
    SessionRecord r, back;
    session_parse("[Session]\nwindow_x=5\nwindow_y=6\nwindow_width=700\nwindow_height=500\ntheme=Dark\npanels=log,plot\n"
                  "split_log=0.75\nelf=/fw.elf\nwatch1=a\nwatch1_in=main\nwatch2=b\nwatch2_expanded=1\nplot=2\n"
                  "bkpt1=main.c:7\nbkpt2=init\nbkpt2_disabled=1\n", &r);
    ASSERT_TRUE(session_write(ini.c_str(), r));
    EXPECT_EQ(session_parse(read_text_file(ini), &back), 0);
    EXPECT_EQ(written(back), written(r));
    r.watch_count = 1;  // fewer than the file holds
    r.bkpt_count = 0;
    ASSERT_TRUE(session_write(ini.c_str(), r));
    r.elf[0] = 0;  // without an image the file keeps the last one's lists
    ASSERT_TRUE(session_write(ini.c_str(), r));
    std::string text = read_text_file(ini);
    EXPECT_EQ(text.rfind(head, 0), 0u) << text;
    EXPECT_NE(text.find("watch1=a\r\nwatch1_in=main\r\n"), std::string::npos) << text;
    for (const char* gone : {"watch2", "watch3", "bkpt", "plot="}) EXPECT_EQ(text.find(gone), std::string::npos) << gone;
}

TEST(Session, AWindowNoMonitorShowsComesBackOnScreen) {
    const UiRect mons[2] = {{0, 0, 1920, 1040}, {1920, 0, 1280, 1024}};
    const struct {
        UiRect in, out;
        int monitors;
    } rows[] = {
        {{100, 100, 800, 600}, {100, 100, 800, 600}, 2},
        {{2000, 50, 800, 600}, {2000, 50, 800, 600}, 2},        // on the second monitor
        {{-740, 100, 800, 600}, {-740, 100, 800, 600}, 2},      // 60 px of title strip still to grab
        {{-760, 100, 800, 600}, {0, 100, 800, 600}, 2},
        {{9000, 100, 800, 600}, {1120, 100, 800, 600}, 2},      // right of everything: onto the primary
        {{3000, 1010, 800, 600}, {2400, 424, 800, 600}, 2},      // its strip below the second's bottom
        {{100, -500, 800, 600}, {100, 0, 800, 600}, 2},
        {{5000, 5000, 4000, 3000}, {0, 0, 1920, 1040}, 2},
        {{10, 10, 50, 20}, {10, 10, 300, 200}, 2},              // below the minimum
        {{9000, 9000, 800, 600}, {9000, 9000, 800, 600}, 0},    // no monitor known: left alone
    };
    for (const auto& row : rows) {
        UiRect r = row.in;
        auto xywh = [](const UiRect& q) { return std::vector<int>{q.x, q.y, q.w, q.h}; };
        EXPECT_EQ(session_fit_window(&r, mons, row.monitors), xywh(row.in) != xywh(row.out)) << row.in.x << "," << row.in.y;
        EXPECT_EQ(xywh(r), xywh(row.out)) << row.in.x << "," << row.in.y;
    }
}
