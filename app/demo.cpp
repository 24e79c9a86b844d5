#include "app/demo.h"

#include <cstdio>

#include "app/settings.h"
#include "platform/paths.h"
#include "platform/usb.h"
#include "sim/sim_usb_host.h"
#include "platform/log_store.h"

static SimSystem* s_sys;
static SimUsbHost s_host;

static DemoPaths s_paths;

static void set_path(char* dst, const char* src) { std::snprintf(dst, CFG_PATH_LEN, "%s", src); }

bool demo_pick_paths(const char* data_dir, DemoPaths* out) {
    *out = DemoPaths{};
    auto put = [](char (&dst)[260], const char* a, const char* b) {
        return std::snprintf(dst, sizeof dst, "%s%s", a, b) < (int)sizeof dst;
    };
    if (!data_dir || !data_dir[0])
        return put(out->elf, KORVANE_DEMO_FW_DIR, "/demo_O0_dwarf4.elf") &&
               put(out->bin, KORVANE_DEMO_FW_DIR, "/demo_O0_dwarf4.bin") && put(out->svd, KORVANE_DEMO_SVD, "") &&
               put(out->src, KORVANE_DEMO_SRC_DIR, "");
    bool ok = put(out->elf, data_dir, "firmware/demo_O0_dwarf4.elf") && put(out->bin, data_dir, "firmware/demo_O0_dwarf4.bin") &&
              put(out->svd, data_dir, "svd/korvane_demo.svd") && put(out->src, data_dir, "src") &&
              put(out->packs, data_dir, "packs");
    if (!ok) *out = DemoPaths{};
    return ok;
}

const char* demo_packs_dir() { return s_paths.packs; }

bool demo_start(bool v1_probe, char* err, size_t err_size) {
    char data[4096] = "";
    bool installed = plat_data_dir(data, sizeof data);
    if (!demo_pick_paths(data, &s_paths)) {
        std::snprintf(err, err_size, "the demo's data folder's path is too long: %.120s", data);
        return false;
    }
    SimSystemConfig c;
    sim_system_default_config(&c);
    c.usb_kind = v1_probe ? SimUsbKind::V1Hid : SimUsbKind::V2Bulk512;
    const char* elf = s_paths.elf;
    c.firmware_elf = elf;
    s_sys = sim_system_create(&c, err, err_size);
    if (!s_sys) {
        s_paths = DemoPaths{};
        return false;
    }
    if (!sim_system_start_realtime(s_sys)) {
        std::snprintf(err, err_size, "the simulator thread could not be started");
        sim_system_destroy(s_sys);
        s_sys = nullptr;
        s_paths = DemoPaths{};
        return false;
    }
    sim_usb_host_init(&s_host, s_sys);
    sim_usb_host_install(&s_host);
    set_path(g_cfg_elf, elf);
    set_path(g_cfg_svd, s_paths.svd);
    set_path(g_cfg_arm_svd, "");
    set_path(g_cfg_bin, s_paths.bin);
    set_path(g_src_root_dir, s_paths.src);
    config_set_read_only(true);
    log_addf(&logv, "[CFG] Demo data in %.200s", installed ? data : KORVANE_DEMO_FW_DIR);
    log_addf(&logv, "[CFG] Demo mode: simulated %s probe and STM32F405 board; debugger.ini is left untouched "
             "(the demo's session is kept in demo_session.ini)",
             v1_probe ? "CMSIS-DAP v1 (HID)" : "CMSIS-DAP v2 (bulk)");
    return true;
}

void demo_stop() {
    s_paths = DemoPaths{};
    if (!s_sys) return;
    usb_backend_install(nullptr, nullptr);
    sim_system_destroy(s_sys);
    s_sys = nullptr;
}

bool demo_active() { return s_sys != nullptr; }
