// The running program's session: read before the window appears, put back
// in three steps (window, view, lists of the image), and written again when
// it has changed: after a change has stood for a second, and at exit.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "app/image.h"
#include "app/session.h"
#include "platform/file_read.h"
#include "platform/paths.h"
#include "probe/probe.h"
#include "symbols/elf_dwarf.h"
#include "ui/draw.h"
#include "platform/log_store.h"
#include "ui/panels.h"
#include "ui/plot_view.h"
#include "ui/svd_view.h"
#include "ui/theme.h"
#include "ui/ui_callbacks.h"
#include "ui/ui_state.h"

static const double CHECK_INTERVAL = 0.5, SETTLE_SECONDS = 1.0;

static char s_path[CFG_PATH_LEN];
static const char* s_file_name = "debugger.ini";
static SessionRecord s_start, s_now;
// The image the watches and breakpoints belong to: the one loaded at start-up,
// whatever the Setup panel names since (it is read at the next start).
static char s_image[CFG_PATH_LEN];
// Something read back was dropped or corrected: the file gets the clean record.
static bool s_dirty;
static bool s_started;
static std::vector<SessionKey> s_saved, s_pending, s_failed;
static double s_checked_at, s_changed_at;

const SessionRecord& session_start_record() { return s_start; }
const char* session_path() { return s_path; }

void session_open(bool demo) {
    session_clear(&s_start);
    s_path[0] = s_image[0] = 0;
    s_dirty = s_started = false;
    s_saved.clear();
    s_failed.clear();
    s_file_name = demo ? "demo_session.ini" : "debugger.ini";
    if (!g_cfg_ini[0]) return;  // config_load has said why
    if (!config_folder_file(s_file_name, s_path, sizeof s_path)) {
        log_addf(&logv, "[CFG] Session: path too long, nothing is remembered: %.160s", g_cfg_ini);
        return;
    }
    uint8_t* data = nullptr;
    size_t size = 0;
    PlatReadStatus st = plat_read_file(s_path, 1u << 20, &data, &size);
    if (st == PLAT_READ_OK) {
        s_dirty = session_parse(std::string((const char*)data, size), &s_start) > 0;
        std::free(data);
    } else if (st == PLAT_READ_TOO_LARGE) {
        log_addf(&logv, "[CFG] Session: %s is over 1 MB, not read", s_file_name);
    }
}

void session_restore_window(bool keep_size) {
    const SessionRecord& r = s_start;
    const UiWindowOps* ops = ui_window_ops();
    UiRect want;
    ops->get_rect(&want);
    if (r.have_size && !keep_size) want.w = r.rect.w, want.h = r.rect.h;
    if (r.have_pos) {
        want.x = r.rect.x, want.y = r.rect.y;
        UiRect areas[UI_MAX_MONITORS];
        UiRect was = want;
        if (session_fit_window(&want, areas, ops->work_areas(areas))) {
            log_addf(&logv, "[CFG] Session: window %dx%d at %d,%d is off every monitor, moved to %dx%d at %d,%d", was.w,
                     was.h, was.x, was.y, want.w, want.h, want.x, want.y);
            s_dirty = true;
        }
        ops->move(want.x, want.y);
        windowX = want.x;
        windowY = want.y;
    }
    ops->resize(want.w, want.h);
    if (r.maximized) ui_window_maximize_from(want);
    if (r.topmost) {
        g_is_topmost = true;
        ops->set_topmost(true);
    }
}

void session_restore_view(bool keep_theme) {
    const SessionRecord& r = s_start;
    if (r.theme >= 0 && !keep_theme) theme_activate(r.theme == 1);
    if (r.have_panels)
        for (int i = 0; i < SESSION_PANELS; ++i) *g_session_panel_flags[i] = r.panels[i];
    layout_set_proportions(r.split);
    if (!r.have_pos && !r.have_size && !r.have_panels && r.theme < 0) return;
    UiRect now;
    ui_window_normal_rect(&now);
    log_addf(&logv, "[CFG] Session restored from %s: window %dx%d at %d,%d%s%s, %s theme", s_file_name, now.w, now.h,
             now.x, now.y, is_maximized ? ", maximised" : "", g_is_topmost ? ", on top" : "",
             g_dark_theme_active ? "Dark" : "Light");
}

// --- the lists -----------------------------------------------------------------------

