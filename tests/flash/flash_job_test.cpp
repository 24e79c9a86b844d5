// The Flash button's job on the probe thread against the simulated board: the FLM route with
// our demo pack, the early refusals, and NXP's LinkServer played by a script that records its arguments.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <memory>

#include "flash/flash_job.h"
#include "platform/paths.h"
#include "probe/probe.h"
#include "probe/probe_fixture.h"
#include "runctl/step.h"
#include "sim/flash_f4.h"
#include "target/algo_select.h"
#include "target/mcu_id.h"
#include "tests/test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;
const std::string kFw = KORVANE_DEMO_FW_DIR;

class FlashJob : public ::testing::Test {
  protected:
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
        ASSERT_TRUE(!identify || wait_for([] { return g_mcu_info.valid; }));
    }
    void TearDown() override {
        EXPECT_TRUE(!thread_ || probe_thread_stop_and_wait(thread_));
        probe_set_run_control(nullptr);
        probe_set_identify(nullptr);
        probe_set_flash_handler(nullptr);
        flash_set_pack_dir(nullptr);
        flash_set_linkserver(nullptr, 0);
        flash_set_route(FLASH_ROUTE_AUTO);
        rig_.reset();
    }
    // As the Flash button does it; returns the final status.
    int flash(const std::string& file, const char* device = "STM32F405/415, F407/417") {
        g_flash_status = FLASH_STATUS_BUSY;
        g_flash_progress = 0;
        probe_set_flash_params(file.c_str(), 0, device);
        EXPECT_TRUE(probe_post_cmd(PROBE_CMD_FLASH, 0));
        EXPECT_TRUE(wait_for([] { return g_flash_status.load() != FLASH_STATUS_BUSY && g_cmd_busy.load() == 0; }, 120000));
        return g_flash_status.load();
    }
    Bytes flash_contents(size_t n) {
        rig_->lock();
        const uint8_t* a = sim_board_flash(rig_->board())->array;
        Bytes b(a, a + n);
        rig_->unlock();
        return b;
    }
    // A stand-in for NXP's flasher, on an MCX part (the mailbox flag is what
    // the connect sequence sets on one): records its arguments and pid, then `body`.
    void linkserver(const std::string& body, uint32_t timeout_ms = 10000) {
        const std::string p = tmp_ / "linkserver";
        std::ofstream(p) << "#!/bin/sh\necho $$ > " << tmp_ / "pid" << "\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > "
                         << tmp_ / "argv" << "\n" << body << "\n";
        chmod(p.c_str(), 0755);
        flash_set_linkserver(body.empty() ? (tmp_ / "none").c_str() : p.c_str(), timeout_ms);
        probe_context()->mcu.has_debug_mailbox = true;
    }
    std::unique_ptr<SimRig> rig_;
    PlatThread* thread_ = nullptr;
    TempDir tmp_{"korvane_job"};
};

// Each file through the FLM route ends as its .bin in the flash, the core
// halted at its reset handler; a bad file leaves the flash as it was.
TEST_F(FlashJob, FilesAreProgrammedThroughThePacksAlgorithmOrTheChipsController) {
    start();
    ASSERT_TRUE(write_text_file(tmp_ / "bad.hex", ":020000040800F2\n:0400000001020304F3\n:00000001FF\n"));
    const char* const pack = "[FLASH] Pack device for STM32F405/415, F407/417 (1024 KB): STM32F405RG";
    const char* const native = "[STM32 FLASH] Verify OK";
    struct Case { std::string file; const char* log; FlashRoute route; const char* how; bool no_linkserver = false; } const cases[] = {
        {kFw + "/demo_O0_dwarf4.bin", "[FLASH] Done", FLASH_ROUTE_PACK, pack},
        {kFw + "/demo_O2_dwarf4.hex", "[FLASH] Done", FLASH_ROUTE_PACK, pack},
        {tmp_ / "bad.hex", "[FLASH] Failed to parse HEX file", FLASH_ROUTE_PACK, nullptr},
        {kFw + "/demo_O2_dwarf4.bin", "[FLASH] LinkServer not available (err=2) — FLM fallback", FLASH_ROUTE_PACK, pack, true},
        // An STM32's main flash goes through its own controller unless the pack is asked for.
        {kFw + "/demo_O0_dwarf4.bin", "[FLASH] Using built-in STM32 flash algorithm", FLASH_ROUTE_AUTO, native},
        {kFw + "/demo_O2_dwarf4.hex", "[FLASH] Using built-in STM32 flash algorithm", FLASH_ROUTE_NATIVE, native},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file + " " + flash_route_name(c.route));
        log_clear(&logv);
        flash_set_route(c.route);
        if (c.no_linkserver) linkserver("");
        else probe_context()->mcu.has_debug_mailbox = false;
        const bool good = c.file.find("bad") == std::string::npos;
        const Bytes before = flash_contents(4096);
        ASSERT_EQ(flash(c.file), good ? FLASH_STATUS_OK : FLASH_STATUS_ERROR);
        EXPECT_TRUE(log_has(c.log)) << c.log;
        if (!good) {
            EXPECT_EQ(flash_contents(4096), before);
            continue;
        }
        EXPECT_EQ(g_flash_progress.load(), 100);
        EXPECT_TRUE(log_has(c.how)) << c.how;
        const Bytes want = read_binary_file(c.file.substr(0, c.file.size() - 3) + "bin");
        EXPECT_EQ(flash_contents(want.size()), want);
        uint32_t reset = 0, pc = 0;
        std::memcpy(&reset, want.data() + 4, 4);
        EXPECT_TRUE(g_is_halted.load());
        rig_->lock();
        sim_board_read_core_reg(rig_->board(), 15, &pc);
        rig_->unlock();
        EXPECT_EQ(pc, reset & ~1u) << "halted at the reset handler";
    }
}

