// Broken images and line programs: a clear error or a partial table, never a
// crash (these run under AddressSanitizer and UndefinedBehaviorSanitizer).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "symbols/elf_dwarf.h"
#include "tests/symbols/elf_builder.h"
#include "tests/symbols/oracle.h"

namespace {

std::string fixture(const char* name) { return std::string(KORVANE_SYMBOL_FIXTURES) + "/" + name; }

// Exercises every query on whatever loaded.
void poke(const ElfDwarf* e) {
    ElfLocation loc;
    uint32_t a = 0, b = 0, out[8];
    for (uint32_t pc : {0u, 0x08000000u, 0x08000401u, 0xFFFFFFFFu}) {
        elf_dwarf_lookup(e, pc, &loc);
        elf_dwarf_next_line_addr(e, pc);
        elf_dwarf_func_span(e, pc, &a, &b);
        elf_dwarf_is_function_entry(e, pc, loc.func);
    }
    for (uint32_t i = 0; i < e->file_count; ++i) {
        ASSERT_NE(e->files[i], nullptr);
        ASSERT_LT(strlen(e->files[i]), 256u);
    }
    for (uint32_t i = 0; i < e->line_count; ++i) ASSERT_LT(e->lines[i].file_idx, e->file_count);
    elf_dwarf_line_to_addr(e, "main.c", 20);
    elf_dwarf_line_addrs(e, "main.c", 20, out, 8);
    elf_dwarf_line_span(e, "main.c", 20, &a, &b);
    elf_dwarf_find_function(e, "main", &a);
}

// A minimal ELF with one .debug_line section holding `dl`.
std::vector<uint8_t> elf_with_debug_line(const std::vector<uint8_t>& dl) {
    return dwarf_build::make_elf({{".debug_line", dl}}, {});
}

// A DWARF 4 unit around a header tail and a program.
std::vector<uint8_t> unit_v4(const std::vector<uint8_t>& files, const std::vector<uint8_t>& program, uint8_t opcode_base = 13) {
    std::vector<uint8_t> hdr = {1, 1, 1, (uint8_t)-5, 14, opcode_base};
    static const uint8_t std_lengths[12] = {0, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 1};
    for (int i = 1; i < opcode_base; ++i) hdr.push_back(i <= 12 ? std_lengths[i - 1] : 1);
    hdr.push_back(0);  // no include directories
    hdr.insert(hdr.end(), files.begin(), files.end());
    std::vector<uint8_t> u = {0, 0, 0, 0, 4, 0};
    uint32_t hl = (uint32_t)hdr.size();
    for (int i = 0; i < 4; ++i) u.push_back((uint8_t)(hl >> (8 * i)));
    u.insert(u.end(), hdr.begin(), hdr.end());
    u.insert(u.end(), program.begin(), program.end());
    uint32_t len = (uint32_t)u.size() - 4;
    for (int i = 0; i < 4; ++i) u[i] = (uint8_t)(len >> (8 * i));
    return u;
}

const std::vector<uint8_t> kOneFile = {'a', '.', 'c', 0, 0, 0, 0, 0};
std::vector<uint8_t> set_address(uint32_t a) { return {0, 5, 2, (uint8_t)a, (uint8_t)(a >> 8), (uint8_t)(a >> 16), (uint8_t)(a >> 24)}; }

}  // namespace

