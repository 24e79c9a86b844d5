// Intel HEX and BIN firmware files against arm-none-eabi-objcopy, which
// writes HEX (segment records below 1 MB, linear records above) and reads it
// back to a binary with the same 0xFF gap fill.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "flash/flash_job.h"
#include "tests/test_util.h"
#include "probe/probe_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

class HexFiles : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path.empty());
        log_clear(&logv);
    }
    std::string path(const std::string& name) { return dir_ / name; }
    void write(const std::string& name, const std::string& text) { ASSERT_TRUE(write_text_file(path(name), text)); }
    void write(const std::string& name, const Bytes& b) { ASSERT_TRUE(write_file(path(name), b)); }
    static Bytes read(const std::string& p) { return read_binary_file(p); }
    static Bytes random_bytes(size_t n, unsigned seed) {
        std::mt19937 rng(seed);
        Bytes b(n);
        for (auto& x : b) x = uint8_t(rng());
        return b;
    }
    // objcopy's HEX of `data` placed at `base`.
    std::string objcopy_hex(const Bytes& data, uint32_t base, const std::string& name) {
        write(name + ".bin", data);
        char cmd[1024];
        std::snprintf(cmd, sizeof cmd, "%s -I binary -O ihex --change-addresses 0x%X %s %s", KORVANE_OBJCOPY, base,
                      path(name + ".bin").c_str(), path(name).c_str());
        EXPECT_EQ(std::system(cmd), 0) << cmd;
        return path(name);
    }
    bool parse(const std::string& p, uint32_t* base, Bytes* out) {
        uint32_t size = 0;
        uint8_t* img = hex_to_bin(p.c_str(), base, &size);
        if (!img) return false;
        out->assign(img, img + size);
        std::free(img);
        return true;
    }
    TempDir dir_{"korvane_hex"};
};

TEST_F(HexFiles, ObjcopyImagesAtLowMiddleAndFlashBasesReadBackExactly) {
    for (uint32_t base : {0x0u, 0xF0000u, 0x08000000u}) {
        // 150 KB: above 64 KB, so low bases need segment or linear address records.
        Bytes data = random_bytes(150 * 1024 + 7, base + 1);
        std::string hex = objcopy_hex(data, base, "img.hex");
        uint32_t got_base = 1;
        Bytes got;
        ASSERT_TRUE(parse(hex, &got_base, &got)) << std::hex << base;
        EXPECT_EQ(got_base, base);
        EXPECT_EQ(got, data) << std::hex << base;
    }
}

TEST_F(HexFiles, GapsAreErasedFlashAsObjcopyFillsThem) {
    Bytes a = random_bytes(3000, 1), b = random_bytes(1000, 2);
    std::ifstream ha(objcopy_hex(a, 0x08000000, "a.hex")), hb(objcopy_hex(b, 0x08004000, "b.hex"));
    std::string text, line;
    while (std::getline(ha, line))
        if (line.rfind(":00000001", 0) != 0) text += line + "\n";  // one end-of-file record, at the end
    while (std::getline(hb, line)) text += line + "\n";
    write("gap.hex", text);
    uint32_t base = 0;
    Bytes got;
    ASSERT_TRUE(parse(path("gap.hex"), &base, &got));
    EXPECT_EQ(base, 0x08000000u);
    std::string cmd = std::string(KORVANE_OBJCOPY) + " -I ihex -O binary --gap-fill 0xFF " + path("gap.hex") + " " +
                      path("gap.bin");
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(got, read(path("gap.bin")));
    ASSERT_EQ(got.size(), 0x4000u + 1000u);
    EXPECT_EQ(got[3000], 0xFF);
    EXPECT_EQ(got[0x3FFF], 0xFF);
}

TEST_F(HexFiles, TheDemoFirmwareHexIsItsBin) {
    const std::string fw = KORVANE_DEMO_FW_DIR;
    uint32_t base = 0;
    Bytes got;
    ASSERT_TRUE(parse(fw + "/demo_O0_dwarf4.hex", &base, &got));
    EXPECT_EQ(base, 0x08000000u);
    EXPECT_EQ(got, read(fw + "/demo_O0_dwarf4.bin"));
}

