// Exceptions, sleep and priorities with a small program in SRAM. The bytes
// are arm-none-eabi-as output of the source below, linked at 0x20000000
// (arm-none-eabi-ld -Ttext=0x20000000); r7 selects the scenario.
/*
.syntax unified
.thumb
.org 0
 .word 0x20008000, main+1, 0, hf+1, 0, 0, 0, 0, 0, 0, 0, svc_h+1, 0, 0, pendsv_h+1, systick_h+1
 .word irq0_h+1
.org 0x80
main:
 cmp r7, #1
 beq wfi_test
 cmp r7, #2
 beq svc_test
 cmp r7, #3
 beq nvic_test
 cmp r7, #4
 beq psp_test
 cmp r7, #5
 beq basepri_test
 bkpt #0xEE
wfi_test:
 ldr r0, =0xE000E010
 ldr r1, =999
 str r1, [r0, #4]
 movs r1, #0
 str r1, [r0, #8]
 movs r1, #7
 str r1, [r0]
1: wfi
 adds r4, #1
 b 1b
svc_test:
 mov r8, sp
 svc #3
 bkpt #2
nvic_test:
 ldr r0, =0xE000E100
 movs r1, #1
 str r1, [r0]          @ ISER0: IRQ0 enabled
 cpsid i
 ldr r0, =0xE000EF00
 movs r1, #0
 str r1, [r0]          @ STIR: IRQ0 pending
 movs r4, #1
 cpsie i
 movs r4, #2
 bkpt #3
psp_test:
 ldr r0, =0x20006000
 msr psp, r0
 movs r0, #3
 msr control, r0       @ SPSEL=1, nPRIV=1
 isb
 mov r8, sp
 svc #4
 mov r9, sp
 bkpt #4
basepri_test:
 ldr r0, =0xE000ED20   @ SHPR3: PendSV priority 0x80
 movs r1, #0x80
 strb r1, [r0, #2]
 movs r1, #0x80
 msr basepri, r1
 ldr r0, =0xE000ED04
 ldr r1, =0x10000000
 str r1, [r0]          @ PENDSVSET
 movs r4, #1
 movs r1, #0x40        @ BASEPRI 0x40 still masks priority 0x80
 msr basepri, r1
 movs r4, #2
 movs r1, #0
 msr basepri, r1
 movs r4, #3
 bkpt #5
hf: b hf
svc_h:
 adds r5, #1
 mrs r10, ipsr
 mov r11, lr
 bx lr
pendsv_h:
 mov r6, r4
 bx lr
systick_h:
 adds r5, #1
 bx lr
irq0_h:
 mov r6, r4
 mrs r10, ipsr
 bx lr
.ltorg
*/
#include "board_helpers_test.h"

using namespace board_test;

