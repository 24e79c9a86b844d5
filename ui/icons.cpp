// The nine toolbar icons: 32 x 32 coverage masks computed once from simple
// shapes (4 x 4 supersampled for soft edges), placed in the drawing atlas.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "ui/draw.h"

static unsigned char s_bitmaps[ICON_COUNT][ICON_PX * ICON_PX];
static bool s_bitmaps_made = false;

// Where the icons sit in the atlas: under the glyphs, with space between them
// so that linear filtering at an icon's edge reads empty texels, as the
// clamped edge of a texture of its own did.
constexpr int ATLAS_ICON_TOP = FONT_ATLAS_GLYPH_ROWS + 4, ATLAS_ICON_STEP = ICON_PX + 4;
static_assert(ATLAS_ICON_TOP + ICON_PX + 2 <= (int)FONT_ATLAS_SIZE, "the icons fit under the glyphs");

// ---- shape predicates, in icon pixel coordinates (0..32, y down) ----------

static bool in_rect(float x, float y, float x0, float y0, float x1, float y1) {
    return x >= x0 && x < x1 && y >= y0 && y < y1;
}

static float edge(float ax, float ay, float bx, float by, float px, float py) {
    return (bx - ax) * (py - ay) - (by - ay) * (px - ax);
}

static bool in_tri(float x, float y, float ax, float ay, float bx, float by, float cx, float cy) {
    float e0 = edge(ax, ay, bx, by, x, y), e1 = edge(bx, by, cx, cy, x, y), e2 = edge(cx, cy, ax, ay, x, y);
    return (e0 >= 0 && e1 >= 0 && e2 >= 0) || (e0 <= 0 && e1 <= 0 && e2 <= 0);
}

static bool in_disc(float x, float y, float cx, float cy, float r) {
    return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r;
}

// Ring between radii r0..r1, limited to angles a0..a1 (degrees, 0 = right,
// counter-clockwise with y up).
static bool in_arc(float x, float y, float cx, float cy, float r0, float r1, float a0, float a1) {
    float dx = x - cx, dy = cy - y;
    float d2 = dx * dx + dy * dy;
    if (d2 < r0 * r0 || d2 > r1 * r1) return false;
    float a = std::atan2(dy, dx) * 57.29578f;
    if (a < 0) a += 360;
    return a >= a0 && a <= a1;
}

static bool shape_continue(float x, float y) {
    return in_tri(x, y, 8, 5, 8, 27, 27, 16) && !in_tri(x, y, 11, 10.5f, 11, 21.5f, 21, 16);
}
static bool shape_pause(float x, float y) {
    return in_rect(x, y, 8, 6, 13, 26) || in_rect(x, y, 19, 6, 24, 26);
}
static bool shape_reset(float x, float y) {
    return in_arc(x, y, 16, 17, 7.5f, 11, 0, 290) || in_tri(x, y, 22, 4, 30, 10, 21, 13);
}
static bool shape_run_to_main(float x, float y) {
    return in_rect(x, y, 8, 4, 11, 29) || in_tri(x, y, 11, 5, 11, 19, 26, 12);
}
static bool shape_step_over(float x, float y) {
    return in_arc(x, y, 16, 16, 7.5f, 10.5f, 20, 180) || in_tri(x, y, 20, 14, 30, 14, 25.5f, 20) ||
           in_disc(x, y, 16, 25, 3.2f);
}
static bool shape_step_into(float x, float y) {
    return in_rect(x, y, 14.5f, 3, 17.5f, 14) || in_tri(x, y, 9, 12, 23, 12, 16, 19) || in_disc(x, y, 16, 25.5f, 3.2f);
}
static bool shape_step_out(float x, float y) {
    return in_rect(x, y, 14.5f, 10, 17.5f, 19) || in_tri(x, y, 9, 11, 23, 11, 16, 3) || in_disc(x, y, 16, 25.5f, 3.2f);
}
static bool shape_stop(float x, float y) {
    return in_rect(x, y, 7, 7, 25, 25) && !in_rect(x, y, 10, 10, 22, 22);
}
static bool shape_step_asm(float x, float y) {
    return in_rect(x, y, 4, 14.5f, 19, 17.5f) || in_tri(x, y, 18, 9, 18, 23, 28, 16) || in_rect(x, y, 4, 9, 7, 23);
}

