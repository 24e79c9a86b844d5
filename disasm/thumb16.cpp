// The 16-bit Thumb decoders (ARMv6-M, ARMv7-M, ARMv8-M): one function per
// dispatch row, each writing the objdump form of its instruction. Inside an IT
// block the slot condition replaces the "s" that the data-processing forms
// carry outside one.
#include "disasm/disasm_decoders.h"

static const char* reg(uint32_t r) { return register_name((int)(r & 15)); }

static int32_t sign_extend(uint32_t value, int bits) {
    uint32_t m = 1u << (bits - 1);
    value &= (1u << bits) - 1;
    return (int32_t)((value ^ m) - m);
}

// The slot condition inside an IT block ("al" in an "it al" block), else
// "s" for a flag setter.
static void slot_cond(ARMSTATE* s, int add_s) { add_it_cond(s, add_s); }

// Mnemonic, then the slot condition (or "s" for flag setters), then padding.
static void start(ARMSTATE* s, const char* mnemonic, int add_s) {
    s->text[0] = 0;
    text_appendf(s, "%s", mnemonic);
    slot_cond(s, add_s);
    padinstr(s);
    s->size = 2;
}

// Mnemonic with no IT condition: instructions that are unconditional even
// inside a block (or unpredictable there), which objdump shows bare.
static void start_plain(ARMSTATE* s, const char* mnemonic) {
    s->text[0] = 0;
    text_appendf(s, "%s", mnemonic);
    padinstr(s);
    s->size = 2;
}

static void append_list(ARMSTATE* s, uint32_t mask) {
    char list[96] = "";
    add_reglist(list, sizeof list, mask);
    text_appendf(s, "%s", list);
}

// --- shifts by immediate, add/sub, 8-bit immediates -----------------------------------------

static bool shift_imm(ARMSTATE* s, uint32_t insn, const char* name, bool zero_is_32) {
    uint32_t imm5 = (insn >> 6) & 31, rm = (insn >> 3) & 7, rd = insn & 7;
    if (imm5 == 0 && !zero_is_32) {
        // LSL #0 is the flag-setting register move.
        start(s, "mov", 1);
        text_appendf(s, "%s, %s", reg(rd), reg(rm));
        return true;
    }
    start(s, name, 1);
    text_appendf(s, "%s, %s, #%u", reg(rd), reg(rm), imm5 ? imm5 : 32u);
    return true;
}

bool thumb_lsl(ARMSTATE* s, uint32_t insn) { return shift_imm(s, insn, "lsl", false); }
bool thumb_lsr(ARMSTATE* s, uint32_t insn) { return shift_imm(s, insn, "lsr", true); }
bool thumb_asr(ARMSTATE* s, uint32_t insn) { return shift_imm(s, insn, "asr", true); }

bool thumb_addsub_reg(ARMSTATE* s, uint32_t insn) {
    start(s, (insn & 0x0200) ? "sub" : "add", 1);
    text_appendf(s, "%s, %s, %s", reg(insn & 7), reg((insn >> 3) & 7), reg((insn >> 6) & 7));
    return true;
}

bool thumb_addsub_imm(ARMSTATE* s, uint32_t insn) {
    start(s, (insn & 0x0200) ? "sub" : "add", 1);
    text_appendf(s, "%s, %s, #%u", reg(insn & 7), reg((insn >> 3) & 7), (insn >> 6) & 7);
    return true;
}

bool thumb_immop(ARMSTATE* s, uint32_t insn) {
    static const char* const names[4] = {"mov", "cmp", "add", "sub"};
    uint32_t op = (insn >> 11) & 3, imm8 = insn & 0xFF;
    start(s, names[op], op != 1);
    text_appendf(s, "%s, #%u", reg((insn >> 8) & 7), imm8);
    append_comment_hex(s, imm8);
    return true;
}

// --- register data processing ---------------------------------------------------------------

