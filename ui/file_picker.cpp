#include "ui/file_picker.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/paths.h"
#include "ui/font.h"
#include "ui/log_view.h"

UiFileHooks g_ui_files = {};
FilePicker g_file_picker = {};

// Case-insensitive substring: "Wave" finds ".../wave.c".
static bool holds(const char* path, const char* needle) { return strcasestr(path, needle) != nullptr; }

// Files whose name holds the text come first, then those that hold it only in
// their folder: "main" picks main.c, not every file under /work/main/.
static void refilter(FilePicker* p) {
    p->match_count = 0;
    for (int pass = 0; pass < 2; ++pass)
        for (int i = 0; i < p->file_count && p->match_count < FILE_PICKER_MAX; ++i) {
            bool in_name = holds(path_base_name(p->files[i].path), p->filter.buf);
            if (pass == 0 ? in_name : !in_name && holds(p->files[i].path, p->filter.buf))
                p->match[p->match_count++] = i;
        }
    p->sel = p->match_count > 0 ? 0 : -1;
    p->hovered = -1;
    p->scroll = 0;
}

float file_picker_list_top(const FilePicker* p) { return p->y + FILE_PICKER_PAD + FILE_PICKER_FIELD_H + 4; }

static float list_bottom(const FilePicker* p) { return p->y + p->h - 3; }
static float list_height(const FilePicker* p) { return std::max(0.0f, list_bottom(p) - file_picker_list_top(p)); }
static float max_scroll(const FilePicker* p) {
    return std::max(0.0f, (float)p->match_count * FILE_PICKER_ROW_H - list_height(p));
}

float file_picker_row_top(const FilePicker* p, int i) {
    return file_picker_list_top(p) + (float)i * FILE_PICKER_ROW_H - p->scroll;
}

void file_picker_place(FilePicker* p, const LayoutBox* over, int win_w, int win_h) {
    // At least wide enough for a name and some of its folder, in a narrow panel too.
    p->w = std::min(std::max(over->w - 12, 420.0f), (float)win_w - 4);
    p->x = std::clamp(over->x + 6, 2.0f, std::max(2.0f, (float)win_w - 2 - p->w));
    // Under the header strip: the header's buttons stay in sight.
    p->y = over->y + 17;
    float head = FILE_PICKER_PAD + FILE_PICKER_FIELD_H + 4 + 3;
    float want = head + (float)std::max(1, p->match_count) * FILE_PICKER_ROW_H;
    float room = std::max(over->y + over->h - 4 - p->y, head + 4 * FILE_PICKER_ROW_H);
    p->h = std::max(0.0f, std::min({want, room, (float)win_h - 2 - p->y}));
    p->scroll = std::clamp(p->scroll, 0.0f, max_scroll(p));
}

bool file_picker_contains(const FilePicker* p, float mx, float my) {
    return p->visible && mx >= p->x && mx < p->x + p->w && my >= p->y && my < p->y + p->h;
}

int file_picker_row_at(const FilePicker* p, float mx, float my) {
    if (!file_picker_contains(p, mx, my) || my < file_picker_list_top(p) || my >= list_bottom(p)) return -1;
    int i = (int)((my - file_picker_list_top(p) + p->scroll) / FILE_PICKER_ROW_H);
    return i >= 0 && i < p->match_count ? i : -1;
}

static void keep_in_view(FilePicker* p, int i) {
    if (i < 0) return;
    float top = (float)i * FILE_PICKER_ROW_H, visible = list_height(p);
    if (top < p->scroll) p->scroll = top;
    else if (top + FILE_PICKER_ROW_H > p->scroll + visible) p->scroll = top + FILE_PICKER_ROW_H - visible;
    p->scroll = std::clamp(p->scroll, 0.0f, max_scroll(p));
}

