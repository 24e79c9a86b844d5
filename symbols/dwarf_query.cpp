// Address and source queries over the loaded tables, and the dump file.
#include <algorithm>
#include <chrono>
#include <cstring>
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

static void rule(FILE* f) { fprintf(f, "=============================================================\n"); }

static void format_location(const ElfVariable& v, char* out, size_t cap) {
    switch (v.loc_kind) {
    case VAR_LOC_REG: snprintf(out, cap, "R%d", v.loc_value); break;
    case VAR_LOC_FBREG: snprintf(out, cap, "CFA%+d", v.loc_value); break;
    case VAR_LOC_ADDR: snprintf(out, cap, "0x%08X", (uint32_t)v.loc_value); break;
    case VAR_LOC_CONST: snprintf(out, cap, "=0x%llX", (unsigned long long)v.const_value); break;
    case VAR_LOC_EXPR: snprintf(out, cap, "expr(%u bytes)", (unsigned)v.expr_len); break;
    default: snprintf(out, cap, "---"); break;
    }
}

// The variables' part of the dump keeps to a size and a time: a hostile or
// merely huge image (thousands of functions of hundreds of variables) would
// otherwise take minutes and gigabytes at every load.
struct DumpBudget {
    FILE* f;
    long max_bytes;
    std::chrono::steady_clock::time_point deadline;
    bool stopped;
};

static bool dump_variable(void* user, const FuncEntry* func, int index, int count, const ElfVariable* v) {
    DumpBudget* b = (DumpBudget*)user;
    FILE* f = b->f;
    if (ftell(f) > b->max_bytes || std::chrono::steady_clock::now() > b->deadline) {
        fprintf(f, "\n  ... stopped before [0x%08X] %s: the dump keeps to %ld KB and its time budget\n", func->address,
                func->name, b->max_bytes / 1024);
        b->stopped = true;
        return false;
    }
    if (index == 0) {
        fprintf(f, "\n  [0x%08X]  %s  (%d var%s)\n", func->address, func->name, count, count == 1 ? "" : "s");
        fprintf(f, "  ------------------------------------------------------------\n");
    }
    char loc[32];
    format_location(*v, loc, sizeof loc);
    fprintf(f, "    %c  %-24s  %-16s  sz=%-3u  loc=%s\n", v->is_param ? 'P' : 'L', v->name, v->type_name, v->byte_size,
            loc);
    if (v->is_struct)
        for (uint32_t m = 0; m < v->member_count && m < ELF_MAX_MEMBERS; ++m)
            fprintf(f, "         .%-23s  %-16s  sz=%-3u  +%u\n", v->members[m].name, v->members[m].type_name,
                    v->members[m].byte_size, v->members[m].byte_offset);
    return !ferror(f);
}