namespace {

const uint8_t kProg[] = {
  0x00, 0x80, 0x00, 0x20, 0x81, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00,
  0x09, 0x01, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0b, 0x01, 0x00, 0x20,
  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x15, 0x01, 0x00, 0x20,
  0x19, 0x01, 0x00, 0x20, 0x1d, 0x01, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00,
  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x2f, 0x08, 0xd0,
  0x02, 0x2f, 0x11, 0xd0, 0x03, 0x2f, 0x12, 0xd0, 0x04, 0x2f, 0x1b, 0xd0,
  0x05, 0x2f, 0x25, 0xd0, 0xee, 0xbe, 0x23, 0x48, 0x40, 0xf2, 0xe7, 0x31,
  0x41, 0x60, 0x00, 0x21, 0x81, 0x60, 0x07, 0x21, 0x01, 0x60, 0x30, 0xbf,
  0x01, 0x34, 0xfc, 0xe7, 0xe8, 0x46, 0x03, 0xdf, 0x02, 0xbe, 0x1d, 0x48,
  0x01, 0x21, 0x01, 0x60, 0x72, 0xb6, 0x1c, 0x48, 0x00, 0x21, 0x01, 0x60,
  0x01, 0x24, 0x62, 0xb6, 0x02, 0x24, 0x03, 0xbe, 0x19, 0x48, 0x80, 0xf3,
  0x09, 0x88, 0x03, 0x20, 0x80, 0xf3, 0x14, 0x88, 0xbf, 0xf3, 0x6f, 0x8f,
  0xe8, 0x46, 0x04, 0xdf, 0xe9, 0x46, 0x04, 0xbe, 0x14, 0x48, 0x80, 0x21,
  0x81, 0x70, 0x80, 0x21, 0x81, 0xf3, 0x11, 0x88, 0x12, 0x48, 0x4f, 0xf0,
  0x80, 0x51, 0x01, 0x60, 0x01, 0x24, 0x40, 0x21, 0x81, 0xf3, 0x11, 0x88,
  0x02, 0x24, 0x00, 0x21, 0x81, 0xf3, 0x11, 0x88, 0x03, 0x24, 0x05, 0xbe,
  0xfe, 0xe7, 0x01, 0x35, 0xef, 0xf3, 0x05, 0x8a, 0xf3, 0x46, 0x70, 0x47,
  0x26, 0x46, 0x70, 0x47, 0x01, 0x35, 0x70, 0x47, 0x26, 0x46, 0xef, 0xf3,
  0x05, 0x8a, 0x70, 0x47, 0x10, 0xe0, 0x00, 0xe0, 0x00, 0xe1, 0x00, 0xe0,
  0x00, 0xef, 0x00, 0xe0, 0x00, 0x60, 0x00, 0x20, 0x20, 0xed, 0x00, 0xe0,
  0x04, 0xed, 0x00, 0xe0
};

constexpr uint32_t kSvcTest = 0x200000ac, kHf = 0x20000108;

// Halted at reset, the program loaded, VTOR on it, r7 = scenario.
BoardPtr start(uint32_t scenario) {
    BoardPtr bp = make_board();
    if (!bp) return bp;
    SimBoard* b = bp.get();
    EXPECT_TRUE(sim_board_load_image(b, 0x20000000, kProg, sizeof kProg));
    dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_HALT);
    sim_board_run(b, 100);
    dbg_write(b, 0xE000ED08, 0x20000000);
    EXPECT_TRUE(core_reg_write(b, SIM_REG_MSP, 0x20008000));
    EXPECT_TRUE(core_reg_write(b, SIM_REG_DEBUG_RETURN, 0x20000080));
    EXPECT_TRUE(core_reg_write(b, SIM_REG_XPSR, 1u << 24));
    EXPECT_TRUE(core_reg_write(b, 7, scenario));
    for (unsigned r : {4u, 5u, 6u}) EXPECT_TRUE(core_reg_write(b, r, 0));
    dhcsr(b, SIM_DHCSR_C_DEBUGEN);
    return bp;
}

} // namespace

TEST(BoardCore, WfiSleepsUntilSysTickWakesTheCore) {
    BoardPtr bp = start(1);
    ASSERT_TRUE(bp);
    SimBoard* b = bp.get();
    sim_board_run(b, 10 * 1000); // 10 us: set-up done, asleep
    EXPECT_TRUE(sim_board_is_sleeping(b));
    EXPECT_TRUE(dbg_read(b, DHCSR) & SIM_DHCSR_S_SLEEP);
    const uint64_t n0 = sim_board_instr_count(b);
    const uint32_t r5_0 = reg(b, 5);
    // 1000 cycles per SysTick period at 16 MHz: 16 ticks per millisecond,
    // and only a handful of instructions per tick.
    sim_board_run(b, 1 * kMs);
    EXPECT_NEAR(static_cast<double>(reg(b, 5) - r5_0), 16.0, 1.0);
    EXPECT_EQ(reg(b, 4), reg(b, 5));           // one pass of the loop per wake-up
    EXPECT_LT(sim_board_instr_count(b) - n0, 16u * 10);
    EXPECT_TRUE(sim_board_is_sleeping(b));
    // CLKSOURCE = 0: the reference clock, core clock / 8 on this part.
    dbg_write(b, 0xE000E010, 3);
    const uint32_t r5_1 = reg(b, 5);
    sim_board_run(b, 1 * kMs);
    EXPECT_NEAR(static_cast<double>(reg(b, 5) - r5_1), 2.0, 1.0);
    EXPECT_TRUE(sim_board_is_sleeping(b));
    // COUNTFLAG is set and clears when read by software (debugger reads while
    // halted leave it alone).
    dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_HALT);
    sim_board_run(b, 100);
    EXPECT_FALSE(sim_board_is_sleeping(b));
    EXPECT_TRUE(dbg_read(b, 0xE000E010) & (1u << 16));
    EXPECT_TRUE(dbg_read(b, 0xE000E010) & (1u << 16));
}

