// Mouse input. The GLFW callbacks are thin shims over the ui_on_* functions,
// which take the event and act on the interface state, so tests can drive
// them without a window.
#pragma once

#include <string>

struct GLFWwindow;

enum { UI_MOUSE_LEFT = 0, UI_MOUSE_RIGHT = 1 };
enum { UI_RELEASE = 0, UI_PRESS = 1 };
enum { LOG_MENU_COPY_LINE = 1, LOG_MENU_COPY_ALL = 2 };

void mouse_button_callback(GLFWwindow* w, int button, int action, int mods);
void cursor_pos_callback(GLFWwindow* w, double x, double y);
void scroll_callback(GLFWwindow* w, double xoffset, double yoffset);
void window_pos_callback(GLFWwindow* w, int x, int y);

void ui_on_mouse_button(int button, int action, double mx, double my);
void ui_on_cursor(double mx, double my);
void ui_on_scroll(double mx, double my, double yoffset);

// True once the close button was pressed and released over it.
bool ui_close_requested();

// Where clipboard text goes: the window's clipboard in the program, a
// recorder in tests.
typedef void (*UiClipboardSink)(const char* text);
void ui_set_clipboard_sink(UiClipboardSink sink);

void ui_cursors_init();
void ui_cursors_free();
