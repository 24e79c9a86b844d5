// The STM32 family and variant tables and the record lookup that the
// identification, the pack database and the native flash code share.
#include <cstddef>

#include "target/mcu_id.h"

namespace {

constexpr uint32_t KiB = 1024;
constexpr uint32_t kFlashBase = 0x08000000;

// DBGMCU_CR (stop/standby/sleep debug) and DBGMCU_APB1_FZ (IWDG/WWDG frozen
// while halted), so flashing is not cut short by a watchdog.
constexpr StmDbgInit kDbgCrApb1[2] = {{0xE0042004, 0x7}, {0xE0042008, 0x1800}};

const StmVariant kC0[] = {
    {0x443, "STM32C011xx", 6 * KiB, false, false, nullptr},
    {0x453, "STM32C031xx", 12 * KiB, false, false, nullptr},
};
const StmVariant kF0[] = {
    {0x440, "STM32F05x/F030x8", 8 * KiB, false, false, nullptr},
    {0x442, "STM32F09x", 32 * KiB, false, false, nullptr},
    {0x444, "STM32F03x", 4 * KiB, false, false, nullptr},
    {0x445, "STM32F04x", 6 * KiB, false, false, nullptr},
    {0x448, "STM32F07x", 16 * KiB, false, false, nullptr},
};
const StmVariant kF1[] = {
    {0x410, "STM32F1xx medium-density", 20 * KiB, false, false, nullptr},
    {0x412, "STM32F1xx low-density", 10 * KiB, false, false, nullptr},
    {0x414, "STM32F1xx high-density", 64 * KiB, false, false, nullptr},
    {0x418, "STM32F1xx connectivity", 64 * KiB, false, false, nullptr},
    {0x420, "STM32F100xx low/med VL", 8 * KiB, false, false, nullptr},
    {0x428, "STM32F100xx hi-density VL", 32 * KiB, false, false, nullptr},
    {0x430, "STM32F1xx XL-density", 96 * KiB, false, false, nullptr},
};
const StmVariant kF2[] = {
    {0x411, "STM32F2xx", 128 * KiB, false, false, "shares its id with the first F4 silicon"},
};
const StmVariant kF3[] = {
    {0x422, "STM32F30x (rev A errata)", 40 * KiB, false, false, nullptr},
    {0x432, "STM32F37x", 40 * KiB, false, false, nullptr},
    {0x438, "STM32F303x6/8, F328", 12 * KiB, false, false, nullptr},
    {0x439, "STM32F302x8", 40 * KiB, false, false, nullptr},
    {0x446, "STM32F303xD/E, F398xE", 64 * KiB, false, false, nullptr},
};
const StmVariant kF4[] = {
    {0x411, "STM32F405/415, F407/417 (rev A)", 192 * KiB, false, false, nullptr},
    {0x413, "STM32F405/415, F407/417", 192 * KiB, false, false, nullptr},
    {0x419, "STM32F42x/43x", 256 * KiB, true, false, nullptr},
    {0x421, "STM32F446", 128 * KiB, false, false, nullptr},
    {0x423, "STM32F401xB/C", 64 * KiB, false, false, nullptr},
    {0x431, "STM32F411", 128 * KiB, false, false, nullptr},
    {0x433, "STM32F401xD/E", 96 * KiB, false, false, nullptr},
    {0x434, "STM32F469/479", 256 * KiB, false, false, nullptr},
    {0x441, "STM32F412", 256 * KiB, false, false, nullptr},
    {0x458, "STM32F410", 32 * KiB, false, false, nullptr},
};
const StmVariant kF7[] = {
    {0x449, "STM32F74x/75x", 320 * KiB, false, false, nullptr},
    {0x451, "STM32F76x/77x", 512 * KiB, false, false, nullptr},
    {0x452, "STM32F72x/73x", 512 * KiB, false, false, nullptr},
};
const StmVariant kG0[] = {
    {0x456, "STM32G05x/06x", 18 * KiB, false, false, nullptr},
    {0x460, "STM32G07x/08x", 36 * KiB, false, false, nullptr},
    {0x466, "STM32G03x/04x", 8 * KiB, false, false, nullptr},
    {0x467, "STM32G0B1/0C1", 128 * KiB, true, false, nullptr},
};
const StmVariant kG4[] = {
    {0x468, "STM32G43x/44x", 32 * KiB, false, false, nullptr},
    {0x469, "STM32G47x/48x", 128 * KiB, true, false, nullptr},
    {0x479, "STM32G49x", 96 * KiB, true, false, nullptr},
};
const StmVariant kH5[] = {
    {0x474, "STM32H503", 32 * KiB, false, false, nullptr},
    {0x478, "STM32H523/533", 272 * KiB, false, false, nullptr},
    {0x484, "STM32H562/563/573", 640 * KiB, false, false, nullptr},
};
const StmVariant kH7[] = {
    {0x450, "STM32H74x/75x", 512 * KiB, false, true, nullptr},
    {0x480, "STM32H7Ax/7Bx", 512 * KiB, false, false, nullptr},
    {0x483, "STM32H72x/73x", 512 * KiB, false, false, nullptr},
};
const StmVariant kL0[] = {
    {0x417, "STM32L0xx Cat.3", 8 * KiB, false, false, nullptr},
    {0x425, "STM32L0xx Cat.2", 8 * KiB, false, false, nullptr},
    {0x447, "STM32L0xx Cat.5", 20 * KiB, false, false, nullptr},
    {0x457, "STM32L0xx Cat.1", 8 * KiB, false, false, nullptr},
};
const StmVariant kL1[] = {
    {0x416, "STM32L1xx Cat.1 low/medium", 16 * KiB, false, false, nullptr},
    {0x427, "STM32L1xx Cat.3 medium+", 32 * KiB, false, false, nullptr},
    {0x429, "STM32L1xx Cat.2", 32 * KiB, false, false, nullptr},
    {0x436, "STM32L1xx Cat.4/Cat.3 hi", 48 * KiB, false, false, nullptr},
    {0x437, "STM32L1xx Cat.5/Cat.6", 80 * KiB, false, false, nullptr},
};
const StmVariant kL4[] = {
    {0x415, "STM32L47x/L48x", 128 * KiB, true, false, nullptr},
    {0x461, "STM32L49x/L4Ax", 320 * KiB, true, false, nullptr},
    {0x435, "STM32L43x/L44x", 64 * KiB, false, false, nullptr},
    {0x462, "STM32L45x/L46x", 160 * KiB, false, false, nullptr},
    {0x464, "STM32L41x/L42x", 40 * KiB, false, false, nullptr},
    {0x470, "STM32L4Rx/L4Sx", 640 * KiB, true, false, nullptr},
    {0x471, "STM32L4P5/L4Q5", 320 * KiB, true, false, nullptr},
};
const StmVariant kL5[] = {
    {0x472, "STM32L552/562", 256 * KiB, true, false, nullptr},
};
const StmVariant kU0[] = {
    {0x459, "STM32U031xx", 12 * KiB, false, false, nullptr},
    {0x489, "STM32U073/083x", 40 * KiB, false, false, nullptr},
};
const StmVariant kU5[] = {
    {0x455, "STM32U535/545", 274 * KiB, false, false, nullptr},
    {0x476, "STM32U5Fx/Gx5", 3026 * KiB, false, false, nullptr},
    {0x481, "STM32U59x/5Ax", 2514 * KiB, false, false, nullptr},
    {0x482, "STM32U575/585", 786 * KiB, false, false, nullptr},
};
const StmVariant kWbWl[] = {
    {0x495, "STM32WB55xx", 256 * KiB, false, false, nullptr},
    {0x496, "STM32WB35xx", 256 * KiB, false, false, nullptr},
    {0x497, "STM32WLEx", 256 * KiB, false, false, nullptr},
};

template <size_t N>
constexpr int count(const StmVariant (&)[N]) {
    return static_cast<int>(N);
}

}  // namespace

