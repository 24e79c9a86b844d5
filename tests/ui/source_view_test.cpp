// Syntax colouring and the source view's scrolling arithmetic.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ui/source_view.h"
#include "ui/theme.h"

// Lines in turn, a block comment carried between them, and the colour each
// named run gets (nullptr: the line is one run of that colour).
TEST(Syntax, RunsAndTheirColoursAcrossLines) {
    theme_activate(true);
    const Theme& c = g_theme;
    const struct {
        const char* line;
        std::vector<std::pair<const char*, const Color3*>> runs;
        bool block_after = false;
    } lines[] = {
        {"  x = cfg.rate + p->mode * 1.5e3f; // note",
         {{".", &c.syn_member}, {"->", &c.syn_member}, {"1.5e3f", &c.syn_number}, {"// note", &c.syn_comment}}},
        {"if (f (x)) return sizeof(int);", {{"if", &c.syn_keyword}, {"f", &c.syn_function}, {"sizeof", &c.syn_keyword}}},
        {"puts(\"say \\\"hi\\\"\"); c = 'a';", {{"\"say \\\"hi\\\"\"", &c.syn_string}, {"'a'", &c.syn_string}}},
        {"#include <stdint.h>", {{nullptr, &c.syn_preproc}}},
        {"v = 0x1Fu;", {{"0x1F", &c.syn_number}}},
        {"int a; /* starts", {{"int", &c.syn_keyword}, {"/* starts", &c.syn_comment}}, true},
        {"   middle", {{nullptr, &c.syn_comment}}, true},
        {" ends */ int b;", {{" ends */", &c.syn_comment}, {"int", &c.syn_keyword}}},
    };
    bool block = false;
    static SyntaxToken t[SYNTAX_MAX_TOKENS];
    for (const auto& l : lines) {
        const int n = syntax_tokenize(l.line, t, &block);
        for (auto [text, color] : l.runs) {
            auto named = [&](const SyntaxToken& k) { return text ? !strcmp(k.text, text) : n == 1; };
            const SyntaxToken* k = std::find_if(t, t + n, named);
            EXPECT_TRUE(k < t + n && !memcmp(k->color, &color->r, sizeof k->color)) << l.line << ": " << (text ? text : "");
        }
        EXPECT_EQ(block, l.block_after) << l.line;
    }
    std::string many;
    for (int i = 0; i < 200; ++i) many += "a;";
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
    // Line 20 in the middle without disassembly, the view still gliding there
    // from the top; after switching it stays there.
    float visible = v.height - SOURCE_HEADER_H;
    v.scroll_target = 19 * 20 + 10 - visible / 2;
    v.scroll = 0;
    uint32_t mid_before = source_line_at_offset(&v, v.scroll_target + visible / 2, false, cache, 40);
    ASSERT_EQ(mid_before, 20u);
    source_view_reanchor(&v, false, cache, 40);
    EXPECT_EQ(source_line_at_offset(&v, v.scroll + visible / 2, true, cache, 40), mid_before);
    EXPECT_FLOAT_EQ(v.scroll, v.scroll_target);
    source_view_reanchor(&v, true, cache, 40);
    EXPECT_EQ(source_line_at_offset(&v, v.scroll + visible / 2, false, cache, 40), mid_before);
}
