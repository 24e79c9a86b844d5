// The plot's fast feed on the probe thread, against the simulated board at its
// real 16 MHz in virtual time. The wave is checked against wave.c's formula
// and table, computed here.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <vector>

#include "probe/plot_feed.h"
#include "tests/runctl/board_run.h"

namespace {

float wave_at(uint32_t tick) {
    static const int16_t table[17] = {0,     3212,  6393,  9512,  12539, 15446, 18204, 20787, 23170,
                                      25329, 27245, 28898, 30273, 31356, 32137, 32609, 32767};
    const uint32_t phase = (tick * 64u / 1000u) & 63u, q = (phase >> 4) & 3u, i = q & 1u ? 16u - (phase & 15u) : phase & 15u;
    const float v = (float)table[i] * (1.0f / 32767.0f), t = (float)(tick % 250u < 125u ? tick % 250u : 250u - tick % 250u);
    return 0.8f * (q & 2u ? -v : v) + 0.2f * (t * (1.0f / 125.0f) - 0.5f);
}

uint64_t board_ms(SimRig& r) {
    std::lock_guard<SimRig> lk(r);
    return sim_board_now_ns(r.board()) / 1000000;
}
uint64_t exchanges(SimRig& r) {
    std::lock_guard<SimRig> lk(r);
    return sim_system_usb(r.sys)->counters.exchanges;
}
bool board_time_passes(SimRig& r, uint64_t ms) {
    const uint64_t from = board_ms(r);
    return wait_for([&] { return board_ms(r) >= from + ms; });
}

// Board ms at which the probe thread published a halt: past `s_done_lines`
// "[DBG] Halt: done" lines (-1: any halt).
std::atomic<int> s_done_lines{-1};
std::atomic<uint64_t> s_seen_ms{0}, s_from_ms{0};
std::atomic<uint32_t> s_trigger{0};  // g_bkpt_trigger's address: set at the next poll's end
SimRig* s_rig;
void on_wake() {
    if (!s_seen_ms && g_is_halted && (s_done_lines < 0 || log_count_of("[DBG] Halt: done") > s_done_lines))
        s_seen_ms = plat_time_ms();
}
void on_poke() {
    const uint32_t at = s_trigger.exchange(0), one = 1;
    if (!at) return;
    std::lock_guard<SimRig> lk(*s_rig);
    if (sim_board_write_mem(s_rig->board(), at, &one, 4)) s_from_ms = sim_board_now_ns(s_rig->board()) / 1000000;
}

// Board ms from posting a halt to its line. Posted with the board held, it lands
// between two steps of the thread, never inside a virtual sleep run to its end.
uint64_t halt_latency(BoardRun& b) {
    s_done_lines = log_count_of("[DBG] Halt: done"), s_seen_ms = 0;
    b.rig.lock();
    const uint64_t at = sim_board_now_ns(b.rig.board()) / 1000000;
    const bool posted = probe_post_cmd(PROBE_CMD_HALT, 0);
    b.rig.unlock();
    return posted && wait_for([] { return s_seen_ms != 0; }) ? s_seen_ms - at : ~0ull;
}

class PlotFeed : public ::testing::TestWithParam<SimUsbKind> {
    // No call stack is unwound at a halt: its cost, which depends on where the
    // core stopped, would blur the latencies compared.
    // The hooks are set while no probe thread runs, as the program sets them.
    void SetUp() override { g_stack_wanted = false, probe_set_wake(on_wake), probe_set_poke(on_poke); }
    void TearDown() override { plot_feed_set(nullptr, 0), probe_set_wake(nullptr), probe_set_poke(nullptr), g_stack_wanted = true; }
};

}  // namespace