const char* const s_stm32_algo_names[8] = {"f3_f1_f0", "f7_f4_f2", "c0_l4_gx_wx", "l1_l0", "l5_u5", "u0", "h5", "h7"};

#define FAM_VARIANTS(v) v, count(v)
const StmFamily s_stm32_families[] = {
    {"STM32C0", 0xC60, 0x1FFF75A0, 0xFFFF, 0, kFlashBase, 0x800, false, 0xFF, false, FLASH_ALGO_C0_L4_GX_WX, {}, 0,
     kFlashBase, 0, FAM_VARIANTS(kC0)},
    {"STM32F0", 0xC20, 0x1FFFF7CC, 0xFFFC, 0, kFlashBase, 0x400, false, 0xFF, false, FLASH_ALGO_F3_F1_F0,
     {{0x40015804, 0x4}}, 1, kFlashBase, 0, FAM_VARIANTS(kF0)},
    {"STM32F1", 0xC23, 0x1FFFF7E0, 0xFFFF, 0, kFlashBase, 0x400, false, 0xFF, false, FLASH_ALGO_F3_F1_F0, {}, 0,
     kFlashBase, 0, FAM_VARIANTS(kF1)},
    {"STM32F2", 0xC23, 0x1FFF7A22, 0xFFFF, 16, kFlashBase, 0, false, 0xFF, false, FLASH_ALGO_F7_F4_F2,
     {kDbgCrApb1[0], kDbgCrApb1[1]}, 2, kFlashBase, 0, FAM_VARIANTS(kF2)},
    {"STM32F3", 0xC24, 0x1FFFF7CC, 0xFFFF, 0, kFlashBase, 0x800, false, 0xFF, false, FLASH_ALGO_F3_F1_F0,
     {kDbgCrApb1[0], kDbgCrApb1[1]}, 2, kFlashBase, 0, FAM_VARIANTS(kF3)},
    {"STM32F4", 0xC24, 0x1FFF7A22, 0xFFFF, 16, kFlashBase, 0, false, 0xFF, false, FLASH_ALGO_F7_F4_F2,
     {kDbgCrApb1[0], kDbgCrApb1[1]}, 2, kFlashBase, 0, FAM_VARIANTS(kF4)},
    {"STM32F7", 0xC27, 0x1FF0F442, 0xFFFF, 16, kFlashBase, 0, false, 0xFF, false, FLASH_ALGO_F7_F4_F2,
     {kDbgCrApb1[0], kDbgCrApb1[1]}, 2, kFlashBase, 0, FAM_VARIANTS(kF7)},
    {"STM32G0", 0xC60, 0x1FFF75E0, 0xFFFC, 0, kFlashBase, 0x800, false, 0xFF, false, FLASH_ALGO_C0_L4_GX_WX,
     {{0x40015804, 0x6}}, 1, kFlashBase, 0, FAM_VARIANTS(kG0)},
    {"STM32G4", 0xC24, 0x1FFF75E0, 0xFFFC, 0, kFlashBase, 0x800, false, 0xFF, false, FLASH_ALGO_C0_L4_GX_WX,
     {{0x40015804, 0x6}}, 1, kFlashBase, 0, FAM_VARIANTS(kG4)},
    {"STM32H5", 0xD21, 0x08FFF80C, 0xFFFF, 0, kFlashBase, 0x2000, true, 0xFF, false, FLASH_ALGO_H5, {}, 0,
     kFlashBase, 0, FAM_VARIANTS(kH5)},
    {"STM32H7", 0xC27, 0x1FF1E880, 0xFFFF, 0, kFlashBase, 0x20000, false, 0xFF, false, FLASH_ALGO_H7,
     {{0x5C001004, 0x600004}, {0x5C001054, 0x40000}}, 2, kFlashBase, 0x08100000, FAM_VARIANTS(kH7)},
    {"STM32L0", 0xC60, 0x1FF8007C, 0xFFFC, 0, kFlashBase, 0x80, false, 0x00, true, FLASH_ALGO_L1_L0,
     {{0x40015804, 0x6}}, 1, kFlashBase, 0, FAM_VARIANTS(kL0)},
    {"STM32L1", 0xC23, 0, 0xFFFC, 0, kFlashBase, 0x100, false, 0x00, true, FLASH_ALGO_L1_L0, {}, 0, kFlashBase, 0,
     FAM_VARIANTS(kL1)},
    {"STM32L4", 0xC24, 0x1FFF75E0, 0xFFFF, 0, kFlashBase, 0x800, false, 0xFF, false, FLASH_ALGO_C0_L4_GX_WX,
     {kDbgCrApb1[0], kDbgCrApb1[1]}, 2, kFlashBase, 0, FAM_VARIANTS(kL4)},
    {"STM32L5", 0xD21, 0x0BFA05E0, 0xFFFF, 0, kFlashBase, 0x800, false, 0xFF, false, FLASH_ALGO_L5_U5, {}, 0,
     kFlashBase, 0, FAM_VARIANTS(kL5)},
    {"STM32U0", 0xC60, 0, 0xFFFF, 0, kFlashBase, 0x800, false, 0xFF, true, FLASH_ALGO_U0, {}, 0, kFlashBase, 0,
     FAM_VARIANTS(kU0)},
    {"STM32U5", 0xD21, 0x0BFA07A0, 0xFFFF, 0, kFlashBase, 0x2000, true, 0xFF, false, FLASH_ALGO_L5_U5, {}, 0,
     kFlashBase, 0, FAM_VARIANTS(kU5)},
    {"STM32WB/WL", 0xC24, 0x1FFF75E0, 0xFFFF, 0, kFlashBase, 0x800, false, 0xFF, false, FLASH_ALGO_C0_L4_GX_WX,
     {{0xE0042004, 0x7}, {0xE004203C, 0x1800}}, 2, kFlashBase, 0, FAM_VARIANTS(kWbWl)},
};
#undef FAM_VARIANTS
const int s_stm32_family_count = static_cast<int>(sizeof s_stm32_families / sizeof s_stm32_families[0]);

