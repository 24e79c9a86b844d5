// The Flash button's job on the probe thread against the simulated board:
// the FLM route with our demo pack, the early refusals, and the external
// LinkServer route with a stand-in script that records its arguments.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <sys/stat.h>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "flash/flash_job.h"
#include "tests/test_util.h"
#include "platform/paths.h"
#include "probe/probe.h"
#include "probe/probe_fixture.h"
#include "runctl/step.h"
#include "sim/flash_f4.h"
#include "target/mcu_id.h"

namespace {

using Bytes = std::vector<uint8_t>;

class FlashJob : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir_.empty()); }
    void start(bool identify = true) {
        rig_ = std::make_unique<SimRig>(SimUsbKind::V2Bulk512, "demo_O2_dwarf4.elf", true, 16);
        ASSERT_NE(rig_->sys, nullptr) << rig_->err;
        runctl_install();
        if (identify) mcu_id_install();
        flash_install();
        flash_set_pack_dir(KORVANE_DEMO_PACK_DIR);
        g_flash_status = FLASH_STATUS_IDLE;
        thread_ = probe_thread_start();
        ASSERT_NE(thread_, nullptr);
        ASSERT_TRUE(wait_for([] { return g_probe_connected.load(); }));
        if (identify) {
            ASSERT_TRUE(wait_for([] { return g_mcu_info.valid; }));
        }
    }
    void TearDown() override {
        if (thread_) {
            EXPECT_TRUE(probe_thread_stop_and_wait(thread_));
        }
        probe_set_run_control(nullptr);
        probe_set_identify(nullptr);
        probe_set_flash_handler(nullptr);
        flash_set_pack_dir(nullptr);
        flash_set_linkserver(nullptr, 0);
        rig_.reset();
    }
    // As the Flash button does it; returns the final status.
    int flash(const std::string& file, const char* device = "STM32F405/415, F407/417") {
        g_flash_status = FLASH_STATUS_BUSY;
        g_flash_progress = 0;
        probe_set_flash_params(file.c_str(), 0, device);
        EXPECT_TRUE(probe_post_cmd(PROBE_CMD_FLASH, 0));
        EXPECT_TRUE(wait_for([] { return g_flash_status.load() != FLASH_STATUS_BUSY && g_cmd_busy.load() == 0; },
                             120000));
        return g_flash_status.load();
    }
    Bytes flash_contents(uint32_t offset, size_t n) {
        rig_->lock();
        const uint8_t* a = sim_board_flash(rig_->board())->array;
        Bytes b(a + offset, a + offset + n);
        rig_->unlock();
        return b;
    }
    // A stand-in for NXP's flasher: records its arguments and pid, then `body`.
    std::string stand_in(const std::string& body) {
        std::string p = dir_ + "/linkserver";
        std::ofstream(p) << "#!/bin/sh\necho $$ > " << dir_ << "/pid\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > "
                         << dir_ << "/argv\n" << body << "\n";
        chmod(p.c_str(), 0755);
        return p;
    }
    // What the stand-in was called with, one argument a line.
    std::vector<std::string> recorded_args() {
        std::ifstream f(dir_ + "/argv");
        std::vector<std::string> args;
        for (std::string a; std::getline(f, a);) args.push_back(a);
        return args;
    }
    std::unique_ptr<SimRig> rig_;
    PlatThread* thread_ = nullptr;
    TempDir tmp_{"korvane_job"};
    const std::string dir_ = tmp_.path;
};

TEST_F(FlashJob, TheDemoPackProgramsBinAndHexThenTheTargetIsResetAndHalted) {
    start();
    const std::string fw = KORVANE_DEMO_FW_DIR;
    for (const char* file : {"/demo_O0_dwarf4.bin", "/demo_O2_dwarf4.hex"}) {
        log_clear(&logv);
        ASSERT_EQ(flash(fw + file), FLASH_STATUS_OK) << file;
        EXPECT_EQ(g_flash_progress.load(), 100);
        EXPECT_TRUE(log_has("[FLASH] Done"));
        EXPECT_TRUE(log_has("[FLASH] Pack device for STM32F405/415, F407/417 (1024 KB): STM32F405RG"));
        std::string bin = fw + file;
        bin.replace(bin.size() - 3, 3, "bin");
        Bytes want = read_binary_file(bin);
        EXPECT_EQ(flash_contents(0, want.size()), want) << file;
        EXPECT_TRUE(g_is_halted.load());
        uint32_t pc = 0, reset = 0;
        std::memcpy(&reset, want.data() + 4, 4);
        rig_->lock();
        sim_board_read_core_reg(rig_->board(), 15, &pc);
        rig_->unlock();
        EXPECT_EQ(pc, reset & ~1u) << "halted at the reset handler";
    }
}

TEST_F(FlashJob, StsOwnPackProgramsTheBoardTheSameWay) {
    const std::string data = KORVANE_SHARED_DATA;
    if (!plat_file_exists((data + "/flm/STM32F4xx_1024.FLM").c_str())) GTEST_SKIP() << "shared data absent: " << data;
    start();
    const std::string packs = dir_ + "/packs";
    ASSERT_EQ(std::system(("mkdir -p " + packs + "/Keil/CMSIS/Flash && cp " + data + "/pdsc/Keil.STM32F4xx_DFP.pdsc " +
                           packs + "/Keil/ && cp " + data + "/flm/STM32F4xx_1024.FLM " + packs + "/Keil/CMSIS/Flash/")
                              .c_str()),
              0);
    flash_set_pack_dir(packs.c_str());
    const std::string fw = std::string(KORVANE_DEMO_FW_DIR) + "/demo_O2_dwarf4.bin";
    ASSERT_EQ(flash(fw), FLASH_STATUS_OK);
    EXPECT_TRUE(log_has("[FLASH] Pack device for STM32F405/415, F407/417 (1024 KB): STM32F405RG"));
    EXPECT_TRUE(log_has(("[FLM] pdsc_find_algo OK: flm_path='" + packs + "/Keil/CMSIS/Flash/STM32F4xx_1024.FLM'").c_str()));
    Bytes want = read_binary_file(fw);
    EXPECT_EQ(flash_contents(0, want.size()), want);
}

