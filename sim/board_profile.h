// What distinguishes one simulated board from another: memories, clock, the
// core's identity and options. Data only, so new boards (a Cortex-M0+ with
// FPB v1, an NXP MCX-like part) are new records, not new code paths.
#pragma once

#include "sim/flash_ctl.h"

#include <cstdint>

enum class SimCoreKind : uint8_t { cortex_m4f, cortex_m0plus, cortex_m33, cortex_m0, cortex_m7 };
// Whose identification the ROM table at 0xE00FF000 carries: ST's (an STM32),
// ARM's own Cortex-M table (parts that keep no vendor table there), or no
// table at all (every read is a bus error).
enum class SimRomIds : uint8_t { stm32f4, arm, absent };

struct SimMemRegion {
    uint32_t base;
    uint32_t size; // 0 = absent
};

struct SimBoardProfile {
    const char* name;
    SimCoreKind core;
    SimFlashKind flash_kind;
    uint32_t cpuid;
    bool has_fpu;
    unsigned nvic_irqs;        // external interrupts implemented
    unsigned priority_bits;    // implemented priority bits (top of the byte)
    SimMemRegion flash;        // programmed only through the flash controller
    uint32_t flash_alias;      // boot alias of flash (the vector table at 0)
    SimMemRegion sram;
    SimMemRegion ccm;          // data-only core-coupled RAM
    SimMemRegion sysmem;       // system memory / OTP / device signature (read-only)
    uint32_t flash_size_addr;  // halfword holding the flash size in KB
    uint16_t flash_size_kb;
    uint32_t uid_addr;         // 96-bit unique device ID
    uint32_t uid[3];
    uint32_t dbgmcu_idcode_addr;
    uint32_t dbgmcu_idcode;
    uint32_t instr_per_us;     // one instruction per core clock cycle
    unsigned systick_ext_div;  // SysTick external reference = core clock / this
    uint64_t flash_time_divisor; // >= 1: shortens program/erase times for tests
    unsigned flash_irq;        // NVIC line of the flash interface
    uint8_t fpb_version;       // 0 or 1: FPB version 1 (Cortex-M3/M4); 2: version 2 (Cortex-M7 style)
    SimRomIds rom_ids;
    uint32_t devid_addr;       // a read-only vendor device-id word (an NXP-style DEVICE_ID); 0 = none
    uint32_t devid;
    uint16_t rom_part;         // the part number ST's ROM table carries (the DEV_ID); 0 = 0x413
    uint8_t fpb_code, fpb_lit; // breakpoint unit comparators; both 0 = the Cortex-M4's 6 and 2
    bool stm32f4_periph;       // the STM32F4's RCC, GPIO, DBGMCU and system-memory words
    uint32_t boot_addr;        // where VTOR points after reset (0: the boot alias)
    // Registers no model covers (a watchdog a flash algorithm feeds, another
    // family's DBGMCU controls) as plain memory, zero after reset: 1 KB
    // aligned blocks, size 0 = unused.
    SimMemRegion plain[4];
};

// An STM32F405-like board at 16 MHz (the HSI clock after reset).
SimBoardProfile sim_board_profile_stm32f405();
// A board of another STM32 generation, by its flash interface: the part
// whose flash ST's algorithm for the family describes (F0: STM32F051x8, G0:
// STM32G071x8, G4: STM32G474xE, L4: STM32L476xG, L0: STM32L053x8, U5:
// STM32U575xI, H7: STM32H743xI, F4 2 MB: STM32F429xI), with its core, ids
// and memories; the F405's for stm32f4. False for none or an unknown kind.
bool sim_board_profile_for(SimFlashKind kind, SimBoardProfile* out);
