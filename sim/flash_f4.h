// The embedded-Flash interface of a 1 MB single-bank STM32F405/407 (RM0090,
// "Embedded Flash memory interface"): the register block at 0x40023C00 and
// the 1 MB array at 0x08000000 it programs and erases. The same model serves
// the 2 MB STM32F42x/43x: two banks of 12 sectors, sectors 12-23 named by
// SNB 16-27, bank 2 mass-erased by MER1 and write-protected through OPTCR1.
//
// The board maps `array` for reads and instruction fetch, and routes every
// store into the array area to sim_flashf4_array_write. Register accesses use
// offsets relative to SIM_FLASHF4_REG_BASE.
#pragma once

#include "sim/flash_ctl.h"
#include "sim/sim_types.h"

#include <cstdint>

constexpr uint32_t SIM_FLASHF4_REG_BASE = 0x40023C00;
constexpr uint32_t SIM_FLASHF4_REG_SIZE = 0x400;
constexpr uint32_t SIM_FLASHF4_ARRAY_BASE = 0x08000000;
constexpr uint32_t SIM_FLASHF4_ARRAY_SIZE = 1024 * 1024;   // single bank
constexpr uint32_t SIM_FLASHF4_ARRAY_SIZE_2M = 2048 * 1024; // two banks
constexpr unsigned SIM_FLASHF4_SECTORS = 12;                // in one bank

// Register offsets.
constexpr uint32_t SIM_FLASHF4_ACR = 0x00;
constexpr uint32_t SIM_FLASHF4_KEYR = 0x04;
constexpr uint32_t SIM_FLASHF4_OPTKEYR = 0x08;
constexpr uint32_t SIM_FLASHF4_SR = 0x0C;
constexpr uint32_t SIM_FLASHF4_CR = 0x10;
constexpr uint32_t SIM_FLASHF4_OPTCR = 0x14;
constexpr uint32_t SIM_FLASHF4_OPTCR1 = 0x18; // two banks only: nWRP of sectors 12-23

// Keys.
constexpr uint32_t SIM_FLASHF4_KEY1 = 0x45670123;
constexpr uint32_t SIM_FLASHF4_KEY2 = 0xCDEF89AB;
constexpr uint32_t SIM_FLASHF4_OPTKEY1 = 0x08192A3B;
constexpr uint32_t SIM_FLASHF4_OPTKEY2 = 0x4C5D6E7F;

// FLASH_SR bits.
constexpr uint32_t SIM_FLASHF4_SR_EOP = 1u << 0;
constexpr uint32_t SIM_FLASHF4_SR_OPERR = 1u << 1;
constexpr uint32_t SIM_FLASHF4_SR_WRPERR = 1u << 4;
constexpr uint32_t SIM_FLASHF4_SR_PGAERR = 1u << 5;
constexpr uint32_t SIM_FLASHF4_SR_PGPERR = 1u << 6;
constexpr uint32_t SIM_FLASHF4_SR_PGSERR = 1u << 7;
constexpr uint32_t SIM_FLASHF4_SR_BSY = 1u << 16;

// FLASH_CR bits.
constexpr uint32_t SIM_FLASHF4_CR_PG = 1u << 0;
constexpr uint32_t SIM_FLASHF4_CR_SER = 1u << 1;
constexpr uint32_t SIM_FLASHF4_CR_MER = 1u << 2;
constexpr unsigned SIM_FLASHF4_CR_SNB_SHIFT = 3;   // 4 bits; 5 with two banks (bank 2 from 16)
constexpr unsigned SIM_FLASHF4_CR_PSIZE_SHIFT = 8; // 2 bits: x8, x16, x32, x64
constexpr uint32_t SIM_FLASHF4_CR_MER1 = 1u << 15;  // two banks only: erase bank 2
constexpr uint32_t SIM_FLASHF4_CR_STRT = 1u << 16;
constexpr uint32_t SIM_FLASHF4_CR_EOPIE = 1u << 24;
constexpr uint32_t SIM_FLASHF4_CR_ERRIE = 1u << 25;
constexpr uint32_t SIM_FLASHF4_CR_LOCK = 1u << 31;

// FLASH_OPTCR bits.
constexpr uint32_t SIM_FLASHF4_OPTCR_OPTLOCK = 1u << 0;
constexpr uint32_t SIM_FLASHF4_OPTCR_OPTSTRT = 1u << 1;
constexpr uint32_t SIM_FLASHF4_OPTCR_RESET = 0x0FFFAAED; // RDP = 0xAA: level 0
constexpr uint32_t SIM_FLASHF4_OPTCR1_RESET = 0x0FFF0000;

// Durations of one operation, by PSIZE (x8, x16, x32, x64). Defaults are the
// typical values of the STM32F405xx datasheet's Flash programming table; x64
// (needs an external VPP) reuses the x32 figures.
struct SimFlashF4Timing {
    uint64_t program_ns;         // one program access, any size
    uint64_t erase_16k_ns[4];
    uint64_t erase_64k_ns[4];
    uint64_t erase_128k_ns[4];
    uint64_t mass_erase_ns[4];   // one bank
    uint64_t option_ns;          // option-byte programming
};
SimFlashF4Timing sim_flashf4_timing_typical();
// The typical figures divided by `divisor` (>= 1): a test mode that keeps the
// ratios but does not make a test wait for seconds of virtual time.
SimFlashF4Timing sim_flashf4_timing_scaled(uint64_t divisor);