TEST_F(FlashJob, RefusedJobsEndInErrorNotBusy) {
    start(false);
    const std::string fw = std::string(KORVANE_DEMO_FW_DIR) + "/demo_O0_dwarf4.bin";
    EXPECT_EQ(flash(fw), FLASH_STATUS_ERROR);
    EXPECT_TRUE(log_has("[FLASH] MCU not identified — connect and halt the target first"));
    EXPECT_EQ(g_flash_progress.load(), -1);
    EXPECT_EQ(flash(fw, ""), FLASH_STATUS_ERROR);
    EXPECT_TRUE(log_has("[FLASH] Missing params"));
    g_flash_status = FLASH_STATUS_BUSY;
    ASSERT_TRUE(probe_post_cmd(PROBE_CMD_FLASH_ALGO, 0));
    EXPECT_TRUE(wait_for([] { return g_flash_status.load() == FLASH_STATUS_ERROR; }));
    EXPECT_TRUE(log_has("[ALGO FLASH] No target algo loaded"));
}

TEST_F(FlashJob, ABadHexFileNeverTouchesTheFlash) {
    start();
    std::string hex = dir_ + "/bad.hex";
    std::ofstream(hex) << ":020000040800F2\n:0400000001020304F3\n:00000001FF\n";
    Bytes before = flash_contents(0, 4096);
    EXPECT_EQ(flash(hex), FLASH_STATUS_ERROR);
    EXPECT_TRUE(log_has("line 2: bad checksum"));
    EXPECT_TRUE(log_has("[FLASH] Failed to parse HEX file"));
    EXPECT_EQ(flash_contents(0, 4096), before);
}

// The mailbox flag is what the connect sequence sets on an NXP MCX part.
void as_mcx() { probe_context()->mcu.has_debug_mailbox = true; }

TEST_F(FlashJob, LinkServerGetsAnArgumentVectorAndTheProbeBack) {
    start();
    // A name a shell would run: here it must arrive as one argument.
    std::string fw = dir_ + "/fw $(touch injected).bin";
    std::ofstream(fw) << "firmware";
    flash_set_linkserver(stand_in("exit 0").c_str(), 10000);
    as_mcx();
    EXPECT_EQ(flash(fw, "MCXA156"), FLASH_STATUS_OK);
    std::vector<std::string> args = recorded_args();
    EXPECT_EQ(args, (std::vector<std::string>{"flash", "MCXA156:MCXA156", "load", fw + ":0x8000000"}));
    EXPECT_FALSE(plat_file_exists((dir_ + "/injected").c_str()));
    EXPECT_TRUE(g_probe_connected.load()) << "re-opened after the flasher";

    // A HEX file reaches it converted, as the image every route programs.
    const std::string hex = std::string(KORVANE_DEMO_FW_DIR) + "/demo_O0_dwarf4.hex";
    flash_set_linkserver(stand_in("f=\"$4\"; cp \"${f%:*}\" " + dir_ + "/got.bin").c_str(), 10000);
    as_mcx();
    EXPECT_EQ(flash(hex, "MCXA156"), FLASH_STATUS_OK);
    args = recorded_args();
    ASSERT_EQ(args.size(), 4u);
    EXPECT_NE(args[3].find(".bin:0x8000000"), std::string::npos) << args[3];
    EXPECT_EQ(read_binary_file(dir_ + "/got.bin"), read_binary_file(std::string(KORVANE_DEMO_FW_DIR) + "/demo_O0_dwarf4.bin"));
    EXPECT_FALSE(plat_file_exists(args[3].substr(0, args[3].rfind(':')).c_str())) << "the temporary file is removed";

    flash_set_linkserver(stand_in("exit 3").c_str(), 10000);
    as_mcx();
    EXPECT_EQ(flash(fw, "MCXA156"), FLASH_STATUS_ERROR);
    EXPECT_TRUE(log_has("[FLASH] LinkServer exit code 3"));
}

TEST_F(FlashJob, ALinkServerThatHangsIsStoppedAndReaped) {
    start();
    std::string fw = dir_ + "/fw.bin";
    std::ofstream(fw) << "firmware";
    flash_set_linkserver(stand_in("exec sleep 60").c_str(), 300);
    as_mcx();
    EXPECT_EQ(flash(fw, "MCXA156"), FLASH_STATUS_ERROR);
    EXPECT_TRUE(log_has("[FLASH] LinkServer timeout"));
    int pid = 0;
    std::ifstream(dir_ + "/pid") >> pid;
    ASSERT_GT(pid, 0);
    EXPECT_NE(kill(pid, 0), 0) << "the flasher is gone, not left running";
}

TEST_F(FlashJob, AMissingLinkServerFallsBackToTheFlmRoute) {
    start();
    flash_set_linkserver((dir_ + "/no-such-linkserver").c_str(), 1000);
    as_mcx();
    const std::string fw = std::string(KORVANE_DEMO_FW_DIR) + "/demo_O0_dwarf4.bin";
    EXPECT_EQ(flash(fw), FLASH_STATUS_OK);
    EXPECT_TRUE(log_has("[FLASH] LinkServer not available (err=2) — FLM fallback"));
    Bytes want = read_binary_file(fw);
    EXPECT_EQ(flash_contents(0, want.size()), want);
}

}  // namespace
