// Chip identification on the simulated board wearing other chips' ids, each
// against its reference manual's values; the F405's record against ST's own
// pack and SVD; every variant of the device tables reachable.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "probe/probe.h"
#include "probe/probe_fixture.h"
#include "target/mcu_id.h"
#include "target/pdsc_db.h"
#include "tests/test_util.h"
#include "tests/symbols/oracle.h"

namespace {

std::string summary(const McuInfo& info, int len = 256) {
    char buf[256] = "untouched";
    mcu_id_summary(&info, buf, len);
    return buf;
}

// A chip: CPUID and DBGMCU_IDCODE (0: the simulated F405's own), its ROM
// table, NXP's DEVID word at 0x40000FF8, and what identification says.
struct Chip {
    const char* name;
    SimUsbKind kind = SimUsbKind::V2Bulk512;
    uint32_t cpuid = 0, idcode = 0;
    SimRomIds rom = SimRomIds::stm32f4;
    uint32_t devid = 0, size_reg = 0;  // the flash size word's address
    const char* summary;
    // Another generation's whole board (its core, ids, memories and flash
    // controller, from its reference manual) instead of the F405 wearing
    // other ids; blank flash.
    SimFlashKind board = SimFlashKind::none;
};

// RM0090: DEV_ID 0x413, the flash size (KB) at 0x1FFF7A22; Cortex-M4 r0p1 as ST ships it.
const char* const kF405 = "Cortex-M4 r0p1  ST  [FPU]  CPUID:0x410FC241  DevID:0x00000413  Flash:1024KB  RAM:192KB  "
                          "Family:STM32F4  Device:STM32F405/415, F407/417  Algo:f7_f4_f2";
const Chip kChips[] = {
    {.name = "F405_hid", .kind = SimUsbKind::V1Hid, .size_reg = 0x1FFF7A22, .summary = kF405},
    {.name = "F405_bulk", .size_reg = 0x1FFF7A22, .summary = kF405},
    {.name = "F405_board", .size_reg = 0x1FFF7A22, .summary = kF405, .board = SimFlashKind::stm32f4},
    {.name = "F0_board", .size_reg = 0x1FFFF7CC, .summary =
         "Cortex-M0 r0p0  ST    CPUID:0x410CC200  DevID:0x00000440  Flash:64KB  RAM:8KB  Family:STM32F0  Device:STM32F05x/F030x8  Algo:f3_f1_f0", .board = SimFlashKind::stm32f0},
    {.name = "G0_board", .size_reg = 0x1FFF75E0, .summary =
         "Cortex-M0+ r0p1  ST    CPUID:0x410CC601  DevID:0x00000460  Flash:64KB  RAM:36KB  Family:STM32G0  Device:STM32G07x/08x  Algo:c0_l4_gx_wx", .board = SimFlashKind::stm32g0},
    {.name = "G4_board", .size_reg = 0x1FFF75E0, .summary =
         "Cortex-M4 r0p1  ST  [FPU]  CPUID:0x410FC241  DevID:0x00000469  Flash:512KB  RAM:128KB  Family:STM32G4  Device:STM32G47x/48x  Algo:c0_l4_gx_wx", .board = SimFlashKind::stm32g4},
    {.name = "L4_board", .size_reg = 0x1FFF75E0, .summary =
         "Cortex-M4 r0p1  ST  [FPU]  CPUID:0x410FC241  DevID:0x00000415  Flash:1024KB  RAM:128KB  Family:STM32L4  Device:STM32L47x/L48x  Algo:c0_l4_gx_wx", .board = SimFlashKind::stm32l4},
    {.name = "L0_board", .size_reg = 0x1FF8007C, .summary =
         "Cortex-M0+ r0p1  ST    CPUID:0x410CC601  DevID:0x00000417  Flash:64KB  RAM:8KB  Family:STM32L0  Device:STM32L0xx Cat.3  Algo:l1_l0", .board = SimFlashKind::stm32l0},
    {.name = "F4_2M_board", .size_reg = 0x1FFF7A22, .summary =
         "Cortex-M4 r0p1  ST  [FPU]  CPUID:0x410FC241  DevID:0x00000419  Flash:2048KB  RAM:256KB  Family:STM32F4  Device:STM32F42x/43x  Algo:f7_f4_f2", .board = SimFlashKind::stm32f4_2m},
    {.name = "H7_board", .size_reg = 0x1FF1E880, .summary =
         "Cortex-M7 r1p1  ST  [FPU]  CPUID:0x411FC271  DevID:0x00000450  Flash:2048KB  RAM:512KB  Family:STM32H7  Device:STM32H74x/75x  Algo:h7", .board = SimFlashKind::stm32h7},
    {.name = "U5_board", .size_reg = 0x0BFA07A0, .summary =
         "Cortex-M33 r0p4  ST  [FPU TZ]  CPUID:0x410FD214  DevID:0x00000482  Flash:2048KB  RAM:786KB  Family:STM32U5  Device:STM32U575/585  Algo:l5_u5", .board = SimFlashKind::stm32u5},
    // 0x411 is the F2 (RM0033) under a Cortex-M3 and the first F4 silicon under an M4;
    // the board's size word stays the F405's.
    {.name = "F2", .cpuid = 0x412FC231, .idcode = 0x20006411, .size_reg = 0x1FFF7A22,
     .summary = "Cortex-M3 r2p1  ST    CPUID:0x412FC231  DevID:0x00000411  Flash:1024KB  RAM:128KB  "
                "Family:STM32F2  Device:STM32F2xx  Algo:f7_f4_f2"},
    {.name = "F4_rev_A", .cpuid = 0x410FC241, .idcode = 0x10006411, .size_reg = 0x1FFF7A22,
     .summary = "Cortex-M4 r0p1  ST  [FPU]  CPUID:0x410FC241  DevID:0x00000411  Flash:1024KB  RAM:192KB  "
                "Family:STM32F4  Device:STM32F405/415, F407/417 (rev A)  Algo:f7_f4_f2"},
    // RM0038: L1 Cat.4 keeps no flash size word.
    {.name = "L1_cat4", .cpuid = 0x412FC231, .idcode = 0x10186436,
     .summary = "Cortex-M3 r2p1  ST    CPUID:0x412FC231  DevID:0x00000436  Flash:0KB  RAM:48KB  "
                "Family:STM32L1  Device:STM32L1xx Cat.4/Cat.3 hi  Algo:l1_l0"},
    {.name = "no_rom_table", .rom = SimRomIds::absent,
     .summary = "Cortex-M4 r0p1  Unknown  [FPU]  CPUID:0x410FC241  DevID:0x00000000  Flash:0KB  RAM:0KB  "
                "Family:Unknown  Device:?  Algo:-"},
    // MCX A shows ARM's Cortex-M33 table, filed as NXP; 0x0A000028 is the MCXA153.
    {.name = "MCXA153", .cpuid = 0x410FD214, .rom = SimRomIds::arm, .devid = 0x0A000028,
     .summary = "Cortex-M33 r0p4  NXP  [FPU TZ]  CPUID:0x410FD214  DevID:0x0A000028  Flash:0KB  RAM:64KB  "
                "Family:MCX A  Device:MCXA153  Algo:MCXA_256.FLM"},
};

class Chips : public testing::TestWithParam<Chip> {};

}  // namespace