struct SimFlashF4Sector {
    uint32_t offset; // from SIM_FLASHF4_ARRAY_BASE
    uint32_t size;
};
// False for a sector number the 1 MB single-bank part does not have.
bool sim_flashf4_sector(unsigned snb, SimFlashF4Sector* out);
struct SimFlashF4;
// The sector an SNB value names on this controller (16-27 for bank 2 when
// it has two banks); false for one it does not have.
bool sim_flashf4_sector_of(const SimFlashF4* fc, unsigned snb, SimFlashF4Sector* out);

enum class SimFlashF4Op : uint8_t { none, program, sector_erase, mass_erase, option };

// Injected faults: the same for every generation (flash_ctl.h).
using SimFlashF4Faults = SimFlashFaults;

// About 2 MB: allocate it on the heap.
struct SimFlashF4 {
    SimFlashF4Timing timing;
    // The array the board maps for reads and fetch. A program or erase is
    // applied here when it starts and BSY then only stands for its duration:
    // on the part every read during BSY stalls until the end, so no access
    // can see anything but the final contents. A board that models the stall
    // delays the access by sim_flashf4_busy_ns(); sim_flashf4_array_read does
    // the same by completing the operation and counting it in stalled_ns.
    uint8_t array[SIM_FLASHF4_ARRAY_SIZE_2M];
    uint32_t array_size;     // SIM_FLASHF4_ARRAY_SIZE or, with two banks, _2M
    bool dual_bank;

    uint32_t acr;
    uint32_t sr;
    uint32_t cr;
    uint32_t optcr;
    uint32_t option_bytes;   // what OPTCR reloads at reset (survives reset)
    uint32_t optcr1;         // two banks only
    uint32_t option_bytes1;  // what OPTCR1 reloads

    uint8_t key_stage;       // 0 = expect KEY1, 1 = expect KEY2
    bool key_locked_out;     // a wrong sequence: CR locked until reset
    uint8_t optkey_stage;
    bool optkey_locked_out;

    SimFlashF4Op op;         // the operation BSY stands for
    uint64_t busy_left_ns;
    uint64_t stalled_ns;     // bus stalls resolved on the spot (see array_write)

    SimFlashF4Faults faults;
};

// Faults as described at SimFlashF4Faults; null clears them.
//  - reject_keys: KEYR stores are answered but ignored, so CR stays locked and
//    its writes are dropped as on any locked part (a program access then
//    fails with PGSERR; a locked CR cannot start an erase).
//  - busy_stuck: an operation started from now on keeps BSY set and never
//    applies its effect (nothing could ever observe it); a read of the array
//    is not stalled and sees the unchanged contents, busy_ns is UINT64_MAX.
//    Clearing the fault lets the operation end, still without its effect.
//  - error_on_program: only the error flags of FLASH_SR are kept; they are
//    raised after the checks the hardware makes itself (PGSERR, WRPERR, ...).
void sim_flashf4_set_faults(SimFlashF4* fc, const SimFlashF4Faults* f);
// nWRP bit n = 1: sector n writable (bits 12..15 ignored). Set as if the
// option bytes had been programmed and reloaded: OPTCR shows it at once and
// it survives reset.
void sim_flashf4_set_write_protect(SimFlashF4* fc, uint16_t nwrp);
// The same for bank 2 (OPTCR1): nWRP bit n = 1, sector 12 + n writable.
void sim_flashf4_set_write_protect_bank2(SimFlashF4* fc, uint16_t nwrp);

// Power-on: the array erased (all 0xFF), option bytes at their factory values,
// registers at reset. `timing` may be null for the typical figures.
void sim_flashf4_init(SimFlashF4* fc, const SimFlashF4Timing* timing);
// The same for the 2 MB dual-bank part.
void sim_flashf4_init_dual_bank(SimFlashF4* fc, const SimFlashF4Timing* timing);
// System reset: registers (and the key state) back to reset values, OPTCR
// reloaded from the option bytes; the array keeps its contents. An operation
// in progress is abandoned: its effect on the array has already been applied.
void sim_flashf4_reset(SimFlashF4* fc);

bool sim_flashf4_read(SimFlashF4* fc, uint32_t offset, unsigned size, uint32_t* value);
bool sim_flashf4_write(SimFlashF4* fc, uint32_t offset, unsigned size, uint32_t value);
// The register block as a port: addresses are offsets from SIM_FLASHF4_REG_BASE.
SimMemPort sim_flashf4_reg_port(SimFlashF4* fc);

// A store into the array (offset from SIM_FLASHF4_ARRAY_BASE). Programming
// errors set their FLASH_SR flag and return true, as the hardware answers the
// bus normally; false only for an access outside the array or of a size the
// bus cannot make (1, 2 or 4 bytes).
bool sim_flashf4_array_write(SimFlashF4* fc, uint32_t offset_in_flash, unsigned size, uint32_t value);
// A load from the array, little-endian, any alignment inside the array.
bool sim_flashf4_array_read(SimFlashF4* fc, uint32_t offset_in_flash, unsigned size, uint32_t* value);

// Time passes: a running operation completes when its duration is used up.
void sim_flashf4_advance(SimFlashF4* fc, uint64_t ns);
// How long an access to the array would stall the bus now (0 = not busy).
uint64_t sim_flashf4_busy_ns(const SimFlashF4* fc);
// The flash interrupt line: EOP with EOPIE, or an error flag with ERRIE.
bool sim_flashf4_irq_pending(const SimFlashF4* fc);
