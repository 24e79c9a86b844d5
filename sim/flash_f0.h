// The embedded flash interface of a 64 KB STM32F0 (RM0091, "Embedded flash
// memory"): the register block at 0x40022000 and the array at 0x08000000 in
// 1 KB pages, programmed a half-word at a time and erased by page or whole.
//
// Register accesses use offsets from SIM_FLASHF0_REG_BASE, array accesses
// offsets from SIM_FLASHF0_ARRAY_BASE.
#pragma once

#include "sim/flash_ctl.h"

#include <cstdint>

constexpr uint32_t SIM_FLASHF0_REG_BASE = 0x40022000;
constexpr uint32_t SIM_FLASHF0_REG_SIZE = 0x400;
constexpr uint32_t SIM_FLASHF0_ARRAY_BASE = 0x08000000;
constexpr uint32_t SIM_FLASHF0_ARRAY_SIZE = 64 * 1024;
constexpr uint32_t SIM_FLASHF0_PAGE_SIZE = 1024;
constexpr uint32_t SIM_FLASHF0_WRP_PAGES = 4; // one WRPR bit guards 4 pages

// Register offsets.
constexpr uint32_t SIM_FLASHF0_ACR = 0x00;
constexpr uint32_t SIM_FLASHF0_KEYR = 0x04;
constexpr uint32_t SIM_FLASHF0_OPTKEYR = 0x08;
constexpr uint32_t SIM_FLASHF0_SR = 0x0C;
constexpr uint32_t SIM_FLASHF0_CR = 0x10;
constexpr uint32_t SIM_FLASHF0_AR = 0x14;
constexpr uint32_t SIM_FLASHF0_OBR = 0x1C;
constexpr uint32_t SIM_FLASHF0_WRPR = 0x20;

// Keys: OPTKEYR takes the same two as KEYR.
constexpr uint32_t SIM_FLASHF0_KEY1 = 0x45670123;
constexpr uint32_t SIM_FLASHF0_KEY2 = 0xCDEF89AB;

// FLASH_SR bits.
constexpr uint32_t SIM_FLASHF0_SR_BSY = 1u << 0;
constexpr uint32_t SIM_FLASHF0_SR_PGERR = 1u << 2;
constexpr uint32_t SIM_FLASHF0_SR_WRPRTERR = 1u << 4;
constexpr uint32_t SIM_FLASHF0_SR_EOP = 1u << 5;

// FLASH_CR bits.
constexpr uint32_t SIM_FLASHF0_CR_PG = 1u << 0;
constexpr uint32_t SIM_FLASHF0_CR_PER = 1u << 1;
constexpr uint32_t SIM_FLASHF0_CR_MER = 1u << 2;
constexpr uint32_t SIM_FLASHF0_CR_OPTPG = 1u << 4;
constexpr uint32_t SIM_FLASHF0_CR_OPTER = 1u << 5;
constexpr uint32_t SIM_FLASHF0_CR_STRT = 1u << 6;
constexpr uint32_t SIM_FLASHF0_CR_LOCK = 1u << 7;
constexpr uint32_t SIM_FLASHF0_CR_OPTWRE = 1u << 9;
constexpr uint32_t SIM_FLASHF0_CR_ERRIE = 1u << 10;
constexpr uint32_t SIM_FLASHF0_CR_EOPIE = 1u << 12;

// FLASH_OBR at level 0 with the factory user and data bytes; RDPRT is bits 2:1.
constexpr uint32_t SIM_FLASHF0_OBR_RESET = 0xFFFFFF00;
constexpr uint32_t SIM_FLASHF0_OBR_RDPRT_L1 = 1u << 1;

// Typical figures of the STM32F051 datasheet's flash table (the page and
// mass erase lines give 20-40 ms without a typical: the middle is taken).
struct SimFlashF0Timing {
    uint64_t program_ns; // one half-word
    uint64_t page_erase_ns;
    uint64_t mass_erase_ns;
};
SimFlashF0Timing sim_flashf0_timing_scaled(uint64_t divisor); // divisor 0 or 1: typical

enum class SimFlashF0Op : uint8_t { none, program, page_erase, mass_erase };

// About 64 KB: allocate it on the heap.
struct SimFlashF0 {
    SimFlashF0Timing timing;
    // Programs and erases are applied when they start; BSY then stands for
    // their duration and any array access stalls until it ends (as flash_f4).
    uint8_t array[SIM_FLASHF0_ARRAY_SIZE];
    uint32_t acr, sr, cr, ar;
    uint32_t obr;  // option bytes as loaded: survives reset
    uint32_t wrpr; // bit n = 0: pages 4n..4n+3 write-protected
    uint8_t key_stage, optkey_stage;
    bool key_locked_out, optkey_locked_out; // a wrong sequence: locked until reset
    SimFlashF0Op op;
    uint64_t busy_left_ns;
    uint64_t stalled_ns; // bus stalls resolved on the spot
    SimFlashFaults faults;
};

void sim_flashf0_init(SimFlashF0* fc, const SimFlashF0Timing* timing); // null: typical
void sim_flashf0_reset(SimFlashF0* fc); // registers and keys; array and option bytes kept
bool sim_flashf0_read(SimFlashF0* fc, uint32_t offset, unsigned size, uint32_t* value);
bool sim_flashf0_write(SimFlashF0* fc, uint32_t offset, unsigned size, uint32_t value);
// Stores: false (a bus error) outside the array, for anything but a half-word,
// and outside programming mode; PGERR/WRPRTERR otherwise answer normally.
bool sim_flashf0_array_write(SimFlashF0* fc, uint32_t offset, unsigned size, uint32_t value);
bool sim_flashf0_array_read(SimFlashF0* fc, uint32_t offset, unsigned size, uint32_t* value);
void sim_flashf0_advance(SimFlashF0* fc, uint64_t ns);
uint64_t sim_flashf0_busy_ns(const SimFlashF0* fc);
bool sim_flashf0_irq_pending(const SimFlashF0* fc);
void sim_flashf0_set_faults(SimFlashF0* fc, const SimFlashFaults* f);
// As if WRP0/WRP1 had been programmed and loaded: bit n = 0 protects pages 4n..4n+3.
void sim_flashf0_set_write_protect(SimFlashF0* fc, uint16_t wrp);
// Read protection level 1 (or back to 0) as if loaded. With the debugger
// attached the main array then neither reads, programs nor erases.
void sim_flashf0_set_read_protect(SimFlashF0* fc, bool level1);

// The seam: a new controller with its array erased.
bool sim_flashf0_create(uint64_t time_divisor, SimFlashCtl* out);