TEST(BoardCore, SvcEntersAndReturnsThroughExcReturn) {
    BoardPtr bp = start(2);
    ASSERT_TRUE(bp);
    SimBoard* b = bp.get();
    sim_board_run(b, 10 * 1000);
    ASSERT_TRUE(sim_board_is_halted(b));
    EXPECT_EQ(reg(b, SIM_REG_DEBUG_RETURN), kSvcTest + 4); // the BKPT after the SVC
    EXPECT_EQ(reg(b, 5), 1u);
    EXPECT_EQ(reg(b, 10), 11u);          // IPSR inside the handler
    EXPECT_EQ(reg(b, 11), 0xFFFFFFF9u);  // EXC_RETURN: thread, MSP, no FP
    EXPECT_EQ(reg(b, SIM_REG_XPSR) & 0x1FF, 0u);
    EXPECT_EQ(reg(b, SIM_REG_SP), reg(b, 8)); // the frame is gone
    EXPECT_EQ(dbg_read(b, SHCSR) & (1u << 7), 0u); // SVCALLACT clear again
}

TEST(BoardCore, FlagsAndGeBitsSurviveAnException) {
    BoardPtr bp = start(2);
    ASSERT_TRUE(bp);
    SimBoard* b = bp.get();
    dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_HALT);
    sim_board_run(b, 100);
    ASSERT_TRUE(core_reg_write(b, SIM_REG_DEBUG_RETURN, kSvcTest + 2)); // the SVC
    ASSERT_TRUE(core_reg_write(b, SIM_REG_XPSR, 0x91050000u));          // N, V, T, GE = 0b0101
    dhcsr(b, SIM_DHCSR_C_DEBUGEN);
    sim_board_run(b, 10 * 1000);
    ASSERT_TRUE(sim_board_is_halted(b));
    EXPECT_EQ(reg(b, SIM_REG_DEBUG_RETURN), kSvcTest + 4);
    // The handler's ADDS changed the flags; the return restored the stacked ones.
    EXPECT_EQ(reg(b, SIM_REG_XPSR), 0x91050000u);
}

TEST(BoardCore, PendingInterruptWaitsForPrimaskThenPreemptsAtOnce) {
    BoardPtr bp = start(3);
    ASSERT_TRUE(bp);
    SimBoard* b = bp.get();
    sim_board_run(b, 10 * 1000);
    ASSERT_TRUE(sim_board_is_halted(b));
    EXPECT_EQ(reg(b, 6), 1u);  // taken right after CPSIE, before the next instruction
    EXPECT_EQ(reg(b, 10), 16u); // IPSR = 16 + IRQ 0
    EXPECT_EQ(reg(b, 4), 2u);
    EXPECT_EQ(dbg_read(b, 0xE000E200), 0u); // no longer pending
    EXPECT_EQ(dbg_read(b, 0xE000E100), 1u); // still enabled
}

TEST(BoardCore, ExceptionFromUnprivilegedThreadOnPspReturnsThere) {
    BoardPtr bp = start(4);
    ASSERT_TRUE(bp);
    SimBoard* b = bp.get();
    sim_board_run(b, 10 * 1000);
    ASSERT_TRUE(sim_board_is_halted(b));
    EXPECT_EQ(reg(b, 11), 0xFFFFFFFDu);   // thread mode, PSP
    EXPECT_EQ(reg(b, 8), 0x20006000u);    // SP was the PSP before the SVC
    EXPECT_EQ(reg(b, 9), 0x20006000u);    // and after it
    EXPECT_EQ(reg(b, SIM_REG_PSP), 0x20006000u);
    EXPECT_EQ(reg(b, SIM_REG_MSP), 0x20008000u);
    EXPECT_EQ(reg(b, SIM_REG_CONTROL_PACKED) >> 24, 3u);
    // The frame went to the process stack: the stacked PC is the SVC's successor.
    EXPECT_EQ(mem32(b, 0x20006000 - 0x20 + 24), reg(b, SIM_REG_DEBUG_RETURN) - 2);
}

TEST(BoardCore, BasepriMasksByPriority) {
    BoardPtr bp = start(5);
    ASSERT_TRUE(bp);
    SimBoard* b = bp.get();
    sim_board_run(b, 10 * 1000);
    ASSERT_TRUE(sim_board_is_halted(b));
    EXPECT_EQ(reg(b, 6), 2u); // taken once BASEPRI fell to 0, not while 0x80 or 0x40
    EXPECT_EQ(reg(b, 4), 3u);
}

