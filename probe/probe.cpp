// The probe thread's life: start-up connect, the command mailbox, the
// 200 ms poll loop, disconnect handling with back-off re-opening, shutdown.
#include "probe/probe.h"

#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "probe/plot_feed.h"
#include "probe/probe_priv.h"
#include "platform/log_store.h"

std::atomic<int> g_cmd_busy{0};
std::atomic<bool> g_stop{false};
std::atomic<bool> g_probe_connected{false};
std::atomic<bool> g_is_halted{false};
std::atomic<bool> g_stepping{false};
std::atomic<bool> g_watch_halting{false};
std::atomic<int> g_flash_status{FLASH_STATUS_IDLE};
std::atomic<int> g_flash_progress{0};
std::atomic<bool> g_poll_now{false};

std::mutex reg_buf_mtx;
uint32_t reg_buf[16];
bool reg_buf_fresh;
bool g_reg_cache_valid;
uint32_t watch_val_buf[32];
uint32_t watch_val_hi[32];
uint8_t watch_val_bytes[32][WATCH_BYTES];
uint16_t watch_val_len[32];
uint8_t watch_val_deref[32][WATCH_BYTES];
uint8_t watch_val_deref_len[32];
bool watch_val_valid[32];
uint8_t watch_val_state[32];
double watch_val_t[32];
bool watch_val_live[32];
uint32_t watch_val_id[32];
UnwindFrame g_stack_frames[UNWIND_MAX_FRAMES];
int g_stack_frame_count;
bool g_stack_frames_valid;
int g_stack_generation;
std::atomic<bool> g_stack_wanted{true};
uint32_t reg_ext_buf[REG_EXT_COUNT];
int reg_ext_count = 0;
std::atomic<bool> g_regs_wanted{true};
static int s_has_fpu = -1;  // probe thread only; -1 until MVFR0 was read on this connection
// The target's own fault vector-catch bits, put back when we let go of it.
static uint32_t s_demcr_own;  // probe thread (and its start and stop)

std::mutex g_halt_mtx;
PlatEvent* g_halt_event;
char g_halt_payload[256];
int g_halt_payload_len;

DapContext* s_dap;

static std::mutex s_cmd_mtx;
static int s_pending_cmd;
static uint32_t s_pending_addr;
static PlatEvent* s_cmd_event;
static std::atomic<int> s_state{PS_IDLE};
static void (*s_wake)();
static ProbeRunControl s_runctl;
static ProbeIdentify s_identify;
static void (*s_flash_handler)(int cmd);

static const uint32_t s_retry_delays[4] = {1000, 2000, 4000, 8000};
static const uint32_t kPollMs = 200;
// A step usually ends within milliseconds: its first quarter second is
// polled quickly, so the window shows the new line without a 200 ms lag.
static const uint32_t kStepPollMs = 5, kStepFastWindowMs = 250;
static const uint32_t kSwdHz = 1000000;

void probe_set_wake(void (*wake)()) { s_wake = wake; }
void probe_wake_ui() {
    if (s_wake) s_wake();
}
static void (*s_poke)();
void probe_set_poke(void (*poke)()) { s_poke = poke; }
void probe_poke_ui() {
    if (s_poke) s_poke();
    else probe_wake_ui();
}
void probe_set_run_control(const ProbeRunControl* rc) { s_runctl = rc ? *rc : ProbeRunControl{}; }
void probe_set_identify(const ProbeIdentify* id) { s_identify = id ? *id : ProbeIdentify{}; }

static ProbeSequences s_sequences{};
void probe_set_sequences(const ProbeSequences* s) { s_sequences = s ? *s : ProbeSequences{}; }

const char* probe_reset_sequence_name() { return s_dap && s_sequences.reset_name ? s_sequences.reset_name() : nullptr; }
const char* probe_reset_sequence_owner() { return s_sequences.reset_owner ? s_sequences.reset_owner() : "pack"; }

bool probe_run_sequence(const char* name, bool* ok) {
    *ok = false;
    return s_dap && s_sequences.run && s_sequences.run(s_dap, name, ok);
}

