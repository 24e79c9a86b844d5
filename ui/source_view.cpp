#include "ui/source_view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "probe/probe.h"
#include "ui/draw.h"
#include "ui/font.h"
#include "ui/gl.h"
#include "ui/ui_state.h"

SourceView source_view = {nullptr, 0, nullptr, 0, 0, 0, 20, 0, 0, 0, 0, 6};
int (*source_bkpt_query)(uint32_t line_nr) = nullptr;
float g_source_content_h = 0;

static uint32_t s_last_line = 0;
static double s_last_time = 0;

void source_view_reset_follow() { s_last_line = 0; }

bool g_source_follow = true;
void source_view_suspend_follow() { g_source_follow = false; }
void source_view_resume_follow() {
    if (g_source_follow) return;
    g_source_follow = true;
    s_last_line = 0;  // glide to the core's line again
    render_needed.store(true);
}

void source_view_clear(SourceView* v) {
    if (!v) return;
    free(v->lines);
    free(v->arena);
    v->lines = nullptr;
    v->arena = nullptr;
    v->count = 0;
    v->arena_size = 0;
    v->scroll = 0;
}

void source_view_set_text(SourceView* v, const char* text) {
    source_view_clear(v);
    size_t n = strlen(text) + 1;
    v->arena = (char*)malloc(n);
    v->lines = (char**)malloc(sizeof(char*));
    if (!v->arena || !v->lines) {
        source_view_clear(v);
        return;
    }
    memcpy(v->arena, text, n);
    v->arena_size = n;
    v->lines[0] = v->arena;
    v->count = 1;
}

static int block_rows(const AsmBlock* cache, int cache_count, int i, bool show_asm) {
    if (!show_asm || !cache || i >= cache_count) return 1;
    return 1 + std::clamp(cache[i].count, 0, (int)ASM_BLOCK_MAX);
}

float source_content_height(const SourceView* v, bool show_asm, const AsmBlock* asm_cache) {
    if (!v) return 0;
    if (!show_asm || !asm_cache) return v->line_height * (float)v->count;
    float h = 0;
    for (int i = 0; i < v->count; ++i) h += (float)block_rows(asm_cache, v->count, i, true) * v->line_height;
    return h;
}

float source_line_offset(const SourceView* v, uint32_t line, bool show_asm, const AsmBlock* cache, int cache_count) {
    float off = 0;
    for (int i = 0; i + 1 < (int)line && i < v->count; ++i)
        off += (float)block_rows(cache, cache_count, i, show_asm) * v->line_height;
    return off;
}

uint32_t source_line_at_offset(const SourceView* v, float off, bool show_asm, const AsmBlock* cache, int cache_count) {
    float y = 0;
    for (int i = 0; i < v->count; ++i) {
        float h = (float)block_rows(cache, cache_count, i, show_asm) * v->line_height;
        if (off < y + h) return (uint32_t)i + 1;
        y += h;
    }
    return 0;
}

// --- tokens -------------------------------------------------------------------------

static const char* const s_keywords[48] = {
    "auto",     "break",    "case",     "char",   "const",   "continue", "default",  "do",      "double",
    "else",     "enum",     "extern",   "float",  "for",     "goto",     "if",       "inline",  "int",
    "long",     "register", "restrict", "return", "short",   "signed",   "sizeof",   "static",  "struct",
    "switch",   "typedef",  "union",    "unsigned", "void",  "volatile", "while",    "bool",    "true",
    "false",    "NULL",     "uint8_t",  "uint16_t", "uint32_t", "uint64_t", "int8_t", "int16_t", "int32_t",
    "int64_t",  "size_t",   "int32_t"};

bool is_keyword(const char* s, int len) {
    for (const char* k : s_keywords)
        if ((int)strlen(k) == len && strncmp(k, s, (size_t)len) == 0) return true;
    return false;
}

bool is_ident(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; }
bool is_digit_start(char c) { return c >= '0' && c <= '9'; }

void push_token(SyntaxToken* tokens, int* count, const char* text, int len, const float* color) {
    if (len <= 0) return;
    if (*count > 0 && memcmp(tokens[*count - 1].color, color, sizeof(float) * 3) == 0) {
        SyntaxToken& t = tokens[*count - 1];
        size_t have = strlen(t.text), room = sizeof t.text - 1 - have;
        size_t n = std::min((size_t)len, room);
        memcpy(t.text + have, text, n);
        t.text[have + n] = 0;
        return;
    }
    if (*count >= SYNTAX_MAX_TOKENS) return;
    SyntaxToken& t = tokens[(*count)++];
    size_t n = std::min((size_t)len, sizeof t.text - 1);
    memcpy(t.text, text, n);
    t.text[n] = 0;
    memcpy(t.color, color, sizeof t.color);
}

