// Fault analysis: the report's edge cases on a scripted target, and each of
// the demo firmware's faults caught and explained on the simulated board.
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "board_run.h"
#include "sim/board.h"
#include "symbols/elf_dwarf.h"
#include "tests/sim/demo_faults.h"
#include "tests/symbols/oracle.h"

namespace {

// A target made of registers by DCRSR selector and readable words.
std::map<uint32_t, uint32_t> s_regs, s_mem;
const FaultTarget kFake = {
    [](const uint8_t* sel, int n, uint32_t* v) {
        for (int i = 0; i < n; ++i) v[i] = s_regs[sel[i]];
        return true;
    },
    [](uint32_t a, uint8_t* out, uint32_t len) {
        for (uint32_t k = 0; k < len; k += 4) {
            if (!s_mem.count(a + k)) return false;
            memcpy(out + k, &s_mem[a + k], 4);
        }
        return true;
    },
    [](uint32_t a, uint32_t v) { return s_mem[a] &= ~v, true; }};

// A stop in HardFault on the main stack unless a row says otherwise.
struct Edge {
    const char* what = "";
    uint32_t ipsr = 3, exc_return = 0xFFFFFFF9, cfsr = 0, frame_pc = 0x08000100, frame_xpsr = 1u << 24;
    bool frame_readable = true, image = false;
    std::vector<const char*> has = {}, lacks = {};
    const char* last_line = nullptr;
};

HardFaultInfo published() {
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    return g_hardfault;
}

}  // namespace

TEST(FaultEdge, Table) {
    const uint32_t kMsp = 0x20001F00, kPsp = 0x20000F00;
    ElfDwarf* elf = elf_dwarf_load(KORVANE_DEMO_FW_DIR "/demo_O0_dwarf4.elf");
    ASSERT_NE(elf, nullptr);
    const Edge rows[] = {
        {.what = "thread mode clears the last report", .ipsr = 0},
        {.what = "imprecise bus fault", .cfsr = 0x0400, .has = {"BFSR.IMPRECISERR: faulting addr unknown"},
         .lacks = {"BFAR"}, .last_line = "NOTE: Imprecise bus fault \xE2\x80\x94 stacked PC may not be exact."},
        {.what = "process stack", .ipsr = 6, .exc_return = 0xFFFFFFFD, .cfsr = 1u << 16,
         .has = {"stack=PSP  frame_base=0x20000F00", "UFSR.UNDEFINSTR"}, .lacks = {"+FPU"}},
        {.what = "FP-extended frame on the main stack", .exc_return = 0xFFFFFFE9,
         .has = {"stack=MSP+FPU  frame_base=0x20001F00", "Stacked PC=0x08000100"}},
        {.what = "pc in SRAM is plausible", .frame_pc = 0x20001000, .lacks = {"PC outside"}},
        {.what = "pc in the peripherals is not", .frame_pc = 0x40001000, .has = {"WARNING: PC outside executable regions"}},
        {.what = "pc in the system region is not", .frame_pc = 0xE0000000, .has = {"WARNING: PC outside executable regions"}},
        {.what = "Thumb bit clear", .cfsr = 1u << 17, .frame_xpsr = 0, .has = {"UFSR.INVSTATE", "WARNING: Stacked xPSR.T=0"}},
        {.what = "zeroed frame", .frame_pc = 0, .frame_xpsr = 0, .image = true,
         .has = {"WARNING: Stacked xPSR.T=0", "WARNING: PC outside executable regions"}, .lacks = {"Source"}},
        {.what = "unreadable frame", .cfsr = 1u << 12, .frame_readable = false,
         .has = {"BFSR.STKERR", "WARNING: Could not read exception stack frame"}, .lacks = {"Stacked PC"}},
        {.what = "no image: no source line", .lacks = {"Source"}},
        {.what = "image without the pc's line", .frame_pc = 0x20001000, .image = true,
         .has = {"Source location: no DWARF info for faulting PC"}},
    };
    fault_set_target(&kFake);
    for (const Edge& e : rows) {
        SCOPED_TRACE(e.what);
        s_mem.clear();
        s_regs = {{13, kMsp}, {14, e.exc_return}, {16, e.ipsr}, {18, kPsp}};
        s_mem[0xE000ED28] = e.cfsr, s_mem[0xE000ED2C] = 0x40000000, s_mem[0xE000ED30] = 0;
        s_mem[0xE000ED34] = 0, s_mem[0xE000ED38] = 0;
        uint32_t base = (e.exc_return & 4) ? kPsp : kMsp;
        for (uint32_t k = 0; k < 8 && e.frame_readable; ++k) s_mem[base + 4 * k] = k == 6 ? e.frame_pc : k == 7 ? e.frame_xpsr : k;
        fault_set_image(e.image ? elf : nullptr);
        {
            std::lock_guard<std::mutex> lk(reg_buf_mtx);
            g_hardfault.valid = true;  // the last halt's report
        }
        EXPECT_EQ(hardfault_check(nullptr, nullptr), e.ipsr != 0);
        HardFaultInfo f = published();
        EXPECT_EQ(f.valid, e.ipsr != 0);
        EXPECT_EQ(f.frame_valid, e.ipsr && e.frame_readable);
        std::string s = f.summary;
        for (const char* h : e.has) EXPECT_NE(s.find(h), std::string::npos) << h << " in\n" << s;
        for (const char* l : e.lacks) EXPECT_EQ(s.find(l), std::string::npos) << l << " in\n" << s;
        if (e.last_line) {
            EXPECT_EQ(s.substr(s.rfind('\n') + 1), e.last_line);
        }
    }
    // An ordinary stop reason clears without reading anything.
    s_regs.clear();
    EXPECT_FALSE(hardfault_check("BREAKPOINT", nullptr));
    EXPECT_FALSE(published().valid);
    // A full summary takes no more and stays terminated.
    HardFaultInfo r{};
    std::string longest(600, 'x');
    for (int i = 0; i < 8; ++i) hf_append(&r, longest.c_str());
    EXPECT_EQ(strlen(r.summary), sizeof r.summary - 1);
    EXPECT_EQ(r.summary[sizeof r.summary - 1], 0);
    fault_set_target(nullptr);
    fault_set_image(nullptr);
    elf_dwarf_free(elf);
}

