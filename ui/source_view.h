// The source panel's contents: numbered, syntax-coloured lines with the
// current line followed smoothly, breakpoint markers in the gutter and,
// optionally, each line's instructions interleaved below it.
#pragma once

#include <cstddef>
#include <cstdint>

struct AsmInsn {
    uint32_t addr;
    char text[96];
};

enum : int { ASM_BLOCK_MAX = 32 };

// The instructions of one source line (block i belongs to line i + 1).
struct AsmBlock {
    AsmInsn insns[ASM_BLOCK_MAX];
    int count;
    bool loaded;
};

typedef void (*AsmCacheLoadLineFn)(uint32_t line_nr, const char* src_file);

struct SourceView {
    char** lines;  // into arena; a null entry is an empty row
    int count;
    char* arena;
    size_t arena_size;
    float scroll;
    float scroll_target;
    float line_height;
    float x, y, width, height;
    float sb_inset;
};

extern SourceView source_view;
// Breakpoint state of a line: 0 none, 1 enabled, 2 disabled. Null: no markers.
extern int (*source_bkpt_query)(uint32_t line_nr);
extern float g_source_content_h;

constexpr float SOURCE_HEADER_H = 22, SOURCE_GUTTER_W = 40;

struct SyntaxToken {
    char text[256];
    float color[3];
};
enum : int { SYNTAX_MAX_TOKENS = 128 };

void source_view_clear(SourceView* v);
// Shows one placeholder line (the view owns a copy).
void source_view_set_text(SourceView* v, const char* text);
float source_content_height(const SourceView* v, bool show_asm, const AsmBlock* asm_cache);
int syntax_tokenize(const char* line, SyntaxToken* tokens, bool* block_comment_active);
void push_token(SyntaxToken* tokens, int* count, const char* text, int len, const float* color);
bool is_keyword(const char* s, int len);
bool is_ident(char c);
bool is_digit_start(char c);
void RenderTextTokens(const SyntaxToken* tokens, int count, float x, float y);
void draw_highlight_line(float bx, float by, float bw, float line_h);
void source_draw(SourceView* v, int wh, uint32_t current_line, bool show_asm, const AsmBlock* asm_cache,
                 uint32_t current_pc, int asm_cache_count);
// Forgets the followed line so that the next current line is scrolled to (a new file).
void source_view_reset_follow();
// The view follows the core's line unless the user scrolled it away: then it
// stays put (file and place) until the next halt or the Follow control.
extern bool g_source_follow;
void source_view_suspend_follow();
void source_view_resume_follow();
// Keeps the middle line in the middle when the disassembly is switched.
void source_view_reanchor(SourceView* v, bool old_show_asm, const AsmBlock* asm_cache, int asm_cache_count);
// Content offset of a line's first row (1-based line).
float source_line_offset(const SourceView* v, uint32_t line, bool show_asm, const AsmBlock* asm_cache,
                         int asm_cache_count);
// Source line (1-based) whose rows hold content offset `off`; 0 when none.
uint32_t source_line_at_offset(const SourceView* v, float off, bool show_asm, const AsmBlock* asm_cache,
                               int asm_cache_count);
