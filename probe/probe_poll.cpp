// What the probe thread does between commands, and the target-access
// wrappers the code running on it uses.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/clock.h"
#include "platform/log_store.h"
#include "probe/probe_priv.h"
#include "probe/watch_list.h"
#include "symbols/dwarf_expr.h"

// --- wrappers -------------------------------------------------------------------

bool dbg_read_regs(uint32_t regs[16]) { return s_dap && dap_read_regs(s_dap, regs); }

// DCRSR selectors: R0-R15, xPSR, MSP, PSP, CONTROL/FAULTMASK/BASEPRI/PRIMASK,
// FPSCR and S0-S31 (the last two with an FPU).
static bool regsel_valid(int idx) { return (idx >= 0 && idx <= 18) || idx == 20 || idx == 0x21 || (idx >= 0x40 && idx <= 0x5F); }

bool dbg_read_reg(int idx, uint32_t* val) { return s_dap && regsel_valid(idx) && dap_read_reg(s_dap, idx, val); }

bool dbg_read_reg_list(const uint8_t* idx, int count, uint32_t* vals) {
    return s_dap && dap_read_reg_list(s_dap, idx, count, vals);
}

bool dbg_write_reg(int idx, uint32_t val) { return s_dap && regsel_valid(idx) && dap_write_reg(s_dap, idx, val); }

bool dbg_read_mem(uint32_t addr, uint8_t* out, uint32_t len) {
    if (!s_dap) return false;
    if (len == 0) return true;
    if ((addr & 3) == 0 && (len & 3) == 0) return dap_read_mem_block(s_dap, addr, out, len);
    // Unaligned: the covering words, one read each.
    uint32_t first = addr & ~3u, last = (addr + len - 1) & ~3u;
    for (uint32_t wa = first;; wa += 4) {
        uint32_t w;
        if (!dap_read_mem32(s_dap, wa, &w)) return false;
        for (uint32_t b = 0; b < 4; ++b) {
            uint32_t a = wa + b;
            if (a >= addr && a - addr < len) out[a - addr] = (uint8_t)(w >> (8 * b));
        }
        if (wa == last) break;
    }
    return true;
}

bool dbg_write_word(uint32_t addr, uint32_t val) { return s_dap && dap_write_mem32(s_dap, addr, val); }

// A comparator on the instruction at PC matches again before it executes, so
// the core would halt on the spot: that instruction is stepped with its
// comparator lifted, then the comparator is put back.
static bool step_off_breakpoint(bool* stepped) {
    *stepped = false;
    bool any = false;
    for (int n = 0; n < 8; ++n) any |= dap_fpb_comparator(n) != 0;
    if (!any) return true;
    uint32_t pc = 0;
    if (!dap_read_reg(s_dap, 15, &pc)) return false;
    pc &= ~1u;
    bool held = false;
    for (int n = 0; n < 8; ++n) held |= dap_fpb_comparator(n) == pc;
    if (!held) return true;
    dap_clear_bp(s_dap, pc);
    bool ok = dap_step(s_dap);
    bool back = dap_set_bp(s_dap, pc);
    *stepped = ok;
    return ok && back;
}

static uint32_t s_core_moves = 0;  // probe thread only

// The core is about to move: the published call stack no longer holds.
void dbg_core_moving() {
    ++s_core_moves;
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    g_stack_frames_valid = false;
}

uint32_t dbg_core_moves() { return s_core_moves; }

bool dbg_resume() {
    if (!s_dap) return false;
    dbg_core_moving();
    bool stepped;
    if (!step_off_breakpoint(&stepped)) return false;
    g_is_halted = false;
    return dap_resume(s_dap);
}

bool dbg_halt() {
    if (!s_dap || !dap_halt(s_dap)) return false;
    set_halted("HALT");
    return true;
}

bool dbg_step_asm() {
    if (!s_dap) return false;
    dbg_core_moving();
    bool stepped;
    if (!step_off_breakpoint(&stepped)) return false;
    if (!stepped && !dap_step(s_dap)) return false;
    set_halted("STEP");
    return true;
}

bool dbg_step_pc(uint32_t* pc) {
    if (!s_dap || !pc) return false;
    dbg_core_moving();
    bool held = false;
    for (int n = 0; n < 8; ++n) held |= dap_fpb_comparator(n) != 0;
    if (held) {
        // A comparator may sit on this instruction: the careful way.
        if (!dbg_step_asm() || !dap_read_reg(s_dap, 15, pc)) return false;
    } else {
        if (!dap_step_read_pc(s_dap, pc)) return false;
        set_halted("STEP");
    }
    *pc &= ~1u;
    return true;
}

