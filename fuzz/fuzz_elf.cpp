// Firmware images: the ELF/DWARF load and the queries a debugging session
// runs on what loads (lines, functions, inlined calls, frames, variables and
// their values, the start-up dump).
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_file.h"
#include "symbols/dwarf_expr.h"
#include "symbols/elf_dwarf.h"
#include "symbols/elf_variable.h"

namespace {

constexpr int kVars = 64;
ElfVariable g_vars[kVars];
ElfVariable g_one;

bool symbol_at(void*, uint32_t addr, char* out, size_t cap) {
    if (addr & 3) return false;
    snprintf(out, cap, "sym_%x", addr);
    return true;
}

bool read_mem(void*, uint32_t addr, uint8_t* buf, uint32_t len) {
    for (uint32_t i = 0; i < len; ++i) buf[i] = (uint8_t)(addr + i * 37);
    return true;
}

bool read_stack(void*, uint32_t addr, uint8_t* out, uint32_t len) { return read_mem(nullptr, addr, out, len); }

void check_text(const char* s, size_t cap) {
    if (strnlen(s, cap) >= cap) abort();
}

void values(const ElfDwarf* e, const ElfVariable* v, int n, uint32_t pc) {
    uint8_t bytes[256];
    char text[512];
    ElfValueContext ctx{nullptr, symbol_at, read_mem};
    for (int i = 0; i < n; ++i) {
        check_text(v[i].name, sizeof v[i].name);
        check_text(v[i].type_name, sizeof v[i].type_name);
        if (v[i].member_count > ELF_MAX_MEMBERS) abort();
        read_mem(nullptr, (uint32_t)i * 1021, bytes, sizeof bytes);
        uint32_t len = v[i].byte_size < sizeof bytes ? v[i].byte_size : sizeof bytes;
        if (elf_dwarf_value_text(e, v[i].type_unit, v[i].type_die, bytes, len, &ctx, text, sizeof text))
            check_text(text, sizeof text);
        for (uint32_t k = 0; k < v[i].member_count; ++k) {
            const ElfMember& m = v[i].members[k];
            check_text(m.name, sizeof m.name);
            elf_dwarf_value_text(e, m.type_unit, m.type_die, bytes, 8, &ctx, text, sizeof text, m.bit_offset,
                                 m.bit_size);
        }
        if (v[i].elem_count)
            elf_dwarf_value_text(e, v[i].elem_unit, v[i].elem_die, bytes, 16, nullptr, text, sizeof text);
        char en[64];
        elf_dwarf_enum_name(e, v[i].type_unit, v[i].type_die, 1, en, sizeof en);
        int64_t ev;
        elf_dwarf_enum_value(e, v[i].type_unit, v[i].type_die, "A", &ev);
        if (elf_dwarf_locate(e, &v[i], pc + 2, &g_one)) check_text(g_one.name, sizeof g_one.name);
        if (v[i].loc_kind == VAR_LOC_EXPR) {
            uint32_t regs[16];
            for (int r = 0; r < 16; ++r) regs[r] = 0x20001000u + (uint32_t)r * 4;
            DwarfExprEnv env{regs, true, 0x20002000u, read_stack, nullptr};
            uint64_t value;
            dwarf_expr_eval(v[i].expr, v[i].expr_len, &env, v[i].byte_size ? (v[i].byte_size > 8 ? 8 : v[i].byte_size) : 4,
                            &value);
        }
    }
}

void at_pc(const ElfDwarf* e, uint32_t pc) {
    ElfLocation loc;
    if (elf_dwarf_lookup(e, pc, &loc)) {
        check_text(loc.file, sizeof loc.file);
        check_text(loc.func, sizeof loc.func);
        if (loc.file[0] && loc.line) {
            uint32_t addrs[16], s, end;
            elf_dwarf_line_to_addr(e, loc.file, loc.line);
            int n = elf_dwarf_line_addrs(e, loc.file, loc.line, addrs, 16);
            if (n > 16) abort();
            elf_dwarf_line_span(e, loc.file, loc.line, &s, &end);
        }
    }
    elf_dwarf_next_line_addr(e, pc);
    char name[128];
    elf_dwarf_is_function_entry(e, pc, name);
    uint32_t lo, hi;
    elf_dwarf_func_span(e, pc, &lo, &hi);
    ElfRow row;
    elf_dwarf_row_at(e, pc, &row);
    elf_dwarf_after_prologue(e, pc);
    ElfInline chain[ELF_MAX_INLINE];
    int depth = elf_dwarf_inline_chain(e, pc, chain, ELF_MAX_INLINE);
    if (depth < 0 || depth > ELF_MAX_INLINE) abort();
    for (int i = 0; i < depth; ++i) check_text(chain[i].func, sizeof chain[i].func);
    uint32_t regs[16] = {};
    regs[13] = 0x20001F00u;
    regs[14] = 0xFFFFFFF9u;
    regs[15] = pc;
    uint32_t base;
    elf_dwarf_frame_base(e, regs, &base);
    int n = elf_dwarf_get_variables(e, pc, g_vars, kVars);
    if (n > kVars) abort();
    if (n > 0) values(e, g_vars, n, pc);
    if (depth > 0) {
        n = elf_dwarf_get_frame_variables(e, pc, 1, g_vars, kVars);
        if (n > kVars) abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_begin();
    if (size > 0xFFFFFFFFu) return 0;
    ElfDwarf* e = elf_dwarf_load_buffer(data, (uint32_t)size);
    if (!e) {
        check_text(elf_dwarf_error(), 512);
        return 0;
    }
    uint32_t main_addr;
    elf_dwarf_find_function(e, "main", &main_addr);
    // Function entries and line rows, a bounded sample spread over each table.
    const uint32_t kSample = 8;
    for (uint32_t i = 0; i < e->func_count && i < kSample; ++i)
        at_pc(e, e->funcs[(uint64_t)i * e->func_count / (e->func_count < kSample ? e->func_count : kSample)].address);
    uint32_t rows = e->line_count < kSample ? e->line_count : kSample;
    for (uint32_t i = 0; i < rows; ++i) at_pc(e, e->lines[(uint64_t)i * e->line_count / rows].address + 2);
    uint8_t text[16];
    elf_read_text(e, elf_text_base(e), text, sizeof text);
    int n = elf_dwarf_get_all_variables(e, g_vars, kVars);
    if (n > kVars) abort();
    if (n > 0) values(e, g_vars, n, 0);
    elf_dwarf_dump_to_file(e, "/dev/null", 1L << 20, 500);
    elf_dwarf_free(e);
    return 0;
}