uint32_t stm32_l1_flash_size_reg(uint32_t device_id) {
    if (device_id == 0x416 || device_id == 0x429) return 0x1FF8004C;
    if (device_id == 0x436) return 0;  // Cat.4/Cat.3 high density keeps no size word there
    return 0x1FF800CC;
}

uint32_t stm32_u0_flash_size_reg(uint32_t device_id) { return device_id == 0x459 ? 0x1FFF3EA0 : 0x1FFF6EA0; }

uint32_t stm32_f7_flash_size_reg(uint32_t device_id) { return device_id == 0x452 ? 0x1FF07A22 : 0x1FF0F442; }

namespace {

// Families whose size word moves with the variant; recognised by their flash
// procedure, so a renamed family keeps working.
uint32_t family_size_reg(const StmFamily& f, uint32_t device_id) {
    if (f.flash_algo == FLASH_ALGO_L1_L0 && f.flash_block_size == 0x100) return stm32_l1_flash_size_reg(device_id);
    if (f.flash_algo == FLASH_ALGO_U0) return stm32_u0_flash_size_reg(device_id);
    if (f.flash_algo == FLASH_ALGO_F7_F4_F2 && f.cpu_partno == 0xC27) return stm32_f7_flash_size_reg(device_id);
    return f.flash_size_reg;
}

}  // namespace

