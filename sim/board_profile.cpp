#include "sim/board_profile.h"

SimBoardProfile sim_board_profile_stm32f405() {
    SimBoardProfile p{};
    p.name = "STM32F405-like";
    p.core = SimCoreKind::cortex_m4f;
    p.flash_kind = SimFlashKind::stm32f4;
    p.cpuid = 0x410FC241; // Cortex-M4 r0p1
    p.has_fpu = true;
    p.nvic_irqs = 82;     // RM0090 vector table: IRQ 0..81 on the F405/407
    p.priority_bits = 4;
    p.flash = {0x08000000, 1024 * 1024};
    p.flash_alias = 0x00000000;
    p.sram = {0x20000000, 128 * 1024};
    p.ccm = {0x10000000, 64 * 1024};
    p.sysmem = {0x1FFF0000, 0x8000};
    p.flash_size_addr = 0x1FFF7A22;
    p.flash_size_kb = 1024;
    p.uid_addr = 0x1FFF7A10;
    p.uid[0] = 0x00430031;
    p.uid[1] = 0x3235510B;
    p.uid[2] = 0x36383538;
    p.dbgmcu_idcode_addr = 0xE0042000;
    p.dbgmcu_idcode = 0x10076413; // REV_ID 0x1007 (revision 2 in RM0090), DEV_ID 0x413
    p.instr_per_us = 16;
    p.systick_ext_div = 8;        // STM32F4: SysTick reference is HCLK/8
    p.flash_time_divisor = 1;
    p.flash_irq = 4;
    p.rom_ids = SimRomIds::stm32f4;
    return p;
}
