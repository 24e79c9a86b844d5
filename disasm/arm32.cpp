// ARM (A32) instructions, ARMv4T to ARMv7-A with the few later additions that
// objdump also decodes (acquire/release, CRC32, hlt): data processing,
// multiplies, loads and stores, media, block transfers, branches, SVC and the
// unconditional space. The text follows what arm-none-eabi-objdump prints.
#include <cstdio>

#include "disasm/disasm_decoders.h"

namespace {

const char* const dp_names[16] = {"and", "eor", "sub", "rsb", "add", "adc", "sbc", "rsc",
                                  "tst", "teq", "cmp", "cmn", "orr", "mov", "bic", "mvn"};
const char* const block_modes[4] = {"da", "ia", "db", "ib"};

inline uint32_t field(uint32_t w, int hi, int lo) { return (w >> lo) & ((2u << (hi - lo)) - 1); }
inline bool bit(uint32_t w, int n) { return ((w >> n) & 1) != 0; }
inline const char* reg(uint32_t r) { return register_name((int)(r & 15)); }

// The mnemonic: name, "s" when the instruction sets flags, the condition, padding.
void opcode(ARMSTATE* s, const char* name, bool sflag, int cond) {
    strlcpy_s(s->text, name, sizeof s->text);
    if (sflag) strlcat_s(s->text, "s", sizeof s->text);
    add_condition(s, cond);
    padinstr(s);
}

// An instruction without operands: no padding after the mnemonic.
void bare(ARMSTATE* s, const char* name, int cond) {
    strlcpy_s(s->text, name, sizeof s->text);
    add_condition(s, cond);
}

// ", <shift> #<n>" for a shifted register operand (nothing for LSL #0).
void append_imm_shift(ARMSTATE* s, int type, int amount) {
    char buf[24];
    decode_imm_shift(buf, sizeof buf, type, amount);
    if (buf[0]) text_appendf(s, ", %s", buf);
}

// The 12-bit modified immediate of data processing and MSR. objdump writes the
// value, except for an encoding that uses a larger rotation than the smallest
// one that reaches the same value: that one keeps its raw "#imm8, rot" form.
void append_mod_imm(ARMSTATE* s, uint32_t imm12) {
    uint32_t imm8 = imm12 & 0xFF, rot = 2 * ((imm12 >> 8) & 0xF);
    uint32_t value = rot ? (imm8 >> rot) | (imm8 << (32 - rot)) : imm8;
    uint32_t smallest = 0;
    while (smallest < rot) {
        uint32_t back = smallest ? (value << smallest) | (value >> (32 - smallest)) : value;
        if (back < 256) break;
        smallest += 2;
    }
    if (smallest != rot) {
        text_appendf(s, "#%u, %u", imm8, rot);
    } else {
        text_appendf(s, "#%d", (int32_t)value);
        append_comment_hex(s, value);
    }
}

// "CPSR_fsxc" style field mask for MSR (letters in objdump's order).
void append_psr_fields(ARMSTATE* s, bool spsr, uint32_t mask) {
    text_appendf(s, "%s_%s%s%s%s", spsr ? "SPSR" : "CPSR", (mask & 8) ? "f" : "", (mask & 4) ? "s" : "",
                 (mask & 2) ? "x" : "", (mask & 1) ? "c" : "");
}

// Banked register of the virtualization extensions' MRS/MSR, by R and SYSm.
const char* banked_register(bool r, uint32_t sysm) {
    static const char* const core[32] = {
        "R8_usr", "R9_usr", "R10_usr", "R11_usr", "R12_usr", "SP_usr", "LR_usr", nullptr,
        "R8_fiq", "R9_fiq", "R10_fiq", "R11_fiq", "R12_fiq", "SP_fiq", "LR_fiq", nullptr,
        "LR_irq", "SP_irq", "LR_svc", "SP_svc", "LR_abt", "SP_abt", "LR_und", "SP_und",
        nullptr,  nullptr,  nullptr,   nullptr,   "LR_mon",  "SP_mon", "ELR_hyp", "SP_hyp"};
    if (!r) return core[sysm & 31];
    switch (sysm & 31) {
        case 14: return "SPSR_fiq";
        case 16: return "SPSR_irq";
        case 18: return "SPSR_svc";
        case 20: return "SPSR_abt";
        case 22: return "SPSR_und";
        case 28: return "SPSR_mon";
        case 30: return "SPSR_hyp";
        default: return nullptr;
    }
}

// The status register operand of MRS/MSR (register form). A banked register
// is named by R and SYSm; what has no name shows objdump's "(UNDEF: n)" with
// R, the banked bit, M and M1 in one number.
void append_status_register(ARMSTATE* s, uint32_t w, bool msr) {
    bool r = bit(w, 22);
    uint32_t mask = field(w, 19, 16);
    uint32_t sysm = (field(w, 8, 8) << 4) | mask;
    uint32_t undef = (field(w, 22, 22) << 6) | (field(w, 9, 9) << 5) | sysm;
    if (bit(w, 9)) {
        const char* name = banked_register(r, sysm);
        if (name) text_appendf(s, "%s", name);
        else text_appendf(s, "(UNDEF: %u)", undef);
    } else if (msr) {
        append_psr_fields(s, r, mask);
    } else if (mask == 15 && !bit(w, 8)) {
        text_appendf(s, "%s", r ? "SPSR" : "CPSR");
    } else {
        text_appendf(s, "(UNDEF: %u)", undef);
    }
}

// Data processing with a shifted register operand: the shift is an immediate
// (regshift false) or a register (true). Moves print as the shift they are.
bool dataproc_register(ARMSTATE* s, uint32_t w, int cond, bool regshift) {
    uint32_t op = field(w, 24, 21), rn = field(w, 19, 16), rd = field(w, 15, 12), rm = field(w, 3, 0);
    uint32_t rs = field(w, 11, 8), type = field(w, 6, 5), amount = field(w, 11, 7);
    bool sflag = bit(w, 20);
    if (op == 13) {
        if (rn != 0) return false;  // objdump leaves a MOV with a non-zero Rn field undecoded
        if (regshift) {
            opcode(s, shift_type((int)type), sflag, cond);
            text_appendf(s, "%s, %s, %s", reg(rd), reg(rm), reg(rs));
        } else if (type == 0 && amount == 0) {
            if (w == 0xE1A00000) {
                strlcpy_s(s->text, "nop", sizeof s->text);
                append_comment(s, nullptr, "(mov r0, r0)");
                return true;
            }
            opcode(s, "mov", sflag, cond);
            text_appendf(s, "%s, %s", reg(rd), reg(rm));
        } else if (type == 3 && amount == 0) {
            opcode(s, "rrx", sflag, cond);
            text_appendf(s, "%s, %s", reg(rd), reg(rm));
        } else {
            if (amount == 0) amount = 32;  // LSR/ASR #0 encode a shift by 32
            opcode(s, shift_type((int)type), sflag, cond);
            text_appendf(s, "%s, %s, #%u", reg(rd), reg(rm), amount);
        }
        return true;
    }
    bool compare = op >= 8 && op <= 11;
    opcode(s, dp_names[op], sflag && !compare, cond);
    if (compare) text_appendf(s, "%s, %s", reg(rn), reg(rm));
    else if (op == 15) text_appendf(s, "%s, %s", reg(rd), reg(rm));
    else text_appendf(s, "%s, %s, %s", reg(rd), reg(rn), reg(rm));
    if (regshift) text_appendf(s, ", %s %s", shift_type((int)type), reg(rs));
    else append_imm_shift(s, (int)type, (int)amount);
    return true;
}

// Signed 16x16 multiplies (SMLA<x><y>, SMLAW<y>, SMULW<y>, SMLAL<x><y>, SMUL<x><y>).
bool halfword_multiply(ARMSTATE* s, uint32_t w, int cond) {
    uint32_t rd = field(w, 19, 16), ra = field(w, 15, 12), rm = field(w, 11, 8), rn = field(w, 3, 0);
    char x = bit(w, 5) ? 't' : 'b', y = bit(w, 6) ? 't' : 'b';
    char name[16];
    switch (field(w, 22, 21)) {
        case 0:
            snprintf(name, sizeof name, "smla%c%c", x, y);
            opcode(s, name, false, cond);
            text_appendf(s, "%s, %s, %s, %s", reg(rd), reg(rn), reg(rm), reg(ra));
            break;
        case 1:
            if (bit(w, 5) && ra != 0) return false;
            snprintf(name, sizeof name, bit(w, 5) ? "smulw%c" : "smlaw%c", y);
            opcode(s, name, false, cond);
            if (bit(w, 5)) text_appendf(s, "%s, %s, %s", reg(rd), reg(rn), reg(rm));
            else text_appendf(s, "%s, %s, %s, %s", reg(rd), reg(rn), reg(rm), reg(ra));
            break;
        case 2:
            snprintf(name, sizeof name, "smlal%c%c", x, y);
            opcode(s, name, false, cond);
            text_appendf(s, "%s, %s, %s, %s", reg(ra), reg(rd), reg(rn), reg(rm));
            break;
        default:
            if (ra != 0) return false;
            snprintf(name, sizeof name, "smul%c%c", x, y);
            opcode(s, name, false, cond);
            text_appendf(s, "%s, %s, %s", reg(rd), reg(rn), reg(rm));
            break;
    }
    return true;
}

// "[Rn, #-4]", "[Rn, #4]!", "[Rn], #4", "[Rn]" for an immediate offset. A
// zero offset that counts down keeps its "#-0".
void append_imm_address(ARMSTATE* s, uint32_t rn, bool p, bool u, bool wb, uint32_t imm) {
    const char* sign = u ? "" : "-";
    if (!p) text_appendf(s, "[%s], #%s%u", reg(rn), sign, imm);
    else if (imm == 0 && u && !wb) text_appendf(s, "[%s]", reg(rn));
    else text_appendf(s, "[%s, #%s%u]%s", reg(rn), sign, imm, wb ? "!" : "");
}

// "[Rn, -Rm, lsl #2]!", "[Rn], Rm" for a register offset.
void append_reg_address(ARMSTATE* s, uint32_t w, bool p, bool wb, bool shifted) {
    uint32_t rn = field(w, 19, 16), rm = field(w, 3, 0);
    char shift[24] = "";
    if (shifted) {
        char buf[20];
        decode_imm_shift(buf, sizeof buf, (int)field(w, 6, 5), (int)field(w, 11, 7));
        if (buf[0]) snprintf(shift, sizeof shift, ", %s", buf);
    }
    const char* sign = bit(w, 23) ? "" : "-";
    if (p) text_appendf(s, "[%s, %s%s%s]%s", reg(rn), sign, reg(rm), shift, wb ? "!" : "");
    else text_appendf(s, "[%s], %s%s%s", reg(rn), sign, reg(rm), shift);
}

// The address a PC-relative offset reaches (PC reads 8 ahead in ARM state).
uint32_t pc_relative(const ARMSTATE* s, bool u, uint32_t imm) { return s->address + 8 + (u ? imm : 0u - imm); }

void comment_address(ARMSTATE* s, uint32_t addr) {
    char buf[16];
    snprintf(buf, sizeof buf, "0x%08x", addr);
    append_comment(s, nullptr, buf);
}

// LDRH/STRH/LDRSB/LDRSH/LDRD/STRD and their unprivileged forms.
bool extra_loadstore(ARMSTATE* s, uint32_t w, int cond) {
    bool p = bit(w, 24), u = bit(w, 23), imm_form = bit(w, 22), wb = bit(w, 21), load = bit(w, 20);
    uint32_t rn = field(w, 19, 16), rt = field(w, 15, 12);
    static const char* const names[2][4] = {{nullptr, "strh", "ldrd", "strd"}, {nullptr, "ldrh", "ldrsb", "ldrsh"}};
    uint32_t op2 = field(w, 6, 5);
    const char* name = names[load ? 1 : 0][op2];
    bool dual = !load && op2 >= 2;
    bool unpriv = !p && wb;
    // objdump wants bits 11:8 clear only in the plain halfword and signed forms.
    if (!imm_form && !dual && !unpriv && field(w, 11, 8) != 0) return false;
    char mnem[16];
    snprintf(mnem, sizeof mnem, "%s%s", name, unpriv && !dual ? "t" : "");
    opcode(s, mnem, false, cond);
    // objdump names only the first register of a pair.
    text_appendf(s, "%s, ", reg(rt));
    // objdump drops the write-back of a PC-relative immediate form.
    bool wback = p && wb && (rn != 15 || !imm_form);
    if (imm_form) {
        uint32_t imm = (field(w, 11, 8) << 4) | field(w, 3, 0);
        append_imm_address(s, rn, p, u, wback, imm);
        if (rn == 15 && p && !wb) comment_address(s, pc_relative(s, u, imm));
        else if (imm) append_comment_hex(s, u ? imm : 0u - imm);
    } else {
        append_reg_address(s, w, p, wback, false);
    }
    return true;
}

// SWP/SWPB, the exclusives and the acquire/release loads and stores.
bool synchronization(ARMSTATE* s, uint32_t w, int cond) {
    uint32_t op = field(w, 23, 20), rn = field(w, 19, 16), rd = field(w, 15, 12), rt = field(w, 3, 0);
    uint32_t kind = field(w, 11, 8);
    if ((op & 0xB) == 0) {
        if (kind != 0) return false;
        opcode(s, bit(w, 22) ? "swpb" : "swp", false, cond);
        text_appendf(s, "%s, %s, [%s]", reg(rd), reg(rt), reg(rn));
        return true;
    }
    if (!(op & 8)) return false;
    bool load = bit(w, 20);
    static const char* const sizes[4] = {"", "d", "b", "h"};
    const char* sz = sizes[(op >> 1) & 3];
    char name[16];
    switch (kind) {
        case 15: snprintf(name, sizeof name, "%s%s", load ? "ldrex" : "strex", sz); break;
        case 14: snprintf(name, sizeof name, "%s%s", load ? "ldaex" : "stlex", sz); break;
        case 12:
            if (sz[0] == 'd') return false;
            snprintf(name, sizeof name, "%s%s", load ? "lda" : "stl", sz);
            break;
        default: return false;
    }
    if (load ? rt != 15 : kind == 12 && rd != 15) return false;
    opcode(s, name, false, cond);
    // objdump names both registers of a pair for the acquire/release forms only.
    bool pair = kind == 14 && sz[0] == 'd';
    if (!load && kind != 12) text_appendf(s, "%s, ", reg(rd));
    uint32_t first = load ? rd : rt;
    text_appendf(s, "%s, ", reg(first));
    if (pair) text_appendf(s, "%s, ", reg(first + 1));
    text_appendf(s, "[%s]", reg(rn));
    return true;
}

// Parallel add and subtract: prefix by bits 22:20, operation by bits 7:5.
bool parallel_addsub(ARMSTATE* s, uint32_t w, int cond) {
    static const char* const prefixes[8] = {nullptr, "s", "q", "sh", nullptr, "u", "uq", "uh"};
    static const char* const ops[8] = {"add16", "asx", "sax", "sub16", "add8", nullptr, nullptr, "sub8"};
    const char* pre = prefixes[field(w, 22, 20)];
    const char* op = ops[field(w, 7, 5)];
    if (!pre || !op || field(w, 11, 8) != 15) return false;
    char name[16];
    snprintf(name, sizeof name, "%s%s", pre, op);
    opcode(s, name, false, cond);
    text_appendf(s, "%s, %s, %s", reg(field(w, 15, 12)), reg(field(w, 19, 16)), reg(field(w, 3, 0)));
    return true;
}

// Sign and zero extends, with an accumulating register when Rn is not pc.
bool extend(ARMSTATE* s, uint32_t w, int cond, const char* base) {
    uint32_t rn = field(w, 19, 16), rd = field(w, 15, 12), rm = field(w, 3, 0), rot = field(w, 11, 10);
    if (field(w, 9, 8) != 0) return false;
    char name[16];
    // "sxtab16" from "sxt" + "a" + "b16".
    snprintf(name, sizeof name, "%.3s%s%s", base, rn == 15 ? "" : "a", base + 3);
    opcode(s, name, false, cond);
    if (rn == 15) text_appendf(s, "%s, %s", reg(rd), reg(rm));
    else text_appendf(s, "%s, %s, %s", reg(rd), reg(rn), reg(rm));
    if (rot) text_appendf(s, ", ror #%u", rot * 8);
    return true;
}

// Packing, unpacking, saturation and reversal (bits 24:23 = 01).
bool pack_saturate(ARMSTATE* s, uint32_t w, int cond) {
    uint32_t op1 = field(w, 22, 20), op2 = field(w, 7, 5);
    uint32_t rn = field(w, 19, 16), rd = field(w, 15, 12), rm = field(w, 3, 0), imm5 = field(w, 11, 7);
    if (op1 == 0 && (op2 & 1) == 0) {
        bool tb = bit(w, 6);
        opcode(s, tb ? "pkhtb" : "pkhbt", false, cond);
        text_appendf(s, "%s, %s, %s", reg(rd), reg(rn), reg(rm));
        if (tb) text_appendf(s, ", asr #%u", imm5 ? imm5 : 32);
        else if (imm5) text_appendf(s, ", lsl #%u", imm5);
        return true;
    }
    if ((op1 & 2) && (op2 & 1) == 0) {
        bool sat_unsigned = bit(w, 22);
        uint32_t sat = field(w, 20, 16) + (sat_unsigned ? 0 : 1);
        opcode(s, sat_unsigned ? "usat" : "ssat", false, cond);
        text_appendf(s, "%s, #%u, %s", reg(rd), sat, reg(rm));
        // objdump writes ASR #32 (encoded as 0) as "asr #0".
        if (bit(w, 6)) text_appendf(s, ", asr #%u", imm5);
        else if (imm5) text_appendf(s, ", lsl #%u", imm5);
        return true;
    }
    bool one_reg = field(w, 11, 8) == 15 && rn == 15;
    switch ((op1 << 3) | op2) {
        case 003: return extend(s, w, cond, "sxtb16");
        case 005:
            if (field(w, 11, 8) != 15) return false;
            opcode(s, "sel", false, cond);
            text_appendf(s, "%s, %s, %s", reg(rd), reg(rn), reg(rm));
            return true;
        case 021:
        case 061:
            if (field(w, 11, 8) != 15) return false;
            opcode(s, op1 == 2 ? "ssat16" : "usat16", false, cond);
            text_appendf(s, "%s, #%u, %s", reg(rd), field(w, 19, 16) + (op1 == 2 ? 1 : 0), reg(rm));
            return true;
        case 023: return extend(s, w, cond, "sxtb");
        case 031:
        case 035:
        case 071:
        case 075: {
            if (!one_reg) return false;
            const char* name = op1 == 3 ? (op2 == 1 ? "rev" : "rev16") : (op2 == 1 ? "rbit" : "revsh");
            opcode(s, name, false, cond);
            text_appendf(s, "%s, %s", reg(rd), reg(rm));
            return true;
        }
        case 033: return extend(s, w, cond, "sxth");
        case 043: return extend(s, w, cond, "uxtb16");
        case 063: return extend(s, w, cond, "uxtb");
        case 073: return extend(s, w, cond, "uxth");
        default: return false;
    }
}

// Signed multiplies with dual 16-bit products, most-significant-word
// multiplies, and the divides (bits 24:23 = 10).
bool signed_multiply(ARMSTATE* s, uint32_t w, int cond) {
    uint32_t op1 = field(w, 22, 20), op2 = field(w, 7, 5);
    uint32_t rd = field(w, 19, 16), ra = field(w, 15, 12), rm = field(w, 11, 8), rn = field(w, 3, 0);
    const char* x = bit(w, 5) ? "x" : "";
    char name[16];
    switch (op1) {
        case 0:
            if (op2 >= 4) return false;
            if (ra == 15) snprintf(name, sizeof name, "%s%s", op2 < 2 ? "smuad" : "smusd", x);
            else snprintf(name, sizeof name, "%s%s", op2 < 2 ? "smlad" : "smlsd", x);
            opcode(s, name, false, cond);
            if (ra == 15) text_appendf(s, "%s, %s, %s", reg(rd), reg(rn), reg(rm));
            else text_appendf(s, "%s, %s, %s, %s", reg(rd), reg(rn), reg(rm), reg(ra));
            return true;
        case 1:
        case 3:
            if (op2 != 0 || ra != 15) return false;
            opcode(s, op1 == 1 ? "sdiv" : "udiv", false, cond);
            text_appendf(s, "%s, %s, %s", reg(rd), reg(rn), reg(rm));
            return true;
        case 4:
            if (op2 >= 4) return false;
            snprintf(name, sizeof name, "%s%s", op2 < 2 ? "smlald" : "smlsld", x);
            opcode(s, name, false, cond);
            text_appendf(s, "%s, %s, %s, %s", reg(ra), reg(rd), reg(rn), reg(rm));
            return true;
        case 5: {
            const char* r = bit(w, 5) ? "r" : "";
            if (op2 < 2) {
                snprintf(name, sizeof name, "%s%s", ra == 15 ? "smmul" : "smmla", r);
            } else if (op2 >= 6) {
                snprintf(name, sizeof name, "smmls%s", r);
            } else {
                return false;
            }
            opcode(s, name, false, cond);
            if (ra == 15 && op2 < 2) text_appendf(s, "%s, %s, %s", reg(rd), reg(rn), reg(rm));
            else text_appendf(s, "%s, %s, %s, %s", reg(rd), reg(rn), reg(rm), reg(ra));
            return true;
        }
        default: return false;
    }
}

// BFC/BFI/SBFX/UBFX and USAD8/USADA8 (bits 24:23 = 11).
bool bitfield_misc(ARMSTATE* s, uint32_t w, int cond) {
    uint32_t op1 = field(w, 22, 20), op2 = field(w, 7, 5);
    uint32_t rd = field(w, 15, 12), rn = field(w, 3, 0), lsb = field(w, 11, 7), msb = field(w, 20, 16);
    if (op1 == 0 && op2 == 0) {
        uint32_t ra = rd;
        rd = field(w, 19, 16);
        uint32_t rm = field(w, 11, 8);
        opcode(s, ra == 15 ? "usad8" : "usada8", false, cond);
        if (ra == 15) text_appendf(s, "%s, %s, %s", reg(rd), reg(rn), reg(rm));
        else text_appendf(s, "%s, %s, %s, %s", reg(rd), reg(rn), reg(rm), reg(ra));
        return true;
    }
    if ((op1 & 6) == 2 && (op2 & 3) == 2) {
        opcode(s, "sbfx", false, cond);
        text_appendf(s, "%s, %s, #%u, #%u", reg(rd), reg(rn), lsb, msb + 1);
        return true;
    }
    if ((op1 & 6) == 6 && (op2 & 3) == 2) {
        opcode(s, "ubfx", false, cond);
        text_appendf(s, "%s, %s, #%u, #%u", reg(rd), reg(rn), lsb, msb + 1);
        return true;
    }
    if ((op1 & 6) == 4 && (op2 & 3) == 0) {
        opcode(s, rn == 15 ? "bfc" : "bfi", false, cond);
        text_appendf(s, "%s, ", reg(rd));
        if (rn != 15) text_appendf(s, "%s, ", reg(rn));
        // A field whose top lies below its bottom: objdump shows both ends.
        if (msb < lsb) text_appendf(s, "(invalid: %u:%u)", lsb, msb);
        else text_appendf(s, "#%u, #%u", lsb, msb - lsb + 1);
        return true;
    }
    if (op1 == 7 && op2 == 7) {
        if (cond != 14) return false;
        opcode(s, "udf", false, cond);
        uint32_t imm = (field(w, 19, 8) << 4) | field(w, 3, 0);
        text_appendf(s, "#%u", imm);
        append_comment_hex(s, imm);
        return true;
    }
    return false;
}

const char* barrier_option(uint32_t option) {
    static const char* const names[16] = {nullptr, "oshld", "oshst", "osh", nullptr, "nshld", "unst", "un",
                                          nullptr, "ishld", "ishst", "ish", nullptr, "ld",    "st",   "sy"};
    return names[option & 15];
}

// PLD/PLDW/PLI with an immediate or a register offset, and the barriers.
bool memory_hint(ARMSTATE* s, uint32_t w) {
    uint32_t op1 = field(w, 26, 20), rn = field(w, 19, 16);
    if (op1 == 0x57) {
        if (field(w, 19, 8) != 0xFF0) return false;
        uint32_t option = field(w, 3, 0);
        switch (field(w, 7, 4)) {
            case 1:
                if (option != 15) return false;
                bare(s, "clrex", 15);
                return true;
            case 4:
                // The speculation barriers share the DSB encoding.
                if (option == 0 || option == 4 || option == 12) {
                    bare(s, option == 0 ? "ssbb" : option == 4 ? "pssbb" : "dfb", 15);
                    return true;
                }
                /* fall through */
            case 5: {
                opcode(s, field(w, 7, 4) == 4 ? "dsb" : "dmb", false, 15);
                const char* name = barrier_option(option);
                if (name) text_appendf(s, "%s", name);
                else text_appendf(s, "#%u", option);
                return true;
            }
            case 6:
                opcode(s, "isb", false, 15);
                if (option == 15) text_appendf(s, "sy");
                else text_appendf(s, "#%u", option);
                return true;
            case 7:
                if (option != 0) return false;
                bare(s, "sb", 15);
                return true;
            default: return false;
        }
    }
    if (field(w, 15, 12) != 15) return false;
    bool u = bit(w, 23);
    const char* name;
    if ((op1 & 0x57) == 0x45) name = "pli";  // 100x101 / 110x101
    else if ((op1 & 0x53) == 0x51) name = bit(w, 22) ? "pld" : "pldw";
    else if ((op1 & 0x57) == 0x41) name = "pldw";  // unallocated hints objdump shows post-indexed
    else return false;
    opcode(s, name, false, 15);
    if ((op1 & 0x57) == 0x41) {
        if (!bit(w, 25)) {
            text_appendf(s, "[%s], #%s%u", reg(rn), u ? "" : "-", field(w, 11, 0));
        } else if (!bit(w, 4)) {
            append_reg_address(s, w, false, false, true);
        } else {
            text_appendf(s, "[%s], %s%s", reg(rn), u ? "" : "-", reg(field(w, 3, 0)));
            if (!bit(w, 7)) text_appendf(s, ", %s %s", shift_type((int)field(w, 6, 5)), reg(field(w, 11, 8)));
        }
        return true;
    }
    if (!bit(w, 25)) {
        uint32_t imm = field(w, 11, 0);
        if (imm == 0 && u) text_appendf(s, "[%s]", reg(rn));
        else text_appendf(s, "[%s, #%s%u]", reg(rn), u ? "" : "-", imm);
        if (rn == 15) comment_address(s, pc_relative(s, u, imm));
        else if (imm) append_comment_hex(s, imm);
    } else if (!bit(w, 4)) {
        append_reg_address(s, w, true, false, true);
    } else {
        // A register-shifted offset, which objdump still shows.
        text_appendf(s, "[%s, %s%s", reg(rn), u ? "" : "-", reg(field(w, 3, 0)));
        if (!bit(w, 7)) text_appendf(s, ", %s %s", shift_type((int)field(w, 6, 5)), reg(field(w, 11, 8)));
        text_appendf(s, "]");
    }
    return true;
}

// The miscellaneous instructions in the compare opcodes without S (bit 4
// either way): status registers, branch and exchange, CLZ,
// saturating adds, CRC32, breakpoints and calls to higher levels.
bool misc_instruction(ARMSTATE* s, uint32_t w, int cond) {
    uint32_t op = field(w, 22, 21), op2 = field(w, 6, 4);
    uint32_t rn = field(w, 19, 16), rd = field(w, 15, 12), rm = field(w, 3, 0);
    bool regshift = bit(w, 4);
    if (bit(w, 7)) {
        if (halfword_multiply(s, w, cond)) return true;
        op2 = 8;  // only the generic forms below
    }
    switch (op2) {
        case 1:
        case 3:
            if (op == 1 && field(w, 19, 8) == 0xFFF) {
                opcode(s, op2 == 1 ? "bx" : "blx", false, cond);
                text_appendf(s, "%s", reg(rm));
                return true;
            }
            if (op == 3 && op2 == 1 && rn == 15 && field(w, 11, 8) == 15) {
                opcode(s, "clz", false, cond);
                text_appendf(s, "%s, %s", reg(rd), reg(rm));
                return true;
            }
            break;
        case 2:
            if (op == 1 && field(w, 19, 8) == 0xFFF) {
                opcode(s, "bxj", false, cond);
                text_appendf(s, "%s", reg(rm));
                return true;
            }
            break;
        case 4:
            if (op == 3 || cond != 14 || field(w, 11, 10) != 0 || bit(w, 8)) break;
            {
                char name[16];
                snprintf(name, sizeof name, "crc32%s%s", bit(w, 9) ? "c" : "", op == 0 ? "b" : op == 1 ? "h" : "w");
                opcode(s, name, false, cond);
                text_appendf(s, "%s, %s, %s", reg(rd), reg(rn), reg(rm));
            }
            return true;
        case 5: {
            if (field(w, 11, 8) != 0) break;
            static const char* const names[4] = {"qadd", "qsub", "qdadd", "qdsub"};
            opcode(s, names[op], false, cond);
            text_appendf(s, "%s, %s, %s", reg(rd), reg(rm), reg(rn));
            return true;
        }
        case 6:
            if (w != ((uint32_t)cond << 28 | 0x0160006E)) break;
            bare(s, "eret", cond);
            return true;
        case 7: {
            uint32_t imm16 = (field(w, 19, 8) << 4) | rm;
            if ((op == 0 || op == 1) && cond != 14) break;
            static const char* const names[4] = {"hlt", "bkpt", "hvc", "smc"};
            opcode(s, names[op], false, cond);
            if (op < 2) {
                text_appendf(s, "0x%04x", imm16);
            } else {
                text_appendf(s, "%u", imm16);
                append_comment_hex(s, imm16);
            }
            return true;
        }
        default: break;
    }
    if (op2 == 0 && !bit(w, 21) && field(w, 11, 10) == 0 && rm == 0) {
        opcode(s, "mrs", false, cond);
        text_appendf(s, "%s, ", reg(rd));
        append_status_register(s, w, false);
        return true;
    }
    if (bit(w, 21) && rd == 15) {
        opcode(s, "msr", false, cond);
        append_status_register(s, w, true);
        text_appendf(s, ", %s", reg(rm));
        if (bit(w, 9)) return true;
        if (regshift) text_appendf(s, ", %s %s", shift_type((int)field(w, 6, 5)), reg(field(w, 11, 8)));
        else append_imm_shift(s, (int)field(w, 6, 5), (int)field(w, 11, 7));
        return true;
    }
    // objdump shows what is left as the compare it would be with S set; TEQ excepted.
    if (op == 1) return false;
    return dataproc_register(s, w | (1u << 20), cond, regshift);
}

}  // namespace

