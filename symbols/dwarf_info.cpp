// Variables, types and locations from .debug_info (DWARF 2 to 5): the unit
// index built at load, the entry reader, type names, location expressions and
// lists, the variables in scope at a pc and the start-up variable index.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "symbols/dwarf_expr.h"
#include "symbols/dwarf_forms.h"
#include "symbols/dwarf_frame.h"
#include "symbols/elf_dwarf.h"
#include "symbols/elf_variable.h"

namespace {

enum : uint16_t {
    TAG_array_type = 0x01, TAG_enumeration_type = 0x04, TAG_formal_parameter = 0x05, TAG_lexical_block = 0x0B,
    TAG_member = 0x0D, TAG_pointer_type = 0x0F, TAG_reference_type = 0x10, TAG_compile_unit = 0x11,
    TAG_structure_type = 0x13, TAG_subroutine_type = 0x15, TAG_typedef = 0x16, TAG_union_type = 0x17,
    TAG_inlined_subroutine = 0x1D, TAG_base_type = 0x24, TAG_const_type = 0x26, TAG_subprogram = 0x2E,
    TAG_variable = 0x34, TAG_volatile_type = 0x35, TAG_restrict_type = 0x37, TAG_partial_unit = 0x3C,
    TAG_enumerator = 0x28, TAG_subrange_type = 0x21, TAG_class_type = 0x02, TAG_inheritance = 0x1C,
    TAG_rvalue_reference_type = 0x42, TAG_namespace = 0x39,
};

enum : uint8_t {
    ATE_boolean = 0x02, ATE_float = 0x04, ATE_signed = 0x05, ATE_signed_char = 0x06, ATE_unsigned = 0x07,
    ATE_unsigned_char = 0x08, ATE_UTF = 0x10,
};

enum : uint16_t {
    AT_sibling = 0x01,
    AT_location = 0x02,
    AT_name = 0x03,
    AT_byte_size = 0x0B,
    AT_low_pc = 0x11,
    AT_high_pc = 0x12,
    AT_abstract_origin = 0x31,
    AT_data_member_location = 0x38,
    AT_declaration = 0x3C,
    AT_frame_base = 0x40,
    AT_completes = 0x47,  // a definition naming the declaration it completes
    AT_type = 0x49,
    AT_ranges = 0x55,
    AT_signature = 0x69,
    AT_str_offsets_base = 0x72,
    AT_addr_base = 0x73,
    AT_rnglists_base = 0x74,
    AT_loclists_base = 0x8C,
    AT_stmt_list = 0x10,
    AT_entry_pc = 0x52,
    AT_call_file = 0x58,
    AT_call_line = 0x59,
    AT_const_value = 0x1C,
    AT_encoding = 0x3E,
    AT_upper_bound = 0x2F,
    AT_count = 0x37,
    AT_bit_offset = 0x0C,
    AT_bit_size = 0x0D,
    AT_data_bit_offset = 0x6B,
    AT_external = 0x3F,
    AT_language = 0x13,
    AT_enum_class = 0x6D,
};


enum : uint8_t {
    OP_addr = 0x03, OP_reg0 = 0x50, OP_reg31 = 0x6F, OP_breg0 = 0x70, OP_breg13 = 0x7D, OP_breg31 = 0x8F,
    OP_regx = 0x90, OP_fbreg = 0x91, OP_bregx = 0x92, OP_piece = 0x93, OP_plus_uconst = 0x23,
    OP_const1u = 0x08, OP_const8s = 0x0F, OP_constu = 0x10, OP_consts = 0x11, OP_lit0 = 0x30, OP_lit31 = 0x4F,
    OP_call_frame_cfa = 0x9C, OP_implicit_value = 0x9E, OP_stack_value = 0x9F,
};

enum : uint8_t {
    UT_compile = 1,
    UT_type = 2,
    UT_partial = 3,
    UT_skeleton = 4,
    UT_split_compile = 5,
    UT_split_type = 6
};

constexpr uint32_t kMaxAbbrevs = 512;  // per unit; later codes are unknown
constexpr int kMaxScopes = 32;
constexpr int kTypeDepth = 9;
constexpr int kSizeSteps = 8;
constexpr int kIndirectDepth = 4;      // DW_FORM_indirect naming DW_FORM_indirect...
constexpr uint32_t kSnapshotCap = 512; // variables taken per entry pc for the index and the dump
constexpr uint32_t kSpRegister = 13;
static_assert(sizeof(ElfVariable::expr) == DWARF_EXPR_MAX, "an expression the reader keeps fits the variable");

struct AbbrevAttr {
    uint16_t attr, form;
    int32_t implicit_val;
};

struct AbbrevEntry {
    uint32_t code;
    uint16_t tag;
    uint8_t has_children;
    uint32_t attr_first, attr_count;  // into DwarfAbbrevCache::attrs; all pairs are kept
};

struct AbbrevTable {
    uint32_t first, count;  // into DwarfAbbrevCache::entries
    bool dense;             // codes are 1..count in order: found by index
};

}  // namespace

struct DwarfAbbrevCache {
    // Qualified-name prefixes of entries ("korv::geo::") by .debug_info offset,
    // asked for again at every refresh of an enum's value.
    std::mutex path_mtx;
    std::unordered_map<uint32_t, std::string> paths;
    std::vector<AbbrevAttr> attrs;
    std::vector<AbbrevEntry> entries;
    std::vector<AbbrevTable> tables;
    std::vector<std::pair<uint64_t, uint32_t>> signatures;  // type units by signature, sorted
    uint64_t pair_budget;  // (attribute, form) pairs left to parse (hostile overlapping tables)
};

