// Reading FLM files and finding them through .pdsc files: ST's real
// STM32F4xx_1024.FLM and Keil.STM32F4xx_DFP.pdsc are the oracles (facts as
// readelf lists them), damaged copies of the FLM must fail cleanly, and the
// algorithm's RAM layout must fit the RAM it is given.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "flash/flm.h"
#include "tests/test_util.h"
#include "probe/probe_fixture.h"

bool flm_layout(FlmInfo* info, const FlmBlob* blob);

namespace {

const std::string kData = KORVANE_SHARED_DATA;

void put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = (uint8_t)(x >> (8 * i));
}

// Section header offsets in ST's file (readelf -S): table at 0x33C8, 40 bytes each.
size_t shdr(int i) { return 0x33C8 + 40 * (size_t)i; }

// A pack tree for the search tests, in a fresh temporary folder.
struct PackTree : TempDir {
    std::string dir(const std::string& rel) {
        mkdir((*this / rel).c_str(), 0755);
        return *this / rel;
    }
    std::string file(const std::string& rel, const std::vector<uint8_t>& data) {
        EXPECT_TRUE(write_file(*this / rel, data)) << rel;
        return *this / rel;
    }
};

class StFlm : public ::testing::Test {
  protected:
    std::vector<uint8_t> elf;
    FlmInfo info{};
    FlmBlob blob{};
    void SetUp() override {
        elf = read_binary_file(kData + "/flm/STM32F4xx_1024.FLM");
        if (elf.empty()) GTEST_SKIP() << "shared data absent: " << kData;
    }
    void TearDown() override { flm_blob_free(&blob); }
    bool parse(const std::vector<uint8_t>& e) {
        flm_blob_free(&blob);
        return flm_parse_elf(e.data(), (uint32_t)e.size(), &info, &blob);
    }
};

}  // namespace

TEST_F(StFlm, ParsesExactlyWhatReadelfShows) {
    ASSERT_TRUE(parse(elf));
    EXPECT_EQ(blob.sym_init, 0x1Cu);
    EXPECT_EQ(blob.sym_uninit, 0x4Eu);
    EXPECT_EQ(blob.sym_erase_chip, 0x5Cu);
    EXPECT_EQ(blob.sym_erase_sector, 0x88u);
    EXPECT_EQ(blob.sym_program_page, 0xD4u);
    // Trap word, PrgCode (0x148 bytes from file offset 0x34), PrgData (4 bytes from 0x17C).
    ASSERT_EQ(blob.blob_size, 4u + 0x148 + 4);
    EXPECT_EQ(blob.rw_offset, 4u + 0x148);
    const uint8_t trap[4] = {0x00, 0xBE, 0xFD, 0xE7};
    EXPECT_EQ(std::memcmp(blob.blob, trap, 4), 0);
    EXPECT_EQ(std::memcmp(blob.blob + 4, elf.data() + 0x34, 0x148), 0);
    EXPECT_EQ(std::memcmp(blob.blob + 4 + 0x148, elf.data() + 0x17C, 4), 0);
    EXPECT_STREQ(info.dev_name, "STM32F4xx 1MB Flash");
    EXPECT_EQ(info.page_size, 1024u);
    EXPECT_EQ(info.val_empty, 0xFF);
    EXPECT_EQ(info.prog_timeout_ms, 100u);
    EXPECT_EQ(info.erase_timeout_ms, 6000u);
    ASSERT_EQ(info.sector_count, 3);
    const FlmSectorInfo want[3] = {{0x4000, 0}, {0x10000, 0x10000}, {0x20000, 0x20000}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(info.sectors[i].sz_sector, want[i].sz_sector) << i;
        EXPECT_EQ(info.sectors[i].addr_offset, want[i].addr_offset) << i;
    }
}

TEST_F(StFlm, DamagedCopiesFailCleanly) {
    struct Case {
        const char* what;
        std::vector<uint8_t> e;
    };
    std::vector<Case> cases;
    cases.push_back({"header only", std::vector<uint8_t>(elf.begin(), elf.begin() + 40)});
    cases.push_back({"cut before the section table", std::vector<uint8_t>(elf.begin(), elf.begin() + 0x3000)});
    auto m = elf;
    m[0] = 0;
    cases.push_back({"bad magic", m});
    m = elf;
    put32(m, 32, 0xFFFFFF00);
    cases.push_back({"section table outside", m});
    m = elf;
    put32(m, shdr(11) + 20, 0x7FFFFFF0);  // .symtab size
    cases.push_back({"symbol table outside", m});
    m = elf;
    for (int s = 0; s < 17; ++s) put32(m, 0x2BAC + 16 * s, 0xFFFFFF00);  // every st_name
    cases.push_back({"symbol names outside the string table", m});
    m = elf;
    put32(m, shdr(1) + 16, 0xFFFFFFF0);  // PrgCode offset
    cases.push_back({"PrgCode outside", m});
    m = elf;
    put32(m, shdr(2) + 4, 8);  // PrgData NOBITS of 4 GB
    put32(m, shdr(2) + 20, 0xFFFFFF00);
    cases.push_back({"huge NOBITS", m});
    m = elf;
    for (size_t i = 0x2CBC; i + 11 < 0x2CBC + 0x100; ++i)
        if (!std::memcmp(&m[i], "ProgramPage", 11)) m[i + 10] = 'X';
    cases.push_back({"no ProgramPage", m});
    m = elf;
    put32(m, 0x2BAC + 16 * 15 + 4, 0x10000);  // ProgramPage's value far past the code
    cases.push_back({"entry point outside PrgCode", m});
    for (const Case& c : cases) {
        log_clear(&logv);
        EXPECT_FALSE(parse(c.e)) << c.what;
        EXPECT_EQ(blob.blob, nullptr) << c.what;
        EXPECT_TRUE(log_has("[FLM] ERROR: ELF")) << c.what;
    }
}

