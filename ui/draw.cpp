#include "ui/draw.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "ui/font.h"
#include "ui/gl.h"

int window_w = 800, window_h = 600;
float g_fb_scale_x = 1, g_fb_scale_y = 1;

// How a frame is drawn. Every shape is a quad whose colour is multiplied by
// the coverage of its rounded rectangle (soft edge 1.5 px wide) and by the
// atlas value at uv, kept only inside its clip rectangle (the scissor test,
// per fragment, so that a clip change needs no draw call). A glyph or an icon
// has a rectangle far larger than itself, a fill or a line reads the atlas's
// solid block. The quads are gathered in call order and drawn at the end of
// the frame, with one upload, in layers of three runs of one draw call each:
//
// - fills: the inside of a large opaque rectangle, where its coverage is 1,
//   pixel-aligned, written without blending by a program that only writes
//   the colour (the same bytes). The panel bodies cover the window, and a
//   software renderer pays for every fragment it shades;
// - shapes: rectangles and lines, clipped on the CPU, by a program without
//   the atlas and the clip test;
// - quads: glyphs, icons, and shapes that would cover one of them, by the
//   program that does everything.
//
// A shape that would cover a quad of the open layer goes with the quads; a
// fill that would cover a shape or a quad of the open layer closes the layer
// and opens the next, so that order is kept wherever it can show.
//
// The frame starts with a clear of the whole window, which costs far less
// than a fill: it takes the colour of the first layer's largest fills (the
// panel bodies) when none of its fills before them covers them, and fills
// the rest of the window with the background instead.

struct BatchVertex {
    float x, y;     // window pixels
    float u, v;     // atlas
    float r, g, b, a;
    float rect[4];  // x, y, w, h of the rounded rectangle, window pixels
    float radius;
    float clip[4];  // framebuffer pixels x0, y0, x1, y1 (y up), as glScissor takes them
};

// Framebuffer pixels, y up, x0 <= x < x1 and y0 <= y < y1, as the scissor counts them.
struct PixelRect {
    int x0, y0, x1, y1;
};

enum BatchRun { RUN_FILL, RUN_SHAPE, RUN_QUAD, RUN_COUNT };

// Quads of each run, counted from the start of the frame.
struct BatchLayer {
    int first[RUN_COUNT], count[RUN_COUNT];
};

struct BatchProgram {
    GLuint id;
    GLint projection;
};

// The solid block of the atlas, at the right end of the strip under the glyphs.
constexpr int SOLID_X = FONT_ATLAS_SIZE - 12, SOLID_Y = FONT_ATLAS_GLYPH_ROWS + 4, SOLID_PX = 8;
static_assert(SOLID_X > ICONS_ATLAS_WIDTH, "the solid block is clear of the icons");
static const float SOLID_U = (SOLID_X + SOLID_PX / 2) / (float)FONT_ATLAS_SIZE,
                   SOLID_V = (SOLID_Y + SOLID_PX / 2) / (float)FONT_ATLAS_SIZE;
// Glyphs, icons and lines lie inside a rectangle far larger than any window.
static const float HUGE_RECT[4] = {-1e6f, -1e6f, 4e6f, 4e6f};
constexpr int NO_CLIP = 1 << 24;
// A fill is worth a quad of its own from this many pixels on. It leaves a band
// of FILL_INSET inside the rectangle to the shader where that band would meet
// what a neighbour's soft edge, outline or clipped text put there in the open
// layer; elsewhere it reaches the pixels FILL_EDGE inside the rectangle.
constexpr int FILL_MIN_PIXELS = 64 * 64;
constexpr float FILL_INSET = 2, FILL_EDGE = 0.5f;

static BatchProgram s_programs[RUN_COUNT];
static GLuint s_vao = 0, s_vbo = 0, s_ibo = 0, s_atlas = 0;
static int s_ibo_quads = 0;  // quads the index buffer holds
static std::vector<BatchVertex> s_runs[RUN_COUNT];  // four vertices a quad
static std::vector<PixelRect> s_fill_pixels;        // of each fill
static bool s_clear_pending = false;                // the frame's clear is still to be done
static Color4 s_clear_color;
static std::vector<BatchLayer> s_layers;
static int s_closed[RUN_COUNT];  // quads of each run in closed layers
// Where the shapes and the quads of the open layer may have pixels (a run of glyphs shares one).
static std::vector<PixelRect> s_open_areas[RUN_COUNT];
static PixelRect s_clip = {-NO_CLIP, -NO_CLIP, NO_CLIP, NO_CLIP};
static Color3 s_line_color = {1, 1, 1};
static float s_projection[16];

static const char* s_vertex_source =
    "#version 330 core\n"
    "layout (location = 0) in vec2 a_pos;\n"
    "layout (location = 1) in vec2 a_uv;\n"
    "layout (location = 2) in vec4 a_color;\n"
    "layout (location = 3) in vec4 a_rect;\n"
    "layout (location = 4) in float a_radius;\n"
    "layout (location = 5) in vec4 a_clip;\n"
    "uniform mat4 u_projection;\n"
    "uniform mat4 u_model;\n"
    "out vec2 v_pos;\n"
    "out vec2 v_uv;\n"
    "flat out vec4 v_color;\n"
    "flat out vec4 v_rect;\n"
    "flat out float v_radius;\n"
    "flat out vec4 v_clip;\n"
    "void main() {\n"
    // The expression the former line and glyph programs had (and line_place
    // mirrors), so that everything lands on the same pixels.
    "    gl_Position = u_projection * u_model * vec4(a_pos, 0.0, 1.0);\n"
    "    v_pos = a_pos;\n"
    "    v_uv = a_uv;\n"
    "    v_color = a_color;\n"
    "    v_rect = a_rect;\n"
    "    v_radius = a_radius;\n"
    "    v_clip = a_clip;\n"
    "}\n";