namespace {

struct AttrVal {
    uint16_t attr, form;
    union {
        uint32_t u32;
        int32_t s32;
        uint64_t u64;
        struct {
            const uint8_t* ptr;
            uint32_t len;
        } block;
        const char* str;
    } v;
};

// A reference resolved to a section offset of .debug_info, or a type signature.
struct Ref {
    uint8_t kind;  // 0 none, 1 offset, 2 signature
    uint32_t off;
    uint64_t sig;
};

struct Ctx {
    const ElfDwarf* e;
    const DwarfUnit* u;
    const DwarfAbbrevCache* cache;
    const AbbrevTable* table;
};

// One entry with the attributes this reader uses.
struct Die {
    uint32_t off, next, code;
    uint16_t tag;
    bool children;
    const char* name;
    Ref type, declared, sibling, origin, signature;
    AttrVal loc, fb, member_loc, ranges;
    bool has_loc, has_fb, has_member_loc, has_ranges;
    bool has_low, has_high, high_is_addr, declaration, has_size;
    uint32_t low, high_raw, byte_size;
    bool has_str_base, has_addr_base, has_loclists_base, has_rnglists_base;
    uint32_t str_base, addr_base, loclists_base, rnglists_base;
    bool has_stmt_list, has_entry_pc, entry_pc_is_addr;
    uint32_t stmt_list, entry_pc, call_file, call_line;
    uint32_t encoding;
    bool has_const;
    int64_t const_value;
    uint32_t bit_size, bit_offset, data_bit_offset;  // bit-field members (0: none)
    bool has_bit_offset, has_data_bit_offset, external;
    bool has_bound;         // a subrange's length: upper bound + 1, or its count
    uint32_t bound_length;
    uint32_t language;
    bool enum_class;
};

enum LocBase : uint8_t { BASE_CFA = 0, BASE_FB = 1, BASE_SP = 2 };

struct Loc {
    VarLocKind kind;
    int32_t value;
    uint8_t base;  // FBREG: what the offset is from (DW_OP_fbreg: the frame base; DW_OP_breg13: SP)
    bool is_cfa;   // the expression is DW_OP_call_frame_cfa alone (gcc's frame base)
    uint64_t cval;  // VAR_LOC_CONST
    const uint8_t* expr;  // VAR_LOC_EXPR: inside the section
    uint32_t expr_len;
};

// --- bounded reads ------------------------------------------------------------------

bool take_le(const uint8_t* d, uint32_t end, uint32_t* pos, uint32_t n, uint64_t* v) {
    if (*pos > end || end - *pos < n) return false;
    uint64_t x = 0;
    for (uint32_t i = 0; i < n; ++i) x |= (uint64_t)d[*pos + i] << (8 * i);
    *pos += n;
    *v = x;
    return true;
}

// A LEB128 that ends before `end` within ten bytes; an unterminated one is unreadable.
bool take_uleb(const uint8_t* d, uint32_t end, uint32_t* pos, uint32_t* v) {
    if (*pos >= end) return false;
    *v = read_uleb128(d, end, pos);
    return !(d[*pos - 1] & 0x80);
}

bool take_sleb(const uint8_t* d, uint32_t end, uint32_t* pos, int32_t* v) {
    if (*pos >= end) return false;
    *v = read_sleb128(d, end, pos);
    return !(d[*pos - 1] & 0x80);
}

bool take_block(const uint8_t* d, uint32_t end, uint32_t* pos, uint64_t len, AttrVal* out) {
    if (*pos > end || len > end - *pos) return false;
    out->v.block.ptr = d + *pos;
    out->v.block.len = (uint32_t)len;
    *pos += (uint32_t)len;
    return true;
}

uint32_t le32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

// A NUL-terminated string at `off` inside the section, or null.
const char* section_cstr(const uint8_t* sec, uint32_t size, uint64_t off) {
    if (!sec || off >= size) return nullptr;
    return memchr(sec + off, 0, size - (uint32_t)off) ? (const char*)sec + off : nullptr;
}

void copy_str(char* out, size_t cap, const char* s) {
    size_t n = s ? strnlen(s, cap - 1) : 0;
    if (n) memcpy(out, s, n);
    out[n] = 0;
}

// Into a name field; a longer name is shortened with an ellipsis, never cut silently.
void copy_name(char* out, size_t cap, const std::string& s) {
    std::string t = s.size() < cap ? s : s.substr(0, cap - 4) + "...";
    memcpy(out, t.c_str(), t.size() + 1);
}

bool form_is_strx(uint16_t form) {
    return form == FORM_strx || (form >= FORM_strx1 && form <= FORM_strx4) || form == FORM_GNU_str_index;
}

bool form_is_addrx(uint16_t form) {
    return form == FORM_addrx || (form >= FORM_addrx1 && form <= FORM_addrx4) || form == FORM_GNU_addr_index;
}

bool form_is_block(uint16_t form) {
    return form == FORM_exprloc || form == FORM_block1 || form == FORM_block2 || form == FORM_block4 ||
           form == FORM_block;
}

const char* resolve_strx(const ElfDwarf* e, uint32_t base, uint32_t index) {
    uint64_t at = (uint64_t)base + 4ull * index;
    if (!e->debug_str_offsets || at + 4 > e->debug_str_offsets_size) return nullptr;
    return section_cstr(e->debug_str, e->debug_str_size, le32(e->debug_str_offsets + at));
}

uint32_t resolve_addrx(const ElfDwarf* e, uint32_t base, uint32_t index) {
    uint64_t at = (uint64_t)base + 4ull * index;
    if (!e->debug_addr || at + 4 > e->debug_addr_size) return 0;
    return le32(e->debug_addr + at);
}

// --- abbreviations -------------------------------------------------------------------

uint32_t parse_abbrev_table(const uint8_t* ab, uint32_t size, uint32_t offset, DwarfAbbrevCache* c) {
    AbbrevTable t = {(uint32_t)c->entries.size(), 0, true};
    uint32_t pos = offset;
    while (pos < size && t.count < kMaxAbbrevs) {
        uint32_t code = read_uleb128(ab, size, &pos);
        if (code == 0) break;
        uint32_t tag = read_uleb128(ab, size, &pos);
        if (pos >= size) break;
        AbbrevEntry en = {code, (uint16_t)tag, ab[pos++], (uint32_t)c->attrs.size(), 0};
        bool complete = false;
        while (pos < size && c->pair_budget > 0) {
            --c->pair_budget;
            uint32_t attr = read_uleb128(ab, size, &pos);
            uint32_t form = read_uleb128(ab, size, &pos);
            if (attr == 0 && form == 0) {
                complete = true;
                break;
            }
            int32_t implicit = form == FORM_implicit_const ? read_sleb128(ab, size, &pos) : 0;
            c->attrs.push_back(AbbrevAttr{(uint16_t)attr, (uint16_t)form, implicit});
            ++en.attr_count;
        }
        if (!complete) {  // cut off by the section's end: the entry is unusable
            c->attrs.resize(en.attr_first);
            break;
        }
        if (code != t.count + 1) t.dense = false;
        c->entries.push_back(en);
        ++t.count;
    }
    c->tables.push_back(t);
    return (uint32_t)c->tables.size() - 1;
}

const AbbrevEntry* find_abbrev(const Ctx& c, uint32_t code) {
    const AbbrevTable& t = *c.table;
    if (t.dense) return code >= 1 && code <= t.count ? &c.cache->entries[t.first + code - 1] : nullptr;
    for (uint32_t i = 0; i < t.count; ++i)
        if (c.cache->entries[t.first + i].code == code) return &c.cache->entries[t.first + i];
    return nullptr;
}

// --- attribute values ----------------------------------------------------------------------

bool read_attr_value(const Ctx& c, uint32_t* pos, uint16_t form, int32_t implicit, AttrVal* out, int depth) {
    const uint8_t* d = c.e->debug_info;
    uint32_t end = c.u->end;
    if (*pos >= end) return false;
    out->form = form;
    out->v.u64 = 0;
    uint64_t x = 0;
    uint32_t u = 0;
    switch (form) {
    case FORM_addr: case FORM_data4: case FORM_ref_addr: case FORM_ref4: case FORM_sec_offset:
    case FORM_ref_sup4: case FORM_GNU_ref_alt:
        if (!take_le(d, end, pos, 4, &x)) return false;
        out->v.u32 = (uint32_t)x;
        return true;
    case FORM_data2: case FORM_ref2: case FORM_strx2: case FORM_addrx2:
        if (!take_le(d, end, pos, 2, &x)) return false;
        out->v.u32 = (uint32_t)x;
        return true;
    case FORM_data1: case FORM_flag: case FORM_ref1: case FORM_strx1: case FORM_addrx1:
        if (!take_le(d, end, pos, 1, &x)) return false;
        out->v.u32 = (uint32_t)x;
        return true;
    case FORM_strx3: case FORM_addrx3:
        if (!take_le(d, end, pos, 3, &x)) return false;
        out->v.u32 = (uint32_t)x;
        return true;
    case FORM_strx4: case FORM_addrx4:
        if (!take_le(d, end, pos, 4, &x)) return false;
        out->v.u32 = (uint32_t)x;
        return true;
    case FORM_data8: case FORM_ref_sig8: case FORM_ref_sup8:
        if (!take_le(d, end, pos, 8, &x)) return false;
        out->v.u64 = x;
        return true;
    case FORM_ref8:
        if (!take_le(d, end, pos, 8, &x)) return false;
        out->v.u32 = (uint32_t)x;
        return true;
    case FORM_block2:
        return take_le(d, end, pos, 2, &x) && take_block(d, end, pos, x, out);
    case FORM_block4:
        return take_le(d, end, pos, 4, &x) && take_block(d, end, pos, x, out);
    case FORM_block1:
        return take_le(d, end, pos, 1, &x) && take_block(d, end, pos, x, out);
    case FORM_block: case FORM_exprloc:
        return take_uleb(d, end, pos, &u) && take_block(d, end, pos, u, out);
    case FORM_data16:
        return take_block(d, end, pos, 16, out);
    case FORM_string: {
        const void* nul = memchr(d + *pos, 0, end - *pos);
        if (!nul) return false;
        out->v.str = (const char*)d + *pos;
        *pos = (uint32_t)((const uint8_t*)nul - d) + 1;
        return true;
    }
    case FORM_strp:
        if (!take_le(d, end, pos, 4, &x)) return false;
        out->v.str = section_cstr(c.e->debug_str, c.e->debug_str_size, x);
        return true;
    case FORM_line_strp:
        if (!take_le(d, end, pos, 4, &x)) return false;
        out->v.str = section_cstr(c.e->debug_line_str, c.e->debug_line_str_size, x);
        return true;
    case FORM_strp_sup: case FORM_GNU_strp_alt:  // strings of another file
        if (!take_le(d, end, pos, 4, &x)) return false;
        out->v.str = nullptr;
        return true;
    case FORM_sdata:
        return take_sleb(d, end, pos, &out->v.s32);
    case FORM_udata: case FORM_ref_udata: case FORM_strx: case FORM_addrx: case FORM_loclistx:
    case FORM_rnglistx: case FORM_GNU_addr_index: case FORM_GNU_str_index:
        return take_uleb(d, end, pos, &out->v.u32);
    case FORM_indirect:
        if (depth >= kIndirectDepth || !take_uleb(d, end, pos, &u) || u > 0xFFFF) return false;
        return read_attr_value(c, pos, (uint16_t)u, implicit, out, depth + 1);
    case FORM_flag_present:
        out->v.u32 = 1;
        return true;
    case FORM_implicit_const:
        out->v.s32 = implicit;
        return true;
    default:
        return false;
    }
}

// The value of a constant-class form.
bool attr_const(const AttrVal& a, uint32_t* v) {
    switch (a.form) {
    case FORM_data1: case FORM_data2: case FORM_data4: case FORM_udata: case FORM_flag: case FORM_flag_present:
        *v = a.v.u32;
        return true;
    case FORM_data8:
        *v = (uint32_t)a.v.u64;
        return true;
    case FORM_sdata: case FORM_implicit_const:
        *v = (uint32_t)a.v.s32;
        return true;
    default:
        return false;
    }
}

Ref make_ref(const Ctx& c, const AttrVal& a) {
    Ref r = {0, 0, 0};
    switch (a.form) {
    case FORM_ref_addr:  // section-relative
        if (a.v.u32 < c.e->debug_info_size) r = Ref{1, a.v.u32, 0};
        break;
    case FORM_ref_sig8:
        r = Ref{2, 0, a.v.u64};
        break;
    case FORM_ref1: case FORM_ref2: case FORM_ref4: case FORM_ref8: case FORM_ref_udata: {
        uint64_t off = (uint64_t)c.u->offset + a.v.u32;
        if (off < c.e->debug_info_size) r = Ref{1, (uint32_t)off, 0};
        break;
    }
    default:  // references into other files (supplementary, alternate) or not references at all
        break;
    }
    return r;
}

const char* attr_string(const Ctx& c, const AttrVal& a) {
    if (form_is_strx(a.form)) return resolve_strx(c.e, c.u->str_offsets_base, a.v.u32);
    switch (a.form) {
    case FORM_string: case FORM_strp: case FORM_line_strp: case FORM_strp_sup: case FORM_GNU_strp_alt:
        return a.v.str;
    default:
        return nullptr;
    }
}

uint32_t attr_address(const Ctx& c, const AttrVal& a) {
    return form_is_addrx(a.form) ? resolve_addrx(c.e, c.u->addr_base, a.v.u32) : a.v.u32;
}

// Reads the entry at `off`: false for an unknown abbreviation or an unreadable
// attribute; code 0 (a null entry) reads as tag 0.
bool read_die(const Ctx& c, uint32_t off, Die* d) {
    *d = Die{};
    d->off = off;
    uint32_t pos = off;
    if (!take_uleb(c.e->debug_info, c.u->end, &pos, &d->code)) return false;
    d->next = pos;
    if (d->code == 0) return true;
    const AbbrevEntry* ab = find_abbrev(c, d->code);
    if (!ab) return false;
    d->tag = ab->tag;
    d->children = ab->has_children != 0;
    const AbbrevAttr* pairs = c.cache->attrs.data() + ab->attr_first;
    for (uint32_t i = 0; i < ab->attr_count; ++i) {
        AttrVal a;
        if (!read_attr_value(c, &pos, pairs[i].form, pairs[i].implicit_val, &a, 0)) return false;
        a.attr = pairs[i].attr;
        uint32_t k = 0;
        switch (a.attr) {
        case AT_name: d->name = attr_string(c, a); break;
        case AT_type: d->type = make_ref(c, a); break;
        case AT_completes: d->declared = make_ref(c, a); break;
        case AT_abstract_origin: d->origin = make_ref(c, a); break;
        case AT_signature: d->signature = make_ref(c, a); break;
        case AT_sibling: d->sibling = make_ref(c, a); break;
        case AT_location: d->loc = a; d->has_loc = true; break;
        case AT_frame_base: d->fb = a; d->has_fb = true; break;
        case AT_data_member_location: d->member_loc = a; d->has_member_loc = true; break;
        case AT_ranges: d->ranges = a; d->has_ranges = true; break;
        case AT_low_pc:
            d->has_low = true;
            d->low = attr_address(c, a) & ~1u;
            break;
        case AT_high_pc:
            d->has_high = true;
            d->high_is_addr = a.form == FORM_addr || form_is_addrx(a.form);
            if (d->high_is_addr) d->high_raw = attr_address(c, a) & ~1u;
            else if (attr_const(a, &k)) d->high_raw = k;
            break;
        case AT_declaration: d->declaration = attr_const(a, &k) && k != 0; break;
        case AT_byte_size: d->has_size = attr_const(a, &d->byte_size); break;
        case AT_str_offsets_base: d->has_str_base = true; d->str_base = a.v.u32; break;
        case AT_addr_base: d->has_addr_base = true; d->addr_base = a.v.u32; break;
        case AT_loclists_base: d->has_loclists_base = true; d->loclists_base = a.v.u32; break;
        case AT_rnglists_base: d->has_rnglists_base = true; d->rnglists_base = a.v.u32; break;
        case AT_stmt_list: d->has_stmt_list = attr_const(a, &d->stmt_list) || a.form == FORM_sec_offset;
            if (a.form == FORM_sec_offset) d->stmt_list = a.v.u32;
            break;
        case AT_entry_pc:
            d->has_entry_pc = true;
            d->entry_pc_is_addr = a.form == FORM_addr || form_is_addrx(a.form);
            if (d->entry_pc_is_addr) d->entry_pc = attr_address(c, a) & ~1u;
            else if (!attr_const(a, &d->entry_pc)) d->has_entry_pc = false;
            break;
        case AT_call_file: attr_const(a, &d->call_file); break;
        case AT_encoding: attr_const(a, &d->encoding); break;
        case AT_upper_bound:
            if ((d->has_bound = attr_const(a, &k) && k != 0xFFFFFFFFu)) d->bound_length = k + 1;
            break;
        case AT_count: d->has_bound = attr_const(a, &d->bound_length); break;
        case AT_const_value:
            d->has_const = true;
            if (a.form == FORM_sdata || a.form == FORM_implicit_const) {
                d->const_value = a.v.s32;
            } else if (a.form == FORM_data8) {
                d->const_value = (int64_t)a.v.u64;
            } else if (attr_const(a, &k)) {
                d->const_value = k;
            } else if (form_is_block(a.form) && a.v.block.len <= 8) {  // a float, a double: its bytes
                uint64_t x = 0;
                for (uint32_t i = 0; i < a.v.block.len; ++i) x |= (uint64_t)a.v.block.ptr[i] << (8 * i);
                d->const_value = (int64_t)x;
            } else {
                d->has_const = false;
            }
            break;
        case AT_call_line: attr_const(a, &d->call_line); break;
        case AT_bit_size: attr_const(a, &d->bit_size); break;
        case AT_bit_offset: d->has_bit_offset = attr_const(a, &d->bit_offset); break;
        case AT_data_bit_offset: d->has_data_bit_offset = attr_const(a, &d->data_bit_offset); break;
        case AT_external: d->external = attr_const(a, &k) && k != 0; break;
        case AT_language: attr_const(a, &d->language); break;
        case AT_enum_class: d->enum_class = attr_const(a, &k) && k != 0; break;
        default: break;
        }
    }
    d->next = pos;
    return true;
}

uint32_t die_high(const Die& d) {
    if (!d.has_high) return 0;
    return d.high_is_addr ? d.high_raw : d.low + d.high_raw;
}

bool unit_ctx(const ElfDwarf* e, uint32_t index, Ctx* c) {
    if (!e->abbrev_cache || index >= e->unit_count) return false;
    const DwarfUnit* u = &e->units[index];
    if (u->abbrev_table >= e->abbrev_cache->tables.size()) return false;
    *c = Ctx{e, u, e->abbrev_cache, &e->abbrev_cache->tables[u->abbrev_table]};
    return true;
}

// The unit and entry offset a reference leads to, in whichever unit holds it.
bool ref_target(const Ctx& from, const Ref& r, Ctx* to, uint32_t* off) {
    const ElfDwarf* e = from.e;
    if (r.kind == 1) {
        if (r.off >= from.u->first_die && r.off < from.u->end) {
            *to = from;
            *off = r.off;
            return true;
        }
        const DwarfUnit* first = e->units;
        const DwarfUnit* it = std::upper_bound(first, first + e->unit_count, r.off,
                                               [](uint32_t o, const DwarfUnit& u) { return o < u.offset; });
        if (it == first) return false;
        --it;
        if (r.off < it->first_die || r.off >= it->end || !unit_ctx(e, (uint32_t)(it - first), to)) return false;
        *off = r.off;
        return true;
    }
    if (r.kind == 2) {
        const auto& sigs = from.cache->signatures;
        auto it = std::lower_bound(sigs.begin(), sigs.end(), std::make_pair(r.sig, 0u));
        if (it == sigs.end() || it->first != r.sig || !unit_ctx(e, it->second, to)) return false;
        *off = to->u->type_offset;
        return *off >= to->u->first_die && *off < to->u->end;
    }
    return false;
}

// --- type names, sizes and members -------------------------------------------------------

// prefix + inner + suffix, cut to 63 characters.
// The type entry a reference leads to; a declaration standing for a type
// unit's type (DW_AT_signature) is replaced by that type.
bool read_type_die(const Ctx& c, const Ref& r, Ctx* tc, Die* d) {
    uint32_t off = 0;
    if (!ref_target(c, r, tc, &off) || !read_die(*tc, off, d)) return false;
    if (d->code == 0 || d->signature.kind != 2) return true;
    Ctx sc;
    Die sd;
    if (!ref_target(*tc, d->signature, &sc, &off) || !read_die(sc, off, &sd) || sd.code == 0) return true;
    *tc = sc;
    *d = sd;
    return true;
}

// The lengths of an array's dimensions, from its subrange children ("[4][2]";
// "[]" for one without a bound).
std::string array_dims(const Ctx& c, const Die& arr, uint64_t* count) {
    std::string dims;
    *count = 1;
    if (!arr.children) return "[]";
    for (uint32_t pos = arr.next; pos < c.u->end;) {
        Die m;
        if (!read_die(c, pos, &m) || m.code == 0) break;
        pos = m.next;
        if (m.tag != TAG_subrange_type) continue;
        if (m.has_bound) {
            dims += "[" + std::to_string(m.bound_length) + "]";
            *count *= m.bound_length;
        } else {
            dims += "[]";
            *count = 0;
        }
        if (m.children) break;  // never nested: the rest would be misread
    }
    return dims.empty() ? "[]" : dims;
}

bool is_tag(const Ctx& c, const Ref& r, uint16_t tag) {
    Ctx tc;
    Die d;
    return r.kind && read_type_die(c, r, &tc, &d) && d.code && d.tag == tag;
}

// A type as gdb's C printer writes it around a declarator: "uint8_t [24576]",
// "TCB_t * volatile", "const char *", "int (*)[4]". Structures, unions and
// enums go by their bare name.
std::string type_text(const Ctx& c, const Ref& r, const std::string& decl, int depth) {
    auto with = [&](const std::string& base) { return decl.empty() ? base : base + " " + decl; };
    Ctx tc;
    Die d;
    if (depth >= kTypeDepth || !read_type_die(c, r, &tc, &d)) return with("?");
    if (d.code == 0) return with("void");
    bool has_target = d.type.kind != 0;
    const char* name = d.name && d.name[0] ? d.name : nullptr;
    switch (d.tag) {
    case TAG_pointer_type:
    case TAG_reference_type: {
        if (has_target && is_tag(tc, d.type, TAG_subroutine_type)) return with("fn()*");
        bool glue = decl.empty() || strchr("*&[(", decl[0]);
        std::string inner = (d.tag == TAG_pointer_type ? "*" : "&") + (glue ? decl : " " + decl);
        if (has_target && is_tag(tc, d.type, TAG_array_type)) inner = "(" + inner + ")";
        return has_target ? type_text(tc, d.type, inner, depth + 1) : "void " + inner;
    }
    case TAG_const_type: case TAG_volatile_type: case TAG_restrict_type: {
        const char* q = d.tag == TAG_const_type ? "const" : d.tag == TAG_volatile_type ? "volatile" : "restrict";
        // A qualified pointer: the qualifier follows its star.
        if (has_target && is_tag(tc, d.type, TAG_pointer_type))
            return type_text(tc, d.type, std::string(q) + (decl.empty() ? "" : " " + decl), depth + 1);
        std::string inner = has_target ? type_text(tc, d.type, decl, depth + 1) : with("void");
        if (inner.rfind(std::string(q) + " ", 0) == 0) return inner;
        if (d.tag == TAG_volatile_type && inner.rfind("const ", 0) == 0) return "const volatile " + inner.substr(6);
        return std::string(q) + " " + inner;
    }
    case TAG_array_type: {
        uint64_t count;
        std::string dims = array_dims(tc, d, &count);
        return has_target ? type_text(tc, d.type, decl + dims, depth + 1) : with("?" + dims);
    }
    case TAG_subroutine_type: return with("fn()");
    default: return with(name ? name : d.tag == TAG_base_type || d.tag == TAG_typedef ? "?" : "(anon)");
    }
}

// Into a 64-byte field; a longer name is shortened with an ellipsis, never cut silently.
void resolve_type_name(const Ctx& c, const Ref& r, char* out, int depth) {
    std::string t = type_text(c, r, "", depth);
    if (t.size() > 63) t = t.substr(0, 60) + "...";
    memcpy(out, t.c_str(), t.size() + 1);
}

// The size of a value of the type: arrays from their element and lengths.
uint32_t type_size(const Ctx& c, Ref r, int depth = 0) {
    Ctx tc;
    Die d;
    if (depth >= kTypeDepth || !read_type_die(c, r, &tc, &d) || d.code == 0) return 0;
    if (d.has_size) return d.byte_size;
    switch (d.tag) {
    case TAG_pointer_type: case TAG_reference_type: return 4;
    case TAG_array_type: {
        uint64_t count;
        array_dims(tc, d, &count);
        uint64_t n = d.type.kind ? count * type_size(tc, d.type, depth + 1) : 0;
        return n > 0xFFFFFFFFu ? 0 : (uint32_t)n;
    }
    case TAG_typedef: case TAG_const_type: case TAG_volatile_type: case TAG_restrict_type:
        return d.type.kind ? type_size(tc, d.type, depth + 1) : 0;
    default: return 0;
    }
}

uint32_t member_offset(const AttrVal& a) {
    switch (a.form) {
    case FORM_data1: case FORM_data2: case FORM_data4: case FORM_udata: return a.v.u32;
    case FORM_implicit_const: return (uint32_t)a.v.s32;
    default: break;
    }
    if (form_is_block(a.form) && a.v.block.len >= 2 && a.v.block.ptr[0] == OP_plus_uconst) {
        uint32_t pos = 1;
        return read_uleb128(a.v.block.ptr, a.v.block.len, &pos);
    }
    return 0;
}

// The type entry under typedefs and qualifiers.
bool strip_type(const Ctx& c, Ref r, Ctx* tc, Die* d) {
    Ctx cur = c;
    for (int step = 0; step < kSizeSteps; ++step) {
        if (!read_type_die(cur, r, tc, d) || d->code == 0) return false;
        if (d->tag != TAG_typedef && d->tag != TAG_const_type && d->tag != TAG_volatile_type &&
            d->tag != TAG_restrict_type)
            return true;
        if (!d->type.kind) return false;
        r = d->type;
        cur = *tc;
    }
    return false;
}

uint32_t unit_index(const Ctx& c) { return (uint32_t)(c.u - c.e->units); }

bool is_char_type(const Die& d) {
    return d.tag == TAG_base_type && (d.encoding == ATE_signed_char || d.encoding == ATE_unsigned_char) &&
           d.has_size && d.byte_size == 1;
}

// A bit-field's width and lowest bit from the start of its member's bytes
// (DWARF 4+ counts from the structure's start; DWARF 2/3 from the storage
// unit's most significant bit).
void member_bits(const Die& m, uint32_t byte_offset, uint32_t storage, uint16_t* size, uint16_t* lowest, uint32_t* at) {
    *size = 0, *lowest = 0, *at = byte_offset;
    if (!m.bit_size || m.bit_size > 64) return;
    if (m.has_data_bit_offset) {
        *at = m.data_bit_offset / 8;
        *lowest = (uint16_t)(m.data_bit_offset % 8);
    } else if (m.has_bit_offset && storage && storage <= 8 && m.bit_offset + m.bit_size <= storage * 8) {
        *lowest = (uint16_t)(storage * 8 - m.bit_offset - m.bit_size);
    } else {
        return;
    }
    *size = (uint16_t)m.bit_size;
}

// Each member of a structure, union or class that holds bytes of its value,
// base classes included (static members are declarations and live elsewhere),
// in order; fn returns false to stop.
template <class Fn>
void for_each_member(const Ctx& c, const Die& agg, Fn&& fn) {
    uint32_t pos = agg.next;
    int depth = 0;  // inside a nested type's entries
    for (int guard = 0; agg.children && pos < c.u->end && guard < 4096; ++guard) {
        Die m;
        if (!read_die(c, pos, &m)) return;
        pos = m.next;
        if (m.code == 0) {
            if (depth-- == 0) return;
            continue;
        }
        bool base = m.tag == TAG_inheritance && m.type.kind;
        if (depth == 0 && ((m.tag == TAG_member && m.name && m.name[0] && !m.declaration) || base) && !fn(m, base)) return;
        if (m.children) ++depth;
    }
}

// "<Base>": a base class as gdb names it among the members.
std::string base_name(const Ctx& c, const Die& m) {
    char tn[64];
    resolve_type_name(c, m.type, tn, 0);
    return std::string("<") + tn + ">";
}

void collect_members(const Ctx& c, const Die& agg, ElfVariable* v) {
    for_each_member(c, agg, [&](const Die& m, bool base) {
        ElfMember& em = v->members[v->member_count++];
        memset(&em, 0, sizeof em);
        copy_str(em.name, sizeof em.name, base ? base_name(c, m).c_str() : m.name);
        em.byte_offset = m.has_member_loc ? member_offset(m.member_loc) : 0;
        em.byte_size = m.has_size ? m.byte_size : m.type.kind ? type_size(c, m.type) : 0;
        if (m.type.kind) resolve_type_name(c, m.type, em.type_name, 0);
        else copy_str(em.type_name, sizeof em.type_name, "?");
        Ctx tc;
        Die t;
        if (m.type.kind && strip_type(c, m.type, &tc, &t)) em.type_unit = unit_index(tc), em.type_die = t.off;
        uint32_t at;
        member_bits(m, em.byte_offset, em.byte_size, &em.bit_size, &em.bit_offset, &at);
        em.byte_offset = at;
        return v->member_count < ELF_MAX_MEMBERS;
    });
}

// The size walk from a variable's type: through typedefs and qualifiers to the
// size, and to the members of a structure or union.
void get_struct_info(const Ctx& c, Ref r, ElfVariable* v) {
    Ctx tc;
    Die d;
    if (!strip_type(c, r, &tc, &d)) return;
    v->type_unit = unit_index(tc);
    v->type_die = d.off;
    switch (d.tag) {
    case TAG_pointer_type: case TAG_reference_type: case TAG_rvalue_reference_type: case TAG_subroutine_type: {
        v->byte_size = 4;
        v->value_kind = d.tag == TAG_subroutine_type ? VAR_VAL_UNKNOWN : VAR_VAL_POINTER;
        Ctx pc;
        Die p;
        if (d.tag != TAG_subroutine_type && d.type.kind && strip_type(tc, d.type, &pc, &p)) {
            if (d.tag != TAG_pointer_type) v->deref = (uint8_t)std::min<uint32_t>(type_size(tc, d.type), 64);
            else if (is_char_type(p)) v->deref = 32;
        }
        return;
    }
    case TAG_enumeration_type:
        v->byte_size = d.has_size ? d.byte_size : 0;
        v->value_kind = VAR_VAL_ENUM;
        return;
    case TAG_base_type:
        if (d.has_size) v->byte_size = d.byte_size;
        switch (d.encoding) {
        case ATE_boolean: v->value_kind = VAR_VAL_BOOL; break;
        case ATE_float: v->value_kind = VAR_VAL_FLOAT; break;
        case ATE_signed: v->value_kind = VAR_VAL_SIGNED; break;
        case ATE_unsigned: case ATE_UTF: v->value_kind = VAR_VAL_UNSIGNED; break;
        case ATE_signed_char: case ATE_unsigned_char:
            v->value_kind = VAR_VAL_CHAR;
            v->value_signed = d.encoding == ATE_signed_char;
            break;
        default: break;
        }
        return;
    case TAG_structure_type: case TAG_union_type: case TAG_class_type:
        v->byte_size = d.has_size ? d.byte_size : 0;
        v->value_kind = VAR_VAL_AGGREGATE;
        if (d.children) {
            v->is_struct = true;
            collect_members(tc, d, v);
        }
        return;
    case TAG_array_type: {
        v->byte_size = type_size(c, r);
        v->value_kind = VAR_VAL_AGGREGATE;
        Ctx ec;
        Die el;
        uint64_t count = 0;
        array_dims(tc, d, &count);
        if (d.type.kind && strip_type(tc, d.type, &ec, &el)) {
            v->elem_unit = unit_index(ec);
            v->elem_die = el.off;
            v->elem_size = type_size(tc, d.type);
            // Every element, as one flat run (all dimensions).
            if (v->elem_size && v->byte_size) v->elem_count = v->byte_size / v->elem_size;
        }
        return;
    }
    default:
        if (d.has_size) v->byte_size = d.byte_size;
        return;
    }
}

// --- locations -------------------------------------------------------------------------

// A place alone (or as the one piece of the value) decodes to it; a constant
// (DW_OP_litN ... DW_OP_stack_value, DW_OP_implicit_value) to its value; any
// other short expression is kept whole for the evaluator.
Loc decode_location(const uint8_t* p, uint32_t len) {
    Loc none{};
    if (!p || len == 0) return none;
    uint8_t op = p[0];
    uint32_t pos = 1;
    Loc r = none;
    bool place = true;
    if (op == OP_addr) {
        if (len < 5) return none;
        r.kind = VAR_LOC_ADDR, r.value = (int32_t)le32(p + 1);
        pos = 5;
    } else if (op == OP_fbreg) {
        r.kind = VAR_LOC_FBREG, r.value = read_sleb128(p, len, &pos), r.base = BASE_FB;
    } else if (op >= OP_reg0 && op <= OP_reg31) {
        r.kind = VAR_LOC_REG, r.value = op - OP_reg0;
    } else if (op == OP_regx) {
        r.kind = VAR_LOC_REG, r.value = (int32_t)read_uleb128(p, len, &pos);
    } else if (op == OP_breg13) {
        r.kind = VAR_LOC_FBREG, r.value = read_sleb128(p, len, &pos), r.base = BASE_SP;
    } else if (op == OP_bregx) {
        uint32_t reg = read_uleb128(p, len, &pos);
        r.kind = VAR_LOC_FBREG, r.value = read_sleb128(p, len, &pos), r.base = BASE_SP;
        place = reg == kSpRegister;
    } else {
        place = false;
    }
    bool leb_ended = pos <= len && (op == OP_addr || pos == 1 || !(p[pos - 1] & 0x80));
    if (place && leb_ended) {
        if (pos == len) return r;
        uint32_t q = pos + 1;
        if (p[pos] == OP_piece && q < len) {
            read_uleb128(p, len, &q);
            if (q == len && !(p[q - 1] & 0x80)) return r;
        }
    }
    if (op == OP_call_frame_cfa && len == 1) {
        none.is_cfa = true;
        return none;
    }
    Loc k = none;
    k.kind = VAR_LOC_CONST;
    if (op == OP_implicit_value) {
        uint32_t n = read_uleb128(p, len, &pos);
        if (n < 1 || n > 8 || pos + n != len) return none;
        for (uint32_t i = 0; i < n; ++i) k.cval |= (uint64_t)p[pos + i] << (8 * i);
        return k;
    }
    if (len >= 2 && p[len - 1] == OP_stack_value) {
        uint64_t x = 0;
        pos = 1;
        if (op >= OP_lit0 && op <= OP_lit31) {
            k.cval = op - OP_lit0;
        } else if (op == OP_addr && len == 6) {
            k.cval = le32(p + 1), pos = 5;
        } else if (op >= OP_const1u && op <= OP_const8s) {
            uint32_t bytes = 1u << ((op - OP_const1u) / 2);
            if (!take_le(p, len, &pos, bytes, &x)) return none;
            if ((op - OP_const1u) % 2 && bytes < 8 && ((x >> (8 * bytes - 1)) & 1)) x |= ~0ull << (8 * bytes);
            k.cval = x;
        } else if (op == OP_constu || op == OP_consts) {
            uint32_t u = 0;
            int32_t v = 0;
            if (op == OP_constu ? !take_uleb(p, len, &pos, &u) : !take_sleb(p, len, &pos, &v)) return none;
            k.cval = op == OP_constu ? u : (uint64_t)(int64_t)v;
        } else {
            pos = 0;
        }
        if (pos == len - 1) return k;
    }
    if (len > DWARF_EXPR_MAX) return none;
    r = none;
    r.kind = VAR_LOC_EXPR, r.expr = p, r.expr_len = len;
    return r;
}

// An entry of a location list holds pc when pc is in its range; an empty one
// at the function's entry holds its entry (gcc writes such entries for the
// value a parameter has as the function starts, and gdb takes them there).
// A range whose start carries the Thumb bit has it at both ends; one that
// starts even and ends odd is a single byte, where gcc gives a location for
// one address only (gdb takes it there too).
bool list_holds(uint32_t start, uint32_t end, uint32_t pc, uint32_t entry) {
    if (start & 1) start &= ~1u, end &= ~1u;
    return (start <= pc && pc < end) || (entry != 0 && start == end && start == pc && pc == entry);
}

bool resolve_loc_list_dwarf4(const ElfDwarf* e, uint32_t off, uint32_t base, uint32_t pc, uint32_t entry, Loc* out) {
    const uint8_t* d = e->debug_loc;
    uint32_t size = e->debug_loc_size, pos = off;
    if (!d || off >= size) return false;
    while (size - pos >= 8) {
        uint32_t begin = read_u32(d, size, &pos), end = read_u32(d, size, &pos);
        if (begin == 0 && end == 0) return false;
        if (begin == 0xFFFFFFFF) {
            base = end;
            continue;
        }
        if (size - pos < 2) return false;
        uint32_t len = read_u16(d, size, &pos);
        if (len > size - pos) return false;
        if (list_holds(begin + base, end + base, pc, entry)) {
            *out = decode_location(d + pos, len);
            return true;
        }
        pos += len;
    }
    return false;
}

bool resolve_loc_list_dwarf5(const ElfDwarf* e, const DwarfUnit* u, uint32_t off, uint32_t pc, uint32_t entry, Loc* out) {
    const uint8_t* d = e->debug_loclists;
    uint32_t size = e->debug_loclists_size, pos = off;
    uint32_t base = u->base_address & ~1u;
    if (!d) return false;
    while (pos < size) {
        uint8_t kind = d[pos++];
        uint32_t a = 0, b = 0, start = 0, end = 0;
        uint64_t x = 0;
        bool ranged = true;
        switch (kind) {
        case 1:  // base_addressx
            if (!take_uleb(d, size, &pos, &a)) return false;
            base = resolve_addrx(e, u->addr_base, a) & ~1u;
            continue;
        case 2:  // startx_endx
            if (!take_uleb(d, size, &pos, &a) || !take_uleb(d, size, &pos, &b)) return false;
            start = resolve_addrx(e, u->addr_base, a);
            end = resolve_addrx(e, u->addr_base, b);
            break;
        case 3:  // startx_length
            if (!take_uleb(d, size, &pos, &a) || !take_uleb(d, size, &pos, &b)) return false;
            start = resolve_addrx(e, u->addr_base, a) & ~1u;
            end = start + b;
            break;
        case 4:  // offset_pair
            if (!take_uleb(d, size, &pos, &a) || !take_uleb(d, size, &pos, &b)) return false;
            start = base + a;
            end = base + b;
            break;
        case 5:  // default_location: never used as a fallback
            ranged = false;
            break;
        case 6:  // base_address
            if (!take_le(d, size, &pos, 4, &x)) return false;
            base = (uint32_t)x & ~1u;
            continue;
        case 7:  // start_end
            if (!take_le(d, size, &pos, 4, &x)) return false;
            start = (uint32_t)x;
            if (!take_le(d, size, &pos, 4, &x)) return false;
            end = (uint32_t)x;
            break;
        case 8:  // start_length
            if (!take_le(d, size, &pos, 4, &x) || !take_uleb(d, size, &pos, &b)) return false;
            start = (uint32_t)x & ~1u;
            end = start + b;
            break;
        default:  // end_of_list, or a kind this reader does not know
            return false;
        }
        uint32_t len = 0;
        if (!take_uleb(d, size, &pos, &len) || len > size - pos) return false;
        if (ranged && list_holds(start, end, pc, entry)) {
            *out = decode_location(d + pos, len);
            return true;
        }
        pos += len;
    }
    return false;
}

// A location attribute at pc: an expression, or a list in .debug_loc (before
// version 5; DWARF 2 and 3 give its offset as data4/data8) or .debug_loclists.
Loc eval_location(const Ctx& c, const AttrVal& a, uint32_t pc, uint32_t entry = 0) {
    Loc l{};
    const DwarfUnit* u = c.u;
    if (form_is_block(a.form)) return decode_location(a.v.block.ptr, a.v.block.len);
    uint32_t off = 0;
    bool v4_list = false, v5_list = false;
    if (a.form == FORM_sec_offset) {
        off = a.v.u32;
        v4_list = u->version < 5;
        v5_list = u->version >= 5;
    } else if ((a.form == FORM_data4 || a.form == FORM_data8) && u->version < 4) {
        off = a.form == FORM_data4 ? a.v.u32 : (uint32_t)a.v.u64;
        v4_list = a.form == FORM_data4 || a.v.u64 <= 0xFFFFFFFFu;
    } else if (a.form == FORM_loclistx) {
        uint64_t at = (uint64_t)u->loclists_base + 4ull * a.v.u32;
        if (!c.e->debug_loclists || at + 4 > c.e->debug_loclists_size) return l;
        off = u->loclists_base + le32(c.e->debug_loclists + at);
        v5_list = true;
    }
    if (v4_list && !resolve_loc_list_dwarf4(c.e, off, u->base_address, pc, entry, &l)) l = Loc{};
    if (v5_list && !resolve_loc_list_dwarf5(c.e, u, off, pc, entry, &l)) l = Loc{};
    return l;
}

// The frame of a subprogram entry: whether its base is the CFA (gcc's
// DW_OP_call_frame_cfa) or SP + k at pc.
Loc frame_base_at(const Ctx& c, uint32_t sub_off, uint32_t pc) {
    Die s;
    if (!sub_off || !read_die(c, sub_off, &s) || !s.has_fb) return Loc{};
    return eval_location(c, s.fb, pc);
}

// Offsets from the frame base or from SP become offsets from the CFA, the one
// base the readers find for every frame on the stack. SP moves with every
// push: SP + k is CFA + k - (CFA - SP) at pc, from the call frame
// information; where the CFA is not SP-based, there is no location.
void to_cfa(const Ctx& c, uint32_t sub_off, uint32_t pc, Loc* l) {
    if (l->kind != VAR_LOC_FBREG) return;
    if (l->base == BASE_FB) {
        Loc fb = frame_base_at(c, sub_off, pc);
        if (fb.is_cfa) {
            l->base = BASE_CFA;
            return;
        }
        if (fb.kind != VAR_LOC_FBREG || fb.base != BASE_SP) {
            *l = Loc{};
            return;
        }
        l->value = (int32_t)((uint32_t)l->value + (uint32_t)fb.value);
        l->base = BASE_SP;
    }
    DwarfCfaRule r;
    if (!dwarf_frame_cfa(c.e->debug_frame, c.e->debug_frame_size, pc, &r) || r.reg != kSpRegister) {
        *l = Loc{};
        return;
    }
    l->value = (int32_t)((uint32_t)l->value - (uint32_t)r.offset);
    l->base = BASE_CFA;
}

// The place of the variable at pc (v's size and function known).
void fill_location(const Ctx& c, const Die& d, uint32_t pc, uint32_t sub_off, ElfVariable* v) {
    Loc l{};
    if (d.has_loc) {
        l = eval_location(c, d.loc, pc, v->func_addr);
        to_cfa(c, sub_off, pc, &l);
    } else if (d.has_const) {  // gdb: "a constant with value"
        l.kind = VAR_LOC_CONST;
        l.cval = (uint64_t)d.const_value;
    }
    // An expression is kept only when the evaluator can take it (a dry run).
    v->expr_len = 0;
    if (l.kind == VAR_LOC_EXPR) {
        DwarfExprEnv dry{nullptr, frame_base_at(c, sub_off, pc).is_cfa, 0, nullptr, nullptr};
        uint64_t x;
        if (v->byte_size >= 1 && v->byte_size <= 8 && dwarf_expr_eval(l.expr, l.expr_len, &dry, v->byte_size, &x)) {
            memcpy(v->expr, l.expr, l.expr_len);
            v->expr_len = (uint8_t)l.expr_len;
        } else {
            l = Loc{};
        }
    }
    v->loc_kind = l.kind;
    v->loc_value = l.kind == VAR_LOC_REG || l.kind == VAR_LOC_FBREG || l.kind == VAR_LOC_ADDR ? l.value : 0;
    v->const_value = l.kind == VAR_LOC_CONST ? l.cval : 0;
}

// What a variable's type decides, the same for every variable of that type:
// a walk over many variables (the dump lists a type used by hundreds of
// variables in every function) resolves each type once.
struct TypePart {
    char type_name[64];
    uint32_t byte_size;
    VarValueKind value_kind;
    bool value_signed, is_struct;
    uint8_t deref;
    uint32_t type_unit, type_die, elem_unit, elem_die, elem_size, elem_count;
    std::vector<ElfMember> members;
};

// Per walk, by the referring unit and the reference (an offset or a type
// signature). Bounded: past kTypeCacheMax types (48 members each at most,
// about 10 KB) the rest are resolved each time.
struct TypeCache {
    std::map<std::tuple<uint32_t, uint8_t, uint64_t>, TypePart> parts;
};

constexpr size_t kTypeCacheMax = 512;

// Both ways between a variable and a cached part (the fields have the same names).
template <class To, class From>
void copy_type_fields(To* to, const From& from) {
    memcpy(to->type_name, from.type_name, sizeof to->type_name);
    to->byte_size = from.byte_size;
    to->value_kind = from.value_kind;
    to->value_signed = from.value_signed;
    to->is_struct = from.is_struct;
    to->deref = from.deref;
    to->type_unit = from.type_unit;
    to->type_die = from.type_die;
    to->elem_unit = from.elem_unit;
    to->elem_die = from.elem_die;
    to->elem_size = from.elem_size;
    to->elem_count = from.elem_count;
}

// The type's part of a cleared variable, from the cache when it holds the type.
void fill_type(const Ctx& c, const Ref& type, TypeCache* cache, ElfVariable* v) {
    if (!type.kind) {
        copy_str(v->type_name, sizeof v->type_name, "?");
        return;
    }
    auto key = std::make_tuple(unit_index(c), type.kind, type.kind == 2 ? type.sig : (uint64_t)type.off);
    if (cache) {
        auto it = cache->parts.find(key);
        if (it != cache->parts.end()) {
            copy_type_fields(v, it->second);
            v->member_count = (uint32_t)it->second.members.size();
            std::copy(it->second.members.begin(), it->second.members.end(), v->members);
            return;
        }
    }
    resolve_type_name(c, type, v->type_name, 0);
    get_struct_info(c, type, v);
    if (!cache || cache->parts.size() >= kTypeCacheMax) return;
    TypePart& part = cache->parts[key];
    copy_type_fields(&part, *v);
    part.members.assign(v->members, v->members + std::min<uint32_t>(v->member_count, ELF_MAX_MEMBERS));
}

void fill_variable(const Ctx& c, const Die& d, const char* name, const Ref& type, uint32_t pc, uint32_t sub_off,
                   ElfVariable* v, TypeCache* types = nullptr) {
    memset(v, 0, sizeof *v);
    copy_name(v->name, sizeof v->name, name ? name : "");
    v->is_param = d.tag == TAG_formal_parameter;
    Die s;
    if (sub_off && read_die(c, sub_off, &s) && s.code && s.has_low) v->func_addr = s.low & ~1u;
    fill_type(c, type, types, v);
    fill_location(c, d, pc, sub_off, v);
    v->loc_list = d.has_loc && !form_is_block(d.loc.form);
    v->var_unit = unit_index(c);
    v->var_die = d.off;
    v->sub_die = sub_off;
}

// --- C++ names ---------------------------------------------------------------------------

bool is_cplusplus(uint32_t lang) { return lang == 0x04 || lang == 0x19 || lang == 0x1A || lang == 0x21; }

// The namespaces, classes, structures and unions around the entry at
// `target`, as gdb qualifies a C++ name: "korv::geo::". A subtree that ends
// before the target is stepped over by its sibling reference; an entry
// inside a function has no such prefix. Cached per entry.
std::string scope_prefix(const Ctx& c, uint32_t target) {
    DwarfAbbrevCache* cache = c.e->abbrev_cache;
    {
        std::lock_guard<std::mutex> lk(cache->path_mtx);
        auto it = cache->paths.find(target);
        if (it != cache->paths.end()) return it->second;
    }
    std::vector<std::string> names;  // per open entry: its part of the name, "\1" inside a function
    std::string found;
    for (uint32_t pos = c.u->first_die; pos < c.u->end && pos <= target;) {
        Die d;
        if (!read_die(c, pos, &d)) break;
        if (d.code == 0) {
            if (names.empty()) break;
            names.pop_back();
            pos = d.next;
            continue;
        }
        if (pos == target) {
            for (const std::string& n : names) {
                if (n == "\1") {
                    found.clear();
                    break;
                }
                if (!n.empty()) found += n + "::";
            }
            break;
        }
        if (!d.children) {
            pos = d.next;
            continue;
        }
        if (d.sibling.kind == 1 && d.sibling.off > d.next && d.sibling.off <= target && d.sibling.off <= c.u->end) {
            pos = d.sibling.off;
            continue;
        }
        std::string part;
        if (d.tag == TAG_namespace) part = d.name && d.name[0] ? d.name : "(anonymous namespace)";
        else if (d.tag == TAG_structure_type || d.tag == TAG_class_type || d.tag == TAG_union_type)
            part = d.name ? d.name : "";
        else if (d.tag == TAG_subprogram || d.tag == TAG_lexical_block || d.tag == TAG_inlined_subroutine)
            part = "\1";
        if (names.size() >= 64) break;  // deeper than any real program: unqualified
        names.push_back(part);
        pos = d.next;
    }
    std::lock_guard<std::mutex> lk(cache->path_mtx);
    if (cache->paths.size() < 65536) cache->paths.emplace(target, found);
    return found;
}

// --- the walk ------------------------------------------------------------------------


struct Scope {
    int depth;
    uint32_t lo, hi;  // query pcs inside every open scope: pcs[lo..hi)
    uint32_t sub;     // innermost subprogram entry (frame base)
    int flevel;       // functions (inlined or not) open, this scope's included
    uint32_t holes_first, holes_count;  // a scope given by a range list: its ranges in the pool
};

bool is_scope_tag(uint16_t tag) {
    return tag == TAG_subprogram || tag == TAG_lexical_block || tag == TAG_inlined_subroutine;
}

uint32_t lower_index(const uint32_t* pcs, uint32_t n, uint32_t a) {
    return (uint32_t)(std::lower_bound(pcs, pcs + n, a) - pcs);
}

bool scope_ranges(const Ctx& c, const Die& d, std::vector<DwarfPcRange>* out);

// The name and type of an entry that gives them only through its abstract
// origin: a concrete out-of-line function's (gcc at -O2 for functions also
// inlined) and every inlined call's.
void origin_name(const Ctx& c, const Die& d, const char** name, Ref* type) {
    Ctx oc;
    uint32_t off = 0;
    Die o;
    if (!d.origin.kind || !ref_target(c, d.origin, &oc, &off) || !read_die(oc, off, &o) || o.code == 0) return;
    *name = o.name;
    if (!type->kind) *type = o.type;
}

// Walks one unit for a sorted set of pcs. `hit(lo, hi, die, name, type, sub,
// flevel)` gets every variable or parameter in scope at pcs[lo..hi) and
// returns false to stop; `enter(lo, hi, flevel)` gets each function or inlined
// call holding pcs[lo..hi), `flevel` counting the functions open around it and
// itself; `global(die)` gets the variables outside every function. A scope
// given by a range list holds only the pcs inside its ranges: the runs
// reported skip its holes. A scope holding none of the pcs is stepped over by
// its sibling reference: nothing inside it could be reported.
template <class Hit, class Enter, class Global>
void walk_unit(const Ctx& c, const uint32_t* pcs, uint32_t npcs, Hit&& hit, Enter&& enter, Global&& global,
               bool whole_functions = false) {
    Scope st[kMaxScopes];
    std::vector<DwarfPcRange> pool, ranges;
    int ns = 0, depth = 0, func_level = INT_MIN;
    auto inside_lists = [&](uint32_t pc) {
        for (int s = 0; s < ns; ++s) {
            bool in = st[s].holes_count == 0;
            for (uint32_t i = 0; !in && i < st[s].holes_count; ++i) {
                const DwarfPcRange& x = pool[st[s].holes_first + i];
                in = x.low <= pc && pc < x.high;
            }
            if (!in) return false;
        }
        return true;
    };
    // fn(lo, hi) for each run of pcs[lo..hi) inside every open range list.
    auto runs = [&](uint32_t lo, uint32_t hi, auto&& fn) {
        if (pool.empty()) return fn(lo, hi);
        uint32_t start = lo;
        for (uint32_t k = lo; k < hi; ++k) {
            if (inside_lists(pcs[k])) continue;
            if (start < k && !fn(start, k)) return false;
            start = k + 1;
        }
        return start >= hi || fn(start, hi);
    };
    uint32_t pos = c.u->first_die;
    while (pos < c.u->end) {
        Die d;
        if (!read_die(c, pos, &d)) return;  // the rest of the unit is abandoned
        if (d.code == 0) {
            --depth;
            while (ns > 0 && st[ns - 1].depth >= depth) {
                --ns;
                if (st[ns].holes_count) pool.resize(st[ns].holes_first);
            }
            if (depth <= func_level) func_level = INT_MIN;
            pos = d.next;
            continue;
        }
        if ((d.tag == TAG_variable || d.tag == TAG_formal_parameter) && !d.declaration && ns > 0 &&
            st[ns - 1].lo < st[ns - 1].hi) {
            const char* name = d.name;
            Ref type = d.type;
            if (!name || !name[0]) origin_name(c, d, &name, &type);
            const Scope& in = st[ns - 1];
            if (name && name[0] &&
                !runs(in.lo, in.hi, [&](uint32_t lo, uint32_t hi) { return hit(lo, hi, d, name, type, in.sub, in.flevel); }))
                return;
        }
        if (d.tag == TAG_variable && func_level == INT_MIN && (d.has_loc || d.has_const) && !d.declaration) global(d);
        // A function or inlined call without children still holds its pcs:
        // inside it, the variables around it are out of scope. For the index,
        // a block's variables count as their function's.
        if (is_scope_tag(d.tag) && (d.children || d.tag != TAG_lexical_block) &&
            !(whole_functions && d.tag == TAG_lexical_block)) {
            uint32_t low = d.has_low ? d.low : 0, high = die_high(d);
            ranges.clear();
            bool listed = !d.has_high && d.has_ranges && scope_ranges(c, d, &ranges);
            if (listed && !ranges.empty()) {
                low = ranges[0].low, high = ranges[0].high;
                for (const DwarfPcRange& x : ranges) low = std::min(low, x.low), high = std::max(high, x.high);
            }
            // An empty range list holds no pc at all (gcc writes them for
            // blocks whose code was removed).
            if (low != 0 || high != 0 || (listed && ranges.empty())) {
                uint32_t plo = ns ? st[ns - 1].lo : 0, phi = ns ? st[ns - 1].hi : npcs;
                uint32_t lo = std::max(plo, lower_index(pcs, npcs, low));
                uint32_t hi = high > low ? std::min(phi, lower_index(pcs, npcs, high)) : lo;
                if (hi < lo) hi = lo;
                if (lo == hi && d.children && ns < kMaxScopes && d.sibling.kind == 1 && d.sibling.off > d.next &&
                    d.sibling.off <= c.u->end) {
                    pos = d.sibling.off;
                    continue;
                }
                if (ns < kMaxScopes) {
                    bool func = d.tag != TAG_lexical_block;
                    uint32_t sub = d.tag == TAG_subprogram ? d.off : (ns ? st[ns - 1].sub : 0);
                    int flevel = (ns ? st[ns - 1].flevel : 0) + (func ? 1 : 0);
                    Scope sc{depth, lo, hi, sub, flevel, (uint32_t)pool.size(), 0};
                    if (listed && ranges.size() > 1) {
                        pool.insert(pool.end(), ranges.begin(), ranges.end());
                        sc.holes_count = (uint32_t)ranges.size();
                    }
                    st[ns++] = sc;
                    if (func && lo < hi && !runs(lo, hi, [&](uint32_t a, uint32_t b) { enter(a, b, flevel); return true; }))
                        return;
                    // Without children it is open only for its own report: the range lists around it applied.
                    if (!d.children) {
                        --ns;
                        pool.resize(sc.holes_first);
                    }
                }
            }
            if (func_level == INT_MIN && d.children) func_level = depth;
        }
        if (d.children) ++depth;
        pos = d.next;
    }
}

bool unit_holds(const ElfDwarf* e, const DwarfUnit& u, uint32_t pc) {
    if (!(u.flags & DWARF_UNIT_RANGES_KNOWN)) return true;
    for (uint32_t i = 0; i < u.range_count; ++i) {
        const DwarfPcRange& r = e->unit_ranges[u.range_first + i];
        if (r.low <= pc && pc < r.high) return true;
    }
    return false;
}

// --- the unit index --------------------------------------------------------------------

// A unit's code ranges from .debug_ranges (before version 5) or .debug_rnglists;
// false when the list cannot be read to its end.
bool unit_range_list(const Ctx& c, const Die& cu, std::vector<DwarfPcRange>* out) {
    const ElfDwarf* e = c.e;
    const DwarfUnit* u = c.u;
    const AttrVal& a = cu.ranges;
    uint32_t base = cu.has_low ? cu.low : 0;
    if (u->version < 5) {
        if (a.form != FORM_sec_offset && !(a.form == FORM_data4 && u->version < 4)) return false;
        const uint8_t* d = e->debug_ranges;
        uint32_t size = e->debug_ranges_size, pos = a.v.u32;
        if (!d || pos >= size) return false;
        while (size - pos >= 8) {
            uint32_t begin = read_u32(d, size, &pos), end = read_u32(d, size, &pos);
            if (begin == 0 && end == 0) return true;
            if (begin == 0xFFFFFFFF) base = end;
            else out->push_back(DwarfPcRange{(begin + base) & ~1u, end + base});
        }
        return false;
    }
    const uint8_t* d = e->debug_rnglists;
    uint32_t size = e->debug_rnglists_size, pos = 0;
    if (a.form == FORM_sec_offset) {
        pos = a.v.u32;
    } else if (a.form == FORM_rnglistx) {
        uint64_t at = (uint64_t)u->rnglists_base + 4ull * a.v.u32;
        if (!d || at + 4 > size) return false;
        pos = u->rnglists_base + le32(d + at);
    } else {
        return false;
    }
    if (!d) return false;
    while (pos < size) {
        uint8_t kind = d[pos++];
        uint32_t x = 0, y = 0, lo = 0, hi = 0;
        uint64_t w = 0;
        switch (kind) {
        case 0: return true;
        case 1:
            if (!take_uleb(d, size, &pos, &x)) return false;
            base = resolve_addrx(e, u->addr_base, x);
            continue;
        case 2:
            if (!take_uleb(d, size, &pos, &x) || !take_uleb(d, size, &pos, &y)) return false;
            lo = resolve_addrx(e, u->addr_base, x), hi = resolve_addrx(e, u->addr_base, y);
            break;
        case 3:
            if (!take_uleb(d, size, &pos, &x) || !take_uleb(d, size, &pos, &y)) return false;
            lo = resolve_addrx(e, u->addr_base, x), hi = lo + y;
            break;
        case 4:
            if (!take_uleb(d, size, &pos, &x) || !take_uleb(d, size, &pos, &y)) return false;
            lo = base + x, hi = base + y;
            break;
        case 5:
            if (!take_le(d, size, &pos, 4, &w)) return false;
            base = (uint32_t)w;
            continue;
        case 6:
            if (!take_le(d, size, &pos, 4, &w)) return false;
            lo = (uint32_t)w;
            if (!take_le(d, size, &pos, 4, &w)) return false;
            hi = (uint32_t)w;
            break;
        case 7:
            if (!take_le(d, size, &pos, 4, &w) || !take_uleb(d, size, &pos, &y)) return false;
            lo = (uint32_t)w, hi = lo + y;
            break;
        default: return false;
        }
        out->push_back(DwarfPcRange{lo & ~1u, hi});
    }
    return false;
}

// Reads the header at `pos` into *u; false when the unit is not to be walked.
bool read_unit_header(const ElfDwarf* e, DwarfUnit* u) {
    const uint8_t* d = e->debug_info;
    uint32_t p = u->offset + 4;
    uint64_t x = 0;
    if (!take_le(d, u->end, &p, 2, &x)) return false;
    u->version = (uint16_t)x;
    u->unit_type = UT_compile;
    if (u->version < 2 || u->version > 5) return false;
    if (u->version < 5) {
        if (!take_le(d, u->end, &p, 4, &x)) return false;
        u->abbrev_offset = (uint32_t)x;
        if (!take_le(d, u->end, &p, 1, &x)) return false;
    } else {
        if (!take_le(d, u->end, &p, 1, &x)) return false;
        u->unit_type = (uint8_t)x;
        if (!take_le(d, u->end, &p, 1, &x) || !take_le(d, u->end, &p, 4, &x)) return false;
        u->abbrev_offset = (uint32_t)x;
        if (u->unit_type == UT_type || u->unit_type == UT_split_type) {
            if (!take_le(d, u->end, &p, 8, &u->type_signature) || !take_le(d, u->end, &p, 4, &x)) return false;
            if ((uint64_t)u->offset + x < u->end) u->type_offset = u->offset + (uint32_t)x;
        } else if (u->unit_type == UT_skeleton || u->unit_type == UT_split_compile) {
            if (!take_le(d, u->end, &p, 8, &x)) return false;
        } else if (u->unit_type != UT_compile && u->unit_type != UT_partial) {
            return false;
        }
    }
    u->first_die = p;
    return true;
}

}  // namespace

