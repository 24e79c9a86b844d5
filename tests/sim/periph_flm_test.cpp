// ST's own flash algorithm (STM32F4xx_1024.FLM from the STM32F4 device pack)
// run under Unicorn against the simulated flash interface. The algorithm was
// written for the real part, so it checks our register semantics (key
// sequence, SER/SNB/STRT, PG and PSIZE, BSY polling, error bits) from outside.
#include "sim/flash_f4.h"
#include "sim/periph_stm32.h"

#include <gtest/gtest.h>
#include <unicorn/unicorn.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint32_t RAM = 0x20000000, RAM_SIZE = 0x10000;
constexpr uint32_t STOP = RAM + 0x1000;   // a BKPT the functions return to
constexpr uint32_t BUF = RAM + 0x2000;    // ProgramPage's source buffer
constexpr uint32_t STACK = RAM + 0x8000;
constexpr uint64_t MAX_INSNS = 20000000;  // every run is bounded

struct Section {
    std::vector<uint8_t> bytes;
    uint32_t addr = 0;
};

bool elf_section(const std::vector<uint8_t>& f, const char* want, Section* out) {
    auto u16 = [&](size_t p) { return uint32_t(f[p]) | uint32_t(f[p + 1]) << 8; };
    auto u32 = [&](size_t p) { return u16(p) | u16(p + 2) << 16; };
    if (f.size() < 52 || std::memcmp(f.data(), "\x7F" "ELF\x01\x01", 6) != 0) return false;
    const uint32_t shoff = u32(32), shentsize = u16(46), shnum = u16(48), shstrndx = u16(50);
    if (shentsize < 40 || shoff + uint64_t(shnum) * shentsize > f.size() || shstrndx >= shnum) return false;
    const uint32_t strtab = u32(shoff + shstrndx * shentsize + 16);
    for (uint32_t i = 0; i < shnum; ++i) {
        const size_t h = shoff + i * shentsize;
        const uint32_t name = u32(h), addr = u32(h + 12), off = u32(h + 16), size = u32(h + 20);
        if (strtab + name >= f.size() || std::strcmp(reinterpret_cast<const char*>(&f[strtab + name]), want) != 0) continue;
        if (uint64_t(off) + size > f.size()) return false;
        out->addr = addr;
        out->bytes.assign(f.begin() + off, f.begin() + off + size);
        return true;
    }
    return false;
}

struct Rig {
    std::unique_ptr<SimFlashF4> fc = std::make_unique<SimFlashF4>();
    std::unique_ptr<SimStm32Periph> periph = std::make_unique<SimStm32Periph>();
    uc_engine* uc = nullptr;
    bool bus_fault = false;
    uint32_t code_base = RAM;

    static uint64_t ahb1_read(uc_engine* uc, uint64_t off, unsigned size, void* ud) {
        auto* r = static_cast<Rig*>(ud);
        uint32_t v = 0;
        bool ok = true;
        if (off >= 0xC00) {
            // Each look at the flash interface lets a microsecond pass: the
            // algorithm's BSY poll is what moves time forward.
            sim_flashf4_advance(r->fc.get(), 1000);
            ok = sim_flashf4_read(r->fc.get(), uint32_t(off - 0xC00), size, &v);
        } else if (off >= 0x800) {
            ok = sim_rcc_read(r->periph.get(), uint32_t(off - 0x800), size, &v);
        }
        if (!ok) { r->bus_fault = true; uc_emu_stop(uc); }
        return v;
    }
    static void ahb1_write(uc_engine* uc, uint64_t off, unsigned size, uint64_t value, void* ud) {
        auto* r = static_cast<Rig*>(ud);
        bool ok = true;
        if (off >= 0xC00) ok = sim_flashf4_write(r->fc.get(), uint32_t(off - 0xC00), size, uint32_t(value));
        else if (off >= 0x800) ok = sim_rcc_write(r->periph.get(), uint32_t(off - 0x800), size, uint32_t(value));
        if (!ok) { r->bus_fault = true; uc_emu_stop(uc); }
    }
    static uint64_t array_read(uc_engine* uc, uint64_t off, unsigned size, void* ud) {
        auto* r = static_cast<Rig*>(ud);
        uint32_t v = 0;
        if (!sim_flashf4_array_read(r->fc.get(), uint32_t(off), size, &v)) { r->bus_fault = true; uc_emu_stop(uc); }
        return v;
    }
    static void array_write(uc_engine* uc, uint64_t off, unsigned size, uint64_t value, void* ud) {
        auto* r = static_cast<Rig*>(ud);
        if (!sim_flashf4_array_write(r->fc.get(), uint32_t(off), size, uint32_t(value))) {
            r->bus_fault = true;
            uc_emu_stop(uc);
        }
    }

