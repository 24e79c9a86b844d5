// The packs folder walk and the STM32 table name -> pack device search, read
// through the pack reader: flash uses them to find algorithms, identification
// to find the connected chip's pack device.
#include "target/pdsc_scan.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "platform/log_store.h"
#include "target/pdsc.h"

namespace {

constexpr int kPathMax = 512;
constexpr int kMaxDepth = 24;
constexpr int kMaxDirEntries = 1024;
constexpr int kMaxPrefixes = 16;

bool ends_with_ci(const char* s, const char* tail) {
    size_t a = std::strlen(s), b = std::strlen(tail);
    return a >= b && strcasecmp(s + a - b, tail) == 0;
}

using Visit = bool (*)(const char* path, void* user);

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

bool walk(const char* dir, int depth, Visit visit, void* user) {
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
        if (S_ISDIR(st.st_mode)) return walk(path, depth + 1, visit, user);
        if (S_ISREG(st.st_mode) && std::strlen(name) >= 5 && ends_with_ci(name, ".pdsc")) return visit(path, user);
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

bool is_alnum(const char* s) {
    if (!*s) return false;
    for (; *s; ++s)
        if (!std::isalnum((unsigned char)*s)) return false;
    return true;
}

// "STM32F405/415, F407/417" -> STM32F405, STM32F415, STM32F407, STM32F417;
// "STM32F401xB/C" -> STM32F401xB, STM32F401xC: later parts replace as much of
// the first one's tail as they are long. Words in brackets are notes.
// Groups whose names are no part names: their members as the reference
// manuals list them under one DEV_ID (RM0377, RM0367, RM0376, RM0451 for the
// L0 categories; RM0008 for the F1 densities and lines). Any "x" is ST's
// wildcard, the flash size choosing among the members.
struct NamedGroup {
    const char* group;
    const char* members;
};
const NamedGroup kNamedGroups[] = {
    {"STM32L0xx Cat.1", "STM32L010x4, STM32L011, STM32L021"},
    {"STM32L0xx Cat.2", "STM32L010x6, STM32L031, STM32L041"},
    {"STM32L0xx Cat.3", "STM32L010x8, STM32L051, STM32L052, STM32L053, STM32L062, STM32L063"},
    {"STM32L0xx Cat.5", "STM32L010xB, STM32L071, STM32L072, STM32L073, STM32L081, STM32L082, STM32L083"},
    {"STM32F1xx low-density", "STM32F101, STM32F102, STM32F103"},
    {"STM32F1xx medium-density", "STM32F101, STM32F102, STM32F103"},
    {"STM32F1xx high-density", "STM32F101, STM32F103"},
    {"STM32F1xx XL-density", "STM32F101, STM32F103"},
    {"STM32F1xx connectivity", "STM32F105, STM32F107"},
};

int variant_prefixes(const char* variant, char out[][32]) {
    for (const NamedGroup& g : kNamedGroups)
        if (strcasecmp(variant, g.group) == 0) {
            variant = g.members;
            break;
        }
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

struct Want {
    char (*prefixes)[32];
    int np;
    uint32_t base, size;
};

bool want_match(const char* name, void* user) {
    const Want* w = (const Want*)user;
    for (int k = 0; k < w->np; ++k)
        if (prefix_matches(name, w->prefixes[k])) return true;
    return false;
}

bool want_fits(const PdscDevice* d, void* user) {
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
}

struct VariantSearch {
    Want want;
    PdscDevice* dev;  // scratch for one device's record
    char* dname;
    int dname_len;
    char* path;
    size_t path_cap;
};

bool search_variant(const char* path, void* user) {
    VariantSearch* s = (VariantSearch*)user;
    if (!pdsc_xml_find(path, want_match, want_fits, &s->want, s->dev)) return false;
    std::snprintf(s->dname, (size_t)s->dname_len, "%s", s->dev->device_name);
    if (s->path && s->path_cap) std::snprintf(s->path, s->path_cap, "%s", path);
    return true;
}

}  // namespace

bool pdsc_scan_walk(const char* dir, bool (*visit)(const char* path, void* user), void* user) {
    if (!dir || !*dir || !visit) return false;
    return walk(dir, 0, visit, user);
}

bool pdsc_scan_variant(const char* pack_dir, const char* variant_name, uint32_t flash_base, uint32_t flash_size,
                       char* dname, int dname_len, char* pdsc_path, size_t path_cap) {
    if (pdsc_path && path_cap) pdsc_path[0] = 0;
    if (!pack_dir || !variant_name || !dname || dname_len <= 0) return false;
    dname[0] = 0;
    char prefixes[kMaxPrefixes][32];
    int np = variant_prefixes(variant_name, prefixes);
    if (np == 0) {
        log_addf(&logv, "[PDSC] variant name '%s' lists no STM32 part", variant_name);
        return false;
    }
    // One device's record with its sequences' node pools: too big for a stack.
    std::unique_ptr<PdscDevice> dev(new (std::nothrow) PdscDevice);
    if (!dev) return false;
    VariantSearch s{{prefixes, np, flash_base, flash_size}, dev.get(), dname, dname_len, pdsc_path, path_cap};
    return pdsc_scan_walk(pack_dir, search_variant, &s);
}

bool pdsc_find_device_for_variant(const char* pack_dir, const char* variant_name, uint32_t flash_base,
                                  uint32_t flash_size, char* dname, int dname_len) {
    return pdsc_scan_variant(pack_dir, variant_name, flash_base, flash_size, dname, dname_len, nullptr, 0);
}