typedef bool (*ShapeFn)(float, float);

static void make_bitmaps() {
    static const ShapeFn shapes[ICON_COUNT] = {shape_continue,  shape_pause,     shape_reset,
                                               shape_run_to_main, shape_step_over, shape_step_into,
                                               shape_step_out,  shape_stop,      shape_step_asm};
    for (int id = 0; id < ICON_COUNT; ++id) {
        for (int py = 0; py < ICON_PX; ++py) {
            for (int px = 0; px < ICON_PX; ++px) {
                int hits = 0;
                if (id == DBG_ICON_RUN_TO_MAIN) {
                    // The pennant is hard-edged: one sample at the pixel centre.
                    hits = shapes[id](px + 0.5f, py + 0.5f) ? 16 : 0;
                } else {
                    for (int sy = 0; sy < 4; ++sy)
                        for (int sx = 0; sx < 4; ++sx)
                            hits += shapes[id](px + (sx + 0.5f) / 4, py + (sy + 0.5f) / 4) ? 1 : 0;
                }
                s_bitmaps[id][py * ICON_PX + px] = (unsigned char)std::min(255, hits * 255 / 16);
            }
        }
    }
    s_bitmaps_made = true;
}

const unsigned char* icon_bitmap(DbgIconId id) {
    if ((int)id < 0 || id >= ICON_COUNT) return nullptr;
    if (!s_bitmaps_made) make_bitmaps();
    return s_bitmaps[id];
}

void icons_put_in_atlas(unsigned char* atlas) {
    if (!s_bitmaps_made) make_bitmaps();
    for (int i = 0; i < ICON_COUNT; ++i)
        for (int y = 0; y < ICON_PX; ++y)
            memcpy(atlas + (size_t)(ATLAS_ICON_TOP + y) * FONT_ATLAS_SIZE + 4 + i * ATLAS_ICON_STEP,
                   s_bitmaps[i] + y * ICON_PX, ICON_PX);
}

void draw_icon(DbgIconId id, float x, float y, float w, float h, float r, float g, float b, float a) {
    if ((int)id < 0 || id >= ICON_COUNT) return;
    const float k = 1.0f / (float)FONT_ATLAS_SIZE, s0 = (float)(4 + (int)id * ATLAS_ICON_STEP) * k,
                t0 = (float)ATLAS_ICON_TOP * k, side = (float)ICON_PX * k;
    draw_atlas_quad(x, y, x + w, y + h, s0, t0, s0 + side, t0 + side, Color4{r, g, b, a});
}

Color3 dbg_button_icon_color(const Button* btn, Color3 base, bool disabled) {
    Color3 c = base;
    if (disabled) {
        // 45 % of the way from the background to the info grey: faint in both
        // themes (a plain 0.45 x grey comes out darker than the live icons on
        // the light theme's cream background).
        Color3 i = g_theme.titlebar_info;
        Color4 bg = g_theme.window_bg;
        return Color3{bg.r + 0.45f * (i.r - bg.r), bg.g + 0.45f * (i.g - bg.g), bg.b + 0.45f * (i.b - bg.b)};
    }
    if (btn && btn->pressed) return Color3{c.r * 0.6f, c.g * 0.6f, c.b * 0.6f};
    if (btn && btn->hovered)
        return Color3{std::min(1.0f, c.r * 1.3f), std::min(1.0f, c.g * 1.3f), std::min(1.0f, c.b * 1.3f)};
    return c;
}

void draw_dbg_button_icon(DbgIconId id, const Button* btn, Color3 base, bool disabled) {
    if (!btn) return;
    Color3 c = dbg_button_icon_color(btn, base, disabled);
    draw_icon(id, btn->x + (btn->width - 24) / 2.0f, btn->y + (btn->height - 24) / 2.0f, 24, 24, c.r, c.g, c.b, 1);
}