bool file_picker_open(FilePicker* p, const LayoutBox* over, const char* shown_path, int win_w, int win_h) {
    const PickerFile* files = nullptr;
    int n = g_ui_files.list ? g_ui_files.list(&files) : 0;
    if (n <= 0 || !files) {
        log_add_line(&logv, g_ui_files.list ? "[SRC] No source files: the image's line tables name none"
                                            : "[SRC] No source files to list \xE2\x80\x94 no ELF loaded");
        return false;
    }
    *p = FilePicker{};
    p->files = files;
    p->file_count = std::min(n, (int)FILE_PICKER_MAX);
    text_field_open(&p->filter, EditTarget{}, "");
    refilter(p);
    for (int m = 0; shown_path && m < p->match_count; ++m)
        if (strcmp(files[p->match[m]].path, shown_path) == 0) p->sel = m;
    p->visible = true;
    file_picker_place(p, over, win_w, win_h);
    // The shown file mid-list, with its neighbours around it.
    p->scroll = std::clamp((float)p->sel * FILE_PICKER_ROW_H - (list_height(p) - FILE_PICKER_ROW_H) / 2, 0.0f,
                           max_scroll(p));
    return true;
}

void file_picker_close(FilePicker* p) {
    p->visible = false;
    p->hovered = -1;
    text_field_close(&p->filter);
}

// A file that cannot be read keeps the list open: the log says why.
static void choose(FilePicker* p, int m) {
    if (m < 0 || m >= p->match_count) return;
    int index = p->match[m];
    if (p->files[index].found) file_picker_close(p);
    if (g_ui_files.open) g_ui_files.open(index);
}

bool file_picker_key(FilePicker* p, int key, int mods, const char* clipboard) {
    if (!p->visible) return false;
    int page = std::max(1, (int)(list_height(p) / FILE_PICKER_ROW_H) - 1);
    int step = 0;
    switch (key) {
    case TEXT_KEY_ESCAPE: file_picker_close(p); return true;
    case TEXT_KEY_ENTER: choose(p, p->sel); return true;
    case TEXT_KEY_UP: step = -1; break;
    case TEXT_KEY_DOWN: step = 1; break;
    case TEXT_KEY_PAGE_UP: step = -page; break;
    case TEXT_KEY_PAGE_DOWN: step = page; break;
    default: {
        char before[TEXT_FIELD_CAP];
        memcpy(before, p->filter.buf, sizeof before);
        // Copying from the filter is not offered: a cut only deletes.
        if (text_field_key(&p->filter, (TextKey)key, mods, clipboard) == TEXT_COPY && key == TEXT_KEY_X)
            text_field_key(&p->filter, TEXT_KEY_DELETE, 0, nullptr);
        if (strcmp(before, p->filter.buf) != 0) refilter(p);
        return true;
    }
    }
    if (p->match_count == 0) return false;
    p->sel = std::clamp(p->sel + step, 0, p->match_count - 1);
    keep_in_view(p, p->sel);
    return true;
}

bool file_picker_char(FilePicker* p, unsigned codepoint) {
    if (!p->visible || !text_field_char(&p->filter, codepoint)) return false;
    refilter(p);
    return true;
}

bool file_picker_hover(FilePicker* p, float mx, float my) {
    int h = file_picker_row_at(p, mx, my);
    if (h == p->hovered) return false;
    p->hovered = h;
    return true;
}

void file_picker_press(FilePicker* p, float mx, float my, bool shift) {
    if (!p->visible) return;
    if (!file_picker_contains(p, mx, my)) {
        file_picker_close(p);
        return;
    }
    int row = file_picker_row_at(p, mx, my);
    if (row >= 0) {
        p->sel = row;
        choose(p, row);
    } else if (text_field_contains(&p->filter, mx, my)) {
        text_field_press(&p->filter, mx, shift);
    }
}

bool file_picker_scroll(FilePicker* p, double yoffset) {
    if (!p->visible || yoffset == 0) return false;
    float before = p->scroll;
    p->scroll = std::clamp(p->scroll - (float)yoffset * 3 * FILE_PICKER_ROW_H, 0.0f, max_scroll(p));
    return p->scroll != before;
}

