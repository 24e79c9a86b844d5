// The STM32F4 flash interface as firmware and a flash algorithm drive it.
// Sector layout is checked against ST's own flash algorithm description (the
// FlashDevice record inside STM32F4xx_1024.FLM), which nobody here wrote.
#include "sim/flash_f4.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint64_t ms = 1000000;

struct Flash {
    std::unique_ptr<SimFlashF4> fc = std::make_unique<SimFlashF4>();
    explicit Flash(const SimFlashF4Timing* t = nullptr) { sim_flashf4_init(fc.get(), t); }
    uint32_t rd(uint32_t off) {
        uint32_t v = 0xDEADBEEF;
        EXPECT_TRUE(sim_flashf4_read(fc.get(), off, 4, &v));
        return v;
    }
    bool wr(uint32_t off, uint32_t v) { return sim_flashf4_write(fc.get(), off, 4, v); }
    uint32_t sr() { return rd(SIM_FLASHF4_SR); }
    void unlock() {
        ASSERT_TRUE(wr(SIM_FLASHF4_KEYR, SIM_FLASHF4_KEY1));
        ASSERT_TRUE(wr(SIM_FLASHF4_KEYR, SIM_FLASHF4_KEY2));
        ASSERT_EQ(rd(SIM_FLASHF4_CR) & SIM_FLASHF4_CR_LOCK, 0u);
    }
    uint32_t word(uint32_t off) {
        uint32_t v = 0;
        EXPECT_TRUE(sim_flashf4_array_read(fc.get(), off, 4, &v));
        return v;
    }
};

uint32_t psize(unsigned p) { return p << SIM_FLASHF4_CR_PSIZE_SHIFT; }
uint32_t snb(unsigned s) { return s << SIM_FLASHF4_CR_SNB_SHIFT; }

} // namespace

TEST(PeriphFlashUnlock, ResetValuesAndRightSequence) {
    Flash f;
    EXPECT_EQ(f.rd(SIM_FLASHF4_CR), 0x80000000u);
    EXPECT_EQ(f.rd(SIM_FLASHF4_SR), 0u);
    EXPECT_EQ(f.rd(SIM_FLASHF4_ACR), 0u);
    EXPECT_EQ(f.rd(SIM_FLASHF4_OPTCR), 0x0FFFAAEDu); // RDP 0xAA: level 0, OPTLOCK set
    EXPECT_EQ(f.rd(SIM_FLASHF4_KEYR), 0u);           // write-only
    // Locked: CR ignores writes.
    EXPECT_TRUE(f.wr(SIM_FLASHF4_CR, SIM_FLASHF4_CR_PG));
    EXPECT_EQ(f.rd(SIM_FLASHF4_CR), 0x80000000u);
    f.unlock();
    EXPECT_TRUE(f.wr(SIM_FLASHF4_CR, SIM_FLASHF4_CR_PG | psize(2)));
    EXPECT_EQ(f.rd(SIM_FLASHF4_CR), SIM_FLASHF4_CR_PG | psize(2));
    // Setting LOCK relocks; the sequence opens it again.
    EXPECT_TRUE(f.wr(SIM_FLASHF4_CR, SIM_FLASHF4_CR_LOCK));
    EXPECT_NE(f.rd(SIM_FLASHF4_CR) & SIM_FLASHF4_CR_LOCK, 0u);
    EXPECT_TRUE(f.wr(SIM_FLASHF4_CR, 0));
    EXPECT_NE(f.rd(SIM_FLASHF4_CR) & SIM_FLASHF4_CR_LOCK, 0u);
    f.unlock();
}

