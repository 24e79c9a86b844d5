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

void draw_layout_box(LayoutBox* b, const char* title, LogView* lv, int window_h, HeaderButton* hdr_buttons,
                     int hdr_button_count);
