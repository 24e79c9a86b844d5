// The "File Setup / Flash" panel: the five configured paths with a browse
// button each, Save, the identified MCU, the flash status and the Flash
// button. The main loop carries out what the buttons ask for.
#pragma once

#include <cstdint>

#include "target/mcu_id.h"
#include "ui/draw.h"

struct RenderMainState;

extern Button BtnSetupBrowseElf, BtnSetupBrowseSvd, BtnSetupBrowseArmSvd, BtnSetupBrowseSrc, BtnSetupBrowseBin;
extern Button BtnSetupSave, BtnFlash;


void draw_setup_panel(const RenderMainState* st);

// Where the panel puts the chip line and the flash status (a 90 x 8 bar at
// status_x/y, the Flash button 14 px below it): under the path rows when the
// panel is tall enough, else beside them.
struct LayoutBox;
constexpr float kSideWidth = 230;
struct SetupFlashPlace {
    float row0;        // top of the first path row (scrolled)
    float path_right;  // paths are cut to end here
    float mcu_x, mcu_y;
    float status_x, status_y;
    bool beside;
    float content_h;  // from below the header strip to under the Flash button
};
// The panel scrolls when it is lower than its content (the wheel moves it).
extern float g_setup_scroll;
void setup_scroll_wheel(double yoffset);
SetupFlashPlace setup_flash_place(const LayoutBox* b);
bool is_setup_button(const Button* b);
// Flash needs a connected probe, an MCU with a flash algorithm, a firmware
// path and no job running.
bool setup_flash_enabled(const char* bin_path);
// The Flash button's state as last drawn: what the user saw is what a press does.
bool setup_flash_enabled_as_drawn();
