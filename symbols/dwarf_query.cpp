// Address and source queries over the loaded tables, and the dump file.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <strings.h>
#include <vector>

#include "symbols/elf_dwarf.h"
#include "symbols/elf_variable.h"

namespace {

// Index of the last entry with address <= pc, or -1 (among equal addresses the last).
template <class T>
int last_at_or_below(const T* items, uint32_t count, uint32_t pc) {
    int lo = 0, hi = (int)count - 1, found = -1;
    while (lo <= hi) {
        int mid = lo + (hi - lo) / 2;
        if (items[mid].address <= pc) {
            found = mid;
            lo = mid + 1;
        } else {
            hi = mid - 1;
        }
    }
    return found;
}

int last_row_at_or_below(const ElfDwarf* e, uint32_t pc) { return last_at_or_below(e->lines, e->line_count, pc); }
int last_func_at_or_below(const ElfDwarf* e, uint32_t pc) { return last_at_or_below(e->funcs, e->func_count, pc); }

// End of function i: address + size, else the next function's start, else 0 (unknown).
uint32_t func_end(const ElfDwarf* e, int i) {
    const FuncEntry& f = e->funcs[i];
    if (f.size) return f.address + f.size;
    if (i + 1 < (int)e->func_count) return e->funcs[i + 1].address;
    return 0;
}

bool path_matches(const char* stored, const char* query) {
    size_t ls = strlen(stored), lq = strlen(query);
    if (lq == 0 || lq > ls) return false;
    if (strcmp(stored + ls - lq, query) != 0) return false;
    if (ls == lq) return true;
    char before = stored[ls - lq - 1];
    return before == '/' || before == '\\';
}

// Every file index with the path of the first index matching the query: the
// same file listed by several units, and DWARF 5's entry 0 / entry 1 pair.
bool match_files(const ElfDwarf* e, const char* query, std::vector<char>* mask) {
    if (!query || !query[0]) return false;
    const char* first = nullptr;
    for (uint32_t i = 1; i < e->file_count; ++i)
        if (e->files[i] && path_matches(e->files[i], query)) {
            first = e->files[i];
            break;
        }
    if (!first) return false;
    mask->assign(e->file_count, 0);
    for (uint32_t i = 1; i < e->file_count; ++i)
        if (e->files[i] && strcmp(e->files[i], first) == 0) (*mask)[i] = 1;
    return true;
}

bool in_code(const ElfDwarf* e, uint32_t addr) {
    uint8_t two[2];
    return elf_read_text(e, addr, two, 2);
}

}  // namespace

bool elf_dwarf_lookup(const ElfDwarf* e, uint32_t pc, ElfLocation* out) {
    if (!e || !out) return false;
    pc &= ~1u;
    out->file[0] = 0;
    out->line = 0;
    snprintf(out->func, sizeof out->func, "?");
    out->prologue_end = false;
    bool found = false;
    int r = last_row_at_or_below(e, pc);
    if (r >= 0) {
        const LineEntry& row = e->lines[r];
        if (row.file_idx < e->file_count && e->files[row.file_idx])
            snprintf(out->file, sizeof out->file, "%s", e->files[row.file_idx]);
        out->line = row.line;
        out->prologue_end = row.prologue_end;
        found = true;
    }
    int f = last_func_at_or_below(e, pc);
    if (f >= 0) {
        uint32_t end = func_end(e, f);
        if (end == 0 || pc < end) snprintf(out->func, sizeof out->func, "%s", e->funcs[f].name);
    }
    return found;
}

uint32_t elf_dwarf_line_to_addr(const ElfDwarf* e, const char* file_path, uint32_t line_nr) {
    std::vector<char> mask;
    if (!e || line_nr == 0 || !match_files(e, file_path, &mask)) return 0;
    for (uint32_t i = 0; i < e->line_count; ++i)
        if (e->lines[i].line == line_nr && mask[e->lines[i].file_idx]) return e->lines[i].address;
    return 0;
}