int probe_pack_reset(bool halt) {
    const char* name = probe_reset_sequence_name();
    if (!s_dap || !name) return -1;
    log_addf(&logv, "[PRB] Reset by the %s's %s sequence", probe_reset_sequence_owner(), name);
    bool ok = true, step_ok;
    uint32_t demcr = 0;
    dap_read_mem32(s_dap, DAP_DEMCR, &demcr);
    if (halt) {
        // The catch at the reset vector: the pack's own, else the core's vector catch.
        if (!probe_run_sequence("ResetCatchSet", &step_ok)) {
            uint32_t d;
            dap_write_mem32(s_dap, DAP_DEMCR, demcr | DAP_DEMCR_VC_CORERESET);
            dap_read_dhcsr(s_dap, &d);  // clears a stale S_RESET_ST
        } else {
            ok = step_ok;
        }
    } else {
        dap_write_mem32(s_dap, DAP_DEMCR, demcr & ~DAP_DEMCR_VC_CORERESET);
    }
    // A core halted before the sequence stays halted when the sequence resets
    // nothing: only a halt recorded anew in DFSR (the vector catch, or the
    // pack's own breakpoint or halt) shows the reset was caught.
    const uint32_t kNewHalt = DAP_DFSR_VCATCH | DAP_DFSR_HALTED | DAP_DFSR_BKPT | DAP_DFSR_DWTTRAP;
    if (halt) dap_write_mem32(s_dap, DAP_DFSR, 0x1F);
    ok = ok && probe_run_sequence(name, &step_ok) && step_ok;
    bool stopped = !halt;
    for (int i = 0; halt && ok && i < 50 && !stopped && !g_stop; ++i) {
        uint32_t d = 0, dfsr = 0;
        stopped = dap_read_dhcsr(s_dap, &d) && (d & DAP_DHCSR_S_HALT) && dap_read_mem32(s_dap, DAP_DFSR, &dfsr) &&
                  (dfsr & kNewHalt);
        if (!stopped) plat_sleep_ms(10);
    }
    if (halt && !probe_run_sequence("ResetCatchClear", &step_ok)) {
        uint32_t now = 0;
        if (dap_read_mem32(s_dap, DAP_DEMCR, &now)) dap_write_mem32(s_dap, DAP_DEMCR, now & ~DAP_DEMCR_VC_CORERESET);
    }
    dap_invalidate_fpb_state();
    if (!ok || !stopped) log_addf(&logv, "[PRB] Reset by %s: %s", name, ok ? "the core did not halt" : "the sequence failed");
    return ok && stopped ? 1 : 0;
}

bool dbg_reset_halt() {
    dbg_core_moving();
    if (!s_dap) return false;
    int pack = probe_pack_reset(true);
    if (pack == 0 || (pack < 0 && !dap_reset_halt(s_dap))) return false;
    set_halted("RESET_HALT");
    return true;
}

bool dbg_reset_run() {
    if (!s_dap) return false;
    dbg_core_moving();
    g_is_halted = false;
    int pack = probe_pack_reset(false);
    return pack < 0 ? dap_reset(s_dap) : pack == 1;
}

bool dbg_is_halted() { return s_dap && dap_get_state(s_dap) == DAP_STATE_HALTED; }

void dbg_invalidate_reg_cache() {}

int dbg_fpb_num_code() {
    if (!s_dap || !fpb_enable(s_dap)) return 0;
    return (int)dap_fpb_num_code();
}

bool dbg_bp_set(uint32_t addr) { return s_dap && dap_set_bp(s_dap, addr & ~1u); }
bool dbg_bp_clear(uint32_t addr) { return dap_clear_bp(s_dap, addr & ~1u); }

// --- watches --------------------------------------------------------------------

static bool read_value(uint32_t addr, uint32_t size, uint8_t* b) {
    return size >= 1 && size <= WATCH_BYTES && dbg_read_mem(addr, b, size);
}