TEST(ElfMalformed, HeaderChecksGiveTheirErrors) {
    const std::vector<uint8_t> img = read_binary_file(fixture("demo_O0_line4.elf"));
    ASSERT_GT(img.size(), 1000u);
    const struct {
        std::function<void(std::vector<uint8_t>&)> mutate;
        const char* error;
    } cases[] = {
        {[](auto& c) { c.resize(51); }, "Not a valid ELF file"},
        {[](auto& c) { c[4] = 2; }, "Only ELF32 supported"},
        {[](auto& c) { c[5] = 2; }, "Only little-endian ELF supported"},
        {[](auto& c) { c[32] = c[33] = c[34] = 0xFF, c[35] = 0x7F; }, "Invalid ELF section header table"},
        {[](auto& c) { c[50] = c[48], c[51] = c[49]; }, "Invalid ELF section name string table index"},
    };
    for (const auto& [mutate, error] : cases) {
        std::vector<uint8_t> c = img;
        mutate(c);
        EXPECT_EQ(elf_dwarf_load_buffer(c.data(), (uint32_t)c.size()), nullptr) << error;
        EXPECT_STREQ(elf_dwarf_error(), error);
    }
    const std::string empty = testing::TempDir() + "/empty.elf";
    ASSERT_TRUE(write_file(empty, "", 0));
    for (const auto& [path, error] : {std::pair<std::string, const char*>{"/nonexistent/fw.elf", "Cannot open ELF file"},
                                      {empty, "ELF file is empty or ftell failed"}}) {
        EXPECT_EQ(elf_dwarf_load(path.c_str()), nullptr) << error;
        EXPECT_STREQ(elf_dwarf_error(), error);
    }
}

TEST(ElfMalformed, TruncationsAndMutationsNeverCrash) {
    for (const char* name : {"demo_O0_line5.elf", "demo_O2_line4.elf"}) {
        std::vector<uint8_t> img = read_binary_file(fixture(name));
        ASSERT_FALSE(img.empty());
        for (size_t len = 0; len < img.size(); len += 97) {
            ElfDwarf* e = elf_dwarf_load_buffer(img.data(), (uint32_t)len);
            if (e) poke(e);
            else EXPECT_NE(elf_dwarf_error()[0], 0) << "a failure always says why";
            elf_dwarf_free(e);
        }
        uint64_t x = 0x9E3779B97F4A7C15ull;
        auto rnd = [&] {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            return x;
        };
        int loaded = 0;
        for (int round = 0; round < 1500; ++round) {
            std::vector<uint8_t> m = img;
            int flips = 1 + (int)(rnd() % 8);
            for (int k = 0; k < flips; ++k) m[rnd() % m.size()] ^= (uint8_t)(1u << (rnd() % 8));
            // Half the rounds aim at the line table and section headers, where a flip matters most.
            if (round % 2) m[m.size() - 1 - rnd() % 600] = (uint8_t)rnd();
            ElfDwarf* e = elf_dwarf_load_buffer(m.data(), (uint32_t)m.size());
            if (e) {
                poke(e);
                ++loaded;
            }
            elf_dwarf_free(e);
        }
        EXPECT_GT(loaded, 100);
    }
}

TEST(ElfMalformed, LineProgramEdgeCases) {
    // File 0 in a version 4 unit: rows with the unknown file.
    std::vector<uint8_t> prog = set_address(0x08000100);
    prog.insert(prog.end(), {4, 0, 1});  // set_file 0, copy
    prog.insert(prog.end(), {0, 0});      // an extended opcode of length 0
    prog.insert(prog.end(), {4, 1, 0x21, 0, 1, 1});  // file 1, special, end_sequence
    // A sequence at address 0 (discarded code) is dropped whole.
    std::vector<uint8_t> zero = set_address(0);
    zero.insert(zero.end(), {1, 0x21, 0x21, 0, 1, 1});
    prog.insert(prog.end(), zero.begin(), zero.end());
    std::vector<uint8_t> img = elf_with_debug_line(unit_v4(kOneFile, prog));
    ElfDwarf* e = elf_dwarf_load_buffer(img.data(), (uint32_t)img.size());
    ASSERT_NE(e, nullptr) << elf_dwarf_error();
    ASSERT_EQ(e->line_count, 2u);
    EXPECT_EQ(e->lines[0].file_idx, 0);
    EXPECT_EQ(e->lines[1].file_idx, 1);
    EXPECT_STREQ(e->files[1], "a.c");
    elf_dwarf_free(e);

    // Operands cut off by the unit's end; a unit claiming more than the section.
    std::vector<uint8_t> cut = set_address(0x08000200);
    cut.insert(cut.end(), {1, 2, 0xFF, 0xFF});  // advance_pc with an unterminated LEB
    std::vector<uint8_t> dl = unit_v4(kOneFile, cut);
    std::vector<uint8_t> liar = unit_v4(kOneFile, cut);
    liar[0] = 0xF0;
    liar[1] = 0xFF;
    dl.insert(dl.end(), liar.begin(), liar.end());
    img = elf_with_debug_line(dl);
    e = elf_dwarf_load_buffer(img.data(), (uint32_t)img.size());
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->line_count, 1u);
    elf_dwarf_free(e);

    // An opcode base above 32 with an opcode in the extended range takes its operands.
    std::vector<uint8_t> wide = set_address(0x08000300);
    wide.insert(wide.end(), {40, 0x85, 0x01, 1});  // opcode 40 with one LEB operand, then copy
    img = elf_with_debug_line(unit_v4(kOneFile, wide, 48));
    e = elf_dwarf_load_buffer(img.data(), (uint32_t)img.size());
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(e->line_count, 1u);
    EXPECT_EQ(e->lines[0].address, 0x08000300u);
    elf_dwarf_free(e);
}

