// Reading FLM files and finding them through .pdsc files. ST's real
// algorithms are the inputs; readelf, nm and gdb (reading ST's own debug
// information for FlashDevice) say what each holds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "flash/flm.h"
#include "probe/probe_fixture.h"
#include "tests/symbols/oracle.h"

bool flm_layout(FlmInfo* info, const FlmBlob* blob);

namespace {

const std::string kData = KORVANE_SHARED_DATA, kStFlm = kData + "/flm/STM32F4xx_1024.FLM";

uint32_t rd32(const std::vector<uint8_t>& v, size_t at) { uint32_t x; std::memcpy(&x, &v[at], 4); return x; }
void put32(std::vector<uint8_t>& v, size_t at, uint32_t x) { std::memcpy(&v[at], &x, 4); }

struct Parsed {
    FlmInfo info{};
    FlmBlob blob{};
    bool ok;
    explicit Parsed(const std::vector<uint8_t>& e) : ok(flm_parse_elf(e.data(), (uint32_t)e.size(), &info, &blob)) {}
    ~Parsed() { flm_blob_free(&blob); }
};

// Where section `name`'s header sits in the file.
size_t shdr(const std::vector<uint8_t>& elf, const std::string& file, const char* name) {
    return rd32(elf, 32) + 40 * (size_t)elf_sections(file).at(name).index;
}

}  // namespace

TEST(StFlm, EveryAlgorithmParsesAsReadelfNmAndGdbShowIt) {
    auto hex = [](uint64_t v) { return std::to_string(v) + " "; };
    int files = 0;
    for (const auto& de : std::filesystem::directory_iterator(kData + "/flm")) {
        const std::string f = de.path().string();
        SCOPED_TRACE(f);
        ++files;
        const auto elf = read_binary_file(f);
        const auto sec = elf_sections(f);
        const auto sym = nm_symbols(f);
        Parsed p(elf);
        ASSERT_TRUE(p.ok);
        // The trap word, then PrgCode and PrgData as the file holds them.
        const ElfSectionRow code = sec.at("PrgCode"), data = sec.at("PrgData");
        std::vector<uint8_t> blob = {0x00, 0xBE, 0xFD, 0xE7};
        blob.insert(blob.end(), elf.begin() + code.offset, elf.begin() + code.offset + code.size);
        blob.insert(blob.end(), elf.begin() + data.offset, elf.begin() + data.offset + data.size);
        EXPECT_EQ(std::vector<uint8_t>(p.blob.blob, p.blob.blob + p.blob.blob_size), blob);
        EXPECT_EQ(p.blob.rw_offset, 4 + code.size);
        // Entry points, then FlashDevice as gdb prints it from ST's debug information.
        std::string got, want;
        const uint32_t entries[] = {p.blob.sym_init, p.blob.sym_uninit, p.blob.sym_erase_chip, p.blob.sym_erase_sector,
                                    p.blob.sym_program_page};
        int i = 0;
        for (const char* fn : {"Init", "UnInit", "EraseChip", "EraseSector", "ProgramPage"}) {
            got += fn + (" " + hex(entries[i++]));
            want += fn + (" " + hex(sym.count(fn) ? sym.at(fn) & ~1u : FLM_SYM_ABSENT));
        }
        const std::string dev = "(*(struct FlashDevice*)" + std::to_string(sym.at("FlashDevice")) + ")";
        auto g = gdb_static(f, {{"x", "print " + dev}, {"name", "output " + dev + ".DevName"}});
        got += p.info.dev_name + hex(p.info.page_size) + hex(p.info.val_empty) + hex(p.info.prog_timeout_ms) +
               hex(p.info.erase_timeout_ms);
        want += g["name"].substr(1, g["name"].find('"', 1) - 1);
        for (const char* field : {"szPage", "valEmpty", "toProg", "toErase"}) {
            std::smatch m;
            want += std::regex_search(g["x"], m, std::regex(field + std::string(" = (\\d+)"))) ? m[1].str() + " " : "?";
        }
        for (int k = 0; k < p.info.sector_count; ++k) got += hex(p.info.sectors[k].sz_sector) + hex(p.info.sectors[k].addr_offset);
        std::regex sre("szSector = (\\d+), AddrSector = (\\d+)");
        for (std::sregex_iterator it(g["x"].begin(), g["x"].end(), sre), e; it != e && (*it)[1] != "4294967295"; ++it)
            want += (*it)[1].str() + " " + (*it)[2].str() + " ";
        EXPECT_EQ(got, want);
    }
    EXPECT_GE(files, 9) << "shared data absent: " << kData;
}

