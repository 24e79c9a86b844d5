// The plot panel's curves: up to eight watched variables, each in its slot
// (and so its colour) for as long as it is plotted, keyed by the watch's id so
// that deleting another watch never moves a curve. Each curve keeps the newest
// samples with the time the probe thread read them; a sample taken while the
// target is halted or the probe is gone is a gap, not a repeated value.
// Owned by the user-interface thread.
#pragma once

#include <cstdint>

enum : int { PLOT_MAX_CURVES = 8, PLOT_RING = 10000 };

struct PlotSample {
    double t;      // seconds, the probe thread's clock
    double v;      // the value; NaN marks a gap
};

struct PlotCurve {
    PlotSample buf[PLOT_RING];  // ring; the oldest is overwritten once full
    int head;                   // where the next sample goes
    int count;                  // valid samples, 0 .. PLOT_RING
    uint32_t watch_id;
    bool used;
};

struct PlotView {
    PlotCurve curves[PLOT_MAX_CURVES];
    int curve_count;
    float pixels_per_sample;  // horizontal zoom, 2.0 at start-up
};

extern PlotView g_plot_view;

void plot_view_init();
void plot_view_clear();  // as init, keeping the zoom
// The slot plotting the watch, or -1.
int plot_view_find(uint32_t watch_id);
// False when the watch is plotted already or all slots are taken; a new
// curve takes the lowest free slot.
bool plot_view_add(uint32_t watch_id);
void plot_view_remove(uint32_t watch_id);
// A click on a watch's row: removes its curve when plotted, adds one when not.
void plot_view_toggle(uint32_t watch_id);
// One published value of a plotted watch: a sample, or a gap when it is not
// live (the target halted, the probe gone, the value unreadable).
void plot_view_push(uint32_t watch_id, double t, uint32_t raw, const char* type_name, uint32_t byte_size, bool live);
// Sample k of a curve, 0 the oldest.
const PlotSample& plot_curve_at(const PlotCurve* c, int k);

bool plot_is_float_type(const char* type_name);
// The raw 32 bits of a watch as the number its type means: float, signed
// (sign-extended from 1, 2 or 3 bytes, else 32 bits) or unsigned.
double plot_raw_to_double(uint32_t raw, const char* type_name, uint32_t byte_size);
