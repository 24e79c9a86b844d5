#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/settings.h"
#include "flash/flash_job.h"
#include "app/setup_actions.h"
#include "tests/test_util.h"
#include "tests/log_lines.h"
#include "ui/layout.h"
#include "ui/setup_panel.h"
#include "ui/ui_callbacks.h"

namespace {

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

// The result in a buffer of exactly `cap` bytes, or refused (buffer emptied):
// a cut path could name another file.
TEST(MakeAbsolute, RelativePathsResolveAgainstTheFolderOrAreRefusedWhole) {
    const std::string tools = "/opt/tools/", deep = "/" + std::string(240, 'd') + "/";  // 242 characters
    const struct {
        std::string value, folder, want;
        bool ok = true;
        size_t cap = CFG_PATH_LEN;
    } cases[] = {
        {"fw/app.elf", tools, "/opt/tools/fw/app.elf"},
        {".", tools, "/opt/tools"},  // the folder itself, no trailing '/'
        {"   /srv/fw/app.elf  ", tools, "/srv/fw/app.elf"},
        {"  fw/app.elf ", tools, "/opt/tools/fw/app.elf"},
        {"/", tools, "/"},
        {"", tools, ""},
        {"    ", tools, ""},
        // Backslashes and drive letters are not separators or roots here.
        {"C:/fw/app.elf", tools, "/opt/tools/C:/fw/app.elf"},
        {"src\\main.c", tools, "/opt/tools/src\\main.c"},
        {"app.elf", "", "./app.elf"},  // without a folder the current one is meant
        {"firmware/build/app.elf", deep, "", false},
        {std::string(17, 'a'), deep, deep + std::string(17, 'a')},  // 259 and its NUL
        {std::string(18, 'a'), deep, "", false},                    // 260: no room for the NUL
        {"ab", tools, "/opt/tools/ab", true, 14},
        {"abc", tools, "", false, 14},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value + " in " + std::to_string(c.cap));
        std::vector<char> buf(c.cap);  // on the heap, so a write past it is seen
        snprintf(buf.data(), c.cap, "%s", c.value.c_str());
        EXPECT_EQ(make_abs_against(buf.data(), c.cap, c.folder.c_str()), c.ok);
        EXPECT_EQ(std::string(buf.data()), c.want);
    }
}

// A file read: paths made absolute ("$" is the settings folder), values too
// long refused with a line; a missing file gives empty paths and is not created.
TEST_F(Settings, LoadTakesWhatFitsAndSaysWhatItRefused) {
    const std::string overlong =
        "[Settings]\nelf=" + std::string(300, 'e') + "\nsvd=" + std::string(250, 's') + "\nbin=ok.bin\n";
    const struct {
        std::string ini;
        std::string elf, svd, bin, log;
        FlashRoute route = FLASH_ROUTE_AUTO;
    } rows[] = {
        {"[settings]\r\nELF = \"fw/app.elf\"\r\nsvd=  /opt/svd/STM32F407.svd  \r\nelf=dup.elf\r\nflash_route=Pack\r\n",
         "$fw/app.elf", "/opt/svd/STM32F407.svd", "", "", FLASH_ROUTE_PACK},
        {"", "", "", "", ""},
        // 250 characters fit the buffer but not once the folder is put in front.
        {overlong, "", "", "$ok.bin",
         "[CFG] Value of 'elf' is longer than 259 characters, ignored|[CFG] Path of 'svd' too long once made absolute"},
        {"[Settings]\nflash_route=native\n", "", "", "", "", FLASH_ROUTE_NATIVE},
        {"[Settings]\nflash_route=fast\n", "", "", "", "[CFG] flash_route is auto, native or pack, not 'fast': auto"},
    };
    auto at = [&](const std::string& s) { return s[0] == '$' ? dir_ + s.substr(1) : s; };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.ini.substr(0, 40));
        std::remove(ini_.c_str());
        ASSERT_TRUE(r.ini.empty() || write_text_file(ini_, r.ini));
        snprintf(g_cfg_elf, CFG_PATH_LEN, "%s", "stale");
        flash_set_route(FLASH_ROUTE_NATIVE);  // a route from before is not kept
        log_clear(&logv);
        config_load();
        EXPECT_EQ(g_cfg_elf, at(r.elf));
        EXPECT_EQ(g_cfg_svd, at(r.svd));
        EXPECT_EQ(g_cfg_bin, at(r.bin));
        EXPECT_STREQ(g_cfg_arm_svd, "");
        EXPECT_EQ(flash_route(), r.route);
        EXPECT_EQ(read_text_file(ini_), r.ini) << "loading never writes";
        EXPECT_EQ(access(ini_.c_str(), F_OK) == 0, !r.ini.empty()) << "nor creates the file";
        for (size_t b = 0, e; b < r.log.size(); b = e + 1) {
            e = std::min(r.log.find('|', b), r.log.size());
            EXPECT_EQ(log_lines_with(r.log.substr(b, e - b)), 1) << r.log.substr(b, e - b);
        }
    }
}

// The setup panel's Save: a failed save says so and keeps the panel open, a
// good one writes the paths and closes it; hidden, its buttons cannot be pressed.
TEST_F(Settings, AFailedSaveIsReportedAndKeepsTheSetupPanelOpen) {
    ASSERT_TRUE(write_text_file(ini_, "[settings]\r\nelf=fw/app.elf\r\n"));
    config_load();
    snprintf(g_cfg_bin, CFG_PATH_LEN, "%s", "/srv/fw/app.hex");
    g_show_setup = true;
    BtnSetupSave.x = 100;
    BtnSetupSave.y = 50;
    const struct {
        const char* folder;
        int failed, saved;
        bool open;
    } steps[] = {{"/proc/kd-no-such-folder/", 1, 0, true}, {nullptr, 1, 1, false}, {nullptr, 1, 1, false}};
    for (const auto& s : steps) {
        config_override_folder(s.folder ? s.folder : dir_.c_str());
        ui_on_mouse_button(UI_MOUSE_LEFT, UI_PRESS, 110, 55);
        ui_on_mouse_button(UI_MOUSE_LEFT, UI_RELEASE, 110, 55);
        setup_take_clicks();
        EXPECT_EQ(log_lines_with("[CFG] Save failed: "), s.failed);
        EXPECT_EQ(log_lines_with("[CFG] Saved debugger.ini"), s.saved);
        EXPECT_EQ(g_show_setup, s.open);
    }
    for (const std::string& line : {"elf=" + dir_ + "fw/app.elf\r\n", std::string("bin=/srv/fw/app.hex\r\n")})
        EXPECT_NE(read_text_file(ini_).find(line), std::string::npos) << line;
    config_override_folder("/proc/kd-no-such-folder/");
    EXPECT_FALSE(config_save());
}
