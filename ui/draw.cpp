#include "ui/draw.h"

#include <algorithm>
#include <cstdio>

#include "ui/font.h"
#include "ui/gl.h"

int window_w = 800, window_h = 600;
float g_fb_scale_x = 1, g_fb_scale_y = 1;
GLuint ui_shader = 0, text_shader = 0, ui_vao = 0, ui_vbo = 0, line_vao = 0, line_vbo = 0;

static const char* vertex_shader_source =
    "#version 330 core\n"
    "layout (location = 0) in vec2 aPos;\n"
    "uniform vec4 u_bounds;\n"  // the quad in normalised device coordinates: x0, y0, x1, y1
    "out vec2 TexCoords;\n"
    "void main() {\n"
    "    vec2 ndc = mix(u_bounds.xy, u_bounds.zw, aPos * 0.5 + 0.5);\n"
    "    gl_Position = vec4(ndc, 0.0, 1.0);\n"
    "    TexCoords = ndc * 0.5 + 0.5;\n"
    "}\n";

static const char* fragment_shader_source =
    "#version 330 core\n"
    "out vec4 FragColor;\n"
    "in vec2 TexCoords;\n"
    "uniform vec2  u_resolution;\n"
    "uniform vec4  u_rect;\n"
    "uniform vec4  u_color;\n"
    "uniform float u_radius;\n"
    "float sdRoundedBox(vec2 p, vec2 b, float r) {\n"
    "    vec2 q = abs(p) - b + r;\n"
    "    return length(max(q,0.0)) + min(max(q.x,q.y),0.0) - r;\n"
    "}\n"
    "void main() {\n"
    "    vec2 center    = u_rect.xy + u_rect.zw / 2.0;\n"
    "    vec2 half_size = u_rect.zw / 2.0;\n"
    "    vec2 pixel_pos = vec2(TexCoords.x, 1.0 - TexCoords.y) * u_resolution;\n"
    "    float d     = sdRoundedBox(pixel_pos - center, half_size, u_radius);\n"
    "    float alpha = 1.0 - smoothstep(0.0, 1.5, d);\n"
    "    if (alpha <= 0.0) discard;\n"
    "    FragColor = vec4(u_color.rgb, u_color.a * alpha);\n"
    "}\n";

static const char* text_vertex_shader_source =
    "#version 330 core\n"
    "layout (location = 0) in vec2 aPos;\n"
    "uniform mat4 u_projection;\n"
    "uniform mat4 u_model;\n"
    "void main() {\n"
    "    gl_Position = u_projection * u_model * vec4(aPos, 0.0, 1.0);\n"
    "}\n";

static const char* text_fragment_shader_source =
    "#version 330 core\n"
    "out vec4 FragColor;\n"
    "uniform vec3 u_color;\n"
    "void main() {\n"
    "    FragColor = vec4(u_color, 1.0);\n"
    "}\n";

static GLuint compile_stage(GLenum type, const char* source, const char* stage_name) {
    GLuint sh = glCreateShader(type);
    glShaderSource(sh, 1, &source, nullptr);
    glCompileShader(sh);
    GLint ok = 0;
    glGetShaderiv(sh, GL_COMPILE_STATUS, &ok);
    if (!ok) {
        char info[512];
        glGetShaderInfoLog(sh, sizeof info, nullptr, info);
        fprintf(stderr, "[SHADER] %s compile error:\n%s\n", stage_name, info);
    }
    return sh;
}

GLuint create_shader_program(const char* vertex_source, const char* fragment_source) {
    GLuint vs = compile_stage(GL_VERTEX_SHADER, vertex_source, "Vertex");
    GLuint fs = compile_stage(GL_FRAGMENT_SHADER, fragment_source, "Fragment");
    GLuint prog = glCreateProgram();
    glAttachShader(prog, vs);
    glAttachShader(prog, fs);
    glLinkProgram(prog);
    GLint ok = 0;
    glGetProgramiv(prog, GL_LINK_STATUS, &ok);
    if (!ok) {
        char info[512];
        glGetProgramInfoLog(prog, sizeof info, nullptr, info);
        fprintf(stderr, "[SHADER] Link error:\n%s\n", info);
    }
    glDeleteShader(vs);
    glDeleteShader(fs);
    return prog;
}

