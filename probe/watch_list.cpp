#include "probe/watch_list.h"

#include <cstring>
#include <mutex>

#include "probe/probe.h"

WatchEntry g_watch[WATCH_MAX];
int g_watch_count;
ElfVariable g_var_list[VAR_LIST_MAX];
int g_var_count;

static std::mutex s_watch_mtx;
static uint32_t s_next_id = 1;

int watch_locations(WatchLoc out[WATCH_MAX]) {
    std::lock_guard<std::mutex> lk(s_watch_mtx);
    int n = g_watch_count < WATCH_MAX ? g_watch_count : WATCH_MAX;
    for (int i = 0; i < n; ++i) {
        out[i] = watch_loc_of(g_watch[i].var, g_watch[i].id);
        uint32_t most = g_watch[i].expanded ? (uint32_t)WATCH_BYTES : (uint32_t)WATCH_READ;
        if (out[i].size > most) out[i].size = most;
    }
    return n;
}

WatchLoc watch_loc_of(const ElfVariable& v, uint32_t id) {
    WatchLoc l{};
    l.kind = v.loc_kind;
    l.value = v.loc_value;
    l.size = v.byte_size;
    l.id = id;
    l.func_addr = v.func_addr;
    l.deref = v.deref;
    l.const_value = v.const_value;
    l.expr_len = v.expr_len <= sizeof l.expr ? v.expr_len : 0;
    std::memcpy(l.expr, v.expr, l.expr_len);
    l.moves = v.loc_list && v.func_addr;
    l.var_unit = v.var_unit, l.var_die = v.var_die, l.sub_die = v.sub_die;
    return l;
}

static int find_locked(const char* name) {
    if (!name || !name[0]) return -1;
    for (int i = 0; i < g_watch_count; ++i)
        if (std::strcmp(g_watch[i].var.name, name) == 0) return i;
    return -1;
}

bool watch_add(const ElfVariable* var) {
    if (!var || !var->name[0]) return false;
    std::lock_guard<std::mutex> lk(s_watch_mtx);
    if (g_watch_count >= WATCH_MAX) return false;
    // The same variable once; locals of one name in different functions are different variables.
    for (int i = 0; i < g_watch_count; ++i)
        if (std::strcmp(g_watch[i].var.name, var->name) == 0 && g_watch[i].var.func_addr == var->func_addr) return false;
    WatchEntry& w = g_watch[g_watch_count];
    std::memset(&w, 0, sizeof w);
    w.var = *var;
    w.var.name[sizeof w.var.name - 1] = 0;
    std::strcpy(w.value, "---");
    w.id = s_next_id++;
    g_watch_count++;
    return true;
}

void watch_remove(int i) {
    std::lock_guard<std::mutex> lk(s_watch_mtx);
    if (i < 0 || i >= g_watch_count) return;
    std::memmove(&g_watch[i], &g_watch[i + 1], sizeof(WatchEntry) * (size_t)(g_watch_count - i - 1));
    g_watch_count--;
}

int watch_find_by_name(const char* name) {
    std::lock_guard<std::mutex> lk(s_watch_mtx);
    return find_locked(name);
}

void watch_clear() {
    std::lock_guard<std::mutex> lk(s_watch_mtx);
    g_watch_count = 0;
}

void watch_toggle_expanded(int i) {
    std::lock_guard<std::mutex> lk(s_watch_mtx);
    if (i >= 0 && i < g_watch_count) g_watch[i].expanded = !g_watch[i].expanded;
}
