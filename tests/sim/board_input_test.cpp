// Bad input and the bus map: clear false answers, never a crash or a hang.
#include "board_helpers_test.h"

#include <cstring>
#include <vector>

using namespace board_test;

namespace {

std::vector<uint8_t> read_file(const std::string& path) {
    std::vector<uint8_t> v;
    FILE* fp = std::fopen(path.c_str(), "rb");
    if (!fp) return v;
    uint8_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0) v.insert(v.end(), buf, buf + n);
    std::fclose(fp);
    return v;
}

void put32(std::vector<uint8_t>& v, size_t off, uint32_t x) {
    for (int i = 0; i < 4; ++i) v[off + i] = static_cast<uint8_t>(x >> (8 * i));
}
void put16(std::vector<uint8_t>& v, size_t off, uint16_t x) {
    v[off] = static_cast<uint8_t>(x);
    v[off + 1] = static_cast<uint8_t>(x >> 8);
}

// A minimal ELF32 ARM executable with one PT_LOAD of `payload` at `paddr`.
std::vector<uint8_t> tiny_elf(uint32_t paddr, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> f(52 + 32 + payload.size(), 0);
    std::memcpy(f.data(), "\x7f" "ELF\x01\x01\x01", 7);
    put16(f, 16, 2);   // ET_EXEC
    put16(f, 18, 40);  // EM_ARM
    put32(f, 20, 1);
    put32(f, 28, 52);  // e_phoff
    put16(f, 40, 52);
    put16(f, 42, 32);  // e_phentsize
    put16(f, 44, 1);   // e_phnum
    put32(f, 52 + 0, 1);           // PT_LOAD
    put32(f, 52 + 4, 52 + 32);     // p_offset
    put32(f, 52 + 8, paddr);
    put32(f, 52 + 12, paddr);
    put32(f, 52 + 16, static_cast<uint32_t>(payload.size()));
    put32(f, 52 + 20, static_cast<uint32_t>(payload.size()) + 8); // 8 bytes of .bss
    std::memcpy(f.data() + 84, payload.data(), payload.size());
    return f;
}

} // namespace

TEST(BoardInput, ProfilesThatCannotBeBuiltGiveNull) {
    SimBoardProfile p = sim_board_profile_stm32f405();
    p.instr_per_us = 0;
    EXPECT_EQ(sim_board_create(p), nullptr);
    p = sim_board_profile_stm32f405();
    p.core = SimCoreKind::cortex_m0plus; // room kept in the profile, not built yet
    EXPECT_EQ(sim_board_create(p), nullptr);
    p = sim_board_profile_stm32f405();
    p.nvic_irqs = 1000;
    EXPECT_EQ(sim_board_create(p), nullptr);
}

TEST(BoardInput, ElfLoaderRefusesBrokenFiles) {
    BoardPtr bp = make_board();
    ASSERT_TRUE(bp);
    SimBoard* b = bp.get();
    char err[128];
    const std::vector<uint8_t> good = tiny_elf(0x20000100, {1, 2, 3, 4, 5});
    ASSERT_TRUE(sim_board_load_elf(b, good.data(), good.size(), err, sizeof err)) << err;
    uint8_t back[13];
    ASSERT_TRUE(sim_board_read_mem(b, 0x20000100, back, sizeof back));
    EXPECT_EQ(back[0], 1);
    EXPECT_EQ(back[4], 5);
    for (int i = 5; i < 13; ++i) EXPECT_EQ(back[i], 0) << i; // memsz beyond filesz is zeroed

    struct Case {
        const char* what;
        std::vector<uint8_t> file;
    };
    std::vector<Case> cases;
    cases.push_back({"empty", {}});
    cases.push_back({"truncated header", std::vector<uint8_t>(good.begin(), good.begin() + 40)});
    auto be = good; be[5] = 2; cases.push_back({"big-endian", be});
    auto c64 = good; c64[4] = 2; cases.push_back({"64-bit", c64});
    auto x86 = good; put16(x86, 18, 3); cases.push_back({"x86", x86});
    auto far_ph = good; put32(far_ph, 28, 0x7FFFFFF0); cases.push_back({"program headers past the end", far_ph});
    auto many_ph = good; put16(many_ph, 44, 0xFFFF); cases.push_back({"too many program headers", many_ph});
    auto data_out = good; put32(data_out, 52 + 16, 0x10000); cases.push_back({"segment data past the end", data_out});
    auto wrap = good; put32(wrap, 52 + 4, 0xFFFFFFF0); cases.push_back({"segment offset wraps", wrap});
    cases.push_back({"unmapped target", tiny_elf(0x60000000, {1, 2, 3})});
    cases.push_back({"straddles the end of SRAM", tiny_elf(0x2001FFFE, {1, 2, 3, 4})});
    for (const Case& c : cases) {
        err[0] = 0;
        EXPECT_FALSE(sim_board_load_elf(b, c.file.data(), c.file.size(), err, sizeof err)) << c.what;
        EXPECT_NE(err[0], 0) << c.what << ": no message";
    }
    EXPECT_FALSE(sim_board_load_elf_file(b, "/nonexistent/firmware.elf", err, sizeof err));
    EXPECT_NE(std::strstr(err, "/nonexistent/firmware.elf"), nullptr);
}