static const char* s_fragment_source =
    "#version 330 core\n"
    "in vec2 v_pos;\n"
    "in vec2 v_uv;\n"
    "flat in vec4 v_color;\n"
    "flat in vec4 v_rect;\n"
    "flat in float v_radius;\n"
    "flat in vec4 v_clip;\n"
    "uniform sampler2D u_atlas;\n"
    "out vec4 FragColor;\n"
    "float sdRoundedBox(vec2 p, vec2 b, float r) {\n"
    "    vec2 q = abs(p) - b + r;\n"
    "    return length(max(q,0.0)) + min(max(q.x,q.y),0.0) - r;\n"
    "}\n"
    "void main() {\n"
    "    if (gl_FragCoord.x < v_clip.x || gl_FragCoord.y < v_clip.y ||\n"
    "        gl_FragCoord.x > v_clip.z || gl_FragCoord.y > v_clip.w) discard;\n"
    "    vec2 center    = v_rect.xy + v_rect.zw / 2.0;\n"
    "    vec2 half_size = v_rect.zw / 2.0;\n"
    "    float d     = sdRoundedBox(v_pos - center, half_size, v_radius);\n"
    "    float alpha = 1.0 - smoothstep(0.0, 1.5, d);\n"
    "    if (alpha <= 0.0) discard;\n"
    "    FragColor = vec4(v_color.rgb, v_color.a * alpha * texture(u_atlas, v_uv).r);\n"
    "}\n";

static const char* s_shape_fragment_source =
    "#version 330 core\n"
    "in vec2 v_pos;\n"
    "flat in vec4 v_color;\n"
    "flat in vec4 v_rect;\n"
    "flat in float v_radius;\n"
    "out vec4 FragColor;\n"
    "float sdRoundedBox(vec2 p, vec2 b, float r) {\n"
    "    vec2 q = abs(p) - b + r;\n"
    "    return length(max(q,0.0)) + min(max(q.x,q.y),0.0) - r;\n"
    "}\n"
    "void main() {\n"
    "    vec2 center    = v_rect.xy + v_rect.zw / 2.0;\n"
    "    vec2 half_size = v_rect.zw / 2.0;\n"
    "    float d     = sdRoundedBox(v_pos - center, half_size, v_radius);\n"
    "    float alpha = 1.0 - smoothstep(0.0, 1.5, d);\n"
    "    if (alpha <= 0.0) discard;\n"
    "    FragColor = vec4(v_color.rgb, v_color.a * alpha);\n"
    "}\n";

static const char* s_fill_fragment_source =
    "#version 330 core\n"
    "flat in vec4 v_color;\n"
    "out vec4 FragColor;\n"
    "void main() {\n"
    "    FragColor = v_color;\n"
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

// Links a program and looks its uniforms up, once.
static BatchProgram make_program(const char* fragment_source) {
    GLuint vs = compile_stage(GL_VERTEX_SHADER, s_vertex_source, "Vertex");
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
    glUseProgram(prog);
    static const float identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    glUniformMatrix4fv(glGetUniformLocation(prog, "u_model"), 1, GL_FALSE, identity);
    GLint atlas = glGetUniformLocation(prog, "u_atlas");
    if (atlas >= 0) glUniform1i(atlas, 0);
    BatchProgram p = {prog, glGetUniformLocation(prog, "u_projection")};
    glUseProgram(0);
    return p;
}

static void make_atlas() {
    std::vector<unsigned char> px((size_t)FONT_ATLAS_SIZE * FONT_ATLAS_SIZE, 0);
    if (const unsigned char* glyphs = font_atlas_bitmap())
        memcpy(px.data(), glyphs, (size_t)FONT_ATLAS_SIZE * FONT_ATLAS_GLYPH_ROWS);
    icons_put_in_atlas(px.data());
    for (int y = SOLID_Y; y < SOLID_Y + SOLID_PX; ++y) memset(&px[(size_t)y * FONT_ATLAS_SIZE + SOLID_X], 255, SOLID_PX);
    glGenTextures(1, &s_atlas);
    glBindTexture(GL_TEXTURE_2D, s_atlas);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RED, FONT_ATLAS_SIZE, FONT_ATLAS_SIZE, 0, GL_RED, GL_UNSIGNED_BYTE, px.data());
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glBindTexture(GL_TEXTURE_2D, 0);
    font_atlas_drop_pixels();
}

