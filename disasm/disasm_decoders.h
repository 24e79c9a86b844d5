// The decoders' shared building blocks and the decoder family itself; only
// the disassembler's own files include this.
#pragma once

#include <cstdarg>

#include "disasm/arm_disasm.h"

typedef bool (*DisasmDecoder)(ARMSTATE* s, uint32_t insn);
struct ENCODEMASK16 {
    uint16_t mask, match;
    DisasmDecoder func;
};
struct ENCODEMASK32 {
    uint32_t mask, match;
    DisasmDecoder func;
};

// --- bounded strings: always terminated within `size` ---------------------------
size_t strlcpy_s(char* dst, const char* src, size_t size);
size_t strlcat_s(char* dst, const char* src, size_t size);
// printf-style append to s->text, cut at its end.
void text_appendf(ARMSTATE* s, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// --- names ---------------------------------------------------------------------------
extern const char* const conditions[14];  // eq ... le
const char* register_name(int reg);       // null outside 0..15
const char* shift_type(int type);         // lsl lsr asr ror
const char* special_register(int reg, int mask);

// --- text conventions --------------------------------------------------------------------
void padinstr(ARMSTATE* s);                // mnemonic to column 8 (one space when 8 or longer)
void add_condition(ARMSTATE* s, int cond); // nothing for 14, 15
void add_it_cond(ARMSTATE* s, int add_s);  // slot condition inside IT, else "s" when add_s
int add_reglist(char* text, size_t text_sz, uint32_t mask);  // "{r0-r3, lr}"; returns the count
// ", <shift> #<n>" text for a shifted-register operand into out ("" for LSL #0;
// LSR/ASR #0 mean 32; ROR #0 is "rrx"), without the leading ", ".
void decode_imm_shift(char* out, size_t out_sz, int type, int amount);
uint32_t expand_mod_imm(int i, int imm3, int imm8);  // Thumb-2 modified immediate
bool thumb_is_32bit(uint16_t hw);

// --- comments (only with add_cmt) ------------------------------------------------------------
void append_comment(ARMSTATE* s, const char* sep, const char* text);  // sep null: "; "
void append_comment_hex(ARMSTATE* s, uint32_t value);                 // "0x%08x", only above 9
void append_comment_symbol(ARMSTATE* s, uint32_t addr);               // a symbol exactly at addr

// --- symbols and code/data markers ---------------------------------------------------------
// size 0: the marker holds up to the next one; else it covers `size` bytes.
void mark_address_type(ARMSTATE* s, uint32_t addr, int type, int size);
int lookup_address_type(const ARMSTATE* s, uint32_t addr);
int get_symbol(const ARMSTATE* s, uint32_t addr);
// Records a PC-relative load: s->ldr_addr, a data marker over the word, the
// address as comment.
void mark_literal(ARMSTATE* s, uint32_t addr);
// A branch target: marked as code, printed "0x%07x" (appended to text), and
// with `cmt_symbol` the symbol there as comment.
void add_branch_target(ARMSTATE* s, uint32_t target, bool cmt_symbol);

// --- the dispatch tables (arm_disasm.cpp) -------------------------------------------------
extern const ENCODEMASK16 thumb_table[49];
extern const ENCODEMASK32 arm_table[14];

// --- 16-bit Thumb (thumb16.cpp); insn in bits 15:0 ----------------------------------------
bool thumb_lsl(ARMSTATE*, uint32_t);
bool thumb_lsr(ARMSTATE*, uint32_t);
bool thumb_asr(ARMSTATE*, uint32_t);
bool thumb_addsub_reg(ARMSTATE*, uint32_t);
bool thumb_addsub_imm(ARMSTATE*, uint32_t);
bool thumb_immop(ARMSTATE*, uint32_t);
bool thumb_regop(ARMSTATE*, uint32_t);
bool thumb_regop_hi(ARMSTATE*, uint32_t);
bool thumb_branch_exch(ARMSTATE*, uint32_t);
bool thumb_load_lit(ARMSTATE*, uint32_t);
bool thumb_loadstor_reg(ARMSTATE*, uint32_t);
bool thumb_loadstor_imm(ARMSTATE*, uint32_t);
bool thumb_loadstor_hw(ARMSTATE*, uint32_t);
bool thumb_loadstor_stk(ARMSTATE*, uint32_t);
bool thumb_add_sp_pc_imm(ARMSTATE*, uint32_t);
bool thumb_adj_sp(ARMSTATE*, uint32_t);
bool thumb_sign_ext(ARMSTATE*, uint32_t);
bool thumb_cmp_branch(ARMSTATE*, uint32_t);
bool thumb_push(ARMSTATE*, uint32_t);
bool thumb_pop(ARMSTATE*, uint32_t);
bool thumb_endian(ARMSTATE*, uint32_t);
bool thumb_cpu_state(ARMSTATE*, uint32_t);
bool thumb_reverse(ARMSTATE*, uint32_t);
bool thumb_break(ARMSTATE*, uint32_t);
bool thumb_if_then(ARMSTATE*, uint32_t);
bool thumb_loadstor_mul(ARMSTATE*, uint32_t);
bool thumb_condbranch(ARMSTATE*, uint32_t);
bool thumb_service(ARMSTATE*, uint32_t);
bool thumb_branch(ARMSTATE*, uint32_t);

// --- 32-bit Thumb-2 (thumb32.cpp); first halfword in bits 31:16 ---------------------------
bool thumb2_constshift(ARMSTATE*, uint32_t);
bool thumb2_regshift_sx(ARMSTATE*, uint32_t);
bool thumb2_simd_misc(ARMSTATE*, uint32_t);
bool thumb2_mult32_acc(ARMSTATE*, uint32_t);
bool thumb2_mult64_acc(ARMSTATE*, uint32_t);
bool thumb2_imm_br_misc(ARMSTATE*, uint32_t);
bool thumb2_loadstor(ARMSTATE*, uint32_t);
bool thumb2_loadstor2(ARMSTATE*, uint32_t);
bool thumb2_loadstor_mul(ARMSTATE*, uint32_t);

// --- coprocessor and floating point, both instruction sets (coproc.cpp) --------------------
bool thumb2_co_loadstor(ARMSTATE*, uint32_t);
bool thumb2_co_dataproc(ARMSTATE*, uint32_t);
bool thumb2_co_trans(ARMSTATE*, uint32_t);
bool arm_co_loadstor(ARMSTATE*, uint32_t);
bool arm_co_dataproc(ARMSTATE*, uint32_t);
bool arm_co_trans(ARMSTATE*, uint32_t);

// --- ARM (arm32.cpp) ---------------------------------------------------------------------------
bool arm_unconditional(ARMSTATE*, uint32_t);
bool arm_dataproc_imsh(ARMSTATE*, uint32_t);
bool arm_dataproc_rxsh(ARMSTATE*, uint32_t);
bool arm_mult_loadstor(ARMSTATE*, uint32_t);
bool arm_dataproc_imm(ARMSTATE*, uint32_t);
bool arm_loadstor_imm(ARMSTATE*, uint32_t);
bool arm_loadstor_reg(ARMSTATE*, uint32_t);
bool arm_media(ARMSTATE*, uint32_t);
bool arm_loadstor_mult(ARMSTATE*, uint32_t);
bool arm_branch(ARMSTATE*, uint32_t);
bool arm_softintr(ARMSTATE*, uint32_t);
