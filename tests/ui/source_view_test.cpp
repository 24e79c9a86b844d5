// Syntax colouring and the source view's scrolling arithmetic.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ui/source_view.h"
#include "ui/theme.h"

namespace {

struct Run {
    std::string text;
    const Color3* color;
};

std::vector<Run> runs(const char* line, bool* block) {
    static SyntaxToken t[SYNTAX_MAX_TOKENS];
    int n = syntax_tokenize(line, t, block);
    const Color3* all[] = {&g_theme.syn_normal,   &g_theme.syn_comment, &g_theme.syn_string,      &g_theme.syn_keyword,
                           &g_theme.syn_preproc,  &g_theme.syn_number,  &g_theme.syn_paren,       &g_theme.syn_bracket,
                           &g_theme.syn_brace,    &g_theme.syn_operator, &g_theme.syn_punctuation, &g_theme.syn_function,
                           &g_theme.syn_member};
    std::vector<Run> out;
    for (int i = 0; i < n; ++i) {
        const Color3* c = nullptr;
        for (const Color3* k : all)
            if (!memcmp(t[i].color, &k->r, sizeof t[i].color)) c = k;
        out.push_back({t[i].text, c});
    }
    return out;
}

const Color3* color_of(const std::vector<Run>& r, const std::string& text) {
    for (const Run& x : r)
        if (x.text == text) return x.color;
    return nullptr;
}

}  // namespace

TEST(Syntax, RunsAndTheirColours) {
    theme_activate(true);
    bool block = false;
    auto r = runs("  x = cfg.rate + p->mode * 1.5e3f; // note", &block);
    EXPECT_EQ(color_of(r, "."), &g_theme.syn_member);
    EXPECT_EQ(color_of(r, "->"), &g_theme.syn_member);
    EXPECT_EQ(color_of(r, "1.5e3f"), &g_theme.syn_number) << "a digit, a dot and digits are one number";
    EXPECT_EQ(color_of(r, "// note"), &g_theme.syn_comment);
    r = runs("if (f (x)) return sizeof(int);", &block);
    EXPECT_EQ(color_of(r, "if"), &g_theme.syn_keyword);
    EXPECT_EQ(color_of(r, "f"), &g_theme.syn_function) << "blanks before the parenthesis";
    EXPECT_EQ(color_of(r, "sizeof"), &g_theme.syn_keyword) << "a keyword stays a keyword before (";
    r = runs("puts(\"say \\\"hi\\\"\"); c = 'a';", &block);
    EXPECT_EQ(color_of(r, "\"say \\\"hi\\\"\""), &g_theme.syn_string);
    EXPECT_EQ(color_of(r, "'a'"), &g_theme.syn_string);
    r = runs("#include <stdint.h>", &block);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].color, &g_theme.syn_preproc);
    r = runs("v = 0x1Fu;", &block);
    EXPECT_EQ(color_of(r, "0x1F"), &g_theme.syn_number);
}

TEST(Syntax, BlockCommentsCarryAcrossLines) {
    bool block = false;
    const char* lines[] = {"int a; /* starts", "   middle", "  still", " ends */ int b;"};
    auto r0 = runs(lines[0], &block);
    EXPECT_TRUE(block);
    EXPECT_EQ(r0.back().color, &g_theme.syn_comment);
    for (int i = 1; i < 3; ++i) {
        auto r = runs(lines[i], &block);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].color, &g_theme.syn_comment);
    }
    auto r3 = runs(lines[3], &block);
    EXPECT_FALSE(block);
    EXPECT_EQ(r3[0].text, " ends */");
    EXPECT_EQ(color_of(r3, "int"), &g_theme.syn_keyword);
}

TEST(Syntax, TokenCapsHold) {
    std::string many;
    for (int i = 0; i < 200; ++i) many += "a;";
    bool block = false;
    SyntaxToken t[SYNTAX_MAX_TOKENS];
    EXPECT_EQ(syntax_tokenize(many.c_str(), t, &block), SYNTAX_MAX_TOKENS);
    std::string longc = "// " + std::string(400, 'x');
    ASSERT_EQ(syntax_tokenize(longc.c_str(), t, &block), 1);
    EXPECT_EQ(strlen(t[0].text), 255u);
}

TEST(SourceScroll, ContentHeightReanchorAndOffsets) {
    static char text[40][8];
    static char* lines[40];
    for (int i = 0; i < 40; ++i) {
        snprintf(text[i], sizeof text[i], "l%d", i + 1);
        lines[i] = text[i];
    }
    SourceView v = {lines, 40, nullptr, 0, 0, 0, 20, 0, 0, 400, 222, 6};
    static AsmBlock cache[40] = {};
    for (int i = 0; i < 40; ++i) cache[i].count = i % 3;  // 0, 1, 2 instructions per line
    EXPECT_FLOAT_EQ(source_content_height(&v, false, cache), 800);
    EXPECT_FLOAT_EQ(source_content_height(&v, true, cache), 20 * (40 + 39));
    EXPECT_FLOAT_EQ(source_line_offset(&v, 4, true, cache, 40), 20 * (1 + 2 + 3));
    EXPECT_EQ(source_line_at_offset(&v, 20 * 6 + 5, true, cache, 40), 4u);
    // Line 20 in the middle without disassembly; after switching it stays there.
    float visible = v.height - SOURCE_HEADER_H;
    v.scroll = 19 * 20 + 10 - visible / 2;
    uint32_t mid_before = source_line_at_offset(&v, v.scroll + visible / 2, false, cache, 40);
    source_view_reanchor(&v, false, cache, 40);
    EXPECT_EQ(source_line_at_offset(&v, v.scroll + visible / 2, true, cache, 40), mid_before);
    EXPECT_FLOAT_EQ(v.scroll, v.scroll_target);
    source_view_reanchor(&v, true, cache, 40);
    EXPECT_EQ(source_line_at_offset(&v, v.scroll + visible / 2, false, cache, 40), mid_before);
}
