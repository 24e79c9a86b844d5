// Drawing the plot panel: one value axis for every curve with grid and
// labels, time running left from the newest sample at the right edge, a
// legend of the newest values and the zoom readout.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "probe/probe.h"
#include "probe/watch_list.h"
#include "ui/draw.h"
#include "ui/font.h"
#include "ui/layout.h"
#include "ui/panel.h"
#include "ui/plot_view.h"

namespace {

constexpr float HDR_H = 22, PAD = 6, AXIS_W = 44, AXIS_H = 16;

const char* watch_name(uint32_t id) {
    for (int i = 0; i < g_watch_count; ++i)
        if (g_watch[i].id == id) return g_watch[i].var.name;
    return nullptr;
}

bool integral(double v) { return std::fabs(v - std::trunc(v)) < std::fabs(v) * 1e-6 + 1e-9 && std::fabs(v) < 1e9; }

void format_value(char* out, size_t cap, double v, bool legend) {
    double a = std::fabs(v);
    if (integral(v)) {
        if (legend) std::snprintf(out, cap, "%lld", (long long)std::trunc(v));
        else std::snprintf(out, cap, "%d", (int)std::trunc(v));
    } else if (a >= 1e6 || (a > 0 && a < 0.001)) {
        std::snprintf(out, cap, legend ? "%.4e" : "%.2e", v);
    } else {
        std::snprintf(out, cap, legend ? "%.4g" : "%.3g", v);
    }
}

void message(const char* text, float cx, float cy, float cw, float ch) {
    RenderText(text, cx + (cw - measure_text(text)) / 2, cy + ch / 2 + 6, &g_theme.titlebar_info.r);
}

// One curve, newest sample first, at most a few lines per pixel column: a
// column holding many samples is drawn as the span they cover, joined to its
// neighbours; a gap breaks the line.
struct ColumnRun {
    bool have_prev = false, open = false;
    float prev_x = 0, prev_y = 0;
    int col = INT_MIN, n = 0;
    float ymin = 0, ymax = 0, x0 = 0, y0 = 0, x1 = 0, y1 = 0;

    void flush() {
        if (!open) return;
        if (have_prev) draw_line(prev_x, prev_y, x0, y0);
        if (n > 1) {
            if (ymax - ymin >= 1) draw_line(x0, ymin, x0, ymax);
            else draw_line(x0, y0, x1, y1);
        }
        have_prev = true, prev_x = x1, prev_y = y1;
        open = false;
    }
    void gap() {
        flush();
        have_prev = false;
        col = INT_MIN;
    }
    void add(float x, float y) {
        int c = (int)std::floor(x);
        if (c != col || !open) {
            flush();
            col = c, n = 0, open = true;
            ymin = ymax = y, x0 = x, y0 = y;
        }
        ymin = std::min(ymin, y), ymax = std::max(ymax, y);
        x1 = x, y1 = y;
        ++n;
    }
};

}  // namespace