bool dwarf_index_units(ElfDwarf* e) {
    e->units = nullptr;
    e->unit_ranges = nullptr;
    e->unit_count = e->unit_range_count = 0;
    e->abbrev_cache = nullptr;
    if (!e->debug_info || !e->debug_abbrev) return true;
    DwarfAbbrevCache* cache = new (std::nothrow) DwarfAbbrevCache;
    if (!cache) return false;
    cache->pair_budget = (uint64_t)e->debug_abbrev_size + 4096;
    e->abbrev_cache = cache;
    std::vector<DwarfUnit> units;
    std::vector<DwarfPcRange> ranges;
    std::unordered_map<uint32_t, uint32_t> tables;
    const uint8_t* info = e->debug_info;
    uint32_t size = e->debug_info_size, pos = 0;
    while (size - pos >= 11) {
        uint32_t p = pos;
        uint32_t len = read_u32(info, size, &p);
        if (len == 0 || len == 0xFFFFFFFF || len > size - p) break;
        DwarfUnit u = {};
        u.offset = pos;
        u.end = p + len;
        pos = u.end;
        u.first_die = u.end;
        bool walk = read_unit_header(e, &u);
        auto t = tables.find(u.abbrev_offset);
        if (t == tables.end())
            t = tables.emplace(u.abbrev_offset, parse_abbrev_table(e->debug_abbrev, e->debug_abbrev_size,
                                                                   u.abbrev_offset, cache)).first;
        u.abbrev_table = t->second;
        u.str_offsets_base = u.version >= 5 ? 8 : 0;
        units.push_back(u);
        DwarfUnit& nu = units.back();
        // The unit entry: bases first, then (with them) its address range.
        Ctx c = {e, &nu, cache, &cache->tables[nu.abbrev_table]};
        Die cu{};
        if (nu.first_die < nu.end && read_die(c, nu.first_die, &cu) && cu.code != 0) {
            if (cu.has_str_base) nu.str_offsets_base = cu.str_base;
            if (cu.has_addr_base) nu.addr_base = cu.addr_base;
            if (cu.has_loclists_base) nu.loclists_base = cu.loclists_base;
            if (cu.has_rnglists_base) nu.rnglists_base = cu.rnglists_base;
            read_die(c, nu.first_die, &cu);
            nu.base_address = cu.has_low ? cu.low : 0;
            for (uint32_t k = 0; cu.has_stmt_list && k < e->line_unit_count; ++k)
                if (e->line_units[k].offset == cu.stmt_list) {
                    nu.has_line_files = true;
                    nu.line_file_base = e->line_units[k].file_base;
                    nu.line_version = e->line_units[k].version;
                }
        }
        if (cu.code != 0 && is_cplusplus(cu.language)) nu.flags |= DWARF_UNIT_CPP;
        if (nu.unit_type == UT_type || nu.unit_type == UT_split_type) {
            nu.flags |= DWARF_UNIT_TYPE;
            if (nu.type_offset) cache->signatures.emplace_back(nu.type_signature, (uint32_t)units.size() - 1);
        }
        if (!walk || (nu.unit_type != UT_compile && nu.unit_type != UT_partial)) continue;
        nu.flags |= DWARF_UNIT_WALK;
        if (cu.code == 0 || (cu.tag != TAG_compile_unit && cu.tag != TAG_partial_unit)) continue;
        size_t first = ranges.size();
        bool known = false;
        if (cu.has_low && cu.has_high) {
            uint32_t high = die_high(cu);
            if (high > cu.low) ranges.push_back(DwarfPcRange{cu.low, high});
            known = true;
        } else if (cu.has_ranges) {
            known = unit_range_list(c, cu, &ranges);
        }
        // Unknown or empty: the unit is walked for every pc.
        bool any = false;
        for (size_t i = first; i < ranges.size(); ++i) any |= ranges[i].high > ranges[i].low;
        if (!known || !any) {
            ranges.resize(first);
            continue;
        }
        nu.flags |= DWARF_UNIT_RANGES_KNOWN;
        nu.range_first = (uint32_t)first;
        nu.range_count = (uint32_t)(ranges.size() - first);
    }
    std::sort(cache->signatures.begin(), cache->signatures.end());
    if (!units.empty()) {
        e->units = (DwarfUnit*)malloc(units.size() * sizeof(DwarfUnit));
        if (!e->units) return false;
        memcpy(e->units, units.data(), units.size() * sizeof(DwarfUnit));
        e->unit_count = (uint32_t)units.size();
    }
    if (!ranges.empty()) {
        e->unit_ranges = (DwarfPcRange*)malloc(ranges.size() * sizeof(DwarfPcRange));
        if (!e->unit_ranges) return false;
        memcpy(e->unit_ranges, ranges.data(), ranges.size() * sizeof(DwarfPcRange));
        e->unit_range_count = (uint32_t)ranges.size();
    }
    return true;
}

