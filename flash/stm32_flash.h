// STM32 flash programmed through the chip's own flash controller, over the
// probe's memory access: no code runs on the target. One register table per
// controller generation; the F2/F4/F7 sector map; erase, program, verify.
#pragma once

#include <cstdint>

#include "probe/dap.h"
#include "target/mcu_id.h"

enum StmPgWidth { STM_PG_WIDTH_16 = 16, STM_PG_WIDTH_32 = 32, STM_PG_WIDTH_64 = 64 };

struct StmFlashCtrl {
    StmFlashAlgo algo;
    uint32_t flash_base;  // the controller's register base
    uint8_t off_keyr, off_sr, off_cr, off_ar;
    uint32_t cr_lock, cr_pg, cr_per, cr_ser, cr_mer1, cr_mer2, cr_strt, cr_page_shift, cr_bker;
    uint32_t sr_bsy, sr_qw, sr_error_mask;
    uint32_t key1, key2, prgkey1, prgkey2;
    StmPgWidth pg_width;
    uint8_t trim_bytes;
    bool dual_bank_support, per_uses_addr, l_style_lock;
    uint32_t timeout_erase_ms, timeout_write_ms, timeout_chip_ms;
};

// The controller generation the record names (F1/F0/F3 when it names none).
StmFlashAlgo stm32_flash_algo_of(const McuRecord* rec);
// The generation's table (its variant for the device), or null: "Ismeretlen flash algoritmus".
const StmFlashCtrl* stm32_flash_ctrl_for_algo(StmFlashAlgo algo, uint32_t device_id);
// The F2/F4/F7 sector holding addr: its index (bank 2 from 12), start and
// size; -1 outside. `bank2_offset` is where bank 2 starts from the flash
// start (0: one bank).
int stm32_sector_map_f4_f7(uint32_t flash_base, uint32_t addr, uint32_t bank2_offset, uint32_t* sect_start,
                           uint32_t* sect_size);

// The whole image at base_addr (0: the record's flash start): the sectors it
// covers erased, the bytes of a partly covered sector that the image does
// not cover read back and written again unchanged, programmed, verified.
// Runs on the probe thread; ends on g_stop and on a lost probe.
bool stm32_flash_program(DapContext* dap, const McuRecord* rec, const uint8_t* data, uint32_t size,
                         uint32_t base_addr);
