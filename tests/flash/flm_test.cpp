// Reading FLM files and finding them through .pdsc files: ST's real algorithms are the inputs;
// readelf, nm and gdb (reading ST's own debug information for FlashDevice) say what each holds.
#include <unistd.h>

#include <cstring>
#include <regex>

#include "flash/flm.h"
#include "target/mcu_id.h"
#include "probe/probe_fixture.h"
#include "tests/symbols/oracle.h"

bool flm_layout(FlmInfo* info, const FlmBlob* blob);

namespace {

const std::string kData = KORVANE_SHARED_DATA, kStFlm = kData + "/flm/STM32F4xx_1024.FLM";
using Bytes = std::vector<uint8_t>;

uint32_t rd32(const Bytes& v, size_t at) { uint32_t x; std::memcpy(&x, &v[at], 4); return x; }
void put32(Bytes& v, size_t at, uint32_t x) { std::memcpy(&v[at], &x, 4); }

struct Parsed {
    FlmInfo info{};
    FlmBlob blob{};
    bool ok;
    explicit Parsed(const Bytes& e) : ok(flm_parse_elf(e.data(), (uint32_t)e.size(), &info, &blob)) {}
    ~Parsed() { flm_blob_free(&blob); }
    Bytes bytes(uint32_t from) const { return Bytes(blob.blob + from, blob.blob + blob.blob_size); }
};

}  // namespace

TEST(StFlm, EveryAlgorithmParsesAsReadelfNmAndGdbShowIt) {
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
        Bytes blob = {0x00, 0xBE, 0xFD, 0xE7};
        blob.insert(blob.end(), elf.begin() + code.offset, elf.begin() + code.offset + code.size);
        blob.insert(blob.end(), elf.begin() + data.offset, elf.begin() + data.offset + data.size);
        EXPECT_EQ(p.bytes(0), blob);
        EXPECT_EQ(p.blob.rw_offset, 4 + code.size);
        // Entry points, then FlashDevice as gdb prints it from ST's debug information.
        std::string got, want;
        for (auto [fn, at] : std::vector<std::pair<std::string, uint32_t>>{
                 {"Init", p.blob.sym_init}, {"UnInit", p.blob.sym_uninit}, {"EraseChip", p.blob.sym_erase_chip},
                 {"EraseSector", p.blob.sym_erase_sector}, {"ProgramPage", p.blob.sym_program_page}}) {
            got += fn + " " + std::to_string(at) + " ";
            want += fn + " " + std::to_string(sym.count(fn) ? sym.at(fn) & ~1u : FLM_SYM_ABSENT) + " ";
        }
        const std::string dev = "(*(struct FlashDevice*)" + std::to_string(sym.at("FlashDevice")) + ")";
        auto g = gdb_static(f, {{"x", "print " + dev}, {"name", "output " + dev + ".DevName"}});
        got += p.info.dev_name;
        want += g["name"].substr(1, g["name"].find('"', 1) - 1);
        for (uint32_t v : {p.info.page_size, (uint32_t)p.info.val_empty, p.info.prog_timeout_ms, p.info.erase_timeout_ms})
            got += " " + std::to_string(v);
        for (const char* field : {"szPage", "valEmpty", "toProg", "toErase"}) {
            std::smatch m;
            want += std::regex_search(g["x"], m, std::regex(field + std::string(" = (\\d+)"))) ? " " + m[1].str() : " ?";
        }
        for (int k = 0; k < p.info.sector_count; ++k)
            got += " " + std::to_string(p.info.sectors[k].sz_sector) + "@" + std::to_string(p.info.sectors[k].addr_offset);
        std::regex sre("szSector = (\\d+), AddrSector = (\\d+)");
        for (std::sregex_iterator it(g["x"].begin(), g["x"].end(), sre), e; it != e && (*it)[1] != "4294967295"; ++it)
            want += " " + (*it)[1].str() + "@" + (*it)[2].str();
        EXPECT_EQ(got, want);
    }
    EXPECT_GE(files, 9) << "shared data absent: " << kData;
}

