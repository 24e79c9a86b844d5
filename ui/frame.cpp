#include "ui/frame.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stb_image_write.h>

#include "ui/file_picker.h"
#include "ui/font.h"
#include "ui/gl.h"
#include "ui/log_view.h"
#include "ui/panel.h"
#include "ui/panels.h"
#include "ui/plot_view.h"
#include "ui/popup_menu.h"
#include "ui/setup_panel.h"
#include "ui/source_view.h"
#include "ui/svd_view.h"
#include "ui/text_field.h"
#include "platform/paths.h"
#include "probe/probe.h"
#include "runctl/fault_analyze.h"
#include "ui/ui_state.h"

static char s_capture_path[4096] = "";
static int s_capture_result = 0;
static unsigned s_gl_error_frames = 0;
static unsigned s_frame_no = 0;

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


// --- debug toolbar ----------------------------------------------------------------

struct ToolbarEntry {
    Button* btn;
    DbgIconId icon;
    const Color3* tint;
    bool needs_idle;    // disabled while a command runs
    int needs_halted;   // 1 halted, 0 running, -1 either
};

static const ToolbarEntry s_toolbar[8] = {
    {&BtnReset, DBG_ICON_RESET, &g_theme.dbg_btn_reset, false, -1},
    {&BtnRunToMain, DBG_ICON_RUN_TO_MAIN, &g_theme.titlebar_info, false, -1},
    {&BtnStart, DBG_ICON_CONTINUE, &g_theme.dbg_btn_continue, true, 1},
    {&BtnPause, DBG_ICON_PAUSE, &g_theme.dbg_btn_pause, false, 0},
    {&BtnStep, DBG_ICON_STEP_OVER, &g_theme.dbg_btn_step, true, 1},
    {&BtnStepInto, DBG_ICON_STEP_INTO, &g_theme.dbg_btn_step, true, 1},
    {&BtnStepOut, DBG_ICON_STEP_OUT, &g_theme.dbg_btn_step, true, 1},
    {&BtnStepAsm, DBG_ICON_STEP_ASM, &g_theme.dbg_btn_step, true, 1},
};

static const ToolbarEntry* toolbar_entry(const Button* b) {
    for (const ToolbarEntry& e : s_toolbar)
        if (e.btn == b) return &e;
    return nullptr;
}

bool is_toolbar_button(const Button* b) { return toolbar_entry(b) != nullptr; }

bool toolbar_button_enabled(const Button* b) {
    const ToolbarEntry* e = toolbar_entry(b);
    if (!e) return true;
    if (b == &BtnStepAsm && !g_show_asm) return false;
    if (!g_probe_connected.load()) return false;
    if (e->needs_idle && g_cmd_busy.load() != 0) return false;
    // A halt made only to read local variables is not a halt the user can step from.
    bool halted = g_is_halted.load() && !g_watch_halting.load();
    // Pause stops whatever runs, a step or run to main included (it aborts
    // them); only a flash job, which owns the core, is not interrupted.
    if (b == &BtnPause) return (!halted || g_stepping.load()) && g_flash_status.load() != FLASH_STATUS_BUSY;
    if (e->needs_halted == 1 && !halted) return false;
    if (e->needs_halted == 0 && halted) return false;
    return true;
}

static void draw_toolbar() {
    for (const ToolbarEntry& e : s_toolbar) {
        if (e.btn == &BtnStepAsm && !g_show_asm) continue;
        draw_dbg_button_icon(e.icon, e.btn, *e.tint, !toolbar_button_enabled(e.btn));
    }
}

// --- title strip --------------------------------------------------------------------

static const Color3& by_state(const Button& b, const Color3& pressed, const Color3& hovered, const Color3& normal) {
    return b.pressed ? pressed : b.hovered ? hovered : normal;
}

static void draw_centred_letter(const Button& b, const char* letter, const float* rgb) {
    float adv = measure_text(letter);
    RenderText(letter, b.x + (b.width - adv) / 2, b.y + b.height / 2.0f + 5, rgb);
}

