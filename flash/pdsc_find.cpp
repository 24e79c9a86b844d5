// Finding a device's flash algorithm in the .pdsc files of a packs folder,
// through the pack reader: the algorithm and RAM are the device's own (with
// what its family and sub-family give it), never a neighbour's.
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "flash/flm.h"
#include "platform/log_store.h"
#include "platform/paths.h"
#include "target/pdsc.h"

namespace {

constexpr int kPathMax = 512;  // as FlmInfo.flm_path

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

}  // namespace

bool pdsc_find_algo(const char* pack_dir, const char* device_name, FlmInfo* info) {
    if (!info) return false;
    std::memset(info, 0, sizeof *info);
    if (!pack_dir || !device_name || !*pack_dir || !*device_name) return false;
    struct Search {
        const char *pack_dir, *device;
        FlmInfo* info;
    } s{pack_dir, device_name, info};
    return pdsc_scan_walk(pack_dir, [](const char* path, void* user) {
        const Search* s = (const Search*)user;
        return search_file(path, s->pack_dir, s->device, s->info);
    }, &s);
}

