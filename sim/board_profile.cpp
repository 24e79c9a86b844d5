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
    p.stm32f4_periph = true;
    p.plain[0] = {0x40003000, 0x400}; // IWDG: flash algorithms feed it while they wait
    return p;
}

namespace {

constexpr uint32_t KB = 1024;

// What every other generation's board shares: ST's ROM table with the part's
// DEV_ID, the watchdog at 0x40003000, flash at 0x08000000 aliased at 0.
SimBoardProfile st_board(const char* name, SimFlashKind kind, SimCoreKind core, uint32_t cpuid, uint16_t dev_id) {
    SimBoardProfile p{};
    p.name = name;
    p.core = core;
    p.flash_kind = kind;
    p.cpuid = cpuid;
    p.dbgmcu_idcode = 0x10000000u | dev_id;
    p.rom_part = dev_id;
    p.rom_ids = SimRomIds::stm32f4;
    p.flash_alias = 0;
    p.flash_time_divisor = 1;
    p.systick_ext_div = 8;
    p.uid[0] = 0x00430031;
    p.uid[1] = 0x3235510B;
    p.uid[2] = 0x36383538;
    p.plain[0] = {0x40003000, 0x400};  // IWDG
    return p;
}

// Cortex-M0/M0+: 32 interrupts, 2 priority bits, a breakpoint unit of 4
// comparators; DBGMCU at 0x40015800, RCC at 0x40021000 (RM0091, RM0444, RM0367).
void small_core(SimBoardProfile* p) {
    p->has_fpu = false;
    p->nvic_irqs = 32;
    p->priority_bits = 2;
    p->fpb_code = 4;
    p->fpb_lit = 0;
    p->flash_irq = 3;
    p->dbgmcu_idcode_addr = 0x40015800;
    p->plain[1] = {0x40015800, 0x400};
    p->plain[2] = {0x40021000, 0x400};
}

}  // namespace