    // Empty string when ready, else why not.
    std::string open(const SimFlashF4Timing* t, const std::string& flm_path) {
        sim_flashf4_init(fc.get(), t);
        sim_stm32_init(periph.get(), nullptr);
        std::vector<uint8_t> file;
        FILE* fp = std::fopen(flm_path.c_str(), "rb");
        if (!fp) return "skip";
        uint8_t b[4096];
        size_t n;
        while ((n = std::fread(b, 1, sizeof b, fp)) > 0) file.insert(file.end(), b, b + n);
        std::fclose(fp);
        Section code, data;
        if (!elf_section(file, "PrgCode", &code) || !elf_section(file, "PrgData", &data)) return "no PrgCode/PrgData";
        if (uc_open(UC_ARCH_ARM, static_cast<uc_mode>(UC_MODE_THUMB | UC_MODE_MCLASS), &uc) != UC_ERR_OK) return "uc_open";
        uc_ctl_set_cpu_model(uc, UC_CPU_ARM_CORTEX_M4);
        if (uc_mem_map(uc, RAM, RAM_SIZE, UC_PROT_ALL) || uc_mem_map(uc, 0x40003000, 0x1000, UC_PROT_ALL) ||
            uc_mmio_map(uc, 0x40023000, 0x1000, ahb1_read, this, ahb1_write, this) ||
            uc_mmio_map(uc, SIM_FLASHF4_ARRAY_BASE, SIM_FLASHF4_ARRAY_SIZE, array_read, this, array_write, this))
            return "map";
        // The algorithm is position independent: code at its link offset from
        // the load base, data right behind it (R9 is its static base).
        if (uc_mem_write(uc, RAM + code.addr, code.bytes.data(), code.bytes.size()) ||
            uc_mem_write(uc, RAM + data.addr, data.bytes.data(), data.bytes.size()))
            return "load";
        const uint8_t bkpt[2] = {0x00, 0xBE};
        uc_mem_write(uc, STOP, bkpt, 2);
        data_base = RAM + data.addr;
        return {};
    }
    uint32_t data_base = 0;

    ~Rig() {
        if (uc) uc_close(uc);
    }

    // Calls an algorithm function; false if it did not come back.
    bool call(uint32_t fn, uint32_t a0, uint32_t a1, uint32_t a2, uint32_t* ret) {
        uint32_t regs[] = {a0, a1, a2, data_base, STACK, STOP | 1u};
        int ids[] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R9, UC_ARM_REG_SP, UC_ARM_REG_LR};
        for (int i = 0; i < 6; ++i) uc_reg_write(uc, ids[i], &regs[i]);
        bus_fault = false;
        const uc_err e = uc_emu_start(uc, (code_base + fn) | 1u, STOP, 0, MAX_INSNS);
        uint32_t pc = 0;
        uc_reg_read(uc, UC_ARM_REG_PC, &pc);
        uc_reg_read(uc, UC_ARM_REG_R0, ret);
        return e == UC_ERR_OK && !bus_fault && pc == STOP;
    }
};

// Entry points (ELF symbols, Thumb bit cleared) as the shared data lists them.
constexpr uint32_t INIT = 0x1C, UNINIT = 0x4E, ERASE_CHIP = 0x5C, ERASE_SECTOR = 0x88, PROGRAM_PAGE = 0xD4;

const std::string flm = std::string(KORVANE_SHARED_DATA) + "/flm/STM32F4xx_1024.FLM";

uint32_t word_at(SimFlashF4* fc, uint32_t off) {
    uint32_t v = 0;
    EXPECT_TRUE(sim_flashf4_array_read(fc, off, 4, &v));
    return v;
}

} // namespace

