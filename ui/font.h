// The TrueType glyph atlas and text: UTF-8 decoding, measuring, drawing.
// The atlas is built on the CPU (testable without a GL context); the drawing
// module uploads it as the top of its one 1024 x 1024 single-channel texture.
#pragma once

#include <cstddef>

// The interface's text height in pixels. DejaVu Sans Mono at 16 px is as
// wide per character as Consolas at 19, which the panel proportions suit.
constexpr float UI_FONT_PX = 16.0f;

enum {
    FONT_ATLAS_SIZE = 1024,
    FONT_ATLAS_GLYPH_ROWS = 984,  // glyphs are packed above this row; the rows under it are the icons'
    FONT_FIRST_CP = 32,
    FONT_GLYPH_COUNT = 352,  // code points 32..383
    FONT_EXTRA_GLYPHS = 4,   // and U+2014, U+2192, U+25CF, U+2026
};

// Builds the atlas from TrueType data on the CPU; false when the data is not a
// usable font. Replaces any previous atlas.
bool font_atlas_build(const unsigned char* ttf, size_t len, float pixel_height);
// Reads a font file and builds the atlas; prints a "[FONT]" reason on failure.
bool font_atlas_load_file(const char* path, float pixel_height);
bool font_atlas_ready();
const unsigned char* font_atlas_bitmap();  // FONT_ATLAS_SIZE^2 bytes, or null
// Once the bitmap is in the texture: drops the pixels, keeps the glyph table.
void font_atlas_drop_pixels();
void font_atlas_free();

int utf8_next(const char** p);
int cdata_index(int cp);
float glyph_xadvance(int cp);
float measure_text(const char* s);
const char* truncate_text_left(const char* s, float max_w);
// `s` fitted into max_w pixels: as it is when it fits, else cut at the end with
// an ellipsis. Returns out.
const char* text_fit_end(const char* s, float max_w, char* out, size_t cap);
// The same, keeping the text from `keep_from` on (a value at the line's end)
// whole and cutting what stands before it.
const char* text_fit_before(const char* s, const char* keep_from, float max_w, char* out, size_t cap);

// Tries font_path, then `fallback_path` (may be null), and builds the atlas
// that init_drawing_resources uploads. Without a font, text draws nothing.
void init_font(const char* font_path, float font_size, const char* fallback_path);
void font_cleanup();
// Text at pen position (x, baseline y) in colour rgb, into the frame's batch.
void RenderText(const char* text, float x, float y, const float* color);
