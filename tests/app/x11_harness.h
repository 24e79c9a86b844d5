// Runs the real program in a private Xvfb server, looks at its frames and
// drives it with xdotool, as a person at the screen would.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <initializer_list>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "tests/test_util.h"

// How long a state may take to come: only a hang or a wrong state ends there.
constexpr int kPatienceMs = 60000;
bool wait_until(const std::function<bool()>& done, int timeout_ms = kPatienceMs);

struct XServer {
    int display = -1, width = 0, height = 0;
    pid_t pid = -1;
};
bool xserver_start(XServer* xs, int width, int height);
void xserver_stop(XServer* xs);

// Runs argv on the server (none: no display); the exit code, or -1 after timeout_ms (then killed).
int run_command(const std::vector<std::string>& argv, const XServer* xs, int timeout_ms, std::string* out = nullptr);

struct AppProcess {
    pid_t pid = -1;
    int out_fd = -1;
};
// Starts a copy of the program in `dir`, where its settings and log then live.
bool app_start(const XServer* xs, const std::string& exe, const std::string& dir, const std::vector<std::string>& args,
               AppProcess* app, const std::vector<std::string>& extra_env = {});
// Starts argv as it is (an installed program stays where it is) in `cwd`.
bool app_start_at(const XServer* xs, const std::vector<std::string>& argv, const std::string& cwd, AppProcess* app,
                  const std::vector<std::string>& extra_env = {});
// Waits for the program to end; its exit code, or -1 on timeout (then killed).
int app_wait(AppProcess* app, int timeout_ms = kPatienceMs, std::string* out = nullptr);
void app_kill(AppProcess* app);
// A number of the "[STATS]" lines the program prints at exit with --stats; NAN when missing.
double app_stat(const std::string& out, const char* key);

struct Image {
    int w = 0, h = 0;
    std::vector<unsigned char> rgba;
    const unsigned char* at(int x, int y) const { return &rgba[((size_t)y * w + x) * 4]; }
    bool load(const std::string& png);
};

// The program's font in this process's atlas, so the layout pass places things where the program does.
bool layout_font_load();
// Text as the program draws it: the same packed atlas, sampled linearly as the GL shader does.
bool text_font_load();
float text_width(const char* s);
// How closely img shows `s` drawn at window point (x, baseline) in colour rgb: about 1
// where it is drawn so, 0 or less where it is not. (ox, oy): the window's origin in img.
double text_match(const Image& img, int ox, int oy, const char* s, float x, float baseline, const float rgb[3]);

// The program's window on a private X server; every point is in window coordinates, every wait is for a state.
class Screen {
public:
    // The server and a fresh folder for the program; false, with the reason, when a tool is missing.
    bool open(int w, int h, std::string* why);
    // Ends the program and the server; the folder stays when `keep` (its screenshots show what went wrong).
    void close(bool keep);
    int run(const std::vector<std::string>& args, std::string* out = nullptr);  // to its end; the exit code
    // Starts the program and waits for its window and the log line `ready`; the window's place then.
    bool launch(const std::vector<std::string>& args, const char* ready);
    std::string log() const;
    bool wait_for_log(const std::string& text, size_t from = 0) const;

    int xdo(std::vector<std::string> args) const;
    bool move(double x, double y) const;
    // Button down, a short pause, button up: a person's click.
    bool click(double x, double y, int button = 1) const;
    template <class Box>
    bool click(const Box& b) const {
        return click(b.x + b.width / 2.0, b.y + b.height / 2.0);
    }
    // Wheel notches at (x, y): down when n > 0.
    bool wheel(double x, double y, int n) const;

    // The whole screen after a moment for the frame in flight; until `want` holds (a loaded machine draws late).
    Image shot(const char* name) const;
    bool seen(const char* name, const std::function<bool(const Image&)>& want) const;
    // Screenshots until `wrong` finds nothing wrong; what is still wrong, or "".
    std::string wrong_after(const char* name, const std::function<std::string(const Image&)>& wrong) const;
    // The first check that fails, or "" when all hold.
    static std::string failed(std::initializer_list<std::pair<bool, const char*>> checks);

    // Pixels of window rectangle [x0, x1) x [y0, y1) for which is(pixel) holds.
    template <class Pred>
    int count(const Image& i, float x0, float y0, float x1, float y1, Pred is) const {
        int n = 0;
        for (int y = std::max(0, oy + (int)y0); y < std::min(i.h, oy + (int)y1); ++y)
            for (int x = std::max(0, ox + (int)x0); x < std::min(i.w, ox + (int)x1); ++x) n += is(i.at(x, y));
        return n;
    }
    // A pixel within `tol` of colour c (any struct with r, g, b in 0..1) in each channel.
    template <class C>
    static auto near(const C& c, int tol) {
        return [r = c.r * 255, g = c.g * 255, b = c.b * 255, tol](const unsigned char* p) {
            return std::fabs(p[0] - r) < tol && std::fabs(p[1] - g) < tol && std::fabs(p[2] - b) < tol;
        };
    }
    // Text drawn as the program draws it; dark text on the light theme takes a lower bar.
    template <class C>
    bool text(const Image& i, const std::string& s, float x, float baseline, const C& c, double bar = 0.6) const {
        const float rgb[3] = {c.r, c.g, c.b};
        return text_match(i, ox, oy, s.c_str(), x, baseline, rgb) > bar;
    }
    // The first and last column of row y in [x0, x1) drawn in colour c (an underline); their distance, or -1.
    template <class C>
    int span(const Image& i, float y, float x0, float x1, const C& c, int* first, int* last) const {
        *first = *last = -1;
        auto like = near(c, 40);
        for (int x = (int)x0; x < (int)x1; ++x)
            if (like(i.at(ox + x, oy + (int)y))) *last = x, *first = *first < 0 ? x : *first;
        return *first < 0 ? -1 : *last - *first;
    }

    // A stand-in for the file dialog: it answers `path` and keeps its arguments in dir/dialog_args.
    bool answer_dialogs_with(const std::string& path);

    XServer x;
    std::string exe, dir, wid;
    std::vector<std::string> env;
    AppProcess app;
    int ox = 0, oy = 0, ww = 0, wh = 0;  // the window's origin and size
};

// A test on its own X server of W x H, with the program built beside the tests.
template <int W, int H>
class ScreenTest : public ::testing::Test, protected Screen {
protected:
    void SetUp() override {
        std::string why;
        if (!open(W, H, &why)) GTEST_SKIP() << why;
#ifdef KORVANE_EXE
        exe = KORVANE_EXE;
#endif
    }
    void TearDown() override { close(HasFailure()); }
};
