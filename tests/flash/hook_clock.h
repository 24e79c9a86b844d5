// A clock for flash jobs under test: the simulator's, with `hook` called
// before each of the job's sleeps and, when asked, each look at the clock
// (every exchange looks: the hook then runs between them too).
#pragma once

#include <functional>
#include <utility>

#include "platform/clock.h"

struct HookClock {
    PlatClock clock{};
    const PlatClock* inner = plat_clock_current();
    std::function<void()> hook;
    bool on_reads;
    explicit HookClock(std::function<void()> h, bool on_clock_reads = false) : hook(std::move(h)), on_reads(on_clock_reads) {
        clock.now_ms = [](void* c) {
            auto* k = (HookClock*)c;
            if (k->on_reads && k->hook) k->hook();
            return k->inner->now_ms(k->inner->ctx);
        };
        clock.sleep_ms = [](void* c, uint32_t ms) {
            auto* k = (HookClock*)c;
            if (k->hook) k->hook();
            k->inner->sleep_ms(k->inner->ctx, ms);
        };
        clock.ctx = this, clock.is_virtual = true;
        plat_clock_install(&clock);
    }
    ~HookClock() { plat_clock_install(inner); }
};
