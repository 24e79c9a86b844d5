// Bad input and the bus map: clear false answers, never a crash or a hang.
#include "board_helpers_test.h"

#include <cstring>

using namespace board_test;

namespace {

void put(std::vector<uint8_t>& v, size_t off, uint32_t x, unsigned n = 4) {
    for (unsigned i = 0; i < n; ++i) v[off + i] = static_cast<uint8_t>(x >> (8 * i));
}

// A minimal ELF32 ARM executable: one PT_LOAD of `payload` at `paddr`, 8 bytes of .bss.
std::vector<uint8_t> tiny_elf(uint32_t paddr, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> f(84 + payload.size(), 0);
    std::memcpy(f.data(), "\x7f" "ELF\x01\x01\x01", 7);
    const uint32_t fields[][3] = {{16, 2, 2}, {18, 40, 2}, {20, 1, 4}, {28, 52, 4}, {40, 52, 2}, {42, 32, 2},
                                  {44, 1, 2}, {52, 1, 4}, {56, 84, 4}, {60, paddr, 4}, {64, paddr, 4},
                                  {68, static_cast<uint32_t>(payload.size()), 4},
                                  {72, static_cast<uint32_t>(payload.size()) + 8, 4}};
    for (const auto& x : fields) put(f, x[0], x[1], x[2]);
    std::memcpy(f.data() + 84, payload.data(), payload.size());
    return f;
}

} // namespace

TEST(BoardInput, ProfilesThatCannotBeBuiltGiveNull) {
    SimBoardProfile p[3] = {sim_board_profile_stm32f405(), p[0], p[0]};
    p[0].instr_per_us = 0;
    p[1].core = SimCoreKind::cortex_m0plus; // room kept in the profile, not built yet
    p[2].nvic_irqs = 1000;
    for (const SimBoardProfile& x : p) EXPECT_EQ(sim_board_create(x), nullptr);
}

// A field of the good file changed, or another file: each refused with a message.
TEST(BoardInput, ElfLoaderRefusesBrokenFiles) {
    BoardPtr bp = make_board();
    SimBoard* b = bp.get();
    char err[128];
    const std::vector<uint8_t> good = tiny_elf(0x20000100, {1, 2, 3, 4, 5});
    ASSERT_TRUE(sim_board_load_elf(b, good.data(), good.size(), err, sizeof err)) << err;
    expect_words(b, {{0x20000100, 0x04030201}, {0x20000104, 5}, {0x20000108, 0}}); // memsz beyond filesz is zeroed
    const struct { const char* what; uint32_t off, value, n; } cases[] = {
        {"big-endian", 5, 2, 1}, {"64-bit", 4, 2, 1}, {"x86", 18, 3, 2}, {"program headers past the end", 28, 0x7FFFFFF0, 4},
        {"too many program headers", 44, 0xFFFF, 2}, {"segment data past the end", 68, 0x10000, 4},
        {"segment offset wraps", 56, 0xFFFFFFF0, 4}};
    std::vector<std::pair<std::string, std::vector<uint8_t>>> files = {
        {"empty", {}}, {"truncated header", std::vector<uint8_t>(good.begin(), good.begin() + 40)},
        {"unmapped target", tiny_elf(0x60000000, {1, 2, 3})}, {"past the end of SRAM", tiny_elf(0x2001FFFE, {1, 2, 3, 4})}};
    for (const auto& c : cases) {
        files.push_back({c.what, good});
        put(files.back().second, c.off, c.value, c.n);
    }
    for (const auto& [what, file] : files) {
        err[0] = 0;
        EXPECT_FALSE(sim_board_load_elf(b, file.data(), file.size(), err, sizeof err)) << what;
        EXPECT_NE(err[0], 0) << what << ": no message";
    }
    EXPECT_FALSE(sim_board_load_elf_file(b, "/nonexistent/firmware.elf", err, sizeof err));
    EXPECT_NE(std::strstr(err, "/nonexistent/firmware.elf"), nullptr);
}

TEST(BoardInput, ElfPlacesTheSameBytesAsObjcopy) {
    const std::string fw = std::string(KORVANE_DEMO_FW_DIR) + "/demo_O0_dwarf4";
    const std::vector<uint8_t> bin = read_binary_file(fw + ".bin");
    if (bin.empty()) GTEST_SKIP() << "demo firmware not built";
    BoardPtr bp = make_board();
    char err[128] = "";
    ASSERT_TRUE(sim_board_load_elf_file(bp.get(), (fw + ".elf").c_str(), err, sizeof err)) << err;
    std::vector<uint8_t> flash(bin.size());
    ASSERT_TRUE(sim_board_read_mem(bp.get(), 0x08000000, flash.data(), flash.size()));
    EXPECT_EQ(flash, bin);
}

TEST(BoardInput, DebugPortAnswersTheBusMap) {
    constexpr uint32_t R = 0xBAD0BAD0; // read only
    BoardPtr bp = make_board(), other = make_board();
    SimBoard* b = bp.get();
    SimMemPort p = sim_board_debug_port(b);
    struct Access {
        uint32_t addr;
        unsigned size;
        uint32_t write = R; // written first unless R
        uint32_t want = 0;    // read back
    };
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
    EXPECT_TRUE(sim_board_is_locked_up(b));
    EXPECT_EQ(sim_board_instr_count(b), 0u);
    // "b ." forever: each run executes exactly its share of instructions.
    const uint32_t image[3] = {0x20001000, 0x08000009, 0xE7FE};
    ASSERT_TRUE(sim_board_load_image(b, 0x08000000, reinterpret_cast<const uint8_t*>(image), sizeof image));
    sim_board_system_reset(b);
    sim_board_run(b, 0);
    EXPECT_EQ(sim_board_instr_count(b), 0u);
    sim_board_run(b, 100 * kMs);
    EXPECT_EQ(sim_board_instr_count(b), 1600000u);
    for (int i = 0; i < 1000; ++i) sim_board_run(b, 31); // fractions carry over: 31 ns x 16 / 1000
    EXPECT_EQ(sim_board_instr_count(b), 1600000u + 496u);
    EXPECT_EQ(reg(b, SIM_REG_DEBUG_RETURN), 0x08000008u);
    EXPECT_EQ(sim_board_now_ns(b), 110 * kMs + 31000);
}
