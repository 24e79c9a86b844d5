#include "runctl/step.h"

#include "probe/watch_list.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "disasm/thumb2_disasm.h"
#include "platform/clock.h"
#include "probe/probe.h"
#include "probe/watch_list.h"
#include "runctl/breakpoints.h"
#include "runctl/fault_analyze.h"
#include "runctl/stack_unwind.h"
#include "symbols/elf_dwarf.h"
#include "platform/log_store.h"

// Source-level steps are range steps: the core single-steps (interrupts
// masked) while the PC stays inside the row of the line being stepped, and
// the step ends at the first instruction of a statement row of another line.
// A call is run, not stepped, with a breakpoint on its return address that
// only counts in the calling frame (same SP); a line that loops on itself is
// run to breakpoints on every exit from its range once stepping it gets long.
// A halt anywhere else (a user breakpoint, a fault) ends the step there.

namespace {

constexpr int kBurst = 48;        // single steps per turn of the probe loop: a Pause gets through
constexpr int kLoopSteps = 64;    // steps inside one range before running to its exits in any case
constexpr int kMaxTemp = 8;
constexpr uint32_t kExcReturn = 0xF0000000u;

enum Wait {
    WAIT_NONE = 0,
    WAIT_RETURN,  // a call or trap runs: back at want_addr with SP == want_sp
    WAIT_ENTRY,   // step into: running to the callee's first line
    WAIT_EXITS,   // a looping range runs to its exits
    WAIT_TARGET,  // step out, run to main: stop at want_addr (SP checked when known)
};

struct StepState {
    StepMode mode;
    Wait wait;
    uint32_t temp[kMaxTemp];  // comparators the engine set
    int temp_count;
    uint64_t start_tick;
    // The line being stepped and the row range the PC may roam.
    char file[256];
    uint32_t line;
    uint32_t range_start, range_end;  // the row being stepped
    uint32_t line_start, line_end;    // it and the rows of the same line next to it
    int range_steps;
    // The frame being stepped: its function and the inlined calls shown in
    // it (outermost first). Inlined calls deeper than these are "called".
    uint32_t func;
    int vdepth;
    uint32_t vids[ELF_MAX_INLINE];
    bool through_inline;  // step out of an inlined body: no stop before it is left
    int stop_hide;        // inlined calls not shown where the step ends
    bool looped;    // a branch back inside the range was taken: the line loops
    bool stepping;  // range stepping goes on at the next poll
    uint32_t pc;
    // What a halt at a temporary breakpoint must satisfy.
    uint32_t want_addr, want_sp;
    bool check_sp;
    uint32_t frame_cfa;  // WAIT_EXITS: the stepped frame's CFA
    uint32_t ret_exit, ret_sp;
    bool have_ret_exit;
    const char* done_msg;
};

StepState s_step;
const ElfDwarf* s_elf = nullptr;
// Where the last step ended, and how many inlined calls starting there are
// not shown (the location is their call's line, as gdb shows it). Only while
// the core has not moved since: a breakpoint hit later at the same PC shows them all.
uint32_t s_shown_pc = 0xFFFFFFFF, s_shown_moves = 0;
int s_shown_hide = 0;

void clear_halt_state() {
    {
        std::lock_guard<std::mutex> lk(g_halt_mtx);
        g_is_halted = false;
        g_halt_payload[0] = 0;
        g_halt_payload_len = 0;
        plat_event_reset(g_halt_event);
    }
    dbg_invalidate_reg_cache();
}

// Temporary breakpoints live in the comparators only, never in the user's
// list; one a user breakpoint already holds is shared and left to the user.
bool is_temp(uint32_t addr) {
    for (int i = 0; i < s_step.temp_count; ++i)
        if (s_step.temp[i] == addr) return true;
    return false;
}

bool place_temp_bp(uint32_t addr) {
    addr &= ~1u;
    if (bp_is_set(addr) || is_temp(addr)) return true;
    if (s_step.temp_count >= kMaxTemp || !dbg_bp_set(addr)) {
        log_addf(&logv, "[DBG] Step: BP set failed @ 0x%08X", addr);
        return false;
    }
    s_step.temp[s_step.temp_count++] = addr;
    return true;
}

void clear_temp_bps() {
    for (int i = 0; i < s_step.temp_count; ++i)
        if (!bp_is_set(s_step.temp[i])) dbg_bp_clear(s_step.temp[i]);
    s_step.temp_count = 0;
}

bool resume_and_arm_timeout() {
    clear_halt_state();
    bp_restore_all();
    s_step.start_tick = plat_time_ms();
    return dbg_resume();
}

bool step_asm_one() {
    clear_halt_state();
    return dbg_step_asm();
}

// Code comes from the image where it has it: no probe traffic.
bool read_insn(uint32_t pc, uint8_t code[4]) {
    pc &= ~1u;
    if (s_elf && elf_read_text(s_elf, pc, code, 4)) return true;
    return dbg_read_mem(pc, code, 4);
}

bool read_pc(uint32_t* pc) {
    if (!dbg_read_reg(15, pc)) return false;
    *pc &= ~1u;
    return true;
}

bool read_sp_pc(uint32_t* sp, uint32_t* pc) {
    static const uint8_t idx[2] = {13, 15};
    uint32_t v[2];
    if (!dbg_read_reg_list(idx, 2, v)) return false;
    *sp = v[0];
    *pc = v[1] & ~1u;
    return true;
}

// R0-R15 and, for exception frames on the process stack, MSP and PSP.
bool read_unwind_regs(UnwindRegs* r) {
    static const uint8_t idx[18] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 17, 18};
    uint32_t v[18];
    *r = UnwindRegs{};
    if (!dbg_read_reg_list(idx, 18, v)) {
        if (!dbg_read_regs(r->r)) return false;
        return true;
    }
    memcpy(r->r, v, sizeof r->r);
    r->msp = v[16];
    r->psp = v[17];
    r->banked_valid = true;
    return true;
}