void init_drawing_resources(GLuint* ui_shader_out, GLuint* text_shader_out, GLuint* ui_vao_out,
                            GLuint* ui_vbo_out, GLuint* line_vao_out, GLuint* line_vbo_out) {
    theme_activate(true);
    *ui_shader_out = create_shader_program(vertex_shader_source, fragment_shader_source);
    static const float quad[12] = {-1, 1, -1, -1, 1, -1, -1, 1, 1, -1, 1, 1};
    glGenVertexArrays(1, ui_vao_out);
    glGenBuffers(1, ui_vbo_out);
    glBindVertexArray(*ui_vao_out);
    glBindBuffer(GL_ARRAY_BUFFER, *ui_vbo_out);
    glBufferData(GL_ARRAY_BUFFER, sizeof quad, quad, GL_STATIC_DRAW);
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, 8, (void*)0);

    *text_shader_out = create_shader_program(text_vertex_shader_source, text_fragment_shader_source);
    glGenVertexArrays(1, line_vao_out);
    glGenBuffers(1, line_vbo_out);
    glBindVertexArray(*line_vao_out);
    glBindBuffer(GL_ARRAY_BUFFER, *line_vbo_out);
    glBufferData(GL_ARRAY_BUFFER, 16, nullptr, GL_DYNAMIC_DRAW);
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, 8, (void*)0);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    glBindVertexArray(0);
    icons_init();
}

static void delete_program(GLuint* p) {
    if (*p) glDeleteProgram(*p);
    *p = 0;
}
static void delete_vao(GLuint* v) {
    if (*v) glDeleteVertexArrays(1, v);
    *v = 0;
}
static void delete_buffer(GLuint* b) {
    if (*b) glDeleteBuffers(1, b);
    *b = 0;
}

void cleanup_drawing_resources(GLuint* ui_shader_p, GLuint* text_shader_p, GLuint* ui_vao_p, GLuint* ui_vbo_p,
                               GLuint* line_vao_p, GLuint* line_vbo_p) {
    delete_program(ui_shader_p);
    delete_program(text_shader_p);
    delete_vao(ui_vao_p);
    delete_buffer(ui_vbo_p);
    delete_vao(line_vao_p);
    delete_buffer(line_vbo_p);
    font_cleanup();
    icons_cleanup();
}

void ortho_projection(float m[16], float left, float right, float bottom, float top) {
    const float n = -1, f = 1;
    std::fill(m, m + 16, 0.0f);
    m[0] = 2 / (right - left);
    m[5] = 2 / (top - bottom);
    m[10] = -2 / (f - n);
    m[12] = -(right + left) / (right - left);
    m[13] = -(top + bottom) / (top - bottom);
    m[14] = -(f + n) / (f - n);
    m[15] = 1;
}

