// CMSIS-DAP probe access: the USB transport (v1 HID reports, v2 bulk), the
// DAP commands, DP/AP registers with the SELECT/CSW cache, target memory,
// the SWD connect sequence, core control and resets. One context, used by
// one thread at a time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

enum : int { DAP_PKT_BUF = 513 };

struct DapMcuFacts {
    bool has_debug_mailbox;  // NXP MCX debug mailbox on AP 1
    uint8_t vendor;
    uint8_t flash_strategy;
    uint8_t reset_strategy;
    uint32_t dbg_init_regs[4];
    uint32_t dbg_init_vals[4];
    int dbg_init_count;
    uint32_t flash_base;
    uint32_t reset_vec_base;  // where the vector table is read for the top of RAM
    uint32_t reset_vec_base2;
    bool valid;
    uint32_t device_id_early;
};

struct DapContext {
    void* hid;                 // HID back-end handle, or null
    uint8_t pkt_out[DAP_PKT_BUF];  // [0] report ID (0), [1] command, [2..] parameters
    uint8_t pkt_in[DAP_PKT_BUF];   // [1] echoed command, [2..] response
    void* usb_dev;             // bulk back-end handle, or null
    void* usb_ctx;             // bulk back-end session, or null
    uint8_t bulk_ep_out;
    uint8_t bulk_ep_in;
    uint8_t bulk_interface;
    bool is_v2;
    uint8_t cur_apsel;         // 0xFF = unknown
    uint8_t cur_apbank;        // 0xFF = unknown
    uint32_t cur_csw;
    bool csw_valid;
    std::atomic<bool> disconnected;
    bool open;
    DapMcuFacts mcu;
    // Learned from DAP_Info at connect: command bytes one packet carries
    // (without HID's report ID), and the received length of the last answer.
    uint16_t packet_size;
    uint16_t in_len;
    // Commands the probe buffers (DAP_Info packet count): how many may be
    // sent ahead of their answers.
    uint8_t packet_count;
};

extern DapContext g_dap_ctx;

// Known probes (VID, PID), tried when no IDs are given.
enum : int { DAP_KNOWN_PROBE_COUNT = 11 };
extern const uint16_t g_dap_known_probes[DAP_KNOWN_PROBE_COUNT][2];

// --- transport -----------------------------------------------------------------
DapContext* dap_open(uint16_t vid, uint16_t pid);     // v1 HID; 0, 0 = any CMSIS-DAP
DapContext* dap_open_v2(uint16_t vid, uint16_t pid);  // v2 bulk
void dap_close(DapContext* ctx);
// Sends pkt_out[1 .. cmd_len] and receives into pkt_in; true when the answer echoes the command.
bool dap_io(DapContext* ctx, int cmd_len);
// The two halves of dap_io, for commands kept in flight: one command out
// (cmd[0] is the command byte) without waiting, and the oldest answer still
// owed into pkt_in, true when it answers `cmd`. A failure marks the probe lost.
bool dap_send(DapContext* ctx, const uint8_t* cmd, int len);
bool dap_recv(DapContext* ctx, uint8_t cmd);
bool dap_is_disconnected();  // test-and-clear
void dap_sync_pipeline(DapContext* ctx);
void dap_drain_bulk(DapContext* ctx);
// The same without a log line or cache change, with its own read time-out.
void dap_drain_bulk_timeout(DapContext* ctx, unsigned timeout_ms);
// "CMSIS-DAP" anywhere in the string, any case; reads at most `cap` bytes.
bool product_is_cmsis_dap(const char* product, size_t cap);
bool dap_known_probe(uint16_t vid, uint16_t pid);
// Whether any CMSIS-DAP probe is on the bus; opens nothing for good, logs nothing.
bool dap_probe_present();

// --- commands -----------------------------------------------------------------
struct DapXfer {
    uint8_t req;
    uint32_t data;
};

enum : uint8_t {
    DAP_REQ_AP = 0x01,
    DAP_REQ_READ = 0x02,
    DAP_REQ_MATCH_VALUE = 0x10,
    DAP_REQ_MATCH_MASK = 0x20,
    DAP_REQ_DP_ABORT_W = 0x00,
    DAP_REQ_DP_DPIDR_R = 0x02,
    DAP_REQ_DP_CTRL_W = 0x04,
    DAP_REQ_DP_CTRL_R = 0x06,
    DAP_REQ_DP_SELECT_W = 0x08,
    DAP_REQ_DP_RDBUFF_R = 0x0E,
};

enum : int { DAP_WAIT_RETRIES = 10, DAP_FAULT_RETRIES = 3, DAP_MAX_XFERS = 255 };
enum : uint32_t { DAP_ABORT_ALL = 0x1E, DAP_CSW_WORD = 0x12 };

