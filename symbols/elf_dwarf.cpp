#include "symbols/elf_dwarf.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

// Per thread: the start-up dump fails on its own thread while the window loads.
static thread_local char s_error[256] = "";

static void set_err(const char* text) { snprintf(s_error, sizeof s_error, "%s", text); }

void elf_dwarf_set_error(const char* text) { set_err(text ? text : ""); }

const char* elf_dwarf_error() { return s_error; }

// --- bounded readers ------------------------------------------------------------

uint16_t read_u16(const uint8_t* d, uint32_t end, uint32_t* pos) {
    if (*pos > end || end - *pos < 2) {
        *pos = end;
        return 0;
    }
    uint16_t v = (uint16_t)(d[*pos] | (d[*pos + 1] << 8));
    *pos += 2;
    return v;
}

uint32_t read_u32(const uint8_t* d, uint32_t end, uint32_t* pos) {
    if (*pos > end || end - *pos < 4) {
        *pos = end;
        return 0;
    }
    const uint8_t* p = d + *pos;
    *pos += 4;
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

uint32_t read_uleb128(const uint8_t* d, uint32_t end, uint32_t* pos) {
    uint32_t result = 0;
    unsigned shift = 0;
    for (int n = 0; n < 10 && *pos < end; ++n) {
        uint8_t b = d[(*pos)++];
        if (shift < 32) result |= (uint32_t)(b & 0x7F) << shift;
        shift += 7;
        if (!(b & 0x80)) return result;
    }
    return result;
}

int32_t read_sleb128(const uint8_t* d, uint32_t end, uint32_t* pos) {
    uint32_t result = 0;
    unsigned shift = 0;
    uint8_t b = 0;
    for (int n = 0; n < 10 && *pos < end; ++n) {
        b = d[(*pos)++];
        if (shift < 32) result |= (uint32_t)(b & 0x7F) << shift;
        shift += 7;
        if (!(b & 0x80)) break;
    }
    if (shift < 32 && (b & 0x40)) result |= ~0u << shift;
    return (int32_t)result;
}

// --- loading ------------------------------------------------------------------------

namespace {

struct Range {
    bool found;
    uint32_t off, size;
};

struct CodeRange {
    uint32_t off, size, addr;
};

enum : uint32_t { SHT_SYMTAB = 2, SHT_NOBITS = 8, SHF_EXECINSTR = 4, SHF_COMPRESSED = 0x800, STT_OBJECT = 1, STT_FUNC = 2 };

uint32_t le32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
uint16_t le16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }

bool inside(uint64_t off, uint64_t size, uint64_t file_size) { return off <= file_size && size <= file_size - off; }

// A name from a string table, never read past the table's end.
void copy_name(const uint8_t* buf, const Range& tab, uint32_t name_off, char* out, size_t cap) {
    out[0] = 0;
    if (!tab.found || name_off >= tab.size) return;
    const char* s = (const char*)buf + tab.off + name_off;
    size_t avail = tab.size - name_off, n = 0;
    while (n < avail && n + 1 < cap && s[n]) ++n;
    memcpy(out, s, n);
    out[n] = 0;
}

const char* const kDwarfNames[] = {".debug_line",     ".debug_info",        ".debug_abbrev",
                                   ".debug_str",      ".debug_line_str",    ".debug_str_offsets",
                                   ".debug_addr",     ".debug_loclists",    ".debug_loc",
                                   ".debug_ranges",   ".debug_rnglists",    ".debug_frame"};
enum {
    DL_LINE, DL_INFO, DL_ABBREV, DL_STR, DL_LINE_STR, DL_STR_OFFSETS, DL_ADDR, DL_LOCLISTS, DL_LOC,
    DL_RANGES, DL_RNGLISTS, DL_FRAME, DL_COUNT
};

uint8_t* copy_bytes(const uint8_t* buf, const Range& r, uint32_t* size_out) {
    *size_out = 0;
    if (!r.found || r.size == 0) return nullptr;
    uint8_t* p = (uint8_t*)malloc(r.size);
    if (!p) return nullptr;
    memcpy(p, buf + r.off, r.size);
    *size_out = r.size;
    return p;
}

void parse_symtab(ElfDwarf* e, const uint8_t* buf, const Range& symtab, const Range& strtab) {
    uint32_t count = symtab.size / 16, n = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* s = buf + symtab.off + 16 * i;
        if ((s[12] & 0xF) == STT_FUNC && le32(s) < strtab.size) ++n;
    }
    if (!n) return;
    e->funcs = (FuncEntry*)calloc(n, sizeof(FuncEntry));
    if (!e->funcs) {
        set_err("OOM");
        return;
    }
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* s = buf + symtab.off + 16 * i;
        if ((s[12] & 0xF) != STT_FUNC || le32(s) >= strtab.size) continue;
        FuncEntry& f = e->funcs[e->func_count++];
        f.address = le32(s + 4) & ~1u;
        f.size = le32(s + 8);
        copy_name(buf, strtab, le32(s), f.name, sizeof f.name);
    }
    std::stable_sort(e->funcs, e->funcs + e->func_count,
                     [](const FuncEntry& a, const FuncEntry& b) { return a.address < b.address; });
}

