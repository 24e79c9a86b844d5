// Fault analysis on the simulated board: each of the demo firmware's faults
// caught and explained, and what run control does at a fault stop.
#include "board_run.h"
#include "platform/paths.h"
#include "sim/board.h"
#include "tests/sim/demo_faults.h"
#include "tests/symbols/oracle.h"

namespace {

HardFaultInfo published() {
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    return g_hardfault;
}

class FaultBoard : public ::testing::Test {
protected:
    void start(const char* fw) {
        b_ = std::make_unique<BoardRun>(fw);
        ASSERT_TRUE(b_->ok()) << b_->rig.err;
    }
    // Typed into g_fault_trigger while the firmware runs, as in the Watch tab.
    bool trigger(uint32_t which) {
        uint32_t at = nm_symbols(b_->path)["g_fault_trigger"];
        return at && b_->write(PROBE_WRITE_MEM, at, which) && wait_for([] { return published().valid; });
    }
    uint32_t demcr() { return b_->rig.word(0xE000EDFC); }
    std::unique_ptr<BoardRun> b_;
};

class FaultOnBoard : public FaultBoard, public ::testing::WithParamInterface<std::tuple<const char*, DemoFault>> {};

}  // namespace

TEST_P(FaultOnBoard, CaughtAndExplained) {
    const DemoFault& d = std::get<1>(GetParam());
    start(std::get<0>(GetParam()));
    ASSERT_TRUE(trigger(d.trigger));
    const HardFaultInfo f = published();
    EXPECT_TRUE(g_is_halted && f.exception_nr == 3 && f.hfsr == 1u << 30) << "the demo enables no configurable fault: each escalates";
    EXPECT_EQ(f.cfsr, d.cfsr);
    EXPECT_TRUE(f.bfar_valid == (d.bfar != 0) && f.bfar == d.bfar) << std::hex << f.bfar;
    EXPECT_NE(std::string(f.summary).find(d.said), std::string::npos) << f.summary;
    EXPECT_EQ(f.frame_valid, d.site != nullptr);
    EXPECT_TRUE(log_has("[FAULT] Vector catch: the core stopped on entering HardFault"));
    if (!d.site) {
        EXPECT_TRUE(log_has("[FAULT] Cannot read exception frame"));
        return;
    }
    // Where the function's symbol is, objdump starts an instruction, and the fault is there.
    uint32_t at = 0;
    for (const FuncRow& r : readelf_funcs(b_->path))
        if (r.name == d.site) at = r.addr + d.past;
    EXPECT_TRUE(objdump_insn_starts(b_->path).count(at) && f.frame_pc == at) << d.site << std::hex << " " << f.frame_pc;
    EXPECT_EQ(!(f.frame_xpsr & (1u << 24)), d.trigger == 4) << "only the branch to an even address clears T";
    LineRow src{0, 0, ""};
    for (const LineRow& r : objdump_lines(b_->path))
        if (std::get<0>(r) <= at && std::get<0>(r) >= std::get<0>(src)) src = r;
    EXPECT_TRUE(path_base_name(f.fault_file) == std::get<2>(src) && f.fault_line == std::get<1>(src)) << f.fault_line;
}

INSTANTIATE_TEST_SUITE_P(Demo, FaultOnBoard,
                         ::testing::Combine(::testing::Values("demo_O0_dwarf4.elf", "demo_O2_dwarf4.elf"),
                                            ::testing::ValuesIn(kDemoFaults)),
                         [](const auto& p) {
                             return std::string(std::get<0>(p.param) + 5, 2) + "_trigger" + std::to_string(std::get<1>(p.param).trigger);
                         });

// Continue re-enters the handler and says so; Pause analyses again; Reset clears the report;
// a step into a fault reports it; the target gets its own vector-catch bits back at release.
TEST_F(FaultBoard, ContinuePauseResetStepRelease) {
    start("demo_O2_dwarf4.elf");
    EXPECT_EQ(demcr() & 0x7F0u, 0x7F0u) << "the fault catches are set while connected";
    ASSERT_TRUE(trigger(1));
    ASSERT_TRUE(b_->run(PROBE_CMD_RESUME));
    EXPECT_TRUE(log_has("[FAULT] Continue from a fault stop: the core re-enters the HardFault handler"));
    ASSERT_TRUE(b_->run(PROBE_CMD_HALT));
    EXPECT_EQ(log_count_of("[FAULT] Analysis complete"), 2) << "the Pause in the handler";
    ASSERT_TRUE(b_->run(PROBE_CMD_RESET));
    EXPECT_FALSE(published().valid);
    // Stepped from the UDF with SP 4 off an 8-byte boundary: the core pads the frame and
    // sets the stacked xPSR's bit 9, and the call stack must still give fault_udf that SP.
    const uint32_t udf = nm_symbols(b_->path)["fault_udf"] & ~1u, sp = 0x2001F004;
    ASSERT_TRUE(b_->write(PROBE_WRITE_REG, 15, udf | 1) && b_->write(PROBE_WRITE_REG, 13, sp) && b_->run(PROBE_CMD_STEP_ASM));
    EXPECT_TRUE(wait_for([] { return published().valid; }) && published().frame_pc == udf && (published().frame_xpsr & 0x200))
        << std::hex << published().frame_xpsr;
    EXPECT_TRUE(wait_for([&] {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        const UnwindFrame* f = g_stack_frames;
        return g_stack_frames_valid && g_stack_frame_count >= 3 && f[1].is_exception && !strcmp(f[2].func, "fault_udf") && f[2].sp == sp;
    })) << "fault_udf's frame with SP 0x2001F004";
    EXPECT_TRUE(b_->stop());
    EXPECT_EQ(demcr() & 0x7F0u, 0u) << "the target had none of them";
}

TEST(FaultReport, AFullSummaryTakesNoMoreAndStaysTerminated) {
    HardFaultInfo r{};
    for (int i = 0; i < 8; ++i) hf_append(&r, std::string(600, 'x').c_str());
    EXPECT_EQ(strlen(r.summary), sizeof r.summary - 1);
    EXPECT_EQ(r.summary[sizeof r.summary - 1], 0);
}