// All globals in one batch of word reads: a variable of 1-64 bytes is taken
// from the words that cover it (17 at most).
static int read_by_words(const WatchLoc* loc, int n, uint32_t wbuf[32], bool valid[32], uint32_t* hi,
                         uint8_t (*bytes)[WATCH_BYTES], bool retry_each) {
    constexpr int kWords = WATCH_BYTES / 4 + 1;
    uint32_t addrs[kWords * WATCH_MAX], words[kWords * WATCH_MAX] = {};
    bool ok[kWords * WATCH_MAX];
    int first[WATCH_MAX], count[WATCH_MAX], m = 0;
    for (int i = 0; i < n && i < WATCH_MAX; ++i) {
        first[i] = -1;
        if (loc[i].kind != VAR_LOC_ADDR) continue;
        if (loc[i].size < 1) {
            wbuf[i] = 0xFFFFFFFF;
            valid[i] = false;
            continue;
        }
        // A larger value shows its first 64 bytes.
        uint32_t size = std::min<uint32_t>(loc[i].size, WATCH_BYTES);
        uint32_t a = (uint32_t)loc[i].value, w0 = a & ~3u, w1 = (a + size - 1) & ~3u;
        first[i] = m;
        count[i] = (int)((w1 - w0) / 4 + 1);
        for (uint32_t w = w0; w <= w1; w += 4) addrs[m++] = w;
    }
    if (m && s_dap) dap_read_words(s_dap, addrs, m, words, ok, retry_each);
    else
        for (int k = 0; k < m; ++k) ok[k] = false;
    int good = 0;
    for (int i = 0; i < n && i < WATCH_MAX; ++i) {
        if (first[i] < 0) continue;
        uint32_t a = (uint32_t)loc[i].value;
        uint8_t b[4 * kWords];
        valid[i] = true;
        for (int k = 0; k < count[i]; ++k) {
            valid[i] = valid[i] && ok[first[i] + k];
            for (int j = 0; j < 4; ++j) b[4 * k + j] = (uint8_t)(words[first[i] + k] >> (8 * j));
        }
        uint32_t size = std::min<uint32_t>(loc[i].size, WATCH_BYTES);
        uint64_t v = 0;
        for (uint32_t k = 0; k < size && k < 8; ++k) v |= (uint64_t)b[(a & 3) + k] << (8 * k);
        wbuf[i] = valid[i] ? (uint32_t)v : 0xFFFFFFFF;
        if (hi) hi[i] = valid[i] ? (uint32_t)(v >> 32) : 0;
        if (bytes && valid[i]) memcpy(bytes[i], b + (a & 3), size);
        good += valid[i];
    }
    return good;
}

int watch_read_globals(const WatchLoc* loc, int n, uint32_t wbuf[32], bool valid[32], uint32_t* hi,
                       uint8_t (*bytes)[WATCH_BYTES]) {
    return read_by_words(loc, n, wbuf, valid, hi, bytes, true);
}

static std::atomic<WatchFrameBaseFn> s_frame_base{nullptr};

void probe_set_frame_base(WatchFrameBaseFn fn) { s_frame_base.store(fn); }

static std::atomic<WatchRelocateFn> s_relocate{nullptr};

void probe_set_relocate(WatchRelocateFn fn) { s_relocate.store(fn); }

// A local's frame is looked up once per poll (or write): never another frame's memory.
static const WatchFrames::Frame& watch_frame(WatchFrames* wf, uint32_t func) {
    for (int k = 0; k < wf->count; ++k)
        if (wf->frames[k].func == func) return wf->frames[k];
    WatchFrames::Frame& f = wf->frames[wf->count < WATCH_MAX ? wf->count++ : WATCH_MAX - 1];
    f = WatchFrames::Frame{func, wf->have_regs ? wf->regs[13] : 0, wf->have_regs ? wf->regs[15] : 0, wf->have_regs, true,
                           false};
    WatchFrameBaseFn frame_of = s_frame_base.load();
    if (wf->have_regs && frame_of) f.found = frame_of(func, &f.cfa, &f.innermost, &f.unreadable, &f.pc);
    return f;
}

// A watch whose place moves through its function, where it is at its frame's
// pc: never the place it had at another pc (a register reused since).
static WatchLoc located(const WatchLoc& loc, WatchFrames* wf) {
    if (!loc.moves) return loc;
    const WatchFrames::Frame& f = watch_frame(wf, loc.func_addr);
    WatchRelocateFn relocate = s_relocate.load();
    WatchLoc out = loc;
    out.moves = false;
    if (!wf->have_regs || !f.found) return out;  // the frame lookup says why
    if (!relocate || !relocate(loc, f.pc, &out)) out.kind = VAR_LOC_NONE;
    return out;
}

