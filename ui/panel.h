// A panel frame: body, header strip with title and header buttons, an optional
// line panel inside, and the outline.
#pragma once

#include "ui/draw.h"
#include "ui/log_view.h"

struct HeaderButton {
    const char* label;
    bool* state;  // may be null
    Button* btn;
};

// A header button is 40 px wide, or as wide as its label needs.
float header_button_width(const char* label);
// Puts the buttons in the header strip of `b`, right to left, 4 px apart:
// the layout pass (hit-testing) and the drawing place them alike.
void header_buttons_place(const LayoutBox* b, HeaderButton* hdr_buttons, int count);
void draw_layout_box(LayoutBox* b, const char* title, LogView* lv, int window_h, HeaderButton* hdr_buttons,
                     int hdr_button_count);