// The name of the function that starts at addr (in `name`), or null.
static const char* function_at(uint32_t addr, char name[128]) {
    return elf_dwarf_is_function_entry(g_elf, addr & ~1u, name) ? name : nullptr;
}

static const ElfVariable* find_variable(const SessionWatch& w) {
    for (int i = 0; i < g_var_count && i < VAR_LIST_MAX; ++i) {
        const ElfVariable& v = g_var_list[i];
        if (std::strcmp(v.name, w.name) != 0) continue;
        char fn[128];
        const char* f = v.func_addr ? function_at(v.func_addr, fn) : "";
        if (f && std::strcmp(f, w.func) == 0) return &v;
    }
    return nullptr;
}

void session_restore_lists() {
    const SessionRecord& r = s_start;
    std::snprintf(s_image, sizeof s_image, "%s", g_elf ? g_cfg_elf : "");
    if (!g_elf || !r.elf[0]) return;
    if (std::strcmp(r.elf, s_image) != 0) {
        log_addf(&logv, "[CFG] Session: the watches and breakpoints kept are for %.100s; this image starts with none",
                 path_base_name(r.elf));
        return;
    }
    int watches = 0, bkpts = 0;
    uint32_t id_of[WATCH_MAX] = {};  // the record's watches as they were added (0: dropped)
    for (int i = 0; i < r.watch_count; ++i) {
        const SessionWatch& w = r.watches[i];
        const ElfVariable* v = find_variable(w);
        // A peripheral register ("RCC->CR") comes from the register description.
        bool reg = !v && !w.func[0] && std::strstr(w.name, "->");
        if (reg && svd_watch_add_by_name(w.name)) {
            id_of[i] = g_watch[g_watch_count - 1].id;
            ++watches;
            continue;
        }
        if (reg) {
            log_addf(&logv, "[CFG] Session: watch %.100s dropped, the register description has no such register",
                     w.name);
            s_dirty = true;
            continue;
        }
        if (!v) {
            log_addf(&logv, "[CFG] Session: watch %.100s%s%.100s dropped, the image has no such variable", w.name,
                     w.func[0] ? " in " : "", w.func);
            s_dirty = true;
            continue;
        }
        if (!watch_add(v)) continue;
        int idx = g_watch_count - 1;
        if (w.expanded && watch_child_count(g_watch[idx].var) > 0) watch_toggle_expanded(idx);
        id_of[i] = g_watch[idx].id;
        ++watches;
    }
    for (int j = 0; j < r.plot_count; ++j)
        if (r.plot_watches[j] >= 0 && r.plot_watches[j] < r.watch_count && id_of[r.plot_watches[j]])
            plot_view_add(id_of[r.plot_watches[j]]);
    for (int i = 0; i < r.bkpt_count; ++i) {
        const SessionBkpt& b = r.bkpts[i];
        uint32_t addr = 0;
        if (b.file[0]) addr = elf_dwarf_line_to_addr(g_elf, b.file, b.line) & ~1u;
        else if (!elf_dwarf_find_function(g_elf, b.func, &addr)) addr = 0;
        addr &= ~1u;
        if (!addr) {
            if (b.file[0])
                log_addf(&logv, "[CFG] Session: breakpoint %.120s:%u dropped, no code at that line in the image",
                         path_base_name(b.file), b.line);
            else
                log_addf(&logv, "[CFG] Session: breakpoint in %.120s dropped, the image has no such function", b.func);
            s_dirty = true;
            continue;
        }
        // The probe thread programs the enabled ones when it connects.
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        int slot = bkpt_free_slot();
        if (bkpt_find(addr) >= 0 || slot < 0) continue;
        g_bkpt[slot] = BkptSlot{addr, true, b.disabled, true};
        ++bkpts;
    }
    if (watches) g_var_tab = VAR_TAB_WATCH;  // where they were added, and where they show
    log_addf(&logv, "[CFG] Session: %d watch%s and %d breakpoint%s restored for %.100s", watches,
             watches == 1 ? "" : "es", bkpts, bkpts == 1 ? "" : "s", path_base_name(r.elf));
}

// --- capture and save ----------------------------------------------------------------

