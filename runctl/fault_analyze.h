// The decoded fault report of the last halt, written on the probe thread and
// read by the Fault panel, both under reg_buf_mtx.
#pragma once

#include <cstdint>

struct HardFaultInfo {
    bool valid;
    uint32_t exception_nr;  // low 8 bits of IPSR at the stop
    uint32_t hfsr;
    uint32_t cfsr;  // MMFSR 7:0, BFSR 15:8, UFSR 31:16
    bool mmfar_valid;
    uint32_t mmfar;
    bool bfar_valid;
    uint32_t bfar;
    bool frame_valid;  // the stacked exception frame was readable
    uint32_t frame_pc;
    uint32_t frame_lr;
    uint32_t frame_xpsr;
    uint32_t frame_r0, frame_r1, frame_r2, frame_r3, frame_r12;
    char fault_file[256];
    uint32_t fault_line;
    char summary[512];  // one finding per line, '\n' separated
};

extern HardFaultInfo g_hardfault;

// "HardFault", "MemManage", ... for an exception number; "Unknown" otherwise.
const char* fault_exception_name(uint32_t exception_nr);