// Target memory for the unwinder.
bool read_target(void*, uint32_t addr, uint8_t* buf, uint32_t len) { return dbg_read_mem(addr, buf, len); }

const char* file_name(uint16_t idx) {
    return (s_elf && idx < s_elf->file_count && s_elf->files[idx]) ? s_elf->files[idx] : "";
}

bool same_file(const char* a, uint16_t idx) { return strcmp(a, file_name(idx)) == 0; }

// The line being stepped is the row's.
void set_line(const ElfRow& row) {
    s_step.line = row.line;
    snprintf(s_step.file, sizeof s_step.file, "%s", file_name(row.file_idx));
}

// The step range is the row of the PC (as gdb's). The line's range adds the
// rows of the same line next to it: a loop within the line (a row per
// discriminator) stays inside it, and is run to its exits.
void set_range(const ElfRow& row) {
    s_step.range_start = row.start;
    s_step.range_end = row.end;
    uint32_t ls = row.start, le = row.end;
    ElfRow r;
    for (int i = 0; i < 64 && elf_dwarf_row_at(s_elf, le, &r) && r.start == le && r.line == row.line &&
                    r.file_idx == row.file_idx;
         ++i)
        le = r.end;
    for (int i = 0; i < 64 && ls >= 2 && elf_dwarf_row_at(s_elf, ls - 2, &r) && r.end == ls && r.line == row.line &&
                    r.file_idx == row.file_idx;
         ++i)
        ls = r.start;
    if (ls == s_step.line_start && le == s_step.line_end) return;
    s_step.line_start = ls;
    s_step.line_end = le;
    s_step.range_steps = 0;
    // A branch back into the line makes it a loop: it is run to its exits
    // rather than stepped round.
    s_step.looped = false;
    for (uint32_t a = ls; a < le && !s_step.looped;) {
        uint8_t c[4];
        if (!s_elf || !elf_read_text(s_elf, a, c, 4)) break;
        uint32_t cls = thumb2_classify(a, c), t = thumb2_branch_target(a, c);
        if ((cls & (T2_CLASS_BRANCH | T2_CLASS_CBRANCH)) && !(cls & T2_CLASS_CALL) && t && t <= a && t >= ls)
            s_step.looped = true;
        a += (uint32_t)thumb2_insn_len(c);
    }
}

// Nothing to poll: the command ends with this line.
bool finish(const char* msg) {
    clear_temp_bps();
    s_shown_pc = s_step.pc;
    s_shown_hide = s_step.stop_hide;
    s_shown_moves = dbg_core_moves();
    s_step = StepState{};
    step_done(msg);
    return false;
}

const char* step_name() {
    return s_step.mode == STEP_MODE_STEP_INTO ? "StepInto" : s_step.mode == STEP_MODE_STEP_OUT ? "StepOut" : "StepOver";
}

bool finish_fmt(const char* what) {
    char msg[96];
    snprintf(msg, sizeof msg, "[DBG] %s: %s", step_name(), what);
    return finish(msg);
}

// Runs the core until a temporary breakpoint; the poll takes over.
bool run_until(Wait w) {
    s_step.wait = w;
    s_step.stepping = false;
    if (!resume_and_arm_timeout()) return finish_fmt("resume failed");
    return true;
}

// A call (or trap, or sleep) at pc runs until it comes back to `ret` in this frame.
bool run_over(uint32_t ret) {
    uint32_t sp, pc;
    if (!read_sp_pc(&sp, &pc)) return finish_fmt("register read failed");
    if (!place_temp_bp(ret)) return finish_fmt("BP failed");
    s_step.want_addr = ret;
    s_step.want_sp = sp;
    s_step.check_sp = true;
    return run_until(WAIT_RETURN);
}

bool is_indirect(uint32_t cls, const uint8_t* c) {
    uint16_t w0 = (uint16_t)(c[0] | c[1] << 8), w1 = (uint16_t)(c[2] | c[3] << 8);
    if ((cls & T2_CLASS_BRANCH) && !(cls & T2_CLASS_CALL) && thumb2_branch_target(0, c) == 0 &&
        (w0 & 0xFF87) == 0x4700)
        return true;  // BX Rm
    if ((w0 & 0xFF87) == 0x4687 || (w0 & 0xFF87) == 0x4487) return true;  // MOV PC / ADD PC
    if (thumb2_insn_len(c) == 4) {
        if ((w0 & 0xFFF0) == 0xE8D0 && (w1 & 0xFFE0) == 0xF000) return true;      // TBB / TBH
        if ((w0 & 0xFF50) == 0xF850 && (w1 >> 12) == 0xF && !(cls & T2_CLASS_RETURN)) return true;  // LDR PC
    }
    return false;
}

