// ARM (A32) instructions, ARMv4T to ARMv7-A with the later additions that
// objdump also decodes (acquire/release, CRC32, hlt, SETPAN, the barriers of
// Armv8): data processing, multiplies, loads and stores, media, block
// transfers, branches, SVC, the unconditional space and Advanced SIMD. The
// text follows what arm-none-eabi-objdump prints, and where objdump reads an
// encoding the architecture leaves unallocated, this follows objdump too.
#include <cstdio>
#include <cstring>

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

// The status register operand of MRS/MSR (register form): CPSR/SPSR, with the
// field letters for MSR, or a banked register named by R and SYSm. False for
// a combination that names no register (objdump's "(UNDEF: n)").
bool append_status_register(ARMSTATE* s, uint32_t w, bool msr) {
    bool r = bit(w, 22);
    uint32_t mask = field(w, 19, 16);
    if (bit(w, 9)) {
        const char* name = banked_register(r, (field(w, 8, 8) << 4) | mask);
        if (!name) return false;
        text_appendf(s, "%s", name);
    } else if (msr) {
        append_psr_fields(s, r, mask);
    } else if (mask == 15 && !bit(w, 8)) {
        text_appendf(s, "%s", r ? "SPSR" : "CPSR");
    } else {
        return false;
    }
    return true;
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
            if (bit(w, 7)) return false;
            text_appendf(s, "[%s], %s%s, %s %s", reg(rn), u ? "" : "-", reg(field(w, 3, 0)), shift_type((int)field(w, 6, 5)),
                         reg(field(w, 11, 8)));
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
        // A register-shifted offset, which objdump still shows (bit 7 set is no shift at all).
        if (bit(w, 7)) return false;
        text_appendf(s, "[%s, %s%s, %s %s]", reg(rn), u ? "" : "-", reg(field(w, 3, 0)), shift_type((int)field(w, 6, 5)),
                     reg(field(w, 11, 8)));
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
        return append_status_register(s, w, false);
    }
    if (bit(w, 21) && rd == 15) {
        opcode(s, "msr", false, cond);
        if (!append_status_register(s, w, true)) return false;
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

// --- Advanced SIMD ----------------------------------------------------------------------

inline uint32_t neon_vd(uint32_t w) { return (field(w, 22, 22) << 4) | field(w, 15, 12); }
inline uint32_t neon_vn(uint32_t w) { return (field(w, 7, 7) << 4) | field(w, 19, 16); }
inline uint32_t neon_vm(uint32_t w) { return (field(w, 5, 5) << 4) | field(w, 3, 0); }

// "d5" or "q2"; a Q register must be even-numbered in the D numbering.
bool neon_reg(char* out, size_t size, bool q, uint32_t r) {
    if (q && (r & 1)) return false;
    snprintf(out, size, q ? "q%u" : "d%u", q ? r >> 1 : r);
    return true;
}

// "name.type" padded, then "Vd, Vn, Vm" with the register kinds given (q: Q
// register, else D); a null register is left out.
bool neon_three(ARMSTATE* s, const char* name, const char* type, uint32_t size, bool qd, uint32_t d, bool qn,
                const uint32_t* n, bool qm, const uint32_t* m) {
    char rd[8], rn[8] = "", rm[8] = "";
    if (!neon_reg(rd, sizeof rd, qd, d)) return false;
    if (n && !neon_reg(rn, sizeof rn, qn, *n)) return false;
    if (m && !neon_reg(rm, sizeof rm, qm, *m)) return false;
    char mnem[24];
    if (type) snprintf(mnem, sizeof mnem, "%s.%s%u", name, type, size);
    else snprintf(mnem, sizeof mnem, "%s", name);
    opcode(s, mnem, false, 15);
    text_appendf(s, "%s", rd);
    if (n) text_appendf(s, ", %s", rn);
    if (m) text_appendf(s, ", %s", rm);
    return true;
}

// Three registers of the same length.
bool neon_three_same(ARMSTATE* s, uint32_t w) {
    uint32_t a = field(w, 11, 8), size = field(w, 21, 20);
    bool b = bit(w, 4), u = bit(w, 24), q = bit(w, 6), op = bit(w, 21);
    uint32_t d = neon_vd(w), n = neon_vn(w), m = neon_vm(w);
    const char* su = u ? "u" : "s";
    uint32_t bits = 8u << size;
    bool wide = size == 3;  // 64-bit elements, legal only for some
    const char* name = nullptr;
    const char* type = nullptr;
    bool swap = false;  // the shifts by register take Vm before Vn
    switch (a) {
        case 0:
        case 2:
            name = a == 0 ? (b ? "vqadd" : "vhadd") : (b ? "vqsub" : "vhsub");
            type = su;
            if (wide && !b) return false;
            break;
        case 1:
            if (b) {
                static const char* const logic[2][4] = {{"vand", "vbic", "vorr", "vorn"}, {"veor", "vbsl", "vbit", "vbif"}};
                return neon_three(s, logic[u][size], nullptr, 0, q, d, q, &n, q, &m);
            }
            name = "vrhadd";
            type = su;
            if (wide) return false;
            break;
        case 4:
        case 5:
            name = a == 4 ? (b ? "vqshl" : "vshl") : (b ? "vqrshl" : "vrshl");
            type = su;
            swap = true;
            break;
        case 3:
        case 6:
        case 7:
        case 10: {
            static const char* const pairs[11][2] = {{}, {}, {}, {"vcgt", "vcge"}, {}, {}, {"vmax", "vmin"}, {"vabd", "vaba"},
                                                     {}, {}, {"vpmax", "vpmin"}};
            name = pairs[a][b];
            type = su;
            if (wide) return false;
            break;
        }
        case 8:
            if (wide && b) return false;
            name = b ? (u ? "vceq" : "vtst") : (u ? "vsub" : "vadd");
            type = b && !u ? "" : "i";  // objdump writes "vtst.8"
            break;
        case 9:
            if (wide) return false;
            name = b ? "vmul" : u ? "vmls" : "vmla";
            type = b && u ? "p" : "i";
            break;
        case 11:
            name = b && !u ? "vpadd" : b ? "vqrdmlah" : u ? "vqrdmulh" : "vqdmulh";
            type = b && !u ? "i" : "s";
            if (wide || (type[0] == 's' && size == 0)) return false;
            break;
        case 12:
            if (!b) {
                // The SHA-1 and SHA-256 steps, Q registers only.
                static const char* const sha[2][4] = {{"sha1c", "sha1p", "sha1m", "sha1su0"},
                                                      {"sha256h", "sha256h2", "sha256su1", nullptr}};
                if (!q || !sha[u][size]) return false;
                return neon_three(s, sha[u][size], "", 32, true, d, true, &n, true, &m);
            }
            if (u) {
                if (wide || size == 0) return false;
                name = "vqrdmlsh";
                type = "s";
                break;
            }
            name = op ? "vfms" : "vfma";
            break;
        case 13:
            if (b && u && op) return false;
            if (!b) name = u ? (op ? "vabd" : "vpadd") : (op ? "vsub" : "vadd");
            else name = u ? "vmul" : op ? "vmls" : "vmla";
            break;
        case 14:
            if (b ? !u : !u && op) return false;
            if (!b) name = u ? (op ? "vcgt" : "vcge") : "vceq";
            else name = op ? "vacgt" : "vacge";
            break;
        default:
            if (!b) name = u ? (op ? "vpmin" : "vpmax") : (op ? "vmin" : "vmax");
            else name = u ? (op ? "vminnm" : "vmaxnm") : (op ? "vrsqrts" : "vrecps");
            break;
    }
    if (!type) {
        // The floating-point rows: bit 20 picks half precision.
        type = "f";
        bits = bit(w, 20) ? 16 : 32;
    }
    if (swap) return neon_three(s, name, type, bits, q, d, q, &m, q, &n);
    return neon_three(s, name, type, bits, q, d, q, &n, q, &m);
}

// One register and a modified immediate (VMOV, VMVN, VORR, VBIC).
bool neon_immediate(ARMSTATE* s, uint32_t w) {
    uint32_t imm8 = (field(w, 24, 24) << 7) | (field(w, 18, 16) << 4) | field(w, 3, 0);
    uint32_t cmode = field(w, 11, 8);
    bool op = bit(w, 5), q = bit(w, 6);
    char rd[8];
    if (!neon_reg(rd, sizeof rd, q, neon_vd(w))) return false;
    const char* name;
    char value[32];
    if (cmode < 8 || (cmode >= 12 && cmode < 14)) {
        uint32_t v = cmode < 8 ? imm8 << (8 * (cmode >> 1)) : cmode == 12 ? (imm8 << 8) | 0xFF : (imm8 << 16) | 0xFFFF;
        name = cmode >= 12 ? (op ? "vmvn.i32" : "vmov.i32") : (cmode & 1) ? (op ? "vbic.i32" : "vorr.i32") : (op ? "vmvn.i32" : "vmov.i32");
        snprintf(value, sizeof value, "#%d", (int32_t)v);
    } else if (cmode < 12) {
        uint32_t v = imm8 << (8 * ((cmode >> 1) & 1));
        name = (cmode & 1) ? (op ? "vbic.i16" : "vorr.i16") : (op ? "vmvn.i16" : "vmov.i16");
        snprintf(value, sizeof value, "#%u", v);
    } else if (cmode == 14) {
        if (!op) {
            name = "vmov.i8";
            snprintf(value, sizeof value, "#%u", imm8);
        } else {
            // Each bit of imm8 stands for a byte of ones.
            uint64_t v = 0;
            for (int i = 0; i < 8; ++i)
                if (imm8 & (1u << i)) v |= 0xFFull << (8 * i);
            name = "vmov.i64";
            snprintf(value, sizeof value, "#0x%016llx", (unsigned long long)v);
        }
    } else {
        if (op) return false;
        // VFPExpandImm: sign, exponent of three bits with the inverted top, four bits of fraction.
        uint32_t bits = ((imm8 & 0x80) << 24) | ((imm8 & 0x40) ? 0x3E000000u : 0x40000000u) | ((imm8 & 0x3F) << 19);
        float f;
        memcpy(&f, &bits, sizeof f);
        name = "vmov.f32";
        snprintf(value, sizeof value, "#%.7g", (double)f);
    }
    opcode(s, name, false, 15);
    text_appendf(s, "%s, %s", rd, value);
    return true;
}

// Two registers and a shift amount: shifts, narrowing and widening shifts and
// the fixed-point conversions.
bool neon_shift(ARMSTATE* s, uint32_t w) {
    uint32_t imm6 = field(w, 21, 16), a = field(w, 11, 8);
    bool l = bit(w, 7), u = bit(w, 24), q = bit(w, 6);
    uint32_t esize = l ? 64 : imm6 >= 32 ? 32 : imm6 >= 16 ? 16 : 8;
    uint32_t right = (l ? 64 : 2 * esize) - imm6, left = l ? imm6 : imm6 - esize;
    uint32_t d = neon_vd(w), m = neon_vm(w);
    const char* su = u ? "u" : "s";
    char rd[8], rm[8], name[24];
    if (a >= 8 && l) return false;
    if (a < 8) {
        if (!neon_reg(rd, sizeof rd, q, d) || !neon_reg(rm, sizeof rm, q, m)) return false;
        static const char* const names[8] = {"vshr", "vsra", "vrshr", "vrsra", "vsri", "vshl", "vqshlu", "vqshl"};
        if ((a == 4 || a == 6) && !u) return false;
        const char* type = a == 4 || (a == 5 && u) ? "" : a == 6 ? "s" : su;
        snprintf(name, sizeof name, "%s.%s%u", a == 5 && u ? "vsli" : names[a], type, esize);
        opcode(s, name, false, 15);
        text_appendf(s, "%s, %s, #%u", rd, rm, a >= 5 ? left : right);
        return true;
    }
    if (a == 8 || a == 9) {
        if (!neon_reg(rd, sizeof rd, false, d) || !neon_reg(rm, sizeof rm, true, m)) return false;
        const char* base = a == 9 ? (q ? "vqrshrn" : "vqshrn") : u ? (q ? "vqrshrun" : "vqshrun") : (q ? "vrshrn" : "vshrn");
        const char* type = a == 9 ? su : u ? "s" : "i";
        snprintf(name, sizeof name, "%s.%s%u", base, type, 2 * esize);
        opcode(s, name, false, 15);
        text_appendf(s, "%s, %s, #%u", rd, rm, right);
        return true;
    }
    if (a == 10) {
        if (q || !neon_reg(rd, sizeof rd, true, d) || !neon_reg(rm, sizeof rm, false, m)) return false;
        snprintf(name, sizeof name, "%s.%s%u", left ? "vshll" : "vmovl", su, esize);
        opcode(s, name, false, 15);
        if (left) text_appendf(s, "%s, %s, #%u", rd, rm, left);
        else text_appendf(s, "%s, %s", rd, rm);
        return true;
    }
    if (a >= 12) {
        // Fixed-point conversions: bit 8 picks the direction, bit 9 clear the half-precision form.
        if (imm6 < 32 || !neon_reg(rd, sizeof rd, q, d) || !neon_reg(rm, sizeof rm, q, m)) return false;
        uint32_t bits = bit(w, 9) ? 32 : 16;
        if (bit(w, 8)) snprintf(name, sizeof name, "vcvt.%s%u.f%u", su, bits, bits);
        else snprintf(name, sizeof name, "vcvt.f%u.%s%u", bits, su, bits);
        opcode(s, name, false, 15);
        text_appendf(s, "%s, %s, #%u", rd, rm, 64 - imm6);
        return true;
    }
    return false;
}

// Three registers of different lengths: long (Q = D op D), wide (Q = Q op D)
// and narrow (D = Q op Q) forms.
bool neon_three_long(ARMSTATE* s, uint32_t w) {
    static const struct {
        const char* name[2];  // by U; null: undefined
        char shape;           // 'l' long, 'w' wide, 'n' narrow
        char type;            // 's' signed/unsigned by U, 'i' integer, 'q' signed only, 'p' polynomial
    } ops[16] = {
        {{"vaddl", "vaddl"}, 'l', 's'},       {{"vaddw", "vaddw"}, 'w', 's'},   {{"vsubl", "vsubl"}, 'l', 's'},
        {{"vsubw", "vsubw"}, 'w', 's'},       {{"vaddhn", "vraddhn"}, 'n', 'i'}, {{"vabal", "vabal"}, 'l', 's'},
        {{"vsubhn", "vrsubhn"}, 'n', 'i'},    {{"vabdl", "vabdl"}, 'l', 's'},   {{"vmlal", "vmlal"}, 'l', 's'},
        {{"vqdmlal", nullptr}, 'l', 'q'},     {{"vmlsl", "vmlsl"}, 'l', 's'},   {{"vqdmlsl", nullptr}, 'l', 'q'},
        {{"vmull", "vmull"}, 'l', 's'},       {{"vqdmull", nullptr}, 'l', 'q'}, {{"vmull", "vmull"}, 'l', 'p'},
        {{nullptr, nullptr}, 'l', 's'},
    };
    uint32_t a = field(w, 11, 8), size = field(w, 21, 20);
    bool u = bit(w, 24);
    const char* name = ops[a].name[u];
    if (!name) return false;
    uint32_t d = neon_vd(w), n = neon_vn(w), m = neon_vm(w);
    char type[4] = "s";
    uint32_t bits = 8u << size;
    switch (ops[a].type) {
        case 's': type[0] = u ? 'u' : 's'; break;
        case 'i': type[0] = 'i', bits *= 2; break;
        case 'q':
            if (size == 0) return false;
            break;
        default:
            if (size == 1 || size == 3) return false;
            type[0] = 'p';
            bits = size ? 64 : 8;
            break;
    }
    char shape = ops[a].shape;
    return neon_three(s, name, type, bits, shape != 'n', d, shape != 'l', &n, shape == 'n', &m);
}

// Two registers and a scalar: "Vd, Vn, Dm[x]".
bool neon_scalar(ARMSTATE* s, uint32_t w) {
    uint32_t a = field(w, 11, 8), size = field(w, 21, 20);
    bool u = bit(w, 24);
    if (size == 0 || size == 3) return false;
    static const char* const names[16] = {"vmla",  "vmla",    "vmlal",    "vqdmlal",  "vmls",    "vmls",
                                          "vmlsl", "vqdmlsl", "vmul",     "vmul",     "vmull",   "vqdmull",
                                          "vqdmulh", "vqrdmulh", "vqrdmlah", "vqrdmlsh"};
    bool longform = a == 2 || a == 3 || a == 6 || a == 7 || a == 10 || a == 11;
    bool fl = a == 1 || a == 5 || a == 9;
    if (longform && u && (a & 1)) return false;  // the doubling long forms are signed only
    uint32_t bits = 8u << size;
    const char* type = fl ? "f" : longform ? (a & 1) ? "s" : (u ? "u" : "s") : a >= 12 ? "s" : "i";
    bool q = longform ? true : u;
    uint32_t d = neon_vd(w), n = neon_vn(w);
    uint32_t vm = size == 1 ? field(w, 2, 0) : field(w, 3, 0);
    uint32_t index = size == 1 ? (field(w, 5, 5) << 1) | field(w, 3, 3) : field(w, 5, 5);
    if (!neon_three(s, names[a], type, bits, q, d, longform ? false : q, &n, false, nullptr)) return false;
    text_appendf(s, ", d%u[%u]", vm, index);
    return true;
}

// "name.type Vd, Vm" with the register kinds given; "" type leaves the suffix off.
bool neon_two(ARMSTATE* s, const char* name, const char* type, bool qd, bool qm, uint32_t w) {
    char rd[8], rm[8], mnem[32];
    if (!neon_reg(rd, sizeof rd, qd, neon_vd(w)) || !neon_reg(rm, sizeof rm, qm, neon_vm(w))) return false;
    if (type[0]) snprintf(mnem, sizeof mnem, "%s.%s", name, type);
    else snprintf(mnem, sizeof mnem, "%s", name);
    opcode(s, mnem, false, 15);
    text_appendf(s, "%s, %s", rd, rm);
    return true;
}

// Two registers, miscellaneous operations (bits 17:16 pick the group).
bool neon_two_misc(ARMSTATE* s, uint32_t w) {
    uint32_t size = field(w, 19, 18), group = field(w, 17, 16), op = field(w, 10, 7), b = field(w, 10, 6);
    bool q = bit(w, 6), u = bit(w, 7);
    uint32_t bits = 8u << size;
    char type[16];
    const char* su = u ? "u" : "s";
    if (group == 0) {
        switch (op) {
            case 0:
            case 1:
            case 2:
                if (size == 3) return false;
                snprintf(type, sizeof type, "%u", bits);
                return neon_two(s, op == 0 ? "vrev64" : op == 1 ? "vrev32" : "vrev16", type, q, q, w);
            case 4:
            case 5:
            case 12:
            case 13:
                if (size == 3) return false;
                snprintf(type, sizeof type, "%s%u", su, bits);
                return neon_two(s, op < 8 ? "vpaddl" : "vpadal", type, q, q, w);
            case 6:
            case 7: {
                if (size != 0) return false;
                static const char* const aes[4] = {"aese", "aesd", "aesmc", "aesimc"};
                return neon_two(s, aes[b & 3], "8", true, true, w);
            }
            case 8:
            case 9:
            case 14:
            case 15:
                if (size == 3) return false;
                snprintf(type, sizeof type, "%s%u", op == 9 ? "i" : "s", bits);
                return neon_two(s, op == 8 ? "vcls" : op == 9 ? "vclz" : op == 14 ? "vqabs" : "vqneg", type, q, q, w);
            case 10:
            case 11:
                if (size != 0) return false;
                return neon_two(s, op == 10 ? "vcnt" : "vmvn", op == 10 ? "8" : "", q, q, w);
            default: return false;
        }
    }
    if (group == 1) {
        bool fl = bit(w, 10);
        uint32_t k = op & 7;
        if (k == 5) {
            if (fl || b != 0x0B || size != 2) return false;
            return neon_two(s, "sha1h", "32", true, true, w);
        }
        static const char* const names[8] = {"vcgt", "vcge", "vceq", "vcle", "vclt", nullptr, "vabs", "vneg"};
        if (size == 3) return false;  // objdump also shows the float forms with size 8
        if (fl) snprintf(type, sizeof type, "f%u", bits);
        else snprintf(type, sizeof type, "%s%u", k == 2 ? "i" : "s", bits);
        if (!neon_two(s, names[k], type, q, q, w)) return false;
        if (k < 5) text_appendf(s, ", #0");
        return true;
    }
    if (group == 2) {
        if (b < 8) {
            static const char* const names[4] = {"vswp", "vtrn", "vuzp", "vzip"};
            if (size == 3 || (b < 2 && size != 0)) return false;
            snprintf(type, sizeof type, "%u", bits);
            return neon_two(s, names[b >> 1], b < 2 ? "" : type, q, q, w);
        }
        switch (b) {
            case 8:
            case 9:
            case 10:
            case 11:
                if (size == 3) return false;
                snprintf(type, sizeof type, "%s%u", b == 8 ? "i" : b == 9 || b == 10 ? "s" : "u", 2 * bits);
                return neon_two(s, b == 8 ? "vmovn" : b == 9 ? "vqmovun" : "vqmovn", type, false, true, w);
            case 12:
                if (size == 3) return false;
                snprintf(type, sizeof type, "i%u", bits);
                if (!neon_two(s, "vshll", type, true, false, w)) return false;
                text_appendf(s, ", #%u", bits);
                return true;
            case 14:
            case 15:
                if (size != 2) return false;
                return neon_two(s, b == 14 ? "sha1su1" : "sha256su0", "32", true, true, w);
            case 25:
                if (size != 1) return false;
                return neon_two(s, "vcvt", "bf16.f32", false, true, w);
            case 24:
            case 28:
                if (size != 1) return false;
                return neon_two(s, "vcvt", b == 24 ? "f16.f32" : "f32.f16", b == 28, b == 24, w);
            default: {
                // The Armv8 roundings: N, X, A, Z, M, P by bits 9:7.
                static const char* const names[8] = {"vrintn", "vrintx", "vrinta", "vrintz", nullptr, "vrintm", nullptr, "vrintp"};
                const char* name = b >= 16 ? names[(b >> 1) & 7] : nullptr;
                if (!name || (size != 1 && size != 2)) return false;
                snprintf(type, sizeof type, "f%u", bits);
                return neon_two(s, name, type, q, q, w);
            }
        }
    }
    if (size != 1 && size != 2) return false;
    if (b < 16) {
        // Armv8 conversions with a rounding mode of their own: A, N, P, M.
        static const char* const names[4] = {"vcvta", "vcvtn", "vcvtp", "vcvtm"};
        snprintf(type, sizeof type, "%s%u.f%u", su, bits, bits);
        return neon_two(s, names[(b >> 2) & 3], type, q, q, w);
    }
    if (b < 24) {
        bool fl = bit(w, 8);
        snprintf(type, sizeof type, "%s%u", fl ? "f" : "u", bits);
        return neon_two(s, bit(w, 7) ? "vrsqrte" : "vrecpe", type, q, q, w);
    }
    if (bit(w, 8)) snprintf(type, sizeof type, "%s%u.f%u", su, bits, bits);
    else snprintf(type, sizeof type, "f%u.%s%u", bits, su, bits);
    return neon_two(s, "vcvt", type, q, q, w);
}

// VEXT, VTBL/VTBX and VDUP (scalar), with the rest of bits 21:20 = 11.
bool neon_misc_group(ARMSTATE* s, uint32_t w) {
    bool q = bit(w, 6);
    uint32_t d = neon_vd(w), n = neon_vn(w), m = neon_vm(w);
    if (!bit(w, 24)) {
        uint32_t imm = field(w, 11, 8);
        if (!q && imm >= 8) return false;
        if (!neon_three(s, "vext", "", 8, q, d, q, &n, q, &m)) return false;
        text_appendf(s, ", #%u", imm);
        return true;
    }
    if (!bit(w, 11)) return neon_two_misc(s, w);
    if (field(w, 11, 10) == 2) {
        uint32_t len = field(w, 9, 8);
        if (n + len > 31) return false;
        opcode(s, q ? "vtbx.8" : "vtbl.8", false, 15);
        if (len) text_appendf(s, "d%u, {d%u-d%u}, d%u", d, n, n + len, m);
        else text_appendf(s, "d%u, {d%u}, d%u", d, n, m);
        return true;
    }
    if (field(w, 11, 7) == 0x18) {
        uint32_t imm4 = field(w, 19, 16), size, index;
        if (imm4 & 1) size = 8, index = imm4 >> 1;
        else if (imm4 & 2) size = 16, index = imm4 >> 2;
        else if (imm4 & 4) size = 32, index = imm4 >> 3;
        else return false;
        char type[8];
        snprintf(type, sizeof type, "%u", size);
        if (!neon_two(s, "vdup", type, q, false, w)) return false;
        text_appendf(s, "[%u]", index);
        return true;
    }
    return false;
}

// Advanced SIMD element and structure loads and stores (1111 0100 xxx0).
bool neon_loadstore(ARMSTATE* s, uint32_t w) {
    bool load = bit(w, 21);
    uint32_t rn = field(w, 19, 16), d = neon_vd(w), rm = field(w, 3, 0), type = field(w, 11, 8);
    uint32_t size = field(w, 7, 6), count, inc, align = 0;
    char list[96] = "{";
    enum { MULTIPLE, LANE, ALL } form;
    int lane = 0;
    if (!bit(w, 23)) {
        // Multiple elements: structure size and register count by type.
        static const signed char structs[16] = {4, 4, 1, 2, 3, 3, 1, 1, 2, 2, 1, -1, -1, -1, -1, -1};
        static const signed char regs[16] = {4, 4, 4, 4, 3, 3, 3, 1, 2, 2, 2, 0, 0, 0, 0, 0};
        if (structs[type] < 0) return false;
        count = (uint32_t)regs[type];
        inc = (type == 1 || type == 5 || type == 9) ? 2 : 1;
        if (structs[type] > 1 && size == 3) return false;
        uint32_t a = field(w, 5, 4);
        if (a) align = 32u << a;
        form = MULTIPLE;
        char name[16];
        snprintf(name, sizeof name, "%s%d.%u", load ? "vld" : "vst", structs[type], 8u << size);
        opcode(s, name, false, 15);
    } else if (field(w, 11, 10) == 3) {
        // One structure to all lanes: loads only.
        if (!load) return false;
        uint32_t n = field(w, 9, 8) + 1;
        bool t = bit(w, 5), a = bit(w, 4);
        if (size == 3 && n != 4) return false;
        count = n == 1 ? (t ? 2 : 1) : n;
        inc = n > 1 && t ? 2 : 1;
        uint32_t esize = size == 3 ? 32 : 8u << size;
        if (a) {
            if (n == 3 || (n == 1 && size == 0)) return false;
            align = n == 1 ? esize : n == 2 ? 2 * esize : size == 3 ? 128 : size == 2 ? 64 : 4 * esize;
        }
        form = ALL;
        char name[16];
        snprintf(name, sizeof name, "vld%u.%u", n, esize);
        opcode(s, name, false, 15);
    } else {
        // One structure to one lane.
        uint32_t n = field(w, 9, 8) + 1, ia = field(w, 7, 4);
        size = field(w, 11, 10);
        lane = (int)(ia >> (size + 1));
        inc = size > 0 && ((ia >> size) & 1) ? 2 : 1;
        count = n;
        uint32_t esize = 8u << size;
        // The index/align field's reserved bits, by structure and element size.
        switch (n) {
            case 1:
                if (size == 0 ? (ia & 1) : size == 1 ? (ia & 2) : (ia & 4) || ((ia & 3) != 0 && (ia & 3) != 3)) return false;
                if (size > 0 && (ia & 1)) align = esize;
                inc = 1;
                break;
            case 2:
                if (size == 2 && (ia & 2)) return false;
                if (ia & 1) align = 2 * esize;
                break;
            case 3:
                if (size < 2 ? (ia & 1) : (ia & 3)) return false;
                break;
            default:
                if (size == 2 && (ia & 3) == 3) return false;
                if (size < 2 ? (ia & 1) : (ia & 3)) align = size < 2 ? 4 * esize : 64u << ((ia & 3) - 1);
                break;
        }
        form = LANE;
        char name[16];
        snprintf(name, sizeof name, "%s%u.%u", load ? "vld" : "vst", n, esize);
        opcode(s, name, false, 15);
    }
    if (count == 0) return false;
    // objdump writes a run of consecutive registers as a range, other lists in full without spaces.
    const char* suffix = form == ALL ? "[]" : "";
    char one[16];
    if (form != LANE && inc == 1 && count > 1) {
        snprintf(one, sizeof one, "d%u%s-", d, suffix);
        strlcat_s(list, one, sizeof list);
        snprintf(one, sizeof one, "d%u%s", d + count - 1, suffix);
        strlcat_s(list, one, sizeof list);
    } else {
        for (uint32_t i = 0; i < count; ++i) {
            if (form == LANE) snprintf(one, sizeof one, "%sd%u[%d]", i ? "," : "", d + i * inc, lane);
            else snprintf(one, sizeof one, "%sd%u%s", i ? "," : "", d + i * inc, suffix);
            strlcat_s(list, one, sizeof list);
        }
    }
    strlcat_s(list, "}", sizeof list);
    text_appendf(s, "%s, [%s", list, reg(rn));
    if (align) text_appendf(s, " :%u", align);
    text_appendf(s, "]");
    if (rm == 13) text_appendf(s, "!");
    else if (rm != 15) text_appendf(s, ", %s", reg(rm));
    return true;
}

// Advanced SIMD data processing (1111 001U): the groups by bits 23:19 and 7:4.
bool neon_dataproc(ARMSTATE* s, uint32_t w) {
    if (!bit(w, 23)) return neon_three_same(s, w);
    if (bit(w, 4)) {
        if (field(w, 21, 19) == 0 && !bit(w, 7)) return neon_immediate(s, w);
        return neon_shift(s, w);
    }
    if (field(w, 21, 20) != 3) return bit(w, 6) ? neon_scalar(s, w) : neon_three_long(s, w);
    return neon_misc_group(s, w);
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
    if ((w & ~0x200u) == 0xF1100000) {
        opcode(s, "setpan", false, 15);
        text_appendf(s, "#%u", field(w, 9, 9));
        return true;
    }
    if ((op1 & 0xE0) == 0x20) return neon_dataproc(s, w);
    if ((op1 & 0xE0) == 0x40 || (op1 & 0xE0) == 0x60) {
        if ((op1 & 0xF1) == 0x40) return neon_loadstore(s, w);
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
        if (!append_status_register(s, w, true)) return false;
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