bool arm_unconditional(ARMSTATE* s, uint32_t w) {
    s->size = 4;
    uint32_t op1 = field(w, 27, 20);
    if (op1 == 0x10) {
        if (field(w, 15, 10) != 0) return false;
        if (bit(w, 16)) {
            // SETEND: objdump looks at the E bit only, below bit 10.
            if (field(w, 19, 17) != 0) return false;
            opcode(s, "setend", false, 15);
            text_appendf(s, "%s", bit(w, 9) ? "be" : "le");
            return true;
        }
        if (bit(w, 5) || bit(w, 9)) return false;
        uint32_t imod = field(w, 19, 18), mode = field(w, 4, 0);
        bool m = bit(w, 17);
        // objdump's reading: interrupt flags with a mode, flags alone when the
        // mode field is clear, and any other combination as a bare mode change.
        if (imod >= 2 && (m || mode == 0)) {
            opcode(s, imod == 2 ? "cpsie" : "cpsid", false, 15);
            text_appendf(s, "%s%s%s", bit(w, 8) ? "a" : "", bit(w, 7) ? "i" : "", bit(w, 6) ? "f" : "");
            if (m) text_appendf(s, ",#%u", mode);
            return true;
        }
        opcode(s, "cps", false, 15);
        text_appendf(s, "#%u", mode);
        return true;
    }
    if ((op1 & 0xE0) == 0x40 || (op1 & 0xE0) == 0x60) {
        if ((op1 & 0xF1) == 0x40) return false;  // Advanced SIMD element loads/stores
        return memory_hint(s, w);
    }
    if ((op1 & 0xE5) == 0x84 && field(w, 19, 5) == 0x6828) {
        // SRS: the stack of the given mode, sp always.
        char name[8];
        snprintf(name, sizeof name, "srs%s", block_modes[field(w, 24, 23)]);
        opcode(s, name, false, 15);
        text_appendf(s, "sp%s, #%u", bit(w, 21) ? "!" : "", field(w, 4, 0));
        return true;
    }
    if ((op1 & 0xE5) == 0x81 && field(w, 15, 0) == 0x0A00) {
        char name[8];
        snprintf(name, sizeof name, "rfe%s", block_modes[field(w, 24, 23)]);
        opcode(s, name, false, 15);
        text_appendf(s, "%s%s", reg(field(w, 19, 16)), bit(w, 21) ? "!" : "");
        return true;
    }
    if ((op1 & 0xE0) == 0xA0) {
        // BLX to Thumb code: the H bit adds the halfword.
        int32_t offset = (int32_t)(field(w, 23, 0) << 8) >> 6;
        uint32_t target = s->address + 8 + (uint32_t)offset + (bit(w, 24) ? 2u : 0u);
        opcode(s, "blx", false, 15);
        add_branch_target(s, target, true);
        return true;
    }
    return false;
}

