// Call frame information against readelf's own interpretation of it.
#include <gtest/gtest.h>

#include <string>

#include "symbols/dwarf_frame.h"
#include "tests/symbols/oracle.h"

TEST(DwarfFrame, EveryRowReadelfInterpretsOfTheFixtures) {
    const char* images[] = {"demo_O0_line4.elf", "demo_O2_line4.elf", "newlib_line4.elf"};
    for (const char* name : images) {
        std::string elf = std::string(KORVANE_SYMBOL_FIXTURES) + "/" + name;
        std::vector<uint8_t> frame = elf_section_bytes(elf, ".debug_frame");
        std::vector<CfaRow> rows = readelf_cfa_rows(elf);
        ASSERT_FALSE(frame.empty()) << name;
        ASSERT_GT(rows.size(), 8u) << name;
        int checked = 0;
        for (const CfaRow& r : rows)
            for (uint32_t pc : {r.loc, r.end - 2}) {
                if (pc < r.loc || pc >= r.end) continue;
                SCOPED_TRACE(testing::Message() << name << " pc " << std::hex << pc);
                DwarfFrameRow got{};
                ASSERT_TRUE(dwarf_frame_row(frame.data(), (uint32_t)frame.size(), pc, &got));
                EXPECT_EQ(std::make_pair(got.cfa.reg, got.cfa.offset), std::make_pair(r.reg, r.off));
                EXPECT_EQ(got.ra_reg, 14u);
                for (auto [reg, off] : r.saved) {
                    EXPECT_EQ(got.kind[reg] == DWARF_REG_OFFSET, off != 1) << "r" << reg;
                    EXPECT_TRUE(off == 1 || got.offset[reg] == off) << "r" << reg << " at " << got.offset[reg];
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