TEST(PeriphFlashUnlock, WrongKeyOrOrderLocksUntilReset) {
    const uint32_t bad[][2] = {{SIM_FLASHF4_KEY2, SIM_FLASHF4_KEY1},
                               {SIM_FLASHF4_KEY1, 0x12345678},
                               {0, SIM_FLASHF4_KEY1}};
    for (const auto& seq : bad) {
        Flash f;
        const bool first = f.wr(SIM_FLASHF4_KEYR, seq[0]);
        const bool second = f.wr(SIM_FLASHF4_KEYR, seq[1]);
        EXPECT_FALSE(first && second) << "a wrong sequence must be answered with a bus error";
        // Even the right sequence now fails, and CR stays locked.
        EXPECT_FALSE(f.wr(SIM_FLASHF4_KEYR, SIM_FLASHF4_KEY1));
        EXPECT_FALSE(f.wr(SIM_FLASHF4_KEYR, SIM_FLASHF4_KEY2));
        EXPECT_NE(f.rd(SIM_FLASHF4_CR) & SIM_FLASHF4_CR_LOCK, 0u);
        EXPECT_TRUE(f.wr(SIM_FLASHF4_CR, SIM_FLASHF4_CR_PG));
        EXPECT_EQ(f.rd(SIM_FLASHF4_CR), 0x80000000u);
        sim_flashf4_reset(f.fc.get());
        f.unlock();
    }
    // A second unlock while already unlocked is an incorrect sequence too.
    Flash f;
    f.unlock();
    EXPECT_FALSE(f.wr(SIM_FLASHF4_KEYR, SIM_FLASHF4_KEY1));
    EXPECT_NE(f.rd(SIM_FLASHF4_CR) & SIM_FLASHF4_CR_LOCK, 0u);
    // Option keys have their own sequence.
    Flash g;
    EXPECT_TRUE(g.wr(SIM_FLASHF4_OPTKEYR, SIM_FLASHF4_OPTKEY1));
    EXPECT_TRUE(g.wr(SIM_FLASHF4_OPTKEYR, SIM_FLASHF4_OPTKEY2));
    EXPECT_EQ(g.rd(SIM_FLASHF4_OPTCR) & SIM_FLASHF4_OPTCR_OPTLOCK, 0u);
    EXPECT_NE(g.rd(SIM_FLASHF4_CR) & SIM_FLASHF4_CR_LOCK, 0u) << "option keys must not unlock CR";
    // OPTLOCK relocks; the option sequence then works again.
    EXPECT_TRUE(g.wr(SIM_FLASHF4_OPTCR, 0x0FFFAAED));
    EXPECT_NE(g.rd(SIM_FLASHF4_OPTCR) & SIM_FLASHF4_OPTCR_OPTLOCK, 0u);
    EXPECT_TRUE(g.wr(SIM_FLASHF4_OPTCR, 0x0FFFAAEC));
    EXPECT_NE(g.rd(SIM_FLASHF4_OPTCR) & SIM_FLASHF4_OPTCR_OPTLOCK, 0u) << "locked OPTCR ignores writes";
    EXPECT_TRUE(g.wr(SIM_FLASHF4_OPTKEYR, SIM_FLASHF4_OPTKEY1));
    EXPECT_TRUE(g.wr(SIM_FLASHF4_OPTKEYR, SIM_FLASHF4_OPTKEY2));
    EXPECT_EQ(g.rd(SIM_FLASHF4_OPTCR) & SIM_FLASHF4_OPTCR_OPTLOCK, 0u);
    // A wrong option key locks the option keys out until reset, as for KEYR.
    EXPECT_FALSE(g.wr(SIM_FLASHF4_OPTKEYR, SIM_FLASHF4_OPTKEY2));
    EXPECT_NE(g.rd(SIM_FLASHF4_OPTCR) & SIM_FLASHF4_OPTCR_OPTLOCK, 0u);
    EXPECT_FALSE(g.wr(SIM_FLASHF4_OPTKEYR, SIM_FLASHF4_OPTKEY1));
    sim_flashf4_reset(g.fc.get());
    EXPECT_TRUE(g.wr(SIM_FLASHF4_OPTKEYR, SIM_FLASHF4_OPTKEY1));
}

