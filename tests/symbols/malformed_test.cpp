// Broken images and line programs: a clear error or a partial table, never a
// crash (these run under AddressSanitizer and UndefinedBehaviorSanitizer).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "symbols/elf_dwarf.h"
#include "symbols/elf_variable.h"
#include "tests/symbols/elf_builder.h"
#include "tests/symbols/oracle.h"

namespace {

std::string fixture(const char* name) { return std::string(KORVANE_SYMBOL_FIXTURES) + "/" + name; }

// Every query on whatever loaded, the variables' value texts from random
// bytes through every member, and the dump.
void poke(const ElfDwarf* e, uint64_t seed) {
    ElfLocation loc;
    uint32_t a = 0, b = 0, out[8];
    for (uint32_t pc : {0u, 0x08000000u, 0x08000401u, 0xFFFFFFFFu}) {
        elf_dwarf_lookup(e, pc, &loc);
        elf_dwarf_next_line_addr(e, pc);
        elf_dwarf_func_span(e, pc, &a, &b);
        elf_dwarf_is_function_entry(e, pc, loc.func);
    }
    for (uint32_t i = 0; i < e->file_count; ++i) ASSERT_LT(strlen(e->files[i]), 256u);
    for (uint32_t i = 0; i < e->line_count; ++i) ASSERT_LT(e->lines[i].file_idx, e->file_count);
    elf_dwarf_line_to_addr(e, "main.c", 20);
    elf_dwarf_line_addrs(e, "main.c", 20, out, 8);
    elf_dwarf_line_span(e, "main.c", 20, &a, &b);
    elf_dwarf_find_function(e, "main", &a);
    std::vector<ElfVariable> vars(64);
    for (uint32_t i = 0; i < e->func_count; i += 1 + e->func_count / 40)
        elf_dwarf_get_variables(e, e->funcs[i].address, vars.data(), (int)vars.size());
    int n = elf_dwarf_get_all_variables(e, vars.data(), (int)vars.size());
    uint8_t bytes[64];
    char text[256];
    for (uint8_t& x : bytes) x = (uint8_t)(seed = seed * 6364136223846793005ull + 1442695040888963407ull, seed >> 56);
    for (int i = 0; i < n; ++i) {
        elf_dwarf_value_text(e, vars[i].type_unit, vars[i].type_die, bytes, sizeof bytes, nullptr, text, sizeof text);
        for (uint32_t k = 0; k < vars[i].member_count && k < ELF_MAX_MEMBERS; ++k)
            elf_dwarf_value_text(e, vars[i].members[k].type_unit, vars[i].members[k].type_die, bytes, 8, nullptr, text,
                                 sizeof text, vars[i].members[k].bit_offset, vars[i].members[k].bit_size);
    }
    if (seed % 10 == 0) elf_dwarf_dump_to_file(e, "/dev/null");
}

// A DWARF 4 (or 5, with its directory and file formats) line unit around a
// header tail and a program.
std::vector<uint8_t> line_unit(const std::vector<uint8_t>& tail, const std::vector<uint8_t>& program, uint8_t opcode_base = 13,
                               int version = 4) {
    dwarf_build::Bytes u, hdr;
    hdr.raw({1, 1, 1, (uint8_t)-5, 14, opcode_base});
    static const uint8_t std_lengths[12] = {0, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 1};
    for (int i = 1; i < opcode_base; ++i) hdr.u8(i <= 12 ? std_lengths[i - 1] : 1);
    if (version == 4) hdr.u8(0);  // no include directories
    hdr.d.insert(hdr.d.end(), tail.begin(), tail.end());
    u.u32(0).u16(version);
    if (version == 5) u.u8(4).u8(0);
    u.u32(hdr.size()).d.insert(u.d.end(), hdr.d.begin(), hdr.d.end());
    u.d.insert(u.d.end(), program.begin(), program.end());
    u.put32(0, u.size() - 4);
    return u.d;
}

std::vector<uint8_t> set_address(uint32_t a) { return {0, 5, 2, (uint8_t)a, (uint8_t)(a >> 8), (uint8_t)(a >> 16), (uint8_t)(a >> 24)}; }
std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

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

// Real images cut short anywhere, with bits flipped anywhere, and with their
// DWARF sections damaged or cut: each loads with its reason or answers every
// query.
TEST(ElfMalformed, DamagedImagesNeverCrash) {
    uint64_t x = 0x9E3779B97F4A7C15ull;
    auto rnd = [&] { return x ^= x << 13, x ^= x >> 7, x ^= x << 17; };
    for (const char* name : {"demo_O0_line5.elf", "demo_O2_info5.elf", "newlib_line4.elf", "demo_O0_info2.elf"}) {
        SCOPED_TRACE(name);
        const std::vector<uint8_t> img = read_binary_file(fixture(name));
        ASSERT_FALSE(img.empty());
        auto u32 = [&](size_t o) { return img[o] | img[o + 1] << 8 | img[o + 2] << 16 | (uint32_t)img[o + 3] << 24; };
        std::vector<uint32_t> hdrs;  // the section headers of the DWARF sections damaged
        for (const auto& [n, sec] : elf_sections(fixture(name)))
            if (n.rfind(".debug_", 0) == 0) hdrs.push_back(u32(32) + 40 * sec.index);
        ASSERT_GE(hdrs.size(), 4u);
        int loaded = 0;
        for (int round = 0; round < 400; ++round) {
            std::vector<uint8_t> m = img;
            uint32_t h = hdrs[rnd() % hdrs.size()], off = u32(h + 16), size = u32(h + 20), len = (uint32_t)m.size();
            if (round % 4 == 0) len = (uint32_t)(rnd() % m.size());                           // the file cut
            if (round % 4 == 1) m[rnd() % m.size()] ^= (uint8_t)(1u << (rnd() % 8));          // a bit anywhere
            if (round % 4 == 2)                                                              // a section cut
                for (uint32_t i = 0, cut = (uint32_t)(rnd() % (size + 1)); i < 4; ++i) m[h + 20 + i] = (uint8_t)(cut >> (8 * i));
            if (round % 4 == 3 && size)                                                      // a section's bytes
                for (int flips = 1 + (int)(rnd() % 12); flips > 0; --flips) m[off + rnd() % size] = (uint8_t)rnd();
            ElfDwarf* e = elf_dwarf_load_buffer(m.data(), len);
            if (e) poke(e, rnd()), ++loaded;
            else EXPECT_NE(elf_dwarf_error()[0], 0) << "a failure always says why";
            elf_dwarf_free(e);
            if (HasFatalFailure()) return;
        }
        EXPECT_GT(loaded, 200);
    }
}

// Line programs no assembler writes: file 0 in a version 4 unit (the
// unknown file), an empty extended opcode, a sequence at address 0
// (discarded code, dropped whole); operands cut off by the unit's end and a
// unit claiming more than the section; an opcode base above 32 whose opcode
// in the extended range takes its operands; a version 5 file format of no
// fields but four billion files.
TEST(ElfMalformed, LineProgramEdgeCases) {
    const std::vector<uint8_t> one_file = {'a', '.', 'c', 0, 0, 0, 0, 0}, cut = set_address(0x08000200) + std::vector<uint8_t>{1, 2, 0xFF, 0xFF};
    std::vector<uint8_t> liar = line_unit(one_file, cut);
    liar[0] = 0xF0, liar[1] = 0xFF;
    const struct {
        std::vector<uint8_t> line;
        std::vector<uint32_t> rows;  // address and file of each
        bool rows_known;
    } cases[] = {
        {line_unit(one_file, set_address(0x08000100) + std::vector<uint8_t>{4, 0, 1, 0, 0, 4, 1, 0x21, 0, 1, 1} +
                                 set_address(0) + std::vector<uint8_t>{1, 0x21, 0x21, 0, 1, 1}),
         {0x08000100, 0, 0x08000101, 1}, true},
        {line_unit(one_file, cut) + liar, {0x08000200, 1}, true},
        {line_unit(one_file, set_address(0x08000300) + std::vector<uint8_t>{40, 0x85, 0x01, 1}, 48), {0x08000300, 1}, true},
        {line_unit({1, 1, 0x08, 1, '/', 's', 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, set_address(0x08000400) + std::vector<uint8_t>{1}, 13, 5),
         {}, false},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& k = cases[i];
        const std::vector<uint8_t> img = dwarf_build::make_elf({{".debug_line", k.line}}, {});
        ElfDwarf* e = elf_dwarf_load_buffer(img.data(), (uint32_t)img.size());
        ASSERT_NE(e, nullptr) << i << ": " << elf_dwarf_error();
        std::vector<uint32_t> rows;
        for (uint32_t r = 0; r < e->line_count; ++r) rows.insert(rows.end(), {e->lines[r].address, e->lines[r].file_idx});
        if (k.rows_known) {
            EXPECT_EQ(rows, k.rows) << i;
        }
        EXPECT_LE(e->file_count, 2u) << i << ": a format of no bytes cannot make files without end";
        poke(e, i);
        elf_dwarf_free(e);
    }
}

// A unit of one function with locals "a", "lp" (a typedef of itself) and
// "ind" (its name by DW_FORM_indirect), then a unit with a global "g". The
// damage to "ind": 200000 chained indirections, the section cut after "in"
// (no NUL before its end), an exprloc of 4 GB instead of the name; each
// abandons its unit and keeps what came before.
TEST(VariablesMalformed, HostileEntriesAbandonOnlyTheirUnit) {
    using namespace dwarf_build;
    const struct {
        int damage;
        std::vector<std::string> at_f, index;
    } cases[] = {{-1, {"a", "lp", "ind"}, {"g", "a", "lp", "ind"}}, {0, {"a", "lp"}, {"g", "a", "lp"}},
                 {1, {"a", "lp"}, {"a", "lp"}}, {2, {"a", "lp"}, {"g", "a", "lp"}}};
    for (const auto& k : cases) {
        Bytes ab, info;
        abbrev(ab, 1, 0x11, true, {{A_name, F_string}, {A_low_pc, F_addr}, {A_high_pc, F_data4}});
        abbrev(ab, 2, 0x24, false, {{A_name, F_string}, {A_byte_size, F_data1}});
        abbrev(ab, 3, 0x2E, true, {{A_name, F_string}, {A_low_pc, F_addr}, {A_high_pc, F_data4}});
        abbrev(ab, 4, 0x34, false, {{A_name, F_string}, {A_type, F_ref4}, {A_location, F_exprloc}});
        abbrev(ab, 5, 0x34, false, {{A_name, F_indirect}, {A_type, F_ref4}, {A_location, F_exprloc}});
        abbrev(ab, 6, 0x16, false, {{A_name, F_string}, {A_type, F_ref4}});
        ab.u8(0);
        auto unit_head = [&](const char* file, uint32_t lo) {
            info.u32(0).u16(4).u32(0).u8(4).uleb(1).str(file).u32(lo).u32(0x100).uleb(2).str("int").u8(4);
            return info.size() - 6;  // the int
        };
        const uint32_t t_int = unit_head("a.c", 0x1000), t_loop = info.size();
        info.uleb(6).str("loop").u32(t_loop).uleb(3).str("f").u32(0x1000).u32(0x100);
        info.uleb(4).str("a").u32(t_int).block(Bytes().u8(0x50)).uleb(4).str("lp").u32(t_loop).block(Bytes().u8(0x51));
        const uint32_t form = info.size() + 1;
        info.uleb(5).uleb(F_string).str("ind").u32(t_int).block(Bytes().u8(0x52)).u8(0).u8(0);
        if (k.damage == 0) info.d.insert(info.d.begin() + form, 200000, (uint8_t)F_indirect);
        if (k.damage == 1) info.d.resize(form + 3);
        if (k.damage == 2) info.d[form] = F_exprloc, info.d.insert(info.d.begin() + form + 1, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F});
        info.put32(0, info.size() - 4);
        if (k.damage != 1) {
            const uint32_t u = info.size(), t = unit_head("b.c", 0x1200) - u;
            info.uleb(4).str("g").u32(t).block(op_addr(0x20000000)).u8(0);
            info.put32(u, info.size() - u - 4);
        }
        const std::vector<uint8_t> img = make_elf({{".debug_abbrev", ab.d}, {".debug_info", info.d}}, {{"f", 0x1000, 0x100}});
        ElfDwarf* e = elf_dwarf_load_buffer(img.data(), (uint32_t)img.size());
        ASSERT_TRUE(e) << elf_dwarf_error();
        std::vector<ElfVariable> v(16);
        std::vector<std::string> at_f, index;
        for (int i = 0, n = elf_dwarf_get_variables(e, 0x1000, v.data(), 16); i < n; ++i) at_f.push_back(v[i].name);
        for (int i = 0, n = elf_dwarf_get_all_variables(e, v.data(), 16); i < n; ++i) index.push_back(v[i].name);
        EXPECT_EQ(std::tie(at_f, index), std::tie(k.at_f, k.index)) << k.damage;
        poke(e, 1);
        elf_dwarf_free(e);
    }
}
