#include "ui/font.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stb_rect_pack.h>
#include <stb_truetype.h>

#include "ui/draw.h"

static unsigned char* s_atlas = nullptr;
// Beyond the contiguous range: the few symbols the program's own texts use
// (the dash of many log lines, the breakpoint dot, the arrow).
static const int s_extra_cps[FONT_EXTRA_GLYPHS] = {0x2014, 0x2192, 0x25CF, 0x2026};
static stbtt_packedchar cdata[FONT_GLYPH_COUNT + FONT_EXTRA_GLYPHS];
static bool s_atlas_ready = false;

void font_atlas_free() {
    free(s_atlas);
    s_atlas = nullptr;
    s_atlas_ready = false;
    memset(cdata, 0, sizeof cdata);
}

bool font_atlas_build(const unsigned char* ttf, size_t len, float pixel_height) {
    font_atlas_free();
    if (!ttf || len < 12 || pixel_height <= 0) return false;
    // stb_truetype trusts the table directory; reject what it cannot parse first.
    stbtt_fontinfo info;
    if (stbtt_GetFontOffsetForIndex(ttf, 0) < 0 || !stbtt_InitFont(&info, ttf, 0)) return false;
    s_atlas = (unsigned char*)calloc((size_t)FONT_ATLAS_SIZE * FONT_ATLAS_SIZE, 1);
    if (!s_atlas) return false;
    stbtt_pack_context pc;
    if (!stbtt_PackBegin(&pc, s_atlas, FONT_ATLAS_SIZE, FONT_ATLAS_GLYPH_ROWS, FONT_ATLAS_SIZE, 1, nullptr)) {
        font_atlas_free();
        return false;
    }
    stbtt_PackSetOversampling(&pc, 2, 2);
    stbtt_pack_range ranges[2] = {};
    ranges[0].font_size = pixel_height;
    ranges[0].first_unicode_codepoint_in_range = FONT_FIRST_CP;
    ranges[0].num_chars = FONT_GLYPH_COUNT;
    ranges[0].chardata_for_range = cdata;
    ranges[1].font_size = pixel_height;
    ranges[1].array_of_unicode_codepoints = const_cast<int*>(s_extra_cps);
    ranges[1].num_chars = FONT_EXTRA_GLYPHS;
    ranges[1].chardata_for_range = cdata + FONT_GLYPH_COUNT;
    int packed = stbtt_PackFontRanges(&pc, ttf, 0, ranges, 2);
    stbtt_PackEnd(&pc);
    if (!packed) {
        font_atlas_free();
        return false;
    }
    s_atlas_ready = true;
    return true;
}

bool font_atlas_load_file(const char* path, float pixel_height) {
    FILE* f = path && path[0] ? fopen(path, "rb") : nullptr;
    if (!f) return false;
    long size = -1;
    if (fseek(f, 0, SEEK_END) == 0) size = ftell(f);
    if (size <= 0 || fseek(f, 0, SEEK_SET) != 0) {
        fclose(f);
        fprintf(stderr, "[FONT] File empty or unreadable.\n");
        return false;
    }
    unsigned char* buf = (unsigned char*)malloc((size_t)size);
    if (!buf) {
        fclose(f);
        fprintf(stderr, "[FONT] Out of memory.\n");
        return false;
    }
    size_t got = fread(buf, 1, (size_t)size, f);
    fclose(f);
    if (got == 0) {
        free(buf);
        fprintf(stderr, "[FONT] Read failed.\n");
        return false;
    }
    bool ok = font_atlas_build(buf, got, pixel_height);
    free(buf);
    if (!ok) fprintf(stderr, "[FONT] '%s' is not a usable TrueType font.\n", path);
    return ok;
}

bool font_atlas_ready() { return s_atlas_ready; }

const unsigned char* font_atlas_bitmap() { return s_atlas_ready ? s_atlas : nullptr; }

void font_atlas_drop_pixels() {
    free(s_atlas);
    s_atlas = nullptr;
}

static bool is_cont(unsigned char b) { return (b & 0xC0) == 0x80; }

