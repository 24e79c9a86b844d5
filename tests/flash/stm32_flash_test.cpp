// The native STM32 route on each generation's simulated board, identified as
// a debugger finds it: after every job the whole flash is read through the
// board's back door, where everything outside the image must keep what it
// held before (partly covered sectors included); faults end in failure with
// their reason, never in a hang or a reported success.
#include <gtest/gtest.h>

#include <functional>

#include "flash/stm32_flash.h"
#include "probe/probe.h"
#include "probe/probe_fixture.h"
#include "sim/board.h"
#include "sim/board_profile.h"
#include "sim/flash_f0.h"
#include "sim/flash_f4.h"
#include "sim/flash_g0l4.h"
#include "sim/flash_l0.h"
#include "target/mcu_id.h"

namespace {

constexpr uint32_t kFlash = 0x08000000;

uint8_t prefill(uint32_t off) { return uint8_t(off * 7 + (off >> 12)); }

std::vector<uint8_t> image(uint32_t len, uint32_t seed) {
    std::vector<uint8_t> v(len);
    for (auto& b : v) {
        seed = seed * 1103515245u + 12345u;
        b = uint8_t(seed >> 16);
    }
    return v;
}

// A generation's board: where its second bank starts (0: one bank) and a
// status bit its controller raises for a refused program.
struct Board {
    const char* name;
    SimFlashKind kind;
    uint32_t bank2;
    uint32_t program_error;
};

// One job on a connected board whose flash holds the pre-fill pattern.
struct Job {
    const char* name;
    uint32_t at = 0, len = 40 * 1024 + 101;  // at: offset from the flash start
    SimFlashFaults faults = {};
    std::function<void(SimRig&)> before = nullptr;  // on the board, before the job
    std::function<void(SimRig&)> hook = nullptr;    // before each of the job's sleeps
    bool ok = true;
    const char* log = nullptr;  // a line the log must hold
};

struct HookClock {
    PlatClock clock{};
    const PlatClock* inner = plat_clock_current();
    std::function<void()> hook;
    explicit HookClock(std::function<void()> h) : hook(std::move(h)) {
        clock.now_ms = [](void* c) { return ((HookClock*)c)->inner->now_ms(((HookClock*)c)->inner->ctx); };
        clock.sleep_ms = [](void* c, uint32_t ms) {
            if (((HookClock*)c)->hook) ((HookClock*)c)->hook();
            ((HookClock*)c)->inner->sleep_ms(((HookClock*)c)->inner->ctx, ms);
        };
        clock.ctx = this, clock.is_virtual = true;
        plat_clock_install(&clock);
    }
    ~HookClock() { plat_clock_install(inner); }
};

void check(const Board& b, const Job& r) {
    SCOPED_TRACE(std::string(b.name) + ": " + r.name);
    SimRig rig(SimUsbKind::V2Bulk512, "", true, [&](SimBoardProfile& p) { ASSERT_TRUE(sim_board_profile_for(b.kind, &p)); });
    ASSERT_NE(rig.sys, nullptr) << rig.err;
    DapContext* c = rig.connect(true);
    ASSERT_NE(c, nullptr);
    McuInfo info;
    ASSERT_TRUE(mcu_id_read(c, nullptr, &info) && info.valid);
    rig.lock();
    SimFlashCtl* f = sim_board_flash_ctl(rig.board());
    const uint32_t size = f->array_size;
    for (uint32_t i = 0; i < size; ++i) f->array[i] = prefill(i);
    f->ops->set_faults(f->self, &r.faults);
    if (r.before) r.before(rig);
    rig.unlock();
    HookClock hc([&] { if (r.hook) r.hook(rig); });
    const auto img = image(r.len, r.at + r.len);
    const bool done = stm32_flash_program(c, &info.mcu, img.data(), r.len, kFlash + r.at);
    EXPECT_EQ(done, r.ok);
    EXPECT_TRUE(!r.log || log_has(r.log)) << r.log;
    if (!done) {
        EXPECT_FALSE(log_has("[STM32 FLASH] Verify OK"));
        return;
    }
    rig.lock();
    int bad = 0;
    for (uint32_t i = 0; i < size && bad < 5; ++i) {
        const uint8_t want = i >= r.at && i < r.at + r.len ? img[i - r.at] : prefill(i);
        if (f->array[i] != want && ++bad)
            ADD_FAILURE() << "flash offset 0x" << std::hex << i << ": 0x" << int(f->array[i]) << " instead of 0x" << int(want);
    }
    rig.unlock();
}

const Board kBoards[] = {
    {"F4", SimFlashKind::stm32f4, 0, SIM_FLASHF4_SR_PGPERR},
    {"F0", SimFlashKind::stm32f0, 0, SIM_FLASHF0_SR_PGERR},
    {"G0", SimFlashKind::stm32g0, 0, SIM_FLASHG0_SR_PROGERR},
    {"G4", SimFlashKind::stm32g4, 0x40000, SIM_FLASHG0_SR_PROGERR},
    {"L4", SimFlashKind::stm32l4, 0x80000, SIM_FLASHG0_SR_PROGERR},
    {"L0", SimFlashKind::stm32l0, 0, SIM_FLASHL0_SR_SIZERR},
    {"U5", SimFlashKind::stm32u5, 0x100000, SIM_FLASHG0_SR_PROGERR},
};

class Native : public ::testing::TestWithParam<Board> {};

TEST_P(Native, JobsLeaveTheFlashAsTheyReport) {
    const Board& b = GetParam();
    std::vector<Job> jobs = {
        {.name = "odd tail at the flash start", .log = "[STM32 FLASH] Kept "},
        {.name = "inside a sector, at an odd offset", .at = 0x4011, .len = 5003},
        {.name = "keys refused", .faults = {true, false, 0, false}, .ok = false, .log = "[STM32 FLASH] Flash unlock sikertelen"},
        {.name = "program error", .faults = {false, false, b.program_error, false}, .ok = false,
         .log = "[STM32 FLASH] Write FAIL"},
        {.name = "writes dropped", .faults = {false, false, 0, true}, .ok = false, .log = "[STM32 FLASH] Verify SIKERTELEN"},
        {.name = "controller stays busy", .faults = {false, true, 0, false}, .ok = false,
         .log = "[STM32 FLASH] Timeout after"},
        {.name = "probe unplugged during the job", .hook = [](SimRig& rig) {
             if (g_flash_progress >= 20 && rig.usb()->plugged) sim_usb_unplug(rig.usb());
         }, .ok = false},
    };
    if (b.bank2) {
        jobs.push_back({.name = "across the bank boundary", .at = b.bank2 - 3000, .len = 6001});
        jobs.push_back({.name = "wholly in bank 2", .at = b.bank2 + 0x123, .len = 3001});
    }
    for (const Job& j : jobs) {
        g_flash_progress = 0;
        check(b, j);
    }
}

INSTANTIATE_TEST_SUITE_P(Boards, Native, ::testing::ValuesIn(kBoards),
                         [](const ::testing::TestParamInfo<Board>& i) { return std::string(i.param.name); });

// What only the F405's model offers: write protection by sector.
TEST(NativeF4, AWriteProtectedSectorIsNamed) {
    check({"F4", SimFlashKind::stm32f4, 0, 0},
          {.name = "sector 1 write-protected", .before = [](SimRig& rig) {
               sim_flashf4_set_write_protect(sim_board_flash(rig.board()), 0xFFD);
           }, .ok = false, .log = "the sector is write-protected"});
}

}  // namespace
