// The session record: read from and written to the [Session] section, and
// checked against the monitors. Nothing here touches the live program.
#include "app/session.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "platform/ini.h"
#include "platform/log_store.h"

static const char kSection[] = "Session";
// X11 keeps window coordinates in 16 bits.
static const long kCoordLimit = 32767;

const char* const g_session_panel_names[SESSION_PANELS] = {"variables", "source", "peripherals", "registers", "plot",
                                                           "log",       "setup",  "stack",       "fault",     "breakpoints"};
bool* const g_session_panel_flags[SESSION_PANELS] = {&g_show_variables, &g_show_source, &g_show_periph, &g_show_memmap,
                                                     &g_show_plot,      &g_show_log,    &g_show_setup,  &g_show_stack,
                                                     &g_show_fault,     &g_show_bkpt};

void session_clear(SessionRecord* r) {
    std::memset(r, 0, sizeof *r);
    r->theme = -1;
    for (float& f : r->split.top) f = -1;
    for (float& f : r->split.bottom) f = -1;
    r->split.bottom_top = -1;
}

// --- reading -----------------------------------------------------------------------

namespace {

struct Reader {
    const std::string& text;
    int ignored;
    char value[CFG_PATH_LEN];

    // True with the value in `value`; a value too long is ignored with a line.
    bool get(const char* key) {
        IniGet r = ini_text_get(text, kSection, key, value, sizeof value);
        if (r == INI_GET_TOO_LONG) return bad(key, "...", "too long");
        return r == INI_GET_OK;
    }
    bool bad(const char* key, const char* val, const char* why) {
        log_addf(&logv, "[CFG] Session: %s=%.60s ignored (%s)", key, val, why);
        ++ignored;
        return false;
    }
};

bool parse_long(const char* s, long lo, long hi, long* out) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s, &end, 10);
    if (!s[0] || *end || errno || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// A position: within what the window system can address.
bool read_coord(Reader* rd, const char* key, int* out) {
    long v;
    if (!rd->get(key)) return false;
    if (!parse_long(rd->value, -kCoordLimit, kCoordLimit, &v)) return rd->bad(key, rd->value, "not a screen position");
    *out = (int)v;
    return true;
}

// A size: a number, raised to the minimum and cut to the maximum with a line.
bool read_side(Reader* rd, const char* key, int lo, int* out) {
    long v;
    if (!rd->get(key)) return false;
    if (!parse_long(rd->value, -1000000000L, 1000000000L, &v)) return rd->bad(key, rd->value, "not a size");
    long c = std::clamp(v, (long)lo, (long)SESSION_MAX_SIDE);
    if (c != v) {
        log_addf(&logv, "[CFG] Session: %s=%ld out of range, %ld used", key, v, c);
        ++rd->ignored;
    }
    *out = (int)c;
    return true;
}

bool read_bool(Reader* rd, const char* key, bool* out) {
    if (!rd->get(key)) return false;
    const char* v = rd->value;
    if (!strcasecmp(v, "1") || !strcasecmp(v, "true")) *out = true;
    else if (!strcasecmp(v, "0") || !strcasecmp(v, "false")) *out = false;
    else return rd->bad(key, v, "not 0 or 1");
    return true;
}

// A name: printable, and short enough for the symbol tables.
bool read_name(Reader* rd, const char* key, char* out, size_t cap) {
    if (!rd->get(key)) return false;
    size_t n = std::strlen(rd->value);
    if (n == 0) return rd->bad(key, "", "empty");
    if (n >= cap) return rd->bad(key, rd->value, "too long");
    for (size_t i = 0; i < n; ++i)
        if ((unsigned char)rd->value[i] < 0x20 || rd->value[i] == 0x7F) return rd->bad(key, "...", "control character");
    std::memcpy(out, rd->value, n + 1);
    return true;
}

// "0.25,0.5,..." into `count` fractions strictly between 0 and 1, or -1 (not set).
void read_fractions(Reader* rd, const char* key, float* out, int count) {
    if (!rd->get(key)) return;
    float v[4];
    const char* p = rd->value;
    for (int i = 0; i < count; ++i) {
        char* end = nullptr;
        errno = 0;
        v[i] = std::strtof(p, &end);
        bool ok = end != p && !errno && std::isfinite(v[i]) && ((v[i] > 0 && v[i] < 1) || v[i] == -1);
        if (!ok || *end != (i + 1 < count ? ',' : '\0')) {
            rd->bad(key, rd->value, count > 1 ? "not fractions of the window" : "not a fraction of the window");
            return;
        }
        p = end + 1;
    }
    std::copy(v, v + count, out);
}

void read_panels(Reader* rd, SessionRecord* out) {
    if (!rd->get("panels")) return;
    bool shown[SESSION_PANELS] = {};
    char list[CFG_PATH_LEN];
    std::snprintf(list, sizeof list, "%s", rd->value);
    char* save = nullptr;
    for (char* tok = strtok_r(list, ", ", &save); tok; tok = strtok_r(nullptr, ", ", &save)) {
        int k = 0;
        while (k < SESSION_PANELS && strcasecmp(tok, g_session_panel_names[k])) ++k;
        if (k < SESSION_PANELS) {
            shown[k] = true;
        } else {
            log_addf(&logv, "[CFG] Session: unknown panel '%.40s' ignored", tok);
            ++rd->ignored;
        }
    }
    std::copy(shown, shown + SESSION_PANELS, out->panels);
    out->have_panels = true;
}

// "path/file.c:42", or a function's name.
bool parse_bkpt(Reader* rd, const char* key, SessionBkpt* b) {
    char text[CFG_PATH_LEN];
    if (!read_name(rd, key, text, sizeof text)) return false;
    char* colon = std::strrchr(text, ':');
    long line = 0;
    if (colon && colon[1] >= '0' && colon[1] <= '9') {
        if (colon == text || !parse_long(colon + 1, 1, 10000000, &line) || colon - text >= (long)sizeof b->file)
            return rd->bad(key, text, "not file:line");
        std::memcpy(b->file, text, (size_t)(colon - text));
        b->file[colon - text] = 0;
        b->line = (uint32_t)line;
        return true;
    }
    size_t n = std::strlen(text);
    if (n >= sizeof b->func) return rd->bad(key, text, "too long");
    std::memcpy(b->func, text, n + 1);
    return true;
}

void read_lists(Reader* rd, SessionRecord* out) {
    if (!rd->get("elf")) return;
    std::snprintf(out->elf, sizeof out->elf, "%s", rd->value);
    if (!out->elf[0]) return;
    char key[32];
    // The plotted watches' numbers, in their curves' order ("3,1"); one bad number spoils the list.
    long plot[8];
    int plot_n = 0;
    if (rd->get("plot")) {
        char list[64], *save = nullptr;
        size_t len = std::strlen(rd->value);
        bool good = len < sizeof list;
        std::memcpy(list, rd->value, good ? len + 1 : 1);
        list[good ? len : 0] = 0;
        for (char* item = strtok_r(list, ",", &save); good && item; item = strtok_r(nullptr, ",", &save)) {
            good = plot_n < 8 && parse_long(item, 1, WATCH_MAX, &plot[plot_n]);
            for (int j = 0; good && j < plot_n; ++j) good = plot[j] != plot[plot_n];
            ++plot_n;
        }
        if (!good || plot_n == 0) {
            rd->bad("plot", rd->value, "not a list of watch numbers");
            plot_n = 0;
        }
    }
    int plot_at[8];
    for (int j = 0; j < 8; ++j) plot_at[j] = -1;
    for (int k = 1; k <= WATCH_MAX; ++k) {
        SessionWatch w{};
        std::snprintf(key, sizeof key, "watch%d", k);
        if (!read_name(rd, key, w.name, sizeof w.name)) continue;
        std::snprintf(key, sizeof key, "watch%d_in", k);
        read_name(rd, key, w.func, sizeof w.func);
        std::snprintf(key, sizeof key, "watch%d_expanded", k);
        read_bool(rd, key, &w.expanded);
        for (int j = 0; j < plot_n; ++j)
            if (k == plot[j]) plot_at[j] = out->watch_count;
        out->watches[out->watch_count++] = w;
    }
    for (int j = 0; j < plot_n; ++j)
        if (plot_at[j] >= 0) out->plot_watches[out->plot_count++] = plot_at[j];
    for (int k = 1; k <= BKPT_SLOTS; ++k) {
        SessionBkpt b{};
        std::snprintf(key, sizeof key, "bkpt%d", k);
        if (!parse_bkpt(rd, key, &b)) continue;
        std::snprintf(key, sizeof key, "bkpt%d_disabled", k);
        read_bool(rd, key, &b.disabled);
        out->bkpts[out->bkpt_count++] = b;
    }
}

}  // namespace

