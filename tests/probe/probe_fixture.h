// A simulated probe and board on the USB back-ends, in virtual time, for
// tests of the host side. One per test; everything is undone on destruction.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/usb.h"
#include "probe/dap.h"
#include "sim/sim_usb_host.h"
#include "platform/log_store.h"
#include "tests/log_lines.h"

// Opens whichever transport the rig's probe has.
inline DapContext* rig_open(SimUsbKind kind) { return kind == SimUsbKind::V1Hid ? dap_open(0, 0) : dap_open_v2(0, 0); }

struct SimRig {
    SimUsbKind kind;
    SimSystem* sys = nullptr;
    SimUsbHost host{};
    SimHostClock clock{};
    char err[256] = {};

    // firmware: a demo image name ("demo_O2_dwarf4.elf"), or empty for none.
    explicit SimRig(SimUsbKind kind, const std::string& firmware = "demo_O2_dwarf4.elf", bool attach = true,
                    unsigned instr_per_us = 0, uint8_t fpb_version = 0)
        : SimRig(kind, firmware, attach, [&](SimBoardProfile& p) {
              if (instr_per_us) p.instr_per_us = instr_per_us;
              if (fpb_version) p.fpb_version = fpb_version;
          }) {}
    // A board profile of the test's choosing (another chip, missing ROM tables...).
    SimRig(SimUsbKind kind, const std::string& firmware, bool attach, const std::function<void(SimBoardProfile&)>& tweak)
        : kind(kind) {
        SimSystemConfig c;
        sim_system_default_config(&c);
        tweak(c.board);
        c.usb_kind = kind;
        std::string path = std::string(KORVANE_DEMO_FW_DIR) + "/" + firmware;
        c.firmware_elf = firmware.empty() ? nullptr : path.c_str();
        sys = sim_system_create(&c, err, sizeof err);
        sim_usb_host_init(&host, attach ? sys : nullptr);
        sim_usb_host_install(&host);
        if (sys) {
            sim_host_clock_init(&clock, sys);
            plat_clock_install(&clock.clock);
        }
        log_clear(&logv);
    }
    ~SimRig() {
        for (int i = 0; ::testing::Test::HasFailure() && i < log_count(&logv); ++i) {  // a failing test's log, the first thing to read
            char l[300];
            if (log_line(&logv, i, l, sizeof l, nullptr) && std::strstr(l, "[DAP") == nullptr) std::fprintf(stderr, "  log: %s\n", l);
        }
        dap_close(&g_dap_ctx);
        plat_clock_install(nullptr);
        usb_backend_install(nullptr, nullptr);
        sim_system_destroy(sys);
    }
    SimRig(const SimRig&) = delete;
    SimRig& operator=(const SimRig&) = delete;

    SimBoard* board() { return sim_system_board(sys); }
    SimProbe* probe() { return sim_system_probe(sys); }
    SimUsbDev* usb() { return sim_system_usb(sys); }
    void lock() { sim_system_lock(sys); }
    void unlock() { sim_system_unlock(sys); }
    // The probe opened and connected at 1 MHz, the core halted if asked; null when any of it failed.
    DapContext* connect(bool halt = false) {
        DapContext* c = sys ? rig_open(kind) : nullptr;
        return c && dap_connect(c, 1000000, false) && (!halt || dap_halt(c)) ? c : nullptr;
    }
    // The board's own view, through the back door.
    uint32_t reg(unsigned sel) {
        uint32_t v = 0;
        std::lock_guard<SimRig> lk(*this);
        EXPECT_TRUE(sim_board_read_core_reg(board(), sel, &v)) << sel;
        return v;
    }
    uint32_t word(uint32_t addr) {
        uint32_t v = 0;
        std::lock_guard<SimRig> lk(*this);
        EXPECT_TRUE(sim_board_read_mem(board(), addr, &v, 4)) << addr;
        return v;
    }
};

// Waits in real time for a condition the probe thread brings about (the
// board's virtual clock only moves with that thread).
inline bool wait_for(const std::function<bool()>& pred, int real_ms = 30000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(real_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
}

inline int log_count_of(const char* text) { return log_lines_with(text); }
// True when some log line contains `text`.
inline bool log_has(const char* text) { return log_count_of(text) > 0; }

inline const char* kind_name(SimUsbKind k) {
    return k == SimUsbKind::V1Hid ? "V1Hid" : k == SimUsbKind::V2Bulk512 ? "V2Bulk512" : "V2Bulk64";
}