// The sequences a debug session starts with: the device unlocked, then the
// core's debug set-up; each only when the chip's pack defines it.
static void session_sequences() {
    bool ok;
    uint32_t before = 0, after = 0;
    bool halted = s_dap && dap_read_dhcsr(s_dap, &before) && (before & DAP_DHCSR_S_HALT);
    if (probe_run_sequence("DebugDeviceUnlock", &ok) && !ok) return;
    if (!probe_run_sequence("DebugCoreStart", &ok)) return;
    // A pack's start writes DHCSR with C_DEBUGEN alone (ST's do), which lets a
    // halted core run: one the debugger had stopped stays stopped.
    if (halted && dap_read_dhcsr(s_dap, &after) && !(after & DAP_DHCSR_S_HALT)) dap_halt(s_dap);
}
void probe_set_flash_handler(void (*handler)(int cmd)) { s_flash_handler = handler; }

// Identifies the chip unless that already succeeded for this connection.
void probe_identify_if_needed() {
    if (!s_dap || !s_identify.identify) return;
    if (s_identify.identified && s_identify.identified()) return;
    s_identify.identify(s_dap);
    if (!s_identify.identified || s_identify.identified()) session_sequences();
}

ProbeState probe_poll_state() { return (ProbeState)s_state.load(); }
DapContext* probe_context() { return s_dap; }

void set_halted(const char* reason) {
    {
        std::lock_guard<std::mutex> lk(g_halt_mtx);
        g_is_halted = true;
        std::snprintf(g_halt_payload, sizeof g_halt_payload, "%s", reason ? reason : "");
        g_halt_payload_len = (int)std::strlen(g_halt_payload);
        plat_event_reset(g_halt_event);
    }
    plat_event_set(g_halt_event);
}

// xPSR, MSP, PSP, the special register and, with an FPU, FPSCR and S0-S31:
// one batch of register reads.
static int read_ext_regs(uint32_t out[REG_EXT_COUNT]) {
    if (s_has_fpu < 0) {
        uint32_t mvfr0 = 0;  // Media and VFP Feature Register 0: zero (or no answer) without an FPU
        s_has_fpu = dap_read_mem32(s_dap, 0xE000EF40u, &mvfr0) && mvfr0 != 0;
    }
    uint8_t sel[REG_EXT_COUNT] = {16, 17, 18, 20, 0x21};
    for (int k = 0; k < 32; ++k) sel[REG_EXT_S0 + k] = (uint8_t)(0x40 + k);
    int n = s_has_fpu ? REG_EXT_COUNT : REG_EXT_CORE;
    return dbg_read_reg_list(sel, n, out) ? n : 0;
}

void publish_state() {
    if (s_dap && g_is_halted) {
        uint32_t regs[16], ext[REG_EXT_COUNT];
        if (dbg_read_regs(regs)) {
            int n = g_regs_wanted ? read_ext_regs(ext) : 0;
            std::lock_guard<std::mutex> lk(reg_buf_mtx);
            std::memcpy(reg_buf, regs, sizeof regs);
            std::memcpy(reg_ext_buf, ext, sizeof(uint32_t) * (size_t)n);
            reg_ext_count = n;
            reg_buf_fresh = true;
            g_reg_cache_valid = true;
        }
        publish_stack();
    } else if (s_dap) {
        uint32_t pc;
        if (dap_read_mem32(s_dap, DAP_DWT_PCSR, &pc) && pc != 0 && pc != 0xFFFFFFFF) {
            std::lock_guard<std::mutex> lk(reg_buf_mtx);
            reg_buf[15] = pc;
            reg_buf_fresh = true;
        }
    }
    probe_wake_ui();
}

// Whether the command must not be dropped for another one waiting in the slot.
static bool is_priority(int cmd) { return cmd == PROBE_CMD_HALT || cmd == PROBE_CMD_RESET; }