namespace {

class FaultBoard : public ::testing::Test {
protected:
    void start(const char* fw) {
        b_ = std::make_unique<BoardRun>(fw);
        ASSERT_TRUE(b_->ok()) << b_->rig.err;
        path_ = b_->path;
    }
    bool write(ProbeWriteKind kind, uint32_t addr, uint32_t v) { return b_->write(kind, addr, v); }
    bool post(int cmd) { return b_->run(cmd); }
    // Typed into g_fault_trigger while the firmware runs, as in the Watch tab.
    bool trigger(uint32_t which) {
        uint32_t at = nm_symbols(path_)["g_fault_trigger"];
        return at && write(PROBE_WRITE_MEM, at, which) && wait_for([] { return published().valid; });
    }
    uint32_t demcr() {
        SimMemPort p = sim_board_debug_port(b_->rig.board());
        uint32_t v = 0;
        b_->rig.lock();
        p.read(p.ctx, 0xE000EDFC, 4, &v);
        b_->rig.unlock();
        return v;
    }
    std::string path_;
    std::unique_ptr<BoardRun> b_;
};

class FaultOnBoard : public FaultBoard, public ::testing::WithParamInterface<std::tuple<const char*, DemoFault>> {};

}  // namespace

TEST_P(FaultOnBoard, CaughtAndExplained) {
    const DemoFault& d = std::get<1>(GetParam());
    start(std::get<0>(GetParam()));
    ASSERT_TRUE(trigger(d.trigger));
    HardFaultInfo f = published();
    EXPECT_TRUE(g_is_halted);
    EXPECT_EQ(f.exception_nr, 3u) << "the demo enables no configurable fault: each escalates";
    EXPECT_EQ(f.hfsr, 1u << 30);
    EXPECT_EQ(f.cfsr, d.cfsr);
    EXPECT_EQ(f.bfar_valid, d.bfar != 0);
    EXPECT_EQ(f.bfar, d.bfar);
    EXPECT_NE(std::string(f.summary).find(d.said), std::string::npos) << f.summary;
    EXPECT_EQ(f.frame_valid, d.site != nullptr);
    EXPECT_TRUE(log_has("[FAULT] Vector catch: the core stopped on entering HardFault"));
    if (!d.site) {
        EXPECT_TRUE(log_has("[FAULT] Cannot read exception frame"));
        return;
    }
    // Where the function's symbol is, objdump starts an instruction, and the fault is there.
    uint32_t at = 0;
    for (const FuncRow& r : readelf_funcs(path_))
        if (r.name == d.site) at = r.addr + d.past;
    EXPECT_TRUE(objdump_insn_starts(path_).count(at)) << d.site;
    EXPECT_EQ(f.frame_pc, at);
    EXPECT_EQ(!(f.frame_xpsr & (1u << 24)), d.trigger == 4) << "only the branch to an even address clears T";
    LineRow src{0, 0, ""};
    for (const LineRow& r : objdump_lines(path_))
        if (std::get<0>(r) <= at && std::get<0>(r) >= std::get<0>(src)) src = r;
    EXPECT_EQ(path_base_name(f.fault_file), std::get<2>(src));
    EXPECT_EQ(f.fault_line, std::get<1>(src));
}

