// The demo firmware's faults, picked by writing g_fault_trigger: where each
// is taken and what a Cortex-M4 records once it escalates to HardFault (the
// firmware enables no configurable fault handler). Shared by the simulator's
// QEMU cross-check and the fault analysis tests on the simulated board.
#pragma once

#include <cstdint>
#include <ostream>

struct DemoFault {
    uint32_t trigger;
    const char* site;  // the function holding the stacked PC; null: no frame could be pushed
    uint32_t past;     // the stacked PC's offset into site
    uint32_t cfsr, bfar;
    const char* said;  // in our report's summary
};

inline constexpr DemoFault kDemoFaults[] = {
    {1, "fault_udf", 0, 1u << 16, 0, "UFSR.UNDEFINSTR"},
    {2, "fault_bus_read", 0, 0x8200, 0x60000000, "BFSR.PRECISERR\nBFAR=0x60000000"},
    {3, "fault_divide", 0, 1u << 25, 0, "UFSR.DIVBYZERO"},
    // A branch to an even address: stacked xPSR with T clear.
    {4, "fault_udf", 0, 1u << 17, 0, "WARNING: Stacked xPSR.T=0"},
    // A buffered store to a reserved address: imprecise, taken at the DSB after it.
    {5, "fault_bus_write", 2, 1u << 10, 0, "NOTE: Imprecise bus fault"},
    // An SVC whose frame would lie below SRAM.
    {6, nullptr, 0, 1u << 12, 0, "WARNING: Could not read exception stack frame"},
    // In EXTI0's handler after a floating-point instruction: back to handler mode, FP frame on MSP.
    {7, "EXTI0_IRQHandler", 4, 1u << 16, 0, "EXC_RETURN=0xFFFFFFE1  stack=MSP+FPU"},
};
inline void PrintTo(const DemoFault& f, std::ostream* os) { *os << "g_fault_trigger " << f.trigger; }
