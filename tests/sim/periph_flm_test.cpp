// ST's own flash algorithm (STM32F4xx_1024.FLM from the STM32F4 device pack)
// against the flash interface model: its FlashDevice record is the oracle for
// the sector map, and its code, run under Unicorn, must see the model's
// failures (write protection, a wrong key sequence) as failures. The
// successful erase/program path runs through the whole board in
// board_flash_test.cpp. Our own algorithm (flash/algo) runs the same way.
#include "sim/flash_f4.h"
#include "periph_steps_test.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
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
    uint32_t base = RAM; // where the image's address 0 lands
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
            uc_mem_write(uc, base + code.first, code.second.data(), code.second.size()) ||
            uc_mem_write(uc, base + data.first, data.second.data(), data.second.size()) || uc_mem_write(uc, STOP, &bkpt, 2))
            return "map/load";
        data_base = base + data.first;
        return {};
    }
    // An algorithm function's result, or -1 if it did not come back to STOP.
    int64_t call(uint32_t fn, uint32_t a0, uint32_t a1 = 0, uint32_t a2 = 0) {
        const uint32_t regs[] = {a0, a1, a2, data_base, STACK, STOP | 1u};
        const int ids[] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R9, UC_ARM_REG_SP, UC_ARM_REG_LR};
        for (int i = 0; i < 6; ++i) uc_reg_write(uc, ids[i], &regs[i]);
        bus_fault = false;
        const uc_err e = uc_emu_start(uc, (base + fn) | 1u, STOP, 0, 20000000); // bounded
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
    const std::string file = read_text_file(flm_path);
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
    const std::string file = read_text_file(flm_path);
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

// Our own algorithm (flash/algo), built into the demo pack, and its broken
// variants. Entry points come from its .symtab; the image runs at two load
// addresses, which only position-independent code survives.
namespace {

const std::string our_flm = std::string(KORVANE_DEMO_PACK_DIR) + "/Korvane.DemoBoard/Flash/KorvaneF4_1024.FLM";
std::string variant(const char* name) { return std::string(KORVANE_TEST_FLM_DIR) + "/" + name; }

// A symbol's value with the Thumb bit cleared; ~0 when absent.
uint32_t symbol(const std::string& f, const char* want) {
    const uint32_t shoff = u32(f, 32), shnum = u32(f, 48) & 0xFFFF;
    for (uint32_t i = 0; i < shnum && shoff + i * 40 + 40 <= f.size(); ++i) {
        const size_t h = shoff + i * 40;
        if (u32(f, h + 4) != 2) continue; // SHT_SYMTAB
        const size_t off = u32(f, h + 16), size = u32(f, h + 20), str = u32(f, shoff + u32(f, h + 24) * 40 + 16);
        for (size_t s = off; s + 16 <= off + size && s + 16 <= f.size(); s += 16) {
            const size_t name = str + u32(f, s), n = std::strlen(want) + 1;
            if (name < f.size() && f.compare(name, n, want, n) == 0) return u32(f, s + 4) & ~1u;
        }
    }
    return ~0u;
}

struct Algo : Rig { // entry points by name, from the file's .symtab
    std::string file;
    uint32_t fn(const char* name) { return symbol(file, name); }
    int64_t init() { return call(fn("Init"), SIM_FLASHF4_ARRAY_BASE, 168000000, 1); }
    int64_t erase(uint32_t off) { return call(fn("EraseSector"), SIM_FLASHF4_ARRAY_BASE + off); }
    int64_t program(uint32_t off, uint32_t n, uint32_t src = BUF) {
        return call(fn("ProgramPage"), SIM_FLASHF4_ARRAY_BASE + off, n, src);
    }
    bool load(const std::string& path, uint32_t at = RAM) {
        file = read_text_file(path);
        base = at;
        const std::string why = file.empty() ? "missing " + path : open(file);
        EXPECT_EQ(why, "");
        return why.empty();
    }
    void faults(SimFlashF4Faults f) { sim_flashf4_set_faults(fc.get(), &f); }
};

} // namespace

