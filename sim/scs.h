// The System Control Space of an ARMv7-M core (0xE000E000-0xE000EFFF): SCB,
// NVIC, SysTick, FPU control and the debug registers (DHCSR, DCRSR, DCRDR,
// DEMCR, DFSR). State lives in SimScs; the accessors need the whole core
// because many registers are views of exception or register state.
#pragma once

#include <cstdint>

struct SimCortexM;

// Base address: SIM_SCS_BASE (sim/rom_table.h).
constexpr uint32_t SIM_SCS_SIZE = 0x1000;

// Offsets inside the SCS.
constexpr uint32_t SIM_SCS_ICTR = 0x004, SIM_SCS_ACTLR = 0x008;
constexpr uint32_t SIM_SCS_SYST_CSR = 0x010, SIM_SCS_SYST_RVR = 0x014, SIM_SCS_SYST_CVR = 0x018,
                   SIM_SCS_SYST_CALIB = 0x01C;
constexpr uint32_t SIM_SCS_NVIC_ISER = 0x100, SIM_SCS_NVIC_ICER = 0x180, SIM_SCS_NVIC_ISPR = 0x200,
                   SIM_SCS_NVIC_ICPR = 0x280, SIM_SCS_NVIC_IABR = 0x300, SIM_SCS_NVIC_IPR = 0x400;
constexpr uint32_t SIM_SCS_CPUID = 0xD00, SIM_SCS_ICSR = 0xD04, SIM_SCS_VTOR = 0xD08, SIM_SCS_AIRCR = 0xD0C,
                   SIM_SCS_SCR = 0xD10, SIM_SCS_CCR = 0xD14, SIM_SCS_SHPR1 = 0xD18, SIM_SCS_SHPR2 = 0xD1C,
                   SIM_SCS_SHPR3 = 0xD20, SIM_SCS_SHCSR = 0xD24, SIM_SCS_CFSR = 0xD28, SIM_SCS_HFSR = 0xD2C,
                   SIM_SCS_DFSR = 0xD30, SIM_SCS_MMFAR = 0xD34, SIM_SCS_BFAR = 0xD38, SIM_SCS_AFSR = 0xD3C,
                   SIM_SCS_CPACR = 0xD88;
constexpr uint32_t SIM_SCS_DHCSR = 0xDF0, SIM_SCS_DCRSR = 0xDF4, SIM_SCS_DCRDR = 0xDF8, SIM_SCS_DEMCR = 0xDFC;
constexpr uint32_t SIM_SCS_STIR = 0xF00, SIM_SCS_FPCCR = 0xF34, SIM_SCS_FPCAR = 0xF38, SIM_SCS_FPDSCR = 0xF3C,
                   SIM_SCS_MVFR0 = 0xF40, SIM_SCS_MVFR1 = 0xF44;

// DHCSR.
constexpr uint32_t SIM_DHCSR_KEY = 0xA05F0000;
constexpr uint32_t SIM_DHCSR_C_DEBUGEN = 1u << 0, SIM_DHCSR_C_HALT = 1u << 1, SIM_DHCSR_C_STEP = 1u << 2,
                   SIM_DHCSR_C_MASKINTS = 1u << 3, SIM_DHCSR_C_SNAPSTALL = 1u << 5;
constexpr uint32_t SIM_DHCSR_S_REGRDY = 1u << 16, SIM_DHCSR_S_HALT = 1u << 17, SIM_DHCSR_S_SLEEP = 1u << 18,
                   SIM_DHCSR_S_LOCKUP = 1u << 19, SIM_DHCSR_S_RETIRE_ST = 1u << 24,
                   SIM_DHCSR_S_RESET_ST = 1u << 25;
// DFSR.
constexpr uint32_t SIM_DFSR_HALTED = 1u << 0, SIM_DFSR_BKPT = 1u << 1, SIM_DFSR_DWTTRAP = 1u << 2,
                   SIM_DFSR_VCATCH = 1u << 3, SIM_DFSR_EXTERNAL = 1u << 4;
// DEMCR.
constexpr uint32_t SIM_DEMCR_VC_CORERESET = 1u << 0, SIM_DEMCR_VC_MMERR = 1u << 4, SIM_DEMCR_VC_NOCPERR = 1u << 5,
                   SIM_DEMCR_VC_CHKERR = 1u << 6, SIM_DEMCR_VC_STATERR = 1u << 7, SIM_DEMCR_VC_BUSERR = 1u << 8,
                   SIM_DEMCR_VC_INTERR = 1u << 9, SIM_DEMCR_VC_HARDERR = 1u << 10, SIM_DEMCR_MON_EN = 1u << 16,
                   SIM_DEMCR_MON_PEND = 1u << 17, SIM_DEMCR_MON_STEP = 1u << 18, SIM_DEMCR_MON_REQ = 1u << 19,
                   SIM_DEMCR_TRCENA = 1u << 24;