// The exits of the current range when it contains no computed jump: direct
// branch targets outside it, its end, and (for a return in it) the caller.
// False when they cannot all be known or take more comparators than free.
bool range_exits(uint32_t* exits, int* count, bool* has_return) {
    *count = 0;
    *has_return = false;
    auto add = [&](uint32_t a) {
        for (int i = 0; i < *count; ++i)
            if (exits[i] == a) return true;
        if (*count >= kMaxTemp) return false;
        exits[(*count)++] = a;
        return true;
    };
    uint32_t a = s_step.line_start;
    bool falls_through = true;
    while (a < s_step.line_end) {
        uint8_t c[4];
        if (!read_insn(a, c)) return false;
        uint32_t cls = thumb2_classify(a, c);
        int len = thumb2_insn_len(c);
        falls_through = true;
        if (is_indirect(cls, c)) return false;
        if (cls & T2_CLASS_RETURN) {
            *has_return = true;
            falls_through = false;
        } else if ((cls & (T2_CLASS_BRANCH | T2_CLASS_CBRANCH)) && !(cls & T2_CLASS_CALL)) {
            uint32_t t = thumb2_branch_target(a, c);
            if (!t) return false;
            if ((t < s_step.line_start || t >= s_step.line_end) && !add(t)) return false;
            falls_through = (cls & T2_CLASS_CBRANCH) != 0;
        } else if (cls & (T2_CLASS_SVCALL | T2_CLASS_BKPT | T2_CLASS_UNDEF)) {
            return false;
        }
        a += (uint32_t)len;
    }
    if (falls_through && !add(s_step.line_end)) return false;
    return true;
}

bool start_exit_run() {
    uint32_t exits[kMaxTemp];
    int n = 0;
    bool has_return = false;
    if (!range_exits(exits, &n, &has_return)) return false;
    UnwindRegs regs;
    if (!read_unwind_regs(&regs) || !elf_dwarf_frame_base(s_elf, regs.r, &s_step.frame_cfa)) return false;
    s_step.have_ret_exit = false;
    if (has_return) {
        UnwindFrame f[4];
        int k = stack_unwind(s_elf, &regs, read_target, nullptr, f, 4);
        int to = k >= 2 && f[1].is_tailcall ? 2 : 1;
        if (k <= to || f[to].guessed || f[to].is_exception || f[to].is_tailcall) return false;
        s_step.ret_exit = f[to].pc;
        s_step.ret_sp = f[to].sp;
        s_step.have_ret_exit = true;
    }
    int free_comps = dbg_fpb_num_code() - bkpt_enabled_count();
    if (n + (has_return ? 1 : 0) > free_comps) return false;
    for (int i = 0; i < n; ++i)
        if (!place_temp_bp(exits[i])) return false;
    if (has_return && !place_temp_bp(s_step.ret_exit)) return false;
    log_addf(&logv, "[DBG] %s: line %u loops \xE2\x80\x94 running to its %d exit(s)", step_name(), s_step.line,
             n + (has_return ? 1 : 0));
    return true;
}

// Where the core now stands decides: go on, or stop. True: the step is still
// in flight (stepping on, or the core runs); false: finished.
bool after_move(uint32_t pc);

// Inlined calls whose code starts at pc: not shown where a step ends there.
int starting_at(uint32_t pc) {
    InlineView v;
    inline_view_at(s_elf, pc, &v);
    return v.starting;
}

// Inlined calls hidden where the last step ended, if the core still stands there.
int shown_hidden(uint32_t pc) { return pc == s_shown_pc && dbg_core_moves() == s_shown_moves ? s_shown_hide : 0; }

bool enter_function(uint32_t pc) {
    // A step into: the callee's first line, after its prologue.
    uint32_t post = elf_dwarf_after_prologue(s_elf, pc);
    if (post == pc || post == 0) {
        s_step.stop_hide = starting_at(pc);
        return finish_fmt("entered callee");
    }
    if (!place_temp_bp(post)) return finish_fmt("BP failed");
    s_step.want_addr = post;
    s_step.check_sp = false;
    return run_until(WAIT_ENTRY);
}

uint32_t func_of(uint32_t pc) {
    uint32_t fs = 0, fe = 0;
    return s_elf && elf_dwarf_func_span(s_elf, pc, &fs, &fe) ? fs : 0;
}

// The frame at pc becomes the one being stepped (gdb's frame of a step).
void take_frame(uint32_t pc, const InlineView& v) {
    s_step.func = func_of(pc);
    s_step.vdepth = v.depth - v.starting;
    for (int i = 0; i < s_step.vdepth; ++i) s_step.vids[i] = v.chain[i].id;
}