bool dap_cmd_connect(DapContext* ctx);
bool dap_cmd_swj_pins(DapContext* ctx, uint8_t output, uint8_t select, uint32_t wait_us);
bool dap_cmd_swj_clock(DapContext* ctx, uint32_t freq_hz);
bool dap_cmd_swj_sequence(DapContext* ctx, uint8_t bit_count, const uint8_t* data, int data_bytes);
bool dap_cmd_swd_configure(DapContext* ctx, uint8_t cfg);
bool dap_cmd_transfer_configure(DapContext* ctx);
bool dap_cmd_disconnect(DapContext* ctx);
// DAP_Info packet size; false when the probe does not say.
bool dap_cmd_info_packet_size(DapContext* ctx, uint16_t* size);
// DAP_Info packet count; false when the probe does not say.
bool dap_cmd_info_packet_count(DapContext* ctx, uint8_t* count);

// Several commands in flight, as many as the probe buffers (at most
// DAP_PIPE_MAX): command i is built by `build` (its length, 0 when there is
// no more, below 0 when it must wait until every answer in flight was taken)
// and its answer, in pkt_in, handed to `take` in order; a false
// from `take` sends nothing more, but every answer owed is still read.
// False when the link failed (an answer lost or refused): then nothing
// taken may be trusted and the probe is marked lost.
enum : int { DAP_PIPE_MAX = 8 };
struct DapPipeOps {
    void* user;
    int (*build)(void* user, int i, uint8_t* cmd);
    bool (*take)(void* user, int i, const DapContext* ctx);
};
bool dap_pipeline(DapContext* ctx, const DapPipeOps* ops);
// How many commands dap_pipeline keeps in flight on this probe.
int dap_pipe_depth(const DapContext* ctx);
// Transfers done (the answer's count), or -1 when the exchange failed or
// the batch does not fit one packet. out_data[i] receives read i's value.
int dap_transfer_n(DapContext* ctx, const DapXfer* xfers, int count, uint32_t* out_data);
// Why a batch sent once stopped short.
enum DapStop { DAP_STOP_NONE, DAP_STOP_MISMATCH, DAP_STOP_ACK, DAP_STOP_LINK };
// One packet, never sent again (its stores may have landed): the count done.
// A value-match read that never matched stops it with DAP_STOP_MISMATCH at
// that read; WAIT or FAULT writes ABORT and gives DAP_STOP_ACK.
int dap_transfer_once(DapContext* ctx, const DapXfer* xfers, int count, uint32_t* out_data, DapStop* stop);
// Whether a batch of these requests fits one packet of this probe.
bool dap_transfer_fits(const DapContext* ctx, const DapXfer* xfers, int count);

// --- DP / AP / memory ---------------------------------------------------------
bool dp_write(DapContext* ctx, uint8_t addr, uint32_t val);
bool dp_read(DapContext* ctx, uint8_t addr, uint32_t* val);
bool ap_select(DapContext* ctx, uint8_t apsel, uint8_t apbank);
void ap_cache_invalidate(DapContext* ctx);
bool ap_write(DapContext* ctx, uint8_t addr, uint32_t val);
bool ap_read(DapContext* ctx, uint8_t addr, uint32_t* val);
bool ap_set_csw(DapContext* ctx, uint32_t csw);
uint32_t dap_csw_value(uint32_t csw);  // merged with the connect-time CSW bits
void dap_set_csw_base(uint32_t csw_base);
bool dap_read_mem32(DapContext* ctx, uint32_t addr, uint32_t* val);
bool dap_write_mem32(DapContext* ctx, uint32_t addr, uint32_t val);
bool dap_read_mem_block(DapContext* ctx, uint32_t addr, uint8_t* buf, uint32_t len);
// Scattered word reads (word-aligned addresses) in as few DAP_Transfer packets
// as they fit; ok[i] tells which succeeded. Returns how many did.
int dap_read_words(DapContext* ctx, const uint32_t* addrs, int count, uint32_t* out, bool* ok, bool retry_each = true);
bool dap_write_mem_block(DapContext* ctx, uint32_t addr, const uint8_t* buf, uint32_t len);
// Any alignment and length, each byte written once (byte and halfword accesses where needed).
bool dap_write_mem(DapContext* ctx, uint32_t addr, const uint8_t* buf, uint32_t len);
// Half-word stores at addr, addr + 2, ... in as few packets as they fit.
bool dap_write_halfwords(DapContext* ctx, uint32_t addr, const uint16_t* vals, uint32_t count);
// A script of stores and polls run in as few packets as fit. A poll is the
// probe's own value match: it reads `addr` until (value & mask) == val, as
// often as the probe retries. One that does not match stops the script
// there: *done is then its index and the result true, so the caller can poll
// on by itself. False when the link failed; *done counts the ops known done.
enum DapMemOpKind : uint8_t { DAP_MEMOP_WRITE32, DAP_MEMOP_WRITE16, DAP_MEMOP_POLL32 };
struct DapMemOp {
    DapMemOpKind kind;
    uint32_t addr, val, mask;
};
bool dap_mem_ops(DapContext* ctx, const DapMemOp* ops, int count, int* done);
bool dap_dp_read(DapContext* ctx, uint8_t reg, uint32_t* val);
bool dap_dp_write(DapContext* ctx, uint8_t reg, uint32_t val);
bool dap_ap_read(DapContext* ctx, uint8_t apsel, uint8_t reg, uint32_t* val);
bool dap_ap_write(DapContext* ctx, uint8_t apsel, uint8_t reg, uint32_t val);
bool dap_swj_pins(DapContext* ctx, uint8_t output, uint8_t select, uint32_t delay_us, uint8_t* pins_out);
void dap_restore_ap0(DapContext* ctx);
// Words one block packet moves, from the probe's packet size.
int dap_block_words(const DapContext* ctx);

