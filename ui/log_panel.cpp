#include <algorithm>
#include <mutex>

#include "ui/log_view.h"

LogView log_panel = {&logv, 0, 26, 20, 20, 600, 400, -1, true, 6, 0, 0};
LogView memmap_panel = {&memmap_view, 0, 26, 0, 0, 300, 260, 0, false, 0, 0, 0};
LogView periph_panel = {&periph_view, 0, 20, 0, 0, 200, 400, -1, false, 6, 0, 0};

// Scroll-bar drag start; only one drag exists at a time.
static double s_drag_start_y = 0;
static float s_drag_start_scroll = 0;

// Under the store's lock: a rewrite starts again at the top, new lines are
// followed while the panel sits at the bottom.
void log_view_follow_locked(LogView* v) {
    const LogStore* s = v->store;
    if (s->cleared != v->seen_cleared) {
        v->seen_cleared = s->cleared;
        v->scroll = 0;
    }
    if (s->added == v->seen_added) return;
    v->seen_added = s->added;
    log_view_stick_to_bottom_locked(v);
}

void log_view_stick_to_bottom_locked(LogView* v) {
    float visible = v->height - LOG_HEADER_H, content = v->line_height * (float)v->store->count;
    if (v->autoscroll && content > visible) v->scroll = content - visible;
}

void log_view_follow(LogView* v) {
    if (!v) return;
    std::lock_guard<std::mutex> lk(log_mutex());
    log_view_follow_locked(v);
}

static void sb_clamp_locked(LogView* v) {
    float max_scroll = std::max(0.0f, v->line_height * (float)v->store->count - (v->height - LOG_HEADER_H));
    v->scroll = std::clamp(v->scroll, 0.0f, max_scroll);
    if (max_scroll > 0) v->autoscroll = (max_scroll - v->scroll) < v->line_height;
}

void sb_clamp(LogView* v) {
    if (!v) return;
    std::lock_guard<std::mutex> lk(log_mutex());
    log_view_follow_locked(v);
    sb_clamp_locked(v);
}

bool sb_hit(LogView* v, double mx, double my) {
    if (!v) return false;
    std::lock_guard<std::mutex> lk(log_mutex());
    log_view_follow_locked(v);
    float content = v->line_height * (float)v->store->count, visible = v->height - LOG_HEADER_H;
    if (content <= visible) return false;
    double right = v->x + v->width - v->sb_inset;
    return mx >= right - 8 && mx <= right && my >= v->y + LOG_HEADER_H && my < v->y + v->height;
}

void log_scroll_wheel(LogView* v, double yoffset) {
    if (!v || yoffset == 0) return;
    std::lock_guard<std::mutex> lk(log_mutex());
    log_view_follow_locked(v);
    float step = v->line_height > 0 ? 3 * v->line_height : 48;
    v->scroll -= (float)yoffset * step;
    sb_clamp_locked(v);
}

void log_sb_drag_begin(LogView* v, double my, bool clears_autoscroll) {
    if (!v) return;
    std::lock_guard<std::mutex> lk(log_mutex());
    log_view_follow_locked(v);
    s_drag_start_y = my;
    s_drag_start_scroll = v->scroll;
    if (clears_autoscroll) v->autoscroll = false;
}

void log_sb_drag_move(LogView* v, double my) {
    if (!v) return;
    std::lock_guard<std::mutex> lk(log_mutex());
    log_view_follow_locked(v);
    float content = v->line_height * (float)v->store->count, visible = v->height - LOG_HEADER_H;
    float track = visible;
    float thumb = content > 0 ? std::max(8.0f, visible / content * track) : track;
    float travel = track - thumb, range = content - visible;
    if (content > 0 && travel > 0) {
        v->scroll = s_drag_start_scroll + (float)(my - s_drag_start_y) * range / travel;
        sb_clamp_locked(v);
    }
}

int log_row_at(LogView* v, double my) {
    if (!v) return -1;
    std::lock_guard<std::mutex> lk(log_mutex());
    log_view_follow_locked(v);
    double top = v->y + LOG_HEADER_H;
    // The header strip lies above the first row: truncating its negative
    // offset towards zero would wrongly name row 0.
    if (v->line_height <= 0 || v->store->count <= 0 || my < top) return -1;
    int row = (int)((my - top + v->scroll) / v->line_height);
    return (row >= 0 && row < v->store->count) ? row : -1;
}