INSTANTIATE_TEST_SUITE_P(Demo, FaultOnBoard,
                         ::testing::Combine(::testing::Values("demo_O0_dwarf4.elf", "demo_O2_dwarf4.elf"),
                                            ::testing::ValuesIn(kDemoFaults)),
                         [](const auto& p) {
                             std::string elf = std::get<0>(p.param);
                             return elf.substr(5, 2) + "_trigger" + std::to_string(std::get<1>(p.param).trigger);
                         });

// Continue re-enters the handler and says so; a Pause there analyses again;
// Reset clears the report; a one-instruction step into a fault reports it;
// the target gets its own vector-catch bits back when we let go.
TEST_F(FaultBoard, ContinuePauseResetStepRelease) {
    start("demo_O2_dwarf4.elf");
    EXPECT_EQ(demcr() & 0x7F0u, 0x7F0u) << "the fault catches are set while connected";
    ASSERT_TRUE(trigger(1));
    ASSERT_TRUE(post(PROBE_CMD_RESUME));
    EXPECT_TRUE(log_has("[FAULT] Continue from a fault stop: the core re-enters the HardFault handler"));
    ASSERT_TRUE(post(PROBE_CMD_HALT));
    EXPECT_EQ(log_count_of("[FAULT] Analysis complete"), 2) << "the Pause in the handler";
    ASSERT_TRUE(post(PROBE_CMD_RESET));
    EXPECT_FALSE(published().valid);
    // One instruction stepped from the UDF lands in the handler with the report.
    // Its SP is 4 off an 8-byte boundary: the core pads the frame and sets the
    // stacked xPSR's bit 9, and the call stack must still give fault_udf that SP.
    const uint32_t udf = nm_symbols(path_)["fault_udf"] & ~1u, sp = 0x2001F004;
    ASSERT_TRUE(write(PROBE_WRITE_REG, 15, udf | 1));
    ASSERT_TRUE(write(PROBE_WRITE_REG, 13, sp));
    ASSERT_TRUE(post(PROBE_CMD_STEP_ASM));
    EXPECT_TRUE(wait_for([] { return published().valid; }));
    EXPECT_EQ(published().frame_pc, udf);
    EXPECT_NE(published().frame_xpsr & 0x200, 0u);
    EXPECT_TRUE(wait_for([&] {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        const UnwindFrame* f = g_stack_frames;
        return g_stack_frames_valid && g_stack_frame_count >= 3 && f[1].is_exception && !strcmp(f[2].func, "fault_udf") &&
               f[2].sp == sp;
    })) << "fault_udf's frame with SP 0x2001F004";
    EXPECT_TRUE(b_->stop());
    EXPECT_EQ(demcr() & 0x7F0u, 0u) << "the target had none of them";
}
