// ST's real flash algorithm run on the simulated STM32F405 through the probe:
// what it leaves in the whole 1 MB array is read through the board's back
// door, and injected faults (link, flash controller, algorithm) must end in
// failure, never in a hang or a reported success.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
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

const std::string kData = KORVANE_SHARED_DATA;
constexpr uint32_t kFlash = 0x08000000;

// A packs folder holding ST's .pdsc with the algorithm at its pack path;
// `flm` replaces the FLM's contents when given.
struct Packs : TempDir {
    const std::string dir = path;
    explicit Packs(const std::string& flm = kData + "/flm/STM32F4xx_1024.FLM") : TempDir("flm_run") {
        std::error_code ec;
        std::filesystem::create_directories(dir + "/CMSIS/Flash", ec);
        std::filesystem::copy_file(kData + "/pdsc/Keil.STM32F4xx_DFP.pdsc", dir + "/Keil.STM32F4xx_DFP.pdsc", ec);
        std::filesystem::copy_file(flm, dir + "/CMSIS/Flash/STM32F4xx_1024.FLM", ec);
    }
};

bool have_data() {
    struct stat st;
    return stat((kData + "/flm/STM32F4xx_1024.FLM").c_str(), &st) == 0;
}

std::vector<uint8_t> image(uint32_t len, uint32_t seed) {
    std::vector<uint8_t> v(len);
    uint32_t x = seed;
    for (auto& b : v) {
        x = x * 1103515245u + 12345u;
        b = (uint8_t)(x >> 16);
        if (b == 0xFF) b = 0x5A;  // keeps programmed bytes distinguishable from erased ones
    }
    return v;
}

// The flash lines of the log, for a failure message.
std::string flm_log() {
    std::string out;
    char line[300];
    for (int i = 0; i < log_count(&logv); ++i)
        if (log_line(&logv, i, line, sizeof line, nullptr) && (std::strstr(line, "[FLM]") || std::strstr(line, "[FLASH]")))
            out += std::string(line) + "\n";
    return out;
}

uint8_t prefill(uint32_t off) { return (uint8_t)(off * 7 + (off >> 12)); }

// Connected, halted, flash pre-filled with a pattern through the back door.
struct Job {
    SimRig rig;
    DapContext* c = nullptr;
    // A slow core keeps the algorithm's busy-wait loops cheap to simulate.
    explicit Job(SimUsbKind kind) : rig(kind, "demo_O2_dwarf4.elf", true, 2) {
        c = rig_open(kind);
        if (!c || !dap_connect(c, 1000000, false) || !dap_halt(c)) {
            c = nullptr;
            return;
        }
        rig.lock();
        SimFlashF4* f = sim_board_flash(rig.board());
        for (uint32_t i = 0; i < SIM_FLASHF4_ARRAY_SIZE; ++i) f->array[i] = prefill(i);
        rig.unlock();
    }
    SimFlashF4* flash() { return sim_board_flash(rig.board()); }
};

// Sector 0-3 16 KB, 4 64 KB, 5-11 128 KB (RM0090).
uint32_t sector_start(uint32_t off) {
    if (off < 0x10000) return off & ~0x3FFFu;
    if (off < 0x20000) return 0x10000;
    return off & ~0x1FFFFu;
}
uint32_t sector_end(uint32_t off) {
    if (off < 0x10000) return (off & ~0x3FFFu) + 0x4000;
    if (off < 0x20000) return 0x20000;
    return (off & ~0x1FFFFu) + 0x20000;
}

// Every byte of the array: the image, 0xFF padding to its page and in the
// rest of the sectors it touches, the pre-fill pattern everywhere else.
void expect_array(Job& j, uint32_t base_off, const std::vector<uint8_t>& img) {
    const uint32_t end = base_off + (uint32_t)img.size();
    const uint32_t er0 = sector_start(base_off), er1 = sector_end(end - 1);
    j.rig.lock();
    const uint8_t* a = j.flash()->array;
    int bad = 0;
    for (uint32_t i = 0; i < SIM_FLASHF4_ARRAY_SIZE && bad < 5; ++i) {
        uint8_t want = i >= base_off && i < end ? img[i - base_off] : i >= er0 && i < er1 ? 0xFF : prefill(i);
        if (a[i] != want) {
            ADD_FAILURE() << "flash offset 0x" << std::hex << i << ": 0x" << int(a[i]) << " instead of 0x" << int(want);
            ++bad;
        }
    }
    j.rig.unlock();
}

}  // namespace

class FlmRun : public ::testing::TestWithParam<SimUsbKind> {};

