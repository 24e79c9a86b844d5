// The Thumb classifier against objdump over every instruction of newlib's
// libc.a (three multilibs), a linked program and the demo firmware (its
// fault handlers hold UDFs), plus the encodings no compiler emits.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "disasm/thumb2_disasm.h"
#include "tests/symbols/oracle.h"

namespace {

bool is_cond(const std::string& s) {
    static const std::string conds = " eq ne cs hs cc lo mi pl vs vc hi ls ge lt gt le al ";
    return s.size() == 2 && conds.find(" " + s + " ") != std::string::npos;
}

// Counted: instructions, calls, returns, branches, IT, UDF, branch targets.
struct Tally {
    long insns = 0, calls = 0, returns = 0, branches = 0, its = 0, udfs = 0, targets = 0;
    auto all() const { return std::array{insns, calls, returns, branches, its, udfs, targets}; }
};

// linked: every direct branch's shown target is the encoding's (in an object
// file a branch to another function is a relocation, shown as the symbol).
void check(const ObjdumpInsn& in, Tally* t, bool linked) {
    ASSERT_EQ(thumb2_insn_len(in.code), in.len) << std::hex << in.addr << " " << in.mnem;
    ++t->insns;
    const uint32_t cls = thumb2_classify(in.addr, in.code);
    std::string m = in.mnem.substr(0, in.mnem.find('.'));
    // Inside an IT block objdump appends the condition: popeq, bleq, bxne, ldmiacs...
    static const std::set<std::string> kStems = {"pop", "bl", "blx", "bx", "ldmia", "ldm", "mov", "ldr", "svc", "bkpt", "b"};
    if (!(m.size() == 3 && m[0] == 'b' && is_cond(m.substr(1))) && m.size() > 3 && is_cond(m.substr(m.size() - 2)) &&
        kStems.count(m.substr(0, m.size() - 2)))
        m.resize(m.size() - 2);
    auto target_is = [&](const std::string& shown) {
        EXPECT_EQ(thumb2_branch_target(in.addr, in.code), (uint32_t)strtoul(shown.c_str(), nullptr, 16));
        ++t->targets;
    };
    SCOPED_TRACE(in.mnem + " " + in.ops);
    if (m == "bl" || m == "blx") {
        EXPECT_TRUE(cls & T2_CLASS_CALL);
        ++t->calls;
        if (m == "bl" && linked) target_is(in.ops);
    } else if (m.rfind("bx", 0) == 0 && (m.size() == 2 || is_cond(m.substr(2)))) {
        EXPECT_EQ(cls, in.ops == "lr" ? (uint32_t)T2_CLASS_RETURN : (uint32_t)T2_CLASS_BRANCH);
        t->returns += in.ops == "lr";
    } else if ((m == "pop" || m == "ldmia" || m == "ldm") && in.ops.find("pc}") != std::string::npos) {
        EXPECT_EQ(cls, (uint32_t)T2_CLASS_RETURN);  // POP, POP.W and LDM.W (increment after) with PC
        ++t->returns;
    } else if (m == "b" || (m.size() == 3 && m[0] == 'b' && is_cond(m.substr(1)))) {
        // Inside an IT block a conditional-looking branch is the unconditional encoding.
        EXPECT_TRUE(cls & (T2_CLASS_BRANCH | T2_CLASS_CBRANCH));
        EXPECT_TRUE(m != "b" || !(cls & T2_CLASS_CBRANCH));
        if (linked || in.ops.find("+0x") != std::string::npos) target_is(in.ops);
        ++t->branches;
    } else if (m == "cbz" || m == "cbnz") {
        EXPECT_EQ(cls, (uint32_t)T2_CLASS_CBRANCH);
        target_is(in.ops.substr(in.ops.find(", ") + 2));
        ++t->branches;
    } else if (m.rfind("it", 0) == 0 && m.size() <= 5 && m.find_first_not_of("ite") == std::string::npos) {
        EXPECT_EQ(cls, (uint32_t)T2_CLASS_IT);
        ++t->its;
    } else if (m == "udf" && in.len == 2) {
        // Its condition field reads 1110: never a branch of any kind.
        EXPECT_FALSE(cls & (T2_CLASS_BRANCH | T2_CLASS_CBRANCH | T2_CLASS_CALL | T2_CLASS_RETURN));
        ++t->udfs;
    } else if (m == "wfi" || m == "wfe" || m == "bkpt" || m == "svc" || m == "dsb" || m == "dmb" || m == "isb") {
        EXPECT_EQ(cls, m == "wfi" ? T2_CLASS_WFI : m == "wfe" ? T2_CLASS_WFE : m == "bkpt" ? T2_CLASS_BKPT
                       : m == "svc" ? T2_CLASS_SVCALL : T2_CLASS_BARRIER);
    } else if (!(in.len == 4 && (m == "msr" || m == "mrs" || m == "udf" || m == "cpsie" || m == "cpsid" ||
                                 m == "sev" || m == "yield" || m == "nop" || m == "clrex"))) {
        // The 32-bit miscellaneous-control space is taken as a branch (no claim
        // there); everything else falls through, loads of the PC included.
        EXPECT_EQ(cls, (uint32_t)T2_CLASS_NORMAL);
    }
}

struct Image {
    const char* path;
    bool linked;
    Tally least;
};

const std::string kLib = "/usr/lib/arm-none-eabi/newlib/thumb/", kFix = KORVANE_SYMBOL_FIXTURES "/";
const Image kImages[] = {
    {"v6-m/nofp/libc.a", false, {20000, 1000, 500, 2000, 0, 0, 0}},
    {"v7-m/nofp/libc.a", false, {20000, 1000, 500, 2000, 100, 0, 0}},
    {"v7e-m+fp/hard/libc.a", false, {20000, 1000, 500, 2000, 100, 0, 0}},
    {"newlib_line5.elf", true, {5000, 200, 100, 500, 10, 0, 1000}},
    {"demo_O2_line4.elf", true, {200, 5, 5, 20, 0, 2, 40}},
};

void PrintTo(const Image& i, std::ostream* os) { *os << i.path; }
class Thumb2Oracle : public testing::TestWithParam<Image> {};

}  // namespace

