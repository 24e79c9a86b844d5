// ST's real flash algorithm on the simulated STM32F405: the whole 1 MB array is read back through
// the board's back door; injected faults must end in failure, never a hang or a reported success.

#include "flash/flm.h"
#include "tests/flash/hook_clock.h"
#include "probe/probe.h"
#include "probe/probe_fixture.h"
#include "sim/board.h"
#include "sim/flash_f4.h"
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

struct Sleeps { int n = 0; uint64_t armed = 0; };  // what a hook keeps across the clock looks of one job

// One job on a connected, halted board whose flash holds the pre-fill pattern.
struct FlmJob {
    const char* name;
    uint32_t at = kFlash, len = 3000;
    SimFlashF4Faults ctl = {};  // flash controller faults, from the start
    uint16_t nwrp = 0xFFF;
    SimSwdFaults swd = {};
    std::function<void(SimRig&, Sleeps&)> hook = nullptr;  // on each of the job's sleeps
    int ok = 1;                                            // 1 done, 0 failed, -1 either
    std::vector<const char*> logs = {};                    // lines the log must hold
    const char *once = nullptr, *never = nullptr;          // a line logged exactly once, one never logged
    const char* flm = nullptr;                             // one of ours in the place of ST's algorithm
    SimUsbKind kind = SimUsbKind::V2Bulk512;
};

void check(const FlmJob& r) {
    SCOPED_TRACE(r.name);
    TempDir packs("flm_run");
    std::filesystem::create_directories(packs / "CMSIS/Flash");
    std::filesystem::copy_file(kData + "/pdsc/Keil.STM32F4xx_DFP.pdsc", packs / "Keil.STM32F4xx_DFP.pdsc");
    std::filesystem::copy_file(r.flm ? std::string(KORVANE_TEST_FLM_DIR "/") + r.flm : kStFlm, packs / "CMSIS/Flash/STM32F4xx_1024.FLM");
    // A slow core keeps the algorithm's busy-wait loops cheap to simulate.
    SimRig rig(r.kind, "demo_O2_dwarf4.elf", true, 2);
    DapContext* c = rig_open(r.kind);
    ASSERT_TRUE(c && dap_connect(c, 1000000, false) && dap_halt(c));
    rig.lock();
    SimFlashF4* flash = sim_board_flash(rig.board());
    for (uint32_t i = 0; i < SIM_FLASHF4_ARRAY_SIZE; ++i) flash->array[i] = prefill(i);
    sim_flashf4_set_faults(flash, &r.ctl);
    sim_flashf4_set_write_protect(flash, r.nwrp);
    sim_swd_arm_faults(&rig.probe()->swd, &r.swd);
    rig.unlock();
    Sleeps sleeps;
    HookClock hc([&] { if (r.hook) r.hook(rig, sleeps); }, true);
    const auto img = image(r.len, r.at + r.len);
    const bool done = flm_program_device(c, packs.path.c_str(), "STM32F405RG", img.data(), r.len, r.at);
    EXPECT_TRUE(r.ok < 0 || done == (r.ok == 1)) << done;
    for (const char* l : r.logs) EXPECT_TRUE(log_has(l)) << l;
    EXPECT_TRUE(!r.once || log_count_of(r.once) == 1) << r.once;
    EXPECT_TRUE(!r.never || !log_has(r.never)) << r.never;
    EXPECT_NE(log_has("[FLM] ERROR"), done);
    if (!done) {
        EXPECT_FALSE(log_has("[FLM] verify OK"));
        // The core is left halted, unless the probe is gone.
        EXPECT_TRUE(dap_get_state(c) == DAP_STATE_HALTED || !rig.usb()->plugged) << dap_get_state(c);
        return;
    }
    EXPECT_EQ(g_flash_progress.load(), 100);
    uint32_t dhcsr = 0;  // interrupts stayed masked, and the core ended halted at the trap
    EXPECT_TRUE(dap_read_dhcsr(c, &dhcsr) && (dhcsr & 0xBu) == 0xBu) << std::hex << dhcsr;
    // Every byte: the image, and the pre-fill elsewhere, in the sectors it touched too.
    const uint32_t off = r.at - kFlash, end = off + r.len;
    rig.lock();
    int bad = 0;
    for (uint32_t i = 0; i < SIM_FLASHF4_ARRAY_SIZE && bad < 5; ++i) {
        const uint8_t want = i >= off && i < end ? img[i - off] : prefill(i);
        if (flash->array[i] != want && ++bad)
            ADD_FAILURE() << "flash offset 0x" << std::hex << i << ": 0x" << int(flash->array[i]) << " instead of 0x" << int(want);
    }
    rig.unlock();
}

}  // namespace

