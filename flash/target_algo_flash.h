// Flash programming through a target INI: its algorithm blob called in
// target RAM (use_bin = yes), or its own erase and program sequences run
// per sector and per word. Probe thread only.
#pragma once

#include <cstdint>

#include "target/target_algo.h"

struct DapContext;

// Reads the INI's BIN (once; kept in algo->blob) and writes it to load_addr
// on the halted core. Refused before anything is written when the blob, its
// return trap, page buffer and stack do not fit the INI's RAM apart.
bool algo_load_blob(DapContext* dap, TargetAlgo* algo);
// The blob's BIN read into algo->blob (no target access); false, logged, when unreadable.
bool algo_read_blob(TargetAlgo* algo);
// Whether blob, trap, page buffer and stack lie apart inside ram_base/ram_size.
bool algo_blob_fits(const TargetAlgo* algo);
// One blob function on the halted core, returning into the BKPT trap at
// static_base. True when it stopped there with R0 = 0.
bool algo_call(DapContext* dap, const AlgoFlash* fl, uint32_t pc, uint32_t r0, uint32_t r1, uint32_t r2,
               uint32_t timeout_ms);

// The image at base_addr (0: flash_base), by the blob or, without use_bin,
// natively. What partly covered sectors held beside the image is kept.
bool target_algo_program(DapContext* dap, TargetAlgo* algo, const uint8_t* data, uint32_t len, uint32_t base_addr);
bool target_algo_program_native(DapContext* dap, TargetAlgo* algo, const uint8_t* data, uint32_t len,
                                uint32_t base_addr);
