#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "ui/draw.h"
#include "ui/font.h"
#include "ui/log_view.h"

static void draw_scrollbar_locked(LogView* v, int wh) {
    draw_scrollbar_generic(v->x, v->y, v->width, v->height, v->sb_inset, &v->scroll,
                           v->line_height * (float)v->store->count, wh);
}

void draw_scrollbar(LogView* v, int wh) {
    if (!v) return;
    std::lock_guard<std::mutex> lk(log_mutex());
    draw_scrollbar_locked(v, wh);
}

static void draw_periph_row(const char* line, float x, float baseline, const float* color) {
    const char* p = line;
    while (*p == ' ') ++p;
    const char* pair = strstr(p, "  ");
    if (!pair) {
        RenderText(line, x + 4, baseline, color);
        return;
    }
    char head[LOG_LINE_LEN];
    size_t n = std::min((size_t)(pair - line), (size_t)LOG_LINE_LEN - 1);
    memcpy(head, line, n);
    head[n] = 0;
    const float* dim = &g_theme.log_text_dim.r;
    RenderText(head, x + 4, baseline, dim);
    RenderText(pair, x + 4 + measure_text(head), baseline, color);
}

// A register or peripheral line that does not fit its panel: the padding of
// its columns goes first, then the columns after the name (reset value, field
// count), then the text before a live value ("  = 0x...") gives way to an
// ellipsis, so the name and the value stay readable.
const char* log_fit_panel_line(const char* line, float room, char* out, size_t cap) {
    if (measure_text(line) <= room) return line;
    char squeezed[LOG_LINE_LEN];
    size_t n = 0;
    const char* p = line;
    while (*p == ' ' && n + 1 < sizeof squeezed) squeezed[n++] = *p++;
    size_t body = n;
    for (; *p && n + 1 < sizeof squeezed; ++p)
        if (!(p[0] == ' ' && n >= 2 && squeezed[n - 1] == ' ' && squeezed[n - 2] == ' ')) squeezed[n++] = *p;
    squeezed[n] = 0;
    char* value = nullptr;
    for (char* q = strstr(squeezed, "  = "); q; q = strstr(q + 1, "  = ")) value = q;
    while (measure_text(squeezed) > room) {
        char* end = value ? value : squeezed + strlen(squeezed);
        char* last = nullptr;  // the separator before the last column
        int separators = 0;
        for (char* q = strstr(squeezed + body, "  "); q && q < end; q = strstr(q + 2, "  ")) last = q, ++separators;
        if (separators < 2) {
            // Still too wide with a watched value: the offset column goes too,
            // all but its watch marker.
            if (!value || separators != 1 || strncmp(squeezed + body, "W ", 2) != 0) break;
            char* first_sep = strstr(squeezed + body, "  ");
            size_t keep = body + 1;
            memmove(squeezed + keep, first_sep, strlen(first_sep) + 1);
            value -= first_sep - (squeezed + keep);
            break;
        }
        memmove(last, end, strlen(end) + 1);
        if (value) value = last;
    }
    return text_fit_before(squeezed, value, room, out, cap);
}

// The width the rows are drawn in: short of the scroll bar when there is one.
static float text_width_locked(const LogView* v) {
    float content_h = v->line_height * (float)v->store->count, visible_h = v->height - LOG_HEADER_H;
    return content_h <= visible_h ? v->width : v->width - 8 - v->sb_inset;
}

float log_panel_text_room(LogView* v) {
    if (!v) return 0;
    std::lock_guard<std::mutex> lk(log_mutex());
    return text_width_locked(v) - 10;
}

void log_draw(LogView* v, int wh) {
    if (!v) return;
    std::lock_guard<std::mutex> lk(log_mutex());
    log_view_follow_locked(v);
    if (v->store->count <= 0 || v->line_height <= 0) return;
    float content_h = v->line_height * (float)v->store->count;
    float visible_h = v->height - LOG_HEADER_H;
    float text_w = text_width_locked(v);
    v->scroll = std::clamp(v->scroll, 0.0f, std::max(0.0f, content_h - visible_h));
    int first = std::clamp((int)(v->scroll / v->line_height), 0, v->store->count - 1);
    float first_baseline = v->y + LOG_HEADER_H + v->line_height - (v->scroll - v->line_height * (float)first);

    LayoutBox clip = {v->x, v->y + LOG_HEADER_H, text_w, std::max(0.0f, v->height - LOG_HEADER_H), 0};
    begin_scissor(&clip, wh);

    auto row_visible = [&](int row, float baseline) {
        return row < v->store->count && baseline - v->line_height < v->y + v->height;
    };
    if (v == &periph_panel) {
        float bl = first_baseline;
        for (int row = first; row_visible(row, bl); ++row, bl += v->line_height)
            if (v->store->line_tags[row] == 2)
                draw_rect(v->x, bl - v->line_height + 3, v->width, v->line_height, 0,
                          Color4{0.10f, 0.28f, 0.22f, 0.50f});
    }
    if (v->hovered_row >= 0 && v->hovered_row < v->store->count) {
        float bl = first_baseline + v->line_height * (float)(v->hovered_row - first);
        bool back_row = v == &periph_panel && v->hovered_row == 0 && v->store->lines[0][0] == '<';
        draw_rect(v->x, bl - v->line_height + 3, v->width, v->line_height, 0,
                  back_row ? g_theme.log_hover_back : g_theme.log_hover_row);
    }
    float gutter = 0;
    if (v == &log_panel) {
        char num[16];
        snprintf(num, sizeof num, "%d ", v->store->count);
        gutter = measure_text(num);
    }
    float bl = first_baseline;
    for (int row = first; row_visible(row, bl); ++row, bl += v->line_height) {
        const char* line = v->store->lines[row];
        const float* color = &g_theme.log_text_normal.r;
        if ((unsigned char)line[0] == 0x01) {
            ++line;
            color = &g_theme.log_text_changed.r;
        }
        char fitted[LOG_LINE_LEN + 8];
        if (v != &log_panel) line = log_fit_panel_line(line, text_w - 10, fitted, sizeof fitted);
        if (v == &log_panel) {
            char num[16];
            snprintf(num, sizeof num, "%d", row + 1);
            RenderText(num, v->x + gutter - measure_text(num), bl, &g_theme.log_text_dim.r);
            RenderText(line, v->x + 4 + gutter, bl, color);
        } else if (v == &periph_panel) {
            draw_periph_row(line, v->x, bl, color);
        } else {
            RenderText(line, v->x + 4, bl, color);
        }
    }
    end_scissor();
    draw_scrollbar_locked(v, wh);
}