TEST(PeriphFlmOurs, DescribesTheDeviceLikeSt) {
    const std::string ours = read_text_file(our_flm), st = read_text_file(flm_path);
    ASSERT_FALSE(ours.empty()) << our_flm;
    const std::string dev = section(ours, "DevDscr").second;
    ASSERT_EQ(dev.size(), 0xC0u);
    EXPECT_EQ(u32(dev, 0) & 0xFFFF, 0x101u);
    EXPECT_STREQ(dev.c_str() + 2, "Korvane STM32F4 1MB Flash");
    EXPECT_EQ(u32(dev, 0x80) >> 16, 1u); // on-chip
    const uint32_t want[] = {SIM_FLASHF4_ARRAY_BASE, SIM_FLASHF4_ARRAY_SIZE, 1024, 0, 0xFF, 500, 6000};
    for (unsigned i = 0; i < 7; ++i) EXPECT_EQ(u32(dev, 0x84 + 4 * i), want[i]) << i;
    for (const char* f : {"Init", "UnInit", "EraseChip", "EraseSector", "ProgramPage", "FlashDevice"})
        EXPECT_NE(symbol(ours, f), ~0u) << f;
    EXPECT_EQ(symbol(ours, "FlashDevice"), section(ours, "DevDscr").first);
    if (st.empty()) GTEST_SKIP() << "shared data absent: " << flm_path;
    // The sector runs and their end marker, byte for byte as ST's.
    EXPECT_EQ(dev.substr(0xA0), section(st, "DevDscr").second.substr(0xA0, 0x20));
}

TEST(PeriphFlmOurs, ErasesProgramsAndLocksAtAnyLoadAddress) {
    for (const uint32_t at : {RAM, RAM + 0x3004}) {
        SCOPED_TRACE(testing::Message() << std::hex << at);
        Algo r;
        if (!r.load(our_flm, at)) return;
        std::memset(r.fc->array, 0, SIM_FLASHF4_ARRAY_SIZE);
        uint8_t page[1024];
        for (unsigned i = 0; i < sizeof page; ++i) page[i] = uint8_t(i * 7 + 3);
        ASSERT_EQ(uc_mem_write(r.uc, BUF, page, sizeof page), UC_ERR_OK);
        ASSERT_EQ(r.init(), 0);
        EXPECT_EQ(r.fc->cr & SIM_FLASHF4_CR_LOCK, 0u);
        EXPECT_EQ(r.init(), 0) << "a second Init leaves the open interface alone";
        EXPECT_EQ(r.erase(0x4000), 0);       // sector 1 exactly
        EXPECT_TRUE(r.all(0x4000, 0x4000, 0xFF) && r.all(0x3FFC, 4, 0) && r.all(0x8000, 4, 0));
        EXPECT_EQ(r.erase(0xE0004), 0);      // any address inside sector 11
        EXPECT_TRUE(r.all(0xE0000, 0x20000, 0xFF) && r.all(0xDFFFC, 4, 0));
        EXPECT_EQ(r.program(0x4000, sizeof page), 0);
        EXPECT_EQ(std::memcmp(r.fc->array + 0x4000, page, sizeof page), 0);
        EXPECT_EQ(r.program(0x4400, 6, BUF + 1), 0); // odd buffer, short tail stays erased
        EXPECT_EQ(std::memcmp(r.fc->array + 0x4400, page + 1, 6), 0);
        EXPECT_TRUE(r.all(0x4406, 0x8000 - 0x4406, 0xFF));
        // Outside the flash or misaligned: refused, nothing touched.
        EXPECT_EQ(r.erase(SIM_FLASHF4_ARRAY_SIZE), 1);
        EXPECT_EQ(r.program(SIM_FLASHF4_ARRAY_SIZE - 4, 8), 1);
        EXPECT_EQ(r.program(0x4802, 4), 1);
        EXPECT_TRUE(r.all(0xFFFFC, 4, 0xFF) && r.all(0x4800, 8, 0xFF));
        EXPECT_EQ(r.call(r.fn("EraseChip"), 0), 0);
        EXPECT_TRUE(r.all(0, SIM_FLASHF4_ARRAY_SIZE, 0xFF));
        EXPECT_EQ(r.call(r.fn("UnInit"), 1), 0);
        EXPECT_NE(r.fc->cr & SIM_FLASHF4_CR_LOCK, 0u);
        EXPECT_EQ(r.fc->sr & 0xF2u, 0u);
    }
}

