// One frame of the window: the layout pass places everything, the frame
// draws it in a fixed order and presents it.
#pragma once

#include <cstdint>

#include "ui/draw.h"
#include "ui/layout.h"
#include "ui/source_view.h"

struct GLFWwindow;

struct RenderMainState {
    const char* cfg_elf;
    const char* cfg_svd;
    const char* cfg_arm_svd;
    const char* cfg_bin;
    const char* src_root_dir;
    const char* src_dwarf_file;
    const char* src_loaded_file;
    uint32_t src_current_line;
    uint32_t current_pc;
    const AsmBlock* asm_cache;
    AsmCacheLoadLineFn asm_cache_load_line;
    int asm_cache_count;
};

void render_gui_frame(GLFWwindow* win, int fb_w, int fb_h, int window_w_in, int window_h_in, const char* fpsText,
                      const RenderMainState* st);

// Whether a debug-toolbar button may act now, from the published probe state.
// The frame greys out exactly the buttons for which this is false.
bool toolbar_button_enabled(const Button* b);
// True when `b` is one of the eight debug-toolbar buttons.
bool is_toolbar_button(const Button* b);

// Writes the next drawn frame to a PNG file (before it is presented).
void frame_request_capture(const char* png_path);
// 0 while a capture is pending or none was asked for, 1 written, -1 failed.
int frame_capture_result();

// Frames in which glGetError reported something (the first one is logged).
unsigned frame_gl_error_count();
