// The .debug_line reader (DWARF 2 to 5) and the address/source queries.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "symbols/dwarf_forms.h"
#include "symbols/elf_dwarf.h"

namespace {

enum : uint32_t { LNCT_path = 1, LNCT_directory_index = 2 };

struct Tables {
    LineEntry* lines = nullptr;
    uint32_t line_count = 0, line_cap = 0;
    char** files = nullptr;
    uint32_t file_count = 0, file_cap = 0;
    bool oom = false;
};

void cut_copy(char* out, size_t cap, const char* s, size_t n) {
    n = std::min(n, cap - 1);
    memcpy(out, s, n);
    out[n] = 0;
}

// A NUL-terminated string at *pos, never past `end`; *pos moves past its NUL
// (or to `end` when there is none).
void read_cstr(const uint8_t* d, uint32_t end, uint32_t* pos, char* out, size_t cap) {
    uint32_t start = *pos;
    while (*pos < end && d[*pos]) ++*pos;
    cut_copy(out, cap, (const char*)d + start, *pos - start);
    if (*pos < end) ++*pos;
}

void string_at(const uint8_t* sec, uint32_t size, uint32_t off, char* out, size_t cap) {
    out[0] = 0;
    if (!sec || off >= size) return;
    uint32_t pos = off;
    read_cstr(sec, size, &pos, out, cap);
}

bool add_file(Tables* t, const char* path) {
    if (t->file_count == t->file_cap) {
        uint32_t cap = t->file_cap * 2;
        char** grown = (char**)realloc(t->files, sizeof(char*) * cap);
        if (!grown) return false;
        t->files = grown;
        t->file_cap = cap;
    }
    char* copy = strdup(path);
    if (!copy) return false;
    t->files[t->file_count++] = copy;
    return true;
}

void emit_line(Tables* t, uint32_t address, uint32_t file_idx, uint32_t line, bool prologue_end, bool is_stmt,
               bool repeat) {
    if (address == 0) return;
    if (t->line_count == t->line_cap) {
        uint32_t cap = t->line_cap * 2;
        LineEntry* grown = cap > t->line_cap ? (LineEntry*)realloc(t->lines, sizeof(LineEntry) * cap) : nullptr;
        if (!grown) {
            // A row lost to memory is only that row.
            elf_dwarf_set_error("OOM in emit_line");
            return;
        }
        t->lines = grown;
        t->line_cap = cap;
    }
    // Past 65,535 files an index cannot be told apart: unknown rather than wrapped.
    uint16_t idx = file_idx < t->file_count && file_idx <= 0xFFFF ? (uint16_t)file_idx : 0;
    t->lines[t->line_count++] = LineEntry{address, line, idx, prologue_end, is_stmt, repeat};
}

// One value of an entry-format field. Strings come back in `str` (when given),
// numbers in `num`. False for a form whose size cannot be known.
bool read_form(const uint8_t* d, uint32_t end, uint32_t* pos, uint32_t form, const DwarfStrings* strs, char* str,
               size_t cap, uint32_t* num) {
    if (str) str[0] = 0;
    *num = 0;
    uint32_t n = 0;
    switch (form) {
    case FORM_string:
        if (str) read_cstr(d, end, pos, str, cap);
        else {
            char skip[1];
            read_cstr(d, end, pos, skip, sizeof skip);
        }
        return true;
    case FORM_line_strp:
    case FORM_strp: {
        uint32_t off = read_u32(d, end, pos);
        if (str && strs) {
            if (form == FORM_line_strp) string_at(strs->line_str, strs->line_str_size, off, str, cap);
            else string_at(strs->str, strs->str_size, off, str, cap);
        }
        *num = off;
        return true;
    }
    case FORM_data1: case FORM_ref1: case FORM_flag: case FORM_strx1: case FORM_addrx1: n = 1; break;
    case FORM_data2: case FORM_ref2: case FORM_strx2: case FORM_addrx2: n = 2; break;
    case FORM_strx3: case FORM_addrx3: n = 3; break;
    case FORM_data4: case FORM_ref4: case FORM_sec_offset: case FORM_strx4: case FORM_addrx4: case FORM_ref_sup4:
    case FORM_strp_sup: case FORM_ref_addr: case FORM_addr: n = 4; break;
    case FORM_data8: case FORM_ref8: case FORM_ref_sig8: case FORM_ref_sup8: n = 8; break;
    case FORM_data16: n = 16; break;
    case FORM_udata: case FORM_ref_udata: case FORM_strx: case FORM_addrx: case FORM_loclistx: case FORM_rnglistx:
        *num = read_uleb128(d, end, pos);
        return true;
    case FORM_sdata: *num = (uint32_t)read_sleb128(d, end, pos); return true;
    case FORM_flag_present: case FORM_implicit_const: return true;
    case FORM_block1: n = *pos < end ? 1u + d[*pos] : 1; break;
    case FORM_block2: { uint32_t p = *pos; n = 2u + read_u16(d, end, &p); break; }
    case FORM_block4: { uint32_t p = *pos; uint32_t len = read_u32(d, end, &p); n = len > 0xFFFFFFFBu ? 0xFFFFFFFFu : 4 + len; break; }
    case FORM_block: case FORM_exprloc: {
        uint32_t len = read_uleb128(d, end, pos);
        *pos = (end - *pos < len) ? end : *pos + len;
        return true;
    }
    default: return false;
    }
    if (end - *pos < n) {
        *pos = end;
        return true;
    }
    for (uint32_t i = 0; i < n && i < 4; ++i) *num |= (uint32_t)d[*pos + i] << (8 * i);
    *pos += n;
    return true;
}

struct Format {
    uint32_t count;
    uint32_t type[8], form[8];
    bool ok;
};

Format read_format(const uint8_t* d, uint32_t end, uint32_t* pos) {
    Format f = {};
    f.ok = true;
    uint32_t n = *pos < end ? d[(*pos)++] : 0;
    for (uint32_t i = 0; i < n && *pos < end; ++i) {
        uint32_t type = read_uleb128(d, end, pos), form = read_uleb128(d, end, pos);
        // Pairs past the eighth are consumed by their form but otherwise ignored.
        if (f.count < 8) {
            f.type[f.count] = type;
            f.form[f.count++] = form;
        } else {
            f.ok = false;  // cannot be read back; end the header here
        }
    }
    return f;
}

// One directory or file entry of a DWARF 5 header. False when it cannot be read.
bool read_entry(const uint8_t* d, uint32_t end, uint32_t* pos, const Format& f, const DwarfStrings* strs, char* name,
                size_t cap, uint32_t* dir_idx) {
    name[0] = 0;
    *dir_idx = 0;
    for (uint32_t k = 0; k < f.count; ++k) {
        uint32_t num = 0;
        char tmp[256];
        bool want_str = f.type[k] == LNCT_path;
        if (!read_form(d, end, pos, f.form[k], strs, want_str ? tmp : nullptr, sizeof tmp, &num)) return false;
        if (want_str) cut_copy(name, cap, tmp, strlen(tmp));
        else if (f.type[k] == LNCT_directory_index) *dir_idx = num;
    }
    return true;
}

void join_path(char* out, size_t cap, const char* dir, const char* name) {
    // An absolute name stands alone; only a relative one is placed under its directory.
    bool absolute = name[0] == '/' || name[0] == '\\' || (name[0] && name[1] == ':');
    if (!dir || !dir[0] || absolute) {
        cut_copy(out, cap, name, strlen(name));
        return;
    }
    char buf[600];
    snprintf(buf, sizeof buf, "%s/%s", dir, name);
    cut_copy(out, cap, buf, strlen(buf));
}

struct Unit {
    uint32_t version;
    uint8_t min_inst;
    bool default_is_stmt;
    int8_t line_base;
    uint8_t line_range;
    uint8_t opcode_base;
    uint8_t opcode_lengths[256];
    uint32_t file_base;
};

// Reads the header's directory and file tables; appends the files. False
// only when memory runs out.
bool read_file_tables(Tables* t, const uint8_t* d, uint32_t hdr_end, uint32_t* pos, Unit* u, const DwarfStrings* strs) {
    std::vector<std::string> dirs;
    u->file_base = t->file_count;
    char name[256], path[256];
    if (u->version < 5) {
        dirs.push_back("");
        while (*pos < hdr_end && d[*pos]) {
            read_cstr(d, hdr_end, pos, name, sizeof name);
            if (dirs.size() <= 255) dirs.push_back(name);  // surplus names are consumed
        }
        if (*pos < hdr_end) ++*pos;
        while (*pos < hdr_end && d[*pos]) {
            read_cstr(d, hdr_end, pos, name, sizeof name);
            uint32_t dir = read_uleb128(d, hdr_end, pos);
            read_uleb128(d, hdr_end, pos);
            read_uleb128(d, hdr_end, pos);
            join_path(path, sizeof path, dir < dirs.size() ? dirs[dir].c_str() : nullptr, name);
            if (!add_file(t, path)) return false;
        }
        return true;
    }
    Format df = read_format(d, hdr_end, pos);
    if (!df.ok) return true;
    uint32_t dir_count = read_uleb128(d, hdr_end, pos);
    for (uint32_t i = 0; i < dir_count && *pos < hdr_end; ++i) {
        uint32_t before = *pos, ignored;
        if (!read_entry(d, hdr_end, pos, df, strs, name, sizeof name, &ignored)) return true;
        if (dirs.size() < 255) dirs.push_back(name);
        if (*pos == before) break;  // an entry of no bytes: the count cannot be trusted
    }
    Format ff = read_format(d, hdr_end, pos);
    if (!ff.ok) return true;
    uint32_t file_count = read_uleb128(d, hdr_end, pos);
    for (uint32_t i = 0; i < file_count && *pos < hdr_end; ++i) {
        uint32_t before = *pos, dir = 0;
        if (!read_entry(d, hdr_end, pos, ff, strs, name, sizeof name, &dir)) return true;
        if (name[0]) join_path(path, sizeof path, dir < dirs.size() ? dirs[dir].c_str() : nullptr, name);
        else path[0] = 0;
        if (!add_file(t, path)) return false;
        if (*pos == before) break;
    }
    return true;
}

void run_program(Tables* t, const uint8_t* d, uint32_t pos, uint32_t end, const Unit& u) {
    uint32_t address = 0, file = 1, line = 1;
    bool prologue_end = false, is_stmt = u.default_is_stmt;
    // The line has had a non-zero discriminator since it last changed.
    uint32_t discriminator = 0, last_file = 0, last_line = 0;
    bool line_discriminated = false;
    auto advance_line = [&](int32_t delta) {
        line += (uint32_t)delta;
        if (delta) line_discriminated = discriminator != 0;
    };
    // A sequence placed at address 0 belongs to code the linker discarded.
    bool seq_started = false, seq_dropped = false;
    auto reset = [&] {
        address = 0;
        file = 1;
        line = 1;
        prologue_end = false;
        is_stmt = u.default_is_stmt;
        seq_started = seq_dropped = false;
        discriminator = last_file = last_line = 0;
        line_discriminated = false;
    };
    auto emit = [&] {
        if (!seq_started) {
            seq_started = true;
            seq_dropped = address == 0;
        }
        if (!seq_dropped) {
            uint32_t idx;
            if (u.version < 5) idx = file == 0 ? 0 : u.file_base + file - 1;
            else idx = u.file_base + file;
            if (idx < u.file_base) idx = 0;  // wrapped
            bool repeat = file == last_file && line == last_line && line_discriminated;
            emit_line(t, address, idx, line, prologue_end, is_stmt, repeat);
        }
        last_file = file, last_line = line;
        prologue_end = false;
        discriminator = 0;
    };
    while (pos < end) {
        uint8_t op = d[pos++];
        if (op >= u.opcode_base) {
            uint32_t adj = op - u.opcode_base;
            address += u.min_inst * (adj / u.line_range);
            advance_line(u.line_base + (int)(adj % u.line_range));
            emit();
            continue;
        }
        switch (op) {
        case 0: {
            uint32_t len = read_uleb128(d, end, &pos);
            if (len == 0 || pos >= end) break;
            uint32_t sub_start = pos;
            uint8_t sub = d[pos++];
            if (sub == 1) {
                reset();
            } else if (sub == 2) {
                uint32_t p = pos;
                address = read_u32(d, end, &p);
                if (!seq_started && address == 0) seq_dropped = true, seq_started = true;
            } else if (sub == 4) {
                uint32_t p = pos;
                discriminator = read_uleb128(d, end, &p);
                line_discriminated |= discriminator != 0;
            }
            pos = (end - sub_start < len) ? end : sub_start + len;
            break;
        }
        case 1: emit(); break;
        case 2: address += u.min_inst * read_uleb128(d, end, &pos); break;
        case 3: advance_line(read_sleb128(d, end, &pos)); break;
        case 4: file = read_uleb128(d, end, &pos); break;
        case 5: read_uleb128(d, end, &pos); break;
        case 6: is_stmt = !is_stmt; break;
        case 7: break;
        case 8: address += u.min_inst * ((255u - u.opcode_base) / u.line_range); break;
        case 9: address += read_u16(d, end, &pos); break;
        case 10: prologue_end = true; break;
        default:
            for (uint32_t k = 0; k < u.opcode_lengths[op]; ++k) read_uleb128(d, end, &pos);
            break;
        }
    }
}

}  // namespace

