// Runs the real program under a private Xvfb and reports what the window costs:
// frames per second idle (the FPS label alone), while the mouse moves over an
// empty area (should add none), and under forced redraws (capped at 30), and
// what one frame with every panel open costs at 1920 x 1080 (empty and with the
// demo target's source, registers and log) and at 800 x 600: its time (llvmpipe,
// measured with glFinish) and its GL calls; the same for the demo with eight
// globals plotted (a session that plots them).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "tests/app/x11_harness.h"

// The [STATS] lines of one run in a fresh folder, "" when it failed; `during`
// runs while the program does.
static std::string run_app(const XServer& x, const char* exe, const std::vector<std::string>& args,
                           const std::function<void()>& during = {}, const std::string& demo_session = "") {
    TempDir dir("kd_bench");
    AppProcess app;
    std::string out;
    if (dir.path.empty() || (!demo_session.empty() && !write_text_file(dir / "demo_session.ini", demo_session)) ||
        !app_start(&x, exe, dir.path, args, &app))
        return "";
    if (during) during();
    return app_wait(&app, 120000, &out) == 0 ? out : "";
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
    const std::string warm = run_app(x, exe, with(full, {"--exit-after", "2", "--stats"}));
    const std::string idle = run_app(x, exe, with(full, {"--exit-after", "12", "--stats"}));
    // The pointer sweeping over the empty Variables list.
    int moves = 0;
    const std::string mouse = run_app(x, exe, with(full, {"--exit-after", "10", "--stats"}), [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(8);
        for (; std::chrono::steady_clock::now() < end; ++moves)
            run_command({"xdotool", "mousemove", std::to_string(100 + moves * 7 % 300), std::to_string(300 + moves * 3 % 200)},
                        &x, 5000);
    });
    const std::string demo = run_app(x, exe, with(full, {"--demo", "--exit-after", "10", "--stats"}));
    const std::vector<std::string> forced = {"--exit-after", "6", "--force-redraw", "--stats"};
    const std::string big = run_app(x, exe, with(full, forced));
    const std::string big_demo = run_app(x, exe, with(with(full, {"--demo"}), forced));
    const std::string small = run_app(x, exe, with({"--size", "800x600", "--all-panels"}, forced));
    std::string plotted = "[Session]\nelf=" KORVANE_DEMO_FW_DIR "/demo_O0_dwarf4.elf\nplot=1,2,3,4,5,6,7,8\n";
    int k = 0;
    for (const char* g : {"g_wave", "g_tick_count", "g_i32", "g_f64", "g_u8", "g_fib_result", "g_fact_result", "g_loop_count"})
        plotted += "watch" + std::to_string(++k) + "=" + g + "\n";
    const std::string plot_demo = run_app(x, exe, with(with(full, {"--demo"}), forced), {}, plotted);
    const std::string plot_live = run_app(x, exe, with(full, {"--demo", "--exit-after", "10", "--stats"}), {}, plotted);
    xserver_stop(&x);
    for (const std::string* s : {&warm, &idle, &mouse, &demo, &big, &big_demo, &small, &plot_demo, &plot_live})
        if (std::isnan(app_stat(*s, "frames"))) {
            fprintf(stderr, "window_bench: a run failed\n");
            return 1;
        }
    auto st = [](const std::string& s, const char* key) { return app_stat(s, key); };
    const double idle_cpu = st(idle, "cpu_s") - st(warm, "cpu_s"), idle_s = st(idle, "seconds") - st(warm, "seconds");
    const double idle_frames = st(idle, "frames") - st(warm, "frames");
    printf("idle 10 s, 1920x1080 all panels: %.0f frames (%.2f/s), max %.0f in one second, CPU %.2f%% of one core\n",
           idle_frames, idle_frames / idle_s, st(idle, "max_fps_1s"), 100.0 * idle_cpu / idle_s);
    printf("mouse over an empty area:        %.0f frames in %.1f s (%.2f/s) for %d pointer moves\n", st(mouse, "frames"),
           st(mouse, "seconds"), st(mouse, "fps"), moves);
    printf("demo target running:             %.2f frames/s (max %.0f in one second), CPU %.2f%%\n", st(demo, "fps"),
           st(demo, "max_fps_1s"), 100.0 * st(demo, "cpu_s") / st(demo, "seconds"));
    printf("demo, eight globals plotted:     %.2f frames/s (max %.0f in one second), CPU %.2f%%\n", st(plot_live, "fps"),
           st(plot_live, "max_fps_1s"), 100.0 * st(plot_live, "cpu_s") / st(plot_live, "seconds"));
    printf("forced redraw, every panel open: ms per frame (draw + swap + glFinish), GL calls per frame\n"
           "  (programs: glUseProgram, lookups: glGetUniformLocation, uploads: buffer and texture data)\n");
    printf("  %-22s %8s %9s %6s %9s %9s %9s %8s\n", "", "ms", "frames/s", "draws", "GL calls", "programs",
           "lookups", "uploads");
    auto row = [&](const char* what, const std::string& s) {
        printf("  %-22s %8.2f %9.2f %6.1f %9.1f %9.1f %9.1f %8.1f\n", what, st(s, "avg_frame_ms"), st(s, "fps"),
               st(s, "draws"), st(s, "gl_calls"), st(s, "program_switches"), st(s, "uniform_lookups"), st(s, "uploads"));
    };
    row("1920x1080", big);
    row("1920x1080, demo", big_demo);
    row("800x600", small);
    row("1920x1080, demo, plot", plot_demo);
    return 0;
}
