// Call frame information against readelf's own interpretation of it.
#include <gtest/gtest.h>

#include <string>

#include "symbols/dwarf_frame.h"
#include "tests/symbols/oracle.h"

TEST(DwarfFrame, EveryRowReadelfInterpretsOfTheFixtures) {
    for (const char* name : {"demo_O0_line4.elf", "demo_O2_line4.elf", "newlib_line4.elf"}) {
        const std::string elf = std::string(KORVANE_SYMBOL_FIXTURES) + "/" + name;
        const std::vector<uint8_t> frame = elf_section_bytes(elf, ".debug_frame");
        const std::vector<CfaRow> rows = readelf_cfa_rows(elf);
        ASSERT_TRUE(!frame.empty() && rows.size() > 8) << name;
        int checked = 0;
        for (const CfaRow& r : rows)
            for (uint32_t pc : {r.loc, r.end - 2}) {
                if (pc < r.loc || pc >= r.end) continue;
                SCOPED_TRACE(testing::Message() << name << " pc " << std::hex << pc);
                DwarfFrameRow got{};
                ASSERT_TRUE(dwarf_frame_row(frame.data(), (uint32_t)frame.size(), pc, &got));
                EXPECT_EQ(std::make_pair(got.cfa.reg, got.cfa.offset), std::make_pair(r.reg, r.off));
                EXPECT_EQ(got.ra_reg, 14u);
                for (auto [reg, off] : r.saved)  // off 1: not saved
                    EXPECT_EQ(got.kind[reg] == DWARF_REG_OFFSET ? got.offset[reg] : 1, off) << "r" << reg;
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
    for (auto [sleb, ok] :
         {std::pair<std::vector<uint8_t>, bool>{{0x7E, 0, 0, 0, 0, 0}, true}, {{0x80, 0x80, 0x80, 0x80, 0x04, 0}, false}}) {
        // CIE: version 1, no augmentation, code align 2, data align -4, return address r14; then an FDE
        // for 0x1000..0x1100 of DW_CFA_def_cfa_sf r13 and the offset (-2 or 2^30, times -4), padded.
        std::vector<uint8_t> f = {12, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 2, 0x7C, 14, 0, 0, 0,
                                  20, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x10, 0, 0, 0x00, 0x01, 0, 0, 0x12, 13};
        f.insert(f.end(), sleb.begin(), sleb.end());
        DwarfCfaRule r{};
        EXPECT_EQ(dwarf_frame_cfa(f.data(), (uint32_t)f.size(), 0x1010, &r), ok);
        EXPECT_TRUE(!ok || (r.reg == 13 && r.offset == 8));
    }
}