bool elf_dwarf_dump_to_file(const ElfDwarf* e, const char* path, long max_bytes, int max_ms) {
    if (!e || !path) {
        elf_dwarf_set_error("NULL argument");
        return false;
    }
    FILE* f = fopen(path, "w");
    if (!f) {
        elf_dwarf_set_error("Cannot open output file for writing");
        return false;
    }
    rule(f);
    fprintf(f, "  ELF / DWARF INFO\n");
    rule(f);
    if (e->debug_info && e->debug_info_size >= 6) {
        fprintf(f, "  DWARF version   : %u\n", (unsigned)(e->debug_info[4] | (e->debug_info[5] << 8)));
        fprintf(f, "  .debug_info     : %u bytes\n", e->debug_info_size);
        fprintf(f, "  .debug_abbrev   : %u bytes\n", e->debug_abbrev_size);
        fprintf(f, "  .debug_str      : %u bytes\n", e->debug_str_size);
        if (e->debug_loclists) fprintf(f, "  .debug_loclists : %u bytes\n", e->debug_loclists_size);
        if (e->debug_loc) fprintf(f, "  .debug_loc      : %u bytes\n", e->debug_loc_size);
    } else {
        fprintf(f, "  DWARF version   : (no .debug_info \xE2\x80\x94 compile with -g)\n");
    }
    fprintf(f, "  Functions       : %u\n  Source files    : %u\n  Line entries    : %u\n\n", e->func_count,
            e->file_count, e->line_count);
    rule(f);
    fprintf(f, "  FILE TABLE  (%u entries)\n", e->file_count);
    rule(f);
    fprintf(f, "  %-6s  %s\n  ------  ----\n", "Index", "Path");
    for (uint32_t i = 0; i < e->file_count; ++i) fprintf(f, "  %-6u  %s\n", i, e->files[i] ? e->files[i] : "(null)");
    fprintf(f, "\n");
    rule(f);
    fprintf(f, "  FUNCTION TABLE  (%u entries)\n", e->func_count);
    rule(f);
    fprintf(f, "  %-10s  %-10s  %s\n  ----------  ----------  ----\n", "Address", "Size", "Name");
    for (uint32_t i = 0; i < e->func_count; ++i)
        fprintf(f, "  0x%08X  %-10u  %s\n", e->funcs[i].address, e->funcs[i].size, e->funcs[i].name);
    fprintf(f, "\n");
    rule(f);
    fprintf(f, "  LINE NUMBER TABLE  (%u entries)\n", e->line_count);
    rule(f);
    fprintf(f, "  %-10s  %-6s  %s\n  ----------  ------  ----\n", "Address", "Line", "File");
    for (uint32_t i = 0; i < e->line_count; ++i) {
        const LineEntry& r = e->lines[i];
        const char* file = r.file_idx < e->file_count && e->files[r.file_idx] ? e->files[r.file_idx] : "?";
        fprintf(f, "  0x%08X  %-6u  %s\n", r.address, r.line, file);
    }
    fprintf(f, "\n");
    rule(f);
    fprintf(f, "  LINE TABLE SORTED BY LINE NUMBER (per file)\n");
    rule(f);
    std::vector<std::vector<uint32_t>> per_file(e->file_count);
    for (uint32_t i = 0; i < e->line_count; ++i)
        if (e->lines[i].file_idx < e->file_count) per_file[e->lines[i].file_idx].push_back(i);
    for (uint32_t fi = 0; fi < e->file_count; ++fi) {
        std::vector<uint32_t>& rows = per_file[fi];
        if (!e->files[fi] || !e->files[fi][0] || rows.empty()) continue;
        std::stable_sort(rows.begin(), rows.end(),
                         [&](uint32_t a, uint32_t b) { return e->lines[a].line < e->lines[b].line; });
        fprintf(f, "\n  File [%u]: %s  (%u entries)\n", fi, e->files[fi], (unsigned)rows.size());
        fprintf(f, "  %-6s  %-10s\n  ------  ----------\n", "Line", "Address");
        for (uint32_t r : rows) fprintf(f, "  %-6u  0x%08X\n", e->lines[r].line, e->lines[r].address);
    }
    fprintf(f, "\n");
    rule(f);
    fprintf(f, "  VARIABLES PER FUNCTION  (entry-point snapshot)\n");
    if (!e->debug_info || !e->debug_abbrev) {
        fprintf(f, "  (no .debug_info section \xE2\x80\x94 compile with -g)\n\n");
    } else {
        rule(f);
        DumpBudget budget{f, max_bytes, std::chrono::steady_clock::now() + std::chrono::milliseconds(max_ms), false};
        dwarf_entry_snapshots(e, dump_variable, &budget);
        fprintf(f, "\n");
    }
    // A full disk or an I/O error shows only here: the dump is then not written.
    bool failed = ferror(f) != 0;
    if (fclose(f) != 0) failed = true;
    if (failed) {
        elf_dwarf_set_error("Failed to write the output file");
        return false;
    }
    return true;
}
