// Drawing primitives every panel is made of: rounded rectangles, lines, panel
// bodies, buttons, scissoring, scroll bars, toolbar icons and the tooltip.
// Coordinates are window pixels, origin top left, y downwards.
#pragma once

#include <cstdint>

#include "ui/theme.h"

typedef unsigned int GLuint;

// Window size in screen coordinates, refreshed by the main loop every pass.
extern int window_w, window_h;
// Framebuffer pixels per window unit (HiDPI), set by the frame before drawing.
extern float g_fb_scale_x, g_fb_scale_y;

// The shared programs and buffers, created by init_drawing_resources.
extern GLuint ui_shader, text_shader, ui_vao, ui_vbo, line_vao, line_vbo;

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

GLuint create_shader_program(const char* vertex_source, const char* fragment_source);
void init_drawing_resources(GLuint* ui_shader, GLuint* text_shader, GLuint* ui_vao, GLuint* ui_vbo,
                            GLuint* line_vao, GLuint* line_vbo);
void cleanup_drawing_resources(GLuint* ui_shader, GLuint* text_shader, GLuint* ui_vao, GLuint* ui_vbo,
                               GLuint* line_vao, GLuint* line_vbo);

// Column-major orthographic projection (near -1, far 1).
void ortho_projection(float out[16], float left, float right, float bottom, float top);
void setup_line_shader(GLuint shader, int window_width, int window_height);
// Loads u_color of the line program (current program must be the line program).
void set_line_color(GLuint shader, Color3 c);

void draw_rect(GLuint shader, GLuint vao, float x, float y, float w, float h, float radius, Color4 color);
void draw_line(GLuint shader, GLuint vao, GLuint vbo, float x1, float y1, float x2, float y2);
void draw_box_outline(LayoutBox* b, GLuint shader, GLuint vao, GLuint vbo);
void draw_filled_rectangle(GLuint shader, GLuint vao, LayoutBox* box, float header_height);
void draw_title_bar(GLuint shader, GLuint vao, int window_width, int window_height);
void draw_button_colored(GLuint shader, GLuint vao, Button* button, int window_width, int window_height,
                         Color4 col_normal, Color4 col_hovered, Color4 col_pressed);

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
void icons_init();
void icons_cleanup();
// The 32 x 32 coverage mask of an icon (row 0 on top), or null.
const unsigned char* icon_bitmap(DbgIconId id);
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
