// Shared by the board tests: symbol lookup through arm-none-eabi-nm (an
// oracle nobody here wrote), debug-port register access, the demo firmware.
#pragma once

#include "sim/board.h"
#include "sim/cortexm.h"
#include "sim/scs.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

namespace board_test {

inline std::string demo_elf(const char* variant) {
    return std::string(KORVANE_DEMO_FW_DIR) + "/" + variant + ".elf";
}

inline bool file_exists(const std::string& p) {
    FILE* f = std::fopen(p.c_str(), "rb");
    if (f) std::fclose(f);
    return f != nullptr;
}

inline std::string run_tool(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

// name -> address, from arm-none-eabi-nm.
inline std::map<std::string, uint32_t> symbols(const std::string& elf) {
    std::map<std::string, uint32_t> m;
    const std::string out = run_tool("arm-none-eabi-nm " + elf + " 2>/dev/null");
    size_t pos = 0;
    while (pos < out.size()) {
        size_t eol = out.find('\n', pos);
        if (eol == std::string::npos) eol = out.size();
        const std::string line = out.substr(pos, eol - pos);
        pos = eol + 1;
        char type = 0;
        char name[256];
        unsigned long addr = 0;
        if (std::sscanf(line.c_str(), "%lx %c %255s", &addr, &type, name) == 3) m[name] = static_cast<uint32_t>(addr);
    }
    return m;
}

struct BoardDeleter {
    void operator()(SimBoard* b) const { sim_board_destroy(b); }
};
using BoardPtr = std::unique_ptr<SimBoard, BoardDeleter>;

inline BoardPtr make_board() { return BoardPtr(sim_board_create(sim_board_profile_stm32f405())); }

inline uint32_t dbg_read(SimBoard* b, uint32_t addr) {
    SimMemPort p = sim_board_debug_port(b);
    uint32_t v = 0xDEADBEEF;
    EXPECT_TRUE(p.read(p.ctx, addr, 4, &v)) << std::hex << addr;
    return v;
}
inline void dbg_write(SimBoard* b, uint32_t addr, uint32_t v) {
    SimMemPort p = sim_board_debug_port(b);
    EXPECT_TRUE(p.write(p.ctx, addr, 4, v)) << std::hex << addr;
}

constexpr uint32_t DHCSR = 0xE000EDF0, DCRSR = 0xE000EDF4, DCRDR = 0xE000EDF8, DEMCR = 0xE000EDFC;
constexpr uint32_t DFSR = 0xE000ED30, CFSR = 0xE000ED28, HFSR = 0xE000ED2C, BFAR = 0xE000ED38;
constexpr uint32_t AIRCR = 0xE000ED0C, SHCSR = 0xE000ED24, ICSR = 0xE000ED04;

inline void dhcsr(SimBoard* b, uint32_t ctrl) { dbg_write(b, DHCSR, SIM_DHCSR_KEY | ctrl); }

// A register through DCRSR/DCRDR, as a debugger does it.
inline bool core_reg_read(SimBoard* b, unsigned sel, uint32_t* v) {
    dbg_write(b, DCRSR, sel);
    if (!(dbg_read(b, DHCSR) & SIM_DHCSR_S_REGRDY)) return false;
    *v = dbg_read(b, DCRDR);
    return true;
}
inline bool core_reg_write(SimBoard* b, unsigned sel, uint32_t v) {
    dbg_write(b, DCRDR, v);
    dbg_write(b, DCRSR, sel | (1u << 16));
    return (dbg_read(b, DHCSR) & SIM_DHCSR_S_REGRDY) != 0;
}

inline uint32_t reg(SimBoard* b, unsigned sel) {
    uint32_t v = 0;
    EXPECT_TRUE(sim_board_read_core_reg(b, sel, &v));
    return v;
}

inline uint32_t mem32(SimBoard* b, uint32_t addr) {
    uint32_t v = 0;
    EXPECT_TRUE(sim_board_read_mem(b, addr, &v, 4));
    return v;
}

// The demo firmware loaded and reset; null (test skipped) when absent.
struct Demo {
    BoardPtr board;
    std::map<std::string, uint32_t> sym;
    std::string elf;
};

inline bool load_demo(Demo* d, const char* variant = "demo_O2_dwarf4") {
    d->elf = demo_elf(variant);
    if (!file_exists(d->elf)) return false;
    d->sym = symbols(d->elf);
    d->board = make_board();
    if (!d->board) return false;
    char err[128] = "";
    EXPECT_TRUE(sim_board_load_elf_file(d->board.get(), d->elf.c_str(), err, sizeof err)) << err;
    sim_board_system_reset(d->board.get());
    return !d->sym.empty();
}

constexpr uint64_t kMs = 1000000; // ns

} // namespace board_test
