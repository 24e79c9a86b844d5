// The real CMSIS pack flash algorithm for the STM32F4 (Keil's FLM, from
// /work/shared/data) run on the simulated core: an independent check of the
// flash controller model and of core stores into flash.
#include "board_helpers_test.h"

#include "sim/flash_f4.h"

#include <cstring>
#include <vector>

using namespace board_test;

namespace {

struct Section {
    uint32_t addr = 0;
    std::vector<uint8_t> data;
};

uint32_t le(const std::vector<uint8_t>& f, size_t off, unsigned n) {
    uint32_t v = 0;
    for (unsigned i = 0; i < n; ++i) v |= uint32_t{f.at(off + i)} << (8 * i);
    return v;
}

// ELF32 section by name, parsed here rather than by the loader under test.
bool find_section(const std::vector<uint8_t>& f, const char* name, Section* out) {
    if (f.size() < 52 || std::memcmp(f.data(), "\x7f" "ELF", 4) != 0) return false;
    const uint32_t shoff = le(f, 32, 4), shentsize = le(f, 46, 2), shnum = le(f, 48, 2), shstrndx = le(f, 50, 2);
    if (shoff + uint64_t{shnum} * shentsize > f.size() || shstrndx >= shnum) return false;
    const uint32_t strtab = le(f, shoff + shstrndx * shentsize + 16, 4);
    for (uint32_t i = 0; i < shnum; ++i) {
        const size_t sh = shoff + i * shentsize;
        const char* n = reinterpret_cast<const char*>(f.data() + strtab + le(f, sh, 4));
        if (std::strcmp(n, name) != 0) continue;
        out->addr = le(f, sh + 12, 4);
        const uint32_t off = le(f, sh + 16, 4), size = le(f, sh + 20, 4);
        if (uint64_t{off} + size > f.size()) return false;
        out->data.assign(f.begin() + off, f.begin() + off + size);
        return true;
    }
    return false;
}

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

constexpr uint32_t kBkpt = 0x20000000;   // a BKPT the algorithm returns into
constexpr uint32_t kBase = 0x20000100;   // PrgCode loaded here
constexpr uint32_t kStack = 0x20003000;
constexpr uint32_t kBuffer = 0x20004000;

struct Algo {
    BoardPtr board;
    uint32_t static_base = 0;

    // The CMSIS flash-algorithm calling convention, driven through the debug
    // port as a debugger would: R0-R2, R9, SP, LR -> BKPT, PC -> entry.
    bool call(uint32_t entry, uint32_t r0, uint32_t r1, uint32_t r2, uint32_t* result, uint64_t budget_ms = 200) {
        SimBoard* b = board.get();
        if (!sim_board_is_halted(b)) return false;
        const uint32_t regs[][2] = {{0, r0}, {1, r1}, {2, r2}, {9, static_base}, {SIM_REG_SP, kStack},
                                    {SIM_REG_LR, kBkpt | 1}, {SIM_REG_DEBUG_RETURN, kBase + (entry & ~1u)},
                                    {SIM_REG_XPSR, 1u << 24}};
        for (const auto& r : regs)
            if (!core_reg_write(b, r[0], r[1])) return false;
        dbg_write(b, DFSR, 0x1F);
        dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_MASKINTS);
        for (uint64_t t = 0; t < budget_ms && !sim_board_is_halted(b); ++t) sim_board_run(b, kMs);
        if (!sim_board_is_halted(b)) {
            ADD_FAILURE() << "still running at 0x" << std::hex << reg(b, SIM_REG_DEBUG_RETURN) << " xPSR 0x"
                          << reg(b, SIM_REG_XPSR) << " FLASH_SR 0x" << dbg_read(b, 0x40023C0C) << " CR 0x"
                          << dbg_read(b, 0x40023C10) << " R0 0x" << reg(b, 0) << " R1 0x" << reg(b, 1);
            return false;
        }
        uint32_t pc = 0;
        if (!core_reg_read(b, SIM_REG_DEBUG_RETURN, &pc) || pc != kBkpt) {
            ADD_FAILURE() << "stopped at 0x" << std::hex << pc << " xPSR 0x" << reg(b, SIM_REG_XPSR) << " CFSR 0x"
                          << dbg_read(b, CFSR) << " FLASH_SR 0x" << dbg_read(b, 0x40023C0C);
            return false;
        }
        return core_reg_read(b, 0, result);
    }
};

} // namespace