TEST(BoardCore, AFaultIsTakenAtItsPriorityOrEscalates) {
    BoardPtr bp = start(2);
    ASSERT_TRUE(bp);
    SimBoard* b = bp.get();
    // SVC while PRIMASK is set cannot be taken at its priority: HardFault FORCED.
    dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_HALT);
    sim_board_run(b, 100);
    ASSERT_TRUE(core_reg_write(b, SIM_REG_CONTROL_PACKED, 1));
    ASSERT_TRUE(core_reg_write(b, SIM_REG_DEBUG_RETURN, kSvcTest + 2));
    dhcsr(b, SIM_DHCSR_C_DEBUGEN);
    sim_board_run(b, 10 * 1000);
    EXPECT_FALSE(sim_board_is_halted(b));
    EXPECT_EQ(reg(b, SIM_REG_XPSR) & 0x1FF, 3u);
    EXPECT_EQ(reg(b, SIM_REG_DEBUG_RETURN), kHf);
    EXPECT_TRUE(dbg_read(b, HFSR) & SIM_HFSR_FORCED);
}

TEST(BoardCore, ExceptionReturnIntegrityChecks) {
    BoardPtr bp = start(2);
    ASSERT_TRUE(bp);
    SimBoard* b = bp.get();
    // Step into the SVC handler up to its BX LR (the FPB of an M4 only
    // matches in the code region, not in SRAM), then corrupt LR.
    dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_HALT);
    sim_board_run(b, 100);
    for (int i = 0; i < 50 && reg(b, SIM_REG_DEBUG_RETURN) != 0x20000112u; ++i) {
        dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_STEP);
        sim_board_run(b, 1000);
        ASSERT_TRUE(sim_board_is_halted(b));
    }
    ASSERT_EQ(reg(b, SIM_REG_DEBUG_RETURN), 0x20000112u);
    EXPECT_EQ(reg(b, SIM_REG_XPSR) & 0x1FF, 11u);
    ASSERT_TRUE(core_reg_write(b, SIM_REG_LR, 0xFFFFFFF1)); // "return to handler" with nothing below
    dhcsr(b, SIM_DHCSR_C_DEBUGEN);
    sim_board_run(b, 10 * 1000);
    EXPECT_TRUE(dbg_read(b, CFSR) & SIM_CFSR_INVPC);
    EXPECT_EQ(reg(b, SIM_REG_XPSR) & 0x1FF, 3u);
    EXPECT_FALSE(sim_board_is_locked_up(b));
}

TEST(BoardCore, FrameIsAlignedToEightBytesAndTheAlignmentUndone) {
    BoardPtr bp = start(2);
    ASSERT_TRUE(bp);
    SimBoard* b = bp.get();
    dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_HALT);
    sim_board_run(b, 100);
    ASSERT_TRUE(core_reg_write(b, SIM_REG_MSP, 0x20007FFC)); // 4 mod 8
    for (int i = 0; i < 20 && (reg(b, SIM_REG_XPSR) & 0x1FF) == 0; ++i) {
        dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_STEP);
        sim_board_run(b, 1000);
    }
    ASSERT_EQ(reg(b, SIM_REG_XPSR) & 0x1FF, 11u);
    EXPECT_EQ(reg(b, SIM_REG_SP), 0x20007FFCu - 0x20 - 4);
    EXPECT_TRUE(mem32(b, 0x20007FFCu - 0x24 + 28) & (1u << 9)); // stacked xPSR bit 9
    EXPECT_EQ(mem32(b, 0x20007FFCu - 0x24 + 24), kSvcTest + 4);  // return address
    dhcsr(b, SIM_DHCSR_C_DEBUGEN);
    sim_board_run(b, 10 * 1000);
    ASSERT_TRUE(sim_board_is_halted(b));
    EXPECT_EQ(reg(b, SIM_REG_SP), 0x20007FFCu);
    EXPECT_EQ(reg(b, 8), 0x20007FFCu);
    EXPECT_EQ(reg(b, SIM_REG_XPSR) & (1u << 9), 0u);
}

