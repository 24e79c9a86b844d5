// Shared by the board tests. Outside oracles: arm-none-eabi-as/ld (small test
// programs), binutils through tests/symbols/oracle.h, the demo firmware and its .bin.
#pragma once

#include "sim/board.h"
#include "sim/cortexm.h"
#include "sim/scs.h"
#include "tests/symbols/oracle.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <unistd.h>

namespace board_test {

// Thumb source assembled and linked at `base` by binutils; empty if absent.
struct Program { std::vector<uint8_t> bytes; std::map<std::string, uint32_t> sym; };
inline Program assemble(const std::string& source, uint32_t base) {
    TempDir t("board_asm");
    char text[16];
    std::snprintf(text, sizeof text, "%x", base);
    write_text_file(t / "p.s", ".syntax unified\n.thumb\n" + source + "\n");
    run_capture("cd " + t.path + " && arm-none-eabi-as -mcpu=cortex-m4 -o p.o p.s && arm-none-eabi-ld -Ttext=" + text +
                " -o p.elf p.o && arm-none-eabi-objcopy -O binary p.elf p.bin 2>&1");
    return {read_binary_file(t / "p.bin"), nm_symbols(t / "p.elf")};
}

struct BoardDeleter { void operator()(SimBoard* b) const { sim_board_destroy(b); } };
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

// Addresses from the ARMv7-M manual, written out rather than taken from the simulator.
constexpr uint32_t DHCSR = 0xE000EDF0, DCRSR = 0xE000EDF4, DCRDR = 0xE000EDF8, DEMCR = 0xE000EDFC;
constexpr uint32_t DFSR = 0xE000ED30, CFSR = 0xE000ED28, HFSR = 0xE000ED2C, BFAR = 0xE000ED38;
constexpr uint32_t AIRCR = 0xE000ED0C, SHCSR = 0xE000ED24, ICSR = 0xE000ED04, VTOR = 0xE000ED08;
constexpr uint64_t kMs = 1000000; // ns

inline void dhcsr(SimBoard* b, uint32_t ctrl) { dbg_write(b, DHCSR, SIM_DHCSR_KEY | ctrl); }
inline void halt(SimBoard* b) {
    dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_HALT);
    sim_board_run(b, 100);
}

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
inline uint32_t ipsr(SimBoard* b) { return reg(b, SIM_REG_XPSR) & 0x1FF; }
inline uint32_t stacked_pc(SimBoard* b) { return dbg_read(b, reg(b, SIM_REG_MSP) + 24); }

// {what, value}: what < 0x100 is a register selector (kIpsr: IPSR alone),
// anything else a word on the bus. Written through DCRSR / the debug port.
constexpr uint32_t kIpsr = 0xFF;
struct Word { uint32_t what, value; };
inline void set_words(SimBoard* b, std::initializer_list<Word> words) {
    for (const Word& w : words) {
        if (w.what < 0x100) EXPECT_TRUE(core_reg_write(b, w.what, w.value)) << w.what;
        else dbg_write(b, w.what, w.value);
    }
}
inline void expect_words(SimBoard* b, std::initializer_list<Word> words) {
    for (const Word& w : words) {
        const uint32_t v = w.what == kIpsr ? ipsr(b) : w.what < 0x100 ? reg(b, w.what) : dbg_read(b, w.what);
        EXPECT_EQ(v, w.value) << std::hex << "at 0x" << w.what;
    }
}

// The demo firmware loaded and reset; false (the test skips) when absent.
struct Demo {
    BoardPtr board = make_board();
    std::string elf = std::string(KORVANE_DEMO_FW_DIR) + "/demo_O2_dwarf4.elf";
    std::map<std::string, uint32_t> sym = nm_symbols(elf);
};
inline bool load_demo(Demo* d) {
    char err[128] = "";
    if (d->sym.empty() || !d->board) return false;
    EXPECT_TRUE(sim_board_load_elf_file(d->board.get(), d->elf.c_str(), err, sizeof err)) << err;
    sim_board_system_reset(d->board.get());
    return true;
}
#define NEED_DEMO(d)                                                                       \
    Demo d;                                                                                \
    if (!load_demo(&d)) GTEST_SKIP() << "demo firmware or arm-none-eabi-nm not available"; \
    SimBoard* b = d.board.get()

} // namespace board_test
