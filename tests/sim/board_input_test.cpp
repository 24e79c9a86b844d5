// Bad input and the bus map: clear false answers, never a crash or a hang.
#include "board_helpers_test.h"

#include <cstring>

using namespace board_test;

// The demo's ELF, as gcc and ld wrote it, lands where objcopy puts it, its .bss zeroed; copies with one
// field broken (header fields at their fixed offsets, the first program header's at e_phoff) are refused.
TEST(BoardInput, ElfPlacesTheSameBytesAsObjcopyAndBrokenCopiesAreRefused) {
    const std::string fw = std::string(KORVANE_DEMO_FW_DIR) + "/demo_O0_dwarf4";
    const std::vector<uint8_t> bin = read_binary_file(fw + ".bin"), elf = read_binary_file(fw + ".elf");
    auto sym = nm_symbols(fw + ".elf");
    if (bin.empty() || elf.size() < 52 || sym.empty()) GTEST_SKIP() << "demo firmware not built";
    BoardPtr bp = make_board();
    SimBoard* b = bp.get();
    char err[128] = "";
    set_words(b, {{sym["_sbss"], 0xA5A5A5A5}, {sym["_ebss"] - 4, 0xA5A5A5A5}});
    ASSERT_TRUE(sim_board_load_elf(b, elf.data(), elf.size(), err, sizeof err)) << err;
    std::vector<uint8_t> flash(bin.size());
    ASSERT_TRUE(sim_board_read_mem(b, 0x08000000, flash.data(), flash.size()));
    EXPECT_EQ(flash, bin);
    expect_words(b, {{sym["_sbss"], 0}, {sym["_ebss"] - 4, 0}});
    const uint32_t ph = elf[28] | elf[29] << 8;
    const struct { const char* what; uint32_t off, value, n; } cases[] = {
        {"big-endian", 5, 2, 1}, {"64-bit", 4, 2, 1}, {"x86", 18, 3, 2}, {"program headers past the end", 28, 0x7FFFFFF0, 4},
        {"too many program headers", 44, 0xFFFF, 2}, {"segment offset wraps", ph + 4, 0xFFFFFFF0, 4},
        {"unmapped target", ph + 12, 0x60000000, 4}, {"past the end of SRAM", ph + 12, 0x2001FFFE, 4},
        {"segment data past the end", ph + 16, 0x7FFFFFF0, 4}, {"truncated header", 0, 0, 0}, {"empty", 0, 0, 0}};
    for (const auto& c : cases) {
        std::vector<uint8_t> f = elf;
        for (unsigned i = 0; i < c.n; ++i) f[c.off + i] = uint8_t(c.value >> (8 * i));
        if (!c.n) f.resize(*c.what == 'e' ? 0 : 40);
        err[0] = 0;
        EXPECT_FALSE(sim_board_load_elf(b, f.data(), f.size(), err, sizeof err)) << c.what;
        EXPECT_NE(err[0], 0) << c.what << ": no message";
    }
    EXPECT_FALSE(sim_board_load_elf_file(b, "/nonexistent/firmware.elf", err, sizeof err));
    EXPECT_NE(std::strstr(err, "/nonexistent/firmware.elf"), nullptr);
}

