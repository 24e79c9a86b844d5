// The window's one single-line edit field: a value being typed for a watch,
// a core register or a peripheral register or field. Plain state and free
// functions; the callbacks feed it keys, characters and the pointer, the
// panels draw it over the value it edits.
#pragma once

#include <cstddef>
#include <cstdint>

enum EditKind : uint8_t { EDIT_NONE, EDIT_WATCH, EDIT_CORE_REG, EDIT_PERIPH_REG, EDIT_PERIPH_FIELD };

// What the field edits. Watches by slot and id (a slot taken over by another
// watch is not this one); core registers and peripheral rows by their row in
// their panel; peripheral registers and fields by their indices.
struct EditTarget {
    EditKind kind;
    int index;  // watch slot
    uint32_t id;  // watch id
    int row;    // row of the line panel the field sits on
    int periph, reg, field;
};

enum : int { TEXT_FIELD_CAP = 64 };

struct TextField {
    char buf[TEXT_FIELD_CAP];  // ASCII, NUL-terminated
    int len;
    int caret;   // 0..len
    int anchor;  // selection from anchor to caret; equal: none
    bool active;
    bool selecting;  // a press inside the field, until its release
    EditTarget target;
    float x, y, w, h;  // where it was last drawn (window pixels)
};

// The keys the field knows; the window layer maps its own key codes here.
enum TextKey {
    TEXT_KEY_OTHER, TEXT_KEY_BACKSPACE, TEXT_KEY_DELETE, TEXT_KEY_LEFT, TEXT_KEY_RIGHT, TEXT_KEY_HOME, TEXT_KEY_END,
    TEXT_KEY_ENTER, TEXT_KEY_ESCAPE, TEXT_KEY_A, TEXT_KEY_C, TEXT_KEY_V, TEXT_KEY_X,
    // Not for the field itself: lists above it move their selection.
    TEXT_KEY_UP, TEXT_KEY_DOWN, TEXT_KEY_PAGE_UP, TEXT_KEY_PAGE_DOWN
};
enum : int { TEXT_MOD_SHIFT = 1, TEXT_MOD_CTRL = 2 };
enum TextResult { TEXT_NONE, TEXT_CHANGED, TEXT_COMMIT, TEXT_CANCEL, TEXT_COPY };

// Opens the field on a target with its first text, all of it selected.
void text_field_open(TextField* f, const EditTarget& t, const char* text);
void text_field_close(TextField* f);
// A key press. clipboard: the text Ctrl+V pastes (may be null). TEXT_COPY
// asks the caller to put text_field_selection on the clipboard.
TextResult text_field_key(TextField* f, TextKey key, int mods, const char* clipboard);
// A typed character (a Unicode code point): only printable ASCII is taken.
bool text_field_char(TextField* f, unsigned codepoint);
// The selected text (empty when none).
void text_field_selection(const TextField* f, char* out, size_t cap);
// Caret index for a pointer x, by the drawn text's glyph advances.
int text_field_index_at(const TextField* f, float mx);
bool text_field_contains(const TextField* f, float mx, float my);
// Pointer press inside the field (shift extends the selection) and drag.
void text_field_press(TextField* f, float mx, bool shift);
void text_field_drag(TextField* f, float mx);
// Draws the box, the selection, the text and the caret at (x, y, w, h).
void text_field_draw(TextField* f, float x, float y, float w, float h);
// The same over row `row` of a line panel (LogView) with its scroll, from
// the x where the row's text has `prefix_len` characters behind it.
struct LogView;
void text_field_draw_on_row(TextField* f, LogView* v, int row);

// The one field of the window.
extern TextField g_edit;

// What the field's owner does: fill the first text (false when the target
// cannot be edited) and take the typed text on Enter (false keeps the
// field open, the reason in the log).
struct UiEditHooks {
    bool (*begin)(const EditTarget* t, char* text, size_t cap);
    bool (*commit)(const EditTarget* t, const char* text);
};
extern UiEditHooks g_ui_edit;
// Opens g_edit on a target when the hooks allow it; true when it opened.
bool ui_edit_begin(const EditTarget& t);
