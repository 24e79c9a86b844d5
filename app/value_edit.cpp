#include "app/value_edit.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "app/image.h"
#include "app/register_display.h"
#include "app/value_parse.h"
#include "probe/probe.h"
#include "probe/watch_list.h"
#include "symbols/elf_dwarf.h"
#include "symbols/svd.h"
#include "platform/log_store.h"
#include "ui/svd_view.h"
#include "ui/text_field.h"

static bool enum_value(const void* user, const char* name, int64_t* v) {
    const ElfVariable* var = (const ElfVariable*)user;
    return g_elf && elf_dwarf_enum_value(g_elf, var->type_unit, var->type_die, name, v);
}

static bool enum_name(const void* user, uint64_t v, char* out, size_t cap) {
    const ElfVariable* var = (const ElfVariable*)user;
    return g_elf && elf_dwarf_enum_name(g_elf, var->type_unit, var->type_die, v, out, cap);
}

// The watch a target names, still in its slot; null when it is gone or holds
// no single value (a structure or array, more than 8 bytes) or no place to
// write it (no location, a constant, a value computed from registers).
static const WatchEntry* watch_of(const EditTarget& t) {
    if (t.index < 0 || t.index >= g_watch_count || t.index >= WATCH_MAX || g_watch[t.index].id != t.id) return nullptr;
    const ElfVariable& v = g_watch[t.index].var;
    bool place = v.loc_kind == VAR_LOC_REG || v.loc_kind == VAR_LOC_FBREG || v.loc_kind == VAR_LOC_ADDR;
    if (v.is_struct || v.value_kind == VAR_VAL_AGGREGATE || !place || v.byte_size < 1 || v.byte_size > 8) return nullptr;
    return &g_watch[t.index];
}

static ValueType watch_type(const ElfVariable& v) {
    return ValueType{v.value_kind, v.byte_size, 0, v.value_signed, enum_value, &v};
}

// The register and field a peripheral target names.
struct PeriphRef {
    const SvdPeripheral* p;
    const SvdRegister* r;
    const SvdField* f;
};
static bool periph_of(const EditTarget& t, PeriphRef* o) {
    o->p = g_svd ? svd_get_peripheral(g_svd, t.periph) : nullptr;
    o->r = o->p ? svd_get_register(o->p, t.reg) : nullptr;
    o->f = o->r && t.kind == EDIT_PERIPH_FIELD ? svd_get_field(o->r, t.field) : nullptr;
    return o->r && (t.kind != EDIT_PERIPH_FIELD || o->f);
}

// The published value of a watched peripheral register, when there is one.
static bool periph_value(const SvdPeripheral* p, const SvdRegister* r, uint32_t* v) {
    char name[128];
    svd_watch_name(p, r, name);
    int i = watch_find_by_name(name);
    if (i < 0 || i >= WATCH_MAX) return false;
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    if (watch_val_id[i] != g_watch[i].id || !watch_val_valid[i]) return false;
    *v = watch_val_buf[i];
    return true;
}

static bool begin(const EditTarget* t, char* text, size_t cap) {
    text[0] = 0;
    switch (t->kind) {
    case EDIT_WATCH: {
        const WatchEntry* w = watch_of(*t);
        if (!w) return false;
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        if (watch_val_id[t->index] == w->id && watch_val_valid[t->index])
            value_literal(watch_type(w->var), (uint64_t)watch_val_hi[t->index] << 32 | watch_val_buf[t->index], text, cap,
                          enum_name);
        return true;
    }
    case EDIT_CORE_REG: {
        RegisterRow r;
        uint32_t v;
        if (!register_row(t->row, &r) || !register_row_value(t->row, &v)) return false;
        if (r.fp) value_literal(ValueType{VAR_VAL_FLOAT, 4, 0, false, nullptr, nullptr}, v, text, cap);
        else std::snprintf(text, cap, r.width < 32 ? "0x%X" : "0x%08X", v);
        return true;
    }
    case EDIT_PERIPH_REG:
    case EDIT_PERIPH_FIELD: {
        PeriphRef pr;
        if (!periph_of(*t, &pr)) return false;
        const SvdField* f = pr.f;
        uint32_t v;
        if (periph_value(pr.p, pr.r, &v)) {
            if (f) v = f->bit_offset < 32 ? v >> f->bit_offset & (f->bit_width < 32 ? (1u << f->bit_width) - 1 : ~0u) : 0;
            std::snprintf(text, cap, f ? "0x%X" : "0x%08X", v);
        }
        return true;
    }
    default: return false;
    }
}