TEST_P(Chips, IdentifyWithTheirReferenceManualValues) {
    const Chip& k = GetParam();
    SimRig rig(k.kind, k.board == SimFlashKind::none ? "demo_O2_dwarf4.elf" : "", true, [&](SimBoardProfile& p) {
        if (k.board != SimFlashKind::none) {
            ASSERT_TRUE(sim_board_profile_for(k.board, &p));
            return;
        }
        if (k.cpuid) p.cpuid = k.cpuid;
        if (k.idcode) p.dbgmcu_idcode = k.idcode;
        p.rom_ids = k.rom;
        if (k.devid) p.devid_addr = 0x40000FF8, p.devid = k.devid;
    });
    DapContext* c = rig.connect();
    ASSERT_NE(c, nullptr) << rig.err;
    McuInfo info;
    ASSERT_TRUE(mcu_id_read(c, nullptr, &info));
    EXPECT_TRUE(info.valid);
    EXPECT_FALSE(info.was_halted);
    EXPECT_EQ(summary(info), k.summary);
    EXPECT_EQ(info.mcu.flash_size_reg, k.size_reg);
    ASSERT_TRUE(dap_halt(c));
    ASSERT_TRUE(mcu_id_read(c, nullptr, &info));
    EXPECT_TRUE(info.was_halted);
}