// pc stands in the stepped frame's function with its inlined calls (and maybe more).
bool from_frame(uint32_t pc, const InlineView& v) {
    if (func_of(pc) != s_step.func || v.depth - v.starting < s_step.vdepth) return false;
    for (int i = 0; i < s_step.vdepth; ++i)
        if (v.chain[i].id != s_step.vids[i]) return false;
    return true;
}

const char* stop_here(const char* why, int hide) {
    s_step.stop_hide = hide;
    return why;
}

// The PC left the range: null to step on (the range may have moved), or why
// the step ends there. Inlined calls are taken as gdb takes them.
const char* landed(uint32_t pc) {
    InlineView v;
    inline_view_at(s_elf, pc, &v);
    int vis = v.depth - v.starting;
    bool mine = from_frame(pc, v);
    if (mine && v.starting > 0 && vis == s_step.vdepth) {
        // The code of an inlined call starts here.
        const ElfInline& call = v.chain[vis];
        bool this_line = call.call_line == s_step.line && !strcmp(call.call_file, s_step.file);
        if (s_step.mode == STEP_MODE_STEP_INTO)
            return this_line ? stop_here("entered inlined function", v.starting - 1) : stop_here("done", v.starting);
        if (this_line) return nullptr;  // stepped through, as a call is run
        return stop_here("done", v.starting);
    }
    if (mine && vis > s_step.vdepth) {
        // Inside the body of an inlined call made from the stepped frame.
        if (s_step.mode == STEP_MODE_STEP_INTO && !s_step.through_inline) return stop_here("entered inlined function", v.starting);
        return nullptr;
    }
    ElfRow row;
    if (!elf_dwarf_row_at(s_elf, pc, &row)) return stop_here("done (no line information)", 0);
    bool same_frame = mine && vis == s_step.vdepth;
    if (pc == row.start && (row.line != s_step.line || !same_file(s_step.file, row.file_idx))) {
        if (row.is_stmt) return stop_here("done", v.starting);
        // Not a statement: the range moves on over it, the line stays (in
        // another frame there is no line to keep).
        set_range(row);
        if (!same_frame) {
            s_step.line = 0;
            s_step.file[0] = 0;
            take_frame(pc, v);
        }
        return nullptr;
    }
    set_range(row);  // the middle of a line (or the same line again): on to its end
    set_line(row);
    take_frame(pc, v);
    return nullptr;
}

// Range stepping from s_step.pc, at most kBurst instructions this turn.
bool step_range() {
    for (int i = 0; i < kBurst; ++i) {
        if (g_stop) return finish_fmt("stopped");
        uint32_t pc = s_step.pc;
        uint8_t c[4];
        if (!read_insn(pc, c)) return finish_fmt("code read failed");
        uint32_t cls = thumb2_classify(pc, c);
        uint32_t len = (uint32_t)thumb2_insn_len(c);
        if (cls & T2_CLASS_BKPT) return finish_fmt("stopped at a BKPT instruction");
        if (cls & T2_CLASS_SELF_LOOP) return finish_fmt("line branches to itself");
        if ((cls & T2_CLASS_CALL) && s_step.mode != STEP_MODE_STEP_INTO) return run_over(pc + len);
        // A sleep is run (interrupts wake it); an SVC is stepped into its
        // handler as gdb steps it, the handler's code being the next line.
        if (cls & (T2_CLASS_WFI | T2_CLASS_WFE)) return run_over(pc + len);
        if ((s_step.looped || s_step.range_steps >= kLoopSteps) && start_exit_run()) {
            s_step.want_addr = 0;
            return run_until(WAIT_EXITS);
        }
        uint32_t npc;
        clear_halt_state();
        if (!dbg_step_pc(&npc)) return finish_fmt("ASM step failed");
        s_step.pc = npc;
        if ((cls & T2_CLASS_CALL) && npc != pc + len) {
            // Entered a callee: its first line if it has lines, else run it.
            ElfRow row;
            if (elf_dwarf_row_at(s_elf, npc, &row)) return enter_function(npc);
            return run_over(pc + len);  // a BL leaves SP as the caller had it
        }
        if (npc >= s_step.line_start && npc < s_step.line_end) {
            ++s_step.range_steps;
            if (npc <= pc) s_step.looped = true;
        }
        if (npc >= s_step.range_start && npc < s_step.range_end) continue;
        const char* stop = landed(npc);
        if (stop) return finish_fmt(stop);
    }
    s_step.stepping = true;  // more next turn, at once
    g_poll_now = true;
    return true;
}

bool after_move(uint32_t pc) {
    s_step.pc = pc;
    if (pc < s_step.range_start || pc >= s_step.range_end) {
        const char* stop = landed(pc);
        if (stop) return finish_fmt(stop);
    }
    return step_range();
}

