#include "runctl/step.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "disasm/thumb2_disasm.h"
#include "platform/clock.h"
#include "probe/probe.h"
#include "runctl/breakpoints.h"
#include "symbols/elf_dwarf.h"
#include "ui/log_view.h"

namespace {

struct StepState {
    StepMode mode;
    bool temp_bp_set;
    uint32_t temp_bp_addr;
    uint64_t start_tick;
    char step_over_file[256];
    uint32_t step_over_line;
    uint32_t step_over_orig_pc;
    int step_over_hops;
    char step_into_file[256];
    uint32_t step_into_line;
    uint32_t step_into_lr_before;
    int step_into_iters;
    const char* done_msg;
};

struct DwarfLineInfo {
    uint32_t cur_start, cur_end, cur_end_eff, next_start, line_nr;
    char file[256];
};

StepState s_step;
const ElfDwarf* s_elf = nullptr;

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

bool place_temp_bp(uint32_t addr) {
    addr &= ~1u;
    // A user's breakpoint already there serves; it is never the engine's to remove.
    if (bp_is_set(addr)) return true;
    if (!bp_set(addr)) {
        log_addf(&logv, "[DBG] Step: BP set failed @ 0x%08X", addr);
        return false;
    }
    s_step.temp_bp_set = true;
    s_step.temp_bp_addr = addr;
    return true;
}

void clear_temp_bp() {
    if (!s_step.temp_bp_set) return;
    bp_clear(s_step.temp_bp_addr);
    s_step.temp_bp_set = false;
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

bool read_insn(uint32_t pc, uint8_t code[4]) { return dbg_read_mem(pc & ~1u, code, 4); }

bool is_backward_branch(uint32_t pc, uint32_t cls, const uint8_t* code, bool mem_ok) {
    if (!mem_ok) return false;
    bool branchy = ((cls & T2_CLASS_BRANCH) && !(cls & T2_CLASS_CALL)) || (cls & T2_CLASS_CBRANCH);
    uint32_t t = thumb2_branch_target(pc, code);
    return branchy && t != 0 && t < pc;
}

void dwarf_line_info(uint32_t pc, DwarfLineInfo* out) {
    memset(out, 0, sizeof *out);
    out->cur_start = pc;
    if (!s_elf) {
        out->cur_end_eff = pc + 128;
        return;
    }
    ElfLocation loc;
    if (elf_dwarf_lookup(s_elf, pc, &loc) && loc.file[0] && loc.line) {
        snprintf(out->file, sizeof out->file, "%s", loc.file);
        out->line_nr = loc.line;
        uint32_t s = 0, e = 0;
        if (elf_dwarf_line_span(s_elf, loc.file, loc.line, &s, &e) && s <= pc && (e == 0 || pc < e)) {
            out->cur_start = s;
            out->cur_end = e;
        }
    }
    out->cur_end_eff = out->cur_end ? out->cur_end : out->cur_start + 128;
    uint32_t next = elf_dwarf_next_line_addr(s_elf, pc) & ~1u;
    if (next <= pc) next = 0;
    if (next && out->file[0]) {
        ElfLocation nl;
        // A jump back to an earlier line of the same file is a loop's back edge.
        if (elf_dwarf_lookup(s_elf, next, &nl) && strcmp(nl.file, out->file) == 0 && nl.line < out->line_nr) next = 0;
    }
    out->next_start = next;
}

bool needs_halted(const char* not_halted_msg) {
    if (g_is_halted) return true;
    if (not_halted_msg) log_add_line(&logv, not_halted_msg);
    g_cmd_busy = 0;
    return false;
}

bool read_pc(uint32_t* pc) {
    if (!dbg_read_reg(15, pc)) return false;
    *pc &= ~1u;
    return true;
}

// Nothing to poll: the command ends with this line.
bool finish(const char* msg) {
    clear_temp_bp();
    s_step = StepState{};
    step_done(msg);
    return false;
}

bool step_over(uint32_t pc) {
    uint8_t code[4] = {};
    bool mem_ok = read_insn(pc, code);
    uint32_t cls = mem_ok ? thumb2_classify(pc, code) : T2_CLASS_NORMAL;
    int len = mem_ok ? thumb2_insn_len(code) : 2;
    bool is_call = cls & T2_CLASS_CALL;
    DwarfLineInfo li;
    dwarf_line_info(pc, &li);
    if (li.next_start == 0 && is_call) {
        uint32_t lr = 0;
        if (dbg_read_reg(14, &lr) && (lr & ~1u) != pc) {
            li.next_start = lr & ~1u;
            log_add_line(&logv, "[DBG] StepOver: LR fallback");
        }
    }
    bool needs_asm = is_backward_branch(pc, cls, code, mem_ok) ||
                     (cls & (T2_CLASS_WFI | T2_CLASS_WFE | T2_CLASS_BKPT | T2_CLASS_SELF_LOOP));
    if (cls == T2_CLASS_IT) {
        log_add_line(&logv, "[DBG] StepOver: IT block \xE2\x80\x94 ASM stepping (ITSTATE-safe)");
        if (!step_asm_one()) return finish("[DBG] StepOver: IT ASM failed");
        for (int i = 0; i < 4 && !g_stop; ++i) {
            uint32_t xpsr = 0;
            if (!dbg_read_reg(16, &xpsr)) return finish("[DBG] StepOver: IT ASM failed");
            if ((xpsr & 0x0600FC00u) == 0) break;
            if (!step_asm_one()) return finish("[DBG] StepOver: IT ASM failed");
        }
        return finish("[DBG] StepOver: IT done");
    }
    bool uncond_jump = (cls & T2_CLASS_BRANCH) && !(cls & T2_CLASS_CALL) && !(cls & T2_CLASS_SELF_LOOP);
    if (needs_asm || (cls & T2_CLASS_CBRANCH) || uncond_jump)
        return finish(step_asm_one() ? "[DBG] StepOver: ASM step done" : "[DBG] StepOver: ASM step failed");
    if (is_call) {
        if (!li.next_start)
            return finish(step_asm_one() ? "[DBG] StepOver: call (ASM fallback) done" : "[DBG] StepOver: call ASM failed");
        log_addf(&logv, "[DBG] StepOver: call \xE2\x80\x94 BP+run @ %08X", li.next_start);
        if (!place_temp_bp(li.next_start)) return finish("[DBG] StepOver: BP failed");
        s_step.mode = STEP_MODE_STEP_OVER;
        s_step.step_over_orig_pc = pc;
        snprintf(s_step.step_over_file, sizeof s_step.step_over_file, "%s", li.file);
        s_step.step_over_line = li.line_nr;
        if (!resume_and_arm_timeout()) return finish("[DBG] StepOver: resume failed");
        return true;
    }
    if (cls & T2_CLASS_SVCALL) {
        uint32_t after = pc + (uint32_t)len;
        log_addf(&logv, "[DBG] StepOver: skip trap \xE2\x80\x94 BP+run @ %08X", after);
        if (!place_temp_bp(after)) return finish("[DBG] StepOver: BP failed");
        s_step.mode = STEP_MODE_STEP_OVER;
        if (!resume_and_arm_timeout()) return finish("[DBG] StepOver: resume failed");
        return true;
    }
    if (!li.next_start) {
        log_add_line(&logv, "[DBG] StepOver: no DWARF \xE2\x80\x94 ASM step");
        return finish(step_asm_one() ? "[DBG] StepOver: ASM done" : "[DBG] StepOver: ASM failed");
    }
    log_addf(&logv, "[DBG] StepOver: normal \xE2\x80\x94 BP+run @ %08X", li.next_start);
    if (!place_temp_bp(li.next_start)) return finish("[DBG] StepOver: BP failed");
    s_step.mode = STEP_MODE_STEP_OVER;
    snprintf(s_step.step_over_file, sizeof s_step.step_over_file, "%s", li.file);
    s_step.step_over_line = li.line_nr;
    s_step.step_over_orig_pc = pc;
    if (!resume_and_arm_timeout()) return finish("[DBG] StepOver: resume failed");
    return true;
}

bool step_into(uint32_t pc) {
    uint8_t code[4] = {};
    bool mem_ok = read_insn(pc, code);
    uint32_t cls = mem_ok ? thumb2_classify(pc, code) : T2_CLASS_NORMAL;
    if (cls & T2_CLASS_CALL)
        return finish(step_asm_one() ? "[DBG] StepInto: entered callee" : "[DBG] StepInto: ASM failed");
    uint32_t lr = 0;
    if (!dbg_read_reg(14, &lr)) return finish("[DBG] StepInto: LR read failed");
    s_step.step_into_lr_before = lr;
    ElfLocation loc;
    if (s_elf && elf_dwarf_lookup(s_elf, pc, &loc) && loc.file[0] && loc.line) {
        snprintf(s_step.step_into_file, sizeof s_step.step_into_file, "%s", loc.file);
        s_step.step_into_line = loc.line;
    }
    s_step.step_into_iters = 0;
    s_step.mode = STEP_MODE_STEP_INTO;
    if (!step_asm_one()) return finish("[DBG] StepInto: first ASM failed");
    g_is_halted = false;
    s_step.start_tick = plat_time_ms();
    return true;
}

bool plausible_return(uint32_t a, uint32_t start, uint32_t end) {
    if (!(a & 1) || a <= 1 || (a & ~1u) >= 0x40000000u) return false;
    uint32_t p = a & ~1u;
    if (end > start && p >= start && p < end) return false;
    return true;
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
    return lr & ~1u;
}

bool step_out(uint32_t pc) {
    uint32_t lr = 0, sp = 0;
    if (!dbg_read_reg(14, &lr) || !dbg_read_reg(13, &sp)) return finish("[DBG] StepOut: register read failed");
    uint32_t start = 0, end = 0;
    if (s_elf) elf_dwarf_func_span(s_elf, pc, &start, &end);
    uint32_t ret = find_ret_addr(lr, sp, start, end);
    if (!ret) {
        log_add_line(&logv, "[DBG] StepOut: no return address found");
        return finish("[DBG] StepOut: failed");
    }
    // The return address itself: it is hit the moment the function returns.
    log_addf(&logv, "[DBG] StepOut: BP+run @ 0x%08X", ret);
    if (!place_temp_bp(ret)) return finish("[DBG] StepOut: BP failed");
    s_step.mode = STEP_MODE_STEP_OUT;
    s_step.done_msg = "[DBG] StepOut: done";
    if (!resume_and_arm_timeout()) return finish("[DBG] StepOut: resume failed");
    return true;
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
    bp_restore_all();
    if (!main_addr) {
        s_step = StepState{};
        step_done("[DBG] Reset: halted at reset vector");
        return false;
    }
    uint32_t bp = after_prologue(main_addr);
    log_addf(&logv, "[DBG] RunToMain: BP+run @ 0x%08X", bp);
    if (!place_temp_bp(bp)) {
        s_step = StepState{};
        step_done("[DBG] RunToMain: BP failed");
        return false;
    }
    s_step.mode = STEP_MODE_RUN_TO_MAIN;
    s_step.done_msg = "[DBG] RunToMain: stopped at main()";
    plat_sleep_ms(50);
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

}  // namespace

void step_set_image(const ElfDwarf* elf) { s_elf = elf; }

StepMode step_mode() { return s_step.mode; }

bool step_owns_temp_bp(uint32_t* addr) {
    if (addr) *addr = s_step.temp_bp_addr;
    return s_step.temp_bp_set;
}

void step_done(const char* msg) {
    g_stepping = false;
    g_reg_cache_valid = false;
    if (msg) log_add_line(&logv, msg);
    publish_state();
    g_cmd_busy = 0;
    probe_wake_ui();
}

bool step_dispatch(int cmd, uint32_t addr) {
    s_step = StepState{};
    uint32_t pc = 0;
    switch (cmd) {
    case PROBE_CMD_STEP:
        if (!needs_halted("[DBG] StepOver: core not halted")) return false;
        g_stepping = true;
        if (!read_pc(&pc)) return finish("[DBG] StepOver: PC read failed");
        return step_over(pc);
    case PROBE_CMD_STEP_INTO:
        if (!needs_halted(nullptr)) return false;
        g_stepping = true;
        if (!read_pc(&pc)) return finish("[DBG] StepInto: PC read failed");
        return step_into(pc);
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
    if (plat_time_ms() - s_step.start_tick >= STEP_TIMEOUT_MS) {
        log_add_line(&logv, "[DBG] Step: timeout \xE2\x80\x94 halting core");
        bool halted = dbg_halt();
        clear_temp_bp();
        s_step = StepState{};
        step_done(halted ? "[DBG] Step: timeout" : "[DBG] Step: timeout \xE2\x80\x94 core did not halt");
        return true;
    }
    if (!g_is_halted && !dbg_is_halted()) return false;
    clear_temp_bp();
    set_halted("BREAKPOINT");
    uint32_t pc = 0;
    if (!read_pc(&pc)) {
        s_step = StepState{};
        step_done("[DBG] Step: PC read failed");
        return true;
    }
    const char* msg = nullptr;
    switch (s_step.mode) {
    case STEP_MODE_RUN_TO:
    case STEP_MODE_STEP_OUT:
    case STEP_MODE_RUN_TO_MAIN: msg = s_step.done_msg ? s_step.done_msg : "[DBG] Step: done"; break;
    case STEP_MODE_STEP_INTO: {
        uint32_t lr = 0;
        if (!dbg_read_reg(14, &lr)) {
            msg = "[DBG] StepInto: LR read failed";
            break;
        }
        if ((lr | 1) != (s_step.step_into_lr_before | 1)) {
            msg = "[DBG] StepInto: frame change";
            break;
        }
        if (!s_elf) {
            msg = "[DBG] StepInto: done (no ELF)";
            break;
        }
        ElfLocation loc;
        bool have = elf_dwarf_lookup(s_elf, pc, &loc) && loc.file[0] && loc.line;
        if (have && (strcmp(loc.file, s_step.step_into_file) != 0 || loc.line != s_step.step_into_line)) {
            msg = "[DBG] StepInto: done";
            break;
        }
        if (!have && s_step.step_into_line) {
            msg = "[DBG] StepInto: done (no debug info)";
            break;
        }
        if (++s_step.step_into_iters > STEP_INTO_MAX_ITERS - 1) {
            log_addf(&logv, "[DBG] StepInto: iter limit (%d)", STEP_INTO_MAX_ITERS);
            msg = "[DBG] StepInto: iter limit";
            break;
        }
        if (!step_asm_one()) {
            msg = "[DBG] StepInto: ASM step failed";
            break;
        }
        g_is_halted = false;
        s_step.start_tick = plat_time_ms();
        return false;
    }
    case STEP_MODE_STEP_OVER: {
        msg = "[DBG] StepOver: done";
        if (!s_elf || s_step.step_over_hops > STEP_OVER_MAX_HOPS - 1) break;
        ElfLocation loc;
        if (!elf_dwarf_lookup(s_elf, pc, &loc) || !loc.file[0] || !loc.line) break;
        uint32_t fs = 0, fe = 0;
        if (!elf_dwarf_func_span(s_elf, pc, &fs, &fe)) break;
        if (s_step.step_over_orig_pc >= fs && (fe == 0 || s_step.step_over_orig_pc < fe)) break;
        if (loc.prologue_end) break;
        DwarfLineInfo li;
        dwarf_line_info(pc, &li);
        if (!li.next_start) break;
        log_addf(&logv, "[DBG] StepOver: prologue skip hop %d @ 0x%08X (line %u, no prologue_end)",
                 s_step.step_over_hops + 1, li.next_start, loc.line);
        ++s_step.step_over_hops;
        if (!place_temp_bp(li.next_start)) {
            msg = "[DBG] StepOver: BP failed";
            break;
        }
        if (!resume_and_arm_timeout()) {
            clear_temp_bp();
            msg = "[DBG] StepOver: resume failed";
            break;
        }
        return false;
    }
    default: msg = "[DBG] Step: unexpected halt"; break;
    }
    s_step = StepState{};
    step_done(msg);
    return true;
}

void step_abort() {
    clear_temp_bp();
    s_step = StepState{};
    g_stepping = false;
}

void runctl_install() {
    static const ProbeRunControl rc = {step_dispatch, step_poll, step_abort, bp_restore_all, nullptr};
    probe_set_run_control(&rc);
}