TEST(PeriphFlashProgram, ErrorsLeaveTheArrayUnchanged) {
    Flash f;
    // Without PG: sequence error, nothing written, and the bus still answers.
    f.unlock();
    EXPECT_TRUE(sim_flashf4_array_write(f.fc.get(), 0x100, 4, 0x12345678));
    EXPECT_NE(f.sr() & SIM_FLASHF4_SR_PGSERR, 0u);
    EXPECT_EQ(f.word(0x100), 0xFFFFFFFFu);
    // Error flags are write-one-to-clear.
    EXPECT_TRUE(f.wr(SIM_FLASHF4_SR, 0));
    EXPECT_NE(f.sr() & SIM_FLASHF4_SR_PGSERR, 0u);
    EXPECT_TRUE(f.wr(SIM_FLASHF4_SR, SIM_FLASHF4_SR_PGSERR));
    EXPECT_EQ(f.sr(), 0u);
    // PSIZE x32 but a halfword store: parallelism error.
    EXPECT_TRUE(f.wr(SIM_FLASHF4_CR, SIM_FLASHF4_CR_PG | psize(2)));
    EXPECT_TRUE(sim_flashf4_array_write(f.fc.get(), 0x100, 2, 0x1234));
    EXPECT_EQ(f.sr(), SIM_FLASHF4_SR_PGPERR);
    EXPECT_EQ(f.word(0x100), 0xFFFFFFFFu);
    f.wr(SIM_FLASHF4_SR, 0xFF);
    // Misaligned word: alignment error.
    EXPECT_TRUE(sim_flashf4_array_write(f.fc.get(), 0x102, 4, 0));
    EXPECT_EQ(f.sr(), SIM_FLASHF4_SR_PGAERR);
    EXPECT_EQ(f.word(0x100), 0xFFFFFFFFu);
    EXPECT_EQ(f.word(0x104), 0xFFFFFFFFu);
    f.wr(SIM_FLASHF4_SR, 0xFF);
    // x64 cannot be served by this bus.
    EXPECT_TRUE(f.wr(SIM_FLASHF4_CR, SIM_FLASHF4_CR_PG | psize(3)));
    EXPECT_TRUE(sim_flashf4_array_write(f.fc.get(), 0x100, 4, 0));
    EXPECT_EQ(f.sr(), SIM_FLASHF4_SR_PGPERR);
    // Outside the array or an impossible size: a bus error.
    EXPECT_FALSE(sim_flashf4_array_write(f.fc.get(), SIM_FLASHF4_ARRAY_SIZE, 1, 0));
    EXPECT_FALSE(sim_flashf4_array_write(f.fc.get(), SIM_FLASHF4_ARRAY_SIZE - 2, 4, 0));
    EXPECT_FALSE(sim_flashf4_array_write(f.fc.get(), 0, 3, 0));
    EXPECT_FALSE(sim_flashf4_array_write(f.fc.get(), 0xFFFFFFFFu, 4, 0));
    // ERRIE: errors also raise OPERR and the interrupt line.
    f.wr(SIM_FLASHF4_SR, 0xFF);
    EXPECT_TRUE(f.wr(SIM_FLASHF4_CR, SIM_FLASHF4_CR_ERRIE));
    EXPECT_FALSE(sim_flashf4_irq_pending(f.fc.get()));
    EXPECT_TRUE(sim_flashf4_array_write(f.fc.get(), 0x100, 4, 0));
    EXPECT_EQ(f.sr(), SIM_FLASHF4_SR_PGSERR | SIM_FLASHF4_SR_OPERR);
    EXPECT_TRUE(sim_flashf4_irq_pending(f.fc.get()));
}

