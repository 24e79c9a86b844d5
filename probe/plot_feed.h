// Fast sampling of plotted global variables. While the window plots globals
// and the core runs, the probe thread reads just those variables every
// PLOT_FEED_PERIOD_MS in one batched transfer (with DHCSR, so each batch
// knows whether the core was still running) and queues the batches with the
// time they were read; the window takes them when it next samples. The 200 ms
// watch poll goes on as before; commands are answered between batches.
#pragma once

#include <cstdint>

enum : int { PLOT_FEED_VARS = 8, PLOT_FEED_RING = 4096, PLOT_FEED_PERIOD_MS = 10 };

// A global to sample: the watch it belongs to, its address and 1-8 bytes.
struct PlotFeedVar {
    uint32_t watch_id;
    uint32_t addr;
    uint32_t size;
};

// One read of every sampled variable.
struct PlotFeedBatch {
    double t;          // seconds of plat_time_ms, when the transfer finished
    bool live;         // DHCSR said the core was running (not halted)
    int count;
    uint32_t watch_id[PLOT_FEED_VARS];
    uint64_t raw[PLOT_FEED_VARS];  // little-endian value, zero-extended from its size
    bool ok[PLOT_FEED_VARS];       // the words holding it were read
};

// User-interface thread: the variables to sample from now on (n = 0 stops
// the sampling and drops what is queued). Entries beyond PLOT_FEED_VARS, of
// no size or wider than 8 bytes are ignored. Setting the same list again
// changes nothing.
void plot_feed_set(const PlotFeedVar* vars, int n);
// User-interface thread: moves up to `max` queued batches, oldest first, into
// `out`; returns how many. Batches that waited while the queue was full were
// dropped, oldest first (plot_feed_dropped counts them).
int plot_feed_take(PlotFeedBatch* out, int max);
uint64_t plot_feed_dropped();

// Probe thread: whether any variable is to be sampled.
bool plot_feed_active();
// Probe thread: reads the variables once and queues the batch. False when
// nothing is to be sampled or the transfer failed; *halted is set when DHCSR
// said the core had halted (the caller then polls at once).
bool plot_feed_sample(bool* halted);
