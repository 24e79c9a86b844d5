#include "target/pdsc_db.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/ini.h"
#include "platform/paths.h"

namespace {

char s_ini_path[4096];
char s_packs_dir[4096];
// What a record's strings point at after a lookup.
char s_device_name[64];
char s_algo_name[260];

// NXP's usual pack file names, "{DEVICE}" standing for the device.
const char* const kTemplates[] = {"NXP.{DEVICE}_DFP.pdsc", "NXP_{DEVICE}_DFP.pdsc", "{DEVICE}_DFP.pdsc",
                                  "NXP.MCXA_DFP.pdsc",     "NXP.MCXN_DFP.pdsc",     "NXP.MCXA346_DFP.pdsc",
                                  "NXP.MCXN947_DFP.pdsc"};

bool is_file(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Last modification in nanoseconds; 0 for a file that is not there.
uint64_t mtime_ns(const std::string& p) {
    struct stat st;
    if (stat(p.c_str(), &st) != 0) return 0;
    return (uint64_t)st.st_mtim.tv_sec * 1000000000ull + (uint64_t)st.st_mtim.tv_nsec;
}

std::string section_of(const char* device) { return std::string("pdsc_cache.") + std::string(device).substr(0, 95); }

std::string cache_get(const std::string& section, const char* key) {
    char v[512];
    return ini_get(s_ini_path, section.c_str(), key, v, sizeof v) == INI_GET_OK ? std::string(v) : std::string();
}

uint32_t flash_kb_of(const PdscDevice& d) {
    uint32_t kb = 0;
    for (int i = 0; i < d.memory_count; ++i) {
        const PdscMemory& m = d.memories[i];
        if (m.startup && m.access_r && m.access_x) kb += m.size / 1024;
    }
    return kb;
}

void fill_record(const PdscDevice& d, McuRecord* rec) {
    mcu_record_init(rec);
    std::snprintf(s_device_name, sizeof s_device_name, "%s", d.device_name[0] ? d.device_name : "MCX (unknown)");
    rec->vendor = MCU_VENDOR_NXP;
    rec->vendor_name = "NXP";
    rec->family_name = "MCX A";
    rec->device_name = s_device_name;
    rec->flash_block_size = 0;
    rec->flash_erase_val = 0xFF;
    rec->flash_size_reg = 0;
    rec->flash_size_mask = 0xFFFF;
    rec->flash_size_shift = 0;
    rec->flash_base = 0;
    rec->ram_size = 0;
    for (int i = 0; i < d.memory_count; ++i) {
        const PdscMemory& m = d.memories[i];
        if (m.startup && m.access_r && m.access_x) rec->flash_base = m.start;  // the last one in file order
        if (m.access_w && m.is_default) rec->ram_size += m.size;
    }
    s_algo_name[0] = 0;
    if (d.has_flash_algo) {
        const char* slash = std::max(std::strrchr(d.flash_algo.name, '/'), std::strrchr(d.flash_algo.name, '\\'));
        std::snprintf(s_algo_name, sizeof s_algo_name, "%s", slash ? slash + 1 : d.flash_algo.name);
        rec->flash_algo = s_algo_name;
    }
    rec->reset_vec_base = rec->flash_base;
    rec->reset_vec_base2 = 0;
    rec->dbg_init_count = 0;
}

void cache_save(const char* device, const char* pdsc_file, uint64_t mtime, const PdscDevice& d, const McuRecord& rec) {
    char mt[24], base[16], fkb[16], rkb[16], clk[16];
    std::snprintf(mt, sizeof mt, "%llu", (unsigned long long)mtime);
    std::snprintf(base, sizeof base, "0x%08X", rec.flash_base);
    std::snprintf(fkb, sizeof fkb, "%u", flash_kb_of(d));
    std::snprintf(rkb, sizeof rkb, "%u", rec.ram_size / 1024);
    std::snprintf(clk, sizeof clk, "%u", d.dbg_cfg.clock_hz);
    std::string seqs;
    for (int i = 0; i < d.sequence_count; ++i) {
        if (d.sequences[i].disabled) continue;
        std::string next = seqs.empty() ? d.sequences[i].name : seqs + "," + d.sequences[i].name;
        if (next.size() > 511) break;
        seqs = next;
    }
    const IniPair pairs[] = {{"pdsc_file", pdsc_file},
                             {"pdsc_mtime", mt},
                             {"vendor", rec.vendor_name ? rec.vendor_name : ""},
                             {"family", rec.family_name ? rec.family_name : ""},
                             {"device", d.device_name},
                             {"flash_base", base},
                             {"flash_kb", fkb},
                             {"ram_kb", rkb},
                             {"algo", rec.flash_algo ? rec.flash_algo : ""},
                             {"swj_clock", clk},
                             {"default_reset", d.dbg_cfg.default_reset},
                             {"seq_names", seqs.c_str()}};
    ini_put(s_ini_path, section_of(device).c_str(), pairs, (int)(sizeof pairs / sizeof pairs[0]));
}

}  // namespace

void pdsc_db_init(const char* ini_path) {
    if (!ini_path || !ini_path[0]) return;
    std::snprintf(s_ini_path, sizeof s_ini_path, "%s", ini_path);
    const char* slash = std::strrchr(ini_path, '/');
    std::string dir = slash ? std::string(ini_path, (size_t)(slash - ini_path) + 1) : std::string("./");
    if (dir.size() + 6 >= sizeof s_packs_dir) dir = "./";
    std::snprintf(s_packs_dir, sizeof s_packs_dir, "%spacks/", dir.c_str());
}

void pdsc_db_set_packs_dir(const char* dir) {
    if (!dir || !dir[0]) return;
    size_t n = std::strlen(dir);
    bool slash = dir[n - 1] == '/';
    if (n + 2 > sizeof s_packs_dir) return;
    std::snprintf(s_packs_dir, sizeof s_packs_dir, "%s%s", dir, slash ? "" : "/");
}

const char* pdsc_db_packs_dir() { return s_packs_dir; }

bool pdsc_db_packs_folder(char* out, size_t cap) {
    size_t n = std::strlen(s_packs_dir);
    if (n == 0) return false;
    return std::snprintf(out, cap, "%.*s", (int)(n > 1 && s_packs_dir[n - 1] == '/' ? n - 1 : n), s_packs_dir) < (int)cap;
}

bool pdsc_db_find(const char* device_name, char* out_path, size_t cap) {
    if (out_path && cap) out_path[0] = 0;
    if (!device_name || !device_name[0] || !out_path || !cap || !s_packs_dir[0]) return false;
    auto answer = [&](const std::string& p) {
        if (p.size() >= cap) return false;
        std::memcpy(out_path, p.c_str(), p.size() + 1);
        return true;
    };
    for (const char* t : kTemplates) {
        std::string name = t;
        size_t at = name.find("{DEVICE}");
        if (at != std::string::npos) name.replace(at, 8, device_name);
        if (is_file(s_packs_dir + name) && answer(s_packs_dir + name)) return true;
    }
    // Any other vendor's pack that lists the device, in name order.
    std::vector<std::string> files;
    if (DIR* d = opendir(s_packs_dir)) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 5 && n.compare(n.size() - 5, 5, ".pdsc") == 0) files.push_back(n);
        }
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    constexpr int kNames = 4096;
    std::unique_ptr<char[][64]> names(new char[kNames][64]);
    for (const std::string& f : files) {
        int n = std::min(pdsc_xml_list_devices((s_packs_dir + f).c_str(), names.get(), kNames), kNames);
        for (int i = 0; i < n; ++i)
            if (std::strcmp(names[i], device_name) == 0) return answer(s_packs_dir + f);
    }
    return false;
}

