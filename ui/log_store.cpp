#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <time.h>

#include "platform/paths.h"
#include "ui/log_view.h"

LogView logv = {{}, {}, 0, 0, 0, 26, 20, 20, 600, 400, -1, true, 6};
LogView memmap_view = {{}, {}, 0, 0, 0, 26, 0, 0, 300, 260, 0, false, 0};
LogView periph_view = {{}, {}, 0, 0, 0, 20, 0, 0, 200, 400, -1, false, 6};

// One lock for every view and the log file: the probe thread appends while the
// interface thread draws, scrolls and copies.
static std::mutex s_log_mtx;
static FILE* s_log_file = nullptr;
static bool s_log_file_tried = false;
static char s_log_file_path[4096] = "";
static bool s_log_file_path_set = false;

// Scroll-bar drag start; only one drag exists at a time.
static double s_drag_start_y = 0;
static float s_drag_start_scroll = 0;

static void log_format_stamp(char* out, size_t cap, unsigned h, unsigned m, unsigned s, unsigned ms) {
    snprintf(out, cap, "[%02u:%02u:%02u.%03u] ", h, m, s, ms);
}

static void open_log_file_locked() {
    s_log_file_tried = true;
    char path[4096];
    if (s_log_file_path_set) {
        if (!s_log_file_path[0]) return;
        snprintf(path, sizeof path, "%s", s_log_file_path);
    } else {
        char dir[4096];
        if (!plat_settings_dir(dir, sizeof dir, nullptr)) return;
        if (!path_join(dir, "debugger.log", path, sizeof path)) return;
    }
    s_log_file = fopen(path, "w");
}

void log_set_file_path(const char* path) {
    std::lock_guard<std::mutex> lk(s_log_mtx);
    if (s_log_file) fclose(s_log_file);
    s_log_file = nullptr;
    s_log_file_tried = false;
    s_log_file_path_set = true;
    snprintf(s_log_file_path, sizeof s_log_file_path, "%s", path ? path : "");
}

static void store_line_locked(LogView* v, const char* text) {
    ++v->added;
    int slot;
    if (v->count < LOG_CAPACITY) {
        slot = v->count++;
    } else {
        memmove(v->lines[0], v->lines[1], (size_t)(LOG_CAPACITY - 1) * LOG_LINE_LEN);
        memmove(v->line_tags, v->line_tags + 1, LOG_CAPACITY - 1);
        slot = LOG_CAPACITY - 1;
    }
    size_t n = strnlen(text, LOG_LINE_LEN - 1);
    memcpy(v->lines[slot], text, n);
    v->lines[slot][n] = 0;
    v->lines[slot][LOG_LINE_LEN - 1] = 0;
    v->line_tags[slot] = 0;
    if (v->autoscroll) {
        float visible = v->height - LOG_HEADER_H, content = v->line_height * (float)v->count;
        if (content > visible) v->scroll = content - visible;
    }
}

static void add_line_locked(LogView* v, const char* text, bool tagged, uint8_t tag) {
    char stamped[LOG_LINE_LEN];
    if (v == &logv) {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        struct tm tmv;
        localtime_r(&ts.tv_sec, &tmv);
        log_format_stamp(stamped, sizeof stamped, (unsigned)tmv.tm_hour, (unsigned)tmv.tm_min,
                         (unsigned)tmv.tm_sec, (unsigned)(ts.tv_nsec / 1000000));
        size_t n = strlen(stamped);
        if (n >= 1 && n <= 254) snprintf(stamped + n, sizeof stamped - n, "%.*s", (int)(255 - n), text);
        stamped[LOG_LINE_LEN - 1] = 0;
        text = stamped;
        if (!s_log_file_tried) open_log_file_locked();
        if (s_log_file) {
            fprintf(s_log_file, "%s\n", text);
            fflush(s_log_file);
        }
    }
    int slot = std::min(v->count, LOG_CAPACITY - 1);
    store_line_locked(v, text);
    if (tagged) v->line_tags[slot] = tag;
}

void log_add_line(LogView* v, const char* text) {
    if (!v || !text) return;
    std::lock_guard<std::mutex> lk(s_log_mtx);
    add_line_locked(v, text, false, 0);
}

