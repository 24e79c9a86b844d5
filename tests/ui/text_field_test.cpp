// The edit field's keys and characters: each case starts from a text with a
// caret and a selection, applies keys, and checks the text, caret and
// selection it leaves.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/text_field.h"

namespace {

struct Step {
    TextKey key;  // TEXT_KEY_OTHER with ch: a typed character
    int mods;
    unsigned ch;
};

struct Case {
    const char* name;
    const char* start;
    int caret, anchor;
    std::vector<Step> steps;
    const char* clipboard;
    const char* text;
    int want_caret, want_anchor;
};

Step K(TextKey k, int mods = 0) { return Step{k, mods, 0}; }
Step C(unsigned ch) { return Step{TEXT_KEY_OTHER, 0, ch}; }

TEST(TextField, KeysAndCharactersEditTheText) {
    const int S = TEXT_MOD_SHIFT, X = TEXT_MOD_CTRL;
    const Case cases[] = {
        {"typing replaces the first text, selected whole", "123", 3, 0, {C('4'), C('2')}, nullptr, "42", 2, 2},
        {"backspace at the caret", "abc", 2, 2, {K(TEXT_KEY_BACKSPACE)}, nullptr, "ac", 1, 1},
        {"backspace at the start does nothing", "abc", 0, 0, {K(TEXT_KEY_BACKSPACE)}, nullptr, "abc", 0, 0},
        {"delete before the caret's character", "abc", 1, 1, {K(TEXT_KEY_DELETE)}, nullptr, "ac", 1, 1},
        {"delete at the end does nothing", "abc", 3, 3, {K(TEXT_KEY_DELETE)}, nullptr, "abc", 3, 3},
        {"delete takes a selection", "abcdef", 1, 4, {K(TEXT_KEY_DELETE)}, nullptr, "aef", 1, 1},
        {"left collapses a selection to its start", "abcdef", 4, 1, {K(TEXT_KEY_LEFT)}, nullptr, "abcdef", 1, 1},
        {"right collapses it to its end", "abcdef", 1, 4, {K(TEXT_KEY_RIGHT)}, nullptr, "abcdef", 4, 4},
        {"arrows stop at the ends", "ab", 0, 0, {K(TEXT_KEY_LEFT), K(TEXT_KEY_END), K(TEXT_KEY_RIGHT)}, nullptr, "ab", 2, 2},
        {"shift+left extends from the anchor", "abcd", 3, 3, {K(TEXT_KEY_LEFT, S), K(TEXT_KEY_LEFT, S)}, nullptr, "abcd", 1, 3},
        {"shift+home selects to the start", "abcd", 2, 2, {K(TEXT_KEY_HOME, S)}, nullptr, "abcd", 0, 2},
        {"home then shift+end selects all", "abcd", 2, 2, {K(TEXT_KEY_HOME), K(TEXT_KEY_END, S)}, nullptr, "abcd", 4, 0},
        {"ctrl+a selects all", "abcd", 1, 1, {K(TEXT_KEY_A, X)}, nullptr, "abcd", 4, 0},
        {"a without ctrl is no key here", "abcd", 1, 1, {K(TEXT_KEY_A)}, nullptr, "abcd", 1, 1},
        {"paste replaces the selection", "0x10", 4, 0, {K(TEXT_KEY_V, X)}, "-7", "-7", 2, 2},
        {"a paste ends at its first line break", "", 0, 0, {K(TEXT_KEY_V, X)}, "12\n34", "12", 2, 2},
        {"a paste keeps printable ASCII only", "", 0, 0, {K(TEXT_KEY_V, X)}, "1\t2\xC3\xA9" "3", "123", 3, 3},
        {"characters outside printable ASCII are dropped", "a", 1, 1, {C(0xE9), C(0x7F), C('b')}, nullptr, "ab", 2, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TextField f{};
        text_field_open(&f, EditTarget{EDIT_WATCH, 0, 1, -1, -1, -1, -1}, c.start);
        f.caret = c.caret;
        f.anchor = c.anchor;
        for (const Step& s : c.steps) {
            if (s.key == TEXT_KEY_OTHER) text_field_char(&f, s.ch);
            else text_field_key(&f, s.key, s.mods, c.clipboard);
        }
        EXPECT_EQ(std::string(f.buf), c.text);
        EXPECT_EQ(f.len, (int)std::string(c.text).size());
        EXPECT_EQ(f.caret, c.want_caret);
        EXPECT_EQ(f.anchor, c.want_anchor);
        EXPECT_TRUE(f.active);
    }
}

TEST(TextField, EnterCommitsEscapeCancelsAndTheBufferNeverOverflows) {
    TextField f{};
    text_field_open(&f, EditTarget{EDIT_CORE_REG, -1, 0, 3, -1, -1, -1}, "0x1");
    EXPECT_EQ(text_field_key(&f, TEXT_KEY_ENTER, 0, nullptr), TEXT_COMMIT);
    EXPECT_TRUE(f.active) << "the owner closes it once the value is taken";
    f.anchor = 0;
    EXPECT_EQ(text_field_key(&f, TEXT_KEY_C, TEXT_MOD_CTRL, nullptr), TEXT_COPY);
    char sel[8];
    text_field_selection(&f, sel, sizeof sel);
    EXPECT_STREQ(sel, "0x1");
    EXPECT_EQ(text_field_key(&f, TEXT_KEY_ESCAPE, 0, nullptr), TEXT_CANCEL);
    EXPECT_FALSE(f.active);
    EXPECT_EQ(f.target.kind, EDIT_NONE);
    EXPECT_EQ(text_field_key(&f, TEXT_KEY_BACKSPACE, 0, nullptr), TEXT_NONE) << "a closed field takes no keys";

    text_field_open(&f, EditTarget{}, "");
    for (int i = 0; i < 200; ++i) text_field_char(&f, '9');
    EXPECT_EQ(f.len, TEXT_FIELD_CAP - 1);
    EXPECT_EQ((int)std::string(f.buf).size(), TEXT_FIELD_CAP - 1);
    std::string big(300, '5');
    f.anchor = 0;
    text_field_key(&f, TEXT_KEY_V, TEXT_MOD_CTRL, big.c_str());
    EXPECT_EQ(f.len, TEXT_FIELD_CAP - 1);
}

}  // namespace
