// Feeding the plot's curves from what the probe thread publishes: the fast
// feed's batches for globals, the watch poll's values (with the time each was
// read) for everything else, and a gap while the target is not live.
#include <cmath>
#include <mutex>

#include "platform/clock.h"
#include "probe/plot_feed.h"
#include "probe/probe.h"
#include "probe/watch_list.h"
#include "ui/plot_view.h"

static int watch_index_of(uint32_t id) {
    for (int i = 0; i < g_watch_count; ++i)
        if (g_watch[i].id == id) return i;
    return -1;
}

bool plot_view_live() { return g_probe_connected && !(g_is_halted && !g_watch_halting); }

// The globals among the curves, for the probe thread to read fast.
static int fast_list(PlotFeedVar out[PLOT_FEED_VARS]) {
    int n = 0;
    for (const PlotCurve& c : g_plot_view.curves) {
        int w = c.used ? watch_index_of(c.watch_id) : -1;
        if (w < 0 || n == PLOT_FEED_VARS) continue;
        WatchLoc l = watch_loc_of(g_watch[w].var, c.watch_id);
        if (l.kind != VAR_LOC_ADDR || l.moves || l.size < 1 || l.size > 8) continue;
        out[n++] = PlotFeedVar{c.watch_id, (uint32_t)l.value, l.size};
    }
    return n;
}

static bool push_for_watch(uint32_t id, double t, uint64_t raw, bool live) {
    int w = watch_index_of(id);
    if (w < 0) return false;
    const ElfVariable& v = g_watch[w].var;
    return plot_view_push(id, t, raw, v.type_name, v.byte_size, live);
}

static bool take_feed() {
    static PlotFeedBatch batch[64];  // user-interface thread only
    bool changed = false;
    for (int n; (n = plot_feed_take(batch, 64)) > 0;)
        for (int b = 0; b < n; ++b)
            for (int k = 0; k < batch[b].count; ++k)
                if (batch[b].ok[k]) changed |= push_for_watch(batch[b].watch_id[k], batch[b].t, batch[b].raw[k], batch[b].live);
    return changed;
}

// The watch poll's newest values, each at the time it was read: a curve
// takes one only when it is newer than what it holds.
static bool take_published() {
    struct Value {
        uint32_t id;
        double t;
        uint64_t raw;
        bool live;
    } vals[PLOT_MAX_CURVES];
    int n = 0;
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        for (const PlotCurve& c : g_plot_view.curves) {
            if (!c.used) continue;
            for (int j = 0; j < WATCH_MAX; ++j)
                if (watch_val_id[j] == c.watch_id && watch_val_valid[j] && watch_val_t[j] > 0) {
                    vals[n++] = Value{c.watch_id, watch_val_t[j], (uint64_t)watch_val_hi[j] << 32 | watch_val_buf[j],
                                      watch_val_live[j]};
                    break;
                }
        }
    }
    bool changed = false;
    // A value read while the core stood still is no sample of a running one.
    for (int i = 0; i < n; ++i)
        if (vals[i].live) changed |= push_for_watch(vals[i].id, vals[i].t, vals[i].raw, true);
    return changed;
}

static int s_fast_count = 0;  // globals handed to the feed at the last sampling
static double s_next_take = 0;

bool plot_view_sample(double now, bool visible) {
    static bool s_live = true;
    static double s_not_live_since = 0;
    static bool s_message_shown = false;
    if (!visible || g_plot_view.curve_count == 0) {
        plot_feed_set(nullptr, 0);
        s_fast_count = 0;
        return false;
    }
    // A watch list emptied by another image leaves no curve that nothing can remove.
    for (const PlotCurve& c : g_plot_view.curves)
        if (c.used && watch_index_of(c.watch_id) < 0) plot_view_remove(c.watch_id);
    PlotFeedVar fast[PLOT_FEED_VARS];
    s_fast_count = fast_list(fast);
    plot_feed_set(fast, s_fast_count);
    bool changed = false;
    if (now >= s_next_take) {
        s_next_take = now + PLOT_FEED_TAKE_S;
        changed = take_feed();
    }
    if (now >= g_plot_view.next_sample_t) {
        g_plot_view.next_sample_t = now + PLOT_SAMPLE_S;
        changed |= take_published();
    }
    bool live = plot_view_live();
    double t = (double)plat_time_ms() / 1000.0;
    if (!live)
        for (const PlotCurve& c : g_plot_view.curves)
            if (c.used) changed |= push_for_watch(c.watch_id, t, 0, false);
    if (live != s_live) {
        s_live = live;
        s_not_live_since = now;
        s_message_shown = false;
        changed = true;
    }
    // The message replaces the curves a little after the halt: one more frame then.
    if (!live && !s_message_shown && now - s_not_live_since >= PLOT_HOLD_S) {
        s_message_shown = true;
        changed = true;
    }
    g_plot_view.show_curves = live || !s_message_shown;
    return changed;
}

double plot_view_wait(double now, bool visible) {
    if (!visible || g_plot_view.curve_count == 0) return 1e9;
    double due = g_plot_view.next_sample_t - now;
    if (!plot_view_live() && !g_plot_view.show_curves) return 1e9;  // nothing changes until it is live again
    // While the feed runs, its batches are taken at the frame rate.
    if (s_fast_count > 0 && plot_view_live()) due = std::fmin(due, s_next_take - now);
    return due > 0 ? due : 0;
}