// 'a', 't', 'd' for "$a", "$t", "$d" (also with a ".suffix"), 'o' for a named
// data object, 0 for anything else.
char symbol_kind(const uint8_t* sym, const uint8_t* buf, const Range& strtab) {
    uint32_t off = le32(sym);
    if (off >= strtab.size) return 0;
    const char* name = (const char*)buf + strtab.off + off;
    uint32_t room = strtab.size - off;
    if (room >= 3 && name[0] == '$' && (name[1] == 'a' || name[1] == 't' || name[1] == 'd') &&
        (name[2] == 0 || name[2] == '.'))
        return name[1];
    return (sym[12] & 0xF) == STT_OBJECT && room > 1 && name[0] ? 'o' : 0;
}

void parse_other_symbols(ElfDwarf* e, const uint8_t* buf, const Range& symtab, const Range& strtab) {
    uint32_t count = symtab.size / 16, n = 0;
    for (uint32_t i = 0; i < count; ++i)
        if (symbol_kind(buf + symtab.off + 16 * i, buf, strtab)) ++n;
    if (!n) return;
    e->symbols = (ElfSymbol*)calloc(n, sizeof(ElfSymbol));
    if (!e->symbols) return;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* s = buf + symtab.off + 16 * i;
        char kind = symbol_kind(s, buf, strtab);
        if (!kind) continue;
        ElfSymbol& o = e->symbols[e->symbol_count++];
        o.address = le32(s + 4);
        o.size = le32(s + 8);
        o.kind = kind;
        if (kind == 'o') copy_name(buf, strtab, le32(s), o.name, sizeof o.name);
    }
    std::stable_sort(e->symbols, e->symbols + e->symbol_count,
                     [](const ElfSymbol& a, const ElfSymbol& b) { return a.address < b.address; });
}

}  // namespace

