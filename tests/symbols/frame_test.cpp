// Call frame information against readelf's own interpretation of it.
#include <gtest/gtest.h>

#include <cctype>
#include <regex>
#include <sstream>
#include <string>

#include "symbols/dwarf_frame.h"
#include "tests/symbols/oracle.h"

namespace {

std::vector<uint8_t> section_bytes(const std::string& elf, const char* name) {
    std::string out = testing::TempDir() + "/frame_section.bin";
    run_capture("arm-none-eabi-objcopy --dump-section " + std::string(name) + "='" + out + "' '" + elf +
                "' /dev/null 2>/dev/null");
    return read_binary_file(out);
}

struct CfaRow {
    uint32_t loc, end;
    uint32_t reg;
    int32_t off;
    // The register columns: register number, and the offset from the CFA
    // where it is saved ("c-8"), or 1 where readelf says "u" (not saved).
    std::vector<std::pair<uint32_t, int32_t>> saved;
};

// "r4" -> 4, "ra" -> 14 (gcc's return-address column), else -1.
int column_reg(const std::string& name) {
    if (name == "ra" || name == "lr") return 14;
    if (name.size() > 1 && name[0] == 'r' && isdigit((unsigned char)name[1])) return std::stoi(name.substr(1));
    return -1;
}

// Every row of `readelf --debug-dump=frames-interp`, with the end of its range.
std::vector<CfaRow> readelf_rows(const std::string& elf) {
    std::vector<CfaRow> rows;
    std::istringstream in(run_capture("arm-none-eabi-readelf --debug-dump=frames-interp '" + elf + "' 2>/dev/null"));
    std::regex fde(R"(FDE cie=\w+ pc=([0-9a-f]+)\.\.([0-9a-f]+))"), row(R"(^([0-9a-f]{8}) r(\d+)\+(-?\d+))");
    std::string line;
    std::smatch m;
    uint32_t fde_end = 0;
    size_t fde_first = 0;
    bool in_fde = false;
    std::vector<int> columns;
    while (std::getline(in, line)) {
        if (line.find("   LOC   CFA") == 0) {
            columns.clear();
            std::istringstream hs(line.substr(12));
            for (std::string c; hs >> c;) columns.push_back(column_reg(c));
        } else if (line.find(" CIE") != std::string::npos) {
            in_fde = false;
        } else if (std::regex_search(line, m, fde)) {
            fde_end = (uint32_t)std::stoul(m[2], nullptr, 16);
            fde_first = rows.size();
            in_fde = true;
        } else if (in_fde && std::regex_search(line, m, row)) {
            // --gc-sections leaves the entries of dropped functions at 0, on top of each other.
            if (fde_first == rows.size() && m[1] == "00000000") {
                in_fde = false;
                continue;
            }
            uint32_t loc = (uint32_t)std::stoul(m[1], nullptr, 16);
            if (rows.size() > fde_first) rows.back().end = loc;
            CfaRow r{loc, fde_end, (uint32_t)std::stoul(m[2]), std::stoi(m[3]), {}};
            std::istringstream vs(line.substr(17));
            std::string v;
            for (size_t c = 0; c < columns.size() && vs >> v; ++c) {
                if (columns[c] >= 0) r.saved.push_back({(uint32_t)columns[c], v.rfind("c", 0) == 0 ? std::stoi(v.substr(1)) : 1});
            }
            rows.push_back(r);
        }
    }
    return rows;
}

}  // namespace

TEST(DwarfFrame, EveryRowReadelfInterpretsOfTheFixtures) {
    const char* images[] = {"demo_O0_line4.elf", "demo_O2_line4.elf", "newlib_line4.elf"};
    for (const char* name : images) {
        std::string elf = std::string(KORVANE_SYMBOL_FIXTURES) + "/" + name;
        std::vector<uint8_t> frame = section_bytes(elf, ".debug_frame");
        std::vector<CfaRow> rows = readelf_rows(elf);
        ASSERT_FALSE(frame.empty()) << name;
        ASSERT_GT(rows.size(), 8u) << name;
        int checked = 0;
        for (const CfaRow& r : rows)
            for (uint32_t pc : {r.loc, r.end - 2}) {
                if (pc < r.loc || pc >= r.end) continue;
                DwarfFrameRow got{};
                ASSERT_TRUE(dwarf_frame_row(frame.data(), (uint32_t)frame.size(), pc, &got)) << name << " pc " << std::hex << pc;
                EXPECT_EQ(got.cfa.reg, r.reg) << name << " pc " << std::hex << pc;
                EXPECT_EQ(got.cfa.offset, r.off) << name << " pc " << std::hex << pc;
                EXPECT_EQ(got.ra_reg, 14u);
                for (auto [reg, off] : r.saved) {
                    bool saved = off != 1;
                    EXPECT_EQ(got.kind[reg] == DWARF_REG_OFFSET, saved) << name << " pc " << std::hex << pc << " r" << reg;
                    if (saved) {
                        EXPECT_EQ(got.offset[reg], off) << name << " pc " << std::hex << pc << " r" << reg;
                    }
                }
                ++checked;
            }
        EXPECT_GT(checked, 12) << name;
        DwarfCfaRule none{};
        EXPECT_FALSE(dwarf_frame_cfa(frame.data(), (uint32_t)frame.size(), 0xFFFFFF00, &none)) << "no function there";
        // Cut anywhere, the section is read without reading past its end.
        for (size_t cut = 0; cut < frame.size(); cut += 7) {
            std::vector<uint8_t> part(frame.begin(), frame.begin() + (long)cut);
            (void)dwarf_frame_cfa(part.data(), (uint32_t)part.size(), rows[rows.size() / 2].loc, &none);
        }
    }
}

// A CFA offset that does not fit 32 bits once scaled by the data alignment
// (readelf: "DW_CFA_def_cfa_sf: r13 ofs -4294967296") leaves the entry
// unreadable; the same entry with a small offset reads.
TEST(DwarfFrame, AScaledOffsetPast32BitsMakesTheEntryUnreadable) {
    auto section = [](std::vector<uint8_t> offset_sleb) {
        // CIE: version 1, no augmentation, code align 2, data align -4, return address r14.
        std::vector<uint8_t> f = {12, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 2, 0x7C, 14, 0, 0, 0};
        std::vector<uint8_t> ins = {0x12, 13};  // DW_CFA_def_cfa_sf r13, the offset
        ins.insert(ins.end(), offset_sleb.begin(), offset_sleb.end());
        while ((ins.size() + 12) % 4) ins.push_back(0);  // DW_CFA_nop
        uint32_t len = (uint32_t)(12 + ins.size());
        std::vector<uint8_t> fde = {(uint8_t)len, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x10, 0, 0, 0x00, 0x01, 0, 0};
        fde.insert(fde.end(), ins.begin(), ins.end());
        f.insert(f.end(), fde.begin(), fde.end());
        return f;
    };
    DwarfCfaRule r{};
    std::vector<uint8_t> small = section({0x7E});  // -2 x -4 = 8
    ASSERT_TRUE(dwarf_frame_cfa(small.data(), (uint32_t)small.size(), 0x1010, &r));
    EXPECT_EQ(r.reg, 13u);
    EXPECT_EQ(r.offset, 8);
    std::vector<uint8_t> huge = section({0x80, 0x80, 0x80, 0x80, 0x04});  // 2^30 x -4
    EXPECT_FALSE(dwarf_frame_cfa(huge.data(), (uint32_t)huge.size(), 0x1010, &r));
}
