#include "ui/plot_view.h"

#include <cmath>
#include <cstring>

PlotView g_plot_view;

static void curve_init(PlotCurve* c) {
    c->head = c->count = 0;
    c->watch_id = 0;
    c->used = false;
}

void plot_view_clear() {
    for (PlotCurve& c : g_plot_view.curves) curve_init(&c);
    g_plot_view.curve_count = 0;
    g_plot_view.next_sample_t = 0;
    g_plot_view.show_curves = true;
}

void plot_view_init() {
    plot_view_clear();
    g_plot_view.pixels_per_sample = 2.0f;
}

int plot_view_find(uint32_t watch_id) {
    for (int i = 0; i < PLOT_MAX_CURVES; ++i)
        if (g_plot_view.curves[i].used && g_plot_view.curves[i].watch_id == watch_id) return i;
    return -1;
}

bool plot_view_add(uint32_t watch_id) {
    if (plot_view_find(watch_id) >= 0) return false;
    for (PlotCurve& c : g_plot_view.curves) {
        if (c.used) continue;
        curve_init(&c);
        c.watch_id = watch_id;
        c.used = true;
        ++g_plot_view.curve_count;
        return true;
    }
    return false;
}

void plot_view_remove(uint32_t watch_id) {
    int k = plot_view_find(watch_id);
    if (k < 0) return;
    curve_init(&g_plot_view.curves[k]);
    --g_plot_view.curve_count;
}

void plot_view_toggle(uint32_t watch_id) {
    if (plot_view_find(watch_id) >= 0) plot_view_remove(watch_id);
    else plot_view_add(watch_id);
}

bool plot_view_push(uint32_t watch_id, double t, uint64_t raw, const char* type_name, uint32_t byte_size, bool live) {
    int k = plot_view_find(watch_id);
    if (k < 0) return false;
    PlotCurve& c = g_plot_view.curves[k];
    bool gap = !live;
    if (c.count > 0) {
        const PlotSample& last = plot_curve_at(&c, c.count - 1);
        // Two sources (the fast feed, the watch poll) meet here: a read that
        // arrives after a newer one is not drawn back in time.
        if (t < last.t || (!gap && t == last.t)) return false;
        // One gap stands for a whole stretch of not-live samples.
        if (gap && std::isnan(last.v)) return false;
    }
    c.buf[c.head] = PlotSample{t, gap ? NAN : plot_raw_to_double(raw, type_name, byte_size)};
    c.head = (c.head + 1) % PLOT_RING;
    if (c.count < PLOT_RING) ++c.count;
    return true;
}

bool plot_curve_newest(const PlotCurve* c, double* v) {
    for (int k = c->count - 1; k >= 0; --k) {
        double x = plot_curve_at(c, k).v;
        if (!std::isnan(x)) return *v = x, true;
    }
    return false;
}

const PlotSample& plot_curve_at(const PlotCurve* c, int k) {
    return c->buf[(c->head - c->count + k + 2 * PLOT_RING) % PLOT_RING];
}

bool plot_is_float_type(const char* type_name) {
    return type_name && type_name[0] && (strstr(type_name, "float") || strstr(type_name, "double"));
}

double plot_raw_to_double(uint64_t raw64, const char* type_name, uint32_t byte_size) {
    bool wide = byte_size == 8, is_signed = type_name && type_name[0] && !strstr(type_name, "unsigned") && !strstr(type_name, "uint");
    if (plot_is_float_type(type_name)) {
        if (wide) {
            double d;
            memcpy(&d, &raw64, sizeof d);
            return d;
        }
        uint32_t raw = (uint32_t)raw64;
        float f;
        memcpy(&f, &raw, sizeof f);
        return f;
    }
    if (wide) return is_signed ? (double)(int64_t)raw64 : (double)raw64;
    uint32_t raw = (uint32_t)raw64;
    if (is_signed) {
        int bits = byte_size >= 1 && byte_size <= 3 ? (int)byte_size * 8 : 32;
        uint32_t v = bits == 32 ? raw : raw & ((1u << bits) - 1);
        if (bits < 32 && (v >> (bits - 1)) & 1) v |= ~((1u << bits) - 1);
        return (double)(int32_t)v;
    }
    return (double)raw;
}
