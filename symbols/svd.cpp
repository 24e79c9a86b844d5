// CMSIS-SVD reader. pugixml builds the tree; this file reads only the direct
// children it knows of each element and flattens clusters, dim arrays and
// derivedFrom copies into registers with absolute addresses.
#include "symbols/svd.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pugixml.hpp>

namespace {

// One budget per device for everything dim, clusters and derivedFrom multiply
// out: a few kilobytes of XML could otherwise ask for gigabytes.
constexpr uint64_t kMaxRegisters = 1000000;
constexpr uint64_t kMaxFields = 2000000;
constexpr uint32_t kMaxDim = 65536;
constexpr uint32_t kMaxClusterDim = 1024;
constexpr int kMaxClusterDepth = 16;
constexpr long long kMaxFileSize = 256LL << 20;
constexpr uint32_t kNotFound = 0xFFFFFFFFu;

char s_error[256] = "";
long s_fail_after = -1;

__attribute__((format(printf, 1, 2))) void set_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(s_error, sizeof s_error, fmt, ap);
    va_end(ap);
}

bool oom() {
    set_error("OOM");
    return false;
}

void* mem_realloc(void* p, size_t n) {
    if (s_fail_after >= 0 && s_fail_after-- == 0) return nullptr;
    return realloc(p, n ? n : 1);
}

// A growing array of plain records (realloc moves them bytewise).
template <class T>
struct Buf {
    T* data;
    uint32_t count, cap;
};

template <class T>
bool buf_push(Buf<T>& b, const T& v, uint32_t first_cap) {
    if (b.count == b.cap) {
        if (b.cap > 0x7FFFFFFFu / sizeof(T)) return false;
        uint32_t cap = b.cap ? b.cap * 2 : first_cap;
        T* d = (T*)mem_realloc((void*)b.data, (size_t)cap * sizeof(T));
        if (!d) return false;
        b.data = d;
        b.cap = cap;
    }
    b.data[b.count++] = v;
    return true;
}

// --- names ------------------------------------------------------------------

struct NameOut {
    char* d;  // 64 bytes
    size_t n;
    void put(const char* s, size_t len) {
        if (len > 63 - n) len = 63 - n;
        memcpy(d + n, s, len);
        n += len;
        d[n] = 0;
    }
    void put(const char* s) { put(s, strlen(s)); }
};

