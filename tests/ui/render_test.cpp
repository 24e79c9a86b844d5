// The panels drawn from published data, in a real GL context on a private
// X server: each frame is read back and looked at where the layout puts things.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/font_find.h"
#include "probe/probe.h"
#include "probe/watch_list.h"
#include "runctl/breakpoints.h"
#include "runctl/fault_analyze.h"
#include "tests/app/x11_harness.h"
#include "ui/font.h"
#include "ui/frame.h"
#include "ui/gl.h"
#include "ui/gl_count.h"
#include "ui/log_view.h"
#include "ui/panels.h"
#include "ui/source_view.h"
#include "ui/ui_state.h"

namespace {

constexpr int W = 1200, H = 800;
XServer g_x;
GLFWwindow* g_win = nullptr;

class Render : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!xserver_start(&g_x, W, H)) return;
        setenv("DISPLAY", g_x.name().c_str(), 1);
        if (!glfwInit()) return;
        glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
        glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
        glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
        glfwWindowHint(GLFW_DECORATED, GLFW_FALSE);
        g_win = glfwCreateWindow(W, H, "render test", nullptr, nullptr);
        if (!g_win) return;
        glfwMakeContextCurrent(g_win);
        gladLoadGL((GLADloadfunc)glfwGetProcAddress);
        gl_count_install();
        glEnable(GL_BLEND);
        glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
        char font[1024] = "";
        plat_find_font("DejaVu Sans Mono", font, sizeof font);
        init_font(font, 19.0f, nullptr);
        init_drawing_resources(&ui_shader, &text_shader, &ui_vao, &ui_vbo, &line_vao, &line_vbo);
    }
    static void TearDownTestSuite() {
        if (g_win) {
            cleanup_drawing_resources(&ui_shader, &text_shader, &ui_vao, &ui_vbo, &line_vao, &line_vbo);
            font_cleanup();
            glfwDestroyWindow(g_win);
            glfwTerminate();
        }
        g_win = nullptr;
        xserver_stop(&g_x);
    }
    void SetUp() override {
        if (!g_win) GTEST_SKIP() << "no X server or GL context (package xvfb)";
        dir_ = make_temp_dir("render");
        layout_reset();
        theme_activate(true);
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        g_hardfault = HardFaultInfo{};
        memset(g_bkpt, 0, sizeof g_bkpt);
        g_stack_frame_count = 0;
        g_stack_frames_valid = false;
    }
    void TearDown() override {
        g_is_halted = false;
        g_probe_connected = false;
        g_ui_symbols = UiSymbols{};
        watch_clear();
        if (!dir_.empty() && !HasFailure()) (void)!system(("rm -rf " + dir_).c_str());
    }
    Image frame(const char* name) {
        window_w = W;
        window_h = H;
        ui_layout_pass(W, H);
        std::string path = dir_ + "/" + name + ".png";
        frame_request_capture(path.c_str());
        int fw = 0, fh = 0;
        glfwGetFramebufferSize(g_win, &fw, &fh);
        RenderMainState st = {"fw.elf", "", "", "fw.bin", "/src", "", "", 0, 0, nullptr, nullptr, 0};
        render_gui_frame(g_win, fw, fh, W, H, "FPS: 30", &st);
        Image img;
        EXPECT_EQ(frame_capture_result(), 1);
        EXPECT_TRUE(image_load_png(path, &img));
        EXPECT_EQ(frame_gl_error_count(), 0u);
        return img;
    }
    // Pixels of a colour within a rectangle (window coordinates).
    static int count(const Image& img, float x0, float y0, float x1, float y1, Color3 c, int tol = 40) {
        int n = 0;
        for (int y = std::max(0, (int)y0); y < std::min(img.h, (int)y1); ++y)
            for (int x = std::max(0, (int)x0); x < std::min(img.w, (int)x1); ++x) {
                const unsigned char* p = img.at(x, y);
                n += std::abs(p[0] - c.r * 255) < tol && std::abs(p[1] - c.g * 255) < tol &&
                     std::abs(p[2] - c.b * 255) < tol;
            }
        return n;
    }
    std::string dir_;
};

HardFaultInfo sample_fault(bool frame_valid) {
    HardFaultInfo f = {};
    f.valid = true;
    f.exception_nr = 3;
    f.hfsr = 0x40000000;
    f.cfsr = 0x00008200;
    f.bfar_valid = true;
    f.bfar = 0x20030000;
    f.frame_valid = frame_valid;
    f.frame_pc = 0x08000412;
    f.frame_lr = 0x080003F1;
    snprintf(f.fault_file, sizeof f.fault_file, "/src/app/faults.c");
    f.fault_line = 42;
    snprintf(f.summary, sizeof f.summary, "HFSR: FORCED\nBFSR: PRECISERR\nWARNING: stack near its limit\nplain text");
    return f;
}

}  // namespace

