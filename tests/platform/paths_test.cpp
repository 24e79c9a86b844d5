// Where the settings live, and building paths.
#include <gtest/gtest.h>

#include "platform/paths.h"

TEST(SettingsFolder, ExecutableFolderWhenWritableAndNotInstalledElseXdgThenHome) {
    struct Case { const char* exe; bool writable, installed; const char *xdg, *home, *want; } const cases[] = {
        {"/opt/kd/", true, false, "/x/cfg", "/home/u", "/opt/kd/"},
        {"/usr/local/bin/", false, false, "/x/cfg", "/home/u", "/x/cfg/korvane-debugger/"},
        {"/usr/local/bin/", false, false, nullptr, "/home/u", "/home/u/.config/korvane-debugger/"},
        // A relative XDG_CONFIG_HOME is invalid and must not put settings in the current folder.
        {"/usr/local/bin/", false, false, "cfg", "/home/u", "/home/u/.config/korvane-debugger/"},
        {"/usr/local/bin/", false, false, nullptr, nullptr, ""},
        // An installed program's bin/ is shared even where it can be written (root, a user's own prefix).
        {"/usr/bin/", true, true, "/x/cfg", "/home/u", "/x/cfg/korvane-debugger/"},
        {"/home/u/.local/bin/", true, true, nullptr, "/home/u", "/home/u/.config/korvane-debugger/"},
    };
    for (const Case& c : cases) {
        char out[256] = "x";
        EXPECT_EQ(plat_pick_settings_dir(c.exe, c.writable, c.installed, c.xdg, c.home, out, sizeof out), *c.want != 0)
            << c.want;
        EXPECT_STREQ(out, c.want);
    }
}

TEST(DataFolder, TheParentOfTheExecutablesFolderHoldsShare) {
    struct Case { const char *exe, *want; } const cases[] = {
        {"/usr/bin/", "/usr/share/korvane-debugger/"}, {"/opt/kd/bin//", "/opt/kd/share/korvane-debugger/"},
        {"/bin", "/share/korvane-debugger/"}, {"/", ""}, {"bin/", ""},  // no parent; not a place
        {"/opt/kdx/bin/", ""},  // refused, not cut: 32 characters and the NUL do not fit 32 bytes
    };
    for (const Case& c : cases) {
        char out[32] = "x";
        EXPECT_EQ(plat_pick_data_dir(c.exe, out, sizeof out), *c.want != 0) << c.exe;
        EXPECT_STREQ(out, c.want) << c.exe;
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