void init_drawing_resources() {
    theme_activate(true);
    s_programs[RUN_FILL] = make_program(s_fill_fragment_source);
    s_programs[RUN_SHAPE] = make_program(s_shape_fragment_source);
    s_programs[RUN_QUAD] = make_program(s_fragment_source);
    glGenVertexArrays(1, &s_vao);
    glGenBuffers(1, &s_vbo);
    glGenBuffers(1, &s_ibo);
    glBindVertexArray(s_vao);
    glBindBuffer(GL_ARRAY_BUFFER, s_vbo);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, s_ibo);
    const struct {
        int size;
        size_t offset;
    } attrs[6] = {{2, offsetof(BatchVertex, x)},      {2, offsetof(BatchVertex, u)},
                  {4, offsetof(BatchVertex, r)},      {4, offsetof(BatchVertex, rect)},
                  {1, offsetof(BatchVertex, radius)}, {4, offsetof(BatchVertex, clip)}};
    for (GLuint i = 0; i < 6; ++i) {
        glEnableVertexAttribArray(i);
        glVertexAttribPointer(i, attrs[i].size, GL_FLOAT, GL_FALSE, sizeof(BatchVertex), (void*)attrs[i].offset);
    }
    glBindVertexArray(0);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    s_ibo_quads = 0;
    make_atlas();
}

static void delete_buffer(GLuint* b) {
    if (*b) glDeleteBuffers(1, b);
    *b = 0;
}

