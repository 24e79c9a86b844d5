// The image loader and the line queries against binutils and gdb on real
// firmware built with arm-none-eabi-gcc.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <strings.h>
#include <map>
#include <memory>

#include "symbols/elf_dwarf.h"
#include "tests/symbols/oracle.h"

namespace {

struct ElfDeleter {
    void operator()(ElfDwarf* e) const { elf_dwarf_free(e); }
};
typedef std::unique_ptr<ElfDwarf, ElfDeleter> ElfPtr;

std::string fixture(const char* name) { return std::string(KORVANE_SYMBOL_FIXTURES) + "/" + name; }

const char* const kAll[] = {"demo_O0_line3.elf", "demo_O0_line4.elf", "demo_O0_line5.elf",
                            "demo_O2_line3.elf", "demo_O2_line4.elf", "demo_O2_line5.elf",
                            "newlib_line4.elf",  "newlib_line5.elf"};

bool in_code(const ElfDwarf* e, uint32_t a) {
    uint8_t b[2];
    return elf_read_text(e, a, b, 2);
}

std::set<LineRow> our_rows(const ElfDwarf* e) {
    std::set<LineRow> rows;
    for (uint32_t i = 0; i < e->line_count; ++i) {
        const LineEntry& r = e->lines[i];
        if (in_code(e, r.address)) rows.emplace(r.address, r.line, base_of(e->files[r.file_idx]));
    }
    return rows;
}

}  // namespace

class ElfOracle : public testing::TestWithParam<const char*> {};