INSTANTIATE_TEST_SUITE_P(Sim, Chips, testing::ValuesIn(kChips), [](const auto& i) { return std::string(i.param.name); });

// ST's pack (the F405RG's memories, the core) and SVD (where DBGMCU lives,
// the debug-init pairs' bits: sleep/stop/standby in DBGMCU_CR, both
// watchdogs in APB1_FZ), read through xmllint.
TEST(McuIdAgainstStFiles, TheF405RecordAgreesWithStsPackAndSvd) {
    const std::string pdsc = KORVANE_SHARED_DATA "/pdsc/Keil.STM32F4xx_DFP.pdsc", svd = KORVANE_SHARED_DATA "/svd/STM32F407.svd";
    if (read_binary_file(pdsc).empty() || read_binary_file(svd).empty()) GTEST_SKIP() << "no shared data";
    McuRecord r;
    ASSERT_TRUE(stm32_lookup(nullptr, 0xC24, 0x413, &r));
    auto num = [](const std::string& file, const std::string& path) {
        const std::string v = xpath("string(" + path + ")", file);
        return v.empty() ? ~0u : (uint32_t)std::stoul(v, nullptr, 0);
    };
    auto mem = [&](const char* name) { return "//device[@Dname=\"STM32F405RG\"]/memory[@name=\"" + std::string(name) + "\"]"; };
    EXPECT_EQ(num(pdsc, mem("Flash") + "/@size"), 1024u * 1024u);
    EXPECT_EQ(num(pdsc, mem("Flash") + "/@start"), r.flash_base);
    // The pack's SRAM (SRAM1+SRAM2, 128 KB) plus the 64 KB CCM it lists as "SRAM2".
    EXPECT_EQ(num(pdsc, mem("SRAM1") + "/@size") + num(pdsc, mem("SRAM2") + "/@size"), r.ram_size);
    EXPECT_EQ(xpath("string((//processor/@DcoreVersion)[1])", pdsc), "r0p1");
    EXPECT_NE(read_text_file(pdsc).find("__var DbgMCU_CR      = 0x00000007;"), std::string::npos);
    auto reg = [&](const std::string& name) {
        return num(svd, "//peripheral[name=\"DBG\"]/baseAddress") +
               num(svd, "//register[name=\"" + name + "\"]/addressOffset");
    };
    auto bits = [&](const std::string& name, std::initializer_list<const char*> fields) {
        uint32_t m = 0;
        for (const char* f : fields) m |= 1u << num(svd, "//register[name=\"" + name + "\"]//field[name=\"" + f + "\"]/bitOffset");
        return m;
    };
    EXPECT_EQ(reg("DBGMCU_IDCODE"), 0xE0042000u);
    ASSERT_EQ(r.dbg_init_count, 2);
    EXPECT_EQ(r.dbg_init_regs[0], reg("DBGMCU_CR"));
    EXPECT_EQ(r.dbg_init_vals[0], bits("DBGMCU_CR", {"DBG_SLEEP", "DBG_STOP", "DBG_STANDBY"}));
    EXPECT_EQ(r.dbg_init_regs[1], reg("DBGMCU_APB1_FZ"));
    EXPECT_EQ(r.dbg_init_vals[1], bits("DBGMCU_APB1_FZ", {"DBG_WWDG_STOP", "DBG_IWDEG_STOP"}));  // sic, as ST spells it
}

