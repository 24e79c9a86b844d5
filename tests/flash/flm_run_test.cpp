// ST's real flash algorithm run on the simulated STM32F405 through the probe:
// what it leaves in the whole 1 MB array is read through the board's back
// door, and injected faults (link, flash controller, algorithm) must end in
// failure, never in a hang or a reported success.
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "flash/flm.h"
#include "probe/probe.h"
#include "probe/probe_fixture.h"
#include "sim/board.h"
#include "sim/flash_f4.h"
#include "sim/sim_system.h"
#include "tests/test_util.h"

namespace {

const std::string kData = KORVANE_SHARED_DATA, kStFlm = kData + "/flm/STM32F4xx_1024.FLM";
constexpr uint32_t kFlash = 0x08000000;

std::vector<uint8_t> image(uint32_t len, uint32_t seed) {
    std::vector<uint8_t> v(len);
    for (auto& b : v) {
        seed = seed * 1103515245u + 12345u;
        b = (uint8_t)(seed >> 16);
        if (b == 0xFF) b = 0x5A;  // keeps programmed bytes distinguishable from erased ones
    }
    return v;
}

uint8_t prefill(uint32_t off) { return (uint8_t)(off * 7 + (off >> 12)); }

// The sector holding flash offset `off`: 0-3 16 KB, 4 64 KB, 5-11 128 KB (RM0090).
std::pair<uint32_t, uint32_t> sector(uint32_t off) {
    if (off < 0x10000) return {off & ~0x3FFFu, (off & ~0x3FFFu) + 0x4000};
    if (off < 0x20000) return {0x10000, 0x20000};
    return {off & ~0x1FFFFu, (off & ~0x1FFFFu) + 0x20000};
}

// Lets a test act in the middle of a job: the job sleeps between polls and
// after uploads, and each sleep first calls `hook`.
struct HookClock {
    PlatClock clock{};
    const PlatClock* inner = plat_clock_current();
    std::function<void()> hook;
    explicit HookClock(std::function<void()> h) : hook(std::move(h)) {
        clock.now_ms = [](void* c) { auto* me = (HookClock*)c; return me->inner->now_ms(me->inner->ctx); };
        clock.sleep_ms = [](void* c, uint32_t ms) {
            auto* me = (HookClock*)c;
            if (me->hook) me->hook();
            me->inner->sleep_ms(me->inner->ctx, ms);
        };
        clock.ctx = this;
        clock.is_virtual = true;
        plat_clock_install(&clock);
    }
    ~HookClock() { plat_clock_install(inner); }
};

using Hook = std::function<void()>;

// One job on a connected, halted board whose flash holds the pre-fill pattern.
struct FlmJob {
    const char* name;
    uint32_t at = kFlash, len = 3000;
    std::function<void(SimRig&)> arm = nullptr;        // faults set before the job
    std::function<Hook(SimRig&)> hook = nullptr;       // acts on each of the job's sleeps
    int ok = 1;                                        // 1 done, 0 failed, -1 either
    std::vector<const char*> logs = {};                // lines the log must hold
    const char* once = nullptr;                        // a line logged exactly once
    const char* never = "[FLM] ERROR";                 // a line it must not hold
    const char* flm = nullptr;                         // another algorithm in ST's place
    SimUsbKind kind = SimUsbKind::V2Bulk512;
    bool halted = false;                               // the core is halted after the failure
};

// Sleeps while the erase (progress 10) runs.
Hook during_erase(std::function<void(int)> act) {
    return [act, n = 0]() mutable { if (g_flash_progress == 10) act(++n); };
}

void check(const FlmJob& r) {
    SCOPED_TRACE(r.name);
    TempDir packs("flm_run");
    std::filesystem::create_directories(packs / "CMSIS/Flash");
    std::filesystem::copy_file(kData + "/pdsc/Keil.STM32F4xx_DFP.pdsc", packs / "Keil.STM32F4xx_DFP.pdsc");
    std::filesystem::copy_file(r.flm ? r.flm : kStFlm, packs / "CMSIS/Flash/STM32F4xx_1024.FLM");
    // A slow core keeps the algorithm's busy-wait loops cheap to simulate.
    SimRig rig(r.kind, "demo_O2_dwarf4.elf", true, 2);
    DapContext* c = rig_open(r.kind);
    ASSERT_TRUE(c && dap_connect(c, 1000000, false) && dap_halt(c));
    rig.lock();
    uint8_t* array = sim_board_flash(rig.board())->array;
    for (uint32_t i = 0; i < SIM_FLASHF4_ARRAY_SIZE; ++i) array[i] = prefill(i);
    rig.unlock();
    if (r.arm) r.arm(rig);
    HookClock hc(r.hook ? r.hook(rig) : nullptr);
    const auto img = image(r.len, r.at + r.len);
    const bool done = flm_program_device(c, packs.path.c_str(), "STM32F405RG", img.data(), r.len, r.at);
    EXPECT_TRUE(r.ok < 0 || done == (r.ok == 1)) << done;
    for (const char* l : r.logs) EXPECT_TRUE(log_has(l)) << l;
    EXPECT_TRUE(!r.once || log_count_of(r.once) == 1) << r.once;
    if (!done) {
        EXPECT_TRUE(log_has("[FLM] ERROR"));
        EXPECT_FALSE(log_has("[FLM] verify OK"));
        EXPECT_TRUE(!r.halted || dap_get_state(c) == DAP_STATE_HALTED);
        return;
    }
    EXPECT_FALSE(log_has(r.never)) << r.never;
    EXPECT_EQ(g_flash_progress.load(), 100);
    uint32_t dhcsr = 0;  // interrupts stayed masked, and the core ended halted at the trap
    EXPECT_TRUE(dap_read_dhcsr(c, &dhcsr) && (dhcsr & 0xBu) == 0xBu) << std::hex << dhcsr;
    // Every byte: the image, erased flash in the rest of the sectors it
    // touches, the pre-fill pattern everywhere else.
    const uint32_t off = r.at - kFlash, end = off + r.len, er0 = sector(off).first, er1 = sector(end - 1).second;
    rig.lock();
    int bad = 0;
    for (uint32_t i = 0; i < SIM_FLASHF4_ARRAY_SIZE && bad < 5; ++i) {
        const uint8_t want = i >= off && i < end ? img[i - off] : i >= er0 && i < er1 ? 0xFF : prefill(i);
        if (array[i] != want && ++bad)
            ADD_FAILURE() << "flash offset 0x" << std::hex << i << ": 0x" << int(array[i]) << " instead of 0x" << int(want);
    }
    rig.unlock();
}

void faults(SimRig& rig, SimFlashF4Faults f, uint16_t nwrp = 0xFFF) {
    sim_flashf4_set_faults(sim_board_flash(rig.board()), &f);
    sim_flashf4_set_write_protect(sim_board_flash(rig.board()), nwrp);
}

}  // namespace

