// Start-up, the event/redraw loop and shutdown of the one window.
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>

#include "app/app_options.h"
#include "app/demo.h"
#include "app/image.h"
#include "app/register_display.h"
#include "app/source_files.h"
#include "app/session.h"
#include "app/settings.h"
#include "app/setup_actions.h"
#include "app/value_edit.h"
#include "app/window_icon.h"
#include "platform/fatal.h"
#include "platform/font_find.h"
#include "flash/flash_job.h"
#include "probe/dap.h"
#include "probe/probe.h"
#include "runctl/fault_analyze.h"
#include "runctl/step.h"
#include "target/mcu_id.h"
#include "target/pdsc_db.h"
#include "ui/draw.h"
#include "ui/font.h"
#include "ui/frame.h"
#include "ui/gl.h"
#include "ui/gl_count.h"
#include "platform/log_store.h"
#include "ui/plot_view.h"
#include "ui/source_view.h"
#include "ui/svd_view.h"
#include "ui/ui_callbacks.h"
#include "ui/ui_state.h"

static const double FRAME_INTERVAL = 1.0 / 30.0;


static std::atomic<bool> s_quit_signal{false};

static void on_quit_signal(int) { s_quit_signal.store(true); }

static void glfw_error_callback(int code, const char* text) { fprintf(stderr, "[GLFW] Error %d: %s\n", code, text); }

static void load_font() {
    char primary[1024] = "", fallback[1024] = "";
    bool have = plat_find_font("DejaVu Sans Mono", primary, sizeof primary) ||
                plat_find_font("monospace", primary, sizeof primary);
    plat_find_font("DejaVu Sans", fallback, sizeof fallback);
    init_font(have ? primary : "", UI_FONT_PX, fallback[0] ? fallback : nullptr);
    if (!font_atlas_ready())
        log_add_line(&logv, "[FONT] No usable font (tried DejaVu Sans Mono, any monospace font, DejaVu Sans). "
                            "Text disabled.");
}

static double cpu_seconds() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (double)ru.ru_utime.tv_sec + (double)ru.ru_stime.tv_sec +
           ((double)ru.ru_utime.tv_usec + (double)ru.ru_stime.tv_usec) / 1e6;
}

