// A whole simulated setup: a CMSIS-DAP probe on USB wired to a board by SWD,
// the board running firmware. What a host (our transport, a test, the demo)
// talks to is the probe's USB device; time passes as the probe works.
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
void sim_system_destroy(SimSystem* s);

SimBoard* sim_system_board(SimSystem* s);
SimProbe* sim_system_probe(SimSystem* s);
SimUsbDev* sim_system_usb(SimSystem* s);
