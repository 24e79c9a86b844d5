// The firmware image: a 32-bit little-endian ARM ELF with DWARF. The loader
// keeps private copies of the DWARF and executable sections, the function
// table from the symbol table and the merged line table; every query reads
// the record only.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

struct LineEntry {
    uint32_t address;
    uint32_t line;      // 1-based
    uint16_t file_idx;  // into ElfDwarf::files; 0 = unknown
    bool prologue_end;
    bool is_stmt;  // a recommended breakpoint location: steps stop only at these
    // The same file and line as the row before, after a non-zero discriminator
    // (a basic block of the same statement): no boundary a step stops at, as
    // for gdb, which drops such rows.
    bool repeat;
};

struct FuncEntry {
    uint32_t address;  // Thumb bit clear
    uint32_t size;     // 0 when unknown
    char name[128];
};

// The symbol table's other entries a disassembler needs: the mapping symbols
// that tell ARM code ('a'), Thumb code ('t') and data ('d') apart, and the
// data objects ('o') a literal word may point at.
struct ElfSymbol {
    uint32_t address;
    uint32_t size;
    char kind;
    char name[63];  // objects only
};

enum : int { ELF_MAX_CODE_SECTIONS = 16 };

struct ElfCodeSection {
    uint8_t* data;
    uint32_t size;
    uint32_t addr;
};

// One unit of .debug_info, indexed at load so that a query walks only the
// units whose code ranges hold its pc.
struct DwarfPcRange {
    uint32_t low, high;  // [low, high)
};

enum : uint8_t {
    DWARF_UNIT_WALK = 1,          // a compile or partial unit: its entries are walked
    DWARF_UNIT_RANGES_KNOWN = 2,  // unit_ranges[range_first ..] hold all its code
    DWARF_UNIT_TYPE = 4,          // a DWARF 5 type unit (found by signature only)
    DWARF_UNIT_CPP = 8,           // C++: globals and enumerators go by qualified names
};

struct DwarfUnit {
    uint32_t offset;        // unit header in .debug_info
    uint32_t end;           // one past the unit
    uint32_t first_die;     // first entry, right after the header
    uint32_t abbrev_offset; // into .debug_abbrev
    uint32_t abbrev_table;  // its parsed table in the abbreviation cache
    uint16_t version;
    uint8_t unit_type;      // DW_UT_*; 1 (compile) before version 5
    uint8_t flags;          // DWARF_UNIT_*
    uint32_t str_offsets_base, addr_base, loclists_base, rnglists_base;
    uint32_t base_address;  // the unit entry's DW_AT_low_pc: base of its location lists
    uint32_t range_first, range_count;  // into ElfDwarf::unit_ranges
    uint64_t type_signature;  // type units
    uint32_t type_offset;     // type units: section offset of the described type
    // The unit's line program (DW_AT_stmt_list), for its file numbers.
    bool has_line_files;
    uint16_t line_version;
    uint32_t line_file_base;  // its first file in ElfDwarf::files
};

// One unit of .debug_line: where its files start in ElfDwarf::files.
struct DwarfLineUnit {
    uint32_t offset;
    uint32_t file_base;
    uint16_t version;
};

struct DwarfAbbrevCache;