int utf8_next(const char** p) {
    const unsigned char* s = (const unsigned char*)*p;
    unsigned char c = s[0];
    if (c < 0x80) {
        *p += 1;
        return c;
    }
    if ((c & 0xE0) == 0xC0 && is_cont(s[1])) {
        *p += 2;
        return ((c & 0x1F) << 6) | (s[1] & 0x3F);
    }
    if ((c & 0xF0) == 0xE0 && is_cont(s[1]) && s[2] != 0 && is_cont(s[2])) {
        *p += 3;
        return ((c & 0x0F) << 12) | ((s[1] & 0x3F) << 6) | (s[2] & 0x3F);
    }
    // Anything else stands for itself, one byte at a time (Latin-1 reading).
    *p += 1;
    return c;
}

int cdata_index(int cp) {
    if (cp >= FONT_FIRST_CP && cp < FONT_FIRST_CP + FONT_GLYPH_COUNT) return cp - FONT_FIRST_CP;
    for (int k = 0; k < FONT_EXTRA_GLYPHS; ++k)
        if (s_extra_cps[k] == cp) return FONT_GLYPH_COUNT + k;
    return -1;
}

float glyph_xadvance(int cp) {
    int i = cdata_index(cp);
    return (i < 0 || !s_atlas_ready) ? 0.0f : cdata[i].xadvance;
}

float measure_text(const char* s) {
    if (!s) return 0;
    float w = 0;
    while (*s) w += glyph_xadvance(utf8_next(&s));
    return w;
}

const char* truncate_text_left(const char* s, float max_w) {
    if (!s) return "";
    float w = measure_text(s);
    while (w > max_w && *s) w -= glyph_xadvance(utf8_next(&s));
    return s;
}

static const char ELLIPSIS[] = "\xE2\x80\xA6";  // U+2026, one of the atlas's extra glyphs

// The longest head of s (whole UTF-8 sequences) no wider than max_w, into out.
static size_t head_within(const char* s, size_t len, float max_w, char* out, size_t cap) {
    const char* p = s;
    float w = 0;
    while ((size_t)(p - s) < len && *p) {
        const char* q = p;
        float a = glyph_xadvance(utf8_next(&q));
        if (w + a > max_w || (size_t)(q - s) >= cap) break;
        w += a;
        p = q;
    }
    size_t n = (size_t)(p - s);
    memcpy(out, s, n);
    out[n] = 0;
    return n;
}

const char* text_fit_end(const char* s, float max_w, char* out, size_t cap) {
    return text_fit_before(s, nullptr, max_w, out, cap);
}

const char* text_fit_before(const char* s, const char* keep_from, float max_w, char* out, size_t cap) {
    if (!out || cap == 0) return "";
    out[0] = 0;
    if (!s) return out;
    size_t len = strlen(s);
    if (measure_text(s) <= max_w) {
        snprintf(out, cap, "%s", s);
        return out;
    }
    const char* tail = keep_from && keep_from > s && keep_from < s + len ? keep_from : s + len;
    float tail_w = measure_text(tail), dots = measure_text(ELLIPSIS);
    if (tail_w + dots > max_w) tail = s + len, tail_w = 0;  // no room for the value either: cut it too
    size_t tail_len = strlen(tail), reserve = tail_len + sizeof ELLIPSIS;
    if (reserve >= cap) return out;
    size_t n = head_within(s, (size_t)(tail - s), max_w - tail_w - dots, out, cap - reserve + 1);
    snprintf(out + n, cap - n, "%s%s", ELLIPSIS, tail);
    return out;
}

void init_font(const char* font_path, float font_size, const char* fallback_path) {
    if (font_atlas_load_file(font_path, font_size)) return;
    fprintf(stderr, "[FONT] '%s' not found, trying DejaVu Sans.\n", font_path ? font_path : "");
    if (!font_atlas_load_file(fallback_path, font_size)) fprintf(stderr, "[FONT] DejaVu Sans not found. Text disabled.\n");
}

void font_cleanup() { font_atlas_free(); }

void RenderText(const char* text, float x, float y, const float* color) {
    if (!text || !color || !s_atlas_ready) return;
    const Color4 c = {color[0], color[1], color[2], 1};
    float px = x, py = y;
    while (*text) {
        int i = cdata_index(utf8_next(&text));
        if (i < 0) continue;
        stbtt_aligned_quad q;
        stbtt_GetPackedQuad(cdata, FONT_ATLAS_SIZE, FONT_ATLAS_SIZE, i, &px, &py, &q, 1);
        draw_atlas_quad(q.x0, q.y0, q.x1, q.y1, q.s0, q.t0, q.s1, q.t1, c);
    }
}
