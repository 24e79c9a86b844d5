// Flash algorithms run under Unicorn against the flash interface model: ST's own (STM32F4xx_1024.FLM from
// the STM32F4 device pack), whose FlashDevice record is the oracle for the sector map and whose code must
// see the model's refusals as failures; and ours (flash/algo, in the demo pack) with its broken variants.
#include "sim/flash_f4.h"
#include "tests/sim/flm_rig.h"

#include <gtest/gtest.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>

namespace {

const std::string kSt = std::string(KORVANE_SHARED_DATA) + "/flm/STM32F4xx_1024.FLM",
                  kOurs = std::string(KORVANE_DEMO_PACK_DIR) + "/Korvane.DemoBoard/Flash/KorvaneF4_1024.FLM";

uint32_t u32(const std::vector<uint8_t>& f, size_t p) { return flm_u32(f, p); }

// The F405's model with an algorithm loaded at `at`, and a 1 KB source
// buffer of bytes nobody picked.
struct Rig : FlmRig {
    SimFlashF4* f4() { return static_cast<SimFlashF4*>(fc.self); }
    std::string open_at(const std::string& path, uint32_t at) {
        std::string why = open({SimFlashKind::stm32f4, path, SIM_FLASHF4_ARRAY_BASE, UC_CPU_ARM_CORTEX_M4, {0x40003000}, {}, at});
        uint8_t page[1024];
        for (unsigned i = 0; i < sizeof page; ++i) page[i] = uint8_t(i * 7 + 3);
        if (why.empty() && uc_mem_write(uc, FLM_BUF, page, sizeof page)) why = "buffer";
        return why;
    }
};

} // namespace

TEST(PeriphFlm, SectorMapMatchesStFlashDeviceAndOursDescribesTheDeviceLikeSt) {
    const std::vector<uint8_t> dev = elf_section_bytes(kSt, "DevDscr"), ours = elf_section_bytes(kOurs, "DevDscr");
    if (dev.empty()) GTEST_SKIP() << "shared data or arm-none-eabi-readelf absent: " << kSt;
    // FlashDevice: Vers, DevName[128], DevType, DevAdr at 0x84, szDev at 0x88;
    // {szSector, AddrSector} runs from 0xA0, ended by 0xFFFFFFFF.
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
    // Ours describes the same device as ST's: address, size, page, erased value and the sector runs.
    ASSERT_EQ(ours.size(), 0xC0u) << kOurs;
    for (size_t at : {0x84u, 0x88u, 0x8Cu, 0x94u}) EXPECT_EQ(u32(ours, at), u32(dev, at)) << at;
    EXPECT_EQ(std::vector<uint8_t>(ours.begin() + 0xA0, ours.end()), std::vector<uint8_t>(dev.begin() + 0xA0, dev.begin() + 0xC0));
    EXPECT_EQ(nm_symbols(kOurs)["FlashDevice"], elf_sections(kOurs).at("DevDscr").addr);
}

// Each row: an algorithm at a load address, then operations in order. Calls (i Init, u UnInit, c EraseChip,
// e EraseSector at offset a, p ProgramPage of n bytes at offset a from the buffer + src) expect `want`, the
// function's result or -1 when it never came back. Other ops: f the fault set a (0 none, 1 keys refused,
// 2 BSY stuck, 3 PGPERR on programs, 4 writes dropped); w nWRP = a; r reset; z fill the array with a;
// = the n bytes at a are all `want`; m they are the buffer's from src; L CR.LOCK is a; S SR & a is `want`;
// B the last call ended in a bus error.
struct Op { char op; uint32_t a = 0, n = 0; int64_t want = 0; uint32_t src = 0; };
struct Case { const char* why; std::string file; uint32_t at; std::vector<Op> ops; };

