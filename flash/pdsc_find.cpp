// Finding a device's flash algorithm in the .pdsc files of a packs folder,
// through the pack reader: the algorithm and RAM are the device's own (with
// what its family and sub-family give it), never a neighbour's.
#include <dirent.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "flash/flm.h"
#include "platform/log_store.h"
#include "platform/paths.h"
#include "target/pdsc.h"

namespace {

constexpr int kPathMax = 512;  // as FlmInfo.flm_path
constexpr int kMaxDepth = 24;
constexpr int kMaxDirEntries = 1024;
constexpr int kMaxPrefixes = 16;

bool ends_with_ci(const char* s, const char* tail) {
    size_t a = std::strlen(s), b = std::strlen(tail);
    return a >= b && strcasecmp(s + a - b, tail) == 0;
}

// Scratch for one device's record (with its sequences' node pools, too big for a stack).
std::unique_ptr<PdscDevice> new_device() { return std::unique_ptr<PdscDevice>(new (std::nothrow) PdscDevice); }

bool dname_matches(const char* dname, const char* want) {
    const char* star = std::strchr(dname, '*');
    if (!star) return strcasecmp(dname, want) == 0;
    size_t n = (size_t)(star - dname);
    return strncasecmp(dname, want, n) == 0;
}

void dir_of(const char* path, char* out, size_t cap) {
    std::snprintf(out, cap, "%s", path);
    char* slash = std::strrchr(out, '/');
    if (slash) *slash = 0;
    else std::snprintf(out, cap, ".");
}

// Calls visit(path) for every .pdsc below dir, in name order, until it returns true.
// Folders already listed in this search (device, inode): links that lead
// back up the tree are not followed again.
thread_local std::vector<std::pair<dev_t, ino_t>> s_seen;

bool first_visit(const char* dir) {
    struct stat st;
    if (stat(dir, &st) != 0) return false;
    for (const auto& d : s_seen)
        if (d.first == st.st_dev && d.second == st.st_ino) return false;
    s_seen.emplace_back(st.st_dev, st.st_ino);
    return true;
}

template <typename F>
bool walk(const char* dir, int depth, F&& visit) {
    if (depth > kMaxDepth) return false;
    if (depth == 0) s_seen.clear();
    if (!first_visit(dir)) return false;
    DIR* d = opendir(dir);
    if (!d) return false;
    // One listing per level, sorted so that the search order does not
    // depend on the file system.
    char(*mine)[64] = (char(*)[64])std::malloc((size_t)kMaxDirEntries * 64);
    if (!mine) {
        closedir(d);
        return false;
    }
    int count = 0;
    // Long names are rare in packs; they are read through a second pass below.
    bool has_long = false;
    while (struct dirent* e = readdir(d)) {
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
        if (std::strlen(e->d_name) >= sizeof mine[0]) {
            has_long = true;
            continue;
        }
        if (count < kMaxDirEntries) std::snprintf(mine[count++], sizeof mine[0], "%s", e->d_name);
    }
    std::qsort(mine, (size_t)count, sizeof mine[0], [](const void* a, const void* b) {
        return std::strcmp((const char*)a, (const char*)b);
    });
    auto one = [&](const char* name) {
        char path[kPathMax];
        if (std::snprintf(path, sizeof path, "%s/%s", dir, name) >= (int)sizeof path) return false;
        struct stat st;
        if (stat(path, &st) != 0) return false;
        if (S_ISDIR(st.st_mode)) return walk(path, depth + 1, visit);
        if (S_ISREG(st.st_mode) && std::strlen(name) >= 5 && ends_with_ci(name, ".pdsc")) return visit(path);
        return false;
    };
    bool found = false;
    for (int i = 0; i < count && !found; ++i) found = one(mine[i]);
    if (!found && has_long) {
        rewinddir(d);
        while (struct dirent* e = readdir(d))
            if (std::strlen(e->d_name) >= sizeof mine[0] && (found = one(e->d_name))) break;
    }
    closedir(d);
    std::free(mine);
    return found;
}

// The device's algorithm, when its file is in the pack, into info.
bool take_algorithm(const PdscDevice& dev, const char* pdsc_path, const char* pack_dir, FlmInfo* info) {
    if (!dev.has_flash_algo) return false;
    char pdir[kPathMax], name[sizeof dev.flash_algo.name];
    dir_of(pdsc_path, pdir, sizeof pdir);
    std::snprintf(name, sizeof name, "%s", dev.flash_algo.name);
    for (char* c = name; *c; ++c)
        if (*c == '\\') *c = '/';
    const char* base = std::strrchr(name, '/');
    base = base ? base + 1 : name;
    char cand[3][kPathMax];
    // A path cut to the buffer would name another file: such a candidate is not tried.
    bool fits[3] = {std::snprintf(cand[0], kPathMax, "%s/%s", pdir, name) < kPathMax,
                    std::snprintf(cand[1], kPathMax, "%s/%s", pack_dir, name) < kPathMax,
                    std::snprintf(cand[2], kPathMax, "%s/%s", pdir, base) < kPathMax};
    int hit = -1;
    for (int k = 0; k < 3 && hit < 0; ++k) {
        log_addf(&logv, "[FLM] candidate %d: '%s'", k + 1, cand[k]);
        if (fits[k] && plat_file_exists(cand[k])) hit = k;
    }
    if (hit < 0) {
        log_add_line(&logv, "[FLM] FLM file not found at any candidate path — skipping");
        return false;
    }
    const PdscFlashAlgo& a = dev.flash_algo;
    std::snprintf(info->flm_path, sizeof info->flm_path, "%s", cand[hit]);
    info->flash_start = a.start;
    info->flash_size = a.size;
    // The reader has put the device's default RAM in when the pack names none.
    info->ram_start = a.ram_start ? a.ram_start : 0x20000000;
    info->ram_size = a.ram_size ? a.ram_size : 4096;
    if (!info->erase_timeout_ms) info->erase_timeout_ms = 30000;
    if (!info->prog_timeout_ms) info->prog_timeout_ms = 5000;
    return true;
}

// The first device of the file that the name matches, with its algorithm.
bool search_file(const char* path, const char* pack_dir, const char* device, FlmInfo* info) {
    std::unique_ptr<PdscDevice> dev = new_device();
    if (!dev) return false;
    auto match = [](const char* name, void* want) { return dname_matches(name, (const char*)want); };
    auto first = [](const PdscDevice*, void*) { return true; };
    return pdsc_xml_find(path, match, first, (void*)device, dev.get()) && take_algorithm(*dev, path, pack_dir, info);
}

bool is_alnum(const char* s) {
    if (!*s) return false;
    for (; *s; ++s)
        if (!std::isalnum((unsigned char)*s)) return false;
    return true;
}

// "STM32F405/415, F407/417" -> STM32F405, STM32F415, STM32F407, STM32F417;
// "STM32F401xB/C" -> STM32F401xB, STM32F401xC: later parts replace as much of
// the first one's tail as they are long. Words in brackets are notes.
int variant_prefixes(const char* variant, char out[][32]) {
    char first[32] = {};
    int n = 0;
    const char* p = variant;
    while (*p && n < kMaxPrefixes) {
        while (*p == ' ' || *p == ',' || *p == '/' || *p == '\t') ++p;
        char tok[32];
        int k = 0;
        while (*p && *p != ' ' && *p != ',' && *p != '/' && *p != '\t') {
            if (k < 31) tok[k++] = *p;
            ++p;
        }
        tok[k] = 0;
        if (!k) break;
        if (!first[0]) {
            if (strncasecmp(tok, "STM32", 5) != 0 || k < 7) return 0;
            std::snprintf(first, sizeof first, "%s", tok);
            std::snprintf(out[n++], 32, "%s", tok);
            continue;
        }
        size_t fl = std::strlen(first), tl = (size_t)k;
        if (strncasecmp(tok, "STM32", 5) == 0) std::snprintf(out[n++], 32, "%s", tok);
        else if (is_alnum(tok) && tl <= fl - 5) {
            if (std::snprintf(out[n], 32, "%.*s%s", (int)(fl - tl), first, tok) < 32) ++n;
        }
    }
    return n;
}

// ST writes a lower-case x for "any" in a group's name; pack names are upper case.
bool prefix_matches(const char* name, const char* prefix) {
    for (; *prefix; ++prefix, ++name) {
        if (!*name) return false;
        if (*prefix == 'x') continue;
        if (std::toupper((unsigned char)*name) != std::toupper((unsigned char)*prefix)) return false;
    }
    return true;
}

}  // namespace