// Every variant is reachable (the first family with its core and id is the
// one that answers; the shared 0x411 is in the Chips table); an id under
// another core is not found.
TEST(Stm32Tables, EveryVariantReachableAndTheIdsThatDiffer) {
    for (int i = 0; i < s_stm32_family_count; ++i) {
        const StmFamily& f = s_stm32_families[i];
        for (int j = 0; j < f.variant_count; ++j) {
            McuRecord r;
            ASSERT_TRUE(stm32_lookup(nullptr, f.cpu_partno, f.variants[j].device_id, &r));
            EXPECT_STREQ(r.device_name, f.variants[j].name);
            EXPECT_STREQ(r.family_name, f.family_name);
            EXPECT_STREQ(r.flash_algo, s_stm32_algo_names[f.flash_algo]);
        }
    }
    McuRecord r;
    EXPECT_FALSE(stm32_lookup(nullptr, 0xC24, 0x999, &r));
    EXPECT_FALSE(stm32_lookup(nullptr, 0xC27, 0x413, &r));  // right id, wrong core
}

TEST(Failures, CpuidReadFailureIsTheOnlyHardError) {
    McuInfo info;
    EXPECT_FALSE(mcu_id_read(nullptr, nullptr, &info));
    SimRig rig(SimUsbKind::V2Bulk512);
    DapContext* c = rig.connect();
    ASSERT_TRUE(c);
    EXPECT_FALSE(mcu_id_read(c, nullptr, nullptr));
    rig.lock(), rig.probe()->swd.line = SimSwdLine::Dormant, rig.unlock();  // the target stops answering
    EXPECT_FALSE(mcu_id_read(c, nullptr, &info));
    EXPECT_FALSE(info.valid);
    EXPECT_EQ(summary(info), "[MCU ID] Error: CPUID read failed");
    for (auto [len, text] : {std::pair{1, ""}, {10, "[MCU ID] "}, {0, "untouched"}}) EXPECT_EQ(summary(info, len), text);
}

TEST(ProbeThreadHook, PublishesToTheSetupPanelAndForgetsOnStop) {
    SimRig rig(SimUsbKind::V2Bulk512, "demo_O2_dwarf4.elf", true, 4);
    ASSERT_NE(rig.sys, nullptr) << rig.err;
    mcu_id_install();
    PlatThread* t = probe_thread_start();
    ASSERT_NE(t, nullptr);
    auto setup = [] {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        return g_setup_mcu;
    };
    EXPECT_TRUE(wait_for([&] { return setup().valid; }));
    EXPECT_EQ(std::make_tuple(std::string(setup().device), setup().flash_kb, setup().has_flash_algo),
              std::make_tuple(std::string("STM32F405/415, F407/417"), 1024u, true));
    EXPECT_EQ(log_count_of("Cortex-M4 r0p1  ST  [FPU]  CPUID:0x410FC241"), 1);  // identified once per connection
    EXPECT_TRUE(probe_thread_stop_and_wait(t));
    EXPECT_FALSE(setup().valid || g_mcu_info.valid);
    probe_set_identify(nullptr);
}

// An ST part's pack device, found in the packs folder beside the settings by
// the table's name and the chip's flash size: our demo pack, ST's own F4
// pack, or none (then nothing but one line changes).
struct PackCase {
    const char* name;
    std::string pdsc;     // copied into packs/ ("": an empty folder)
    const char* device;   // the pack device's name begins with it ("": none)
    int sequences;
};

class StPacks : public testing::TestWithParam<PackCase> {};

