// The DWARF readers that take a section's bytes directly: the line program,
// call frame information and location expressions. Faster than reaching them
// through whole images, so mutations go deeper. The first byte picks the
// reader, the rest is the section.
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "fuzz/fuzz_file.h"
#include "symbols/dwarf_expr.h"
#include "symbols/dwarf_frame.h"
#include "symbols/elf_dwarf.h"

namespace {

bool read_mem(void*, uint32_t addr, uint8_t* out, uint32_t len) {
    if (addr < 0x20000000u) return false;
    for (uint32_t i = 0; i < len; ++i) out[i] = (uint8_t)(addr >> (8 * (i & 3)));
    return true;
}

void lines(const uint8_t* d, uint32_t n) {
    static const char str[] = "main.c\0/src\0";
    DwarfStrings strs{(const uint8_t*)str, sizeof str, (const uint8_t*)str, sizeof str};
    LineEntry* rows = nullptr;
    char** files = nullptr;
    DwarfLineUnit* units = nullptr;
    uint32_t row_count = 0, file_count = 0, unit_count = 0;
    if (parse_debug_line(d, n, &strs, &rows, &row_count, &files, &file_count, &units, &unit_count)) {
        for (uint32_t i = 0; i < row_count; ++i)
            if (rows[i].file_idx >= file_count && rows[i].file_idx != 0) abort();
        for (uint32_t i = 0; i < file_count; ++i)
            if (files[i]) (void)strlen(files[i]);
    }
    free(rows);
    if (files)
        for (uint32_t i = 0; i < file_count; ++i) free(files[i]);
    free(files);
    free(units);
}

void frames(const uint8_t* d, uint32_t n) {
    // The pcs the entries themselves name are the interesting ones: try the
    // words of the section as pcs, a bounded few.
    for (uint32_t i = 0; i + 4 <= n && i < 64 * 4; i += 4) {
        uint32_t pc;
        memcpy(&pc, d + i, 4);
        DwarfFrameRow row;
        dwarf_frame_row(d, n, pc, &row);
        DwarfCfaRule cfa;
        dwarf_frame_cfa(d, n, pc + 2, &cfa);
    }
}

void expr(const uint8_t* d, uint32_t n) {
    uint32_t regs[16];
    for (int r = 0; r < 16; ++r) regs[r] = 0x20000000u + (uint32_t)r * 0x100;
    DwarfExprEnv env{regs, true, 0x20001000u, read_mem, nullptr};
    DwarfExprEnv dry{nullptr, false, 0, nullptr, nullptr};
    for (uint32_t size : {1u, 4u, 8u}) {
        uint64_t v;
        dwarf_expr_eval(d, n, &env, size, &v);
        dwarf_expr_eval(d, n, &dry, size, &v);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_begin();
    if (size < 1 || size > 0xFFFFFFFFu) return 0;
    const uint8_t* d = data + 1;
    uint32_t n = (uint32_t)size - 1;
    switch (data[0] % 3) {
    case 0: lines(d, n); break;
    case 1: frames(d, n); break;
    default: expr(d, n); break;
    }
    return 0;
}
