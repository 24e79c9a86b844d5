// The NVM interface of a 64 KB STM32L0 (RM0377, "Flash program memory and
// data EEPROM (FLASH)"): the register block at 0x40022000 and the program
// memory at 0x08000000 in 128-byte pages that erase to 0x00, written a word
// or a 64-byte half-page at a time. The data EEPROM is not modelled.
//
// Register accesses use offsets from SIM_FLASHL0_REG_BASE, array accesses
// offsets from SIM_FLASHL0_ARRAY_BASE.
#pragma once

#include "sim/flash_ctl.h"

#include <cstdint>

constexpr uint32_t SIM_FLASHL0_REG_BASE = 0x40022000;
constexpr uint32_t SIM_FLASHL0_REG_SIZE = 0x400;
constexpr uint32_t SIM_FLASHL0_ARRAY_BASE = 0x08000000;
constexpr uint32_t SIM_FLASHL0_ARRAY_SIZE = 64 * 1024;
constexpr uint32_t SIM_FLASHL0_PAGE_SIZE = 128;
constexpr uint32_t SIM_FLASHL0_HALF_PAGE = 64;
constexpr uint32_t SIM_FLASHL0_SECTOR_SIZE = 4096; // one WRPROT bit each

// Register offsets.
constexpr uint32_t SIM_FLASHL0_ACR = 0x00;
constexpr uint32_t SIM_FLASHL0_PECR = 0x04;
constexpr uint32_t SIM_FLASHL0_PDKEYR = 0x08;
constexpr uint32_t SIM_FLASHL0_PEKEYR = 0x0C;
constexpr uint32_t SIM_FLASHL0_PRGKEYR = 0x10;
constexpr uint32_t SIM_FLASHL0_OPTKEYR = 0x14;
constexpr uint32_t SIM_FLASHL0_SR = 0x18;
constexpr uint32_t SIM_FLASHL0_OPTR = 0x1C;
constexpr uint32_t SIM_FLASHL0_WRPROT1 = 0x20;
constexpr uint32_t SIM_FLASHL0_WRPROT2 = 0x80;

// Keys.
constexpr uint32_t SIM_FLASHL0_PEKEY1 = 0x89ABCDEF;
constexpr uint32_t SIM_FLASHL0_PEKEY2 = 0x02030405;
constexpr uint32_t SIM_FLASHL0_PRGKEY1 = 0x8C9DAEBF;
constexpr uint32_t SIM_FLASHL0_PRGKEY2 = 0x13141516;
constexpr uint32_t SIM_FLASHL0_OPTKEY1 = 0xFBEAD9C8;
constexpr uint32_t SIM_FLASHL0_OPTKEY2 = 0x24252627;

// FLASH_PECR bits.
constexpr uint32_t SIM_FLASHL0_PECR_PELOCK = 1u << 0;
constexpr uint32_t SIM_FLASHL0_PECR_PRGLOCK = 1u << 1;
constexpr uint32_t SIM_FLASHL0_PECR_OPTLOCK = 1u << 2;
constexpr uint32_t SIM_FLASHL0_PECR_PROG = 1u << 3;
constexpr uint32_t SIM_FLASHL0_PECR_DATA = 1u << 4;
constexpr uint32_t SIM_FLASHL0_PECR_FIX = 1u << 8;
constexpr uint32_t SIM_FLASHL0_PECR_ERASE = 1u << 9;
constexpr uint32_t SIM_FLASHL0_PECR_FPRG = 1u << 10;
constexpr uint32_t SIM_FLASHL0_PECR_EOPIE = 1u << 16;
constexpr uint32_t SIM_FLASHL0_PECR_ERRIE = 1u << 17;
constexpr uint32_t SIM_FLASHL0_PECR_NZDISABLE = 1u << 23;

