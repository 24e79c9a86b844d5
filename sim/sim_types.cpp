#include "sim/sim_types.h"

static void plain_advance(void* ctx, uint64_t ns) { static_cast<SimPlainClock*>(ctx)->ns += ns; }
static uint64_t plain_now(void* ctx) { return static_cast<SimPlainClock*>(ctx)->ns; }

void sim_plain_clock_init(SimPlainClock* c) {
    c->ns = 0;
    c->ticker = SimTicker{c, plain_advance, plain_now};
}
