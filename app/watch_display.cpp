#include "app/watch_display.h"

#include <cstdio>
#include <mutex>

#include <cstring>

#include "app/image.h"
#include "probe/probe.h"
#include "probe/watch_list.h"
#include "symbols/elf_dwarf.h"

// The value each watch showed last, by watch id: a slot taken over by
// another watch never compares against its predecessor.
static uint64_t s_prev_watch[WATCH_MAX];
static uint32_t s_prev_id[WATCH_MAX];

void watch_display_reset() {
    for (uint32_t& id : s_prev_id) id = 0;
}

// The value as C reads it, after the raw bytes in hex: "0xFB  (-5 '\373')".
void watch_format(const ElfVariable& var, uint64_t v, char* out, size_t cap) {
    uint32_t size = var.byte_size ? var.byte_size : 4;
    if (size > 8) size = 8;
    uint64_t mask = size < 8 ? (1ull << (8 * size)) - 1 : ~0ull;
    v &= mask;
    char typed[96];
    int64_t sv = size < 8 && (v >> (8 * size - 1) & 1) ? (int64_t)(v | ~mask) : (int64_t)v;
    switch (var.value_kind) {
    case VAR_VAL_SIGNED: std::snprintf(typed, sizeof typed, "%lld", (long long)sv); break;
    case VAR_VAL_BOOL: std::snprintf(typed, sizeof typed, "%s", v ? "true" : "false"); break;
    case VAR_VAL_CHAR: {
        long long n = var.value_signed ? (long long)sv : (long long)v;
        unsigned char ch = (unsigned char)v;
        // Escaped as gdb writes them: the C letters, else three octal digits.
        const char* named = std::strchr("\a\b\t\n\v\f\r", ch && ch < 0x20 ? ch : 0xFF);
        if (ch >= 0x20 && ch < 0x7F && ch != '\'' && ch != '\\')
            std::snprintf(typed, sizeof typed, "%lld '%c'", n, ch);
        else if (ch == '\'' || ch == '\\')
            std::snprintf(typed, sizeof typed, "%lld '\\%c'", n, ch);
        else if (named)
            std::snprintf(typed, sizeof typed, "%lld '\\%c'", n, "abtnvfr"[named - "\a\b\t\n\v\f\r"]);
        else
            std::snprintf(typed, sizeof typed, "%lld '\\%03o'", n, ch);
        break;
    }
    case VAR_VAL_FLOAT:
        if (size == 4) {
            float f;
            uint32_t w = (uint32_t)v;
            std::memcpy(&f, &w, 4);
            std::snprintf(typed, sizeof typed, "%.9g", (double)f);
        } else if (size == 8) {
            double d;
            std::memcpy(&d, &v, 8);
            std::snprintf(typed, sizeof typed, "%.17g", d);
        } else {
            std::snprintf(typed, sizeof typed, "?");
        }
        break;
    case VAR_VAL_ENUM:
        if (!g_elf || !elf_dwarf_enum_name(g_elf, var.type_unit, var.type_die, v, typed, sizeof typed))
            std::snprintf(typed, sizeof typed, "%llu", (unsigned long long)v);
        break;
    default: std::snprintf(typed, sizeof typed, "%llu", (unsigned long long)v); break;
    }
    std::snprintf(out, cap, "0x%0*llX  (%s)", (int)(2 * size), (unsigned long long)v, typed);
}

void watch_refresh_all() {
    uint32_t vals[WATCH_MAX], his[WATCH_MAX], ids[WATCH_MAX];
    bool valid[WATCH_MAX];
    uint8_t state[WATCH_MAX];
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        for (int i = 0; i < WATCH_MAX; ++i) {
            vals[i] = watch_val_buf[i];
            his[i] = watch_val_hi[i];
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
        uint64_t v = (uint64_t)his[i] << 32 | vals[i];
        const char* mark = s_prev_id[i] == w.id && s_prev_watch[i] != v ? "\x01" : "";
        size_t m = std::strlen(mark);
        std::memcpy(w.value, mark, m);
        watch_format(w.var, v, w.value + m, sizeof w.value - m);
        s_prev_watch[i] = v;
        s_prev_id[i] = w.id;
    }
}
