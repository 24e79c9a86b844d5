// The real program in a real (virtual) X server: what a person would see and do.
#include <regex>
#include <string>
#include <unistd.h>

#include "tests/app/x11_harness.h"
#include "ui/theme.h"

namespace {

using Window = ScreenTest<1280, 1024>;

// Red and green both at least 180: light text on dark.
bool bright(const unsigned char* p) { return p[0] >= 180 && p[1] >= 180; }

// Window point (x, y) has this colour, give or take 2.
struct Spot { int x, y, r, g, b; const char* what; };
std::string off(const Image& img, const Spot& s) {
    const unsigned char* p = img.at(s.x, s.y);
    return std::abs(p[0] - s.r) > 2 || std::abs(p[1] - s.g) > 2 || std::abs(p[2] - s.b) > 2
               ? std::string(s.what) + ": " + std::to_string(p[0]) + "," + std::to_string(p[1]) + "," + std::to_string(p[2])
               : "";
}

// A frame the program saves itself, per theme: the colours at spots, the title's text (dark
// on light matches less closely) and the start-up lines drawn in the log's first rows.
struct FrameCase { std::vector<std::string> args; const Theme* theme; double title; std::vector<Spot> spots; int log_rows; };
const FrameCase kFrames[] = {
    // At 800 x 600 the log row starts at y 448 (150 px high); Source spans 200-500,
    // its title and header buttons leaving 300-370 of its header strip bare.
    {{}, &g_theme_dark, 0.8,
     {{400, 15, 38, 38, 38, "title strip"}, {400, 29, 38, 38, 38, "last row of the 30 px title strip"},
      {400, 32, 26, 26, 26, "window background below the strip"}, {330, 42, 31, 31, 31, "Source header strip"},
      {400, 300, 23, 23, 23, "Source body"}, {400, 452, 31, 31, 31, "log header strip"},
      {400, 430, 26, 26, 26, "toolbar strip between the rows"}},
     3},
    {{"--light"}, &g_theme_light, 0.4,
     {{400, 32, 252, 245, 227, "window background"}, {400, 15, 237, 232, 214, "title strip"},
      {400, 300, 252, 247, 229, "Source body"}},
     0},
};

// What a start with this debugger.ini (or none) reads and says: its exit code, its output,
// each line logged with its time stamp, and the settings never rewritten.
struct StartCase {
    std::vector<std::string> args;
    const char* ini = nullptr;
    int code = 0;
    std::vector<const char*> said = {}, logged = {}, not_logged = {};
    bool display = true, fonts = true;
};
const StartCase kStarts[] = {
    {.args = {"--exit-after", "0.5"}, .logged = {"[CFG] No elf path in debugger.ini\n", "[CFG] No svd path in debugger.ini\n"}},
    {.args = {"--exit-after", "0.5"}, .ini = "[Settings]\r\nelf=fw/app.elf\r\nsvd=\r\n", .logged = {"[CFG] No svd path in debugger.ini"},
     .not_logged = {"No elf path"}},
    // A bad ELF is reported and the program runs on without symbols.
    {.args = {"--exit-after", "0.5"}, .ini = "[Settings]\r\nelf=not_an.elf\r\n", .logged = {"[ELF] Not a valid ELF file"},
     .not_logged = {"[ELF] Debug info loaded OK"}},
    {.args = {"--bogus"}, .code = 2, .said = {"korvane-debugger: unknown option '--bogus'"}},
    {.args = {"--size", "10x10"}, .code = 2, .said = {"--size needs WxH of at least 300x200, not '10x10'"}},
    {.args = {}, .code = 255, .said = {"Fatal Error: GLFW init failed"}, .display = false},
    // Without fonts the text is off, but the window still draws (looked at below).
    {.args = {"--screenshot", "shot.png", "--stats"}, .said = {"[FONT] DejaVu Sans not found. Text disabled.", "gl_error_frames=0"},
     .logged = {"[FONT] No usable font (tried DejaVu Sans Mono, any monospace font, DejaVu Sans)"}, .fonts = false},
};

}  // namespace