// Where a watch (`moving`, as the list gives it) is, once located at its frame (`loc`).
static WatchPlace place_located(const WatchLoc& moving, const WatchLoc& loc, WatchFrames* wf) {
    WatchPlace p{WATCH_PLACE_NONE, 0, WATCH_VAL_READ_ERR};
    const WatchFrames::Frame& f = watch_frame(wf, moving.func_addr);
    if (wf->have_regs && !f.found) {
        p.why = f.unreadable ? WATCH_VAL_READ_ERR : WATCH_VAL_NOT_IN_SCOPE;
    } else if (moving.moves && loc.kind == VAR_LOC_NONE) {
        p.why = WATCH_VAL_OPTIMIZED_OUT;
    } else if (loc.kind == VAR_LOC_FBREG ? loc.size >= 1 : loc.size >= 1 && loc.size <= 4) {
        if (loc.kind == VAR_LOC_FBREG && f.cfa) {
            p = WatchPlace{WATCH_PLACE_MEM, f.cfa + (uint32_t)loc.value, WATCH_VAL_OK};
        } else if (loc.kind == VAR_LOC_REG && wf->have_regs && loc.value >= 0 && loc.value <= 15) {
            // An outer frame's registers are not the core's: showing these would show the callee's.
            if (f.innermost) p = WatchPlace{WATCH_PLACE_REG, (uint32_t)loc.value, WATCH_VAL_OK};
            else p.why = WATCH_VAL_UNAVAILABLE;
        }
    }
    return p;
}

WatchPlace watch_place(const WatchLoc& moving, WatchFrames* wf) { return place_located(moving, located(moving, wf), wf); }

bool watch_halt_for_locals(bool* halted_here) {
    *halted_here = false;
    if (g_is_halted) return true;
    // Set before the halt is published, so the UI never takes it for a real stop.
    g_watch_halting = true;
    if (!dbg_halt() || !plat_event_wait(g_halt_event, 500)) {
        g_watch_halting = false;
        return false;
    }
    g_is_halted = true;
    *halted_here = true;
    return true;
}

void watch_resume_after_locals(bool halted_here) {
    if (!halted_here) return;
    probe_restore_breakpoints();
    dbg_resume();
    g_is_halted = false;
    g_watch_halting = false;
}

static bool expr_read(void*, uint32_t addr, uint8_t* out, uint32_t len) { return dbg_read_mem(addr, out, len); }

// A value computed from registers: only the innermost frame's are the core's.
static bool watch_eval(const WatchLoc& loc, WatchFrames* wf, uint64_t* v, uint8_t* why) {
    const WatchFrames::Frame& f = watch_frame(wf, loc.func_addr);
    *why = WATCH_VAL_READ_ERR;
    if (!wf->have_regs) return false;
    if (!f.found) return *why = f.unreadable ? WATCH_VAL_READ_ERR : WATCH_VAL_NOT_IN_SCOPE, false;
    if (!f.innermost) return *why = WATCH_VAL_UNAVAILABLE, false;
    DwarfExprEnv env{wf->regs, f.cfa != 0, f.cfa, expr_read, nullptr};
    return dwarf_expr_eval(loc.expr, loc.expr_len, &env, loc.size, v);
}

static bool is_local(const WatchLoc& l) {
    return l.moves || l.kind == VAR_LOC_REG || l.kind == VAR_LOC_FBREG || l.kind == VAR_LOC_EXPR;
}

