// The Flash button's job on the probe thread: the firmware file into an
// image, the route for the identified chip, the outcome for the UI.
#include "flash/flash_job.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <strings.h>
#include <unistd.h>

#include "flash/flm.h"
#include "flash/stm32_flash.h"
#include "flash/target_algo_flash.h"
#include "target/algo_select.h"
#include "target/pdsc_db.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "probe/probe.h"
#include "target/mcu_id.h"
#include "platform/log_store.h"

namespace {

std::mutex s_param_mtx;
char s_flash_path[1024];
char s_device_name[128];
char s_pack_dir[1024];
char s_linkserver[1024];
uint32_t s_linkserver_timeout_ms = 30000;
bool s_job_running;  // under s_param_mtx: parameters belong to the job meanwhile
FlashRoute s_route = FLASH_ROUTE_AUTO;
// The image handed to the target-algorithm job, owned here until it ran.
uint8_t* s_algo_fw_data;
uint32_t s_algo_fw_size, s_algo_fw_base;
TargetAlgo* s_algo_ptr;

// Linux install places of NXP's LinkServer; the bare name goes through PATH.
const char* const s_candidates[] = {"LinkServer", "/usr/local/LinkServer/LinkServer", "/opt/nxp/LinkServer/LinkServer"};

bool copy_param(char* dst, size_t cap, const char* src, const char* what) {
    size_t n = std::strlen(src);
    if (n >= cap) {
        // A cut path names another file.
        log_addf(&logv, "[FLASH] %s too long (%zu characters) — not stored", what, n);
        dst[0] = 0;
        return false;
    }
    std::memcpy(dst, src, n + 1);
    return true;
}

void job_begin(char* path, size_t path_cap, char* device, size_t device_cap) {
    std::lock_guard<std::mutex> lk(s_param_mtx);
    s_job_running = true;
    std::snprintf(path, path_cap, "%s", s_flash_path);
    std::snprintf(device, device_cap, "%s", s_device_name);
}

void job_end() {
    {
        std::lock_guard<std::mutex> lk(s_param_mtx);
        s_job_running = false;
    }
    publish_state();
    g_cmd_busy.exchange(0);
    probe_wake_ui();
}

// Ends a job that never reached the target; the status must not stay BUSY.
void job_refused(const char* line) {
    log_add_line(&logv, line);
    g_flash_progress = -1;
    g_flash_status = FLASH_STATUS_ERROR;
    job_end();
}

void job_finished(bool ok, const char* done, const char* failed) {
    log_add_line(&logv, ok ? done : failed);
    g_flash_progress = ok ? 100 : -1;
    g_flash_status = ok ? FLASH_STATUS_OK : FLASH_STATUS_ERROR;
    probe_wake_ui();
    if (ok && probe_context()) {
        log_add_line(&logv, dbg_reset_halt() ? "[FLASH] Target reset and halted"
                                             : "[FLASH] Reset and halt after programming failed");
    }
    job_end();
}

bool ends_with_hex(const char* path) {
    const char* dot = std::strrchr(path, '.');
    const char* slash = std::strrchr(path, '/');
    return dot && (!slash || dot > slash) && strcasecmp(dot, ".hex") == 0;
}

bool pack_dir(char* out, size_t cap) {
    {
        std::lock_guard<std::mutex> lk(s_param_mtx);
        if (s_pack_dir[0]) return std::snprintf(out, cap, "%s", s_pack_dir) < int(cap);
    }
    // One packs folder for identification and flashing: beside the settings.
    if (pdsc_db_packs_dir()[0]) return pdsc_db_packs_folder(out, cap);
    char exe[1024];
    return plat_exe_dir(exe, sizeof exe) && std::snprintf(out, cap, "%spacks", exe) < int(cap);
}

bool flm_route(DapContext* dap, const char* packs, const char* device, const uint8_t* img, uint32_t size,
               uint32_t base) {
    const McuRecord& rec = g_mcu_info.mcu;
    char dname[128];
    // ST's table names a group of parts; the pack names ordering codes.
    if (rec.vendor == MCU_VENDOR_ST && g_mcu_info.flash_kb &&
        pdsc_find_device_for_variant(packs, device, rec.flash_base, g_mcu_info.flash_kb * 1024u, dname,
                                     sizeof dname)) {
        log_addf(&logv, "[FLASH] Pack device for %s (%u KB): %s", device, g_mcu_info.flash_kb, dname);
        device = dname;
    }
    return flm_program_device(dap, packs, device, img, size, base);
}

const char* linkserver_path(char* buf, size_t cap) {
    {
        std::lock_guard<std::mutex> lk(s_param_mtx);
        if (s_linkserver[0]) return std::snprintf(buf, cap, "%s", s_linkserver) < int(cap) ? buf : nullptr;
    }
    for (size_t i = 1; i < sizeof s_candidates / sizeof s_candidates[0]; ++i)
        if (plat_file_exists(s_candidates[i])) return s_candidates[i];
    return s_candidates[0];
}

// The converted image of a HEX file as a temporary BIN, so that every route
// programs the same bytes at the same base.
bool write_temp_bin(const uint8_t* img, uint32_t size, char* path, size_t cap) {
    if (std::snprintf(path, cap, "/tmp/korvane-flash-XXXXXX.bin") >= (int)cap) return false;
    int fd = mkstemps(path, 4);
    if (fd < 0) return false;
    bool ok = write(fd, img, size) == (ssize_t)size;
    ok = close(fd) == 0 && ok;
    if (!ok) unlink(path);
    return ok;
}

bool linkserver_route(const char* fw_path, bool is_hex, const char* device, const char* packs, const uint8_t* img,
                      uint32_t size, uint32_t base) {
    char path_buf[1024];
    const char* exe = linkserver_path(path_buf, sizeof path_buf);
    if (!exe) return false;
    char tmp_bin[64] = "";
    if (is_hex) {
        if (!write_temp_bin(img, size, tmp_bin, sizeof tmp_bin)) {
            log_add_line(&logv, "[FLASH] Cannot write the converted HEX image for LinkServer");
            return false;
        }
        fw_path = tmp_bin;
    }
    struct TempGone {
        const char* p;
        ~TempGone() {
            if (p[0]) unlink(p);
        }
    } gone{tmp_bin};
    uint32_t load_base = base ? base : g_mcu_info.mcu.flash_base;
    char dev_arg[300], load_arg[1100];
    if (std::snprintf(dev_arg, sizeof dev_arg, "%s:%s", device, device) >= int(sizeof dev_arg) ||
        std::snprintf(load_arg, sizeof load_arg, "%s:0x%X", fw_path, load_base) >= int(sizeof load_arg)) {
        log_add_line(&logv, "[FLASH] LinkServer arguments too long");
        return false;
    }
    const char* argv[] = {exe, "flash", dev_arg, "load", load_arg, nullptr};
    log_addf(&logv, "[FLASH] LinkServer: \"%.300s\" flash %.200s load \"%.300s\"", exe, dev_arg, load_arg);
    uint32_t timeout;
    {
        std::lock_guard<std::mutex> lk(s_param_mtx);
        timeout = s_linkserver_timeout_ms;
    }
    // The external program needs the probe for itself.
    probe_release();
    int code = -1, err = 0;
    PlatProcResult r = plat_process_run(argv, timeout, &code, &err);
    bool ok = false;
    if (r == PLAT_PROC_SPAWN_FAILED) {
        log_addf(&logv, "[FLASH] LinkServer not available (err=%d) — FLM fallback", err);
        if (!probe_reopen()) {
            log_add_line(&logv, "[FLASH] Probe could not be re-opened for the FLM fallback");
            return false;
        }
        return flm_route(probe_context(), packs, device, img, size, base);
    }
    if (r == PLAT_PROC_TIMEOUT) {
        log_addf(&logv, "[FLASH] LinkServer timeout (>%us) — stopped", unsigned(timeout / 1000));
    } else {
        ok = code == 0;
        if (!ok) log_addf(&logv, "[FLASH] LinkServer exit code %d", code);
    }
    if (!probe_reopen()) log_add_line(&logv, "[FLASH] Probe not re-opened after LinkServer — retrying in the background");
    return ok;
}

}  // namespace

