#include "ui/panel.h"

#include <algorithm>
#include <mutex>

#include "ui/font.h"

float header_button_width(const char* label) { return std::max(40.0f, measure_text(label) + 12); }

void header_buttons_place(const LayoutBox* b, HeaderButton* hdr_buttons, int count) {
    float bx = b->x + b->w;
    for (int i = 0; i < count && hdr_buttons; ++i) {
        Button* btn = hdr_buttons[i].btn;
        if (!btn) continue;
        float w = header_button_width(hdr_buttons[i].label);
        bx -= w + (i > 0 ? 4 : 0);
        btn->x = (int)bx;
        btn->y = (int)(b->y + (15 - 14) / 2 + 1);
        btn->width = (int)w;
        btn->height = 14;
    }
}

void draw_layout_box(LayoutBox* b, const char* title, LogView* lv, int wh, HeaderButton* hdr_buttons,
                     int hdr_button_count) {
    if (!b || b->w <= 0 || b->h <= 0) return;
    begin_scissor(b, wh);
    draw_filled_rectangle(b, 15);
    if (title) RenderText(title, b->x + b->padding, b->y + 13, &g_theme.hdr_normal.r);
    header_buttons_place(b, hdr_buttons, hdr_button_count);
    for (int i = 0; i < hdr_button_count && hdr_buttons; ++i) {
        HeaderButton* hb = &hdr_buttons[i];
        if (!hb->btn) continue;
        float w = (float)hb->btn->width;
        bool on = hb->state && *hb->state;
        hb->btn->pressed = on;
        draw_button_colored(hb->btn, g_theme.asm_button_normal, g_theme.asm_button_hovered, g_theme.asm_button_pressed);
        const float white[3] = {1, 1, 1}, grey[3] = {0.85f, 0.85f, 0.85f};
        float lw = measure_text(hb->label);
        RenderText(hb->label, hb->btn->x + (w - lw) / 2, (float)hb->btn->y + 11, on ? white : grey);
    }
    if (lv) {
        {
            std::lock_guard<std::mutex> lk(log_mutex());
            lv->x = b->x;
            lv->y = b->y;
            lv->width = b->w;
            lv->height = b->h;
            // A following view stays on its newest line when its box changes size.
            log_view_stick_to_bottom_locked(lv);
        }
        log_draw(lv, wh);
    }
    end_scissor();
    draw_box_outline(b);
}
