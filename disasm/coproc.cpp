// (being written)
#include "disasm/disasm_decoders.h"

bool thumb2_co_loadstor(ARMSTATE*, uint32_t) { return false; }
bool thumb2_co_dataproc(ARMSTATE*, uint32_t) { return false; }
bool thumb2_co_trans(ARMSTATE*, uint32_t) { return false; }
bool arm_co_loadstor(ARMSTATE*, uint32_t) { return false; }
bool arm_co_dataproc(ARMSTATE*, uint32_t) { return false; }
bool arm_co_trans(ARMSTATE*, uint32_t) { return false; }
