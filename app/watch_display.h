// The Watch tab's value texts, rebuilt from the probe thread's published
// values whenever fresh registers arrive.
#pragma once

#include <cstddef>
#include <cstdint>

struct ElfVariable;

// A value of the variable's type as the Watch tab shows it: the raw bytes in
// hex, then the value as C reads it (signed, float, bool, char, enumerator).
void watch_format(const ElfVariable& var, uint64_t v, char* out, size_t cap);

// A watch's text from its bytes: a scalar as watch_format writes it, anything
// else as gdb prints it, pointers named by the globals of the index and the
// functions; read_mem (optional) gives the bytes a pointer points at.
void watch_value_text(const ElfVariable& var, const uint8_t* bytes, uint32_t len,
                      bool (*read_mem)(void*, uint32_t, uint8_t*, uint32_t), void* user, char* out, size_t cap);

// False when no watch would show anything else than it does.
bool watch_refresh_all();
// Forgets the previous values, so nothing is marked on the next refresh.
void watch_display_reset();
