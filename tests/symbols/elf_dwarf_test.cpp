// The image loader and the line queries against binutils and gdb on real
// firmware built with arm-none-eabi-gcc.
#include <gtest/gtest.h>

#include <algorithm>
#include <strings.h>
#include <map>
#include <memory>
#include <span>

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

}  // namespace

class ElfOracle : public testing::TestWithParam<const char*> {};

// Per image, against objdump's line rows and readelf's symbols: the line
// table (discarded code's sequences at address 0 never reach it), the
// function table and each function's span, the source files (each with a
// row of code, at its lowest line, sorted by name, once: newlib's headers
// have rows in several units; the demo's names are unique, so there a file
// listed under two spellings shows in the count) and, on the demo, the line
// queries: a line's lowest address, its breakpoint addresses (instruction
// starts), its span, and at -O0 the file and line of addresses as gdb has them.
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
    std::set<LineRow> ours;
    for (const LineEntry& r : std::span(e->lines, e->line_count))
        if (in_code(e.get(), r.address)) ours.emplace(r.address, r.line, base_of(e->files[r.file_idx]));
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
    // At -O0, every third row's address (or the next halfword) gives gdb's `info line`.
    std::vector<std::pair<std::string, std::string>> cmds;
    for (uint32_t i = 0; i < e->line_count && path.find("O0") != std::string::npos; i += 3) {
        const std::string a = std::to_string(e->lines[i].address + 2 * (i % 2));
        cmds.emplace_back(a, "info line *" + a);
    }
    size_t compared = 0;
    for (const auto& [tag, text] : gdb_static(path, cmds)) {
        uint32_t line = 0;
        std::string file;
        ElfLocation loc;
        if (!gdb_info_line(text, &line, &file)) continue;
        ASSERT_TRUE(elf_dwarf_lookup(e.get(), (uint32_t)std::stoul(tag), &loc));
        EXPECT_EQ(std::make_pair(loc.line, base_of(loc.file)), std::make_pair(line, base_of(file))) << tag;
        ++compared;
    }
    EXPECT_TRUE(cmds.empty() || compared > 40);
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

// DWARF 5's file entries 0 and 1 both name the unit's file, its directory
// joined; code reads stay inside the code.
TEST(ElfQueries, DwarfFiveNamesBothMainFileEntriesAndCodeReadsStayInTheCode) {
    ElfPtr e(elf_dwarf_load(fixture("demo_O0_line5.elf").c_str()));
    ASSERT_TRUE(e);
    int main_c = 0;
    for (uint32_t i = 0; i < e->file_count; ++i) main_c += base_of(e->files[i]) == "main.c";
    EXPECT_GE(main_c, 2);
    uint32_t main_addr = 0;
    ElfLocation loc;
    ASSERT_TRUE(elf_dwarf_find_function(e.get(), "main", &main_addr) && elf_dwarf_lookup(e.get(), main_addr, &loc));
    EXPECT_EQ(loc.file[0], '/') << loc.file;
    EXPECT_EQ(elf_dwarf_line_to_addr(e.get(), loc.file, loc.line), main_addr);
    uint8_t b[4];
    const uint32_t base = elf_text_base(e.get()), end = base + elf_text_size(e.get());
    EXPECT_TRUE(base && end > base && elf_read_text(e.get(), base | 1, b, 4));
    EXPECT_FALSE(elf_read_text(e.get(), end - 2, b, 4) || elf_read_text(e.get(), 0x20000000, b, 2) || elf_read_text(nullptr, 0, b, 2));
}
