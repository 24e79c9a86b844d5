// One entry of the call stack the probe thread publishes after a halt.
#pragma once

#include <cstdint>

enum : int { UNWIND_MAX_FRAMES = 32 };

struct UnwindFrame {
    uint32_t pc;  // bit 0 clear
    char func[128];  // "??" when unknown
    char file[256];  // empty when unknown
    uint32_t line;   // 0 when unknown
    bool is_current;
};
