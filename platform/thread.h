// Worker threads and auto-reset events. A thread can be joined with a time-out:
// when it does not finish in time the caller learns so and must keep every
// resource the thread may still touch alive.
#pragma once

#include <cstdint>

struct PlatThread;
struct PlatEvent;

typedef void (*PlatThreadFn)(void* arg);

// Starts fn(arg) on a new thread; nullptr when it cannot be started.
PlatThread* plat_thread_start(PlatThreadFn fn, void* arg);

// Waits up to timeout_ms for the thread to return. True: it has finished and
// the handle is released. False: it is still running and the handle stays valid.
bool plat_thread_join(PlatThread* t, uint32_t timeout_ms);

// Auto-reset event: a set wakes exactly one wait (or the next one) and resets.
PlatEvent* plat_event_create();
void plat_event_destroy(PlatEvent* e);
void plat_event_set(PlatEvent* e);
void plat_event_reset(PlatEvent* e);
// True when the event was set within timeout_ms; consumes the set.
bool plat_event_wait(PlatEvent* e, uint32_t timeout_ms);
