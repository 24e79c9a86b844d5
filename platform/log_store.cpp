#include "platform/log_store.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <time.h>

#include "platform/paths.h"

LogStore logv, memmap_view, periph_view;

// One lock for every store and the log file.
static std::mutex s_log_mtx;
static FILE* s_log_file = nullptr;
static bool s_log_file_tried = false;
static char s_log_file_path[4096] = "";
static bool s_log_file_path_set = false;

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

static void store_line_locked(LogStore* s, const char* text, uint8_t tag) {
    ++s->added;
    int slot;
    if (s->count < LOG_CAPACITY) {
        slot = s->count++;
    } else {
        memmove(s->lines[0], s->lines[1], (size_t)(LOG_CAPACITY - 1) * LOG_LINE_LEN);
        memmove(s->line_tags, s->line_tags + 1, LOG_CAPACITY - 1);
        slot = LOG_CAPACITY - 1;
    }
    size_t n = strnlen(text, LOG_LINE_LEN - 1);
    memcpy(s->lines[slot], text, n);
    s->lines[slot][n] = 0;
    s->line_tags[slot] = tag;
}

static void add_line_locked(LogStore* s, const char* text, uint8_t tag) {
    char stamped[LOG_LINE_LEN];
    if (s == &logv) {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        struct tm tmv;
        localtime_r(&ts.tv_sec, &tmv);
        int n = snprintf(stamped, sizeof stamped, "[%02u:%02u:%02u.%03u] ", (unsigned)tmv.tm_hour,
                         (unsigned)tmv.tm_min, (unsigned)tmv.tm_sec, (unsigned)(ts.tv_nsec / 1000000));
        if (n >= 1 && n <= 254) snprintf(stamped + n, sizeof stamped - (size_t)n, "%.*s", 255 - n, text);
        text = stamped;
        if (!s_log_file_tried) open_log_file_locked();
        if (s_log_file) {
            fprintf(s_log_file, "%s\n", text);
            fflush(s_log_file);
        }
    }
    store_line_locked(s, text, tag);
}

void log_add_line(LogStore* s, const char* text) { log_add_line_tagged(s, text, 0); }

void log_add_line_tagged(LogStore* s, const char* text, uint8_t tag) {
    if (!s || !text) return;
    std::lock_guard<std::mutex> lk(s_log_mtx);
    add_line_locked(s, text, tag);
}

void log_addf(LogStore* s, const char* fmt, ...) {
    if (!s || !fmt) return;
    char buf[LOG_LINE_LEN];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    log_add_line(s, buf);
}

void log_clear(LogStore* s) {
    if (!s) return;
    std::lock_guard<std::mutex> lk(s_log_mtx);
    s->count = 0;
    ++s->cleared;
}

unsigned log_added(LogStore* s) {
    if (!s) return 0;
    std::lock_guard<std::mutex> lk(s_log_mtx);
    return s->added;
}

int log_count(LogStore* s) {
    if (!s) return 0;
    std::lock_guard<std::mutex> lk(s_log_mtx);
    return s->count;
}

bool log_line(LogStore* s, int row, char* out, size_t cap, uint8_t* tag) {
    if (!s || !out || cap == 0) return false;
    std::lock_guard<std::mutex> lk(s_log_mtx);
    if (row < 0 || row >= s->count) {
        out[0] = 0;
        return false;
    }
    snprintf(out, cap, "%s", s->lines[row]);
    if (tag) *tag = s->line_tags[row];
    return true;
}

bool log_copy_line(LogStore* s, int row, std::string* out) {
    if (!s || !out) return false;
    std::lock_guard<std::mutex> lk(s_log_mtx);
    if (row < 0 || row >= s->count) return false;
    out->assign(s->lines[row]);
    return true;
}

std::string log_copy_all(LogStore* s) {
    std::string out;
    if (!s) return out;
    std::lock_guard<std::mutex> lk(s_log_mtx);
    out.reserve((size_t)s->count * 64);
    for (int i = 0; i < s->count; ++i) {
        out += s->lines[i];
        out += "\r\n";
    }
    return out;
}

std::mutex& log_mutex() { return s_log_mtx; }
