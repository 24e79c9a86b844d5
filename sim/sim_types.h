// What the two halves of the simulator share: the probe side (USB device,
// CMSIS-DAP firmware, SW-DP and MEM-AP) and the target side (the board: core,
// debug registers, memories, peripherals). Plain records of function pointers,
// so each half can be tested against a stand-in of the other.
#pragma once

#include <cstdint>

// The system bus as a MEM-AP sees it. Sizes are 1, 2 or 4 bytes, addresses
// aligned to the size. False = the bus answered with an error (unmapped
// address, a peripheral that refuses the access): the AP then sets STICKYERR
// and the transfer answers FAULT.
struct SimMemPort {
    void* ctx;
    bool (*read)(void* ctx, uint32_t addr, unsigned size, uint32_t* value);
    bool (*write)(void* ctx, uint32_t addr, unsigned size, uint32_t value);
};

// Signals from the probe's connector to the board.
struct SimTargetLines {
    void* ctx;
    // nRESET pin: true while the probe drives it low (reset asserted).
    void (*set_nreset)(void* ctx, bool asserted);
    // Debug power: CDBGPWRUPREQ / CSYSPWRUPREQ as written to DP CTRL/STAT.
    // The board answers with the acknowledges it gives (normally the same).
    void (*power_request)(void* ctx, bool debug, bool system, bool* debug_ack, bool* system_ack);
};

// Virtual time. Everything the probe does costs time (USB frames, SWD clocks,
// DAP_Delay); the probe side reports it here and the board runs its core for
// that long. In real-time (demo) mode the board runs on its own thread and
// advance only accounts.
struct SimTicker {
    void* ctx;
    void (*advance)(void* ctx, uint64_t ns);
    uint64_t (*now_ns)(void* ctx);
};

// A ticker that only keeps time: for testing one half without the other.
struct SimPlainClock {
    uint64_t ns;
    SimTicker ticker;
};
void sim_plain_clock_init(SimPlainClock* c);