void copy_name(char* dst, const char* src) {
    NameOut o{dst, 0};
    dst[0] = 0;
    o.put(src, strnlen(src, 63));
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

const char* text_start(pugi::xml_node n) {
    const char* s = n.text().get();
    while (is_space(*s)) ++s;
    return s;
}

constexpr size_t kDimIndexLen = 512;

// Entry i of a dimIndex: a list ("A,B,C"), a number range ("3-6") or a letter
// range ("A-D"). False when the list has no such entry: the index is numbered.
bool dim_index_entry(const char* list, uint32_t i, char* out, size_t cap) {
    if (!list[0]) return false;
    unsigned a = 0, b = 0;
    char ca = 0, cb = 0;
    int used = 0;
    if (!strchr(list, ',')) {
        if (sscanf(list, "%u-%u%n", &a, &b, &used) == 2 && !list[used]) {
            if (b < a || i > b - a) return false;
            snprintf(out, cap, "%u", a + i);
            return true;
        }
        if (sscanf(list, "%c-%c%n", &ca, &cb, &used) == 2 && !list[used] && ca >= 'A' && cb <= 'Z' && ca <= cb) {
            if (i > (uint32_t)(cb - ca)) return false;
            snprintf(out, cap, "%c", (char)(ca + (int)i));
            return true;
        }
    }
    const char* p = list;
    for (uint32_t k = 0; k < i; ++k) {
        p = strchr(p, ',');
        if (!p) return false;
        ++p;
    }
    while (is_space(*p)) ++p;
    size_t len = strcspn(p, ", \t\r\n");
    if (!len || len >= cap) return false;
    memcpy(out, p, len);
    out[len] = 0;
    return true;
}

// Expanded by hand: names come from the file and never reach a format string.
void expand_dim_name(const char* tpl, const char* dim_index, uint32_t index, char* out) {
    char num[64];
    if (!dim_index_entry(dim_index, index, num, sizeof num)) snprintf(num, sizeof num, "%u", index);
    NameOut o{out, 0};
    out[0] = 0;
    if (const char* p = strstr(tpl, "[%s]")) {
        o.put(tpl, (size_t)(p - tpl));
        o.put(num);
        o.put(p + 4);
    } else if ((p = strstr(tpl, "%s"))) {
        o.put(tpl, (size_t)(p - tpl));
        o.put(num);
        o.put(p + 2);
    } else {
        o.put(tpl);
        o.put(num);
    }
}

// A dimIndex list, whole or not at all (a cut list would misname the rest).
void read_dim_index(pugi::xml_node c, char* out) {
    const char* t = text_start(c);
    size_t len = strlen(t);
    while (len && is_space(t[len - 1])) --len;
    out[0] = 0;
    if (len < kDimIndexLen) {
        memcpy(out, t, len);
        out[len] = 0;
    }
}

void join_name(const char* prefix, const char* leaf, char* out) {
    NameOut o{out, 0};
    out[0] = 0;
    if (prefix && *prefix) {
        o.put(prefix);
        o.put("_");
    }
    o.put(leaf);
}

// Open-addressing index from a name to the first record holding it (every
// record type here keeps its name at offset 0). Keeps derivedFrom and merge
// look-ups linear on files with very many peripherals or registers.
struct NameIndex {
    uint32_t* slots;
    uint32_t mask, used;
};

uint32_t name_hash(const char* s) {
    uint32_t h = 2166136261u;
    for (; *s; ++s) h = (h ^ (uint8_t)*s) * 16777619u;
    return h;
}

const char* name_at(const void* recs, size_t stride, uint32_t i) { return (const char*)recs + stride * i; }

uint32_t index_find(const NameIndex& x, const void* recs, size_t stride, const char* name) {
    if (!x.slots) return kNotFound;
    for (uint32_t h = name_hash(name) & x.mask;; h = (h + 1) & x.mask) {
        uint32_t i = x.slots[h];
        if (i == kNotFound) return kNotFound;
        if (strcmp(name_at(recs, stride, i), name) == 0) return i;
    }
}

void index_place(NameIndex& x, const void* recs, size_t stride, uint32_t i) {
    uint32_t h = name_hash(name_at(recs, stride, i)) & x.mask;
    while (x.slots[h] != kNotFound) h = (h + 1) & x.mask;
    x.slots[h] = i;
}

// Adds record i unless its name is already indexed (the first one wins).
bool index_add(NameIndex& x, const void* recs, size_t stride, uint32_t i) {
    if (index_find(x, recs, stride, name_at(recs, stride, i)) != kNotFound) return true;
    if (!x.slots || (uint64_t)(x.used + 1) * 2 > (uint64_t)x.mask + 1) {
        uint32_t size = x.slots ? (x.mask + 1) * 2 : 64;
        uint32_t* slots = (uint32_t*)mem_realloc(nullptr, (size_t)size * sizeof(uint32_t));
        if (!slots) return false;
        memset(slots, 0xFF, (size_t)size * sizeof(uint32_t));
        NameIndex grown{slots, size - 1, x.used};
        for (uint32_t s = 0; x.slots && s <= x.mask; ++s)
            if (x.slots[s] != kNotFound) index_place(grown, recs, stride, x.slots[s]);
        free(x.slots);
        x = grown;
    }
    index_place(x, recs, stride, i);
    x.used++;
    return true;
}

bool index_build(NameIndex& x, const void* recs, size_t stride, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i)
        if (!index_add(x, recs, stride, i)) return false;
    return true;
}

// --- element text -----------------------------------------------------------

void read_name(pugi::xml_node n, char* out) {
    const char* s = text_start(n);
    size_t len = strlen(s);
    while (len && is_space(s[len - 1])) --len;
    NameOut o{out, 0};
    out[0] = 0;
    o.put(s, len);
}

