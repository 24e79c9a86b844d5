// The embedded-Flash interface that STM32G0, G4 and L4 parts share (RM0444,
// RM0440, RM0351, "Embedded Flash memory (FLASH)"), and that the STM32U5
// keeps with its registers moved and a 128-bit row (flash_u5.h): one register
// block at 0x40022000, pages erased by number (PNB, BKER for the second
// bank), programming a row at a time (two word stores for a 64-bit double
// word, four for the U5's 128-bit quad word), WRP areas and RDP in the
// option bytes.
//
// The board maps `array` for reads and fetch and routes every store into it
// to sim_flashg0_array_write; register accesses are offsets from the
// layout's reg_base.
#pragma once

#include "sim/flash_ctl.h"

#include <cstdint>

constexpr uint32_t SIM_FLASHG0_REG_BASE = 0x40022000;
constexpr uint32_t SIM_FLASHG0_REG_SIZE = 0x400;
constexpr uint32_t SIM_FLASHG0_ARRAY_BASE = 0x08000000;
constexpr uint32_t SIM_FLASHG0_ARRAY_MAX = 2 * 1024 * 1024;  // the largest part behind this model (U5)

// Register offsets (G0, G4, L4; the U5's are in flash_u5.h).
constexpr uint32_t SIM_FLASHG0_ACR = 0x00;
constexpr uint32_t SIM_FLASHG0_KEYR = 0x08;
constexpr uint32_t SIM_FLASHG0_OPTKEYR = 0x0C;
constexpr uint32_t SIM_FLASHG0_SR = 0x10;
constexpr uint32_t SIM_FLASHG0_CR = 0x14;
constexpr uint32_t SIM_FLASHG0_OPTR = 0x20;
constexpr uint32_t SIM_FLASHG0_WRP1AR = 0x2C;
constexpr uint32_t SIM_FLASHG0_WRP1BR = 0x30;
constexpr uint32_t SIM_FLASHG0_WRP2AR = 0x4C;  // second bank (G4, L4)
constexpr uint32_t SIM_FLASHG0_WRP2BR = 0x50;

constexpr uint32_t SIM_FLASHG0_KEY1 = 0x45670123;
constexpr uint32_t SIM_FLASHG0_KEY2 = 0xCDEF89AB;
constexpr uint32_t SIM_FLASHG0_OPTKEY1 = 0x08192A3B;
constexpr uint32_t SIM_FLASHG0_OPTKEY2 = 0x4C5D6E7F;

// FLASH_SR (the U5's NSSR has the same bits but MISERR, FASTERR, RDERR, OPTVERR).
constexpr uint32_t SIM_FLASHG0_SR_EOP = 1u << 0;
constexpr uint32_t SIM_FLASHG0_SR_OPERR = 1u << 1;
constexpr uint32_t SIM_FLASHG0_SR_PROGERR = 1u << 3;
constexpr uint32_t SIM_FLASHG0_SR_WRPERR = 1u << 4;
constexpr uint32_t SIM_FLASHG0_SR_PGAERR = 1u << 5;
constexpr uint32_t SIM_FLASHG0_SR_SIZERR = 1u << 6;
constexpr uint32_t SIM_FLASHG0_SR_PGSERR = 1u << 7;
constexpr uint32_t SIM_FLASHG0_SR_MISERR = 1u << 8;
constexpr uint32_t SIM_FLASHG0_SR_FASTERR = 1u << 9;
constexpr uint32_t SIM_FLASHG0_SR_RDERR = 1u << 14;
constexpr uint32_t SIM_FLASHG0_SR_OPTVERR = 1u << 15;
constexpr uint32_t SIM_FLASHG0_SR_BSY = 1u << 16;
constexpr uint32_t SIM_FLASHG0_SR_CFGBSY = 1u << 18;  // G0: a row under way, or an operation

// FLASH_CR.
constexpr uint32_t SIM_FLASHG0_CR_PG = 1u << 0;
constexpr uint32_t SIM_FLASHG0_CR_PER = 1u << 1;
constexpr uint32_t SIM_FLASHG0_CR_MER1 = 1u << 2;
constexpr unsigned SIM_FLASHG0_CR_PNB_SHIFT = 3;
constexpr uint32_t SIM_FLASHG0_CR_BKER = 1u << 11;  // G4, L4, U5 (RM0351 and RM0440 agree with ST's algorithms)
constexpr uint32_t SIM_FLASHG0_CR_MER2 = 1u << 15;
constexpr uint32_t SIM_FLASHG0_CR_STRT = 1u << 16;
constexpr uint32_t SIM_FLASHG0_CR_OPTSTRT = 1u << 17;
constexpr uint32_t SIM_FLASHG0_CR_FSTPG = 1u << 18;
constexpr uint32_t SIM_FLASHG0_CR_EOPIE = 1u << 24;
constexpr uint32_t SIM_FLASHG0_CR_ERRIE = 1u << 25;
constexpr uint32_t SIM_FLASHG0_CR_OBL_LAUNCH = 1u << 27;
constexpr uint32_t SIM_FLASHG0_CR_OPTLOCK = 1u << 30;
constexpr uint32_t SIM_FLASHG0_CR_LOCK = 1u << 31;

// FLASH_OPTR.
constexpr uint32_t SIM_FLASHG0_OPTR_RDP_MASK = 0xFF;
constexpr uint8_t SIM_FLASHG0_RDP_LEVEL0 = 0xAA;
constexpr uint8_t SIM_FLASHG0_RDP_LEVEL2 = 0xCC;
constexpr uint32_t SIM_FLASHG0_OPTR_DBANK_G4 = 1u << 22;  // RM0440: two banks of 2 KB pages

