#include "ui/text_field.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "ui/draw.h"
#include "ui/font.h"
#include "ui/log_view.h"

TextField g_edit;
UiEditHooks g_ui_edit;

void text_field_open(TextField* f, const EditTarget& t, const char* text) {
    *f = TextField{};
    f->target = t;
    for (const char* p = text ? text : ""; *p && f->len < TEXT_FIELD_CAP - 1; ++p) text_field_char(f, (unsigned char)*p);
    f->anchor = 0;
    f->caret = f->len;
    f->active = true;
}

void text_field_close(TextField* f) {
    f->active = false;
    f->selecting = false;
    f->target = EditTarget{};
}

static int sel_lo(const TextField* f) { return std::min(f->anchor, f->caret); }
static int sel_hi(const TextField* f) { return std::max(f->anchor, f->caret); }

// Removes the selection; true when there was one.
static bool erase_selection(TextField* f) {
    int lo = sel_lo(f), hi = sel_hi(f);
    if (lo == hi) return false;
    std::memmove(f->buf + lo, f->buf + hi, (size_t)(f->len - hi + 1));
    f->len -= hi - lo;
    f->caret = f->anchor = lo;
    return true;
}

bool text_field_char(TextField* f, unsigned cp) {
    if (cp < 0x20 || cp > 0x7E) return false;
    erase_selection(f);
    if (f->len >= TEXT_FIELD_CAP - 1) return false;
    std::memmove(f->buf + f->caret + 1, f->buf + f->caret, (size_t)(f->len - f->caret + 1));
    f->buf[f->caret] = (char)cp;
    f->len++;
    f->anchor = ++f->caret;
    return true;
}

void text_field_selection(const TextField* f, char* out, size_t cap) {
    if (!cap) return;
    size_t n = std::min((size_t)(sel_hi(f) - sel_lo(f)), cap - 1);
    std::memcpy(out, f->buf + sel_lo(f), n);
    out[n] = 0;
}

static void move_caret(TextField* f, int to, bool extend) {
    f->caret = std::clamp(to, 0, f->len);
    if (!extend) f->anchor = f->caret;
}

TextResult text_field_key(TextField* f, TextKey key, int mods, const char* clipboard) {
    if (!f->active) return TEXT_NONE;
    bool shift = mods & TEXT_MOD_SHIFT, ctrl = mods & TEXT_MOD_CTRL;
    switch (key) {
    case TEXT_KEY_ENTER: return TEXT_COMMIT;
    case TEXT_KEY_ESCAPE: text_field_close(f); return TEXT_CANCEL;
    case TEXT_KEY_BACKSPACE:
        if (!erase_selection(f) && f->caret > 0) {
            f->anchor = f->caret - 1;
            erase_selection(f);
        }
        return TEXT_CHANGED;
    case TEXT_KEY_DELETE:
        if (!erase_selection(f) && f->caret < f->len) {
            f->anchor = f->caret + 1;
            erase_selection(f);
        }
        return TEXT_CHANGED;
    case TEXT_KEY_LEFT:
        // Without shift a selection collapses to its start, as text fields do.
        if (!shift && sel_lo(f) != sel_hi(f)) move_caret(f, sel_lo(f), false);
        else move_caret(f, f->caret - 1, shift);
        return TEXT_CHANGED;
    case TEXT_KEY_RIGHT:
        if (!shift && sel_lo(f) != sel_hi(f)) move_caret(f, sel_hi(f), false);
        else move_caret(f, f->caret + 1, shift);
        return TEXT_CHANGED;
    case TEXT_KEY_HOME: move_caret(f, 0, shift); return TEXT_CHANGED;
    case TEXT_KEY_END: move_caret(f, f->len, shift); return TEXT_CHANGED;
    case TEXT_KEY_A:
        if (!ctrl) return TEXT_NONE;
        f->anchor = 0;
        f->caret = f->len;
        return TEXT_CHANGED;
    case TEXT_KEY_C: return ctrl && sel_lo(f) != sel_hi(f) ? TEXT_COPY : TEXT_NONE;
    case TEXT_KEY_X:
        if (!ctrl || sel_lo(f) == sel_hi(f)) return TEXT_NONE;
        return TEXT_COPY;  // the caller copies, then sends Delete
    case TEXT_KEY_V:
        if (!ctrl) return TEXT_NONE;
        erase_selection(f);
        // One line of it: a paste ends at its first line break.
        for (const char* p = clipboard ? clipboard : ""; *p && *p != '\n' && *p != '\r'; ++p)
            text_field_char(f, (unsigned char)*p);
        return TEXT_CHANGED;
    default: return TEXT_NONE;
    }
}