TEST(PeriphFlashProgram, EachSizeProgramsOnlyItsBytesAndOnlyClearsBits) {
    SimFlashF4Timing t = sim_flashf4_timing_typical();
    Flash f(&t);
    f.unlock();
    struct Case { unsigned ps, size; uint32_t off, value, expect_word; };
    const Case cases[] = {
        {0, 1, 0x201, 0xA5, 0xFFFFA5FF},
        {1, 2, 0x302, 0x1234, 0x1234FFFF},
        {2, 4, 0x400, 0x87654321, 0x87654321},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(f.wr(SIM_FLASHF4_CR, SIM_FLASHF4_CR_PG | psize(c.ps) | SIM_FLASHF4_CR_EOPIE));
        ASSERT_TRUE(sim_flashf4_array_write(f.fc.get(), c.off, c.size, c.value));
        EXPECT_EQ(f.sr(), SIM_FLASHF4_SR_BSY) << "size " << c.size;
        EXPECT_EQ(sim_flashf4_busy_ns(f.fc.get()), 16000u);
        sim_flashf4_advance(f.fc.get(), 15999);
        EXPECT_EQ(f.sr(), SIM_FLASHF4_SR_BSY);
        sim_flashf4_advance(f.fc.get(), 1);
        EXPECT_EQ(f.sr(), SIM_FLASHF4_SR_EOP);
        EXPECT_TRUE(sim_flashf4_irq_pending(f.fc.get()));
        f.wr(SIM_FLASHF4_SR, SIM_FLASHF4_SR_EOP);
        EXPECT_EQ(f.word(c.off & ~3u), c.expect_word);
        EXPECT_EQ(f.word((c.off & ~3u) + 4), 0xFFFFFFFFu);
        EXPECT_EQ(f.word((c.off & ~3u) - 4), 0xFFFFFFFFu);
    }
    // A second program over a programmed word: old AND new.
    ASSERT_TRUE(f.wr(SIM_FLASHF4_CR, SIM_FLASHF4_CR_PG | psize(2)));
    ASSERT_TRUE(sim_flashf4_array_write(f.fc.get(), 0x400, 4, 0xF0F0FFFF));
    sim_flashf4_advance(f.fc.get(), ms);
    EXPECT_EQ(f.word(0x400), 0x87654321u & 0xF0F0FFFFu);
    // Without EOPIE no EOP flag.
    EXPECT_EQ(f.sr(), 0u);
    // A read while BSY stalls until the program is over; the stall is recorded.
    ASSERT_TRUE(sim_flashf4_array_write(f.fc.get(), 0x500, 4, 0));
    EXPECT_NE(f.sr() & SIM_FLASHF4_SR_BSY, 0u);
    EXPECT_EQ(f.word(0x500), 0u);
    EXPECT_EQ(f.sr() & SIM_FLASHF4_SR_BSY, 0u);
    EXPECT_EQ(f.fc->stalled_ns, 16000u);
}

namespace {

// The sectors ST's flash algorithm declares: {size, start} runs ending in
// 0xFFFFFFFF, at offset 0xA0 into the FlashDevice record.
std::vector<SimFlashF4Sector> flm_sectors(const std::string& path, bool* ok) {
    *ok = false;
    std::vector<SimFlashF4Sector> runs;
    FILE* fp = std::fopen(path.c_str(), "rb");
    if (!fp) return runs;
    std::vector<uint8_t> bytes;
    uint8_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(fp);
    const char name[] = "STM32F4xx 1MB Flash";
    auto it = std::search(bytes.begin(), bytes.end(), name, name + sizeof name - 1);
    if (it == bytes.end()) return runs;
    size_t dev = static_cast<size_t>(it - bytes.begin()) - 2; // name follows the u16 version
    size_t pos = dev + 0xA0; // Vers, DevName[128], DevType, DevAdr, szDev, szPage, Res, valEmpty+pad, toProg, toErase
    auto u32 = [&](size_t p) {
        return uint32_t(bytes[p]) | uint32_t(bytes[p + 1]) << 8 | uint32_t(bytes[p + 2]) << 16 |
               uint32_t(bytes[p + 3]) << 24;
    };
    while (pos + 8 <= bytes.size() && u32(pos) != 0xFFFFFFFFu) {
        runs.push_back({u32(pos + 4), u32(pos)});
        pos += 8;
    }
    *ok = !runs.empty();
    return runs;
}

} // namespace

TEST(PeriphFlashErase, SectorMapMatchesStFlashAlgorithm) {
    const std::string path = std::string(KORVANE_SHARED_DATA) + "/flm/STM32F4xx_1024.FLM";
    bool ok = false;
    auto runs = flm_sectors(path, &ok);
    if (!ok) GTEST_SKIP() << "shared data absent or unreadable: " << path;
    // Expand the runs to sectors and compare with ours, sector by sector.
    unsigned snb_i = 0;
    for (size_t r = 0; r < runs.size(); ++r) {
        const uint32_t end = r + 1 < runs.size() ? runs[r + 1].offset : SIM_FLASHF4_ARRAY_SIZE;
        for (uint32_t a = runs[r].offset; a < end; a += runs[r].size, ++snb_i) {
            SimFlashF4Sector s{};
            ASSERT_TRUE(sim_flashf4_sector(snb_i, &s)) << snb_i;
            EXPECT_EQ(s.offset, a) << "sector " << snb_i;
            EXPECT_EQ(s.size, runs[r].size) << "sector " << snb_i;
        }
    }
    EXPECT_EQ(snb_i, SIM_FLASHF4_SECTORS);
    SimFlashF4Sector s{};
    EXPECT_FALSE(sim_flashf4_sector(12, &s));
}

