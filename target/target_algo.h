// Target algorithms: a device the tables and packs do not know, described by
// an INI file (identity, memory layout, flash algorithm) with small scripted
// debug sequences, and the interpreter that runs those on the probe thread.
// Fixed capacities throughout; the interpreter uses no heap.
#pragma once

#include <cstddef>
#include <cstdint>

struct DapContext;

enum : int {
    ALGO_MAX_STEPS = 64,
    ALGO_MAX_SEQUENCES = 16,
    ALGO_MAX_VARS = 16,
    ALGO_NAME_LEN = 32,   // sequence and variable names, 31 characters
    ALGO_TEXT_LEN = 64,   // device texts and section names, 63 characters
    ALGO_PATH_LEN = 260,
    ALGO_MAX_ARGS = 4,
    ALGO_CALL_DEPTH = 8,  // nested calls below the sequence first run
    ALGO_LOOP_DEPTH = 8,
    ALGO_LINE_MAX = 511,  // characters of one INI line, without its end
    ALGO_MAX_SECTOR_RUNS = 8,
};

enum SeqOp {
    SEQ_OP_NOP = 0,
    SEQ_OP_DP_READ = 1,
    SEQ_OP_DP_WRITE = 2,
    SEQ_OP_AP_READ = 3,
    SEQ_OP_AP_WRITE = 4,
    SEQ_OP_MEM_READ = 5,
    SEQ_OP_MEM_WRITE = 6,
    SEQ_OP_MEM_WRITE16 = 7,
    SEQ_OP_MEM_POLL = 8,
    SEQ_OP_AP_POLL = 9,
    SEQ_OP_WAIT_MS = 10,
    SEQ_OP_CALL = 11,
    SEQ_OP_IF_EQ = 12,
    SEQ_OP_RESTORE_AP0 = 13,
    SEQ_OP_RESET_HALT = 14,
    SEQ_OP_WRITE_REG = 15,
    SEQ_OP_READ_REG = 16,
    SEQ_OP_SET_VAR = 17,
    SEQ_OP_LOOP_BEGIN = 18,
    SEQ_OP_LOOP_END = 19,
};

enum : uint8_t { SEQ_ARG_VAR = 1u << 0, SEQ_ARG_RESULT = 1u << 1 };

// One step. Argument slot 0 goes with `val`, slot 1 with `mask`:
//   dp_*: reg, val | ap_*: apsel, reg, val | mem_read: val = addr
//   mem_write, mem_write16: val = addr, mask = value | wait_ms, loop: val
//   mem_poll: val = addr, mask; ap_poll: apsel, reg, mask; both: call_name =
//   the expected value as 8 hex digits, timeout_ms | call: call_name
//   if_eq: mask, val, skip_count | write_reg: reg, val | read_reg: reg
//   set_var: call_name = the variable set, val
struct SeqStep {
    SeqOp op;
    uint8_t apsel;
    uint8_t reg;
    uint16_t skip_count;
    uint32_t val;
    uint32_t mask;
    uint32_t timeout_ms;
    char call_name[ALGO_NAME_LEN];
    uint8_t arg_flags[ALGO_MAX_ARGS];              // SEQ_ARG_*
    char arg_names[ALGO_MAX_ARGS][ALGO_NAME_LEN];  // "$name" of a variable argument
};

struct Sequence {
    char name[ALGO_NAME_LEN];
    SeqStep steps[ALGO_MAX_STEPS];
    int step_count;  // highest step number used + 1
};

struct AlgoDevice {
    char name[ALGO_TEXT_LEN];
    char vendor[ALGO_TEXT_LEN];
    char family[ALGO_TEXT_LEN];
    uint32_t identify_reg, identify_val, identify_mask;
    uint32_t ram_base, ram_size;
};

// `count` sectors of `size` bytes, following the previous run from flash_base.
struct AlgoSectorRun {
    uint32_t count, size;
};

