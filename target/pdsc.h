// CMSIS-Pack descriptions (.pdsc): one device's record as its pack describes
// it (processor, memories, flash algorithm, debug configuration, debug
// variables and debug sequences), read with pugixml, and the debug sequence
// language: each sequence's body parsed into a tree of nodes in a fixed pool,
// and an interpreter that runs it against the connected probe.
#pragma once

#include <cstdint>

struct DapContext;

enum : int {
    PDSC_MAX_MEMORIES = 8,
    PDSC_MAX_DEBUG_VARS = 16,
    PDSC_MAX_SEQUENCES = 24,
    SEQ_POOL_NODES = 256,
    SEQ_MAX_DEPTH = 16,      // nested control elements
    SEQ_BLOCK_TEXT = 4094,   // bytes of one block's text
    SEQ_CALL_LEVELS = 8,
    SEQ_LOCALS = 32,
};

// --- the device record -------------------------------------------------------

struct PdscDebugConfig {
    char default_proto[16];
    uint32_t clock_hz;
    bool swj;
    char default_reset[64];  // the default reset sequence; "ResetSystem" when the pack names none
};

struct PdscProcessor {
    char core[64];
    uint32_t clock_hz;
    bool has_fpu, has_dsp, has_tz, has_mpu;
};

struct PdscMemory {
    char name[64];
    uint32_t start, size;
    bool is_default, startup, access_r, access_w, access_x;
};

struct PdscFlashAlgo {
    char name[260];  // path relative to the pack
    uint32_t start, size, ram_start, ram_size;
    bool is_default;
};

struct PdscDebugVar {
    char name[64];
    uint64_t value;
};

enum SeqNodeType {
    SEQ_LITERAL = 0,
    SEQ_VAR_REF = 1,
    SEQ_BINOP = 2,
    SEQ_UNOP = 3,
    SEQ_ASSIGN = 4,
    SEQ_VAR_DECL = 5,
    SEQ_READ32 = 6,
    SEQ_WRITE32 = 7,
    SEQ_READ_DP = 8,
    SEQ_WRITE_DP = 9,
    SEQ_READ_AP = 10,
    SEQ_WRITE_AP = 11,
    SEQ_DAP_DELAY = 12,
    SEQ_DAP_SWJ_PINS = 13,
    SEQ_SEQUENCE = 14,
    SEQ_MESSAGE = 15,
    SEQ_BLOCK = 16,
    SEQ_IF = 17,
    SEQ_WHILE = 18,
};

enum PdscOp {
    PDSC_OP_NONE = 0, PDSC_OP_ADD = 1, PDSC_OP_SUB = 2, PDSC_OP_MUL = 3, PDSC_OP_DIV = 4, PDSC_OP_MOD = 5,
    PDSC_OP_AND = 6, PDSC_OP_OR = 7, PDSC_OP_XOR = 8, PDSC_OP_SHL = 9, PDSC_OP_SHR = 10, PDSC_OP_NOT = 11,
    PDSC_OP_LAND = 12, PDSC_OP_LOR = 13, PDSC_OP_LNOT = 14, PDSC_OP_EQ = 15, PDSC_OP_NEQ = 16, PDSC_OP_LT = 17,
    PDSC_OP_GT = 18, PDSC_OP_LE = 19, PDSC_OP_GE = 20, PDSC_OP_ASSIGN = 21,
};

struct SeqNode {
    SeqNodeType type;
    union {
        uint64_t literal;
        char name[64];  // variable or sequence name
        PdscOp op;
    } u;
    SeqNode* child[3];  // operands, arguments; block: first statement; if/while: condition, body, else-body
    uint32_t timeout_us;  // while only
    SeqNode* next;        // the following statement of a block
};

struct PdscSequence {
    char name[64];
    bool disabled;
    SeqNode* root;  // the body, a block
    SeqNode pool[SEQ_POOL_NODES];
    int pool_used;
    // The body needed more nodes than the pool holds: half a sequence is
    // never run (ST's trace-pin set-up needs about 680).
    bool truncated;
};

struct PdscDevice {
    char device_name[64];
    char family_name[64];
    char vendor_name[64];  // cut at its first ':'
    char pdsc_filename[260];
    PdscDebugConfig dbg_cfg;
    PdscProcessor processor;
    PdscMemory memories[PDSC_MAX_MEMORIES];
    int memory_count;
    PdscFlashAlgo flash_algo;  // the first algorithm (the default one when several are given)
    bool has_flash_algo;
    PdscDebugVar debug_vars[PDSC_MAX_DEBUG_VARS];
    int debug_var_count;
    PdscSequence sequences[PDSC_MAX_SEQUENCES];
    int sequence_count;
    bool valid;
    char parse_error[128];
};

// --- reading a .pdsc -----------------------------------------------------------

// Reads `path` for `device_name` (a device's Dname or a variant's Dvariant;
// null: the first device): false with the reason in dev->parse_error.
bool pdsc_xml_load(const char* path, const char* device_name, PdscDevice* dev);
// The names of the file's devices and variants in file order (a device with
// variants is listed by its variants); the count, the first `max` copied.
int pdsc_xml_list_devices(const char* path, char (*names)[64], int max);
// Every name pdsc_xml_load finds, in file order: each device's Dname, then
// its variants' Dvariant; the count, the first `max` copied.
int pdsc_xml_list_names(const char* path, char (*names)[64], int max);
// One reading of `path` for many devices: each name of pdsc_xml_list_names
// that `match` takes is loaded into dev until `accept` takes it (true; dev
// holds it). False when none was accepted or the file does not parse.
bool pdsc_xml_find(const char* path, bool (*match)(const char* name, void* user),
                   bool (*accept)(const PdscDevice* dev, void* user), void* user, PdscDevice* dev);

// --- the sequence language ---------------------------------------------------

struct SeqVar {
    char name[64];
    uint64_t value;
};

struct SeqContext {
    DapContext* dap;
    const PdscDevice* device;
    uint64_t v_dp, v_ap, v_errorcontrol, v_protocol, v_connection, v_traceout;
    SeqVar locals[SEQ_CALL_LEVELS][SEQ_LOCALS];
    int local_count[SEQ_CALL_LEVELS];
    int call_depth;
    char error[128];
    bool has_error;
    // Set for the session's start: a DHCSR write that keeps debug enabled
    // leaves a halted core halted (ST's DebugCoreStart writes C_DEBUGEN alone).
    bool hold_halt;
};

// Parses a block's statement text into `seq`'s pool; the first statement, or null.
SeqNode* dsl_parse_block_text(const char* text, PdscSequence* seq);
const PdscSequence* pdsc_find_sequence(const PdscDevice* dev, const char* name);
void pdsc_seq_ctx_init(SeqContext* ctx, DapContext* dap, const PdscDevice* dev);
void pdsc_seq_ctx_reset(SeqContext* ctx);
bool pdsc_seq_run(SeqContext* ctx, const char* name);
const char* pdsc_seq_error(const SeqContext* ctx);
