// A CMSIS flash algorithm (an FLM file) run under Unicorn against one of
// the simulator's flash models through its seam: the algorithm's code and
// data in RAM at a load address of the test's choosing (they are position
// independent), its calls made as a debugger makes them, ending on a BKPT.
#pragma once

#include "sim/flash_ctl.h"
#include "tests/symbols/oracle.h"

#include <unicorn/unicorn.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

constexpr uint32_t FLM_RAM = 0x20000000, FLM_STOP = FLM_RAM + 0x1000, FLM_BUF = FLM_RAM + 0x2000,
                   FLM_STACK = FLM_RAM + 0x8000;

inline uint32_t flm_u32(const std::vector<uint8_t>& f, size_t p) {
    return p + 4 > f.size() ? 0 : f[p] | f[p + 1] << 8 | f[p + 2] << 16 | uint32_t(f[p + 3]) << 24;
}

// What the algorithm runs on: the model, where the flash starts, the core
// it was built for, peripheral pages it may touch besides the flash
// interface (kept as plain memory), words the chip holds there, and where
// the code is loaded.
struct FlmSetup {
    SimFlashKind kind;
    std::string path;
    uint32_t flash_base;
    int cpu;
    std::vector<uint32_t> plain_pages;
    std::vector<std::pair<uint32_t, uint32_t>> words;
    uint32_t load = FLM_RAM;
};

// The sectors of an algorithm's FlashDevice record: {offset, size} for each.
struct FlmSector { uint32_t offset, size; };

struct FlmRig {
    SimFlashCtl fc{};
    uc_engine* uc = nullptr;
    bool bus_fault = false;
    uint32_t data_base = 0, flash_base = 0, reg_page = 0, load = FLM_RAM;
    std::map<std::string, uint32_t> fn;
    std::vector<uint8_t> dev;  // the FlashDevice record
    ~FlmRig() {
        if (uc) uc_close(uc);
        sim_flash_destroy(&fc);
    }

    // One access by the algorithm; a refused one stops it. Each look at the
    // registers lets a microsecond pass: its BSY poll moves time forward.
    static uint64_t io(void* ud, uc_engine* uc, bool array, uint64_t off, unsigned size, const uint32_t* value) {
        auto* r = static_cast<FlmRig*>(ud);
        SimFlashCtl& f = r->fc;
        uint32_t v = 0;
        bool ok;
        if (array) {
            ok = value ? f.ops->array_write(f.self, uint32_t(off), size, *value)
                       : f.ops->array_read(f.self, uint32_t(off), size, &v);
        } else {
            f.ops->advance(f.self, 1000);
            const uint32_t at = r->reg_page + uint32_t(off);
            ok = at >= f.reg_base && at - f.reg_base < f.reg_size &&
                 (value ? f.ops->reg_write(f.self, at - f.reg_base, size, *value)
                        : f.ops->reg_read(f.self, at - f.reg_base, size, &v));
        }
        if (!ok) r->bus_fault = true, uc_emu_stop(uc);
        return v;
    }
    template <bool A> static uint64_t rd(uc_engine* uc, uint64_t off, unsigned n, void* ud) { return io(ud, uc, A, off, n, nullptr); }
    template <bool A> static void wr(uc_engine* uc, uint64_t off, unsigned n, uint64_t v, void* ud) {
        const uint32_t w = uint32_t(v);
        io(ud, uc, A, off, n, &w);
    }