TEST_F(StFlm, SectionsArePlacedByAddressNotByName) {
    // A second PrgData, NOBITS, 0x20 bytes at 0x150 (made from .debug_abbrev),
    // as linkers emit for zero-initialised data.
    auto m = elf;
    put32(m, shdr(4) + 0, 0);
    std::memcpy(&m[shdr(4)], &m[shdr(2)], 4);  // the name "PrgData"
    put32(m, shdr(4) + 4, 8);
    put32(m, shdr(4) + 12, 0x150);
    put32(m, shdr(4) + 20, 0x20);
    ASSERT_TRUE(parse(m));
    EXPECT_EQ(blob.blob_size, 4u + 0x170);
    EXPECT_EQ(blob.rw_offset, 4u + 0x148);
    EXPECT_EQ(std::memcmp(blob.blob + 4 + 0x148, elf.data() + 0x17C, 4), 0);
    for (uint32_t i = 4 + 0x150; i < blob.blob_size; ++i) EXPECT_EQ(blob.blob[i], 0) << i;
    EXPECT_EQ(info.page_size, 1024u);  // DevDscr still read
    // Without a usable device description: page 256 and the default time-outs.
    m = elf;
    put32(m, shdr(3) + 20, 100);
    ASSERT_TRUE(parse(m));
    EXPECT_EQ(info.page_size, 256u);
    EXPECT_EQ(info.prog_timeout_ms, 5000u);
    EXPECT_EQ(info.erase_timeout_ms, 30000u);
}

TEST(FlmLayout, RamIsSharedOutFromTheTopAndMustFit) {
    uint8_t bytes[0x150] = {};
    FlmBlob blob{bytes, 0x150, 0x1C, 0x4E, 0x88, 0xD4, FLM_SYM_ABSENT, 0x14C};
    FlmInfo info{};
    info.page_size = 1024;
    info.ram_start = 0x20000000;
    info.ram_size = 4096;
    ASSERT_TRUE(flm_layout(&info, &blob));
    EXPECT_TRUE(info.double_buffered);
    EXPECT_EQ(info.load_addr, 0x20000EB0u);
    EXPECT_EQ(info.page_buf_addr, 0x20000AB0u);
    EXPECT_EQ(info.page_buf_addr2, 0x200006B0u);
    EXPECT_EQ(info.stack_top, 0x200002B0u);
    EXPECT_EQ(info.static_base, 0x20000EB0u + 0x14C);
    EXPECT_EQ(info.pc_program_page, 0x20000EB0u + 4 + 0xD4);
    EXPECT_EQ(info.pc_erase_chip, 0u);
    info.ram_size = 3072;  // one buffer, stack below the second
    ASSERT_TRUE(flm_layout(&info, &blob));
    EXPECT_FALSE(info.double_buffered);
    EXPECT_EQ(info.page_buf_addr2, 0u);
    EXPECT_EQ(info.stack_top, 0x200002B0u);
    info.ram_size = 1024 + 0x150;  // no room left for a stack
    EXPECT_FALSE(flm_layout(&info, &blob));
    info.ram_size = 0x100;  // the blob alone does not fit
    EXPECT_FALSE(flm_layout(&info, &blob));
    info.ram_size = 4096;
    info.page_size = 0xFFFFFFF0;  // must not wrap below the RAM
    EXPECT_FALSE(flm_layout(&info, &blob));
    info.page_size = 1024;
    info.ram_start = 0xFFFFF000;
    info.ram_size = 0x2000;  // past the end of the address space
    EXPECT_FALSE(flm_layout(&info, &blob));
}

class PackSearch : public ::testing::Test {
  protected:
    PackTree t;
    std::vector<uint8_t> pdsc, flm;
    FlmInfo info{};
    void SetUp() override {
        pdsc = read_binary_file(kData + "/pdsc/Keil.STM32F4xx_DFP.pdsc");
        flm = read_binary_file(kData + "/flm/STM32F4xx_1024.FLM");
        if (pdsc.empty() || flm.empty()) GTEST_SKIP() << "shared data absent: " << kData;
        log_clear(&logv);
    }
};

