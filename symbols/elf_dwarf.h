// The firmware image: a 32-bit little-endian ARM ELF with DWARF. The loader
// keeps private copies of the DWARF and executable sections, the function
// table from the symbol table and the merged line table; every query reads
// the record only.
#pragma once

#include <cstdint>
#include <cstdio>

struct LineEntry {
    uint32_t address;
    uint32_t line;      // 1-based
    uint16_t file_idx;  // into ElfDwarf::files; 0 = unknown
    bool prologue_end;
};

struct FuncEntry {
    uint32_t address;  // Thumb bit clear
    uint32_t size;     // 0 when unknown
    char name[128];
};

enum : int { ELF_MAX_CODE_SECTIONS = 16 };

struct ElfCodeSection {
    uint8_t* data;
    uint32_t size;
    uint32_t addr;
};

struct ElfDwarf {
    LineEntry* lines;
    uint32_t line_count;
    char** files;  // files[0] is ""
    uint32_t file_count;
    FuncEntry* funcs;
    uint32_t func_count;
    uint8_t* debug_info;
    uint32_t debug_info_size;
    uint8_t* debug_abbrev;
    uint32_t debug_abbrev_size;
    uint8_t* debug_str;
    uint32_t debug_str_size;
    uint8_t* debug_line_str;
    uint32_t debug_line_str_size;
    uint8_t* debug_str_offsets;
    uint32_t debug_str_offsets_size;
    uint8_t* debug_addr;
    uint32_t debug_addr_size;
    uint8_t* debug_loclists;
    uint32_t debug_loclists_size;
    uint8_t* debug_loc;
    uint32_t debug_loc_size;
    ElfCodeSection code_sections[ELF_MAX_CODE_SECTIONS];
    int code_section_count;
    uint32_t text_addr;
    uint32_t text_size;
};

struct ElfLocation {
    char file[256];  // "" when unknown
    uint32_t line;   // 0 when unknown
    char func[128];  // "?" when unknown
    bool prologue_end;
};

ElfDwarf* elf_dwarf_load(const char* elf_path);
// Loads from memory (the file loader's second half; tests feed it mutated images).
ElfDwarf* elf_dwarf_load_buffer(const uint8_t* data, uint32_t size);
const char* elf_dwarf_error();
// Sets the error text (the loader's own parts report through it).
void elf_dwarf_set_error(const char* text);
void elf_dwarf_free(ElfDwarf* e);

bool elf_read_text(const ElfDwarf* e, uint32_t addr, uint8_t* out, uint32_t len);
uint32_t elf_text_base(const ElfDwarf* e);
uint32_t elf_text_size(const ElfDwarf* e);

// Bounded little-endian readers: nothing at or past `end` is read; a read that
// would cross it yields 0 and moves *pos to `end`.
uint16_t read_u16(const uint8_t* d, uint32_t end, uint32_t* pos);
uint32_t read_u32(const uint8_t* d, uint32_t end, uint32_t* pos);
uint32_t read_uleb128(const uint8_t* d, uint32_t end, uint32_t* pos);
int32_t read_sleb128(const uint8_t* d, uint32_t end, uint32_t* pos);

// Address and source queries.
bool elf_dwarf_lookup(const ElfDwarf* e, uint32_t pc, ElfLocation* out);
uint32_t elf_dwarf_line_to_addr(const ElfDwarf* e, const char* file_path, uint32_t line_nr);
int elf_dwarf_line_addrs(const ElfDwarf* e, const char* file_path, uint32_t line_nr, uint32_t* out_addrs,
                         int max_addrs);
bool elf_dwarf_line_span(const ElfDwarf* e, const char* file_path, uint32_t line_nr, uint32_t* out_start,
                         uint32_t* out_end);
uint32_t elf_dwarf_next_line_addr(const ElfDwarf* e, uint32_t pc);
bool elf_dwarf_find_function(const ElfDwarf* e, const char* name, uint32_t* out_addr);
bool elf_dwarf_is_function_entry(const ElfDwarf* e, uint32_t pc, char* out_name);
bool elf_dwarf_func_span(const ElfDwarf* e, uint32_t pc, uint32_t* out_start, uint32_t* out_end);

// Variables from .debug_info: those in scope at `pc`, and the index of every
// function's locals and the file-level globals. -1 for bad arguments, 0
// without .debug_info/.debug_abbrev, else the count written.
struct ElfVariable;
int elf_dwarf_get_variables(const ElfDwarf* e, uint32_t pc, ElfVariable* out_vars, int max_vars);
int elf_dwarf_get_all_variables(const ElfDwarf* e, ElfVariable* out_vars, int max_vars);

// The human-readable dump of the image's tables.
bool elf_dwarf_dump_to_file(const ElfDwarf* e, const char* path);

// The line-table reader, run by the loader. The string sections resolve
// DWARF 5 names given by offset; either may be null.
struct DwarfStrings {
    const uint8_t* line_str;
    uint32_t line_str_size;
    const uint8_t* str;
    uint32_t str_size;
};
bool parse_debug_line(const uint8_t* dl, uint32_t dl_size, const DwarfStrings* strs, LineEntry** lines,
                      uint32_t* line_count, char*** files, uint32_t* file_count);