// "0x"/"0X" hexadecimal, '#' binary, else decimal; stops at the first
// character outside the base; empty is 0. Saturates rather than wraps.
uint32_t parse_uint(const char* s) {
    uint32_t base = 10;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s += 2;
    } else if (s[0] == '#') {
        base = 2;
        s += 1;
    }
    uint64_t v = 0;
    for (;; ++s) {
        uint32_t d;
        if (*s >= '0' && *s <= '9') d = (uint32_t)(*s - '0');
        else if (*s >= 'a' && *s <= 'f') d = (uint32_t)(*s - 'a' + 10);
        else if (*s >= 'A' && *s <= 'F') d = (uint32_t)(*s - 'A' + 10);
        else break;
        if (d >= base) break;
        v = v * base + d;
        if (v > 0xFFFFFFFFu) v = 0xFFFFFFFFu;
    }
    return (uint32_t)v;
}

uint32_t node_uint(pugi::xml_node n) { return parse_uint(text_start(n)); }

bool is(pugi::xml_node n, const char* name) { return strcmp(n.name(), name) == 0; }

// Element children only: comments and text between them carry nothing here.
#define FOR_ELEMENTS(c, parent) \
    for (pugi::xml_node c = (parent).first_child(); c; c = c.next_sibling()) \
        if (c.type() == pugi::node_element)

// --- fields -----------------------------------------------------------------

// "[msb:lsb]" with optional blanks around the numbers.
bool parse_bit_range(const char* s, uint32_t* msb, uint32_t* lsb) {
    auto number = [&s](uint32_t* out) {
        while (is_space(*s)) ++s;
        if (*s < '0' || *s > '9') return false;
        uint64_t v = 0;
        for (; *s >= '0' && *s <= '9'; ++s) v = v < 1000000 ? v * 10 + (uint32_t)(*s - '0') : v;
        *out = (uint32_t)v;
        while (is_space(*s)) ++s;
        return true;
    };
    if (*s++ != '[' || !number(msb) || *s++ != ':' || !number(lsb)) return false;
    return *s == ']';
}

// A field whose bits cannot lie inside a 32-bit register is skipped.
bool read_fields(pugi::xml_node fields, Buf<SvdField>& out) {
    for (pugi::xml_node f = fields.child("field"); f; f = f.next_sibling("field")) {
        SvdField field{};
        bool has_lsb = false, has_msb = false, has_range = false, range_ok = false;
        uint32_t off = 0, width = 1, lsb = 0, msb = 0, r_msb = 0, r_lsb = 0;
        FOR_ELEMENTS(c, f) {
            if (is(c, "name")) read_name(c, field.name);
            else if (is(c, "bitOffset")) off = node_uint(c);
            else if (is(c, "bitWidth")) width = node_uint(c);
            else if (is(c, "lsb")) has_lsb = true, lsb = node_uint(c);
            else if (is(c, "msb")) has_msb = true, msb = node_uint(c);
            else if (is(c, "bitRange")) has_range = true, range_ok = parse_bit_range(text_start(c), &r_msb, &r_lsb);
        }
        uint32_t lo, hi;  // bit positions, inclusive
        if (has_range) {
            if (!range_ok) continue;
            lo = r_lsb, hi = r_msb;
        } else if (has_msb) {
            lo = has_lsb ? lsb : off, hi = msb;
        } else {
            lo = has_lsb ? lsb : off;
            if (width == 0 || width > 32) continue;
            hi = lo + width - 1;
        }
        if (hi < lo || hi > 31) continue;
        field.bit_offset = (uint8_t)lo;
        field.bit_width = (uint8_t)(hi - lo + 1);
        if (!buf_push(out, field, 8)) return oom();
    }
    return true;
}

// --- registers and clusters -------------------------------------------------

struct RegTpl {
    char name[64];
    char dim_index[kDimIndexLen];      // empty: numbered from 0
    uint32_t offset, reset, dim, inc;  // dim 0: a single register
    Buf<SvdField> fields;
};

struct ClusterTpl;
struct Item {
    RegTpl reg;
    ClusterTpl* cluster;  // set: a nested cluster in place of a register
};

struct ClusterTpl {
    char name[64];
    char dim_index[kDimIndexLen];
    uint32_t offset, dim, inc;
    Buf<Item> items;  // document order; never empty once read
};

void free_cluster(ClusterTpl* c) {
    if (!c) return;
    for (uint32_t i = 0; i < c->items.count; ++i) {
        free(c->items.data[i].reg.fields.data);
        free_cluster(c->items.data[i].cluster);
    }
    free(c->items.data);
    free(c);
}

