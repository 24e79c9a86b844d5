#pragma once

struct GLFWwindow;

// Fills a size x size RGBA image with the program's icon.
void app_icon_pixels(unsigned char* rgba, int size);
// Sets the 32 x 32 and 16 x 16 icons; where the window system has no icons
// (Wayland) nothing happens.
void app_set_window_icon(GLFWwindow* win);
