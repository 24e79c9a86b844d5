// A simulated probe and board on the USB seam in virtual time, for one
// benchmark run: the system the config describes, installed as the USB back
// end and the clock, and everything put back afterwards.
#pragma once

#include <cstdio>
#include <string>

#include "platform/clock.h"
#include "platform/usb.h"
#include "probe/dap.h"
#include "sim/sim_system.h"
#include "sim/sim_usb_host.h"

// The least time a transfer of `bytes` can take, one model for every
// benchmark: full packets (a read answer carries packet - 4 bytes of data, a
// write packet packet - 8 beside its header and TAR write), one packet each
// way per (micro)frame with commands kept in flight, and SWD at 46 clocks a
// word at the same time: whichever is longer.
struct LinkLimit {
    double packets, link_ms, swd_ms, ms;
};
inline LinkLimit bench_link_limit(SimUsbKind k, double bytes, bool write, double swd_hz = 4000000) {
    const double packet = k == SimUsbKind::V2Bulk512 ? 512 : 64, frame_ms = k == SimUsbKind::V2Bulk512 ? 0.125 : 1.0;
    const double per = write ? packet - 8 : packet - 4;
    LinkLimit l;
    l.packets = bytes / per;
    l.link_ms = l.packets * frame_ms;
    l.swd_ms = (bytes / 4.0) * 46.0 / swd_hz * 1000.0;
    l.ms = l.link_ms > l.swd_ms ? l.link_ms : l.swd_ms;
    return l;
}

struct BenchRig {
    SimSystem* sys = nullptr;
    SimUsbHost host{};
    SimHostClock clock{};
    explicit BenchRig(const SimSystemConfig& cfg) {
        char err[256];
        sys = sim_system_create(&cfg, err, sizeof err);
        if (!sys) {
            std::fprintf(stderr, "simulator: %s\n", err);
            return;
        }
        sim_usb_host_init(&host, sys);
        sim_usb_host_install(&host);
        sim_host_clock_init(&clock, sys);
        plat_clock_install(&clock.clock);
    }
    // The default board with one of the demo firmware images.
    BenchRig(SimUsbKind kind, const char* firmware) : BenchRig(demo(kind, firmware)) {}
    ~BenchRig() {
        if (!sys) return;
        dap_close(&g_dap_ctx);
        plat_clock_install(nullptr);
        usb_backend_install(nullptr, nullptr);
        sim_system_destroy(sys);
    }
    BenchRig(const BenchRig&) = delete;
    BenchRig& operator=(const BenchRig&) = delete;

    // The probe opened, connected and the core halted; null when any of it failed.
    DapContext* connect(SimUsbKind kind) {
        DapContext* c = kind == SimUsbKind::V1Hid ? dap_open(0, 0) : dap_open_v2(0, 0);
        return c && dap_connect(c, 1000000, false) && dap_halt(c) ? c : nullptr;
    }

  private:
    static SimSystemConfig demo(SimUsbKind kind, const char* firmware) {
        static std::string elf;  // the config keeps only the pointer
        SimSystemConfig cfg;
        sim_system_default_config(&cfg);
        cfg.usb_kind = kind;
        elf = std::string(KORVANE_DEMO_FW_DIR) + "/" + firmware;
        cfg.firmware_elf = elf.c_str();
        return cfg;
    }
};
