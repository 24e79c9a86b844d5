// A whole file into memory, with the reason when it cannot be had.
#pragma once

#include <cstddef>
#include <cstdint>

enum PlatReadStatus {
    PLAT_READ_OK = 0,
    PLAT_READ_OPEN_FAILED,
    PLAT_READ_NOT_A_FILE,  // a folder, a device, a pipe
    PLAT_READ_EMPTY,
    PLAT_READ_TOO_LARGE,   // over max_bytes
    PLAT_READ_NO_MEMORY,
    PLAT_READ_FAILED,      // short read, or the file grew while it was read
};

// On PLAT_READ_OK *out holds *size bytes plus a NUL (so text can be scanned
// as a C string); the caller frees it with free(). Otherwise *out is null.
PlatReadStatus plat_read_file(const char* path, size_t max_bytes, uint8_t** out, size_t* size);
