#include "app/demo.h"

#include <cstdio>

#include "app/settings.h"
#include "platform/usb.h"
#include "sim/sim_usb_host.h"
#include "platform/log_store.h"

static SimSystem* s_sys;
static SimUsbHost s_host;

static void set_path(char* dst, const char* src) { std::snprintf(dst, CFG_PATH_LEN, "%s", src); }

bool demo_start(bool v1_probe, char* err, size_t err_size) {
    SimSystemConfig c;
    sim_system_default_config(&c);
    c.usb_kind = v1_probe ? SimUsbKind::V1Hid : SimUsbKind::V2Bulk512;
    const char* elf = KORVANE_DEMO_FW_DIR "/demo_O0_dwarf4.elf";
    c.firmware_elf = elf;
    s_sys = sim_system_create(&c, err, err_size);
    if (!s_sys) return false;
    if (!sim_system_start_realtime(s_sys)) {
        std::snprintf(err, err_size, "the simulator thread could not be started");
        sim_system_destroy(s_sys);
        s_sys = nullptr;
        return false;
    }
    sim_usb_host_init(&s_host, s_sys);
    sim_usb_host_install(&s_host);
    set_path(g_cfg_elf, elf);
    set_path(g_cfg_svd, KORVANE_DEMO_SVD);
    set_path(g_cfg_arm_svd, "");
    set_path(g_cfg_bin, KORVANE_DEMO_FW_DIR "/demo_O0_dwarf4.bin");
    set_path(g_src_root_dir, KORVANE_DEMO_SRC_DIR);
    config_set_read_only(true);
    log_addf(&logv, "[CFG] Demo mode: simulated %s probe and STM32F405 board; debugger.ini is left untouched "
             "(the demo's session is kept in demo_session.ini)",
             v1_probe ? "CMSIS-DAP v1 (HID)" : "CMSIS-DAP v2 (bulk)");
    return true;
}

void demo_stop() {
    if (!s_sys) return;
    usb_backend_install(nullptr, nullptr);
    sim_system_destroy(s_sys);
    s_sys = nullptr;
}

bool demo_active() { return s_sys != nullptr; }