bool probe_post_cmd(int cmd, uint32_t addr) {
    if (!s_cmd_event) return false;
    bool priority = is_priority(cmd);
    if (!priority) {
        int expected = 0;
        if (!g_cmd_busy.compare_exchange_strong(expected, 1)) return false;
    } else {
        // A halt or reset is a command like any other until it is done: its
        // end clears busy, which must not release a command posted after it.
        g_cmd_busy = 1;
    }
    {
        std::lock_guard<std::mutex> lk(s_cmd_mtx);
        if (!priority && is_priority(s_pending_cmd)) {
            // A halt or reset still waiting is never replaced by an ordinary command.
            g_cmd_busy = 0;
            return false;
        }
        s_pending_cmd = cmd;
        s_pending_addr = addr;
    }
    plat_event_set(s_cmd_event);
    return true;
}

bool probe_cmd_pending() {
    std::lock_guard<std::mutex> lk(s_cmd_mtx);
    return s_pending_cmd != PROBE_CMD_NONE;
}

// --- connecting ---------------------------------------------------------------

static DapContext* open_probe(bool log_v1) {
    DapContext* c = dap_open_v2(0, 0);
    if (c) {
        log_add_line(&logv, "[PRB] CMSIS-DAP v2 (Bulk) device opened");
        return c;
    }
    c = dap_open(0, 0);
    if (c && log_v1) log_add_line(&logv, "[PRB] CMSIS-DAP v1 (HID) device opened");
    return c;
}

static bool core_halted() { return dap_get_state(s_dap) == DAP_STATE_HALTED; }

// While connected a fault halts the core on entry to its handler, where the
// report is read; a free-running firmware would otherwise spin there unseen.
static void catch_faults() {
    uint32_t demcr = 0;
    if (!dap_read_mem32(s_dap, DAP_DEMCR, &demcr) ||
        !dap_write_mem32(s_dap, DAP_DEMCR, demcr | DAP_DEMCR_VC_FAULTS)) {
        log_add_line(&logv, "[PRB] Fault vector catch not set \xE2\x80\x94 faults are seen only at a halt");
        return;
    }
    s_demcr_own = demcr & DAP_DEMCR_VC_FAULTS;
}

static void release_fault_catch() {
    uint32_t demcr = 0;
    if (s_dap && dap_read_mem32(s_dap, DAP_DEMCR, &demcr))
        dap_write_mem32(s_dap, DAP_DEMCR, (demcr & ~DAP_DEMCR_VC_FAULTS) | s_demcr_own);
}

void probe_core_stopped() {
    if (s_runctl.stopped) s_runctl.stopped();
}

// After a connect: publish the connection and whether the core is halted.
static bool connected_now() {
    catch_faults();
    // The line is out before the flag: whoever sees the flag finds the line.
    log_add_line(&logv, "[PRB] Probe connected");
    g_probe_connected = true;
    bool halted = core_halted();
    if (halted) {
        set_halted("HALT");
        log_add_line(&logv, "[PRB] Target halted at connect");
    }
    probe_identify_if_needed();
    if (s_runctl.connected) s_runctl.connected(halted);
    return halted;
}

static void mcx_boot_rom_check() {
    if (!dbg_halt()) return;
    uint32_t pc = 0;
    if (!dbg_read_reg(15, &pc)) pc = 0;
    pc &= ~1u;
    if (pc >= 0x20000000 && pc <= 0x2FFFFFFF) {
        log_add_line(&logv, "[PRB] NXP MCX: Boot ROM trap detected — auto reset+halt");
        if (dbg_reset_halt()) {
            log_add_line(&logv, "[PRB] Auto reset+halt: stopped at Reset_Handler");
        } else {
            log_add_line(&logv, "[PRB] Auto reset+halt failed — use Reset button");
        }
    } else {
        dbg_resume();
        log_add_line(&logv, "[PRB] Target running at connect — NXP MCX");
    }
}

// --- commands -----------------------------------------------------------------

static void finish_command(const char* line) {
    if (line) log_add_line(&logv, line);
    publish_state();
    g_cmd_busy = 0;
}

