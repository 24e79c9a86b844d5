// Lazy FP state preservation (FPCCR.LSPEN): thread code with an FP context calls SVC; the handler
// (r7 selects) runs FP instructions or not and halts on a BKPT; the thread halts again, S0 in r4.
#include "board_helpers_test.h"

using namespace board_test;

namespace {

const char* const kSource = R"(
.fpu fpv4-sp-d16
.org 0
 .word 0x20008000, 0, 0, hf+1, 0, 0, 0, 0, 0, 0, 0, svc_h+1
.org 0x80
start: ldr r0, =0x3F800000; vmov s0, r0; svc #0
 vmov r4, s0; bkpt #2
svc_h: ldr r3, =0xDEAD; cmp r7, #1; beq 1f; cmp r7, #3; beq 3f; cmp r7, #2; bne 2f
 it ne; vmovne s0, r3   @ r7 = 2: fails
2: bkpt #1; bx lr
1: vmov s0, r3; bkpt #1; bx lr
3: ite ne; vmovne s0, r3; vmoveq s1, r3; bkpt #1; bx lr   @ the first fails, the second executes
hf: bkpt #3
.ltorg
)";

constexpr uint32_t FPCCR = 0xE000EF34, FPCAR = 0xE000EF38, kOne = 0x3F800000, kMarker = 0xA5A5A5A5;
constexpr uint32_t kSlotS0 = 0x20008000 - 0x68 + 0x20; // MSP 0x20008000: the FP frame's S0
// Exception entry clears CONTROL.FPCA (bit 2): a handler starts without an FP context of its own.
constexpr uint32_t kControl = SIM_REG_CONTROL_PACKED; // CONTROL in bits 31:24
// ASPEN | LSPEN, and what an entry from privileged Thread mode sets: LSPACT, THREAD, HFRDY.
constexpr uint32_t kEntry = 0xC0000019;

} // namespace

TEST(BoardLazyFp, EntryReservesTheFirstFpInstructionPreservesReturnRestoresOrKeeps) {
    const Program p = assemble(kSource, 0x20000000);
    if (p.bytes.empty() && run_capture("arm-none-eabi-as --version").empty())
        GTEST_SKIP() << "arm-none-eabi binutils not available";
    ASSERT_FALSE(p.bytes.empty()) << "the program did not assemble";
    struct Case { const char* why; std::initializer_list<Word> init, in_handler, after; };
    const Case cases[] = {
        {"no FP in the handler: space reserved, S0 kept in the register", {{7, 0}},
         {{FPCCR, kEntry}, {FPCAR, kSlotS0}, {kSlotS0, kMarker}, {kControl, 0}}, {{4, kOne}, {FPCCR, kEntry & ~1u}}},
        {"FP in the handler: S0 preserved first, restored by the return", {{7, 1}},
         {{FPCCR, kEntry & ~1u}, {kSlotS0, kOne}, {SIM_REG_S0, 0xDEAD}}, {{4, kOne}, {FPCCR, kEntry & ~1u}}},
        {"an FP instruction failing its IT condition preserves nothing", {{7, 2}},
         {{FPCCR, kEntry}, {kSlotS0, kMarker}, {SIM_REG_S0, kOne}, {kControl, 0}}, {{4, kOne}}},
        {"ITE: the FP instruction failing its condition leaves S0, the one executing preserves", {{7, 3}},
         {{FPCCR, kEntry & ~1u}, {kSlotS0, kOne}, {SIM_REG_S0, kOne}, {SIM_REG_S0 + 1, 0xDEAD}}, {{4, kOne}}},
        {"LSPEN clear: stacked at entry, FPCCR and FPCAR untouched", {{7, 1}, {FPCCR, 1u << 31}},
         {{FPCCR, 1u << 31}, {FPCAR, 0}, {kSlotS0, kOne}}, {{4, kOne}}},
        {"unprivileged Thread mode, BusFault enabled: USER and BFRDY too",
         {{7, 0}, {SIM_REG_CONTROL_PACKED, 1u << 24}, {SHCSR, SIM_SHCSR_BUSFAULTENA}},
         {{FPCCR, kEntry | 0x42}, {kControl, 1u << 24}}, {{4, kOne}}},
        {"the lazy write runs off SRAM: LSPERR, escalated to HardFault at the FP instruction",
         {{7, 1}, {SIM_REG_MSP, 0x20020030}},
         {{kIpsr, 3}, {CFSR, SIM_CFSR_LSPERR}, {HFSR, SIM_HFSR_FORCED}, {FPCCR, kEntry}, {kControl, 0}},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        BoardPtr bp = make_board();
        SimBoard* b = bp.get();
        ASSERT_TRUE(sim_board_load_image(b, 0x20000000, p.bytes.data(), p.bytes.size()));
        for (uint32_t a = kSlotS0; a < kSlotS0 + 0x48; a += 4) dbg_write(b, a, kMarker);
        halt(b);
        set_words(b, {{VTOR, 0x20000000}, {SIM_REG_MSP, 0x20008000}, {SIM_REG_DEBUG_RETURN, p.sym.at("start")},
                      {SIM_REG_XPSR, 1u << 24}, {0xE000ED88, 0xFu << 20}});
        set_words(b, c.init);
        for (auto want : {c.in_handler, c.after}) {
            if (!want.size()) break;
            dhcsr(b, SIM_DHCSR_C_DEBUGEN);
            sim_board_run(b, 10 * 1000);
            ASSERT_TRUE(sim_board_is_halted(b));
            expect_words(b, want);
            set_words(b, {{SIM_REG_DEBUG_RETURN, reg(b, SIM_REG_DEBUG_RETURN) + 2}}); // past the BKPT
        }
    }
}
