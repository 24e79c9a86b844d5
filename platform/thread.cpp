#include "platform/thread.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "platform/clock.h"

struct PlatThread {
    std::thread thread;
    std::mutex mtx;
    std::condition_variable cv;
    bool done = false;
    PlatThreadFn fn = nullptr;
    void* arg = nullptr;
};

static void thread_body(PlatThread* t) {
    t->fn(t->arg);
    std::lock_guard<std::mutex> lk(t->mtx);
    t->done = true;
    t->cv.notify_all();
}

PlatThread* plat_thread_start(PlatThreadFn fn, void* arg) {
    if (!fn) return nullptr;
    PlatThread* t = new (std::nothrow) PlatThread;
    if (!t) return nullptr;
    t->fn = fn;
    t->arg = arg;
    try {
        t->thread = std::thread(thread_body, t);
    } catch (...) {
        delete t;
        return nullptr;
    }
    return t;
}

bool plat_thread_join(PlatThread* t, uint32_t timeout_ms) {
    if (!t) return true;
    {
        std::unique_lock<std::mutex> lk(t->mtx);
        if (!t->cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), [t] { return t->done; }))
            return false;
    }
    t->thread.join();
    delete t;
    return true;
}

struct PlatEvent {
    std::mutex mtx;
    std::condition_variable cv;
    bool signaled = false;
};

PlatEvent* plat_event_create() { return new (std::nothrow) PlatEvent; }

void plat_event_destroy(PlatEvent* e) { delete e; }

void plat_event_set(PlatEvent* e) {
    if (!e) return;
    std::lock_guard<std::mutex> lk(e->mtx);
    e->signaled = true;
    e->cv.notify_one();
}

void plat_event_reset(PlatEvent* e) {
    if (!e) return;
    std::lock_guard<std::mutex> lk(e->mtx);
    e->signaled = false;
}

bool plat_event_wait(PlatEvent* e, uint32_t timeout_ms) {
    if (!e) return false;
    const PlatClock* clock = plat_clock_current();
    // Under a virtual clock a short real wait lets another thread's set land;
    // the rest of the time-out passes on the clock.
    uint32_t real_ms = clock->is_virtual ? std::min<uint32_t>(timeout_ms, 2) : timeout_ms;
    std::unique_lock<std::mutex> lk(e->mtx);
    if (!e->cv.wait_for(lk, std::chrono::milliseconds(real_ms), [e] { return e->signaled; })) {
        if (!clock->is_virtual || timeout_ms == 0) return false;
        lk.unlock();
        clock->sleep_ms(clock->ctx, timeout_ms);
        lk.lock();
        if (!e->signaled) return false;
    }
    e->signaled = false;
    return true;
}
