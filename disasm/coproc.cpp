// Coprocessor instructions of both instruction sets. Coprocessors 10 and 11
// are the floating-point unit and get the VFP mnemonics, coprocessor 9 its
// half-precision instructions (Armv8.1-M); every other coprocessor is shown
// with the generic ldc/stc/mcr/mrc/mcrr/mrrc/cdp forms.
//
// The Thumb-2 encodings carry the same fields in bits 27:0 as the ARM ones;
// only the top nibble differs: 1110/1111 in Thumb (bit 28 selects the "2"
// space), the condition in ARM (15 is the "2" space). So one set of routines
// serves both, told apart by the small context below.
#include <cstdio>
#include <cstring>

#include "disasm/disasm_decoders.h"

namespace {

struct CoInsn {
    ARMSTATE* s;
    uint32_t insn;
    bool thumb;
    bool uncond;  // the "2" space: Thumb bit 28, ARM condition 15
    int cond;     // ARM condition
};

uint32_t bits(uint32_t v, int hi, int lo) { return (v >> lo) & ((1u << (hi - lo + 1)) - 1); }
uint32_t bit(uint32_t v, int n) { return (v >> n) & 1; }

// Coprocessor 9 holds the half-precision forms, 10 single, 11 double.
bool fp_cp(uint32_t insn) { return bits(insn, 11, 8) >= 9 && bits(insn, 11, 8) <= 11; }
bool half_cp(uint32_t insn) { return bits(insn, 11, 8) == 9; }
const char* fp_type(uint32_t insn) { return half_cp(insn) ? ".f16" : bit(insn, 8) ? ".f64" : ".f32"; }
bool is_dbl(uint32_t insn) { return bits(insn, 11, 8) == 11; }

// The value the instruction reads for pc: Thumb aligns it for literals.
uint32_t pc_value(const CoInsn& c) {
    return c.thumb ? ((c.s->address + 4) & ~3u) : c.s->address + 8;
}

// Mnemonic: base name, the condition (IT slot or ARM condition), then the
// data-type suffix, then the padding. The "2" forms and the Armv8 additions
// have condition 15 in ARM, which adds nothing; in Thumb an IT block still
// makes them conditional, and objdump shows its condition on them.
void mnemonic(const CoInsn& c, const char* base, const char* suffix = "", bool conditional = true) {
    ARMSTATE* s = c.s;
    strlcpy_s(s->text, base, sizeof s->text);
    if (conditional) {
        if (c.thumb) add_it_cond(s, 0);
        else add_condition(s, c.cond);
    }
    strlcat_s(s->text, suffix, sizeof s->text);
    padinstr(s);
}

// VFP register numbers: single Vx:b, double b:Vx.
int sreg(uint32_t v4, uint32_t b) { return (int)((v4 << 1) | b); }
int dreg(uint32_t v4, uint32_t b) { return (int)((b << 4) | v4); }

void append_vreg(ARMSTATE* s, bool dbl, uint32_t v4, uint32_t b) {
    if (dbl) text_appendf(s, "d%d", dreg(v4, b));
    else text_appendf(s, "s%d", sreg(v4, b));
}

// The three register fields of a data-processing instruction.
void vd(const CoInsn& c, bool dbl) { append_vreg(c.s, dbl, bits(c.insn, 15, 12), bit(c.insn, 22)); }
void vn(const CoInsn& c, bool dbl) { append_vreg(c.s, dbl, bits(c.insn, 19, 16), bit(c.insn, 7)); }
void vm(const CoInsn& c, bool dbl) { append_vreg(c.s, dbl, bits(c.insn, 3, 0), bit(c.insn, 5)); }

void sep(ARMSTATE* s) { strlcat_s(s->text, ", ", sizeof s->text); }
// "Vd, Vm" and "Vd, Vn, Vm", all of one precision.
void vd_vm(const CoInsn& c, bool dbl) {
    vd(c, dbl);
    sep(c.s);
    vm(c, dbl);
}
void vd_vn_vm(const CoInsn& c, bool dbl) {
    vd(c, dbl);
    sep(c.s);
    vn(c, dbl);
    sep(c.s);
    vm(c, dbl);
}

// --- loads and stores ---------------------------------------------------------------------

// "[rn, #off]", "[rn, #off]!", "[rn], #off", "[rn], {opt}" or "[rn]" for the
// P/U/W bits; imm is the byte offset. A zero offset drops the write-back, as
// objdump shows it. A pc base gets the address as comment.
void address_operand(const CoInsn& c, uint32_t imm, bool literal_load) {
    ARMSTATE* s = c.s;
    uint32_t p = bit(c.insn, 24), u = bit(c.insn, 23), w = bit(c.insn, 21);
    uint32_t rn = bits(c.insn, 19, 16);
    const char* base = register_name((int)rn);
    const char* sign = u ? "" : "-";
    if (p) {
        if (imm == 0 && u) text_appendf(s, "[%s]", base);
        else text_appendf(s, "[%s, #%s%u]%s", base, sign, imm, w && imm ? "!" : "");
        if (rn == 15 && !w) {
            uint32_t addr = u ? pc_value(c) + imm : pc_value(c) - imm;
            if (literal_load) {
                mark_literal(s, addr);
            } else if (s->add_cmt) {
                char buf[16];
                snprintf(buf, sizeof buf, "0x%08x", addr);
                append_comment(s, nullptr, buf);
            }
        }
    } else if (w) {
        if (imm == 0 && u) text_appendf(s, "[%s]", base);
        else text_appendf(s, "[%s], #%s%u", base, sign, imm);
    } else {
        text_appendf(s, "[%s], {%s%u}", base, imm == 0 && !u ? "-" : "", imm >> 2);
    }
}

// VLDM/VSTM, VPUSH/VPOP, VLDR/VSTR, the deprecated FLDMX/FSTMX and the
// Armv8-M lazy state save/restore.
bool vfp_loadstor(const CoInsn& c) {
    ARMSTATE* s = c.s;
    uint32_t insn = c.insn;
    uint32_t p = bit(insn, 24), u = bit(insn, 23), w = bit(insn, 21), l = bit(insn, 20);
    uint32_t rn = bits(insn, 19, 16), imm8 = bits(insn, 7, 0);
    bool dbl = is_dbl(insn), half = half_cp(insn);
    if (c.uncond || (p && u && w) || (half && !(p && !w))) return false;
    if (p == 0 && u == 0) {
        // Lazy floating-point state preservation (Armv8-M): VLSTM / VLLDM.
        if (!w || bit(insn, 22) || bit(insn, 8) || bits(insn, 15, 12) != 0 || (imm8 & 0x7F) != 0) return false;
        mnemonic(c, l ? "vlldm" : "vlstm");
        text_appendf(s, "%s", register_name((int)rn));
        return true;
    }
    if (p && !w) {
        // The half-precision forms scale the offset by 2, the others by 4.
        uint32_t offset = half ? imm8 << 1 : imm8 << 2;
        mnemonic(c, l ? "vldr" : "vstr", half ? ".16" : "");
        vd(c, dbl);
        sep(s);
        address_operand(c, offset, l != 0);
        if (rn != 15 && offset != 0) append_comment_hex(s, offset);
        return true;
    }
    // Block transfers: increment after (P=0 U=1) or decrement before with write-back.
    bool fx = dbl && (imm8 & 1);  // the old FLDMX/FSTMX form
    int count = (int)(dbl ? imm8 >> 1 : imm8);
    int first = dbl ? dreg(bits(insn, 15, 12), bit(insn, 22)) : sreg(bits(insn, 15, 12), bit(insn, 22));
    // Lists that are empty or run past the last register are unpredictable: data.
    if (count == 0 || first + count > 32) return false;
    char r = dbl ? 'd' : 's';
    if (c.thumb && rn == 15 && l && !p && !w && !fx) {
        // Armv8.1-M VSCCLRM: clear a register range and VPR.
        mnemonic(c, "vscclrm");
        if (count == 1) text_appendf(s, "{%c%d, VPR}", r, first);
        else text_appendf(s, "{%c%d-%c%d, VPR}", r, first, r, first + count - 1);
        return true;
    }
    bool stack = rn == 13 && w && !fx && ((l && !p) || (!l && p));
    if (stack) {
        mnemonic(c, l ? "vpop" : "vpush");
    } else {
        char base[12];
        if (fx) snprintf(base, sizeof base, "f%sm%sx", l ? "ld" : "st", p ? "db" : "ia");
        else snprintf(base, sizeof base, "v%sm%s", l ? "ld" : "st", p ? "db" : "ia");
        mnemonic(c, base);
        text_appendf(s, "%s%s, ", register_name((int)rn), w ? "!" : "");
    }
    if (count == 1) text_appendf(s, "{%c%d}", r, first);
    else text_appendf(s, "{%c%d-%c%d}", r, first, r, first + count - 1);
    if (fx) append_comment(s, nullptr, "Deprecated");
    return true;
}

// VMOV between two core registers and a double or two singles.
bool vfp_move64(const CoInsn& c) {
    ARMSTATE* s = c.s;
    uint32_t insn = c.insn;
    if (c.uncond || bits(insn, 11, 9) != 5 || bits(insn, 7, 6) != 0 || !bit(insn, 4)) return false;
    const char* rt = register_name((int)bits(insn, 15, 12));
    const char* rt2 = register_name((int)bits(insn, 19, 16));
    bool to_core = bit(insn, 20);
    mnemonic(c, "vmov");
    if (bit(insn, 8)) {
        int d = dreg(bits(insn, 3, 0), bit(insn, 5));
        if (to_core) text_appendf(s, "%s, %s, d%d", rt, rt2, d);
        else text_appendf(s, "d%d, %s, %s", d, rt, rt2);
    } else {
        int m = sreg(bits(insn, 3, 0), bit(insn, 5));
        if (to_core) text_appendf(s, "%s, %s, s%d, s%d", rt, rt2, m, m + 1);
        else text_appendf(s, "s%d, s%d, %s, %s", m, m + 1, rt, rt2);
    }
    return true;
}

// Generic MCRR/MRRC: "mcrr 15, 0, r0, r1, cr2".
bool co_move64(const CoInsn& c) {
    uint32_t insn = c.insn;
    mnemonic(c, bit(insn, 20) ? (c.uncond ? "mrrc2" : "mrrc") : (c.uncond ? "mcrr2" : "mcrr"));
    text_appendf(c.s, "%u, %u, %s, %s, cr%u", bits(insn, 11, 8), bits(insn, 7, 4), register_name((int)bits(insn, 15, 12)),
                 register_name((int)bits(insn, 19, 16)), bits(insn, 3, 0));
    return true;
}

// Armv8.1-M VLDR/VSTR of a floating-point system register, in the Thumb
// coprocessor 15 space: the register in D:bits 15:13, a 7-bit offset.
bool vfp_sysreg_loadstor(const CoInsn& c) {
    uint32_t insn = c.insn;
    if (!c.thumb || c.uncond || bits(insn, 11, 8) != 15 || bit(insn, 12) || !bit(insn, 7)) return false;
    if (!bit(insn, 24) && !bit(insn, 21)) return false;
    const char* name;
    switch ((bit(insn, 22) << 3) | bits(insn, 15, 13)) {
        case 1: name = "FPSCR"; break;
        case 2: name = "FPSCR_nzcvqc"; break;
        case 12: name = "VPR"; break;
        case 13: name = "P0"; break;
        case 14: name = "FPCXTNS"; break;
        case 15: name = "FPCXTS"; break;
        default: return false;
    }
    mnemonic(c, bit(insn, 20) ? "vldr" : "vstr");
    text_appendf(c.s, "%s, ", name);
    address_operand(c, bits(insn, 6, 0) << 2, false);
    return true;
}

bool co_loadstor(const CoInsn& c) {
    uint32_t insn = c.insn;
    uint32_t cp = bits(insn, 11, 8);
    bool vfp = fp_cp(insn);
    if (vfp_sysreg_loadstor(c)) return true;
    // Coprocessor 9/10/11 register pairs the FPU does not claim show as the generic form.
    if (bits(insn, 24, 21) == 2) return (vfp && vfp_move64(c)) || co_move64(c);
    if (vfp && !c.uncond) return bits(insn, 24, 21) != 0 && vfp_loadstor(c);
    char base[8];
    snprintf(base, sizeof base, "%s%s%s", bit(insn, 20) ? "ldc" : "stc", c.uncond ? "2" : "", bit(insn, 22) ? "l" : "");
    mnemonic(c, base);
    text_appendf(c.s, "%u, cr%u, ", cp, bits(insn, 15, 12));
    address_operand(c, bits(insn, 7, 0) << 2, false);
    return true;
}

// --- register transfers ---------------------------------------------------------------------

const char* vfp_sysreg(uint32_t reg) {
    switch (reg) {
        case 0: return "fpsid";
        case 1: return "fpscr";
        case 2: return "fpscr_nzcvqc";
        case 5: return "mvfr2";
        case 6: return "mvfr1";
        case 7: return "mvfr0";
        case 8: return "fpexc";
        case 9: return "fpinst";
        case 10: return "fpinst2";
        case 14: return "fpcxt_ns";
        case 15: return "fpcxt_s";
        default: return nullptr;
    }
}

// VMOV core<->single, VMRS/VMSR, and the scalar moves and VDUP on coprocessor 11.
bool vfp_trans(const CoInsn& c) {
    ARMSTATE* s = c.s;
    uint32_t insn = c.insn;
    if (c.uncond) return false;
    uint32_t opc1 = bits(insn, 23, 21), l = bit(insn, 20);
    uint32_t rt = bits(insn, 15, 12);
    const char* rtn = register_name((int)rt);
    if (!is_dbl(insn)) {
        if (bits(insn, 3, 0) != 0) return false;
        if (opc1 == 0 && bits(insn, 6, 5) == 0) {
            int n = sreg(bits(insn, 19, 16), bit(insn, 7));
            mnemonic(c, "vmov", half_cp(insn) ? ".f16" : "");
            if (l) text_appendf(s, "%s, s%d", rtn, n);
            else text_appendf(s, "s%d, %s", n, rtn);
            return true;
        }
        if (opc1 == 7 && bits(insn, 7, 5) == 0 && !half_cp(insn)) {
            uint32_t reg = bits(insn, 19, 16);
            const char* name = vfp_sysreg(reg);
            char buf[24];
            if (!name) {
                snprintf(buf, sizeof buf, "<impl def 0x%x>", reg);
                name = buf;
            }
            if (l) {
                mnemonic(c, "vmrs");
                if (rt == 15 && reg == 1) text_appendf(s, "APSR_nzcv, %s", name);
                else text_appendf(s, "%s, %s", rtn, name);
            } else {
                mnemonic(c, "vmsr");
                text_appendf(s, "%s, %s", name, rtn);
            }
            return true;
        }
        return false;
    }
    // Coprocessor 11: a lane of a double register.
    int d = dreg(bits(insn, 19, 16), bit(insn, 7));
    uint32_t opc2 = bits(insn, 6, 5);
    if (!l && bit(insn, 23)) {
        // VDUP: B (bit 22) and E (bit 5) give the size; Q (bit 21) a quad register.
        uint32_t be = (bit(insn, 22) << 1) | bit(insn, 5);
        // Thumb leaves the low four bits zero; the ARM encoding does not care.
        if (be == 3 || bit(insn, 6) || (c.thumb && bits(insn, 3, 0) != 0) || (bit(insn, 21) && (d & 1))) return false;
        const char* size = be == 0 ? ".32" : be == 1 ? ".16" : ".8";
        mnemonic(c, "vdup", size);
        if (bit(insn, 21)) text_appendf(s, "q%d, %s", d >> 1, rtn);
        else text_appendf(s, "d%d, %s", d, rtn);
        return true;
    }
    uint32_t sel = (bits(insn, 22, 21) << 2) | opc2;
    int size, index;
    if (sel & 8) size = 8, index = (int)(sel & 7);
    else if (sel & 1) size = 16, index = (int)((sel >> 1) & 3);
    else if ((sel & 3) == 0) size = 32, index = (int)((sel >> 2) & 1);
    else return false;
    char suffix[8];
    if (l) {
        if (size == 32) snprintf(suffix, sizeof suffix, ".32");
        else snprintf(suffix, sizeof suffix, ".%c%d", bit(insn, 23) ? 'u' : 's', size);
        mnemonic(c, "vmov", suffix);
        text_appendf(s, "%s, d%d[%d]", rtn, d, index);
    } else {
        snprintf(suffix, sizeof suffix, ".%d", size);
        mnemonic(c, "vmov", suffix);
        text_appendf(s, "d%d[%d], %s", d, index, rtn);
    }
    return true;
}

bool co_trans(const CoInsn& c) {
    uint32_t insn = c.insn;
    uint32_t cp = bits(insn, 11, 8);
    bool load = bit(insn, 20);
    uint32_t rt = bits(insn, 15, 12);
    // The FPU's own transfers; what it leaves is undefined, except that an
    // mrc to pc still shows as the generic form.
    if (fp_cp(insn) && !c.uncond) {
        if (vfp_trans(c)) return true;
        if (!load || rt != 15) return false;
    }
    mnemonic(c, load ? (c.uncond ? "mrc2" : "mrc") : (c.uncond ? "mcr2" : "mcr"));
    text_appendf(c.s, "%u, %u, %s, cr%u, cr%u, {%u}", cp, bits(insn, 23, 21),
                 load && rt == 15 && !c.uncond ? "APSR_nzcv" : register_name((int)rt), bits(insn, 19, 16), bits(insn, 3, 0),
                 bits(insn, 7, 5));
    return true;
}

// --- data processing --------------------------------------------------------------------------

// VMOV immediate: the 8-bit constant as objdump shows it, the expanded value
// as comment.
void vfp_imm(const CoInsn& c, bool dbl) {
    ARMSTATE* s = c.s;
    uint32_t imm8 = (bits(c.insn, 19, 16) << 4) | bits(c.insn, 3, 0);
    mnemonic(c, "vmov", fp_type(c.insn));
    vd(c, dbl);
    text_appendf(s, ", #%u", imm8);
    // sign, NOT(b), b replicated, then the six low bits: (16 + imm[3:0]) / 16
    // times 2 to the power of the three exponent bits, biased.
    uint32_t b6 = bit(imm8, 6);
    if (s->add_cmt) {
        // The value, and its single-precision pattern as objdump gives it.
        uint32_t single = (bit(imm8, 7) << 31) | ((b6 ^ 1) << 30) | ((b6 ? 0x1Fu : 0u) << 25) | (bits(imm8, 5, 0) << 19);
        double value = (double)(16 + bits(imm8, 3, 0)) / 16.0;
        int exp = b6 ? (int)bits(imm8, 5, 4) - 3 : (int)bits(imm8, 5, 4) + 1;
        for (; exp > 0; --exp) value *= 2;
        for (; exp < 0; ++exp) value /= 2;
        char buf[40];
        snprintf(buf, sizeof buf, "0x%08x %s%g", single, bit(imm8, 7) ? "-" : "", value);
        if (!strpbrk(buf + 11, ".e")) strlcat_s(buf, ".0", sizeof buf);
        append_comment(s, nullptr, buf);
    }
}

// The conditional data-processing space of coprocessors 9, 10 and 11.
bool vfp_dataproc(const CoInsn& c) {
    ARMSTATE* s = c.s;
    uint32_t insn = c.insn;
    bool dbl = is_dbl(insn), half = half_cp(insn);
    const char* type = fp_type(insn);
    uint32_t opc1 = (bit(insn, 23) << 2) | bits(insn, 21, 20);
    uint32_t op = bit(insn, 6);
    if (bit(insn, 4)) return false;
    if (opc1 != 7) {
        static const char* const names[7][2] = {{"vmla", "vmls"}, {"vnmls", "vnmla"}, {"vmul", "vnmul"}, {"vadd", "vsub"},
                                                {"vdiv", nullptr}, {"vfnms", "vfnma"}, {"vfma", "vfms"}};
        const char* name = names[opc1][op];
        if (!name) return false;
        mnemonic(c, name, type);
        vd_vn_vm(c, dbl);
        return true;
    }
    if (!op) {
        if (bit(insn, 7) || bit(insn, 5)) return false;
        vfp_imm(c, dbl);
        return true;
    }
    uint32_t opc2 = bits(insn, 19, 16);
    uint32_t o7 = bit(insn, 7);
    if (half) {
        // Half precision has no register move, no conversion to or from
        // another precision but the bfloat16 one, and only 32-bit fixed point.
        if ((opc2 == 0 && !o7) || opc2 == 2 || opc2 == 9 || (opc2 == 7 && o7)) return false;
        if ((opc2 == 10 || opc2 == 11 || opc2 == 14 || opc2 == 15) && !o7) return false;
        if (opc2 == 3) {
            mnemonic(c, o7 ? "vcvtt" : "vcvtb", ".bf16.f32");
            vd(c, false);
            sep(s);
            vm(c, false);
            return true;
        }
    }
    switch (opc2) {
        case 0:
        case 1: {
            static const char* const names[2][2] = {{"vmov", "vabs"}, {"vneg", "vsqrt"}};
            mnemonic(c, names[opc2][o7], type);
            vd_vm(c, dbl);
            return true;
        }
        case 2:
        case 3: {
            // Half precision in the bottom (b) or top (t) half of a single.
            bool to_half = opc2 == 3;
            char suffix[12];
            snprintf(suffix, sizeof suffix, "%s%s", to_half ? ".f16" : type, to_half ? type : ".f16");
            mnemonic(c, o7 ? "vcvtt" : "vcvtb", suffix);
            vd(c, dbl && !to_half);
            sep(s);
            vm(c, dbl && to_half);
            return true;
        }
        case 4:
        case 5:
            if (opc2 == 5 && bit(insn, 5)) return false;
            mnemonic(c, o7 ? "vcmpe" : "vcmp", type);
            vd(c, dbl);
            sep(s);
            if (opc2 == 5) strlcat_s(s->text, "#0.0", sizeof s->text);
            else vm(c, dbl);
            return true;
        case 9:
            // VJCVT: the Javascript conversion, double to signed word.
            if (!dbl || !o7) return false;
            mnemonic(c, "vjcvt", ".s32.f64");
            vd(c, false);
            sep(s);
            vm(c, true);
            return true;
        case 6:
            mnemonic(c, o7 ? "vrintz" : "vrintr", type);
            vd_vm(c, dbl);
            return true;
        case 7:
            if (!o7) {
                mnemonic(c, "vrintx", type);
                vd_vm(c, dbl);
            } else {
                mnemonic(c, "vcvt", dbl ? ".f32.f64" : ".f64.f32");
                vd(c, !dbl);
                sep(s);
                vm(c, dbl);
            }
            return true;
        case 8: {
            char suffix[12];
            snprintf(suffix, sizeof suffix, "%s%s", type, o7 ? ".s32" : ".u32");
            mnemonic(c, "vcvt", suffix);
            vd(c, dbl);
            sep(s);
            vm(c, false);
            return true;
        }
        case 12:
        case 13: {
            char suffix[12];
            snprintf(suffix, sizeof suffix, "%s%s", opc2 == 13 ? ".s32" : ".u32", type);
            mnemonic(c, o7 ? "vcvt" : "vcvtr", suffix);
            vd(c, false);
            sep(s);
            vm(c, dbl);
            return true;
        }
        case 10:
        case 11:
        case 14:
        case 15: {
            // Fixed point: bit 18 to fixed, bit 16 unsigned, bit 7 a 32-bit integer.
            bool to_fixed = bit(insn, 18), is_unsigned = bit(insn, 16);
            int size = o7 ? 32 : 16;
            int fbits = size - (int)((bits(insn, 3, 0) << 1) | bit(insn, 5));
            char fixed[8], suffix[16];
            snprintf(fixed, sizeof fixed, ".%c%d", is_unsigned ? 'u' : 's', size);
            snprintf(suffix, sizeof suffix, "%s%s", to_fixed ? fixed : type, to_fixed ? type : fixed);
            mnemonic(c, "vcvt", suffix);
            vd(c, dbl);
            sep(s);
            vd(c, dbl);
            text_appendf(s, ", #%d", fbits);
            return true;
        }
        default:
            return false;
    }
}

// The unconditional Armv8 additions: VSEL, VMAXNM/VMINNM, VRINTA/N/P/M,
// VCVTA/N/P/M.
bool vfp_v8(const CoInsn& c) {
    ARMSTATE* s = c.s;
    uint32_t insn = c.insn;
    bool dbl = is_dbl(insn);
    const char* type = fp_type(insn);
    if (bit(insn, 4)) return false;
    if (!bit(insn, 23)) {
        if (bit(insn, 6)) return false;
        static const char* const sel[4] = {"vseleq", "vselvs", "vselge", "vselgt"};
        mnemonic(c, sel[bits(insn, 21, 20)], type);
        vd_vn_vm(c, dbl);
        return true;
    }
    if (bits(insn, 21, 16) == 0x30 && bits(insn, 11, 8) == 10 && bit(insn, 6)) {
        // Half-precision lane moves: VMOVX (bit 7 clear) and VINS; objdump
        // shows no IT condition on them.
        mnemonic(c, bit(insn, 7) ? "vins" : "vmovx", ".f16", false);
        vd(c, false);
        sep(s);
        vm(c, false);
        return true;
    }
    if (bits(insn, 21, 20) == 0) {
        mnemonic(c, bit(insn, 6) ? "vminnm" : "vmaxnm", type);
        vd_vn_vm(c, dbl);
        return true;
    }
    // VRINT{A,N,P,M} with bits 19:16 = 10rm, VCVT{A,N,P,M} with 11rm.
    if (bits(insn, 21, 20) != 3 || !bit(insn, 19) || !bit(insn, 6)) return false;
    static const char rm[4] = {'a', 'n', 'p', 'm'};
    char base[8];
    uint32_t mode = bits(insn, 17, 16);
    if (!bit(insn, 18)) {
        if (bit(insn, 7)) return false;
        snprintf(base, sizeof base, "vrint%c", rm[mode]);
        mnemonic(c, base, type);
        vd_vm(c, dbl);
        return true;
    }
    snprintf(base, sizeof base, "vcvt%c", rm[mode]);
    char suffix[12];
    snprintf(suffix, sizeof suffix, "%s%s", bit(insn, 7) ? ".s32" : ".u32", type);
    mnemonic(c, base, suffix);
    vd(c, false);
    sep(s);
    vm(c, dbl);
    return true;
}

bool co_dataproc(const CoInsn& c) {
    uint32_t insn = c.insn;
    uint32_t cp = bits(insn, 11, 8);
    if (fp_cp(insn)) return c.uncond ? vfp_v8(c) : vfp_dataproc(c);
    mnemonic(c, c.uncond ? "cdp2" : "cdp");
    text_appendf(c.s, "%u, %u, cr%u, cr%u, cr%u, {%u}", cp, bits(insn, 23, 20), bits(insn, 15, 12), bits(insn, 19, 16),
                 bits(insn, 3, 0), bits(insn, 7, 5));
    return true;
}

// The dispatch rows split the Thumb space on bit 20 rather than on bit 4 of
// the second halfword, so every entry point sorts the encoding itself.
bool co_decode(const CoInsn& c) {
    c.s->size = 4;
    if (bits(c.insn, 27, 25) == 6) return co_loadstor(c);
    if (bits(c.insn, 27, 24) != 0xE) return false;
    return bit(c.insn, 4) ? co_trans(c) : co_dataproc(c);
}

bool thumb_decode(ARMSTATE* s, uint32_t insn) { return co_decode(CoInsn{s, insn, true, bit(insn, 28) != 0, 14}); }

bool arm_decode(ARMSTATE* s, uint32_t insn) {
    int cond = (int)bits(insn, 31, 28);
    return co_decode(CoInsn{s, insn, false, cond == 15, cond});
}

}  // namespace

bool thumb2_co_loadstor(ARMSTATE* s, uint32_t insn) { return thumb_decode(s, insn); }
bool thumb2_co_dataproc(ARMSTATE* s, uint32_t insn) { return thumb_decode(s, insn); }
bool thumb2_co_trans(ARMSTATE* s, uint32_t insn) { return thumb_decode(s, insn); }
bool arm_co_loadstor(ARMSTATE* s, uint32_t insn) { return arm_decode(s, insn); }
bool arm_co_dataproc(ARMSTATE* s, uint32_t insn) { return arm_decode(s, insn); }
bool arm_co_trans(ARMSTATE* s, uint32_t insn) { return arm_decode(s, insn); }
