// A simulated Cortex-M board: core, memories, flash controller, peripherals
// and debug components on one bus map, built from a profile record. Several
// boards may live in one process; nothing is shared between them. A board is
// not thread-safe: one thread at a time calls into it (the demo's real-time
// thread and the probe must share a lock).
#pragma once

#include "sim/board_profile.h"
#include "sim/sim_types.h"

#include <cstddef>
#include <cstdint>

struct SimBoard;
struct SimCortexM;
struct SimFlashF4;
struct SimStm32Periph;

// Null when the engine cannot be set up or the profile is not supported.
SimBoard* sim_board_create(const SimBoardProfile& profile);
void sim_board_destroy(SimBoard* b);

// The AHB-AP's view: every address a debugger can reach (SCS included).
SimMemPort sim_board_debug_port(SimBoard* b);
SimTargetLines sim_board_lines(SimBoard* b);
// Runs the board for `ns` of virtual time: the core executes
// ns * instr_per_us / 1000 instructions (fractions carried over), SysTick and
// the peripherals advance with it. Stops executing early when the core halts,
// sleeps or locks up; time still passes for the peripherals.
void sim_board_run(SimBoard* b, uint64_t ns);
uint64_t sim_board_now_ns(const SimBoard* b);

// Resets. Power-on resets the debug registers too; a system reset is what
// SYSRESETREQ and the nRESET pin do.
void sim_board_power_on_reset(SimBoard* b);
void sim_board_system_reset(SimBoard* b);

// Back doors for tests and the demo. They bypass the flash controller:
// `load_*` and `write_mem` put bytes straight into flash or RAM.
bool sim_board_load_image(SimBoard* b, uint32_t addr, const uint8_t* data, size_t size);
// PT_LOAD segments at their physical addresses. False (message in `err`)
// for a file that is not a little-endian 32-bit ARM ELF, or whose segments
// fall outside memory.
bool sim_board_load_elf(SimBoard* b, const uint8_t* data, size_t size, char* err, size_t err_size);
bool sim_board_load_elf_file(SimBoard* b, const char* path, char* err, size_t err_size);
bool sim_board_read_mem(SimBoard* b, uint32_t addr, void* out, size_t size);
bool sim_board_write_mem(SimBoard* b, uint32_t addr, const void* data, size_t size);
// DCRSR selectors (R0-R12 0-12, SP 13, LR 14, PC 15, xPSR 16, MSP 17, PSP
// 18, CONTROL/FAULTMASK/BASEPRI/PRIMASK 20, FPSCR 0x21, S0-S31 0x40-0x5F).
bool sim_board_read_core_reg(SimBoard* b, unsigned regsel, uint32_t* value);
bool sim_board_write_core_reg(SimBoard* b, unsigned regsel, uint32_t value);

bool sim_board_is_halted(const SimBoard* b);
bool sim_board_is_sleeping(const SimBoard* b);
bool sim_board_is_locked_up(const SimBoard* b);
uint64_t sim_board_instr_count(const SimBoard* b);

// Fault injection.
void sim_board_hold_in_reset(SimBoard* b, bool held); // the core never leaves reset
void sim_board_set_never_halt(SimBoard* b, bool on);  // C_HALT is ignored

// The parts, for tests that look inside.
SimCortexM* sim_board_core(SimBoard* b);
SimFlashF4* sim_board_flash(SimBoard* b);  // null unless the board's flash is the F405's
SimFlashCtl* sim_board_flash_ctl(SimBoard* b);
// Virtual time the flash interface has spent erasing and programming since
// the board was made: the part of a flash job that no link can shorten.
uint64_t sim_board_flash_busy_ns(const SimBoard* b);
SimStm32Periph* sim_board_periph(SimBoard* b);
