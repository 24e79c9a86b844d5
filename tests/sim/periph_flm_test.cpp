// ST's own flash algorithm (STM32F4xx_1024.FLM from the STM32F4 device pack)
// against the flash interface model: its FlashDevice record is the oracle for
// the sector map, and its code, run under Unicorn, must see the model's
// failures (write protection, a wrong key sequence) as failures. The
// successful erase/program path runs through the whole board in
// board_flash_test.cpp.
#include "sim/flash_f4.h"
#include "periph_steps_test.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

constexpr uint32_t RAM = 0x20000000, STOP = RAM + 0x1000, BUF = RAM + 0x2000, STACK = RAM + 0x8000;
// Entry points as `readelf -s` lists them (Thumb bit clear).
constexpr uint32_t INIT = 0x1C, ERASE_CHIP = 0x5C, ERASE_SECTOR = 0x88, PROGRAM_PAGE = 0xD4;
const std::string flm_path = std::string(KORVANE_SHARED_DATA) + "/flm/STM32F4xx_1024.FLM";

uint32_t u32(const std::string& f, size_t p) {
    return p + 4 > f.size() ? 0 : uint32_t(uint8_t(f[p])) | uint32_t(uint8_t(f[p + 1])) << 8 |
                                      uint32_t(uint8_t(f[p + 2])) << 16 | uint32_t(uint8_t(f[p + 3])) << 24;
}

// An ELF32 section by name: {address, bytes}, or an empty string when absent.
std::pair<uint32_t, std::string> section(const std::string& f, const char* want) {
    if (f.size() < 52 || f.compare(0, 6, "\x7F" "ELF\x01\x01") != 0) return {};
    const uint32_t shoff = u32(f, 32), shnum = u32(f, 48) & 0xFFFF;
    const uint32_t strtab = u32(f, shoff + (u32(f, 50) & 0xFFFF) * 40 + 16);
    for (uint32_t i = 0; i < shnum && shoff + i * 40 + 40 <= f.size(); ++i) {
        const size_t h = shoff + i * 40, off = u32(f, h + 16), size = u32(f, h + 20);
        const size_t name = strtab + u32(f, h), n = std::strlen(want) + 1;
        if (name < f.size() && f.compare(name, n, want, n) == 0 && off + size <= f.size())
            return {u32(f, h + 12), f.substr(off, size)};
    }
    return {};
}

struct Rig {
    std::unique_ptr<SimFlashF4> fc = std::make_unique<SimFlashF4>();
    uc_engine* uc = nullptr;
    bool bus_fault = false;
    uint32_t data_base = 0;
    ~Rig() { if (uc) uc_close(uc); }

    // One access by the algorithm; a refused one stops it. Each look at the
    // registers lets a microsecond pass: its BSY poll moves time forward. The
    // rest of their 4 KB page (RCC, CRC) is not for a flash algorithm.
    static uint64_t io(void* ud, uc_engine* uc, bool array, uint64_t off, unsigned size, const uint32_t* value) {
        auto* r = static_cast<Rig*>(ud);
        SimFlashF4* f = r->fc.get();
        uint32_t v = 0;
        if (!array) sim_flashf4_advance(f, 1000);
        const bool ok = array ? (value ? sim_flashf4_array_write(f, uint32_t(off), size, *value)
                                       : sim_flashf4_array_read(f, uint32_t(off), size, &v))
                              : off >= 0xC00 && (value ? sim_flashf4_write(f, uint32_t(off - 0xC00), size, *value)
                                                       : sim_flashf4_read(f, uint32_t(off - 0xC00), size, &v));
        if (!ok) r->bus_fault = true, uc_emu_stop(uc);
        return v;
    }
    template <bool Array> static uint64_t rd(uc_engine* uc, uint64_t off, unsigned size, void* ud) {
        return io(ud, uc, Array, off, size, nullptr);
    }
    template <bool Array> static void wr(uc_engine* uc, uint64_t off, unsigned size, uint64_t value, void* ud) {
        const uint32_t v = uint32_t(value);
        io(ud, uc, Array, off, size, &v);
    }

    // Empty when ready, else why not. The algorithm is position independent:
    // code at its link offset from RAM, R9 the base of its data.
    std::string open(const std::string& file) {
        const SimFlashF4Timing t = sim_flashf4_timing_scaled(100);
        sim_flashf4_init(fc.get(), &t);
        const auto code = section(file, "PrgCode"), data = section(file, "PrgData");
        if (code.second.empty() || data.second.empty()) return "no PrgCode/PrgData";
        if (uc_open(UC_ARCH_ARM, uc_mode(UC_MODE_THUMB | UC_MODE_MCLASS), &uc) != UC_ERR_OK) return "uc_open";
        uc_ctl_set_cpu_model(uc, UC_CPU_ARM_CORTEX_M4);
        const uint16_t bkpt = 0xBE00; // IWDG (0x40003000), which Init may feed, as plain memory
        if (uc_mem_map(uc, RAM, 0x10000, UC_PROT_ALL) || uc_mem_map(uc, 0x40003000, 0x1000, UC_PROT_ALL) ||
            uc_mmio_map(uc, SIM_FLASHF4_REG_BASE & ~0xFFFu, 0x1000, rd<false>, this, wr<false>, this) ||
            uc_mmio_map(uc, SIM_FLASHF4_ARRAY_BASE, SIM_FLASHF4_ARRAY_SIZE, rd<true>, this, wr<true>, this) ||
            uc_mem_write(uc, RAM + code.first, code.second.data(), code.second.size()) ||
            uc_mem_write(uc, RAM + data.first, data.second.data(), data.second.size()) || uc_mem_write(uc, STOP, &bkpt, 2))
            return "map/load";
        data_base = RAM + data.first;
        return {};
    }
    // An algorithm function's result, or -1 if it did not come back to STOP.
    int64_t call(uint32_t fn, uint32_t a0, uint32_t a1 = 0, uint32_t a2 = 0) {
        const uint32_t regs[] = {a0, a1, a2, data_base, STACK, STOP | 1u};
        const int ids[] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R9, UC_ARM_REG_SP, UC_ARM_REG_LR};
        for (int i = 0; i < 6; ++i) uc_reg_write(uc, ids[i], &regs[i]);
        bus_fault = false;
        const uc_err e = uc_emu_start(uc, (RAM + fn) | 1u, STOP, 0, 20000000); // bounded
        uint32_t pc = 0, r0 = 0;
        uc_reg_read(uc, UC_ARM_REG_PC, &pc);
        uc_reg_read(uc, UC_ARM_REG_R0, &r0);
        return e == UC_ERR_OK && !bus_fault && pc == STOP ? int64_t(r0) : -1;
    }
    bool all(uint32_t off, uint32_t len, uint8_t b) {
        return std::count(fc->array + off, fc->array + off + len, b) == std::ptrdiff_t(len);
    }
};

} // namespace

