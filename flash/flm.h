// CMSIS flash algorithms (FLM files): found through the .pdsc files of a
// packs directory, loaded into target RAM and called on the halted core to
// erase and program flash. Probe thread only.
#pragma once

#include <cstdint>

#include "target/pdsc_scan.h"

struct DapContext;

enum : int { FLM_MAX_SECTORS = 64 };

struct FlmSectorInfo {
    uint32_t sz_sector;
    uint32_t addr_offset;  // from the flash start
};

struct FlmInfo {
    char flm_path[512];
    uint32_t flash_start;
    uint32_t flash_size;
    uint32_t ram_start;
    uint32_t ram_size;  // 4096 when the .pdsc gives none
    char dev_name[128];
    uint32_t page_size;
    uint8_t val_empty;
    uint32_t prog_timeout_ms;
    uint32_t erase_timeout_ms;
    FlmSectorInfo sectors[FLM_MAX_SECTORS];
    int sector_count;
    uint32_t pc_init, pc_uninit, pc_erase_sector, pc_program_page, pc_erase_chip;  // pc_erase_chip 0 = none
    uint32_t load_addr;
    uint32_t stack_top;
    uint32_t page_buf_addr;
    uint32_t page_buf_addr2;  // 0 = none
    bool double_buffered;
    uint32_t static_base;  // R9
};

// The code and data as uploaded: word 0 is the BKPT trap, then PrgCode, then PrgData.
struct FlmBlob {
    uint8_t* blob;
    uint32_t blob_size;
    uint32_t sym_init, sym_uninit, sym_erase_sector, sym_program_page, sym_erase_chip;  // 0xFFFFFFFF = absent
    uint32_t rw_offset;
};

enum : uint32_t { FLM_FUNC_ERASE = 1, FLM_FUNC_PROGRAM = 2, FLM_SYM_ABSENT = 0xFFFFFFFF };

bool pdsc_find_algo(const char* pack_dir, const char* device_name, FlmInfo* info);

// Parses an FLM image into info (sector map, timings, page size) and blob.
bool flm_parse_elf(const uint8_t* elf, uint32_t elf_size, FlmInfo* info, FlmBlob* blob);
void flm_blob_free(FlmBlob* blob);

bool flm_load(DapContext* dap, FlmInfo* info);
bool flm_call(DapContext* dap, const FlmInfo* info, uint32_t pc, uint32_t r0, uint32_t r1, uint32_t r2,
              uint32_t timeout_ms, bool need_ap0_restore, bool need_diagnostics);
bool flm_init(DapContext* dap, const FlmInfo* info, uint32_t function);
bool flm_uninit(DapContext* dap, const FlmInfo* info, uint32_t function);
bool flm_erase_sector(DapContext* dap, const FlmInfo* info, uint32_t addr);
bool flm_erase_chip(DapContext* dap, const FlmInfo* info);
bool flm_program_page_buf(DapContext* dap, const FlmInfo* info, uint32_t addr, const uint8_t* data, uint32_t buf_addr);
bool flm_program_page(DapContext* dap, const FlmInfo* info, uint32_t addr, const uint8_t* data);
// The whole job: find, load, erase, program, uninit, read back and compare.
// base_addr 0 = at the algorithm's flash start.
bool flm_program_device(DapContext* dap, const char* pack_dir, const char* device_name, const uint8_t* data,
                        uint32_t len, uint32_t base_addr);