bool begin_line_step(StepMode mode, uint32_t pc) {
    uint8_t c[4] = {};
    bool mem_ok = read_insn(pc, c);
    uint32_t cls = mem_ok ? thumb2_classify(pc, c) : T2_CLASS_NORMAL;
    const char* name = mode == STEP_MODE_STEP_INTO ? "StepInto" : "StepOver";
    char msg[96];
    // A branch to itself or a BKPT never leaves the line: one instruction.
    if (cls & (T2_CLASS_SELF_LOOP | T2_CLASS_BKPT)) {
        snprintf(msg, sizeof msg, "[DBG] %s: %s", name, step_asm_one() ? "ASM step done" : "ASM step failed");
        return finish(msg);
    }
    ElfRow row;
    bool has_line = s_elf && elf_dwarf_row_at(s_elf, pc, &row);
    if (!has_line && (cls & T2_CLASS_CALL)) {
        // No line here: one instruction, but a call is run, not entered.
        log_addf(&logv, "[DBG] %s: no DWARF \xE2\x80\x94 call run to its return", name);
        s_step.mode = mode;
        return run_over(pc + (uint32_t)thumb2_insn_len(c));
    }
    if (!has_line) {
        log_addf(&logv, "[DBG] %s: no DWARF \xE2\x80\x94 ASM step", name);
        snprintf(msg, sizeof msg, "[DBG] %s: %s", name, step_asm_one() ? "ASM done" : "ASM failed");
        return finish(msg);
    }
    s_step.mode = mode;
    set_range(row);
    set_line(row);
    s_step.pc = pc;
    {
        // The frame as shown: inlined calls starting here may be hidden, and
        // the line is then their call's.
        InlineView v;
        inline_view_at(s_elf, pc, &v);
        int hidden = shown_hidden(pc);
        if (hidden > v.depth) hidden = v.depth;
        if (hidden > 0 && mode == STEP_MODE_STEP_INTO) {
            // A step at a hidden inlined call goes into it without running.
            s_step.stop_hide = hidden - 1;
            return finish_fmt("entered inlined function");
        }
        v.starting = hidden;
        take_frame(pc, v);
        if (hidden > 0) {
            s_step.line = v.chain[v.depth - hidden].call_line;
            snprintf(s_step.file, sizeof s_step.file, "%s", v.chain[v.depth - hidden].call_file);
        }
    }
    s_step.start_tick = plat_time_ms();
    log_addf(&logv, "[DBG] %s: line %u, range 0x%08X-0x%08X", name, row.line, row.start, row.end);
    return step_range();
}

bool needs_halted(const char* not_halted_msg) {
    if (g_is_halted) return true;
    if (not_halted_msg) log_add_line(&logv, not_halted_msg);
    g_cmd_busy = 0;
    return false;
}

// Return addresses without call frame information: LR, else a stack word
// that follows a call instruction, else LR anyway.
bool plausible_return(uint32_t a, uint32_t start, uint32_t end) {
    if (!(a & 1) || a <= 1 || (a & ~1u) >= 0x40000000u) return false;
    uint32_t p = a & ~1u;
    if (end > start && p >= start && p < end) return false;
    uint32_t fs, fe;
    return !s_elf || elf_dwarf_func_span(s_elf, p, &fs, &fe);
}

uint32_t find_ret_addr(uint32_t lr, uint32_t sp, uint32_t start, uint32_t end) {
    if (plausible_return(lr, start, end)) {
        log_addf(&logv, "[DBG] StepOut: using LR=0x%08X", lr);
        return lr & ~1u;
    }
    if (sp) {
        for (uint32_t i = 0; i < 32; ++i) {
            uint8_t w[4];
            if (!dbg_read_mem(sp + 4 * i, w, 4)) break;
            uint32_t v = (uint32_t)w[0] | ((uint32_t)w[1] << 8) | ((uint32_t)w[2] << 16) | ((uint32_t)w[3] << 24);
            if (plausible_return(v, start, end)) {
                log_addf(&logv, "[DBG] StepOut: stack scan found ret=0x%08X at SP+%u", v, 4 * i);
                return v & ~1u;
            }
        }
    }
    log_addf(&logv, "[DBG] StepOut: fallback LR=0x%08X", lr);
    return (lr & 1) && lr < kExcReturn ? lr & ~1u : 0;
}