static bool dispatch(int cmd, uint32_t addr) {
    if (s_runctl.dispatch) return s_runctl.dispatch(cmd, addr);
    log_addf(&logv, "[DBG] Command %d is not available in this build", cmd);
    finish_command(nullptr);
    return false;
}

void publish_stack() {
    if (!s_dap || !s_runctl.unwind || !g_stack_wanted || !g_is_halted) return;
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        if (g_stack_frames_valid) return;
    }
    static UnwindFrame frames[UNWIND_MAX_FRAMES];  // probe thread only
    int n = s_runctl.unwind(frames, UNWIND_MAX_FRAMES);
    if (n <= 0) return;
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    std::memcpy(g_stack_frames, frames, sizeof(UnwindFrame) * (size_t)n);
    g_stack_frame_count = n;
    g_stack_frames_valid = true;
    ++g_stack_generation;
}

void probe_restore_breakpoints() {
    if (s_runctl.restore_breakpoints) s_runctl.restore_breakpoints();
}

static void abort_step() {
    if (s_runctl.abort) s_runctl.abort();
    g_stepping = false;
}

static void handle_command(int cmd, uint32_t addr) {
    switch (cmd) {
    case PROBE_CMD_HALT: {
        if (s_state == PS_WAIT_HALT) abort_step();
        // Halted is published only when the core really stopped.
        bool ok = dbg_halt();
        if (ok) {
            probe_identify_if_needed();
            probe_core_stopped();
            s_state = PS_IDLE;
            finish_command("[DBG] Halt: done");
        } else {
            finish_command("[DBG] Halt: failed — the core did not stop");
        }
        break;
    }
    case PROBE_CMD_RESET:
        if (s_state == PS_WAIT_HALT) abort_step();
        s_state = dispatch(cmd, addr) ? PS_WAIT_HALT : PS_IDLE;
        probe_wake_ui();
        break;
    case PROBE_CMD_RESUME:
        g_stepping = false;
        g_is_halted = false;
        {
            std::lock_guard<std::mutex> lk(reg_buf_mtx);
            g_stack_frames_valid = false;
        }
        if (s_runctl.resuming) s_runctl.resuming();
        probe_restore_breakpoints();
        dbg_resume();
        publish_state();
        g_cmd_busy = 0;
        s_state = PS_RUNNING;
        break;
    case PROBE_CMD_FLASH:
    case PROBE_CMD_FLASH_ALGO:
        dbg_core_moving();  // the algorithm runs on the core
        if (s_flash_handler) {
            s_flash_handler(cmd);
        } else if (s_runctl.flash) {
            s_runctl.flash(cmd);
        } else {
            g_flash_status = FLASH_STATUS_ERROR;
            finish_command("[FLASH] No flash programming route in this build");
        }
        s_state = PS_IDLE;
        break;
    case PROBE_CMD_WRITE: {
        // The poll mode stays as it was: a write neither stops nor starts the core.
        ProbeWrite w;
        if (probe_take_write(&w)) probe_run_write(&w);
        probe_refresh_watches();
        publish_state();
        g_cmd_busy = 0;
        break;
    }
    default: s_state = dispatch(cmd, addr) ? PS_WAIT_HALT : PS_IDLE; break;
    }
}

// --- disconnect and reconnect -----------------------------------------------------

static void handle_disconnect() {
    if (!g_probe_connected) return;
    s_has_fpu = -1;
    dap_close(s_dap);
    s_dap = nullptr;
    dap_invalidate_fpb_state();
    // A command cut short by the loss must not leave the buttons locked.
    if (s_state == PS_WAIT_HALT) abort_step();
    g_stepping = false;
    g_probe_connected = false;
    g_is_halted = false;
    g_watch_halting = false;
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        g_stack_frames_valid = false;
        g_stack_frame_count = 0;
    }
    s_state = PS_IDLE;
    g_cmd_busy = 0;
    if (s_identify.forget) s_identify.forget();
    log_add_line(&logv, "[PRB] Probe disconnected");
    probe_wake_ui();
}

