// The embedded-Flash interface of a 2 MB STM32H743/753 (RM0433, "Embedded
// flash memory (FLASH)"): registers at 0x52002000, each bank with its own
// KEYR, CR, SR and CCR (bank 2 at +0x100), 8 sectors of 128 KB per bank, and
// 256-bit flash words programmed through a write buffer: stores of any width
// fill it, the word is programmed once its 32 bytes are in (or on FW).
#pragma once

#include "sim/flash_ctl.h"

#include <cstdint>

constexpr uint32_t SIM_FLASHH7_REG_BASE = 0x52002000;
constexpr uint32_t SIM_FLASHH7_REG_SIZE = 0x1000;
constexpr uint32_t SIM_FLASHH7_ARRAY_BASE = 0x08000000;
constexpr uint32_t SIM_FLASHH7_ARRAY_SIZE = 2 * 1024 * 1024;
constexpr uint32_t SIM_FLASHH7_BANK_SIZE = 1024 * 1024;
constexpr uint32_t SIM_FLASHH7_SECTOR_SIZE = 128 * 1024;
constexpr uint32_t SIM_FLASHH7_WORD = 32;  // one flash word: 256 bits

// Offsets; bank 2's per-bank registers are bank 1's plus SIM_FLASHH7_BANK2.
constexpr uint32_t SIM_FLASHH7_ACR = 0x00;
constexpr uint32_t SIM_FLASHH7_KEYR = 0x04;
constexpr uint32_t SIM_FLASHH7_OPTKEYR = 0x08;
constexpr uint32_t SIM_FLASHH7_CR = 0x0C;
constexpr uint32_t SIM_FLASHH7_SR = 0x10;
constexpr uint32_t SIM_FLASHH7_CCR = 0x14;
constexpr uint32_t SIM_FLASHH7_OPTCR = 0x18;
constexpr uint32_t SIM_FLASHH7_OPTSR_CUR = 0x1C;
constexpr uint32_t SIM_FLASHH7_OPTSR_PRG = 0x20;
constexpr uint32_t SIM_FLASHH7_WPSN_CUR = 0x38;
constexpr uint32_t SIM_FLASHH7_WPSN_PRG = 0x3C;
constexpr uint32_t SIM_FLASHH7_BANK2 = 0x100;

constexpr uint32_t SIM_FLASHH7_KEY1 = 0x45670123;
constexpr uint32_t SIM_FLASHH7_KEY2 = 0xCDEF89AB;
constexpr uint32_t SIM_FLASHH7_OPTKEY1 = 0x08192A3B;
constexpr uint32_t SIM_FLASHH7_OPTKEY2 = 0x4C5D6E7F;

// FLASH_CRx.
constexpr uint32_t SIM_FLASHH7_CR_LOCK = 1u << 0;
constexpr uint32_t SIM_FLASHH7_CR_PG = 1u << 1;
constexpr uint32_t SIM_FLASHH7_CR_SER = 1u << 2;
constexpr uint32_t SIM_FLASHH7_CR_BER = 1u << 3;
constexpr unsigned SIM_FLASHH7_CR_PSIZE_SHIFT = 4;  // x8, x16, x32, x64: the parallelism, so the time
constexpr uint32_t SIM_FLASHH7_CR_FW = 1u << 6;
constexpr uint32_t SIM_FLASHH7_CR_START = 1u << 7;
constexpr unsigned SIM_FLASHH7_CR_SNB_SHIFT = 8;    // 3 bits
constexpr uint32_t SIM_FLASHH7_CR_RESET = 0x31;    // locked, x64

// FLASH_SRx (the flags) and FLASH_CCRx (write 1 to clear the same bits).
constexpr uint32_t SIM_FLASHH7_SR_BSY = 1u << 0;
constexpr uint32_t SIM_FLASHH7_SR_WBNE = 1u << 1;
constexpr uint32_t SIM_FLASHH7_SR_QW = 1u << 2;
constexpr uint32_t SIM_FLASHH7_SR_EOP = 1u << 16;
constexpr uint32_t SIM_FLASHH7_SR_WRPERR = 1u << 17;
constexpr uint32_t SIM_FLASHH7_SR_PGSERR = 1u << 18;
constexpr uint32_t SIM_FLASHH7_SR_STRBERR = 1u << 19;
constexpr uint32_t SIM_FLASHH7_SR_INCERR = 1u << 21;
constexpr uint32_t SIM_FLASHH7_SR_OPERR = 1u << 22;
constexpr uint32_t SIM_FLASHH7_SR_FLAGS = 0x1FEF0000;  // EOP .. CRCRDERR

