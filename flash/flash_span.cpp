#include "flash/flash_span.h"

#include <cstring>

#include "probe/dap.h"

bool flash_read_around(DapContext* dap, uint32_t lo, uint32_t hi, uint32_t base, const uint8_t* data, uint32_t len,
                       std::vector<uint8_t>* whole) {
    const uint32_t span = hi - lo, at = base - lo;
    // Whole words: the image's bytes then go over the ones read with them.
    const uint32_t head = (at + 3) & ~3u, tail = (at + len) & ~3u;
    whole->assign(span, 0xFF);
    if ((head && !dap_read_mem_block(dap, lo, whole->data(), head)) ||
        (tail < span && !dap_read_mem_block(dap, lo + tail, whole->data() + tail, span - tail)))
        return false;
    std::memcpy(whole->data() + at, data, len);
    return true;
}
