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

// Window state kept by input handling, drawn by the frame.
extern bool is_maximized, g_is_topmost;
extern bool win_right_hovered, win_bottom_hovered, win_right_resizing, win_bottom_resizing;

// Seconds, for tooltip delays (glfwGetTime in the program, a fake in tests).
extern double (*g_ui_clock)();
