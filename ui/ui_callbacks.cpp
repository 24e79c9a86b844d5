#include "ui/ui_callbacks.h"

#include "ui/frame.h"
#include "ui/gl.h"
#include "ui/log_view.h"
#include "ui/popup_menu.h"
#include "ui/ui_state.h"

GLFWwindow* win_global = nullptr;
int windowX = 0, windowY = 0;
std::atomic<bool> render_needed{true};

static bool s_close_press_began = false;
static bool s_close_requested = false;
static bool s_sb_dragging_logv = false;
static int s_menu_row = -1;
static UiClipboardSink s_clipboard_sink = nullptr;
static GLFWcursor* s_cursor_arrow = nullptr;
static GLFWcursor* s_cursor_hand = nullptr;
static GLFWcursor* s_cursor_hresize = nullptr;
static GLFWcursor* s_cursor_vresize = nullptr;

void ui_request_redraw() {
    render_needed.store(true);
    glfwPostEmptyEvent();
}

static bool inside_button(const Button& b, double mx, double my) {
    return mx >= b.x && mx < b.x + b.width && my >= b.y && my < b.y + b.height;
}

static bool inside_box(const LayoutBox& b, double mx, double my) {
    return b.w > 0 && b.h > 0 && mx >= b.x && mx < b.x + b.w && my >= b.y && my < b.y + b.h;
}

static void clipboard_put(const char* text) {
    if (s_clipboard_sink) s_clipboard_sink(text);
    else if (win_global) glfwSetClipboardString(win_global, text);
}

static void run_log_menu_command(int cmd) {
    if (cmd == LOG_MENU_COPY_LINE) {
        std::string line;
        if (log_copy_line(&logv, s_menu_row, &line)) clipboard_put(line.c_str());
    } else if (cmd == LOG_MENU_COPY_ALL) {
        std::string all = log_copy_all(&logv);
        if (!all.empty()) clipboard_put(all.c_str());
    }
}

void ui_on_mouse_button(int button, int action, double mx, double my) {
    render_needed.store(true);
    // An open menu takes the next click, wherever it lands.
    if (g_popup.visible && action == UI_PRESS) {
        int cmd = popup_click(&g_popup, (float)mx, (float)my);
        if (cmd) run_log_menu_command(cmd);
        return;
    }
    if (button == UI_MOUSE_LEFT && action == UI_PRESS) {
        if (inside_button(closeButton, mx, my)) {
            closeButton.pressed = true;
            s_close_press_began = true;
        } else if (sb_hit(&logv, mx, my)) {
            s_sb_dragging_logv = true;
            log_sb_drag_begin(&logv, my, true);
        }
    } else if (button == UI_MOUSE_LEFT && action == UI_RELEASE) {
        // Closing needs both the press and the release on the button.
        if (s_close_press_began && inside_button(closeButton, mx, my)) s_close_requested = true;
        s_close_press_began = false;
        closeButton.pressed = false;
        s_sb_dragging_logv = false;
    } else if (button == UI_MOUSE_RIGHT && action == UI_PRESS && inside_box(debug_box, mx, my)) {
        s_menu_row = log_row_at(&logv, my);
        const PopupItem items[2] = {{"Copy this line", LOG_MENU_COPY_LINE, s_menu_row >= 0},
                                    {"Copy all", LOG_MENU_COPY_ALL, log_count(&logv) > 0}};
        popup_open(&g_popup, 1, (float)mx, (float)my, items, 2, window_w, window_h, 150);
    }
}

void ui_on_cursor(double mx, double my) {
    bool hov = inside_button(closeButton, mx, my);
    if (hov != closeButton.hovered) {
        closeButton.hovered = hov;
        render_needed.store(true);
    }
    if (popup_hover(&g_popup, (float)mx, (float)my)) render_needed.store(true);
    if (s_sb_dragging_logv) {
        log_sb_drag_move(&logv, my);
        render_needed.store(true);
    }
}

void ui_on_scroll(double mx, double my, double yoffset) {
    if (yoffset == 0 || g_popup.visible) return;
    if (inside_box(debug_box, mx, my)) {
        log_scroll_wheel(&logv, yoffset);
        render_needed.store(true);
    }
}

bool ui_close_requested() { return s_close_requested; }

void ui_set_clipboard_sink(UiClipboardSink sink) { s_clipboard_sink = sink; }

void mouse_button_callback(GLFWwindow* w, int button, int action, int) {
    double mx = 0, my = 0;
    glfwGetCursorPos(w, &mx, &my);
    int b = button == GLFW_MOUSE_BUTTON_LEFT ? UI_MOUSE_LEFT : button == GLFW_MOUSE_BUTTON_RIGHT ? UI_MOUSE_RIGHT : -1;
    if (b < 0) return;
    ui_on_mouse_button(b, action == GLFW_PRESS ? UI_PRESS : UI_RELEASE, mx, my);
    if (ui_close_requested()) glfwSetWindowShouldClose(w, GLFW_TRUE);
}

void cursor_pos_callback(GLFWwindow*, double x, double y) { ui_on_cursor(x, y); }

void scroll_callback(GLFWwindow* w, double, double yoffset) {
    double mx = 0, my = 0;
    glfwGetCursorPos(w, &mx, &my);
    ui_on_scroll(mx, my, yoffset);
}

void window_pos_callback(GLFWwindow*, int x, int y) {
    windowX = x;
    windowY = y;
}

void ui_cursors_init() {
    s_cursor_arrow = glfwCreateStandardCursor(GLFW_ARROW_CURSOR);
    s_cursor_hand = glfwCreateStandardCursor(GLFW_HAND_CURSOR);
    s_cursor_hresize = glfwCreateStandardCursor(GLFW_HRESIZE_CURSOR);
    s_cursor_vresize = glfwCreateStandardCursor(GLFW_VRESIZE_CURSOR);
}

void ui_cursors_free() {
    GLFWcursor** all[] = {&s_cursor_arrow, &s_cursor_hand, &s_cursor_hresize, &s_cursor_vresize};
    for (GLFWcursor** c : all) {
        if (*c) glfwDestroyCursor(*c);
        *c = nullptr;
    }
}
