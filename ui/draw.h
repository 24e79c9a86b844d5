// Drawing primitives every panel is made of: rounded rectangles, lines, panel
// bodies, buttons, scissoring, scroll bars, toolbar icons and the tooltip.
// Coordinates are window pixels, origin top left, y downwards.
//
// Nothing is drawn at once: a frame's rectangles, glyphs, icons and lines are
// gathered into one vertex buffer, in call order, and drawn by draw_flush in a
// few draw calls with one texture (a software renderer pays for every draw
// call, state change and shaded pixel). Clipping travels with each vertex, so
// a clip change needs no draw call; where shapes are drawn out of call order,
// they do not overlap. draw.cpp says how.
#pragma once

#include <cstdint>

#include "ui/font.h"
#include "ui/theme.h"

// Window size in screen coordinates, refreshed by the main loop every pass.
extern int window_w, window_h;
// Framebuffer pixels per window unit (HiDPI), set by the frame before drawing.
extern float g_fb_scale_x, g_fb_scale_y;

struct LayoutBox {
    float x, y, w, h, padding;
};

struct Button {
    int x, y, width, height;
    bool hovered, pressed;
};

struct Tooltip {
    char text[128];
    float mx, my;
    bool visible;
    double hover_since;
    uintptr_t last_id;
};
extern Tooltip g_tooltip;
extern double g_tooltip_wake_at;

enum DbgIconId {
    DBG_ICON_CONTINUE = 0,
    DBG_ICON_PAUSE = 1,
    DBG_ICON_RESET = 2,
    DBG_ICON_RUN_TO_MAIN = 3,
    DBG_ICON_STEP_OVER = 4,
    DBG_ICON_STEP_INTO = 5,
    DBG_ICON_STEP_OUT = 6,
    DBG_ICON_FLASH = 7,
    DBG_ICON_STEP_ASM = 8,
    ICON_COUNT = 9
};

// The program, buffers and the atlas texture (FONT_ATLAS_SIZE square): the
// glyphs of the font built by init_font (call that first) in the rows above
// FONT_ATLAS_GLYPH_ROWS, under them the toolbar icons and a solid block.
void init_drawing_resources();
void cleanup_drawing_resources();

// Column-major orthographic projection (near -1, far 1).
void ortho_projection(float out[16], float left, float right, float bottom, float top);
// Starts a frame of the given window size, cleared to `clear` at the first
// flush: an empty batch, no clip.
void draw_frame_begin(int window_width, int window_height, Color4 clear);
// Draws what was gathered since draw_frame_begin or the last flush (before the
// frame is read back or presented); the clip stays as it is.
void draw_flush();

// Colour of the lines drawn after it.
void set_line_color(Color3 c);

void draw_rect(float x, float y, float w, float h, float radius, Color4 color);
// A one-pixel line, on the pixels GL lights for it (see draw.cpp).
void draw_line(float x1, float y1, float x2, float y2);
void draw_box_outline(const LayoutBox* b);
void draw_filled_rectangle(const LayoutBox* box, float header_height);
void draw_title_bar(int window_width);
void draw_button_colored(const Button* button, Color4 col_normal, Color4 col_hovered, Color4 col_pressed);
// A quad of the atlas (glyphs, icons): window rectangle (x0, y0)-(x1, y1), atlas
// coordinates (s0, t0)-(s1, t1); its coverage is the atlas value times color.a.
void draw_atlas_quad(float x0, float y0, float x1, float y1, float s0, float t0, float s1, float t1, Color4 color);


// Panel body colour derived from the theme's panel_bg (lighter in a light
// theme, darker in a dark one).
Color4 panel_body_color(Color4 panel_bg);

// Scissor rectangle in framebuffer pixels for a box in window pixels: y is
// flipped, the HiDPI scale applied, and the size never negative.
void scissor_rect_for(const LayoutBox* b, int window_h, float sx, float sy, int out[4]);
void begin_scissor(LayoutBox* b, int window_h);
void end_scissor();

struct ScrollbarGeom {
    bool visible;
    float track_x, track_top, track_len, thumb_top, thumb_len;
};
// The scroll bar's geometry; clamps *scroll to 0 .. max(0, content_h - visible_h).
ScrollbarGeom scrollbar_geometry(float panel_x, float panel_y, float panel_w, float panel_h, float sb_inset,
                                 float* scroll, float content_h);
void draw_scrollbar_generic(float panel_x, float panel_y, float panel_w, float panel_h, float sb_inset,
                            float* scroll, float content_h, int wh);

// Icons.
constexpr int ICON_PX = 32;
// The 32 x 32 coverage mask of an icon (row 0 on top), or null.
const unsigned char* icon_bitmap(DbgIconId id);
// Writes the icons into the atlas bitmap (FONT_ATLAS_SIZE square) under the
// glyph rows, from the left; the first ICONS_ATLAS_WIDTH columns are theirs.
constexpr int ICONS_ATLAS_WIDTH = 4 + (int)ICON_COUNT * (ICON_PX + 4);
void icons_put_in_atlas(unsigned char* atlas);
void draw_icon(DbgIconId id, float x, float y, float w, float h, float r, float g, float b, float a);
Color3 dbg_button_icon_color(const Button* btn, Color3 base, bool disabled);
void draw_dbg_button_icon(DbgIconId id, const Button* btn, Color3 base, bool disabled);

// Tooltip. `now` is the time in seconds (glfwGetTime in the program).
void tooltip_set(uintptr_t target_id, const char* text, float mx, float my, float delay_sec);
void tooltip_set_at(double now, uintptr_t target_id, const char* text, float mx, float my, float delay_sec);
// Shows the armed tooltip once g_tooltip_wake_at has passed; true when a redraw is due.
bool tooltip_wake(double now);
// The pointer left every target: disarms; true when a visible tooltip went.
bool tooltip_clear();
struct TooltipBox {
    float x, y, w, h;
};
TooltipBox tooltip_box(float text_w, float mx, float my, int win_w, int win_h);
void tooltip_draw();
void tooltip_reset();