ElfDwarf* elf_dwarf_load_buffer(const uint8_t* buf, uint32_t size) {
    s_error[0] = 0;
    if (!buf || size < 52 || memcmp(buf, "\x7F" "ELF", 4) != 0) {
        set_err("Not a valid ELF file");
        return nullptr;
    }
    if (buf[4] != 1) {
        set_err("Only ELF32 supported");
        return nullptr;
    }
    if (buf[5] != 1) {
        set_err("Only little-endian ELF supported");
        return nullptr;
    }
    uint32_t shoff = le32(buf + 32);
    uint32_t shnum = le16(buf + 48), shstrndx = le16(buf + 50);
    if (shnum == 0 || shoff == 0 || !inside(shoff, (uint64_t)shnum * 40, size)) {
        set_err("Invalid ELF section header table");
        return nullptr;
    }
    if (shstrndx == 0 || shstrndx >= shnum) {
        set_err("Invalid ELF section name string table index");
        return nullptr;
    }
    const uint8_t* names_hdr = buf + shoff + 40 * shstrndx;
    Range names = {true, le32(names_hdr + 16), le32(names_hdr + 20)};
    if (names.off >= size || !inside(names.off, names.size, size)) {
        set_err("Invalid ELF section name string table offset");
        return nullptr;
    }

    Range dwarf[DL_COUNT] = {};
    Range symtab = {}, strtab = {};
    uint32_t symtab_link = 0;
    CodeRange code[ELF_MAX_CODE_SECTIONS];
    int code_count = 0;
    uint32_t text_addr = 0, text_size = 0;
    for (uint32_t i = 0; i < shnum; ++i) {
        const uint8_t* h = buf + shoff + 40 * i;
        char name[64];
        copy_name(buf, names, le32(h), name, sizeof name);
        uint32_t type = le32(h + 4), flags = le32(h + 8), addr = le32(h + 12), off = le32(h + 16), sz = le32(h + 20);
        // Sections without bytes in the file, outside it or compressed are absent.
        bool usable = type != SHT_NOBITS && !(flags & SHF_COMPRESSED) && inside(off, sz, size);
        int dw = -1;
        for (int k = 0; k < DL_COUNT; ++k)
            if (strcmp(name, kDwarfNames[k]) == 0) dw = k;
        if (dw >= 0) {
            dwarf[dw] = usable ? Range{true, off, sz} : Range{};
        } else if (type == SHT_SYMTAB) {
            symtab = usable ? Range{true, off, sz} : Range{};
            symtab_link = le32(h + 24);
        } else if ((flags & SHF_EXECINSTR) && code_count < ELF_MAX_CODE_SECTIONS) {
            if (!usable) continue;
            code[code_count++] = CodeRange{off, sz, addr};
            if (strcmp(name, ".text") == 0) {
                text_addr = addr;
                text_size = sz;
            }
        }
    }
    if (symtab.found && symtab_link != 0 && symtab_link < shnum) {
        const uint8_t* h = buf + shoff + 40 * symtab_link;
        uint32_t off = le32(h + 16), sz = le32(h + 20);
        if (le32(h + 4) != SHT_NOBITS && inside(off, sz, size)) strtab = Range{true, off, sz};
    }

    ElfDwarf* e = (ElfDwarf*)calloc(1, sizeof(ElfDwarf));
    if (!e) {
        set_err("OOM");
        return nullptr;
    }
    e->text_addr = text_addr;
    e->text_size = text_size;
    if (dwarf[DL_LINE].found) {
        DwarfStrings strs = {dwarf[DL_LINE_STR].found ? buf + dwarf[DL_LINE_STR].off : nullptr, dwarf[DL_LINE_STR].size,
                             dwarf[DL_STR].found ? buf + dwarf[DL_STR].off : nullptr, dwarf[DL_STR].size};
        if (!parse_debug_line(buf + dwarf[DL_LINE].off, dwarf[DL_LINE].size, &strs, &e->lines, &e->line_count,
                              &e->files, &e->file_count, &e->line_units, &e->line_unit_count)) {
            elf_dwarf_free(e);
            return nullptr;
        }
    }
    if (symtab.found && strtab.found) {
        parse_symtab(e, buf, symtab, strtab);
        parse_other_symbols(e, buf, symtab, strtab);
    }
    e->debug_info = copy_bytes(buf, dwarf[DL_INFO], &e->debug_info_size);
    e->debug_abbrev = copy_bytes(buf, dwarf[DL_ABBREV], &e->debug_abbrev_size);
    e->debug_str = copy_bytes(buf, dwarf[DL_STR], &e->debug_str_size);
    e->debug_line_str = copy_bytes(buf, dwarf[DL_LINE_STR], &e->debug_line_str_size);
    e->debug_str_offsets = copy_bytes(buf, dwarf[DL_STR_OFFSETS], &e->debug_str_offsets_size);
    e->debug_addr = copy_bytes(buf, dwarf[DL_ADDR], &e->debug_addr_size);
    e->debug_loclists = copy_bytes(buf, dwarf[DL_LOCLISTS], &e->debug_loclists_size);
    e->debug_loc = copy_bytes(buf, dwarf[DL_LOC], &e->debug_loc_size);
    e->debug_ranges = copy_bytes(buf, dwarf[DL_RANGES], &e->debug_ranges_size);
    e->debug_rnglists = copy_bytes(buf, dwarf[DL_RNGLISTS], &e->debug_rnglists_size);
    e->debug_frame = copy_bytes(buf, dwarf[DL_FRAME], &e->debug_frame_size);
    // Without the index no unit is walked: running out of memory here fails the load.
    if (!dwarf_index_units(e)) {
        set_err("OOM in dwarf_index_units");
        elf_dwarf_free(e);
        return nullptr;
    }
    for (int i = 0; i < code_count; ++i) {
        ElfCodeSection& c = e->code_sections[e->code_section_count];
        Range r = {true, code[i].off, code[i].size};
        c.data = copy_bytes(buf, r, &c.size);
        if (!c.data) continue;
        c.addr = code[i].addr;
        ++e->code_section_count;
    }
    return e;
}