bool read_reg_tpl(pugi::xml_node r, RegTpl* t, uint32_t dim_cap) {
    *t = RegTpl{};
    t->inc = 4;
    FOR_ELEMENTS(c, r) {
        if (is(c, "name")) read_name(c, t->name);
        else if (is(c, "addressOffset")) t->offset = node_uint(c);
        else if (is(c, "resetValue")) t->reset = node_uint(c);
        else if (is(c, "dim")) t->dim = node_uint(c);
        else if (is(c, "dimIncrement")) t->inc = node_uint(c);
        else if (is(c, "dimIndex")) read_dim_index(c, t->dim_index);
        else if (is(c, "fields") && !read_fields(c, t->fields)) return false;
    }
    if (t->dim > dim_cap) t->dim = dim_cap;
    return true;
}

// *out stays null for a cluster that holds no register at any depth, so every
// instance later visited yields at least one register (the budget then bounds
// the work as well as the memory).
bool read_cluster(pugi::xml_node cl, int depth, ClusterTpl** out) {
    *out = nullptr;
    if (depth > kMaxClusterDepth) {
        set_error("[SVD] Clusters nested more than %d deep", kMaxClusterDepth);
        return false;
    }
    ClusterTpl* t = (ClusterTpl*)mem_realloc(nullptr, sizeof(ClusterTpl));
    if (!t) return oom();
    *t = ClusterTpl{};
    bool ok = true;
    FOR_ELEMENTS(c, cl) {
        Item item{};
        if (is(c, "name")) read_name(c, t->name);
        else if (is(c, "addressOffset")) t->offset = node_uint(c);
        else if (is(c, "dim")) t->dim = node_uint(c);
        else if (is(c, "dimIncrement")) t->inc = node_uint(c);
        else if (is(c, "dimIndex")) read_dim_index(c, t->dim_index);
        else if (is(c, "register")) {
            if (!(ok = read_reg_tpl(c, &item.reg, kMaxClusterDim))) {
                free(item.reg.fields.data);
                break;
            }
            if (!(ok = buf_push(t->items, item, 16))) {
                free(item.reg.fields.data);
                oom();
                break;
            }
        } else if (is(c, "cluster")) {
            if (!(ok = read_cluster(c, depth + 1, &item.cluster))) break;
            if (item.cluster && !(ok = buf_push(t->items, item, 16))) {
                free_cluster(item.cluster);
                oom();
                break;
            }
        }
    }
    if (t->dim > kMaxClusterDim) t->dim = kMaxClusterDim;
    if (!ok || !t->items.count) {
        free_cluster(t);
        return ok;
    }
    *out = t;
    return true;
}

struct Loader {
    SvdDevice* dev;
    NameIndex names;  // peripherals read so far, for derivedFrom
    uint64_t regs, fields;
};

bool reserve(Loader& L, uint64_t regs, uint64_t fields) {
    if (L.regs + regs > kMaxRegisters || L.fields + fields > kMaxFields) {
        set_error("[SVD] Device too large: more than %llu registers or %llu fields once dim arrays, clusters and "
                  "derivedFrom are expanded",
                  (unsigned long long)kMaxRegisters, (unsigned long long)kMaxFields);
        return false;
    }
    L.regs += regs;
    L.fields += fields;
    return true;
}

void free_regs(SvdRegister* regs, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) free(regs[i].fields);
    free(regs);
}

bool copy_fields(SvdRegister* r, const SvdField* f, uint32_t n) {
    r->fields = nullptr;
    r->field_count = 0;
    if (!n || !f) return true;
    r->fields = (SvdField*)mem_realloc(nullptr, (size_t)n * sizeof(SvdField));
    if (!r->fields) return false;
    memcpy(r->fields, f, (size_t)n * sizeof(SvdField));
    r->field_count = n;
    return true;
}

bool push_reg(Buf<SvdRegister>& out, SvdRegister& r) {
    if (buf_push(out, r, 32)) return true;
    free(r.fields);
    return false;
}

