// The panels drawn from published data, in a real GL context on a private
// X server: each frame is read back and looked at where the layout puts things.
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/font_find.h"
#include "probe/probe.h"
#include "runctl/fault_analyze.h"
#include "tests/app/x11_harness.h"
#include "ui/font.h"
#include "ui/frame.h"
#include "ui/gl.h"
#include "ui/panels.h"
#include "ui/ui_state.h"

namespace {

constexpr int W = 1200, H = 800;
XServer g_x;
GLFWwindow* g_win = nullptr;

class Render : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!xserver_start(&g_x, W, H)) return;
        setenv("DISPLAY", (":" + std::to_string(g_x.display)).c_str(), 1);
        if (!glfwInit()) return;
        glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
        glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
        glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
        glfwWindowHint(GLFW_DECORATED, GLFW_FALSE);
        if (!(g_win = glfwCreateWindow(W, H, "render test", nullptr, nullptr))) return;
        glfwMakeContextCurrent(g_win);
        gladLoadGL((GLADloadfunc)glfwGetProcAddress);
        glEnable(GL_BLEND);
        glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
        char font[1024] = "";
        plat_find_font("DejaVu Sans Mono", font, sizeof font);
        init_font(font, UI_FONT_PX, nullptr);
        init_drawing_resources();
    }
    static void TearDownTestSuite() {
        if (g_win) cleanup_drawing_resources(), font_cleanup(), glfwDestroyWindow(g_win), glfwTerminate();
        g_win = nullptr;
        xserver_stop(&g_x);
    }
    void SetUp() override {
        if (!g_win) GTEST_SKIP() << "no X server or GL context (package xvfb)";
        clean();
    }
    void TearDown() override {
        if (!HasFailure()) std::filesystem::remove_all(dir_);
    }
    // Nothing published, every panel where it starts.
    static void clean() {
        layout_reset();
        theme_activate(true);
        g_is_halted = g_probe_connected = false;
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        g_hardfault = HardFaultInfo{};
        g_stack_frame_count = 0;
        g_stack_frames_valid = false;
    }
    Image frame(const std::string& name) {
        window_w = W, window_h = H;
        ui_layout_pass(W, H);
        const std::string path = dir_ + "/" + name + ".png";
        frame_request_capture(path.c_str());
        int fw = 0, fh = 0;
        glfwGetFramebufferSize(g_win, &fw, &fh);
        RenderMainState st = {"fw.elf", "", "", "fw.bin", "/src", "", "", 0, 0, nullptr, nullptr, 0};
        render_gui_frame(g_win, fw, fh, W, H, "FPS: 30", &st);
        Image img;
        EXPECT_EQ(frame_capture_result(), 1);
        EXPECT_TRUE(img.load(path));
        EXPECT_EQ(frame_gl_error_count(), 0u);
        return img;
    }
    Screen at_;  // pixel probes in window coordinates
    std::string dir_ = [] { std::string t = "/tmp/kd_render_XXXXXX"; return mkdtemp(t.data()) ? t : ""; }();
};

// Pixels of a colour in a rectangle of a panel, and how many there must be.
struct Probe {
    const LayoutBox* box;
    float x0, y0, x1, y1;  // from the box's corner; x0 < 0, or x1 and y1 <= 0: from its right or bottom edge
    Color3 colour;
    int tol, least;  // 0: none at all
    const char* what;
    float part = 0;  // x0 moved right by this part of the box's width
};
// What a panel shows for a state `publish` brings.
struct Scene {
    const char* name;
    std::function<void()> publish;
    std::vector<Probe> probes;
};

// A bus fault with a readable frame and a summary of every kind of line.
HardFaultInfo bus_fault() {
    HardFaultInfo f = {};
    f.valid = f.bfar_valid = f.frame_valid = true;
    f.exception_nr = 3, f.hfsr = 0x40000000, f.cfsr = 0x00008200, f.bfar = 0x20030000;
    f.frame_pc = 0x08000412, f.frame_lr = 0x080003F1, f.fault_line = 42;
    snprintf(f.fault_file, sizeof f.fault_file, "/src/app/faults.c");
    snprintf(f.summary, sizeof f.summary, "HFSR: FORCED\nBFSR: PRECISERR\nWARNING: stack near its limit\nplain text");
    return f;
}

}  // namespace

