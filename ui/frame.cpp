#include "ui/frame.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stb_image_write.h>

#include "ui/font.h"
#include "ui/gl.h"
#include "ui/log_view.h"
#include "ui/panel.h"
#include "ui/popup_menu.h"

LayoutBox debug_box = {2, 35, 796, 563, 15};
Button closeButton = {0, 0, 20, 20, false, false};

static char s_capture_path[4096] = "";
static int s_capture_result = 0;
static unsigned s_gl_error_frames = 0;
static unsigned s_frame_no = 0;

void ui_layout_pass(int win_w, int win_h) {
    closeButton.x = win_w - 20 - 4;
    closeButton.y = 5;
    debug_box.x = 2;
    debug_box.y = 35;
    debug_box.w = (float)std::max(0, win_w - 4);
    debug_box.h = (float)std::max(0, win_h - 35 - 2);
    debug_box.padding = 15;
}

void frame_request_capture(const char* png_path) {
    snprintf(s_capture_path, sizeof s_capture_path, "%s", png_path ? png_path : "");
    s_capture_result = 0;
}

int frame_capture_result() { return s_capture_result; }

unsigned frame_gl_error_count() { return s_gl_error_frames; }

static void capture_framebuffer(int fb_w, int fb_h) {
    s_capture_result = -1;
    if (fb_w <= 0 || fb_h <= 0) return;
    size_t stride = (size_t)fb_w * 4;
    unsigned char* px = (unsigned char*)malloc(stride * (size_t)fb_h);
    unsigned char* flipped = (unsigned char*)malloc(stride * (size_t)fb_h);
    if (px && flipped) {
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadBuffer(GL_BACK);
        glReadPixels(0, 0, fb_w, fb_h, GL_RGBA, GL_UNSIGNED_BYTE, px);
        // GL rows run bottom-up, PNG rows top-down.
        for (int y = 0; y < fb_h; ++y) memcpy(flipped + (size_t)y * stride, px + (size_t)(fb_h - 1 - y) * stride, stride);
        if (stbi_write_png(s_capture_path, fb_w, fb_h, 4, flipped, (int)stride)) s_capture_result = 1;
    }
    free(px);
    free(flipped);
    s_capture_path[0] = 0;
}

static void draw_close_button() {
    const Color3 c = closeButton.pressed   ? g_theme.btn_close_pressed
                     : closeButton.hovered ? g_theme.btn_close_hovered
                                           : g_theme.btn_close_normal;
    float adv = glyph_xadvance('X');
    RenderText("X", closeButton.x + (closeButton.width - adv) / 2, closeButton.y + closeButton.height / 2.0f + 5,
               &c.r);
}

void render_gui_frame(GLFWwindow* win, int fb_w, int fb_h, int window_w_in, int window_h_in, const char* fpsText,
                      const RenderMainState* st) {
    (void)st;
    if (!win) return;
    window_w = window_w_in;
    window_h = window_h_in;
    g_fb_scale_x = window_w > 0 ? (float)fb_w / (float)window_w : 1;
    g_fb_scale_y = window_h > 0 ? (float)fb_h / (float)window_h : 1;
    ++s_frame_no;

    glViewport(0, 0, fb_w, fb_h);
    const Color4 bg = g_theme.window_bg;
    glClearColor(bg.r, bg.g, bg.b, bg.a);
    glClear(GL_COLOR_BUFFER_BIT);
    setup_line_shader(text_shader, window_w, window_h);
    draw_title_bar(ui_shader, ui_vao, window_w, window_h);

    set_line_color(text_shader, g_theme.border_line);
    float ww = (float)window_w, wh = (float)window_h;
    draw_line(text_shader, line_vao, line_vbo, 1, 1, 1, wh);
    draw_line(text_shader, line_vao, line_vbo, 1, wh - 1, ww - 1, wh - 1);
    draw_line(text_shader, line_vao, line_vbo, ww - 1, 1, ww - 1, wh - 1);

    draw_close_button();
    RenderText("Korvane Debugger", 10, 20, &g_theme.titlebar_text.r);
    // The label's place suits a narrow font; a wider one must not run into it.
    float fps_x = std::max(160.0f, 10 + measure_text("Korvane Debugger") + 14);
    RenderText(fpsText ? fpsText : "FPS: ...", fps_x, 20, &g_theme.titlebar_info.r);

    draw_layout_box(&debug_box, "Log", &logv, window_h, nullptr, 0);

    popup_draw(&g_popup);
    tooltip_draw();

    GLenum err = glGetError();
    if (err != GL_NO_ERROR) {
        if (s_gl_error_frames++ == 0) log_addf(&logv, "[GL] Error 0x%04X in frame %u", err, s_frame_no);
        while (glGetError() != GL_NO_ERROR) {
        }
    }
    if (s_capture_path[0]) capture_framebuffer(fb_w, fb_h);
    glfwSwapBuffers(win);
}
