// The "Core registers" panel: sixteen lines rebuilt whenever the probe thread
// publishes fresh registers, changed values marked.
#pragma once

#include <cstdint>

// Last published program counter (bit 0 clear).
extern uint32_t s_current_pc;

void memmap_view_show_placeholder();
// True when fresh registers were shown (the caller asks for a frame).
bool update_registers_display();
// Forgets the previous values, so nothing is marked on the next refresh.
void register_display_reset();
