// The pack database: the .pdsc found in "packs/" beside the settings file, the
// record filled from it, and the cache that spares the next start a parse.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "platform/ini.h"
#include "probe/probe.h"
#include "probe/probe_fixture.h"
#include "runctl/step.h"
#include "target/pdsc_db.h"
#include "tests/test_util.h"

namespace {

const char* const kPack = R"(<?xml version="1.0" encoding="UTF-8"?>
<package><devices>
  <family Dfamily="MCX A" Dvendor="NXP:11">
    <debugconfig default="swd" clock="4000000" swj="true"/>
    <device Dname="MCXA153">
      <processor Dcore="Cortex-M33" Dfpu="NO_FPU" Dtz="TZ" Dclock="96000000"/>
      <memory name="PROGRAM_FLASH" start="0x00000000" size="0x20000" access="rx" default="1" startup="1"/>
      <memory name="SRAM" start="0x20000000" size="0x6000" access="rwx" default="1"/>
      <algorithm name="arm/MCXA_128.FLM" start="0x00000000" size="0x20000" default="1"/>
      <sequences><sequence name="ResetSystem"><block>Write32(0xE000ED0C, 0x05FA0004);</block></sequence></sequences>
    </device>
    <device Dname="MCXA152">
      <memory name="SRAM" start="0x20000000" size="0x8000" access="rwx" default="1"/>
      <sequences>
        <sequence name="DebugCoreStart"><block>Write32(0x20010000, Read32(0x20010000) + 1);</block></sequence>
        <sequence name="DebugCoreStop"><block>Write32(0x20010004, 0x5709);</block></sequence>
        <sequence name="ResetSystem"><block>
          Write32(0x20010008, 0x4E5);
          Write32(0xE000ED0C, 0x05FA0004);  // SYSRESETREQ
          DAP_Delay(1000);
        </block></sequence>
      </sequences>
    </device>
  </family>
</devices></package>
)";

void set_mtime(const std::string& path, time_t sec) {
    struct timespec ts[2] = {{sec, 0}, {sec, 0}};
    utimensat(AT_FDCWD, path.c_str(), ts, 0);
}

}  // namespace

TEST(PdscDb, TheCacheSparesAParseUntilThePackChanges) {
    TempDir dir("kd_pdsc_db");
    const std::string ini = dir / "debugger.ini", pack = dir / "packs/NXP.MCXA_DFP.pdsc";
    const std::string mine = "; mine\r\n[Settings]\r\nelf = fw.elf\r\n";
    ASSERT_TRUE(write_text_file(ini, mine) && std::filesystem::create_directory(dir / "packs") && write_text_file(pack, kPack));
    set_mtime(pack, 1000000);
    pdsc_db_init(ini.c_str());
    EXPECT_EQ(std::string(pdsc_db_packs_dir()), dir.path + "/packs/");
    char found[4096];
    ASSERT_TRUE(pdsc_db_find("MCXA153", found, sizeof found)) << "the family file, by the fourth name";
    EXPECT_EQ(std::string(found), pack);

    McuRecord rec;
    auto dev = std::make_unique<PdscDevice>();
    ASSERT_TRUE(pdsc_db_lookup("MCXA153", &rec, dev.get())) << dev->parse_error;
    EXPECT_STREQ(rec.device_name, "MCXA153");
    EXPECT_STREQ(rec.flash_algo, "MCXA_128.FLM");
    EXPECT_EQ(rec.ram_size, 0x6000u);
    EXPECT_EQ(rec.flash_base, 0u);
    const std::string text = read_text_file(ini);
    EXPECT_EQ(text.rfind(mine, 0), 0u) << "the user's lines stay as they were:\n" << text;
    for (const char* kv : {"pdsc_file=NXP.MCXA_DFP.pdsc", "pdsc_mtime=1000000000000000", "flash_kb=128", "ram_kb=24",
                           "swj_clock=4000000", "default_reset=ResetSystem", "seq_names=ResetSystem"})
        EXPECT_NE(text.find(kv), std::string::npos) << kv << "\n" << text;

    // A pack that no longer parses, its time kept: the cache answers without reading it.
    ASSERT_TRUE(write_text_file(pack, "<package><devices"));
    set_mtime(pack, 1000000);
    McuRecord cached;
    ASSERT_TRUE(pdsc_db_lookup("MCXA153", &cached, nullptr));
    EXPECT_TRUE(cached.flash_algo && std::string(cached.flash_algo) == "MCXA_128.FLM" && cached.ram_size == 0x6000);
    EXPECT_FALSE(pdsc_db_lookup("MCXA153", &cached, dev.get())) << "with a device wanted the file is read";
    // Touched, it is read again; invalidated, too.
    set_mtime(pack, 2000000);
    EXPECT_FALSE(pdsc_db_lookup("MCXA153", &cached, nullptr));
    ASSERT_TRUE(write_text_file(pack, kPack));
    set_mtime(pack, 2000000);
    ASSERT_TRUE(pdsc_db_lookup("MCXA153", &cached, nullptr));
    pdsc_db_invalidate("MCXA153");
    EXPECT_NE(read_text_file(ini).find("pdsc_mtime=0"), std::string::npos);
    EXPECT_FALSE(pdsc_db_lookup("MCXA999", &cached, nullptr)) << "no pack lists it";

    // The probe thread's cache writes and the window's settings saves at once: nothing lost.
    std::thread other([&] {
        for (int i = 0; i < 50; ++i) {
            const std::string v = std::to_string(i);
            const IniPair p[] = {{"n", v.c_str()}};
            ini_put(ini.c_str(), "Window", p, 1);
        }
    });
    for (int i = 0; i < 20; ++i) {
        pdsc_db_invalidate("MCXA153");
        ASSERT_TRUE(pdsc_db_lookup("MCXA153", &cached, nullptr));
    }
    other.join();
    char n[8];
    EXPECT_EQ(ini_get(ini.c_str(), "Window", "n", n, sizeof n), INI_GET_OK);
    EXPECT_STREQ(n, "49");
    EXPECT_EQ(read_text_file(ini).rfind(mine, 0), 0u);
}

