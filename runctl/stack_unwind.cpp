#include "runctl/stack_unwind.h"

#include <cstdio>
#include <cstring>

#include "disasm/thumb2_disasm.h"
#include "symbols/dwarf_frame.h"
#include "symbols/elf_dwarf.h"

namespace {

constexpr uint32_t kBlock = 256;
constexpr int kBlocks = 16;

// Stack memory, read a block at a time and each block once per unwind.
struct StackCache {
    UnwindReadFn read;
    void* user;
    uint32_t base[kBlocks];  // 0xFFFFFFFF: the slot's block could not be read
    uint8_t data[kBlocks][kBlock];
    int used;
};

bool cache_read32(StackCache* c, uint32_t addr, uint32_t* v) {
    if (addr & 3) return false;
    uint32_t b = addr & ~(kBlock - 1);
    int i = 0;
    while (i < c->used && c->base[i] != b) ++i;
    if (i == c->used) {
        i = c->used < kBlocks ? c->used++ : (int)(b / kBlock % kBlocks);
        c->base[i] = b;
        if (!c->read(c->user, b, c->data[i], kBlock)) {
            // The block may reach past the end of RAM: the word alone then.
            uint8_t w[4];
            c->base[i] = 0xFFFFFFFF;
            if (!c->read(c->user, addr, w, 4)) return false;
            *v = (uint32_t)w[0] | (uint32_t)w[1] << 8 | (uint32_t)w[2] << 16 | (uint32_t)w[3] << 24;
            return true;
        }
    }
    const uint8_t* p = c->data[i] + (addr - b);
    *v = (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
    return true;
}

bool is_code(const ElfDwarf* e, uint32_t pc) {
    uint32_t s, en;
    return e && pc >= 0x100 && elf_dwarf_func_span(e, pc, &s, &en);
}

// A return address follows a BL or a BLX register.
bool after_call(const ElfDwarf* e, uint32_t ret) {
    uint8_t c[4];
    if (ret >= 4 && elf_read_text(e, ret - 4, c, 4)) {
        uint16_t w0 = (uint16_t)(c[0] | c[1] << 8), w1 = (uint16_t)(c[2] | c[3] << 8);
        if ((w0 & 0xF800) == 0xF000 && ((w1 & 0xD000) == 0xD000 || (w1 & 0xD001) == 0xC000)) return true;
    }
    if (ret >= 2 && elf_read_text(e, ret - 2, c, 2)) {
        uint16_t w = (uint16_t)(c[0] | c[1] << 8);
        if ((w & 0xFF87) == 0x4780) return true;
    }
    return false;
}

void fill(UnwindFrame* f, const ElfDwarf* e, uint32_t pc, uint32_t lookup_pc) {
    memset(f, 0, sizeof *f);
    f->pc = pc;
    snprintf(f->func, sizeof f->func, "??");
    ElfLocation loc;
    if (is_code(e, lookup_pc) && elf_dwarf_lookup(e, lookup_pc, &loc)) {
        if (loc.func[0] && loc.func[0] != '?') snprintf(f->func, sizeof f->func, "%s", loc.func);
        // gcc's clones (.constprop.0, .isra.0, .part.0) are the function of the source.
        if (char* dot = strchr(f->func, '.'); dot && dot != f->func) *dot = 0;
        snprintf(f->file, sizeof f->file, "%s", loc.file);
        f->line = loc.line;
        // Among rows at one address the statement's line is the one shown.
        ElfRow row;
        if (elf_dwarf_row_at(e, lookup_pc, &row) && row.file_idx < e->file_count && e->files[row.file_idx]) {
            snprintf(f->file, sizeof f->file, "%s", e->files[row.file_idx]);
            f->line = row.line;
        }
    }
}

// One frame of code, as the source shows it: a function inlined at pc is a
// frame of its own, above the function it was inlined into, whose line is
// then the call's. The innermost `hide` inlined calls are not shown (the
// frame stands at their call). Adds the frames at `at`; returns how many.
int add_frames(UnwindFrame* frames, int at, int max, const ElfDwarf* e, uint32_t pc, uint32_t lookup_pc, int hide) {
    ElfInline chain[ELF_MAX_INLINE];
    int k = e && is_code(e, lookup_pc) ? elf_dwarf_inline_chain(e, lookup_pc, chain, ELF_MAX_INLINE) : 0;
    fill(&frames[at], e, pc, lookup_pc);
    if (hide > k) hide = k;
    if (hide > 0) {
        snprintf(frames[at].file, sizeof frames[at].file, "%s", chain[k - hide].call_file);
        frames[at].line = chain[k - hide].call_line;
        k -= hide;
    }
    if (k == 0) return 1;
    UnwindFrame real = frames[at];
    int n = 0;
    for (int i = k - 1; i >= -1 && at + n < max; --i) {
        UnwindFrame* f = &frames[at + n];
        *f = real;
        f->is_inlined = i >= 0;
        if (i >= 0) snprintf(f->func, sizeof f->func, "%s", chain[i].func);
        if (i < k - 1) {
            snprintf(f->file, sizeof f->file, "%s", chain[i + 1].call_file);
            f->line = chain[i + 1].call_line;
        }
        ++n;
    }
    return n;
}

// A function that reached `callee` by a tail call: the return address
// follows a BL to another function, which ends in a plain branch to the
// callee. That function's frame is gone from the stack; the branch is where
// it stood (gdb shows it too). 0 when there is none.
uint32_t tail_call_site(const ElfDwarf* e, uint32_t ret, uint32_t callee) {
    uint8_t c[4];
    if (ret < 4 || !elf_read_text(e, ret - 4, c, 4) || !(thumb2_classify(ret - 4, c) & T2_CLASS_CALL)) return 0;
    uint32_t via = thumb2_branch_target(ret - 4, c), fs, fe;
    if (!via || via == callee || !elf_dwarf_func_span(e, via, &fs, &fe) || fs != via || !fe) return 0;
    for (uint32_t a = fs; a < fe && a - fs < 4096;) {
        if (!elf_read_text(e, a, c, 4)) return 0;
        uint32_t cls = thumb2_classify(a, c);
        if ((cls & T2_CLASS_BRANCH) && !(cls & (T2_CLASS_CALL | T2_CLASS_CBRANCH)) && thumb2_branch_target(a, c) == callee)
            return a;
        a += (uint32_t)thumb2_insn_len(c);
    }
    return 0;
}

struct Regs {
    uint32_t r[16];
    uint16_t known;  // bit n: r[n] is known
};

// The six EXC_RETURN values (handler or thread mode, MSP or PSP, with or
// without an FP frame); 0xFFFFFFFF, LR's value out of reset, is none of them.
bool is_exc_return(uint32_t v) {
    if ((v & 0xFFFFFFE0u) != 0xFFFFFFE0u) return false;
    uint32_t low = v & 0x1F;
    return low == 0x01 || low == 0x09 || low == 0x0D || low == 0x11 || low == 0x19 || low == 0x1D;
}

}  // namespace

void inline_view_at(const ElfDwarf* e, uint32_t pc, InlineView* v) {
    v->depth = e ? elf_dwarf_inline_chain(e, pc, v->chain, ELF_MAX_INLINE) : 0;
    v->starting = 0;
    if (v->depth == 0) return;
    ElfInline before[ELF_MAX_INLINE];
    int kb = pc >= 2 ? elf_dwarf_inline_chain(e, pc - 2, before, ELF_MAX_INLINE) : 0;
    for (int i = v->depth - 1; i >= 0; --i) {
        const ElfInline& x = v->chain[i];
        bool entered_from_outside = x.low == pc;
        for (int j = 0; j < kb && entered_from_outside; ++j) entered_from_outside = before[j].id != x.id;
        if (x.entry != pc && !entered_from_outside) break;
        ++v->starting;
    }
}

int stack_unwind(const ElfDwarf* e, const UnwindRegs* in, UnwindReadFn read, void* user, UnwindFrame* frames,
                 int max_frames) {
    if (!frames || !read || !in || max_frames <= 0) return 0;
    if (max_frames > UNWIND_MAX_FRAMES) max_frames = UNWIND_MAX_FRAMES;
    static StackCache cache;  // probe thread only; too large for its stack
    cache.read = read;
    cache.user = user;
    cache.used = 0;

    Regs cur;
    memcpy(cur.r, in->r, sizeof cur.r);
    cur.known = 0xFFFF;
    uint32_t pc = in->r[15] & ~1u;
    int n = add_frames(frames, 0, max_frames, e, pc, pc, in->hide_inline);
    for (int i = 0; i < n; ++i) frames[i].sp = in->r[13];
    frames[0].is_current = true;
    bool exact = true;   // pc is where the core stands (frame 0, or resumed after an exception)
    uint32_t scan_from = 0;
    while (n < max_frames) {
        UnwindFrame* self = &frames[n - 1];
        if (!is_code(e, pc)) break;
        // Outer frames sit after a call: their own row is the call's.
        uint32_t lookup = exact ? pc : pc - 2;
        DwarfFrameRow row;
        bool have_row = !self->guessed && e && dwarf_frame_row(e->debug_frame, e->debug_frame_size, lookup, &row) &&
                        row.cfa.reg < 16 && (cur.known >> row.cfa.reg & 1) && row.ra_reg < 16;
        if (have_row) self->cfa = cur.r[row.cfa.reg] + (uint32_t)row.cfa.offset;
        // The walk ends at main, whose CFA its locals still need.
        if (!strcmp(self->func, "main")) break;
        uint32_t ret = 0, caller_sp = 0;
        Regs caller = cur;
        if (have_row) {
            uint32_t cfa = self->cfa;
            bool ok = true;
            for (int r = 0; r < 16 && ok; ++r) {
                switch (row.kind[r]) {
                case DWARF_REG_SAME: break;
                case DWARF_REG_UNDEFINED: caller.known &= (uint16_t)~(1u << r); break;
                case DWARF_REG_OFFSET: ok = cache_read32(&cache, cfa + (uint32_t)row.offset[r], &caller.r[r]); break;
                case DWARF_REG_VAL_OFFSET: caller.r[r] = cfa + (uint32_t)row.offset[r]; break;
                case DWARF_REG_REGISTER:
                    if (row.offset[r] < 0 || row.offset[r] > 15 || !(cur.known >> row.offset[r] & 1)) caller.known &= (uint16_t)~(1u << r);
                    else caller.r[r] = cur.r[row.offset[r]];
                    break;
                }
            }
            if (!ok || !(caller.known >> row.ra_reg & 1)) break;
            ret = caller.r[row.ra_reg];
            caller_sp = cfa;
            caller.r[13] = cfa;
        } else {
            // No call frame information: a return address in LR (frame 0 only),
            // else the first word up the stack that follows a call.
            uint32_t lr = cur.r[14];
            if (n == 1 && is_exc_return(lr)) {
                ret = lr;  // a handler that has pushed nothing yet
            } else if (n == 1 && (lr & 1) && (lr & ~1u) != pc && is_code(e, lr & ~1u) && after_call(e, lr & ~1u)) {
                ret = lr;
                scan_from = cur.r[13];
            } else {
                uint32_t a = scan_from ? scan_from : cur.r[13];
                bool found = false;
                for (int i = 0; i < 256 && !found; ++i, a += 4) {
                    uint32_t w;
                    if (!cache_read32(&cache, a, &w)) break;
                    if ((w & 1) && is_code(e, w & ~1u) && after_call(e, w & ~1u)) {
                        ret = w;
                        found = true;
                    }
                }
                if (!found) break;
                scan_from = a;
            }
            caller.known = 0;  // nothing further is known for sure
        }
        if (is_exc_return(ret)) {
            // EXC_RETURN: the interrupted code's registers were stacked by the hardware.
            uint32_t frame_sp;
            if (ret & 4) {
                if (!in->banked_valid) break;
                frame_sp = in->psp;
            } else {
                frame_sp = have_row ? caller_sp : cur.r[13];
            }
            uint32_t w[8];
            bool ok = true;
            for (int i = 0; i < 8 && ok; ++i) ok = cache_read32(&cache, frame_sp + 4 * (uint32_t)i, &w[i]);
            if (!ok) break;
            uint32_t size = (ret & 0x10) ? 0x20 : 0x68;
            if (w[7] & 0x200) size += 4;
            UnwindFrame* x = &frames[n++];
            memset(x, 0, sizeof *x);
            x->pc = ret;
            snprintf(x->func, sizeof x->func, "<exception frame>");
            x->is_exception = true;
            x->sp = frame_sp;
            x->cfa = frame_sp;
            if (n >= max_frames) break;
            caller.r[0] = w[0], caller.r[1] = w[1], caller.r[2] = w[2], caller.r[3] = w[3], caller.r[12] = w[4];
            caller.r[14] = w[5];
            caller.r[15] = w[6] & ~1u;
            caller.r[13] = frame_sp + size;
            caller.known |= 0x700F | 1u << 12 | 1u << 13;
            pc = w[6] & ~1u;
            if (!is_code(e, pc)) break;
            cur = caller;
            int added = add_frames(frames, n, max_frames, e, pc, pc, 0);
            for (int i = n; i < n + added; ++i) frames[i].sp = caller.r[13];
            n += added;
            exact = true;
            scan_from = 0;
            continue;
        }
        ret &= ~1u;
        if (!is_code(e, ret)) break;
        // The stack grows down: an older frame never sits below a newer one.
        if (have_row && (caller_sp < cur.r[13] || (caller_sp == cur.r[13] && ret == pc))) break;
        uint32_t self_fs = 0, self_fe = 0;
        uint32_t tail = have_row && elf_dwarf_func_span(e, lookup, &self_fs, &self_fe) ? tail_call_site(e, ret, self_fs) : 0;
        if (tail && n < max_frames) {
            fill(&frames[n], e, tail, tail);
            frames[n].sp = caller_sp;
            frames[n].is_tailcall = true;
            ++n;
            if (n >= max_frames) break;
        }
        cur = caller;
        cur.r[15] = ret;
        pc = ret;
        int added = add_frames(frames, n, max_frames, e, pc, pc - 2, 0);
        for (int i = n; i < n + added; ++i) {
            frames[i].guessed = !have_row || self->guessed;
            frames[i].sp = have_row ? caller_sp : 0;
        }
        n += added;
        exact = false;
    }
    return n;
}