int session_parse(const std::string& ini_text, SessionRecord* out) {
    session_clear(out);
    Reader rd{ini_text, 0, ""};
    int x = 0, y = 0, w = 0, h = 0;
    bool have_x = read_coord(&rd, "window_x", &x), have_y = read_coord(&rd, "window_y", &y);
    if (have_x && have_y) {
        out->have_pos = true;
        out->rect.x = x;
        out->rect.y = y;
    }
    bool have_w = read_side(&rd, "window_width", SESSION_MIN_W, &w);
    bool have_h = read_side(&rd, "window_height", SESSION_MIN_H, &h);
    if (have_w && have_h) {
        out->have_size = true;
        out->rect.w = w;
        out->rect.h = h;
    }
    read_bool(&rd, "maximized", &out->maximized);
    read_bool(&rd, "topmost", &out->topmost);
    if (rd.get("theme")) {
        if (!strcasecmp(rd.value, "dark")) out->theme = 1;
        else if (!strcasecmp(rd.value, "light")) out->theme = 0;
        else rd.bad("theme", rd.value, "not Light or Dark");
    }
    read_panels(&rd, out);
    read_fractions(&rd, "split_top", out->split.top, TOP_EDGE_COUNT);
    read_fractions(&rd, "split_bottom", out->split.bottom, 4);
    read_fractions(&rd, "split_log", &out->split.bottom_top, 1);
    read_lists(&rd, out);
    return rd.ignored;
}

