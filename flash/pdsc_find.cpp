// Finding a device's flash algorithm in the .pdsc files of a packs folder.
// The .pdsc is scanned as text for the few tags needed (device, variant,
// algorithm, memory); nothing else of the XML matters here.
#include <dirent.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "flash/flm.h"
#include "platform/file_read.h"
#include "platform/paths.h"
#include "platform/log_store.h"

namespace {

constexpr int kPathMax = 512;  // as FlmInfo.flm_path
constexpr int kMaxDepth = 24;
constexpr int kMaxDirEntries = 1024;
constexpr long kMaxPdscBytes = 64L << 20;
constexpr int kMaxPrefixes = 16;

struct Text {
    const char* p;
    size_t n;
};

bool ends_with_ci(const char* s, const char* tail) {
    size_t a = std::strlen(s), b = std::strlen(tail);
    return a >= b && strcasecmp(s + a - b, tail) == 0;
}

// Whole file on the heap, NUL-terminated; null when it cannot be read.
char* read_text(const char* path, size_t* len) {
    uint8_t* buf = nullptr;
    return plat_read_file(path, kMaxPdscBytes, &buf, len) == PLAT_READ_OK ? (char*)buf : nullptr;
}

// The next <tag ...> at or after `from`; its attributes are [*attr, *end).
// Comments are skipped whole so that a commented-out device never matches.
bool next_tag(const Text& t, size_t from, const char* tag, size_t* start, size_t* attr, size_t* end) {
    size_t tl = std::strlen(tag);
    for (size_t i = from; i < t.n; ++i) {
        if (t.p[i] != '<') continue;
        if (i + 4 <= t.n && std::strncmp(t.p + i, "<!--", 4) == 0) {
            const char* close = std::strstr(t.p + i + 4, "-->");
            if (!close) return false;
            i = (size_t)(close - t.p) + 2;
            continue;
        }
        if (i + 1 + tl >= t.n || strncasecmp(t.p + i + 1, tag, tl) != 0) continue;
        char c = t.p[i + 1 + tl];
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != '>' && c != '/') continue;
        size_t e = i + 1 + tl;
        while (e < t.n && t.p[e] != '>') ++e;
        *start = i;
        *attr = i + 1 + tl;
        *end = e;
        return true;
    }
    return false;
}

// An attribute's value: quoted (either kind) or bare up to a blank, '>' or '/'.
bool get_attr(const Text& t, size_t attr, size_t end, const char* name, char* out, size_t cap) {
    size_t nl = std::strlen(name);
    for (size_t i = attr; i + nl < end; ++i) {
        bool boundary = i == attr || std::isspace((unsigned char)t.p[i - 1]);
        if (!boundary || strncasecmp(t.p + i, name, nl) != 0) continue;
        size_t j = i + nl;
        while (j < end && std::isspace((unsigned char)t.p[j])) ++j;
        if (j >= end || t.p[j] != '=') continue;
        ++j;
        while (j < end && std::isspace((unsigned char)t.p[j])) ++j;
        size_t k = j, stop;
        if (j < end && (t.p[j] == '"' || t.p[j] == '\'')) {
            char q = t.p[j++];
            k = j;
            while (k < end && t.p[k] != q) ++k;
            stop = k;
        } else {
            while (k < end && !std::isspace((unsigned char)t.p[k]) && t.p[k] != '/') ++k;
            stop = k;
        }
        size_t len = stop - j < cap - 1 ? stop - j : cap - 1;
        std::memcpy(out, t.p + j, len);
        out[len] = 0;
        return true;
    }
    if (cap) out[0] = 0;
    return false;
}

uint32_t parse_num(const char* s) {
    if (!s || !*s) return 0;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) return (uint32_t)std::strtoul(s + 2, nullptr, 16);
    return (uint32_t)std::strtoul(s, nullptr, 10);
}

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

