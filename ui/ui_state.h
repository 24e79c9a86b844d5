// State shared between the main loop, the frame and input handling.
#pragma once

#include <atomic>

struct GLFWwindow;

extern GLFWwindow* win_global;
extern int windowX, windowY;
// Redraw request. Set by input handling and, through ui_request_redraw, by
// worker threads; cleared by the main loop when it draws.
extern std::atomic<bool> render_needed;

// Sets render_needed and ends the main loop's event wait (any thread).
void ui_request_redraw();