TEST(BoardInput, ElfPlacesTheSameBytesAsObjcopy) {
    const std::string elf = demo_elf("demo_O0_dwarf4");
    const std::vector<uint8_t> bin = read_file(std::string(KORVANE_DEMO_FW_DIR) + "/demo_O0_dwarf4.bin");
    if (bin.empty() || !file_exists(elf)) GTEST_SKIP() << "demo firmware not built";
    BoardPtr bp = make_board();
    ASSERT_TRUE(bp);
    char err[128] = "";
    ASSERT_TRUE(sim_board_load_elf_file(bp.get(), elf.c_str(), err, sizeof err)) << err;
    std::vector<uint8_t> flash(bin.size());
    ASSERT_TRUE(sim_board_read_mem(bp.get(), 0x08000000, flash.data(), flash.size()));
    EXPECT_EQ(flash, bin);
}

TEST(BoardInput, DebugPortAnswersTheBusMap) {
    BoardPtr bp = make_board();
    ASSERT_TRUE(bp);
    SimBoard* b = bp.get();
    SimMemPort p = sim_board_debug_port(b);
    uint32_t v = 0;
    // Identification words.
    EXPECT_EQ(dbg_read(b, 0xE000ED00), 0x410FC241u);
    EXPECT_EQ(dbg_read(b, 0xE0042000), 0x10076413u);
    ASSERT_TRUE(p.read(p.ctx, 0x1FFF7A22, 2, &v));
    EXPECT_EQ(v, 0x0400u);
    ASSERT_TRUE(p.read(p.ctx, 0x1FFF7A10, 4, &v));
    EXPECT_EQ(v, sim_board_profile_stm32f405().uid[0]);
    // Memories: SRAM, CCM, flash and its alias.
    EXPECT_TRUE(p.write(p.ctx, 0x2001FFFC, 4, 0xCAFEF00D));
    EXPECT_EQ(dbg_read(b, 0x2001FFFC), 0xCAFEF00Du);
    EXPECT_TRUE(p.write(p.ctx, 0x1000FFFE, 2, 0xBEEF));
    ASSERT_TRUE(p.read(p.ctx, 0x1000FFFE, 2, &v));
    EXPECT_EQ(v, 0xBEEFu);
    EXPECT_EQ(dbg_read(b, 0x080FFFFC), 0xFFFFFFFFu);
    EXPECT_EQ(dbg_read(b, 0x000FFFFC), 0xFFFFFFFFu);
    // Errors: unmapped, past the ends, misaligned, odd sizes, read-only memory.
    const uint32_t unmapped[] = {0x20020000, 0x10010000, 0x08100000, 0x00100000, 0x60000000, 0xA0000000,
                                 0xE0040000, 0x40000000, 0x1FFEFFFC};
    for (uint32_t a : unmapped) {
        EXPECT_FALSE(p.read(p.ctx, a, 4, &v)) << std::hex << a;
        EXPECT_FALSE(p.write(p.ctx, a, 4, 0)) << std::hex << a;
    }
    EXPECT_FALSE(p.read(p.ctx, 0x20000001, 4, &v));
    EXPECT_FALSE(p.read(p.ctx, 0x20000001, 2, &v));
    EXPECT_FALSE(p.read(p.ctx, 0x20000000, 3, &v));
    EXPECT_FALSE(p.write(p.ctx, 0x20000000, 8, 0));
    EXPECT_FALSE(p.write(p.ctx, 0x1FFF7A10, 4, 0));
    // SCS: word registers refuse narrow stores; priority bytes keep the
    // implemented four bits.
    EXPECT_FALSE(p.write(p.ctx, 0xE000EDF0, 2, 0xA05F));
    EXPECT_TRUE(p.write(p.ctx, 0xE000E403, 1, 0xFF));
    EXPECT_EQ(dbg_read(b, 0xE000E400), 0xF0000000u);
    EXPECT_TRUE(p.write(p.ctx, 0xE000ED22, 1, 0x5A)); // PendSV priority
    EXPECT_EQ(dbg_read(b, 0xE000ED20), 0x00500000u);
    // AIRCR reads back its key-stat and PRIGROUP; writes without VECTKEY do nothing.
    dbg_write(b, AIRCR, 0x05FA0300);
    EXPECT_EQ(dbg_read(b, AIRCR), 0xFA050300u);
    dbg_write(b, AIRCR, 0x00000500);
    EXPECT_EQ(dbg_read(b, AIRCR), 0xFA050300u);
    // SysTick calibration: 10 ms of the 2 MHz reference (16 MHz / 8), exact.
    EXPECT_EQ(dbg_read(b, 0xE000E01C), 2000000u / 100 - 1);
    // NVIC: 82 lines on this part; the registers cover exactly those.
    dbg_write(b, 0xE000E100, 0x21);
    dbg_write(b, 0xE000E108, 0xFFFFFFFF);
    EXPECT_EQ(dbg_read(b, 0xE000E100), 0x21u);
    EXPECT_EQ(dbg_read(b, 0xE000E108), 0x3FFFFu); // IRQ 64..81
    EXPECT_EQ(dbg_read(b, 0xE000E10C), 0u);
    dbg_write(b, 0xE000E180, 0x01);
    EXPECT_EQ(dbg_read(b, 0xE000E100), 0x20u);
    dbg_write(b, 0xE000E200, 0x0C);
    EXPECT_EQ(dbg_read(b, 0xE000E200), 0x0Cu);
    EXPECT_EQ(dbg_read(b, 0xE000E280), 0x0Cu);
    EXPECT_TRUE(dbg_read(b, ICSR) & (1u << 22)); // ISRPENDING
    dbg_write(b, 0xE000E280, 0x04);
    EXPECT_EQ(dbg_read(b, 0xE000E200), 0x08u);
    EXPECT_EQ(dbg_read(b, 0xE000E300), 0u);     // nothing active
    EXPECT_EQ(dbg_read(b, 0xE000E004), 2u);     // ICTR: (82 + 31) / 32 - 1
    // The ROM table answers at 0xE00FF000 (a debugger's first read).
    EXPECT_TRUE(p.read(p.ctx, 0xE00FFFF0, 4, &v));
    EXPECT_EQ(v, 0x0Du);
}