void dwarf_free_units(ElfDwarf* e) {
    if (!e) return;
    free(e->units);
    free(e->unit_ranges);
    delete e->abbrev_cache;
    e->units = nullptr;
    e->unit_ranges = nullptr;
    e->abbrev_cache = nullptr;
    e->unit_count = e->unit_range_count = 0;
}

// --- queries ---------------------------------------------------------------------------

int elf_dwarf_get_variables(const ElfDwarf* e, uint32_t pc, ElfVariable* out, int max_vars) {
    return elf_dwarf_get_frame_variables(e, pc, 0, out, max_vars);
}

int elf_dwarf_get_frame_variables(const ElfDwarf* e, uint32_t pc, int hidden_inline, ElfVariable* out, int max_vars) {
    if (!e || !out || max_vars < 1 || hidden_inline < 0) return -1;
    if (!e->debug_info || !e->debug_abbrev) return 0;
    pc &= ~1u;
    // As a debugger's innermost frame sees them: the variables of the
    // innermost function holding pc, inlined or not, and of its blocks.
    struct Found {
        uint32_t unit, die, sub;
        const char* name;
        Ref type;
        int flevel;
    };
    std::vector<Found> found;
    int innermost = 0;
    for (uint32_t i = 0; i < e->unit_count; ++i) {
        const DwarfUnit& u = e->units[i];
        Ctx c;
        if (!(u.flags & DWARF_UNIT_WALK) || !unit_holds(e, u, pc) || !unit_ctx(e, i, &c)) continue;
        walk_unit(
            c, &pc, 1,
            [&](uint32_t, uint32_t, const Die& d, const char* name, const Ref& type, uint32_t sub, int flevel) {
                found.push_back(Found{i, d.off, sub, name, type, flevel});
                return found.size() < 4096;
            },
            [&](uint32_t, uint32_t, int flevel) { innermost = std::max(innermost, flevel); },
            [](const Die&) {});
    }
    // With inlined calls hidden, the frame shown is their caller's.
    int level = innermost - hidden_inline;
    if (level < 1 && innermost > 0) return 0;
    int n = 0;
    for (const Found& f : found) {
        Ctx c;
        Die d;
        if (n >= max_vars || f.flevel != level || !unit_ctx(e, f.unit, &c) || !read_die(c, f.die, &d)) continue;
        fill_variable(c, d, f.name, f.type, pc, f.sub, &out[n++]);
    }
    return n;
}