int elf_dwarf_line_addrs(const ElfDwarf* e, const char* file_path, uint32_t line_nr, uint32_t* out, int max_addrs) {
    std::vector<char> mask;
    if (!e || !out || max_addrs < 1 || line_nr == 0 || !match_files(e, file_path, &mask)) return 0;
    int n = 0;
    for (uint32_t i = 0; i < e->line_count && n < max_addrs; ++i) {
        const LineEntry& row = e->lines[i];
        if (row.line != line_nr || !mask[row.file_idx]) continue;
        uint32_t a = row.address & ~1u;
        if (!in_code(e, a) || std::find(out, out + n, a) != out + n) continue;
        out[n++] = a;
    }
    std::sort(out, out + n);
    return n;
}

bool elf_dwarf_line_span(const ElfDwarf* e, const char* file_path, uint32_t line_nr, uint32_t* out_start,
                         uint32_t* out_end) {
    std::vector<char> mask;
    if (!e || !out_start || !out_end || line_nr == 0 || !match_files(e, file_path, &mask)) return false;
    bool have = false;
    uint32_t start = 0;
    for (uint32_t i = 0; i < e->line_count; ++i) {
        const LineEntry& row = e->lines[i];
        if (row.line != line_nr || !mask[row.file_idx]) continue;
        uint32_t a = row.address & ~1u;
        if (!in_code(e, a)) continue;
        if (!have || a < start) start = a;
        have = true;
    }
    if (!have) return false;
    uint32_t end = 0;
    for (uint32_t i = 0; i < e->line_count; ++i) {
        const LineEntry& row = e->lines[i];
        if (row.address <= start) continue;
        if (row.line == line_nr && mask[row.file_idx]) continue;
        end = row.address;
        break;
    }
    *out_start = start;
    *out_end = end;
    return true;
}

uint32_t elf_dwarf_next_line_addr(const ElfDwarf* e, uint32_t pc) {
    if (!e) return 0;
    pc &= ~1u;
    int r = last_row_at_or_below(e, pc);
    if (r < 0) return 0;
    const LineEntry& cur = e->lines[r];
    for (uint32_t i = (uint32_t)r + 1; i < e->line_count; ++i) {
        const LineEntry& row = e->lines[i];
        if ((row.address & ~1u) > pc && row.file_idx == cur.file_idx && row.line != cur.line) return row.address & ~1u;
    }
    for (uint32_t i = (uint32_t)r + 1; i < e->line_count; ++i)
        if ((e->lines[i].address & ~1u) > pc) return e->lines[i].address & ~1u;
    return 0;
}

bool elf_dwarf_find_function(const ElfDwarf* e, const char* name, uint32_t* out_addr) {
    if (!e || !name || !out_addr) return false;
    for (uint32_t i = 0; i < e->func_count; ++i)
        if (strncmp(e->funcs[i].name, name, 128) == 0) {
            *out_addr = e->funcs[i].address & ~1u;
            return true;
        }
    return false;
}

bool elf_dwarf_is_function_entry(const ElfDwarf* e, uint32_t pc, char* out_name) {
    if (!e) return false;
    int f = last_func_at_or_below(e, pc);
    if (f < 0 || e->funcs[f].address != pc) return false;
    if (out_name) snprintf(out_name, 128, "%s", e->funcs[f].name);
    return true;
}

bool elf_dwarf_func_span(const ElfDwarf* e, uint32_t pc, uint32_t* out_start, uint32_t* out_end) {
    if (!e || !out_start || !out_end) return false;
    *out_start = *out_end = 0;
    pc &= ~1u;
    int f = last_func_at_or_below(e, pc);
    if (f < 0) return false;
    uint32_t end = func_end(e, f);
    if (end != 0 && pc >= end) return false;
    *out_start = e->funcs[f].address;
    *out_end = end;
    return true;
}

namespace {

const char* path_base(const char* path) {
    const char* base = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\') base = p + 1;
    return base;
}

}  // namespace