bool thumb_regop(ARMSTATE* s, uint32_t insn) {
    // RSB #0 is shown as "neg"; the compares set flags without an "s".
    static const char* const names[16] = {"and", "eor", "lsl", "lsr", "asr", "adc", "sbc", "ror",
                                          "tst", "neg", "cmp", "cmn", "orr", "mul", "bic", "mvn"};
    uint32_t op = (insn >> 6) & 15;
    bool compare = op == 8 || op == 10 || op == 11;
    start(s, names[op], compare ? 0 : 1);
    text_appendf(s, "%s, %s", reg(insn & 7), reg((insn >> 3) & 7));
    return true;
}

bool thumb_regop_hi(ARMSTATE* s, uint32_t insn) {
    uint32_t rdn = ((insn >> 4) & 8) | (insn & 7), rm = (insn >> 3) & 15;
    switch ((insn >> 8) & 3) {
        case 0: start(s, "add", 0); break;
        case 1: start(s, "cmp", 0); break;
        case 2:
            if (rdn == 8 && rm == 8) {
                // The classic Thumb no-op; objdump names it so.
                start(s, "nop", 0);
                append_comment(s, nullptr, "mov r8, r8");
                return true;
            }
            start(s, "mov", 0);
            break;
        default: return false;
    }
    text_appendf(s, "%s, %s", reg(rdn), reg(rm));
    return true;
}

bool thumb_branch_exch(ARMSTATE* s, uint32_t insn) {
    bool link = (insn & 0x80) != 0, ns = (insn & 7) == 4;
    // Bits 2:0 should be zero (100 is the non-secure form). A BX with other
    // bits there still branches, as objdump shows; a BLX so encoded is not
    // decoded.
    if (link && (insn & 7) != 0 && !ns) return false;
    // objdump leaves the IT condition off the non-secure forms.
    if (ns) start_plain(s, link ? "blxns" : "bxns");
    else start(s, link ? "blx" : "bx", 0);
    text_appendf(s, "%s", reg(insn >> 3));
    return true;
}

// --- loads and stores ------------------------------------------------------------------------

bool thumb_load_lit(ARMSTATE* s, uint32_t insn) {
    uint32_t offset = (insn & 0xFF) * 4;
    start(s, "ldr", 0);
    text_appendf(s, "%s, [pc, #%u]", reg((insn >> 8) & 7), offset);
    mark_literal(s, ((s->address + 4) & ~3u) + offset);
    return true;
}

bool thumb_loadstor_reg(ARMSTATE* s, uint32_t insn) {
    static const char* const names[8] = {"str", "strh", "strb", "ldrsb", "ldr", "ldrh", "ldrb", "ldrsh"};
    start(s, names[(insn >> 9) & 7], 0);
    text_appendf(s, "%s, [%s, %s]", reg(insn & 7), reg((insn >> 3) & 7), reg((insn >> 6) & 7));
    return true;
}

static bool loadstor_offset(ARMSTATE* s, uint32_t insn, const char* name, uint32_t scale) {
    uint32_t offset = ((insn >> 6) & 31) * scale;
    start(s, name, 0);
    text_appendf(s, "%s, [%s, #%u]", reg(insn & 7), reg((insn >> 3) & 7), offset);
    append_comment_hex(s, offset);
    return true;
}

bool thumb_loadstor_imm(ARMSTATE* s, uint32_t insn) {
    bool load = (insn & 0x0800) != 0;
    if (insn & 0x1000) return loadstor_offset(s, insn, load ? "ldrb" : "strb", 1);
    return loadstor_offset(s, insn, load ? "ldr" : "str", 4);
}

bool thumb_loadstor_hw(ARMSTATE* s, uint32_t insn) {
    return loadstor_offset(s, insn, (insn & 0x0800) ? "ldrh" : "strh", 2);
}

bool thumb_loadstor_stk(ARMSTATE* s, uint32_t insn) {
    uint32_t offset = (insn & 0xFF) * 4;
    start(s, (insn & 0x0800) ? "ldr" : "str", 0);
    text_appendf(s, "%s, [sp, #%u]", reg((insn >> 8) & 7), offset);
    append_comment_hex(s, offset);
    return true;
}