TEST(PeriphFlashErase, EachSectorSizeErasesItsRangeInTheModelledTime) {
    SimFlashF4Timing t = sim_flashf4_timing_typical();
    Flash f(&t);
    // Everything programmed to 0 before each erase: the erased range shows.
    struct Case { unsigned snb; uint32_t start, size; uint64_t ns; };
    const Case cases[] = {
        {0, 0x00000, 0x4000, 250 * ms},
        {3, 0x0C000, 0x4000, 250 * ms},
        {4, 0x10000, 0x10000, 550 * ms},
        {5, 0x20000, 0x20000, 1000 * ms},
        {11, 0xE0000, 0x20000, 1000 * ms},
    };
    f.unlock();
    for (const Case& c : cases) {
        std::memset(f.fc->array, 0x00, SIM_FLASHF4_ARRAY_SIZE);
        ASSERT_TRUE(f.wr(SIM_FLASHF4_CR, SIM_FLASHF4_CR_SER | snb(c.snb) | psize(2) | SIM_FLASHF4_CR_EOPIE));
        ASSERT_TRUE(f.wr(SIM_FLASHF4_CR, SIM_FLASHF4_CR_SER | snb(c.snb) | psize(2) | SIM_FLASHF4_CR_EOPIE |
                                             SIM_FLASHF4_CR_STRT));
        EXPECT_EQ(f.sr(), SIM_FLASHF4_SR_BSY);
        EXPECT_NE(f.rd(SIM_FLASHF4_CR) & SIM_FLASHF4_CR_STRT, 0u);
        sim_flashf4_advance(f.fc.get(), c.ns - 1);
        EXPECT_EQ(f.sr(), SIM_FLASHF4_SR_BSY) << "sector " << c.snb;
        sim_flashf4_advance(f.fc.get(), 1);
        EXPECT_EQ(f.sr(), SIM_FLASHF4_SR_EOP) << "sector " << c.snb;
        EXPECT_EQ(f.rd(SIM_FLASHF4_CR) & SIM_FLASHF4_CR_STRT, 0u);
        f.wr(SIM_FLASHF4_SR, SIM_FLASHF4_SR_EOP);
        EXPECT_EQ(f.word(c.start), 0xFFFFFFFFu);
        EXPECT_EQ(f.word(c.start + c.size - 4), 0xFFFFFFFFu);
        if (c.start) {
            EXPECT_EQ(f.word(c.start - 4), 0u) << "sector " << c.snb << " erased below itself";
        }
        if (c.start + c.size < SIM_FLASHF4_ARRAY_SIZE) {
            EXPECT_EQ(f.word(c.start + c.size), 0u) << "sector " << c.snb << " erased above itself";
        }
    }
    // x8 parallelism takes longer.
    ASSERT_TRUE(f.wr(SIM_FLASHF4_CR, SIM_FLASHF4_CR_SER | snb(1) | psize(0) | SIM_FLASHF4_CR_STRT));
    EXPECT_EQ(sim_flashf4_busy_ns(f.fc.get()), 400 * ms);
    sim_flashf4_advance(f.fc.get(), 400 * ms);
    EXPECT_EQ(f.sr(), 0u);
    // Sector 12 does not exist on this part: refused, nothing erased.
    ASSERT_TRUE(f.wr(SIM_FLASHF4_CR, SIM_FLASHF4_CR_SER | snb(12) | psize(2) | SIM_FLASHF4_CR_STRT));
    EXPECT_EQ(f.sr(), SIM_FLASHF4_SR_PGSERR);
    EXPECT_EQ(f.word(0x8000), 0u); // sector 2 untouched
}

