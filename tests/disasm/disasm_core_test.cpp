// The disassembler's own conventions, where objdump is no judge: the text
// columns, comments, the IT state carried across calls, literal pools found
// without mapping symbols, and symbols in branch comments.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "disasm/arm_disasm.h"
#include "disasm/disasm_decoders.h"

namespace {

struct Dis {
    ARMSTATE st;
    explicit Dis(int flags = 0, uint32_t at = 0x08000100) {
        disasm_init(&st, flags);
        disasm_address(&st, at);
    }
    ~Dis() { disasm_cleanup(&st); }
    std::string thumb(uint16_t hw, uint16_t hw2 = 0) {
        disasm_thumb(&st, hw, hw2);
        return disasm_result(&st, nullptr);
    }
};

}  // namespace

TEST(DisasmCore, LinesFollowTheColumnsAndComments) {
    EXPECT_EQ(Dis().thumb(0x4770), "bx      lr");
    Dis cols(DISASM_ADD_ADDR | DISASM_ADD_BIN, 0x08000100);
    EXPECT_EQ(cols.thumb(0xF7FF, 0xFFFE).substr(0, 24), "08000100    f7ff fffe   ");
    EXPECT_EQ(cols.thumb(0x4770), "08000104    4770        bx      lr");
    // A branch to itself: the target in seven digits, and marked as code.
    Dis self;
    EXPECT_EQ(self.thumb(0xE7FE), "b       0x8000100");
    EXPECT_EQ(lookup_address_type(&self.st, 0x08000100), DISASM_CODE);

    char list[64] = "";
    EXPECT_EQ(add_reglist(list, sizeof list, 0x400F), 5);
    EXPECT_STREQ(list, "{r0-r3, lr}");
    list[0] = 0;
    add_reglist(list, sizeof list, 0x4003);
    EXPECT_STREQ(list, "{r0, r1, lr}");
    char shift[16];
    decode_imm_shift(shift, sizeof shift, 3, 0);
    EXPECT_STREQ(shift, "rrx");

    // A comment that would overflow the line is cut and ends in " ...".
    Dis cut(DISASM_ADD_CMT | DISASM_ADD_ADDR | DISASM_ADD_BIN);
    std::string name(200, 'x');
    disasm_symbol(&cut.st, name.c_str(), 0x08000200, 2);
    std::string line = cut.thumb(0xF000, 0xF87E);  // bl 0x08000200
    EXPECT_LE(line.size(), 127u);
    EXPECT_EQ(line.substr(line.size() - 4), " ...");
}

TEST(DisasmCore, TheItStateCarriesAcrossCalls) {
    // itet eq; then moves under eq, ne, eq; the fourth is outside the block.
    Dis d;
    EXPECT_EQ(d.thumb(0xBF0A), "itet    eq");
    EXPECT_EQ(d.thumb(0x2001), "moveq   r0, #1");
    EXPECT_EQ(d.thumb(0x2002), "movne   r0, #2");
    EXPECT_EQ(d.thumb(0xF04F, 0x0003), "moveq   r0, #3");
    EXPECT_EQ(d.thumb(0x2004), "movs    r0, #4");
    // A value that does not decode (an empty push) is data, and still takes its slot.
    Dis u;
    EXPECT_EQ(u.thumb(0xBF1C), "itt     ne");
    EXPECT_FALSE(disasm_thumb(&u.st, 0xB400, 0));
    EXPECT_EQ(std::string(disasm_result(&u.st, nullptr)), ".hword  0xb400");
    EXPECT_EQ(u.st.size, 2);
    EXPECT_EQ(u.thumb(0x2001), "movne   r0, #1");
    EXPECT_EQ(u.thumb(0x2002), "movs    r0, #2");
}

TEST(DisasmCore, LiteralPoolsAreFoundWithoutMappingSymbols) {
    // ldr rN, [pc, #4] at 0x08000100 and at 0x08000102 both load 0x08000108
    // (the base is the instruction plus 4, aligned down); bne at 0x08000104
    // keeps the word after it as code; the literal shows as a word with its symbol.
    Dis d(DISASM_ADD_CMT);
    disasm_symbol(&d.st, "g_counter", 0x20000010, 0);
    EXPECT_EQ(d.thumb(0x4801).substr(0, 20), "ldr     r0, [pc, #4]");
    EXPECT_EQ(d.st.ldr_addr, 0x08000108u);
    EXPECT_EQ(d.thumb(0x4901).substr(0, 20), "ldr     r1, [pc, #4]");
    EXPECT_EQ(d.st.ldr_addr, 0x08000108u);
    d.thumb(0xD100);
    d.thumb(0x4770);
    EXPECT_EQ(d.thumb(0x0010, 0x2000), ".word   0x20000010      ; g_counter");
    EXPECT_EQ(d.st.size, 4);
    EXPECT_EQ(d.thumb(0x4770), "bx      lr");  // the pool ends with its word
    // Mapping symbols decide over guesses.
    disasm_symbol(&d.st, "$d", 0x08000300, 0);
    disasm_address(&d.st, 0x08000300);
    EXPECT_EQ(d.thumb(0x6548, 0x6c6c), ".word   0x6c6c6548      ; \"Hell\"");
}

TEST(DisasmCore, BranchesNameTheSymbolTheyHit) {
    Dis d(DISASM_ADD_CMT, 0x08000100);
    disasm_symbol(&d.st, "main", 0x08000200, 2);
    EXPECT_EQ(d.thumb(0xF000, 0xF87E), "bl      0x8000200       ; main");
    EXPECT_EQ(d.thumb(0xF000, 0xB87C), "b       0x8000200       ; main");
}

// Where our text follows the architecture rather than objdump: M-profile
// special registers (objdump: CPSR_f, PSR), shifts named as such (objdump:
// "mov.w r1, r1, lsl #2"), register runs as ranges, SVC (never SWI).
TEST(DisasmCore, TheArchitecturesNamesWhereObjdumpDiffers) {
    const struct {
        uint16_t hw, hw2;
        const char* text;
    } rows[] = {
        {0xF380, 0x8800, "msr     APSR_nzcvq, r0"}, {0xF3EF, 0x8003, "mrs     r0, XPSR"},
        {0xF382, 0x8C03, "msr     XPSR_nzcvqg, r2"}, {0xEA4F, 0x0181, "lsl     r1, r1, #2"},
        {0xEA4F, 0x0030, "rrx     r0, r0"},          {0xDF01, 0, "svc     #1"},
        {0xE92D, 0x4FF0, "push    {r4-fp, lr}"},
    };
    for (const auto& r : rows) EXPECT_EQ(Dis().thumb(r.hw, r.hw2), r.text);
}
