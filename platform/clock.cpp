#include "platform/clock.h"

#include <atomic>
#include <time.h>

static uint64_t real_now_ms(void*) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

static void real_sleep_ms(void*, uint32_t ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000u;
    ts.tv_nsec = (long)(ms % 1000u) * 1000000L;
    while (nanosleep(&ts, &ts) != 0) {
    }
}

static const PlatClock s_real_clock = {real_now_ms, real_sleep_ms, nullptr, false};
static std::atomic<const PlatClock*> s_clock{&s_real_clock};

uint64_t plat_time_ms() {
    const PlatClock* c = s_clock.load(std::memory_order_acquire);
    return c->now_ms(c->ctx);
}

void plat_sleep_ms(uint32_t ms) {
    const PlatClock* c = s_clock.load(std::memory_order_acquire);
    c->sleep_ms(c->ctx, ms);
}

const PlatClock* plat_clock_current() { return s_clock.load(std::memory_order_acquire); }

void plat_clock_install(const PlatClock* clock) {
    s_clock.store(clock ? clock : &s_real_clock, std::memory_order_release);
}

static uint64_t virtual_now_ms(void* ctx) {
    return static_cast<PlatVirtualClock*>(ctx)->now;
}

static void virtual_sleep_ms(void* ctx, uint32_t ms) {
    static_cast<PlatVirtualClock*>(ctx)->now += ms;
}

void plat_virtual_clock_init(PlatVirtualClock* vc, uint64_t start_ms) {
    vc->now = start_ms;
    vc->clock.now_ms = virtual_now_ms;
    vc->clock.sleep_ms = virtual_sleep_ms;
    vc->clock.ctx = vc;
    vc->clock.is_virtual = true;
}
