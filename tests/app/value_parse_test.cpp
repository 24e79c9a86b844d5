// Literals typed for an edit, by the type they are written into: the bytes
// they become, or their refusal; enumerators against the demo firmware's
// own enum as gcc emitted it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/value_parse.h"
#include "symbols/elf_dwarf.h"

namespace {

ValueType T(VarValueKind k, uint32_t size, bool is_signed = false, uint32_t bits = 0) {
    return ValueType{k, size, bits, is_signed, nullptr, nullptr};
}

constexpr uint64_t NO = 0xBAD;  // refused

// Per type, literals and the little-endian bytes they become, or NO.
TEST(ValueParse, LiteralsBecomeTheBytesOfTheirTypeOrAreRefused) {
    const struct {
        ValueType type;
        std::vector<std::pair<const char*, uint64_t>> cases;
    } types[] = {
        {T(VAR_VAL_UNSIGNED, 1), {{"255", 0xFF}, {"256", NO}, {"0xff", 0xFF}, {"0b101", 5}, {"017", 15},
                                   {"08", NO}, {"-1", NO}, {" 7u ", 7}}},
        {T(VAR_VAL_SIGNED, 1), {{"-128", 0x80}, {"-129", NO}, {"127", 0x7F}, {"128", NO}, {"0xFF", 0xFF}, {"0x100", NO}}},
        {T(VAR_VAL_UNSIGNED, 2), {{"65535", 0xFFFF}, {"65536", NO}}},
        {T(VAR_VAL_SIGNED, 4), {{"-2147483648", 0x80000000}, {"2147483648", NO}}},
        {T(VAR_VAL_UNSIGNED, 4), {{"4294967295", 0xFFFFFFFF}, {"0x100000000", NO}, {"12abc", NO}, {"", NO}, {"0x", NO}}},
        {T(VAR_VAL_SIGNED, 8), {{"-9223372036854775808", 0x8000000000000000ull}}},
        {T(VAR_VAL_UNSIGNED, 8), {{"18446744073709551615", ~0ull}, {"18446744073709551616", NO}}},
        {T(VAR_VAL_FLOAT, 4), {{"1.5", 0x3FC00000}, {"-2.5f", 0xC0200000}, {"3", 0x40400000}, {"1e39", NO}, {"one", NO}}},
        {T(VAR_VAL_FLOAT, 8), {{"0.1", 0x3FB999999999999Aull}}},
        {T(VAR_VAL_CHAR, 1, true), {{"'A'", 0x41}, {"'\\n'", 0x0A}, {"'\\0'", 0}, {"'\\x7f'", 0x7F}, {"'\\101'", 0x41},
                                    {"'\\''", 0x27}, {"-5", 0xFB}, {"'ab'", NO}, {"'\\q'", NO}}},
        {T(VAR_VAL_BOOL, 1), {{"true", 1}, {"false", 0}, {"1", 1}, {"2", NO}}},
        {T(VAR_VAL_UNSIGNED, 4, false, 3), {{"7", 7}, {"8", NO}}},  // a 3-bit field
        {T(VAR_VAL_UNSIGNED, 9), {{"1", NO}}},
    };
    for (const auto& ty : types)
        for (auto [text, bytes] : ty.cases) {
            SCOPED_TRACE(std::string(text) + " as " + std::to_string(ty.type.size) + " bytes, kind " +
                         std::to_string((int)ty.type.kind));
            uint8_t out[8];
            std::memset(out, 0xAA, sizeof out);
            char err[160] = "";
            ASSERT_EQ(value_parse(ty.type, text, out, err, sizeof err), bytes != NO) << err;
            EXPECT_TRUE(bytes != NO || err[0]) << "a refusal says why";
            for (uint32_t k = 0; k < 8; ++k)
                EXPECT_EQ(out[k], bytes == NO || k >= ty.type.size ? 0xAA : (uint8_t)(bytes >> (8 * k))) << "byte " << k;
        }
}

TEST(ValueParse, TheFirstTextOfAFieldReadsBackAsTheSameValue) {
    const struct {
        ValueType t;
        uint64_t v;
        const char* text;
    } cases[] = {
        {T(VAR_VAL_SIGNED, 1), 0xFB, "-5"},
        {T(VAR_VAL_UNSIGNED, 2), 0xFFFF, "65535"},
        {T(VAR_VAL_FLOAT, 4), 0x40490FD0, "3.14159012"},
        {T(VAR_VAL_BOOL, 1), 1, "true"},
        {T(VAR_VAL_CHAR, 1, true), 0x80, "-128"},
        {T(VAR_VAL_POINTER, 4), 0x20000010, "0x20000010"},
    };
    for (const auto& c : cases) {
        char text[64];
        value_literal(c.t, c.v, text, sizeof text);
        EXPECT_STREQ(text, c.text);
        uint8_t out[8] = {};
        ASSERT_TRUE(value_parse(c.t, text, out, nullptr, 0)) << text;
        uint64_t back = 0;
        for (uint32_t k = 0; k < c.t.size; ++k) back |= (uint64_t)out[k] << (8 * k);
        EXPECT_EQ(back, c.v) << text;
    }
}

// The demo's enum demo_mode, as gcc wrote it: every enumerator name the
// reader gives for a value is taken back as that value; other names are refused.
TEST(ValueParse, EnumeratorsByNameFromTheFirmwaresDebugInformation) {
    static ElfDwarf* elf = elf_dwarf_load(KORVANE_DEMO_FW_DIR "/demo_O0_dwarf4.elf");
    ASSERT_NE(elf, nullptr);
    static ElfVariable vars[512];
    const int n = elf_dwarf_get_all_variables(elf, vars, 512);
    const ElfVariable* mode = std::find_if(vars, vars + n, [](const ElfVariable& v) { return !strcmp(v.name, "g_mode"); });
    ASSERT_TRUE(mode < vars + n && mode->value_kind == VAR_VAL_ENUM);
    auto by_name = [](const void* m, const char* name, int64_t* v) {
        return elf_dwarf_enum_value(elf, ((const ElfVariable*)m)->type_unit, ((const ElfVariable*)m)->type_die, name, v);
    };
    const ValueType t{VAR_VAL_ENUM, mode->byte_size, 0, mode->value_signed, by_name, mode};
    char name[64], err[160] = "";
    uint8_t out[8] = {};
    int named = 0;
    for (uint64_t v = 0; v < 8; ++v) {
        if (!elf_dwarf_enum_name(elf, mode->type_unit, mode->type_die, v, name, sizeof name)) continue;
        ++named;
        EXPECT_TRUE(value_parse(t, name, out, nullptr, 0) && out[0] == v) << name;
    }
    EXPECT_GE(named, 3);
    EXPECT_FALSE(value_parse(t, "DEMO_MODE_NONESUCH", out, err, sizeof err));
    EXPECT_NE(std::string(err).find("no enumerator"), std::string::npos) << err;
    EXPECT_TRUE(value_parse(t, "2", out, nullptr, 0) && out[0] == 2) << "a number is taken too";
}

}  // namespace
