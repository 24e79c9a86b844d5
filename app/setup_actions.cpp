#include "app/setup_actions.h"

#include <cstdio>
#include <cstring>

#include "app/settings.h"
#include "flash/flash_job.h"
#include "platform/file_dialog.h"
#include "probe/probe.h"
#include "ui/layout.h"
#include "platform/log_store.h"
#include "ui/setup_panel.h"
#include "ui/ui_callbacks.h"
#include "ui/ui_state.h"

static char* s_target = nullptr;  // the setting the open dialog fills
static const char* s_target_key = "";

static const PlatFileFilter s_elf_filters[] = {{"ELF Files", "*.elf"}, {"All Files", "*"}};
static const PlatFileFilter s_svd_filters[] = {{"SVD Files", "*.svd"}, {"All Files", "*"}};
static const PlatFileFilter s_fw_filters[] = {
    {"Firmware Files", "*.bin *.hex"}, {"BIN Files", "*.bin"}, {"HEX Files", "*.hex"}, {"All Files", "*"}};

static void open_dialog(char* target, const char* key, const char* title, const PlatFileFilter* filters, int n) {
    char err[160];
    bool ok = filters ? plat_dialog_open_file(title, filters, n, err, sizeof err)
                      : plat_dialog_open_folder(title, err, sizeof err);
    if (ok) {
        s_target = target;
        s_target_key = key;
        return;
    }
    if (std::strstr(err, "zenity not found"))
        log_addf(&logv, "[CFG] No file dialog (zenity not found): set %s= under [Settings] in %.160s", key,
                 g_cfg_ini[0] ? g_cfg_ini : "debugger.ini");
    else
        log_addf(&logv, "[CFG] File dialog: %s", err);
}

// The Flash button: parameters handed to the probe thread, which owns the job.
static void start_flash() {
    if (!g_probe_connected.load() || !g_cfg_bin[0]) return;
    if (g_flash_status.load() == FLASH_STATUS_BUSY) {
        log_add_line(&logv, "[FLASH] A flash job is running — wait for it to end");
        return;
    }
    g_flash_status = FLASH_STATUS_BUSY;
    g_flash_progress = 0;
    g_show_setup = true;
    render_needed.store(true);
    SetupMcuInfo mcu = setup_mcu_snapshot();
    if (!mcu.valid || !mcu.has_flash_algo || !mcu.device[0]) {
        log_add_line(&logv, "[FLASH] No flash algo available (no INI and no PDSC/FLM)");
        g_flash_progress = -1;
        g_flash_status = FLASH_STATUS_ERROR;
        return;
    }
    probe_set_flash_params(g_cfg_bin, 0, mcu.device);
    if (!probe_post_cmd(PROBE_CMD_FLASH, 0)) {
        log_add_line(&logv, "[FLASH] The probe is busy with another command — flash not started");
        g_flash_progress = -1;
        g_flash_status = FLASH_STATUS_ERROR;
    }
}

void setup_take_clicks() {
    struct {
        Button* btn;
        char* target;
        const char* key;
        const char* title;
        const PlatFileFilter* filters;
        int n;
    } rows[5] = {{&BtnSetupBrowseElf, g_cfg_elf, "elf", "Select ELF file", s_elf_filters, 2},
                 {&BtnSetupBrowseSvd, g_cfg_svd, "svd", "Select SVD file", s_svd_filters, 2},
                 {&BtnSetupBrowseArmSvd, g_cfg_arm_svd, "arm_svd", "Select ARM system SVD file", s_svd_filters, 2},
                 {&BtnSetupBrowseSrc, g_src_root_dir, "source_root", "Select source root directory", nullptr, 0},
                 {&BtnSetupBrowseBin, g_cfg_bin, "bin", "Select firmware file", s_fw_filters, 4}};
    for (auto& r : rows)
        if (ui_take_click(r.btn)) {
            open_dialog(r.target, r.key, r.title, r.filters, r.n);
            render_needed.store(true);
        }
    // What the user saw decides: a greyed button does nothing.
    if (ui_take_click(&BtnFlash) && setup_flash_enabled_as_drawn()) start_flash();
    if (ui_take_click(&BtnSetupSave)) {
        // A failed save keeps the panel open: its log line says why.
        if (config_save()) g_show_setup = false;
        render_needed.store(true);
    }
}

bool setup_poll_dialog() {
    char path[CFG_PATH_LEN], err[400];
    PlatDialogResult r = plat_dialog_poll(path, sizeof path, err, sizeof err);
    if (r == PLAT_DIALOG_NONE || r == PLAT_DIALOG_RUNNING) return false;
    char* target = s_target;
    s_target = nullptr;
    if (r == PLAT_DIALOG_CANCELLED || !target) return false;
    if (r == PLAT_DIALOG_FAILED) {
        log_addf(&logv, "[CFG] %s not changed: %.300s", s_target_key, err);
        return false;
    }
    std::memcpy(target, path, std::strlen(path) + 1);
    log_addf(&logv, "[CFG] %s = %.200s (Save keeps it; ELF and SVD are read at start-up)", s_target_key, path);
    return true;
}

void setup_actions_shutdown() {
    plat_dialog_cancel();
    s_target = nullptr;
}
