// The probe thread: it owns the probe, takes one command at a time from the
// user-interface thread, polls the target every 200 ms between commands and
// publishes what it learns into the shared buffers below.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/thread.h"
#include "probe/dap.h"
#include "probe/watch_list.h"
#include "runctl/stack_unwind.h"

enum ProbeCmd {
    PROBE_CMD_NONE = 0,
    PROBE_CMD_STEP = 1,
    PROBE_CMD_STEP_INTO = 2,
    PROBE_CMD_STEP_OUT = 3,
    PROBE_CMD_RESET = 4,
    PROBE_CMD_RESUME = 5,
    PROBE_CMD_HALT = 6,
    PROBE_CMD_SET_BKPT = 7,
    PROBE_CMD_CLEAR_BKPT = 8,
    PROBE_CMD_FLASH = 9,
    PROBE_CMD_RUN_TO_MAIN = 10,
    PROBE_CMD_STEP_ASM = 11,
    PROBE_CMD_FLASH_ALGO = 12,
    // The breakpoint panel's enable toggle (slot index): comparator writes stay on the probe thread.
    PROBE_CMD_BKPT_TOGGLE = 13,
    // A value typed in the window: the write waits in its own slot (probe_post_write).
    PROBE_CMD_WRITE = 14,
};

enum ProbeState { PS_IDLE = 0, PS_RUNNING = 1, PS_WAIT_HALT = 2 };

enum FlashStatus { FLASH_STATUS_IDLE = 0, FLASH_STATUS_BUSY = 1, FLASH_STATUS_OK = 2, FLASH_STATUS_ERROR = 3 };

// Flags read without a lock; each has a single writer.
extern std::atomic<int> g_cmd_busy;
extern std::atomic<bool> g_stop;
extern std::atomic<bool> g_probe_connected;
extern std::atomic<bool> g_is_halted;
extern std::atomic<bool> g_stepping;
extern std::atomic<bool> g_watch_halting;
extern std::atomic<int> g_flash_status;
extern std::atomic<int> g_flash_progress;
// Set by a command in progress that wants its poll again without the usual wait.
extern std::atomic<bool> g_poll_now;

// Published buffers, under reg_buf_mtx.
extern std::mutex reg_buf_mtx;
extern uint32_t reg_buf[16];  // R0-R12, SP, LR, PC
extern bool reg_buf_fresh;
extern bool g_reg_cache_valid;
// Watch values by slot. A slot's value belongs to the watch whose id it
// carries; valid is false when that watch could not be read.
extern uint32_t watch_val_buf[32];
extern uint32_t watch_val_hi[32];  // bytes 4-7 of a value of 5-8 bytes
// The whole value as far as it was read (its first 64 bytes, 256 while its
// watch is expanded: watch_val_len), and the bytes it points at when its
// location asks for them (deref_len 0: none read).
enum : int { WATCH_BYTES = 256, WATCH_READ = 64 };
extern uint8_t watch_val_bytes[32][WATCH_BYTES];
extern uint16_t watch_val_len[32];
extern uint8_t watch_val_deref[32][WATCH_BYTES];
extern uint8_t watch_val_deref_len[32];
extern bool watch_val_valid[32];
extern uint32_t watch_val_id[32];
// Why a watch has no value: the read failed, its function is not on the call
// stack, or it lives in a register of a frame that is not the core's own.
// At the frame's pc the variable may also have no place at all (optimized out).
enum WatchValState : uint8_t {
    WATCH_VAL_OK,
    WATCH_VAL_READ_ERR,
    WATCH_VAL_NOT_IN_SCOPE,
    WATCH_VAL_UNAVAILABLE,
    WATCH_VAL_OPTIMIZED_OUT
};
extern uint8_t watch_val_state[32];
// When each slot's value was read (seconds of plat_time_ms; 0: never), and
// whether the core was running then. A local read in the moment the core is
// halted only to read it counts as running.
extern double watch_val_t[32];
extern bool watch_val_live[32];
// The call stack of the current halt; valid until the next resume or disconnect.
extern UnwindFrame g_stack_frames[UNWIND_MAX_FRAMES];
extern int g_stack_frame_count;
extern bool g_stack_frames_valid;
// Counts publications of the call stack (the view re-reads its location).
extern int g_stack_generation;
// Whether anyone shows the call stack (the window's panel): without it no
// unwinding is done at a halt.
extern std::atomic<bool> g_stack_wanted;
// The registers beyond R0-R15, published with them at a halt while the Core
// registers panel is shown (g_regs_wanted): xPSR, MSP, PSP, the special
// register (CONTROL, FAULTMASK, BASEPRI, PRIMASK from bit 31 down) and, on a
// core with an FPU, FPSCR and S0-S31. reg_ext_count says how many hold.
enum : int { REG_EXT_XPSR, REG_EXT_MSP, REG_EXT_PSP, REG_EXT_SPECIAL, REG_EXT_FPSCR, REG_EXT_S0,
             REG_EXT_CORE = REG_EXT_FPSCR, REG_EXT_COUNT = REG_EXT_S0 + 32 };