bool step_out(uint32_t pc) {
    UnwindRegs regs;
    if (!read_unwind_regs(&regs)) return finish("[DBG] StepOut: register read failed");
    s_step.mode = STEP_MODE_STEP_OUT;
    s_step.done_msg = "[DBG] StepOut: done";
    UnwindFrame f[4];
    int n = stack_unwind(s_elf, &regs, read_target, nullptr, f, 4);
    if (n >= 2 && f[0].is_inlined) {
        // Out of an inlined body: step on until the PC leaves it, then to the
        // next statement of the function it was inlined into.
        log_addf(&logv, "[DBG] StepOut: out of inlined %s into %s", f[0].func, f[1].func);
        s_step.done_msg = nullptr;
        s_step.range_start = s_step.range_end = pc;
        s_step.line_start = s_step.line_end = pc;
        s_step.line = 0;
        s_step.file[0] = 0;
        InlineView v;
        inline_view_at(s_elf, pc, &v);
        v.starting = shown_hidden(pc) + 1;  // the frame stepped is the one the body was inlined into
        take_frame(pc, v);
        s_step.through_inline = true;
        s_step.pc = pc;
        s_step.start_tick = plat_time_ms();
        return step_range();
    }
    uint32_t ret = 0, sp = 0;
    bool exact = false;
    // The frame returned to: past an exception entry or a frame a tail call left.
    int k = 1;
    while (k < n && (f[k].is_exception || f[k].is_tailcall)) ++k;
    if (n >= 2 && !f[1].guessed) {
        const UnwindFrame& to = f[k < n ? k : n - 1];
        if (k < n) {
            ret = to.pc;
            sp = to.sp;
            exact = true;
            log_addf(&logv, "[DBG] StepOut: return to 0x%08X (%s), SP 0x%08X", ret, to.func, sp);
        }
    } else if (n == 1 && !strcmp(f[0].func, "main")) {
        log_add_line(&logv, "[DBG] StepOut: main is the outermost frame");
        return finish("[DBG] StepOut: failed");
    }
    if (!exact) {
        uint32_t start = 0, end = 0;
        if (s_elf) elf_dwarf_func_span(s_elf, pc, &start, &end);
        ret = find_ret_addr(regs.r[14], regs.r[13], start, end);
    }
    if (!ret) {
        log_add_line(&logv, "[DBG] StepOut: no return address found");
        return finish("[DBG] StepOut: failed");
    }
    log_addf(&logv, "[DBG] StepOut: BP+run @ 0x%08X", ret);
    if (!place_temp_bp(ret)) return finish("[DBG] StepOut: BP failed");
    s_step.want_addr = ret;
    s_step.want_sp = sp;
    s_step.check_sp = exact;
    return run_until(WAIT_TARGET);
}

// The first instruction after main's prologue (PUSH, SUB SP, ADD R7,SP).
uint32_t after_prologue(uint32_t main_addr) {
    uint32_t a = main_addr & ~1u;
    for (int i = 0; i < 8; ++i) {
        uint8_t code[4];
        if (!dbg_read_mem(a, code, 4)) return main_addr & ~1u;
        uint16_t w0 = (uint16_t)(code[0] | (code[1] << 8));
        bool prologue = (w0 & 0xFE00) == 0xB400 || (w0 & 0xFF80) == 0xB080 || (w0 & 0xFF00) == 0xAF00;
        if (!prologue) return a;
        a += (uint32_t)thumb2_insn_len(code);
    }
    return main_addr & ~1u;
}

bool reset_and_maybe_run_to_main(uint32_t main_addr) {
    g_stepping = true;
    dbg_invalidate_reg_cache();
    bool ok = false;
    for (int attempt = 1; attempt <= 3 && !g_stop; ++attempt) {
        if (attempt > 1) {
            log_addf(&logv, "[DBG] Reset: retry %d/%d", attempt, 3);
            plat_sleep_ms(500);
        }
        if (dbg_reset_halt()) {
            ok = true;
            break;
        }
    }
    if (!ok) {
        s_step = StepState{};
        step_done("[DBG] Reset: failed");
        return false;
    }
    dbg_invalidate_reg_cache();
    hardfault_clear();  // the firmware starts over: the last fault is history
    bp_restore_all();
    if (!main_addr) {
        s_step = StepState{};
        step_done("[DBG] Reset: halted at reset vector");
        return false;
    }
    uint32_t bp = after_prologue(main_addr);
    log_addf(&logv, "[DBG] RunToMain: BP+run @ 0x%08X", bp);
    if (!place_temp_bp(bp)) return finish("[DBG] RunToMain: BP failed");
    s_step.mode = STEP_MODE_RUN_TO_MAIN;
    s_step.done_msg = "[DBG] RunToMain: stopped at main()";
    s_step.want_addr = bp;
    s_step.check_sp = false;
    plat_sleep_ms(50);
    s_step.wait = WAIT_TARGET;
    if (!resume_and_arm_timeout()) return finish("[DBG] RunToMain: resume failed");
    return true;
}

void set_or_clear_bp(int cmd, uint32_t addr) {
    bool was_running = !g_is_halted && !dbg_is_halted();
    if (was_running && !dbg_halt()) {
        log_add_line(&logv, "[BKP] Core did not halt for the breakpoint");
        g_cmd_busy = 0;
        return;
    }
    if (cmd == PROBE_CMD_SET_BKPT) {
        if (!bp_set(addr & ~1u)) {
            // The gutter's pending slot must not stay behind a failure.
            std::lock_guard<std::mutex> lk(reg_buf_mtx);
            int i = bkpt_find(addr & ~1u);
            if (i >= 0 && g_bkpt[i].disabled) g_bkpt[i] = BkptSlot{};
        }
    } else {
        bp_clear(addr & ~1u);
    }
    if (was_running) {
        clear_halt_state();
        bp_restore_all();
        dbg_resume();
    }
    publish_state();
    g_cmd_busy = 0;
}