TEST(FlmRunV2, StAlgorithmProgramsOddPageImagesAndTouchesNothingElse) {
    if (!have_data()) GTEST_SKIP() << "shared data absent: " << kData;
    Packs packs;
    Job j(SimUsbKind::V2Bulk512);
    ASSERT_NE(j.c, nullptr);
    // 40 KB + 100 B: 41 pages, the last one padded.
    auto img = image(40 * 1024 + 100, 1);
    ASSERT_TRUE(flm_program_device(j.c, packs.dir.c_str(), "STM32F405RG", img.data(), (uint32_t)img.size(), 0)) << flm_log();
    EXPECT_TRUE(log_has("[FLM] Programming: 41 pages x 1024 B = 41060 B total  [DOUBLE-BUFFERED]"));
    EXPECT_TRUE(log_has("[FLM] verify OK"));
    EXPECT_EQ(g_flash_progress.load(), 100);
    expect_array(j, 0, img);
    // Interrupts stayed masked for every call, and the core ended at the trap.
    uint32_t dhcsr = 0;
    ASSERT_TRUE(dap_read_dhcsr(j.c, &dhcsr));
    EXPECT_EQ(dhcsr & 0xBu, 0xBu);
}

TEST_P(FlmRun, AnImageCrossingIntoSectorFourErasesOnlyTheSectorsItTouches) {
    if (!have_data()) GTEST_SKIP() << "shared data absent: " << kData;
    Packs packs;
    Job j(GetParam());
    ASSERT_NE(j.c, nullptr);
    auto img = image(9 * 1024 + 3, 2);  // 0x0800E000 .. past 0x08010000
    ASSERT_TRUE(flm_program_device(j.c, packs.dir.c_str(), "STM32F405RG", img.data(), (uint32_t)img.size(),
                                   kFlash + 0xE000))
        << flm_log();
    EXPECT_TRUE(log_has("[FLM] erased 2 sector(s)"));
    expect_array(j, 0xE000, img);
}

// Lets a test act in the middle of a job: the job sleeps between polls and
// after uploads, and each sleep first calls `hook`.
struct HookClock {
    PlatClock clock{};
    const PlatClock* inner = nullptr;
    std::function<void()> hook;
    explicit HookClock(std::function<void()> h) : inner(plat_clock_current()), hook(std::move(h)) {
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

bool run_job(Job& j, const std::vector<uint8_t>& img, const Packs& packs) {
    return flm_program_device(j.c, packs.dir.c_str(), "STM32F405RG", img.data(), (uint32_t)img.size(), 0);
}

class FlmFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!have_data()) GTEST_SKIP() << "shared data absent: " << kData;
    }
};

TEST_F(FlmFaults, AnImageOutsideTheFlashIsRefusedBeforeTheTargetIsTouched) {
    Packs packs;
    Job j(SimUsbKind::V2Bulk512);
    ASSERT_NE(j.c, nullptr);
    auto img = image(2048, 3);
    EXPECT_FALSE(flm_program_device(j.c, packs.dir.c_str(), "STM32F405RG", img.data(), 2048, kFlash + 0xFFC00));
    EXPECT_FALSE(flm_program_device(j.c, packs.dir.c_str(), "STM32F405RG", img.data(), 2048, 0x07FFFC00));
    EXPECT_EQ(log_count_of("is outside the flash"), 2);
    EXPECT_FALSE(log_has("[FLM] step: flm_load"));
}

TEST_F(FlmFaults, AProbeLostDuringAnEraseIsRecoveredOnceThenAbandonedAfter400Polls) {
    Packs packs;
    Job j(SimUsbKind::V2Bulk512);
    ASSERT_NE(j.c, nullptr);
    int sleeps = 0;
    HookClock hc([&] {
        if (g_flash_progress == 10 && ++sleeps == 5) sim_usb_unplug(j.rig.usb());
    });
    EXPECT_FALSE(run_job(j, image(3000, 4), packs));
    EXPECT_EQ(log_count_of("[FLM] SWD read fail — DP error recovery"), 1);
    EXPECT_TRUE(log_has("[FLM] ERROR: SWD lost for >2000ms (consec_fail=400)")) << flm_log();
}

TEST_F(FlmFaults, SwdThatStallsDuringAnEraseAndComesBackFinishesTheJobExactly) {
    Packs packs;
    Job j(SimUsbKind::V2Bulk512);
    ASSERT_NE(j.c, nullptr);
    int sleeps = 0;
    uint64_t armed = 0;
    HookClock hc([&] {
        if (g_flash_progress != 10) return;
        SimSwdFaults f{};
        if (++sleeps == 5) {
            f.wait_next = 0xFFFFFFFF;  // every transfer answers WAIT
            armed = plat_time_ms();
            sim_swd_arm_faults(&j.rig.probe()->swd, &f);
        } else if (armed && plat_time_ms() > armed + 150) {
            armed = 0;
            sim_swd_arm_faults(&j.rig.probe()->swd, &f);
        }
    });
    auto img = image(3000, 5);
    EXPECT_TRUE(run_job(j, img, packs)) << flm_log();
    EXPECT_EQ(log_count_of("[FLM] SWD read fail — DP error recovery"), 1);
    expect_array(j, 0, img);
}

