// MEM-AP (AHB-AP flavour as on a Cortex-M4) behind the SW-DP: CSW, TAR, DRW,
// BD0-BD3, CFG, BASE, IDR. Accesses are instantaneous; the DP decides what a
// bus error means for the SWD answer.
#pragma once

#include <cstdint>

#include "sim/sim_types.h"

// CSW fields the DP and tests name.
enum : uint32_t {
    SIM_CSW_SIZE_MASK = 0x7u,
    SIM_CSW_SIZE8 = 0x0u,
    SIM_CSW_SIZE16 = 0x1u,
    SIM_CSW_SIZE32 = 0x2u,
    SIM_CSW_ADDRINC_MASK = 0x30u,
    SIM_CSW_ADDRINC_OFF = 0x00u,
    SIM_CSW_ADDRINC_SINGLE = 0x10u,
    SIM_CSW_ADDRINC_PACKED = 0x20u,
    SIM_CSW_DEVICEEN = 0x40u,
    SIM_CSW_TRINPROG = 0x80u,
};

// AP register offsets (APBANKSEL << 4 | A[3:2] << 2).
enum : uint8_t {
    SIM_AP_CSW = 0x00,
    SIM_AP_TAR = 0x04,
    SIM_AP_TAR_HI = 0x08,
    SIM_AP_DRW = 0x0C,
    SIM_AP_BD0 = 0x10,
    SIM_AP_CFG = 0xF4,
    SIM_AP_BASE = 0xF8,
    SIM_AP_IDR = 0xFC,
};

struct SimMemApConfig {
    uint32_t idr;        // 0x24770011: AHB-AP of a Cortex-M4
    uint32_t base;       // 0xE00FF003: ROM table present, at 0xE00FF000
    uint32_t csw_reset;  // 0x23000040: Prot = debug master + privileged, DeviceEn
    bool packed;         // packed 8/16-bit transfers implemented
};

struct SimMemAp {
    SimMemApConfig cfg;
    SimMemPort bus;
    uint32_t csw;
    uint32_t tar;
};

void sim_memap_default_config(SimMemApConfig* c);
void sim_memap_init(SimMemAp* ap, const SimMemApConfig* c, SimMemPort bus);
void sim_memap_reset(SimMemAp* ap);
// reg = byte offset 0x00..0xFC. False = the bus answered an error; TAR then
// keeps the failing address (it only advances after a successful access).
bool sim_memap_read(SimMemAp* ap, uint8_t reg, uint32_t* value);
bool sim_memap_write(SimMemAp* ap, uint8_t reg, uint32_t value);
// Pushed compare/verify: reads at TAR as a DRW read would and compares the
// byte lanes selected by lane_mask (bit n = byte lane n).
bool sim_memap_compare(SimMemAp* ap, uint32_t value, uint8_t lane_mask, bool* equal);