TEST(PeriphFlashErase, MassEraseAndScaledTiming) {
    SimFlashF4Timing t = sim_flashf4_timing_scaled(1000);
    EXPECT_EQ(t.mass_erase_ns[2], 8 * ms);
    Flash f(&t);
    std::memset(f.fc->array, 0x5A, SIM_FLASHF4_ARRAY_SIZE);
    f.unlock();
    ASSERT_TRUE(f.wr(SIM_FLASHF4_CR, SIM_FLASHF4_CR_MER | psize(2)));
    ASSERT_TRUE(f.wr(SIM_FLASHF4_CR, SIM_FLASHF4_CR_MER | psize(2) | SIM_FLASHF4_CR_STRT));
    EXPECT_EQ(f.sr(), SIM_FLASHF4_SR_BSY);
    sim_flashf4_advance(f.fc.get(), 8 * ms - 1);
    EXPECT_EQ(f.sr(), SIM_FLASHF4_SR_BSY);
    sim_flashf4_advance(f.fc.get(), 1);
    EXPECT_EQ(f.sr(), 0u);
    for (uint32_t a = 0; a < SIM_FLASHF4_ARRAY_SIZE; a += 0x1000) ASSERT_EQ(f.word(a), 0xFFFFFFFFu) << a;
    // STRT cannot be withdrawn while the erase runs; a reset abandons the
    // wait but not the erase.
    std::memset(f.fc->array, 0, 0x4000);
    ASSERT_TRUE(f.wr(SIM_FLASHF4_CR, SIM_FLASHF4_CR_SER | snb(0) | SIM_FLASHF4_CR_STRT));
    ASSERT_TRUE(f.wr(SIM_FLASHF4_CR, 0));
    EXPECT_NE(f.rd(SIM_FLASHF4_CR) & SIM_FLASHF4_CR_STRT, 0u);
    EXPECT_EQ(f.sr(), SIM_FLASHF4_SR_BSY);
    sim_flashf4_reset(f.fc.get());
    EXPECT_EQ(sim_flashf4_busy_ns(f.fc.get()), 0u);
    EXPECT_EQ(f.word(0x3FFC), 0xFFFFFFFFu);
    f.unlock();
    // SER and MER together is a sequence error.
    ASSERT_TRUE(f.wr(SIM_FLASHF4_CR, SIM_FLASHF4_CR_MER | SIM_FLASHF4_CR_SER | SIM_FLASHF4_CR_STRT));
    EXPECT_EQ(f.sr(), SIM_FLASHF4_SR_PGSERR);
    // The array survives a system reset; the registers do not.
    sim_flashf4_reset(f.fc.get());
    EXPECT_EQ(f.rd(SIM_FLASHF4_CR), 0x80000000u);
    EXPECT_EQ(f.sr(), 0u);
    EXPECT_EQ(f.word(0), 0xFFFFFFFFu);
}

