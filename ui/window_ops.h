// What input handling asks of the native window. The program uses GLFW's
// calls on win_global; tests install a recorder with a fake desktop.
#pragma once

enum UiCursorShape { UI_CURSOR_ARROW = 0, UI_CURSOR_HRESIZE = 1, UI_CURSOR_VRESIZE = 2 };

enum : int { UI_MAX_MONITORS = 8 };
struct UiRect {
    int x, y, w, h;
};

struct UiWindowOps {
    void (*get_rect)(UiRect* r);
    void (*move)(int x, int y);
    void (*resize)(int w, int h);
    void (*iconify)();
    void (*set_topmost)(bool on);
    // Work areas of the monitors, the primary one first; returns the count.
    int (*work_areas)(UiRect out[UI_MAX_MONITORS]);
    void (*set_cursor)(UiCursorShape shape);
    // Hides and shows the system pointer once, so that it is redrawn.
    void (*redraw_pointer)();
    // The pointer on the screen, now; false when the window system cannot say
    // (then the window's last known position plus the event's coordinates serve).
    bool (*pointer_screen_pos)(double* x, double* y);
};

// Null goes back to the GLFW calls.
void ui_set_window_ops(const UiWindowOps* ops);
const UiWindowOps* ui_window_ops();

// The monitor whose work area overlaps `win` most; 0 (the primary) when none does.
int ui_pick_monitor(const UiRect& win, const UiRect* areas, int count);
