// Vector table and reset code of the demo firmware. Fault handlers are naked
// one-instruction loops so that, halted inside one, SP still points at the
// exception frame the core stacked.
#include <stdint.h>

#include "regs.h"

extern uint32_t _sidata[], _sdata[], _edata[], _sbss[], _ebss[], _sccm[], _eccm[];
extern uint32_t _estack[];
int main(void);

void Reset_Handler(void);
void SysTick_Handler(void);

#define LOOP_HANDLER(name) \
    __attribute__((naked)) void name(void) { __asm volatile("b ."); }

LOOP_HANDLER(NMI_Handler)
LOOP_HANDLER(HardFault_Handler)
LOOP_HANDLER(MemManage_Handler)
LOOP_HANDLER(BusFault_Handler)
LOOP_HANDLER(UsageFault_Handler)
LOOP_HANDLER(SVC_Handler)
LOOP_HANDLER(DebugMon_Handler)
LOOP_HANDLER(PendSV_Handler)
LOOP_HANDLER(Default_Handler)

// The first interrupt lines of the STM32F405; only g_fault_trigger 7 enables
// one (EXTI0, faults.c), and a stray one must land somewhere recognisable.
#define IRQ_HANDLER(name) void name(void) __attribute__((weak, alias("Default_Handler")));
IRQ_HANDLER(WWDG_IRQHandler)
IRQ_HANDLER(PVD_IRQHandler)
IRQ_HANDLER(TAMP_STAMP_IRQHandler)
IRQ_HANDLER(RTC_WKUP_IRQHandler)
IRQ_HANDLER(FLASH_IRQHandler)
IRQ_HANDLER(RCC_IRQHandler)
IRQ_HANDLER(EXTI0_IRQHandler)
IRQ_HANDLER(EXTI1_IRQHandler)
IRQ_HANDLER(EXTI2_IRQHandler)
IRQ_HANDLER(EXTI3_IRQHandler)
IRQ_HANDLER(EXTI4_IRQHandler)

#define IRQ_COUNT 82   // STM32F405 interrupt lines

typedef void (*vector_fn)(void);

__attribute__((section(".isr_vector"), used))
const vector_fn vector_table[16 + IRQ_COUNT] = {
    (vector_fn)(uintptr_t)_estack,
    Reset_Handler,
    NMI_Handler,
    HardFault_Handler,
    MemManage_Handler,
    BusFault_Handler,
    UsageFault_Handler,
    0, 0, 0, 0,
    SVC_Handler,
    DebugMon_Handler,
    0,
    PendSV_Handler,
    SysTick_Handler,
    [16 + 0] = WWDG_IRQHandler,
    [16 + 1] = PVD_IRQHandler,
    [16 + 2] = TAMP_STAMP_IRQHandler,
    [16 + 3] = RTC_WKUP_IRQHandler,
    [16 + 4] = FLASH_IRQHandler,
    [16 + 5] = RCC_IRQHandler,
    [16 + 6] = EXTI0_IRQHandler,
    [16 + 7] = EXTI1_IRQHandler,
    [16 + 8] = EXTI2_IRQHandler,
    [16 + 9] = EXTI3_IRQHandler,
    [16 + 10] = EXTI4_IRQHandler,
    [16 + 11 ... 16 + IRQ_COUNT - 1] = Default_Handler,
};

void Reset_Handler(void) {
    // FPU access first: with the hard-float ABI any later code may touch it.
    SCB_CPACR |= SCB_CPACR_CP10_CP11;
    __asm volatile("dsb\n\tisb" ::: "memory");

    for (uint32_t *src = _sidata, *dst = _sdata; dst < _edata;) *dst++ = *src++;
    for (uint32_t* p = _sbss; p < _ebss; ++p) *p = 0;
    for (uint32_t* p = _sccm; p < _eccm; ++p) *p = 0;

    // The table is reached through the alias at 0 after reset; name its
    // real home so a remapped boot would still find it.
    SCB_VTOR = (uint32_t)(uintptr_t)vector_table;
    __asm volatile("dsb\n\tisb" ::: "memory");

    main();
    for (;;) {
    }
}