// The core halted while a step ran: at one of our breakpoints in the right
// frame, somewhere the step must resume from, or somewhere it must end.
bool on_halt() {
    uint32_t sp = 0, pc = 0;
    if (!read_sp_pc(&sp, &pc)) return finish("[DBG] Step: PC read failed");
    s_step.pc = pc;
    s_step.stop_hide = 0;
    bool ours = is_temp(pc) || (pc == s_step.want_addr && s_step.want_addr);
    if (!ours) {
        // A user breakpoint, a BKPT, a fault: the step ends where the core is.
        clear_temp_bps();
        if (bp_is_set(pc)) return finish("[DBG] Step: stopped at a breakpoint");
        fault_on_stop();
        return finish("[DBG] Step: unexpected halt");
    }
    switch (s_step.wait) {
    case WAIT_RETURN:
    case WAIT_TARGET:
        if (pc != s_step.want_addr || (s_step.check_sp && sp != s_step.want_sp)) {
            // The same code in a deeper (recursive) or another (task) frame: on.
            if (!resume_and_arm_timeout()) return finish_fmt("resume failed");
            return true;
        }
        clear_temp_bps();
        if (s_step.wait == WAIT_TARGET) {
            s_step.stop_hide = starting_at(pc);
            const char* m = s_step.done_msg ? s_step.done_msg : "[DBG] Step: done";
            s_step.wait = WAIT_NONE;
            return finish(m);
        }
        s_step.wait = WAIT_NONE;
        return after_move(pc);
    case WAIT_ENTRY: {
        clear_temp_bps();
        s_step.wait = WAIT_NONE;
        s_step.stop_hide = starting_at(pc);
        return finish_fmt("done");
    }
    case WAIT_EXITS: {
        bool right;
        if (s_step.have_ret_exit && pc == s_step.ret_exit) {
            right = sp == s_step.ret_sp;
        } else {
            UnwindRegs regs;
            uint32_t cfa = 0;
            right = read_unwind_regs(&regs) && elf_dwarf_frame_base(s_elf, regs.r, &cfa) && cfa == s_step.frame_cfa;
        }
        if (!right) {
            if (!resume_and_arm_timeout()) return finish_fmt("resume failed");
            return true;
        }
        clear_temp_bps();
        s_step.wait = WAIT_NONE;
        return after_move(pc);
    }
    default: return finish("[DBG] Step: unexpected halt");
    }
}

}  // namespace

void step_set_image(const ElfDwarf* elf) {
    s_elf = elf;
    fault_set_image(elf);
}

StepMode step_mode() { return s_step.mode; }

bool step_owns_temp_bp(uint32_t* addr) {
    if (addr) *addr = s_step.temp_count ? s_step.temp[0] : 0;
    return s_step.temp_count > 0;
}

void step_done(const char* msg) {
    g_stepping = false;
    g_reg_cache_valid = false;
    if (msg) log_add_line(&logv, msg);
    // Only a stop the user did not ask for can be a fault's.
    static const char* const kAsked[] = {"[DBG] Step", "[DBG] Reset", "[DBG] Halt", "[DBG] Run", "[DBG] ASM", "[DBG] Inter"};
    bool asked = false;
    for (const char* a : kAsked) asked |= msg && strncmp(msg, a, strlen(a)) == 0;
    if (!asked) hardfault_check(nullptr, nullptr);
    // One instruction stepped into a fault lands in its handler as a step of
    // ours: the report is read as for a Pause there.
    else if (strncmp(msg, "[DBG] ASM step done", 19) == 0) fault_on_stop();
    publish_state();
    g_cmd_busy = 0;
    probe_wake_ui();
}

bool step_dispatch(int cmd, uint32_t addr) {
    s_step = StepState{};
    uint32_t pc = 0;
    switch (cmd) {
    case PROBE_CMD_STEP:
    case PROBE_CMD_STEP_INTO: {
        bool over = cmd == PROBE_CMD_STEP;
        if (!needs_halted(over ? "[DBG] StepOver: core not halted" : nullptr)) return false;
        g_stepping = true;
        if (!read_pc(&pc)) return finish(over ? "[DBG] StepOver: PC read failed" : "[DBG] StepInto: PC read failed");
        return begin_line_step(over ? STEP_MODE_STEP_OVER : STEP_MODE_STEP_INTO, pc);
    }
    case PROBE_CMD_STEP_OUT:
        if (!needs_halted(nullptr)) return false;
        g_stepping = true;
        if (!read_pc(&pc)) return finish("[DBG] StepOut: PC read failed");
        return step_out(pc);
    case PROBE_CMD_STEP_ASM:
        if (!needs_halted(nullptr)) return false;
        g_stepping = true;
        return finish(step_asm_one() ? "[DBG] ASM step done" : "[DBG] ASM step failed");
    case PROBE_CMD_RESET: return reset_and_maybe_run_to_main(0);
    case PROBE_CMD_RUN_TO_MAIN: return reset_and_maybe_run_to_main(addr);
    case PROBE_CMD_SET_BKPT:
    case PROBE_CMD_CLEAR_BKPT: set_or_clear_bp(cmd, addr); return false;
    case PROBE_CMD_BKPT_TOGGLE:
        bp_toggle_enable((int)addr);
        publish_state();
        g_cmd_busy = 0;
        return false;
    default: g_cmd_busy = 0; return false;
    }
}