namespace {

struct SnapHit {
    uint32_t pc_idx, unit, die, sub;
    const char* name;  // inside a string section
    Ref type;
    int flevel;
};

struct GlobalHit {
    uint32_t unit, die;
};

// The variables at many entry pcs from one walk of each unit, grouped per pc
// in the order elf_dwarf_get_variables would return them (at most 512 each).
struct Snapshot {
    std::vector<uint32_t> pcs;    // sorted, unique
    std::vector<SnapHit> hits;    // grouped by pc_idx
    std::vector<uint32_t> first;  // hits of pc i: [first[i], first[i + 1])
    std::vector<GlobalHit> globals;
};

// `innermost`: only the variables of the innermost function holding each pc,
// as elf_dwarf_get_variables gives them; otherwise (the index) every block's
// variables count as their function's, wherever the block starts.
void build_snapshot(const ElfDwarf* e, bool with_zero, bool with_globals, bool innermost, Snapshot* s) {
    for (uint32_t i = 0; i < e->func_count; ++i) {
        uint32_t a = e->funcs[i].address & ~1u;
        if ((a || with_zero) && (s->pcs.empty() || s->pcs.back() != a)) s->pcs.push_back(a);
    }
    std::sort(s->pcs.begin(), s->pcs.end());
    s->pcs.erase(std::unique(s->pcs.begin(), s->pcs.end()), s->pcs.end());
    const uint32_t npcs = (uint32_t)s->pcs.size();
    std::vector<uint32_t> count(npcs, 0), local_pcs, local_idx;
    std::vector<int> deepest(npcs, 0);
    for (uint32_t ui = 0; ui < e->unit_count; ++ui) {
        const DwarfUnit& u = e->units[ui];
        Ctx c;
        if (!(u.flags & DWARF_UNIT_WALK) || !unit_ctx(e, ui, &c)) continue;
        local_idx.clear();
        if (u.flags & DWARF_UNIT_RANGES_KNOWN) {
            for (uint32_t r = 0; r < u.range_count; ++r) {
                const DwarfPcRange& pr = e->unit_ranges[u.range_first + r];
                for (uint32_t k = lower_index(s->pcs.data(), npcs, pr.low);
                     k < npcs && s->pcs[k] < pr.high; ++k)
                    local_idx.push_back(k);
            }
            std::sort(local_idx.begin(), local_idx.end());
            local_idx.erase(std::unique(local_idx.begin(), local_idx.end()), local_idx.end());
        } else {
            local_idx.resize(npcs);
            for (uint32_t k = 0; k < npcs; ++k) local_idx[k] = k;
        }
        if (local_idx.empty() && !with_globals) continue;
        local_pcs.resize(local_idx.size());
        for (size_t k = 0; k < local_idx.size(); ++k) local_pcs[k] = s->pcs[local_idx[k]];
        walk_unit(
            c, local_pcs.data(), (uint32_t)local_pcs.size(),
            [&](uint32_t lo, uint32_t hi, const Die& d, const char* name, const Ref& type, uint32_t sub, int flevel) {
                for (uint32_t k = lo; k < hi; ++k) s->hits.push_back(SnapHit{local_idx[k], ui, d.off, sub, name, type, flevel});
                return true;
            },
            [&](uint32_t lo, uint32_t hi, int flevel) {
                for (uint32_t k = lo; k < hi; ++k) deepest[local_idx[k]] = std::max(deepest[local_idx[k]], flevel);
            },
            [&](const Die& d) {
                if (with_globals) s->globals.push_back(GlobalHit{ui, d.off});
            },
            !innermost);
    }
    // Grouped per pc in walk order, at most kSnapshotCap each.
    std::stable_sort(s->hits.begin(), s->hits.end(),
                     [](const SnapHit& a, const SnapHit& b) { return a.pc_idx < b.pc_idx; });
    size_t kept = 0;
    for (const SnapHit& h : s->hits)
        if ((!innermost || h.flevel == deepest[h.pc_idx]) && count[h.pc_idx] < kSnapshotCap) {
            ++count[h.pc_idx];
            s->hits[kept++] = h;
        }
    s->hits.resize(kept);
    s->first.assign(npcs + 1, 0);
    for (const SnapHit& h : s->hits) ++s->first[h.pc_idx + 1];
    for (uint32_t i = 0; i < npcs; ++i) s->first[i + 1] += s->first[i];
}

uint32_t snapshot_index(const Snapshot& s, uint32_t addr) {
    return lower_index(s.pcs.data(), (uint32_t)s.pcs.size(), addr & ~1u);
}

}  // namespace