// The line a breakpoint's address is the start of (so that the line finds the
// address again), else the function it is the entry of.
static bool breakpoint_place(uint32_t addr, SessionBkpt* b) {
    ElfLocation loc;
    auto starts = [&](const char* file, uint32_t line) {
        return file && file[0] && line && (elf_dwarf_line_to_addr(g_elf, file, line) & ~1u) == addr;
    };
    const char* file = nullptr;
    uint32_t line = 0;
    if (elf_dwarf_lookup(g_elf, addr, &loc) && starts(loc.file, loc.line)) {
        file = loc.file;
        line = loc.line;
    }
    for (uint32_t i = 0; !file && i < g_elf->line_count; ++i) {
        const LineEntry& row = g_elf->lines[i];
        if ((row.address & ~1u) != addr || row.file_idx >= g_elf->file_count) continue;
        if (starts(g_elf->files[row.file_idx], row.line)) file = g_elf->files[row.file_idx], line = row.line;
    }
    if (file) {
        if (std::strlen(file) >= sizeof b->file) return false;
        std::snprintf(b->file, sizeof b->file, "%s", file);
        b->line = line;
        return true;
    }
    return elf_dwarf_is_function_entry(g_elf, addr, b->func);
}

void session_capture(SessionRecord* out) {
    session_clear(out);
    UiRect r;
    ui_window_normal_rect(&r);
    out->have_pos = out->have_size = r.w > 0 && r.h > 0;
    out->rect = r;
    out->maximized = is_maximized;
    out->topmost = g_is_topmost;
    out->theme = g_dark_theme_active ? 1 : 0;
    out->have_panels = true;
    for (int i = 0; i < SESSION_PANELS; ++i) out->panels[i] = *g_session_panel_flags[i];
    out->split = layout_proportions(window_h);
    if (!g_elf || !s_image[0]) return;
    std::snprintf(out->elf, sizeof out->elf, "%s", s_image);
    int record_of[WATCH_MAX];
    for (int i = 0; i < g_watch_count && i < WATCH_MAX; ++i) {
        record_of[i] = -1;
        const ElfVariable& v = g_watch[i].var;
        char fn[128];
        const char* f = v.func_addr ? function_at(v.func_addr, fn) : "";
        if (!f) continue;  // a local of no known function could not be found again
        SessionWatch& w = out->watches[out->watch_count];
        std::snprintf(w.name, sizeof w.name, "%.*s", (int)sizeof w.name - 1, v.name);
        std::snprintf(w.func, sizeof w.func, "%.*s", (int)sizeof w.func - 1, f);
        w.expanded = g_watch[i].expanded;
        record_of[i] = out->watch_count++;
    }
    for (const PlotCurve& c : g_plot_view.curves)
        for (int i = 0; c.used && i < g_watch_count && i < WATCH_MAX; ++i)
            if (g_watch[i].id == c.watch_id && record_of[i] >= 0) out->plot_watches[out->plot_count++] = record_of[i];
    BkptSlot slots[BKPT_SLOTS];
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        std::memcpy(slots, g_bkpt, sizeof slots);
    }
    for (const BkptSlot& s : slots) {
        SessionBkpt& b = out->bkpts[out->bkpt_count];
        b = SessionBkpt{};
        if (!s.active || !breakpoint_place(s.addr, &b)) continue;
        b.disabled = s.disabled;
        ++out->bkpt_count;
    }
}

static void save(const std::vector<SessionKey>& keys) {
    if (session_write(s_path, s_now)) {
        s_saved = keys;
        s_dirty = false;
        s_failed.clear();
    } else {
        s_failed = keys;  // tried again once it changes, and at exit
    }
}

void session_tick(double now) {
    if (!s_path[0]) return;
    std::vector<SessionKey> keys;
    if (!s_started) {
        // The state the restore produced is what counts as unchanged.
        session_capture(&s_now);
        session_keys(s_now, &s_saved);
        s_pending = s_saved;
        s_started = true;
        s_checked_at = s_changed_at = now;
        return;
    }
    if (now - s_checked_at < CHECK_INTERVAL) return;
    s_checked_at = now;
    session_capture(&s_now);
    session_keys(s_now, &keys);
    if (keys != s_pending) {
        s_pending = keys;
        s_changed_at = now;
    }
    if ((keys == s_saved && !s_dirty) || keys == s_failed || now - s_changed_at < SETTLE_SECONDS) return;
    save(keys);
}

void session_close() {
    if (!s_path[0] || !s_started) return;
    std::vector<SessionKey> keys;
    session_capture(&s_now);
    session_keys(s_now, &keys);
    if (keys != s_saved || s_dirty) save(keys);
}