bool pdsc_db_lookup(const char* device_name, McuRecord* out_record, PdscDevice* out_device) {
    if (!device_name || !device_name[0] || !out_record || !s_ini_path[0]) return false;
    const std::string section = section_of(device_name);
    std::string file = cache_get(section, "pdsc_file"), path;
    if (!file.empty() && file.find('/') == std::string::npos && is_file(s_packs_dir + file)) path = s_packs_dir + file;
    if (path.empty()) {
        char found[4096];
        if (!pdsc_db_find(device_name, found, sizeof found)) return false;
        path = found;
        file = path_base_name(found);
    }
    const uint64_t mtime = mtime_ns(path);
    const std::string cached = cache_get(section, "pdsc_mtime");
    const bool valid = !cached.empty() && cached != "0" && std::strtoull(cached.c_str(), nullptr, 10) == mtime;
    if (valid && !out_device) {
        mcu_record_init(out_record);
        std::snprintf(s_device_name, sizeof s_device_name, "%s", cache_get(section, "device").c_str());
        std::snprintf(s_algo_name, sizeof s_algo_name, "%s", cache_get(section, "algo").c_str());
        out_record->vendor = MCU_VENDOR_NXP;
        out_record->vendor_name = "NXP";
        out_record->family_name = "MCX A";
        out_record->device_name = s_device_name[0] ? s_device_name : nullptr;
        out_record->flash_base = (uint32_t)std::strtoul(cache_get(section, "flash_base").c_str(), nullptr, 0);
        out_record->ram_size = (uint32_t)std::strtoul(cache_get(section, "ram_kb").c_str(), nullptr, 10) * 1024;
        out_record->flash_erase_val = 0xFF;
        out_record->reset_vec_base = out_record->flash_base;
        out_record->flash_algo = s_algo_name[0] ? s_algo_name : nullptr;
        return true;
    }
    std::unique_ptr<PdscDevice> scratch;
    PdscDevice* dev = out_device;
    if (!dev) dev = (scratch = std::make_unique<PdscDevice>()).get();
    if (!pdsc_xml_load(path.c_str(), device_name, dev)) return false;
    fill_record(*dev, out_record);
    cache_save(device_name, file.c_str(), mtime, *dev, *out_record);
    return true;
}

void pdsc_db_invalidate(const char* device_name) {
    if (!device_name || !device_name[0] || !s_ini_path[0]) return;
    const IniPair stale[] = {{"pdsc_mtime", "0"}};
    ini_put(s_ini_path, section_of(device_name).c_str(), stale, 1);
}