static void draw_window_buttons() {
    draw_centred_letter(closeButton, "X",
                        &by_state(closeButton, g_theme.btn_close_pressed, g_theme.btn_close_hovered,
                                  g_theme.btn_close_normal).r);
    set_line_color(by_state(maxButton, g_theme.btn_max_pressed, g_theme.btn_max_hovered, g_theme.btn_max_normal));
    float mx = (float)maxButton.x + 4, my = (float)maxButton.y + 4;
    draw_line(mx, my, mx + 12, my);
    draw_line(mx, my + 2, mx + 12, my + 2);
    draw_line(mx, my, mx, my + 12);
    draw_line(mx + 12, my, mx + 12, my + 12);
    draw_line(mx, my + 12, mx + 12, my + 12);
    set_line_color(by_state(minButton, g_theme.btn_max_pressed, g_theme.btn_max_hovered, g_theme.btn_max_normal));
    float ly = (float)minButton.y + minButton.height / 2.0f + 1;
    draw_line((float)minButton.x + 4, ly, (float)(minButton.x + minButton.width - 4), ly);
    const Color3& tc = g_is_topmost ? g_theme.btn_top_active
                       : topmostButton.hovered ? g_theme.btn_top_hovered
                                               : g_theme.btn_top_normal;
    draw_centred_letter(topmostButton, "T", &tc.r);
}

static void draw_toggles(const VisToggle* rows, int n, bool fault_valid) {
    for (int i = 0; i < n; ++i) {
        const VisToggle& t = rows[i];
        const Button& b = *t.btn;
        bool on = *t.flag;
        Color4 body = {0.3f, 0.3f, 0.3f, 0.15f};
        const Color3* label = &g_theme.btn_top_normal;
        if (t.fault_indicator && fault_valid) {
            body = color4_of(g_theme.btn_top_active, on ? 0.35f : 0.5f);
            label = &g_theme.btn_top_active;
        } else if (on) {
            body = color4_of(g_theme.btn_top_active, 0.35f);
            label = &g_theme.btn_top_active;
        } else if (b.hovered) {
            body = color4_of(g_theme.btn_top_hovered, 0.2f);
            label = &g_theme.btn_top_hovered;
        }
        draw_rect((float)b.x, (float)b.y, (float)b.width, (float)b.height, 3, body);
        draw_centred_letter(b, t.label, &label->r);
    }
}

static void draw_theme_button() {
    const Button& b = BtnDark;
    if (b.hovered)
        draw_rect((float)b.x - 2, (float)b.y - 1, (float)b.width + 4, (float)b.height + 2, 3,
                  Color4{0.35f, 0.35f, 0.35f, 0.5f});
    float grey = b.hovered ? 0.95f : 0.65f;
    const float c[3] = {grey, grey, grey};
    RenderText(g_dark_theme_active ? "Light" : "Dark", (float)b.x, (float)(b.y + b.height - 2), c);
}

// The title stays clear of the header's buttons: short of room it drops
// "Source: ", then the end of the file's name.
static void source_title(const char* file, float room, char* out, size_t cap) {
    snprintf(out, cap, file ? "Source: %s" : "Source", file ? path_base_name(file) : "");
    if (!file || measure_text(out) <= room) return;
    char name[256];
    snprintf(name, sizeof name, "%s", path_base_name(file));
    for (size_t n = strlen(name); n > 0;) {
        snprintf(out, cap, "%.*s%s", (int)n, name, n == strlen(name) ? "" : "\xE2\x80\xA6");
        if (measure_text(out) <= room) return;
        --n;
        while (n > 0 && (name[n] & 0xC0) == 0x80) --n;  // whole UTF-8 characters
    }
    out[0] = 0;
}

static void draw_source_panel(const RenderMainState* st) {
    HeaderButton hdr[SOURCE_HEADER_BUTTONS_MAX];
    int hdr_count = source_header_buttons(hdr);
    header_buttons_place(&source_box, hdr, hdr_count);
    char title[300];
    bool have = st && st->src_loaded_file && st->src_loaded_file[0];
    source_title(have ? st->src_loaded_file : nullptr,
                 (float)hdr[hdr_count - 1].btn->x - (source_box.x + source_box.padding) - 6, title, sizeof title);
    draw_layout_box(&source_box, title, nullptr, window_h, hdr, hdr_count);
    if (source_box.w <= 0 || source_box.h <= 0) return;
    source_view.x = source_box.x;
    source_view.y = source_box.y;
    source_view.width = source_box.w;
    source_view.height = source_box.h;
    source_draw(&source_view, window_h, st ? st->src_current_line : 0, g_show_asm, st ? st->asm_cache : nullptr,
                st ? st->current_pc : 0, st ? st->asm_cache_count : 0);
    draw_box_outline(&source_box);
}