// Durations of one operation; the defaults are the typical figures of each
// part's datasheet ("Flash memory characteristics").
struct SimFlashG0Timing {
    uint64_t program_ns;     // one row (double word, or quad word on the U5)
    uint64_t page_erase_ns;
    uint64_t mass_erase_ns;  // one bank or all
    uint64_t option_ns;      // option bytes: one page erased and written
};

// What tells the generations apart: registers, geometry, row width, timing.
struct SimFlashG0Layout {
    SimFlashKind kind;
    uint32_t array_size;
    uint32_t page_size;          // with two banks (or the only size)
    uint32_t page_size_single;   // G4 with DBANK clear: one bank of 4 KB pages; 0 if no such mode
    uint32_t dbank_bit;          // OPTR bit choosing two banks; 0 = fixed by `banks`
    uint8_t banks;               // 1 or 2 when dbank_bit is 0
    uint8_t row_bytes;           // 8 or 16
    uint8_t pnb_bits;
    uint8_t wrp_bits;            // width of the WRPxyR start and end fields
    uint32_t keyr, optkeyr, sr, cr, optr;
    uint32_t wrp[4];             // WRP1A, WRP1B, WRP2A, WRP2B offsets (0 = absent)
    uint32_t bker, mer2;         // 0 where the part has no second bank
    uint32_t sr_errors;          // the error flags the part has (all write-1-to-clear)
    uint32_t sr_wait;            // set while a row is partly written (CFGBSY, WDW)
    uint32_t sr_option_error;    // what a refused option change raises
    uint32_t optr_factory;
    SimFlashG0Timing timing;
};

// The layouts of the kinds this model serves (stm32g0, stm32g4, stm32l4,
// stm32u5); null for another kind.
const SimFlashG0Layout* sim_flashg0_layout(SimFlashKind kind);

enum class SimFlashG0Op : uint8_t { none, program, page_erase, mass_erase, option };

// Up to 2 MB: allocate it on the heap.
struct SimFlashG0 {
    SimFlashG0Layout lay;  // timing scaled
    // As in flash_f4: an operation is applied to the array when it starts,
    // BSY then stands for its duration; reads during BSY stall until it ends.
    uint8_t array[SIM_FLASHG0_ARRAY_MAX];

    uint32_t acr, sr, cr;
    uint32_t optr, wrp[4];        // the registers (what software wrote)
    uint32_t ob_optr, ob_wrp[4];  // the option bytes: what the part runs with, reloaded at reset

    uint8_t key_stage, optkey_stage;
    bool key_locked_out;          // a wrong key: CR locked and KEYR a bus error until reset
    bool optkey_locked_out;

    uint32_t row_off;             // the row being filled
    uint8_t row_words;            // words of it received so far (0 = none)
    uint32_t row_data[4];

    SimFlashG0Op op;
    uint64_t busy_left_ns;
    uint64_t stalled_ns;
    SimFlashFaults faults;
};

// Power-on: the array erased, option bytes at their factory values. False
// for a kind without a layout here.
bool sim_flashg0_init(SimFlashG0* fc, SimFlashKind kind, uint64_t time_divisor);
// System reset: registers and keys to reset values, option registers
// reloaded from the option bytes, the array kept, a running operation ended.
void sim_flashg0_reset(SimFlashG0* fc);

bool sim_flashg0_read(SimFlashG0* fc, uint32_t offset, unsigned size, uint32_t* value);
bool sim_flashg0_write(SimFlashG0* fc, uint32_t offset, unsigned size, uint32_t value);
// Programming errors set their SR flag and answer the bus normally; false
// only outside the array or for a size the bus cannot make. Reads are a bus
// error while RDP is at level 1 (a debugger is always connected here).
bool sim_flashg0_array_write(SimFlashG0* fc, uint32_t offset, unsigned size, uint32_t value);
bool sim_flashg0_array_read(SimFlashG0* fc, uint32_t offset, unsigned size, uint32_t* value);
void sim_flashg0_advance(SimFlashG0* fc, uint64_t ns);
uint64_t sim_flashg0_busy_ns(const SimFlashG0* fc);
bool sim_flashg0_irq_pending(const SimFlashG0* fc);
// As flash_f4: reject_keys, busy_stuck, error_on_program (error flags only),
// drop_writes; null clears.
void sim_flashg0_set_faults(SimFlashG0* fc, const SimFlashFaults* f);

// As if the option bytes had been programmed and reloaded (the registers
// show it at once, reset keeps it). Area 0..3 = WRP1A, WRP1B, WRP2A, WRP2B;
// pages start..end of that bank protected, start > end none. False for an
// area the part does not have.
bool sim_flashg0_set_write_protect(SimFlashG0* fc, unsigned area, uint32_t start, uint32_t end);
// RDP byte: 0xAA level 0, 0xCC level 2 (refused: not modelled), anything
// else level 1. False for 0xCC.
bool sim_flashg0_set_rdp(SimFlashG0* fc, uint8_t rdp);
// The whole OPTR as loaded (bank mode, watchdog bits...). The RDP byte must
// not be 0xCC.
bool sim_flashg0_set_optr(SimFlashG0* fc, uint32_t optr);

// The seam: a controller of `kind` (stm32g0, stm32g4, stm32l4, stm32u5).
bool sim_flashg0_create(SimFlashKind kind, uint64_t time_divisor, SimFlashCtl* out);
