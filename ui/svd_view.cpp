#include "ui/svd_view.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "probe/probe.h"
#include "probe/watch_list.h"
#include "symbols/svd.h"
#include "ui/log_view.h"
#include "ui/ui_state.h"

SvdViewState g_svd_view = {SVD_VIEW_PERIPH_LIST, -1, -1};
SvdDevice* g_svd = nullptr;

static int s_last_level = -1, s_last_periph = -1, s_last_reg = -1;

void svd_view_reset() {
    g_svd_view = SvdViewState{SVD_VIEW_PERIPH_LIST, -1, -1};
    s_last_level = s_last_periph = s_last_reg = -1;
}

void svd_watch_name(const SvdPeripheral* p, const SvdRegister* r, char out[128]) {
    char full[160];
    std::snprintf(full, sizeof full, "%.63s->%.63s", p ? p->name : "", r ? r->name : "");
    size_t n = strnlen(full, 127);
    std::memcpy(out, full, n);
    out[n] = 0;
}

static bool add_register_watch(const SvdRegister* r, const char* name) {
    ElfVariable v{};
    std::snprintf(v.name, sizeof v.name, "%s", name);
    std::snprintf(v.type_name, sizeof v.type_name, "uint32_t");
    v.byte_size = 4;
    v.loc_kind = VAR_LOC_ADDR;
    v.loc_value = (int32_t)r->address;
    return watch_add(&v);
}

void svd_watch_toggle(const SvdPeripheral* p, const SvdRegister* r) {
    if (!p || !r) return;
    char name[128];
    svd_watch_name(p, r, name);
    int i = watch_find_by_name(name);
    if (i >= 0) watch_remove(i);
    else add_register_watch(r, name);
    svd_view_refresh();
}

bool svd_watch_add_by_name(const char* name) {
    if (!g_svd || !name || !std::strstr(name, "->")) return false;
    char n[128];
    for (int pi = 0; pi < svd_peripheral_count(g_svd); ++pi) {
        const SvdPeripheral* p = svd_get_peripheral(g_svd, pi);
        if (!p || std::strncmp(p->name, name, std::strlen(p->name)) != 0) continue;
        for (int ri = 0; ri < svd_register_count(p); ++ri) {
            const SvdRegister* r = svd_get_register(p, ri);
            svd_watch_name(p, r, n);
            if (std::strcmp(n, name) == 0) return add_register_watch(r, n);
        }
    }
    return false;
}

// The published value of watch i, when it has one.
static bool watched_value(int i, uint32_t* value) {
    if (i < 0 || i >= WATCH_MAX) return false;
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    if (watch_val_id[i] != g_watch[i].id || !watch_val_valid[i]) return false;
    *value = watch_val_buf[i];
    return true;
}