void log_add_line_tagged(LogView* v, const char* text, uint8_t tag) {
    if (!v || !text) return;
    std::lock_guard<std::mutex> lk(s_log_mtx);
    add_line_locked(v, text, true, tag);
}

void log_addf(LogView* v, const char* fmt, ...) {
    if (!v || !fmt) return;
    char buf[LOG_LINE_LEN];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    log_add_line(v, buf);
}

void log_clear(LogView* v) {
    if (!v) return;
    std::lock_guard<std::mutex> lk(s_log_mtx);
    v->count = 0;
    v->scroll = 0;
}

// ---- scroll model ---------------------------------------------------------

static void sb_clamp_locked(LogView* v) {
    float max_scroll = std::max(0.0f, v->line_height * (float)v->count - (v->height - LOG_HEADER_H));
    v->scroll = std::clamp(v->scroll, 0.0f, max_scroll);
    if (max_scroll > 0) v->autoscroll = (max_scroll - v->scroll) < v->line_height;
}

void sb_clamp(LogView* v) {
    if (!v) return;
    std::lock_guard<std::mutex> lk(s_log_mtx);
    sb_clamp_locked(v);
}

bool sb_hit(LogView* v, double mx, double my) {
    if (!v) return false;
    std::lock_guard<std::mutex> lk(s_log_mtx);
    float content = v->line_height * (float)v->count, visible = v->height - LOG_HEADER_H;
    if (content <= visible) return false;
    double right = v->x + v->width - v->sb_inset;
    return mx >= right - 8 && mx <= right && my >= v->y + LOG_HEADER_H && my < v->y + v->height;
}

void log_scroll_wheel(LogView* v, double yoffset) {
    if (!v || yoffset == 0) return;
    std::lock_guard<std::mutex> lk(s_log_mtx);
    float step = v->line_height > 0 ? 3 * v->line_height : 48;
    v->scroll -= (float)yoffset * step;
    sb_clamp_locked(v);
}

void log_sb_drag_begin(LogView* v, double my, bool clears_autoscroll) {
    if (!v) return;
    std::lock_guard<std::mutex> lk(s_log_mtx);
    s_drag_start_y = my;
    s_drag_start_scroll = v->scroll;
    if (clears_autoscroll) v->autoscroll = false;
}

void log_sb_drag_move(LogView* v, double my) {
    if (!v) return;
    std::lock_guard<std::mutex> lk(s_log_mtx);
    float content = v->line_height * (float)v->count, visible = v->height - LOG_HEADER_H;
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
    std::lock_guard<std::mutex> lk(s_log_mtx);
    double top = v->y + LOG_HEADER_H;
    // The header strip lies above the first row: truncating its negative
    // offset towards zero would wrongly name row 0.
    if (v->line_height <= 0 || v->count <= 0 || my < top) return -1;
    int row = (int)((my - top + v->scroll) / v->line_height);
    return (row >= 0 && row < v->count) ? row : -1;
}

bool log_copy_line(LogView* v, int row, std::string* out) {
    if (!v || !out) return false;
    std::lock_guard<std::mutex> lk(s_log_mtx);
    if (row < 0 || row >= v->count) return false;
    out->assign(v->lines[row]);
    return true;
}

std::string log_copy_all(LogView* v) {
    std::string s;
    if (!v) return s;
    std::lock_guard<std::mutex> lk(s_log_mtx);
    s.reserve((size_t)v->count * 64);
    for (int i = 0; i < v->count; ++i) {
        s += v->lines[i];
        s += "\r\n";
    }
    return s;
}

unsigned log_added(LogView* v) {
    if (!v) return 0;
    std::lock_guard<std::mutex> lk(s_log_mtx);
    return v->added;
}

int log_count(LogView* v) {
    if (!v) return 0;
    std::lock_guard<std::mutex> lk(s_log_mtx);
    return v->count;
}

bool log_line(LogView* v, int row, char* out, size_t cap, uint8_t* tag) {
    if (!v || !out || cap == 0) return false;
    std::lock_guard<std::mutex> lk(s_log_mtx);
    if (row < 0 || row >= v->count) {
        out[0] = 0;
        return false;
    }
    snprintf(out, cap, "%s", v->lines[row]);
    if (tag) *tag = v->line_tags[row];
    return true;
}

std::mutex& log_mutex_for_drawing() { return s_log_mtx; }