TEST_F(Render, FaultPanelShowsTheReportWithItsColours) {
    g_show_fault = true;
    ui_layout_pass(W, H);
    debug_box.y = 350;  // the bottom row dragged up, as a user reading a report would
    Image empty = frame("fault_none");
    const LayoutBox& b = fault_box;
    EXPECT_GT(count(empty, b.x + 4, b.y + 20, b.x + b.w, b.y + 42, g_theme.titlebar_info), 30)
        << "\"No fault detected at last halt.\"";
    EXPECT_EQ(count(empty, b.x + 4, b.y + 20, b.x + b.w, b.y + b.h, g_theme.dbg_btn_reset, 20), 0);
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        g_hardfault = sample_fault(true);
    }
    Image full = frame("fault_full");
    // Row 2 carries BFAR in the warning colour; Faulting PC follows the separator.
    EXPECT_GT(count(full, b.x + 0.45f * b.w, b.y + 36, b.x + b.w, b.y + 54, g_theme.dbg_btn_reset, 20), 20);
    EXPECT_GT(count(full, b.x + 4, b.y + 60, b.x + 300, b.y + 78, g_theme.dbg_btn_reset, 20), 20);
    // The summary: a "WARNING" line in the warning colour, "HFSR" and "BFSR" in the value colour.
    EXPECT_GT(count(full, b.x + 4, b.y + 120, b.x + b.w, b.y + b.h, g_theme.dbg_btn_step, 20), 40);
    EXPECT_GT(count(full, b.x + 4, b.y + 140, b.x + b.w, b.y + b.h, g_theme.dbg_btn_reset, 20), 40);
    // Hidden while valid: the toggle lights up.
    g_show_fault = false;
    Image hidden = frame("fault_hidden");
    Color3 a = g_theme.btn_top_active;
    EXPECT_GT(count(hidden, BtnShowF.x, BtnShowF.y, BtnShowF.x + 20, BtnShowF.y + 20, a, 60), 5);
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        g_hardfault = sample_fault(false);
    }
    g_show_fault = true;
    Image bad = frame("fault_noframe");
    EXPECT_GT(count(bad, b.x + 4, b.y + 60, b.x + b.w, b.y + 78, g_theme.dbg_btn_reset, 20), 40)
        << "the unreadable-frame warning";
}

TEST_F(Render, CallStackShowsAsManyFramesAsFitAndClearsWhenRunning) {
    g_show_stack = true;
    g_probe_connected = true;
    g_is_halted = true;
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        for (int i = 0; i < UNWIND_MAX_FRAMES; ++i) {
            UnwindFrame& f = g_stack_frames[i];
            f = UnwindFrame{};
            f.pc = 0x08000100 + 4u * (unsigned)i;
            snprintf(f.func, sizeof f.func, "func_%d", i);
            snprintf(f.file, sizeof f.file, "/src/deep/path/module_%d.c", i);
            f.line = 10u + (unsigned)i;
            f.is_current = i == 0;
        }
        g_stack_frame_count = UNWIND_MAX_FRAMES;
        g_stack_frames_valid = true;
    }
    Image img = frame("stack");
    const LayoutBox& b = stack_box;
    EXPECT_GT(count(img, b.x + 30, b.y + 24, b.x + b.w, b.y + 42, g_theme.syn_keyword, 30), 20) << "current frame";
    EXPECT_GT(count(img, b.x + 30, b.y + 42, b.x + b.w, b.y + 60, g_theme.syn_function, 30), 20);
    // Nothing is drawn past the box: the row below it is the window background.
    int rows_fit = (int)((b.h - 22 - 2) / 18);
    EXPECT_LT(rows_fit, UNWIND_MAX_FRAMES);
    EXPECT_EQ(count(img, b.x + 2, b.y + b.h + 1, b.x + b.w - 2, (float)H, g_theme.syn_function, 30), 0);
    g_is_halted = false;
    Image running = frame("stack_running");
    EXPECT_GT(count(running, b.x + 4, b.y + 24, b.x + 120, b.y + 44, g_theme.titlebar_info), 30) << "(running)";
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    EXPECT_FALSE(g_stack_frames_valid) << "a stale frame list is dropped";
    EXPECT_EQ(g_stack_frame_count, 0);
}