// --- writing -----------------------------------------------------------------------

static void put(std::vector<SessionKey>* out, const char* key, const std::string& value) {
    out->push_back(SessionKey{key, value, false});
}

static std::string fractions(const float* v, int n) {
    std::string s;
    char one[24];
    for (int i = 0; i < n; ++i) {
        if (v[i] > 0 && v[i] < 1) std::snprintf(one, sizeof one, "%.4f", (double)v[i]);
        else std::snprintf(one, sizeof one, "-1");
        s += (i ? "," : "") + std::string(one);
    }
    return s;
}

// A value with a line break cannot be written as one line: such an entry is left out.
static bool one_line(const char* s) { return !std::strpbrk(s, "\r\n"); }

static void list_keys(const SessionRecord& r, std::vector<SessionKey>* out) {
    put(out, "elf", r.elf);
    char key[32];
    int n = 0, number[WATCH_MAX] = {};
    for (int i = 0; i < r.watch_count && i < WATCH_MAX; ++i) {
        const SessionWatch& w = r.watches[i];
        if (!w.name[0] || !one_line(w.name) || !one_line(w.func)) continue;
        number[i] = ++n;
        std::snprintf(key, sizeof key, "watch%d", n);
        put(out, key, w.name);
        std::snprintf(key, sizeof key, "watch%d_in", n);
        out->push_back(SessionKey{key, w.func, !w.func[0]});
        std::snprintf(key, sizeof key, "watch%d_expanded", n);
        out->push_back(SessionKey{key, "1", !w.expanded});
    }
    for (int k = n + 1; k <= WATCH_MAX; ++k)
        for (const char* f : {"watch%d", "watch%d_in", "watch%d_expanded"}) {
            std::snprintf(key, sizeof key, f, k);
            out->push_back(SessionKey{key, "", true});
        }
    std::string plot;
    for (int j = 0; j < r.plot_count && j < 8; ++j) {
        int i = r.plot_watches[j];
        if (i < 0 || i >= r.watch_count || i >= WATCH_MAX || !r.watches[i].name[0] || !one_line(r.watches[i].name) ||
            !one_line(r.watches[i].func))
            continue;  // left out of the list above
        plot += (plot.empty() ? "" : ",") + std::to_string(number[i]);
    }
    out->push_back(SessionKey{"plot", plot, plot.empty()});
    n = 0;
    for (int i = 0; i < r.bkpt_count && i < BKPT_SLOTS; ++i) {
        const SessionBkpt& b = r.bkpts[i];
        std::string where = b.file[0] ? std::string(b.file) + ":" + std::to_string(b.line) : std::string(b.func);
        if (where.empty() || !one_line(where.c_str())) continue;
        ++n;
        std::snprintf(key, sizeof key, "bkpt%d", n);
        put(out, key, where);
        std::snprintf(key, sizeof key, "bkpt%d_disabled", n);
        out->push_back(SessionKey{key, "1", !b.disabled});
    }
    for (int k = n + 1; k <= BKPT_SLOTS; ++k)
        for (const char* f : {"bkpt%d", "bkpt%d_disabled"}) {
            std::snprintf(key, sizeof key, f, k);
            out->push_back(SessionKey{key, "", true});
        }
}