TEST_P(Thumb2Oracle, EveryInstructionAsObjdumpShowsIt) {
    const Image& img = GetParam();
    Tally t;
    for (const ObjdumpInsn& insn : objdump_insns((strstr(img.path, ".a") ? kLib : kFix) + img.path)) {
        check(insn, &t, img.linked);
        if (HasFatalFailure()) return;
    }
    for (int i = 0; i < 7; ++i) EXPECT_GE(t.all()[i], img.least.all()[i]) << "count " << i;
}

INSTANTIATE_TEST_SUITE_P(Newlib, Thumb2Oracle, testing::ValuesIn(kImages), [](const auto& i) {
    std::string n = i.param.path;
    for (char& c : n) c = isalnum((unsigned char)c) ? c : '_';
    return n;
});

// Encodings outside the sweep: loops to themselves, MRS (no target), B.W to
// itself, a backward BL, UDF; IT blocks' reach by their mask (a failing
// reader takes 16-bit instructions); the text line.
TEST(Thumb2Rules, CornerCases) {
    const struct {
        uint16_t w0, w1;
        uint32_t cls, target;
    } cases[] = {
        {0xE7FE, 0, T2_CLASS_BRANCH | T2_CLASS_SELF_LOOP, 0x1000}, {0xDEFF, 0, T2_CLASS_NORMAL, 0},
        {0xF3EF, 0x8000, T2_CLASS_BRANCH, 0},                      {0xF7FF, 0xBFFE, T2_CLASS_BRANCH | T2_CLASS_SELF_LOOP, 0x1000},
        {0xF7FF, 0xFFF0, T2_CLASS_BRANCH | T2_CLASS_CALL, 0x1000 + 4 - 0x20},
    };
    for (const auto& k : cases) {
        const uint8_t c[4] = {(uint8_t)k.w0, (uint8_t)(k.w0 >> 8), (uint8_t)k.w1, (uint8_t)(k.w1 >> 8)};
        EXPECT_EQ(thumb2_classify(0x1000, c), k.cls) << std::hex << k.w0;
        if (k.cls & (T2_CLASS_BRANCH | T2_CLASS_CALL)) {
            EXPECT_EQ(thumb2_branch_target(0x1000, c), k.target) << std::hex << k.w0;
        }
    }
    auto read_fails = [](uint32_t, uint8_t*, uint32_t, void*) { return false; };
    for (auto [mask, n] : {std::pair{0x8, 1}, {0x4, 2}, {0x2, 3}, {0x1, 4}}) {
        uint8_t it[4] = {(uint8_t)mask, 0xBF, 0, 0};
        EXPECT_EQ(thumb2_it_block_len(0x1000, it, read_fails, nullptr), 2 + 2 * n);
    }
    char buf[96];
    uint8_t nop[4] = {0x00, 0xBF, 0, 0}, bl[4] = {0xFF, 0xF7, 0xF0, 0xFF};
    int len = 0;
    EXPECT_STREQ(thumb2_disasm(0x1000, nop, buf, 1, &len, nullptr, nullptr), "");
    EXPECT_EQ(len, 2);
    EXPECT_STREQ(thumb2_disasm(0x1000, nop, nullptr, 0, nullptr, nullptr, nullptr), "");
    EXPECT_STREQ(thumb2_disasm(0x08001000, bl, buf, sizeof buf, &len, nullptr, nullptr), "bl      0x8000fe4");
    EXPECT_EQ(len, 4);
}