TEST(PeriphFlmAlgorithm, SectorMapMatchesStFlashDevice) {
    const std::string file = periph_test::read_file(flm_path);
    if (file.empty()) GTEST_SKIP() << "shared data absent: " << flm_path;
    // FlashDevice: Vers, DevName[128], DevType, DevAdr at 0x84, szDev at 0x88;
    // {szSector, AddrSector} runs from 0xA0, ended by 0xFFFFFFFF.
    const std::string dev = section(file, "DevDscr").second;
    ASSERT_GE(dev.size(), 0xA8u);
    EXPECT_EQ(u32(dev, 0x84), SIM_FLASHF4_ARRAY_BASE);
    EXPECT_EQ(u32(dev, 0x88), SIM_FLASHF4_ARRAY_SIZE);
    unsigned snb = 0;
    SimFlashF4Sector s{};
    for (size_t run = 0xA0; u32(dev, run) != 0xFFFFFFFFu && run + 8 <= dev.size(); run += 8) {
        const uint32_t end = u32(dev, run + 8) == 0xFFFFFFFFu ? SIM_FLASHF4_ARRAY_SIZE : u32(dev, run + 12);
        const uint32_t size = u32(dev, run);
        ASSERT_NE(size, 0u);
        for (uint32_t a = u32(dev, run + 4); a < end; a += size, ++snb) {
            ASSERT_TRUE(sim_flashf4_sector(snb, &s)) << snb;
            EXPECT_EQ(s.offset, a) << snb;
            EXPECT_EQ(s.size, size) << snb;
        }
    }
    EXPECT_EQ(snb, SIM_FLASHF4_SECTORS);
    EXPECT_FALSE(sim_flashf4_sector(snb, &s));
}

TEST(PeriphFlmAlgorithm, StAlgorithmSeesRefusalsAsFailures) {
    const std::string file = periph_test::read_file(flm_path);
    if (file.empty()) GTEST_SKIP() << "shared data absent: " << flm_path;
    Rig rig;
    ASSERT_EQ(rig.open(file), "");
    // Sector 2 write-protected through the option bytes (nWRP2 = 0), all programmed.
    rig.fc->option_bytes &= ~(1u << 18);
    sim_flashf4_reset(rig.fc.get());
    std::memset(rig.fc->array, 0, SIM_FLASHF4_ARRAY_SIZE);
    const uint32_t page[4] = {1, 2, 3, 4};
    ASSERT_EQ(uc_mem_write(rig.uc, BUF, page, sizeof page), UC_ERR_OK);
    ASSERT_EQ(rig.call(INIT, SIM_FLASHF4_ARRAY_BASE, 168000000, 1), 0);
    EXPECT_EQ(rig.fc->cr & SIM_FLASHF4_CR_LOCK, 0u) << "Init unlocks";
    EXPECT_EQ(rig.call(ERASE_SECTOR, SIM_FLASHF4_ARRAY_BASE + 0x8000), 1) << "the refused erase is reported";
    EXPECT_EQ(rig.call(PROGRAM_PAGE, SIM_FLASHF4_ARRAY_BASE + 0x8000, sizeof page, BUF), 1);
    // ST's EraseChip returns 0 without looking at SR (see its disassembly):
    // only the model's WRPERR and a verify show the refused mass erase.
    EXPECT_EQ(rig.call(ERASE_CHIP, 0), 0);
    EXPECT_NE(rig.fc->sr & SIM_FLASHF4_SR_WRPERR, 0u);
    EXPECT_TRUE(rig.all(0, SIM_FLASHF4_ARRAY_SIZE, 0)) << "nothing may change";
    // A second Init without UnInit writes the keys to an unlocked interface:
    // a bus error, not a silent success.
    EXPECT_EQ(rig.call(INIT, SIM_FLASHF4_ARRAY_BASE, 168000000, 1), -1);
    EXPECT_TRUE(rig.bus_fault);
    // Unprotected again, EraseChip (which the board test does not run) clears the lot.
    rig.fc->option_bytes |= 1u << 18;
    sim_flashf4_reset(rig.fc.get());
    ASSERT_EQ(rig.call(INIT, SIM_FLASHF4_ARRAY_BASE, 168000000, 1), 0);
    EXPECT_EQ(rig.call(ERASE_CHIP, 0), 0);
    EXPECT_TRUE(rig.all(0, SIM_FLASHF4_ARRAY_SIZE, 0xFF));
    EXPECT_EQ(sim_flashf4_busy_ns(rig.fc.get()), 0u);
}