ElfDwarf* elf_dwarf_load(const char* elf_path) {
    s_error[0] = 0;
    FILE* f = elf_path && elf_path[0] ? fopen(elf_path, "rb") : nullptr;
    if (!f) {
        set_err("Cannot open ELF file");
        return nullptr;
    }
    long size = -1;
    if (fseek(f, 0, SEEK_END) == 0) size = ftell(f);
    if (size <= 0 || size > 0x7FFFFFFF || fseek(f, 0, SEEK_SET) != 0) {
        fclose(f);
        set_err("ELF file is empty or ftell failed");
        return nullptr;
    }
    uint8_t* buf = (uint8_t*)malloc((size_t)size);
    if (!buf) {
        fclose(f);
        set_err("OOM");
        return nullptr;
    }
    size_t got = fread(buf, 1, (size_t)size, f);
    fclose(f);
    if (got != (size_t)size) {
        free(buf);
        set_err("Failed to read ELF file");
        return nullptr;
    }
    ElfDwarf* e = elf_dwarf_load_buffer(buf, (uint32_t)size);
    free(buf);
    return e;
}

void elf_dwarf_free(ElfDwarf* e) {
    if (!e) return;
    free(e->lines);
    for (uint32_t i = 0; i < e->file_count; ++i) free(e->files[i]);
    free(e->files);
    free(e->funcs);
    free(e->symbols);
    free(e->line_units);
    for (uint8_t* p : {e->debug_info, e->debug_abbrev, e->debug_str, e->debug_line_str, e->debug_str_offsets,
                       e->debug_addr, e->debug_loclists, e->debug_loc, e->debug_ranges, e->debug_rnglists,
                       e->debug_frame})
        free(p);
    dwarf_free_units(e);
    for (int i = 0; i < e->code_section_count; ++i) free(e->code_sections[i].data);
    free(e);
}

bool elf_read_text(const ElfDwarf* e, uint32_t addr, uint8_t* out, uint32_t len) {
    if (!e || !out || len == 0) return false;
    addr &= ~1u;
    for (int i = 0; i < e->code_section_count; ++i) {
        const ElfCodeSection& c = e->code_sections[i];
        if (addr < c.addr || (uint64_t)(addr - c.addr) + len > c.size) continue;
        memcpy(out, c.data + (addr - c.addr), len);
        return true;
    }
    return false;
}

uint32_t elf_text_base(const ElfDwarf* e) { return e ? e->text_addr : 0; }
uint32_t elf_text_size(const ElfDwarf* e) { return e ? e->text_size : 0; }