// A single FAULT or lost answer anywhere in the job: the job may survive it,
// but whatever it reports must be true of the flash.
TEST_F(FlmFaults, ASingleSwdFaultAnywhereIsNeverAFalseSuccess) {
    Packs packs;
    for (uint32_t n : {700u, 2500u, 6000u}) {
        for (bool no_ack : {false, true}) {
            Job j(SimUsbKind::V2Bulk512);
            ASSERT_NE(j.c, nullptr);
            SimSwdFaults f{};
            (no_ack ? f.no_ack_at : f.fault_at) = n;
            sim_swd_arm_faults(&j.rig.probe()->swd, &f);
            auto img = image(3000, n);
            if (run_job(j, img, packs)) expect_array(j, 0, img);
            else EXPECT_TRUE(log_has("[FLM] ERROR")) << "at " << n << " no_ack " << no_ack;
        }
    }
}

TEST_F(FlmFaults, AProbeUnpluggedWhilePagesAreProgrammedEndsTheJob) {
    Packs packs;
    Job j(SimUsbKind::V2Bulk512);
    ASSERT_NE(j.c, nullptr);
    HookClock hc([&] {
        if (g_flash_progress >= 41 && j.rig.usb()->plugged) sim_usb_unplug(j.rig.usb());
    });
    EXPECT_FALSE(run_job(j, image(6000, 6), packs));
    EXPECT_FALSE(log_has("[FLM] verify OK"));
}

TEST_F(FlmFaults, FlashControllerFaultsFailTheJob) {
    Packs packs;
    struct Case {
        const char* name;
        SimFlashF4Faults faults;
        uint16_t nwrp;
        const char* expect;
    } const cases[] = {
        {"keys rejected", {true, false, 0, false}, 0xFFF, "[FLM] ERROR"},
        {"sector 0 write-protected", {}, 0xFFE, "[FLM] ERROR: erase failed"},
        {"program error", {false, false, SIM_FLASHF4_SR_PGPERR, false}, 0xFFF, "[FLM] ERROR: ProgramPage failed"},
        {"writes dropped", {false, false, 0, true}, 0xFFF, "[FLM] ERROR: verify mismatch at 0x08000000"},
    };
    for (const Case& c : cases) {
        Job j(SimUsbKind::V2Bulk512);
        ASSERT_NE(j.c, nullptr);
        sim_flashf4_set_faults(j.flash(), &c.faults);
        sim_flashf4_set_write_protect(j.flash(), c.nwrp);
        EXPECT_FALSE(run_job(j, image(3000, 7), packs)) << c.name;
        EXPECT_TRUE(log_has(c.expect)) << c.name << "\n" << flm_log();
    }
}

TEST_F(FlmFaults, AFlashThatStaysBusyTimesOutAndHaltsTheCore) {
    Packs packs;
    Job j(SimUsbKind::V2Bulk512);
    ASSERT_NE(j.c, nullptr);
    HookClock hc([&] {
        if (g_flash_progress == 40) {
            SimFlashF4Faults f{};
            f.busy_stuck = true;
            sim_flashf4_set_faults(j.flash(), &f);
        }
    });
    EXPECT_FALSE(run_job(j, image(3000, 8), packs));
    EXPECT_TRUE(log_has("[FLM] ERROR: timeout after 100 ms")) << flm_log();
    EXPECT_EQ(dap_get_state(j.c), DAP_STATE_HALTED);
}

#ifdef KORVANE_TEST_FLM_DIR
TEST_F(FlmFaults, BrokenAlgorithmsFailTheJob) {
    const std::string dir = KORVANE_TEST_FLM_DIR;
    struct Case {
        const char* file;
        const char* expect;
    } const cases[] = {
        {"korvane_f4_hang.FLM", "[FLM] ERROR: timeout after"},
        {"korvane_f4_ret1.FLM", "[FLM] flm_call done: R0=0x00000001 (FAIL)"},
        {"korvane_f4_fault.FLM", "[FLM] ERROR"},
    };
    for (const Case& c : cases) {
        Packs packs(dir + "/" + c.file);
        Job j(SimUsbKind::V2Bulk512);
        ASSERT_NE(j.c, nullptr);
        EXPECT_FALSE(run_job(j, image(3000, 9), packs)) << c.file;
        EXPECT_TRUE(log_has(c.expect)) << c.file << "\n" << flm_log();
        EXPECT_FALSE(log_has("[FLM] verify OK")) << c.file;
    }
}
#endif

INSTANTIATE_TEST_SUITE_P(Probes, FlmRun, ::testing::Values(SimUsbKind::V2Bulk512, SimUsbKind::V1Hid),
                         [](const auto& i) { return std::string(kind_name(i.param)); });