// The edit field over the row it edits, clipped to the panel's rows.
static void draw_edit_on_row(LayoutBox* box, LogView* v) {
    LayoutBox rows = {box->x, box->y + LOG_HEADER_H, box->w, std::max(0.0f, box->h - LOG_HEADER_H), 0};
    begin_scissor(&rows, window_h);
    text_field_draw_on_row(&g_edit, v, g_edit.target.row);
    end_scissor();
}

void render_gui_frame(GLFWwindow* win, int fb_w, int fb_h, int window_w_in, int window_h_in, const char* fpsText,
                      const RenderMainState* st) {
    if (!win) return;
    window_w = window_w_in;
    window_h = window_h_in;
    g_fb_scale_x = window_w > 0 ? (float)fb_w / (float)window_w : 1;
    g_fb_scale_y = window_h > 0 ? (float)fb_h / (float)window_h : 1;
    ++s_frame_no;

    glViewport(0, 0, fb_w, fb_h);
    draw_frame_begin(window_w, window_h, g_theme.window_bg);
    draw_title_bar(window_w);

    float ww = (float)window_w, wh = (float)window_h;
    set_line_color(g_theme.border_line);
    draw_line(1, 1, 1, wh);
    draw_line(1, wh - 1, ww - 1, wh - 1);
    draw_line(ww - 1, 1, ww - 1, wh - 1);
    if (win_right_resizing || win_right_hovered) {
        set_line_color(win_right_resizing ? g_theme.panel_edge_dragging : g_theme.panel_edge_hovered);
        draw_line(ww - 1, 1, ww - 1, wh - 1);
    }
    if (win_bottom_resizing || win_bottom_hovered) {
        set_line_color(win_bottom_resizing ? g_theme.panel_edge_dragging : g_theme.panel_edge_hovered);
        draw_line(1, wh - 1, ww - 1, wh - 1);
    }

    bool fault_valid;
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        fault_valid = g_hardfault.valid;
    }
    draw_window_buttons();
    draw_toggles(vis_btns, 5, false);
    draw_theme_button();
    RenderText("Korvane Debugger", 10, 20, &g_theme.titlebar_text.r);
    // The label's place suits a narrow font; a wider one must not run into it.
    float fps_x = std::max(160.0f, 10 + measure_text("Korvane Debugger") + 14);
    RenderText(fpsText ? fpsText : "FPS: ...", fps_x, 20, &g_theme.titlebar_info.r);

    if (g_show_log) draw_layout_box(&debug_box, "Log", &log_panel, window_h, nullptr, 0);
    if (g_show_setup) draw_setup_panel(st);
    if (g_show_stack) draw_stack_panel();
    if (g_show_fault) draw_fault_panel();
    if (g_show_bkpt) draw_bkpt_panel();
    if (g_show_memmap) {
        draw_layout_box(&memmap_box, "Core registers", &memmap_panel, window_h, nullptr, 0);
        if (g_edit.active && g_edit.target.kind == EDIT_CORE_REG) draw_edit_on_row(&memmap_box, &memmap_panel);
    }
    if (g_show_periph) {
        char title[160];
        svd_view_title(title, sizeof title);
        draw_layout_box(&periph_box, title, &periph_panel, window_h, nullptr, 0);
        if (g_edit.active && (g_edit.target.kind == EDIT_PERIPH_REG || g_edit.target.kind == EDIT_PERIPH_FIELD))
            draw_edit_on_row(&periph_box, &periph_panel);
    }
    if (g_show_source) draw_source_panel(st);
    if (g_show_variables) draw_variables_panel();

    draw_toolbar();
    draw_toggles(bot_btns, 5, fault_valid);
    if (g_show_plot) plot_view_draw();
    file_picker_draw(&g_file_picker, g_show_source ? &source_box : nullptr, st ? st->src_dwarf_file : nullptr,
                     window_w, window_h);
    popup_draw(&g_popup);
    tooltip_draw();
    draw_flush();

    GLenum err = glGetError();
    if (err != GL_NO_ERROR) {
        if (s_gl_error_frames++ == 0) log_addf(&logv, "[GL] Error 0x%04X in frame %u", err, s_frame_no);
        while (glGetError() != GL_NO_ERROR) {
        }
    }
    if (s_capture_path[0]) capture_framebuffer(fb_w, fb_h);
    glfwSwapBuffers(win);
}