TEST(StFlm, DamagedCopiesFailCleanly) {
    const auto elf = read_binary_file(kStFlm);
    ASSERT_FALSE(elf.empty()) << kStFlm;
    const auto sec = elf_sections(kStFlm);
    const ElfSectionRow symtab = sec.at(".symtab"), strtab = sec.at(".strtab");
    auto each_sym = [&](auto fn) {
        for (size_t s = symtab.offset; s < symtab.offset + symtab.size; s += 16)
            fn(s, std::string((const char*)&elf[strtab.offset + rd32(elf, s)]));
    };
    auto sh = [&](const char* n) { return shdr(elf, kStFlm, n); };
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
    } const cases[] = {
        {"header only", [](auto& m) { m.resize(40); }},
        {"cut before the section table", [](auto& m) { m.resize(0x3000); }},
        {"bad magic", [](auto& m) { m[0] = 0; }},
        {"section table outside", [](auto& m) { put32(m, 32, 0xFFFFFF00); }},
        {"symbol table outside", [&](auto& m) { put32(m, sh(".symtab") + 20, 0x7FFFFFF0); }},
        {"symbol names outside the string table",
         [&](auto& m) { each_sym([&](size_t s, const std::string&) { put32(m, s, 0xFFFFFF00); }); }},
        {"PrgCode outside", [&](auto& m) { put32(m, sh("PrgCode") + 16, 0xFFFFFFF0); }},
        {"huge NOBITS", [&](auto& m) { put32(m, sh("PrgData") + 4, 8), put32(m, sh("PrgData") + 20, 0xFFFFFF00); }},
        {"no ProgramPage", [&](auto& m) {
             each_sym([&](size_t s, const std::string& n) { if (n == "ProgramPage") m[strtab.offset + rd32(m, s)] = 'X'; });
         }},
        {"entry point outside PrgCode", [&](auto& m) {
             each_sym([&](size_t s, const std::string& n) { if (n == "ProgramPage") put32(m, s + 4, 0x10000); });
         }},
    };
    for (const Case& c : cases) {
        auto m = elf;
        c.damage(m);
        log_clear(&logv);
        Parsed p(m);
        EXPECT_FALSE(p.ok) << c.what;
        EXPECT_EQ(p.blob.blob, nullptr) << c.what;
        EXPECT_TRUE(log_has("[FLM] ERROR: ELF")) << c.what;
    }
}

// A second PrgData, NOBITS, as linkers emit for zero-initialised data, is
// placed by its address; without a usable device description the page is
// 256 bytes and the time-outs are the defaults.
TEST(StFlm, SectionsArePlacedByAddressNotByName) {
    const auto elf = read_binary_file(kStFlm);
    ASSERT_FALSE(elf.empty()) << kStFlm;
    auto m = elf;
    const size_t s4 = shdr(elf, kStFlm, ".debug_abbrev"), data = shdr(elf, kStFlm, "PrgData");
    std::memcpy(&m[s4], &m[data], 4);  // the name "PrgData"
    put32(m, s4 + 4, 8), put32(m, s4 + 12, 0x150), put32(m, s4 + 20, 0x20);
    Parsed p(m);
    ASSERT_TRUE(p.ok);
    std::vector<uint8_t> want(elf.begin() + 0x34, elf.begin() + 0x180);  // PrgCode and PrgData
    want.resize(0x170, 0);
    EXPECT_EQ(std::vector<uint8_t>(p.blob.blob + 4, p.blob.blob + p.blob.blob_size), want);
    EXPECT_EQ(p.info.page_size, 1024u);
    m = elf;
    put32(m, shdr(elf, kStFlm, "DevDscr") + 20, 100);
    Parsed q(m);
    ASSERT_TRUE(q.ok);
    EXPECT_EQ(std::vector<uint32_t>({q.info.page_size, q.info.prog_timeout_ms, q.info.erase_timeout_ms}),
              std::vector<uint32_t>({256, 5000, 30000}));
}

// The blob at the top of RAM, one or two page buffers below it, then the
// stack; whatever does not fit (or wraps) is refused.
TEST(FlmLayout, RamIsSharedOutFromTheTopAndMustFit) {
    uint8_t bytes[0x150] = {};
    const FlmBlob blob{bytes, 0x150, 0x1C, 0x4E, 0x88, 0xD4, FLM_SYM_ABSENT, 0x14C};
    struct Case { uint32_t ram_start, ram_size, page; bool ok; uint32_t buf2 = 0, stack_top = 0; } const cases[] = {
        {0x20000000, 4096, 1024, true, 0x200006B0, 0x200002B0},
        {0x20000000, 3072, 1024, true, 0, 0x200002B0},
        {0x20000000, 1024 + 0x150, 1024, false},  // no room left for a stack
        {0x20000000, 0x100, 1024, false},         // the blob alone does not fit
        {0x20000000, 4096, 0xFFFFFFF0, false},    // must not wrap below the RAM
        {0xFFFFF000, 0x2000, 1024, false},        // past the end of the address space
    };
    for (const Case& c : cases) {
        FlmInfo info{};
        info.page_size = c.page, info.ram_start = c.ram_start, info.ram_size = c.ram_size;
        ASSERT_EQ(flm_layout(&info, &blob), c.ok) << c.ram_size;
        const uint32_t load = c.ram_start + c.ram_size - 0x150;
        if (!c.ok) continue;
        EXPECT_EQ(std::vector<uint32_t>({info.load_addr, info.page_buf_addr, info.page_buf_addr2, info.stack_top,
                                             info.double_buffered, info.pc_program_page, info.static_base}),
                      std::vector<uint32_t>({load, load - c.page, c.buf2, c.stack_top, c.buf2 != 0, load + 4 + 0xD4,
                                             load + 0x14C}));
    }
}

