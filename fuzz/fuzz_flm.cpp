// CMSIS flash algorithm images (FLM: a small ARM ELF).
#include <cstring>

#include "fuzz/fuzz_file.h"
#include "flash/flm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_begin();
    if (size > 0xFFFFFFFFu) return 0;
    FlmInfo info;
    FlmBlob blob;
    memset(&info, 0, sizeof info);
    memset(&blob, 0, sizeof blob);
    if (flm_parse_elf(data, (uint32_t)size, &info, &blob)) flm_blob_free(&blob);
    return 0;
}