int elf_dwarf_get_all_variables(const ElfDwarf* e, ElfVariable* out, int max_vars) {
    if (!e || !out || max_vars < 1) return -1;
    if (!e->debug_info || !e->debug_abbrev) return 0;
    Snapshot s;
    build_snapshot(e, false, true, false, &s);
    std::unordered_set<std::string> seen;
    int n = 0;
    uint8_t probe[2];
    bool code_at_zero = elf_read_text(e, 0, probe, 2);
    // Appends unless a variable of the same name and type is held already.
    auto add = [&](const Ctx& c, const Die& d, const char* name, const Ref& type, uint32_t pc, uint32_t sub) {
        char nm[128], tn[64];
        copy_name(nm, sizeof nm, name);
        if (type.kind) resolve_type_name(c, type, tn, 0);
        else copy_str(tn, sizeof tn, "?");
        std::string key = std::string(nm) + '\n' + tn;
        if (!seen.insert(key).second) return true;
        fill_variable(c, d, name, type, pc, sub, &out[n]);
        return ++n < max_vars;
    };
    // File-level globals first: they stay readable at every pc.
    for (const GlobalHit& g : s.globals) {
        Ctx c, dc;
        Die d, decl;
        uint32_t off = 0;
        if (!unit_ctx(e, g.unit, &c) || !read_die(c, g.die, &d)) continue;
        const char* name = d.name;
        Ref type = d.type;
        Ctx nc = c;  // the entry that names it
        uint32_t name_off = d.off;
        // A definition that completes a declaration takes its name and type from it.
        if (d.declared.kind && ref_target(c, d.declared, &dc, &off) && read_die(dc, off, &decl) && decl.code) {
            if (!name || !name[0]) name = decl.name, nc = dc, name_off = off;
            if (!type.kind) type = decl.type;
        }
        Loc l{};
        if (d.has_loc) l = eval_location(c, d.loc, 0);
        else l.kind = VAR_LOC_CONST;  // a constant without storage (gdb lists it too)
        if (!name || !name[0] || l.kind == VAR_LOC_NONE) continue;
        // Address 0 is where the linker leaves variables it discarded (--gc-sections).
        if (l.kind == VAR_LOC_ADDR && l.value == 0 && !code_at_zero) continue;
        // C++ names its globals by their namespaces and classes, as gdb does.
        std::string qualified = nc.u->flags & DWARF_UNIT_CPP ? scope_prefix(nc, name_off) + name : name;
        if (!add(c, d, qualified.c_str(), type, 0, 0)) return n;
    }
    for (uint32_t i = 0; i < e->func_count; ++i) {
        uint32_t a = e->funcs[i].address & ~1u;
        if (!a) continue;
        uint32_t g = snapshot_index(s, a);
        if (g >= s.pcs.size() || s.pcs[g] != a) continue;
        for (uint32_t h = s.first[g]; h < s.first[g + 1]; ++h) {
            const SnapHit& sh = s.hits[h];
            Ctx c;
            Die d;
            if (!unit_ctx(e, sh.unit, &c) || !read_die(c, sh.die, &d) || d.tag == TAG_formal_parameter) continue;
            if (!add(c, d, sh.name, sh.type, a, sh.sub)) return n;
        }
    }
    return n;
}

