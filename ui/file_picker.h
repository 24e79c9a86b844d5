// The Source panel's file list: every source file of the image, narrowed by
// typed text and chosen with the mouse or the keys, so that breakpoints can
// be set in a file the core is not in. Drawn over the panel after everything
// else; the program supplies the files and opens the chosen one.
#pragma once

#include <cstdint>

#include "ui/draw.h"
#include "ui/text_field.h"

struct PickerFile {
    const char* path;     // as the debug information names it
    uint32_t first_line;  // its lowest line with code: opened there
    bool found;           // readable by that path or under the source root
};

// What the program offers: the list, sorted by base name, with fresh found
// flags at every opening (it lives until the image goes), the opening of
// entry i, and the path of the file shown now. Null without an image.
struct UiFileHooks {
    int (*list)(const PickerFile** out);
    void (*open)(int index);
    const char* (*shown)();
};
extern UiFileHooks g_ui_files;

enum : int { FILE_PICKER_MAX = 2048 };
constexpr float FILE_PICKER_ROW_H = 22, FILE_PICKER_FIELD_H = 22, FILE_PICKER_PAD = 6;

struct FilePicker {
    bool visible;
    TextField filter;
    const PickerFile* files;
    int file_count;
    int match[FILE_PICKER_MAX];  // the files whose path holds the filter, in list order
    int match_count;
    int sel;      // into match, -1 none
    int hovered;  // into match, -1 none
    float scroll;
    float x, y, w, h;  // the box, window pixels
};
extern FilePicker g_file_picker;

// Opens over `over` (the Source panel) with the shown file selected; false,
// with a log line, when there is no file to list.
bool file_picker_open(FilePicker* p, const LayoutBox* over, const char* shown_path, int win_w, int win_h);
void file_picker_close(FilePicker* p);
// Places the box over `over`, inside the window, as tall as its rows need
// (the drawing does it every frame: the window may have changed).
void file_picker_place(FilePicker* p, const LayoutBox* over, int win_w, int win_h);
float file_picker_list_top(const FilePicker* p);
// Top of row i of the matches (scrolled); the row under a point, or -1.
float file_picker_row_top(const FilePicker* p, int i);
int file_picker_row_at(const FilePicker* p, float mx, float my);
// Input while open; each returns true when the picker changed. Keys are
// TextKeys: Up/Down/Page keys move the selection, Enter opens it, Escape
// closes, the rest edit the filter.
bool file_picker_key(FilePicker* p, int key, int mods, const char* clipboard);
bool file_picker_char(FilePicker* p, unsigned codepoint);
bool file_picker_hover(FilePicker* p, float mx, float my);
// A press: on a row opens its file, in the field places the caret, elsewhere closes.
void file_picker_press(FilePicker* p, float mx, float my, bool shift);
bool file_picker_scroll(FilePicker* p, double yoffset);
bool file_picker_contains(const FilePicker* p, float mx, float my);
void file_picker_draw(FilePicker* p, const LayoutBox* over, const char* shown_path, int win_w, int win_h);