TEST_P(StPacks, TheF405FindsItsPackDevice) {
    const PackCase& k = GetParam();
    const std::string src = k.pdsc.empty() ? "" : read_text_file(k.pdsc);
    if (!k.pdsc.empty() && src.empty()) GTEST_SKIP() << "no " << k.pdsc;
    TempDir dir("kd_st_pack");
    ASSERT_TRUE(std::filesystem::create_directories(dir / "packs/Vendor"));
    if (!src.empty()) {
        ASSERT_TRUE(write_text_file(dir / "packs/Vendor/pack.pdsc", src));
    }
    pdsc_db_init((dir / "debugger.ini").c_str());
    SimRig rig(SimUsbKind::V2Bulk512, "demo_O2_dwarf4.elf", true);
    DapContext* c = rig.connect();
    ASSERT_NE(c, nullptr) << rig.err;
    McuInfo info;
    ASSERT_TRUE(mcu_id_read(c, nullptr, &info));
    EXPECT_EQ(summary(info), kF405) << "the table's record stays";
    if (!*k.device) {
        EXPECT_EQ(g_pack_device, nullptr);
        EXPECT_EQ(log_count_of(("[MCU ID] ST: no pack in " + dir.path + "/packs/ lists STM32F405/415, F407/417").c_str()), 1);
        EXPECT_EQ(log_count_of("[PDSC]"), 0);
        return;
    }
    ASSERT_NE(g_pack_device, nullptr);
    const PdscDevice& d = *g_pack_device;
    EXPECT_EQ(std::string(d.device_name).rfind(k.device, 0), 0u) << d.device_name;
    uint32_t flash = 0;
    for (int i = 0; i < d.memory_count; ++i)
        if (d.memories[i].start == 0x08000000) flash += d.memories[i].size;
    EXPECT_EQ(flash, 1024u * 1024u);
    EXPECT_EQ(log_count_of(("[MCU ID] ST: pack device " + std::string(d.device_name) + " (pack.pdsc)").c_str()), 1);
    EXPECT_EQ(log_count_of("[PDSC] Memory:"), d.memory_count);
    EXPECT_EQ(log_count_of(("[PDSC] Sequences (" + std::to_string(k.sequences) + "):").c_str()), 1);
}

INSTANTIATE_TEST_SUITE_P(Sim, StPacks,
                         testing::Values(PackCase{"demo", KORVANE_DEMO_PACK_DIR "/Korvane.DemoBoard/Korvane.DemoBoard.pdsc", "STM32F405RG", 2},
                                         PackCase{"st_f4", KORVANE_SHARED_DATA "/pdsc/Keil.STM32F4xx_DFP.pdsc", "STM32F405", 11},
                                         PackCase{"none", "", "", 0}),
                         [](const auto& i) { return std::string(i.param.name); });

// The demo pack's sequences on the board: the ID check passes on the F405,
// and DebugCoreStart leaves the debug unit as its variables say.
TEST(DemoPack, SequencesSetTheDebugUnit) {
    TempDir dir("kd_demo_pack");
    ASSERT_EQ(symlink(KORVANE_DEMO_PACK_DIR, (dir / "packs").c_str()), 0);
    pdsc_db_init((dir / "debugger.ini").c_str());
    SimRig rig(SimUsbKind::V2Bulk512, "demo_O2_dwarf4.elf", true);
    DapContext* c = rig.connect();
    ASSERT_NE(c, nullptr) << rig.err;
    McuInfo info;
    ASSERT_TRUE(mcu_id_read(c, nullptr, &info) && g_pack_device);
    static SeqContext ctx;
    pdsc_seq_ctx_init(&ctx, c, g_pack_device);
    EXPECT_TRUE(pdsc_seq_run(&ctx, "DebugDeviceUnlock")) << pdsc_seq_error(&ctx);
    ASSERT_TRUE(dap_halt(c));
    ASSERT_TRUE(pdsc_seq_run(&ctx, "DebugCoreStart")) << pdsc_seq_error(&ctx);
    uint32_t cr = 0, apb1 = 0, dhcsr = 0;
    ASSERT_TRUE(dap_read_mem32(c, 0xE0042004, &cr) && dap_read_mem32(c, 0xE0042008, &apb1) && dap_read_mem32(c, 0xE000EDF0, &dhcsr));
    EXPECT_EQ(cr, 0x7u);
    EXPECT_EQ(apb1, (1u << 11) | (1u << 12));  // WWDG and IWDG stop in a halt
    EXPECT_EQ(dhcsr & 0x20003u, 0x20003u) << "debug on, and the halted core stays halted";
}
