// The Watch tab's value texts, rebuilt from the probe thread's published
// values whenever fresh registers arrive.
#pragma once

#include <cstddef>
#include <cstdint>

struct ElfVariable;

// A value of the variable's type as the Watch tab shows it: the raw bytes in
// hex, then the value as C reads it (signed, float, bool, char, enumerator).
void watch_format(const ElfVariable& var, uint64_t v, char* out, size_t cap);

void watch_refresh_all();
// Forgets the previous values, so nothing is marked on the next refresh.
void watch_display_reset();