TEST_F(FlashJob, RefusedJobsEndInErrorNotBusy) {
    start(false);
    const std::string fw = kFw + "/demo_O0_dwarf4.bin";
    EXPECT_EQ(flash(fw), FLASH_STATUS_ERROR);
    EXPECT_TRUE(log_has("[FLASH] MCU not identified — connect and halt the target first"));
    EXPECT_EQ(g_flash_progress.load(), -1);
    EXPECT_EQ(flash(fw, ""), FLASH_STATUS_ERROR);
    EXPECT_TRUE(log_has("[FLASH] Missing params"));
    // The target-algorithm job without its image, then without its algorithm.
    for (const char* why : {"[ALGO FLASH] No firmware data", "[ALGO FLASH] No target algo loaded"}) {
        if (std::strstr(why, "algo")) probe_set_algo_flash_params((uint8_t*)std::calloc(1, 16), 16, 0, nullptr);
        g_flash_status = FLASH_STATUS_BUSY;
        ASSERT_TRUE(probe_post_cmd(PROBE_CMD_FLASH_ALGO, 0));
        EXPECT_TRUE(wait_for([] { return g_flash_status.load() == FLASH_STATUS_ERROR && g_cmd_busy.load() == 0; }));
        EXPECT_TRUE(log_has(why)) << why;
    }
}

// A target INI accepted at identification: Flash goes through it, and Reset
// runs its ResetSystem, caught at the reset vector; one whose ResetSystem
// leaves the core running makes Reset fail rather than report a halt.
TEST_F(FlashJob, ATargetIniProgramsAndResetsTheBoard) {
    const struct { const char* name; std::string reset; bool ok; const char* log; } rows[] = {
        {"reset_halt", "0 = reset_halt\n", true, "[DBG] Reset: halted at reset vector"},
        {"no reset", "0 = mem_read 0xE000ED00\n", false, "[PRB] Reset by ResetSystem: the core did not halt"},
    };
    const std::string scripted = read_text_file(KORVANE_TARGETS_DIR "/stm32f4_scripted.ini");
    const std::string fw = kFw + "/demo_O2_dwarf4.bin";
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string ini = tmp_ / (std::string(r.name) + ".ini");
        const size_t at = scripted.find("[sequence.ResetSystem]");
        ASSERT_NE(at, std::string::npos);
        ASSERT_TRUE(write_text_file(ini, scripted.substr(0, at) + "[sequence.ResetSystem]\n" + r.reset));
        target_algo_set_preferred(ini.c_str());
        log_clear(&logv);
        start();
        EXPECT_TRUE(log_has(("[ALGO] INI target loaded: " + ini).c_str()));
        EXPECT_TRUE(log_has("Algo:STM32F405 (scripted)")) << "the summary names the INI's device";
        EXPECT_EQ(flash(fw), FLASH_STATUS_OK) << "the reset after it is logged on its own";
        EXPECT_TRUE(log_has("[ALGO] Native flash programming complete"));
        EXPECT_EQ(flash_contents(read_binary_file(fw).size()), read_binary_file(fw));
        EXPECT_TRUE(log_has(r.ok ? "[FLASH] Target reset and halted" : "[FLASH] Reset and halt after programming failed"));
        log_clear(&logv);
        ASSERT_TRUE(probe_post_cmd(PROBE_CMD_RESET, 0));
        EXPECT_TRUE(wait_for([&] { return log_has(r.ok ? "[DBG] Reset: halted" : "[DBG] Reset: failed"); }));
        EXPECT_TRUE(log_has("[PRB] Reset by the target INI's ResetSystem sequence") &&
                    log_has("[ALGO] Running sequence: ResetSystem"));
        EXPECT_TRUE(log_has(r.log)) << r.log;
        TearDown();
        thread_ = nullptr;
        target_algo_set_preferred(nullptr);
        target_algo_free(&g_target_algo);
        g_target_algo_valid = false;
    }
}

TEST_F(FlashJob, LinkServerGetsAnArgumentVectorAndTheProbeBack) {
    start();
    // A name a shell would run: here it must arrive as one argument.
    const std::string fw = tmp_ / "fw $(touch injected).bin";
    ASSERT_TRUE(write_text_file(fw, "firmware"));
    linkserver("exit 0");
    EXPECT_EQ(flash(fw, "MCXA156"), FLASH_STATUS_OK);
    EXPECT_EQ(read_text_file(tmp_ / "argv"), "flash\nMCXA156:MCXA156\nload\n" + fw + ":0x8000000\n");
    EXPECT_FALSE(plat_file_exists((tmp_ / "injected").c_str()));
    EXPECT_TRUE(g_probe_connected.load()) << "re-opened after the flasher";

    linkserver("exec sleep 60", 300);  // a flasher that hangs is stopped and reaped
    EXPECT_EQ(flash(fw, "MCXA156"), FLASH_STATUS_ERROR);
    EXPECT_TRUE(log_has("[FLASH] LinkServer timeout"));
    int pid = 0;
    std::ifstream(tmp_ / "pid") >> pid;
    ASSERT_GT(pid, 0);
    EXPECT_NE(kill(pid, 0), 0) << "the flasher is gone, not left running";
}

}  // namespace
