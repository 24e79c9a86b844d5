// The plot's fast feed: the list the window asks for, and the batches the
// probe thread reads for it, queued until the window takes them.
#include "probe/plot_feed.h"

#include <cstring>
#include <mutex>

#include "platform/clock.h"
#include "platform/log_store.h"
#include "probe/probe_priv.h"

namespace {

std::mutex s_mtx;  // everything below but s_failing
PlotFeedVar s_vars[PLOT_FEED_VARS];
int s_n = 0;
// Counts list changes: a batch read for an older list is never queued.
uint32_t s_gen = 0;
PlotFeedBatch s_ring[PLOT_FEED_RING];
int s_head = 0, s_count = 0;  // the oldest batch, and how many are queued
uint64_t s_dropped = 0;
bool s_failing = false;  // probe thread only: the last sample's read failed (logged once)

bool same_list(const PlotFeedVar* a, int n) {
    if (n != s_n) return false;
    for (int i = 0; i < n; ++i)
        if (a[i].watch_id != s_vars[i].watch_id || a[i].addr != s_vars[i].addr || a[i].size != s_vars[i].size)
            return false;
    return true;
}

}  // namespace

void plot_feed_set(const PlotFeedVar* vars, int n) {
    if (n > 0 && !vars) {
        log_add_line(&logv, "[PRB] Plot sampling: a list of no variables — sampling stops");
        n = 0;
    }
    PlotFeedVar keep[PLOT_FEED_VARS];
    int k = 0, bad = 0;
    for (int i = 0; i < n; ++i) {
        const PlotFeedVar& v = vars[i];
        // An address whose last byte wraps past 4 GiB has no covering words.
        if (k == PLOT_FEED_VARS || v.size < 1 || v.size > 8 || v.addr + (v.size - 1) < v.addr) ++bad;
        else keep[k++] = v;
    }
    std::lock_guard<std::mutex> lk(s_mtx);
    if (same_list(keep, k)) return;
    // Said once per change of list, not at every frame that hands it over again.
    if (bad) log_addf(&logv, "[PRB] Plot sampling: %d of %d variables not sampled (over %d, of no size or over 8 bytes)", bad,
                      n, (int)PLOT_FEED_VARS);
    std::memcpy(s_vars, keep, sizeof(PlotFeedVar) * (size_t)k);
    s_n = k;
    ++s_gen;
    s_head = s_count = 0;
}

int plot_feed_take(PlotFeedBatch* out, int max) {
    if (!out || max <= 0) return 0;
    std::lock_guard<std::mutex> lk(s_mtx);
    int n = s_count < max ? s_count : max;
    for (int i = 0; i < n; ++i) out[i] = s_ring[(s_head + i) % PLOT_FEED_RING];
    s_head = (s_head + n) % PLOT_FEED_RING;
    s_count -= n;
    return n;
}

uint64_t plot_feed_dropped() {
    std::lock_guard<std::mutex> lk(s_mtx);
    return s_dropped;
}

bool plot_feed_active() {
    std::lock_guard<std::mutex> lk(s_mtx);
    return s_n > 0;
}

bool plot_feed_sample(bool* halted) {
    if (halted) *halted = false;
    PlotFeedVar vars[PLOT_FEED_VARS];
    int n;
    uint32_t gen;
    {
        std::lock_guard<std::mutex> lk(s_mtx);
        n = s_n;
        gen = s_gen;
        std::memcpy(vars, s_vars, sizeof(PlotFeedVar) * (size_t)n);
    }
    if (n == 0 || !s_dap) return false;
    // Each variable's covering words (1-8 bytes: at most 3), DHCSR last, in one
    // batched transfer: the values and the core's state are of one moment.
    constexpr int kWords = PLOT_FEED_VARS * 3 + 1;
    uint32_t addrs[kWords], words[kWords] = {};
    bool ok[kWords] = {};
    int first[PLOT_FEED_VARS], m = 0;
    for (int i = 0; i < n; ++i) {
        first[i] = m;
        for (uint32_t w = vars[i].addr & ~3u; w <= ((vars[i].addr + vars[i].size - 1) & ~3u); w += 4) addrs[m++] = w;
    }
    addrs[m++] = DAP_DHCSR;
    // No word-by-word retry: a fault costs this sample only, never a burst of reads every period.
    dap_read_words(s_dap, addrs, m, words, ok, false);
    PlotFeedBatch b{};
    b.t = (double)plat_time_ms() / 1000.0;
    b.count = n;
    bool any = false;
    for (int i = 0; i < n; ++i) {
        const uint32_t a = vars[i].addr, words_of = (((a + vars[i].size - 1) & ~3u) - (a & ~3u)) / 4 + 1;
        uint8_t bytes[12];
        bool good = true;
        for (uint32_t k = 0; k < words_of; ++k) {
            good = good && ok[first[i] + (int)k];
            for (int j = 0; j < 4; ++j) bytes[4 * k + j] = (uint8_t)(words[first[i] + (int)k] >> (8 * j));
        }
        uint64_t v = 0;
        for (uint32_t k = 0; k < vars[i].size; ++k) v |= (uint64_t)bytes[(a & 3) + k] << (8 * k);
        b.watch_id[i] = vars[i].watch_id;
        b.raw[i] = good ? v : 0;
        b.ok[i] = good;
        any = any || good;
    }
    const bool state_ok = ok[m - 1], stopped = state_ok && (words[m - 1] & DAP_DHCSR_S_HALT);
    b.live = state_ok && !stopped;
    if (halted) *halted = stopped;
    if (!any && !state_ok) {
        if (!s_failing) log_add_line(&logv, "[PRB] Plot sampling: the read failed — no samples until it succeeds");
        s_failing = true;
        return false;
    }
    s_failing = false;
    std::lock_guard<std::mutex> lk(s_mtx);
    if (gen != s_gen) return true;  // read for a list the window has since replaced
    if (s_count == PLOT_FEED_RING) {
        s_head = (s_head + 1) % PLOT_FEED_RING;
        --s_count;
        ++s_dropped;
    }
    s_ring[(s_head + s_count++) % PLOT_FEED_RING] = b;
    return true;
}
