// What an erase takes beside the user's image, read back so that it can be
// programmed again unchanged. Probe thread only.
#pragma once

#include <cstdint>
#include <vector>

struct DapContext;

// The span [lo, hi) of whole sectors around an image at [base, base + len):
// what it holds outside the image, read in whole words, with the image laid
// over it. False when a read fails (`whole` then holds no promise).
bool flash_read_around(DapContext* dap, uint32_t lo, uint32_t hi, uint32_t base, const uint8_t* data, uint32_t len,
                       std::vector<uint8_t>* whole);
