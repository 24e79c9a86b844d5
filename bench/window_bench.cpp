// Runs the real program under a private Xvfb and reports what the window costs:
// idle CPU over 10 s, frames per second idle and under forced redraws, and the
// time of one full frame at 1920 x 1080 (llvmpipe, measured with glFinish).
#include <cstdio>
#include <string>

#include "tests/app/x11_harness.h"

static AppStats run_app(const XServer& x, const char* exe, const std::vector<std::string>& args) {
    std::string dir = make_temp_dir("bench");
    AppProcess app;
    std::string out;
    if (dir.empty() || !app_start(x, exe, dir, args, &app) || app_wait(&app, 120000, &out) != 0) return AppStats{};
    std::string cmd = "rm -rf " + dir;
    (void)!system(cmd.c_str());
    return app_parse_stats(out);
}

int main(int argc, char** argv) {
    const char* exe = argc > 1 ? argv[1] : KORVANE_EXE;
    XServer x;
    if (!xserver_start(&x, 1920, 1080)) {
        fprintf(stderr, "window_bench: cannot start Xvfb\n");
        return 1;
    }
    // Start-up (shader compilation, font atlas) is taken out by subtracting a short run.
    AppStats warm = run_app(x, exe, {"--exit-after", "2", "--stats"});
    AppStats idle = run_app(x, exe, {"--exit-after", "12", "--stats"});
    AppStats forced = run_app(x, exe, {"--exit-after", "5", "--force-redraw", "--stats"});
    AppStats big = run_app(x, exe, {"--size", "1920x1080", "--exit-after", "5", "--force-redraw", "--stats"});
    xserver_stop(&x);
    if (!warm.ok || !idle.ok || !forced.ok || !big.ok) {
        fprintf(stderr, "window_bench: a run failed\n");
        return 1;
    }
    double idle_cpu = idle.cpu - warm.cpu, idle_s = idle.seconds - warm.seconds;
    printf("idle 10 s, 800x600:     %d frames (%.2f/s), max %d in one second, CPU %.3f s = %.2f%% of one core\n",
           idle.frames - warm.frames, (idle.frames - warm.frames) / idle_s, idle.max_fps, idle_cpu,
           100.0 * idle_cpu / idle_s);
    printf("forced redraw, 800x600: %.2f frames/s (max %d in one second), %.2f ms per frame, CPU %.2f%%\n",
           forced.fps, forced.max_fps, forced.frame_ms, 100.0 * forced.cpu / forced.seconds);
    printf("forced, 1920x1080:      %.2f frames/s, %.2f ms per frame (draw + swap + glFinish)\n", big.fps,
           big.frame_ms);
    return 0;
}
