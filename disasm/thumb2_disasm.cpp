#include "disasm/thumb2_disasm.h"

#include "disasm/arm_disasm.h"

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
// One shared decoder state: symbols and code markers accumulate across calls,
// and the IT state carries over when the caller walks a block in order.

static ARMSTATE g_state;
static bool g_ready = false;

bool thumb2_init() {
    if (!g_ready) {
        disasm_init(&g_state, DISASM_ADD_CMT);
        g_ready = true;
    }
    return true;
}

void thumb2_fini() {
    if (!g_ready) return;
    disasm_cleanup(&g_state);
    g_ready = false;
}

void thumb2_add_symbol(const char* name, uint32_t addr) {
    if (g_ready) disasm_symbol(&g_state, name, addr & ~1u, 2);
}

void thumb2_add_label(const char* name, uint32_t addr) {
    if (g_ready) disasm_symbol(&g_state, name, addr, 0);
}

void thumb2_add_mapping(char kind, uint32_t addr) {
    const char name[3] = {'$', kind, 0};
    if (g_ready && (kind == 'a' || kind == 't' || kind == 'd')) disasm_symbol(&g_state, name, addr & ~1u, 0);
}

uint32_t thumb2_literal_addr() { return g_ready ? g_state.ldr_addr : 0xFFFFFFFFu; }

const char* thumb2_disasm(uint32_t pc, const uint8_t* code, char* buf, size_t buf_len, int* insn_len, Thumb2SymbolFn sym_cb,
                          void* sym_user) {
    if (!buf || buf_len == 0) return "";
    buf[0] = 0;
    thumb2_init();
    if (sym_cb) {
        const char* name = sym_cb(pc, sym_user);
        if (name && name[0]) disasm_symbol(&g_state, name, pc, 2);
    }
    // Keep the IT state when the caller walks on from the last instruction.
    bool in_order = g_state.address + g_state.size == pc;
    uint16_t it_mask = g_state.it_mask, it_cond = g_state.it_cond;
    disasm_address(&g_state, pc);
    if (!in_order) it_mask = 0;
    g_state.it_mask = it_mask;
    g_state.it_cond = it_cond;
    disasm_thumb(&g_state, half(code), half(code + 2));
    int size = 0;
    const char* text = disasm_result(&g_state, &size);
    if (insn_len) *insn_len = size ? size : thumb2_insn_len(code);
    snprintf(buf, buf_len, "%s", text[0] ? text : "undef");
    return buf;
}