TEST(BoardInput, EmulationIsBoundedByTime) {
    // A blank chip: vectors read 0xFFFFFFFF, the core cannot start and locks up.
    BoardPtr blank = make_board();
    ASSERT_TRUE(blank);
    sim_board_run(blank.get(), 10 * kMs);
    EXPECT_TRUE(sim_board_is_locked_up(blank.get()));
    EXPECT_EQ(sim_board_instr_count(blank.get()), 0u);

    // "b ." forever: each run executes exactly its share of instructions.
    BoardPtr bp = make_board();
    ASSERT_TRUE(bp);
    SimBoard* b = bp.get();
    const uint32_t vectors[2] = {0x20001000, 0x08000009};
    const uint8_t loop[] = {0xFE, 0xE7};
    ASSERT_TRUE(sim_board_load_image(b, 0x08000000, reinterpret_cast<const uint8_t*>(vectors), sizeof vectors));
    ASSERT_TRUE(sim_board_load_image(b, 0x08000008, loop, sizeof loop));
    sim_board_system_reset(b);
    sim_board_run(b, 0);
    EXPECT_EQ(sim_board_instr_count(b), 0u);
    sim_board_run(b, 100 * kMs);
    EXPECT_EQ(sim_board_instr_count(b), 1600000u);
    for (int i = 0; i < 1000; ++i) sim_board_run(b, 31); // fractions carry over: 31 ns x 16 / 1000
    EXPECT_EQ(sim_board_instr_count(b), 1600000u + 496u);
    EXPECT_EQ(reg(b, SIM_REG_DEBUG_RETURN), 0x08000008u);
    EXPECT_EQ(sim_board_now_ns(b), 100 * kMs + 31000);
}

TEST(BoardInput, BoardsAreIndependent) {
    BoardPtr a = make_board(), c = make_board();
    ASSERT_TRUE(a && c);
    dbg_write(a.get(), 0x20000000, 0x11111111);
    dbg_write(c.get(), 0x20000000, 0x22222222);
    dhcsr(a.get(), SIM_DHCSR_C_DEBUGEN);
    EXPECT_EQ(dbg_read(a.get(), 0x20000000), 0x11111111u);
    EXPECT_EQ(dbg_read(c.get(), 0x20000000), 0x22222222u);
    EXPECT_TRUE(dbg_read(a.get(), DHCSR) & SIM_DHCSR_C_DEBUGEN);
    EXPECT_FALSE(dbg_read(c.get(), DHCSR) & SIM_DHCSR_C_DEBUGEN);
}
