#include "runctl/breakpoints.h"

BkptSlot g_bkpt[BKPT_SLOTS] = {};

int bkpt_count() {
    int n = 0;
    for (const BkptSlot& s : g_bkpt) n += s.active;
    return n;
}

int bkpt_find(uint32_t addr) {
    addr &= ~1u;
    for (int i = 0; i < BKPT_SLOTS; ++i)
        if (g_bkpt[i].active && g_bkpt[i].addr == addr) return i;
    return -1;
}

int bkpt_free_slot() {
    for (int i = 0; i < BKPT_SLOTS; ++i)
        if (!g_bkpt[i].active) return i;
    return -1;
}