void session_keys(const SessionRecord& r, std::vector<SessionKey>* out) {
    out->clear();
    if (r.have_pos) {
        put(out, "window_x", std::to_string(r.rect.x));
        put(out, "window_y", std::to_string(r.rect.y));
    }
    if (r.have_size) {
        put(out, "window_width", std::to_string(r.rect.w));
        put(out, "window_height", std::to_string(r.rect.h));
    }
    put(out, "maximized", r.maximized ? "1" : "0");
    put(out, "topmost", r.topmost ? "1" : "0");
    if (r.theme >= 0) put(out, "theme", r.theme ? "Dark" : "Light");
    if (r.have_panels) {
        std::string list;
        for (int i = 0; i < SESSION_PANELS; ++i)
            if (r.panels[i]) list += (list.empty() ? "" : ",") + std::string(g_session_panel_names[i]);
        put(out, "panels", list);
    }
    put(out, "split_top", fractions(r.split.top, TOP_EDGE_COUNT));
    put(out, "split_bottom", fractions(r.split.bottom, 4));
    put(out, "split_log", fractions(&r.split.bottom_top, 1));
    // Without an image the file keeps the lists of the last one.
    if (r.elf[0] && one_line(r.elf)) list_keys(r, out);
}

bool session_write(const char* path, const SessionRecord& r) {
    std::vector<SessionKey> keys;
    session_keys(r, &keys);
    std::vector<IniPair> pairs;
    for (const SessionKey& k : keys) pairs.push_back(IniPair{k.key.c_str(), k.remove ? nullptr : k.value.c_str()});
    if (ini_put(path, kSection, pairs.data(), (int)pairs.size())) return true;
    log_addf(&logv, "[CFG] Session save failed: %.200s", ini_error());
    return false;
}

// --- the monitors --------------------------------------------------------------------

bool session_fit_window(UiRect* r, const UiRect* areas, int count) {
    UiRect in = *r;
    r->w = std::clamp(r->w, (int)SESSION_MIN_W, (int)SESSION_MAX_SIDE);
    r->h = std::clamp(r->h, (int)SESSION_MIN_H, (int)SESSION_MAX_SIDE);
    // Enough of the title strip to take hold of it with the mouse.
    bool reachable = count <= 0;
    for (int i = 0; i < count && !reachable; ++i) {
        const UiRect& a = areas[i];
        long w = (long)std::min(r->x + r->w, a.x + a.w) - std::max(r->x, a.x);
        long h = (long)std::min(r->y + 30, a.y + a.h) - std::max(r->y, a.y);
        reachable = w >= 60 && h >= 20;
    }
    if (!reachable) {
        const UiRect& a = areas[ui_pick_monitor(*r, areas, count)];
        r->w = std::max((int)SESSION_MIN_W, std::min(r->w, a.w));
        r->h = std::max((int)SESSION_MIN_H, std::min(r->h, a.h));
        r->x = std::max(a.x, std::min(r->x, a.x + a.w - r->w));
        r->y = std::max(a.y, std::min(r->y, a.y + a.h - r->h));
    }
    return r->x != in.x || r->y != in.y || r->w != in.w || r->h != in.h;
}