int elf_dwarf_source_files(const ElfDwarf* e, ElfSourceFile* out, int max) {
    if (!e || max < 0 || (max > 0 && !out)) return 0;
    std::vector<uint32_t> first(e->file_count, 0);
    for (uint32_t i = 0; i < e->line_count; ++i) {
        const LineEntry& r = e->lines[i];
        if (r.line == 0 || r.file_idx == 0 || r.file_idx >= e->file_count) continue;
        uint32_t& f = first[r.file_idx];
        if (f == 0 || r.line < f) f = r.line;
    }
    std::vector<ElfSourceFile> all;
    for (uint32_t i = 1; i < e->file_count; ++i)
        if (first[i] && e->files[i] && e->files[i][0]) all.push_back(ElfSourceFile{e->files[i], first[i]});
    // One entry per path: units that share a header, and DWARF 5's entry 0 /
    // entry 1 pair, name the same file more than once.
    std::sort(all.begin(), all.end(), [](const ElfSourceFile& a, const ElfSourceFile& b) {
        int c = strcmp(a.path, b.path);
        return c != 0 ? c < 0 : a.first_line < b.first_line;
    });
    size_t n = 0;
    for (size_t i = 0; i < all.size(); ++i)
        if (n == 0 || strcmp(all[n - 1].path, all[i].path) != 0) all[n++] = all[i];
    all.resize(n);
    std::stable_sort(all.begin(), all.end(), [](const ElfSourceFile& a, const ElfSourceFile& b) {
        return strcasecmp(path_base(a.path), path_base(b.path)) < 0;
    });
    for (size_t i = 0; i < n && (int)i < max; ++i) out[i] = all[i];
    return (int)std::min<size_t>(n, 0x7FFFFFFF);
}

bool elf_dwarf_row_at(const ElfDwarf* e, uint32_t pc, ElfRow* out) {
    if (!e || !out) return false;
    pc &= ~1u;
    int last = last_row_at_or_below(e, pc), r = last;
    while (r > 0 && e->lines[r].repeat) --r;  // folded into the row before
    if (r < 0) return false;
    uint32_t fs = 0, fe = 0;
    bool in_func = elf_dwarf_func_span(e, pc, &fs, &fe);
    const uint32_t at = e->lines[r].address & ~1u;
    // Outside every function, or a row of another function (the line table
    // of a unit ends without a row of its own): pc has no line, as in a
    // library without debug information.
    if (!in_func || at < fs) return false;
    int k = r;
    for (int j = r; j >= 0 && (e->lines[j].address & ~1u) == at; --j)
        if (e->lines[j].is_stmt && !e->lines[j].repeat) {
            k = j;
            break;
        }
    const LineEntry& row = e->lines[k];
    if (row.line == 0) return false;
    uint32_t next = (uint32_t)last + 1;
    while (next < e->line_count && e->lines[next].repeat) ++next;
    uint32_t end = next < e->line_count ? e->lines[next].address & ~1u : 0;
    if (fe && (end == 0 || end > fe)) end = fe;
    if (end == 0 || end <= pc) end = pc + 2;
    *out = ElfRow{at, end, row.line, row.file_idx, row.is_stmt};
    return true;
}

uint32_t elf_dwarf_after_prologue(const ElfDwarf* e, uint32_t func_addr) {
    uint32_t fs, fe;
    if (!elf_dwarf_func_span(e, func_addr, &fs, &fe)) return 0;
    int r = last_row_at_or_below(e, fs);
    for (uint32_t i = r < 0 ? 0 : (uint32_t)r; i < e->line_count; ++i) {
        uint32_t a = e->lines[i].address & ~1u;
        if (fe && a >= fe) break;
        if (a >= fs && e->lines[i].prologue_end) return a;
    }
    // Two rows at the entry (the opening line, then the first statement at the
    // same address): the function has no prologue to skip.
    int first_at = r;
    while (first_at > 0 && (e->lines[first_at - 1].address & ~1u) == fs) --first_at;
    for (uint32_t i = first_at < 0 ? 0 : (uint32_t)first_at; i + 1 < e->line_count; ++i) {
        uint32_t a = e->lines[i].address & ~1u;
        if (a > fs) break;
        if (a < fs || e->lines[i].line == 0) continue;
        const LineEntry& next = e->lines[i + 1];
        if (next.line != 0 && (next.address & ~1u) == fs && next.file_idx == e->lines[i].file_idx) return fs;
        break;
    }
    ElfRow first;
    if (!elf_dwarf_row_at(e, fs, &first) || (fe && first.end >= fe)) return fs;
    uint32_t post = first.end;
    // A prologue that ends inside a row runs on to that row's end.
    ElfRow mid;
    if (elf_dwarf_row_at(e, post, &mid) && mid.start != post && (!fe || mid.end < fe)) post = mid.end;
    return post;
}