TEST(FlmRun, JobsEndInTheFlashTheyReport) {
    if (!std::filesystem::exists(kStFlm)) GTEST_SKIP() << "shared data absent: " << kData;
    const char* recovery = "[FLM] SWD read fail — DP error recovery";
    std::vector<FlmJob> runs = {
        {.name = "40 KB + 100 B: sector 2's other bytes kept, so 48 pages", .len = 40 * 1024 + 100,
         .logs = {"[FLM] Kept 8092 B of partly covered sectors as they were",
                  "[FLM] Programming: 48 pages x 1024 B = 49152 B total  [DOUBLE-BUFFERED]", "[FLM] verify OK"}},
        // Starts on sector 3's first byte: sector 2 before it keeps its contents. Over HID.
        {.name = "sector 3 into sector 4", .at = kFlash + 0xC000, .len = 0x4000 + 3, .logs = {"[FLM] erased 2 sector(s)"},
         .kind = SimUsbKind::V1Hid},
        {.name = "past the flash end", .at = kFlash + 0xFFC00, .len = 2048, .ok = 0, .logs = {"is outside the flash"},
         .never = "[FLM] step: flm_load"},
        {.name = "probe lost during the erase: recovered once, then given up",
         .hook = [](SimRig& rig, Sleeps& s) { if (g_flash_progress == 10 && ++s.n == 5) sim_usb_unplug(rig.usb()); },
         .ok = 0, .logs = {"[FLM] ERROR: SWD lost for >2000ms (consec_fail=400)"}, .once = recovery},
        {.name = "every SWD transfer answers WAIT for 150 ms of the erase",
         .hook = [](SimRig& rig, Sleeps& s) {
             SimSwdFaults f{};
             if (g_flash_progress != 10) return;
             const uint64_t now_ms = sim_board_now_ns(rig.board()) / 1000000;  // not the hooked clock
             if (++s.n == 5) f.wait_next = 0xFFFFFFFF, s.armed = now_ms;
             else if (!s.armed || now_ms <= s.armed + 150) return;
             else s.armed = 0;
             sim_swd_arm_faults(&rig.probe()->swd, &f);
         },
         .once = recovery},
        {.name = "unplugged while pages are programmed", .len = 6000, .hook = [](SimRig& rig, Sleeps&) {
             if (g_flash_progress >= 41 && rig.usb()->plugged) sim_usb_unplug(rig.usb());
         }, .ok = 0},
        {.name = "keys rejected", .ctl = {true, false, 0, false}, .ok = 0},
        {.name = "sector 0 write-protected", .nwrp = 0xFFE, .ok = 0, .logs = {"[FLM] ERROR: erase failed"}},
        {.name = "program error", .ctl = {false, false, SIM_FLASHF4_SR_PGPERR, false}, .ok = 0,
         .logs = {"[FLM] ERROR: ProgramPage failed"}},
        {.name = "writes dropped", .ctl = {false, false, 0, true}, .ok = 0, .logs = {"[FLM] ERROR: verify mismatch at 0x08000000"}},
        {.name = "flash stays busy", .hook = [](SimRig& rig, Sleeps&) {
             const SimFlashF4Faults f{false, true, 0, false};
             if (g_flash_progress == 40) sim_flashf4_set_faults(sim_board_flash(rig.board()), &f);
         }, .ok = 0, .logs = {"[FLM] ERROR: timeout after 100 ms"}},
        {.name = "algorithm hangs", .ok = 0, .logs = {"[FLM] ERROR: timeout after"}, .flm = "korvane_f4_hang.FLM"},
        {.name = "algorithm returns 1", .ok = 0, .logs = {"[FLM] flm_call done: R0=0x00000001 (FAIL)"}, .flm = "korvane_f4_ret1.FLM"},
        {.name = "algorithm faults", .ok = 0, .flm = "korvane_f4_fault.FLM"},
    };
    // A single FAULT or lost answer anywhere: the job may survive it, but
    // whatever it reports must be true of the flash.
    for (uint32_t n : {700u, 2500u, 6000u}) {
        runs.push_back({.name = "FAULT", .swd = {0, n, 0, 0}, .ok = -1});
        runs.push_back({.name = "lost answer", .swd = {0, 0, n, 0}, .ok = -1});
    }
    for (const FlmJob& r : runs) check(r);
}