int main(int argc, char** argv) {
    AppOptions opt;
    char err[256];
    if (!app_parse_options(argc, argv, &opt, err, sizeof err)) {
        fprintf(stderr, "korvane-debugger: %s\n", err);
        return 2;
    }
    if (opt.help || opt.version) {
        fputs(opt.help ? app_usage_text() : app_version_text(), stdout);
        return 0;
    }
    signal(SIGINT, on_quit_signal);
    signal(SIGTERM, on_quit_signal);

    glfwSetErrorCallback(glfw_error_callback);
    if (!glfwInit()) {
        plat_fatal_message("Fatal Error", "GLFW init failed");
        return -1;
    }
    // The settings, demo mode and the session come first: the window is made
    // where and as it was left, and shown only then, so that it does not jump.
    config_load();
    if (opt.demo == 2 && dap_probe_present()) opt.demo = 0;
    if (opt.demo && !demo_start(opt.demo_v1, err, sizeof err)) log_addf(&logv, "[CFG] Demo mode failed: %.200s", err);
    session_open(demo_active());
    // Packs are looked for beside the settings; their facts are cached in the
    // file the run may write (the demo's own session file in demo mode).
    pdsc_db_init(demo_active() ? session_path() : g_cfg_ini);
    // An installed demo's pack lies with its read-only data.
    if (demo_active()) pdsc_db_set_packs_dir(demo_packs_dir());

    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
    glfwWindowHint(GLFW_DECORATED, GLFW_FALSE);
    glfwWindowHint(GLFW_TRANSPARENT_FRAMEBUFFER, GLFW_FALSE);
    glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
    // The desktop entry's StartupWMClass: the dock shows our icon for the window.
    glfwWindowHintString(GLFW_X11_CLASS_NAME, "korvane-debugger");
    glfwWindowHintString(GLFW_X11_INSTANCE_NAME, "korvane-debugger");
    GLFWwindow* win = glfwCreateWindow(opt.width, opt.height, "Korvane Debugger", nullptr, nullptr);
    if (!win) {
        plat_fatal_message("Fatal Error", "Window creation failed");
        demo_stop();
        glfwTerminate();
        return -1;
    }
    win_global = win;
    glfwMakeContextCurrent(win);
    app_set_window_icon(win);
    glfwSetMouseButtonCallback(win, mouse_button_callback);
    glfwSetCursorPosCallback(win, cursor_pos_callback);
    glfwSetScrollCallback(win, scroll_callback);
    glfwSetWindowPosCallback(win, window_pos_callback);
    glfwSetKeyCallback(win, key_callback);
    glfwSetCharCallback(win, char_callback);
    // Nothing redraws on a timer: an uncovered or resized window asks for its frame.
    glfwSetWindowRefreshCallback(win, [](GLFWwindow*) { render_needed.store(true); });
    glfwSetFramebufferSizeCallback(win, [](GLFWwindow*, int, int) { render_needed.store(true); });
    glfwSetWindowSizeLimits(win, SESSION_MIN_W, SESSION_MIN_H, GLFW_DONT_CARE, GLFW_DONT_CARE);
    source_bkpt_query = source_bkpt_at_line;
    glfwGetWindowPos(win, &windowX, &windowY);
    session_restore_window(opt.size_set);
    glfwSwapInterval(1);

    if (!gladLoadGL((GLADloadfunc)glfwGetProcAddress)) {
        fprintf(stderr, "[GLAD] Init failed\n");
        demo_stop();
        glfwDestroyWindow(win);
        glfwTerminate();
        return -1;
    }
    gl_count_install();
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    load_font();
    init_drawing_resources();
    session_restore_view(opt.light_theme);
    if (opt.light_theme) theme_activate(false);
    ui_cursors_init();

    if (!g_cfg_elf[0] && !g_cfg_svd[0] && !g_src_root_dir[0]) g_show_setup = true;
    if (opt.all_panels)
        for (bool* f : {&g_show_plot, &g_show_setup, &g_show_stack, &g_show_fault, &g_show_bkpt}) *f = true;
    if (!g_cfg_elf[0]) log_add_line(&logv, "[CFG] No elf path in debugger.ini");
    else {
        // Beside the settings, never into the folder the program was started from.
        char dump[CFG_PATH_LEN];
        bool have_dump = config_folder_file("elf_dump.txt", dump, sizeof dump);
        if (!have_dump) log_add_line(&logv, "[ELF] Dump not written: no settings folder");
        app_load_image(g_cfg_elf, have_dump ? dump : nullptr);
    }
    app_load_svd(g_cfg_svd, g_cfg_arm_svd);
    memmap_view_show_placeholder();
    plot_view_init();
    value_edit_install();
    session_restore_lists();

    probe_set_wake(ui_request_redraw);
    probe_set_poke(glfwPostEmptyEvent);
    runctl_install();
    mcu_id_set_svd(g_svd);
    mcu_id_install();
    flash_install();
    PlatThread* probe_thread = probe_thread_start();
    glfwShowWindow(win);

    char fps_text[32] = "FPS: ...";
    bool have_fps = false, label_changed = false;
    double now = glfwGetTime();
    double last_frame = -1, fps_mark = now, started = now;
    unsigned frames_this_second = 0, frames_total = 0, max_frames_per_second = 0;
    double render_seconds = 0, cpu_start = cpu_seconds();
    GlCallCounts frame_gl = {};  // the GL calls of all frames drawn
    int prev_h = 0, exit_code = 0;
    if (opt.screenshot_path) frame_request_capture(opt.screenshot_path);

    while (!glfwWindowShouldClose(win) && !s_quit_signal.load()) {
        // Before the wait is computed, as a request from another thread would be.
        if (opt.force_redraw) render_needed.store(true);
        now = glfwGetTime();
        double timeout = FRAME_INTERVAL;
        if (render_needed.load()) timeout = std::max(0.0, FRAME_INTERVAL - (now - last_frame));
        if (g_tooltip_wake_at > now) timeout = std::min(timeout, g_tooltip_wake_at - now);
        timeout = std::min(timeout, plot_view_wait(now, g_show_plot));
        // A dragged window is moved from the pointer's screen position, read each pass.
        if (ui_window_drag_active()) timeout = std::min(timeout, 1.0 / 120);
        if (timeout > 0) glfwWaitEventsTimeout(timeout);
        else glfwPollEvents();

        ui_window_drag_tick();
        if (setup_poll_dialog()) render_needed.store(true);
        int fb_w = 0, fb_h = 0;
        glfwGetWindowSize(win, &window_w, &window_h);
        glfwGetFramebufferSize(win, &fb_w, &fb_h);
        now = glfwGetTime();
        if (tooltip_wake(now)) render_needed.store(true);
        if (plot_view_sample(now, g_show_plot)) render_needed.store(true);
        if (opt.exit_after_s > 0 && now - started >= opt.exit_after_s) break;
        if (window_h <= 0) {
            prev_h = 0;
            continue;
        }
        if (prev_h == 0) render_needed.store(true);
        prev_h = window_h;
        // The label counts the frames something asked for. Its own frames are
        // not counted, and it redraws only when its number changes, so a
        // window at rest draws nothing at all.
        if (now - fps_mark >= 1.0) {
            char text[32];
            snprintf(text, sizeof text, "FPS: %.f", (double)frames_this_second);
            if (!have_fps || strcmp(text, fps_text) != 0) label_changed = true;
            memcpy(fps_text, text, sizeof text);
            have_fps = true;
            max_frames_per_second = std::max(max_frames_per_second, frames_this_second);
            frames_this_second = 0;
            fps_mark += 1.0;
        }
        if (update_registers_display()) render_needed.store(true);
        // A halt brings a scrolled-away source view back to the core's line.
        static bool s_was_halted = false;
        bool halted = g_is_halted.load();
        if (halted && !s_was_halted) source_view_resume_follow();
        s_was_halted = halted;
        // A line logged by another thread after a routine poll.
        static unsigned s_log_seen = 0;
        if (unsigned added = log_added(&logv); added != s_log_seen) {
            s_log_seen = added;
            render_needed.store(true);
        }
        bool fault_valid;
        {
            std::lock_guard<std::mutex> lk(reg_buf_mtx);
            fault_valid = g_hardfault.valid;
        }
        // Opened when a report arrives; the user may close it again.
        static bool s_fault_was_valid = false;
        if (fault_valid && !s_fault_was_valid && !g_show_fault) {
            g_show_fault = true;
            render_needed.store(true);
        }
        s_fault_was_valid = fault_valid;
        ui_layout_pass(window_w, window_h);
        session_tick(now);

        bool asked = render_needed.load();
        if ((asked || label_changed) && (last_frame < 0 || now - last_frame >= FRAME_INTERVAL)) {
            render_needed.store(false);
            label_changed = false;
            setup_take_clicks();
            if (asked) ++frames_this_second;
            ++frames_total;
            last_frame = now;
            g_source_content_h = source_content_height(&source_view, g_show_asm, s_asm_cache);
            if (g_asm_toggle_pending) {
                source_view_reanchor(&source_view, !g_show_asm, s_asm_cache, s_asm_cache_size);
                g_asm_toggle_pending = false;
            }
            if (s_src_dwarf_file[0] && !s_src_loaded_file[0])
                source_load_file(s_src_dwarf_file, nullptr, s_src_current_line);
            RenderMainState st = {g_cfg_elf,         g_cfg_svd,          g_cfg_arm_svd,     g_cfg_bin,
                                  g_src_root_dir,    s_src_dwarf_file,   s_src_loaded_file, s_src_current_line,
                                  s_current_pc,      s_asm_cache,        asm_cache_load_line, s_asm_cache_size};
            double t0 = glfwGetTime();
            GlCallCounts gl0 = gl_count_read();
            render_gui_frame(win, fb_w, fb_h, window_w, window_h, have_fps ? fps_text : nullptr, &st);
            gl_count_add_since(&frame_gl, gl0);
            if (opt.print_stats) glFinish();
            render_seconds += glfwGetTime() - t0;
            if (opt.screenshot_path && frame_capture_result() != 0) {
                if (frame_capture_result() < 0) {
                    fprintf(stderr, "korvane-debugger: could not write %s\n", opt.screenshot_path);
                    exit_code = 1;
                }
                break;
            }
        }
    }

    session_close();
    if (opt.print_stats) {
        double secs = glfwGetTime() - started;
        printf("[STATS] frames=%u seconds=%.3f fps=%.2f max_fps_1s=%u cpu_s=%.3f avg_frame_ms=%.3f "
               "gl_error_frames=%u window=%dx%d\n",
               frames_total, secs, secs > 0 ? frames_total / secs : 0.0, max_frames_per_second,
               cpu_seconds() - cpu_start, frames_total ? 1000.0 * render_seconds / frames_total : 0.0,
               frame_gl_error_count(), window_w, window_h);
        double n = frames_total ? (double)frames_total : 1.0;
        printf("[STATS] per_frame gl_calls=%.1f draws=%.1f program_switches=%.1f uniform_lookups=%.1f "
               "uploads=%.1f\n",
               (double)frame_gl.calls / n, (double)frame_gl.draws / n, (double)frame_gl.program_switches / n,
               (double)frame_gl.uniform_lookups / n, (double)frame_gl.uploads / n);
        fflush(stdout);
    }
    // Nothing the probe thread may still touch is freed before it has stopped.
    bool probe_stopped = probe_thread_stop_and_wait(probe_thread);
    if (probe_stopped) demo_stop();
    setup_actions_shutdown();
    source_files_reset();
    app_free_image();
    app_free_svd();
    cleanup_drawing_resources();
    ui_cursors_free();
    glfwDestroyWindow(win);
    win_global = nullptr;
    glfwTerminate();
    return exit_code;
}
