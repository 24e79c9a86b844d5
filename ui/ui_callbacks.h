// Mouse input. The GLFW callbacks are thin shims over the ui_on_* functions,
// which take the event and act on the interface state, so tests can drive
// them without a window.
#pragma once

#include <cstdint>
#include <string>

struct GLFWwindow;
struct Button;

enum { UI_MOUSE_LEFT = 0, UI_MOUSE_RIGHT = 1 };
enum { UI_RELEASE = 0, UI_PRESS = 1 };
enum { LOG_MENU_COPY_LINE = 1, LOG_MENU_COPY_ALL = 2 };

void mouse_button_callback(GLFWwindow* w, int button, int action, int mods);
void cursor_pos_callback(GLFWwindow* w, double x, double y);
void scroll_callback(GLFWwindow* w, double xoffset, double yoffset);
void window_pos_callback(GLFWwindow* w, int x, int y);
// Keys and typed characters: they go to the edit field while one is open.
void key_callback(GLFWwindow* w, int key, int scancode, int action, int mods);
void char_callback(GLFWwindow* w, unsigned int codepoint);

void ui_on_mouse_button(int button, int action, double mx, double my);
void ui_on_cursor(double mx, double my);
void ui_on_scroll(double mx, double my, double yoffset);
void ui_on_window_pos(int x, int y);
// key: a TextKey, mods: TEXT_MOD_* bits, clipboard: what Ctrl+V pastes.
// True when the edit field took it.
bool ui_on_key(int key, int mods, const char* clipboard);
bool ui_on_char(unsigned codepoint);
// F5 Continue, F6 Pause, F10 Step over, F11 Step into, Shift+F11 Step out,
// Ctrl+Shift+F5 Reset (mods: TEXT_MOD_*); true when the key is one of them.
bool ui_on_shortcut(int glfw_key, int mods);

// A window drag follows the pointer also when no motion event comes (the
// pointer keeps its place in a window that moves with it): the main loop
// calls the tick on every pass while the drag lasts.
bool ui_window_drag_active();
void ui_window_drag_tick();

// A press latches its button's action until the frame loop takes it, so a
// click whose press and release arrive in one batch of events is not lost.
bool ui_take_click(Button* b);

// True once the close button was pressed and released over it.
bool ui_close_requested();
// Forgets every drag, hover and latched click (a fresh window).
void ui_input_reset();

// Hit tests in window coordinates (the layout pass must have run).
bool is_on_memmap_edge(double mx, double my);
bool is_on_periph_edge(double mx, double my);
bool is_on_plot_edge(double mx, double my);
bool is_on_source_edge(double mx, double my);
bool is_on_debug_edge(double mx, double my);
bool is_on_log_edge(double mx, double my);
bool is_on_stack_edge(double mx, double my);
bool is_on_fault_edge(double mx, double my);
bool is_on_bkpt_edge(double mx, double my);
bool is_on_win_right_edge(double mx, double my);
bool is_on_win_bottom_edge(double mx, double my);
bool bottom_edge_hit(float sep_x, double mx, double my);
// The source view's scroll bar.
bool sb_hit_src(double mx, double my);
void sb_clamp_src();

void toggle_maximize(GLFWwindow* window);
void set_window_topmost(GLFWwindow* window, int enable);
// The window's place when it is not maximised: where a restore goes back to.
struct UiRect;
void ui_window_normal_rect(UiRect* out);
// Maximises onto the monitor that holds most of `normal`, the place a later
// restore goes back to (start-up, before the window is shown).
void ui_window_maximize_from(const UiRect& normal);

// The disassembly blocks of the shown file, for gutter hit-testing (the
// program updates them with the cache; never a freed one).
struct AsmBlock;
extern const AsmBlock* g_ui_asm_cache;
extern int g_ui_asm_cache_count;

// Where clipboard text goes: the window's clipboard in the program, a
// recorder in tests.
typedef void (*UiClipboardSink)(const char* text);
void ui_set_clipboard_sink(UiClipboardSink sink);

// Where run-control commands go: probe_post_cmd in the program.
typedef bool (*UiCommandSink)(int cmd, uint32_t addr);
void ui_set_command_sink(UiCommandSink sink);

void ui_cursors_init();
void ui_cursors_free();