// --- target connection and core control ---------------------------------------
enum DapState { DAP_STATE_RUNNING = 0, DAP_STATE_HALTED = 1, DAP_STATE_RESET = 2, DAP_STATE_LOCKUP = 3, DAP_STATE_UNKNOWN = 4 };

enum : uint32_t {
    DAP_DHCSR = 0xE000EDF0,
    DAP_DCRSR = 0xE000EDF4,
    DAP_DCRDR = 0xE000EDF8,
    DAP_DEMCR = 0xE000EDFC,
    DAP_AIRCR = 0xE000ED0C,
    DAP_DWT_CTRL = 0xE0001000,
    DAP_DWT_PCSR = 0xE000101C,
    DAP_DHCSR_S_REGRDY = 1u << 16,
    DAP_DHCSR_S_HALT = 1u << 17,
    DAP_DHCSR_S_LOCKUP = 1u << 19,
    DAP_DHCSR_S_RESET_ST = 1u << 25,
    DAP_DEMCR_VC_CORERESET = 1u << 0,
    DAP_DEMCR_TRCENA = 1u << 24,
    // Halt on entry to a fault handler: VC_MMERR, VC_NOCPERR, VC_CHKERR,
    // VC_STATERR, VC_BUSERR, VC_INTERR, VC_HARDERR.
    DAP_DEMCR_VC_FAULTS = 0x7F0u,
    DAP_DFSR = 0xE000ED30,
    DAP_DFSR_HALTED = 1u << 0,
    DAP_DFSR_BKPT = 1u << 1,
    DAP_DFSR_DWTTRAP = 1u << 2,
    DAP_DFSR_VCATCH = 1u << 3,
};

struct FlmReg {
    uint8_t idx;
    uint32_t val;
};

bool dap_connect(DapContext* ctx, uint32_t swd_freq_hz, bool halt_on_connect);
void dap_disconnect(DapContext* ctx);
bool dap_read_reg(DapContext* ctx, int reg_idx, uint32_t* val);
bool dap_write_reg(DapContext* ctx, int reg_idx, uint32_t val);
bool dap_read_regs(DapContext* ctx, uint32_t regs[16]);
// Core registers by DCRSR number (17 MSP, 18 PSP, 20 CONTROL...), batched.
bool dap_read_reg_list(DapContext* ctx, const uint8_t* idx, int count, uint32_t* vals);
// One instruction with interrupts masked, then the new PC: one exchange when
// the probe's packet holds it. The core must be halted.
bool dap_step_read_pc(DapContext* ctx, uint32_t* pc);
bool dap_write_regs_flm(DapContext* ctx, const FlmReg* regs, int count);
bool dap_read_dhcsr(DapContext* ctx, uint32_t* dhcsr);
bool dap_halt(DapContext* ctx);
bool dap_resume(DapContext* ctx);
bool dap_step(DapContext* ctx);
DapState dap_get_state(DapContext* ctx);
bool dap_reset(DapContext* ctx);
bool dap_reset_halt(DapContext* ctx);
bool debug_mailbox_enable(DapContext* ctx);

// Forgets what the breakpoint unit was programmed with (after a reset or a
// lost probe), so breakpoints are written again before the next run.
void dap_invalidate_fpb_state();
// Flash Patch and Breakpoint unit: the instruction comparators FP_CTRL.NUM_CODE
// names (at most eight) are used.
bool fpb_enable(DapContext* ctx);
// NUM_CODE once the unit was enabled since the last invalidation, else 0.
uint32_t dap_fpb_num_code();
bool dap_set_bp(DapContext* ctx, uint32_t addr);
bool dap_clear_bp(DapContext* ctx, uint32_t addr);
// The comparator record, for tests: address held by comparator n, or 0.
uint32_t dap_fpb_comparator(int n);
// 0 = FPB version 1, otherwise version 2 (FP_CTRL.REV) once enabled.
uint32_t dap_fpb_rev();