TEST(PeriphFlmAlgorithm, EraseProgramAndVerifyWithStAlgorithm) {
    SimFlashF4Timing t = sim_flashf4_timing_scaled(100);
    Rig rig;
    const std::string why = rig.open(&t, flm);
    if (why == "skip") GTEST_SKIP() << "shared data absent: " << flm;
    ASSERT_EQ(why, "");
    std::memset(rig.fc->array, 0x00, SIM_FLASHF4_ARRAY_SIZE); // everything programmed
    uint32_t r = 99;
    ASSERT_TRUE(rig.call(INIT, SIM_FLASHF4_ARRAY_BASE, 168000000, 1, &r));
    EXPECT_EQ(r, 0u);
    EXPECT_EQ(rig.fc->cr & SIM_FLASHF4_CR_LOCK, 0u) << "Init unlocks the interface";
    // Sector 1 (16 KB at 0x4000) and sector 5 (128 KB at 0x20000): the
    // algorithm computes SNB from the address itself.
    ASSERT_TRUE(rig.call(ERASE_SECTOR, SIM_FLASHF4_ARRAY_BASE + 0x4000, 0, 0, &r));
    EXPECT_EQ(r, 0u);
    ASSERT_TRUE(rig.call(ERASE_SECTOR, SIM_FLASHF4_ARRAY_BASE + 0x20000, 0, 0, &r));
    EXPECT_EQ(r, 0u);
    EXPECT_EQ(word_at(rig.fc.get(), 0x3FFC), 0u);
    EXPECT_EQ(word_at(rig.fc.get(), 0x4000), 0xFFFFFFFFu);
    EXPECT_EQ(word_at(rig.fc.get(), 0x7FFC), 0xFFFFFFFFu);
    EXPECT_EQ(word_at(rig.fc.get(), 0x8000), 0u);
    EXPECT_EQ(word_at(rig.fc.get(), 0x1FFFC), 0u);
    EXPECT_EQ(word_at(rig.fc.get(), 0x20000), 0xFFFFFFFFu);
    EXPECT_EQ(word_at(rig.fc.get(), 0x3FFFC), 0xFFFFFFFFu);
    EXPECT_EQ(word_at(rig.fc.get(), 0x40000), 0u);
    // One page of a known pattern.
    uint8_t page[1024];
    for (unsigned i = 0; i < sizeof page; ++i) page[i] = static_cast<uint8_t>(i * 7 + 3);
    ASSERT_EQ(uc_mem_write(rig.uc, BUF, page, sizeof page), UC_ERR_OK);
    ASSERT_TRUE(rig.call(PROGRAM_PAGE, SIM_FLASHF4_ARRAY_BASE + 0x20400, sizeof page, BUF, &r));
    EXPECT_EQ(r, 0u);
    EXPECT_EQ(std::memcmp(rig.fc->array + 0x20400, page, sizeof page), 0);
    EXPECT_EQ(word_at(rig.fc.get(), 0x203FC), 0xFFFFFFFFu);
    EXPECT_EQ(word_at(rig.fc.get(), 0x20800), 0xFFFFFFFFu);
    EXPECT_EQ(rig.fc->sr & 0xF0u, 0u);
    ASSERT_TRUE(rig.call(UNINIT, 0, 0, 0, &r));
    EXPECT_NE(rig.fc->cr & SIM_FLASHF4_CR_LOCK, 0u) << "UnInit locks again";
    // Init after UnInit unlocks again; EraseChip then clears the lot.
    ASSERT_TRUE(rig.call(INIT, SIM_FLASHF4_ARRAY_BASE, 168000000, 1, &r));
    ASSERT_TRUE(rig.call(ERASE_CHIP, 0, 0, 0, &r));
    EXPECT_EQ(r, 0u);
    for (uint32_t a = 0; a < SIM_FLASHF4_ARRAY_SIZE; a += 0x400) ASSERT_EQ(word_at(rig.fc.get(), a), 0xFFFFFFFFu) << a;
    EXPECT_EQ(sim_flashf4_busy_ns(rig.fc.get()), 0u);
}

TEST(PeriphFlmAlgorithm, StAlgorithmSeesWriteProtectionAsFailure) {
    SimFlashF4Timing t = sim_flashf4_timing_scaled(100);
    Rig rig;
    const std::string why = rig.open(&t, flm);
    if (why == "skip") GTEST_SKIP() << "shared data absent: " << flm;
    ASSERT_EQ(why, "");
    // Sector 2 write-protected through the option bytes (nWRP bit 18 = 0).
    rig.fc->option_bytes &= ~(1u << 18);
    sim_flashf4_reset(rig.fc.get());
    std::memset(rig.fc->array + 0x8000, 0x00, 0x4000);
    uint32_t r = 0;
    ASSERT_TRUE(rig.call(INIT, SIM_FLASHF4_ARRAY_BASE, 168000000, 1, &r));
    ASSERT_TRUE(rig.call(ERASE_SECTOR, SIM_FLASHF4_ARRAY_BASE + 0x8000, 0, 0, &r));
    EXPECT_EQ(r, 1u) << "the algorithm must report the refused erase";
    EXPECT_EQ(word_at(rig.fc.get(), 0x8000), 0u);
    uint32_t page[4] = {1, 2, 3, 4};
    ASSERT_EQ(uc_mem_write(rig.uc, BUF, page, sizeof page), UC_ERR_OK);
    ASSERT_TRUE(rig.call(PROGRAM_PAGE, SIM_FLASHF4_ARRAY_BASE + 0x8000, sizeof page, BUF, &r));
    EXPECT_EQ(r, 1u);
    EXPECT_EQ(word_at(rig.fc.get(), 0x8000), 0u);
    // A second Init without UnInit writes the keys to an unlocked interface:
    // an incorrect sequence, answered with a bus error, not a silent success.
    EXPECT_FALSE(rig.call(INIT, SIM_FLASHF4_ARRAY_BASE, 168000000, 1, &r));
    EXPECT_TRUE(rig.bus_fault);
}
