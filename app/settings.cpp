#include "app/settings.h"

#include <cstdio>
#include <cstring>

#include "flash/flash_job.h"
#include "target/algo_select.h"
#include "platform/ini.h"
#include "platform/paths.h"
#include "platform/log_store.h"

char g_cfg_ini[CFG_PATH_LEN];
char g_cfg_elf[CFG_PATH_LEN];
char g_cfg_svd[CFG_PATH_LEN];
char g_cfg_arm_svd[CFG_PATH_LEN];
char g_cfg_bin[CFG_PATH_LEN];
char g_src_root_dir[CFG_PATH_LEN];

struct SettingKey {
    const char* key;
    char* value;
};

static const SettingKey s_keys[] = {
    {"elf", g_cfg_elf}, {"svd", g_cfg_svd}, {"arm_svd", g_cfg_arm_svd}, {"bin", g_cfg_bin}, {"source_root", g_src_root_dir},
};

static char s_folder_override[4096] = "";

void config_override_folder(const char* folder) {
    snprintf(s_folder_override, sizeof s_folder_override, "%s", folder ? folder : "");
}

bool config_init_path() {
    g_cfg_ini[0] = 0;
    char dir[4096];
    bool fallback = false;
    if (s_folder_override[0]) {
        snprintf(dir, sizeof dir, "%s", s_folder_override);
    } else if (!plat_settings_dir(dir, sizeof dir, &fallback)) {
        log_add_line(&logv, "[CFG] No folder for debugger.ini (executable folder not writable, no HOME)");
        return false;
    }
    if (!path_join(dir, "debugger.ini", g_cfg_ini, sizeof g_cfg_ini)) {
        log_addf(&logv, "[CFG] Settings path too long (over %d characters): %.160s", CFG_PATH_LEN - 1, dir);
        return false;
    }
    static bool s_told = false;
    if (fallback && !s_told) {
        s_told = true;
        char data[4096];
        if (plat_data_dir(data, sizeof data))
            log_addf(&logv, "[CFG] Installed program; debugger.ini, debugger.log and elf_dump.txt are in %.180s", dir);
        else
            log_addf(&logv, "[CFG] Executable folder not writable; debugger.ini and debugger.log are in %.180s", dir);
    }
    return true;
}

static void trim_blanks(char* s) {
    size_t lead = strspn(s, " ");
    if (lead) memmove(s, s + lead, strlen(s + lead) + 1);
    size_t n = strlen(s);
    while (n > 0 && s[n - 1] == ' ') s[--n] = 0;
}

bool make_abs_against(char* path, size_t cap, const char* folder) {
    if (!path || !path[0]) return true;
    trim_blanks(path);
    if (!path[0] || path[0] == '/') return true;
    char rel[CFG_PATH_LEN * 2];
    snprintf(rel, sizeof rel, "%s", strcmp(path, ".") == 0 ? "" : path);
    char out[CFG_PATH_LEN * 2];
    const char* base = folder && folder[0] ? folder : "./";
    if (!path_join(base, rel, out, sizeof out)) {
        path[0] = 0;
        return false;
    }
    size_t n = strlen(out);
    if (n > 3 && out[n - 1] == '/') out[--n] = 0;
    if (n + 1 > cap) {
        path[0] = 0;
        return false;
    }
    memcpy(path, out, n + 1);
    return true;
}

static void settings_folder(char* out, size_t cap) {
    snprintf(out, cap, "%s", g_cfg_ini);
    char* slash = strrchr(out, '/');
    if (slash) slash[1] = 0;
    else out[0] = 0;
}

bool config_folder_file(const char* name, char* out, size_t cap) {
    char folder[CFG_PATH_LEN];
    settings_folder(folder, sizeof folder);
    if (!folder[0] || !path_join(folder, name, out, cap)) {
        if (out && cap) out[0] = 0;
        return false;
    }
    return true;
}

bool make_abs_to_exe(char* path) {
    char folder[CFG_PATH_LEN];
    settings_folder(folder, sizeof folder);
    return make_abs_against(path, CFG_PATH_LEN, folder);
}

void config_load() {
    if (config_init_path()) log_addf(&logv, "[CFG] Settings file %.220s", g_cfg_ini);
    for (const SettingKey& k : s_keys) {
        k.value[0] = 0;
        if (!g_cfg_ini[0]) continue;
        IniGet r = ini_get(g_cfg_ini, "Settings", k.key, k.value, CFG_PATH_LEN);
        if (r == INI_GET_TOO_LONG) {
            log_addf(&logv, "[CFG] Value of '%s' is longer than %d characters, ignored", k.key, CFG_PATH_LEN - 1);
            continue;
        }
        char before[CFG_PATH_LEN];
        snprintf(before, sizeof before, "%s", k.value);
        if (!make_abs_to_exe(k.value))
            log_addf(&logv, "[CFG] Path of '%s' too long once made absolute, ignored: %.120s", k.key, before);
    }
    // How an STM32 is programmed (auto unless the file says otherwise).
    char route[32] = "";
    FlashRoute r = FLASH_ROUTE_AUTO;
    if (g_cfg_ini[0] && ini_get(g_cfg_ini, "Settings", "flash_route", route, sizeof route) == INI_GET_OK && route[0] &&
        !flash_route_parse(route, &r))
        log_addf(&logv, "[CFG] flash_route is auto, native or pack, not '%.20s': auto", route);
    flash_set_route(r);
    // Target INIs lie beside the settings; target_ini names one to try first.
    char folder[CFG_PATH_LEN], target_ini[CFG_PATH_LEN] = "";
    settings_folder(folder, sizeof folder);
    target_algo_set_dir(folder);
    if (g_cfg_ini[0] && ini_get(g_cfg_ini, "Settings", "target_ini", target_ini, sizeof target_ini) == INI_GET_OK &&
        target_ini[0] && !make_abs_to_exe(target_ini)) {
        log_add_line(&logv, "[CFG] Path of 'target_ini' too long once made absolute, ignored");
        target_ini[0] = 0;
    }
    target_algo_set_preferred(target_ini);
}

static bool s_read_only;

void config_set_read_only(bool on) { s_read_only = on; }

bool config_save() {
    if (s_read_only) {
        log_add_line(&logv, "[CFG] Demo mode: settings are not saved");
        return false;
    }
    if (!config_init_path()) {
        log_add_line(&logv, "[CFG] Save failed: no settings path");
        return false;
    }
    IniPair pairs[5];
    int n = 0;
    for (const SettingKey& k : s_keys) pairs[n++] = IniPair{k.key, k.value};
    if (!ini_put(g_cfg_ini, "Settings", pairs, n)) {
        log_addf(&logv, "[CFG] Save failed: %.200s", ini_error());
        return false;
    }
    log_add_line(&logv, "[CFG] Saved debugger.ini");
    return true;
}