TEST(BoardCore, FetchesFromDataOnlyAndNeverExecuteRegionsFault) {
    struct Case {
        uint32_t pc, cfsr;
    };
    // CCM sits on the data bus only: instruction bus error. The system
    // region is Execute Never: MemManage IACCVIOL. Both escalate (disabled).
    for (const Case& c : {Case{0x10000000, SIM_CFSR_IBUSERR}, Case{0xE0001000, SIM_CFSR_IACCVIOL},
                          Case{0x60000000, SIM_CFSR_IBUSERR}}) {
        BoardPtr bp = start(2);
        ASSERT_TRUE(bp);
        SimBoard* b = bp.get();
        dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_HALT);
        sim_board_run(b, 100);
        ASSERT_TRUE(core_reg_write(b, SIM_REG_DEBUG_RETURN, c.pc));
        dhcsr(b, SIM_DHCSR_C_DEBUGEN);
        sim_board_run(b, 10 * 1000);
        EXPECT_EQ(reg(b, SIM_REG_XPSR) & 0x1FF, 3u) << std::hex << c.pc;
        EXPECT_EQ(dbg_read(b, CFSR), c.cfsr) << std::hex << c.pc;
        EXPECT_TRUE(dbg_read(b, HFSR) & SIM_HFSR_FORCED);
        EXPECT_EQ(mem32(b, reg(b, SIM_REG_MSP) + 24), c.pc);
    }
}

TEST(BoardCore, VeryLongRunsDoNotOverflowTime) {
    BoardPtr bp = start(1); // asleep between SysTicks almost all the time
    ASSERT_TRUE(bp);
    SimBoard* b = bp.get();
    sim_board_run(b, 10 * 1000);
    dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_HALT); // halted: time passes, nothing runs
    sim_board_run(b, 100);
    sim_board_run(b, UINT64_MAX / 4);
    EXPECT_TRUE(sim_board_is_halted(b));
    EXPECT_EQ(sim_board_now_ns(b), 100 + 10 * 1000 + 100 + UINT64_MAX / 4); // start() ran 100 ns
}

TEST(BoardCore, UnreadableVectorIsAHardFaultVecttbl) {
    BoardPtr bp = start(2);
    ASSERT_TRUE(bp);
    SimBoard* b = bp.get();
    dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_HALT);
    sim_board_run(b, 100);
    // A table in the last 128 bytes of SRAM: the HardFault entry is there,
    // IRQ 16's entry (exception 32, +0x80) lies past the end of SRAM.
    const uint32_t vtor = 0x2001FF80;
    dbg_write(b, vtor + 4 * 3, kHf | 1);
    dbg_write(b, 0xE000ED08, vtor | 0x40); // bits 6:0 are not part of VTOR
    EXPECT_EQ(dbg_read(b, 0xE000ED08), vtor);
    dbg_write(b, 0xE000E100, 1u << 16); // ISER0: IRQ 16
    dbg_write(b, 0xE000E200, 1u << 16); // ISPR0
    dhcsr(b, SIM_DHCSR_C_DEBUGEN);
    sim_board_run(b, 10 * 1000);
    EXPECT_EQ(reg(b, SIM_REG_XPSR) & 0x1FF, 3u);
    EXPECT_EQ(reg(b, SIM_REG_DEBUG_RETURN), kHf);
    EXPECT_TRUE(dbg_read(b, HFSR) & SIM_HFSR_VECTTBL);
    EXPECT_FALSE(sim_board_is_locked_up(b));
    // With the HardFault entry unreadable too, the core locks up.
    sim_board_system_reset(b);
    dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_HALT);
    sim_board_run(b, 100);
    dbg_write(b, 0xE000ED08, 0x20020000); // nothing there
    ASSERT_TRUE(core_reg_write(b, SIM_REG_DEBUG_RETURN, kSvcTest + 2)); // the SVC
    ASSERT_TRUE(core_reg_write(b, SIM_REG_MSP, 0x20008000));
    ASSERT_TRUE(core_reg_write(b, SIM_REG_XPSR, 1u << 24));
    dhcsr(b, SIM_DHCSR_C_DEBUGEN);
    sim_board_run(b, 10 * 1000);
    EXPECT_TRUE(sim_board_is_locked_up(b));
    EXPECT_TRUE(dbg_read(b, DHCSR) & SIM_DHCSR_S_LOCKUP);
    EXPECT_EQ(reg(b, SIM_REG_MSP), 0x20008000u); // nothing was stacked
}