// ST's pack: the algorithm at each place a pack may keep it, and devices
// named by a variant's list of parts and the size of their flash.
TEST(PackSearch, StsPackFindsItsAlgorithmAndDevices) {
    TempDir t;
    const auto flm = read_binary_file(kStFlm);
    ASSERT_FALSE(flm.empty()) << kStFlm;
    std::filesystem::create_directories(t / "Keil/CMSIS/Flash");
    std::filesystem::create_directories(t / "CMSIS/Flash");
    std::filesystem::copy_file(kData + "/pdsc/Keil.STM32F4xx_DFP.pdsc", t / "Keil/Keil.STM32F4xx_DFP.pdsc");
    FlmInfo info{};
    log_clear(&logv);
    EXPECT_FALSE(pdsc_find_algo(t.path.c_str(), "STM32F405RG", &info));
    EXPECT_TRUE(log_has("[FLM] FLM file not found at any candidate path — skipping"));
    for (const char* rel : {"Keil/CMSIS/Flash/STM32F4xx_1024.FLM", "CMSIS/Flash/STM32F4xx_1024.FLM", "Keil/STM32F4xx_1024.FLM"}) {
        ASSERT_TRUE(write_file(t / rel, flm));
        info = {};
        ASSERT_TRUE(pdsc_find_algo(t.path.c_str(), "stm32f405rg", &info)) << rel;
        // SRAM1 is the first writable memory: the pack names no RAMstart.
        EXPECT_EQ(std::vector<uint32_t>({info.flash_start, info.flash_size, info.ram_start, info.ram_size, info.erase_timeout_ms}),
                  std::vector<uint32_t>({0x08000000, 0x100000, 0x20000000, 4096, 30000}));
        EXPECT_EQ(info.flm_path, t / rel);
        EXPECT_FALSE(pdsc_find_algo(t.path.c_str(), "STM32F999XX", &info));
        unlink((t / rel).c_str());
    }
    struct Case { const char* variant; uint32_t size; const char* want; } const cases[] = {
        {"STM32F405/415, F407/417", 0x100000, "STM32F405RG"}, {"STM32F405/415, F407/417", 0x80000, "STM32F405OE"},
        {"STM32F401/417", 0x100000, "STM32F417VG"},  // only a later part of the list: its name must be built right
        {"STM32F405/415", 0x12345, ""}, {"F405", 0x100000, ""},
    };
    for (const Case& c : cases) {
        char name[64] = "";
        EXPECT_EQ(pdsc_find_device_for_variant(t.path.c_str(), c.variant, 0x08000000, c.size, name, sizeof name), *c.want != 0);
        EXPECT_STREQ(name, c.want) << c.variant;
    }
}

// Wildcard device names, the RAM an algorithm names, and files after one that does not match.
TEST(PackSearch, WildcardsRamAttributesAndLaterFiles) {
    TempDir t;
    std::filesystem::create_directories(t / "p/Flash");
    ASSERT_TRUE(write_text_file(t / "p/Flash/mcx.FLM", "x"));
    // Sorted first; its variant names nothing we want, and a commented-out device is no device.
    ASSERT_TRUE(write_text_file(t / "p/a.pdsc",
               "<device Dname=\"OTHER1\"><variant Dvariant=\"X\"/></device><!-- <device Dname=\"MCXA153\"> -->"));
    ASSERT_TRUE(write_text_file(t / "p/b.PDSC",
               "<device Dname='MCXA15*'>\n<memory name=\"R\" access=\"rw\" start=\"0x30000000\"/>\n"
               "<algorithm name=\"Flash\\mcx.FLM\" start=\"0\" size=\"0x40000\" RAMstart=\"0x20000000\" "
               "RAMsize=\"8192\"/></device>"));
    for (const char* name : {"MCXA153", "mcxa156", "MCXA2"}) {
        FlmInfo info{};
        const bool found = pdsc_find_algo(t.path.c_str(), name, &info);
        EXPECT_EQ(found, name[4] != '2') << name;
        if (!found) continue;
        EXPECT_EQ(std::vector<uint32_t>({info.flash_size, info.ram_start, info.ram_size}),
                  std::vector<uint32_t>({0x40000, 0x20000000, 8192}));
        EXPECT_EQ(info.flm_path, t / "p/Flash/mcx.FLM");
    }
}