// An MCX A part is filled from its pack in packs/ and the log lists what the pack says.
TEST(PdscDb, AnMcxPartIsIdentifiedFromItsPack) {
    TempDir dir("kd_pdsc_mcx");
    const std::string ini = dir / "debugger.ini", pack = dir / "packs/NXP.MCXA_DFP.pdsc";
    ASSERT_TRUE(write_text_file(ini, "") && std::filesystem::create_directory(dir / "packs") && write_text_file(pack, kPack));
    pdsc_db_init(ini.c_str());
    SimRig rig(SimUsbKind::V2Bulk512, "demo_O2_dwarf4.elf", true, [](SimBoardProfile& p) {
        p.cpuid = 0x410FD214, p.rom_ids = SimRomIds::arm, p.devid_addr = 0x40000FF8, p.devid = 0x0A000028;
    });
    DapContext* c = rig.connect();
    ASSERT_NE(c, nullptr) << rig.err;
    McuInfo info;
    ASSERT_TRUE(mcu_id_read(c, nullptr, &info));
    ASSERT_NE(g_nxp_pdsc_device, nullptr);
    EXPECT_STREQ(info.mcu.flash_algo, "MCXA_128.FLM") << "the pack's, not the fallback's MCXA_256";
    EXPECT_EQ(info.mcu.ram_size, 0x6000u);
    EXPECT_EQ(info.flash_kb, 128u);
    EXPECT_TRUE(info.has_tz);
    for (const char* line : {"[MCU ID] NXP: PDSC lookup OK", "[PDSC] Debug: swd  clock=4000 kHz  SWJ=yes  DefaultReset=ResetSystem",
                             "[PDSC] Core: Cortex-M33  96 MHz  FPU=no  TZ=yes  DSP=no",
                             "[PDSC] Memory: PROGRAM_FLASH         0x00000000   128 KB  rx default startup",
                             "[PDSC] FlashAlgo: arm/MCXA_128.FLM  start=0x00000000  size=0x20000  RAMstart=0x20000000  RAMsize=0x6000",
                             "[PDSC]   ResetSystem                     (active)   nodes=4"})
        EXPECT_TRUE(log_has(line)) << line;
    pdsc_db_init("/nonexistent/debugger.ini");  // later tests find no pack
}