TEST(BoardInput, DebugPortAnswersTheBusMap) {
    constexpr uint32_t R = 0xBAD0BAD0; // read only
    BoardPtr bp = make_board(), other = make_board();
    SimBoard* b = bp.get();
    SimMemPort p = sim_board_debug_port(b);
    struct Access { uint32_t addr; unsigned size; uint32_t write = R, want = 0; }; // written first unless R; read back
    // Identification (RM0090, ARM), memories with flash and its alias,
    // priority bytes keeping 4 bits, AIRCR's key, SysTick CALIB (10 ms of
    // 16 MHz / 8), the NVIC's 82 lines, ICTR, the ROM table's CIDR0.
    const Access ok[] = {
        {0xE000ED00, 4, R, 0x410FC241}, {0xE0042000, 4, R, 0x10076413}, {0x1FFF7A22, 2, R, 1024},
        {0x1FFF7A10, 4, R, 0x00430031}, {0x2001FFFC, 4, 0xCAFEF00D, 0xCAFEF00D}, {0x1000FFFE, 2, 0xBEEF, 0xBEEF},
        {0x080FFFFC, 4, R, 0xFFFFFFFF}, {0x000FFFFC, 4, R, 0xFFFFFFFF}, {0xE000E403, 1, 0xFF, 0xF0},
        {0xE000ED22, 1, 0x5A, 0x50}, {AIRCR, 4, 0x05FA0300, 0xFA050300}, {AIRCR, 4, 0x00000500, 0xFA050300},
        {0xE000E01C, 4, R, 19999}, {0xE000E100, 4, 0x21, 0x21}, {0xE000E108, 4, 0xFFFFFFFF, 0x3FFFF},
        {0xE000E10C, 4, 0xFFFFFFFF, 0}, {0xE000E180, 4, 0x01, 0x20}, {0xE000E200, 4, 0x0C, 0x0C},
        {0xE000E280, 4, R, 0x0C}, {ICSR, 4, R, 0x00400000}, {0xE000E280, 4, 0x04, 0x08},
        {0xE000E300, 4, R, 0}, {0xE000E004, 4, R, 2}, {0xE00FFFF0, 4, R, 0x0D}};
    for (const Access& a : ok) {
        uint32_t v = 0;
        EXPECT_TRUE(a.write == R || p.write(p.ctx, a.addr, a.size, a.write)) << std::hex << a.addr;
        EXPECT_TRUE(p.read(p.ctx, a.addr, a.size, &v)) << std::hex << a.addr;
        EXPECT_EQ(v, a.want) << std::hex << a.addr;
    }
    // Refused: unmapped, past the ends, misaligned, odd sizes, read-only
    // memory, narrow stores to a word register.
    const Access bad[] = {{0x20020000, 4}, {0x10010000, 4}, {0x08100000, 4}, {0x00100000, 4}, {0x60000000, 4},
                          {0xA0000000, 4}, {0xE0040000, 4}, {0x40000000, 4}, {0x1FFEFFFC, 4}, {0x20000001, 4},
                          {0x20000001, 2}, {0x20000000, 3}, {0x20000000, 8}};
    for (const Access& a : bad) {
        uint32_t v = 0;
        EXPECT_FALSE(p.read(p.ctx, a.addr, a.size, &v)) << std::hex << a.addr;
        EXPECT_FALSE(p.write(p.ctx, a.addr, a.size, 0)) << std::hex << a.addr;
    }
    EXPECT_FALSE(p.write(p.ctx, 0x1FFF7A10, 4, 0));
    EXPECT_FALSE(p.write(p.ctx, DHCSR, 2, 0xA05F));
    expect_words(other.get(), {{0x2001FFFC, 0}, {0xE000E100, 0}}); // boards are independent
}

TEST(BoardInput, EmulationIsBoundedByTime) {
    BoardPtr bp = make_board(); // a blank chip: vectors read 0xFFFFFFFF, the core locks up
    SimBoard* b = bp.get();
    sim_board_run(b, 10 * kMs);
    EXPECT_TRUE(sim_board_is_locked_up(b) && sim_board_instr_count(b) == 0);
    // "b ." forever: each run executes exactly its share of instructions, fractions carried over (31 ns x 16 / 1000).
    const uint32_t image[3] = {0x20001000, 0x08000009, 0xE7FE};
    ASSERT_TRUE(sim_board_load_image(b, 0x08000000, reinterpret_cast<const uint8_t*>(image), sizeof image));
    sim_board_system_reset(b);
    sim_board_run(b, 100 * kMs);
    for (int i = 0; i < 1000; ++i) sim_board_run(b, 31);
    EXPECT_EQ(sim_board_instr_count(b), 1600000u + 496u);
    EXPECT_EQ(reg(b, SIM_REG_DEBUG_RETURN), 0x08000008u);
    EXPECT_EQ(sim_board_now_ns(b), 110 * kMs + 31000);
}