void svd_view_refresh() {
    if (!g_svd) return;
    for (int guard = 0; guard < 3; ++guard) {
        SvdPeripheral* p = svd_get_peripheral(g_svd, g_svd_view.sel_periph);
        SvdRegister* r = p ? svd_get_register(p, g_svd_view.sel_reg) : nullptr;
        if (g_svd_view.level == SVD_VIEW_REG_LIST && !p) {
            g_svd_view = SvdViewState{SVD_VIEW_PERIPH_LIST, -1, -1};
            continue;
        }
        if (g_svd_view.level == SVD_VIEW_FIELD_LIST && !r) {
            g_svd_view.level = p ? SVD_VIEW_REG_LIST : SVD_VIEW_PERIPH_LIST;
            g_svd_view.sel_reg = -1;
            if (!p) g_svd_view.sel_periph = -1;
            continue;
        }
        break;
    }
    bool same = g_svd_view.level == s_last_level && g_svd_view.sel_periph == s_last_periph &&
                g_svd_view.sel_reg == s_last_reg;
    float scroll = periph_panel.scroll;
    log_clear(&periph_view);
    log_view_follow(&periph_panel);  // a rewrite starts at the top, unless it is the same list again
    if (same) periph_panel.scroll = scroll;

    char line[LOG_LINE_LEN], name[128];
    if (g_svd_view.level == SVD_VIEW_PERIPH_LIST) {
        for (int i = 0; i < svd_peripheral_count(g_svd); ++i) {
            const SvdPeripheral* p = svd_get_peripheral(g_svd, i);
            std::snprintf(line, sizeof line, "0x%08X  %-20s  (%u regs)", p->base_address, p->name, p->reg_count);
            log_add_line_tagged(&periph_view, line, p->source ? 2 : 1);
        }
    } else {
        const SvdPeripheral* p = svd_get_peripheral(g_svd, g_svd_view.sel_periph);
        uint8_t tag = p->source ? 2 : 1;
        if (g_svd_view.level == SVD_VIEW_REG_LIST) {
            std::snprintf(line, sizeof line, "< %s  (0x%08X)", p->name, p->base_address);
            log_add_line_tagged(&periph_view, line, tag);
            for (int i = 0; i < svd_register_count(p); ++i) {
                const SvdRegister* r = svd_get_register(p, i);
                svd_watch_name(p, r, name);
                uint32_t v = 0;
                int w = watch_find_by_name(name);
                bool watched = w >= 0, live = watched_value(w, &v);
                int n = std::snprintf(line, sizeof line, "%s+%04X  %-24s  [rst=0x%08X]  (%u fields)",
                                      watched ? "W " : "  ", r->address - p->base_address, r->name, r->reset_value,
                                      r->field_count);
                if (live && n > 0 && (size_t)n < sizeof line)
                    std::snprintf(line + n, sizeof line - (size_t)n, "  = 0x%08X", v);
                log_add_line_tagged(&periph_view, line, tag);
            }
        } else {
            const SvdRegister* r = svd_get_register(p, g_svd_view.sel_reg);
            std::snprintf(line, sizeof line, "< %s->%s  (0x%08X)", p->name, r->name, r->address);
            log_add_line_tagged(&periph_view, line, tag);
            svd_watch_name(p, r, name);
            uint32_t v = 0;
            bool live = watched_value(watch_find_by_name(name), &v);
            if (r->field_count == 0) log_add_line_tagged(&periph_view, "  (no bitfield definitions)", tag);
            for (int i = 0; i < svd_field_count(r); ++i) {
                const SvdField* f = svd_get_field(r, i);
                int msb = f->bit_offset + f->bit_width - 1;
                int n = std::snprintf(line, sizeof line, "  [%2d:%2d]  %s", msb, f->bit_offset, f->name);
                // A watched register shows what each field holds now.
                if (live && n > 0 && (size_t)n < sizeof line) {
                    uint32_t fv = f->bit_offset < 32 ? v >> f->bit_offset : 0;
                    if (f->bit_width < 32) fv &= (1u << f->bit_width) - 1;
                    std::snprintf(line + n, sizeof line - (size_t)n, "  = 0x%X", fv);
                }
                log_add_line_tagged(&periph_view, line, tag);
            }
        }
    }
    s_last_level = g_svd_view.level;
    s_last_periph = g_svd_view.sel_periph;
    s_last_reg = g_svd_view.sel_reg;
    ui_request_redraw();
}

void svd_view_click(int row, bool left_part) {
    if (!g_svd || row < 0 || row >= log_count(&periph_view)) return;
    SvdViewState& s = g_svd_view;
    if (s.level == SVD_VIEW_PERIPH_LIST) {
        if (row >= svd_peripheral_count(g_svd)) return;
        s = SvdViewState{SVD_VIEW_REG_LIST, row, -1};
    } else if (s.level == SVD_VIEW_REG_LIST) {
        if (row == 0) {
            s = SvdViewState{SVD_VIEW_PERIPH_LIST, -1, -1};
        } else {
            SvdPeripheral* p = svd_get_peripheral(g_svd, s.sel_periph);
            SvdRegister* r = svd_get_register(p, row - 1);
            if (!r) return;
            if (left_part) {
                svd_watch_toggle(p, r);
                return;
            }
            s.level = SVD_VIEW_FIELD_LIST;
            s.sel_reg = row - 1;
        }
    } else {
        if (row != 0) return;
        s.level = SVD_VIEW_REG_LIST;
        s.sel_reg = -1;
    }
    svd_view_refresh();
}

void svd_view_title(char* out, size_t cap) {
    const SvdPeripheral* p = g_svd ? svd_get_peripheral(g_svd, g_svd_view.sel_periph) : nullptr;
    const SvdRegister* r = p ? svd_get_register(p, g_svd_view.sel_reg) : nullptr;
    if (g_svd_view.level == SVD_VIEW_FIELD_LIST && r) std::snprintf(out, cap, "%s->%s", p->name, r->name);
    else if (g_svd_view.level == SVD_VIEW_REG_LIST && p) std::snprintf(out, cap, "Periph: %s", p->name);
    else std::snprintf(out, cap, "Peripherals");
}
