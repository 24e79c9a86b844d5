// Faults the user can provoke from the debugger by writing g_fault_trigger.
// Written in assembly so the faulting instruction is the same at every
// optimisation level and sits exactly at the symbol's address.
#include "demo.h"
#include "regs.h"

__attribute__((naked, noinline)) void fault_udf(void) {
    __asm volatile(
        "udf #0x17\n\t"
        "bx lr");
}

__attribute__((naked, noinline)) uint32_t fault_bus_read(uint32_t addr) {
    (void)addr;
    __asm volatile(
        "ldr r0, [r0]\n\t"
        "bx lr");
}

__attribute__((naked, noinline)) uint32_t fault_divide(uint32_t num, uint32_t den) {
    (void)num;
    (void)den;
    __asm volatile(
        "udiv r0, r0, r1\n\t"
        "bx lr");
}

__attribute__((naked, noinline)) void fault_bkpt(void) {
    __asm volatile(
        "bkpt #0x42\n\t"
        "bx lr");
}

// A store is buffered: the core goes on and the bus error comes back later,
// as an imprecise BusFault (no fault address) whose stacked PC is past the
// store. DSB waits for the buffer to drain, so the fault is taken here and
// not somewhere in the caller.
__attribute__((naked, noinline)) void fault_bus_write(uint32_t addr, uint32_t value) {
    (void)addr;
    (void)value;
    __asm volatile(
        "str r1, [r0]\n\t"
        "dsb\n\t"
        "bx lr");
}

// A stack run off the bottom of SRAM: SP at SRAM's first byte, then an
// exception whose entry pushes its frame below it, where nothing answers.
// Stacking fails (STKERR) and SP is left pointing at unreadable memory.
__attribute__((naked, noinline)) void fault_stack_overflow(void) {
    __asm volatile(
        "mov.w r0, #0x20000000\n\t"
        "mov sp, r0\n\t"
        "svc #0\n\t"
        "b .");
}

// EXTI0's handler (only trigger 7 raises it) computes in floating point,
// then faults: the HardFault's frame goes on the MSP below the interrupt's,
// FP-extended (the handler's FP use set CONTROL.FPCA), and its EXC_RETURN
// returns to handler mode.
__attribute__((naked, noinline)) void EXTI0_IRQHandler(void) {
    __asm volatile(
        "vmov.f32 s0, #1.0\n\t"
        "udf #0x27\n\t"
        "bx lr");
}

// An address with bit 0 clear asks for ARM state, which an M-profile core
// does not have: the branch succeeds and the next instruction faults
// (UsageFault INVSTATE, stacked PC = the even address).
static volatile uintptr_t s_arm_state_target;

void fault_run(uint32_t which) {
    switch (which) {
    case 1:
        fault_udf();
        break;
    case 2:
        fault_bus_read(0x60000000u);   // FSMC bank 1, nothing mapped on this board
        break;
    case 3:
        SCB_CCR |= SCB_CCR_DIV_0_TRP;
        fault_divide(1, 0);
        break;
    case 4: {
        s_arm_state_target = (uintptr_t)&fault_udf & ~(uintptr_t)1;
        void (*fn)(void) = (void (*)(void))s_arm_state_target;
        fn();
        break;
    }
    case 5:
        fault_bus_write(0x40080000u, 0xBADu);   // reserved between AHB1 and AHB2 (RM0090)
        break;
    case 6:
        fault_stack_overflow();
        break;
    case 7:
        NVIC_ISER0 = 1u << EXTI0_IRQN;
        NVIC_ISPR0 = 1u << EXTI0_IRQN;
        __asm volatile("dsb\n\tisb" ::: "memory");   // taken before going on
        break;
    default:
        break;
    }
}