TEST_F(Render, PanelsShowWhatIsPublishedInTheirColours) {
    const Theme& t = g_theme;
    const Scene kScenes[] = {
        {"fault_none", [] { g_show_fault = true, ui_layout_pass(W, H), debug_box.y = 350; },  // a row dragged up to read
         {{&fault_box, 4, 20, 0, 42, t.titlebar_info, 40, 31, "\"No fault detected at last halt.\""},
          {&fault_box, 4, 20, 0, 0, t.dbg_btn_reset, 20, 0, "a warning with no report"}}},
        {"fault_full", [] { std::lock_guard<std::mutex> lk(reg_buf_mtx); g_hardfault = bus_fault(); },
         {{&fault_box, 0, 36, 0, 54, t.dbg_btn_reset, 20, 21, "BFAR in the warning colour", 0.45f},
          {&fault_box, 4, 140, 0, 0, t.dbg_btn_reset, 20, 41, "the WARNING line in the warning colour"}}},
        {"stack",
         [] {
             clean();
             g_show_stack = g_probe_connected = g_is_halted = true;
             std::lock_guard<std::mutex> lk(reg_buf_mtx);
             for (int i = 0; i < UNWIND_MAX_FRAMES; ++i) {
                 UnwindFrame& f = g_stack_frames[i] = UnwindFrame{};
                 f.pc = 0x08000100 + 4u * (unsigned)i;
                 snprintf(f.func, sizeof f.func, "func_%d", i);
                 snprintf(f.file, sizeof f.file, "/src/deep/path/module_%d.c", i);
                 f.line = 10u + (unsigned)i;
                 f.is_current = i == 0;
             }
             g_stack_frame_count = UNWIND_MAX_FRAMES;
             g_stack_frames_valid = true;
         },
         {}},
        {"stack_running", [] { g_is_halted = false; },
         {{&stack_box, 4, 24, 120, 44, t.titlebar_info, 40, 31, "(running)"}}},
    };
    for (const Scene& s : kScenes) {
        SCOPED_TRACE(s.name);
        s.publish();
        const Image img = frame(s.name);
        for (const Probe& p : s.probes) {
            const LayoutBox& b = *p.box;
            const float x0 = b.x + (p.x0 < 0 ? b.w : 0) + p.x0 + p.part * b.w, y0 = b.y + p.y0;
            const float x1 = b.x + (p.x1 <= 0 ? b.w : 0) + p.x1, y1 = b.y + (p.y1 <= 0 ? b.h : 0) + p.y1;
            const int n = at_.count(img, x0, y0, x1, y1, Screen::near(p.colour, p.tol));
            EXPECT_TRUE(p.least ? n >= p.least : n == 0) << p.what << ": " << n;
        }
        const LayoutBox& k = stack_box;
        if (s.name == std::string("fault_full")) {
            // The five stacked registers' values are whole: as many columns as fit,
            // the rest wrapped, also in a third of the row (the width 800 x 600 gives it).
            ASSERT_TRUE(text_font_load());
            g_show_stack = true;
            const Image narrow = frame("fault_narrow");
            g_show_stack = false;
            int whole = 0;
            for (int y = (int)fault_box.y + 80; y < (int)(fault_box.y + fault_box.h); ++y)
                for (int x = (int)fault_box.x; x < (int)(fault_box.x + fault_box.w); ++x)
                    if (text_match(narrow, 0, 0, "0x00000000", (float)x, (float)y, &t.dbg_btn_step.r) > 0.6) ++whole, x += 80;
            EXPECT_EQ(whole, 5) << "R0-R3 and R12";
        } else if (s.name == std::string("stack")) {
            // The current frame's name in the keyword colour, its caller's in the function colour: two blues
            // apart in green alone, told by green against blue over the name's ink (23: the panel's body).
            auto hue = [](const Color3& c) { return (c.g * 255 - 23) / (c.b * 255 - 23); };
            for (int row = 0; row < 2; ++row) {
                double g = 0, b = 0;
                at_.count(img, k.x + 30, k.y + 24 + 18 * row, k.x + 80, k.y + 42 + 18 * row, [&](const unsigned char* p) { return g += p[1] - 23, b += p[2] - 23, 0; });
                EXPECT_NEAR(g / b, hue(row ? t.syn_function : t.syn_keyword), 0.05) << "frame " << row;
            }
            EXPECT_LT((int)((k.h - 22 - 2) / 18), UNWIND_MAX_FRAMES) << "more frames than rows";
            EXPECT_EQ(at_.count(img, k.x + 2, k.y + k.h + 1, k.x + k.w - 2, H, Screen::near(t.syn_function, 30)), 0) << "drawn past the box";
        } else if (s.name == std::string("stack_running")) {
            std::lock_guard<std::mutex> lk(reg_buf_mtx);
            EXPECT_FALSE(g_stack_frames_valid) << "a stale frame list is dropped";
            EXPECT_EQ(g_stack_frame_count, 0);
        }
    }
}