// The chip's pack sequences at their points: DebugCoreStart once the chip is
// identified, its ResetSystem for a reset (caught at the reset vector), and
// DebugCoreStop when the session ends.
TEST(PdscDb, APacksSequencesRunAtConnectResetAndTheEnd) {
    TempDir dir("kd_pdsc_seq");
    const std::string ini = dir / "debugger.ini";
    ASSERT_TRUE(write_text_file(ini, "") && std::filesystem::create_directory(dir / "packs") &&
                write_text_file(dir / "packs/NXP.MCXA_DFP.pdsc", kPack));
    pdsc_db_init(ini.c_str());
    SimRig rig(SimUsbKind::V2Bulk512, "demo_O2_dwarf4.elf", true, [](SimBoardProfile& p) {
        p.cpuid = 0x410FD214, p.rom_ids = SimRomIds::arm, p.devid_addr = 0x40000FF8, p.devid = 0x0A000008;  // MCXA152
    });
    ASSERT_NE(rig.sys, nullptr) << rig.err;
    auto word = [&](uint32_t a) {
        uint32_t v = 0;
        std::lock_guard<SimRig> lk(rig);
        sim_board_read_mem(rig.board(), a, &v, 4);
        return v;
    };
    const uint32_t started = word(0x20010000);
    mcu_id_install();
    runctl_install();
    PlatThread* t = probe_thread_start();
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(wait_for([] { return log_has("[PDSC] Sequence DebugCoreStart: done"); }));
    EXPECT_EQ(word(0x20010000), started + 1) << "run once, after the identification";
    ASSERT_TRUE(wait_for([] { return g_cmd_busy == 0; }) && probe_post_cmd(PROBE_CMD_RESET, 0));
    EXPECT_TRUE(wait_for([] { return log_has("[DBG] Reset:") && g_cmd_busy == 0; }));
    EXPECT_TRUE(log_has("[PRB] Reset by the pack's ResetSystem sequence") && log_has("[PDSC] Sequence ResetSystem: done"));
    EXPECT_EQ(word(0x20010008), 0x4E5u);
    EXPECT_TRUE(g_is_halted.load()) << "caught at the reset vector";
    EXPECT_TRUE(probe_thread_stop_and_wait(t));
    EXPECT_EQ(word(0x20010004), 0x5709u) << "DebugCoreStop at the end";
    probe_set_identify(nullptr), probe_set_sequences(nullptr), probe_set_run_control(nullptr);
    pdsc_db_init("/nonexistent/debugger.ini");
}

// ST's own F4 pack on a core the debugger left halted: its DebugCoreStart
// writes DHCSR with C_DEBUGEN alone, yet the core stays where it stopped and
// the debug unit is set as the pack's variables say.
TEST(PdscDb, StsDebugCoreStartLeavesAHaltedCoreWhereItStopped) {
    const std::string st_pack = std::string(KORVANE_SHARED_DATA) + "/pdsc/Keil.STM32F4xx_DFP.pdsc";
    if (!std::filesystem::exists(st_pack)) GTEST_SKIP() << "no " << st_pack;
    TempDir dir("kd_pdsc_st");
    const std::string ini = dir / "debugger.ini";
    ASSERT_TRUE(write_text_file(ini, "") && std::filesystem::create_directory(dir / "packs"));
    std::filesystem::copy_file(st_pack, dir / "packs/Keil.STM32F4xx_DFP.pdsc");
    pdsc_db_init(ini.c_str());
    SimRig rig(SimUsbKind::V2Bulk512);
    ASSERT_NE(rig.sys, nullptr) << rig.err;
    ASSERT_NE(rig.connect(true), nullptr);
    dap_close(&g_dap_ctx);
    const uint32_t pc = rig.reg(15);
    mcu_id_install();
    runctl_install();
    PlatThread* t = probe_thread_start();
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(wait_for([] { return log_has("[PDSC] Sequence DebugCoreStart: done"); }));
    EXPECT_TRUE(log_has("[PDSC] Sequence DebugDeviceUnlock: done"));
    EXPECT_TRUE(wait_for([] { return g_cmd_busy == 0; }));
    EXPECT_EQ(rig.word(0xE0042004), 7u) << "DBGMCU_CR: sleep, stop and standby debuggable";
    {
        std::lock_guard<SimRig> lk(rig);
        EXPECT_TRUE(sim_board_is_halted(rig.board()));
    }
    EXPECT_EQ(rig.reg(15), pc) << "not one instruction run";
    EXPECT_TRUE(g_is_halted.load());
    EXPECT_TRUE(probe_thread_stop_and_wait(t));
    probe_set_identify(nullptr), probe_set_sequences(nullptr), probe_set_run_control(nullptr);
    pdsc_db_init("/nonexistent/debugger.ini");
}
