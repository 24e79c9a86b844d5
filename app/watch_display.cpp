#include "app/watch_display.h"

#include <cstdio>
#include <mutex>

#include "probe/probe.h"
#include "probe/watch_list.h"

// The value each watch showed last, by watch id: a slot taken over by
// another watch never compares against its predecessor.
static uint32_t s_prev_watch[WATCH_MAX];
static uint32_t s_prev_id[WATCH_MAX];

void watch_display_reset() {
    for (uint32_t& id : s_prev_id) id = 0;
}

void watch_refresh_all() {
    uint32_t vals[WATCH_MAX], ids[WATCH_MAX];
    bool valid[WATCH_MAX];
    uint8_t state[WATCH_MAX];
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        for (int i = 0; i < WATCH_MAX; ++i) {
            vals[i] = watch_val_buf[i];
            valid[i] = watch_val_valid[i];
            state[i] = watch_val_state[i];
            ids[i] = watch_val_id[i];
        }
    }
    int n = g_watch_count < WATCH_MAX ? g_watch_count : WATCH_MAX;
    for (int i = 0; i < n; ++i) {
        WatchEntry& w = g_watch[i];
        if (w.var.loc_kind == VAR_LOC_NONE || ids[i] != w.id) {
            // No location, or not read since it was added.
            std::snprintf(w.value, sizeof w.value, "---");
            s_prev_id[i] = 0;
            continue;
        }
        if (!valid[i]) {
            const char* why = state[i] == WATCH_VAL_NOT_IN_SCOPE ? "not in scope"
                              : state[i] == WATCH_VAL_UNAVAILABLE ? "<unavailable>"
                                                                  : "read err";
            std::snprintf(w.value, sizeof w.value, "%s", why);
            s_prev_id[i] = 0;
            continue;
        }
        uint32_t v = vals[i];
        const char* mark = s_prev_id[i] == w.id && s_prev_watch[i] != v ? "\x01" : "";
        uint32_t size = w.var.byte_size ? w.var.byte_size : 4;
        if (size == 1) std::snprintf(w.value, sizeof w.value, "%s0x%02X  (%u)", mark, v & 0xFF, v & 0xFF);
        else if (size == 2) std::snprintf(w.value, sizeof w.value, "%s0x%04X  (%u)", mark, v & 0xFFFF, v & 0xFFFF);
        else std::snprintf(w.value, sizeof w.value, "%s0x%08X  (%u)", mark, v, v);
        s_prev_watch[i] = v;
        s_prev_id[i] = w.id;
    }
}
