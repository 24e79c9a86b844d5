#include "platform/file_read.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

PlatReadStatus plat_read_file(const char* path, size_t max_bytes, uint8_t** out, size_t* size) {
    *out = nullptr;
    *size = 0;
    FILE* f = path ? std::fopen(path, "rb") : nullptr;
    if (!f) return PLAT_READ_OPEN_FAILED;
    struct stat st {};
    PlatReadStatus r = PLAT_READ_OK;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) r = PLAT_READ_NOT_A_FILE;
    else if (st.st_size < 1) r = PLAT_READ_EMPTY;
    else if ((uint64_t)st.st_size > max_bytes) r = PLAT_READ_TOO_LARGE;
    uint8_t* buf = nullptr;
    size_t n = (size_t)st.st_size;
    if (r == PLAT_READ_OK && !(buf = (uint8_t*)std::malloc(n + 1))) r = PLAT_READ_NO_MEMORY;
    if (r == PLAT_READ_OK) {
        size_t got = std::fread(buf, 1, n, f);
        // One more byte would mean the file grew while it was read.
        if (got != n || std::fgetc(f) != EOF) r = PLAT_READ_FAILED;
    }
    std::fclose(f);
    if (r != PLAT_READ_OK) {
        std::free(buf);
        return r;
    }
    buf[n] = 0;
    *out = buf;
    *size = n;
    return PLAT_READ_OK;
}