// read (when given) marks the slots read, the others keep what they had.
static int read_locals(const WatchLoc* loc, int n, uint32_t wbuf[32], bool valid[32], uint8_t* state, uint32_t* hi,
                       uint8_t (*bytes)[WATCH_BYTES], bool* read) {
    bool any = false;
    for (int i = 0; i < n; ++i) any |= is_local(loc[i]);
    if (!any) return 0;
    bool halted_here = false;
    if (!watch_halt_for_locals(&halted_here)) return 0;
    WatchFrames wf{};
    wf.have_regs = dbg_read_regs(wf.regs);
    int ok = 0;
    for (int i = 0; i < n && i < WATCH_MAX; ++i) {
        if (!is_local(loc[i])) continue;
        uint8_t b[WATCH_BYTES] = {};
        uint8_t why = WATCH_VAL_READ_ERR;
        bool r = false;
        // A moving one is placed only in a frame that was found.
        const WatchFrames::Frame& f = watch_frame(&wf, loc[i].func_addr);
        bool placed = !loc[i].moves || (wf.have_regs && f.found);
        WatchLoc here = located(loc[i], &wf);
        if (placed && here.kind == VAR_LOC_CONST) {
            for (int k = 0; k < 8; ++k) b[k] = (uint8_t)(here.const_value >> (8 * k));
            r = true;
        } else if (placed && here.kind == VAR_LOC_EXPR) {
            uint64_t x = 0;
            r = watch_eval(here, &wf, &x, &why);
            for (int k = 0; k < 8; ++k) b[k] = (uint8_t)(x >> (8 * k));
        } else {
            WatchPlace p = place_located(loc[i], here, &wf);  // located once per read
            why = p.why;
            if (p.kind == WATCH_PLACE_MEM) r = read_value(p.where, std::min<uint32_t>(loc[i].size, WATCH_BYTES), b);
            else if (p.kind == WATCH_PLACE_REG) memcpy(b, &wf.regs[p.where], 4), r = true;
        }
        uint64_t v = 0;
        for (int k = 0; k < 8; ++k) v |= (uint64_t)b[k] << (8 * k);
        if (bytes && r) memcpy(bytes[i], b, sizeof b);
        wbuf[i] = r ? (uint32_t)v : 0xFFFFFFFF;
        if (hi) hi[i] = r ? (uint32_t)(v >> 32) : 0;
        valid[i] = r;
        if (state) state[i] = r ? (uint8_t)WATCH_VAL_OK : why;
        if (read) read[i] = true;
        ok += r;
    }
    watch_resume_after_locals(halted_here);
    return ok;
}

int watch_read_locals(const WatchLoc* loc, int n, uint32_t wbuf[32], bool valid[32], uint8_t* state, uint32_t* hi,
                      uint8_t (*bytes)[WATCH_BYTES]) {
    return read_locals(loc, n, wbuf, valid, state, hi, bytes, nullptr);
}