    // Empty when ready, else why not: code at its link offset from the load
    // address, R9 the base of its data.
    std::string open(const FlmSetup& s) {
        const std::string& path = s.path;
        if (!sim_flash_create(s.kind, 100, &fc)) return "no model for " + path;
        flash_base = s.flash_base;
        load = s.load;
        for (const auto& [name, addr] : nm_symbols(path)) fn[name] = addr & ~1u;
        const auto sections = elf_sections(path);
        const auto code = elf_section_bytes(path, "PrgCode"), data = elf_section_bytes(path, "PrgData");
        dev = elf_section_bytes(path, "DevDscr");
        if (code.empty() || data.empty() || dev.size() < 0xA8 || !fn.count("ProgramPage"))
            return "no PrgCode/PrgData/DevDscr/symbols in " + path;
        if (flm_u32(dev, 0x84) != flash_base || flm_u32(dev, 0x88) > fc.array_size)
            return "the model's array does not hold the algorithm's device";
        if (uc_open(UC_ARCH_ARM, uc_mode(UC_MODE_THUMB | UC_MODE_MCLASS), &uc) != UC_ERR_OK) return "uc_open";
        uc_ctl_set_cpu_model(uc, s.cpu);
        const uint16_t bkpt = 0xBE00;
        data_base = load + sections.at("PrgData").addr;
        reg_page = fc.reg_base & ~0xFFFu;
        const uint32_t reg_span = ((fc.reg_base + fc.reg_size - reg_page) + 0xFFFu) & ~0xFFFu;
        bool ok = !uc_mem_map(uc, FLM_RAM, 0x10000, UC_PROT_ALL) &&
                  !uc_mmio_map(uc, reg_page, reg_span, rd<false>, this, wr<false>, this) &&
                  !uc_mmio_map(uc, flash_base, fc.array_size, rd<true>, this, wr<true>, this);
        for (uint32_t page : s.plain_pages) ok = ok && !uc_mem_map(uc, page, 0x1000, UC_PROT_ALL);
        for (const auto& [addr, value] : s.words) ok = ok && !uc_mem_write(uc, addr, &value, 4);
        ok = ok && !uc_mem_write(uc, load + sections.at("PrgCode").addr, code.data(), code.size()) &&
             !uc_mem_write(uc, data_base, data.data(), data.size()) && !uc_mem_write(uc, FLM_STOP, &bkpt, 2);
        return ok ? std::string() : "map/load";
    }
    // An algorithm function's result, or -1 if it did not come back to FLM_STOP.
    int64_t call(const char* name, uint32_t a0, uint32_t a1 = 0, uint32_t a2 = 0) {
        const uint32_t regs[] = {a0, a1, a2, data_base, FLM_STACK, FLM_STOP | 1u};
        const int ids[] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R9, UC_ARM_REG_SP, UC_ARM_REG_LR};
        for (int i = 0; i < 6; ++i) uc_reg_write(uc, ids[i], &regs[i]);
        bus_fault = false;
        const uc_err e = uc_emu_start(uc, (load + fn.at(name)) | 1u, FLM_STOP, 0, 50000000);  // bounded
        uint32_t pc = 0, r0 = 0;
        uc_reg_read(uc, UC_ARM_REG_PC, &pc);
        uc_reg_read(uc, UC_ARM_REG_R0, &r0);
        return e == UC_ERR_OK && !bus_fault && pc == FLM_STOP ? int64_t(r0) : -1;
    }
    std::vector<FlmSector> sectors() const {
        std::vector<FlmSector> out;
        const uint32_t size = flm_u32(dev, 0x88);
        for (size_t run = 0xA0; run + 8 <= dev.size() && flm_u32(dev, run) != 0xFFFFFFFFu; run += 8) {
            const uint32_t step = flm_u32(dev, run), next = flm_u32(dev, run + 8);
            const uint32_t end = next == 0xFFFFFFFFu || run + 16 > dev.size() ? size : flm_u32(dev, run + 12);
            for (uint32_t a = flm_u32(dev, run + 4); step && a < end; a += step) out.push_back({a, step});
        }
        return out;
    }
    // The `len` bytes at flash offset `off` all equal `b`.
    bool all(uint32_t off, uint32_t len, uint8_t v) const {
        for (uint32_t i = 0; i < len; ++i)
            if (fc.array[off + i] != v) return false;
        return true;
    }
};