bool thumb_loadstor_mul(ARMSTATE* s, uint32_t insn) {
    uint32_t rn = (insn >> 8) & 7, list = insn & 0xFF;
    if (list == 0) return false;  // no registers: unpredictable
    bool load = (insn & 0x0800) != 0;
    start(s, load ? "ldmia" : "stmia", 0);
    // A load that includes its base overwrites it, so there is no write-back.
    bool writeback = !(load && (list & (1u << rn)));
    text_appendf(s, "%s%s, ", reg(rn), writeback ? "!" : "");
    append_list(s, list);
    return true;
}

bool thumb_push(ARMSTATE* s, uint32_t insn) {
    uint32_t list = (insn & 0xFF) | ((insn & 0x100) << 6);  // bit 8: lr
    if (list == 0) return false;
    start(s, "push", 0);
    append_list(s, list);
    return true;
}

bool thumb_pop(ARMSTATE* s, uint32_t insn) {
    uint32_t list = (insn & 0xFF) | ((insn & 0x100) << 7);  // bit 8: pc
    if (list == 0) return false;
    start(s, "pop", 0);
    append_list(s, list);
    return true;
}

// --- SP and PC arithmetic ------------------------------------------------------------------------

bool thumb_add_sp_pc_imm(ARMSTATE* s, uint32_t insn) {
    uint32_t offset = (insn & 0xFF) * 4, rd = (insn >> 8) & 7;
    start(s, "add", 0);
    if (insn & 0x0800) {
        text_appendf(s, "%s, sp, #%u", reg(rd), offset);
        append_comment_hex(s, offset);
    } else {
        // ADR: objdump keeps the "add rd, pc" form; the comment gives the address.
        text_appendf(s, "%s, pc, #%u", reg(rd), offset);
        append_comment_hex(s, ((s->address + 4) & ~3u) + offset);
    }
    return true;
}

bool thumb_adj_sp(ARMSTATE* s, uint32_t insn) {
    uint32_t offset = (insn & 0x7F) * 4;
    start(s, (insn & 0x80) ? "sub" : "add", 0);
    text_appendf(s, "sp, #%u", offset);
    append_comment_hex(s, offset);
    return true;
}

// --- extend, reverse ----------------------------------------------------------------------------------

bool thumb_sign_ext(ARMSTATE* s, uint32_t insn) {
    static const char* const names[4] = {"sxth", "sxtb", "uxth", "uxtb"};
    start(s, names[(insn >> 6) & 3], 0);
    text_appendf(s, "%s, %s", reg(insn & 7), reg((insn >> 3) & 7));
    return true;
}

bool thumb_reverse(ARMSTATE* s, uint32_t insn) {
    uint32_t op = (insn >> 6) & 3;
    if (op == 2) {
        // HLT: a halting-debug breakpoint, unconditional like BKPT.
        start_plain(s, "hlt");
        text_appendf(s, "#%u", insn & 0x3F);
        return true;
    }
    static const char* const names[4] = {"rev", "rev16", "", "revsh"};
    start(s, names[op], 0);
    text_appendf(s, "%s, %s", reg(insn & 7), reg((insn >> 3) & 7));
    return true;
}

// --- control ------------------------------------------------------------------------------------------

// SETEND (B650/B658) and, beside it in the encoding space, SETPAN (B610/B618).
bool thumb_endian(ARMSTATE* s, uint32_t insn) {
    if ((insn & 0xFFB7) != 0xB610) return false;
    if (insn & 0x40) {
        start_plain(s, "setend");
        text_appendf(s, "%s", (insn & 8) ? "be" : "le");
    } else {
        start_plain(s, "setpan");
        text_appendf(s, "#%u", (insn >> 3) & 1);
    }
    return true;
}

bool thumb_cpu_state(ARMSTATE* s, uint32_t insn) {
    if (insn & 8) return false;
    s->text[0] = 0;
    text_appendf(s, "%s", (insn & 0x10) ? "cpsid" : "cpsie");
    s->size = 2;
    if ((insn & 7) == 0) return true;  // no flags: objdump shows the bare mnemonic
    padinstr(s);
    text_appendf(s, "%s%s%s", (insn & 4) ? "a" : "", (insn & 2) ? "i" : "", (insn & 1) ? "f" : "");
    return true;
}

