// (being written)
#include "disasm/disasm_decoders.h"

bool thumb_lsl(ARMSTATE*, uint32_t) { return false; }
bool thumb_lsr(ARMSTATE*, uint32_t) { return false; }
bool thumb_asr(ARMSTATE*, uint32_t) { return false; }
bool thumb_addsub_reg(ARMSTATE*, uint32_t) { return false; }
bool thumb_addsub_imm(ARMSTATE*, uint32_t) { return false; }
bool thumb_immop(ARMSTATE*, uint32_t) { return false; }
bool thumb_regop(ARMSTATE*, uint32_t) { return false; }
bool thumb_regop_hi(ARMSTATE*, uint32_t) { return false; }
bool thumb_branch_exch(ARMSTATE*, uint32_t) { return false; }
bool thumb_load_lit(ARMSTATE*, uint32_t) { return false; }
bool thumb_loadstor_reg(ARMSTATE*, uint32_t) { return false; }
bool thumb_loadstor_imm(ARMSTATE*, uint32_t) { return false; }
bool thumb_loadstor_hw(ARMSTATE*, uint32_t) { return false; }
bool thumb_loadstor_stk(ARMSTATE*, uint32_t) { return false; }
bool thumb_add_sp_pc_imm(ARMSTATE*, uint32_t) { return false; }
bool thumb_adj_sp(ARMSTATE*, uint32_t) { return false; }
bool thumb_sign_ext(ARMSTATE*, uint32_t) { return false; }
bool thumb_cmp_branch(ARMSTATE*, uint32_t) { return false; }
bool thumb_push(ARMSTATE*, uint32_t) { return false; }
bool thumb_pop(ARMSTATE*, uint32_t) { return false; }
bool thumb_endian(ARMSTATE*, uint32_t) { return false; }
bool thumb_cpu_state(ARMSTATE*, uint32_t) { return false; }
bool thumb_reverse(ARMSTATE*, uint32_t) { return false; }
bool thumb_break(ARMSTATE*, uint32_t) { return false; }
bool thumb_if_then(ARMSTATE*, uint32_t) { return false; }
bool thumb_loadstor_mul(ARMSTATE*, uint32_t) { return false; }
bool thumb_condbranch(ARMSTATE*, uint32_t) { return false; }
bool thumb_service(ARMSTATE*, uint32_t) { return false; }
bool thumb_branch(ARMSTATE*, uint32_t) { return false; }
