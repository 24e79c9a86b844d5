#include "target/algo_select.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unistd.h>

#include "platform/log_store.h"
#include "platform/paths.h"
#include "target/mcu_id.h"

TargetAlgo g_target_algo;
std::atomic<bool> g_target_algo_valid{false};

namespace {

std::mutex s_mtx;
char s_dir[ALGO_PATH_LEN];
char s_preferred[ALGO_PATH_LEN];
TargetAlgo s_candidate;  // too large for the probe thread's stack; probe thread only

const char* const s_known_ini[] = {"mcxa3xx.ini",   "mcxa1xx.ini",   "mcxa2xx.ini",   "stm32f1xx.ini", "stm32f4xx.ini",
                                   "stm32f7xx.ini", "stm32h7xx.ini", "stm32l4xx.ini", "target.ini"};

bool set_path(char* dst, const char* src, const char* what) {
    if (!src) src = "";
    if (std::strlen(src) >= ALGO_PATH_LEN) {
        log_addf(&logv, "[ALGO] %s too long — not used: %s", what, src);
        dst[0] = 0;
        return false;
    }
    std::strcpy(dst, src);
    return true;
}

// dir + the name lowercased (`squeeze`: without blanks and slashes) + ".ini";
// false when it did not fit (a cut name is another file) or is listed already.
bool add(char (*out)[ALGO_PATH_LEN], int* n, int cap, const char* dir, const char* name, bool squeeze) {
    if (*n >= cap || !name || !*name) return false;
    char* p = out[*n];
    size_t len = std::strlen(dir);
    if (len >= ALGO_PATH_LEN) return false;
    std::memcpy(p, dir, len);
    for (const char* s = name; *s; ++s) {
        if (squeeze && (*s == ' ' || *s == '\t' || *s == '/')) continue;
        if (len + 5 >= ALGO_PATH_LEN) return false;
        p[len++] = (char)std::tolower((unsigned char)*s);
    }
    std::memcpy(p + len, ".ini", 5);
    for (int i = 0; i < *n; ++i)
        if (std::strcmp(out[i], p) == 0) return false;  // tried once is enough
    ++*n;
    return true;
}

}  // namespace

void target_algo_set_dir(const char* dir) {
    std::lock_guard<std::mutex> lk(s_mtx);
    set_path(s_dir, dir, "Target INI folder");
}

void target_algo_set_preferred(const char* path) {
    std::lock_guard<std::mutex> lk(s_mtx);
    set_path(s_preferred, path, "target_ini");
}

int target_algo_candidates(const McuInfo* info, char (*out)[ALGO_PATH_LEN], int cap) {
    char dir[ALGO_PATH_LEN], preferred[ALGO_PATH_LEN];
    {
        std::lock_guard<std::mutex> lk(s_mtx);
        std::strcpy(dir, s_dir);
        std::strcpy(preferred, s_preferred);
    }
    if (!dir[0] && !plat_exe_dir(dir, sizeof dir)) std::strcpy(dir, "./");
    int n = 0;
    if (preferred[0] && n < cap) std::strcpy(out[n++], preferred);
    if (info) {
        add(out, &n, cap, dir, info->mcu.device_name, false);
        add(out, &n, cap, dir, info->mcu.family_name, true);
    }
    for (const char* k : s_known_ini) {
        if (n >= cap) break;
        char path[ALGO_PATH_LEN];
        if (std::snprintf(path, sizeof path, "%s%s", dir, k) >= (int)sizeof path) continue;
        bool seen = false;
        for (int i = 0; i < n && !seen; ++i) seen = std::strcmp(out[i], path) == 0;
        if (!seen) std::strcpy(out[n++], path);
    }
    return n;
}

bool target_algo_matches(const TargetAlgo* algo, uint32_t device_id, bool st) {
    const AlgoDevice& d = algo->device;
    if (!d.identify_reg || !d.identify_mask) return true;
    uint32_t id = device_id, want = d.identify_val;
    if (st) id &= 0xFFF, want &= 0xFFF;
    return (id & d.identify_mask) == (want & d.identify_mask);
}

bool target_algo_select(const McuInfo* info, uint32_t device_id) {
    char cand[ALGO_MAX_CANDIDATES][ALGO_PATH_LEN];
    const int n = target_algo_candidates(info, cand, ALGO_MAX_CANDIDATES);
    const bool st = info && info->vendor == MCU_VENDOR_ST;
    for (int i = 0; i < n; ++i) {
        if (access(cand[i], R_OK) != 0) continue;
        if (!target_algo_load(cand[i], &s_candidate)) {
            target_algo_free(&s_candidate);
            continue;
        }
        if (!target_algo_matches(&s_candidate, device_id, st)) {
            log_addf(&logv, "[ALGO] INI identity mismatch: %s (device_id=0x%08X)", cand[i], device_id);
            target_algo_free(&s_candidate);
            continue;
        }
        target_algo_free(&g_target_algo);
        std::memcpy(&g_target_algo, &s_candidate, sizeof g_target_algo);
        s_candidate.blob = AlgoBlob{};
        g_target_algo_valid = true;
        log_addf(&logv, "[ALGO] INI target loaded: %s  device=%s", cand[i], g_target_algo.device.name);
        return true;
    }
    if (!g_target_algo_valid) log_add_line(&logv, "[ALGO] No matching target INI found — using legacy PDSC/FLM path");
    return false;
}