// Values published for a slot whose watch has since changed (an add or a
// removal shifts the list) are dropped, never shown for the new occupant.
void probe_refresh_watches() {
    WatchLoc loc[WATCH_MAX];
    int n = watch_locations(loc);
    if (n == 0) return;
    uint32_t wbuf[32] = {};
    bool valid[32] = {};
    uint8_t state[32] = {};
    uint32_t hi[32] = {};
    static uint8_t bytes[WATCH_MAX][WATCH_BYTES], deref[WATCH_MAX][WATCH_BYTES];  // probe thread only
    uint8_t deref_len[WATCH_MAX] = {};
    uint16_t len[WATCH_MAX] = {};
    double t[WATCH_MAX] = {};
    bool live[WATCH_MAX] = {}, local_read[WATCH_MAX] = {};
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        for (int i = 0; i < n; ++i)
            if (watch_val_id[i] == loc[i].id) {
                wbuf[i] = watch_val_buf[i];
                hi[i] = watch_val_hi[i];
                valid[i] = watch_val_valid[i];
                state[i] = watch_val_state[i];
                memcpy(bytes[i], watch_val_bytes[i], WATCH_BYTES);
                memcpy(deref[i], watch_val_deref[i], WATCH_BYTES);
                deref_len[i] = watch_val_deref_len[i];
                len[i] = watch_val_len[i];
                t[i] = watch_val_t[i];
                live[i] = watch_val_live[i];
            }
    }
    // Taken before the locals' own halt: a value read in that moment is a
    // running core's.
    const bool running = !g_is_halted;
    watch_read_globals(loc, n, wbuf, valid, hi, bytes);
    const double globals_t = (double)plat_time_ms() / 1000.0;
    for (int i = 0; i < n; ++i) {
        if (loc[i].kind == VAR_LOC_ADDR || loc[i].kind == VAR_LOC_CONST) t[i] = globals_t, live[i] = running;
        if (loc[i].kind == VAR_LOC_ADDR) state[i] = valid[i] ? WATCH_VAL_OK : WATCH_VAL_READ_ERR;
        if (loc[i].kind == VAR_LOC_CONST) {  // nothing to read: the value is the debug information's
            wbuf[i] = (uint32_t)loc[i].const_value;
            hi[i] = (uint32_t)(loc[i].const_value >> 32);
            for (int k = 0; k < 8; ++k) bytes[i][k] = (uint8_t)(loc[i].const_value >> (8 * k));
            valid[i] = true;
            state[i] = WATCH_VAL_OK;
        }
    }
    read_locals(loc, n, wbuf, valid, state, hi, bytes, local_read);
    const double locals_t = (double)plat_time_ms() / 1000.0;
    for (int i = 0; i < n; ++i)
        if (local_read[i]) t[i] = locals_t, live[i] = running;
    for (int i = 0; i < n; ++i)
        if (valid[i]) len[i] = (uint16_t)(loc[i].kind == VAR_LOC_CONST || loc[i].kind == VAR_LOC_EXPR
                                               ? 8
                                               : std::min<uint32_t>(loc[i].size, (uint32_t)WATCH_BYTES));
    // Where pointers and references point, for the watches that ask: the
    // words that cover them in one batch, as the globals.
    WatchLoc at[WATCH_MAX];
    int who[WATCH_MAX], m = 0;
    for (int i = 0; i < n; ++i) {
        deref_len[i] = 0;
        if (!loc[i].deref || !valid[i] || !wbuf[i]) continue;
        at[m] = WatchLoc{};
        at[m].kind = VAR_LOC_ADDR;
        at[m].value = (int32_t)wbuf[i];
        at[m].size = std::min<uint32_t>(loc[i].deref, (uint32_t)WATCH_BYTES);
        who[m++] = i;
    }
    if (m) {
        uint32_t dw[WATCH_MAX];
        bool dok[WATCH_MAX] = {};
        static uint8_t db[WATCH_MAX][WATCH_BYTES];  // probe thread only
        // A pointer to nowhere faults the batch: then each pointee on its own,
        // so a bad one costs one read, not one per word.
        read_by_words(at, m, dw, dok, nullptr, db, false);
        for (int k = 0; k < m; ++k) {
            if (!dok[k]) dok[k] = dbg_read_mem((uint32_t)at[k].value, db[k], at[k].size);
            if (!dok[k]) continue;
            memcpy(deref[who[k]], db[k], at[k].size);
            deref_len[who[k]] = (uint8_t)at[k].size;
        }
    }
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    for (int i = 0; i < n; ++i) {
        watch_val_buf[i] = wbuf[i];
        watch_val_hi[i] = hi[i];
        watch_val_valid[i] = valid[i];
        watch_val_state[i] = state[i];
        watch_val_id[i] = loc[i].id;
        memcpy(watch_val_bytes[i], bytes[i], WATCH_BYTES);
        watch_val_len[i] = len[i];
        memcpy(watch_val_deref[i], deref[i], WATCH_BYTES);
        watch_val_deref_len[i] = deref_len[i];
        watch_val_t[i] = t[i];
        watch_val_live[i] = live[i];
    }
}

// --- polls ----------------------------------------------------------------------

void running_poll() {
    if (!s_dap) return;
    DapState st = dap_get_state(s_dap);
    if (st == DAP_STATE_HALTED) {
        set_halted("POST_HALT");
        probe_identify_if_needed();
        publish_state();
        // After the registers are out: the report follows them.
        probe_core_stopped();
        probe_wake_ui();
        return;
    }
    uint32_t pc;
    if (st == DAP_STATE_UNKNOWN || !dap_read_mem32(s_dap, DAP_DWT_PCSR, &pc) || pc == 0 || pc == 0xFFFFFFFF) return;
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        reg_buf[15] = pc;
        reg_buf_fresh = true;
    }
    probe_refresh_watches();
    probe_poke_ui();
}

bool idle_poll() {
    if (!s_dap) return false;
    // The state comes first: DCRSR must never be used on a running core.
    DapState st = dap_get_state(s_dap);
    if (st == DAP_STATE_UNKNOWN) return false;
    bool was_halted = g_is_halted, stopped = false;
    if (st != DAP_STATE_HALTED) {
        g_is_halted = false;
        running_poll();
        if (was_halted) probe_wake_ui();
        return true;
    }
    uint32_t regs[16];
    if (!dbg_read_regs(regs)) return false;
    if (!g_is_halted) {
        set_halted("POST_HALT");
        probe_identify_if_needed();
        stopped = true;
    }
    probe_refresh_watches();
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        std::memcpy(reg_buf, regs, sizeof regs);
        reg_buf_fresh = true;
        g_reg_cache_valid = true;
    }
    if (stopped) probe_core_stopped();
    publish_stack();
    if (was_halted) probe_poke_ui();
    else probe_wake_ui();
    return false;
}
