// A variable as the debug information describes it: the record the variable
// index, the watch list and the probe thread's watch readers share.
#pragma once

#include <cstdint>

// FBREG: at the CFA of the variable's own frame + offset (the SP before the
// call pushed anything). CONST: a value without a place (const_value). EXPR:
// computed from the innermost frame's registers and memory by expr.
enum VarLocKind {
    VAR_LOC_NONE = 0,
    VAR_LOC_REG = 1,
    VAR_LOC_FBREG = 2,
    VAR_LOC_ADDR = 3,
    VAR_LOC_CONST = 4,
    VAR_LOC_EXPR = 5,
};

// How a value of the variable's type reads, through typedefs and qualifiers.
enum VarValueKind : uint8_t {
    VAR_VAL_UNKNOWN = 0,
    VAR_VAL_UNSIGNED,
    VAR_VAL_SIGNED,
    VAR_VAL_FLOAT,
    VAR_VAL_BOOL,
    VAR_VAL_CHAR,  // signed or unsigned: shown with the character
    VAR_VAL_ENUM,  // enumerators by elf_dwarf_enum_name
    VAR_VAL_POINTER,
    VAR_VAL_AGGREGATE,  // structure, union or array
};

enum : int { ELF_MAX_MEMBERS = 48 };

struct ElfMember {
    char name[128];  // a base class as "<Base>", the way gdb prints it
    char type_name[64];
    uint32_t byte_size;
    uint32_t byte_offset;
    uint32_t type_unit, type_die;  // its type's entry, for elf_dwarf_value_text
    uint16_t bit_size;             // a bit-field: its width, else 0
    uint16_t bit_offset;           // and its lowest bit, counted from byte_offset's lowest
};

struct ElfVariable {
    char name[128];
    char type_name[64];
    uint32_t byte_size;
    VarLocKind loc_kind;
    // Register number, address, or the offset from the frame's CFA.
    int32_t loc_value;
    uint64_t const_value;  // VAR_LOC_CONST: the value's bytes, little-endian
    uint8_t expr_len;      // VAR_LOC_EXPR: a DWARF expression for dwarf_expr_eval
    uint8_t expr[24];
    // Locals: the entry of the function whose frame holds them (0 for globals).
    uint32_t func_addr;
    VarValueKind value_kind;
    bool value_signed;             // an enum of signed values, a signed char
    uint32_t type_unit, type_die;  // its type's entry through typedefs and qualifiers: unit and .debug_info offset
    bool is_param;
    bool is_struct;
    uint32_t member_count;
    ElfMember members[ELF_MAX_MEMBERS];
    // An array: its elements' type entry, size and count (the first dimension's).
    uint32_t elem_unit, elem_die, elem_size, elem_count;
    // Bytes to read where a pointer or reference points: the string of a
    // char pointer, the referent of a reference (0: none).
    uint8_t deref;
    // A location list: the place above holds at the pc it was read for only;
    // elf_dwarf_locate finds it at another from the entry (unit, .debug_info
    // offset) and its function's.
    bool loc_list;
    uint32_t var_unit, var_die, sub_die;
};
