// Vector table and reset code of the RTOS firmware. SVCall, PendSV and
// SysTick go straight to the FreeRTOS port (FreeRTOSConfig.h renames its
// handlers); the port checks that at start. Faults are naked loops so that,
// halted inside one, SP still points at the frame the core stacked.
#include <stddef.h>
#include <stdint.h>

#include "regs.h"

extern uint32_t _sidata[], _sdata[], _edata[], _sbss[], _ebss[], _sccm[], _eccm[];
extern uint32_t _estack[];
int main(void);

void Reset_Handler(void);
void SVC_Handler(void);
void PendSV_Handler(void);
void SysTick_Handler(void);

#define LOOP_HANDLER(name) \
    __attribute__((naked)) void name(void) { __asm volatile("b ."); }

LOOP_HANDLER(NMI_Handler)
LOOP_HANDLER(HardFault_Handler)
LOOP_HANDLER(MemManage_Handler)
LOOP_HANDLER(BusFault_Handler)
LOOP_HANDLER(UsageFault_Handler)
LOOP_HANDLER(DebugMon_Handler)
LOOP_HANDLER(Default_Handler)

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
    [16 ... 16 + IRQ_COUNT - 1] = Default_Handler,
};

void Reset_Handler(void) {
    // The CM4F port and the hard-float ABI touch the FPU anywhere after this.
    SCB_CPACR |= SCB_CPACR_CP10_CP11;
    __asm volatile("dsb\n\tisb" ::: "memory");

    for (uint32_t *src = _sidata, *dst = _sdata; dst < _edata;) *dst++ = *src++;
    for (uint32_t* p = _sbss; p < _ebss; ++p) *p = 0;
    for (uint32_t* p = _sccm; p < _eccm; ++p) *p = 0;

    // The port finds its handlers and the initial MSP through VTOR.
    SCB_VTOR = (uint32_t)(uintptr_t)vector_table;
    __asm volatile("dsb\n\tisb" ::: "memory");

    main();
    for (;;) {
    }
}

// The kernel copies queue items and clears TCBs with these; nothing else of
// a C library is linked. Byte loops: the build keeps GCC from turning them
// back into calls to themselves (-fno-tree-loop-distribute-patterns).
void* memcpy(void* dst, const void* src, size_t n) {
    uint8_t* d = dst;
    const uint8_t* s = src;
    while (n--) *d++ = *s++;
    return dst;
}

void* memset(void* dst, int value, size_t n) {
    uint8_t* d = dst;
    while (n--) *d++ = (uint8_t)value;
    return dst;
}