TEST(BoardCore, SoftwareResetRequestResetsTheSystem) {
    BoardPtr bp = make_board();
    ASSERT_TRUE(bp);
    SimBoard* b = bp.get();
    // Flash: vectors, then  ldr r0,=AIRCR ; ldr r1,=0x05FA0004 ; str r1,[r0] ; b .
    const uint32_t vectors[2] = {0x20001000, 0x08000009};
    const uint8_t prog[] = {0x01, 0x48, 0x02, 0x49, 0x01, 0x60, 0xFE, 0xE7,
                            0x0C, 0xED, 0x00, 0xE0, 0x04, 0x00, 0xFA, 0x05};
    ASSERT_TRUE(sim_board_load_image(b, 0x08000000, reinterpret_cast<const uint8_t*>(vectors), sizeof vectors));
    ASSERT_TRUE(sim_board_load_image(b, 0x08000008, prog, sizeof prog));
    sim_board_system_reset(b);
    dhcsr(b, SIM_DHCSR_C_DEBUGEN);
    (void)dbg_read(b, DHCSR);
    // It resets itself every four instructions and never reaches the loop.
    for (int i = 0; i < 5; ++i) {
        sim_board_run(b, 1000); // 16 cycles
        EXPECT_TRUE(dbg_read(b, DHCSR) & SIM_DHCSR_S_RESET_ST);
        EXPECT_LE(reg(b, SIM_REG_DEBUG_RETURN), 0x0800000Eu);
    }
    // VC_CORERESET catches the next one at the reset vector.
    dbg_write(b, DEMCR, SIM_DEMCR_VC_CORERESET);
    sim_board_run(b, 1000);
    ASSERT_TRUE(sim_board_is_halted(b));
    EXPECT_EQ(reg(b, SIM_REG_DEBUG_RETURN), 0x08000008u);
    EXPECT_EQ(dbg_read(b, DFSR) & SIM_DFSR_VCATCH, SIM_DFSR_VCATCH);
}

// SysTick every 7 cycles against a 5-instruction loop holding an IT block:
// interrupts arrive at every position, and the block must behave as written.
//   main: SysTick RVR = 6, CSR = 7; r0 = r1 = 0
//   1: cmp r0, r0 ; ite eq ; addeq r2, #1 ; movne r1, #1 ; b 1b
//   systick_h: adds r5, #1 ; bx lr
TEST(BoardCore, InterruptsNeverBreakAnItBlock) {
    const uint8_t prog[] = { 0x00, 0x80, 0x00, 0x20, 0x41, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x5d, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x59, 0x00, 0x00, 0x20, 0x07, 0x48, 0x06, 0x21, 0x41, 0x60, 0x07, 0x21, 0x01, 0x60, 0x00, 0x21, 0x00, 0x20, 0x80, 0x42, 0x0c, 0xbf, 0x01, 0x32, 0x01, 0x21, 0xfa, 0xe7, 0x01, 0x35, 0x70, 0x47, 0xfe, 0xe7, 0x00, 0x00, 0x10, 0xe0, 0x00, 0xe0};
    BoardPtr bp = make_board();
    ASSERT_TRUE(bp);
    SimBoard* b = bp.get();
    ASSERT_TRUE(sim_board_load_image(b, 0x20000000, prog, sizeof prog));
    dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_HALT);
    sim_board_run(b, 100);
    dbg_write(b, 0xE000ED08, 0x20000000);
    ASSERT_TRUE(core_reg_write(b, SIM_REG_MSP, 0x20008000));
    ASSERT_TRUE(core_reg_write(b, SIM_REG_DEBUG_RETURN, 0x20000040));
    ASSERT_TRUE(core_reg_write(b, SIM_REG_XPSR, 1u << 24));
    ASSERT_TRUE(core_reg_write(b, 2, 0));
    ASSERT_TRUE(core_reg_write(b, 5, 0));
    dhcsr(b, SIM_DHCSR_C_DEBUGEN);
    sim_board_run(b, 1 * kMs);
    EXPECT_EQ(reg(b, 1), 0u); // MOVNE never executed
    EXPECT_GT(reg(b, 5), 100u);
    EXPECT_GT(reg(b, 2), 100u);
    EXPECT_EQ(reg(b, SIM_REG_XPSR) & 0x1FF, 0u);
    EXPECT_EQ(dbg_read(b, CFSR), 0u);
}