bool arm_dataproc_imsh(ARMSTATE* s, uint32_t w) {
    int cond = (int)field(w, 31, 28);
    if (cond == 15) return false;
    s->size = 4;
    if ((field(w, 24, 21) & 0xC) != 0x8 || bit(w, 20)) return dataproc_register(s, w, cond, false);
    return misc_instruction(s, w, cond);
}

bool arm_dataproc_rxsh(ARMSTATE* s, uint32_t w) {
    int cond = (int)field(w, 31, 28);
    if (cond == 15) return false;
    s->size = 4;
    if ((field(w, 24, 21) & 0xC) != 0x8 || bit(w, 20)) return dataproc_register(s, w, cond, true);
    return misc_instruction(s, w, cond);
}

bool arm_mult_loadstor(ARMSTATE* s, uint32_t w) {
    int cond = (int)field(w, 31, 28);
    if (cond == 15) return false;
    s->size = 4;
    if (field(w, 6, 5) != 0 ? extra_loadstore(s, w, cond) : bit(w, 24) && synchronization(s, w, cond)) return true;
    if (field(w, 6, 5) != 0 || bit(w, 24)) {
        // objdump still reads a banked MSR here, whatever bits 7:4 hold.
        if (field(w, 24, 20) != 0x12 && field(w, 24, 20) != 0x16) return false;
        if (field(w, 15, 12) != 15 || !bit(w, 9)) return false;
        opcode(s, "msr", false, cond);
        append_status_register(s, w, true);
        text_appendf(s, ", %s", reg(field(w, 3, 0)));
        return true;
    }
    uint32_t op = field(w, 23, 21);
    bool sflag = bit(w, 20);
    uint32_t hi = field(w, 19, 16), lo = field(w, 15, 12), rm = field(w, 11, 8), rn = field(w, 3, 0);
    switch (op) {
        case 0:
            opcode(s, "mul", sflag, cond);
            text_appendf(s, "%s, %s, %s", reg(hi), reg(rn), reg(rm));
            return true;
        case 1:
        case 3:
            if (op == 3 && sflag) return false;
            opcode(s, op == 1 ? "mla" : "mls", sflag, cond);
            text_appendf(s, "%s, %s, %s, %s", reg(hi), reg(rn), reg(rm), reg(lo));
            return true;
        case 2:
            if (sflag) return false;
            opcode(s, "umaal", false, cond);
            text_appendf(s, "%s, %s, %s, %s", reg(lo), reg(hi), reg(rn), reg(rm));
            return true;
        default: {
            static const char* const names[4] = {"umull", "umlal", "smull", "smlal"};
            opcode(s, names[op & 3], sflag, cond);
            text_appendf(s, "%s, %s, %s, %s", reg(lo), reg(hi), reg(rn), reg(rm));
            return true;
        }
    }
}

