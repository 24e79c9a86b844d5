// The STM32U5's embedded-Flash interface (RM0456, "Embedded flash memory
// (FLASH)") as the non-secure world sees it with TrustZone disabled: the
// G0/L4 controller's rules (flash_g0l4.h runs it) with its registers moved
// (NSKEYR, NSSR, NSCR, OPTR at 0x40), 2 MB in two banks of 128 pages of
// 8 KB, and a 128-bit quad word programmed by four word stores.
#pragma once

#include "sim/flash_g0l4.h"

constexpr uint32_t SIM_FLASHU5_ARRAY_SIZE = 2 * 1024 * 1024;
constexpr uint32_t SIM_FLASHU5_PAGE_SIZE = 8 * 1024;

constexpr uint32_t SIM_FLASHU5_NSKEYR = 0x08;
constexpr uint32_t SIM_FLASHU5_OPTKEYR = 0x10;
constexpr uint32_t SIM_FLASHU5_NSSR = 0x20;
constexpr uint32_t SIM_FLASHU5_NSCR = 0x28;
constexpr uint32_t SIM_FLASHU5_OPTR = 0x40;
constexpr uint32_t SIM_FLASHU5_WRP1AR = 0x58;
constexpr uint32_t SIM_FLASHU5_WRP1BR = 0x5C;
constexpr uint32_t SIM_FLASHU5_WRP2AR = 0x68;
constexpr uint32_t SIM_FLASHU5_WRP2BR = 0x6C;

// NSSR bits besides those flash_g0l4.h names (same positions there).
constexpr uint32_t SIM_FLASHU5_SR_OPTWERR = 1u << 13;
constexpr uint32_t SIM_FLASHU5_SR_WDW = 1u << 17;  // a quad word partly written

constexpr uint32_t SIM_FLASHU5_OPTR_DUALBANK = 1u << 21;
constexpr uint32_t SIM_FLASHU5_OPTR_TZEN = 1u << 31;

const SimFlashG0Layout* sim_flashu5_layout();
