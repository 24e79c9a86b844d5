// Intel HEX and BIN firmware files. objcopy writes the HEX images (segment records below 1 MB, linear
// above) and reads every good file back to the binary we must get, with the same 0xFF gap fill.
#include <random>

#include "flash/flash_job.h"
#include "probe/probe_fixture.h"
#include "tests/test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes random_bytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = uint8_t(rng());
    return b;
}

bool objcopy(const std::string& args) { return std::system((std::string(KORVANE_OBJCOPY) + " " + args).c_str()) == 0; }

// objcopy's HEX of `data` placed at `base`, as text.
std::string objcopy_hex(const TempDir& dir, const Bytes& data, uint32_t base) {
    EXPECT_TRUE(write_file(dir / "in.bin", data) && objcopy("-I binary -O ihex --change-addresses " + std::to_string(base) +
                                                            " " + (dir / "in.bin") + " " + (dir / "in.hex")));
    return read_text_file(dir / "in.hex");
}

}  // namespace

// Good files come back at their base as objcopy reads them; a bad record
// rejects the file, naming its line.
TEST(HexFiles, ReadAsObjcopyReadsThemOrRejectedWithTheBadLine) {
    TempDir dir("korvane_hex");
    const std::string good = ":0400000001020304F2\n", eof = ":00000001FF\n";
    auto without_eof = [](std::string s) { return s.substr(0, s.rfind(":00000001FF")); };
    struct Case { std::string text; uint32_t base; const char* why = nullptr; } const cases[] = {
        // 150 KB: above 64 KB, so low bases need segment or linear address records.
        {objcopy_hex(dir, random_bytes(150 * 1024 + 7, 1), 0), 0},
        {objcopy_hex(dir, random_bytes(150 * 1024 + 7, 2), 0xF0000), 0xF0000},
        {objcopy_hex(dir, random_bytes(150 * 1024 + 7, 3), 0x08000000), 0x08000000},
        // Two images with a gap: one end-of-file record, at the end.
        {without_eof(objcopy_hex(dir, random_bytes(3000, 4), 0x08000000)) + objcopy_hex(dir, random_bytes(1000, 5), 0x08004000),
         0x08000000},
        // Segment 0x1000 puts data at 0x10000; 03/05 (start address) change nothing.
        {":020000021000EC\n:0400000304000000F5\n:0400000504000000F3\n" + good + eof, 0x10000},
        // A data record without data, below and above the image, adds nothing and points nowhere.
        {":0000000000\n:0401000001020304F1\n:00FF000001\n" + eof, 0x100},
        {good + ":0400040001020304F3\n" + eof, 0, "line 2: bad checksum"},
        {":04000000010203G4F2\n" + eof, 0, "line 1: not a hexadecimal digit"},
        {":0500000001020304F2\n" + eof, 0, "line 1: byte count does not match"},
        {":0000\n" + eof, 0, "line 1: malformed record"},
        {good + "hello\n" + eof, 0, "line 2: not a record"},
        {":0400000601020304EC\n" + eof, 0, "line 1: unknown record type"},
        {good, 0, "no end-of-file record"},
        {eof, 0, "no data records"},
        // Firmware at 0x08000000 and an option-byte record at 0x1FFFC000: 400 MB of 0xFF.
        {":020000040800F2\n" + good + ":020000041FFFDC\n:04C00000FFFF00003E\n" + eof, 0, "spans more than"},
        {":02000004FFFFFC\n:04FFFE0001020304F5\n" + eof, 0, "past the 4 GB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why ? c.why : c.text.substr(0, 40));
        log_clear(&logv);
        ASSERT_TRUE(write_text_file(dir / "t.hex", c.text));
        uint32_t base = 1, size = 0;
        uint8_t* img = hex_to_bin((dir / "t.hex").c_str(), &base, &size);
        EXPECT_EQ(img != nullptr, !c.why);
        if (c.why) {
            EXPECT_TRUE(log_has(c.why));
            continue;
        }
        ASSERT_TRUE(img && objcopy("-I ihex -O binary --gap-fill 0xFF " + (dir / "t.hex") + " " + (dir / "t.bin")));
        EXPECT_EQ(base, c.base);
        EXPECT_EQ(Bytes(img, img + size), read_binary_file(dir / "t.bin"));
        std::free(img);
    }
}

// An empty BIN file, a missing one and a folder are refused (the flash job reads good ones).
TEST(BinFiles, EmptyOnesAreRefused) {
    TempDir dir("korvane_bin");
    ASSERT_TRUE(write_file(dir / "empty.bin", Bytes{}));
    uint32_t size = 0;
    for (const std::string& p : {dir / "empty.bin", dir / "missing.bin", dir.path})
        EXPECT_EQ(bin_read_file(p.c_str(), &size), nullptr) << p;
    EXPECT_TRUE(log_has("[FLASH] BIN file empty or unreadable") && log_has("[FLASH] Cannot open BIN file"));
}
