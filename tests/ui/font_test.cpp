// Text measuring and UTF-8 decoding: the decoder against the C library's,
// the measures against the real font atlas, built on the CPU from the
// TrueType font the program itself would pick.
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <cwchar>
#include <vector>

#include "platform/font_find.h"
#include "ui/font.h"
#include "ui/log_view.h"

namespace {

// The C library's reading: one-to-three-byte forms are code points (the atlas
// has no higher ones); any other byte stands for itself, as Latin-1.
std::vector<int> libc_decode(const char* s) {
    std::vector<int> out;
    for (size_t len = strlen(s); *s; ) {
        wchar_t wc;
        std::mbstate_t st{};
        size_t n = mbrtowc(&wc, s, len, &st);
        if (n == 0 || n > 3) n = 1, wc = (unsigned char)*s;
        out.push_back((int)wc);
        s += n, len -= n;
    }
    return out;
}

std::vector<int> our_decode(const char* s) {
    std::vector<int> out;
    const char* end = s + strlen(s);
    while (*s) out.push_back(utf8_next(&s));
    EXPECT_EQ(s, end) << "stops on the NUL, never past it";
    return out;
}

class RealFont : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char path[1024];
        have_ = plat_find_font("DejaVu Sans Mono", path, sizeof path) && font_atlas_load_file(path, 19.0f);
    }
    void SetUp() override {
        if (!have_) GTEST_SKIP() << "DejaVu Sans Mono is not installed (package fonts-dejavu-core)";
        a = glyph_xadvance('a');
    }
    static bool have_;
    float a = 0;
};
bool RealFont::have_ = false;

}  // namespace

// Every lead byte before every second byte and three kinds of third.
TEST(Utf8, DecodesAsTheCLibraryDoesAndReadsTheRestAsLatin1) {
    ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    // Overlong forms and surrogates the C library refuses: read here as their code point.
    auto refused = [](int x, int y) { return x == 0xC0 || x == 0xC1 || (x == 0xE0 && y < 0xA0) || (x == 0xED && y >= 0xA0); };
    int compared = 0;
    for (int b0 = 0x80; b0 <= 0xFF; ++b0)
        for (int b1 = 1; b1 <= 0xFF; ++b1)
            for (int b2 : {0x80, 0xBF, (int)'x', 0}) {
                if (refused(b0, b1) || refused(b1, b2)) continue;
                const char s[] = {(char)b0, (char)b1, (char)b2, 'z', 0};
                ASSERT_EQ(our_decode(s), libc_decode(s)) << std::hex << b0 << " " << b1 << " " << b2;
                ++compared;
            }
    setlocale(LC_CTYPE, "C");
    EXPECT_GT(compared, 100000);
}

TEST(Utf8, AtlasIndexCoversLatin1AndExtendedA) {
    const int cases[][2] = {{31, -1}, {32, 0}, {383, 351}, {384, -1}, {0x20AC, -1},
                            {0x2014, FONT_GLYPH_COUNT}, {0x25CF, FONT_GLYPH_COUNT + 2}};
    for (auto [cp, index] : cases) EXPECT_EQ(cdata_index(cp), index) << cp;
}

TEST_F(RealFont, MeasuresFollowTheDecoderAndTruncationKeepsWholeGlyphs) {
    EXPECT_GT(a, 8.0f);
    EXPECT_LT(a, 16.0f);
    const struct {
        const char* text;
        float glyphs;
    } widths[] = {{"Korvane", 7}, {"", 0}, {"W", 1}, {"\xE9", 1}, {"\xC3\xA9", 1}, {"\xE9x", 2},
                  {"\xF0\x9F\x98\x80", 4}, {"\xE2\x82\xAC", 0} /* the euro sign lies above the atlas */};
    for (const auto& w : widths) EXPECT_FLOAT_EQ(measure_text(w.text), w.glyphs * a) << w.text;
    const char* s = "/home/user/firmware/build/app.elf";
    EXPECT_EQ(truncate_text_left(s, 10000), s);
    EXPECT_STREQ(truncate_text_left(s, 0), "");
    EXPECT_STREQ(truncate_text_left(s, 7.5f * a), "app.elf");
    EXPECT_STREQ(truncate_text_left("\xC3\xA9\xC3\xA9z", 2 * a), "\xC3\xA9z");
}

// Rooms in characters of the monospaced font; "\u2026" is the ellipsis.
TEST_F(RealFont, LinesFitTheirRoomWithTheValueKept) {
    const struct {
        const char* line;
        float chars;
        const char* shown;
    } cases[] = {
        {"R10 = 0x20001FF0", 16, "R10 = 0x20001FF0"},
        {"R10 = 0x20001FF0", 12, "R10 = 0x200\u2026"},
        {"0x40023800  DBGMCU              (3 regs)", 18, "0x40023800  DBGMCU"},
        {"0x40023800  RCC                   (5 regs)", 30, "0x40023800  RCC  (5 regs)"},
        {"  +0000  CR                        [rst=0x00000083]  (20 fields)", 12, "  +0000  CR"},
        {"W +0000  CR                        [rst=0x00000083]  (20 fields)  = 0x00000083", 26,
         "W +0000  CR  = 0x00000083"},
        {"W +0000  CR                        [rst=0x00000083]  (20 fields)  = 0x00000083", 19, "W  CR  = 0x00000083"},
        {"W +0000  APB1ENR                   [rst=0x00000000]  (29 fields)  = 0x00000083", 19,
         "W  A\u2026  = 0x00000083"},
        {"W +0000  CR                        [rst=0x00000083]  (20 fields)  = 0x00000083", 8, "W  CR  \u2026"},
        {"  [31:24]  PLLQ  = 0x4", 14, "  [31:\u2026  = 0x4"},
        {"\xC3\xA9\xC3\xA9\xC3\xA9", 2, "\xC3\xA9\u2026"},
    };
    for (const auto& c : cases) {
        char out[300];
        const char* got = log_fit_panel_line(c.line, c.chars * a + 0.5f, out, sizeof out);
        EXPECT_STREQ(got, c.shown) << c.line << " in " << c.chars;
        EXPECT_LE(measure_text(got), c.chars * a + 0.5f) << c.line;
    }
    char small[6];
    EXPECT_STREQ(text_fit_end("0x20001FF0", 3 * a, small, sizeof small), "0x\u2026");
    const char* line = "a long line  = 0x1";
    EXPECT_STREQ(text_fit_before(line, strstr(line, "  = "), 9 * a, small, sizeof small), "")
        << "no room in the buffer for the kept value: nothing rather than a torn character";
}

TEST(FontLoading, RejectsMissingEmptyAndGarbageFiles) {
    EXPECT_FALSE(font_atlas_load_file("/nonexistent/font.ttf", 19));
    EXPECT_FALSE(font_atlas_load_file("/dev/null", 19));
    unsigned char junk[256];
    memset(junk, 0x5A, sizeof junk);
    EXPECT_FALSE(font_atlas_build(junk, sizeof junk, 19));
    EXPECT_FALSE(font_atlas_ready());
    EXPECT_FLOAT_EQ(measure_text("abc"), 0);  // no font: text measures nothing
}