void plot_view_draw() {
    const PlotView& pv = g_plot_view;
    char title[1056] = "Plot  (no variable selected)";
    if (pv.curve_count > 0) {
        std::snprintf(title, sizeof title, "Plot:");
        for (const PlotCurve& c : pv.curves) {
            const char* name = c.used ? watch_name(c.watch_id) : nullptr;
            size_t len = std::strlen(title);
            if (name) std::snprintf(title + len, sizeof title - len, " %s", name);
        }
    }
    LayoutBox& box = plot_box;
    draw_layout_box(&box, title, nullptr, window_h, nullptr, 0);
    if (box.w <= 0 || box.h <= 0) return;
    float cx = box.x + PAD + AXIS_W, cw = box.w - 2 * PAD - AXIS_W;
    const float cy = box.y + HDR_H + PAD, ch = box.h - HDR_H - 2 * PAD - AXIS_H;
    if (cw < 4 || ch < 4) return;
    LayoutBox body = {box.x, box.y + HDR_H, box.w, box.h - HDR_H, 0};
    if (pv.curve_count == 0) {
        begin_scissor(&body, window_h);
        message("Click a watch variable to plot it", cx, cy, cw, ch);
        end_scissor();
        return;
    }
    // The value range over every stored value; the newest time of all curves.
    double vmin = 1e308, vmax = -1e308, t_ref = -1e308;
    for (const PlotCurve& c : pv.curves) {
        if (!c.used || c.count == 0) continue;
        t_ref = std::max(t_ref, plot_curve_at(&c, c.count - 1).t);
        for (int k = 0; k < c.count; ++k) {
            double v = plot_curve_at(&c, k).v;
            if (std::isnan(v)) continue;
            vmin = std::min(vmin, v), vmax = std::max(vmax, v);
        }
    }
    if (vmin > vmax) {
        begin_scissor(&body, window_h);
        message("Waiting for data...", cx, cy, cw, ch);
        end_scissor();
        return;
    }
    if (std::fabs(vmax - vmin) < 1e-12) {
        double c = vmin, h = c == 0 ? 0.5 : std::fabs(c) * 0.1;
        h = std::max(h, 1e-6);
        vmin = c - h, vmax = c + h;
    }
    double r = vmax - vmin;
    vmin -= 0.05 * r, vmax += 0.05 * r;
    const double range = vmax - vmin;
    // The value axis widens for its longest label: a label cut at the panel's
    // edge would show another number ("-0.983" as "0.983").
    char labels[5][48];
    float widest = 0;
    for (int i = 0; i <= 4; ++i) {
        format_value(labels[i], sizeof labels[i], vmax - i * range / 4, false);
        widest = std::max(widest, measure_text(labels[i]));
    }
    const float axis_w = std::max(AXIS_W, std::ceil(widest) + 6);
    cx = box.x + PAD + axis_w, cw = box.w - 2 * PAD - axis_w;
    if (cw < 4) return;

    // The legend and time labels stay inside the panel, whatever their length.
    begin_scissor(&box, window_h);
    const Color3 grid = {g_theme.border_line.r * 0.35f, g_theme.border_line.g * 0.35f, g_theme.border_line.b * 0.35f};
    for (int i = 0; i <= 4; ++i) {
        float gy = cy + (float)i * ch / 4;
        set_line_color(grid);
        draw_line(cx, gy, cx + cw, gy);
        RenderText(labels[i], cx - measure_text(labels[i]) - 3, gy + 5, &g_theme.titlebar_info.r);
    }

    const float px_per_s = pv.pixels_per_sample * 10;
    LayoutBox area = {cx, cy, cw, ch, 0};
    begin_scissor(&area, window_h);
    if (pv.show_curves) {
        for (int s = 0; s < PLOT_MAX_CURVES; ++s) {
            const PlotCurve& c = pv.curves[s];
            if (!c.used || c.count == 0) continue;
            set_line_color(PLOT_CURVE_COLORS[s]);
            ColumnRun run;
            for (int k = c.count - 1; k >= 0; --k) {
                const PlotSample& p = plot_curve_at(&c, k);
                float x = cx + cw - (float)((t_ref - p.t) * px_per_s);
                if (std::isnan(p.v)) {
                    run.gap();
                } else {
                    double y = cy + (1 - (p.v - vmin) / range) * ch;
                    run.add(x, (float)std::clamp(y, (double)cy, (double)(cy + ch)));
                }
                if (x < cx - 1) break;  // the first point left of the area still joins the line
            }
            run.flush();
        }
    } else {
        message(g_probe_connected ? "Halted" : "Not connected", cx, cy, cw, ch);
    }
    begin_scissor(&box, window_h);

    float baseline = cy + 14;
    for (int s = 0; s < PLOT_MAX_CURVES; ++s) {
        const PlotCurve& c = pv.curves[s];
        const char* name = c.used && c.count ? watch_name(c.watch_id) : nullptr;
        double v;
        if (!name || !plot_curve_newest(&c, &v)) continue;
        char value[48], line[164];
        format_value(value, sizeof value, v, true);
        std::snprintf(line, sizeof line, "%s: %s", name, value);
        RenderText(line, cx + cw - 4 - measure_text(line), baseline, &PLOT_CURVE_COLORS[s].r);
        const Color3& k = PLOT_CURVE_COLORS[s];
        draw_rect(box.x + PAD, baseline - 9, 6, 6, 0, Color4{k.r, k.g, k.b, 0.85f});
        baseline += 14;
    }

    char span[32], zoom[32];
    double secs = cw / px_per_s;
    if (secs < 60) std::snprintf(span, sizeof span, "-%.0fs", secs);
    else std::snprintf(span, sizeof span, "-%.1fmin", secs / 60);
    std::snprintf(zoom, sizeof zoom, "%.0fpx/s", (double)px_per_s);
    RenderText(span, cx, cy + ch + 14, &g_theme.titlebar_info.r);
    RenderText(zoom, cx + (cw - measure_text(zoom)) / 2, cy + ch + 14, &g_theme.titlebar_info.r);

    set_line_color(Color3{g_theme.grab_normal.r, g_theme.grab_normal.g, g_theme.grab_normal.b});
    draw_line(cx, cy, cx + cw, cy);
    draw_line(cx, cy + ch, cx + cw, cy + ch);
    draw_line(cx, cy, cx, cy + ch);
    draw_line(cx + cw, cy, cx + cw, cy + ch);
    end_scissor();
}