TEST_F(Window, FramesOfEachTheme) {
    for (const FrameCase& c : kFrames) {
        SCOPED_TRACE(c.args.empty() ? "default" : c.args[0]);
        std::vector<std::string> args = {"--screenshot", dir + "/shot.png"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Image img;
        ASSERT_EQ(run(args), 0);
        ASSERT_TRUE(img.load(dir + "/shot.png"));
        ASSERT_EQ(std::make_pair(img.w, img.h), std::make_pair(800, 600));
        for (const Spot& s : c.spots) EXPECT_EQ(off(img, s), "");
        EXPECT_TRUE(text(img, "Korvane Debugger", 10, 20, c.theme->titlebar_text, c.title));
        for (int row = 0, bl = 448 + 22 + 26; row < c.log_rows; ++row, bl += 26)
            EXPECT_GT(count(img, 30, bl - 16, 500, bl + 4, bright), 100) << "log row " << row;
        EXPECT_FALSE(std::regex_search(log(), std::regex(R"(\[GL\]|\[FONT\])"))) << log();
    }
}

// Frames drawn in a run, counted by the program: idle, only the first and the
// FPS label's "1" and "0"; forced, never more than 30 in any second.
TEST_F(Window, AnIdleWindowRestsAndForcedRedrawsAreCapped) {
    std::string idle, forced;
    ASSERT_EQ(run({"--exit-after", "5.5", "--stats"}, &idle), 0);
    EXPECT_TRUE(app_stat(idle, "frames") >= 2 && app_stat(idle, "frames") <= 4) << idle;
    EXPECT_LE(app_stat(idle, "max_fps_1s"), 2) << idle;
    ASSERT_EQ(run({"--exit-after", "3.2", "--force-redraw", "--stats"}, &forced), 0);
    EXPECT_LE(app_stat(forced, "max_fps_1s"), 30) << forced;
    for (const std::string* out : {&idle, &forced}) EXPECT_EQ(app_stat(*out, "gl_error_frames"), 0) << *out;
    if (app_stat(forced, "max_fps_1s") < 29) GTEST_SKIP() << "the machine never drew 29 frames in a second: the cap went untried";
}

TEST_F(Window, StartsReadTheSettingsAndSayWhatTheyFound) {
    ASSERT_TRUE(write_text_file(dir + "/not_an.elf", "this is a text file, not firmware\n"));
    const std::string conf = dir + "/fonts.conf";  // no font folders: nothing can be found
    ASSERT_TRUE(write_text_file(conf, "<?xml version=\"1.0\"?><fontconfig><cachedir>" + dir + "/fc-cache</cachedir></fontconfig>\n"));
    for (const StartCase& c : kStarts) {
        SCOPED_TRACE((c.args.empty() ? "no display" : c.args[0]) + (c.ini ? c.ini : ""));
        for (const char* f : {"debugger.ini", "debugger.log"}) unlink((dir + "/" + f).c_str());
        ASSERT_TRUE(!c.ini || write_text_file(dir + "/debugger.ini", c.ini));
        std::string out;
        ASSERT_TRUE(app_start(c.display ? &x : nullptr, exe, dir, c.args, &app, {"PATH=/usr/bin:/bin", c.fonts ? "" : "FONTCONFIG_FILE=" + conf}));
        EXPECT_EQ(app_wait(&app, kPatienceMs, &out), c.code) << out;
        for (const char* l : c.said) EXPECT_NE(out.find(l), std::string::npos) << l << "\n" << out;
        for (const char* l : c.logged) {
            const std::string line = std::regex_replace(l, std::regex(R"([\[\]().])"), "\\$&");
            EXPECT_TRUE(std::regex_search(log(), std::regex(R"(\[\d\d:\d\d:\d\d\.\d\d\d\] )" + line))) << l << "\n" << log();
        }
        for (const char* l : c.not_logged) EXPECT_EQ(log().find(l), std::string::npos) << l << "\n" << log();
        EXPECT_EQ(read_text_file(dir + "/debugger.ini"), c.ini ? c.ini : "");
    }
    Image img;
    ASSERT_TRUE(img.load(dir + "/shot.png"));
    EXPECT_EQ(off(img, {400, 15, 38, 38, 38, "title strip"}), "");
    EXPECT_EQ(count(img, 0, 0, 800, 600, bright), 0) << "no text can be drawn";
}