bool pdsc_find_algo(const char* pack_dir, const char* device_name, FlmInfo* info) {
    if (!info) return false;
    std::memset(info, 0, sizeof *info);
    if (!pack_dir || !device_name || !*pack_dir || !*device_name) return false;
    return walk(pack_dir, 0, [&](const char* path) { return search_file(path, pack_dir, device_name, info); });
}

bool pdsc_find_device_for_variant(const char* pack_dir, const char* variant_name, uint32_t flash_base,
                                  uint32_t flash_size, char* dname, int dname_len) {
    if (!pack_dir || !variant_name || !dname || dname_len <= 0) return false;
    dname[0] = 0;
    char prefixes[kMaxPrefixes][32];
    int np = variant_prefixes(variant_name, prefixes);
    if (np == 0) {
        log_addf(&logv, "[PDSC] variant name '%s' lists no STM32 part", variant_name);
        return false;
    }
    struct Want {
        char (*prefixes)[32];
        int np;
        uint32_t base, size;
    } want{prefixes, np, flash_base, flash_size};
    auto match = [](const char* name, void* user) {
        const Want* w = (const Want*)user;
        for (int k = 0; k < w->np; ++k)
            if (prefix_matches(name, w->prefixes[k])) return true;
        return false;
    };
    auto fits = [](const PdscDevice* d, void* user) {
        const Want* w = (const Want*)user;
        const PdscFlashAlgo& a = d->flash_algo;
        if (!d->has_flash_algo || !a.is_default || a.start != w->base) return false;
        // The chip's size is its flash memories' (an H7's algorithm covers two
        // banks of any size); the algorithm's only when the pack lists none.
        uint64_t total = 0;
        for (int i = 0; i < d->memory_count; ++i) {
            const PdscMemory& m = d->memories[i];
            if (m.access_r && !m.access_w && m.start >= w->base && m.start - w->base < 0x10000000u) total += m.size;
        }
        return total ? total == w->size : a.size == w->size;
    };
    std::unique_ptr<PdscDevice> dev = new_device();
    if (!dev) return false;
    return walk(pack_dir, 0, [&](const char* path) {
        if (!pdsc_xml_find(path, match, fits, &want, dev.get())) return false;
        std::snprintf(dname, (size_t)dname_len, "%s", dev->device_name);
        return true;
    });
}