namespace {

// How gdb qualifies a C++ enumerator: by the enum's namespaces and classes,
// and by the enum itself when it is scoped (enum class); C leaves it bare.
std::string enumerator_prefix(const Ctx& c, const Die& en) {
    if (!(c.u->flags & DWARF_UNIT_CPP)) return "";
    std::string p = scope_prefix(c, en.off);
    if (en.enum_class && en.name && en.name[0]) p += std::string(en.name) + "::";
    return p;
}

}  // namespace

bool elf_dwarf_enum_name(const ElfDwarf* e, uint32_t unit, uint32_t die, uint64_t value, char* out, size_t cap) {
    Ctx c;
    Die d;
    if (!e || !out || !cap || unit >= e->unit_count || !unit_ctx(e, unit, &c) || die < c.u->first_die ||
        die >= c.u->end || !read_die(c, die, &d) || d.tag != TAG_enumeration_type || !d.children)
        return false;
    uint64_t mask = d.has_size && d.byte_size < 8 ? (1ull << (8 * d.byte_size)) - 1 : ~0ull;
    for (uint32_t pos = d.next; pos < c.u->end;) {
        Die m;
        if (!read_die(c, pos, &m) || m.code == 0 || m.children) return false;
        pos = m.next;
        if (m.tag == TAG_enumerator && m.has_const && m.name && ((uint64_t)m.const_value & mask) == (value & mask)) {
            snprintf(out, cap, "%s%s", enumerator_prefix(c, d).c_str(), m.name);
            return true;
        }
    }
    return false;
}

int dwarf_entry_snapshots(const ElfDwarf* e, DwarfSnapshotFn fn, void* user) {
    if (!e || !fn || !e->debug_info || !e->debug_abbrev) return 0;
    Snapshot s;
    build_snapshot(e, true, false, true, &s);
    TypeCache types;
    ElfVariable* v = (ElfVariable*)malloc(sizeof(ElfVariable));
    if (!v) return 0;
    int functions = 0;
    for (uint32_t i = 0; i < e->func_count; ++i) {
        uint32_t a = e->funcs[i].address & ~1u;
        uint32_t g = snapshot_index(s, a);
        if (g >= s.pcs.size() || s.pcs[g] != a || s.first[g] == s.first[g + 1]) continue;
        int count = (int)(s.first[g + 1] - s.first[g]);
        ++functions;
        for (int k = 0; k < count; ++k) {
            const SnapHit& sh = s.hits[s.first[g] + k];
            Ctx c;
            Die d;
            if (!unit_ctx(e, sh.unit, &c) || !read_die(c, sh.die, &d)) memset(v, 0, sizeof *v);
            else fill_variable(c, d, sh.name, sh.type, a, sh.sub, v, &types);
            if (!fn(user, &e->funcs[i], k, count, v)) {
                free(v);
                return functions;
            }
        }
    }
    free(v);
    return functions;
}

// --- inlined calls ---------------------------------------------------------------------

namespace {

// The ranges of a scope entry (low/high, or a range list based on the unit's
// base address); false when they cannot be read.
bool scope_ranges(const Ctx& c, const Die& d, std::vector<DwarfPcRange>* out) {
    out->clear();
    if (d.has_low && d.has_high) {
        uint32_t high = die_high(d);
        if (high > d.low) out->push_back(DwarfPcRange{d.low, high});
        return true;
    }
    if (!d.has_ranges) return false;
    Die based = d;
    based.has_low = true;
    based.low = c.u->base_address;
    return unit_range_list(c, based, out);
}

const char* unit_file(const Ctx& c, uint32_t index) {
    const DwarfUnit* u = c.u;
    if (!u->has_line_files || (index == 0 && u->line_version < 5)) return "";
    uint32_t k = u->line_version < 5 ? u->line_file_base + index - 1 : u->line_file_base + index;
    return k < c.e->file_count && c.e->files[k] ? c.e->files[k] : "";
}

}  // namespace

int elf_dwarf_inline_chain(const ElfDwarf* e, uint32_t pc, ElfInline* out, int max) {
    if (!e || !out || max <= 0 || !e->debug_info || !e->debug_abbrev) return 0;
    pc &= ~1u;
    int n = 0;
    std::vector<DwarfPcRange> r;
    for (uint32_t i = 0; i < e->unit_count && n == 0; ++i) {
        const DwarfUnit& u = e->units[i];
        Ctx c;
        if (!(u.flags & DWARF_UNIT_WALK) || !(u.flags & DWARF_UNIT_RANGES_KNOWN) || !unit_holds(e, u, pc) ||
            !unit_ctx(e, i, &c))
            continue;
        // A scope that does not hold pc is stepped over by its sibling
        // reference; inlined calls nest, so one inside it cannot hold pc either.
        int depth = 0;
        uint32_t pos = u.first_die;
        while (pos < u.end) {
            Die d;
            if (!read_die(c, pos, &d)) break;
            if (d.code == 0) {
                if (--depth < 0) break;
                pos = d.next;
                continue;
            }
            if (is_scope_tag(d.tag)) {
                bool holds = false, known = scope_ranges(c, d, &r);
                uint32_t lo = 0, hi = 0, entry = 0xFFFFFFFF;
                for (const DwarfPcRange& x : r) {
                    if (x.low < entry) entry = x.low;
                    if (pc >= x.low && pc < x.high) holds = true, lo = x.low, hi = x.high;
                }
                // A block without addresses of its own (gcc writes such lexical
                // blocks) may still hold inlined calls that do: walk into it.
                if (!known && d.tag != TAG_inlined_subroutine) holds = true;
                if (!holds && depth > 0 && d.children && d.sibling.kind == 1 && d.sibling.off > d.next &&
                    d.sibling.off <= u.end) {
                    pos = d.sibling.off;
                    continue;
                }
                if (holds && known && d.tag == TAG_inlined_subroutine && n < max) {
                    ElfInline& x = out[n++];
                    memset(&x, 0, sizeof x);
                    const char* name = d.name;
                    Ref type = d.type;
                    if (!name || !name[0]) origin_name(c, d, &name, &type);
                    copy_str(x.func, sizeof x.func, name && name[0] ? name : "??");
                    copy_str(x.call_file, sizeof x.call_file, unit_file(c, d.call_file));
                    x.call_line = d.call_line;
                    x.entry = d.has_entry_pc ? (d.entry_pc_is_addr ? d.entry_pc : entry + d.entry_pc) : entry;
                    x.low = lo;
                    x.high = hi;
                    x.id = d.off;
                }
            }
            if (d.children) ++depth;
            pos = d.next;
        }
    }
    return n;
}

// The value of the enumerator called `name` in an enum type; the reverse of
// elf_dwarf_enum_name, for values typed by the user.
bool elf_dwarf_enum_value(const ElfDwarf* e, uint32_t unit, uint32_t die, const char* name, int64_t* value) {
    Ctx c;
    Die d;
    if (!e || !name || !value || unit >= e->unit_count || !unit_ctx(e, unit, &c) || die < c.u->first_die ||
        die >= c.u->end || !read_die(c, die, &d) || d.tag != TAG_enumeration_type || !d.children)
        return false;
    for (uint32_t pos = d.next; pos < c.u->end;) {
        Die m;
        if (!read_die(c, pos, &m) || m.code == 0 || m.children) return false;
        pos = m.next;
        // By its bare name or as gdb writes it.
        if (m.tag == TAG_enumerator && m.has_const && m.name &&
            (strcmp(m.name, name) == 0 || (strchr(name, ':') && enumerator_prefix(c, d) + m.name == name))) {
            *value = (int64_t)m.const_value;
            return true;
        }
    }
    return false;
}