void setup_line_shader(GLuint shader, int window_width, int window_height) {
    if (window_width <= 0 || window_height <= 0) return;
    float proj[16], ident[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    ortho_projection(proj, 0, (float)window_width, (float)window_height, 0);
    glUseProgram(shader);
    glUniformMatrix4fv(glGetUniformLocation(shader, "u_projection"), 1, GL_FALSE, proj);
    glUniformMatrix4fv(glGetUniformLocation(shader, "u_model"), 1, GL_FALSE, ident);
}

void set_line_color(GLuint shader, Color3 c) {
    glUseProgram(shader);
    glUniform3f(glGetUniformLocation(shader, "u_color"), c.r, c.g, c.b);
}

// The rounded-rectangle program against an explicit resolution.
static void draw_rect_at_resolution(GLuint shader, GLuint vao, float res_w, float res_h, float x, float y, float w,
                                    float h, float radius, Color4 color) {
    if (w <= 0 || h <= 0 || res_w <= 0 || res_h <= 0) return;
    static GLuint s_program = 0;
    static GLint s_res, s_rect, s_radius, s_color, s_bounds;
    if (s_program != shader) {
        s_program = shader;
        s_res = glGetUniformLocation(shader, "u_resolution");
        s_rect = glGetUniformLocation(shader, "u_rect");
        s_radius = glGetUniformLocation(shader, "u_radius");
        s_color = glGetUniformLocation(shader, "u_color");
        s_bounds = glGetUniformLocation(shader, "u_bounds");
    }
    glUseProgram(shader);
    glBindVertexArray(vao);
    glUniform2f(s_res, res_w, res_h);
    glUniform4f(s_rect, x, y, w, h);
    glUniform1f(s_radius, radius);
    glUniform4f(s_color, color.r, color.g, color.b, color.a);
    // Only the rectangle and its soft edge are rasterised, not the whole window.
    const float m = 2;
    glUniform4f(s_bounds, (x - m) / res_w * 2 - 1, 1 - (y + h + m) / res_h * 2, (x + w + m) / res_w * 2 - 1,
                1 - (y - m) / res_h * 2);
    glDrawArrays(GL_TRIANGLES, 0, 6);
    glBindVertexArray(0);
}

void draw_rect(GLuint shader, GLuint vao, float x, float y, float w, float h, float radius, Color4 color) {
    draw_rect_at_resolution(shader, vao, (float)window_w, (float)window_h, x, y, w, h, radius, color);
}

void draw_line(GLuint shader, GLuint vao, GLuint vbo, float x1, float y1, float x2, float y2) {
    float pts[4] = {x1, y1, x2, y2};
    glUseProgram(shader);
    glBindVertexArray(vao);
    glBindBuffer(GL_ARRAY_BUFFER, vbo);
    glBufferSubData(GL_ARRAY_BUFFER, 0, sizeof pts, pts);
    glDrawArrays(GL_LINES, 0, 2);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    glBindVertexArray(0);
}

void draw_box_outline(LayoutBox* b, GLuint shader, GLuint vao, GLuint vbo) {
    if (!b) return;
    Color4 g = g_theme.grab_normal;
    set_line_color(shader, Color3{g.r, g.g, g.b});
    float x0 = b->x, y0 = b->y, x1 = b->x + b->w, y1 = b->y + b->h;
    draw_line(shader, vao, vbo, x0, y0, x1, y0);
    draw_line(shader, vao, vbo, x1, y0, x1, y1);
    draw_line(shader, vao, vbo, x1, y1, x0, y1);
    draw_line(shader, vao, vbo, x0, y1, x0, y0);
}

Color4 panel_body_color(Color4 bg) {
    float lum = 0.299f * bg.r + 0.587f * bg.g + 0.114f * bg.b;
    if (lum > 0.5f)
        return Color4{std::min(1.0f, bg.r + 0.06f), std::min(1.0f, bg.g + 0.06f), std::min(1.0f, bg.b + 0.06f),
                      bg.a};
    return Color4{bg.r * 0.75f, bg.g * 0.75f, bg.b * 0.75f, bg.a};
}

void draw_filled_rectangle(GLuint shader, GLuint vao, LayoutBox* box, float header_height) {
    if (!box) return;
    draw_rect(shader, vao, box->x, box->y, box->w, box->h, 0, panel_body_color(g_theme.panel_bg));
    draw_rect(shader, vao, box->x, box->y, box->w, header_height + 5, 0, g_theme.panel_bg);
}

void draw_title_bar(GLuint shader, GLuint vao, int window_width, int) {
    draw_rect(shader, vao, 0, 0, (float)window_width, 30, 0, g_theme.titlebar_bg);
}

void draw_button_colored(GLuint shader, GLuint vao, Button* button, int window_width, int window_height,
                         Color4 col_normal, Color4 col_hovered, Color4 col_pressed) {
    if (!button) return;
    Color4 c = button->pressed ? col_pressed : button->hovered ? col_hovered : col_normal;
    draw_rect_at_resolution(shader, vao, (float)window_width, (float)window_height, (float)button->x,
                            (float)button->y, (float)button->width, (float)button->height, 10.0f, c);
}

void scissor_rect_for(const LayoutBox* b, int win_h, float sx, float sy, int out[4]) {
    out[0] = (int)(b->x * sx);
    out[1] = (int)(((float)win_h - (b->y + b->h)) * sy);
    out[2] = std::max(0, (int)(b->w * sx));
    out[3] = std::max(0, (int)(b->h * sy));
}

void begin_scissor(LayoutBox* b, int win_h) {
    if (!b) return;
    int r[4];
    scissor_rect_for(b, win_h, g_fb_scale_x, g_fb_scale_y, r);
    glEnable(GL_SCISSOR_TEST);
    glScissor(r[0], r[1], r[2], r[3]);
}

void end_scissor() { glDisable(GL_SCISSOR_TEST); }

ScrollbarGeom scrollbar_geometry(float panel_x, float panel_y, float panel_w, float panel_h, float sb_inset,
                                 float* scroll, float content_h) {
    ScrollbarGeom g = {};
    float visible_h = panel_h - 22;
    if (content_h <= visible_h) return g;
    g.track_x = panel_x + panel_w - 8 - sb_inset;
    g.track_top = panel_y + 23;
    g.track_len = (panel_y + panel_h - 1) - g.track_top;
    if (g.track_len <= 0) return g;
    g.thumb_len = std::max(8.0f, visible_h / content_h * g.track_len);
    float max_scroll = std::max(0.0f, content_h - visible_h);
    if (scroll) *scroll = std::clamp(*scroll, 0.0f, max_scroll);
    float frac = (max_scroll > 0 && scroll) ? *scroll / max_scroll : 0.0f;
    g.thumb_top = g.track_top + frac * (g.track_len - g.thumb_len);
    g.visible = true;
    return g;
}

void draw_scrollbar_generic(float panel_x, float panel_y, float panel_w, float panel_h, float sb_inset,
                            float* scroll, float content_h, int) {
    ScrollbarGeom g = scrollbar_geometry(panel_x, panel_y, panel_w, panel_h, sb_inset, scroll, content_h);
    if (!g.visible) return;
    draw_rect(ui_shader, ui_vao, g.track_x, g.track_top, 8, g.track_len, 0, g_theme.scrollbar_track);
    draw_rect(ui_shader, ui_vao, g.track_x + 1, g.thumb_top, 6, g.thumb_len, 0, g_theme.scrollbar_thumb);
}