bool emit_reg(Loader& L, Buf<SvdRegister>& out, const RegTpl& t, uint32_t base, const char* prefix) {
    uint32_t n = t.dim ? t.dim : 1;
    if (!reserve(L, n, (uint64_t)n * t.fields.count)) return false;
    for (uint32_t j = 0; j < n; ++j) {
        SvdRegister r{};
        char leaf[64];
        if (t.dim) expand_dim_name(t.name, t.dim_index, j, leaf);
        else copy_name(leaf, t.name);
        join_name(prefix, leaf, r.name);
        r.address = base + t.offset + j * t.inc;
        r.reset_value = t.reset;
        if (!copy_fields(&r, t.fields.data, t.fields.count) || !push_reg(out, r)) return oom();
    }
    return true;
}

bool emit_cluster(Loader& L, Buf<SvdRegister>& out, const ClusterTpl& c, uint32_t base, const char* prefix) {
    uint32_t n = c.dim ? c.dim : 1;
    for (uint32_t i = 0; i < n; ++i) {
        char inst[64], full[64];
        if (c.dim) expand_dim_name(c.name, c.dim_index, i, inst);
        else copy_name(inst, c.name);
        join_name(prefix, inst, full);
        uint32_t ibase = base + c.offset + i * c.inc;
        for (uint32_t k = 0; k < c.items.count; ++k) {
            const Item& it = c.items.data[k];
            if (!(it.cluster ? emit_cluster(L, out, *it.cluster, ibase, full) : emit_reg(L, out, it.reg, ibase, full)))
                return false;
        }
    }
    return true;
}

// --- peripherals ------------------------------------------------------------

bool append_periph(SvdDevice* dev, const SvdPeripheral& p) {
    if (dev->periph_count >= dev->periph_cap) {
        if (dev->periph_cap > 0x7FFFFFFFu / sizeof(SvdPeripheral)) return false;
        uint32_t cap = dev->periph_cap ? dev->periph_cap * 2 : 16;
        auto* d = (SvdPeripheral*)mem_realloc(dev->periphs, (size_t)cap * sizeof(SvdPeripheral));
        if (!d) return false;
        dev->periphs = d;
        dev->periph_cap = cap;
    }
    dev->periphs[dev->periph_count++] = p;
    return true;
}

bool read_own_registers(Loader& L, pugi::xml_node regs, uint32_t base, Buf<SvdRegister>& out) {
    FOR_ELEMENTS(c, regs) {
        if (is(c, "register")) {
            RegTpl t;
            bool ok = read_reg_tpl(c, &t, kMaxDim) && emit_reg(L, out, t, base, nullptr);
            free(t.fields.data);
            if (!ok) return false;
        } else if (is(c, "cluster")) {
            ClusterTpl* t;
            if (!read_cluster(c, 1, &t)) return false;
            bool ok = !t || emit_cluster(L, out, *t, base, nullptr);
            free_cluster(t);
            if (!ok) return false;
        }
    }
    return true;
}

// One peripheral, or one instance of a peripheral array (dim on the
// peripheral: the instance's name from dimIndex or its number, its base one
// dimIncrement further on).
bool read_peripheral_instance(Loader& L, pugi::xml_node p, const SvdPeripheral* base, const char* name, uint32_t addr) {
    SvdPeripheral out{};
    copy_name(out.name, name);
    out.base_address = addr;
    bool own_regs = false;
    FOR_ELEMENTS(c, p) {
        if (is(c, "registers") && c.child("register")) own_regs = true;
    }
    Buf<SvdRegister> regs{};
    bool ok = true;
    // Inherited registers follow the derived peripheral's own base address;
    // its own registers, when it has any, replace them all.
    if (base && !own_regs && base->reg_count) {
        uint64_t nf = 0;
        for (uint32_t i = 0; i < base->reg_count; ++i) nf += base->regs[i].field_count;
        ok = reserve(L, base->reg_count, nf);
        uint32_t shift = out.base_address - base->base_address;
        for (uint32_t i = 0; ok && i < base->reg_count; ++i) {
            SvdRegister r = base->regs[i];
            r.address += shift;
            if (!copy_fields(&r, base->regs[i].fields, base->regs[i].field_count) || !push_reg(regs, r)) ok = oom();
        }
    }
    FOR_ELEMENTS(c, p) {
        if (ok && is(c, "registers")) ok = read_own_registers(L, c, out.base_address, regs);
    }
    out.regs = regs.data;
    out.reg_count = regs.count;
    if (ok && !append_periph(L.dev, out)) ok = oom();
    if (!ok) {
        free_regs(regs.data, regs.count);
        return false;
    }
    if (!index_add(L.names, L.dev->periphs, sizeof(SvdPeripheral), L.dev->periph_count - 1)) return oom();
    return true;
}

