// Line panels: the log, "Core registers" and "Peripherals", each drawing one
// of the stores every layer writes into (platform/log_store.h). A panel's
// scroll state is the interface thread's own; it follows its store (to the
// newest line, back to the top after a rewrite) under the store's lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/log_store.h"

constexpr float LOG_HEADER_H = 22;  // header strip above the rows

struct LogView {
    LogStore* store;
    float scroll;
    float line_height;
    float x, y, width, height;
    int hovered_row;
    bool autoscroll;
    float sb_inset;
    unsigned seen_added, seen_cleared;  // the store's counters at the last follow
};

extern LogView log_panel;     // logv
extern LogView memmap_panel;  // memmap_view
extern LogView periph_panel;  // periph_view

// Brings the scroll up to the store's changes since the last call (the
// panel functions below do it themselves).
void log_view_follow(LogView* v);
void log_view_follow_locked(LogView* v);  // with log_mutex() held
// Puts a following view on its newest line; with log_mutex() held.
void log_view_stick_to_bottom_locked(LogView* v);

void log_draw(LogView* v, int window_h);
// A register or peripheral line as its panel draws it in `room` pixels: the
// column padding, the columns after the name and then the text before a live
// value ("  = 0x...") give way, so the name and the value stay readable.
const char* log_fit_panel_line(const char* line, float room, char* out, size_t cap);
// The room a panel's rows are fitted to (short of the scroll bar when there is one).
float log_panel_text_room(LogView* v);
void draw_scrollbar(LogView* v, int window_h);

// Scroll model.
bool sb_hit(LogView* v, double mx, double my);
void sb_clamp(LogView* v);
void log_scroll_wheel(LogView* v, double yoffset);
void log_sb_drag_begin(LogView* v, double my, bool clears_autoscroll);
void log_sb_drag_move(LogView* v, double my);

// Row under a window y, or -1 (the header strip and space below the last line are no row).
int log_row_at(LogView* v, double my);