void probe_set_flash_params(const char* bin_path, uint32_t base, const char* device_name) {
    (void)base;  // the image carries its own base
    if (!bin_path || !device_name) return;
    std::lock_guard<std::mutex> lk(s_param_mtx);
    if (s_job_running) {
        log_add_line(&logv, "[FLASH] A flash job is running — its parameters stay as they are");
        return;
    }
    copy_param(s_flash_path, sizeof s_flash_path, bin_path, "Firmware path");
    copy_param(s_device_name, sizeof s_device_name, device_name, "Device name");
}

void flash_set_pack_dir(const char* dir) {
    std::lock_guard<std::mutex> lk(s_param_mtx);
    copy_param(s_pack_dir, sizeof s_pack_dir, dir ? dir : "", "Packs folder");
}

void flash_set_linkserver(const char* path, uint32_t timeout_ms) {
    std::lock_guard<std::mutex> lk(s_param_mtx);
    copy_param(s_linkserver, sizeof s_linkserver, path ? path : "", "LinkServer path");
    s_linkserver_timeout_ms = timeout_ms ? timeout_ms : 30000;
}

void flash_set_route(FlashRoute r) {
    std::lock_guard<std::mutex> lk(s_param_mtx);
    s_route = r;
}

FlashRoute flash_route() {
    std::lock_guard<std::mutex> lk(s_param_mtx);
    return s_route;
}

