// (being written)
#include "disasm/disasm_decoders.h"

bool arm_unconditional(ARMSTATE*, uint32_t) { return false; }
bool arm_dataproc_imsh(ARMSTATE*, uint32_t) { return false; }
bool arm_dataproc_rxsh(ARMSTATE*, uint32_t) { return false; }
bool arm_mult_loadstor(ARMSTATE*, uint32_t) { return false; }
bool arm_dataproc_imm(ARMSTATE*, uint32_t) { return false; }
bool arm_loadstor_imm(ARMSTATE*, uint32_t) { return false; }
bool arm_loadstor_reg(ARMSTATE*, uint32_t) { return false; }
bool arm_media(ARMSTATE*, uint32_t) { return false; }
bool arm_loadstor_mult(ARMSTATE*, uint32_t) { return false; }
bool arm_branch(ARMSTATE*, uint32_t) { return false; }
bool arm_softintr(ARMSTATE*, uint32_t) { return false; }
