#include "sim/board.h"

#include "sim/cortexm.h"
#include "sim/flash_ctl.h"
#include "sim/flash_f4.h"
#include "sim/fpb_dwt.h"
#include "sim/periph_stm32.h"
#include "sim/rom_table.h"

#include <unicorn/unicorn.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

// Core stores into flash. Flash must be real engine memory for instruction
// fetch, so it is mapped read-only. Measured on Unicorn 2.0.1: a store to it
// calls UC_HOOK_MEM_WRITE (before), then UC_HOOK_MEM_WRITE_PROT; if that hook
// returns false the store is dropped and emulation stops at the instruction
// (PC not advanced, base-register writeback of STM/post-indexed stores lost);
// if it returns true the raw value lands in the array. So the hook lets the
// flash controller apply its rules (program only with PG set, bits only
// clear), remembers the resulting bytes, returns true, and the bytes are put
// back before the next instruction executes: registers advance as on
// hardware, and the array holds exactly what the controller decided.

namespace {

constexpr unsigned kMaxFixups = 16;
constexpr unsigned kMaxMmio = 12;
constexpr unsigned kMaxPlain = sizeof(SimBoardProfile::plain) / sizeof(SimBoardProfile::plain[0]);

struct Fixup {
    uint32_t offset;
    unsigned size;
    uint8_t bytes[8];
};

struct MmioBlock {
    SimBoard* board;
    uint32_t base;
};

struct DirtyRange {
    bool dirty;
    uint32_t lo, hi; // [lo, hi)
    void add(uint32_t a, uint32_t n) {
        if (!dirty) { lo = a; hi = a + n; dirty = true; return; }
        if (a < lo) lo = a;
        if (a + n > hi) hi = a + n;
    }
};

} // namespace

struct SimBoard {
    SimBoardProfile profile;
    SimCortexM core;
    SimFlashCtl flash;
    SimStm32Periph periph;
    SimFpb fpb;
    SimDwt dwt;
    SimItm itm;
    SimRomTable rom;
    std::unique_ptr<uint8_t[]> sram, ccm, sysmem;
    std::unique_ptr<uint8_t[]> plain[kMaxPlain];  // the profile's plain register blocks

    MmioBlock mmio[kMaxMmio];
    unsigned num_mmio;
    Fixup fixups[kMaxFixups];
    unsigned num_fixups;
    DirtyRange dirty_flash; // offsets into the flash array
    DirtyRange dirty_sram;

    uint64_t watch_hook; // engine hook on data accesses while a DWT watchpoint is set
    bool watch_hooked;

    uint64_t now_ns;
    uint64_t flash_busy_ns;  // time the flash interface has spent in operations
    uint64_t cycle_rem;     // ns * instr_per_us not yet worth a cycle (x1000)
    uint64_t periph_ns_rem; // cycles * 1000 not yet worth a nanosecond
    bool nreset, dbg_pwr, sys_pwr;
};

