// The plot panel's curves: up to eight watched variables, each in its slot
// (and so its colour) for as long as it is plotted, keyed by the watch's id so
// that deleting another watch never moves a curve. Each curve keeps the newest
// samples with the time the probe thread read them; a sample taken while the
// target is halted or the probe is gone is a gap, not a repeated value.
// Owned by the user-interface thread.
#pragma once

#include <cstdint>

enum : int { PLOT_MAX_CURVES = 8, PLOT_RING = 10000 };
// The watch poll's values are looked at ten times a second; the fast feed's
// batches twenty times (a pixel a frame at the usual zoom, for two thirds
// of the frames a full rate would draw). Curves stay half a second after
// the target stopped being live, then a message takes their place.
constexpr double PLOT_SAMPLE_S = 0.1, PLOT_FEED_TAKE_S = 0.05, PLOT_HOLD_S = 0.5;

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
    float pixels_per_sample;  // horizontal zoom in pixels per 0.1 s, 2.0 at start-up
    double next_sample_t;     // when the watch poll's values are looked at next
    bool show_curves;         // live, or not live for less than PLOT_HOLD_S
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
// One value of a plotted watch read at time t: a sample, or a gap when it is
// not live (the target halted, the probe gone). A value older than the
// curve's newest is dropped, so the curve's times never run backwards.
// Returns whether the curve changed.
bool plot_view_push(uint32_t watch_id, double t, uint64_t raw, const char* type_name, uint32_t byte_size, bool live);
// Sample k of a curve, 0 the oldest.
const PlotSample& plot_curve_at(const PlotCurve* c, int k);
// The newest value that is not a gap; false when the curve has none.
bool plot_curve_newest(const PlotCurve* c, double* v);

// Each pass of the main loop (now: its clock): hands the plotted globals to
// the probe thread's fast feed while the panel is visible (and takes them
// back when it is not), moves the new values into the curves, and marks a gap
// while the target is not live. True when the view changed.
bool plot_view_sample(double now, bool visible);
// Seconds until plot_view_sample has something to do (a large number: nothing).
double plot_view_wait(double now, bool visible);
// The target delivers values: connected, and running or halted only to read locals.
bool plot_view_live();
// Draws the panel into plot_box.
void plot_view_draw();

bool plot_is_float_type(const char* type_name);
// A watch's raw bytes (little-endian, zero-extended) as the number its type
// means: float (a double when 8 bytes), signed (sign-extended from 1, 2 or 3
// bytes, from 64 bits when 8, else 32) or unsigned (the low 32 bits unless 8
// bytes).
double plot_raw_to_double(uint64_t raw, const char* type_name, uint32_t byte_size);
