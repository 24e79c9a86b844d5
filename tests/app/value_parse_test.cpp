// Literals typed for an edit, by the type they are written into: the bytes
// they become, or their refusal; enumerators against the demo firmware's
// own enum as gcc emitted it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/value_parse.h"
#include "symbols/elf_dwarf.h"

namespace {

ValueType T(VarValueKind k, uint32_t size, bool is_signed = false, uint32_t bits = 0) {
    return ValueType{k, size, bits, is_signed, nullptr, nullptr};
}

struct Case {
    ValueType type;
    const char* text;
    bool ok;
    uint64_t bytes;  // little-endian, the type's size
};

TEST(ValueParse, LiteralsBecomeTheBytesOfTheirTypeOrAreRefused) {
    const ValueType u8 = T(VAR_VAL_UNSIGNED, 1), i8 = T(VAR_VAL_SIGNED, 1), u16 = T(VAR_VAL_UNSIGNED, 2),
                    i32 = T(VAR_VAL_SIGNED, 4), u32 = T(VAR_VAL_UNSIGNED, 4), i64 = T(VAR_VAL_SIGNED, 8),
                    u64 = T(VAR_VAL_UNSIGNED, 8), f32 = T(VAR_VAL_FLOAT, 4), f64 = T(VAR_VAL_FLOAT, 8),
                    ch = T(VAR_VAL_CHAR, 1, true), bl = T(VAR_VAL_BOOL, 1), field3 = T(VAR_VAL_UNSIGNED, 4, false, 3);
    const Case cases[] = {
        {u8, "255", true, 0xFF},
        {u8, "256", false, 0},
        {u8, "0xff", true, 0xFF},
        {u8, "0b101", true, 5},
        {u8, "017", true, 15},
        {u8, "08", false, 0},
        {u8, "-1", false, 0},
        {u8, " 7u ", true, 7},
        {i8, "-128", true, 0x80},
        {i8, "-129", false, 0},
        {i8, "127", true, 0x7F},
        {i8, "128", false, 0},
        {i8, "0xFF", true, 0xFF},  // hex spells the bits
        {i8, "0x100", false, 0},
        {u16, "65535", true, 0xFFFF},
        {u16, "65536", false, 0},
        {i32, "-2147483648", true, 0x80000000},
        {i32, "2147483648", false, 0},
        {u32, "4294967295", true, 0xFFFFFFFF},
        {u32, "0x100000000", false, 0},
        {u32, "12abc", false, 0},
        {u32, "", false, 0},
        {u32, "0x", false, 0},
        {i64, "-9223372036854775808", true, 0x8000000000000000ull},
        {u64, "18446744073709551615", true, ~0ull},
        {u64, "18446744073709551616", false, 0},
        {f32, "1.5", true, 0x3FC00000},
        {f32, "-2.5f", true, 0xC0200000},
        {f32, "3", true, 0x40400000},
        {f32, "1e39", false, 0},
        {f32, "one", false, 0},
        {f64, "0.1", true, 0x3FB999999999999Aull},
        {ch, "'A'", true, 0x41},
        {ch, "'\\n'", true, 0x0A},
        {ch, "'\\0'", true, 0},
        {ch, "'\\x7f'", true, 0x7F},
        {ch, "'\\101'", true, 0x41},
        {ch, "'\\''", true, 0x27},
        {ch, "-5", true, 0xFB},
        {ch, "'ab'", false, 0},
        {ch, "'\\q'", false, 0},
        {bl, "true", true, 1},
        {bl, "false", true, 0},
        {bl, "1", true, 1},
        {bl, "2", false, 0},
        {field3, "7", true, 7},
        {field3, "8", false, 0},
        {T(VAR_VAL_UNSIGNED, 9), "1", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " as " + std::to_string(c.type.size) + " bytes, kind " +
                     std::to_string((int)c.type.kind));
        uint8_t out[8];
        std::memset(out, 0xAA, sizeof out);
        char err[160] = "";
        bool ok = value_parse(c.type, c.text, out, err, sizeof err);
        ASSERT_EQ(ok, c.ok) << err;
        if (!ok) {
            EXPECT_NE(err[0], 0) << "a refusal says why";
            for (uint8_t b : out) EXPECT_EQ(b, 0xAA) << "nothing written on a refusal";
            continue;
        }
        for (uint32_t k = 0; k < c.type.size; ++k) EXPECT_EQ(out[k], (uint8_t)(c.bytes >> (8 * k))) << "byte " << k;
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
    ElfDwarf* elf = elf_dwarf_load(KORVANE_DEMO_FW_DIR "/demo_O0_dwarf4.elf");
    ASSERT_NE(elf, nullptr);
    static ElfVariable vars[512];
    int n = elf_dwarf_get_all_variables(elf, vars, 512);
    const ElfVariable* mode = nullptr;
    for (int i = 0; i < n; ++i)
        if (std::string(vars[i].name) == "g_mode") mode = &vars[i];
    ASSERT_NE(mode, nullptr);
    ASSERT_EQ(mode->value_kind, VAR_VAL_ENUM);
    struct Lookup {
        const ElfDwarf* elf;
        const ElfVariable* var;
    } lk{elf, mode};
    auto by_name = [](const void* u, const char* name, int64_t* v) {
        const Lookup* l = (const Lookup*)u;
        return elf_dwarf_enum_value(l->elf, l->var->type_unit, l->var->type_die, name, v);
    };
    ValueType t{VAR_VAL_ENUM, mode->byte_size, 0, mode->value_signed, by_name, &lk};
    int named = 0;
    for (uint64_t v = 0; v < 8; ++v) {
        char name[64];
        if (!elf_dwarf_enum_name(elf, mode->type_unit, mode->type_die, v, name, sizeof name)) continue;
        ++named;
        uint8_t out[8] = {};
        ASSERT_TRUE(value_parse(t, name, out, nullptr, 0)) << name;
        EXPECT_EQ(out[0], v) << name;
    }
    EXPECT_GE(named, 3);
    uint8_t out[8] = {};
    char err[160];
    EXPECT_FALSE(value_parse(t, "DEMO_MODE_NONESUCH", out, err, sizeof err));
    EXPECT_NE(std::string(err).find("no enumerator"), std::string::npos) << err;
    EXPECT_TRUE(value_parse(t, "2", out, nullptr, 0)) << "a number is taken too";
    EXPECT_EQ(out[0], 2);
    elf_dwarf_free(elf);
}

}  // namespace