bool stm32_lookup(DapContext*, uint16_t partno, uint32_t device_id, McuRecord* out) {
    if (!out) return false;
    for (int i = 0; i < s_stm32_family_count; ++i) {
        const StmFamily& f = s_stm32_families[i];
        if (f.cpu_partno != partno) continue;
        for (int j = 0; j < f.variant_count; ++j) {
            const StmVariant& v = f.variants[j];
            if (v.device_id != device_id) continue;
            mcu_record_init(out);
            out->vendor = MCU_VENDOR_ST;
            out->vendor_name = "ST";
            out->family_name = f.family_name;
            out->device_name = v.name;
            out->device_id = device_id;
            out->ram_size = v.ram_size;
            out->flash_base = f.flash_base;
            out->flash_block_size = f.flash_block_size;
            out->flash_erase_val = f.flash_erase_val;
            out->flash_dont_trim = f.flash_dont_trim;
            out->dual_bank = f.dual_bank;
            out->dual_bank_opt = v.dual_bank_opt;
            out->dual_core = v.dual_core;
            out->reset_vec_base = f.reset_vec_base;
            out->reset_vec_base2 = f.reset_vec_base2;
            out->flash_algo = s_stm32_algo_names[f.flash_algo];
            out->flash_size_mask = f.flash_size_mask;
            out->flash_size_shift = f.flash_size_shift;
            out->flash_size_reg = family_size_reg(f, device_id);
            const int n = f.dbg_init_count < 2 ? (f.dbg_init_count > 0 ? f.dbg_init_count : 0) : 2;
            for (int k = 0; k < n; ++k) {
                out->dbg_init_regs[k] = f.dbg_init[k].reg;
                out->dbg_init_vals[k] = f.dbg_init[k].val;
            }
            out->dbg_init_count = n;
            return true;
        }
    }
    return false;
}