namespace {

bool in(uint32_t addr, unsigned size, uint32_t base, uint32_t len) {
    return len != 0 && addr >= base && addr - base < len && len - (addr - base) >= size;
}

bool flash_offset(const SimBoard* b, uint32_t addr, unsigned size, uint32_t* off) {
    const SimBoardProfile& p = b->profile;
    if (!b->flash.array) return false;
    if (in(addr, size, p.flash.base, p.flash.size)) { *off = addr - p.flash.base; return true; }
    if (in(addr, size, p.flash_alias, p.flash.size)) { *off = addr - p.flash_alias; return true; }
    return false;
}

uint32_t load_le(const uint8_t* p, unsigned size) {
    uint32_t v = 0;
    for (unsigned i = 0; i < size; ++i) v |= uint32_t{p[i]} << (8 * i);
    return v;
}
void store_le(uint8_t* p, unsigned size, uint32_t v) {
    for (unsigned i = 0; i < size; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void sync_trcena(SimBoard* b) {
    const bool on = (b->core.scs.demcr & SIM_DEMCR_TRCENA) != 0;
    sim_dwt_set_trcena(&b->dwt, on);
    b->itm.trcena = on;
}

// One access on the system bus, by the core or by the debugger (AHB-AP).
bool bus_rw(SimBoard* b, uint32_t addr, unsigned size, uint32_t* v, bool write, bool debugger) {
    if ((size != 1 && size != 2 && size != 4) || (addr & (size - 1))) return false;
    const SimBoardProfile& p = b->profile;
    uint32_t off = 0;
    if (flash_offset(b, addr, size, &off)) {
        const SimFlashCtl& f = b->flash;
        // The bus holds a debugger's access to the array until the running
        // operation ends: that time passes for the whole board.
        const uint64_t busy = debugger ? f.ops->busy_ns(f.self) : 0;
        if (busy && busy != UINT64_MAX) sim_board_run(b, busy);
        if (!write) return f.ops->array_read(f.self, off, size, v);
        const bool ok = f.ops->array_write(f.self, off, size, *v);
        b->dirty_flash.add(off, size);
        return ok;
    }
    uint8_t* mem = nullptr;
    if (in(addr, size, p.sram.base, p.sram.size)) {
        mem = b->sram.get() + (addr - p.sram.base);
        if (write) b->dirty_sram.add(addr, size);
    } else if (in(addr, size, p.ccm.base, p.ccm.size)) {
        mem = b->ccm.get() + (addr - p.ccm.base);
    } else if (in(addr, size, p.sysmem.base, p.sysmem.size)) {
        if (write) return false; // read-only
        mem = b->sysmem.get() + (addr - p.sysmem.base);
    }
    if (mem) {
        if (write) store_le(mem, size, *v);
        else *v = load_le(mem, size);
        return true;
    }
    const SimFlashCtl& f = b->flash;
    if (in(addr, size, f.reg_base, f.reg_size)) {
        // A program or erase changes the array when it starts, so only a
        // register write can: reads (BSY polls) leave the code cache alone.
        if (write) {
            b->dirty_flash.add(0, p.flash.size);
            b->core.stop_next = true;  // and the operation is timed: re-slice the run
        }
        return write ? f.ops->reg_write(f.self, addr - f.reg_base, size, *v)
                     : f.ops->reg_read(f.self, addr - f.reg_base, size, v);
    }
    if (!write && size == 4 && p.dbgmcu_idcode_addr && addr == p.dbgmcu_idcode_addr) {
        *v = p.dbgmcu_idcode; // the profile names the part (another STM32, another revision)
        return true;
    }
    for (unsigned i = 0; i < kMaxPlain; ++i)
        if (in(addr, size, p.plain[i].base, p.plain[i].size)) {
            uint8_t* w = b->plain[i].get() + (addr - p.plain[i].base);
            if (write) store_le(w, size, *v);
            else *v = load_le(w, size);
            return true;
        }
    if (p.stm32f4_periph && in(addr, size, SIM_RCC_BASE, SIM_RCC_SIZE))
        return write ? sim_rcc_write(&b->periph, addr - SIM_RCC_BASE, size, *v)
                     : sim_rcc_read(&b->periph, addr - SIM_RCC_BASE, size, v);
    if (p.stm32f4_periph && in(addr, size, SIM_GPIO_BASE, SIM_GPIO_STRIDE * SIM_GPIO_PORTS))
        return write ? sim_gpio_write(&b->periph, addr - SIM_GPIO_BASE, size, *v)
                     : sim_gpio_read(&b->periph, addr - SIM_GPIO_BASE, size, v);
    if (in(addr, size, SIM_SCS_BASE, SIM_SCS_SIZE)) {
        const bool ok = write ? sim_scs_write(&b->core, addr - SIM_SCS_BASE, size, *v, debugger)
                              : sim_scs_read(&b->core, addr - SIM_SCS_BASE, size, v, debugger);
        if (write) sync_trcena(b);
        return ok;
    }
    if (in(addr, size, SIM_ITM_BASE, 0x1000))
        return write ? sim_itm_write(&b->itm, addr - SIM_ITM_BASE, size, *v, debugger)
                     : sim_itm_read(&b->itm, addr - SIM_ITM_BASE, size, v);
    if (in(addr, size, SIM_DWT_BASE, 0x1000))
        return write ? sim_dwt_write(&b->dwt, addr - SIM_DWT_BASE, size, *v)
                     : sim_dwt_read(&b->dwt, addr - SIM_DWT_BASE, size, v);
    if (in(addr, size, SIM_FPB_BASE, 0x1000))
        return write ? sim_fpb_write(&b->fpb, addr - SIM_FPB_BASE, size, *v)
                     : sim_fpb_read(&b->fpb, addr - SIM_FPB_BASE, size, v);
    if (p.stm32f4_periph && in(addr, size, SIM_DBGMCU_BASE, SIM_DBGMCU_SIZE))
        return write ? sim_dbgmcu_write(&b->periph, addr - SIM_DBGMCU_BASE, size, *v)
                     : sim_dbgmcu_read(&b->periph, addr - SIM_DBGMCU_BASE, size, v);
    if (in(addr, size, SIM_ROM_M4_BASE, 0x1000) && p.rom_ids != SimRomIds::absent)
        return write ? sim_rom_write(&b->rom, addr - SIM_ROM_M4_BASE, size, *v)
                     : sim_rom_read(&b->rom, addr - SIM_ROM_M4_BASE, size, v);
    if (p.devid_addr && addr == p.devid_addr && size == 4) {
        if (write) return false;
        *v = p.devid;
        return true;
    }
    return false;
}

bool core_read(void* ctx, uint32_t addr, unsigned size, uint32_t* v) {
    return bus_rw(static_cast<SimBoard*>(ctx), addr, size, v, false, false);
}
bool core_write(void* ctx, uint32_t addr, unsigned size, uint32_t v) {
    return bus_rw(static_cast<SimBoard*>(ctx), addr, size, &v, true, false);
}
bool debug_read(void* ctx, uint32_t addr, unsigned size, uint32_t* v) {
    return bus_rw(static_cast<SimBoard*>(ctx), addr, size, v, false, true);
}
bool debug_write(void* ctx, uint32_t addr, unsigned size, uint32_t v) {
    return bus_rw(static_cast<SimBoard*>(ctx), addr, size, &v, true, true);
}

uint64_t mmio_read(uc_engine*, uint64_t offset, unsigned size, void* user) {
    auto* m = static_cast<MmioBlock*>(user);
    const uint32_t addr = m->base + static_cast<uint32_t>(offset);
    uint32_t v = 0;
    if (!bus_rw(m->board, addr, size, &v, false, false)) {
        sim_cm_late_bus_error(&m->board->core, addr, false);
        return 0;
    }
    return v;
}

void mmio_write(uc_engine*, uint64_t offset, unsigned size, uint64_t value, void* user) {
    auto* m = static_cast<MmioBlock*>(user);
    const uint32_t addr = m->base + static_cast<uint32_t>(offset);
    uint32_t v = static_cast<uint32_t>(value);
    if (!bus_rw(m->board, addr, size, &v, true, false)) sim_cm_late_bus_error(&m->board->core, addr, true);
}

bool hook_write_prot(uc_engine*, uc_mem_type, uint64_t address, int size, int64_t value, void* user) {
    auto* b = static_cast<SimBoard*>(user);
    const uint32_t addr = static_cast<uint32_t>(address);
    uint32_t off = 0;
    if (size >= 1 && size <= 4 && b->num_fixups < kMaxFixups && flash_offset(b, addr, static_cast<unsigned>(size), &off)) {
        const bool ok = b->flash.ops->array_write(b->flash.self, off, static_cast<unsigned>(size), static_cast<uint32_t>(value));
        Fixup& f = b->fixups[b->num_fixups++];
        f.offset = off;
        f.size = static_cast<unsigned>(size);
        std::memcpy(f.bytes, b->flash.array + off, f.size);
        b->core.flush_flag = true;
        b->core.stop_next = true; // an operation may now be timed: re-slice
        b->dirty_flash.add(off, f.size);
        if (!ok) sim_cm_late_bus_error(&b->core, addr, true);
        return true;
    }
    b->core.event_addr = addr; // system memory, or more stores than we can track
    b->core.event_write = true;
    return false;
}

void flush_fixups(void* ctx) {
    auto* b = static_cast<SimBoard*>(ctx);
    for (unsigned i = 0; i < b->num_fixups; ++i)
        std::memcpy(b->flash.array + b->fixups[i].offset, b->fixups[i].bytes, b->fixups[i].size);
    b->num_fixups = 0;
    b->core.flush_flag = false;
}

uint32_t instr_check(void* ctx, uint32_t pc) {
    auto* b = static_cast<SimBoard*>(ctx);
    if (sim_fpb_match(&b->fpb, pc)) return SIM_DFSR_BKPT;
    if (sim_dwt_instr_match(&b->dwt, pc)) return SIM_DFSR_DWTTRAP;
    return 0;
}

bool sample_pc(void* ctx, uint32_t* pc) {
    auto* b = static_cast<SimBoard*>(ctx);
    if (b->core.halted) return false;
    return sim_cm_read_reg(&b->core, SIM_REG_DEBUG_RETURN, pc);
}

void hook_data_access(uc_engine*, uc_mem_type type, uint64_t addr, int size, int64_t, void* user) {
    auto* b = static_cast<SimBoard*>(user);
    if (sim_dwt_data_access(&b->dwt, static_cast<uint32_t>(addr), static_cast<unsigned>(size), type == UC_MEM_WRITE))
        sim_cm_debug_event_after_insn(&b->core, SIM_DFSR_DWTTRAP);
}

// Watching every load and store costs; the hook exists only while a DWT
// comparator asks for data matches.
void sync_watch_hook(SimBoard* b) {
    bool wanted = false;
    for (unsigned n = 0; n < SIM_DWT_NUMCOMP && b->dwt.trcena; ++n) {
        const uint32_t f = b->dwt.function[n] & 0xF;
        wanted = wanted || (f >= 5 && f <= 7);
    }
    if (wanted == b->watch_hooked) return;
    if (wanted) {
        uc_hook h = 0;
        if (uc_hook_add(b->core.uc, &h, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(hook_data_access),
                        b, 1, 0) != UC_ERR_OK)
            return;
        b->watch_hook = h;
        b->watch_hooked = true;
    } else {
        uc_hook_del(b->core.uc, b->watch_hook);
        b->watch_hooked = false;
    }
}

void invalidate_code(SimBoard* b) {
    uc_engine* uc = b->core.uc;
    if (b->dirty_flash.dirty) {
        const uint32_t lo = b->dirty_flash.lo, hi = b->dirty_flash.hi;
        uc_ctl_remove_cache(uc, b->profile.flash.base + lo, b->profile.flash.base + hi);
        uc_ctl_remove_cache(uc, b->profile.flash_alias + lo, b->profile.flash_alias + hi);
        b->dirty_flash.dirty = false;
    }
    if (b->dirty_sram.dirty) {
        uc_ctl_remove_cache(uc, b->dirty_sram.lo, b->dirty_sram.hi);
        b->dirty_sram.dirty = false;
    }
}

void clear_plain(SimBoard* b) {
    for (unsigned i = 0; i < kMaxPlain; ++i)
        if (b->plain[i]) std::memset(b->plain[i].get(), 0, b->profile.plain[i].size);
}

bool add_mmio(SimBoard* b, uint32_t base, uint32_t size) {
    if (b->num_mmio >= kMaxMmio) return false;
    MmioBlock* m = &b->mmio[b->num_mmio++];
    m->board = b;
    m->base = base;
    return uc_mmio_map(b->core.uc, base, size, mmio_read, m, mmio_write, m) == UC_ERR_OK;
}

bool map_memory(SimBoard* b) {
    uc_engine* uc = b->core.uc;
    const SimBoardProfile& p = b->profile;
    bool ok = true;
    ok = ok && uc_mem_map_ptr(uc, p.flash.base, p.flash.size, UC_PROT_READ | UC_PROT_EXEC, b->flash.array) == UC_ERR_OK;
    if (p.flash_alias != p.flash.base)  // parts without a boot alias name their flash start
        ok = ok && uc_mem_map_ptr(uc, p.flash_alias, p.flash.size, UC_PROT_READ | UC_PROT_EXEC, b->flash.array) == UC_ERR_OK;
    ok = ok && uc_mem_map_ptr(uc, p.sram.base, p.sram.size, UC_PROT_ALL, b->sram.get()) == UC_ERR_OK;
    // CCM is on the data bus only (RM0090): not executable; a fetch there is
    // an instruction bus error.
    if (p.ccm.size)
        ok = ok && uc_mem_map_ptr(uc, p.ccm.base, p.ccm.size, UC_PROT_READ | UC_PROT_WRITE, b->ccm.get()) == UC_ERR_OK;
    ok = ok && uc_mem_map_ptr(uc, p.sysmem.base, p.sysmem.size, UC_PROT_READ | UC_PROT_EXEC, b->sysmem.get()) == UC_ERR_OK;
    if (p.stm32f4_periph) {
        ok = ok && add_mmio(b, SIM_GPIO_BASE, SIM_GPIO_STRIDE * SIM_GPIO_PORTS);
        ok = ok && add_mmio(b, SIM_RCC_BASE, SIM_RCC_SIZE);
        ok = ok && add_mmio(b, SIM_DBGMCU_BASE, 0x400);
    }
    for (const SimMemRegion& r : p.plain)
        if (r.size) ok = ok && add_mmio(b, r.base, r.size);
    // The engine maps whole 1 KB pages: the register block's pages.
    const uint32_t reg_page = b->flash.reg_base & ~0x3FFu;
    ok = ok && add_mmio(b, reg_page, (b->flash.reg_base + b->flash.reg_size - reg_page + 0x3FFu) & ~0x3FFu);
    ok = ok && add_mmio(b, SIM_ITM_BASE, 0x3000); // ITM, DWT, FPB
    ok = ok && add_mmio(b, SIM_SCS_BASE, SIM_SCS_SIZE);
    ok = ok && add_mmio(b, SIM_ROM_M4_BASE, 0x1000);
    uc_hook h;
    ok = ok && uc_hook_add(uc, &h, UC_HOOK_MEM_WRITE_PROT, reinterpret_cast<void*>(hook_write_prot), b, 1, 0) == UC_ERR_OK;
    return ok;
}

void fill_sysmem(SimBoard* b) {
    const SimBoardProfile& p = b->profile;
    std::memset(b->sysmem.get(), 0xFF, p.sysmem.size);
    if (!p.stm32f4_periph) {  // the size word and the unique id where the family keeps them
        if (in(p.flash_size_addr, 2, p.sysmem.base, p.sysmem.size))
            store_le(b->sysmem.get() + (p.flash_size_addr - p.sysmem.base), 2, p.flash_size_kb);
        for (unsigned i = 0; i < 3; ++i)
            if (in(p.uid_addr + 4 * i, 4, p.sysmem.base, p.sysmem.size))
                store_le(b->sysmem.get() + (p.uid_addr + 4 * i - p.sysmem.base), 4, p.uid[i]);
        return;
    }
    for (uint32_t a = SIM_SYSINFO_BASE; a < SIM_SYSINFO_BASE + SIM_SYSINFO_SIZE; a += 2) {
        uint32_t v = 0;
        if (in(a, 2, p.sysmem.base, p.sysmem.size) && sim_sysinfo_read(&b->periph, a - SIM_SYSINFO_BASE, 2, &v))
            store_le(b->sysmem.get() + (a - p.sysmem.base), 2, v);
    }
}

void advance_time(SimBoard* b, uint64_t cycles, bool core_clocked) {
    if (core_clocked) {
        sim_systick_advance(&b->core, cycles);
        sim_dwt_advance(&b->dwt, cycles);
    }
    const uint64_t total = b->periph_ns_rem + cycles * 1000;
    const uint64_t ns = total / b->profile.instr_per_us;
    b->periph_ns_rem = total % b->profile.instr_per_us;
    const uint64_t busy = b->flash.ops->busy_ns(b->flash.self);
    if (busy != UINT64_MAX) b->flash_busy_ns += busy < ns ? busy : ns;
    b->flash.ops->advance(b->flash.self, ns);
    if (b->flash.ops->irq_pending(b->flash.self)) sim_cm_set_irq_line(&b->core, b->profile.flash_irq, true);
}

void handle_reset_requests(SimBoard* b) {
    if (b->core.sysreset_request) {
        b->core.sysreset_request = false;
        sim_board_system_reset(b);
    } else if (b->core.vectreset_request) { // the core alone
        b->core.vectreset_request = false;
        sim_cm_system_reset(&b->core);
    }
}

void set_nreset(void* ctx, bool asserted) {
    auto* b = static_cast<SimBoard*>(ctx);
    if (asserted == b->nreset) return;
    b->nreset = asserted;
    if (asserted) {
        sim_board_system_reset(b);
        b->core.reset_pin = true;
    } else {
        b->core.reset_pin = false;
        sim_board_system_reset(b); // leaves reset: vectors fetched now
    }
}

void power_request(void* ctx, bool debug, bool system, bool* debug_ack, bool* system_ack) {
    auto* b = static_cast<SimBoard*>(ctx);
    b->dbg_pwr = debug;
    b->sys_pwr = system;
    if (debug_ack) *debug_ack = debug;
    if (system_ack) *system_ack = system;
}

bool supported(const SimBoardProfile& p) {
    for (const SimMemRegion& r : p.plain)
        if (r.size && ((r.base | r.size) & 0x3FFu)) return false;
    return p.flash_kind != SimFlashKind::none && p.instr_per_us > 0 && p.sram.size && p.sysmem.size &&
           p.priority_bits >= 2 && p.priority_bits <= 8 && p.nvic_irqs <= SIM_CM_MAX_IRQS;
}

} // namespace

SimBoard* sim_board_create(const SimBoardProfile& profile) {
    if (!supported(profile)) return nullptr;
    auto* b = new (std::nothrow) SimBoard();
    if (!b) return nullptr;
    b->profile = profile;
    b->sram.reset(new (std::nothrow) uint8_t[profile.sram.size]());
    b->ccm.reset(new (std::nothrow) uint8_t[profile.ccm.size ? profile.ccm.size : 1]());
    b->sysmem.reset(new (std::nothrow) uint8_t[profile.sysmem.size]());
    bool plain_ok = true;
    for (unsigned i = 0; i < kMaxPlain; ++i)
        if (profile.plain[i].size) {
            b->plain[i].reset(new (std::nothrow) uint8_t[profile.plain[i].size]());
            plain_ok = plain_ok && b->plain[i];
        }
    // The flash the profile names is the flash its controller programs, all of it.
    const uint64_t div = profile.flash_time_divisor ? profile.flash_time_divisor : 1;
    if (!b->sram || !b->ccm || !b->sysmem || !plain_ok || !sim_flash_create(profile.flash_kind, div, &b->flash) ||
        b->flash.array_size != profile.flash.size ||
        !sim_cm_init(&b->core, profile, SimMemPort{b, core_read, core_write})) {
        sim_flash_destroy(&b->flash);
        delete b;
        return nullptr;
    }
    uint8_t uid[12];
    for (unsigned i = 0; i < 3; ++i) store_le(uid + 4 * i, 4, profile.uid[i]);
    sim_stm32_init(&b->periph, uid);
    b->periph.flash_kb = profile.flash_size_kb;
    SimFpbProfile fpbp = sim_fpb_profile_cortex_m4();
    if (profile.fpb_version == 2) fpbp.version = 2;
    if (profile.fpb_code || profile.fpb_lit) fpbp.num_code = profile.fpb_code, fpbp.num_lit = profile.fpb_lit;
    sim_fpb_init(&b->fpb, &fpbp);
    sim_dwt_init(&b->dwt, SimDwtCoreView{b, sample_pc});
    sim_itm_init(&b->itm);
    if (profile.rom_ids == SimRomIds::arm) sim_rom_init_cortex_m4(&b->rom);
    else sim_rom_init_stm32(&b->rom, profile.rom_part ? profile.rom_part : 0x413);
    fill_sysmem(b);
    if (!map_memory(b)) {
        sim_board_destroy(b);
        return nullptr;
    }
    b->core.flush_ctx = b;
    b->core.flush = flush_fixups;
    b->core.instr_check_ctx = b;
    b->core.instr_check = instr_check;
    sim_cm_add_fetch_region(&b->core, profile.flash.base, profile.flash.size, b->flash.array);
    if (profile.flash_alias != profile.flash.base)
        sim_cm_add_fetch_region(&b->core, profile.flash_alias, profile.flash.size, b->flash.array);
    sim_cm_add_fetch_region(&b->core, profile.sram.base, profile.sram.size, b->sram.get());
    sim_cm_add_fetch_region(&b->core, profile.sysmem.base, profile.sysmem.size, b->sysmem.get());
    sim_board_power_on_reset(b);
    return b;
}

void sim_board_destroy(SimBoard* b) {
    if (!b) return;
    sim_cm_destroy(&b->core);
    sim_flash_destroy(&b->flash);
    delete b;
}

SimMemPort sim_board_debug_port(SimBoard* b) { return SimMemPort{b, debug_read, debug_write}; }
SimTargetLines sim_board_lines(SimBoard* b) { return SimTargetLines{b, set_nreset, power_request}; }

void sim_board_power_on_reset(SimBoard* b) {
    b->flash.ops->power_on_reset(b->flash.self);
    clear_plain(b);
    uint8_t uid[12];
    for (unsigned i = 0; i < 3; ++i) store_le(uid + 4 * i, 4, b->profile.uid[i]);
    sim_stm32_init(&b->periph, uid);
    b->periph.flash_kb = b->profile.flash_size_kb;
    sim_fpb_reset(&b->fpb);
    sim_dwt_reset(&b->dwt);
    sim_itm_reset(&b->itm);
    b->num_fixups = 0;
    b->core.flush_flag = false;
    b->dirty_flash.add(0, b->profile.flash.size);
    b->dirty_sram.add(b->profile.sram.base, b->profile.sram.size);
    invalidate_code(b);
    sim_cm_power_on_reset(&b->core);
    sync_trcena(b);
}

void sim_board_system_reset(SimBoard* b) {
    clear_plain(b);
    b->flash.ops->system_reset(b->flash.self);
    sim_stm32_reset(&b->periph, b->nreset ? SimStm32ResetCause::pin : SimStm32ResetCause::software);
    b->dirty_flash.add(0, b->profile.flash.size);
    b->dirty_sram.add(b->profile.sram.base, b->profile.sram.size);
    invalidate_code(b);
    sim_cm_system_reset(&b->core);
}

void sim_board_run(SimBoard* b, uint64_t ns) {
    // 128-bit product: no overflow however long the caller asks to run.
    const unsigned __int128 total = static_cast<unsigned __int128>(ns) * b->profile.instr_per_us + b->cycle_rem;
    const unsigned __int128 whole = total / 1000;
    uint64_t cycles = whole > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(whole);
    b->cycle_rem = static_cast<uint64_t>(total % 1000);
    b->now_ns += ns;
    SimCortexM* c = &b->core;
    // Every pass uses at least one cycle of the budget: the loop ends.
    while (cycles > 0) {
        handle_reset_requests(b);
        if (!sim_cm_can_execute(c)) {
            uint64_t chunk = cycles;
            const bool clocked = !(c->halted || c->reset_pin || c->held_in_reset);
            if (c->sleeping) {
                const uint64_t to_tick = sim_systick_cycles_to_event(c);
                if (to_tick < chunk) chunk = to_tick ? to_tick : 1;
            }
            advance_time(b, chunk, clocked);
            cycles -= chunk;
            sim_cm_check_wake(c);
            continue;
        }
        uint64_t chunk = cycles;
        const uint64_t to_tick = sim_systick_cycles_to_event(c);
        if (to_tick < chunk) chunk = to_tick ? to_tick : 1;
        const uint64_t flash_ns = b->flash.ops->busy_ns(b->flash.self);
        if (flash_ns && flash_ns != UINT64_MAX) { // run only until the flash operation ends, so polling sees it end on time
            const uint64_t to_flash = (flash_ns * b->profile.instr_per_us + 999) / 1000;
            if (to_flash < chunk) chunk = to_flash ? to_flash : 1;
        }
        invalidate_code(b);
        sync_watch_hook(b);
        uint64_t used = sim_cm_run(c, chunk);
        if (used == 0) used = 1;
        if (used > cycles) used = cycles;
        advance_time(b, used, true);
        cycles -= used;
        invalidate_code(b);
    }
    handle_reset_requests(b);
}

uint64_t sim_board_now_ns(const SimBoard* b) { return b->now_ns; }

bool sim_board_read_mem(SimBoard* b, uint32_t addr, void* out, size_t size) {
    auto* dst = static_cast<uint8_t*>(out);
    for (size_t i = 0; i < size; ++i) {
        const uint32_t a = addr + static_cast<uint32_t>(i);
        if (a < addr) return false; // wrapped
        uint32_t off = 0, v = 0;
        if (flash_offset(b, a, 1, &off)) v = b->flash.array[off];
        else if (!bus_rw(b, a, 1, &v, false, true)) return false;
        dst[i] = static_cast<uint8_t>(v);
    }
    return true;
}

bool sim_board_write_mem(SimBoard* b, uint32_t addr, const void* data, size_t size) {
    const auto* src = static_cast<const uint8_t*>(data);
    const SimBoardProfile& p = b->profile;
    for (size_t i = 0; i < size; ++i) {
        const uint32_t a = addr + static_cast<uint32_t>(i);
        if (a < addr) return false;
        uint32_t off = 0;
        if (flash_offset(b, a, 1, &off)) {
            b->flash.array[off] = src[i];
            b->dirty_flash.add(off, 1);
        } else if (in(a, 1, p.sram.base, p.sram.size)) {
            b->sram[a - p.sram.base] = src[i];
            b->dirty_sram.add(a, 1);
        } else if (in(a, 1, p.ccm.base, p.ccm.size)) {
            b->ccm[a - p.ccm.base] = src[i];
        } else {
            return false;
        }
    }
    return true;
}

bool sim_board_load_image(SimBoard* b, uint32_t addr, const uint8_t* data, size_t size) {
    return sim_board_write_mem(b, addr, data, size);
}

bool sim_board_load_elf(SimBoard* b, const uint8_t* d, size_t size, char* err, size_t err_size) {
    auto fail = [&](const char* msg) {
        if (err && err_size) std::snprintf(err, err_size, "%s", msg);
        return false;
    };
    if (size < 52 || std::memcmp(d, "\x7f" "ELF", 4) != 0) return fail("not an ELF file");
    if (d[4] != 1 || d[5] != 1) return fail("not a 32-bit little-endian ELF");
    if (load_le(d + 18, 2) != 40) return fail("not an ARM ELF");
    const uint32_t phoff = load_le(d + 28, 4);
    const uint32_t phentsize = load_le(d + 42, 2);
    const uint32_t phnum = load_le(d + 44, 2);
    if (phnum == 0) return fail("no program headers");
    if (phentsize < 32 || phoff > size || (size - phoff) / phentsize < phnum) return fail("program headers outside the file");
    for (uint32_t i = 0; i < phnum; ++i) {
        const uint8_t* ph = d + phoff + i * phentsize;
        if (load_le(ph, 4) != 1) continue; // PT_LOAD only
        const uint32_t offset = load_le(ph + 4, 4), paddr = load_le(ph + 12, 4);
        const uint32_t filesz = load_le(ph + 16, 4), memsz = load_le(ph + 20, 4);
        if (offset > size || size - offset < filesz) return fail("segment data outside the file");
        if (filesz && !sim_board_write_mem(b, paddr, d + offset, filesz)) return fail("segment outside memory");
        for (uint32_t z = filesz; z < memsz; ++z) {
            const uint8_t zero = 0;
            if (!sim_board_write_mem(b, paddr + z, &zero, 1)) return fail("segment outside memory");
        }
    }
    return true;
}

bool sim_board_load_elf_file(SimBoard* b, const char* path, char* err, size_t err_size) {
    FILE* f = std::fopen(path, "rb");
    if (!f) {
        if (err && err_size) std::snprintf(err, err_size, "cannot open %s", path);
        return false;
    }
    constexpr size_t kMax = 8u << 20;
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[kMax]);
    const size_t n = buf ? std::fread(buf.get(), 1, kMax, f) : 0;
    const bool too_big = n == kMax;
    std::fclose(f);
    if (!buf || too_big) {
        if (err && err_size) std::snprintf(err, err_size, "%s: unreadable or larger than 8 MB", path);
        return false;
    }
    return sim_board_load_elf(b, buf.get(), n, err, err_size);
}

bool sim_board_read_core_reg(SimBoard* b, unsigned regsel, uint32_t* value) { return sim_cm_read_reg(&b->core, regsel, value); }
bool sim_board_write_core_reg(SimBoard* b, unsigned regsel, uint32_t value) { return sim_cm_write_reg(&b->core, regsel, value); }
bool sim_board_is_halted(const SimBoard* b) { return b->core.halted; }
bool sim_board_is_sleeping(const SimBoard* b) { return b->core.sleeping; }
bool sim_board_is_locked_up(const SimBoard* b) { return b->core.lockup; }
uint64_t sim_board_instr_count(const SimBoard* b) { return b->core.instr_count; }

void sim_board_hold_in_reset(SimBoard* b, bool held) {
    if (held == b->core.held_in_reset) return;
    if (held) {
        sim_board_system_reset(b);
        b->core.held_in_reset = true;
    } else {
        b->core.held_in_reset = false;
        sim_board_system_reset(b);
    }
}

void sim_board_set_never_halt(SimBoard* b, bool on) { b->core.never_halt = on; }

SimCortexM* sim_board_core(SimBoard* b) { return &b->core; }
SimFlashF4* sim_board_flash(SimBoard* b) {
    return b->flash.kind == SimFlashKind::stm32f4 ? static_cast<SimFlashF4*>(b->flash.self) : nullptr;
}
SimFlashCtl* sim_board_flash_ctl(SimBoard* b) { return &b->flash; }
uint64_t sim_board_flash_busy_ns(const SimBoard* b) { return b->flash_busy_ns; }
SimStm32Periph* sim_board_periph(SimBoard* b) { return &b->periph; }