TEST(BoardFlash, PackAlgorithmErasesAndProgramsTheSimulatedFlash) {
    const std::string path = std::string(KORVANE_SHARED_DATA) + "/flm/STM32F4xx_1024.FLM";
    const std::vector<uint8_t> flm = read_file(path);
    if (flm.empty()) GTEST_SKIP() << "no " << path;
    Section code, data;
    ASSERT_TRUE(find_section(flm, "PrgCode", &code));
    ASSERT_TRUE(find_section(flm, "PrgData", &data));
    ASSERT_EQ(code.addr, 0u);
    ASSERT_EQ(code.data.size(), 0x148u);
    ASSERT_EQ(data.addr, 0x148u);

    SimBoardProfile prof = sim_board_profile_stm32f405();
    prof.flash_time_divisor = 1000; // erase in hundreds of microseconds, not seconds
    Algo a;
    a.board = BoardPtr(sim_board_create(prof));
    ASSERT_TRUE(a.board);
    SimBoard* b = a.board.get();
    a.static_base = kBase + data.addr;

    // Flash as it might be found: sector 0 and sector 1 full of a pattern.
    std::vector<uint8_t> old(0x8000);
    for (size_t i = 0; i < old.size(); ++i) old[i] = static_cast<uint8_t>(i * 7 + 3);
    ASSERT_TRUE(sim_board_load_image(b, 0x08000000, old.data(), old.size()));

    const uint16_t bkpt = 0xBE00;
    ASSERT_TRUE(sim_board_write_mem(b, kBkpt, &bkpt, 2));
    ASSERT_TRUE(sim_board_write_mem(b, kBase, code.data.data(), code.data.size()));
    ASSERT_TRUE(sim_board_write_mem(b, kBase + data.addr, data.data.data(), data.data.size()));
    dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_HALT);
    sim_board_run(b, 1000);
    ASSERT_TRUE(sim_board_is_halted(b));

    uint32_t r = 99;
    ASSERT_TRUE(a.call(0x1D, 0x08000000, 16000000, 1, &r)); // Init, erase
    EXPECT_EQ(r, 0u);
    ASSERT_TRUE(a.call(0x89, 0x08004000, 0, 0, &r)); // EraseSector: sector 1
    EXPECT_EQ(r, 0u);
    ASSERT_TRUE(a.call(0x4F, 1, 0, 0, &r)); // UnInit
    EXPECT_EQ(r, 0u);

    SimMemPort port = sim_board_debug_port(b);
    for (uint32_t off = 0x4000; off < 0x8000; off += 4) {
        uint32_t v = 0;
        ASSERT_TRUE(port.read(port.ctx, 0x08000000 + off, 4, &v));
        ASSERT_EQ(v, 0xFFFFFFFFu) << "not erased at " << std::hex << off;
    }
    // Sector 0 untouched.
    std::vector<uint8_t> s0(0x4000);
    ASSERT_TRUE(sim_board_read_mem(b, 0x08000000, s0.data(), s0.size()));
    EXPECT_TRUE(std::equal(s0.begin(), s0.end(), old.begin()));

    std::vector<uint8_t> page(1024);
    for (size_t i = 0; i < page.size(); ++i) page[i] = static_cast<uint8_t>(0xA5 ^ (i * 13));
    ASSERT_TRUE(sim_board_write_mem(b, kBuffer, page.data(), page.size()));
    ASSERT_TRUE(a.call(0x1D, 0x08000000, 16000000, 2, &r)); // Init, program
    EXPECT_EQ(r, 0u);
    ASSERT_TRUE(a.call(0xD5, 0x08004400, 1024, kBuffer, &r)); // ProgramPage
    EXPECT_EQ(r, 0u);
    ASSERT_TRUE(a.call(0x4F, 2, 0, 0, &r));
    EXPECT_EQ(r, 0u);

    std::vector<uint8_t> back(0x4000);
    ASSERT_TRUE(sim_board_read_mem(b, 0x08004000, back.data(), back.size()));
    for (size_t i = 0; i < back.size(); ++i) {
        const uint8_t want = (i >= 0x400 && i < 0x800) ? page[i - 0x400] : 0xFF;
        ASSERT_EQ(back[i], want) << "at 0x" << std::hex << (0x08004000 + i);
    }
    // The alias at 0 shows the same array.
    uint32_t v = 0;
    ASSERT_TRUE(port.read(port.ctx, 0x00004400, 4, &v));
    EXPECT_EQ(v, uint32_t{page[0]} | uint32_t{page[1]} << 8 | uint32_t{page[2]} << 16 | uint32_t{page[3]} << 24);

    // After UnInit the controller is locked: the algorithm's stores are
    // refused (an error, no change), and the FLM reports the failure.
    std::vector<uint8_t> zeros(1024, 0);
    ASSERT_TRUE(sim_board_write_mem(b, kBuffer, zeros.data(), zeros.size()));
    ASSERT_TRUE(a.call(0xD5, 0x08004400, 1024, kBuffer, &r));
    EXPECT_NE(r, 0u);
    std::vector<uint8_t> again(1024);
    ASSERT_TRUE(sim_board_read_mem(b, 0x08004400, again.data(), again.size()));
    EXPECT_EQ(again, page);
    EXPECT_FALSE(sim_board_is_locked_up(b));
}