// The first algorithm after `from` whose file exists, into info.
bool try_algorithms(const Text& t, size_t from, const char* pdsc_path, const char* pack_dir, FlmInfo* info) {
    char pdir[kPathMax];
    dir_of(pdsc_path, pdir, sizeof pdir);
    size_t s, a, e;
    for (size_t at = from; next_tag(t, at, "algorithm", &s, &a, &e); at = e) {
        char name[256], v[32];
        if (!get_attr(t, a, e, "name", name, sizeof name) || !name[0]) continue;
        for (char* c = name; *c; ++c)
            if (*c == '\\') *c = '/';
        uint32_t start = get_attr(t, a, e, "start", v, sizeof v) ? parse_num(v) : 0;
        uint32_t size = get_attr(t, a, e, "size", v, sizeof v) ? parse_num(v) : 0;
        bool have_ram = get_attr(t, a, e, "RAMstart", v, sizeof v) && v[0];
        uint32_t ram_start = have_ram ? parse_num(v) : 0;
        uint32_t ram_size = get_attr(t, a, e, "RAMsize", v, sizeof v) ? parse_num(v) : 0;

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
            continue;
        }
        if (!have_ram) {
            // Packs such as ST's give no RAMstart; address 0 would be flash.
            // The device's first writable memory is its RAM.
            ram_start = 0x20000000;
            size_t ms, ma, me;
            for (size_t m = from; next_tag(t, m, "memory", &ms, &ma, &me); m = me) {
                char acc[16];
                if (get_attr(t, ma, me, "access", acc, sizeof acc) && std::strchr(acc, 'w')) {
                    if (get_attr(t, ma, me, "start", v, sizeof v)) ram_start = parse_num(v);
                    break;
                }
            }
        }
        std::snprintf(info->flm_path, sizeof info->flm_path, "%s", cand[hit]);
        info->flash_start = start;
        info->flash_size = size;
        info->ram_start = ram_start;
        info->ram_size = ram_size ? ram_size : 4096;
        if (!info->erase_timeout_ms) info->erase_timeout_ms = 30000;
        if (!info->prog_timeout_ms) info->prog_timeout_ms = 5000;
        return true;
    }
    return false;
}

bool search_file(const char* path, const char* pack_dir, const char* device, FlmInfo* info) {
    size_t len = 0;
    char* buf = read_text(path, &len);
    if (!buf) return false;
    Text t{buf, len};
    bool found = false;
    static const char* const kTags[] = {"device", "variant"};
    for (const char* tag : kTags) {
        size_t s, a, e;
        for (size_t at = 0; !found && next_tag(t, at, tag, &s, &a, &e); at = e) {
            char dname[128];
            if (!get_attr(t, a, e, "Dname", dname, sizeof dname) || !dname[0]) continue;
            if (dname_matches(dname, device)) found = try_algorithms(t, e, path, pack_dir, info);
        }
        if (found) break;
    }
    std::free(buf);
    return found;
}

bool is_digits(const char* s) {
    if (!*s) return false;
    for (; *s; ++s)
        if (!std::isdigit((unsigned char)*s)) return false;
    return true;
}

// "STM32F405/415, F407/417" -> STM32F405, STM32F415, STM32F407, STM32F417:
// later parts replace as much of the first one's tail as they are long.
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
        bool shaped = is_digits(tok) || (std::isalpha((unsigned char)tok[0]) && is_digits(tok + 1));
        if (strncasecmp(tok, "STM32", 5) == 0) std::snprintf(out[n++], 32, "%s", tok);
        else if (shaped && tl < fl) {
            if (std::snprintf(out[n], 32, "%.*s%s", (int)(fl - tl), first, tok) < 32) ++n;
        }
    }
    return n;
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
    return walk(pack_dir, 0, [&](const char* path) {
        size_t len = 0;
        char* buf = read_text(path, &len);
        if (!buf) return false;
        Text t{buf, len};
        bool found = false;
        size_t s, a, e;
        for (size_t at = 0; !found && next_tag(t, at, "device", &s, &a, &e); at = e) {
            char name[128];
            if (!get_attr(t, a, e, "Dname", name, sizeof name)) continue;
            bool prefix_ok = false;
            for (int i = 0; i < np && !prefix_ok; ++i)
                prefix_ok = strncasecmp(name, prefixes[i], std::strlen(prefixes[i])) == 0;
            if (!prefix_ok) continue;
            size_t as, aa, ae;
            for (size_t g = e; next_tag(t, g, "algorithm", &as, &aa, &ae); g = ae) {
                char v[32];
                if (!get_attr(t, aa, ae, "default", v, sizeof v) || std::strcmp(v, "1") != 0) continue;
                char st[32], sz[32];
                get_attr(t, aa, ae, "start", st, sizeof st);
                get_attr(t, aa, ae, "size", sz, sizeof sz);
                if (parse_num(st) == flash_base && parse_num(sz) == flash_size) {
                    std::snprintf(dname, (size_t)dname_len, "%s", name);
                    found = true;
                }
                break;
            }
        }
        std::free(buf);
        return found;
    });
}
