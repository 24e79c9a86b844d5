// The real program in a real (virtual) X server: what a person would see and do.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/app/x11_harness.h"
#include "ui/layout.h"
#include "ui/theme.h"

namespace {

XServer g_x;

class Window : public ::testing::Test, protected Screen {
protected:
    static void SetUpTestSuite() { have_x_ = xserver_start(&g_x, 1280, 1024); }
    static void TearDownTestSuite() { xserver_stop(&g_x); }
    void SetUp() override {
        if (!have_x_) GTEST_SKIP() << "Xvfb is not installed (package xvfb)";
        xs = &g_x, exe = KORVANE_EXE, dir = make_temp_dir("win");
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override {
        app_kill(&app);
        if (!dir.empty() && !HasFailure()) (void)!system(("rm -rf " + dir).c_str());
    }
    // Runs the program to completion; returns its exit code.
    int run(const std::vector<std::string>& args, std::string* out = nullptr) {
        if (!app_start(g_x, exe, dir, args, &app)) return -2;
        return app_wait(&app, kPatienceMs, out);
    }
    Image screenshot_of(const std::vector<std::string>& extra) {
        std::vector<std::string> args = {"--screenshot", dir + "/shot.png"};
        args.insert(args.end(), extra.begin(), extra.end());
        EXPECT_EQ(run(args), 0);
        Image img;
        EXPECT_TRUE(image_load_png(dir + "/shot.png", &img));
        return img;
    }
    // Window point (x, y) is this colour, give or take 2.
    void expect_rgb(const Image& img, int x, int y, int r, int g, int b, const char* what) {
        ASSERT_LT(ox + x, img.w);
        ASSERT_LT(oy + y, img.h);
        const unsigned char* p = img.at(ox + x, oy + y);
        EXPECT_NEAR(p[0], r, 2) << what << " at " << x << "," << y;
        EXPECT_NEAR(p[1], g, 2) << what << " at " << x << "," << y;
        EXPECT_NEAR(p[2], b, 2) << what << " at " << x << "," << y;
    }
    static bool have_x_;
};
bool Window::have_x_ = false;

// Red and green both at least `level`: light text on dark.
auto bright(int level) {
    return [level](const unsigned char* p) { return p[0] >= level && p[1] >= level; };
}

// A frame the program saves itself, per theme and size: the colours of the
// title strip, the panels and the log row, and the title's text.
struct Spot {
    int x, y, r, g, b;
    const char* what;
};
struct FrameCase {
    std::vector<std::string> args;
    int w, h;
    const Theme* theme;
    double title;  // how closely the title must match (dark text on light matches less closely)
    std::vector<Spot> spots;
    int log_rows;  // start-up lines drawn in the log's first rows
};
const FrameCase kFrames[] = {
    // At 800 x 600 the log row starts at y 448 (150 px high); Source spans 200-500,
    // its title and header buttons leaving 300-370 of its header strip bare.
    {{}, 800, 600, &g_theme_dark, 0.8,
     {{400, 15, 38, 38, 38, "title strip (titlebar_bg)"},
      {400, 29, 38, 38, 38, "last row of the 30 px title strip"},
      {400, 32, 26, 26, 26, "window background below the strip"},
      {330, 42, 31, 31, 31, "Source header strip (panel_bg)"},
      {400, 300, 23, 23, 23, "Source body (panel_bg x 0.75)"},
      {400, 452, 31, 31, 31, "log header strip"},
      {400, 430, 26, 26, 26, "toolbar strip between the rows"}},
     3},
    {{"--light"}, 800, 600, &g_theme_light, 0.4,
     {{400, 32, 252, 245, 227, "window background"},
      {400, 15, 237, 232, 214, "title strip"},
      {400, 300, 252, 247, 229, "Source body (panel_bg + 0.06)"}},
     0},
    // The title strip keeps its height and the log stays at the bottom edge.
    {{"--size", "1920x1080"}, 1920, 1080, &g_theme_dark, 0.8,
     {{1500, 29, 38, 38, 38, "title strip"},
      {1500, 31, 26, 26, 26, "below the strip"},
      {1500, 1000, 23, 23, 23, "log body near the bottom"}},
     0},
};

// What start-up reads and says: each line logged with its time stamp, and
// the settings never rewritten.
struct StartCase {
    const char* ini;  // debugger.ini, or none
    std::vector<const char*> logged, not_logged;
};
const StartCase kStarts[] = {
    {nullptr, {"[CFG] No elf path in debugger.ini\n", "[CFG] No svd path in debugger.ini\n"}, {}},
    {"[Settings]\r\nelf=fw/app.elf\r\nsvd=\r\n", {"[CFG] No svd path in debugger.ini"}, {"No elf path"}},
    // A bad ELF is reported and the program runs on without symbols.
    {"[Settings]\r\nelf=not_an.elf\r\n", {"[ELF] Not a valid ELF file"}, {"[ELF] Debug info loaded OK"}},
};

}  // namespace

TEST_F(Window, FramesOfEachThemeAndSize) {
    for (const FrameCase& c : kFrames) {
        SCOPED_TRACE(c.args.empty() ? "default" : c.args[0]);
        Image img = screenshot_of(c.args);
        ASSERT_EQ(img.w, c.w);
        ASSERT_EQ(img.h, c.h);
        for (const Spot& s : c.spots) expect_rgb(img, s.x, s.y, s.r, s.g, s.b, s.what);
        EXPECT_TRUE(text(img, "Korvane Debugger", 10, 20, c.theme->titlebar_text, c.title));
        for (int row = 0; row < c.log_rows; ++row) {
            int baseline = 448 + 22 + 26 * (row + 1);
            EXPECT_GT(count(img, 30, baseline - 16, 500, baseline + 4, bright(180)), 100) << "log row " << row;
        }
        std::string log = read_text_file(dir + "/debugger.log");
        EXPECT_EQ(log.find("[GL]"), std::string::npos) << log;
        EXPECT_EQ(log.find("[FONT]"), std::string::npos) << log;
    }
}

TEST_F(Window, AnIdleWindowStopsDrawing) {
    std::string out;
    ASSERT_EQ(run({"--exit-after", "5.5", "--stats"}, &out), 0);
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
    ASSERT_EQ(run({"--exit-after", "3.2", "--force-redraw", "--stats"}, &out), 0);
    AppStats s = app_parse_stats(out);
    ASSERT_TRUE(s.ok) << out;
    EXPECT_LE(s.max_fps, 30);
    EXPECT_LE(s.fps, 31.0);
    EXPECT_EQ(s.gl_errors, 0);
}

TEST_F(Window, StartUpReadsTheSettingsAndLogsWhatItFound) {
    ASSERT_TRUE(write_text_file(dir + "/not_an.elf", "this is a text file, not firmware\n"));
    for (const StartCase& c : kStarts) {
        SCOPED_TRACE(c.ini ? c.ini : "no debugger.ini");
        for (const char* f : {"debugger.ini", "debugger.log"}) unlink((dir + "/" + f).c_str());
        ASSERT_TRUE(!c.ini || write_text_file(dir + "/debugger.ini", c.ini));
        ASSERT_EQ(run({"--exit-after", "0.5"}), 0);
        std::string log = read_text_file(dir + "/debugger.log");
        for (const char* l : c.logged) {
            const std::string line = std::regex_replace(l, std::regex(R"([\[\].])"), "\\$&");
            EXPECT_TRUE(std::regex_search(log, std::regex(R"(\[\d\d:\d\d:\d\d\.\d\d\d\] )" + line))) << l << "\n" << log;
        }
        for (const char* l : c.not_logged) EXPECT_EQ(log.find(l), std::string::npos) << l << "\n" << log;
        EXPECT_EQ(read_text_file(dir + "/debugger.ini"), c.ini ? c.ini : "");
    }
}

TEST_F(Window, RightClickCopyAllPutsTheLogOnTheClipboard) {
    if (!have_program("xdotool") || !have_program("xclip") || !have_program("import"))
        GTEST_SKIP() << "needs xdotool, xclip and ImageMagick's import";
    ASSERT_TRUE(launch({}, "[PRB] Probe thread started"));
    if (have_program("xprop")) {
        std::string icon;
        ASSERT_EQ(run_command({"xprop", "-id", wid, "_NET_WM_ICON"}, &g_x, kPatienceMs, &icon), 0);
        EXPECT_NE(icon.find("Icon (32 x 32)"), std::string::npos) << icon.substr(0, 200);
        EXPECT_NE(icon.find("Icon (16 x 16)"), std::string::npos);
    }
    // Over the log (its row starts at y 448).
    const int mx = 300, my = 480;
    ASSERT_TRUE(click(mx, my, 3));
    Image img = shot_until("menu", [&](const Image& i) { return count(i, mx + 40, my, mx + 41, my + 1, near(Color3{0.2f, 0.2f, 0.2f}, 3)); });
    // The menu opens at the pointer; its corner is rounded (background shows
    // through) while its inside is the menu body.
    // Radius 3 with a 1.5 px soft edge: the corner pixel is only partly covered.
    const unsigned char* corner = img.at(ox + mx, oy + my);
    EXPECT_GT(corner[0], 23 + 5) << "corner pixel should be partly the border";
    EXPECT_LT(corner[0], 51 - 5) << "corner pixel should be rounded off";
    expect_rgb(img, mx + 40, my, 51, 51, 51, "menu border");
    expect_rgb(img, mx + 140, my + 36, 38, 38, 38, "menu body");
    EXPECT_GT(count(img, mx, my + 26, mx + 150, my + 50, bright(180)), 40) << "'Copy all' label";

    ASSERT_TRUE(click(mx + 40, my + 2 + 24 + 12));  // second item
    std::string clip;
    auto copied = [&] {
        clip.clear();
        return run_command({"xclip", "-o", "-selection", "clipboard"}, &g_x, kPatienceMs, &clip) == 0;
    };
    ASSERT_TRUE(wait_until(copied)) << "nothing on the clipboard";
    EXPECT_EQ(clip, std::regex_replace(log(), std::regex("\n"), "\r\n"));

    // The close button in the title strip ends the program cleanly.
    ASSERT_TRUE(click(800 - 24 + 10, 15));
    EXPECT_EQ(app_wait(&app, kPatienceMs), 0);
}

TEST_F(Window, WithoutFontsTextIsOffButTheWindowStillDraws) {
    // A fontconfig configuration with no font folders: nothing can be found.
    const std::string conf = dir + "/fonts.conf";
    ASSERT_TRUE(write_text_file(conf, "<?xml version=\"1.0\"?><fontconfig><cachedir>" + dir + "/fc-cache</cachedir></fontconfig>\n"));
    ASSERT_TRUE(app_start(g_x, exe, dir, {"--screenshot", dir + "/shot.png", "--stats"}, &app,
                          {"FONTCONFIG_FILE=" + conf}));
    std::string out;
    ASSERT_EQ(app_wait(&app, kPatienceMs, &out), 0) << out;
    EXPECT_NE(out.find("[FONT] DejaVu Sans not found. Text disabled."), std::string::npos) << out;
    EXPECT_NE(out.find("gl_error_frames=0"), std::string::npos) << out;
    std::string log = read_text_file(dir + "/debugger.log");
    EXPECT_NE(log.find("[FONT] No usable font (tried DejaVu Sans Mono, any monospace font, DejaVu Sans)"),
              std::string::npos) << log;
    Image img;
    ASSERT_TRUE(image_load_png(dir + "/shot.png", &img));
    expect_rgb(img, 400, 15, 38, 38, 38, "title strip");
    EXPECT_EQ(count(img, 0, 0, 800, 600, bright(180)), 0) << "no text can be drawn";
}

TEST(NoDisplay, FatalErrorIsReportedAndExitCodeIsMinusOne) {
    std::string dir = make_temp_dir("nodisp");
    AppProcess app;
    ASSERT_TRUE(app_start(no_display(), KORVANE_EXE, dir, {}, &app, {"PATH=/usr/bin:/bin"}));
    std::string out;
    EXPECT_EQ(app_wait(&app, kPatienceMs, &out), 255);
    EXPECT_NE(out.find("Fatal Error: GLFW init failed"), std::string::npos) << out;
    if (!HasFailure()) (void)!system(("rm -rf " + dir).c_str());
}

TEST_F(Window, UnknownOptionIsRefused) {
    EXPECT_EQ(run({"--bogus"}), 2);
    EXPECT_EQ(run({"--size", "10x10"}), 2);
}

TEST_F(Window, DemoModeConnectsToTheSimulatedBoardAndLeavesTheSettingsAlone) {
    ASSERT_TRUE(app_start(g_x, exe, dir, {"--demo"}, &app));
    ASSERT_TRUE(wait_for_log("[PRB] Target running at connect")) << log();
    ASSERT_EQ(app_end(&app), 0);
    for (const char* line : {"[PRB] CMSIS-DAP v2 (Bulk) device opened", "[DAP] OK: DPIDR=0x2BA01477",
                             "[DAP] OK: dap_connect complete", "[PRB] Probe connected", "[PRB] Probe thread started",
                             "[PRB] Probe stopped"})
        EXPECT_NE(log().find(line), std::string::npos) << line;
    EXPECT_TRUE(read_text_file(dir + "/debugger.ini").empty());
    // Without --demo and without a probe the program says so and keeps running.
    ASSERT_TRUE(app_start(g_x, exe, dir, {}, &app));
    EXPECT_TRUE(wait_for_log("[PRB] No CMSIS-DAP probe found")) << log();
    EXPECT_EQ(app_end(&app), 0);
}

// The setup panel with a stand-in for the dialog program: Browse puts its
// answer into the ELF path, Save writes it and keeps the file's other sections.
TEST_F(Window, SetupPanelBrowsesAndSavesAPath) {
    if (!have_program("xdotool") || !have_program("import")) GTEST_SKIP() << "needs xdotool and ImageMagick's import";
    const std::string chosen = dir + "/fw/app.elf";
    ASSERT_EQ(mkdir((dir + "/fw").c_str(), 0755), 0);
    ASSERT_TRUE(write_text_file(chosen, ""));
    ASSERT_TRUE(write_text_file(dir + "/debugger.ini", "[Settings]\r\nelf=\r\n\r\n[Packs]\r\ncache=keep me\r\n"));
    ASSERT_TRUE(answer_dialogs_with(chosen));
    ASSERT_TRUE(launch({"--size", "1280x800"}, "[PRB] Probe thread started"));
    // With no paths configured the panel opens by itself.
    ASSERT_TRUE(layout_font_load());
    layout_reset();
    g_show_setup = true;
    ui_layout_pass(1280, 800);
    // The ELF row's "Browse" is underlined in the link colour: find it.
    const int row_y = (int)debug_box.y + 20;
    int first, last;
    auto link = [&](const Image& i) {
        return span(i, row_y + 18, setup_box.x, setup_box.x + setup_box.w, g_theme_dark.dbg_btn_step, &first, &last);
    };
    ASSERT_TRUE(seen("setup", [&](const Image& i) { return link(i) > 40; })) << "the Browse link of the ELF row";
    click((first + last) / 2, row_y + 9);
    ASSERT_TRUE(wait_for_log("[CFG] elf = ")) << log();
    EXPECT_NE(read_text_file(dir + "/dialog_args").find("--file-filter=ELF Files | *.elf"), std::string::npos);
    click((int)(setup_box.x + setup_box.w) - 64 - 15 - 2 + 32, (int)setup_box.y + 11);
    ASSERT_TRUE(wait_for_log("[CFG] Saved debugger.ini")) << log();
    std::string ini = read_text_file(dir + "/debugger.ini");
    EXPECT_NE(ini.find("elf=" + chosen), std::string::npos) << ini;
    EXPECT_NE(ini.find("[Packs]"), std::string::npos) << ini;
    EXPECT_NE(ini.find("cache=keep me"), std::string::npos) << ini;
    // Save closes the panel: the Log spans the whole bottom row again.
    auto title = [&](const Image& i) {  // the panel's title, in orange
        auto orange = [](const unsigned char* p) { return p[0] > 150 && p[2] < 90; };
        return count(i, setup_box.x + 10, setup_box.y + 2, setup_box.x + 200, setup_box.y + 20, orange);
    };
    EXPECT_TRUE(seen("saved", [&](const Image& i) { return title(i) < 5; })) << "the setup panel's title is gone";
}
