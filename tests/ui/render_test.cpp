// The panels drawn from published data, in a real GL context on a private
// X server: each frame is read back and looked at where the layout puts things.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

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
        init_font(font, UI_FONT_PX, nullptr);
        init_drawing_resources();
    }
    static void TearDownTestSuite() {
        if (g_win) {
            cleanup_drawing_resources();
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
    // A blank frame of the test window, ready for the drawing primitives.
    static void begin_blank_frame() {
        window_w = W;
        window_h = H;
        g_fb_scale_x = g_fb_scale_y = 1;
        glViewport(0, 0, W, H);
        draw_frame_begin(W, H, Color4{0.1f, 0.1f, 0.1f, 1});
    }
    static std::vector<unsigned char> read_back() {
        std::vector<unsigned char> px((size_t)W * H * 4);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadBuffer(GL_BACK);
        glReadPixels(0, 0, W, H, GL_RGBA, GL_UNSIGNED_BYTE, px.data());
        return px;
    }
    std::string dir_;
};

// One call of a drawing primitive: a rectangle (x, y, w, h, radius), text at
// (x, baseline), a line (x1, y1, x2, y2), a clip box (x, y, w, h) or no clip.
struct DrawOp {
    char kind;  // 'R', 'T', 'L', 'C', 'N'
    float a, b, c, d, radius;
    Color4 color;
    const char* text;
};

void run_op(const DrawOp& o) {
    LayoutBox box = {o.a, o.b, o.c, o.d, 0};
    switch (o.kind) {
    case 'R': draw_rect(o.a, o.b, o.c, o.d, o.radius, o.color); break;
    case 'T': RenderText(o.text, o.a, o.b, &o.color.r); break;
    case 'L': set_line_color(Color3{o.color.r, o.color.g, o.color.b}), draw_line(o.a, o.b, o.c, o.d); break;
    case 'C': begin_scissor(&box, H); break;
    default: end_scissor();
    }
}

// Random calls in the proportions a panel makes them: many glyphs, rectangles
// of every size (opaque, translucent, rounded), lines along both axes, clips.
std::vector<DrawOp> random_ops(unsigned seed, int n) {
    srand(seed);
    auto f = [](float lo, float hi) { return lo + (hi - lo) * (float)rand() / (float)RAND_MAX; };
    auto q = [&](float lo, float hi) { return std::round(f(lo, hi) * 4) / 4; };  // often on half pixels
    static const char* words[] = {"Korvane", "0x20000400", "R12", "main.c:42", "\xe2\x80\x94 ok"};
    std::vector<DrawOp> ops;
    for (int i = 0; i < n; ++i) {
        Color4 c = {f(0, 1), f(0, 1), f(0, 1), rand() % 3 ? 1.0f : f(0.2f, 0.9f)};
        int k = rand() % 10;
        float x = q(-20, W), y = q(-20, H);
        if (k < 3) ops.push_back({'R', x, y, q(1, 500), q(1, 300), rand() % 3 ? 0 : q(1, 12), c, nullptr});
        else if (k < 7) ops.push_back({'T', x, y, 0, 0, 0, c, words[rand() % 5]});
        else if (k < 9) ops.push_back({'L', x, y, rand() % 2 ? x : q(0, W), rand() % 2 ? y : q(0, H), 0, c, nullptr});
        else ops.push_back({rand() % 3 ? 'C' : 'N', x, y, q(0, 600), q(0, 400), 0, c, nullptr});
    }
    return ops;
}

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
    // The five stacked registers' values are whole: as many columns as fit, the
    // rest wrapped, also in a third of the row (the width 800 x 600 gives it).
    ASSERT_TRUE(text_font_load());
    g_show_stack = true;
    full = frame("fault_narrow");
    g_show_stack = false;
    int whole = 0;
    for (int y = (int)b.y + 80; y < (int)(b.y + b.h); ++y)
        for (int x = (int)b.x; x < (int)(b.x + b.w); ++x)
            if (text_match(full, 0, 0, "0x00000000", (float)x, (float)y, &g_theme.dbg_btn_step.r) > 0.6) {
                ++whole;
                x += 80;
            }
    EXPECT_EQ(whole, 5) << "R0-R3 and R12";
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

TEST_F(Render, AFrameWithEveryPanelTakesAFewDrawCalls) {
    for (bool* f : {&g_show_plot, &g_show_setup, &g_show_stack, &g_show_fault, &g_show_bkpt}) *f = true;
    source_view_set_text(&source_view, "int main(void) {\n    return 0;\n}\n");
    GlCallCounts gl = {};
    const GlCallCounts before = gl_count_read();
    Image img = frame("all_panels");
    gl_count_add_since(&gl, before);
    EXPECT_LE(gl.draws, 9u);
    EXPECT_LE(gl.program_switches, gl.draws);
    EXPECT_EQ(gl.uniform_lookups, 0u) << "looked up once, at start";
    EXPECT_LE(gl.calls, 80u);
    source_view_clear(&source_view);
}

// Drawn together, the calls must give the very pixels they give drawn one by one.
TEST_F(Render, BatchedDrawingMatchesDrawingCallByCall) {
    const Color4 body = {0.09f, 0.09f, 0.09f, 1}, text = {0.9f, 0.9f, 0.8f, 1}, edge = {0.8f, 0.5f, 0.1f, 1};
    const std::vector<std::vector<DrawOp>> scenes = {
        // Panels side by side on a fractional edge: text clipped against it, outlines on it.
        {{'C', 10.3f, 40, 300.4f, 200, 0, body, nullptr}, {'R', 10.3f, 40, 300.4f, 200, 0, body, nullptr},
         {'T', 200, 60, 0, 0, 0, text, "a line clipped at the edge"}, {'N', 0, 0, 0, 0, 0, body, nullptr},
         {'L', 310.7f, 40, 310.7f, 240, 0, edge, nullptr}, {'C', 310.7f, 40, 300, 200, 0, body, nullptr},
         {'R', 310.7f, 40, 300, 200, 0, body, nullptr}, {'T', 312, 60, 0, 0, 0, text, "next"}},
        // A menu over text, and text over the menu.
        {{'T', 50, 100, 0, 0, 0, text, "under the menu"}, {'R', 40, 80, 260, 120, 4, body, nullptr},
         {'T', 60, 110, 0, 0, 0, text, "menu item"}, {'R', 45, 90, 250, 30, 0, Color4{0.3f, 0.4f, 0.9f, 0.5f}, nullptr}},
        random_ops(7, 400),
        random_ops(8, 400),
    };
    for (size_t i = 0; i < scenes.size(); ++i) {
        begin_blank_frame();
        for (const DrawOp& o : scenes[i]) run_op(o);
        draw_flush();
        std::vector<unsigned char> batched = read_back();
        begin_blank_frame();
        for (const DrawOp& o : scenes[i]) run_op(o), draw_flush();
        std::vector<unsigned char> one_by_one = read_back();
        end_scissor();
        size_t differing = 0;
        for (size_t p = 0; p < batched.size(); p += 4) differing += memcmp(&batched[p], &one_by_one[p], 4) != 0;
        EXPECT_EQ(differing, 0u) << "scene " << i;
    }
    // The inside of a large opaque rectangle is filled apart from its shaded
    // edge band: both must come out in the same bytes.
    for (unsigned k = 0; k < 64; ++k) {
        const Color4 c = {(float)(k * 37 % 64) / 63.0f + 0.002f * (float)(k % 5), (float)(k % 8) / 7.0f,
                          (float)(k * 11 % 32) / 31.0f, 1};
        begin_blank_frame();
        draw_rect(100.5f, 100, 300, 200, 0, c);
        draw_flush();
        std::vector<unsigned char> px = read_back();
        const unsigned char* band = &px[((size_t)(H - 1 - 101) * W + 101) * 4];
        const unsigned char* inside = &px[((size_t)(H - 1 - 200) * W + 250) * 4];
        EXPECT_EQ(memcmp(band, inside, 4), 0) << "colour " << k;
    }
}

// A line is a quad over the pixels GL lights for a line: compared with GL_LINES
// drawn by the program the lines had before, as lines along both axes at
// whole, half and any other pixel positions, in both directions.
TEST_F(Render, LinesLightThePixelsGlLinesLight) {
    const char* vs = "#version 330 core\nlayout (location = 0) in vec2 aPos;\nuniform mat4 u_projection;\n"
                     "uniform mat4 u_model;\nvoid main() { gl_Position = u_projection * u_model * vec4(aPos, 0.0, 1.0); }\n";
    const char* fs = "#version 330 core\nout vec4 c;\nvoid main() { c = vec4(1.0); }\n";
    GLuint prog = glCreateProgram();
    for (GLenum t : {GL_VERTEX_SHADER, GL_FRAGMENT_SHADER}) {
        GLuint sh = glCreateShader(t);
        glShaderSource(sh, 1, t == GL_VERTEX_SHADER ? &vs : &fs, nullptr);
        glCompileShader(sh);
        glAttachShader(prog, sh);
        glDeleteShader(sh);
    }
    glLinkProgram(prog);
    float proj[16], ident[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    ortho_projection(proj, 0, W, H, 0);
    GLuint vao, vbo;
    glGenVertexArrays(1, &vao);
    glGenBuffers(1, &vbo);
    for (unsigned seed = 1; seed <= 6; ++seed) {
        srand(seed);
        begin_blank_frame();
        draw_flush();  // the clear, before GL draws on its own
        std::vector<float> pts;
        for (int i = 0; i < 60; ++i) {
            auto pos = [](int lim) {
                static const float fr[] = {0, 0.5f, 0.25f, 0.75f, 0.001f, 0.999f};
                return (float)(2 + rand() % (lim - 4)) + (rand() % 3 ? fr[rand() % 6] : (float)rand() / (float)RAND_MAX);
            };
            float a = pos(seed % 2 ? W : H), b = pos(seed % 2 ? W : H), c = (float)(3 + i * 13 % ((seed % 2 ? H : W) - 6));
            if (rand() % 3 == 0) b = a + (float)(rand() % 4 + 1) * (rand() % 2 ? 1 : -1);  // short ones too
            c += rand() % 2 ? 0.5f : 0.0f;
            const float line[4] = {a, c, b, c}, vline[4] = {c, a, c, b};
            pts.insert(pts.end(), seed % 2 ? line : vline, (seed % 2 ? line : vline) + 4);
        }
        glUseProgram(prog);
        glUniformMatrix4fv(glGetUniformLocation(prog, "u_projection"), 1, GL_FALSE, proj);
        glUniformMatrix4fv(glGetUniformLocation(prog, "u_model"), 1, GL_FALSE, ident);
        glBindVertexArray(vao);
        glBindBuffer(GL_ARRAY_BUFFER, vbo);
        glBufferData(GL_ARRAY_BUFFER, (GLsizeiptr)(pts.size() * sizeof(float)), pts.data(), GL_STREAM_DRAW);
        glEnableVertexAttribArray(0);
        glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, 8, nullptr);
        glDrawArrays(GL_LINES, 0, (GLsizei)(pts.size() / 2));
        glBindVertexArray(0);
        std::vector<unsigned char> gl_lines = read_back();
        begin_blank_frame();
        set_line_color(Color3{1, 1, 1});
        for (size_t k = 0; k < pts.size(); k += 4) draw_line(pts[k], pts[k + 1], pts[k + 2], pts[k + 3]);
        draw_flush();
        std::vector<unsigned char> quads = read_back();
        size_t differing = 0;
        for (size_t p = 0; p < quads.size(); p += 4) differing += quads[p] != gl_lines[p];
        EXPECT_EQ(differing, 0u) << "seed " << seed;
    }
    glDeleteBuffers(1, &vbo);
    glDeleteVertexArrays(1, &vao);
    glDeleteProgram(prog);
}