TEST_P(PlotFeed, SamplesAWaveAtItsPeriodInOneExchangeEach) {
    watch_clear();
    BoardRun b("demo_O2_dwarf4.elf", 0, {}, 16, GetParam());
    ASSERT_TRUE(b.ok()) << b.rig.err;
    s_rig = &b.rig;
    std::vector<ElfVariable> vars(512);
    vars.resize((size_t)std::max(0, elf_dwarf_get_all_variables(b.elf, vars.data(), (int)vars.size())));
    PlotFeedVar feed[3] = {{7, 0, 0}, {9, 0, 0}, {0, 0, 0}};  // g_wave, g_tick_count; g_bkpt_trigger
    for (const ElfVariable& v : vars)
        for (int k : {0, 1, 2})
            if (!std::strcmp(v.name, k == 0 ? "g_wave" : k == 1 ? "g_tick_count" : "g_bkpt_trigger"))
                feed[k].addr = (uint32_t)v.loc_value, feed[k].size = v.byte_size;
    ASSERT_TRUE(feed[0].size == 4 && feed[1].size == 4 && feed[2].size == 4);
    ASSERT_TRUE(wait_for([] { return g_cmd_busy == 0 && probe_poll_state() == PS_RUNNING; }));

    // The 200 ms poll alone: its exchanges a ms, and a halt's latency.
    uint64_t e0 = exchanges(b.rig), m0 = board_ms(b.rig);
    ASSERT_TRUE(board_time_passes(b.rig, 1000));
    const double poll_per_ms = (double)(exchanges(b.rig) - e0) / (double)(board_ms(b.rig) - m0);
    const uint64_t poll_halt_ms = halt_latency(b);
    ASSERT_TRUE(b.run(PROBE_CMD_RESUME) && wait_for([] { return probe_poll_state() == PS_RUNNING; }));

    // Every batch until their times span 3 s; the last ones and the exchanges with the board held.
    std::vector<PlotFeedBatch> got;
    auto take = [&] {
        PlotFeedBatch buf[64];
        for (int n; (n = plot_feed_take(buf, 64)) > 0;) got.insert(got.end(), buf, buf + n);
        return got.size() > 1 && got.back().t - got.front().t >= 3.0;
    };
    e0 = exchanges(b.rig);
    plot_feed_set(feed, 2);
    ASSERT_TRUE(wait_for(take));
    b.rig.lock();
    const uint64_t sampling_exchanges = sim_system_usb(b.rig.sys)->counters.exchanges - e0;
    take();
    b.rig.unlock();
    std::vector<std::pair<double, float>> s;  // t, g_wave
    const double span = got.back().t - got.front().t, rate = (double)(got.size() - 1) / span;
    for (const PlotFeedBatch& x : got) {
        ASSERT_TRUE(x.count == 2 && x.watch_id[0] == 7 && x.watch_id[1] == 9 && x.ok[0] && x.ok[1] && x.live);
        float w;
        std::memcpy(&w, &x.raw[0], 4);
        s.emplace_back(x.t, w);
    }
    std::printf("  %s: %.1f samples/s, %llu exchanges for %zu batches\n", kind_name(GetParam()), rate,
                (unsigned long long)sampling_exchanges, got.size());
    EXPECT_GE(rate, 95.0);
    EXPECT_LE(sampling_exchanges, got.size() + (uint64_t)(poll_per_ms * span * 1500) + 4) << "one a batch, and the poll's";
    EXPECT_NEAR((double)(uint32_t)(got.back().raw[1] - got.front().raw[1]) / span, 1000.0, 10.0) << "ticks a second of t";

    // Rising zero crossings, interpolated: 1 s apart within a period; the extremes within a period's change.
    std::vector<double> rising;
    float top = -2, bottom = 2, true_top = -2, true_bottom = 2;
    for (size_t i = 1; i < s.size(); ++i)
        if (s[i - 1].second < 0 && s[i].second >= 0)
            rising.push_back(s[i - 1].first + (s[i].first - s[i - 1].first) * -s[i - 1].second / (s[i].second - s[i - 1].second));
    for (size_t i = 1; i < rising.size(); ++i) EXPECT_NEAR((rising[i] - rising[i - 1]) * 1000, 1000.0, PLOT_FEED_PERIOD_MS);
    EXPECT_GE(rising.size(), 3u);
    for (auto [t, w] : s) top = std::max(top, w), bottom = std::min(bottom, w);
    for (uint32_t k = 0; k < 1000; ++k) true_top = std::max(true_top, wave_at(k)), true_bottom = std::min(true_bottom, wave_at(k));
    EXPECT_TRUE(top <= true_top + 1e-6f && top >= true_top - 0.03f) << top << " of " << true_top;
    EXPECT_TRUE(bottom >= true_bottom - 1e-6f && bottom <= true_bottom + 0.03f) << bottom << " of " << true_bottom;

    // A halt while sampling: as prompt as with the poll alone; nothing read after it claims a running core.
    const uint64_t feed_halt_ms = halt_latency(b), halted_at = s_seen_ms;
    EXPECT_LE(feed_halt_ms, poll_halt_ms + PLOT_FEED_PERIOD_MS);
    ASSERT_TRUE(board_time_passes(b.rig, 500));
    got.clear();
    take();
    for (const PlotFeedBatch& x : got) EXPECT_TRUE(!x.live || x.t * 1000 < (double)halted_at) << x.t;

    // Running again, a BKPT of the firmware's own just after a poll: seen by the next sample, not the next poll 200 ms on.
    ASSERT_TRUE(b.run(PROBE_CMD_RESUME) && wait_for([&] { return take(), !got.empty() && got.back().live; }));
    s_done_lines = -1, s_seen_ms = 0, s_trigger = feed[2].addr;
    ASSERT_TRUE(wait_for([] { return s_seen_ms != 0; }));
    EXPECT_LT(s_seen_ms - s_from_ms, 100u);
}

INSTANTIATE_TEST_SUITE_P(Probes, PlotFeed, ::testing::Values(SimUsbKind::V2Bulk512, SimUsbKind::V1Hid),
                         [](const auto& p) { return std::string(kind_name(p.param)); });
