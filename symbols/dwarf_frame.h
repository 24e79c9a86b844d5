// Call frame information (.debug_frame): where the canonical frame address
// (CFA) of the function at a pc is. gcc's frame base on ARM is the CFA, so a
// frame-based local lives at CFA + offset, not at SP + offset.
#pragma once

#include <cstdint>

struct DwarfCfaRule {
    uint32_t reg;    // CFA = R[reg] + offset
    int32_t offset;
};

// The rule in force at `pc`. False when no entry covers pc or the entry uses
// a form this reader does not evaluate (CFA expressions, 64-bit entries).
bool dwarf_frame_cfa(const uint8_t* frame, uint32_t size, uint32_t pc, DwarfCfaRule* out);
