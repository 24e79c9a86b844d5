#include "ui/popup_menu.h"

#include <algorithm>

#include "ui/draw.h"
#include "ui/font.h"

PopupMenu g_popup = {};

void popup_open(PopupMenu* m, int owner, float mx, float my, const PopupItem* items, int count, int win_w,
                int win_h, float item_w) {
    if (!m || !items) return;
    m->count = std::clamp(count, 0, POPUP_MAX_ITEMS);
    for (int i = 0; i < m->count; ++i) m->items[i] = items[i];
    // Wide enough for the longest label whatever the font.
    m->w = item_w;
    for (int i = 0; i < m->count; ++i) m->w = std::max(m->w, measure_text(m->items[i].label) + 24);
    m->h = (float)m->count * POPUP_ITEM_H + 4;
    // Kept inside the window; a window smaller than the menu pins it at 0.
    m->x = std::max(0.0f, std::min(mx, (float)win_w - m->w));
    m->y = std::max(0.0f, std::min(my, (float)win_h - m->h));
    m->owner = owner;
    m->hovered = -1;
    m->visible = m->count > 0;
}

static int item_at(const PopupMenu* m, float mx, float my) {
    if (mx < m->x || mx >= m->x + m->w || my < m->y + 2) return -1;
    int i = (int)((my - m->y - 2) / POPUP_ITEM_H);
    return (i >= 0 && i < m->count) ? i : -1;
}

bool popup_hover(PopupMenu* m, float mx, float my) {
    if (!m || !m->visible) return false;
    int h = item_at(m, mx, my);
    if (h == m->hovered) return false;
    m->hovered = h;
    return true;
}

int popup_click(PopupMenu* m, float mx, float my) {
    if (!m || !m->visible) return 0;
    int i = item_at(m, mx, my);
    int cmd = (i >= 0 && m->items[i].enabled) ? m->items[i].cmd : 0;
    popup_close(m);
    return cmd;
}

void popup_close(PopupMenu* m) {
    if (!m) return;
    m->visible = false;
    m->hovered = -1;
}

void popup_draw(PopupMenu* m) {
    if (!m || !m->visible) return;
    draw_rect(m->x, m->y, m->w, m->h, 3, color4_of(g_theme.border_line, 1));
    // Inset by 2: the body's soft edge would otherwise cover a 1 px border.
    draw_rect(m->x + 2, m->y + 2, m->w - 4, m->h - 4, 2, g_theme.titlebar_bg);
    for (int i = 0; i < m->count; ++i) {
        float iy = m->y + 2 + (float)i * POPUP_ITEM_H;
        if (i == m->hovered && m->items[i].enabled)
            draw_rect(m->x + 2, iy, m->w - 4, POPUP_ITEM_H, 2, g_theme.log_hover_row);
        const Color3 c = m->items[i].enabled ? g_theme.log_text_normal : g_theme.log_text_dim;
        RenderText(m->items[i].label, m->x + 12, iy + 17, &c.r);
    }
}