// FLASH_SR bits.
constexpr uint32_t SIM_FLASHL0_SR_BSY = 1u << 0;
constexpr uint32_t SIM_FLASHL0_SR_EOP = 1u << 1;
constexpr uint32_t SIM_FLASHL0_SR_ENDHV = 1u << 2;
constexpr uint32_t SIM_FLASHL0_SR_READY = 1u << 3;
constexpr uint32_t SIM_FLASHL0_SR_WRPERR = 1u << 8;
constexpr uint32_t SIM_FLASHL0_SR_PGAERR = 1u << 9;
constexpr uint32_t SIM_FLASHL0_SR_SIZERR = 1u << 10;
constexpr uint32_t SIM_FLASHL0_SR_OPTVERR = 1u << 11;
constexpr uint32_t SIM_FLASHL0_SR_RDERR = 1u << 13;
constexpr uint32_t SIM_FLASHL0_SR_NOTZEROERR = 1u << 16;
constexpr uint32_t SIM_FLASHL0_SR_FWWERR = 1u << 17;

// FLASH_OPTR as shipped: RDPROT 0xAA (level 0), BOR level 8, WDG_SW,
// nRST_STOP, nRST_STDBY, nBOOT1.
constexpr uint32_t SIM_FLASHL0_OPTR_RESET = 0x807800AA;

// Typical figures of the STM32L053 datasheet (tprog: erase 3.28 ms, write
// 3.28 ms, for a word as for a half-page).
struct SimFlashL0Timing {
    uint64_t program_ns; // a word or a half-page
    uint64_t erase_ns;   // a page
};
SimFlashL0Timing sim_flashl0_timing_scaled(uint64_t divisor); // divisor 0 or 1: typical

enum class SimFlashL0Op : uint8_t { none, program, erase };

struct SimFlashL0 {
    SimFlashL0Timing timing;
    // Programs and erases are applied when they start; BSY then stands for
    // their duration and any array access stalls until it ends (as flash_f4).
    uint8_t array[SIM_FLASHL0_ARRAY_SIZE];
    uint32_t acr, pecr, sr;
    uint32_t optr;    // option bytes as loaded: survive reset
    uint32_t wrprot;  // bit n = 1: sector n (4 KB) write-protected
    uint8_t pekey_stage, prgkey_stage, optkey_stage;
    bool pe_locked_out, prg_locked_out, opt_locked_out; // a wrong sequence: locked until reset
    // Half-page programming: the words loaded so far, in order from the
    // half-page's first word.
    uint32_t hp_offset;
    uint8_t hp_count;
    uint32_t hp_words[SIM_FLASHL0_HALF_PAGE / 4];
    SimFlashL0Op op;
    uint64_t busy_left_ns;
    uint64_t stalled_ns;
    SimFlashFaults faults;
};

void sim_flashl0_init(SimFlashL0* fc, const SimFlashL0Timing* timing); // null: typical
void sim_flashl0_reset(SimFlashL0* fc); // registers and keys; array and option bytes kept
bool sim_flashl0_read(SimFlashL0* fc, uint32_t offset, unsigned size, uint32_t* value);
bool sim_flashl0_write(SimFlashL0* fc, uint32_t offset, unsigned size, uint32_t value);
// Stores: false only outside the array or at read protection level 1 (a
// bus error); every refused program or erase answers with its SR flag.
bool sim_flashl0_array_write(SimFlashL0* fc, uint32_t offset, unsigned size, uint32_t value);
bool sim_flashl0_array_read(SimFlashL0* fc, uint32_t offset, unsigned size, uint32_t* value);
void sim_flashl0_advance(SimFlashL0* fc, uint64_t ns);
uint64_t sim_flashl0_busy_ns(const SimFlashL0* fc);
bool sim_flashl0_irq_pending(const SimFlashL0* fc);
void sim_flashl0_set_faults(SimFlashL0* fc, const SimFlashFaults* f);
// As if WRPROT1 had been programmed and loaded: bit n = 1 protects sector n.
void sim_flashl0_set_write_protect(SimFlashL0* fc, uint32_t wrprot);
// Read protection level 1 (RDPROT 0xBB) or back to level 0 (0xAA), as if
// loaded. With the debugger attached the program memory then neither
// reads, programs nor erases.
void sim_flashl0_set_read_protect(SimFlashL0* fc, bool level1);

// The seam: a new controller with its array erased (all 0x00).
bool sim_flashl0_create(uint64_t time_divisor, SimFlashCtl* out);
