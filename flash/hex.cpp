// Firmware files into one image: Intel HEX (types 00, 01, 02, 04; 03 and 05
// carry only a start address) and raw BIN.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "flash/flash_job.h"
#include "platform/file_read.h"
#include "platform/paths.h"
#include "platform/log_store.h"

namespace {

// The longest record: ':' + 2 + 4 + 2 + 255 * 2 + 2 digits.
constexpr size_t kMaxRecordChars = 521;

struct HexRecord {
    uint64_t addr;
    size_t offset;  // into the data pool
    uint32_t count;
};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool hex_byte(const char* s, uint8_t* out) {
    int hi = hex_digit(s[0]);
    int lo = hi < 0 ? -1 : hex_digit(s[1]);
    if (lo < 0) return false;
    *out = uint8_t(hi << 4 | lo);
    return true;
}

bool fail(const char* path, int line, const char* why) {
    log_addf(&logv, "[FLASH] HEX %.160s line %d: %s", path_base_name(path), line, why);
    return false;
}

// Reads every record; data records go to recs/pool with absolute addresses.
bool hex_parse(FILE* f, const char* path, std::vector<HexRecord>* recs, std::vector<uint8_t>* pool) {
    uint64_t upper = 0;  // from type 02 (segment << 4) or 04 (linear << 16)
    bool seen_eof = false;
    char buf[kMaxRecordChars + 8];
    int line = 0;
    while (std::fgets(buf, sizeof buf, f)) {
        line++;
        size_t n = std::strlen(buf);
        if (n == sizeof buf - 1 && buf[n - 1] != '\n') return fail(path, line, "line too long for a record");
        while (n && (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == ' ' || buf[n - 1] == '\t')) n--;
        buf[n] = 0;
        if (n == 0) continue;
        if (seen_eof) return fail(path, line, "data after the end-of-file record");
        if (buf[0] != ':') return fail(path, line, "not a record (no ':')");
        if (n < 11 || (n - 1) % 2) return fail(path, line, "malformed record");
        uint8_t bytes[262];
        size_t nb = (n - 1) / 2;
        // The longest record: 255 data bytes, count, address, type and checksum.
        if (nb > sizeof bytes) return fail(path, line, "byte count does not match the record length");
        for (size_t i = 0; i < nb; ++i)
            if (!hex_byte(buf + 1 + 2 * i, &bytes[i])) return fail(path, line, "not a hexadecimal digit");
        uint32_t count = bytes[0];
        if (nb != count + 5u) return fail(path, line, "byte count does not match the record length");
        uint8_t sum = 0;
        for (size_t i = 0; i < nb; ++i) sum = uint8_t(sum + bytes[i]);
        if (sum != 0) return fail(path, line, "bad checksum");
        uint32_t addr16 = uint32_t(bytes[1]) << 8 | bytes[2];
        const uint8_t* data = bytes + 4;
        switch (bytes[3]) {
        case 0x00:
            recs->push_back({upper + addr16, pool->size(), count});
            pool->insert(pool->end(), data, data + count);
            break;
        case 0x01: seen_eof = true; break;
        case 0x02:
        case 0x04:
            if (count != 2) return fail(path, line, "address record without 2 data bytes");
            upper = uint64_t(uint32_t(data[0]) << 8 | data[1]) << (bytes[3] == 0x02 ? 4 : 16);
            break;
        case 0x03:
        case 0x05: break;  // start address: nothing to program
        default: return fail(path, line, "unknown record type");
        }
    }
    if (std::ferror(f)) return fail(path, line, "read error");
    // A download cut short would otherwise program half an image.
    if (!seen_eof) return fail(path, line, "no end-of-file record (file truncated?)");
    return true;
}

}  // namespace

uint8_t* hex_to_bin(const char* path, uint32_t* out_base_addr, uint32_t* out_size) {
    if (!path || !out_base_addr || !out_size) return nullptr;
    FILE* f = std::fopen(path, "rb");
    if (!f) {
        log_addf(&logv, "[FLASH] Cannot open HEX file %.200s", path);
        return nullptr;
    }
    std::vector<HexRecord> recs;
    std::vector<uint8_t> pool;
    bool ok = hex_parse(f, path, &recs, &pool);
    std::fclose(f);
    if (!ok) return nullptr;
    uint64_t lo = UINT64_MAX, hi = 0;
    for (const HexRecord& r : recs) {
        if (r.count == 0) continue;
        lo = r.addr < lo ? r.addr : lo;
        hi = r.addr + r.count > hi ? r.addr + r.count : hi;
    }
    if (lo == UINT64_MAX) {
        log_addf(&logv, "[FLASH] HEX %.160s: no data records", path_base_name(path));
        return nullptr;
    }
    if (hi > 0x100000000ull) {
        log_addf(&logv, "[FLASH] HEX %.160s: data past the 4 GB address space", path_base_name(path));
        return nullptr;
    }
    if (hi - lo > HEX_MAX_SPAN) {
        log_addf(&logv, "[FLASH] HEX %.160s: data from 0x%08X to 0x%08X spans more than %u MB (option bytes in the file?)",
                 path_base_name(path), unsigned(lo), unsigned(hi - 1), unsigned(HEX_MAX_SPAN >> 20));
        return nullptr;
    }
    uint32_t size = uint32_t(hi - lo);
    uint8_t* img = static_cast<uint8_t*>(std::malloc(size));
    if (!img) {
        log_addf(&logv, "[FLASH] HEX: no memory for %u bytes", size);
        return nullptr;
    }
    std::memset(img, 0xFF, size);
    for (const HexRecord& r : recs)
        if (r.count) std::memcpy(img + (r.addr - lo), pool.data() + r.offset, r.count);  // an empty record is nowhere
    *out_base_addr = uint32_t(lo);
    *out_size = size;
    return img;
}

uint8_t* bin_read_file(const char* path, uint32_t* out_size) {
    if (!path || !out_size) return nullptr;
    uint8_t* img = nullptr;
    size_t size = 0;
    switch (plat_read_file(path, HEX_MAX_SPAN, &img, &size)) {
    case PLAT_READ_OK: *out_size = (uint32_t)size; return img;
    case PLAT_READ_OPEN_FAILED: log_add_line(&logv, "[FLASH] Cannot open BIN file"); break;
    case PLAT_READ_NOT_A_FILE:
    case PLAT_READ_EMPTY: log_add_line(&logv, "[FLASH] BIN file empty or unreadable"); break;
    case PLAT_READ_TOO_LARGE:
        log_addf(&logv, "[FLASH] BIN file is larger than any flash (%u MB)", unsigned(HEX_MAX_SPAN >> 20));
        break;
    case PLAT_READ_NO_MEMORY: log_add_line(&logv, "[FLASH] BIN: no memory for the image"); break;
    case PLAT_READ_FAILED: log_add_line(&logv, "[FLASH] BIN file read failed"); break;
    }
    return nullptr;
}
