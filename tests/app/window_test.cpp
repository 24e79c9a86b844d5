// The real program in a real (virtual) X server: what a person would see and do.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <sys/stat.h>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>

#include "tests/app/x11_harness.h"
#include "ui/layout.h"
#include "ui/theme.h"

namespace {

XServer g_x;

class Window : public ::testing::Test {
protected:
    static void SetUpTestSuite() { have_x_ = xserver_start(&g_x, 1280, 1024); }
    static void TearDownTestSuite() { xserver_stop(&g_x); }
    void SetUp() override {
        if (!have_x_) GTEST_SKIP() << "Xvfb is not installed (package xvfb)";
        dir_ = make_temp_dir("win");
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override {
        app_kill(&app_);
        if (!dir_.empty() && !HasFailure()) {
            std::string cmd = "rm -rf " + dir_;
            (void)!system(cmd.c_str());
        }
    }
    // Runs the program to completion; returns its exit code.
    int run(const std::vector<std::string>& args, int timeout_ms, std::string* out = nullptr) {
        if (!app_start(g_x, KORVANE_EXE, dir_, args, &app_)) return -2;
        return app_wait(&app_, timeout_ms, out);
    }
    Image screenshot_of(const std::vector<std::string>& extra) {
        std::vector<std::string> args = {"--screenshot", dir_ + "/shot.png"};
        args.insert(args.end(), extra.begin(), extra.end());
        EXPECT_EQ(run(args, 30000), 0);
        Image img;
        EXPECT_TRUE(image_load_png(dir_ + "/shot.png", &img));
        return img;
    }
    static bool have_x_;
    std::string dir_;
    AppProcess app_;
};
bool Window::have_x_ = false;

void expect_rgb(const Image& img, int x, int y, int r, int g, int b, const char* what) {
    ASSERT_LT(x, img.w);
    ASSERT_LT(y, img.h);
    const unsigned char* p = img.at(x, y);
    EXPECT_NEAR(p[0], r, 2) << what << " at " << x << "," << y;
    EXPECT_NEAR(p[1], g, 2) << what << " at " << x << "," << y;
    EXPECT_NEAR(p[2], b, 2) << what << " at " << x << "," << y;
}

int bright_pixels(const Image& img, int x0, int y0, int x1, int y1, int min_level) {
    int n = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) n += img.at(x, y)[0] >= min_level && img.at(x, y)[1] >= min_level;
    return n;
}

int dark_pixels(const Image& img, int x0, int y0, int x1, int y1, int max_level) {
    int n = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) n += img.at(x, y)[0] <= max_level && img.at(x, y)[1] <= max_level;
    return n;
}

}  // namespace

TEST_F(Window, DarkThemeFrameShowsTitleStripPanelAndLogText) {
    Image img = screenshot_of({});
    ASSERT_EQ(img.w, 800);
    ASSERT_EQ(img.h, 600);
    // At 800 x 600 the log row starts at y 448 (150 px high); Source spans 200-500,
    // its title and header buttons leaving 300-370 of its header strip bare.
    expect_rgb(img, 400, 15, 38, 38, 38, "title strip (titlebar_bg)");
    expect_rgb(img, 400, 29, 38, 38, 38, "last row of the 30 px title strip");
    expect_rgb(img, 400, 32, 26, 26, 26, "window background below the strip");
    expect_rgb(img, 330, 42, 31, 31, 31, "Source header strip (panel_bg)");
    expect_rgb(img, 400, 300, 23, 23, 23, "Source body (panel_bg x 0.75)");
    expect_rgb(img, 400, 452, 31, 31, 31, "log header strip");
    expect_rgb(img, 400, 430, 26, 26, 26, "toolbar strip between the rows");
    // The title in white at (10, 20).
    const float white[3] = {1, 1, 1};
    EXPECT_GT(text_match(img, 0, 0, "Korvane Debugger", 10, 20, white), 0.8);
    // Start-up lines fill the log's rows.
    for (int row = 0; row < 3; ++row) {
        int baseline = 448 + 22 + 26 * (row + 1);
        EXPECT_GT(bright_pixels(img, 30, baseline - 16, 500, baseline + 4, 180), 100) << "row " << row;
    }
    // Every start-up line is in the log file too.
    std::string log = read_text_file(dir_ + "/debugger.log");
    EXPECT_TRUE(std::regex_search(log, std::regex(R"(\[\d\d:\d\d:\d\d\.\d\d\d\] \[CFG\] No elf path in debugger\.ini\n)")));
    EXPECT_NE(log.find("[CFG] No svd path in debugger.ini\n"), std::string::npos);
    EXPECT_EQ(log.find("[GL]"), std::string::npos) << log;
    EXPECT_EQ(log.find("[FONT]"), std::string::npos) << log;
}