static bool refuse(const char* label, const char* why) {
    log_addf(&logv, "%.90s: %.120s; nothing written", label, why);
    return false;
}

static bool commit(const EditTarget* t, const char* text) {
    ProbeWrite w{};
    char err[160];
    switch (t->kind) {
    case EDIT_WATCH: {
        const WatchEntry* e = watch_of(*t);
        if (!e) return false;
        std::snprintf(w.label, sizeof w.label, "[WATCH] %.80s", e->var.name);
        if (!value_parse(watch_type(e->var), text, w.data, err, sizeof err)) return refuse(w.label, err);
        w.kind = PROBE_WRITE_WATCH;
        w.len = e->var.byte_size;
        w.watch = watch_loc_of(e->var, e->id);
        break;
    }
    case EDIT_CORE_REG: {
        RegisterRow r;
        if (!register_row(t->row, &r)) return false;
        std::snprintf(w.label, sizeof w.label, "[REG] %s", r.name);
        ValueType vt{r.fp ? VAR_VAL_FLOAT : VAR_VAL_UNSIGNED, 4, r.fp ? 0u : (uint32_t)r.width, false, nullptr, nullptr};
        uint8_t b[4] = {};
        if (!value_parse(vt, text, b, err, sizeof err)) return refuse(w.label, err);
        uint32_t v = (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
        if (!g_is_halted || g_watch_halting) return refuse(w.label, "registers are written only while the target is halted");
        v <<= r.shift;
        for (int k = 0; k < 4; ++k) w.data[k] = (uint8_t)(v >> (8 * k));
        w.kind = PROBE_WRITE_REG;
        w.addr = (uint32_t)r.sel;
        w.len = 4;
        w.mask = r.width < 32 ? ((1ull << r.width) - 1) << r.shift : 0;
        break;
    }
    case EDIT_PERIPH_REG:
    case EDIT_PERIPH_FIELD: {
        PeriphRef pr;
        if (!periph_of(*t, &pr)) return false;
        const SvdPeripheral* p = pr.p;
        const SvdRegister* r = pr.r;
        const SvdField* f = pr.f;
        std::snprintf(w.label, sizeof w.label, "[SVD] %.28s->%.28s%s%.28s", p->name, r->name, f ? "." : "", f ? f->name : "");
        uint32_t width = f ? f->bit_width : 32, shift = f ? f->bit_offset : 0;
        if (width < 1 || width + shift > 32) return refuse(w.label, "the field lies outside its register");
        uint8_t b[4] = {};
        if (!value_parse(ValueType{VAR_VAL_UNSIGNED, 4, width, false, nullptr, nullptr}, text, b, err, sizeof err))
            return refuse(w.label, err);
        uint32_t v = ((uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24) << shift;
        for (int k = 0; k < 4; ++k) w.data[k] = (uint8_t)(v >> (8 * k));
        w.kind = PROBE_WRITE_MEM;
        w.addr = r->address;
        w.len = 4;
        // A field is written by a read-modify-write of its register.
        w.mask = f ? (width < 32 ? ((1ull << width) - 1) << shift : 0xFFFFFFFFull) : 0;
        break;
    }
    default: return false;
    }
    if (!g_probe_connected) return refuse(w.label, "no probe connected");
    if (!probe_post_write(&w)) return refuse(w.label, "the probe is busy with another command");
    return true;
}

void value_edit_install() { g_ui_edit = UiEditHooks{begin, commit}; }