TEST(ElfMalformed, DwarfFiveFormatsAreBounded) {
    // Version 5 header: a directory format of one inline path, and a file format
    // with no fields but a count of four billion.
    std::vector<uint8_t> hdr = {1, 1, 1, (uint8_t)-5, 14, 13, 0, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 1};
    hdr.insert(hdr.end(), {1, 1, 0x08, 1, '/', 's', 0});   // dirs: (path, string), one entry
    hdr.insert(hdr.end(), {0, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F});  // files: no fields, 2^32-1 of them
    std::vector<uint8_t> u = {0, 0, 0, 0, 5, 0, 4, 0};
    uint32_t hl = (uint32_t)hdr.size();
    for (int i = 0; i < 4; ++i) u.push_back((uint8_t)(hl >> (8 * i)));
    u.insert(u.end(), hdr.begin(), hdr.end());
    std::vector<uint8_t> prog = set_address(0x08000400);
    prog.push_back(1);
    u.insert(u.end(), prog.begin(), prog.end());
    uint32_t len = (uint32_t)u.size() - 4;
    for (int i = 0; i < 4; ++i) u[i] = (uint8_t)(len >> (8 * i));
    std::vector<uint8_t> img = elf_with_debug_line(u);
    ElfDwarf* e = elf_dwarf_load_buffer(img.data(), (uint32_t)img.size());
    ASSERT_NE(e, nullptr);
    EXPECT_LE(e->file_count, 2u) << "a format of no bytes cannot make files without end";
    poke(e);
    elf_dwarf_free(e);
}

TEST(ElfReaders, LebAndBoundedReads) {
    const uint8_t d[] = {0xE5, 0x8E, 0x26, 0x7F, 0x80, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x34, 0x12};
    uint32_t pos = 0;
    EXPECT_EQ(read_uleb128(d, sizeof d, &pos), 624485u);
    EXPECT_EQ(pos, 3u);
    EXPECT_EQ(read_sleb128(d, sizeof d, &pos), -1);
    EXPECT_EQ(read_sleb128(d, sizeof d, &pos), -128);
    EXPECT_EQ(pos, 6u);
    read_uleb128(d, sizeof d, &pos);  // seven bytes, 49 bits: no undefined shift
    EXPECT_EQ(pos, 13u);
    EXPECT_EQ(read_u16(d, sizeof d, &pos), 0x1234);
    EXPECT_EQ(read_u16(d, sizeof d, &pos), 0) << "past the end";
    pos = 14;
    EXPECT_EQ(read_u32(d, sizeof d, &pos), 0u);
    EXPECT_EQ(pos, sizeof d);
    pos = 0;
    EXPECT_EQ(read_uleb128(d, 2, &pos), 0x0765u) << "an unterminated value stops at the end";
    EXPECT_EQ(pos, 2u);
}
