#include "ui/window_ops.h"

#include <algorithm>

#include "ui/gl.h"
#include <X11/Xlib.h>

// GLFW's X11 access functions (glfw3native.h would also pull in Xrandr's headers).
extern "C" Display* glfwGetX11Display(void);
extern "C" Window glfwGetX11Window(GLFWwindow* window);
#include "ui/ui_state.h"

static GLFWcursor* s_cursors[3] = {};
static UiCursorShape s_current_shape = UI_CURSOR_ARROW;

static void glfw_get_rect(UiRect* r) {
    *r = UiRect{0, 0, 0, 0};
    if (!win_global) return;
    glfwGetWindowPos(win_global, &r->x, &r->y);
    glfwGetWindowSize(win_global, &r->w, &r->h);
}

static void glfw_move(int x, int y) {
    if (win_global) glfwSetWindowPos(win_global, x, y);
}

static void glfw_resize(int w, int h) {
    if (win_global) glfwSetWindowSize(win_global, w, h);
}

static void glfw_iconify() {
    if (win_global) glfwIconifyWindow(win_global);
}

static void glfw_set_topmost(bool on) {
    if (win_global) glfwSetWindowAttrib(win_global, GLFW_FLOATING, on ? GLFW_TRUE : GLFW_FALSE);
}

static int glfw_work_areas(UiRect out[UI_MAX_MONITORS]) {
    int count = 0;
    GLFWmonitor** mons = glfwGetMonitors(&count);
    GLFWmonitor* primary = glfwGetPrimaryMonitor();
    int n = 0;
    if (primary) {
        glfwGetMonitorWorkarea(primary, &out[0].x, &out[0].y, &out[0].w, &out[0].h);
        n = 1;
    }
    for (int i = 0; i < count && n < UI_MAX_MONITORS; ++i) {
        if (mons[i] == primary) continue;
        glfwGetMonitorWorkarea(mons[i], &out[n].x, &out[n].y, &out[n].w, &out[n].h);
        ++n;
    }
    return n;
}

static void glfw_set_cursor(UiCursorShape shape) {
    if (!win_global || shape == s_current_shape) return;
    glfwSetCursor(win_global, s_cursors[shape]);
    s_current_shape = shape;
}

static void glfw_redraw_pointer() {
    if (!win_global) return;
    glfwSetInputMode(win_global, GLFW_CURSOR, GLFW_CURSOR_HIDDEN);
    glfwSetInputMode(win_global, GLFW_CURSOR, GLFW_CURSOR_NORMAL);
}

// A window dragged with the pointer keeps the pointer's window coordinates
// unchanged, so GLFW reports no motion at all; and events still in flight refer
// to the window's previous place. The pointer's screen position is exact.
static bool glfw_pointer_screen_pos(double* x, double* y) {
    Display* dpy = win_global ? glfwGetX11Display() : nullptr;
    if (!dpy) return false;
    Window root, child;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    if (!XQueryPointer(dpy, glfwGetX11Window(win_global), &root, &child, &rx, &ry, &wx, &wy, &mask)) return false;
    *x = rx;
    *y = ry;
    return true;
}

static const UiWindowOps s_glfw_ops = {glfw_get_rect,    glfw_move,       glfw_resize,     glfw_iconify,
                                       glfw_set_topmost, glfw_work_areas, glfw_set_cursor, glfw_redraw_pointer,
                                       glfw_pointer_screen_pos};
static const UiWindowOps* s_ops = &s_glfw_ops;

void ui_set_window_ops(const UiWindowOps* ops) { s_ops = ops ? ops : &s_glfw_ops; }
const UiWindowOps* ui_window_ops() { return s_ops; }

void ui_cursors_init() {
    s_cursors[UI_CURSOR_ARROW] = glfwCreateStandardCursor(GLFW_ARROW_CURSOR);
    s_cursors[UI_CURSOR_HRESIZE] = glfwCreateStandardCursor(GLFW_HRESIZE_CURSOR);
    s_cursors[UI_CURSOR_VRESIZE] = glfwCreateStandardCursor(GLFW_VRESIZE_CURSOR);
}

void ui_cursors_free() {
    for (GLFWcursor*& c : s_cursors) {
        if (c) glfwDestroyCursor(c);
        c = nullptr;
    }
    s_current_shape = UI_CURSOR_ARROW;
}

int ui_pick_monitor(const UiRect& win, const UiRect* areas, int count) {
    long best = 0;
    int pick = 0;
    for (int i = 0; i < count; ++i) {
        long w = (long)std::min(win.x + win.w, areas[i].x + areas[i].w) - std::max(win.x, areas[i].x);
        long h = (long)std::min(win.y + win.h, areas[i].y + areas[i].h) - std::max(win.y, areas[i].y);
        if (w > 0 && h > 0 && w * h > best) {
            best = w * h;
            pick = i;
        }
    }
    return pick;
}