void cleanup_drawing_resources() {
    for (BatchProgram& p : s_programs) {
        if (p.id) glDeleteProgram(p.id);
        p = BatchProgram{0, -1};
    }
    if (s_vao) glDeleteVertexArrays(1, &s_vao);
    s_vao = 0;
    delete_buffer(&s_vbo);
    delete_buffer(&s_ibo);
    if (s_atlas) glDeleteTextures(1, &s_atlas);
    s_atlas = 0;
    s_ibo_quads = 0;
    font_cleanup();
    // The batch's memory goes too, so that none of it is left at exit.
    for (int r = 0; r < RUN_COUNT; ++r) {
        std::vector<BatchVertex>().swap(s_runs[r]);
        std::vector<PixelRect>().swap(s_open_areas[r]);
        s_closed[r] = 0;
    }
    std::vector<PixelRect>().swap(s_fill_pixels);
    std::vector<BatchLayer>().swap(s_layers);
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

static void empty_batch() {
    for (int r = 0; r < RUN_COUNT; ++r) {
        s_runs[r].clear();
        s_open_areas[r].clear();
        s_closed[r] = 0;
    }
    s_fill_pixels.clear();
    s_layers.clear();
}

void draw_frame_begin(int window_width, int window_height, Color4 clear) {
    empty_batch();
    s_clear_pending = true;
    s_clear_color = clear;
    s_clip = PixelRect{-NO_CLIP, -NO_CLIP, NO_CLIP, NO_CLIP};
    ortho_projection(s_projection, 0, (float)std::max(1, window_width), (float)std::max(1, window_height), 0);
}

static int framebuffer_height() { return (int)std::lround((float)window_h * g_fb_scale_y); }

static void close_layer() {
    BatchLayer l = {};
    bool any = false;
    for (int r = 0; r < RUN_COUNT; ++r) {
        const int n = (int)s_runs[r].size() / 4;
        l.first[r] = s_closed[r];
        l.count[r] = n - s_closed[r];
        any = any || l.count[r] > 0;
        s_closed[r] = n;
        s_open_areas[r].clear();
    }
    if (any) s_layers.push_back(l);
}

static bool meet(const PixelRect& a, const PixelRect& b) {
    return a.x0 < b.x1 && b.x0 < a.x1 && a.y0 < b.y1 && b.y0 < a.y1;
}

// True when `area` meets something of the open layer's runs from `run` on.
static bool covers_open(int run, const PixelRect& area) {
    for (; run < RUN_COUNT; ++run)
        for (const PixelRect& a : s_open_areas[run])
            if (meet(a, area)) return true;
    return false;
}

static PixelRect intersect(const PixelRect& a, const PixelRect& b) {
    return PixelRect{std::max(a.x0, b.x0), std::max(a.y0, b.y0), std::min(a.x1, b.x1), std::min(a.y1, b.y1)};
}

static bool empty(const PixelRect& r) { return r.x0 >= r.x1 || r.y0 >= r.y1; }

// The pixels whose centres lie in the window box (x0, y0)-(x1, y1), within
// the clip; `slack` pixels more on each side.
static PixelRect pixels_of(float x0, float y0, float x1, float y1, float slack) {
    const float sx = g_fb_scale_x, sy = g_fb_scale_y, fh = (float)framebuffer_height();
    // A hair of tolerance, so that a side on a pixel boundary keeps its pixels.
    const float e = 1e-3f + slack;
    const PixelRect r = {(int)std::ceil(x0 * sx - 0.5f - e), (int)std::ceil(fh - y1 * sy - 0.5f - e),
                         (int)std::floor(x1 * sx - 0.5f + e) + 1, (int)std::floor(fh - y0 * sy - 0.5f + e) + 1};
    return intersect(r, s_clip);
}

static BatchVertex vertex(float x, float y, float u, float v, Color4 c, const float rect[4], float radius) {
    const float clip[4] = {(float)s_clip.x0, (float)s_clip.y0, (float)s_clip.x1, (float)s_clip.y1};
    return BatchVertex{x, y, u, v, c.r, c.g, c.b, c.a, {rect[0], rect[1], rect[2], rect[3]}, radius,
                       {clip[0], clip[1], clip[2], clip[3]}};
}

static long pixel_count(const PixelRect& r) { return (long)(r.x1 - r.x0) * (r.y1 - r.y0); }

// Notes where a quad of run `run` of the open layer may have pixels.
static void note_area(int run, const PixelRect& area) {
    std::vector<PixelRect>& areas = s_open_areas[run];
    // The glyphs of a text follow each other: they share one growing area, as
    // long as it does not grow much beyond them (two lines of a frame would).
    if (!areas.empty()) {
        PixelRect& last = areas.back();
        const PixelRect both = {std::min(last.x0, area.x0), std::min(last.y0, area.y0), std::max(last.x1, area.x1),
                                std::max(last.y1, area.y1)};
        if (pixel_count(both) <= (pixel_count(last) + pixel_count(area)) * 5 / 4) {
            last = both;
            return;
        }
    }
    areas.push_back(area);
}

// A quad with corners (x0, y0) top left and (x1, y1) bottom right. The
// vertices run top left, bottom left, bottom right, top right: the two
// triangles share the diagonal the former programs drew.
static void push_quad(std::vector<BatchVertex>& out, float x0, float y0, float x1, float y1, float s0, float t0,
                      float s1, float t1, Color4 c, const float rect[4], float radius) {
    out.push_back(vertex(x0, y0, s0, t0, c, rect, radius));
    out.push_back(vertex(x0, y1, s0, t1, c, rect, radius));
    out.push_back(vertex(x1, y1, s1, t1, c, rect, radius));
    out.push_back(vertex(x1, y0, s1, t0, c, rect, radius));
}

void draw_atlas_quad(float x0, float y0, float x1, float y1, float s0, float t0, float s1, float t1, Color4 color) {
    const PixelRect area = pixels_of(x0, y0, x1, y1, 0);
    if (empty(area)) return;
    note_area(RUN_QUAD, area);
    push_quad(s_runs[RUN_QUAD], x0, y0, x1, y1, s0, t0, s1, t1, color, HUGE_RECT, 0);
}

// The clip rectangle in window pixels.
static void clip_in_window(float* x0, float* y0, float* x1, float* y1) {
    const float sx = g_fb_scale_x, sy = g_fb_scale_y, fh = (float)framebuffer_height();
    *x0 = (float)s_clip.x0 / sx;
    *x1 = (float)s_clip.x1 / sx;
    *y0 = (fh - (float)s_clip.y1) / sy;
    *y1 = (fh - (float)s_clip.y0) / sy;
}

// Part (x0, y0)-(x1, y1) of a rectangle or line; `area` holds the pixels it
// may touch, `rect` and `radius` shade it. It is drawn with the shapes, cut
// to the clip (on pixel boundaries, so the same pixels), unless it would
// cover a quad of the open layer: then it is drawn with them, after them.
static void push_shape(float x0, float y0, float x1, float y1, const PixelRect& area, const float rect[4],
                       float radius, Color4 color) {
    if (empty(area)) return;
    if (covers_open(RUN_QUAD, area)) {
        note_area(RUN_QUAD, area);
        push_quad(s_runs[RUN_QUAD], x0, y0, x1, y1, SOLID_U, SOLID_V, SOLID_U, SOLID_V, color, rect, radius);
        return;
    }
    float cx0, cy0, cx1, cy1;
    clip_in_window(&cx0, &cy0, &cx1, &cy1);
    x0 = std::max(x0, cx0), y0 = std::max(y0, cy0), x1 = std::min(x1, cx1), y1 = std::min(y1, cy1);
    if (x0 >= x1 || y0 >= y1) return;
    note_area(RUN_SHAPE, area);
    push_quad(s_runs[RUN_SHAPE], x0, y0, x1, y1, SOLID_U, SOLID_V, SOLID_U, SOLID_V, color, rect, radius);
}

// The inside of an opaque rectangle where its coverage is surely 1: pixel
// centres `inset` (and the corner radius) in from every side, within the clip.
static PixelRect fill_area(float x, float y, float w, float h, float radius, float inset) {
    const float in = inset + radius, sx = g_fb_scale_x, sy = g_fb_scale_y, fh = (float)framebuffer_height();
    PixelRect r = {(int)std::ceil((x + in) * sx - 0.5f), (int)std::ceil(fh - (y + h - in) * sy - 0.5f),
                   (int)std::floor((x + w - in) * sx - 0.5f) + 1, (int)std::floor(fh - (y + in) * sy - 0.5f) + 1};
    return intersect(r, s_clip);
}

void draw_rect(float x, float y, float w, float h, float radius, Color4 color) {
    if (w <= 0 || h <= 0) return;
    const float rect[4] = {x, y, w, h};
    // The soft edge reaches 1.5 px out; so does the quad.
    const float qx0 = x - 1.5f, qy0 = y - 1.5f, qx1 = x + w + 1.5f, qy1 = y + h + 1.5f;
    const PixelRect whole = pixels_of(x - 1.5f, y - 1.5f, x + w + 1.5f, y + h + 1.5f, 0);
    if (empty(whole)) return;
    PixelRect in = color.a >= 1 ? fill_area(x, y, w, h, radius, FILL_INSET) : PixelRect{0, 0, 0, 0};
    if (empty(in) || pixel_count(in) < FILL_MIN_PIXELS) {
        push_shape(qx0, qy0, qx1, qy1, whole, rect, radius, color);
        return;
    }
    if (covers_open(RUN_SHAPE, in)) close_layer();
    // Each side moves out to the rectangle's edge where that meets nothing open.
    const PixelRect edge = fill_area(x, y, w, h, radius, FILL_EDGE);
    if (!covers_open(RUN_SHAPE, PixelRect{edge.x0, in.y0, in.x0, in.y1})) in.x0 = edge.x0;
    if (!covers_open(RUN_SHAPE, PixelRect{in.x1, in.y0, edge.x1, in.y1})) in.x1 = edge.x1;
    if (!covers_open(RUN_SHAPE, PixelRect{in.x0, edge.y0, in.x1, in.y0})) in.y0 = edge.y0;
    if (!covers_open(RUN_SHAPE, PixelRect{in.x0, in.y1, in.x1, edge.y1})) in.y1 = edge.y1;
    // The fill, and the band around it as four quads; all sides between them
    // lie on pixel boundaries, so each pixel is drawn by exactly one of them.
    const float sx = g_fb_scale_x, sy = g_fb_scale_y, fh = (float)framebuffer_height();
    const float ix0 = (float)in.x0 / sx, ix1 = (float)in.x1 / sx;
    const float iy0 = (fh - (float)in.y1) / sy, iy1 = (fh - (float)in.y0) / sy;
    push_quad(s_runs[RUN_FILL], ix0, iy0, ix1, iy1, 0, 0, 0, 0, color, rect, radius);
    s_fill_pixels.push_back(in);
    push_shape(qx0, qy0, qx1, iy0, PixelRect{whole.x0, in.y1, whole.x1, whole.y1}, rect, radius, color);
    push_shape(qx0, iy1, qx1, qy1, PixelRect{whole.x0, whole.y0, whole.x1, in.y0}, rect, radius, color);
    push_shape(qx0, iy0, ix0, iy1, PixelRect{whole.x0, in.y0, in.x0, in.y1}, rect, radius, color);
    push_shape(ix1, iy0, qx1, iy1, PixelRect{in.x1, in.y0, whole.x1, in.y1}, rect, radius, color);
}

void set_line_color(Color3 c) { s_line_color = c; }

// --- lines ------------------------------------------------------------------------
//
// A line is drawn as a quad over the pixels GL lights for a one-pixel line, so
// that it takes its place among the rectangles without a draw call of its own.
// Which pixels those are follows the diamond-exit rule, with the ends and the
// ties decided as Mesa's software renderer (llvmpipe) decides them: the end
// points are placed as the vertex stage places them, each end is kept or left
// by the diamond test, the ends are moved by half a pixel where that decision
// differs from what the plain quad would give, and the corners are snapped to
// 1/256 pixel. A line along an axis then covers whole pixels; any other line
// is drawn as the parallelogram, which may differ from GL on a tie.

constexpr int LINE_SUBPIXELS = 256;

static int line_snap(float v) {
    float f = v * (float)LINE_SUBPIXELS;
    return f >= 0.0f ? (int)(f + 0.5f) : (int)(f - 0.5f);
}

static int line_sign(float v) { return v >= 0 ? 1 : -1; }

static float line_frac(float v) { return v - std::floor(v); }

static int floor_div(int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

struct LineCorners {
    int x[4], y[4];  // framebuffer pixels (y down) times LINE_SUBPIXELS, pixel centres at whole pixels
};

// The corners of the line between two framebuffer points (y down).
static bool line_corners(const float* a, const float* b, LineCorners* out) {
    const float* v1 = a;
    const float* v2 = b;
    float dx = v1[0] - v2[0], dy = v1[1] - v2[1];
    if (dx == 0 && dy == 0) return false;
    float xo = 0, yo = 0, xo_end = 0, yo_end = 0;
    const float x1diff = v1[0] - std::floor(v1[0]) - 0.5f, y1diff = v1[1] - std::floor(v1[1]) - 0.5f;
    float x2diff = v2[0] - std::floor(v2[0]) - 0.5f, y2diff = v2[1] - std::floor(v2[1]) - 0.5f;
    const int half = LINE_SUBPIXELS / 2;
    bool draw_start, draw_end, will_start, will_end;
    if (std::fabs(dx) >= std::fabs(dy)) {
        const float dydx = dy / dx;
        if (y2diff == -0.5f && dy < 0) y2diff = 0.5f;
        if (std::fabs(x1diff) + std::fabs(y1diff) < 0.5f) draw_start = true;
        else if (line_sign(x1diff) == line_sign(-dx)) draw_start = false;
        else if (line_sign(-y1diff) != line_sign(dy)) draw_start = true;
        else {
            float yi = line_frac(v1[1]) + x1diff * dydx;
            draw_start = yi < 1.0f && yi > 0.0f;
        }
        if (std::fabs(x2diff) + std::fabs(y2diff) < 0.5f) draw_end = false;
        else if (line_sign(x2diff) != line_sign(-dx)) draw_end = false;
        else if (line_sign(-y2diff) == line_sign(dy)) draw_end = true;
        else {
            float yi = line_frac(v2[1]) + x2diff * dydx;
            draw_end = yi < 1.0f && yi > 0.0f;
        }
        will_start = line_sign(-x1diff) != line_sign(dx);
        will_end = line_sign(x2diff) == line_sign(-dx) || x2diff == 0;
        if (dx < 0) {
            std::swap(v1, v2);
            if (will_start != draw_start) xo_end = -x1diff - 0.5f, yo_end = xo_end * dydx;
            if (will_end != draw_end) xo = -x2diff - 0.5f, yo = xo * dydx;
        } else {
            if (will_start != draw_start) xo = -x1diff + 0.5f, yo = xo * dydx;
            if (will_end != draw_end) xo_end = -x2diff + 0.5f, yo_end = xo_end * dydx;
        }
        const int x0 = line_snap(v1[0] + xo - 0.5f), x1 = line_snap(v2[0] + xo_end - 0.5f);
        const int y0 = line_snap(v1[1] + yo - 0.5f), y1 = line_snap(v2[1] + yo_end - 0.5f);
        *out = LineCorners{{x0, x1, x1, x0}, {y0 - half, y1 - half, y1 + half, y0 + half}};
    } else {
        const float dxdy = dx / dy;
        if (x2diff == -0.5f && dx < 0) x2diff = 0.5f;
        if (std::fabs(x1diff) + std::fabs(y1diff) < 0.5f) draw_start = true;
        else if (line_sign(-y1diff) == line_sign(dy)) draw_start = false;
        else if (line_sign(x1diff) != line_sign(-dx)) draw_start = true;
        else {
            float xi = line_frac(v1[0]) + y1diff * dxdy;
            draw_start = xi < 1.0f && xi > 0.0f;
        }
        if (std::fabs(x2diff) + std::fabs(y2diff) < 0.5f) draw_end = false;
        else if (line_sign(-y2diff) != line_sign(dy)) draw_end = false;
        else if (line_sign(x2diff) == line_sign(-dx)) draw_end = true;
        else {
            float xi = line_frac(v2[0]) + y2diff * dxdy;
            draw_end = xi < 1.0f && xi >= 0.0f;
        }
        will_start = line_sign(y1diff) == line_sign(dy);
        will_end = line_sign(-y2diff) == line_sign(dy) || y2diff == 0;
        if (dy > 0) {
            std::swap(v1, v2);
            if (will_start != draw_start) yo_end = -y1diff + 0.5f, xo_end = yo_end * dxdy;
            if (will_end != draw_end) yo = -y2diff + 0.5f, xo = yo * dxdy;
        } else {
            if (will_start != draw_start) yo = -y1diff - 0.5f, xo = yo * dxdy;
            if (will_end != draw_end) yo_end = -y2diff - 0.5f, xo_end = yo_end * dxdy;
        }
        const int x0 = line_snap(v1[0] + xo - 0.5f), x1 = line_snap(v2[0] + xo_end - 0.5f);
        const int y0 = line_snap(v1[1] + yo - 0.5f), y1 = line_snap(v2[1] + yo_end - 0.5f);
        *out = LineCorners{{x0 - half, x1 - half, x1 + half, x0 + half}, {y0, y1, y1, y0}};
    }
    return true;
}

// Where the vertex stage puts a window point, in framebuffer pixels (y down):
// the projection, a product and a sum each rounded (this file is built
// without contraction), then the viewport transform, which the renderer
// computes as one fused multiply-add.
static void line_place(float x, float y, float out[2]) {
    const float px = s_projection[0] * x + s_projection[12], py = s_projection[5] * y + s_projection[13];
    const float fw = std::round((float)window_w * g_fb_scale_x), fh = std::round((float)window_h * g_fb_scale_y);
    out[0] = std::fma(px, fw / 2, fw / 2);
    out[1] = std::fma(py, -fh / 2, fh / 2);
}

void draw_line(float x1, float y1, float x2, float y2) {
    float a[2], b[2];
    line_place(x1, y1, a);
    line_place(x2, y2, b);
    LineCorners c;
    if (!line_corners(a, b, &c)) return;
    const Color4 col = {s_line_color.r, s_line_color.g, s_line_color.b, 1};
    const float sx = g_fb_scale_x, sy = g_fb_scale_y, unit = 1.0f / LINE_SUBPIXELS;
    const int fh = framebuffer_height();
    if (c.x[0] == c.x[3] ? c.y[0] == c.y[1] : c.x[0] == c.x[1] && c.y[0] == c.y[3]) {
        // Along an axis: the columns whose centre lies in [xlo, xhi), the rows (y down) in (ylo, yhi].
        const int xlo = std::min(c.x[0], c.x[2]), xhi = std::max(c.x[0], c.x[2]);
        const int ylo = std::min(c.y[0], c.y[2]), yhi = std::max(c.y[0], c.y[2]);
        const int col0 = -floor_div(-xlo, LINE_SUBPIXELS), col1 = -floor_div(-xhi, LINE_SUBPIXELS);
        const int row0 = floor_div(ylo, LINE_SUBPIXELS) + 1, row1 = floor_div(yhi, LINE_SUBPIXELS) + 1;
        push_shape((float)col0 / sx, (float)row0 / sy, (float)col1 / sx, (float)row1 / sy,
                   intersect(PixelRect{col0, fh - row1, col1, fh - row0}, s_clip), HUGE_RECT, 0, col);
        return;
    }
    // Any other line: the parallelogram itself.
    float px[4], py[4];
    for (int k = 0; k < 4; ++k) {
        px[k] = ((float)c.x[k] * unit + 0.5f) / sx;
        py[k] = ((float)c.y[k] * unit + 0.5f) / sy;
    }
    const PixelRect area = pixels_of(*std::min_element(px, px + 4), *std::min_element(py, py + 4),
                                     *std::max_element(px, px + 4), *std::max_element(py, py + 4), 1);
    if (empty(area)) return;
    note_area(RUN_QUAD, area);
    for (int k = 0; k < 4; ++k) s_runs[RUN_QUAD].push_back(vertex(px[k], py[k], SOLID_U, SOLID_V, col, HUGE_RECT, 0));
}

// The index buffer holds two triangles over each four vertices, for `quads` quads at least.
static void ensure_quad_indices(int quads) {
    if (quads <= s_ibo_quads) return;
    int n = std::max(4096, s_ibo_quads);
    while (n < quads) n *= 2;
    std::vector<GLuint> idx((size_t)n * 6);
    for (int q = 0; q < n; ++q) {
        const GLuint b = (GLuint)q * 4, tri[6] = {b, b + 1, b + 2, b, b + 2, b + 3};
        memcpy(&idx[(size_t)q * 6], tri, sizeof tri);
    }
    glBufferData(GL_ELEMENT_ARRAY_BUFFER, (GLsizeiptr)(idx.size() * sizeof(GLuint)), idx.data(), GL_STATIC_DRAW);
    s_ibo_quads = n;
}

static Color4 fill_color(int i) {
    const BatchVertex& v = s_runs[RUN_FILL][(size_t)i * 4];
    return Color4{v.r, v.g, v.b, v.a};
}

static bool same_color(const Color4& a, const Color4& b) {
    return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a;
}

// The first `fills` fills that the frame's clear in colour `c` can stand for:
// those of that colour that no other fill before them covers. Their pixels.
static long fills_a_clear_takes(const Color4& c, int fills, std::vector<char>* taken) {
    taken->assign((size_t)fills, 0);
    long pixels = 0;
    for (int i = 0; i < fills; ++i) {
        if (!same_color(fill_color(i), c)) continue;
        bool covered = false;
        for (int j = 0; j < i && !covered; ++j) covered = !(*taken)[(size_t)j] && meet(s_fill_pixels[(size_t)j], s_fill_pixels[(size_t)i]);
        if (covered) continue;
        (*taken)[(size_t)i] = 1;
        pixels += pixel_count(s_fill_pixels[(size_t)i]);
    }
    return pixels;
}

// Appends to `out` fills of colour `c` over the framebuffer less `holes`.
static void fill_around(const std::vector<PixelRect>& holes, int fb_w, int fb_h, Color4 c,
                        std::vector<BatchVertex>* out) {
    std::vector<int> xs = {0, fb_w}, ys = {0, fb_h};
    for (const PixelRect& h : holes) {
        xs.insert(xs.end(), {std::clamp(h.x0, 0, fb_w), std::clamp(h.x1, 0, fb_w)});
        ys.insert(ys.end(), {std::clamp(h.y0, 0, fb_h), std::clamp(h.y1, 0, fb_h)});
    }
    for (std::vector<int>* v : {&xs, &ys}) {
        std::sort(v->begin(), v->end());
        v->erase(std::unique(v->begin(), v->end()), v->end());
    }
    const float sx = g_fb_scale_x, sy = g_fb_scale_y;
    // Cell by cell between the holes' sides; the open cells of a row go as one quad.
    for (size_t j = 0; j + 1 < ys.size(); ++j) {
        size_t run = 0;
        for (size_t i = 0; i + 1 <= xs.size(); ++i) {
            bool open = i + 1 < xs.size();
            for (const PixelRect& h : holes)
                if (open && h.x0 <= xs[i] && xs[i + 1] <= h.x1 && h.y0 <= ys[j] && ys[j + 1] <= h.y1) open = false;
            if (open) continue;
            if (i > run) {
                const float x0 = (float)xs[run] / sx, x1 = (float)xs[i] / sx;
                const float y0 = (float)(fb_h - ys[j + 1]) / sy, y1 = (float)(fb_h - ys[j]) / sy;
                push_quad(*out, x0, y0, x1, y1, 0, 0, 0, 0, c, HUGE_RECT, 0);
            }
            run = i + 1;
        }
    }
}

// The frame's clear, and the fills that take the place of the first layer's:
// in colour of its largest fills that the clear can stand for, the rest of the
// window filled with the frame's colour, then the first layer's other fills.
static void plan_clear(Color4* clear, std::vector<BatchVertex>* first_fills) {
    *clear = s_clear_color;
    const int fills = s_layers.empty() ? 0 : s_layers[0].count[RUN_FILL];
    const int fb_w = (int)std::lround((float)window_w * g_fb_scale_x), fb_h = framebuffer_height();
    std::vector<char> taken, best_taken;
    long best = 0;
    for (int i = 0; i < fills; ++i) {
        const long pixels = fills_a_clear_takes(fill_color(i), fills, &taken);
        if (pixels > best) best = pixels, best_taken = taken, *clear = fill_color(i);
    }
    // Not worth the fills around it unless it stands for a good part of the window.
    if (best * 4 < (long)fb_w * fb_h) {
        *clear = s_clear_color;
        return;
    }
    std::vector<PixelRect> holes;
    for (int i = 0; i < fills; ++i)
        if (best_taken[(size_t)i]) holes.push_back(s_fill_pixels[(size_t)i]);
    fill_around(holes, fb_w, fb_h, s_clear_color, first_fills);
    for (int i = 0; i < fills; ++i)
        if (!best_taken[(size_t)i])
            first_fills->insert(first_fills->end(), s_runs[RUN_FILL].begin() + i * 4, s_runs[RUN_FILL].begin() + i * 4 + 4);
}

void draw_flush() {
    close_layer();
    if (!s_programs[RUN_QUAD].id) {
        empty_batch();
        return;
    }
    Color4 clear = s_clear_color;
    std::vector<BatchVertex> first_fills;  // in place of the first layer's, when the clear stands for some
    if (s_clear_pending) {
        plan_clear(&clear, &first_fills);
        glClearColor(clear.r, clear.g, clear.b, clear.a);
        glClear(GL_COLOR_BUFFER_BIT);
        s_clear_pending = false;
    }
    if (s_layers.empty()) return;
    // One upload: the runs one after the other, then the first layer's fills if replaced.
    GLint base[RUN_COUNT + 1];
    size_t bytes = 0, most = first_fills.size() / 4;
    for (int r = 0; r <= RUN_COUNT; ++r) {
        const std::vector<BatchVertex>& v = r < RUN_COUNT ? s_runs[r] : first_fills;
        base[r] = (GLint)(bytes / sizeof(BatchVertex));
        bytes += v.size() * sizeof(BatchVertex);
        most = std::max(most, v.size() / 4);
    }
    glBindVertexArray(s_vao);
    glBindBuffer(GL_ARRAY_BUFFER, s_vbo);
    glBufferData(GL_ARRAY_BUFFER, (GLsizeiptr)bytes, nullptr, GL_STREAM_DRAW);
    for (int r = 0; r <= RUN_COUNT; ++r) {
        const std::vector<BatchVertex>& v = r < RUN_COUNT ? s_runs[r] : first_fills;
        if (!v.empty())
            glBufferSubData(GL_ARRAY_BUFFER, (GLintptr)base[r] * (GLintptr)sizeof(BatchVertex),
                            (GLsizeiptr)(v.size() * sizeof(BatchVertex)), v.data());
    }
    ensure_quad_indices((int)most);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, s_atlas);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    // The projection goes into each program once per frame, at its first use.
    bool projected[RUN_COUNT] = {};
    GLuint current = 0;
    for (size_t li = 0; li < s_layers.size(); ++li)
        for (int r = 0; r < RUN_COUNT; ++r) {
            int first = s_layers[li].first[r], count = s_layers[li].count[r], from = base[r];
            if (li == 0 && r == RUN_FILL && !first_fills.empty())
                first = 0, count = (int)first_fills.size() / 4, from = base[RUN_COUNT];
            if (!count) continue;
            const BatchProgram& p = s_programs[r];
            if (p.id != current) {
                glUseProgram(p.id);
                current = p.id;
                if (r == RUN_FILL) glDisable(GL_BLEND);
                else glEnable(GL_BLEND);
            }
            if (!projected[r]) glUniformMatrix4fv(p.projection, 1, GL_FALSE, s_projection);
            projected[r] = true;
            glDrawElementsBaseVertex(GL_TRIANGLES, count * 6, GL_UNSIGNED_INT,
                                     (void*)((size_t)first * 6 * sizeof(GLuint)), from);
        }
    glEnable(GL_BLEND);
    glBindVertexArray(0);
    empty_batch();
}

void draw_box_outline(const LayoutBox* b) {
    if (!b) return;
    Color4 g = g_theme.grab_normal;
    set_line_color(Color3{g.r, g.g, g.b});
    float x0 = b->x, y0 = b->y, x1 = b->x + b->w, y1 = b->y + b->h;
    draw_line(x0, y0, x1, y0);
    draw_line(x1, y0, x1, y1);
    draw_line(x1, y1, x0, y1);
    draw_line(x0, y1, x0, y0);
}

Color4 panel_body_color(Color4 bg) {
    float lum = 0.299f * bg.r + 0.587f * bg.g + 0.114f * bg.b;
    if (lum > 0.5f)
        return Color4{std::min(1.0f, bg.r + 0.06f), std::min(1.0f, bg.g + 0.06f), std::min(1.0f, bg.b + 0.06f),
                      bg.a};
    return Color4{bg.r * 0.75f, bg.g * 0.75f, bg.b * 0.75f, bg.a};
}

void draw_filled_rectangle(const LayoutBox* box, float header_height) {
    if (!box) return;
    draw_rect(box->x, box->y, box->w, box->h, 0, panel_body_color(g_theme.panel_bg));
    draw_rect(box->x, box->y, box->w, header_height + 5, 0, g_theme.panel_bg);
}

void draw_title_bar(int window_width) { draw_rect(0, 0, (float)window_width, 30, 0, g_theme.titlebar_bg); }

void draw_button_colored(const Button* button, Color4 col_normal, Color4 col_hovered, Color4 col_pressed) {
    if (!button) return;
    Color4 c = button->pressed ? col_pressed : button->hovered ? col_hovered : col_normal;
    draw_rect((float)button->x, (float)button->y, (float)button->width, (float)button->height, 10.0f, c);
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
    s_clip = PixelRect{r[0], r[1], r[0] + r[2], r[1] + r[3]};
}

void end_scissor() { s_clip = PixelRect{-NO_CLIP, -NO_CLIP, NO_CLIP, NO_CLIP}; }

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
    draw_rect(g.track_x, g.track_top, 8, g.track_len, 0, g_theme.scrollbar_track);
    draw_rect(g.track_x + 1, g.thumb_top, 6, g.thumb_len, 0, g_theme.scrollbar_thumb);
}