TEST(PeriphFlm, AlgorithmsOverATableOfOperations) {
    constexpr uint32_t MB = SIM_FLASHF4_ARRAY_SIZE, WRPERR = SIM_FLASHF4_SR_WRPERR, BSY = SIM_FLASHF4_SR_BSY;
    const SimFlashF4Faults faults[] = {{false, false, 0, false}, {true, false, 0, false}, {false, true, 0, false},
                                       {false, false, SIM_FLASHF4_SR_PGPERR, false}, {false, false, 0, true}};
    const std::vector<Op> ours_ok = {
        {'z', 0}, {'i', 0, 0, 0}, {'L', 0}, {'i', 0, 0, 0}, // a second Init leaves the open interface alone
        {'e', 0x4000}, {'=', 0x4000, 0x4000, 0xFF}, {'=', 0x3FFC, 4, 0}, {'=', 0x8000, 4, 0},   // sector 1 exactly
        {'e', 0xE0004}, {'=', 0xE0000, 0x20000, 0xFF}, {'=', 0xDFFFC, 4, 0},                     // inside sector 11
        {'p', 0x4000, 1024}, {'m', 0x4000, 1024}, {'p', 0x4400, 6, 0, 1}, {'m', 0x4400, 6, 0, 1}, // odd buffer, short tail
        {'=', 0x4406, 0x8000 - 0x4406, 0xFF}, {'e', MB, 0, 1}, {'p', MB - 4, 8, 1}, {'p', 0x4802, 4, 1},
        {'=', 0xFFFFC, 4, 0xFF}, {'=', 0x4800, 8, 0xFF}, {'c', 0, 0, 0}, {'=', 0, MB, 0xFF}, {'u', 0, 0, 0},
        {'L', 1}, {'S', 0xF2, 0, 0}};
    const Case cases[] = {
        {"ST's on sector 2 write-protected: erase and program fail; EraseChip returns 0 without looking at SR. "
         "Init twice writes keys to an open interface: a bus error. Unprotected, EraseChip clears all",
         kSt, FLM_RAM, {{'w', 0xFFF & ~4u}, {'z', 0}, {'i', 0, 0, 0}, {'L', 0}, {'e', 0x8000, 0, 1},
                    {'p', 0x8000, 16, 1}, {'c', 0, 0, 0}, {'S', WRPERR, 0, WRPERR}, {'=', 0, MB, 0},
                    {'i', 0, 0, -1}, {'B', 1}, {'w', 0xFFF}, {'r'}, {'i', 0, 0, 0}, {'c', 0, 0, 0},
                    {'=', 0, MB, 0xFF}}},
        {"ST's with keys refused: Init does not look, EraseSector returns 0 though nothing started; programming fails",
         kSt, FLM_RAM, {{'z', 0}, {'f', 1}, {'i', 0, 0, 0}, {'e', 0}, {'=', 0, 0x4000, 0}, {'p', 0x4000, 8, 1}}},
        {"ST's with error bits on programs fails ProgramPage; with BSY stuck its wait has no bound",
         kSt, FLM_RAM, {{'i', 0, 0, 0}, {'f', 3}, {'p', 0, 8, 1}, {'f', 2}, {'e', 0, 0, -1}, {'=', 0, MB, 0xFF}}},
        {"ours erases, programs and locks at its link address", kOurs, FLM_RAM, ours_ok},
        {"and anywhere else: it is position independent", kOurs, FLM_RAM + 0x3004, ours_ok},
        {"ours with keys refused: Init says so", kOurs, FLM_RAM, {{'f', 1}, {'i', 0, 0, 1}}},
        {"ours under error bits, write protection (a refused mass erase reported), dropped writes (only a "
         "read-back tells) and BSY stuck (the bounded wait gives up)",
         kOurs, FLM_RAM, {{'i', 0, 0, 0}, {'f', 3}, {'p', 0x100, 4, 1}, {'f', 0}, {'w', 0xFFF & ~(1u << 5)},
                      {'e', 0x20000, 0, 1}, {'p', 0x20000, 4, 1}, {'c', 0, 0, 1}, {'=', 0, MB, 0xFF},
                      {'w', 0xFFF}, {'f', 4}, {'p', 0x100, 4, 0}, {'=', 0x100, 4, 0xFF}, {'f', 2}, {'p', 0x100, 4, 1},
                      {'S', BSY, 0, BSY}}},
    };
    if (!std::filesystem::exists(kSt)) GTEST_SKIP() << "shared data absent: " << kSt;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        Rig r;
        ASSERT_EQ(r.open_at(c.file, c.at), "");
        unsigned i = 0;
        for (const Op& o : c.ops) {
            SCOPED_TRACE(testing::Message() << "op " << i++ << " '" << o.op << "' 0x" << std::hex << o.a);
            const uint32_t flash = SIM_FLASHF4_ARRAY_BASE + o.a;
            switch (o.op) {
            case 'i': EXPECT_EQ(r.call("Init", SIM_FLASHF4_ARRAY_BASE, 168000000, 1), o.want); break;
            case 'u': EXPECT_EQ(r.call("UnInit", 1), o.want); break;
            case 'c': EXPECT_EQ(r.call("EraseChip", 0), o.want); break;
            case 'e': EXPECT_EQ(r.call("EraseSector", flash), o.want); break;
            case 'p': EXPECT_EQ(r.call("ProgramPage", flash, o.n, FLM_BUF + o.src), o.want); break;
            case 'f': sim_flashf4_set_faults(r.f4(), &faults[o.a]); break;
            case 'w': sim_flashf4_set_write_protect(r.f4(), uint16_t(o.a)); break;
            case 'r': sim_flashf4_reset(r.f4()); break;
            case 'z': std::memset(r.fc.array, int(o.a), MB); break;
            case '=': EXPECT_TRUE(r.all(o.a, o.n, uint8_t(o.want))); break;
            case 'm': for (uint32_t k = 0; k < o.n; ++k) ASSERT_EQ(r.fc.array[o.a + k], uint8_t((k + o.src) * 7 + 3)) << k; break;
            case 'L': EXPECT_EQ((r.f4()->cr & SIM_FLASHF4_CR_LOCK) != 0, o.a != 0); break;
            case 'S': EXPECT_EQ(r.f4()->sr & o.a, uint32_t(o.want)); break;
            case 'B': EXPECT_EQ(r.bus_fault, o.a != 0); break;
            default: ADD_FAILURE() << "unknown op";
            }
        }
    }
}

