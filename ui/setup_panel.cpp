#include "ui/setup_panel.h"

#include <algorithm>
#include <cstdio>

#include "probe/probe.h"
#include "ui/font.h"
#include "ui/frame.h"
#include "ui/gl.h"
#include "ui/layout.h"
#include "ui/panel.h"
#include "ui/theme.h"
#include "ui/ui_state.h"

#define SETUP_BUTTON {-200, -200, 62, 18, false, false}
Button BtnSetupBrowseElf = SETUP_BUTTON, BtnSetupBrowseSvd = SETUP_BUTTON, BtnSetupBrowseArmSvd = SETUP_BUTTON,
       BtnSetupBrowseSrc = SETUP_BUTTON, BtnSetupBrowseBin = SETUP_BUTTON;
Button BtnSetupSave = {-200, -200, 64, 18, false, false};
Button BtnFlash = {-200, -200, 80, 18, false, false};

static const float INSET = 15, HEADER_H = 20;
float g_setup_scroll = 0;
static bool s_flash_enabled_drawn = false;

bool setup_flash_enabled_as_drawn() { return s_flash_enabled_drawn; }

bool is_setup_button(const Button* b) {
    for (const Button* s : {&BtnSetupBrowseElf, &BtnSetupBrowseSvd, &BtnSetupBrowseArmSvd, &BtnSetupBrowseSrc,
                            &BtnSetupBrowseBin, &BtnSetupSave, &BtnFlash})
        if (b == s) return true;
    return false;
}

bool setup_flash_enabled(const char* bin_path) {
    SetupMcuInfo m = setup_mcu_snapshot();
    return g_probe_connected.load() && m.valid && m.has_flash_algo && bin_path && bin_path[0] &&
           g_flash_status.load() != FLASH_STATUS_BUSY;
}

static Color3 brighter(Color3 c, float k) {
    return Color3{std::min(1.0f, c.r * k), std::min(1.0f, c.g * k), std::min(1.0f, c.b * k)};
}

static void line(Color3 c, float x0, float y0, float x1, float y1) {
    set_line_color(c);
    draw_line(x0, y0, x1, y1);
}

static void place(Button* b, float x, float y) {
    b->x = (int)x;
    b->y = (int)y;
}

static void draw_status(float px, float top, const char* bin_path) {
    int status = g_flash_status.load(), progress = g_flash_progress.load();
    const char* word = "Ready";
    Color3 c = g_theme.titlebar_text;
    if (status == FLASH_STATUS_BUSY) word = "Programming...", c = g_theme.titlebar_info;
    else if (status == FLASH_STATUS_OK) word = "Done", c = g_theme.dbg_btn_continue;
    else if (status == FLASH_STATUS_ERROR) word = "FAILED", c = Color3{1, 0.3f, 0.3f};
    draw_rect(px, top, 90, 8, 0, Color4{0.25f, 0.25f, 0.25f, 1});
    float fill = progress >= 0 && progress <= 100 ? 90.0f * (float)progress / 100.0f : 0;
    if (fill > 0.001f) draw_rect(px, top, fill, 8, 0, Color4{c.r, c.g, c.b, 1});
    char text[64];
    if (progress >= 0) std::snprintf(text, sizeof text, "%d%%  %s", progress, word);
    else std::snprintf(text, sizeof text, "%s", word);
    RenderText(text, px + 98, top + 7, &g_theme.titlebar_info.r);

    place(&BtnFlash, px, top + 14);
    const Button& f = BtnFlash;
    bool enabled = setup_flash_enabled(bin_path);
    s_flash_enabled_drawn = enabled;
    Color3 base = enabled ? g_theme.dbg_btn_continue : Color3{0.35f, 0.35f, 0.35f};
    Color3 tc = !enabled ? brighter(base, 0.5f) : f.pressed ? brighter(base, 0.6f) : f.hovered ? brighter(base, 1.3f) : base;
    float fx = (float)f.x, fy = (float)f.y, fw = (float)f.width, fh = (float)f.height;
    RenderText("Flash", fx + (fw - measure_text("Flash")) / 2, fy + 9 + 5, &tc.r);
    line(base, fx, fy, fx + fw, fy);
    line(base, fx + fw, fy, fx + fw, fy + fh);
    line(base, fx + fw, fy + fh, fx, fy + fh);
    line(base, fx, fy + fh, fx, fy);
}

static SetupFlashPlace place_unscrolled(const LayoutBox* b) {
    SetupFlashPlace p{};
    float right = b->x + b->w, px = b->x + INSET;
    p.row0 = b->y + HEADER_H;
    p.path_right = right - 8 - 10;  // clear of the scroll bar
    // Under the five rows when the panel is tall enough for all of it.
    float sep_y = p.row0 + 5 * 26 + 8;
    p.mcu_x = px;
    p.mcu_y = sep_y + 8;
    p.status_x = px;
    p.status_y = p.mcu_y + 26;
    p.content_h = p.status_y + 14 + 18 + 6 - (b->y + HEADER_H);
    if (p.status_y + 14 + 18 + 4 <= b->y + b->h) return p;
    // Otherwise beside the rows, so Flash is not cut off; a panel too narrow
    // for both scrolls instead.
    if (b->w < 2 * kSideWidth + 3 * INSET) return p;
    p.beside = true;
    p.mcu_x = p.status_x = right - INSET - kSideWidth;
    p.mcu_y = p.row0;
    p.status_y = p.row0 + 40;
    p.path_right = p.mcu_x - 12;
    p.content_h = 5 * 26 + 6;
    return p;
}

