// Runs the real program under a private Xvfb and reports what the window costs:
// idle CPU over 10 s, frames per second idle and under forced redraws, and the
// time of one full frame at 1920 x 1080 (llvmpipe, measured with glFinish).
#include <cstdio>
#include <regex>
#include <string>

#include "tests/app/x11_harness.h"

struct Run {
    bool ok = false;
    int frames = 0, max_fps = 0;
    double seconds = 0, fps = 0, cpu = 0, frame_ms = 0;
};

static Run run_app(const XServer& x, const char* exe, const std::vector<std::string>& args) {
    Run r;
    std::string dir = make_temp_dir("bench");
    AppProcess app;
    std::string out;
    if (dir.empty() || !app_start(x, exe, dir, args, &app) || app_wait(&app, 120000, &out) != 0) return r;
    std::smatch m;
    std::regex re(R"(frames=(\d+) seconds=([\d.]+) fps=([\d.]+) max_fps_1s=(\d+) cpu_s=([\d.]+) avg_frame_ms=([\d.]+))");
    if (!std::regex_search(out, m, re)) return r;
    r.frames = std::stoi(m[1]);
    r.seconds = std::stod(m[2]);
    r.fps = std::stod(m[3]);
    r.max_fps = std::stoi(m[4]);
    r.cpu = std::stod(m[5]);
    r.frame_ms = std::stod(m[6]);
    r.ok = true;
    std::string cmd = "rm -rf " + dir;
    (void)!system(cmd.c_str());
    return r;
}

int main(int argc, char** argv) {
    const char* exe = argc > 1 ? argv[1] : KORVANE_EXE;
    XServer x;
    if (!xserver_start(&x, 1920, 1080)) {
        fprintf(stderr, "window_bench: cannot start Xvfb\n");
        return 1;
    }
    Run idle = run_app(x, exe, {"--exit-after", "10", "--stats"});
    Run forced = run_app(x, exe, {"--exit-after", "5", "--force-redraw", "--stats"});
    Run big = run_app(x, exe, {"--size", "1920x1080", "--exit-after", "5", "--force-redraw", "--stats"});
    xserver_stop(&x);
    if (!idle.ok || !forced.ok || !big.ok) {
        fprintf(stderr, "window_bench: a run failed\n");
        return 1;
    }
    printf("idle 10 s, 800x600:     %d frames (%.2f/s), max %d in one second, CPU %.3f s = %.2f%% of one core\n",
           idle.frames, idle.fps, idle.max_fps, idle.cpu, 100.0 * idle.cpu / idle.seconds);
    printf("forced redraw, 800x600: %.2f frames/s (max %d in one second), %.2f ms per frame, CPU %.2f%%\n",
           forced.fps, forced.max_fps, forced.frame_ms, 100.0 * forced.cpu / forced.seconds);
    printf("forced, 1920x1080:      %.2f frames/s, %.2f ms per frame (draw + swap + glFinish)\n", big.fps,
           big.frame_ms);
    return 0;
}
