// The user's breakpoint list: eight slots shared by the interface (gutter,
// breakpoint panel) and the probe thread, guarded by reg_buf_mtx.
#pragma once

#include <cstdint>

enum : int { BKPT_SLOTS = 8 };

struct BkptSlot {
    uint32_t addr;  // bit 0 always clear
    bool active;
    bool disabled;  // not in the hardware (also: created by a click, not yet set)
    bool is_hw;
};

extern BkptSlot g_bkpt[BKPT_SLOTS];

// The caller holds reg_buf_mtx.
int bkpt_count();
int bkpt_find(uint32_t addr);
int bkpt_free_slot();

// Active, enabled slots (takes the lock).
int bkpt_enabled_count();

// Probe thread: program the comparators and keep the list in step with them.
bool bp_is_set(uint32_t addr);
bool bp_set(uint32_t addr);
void bp_clear(uint32_t addr);
void bp_restore_all();
bool bp_enable(int slot);
bool bp_disable(int slot);
bool bp_toggle_enable(int slot);
// Breakpoints listed before a connection (kept from an earlier run, or over a
// reconnect) go into its comparators at once, not at the next resume, so a
// running target stops at them.
void bp_after_connect(bool halted);