// --- dump -------------------------------------------------------------------------------

namespace {

// The dump keeps to a size and a time, and stops when its image is closed: a
// hostile or merely huge image (thousands of functions of hundreds of
// variables, millions of line rows) would otherwise take minutes and
// gigabytes at every load. Before each entry (a section's head, a row, a
// variable with its members) the room it may take at most is asked for, with
// room left for the line saying where the dump stopped, so the file never
// passes its budget.
struct DumpOut {
    FILE* f;
    long max_bytes, written;
    std::chrono::steady_clock::time_point deadline;
    const std::atomic<bool>* cancel;
    bool stopped, cancelled;
    uint32_t entries;
};

constexpr long kStopRoom = 512;  // the stop line (a name of up to 127 bytes) and the blank lines after it
constexpr size_t kLineRoom = 256;  // a line of a name (< 128), a type name (< 64) and numbers
constexpr size_t kHeadRoom = 1024;  // a section's head

void put(DumpOut* o, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void put(DumpOut* o, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vfprintf(o->f, fmt, ap);
    va_end(ap);
    if (n > 0) o->written += n;
}

void rule(DumpOut* o) { put(o, "=============================================================\n"); }

// True when an entry of at most `bound` bytes may be written; past the budget,
// or once the image is closed, ends the dump instead with a line saying
// before what (printf-style) it stopped.
bool room(DumpOut* o, size_t bound, const char* where_fmt, ...) __attribute__((format(printf, 3, 4)));
bool room(DumpOut* o, size_t bound, const char* where_fmt, ...) {
    if (o->stopped) return false;
    if (ferror(o->f)) {  // a full disk: nothing more is tried
        o->stopped = true;
        return false;
    }
    bool cancelled = o->cancel && o->cancel->load();
    // A row costs less than reading the clock: it is read at every 16th entry.
    bool late = o->entries++ % 16 == 0 && std::chrono::steady_clock::now() >= o->deadline;
    if (!cancelled && !late && o->written + (long)bound + kStopRoom <= o->max_bytes) return true;
    char where[192];
    va_list ap;
    va_start(ap, where_fmt);
    vsnprintf(where, sizeof where, where_fmt, ap);
    va_end(ap);
    if (cancelled) put(o, "\n  ... stopped before %s: the image was closed\n\n", where);
    else put(o, "\n  ... stopped before %s: the dump keeps to %ld KB and its time budget\n\n", where, o->max_bytes / 1024);
    o->stopped = true;
    o->cancelled = cancelled;
    return false;
}

void format_location(const ElfVariable& v, char* out, size_t cap) {
    switch (v.loc_kind) {
    case VAR_LOC_REG: snprintf(out, cap, "R%d", v.loc_value); break;
    case VAR_LOC_FBREG: snprintf(out, cap, "CFA%+d", v.loc_value); break;
    case VAR_LOC_ADDR: snprintf(out, cap, "0x%08X", (uint32_t)v.loc_value); break;
    case VAR_LOC_CONST: snprintf(out, cap, "=0x%llX", (unsigned long long)v.const_value); break;
    case VAR_LOC_EXPR: snprintf(out, cap, "expr(%u bytes)", (unsigned)v.expr_len); break;
    default: snprintf(out, cap, "---"); break;
    }
}

bool dump_summary(const ElfDwarf* e, DumpOut* o) {
    if (!room(o, kHeadRoom, "the summary")) return false;
    rule(o);
    put(o, "  ELF / DWARF INFO\n");
    rule(o);
    if (e->debug_info && e->debug_info_size >= 6) {
        put(o, "  DWARF version   : %u\n", (unsigned)(e->debug_info[4] | (e->debug_info[5] << 8)));
        put(o, "  .debug_info     : %u bytes\n", e->debug_info_size);
        put(o, "  .debug_abbrev   : %u bytes\n", e->debug_abbrev_size);
        put(o, "  .debug_str      : %u bytes\n", e->debug_str_size);
        if (e->debug_loclists) put(o, "  .debug_loclists : %u bytes\n", e->debug_loclists_size);
        if (e->debug_loc) put(o, "  .debug_loc      : %u bytes\n", e->debug_loc_size);
    } else {
        put(o, "  DWARF version   : (no .debug_info \xE2\x80\x94 compile with -g)\n");
    }
    put(o, "  Functions       : %u\n  Source files    : %u\n  Line entries    : %u\n\n", e->func_count, e->file_count,
        e->line_count);
    return true;
}

// A table of `count` rows under its head: `tail(i)` is the text ending row i
// (a path, of any length), `row(i, tail)` writes the row.
template <class Tail, class Row>
bool dump_table(DumpOut* o, const char* title, const char* table, const char* rows, uint32_t count,
                const char* columns, Tail&& tail, Row&& row) {
    if (!room(o, kHeadRoom, "the %s table", table)) return false;
    rule(o);
    put(o, "  %s  (%u entries)\n", title, count);
    rule(o);
    put(o, "%s", columns);
    for (uint32_t i = 0; i < count; ++i) {
        const char* t = tail(i);
        if (!room(o, kLineRoom + strlen(t), "%s %u of %u", rows, i, count)) return false;
        row(i, t);
    }
    put(o, "\n");
    return true;
}

bool dump_files(const ElfDwarf* e, DumpOut* o) {
    return dump_table(
        o, "FILE TABLE", "file", "file", e->file_count, "  Index   Path\n  ------  ----\n",
        [&](uint32_t i) { return e->files[i] ? e->files[i] : "(null)"; },
        [&](uint32_t i, const char* path) { put(o, "  %-6u  %s\n", i, path); });
}

bool dump_functions(const ElfDwarf* e, DumpOut* o) {
    return dump_table(
        o, "FUNCTION TABLE", "function", "function", e->func_count,
        "  Address     Size        Name\n  ----------  ----------  ----\n", [](uint32_t) { return ""; },
        [&](uint32_t i, const char*) {
            put(o, "  0x%08X  %-10u  %s\n", e->funcs[i].address, e->funcs[i].size, e->funcs[i].name);
        });
}

bool dump_lines(const ElfDwarf* e, DumpOut* o) {
    return dump_table(
        o, "LINE NUMBER TABLE", "line", "row", e->line_count, "  Address     Line    File\n  ----------  ------  ----\n",
        [&](uint32_t i) {
            uint16_t fi = e->lines[i].file_idx;
            return fi < e->file_count && e->files[fi] ? e->files[fi] : "?";
        },
        [&](uint32_t i, const char* file) {
            put(o, "  0x%08X  %-6u  %s\n", e->lines[i].address, e->lines[i].line, file);
        });
}

bool dump_sorted_lines(const ElfDwarf* e, DumpOut* o) {
    if (!room(o, kHeadRoom, "the sorted line table")) return false;
    rule(o);
    put(o, "  LINE TABLE SORTED BY LINE NUMBER (per file)\n");
    rule(o);
    std::vector<std::vector<uint32_t>> per_file(e->file_count);
    for (uint32_t i = 0; i < e->line_count; ++i)
        if (e->lines[i].file_idx < e->file_count) per_file[e->lines[i].file_idx].push_back(i);
    for (uint32_t fi = 0; fi < e->file_count; ++fi) {
        std::vector<uint32_t>& rows = per_file[fi];
        if (!e->files[fi] || !e->files[fi][0] || rows.empty()) continue;
        std::stable_sort(rows.begin(), rows.end(),
                         [&](uint32_t a, uint32_t b) { return e->lines[a].line < e->lines[b].line; });
        if (!room(o, kHeadRoom + strlen(e->files[fi]), "file [%u]", fi)) return false;
        put(o, "\n  File [%u]: %s  (%u entries)\n", fi, e->files[fi], (unsigned)rows.size());
        put(o, "  %-6s  %-10s\n  ------  ----------\n", "Line", "Address");
        for (size_t k = 0; k < rows.size(); ++k) {
            if (!room(o, kLineRoom, "row %u of file [%u]", (unsigned)k, fi)) return false;
            put(o, "  %-6u  0x%08X\n", e->lines[rows[k]].line, e->lines[rows[k]].address);
        }
    }
    put(o, "\n");
    return true;
}

bool dump_variable(void* user, const FuncEntry* func, int index, int count, const ElfVariable* v) {
    DumpOut* o = (DumpOut*)user;
    uint32_t members = v->is_struct ? std::min<uint32_t>(v->member_count, ELF_MAX_MEMBERS) : 0;
    if (!room(o, kLineRoom * (3 + members), "[0x%08X] %s", func->address, func->name)) return false;
    if (index == 0) {
        put(o, "\n  [0x%08X]  %s  (%d var%s)\n", func->address, func->name, count, count == 1 ? "" : "s");
        put(o, "  ------------------------------------------------------------\n");
    }
    char loc[32];
    format_location(*v, loc, sizeof loc);
    put(o, "    %c  %-24s  %-16s  sz=%-3u  loc=%s\n", v->is_param ? 'P' : 'L', v->name, v->type_name, v->byte_size,
        loc);
    for (uint32_t m = 0; m < members; ++m)
        put(o, "         .%-23s  %-16s  sz=%-3u  +%u\n", v->members[m].name, v->members[m].type_name,
            v->members[m].byte_size, v->members[m].byte_offset);
    return true;
}

void dump_variables(const ElfDwarf* e, DumpOut* o) {
    if (!room(o, kHeadRoom, "the variables")) return;
    rule(o);
    put(o, "  VARIABLES PER FUNCTION  (entry-point snapshot)\n");
    if (!e->debug_info || !e->debug_abbrev) {
        put(o, "  (no .debug_info section \xE2\x80\x94 compile with -g)\n\n");
        return;
    }
    rule(o);
    dwarf_entry_snapshots(e, dump_variable, o);
    if (!o->stopped) put(o, "\n");
}

}  // namespace

bool elf_dwarf_dump_to_file(const ElfDwarf* e, const char* path, long max_bytes, int max_ms,
                            const std::atomic<bool>* cancel) {
    if (!e || !path) {
        elf_dwarf_set_error("NULL argument");
        return false;
    }
    FILE* f = fopen(path, "w");
    if (!f) {
        elf_dwarf_set_error("Cannot open output file for writing");
        return false;
    }
    DumpOut o{f, max_bytes, 0, std::chrono::steady_clock::now() + std::chrono::milliseconds(max_ms), cancel,
              false, false, 0};
    if (dump_summary(e, &o) && dump_files(e, &o) && dump_functions(e, &o) && dump_lines(e, &o) &&
        dump_sorted_lines(e, &o))
        dump_variables(e, &o);
    // A full disk or an I/O error shows only here: the dump is then not written.
    bool failed = ferror(f) != 0;
    if (fclose(f) != 0) failed = true;
    if (o.cancelled) {
        elf_dwarf_set_error("The dump stopped: its image was closed");
        return false;
    }
    if (failed) {
        elf_dwarf_set_error("Failed to write the output file");
        return false;
    }
    return true;
}
