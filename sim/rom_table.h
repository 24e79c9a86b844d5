// CoreSight identification: the peripheral and component ID registers every
// debug component carries at 0xFD0-0xFFC of its 4 KB block, and ROM tables
// (ADIv5 class 0x1) that list components so a debugger can discover them.
//
// Blocks are accessed with offsets relative to their base address.
#pragma once

#include "sim/sim_types.h"

#include <cstdint>

constexpr uint32_t SIM_ROM_M4_BASE = 0xE00FF000;
constexpr uint32_t SIM_SCS_BASE = 0xE000E000;
constexpr uint32_t SIM_ITM_BASE = 0xE0000000;
constexpr uint32_t SIM_DWT_BASE = 0xE0001000;
constexpr uint32_t SIM_FPB_BASE = 0xE0002000;
constexpr uint32_t SIM_TPIU_BASE = 0xE0040000;
constexpr uint32_t SIM_ETM_BASE = 0xE0041000;

// PIDR4..7 then PIDR0..3 (0xFD0-0xFEC), CIDR0..3 (0xFF0-0xFFC): one byte each.
struct SimCsIds {
    uint8_t pidr[8]; // index = PIDR number
    uint8_t cidr[4];
};

enum class SimCsComponent : uint8_t { rom_m4, rom_stm32f4, scs_m4, dwt_m4, fpb_m4, itm_m4 };
// The values ARM's Cortex-M4 TRM gives (r0p1), and ST's for its ROM table.
SimCsIds sim_cs_ids(SimCsComponent c);

// Offsets 0xFD0-0xFFC of a component: the ID registers. False for any other
// offset or a misaligned access, so the caller decides what else lives there.
bool sim_cs_id_read(const SimCsIds* ids, uint32_t offset, unsigned size, uint32_t* value);

// Decoded from the ID registers, as a debugger would.
uint16_t sim_cs_jep106(const SimCsIds* ids);   // continuation << 8 | identity
uint16_t sim_cs_part(const SimCsIds* ids);
uint8_t sim_cs_class(const SimCsIds* ids);     // CIDR1 bits 7:4

constexpr unsigned SIM_ROM_MAX_ENTRIES = 16;

struct SimRomEntry {
    uint32_t target;  // absolute base address of the listed component
    bool present;
};

struct SimRomTable {
    uint32_t base;
    SimCsIds ids;
    SimRomEntry entries[SIM_ROM_MAX_ENTRIES];
    unsigned count;
    uint32_t memtype; // 1 = system memory is present on this bus
};

// False when the table is full or the target is not 4 KB aligned.
bool sim_rom_add(SimRomTable* rt, uint32_t target, bool present);
// The Cortex-M4 table at 0xE00FF000: SCS, DWT, FPB, ITM present; TPIU and
// ETM listed as absent (this model has neither).
void sim_rom_init_cortex_m4(SimRomTable* rt);
// What an STM32F405/407 shows at 0xE00FF000: the same entries under ST's
// identification (JEP106 0x020, part 0x413), which is where a debugger's
// vendor detection looks.
void sim_rom_init_stm32f4(SimRomTable* rt);
// The same for another STM32: ST carries the part's DEV_ID as the part number.
void sim_rom_init_stm32(SimRomTable* rt, uint16_t dev_id);
// A vendor table at `base` whose one entry is another ROM table (a chain, as
// on parts that keep the processor's own table behind their own).
void sim_rom_init_chain(SimRomTable* rt, uint32_t base, SimCsComponent vendor, uint32_t next_table);

// Entries at 0x000.., the end marker 0, MEMTYPE at 0xFCC, IDs at 0xFD0..
// Reads only; writes are ignored. Words only (false otherwise).
bool sim_rom_read(const SimRomTable* rt, uint32_t offset, unsigned size, uint32_t* value);
bool sim_rom_write(SimRomTable* rt, uint32_t offset, unsigned size, uint32_t value);
SimMemPort sim_rom_port(SimRomTable* rt);
