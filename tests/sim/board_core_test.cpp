// Exceptions, sleep and priorities with a small SRAM program that
// binutils assembles at run time; each scenario starts at its label.
#include "board_helpers_test.h"

using namespace board_test;

namespace {

const char* const kSource = R"(
.org 0
 .word 0x20008000, 0, 0, hf+1, 0, 0, 0, 0, 0, 0, 0, svc_h+1, 0, 0, pendsv_h+1, systick_h+1, irq0_h+1, irq1_h+1
.org 0x80
wfi_test: ldr r0, =0xE000E010; ldr r1, =999; str r1, [r0, #4]; movs r1, #0; str r1, [r0, #8]; movs r1, #7; str r1, [r0]
1: wfi; adds r4, #1; b 1b
svc_test: mov r8, sp
svc_at: svc #3
svc_done: bkpt #2
nvic_test: ldr r0, =0xE000E100; movs r1, #1; str r1, [r0]; cpsid i   @ ISER0: IRQ0
 ldr r0, =0xE000EF00; movs r1, #0; str r1, [r0]; movs r4, #1; cpsie i   @ STIR: IRQ0 pending
 movs r4, #2; bkpt #3
psp_test: ldr r0, =0x20006000; msr psp, r0; movs r0, #3; msr control, r0; isb   @ SPSEL, nPRIV
 mov r8, sp; svc #4; psp_ret: mov r9, sp; bkpt #4
basepri_test: ldr r0, =0xE000ED20; movs r1, #0x80; strb r1, [r0, #2]; msr basepri, r1   @ PendSV prio 0x80
 ldr r0, =0xE000ED04; ldr r1, =0x10000000; str r1, [r0]; movs r4, #1   @ PENDSVSET
 movs r1, #0x40; msr basepri, r1; movs r4, #2; movs r1, #0; msr basepri, r1; movs r4, #3; bkpt #5
it_test: ldr r0, =0xE000E010; movs r1, #6; str r1, [r0, #4]; movs r1, #7; str r1, [r0]; movs r1, #0; movs r0, #0
2: cmp r0, r0; ite eq; addeq r2, #1; movne r1, #1; b 2b
store_test: ldr r0, =0x40080000; str r1, [r0], #4
store_done: b .
hf: b hf
svc_h: adds r5, #1; mrs r10, ipsr; mov r11, lr; bx lr
pendsv_h: mov r6, r4; bx lr
systick_h: adds r5, #1; bx lr
irq0_h: mov r6, r4; mrs r10, ipsr; bx lr
irq1_h: ldr r0, =0xFFFFFFF1; bx r0   @ "return to a handler" with nothing below
.ltorg
)";

const Program& prog() { static const Program p = assemble(kSource, 0x20000000); return p; }
uint32_t at(const char* label) { return prog().sym.at(label); }

// Halted, the program loaded, VTOR on it, MSP and PC set, `init` written.
BoardPtr start(const char* label, std::initializer_list<Word> init = {}) {
    BoardPtr bp = make_board();
    SimBoard* b = bp.get();
    EXPECT_TRUE(sim_board_load_image(b, 0x20000000, prog().bytes.data(), prog().bytes.size()));
    halt(b);
    set_words(b, {{VTOR, 0x20000000}, {SIM_REG_MSP, 0x20008000}, {SIM_REG_DEBUG_RETURN, at(label)}, {SIM_REG_XPSR, 1u << 24}});
    set_words(b, init);
    return bp;
}
void go(SimBoard* b, uint64_t ns = 10 * 1000) { dhcsr(b, SIM_DHCSR_C_DEBUGEN), sim_board_run(b, ns); }

} // namespace

struct BoardCore : testing::Test {
    void SetUp() override { if (prog().bytes.empty()) GTEST_SKIP() << "arm-none-eabi binutils not available"; }
};