TEST_F(PackSearch, FindsStsAlgorithmAtEachCandidatePath) {
    t.dir("Keil");
    t.file("Keil/Keil.STM32F4xx_DFP.pdsc", pdsc);
    EXPECT_FALSE(pdsc_find_algo(t.path.c_str(), "STM32F405RG", &info));
    EXPECT_TRUE(log_has("[FLM] FLM file not found at any candidate path — skipping"));

    t.dir("Keil/CMSIS");
    t.dir("Keil/CMSIS/Flash");
    std::string at1 = t.file("Keil/CMSIS/Flash/STM32F4xx_1024.FLM", flm);
    log_clear(&logv);
    ASSERT_TRUE(pdsc_find_algo(t.path.c_str(), "stm32f405rg", &info));
    EXPECT_EQ(info.flm_path, at1);
    EXPECT_TRUE(log_has(("[FLM] candidate 1: '" + at1 + "'").c_str()));
    EXPECT_EQ(info.flash_start, 0x08000000u);
    EXPECT_EQ(info.flash_size, 0x100000u);
    EXPECT_EQ(info.ram_start, 0x20000000u);  // SRAM1, the first writable memory: the pack names no RAMstart
    EXPECT_EQ(info.ram_size, 4096u);
    EXPECT_EQ(info.erase_timeout_ms, 30000u);
    EXPECT_EQ(info.prog_timeout_ms, 5000u);

    unlink(at1.c_str());
    std::string at3 = t.file("Keil/STM32F4xx_1024.FLM", flm);
    ASSERT_TRUE(pdsc_find_algo(t.path.c_str(), "STM32F407VG", &info));
    EXPECT_EQ(info.flm_path, at3);
    unlink(at3.c_str());
    t.dir("CMSIS");
    t.dir("CMSIS/Flash");
    std::string at2 = t.file("CMSIS/Flash/STM32F4xx_1024.FLM", flm);
    ASSERT_TRUE(pdsc_find_algo(t.path.c_str(), "STM32F405RG", &info));
    EXPECT_EQ(info.flm_path, at2);
    EXPECT_FALSE(pdsc_find_algo(t.path.c_str(), "STM32F999XX", &info));
}

TEST_F(PackSearch, WildcardsRamAttributesAndLaterFiles) {
    t.dir("p");
    t.dir("p/Flash");
    t.file("p/Flash/mcx.FLM", flm);
    // Sorted first; its variant names nothing we want, and a commented-out device is no device.
    EXPECT_TRUE(write_text_file(t.path + "/p/a.pdsc",
               "<device Dname=\"OTHER1\"><variant Dvariant=\"X\"/></device><!-- <device Dname=\"MCXA153\"> -->"));
    EXPECT_TRUE(write_text_file(t.path + "/p/b.PDSC",
               "<device Dname='MCXA15*'>\n<memory name=\"R\" access=\"rw\" start=\"0x30000000\"/>\n"
               "<algorithm name=\"Flash\\mcx.FLM\" start=\"0\" size=\"0x40000\" RAMstart=\"0x20000000\" "
               "RAMsize=\"8192\"/></device>"));
    for (const char* name : {"MCXA153", "mcxa156"}) {
        ASSERT_TRUE(pdsc_find_algo(t.path.c_str(), name, &info)) << name;
        EXPECT_EQ(info.flm_path, t.path + "/p/Flash/mcx.FLM");
        EXPECT_EQ(info.flash_size, 0x40000u);
        EXPECT_EQ(info.ram_start, 0x20000000u);
        EXPECT_EQ(info.ram_size, 8192u);
    }
    EXPECT_FALSE(pdsc_find_algo(t.path.c_str(), "MCXA2", &info));
}

TEST_F(PackSearch, VariantNamesFindThePacksDeviceByItsFlash) {
    t.file("Keil.STM32F4xx_DFP.pdsc", pdsc);
    char name[64];
    ASSERT_TRUE(pdsc_find_device_for_variant(t.path.c_str(), "STM32F405/415, F407/417", 0x08000000, 0x100000, name,
                                             sizeof name));
    EXPECT_STREQ(name, "STM32F405RG");
    ASSERT_TRUE(pdsc_find_device_for_variant(t.path.c_str(), "STM32F405/415, F407/417", 0x08000000, 0x80000, name,
                                             sizeof name));
    EXPECT_STREQ(name, "STM32F405OE");
    // Only the later parts of the list: the replacements must be built right.
    ASSERT_TRUE(pdsc_find_device_for_variant(t.path.c_str(), "STM32F401/417", 0x08000000, 0x100000, name, sizeof name));
    EXPECT_STREQ(name, "STM32F417VG");
    EXPECT_FALSE(pdsc_find_device_for_variant(t.path.c_str(), "STM32F405/415", 0x08000000, 0x12345, name, sizeof name));
    EXPECT_FALSE(pdsc_find_device_for_variant(t.path.c_str(), "F405", 0x08000000, 0x100000, name, sizeof name));
}