bool read_peripheral(Loader& L, pugi::xml_node p) {
    if (!p.find_child([](pugi::xml_node c) { return c.type() == pugi::node_element; }))
        return true;  // <peripheral/>: nothing to read

    // By index: appending instances may move the peripheral array.
    uint32_t base_i = kNotFound;
    const char* derived = p.attribute("derivedFrom").value();
    if (*derived) {
        char key[64];
        copy_name(key, derived);
        base_i = index_find(L.names, L.dev->periphs, sizeof(SvdPeripheral), key);
    }
    auto base = [&] { return base_i != kNotFound ? &L.dev->periphs[base_i] : nullptr; };
    char name[64] = "", dim_index[kDimIndexLen] = "";
    uint32_t addr = base() ? base()->base_address : 0, dim = 0, inc = 0;
    FOR_ELEMENTS(c, p) {
        if (is(c, "name")) read_name(c, name);
        else if (is(c, "baseAddress")) addr = node_uint(c);
        else if (is(c, "dim")) dim = node_uint(c);
        else if (is(c, "dimIncrement")) inc = node_uint(c);
        else if (is(c, "dimIndex")) read_dim_index(c, dim_index);
    }
    if (!dim) return read_peripheral_instance(L, p, base(), name, addr);
    if (dim > kMaxDim) dim = kMaxDim;
    // Every instance costs the budget at least one register, so a huge dim stops there.
    if (!reserve(L, dim, 0)) return false;
    for (uint32_t i = 0; i < dim; ++i) {
        char inst[64];
        expand_dim_name(name, dim_index, i, inst);
        if (!read_peripheral_instance(L, p, base(), inst, addr + i * inc)) return false;
    }
    return true;
}

// Parses `buf` in place (it must outlive the call only).
SvdDevice* load_document(char* buf, size_t size) {
    pugi::xml_document doc;
    pugi::xml_parse_result res = doc.load_buffer_inplace(buf, size, pugi::parse_default, pugi::encoding_auto);
    if (res.status == pugi::status_out_of_memory) {
        oom();
        return nullptr;
    }
    if (!res) {
        set_error("[SVD] XML error at byte %lld: %s", (long long)res.offset, res.description());
        return nullptr;
    }
    auto* dev = (SvdDevice*)mem_realloc(nullptr, sizeof(SvdDevice));
    if (!dev) {
        oom();
        return nullptr;
    }
    *dev = SvdDevice{};
    Loader L{dev, {}, 0, 0};
    bool ok = true;
    pugi::xml_node device = doc.child("device");
    for (pugi::xml_node ps = device.child("peripherals"); ok && ps; ps = ps.next_sibling("peripherals"))
        for (pugi::xml_node p = ps.child("peripheral"); ok && p; p = p.next_sibling("peripheral"))
            ok = read_peripheral(L, p);
    free(L.names.slots);
    if (ok && !dev->periph_count) {
        set_error("No peripherals found — check SVD format");
        ok = false;
    }
    if (!ok) {
        svd_free(dev);
        return nullptr;
    }
    return dev;
}

bool copy_periph(const SvdPeripheral& src, SvdPeripheral* dst) {
    *dst = src;
    dst->regs = nullptr;
    dst->reg_count = 0;
    if (!src.reg_count) return true;
    dst->regs = (SvdRegister*)mem_realloc(nullptr, (size_t)src.reg_count * sizeof(SvdRegister));
    if (!dst->regs) return false;
    for (uint32_t i = 0; i < src.reg_count; ++i) {
        dst->regs[i] = src.regs[i];
        if (!copy_fields(&dst->regs[i], src.regs[i].fields, src.regs[i].field_count)) {
            free_regs(dst->regs, i);
            dst->regs = nullptr;
            return false;
        }
    }
    dst->reg_count = src.reg_count;
    return true;
}