static const float kPad = 3;

int text_field_index_at(const TextField* f, float mx) {
    float x = f->x + kPad;
    char one[2] = {0, 0};
    for (int i = 0; i < f->len; ++i) {
        one[0] = f->buf[i];
        float adv = measure_text(one);
        if (mx < x + adv / 2) return i;
        x += adv;
    }
    return f->len;
}

bool text_field_contains(const TextField* f, float mx, float my) {
    return f->active && mx >= f->x && mx < f->x + f->w && my >= f->y && my < f->y + f->h;
}

void text_field_press(TextField* f, float mx, bool shift) {
    move_caret(f, text_field_index_at(f, mx), shift);
    f->selecting = true;
}

void text_field_drag(TextField* f, float mx) {
    if (f->active && f->selecting) move_caret(f, text_field_index_at(f, mx), true);
}

static float prefix_width(const TextField* f, int n) {
    char tmp[TEXT_FIELD_CAP];
    std::memcpy(tmp, f->buf, (size_t)n);
    tmp[n] = 0;
    return measure_text(tmp);
}

void text_field_draw(TextField* f, float x, float y, float w, float h) {
    f->x = x, f->y = y, f->w = w, f->h = h;
    draw_rect(x, y, w, h, 2, g_theme.window_bg);
    Color3 edge = g_theme.dbg_btn_step;
    set_line_color(edge);
    draw_line(x, y, x + w, y);
    draw_line(x, y + h, x + w, y + h);
    draw_line(x, y, x, y + h);
    draw_line(x + w, y, x + w, y + h);
    float tx = x + kPad, baseline = y + h - 4;
    if (sel_lo(f) != sel_hi(f)) {
        float a = tx + prefix_width(f, sel_lo(f)), b = tx + prefix_width(f, sel_hi(f));
        draw_rect(a, y + 2, b - a, h - 4, 0, Color4{edge.r, edge.g, edge.b, 0.35f});
    }
    RenderText(f->buf, tx, baseline, &g_theme.log_text_normal.r);
    float cx = tx + prefix_width(f, f->caret);
    set_line_color(g_theme.log_text_normal);
    draw_line(cx, y + 3, cx, y + h - 3);
}

void text_field_draw_on_row(TextField* f, LogView* v, int row) {
    char line[LOG_LINE_LEN];
    if (!log_line(v->store, row, line, sizeof line, nullptr)) return;
    const char* text = (unsigned char)line[0] == 0x01 ? line + 1 : line;
    // The value starts after the row's last "= "; a row without one is edited after its text.
    const char* eq = std::strstr(text, "= ");
    for (const char* p = eq; p; p = std::strstr(p + 1, "= ")) eq = p;
    char head[LOG_LINE_LEN];
    size_t n = eq ? (size_t)(eq + 2 - text) : std::strlen(text);
    std::memcpy(head, text, n);
    head[n] = 0;
    float lh = v->line_height > 0 ? v->line_height : 18;
    float top = v->y + LOG_HEADER_H + lh * (float)row - v->scroll + 2;
    float x = v->x + 4 + measure_text(head) - kPad + (eq ? 0 : 8);
    float right = v->x + v->width - 12;
    if (right - x < 90) x = std::max(v->x + 2, right - 90);
    if (top + lh < v->y + LOG_HEADER_H || top > v->y + v->height) return;
    text_field_draw(f, x, top, right - x, lh);
}

bool ui_edit_begin(const EditTarget& t) {
    char text[TEXT_FIELD_CAP] = "";
    if (!g_ui_edit.begin || !g_ui_edit.begin(&t, text, sizeof text)) return false;
    text_field_open(&g_edit, t, text);
    return true;
}