TEST(BoardFlash, CoreAndDebuggerStoresToFlashFollowTheControllersRules) {
    BoardPtr bp = make_board();
    ASSERT_TRUE(bp);
    SimBoard* b = bp.get();
    SimMemPort port = sim_board_debug_port(b);
    // No PG: a store is answered (no bus error) but changes nothing.
    ASSERT_TRUE(port.write(port.ctx, 0x08010000, 4, 0x12345678));
    uint32_t v = 0;
    ASSERT_TRUE(port.read(port.ctx, 0x08010000, 4, &v));
    EXPECT_EQ(v, 0xFFFFFFFFu);
    EXPECT_TRUE(dbg_read(b, SIM_FLASHF4_REG_BASE + SIM_FLASHF4_SR) & SIM_FLASHF4_SR_PGSERR);
    // Unlock, PG with x32: bits only clear.
    dbg_write(b, SIM_FLASHF4_REG_BASE + SIM_FLASHF4_SR, 0xF3);
    dbg_write(b, SIM_FLASHF4_REG_BASE + SIM_FLASHF4_KEYR, SIM_FLASHF4_KEY1);
    dbg_write(b, SIM_FLASHF4_REG_BASE + SIM_FLASHF4_KEYR, SIM_FLASHF4_KEY2);
    dbg_write(b, SIM_FLASHF4_REG_BASE + SIM_FLASHF4_CR, SIM_FLASHF4_CR_PG | (2u << SIM_FLASHF4_CR_PSIZE_SHIFT));
    ASSERT_TRUE(port.write(port.ctx, 0x08010000, 4, 0x12345678));
    sim_board_run(b, 1 * kMs);
    ASSERT_TRUE(port.write(port.ctx, 0x08010000, 4, 0xFFFF0000));
    sim_board_run(b, 1 * kMs);
    ASSERT_TRUE(port.read(port.ctx, 0x08010000, 4, &v));
    EXPECT_EQ(v, 0x12340000u);

    // A core store without PG, from a tiny program in SRAM:
    //   str r1, [r0], #4 ; bkpt   (post-indexed: the writeback must survive)
    dbg_write(b, SIM_FLASHF4_REG_BASE + SIM_FLASHF4_CR, SIM_FLASHF4_CR_LOCK);
    const uint8_t prog[] = {0x40, 0xF8, 0x04, 0x1B, 0x00, 0xBE};
    ASSERT_TRUE(sim_board_write_mem(b, 0x20000000, prog, sizeof prog));
    dhcsr(b, SIM_DHCSR_C_DEBUGEN | SIM_DHCSR_C_HALT);
    sim_board_run(b, 1000);
    ASSERT_TRUE(sim_board_is_halted(b));
    ASSERT_TRUE(core_reg_write(b, 0, 0x08010004));
    ASSERT_TRUE(core_reg_write(b, 1, 0));
    ASSERT_TRUE(core_reg_write(b, SIM_REG_DEBUG_RETURN, 0x20000000));
    ASSERT_TRUE(core_reg_write(b, SIM_REG_XPSR, 1u << 24));
    ASSERT_TRUE(core_reg_write(b, SIM_REG_MSP, 0x20001000));
    dhcsr(b, SIM_DHCSR_C_DEBUGEN);
    sim_board_run(b, 10000);
    ASSERT_TRUE(sim_board_is_halted(b));
    EXPECT_EQ(reg(b, SIM_REG_DEBUG_RETURN), 0x20000004u); // reached the BKPT: no fault
    EXPECT_EQ(reg(b, 0), 0x08010008u);                   // writeback happened
    ASSERT_TRUE(port.read(port.ctx, 0x08010004, 4, &v));
    EXPECT_EQ(v, 0xFFFFFFFFu);                            // the array did not change
    EXPECT_TRUE(dbg_read(b, SIM_FLASHF4_REG_BASE + SIM_FLASHF4_SR) & SIM_FLASHF4_SR_PGSERR);
}
