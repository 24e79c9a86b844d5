// (being written)
#include "disasm/disasm_decoders.h"

bool thumb2_constshift(ARMSTATE*, uint32_t) { return false; }
bool thumb2_regshift_sx(ARMSTATE*, uint32_t) { return false; }
bool thumb2_simd_misc(ARMSTATE*, uint32_t) { return false; }
bool thumb2_mult32_acc(ARMSTATE*, uint32_t) { return false; }
bool thumb2_mult64_acc(ARMSTATE*, uint32_t) { return false; }
bool thumb2_imm_br_misc(ARMSTATE*, uint32_t) { return false; }
bool thumb2_loadstor(ARMSTATE*, uint32_t) { return false; }
bool thumb2_loadstor2(ARMSTATE*, uint32_t) { return false; }
bool thumb2_loadstor_mul(ARMSTATE*, uint32_t) { return false; }