struct Backoff {
    int level;
    uint64_t next_ms;
};

static void backoff_fail(Backoff* b, uint64_t now) {
    b->level = b->level + 1 < 3 ? b->level + 1 : 3;
    b->next_ms = now + s_retry_delays[b->level];
}

static void try_reconnect(Backoff* b) {
    uint64_t now = plat_time_ms();
    if (now < b->next_ms) return;
    DapContext* c = open_probe(false);
    if (!c) {
        backoff_fail(b, now);
        return;
    }
    s_dap = c;
    if (!dap_connect(c, kSwdHz, false)) {
        dap_close(c);
        s_dap = nullptr;
        log_add_line(&logv, "[PRB] SWD connect failed — waiting for target");
        backoff_fail(b, plat_time_ms());
        return;
    }
    b->level = 0;
    b->next_ms = 0;
    s_state = connected_now() ? PS_IDLE : PS_RUNNING;
    probe_wake_ui();
}

void probe_release() {
    if (!s_dap) return;
    release_fault_catch();
    dap_disconnect(s_dap);
    dap_close(s_dap);
    s_dap = nullptr;
    dap_invalidate_fpb_state();
    g_probe_connected = false;
    g_is_halted = false;
}

bool probe_reopen() {
    if (s_dap) return true;
    DapContext* c = open_probe(true);
    if (!c) return false;
    if (!dap_connect(c, kSwdHz, false)) {
        dap_close(c);
        return false;
    }
    s_dap = c;
    catch_faults();
    g_probe_connected = true;
    return true;
}

// --- the thread -------------------------------------------------------------------

// While the plot samples a running core: when the next sample and the next
// 200 ms poll are due (plat_time_ms).
struct FeedClock {
    bool on;
    uint64_t next_sample, last_poll;
};

// The wait until whichever is due first; the sampling starts at once.
static uint32_t feed_timeout(FeedClock* f) {
    uint64_t now = plat_time_ms();
    if (!f->on) f->next_sample = now;
    f->on = true;
    uint64_t due = f->next_sample < f->last_poll + kPollMs ? f->next_sample : f->last_poll + kPollMs;
    return due > now ? (uint32_t)(due - now) : 0;
}

// A sample when one is due, the poll when it is due or a sample saw the core
// stopped (the halt is then published without waiting for the poll's turn).
static void feed_step(FeedClock* f) {
    uint64_t now = plat_time_ms();
    bool halted = false;
    if (now >= f->next_sample) {
        plot_feed_sample(&halted);
        // The cadence holds through a slow transfer; a sample late by more than
        // a period (a command ran) is not followed by a burst to catch up.
        f->next_sample += PLOT_FEED_PERIOD_MS;
        if (f->next_sample <= now) f->next_sample = now + PLOT_FEED_PERIOD_MS;
    }
    if (halted || plat_time_ms() >= f->last_poll + kPollMs) {
        running_poll();
        f->last_poll = plat_time_ms();
    }
}