int syntax_tokenize(const char* line, SyntaxToken* tokens, bool* block) {
    int n = 0;
    if (!line) return 0;
    const Theme& th = g_theme;
    int len = (int)strlen(line), i = 0;
    auto run = [&](int from, int to, const Color3& c) { push_token(tokens, &n, line + from, to - from, &c.r); };
    if (*block) {
        const char* end = strstr(line, "*/");
        if (!end) {
            run(0, len, th.syn_comment);
            return n;
        }
        i = (int)(end - line) + 2;
        run(0, i, th.syn_comment);
        *block = false;
    }
    while (i < len) {
        char c = line[i], nx = i + 1 < len ? line[i + 1] : 0;
        int start = i;
        if (c == '/' && nx == '/') {
            run(i, len, th.syn_comment);
            break;
        }
        if (c == '/' && nx == '*') {
            const char* end = strstr(line + i + 2, "*/");
            if (!end) {
                run(i, len, th.syn_comment);
                *block = true;
                break;
            }
            i = (int)(end - line) + 2;
            run(start, i, th.syn_comment);
            continue;
        }
        if (c == '#') {
            run(i, len, th.syn_preproc);
            break;
        }
        if (c == '"' || c == '\'') {
            ++i;
            while (i < len && line[i] != c) i += line[i] == '\\' ? 2 : 1;
            i = std::min(len, i + 1);
            run(start, i, th.syn_string);
            continue;
        }
        if (is_digit_start(c) || (c == '.' && is_digit_start(nx))) {
            if (c == '0' && (nx == 'x' || nx == 'X')) {
                i += 2;
                while (i < len && isxdigit((unsigned char)line[i])) ++i;
            } else {
                while (i < len && (is_digit_start(line[i]) || strchr(".eEfuUlL", line[i]))) ++i;
            }
            run(start, i, th.syn_number);
            continue;
        }
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_') {
            while (i < len && is_ident(line[i])) ++i;
            if (is_keyword(line + start, i - start)) {
                run(start, i, th.syn_keyword);
            } else {
                int j = i;
                while (j < len && (line[j] == ' ' || line[j] == '\t')) ++j;
                run(start, i, j < len && line[j] == '(' ? th.syn_function : th.syn_normal);
            }
            continue;
        }
        const Color3* col = &th.syn_normal;
        int w = 1;
        if (c == '(' || c == ')') col = &th.syn_paren;
        else if (c == '[' || c == ']') col = &th.syn_bracket;
        else if (c == '{' || c == '}') col = &th.syn_brace;
        else if (c == '-' && nx == '>') {
            col = &th.syn_member;
            w = 2;
        } else if (c == '.') col = (i == 0 || (!is_digit_start(line[i - 1]) && line[i - 1] != '.')) ? &th.syn_member : &th.syn_normal;
        else if (c == ';' || c == ',') col = &th.syn_punctuation;
        else if (strchr("=+*/%!<>&|^~?:-", c)) col = &th.syn_operator;
        i += w;
        run(start, i, *col);
    }
    return n;
}

void RenderTextTokens(const SyntaxToken* tokens, int count, float x, float y) {
    for (int i = 0; i < count; ++i) {
        if (!tokens[i].text[0]) continue;
        RenderText(tokens[i].text, x, y, tokens[i].color);
        x += measure_text(tokens[i].text);
    }
}

void draw_highlight_line(float bx, float by, float bw, float line_h) {
    draw_rect(bx, by - line_h + 3, bw, line_h, 0, g_theme.source_current_line);
}

// --- drawing --------------------------------------------------------------------------

void source_view_reanchor(SourceView* v, bool old_show_asm, const AsmBlock* cache, int cache_count) {
    if (!v || v->count <= 0 || !cache) return;
    float lh = v->line_height > 0 ? v->line_height : 1;
    float visible = v->height - SOURCE_HEADER_H;
    // Where the view is going, not where a glide has got to: a toggle
    // mid-glide still ends on the line the glide was bringing into view.
    uint32_t mid = source_line_at_offset(v, v->scroll_target + visible / 2, old_show_asm, cache, cache_count);
    if (!mid) mid = (uint32_t)v->count;
    bool now = !old_show_asm;
    float start = source_line_offset(v, mid, now, cache, cache_count);
    float content = source_content_height(v, now, cache);
    float s = std::clamp(start - visible / 2 + lh / 2, 0.0f, std::max(0.0f, content - visible));
    v->scroll = v->scroll_target = s;
}