TEST_F(Window, LightThemeFrame) {
    Image img = screenshot_of({"--light"});
    ASSERT_EQ(img.w, 800);
    expect_rgb(img, 400, 32, 252, 245, 227, "window background");
    expect_rgb(img, 400, 15, 237, 232, 214, "title strip");
    expect_rgb(img, 400, 300, 252, 247, 229, "Source body (panel_bg + 0.06)");
    // Dark title text on the light strip.
    EXPECT_GT(dark_pixels(img, 8, 5, 200, 25, 60), 80);
}

TEST_F(Window, LargeWindowKeepsTitleStripHeightAndLogAtTheBottomEdge) {
    Image img = screenshot_of({"--size", "1920x1080"});
    ASSERT_EQ(img.w, 1920);
    ASSERT_EQ(img.h, 1080);
    expect_rgb(img, 1500, 29, 38, 38, 38, "title strip");
    expect_rgb(img, 1500, 31, 26, 26, 26, "below the strip");
    expect_rgb(img, 1500, 1000, 23, 23, 23, "log body near the bottom");
}

TEST_F(Window, AnIdleWindowStopsDrawing) {
    std::string out;
    ASSERT_EQ(run({"--exit-after", "5.5", "--stats"}, 30000, &out), 0);
    AppStats s = app_parse_stats(out);
    ASSERT_TRUE(s.ok) << out;
    // The first frame, then the FPS label's "1" and "0"; nothing after.
    EXPECT_GE(s.frames, 2);
    EXPECT_LE(s.frames, 4);
    EXPECT_LE(s.max_fps, 2);
    EXPECT_EQ(s.gl_errors, 0);
}

TEST_F(Window, ForcedRedrawsAreCappedAt30PerSecond) {
    std::string out;
    ASSERT_EQ(run({"--exit-after", "3.2", "--force-redraw", "--stats"}, 30000, &out), 0);
    AppStats s = app_parse_stats(out);
    ASSERT_TRUE(s.ok) << out;
    EXPECT_LE(s.max_fps, 30);
    EXPECT_LE(s.fps, 31.0);
    EXPECT_GE(s.fps, 10.0) << "llvmpipe should manage far more than this at 800 x 600";
    EXPECT_EQ(s.gl_errors, 0);
}