static void draw_row(const FilePicker* p, int m, float top, bool shown, float right) {
    const PickerFile& f = p->files[p->match[m]];
    float bx = p->x + 3, bw = right - bx, bl = top + FILE_PICKER_ROW_H - 6;
    if (m == p->sel) draw_rect(bx, top, bw, FILE_PICKER_ROW_H, 2, color4_of(g_theme.dbg_btn_step, 0.32f));
    else if (m == p->hovered) draw_rect(bx, top, bw, FILE_PICKER_ROW_H, 2, g_theme.log_hover_row);
    if (shown) RenderText("\xE2\x97\x8F", p->x + 8, bl, &g_theme.dbg_btn_continue.r);
    const char* base = path_base_name(f.path);
    float nx = p->x + 26;
    RenderText(base, nx, bl, f.found ? &g_theme.log_text_normal.r : &g_theme.log_text_dim.r);
    float dx = nx + measure_text(base) + 14, end = right - 6;
    if (!f.found) {
        const char* note = "not found";
        end -= measure_text(note);
        RenderText(note, end, bl, &g_theme.log_text_dim.r);
        end -= 14;
    }
    char dir[512];
    size_t n = std::min((size_t)(base - f.path), sizeof dir - 1);
    memcpy(dir, f.path, n);
    while (n > 1 && (dir[n - 1] == '/' || dir[n - 1] == '\\')) --n;
    dir[n] = 0;
    // A long folder keeps its end, the part that tells files apart.
    float room = end - dx;
    if (room < 20 || !dir[0]) return;
    char text[520];
    if (measure_text(dir) <= room) snprintf(text, sizeof text, "%s", dir);
    else snprintf(text, sizeof text, "\xE2\x80\xA6%s", truncate_text_left(dir, room - measure_text("\xE2\x80\xA6")));
    RenderText(text, dx, bl, f.found ? &g_theme.log_text_dim.r : &g_theme.log_line_number.r);
}

void file_picker_draw(FilePicker* p, const LayoutBox* over, const char* shown_path, int win_w, int win_h) {
    if (!p->visible) return;
    if (!over || over->w <= 0 || over->h <= 0) {
        file_picker_close(p);
        return;
    }
    file_picker_place(p, over, win_w, win_h);
    draw_rect(p->x, p->y, p->w, p->h, 3, color4_of(g_theme.dbg_btn_step, 0.8f));
    draw_rect(p->x + 1, p->y + 1, p->w - 2, p->h - 2, 2, g_theme.titlebar_bg);

    float fx = p->x + FILE_PICKER_PAD, fy = p->y + FILE_PICKER_PAD, fw = p->w - 2 * FILE_PICKER_PAD;
    text_field_draw(&p->filter, fx, fy, fw, FILE_PICKER_FIELD_H);
    float fbl = fy + FILE_PICKER_FIELD_H - 4;
    if (!p->filter.len) RenderText("Type part of a path", fx + 8, fbl, &g_theme.log_text_dim.r);
    char count[48];
    snprintf(count, sizeof count, "%d of %d", p->match_count, p->file_count);
    float cw = measure_text(count);
    if (measure_text(p->filter.buf) + cw + 30 < fw) RenderText(count, fx + fw - 8 - cw, fbl, &g_theme.log_text_dim.r);

    float top = file_picker_list_top(p), visible = list_height(p);
    float content = (float)p->match_count * FILE_PICKER_ROW_H;
    float right = p->x + p->w - 3 - (content > visible ? 12 : 0);
    LayoutBox clip = {p->x + 1, top, p->w - 2, visible, 0};
    begin_scissor(&clip, win_h);
    if (p->match_count == 0)
        RenderText("No file matches", p->x + 26, top + FILE_PICKER_ROW_H - 6, &g_theme.log_text_dim.r);
    for (int m = std::max(0, (int)(p->scroll / FILE_PICKER_ROW_H)); m < p->match_count; ++m) {
        float rt = file_picker_row_top(p, m);
        if (rt >= top + visible) break;
        bool shown = shown_path && strcmp(p->files[p->match[m]].path, shown_path) == 0;
        draw_row(p, m, rt, shown, right);
    }
    end_scissor();
    // The shared bar counts a 22 px header above the rows.
    draw_scrollbar_generic(p->x, top - 22, p->w - 3, visible + 22, 1, &p->scroll, content, win_h);
}
