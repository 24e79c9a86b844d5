// The generations' flash models behind one seam, and the factory the board uses.
#include "sim/flash_ctl.h"

#include "sim/flash_f0.h"
#include "sim/flash_f4.h"
#include "sim/flash_l0.h"
#include "sim/flash_g0l4.h"
#include "sim/flash_h7.h"

#include <new>

namespace {

// STM32F4: the model's own functions, the array inside its record.
SimFlashF4* f4(void* s) { return static_cast<SimFlashF4*>(s); }
const SimFlashF4* f4(const void* s) { return static_cast<const SimFlashF4*>(s); }
const SimFlashOps kF4Ops = {
    [](void* s, uint32_t o, unsigned n, uint32_t* v) { return sim_flashf4_read(f4(s), o, n, v); },
    [](void* s, uint32_t o, unsigned n, uint32_t v) { return sim_flashf4_write(f4(s), o, n, v); },
    [](void* s, uint32_t o, unsigned n, uint32_t* v) { return sim_flashf4_array_read(f4(s), o, n, v); },
    [](void* s, uint32_t o, unsigned n, uint32_t v) { return sim_flashf4_array_write(f4(s), o, n, v); },
    [](void* s, uint64_t ns) { sim_flashf4_advance(f4(s), ns); },
    [](const void* s) { return sim_flashf4_busy_ns(f4(s)); },
    [](const void* s) { return sim_flashf4_irq_pending(f4(s)); },
    [](void* s) { sim_flashf4_reset(f4(s)); },
    [](void* s) { sim_flashf4_reset(f4(s)); },
    [](void* s, const SimFlashFaults* f) { sim_flashf4_set_faults(f4(s), f); },
    [](void* s) { delete f4(s); },
};

bool create_f4(uint64_t divisor, SimFlashCtl* out) {
    auto* fc = new (std::nothrow) SimFlashF4;
    if (!fc) return false;
    const SimFlashF4Timing t = sim_flashf4_timing_scaled(divisor);
    sim_flashf4_init(fc, &t);
    *out = SimFlashCtl{SimFlashKind::stm32f4, fc, &kF4Ops, fc->array, SIM_FLASHF4_ARRAY_SIZE, SIM_FLASHF4_REG_BASE,
                       SIM_FLASHF4_REG_SIZE};
    return true;
}

// The 2 MB dual-bank F42x/43x: the same model, its array twice as large.
bool create_f4_2m(uint64_t divisor, SimFlashCtl* out) {
    auto* fc = new (std::nothrow) SimFlashF4;
    if (!fc) return false;
    const SimFlashF4Timing t = sim_flashf4_timing_scaled(divisor);
    sim_flashf4_init_dual_bank(fc, &t);
    *out = SimFlashCtl{SimFlashKind::stm32f4_2m, fc, &kF4Ops, fc->array, fc->array_size, SIM_FLASHF4_REG_BASE,
                       SIM_FLASHF4_REG_SIZE};
    return true;
}

}  // namespace

bool sim_flash_create(SimFlashKind kind, uint64_t time_divisor, SimFlashCtl* out) {
    if (!out) return false;
    *out = SimFlashCtl{};
    const uint64_t div = time_divisor ? time_divisor : 1;
    switch (kind) {
    case SimFlashKind::stm32f4: return create_f4(div, out);
    case SimFlashKind::stm32f4_2m: return create_f4_2m(div, out);
    case SimFlashKind::stm32f0: return sim_flashf0_create(div, out);
    case SimFlashKind::stm32l0: return sim_flashl0_create(div, out);
    case SimFlashKind::stm32g0:
    case SimFlashKind::stm32g4:
    case SimFlashKind::stm32l4:
    case SimFlashKind::stm32u5: return sim_flashg0_create(kind, div, out);
    case SimFlashKind::stm32h7: return sim_flashh7_create(div, out);
    default: return false;
    }
}

void sim_flash_destroy(SimFlashCtl* fc) {
    if (!fc || !fc->self) return;
    fc->ops->destroy(fc->self);
    *fc = SimFlashCtl{};
}