// --- value texts ---------------------------------------------------------------------

namespace {

constexpr int kValueDepth = 8;
constexpr uint32_t kPrintElements = 200;  // gdb's default `print elements`
constexpr uint32_t kRepeatThreshold = 10;  // and `print repeats`

struct ValueOut {
    const ElfDwarf* e;
    const ElfValueContext* ctx;
    std::string s;
    size_t cap;
    bool full() const { return s.size() >= cap; }
};

uint64_t le_bits(const uint8_t* b, uint32_t len) {
    uint64_t v = 0;
    for (uint32_t i = 0; i < len && i < 8; ++i) v |= (uint64_t)b[i] << (8 * i);
    return v;
}

// A character as gdb escapes it inside quotes `q`.
void put_char(std::string& s, unsigned char ch, char q) {
    const char* named = strchr("\a\b\t\n\v\f\r", ch && ch < 0x20 ? ch : 0xFF);
    if (ch == (unsigned char)q || ch == '\\') s += '\\', s += (char)ch;
    else if (ch >= 0x20 && ch < 0x7F) s += (char)ch;
    else if (ch == 0x1B) s += "\\033";
    else if (named) s += '\\', s += "abtnvfr"[named - "\a\b\t\n\v\f\r"];
    else {
        char b[8];
        snprintf(b, sizeof b, "\\%03o", ch);
        s += b;
    }
}

// Characters as gdb prints a char array or a string: quoted runs, and runs
// of one character longer than the repeat threshold as 'c' <repeats N times>.
void put_chars(std::string& s, const uint8_t* b, uint32_t n, bool more) {
    bool open = false, any = false;
    for (uint32_t i = 0; i < n && i < kPrintElements;) {
        uint32_t run = 1;
        while (i + run < n && b[i + run] == b[i]) ++run;
        if (run > kRepeatThreshold) {
            if (open) s += '"', open = false;
            if (any) s += ", ";
            s += '\'';
            put_char(s, b[i], '\'');
            s += "' <repeats " + std::to_string(run) + " times>";
            any = true;
            i += run;
            continue;
        }
        if (!open) {
            if (any) s += ", ";
            s += '"';
            open = any = true;
        }
        put_char(s, b[i++], '"');
    }
    if (open) s += '"';
    if (!any) s += "\"\"";
    if (more || n > kPrintElements) s += "...";
}

std::string symbol_suffix(const ValueOut& o, uint32_t addr) {
    char name[160];
    if (!o.ctx || !o.ctx->symbol_at || !o.ctx->symbol_at(o.ctx->user, addr, name, sizeof name)) return "";
    return std::string(" <") + name + ">";
}

void value_text(ValueOut& o, const Ctx& c, const Die& d, const uint8_t* b, uint32_t len, int depth);

// The type entry a reference leads to, under typedefs and qualifiers.
bool value_type(const Ctx& c, const Ref& r, Ctx* tc, Die* d) { return r.kind && strip_type(c, r, tc, d); }

// A bit-field: `bits` bits from bit `lowest` of b, in its type (sign-extended for a signed one).
void bits_text(ValueOut& o, const Ctx& c, const Die& t, const uint8_t* b, uint32_t len, uint32_t lowest, uint32_t bits,
               int depth) {
    uint32_t span = (lowest + bits + 7) / 8;
    if (!bits || bits > 64 || span > len || span > 8) {
        o.s += "<unavailable>";
        return;
    }
    uint64_t v = le_bits(b, span) >> lowest;
    if (bits < 64) v &= (1ull << bits) - 1;
    bool sign = (t.tag == TAG_base_type && (t.encoding == ATE_signed || t.encoding == ATE_signed_char)) ||
                t.tag == TAG_enumeration_type;
    if (sign && bits < 64 && (v >> (bits - 1) & 1)) v |= ~0ull << bits;
    uint8_t tmp[8];
    for (int k = 0; k < 8; ++k) tmp[k] = (uint8_t)(v >> (8 * k));
    value_text(o, c, t, tmp, t.has_size && t.byte_size <= 8 ? t.byte_size : 8, depth + 1);
}

void struct_text(ValueOut& o, const Ctx& c, const Die& agg, const uint8_t* b, uint32_t len, int depth) {
    o.s += '{';
    bool first = true;
    for_each_member(c, agg, [&](const Die& m, bool base) {
        Ctx tc;
        Die t;
        if (!value_type(c, m.type, &tc, &t)) return !o.full();
        if (!first) o.s += ", ";
        first = false;
        o.s += (base ? base_name(c, m) : std::string(m.name)) + " = ";
        uint32_t off = m.has_member_loc ? member_offset(m.member_loc) : 0;
        uint32_t size = m.has_size ? m.byte_size : type_size(c, m.type);
        uint16_t bits, lowest;
        uint32_t at;
        member_bits(m, off, size, &bits, &lowest, &at);
        if (bits) bits_text(o, tc, t, at < len ? b + at : b, at < len ? len - at : 0, lowest, bits, depth);
        else if (off >= len || size > len - off) o.s += "<unavailable>";
        else value_text(o, tc, t, b + off, size, depth + 1);
        return !o.full();
    });
    if (first) o.s += "<No data fields>";
    o.s += '}';
}

void array_text(ValueOut& o, const Ctx& c, const Die& arr, const uint8_t* b, uint32_t len, int depth) {
    Ctx ec;
    Die el;
    uint64_t count = 0;
    array_dims(c, arr, &count);
    uint32_t size = arr.type.kind ? type_size(c, arr.type) : 0;
    if (!value_type(c, arr.type, &ec, &el) || !size) {
        o.s += "{...}";
        return;
    }
    uint64_t total = (uint64_t)count * size;
    uint32_t have = (uint32_t)std::min<uint64_t>(total, len) / size;
    if (is_char_type(el)) {
        uint32_t n = have;
        // gdb leaves out the terminating NUL of a char array read whole.
        if (n == count && n && b[n - 1] == 0) --n;
        put_chars(o.s, b, n, have < count);
        return;
    }
    o.s += '{';
    uint32_t shown = 0;
    for (uint32_t i = 0; i < have && !o.full();) {
        uint32_t run = 1;
        while (i + run < have && !memcmp(b + (size_t)i * size, b + (size_t)(i + run) * size, size)) ++run;
        if (i) o.s += ", ";
        value_text(o, ec, el, b + (size_t)i * size, size, depth + 1);
        if (run > kRepeatThreshold) {
            o.s += " <repeats " + std::to_string(run) + " times>";
            i += run;
            shown += kRepeatThreshold;
        } else {
            ++i;
            ++shown;
        }
        if (shown >= kPrintElements && i < have) {
            o.s += "...";
            break;
        }
    }
    if (have < count) o.s += "...";
    o.s += '}';
}

void value_text(ValueOut& o, const Ctx& c, const Die& d, const uint8_t* b, uint32_t len, int depth) {
    if (depth > kValueDepth || o.full()) {
        o.s += "...";
        return;
    }
    uint32_t size = d.has_size ? d.byte_size : 0;
    char t[96];
    switch (d.tag) {
    case TAG_base_type: {
        if (!size || size > 8 || size > len) break;
        uint64_t v = le_bits(b, size), mask = size < 8 ? (1ull << (8 * size)) - 1 : ~0ull;
        int64_t sv = size < 8 && (v >> (8 * size - 1) & 1) ? (int64_t)(v | ~mask) : (int64_t)v;
        switch (d.encoding) {
        case ATE_boolean:
            if (v <= 1) snprintf(t, sizeof t, "%s", v ? "true" : "false");
            else snprintf(t, sizeof t, "%llu", (unsigned long long)v);
            break;
        case ATE_float:
            if (size == 4) {
                float f;
                uint32_t w = (uint32_t)v;
                memcpy(&f, &w, 4);
                snprintf(t, sizeof t, "%.9g", (double)f);
            } else if (size == 8) {
                double f;
                memcpy(&f, &v, 8);
                snprintf(t, sizeof t, "%.17g", f);
            } else {
                snprintf(t, sizeof t, "<%u-byte float>", size);
            }
            if (!strcmp(t, "inf") || !strcmp(t, "-inf") || strstr(t, "nan")) {
                bool neg = t[0] == '-';
                snprintf(t, sizeof t, "%s%s", neg ? "-" : "", strstr(t, "nan") ? "nan(0x" : "inf");
                if (strstr(t, "nan")) {
                    uint64_t mant = size == 4 ? v & 0x7FFFFF : v & 0xFFFFFFFFFFFFFull;
                    snprintf(t + strlen(t), sizeof t - strlen(t), "%llx)", (unsigned long long)mant);
                }
            }
            break;
        case ATE_signed: snprintf(t, sizeof t, "%lld", (long long)sv); break;
        case ATE_signed_char: case ATE_unsigned_char: {
            std::string ch = std::to_string(d.encoding == ATE_signed_char ? sv : (int64_t)v) + " '";
            put_char(ch, (unsigned char)v, '\'');
            o.s += ch + "'";
            return;
        }
        default: snprintf(t, sizeof t, "%llu", (unsigned long long)v); break;
        }
        o.s += t;
        return;
    }
    case TAG_enumeration_type: {
        if (!size || size > 8 || size > len) break;
        uint64_t v = le_bits(b, size);
        if (!elf_dwarf_enum_name(o.e, unit_index(c), d.off, v, t, sizeof t)) {
            bool neg = size < 8 && (v >> (8 * size - 1) & 1);
            snprintf(t, sizeof t, "%lld", neg ? (long long)(v | ~((1ull << (8 * size)) - 1)) : (long long)v);
        }
        o.s += t;
        return;
    }
    case TAG_pointer_type: case TAG_reference_type: case TAG_rvalue_reference_type: {
        if (len < 4) break;
        uint32_t a = (uint32_t)le_bits(b, 4);
        Ctx pc;
        Die p;
        bool target = value_type(c, d.type, &pc, &p);
        if (d.tag != TAG_pointer_type) {
            snprintf(t, sizeof t, "@0x%x: ", a);
            o.s += t;
            uint8_t ref[64];
            uint32_t n = target ? std::min<uint32_t>(type_size(c, d.type), sizeof ref) : 0;
            if (n && o.ctx && o.ctx->read_mem && o.ctx->read_mem(o.ctx->user, a, ref, n)) value_text(o, pc, p, ref, n, depth + 1);
            else o.s += "<unavailable>";
            return;
        }
        snprintf(t, sizeof t, "0x%x", a);
        o.s += t;
        o.s += symbol_suffix(o, a);
        if (target && is_char_type(p) && a && o.ctx && o.ctx->read_mem) {
            // The string it points at, as far as it was read.
            uint8_t str[32];
            uint32_t n = 0;
            bool ok = true;
            while (n < sizeof str && (ok = o.ctx->read_mem(o.ctx->user, a + n, str + n, 1)) && str[n]) ++n;
            if (!ok && n == 0) {
                snprintf(t, sizeof t, " <error: Cannot access memory at 0x%x>", a);
                o.s += t;
                return;
            }
            o.s += ' ';
            put_chars(o.s, str, n, n == sizeof str);
        }
        return;
    }
    case TAG_structure_type: case TAG_union_type: case TAG_class_type: struct_text(o, c, d, b, len, depth); return;
    case TAG_array_type: array_text(o, c, d, b, len, depth); return;
    default: break;
    }
    o.s += "?";
}

}  // namespace

bool elf_dwarf_value_text(const ElfDwarf* e, uint32_t unit, uint32_t die, const uint8_t* bytes, uint32_t len,
                          const ElfValueContext* ctx, char* out, size_t cap, uint32_t bit_offset, uint32_t bit_size) {
    Ctx c;
    Die d;
    if (!out || !cap) return false;
    out[0] = 0;
    if (!e || !bytes || !unit_ctx(e, unit, &c) || die < c.u->first_die || die >= c.u->end || !read_die(c, die, &d) ||
        d.code == 0)
        return false;
    ValueOut o{e, ctx, std::string(), cap > 1 ? cap - 1 : 0};
    if (bit_size) bits_text(o, c, d, bytes, len, bit_offset, bit_size, 0);
    else value_text(o, c, d, bytes, len, 0);
    if (o.s.size() >= cap) o.s = o.s.substr(0, cap > 4 ? cap - 4 : 0) + (cap > 4 ? "..." : "");
    memcpy(out, o.s.c_str(), o.s.size() + 1);
    return true;
}

bool elf_dwarf_locate(const ElfDwarf* e, const ElfVariable* v, uint32_t pc, ElfVariable* out) {
    Ctx c;
    Die d;
    if (!e || !v || !out || !unit_ctx(e, v->var_unit, &c) || v->var_die < c.u->first_die || v->var_die >= c.u->end ||
        !read_die(c, v->var_die, &d) || (d.tag != TAG_variable && d.tag != TAG_formal_parameter))
        return false;
    *out = *v;
    fill_location(c, d, pc & ~1u, v->sub_die, out);
    return true;
}
