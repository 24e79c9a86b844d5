// SimProbe: the whole simulated probe as a host meets it, USB device +
// CMSIS-DAP firmware + SW-DP/MEM-AP, built from one config record, with the
// counters of what a session cost.
#pragma once

#include <cstdint>

#include "sim/dap_fw.h"
#include "sim/sim_types.h"
#include "sim/swd_dp.h"
#include "sim/usb_dev.h"

struct SimProbeConfig {
    SimUsbConfig usb;
    SimDapConfig dap;
    SimSwdConfig swd;
    SimMemPort bus;        // what AP0 reaches: the board's system bus
    SimTargetLines lines;  // nRESET and power requests
    SimTicker ticker;      // the board's time
};

struct SimProbeCounters {
    uint64_t exchanges;
    uint64_t bytes_out;
    uint64_t bytes_in;
    uint64_t dp_reads;
    uint64_t dp_writes;
    uint64_t ap_reads;
    uint64_t ap_writes;
    uint64_t waits;
    uint64_t faults;
    uint64_t no_acks;
    uint64_t swd_clocks;
    uint64_t swd_ns;
    uint64_t link_ns;
    uint64_t delay_ns;
};

struct SimProbe {
    SimSwd swd;
    SimDap dap;
    SimUsbDev usb;
};

// A probe of the given personality: packet size follows the endpoint
// (64 or 512), packet count 4, STM32F4 SW-DP. bus, lines and ticker are left
// for the caller.
void sim_probe_default_config(SimProbeConfig* c, SimUsbKind kind);
bool sim_probe_init(SimProbe* p, const SimProbeConfig* c);
SimProbeCounters sim_probe_counters(const SimProbe* p);
void sim_probe_reset_counters(SimProbe* p);