// Core register `a` into vendor register `v`: address and reset value taken
// over, fields replaced by name or appended.
bool merge_register(SvdRegister* v, const SvdRegister& a) {
    v->address = a.address;
    v->reset_value = a.reset_value;
    if (!a.field_count || !a.fields) return true;
    auto* f = (SvdField*)mem_realloc(v->fields, ((size_t)v->field_count + a.field_count) * sizeof(SvdField));
    if (!f) return false;
    v->fields = f;
    NameIndex idx{};
    bool ok = index_build(idx, v->fields, sizeof(SvdField), v->field_count);
    for (uint32_t i = 0; ok && i < a.field_count; ++i) {
        uint32_t k = index_find(idx, v->fields, sizeof(SvdField), a.fields[i].name);
        if (k != kNotFound) {
            v->fields[k].bit_offset = a.fields[i].bit_offset;
            v->fields[k].bit_width = a.fields[i].bit_width;
        } else {
            v->fields[v->field_count] = a.fields[i];
            ok = index_add(idx, v->fields, sizeof(SvdField), v->field_count++);
        }
    }
    free(idx.slots);
    return ok;
}

bool merge_peripheral(SvdPeripheral* v, const SvdPeripheral& a) {
    v->base_address = a.base_address;
    v->source = 1;
    if (!a.reg_count || !a.regs) return true;
    auto* r = (SvdRegister*)mem_realloc(v->regs, ((size_t)v->reg_count + a.reg_count) * sizeof(SvdRegister));
    if (!r) return false;
    v->regs = r;
    NameIndex idx{};
    bool ok = index_build(idx, v->regs, sizeof(SvdRegister), v->reg_count);
    for (uint32_t i = 0; ok && i < a.reg_count; ++i) {
        uint32_t k = index_find(idx, v->regs, sizeof(SvdRegister), a.regs[i].name);
        if (k != kNotFound) {
            ok = merge_register(&v->regs[k], a.regs[i]);
        } else {
            SvdRegister* n = &v->regs[v->reg_count];
            *n = a.regs[i];
            ok = copy_fields(n, a.regs[i].fields, a.regs[i].field_count) &&
                 index_add(idx, v->regs, sizeof(SvdRegister), v->reg_count++);
        }
    }
    free(idx.slots);
    return ok;
}

}  // namespace

void svd_fail_alloc_after(long n) { s_fail_after = n; }

const char* svd_error() { return s_error; }

SvdDevice* svd_load(const char* path) {
    s_error[0] = 0;
    FILE* f = path ? fopen(path, "rb") : nullptr;
    if (!f) {
        set_error("Cannot open SVD file");
        return nullptr;
    }
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
        fclose(f);
        set_error("Cannot determine SVD file size");
        return nullptr;
    }
    if ((long long)st.st_size > kMaxFileSize) {
        fclose(f);
        set_error("[SVD] File larger than %lld MiB", kMaxFileSize >> 20);
        return nullptr;
    }
    size_t size = (size_t)st.st_size;
    char* buf = (char*)mem_realloc(nullptr, size + 1);
    if (!buf) {
        fclose(f);
        oom();
        return nullptr;
    }
    bool read_ok = fread(buf, 1, size, f) == size;
    fclose(f);
    if (!read_ok) {
        free(buf);
        set_error("SVD file read error");
        return nullptr;
    }
    buf[size] = 0;
    SvdDevice* dev = load_document(buf, size);
    free(buf);
    return dev;
}

SvdDevice* svd_load_buffer(const char* data, uint32_t size) {
    s_error[0] = 0;
    if (!data) {
        set_error("[SVD] No data");
        return nullptr;
    }
    char* buf = (char*)mem_realloc(nullptr, (size_t)size + 1);
    if (!buf) {
        oom();
        return nullptr;
    }
    memcpy(buf, data, size);
    buf[size] = 0;
    SvdDevice* dev = load_document(buf, size);
    free(buf);
    return dev;
}

void svd_free(SvdDevice* dev) {
    if (!dev) return;
    for (uint32_t i = 0; i < dev->periph_count; ++i) free_regs(dev->periphs[i].regs, dev->periphs[i].reg_count);
    free(dev->periphs);
    free(dev);
}