bool flash_route_parse(const char* text, FlashRoute* out) {
    static const FlashRoute all[] = {FLASH_ROUTE_AUTO, FLASH_ROUTE_NATIVE, FLASH_ROUTE_PACK};
    for (FlashRoute r : all)
        if (text && !strcasecmp(text, flash_route_name(r))) return *out = r, true;
    return false;
}

const char* flash_route_name(FlashRoute r) {
    return r == FLASH_ROUTE_NATIVE ? "native" : r == FLASH_ROUTE_PACK ? "pack" : "auto";
}

void handle_flash() {
    char path[1024], device[128];
    job_begin(path, sizeof path, device, sizeof device);
    DapContext* dap = probe_context();
    if (!dap || !path[0] || !device[0]) return job_refused("[FLASH] Missing params");
    if (!g_mcu_info.valid) return job_refused("[FLASH] MCU not identified — connect and halt the target first");
    char packs[1100];
    if (!pack_dir(packs, sizeof packs)) return job_refused("[FLASH] Packs folder path too long");

    uint32_t base = 0, size = 0;
    uint8_t* img;
    if (ends_with_hex(path)) {
        img = hex_to_bin(path, &base, &size);
        if (!img) return job_refused("[FLASH] Failed to parse HEX file");
        log_addf(&logv, "[FLASH] HEX: base=0x%08X size=%u B", base, size);
    } else {
        img = bin_read_file(path, &size);
        if (!img) return job_refused("[FLASH] FAILED");
    }
    log_addf(&logv, "[FLASH] Programming %s (%u B)", device, size);
    const FlashRoute route = flash_route();
    // A target INI accepted at identification describes this chip best,
    // unless the settings force one of the other routes.
    if (g_target_algo_valid && route == FLASH_ROUTE_AUTO) {
        log_add_line(&logv, "[FLASH] Using INI+BIN target algo path");
        probe_set_algo_flash_params(img, size, base, &g_target_algo);
        return handle_flash_algo();
    }
    bool ok;
    const McuRecord& rec = g_mcu_info.mcu;
    // The chip's main flash, as identification measured it.
    const uint32_t at = base ? base : rec.flash_base, flash_end = rec.flash_base + g_mcu_info.flash_kb * 1024u;
    const bool in_main = g_mcu_info.flash_kb && at >= rec.flash_base && uint64_t(at) + size <= flash_end;
    const bool native = rec.vendor == MCU_VENDOR_ST && route != FLASH_ROUTE_PACK &&
                        (route == FLASH_ROUTE_NATIVE || in_main);
    if (dap->mcu.has_debug_mailbox) {
        ok = linkserver_route(path, ends_with_hex(path), device, packs, img, size, base);
    } else if (native) {
        log_add_line(&logv, "[FLASH] Using built-in STM32 flash algorithm");
        ok = stm32_flash_program(dap, &rec, img, size, base);
    } else {
        ok = flm_route(dap, packs, device, img, size, base);
    }
    std::free(img);
    job_finished(ok, "[FLASH] Done", "[FLASH] FAILED");
}

void probe_set_algo_flash_params(uint8_t* image, uint32_t size, uint32_t base, TargetAlgo* algo) {
    std::lock_guard<std::mutex> lk(s_param_mtx);
    std::free(s_algo_fw_data);
    s_algo_fw_data = image;
    s_algo_fw_size = image ? size : 0;
    s_algo_fw_base = base;
    s_algo_ptr = algo;
}

void handle_flash_algo() {
    uint8_t* img;
    uint32_t size, base;
    TargetAlgo* algo;
    {
        std::lock_guard<std::mutex> lk(s_param_mtx);
        s_job_running = true;
        img = s_algo_fw_data, size = s_algo_fw_size, base = s_algo_fw_base, algo = s_algo_ptr;
        s_algo_fw_data = nullptr, s_algo_fw_size = 0;
    }
    struct ImageGone {
        uint8_t* p;
        ~ImageGone() { std::free(p); }
    } gone{img};
    DapContext* dap = probe_context();
    if (!dap) return job_refused("[ALGO FLASH] No probe connected");
    if (!img || !size) return job_refused("[ALGO FLASH] No firmware data");
    if (!algo) return job_refused("[ALGO FLASH] No target algo loaded");
    log_addf(&logv, "[ALGO FLASH] Starting: %u B \u2192 %s", size, algo->device.name);
    // The image's own base: a HEX file placed past the flash start stays there.
    const bool ok = target_algo_program(dap, algo, img, size, base);
    job_finished(ok, "[ALGO FLASH] Done", "[ALGO FLASH] FAILED");
}

static void flash_command(int cmd) {
    if (cmd == PROBE_CMD_FLASH_ALGO) handle_flash_algo();
    else handle_flash();
}

void flash_install() { probe_set_flash_handler(flash_command); }
