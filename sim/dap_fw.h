// CMSIS-DAP firmware (v2.1 command set, SWD only) in front of a simulated
// SW-DP: one command packet in, one response packet out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/sim_types.h"
#include "sim/swd_dp.h"

enum : size_t { SIM_DAP_MAX_PACKET = 1024 };

// Command and answer bytes the tests and the USB side name.
enum : uint8_t {
    SIM_DAP_INFO = 0x00,
    SIM_DAP_HOST_STATUS = 0x01,
    SIM_DAP_CONNECT = 0x02,
    SIM_DAP_DISCONNECT = 0x03,
    SIM_DAP_TRANSFER_CONFIGURE = 0x04,
    SIM_DAP_TRANSFER = 0x05,
    SIM_DAP_TRANSFER_BLOCK = 0x06,
    SIM_DAP_TRANSFER_ABORT = 0x07,
    SIM_DAP_WRITE_ABORT = 0x08,
    SIM_DAP_DELAY = 0x09,
    SIM_DAP_RESET_TARGET = 0x0A,
    SIM_DAP_SWJ_PINS = 0x10,
    SIM_DAP_SWJ_CLOCK = 0x11,
    SIM_DAP_SWJ_SEQUENCE = 0x12,
    SIM_DAP_SWD_CONFIGURE = 0x13,
    SIM_DAP_SWD_SEQUENCE = 0x1D,
    SIM_DAP_EXECUTE_COMMANDS = 0x7F,
    SIM_DAP_INVALID = 0xFF,
    SIM_DAP_OK = 0x00,
    SIM_DAP_ERROR = 0xFF,
    // Transfer response byte: ACK in bits 2:0, plus these.
    SIM_DAP_TRANSFER_PROTOCOL_ERROR = 0x08,
    SIM_DAP_TRANSFER_MISMATCH = 0x10,
};

struct SimDapConfig {
    char vendor[40];
    char product[60];     // contains "CMSIS-DAP", as hosts look for it
    char serial[40];
    char fw_version[16];
    char protocol_version[8];  // "2.1.0"
    uint16_t packet_size;      // 64 for HID and full-speed bulk, 512 for high-speed bulk
    uint8_t packet_count;      // commands the probe can hold at once
    bool jtag_capability;      // advertise JTAG as many real probes do (Connect(JTAG) still fails)
    uint32_t max_swj_clock_hz;
};

struct SimDapCounters {
    uint64_t commands;
    uint64_t malformed;      // rejected packets (answered with an error)
    uint64_t dp_reads;       // SWD transactions on the wire, by kind
    uint64_t dp_writes;
    uint64_t ap_reads;
    uint64_t ap_writes;
    uint64_t waits;          // WAIT answers seen
    uint64_t faults;         // FAULT answers seen
    uint64_t no_acks;        // transactions nobody answered
    uint64_t swd_clocks;     // SWCLK cycles, sequences included
    uint64_t swd_ns;         // time those clocks took
    uint64_t delay_ns;       // DAP_Delay and SWJ_Pins waits
};

struct SimDap {
    SimDapConfig cfg;
    SimSwd* swd;
    SimTargetLines lines;
    SimTicker ticker;

    bool connected;
    uint8_t idle_cycles;
    uint16_t wait_retry;
    uint16_t match_retry;
    uint32_t match_mask;
    uint8_t turnaround;
    bool data_phase;
    uint32_t clock_hz;
    uint8_t pins;            // last driven SWJ pin levels (DAP_SWJ_Pins bit layout)
    uint64_t clock_rem;      // carries sub-ns remainders between conversions
    SimDapCounters counters;
};

// v2 (512-byte packets) defaults.
void sim_dap_default_config(SimDapConfig* c);
bool sim_dap_init(SimDap* d, const SimDapConfig* c, SimSwd* swd, SimTargetLines lines, SimTicker ticker);
// Power-on state of the probe firmware (after a replug); the target keeps its state.
void sim_dap_reset(SimDap* d);
// Handles one command packet. The answer never exceeds min(cap, packet size).
// *resp_len = 0 means no answer (DAP_TransferAbort, or cap too small for any).
// False = the packet was malformed or unknown; the answer then says so
// (DAP_ERROR status, 0xFF for an unknown command, or a transfer answer with
// count 0 and the protocol-error bit).
bool sim_dap_process(SimDap* d, const uint8_t* req, size_t n, uint8_t* resp, size_t cap, size_t* resp_len);