bool arm_dataproc_imm(ARMSTATE* s, uint32_t w) {
    int cond = (int)field(w, 31, 28);
    if (cond == 15) return false;
    s->size = 4;
    uint32_t op = field(w, 24, 21), rn = field(w, 19, 16), rd = field(w, 15, 12);
    bool sflag = bit(w, 20);
    if ((op & 0xC) == 0x8 && !sflag) {
        if (op == 8 || op == 10) {
            uint32_t imm16 = (rn << 12) | field(w, 11, 0);
            opcode(s, op == 8 ? "movw" : "movt", false, cond);
            text_appendf(s, "%s, #%u", reg(rd), imm16);
            append_comment_hex(s, imm16);
            return true;
        }
        if (op == 9 && rn == 0 && field(w, 11, 8) == 0) {
            // The hints live in MSR's encoding with an empty field mask.
            uint32_t hint = field(w, 7, 0);
            if (rd != 15 && hint != 0) return false;
            static const char* const hints[6] = {nullptr, "yield", "wfe", "wfi", "sev", "sevl"};
            if (hint >= 1 && hint <= 5) {
                bare(s, hints[hint], cond);
            } else if ((hint == 0x10 || hint == 0x14)) {
                bare(s, hint == 0x10 ? "esb" : "csdb", cond);
            } else if ((hint & 0xF0) == 0xF0) {
                opcode(s, "dbg", false, cond);
                text_appendf(s, "#%u", hint & 15);
            } else {
                opcode(s, "nop", false, cond);
                text_appendf(s, "{%u}", hint);
                append_comment_hex(s, hint);
            }
            return true;
        }
        if (rd == 15) {
            opcode(s, "msr", false, cond);
            append_psr_fields(s, bit(w, 22), rn);
            text_appendf(s, ", ");
            append_mod_imm(s, field(w, 11, 0));
            return true;
        }
        // objdump reads the SPSR form with a wrong Rd field as CMN, the CPSR one not at all.
        if (op != 11) return false;
    }
    bool compare = op >= 8 && op <= 11;
    if (op == 13 && rn != 0) return false;
    opcode(s, dp_names[op], sflag && !compare, cond);
    if (compare) text_appendf(s, "%s, ", reg(rn));
    else if (op == 13 || op == 15) text_appendf(s, "%s, ", reg(rd));
    else text_appendf(s, "%s, %s, ", reg(rd), reg(rn));
    append_mod_imm(s, field(w, 11, 0));
    return true;
}

