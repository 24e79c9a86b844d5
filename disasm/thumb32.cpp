// 32-bit Thumb-2 instructions outside the coprocessor space: data
// processing, multiplies, branches and control, loads and stores. The text
// follows what arm-none-eabi-objdump prints for M-profile code.
#include <cstdio>
#include <cstring>

#include "disasm/disasm_decoders.h"

namespace {

inline uint32_t bits(uint32_t v, int hi, int lo) {
    return (v >> lo) & ((2u << (hi - lo)) - 1u);
}

inline const char* reg(uint32_t r) {
    return register_name(static_cast<int>(r & 15));
}

// Mnemonic, the "s" flag suffix, the IT slot condition, then padding.
void mnemonic(ARMSTATE* s, const char* name, bool setflags = false) {
    text_appendf(s, "%s%s", name, setflags ? "s" : "");
    add_it_cond(s, 0);
    padinstr(s);
}

// An instruction without operands: no padding after it.
void bare_mnemonic(ARMSTATE* s, const char* name) {
    text_appendf(s, "%s", name);
    add_it_cond(s, 0);
}

// Immediate shift of a register operand, appended as ", <shift>".
void append_shift(ARMSTATE* s, int type, int amount) {
    char buf[24] = "";
    decode_imm_shift(buf, sizeof buf, type, amount);
    if (buf[0] != '\0')
        text_appendf(s, ", %s", buf);
}

void append_reglist(ARMSTATE* s, uint32_t mask) {
    char buf[96] = "";
    add_reglist(buf, sizeof buf, mask & 0xFFFFu);
    strlcat_s(s->text, buf, sizeof s->text);
}

// The special register of MSR/MRS by its M-profile name, null where SYSm
// names none (UNPREDICTABLE). The xPSR group (SYSm 0-3) is APSR, IAPSR,
// EAPSR, XPSR, an MSR's mask bits naming the fields written (_nzcvq, _g);
// objdump writes A-profile CPSR_f, CPSR_s, PSR there.
const char* sysreg_name(uint32_t sysm, uint32_t mask, bool is_msr) {
    switch (sysm) {
        case 0: case 1: case 2: case 3:
            return special_register((int)sysm, is_msr ? (int)(mask & 12) : 0);
        case 5: case 6: case 7: case 8: case 9: case 16: case 17: case 18: case 19: case 20:
            return special_register((int)sysm, 0);
        case 10: return "MSPLIM";
        case 11: return "PSPLIM";
        case 0x88: return "MSP_NS";
        case 0x89: return "PSP_NS";
        case 0x8A: return "MSPLIM_NS";
        case 0x8B: return "PSPLIM_NS";
        case 0x90: return "PRIMASK_NS";
        case 0x91: return "BASEPRI_NS";
        case 0x93: return "FAULTMASK_NS";
        case 0x94: return "CONTROL_NS";
        case 0x98: return "SP_NS";
        default: return nullptr;
    }
}

const char* barrier_option(uint32_t opt) {
    static const char* const names[16] = {
        nullptr, "oshld", "oshst", "osh", nullptr, "nshld", "unst", "un",
        nullptr, "ishld", "ishst", "ish", nullptr, "ld",    "st",   "sy",
    };
    return names[opt & 15];
}

// ---------------------------------------------------------------------------
// Immediate data processing (second halfword bit 15 clear).

bool dp_modified_imm(ARMSTATE* s, uint32_t insn) {
    uint32_t op = bits(insn, 24, 21);
    bool sflag = bits(insn, 20, 20) != 0;
    uint32_t rn = bits(insn, 19, 16);
    uint32_t rd = bits(insn, 11, 8);
    uint32_t imm = expand_mod_imm(static_cast<int>(bits(insn, 26, 26)), static_cast<int>(bits(insn, 14, 12)),
                                  static_cast<int>(bits(insn, 7, 0)));
    const char* name = nullptr;
    int form = 3;  // 1: Rn, #imm; 2: Rd, #imm; 3: Rd, Rn, #imm
    switch (op) {
        case 0: name = "and"; if (rd == 15 && sflag) { name = "tst"; form = 1; } break;
        case 1: name = "bic"; break;
        case 2: name = "orr"; if (rn == 15) { name = "mov"; form = 2; } break;
        case 3: name = "orn"; if (rn == 15) { name = "mvn"; form = 2; } break;
        case 4: name = "eor"; if (rd == 15 && sflag) { name = "teq"; form = 1; } break;
        case 8: name = "add"; if (rd == 15 && sflag) { name = "cmn"; form = 1; } break;
        case 10: name = "adc"; break;
        case 11: name = "sbc"; break;
        case 13: name = "sub"; if (rd == 15 && sflag) { name = "cmp"; form = 1; } break;
        case 14: name = "rsb"; break;
        default: return false;
    }
    mnemonic(s, name, sflag && form != 1);
    if (form == 1)
        text_appendf(s, "%s, #%u", reg(rn), imm);
    else if (form == 2)
        text_appendf(s, "%s, #%u", reg(rd), imm);
    else
        text_appendf(s, "%s, %s, #%u", reg(rd), reg(rn), imm);
    append_comment_hex(s, imm);
    return true;
}

bool dp_plain_imm(ARMSTATE* s, uint32_t insn) {
    uint32_t op = bits(insn, 24, 20);
    uint32_t rn = bits(insn, 19, 16);
    uint32_t rd = bits(insn, 11, 8);
    uint32_t imm3 = bits(insn, 14, 12), imm2 = bits(insn, 7, 6);
    uint32_t imm12 = (bits(insn, 26, 26) << 11) | (imm3 << 8) | bits(insn, 7, 0);
    uint32_t shift = (imm3 << 2) | imm2;
    // saturate and bit-field forms: i and bit 5 are zero
    if (op >= 0x10 && (bits(insn, 26, 26) != 0 || bits(insn, 5, 5) != 0))
        return false;
    switch (op) {
        case 0x00:
        case 0x0A:
            mnemonic(s, op == 0 ? "addw" : "subw");
            text_appendf(s, "%s, %s, #%u", reg(rd), reg(rn), imm12);
            append_comment_hex(s, imm12);
            return true;
        case 0x04:
        case 0x0C: {
            uint32_t imm16 = (rn << 12) | imm12;
            mnemonic(s, op == 4 ? "movw" : "movt");
            text_appendf(s, "%s, #%u", reg(rd), imm16);
            append_comment_hex(s, imm16);
            return true;
        }
        case 0x10:
        case 0x12:
        case 0x18:
        case 0x1A: {
            bool sgn = op < 0x18;
            uint32_t sat = bits(insn, 4, 0) + (sgn ? 1 : 0);
            if ((op & 2) != 0 && shift == 0) {  // the halfword forms
                mnemonic(s, sgn ? "ssat16" : "usat16");
                text_appendf(s, "%s, #%u, %s", reg(rd), sat, reg(rn));  // bit 4 should be 0; objdump counts it
                return true;
            }
            mnemonic(s, sgn ? "ssat" : "usat");
            text_appendf(s, "%s, #%u, %s", reg(rd), sat, reg(rn));
            if (shift != 0)
                text_appendf(s, ", %s #%u", (op & 2) ? "asr" : "lsl", shift);
            return true;
        }
        case 0x14:
        case 0x1C:
            mnemonic(s, op == 0x14 ? "sbfx" : "ubfx");
            text_appendf(s, "%s, %s, #%u, #%u", reg(rd), reg(rn), shift, bits(insn, 4, 0) + 1);
            return true;
        case 0x16: {
            uint32_t msb = bits(insn, 4, 0);
            uint32_t width = msb - shift + 1;  // objdump shows a reversed field unsigned
            if (rn == 15) {
                mnemonic(s, "bfc");
                text_appendf(s, "%s, #%u, #%u", reg(rd), shift, width);
            } else {
                mnemonic(s, "bfi");
                text_appendf(s, "%s, %s, #%u, #%u", reg(rd), reg(rn), shift, width);
            }
            return true;
        }
        default:
            return false;
    }
}

// ---------------------------------------------------------------------------
// Branches and miscellaneous control (second halfword bit 15 set).

// A mnemonic that objdump never gives the IT slot condition: the Armv8.1-M
// loop instructions, BFCSEL and the pointer-authentication hints.
void plain_mnemonic(ARMSTATE* s, const char* name) {
    text_appendf(s, "%s", name);
    padinstr(s);
}

inline uint32_t sign_extend(uint32_t v, int width) {
    uint32_t m = 1u << (width - 1);
    return (v ^ m) - m;
}

// Armv8.1-M branch future and low-overhead loops, in the space of a BLX with
// bit 0 set. The first halfword's bits 10:7 place the branch point (boff
// halfwords past PC, printed in hex as objdump does); boff 0 holds the loop
// instructions. Anything else there is unallocated.
bool branch_future(ARMSTATE* s, uint32_t insn) {
    uint32_t boff = bits(insn, 26, 23), op = bits(insn, 22, 20), rn = bits(insn, 19, 16);
    bool future = bits(insn, 13, 13) != 0;
    uint32_t pc = s->address + 4;
    uint32_t low = (bits(insn, 10, 1) << 2) | (bits(insn, 11, 11) << 1);  // offset bits 11:1
    bool bad_rn = rn == 13 || rn == 15;
    uint32_t target;

    if (boff == 0) {
        if (future) {  // DLS, DLSTP, LCTP: no offset
            if ((insn & 0x0FFE) != 0 || op > 4)
                return false;
            if (op == 0 && rn == 15) {
                text_appendf(s, "lctp");
                return true;
            }
            if (bad_rn)
                return false;
            if (op == 4) {
                plain_mnemonic(s, "dls");
            } else {
                char name[12];
                snprintf(name, sizeof name, "dlstp.%u", 8u << op);
                plain_mnemonic(s, name);
            }
            text_appendf(s, "lr, %s", reg(rn));
            return true;
        }
        if (op > 4)
            return false;
        if (op < 4 && rn == 15) {  // LE, LETP: back to the loop start
            if (op == 3)
                return false;
            plain_mnemonic(s, op == 1 ? "letp" : "le");
            if (op != 2)
                text_appendf(s, "lr, ");
            target = pc - low;
        } else {  // WLS, WLSTP: forward past the loop
            if (bad_rn)
                return false;
            char name[12];
            if (op == 4)
                strlcpy_s(name, "wls", sizeof name);
            else
                snprintf(name, sizeof name, "wlstp.%u", 8u << op);
            plain_mnemonic(s, name);
            text_appendf(s, "lr, %s, ", reg(rn));
            target = pc + low;
        }
        add_branch_target(s, target, true);
        mark_address_type(s, s->address + 4, DISASM_CODE, 0);
        return true;
    }

    if (!future) {  // BFL: S:imm 19 bits
        mnemonic(s, "bfl");
        target = pc + sign_extend((bits(insn, 22, 16) << 12) | low, 19);
    } else if ((op & 4) == 0) {  // BFCSEL: cond, T (else point 2 or 4 bytes on), S:imm 13 bits
        uint32_t fcond = bits(insn, 21, 18);
        if (fcond == 15)
            return false;
        plain_mnemonic(s, "bfcsel");
        target = pc + sign_extend((bits(insn, 16, 16) << 12) | low, 13);
        text_appendf(s, "%x, ", boff * 2);
        add_branch_target(s, target, true);
        text_appendf(s, ", %x, %s", boff * 2 + 2 + bits(insn, 17, 17) * 2, fcond == 14 ? "al" : conditions[fcond]);
        mark_address_type(s, s->address + 4, DISASM_CODE, 0);
        return true;
    } else if ((op & 2) == 0) {  // BF: S:imm 17 bits
        mnemonic(s, "bf");
        target = pc + sign_extend((bits(insn, 20, 16) << 12) | low, 17);
    } else {  // BFX, BFLX: the target in a register
        if (bad_rn)
            return false;
        mnemonic(s, (op & 1) ? "bflx" : "bfx");
        text_appendf(s, "%x, %s", boff * 2, reg(rn));
        return true;
    }
    text_appendf(s, "%x, ", boff * 2);
    add_branch_target(s, target, true);
    mark_address_type(s, s->address + 4, DISASM_CODE, 0);
    return true;
}

bool branch_misc(ARMSTATE* s, uint32_t insn) {
    uint32_t op1 = bits(insn, 14, 12);
    uint32_t sbit = bits(insn, 26, 26);
    uint32_t j1 = bits(insn, 13, 13), j2 = bits(insn, 11, 11);
    uint32_t hw1 = insn >> 16, hw2 = insn & 0xFFFFu;

    if ((hw2 & 0xD001) == 0xC001)  // BLX with bit 0 set
        return branch_future(s, insn);
    if ((op1 & 5) != 0) {
        // B.W, BL, BLX: S:I1:I2:imm10:imm11:0
        uint32_t i1 = (~(j1 ^ sbit)) & 1, i2 = (~(j2 ^ sbit)) & 1;
        uint32_t off = (sbit << 24) | (i1 << 23) | (i2 << 22) | (bits(insn, 25, 16) << 12) | (bits(insn, 10, 0) << 1);
        if (sbit)
            off |= 0xFE000000u;
        uint32_t base = s->address + 4;
        const char* name = "b";
        bool is_blx = false;
        if ((op1 & 5) == 4) {  // BLX to ARM code
            if ((insn & 1) != 0)
                return false;
            name = "blx";
            is_blx = true;
            base &= ~3u;
        } else if ((op1 & 5) == 5) {
            name = "bl";
        }
        uint32_t target = base + off;
        mnemonic(s, name);
        add_branch_target(s, target, true);
        if (is_blx)
            disasm_symbol(s, nullptr, target, 1);
        return true;
    }

    uint32_t op = bits(insn, 26, 20);
    if ((op & 0x38) != 0x38) {
        // B<cond>.W: S:J2:J1:imm6:imm11:0
        uint32_t cond = bits(insn, 25, 22);
        uint32_t off = (sbit << 20) | (j2 << 19) | (j1 << 18) | (bits(insn, 21, 16) << 12) | (bits(insn, 10, 0) << 1);
        if (sbit)
            off |= 0xFFE00000u;
        text_appendf(s, "b%s", conditions[cond]);
        padinstr(s);
        add_branch_target(s, s->address + 4 + off, true);
        // execution may fall through: what follows is code as well
        mark_address_type(s, s->address + 4, DISASM_CODE, 0);
        return true;
    }

    switch (op) {
        case 0x38:
        case 0x39:    // MSR
        case 0x3E:
        case 0x3F: {  // MRS
            // M profile has no SPSR (the R bit) and no banked registers (bit 5
            // of the second halfword); objdump reads both the A-profile way.
            bool is_msr = op < 0x3A;
            if ((hw2 & 0x2020) != 0 || (op & 1) != 0)
                return false;
            // MSR writes no field with mask 00, and only the xPSR group has
            // fields other than the whole register (mask 10).
            uint32_t sysm = bits(insn, 7, 0), mask = bits(insn, 11, 10);
            if (is_msr && (mask == 0 || (sysm > 3 && mask != 2)))
                return false;
            const char* name = sysreg_name(sysm, mask << 2, is_msr);
            if (name == nullptr)
                return false;
            mnemonic(s, is_msr ? "msr" : "mrs");
            if (is_msr)
                text_appendf(s, "%s, %s", name, reg(bits(insn, 19, 16)));
            else
                text_appendf(s, "%s, %s", reg(bits(insn, 11, 8)), name);
            return true;
        }
        case 0x3A: {  // hints
            if (hw1 != 0xF3AF || (hw2 & 0xFF00) != 0x8000)
                return false;
            uint32_t hint = bits(insn, 7, 0);
            static const char* const hints[6] = {"nop", "yield", "wfe", "wfi", "sev", "sevl"};
            if (hint < 6) {
                bare_mnemonic(s, hints[hint]);
            } else if (hint == 0x10) {
                bare_mnemonic(s, "esb");
            } else if (hint == 0x14) {
                bare_mnemonic(s, "csdb");
            } else if (hint == 0x0F) {
                text_appendf(s, "bti");
            } else if (hint == 0x0D || hint == 0x1D || hint == 0x2D) {  // r12 from lr, modified by sp
                plain_mnemonic(s, hint == 0x0D ? "pacbti" : hint == 0x1D ? "pac" : "aut");
                text_appendf(s, "%s, %s, %s", reg(12), reg(14), reg(13));
            } else if ((hint & 0xF0) == 0xF0) {
                mnemonic(s, "dbg");
                text_appendf(s, "#%u", hint & 15);
            } else {
                mnemonic(s, "nop");
                text_appendf(s, "{%u}", hint);
                append_comment_hex(s, hint);
            }
            return true;
        }
        case 0x3B: {  // barriers
            if (hw1 != 0xF3BF || (hw2 & 0xFF00) != 0x8F00)
                return false;
            uint32_t kind = bits(insn, 7, 4), opt = bits(insn, 3, 0);
            const char* name = nullptr;
            if (kind == 2 && opt == 15) {
                bare_mnemonic(s, "clrex");
                return true;
            }
            if (kind == 4 && opt == 0) name = "ssbb";
            else if (kind == 4 && opt == 4) name = "pssbb";
            else if (kind == 4 && opt == 12) name = "dfb";
            if (name != nullptr) {
                bare_mnemonic(s, name);
                return true;
            }
            if (kind == 4) name = "dsb";
            else if (kind == 5) name = "dmb";
            else if (kind == 6) name = "isb";
            else return false;
            mnemonic(s, name);
            const char* o = (kind == 6 && opt != 15) ? nullptr : barrier_option(opt);
            if (o != nullptr)
                text_appendf(s, "%s", o);
            else
                text_appendf(s, "#%u", opt);
            return true;
        }
        case 0x3C:  // BXJ
            if ((hw2 & 0x2FFF) != 0x0F00)
                return false;
            mnemonic(s, "bxj");
            text_appendf(s, "%s", reg(bits(insn, 19, 16)));
            return true;
        case 0x3D:  // SUBS PC, LR, #imm8 (exception return)
            if (hw1 != 0xF3DE || (hw2 & 0x2F00) != 0x0F00)
                return false;
            mnemonic(s, "subs");
            text_appendf(s, "pc, lr, #%u", bits(insn, 7, 0));
            return true;
        case 0x7E:
            if (op1 == 0) {  // HVC
                uint32_t imm = (bits(insn, 19, 16) << 12) | bits(insn, 11, 0);
                mnemonic(s, "hvc");
                text_appendf(s, "#%u", imm);
                append_comment_hex(s, imm);
                return true;
            }
            return false;
        case 0x7F:
            if (op1 == 0) {  // SMC
                mnemonic(s, "smc");
                text_appendf(s, "#%u", bits(insn, 19, 16));
                return true;
            }
            if (op1 == 2) {  // permanently undefined
                uint32_t imm = (bits(insn, 19, 16) << 12) | bits(insn, 11, 0);
                mnemonic(s, "udf");
                text_appendf(s, "#%u", imm);
                append_comment_hex(s, imm);
                return true;
            }
            return false;
        default:
            return false;
    }
}

// "[Rn, #+/-imm]" with the P/U/W bits of an 8-bit offset. objdump drops a
// zero offset of a single load/store entirely, but writes the sign of a
// zero LDRD/STRD offset ("#-0") and keeps "[Rn]" for an added zero.
void append_index_imm(ARMSTATE* s, uint32_t rn, bool p, bool u, bool w, uint32_t imm, bool dual) {
    const char* sign = u ? "" : "-";
    if (p) {
        if (imm == 0 && (!dual || u))
            text_appendf(s, "[%s]%s", reg(rn), (w && !dual) ? "!" : "");
        else
            text_appendf(s, "[%s, #%s%u]%s", reg(rn), sign, imm, w ? "!" : "");
    } else {
        text_appendf(s, "[%s], #%s%u", reg(rn), (imm == 0 && !dual) ? "" : sign, imm);
    }
    append_comment_hex(s, imm);
}

// Armv8.1-M conditional select (in ORRS with bit 15 of the second halfword
// set): Rn or Rm 15 is the zero register. With Rn equal to Rm and a real
// condition the aliases CINC, CSET, CINV, CSETM, CNEG take the inverted one.
bool cond_select(ARMSTATE* s, uint32_t insn) {
    uint32_t op = bits(insn, 14, 12), rn = bits(insn, 19, 16), rd = bits(insn, 11, 8);
    uint32_t fcond = bits(insn, 7, 4), rm = bits(insn, 3, 0);
    if (op > 3 || rd == 13 || rd == 15 || rn == 13 || rm == 13 || fcond == 15)
        return false;
    const char* zn = rn == 15 ? "zr" : reg(rn);
    const char* zm = rm == 15 ? "zr" : reg(rm);
    if (rn == rm && fcond < 14 && op != 0) {
        const char* inv = conditions[fcond ^ 1];
        if (rn == 15 && op != 3) {
            mnemonic(s, op == 1 ? "cset" : "csetm");
            text_appendf(s, "%s, %s", reg(rd), inv);
        } else {
            mnemonic(s, op == 1 ? "cinc" : op == 2 ? "cinv" : "cneg");
            text_appendf(s, "%s, %s, %s", reg(rd), zn, inv);
        }
        return true;
    }
    static const char* const names[4] = {"csel", "csinc", "csinv", "csneg"};
    mnemonic(s, names[op]);
    text_appendf(s, "%s, %s, %s, %s", reg(rd), zn, zm, fcond == 14 ? "al" : conditions[fcond]);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Data processing with a constant-shifted register.
bool thumb2_constshift(ARMSTATE* s, uint32_t insn) {
    s->size = 4;
    uint32_t op = bits(insn, 24, 21);
    bool sflag = bits(insn, 20, 20) != 0;
    uint32_t rn = bits(insn, 19, 16), rd = bits(insn, 11, 8), rm = bits(insn, 3, 0);
    int type = static_cast<int>(bits(insn, 5, 4));
    int amount = static_cast<int>((bits(insn, 14, 12) << 2) | bits(insn, 7, 6));
    if (bits(insn, 15, 15) != 0)
        return (op == 2 && sflag) ? cond_select(s, insn) : false;

    if (op == 6) {  // PKHBT / PKHTB
        if (sflag || (type & 1) != 0)
            return false;
        mnemonic(s, type == 0 ? "pkhbt" : "pkhtb");
        text_appendf(s, "%s, %s, %s", reg(rd), reg(rn), reg(rm));
        if (type == 2 || amount != 0)
            append_shift(s, type, amount);
        return true;
    }

    const char* name = nullptr;
    int form = 3;  // 1: Rn, Rm; 2: Rd, Rm; 3: Rd, Rn, Rm
    switch (op) {
        case 0: name = "and"; if (rd == 15 && sflag) { name = "tst"; form = 1; } break;
        case 1: name = "bic"; break;
        // A move with a shift is the shift itself: lsl/lsr/asr/ror rd, rm, #n
        // and rrx rd, rm, the architecture's preferred text (objdump keeps
        // "mov.w rd, rm, lsl #n").
        case 2: name = "orr"; if (rn == 15) { name = "mov"; form = (type == 0 && amount == 0) ? 2 : 4; } break;
        case 3: name = "orn"; if (rn == 15) { name = "mvn"; form = 2; } break;
        case 4: name = "eor"; if (rd == 15 && sflag) { name = "teq"; form = 1; } break;
        case 8: name = "add"; if (rd == 15 && sflag) { name = "cmn"; form = 1; } break;
        case 10: name = "adc"; break;
        case 11: name = "sbc"; break;
        case 13: name = "sub"; if (rd == 15 && sflag) { name = "cmp"; form = 1; } break;
        case 14: name = "rsb"; break;
        default: return false;
    }
    if (form == 4) {
        bool rrx = type == 3 && amount == 0;
        mnemonic(s, rrx ? "rrx" : shift_type(type), sflag);
        text_appendf(s, "%s, %s", reg(rd), reg(rm));
        if (!rrx) text_appendf(s, ", #%d", amount == 0 ? 32 : amount);
        return true;
    }
    mnemonic(s, name, sflag && form != 1);
    if (form == 1)
        text_appendf(s, "%s, %s", reg(rn), reg(rm));
    else if (form == 2)
        text_appendf(s, "%s, %s", reg(rd), reg(rm));
    else
        text_appendf(s, "%s, %s, %s", reg(rd), reg(rn), reg(rm));
    append_shift(s, type, amount);
    return true;
}

// Register-controlled shifts and the sign/zero extends (with add).
bool thumb2_regshift_sx(ARMSTATE* s, uint32_t insn) {
    s->size = 4;
    if (bits(insn, 15, 12) != 15)
        return false;
    uint32_t rn = bits(insn, 19, 16), rd = bits(insn, 11, 8), rm = bits(insn, 3, 0);
    if (bits(insn, 7, 7) == 0) {
        if (bits(insn, 6, 4) != 0)
            return false;
        mnemonic(s, shift_type(static_cast<int>(bits(insn, 22, 21))), bits(insn, 20, 20) != 0);
        text_appendf(s, "%s, %s, %s", reg(rd), reg(rn), reg(rm));
        return true;
    }
    if (bits(insn, 6, 6) != 0)
        return false;
    static const char* const ext[6] = {"sxth", "uxth", "sxtb16", "uxtb16", "sxtb", "uxtb"};
    static const char* const ext_add[6] = {"sxtah", "uxtah", "sxtab16", "uxtab16", "sxtab", "uxtab"};
    uint32_t op = bits(insn, 22, 20);
    if (op > 5)
        return false;
    uint32_t rot = bits(insn, 5, 4) * 8;
    if (rn == 15) {
        mnemonic(s, ext[op]);
        text_appendf(s, "%s, %s", reg(rd), reg(rm));
    } else {
        mnemonic(s, ext_add[op]);
        text_appendf(s, "%s, %s, %s", reg(rd), reg(rn), reg(rm));
    }
    if (rot != 0)
        text_appendf(s, ", ror #%u", rot);
    return true;
}

// Parallel add/subtract, saturating arithmetic, reverses, select, count.
bool thumb2_simd_misc(ARMSTATE* s, uint32_t insn) {
    s->size = 4;
    if (bits(insn, 15, 12) != 15)
        return false;
    uint32_t rn = bits(insn, 19, 16), rd = bits(insn, 11, 8), rm = bits(insn, 3, 0);
    uint32_t op1 = bits(insn, 22, 20);
    if (bits(insn, 7, 7) == 0) {
        static const char* const ops[8] = {"add8", "add16", "asx", nullptr, "sub8", "sub16", "sax", nullptr};
        static const char* const prefixes[8] = {"s", "q", "sh", nullptr, "u", "uq", "uh", nullptr};
        const char* o = ops[op1];
        const char* p = prefixes[bits(insn, 6, 4)];
        if (o == nullptr || p == nullptr)
            return false;
        char name[16];
        strlcpy_s(name, p, sizeof name);
        strlcat_s(name, o, sizeof name);
        mnemonic(s, name);
        text_appendf(s, "%s, %s, %s", reg(rd), reg(rn), reg(rm));
        return true;
    }
    uint32_t op2 = bits(insn, 5, 4);
    if ((op1 & 6) == 4 && bits(insn, 6, 6) == 0) {  // CRC32{C}B/H/W
        static const char* const crc[2][3] = {{"crc32b", "crc32h", "crc32w"}, {"crc32cb", "crc32ch", "crc32cw"}};
        if (op2 == 3)
            return false;
        mnemonic(s, crc[op1 & 1][op2]);
        text_appendf(s, "%s, %s, %s", reg(rd), reg(rn), reg(rm));
        return true;
    }
    if (bits(insn, 6, 6) != 0 || op1 > 3)
        return false;
    switch (op1) {
        case 0: {
            static const char* const q[4] = {"qadd", "qdadd", "qsub", "qdsub"};
            mnemonic(s, q[op2]);
            text_appendf(s, "%s, %s, %s", reg(rd), reg(rm), reg(rn));
            return true;
        }
        case 1: {
            static const char* const r[4] = {"rev", "rev16", "rbit", "revsh"};
            mnemonic(s, r[op2]);
            text_appendf(s, "%s, %s", reg(rd), reg(rn));
            return true;
        }
        case 2:
            if (op2 != 0)
                return false;
            mnemonic(s, "sel");
            text_appendf(s, "%s, %s, %s", reg(rd), reg(rn), reg(rm));
            return true;
        default:
            if (op2 != 0)
                return false;
            mnemonic(s, "clz");
            text_appendf(s, "%s, %s", reg(rd), reg(rn));
            return true;
    }
}

// Multiplies and multiply-accumulates with a 32-bit result.
bool thumb2_mult32_acc(ARMSTATE* s, uint32_t insn) {
    s->size = 4;
    if (bits(insn, 7, 6) != 0)
        return false;
    uint32_t rn = bits(insn, 19, 16), ra = bits(insn, 15, 12), rd = bits(insn, 11, 8), rm = bits(insn, 3, 0);
    uint32_t op1 = bits(insn, 22, 20), op2 = bits(insn, 5, 4);
    bool acc = ra != 15;
    // Armv8.1-M pointer authentication took over SMMLS without Ra and SMMLA
    // and SMMLAR with Rd = pc.
    if (op1 == 6 && op2 == 0 && ra == 15) {
        mnemonic(s, "pacg");
        text_appendf(s, "%s, %s, %s", reg(rd), reg(rn), reg(rm));
        return true;
    }
    if (op1 == 5 && op2 <= 1 && rd == 15) {
        mnemonic(s, op2 == 0 ? "autg" : "bxaut");
        text_appendf(s, "%s, %s, %s", reg(ra), reg(rn), reg(rm));
        return true;
    }
    char name[16] = "";
    switch (op1) {
        case 0:
            if (op2 == 0)
                strlcpy_s(name, acc ? "mla" : "mul", sizeof name);
            else if (op2 == 1)
                strlcpy_s(name, "mls", sizeof name), acc = true;
            else
                return false;
            break;
        case 1:
            strlcpy_s(name, acc ? "smla" : "smul", sizeof name);
            strlcat_s(name, (op2 & 2) ? "t" : "b", sizeof name);
            strlcat_s(name, (op2 & 1) ? "t" : "b", sizeof name);
            break;
        case 2:
        case 4:
            if (op2 > 1)
                return false;
            if (op1 == 2)
                strlcpy_s(name, acc ? "smlad" : "smuad", sizeof name);
            else
                strlcpy_s(name, acc ? "smlsd" : "smusd", sizeof name);
            if (op2 & 1)
                strlcat_s(name, "x", sizeof name);
            break;
        case 3:
            if (op2 > 1)
                return false;
            strlcpy_s(name, acc ? "smlaw" : "smulw", sizeof name);
            strlcat_s(name, (op2 & 1) ? "t" : "b", sizeof name);
            break;
        case 5:
        case 6:
            if (op2 > 1)
                return false;
            if (op1 == 5)
                strlcpy_s(name, acc ? "smmla" : "smmul", sizeof name);
            else
                strlcpy_s(name, "smmls", sizeof name), acc = true;
            if (op2 & 1)
                strlcat_s(name, "r", sizeof name);
            break;
        default:
            if (op2 != 0)
                return false;
            strlcpy_s(name, acc ? "usada8" : "usad8", sizeof name);
            break;
    }
    mnemonic(s, name);
    text_appendf(s, "%s, %s, %s", reg(rd), reg(rn), reg(rm));
    if (acc)
        text_appendf(s, ", %s", reg(ra));
    return true;
}

// Long multiplies, long multiply-accumulates and the divides.
bool thumb2_mult64_acc(ARMSTATE* s, uint32_t insn) {
    s->size = 4;
    uint32_t rn = bits(insn, 19, 16), rlo = bits(insn, 15, 12), rhi = bits(insn, 11, 8), rm = bits(insn, 3, 0);
    uint32_t op1 = bits(insn, 22, 20), op2 = bits(insn, 7, 4);
    char name[16] = "";
    switch (op1) {
        case 0: if (op2 != 0) return false; strlcpy_s(name, "smull", sizeof name); break;
        case 2: if (op2 != 0) return false; strlcpy_s(name, "umull", sizeof name); break;
        case 1:
        case 3:
            if (op2 != 15 || rlo != 15)
                return false;
            mnemonic(s, op1 == 1 ? "sdiv" : "udiv");
            text_appendf(s, "%s, %s, %s", reg(rhi), reg(rn), reg(rm));
            return true;
        case 4:
            if (op2 == 0) {
                strlcpy_s(name, "smlal", sizeof name);
            } else if ((op2 & 0xC) == 8) {
                strlcpy_s(name, "smlal", sizeof name);
                strlcat_s(name, (op2 & 2) ? "t" : "b", sizeof name);
                strlcat_s(name, (op2 & 1) ? "t" : "b", sizeof name);
            } else if ((op2 & 0xE) == 0xC) {
                strlcpy_s(name, (op2 & 1) ? "smlaldx" : "smlald", sizeof name);
            } else {
                return false;
            }
            break;
        case 5:
            if ((op2 & 0xE) != 0xC)
                return false;
            strlcpy_s(name, (op2 & 1) ? "smlsldx" : "smlsld", sizeof name);
            break;
        case 6:
            if (op2 == 0)
                strlcpy_s(name, "umlal", sizeof name);
            else if (op2 == 6)
                strlcpy_s(name, "umaal", sizeof name);
            else
                return false;
            break;
        default:
            return false;
    }
    mnemonic(s, name);
    text_appendf(s, "%s, %s, %s, %s", reg(rlo), reg(rhi), reg(rn), reg(rm));
    return true;
}

// Immediate data processing, branches and miscellaneous control.
bool thumb2_imm_br_misc(ARMSTATE* s, uint32_t insn) {
    s->size = 4;
    if (bits(insn, 15, 15) != 0)
        return branch_misc(s, insn);
    if (bits(insn, 25, 25) == 0)
        return dp_modified_imm(s, insn);
    return dp_plain_imm(s, insn);
}

// Single loads and stores, preloads.
bool thumb2_loadstor(ARMSTATE* s, uint32_t insn) {
    s->size = 4;
    bool sgn = bits(insn, 24, 24) != 0;
    bool up = bits(insn, 23, 23) != 0;
    uint32_t size = bits(insn, 22, 21);
    bool load = bits(insn, 20, 20) != 0;
    uint32_t rn = bits(insn, 19, 16), rt = bits(insn, 15, 12);
    if (size == 3 || (sgn && (size == 2 || !load)))
        return false;
    bool lit = rn == 15;

    // Addressing form: 0 imm12, 1 register, 2 imm8 with P/U/W
    int form = (up || lit) ? 0 : (bits(insn, 11, 11) ? 2 : 1);
    bool p = bits(insn, 10, 10) != 0, u8 = bits(insn, 9, 9) != 0, w = bits(insn, 8, 8) != 0;
    // A PC-relative load is a literal load whatever its offset bits say; a
    // PC-relative store is undefined, and there objdump's reading stands.
    // An index that is neither a register (bits 11:6 zero; objdump tests
    // bits 10:8 alone) nor an 8-bit offset with P or W set is unallocated.
    if ((form == 1 && bits(insn, 10, 8) != 0) || (form == 2 && !p && !w))
        return false;
    bool unpriv = form == 2 && p && u8 && !w;
    if (lit && !load && !up && bits(insn, 11, 8) == 0xE)
        unpriv = true;

    // Byte and unsigned halfword loads into PC are preloads; objdump keeps
    // that reading for the unpredictable indexed forms too.
    const char* hint = nullptr;
    if (load && rt == 15) {
        if (size == 0)
            hint = sgn ? "pli" : "pld";
        else if (size == 1 && !sgn)
            hint = "pldw";
    }

    if (hint != nullptr) {
        mnemonic(s, hint);
    } else {
        char name[12];
        strlcpy_s(name, load ? "ldr" : "str", sizeof name);
        if (sgn)
            strlcat_s(name, "s", sizeof name);
        if (size == 0)
            strlcat_s(name, "b", sizeof name);
        else if (size == 1)
            strlcat_s(name, "h", sizeof name);
        if (unpriv)
            strlcat_s(name, "t", sizeof name);
        mnemonic(s, name);
        text_appendf(s, "%s, ", reg(rt));
    }

    if (lit) {
        uint32_t imm = bits(insn, 11, 0);
        uint32_t addr = ((s->address + 4) & ~3u) + (up ? imm : 0u - imm);
        if (imm == 0)
            text_appendf(s, "[pc]");
        else
            text_appendf(s, "[pc, #%s%u]", up ? "" : "-", imm);
        if (load && hint == nullptr && rt != 15) {
            mark_literal(s, addr);
        } else if (s->add_cmt) {
            char buf[16];
            snprintf(buf, sizeof buf, "0x%08x", addr);
            append_comment(s, nullptr, buf);
        }
        return true;
    }
    if (form == 0) {
        uint32_t imm = bits(insn, 11, 0);
        if (imm == 0)
            text_appendf(s, "[%s]", reg(rn));
        else
            text_appendf(s, "[%s, #%u]", reg(rn), imm);
        append_comment_hex(s, imm);
        return true;
    }
    if (form == 1) {
        uint32_t sh = bits(insn, 5, 4);
        if (sh == 0)
            text_appendf(s, "[%s, %s]", reg(rn), reg(bits(insn, 3, 0)));
        else
            text_appendf(s, "[%s, %s, lsl #%u]", reg(rn), reg(bits(insn, 3, 0)), sh);
        return true;
    }
    append_index_imm(s, rn, p, u8, w, bits(insn, 7, 0), false);
    return true;
}

// Dual and exclusive loads/stores, acquire/release, table branches,
// test-target and secure gateway.
bool thumb2_loadstor2(ARMSTATE* s, uint32_t insn) {
    s->size = 4;
    uint32_t op1 = bits(insn, 24, 23), op2 = bits(insn, 21, 20);
    uint32_t rn = bits(insn, 19, 16), rt = bits(insn, 15, 12), rt2 = bits(insn, 11, 8);
    uint32_t imm8 = bits(insn, 7, 0);

    if (insn == 0xE97FE97Fu) {
        bare_mnemonic(s, "sg");
        return true;
    }
    if (op1 == 0 && op2 == 0) {
        if (rt == 15 && bits(insn, 5, 0) == 0) {  // TT, TTT, TTA, TTAT
            static const char* const tt[4] = {"tt", "ttt", "tta", "ttat"};
            mnemonic(s, tt[bits(insn, 7, 6)]);
            text_appendf(s, "%s, %s", reg(rt2), reg(rn));
            return true;
        }
        mnemonic(s, "strex");
        text_appendf(s, "%s, %s, ", reg(rt2), reg(rt));
        if (imm8 == 0)
            text_appendf(s, "[%s]", reg(rn));
        else
            text_appendf(s, "[%s, #%u]", reg(rn), imm8 * 4);
        return true;
    }
    if (op1 == 0 && op2 == 1) {
        if (rt2 != 15)
            return false;
        mnemonic(s, "ldrex");
        text_appendf(s, "%s, ", reg(rt));
        if (imm8 == 0)
            text_appendf(s, "[%s]", reg(rn));
        else
            text_appendf(s, "[%s, #%u]", reg(rn), imm8 * 4);
        return true;
    }
    if (op1 == 1 && (op2 == 0 || op2 == 1)) {
        uint32_t op3 = bits(insn, 7, 4), rd = bits(insn, 3, 0);
        bool load = op2 == 1;
        if (load && op3 <= 1) {
            if (bits(insn, 15, 8) != 0xF0)
                return false;
            mnemonic(s, op3 == 0 ? "tbb" : "tbh");
            text_appendf(s, "[%s, %s%s]", reg(rn), reg(rd), op3 == 1 ? ", lsl #1" : "");
            return true;
        }
        static const char* const ex_ld[16] = {
            nullptr, nullptr, nullptr,  nullptr,  "ldrexb", "ldrexh", nullptr, "ldrexd",
            "ldab",  "ldah",  "lda",    nullptr,  "ldaexb", "ldaexh", "ldaex", "ldaexd",
        };
        static const char* const ex_st[16] = {
            nullptr, nullptr, nullptr,  nullptr,  "strexb", "strexh", nullptr, "strexd",
            "stlb",  "stlh",  "stl",    nullptr,  "stlexb", "stlexh", "stlex", "stlexd",
        };
        const char* name = load ? ex_ld[op3] : ex_st[op3];
        if (name == nullptr)
            return false;
        bool dual = op3 == 7 || op3 == 15;
        bool has_status = !load && (op3 & 4) != 0;
        if (!dual && rt2 != 15)
            return false;
        if (load && rd != 15)
            return false;
        if (!load && !has_status && rd != 15)
            return false;
        mnemonic(s, name);
        if (has_status)
            text_appendf(s, "%s, ", reg(rd));
        text_appendf(s, "%s, ", reg(rt));
        if (dual)
            text_appendf(s, "%s, ", reg(rt2));
        text_appendf(s, "[%s]", reg(rn));
        return true;
    }

    // LDRD / STRD
    bool p = bits(insn, 24, 24) != 0, u = bits(insn, 23, 23) != 0, w = bits(insn, 21, 21) != 0;
    bool load = bits(insn, 20, 20) != 0;
    uint32_t imm = imm8 * 4;
    mnemonic(s, load ? "ldrd" : "strd");
    text_appendf(s, "%s, %s, ", reg(rt), reg(rt2));
    append_index_imm(s, rn, p, u, w, imm, true);
    if (rn == 15 && p) {
        uint32_t addr = ((s->address + 4) & ~3u) + (u ? imm : 0u - imm);
        if (load && !w) {
            mark_address_type(s, addr + 4, DISASM_DATA, 4);
            mark_literal(s, addr);
        } else if (s->add_cmt) {
            char buf[16];
            snprintf(buf, sizeof buf, "0x%08x", addr);
            append_comment(s, nullptr, buf);
        }
    }
    return true;
}

// Load/store multiple, push/pop, and return-from-exception/store-return-state.
bool thumb2_loadstor_mul(ARMSTATE* s, uint32_t insn) {
    s->size = 4;
    uint32_t op = bits(insn, 24, 23);
    bool w = bits(insn, 21, 21) != 0, load = bits(insn, 20, 20) != 0;
    uint32_t rn = bits(insn, 19, 16);
    uint32_t list = insn & 0xFFFFu;

    if (op == 0 || op == 3) {
        const char* suffix = op == 0 ? "db" : "ia";
        char name[8];
        if (load) {
            if (list != 0xC000)
                return false;
            strlcpy_s(name, "rfe", sizeof name);
            strlcat_s(name, suffix, sizeof name);
            mnemonic(s, name);
            text_appendf(s, "%s%s", reg(rn), w ? "!" : "");
        } else {
            if ((list & 0xFFE0) != 0xC000)
                return false;
            strlcpy_s(name, "srs", sizeof name);
            strlcat_s(name, suffix, sizeof name);
            mnemonic(s, name);
            // the base field should read sp; objdump shows whatever it holds
            text_appendf(s, "%s%s, #%u", reg(rn), w ? "!" : "", list & 31);
        }
        return true;
    }

    bool ia = op == 1;
    if (ia && load && !w && rn == 15) {
        // Armv8.1-M CLRM: bit 15 names APSR, bit 13 must be clear
        if ((list & 0x2000) != 0 || list == 0)
            return false;
        char buf[96] = "";
        add_reglist(buf, sizeof buf, list & 0x5FFFu);
        size_t n = strnlen(buf, sizeof buf);
        if ((list & 0x8000) != 0 && n >= 2) {
            buf[n - 1] = '\0';
            strlcat_s(buf, (list & 0x5FFF) != 0 ? ", APSR}" : "APSR}", sizeof buf);
        }
        mnemonic(s, "clrm");
        strlcat_s(s->text, buf, sizeof s->text);
        return true;
    }
    if (rn == 13 && w && ia == load) {
        mnemonic(s, load ? "pop" : "push");
        append_reglist(s, list);
        return true;
    }
    mnemonic(s, load ? (ia ? "ldmia" : "ldmdb") : (ia ? "stmia" : "stmdb"));
    text_appendf(s, "%s%s, ", reg(rn), w ? "!" : "");
    append_reglist(s, list);
    return true;
}
