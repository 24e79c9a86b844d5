// Text measuring and UTF-8 decoding against the real font atlas, built on the
// CPU from the TrueType font the program itself would pick.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/font_find.h"
#include "ui/font.h"
#include "ui/log_view.h"

namespace {

class RealFont : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char path[1024];
        have_ = plat_find_font("DejaVu Sans Mono", path, sizeof path) && font_atlas_load_file(path, 19.0f);
    }
    void SetUp() override {
        if (!have_) GTEST_SKIP() << "DejaVu Sans Mono is not installed (package fonts-dejavu-core)";
    }
    static bool have_;
};
bool RealFont::have_ = false;

}  // namespace

TEST(Utf8, DecodesOneTwoAndThreeByteForms) {
    const char* p = "A\xC3\xA9\xE2\x82\xAC";
    EXPECT_EQ(utf8_next(&p), 'A');
    EXPECT_EQ(utf8_next(&p), 0xE9);
    EXPECT_EQ(utf8_next(&p), 0x20AC);
    EXPECT_EQ(*p, 0);
}

TEST(Utf8, MalformedInputIsConsumedByteByByte) {
    // A four-byte emoji: each byte stands for its own value.
    const char* p = "\xF0\x9F\x98\x80";
    EXPECT_EQ(utf8_next(&p), 0xF0);
    EXPECT_EQ(utf8_next(&p), 0x9F);
    EXPECT_EQ(utf8_next(&p), 0x98);
    EXPECT_EQ(utf8_next(&p), 0x80);
    EXPECT_EQ(*p, 0);
    // A lone 0xE9 before an ASCII letter is Latin-1 e-acute, then the letter.
    p = "\xE9x";
    EXPECT_EQ(utf8_next(&p), 0xE9);
    EXPECT_EQ(utf8_next(&p), 'x');
    // A truncated three-byte form at the end never reads past the NUL.
    const char buf[] = {'\xE2', '\x82', 0, 'Z', 0};
    p = buf;
    EXPECT_EQ(utf8_next(&p), 0xE2);
    EXPECT_EQ(utf8_next(&p), 0x82);
    EXPECT_EQ(p, buf + 2);
}

TEST(Utf8, AtlasIndexCoversLatin1AndExtendedA) {
    EXPECT_EQ(cdata_index(31), -1);
    EXPECT_EQ(cdata_index(32), 0);
    EXPECT_EQ(cdata_index(383), 351);
    EXPECT_EQ(cdata_index(384), -1);
    EXPECT_EQ(cdata_index(0x20AC), -1);
    EXPECT_EQ(cdata_index(0x2014), FONT_GLYPH_COUNT);  // the dash of the log lines
    EXPECT_EQ(cdata_index(0x25CF), FONT_GLYPH_COUNT + 2);
}

TEST_F(RealFont, MonospaceAdvancesAreEqualAndPositive) {
    float a = glyph_xadvance('a');
    EXPECT_GT(a, 8.0f);
    EXPECT_LT(a, 16.0f);
    EXPECT_FLOAT_EQ(glyph_xadvance('W'), a);
    EXPECT_FLOAT_EQ(glyph_xadvance(0xE9), a);
    EXPECT_FLOAT_EQ(glyph_xadvance(0x20AC), 0);  // outside the atlas
    EXPECT_FLOAT_EQ(measure_text("Korvane"), 7 * a);
    EXPECT_FLOAT_EQ(measure_text(""), 0);
}

TEST_F(RealFont, MeasuringFollowsTheDecoder) {
    float a = glyph_xadvance('a');
    EXPECT_FLOAT_EQ(measure_text("\xC3\xA9"), a);       // one glyph
    EXPECT_FLOAT_EQ(measure_text("\xE9x"), 2 * a);      // Latin-1 byte + letter
    EXPECT_FLOAT_EQ(measure_text("\xF0\x9F\x98\x80"), 4 * a);  // four atlas entries
    EXPECT_FLOAT_EQ(measure_text("\xE2\x82\xAC"), 0);   // euro sign lies above the atlas
    // The log gutter widens when the line count gains a digit.
    EXPECT_GT(measure_text("10 "), measure_text("9 "));
    EXPECT_GT(measure_text("100 "), measure_text("99 "));
}

TEST_F(RealFont, TruncateLeftKeepsTheLongestTailThatFits) {
    const char* s = "/home/user/firmware/build/app.elf";
    EXPECT_EQ(truncate_text_left(s, 10000), s);
    EXPECT_STREQ(truncate_text_left(s, 0), "");
    float a = glyph_xadvance('a');
    EXPECT_STREQ(truncate_text_left(s, 7 * a), "app.elf");
    EXPECT_STREQ(truncate_text_left(s, 7.5f * a), "app.elf");
    // Multi-byte code points are dropped whole.
    EXPECT_STREQ(truncate_text_left("\xC3\xA9\xC3\xA9z", 2 * a), "\xC3\xA9z");
}

// Rooms in characters of the monospaced font; "\u2026" is the ellipsis.
TEST_F(RealFont, LinesFitTheirRoomWithTheValueKept) {
    const float a = glyph_xadvance('a');
    struct Case {
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
    for (const Case& c : cases) {
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

TEST_F(RealFont, AtlasHoldsInkForPrintableGlyphs) {
    ASSERT_TRUE(font_atlas_ready());
    const unsigned char* bm = font_atlas_bitmap();
    ASSERT_NE(bm, nullptr);
    size_t ink = 0;
    for (size_t i = 0; i < (size_t)FONT_ATLAS_SIZE * FONT_ATLAS_SIZE; ++i) ink += bm[i] > 128;
    EXPECT_GT(ink, 20000u);  // 352 glyphs at 19 px, oversampled 2 x 2
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