bool arm_loadstor_imm(ARMSTATE* s, uint32_t w) {
    int cond = (int)field(w, 31, 28);
    if (cond == 15) return false;
    s->size = 4;
    bool p = bit(w, 24), u = bit(w, 23), byte = bit(w, 22), wb = bit(w, 21), load = bit(w, 20);
    uint32_t rn = field(w, 19, 16), rt = field(w, 15, 12), imm = field(w, 11, 0);
    // A single register pushed or popped: objdump prefers the stack form.
    if (rn == 13 && !byte && imm == 4) {
        if (load && !p && u && !wb) {
            opcode(s, "pop", false, cond);
            text_appendf(s, "{%s}", reg(rt));
            return true;
        }
        if (!load && p && !u && wb) {
            opcode(s, "push", false, cond);
            text_appendf(s, "{%s}", reg(rt));
            return true;
        }
    }
    char name[8];
    snprintf(name, sizeof name, "%s%s%s", load ? "ldr" : "str", byte ? "b" : "", !p && wb ? "t" : "");
    opcode(s, name, false, cond);
    text_appendf(s, "%s, ", reg(rt));
    append_imm_address(s, rn, p, u, p && wb, imm);
    if (rn == 15 && p && !wb) {
        uint32_t addr = pc_relative(s, u, imm);
        if (load && !byte) mark_literal(s, addr);
        else comment_address(s, addr);
    } else if (imm) {
        append_comment_hex(s, imm);
    }
    return true;
}

