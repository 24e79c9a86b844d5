// DWARF location expressions the variable reader keeps whole: values computed
// from registers and memory (DW_OP_breg3 4; DW_OP_stack_value), memory at a
// register other than SP, and values split over registers (a double in
// r6:r7). Evaluated on the halted core for the innermost frame only: the
// registers of outer frames are not the core's.
#pragma once

#include <cstdint>

enum : uint32_t { DWARF_EXPR_MAX = 24 };  // bytes an ElfVariable keeps

typedef bool (*DwarfExprReadFn)(void* user, uint32_t addr, uint8_t* out, uint32_t len);

struct DwarfExprEnv {
    const uint32_t* regs;  // R0-R15; null: a dry run (registers and memory read as 0)
    bool have_cfa;         // the frame's CFA, for DW_OP_call_frame_cfa and DW_OP_fbreg
    uint32_t cfa;
    DwarfExprReadFn read;  // memory; null: no memory can be read
    void* user;
};

// The value of `size` (1-8) bytes the expression describes, little-endian in
// *value: a location (the address on the stack, or a register) is read, a
// DW_OP_stack_value is the value, pieces are put together. False for an
// operation this evaluator does not know (DW_OP_entry_value, branches,
// typed operations), a register past R15, a stack over- or underflow, a read
// that fails, or pieces that do not add up to `size`. Without branches every
// operation moves forward: the steps are bounded by the length.
bool dwarf_expr_eval(const uint8_t* expr, uint32_t len, const DwarfExprEnv* env, uint32_t size, uint64_t* value);
