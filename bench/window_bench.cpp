// Runs the real program under a private Xvfb and reports what the window costs:
// frames per second idle (the FPS label alone), while the mouse moves over an
// empty area (should add none), and under forced redraws (capped at 30), and
// what one frame with every panel open costs at 1920 x 1080 (empty and with the
// demo target's source, registers and log) and at 800 x 600: its time (llvmpipe,
// measured with glFinish) and its GL calls.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "tests/app/x11_harness.h"

static AppStats finish(AppProcess* app, const std::string& dir) {
    std::string out;
    bool ok = app_wait(app, 120000, &out) == 0;
    std::string cmd = "rm -rf " + dir;
    (void)!system(cmd.c_str());
    return ok ? app_parse_stats(out) : AppStats{};
}

static AppStats run_app(const XServer& x, const char* exe, const std::vector<std::string>& args) {
    std::string dir = make_temp_dir("bench");
    AppProcess app;
    if (dir.empty() || !app_start(x, exe, dir, args, &app)) return AppStats{};
    return finish(&app, dir);
}

// The same run while xdotool sweeps the pointer over the empty Variables list.
static AppStats run_with_mouse(const XServer& x, const char* exe, const std::vector<std::string>& args,
                               double seconds, int* moves) {
    std::string dir = make_temp_dir("bench");
    AppProcess app;
    if (dir.empty() || !app_start(x, exe, dir, args, &app)) return AppStats{};
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    *moves = 0;
    for (int i = 0; std::chrono::steady_clock::now() < end; ++i, ++*moves) {
        int px = 100 + (i * 7) % 300, py = 300 + (i * 3) % 200;
        run_command({"xdotool", "mousemove", std::to_string(px), std::to_string(py)}, &x, 5000);
    }
    return finish(&app, dir);
}

int main(int argc, char** argv) {
    const char* exe = argc > 1 ? argv[1] : KORVANE_EXE;
    XServer x;
    if (!xserver_start(&x, 1920, 1080)) {
        fprintf(stderr, "window_bench: cannot start Xvfb\n");
        return 1;
    }
    const std::vector<std::string> full = {"--size", "1920x1080", "--all-panels"};
    auto with = [&](std::vector<std::string> a, std::vector<std::string> more) {
        a.insert(a.end(), more.begin(), more.end());
        return a;
    };
    // Start-up (shader compilation, font atlas) is taken out by subtracting a short run.
    AppStats warm = run_app(x, exe, with(full, {"--exit-after", "2", "--stats"}));
    AppStats idle = run_app(x, exe, with(full, {"--exit-after", "12", "--stats"}));
    int moves = 0;
    AppStats mouse = run_with_mouse(x, exe, with(full, {"--exit-after", "10", "--stats"}), 8, &moves);
    AppStats demo = run_app(x, exe, with(full, {"--demo", "--exit-after", "10", "--stats"}));
    const std::vector<std::string> forced = {"--exit-after", "6", "--force-redraw", "--stats"};
    AppStats big = run_app(x, exe, with(full, forced));
    AppStats big_demo = run_app(x, exe, with(with(full, {"--demo"}), forced));
    AppStats small = run_app(x, exe, with({"--size", "800x600", "--all-panels"}, forced));
    xserver_stop(&x);
    if (!warm.ok || !idle.ok || !mouse.ok || !demo.ok || !big.ok || !big_demo.ok || !small.ok) {
        fprintf(stderr, "window_bench: a run failed\n");
        return 1;
    }
    double idle_cpu = idle.cpu - warm.cpu, idle_s = idle.seconds - warm.seconds;
    printf("idle 10 s, 1920x1080 all panels: %d frames (%.2f/s), max %d in one second, CPU %.2f%% of one core\n",
           idle.frames - warm.frames, (idle.frames - warm.frames) / idle_s, idle.max_fps, 100.0 * idle_cpu / idle_s);
    printf("mouse over an empty area:        %d frames in %.1f s (%.2f/s) for %d pointer moves\n", mouse.frames,
           mouse.seconds, mouse.fps, moves);
    printf("demo target running:             %.2f frames/s (max %d in one second), CPU %.2f%%\n", demo.fps,
           demo.max_fps, 100.0 * demo.cpu / demo.seconds);
    printf("forced redraw, every panel open: ms per frame (draw + swap + glFinish), GL calls per frame\n"
           "  (programs: glUseProgram, lookups: glGetUniformLocation, uploads: buffer and texture data)\n");
    printf("  %-22s %8s %9s %6s %9s %9s %9s %8s\n", "", "ms", "frames/s", "draws", "GL calls", "programs",
           "lookups", "uploads");
    auto row = [](const char* what, const AppStats& s) {
        printf("  %-22s %8.2f %9.2f %6.1f %9.1f %9.1f %9.1f %8.1f\n", what, s.frame_ms, s.fps, s.draws, s.gl_calls,
               s.program_switches, s.uniform_lookups, s.uploads);
    };
    row("1920x1080", big);
    row("1920x1080, demo", big_demo);
    row("800x600", small);
    return 0;
}
