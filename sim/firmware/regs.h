// Register addresses of the demo board, written from the ARMv7-M manual
// (system control space) and RM0090 (STM32F405 peripherals).
#pragma once

#include <stdint.h>

#define REG32(addr) (*(volatile uint32_t*)(uintptr_t)(addr))

// System control space.
#define SCB_VTOR        REG32(0xE000ED08u)
#define SCB_CCR         REG32(0xE000ED14u)
#define SCB_CPACR       REG32(0xE000ED88u)
#define SCB_CCR_DIV_0_TRP   (1u << 4)
#define SCB_CPACR_CP10_CP11 (0xFu << 20)

#define NVIC_ISER0      REG32(0xE000E100u)
#define NVIC_ISPR0      REG32(0xE000E200u)
#define EXTI0_IRQN      6u

#define SYST_CSR        REG32(0xE000E010u)
#define SYST_RVR        REG32(0xE000E014u)
#define SYST_CVR        REG32(0xE000E018u)
#define SYST_CSR_ENABLE     (1u << 0)
#define SYST_CSR_TICKINT    (1u << 1)
#define SYST_CSR_CLKSOURCE  (1u << 2)   // 1 = processor clock

// RCC and GPIOD (RM0090 sections 7 and 8).
#define RCC_AHB1ENR     REG32(0x40023830u)
#define RCC_AHB1ENR_GPIODEN (1u << 3)

#define GPIOD_BASE      0x40020C00u
#define GPIOD_MODER     REG32(GPIOD_BASE + 0x00u)
#define GPIOD_ODR       REG32(GPIOD_BASE + 0x14u)
#define GPIOD_BSRR      REG32(GPIOD_BASE + 0x18u)

// The core runs from HSI after reset: 16 MHz, no PLL.
#define CORE_CLOCK_HZ   16000000u
#define TICK_HZ         1000u
