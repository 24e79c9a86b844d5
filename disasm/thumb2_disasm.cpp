#include "disasm/thumb2_disasm.h"

#include <cstdio>
#include <cstring>

static uint16_t half(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }

static int32_t sign_extend(uint32_t v, int bits) {
    uint32_t m = 1u << (bits - 1);
    return (int32_t)((v ^ m) - m);
}

int thumb2_insn_len(const uint8_t* code) {
    uint16_t w0 = half(code);
    return ((w0 & 0xE000) == 0xE000 && (w0 & 0x1800) != 0) ? 4 : 2;
}

uint32_t thumb2_branch_target(uint32_t pc, const uint8_t* code) {
    uint16_t w0 = half(code);
    uint32_t base = pc + 4;
    if (thumb2_insn_len(code) == 2) {
        if ((w0 & 0xF800) == 0xE000) return (base + 2 * (uint32_t)sign_extend(w0 & 0x7FF, 11)) & ~1u;
        if ((w0 & 0xF000) == 0xD000 && ((w0 >> 8) & 0xF) < 14)
            return (base + 2 * (uint32_t)sign_extend(w0 & 0xFF, 8)) & ~1u;
        if ((w0 & 0xF500) == 0xB100) return (base + (((w0 >> 3) & 0x1F) << 1) + ((w0 & 0x200) ? 64 : 0)) & ~1u;
        return 0;
    }
    uint16_t w1 = half(code + 2);
    if ((w0 & 0xF800) != 0xF000) return 0;
    uint32_t s = (w0 >> 10) & 1, j1 = (w1 >> 13) & 1, j2 = (w1 >> 11) & 1;
    uint32_t k = w1 & 0xD000;
    if (k == 0xD000 || k == 0xC000 || k == 0x9000) {
        uint32_t i1 = ~(j1 ^ s) & 1, i2 = ~(j2 ^ s) & 1;
        uint32_t off = (s << 24) | (i1 << 23) | (i2 << 22) | ((uint32_t)(w0 & 0x3FF) << 12) | ((uint32_t)(w1 & 0x7FF) << 1);
        return (base + (uint32_t)sign_extend(off, 25)) & ~1u;
    }
    if ((w1 & 0x9000) == 0x8000 && ((w0 >> 6) & 0xF) <= 13) {
        uint32_t off = (s << 20) | (j2 << 19) | (j1 << 18) | ((uint32_t)(w0 & 0x3F) << 12) | ((uint32_t)(w1 & 0x7FF) << 1);
        return (base + (uint32_t)sign_extend(off, 21)) & ~1u;
    }
    return 0;
}

uint32_t thumb2_classify(uint32_t pc, const uint8_t* code) {
    uint16_t w0 = half(code);
    if (thumb2_insn_len(code) == 4) {
        uint16_t w1 = half(code + 2);
        if (w0 == 0xF3AF && (w1 & 0xFF00) == 0x8000) {
            if ((w1 & 0xFF) == 3) return T2_CLASS_WFI;
            if ((w1 & 0xFF) == 2) return T2_CLASS_WFE;
            return T2_CLASS_NORMAL;
        }
        if (w0 == 0xF3BF && (w1 & 0xFF00) == 0x8F00) return T2_CLASS_BARRIER;
        if ((w0 & 0xF800) == 0xF000) {
            uint32_t k = w1 & 0xD000;
            if (k == 0xD000 || k == 0xC000) return T2_CLASS_BRANCH | T2_CLASS_CALL;
            if ((w1 & 0x9000) == 0x8000) return ((w0 >> 6) & 0xF) < 14 ? T2_CLASS_CBRANCH : T2_CLASS_BRANCH;
            if (k == 0x9000) {
                uint32_t t = thumb2_branch_target(pc, code);
                return (t != 0 && t == pc) ? (T2_CLASS_BRANCH | T2_CLASS_SELF_LOOP) : T2_CLASS_BRANCH;
            }
        }
        if (w0 == 0xE8BD && (w1 & 0x8000)) return T2_CLASS_RETURN;
        if ((w0 & 0xFFD0) == 0xE890 && (w1 & 0x8000)) return T2_CLASS_RETURN;
        return T2_CLASS_NORMAL;
    }
    if ((w0 >> 8) == 0xBE) return T2_CLASS_BKPT;
    if ((w0 >> 8) == 0xBF) {
        if (w0 & 0xF) return T2_CLASS_IT;
        uint32_t hint = (w0 >> 4) & 0xF;
        return hint == 3 ? T2_CLASS_WFI : hint == 2 ? T2_CLASS_WFE : T2_CLASS_NORMAL;
    }
    if ((w0 >> 8) == 0xDF) return T2_CLASS_SVCALL;
    if ((w0 & 0xFF07) == 0x4700) {
        if (w0 & 0x80) return T2_CLASS_BRANCH | T2_CLASS_CALL;
        return ((w0 >> 3) & 0xF) == 14 ? T2_CLASS_RETURN : T2_CLASS_BRANCH;
    }
    if ((w0 & 0xFE00) == 0xBC00 && (w0 & 0x100)) return T2_CLASS_RETURN;
    if ((w0 & 0xF800) == 0xE000)
        return thumb2_branch_target(pc, code) == pc ? (T2_CLASS_BRANCH | T2_CLASS_SELF_LOOP) : T2_CLASS_BRANCH;
    if ((w0 & 0xF500) == 0xB100) return T2_CLASS_CBRANCH;
    if ((w0 & 0xF000) == 0xD000 && ((w0 >> 8) & 0xF) < 14) return T2_CLASS_CBRANCH;
    return T2_CLASS_NORMAL;
}

