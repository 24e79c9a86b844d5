// What probe operations cost on each simulated transport: USB exchanges,
// bytes each way and modelled time, next to the least the link allows.
// Figures come from the simulator's counters, so they do not depend on this
// machine's speed.
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "platform/clock.h"
#include "platform/usb.h"
#include "probe/dap.h"
#include "probe/plot_feed.h"
#include "probe/probe_priv.h"
#include "probe/watch_list.h"
#include "probe/probe.h"
#include "runctl/fault_analyze.h"
#include "runctl/stack_unwind.h"
#include "runctl/step.h"
#include "sim/sim_usb_host.h"
#include "bench/bench_rig.h"
#include "symbols/elf_dwarf.h"

#include <chrono>
#include <string>
#include <thread>

namespace {

struct Cost {
    uint64_t exchanges, bytes_out, bytes_in, ns;
};

Cost measure(SimSystem* sys, const std::function<bool()>& op, bool* ok) {
    SimUsbDev* u = sim_system_usb(sys);
    SimUsbCounters c0 = u->counters;
    uint64_t t0 = sim_board_now_ns(sim_system_board(sys));
    *ok = op();
    SimUsbCounters c1 = u->counters;
    return Cost{c1.exchanges - c0.exchanges, c1.bytes_out - c0.bytes_out, c1.bytes_in - c0.bytes_in,
                sim_board_now_ns(sim_system_board(sys)) - t0};
}

const char* name(SimUsbKind k) {
    return k == SimUsbKind::V1Hid ? "v1 HID (64 B, 1 ms frames)" : k == SimUsbKind::V2Bulk512 ? "v2 bulk 512 B (HS)" : "v2 bulk 64 B (FS)";
}

// Least exchanges and time for n payload bytes (the shared link model).
void minimum(SimUsbKind k, uint32_t bytes, bool write, uint32_t swd_hz, uint64_t* ex, double* ms) {
    const LinkLimit l = bench_link_limit(k, bytes, write, swd_hz);
    *ex = (uint64_t)(l.packets + 0.999);
    *ms = l.ms;
}

void row(const char* what, const Cost& c, bool ok, uint64_t min_ex = 0, double min_ms = 0) {
    std::printf("  %-34s %s exchanges %6llu  out %7llu B  in %7llu B  time %8.2f ms", what, ok ? "  " : "!!",
                (unsigned long long)c.exchanges, (unsigned long long)c.bytes_out, (unsigned long long)c.bytes_in,
                (double)c.ns / 1e6);
    if (min_ex) std::printf("   | link minimum %llu exchanges (x%.2f), %.2f ms", (unsigned long long)min_ex,
                            (double)c.exchanges / (double)min_ex, min_ms);
    std::printf("\n");
}

uint32_t tick_address() {
    // The demo firmware's data starts at 0x20000000; any 32 words of RAM serve.
    return 0x20000000;
}

bool run(SimUsbKind kind) {
    BenchRig rig(kind, "demo_O2_dwarf4.elf");
    SimSystem* sys = rig.sys;
    if (!sys) return false;
    DapContext* c = kind == SimUsbKind::V1Hid ? dap_open(0, 0) : dap_open_v2(0, 0);
    bool ok = c && dap_connect(c, 1000000, false) && dap_halt(c);
    std::printf("%s: %s\n", name(kind), ok ? "connected" : "CONNECT FAILED");
    if (ok) {
        static uint8_t buf[65536];
        uint64_t mex;
        double mms;
        bool r;
        ap_cache_invalidate(c);
        Cost k = measure(sys, [&] { return dap_read_mem_block(c, 0x08000000, buf, sizeof buf); }, &r);
        minimum(kind, sizeof buf, false, 4000000, &mex, &mms);
        row("64 KiB read", k, r, mex, mms);
        k = measure(sys, [&] { return dap_write_mem_block(c, 0x20000000, buf, sizeof buf); }, &r);
        minimum(kind, sizeof buf, true, 4000000, &mex, &mms);
        row("64 KiB write", k, r, mex, mms);
        uint32_t regs[16];
        ap_cache_invalidate(c);
        k = measure(sys, [&] { return dap_read_regs(c, regs); }, &r);
        row("R0-R15 read (cold caches)", k, r);
        k = measure(sys, [&] { return dap_read_regs(c, regs); }, &r);
        row("R0-R15 read (warm)", k, r);
        // A running poll with 32 watched globals.
        watch_clear();
        for (int i = 0; i < WATCH_MAX; ++i) {
            ElfVariable v{};
            std::snprintf(v.name, sizeof v.name, "w%d", i);
            v.byte_size = 4;
            v.loc_kind = VAR_LOC_ADDR;
            v.loc_value = (int32_t)(tick_address() + 4u * (uint32_t)i);
            watch_add(&v);
        }
        dap_resume(c);
        s_dap = c;
        k = measure(sys, [&] { running_poll(); return true; }, &r);
        row("running poll, 32 watches", k, r);
        // Typed watches: doubles, structures of 24 and 64 bytes, char pointers
        // with their strings (one more read each) and words.
        watch_clear();
        for (int i = 0; i < WATCH_MAX; ++i) {
            ElfVariable v{};
            std::snprintf(v.name, sizeof v.name, "t%d", i);
            const uint32_t sizes[] = {8, 24, 64, 4, 4};
            v.byte_size = sizes[i % 5];
            v.loc_kind = VAR_LOC_ADDR;
            v.loc_value = (int32_t)(0x20000000u + 64u * (uint32_t)i);
            if (i % 5 == 4) {  // a char pointer, at a string in flash
                v.deref = 32;
                uint8_t ptr[4] = {0x00, 0x02, 0x00, 0x08};
                dap_write_mem_block(c, (uint32_t)v.loc_value, ptr, 4);
            }
            watch_add(&v);
        }
        k = measure(sys, [&] { running_poll(); return true; }, &r);
        row("running poll, 32 typed watches", k, r);
        s_dap = nullptr;
    }
    return ok;
}

bool wait_until(const std::function<bool()>& pred) {
    for (int i = 0; i < 30000 && !pred(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return pred();
}

// Runs the core (probe thread) to the first time addr is reached.
bool run_to(uint32_t addr) {
    auto idle = [] { return !probe_cmd_pending() && g_cmd_busy == 0 && probe_poll_state() != PS_WAIT_HALT; };
    return probe_post_cmd(PROBE_CMD_RESET, 0) && wait_until(idle) && probe_post_cmd(PROBE_CMD_SET_BKPT, addr) &&
           wait_until(idle) && probe_post_cmd(PROBE_CMD_RESUME, 0) &&
           wait_until([&] {
               std::lock_guard<std::mutex> lk(reg_buf_mtx);
               return g_is_halted.load() && (reg_buf[15] & ~1u) == addr && g_cmd_busy == 0;
           }) &&
           probe_post_cmd(PROBE_CMD_CLEAR_BKPT, addr) && wait_until(idle);
}

// The steps as the window asks for them: from the command being posted to the
// registers (and, with the Call stack panel shown, the frames) published,
// through the probe thread and the stepping engine.
bool step_costs(SimUsbKind kind, bool with_stack) {
    BenchRig rig(kind, "demo_O0_dwarf4.elf");
    SimSystem* sys = rig.sys;
    if (!sys) return false;
    std::string elf_path = std::string(KORVANE_DEMO_FW_DIR) + "/demo_O0_dwarf4.elf";
    ElfDwarf* elf = elf_dwarf_load(elf_path.c_str());
    step_set_image(elf);
    runctl_install();
    g_stack_wanted = with_stack;
    PlatThread* t = probe_thread_start();
    auto done = [] { return g_cmd_busy == 0 && probe_poll_state() != PS_WAIT_HALT; };
    bool ok = t && elf && wait_until([] { return g_probe_connected.load(); });
    std::printf("%s, steps on the demo at -O0 (post to published%s):\n", name(kind),
                with_stack ? ", call stack included" : "");
    struct Case {
        const char* what;
        const char* file;
        uint32_t line;
        int cmd;
        const char* end_file;
        uint32_t end_line;
    } cases[] = {
        {"step over a plain line (main.c:94)", "main.c", 94, PROBE_CMD_STEP, "main.c", 96},
        {"step over a call (main.c:92)", "main.c", 92, PROBE_CMD_STEP, "main.c", 93},
        {"step over a loop line (startup.c:81)", "startup.c", 81, PROBE_CMD_STEP, "startup.c", 82},
        {"step into a call (main.c:99)", "main.c", 99, PROBE_CMD_STEP_INTO, "wave.c", 20},
        {"step out (wave.c:27 to main)", "wave.c", 27, PROBE_CMD_STEP_OUT, "main.c", 100},
    };
    for (const Case& c : cases) {
        uint32_t at = elf_dwarf_line_to_addr(elf, c.file, c.line) & ~1u;
        // The fewest of three: this thread may notice the end only after the
        // probe thread's next idle poll, whose exchanges are not the step's.
        Cost best{};
        bool r = ok;
        for (int rep = 0; rep < 3 && r; ++rep) {
            if (!run_to(at)) {
                std::printf("  %-34s !! could not reach %s:%u\n", c.what, c.file, c.line);
                r = false;
                break;
            }
            Cost k = measure(sys, [&] { return probe_post_cmd(c.cmd, 0) && wait_until(done); }, &r);
            ElfLocation loc = {};
            {
                std::lock_guard<std::mutex> lk(reg_buf_mtx);
                elf_dwarf_lookup(elf, reg_buf[15], &loc);
            }
            r = r && loc.line == c.end_line && strstr(loc.file, c.end_file);
            if (rep == 0 || k.exchanges < best.exchanges) best = k;
        }
        if (!ok) break;
        row(c.what, best, r);
        ok = ok && r;
    }
    if (t) probe_thread_stop_and_wait(t);
    probe_set_run_control(nullptr);
    step_set_image(nullptr);
    g_stack_wanted = true;
    elf_dwarf_free(elf);
    return ok;
}

// One unwind of a deep stack: factorial's recursion 10 deep under main.
bool unwind_costs(SimUsbKind kind) {
    BenchRig rig(kind, "demo_O0_dwarf4.elf");
    SimSystem* sys = rig.sys;
    if (!sys) return false;
    std::string elf_path = std::string(KORVANE_DEMO_FW_DIR) + "/demo_O0_dwarf4.elf";
    ElfDwarf* elf = elf_dwarf_load(elf_path.c_str());
    DapContext* c = kind == SimUsbKind::V1Hid ? dap_open(0, 0) : dap_open_v2(0, 0);
    bool ok = elf && c && dap_connect(c, 1000000, false) && dap_halt(c);
    s_dap = c;
    uint32_t at = ok ? elf_dwarf_line_to_addr(elf, "wave.c", 32) & ~1u : 0;  // if (n <= 1u): the deepest call
    ok = ok && at && dap_set_bp(c, at);
    UnwindRegs regs{};
    UnwindFrame frames[UNWIND_MAX_FRAMES];
    int n = 0;
    auto read = [](void*, uint32_t a, uint8_t* b, uint32_t len) { return dbg_read_mem(a, b, len); };
    // What the probe thread does at a halt: R0-R15, MSP and PSP, then the walk.
    auto unwind = [&] {
        static const uint8_t idx[18] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 17, 18};
        uint32_t v[18];
        if (!dbg_read_reg_list(idx, 18, v)) return false;
        memcpy(regs.r, v, sizeof regs.r);
        regs.msp = v[16], regs.psp = v[17], regs.banked_valid = true;
        n = stack_unwind(elf, &regs, read, nullptr, frames, UNWIND_MAX_FRAMES);
        return true;
    };
    // Each hit is one call deeper until tick % 12 comes round to 9: 10 factorial frames.
    for (int hit = 0; ok && hit < 20000; ++hit) {
        ok = dbg_resume() && wait_until([] { return dbg_is_halted(); }) && unwind();
        if (n >= 11) break;
    }
    dap_clear_bp(c, at);
    bool r = false;
    Cost k = measure(sys, [&] { return unwind() && n == 11; }, &r);
    char what[64];
    std::snprintf(what, sizeof what, "unwind %d frames (registers included)", n);
    std::printf("%s:\n", name(kind));
    row(what, k, ok && r);
    s_dap = nullptr;
    elf_dwarf_free(elf);
    return ok && r;
}

// One fault caught by vector catch and analysed as the poll does it: the
// registers, the fault status block, DFSR acknowledged, the stacked frame.
bool fault_costs(SimUsbKind kind) {
    BenchRig rig(kind, "demo_O2_dwarf4.elf");
    if (!rig.sys) return false;
    ElfDwarf* elf = elf_dwarf_load(KORVANE_DEMO_FW_DIR "/demo_O2_dwarf4.elf");
    DapContext* c = kind == SimUsbKind::V1Hid ? dap_open(0, 0) : dap_open_v2(0, 0);
    uint32_t bus_read = 0, demcr = 0;
    bool ok = elf && c && dap_connect(c, 1000000, false) && dap_halt(c) &&
              elf_dwarf_find_function(elf, "fault_bus_read", &bus_read) && dap_read_mem32(c, DAP_DEMCR, &demcr) &&
              dap_write_mem32(c, DAP_DEMCR, demcr | DAP_DEMCR_VC_FAULTS) && dap_write_reg(c, 0, 0x60000000) &&
              dap_write_reg(c, 15, bus_read | 1);
    s_dap = c;
    fault_set_image(elf);
    ok = ok && dbg_resume() && wait_until([] { return dbg_is_halted(); });
    bool r = false;
    Cost k = measure(rig.sys, [] { fault_on_stop(); std::lock_guard<std::mutex> lk(reg_buf_mtx); return g_hardfault.valid && g_hardfault.bfar_valid; }, &r);
    std::printf("%s:\n", name(kind));
    row("fault analysis (vector catch)", k, ok && r);
    fault_set_image(nullptr);
    s_dap = nullptr;
    elf_dwarf_free(elf);
    return ok && r;
}

// The plot's fast feed: one sample of n globals of 4 or 8 bytes (16 bytes
// apart, so each is its own run of words) on a running core, and the samples
// a second the link allows back to back; then the probe thread sampling the
// widest list for a second of board time at its period.
bool plot_feed_costs(SimUsbKind kind) {
    BenchRig rig(kind, "demo_O2_dwarf4.elf");
    if (!rig.sys) return false;
    DapContext* c = kind == SimUsbKind::V1Hid ? dap_open(0, 0) : dap_open_v2(0, 0);
    bool ok = c && dap_connect(c, 1000000, false);
    std::printf("%s, plot samples (DHCSR included):\n", name(kind));
    PlotFeedVar vars[PLOT_FEED_VARS];
    s_dap = ok ? c : nullptr;
    for (uint32_t size : {4u, 8u})
        for (int n : {1, 4, 8}) {
            if (!ok) break;
            for (int i = 0; i < n; ++i) vars[i] = PlotFeedVar{(uint32_t)i + 1, 0x20000000u + 16u * (uint32_t)i, size};
            plot_feed_set(vars, n);
            bool halted, r;
            plot_feed_sample(&halted);  // the AP's SELECT and CSW as the thread has them
            Cost k = measure(rig.sys, [&] { return plot_feed_sample(&halted) && !halted; }, &r);
            char what[64];
            std::snprintf(what, sizeof what, "plot sample, %d x %u B", n, size);
            row(what, k, r);
            std::printf("  %-34s    back to back %6.0f samples/s\n", "", k.ns ? 1e9 / (double)k.ns : 0.0);
            ok = ok && r;
        }
    s_dap = nullptr;
    dap_close(c);
    plot_feed_set(nullptr, 0);
    // The thread at its period, its 200 ms poll reading no watches, then 32
    // of 4-64 bytes (each poll's transfers delay the samples due meanwhile).
    PlatThread* t = ok ? probe_thread_start() : nullptr;
    ok = t && wait_until([] { return probe_poll_state() == PS_RUNNING; });
    for (int watches : {0, (int)WATCH_MAX}) {
        if (!ok) break;
        watch_clear();
        for (int i = 0; i < watches; ++i) {
            ElfVariable v{};
            const uint32_t sizes[] = {8, 24, 64, 4, 4};
            std::snprintf(v.name, sizeof v.name, "w%d", i);
            v.byte_size = sizes[i % 5];
            v.loc_kind = VAR_LOC_ADDR;
            v.loc_value = (int32_t)(0x20000000u + 64u * (uint32_t)i);
            watch_add(&v);
        }
        static PlotFeedBatch got[PLOT_FEED_RING];
        int n = 0;
        plot_feed_set(vars, PLOT_FEED_VARS);
        ok = wait_until([&] {
            n += plot_feed_take(got + n, PLOT_FEED_RING - n);
            return n > 1 && got[n - 1].t - got[0].t >= 1.0;
        });
        plot_feed_set(nullptr, 0);
        double rate = n > 1 ? (n - 1) / (got[n - 1].t - got[0].t) : 0;
        char what[64];
        std::snprintf(what, sizeof what, "plot sampling, 8 x 8 B, %d watches", watches);
        std::printf("  %-34s %s %.1f samples/s at a %d ms period (probe thread)\n", what, ok ? "  " : "!!", rate,
                    (int)PLOT_FEED_PERIOD_MS);
    }
    watch_clear();
    if (t) probe_thread_stop_and_wait(t);
    return ok;
}

}  // namespace

int main() {
    bool ok = true;
    for (SimUsbKind k : {SimUsbKind::V1Hid, SimUsbKind::V2Bulk512, SimUsbKind::V2Bulk64}) ok &= run(k);
    for (SimUsbKind k : {SimUsbKind::V1Hid, SimUsbKind::V2Bulk512})
        for (bool stack : {false, true}) ok &= step_costs(k, stack);
    for (SimUsbKind k : {SimUsbKind::V1Hid, SimUsbKind::V2Bulk512}) ok &= unwind_costs(k);
    for (SimUsbKind k : {SimUsbKind::V1Hid, SimUsbKind::V2Bulk512}) ok &= fault_costs(k);
    for (SimUsbKind k : {SimUsbKind::V1Hid, SimUsbKind::V2Bulk64, SimUsbKind::V2Bulk512}) ok &= plot_feed_costs(k);
    return ok ? 0 : 1;
}