struct AlgoFlash {
    char bin_path[ALGO_PATH_LEN];
    uint32_t load_addr, stack_top, static_base, page_buf_offset, reinit_pages;
    uint32_t pc_pre_init, pc_init, pc_uninit, pc_erase, pc_program, pc_erase_chip;
    uint32_t flash_base, flash_size, sector_size, page_size, write_width, erase_ms, program_ms;
    bool use_bin;
    char pre_flash_seq[ALGO_NAME_LEN];
    char post_flash_seq[ALGO_NAME_LEN];
    char watchdog_disable_seq[ALGO_NAME_LEN];
    char watchdog_feed_seq[ALGO_NAME_LEN];
    // "sectors = 4x16K, 1x64K, 7x128K": flash of unequal sectors (STM32F4),
    // whose erase goes by the sector's own start and number.
    AlgoSectorRun sector_runs[ALGO_MAX_SECTOR_RUNS];
    int sector_run_count;
};

struct AlgoBlob {
    uint8_t* data;  // malloc'd; target_algo_free releases it
    uint32_t size;
};

struct TargetAlgo {
    AlgoDevice device;
    AlgoFlash flash;
    Sequence sequences[ALGO_MAX_SEQUENCES];
    int seq_count;
    AlgoBlob blob;
    char base_dir[ALGO_PATH_LEN];  // the INI's folder with its trailing '/', or "" for the working folder
};

struct AlgoVariable {
    char name[ALGO_NAME_LEN];
    uint32_t value;
};

struct VarContext {
    AlgoVariable vars[ALGO_MAX_VARS];
    int count;
};

// Clears `algo` and reads the INI at `path`. Every refused line is logged
// with its number and leaves its key unset; the file then still fills what
// it could, but the result is false. A record holding a blob must be freed first.
bool target_algo_load(const char* path, TargetAlgo* algo);
void target_algo_free(TargetAlgo* algo);
const Sequence* target_algo_find_seq(const TargetAlgo* algo, const char* name);
// One step's text ("mem_write 0x40023C04 0x45670123"); false with the reason in `why`.
bool target_seq_parse_step(const char* text, SeqStep* step, char* why, size_t why_cap);

// The erase unit holding `addr`: a sector of the `sectors` map, else of
// sector_size, else (when `pages_too`) of page_size. Its start, size and
// number counted from flash_base; false outside the flash or without a unit.
bool target_algo_unit_at(const AlgoFlash* fl, uint32_t addr, bool pages_too, uint32_t* start, uint32_t* size,
                         uint32_t* number);

// Runs a sequence on the probe thread. Without `vars`, an empty context.
bool target_seq_run(TargetAlgo* algo, const char* name, DapContext* dap);
bool target_seq_run_ex(TargetAlgo* algo, const char* name, DapContext* dap, VarContext* vars);
// The same without the "Running sequence" line, for a job's per-sector and
// per-word runs; the caller has checked the sequence exists.
bool target_seq_exec(TargetAlgo* algo, const Sequence* seq, DapContext* dap, VarContext* vars);
// Reads memory at `addr` (ap < 0) or AP `ap`'s register `reg` until
// (value & mask) == expect or the time-out; a stop or a lost probe ends it.
// Logs its failure as a poll step does; *result holds the last value read.
bool target_algo_poll(DapContext* dap, int ap, uint8_t reg, uint32_t addr, uint32_t mask, uint32_t expect,
                      uint32_t timeout_ms, uint32_t* result);
// identify_reg read and compared with identify_val under identify_mask (all bits when 0).
bool target_algo_identify(DapContext* dap, const TargetAlgo* algo);

// Variables ("$name", 31 characters). Setting adds or updates; false when the
// name is invalid or the context is full. Getting is false for an unknown name.
bool algo_var_set(VarContext* vars, const char* name, uint32_t value);
bool algo_var_get(const VarContext* vars, const char* name, uint32_t* value);
