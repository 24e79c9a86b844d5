#include "sim/flash_u5.h"

namespace {

constexpr uint64_t us = 1000;

// RM0456: NSSR flags; EOP and the errors are write-1-to-clear.
constexpr uint32_t kErrors = SIM_FLASHG0_SR_OPERR | SIM_FLASHG0_SR_PROGERR | SIM_FLASHG0_SR_WRPERR |
                             SIM_FLASHG0_SR_PGAERR | SIM_FLASHG0_SR_SIZERR | SIM_FLASHG0_SR_PGSERR |
                             SIM_FLASHU5_SR_OPTWERR;

const SimFlashG0Layout kU5 = {
    SimFlashKind::stm32u5,
    SIM_FLASHU5_ARRAY_SIZE,
    SIM_FLASHU5_PAGE_SIZE,
    0,
    0,
    2,   // RM0456: 2 MB parts always have two banks of 1 MB
    16,  // quad word
    7,
    7,
    SIM_FLASHU5_NSKEYR,
    SIM_FLASHU5_OPTKEYR,
    SIM_FLASHU5_NSSR,
    SIM_FLASHU5_NSCR,
    SIM_FLASHU5_OPTR,
    {SIM_FLASHU5_WRP1AR, SIM_FLASHU5_WRP1BR, SIM_FLASHU5_WRP2AR, SIM_FLASHU5_WRP2BR},
    SIM_FLASHG0_CR_BKER,
    SIM_FLASHG0_CR_MER2,
    kErrors,
    SIM_FLASHU5_SR_WDW,
    SIM_FLASHU5_SR_OPTWERR,
    // RDP level 0, DUALBANK, software watchdogs, TZEN clear: the factory state.
    0x1FEFF8AA,
    // STM32U575 datasheet: quad word 118 us, page 1.5 ms, bank 1.5 ms (typ).
    {118 * us, 1500 * us, 1500 * us, 1500 * us},
};

}  // namespace

const SimFlashG0Layout* sim_flashu5_layout() { return &kU5; }