bool step_poll() {
    if (s_step.mode == STEP_MODE_NONE) return true;
    if (s_step.stepping) {
        // Range stepping that gave the loop a turn: the core is halted.
        s_step.stepping = false;
        return !step_range();
    }
    if (plat_time_ms() - s_step.start_tick >= STEP_TIMEOUT_MS) {
        log_add_line(&logv, "[DBG] Step: timeout \xE2\x80\x94 halting core");
        bool halted = dbg_halt();
        finish(halted ? "[DBG] Step: timeout" : "[DBG] Step: timeout \xE2\x80\x94 core did not halt");
        return true;
    }
    if (!g_is_halted && !dbg_is_halted()) return false;
    set_halted("BREAKPOINT");
    return !on_halt();
}

void step_abort() {
    clear_temp_bps();
    s_step = StepState{};
    g_stepping = false;
}

// The probe thread's call-stack hook: the halted core's frames.
static int unwind_halted(UnwindFrame* frames, int max_frames) {
    UnwindRegs regs;
    if (!read_unwind_regs(&regs)) return 0;
    // A stop of the engine's own may hide inlined calls starting at the PC;
    // a breakpoint hit while running or a pause shows them all.
    bool engine_stop;
    {
        std::lock_guard<std::mutex> lk(g_halt_mtx);
        engine_stop = strcmp(g_halt_payload, "POST_HALT") != 0 && strcmp(g_halt_payload, "HALT") != 0;
    }
    if (engine_stop) regs.hide_inline = shown_hidden(regs.r[15] & ~1u);
    return stack_unwind(s_elf, &regs, read_target, nullptr, frames, max_frames);
}

// The unwind's reads, noting whether any failed: a function not found on a
// stack that could not be read is unknown, not out of scope.
static bool s_unwind_read_failed;
static bool read_noting(void*, uint32_t addr, uint8_t* buf, uint32_t len) {
    bool ok = dbg_read_mem(addr, buf, len);
    s_unwind_read_failed |= !ok;
    return ok;
}

bool runctl_frame_of(uint32_t func_addr, uint32_t* cfa, bool* innermost, bool* unreadable, uint32_t* pc) {
    // One unwind per halt serves every function asked for (probe thread only).
    static UnwindRegs regs;
    static UnwindFrame frames[UNWIND_MAX_FRAMES];
    static int n = 0;
    static uint32_t unwound_at = 0;
    static const ElfDwarf* unwound_for = nullptr;
    static bool failed = false;
    *unreadable = false;
    if (!s_elf) return false;
    if (unwound_for != s_elf || unwound_at != dbg_core_moves()) {
        unwound_for = nullptr;
        if (!read_unwind_regs(&regs)) return *unreadable = true, false;
        s_unwind_read_failed = false;
        n = stack_unwind(s_elf, &regs, read_noting, nullptr, frames, UNWIND_MAX_FRAMES);
        failed = s_unwind_read_failed;
        unwound_at = dbg_core_moves();
        unwound_for = s_elf;
    }
    *innermost = true;
    *pc = regs.r[15];
    if (!func_addr) return elf_dwarf_frame_base(s_elf, regs.r, cfa);
    for (int i = 0; i < n; ++i) {
        const UnwindFrame& f = frames[i];
        if (i > 0 && !frames[i - 1].is_inlined) *innermost = false;
        if (f.is_exception || f.guessed) continue;
        // A return address may already lie past the end of its function (a call that never returns).
        bool returns_here = i > 0 && !frames[i - 1].is_exception && !frames[i - 1].is_inlined && !f.is_tailcall;
        if (func_of(returns_here ? f.pc - 2 : f.pc) != func_addr) continue;
        // A caller stands at its call: the return address may already be past the call's location ranges.
        *pc = returns_here ? f.pc - 2 : f.pc;
        int real = i;  // inlined frames share the frame of the function they are inlined into
        while (real + 1 < n && frames[real].is_inlined) ++real;
        if (frames[real].cfa) return *cfa = frames[real].cfa, true;
        return *innermost && elf_dwarf_frame_base(s_elf, regs.r, cfa);
    }
    *unreadable = failed;
    return false;
}

bool runctl_relocate(const WatchLoc& in, uint32_t pc, WatchLoc* out) {
    static ElfVariable v, at;  // probe thread only
    if (!s_elf) return false;
    memset(&v, 0, sizeof v);
    v.byte_size = in.size;
    v.func_addr = in.func_addr;
    v.var_unit = in.var_unit, v.var_die = in.var_die, v.sub_die = in.sub_die;
    if (!elf_dwarf_locate(s_elf, &v, pc, &at)) return false;
    out->kind = at.loc_kind;
    out->value = at.loc_value;
    out->const_value = at.const_value;
    out->expr_len = at.expr_len <= sizeof out->expr ? at.expr_len : 0;
    memcpy(out->expr, at.expr, out->expr_len);
    return true;
}

void runctl_install() {
    static const ProbeRunControl rc = {step_dispatch, step_poll, step_abort, bp_restore_all, nullptr,
                                       unwind_halted, bp_after_connect, fault_on_stop, fault_on_resume};
    probe_set_run_control(&rc);
}