// FLASH_OPTCR / FLASH_OPTSR.
constexpr uint32_t SIM_FLASHH7_OPTCR_OPTLOCK = 1u << 0;
constexpr uint32_t SIM_FLASHH7_OPTCR_OPTSTART = 1u << 1;
constexpr uint32_t SIM_FLASHH7_OPTSR_CHANGEERR = 1u << 30;
constexpr uint32_t SIM_FLASHH7_OPTSR_FACTORY = 0x0606AAF0;  // RDP level 0, watchdog by software

// Typical durations (STM32H743 datasheet), by PSIZE x8, x16, x32, x64.
struct SimFlashH7Timing {
    uint64_t program_ns[4];       // one flash word
    uint64_t sector_erase_ns[4];  // 128 KB
    uint64_t bank_erase_ns[4];
};

enum class SimFlashH7Op : uint8_t { none, program, sector_erase, bank_erase };

struct SimFlashH7Bank {
    uint32_t cr, sr;
    uint32_t wpsn_cur, wpsn_prg;  // bit n clear: sector n write-protected
    uint8_t key_stage;
    bool key_locked_out;
    uint32_t buf_word;            // offset of the flash word in the write buffer
    uint32_t buf_mask;            // bytes of it written so far (bit per byte)
    uint8_t buf[SIM_FLASHH7_WORD];
    SimFlashH7Op op;
    uint64_t busy_left_ns;
};

// 2 MB: allocate it on the heap.
struct SimFlashH7 {
    SimFlashH7Timing timing;
    uint8_t array[SIM_FLASHH7_ARRAY_SIZE];  // applied at the start of an operation, as flash_f4
    uint32_t acr, optcr, optsr_cur, optsr_prg;
    uint32_t ob_optsr, ob_wpsn[2];          // the option bytes, reloaded at reset
    uint8_t optkey_stage;
    bool optkey_locked_out;
    SimFlashH7Bank bank[2];
    uint64_t stalled_ns;
    SimFlashFaults faults;
};

void sim_flashh7_init(SimFlashH7* fc, uint64_t time_divisor);
void sim_flashh7_reset(SimFlashH7* fc);
bool sim_flashh7_read(SimFlashH7* fc, uint32_t offset, unsigned size, uint32_t* value);
bool sim_flashh7_write(SimFlashH7* fc, uint32_t offset, unsigned size, uint32_t value);
// Errors set their SR flag and answer the bus normally; false only outside
// the array or for a size other than 1, 2 or 4. Reads are a bus error at
// RDP level 1 (a debugger is always connected here).
bool sim_flashh7_array_write(SimFlashH7* fc, uint32_t offset, unsigned size, uint32_t value);
bool sim_flashh7_array_read(SimFlashH7* fc, uint32_t offset, unsigned size, uint32_t* value);
void sim_flashh7_advance(SimFlashH7* fc, uint64_t ns);
uint64_t sim_flashh7_busy_ns(const SimFlashH7* fc);  // the longer of the two banks'
bool sim_flashh7_irq_pending(const SimFlashH7* fc);
void sim_flashh7_set_faults(SimFlashH7* fc, const SimFlashFaults* f);
// As if programmed in the option bytes and reloaded: WRPSn of bank 0 or 1
// (bit n clear protects sector n). False for another bank.
bool sim_flashh7_set_write_protect(SimFlashH7* fc, unsigned bank, uint8_t wrpsn);
// The RDP byte: 0xAA level 0, 0xCC (level 2, not modelled) refused.
bool sim_flashh7_set_rdp(SimFlashH7* fc, uint8_t rdp);

bool sim_flashh7_create(uint64_t time_divisor, SimFlashCtl* out);
