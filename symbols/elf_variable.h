// A variable as the debug information describes it: the record the variable
// index, the watch list and the probe thread's watch readers share.
#pragma once

#include <cstdint>

enum VarLocKind { VAR_LOC_NONE = 0, VAR_LOC_REG = 1, VAR_LOC_FBREG = 2, VAR_LOC_ADDR = 3 };

enum : int { ELF_MAX_MEMBERS = 48 };

struct ElfMember {
    char name[128];
    char type_name[64];
    uint32_t byte_size;
    uint32_t byte_offset;
};

struct ElfVariable {
    char name[128];
    char type_name[64];
    uint32_t byte_size;
    VarLocKind loc_kind;
    // Register number, address, or the offset from the function's frame base
    // (gcc's frame base is the CFA: the SP before the call pushed anything).
    int32_t loc_value;
    // Locals: the entry of the function whose frame holds them (0 for globals).
    uint32_t func_addr;
    bool is_param;
    bool is_struct;
    uint32_t member_count;
    ElfMember members[ELF_MAX_MEMBERS];
};