TEST(PeriphFlashOptions, WriteProtectionAndReadProtectionRefused) {
    SimFlashF4Timing t = sim_flashf4_timing_scaled(1000);
    Flash f(&t);
    ASSERT_TRUE(f.wr(SIM_FLASHF4_OPTKEYR, SIM_FLASHF4_OPTKEY1));
    ASSERT_TRUE(f.wr(SIM_FLASHF4_OPTKEYR, SIM_FLASHF4_OPTKEY2));
    // Protect sector 1 (nWRP bit 17 = 0) and program the options.
    const uint32_t opt = 0x0FFFAAEC & ~(1u << 17);
    ASSERT_TRUE(f.wr(SIM_FLASHF4_OPTCR, opt | SIM_FLASHF4_OPTCR_OPTSTRT));
    EXPECT_NE(f.sr() & SIM_FLASHF4_SR_BSY, 0u);
    sim_flashf4_advance(f.fc.get(), ms);
    EXPECT_EQ(f.sr(), 0u);
    sim_flashf4_reset(f.fc.get());
    EXPECT_EQ(f.rd(SIM_FLASHF4_OPTCR), opt | SIM_FLASHF4_OPTCR_OPTLOCK) << "options survive reset";
    f.unlock();
    ASSERT_TRUE(f.wr(SIM_FLASHF4_CR, SIM_FLASHF4_CR_PG | psize(2)));
    EXPECT_TRUE(sim_flashf4_array_write(f.fc.get(), 0x4000, 4, 0));
    EXPECT_EQ(f.sr(), SIM_FLASHF4_SR_WRPERR);
    EXPECT_EQ(f.word(0x4000), 0xFFFFFFFFu);
    f.wr(SIM_FLASHF4_SR, 0xFF);
    ASSERT_TRUE(f.wr(SIM_FLASHF4_CR, SIM_FLASHF4_CR_MER | SIM_FLASHF4_CR_STRT));
    EXPECT_EQ(f.sr(), SIM_FLASHF4_SR_WRPERR);
    f.wr(SIM_FLASHF4_SR, 0xFF);
    // Sector 0 is not protected.
    ASSERT_TRUE(f.wr(SIM_FLASHF4_CR, SIM_FLASHF4_CR_PG | psize(2)));
    EXPECT_TRUE(sim_flashf4_array_write(f.fc.get(), 0x0, 4, 0));
    sim_flashf4_advance(f.fc.get(), ms);
    EXPECT_EQ(f.word(0), 0u);
    // Asking for read protection level 1 fails visibly and changes nothing.
    ASSERT_TRUE(f.wr(SIM_FLASHF4_OPTKEYR, SIM_FLASHF4_OPTKEY1));
    ASSERT_TRUE(f.wr(SIM_FLASHF4_OPTKEYR, SIM_FLASHF4_OPTKEY2));
    ASSERT_TRUE(f.wr(SIM_FLASHF4_OPTCR, (opt & ~0xFF00u) | 0x5500u | SIM_FLASHF4_OPTCR_OPTSTRT));
    EXPECT_EQ(f.sr(), SIM_FLASHF4_SR_PGSERR);
    EXPECT_EQ(f.rd(SIM_FLASHF4_OPTCR) & 0xFF00u, 0xAA00u);
}

TEST(PeriphFlashRegisters, BadAccessesAndByteLanes) {
    Flash f;
    uint32_t v = 0;
    EXPECT_FALSE(sim_flashf4_read(f.fc.get(), 0x11, 2, &v));
    EXPECT_FALSE(sim_flashf4_read(f.fc.get(), 0x10, 3, &v));
    EXPECT_FALSE(sim_flashf4_read(f.fc.get(), 0x400, 4, &v));
    EXPECT_FALSE(sim_flashf4_write(f.fc.get(), 0x400, 4, 0));
    f.unlock();
    // The ST HAL starts an erase with a byte store into CR bits 23:16.
    ASSERT_TRUE(f.wr(SIM_FLASHF4_CR, SIM_FLASHF4_CR_SER | snb(2) | psize(2)));
    std::memset(f.fc->array + 0x8000, 0, 16);
    ASSERT_TRUE(sim_flashf4_write(f.fc.get(), SIM_FLASHF4_CR + 2, 1, 0x01));
    EXPECT_EQ(f.rd(SIM_FLASHF4_CR), SIM_FLASHF4_CR_SER | snb(2) | psize(2) | SIM_FLASHF4_CR_STRT);
    EXPECT_TRUE(sim_flashf4_read(f.fc.get(), SIM_FLASHF4_CR + 1, 1, &v));
    EXPECT_EQ(v, 2u); // PSIZE in byte 1
    EXPECT_EQ(f.word(0x8000), 0xFFFFFFFFu);
    // A half-word key store is a wrong sequence.
    Flash g;
    EXPECT_FALSE(sim_flashf4_write(g.fc.get(), SIM_FLASHF4_KEYR, 2, SIM_FLASHF4_KEY1 & 0xFFFF));
    SimMemPort p = sim_flashf4_reg_port(g.fc.get());
    EXPECT_TRUE(p.read(p.ctx, SIM_FLASHF4_CR, 4, &v));
    EXPECT_EQ(v, 0x80000000u);
}
