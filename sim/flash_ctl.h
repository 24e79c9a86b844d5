// One STM32 flash interface as the board sees it, whatever its generation:
// a register block, the array it programs and erases, time passing, resets.
// Each generation's model (flash_f4, flash_f0, ...) fills one of these; the
// board maps `array` for reads and fetch and routes every store into it to
// `array_write`, and every register access to `reg_read` / `reg_write`.
#pragma once

#include <cstdint>

enum class SimFlashKind : uint8_t {
    stm32f4,    // F405/407: 1 MB, one bank, 12 sectors (RM0090)
    none,
    stm32f4_2m, // F42x/43x: 2 MB, two banks of 12 sectors (RM0090, DB1M)
    stm32f0,    // F0: half-word programming, pages erased by address (RM0091)
    stm32g0,    // G0: double-word programming, page numbers (RM0444)
    stm32g4,    // G4 category 3: two banks (DBANK) of 2 KB pages (RM0440)
    stm32l4,    // L4: two banks of 2 KB pages (RM0351)
    stm32l0,    // L0: PECR, PEKEY/PRGKEY, half-page programming (RM0377)
    stm32u5,    // U5: quad-word programming, non-secure registers (RM0456)
    stm32h7,    // H7: two banks with their own registers, 256-bit flash words (RM0433)
};

// Injected faults, for testing how algorithms and the debugger cope with a
// part that misbehaves. All clear after creation; kept by reset.
struct SimFlashFaults {
    bool reject_keys;          // no key sequence unlocks the controller
    bool busy_stuck;           // an operation once started never ends: BSY stays set
    uint32_t error_on_program; // status error bits raised by every program access, nothing written
    bool drop_writes;          // program accesses complete normally but leave the array unchanged
};

struct SimFlashOps {
    // Register accesses at offsets from reg_base (1, 2 or 4 bytes); false is a bus error.
    bool (*reg_read)(void* self, uint32_t off, unsigned size, uint32_t* v);
    bool (*reg_write)(void* self, uint32_t off, unsigned size, uint32_t v);
    // Array accesses at offsets from the flash start. Programming errors set
    // their status flag and return true, as the part answers the bus normally.
    bool (*array_read)(void* self, uint32_t off, unsigned size, uint32_t* v);
    bool (*array_write)(void* self, uint32_t off, unsigned size, uint32_t v);
    void (*advance)(void* self, uint64_t ns);
    // Nanoseconds until the running operation ends: 0 when idle, UINT64_MAX when it never will.
    uint64_t (*busy_ns)(const void* self);
    bool (*irq_pending)(const void* self);
    void (*system_reset)(void* self);   // registers and keys to reset values; the array kept
    void (*power_on_reset)(void* self); // as system_reset, option bytes reloaded too
    void (*set_faults)(void* self, const SimFlashFaults* f);  // null clears
    void (*destroy)(void* self);
};

struct SimFlashCtl {
    SimFlashKind kind;
    void* self;
    const SimFlashOps* ops;
    uint8_t* array;       // the board maps it read/execute at the flash start (and its boot alias)
    uint32_t array_size;
    uint32_t reg_base;    // the register block
    uint32_t reg_size;
};

// What every interface's bus answers: 1-, 2- and 4-byte accesses, and a
// sub-word register access touching the byte lanes of its word (the ST HAL
// sets CR.STRT and option bytes with byte stores).
inline bool sim_flash_size_ok(unsigned size) { return size == 1 || size == 2 || size == 4; }
inline uint32_t sim_flash_lane_mask(uint32_t offset, unsigned size) {
    const uint32_t m = size == 4 ? 0xFFFFFFFFu : ((1u << (8 * size)) - 1u);
    return m << (8 * (offset & 3u));
}

// A controller of `kind` with its array erased; program and erase times
// divided by `time_divisor` (>= 1). False (nothing allocated) for none or an
// unknown kind.
bool sim_flash_create(SimFlashKind kind, uint64_t time_divisor, SimFlashCtl* out);
void sim_flash_destroy(SimFlashCtl* fc);
