// Monotonic milliseconds and sleeping, behind one seam so that tests (and the
// simulated board) can run in virtual time instead of the wall clock.
#pragma once

#include <cstdint>

struct PlatClock {
    uint64_t (*now_ms)(void* ctx);
    void (*sleep_ms)(void* ctx, uint32_t ms);
    void* ctx;
    // Virtual clocks also bound event waits: an unsignalled wait returns once
    // the clock has slept its time-out instead of waiting in real time.
    bool is_virtual;
};

uint64_t plat_time_ms();
void plat_sleep_ms(uint32_t ms);

// Replaces the clock for the whole process; nullptr restores the real one.
// The record must outlive its use.
void plat_clock_install(const PlatClock* clock);
// The clock in use.
const PlatClock* plat_clock_current();

// A clock that only moves when slept on or advanced: sleeping returns at once.
struct PlatVirtualClock {
    uint64_t now;  // milliseconds
    PlatClock clock;
};
void plat_virtual_clock_init(PlatVirtualClock* vc, uint64_t start_ms);
