// Every generation's flash model judged by ST's own flash algorithm for the
// family (../shared/data/flm), run under Unicorn against the model: the
// algorithm's FlashDevice record gives the sectors, its Init, EraseSector and
// ProgramPage must succeed, and the array must then hold exactly what was
// erased and programmed, with every other byte as it was.
#include "tests/sim/flm_rig.h"

#include <gtest/gtest.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <vector>

namespace {

const std::string kFlm = std::string(KORVANE_SHARED_DATA) + "/flm/";

// A family: its model, ST's algorithm, where its flash starts, the core the
// algorithm was built for, and the peripheral pages it may touch besides the
// flash interface (watchdogs it feeds, clocks it reads), kept as plain memory.
struct Family {
    const char* name;
    SimFlashKind kind;
    const char* flm;
    uint32_t flash_base;
    int cpu;
    std::vector<uint32_t> plain_pages;
};

// Words some algorithms read to learn the part (DBGMCU's device ID, the
// flash size in KB from the engineering area), as the chip holds them; each
// lies in one of its family's plain pages.
struct Preset { const char* family; uint32_t addr, value; };
const Preset kPresets[] = {
    {"G0", 0x40015800, 0x460}, {"G0", 0x1FFF75E0, 64},    // G07x/G08x
    {"L4", 0xE0042000, 0x415},                            // L47x/L48x
    {"G4", 0xE0042000, 0x469}, {"G4", 0x1FFF75E0, 512},   // G47x/G48x, category 3
    {"U5", 0x0BFA07A0, 2048},                             // U575/U585
};

uint8_t pattern(uint32_t i) { return uint8_t(i * 7 + 3); }

class FlashFamilies : public ::testing::TestWithParam<Family> {};

// Sectors first, middle and last erased (and nothing else); in each, a page
// at its start, one at its end and one short odd tail programmed; the array
// then equals the expectation byte for byte.
TEST_P(FlashFamilies, StsAlgorithmErasesAndProgramsTheModelExactly) {
    const Family& fam = GetParam();
    if (!std::filesystem::exists(kFlm + fam.flm)) GTEST_SKIP() << "shared data absent: " << kFlm + fam.flm;
    FlmSetup setup{fam.kind, kFlm + fam.flm, fam.flash_base, fam.cpu, fam.plain_pages, {}};
    for (const Preset& p : kPresets)
        if (!std::strcmp(p.family, fam.name)) setup.words.push_back({p.addr, p.value});
    FlmRig r;
    ASSERT_EQ(r.open(setup), "");
    const std::vector<FlmSector> secs = r.sectors();
    ASSERT_GE(secs.size(), 3u);
    const uint32_t size = flm_u32(r.dev, 0x88), page = flm_u32(r.dev, 0x8C);
    const uint8_t empty = r.dev[0x94];
    ASSERT_TRUE(page >= 8 && page <= 0x1000) << page;
    std::vector<uint8_t> want(size, 0x5A);
    std::memset(r.fc.array, 0x5A, size);  // what a part holds before: not erased
    std::vector<uint8_t> buf(page);
    for (uint32_t i = 0; i < page; ++i) buf[i] = pattern(i);
    ASSERT_FALSE(uc_mem_write(r.uc, FLM_BUF, buf.data(), buf.size()));

    ASSERT_EQ(r.call("Init", r.flash_base, 16000000, 1), 0);
    // Each pick widened by its neighbours until it holds three pages, where
    // sectors are no larger than a page (F0's 1 KB, L0's 128 bytes): every
    // program then lands on erased flash, as the parts require.
    std::vector<FlmSector> picks;
    for (size_t i : {size_t(0), secs.size() / 2, secs.size() - 1}) {
        size_t a = i, b = i + 1;
        uint32_t span = secs[i].size;
        while (span < 3 * page && secs[i].size <= page && (b < secs.size() || a > 0))
            span += b < secs.size() ? secs[b++].size : secs[--a].size;
        for (size_t k = a; k < b; ++k)
            ASSERT_EQ(r.call("EraseSector", r.flash_base + secs[k].offset), 0) << std::hex << secs[k].offset;
        picks.push_back({secs[a].offset, span});
        std::fill(want.begin() + secs[a].offset, want.begin() + secs[a].offset + span, empty);
    }
    if (r.fn.count("UnInit")) {
        ASSERT_EQ(r.call("UnInit", 1), 0);
    }
    ASSERT_EQ(r.call("Init", r.flash_base, 16000000, 2), 0);
    for (const FlmSector& s : picks) {
        const uint32_t tail = (page / 2 + 7) & ~7u;  // a short write the algorithm must pad itself
        const uint32_t at[] = {s.offset, s.offset + s.size - page, s.offset + page};
        const uint32_t len[] = {page, page, s.size >= 3 * page ? tail : 0};
        for (int k = 0; k < 3; ++k) {
            if (!len[k]) continue;
            ASSERT_EQ(r.call("ProgramPage", r.flash_base + at[k], len[k], FLM_BUF), 0) << std::hex << at[k];
            for (uint32_t i = 0; i < len[k]; ++i) want[at[k] + i] = pattern(i);
        }
    }
    if (r.fn.count("UnInit")) {
        ASSERT_EQ(r.call("UnInit", 2), 0);
    }
    size_t first = 0;
    while (first < size && r.fc.array[first] == want[first]) ++first;
    EXPECT_EQ(first, size) << "first difference at offset 0x" << std::hex << first;
}

const Family kFamilies[] = {
    {"F4", SimFlashKind::stm32f4, "STM32F4xx_1024.FLM", 0x08000000, UC_CPU_ARM_CORTEX_M4, {0x40003000}},
    {"F0", SimFlashKind::stm32f0, "STM32F0xx_64.FLM", 0x08000000, UC_CPU_ARM_CORTEX_M0, {0x40003000}},
    // ST's pack has no 2 MB F4 algorithm: its 1 MB one judges bank 1.
    {"F4DualBank", SimFlashKind::stm32f4_2m, "STM32F4xx_1024.FLM", 0x08000000, UC_CPU_ARM_CORTEX_M4, {0x40003000}},
    {"L0", SimFlashKind::stm32l0, "STM32L0xx_64.FLM", 0x08000000, UC_CPU_ARM_CORTEX_M0, {0x40003000}},
    {"G0", SimFlashKind::stm32g0, "STM32G0xx_64.FLM", 0x08000000, UC_CPU_ARM_CORTEX_M0, {0x40015000, 0x1FFF7000}},
    {"L4", SimFlashKind::stm32l4, "STM32L4xx_1024.FLM", 0x08000000, UC_CPU_ARM_CORTEX_M4, {0x40003000, 0xE0042000}},
    {"G4", SimFlashKind::stm32g4, "STM32G4xx_512.FLM", 0x08000000, UC_CPU_ARM_CORTEX_M4, {0xE0042000, 0x1FFF7000}},
    {"U5", SimFlashKind::stm32u5, "STM32U5xx_2M_0800.FLM", 0x08000000, UC_CPU_ARM_CORTEX_M33, {0x0BFA0000}},
    {"H7", SimFlashKind::stm32h7, "STM32H7x_2048.FLM", 0x08000000, UC_CPU_ARM_CORTEX_M7, {0x58024000}},
};

INSTANTIATE_TEST_SUITE_P(St, FlashFamilies, ::testing::ValuesIn(kFamilies),
                         [](const ::testing::TestParamInfo<Family>& i) { return std::string(i.param.name); });

}  // namespace
