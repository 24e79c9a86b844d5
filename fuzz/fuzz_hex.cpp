// Intel HEX and BIN files into one image.
#include <cstdlib>
#include <cstring>

#include "flash/flash_job.h"
#include "fuzz/fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_begin();
    const char* path = fuzz_file(data, size);
    if (!path) return 0;
    uint32_t base = 0, len = 0;
    if (uint8_t* img = hex_to_bin(path, &base, &len)) {
        // Every byte of the image is either 0xFF or came from a record; touching
        // all of them lets the sanitizer see a short allocation.
        if (len == 0 || len > HEX_MAX_SPAN || (uint64_t)base + len > 0x100000000ull) abort();
        volatile uint8_t sink = 0;
        for (uint32_t i = 0; i < len; ++i) sink = (uint8_t)(sink ^ img[i]);
        free(img);
    }
    if (uint8_t* img = bin_read_file(path, &len)) {
        if (len != size || memcmp(img, data, size) != 0) abort();
        free(img);
    }
    return 0;
}