extern uint32_t reg_ext_buf[REG_EXT_COUNT];
extern int reg_ext_count;  // under reg_buf_mtx
extern std::atomic<bool> g_regs_wanted;

// The halt reason, under g_halt_mtx; g_halt_event is signalled on every halt.
extern std::mutex g_halt_mtx;
extern PlatEvent* g_halt_event;
extern char g_halt_payload[256];
extern int g_halt_payload_len;

// Opens and connects a probe on the calling thread, then starts the probe
// thread. Null when the command event cannot be created.
PlatThread* probe_thread_start();
// Stops the thread (waiting up to 5 s) and releases everything. False when
// the thread did not finish in time: then the context and the published
// state are left alone, since the thread may still use them.
bool probe_thread_stop_and_wait(PlatThread* probe_thread);
// Halt and reset are always accepted; any other command only when no
// command is busy.
bool probe_post_cmd(int cmd, uint32_t addr);
// A value to write, from the window's edit field. Memory may be written
// while the core runs; a core register only while it is halted; a watched
// local in its own function's frame, halting a running core for a moment as
// its reader does. With a mask only those bits (of the first 8 bytes, or of
// the register) change: the rest is read first and written back as it was.
enum ProbeWriteKind : uint8_t { PROBE_WRITE_MEM, PROBE_WRITE_REG, PROBE_WRITE_WATCH };
enum : int { PROBE_WRITE_MAX = 64 };
struct ProbeWrite {
    ProbeWriteKind kind;
    uint32_t addr;  // memory: the address; register: its DCRSR selector
    uint32_t len;   // 1-64 bytes; a register takes 4
    uint8_t data[PROBE_WRITE_MAX];
    uint64_t mask;  // 0: every byte
    WatchLoc watch;  // PROBE_WRITE_WATCH: the watch as the readers locate it
    char label[96];  // names the target in the log ("[WATCH] g_count")
};
// Posts a write like any other command (refused while one is busy).
bool probe_post_write(const ProbeWrite* w);
// Carries out a write on the probe thread: writes, reads back and logs;
// false when it was refused or failed.
bool probe_run_write(const ProbeWrite* w);
// True while a posted command waits in the slot, not yet taken by the thread.
bool probe_cmd_pending();
void set_halted(const char* reason);
void publish_state();
// Called after every publication, from the probe thread: wakes the UI.
void probe_set_wake(void (*wake)());
void probe_wake_ui();
// After a routine poll: ends the UI's wait only; the UI draws if what it
// shows has changed (an idle window stays idle).
void probe_set_poke(void (*poke)());
void probe_poke_ui();
// Run control and flash jobs plug in here: the probe thread hands them the
// commands it does not handle itself. dispatch returns true when the
// command needs polling (poll then returns true once it is done); every
// command must end by clearing g_cmd_busy (finish through publish_state).
struct ProbeRunControl {
    bool (*dispatch)(int cmd, uint32_t addr);
    bool (*poll)();
    void (*abort)();
    void (*restore_breakpoints)();
    void (*flash)(int cmd);
    // Unwinds the halted core's stack into frames; returns how many.
    int (*unwind)(UnwindFrame* frames, int max_frames);
    // After a connect, with the core's state then.
    void (*connected)(bool halted);
    // The core stopped without a step of ours (a poll found it halted) or
    // at the user's Pause: the fault check.
    void (*stopped)();
    // Before a Continue.
    void (*resuming)();
};
void probe_set_run_control(const ProbeRunControl* rc);

