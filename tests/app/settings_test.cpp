#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>

#include "app/settings.h"
#include "app/setup_actions.h"
#include "ui/layout.h"
#include "ui/setup_panel.h"
#include "ui/ui_callbacks.h"
#include "ui/log_view.h"
#include "tests/test_util.h"

namespace {

std::string abs_of(const char* value, const char* folder) {
    char buf[CFG_PATH_LEN];
    snprintf(buf, sizeof buf, "%s", value);
    EXPECT_TRUE(make_abs_against(buf, sizeof buf, folder));
    return buf;
}

int log_count_of(const std::string& needle) {
    char line[LOG_LINE_LEN];
    int n = 0;
    for (int i = 0; i < log_count(&logv); ++i) n += log_line(&logv, i, line, sizeof line, nullptr) && strstr(line, needle.c_str());
    return n;
}
bool log_has(const std::string& needle) { return log_count_of(needle) > 0; }

class Settings : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(tmp_.path.empty());
        config_override_folder(dir_.c_str());
        log_set_file_path("");
        log_clear(&logv);
    }
    void TearDown() override { config_override_folder(""); }
    TempDir tmp_{"kd_cfg"};
    const std::string dir_ = tmp_.path + "/", ini_ = dir_ + "debugger.ini";
};

}  // namespace

TEST(MakeAbsolute, RelativePathsResolveAgainstTheSettingsFolder) {
    EXPECT_EQ(abs_of("fw/app.elf", "/opt/tools/"), "/opt/tools/fw/app.elf");
    EXPECT_EQ(abs_of(".", "/opt/tools/"), "/opt/tools");  // the folder itself, no trailing '/'
    EXPECT_EQ(abs_of("   /srv/fw/app.elf  ", "/opt/tools/"), "/srv/fw/app.elf");
    EXPECT_EQ(abs_of("  fw/app.elf ", "/opt/tools/"), "/opt/tools/fw/app.elf");
    EXPECT_EQ(abs_of("/", "/opt/tools/"), "/");
    EXPECT_EQ(abs_of("", "/opt/tools/"), "");
    EXPECT_EQ(abs_of("    ", "/opt/tools/"), "");
    // Backslashes and drive letters are not separators or roots here.
    EXPECT_EQ(abs_of("C:/fw/app.elf", "/opt/tools/"), "/opt/tools/C:/fw/app.elf");
    EXPECT_EQ(abs_of("src\\main.c", "/opt/tools/"), "/opt/tools/src\\main.c");
    // Without a folder the current one is meant.
    EXPECT_EQ(abs_of("app.elf", ""), "./app.elf");
}

TEST(MakeAbsolute, TooLongResultIsRefusedNotCut) {
    std::string folder = "/" + std::string(240, 'd') + "/";
    char buf[CFG_PATH_LEN];
    snprintf(buf, sizeof buf, "%s", "firmware/build/app.elf");  // 242 + 22 > 259
    EXPECT_FALSE(make_abs_against(buf, sizeof buf, folder.c_str()));
    EXPECT_STREQ(buf, "");
    snprintf(buf, sizeof buf, "%s", std::string(17, 'a').c_str());  // exactly 259
    EXPECT_TRUE(make_abs_against(buf, sizeof buf, folder.c_str()));
    EXPECT_EQ(strlen(buf), 259u);
}