TEST_F(Window, SettingsFileIsReadAtStartUp) {
    std::string ini = "[Settings]\r\nelf=fw/app.elf\r\nsvd=\r\n";
    FILE* f = fopen((dir_ + "/debugger.ini").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs(ini.c_str(), f);
    fclose(f);
    std::string out;
    ASSERT_EQ(run({"--exit-after", "0.5"}, 30000, &out), 0);
    std::string log = read_text_file(dir_ + "/debugger.log");
    EXPECT_EQ(log.find("No elf path"), std::string::npos) << log;
    EXPECT_NE(log.find("[CFG] No svd path in debugger.ini"), std::string::npos) << log;
    // Start-up never rewrites the settings.
    EXPECT_EQ(read_text_file(dir_ + "/debugger.ini"), ini);
}

TEST_F(Window, ABadElfIsReportedAndTheProgramRunsWithoutSymbols) {
    FILE* f = fopen((dir_ + "/not_an.elf").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("this is a text file, not firmware\n", f);
    fclose(f);
    f = fopen((dir_ + "/debugger.ini").c_str(), "wb");
    fputs("[Settings]\r\nelf=not_an.elf\r\n", f);
    fclose(f);
    ASSERT_EQ(run({"--exit-after", "1"}, 30000), 0);
    std::string log = read_text_file(dir_ + "/debugger.log");
    EXPECT_NE(log.find("[ELF] Not a valid ELF file"), std::string::npos) << log;
    EXPECT_EQ(log.find("[ELF] Debug info loaded OK"), std::string::npos);
}

TEST_F(Window, RightClickCopyAllPutsTheLogOnTheClipboard) {
    if (!have_program("xdotool") || !have_program("xclip") || !have_program("import"))
        GTEST_SKIP() << "needs xdotool, xclip and ImageMagick's import";
    ASSERT_TRUE(app_start(g_x, KORVANE_EXE, dir_, {}, &app_));
    std::string wid;
    ASSERT_EQ(run_command({"xdotool", "search", "--sync", "--name", "Korvane Debugger"}, &g_x, 20000, &wid), 0);
    wid = wid.substr(0, wid.find('\n'));
    if (have_program("xprop")) {
        std::string icon;
        ASSERT_EQ(run_command({"xprop", "-id", wid, "_NET_WM_ICON"}, &g_x, 5000, &icon), 0);
        EXPECT_NE(icon.find("Icon (32 x 32)"), std::string::npos) << icon.substr(0, 200);
        EXPECT_NE(icon.find("Icon (16 x 16)"), std::string::npos);
    }
    std::string geom;
    ASSERT_EQ(run_command({"xdotool", "getwindowgeometry", "--shell", wid}, &g_x, 5000, &geom), 0);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(geom, m, std::regex(R"(X=(\d+)\s+Y=(\d+))"))) << geom;
    int wx = std::stoi(m[1]), wy = std::stoi(m[2]);
    auto at = [&](int x, int y) { return std::vector<std::string>{std::to_string(wx + x), std::to_string(wy + y)}; };
    auto xdo = [&](std::vector<std::string> a) {
        a.insert(a.begin(), "xdotool");
        return run_command(a, &g_x, 5000);
    };
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // Over the log (its row starts at y 448).
    const int my = 480;
    auto p = at(300, my);
    ASSERT_EQ(xdo({"mousemove", p[0], p[1]}), 0);
    ASSERT_EQ(xdo({"mousedown", "3"}), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    ASSERT_EQ(xdo({"mouseup", "3"}), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    ASSERT_EQ(run_command({"import", "-window", "root", dir_ + "/menu.png"}, &g_x, 10000), 0);
    Image img;
    ASSERT_TRUE(image_load_png(dir_ + "/menu.png", &img));
    // The menu opens at the pointer; its corner is rounded (background shows
    // through) while its inside is the menu body.
    // Radius 3 with a 1.5 px soft edge: the corner pixel is only partly covered.
    const unsigned char* corner = img.at(wx + 300, wy + my);
    EXPECT_GT(corner[0], 23 + 5) << "corner pixel should be partly the border";
    EXPECT_LT(corner[0], 51 - 5) << "corner pixel should be rounded off";
    expect_rgb(img, wx + 300 + 40, wy + my, 51, 51, 51, "menu border");
    expect_rgb(img, wx + 300 + 140, wy + my + 36, 38, 38, 38, "menu body");
    EXPECT_GT(bright_pixels(img, wx + 300, wy + my + 26, wx + 300 + 150, wy + my + 50, 180), 40)
        << "'Copy all' label";

    p = at(300 + 40, my + 2 + 24 + 12);  // second item
    ASSERT_EQ(xdo({"mousemove", p[0], p[1]}), 0);
    ASSERT_EQ(xdo({"mousedown", "1"}), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    ASSERT_EQ(xdo({"mouseup", "1"}), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string clip;
    ASSERT_EQ(run_command({"xclip", "-o", "-selection", "clipboard"}, &g_x, 5000, &clip), 0);
    std::string log = read_text_file(dir_ + "/debugger.log");
    std::string expected = std::regex_replace(log, std::regex("\n"), "\r\n");
    EXPECT_EQ(clip, expected);

    // The close button in the title strip ends the program cleanly.
    p = at(800 - 24 + 10, 15);
    ASSERT_EQ(xdo({"mousemove", p[0], p[1]}), 0);
    ASSERT_EQ(xdo({"mousedown", "1"}), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    ASSERT_EQ(xdo({"mouseup", "1"}), 0);
    EXPECT_EQ(app_wait(&app_, 10000), 0);
}

TEST_F(Window, WithoutFontsTextIsOffButTheWindowStillDraws) {
    // A fontconfig configuration with no font folders: nothing can be found.
    std::string conf = dir_ + "/fonts.conf";
    FILE* f = fopen(conf.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("<?xml version=\"1.0\"?><fontconfig><cachedir>" , f);
    fputs((dir_ + "/fc-cache").c_str(), f);
    fputs("</cachedir></fontconfig>\n", f);
    fclose(f);
    ASSERT_TRUE(app_start(g_x, KORVANE_EXE, dir_, {"--screenshot", dir_ + "/shot.png", "--stats"}, &app_,
                          {"FONTCONFIG_FILE=" + conf}));
    std::string out;
    ASSERT_EQ(app_wait(&app_, 30000, &out), 0) << out;
    EXPECT_NE(out.find("[FONT] DejaVu Sans not found. Text disabled."), std::string::npos) << out;
    EXPECT_NE(out.find("gl_error_frames=0"), std::string::npos) << out;
    std::string log = read_text_file(dir_ + "/debugger.log");
    EXPECT_NE(log.find("[FONT] No usable font (tried DejaVu Sans Mono, any monospace font, DejaVu Sans)"),
              std::string::npos) << log;
    Image img;
    ASSERT_TRUE(image_load_png(dir_ + "/shot.png", &img));
    expect_rgb(img, 400, 15, 38, 38, 38, "title strip");
    EXPECT_EQ(bright_pixels(img, 0, 0, 800, 600, 180), 0) << "no text can be drawn";
}

TEST(NoDisplay, FatalErrorIsReportedAndExitCodeIsMinusOne) {
    std::string dir = make_temp_dir("nodisp");
    AppProcess app;
    ASSERT_TRUE(app_start(no_display(), KORVANE_EXE, dir, {}, &app, {"PATH=/usr/bin:/bin"}));
    std::string out;
    EXPECT_EQ(app_wait(&app, 20000, &out), 255);
    EXPECT_NE(out.find("Fatal Error: GLFW init failed"), std::string::npos) << out;
}

TEST_F(Window, UnknownOptionIsRefused) {
    EXPECT_EQ(run({"--bogus"}, 10000), 2);
    EXPECT_EQ(run({"--size", "10x10"}, 10000), 2);
}

TEST_F(Window, DemoModeConnectsToTheSimulatedBoardAndLeavesTheSettingsAlone) {
    ASSERT_EQ(run({"--demo", "--exit-after", "3"}, 30000), 0);
    std::string log = read_text_file(dir_ + "/debugger.log");
    for (const char* line : {"[PRB] CMSIS-DAP v2 (Bulk) device opened", "[DAP] OK: DPIDR=0x2BA01477",
                             "[DAP] OK: dap_connect complete", "[PRB] Probe connected", "[PRB] Target running at connect",
                             "[PRB] Probe thread started", "[PRB] Probe stopped"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
    EXPECT_TRUE(read_text_file(dir_ + "/debugger.ini").empty());
    // Without --demo and without a probe the program says so and keeps running.
    ASSERT_EQ(run({"--exit-after", "2"}, 30000), 0);
    log = read_text_file(dir_ + "/debugger.log");
    EXPECT_NE(log.find("[PRB] No CMSIS-DAP probe found"), std::string::npos);
}

// The setup panel with a stand-in for the dialog program: Browse puts its
// answer into the ELF path, Save writes it and keeps the file's other sections.
TEST_F(Window, SetupPanelBrowsesAndSavesAPath) {
    if (!have_program("xdotool") || !have_program("import")) GTEST_SKIP() << "needs xdotool and ImageMagick's import";
    std::string chosen = dir_ + "/fw/app.elf";
    ASSERT_EQ(system(("mkdir -p " + dir_ + "/fw " + dir_ + "/bin").c_str()), 0);
    FILE* f = fopen(chosen.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fclose(f);
    f = fopen((dir_ + "/bin/zenity").c_str(), "w");
    ASSERT_NE(f, nullptr);
    // Answers like the real dialog: the path on stdout, exit 0.
    fprintf(f, "#!/bin/sh\necho \"$*\" > '%s/dialog_args'\necho '%s'\n", dir_.c_str(), chosen.c_str());
    fclose(f);
    chmod((dir_ + "/bin/zenity").c_str(), 0755);
    f = fopen((dir_ + "/debugger.ini").c_str(), "wb");
    fputs("[Settings]\r\nelf=\r\n\r\n[Packs]\r\ncache=keep me\r\n", f);
    fclose(f);
    std::string path_env = "PATH=" + dir_ + "/bin:" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
    ASSERT_TRUE(app_start(g_x, KORVANE_EXE, dir_, {"--size", "1280x800"}, &app_, {path_env}));
    std::string wid;
    ASSERT_EQ(run_command({"xdotool", "search", "--sync", "--name", "Korvane Debugger"}, &g_x, 20000, &wid), 0);
    wid = wid.substr(0, wid.find('\n'));
    std::string geom;
    ASSERT_EQ(run_command({"xdotool", "getwindowgeometry", "--shell", wid}, &g_x, 5000, &geom), 0);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(geom, m, std::regex(R"(X=(\d+)\s+Y=(\d+))"))) << geom;
    int wx = std::stoi(m[1]), wy = std::stoi(m[2]);
    auto click = [&](int x, int y) {
        ASSERT_EQ(run_command({"xdotool", "mousemove", std::to_string(wx + x), std::to_string(wy + y)}, &g_x, 5000), 0);
        ASSERT_EQ(run_command({"xdotool", "mousedown", "1"}, &g_x, 5000), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        ASSERT_EQ(run_command({"xdotool", "mouseup", "1"}, &g_x, 5000), 0);
    };
    auto wait_log = [&](const char* text) {
        for (int t = 0; t < 15000; t += 100) {
            if (read_text_file(dir_ + "/debugger.log").find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    };
    // With no paths configured the panel opens by itself.
    ASSERT_TRUE(layout_font_load());
    layout_reset();
    g_show_setup = true;
    ui_layout_pass(1280, 800);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    ASSERT_EQ(run_command({"import", "-window", "root", dir_ + "/setup.png"}, &g_x, 10000), 0);
    Image img;
    ASSERT_TRUE(image_load_png(dir_ + "/setup.png", &img));
    // The ELF row's "Browse" is underlined in the link colour: find it.
    Color3 link = g_theme_dark.dbg_btn_step;
    int row_y = (int)debug_box.y + 20, first = -1, last = -1;
    for (int x = (int)setup_box.x; x < (int)(setup_box.x + setup_box.w); ++x) {
        const unsigned char* p = img.at(wx + x, wy + row_y + 18);
        if (std::abs(p[0] - link.r * 255) < 40 && std::abs(p[1] - link.g * 255) < 40 && std::abs(p[2] - link.b * 255) < 40) {
            if (first < 0) first = x;
            last = x;
        }
    }
    ASSERT_GT(last - first, 40) << "the Browse link of the ELF row";
    click((first + last) / 2, row_y + 9);
    ASSERT_TRUE(wait_log("[CFG] elf = ")) << read_text_file(dir_ + "/debugger.log");
    EXPECT_NE(read_text_file(dir_ + "/dialog_args").find("--file-filter=ELF Files | *.elf"), std::string::npos);
    click((int)(setup_box.x + setup_box.w) - 64 - 15 - 2 + 32, (int)setup_box.y + 11);
    ASSERT_TRUE(wait_log("[CFG] Saved debugger.ini")) << read_text_file(dir_ + "/debugger.log");
    std::string ini = read_text_file(dir_ + "/debugger.ini");
    EXPECT_NE(ini.find("elf=" + chosen), std::string::npos) << ini;
    EXPECT_NE(ini.find("[Packs]"), std::string::npos) << ini;
    EXPECT_NE(ini.find("cache=keep me"), std::string::npos) << ini;
    // Save closes the panel: the Log spans the whole bottom row again.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    ASSERT_EQ(run_command({"import", "-window", "root", dir_ + "/saved.png"}, &g_x, 10000), 0);
    ASSERT_TRUE(image_load_png(dir_ + "/saved.png", &img));
    int title_px = 0;
    for (int y = (int)setup_box.y + 2; y < (int)setup_box.y + 20; ++y)
        for (int x = (int)setup_box.x + 10; x < (int)setup_box.x + 200; ++x) {
            const unsigned char* p = img.at(wx + x, wy + y);
            title_px += p[0] > 150 && p[2] < 90;  // the orange panel title
        }
    EXPECT_LT(title_px, 5) << "the setup panel's title is gone";
}