static void probe_thread_func(void*) {
    log_add_line(&logv, "[PRB] Probe thread started");
    Backoff backoff{0, 0};
    uint64_t wait_since = 0;
    bool was_waiting = false;
    FeedClock feed{false, 0, 0};
    while (!g_stop) {
        bool waiting = s_state == PS_WAIT_HALT;
        if (waiting && !was_waiting) wait_since = plat_time_ms();
        was_waiting = waiting;
        uint32_t timeout = (waiting && plat_time_ms() - wait_since < kStepFastWindowMs) ? kStepPollMs : kPollMs;
        if (waiting && g_poll_now.exchange(false)) timeout = 0;
        if (s_dap && s_state == PS_RUNNING && plot_feed_active()) timeout = feed_timeout(&feed);
        else feed.on = false;
        bool woke = plat_event_wait(s_cmd_event, timeout);
        if (g_stop) break;
        if (dap_is_disconnected()) handle_disconnect();
        int cmd = PROBE_CMD_NONE;
        uint32_t addr = 0;
        {
            std::lock_guard<std::mutex> lk(s_cmd_mtx);
            if (woke || s_pending_cmd != PROBE_CMD_NONE) {
                cmd = s_pending_cmd;
                addr = s_pending_addr;
                s_pending_cmd = PROBE_CMD_NONE;
            }
        }
        if (cmd != PROBE_CMD_NONE) {
            if (s_dap) {
                handle_command(cmd, addr);
            } else {
                // Nothing to send it to; the buttons must not stay locked.
                log_addf(&logv, "[PRB] No probe connected — command %d dropped", cmd);
                g_cmd_busy = 0;
            }
            if (dap_is_disconnected()) handle_disconnect();
        } else if (s_dap) {
            switch (s_state.load()) {
            case PS_WAIT_HALT:
                if (!s_runctl.poll || s_runctl.poll()) s_state = PS_IDLE;
                break;
            case PS_RUNNING:
                if (feed.on) {
                    feed_step(&feed);
                } else {
                    running_poll();
                    feed.last_poll = plat_time_ms();
                }
                if (g_is_halted) s_state = PS_IDLE;
                break;
            default:
                if (g_cmd_busy == 0 && idle_poll()) {
                    s_state = PS_RUNNING;
                    feed.last_poll = plat_time_ms();  // the idle poll ran the running one
                }
                break;
            }
            if (dap_is_disconnected()) handle_disconnect();
        }
        if (!s_dap && !g_stop) try_reconnect(&backoff);
    }
}

PlatThread* probe_thread_start() {
    if (!g_halt_event) g_halt_event = plat_event_create();
    if (!s_cmd_event) s_cmd_event = plat_event_create();
    if (!s_cmd_event || !g_halt_event) {
        log_add_line(&logv, "[PRB] CreateEvent failed");
        return nullptr;
    }
    g_stop = false;
    g_probe_connected = false;
    g_is_halted = false;
    g_cmd_busy = 0;
    s_pending_cmd = PROBE_CMD_NONE;
    s_state = PS_IDLE;
    s_dap = open_probe(true);
    if (!s_dap) {
        log_add_line(&logv, "[PRB] No CMSIS-DAP probe found");
        log_add_line(&logv, "[PRB] Check: probe plugged in? Driver installed?");
    } else {
        log_add_line(&logv, "[PRB] Connecting SWD...");
        if (!dap_connect(s_dap, kSwdHz, false)) {
            log_add_line(&logv, "[PRB] SWD connect failed — try replug");
            dap_close(s_dap);
            s_dap = nullptr;
        } else if (!connected_now()) {
            if (s_dap->mcu.has_debug_mailbox) mcx_boot_rom_check();
            else log_add_line(&logv, "[PRB] Target running at connect");
        }
    }
    PlatThread* t = plat_thread_start(probe_thread_func, nullptr);
    if (!t) log_add_line(&logv, "[PRB] Failed to create probe thread");
    return t;
}

bool probe_thread_stop_and_wait(PlatThread* probe_thread) {
    g_stop = true;
    plat_event_set(s_cmd_event);
    plat_event_set(g_halt_event);
    if (probe_thread && !plat_thread_join(probe_thread, 5000)) {
        // Still inside a transfer: everything it may touch stays alive.
        log_add_line(&logv, "[PRB] Probe thread did not stop within 5 s");
        return false;
    }
    plat_event_destroy(s_cmd_event);
    s_cmd_event = nullptr;
    if (s_dap) {
        // The end of the session: the chip's own debug set-up undone first.
        bool ok;
        probe_run_sequence("DebugCoreStop", &ok);
        release_fault_catch();
        dap_disconnect(s_dap);
        dap_close(s_dap);
        s_dap = nullptr;
    }
    g_probe_connected = false;
    if (s_identify.forget) s_identify.forget();
    plat_event_destroy(g_halt_event);
    g_halt_event = nullptr;
    log_add_line(&logv, "[PRB] Probe stopped");
    return true;
}
