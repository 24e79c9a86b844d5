// C literals typed by the user, turned into the bytes of a value of the
// edited type: integers (decimal, 0x, 0b, octal), floats, characters,
// true/false and enumerator names, refused when they do not fit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "symbols/elf_variable.h"

struct ValueType {
    VarValueKind kind;  // UNSIGNED, SIGNED, FLOAT, BOOL, CHAR, ENUM, POINTER (UNKNOWN reads as UNSIGNED)
    uint32_t size;      // bytes, 1-8
    uint32_t bits;      // a bit field's width (0: the whole size)
    bool is_signed;     // a char or an enum of signed values
    // An enum's enumerator by name (null: enumerators are not known).
    bool (*enum_value)(const void* user, const char* name, int64_t* value);
    const void* user;
};

// The text as a value of the type, little-endian into out[0 .. size).
// False with the reason in err (nothing is written then).
bool value_parse(const ValueType& t, const char* text, uint8_t* out, char* err, size_t err_cap);
// The value as the field first shows it: a literal value_parse takes back.
void value_literal(const ValueType& t, uint64_t v, char* out, size_t cap,
                   bool (*enum_name)(const void* user, uint64_t v, char* out, size_t cap) = nullptr);
