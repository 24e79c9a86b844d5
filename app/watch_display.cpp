#include "app/watch_display.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include <cstring>

#include "app/image.h"
#include "probe/probe.h"
#include "probe/watch_list.h"
#include "symbols/elf_dwarf.h"
#include "symbols/elf_variable.h"

// The value each watch showed last, by watch id: a slot taken over by
// another watch never compares against its predecessor.
static uint64_t s_prev_watch[WATCH_MAX];
static uint32_t s_prev_id[WATCH_MAX];
// What each row would show, as of the last refresh that rewrote the texts.
static uint64_t s_sig[WATCH_MAX];
static int s_sig_count = -1;

void watch_display_reset() {
    for (uint32_t& id : s_prev_id) id = 0;
    s_sig_count = -1;
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

// "name" or "name+4": the global or function an address falls in.
static bool symbol_at(void*, uint32_t addr, char* out, size_t cap) {
    for (int i = 0; i < g_var_count && i < VAR_LIST_MAX; ++i) {
        const ElfVariable& v = g_var_list[i];
        uint32_t base = (uint32_t)v.loc_value;
        if (v.func_addr || v.loc_kind != VAR_LOC_ADDR || addr - base >= (v.byte_size ? v.byte_size : 1)) continue;
        if (addr == base) std::snprintf(out, cap, "%s", v.name);
        else std::snprintf(out, cap, "%s+%u", v.name, addr - base);
        return true;
    }
    for (uint32_t i = 0; g_elf && i < g_elf->func_count; ++i) {
        const FuncEntry& f = g_elf->funcs[i];
        if ((addr & ~1u) - f.address >= (f.size ? f.size : 1)) continue;
        if ((addr & ~1u) == f.address) std::snprintf(out, cap, "%s", f.name);
        else std::snprintf(out, cap, "%s+%u", f.name, (addr & ~1u) - f.address);
        return true;
    }
    return false;
}

// The bytes the probe read where the watch points, and nothing else.
struct DerefBytes {
    uint32_t addr;
    const uint8_t* bytes;
    uint32_t len;
};
static bool deref_read(void* user, uint32_t addr, uint8_t* buf, uint32_t len) {
    const DerefBytes* d = (const DerefBytes*)user;
    if (addr < d->addr || addr - d->addr > d->len || len > d->len - (addr - d->addr)) return false;
    std::memcpy(buf, d->bytes + (addr - d->addr), len);
    return true;
}

// A member's or an element's value from the watch's bytes.
static void child_text(const ElfVariable& var, int k, const uint8_t* bytes, uint32_t have, const ElfValueContext* ctx,
                       char* out, size_t cap) {
    uint32_t unit, die, off, size;
    uint16_t bits = 0, lowest = 0;
    if (var.is_struct) {
        const ElfMember& m = var.members[k];
        unit = m.type_unit, die = m.type_die, off = m.byte_offset, size = m.byte_size, bits = m.bit_size, lowest = m.bit_offset;
    } else {
        unit = var.elem_unit, die = var.elem_die, off = (uint32_t)k * var.elem_size, size = var.elem_size;
    }
    if (off >= have) return (void)std::snprintf(out, cap, "(not read)");
    uint32_t span = bits ? (lowest + bits + 7) / 8 : size;
    if (span > have - off) return (void)std::snprintf(out, cap, "(not read)");
    if (!g_elf || !elf_dwarf_value_text(g_elf, unit, die, bytes + off, span, ctx, out, cap, lowest, bits))
        std::snprintf(out, cap, "?");
}

void watch_value_text(const ElfVariable& var, const uint8_t* bytes, uint32_t len,
                      bool (*read_mem)(void*, uint32_t, uint8_t*, uint32_t), void* user, char* out, size_t cap) {
    ElfValueContext ctx{user, symbol_at, read_mem};
    bool scalar = var.value_kind != VAR_VAL_AGGREGATE && var.value_kind != VAR_VAL_POINTER && var.byte_size <= 8;
    if (!scalar && g_elf && elf_dwarf_value_text(g_elf, var.type_unit, var.type_die, bytes, len, &ctx, out, cap)) return;
    uint64_t v = 0;
    for (uint32_t k = 0; k < 8 && k < len; ++k) v |= (uint64_t)bytes[k] << (8 * k);
    watch_format(var, v, out, cap);
}

static uint64_t hash_bytes(const uint8_t* b, uint32_t n) {
    uint64_t h = 1469598103934665603ull;
    for (uint32_t i = 0; i < n; ++i) h = (h ^ b[i]) * 1099511628211ull;
    return h;
}

bool watch_refresh_all() {
    uint32_t ids[WATCH_MAX];
    bool valid[WATCH_MAX];
    uint8_t state[WATCH_MAX], deref_len[WATCH_MAX];
    uint16_t len[WATCH_MAX];
    static uint8_t bytes[WATCH_MAX][WATCH_BYTES], deref[WATCH_MAX][WATCH_BYTES];  // UI thread only
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        for (int i = 0; i < WATCH_MAX; ++i) {
            valid[i] = watch_val_valid[i];
            state[i] = watch_val_state[i];
            ids[i] = watch_val_id[i];
            deref_len[i] = watch_val_deref_len[i];
            len[i] = watch_val_len[i];
        }
        std::memcpy(bytes, watch_val_bytes, sizeof bytes);
        std::memcpy(deref, watch_val_deref, sizeof deref);
        // The first eight bytes are also published as two words; those lead.
        for (int i = 0; i < WATCH_MAX; ++i) {
            std::memcpy(bytes[i], &watch_val_buf[i], 4);
            std::memcpy(bytes[i] + 4, &watch_val_hi[i], 4);
        }
    }
    int n = g_watch_count < WATCH_MAX ? g_watch_count : WATCH_MAX;
    // What each watch would show: unchanged everywhere, the texts (and their
    // change marks from the last change) stay as they are.
    bool changed = n != s_sig_count;
    uint32_t have[WATCH_MAX];
    uint64_t h[WATCH_MAX];
    for (int i = 0; i < n; ++i) {
        const WatchEntry& w = g_watch[i];
        // As far as it was read; the first eight bytes always are.
        have[i] = std::max<uint32_t>(len[i], std::min<uint32_t>(w.var.byte_size ? w.var.byte_size : 4, 8));
        h[i] = hash_bytes(bytes[i], have[i]) ^ hash_bytes(deref[i], deref_len[i]);
        uint64_t sig = valid[i] ? h[i] : state[i];
        sig = sig * 31 + ids[i] * 7 + w.id * 3 + (valid[i] ? 1 : 0) + (uint64_t)w.expanded * 11;
        changed |= sig != s_sig[i];
        s_sig[i] = sig;
    }
    s_sig_count = n;
    if (!changed) return false;
    for (int i = 0; i < n; ++i) {
        WatchEntry& w = g_watch[i];
        for (WatchChild& c : w.children) c.value[0] = 0;
        if ((w.var.loc_kind == VAR_LOC_NONE && !w.var.loc_list) || ids[i] != w.id) {
            // No location, or not read since it was added.
            std::snprintf(w.value, sizeof w.value, "---");
            s_prev_id[i] = 0;
            continue;
        }
        if (!valid[i]) {
            const char* why = state[i] == WATCH_VAL_NOT_IN_SCOPE    ? "not in scope"
                              : state[i] == WATCH_VAL_UNAVAILABLE   ? "<unavailable>"
                              : state[i] == WATCH_VAL_OPTIMIZED_OUT ? "<optimized out>"
                                                                    : "read err";
            std::snprintf(w.value, sizeof w.value, "%s", why);
            s_prev_id[i] = 0;
            continue;
        }
        const char* mark = s_prev_id[i] == w.id && s_prev_watch[i] != h[i] ? "\x01" : "";
        size_t m = std::strlen(mark);
        std::memcpy(w.value, mark, m);
        uint32_t ptr = 0;
        std::memcpy(&ptr, bytes[i], 4);
        DerefBytes d{ptr, deref[i], deref_len[i]};
        ElfValueContext ctx{&d, symbol_at, deref_read};
        watch_value_text(w.var, bytes[i], have[i], deref_read, &d, w.value + m, sizeof w.value - m);
        int children = watch_child_count(w.var);
        for (int k = 0; k < children; ++k)
            child_text(w.var, k, bytes[i], have[i], &ctx, w.children[k].value, sizeof w.children[k].value);
        s_prev_watch[i] = h[i];
        s_prev_id[i] = w.id;
    }
    return true;
}
