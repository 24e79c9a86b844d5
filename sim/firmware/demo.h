// Shared declarations of the demo firmware.
#pragma once

#include <stdint.h>

extern volatile uint32_t g_tick_count;
extern volatile uint32_t g_fault_trigger;
extern volatile uint32_t g_bkpt_trigger;

// Fault sites: each faults on its first instruction, so the stacked PC of
// the resulting exception equals the function's address.
void fault_udf(void);
uint32_t fault_bus_read(uint32_t addr);
uint32_t fault_divide(uint32_t num, uint32_t den);
void fault_bkpt(void);
// These two fault later: past the store (imprecise), at the SVC's stacking.
void fault_bus_write(uint32_t addr, uint32_t value);
void fault_stack_overflow(void);
// Faults on its second instruction, after an FP one (trigger 7).
void EXTI0_IRQHandler(void);
// Runs the fault selected by `which` (1..7); returns only for unknown values.
void fault_run(uint32_t which);

// Waveform and arithmetic that give the debugger something to show.
float wave_sample(uint32_t tick);
uint32_t fibonacci(uint32_t n);
uint32_t factorial(uint32_t n);