// Damaged copies of ST's file fail cleanly (reads past its end are the fuzz harness's);
// a NOBITS PrgData is placed by its address; a cut device description gives defaults.
TEST(StFlm, DamagedAndUnusualCopies) {
    const auto elf = read_binary_file(kStFlm);
    ASSERT_FALSE(elf.empty()) << kStFlm;
    const auto sec = elf_sections(kStFlm);
    const ElfSectionRow symtab = sec.at(".symtab"), strtab = sec.at(".strtab");
    auto sh = [&](const char* name) { return rd32(elf, 32) + 40 * (size_t)sec.at(name).index; };
    using Writes = std::vector<std::pair<size_t, uint32_t>>;  // words put into the copy
    const size_t extra = sh(".debug_abbrev");
    size_t prog = 0;  // ProgramPage's symbol
    for (size_t s = symtab.offset; s < symtab.offset + symtab.size; s += 16)
        if (!std::strcmp((const char*)&elf[strtab.offset + rd32(elf, s)], "ProgramPage")) prog = s;
    struct Case { const char* what; Writes writes; bool ok = false; } const cases[] = {
        {"bad magic", {{0, 0}}}, {"huge NOBITS", {{sh("PrgData") + 4, 8}, {sh("PrgData") + 20, 0xFFFFFF00}}},
        {"no ProgramPage", {{strtab.offset + rd32(elf, prog), 'X'}}}, {"entry point outside PrgCode", {{prog + 4, 0x10000}}},
        {"NOBITS PrgData of 0x20 at 0x150", {{extra, rd32(elf, sh("PrgData"))}, {extra + 4, 8}, {extra + 12, 0x150}, {extra + 20, 0x20}}, true},
        {"device description cut short", {{sh("DevDscr") + 20, 100}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto m = elf;
        for (auto [at, v] : c.writes) put32(m, at, v);
        log_clear(&logv);
        Parsed p(m);
        ASSERT_EQ(p.ok, c.ok);
        EXPECT_EQ(p.blob.blob == nullptr, !c.ok);
        EXPECT_EQ(log_has("[FLM] ERROR: ELF"), !c.ok);
    }
    Bytes want(elf.begin() + 0x34, elf.begin() + 0x180);  // PrgCode and PrgData, then the zeroed NOBITS
    want.resize(0x170, 0);
    auto m = elf;
    for (auto [at, v] : cases[4].writes) put32(m, at, v);
    EXPECT_EQ(Parsed(m).bytes(4), want);
    m = elf;
    put32(m, sh("DevDscr") + 20, 100);
    Parsed q(m);
    EXPECT_EQ(std::vector<uint32_t>({q.info.page_size, q.info.prog_timeout_ms, q.info.erase_timeout_ms}),
              std::vector<uint32_t>({256, 5000, 30000}));
}

// What does not fit the RAM the pack gives, or wraps, is refused.
TEST(FlmLayout, AnAlgorithmThatDoesNotFitIsRefused) {
    uint8_t bytes[0x150] = {};
    const FlmBlob blob{bytes, 0x150, 0x1C, 0x4E, 0x88, 0xD4, FLM_SYM_ABSENT, 0x14C};
    struct Case { uint32_t ram_start, ram_size, page; } const cases[] = {
        {0x20000000, 4096, 1024}, {0x20000000, 1024 + 0x150, 1024}, {0x20000000, 0x100, 1024},
        {0x20000000, 4096, 0xFFFFFFF0}, {0xFFFFF000, 0x2000, 1024},
    };
    for (const Case& c : cases) {
        FlmInfo info{};
        info.page_size = c.page, info.ram_start = c.ram_start, info.ram_size = c.ram_size;
        EXPECT_EQ(flm_layout(&info, &blob), &c == cases) << c.ram_size << " " << c.page;
    }
}

// ST's pack: the algorithm at each place a pack may keep it, and devices
// named by a variant's list of parts and the size of their flash.
TEST(PackSearch, StsPackFindsItsAlgorithmAndDevices) {
    TempDir t;
    std::filesystem::create_directories(t / "Keil/CMSIS/Flash");
    std::filesystem::create_directories(t / "CMSIS/Flash");
    std::filesystem::copy_file(kData + "/pdsc/Keil.STM32F4xx_DFP.pdsc", t / "Keil/Keil.STM32F4xx_DFP.pdsc");
    FlmInfo info{};
    EXPECT_FALSE(pdsc_find_algo(t.path.c_str(), "STM32F405RG", &info));
    EXPECT_TRUE(log_has("[FLM] FLM file not found at any candidate path — skipping"));
    for (const char* rel : {"Keil/CMSIS/Flash/STM32F4xx_1024.FLM", "CMSIS/Flash/STM32F4xx_1024.FLM", "Keil/STM32F4xx_1024.FLM"}) {
        std::filesystem::copy_file(kStFlm, t / rel);
        info = {};
        ASSERT_TRUE(pdsc_find_algo(t.path.c_str(), "stm32f405rg", &info)) << rel;
        // The pack names no RAM for the algorithm: the device's default writable memory, SRAM1 (128 KB).
        EXPECT_EQ(std::vector<uint32_t>({info.flash_start, info.flash_size, info.ram_start, info.ram_size, info.erase_timeout_ms}),
                  std::vector<uint32_t>({0x08000000, 0x100000, 0x20000000, 0x20000, 30000}));
        EXPECT_EQ(info.flm_path, t / rel);
        info = {};  // a variant's name (Dvariant) too
        EXPECT_TRUE(pdsc_find_algo(t.path.c_str(), "STM32F405RGTx", &info));
        EXPECT_EQ(info.flm_path, t / rel);
        unlink((t / rel).c_str());
    }
    EXPECT_FALSE(pdsc_find_algo(t.path.c_str(), "STM32F999XX", &info));
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

// Every row of the STM32 tables whose family has a pack here finds a device of
// that group and flash size (x: any character; sizes from the pack's flash
// memories, checked against the ElementTree walk of the same packs).
TEST(PackSearch, EveryStm32TableRowWithAPackFindsItsDevice) {
    struct Row { const char* variant; uint32_t kb; const char* want; } const rows[] = {
        {"STM32F05x/F030x8", 64, "STM32F051C8"}, {"STM32F09x", 256, "STM32F091CC"}, {"STM32F03x", 256, "STM32F030CC"},
        {"STM32F04x", 32, "STM32F042C6"}, {"STM32F07x", 128, "STM32F070CB"},
        {"STM32F405/415, F407/417 (rev A)", 1024, "STM32F405RG"}, {"STM32F405/415, F407/417", 1024, "STM32F405RG"},
        {"STM32F42x/43x", 512, "STM32F429VE"}, {"STM32F42x/43x", 1024, "STM32F427AG"},
        {"STM32F42x/43x", 2048, "STM32F427AI"}, {"STM32F446", 512, "STM32F446ME"},
        {"STM32F401xB/C", 128, "STM32F401CB"}, {"STM32F401xB/C", 256, "STM32F401CC"}, {"STM32F411", 512, "STM32F411CE"},
        {"STM32F401xD/E", 384, "STM32F401CD"}, {"STM32F401xD/E", 512, "STM32F401CE"},
        {"STM32F469/479", 2048, "STM32F469AI"}, {"STM32F412", 1024, "STM32F412CG"}, {"STM32F410", 128, "STM32F410CB"},
        {"STM32G05x/06x", 64, "STM32G050C8Tx"}, {"STM32G07x/08x", 128, "STM32G070CBTx"},
        {"STM32G03x/04x", 64, "STM32G030C8Tx"}, {"STM32G0B1/0C1", 512, "STM32G0B1KEUx"},
        {"STM32G43x/44x", 128, "STM32G431CBTx"}, {"STM32G47x/48x", 512, "STM32G471CETx"},
        {"STM32G49x", 512, "STM32G491CETx"}, {"STM32H74x/75x", 2048, "STM32H742AIIx"},
        {"STM32H74x/75x", 1024, "STM32H742AGIx"}, {"STM32H7Ax/7Bx", 2048, "STM32H7A3IIKx"},
        {"STM32H72x/73x", 1024, "STM32H723VGHx"}, {"STM32L0xx Cat.1", 16, "STM32L010F4Px"},
        {"STM32L0xx Cat.2", 32, "STM32L010C6Tx"}, {"STM32L0xx Cat.3", 64, "STM32L010K8Tx"},
        {"STM32L0xx Cat.5", 192, "STM32L071CZTx"}, {"STM32L47x/L48x", 1024, "STM32L471RGTx"},
        // A category's sizes overlap its neighbours': the member lists keep each to its own parts.
        {"STM32L0xx Cat.2", 16, "STM32L031C4Tx"}, {"STM32L0xx Cat.3", 32, "STM32L051C6Tx"},
        {"STM32L0xx Cat.5", 64, "STM32L071C8Tx"}, {"STM32L0xx Cat.5", 128, "STM32L010RBTx"},
        {"STM32L49x/L4Ax", 1024, "STM32L496RGTx"}, {"STM32L43x/L44x", 256, "STM32L431CCTx"},
        {"STM32L45x/L46x", 512, "STM32L451RETx"}, {"STM32L41x/L42x", 128, "STM32L412CBTx"},
        {"STM32L4Rx/L4Sx", 2048, "STM32L4R5QIIx"}, {"STM32L4P5/L4Q5", 1024, "STM32L4Q5CGTx"},
    };
    const std::string dir = kData + "/pdsc";
    int table_rows = 0;
    for (int f = 0; f < s_stm32_family_count; ++f) {
        const StmFamily& fam = s_stm32_families[f];
        if (!std::filesystem::exists(dir + "/Keil." + fam.family_name + "xx_DFP.pdsc")) continue;
        for (int v = 0; v < fam.variant_count; ++v, ++table_rows) {
            bool listed = false;
            for (const Row& r : rows) listed |= strcmp(r.variant, fam.variants[v].name) == 0;
            EXPECT_TRUE(listed) << fam.variants[v].name;
        }
    }
    if (!table_rows) GTEST_SKIP() << "no packs in " << dir;
    for (const Row& r : rows) {
        char name[64] = "";
        EXPECT_TRUE(pdsc_find_device_for_variant(dir.c_str(), r.variant, 0x08000000, r.kb * 1024, name, sizeof name));
        EXPECT_STREQ(name, r.want) << r.variant << " " << r.kb << " KB";
    }
}
