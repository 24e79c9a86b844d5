// Which target INI a connection takes: the candidates in their order, the
// identity rule, a file that does not load, the previous choice kept when
// none matches; and the sector map that erase units follow.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "probe/probe_fixture.h"
#include "target/algo_select.h"
#include "target/mcu_id.h"
#include "tests/test_util.h"

namespace {

std::string ini(const char* name, uint32_t id_val = 0, uint32_t id_mask = 0) {
    std::string t = "[device]\nname = " + std::string(name) + "\n";
    if (id_mask) t += "identify_reg = 0xE0042000\nidentify_val = " + std::to_string(id_val) + "\nidentify_mask = " + std::to_string(id_mask) + "\n";
    return t + "[sequence.ResetSystem]\n0 = reset_halt\n";
}

McuInfo st_f4() {
    McuInfo m{};
    m.vendor = MCU_VENDOR_ST;
    m.mcu.vendor = MCU_VENDOR_ST;
    m.mcu.family_name = "STM32 F4";
    m.mcu.device_name = "STM32F405xx";
    return m;
}

struct AlgoSelect : ::testing::Test {
    TempDir dir{"korvane_select"};
    void SetUp() override { forget(); }
    void TearDown() override {
        forget();
        target_algo_set_dir(nullptr);
        target_algo_set_preferred(nullptr);
    }
    static void forget() {
        target_algo_free(&g_target_algo);
        g_target_algo_valid = false;
    }
    void put(const std::string& name, const std::string& text) { ASSERT_TRUE(write_text_file(dir / name, text)); }
};

TEST_F(AlgoSelect, CandidatesComeInTheirOrder) {
    target_algo_set_dir((dir.path + "/").c_str());
    target_algo_set_preferred("/opt/mine.ini");
    const McuInfo m = st_f4();
    char c[ALGO_MAX_CANDIDATES][ALGO_PATH_LEN];
    const int n = target_algo_candidates(&m, c, ALGO_MAX_CANDIDATES);
    const std::string d = dir.path + "/";
    const std::vector<std::string> want = {"/opt/mine.ini", d + "stm32f405xx.ini", d + "stm32f4.ini", d + "mcxa3xx.ini",
                                           d + "mcxa1xx.ini", d + "mcxa2xx.ini", d + "stm32f1xx.ini", d + "stm32f4xx.ini",
                                           d + "stm32f7xx.ini", d + "stm32h7xx.ini", d + "stm32l4xx.ini", d + "target.ini"};
    ASSERT_EQ(n, (int)want.size());
    for (int i = 0; i < n; ++i) EXPECT_EQ(c[i], want[i]) << i;
    EXPECT_EQ(target_algo_candidates(&m, c, 3), 3) << "the list stops at its room";
}

// Each row: the files in the folder, then the device id the chip reports;
// the INI accepted (its device name) or none, and lines the log must hold.
TEST_F(AlgoSelect, TheFirstMatchingCandidateIsTakenAndAMissKeepsThePrevious) {
    target_algo_set_dir((dir.path + "/").c_str());
    const McuInfo m = st_f4();
    struct Row {
        const char* name;
        std::vector<std::pair<std::string, std::string>> files;
        uint32_t device_id;
        const char* picked;  // null: none accepted now
        std::vector<std::string> logs;
    } const rows[] = {
        {"a mismatch is skipped for the next file",
         {{"stm32f4.ini", ini("F4 rev 419", 0x419, 0xFFF)}, {"stm32f4xx.ini", ini("F4 413", 0x413, 0xFFF)}},
         0x413, "F4 413", {"[ALGO] INI identity mismatch: " + dir.path + "/stm32f4.ini (device_id=0x00000413)"}},
        {"ST ids compare in their low 12 bits (REV_ID above them)", {{"stm32f405xx.ini", ini("upper bits", 0x10001413, 0xFFFFFFFF)}},
         0x20002413, "upper bits", {}},
        {"a file that does not load is passed over",
         {{"stm32f405xx.ini", "[memory]\nflash_base = 0x8000000G\n"}, {"target.ini", ini("anything")}},
         0x413, "anything", {"not a number: 0x8000000G"}},
        {"a mask without a register matches any device", {{"stm32f4.ini", "[device]\nname = no reg\nidentify_mask = 0xFFF\nidentify_val = 1\n"}},
         0x413, "no reg", {}},
        {"no match keeps the previous", {{"stm32f4.ini", ini("F4 rev 419", 0x419, 0xFFF)}}, 0x413, nullptr,
         {"[ALGO] INI identity mismatch"}},
        {"the settings' target_ini before the folder", {{"target.ini", ini("beside")}, {"mine/chosen.ini", ini("chosen")}},
         0x413, "chosen", {"[ALGO] INI target loaded: " + dir.path + "/mine/chosen.ini"}},
    };
    std::string previous;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        std::filesystem::remove_all(dir.path);
        std::filesystem::create_directories(dir.path);
        std::filesystem::create_directories(dir / "mine");
        for (const auto& f : r.files) put(f.first, f.second);
        target_algo_set_preferred(r.files.size() > 1 && r.files[1].first == "mine/chosen.ini" ? (dir / "mine/chosen.ini").c_str() : "");
        log_clear(&logv);
        EXPECT_EQ(target_algo_select(&m, r.device_id), r.picked != nullptr);
        ASSERT_TRUE(g_target_algo_valid.load());
        EXPECT_EQ(g_target_algo.device.name, std::string(r.picked ? r.picked : previous.c_str()));
        EXPECT_EQ(log_has("[ALGO] INI target loaded: "), r.picked != nullptr);
        for (const std::string& l : r.logs) EXPECT_TRUE(log_has(l.c_str())) << l;
        EXPECT_FALSE(log_has("No matching target INI found")) << "an INI is loaded";
        previous = g_target_algo.device.name;
    }
    forget();
    std::filesystem::remove_all(dir.path);
    target_algo_set_preferred("");
    log_clear(&logv);
    EXPECT_FALSE(target_algo_select(&m, 0x413));
    EXPECT_FALSE(g_target_algo_valid.load());
    EXPECT_TRUE(log_has("[ALGO] No matching target INI found — using legacy PDSC/FLM path"));
}