TEST_F(Render, BreakpointsAndWatchesDrawTheirRows) {
    g_show_bkpt = true;
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        g_bkpt[1] = BkptSlot{0x08000200, true, false, true};
        g_bkpt[4] = BkptSlot{0x08000300, true, true, true};
    }
    g_ui_symbols.elf_loaded = [] { return true; };
    g_ui_symbols.addr_to_line = [](uint32_t addr, char* file, unsigned cap, uint32_t* line) {
        snprintf(file, cap, "/src/main.c");
        *line = addr == 0x08000200 ? 12 : 0;
        return addr == 0x08000200;
    };
    ElfVariable v = {};
    snprintf(v.name, sizeof v.name, "g_counter");
    snprintf(v.type_name, sizeof v.type_name, "uint32_t");
    v.byte_size = 4;
    v.loc_kind = VAR_LOC_ADDR;
    watch_add(&v);
    ElfVariable s = v;
    snprintf(s.name, sizeof s.name, "g_cfg");
    s.is_struct = true;
    s.member_count = 2;
    snprintf(s.members[0].name, sizeof s.members[0].name, "mode");
    snprintf(s.members[1].name, sizeof s.members[1].name, "rate");
    s.members[1].byte_offset = 4;
    watch_add(&s);
    snprintf(g_watch[0].value, sizeof g_watch[0].value, "\x01" "0x0000002A  (42)");
    g_watch[1].expanded = true;
    g_var_tab = VAR_TAB_WATCH;
    Image img = frame("bkpt_watch");
    const LayoutBox& b = bkpt_box;
    float row0 = b.y + BKPT_LIST_TOP, row1 = row0 + BKPT_ROW_H;
    EXPECT_GT(count(img, b.x + 30, row0, b.x + 60, row0 + 18, g_theme.dbg_btn_continue, 30), 10) << "HW, enabled";
    EXPECT_GT(count(img, b.x + 90, row0, b.x + 200, row0 + 18, g_theme.titlebar_text, 30), 20) << "address";
    EXPECT_EQ(count(img, b.x + 90, row1, b.x + 200, row1 + 18, g_theme.titlebar_text, 30), 0) << "disabled row";
    EXPECT_GT(count(img, b.x + 90, row1, b.x + 200, row1 + 18, g_theme.titlebar_info, 30), 20);
    // The changed watch value is drawn in the highlight colour, right-aligned.
    const LayoutBox& vb = variables_box;
    float wrow0 = vb.y + VAR_LIST_TOP;
    EXPECT_GT(count(img, vb.x + vb.w - 200, wrow0, vb.x + vb.w - 18, wrow0 + 20, g_theme.log_text_changed, 30), 20);
    // Three rows for the structure: its own and two members with their offsets.
    EXPECT_GT(count(img, vb.x + 20, wrow0 + 40, vb.x + 120, wrow0 + 60, g_theme.var_member_name, 30), 10);
    EXPECT_GT(count(img, vb.x + 20, wrow0 + 60, vb.x + 120, wrow0 + 80, g_theme.var_member_name, 30), 10);
    EXPECT_EQ(count(img, vb.x + 20, wrow0 + 80, vb.x + 120, wrow0 + 100, g_theme.var_member_name, 30), 0);
}

TEST_F(Render, SourceLinesCarryTheirBreakpointMarkers) {
    source_view_set_text(&source_view, "int main(void) { return 0; }");
    source_bkpt_query = [](uint32_t line) { return line == 1 ? 1 : 0; };
    Image on = frame("source_bkpt");
    const LayoutBox& b = source_box;
    Color3 red = {0.9f, 0.15f, 0.15f};
    EXPECT_GT(count(on, b.x, b.y + 22, b.x + 20, b.y + 42, red, 20), 60) << "the marker of line 1";
    EXPECT_EQ(count(on, b.x, b.y + 42, b.x + 20, b.y + 62, red, 20), 0);
    source_bkpt_query = [](uint32_t) { return 2; };
    Image off = frame("source_bkpt_off");
    EXPECT_EQ(count(off, b.x, b.y + 22, b.x + 20, b.y + 42, red, 20), 0);
    EXPECT_GT(count(off, b.x, b.y + 22, b.x + 20, b.y + 42, Color3{0.45f, 0.45f, 0.45f}, 10), 60) << "disabled: grey";
    source_bkpt_query = nullptr;
    source_view_clear(&source_view);
}