// Chip identification plugs in here. identify runs on the probe thread after
// a connect and at halts while identified() is false; forget after a
// disconnect, so the next connection identifies again.
struct ProbeIdentify {
    bool (*identified)();
    void (*identify)(DapContext* dap);
    void (*forget)();
};
void probe_set_identify(const ProbeIdentify* id);
// The connected chip's own debug sequences (from its pack) plug in here. run
// returns false when the chip has no such sequence, so the built-in steps
// run instead; *ok then says whether it ran without an error. reset_name is
// the chip's default reset sequence when it defines one (else null).
struct ProbeSequences {
    bool (*run)(DapContext* dap, const char* name, bool* ok);
    const char* (*reset_name)();
    const char* (*reset_owner)();  // whose reset sequence it is, for the log ("pack", "target INI")
};
void probe_set_sequences(const ProbeSequences* s);
// Runs the chip's sequence `name` when it has one (probe thread); false when
// it has none, *ok as above.
bool probe_run_sequence(const char* name, bool* ok);
// A reset through the chip's reset sequence, caught at the reset vector when
// `halt`: 1 done, 0 failed, -1 the chip has no reset sequence (probe thread).
int probe_pack_reset(bool halt);
// The flash jobs: run on the probe thread for PROBE_CMD_FLASH and
// PROBE_CMD_FLASH_ALGO; each must end by clearing g_cmd_busy.
void probe_set_flash_handler(void (*handler)(int cmd));
// For an external flasher that needs the probe itself (probe thread only):
// release disconnects and closes it; reopen opens (v2, then v1) and connects
// at 1 MHz without halting. The thread re-opens on its own otherwise.
void probe_release();
bool probe_reopen();

// Current poll mode, for tests and the status line.
ProbeState probe_poll_state();
// The open probe, or null (probe thread only).
DapContext* probe_context();

// Target access for the code that runs on the probe thread. All return false
// (or do nothing) without an open probe.
bool dbg_read_regs(uint32_t regs[16]);
// Registers by DCRSR number (0-15, 16 xPSR, 17 MSP, 18 PSP, 20 CONTROL...).
bool dbg_read_reg_list(const uint8_t* idx, int count, uint32_t* vals);
bool dbg_read_reg(int idx, uint32_t* val);
bool dbg_write_reg(int idx, uint32_t val);
bool dbg_read_mem(uint32_t addr, uint8_t* out, uint32_t len);
bool dbg_write_word(uint32_t addr, uint32_t val);
bool dbg_resume();
bool dbg_halt();
bool dbg_step_asm();
// One instruction (interrupts masked) and the new PC (bit 0 clear).
bool dbg_step_pc(uint32_t* pc);
bool dbg_reset_halt();
bool dbg_reset_run();
bool dbg_is_halted();
// Counts every resume, step and reset: a halt is the same halt while it holds.
uint32_t dbg_core_moves();
// Called before the core runs by other means (a flash algorithm): counts a
// move and makes the published call stack stale.
void dbg_core_moving();
void dbg_invalidate_reg_cache();
// Instruction comparators of the breakpoint unit (enables it first); 0
// without a probe.
int dbg_fpb_num_code();
// FPB comparators (bit 0 of the address cleared).
bool dbg_bp_set(uint32_t addr);
bool dbg_bp_clear(uint32_t addr);

// Watch readers over the first n locations: values into wbuf, valid set per
// slot (0xFFFFFFFF and false where a read failed, with the reason in state
// when given). Return the reads made.
// Values of 5-8 bytes put their bytes 4-7 in hi when given; every value of
// up to 64 bytes is whole in bytes when given.
int watch_read_globals(const WatchLoc* loc, int n, uint32_t wbuf[32], bool valid[32], uint32_t* hi = nullptr,
                       uint8_t (*bytes)[WATCH_BYTES] = nullptr);
int watch_read_locals(const WatchLoc* loc, int n, uint32_t wbuf[32], bool valid[32], uint8_t* state = nullptr,
                      uint32_t* hi = nullptr, uint8_t (*bytes)[WATCH_BYTES] = nullptr);
// Where the frame of the function entered at func_addr keeps its locals on
// the halted core: the CFA of its innermost frame on the call stack (0: the
// current function); false when the function is not on the stack. innermost:
// the frame runs on the core's own registers. Without a hook the current
// frame's SP is used.
// unreadable: not found because the stack could not be read; pc: where the
// frame stands (for the location lists of its variables).
typedef bool (*WatchFrameBaseFn)(uint32_t func_addr, uint32_t* cfa, bool* innermost, bool* unreadable, uint32_t* pc);
void probe_set_frame_base(WatchFrameBaseFn fn);
// Places a watch whose location moves (a location list) at its frame's pc;
// false when it cannot be placed there.
typedef bool (*WatchRelocateFn)(const WatchLoc& in, uint32_t pc, WatchLoc* out);
void probe_set_relocate(WatchRelocateFn fn);
// One poll of each kind, as the thread runs them every 200 ms. The idle
// poll returns true when it found the core running.
void running_poll();
bool idle_poll();
// Unwinds and publishes the call stack of the halted core unless the
// published one is still valid (or nobody shows it).
void publish_stack();