// Per image, against objdump's line rows and readelf's symbols: the line
// table (discarded code's sequences at address 0 never reach it), the
// function table and each function's span, the source files (each with a
// row of code, at its lowest line, sorted by name, once: newlib's headers
// have rows in several units; the demo's names are unique, so there a file
// listed under two spellings shows in the count) and, on the demo, the line
// queries: a line's lowest address, its breakpoint addresses (instruction
// starts), its span.
TEST_P(ElfOracle, LinesFunctionsAndFilesMatchBinutils) {
    const std::string path = fixture(GetParam());
    ElfPtr e(elf_dwarf_load(path.c_str()));
    ASSERT_TRUE(e) << elf_dwarf_error();
    std::set<LineRow> theirs;
    std::map<std::string, uint32_t> first_line, ours_first;
    std::map<std::pair<std::string, uint32_t>, uint32_t> lowest;
    for (const LineRow& r : objdump_lines(path)) {
        const auto& [addr, line, file] = r;
        if (!in_code(e.get(), addr)) continue;
        theirs.insert(r);
        if (line && (!first_line.count(file) || line < first_line[file])) first_line[file] = line;
        auto key = std::make_pair(file, line);
        if (!lowest.count(key) || addr < lowest[key]) lowest[key] = addr;
    }
    std::set<LineRow> ours = our_rows(e.get());
    ASSERT_GT(theirs.size(), 100u);
    std::vector<LineRow> missing, extra;
    std::set_difference(theirs.begin(), theirs.end(), ours.begin(), ours.end(), std::back_inserter(missing));
    std::set_difference(ours.begin(), ours.end(), theirs.begin(), theirs.end(), std::back_inserter(extra));
    EXPECT_TRUE(missing.empty()) << missing.size() << " rows missing, first at 0x" << std::hex << std::get<0>(missing[0])
                                 << std::dec << " line " << std::get<1>(missing[0]) << " " << std::get<2>(missing[0]);
    EXPECT_TRUE(extra.empty()) << extra.size() << " extra rows";
    for (uint32_t i = 0; i < e->line_count; ++i) ASSERT_GE(e->lines[i].address, 0x1000u) << "no fixture has code below";
    for (uint32_t i = 1; i < e->line_count; ++i) ASSERT_LE(e->lines[i - 1].address, e->lines[i].address);

    std::multiset<FuncRow> funcs;
    for (uint32_t i = 0; i < e->func_count; ++i) funcs.insert(FuncRow{e->funcs[i].address, e->funcs[i].size, e->funcs[i].name});
    EXPECT_EQ(funcs, readelf_funcs(path));
    ASSERT_GT(funcs.size(), 5u);
    for (uint32_t i = 1; i < e->func_count; ++i) ASSERT_LE(e->funcs[i - 1].address, e->funcs[i].address);
    for (const FuncRow& f : funcs) {
        uint32_t s = 0, end = 0;
        if (!f.size) continue;
        ASSERT_TRUE(elf_dwarf_func_span(e.get(), f.addr + f.size / 2, &s, &end)) << f.name;
        EXPECT_TRUE(s != f.addr || end == f.addr + f.size) << f.name;
    }
    uint32_t main_addr = 0;
    char fname[128];
    ASSERT_TRUE(elf_dwarf_find_function(e.get(), "main", &main_addr));
    EXPECT_TRUE(elf_dwarf_is_function_entry(e.get(), main_addr, fname));
    EXPECT_STREQ(fname, "main");
    EXPECT_FALSE(elf_dwarf_is_function_entry(e.get(), main_addr + 2, nullptr));

    ElfSourceFile files[256], two[2];
    int n = elf_dwarf_source_files(e.get(), files, 256);
    ASSERT_GE(n, 4);
    ASSERT_LE(n, 256);
    std::set<std::string> paths;
    for (int i = 0; i < n; ++i) {
        std::string base = base_of(files[i].path);
        if (!ours_first.count(base) || files[i].first_line < ours_first[base]) ours_first[base] = files[i].first_line;
        EXPECT_LE(strcasecmp(base_of(files[std::max(0, i - 1)].path).c_str(), base.c_str()), 0) << "sorted by name";
        EXPECT_TRUE(paths.insert(files[i].path).second) << "listed twice: " << files[i].path;
    }
    EXPECT_EQ(ours_first, first_line);
    const bool demo = std::string(GetParam()).rfind("demo", 0) == 0;
    EXPECT_TRUE(n == (int)first_line.size() || !demo) << n << " listed";
    ASSERT_EQ(elf_dwarf_source_files(e.get(), two, 2), n) << "a cut list still counts them all";
    EXPECT_STREQ(two[1].path, files[1].path);

    if (!demo) return;  // newlib's file names repeat
    std::set<uint32_t> insns = objdump_insn_starts(path);
    for (const auto& [key, addr] : lowest) {
        const char* file = key.first.c_str();
        EXPECT_EQ(elf_dwarf_line_to_addr(e.get(), file, key.second), addr) << file << ":" << key.second;
        uint32_t out[16], s = 0, end = 0;
        int k = elf_dwarf_line_addrs(e.get(), file, key.second, out, 16);
        ASSERT_GE(k, 1);
        EXPECT_EQ(out[0], addr);
        for (int i = 0; i < k; ++i) EXPECT_TRUE(insns.count(out[i])) << "breakpoint address not an instruction start";
        ASSERT_TRUE(elf_dwarf_line_span(e.get(), file, key.second, &s, &end));
        EXPECT_EQ(s, addr);
        EXPECT_TRUE(end == 0 || end > s);
        uint32_t next = elf_dwarf_next_line_addr(e.get(), addr);
        EXPECT_TRUE(next == 0 || next > addr);
    }
    EXPECT_EQ(elf_dwarf_line_to_addr(e.get(), "nain.c", 10), 0u);
    EXPECT_EQ(elf_dwarf_line_to_addr(e.get(), "ain.c", 10), 0u) << "only whole path components match";
    EXPECT_EQ(elf_dwarf_line_addrs(e.get(), "main.c", 10, &main_addr, 0), 0);
    EXPECT_EQ(elf_dwarf_line_to_addr(e.get(), "main.c", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(Images, ElfOracle, testing::ValuesIn(kAll), [](const auto& i) {
    std::string n = i.param;
    return n.substr(0, n.find('.'));
});

TEST(ElfLines, DwarfTwoHeadersReadAsTheirThreeTwins) {
    // Versions 2 and 3 share the line-program header; gas writes no version 2,
    // so the version fields of a version 3 image are patched.
    std::vector<uint8_t> img = read_binary_file(fixture("demo_O0_line3.elf"));
    ASSERT_FALSE(img.empty());
    ElfPtr v3(elf_dwarf_load_buffer(img.data(), (uint32_t)img.size()));
    ASSERT_TRUE(v3);
    const ElfSectionRow dl = elf_sections(fixture("demo_O0_line3.elf"))[".debug_line"];
    ASSERT_GT(dl.size, 0u);
    int patched = 0;
    for (uint32_t off = 0; off + 6 <= dl.size;) {
        const uint8_t* unit = &img[dl.offset + off];
        uint32_t len = unit[0] | unit[1] << 8 | unit[2] << 16 | (uint32_t)unit[3] << 24;
        ASSERT_EQ(unit[4], 3);
        img[dl.offset + off + 4] = 2;
        ++patched;
        off += 4 + len;
    }
    ElfPtr v2(elf_dwarf_load_buffer(img.data(), (uint32_t)img.size()));
    ASSERT_TRUE(v2);
    EXPECT_GE(patched, 4);
    EXPECT_EQ(our_rows(v2.get()), our_rows(v3.get()));
}

TEST(ElfLines, AddressLookupsAgreeWithGdbAtO0) {
    if (run_capture("command -v gdb-multiarch").empty()) GTEST_SKIP() << "gdb-multiarch is not installed";
    for (const char* name : {"demo_O0_line4.elf", "demo_O0_line5.elf"}) {
        SCOPED_TRACE(name);
        ElfPtr e(elf_dwarf_load(fixture(name).c_str()));
        ASSERT_TRUE(e);
        std::vector<std::pair<std::string, std::string>> cmds;
        for (uint32_t i = 0; i < e->line_count; i += 3) {
            char ex[32];
            snprintf(ex, sizeof ex, "info line *0x%x", e->lines[i].address + 2 * (i % 2));
            cmds.emplace_back(ex + 11, ex);
        }
        size_t compared = 0;
        for (const auto& [tag, text] : gdb_static(fixture(name), cmds)) {
            uint32_t addr = (uint32_t)std::stoul(tag, nullptr, 16), line = 0;
            std::string file;
            if (!gdb_info_line(text, &line, &file)) continue;
            ElfLocation loc;
            ASSERT_TRUE(elf_dwarf_lookup(e.get(), addr, &loc));
            EXPECT_EQ(loc.line, line) << std::hex << addr;
            EXPECT_EQ(base_of(loc.file), base_of(file)) << std::hex << addr;
            ++compared;
        }
        EXPECT_GT(compared, 40u);
    }
}

TEST(ElfQueries, DwarfFiveNamesBothMainFileEntriesAndCodeReadsStayInTheCode) {
    ElfPtr e(elf_dwarf_load(fixture("demo_O0_line5.elf").c_str()));
    ASSERT_TRUE(e);
    int main_c = 0;
    for (uint32_t i = 0; i < e->file_count; ++i) main_c += base_of(e->files[i]) == "main.c";
    EXPECT_GE(main_c, 2) << "entry 0 and entry 1 both name the unit's file";
    uint32_t main_addr = 0;
    ASSERT_TRUE(elf_dwarf_find_function(e.get(), "main", &main_addr));
    ElfLocation loc;
    ASSERT_TRUE(elf_dwarf_lookup(e.get(), main_addr, &loc));
    EXPECT_EQ(base_of(loc.file), "main.c");
    EXPECT_STREQ(loc.func, "main");
    EXPECT_EQ(loc.file[0], '/') << "directory joined: " << loc.file;
    EXPECT_EQ(elf_dwarf_line_to_addr(e.get(), loc.file, loc.line), main_addr);
    // Code reads stay inside the code.
    EXPECT_NE(elf_text_base(e.get()), 0u);
    EXPECT_GT(elf_text_size(e.get()), 0u);
    uint8_t b[4];
    EXPECT_TRUE(elf_read_text(e.get(), elf_text_base(e.get()) | 1, b, 4));
    EXPECT_FALSE(elf_read_text(e.get(), elf_text_base(e.get()) + elf_text_size(e.get()) - 2, b, 4));
    EXPECT_FALSE(elf_read_text(e.get(), 0x20000000, b, 2));
    EXPECT_FALSE(elf_read_text(nullptr, 0, b, 2));
    EXPECT_NE(e->debug_info, nullptr);
    EXPECT_NE(e->debug_line_str, nullptr);
}