bool svd_merge(SvdDevice* vendor, const SvdDevice* arm) {
    if (!vendor || !arm) {
        set_error("[SVD] Merge needs two loaded devices");
        return false;
    }
    if (vendor == arm) {  // would read the arrays it grows
        set_error("[SVD] Cannot merge a device into itself");
        return false;
    }
    NameIndex idx{};
    if (!index_build(idx, vendor->periphs, sizeof(SvdPeripheral), vendor->periph_count)) return oom();
    bool ok = true;
    for (uint32_t i = 0; ok && i < arm->periph_count; ++i) {
        const SvdPeripheral& a = arm->periphs[i];
        uint32_t k = index_find(idx, vendor->periphs, sizeof(SvdPeripheral), a.name);
        if (k != kNotFound) {
            ok = merge_peripheral(&vendor->periphs[k], a);
            continue;
        }
        SvdPeripheral copy;
        if (!copy_periph(a, &copy)) {
            ok = false;
            break;
        }
        copy.source = 1;
        if (!append_periph(vendor, copy)) {
            free_regs(copy.regs, copy.reg_count);
            ok = false;
            break;
        }
        ok = index_add(idx, vendor->periphs, sizeof(SvdPeripheral), vendor->periph_count - 1);
    }
    free(idx.slots);
    return ok || oom();
}

bool svd_lookup(const SvdDevice* dev, uint32_t addr, SvdLocation* out) {
    if (!dev || !out) return false;
    for (uint32_t i = 0; i < dev->periph_count; ++i) {
        const SvdPeripheral& p = dev->periphs[i];
        for (uint32_t j = 0; j < p.reg_count; ++j) {
            const SvdRegister& r = p.regs[j];
            if (r.address != addr) continue;
            *out = SvdLocation{};
            copy_name(out->periph, p.name);
            copy_name(out->reg, r.name);
            size_t a = strlen(out->periph), b = strlen(out->reg);
            memcpy(out->full, out->periph, a);
            memcpy(out->full + a, "->", 2);
            memcpy(out->full + a + 2, out->reg, b);  // 63 + 2 + 63 + NUL fit
            out->full[a + 2 + b] = 0;
            out->address = r.address;
            out->reset_value = r.reset_value;
            return true;
        }
    }
    return false;
}

int svd_decode_fields(const SvdDevice* dev, uint32_t addr, uint32_t reg_value, SvdFieldValue* out, int out_count) {
    if (!dev || !out || out_count < 1) return 0;
    for (uint32_t i = 0; i < dev->periph_count; ++i) {
        const SvdPeripheral& p = dev->periphs[i];
        for (uint32_t j = 0; j < p.reg_count; ++j) {
            const SvdRegister& r = p.regs[j];
            if (r.address != addr) continue;
            int n = 0;
            for (uint32_t k = 0; r.fields && k < r.field_count && n < out_count; ++k, ++n) {
                const SvdField& f = r.fields[k];
                // Models built by hand or merged may hold any widths: shifts stay below 32.
                uint32_t v = f.bit_offset < 32 ? reg_value >> f.bit_offset : 0;
                if (f.bit_width < 32) v &= (1u << f.bit_width) - 1u;
                out[n] = SvdFieldValue{};
                copy_name(out[n].field, f.name);
                out[n].lsb = f.bit_offset;
                out[n].msb = (uint8_t)(f.bit_width ? f.bit_offset + f.bit_width - 1 : f.bit_offset);
                out[n].value = v;
            }
            return n;
        }
    }
    return 0;
}

int svd_peripheral_count(const SvdDevice* d) { return d ? (int)d->periph_count : 0; }
SvdPeripheral* svd_get_peripheral(const SvdDevice* d, int i) {
    return d && i >= 0 && (uint32_t)i < d->periph_count ? &d->periphs[i] : nullptr;
}
int svd_register_count(const SvdPeripheral* p) { return p ? (int)p->reg_count : 0; }
SvdRegister* svd_get_register(const SvdPeripheral* p, int i) {
    return p && i >= 0 && (uint32_t)i < p->reg_count ? &p->regs[i] : nullptr;
}
int svd_field_count(const SvdRegister* r) { return r ? (int)r->field_count : 0; }
SvdField* svd_get_field(const SvdRegister* r, int i) {
    return r && i >= 0 && (uint32_t)i < r->field_count ? &r->fields[i] : nullptr;
}