bool arm_loadstor_reg(ARMSTATE* s, uint32_t w) {
    int cond = (int)field(w, 31, 28);
    if (cond == 15) return false;
    s->size = 4;
    bool p = bit(w, 24), byte = bit(w, 22), wb = bit(w, 21), load = bit(w, 20);
    char name[8];
    snprintf(name, sizeof name, "%s%s%s", load ? "ldr" : "str", byte ? "b" : "", !p && wb ? "t" : "");
    opcode(s, name, false, cond);
    text_appendf(s, "%s, ", reg(field(w, 15, 12)));
    append_reg_address(s, w, p, p && wb, true);
    return true;
}

bool arm_media(ARMSTATE* s, uint32_t w) {
    int cond = (int)field(w, 31, 28);
    if (cond == 15) return false;
    s->size = 4;
    switch (field(w, 24, 23)) {
        case 0: return parallel_addsub(s, w, cond);
        case 1: return pack_saturate(s, w, cond);
        case 2: return signed_multiply(s, w, cond);
        default: return bitfield_misc(s, w, cond);
    }
}

bool arm_loadstor_mult(ARMSTATE* s, uint32_t w) {
    int cond = (int)field(w, 31, 28);
    if (cond == 15) return false;
    s->size = 4;
    uint32_t mode = field(w, 24, 23), rn = field(w, 19, 16), list = field(w, 15, 0);
    bool user = bit(w, 22), wb = bit(w, 21), load = bit(w, 20);
    int count = 0;
    for (uint32_t m = list; m; m &= m - 1) ++count;
    char regs[96] = "";
    add_reglist(regs, sizeof regs, list);
    if (rn == 13 && wb && !user && ((load && mode == 1) || (!load && mode == 2))) {
        // Push and pop take two or more registers; one register keeps the
        // full-descending name of the block transfer.
        if (count == 1) {
            opcode(s, load ? "ldmfd" : "stmfd", false, cond);
            text_appendf(s, "sp!, %s", regs);
        } else {
            opcode(s, load ? "pop" : "push", false, cond);
            text_appendf(s, "%s", regs);
        }
        return true;
    }
    char name[8];
    // objdump leaves the default "ia" off, except for a store with write-back.
    snprintf(name, sizeof name, "%s%s", load ? "ldm" : "stm", mode != 1 || (!load && (wb || user)) ? block_modes[mode] : "");
    opcode(s, name, false, cond);
    text_appendf(s, "%s%s, %s%s", reg(rn), wb ? "!" : "", regs, user ? "^" : "");
    return true;
}

bool arm_branch(ARMSTATE* s, uint32_t w) {
    int cond = (int)field(w, 31, 28);
    if (cond == 15) return false;
    s->size = 4;
    int32_t offset = (int32_t)(field(w, 23, 0) << 8) >> 6;
    uint32_t target = s->address + 8 + (uint32_t)offset;
    opcode(s, bit(w, 24) ? "bl" : "b", false, cond);
    add_branch_target(s, target, true);
    return true;
}

bool arm_softintr(ARMSTATE* s, uint32_t w) {
    int cond = (int)field(w, 31, 28);
    if (cond == 15) return false;
    s->size = 4;
    opcode(s, "svc", false, cond);
    text_appendf(s, "0x%08x", field(w, 23, 0));
    return true;
}
