// Finds TrueType font files through fontconfig.
#pragma once

#include <cstddef>

// Path of the font file of `family` (regular style). Only an exact family
// match counts: fontconfig's best substitute for a missing family is refused.
// `family` "monospace" accepts any font that fontconfig marks as monospaced.
bool plat_find_font(const char* family, char* out, size_t cap);
