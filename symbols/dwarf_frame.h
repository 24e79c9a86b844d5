// Call frame information (.debug_frame): where the canonical frame address
// (CFA) of the function at a pc is, and where the caller's registers were
// saved. gcc's frame base on ARM is the CFA, so a frame-based local lives at
// CFA + offset, not at SP + offset; the unwinder walks the saved registers.
#pragma once

#include <cstdint>

struct DwarfCfaRule {
    uint32_t reg;    // CFA = R[reg] + offset
    int32_t offset;
};

enum DwarfRegRuleKind : uint8_t {
    DWARF_REG_SAME = 0,       // the caller's value is this frame's (callee-saved, untouched)
    DWARF_REG_UNDEFINED = 1,  // lost
    DWARF_REG_OFFSET = 2,     // saved at CFA + offset
    DWARF_REG_VAL_OFFSET = 3, // the value is CFA + offset
    DWARF_REG_REGISTER = 4,   // held in register `offset`
};

enum : int { DWARF_FRAME_REGS = 16 };

// The whole row in force at a pc: the CFA rule and the rules of R0-R15.
// ra_reg is the column that holds the return address (R14 for gcc).
struct DwarfFrameRow {
    DwarfCfaRule cfa;
    uint8_t kind[DWARF_FRAME_REGS];
    int32_t offset[DWARF_FRAME_REGS];
    uint32_t ra_reg;
};

// The row in force at `pc`. False when no entry covers pc or the entry uses
// a form this reader does not evaluate (CFA expressions, 64-bit entries).
bool dwarf_frame_row(const uint8_t* frame, uint32_t size, uint32_t pc, DwarfFrameRow* out);
// Only the CFA rule of that row.
bool dwarf_frame_cfa(const uint8_t* frame, uint32_t size, uint32_t pc, DwarfCfaRule* out);