void source_draw(SourceView* v, int wh, uint32_t current_line, bool show_asm, const AsmBlock* cache, uint32_t current_pc,
                 int cache_count) {
    if (!v || v->count <= 0 || v->line_height <= 0) return;
    const float lh = v->line_height;
    if (!show_asm) cache = nullptr;
    if (g_source_follow && current_line && current_line != s_last_line && current_line <= (uint32_t)v->count) {
        float off = source_line_offset(v, current_line, show_asm, cache, cache_count);
        v->scroll_target = std::max(0.0f, off - (v->height / 2 - lh));
        s_last_line = current_line;
    }
    float content = source_content_height(v, show_asm, cache);
    float visible = v->height - SOURCE_HEADER_H;
    float text_w = content <= visible ? v->width : v->width - 8 - v->sb_inset;
    float max_scroll = std::max(0.0f, content - visible);
    // A target past the end (a short file, a window grown since) is never
    // reached: the glide would ask for frames for ever.
    v->scroll_target = std::clamp(v->scroll_target, 0.0f, max_scroll);
    double now = g_ui_clock();
    double dt = s_last_time > 0 ? std::min(0.1, now - s_last_time) : 0;
    s_last_time = now;
    // A running core's line is a sample a second old: shown at once, as a
    // glide each second would keep the window drawing.
    if (!g_is_halted.load() && g_source_follow) v->scroll = v->scroll_target;
    if (v->scroll_target != v->scroll) {
        v->scroll += (v->scroll_target - v->scroll) * (float)(1 - std::exp(-12 * dt));
        if (std::fabs(v->scroll_target - v->scroll) >= 0.5f) render_needed.store(true);
        else v->scroll = v->scroll_target;
    }
    v->scroll = std::clamp(v->scroll, 0.0f, max_scroll);

    int first = 0;
    float first_start = 0;
    if (!cache) {
        first = std::clamp((int)(v->scroll / lh), 0, v->count - 1);
        first_start = (float)first * lh;
    } else {
        while (first < v->count - 1) {
            float h = (float)block_rows(cache, cache_count, first, true) * lh;
            if (first_start + h > v->scroll) break;
            first_start += h;
            ++first;
        }
    }
    float baseline = v->y + SOURCE_HEADER_H + lh - (v->scroll - first_start);
    LayoutBox clip = {v->x, v->y + SOURCE_HEADER_H, std::max(0.0f, text_w), std::max(0.0f, v->height - SOURCE_HEADER_H), 0};
    begin_scissor(&clip, wh);
    static SyntaxToken tokens[SYNTAX_MAX_TOKENS];
    bool block = false;
    for (int i = 0; i < first; ++i) syntax_tokenize(v->lines[i], tokens, &block);
    const Color4 pb = g_theme.panel_bg;
    bool dark = 0.299f * pb.r + 0.587f * pb.g + 0.114f * pb.b <= 0.5f;
    const Color4 band = dark ? Color4{1, 1, 1, 0.04f} : Color4{0, 0, 0, 0.07f};
    const float bottom = v->y + v->height;
    for (int i = first; i < v->count && baseline - lh < bottom; ++i) {
        if (!v->lines[i]) {
            baseline += lh;
            continue;
        }
        uint32_t line_nr = (uint32_t)i + 1;
        if (line_nr == current_line) draw_highlight_line(v->x, baseline, v->width, lh);
        else if (cache) draw_rect(v->x, baseline - lh + 3, v->width, lh, 0, band);
        int bp = source_bkpt_query ? source_bkpt_query(line_nr) : 0;
        if (bp) {
            float d = lh - 4;
            Color4 c = bp == 1 ? Color4{0.9f, 0.15f, 0.15f, 1} : Color4{0.45f, 0.45f, 0.45f, 1};
            draw_rect(v->x + 1, baseline - lh + 2, d, d, d / 2, c);
        }
        char num[16];
        snprintf(num, sizeof num, "%4u ", line_nr);
        RenderText(num, v->x + 4, baseline, &g_theme.log_line_number.r);
        int n = syntax_tokenize(v->lines[i], tokens, &block);
        RenderTextTokens(tokens, n, v->x + 4 + measure_text(num), baseline);
        baseline += lh;
        if (!cache || i >= cache_count) continue;
        const AsmBlock& blk = cache[i];
        for (int k = 0; k < std::clamp(blk.count, 0, (int)ASM_BLOCK_MAX) && baseline - lh < bottom; ++k, baseline += lh) {
            bool is_pc = blk.insns[k].addr == (current_pc & ~1u);
            if (is_pc) draw_rect(v->x, baseline - lh + 3, v->width, lh, 0, Color4{0.1f, 0.3f, 0.65f, 0.55f});
            char addr[24];
            snprintf(addr, sizeof addr, "  %08x  ", blk.insns[k].addr);
            const float pc_addr[3] = {0.55f, 0.75f, 0.95f}, white[3] = {1, 1, 1};
            RenderText(addr, v->x + 44, baseline, is_pc ? pc_addr : &g_theme.asm_addr.r);
            char text[sizeof blk.insns[k].text];
            snprintf(text, sizeof text, "%s", blk.insns[k].text);
            RenderText(text, v->x + 44 + measure_text(addr), baseline, is_pc ? white : &g_theme.asm_text.r);
        }
    }
    end_scissor();
    draw_scrollbar_generic(v->x, v->y, v->width, v->height, v->sb_inset, &v->scroll, content, wh);
}