int thumb2_it_block_len(uint32_t pc, const uint8_t* it_code, Thumb2MemReadFn mem_read, void* user) {
    uint32_t mask = half(it_code) & 0xF;
    int n = (mask & 1) ? 4 : (mask & 2) ? 3 : (mask & 4) ? 2 : (mask & 8) ? 1 : 0;
    int len = 2;
    for (int i = 0; i < n; ++i) {
        uint8_t b[4];
        if (mem_read && mem_read(pc + (uint32_t)len, b, 4, user)) len += thumb2_insn_len(b);
        else len += 2;
    }
    return len;
}

// --- one line of text -------------------------------------------------------------
// The full instruction decoder is a later addition; until then the line names
// what the classifier knows and shows the encoding of the rest.

static bool s_ready = false;

bool thumb2_init() {
    s_ready = true;
    return true;
}

void thumb2_fini() { s_ready = false; }

void thumb2_add_symbol(const char*, uint32_t) {}

static const char* const kCond[14] = {"eq", "ne", "cs", "cc", "mi", "pl", "vs", "vc", "hi", "ls", "ge", "lt", "gt", "le"};

const char* thumb2_disasm(uint32_t pc, const uint8_t* code, char* buf, size_t buf_len, int* insn_len, Thumb2SymbolFn sym_cb,
                          void* sym_user) {
    if (!buf || buf_len == 0) return "";
    buf[0] = 0;
    if (!s_ready) thumb2_init();
    int len = thumb2_insn_len(code);
    if (insn_len) *insn_len = len;
    if (buf_len == 1) return buf;
    uint16_t w0 = half(code), w1 = len == 4 ? half(code + 2) : 0;
    uint32_t cls = thumb2_classify(pc, code), target = thumb2_branch_target(pc, code);
    const char* sym = sym_cb ? sym_cb(target, sym_user) : nullptr;
    char tgt[160];
    if (sym && sym[0]) snprintf(tgt, sizeof tgt, "0x%08x <%s>", target, sym);
    else snprintf(tgt, sizeof tgt, "0x%08x", target);
    char text[200];
    if (cls & T2_CLASS_CALL) {
        if (len == 4) snprintf(text, sizeof text, "%s\t%s", (w1 & 0x1000) ? "bl" : "blx", tgt);
        else snprintf(text, sizeof text, "blx\tr%u", (w0 >> 3) & 0xF);
    } else if (cls & T2_CLASS_RETURN) {
        snprintf(text, sizeof text, "%s", (w0 & 0xFF07) == 0x4700 ? "bx\tlr" : "pop\t{..., pc}");
    } else if ((cls & T2_CLASS_CBRANCH) && (w0 & 0xF500) == 0xB100) {
        snprintf(text, sizeof text, "%s\tr%u, %s", (w0 & 0x800) ? "cbnz" : "cbz", w0 & 7, tgt);
    } else if ((cls & (T2_CLASS_BRANCH | T2_CLASS_CBRANCH)) && target) {
        uint32_t cond = len == 2 ? ((w0 & 0xF000) == 0xD000 ? (w0 >> 8) & 0xF : 14) : (w1 & 0x1000 ? 14 : (w0 >> 6) & 0xF);
        snprintf(text, sizeof text, "b%s%s\t%s", cond < 14 ? kCond[cond] : "", len == 4 ? ".w" : "", tgt);
    } else if ((cls & T2_CLASS_BRANCH) && (w0 & 0xFF07) == 0x4700) {
        snprintf(text, sizeof text, "bx\tr%u", (w0 >> 3) & 0xF);
    } else if (cls & T2_CLASS_IT) {
        snprintf(text, sizeof text, "it\t%s", kCond[((w0 >> 4) & 0xF) % 14]);
    } else if (cls & T2_CLASS_WFI) {
        snprintf(text, sizeof text, "wfi");
    } else if (cls & T2_CLASS_WFE) {
        snprintf(text, sizeof text, "wfe");
    } else if (cls & T2_CLASS_BKPT) {
        snprintf(text, sizeof text, "bkpt\t0x%02x", w0 & 0xFF);
    } else if (cls & T2_CLASS_SVCALL) {
        snprintf(text, sizeof text, "svc\t%u", w0 & 0xFF);
    } else if (cls & T2_CLASS_BARRIER) {
        uint32_t op = (w1 >> 4) & 0xF;
        snprintf(text, sizeof text, "%s", op == 4 ? "dsb" : op == 5 ? "dmb" : op == 6 ? "isb" : "barrier");
    } else if (len == 4) {
        snprintf(text, sizeof text, ".inst.w\t0x%04x%04x", w0, w1);
    } else {
        snprintf(text, sizeof text, ".inst.n\t0x%04x", w0);
    }
    snprintf(buf, buf_len, "%s", text[0] ? text : "undef");
    return buf;
}
