#include <cstdio>
#include <cstring>

#include "ui/draw.h"
#include "ui/font.h"
#include "ui/gl.h"

Tooltip g_tooltip = {};
double g_tooltip_wake_at = 0;

// A tooltip is armed when the pointer reaches its target and shows when the
// delay has passed, whether or not the pointer moves again (the main loop
// wakes for it); it stays while the pointer stays on the target.
void tooltip_set_at(double now, uintptr_t target_id, const char* text, float mx, float my, float delay_sec) {
    if (target_id == g_tooltip.last_id) {
        if (!g_tooltip.visible && now - g_tooltip.hover_since >= delay_sec) {
            g_tooltip.visible = true;
            g_tooltip_wake_at = 0;
        }
        return;
    }
    g_tooltip.last_id = target_id;
    g_tooltip.hover_since = now;
    g_tooltip.visible = false;
    snprintf(g_tooltip.text, sizeof g_tooltip.text, "%s", text ? text : "");
    g_tooltip.mx = mx;
    g_tooltip.my = my;
    g_tooltip_wake_at = now + delay_sec;
}

void tooltip_set(uintptr_t target_id, const char* text, float mx, float my, float delay_sec) {
    tooltip_set_at(glfwGetTime(), target_id, text, mx, my, delay_sec);
}

bool tooltip_clear() {
    bool was_visible = g_tooltip.visible;
    g_tooltip.visible = false;
    g_tooltip.last_id = 0;
    g_tooltip_wake_at = 0;
    return was_visible;
}

bool tooltip_wake(double now) {
    if (g_tooltip_wake_at <= 0 || now < g_tooltip_wake_at) return false;
    g_tooltip_wake_at = 0;
    if (g_tooltip.visible || !g_tooltip.last_id) return false;
    g_tooltip.visible = true;
    return true;
}

TooltipBox tooltip_box(float text_w, float mx, float my, int win_w, int win_h) {
    TooltipBox b = {mx + 14, my + 20, text_w + 14, 24};
    if (b.x + b.w > (float)win_w - 4) b.x = (float)win_w - 4 - b.w;
    if (b.y + b.h > (float)win_h - 4) b.y = my - 24 - 4;
    return b;
}

void tooltip_draw() {
    if (!g_tooltip.visible || !g_tooltip.text[0]) return;
    TooltipBox b = tooltip_box(measure_text(g_tooltip.text), g_tooltip.mx, g_tooltip.my, window_w, window_h);
    draw_rect(b.x, b.y, b.w, b.h, 4, Color4{0.10f, 0.10f, 0.13f, 0.95f});
    set_line_color(Color3{0.48f, 0.48f, 0.55f});
    draw_line(b.x, b.y, b.x + b.w, b.y);
    draw_line(b.x + b.w, b.y, b.x + b.w, b.y + b.h);
    draw_line(b.x + b.w, b.y + b.h, b.x, b.y + b.h);
    draw_line(b.x, b.y + b.h, b.x, b.y);
    const float col[3] = {0.92f, 0.92f, 0.92f};
    RenderText(g_tooltip.text, b.x + 7, b.y + 18, col);
}

void tooltip_reset() {}
