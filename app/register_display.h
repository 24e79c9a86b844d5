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

// What row `row` of the panel shows: a DCRSR selector and, for the parts of
// the special register, the bits of it (shift, width); fp for S0-S31. False
// for a row that holds no register now.
struct RegisterRow {
    int sel;
    int shift, width;
    bool fp;
    const char* name;
};
bool register_row(int row, RegisterRow* out);
bool register_row_value(int row, uint32_t* v);