bool thumb_break(ARMSTATE* s, uint32_t insn) {
    start_plain(s, "bkpt");
    text_appendf(s, "#%u", insn & 0xFF);
    return true;
}

bool thumb_if_then(ARMSTATE* s, uint32_t insn) {
    uint32_t cond = (insn >> 4) & 15, mask = insn & 15;
    if (mask == 0) {
        static const char* const hints[6] = {"nop", "yield", "wfe", "wfi", "sev", "sevl"};
        s->text[0] = 0;
        text_appendf(s, "%s", cond < 6 ? hints[cond] : "nop");
        slot_cond(s, 0);
        s->size = 2;
        if (cond >= 6) {
            // An unallocated hint executes as a no-op; objdump shows its number.
            padinstr(s);
            text_appendf(s, "{%u}", cond);
        }
        return true;
    }
    // A "never" block is unpredictable, and so is an "always" block with an
    // else slot (its condition would be "never"); "it al" ... "itttt al" are
    // valid.
    if (cond == 15 || (cond == 14 && (mask & (mask - 1)) != 0)) return false;
    s->text[0] = 0;
    text_appendf(s, "it");
    // Each mask bit above the lowest set one names a further slot: "t" when
    // it matches the first condition's lowest bit.
    int last = 0;
    while (!(mask & (1u << last))) ++last;
    for (int bit = 3; bit > last; --bit) text_appendf(s, "%s", ((mask >> bit) & 1) == (cond & 1) ? "t" : "e");
    padinstr(s);
    text_appendf(s, "%s", cond == 14 ? "al" : conditions[cond]);
    s->it_cond = (uint16_t)cond;
    s->it_mask = (uint16_t)(mask | ((cond & 1) << 4) | 0x20);
    s->size = 2;
    return true;
}

// --- branches and exceptions --------------------------------------------------------------------------------

// UDF (condition 14) and SVC (15) share the conditional branch's encoding
// space; both take the slot condition inside an IT block as objdump shows.
static bool udf_svc(ARMSTATE* s, uint32_t insn) {
    uint32_t imm8 = insn & 0xFF;
    start(s, ((insn >> 8) & 15) == 14 ? "udf" : "svc", 0);
    text_appendf(s, "#%u", imm8);
    append_comment_hex(s, imm8);
    return true;
}

bool thumb_condbranch(ARMSTATE* s, uint32_t insn) {
    uint32_t cond = (insn >> 8) & 15;
    if ((insn & 0xF000) != 0xD000) return false;
    if (cond >= 14) return udf_svc(s, insn);
    // Its own condition, even inside an IT block (where it is unpredictable).
    s->text[0] = 0;
    text_appendf(s, "b%s", conditions[cond]);
    padinstr(s);
    s->size = 2;
    uint32_t target = s->address + 4 + (uint32_t)(sign_extend(insn, 8) * 2);
    add_branch_target(s, target, false);
    // Execution may fall through: the next halfword is code as well.
    mark_address_type(s, s->address + 2, DISASM_CODE, 0);
    return true;
}

bool thumb_service(ARMSTATE* s, uint32_t insn) {
    if ((insn & 0xFE00) != 0xDE00) return false;
    return udf_svc(s, insn);
}

bool thumb_cmp_branch(ARMSTATE* s, uint32_t insn) {
    uint32_t offset = ((insn >> 3) & 0x1F) * 2 + ((insn & 0x0200) ? 64 : 0);
    start_plain(s, (insn & 0x0800) ? "cbnz" : "cbz");
    text_appendf(s, "%s, ", reg(insn & 7));
    add_branch_target(s, s->address + 4 + offset, false);
    mark_address_type(s, s->address + 2, DISASM_CODE, 0);
    return true;
}

bool thumb_branch(ARMSTATE* s, uint32_t insn) {
    start(s, "b", 0);
    add_branch_target(s, s->address + 4 + (uint32_t)(sign_extend(insn, 11) * 2), false);
    return true;
}