// Each scenario runs 10 us; then the core's state and the words listed.
TEST_F(BoardCore, ExceptionScenariosEndInTheRightState) {
    enum State { halted, running, locked };
    struct Case { const char *why, *label; std::initializer_list<Word> init; State state; std::initializer_list<Word> want; };
    const uint32_t frame = 0x20007FFC - 0x24, fault_pc = 0x20008000 - 0x20 + 24; // stacked PC on the MSP
    const Case cases[] = {
        {"SVC from an MSP at 4 mod 8: the frame is realigned (xPSR bit 9), flags and GE restored", "svc_test",
         {{SIM_REG_MSP, 0x20007FFC}, {SIM_REG_XPSR, 0x91050000}}, halted,
         {{SIM_REG_DEBUG_RETURN, at("svc_done")}, {5, 1}, {10, 11}, {11, 0xFFFFFFF9}, {frame + 24, at("svc_done")},
          {frame + 28, 0x91050200}, {SIM_REG_XPSR, 0x91050000}, {SIM_REG_SP, 0x20007FFC}, {8, 0x20007FFC},
          {SHCSR, 0}}},
        {"a pending IRQ waits for PRIMASK, then preempts before the next instruction", "nvic_test", {}, halted,
         {{6, 1}, {10, 16}, {0xE000E200, 0}, {0xE000E100, 1}}},
        {"BASEPRI 0x80 and 0x40 mask priority 0x80, 0 lets it in", "basepri_test", {}, halted, {{6, 2}, {4, 3}}},
        {"from unprivileged thread mode on the PSP: the frame goes there, and back", "psp_test", {}, halted,
         {{11, 0xFFFFFFFD}, {8, 0x20006000}, {9, 0x20006000}, {SIM_REG_MSP, 0x20008000},
          {SIM_REG_CONTROL_PACKED, 0x03000000}, {0x20006000 - 0x20 + 24, at("psp_ret")}}},
        {"SVC under PRIMASK escalates", "svc_at", {{SIM_REG_CONTROL_PACKED, 1}}, running,
         {{kIpsr, 3}, {SIM_REG_DEBUG_RETURN, at("hf")}, {CFSR, 0}, {HFSR, SIM_HFSR_FORCED}, {fault_pc, at("svc_done")}}},
        {"CCM is on the data bus only", "svc_done", {{SIM_REG_DEBUG_RETURN, 0x10000000}}, running,
         {{kIpsr, 3}, {CFSR, SIM_CFSR_IBUSERR}, {HFSR, SIM_HFSR_FORCED}, {fault_pc, 0x10000000}}},
        {"the system region is Execute Never", "svc_done", {{SIM_REG_DEBUG_RETURN, 0xE0001000}}, running,
         {{kIpsr, 3}, {CFSR, SIM_CFSR_IACCVIOL}, {HFSR, SIM_HFSR_FORCED}, {fault_pc, 0xE0001000}}},
        {"nothing at 0x60000000", "svc_done", {{SIM_REG_DEBUG_RETURN, 0x60000000}}, running,
         {{kIpsr, 3}, {CFSR, SIM_CFSR_IBUSERR}, {HFSR, SIM_HFSR_FORCED}, {fault_pc, 0x60000000}}},
        {"a buffered store to nothing: imprecise, taken after it, its writeback done", "store_test", {}, running,
         {{kIpsr, 3}, {CFSR, SIM_CFSR_IMPRECISERR}, {HFSR, SIM_HFSR_FORCED}, {fault_pc, at("store_done")},
          {fault_pc - 24, 0x40080004}}},
        {"ACTLR.DISDEFWBUF: the same store is precise", "store_test", {{0xE000E008, 2}}, running,
         {{kIpsr, 3}, {CFSR, SIM_CFSR_PRECISERR | SIM_CFSR_BFARVALID}, {BFAR, 0x40080000},
          {fault_pc, at("store_done") - 4}, {fault_pc - 24, 0x40080000}}},
        {"exception return to a handler with none active below", "svc_done", {{0xE000E100, 2}, {0xE000E200, 2}},
         running, {{kIpsr, 3}, {CFSR, SIM_CFSR_INVPC}, {HFSR, SIM_HFSR_FORCED}}},
        {"IRQ 16's vector lies past SRAM (VTOR bits 6:0 do not exist)", "svc_done",
         {{0x2001FF80 + 12, at("hf") | 1}, {VTOR, 0x2001FF80 | 0x40}, {0xE000E100, 1u << 16}, {0xE000E200, 1u << 16}},
         running, {{VTOR, 0x2001FF80}, {kIpsr, 3}, {SIM_REG_DEBUG_RETURN, at("hf")}, {HFSR, SIM_HFSR_VECTTBL}}},
        {"the HardFault vector is unreadable too: nothing stacked", "svc_at", {{VTOR, 0x20020000}}, locked,
         {{SIM_REG_MSP, 0x20008000}, {SIM_REG_DEBUG_RETURN, 0xFFFFFFFE}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        BoardPtr bp = start(c.label, c.init);
        SimBoard* b = bp.get();
        go(b);
        EXPECT_EQ(sim_board_is_halted(b), c.state == halted);
        EXPECT_EQ(sim_board_is_locked_up(b), c.state == locked);
        EXPECT_EQ((dbg_read(b, DHCSR) & SIM_DHCSR_S_LOCKUP) != 0, c.state == locked);
        expect_words(b, c.want);
    }
}

TEST_F(BoardCore, WfiSleepsUntilSysTickWakesTheCore) {
    BoardPtr bp = start("wfi_test", {{4, 0}, {5, 0}});
    SimBoard* b = bp.get();
    go(b);
    EXPECT_TRUE(dbg_read(b, DHCSR) & SIM_DHCSR_S_SLEEP);
    const uint64_t n0 = sim_board_instr_count(b);
    sim_board_run(b, 1 * kMs); // RVR 999 on the 16 MHz core clock: 16 wake-ups
    EXPECT_NEAR(reg(b, 5), 16.0, 1.0);
    EXPECT_EQ(reg(b, 4), reg(b, 5)); // one pass of the loop per wake-up
    EXPECT_LT(sim_board_instr_count(b) - n0, 16u * 10);
}

// SysTick every 7 cycles against a 5-instruction loop holding an IT block:
// interrupts arrive at every position; the block must behave as written.
TEST_F(BoardCore, InterruptsNeverBreakAnItBlock) {
    BoardPtr bp = start("it_test", {{2, 0}, {5, 0}});
    SimBoard* b = bp.get();
    go(b, 1 * kMs);
    expect_words(b, {{1, 0}, {CFSR, 0}}); // MOVNE never executed, no fault
    EXPECT_GT(reg(b, 5), 100u);
    EXPECT_GT(reg(b, 2), 100u);
}
