// The Peripherals panel: a three-level browser (peripherals, registers of
// one peripheral, fields of one register) written as lines of periph_view.
#pragma once

#include <cstddef>

struct SvdDevice;
struct SvdPeripheral;
struct SvdRegister;

enum SvdViewLevel { SVD_VIEW_PERIPH_LIST = 0, SVD_VIEW_REG_LIST = 1, SVD_VIEW_FIELD_LIST = 2 };

struct SvdViewState {
    SvdViewLevel level;
    int sel_periph;  // -1 none
    int sel_reg;     // -1 none
};

extern SvdViewState g_svd_view;
// The loaded description (owned by the application; null when none).
extern SvdDevice* g_svd;

void svd_view_refresh();
// Back to the peripheral list with nothing remembered (a new description).
void svd_view_reset();
// A click on row `row` of the panel; `left_part` when it landed closer than
// 20 px to the panel's left edge. Rows past the end do nothing.
void svd_view_click(int row, bool left_part);
// The panel title for the current level.
void svd_view_title(char* out, size_t cap);

// The watch name of a peripheral register ("PERIPH->REG", cut to the watch
// name's 127 characters the same way everywhere, so it can be found again).
void svd_watch_name(const SvdPeripheral* p, const SvdRegister* r, char out[128]);
void svd_watch_toggle(const SvdPeripheral* p, const SvdRegister* r);
// Adds the watch of the register named `name` ("PERIPH->REG") in the loaded
// description (a restored session); false when there is no such register.
bool svd_watch_add_by_name(const char* name);