// Units of unequal sectors, of sector_size, of page_size; the map's syntax.
TEST(AlgoUnits, SectorsOfTheMapOrOfOneSize) {
    TempDir dir("korvane_units");
    auto algo = std::make_unique<TargetAlgo>();
    const struct {
        const char* map;
        uint32_t sector_size, page_size;
        bool pages_too;
        uint32_t addr;
        bool ok;
        uint32_t start, size, number;
    } rows[] = {
        {"4x16K, 1x64K, 7x128K", 0, 0, false, 0x08000000, true, 0x08000000, 0x4000, 0},
        {"4x16K, 1x64K, 7x128K", 0, 0, false, 0x0800FFFF, true, 0x0800C000, 0x4000, 3},
        {"4x16K, 1x64K, 7x128K", 0, 0, false, 0x08010000, true, 0x08010000, 0x10000, 4},
        {"4x16K, 1x64K, 7x128K", 0, 0, false, 0x080FFFFF, true, 0x080E0000, 0x20000, 11},
        {"4x0x4000,1x0x10000,7x0x20000", 0, 0, false, 0x08021234, true, 0x08020000, 0x20000, 5},
        {"4x16K, 1x64K, 7x128K", 0, 0, false, 0x08100000, false, 0, 0, 0},  // past the flash
        {"", 0x800, 0, false, 0x08001801, true, 0x08001800, 0x800, 3},
        {"", 0, 0x100, false, 0x08000100, false, 0, 0, 0},  // pages are no erase unit for a blob
        {"", 0, 0x100, true, 0x08000100, true, 0x08000100, 0x100, 1},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.map) + " @" + std::to_string(r.addr));
        std::string text = "[memory]\nflash_base = 0x08000000\nflash_size = 0x100000\n[flash_algo]\n";
        if (*r.map) text += std::string("sectors = ") + r.map + "\n";
        text += "sector_size = " + std::to_string(r.sector_size) + "\n";
        if (r.page_size) text += "page_size = " + std::to_string(r.page_size) + "\n";
        ASSERT_TRUE(write_text_file(dir / "u.ini", text));
        ASSERT_TRUE(target_algo_load((dir / "u.ini").c_str(), algo.get()));
        uint32_t s = 0, z = 0, n = 0;
        ASSERT_EQ(target_algo_unit_at(&algo->flash, r.addr, r.pages_too, &s, &z, &n), r.ok);
        if (!r.ok) continue;
        EXPECT_EQ(s, r.start);
        EXPECT_EQ(z, r.size);
        EXPECT_EQ(n, r.number);
    }
    for (const char* bad : {"4x", "x16K", "4*16K", "0x16K", "4x0", "9x1K,1x1K,1x1K,1x1K,1x1K,1x1K,1x1K,1x1K,1x1K", "5x1024M"}) {
        SCOPED_TRACE(bad);
        ASSERT_TRUE(write_text_file(dir / "b.ini", std::string("[flash_algo]\nsectors = ") + bad + "\n"));
        log_clear(&logv);
        EXPECT_FALSE(target_algo_load((dir / "b.ini").c_str(), algo.get()));
        EXPECT_TRUE(log_has("line 2: ")) << "the line named";
    }
}

}  // namespace