TEST(PeriphFlmOurs, EveryFlashFaultIsAFailureAndTheVariantsFailAsNamed) {
    const uint32_t word = 0x12345678;
    {   // Keys refused: Init says so.
        Algo r;
        if (!r.load(our_flm)) return;
        r.faults({.reject_keys = true, .busy_stuck = false, .error_on_program = 0, .drop_writes = false});
        EXPECT_EQ(r.init(), 1);
    }
    {   // Error bits and write protection, on erase, program and chip erase.
        Algo r;
        if (!r.load(our_flm)) return;
        ASSERT_EQ(uc_mem_write(r.uc, BUF, &word, 4), UC_ERR_OK);
        ASSERT_EQ(r.init(), 0);
        r.faults({.reject_keys = false, .busy_stuck = false, .error_on_program = SIM_FLASHF4_SR_PGPERR,
                  .drop_writes = false});
        EXPECT_EQ(r.program(0x100, 4), 1);
        sim_flashf4_set_faults(r.fc.get(), nullptr);
        sim_flashf4_set_write_protect(r.fc.get(), 0xFFF & ~(1u << 5));
        EXPECT_EQ(r.erase(0x20000), 1);
        EXPECT_EQ(r.program(0x20000, 4), 1);
        EXPECT_EQ(r.call(r.fn("EraseChip"), 0), 1) << "unlike ST's, a refused mass erase is reported";
        EXPECT_TRUE(r.all(0, SIM_FLASHF4_ARRAY_SIZE, 0xFF));
        // A dropped write looks like success: only a read-back can tell.
        sim_flashf4_set_write_protect(r.fc.get(), 0xFFF);
        r.faults({.reject_keys = false, .busy_stuck = false, .error_on_program = 0, .drop_writes = true});
        EXPECT_EQ(r.program(0x100, 4), 0);
        EXPECT_TRUE(r.all(0x100, 4, 0xFF));
        // BSY stuck: the bounded wait gives up and reports it.
        r.faults({.reject_keys = false, .busy_stuck = true, .error_on_program = 0, .drop_writes = false});
        EXPECT_EQ(r.program(0x100, 4), 1);
        EXPECT_NE(r.fc->sr & SIM_FLASHF4_SR_BSY, 0u);
    }
    struct Case { const char* file; const char* fn; int64_t result; };
    const Case cases[] = {{"korvane_f4_hang.FLM", "EraseSector", -1}, {"korvane_f4_ret1.FLM", "ProgramPage", 1},
                          {"korvane_f4_fault.FLM", "ProgramPage", -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        Algo r;
        if (!r.load(variant(c.file))) continue;
        ASSERT_EQ(uc_mem_write(r.uc, BUF, &word, 4), UC_ERR_OK);
        ASSERT_EQ(r.init(), 0);
        EXPECT_EQ(r.call(r.fn(c.fn), SIM_FLASHF4_ARRAY_BASE + 0x4000, 4, BUF), c.result);
        EXPECT_TRUE(r.all(0x4000, 4, 0xFF));
        // The rest of the variant works: it is the named function that fails.
        const bool hang = c.result == -1 && std::strcmp(c.fn, "EraseSector") == 0;
        EXPECT_EQ(hang ? r.program(0x4000, 4) : r.erase(0x4000), 0);
    }
}

TEST(PeriphFlmAlgorithm, StAlgorithmUnderEachFlashFault) {
    if (read_text_file(flm_path).empty()) GTEST_SKIP() << "shared data absent: " << flm_path;
    const uint32_t page[2] = {0x11111111, 0x22222222};
    Algo k, e;
    ASSERT_TRUE(k.load(flm_path) && e.load(flm_path));
    ASSERT_EQ(uc_mem_write(k.uc, BUF, page, 8) | uc_mem_write(e.uc, BUF, page, 8), UC_ERR_OK);
    // Keys refused: ST's Init does not look, and its EraseSector returns 0
    // although the locked interface started nothing; programming fails.
    std::memset(k.fc->array, 0, 0x4000);
    k.faults({.reject_keys = true, .busy_stuck = false, .error_on_program = 0, .drop_writes = false});
    EXPECT_EQ(k.init(), 0);
    EXPECT_EQ(k.erase(0), 0);
    EXPECT_TRUE(k.all(0, 0x4000, 0)) << "nothing erased";
    EXPECT_EQ(k.program(0x4000, 8), 1);
    // Error bits: ProgramPage fails; BSY stuck: ST's wait has no bound.
    ASSERT_EQ(e.init(), 0);
    e.faults({.reject_keys = false, .busy_stuck = false, .error_on_program = SIM_FLASHF4_SR_PGPERR, .drop_writes = false});
    EXPECT_EQ(e.program(0, 8), 1);
    e.faults({.reject_keys = false, .busy_stuck = true, .error_on_program = 0, .drop_writes = false});
    EXPECT_EQ(e.erase(0), -1) << "never returns";
    EXPECT_TRUE(e.all(0, SIM_FLASHF4_ARRAY_SIZE, 0xFF));
}

// Judged by tools nobody here wrote: xmllint with the pack schema, and the
// Arm objdump, whose literal words must never point into the image itself
// (the loader moves it; a stored address of its own would then be wrong).
TEST(PeriphFlmOurs, PackValidatesAndCodeStoresNoAddressOfItsOwn) {
    const auto run = [](const std::string& cmd, std::string* out) {
        out->clear();
        FILE* p = popen((cmd + " 2>&1").c_str(), "r");
        if (!p) return -1;
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out->append(buf, n);
        return pclose(p);
    };
    std::string out;
    std::string xsd; // the CMSIS pack schema, in whichever folder of the shared data keeps it
    std::error_code ec;
    for (const auto& d : std::filesystem::directory_iterator(KORVANE_SHARED_DATA, ec))
        if (std::filesystem::exists(d.path() / "PACK.xsd", ec)) xsd = (d.path() / "PACK.xsd").string();
    if (xsd.empty()) GTEST_SKIP() << "no PACK.xsd under " << KORVANE_SHARED_DATA;
    if (run("xmllint --version", &out) != 0) GTEST_SKIP() << "xmllint absent (Debian package libxml2-utils)";
    const std::string pdsc = std::string(KORVANE_DEMO_PACK_DIR) + "/Korvane.DemoBoard/Korvane.DemoBoard.pdsc";
    EXPECT_EQ(run("xmllint --noout --schema '" + xsd + "' '" + pdsc + "'", &out), 0) << out;
    const std::string file = read_text_file(our_flm);
    const uint64_t end = section(file, "DevDscr").first + section(file, "DevDscr").second.size();
    ASSERT_GT(end, 0u);
    ASSERT_EQ(run("arm-none-eabi-objdump -d '" + our_flm + "'", &out), 0) << out;
    unsigned words = 0;
    for (size_t at = out.find(".word\t0x"); at != std::string::npos; at = out.find(".word\t0x", at + 1), ++words)
        EXPECT_GE(std::strtoull(out.c_str() + at + 6, nullptr, 16), end) << out.substr(at, 20);
    EXPECT_GT(words, 0u) << "the flash interface's address is a literal";
    ASSERT_EQ(run("arm-none-eabi-readelf -r '" + our_flm + "'", &out), 0);
    EXPECT_NE(out.find("no relocations"), std::string::npos) << out;
}
