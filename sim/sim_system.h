// A whole simulated setup: a CMSIS-DAP probe on USB wired to a board by SWD,
// the board running firmware. What a host (our transport, a test, the demo)
// talks to is the probe's USB device.
//
// Two ways for time to pass. Virtual (the default, for tests): the board runs
// exactly as long as the probe's work takes (USB frames, SWD clocks), so every
// run is deterministic. Real time (the demo): a thread runs the board at the
// wall clock's pace, and the probe's costs are only counted.
#pragma once

#include <cstddef>

#include "sim/board.h"
#include "sim/link_model_probe.h"

struct SimSystemConfig {
    SimUsbKind usb_kind;
    SimBoardProfile board;
    const char* firmware_elf;  // loaded into the board before its power-on reset; may be null
};

struct SimSystem;

// Defaults: an STM32F405-like board behind a v2 (512-byte bulk) probe, no firmware.
void sim_system_default_config(SimSystemConfig* c);
// Null, with a reason in `err`, when the board, the firmware or the probe cannot be set up.
SimSystem* sim_system_create(const SimSystemConfig* c, char* err, size_t err_size);
// Stops the real-time thread first, if any.
void sim_system_destroy(SimSystem* s);

SimBoard* sim_system_board(SimSystem* s);
SimProbe* sim_system_probe(SimSystem* s);
SimUsbDev* sim_system_usb(SimSystem* s);

// Real-time mode. From here on, touch the probe and the board only through
// the functions below or between sim_system_lock and sim_system_unlock.
bool sim_system_start_realtime(SimSystem* s);
void sim_system_stop_realtime(SimSystem* s);
bool sim_system_is_realtime(const SimSystem* s);
void sim_system_lock(SimSystem* s);
void sim_system_unlock(SimSystem* s);
// The probe's USB endpoint operations, serialised with the board's thread.
bool sim_system_usb_write(SimSystem* s, const uint8_t* data, size_t n, uint32_t timeout_ms, size_t* written);
bool sim_system_usb_read(SimSystem* s, uint8_t* buf, size_t cap, uint32_t timeout_ms, size_t* got);
