#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fatal.h"
#include "platform/paths.h"
#include "tests/test_util.h"

TEST(SettingsFolder, ExecutableFolderWhenWritableElseXdgThenHome) {
    char out[256];
    ASSERT_TRUE(plat_pick_settings_dir("/opt/kd/", true, "/x/cfg", "/home/u", out, sizeof out));
    EXPECT_STREQ(out, "/opt/kd/");
    ASSERT_TRUE(plat_pick_settings_dir("/usr/local/bin/", false, "/x/cfg", "/home/u", out, sizeof out));
    EXPECT_STREQ(out, "/x/cfg/korvane-debugger/");
    ASSERT_TRUE(plat_pick_settings_dir("/usr/local/bin/", false, nullptr, "/home/u", out, sizeof out));
    EXPECT_STREQ(out, "/home/u/.config/korvane-debugger/");
    // A relative XDG_CONFIG_HOME is invalid and must not put settings in the current folder.
    ASSERT_TRUE(plat_pick_settings_dir("/usr/local/bin/", false, "cfg", "/home/u", out, sizeof out));
    EXPECT_STREQ(out, "/home/u/.config/korvane-debugger/");
    EXPECT_FALSE(plat_pick_settings_dir("/usr/local/bin/", false, nullptr, nullptr, out, sizeof out));
    EXPECT_STREQ(out, "");
}

TEST(SettingsFolder, RealProcessUsesItsOwnWritableFolder) {
    char dir[4096], exe_dir[4096];
    bool fallback = true;
    ASSERT_TRUE(plat_exe_dir(exe_dir, sizeof exe_dir));
    ASSERT_TRUE(plat_settings_dir(dir, sizeof dir, &fallback));
    EXPECT_FALSE(fallback);
    EXPECT_STREQ(dir, exe_dir);
    EXPECT_EQ(dir[strlen(dir) - 1], '/');
}

TEST(PathBuilding, RefusesInsteadOfCutting) {
    char out[16];
    EXPECT_TRUE(path_join("/a/b", "c.ini", out, sizeof out));
    EXPECT_STREQ(out, "/a/b/c.ini");
    EXPECT_TRUE(path_join("/a/b/", "c.ini", out, sizeof out));
    EXPECT_STREQ(out, "/a/b/c.ini");
    // 15 characters fit a 16-byte buffer; 16 do not, and nothing half-built is left behind.
    EXPECT_TRUE(path_join("/abcdefghij", "klm", out, sizeof out));
    EXPECT_STREQ(out, "/abcdefghij/klm");
    EXPECT_FALSE(path_join("/abcdefghij", "klmn", out, sizeof out));
    EXPECT_STREQ(out, "");
}

TEST(PathBuilding, BaseNameSplitsOnBothSeparators) {
    EXPECT_STREQ(path_base_name("/home/u/fw/main.c"), "main.c");
    EXPECT_STREQ(path_base_name("C:\\fw\\src\\main.c"), "main.c");
    EXPECT_STREQ(path_base_name("C:\\fw/src\\main.c"), "main.c");
    EXPECT_STREQ(path_base_name("main.c"), "main.c");
    EXPECT_STREQ(path_base_name("/dir/"), "");
}

TEST(FileSystem, WritableProbeAndDirectoryCreation) {
    TempDir tmp("kd_paths");
    const std::string base = tmp.path;
    ASSERT_FALSE(base.empty());
    EXPECT_TRUE(plat_dir_writable(base.c_str()));
    EXPECT_FALSE(plat_dir_writable((base + "/missing").c_str()));
    // Even root cannot create files here; access(W_OK) would claim otherwise.
    EXPECT_FALSE(plat_dir_writable("/proc/"));
    std::string deep = base + "/a/b/c";
    ASSERT_TRUE(plat_make_dirs(deep.c_str()));
    struct stat st;
    ASSERT_EQ(stat(deep.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_TRUE(plat_make_dirs(deep.c_str()));  // existing is fine
    const std::string file = base + "/f";
    ASSERT_TRUE(write_text_file(file, ""));
    EXPECT_TRUE(plat_file_exists(file.c_str()));
    EXPECT_FALSE(plat_file_exists(deep.c_str()));  // a folder is not a file
    EXPECT_FALSE(plat_make_dirs((file + "/sub").c_str()));
}

