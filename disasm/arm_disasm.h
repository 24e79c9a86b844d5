// One ARM or Thumb/Thumb-2 instruction at a known address as one line of
// assembler text. The state record lives across calls: the IT block,
// symbols and the code/data markers carry from one instruction to the next.
#pragma once

#include <cstddef>
#include <cstdint>

struct ARMSYMBOL {
    char* name;  // owned, may be null
    uint32_t address;
    int mode;  // 1 ARM code, 2 Thumb code, other values plain labels
};

// A marker holds from its address up to the next marker; a literal word
// marked by a PC-relative load covers only its own 4 bytes (size 4).
struct ARMPOOL {
    uint32_t address;
    uint16_t size;  // 0: up to the next marker; else the bytes it covers
    uint16_t type;  // bit 0: DISASM_CODE or DISASM_DATA; bit 8: set by a mapping symbol
};

struct ARMDATA {
    uint32_t address;
    uint32_t size;
    uint8_t* block;  // owned copy
};

enum : int { DISASM_CODE = 0, DISASM_DATA = 1 };
enum : int { DISASM_ADD_ADDR = 1, DISASM_ADD_BIN = 2, DISASM_ADD_CMT = 4 };

struct ARMSTATE {
    char text[128];  // the line being built, at most 127 characters
    uint32_t address;
    uint16_t size;  // of the current instruction: 2 or 4, 0 before decoding
    uint8_t arm_mode;
    uint8_t add_addr, add_bin, add_cmt;
    // bits 3:0 the IT mask still to run, bit 4 the then/else bit of the current
    // slot, bit 5 set only right after the IT itself; 0 outside a block
    uint16_t it_mask;
    uint16_t it_cond;
    uint32_t ldr_addr;  // literal the current instruction loads, 0xFFFFFFFF when none
    ARMSYMBOL* symbols;
    int symbolcount, symbolsize;
    ARMPOOL* codepool;
    int poolcount, poolsize;
    ARMDATA* literals;
    int literals_count;
};

void disasm_init(ARMSTATE* s, int flags);
void disasm_cleanup(ARMSTATE* s);
void disasm_address(ARMSTATE* s, uint32_t addr);
// Mode 1/2 marks the address as code. ELF mapping symbols ("$a", "$t", "$d",
// also with a ".suffix") set a code or data marker instead of a name.
void disasm_symbol(ARMSTATE* s, const char* name, uint32_t addr, int mode);
void disasm_clear_codepool(ARMSTATE* s);
bool disasm_thumb(ARMSTATE* s, uint16_t hw, uint16_t hw2);
bool disasm_arm(ARMSTATE* s, uint32_t w);
const char* disasm_result(ARMSTATE* s, int* size);
