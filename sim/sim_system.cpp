#include "sim/sim_system.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <new>
#include <thread>

struct SimSystem {
    SimBoard* board = nullptr;
    SimProbe probe{};
    std::mutex mtx;
    std::thread thread;
    std::atomic<bool> realtime{false};
    std::atomic<bool> stop{false};
    uint64_t counted_ns = 0;  // board time the probe's work ran ahead of the clock (under mtx)
};

// Virtual time: the probe's work costs time and the core runs for exactly
// that long. In real time too: the reads of a probe's value match take real
// time on the wire, in which a flash operation ends; the real-time loop then
// runs the board that much less.
static void system_advance(void* ctx, uint64_t ns) {
    SimSystem* s = static_cast<SimSystem*>(ctx);
    if (s->realtime.load(std::memory_order_relaxed)) s->counted_ns += ns;
    sim_board_run(s->board, ns);
}

static uint64_t system_now(void* ctx) { return sim_board_now_ns(static_cast<SimSystem*>(ctx)->board); }

void sim_system_default_config(SimSystemConfig* c) {
    c->usb_kind = SimUsbKind::V2Bulk512;
    c->board = sim_board_profile_stm32f405();
    c->firmware_elf = nullptr;
}

SimSystem* sim_system_create(const SimSystemConfig* c, char* err, size_t err_size) {
    if (err && err_size) err[0] = 0;
    if (!c) return nullptr;
    SimSystem* s = new (std::nothrow) SimSystem;
    if (!s) return nullptr;
    s->board = sim_board_create(c->board);
    if (!s->board) {
        if (err) snprintf(err, err_size, "board profile '%s' cannot be simulated", c->board.name ? c->board.name : "?");
        delete s;
        return nullptr;
    }
    if (c->firmware_elf) {
        char why[200] = "";
        if (!sim_board_load_elf_file(s->board, c->firmware_elf, why, sizeof why)) {
            if (err) snprintf(err, err_size, "firmware %s: %s", c->firmware_elf, why);
            sim_system_destroy(s);
            return nullptr;
        }
        sim_board_power_on_reset(s->board);
    }
    SimProbeConfig pc;
    sim_probe_default_config(&pc, c->usb_kind);
    pc.bus = sim_board_debug_port(s->board);
    pc.lines = sim_board_lines(s->board);
    pc.ticker = SimTicker{s, system_advance, system_now};
    if (!sim_probe_init(&s->probe, &pc)) {
        if (err) snprintf(err, err_size, "probe configuration refused");
        sim_system_destroy(s);
        return nullptr;
    }
    return s;
}

void sim_system_destroy(SimSystem* s) {
    if (!s) return;
    sim_system_stop_realtime(s);
    sim_board_destroy(s->board);
    delete s;
}

SimBoard* sim_system_board(SimSystem* s) { return s ? s->board : nullptr; }
SimProbe* sim_system_probe(SimSystem* s) { return s ? &s->probe : nullptr; }
SimUsbDev* sim_system_usb(SimSystem* s) { return s ? &s->probe.usb : nullptr; }

static void realtime_loop(SimSystem* s) {
    using clock = std::chrono::steady_clock;
    auto last = clock::now();
    while (!s->stop.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        auto now = clock::now();
        uint64_t ns = (uint64_t)std::chrono::duration_cast<std::chrono::nanoseconds>(now - last).count();
        last = now;
        // After a stall (a debugger breakpoint on us, a loaded machine) the
        // board falls behind instead of racing to catch up.
        ns = std::min<uint64_t>(ns, 20'000'000);
        std::lock_guard<std::mutex> lk(s->mtx);
        const uint64_t ahead = std::min(ns, s->counted_ns);
        s->counted_ns -= ahead;
        if (ns > ahead) sim_board_run(s->board, ns - ahead);
    }
}

bool sim_system_start_realtime(SimSystem* s) {
    if (!s || s->realtime.load()) return s != nullptr;
    s->stop = false;
    {
        std::lock_guard<std::mutex> lk(s->mtx);
        s->counted_ns = 0;
    }
    s->realtime = true;
    try {
        s->thread = std::thread(realtime_loop, s);
    } catch (...) {
        s->realtime = false;
        return false;
    }
    return true;
}

void sim_system_stop_realtime(SimSystem* s) {
    if (!s || !s->realtime.load()) return;
    s->stop = true;
    if (s->thread.joinable()) s->thread.join();
    s->realtime = false;
}

bool sim_system_is_realtime(const SimSystem* s) { return s && s->realtime.load(); }
void sim_system_lock(SimSystem* s) { s->mtx.lock(); }
void sim_system_unlock(SimSystem* s) { s->mtx.unlock(); }

bool sim_system_usb_write(SimSystem* s, const uint8_t* data, size_t n, uint32_t timeout_ms, size_t* written) {
    std::lock_guard<std::mutex> lk(s->mtx);
    return sim_usb_write(&s->probe.usb, data, n, timeout_ms, written);
}

bool sim_system_usb_read(SimSystem* s, uint8_t* buf, size_t cap, uint32_t timeout_ms, size_t* got) {
    std::lock_guard<std::mutex> lk(s->mtx);
    return sim_usb_read(&s->probe.usb, buf, cap, timeout_ms, got);
}
