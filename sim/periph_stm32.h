// STM32F405/407 peripherals the demo and a debugger touch (RM0090): the
// reset and clock controller, GPIO ports A-I, the MCU debug component and the
// device-information words in system memory (unique ID, flash size).
//
// All blocks answer offsets relative to their own base, with byte, halfword
// and word accesses aligned to their size.
#pragma once

#include "sim/sim_types.h"

#include <cstdint>

constexpr uint32_t SIM_RCC_BASE = 0x40023800;
constexpr uint32_t SIM_RCC_SIZE = 0x400;
constexpr uint32_t SIM_GPIO_BASE = 0x40020000;   // port n at + 0x400 * n
constexpr uint32_t SIM_GPIO_STRIDE = 0x400;
constexpr unsigned SIM_GPIO_PORTS = 9;           // A..I, as in the STM32F407 register map
constexpr uint32_t SIM_DBGMCU_BASE = 0xE0042000;
constexpr uint32_t SIM_DBGMCU_SIZE = 0x10;
constexpr uint32_t SIM_SYSINFO_BASE = 0x1FFF7A10; // unique ID; flash size at +0x12
constexpr uint32_t SIM_SYSINFO_SIZE = 0x14;

constexpr uint32_t SIM_DBGMCU_IDCODE_F405 = 0x10076413; // REV_ID 0x1007, DEV_ID 0x413

// RCC register offsets.
constexpr uint32_t SIM_RCC_CR = 0x00;
constexpr uint32_t SIM_RCC_PLLCFGR = 0x04;
constexpr uint32_t SIM_RCC_CFGR = 0x08;
constexpr uint32_t SIM_RCC_AHB1RSTR = 0x10;
constexpr uint32_t SIM_RCC_AHB1ENR = 0x30;
constexpr uint32_t SIM_RCC_CSR = 0x74;

// GPIO register offsets.
constexpr uint32_t SIM_GPIO_MODER = 0x00;
constexpr uint32_t SIM_GPIO_OTYPER = 0x04;
constexpr uint32_t SIM_GPIO_OSPEEDR = 0x08;
constexpr uint32_t SIM_GPIO_PUPDR = 0x0C;
constexpr uint32_t SIM_GPIO_IDR = 0x10;
constexpr uint32_t SIM_GPIO_ODR = 0x14;
constexpr uint32_t SIM_GPIO_BSRR = 0x18;
constexpr uint32_t SIM_GPIO_LCKR = 0x1C;
constexpr uint32_t SIM_GPIO_AFRL = 0x20;
constexpr uint32_t SIM_GPIO_AFRH = 0x24;

constexpr unsigned SIM_RCC_WORDS = 0x88 / 4;

struct SimGpioPort {
    uint32_t moder, otyper, ospeedr, pupdr, odr, afr[2];
    uint32_t lckr;        // LCK[15:0] and LCKK
    uint8_t lock_stage;   // position in the LCKK 1-0-1 write sequence
    uint16_t ext_driven;  // pins an outside source drives...
    uint16_t ext_level;   // ...and to which level
};

enum class SimStm32ResetCause : uint8_t { power_on, pin, software };

struct SimStm32Periph {
    uint32_t rcc[SIM_RCC_WORDS];
    SimGpioPort gpio[SIM_GPIO_PORTS];
    uint32_t dbgmcu_cr, dbgmcu_apb1_fz, dbgmcu_apb2_fz;
    uint8_t uid[12];
    uint16_t flash_kb;
};

// Power-on. `uid` (12 bytes) may be null for a fixed default.
void sim_stm32_init(SimStm32Periph* p, const uint8_t* uid);
// A reset: RCC and GPIO to reset values (external pin levels stay, they are
// outside the chip); DBGMCU only on power-on, as RM0090 says. RCC_CSR's
// reset flags record the cause until software clears them with RMVF.
void sim_stm32_reset(SimStm32Periph* p, SimStm32ResetCause cause);

bool sim_rcc_read(SimStm32Periph* p, uint32_t offset, unsigned size, uint32_t* value);
bool sim_rcc_write(SimStm32Periph* p, uint32_t offset, unsigned size, uint32_t value);
SimMemPort sim_rcc_port(SimStm32Periph* p);

// The whole GPIO area: offsets from SIM_GPIO_BASE, port = offset / 0x400.
// A port whose clock (RCC_AHB1ENR.GPIOxEN) is off reads 0 and ignores writes.
bool sim_gpio_read(SimStm32Periph* p, uint32_t offset, unsigned size, uint32_t* value);
bool sim_gpio_write(SimStm32Periph* p, uint32_t offset, unsigned size, uint32_t value);
SimMemPort sim_gpio_port(SimStm32Periph* p);
// What the demo and tests look at: the output latch and the pin levels.
// Port numbers past the last port answer 0.
uint16_t sim_gpio_odr(const SimStm32Periph* p, unsigned port);
uint16_t sim_gpio_idr(const SimStm32Periph* p, unsigned port);
// An outside source (a button) drives a pin, or lets go of it. False for a
// port or pin that does not exist.
bool sim_gpio_drive_input(SimStm32Periph* p, unsigned port, unsigned pin, bool driven, bool level);

bool sim_dbgmcu_read(SimStm32Periph* p, uint32_t offset, unsigned size, uint32_t* value);
bool sim_dbgmcu_write(SimStm32Periph* p, uint32_t offset, unsigned size, uint32_t value);
SimMemPort sim_dbgmcu_port(SimStm32Periph* p);

// Read-only: writes answer a bus error.
bool sim_sysinfo_read(SimStm32Periph* p, uint32_t offset, unsigned size, uint32_t* value);
bool sim_sysinfo_write(SimStm32Periph* p, uint32_t offset, unsigned size, uint32_t value);
SimMemPort sim_sysinfo_port(SimStm32Periph* p);