TEST(FlmRun, JobsEndInTheFlashTheyReport) {
    if (!std::filesystem::exists(kStFlm)) GTEST_SKIP() << "shared data absent: " << kData;
    const std::string algo = KORVANE_TEST_FLM_DIR;
    const std::string hang = algo + "/korvane_f4_hang.FLM", ret1 = algo + "/korvane_f4_ret1.FLM",
                      fault = algo + "/korvane_f4_fault.FLM";
    const char* recovery = "[FLM] SWD read fail — DP error recovery";
    std::vector<FlmJob> runs = {
        {.name = "40 KB + 100 B: 41 pages, the last one padded", .len = 40 * 1024 + 100,
         .logs = {"[FLM] Programming: 41 pages x 1024 B = 41060 B total  [DOUBLE-BUFFERED]", "[FLM] verify OK"}},
        // Starts on sector 3's first byte: sector 2 before it keeps its contents.
        {.name = "sector 3 into sector 4", .at = kFlash + 0xC000, .len = 0x4000 + 3, .logs = {"[FLM] erased 2 sector(s)"}},
        {.name = "sector 3 into sector 4, V1", .at = kFlash + 0xC000, .len = 0x4000 + 3, .logs = {"[FLM] erased 2 sector(s)"},
         .kind = SimUsbKind::V1Hid},
        {.name = "past the flash end", .at = kFlash + 0xFFC00, .len = 2048, .ok = 0, .logs = {"is outside the flash"},
         .never = "[FLM] step: flm_load"},
        {.name = "below the flash", .at = 0x07FFFC00, .len = 2048, .ok = 0, .logs = {"is outside the flash"}},
        {.name = "probe lost during the erase: recovered once, then given up",
         .hook = [](SimRig& rig) { return during_erase([&rig](int n) { if (n == 5) sim_usb_unplug(rig.usb()); }); },
         .ok = 0, .logs = {"[FLM] ERROR: SWD lost for >2000ms (consec_fail=400)"}, .once = recovery},
        {.name = "SWD stalls 150 ms during the erase and comes back",
         .hook = [](SimRig& rig) {
             return during_erase([&rig, armed = uint64_t(0)](int n) mutable {
                 SimSwdFaults f{};
                 if (n == 5) f.wait_next = 0xFFFFFFFF, armed = plat_time_ms();  // every transfer answers WAIT
                 else if (!armed || plat_time_ms() <= armed + 150) return;
                 else armed = 0;
                 sim_swd_arm_faults(&rig.probe()->swd, &f);
             });
         },
         .once = recovery},
        {.name = "unplugged while pages are programmed",
         .hook = [](SimRig& rig) -> Hook {
             return [&rig] { if (g_flash_progress >= 41 && rig.usb()->plugged) sim_usb_unplug(rig.usb()); };
         },
         .ok = 0},
        {.name = "keys rejected", .arm = [](SimRig& r) { faults(r, {true, false, 0, false}); }, .ok = 0},
        {.name = "sector 0 write-protected", .arm = [](SimRig& r) { faults(r, {}, 0xFFE); }, .ok = 0,
         .logs = {"[FLM] ERROR: erase failed"}},
        {.name = "program error", .arm = [](SimRig& r) { faults(r, {false, false, SIM_FLASHF4_SR_PGPERR, false}); }, .ok = 0,
         .logs = {"[FLM] ERROR: ProgramPage failed"}},
        {.name = "writes dropped", .arm = [](SimRig& r) { faults(r, {false, false, 0, true}); }, .ok = 0,
         .logs = {"[FLM] ERROR: verify mismatch at 0x08000000"}},
        {.name = "flash stays busy", .hook = [](SimRig& rig) -> Hook {
             return [&rig] { if (g_flash_progress == 40) faults(rig, {false, true, 0, false}); };
         },
         .ok = 0, .logs = {"[FLM] ERROR: timeout after 100 ms"}, .halted = true},
        {.name = "algorithm hangs", .ok = 0, .logs = {"[FLM] ERROR: timeout after"}, .flm = hang.c_str()},
        {.name = "algorithm returns 1", .ok = 0, .logs = {"[FLM] flm_call done: R0=0x00000001 (FAIL)"}, .flm = ret1.c_str()},
        {.name = "algorithm faults", .ok = 0, .flm = fault.c_str()},
    };
    // A single FAULT or lost answer anywhere: the job may survive it, but
    // whatever it reports must be true of the flash.
    for (uint32_t n : {700u, 2500u, 6000u})
        for (bool no_ack : {false, true})
            runs.push_back({.name = no_ack ? "lost answer" : "FAULT", .arm = [n, no_ack](SimRig& r) {
                                SimSwdFaults f{};
                                (no_ack ? f.no_ack_at : f.fault_at) = n;
                                sim_swd_arm_faults(&r.probe()->swd, &f);
                            },
                            .ok = -1});
    for (const FlmJob& r : runs) check(r);
}