bool parse_debug_line(const uint8_t* dl, uint32_t dl_size, const DwarfStrings* strs, LineEntry** lines_out,
                      uint32_t* line_count_out, char*** files_out, uint32_t* file_count_out, DwarfLineUnit** units_out,
                      uint32_t* unit_count_out) {
    Tables t;
    std::vector<DwarfLineUnit> units;
    t.lines = (LineEntry*)malloc(sizeof(LineEntry) * 8192);
    t.files = (char**)malloc(sizeof(char*) * 256);
    if (!t.lines || !t.files) {
        elf_dwarf_set_error("OOM");
        free(t.lines);
        free(t.files);
        return false;
    }
    t.line_cap = 8192;
    t.file_cap = 256;
    bool ok = add_file(&t, "");
    if (!ok) elf_dwarf_set_error("OOM");
    uint32_t off = 0;
    while (ok && dl && dl_size - off >= 4) {
        uint32_t pos = off;
        uint32_t unit_length = read_u32(dl, dl_size, &pos);
        if (unit_length == 0 || unit_length == 0xFFFFFFFF || unit_length > dl_size - pos) break;
        uint32_t unit_end = pos + unit_length;
        Unit u = {};
        u.version = read_u16(dl, unit_end, &pos);
        if (u.version >= 5) pos = std::min(unit_end, pos + 2);
        uint32_t header_length = read_u32(dl, unit_end, &pos);
        if (header_length > unit_end - pos) break;
        uint32_t hdr_end = pos + header_length;
        auto u8 = [&]() -> uint8_t { return pos < hdr_end ? dl[pos++] : 0; };
        u.min_inst = u8();
        if (u.version >= 4) u8();
        u.default_is_stmt = u8() != 0;
        u.line_base = (int8_t)u8();
        u.line_range = u8();
        u.opcode_base = u8();
        if (u.line_range == 0) break;
        for (uint32_t k = 1; k < u.opcode_base; ++k) u.opcode_lengths[k] = u8();
        if (!read_file_tables(&t, dl, hdr_end, &pos, &u, strs)) {
            elf_dwarf_set_error("OOM in parse_debug_line");
            ok = false;
            break;
        }
        run_program(&t, dl, hdr_end, unit_end, u);
        units.push_back(DwarfLineUnit{off, u.file_base, (uint16_t)u.version});
        off = unit_end;
    }
    if (!ok) {
        free(t.lines);
        for (uint32_t i = 0; i < t.file_count; ++i) free(t.files[i]);
        free(t.files);
        return false;
    }
    std::stable_sort(t.lines, t.lines + t.line_count,
                     [](const LineEntry& a, const LineEntry& b) { return a.address < b.address; });
    *lines_out = t.lines;
    *line_count_out = t.line_count;
    *files_out = t.files;
    *file_count_out = t.file_count;
    if (units_out && unit_count_out) {
        *units_out = nullptr;
        *unit_count_out = 0;
        if (!units.empty()) {
            *units_out = (DwarfLineUnit*)malloc(sizeof(DwarfLineUnit) * units.size());
            if (*units_out) {
                memcpy(*units_out, units.data(), sizeof(DwarfLineUnit) * units.size());
                *unit_count_out = (uint32_t)units.size();
            }
        }
    }
    return true;
}
