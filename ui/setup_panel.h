// The "File Setup / Flash" panel: the five configured paths with a browse
// button each, Save, the identified MCU, the flash status and the Flash
// button. The main loop carries out what the buttons ask for.
#pragma once

#include <cstdint>

#include "ui/draw.h"

struct RenderMainState;

extern Button BtnSetupBrowseElf, BtnSetupBrowseSvd, BtnSetupBrowseArmSvd, BtnSetupBrowseSrc, BtnSetupBrowseBin;
extern Button BtnSetupSave, BtnFlash;

// What the panel shows of the connected chip (filled by MCU identification).
struct SetupMcuInfo {
    bool valid;
    char device[64];
    uint32_t flash_kb;
    bool has_flash_algo;
};
extern SetupMcuInfo g_setup_mcu;

void draw_setup_panel(const RenderMainState* st);
bool is_setup_button(const Button* b);
// Flash needs a connected probe, an MCU with a flash algorithm, a firmware
// path and no job running.
bool setup_flash_enabled(const char* bin_path);
// The Flash button's state as last drawn: what the user saw is what a press does.
bool setup_flash_enabled_as_drawn();