// CFSR.
constexpr uint32_t SIM_CFSR_IACCVIOL = 1u << 0, SIM_CFSR_DACCVIOL = 1u << 1, SIM_CFSR_MUNSTKERR = 1u << 3,
                   SIM_CFSR_MSTKERR = 1u << 4, SIM_CFSR_MMARVALID = 1u << 7, SIM_CFSR_IBUSERR = 1u << 8,
                   SIM_CFSR_PRECISERR = 1u << 9, SIM_CFSR_IMPRECISERR = 1u << 10,
                   SIM_CFSR_UNSTKERR = 1u << 11, SIM_CFSR_STKERR = 1u << 12,
                   SIM_CFSR_BFARVALID = 1u << 15, SIM_CFSR_UNDEFINSTR = 1u << 16, SIM_CFSR_INVSTATE = 1u << 17,
                   SIM_CFSR_INVPC = 1u << 18, SIM_CFSR_NOCP = 1u << 19, SIM_CFSR_UNALIGNED = 1u << 24,
                   SIM_CFSR_DIVBYZERO = 1u << 25, SIM_CFSR_LSPERR = 1u << 13;
// FPCCR: the state of a lazily preserved FP context, and its enables.
constexpr uint32_t SIM_FPCCR_LSPACT = 1u << 0, SIM_FPCCR_USER = 1u << 1, SIM_FPCCR_THREAD = 1u << 3,
                   SIM_FPCCR_HFRDY = 1u << 4, SIM_FPCCR_MMRDY = 1u << 5, SIM_FPCCR_BFRDY = 1u << 6,
                   SIM_FPCCR_MONRDY = 1u << 8, SIM_FPCCR_LSPEN = 1u << 30, SIM_FPCCR_ASPEN = 1u << 31;
// HFSR.
constexpr uint32_t SIM_HFSR_VECTTBL = 1u << 1, SIM_HFSR_FORCED = 1u << 30, SIM_HFSR_DEBUGEVT = 1u << 31;
// ACTLR: stores wait for their bus response, so every BusFault is precise.
constexpr uint32_t SIM_ACTLR_DISDEFWBUF = 1u << 1;
// SHCSR enables.
constexpr uint32_t SIM_SHCSR_MEMFAULTENA = 1u << 16, SIM_SHCSR_BUSFAULTENA = 1u << 17,
                   SIM_SHCSR_USGFAULTENA = 1u << 18;
// CCR.
constexpr uint32_t SIM_CCR_NONBASETHRDENA = 1u << 0, SIM_CCR_USERSETMPEND = 1u << 1,
                   SIM_CCR_UNALIGN_TRP = 1u << 3, SIM_CCR_DIV_0_TRP = 1u << 4, SIM_CCR_STKALIGN = 1u << 9;

struct SimScs {
    uint32_t vtor;
    uint32_t prigroup;
    uint32_t scr;
    uint32_t ccr;
    uint32_t shcsr_ena; // only the enable bits; active/pended bits are views
    uint32_t cfsr, hfsr, dfsr, mmfar, bfar, afsr;
    uint32_t cpacr, fpccr, fpcar, fpdscr, actlr;

    uint32_t dhcsr_ctrl; // C_* bits as last written
    uint32_t dcrdr;
    uint32_t demcr;
    bool s_regrdy, s_retire_st, s_reset_st;

    uint32_t syst_csr; // ENABLE, TICKINT, CLKSOURCE
    uint32_t syst_rvr, syst_cvr;
    bool syst_countflag;
    uint32_t syst_ext_accum; // core cycles not yet worth one reference tick
};

// Values after a power-on reset (debug registers included).
void sim_scs_power_on(SimScs* s);
// A local/system reset: everything except the debug registers and DFSR.
void sim_scs_local_reset(SimScs* s);

// `debugger` = the access comes through the AHB-AP, not from the core: DHCSR
// writes are honoured only from there, and reads of COUNTFLAG by a halted
// debugger do not clear it.
bool sim_scs_read(SimCortexM* c, uint32_t offset, unsigned size, uint32_t* value, bool debugger);
bool sim_scs_write(SimCortexM* c, uint32_t offset, unsigned size, uint32_t value, bool debugger);

// SysTick: the counter advances by `cycles` core clocks; pends the exception
// when it reaches zero with TICKINT set.
void sim_systick_advance(SimCortexM* c, uint64_t cycles);
// Core clocks until the counter next reaches zero (UINT64_MAX when stopped).
uint64_t sim_systick_cycles_to_event(const SimCortexM* c);
