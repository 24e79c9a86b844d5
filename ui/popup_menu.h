// A small pop-up menu drawn by ourselves: opened at the pointer, kept inside
// the window, drawn after everything else, and closed by the next click, which
// picks the item under it (if enabled).
#pragma once

constexpr int POPUP_MAX_ITEMS = 8;
constexpr float POPUP_ITEM_H = 24;

struct PopupItem {
    const char* label;
    int cmd;  // returned when chosen; never 0
    bool enabled;
};

struct PopupMenu {
    PopupItem items[POPUP_MAX_ITEMS];
    int count;
    float x, y, w, h;
    bool visible;
    int hovered;  // item index or -1
    int owner;    // who opened it, so the caller knows what a command refers to
};

extern PopupMenu g_popup;

// `min_w` is widened to fit the longest label.
void popup_open(PopupMenu* m, int owner, float mx, float my, const PopupItem* items, int count, int win_w,
                int win_h, float min_w);
// Updates the hovered item; true when it changed.
bool popup_hover(PopupMenu* m, float mx, float my);
// Consumes a click: closes the menu and returns the enabled item's cmd under
// the pointer, or 0.
int popup_click(PopupMenu* m, float mx, float my);
void popup_close(PopupMenu* m);
void popup_draw(PopupMenu* m);
