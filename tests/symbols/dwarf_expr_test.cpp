// The expression evaluator on the forms gcc writes for optimised locals, and
// on hostile ones: every case its expected value or its refusal.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "symbols/dwarf_expr.h"

namespace {

// Memory: 0x1000.. holds bytes 0x10, 0x11, ...; nothing else reads.
bool mem(void*, uint32_t addr, uint8_t* out, uint32_t len) {
    if (addr < 0x1000 || addr + len > 0x1040 || addr + len < addr) return false;
    for (uint32_t i = 0; i < len; ++i) out[i] = (uint8_t)(0x10 + addr - 0x1000 + i);
    return true;
}

struct Case {
    const char* what;
    std::vector<uint8_t> expr;
    uint32_t size;
    bool ok;
    uint64_t value;
};

TEST(DwarfExpr, EvaluatesWhatGccWritesAndRefusesTheRest) {
    const uint32_t regs[16] = {0, 0xFFFFFFFF, 7, 0x40, 0x1008, 0, 0x89ABCDEF, 0x01234567, 0, 0, 0, 0, 0, 0x1020, 0, 0};
    const Case cases[] = {
        {"breg3 4; stack_value", {0x73, 0x04, 0x9F}, 4, true, 0x44},
        {"breg2 -1; stack_value", {0x72, 0x7F, 0x9F}, 4, true, 6},
        {"breg4 4: memory at r4 + 4", {0x74, 0x04}, 4, true, 0x1F1E1D1C},
        {"breg13 0; deref_size 1; stack_value", {0x7D, 0x00, 0x94, 0x01, 0x9F}, 1, true, 0x30},
        {"bregx 3 0; lit6; shr; const1u 63; and; stack_value", {0x92, 3, 0, 0x36, 0x25, 0x08, 63, 0x1A, 0x9F}, 4, true, 1},
        {"a double in r6:r7", {0x56, 0x93, 4, 0x57, 0x93, 4}, 8, true, 0x0123456789ABCDEFull},
        {"regx 2 piece 2, lit9 stack_value piece 2", {0x90, 2, 0x93, 2, 0x39, 0x9F, 0x93, 2}, 4, true, 0x00090007},
        {"memory piece then register piece", {0x74, 0, 0x93, 4, 0x52, 0x93, 4}, 8, true, 0x000000071B1A1918ull},
        {"implicit_value 2 bytes as a piece", {0x9E, 2, 0xAB, 0xCD, 0x93, 2}, 2, true, 0xCDAB},
        {"fbreg -8 on the CFA", {0x91, 0x78}, 4, true, 0x2B2A2928},
        {"call_frame_cfa; stack_value", {0x9C, 0x9F}, 4, true, 0x1020},
        {"lit1 neg: 32-bit wrap", {0x31, 0x1F, 0x9F}, 4, true, 0xFFFFFFFF},
        {"const1s -2 lit3 mul", {0x09, 0xFE, 0x33, 0x1E, 0x9F}, 4, true, 0xFFFFFFFA},
        {"shra of a negative", {0x09, 0xF0, 0x32, 0x26, 0x9F}, 4, true, 0xFFFFFFFC},
        {"shl by 40 is 0", {0x31, 0x08, 40, 0x24, 0x9F}, 4, true, 0},
        {"dup plus; over minus; swap drop", {0x35, 0x12, 0x22, 0x33, 0x14, 0x1C, 0x16, 0x13, 0x9F}, 4, true, 0xFFFFFFF9},
        {"plus_uconst; xor; or; not", {0x30, 0x23, 0x81, 0x01, 0x3F, 0x27, 0x31, 0x21, 0x20, 0x9F}, 4, true, ~((0x81u ^ 15u) | 1u)},
        {"deref of r4", {0x74, 0, 0x06, 0x9F}, 4, true, 0x1B1A1918},
        {"entry_value", {0xA3, 1, 0x50, 0x9F}, 4, false, 0},
        {"GNU entry_value", {0xF3, 1, 0x50, 0x9F}, 4, false, 0},
        {"a register past r15", {0x90, 64}, 4, false, 0},
        {"breg of a VFP register", {0x92, 64, 0}, 4, false, 0},
        {"a register value wider than it", {0x50}, 8, false, 0},
        {"an op after a register", {0x50, 0x30}, 4, false, 0},
        {"an op after stack_value", {0x30, 0x9F, 0x30}, 4, false, 0},
        {"an empty piece: optimised out", {0x93, 4, 0x50, 0x93, 4}, 8, false, 0},
        {"pieces short of the size", {0x50, 0x93, 4}, 8, false, 0},
        {"pieces past 8 bytes", {0x50, 0x93, 4, 0x51, 0x93, 4, 0x52, 0x93, 4}, 8, false, 0},
        {"unreadable memory", {0x40, 0x06, 0x9F}, 4, false, 0},
        {"stack underflow", {0x22, 0x9F}, 4, false, 0},
        {"stack overflow", std::vector<uint8_t>(17, 0x30), 4, false, 0},
        {"division by zero", {0x31, 0x30, 0x1B, 0x9F}, 4, false, 0},
        {"a branch", {0x2F, 0, 0}, 4, false, 0},
        {"a cut LEB", {0x73, 0x80}, 4, false, 0},
        {"a cut const4u", {0x0C, 1, 2}, 4, false, 0},
        {"implicit_value longer than the expression", {0x9E, 9, 1, 2}, 2, false, 0},
        {"pick past the stack", {0x30, 0x15, 1, 0x9F}, 4, false, 0},
        {"size 0", {0x30, 0x9F}, 0, false, 0},
        {"size 9", {0x30, 0x9F}, 9, false, 0},
    };
    DwarfExprEnv env{regs, true, 0x1020, mem, nullptr};
    for (const Case& c : cases) {
        uint64_t v = 0xDEAD;
        bool ok = dwarf_expr_eval(c.expr.data(), (uint32_t)c.expr.size(), &env, c.size, &v);
        EXPECT_EQ(ok, c.ok) << c.what;
        if (ok && c.ok) {
            EXPECT_EQ(v, c.value) << c.what;
        }
    }
    // Without a CFA the frame-based forms are refused; a dry run (no
    // registers) takes exactly what a real one could.
    DwarfExprEnv no_cfa{regs, false, 0, mem, nullptr}, dry{nullptr, true, 0, nullptr, nullptr};
    uint64_t v;
    const uint8_t fbreg[] = {0x91, 0x78}, cfa[] = {0x9C, 0x9F};
    EXPECT_FALSE(dwarf_expr_eval(fbreg, 2, &no_cfa, 4, &v));
    EXPECT_FALSE(dwarf_expr_eval(cfa, 2, &no_cfa, 4, &v));
    for (const Case& c : cases)
        if (std::string(c.what) != "unreadable memory" && std::string(c.what) != "division by zero") {
            EXPECT_EQ(dwarf_expr_eval(c.expr.data(), (uint32_t)c.expr.size(), &dry, c.size, &v), c.ok) << "dry: " << c.what;
        }
}

}  // namespace
