// Pack descriptions (.pdsc): the device and flash algorithm search. The
// input's first line names the device looked for, the rest is the file.
#include <cstdio>
#include <cstring>
#include <string>

#include "flash/flm.h"
#include "fuzz/fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_begin();
    const uint8_t* nl = (const uint8_t*)memchr(data, '\n', size < 64 ? size : 64);
    std::string device = nl ? std::string((const char*)data, (size_t)(nl - data)) : "STM32F407VGTx";
    const uint8_t* body = nl ? nl + 1 : data;
    size_t body_size = size - (size_t)(body - data);
    static std::string dir = fuzz_folder(), path = dir + "/Fuzz.Vendor_DFP.pdsc";
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return 0;
    fwrite(body, 1, body_size, f);
    fclose(f);
    FlmInfo info;
    pdsc_find_algo(dir.c_str(), device.c_str(), &info);
    char dname[64];
    pdsc_find_device_for_variant(dir.c_str(), device.c_str(), 0x08000000, 0x100000, dname, sizeof dname);
    if (strnlen(dname, sizeof dname) >= sizeof dname) __builtin_trap();
    return 0;
}
