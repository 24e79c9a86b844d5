#include "runctl/fault_analyze.h"

HardFaultInfo g_hardfault = {};

const char* fault_exception_name(uint32_t n) {
    switch (n) {
    case 3: return "HardFault";
    case 4: return "MemManage";
    case 5: return "BusFault";
    case 6: return "UsageFault";
    case 7: return "SecureFault";
    default: return "Unknown";
    }
}
