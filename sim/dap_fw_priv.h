// Shared between the CMSIS-DAP command files; not part of the interface.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/dap_fw.h"

// Response under construction; capacity is checked before a command runs,
// the guard here only keeps a mistake from becoming an overrun.
struct SimDapOut {
    uint8_t* p;
    size_t cap;
    size_t len;
    bool overflow;
};

void sim_dap_put8(SimDapOut* o, uint8_t v);
void sim_dap_put16(SimDapOut* o, uint16_t v);
void sim_dap_put32(SimDapOut* o, uint32_t v);
uint16_t sim_dap_get16(const uint8_t* p);
uint32_t sim_dap_get32(const uint8_t* p);

// One SWD transaction with the configured WAIT retries, counted and timed.
uint8_t sim_dap_swd(SimDap* d, uint8_t request, uint32_t* data);
// SWCLK cycles spent without a transaction (sequences, idle).
void sim_dap_clocks(SimDap* d, uint64_t clocks);
uint32_t sim_dap_timestamp(const SimDap* d);

// Request length and exact worst-case response length of a transfer
// command; false = malformed.
bool sim_dap_measure_transfer(const uint8_t* req, size_t n, size_t* req_len, size_t* resp_len);
bool sim_dap_measure_block(const uint8_t* req, size_t n, size_t* req_len, size_t* resp_len);
void sim_dap_transfer(SimDap* d, const uint8_t* req, SimDapOut* o);
void sim_dap_transfer_block(SimDap* d, const uint8_t* req, SimDapOut* o);
