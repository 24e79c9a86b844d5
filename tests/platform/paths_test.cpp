// Where the settings live, and building paths.
#include <gtest/gtest.h>

#include "platform/paths.h"

TEST(SettingsFolder, ExecutableFolderWhenWritableElseXdgThenHome) {
    struct Case { const char* exe; bool writable; const char *xdg, *home, *want; } const cases[] = {
        {"/opt/kd/", true, "/x/cfg", "/home/u", "/opt/kd/"},
        {"/usr/local/bin/", false, "/x/cfg", "/home/u", "/x/cfg/korvane-debugger/"},
        {"/usr/local/bin/", false, nullptr, "/home/u", "/home/u/.config/korvane-debugger/"},
        // A relative XDG_CONFIG_HOME is invalid and must not put settings in the current folder.
        {"/usr/local/bin/", false, "cfg", "/home/u", "/home/u/.config/korvane-debugger/"},
        {"/usr/local/bin/", false, nullptr, nullptr, ""},
    };
    for (const Case& c : cases) {
        char out[256] = "x";
        EXPECT_EQ(plat_pick_settings_dir(c.exe, c.writable, c.xdg, c.home, out, sizeof out), *c.want != 0) << c.want;
        EXPECT_STREQ(out, c.want);
    }
}

TEST(PathBuilding, JoinRefusesInsteadOfCuttingAndBaseNamesSplitOnBothSeparators) {
    // 15 characters fit a 16-byte buffer; 16 do not, and nothing half-built is left behind.
    struct Join { const char *dir, *name, *want; } const joins[] = {
        {"/a/b", "c.ini", "/a/b/c.ini"}, {"/a/b/", "c.ini", "/a/b/c.ini"},
        {"/abcdefghij", "klm", "/abcdefghij/klm"}, {"/abcdefghij", "klmn", ""},
    };
    for (const Join& j : joins) {
        char out[16];
        EXPECT_EQ(path_join(j.dir, j.name, out, sizeof out), *j.want != 0) << j.want;
        EXPECT_STREQ(out, j.want);
    }
    for (const char* p : {"/home/u/fw/main.c", "C:\\fw\\src\\main.c", "C:\\fw/src\\main.c", "main.c"})
        EXPECT_STREQ(path_base_name(p), "main.c") << p;
    EXPECT_STREQ(path_base_name("/dir/"), "");
}
