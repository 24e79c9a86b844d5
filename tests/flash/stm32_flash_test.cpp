// The native STM32 route on each generation's simulated board, identified as
// a debugger finds it: after every job the whole flash is read through the
// board's back door, where everything outside the image must keep what it
// held before (partly covered sectors included); faults end in failure with
// their reason, never in a hang or a reported success.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <tuple>

#include "flash/flm.h"
#include "tests/test_util.h"

#include "flash/stm32_flash.h"
#include "tests/flash/hook_clock.h"
#include "probe/probe.h"
#include "probe/probe_fixture.h"
#include "sim/board.h"
#include "sim/board_profile.h"
#include "sim/flash_f0.h"
#include "sim/flash_f4.h"
#include "sim/flash_g0l4.h"
#include "sim/flash_h7.h"
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

// A generation's board: where its second bank starts (0: one bank), a
// status bit its controller raises for a refused program, and ST's pack and
// algorithm for it (the pack's device, and where the pack expects the file).
struct Board {
    const char* name;
    SimFlashKind kind;
    uint32_t bank2;
    uint32_t program_error;
    const char* pack = nullptr;  // null: a pack of one device written here
    const char* device = nullptr;
    const char* flm = nullptr, *flm_in_pack = nullptr;
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

void check(const Board& b, const Job& r) {
    SCOPED_TRACE(std::string(b.name) + ": " + r.name);
    g_stop = false;  // as on a running probe thread (an earlier test's may have stopped)
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
    HookClock hc([&] { if (r.hook) r.hook(rig); }, true);
    const auto img = image(r.len, r.at + r.len);
    const bool done = stm32_flash_program(c, &info.mcu, img.data(), r.len, kFlash + r.at);
    EXPECT_EQ(done, r.ok);
    EXPECT_TRUE(!r.log || log_has(r.log)) << r.log;
    if (!done) {
        EXPECT_FALSE(log_has("[STM32 FLASH] Verify OK"));
        g_stop = false;
        // Where the probe still answers, the controller was locked again.
        const StmFlashCtrl* t = stm32_flash_ctrl_for_algo(stm32_flash_algo_of(&info.mcu), info.mcu.device_id);
        uint32_t cr = 0;
        if (rig.usb()->plugged && t) {
            EXPECT_TRUE(dap_read_mem32(c, t->flash_base + t->off_cr, &cr) && (cr & t->cr_lock)) << std::hex << cr;
        }
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
    {"F4", SimFlashKind::stm32f4, 0, SIM_FLASHF4_SR_PGPERR, "Keil.STM32F4xx_DFP.pdsc", "STM32F405RG", "STM32F4xx_1024.FLM",
     "CMSIS/Flash/STM32F4xx_1024.FLM"},
    {"F0", SimFlashKind::stm32f0, 0, SIM_FLASHF0_SR_PGERR, "Keil.STM32F0xx_DFP.pdsc", "STM32F051R8", "STM32F0xx_64.FLM",
     "CMSIS/Flash/STM32F0xx_64.FLM"},
    {"G0", SimFlashKind::stm32g0, 0, SIM_FLASHG0_SR_PROGERR, "Keil.STM32G0xx_DFP.pdsc", "STM32G071R8Tx",
     "STM32G0xx_64.FLM", "CMSIS/Flash/STM32G0xx_64.FLM"},
    // The pack names the G47x algorithm after its group; the data keeps it as STM32G4xx_512.
    {"G4", SimFlashKind::stm32g4, 0x40000, SIM_FLASHG0_SR_PROGERR, "Keil.STM32G4xx_DFP.pdsc", "STM32G474RETx",
     "STM32G4xx_512.FLM", "CMSIS/Flash/STM32G47x-8x_512.FLM"},
    {"L4", SimFlashKind::stm32l4, 0x80000, SIM_FLASHG0_SR_PROGERR, "Keil.STM32L4xx_DFP.pdsc", "STM32L476RGTx",
     "STM32L4xx_1024.FLM", "CMSIS/Flash/STM32L4xx_1024.FLM"},
    {"L0", SimFlashKind::stm32l0, 0, SIM_FLASHL0_SR_SIZERR, "Keil.STM32L0xx_DFP.pdsc", "STM32L053R8Tx",
     "STM32L0xx_64.FLM", "CMSIS/Flash/STM32L0xx_64.FLM"},
    // ST's 2 MB algorithm is not in the data: its 1 MB one stands in under the pack's name (the image is in bank 1).
    {"F4_2M", SimFlashKind::stm32f4_2m, 0x100000, SIM_FLASHF4_SR_PGPERR, "Keil.STM32F4xx_DFP.pdsc", "STM32F429ZI",
     "STM32F4xx_1024.FLM", "CMSIS/Flash/STM32F4xx_2048.FLM"},
    {"H7", SimFlashKind::stm32h7, 0x100000, SIM_FLASHH7_SR_PGSERR, "Keil.STM32H7xx_DFP.pdsc", "STM32H743ZITx",
     "STM32H7x_2048.FLM", "CMSIS/Flash/STM32H7x_2048.FLM"},
    {"U5", SimFlashKind::stm32u5, 0x100000, SIM_FLASHG0_SR_PROGERR, nullptr, "STM32U575ZITx", "STM32U5xx_2M_0800.FLM",
     "CMSIS/Flash/STM32U5xx_2M_0800.FLM"},
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
        {.name = "probe unplugged during the erase", .hook = [](SimRig& rig) {
             if (g_flash_progress >= 20 && rig.usb()->plugged) sim_usb_unplug(rig.usb());
         }, .ok = false},
        {.name = "probe unplugged while the image streams", .hook = [](SimRig& rig) {
             if (g_flash_progress >= 50 && rig.usb()->plugged) sim_usb_unplug(rig.usb());
         }, .ok = false, .log = "[STM32 FLASH] The probe no longer answers"},
        // Pause or shutdown: the job ends and the controller is locked again.
        {.name = "stopped", .hook = [](SimRig&) { if (g_flash_progress >= 10) g_stop = true; }, .ok = false,
         .log = "[STM32 FLASH] Stop"},
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

// ST's own algorithm for the family through the pack route, on the same
// board: the image exact, nothing past the sectors it touched changed.
TEST_P(Native, StsAlgorithmProgramsTheBoardThroughThePack) {
    const Board& b = GetParam();
    const std::string data = KORVANE_SHARED_DATA;
    if (!std::filesystem::exists(data + "/flm/" + b.flm)) GTEST_SKIP() << "shared data absent: " << data;
    TempDir packs("native_pack");
    std::filesystem::create_directories(std::filesystem::path(packs / b.flm_in_pack).parent_path());
    std::filesystem::copy_file(data + "/flm/" + b.flm, packs / b.flm_in_pack);
    if (b.pack) {
        std::filesystem::copy_file(data + "/pdsc/" + b.pack, packs / b.pack);
    } else {  // no pack of this family in the data: its one device, as ST's packs describe theirs
        std::ofstream(packs / "one.pdsc")
            << "<?xml version=\"1.0\"?><package><devices><family Dfamily=\"STM32U5\" Dvendor=\"STMicroelectronics:13\">"
            << "<processor Dcore=\"Cortex-M33\"/><device Dname=\"" << b.device << "\">"
            << "<memory name=\"Flash\" access=\"rx\" start=\"0x08000000\" size=\"0x200000\" default=\"1\" startup=\"1\"/>"
            << "<memory name=\"SRAM\" access=\"rwx\" start=\"0x20000000\" size=\"0xC0000\" default=\"1\"/>"
            << "<algorithm name=\"" << b.flm_in_pack << "\" start=\"0x08000000\" size=\"0x200000\" default=\"1\"/>"
            << "</device></family></devices></package>\n";
    }
    SimRig rig(SimUsbKind::V2Bulk512, "", true, [&](SimBoardProfile& p) { ASSERT_TRUE(sim_board_profile_for(b.kind, &p)); });
    ASSERT_NE(rig.sys, nullptr) << rig.err;
    DapContext* c = rig.connect(true);
    ASSERT_NE(c, nullptr);
    rig.lock();
    SimFlashCtl* f = sim_board_flash_ctl(rig.board());
    for (uint32_t i = 0; i < f->array_size; ++i) f->array[i] = prefill(i);
    rig.unlock();
    const uint32_t len = 40 * 1024 + 101;
    const auto img = image(len, 7);
    ASSERT_TRUE(flm_program_device(c, packs.path.c_str(), b.device, img.data(), len, kFlash));
    rig.lock();
    EXPECT_TRUE(std::equal(img.begin(), img.end(), f->array)) << "the image as written";
    int bad = 0;
    for (uint32_t i = 128 * 1024; i < f->array_size && bad < 5; ++i)
        if (f->array[i] != prefill(i) && ++bad) ADD_FAILURE() << "changed past the touched sectors at 0x" << std::hex << i;
    rig.unlock();
}

INSTANTIATE_TEST_SUITE_P(Boards, Native, ::testing::ValuesIn(kBoards),
                         [](const ::testing::TestParamInfo<Board>& i) { return std::string(i.param.name); });

// Protection as each model offers it: the job fails before anything is
// erased and says why.
TEST(NativeProtection, WriteAndReadProtectionAreNamed) {
    auto self = [](SimRig& rig) { return sim_board_flash_ctl(rig.board())->self; };
    const char* wrp = "the sector is write-protected";
    const char* rdp = "[STM32 FLASH] Read-out protection level 1 is set";
    const struct { SimFlashKind kind; const char* why; std::function<void(SimRig&)> set; const char* log; } cases[] = {
        {SimFlashKind::stm32f4, "F4 sector 1", [&](SimRig& r) { sim_flashf4_set_write_protect((SimFlashF4*)self(r), 0xFFD); }, wrp},
        {SimFlashKind::stm32f0, "F0 pages 0-3", [&](SimRig& r) { sim_flashf0_set_write_protect((SimFlashF0*)self(r), 0xFFFE); }, wrp},
        {SimFlashKind::stm32f0, "F0 RDP 1", [&](SimRig& r) { sim_flashf0_set_read_protect((SimFlashF0*)self(r), true); },
         "[STM32 FLASH] Read-out protection is set"},
        {SimFlashKind::stm32g0, "G0 pages 0-1", [&](SimRig& r) { sim_flashg0_set_write_protect((SimFlashG0*)self(r), 0, 0, 1); }, wrp},
        {SimFlashKind::stm32g0, "G0 RDP 1", [&](SimRig& r) { sim_flashg0_set_rdp((SimFlashG0*)self(r), 0xBB); }, rdp},
        {SimFlashKind::stm32l0, "L0 sector 0", [&](SimRig& r) { sim_flashl0_set_write_protect((SimFlashL0*)self(r), 1); }, wrp},
        {SimFlashKind::stm32l0, "L0 RDP 1", [&](SimRig& r) { sim_flashl0_set_read_protect((SimFlashL0*)self(r), true); }, rdp},
        {SimFlashKind::stm32h7, "H7 sector 0", [&](SimRig& r) { sim_flashh7_set_write_protect((SimFlashH7*)self(r), 0, 0xFE); }, wrp},
        {SimFlashKind::stm32h7, "H7 RDP 1", [&](SimRig& r) { sim_flashh7_set_rdp((SimFlashH7*)self(r), 0xBB); }, rdp},
    };
    for (const auto& c : cases)
        check({.name = c.why, .kind = c.kind, .bank2 = 0, .program_error = 0},
              {.name = "protected", .before = c.set, .ok = false, .log = c.log});
}

// The controller tables and the F2/F4/F7 sector map at their corners.
TEST(NativeTables, ControllersAndSectors) {
    const struct { StmFlashAlgo algo; uint32_t id; uint32_t base, bker; uint8_t trim; } ctrls[] = {
        {FLASH_ALGO_C0_L4_GX_WX, 0x495, 0x58004000, 0x2000, 8}, // WB55: its own base
        {FLASH_ALGO_C0_L4_GX_WX, 0x460, 0x40022000, 0x2000, 8}, // G0: BKER bit 13
        {FLASH_ALGO_C0_L4_GX_WX, 0x415, 0x40022000, 0x800, 8},  // L4: bit 11
        {FLASH_ALGO_L1_L0, 0x417, 0x40022000, 0, 0},             // L0 category 3
        {FLASH_ALGO_L1_L0, 0x436, 0x40023C00, 0, 0},             // L1
        {FLASH_ALGO_L5_U5, 0x482, 0x40022000, 0x800, 16},        // U5: quad words
        {FLASH_ALGO_U0, 0x459, 0x40022000, 0, 8},
    };
    for (const auto& c : ctrls) {
        const StmFlashCtrl* t = stm32_flash_ctrl_for_algo(c.algo, c.id);
        ASSERT_NE(t, nullptr) << c.id;
        EXPECT_EQ(std::make_tuple(t->flash_base, t->cr_bker, t->trim_bytes), std::make_tuple(c.base, c.bker, c.trim)) << std::hex << c.id;
    }
    const struct { uint32_t addr, bank2; int index; uint32_t start, size; } secs[] = {
        {0x08010000, 0, 4, 0x08010000, 0x10000},           {0x0800FFFF, 0, 3, 0x0800C000, 0x4000},
        {0x080FFFFF, 0, 11, 0x080E0000, 0x20000},          {0x08100000, 0, -1, 0, 0},
        {0x08100000, 0x100000, 12, 0x08100000, 0x4000},    {0x081E0000, 0x100000, 23, 0x081E0000, 0x20000},
        {0x08080000, 0x80000, 12, 0x08080000, 0x4000},     {0x080FFFFF, 0x80000, 19, 0x080E0000, 0x20000},
        {0x07FFFFFF, 0, -1, 0, 0},
    };
    for (const auto& c : secs) {
        uint32_t start = 0, size = 0;
        EXPECT_EQ(stm32_sector_map_f4_f7(kFlash, c.addr, c.bank2, &start, &size), c.index) << std::hex << c.addr;
        if (c.index >= 0) {
            EXPECT_EQ(std::make_pair(start, size), std::make_pair(c.start, c.size)) << std::hex << c.addr;
        }
    }
}

}  // namespace
