// Target INIs programming the simulated STM32F405: the two example files we
// ship (algorithm binary and scripted registers) against our FLM through the
// pack, with the whole flash read through the board's back door afterwards;
// the controller's faults, a lost probe and a stop end in failure, never in a
// hang or a reported success; a blob that does not fit the INI's RAM is
// refused before the target changes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "flash/flm.h"
#include "flash/target_algo_flash.h"
#include "probe/probe.h"
#include "probe/probe_fixture.h"
#include "sim/board.h"
#include "sim/board_profile.h"
#include "sim/flash_f4.h"
#include "tests/flash/hook_clock.h"
#include "tests/test_util.h"

namespace {

constexpr uint32_t kFlash = 0x08000000, kFlashSize = 0x100000;
const std::string kTargets = KORVANE_TARGETS_DIR;

uint8_t prefill(uint32_t off) { return uint8_t(off * 13 + (off >> 11)); }

std::vector<uint8_t> image(uint32_t len) {
    std::vector<uint8_t> v(len);
    uint32_t seed = len;
    for (auto& b : v) {
        seed = seed * 1103515245u + 12345u;
        b = uint8_t(seed >> 16);
    }
    return v;
}

// Almost the whole megabyte, starting and ending at odd places inside a sector.
constexpr uint32_t kAt = 0x3FFD, kLen = kFlashSize - kAt - 0x1003;

enum Route { BLOB, SCRIPTED, FLM };
const char* const kRouteNames[] = {"blob", "scripted", "FLM"};

struct Job {
    const char* name;
    Route route;
    uint32_t at = kAt, len = kLen;
    SimFlashFaults faults = {};
    std::function<void(SimRig&)> hook = nullptr;  // before each of the job's sleeps and clock reads
    bool ok = true;
    const char* log = nullptr;
    std::function<void(TargetAlgo&)> edit = nullptr;  // on the loaded INI
    bool running = false;  // the core let run before the job
};

// The job's hook also runs at each progress step (the UI's wake-up), so a
// fault can land between two pages of a route that never sleeps.
std::function<void()> s_on_progress;
void on_progress() {
    if (s_on_progress) s_on_progress();
}

// Runs one job on a fresh board pre-filled with a pattern; returns the flash.
std::vector<uint8_t> run(const Job& j) {
    SCOPED_TRACE(std::string(kRouteNames[j.route]) + ": " + j.name);
    g_stop = false;
    g_flash_progress = 0;
    log_clear(&logv);
    std::vector<uint8_t> out;
    SimRig rig(SimUsbKind::V2Bulk512, "", true, [&](SimBoardProfile& p) { ASSERT_TRUE(sim_board_profile_for(SimFlashKind::stm32f4, &p)); });
    if (!rig.sys) return ADD_FAILURE() << rig.err, out;
    DapContext* c = rig.connect(true);
    if (!c) return ADD_FAILURE() << "no connection", out;
    rig.lock();
    SimFlashCtl* f = sim_board_flash_ctl(rig.board());
    for (uint32_t i = 0; i < f->array_size; ++i) f->array[i] = prefill(i);
    f->ops->set_faults(f->self, &j.faults);
    rig.unlock();
    if (j.running) {
        EXPECT_TRUE(dap_resume(c));
    }
    const auto img = image(j.len);
    auto algo = std::make_unique<TargetAlgo>();
    bool done;
    {
        HookClock hc([&] { if (j.hook) j.hook(rig); }, true);
        s_on_progress = [&] { if (j.hook) j.hook(rig); };
        probe_set_wake(on_progress);
        if (j.route == FLM) {
            done = flm_program_device(c, KORVANE_DEMO_PACK_DIR, "STM32F405RG", img.data(), j.len, kFlash + j.at);
        } else {
            const std::string ini = kTargets + (j.route == BLOB ? "/stm32f4_blob.ini" : "/stm32f4_scripted.ini");
            EXPECT_TRUE(target_algo_load(ini.c_str(), algo.get()));
            if (j.edit) j.edit(*algo);
            done = target_algo_program(c, algo.get(), img.data(), j.len, kFlash + j.at);
        }
    }
    probe_set_wake(nullptr);
    s_on_progress = nullptr;
    target_algo_free(algo.get());
    EXPECT_EQ(done, j.ok);
    EXPECT_TRUE(!j.log || log_has(j.log)) << j.log;
    if (!done) {
        EXPECT_FALSE(log_has("[ALGO] Verify OK"));
    }
    rig.lock();
    out.assign(f->array, f->array + f->array_size);
    rig.unlock();
    if (done) {
        int bad = 0;
        for (uint32_t i = 0; i < out.size() && bad < 5; ++i) {
            const uint8_t want = i >= j.at && i < j.at + j.len ? img[i - j.at] : prefill(i);
            if (out[i] != want && ++bad)
                ADD_FAILURE() << "flash offset 0x" << std::hex << i << ": 0x" << int(out[i]) << " instead of 0x" << int(want);
        }
    }
    return out;
}

TEST(TargetAlgoFlash, BothExampleInisProgramTheSameBytesAsTheFlmRoute) {
    const std::vector<uint8_t> flm = run({.name = "1 MB with odd ends", .route = FLM});
    for (Route r : {BLOB, SCRIPTED}) {
        const std::vector<uint8_t> got = run({.name = "1 MB with odd ends", .route = r, .log = "[ALGO] Kept "});
        EXPECT_TRUE(got == flm) << kRouteNames[r] << " differs from the FLM route";
    }
}

TEST(TargetAlgoFlash, FaultsEndTheJobWithTheirReason) {
    const uint32_t pgperr = SIM_FLASHF4_SR_PGPERR;
    const std::vector<Job> jobs = {
        {.name = "keys refused", .route = BLOB, .len = 5000, .faults = {true, false, 0, false}, .ok = false, .log = "[ALGO] algo_call: 0x"},
        {.name = "keys refused", .route = SCRIPTED, .len = 5000, .faults = {true, false, 0, false}, .ok = false,
         .log = "[ALGO] mem_poll timeout: addr=0x40023C10"},
        {.name = "program error", .route = BLOB, .len = 5000, .faults = {false, false, pgperr, false}, .ok = false,
         .log = "[ALGO] ProgramPage failed at 0x"},
        {.name = "program error", .route = SCRIPTED, .len = 5000, .faults = {false, false, pgperr, false}, .ok = false,
         .log = "[ALGO] Program failed at 0x"},
        {.name = "writes dropped", .route = SCRIPTED, .len = 5000, .faults = {false, false, 0, true}, .ok = false,
         .log = "[ALGO] Verify FAIL at 0x"},
        {.name = "controller stays busy", .route = BLOB, .len = 5000, .faults = {false, true, 0, false}, .ok = false,
         .log = "[FLM] ERROR: timeout after"},
        {.name = "controller stays busy", .route = SCRIPTED, .len = 5000, .faults = {false, true, 0, false}, .ok = false,
         .log = "[ALGO] Erase failed at sector 0"},
        {.name = "probe unplugged mid-page", .route = BLOB, .len = 64 * 1024, .hook = [](SimRig& rig) {
             if (g_flash_progress >= 50 && rig.usb()->plugged) sim_usb_unplug(rig.usb());
         }, .ok = false},
        {.name = "probe unplugged mid-page", .route = SCRIPTED, .len = 64 * 1024, .hook = [](SimRig& rig) {
             if (g_flash_progress >= 50 && rig.usb()->plugged) sim_usb_unplug(rig.usb());
         }, .ok = false, .log = "[ALGO] Program failed at 0x"},
        {.name = "stopped while programming", .route = SCRIPTED, .len = 64 * 1024,
         .hook = [](SimRig&) { if (g_flash_progress >= 50) g_stop = true; }, .ok = false,
         .log = "[ALGO] Flash job stopped: the program is closing"},
        {.name = "stopped", .route = BLOB, .len = 64 * 1024, .hook = [](SimRig&) { if (g_flash_progress >= 10) g_stop = true; },
         .ok = false, .log = "[FLM] ERROR: stopped while the algorithm ran"},
        {.name = "core running", .route = BLOB, .len = 5000, .log = "[ALGO] Halting the core for programming", .running = true},
        {.name = "core running", .route = SCRIPTED, .len = 5000, .log = "[ALGO] Halting the core for programming", .running = true},
        {.name = "image past the flash", .route = SCRIPTED, .at = kFlashSize - 16, .len = 32, .ok = false,
         .log = "[ALGO] Image 0x080FFFF0..0x0810000F lies outside the flash"},
    };
    for (const Job& j : jobs) {
        const std::vector<uint8_t> flash = run(j);
        if (!j.faults.reject_keys) continue;
        for (uint32_t i = 0; i < flash.size(); i += 997) ASSERT_EQ(flash[i], prefill(i)) << "changed without keys";
    }
    g_stop = false;
}

// Blob, return trap, page buffer and stack each inside the INI's RAM and
// apart; a bad layout is refused with the flash untouched.
TEST(TargetAlgoFlash, ABlobThatDoesNotFitItsRamIsRefusedBeforeAnythingIsWritten) {
    const struct { const char* name; std::function<void(TargetAlgo&)> edit; const char* log; } cases[] = {
        {"no RAM given", [](TargetAlgo& a) { a.device.ram_size = 0; }, "gives no RAM"},
        {"BIN past the RAM", [](TargetAlgo& a) { a.flash.load_addr = 0x2001FF00; }, "the BIN (0x2001FF00"},
        {"trap inside the BIN", [](TargetAlgo& a) { a.flash.static_base = 0x20000100; }, "overlaps the return trap"},
        {"page buffer over the BIN", [](TargetAlgo& a) { a.flash.static_base = 0x1FFFFF00; a.device.ram_base = 0x1FFFF000; a.device.ram_size = 0x21000; },
         "overlaps the page buffer"},
        {"stack over the page buffer", [](TargetAlgo& a) { a.flash.stack_top = 0x20002200; }, "overlaps the stack"},
        {"stack below the RAM", [](TargetAlgo& a) { a.flash.stack_top = 0x20000080; a.device.ram_base = 0x20000000; }, "the stack ("},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        const std::vector<uint8_t> flash = run({.name = k.name, .route = BLOB, .len = 3000, .ok = false, .log = k.log, .edit = k.edit});
        for (uint32_t i = 0; i < flash.size(); i += 101) ASSERT_EQ(flash[i], prefill(i)) << "the target changed";
    }
}

}  // namespace