TEST_F(HexFiles, BadRecordsRejectTheFileWithTheirLine) {
    const std::string good = ":0400000001020304F2\n";
    struct Case {
        const char* name;
        std::string text;
        const char* why;
    } cases[] = {
        {"checksum", good + ":0400040001020304F3\n:00000001FF\n", "line 2: bad checksum"},
        {"digit", ":04000000010203G4F2\n:00000001FF\n", "line 1: not a hexadecimal digit"},
        {"count", ":0500000001020304F2\n:00000001FF\n", "line 1: byte count does not match"},
        {"short", ":0000\n:00000001FF\n", "line 1: malformed record"},
        {"noise", good + "hello\n:00000001FF\n", "line 2: not a record"},
        {"type", ":0400000601020304EC\n:00000001FF\n", "line 1: unknown record type"},
        {"truncated", good, "no end-of-file record"},
        {"nodata", ":00000001FF\n", "no data records"},
        // Firmware at 0x08000000 and an option-byte record at 0x1FFFC000: 400 MB of 0xFF.
        {"span", ":020000040800F2\n" + good + ":020000041FFFDC\n:04C00000FFFF0000" "3E\n:00000001FF\n",
         "spans more than"},
        {"past4g", ":02000004FFFFFC\n:04FFFE0001020304F5\n:00000001FF\n", "past the 4 GB"},
        // 263 bytes on one line: more than any record holds, refused before it is decoded.
        {"long", ":" + std::string(526, '0') + "\n:00000001FF\n", "line 1: byte count does not match"},
    };
    for (const Case& c : cases) {
        log_clear(&logv);
        write(c.name, c.text);
        uint32_t base = 0;
        Bytes got;
        EXPECT_FALSE(parse(path(c.name), &base, &got)) << c.name;
        EXPECT_TRUE(log_has(c.why)) << c.name << ": expected '" << c.why << "'";
    }
}

TEST_F(HexFiles, SegmentAndLinearRecordsMoveTheAddressStartRecordsDoNot) {
    // 02 with segment 0x1000 puts data at 0x10000; 03/05 (start address) change nothing.
    write("seg.hex", ":020000021000EC\n:0400000304000000F5\n:0400000504000000F3\n:0400000001020304F2\n:00000001FF\n");
    uint32_t base = 0;
    Bytes got;
    ASSERT_TRUE(parse(path("seg.hex"), &base, &got));
    EXPECT_EQ(base, 0x10000u);
    EXPECT_EQ(got, (Bytes{1, 2, 3, 4}));
    // A data record without data, below and above the image, adds nothing and points nowhere.
    write("empty.hex", ":0000000000\n:0401000001020304F1\n:00FF000001\n:00000001FF\n");
    ASSERT_TRUE(parse(path("empty.hex"), &base, &got));
    EXPECT_EQ(base, 0x100u);
    EXPECT_EQ(got, (Bytes{1, 2, 3, 4}));
}

TEST_F(HexFiles, BinFilesAreReadWholeAndEmptyOnesRefused) {
    Bytes data = random_bytes(70001, 9);
    write("fw.bin", data);
    write("empty.bin", Bytes{});
    uint32_t size = 0;
    uint8_t* img = bin_read_file(path("fw.bin").c_str(), &size);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(Bytes(img, img + size), data);
    std::free(img);
    EXPECT_EQ(bin_read_file(path("empty.bin").c_str(), &size), nullptr);
    EXPECT_TRUE(log_has("[FLASH] BIN file empty or unreadable"));
    EXPECT_EQ(bin_read_file(path("missing.bin").c_str(), &size), nullptr);
    EXPECT_TRUE(log_has("[FLASH] Cannot open BIN file"));
    EXPECT_EQ(bin_read_file(dir_.path.c_str(), &size), nullptr);  // a folder is not a file
}

}  // namespace