static float max_scroll(const LayoutBox* b, const SetupFlashPlace& p) {
    return std::max(0.0f, p.content_h - (b->h - HEADER_H));
}

SetupFlashPlace setup_flash_place(const LayoutBox* b) {
    SetupFlashPlace p = place_unscrolled(b);
    g_setup_scroll = std::clamp(g_setup_scroll, 0.0f, max_scroll(b, p));
    p.row0 -= g_setup_scroll;
    p.mcu_y -= g_setup_scroll;
    p.status_y -= g_setup_scroll;
    return p;
}

void setup_scroll_wheel(double yoffset) {
    SetupFlashPlace p = place_unscrolled(&setup_box);
    g_setup_scroll = std::clamp(g_setup_scroll - 2 * 26 * (float)yoffset, 0.0f, max_scroll(&setup_box, p));
}

// A button scrolled mostly out of sight takes no clicks.
static void hide_if_clipped(Button* bt, const LayoutBox* b) {
    float top = b->y + HEADER_H, bottom = b->y + b->h, half = (float)bt->height / 2;
    if ((float)bt->y < top - half || (float)(bt->y + bt->height) > bottom + half) place(bt, -200, -200);
}

void draw_setup_panel(const RenderMainState* st) {
    LayoutBox* b = &setup_box;
    if (b->w <= 0 || b->h <= 0) return;
    draw_layout_box(b, "File Setup / Flash", nullptr, window_h, nullptr, 0);
    float right = b->x + b->w;
    place(&BtnSetupSave, right - 64 - INSET - 2, b->y + 2);
    begin_scissor(b, window_h);
    const Button& sv = BtnSetupSave;
    Color3 save_c = sv.hovered ? brighter(g_theme.dbg_btn_continue, 1.3f) : g_theme.dbg_btn_continue;
    RenderText("Save", (float)sv.x + ((float)sv.width - measure_text("Save")) / 2, (float)(sv.y + sv.height - 3),
               &save_c.r);
    end_scissor();
    LayoutBox content = {b->x, b->y + HEADER_H, b->w, std::max(0.0f, b->h - HEADER_H), 0};
    begin_scissor(&content, window_h);

    SetupFlashPlace fp = setup_flash_place(b);
    float px = b->x + INSET, row0 = fp.row0;
    struct Row {
        const char* label;
        Button* btn;
        const char* path;
    } rows[5] = {{"ELF file:", &BtnSetupBrowseElf, st ? st->cfg_elf : nullptr},
                 {"SVD file:", &BtnSetupBrowseSvd, st ? st->cfg_svd : nullptr},
                 {"ARM SVD:", &BtnSetupBrowseArmSvd, st ? st->cfg_arm_svd : nullptr},
                 {"Source root:", &BtnSetupBrowseSrc, st ? st->src_root_dir : nullptr},
                 {"BIN/HEX file:", &BtnSetupBrowseBin, st ? st->cfg_bin : nullptr}};
    for (int i = 0; i < 5; ++i) {
        float top = row0 + 26 * (float)i;
        RenderText(rows[i].label, px, top + 15, &g_theme.titlebar_info.r);
        Button* bt = rows[i].btn;
        place(bt, px + measure_text(rows[i].label) + 6, top);
        float bx = (float)bt->x;
        Color3 c = bt->hovered ? brighter(g_theme.dbg_btn_step, 1.3f) : g_theme.dbg_btn_step;
        RenderText("Browse", bx + 4, top + 15, &c.r);
        line(c, bx + 4, top + 18, bx + 58, top + 18);
        float path_x = bx + (float)bt->width + 8, room = fp.path_right - path_x;
        const char* path = rows[i].path ? rows[i].path : "";
        if (room > 10 && path[0]) RenderText(truncate_text_left(path, room), path_x, top + 15, &g_theme.titlebar_text.r);
    }

    Color3 dim{g_theme.titlebar_info.r * 0.4f, g_theme.titlebar_info.g * 0.4f, g_theme.titlebar_info.b * 0.4f};
    if (fp.beside) line(dim, fp.mcu_x - 8, row0, fp.mcu_x - 8, row0 + 5 * 26);
    else line(dim, px, fp.mcu_y - 8, right - INSET, fp.mcu_y - 8);
    SetupMcuInfo m = setup_mcu_snapshot();
    char mcu[128];
    if (!m.valid || !m.device[0]) {
        std::snprintf(mcu, sizeof mcu, "MCU: not identified");
        RenderText(mcu, fp.mcu_x, fp.mcu_y + 15, &g_theme.titlebar_info.r);
    } else if (fp.beside) {
        std::snprintf(mcu, sizeof mcu, "MCU: %s", m.device);
        RenderText(truncate_text_left(mcu, kSideWidth), fp.mcu_x, fp.mcu_y + 15, &g_theme.titlebar_info.r);
        std::snprintf(mcu, sizeof mcu, "Flash: %u KB", m.flash_kb);
        RenderText(mcu, fp.mcu_x, fp.mcu_y + 31, &g_theme.titlebar_info.r);
    } else {
        std::snprintf(mcu, sizeof mcu, "MCU: %s   Flash: %u KB", m.device, m.flash_kb);
        RenderText(mcu, fp.mcu_x, fp.mcu_y + 15, &g_theme.titlebar_info.r);
    }
    draw_status(fp.status_x, fp.status_y, st ? st->cfg_bin : nullptr);
    end_scissor();
    for (int i = 0; i < 5; ++i) hide_if_clipped(rows[i].btn, b);
    hide_if_clipped(&BtnFlash, b);
    draw_scrollbar_generic(b->x, b->y, b->w, b->h, 2, &g_setup_scroll, fp.content_h, window_h);
}