// Judged by tools nobody here wrote: xmllint with the pack schema, and readelf: no relocations (the loader
// moves the code; the position-independent row above runs it moved).
TEST(PeriphFlm, PackValidatesAndOurCodeNeedsNoRelocation) {
    std::string xsd;  // the CMSIS pack schema, in whichever folder of the shared data keeps it
    std::error_code ec;
    for (const auto& d : std::filesystem::directory_iterator(KORVANE_SHARED_DATA, ec))
        if (std::filesystem::exists(d.path() / "PACK.xsd", ec)) xsd = (d.path() / "PACK.xsd").string();
    if (xsd.empty()) GTEST_SKIP() << "no PACK.xsd under " << KORVANE_SHARED_DATA;
    if (run_capture("xmllint --version 2>&1").empty()) GTEST_SKIP() << "xmllint absent (Debian package libxml2-utils)";
    const std::string pdsc = std::string(KORVANE_DEMO_PACK_DIR) + "/Korvane.DemoBoard/Korvane.DemoBoard.pdsc";
    const std::string valid = run_capture("xmllint --noout --schema '" + xsd + "' '" + pdsc + "' 2>&1");
    EXPECT_NE(valid.find("validates"), std::string::npos) << valid;
    EXPECT_NE(run_capture("arm-none-eabi-readelf -r '" + kOurs + "'").find("no relocations"), std::string::npos);
}