TEST_F(Settings, LoadMakesPathsAbsoluteAndSaveWritesThemBackKeepingTheRest) {
    const std::string original =
        "; Korvane settings\r\n"
        "[settings]\r\n"
        "ELF = \"fw/app.elf\"\r\n"
        "svd=  /opt/svd/STM32F407.svd  \r\n"
        "elf=ignored-duplicate.elf\r\n"
        "\r\n"
        "[pdsc_cache.MCXA153]\r\n"
        "pdsc_file=NXP.MCXA153_DFP.pdsc\r\n"
        "pdsc_mtime=1234\r\n";
    ASSERT_TRUE(write_text_file(ini_, original));
    config_load();
    EXPECT_EQ(std::string(g_cfg_ini), ini_);
    EXPECT_EQ(std::string(g_cfg_elf), dir_ + "fw/app.elf");
    EXPECT_STREQ(g_cfg_svd, "/opt/svd/STM32F407.svd");
    EXPECT_STREQ(g_cfg_arm_svd, "");
    EXPECT_STREQ(g_cfg_bin, "");
    EXPECT_STREQ(g_src_root_dir, "");

    snprintf(g_cfg_bin, CFG_PATH_LEN, "%s", "/srv/fw/app.hex");
    ASSERT_TRUE(config_save());
    EXPECT_TRUE(log_has("[CFG] Saved debugger.ini"));
    std::string saved = read_text_file(ini_);
    // The pack cache section and the comment come through byte for byte.
    EXPECT_EQ(saved.substr(0, 20), "; Korvane settings\r\n");
    EXPECT_NE(saved.find("[pdsc_cache.MCXA153]\r\npdsc_file=NXP.MCXA153_DFP.pdsc\r\npdsc_mtime=1234\r\n"),
              std::string::npos);
    EXPECT_NE(saved.find("elf=" + dir_ + "fw/app.elf\r\n"), std::string::npos);
    EXPECT_NE(saved.find("bin=/srv/fw/app.hex\r\n"), std::string::npos);
    // Loading what was saved gives the same settings.
    config_load();
    EXPECT_EQ(std::string(g_cfg_elf), dir_ + "fw/app.elf");
    EXPECT_STREQ(g_cfg_bin, "/srv/fw/app.hex");
}

TEST_F(Settings, MissingFileGivesEmptyDefaults) {
    snprintf(g_cfg_elf, CFG_PATH_LEN, "%s", "stale");
    config_load();
    EXPECT_STREQ(g_cfg_elf, "");
    EXPECT_STREQ(g_cfg_svd, "");
    struct stat st;
    EXPECT_NE(stat(ini_.c_str(), &st), 0);  // loading never creates the file
}

TEST_F(Settings, OverlongValuesAreRefusedWithALogLine) {
    ASSERT_TRUE(write_text_file(ini_, "[Settings]\nelf=" + std::string(300, 'e') + "\nsvd=" + std::string(250, 's') + "\nbin=ok.bin\n"));
    config_load();
    EXPECT_STREQ(g_cfg_elf, "");
    EXPECT_TRUE(log_has("[CFG] Value of 'elf' is longer than 259 characters, ignored"));
    // 250 characters fit the buffer but not once the folder is put in front.
    EXPECT_STREQ(g_cfg_svd, "");
    EXPECT_TRUE(log_has("[CFG] Path of 'svd' too long once made absolute"));
    EXPECT_EQ(std::string(g_cfg_bin), dir_ + "ok.bin");
}

TEST_F(Settings, FailedSaveIsReportedAndNotShownAsSuccess) {
    config_load();
    config_override_folder("/proc/kd-no-such-folder/");
    snprintf(g_cfg_elf, CFG_PATH_LEN, "%s", "/srv/app.elf");
    EXPECT_FALSE(config_save());
    EXPECT_TRUE(log_has("[CFG] Save failed: "));
    EXPECT_FALSE(log_has("[CFG] Saved debugger.ini"));
}

// The setup panel's Save: a failed save keeps the panel open, a good one closes it.
TEST_F(Settings, SaveFromTheSetupPanelClosesItOnlyWhenTheFileWasWritten) {
    config_load();
    g_show_setup = true;
    BtnSetupSave.x = 100;
    BtnSetupSave.y = 50;
    auto press_save = [] {
        ui_on_mouse_button(UI_MOUSE_LEFT, UI_PRESS, 110, 55);
        ui_on_mouse_button(UI_MOUSE_LEFT, UI_RELEASE, 110, 55);
        setup_take_clicks();
    };
    config_override_folder("/proc/kd-no-such-folder/");
    press_save();
    EXPECT_TRUE(log_has("[CFG] Save failed: "));
    EXPECT_TRUE(g_show_setup) << "the panel stays open";
    config_override_folder(dir_.c_str());
    press_save();
    EXPECT_TRUE(log_has("[CFG] Saved debugger.ini"));
    EXPECT_FALSE(g_show_setup);
    // Hidden, its buttons cannot be pressed.
    press_save();
    EXPECT_EQ(log_count_of("[CFG] Saved debugger.ini"), 1);
}
