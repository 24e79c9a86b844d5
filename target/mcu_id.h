// Which chip is on the wire: core from CPUID, vendor from the CoreSight ROM
// table, device from the vendor's ID register, flash size, and the STM32
// family/variant record the flash code works from. Probe thread only.
#pragma once

#include <cstdint>

struct DapContext;
struct SvdDevice;

enum McuVendorId {
    MCU_VENDOR_UNKNOWN = 0,
    MCU_VENDOR_ST = 1,
    MCU_VENDOR_NXP = 2,
    MCU_VENDOR_NORDIC = 3,
    MCU_VENDOR_RENESAS = 4,
    MCU_VENDOR_MICROCHIP = 5,
    MCU_VENDOR_INFINEON = 6,
    MCU_VENDOR_GD = 7,
};

// Strings are borrowed (static tables or the McuInfo holding the record).
struct McuRecord {
    McuVendorId vendor;
    const char* vendor_name;
    const char* family_name;
    const char* device_name;
    uint32_t device_id;
    uint32_t flash_size_reg;  // 0 = none
    uint32_t flash_size_mask;
    uint32_t flash_size_shift;
    uint32_t ram_size;        // bytes
    uint32_t flash_base;
    uint32_t flash_block_size;  // 0 = sectors of varying size
    uint8_t flash_erase_val;
    bool flash_dont_trim;
    bool dual_bank;
    bool dual_bank_opt;
    bool dual_core;
    uint32_t dbg_init_regs[4];
    uint32_t dbg_init_vals[4];
    int dbg_init_count;
    uint32_t reset_vec_base;
    uint32_t reset_vec_base2;
    const char* flash_algo;
};

struct McuInfo {
    uint32_t cpuid_raw;
    uint8_t implementer;
    uint8_t arch;
    uint16_t partno;
    uint8_t variant;
    uint8_t revision;
    char core_name[16];
    McuVendorId vendor;
    char vendor_name[16];
    bool has_fpu;
    bool has_tz;
    McuRecord mcu;
    uint32_t flash_kb;  // 0 = unknown
    bool valid;
    bool was_halted;
    char error[64];
};

struct CoreEntry {
    uint16_t partno;
    const char* name;
    bool has_fpu_option;
    bool has_tz_option;
};

struct JepEntry {
    uint16_t jep;
    McuVendorId vendor;
    const char* name;
};

enum StmFlashAlgo {
    FLASH_ALGO_F3_F1_F0 = 0,
    FLASH_ALGO_F7_F4_F2 = 1,
    FLASH_ALGO_C0_L4_GX_WX = 2,
    FLASH_ALGO_L1_L0 = 3,
    FLASH_ALGO_L5_U5 = 4,
    FLASH_ALGO_U0 = 5,
    FLASH_ALGO_H5 = 6,
    FLASH_ALGO_H7 = 7,
};

struct StmDbgInit {
    uint32_t reg;
    uint32_t val;
};

struct StmVariant {
    uint32_t device_id;  // 12-bit DBGMCU DEV_ID
    const char* name;
    uint32_t ram_size;
    bool dual_bank_opt;
    bool dual_core;
    const char* note;
};

struct StmFamily {
    const char* family_name;
    uint16_t cpu_partno;
    uint32_t flash_size_reg, flash_size_mask, flash_size_shift;
    uint32_t flash_base, flash_block_size;
    bool dual_bank;
    uint8_t flash_erase_val;
    bool flash_dont_trim;
    StmFlashAlgo flash_algo;
    StmDbgInit dbg_init[2];
    int dbg_init_count;
    uint32_t reset_vec_base, reset_vec_base2;
    const StmVariant* variants;
    int variant_count;
};

typedef bool (*McuDbLookupFn)(DapContext* dap, uint16_t partno, uint32_t device_id, McuRecord* out);
struct McuDb {
    McuVendorId vendor;
    const char* vendor_name;
    const uint16_t* jep_codes;
    int jep_count;
    McuDbLookupFn lookup;
};

// The tables, for tests and the flash code.
extern const CoreEntry s_cores[11];
extern const JepEntry s_jep[7];
extern const StmFamily s_stm32_families[];
extern const int s_stm32_family_count;
extern const char* const s_stm32_algo_names[8];

// The identified chip, kept by the probe thread.
extern McuInfo g_mcu_info;

// What the setup panel shows of the connected chip.
struct SetupMcuInfo {
    bool valid;
    char device[64];
    uint32_t flash_kb;
    bool has_flash_algo;
};
// Written by the probe thread under reg_buf_mtx; read through the snapshot.
extern SetupMcuInfo g_setup_mcu;
SetupMcuInfo setup_mcu_snapshot();

// The pack device of the connected NXP part, when its pack was found, and
// the connected chip's pack device whatever its vendor (probe thread).
struct PdscDevice;
extern const PdscDevice* g_nxp_pdsc_device;
extern const PdscDevice* g_pack_device;

// False only for null arguments or a failed CPUID read (info->error says so).
bool mcu_id_read(DapContext* dap, const SvdDevice* svd, McuInfo* info);
void mcu_id_summary(const McuInfo* info, char* buf, int len);
void mcu_record_init(McuRecord* rec);
bool stm32_lookup(DapContext* dap, uint16_t partno, uint32_t device_id, McuRecord* out);
uint32_t stm32_l1_flash_size_reg(uint32_t device_id);
uint32_t stm32_u0_flash_size_reg(uint32_t device_id);
uint32_t stm32_f7_flash_size_reg(uint32_t device_id);

// Hooks identification into the probe thread (after each connect, and at
// halts until it succeeds) and publishes the result to the setup panel; and
// the chip's pack sequences (DebugDeviceUnlock and DebugCoreStart after the
// identification, the default reset sequence for a reset, DebugCoreStop at
// the end of the session).
void mcu_id_install();
// The register description that NXP device-id lookups search; set before the
// probe thread starts. May be null.
void mcu_id_set_svd(const SvdDevice* svd);