struct ElfDwarf {
    LineEntry* lines;
    uint32_t line_count;
    char** files;  // files[0] is ""
    uint32_t file_count;
    FuncEntry* funcs;
    uint32_t func_count;
    ElfSymbol* symbols;  // by address
    uint32_t symbol_count;
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
    // Range lists of the units (DWARF 2-4 and 5), kept for the unit index.
    uint8_t* debug_ranges;
    uint32_t debug_ranges_size;
    uint8_t* debug_rnglists;
    uint32_t debug_rnglists_size;
    // Call frame information: where a function's frame base (its CFA) is.
    uint8_t* debug_frame;
    uint32_t debug_frame_size;
    // Built once by the loader (dwarf_index_units), released by elf_dwarf_free.
    DwarfUnit* units;
    uint32_t unit_count;
    DwarfPcRange* unit_ranges;
    uint32_t unit_range_count;
    DwarfAbbrevCache* abbrev_cache;
    DwarfLineUnit* line_units;
    uint32_t line_unit_count;
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
const char* elf_dwarf_error();  // the calling thread's last error
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

// A source file of the line tables: a path with at least one row of a known
// line, listed once however many units name it.
struct ElfSourceFile {
    const char* path;     // the image's own copy: valid while it is loaded
    uint32_t first_line;  // the lowest line that has a row
};
// The files sorted by base name (case aside), then by path. Writes at most
// `max` of them and returns how many there are: more than `max` when the
// list was cut. One pass over the rows: a list to build once per image.
int elf_dwarf_source_files(const ElfDwarf* e, ElfSourceFile* out, int max);

// The line-table row that holds pc: [start, end) runs to the next row at a
// higher address (or the function's end); among rows at one address a
// statement row is preferred. False when no row of a known line holds pc.
struct ElfRow {
    uint32_t start, end;
    uint32_t line;
    uint16_t file_idx;
    bool is_stmt;
};
bool elf_dwarf_row_at(const ElfDwarf* e, uint32_t pc, ElfRow* out);
// Where a step into a function stops: the first row marked prologue_end in
// it, else the end of the row at its entry (the line after its opening), or
// the entry itself for a function of one row. 0 when no function holds addr.
uint32_t elf_dwarf_after_prologue(const ElfDwarf* e, uint32_t func_addr);

// An inlined call holding a pc (DW_TAG_inlined_subroutine).
struct ElfInline {
    char func[128];       // the inlined function
    char call_file[256];  // where it is called: "" when unknown
    uint32_t call_line;
    uint32_t entry;       // its entry address (DW_AT_entry_pc, else its lowest address)
    uint32_t low, high;   // the range of it that holds the pc: [low, high)
    uint32_t id;          // tells one inlined call from another (its entry's offset)
};
enum : int { ELF_MAX_INLINE = 8 };
// The inlined calls holding pc, outermost first; returns how many (0 for
// none or without .debug_info).
int elf_dwarf_inline_chain(const ElfDwarf* e, uint32_t pc, ElfInline* out, int max);

// Variables from .debug_info: those in scope at `pc`, and the index of every
// function's locals and the file-level globals. -1 for bad arguments, 0
// without .debug_info/.debug_abbrev, else the count written.
struct ElfVariable;
// The frame base (gcc: the CFA) of the function at regs[15], from the call
// frame information; VAR_LOC_FBREG variables live at base + offset.
bool elf_dwarf_frame_base(const ElfDwarf* e, const uint32_t regs[16], uint32_t* base);
int elf_dwarf_get_variables(const ElfDwarf* e, uint32_t pc, ElfVariable* out_vars, int max_vars);
// The variables of the frame shown with the `hidden_inline` innermost inlined
// calls holding pc hidden (a debugger stopped on an inlined call's first
// instruction shows its caller); elf_dwarf_get_variables hides none.
int elf_dwarf_get_frame_variables(const ElfDwarf* e, uint32_t pc, int hidden_inline, ElfVariable* out_vars,
                                  int max_vars);
int elf_dwarf_get_all_variables(const ElfDwarf* e, ElfVariable* out_vars, int max_vars);
// The enumerator of an enum type (ElfVariable's type_unit and type_die) that
// has this value; false when none has.
bool elf_dwarf_enum_name(const ElfDwarf* e, uint32_t unit, uint32_t die, uint64_t value, char* out, size_t cap);
// The value of the enumerator with this name; false when the type has none.
// The place of a variable (from elf_dwarf_get_variables or the index) at
// another pc of its function: a location list's entry for that pc. False when
// the variable's entry cannot be read again.
bool elf_dwarf_locate(const ElfDwarf* e, const ElfVariable* v, uint32_t pc, ElfVariable* out);
// What a value's text needs besides its bytes, both optional: the name of
// the symbol at an address ("buf" or "buf+4"; pointers show it), and target
// memory (the string a char pointer points at, the referent of a reference).
struct ElfValueContext {
    void* user;
    bool (*symbol_at)(void* user, uint32_t addr, char* out, size_t cap);
    bool (*read_mem)(void* user, uint32_t addr, uint8_t* buf, uint32_t len);
};
// A value of the type entry (unit, die), as gdb's print writes it: "-5 '\373'",
// "{x = 1, y = {2, 0 <repeats 15 times>}}", "0x20000018 <buf>", "\"abc\"".
// Bytes past `len` show as <unavailable>; false for a bad entry. A bit-field
// gives its width and lowest bit within the bytes.
bool elf_dwarf_value_text(const ElfDwarf* e, uint32_t unit, uint32_t die, const uint8_t* bytes, uint32_t len,
                          const ElfValueContext* ctx, char* out, size_t cap, uint32_t bit_offset = 0,
                          uint32_t bit_size = 0);
bool elf_dwarf_enum_value(const ElfDwarf* e, uint32_t unit, uint32_t die, const char* name, int64_t* value);

// The unit table and abbreviation cache over the loaded .debug_info (run by
// the loader after the sections are copied); false only when memory runs out.
bool dwarf_index_units(ElfDwarf* e);
void dwarf_free_units(ElfDwarf* e);
// The entry-point snapshot of the dump: for every function-table entry whose
// address yields variables, `fn` gets each of them (at most 512) in order, with
// its index and the count; returning false stops. Returns the functions seen.
typedef bool (*DwarfSnapshotFn)(void* user, const FuncEntry* func, int index, int count, const ElfVariable* var);
int dwarf_entry_snapshots(const ElfDwarf* e, DwarfSnapshotFn fn, void* user);

// The human-readable dump of the image's tables. It stops, with a line
// saying before which entry, where it would pass max_bytes of file or max_ms
// of time (true: the file is complete up to that line), or once *cancel is
// set (false: the image is being closed). It only reads the image: it may run
// beside the other queries.
enum : long { ELF_DUMP_MAX_BYTES = 16L << 20, ELF_DUMP_MAX_MS = 2000 };
bool elf_dwarf_dump_to_file(const ElfDwarf* e, const char* path, long max_bytes = ELF_DUMP_MAX_BYTES,
                            int max_ms = ELF_DUMP_MAX_MS, const std::atomic<bool>* cancel = nullptr);

// The line-table reader, run by the loader. The string sections resolve
// DWARF 5 names given by offset; either may be null.
struct DwarfStrings {
    const uint8_t* line_str;
    uint32_t line_str_size;
    const uint8_t* str;
    uint32_t str_size;
};
bool parse_debug_line(const uint8_t* dl, uint32_t dl_size, const DwarfStrings* strs, LineEntry** lines,
                      uint32_t* line_count, char*** files, uint32_t* file_count, DwarfLineUnit** units = nullptr,
                      uint32_t* unit_count = nullptr);