bool sim_board_profile_for(SimFlashKind kind, SimBoardProfile* out) {
    SimBoardProfile p{};
    switch (kind) {
    case SimFlashKind::stm32f4: p = sim_board_profile_stm32f405(); break;
    case SimFlashKind::stm32f4_2m:  // RM0090: DEV_ID 0x419, 192 KB of SRAM1-3
        p = sim_board_profile_stm32f405();
        p.name = "STM32F429-like";
        p.flash_kind = kind;
        p.flash = {0x08000000, 2048 * KB};
        p.flash_size_kb = 2048;
        p.sram = {0x20000000, 192 * KB};
        p.nvic_irqs = 91;
        p.dbgmcu_idcode = 0x20036419;
        p.rom_part = 0x419;
        break;
    case SimFlashKind::stm32f0:  // STM32F051x8, Cortex-M0 r0p0, HSI 8 MHz
        p = st_board("STM32F051-like", kind, SimCoreKind::cortex_m0, 0x410CC200, 0x440);
        small_core(&p);
        p.instr_per_us = 8;
        p.flash = {0x08000000, 64 * KB};
        p.sram = {0x20000000, 8 * KB};
        p.sysmem = {0x1FFFEC00, 5 * KB};
        p.flash_size_addr = 0x1FFFF7CC, p.flash_size_kb = 64;
        p.uid_addr = 0x1FFFF7AC;
        break;
    case SimFlashKind::stm32g0:  // STM32G071x8, Cortex-M0+ r0p1, HSI16
        p = st_board("STM32G071-like", kind, SimCoreKind::cortex_m0plus, 0x410CC601, 0x460);
        small_core(&p);
        p.instr_per_us = 16;
        p.flash = {0x08000000, 64 * KB};
        p.sram = {0x20000000, 36 * KB};
        p.sysmem = {0x1FFF0000, 30 * KB};
        p.flash_size_addr = 0x1FFF75E0, p.flash_size_kb = 64;
        p.uid_addr = 0x1FFF7590;
        break;
    case SimFlashKind::stm32l0:  // STM32L053x8, Cortex-M0+ r0p1, MSI 2.1 MHz
        p = st_board("STM32L053-like", kind, SimCoreKind::cortex_m0plus, 0x410CC601, 0x417);
        small_core(&p);
        p.instr_per_us = 2;
        p.flash = {0x08000000, 64 * KB};
        p.sram = {0x20000000, 8 * KB};
        p.sysmem = {0x1FF80000, 1 * KB};
        p.flash_size_addr = 0x1FF8007C, p.flash_size_kb = 64;
        p.uid_addr = 0x1FF80050;
        break;
    case SimFlashKind::stm32g4:  // STM32G474xE, Cortex-M4 r0p1, HSI16; SRAM1+2, CCM SRAM
    case SimFlashKind::stm32l4:  // STM32L476xG, Cortex-M4 r0p1, MSI 4 MHz; SRAM1, SRAM2
        p = kind == SimFlashKind::stm32g4 ? st_board("STM32G474-like", kind, SimCoreKind::cortex_m4f, 0x410FC241, 0x469)
                                          : st_board("STM32L476-like", kind, SimCoreKind::cortex_m4f, 0x410FC241, 0x415);
        p.has_fpu = true;
        p.nvic_irqs = kind == SimFlashKind::stm32g4 ? 102 : 82;
        p.priority_bits = 4;
        p.instr_per_us = kind == SimFlashKind::stm32g4 ? 16 : 4;
        p.flash = {0x08000000, (kind == SimFlashKind::stm32g4 ? 512 : 1024) * KB};
        p.flash_size_kb = kind == SimFlashKind::stm32g4 ? 512 : 1024;
        p.sram = {0x20000000, 96 * KB};
        p.ccm = {0x10000000, 32 * KB};
        p.sysmem = {0x1FFF0000, 30 * KB};
        p.flash_size_addr = 0x1FFF75E0;
        p.uid_addr = 0x1FFF7590;
        p.flash_irq = 4;
        p.dbgmcu_idcode_addr = 0xE0042000;
        p.plain[1] = {0xE0042000, 0x400};
        p.plain[2] = {0x40021000, 0x400};
        break;
    case SimFlashKind::stm32u5:  // STM32U575xI, Cortex-M33 r0p4, MSI 4 MHz; SRAM1-3
        p = st_board("STM32U575-like", kind, SimCoreKind::cortex_m33, 0x410FD214, 0x482);
        p.has_fpu = true;
        p.nvic_irqs = 128;  // of the part's 141: as many as the core model holds
        p.priority_bits = 4;
        p.instr_per_us = 4;
        p.fpb_version = 2, p.fpb_code = 8, p.fpb_lit = 0;
        p.flash = {0x08000000, 2048 * KB};
        p.flash_size_kb = 2048;
        p.flash_alias = p.boot_addr = 0x08000000;  // no boot alias at 0 (NSBOOTADD0 points at the flash)
        p.sram = {0x20000000, 768 * KB};
        p.sysmem = {0x0BF90000, 66 * KB};
        p.flash_size_addr = 0x0BFA07A0;
        p.uid_addr = 0x0BFA0700;
        p.flash_irq = 6;
        p.dbgmcu_idcode_addr = 0xE0044000;
        p.plain[1] = {0xE0044000, 0x400};
        p.plain[2] = {0x46020C00, 0x400};  // RCC (non-secure)
        break;
    case SimFlashKind::stm32h7:  // STM32H743xI, Cortex-M7 r1p1, HSI 64 MHz; DTCM, AXI SRAM
        p = st_board("STM32H743-like", kind, SimCoreKind::cortex_m7, 0x411FC271, 0x450);
        p.has_fpu = true;
        p.nvic_irqs = 128;  // of the part's 150
        p.priority_bits = 4;
        p.instr_per_us = 64;
        p.fpb_version = 2, p.fpb_code = 8, p.fpb_lit = 0;
        p.flash = {0x08000000, 2048 * KB};
        p.flash_size_kb = 2048;
        p.flash_alias = p.boot_addr = 0x08000000;  // no alias at 0: the ITCM is there (BOOT_ADD0)
        p.sram = {0x20000000, 128 * KB};
        p.ccm = {0x24000000, 512 * KB};
        p.sysmem = {0x1FF00000, 128 * KB};
        p.flash_size_addr = 0x1FF1E880;
        p.uid_addr = 0x1FF1E800;
        p.flash_irq = 4;
        p.dbgmcu_idcode_addr = 0x5C001000;
        p.plain[0] = {0x58004800, 0x400};  // IWDG1
        p.plain[1] = {0x5C001000, 0x400};
        p.plain[2] = {0x58024400, 0x400};  // RCC
        p.plain[3] = {0x58024800, 0x400};  // PWR
        break;
    default: return false;
    }
    *out = p;
    return true;
}
