// The SVD reader on real vendor files (checked against xmllint and a
// python walk of the same XML), the merge of a core file, and
// hostile documents (these run under AddressSanitizer and UBSan).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

#include "symbols/svd.h"
#include "tests/symbols/oracle.h"

namespace {

using DevPtr = std::unique_ptr<SvdDevice, void (*)(SvdDevice*)>;
DevPtr own(SvdDevice* d) { return DevPtr(d, svd_free); }
DevPtr parse(const std::string& s) { return own(svd_load_buffer(s.data(), (uint32_t)s.size())); }
std::string device(const std::string& periphs) { return "<device><peripherals>" + periphs + "</peripherals></device>"; }
std::string data_file(const char* n) { return std::string(KORVANE_SHARED_DATA) + "/svd/" + n; }

// A peripheral of a device or a register of a peripheral by its name.
template <typename T>
auto find(T* items, uint32_t n, const std::string& name) {
    for (T& x : std::span(items, n))
        if (name == x.name) return &x;
    return (T*)nullptr;
}
const SvdPeripheral* periph(const SvdDevice* d, const std::string& name) { return find(d->periphs, d->periph_count, name); }
const SvdRegister* reg(const SvdPeripheral* p, const std::string& name) { return find(p->regs, p->reg_count, name); }

template <typename... A>
std::string fmt(const char* f, A... a) {
    char b[256];
    snprintf(b, sizeof b, f, a...);
    return b;
}

// "P name base count" lines, each register under it with "field:offset:width".
std::string dump(const SvdDevice* d) {
    std::string s;
    for (const SvdPeripheral& p : std::span(d->periphs, d->periph_count)) {
        s += fmt("P %s 0x%08x %u\n", p.name, p.base_address, p.reg_count);
        for (const SvdRegister& r : std::span(p.regs, p.reg_count)) {
            s += fmt("  %s 0x%08x 0x%08x", r.name, r.address, r.reset_value);
            for (const SvdField& f : std::span(r.fields, r.field_count)) s += fmt(" %s:%u:%u", f.name, f.bit_offset, f.bit_width);
            s += "\n";
        }
    }
    return s;
}

std::string dumped_doc(const std::string& doc) {
    DevPtr d = parse(doc);
    return d ? dump(d.get()) : std::string("null: ") + svd_error();
}
std::string dumped(const std::string& periphs) { return dumped_doc(device(periphs)); }

// Every vendor file: each register, address, reset value and field as the
// python walk of the same XML has them, as many peripherals as xmllint counts;
// a file without peripherals (a core's) or empty fails with its reason.
TEST(SvdRealFiles, EveryFileAgreesWithPythonAndXmllint) {
    int read = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KORVANE_SHARED_DATA "/svd")) {
        const std::string path = entry.path().string();
        SCOPED_TRACE(path);
        DevPtr d = own(svd_load(path.c_str()));
        const std::string count = xpath("count(/device/peripherals/peripheral)", path);
        if (count.empty() || count == "0") {
            EXPECT_FALSE(d);
            EXPECT_STREQ(svd_error(), count.empty() ? "[SVD] XML error at byte 0: No document element found"
                                                    : "No peripherals found — check SVD format");
            continue;
        }
        ASSERT_TRUE(d) << svd_error();
        EXPECT_EQ(std::to_string(svd_peripheral_count(d.get())), count);
        EXPECT_EQ(dump(d.get()), svd_walk(path));
        ++read;
    }
    EXPECT_GE(read, 8);
}

// Lookups and field decodes on two of them; USART2 declares no registers and
// gets copies of USART6's fields; of two registers at one address the first wins.
TEST(SvdRealFiles, LookupsAndDecodes) {
    DevPtr f4 = own(svd_load(data_file("STM32F407.svd").c_str())), arm = own(svd_load(data_file("ARM_Example.svd").c_str()));
    if (!f4 || !arm) GTEST_SKIP() << "shared data absent";
    EXPECT_NE(reg(periph(f4.get(), "USART2"), "SR")->fields, reg(periph(f4.get(), "USART6"), "SR")->fields);
    SvdLocation loc;
    ASSERT_TRUE(svd_lookup(f4.get(), 0x40020000, &loc));
    EXPECT_STREQ(loc.full, "GPIOA->MODER");
    ASSERT_TRUE(svd_lookup(arm.get(), 0x40010028, &loc));
    EXPECT_STREQ(loc.full, "TIMER0->PRESCALE_RD");
    SvdFieldValue fv[20];
    ASSERT_EQ(svd_decode_fields(f4.get(), 0x40020000, 0xA8000000, fv, 20), 16);
    EXPECT_STREQ(fv[0].field, "MODER15");
    EXPECT_EQ(fv[0].lsb * 100 + fv[0].msb * 10 + fv[0].value, 30u * 100 + 31 * 10 + 2);
    EXPECT_EQ(svd_decode_fields(f4.get(), 0x40020000, 0xA8000000, fv, 3), 3);
    ASSERT_EQ(svd_decode_fields(arm.get(), 0x40010100, 0x50, fv, 16), 12);  // TIMER1 CR
    EXPECT_STREQ(fv[3].field, "MODE");
    EXPECT_EQ(fv[3].value, 5u);
}

TEST(SvdRealFiles, FailuresCarryTheirTexts) {
    const std::string big = testing::TempDir() + "/svd_too_big.svd";
    ASSERT_TRUE(write_text_file(big, ""));
    std::filesystem::resize_file(big, 300 << 20);  // sparse: no disk used
    for (auto [path, why] : {std::pair<std::string, const char*>{"/nonexistent/x.svd", "Cannot open SVD file"},
                             {testing::TempDir(), "Cannot determine SVD file size"}, {big, "[SVD] File larger than 256 MiB"}}) {
        EXPECT_FALSE(own(svd_load(path.c_str()))) << why;
        EXPECT_STREQ(svd_error(), why);
    }
    remove(big.c_str());
    EXPECT_FALSE(own(svd_load_buffer(nullptr, 10)));
}

// A core file's peripherals: a register of one the vendor has replaces its
// fields by name and keeps the rest, a new register joins it; new peripherals
// are appended, as copies.
TEST(SvdMerge, CoreFileIntoStm32f407) {
    DevPtr v = own(svd_load(data_file("STM32F407.svd").c_str()));
    if (!v) GTEST_SKIP() << "shared data absent";
    DevPtr core = parse(device(R"(
      <peripheral><name>SCB</name><baseAddress>0xE000ED00</baseAddress><registers>
        <register><name>CPUID</name><addressOffset>0</addressOffset><resetValue>0x410FC241</resetValue></register></registers></peripheral>
      <peripheral><name>DBG</name><baseAddress>0xE0042000</baseAddress><registers>
        <register><name>DBGMCU_IDCODE</name><addressOffset>0x10</addressOffset><resetValue>0x12345678</resetValue>
          <fields><field><name>DEV_ID</name><bitRange>[15:0]</bitRange></field>
                  <field><name>CORE</name><bitRange>[31:28]</bitRange></field></fields></register>
        <register><name>DBGMCU_EXTRA</name><addressOffset>0x20</addressOffset></register></registers></peripheral>)"));
    ASSERT_TRUE(core) << svd_error();
    const long dbg_index = periph(v.get(), "DBG") - v->periphs;
    const uint32_t dbg_regs = periph(v.get(), "DBG")->reg_count;
    ASSERT_TRUE(svd_merge(v.get(), core.get()));
    core.reset();  // what was taken over must be copies
    ASSERT_EQ(svd_peripheral_count(v.get()), 76 + 1);
    const SvdPeripheral* dbg = &v->periphs[dbg_index];  // updated in place
    SvdPeripheral idcode = {"DBG", 0, 0, const_cast<SvdRegister*>(reg(dbg, "DBGMCU_IDCODE")), 1};
    SvdDevice view = {&idcode, 1, 1};
    EXPECT_EQ(dump(&view), "P DBG 0x00000000 1\n  DBGMCU_IDCODE 0xe0042010 0x12345678 DEV_ID:0:16 REV_ID:16:16 CORE:28:4\n");
    EXPECT_EQ(std::make_tuple(dbg->source, dbg->reg_count, reg(dbg, "DBGMCU_CR")->address, reg(dbg, "DBGMCU_EXTRA")->address),
              std::make_tuple(1, dbg_regs + 1, 0xE0042004u, 0xE0042020u));
    EXPECT_EQ(std::make_tuple(std::string(v->periphs[76].name), v->periphs[76].source, reg(&v->periphs[76], "CPUID")->reset_value),
              std::make_tuple(std::string("SCB"), 1, 0x410FC241u));
    EXPECT_EQ(periph(v.get(), "RNG")->source, 0);
    EXPECT_FALSE(svd_merge(nullptr, v.get()));
    EXPECT_FALSE(svd_merge(v.get(), v.get()));
}

TEST(SvdRules, DocumentsDumpAsTheirRulesSay) {
    const struct {
        const char* what;
        std::string doc;
        std::string dump;
    } cases[] = {
        {"dim arrays, number forms, the three bit-position forms, a name cut at 63", R"(<peripheral><name>P</name><baseAddress>0x40000000</baseAddress><registers>
      <register><name>DR[%s]</name><addressOffset>16</addressOffset><dim>2</dim><dimIncrement>8</dimIncrement>
        <resetValue>#1010</resetValue><fields><field><name>F</name><bitRange>[7:4]</bitRange></field></fields></register>
      <register><name>PIN%s_CFG</name><addressOffset>0x100</addressOffset><dim>2</dim></register>
      <register><name>X</name><addressOffset>0X200</addressOffset><dim>1</dim><resetValue> 12abc </resetValue></register>
      <register><name>N</name><resetValue>0x1FFFFFFFF</resetValue><addressOffset>#12</addressOffset><fields>
        <field><name>LM</name><lsb>4</lsb><msb>7</msb></field><field><name>ML</name><msb>7</msb><lsb>4</lsb></field>
        <field><name>OW</name><bitOffset>28</bitOffset><bitWidth>4</bitWidth></field>
        <field><name>ALL</name><bitRange>[31:0]</bitRange></field><field><name>ONE</name><bitOffset>3</bitOffset></field>
      </fields></register>
      <register><name>)" + std::string(70, 'A') + R"(</name></register></registers></peripheral>)",
         "P P 0x40000000 7\n  DR0 0x40000010 0x0000000a F:4:4\n  DR1 0x40000018 0x0000000a F:4:4\n"
         "  PIN0_CFG 0x40000100 0x00000000\n  PIN1_CFG 0x40000104 0x00000000\n  X0 0x40000200 0x0000000c\n"
         "  N 0x40000001 0xffffffff LM:4:4 ML:4:4 OW:28:4 ALL:0:32 ONE:3:1\n  " + std::string(63, 'A') + " 0x40000000 0x00000000\n"},
        {"clusters flatten with joined names, nested and dimmed", R"(<peripheral><name>P</name><baseAddress>0x1000</baseAddress><registers>
      <cluster><name>OUT[%s]</name><dim>2</dim><dimIncrement>0x100</dimIncrement><addressOffset>0x400</addressOffset>
        <register><name>A</name><resetValue>7</resetValue></register>
        <cluster><name>IN[%s]</name><dim>2</dim><dimIncrement>0x10</dimIncrement><addressOffset>0x40</addressOffset>
          <register><name>B</name><addressOffset>4</addressOffset></register></cluster>
        <register><name>C</name><addressOffset>8</addressOffset></register></cluster>
      <register><name>AFTER</name><addressOffset>0x800</addressOffset></register></registers></peripheral>)",
         "P P 0x00001000 9\n  OUT0_A 0x00001400 0x00000007\n  OUT0_IN0_B 0x00001444 0x00000000\n"
         "  OUT0_IN1_B 0x00001454 0x00000000\n  OUT0_C 0x00001408 0x00000000\n  OUT1_A 0x00001500 0x00000007\n"
         "  OUT1_IN0_B 0x00001544 0x00000000\n  OUT1_IN1_B 0x00001554 0x00000000\n  OUT1_C 0x00001508 0x00000000\n"
         "  AFTER 0x00001800 0x00000000\n"},
        {"dimIndex: a list, a number range or a letter range; an element the list does not name is numbered", R"(<peripheral><name>P</name><baseAddress>0x1000</baseAddress><registers>
      <register><name>%s_CR</name><dim>2</dim><dimIndex>SCLK, SS</dimIndex></register><register><name>R[%s]</name><dim>2</dim>
        <dimIndex>3-6</dimIndex></register><register><name>L%s</name><dim>2</dim><dimIndex>A-D</dimIndex></register>
        <register><name>S%s</name><dim>3</dim><dimIndex>X,Y</dimIndex></register></registers></peripheral>)",
         "P P 0x00001000 9\n  SCLK_CR 0x00001000 0x00000000\n  SS_CR 0x00001004 0x00000000\n  R3 0x00001000 0x00000000\n"
         "  R4 0x00001004 0x00000000\n  LA 0x00001000 0x00000000\n  LB 0x00001004 0x00000000\n  SX 0x00001000 0x00000000\n"
         "  SY 0x00001004 0x00000000\n  S2 0x00001008 0x00000000\n"},
        {"a peripheral array named by dimIndex; one derived from an instance takes that instance's registers", R"(<peripheral><name>UART%s</name><dim>2</dim><dimIncrement>0x400</dimIncrement>
        <dimIndex>4,7</dimIndex><baseAddress>0x40004000</baseAddress><registers><register><name>DR</name><addressOffset>4</addressOffset>
        </register></registers></peripheral>
      <peripheral derivedFrom="UART7"><name>UART9</name><baseAddress>0x40005000</baseAddress></peripheral>)",
         "P UART4 0x40004000 1\n  DR 0x40004004 0x00000000\nP UART7 0x40004400 1\n  DR 0x40004404 0x00000000\n"
         "P UART9 0x40005000 1\n  DR 0x40005004 0x00000000\n"},
    };
    for (const auto& k : cases) EXPECT_EQ(dumped(k.doc), k.dump) << k.what;
}

std::string rep(const std::string& s, int n) {
    std::string out;
    while (n-- > 0) out += s;
    return out;
}

// Documents made to crash, hang, exhaust memory or pass as a device: each is
// refused with its reason or read within its bounds (these run under
// AddressSanitizer and UBSan). A wanted text starting "null: " is the error's start.
TEST(SvdHostile, DocumentsRefusedOrReadWithinBounds) {
    const std::string reg = "<peripheral><name>P</name><registers><register><name>R</name>", end = "</registers></peripheral>";
    auto nested = [](int depth, bool with_reg) {
        return "<peripheral><name>P</name><registers>" + rep("<cluster><name>C</name><dim>1024</dim>", depth) +
               (with_reg ? "<register><name>R</name></register>" : "") + rep("</cluster>", depth) + "</registers></peripheral>";
    };
    std::string orphans;
    for (int i = 0; i < 50000; ++i) orphans += "<peripheral derivedFrom=\"N" + std::to_string(i) + "\"><name>P</name></peripheral>";
    const std::string huge = "null: [SVD] Device too large", dim64k = "<register><name>R%s</name><dim>65536</dim>";
    const struct {
        std::string doc, want;
    } cases[] = {
        {"<device><peripherals><peripheral><name>A</name>", "null: [SVD] XML error at byte "},
        {"<device><a></b></device>", "null: [SVD] XML error at byte 13: Start-end tags mismatch"},
        {"", "null: [SVD] XML error at byte 0: No document element found"},
        {"<device attr=\"x></device>", "null: [SVD] XML error at byte "},
        {"\xff\xfe<d", "null: [SVD] XML error at byte "},
        {"<device><![CDATA[</device>", "null: [SVD] XML error at byte "},
        {device("<peripheral/><peripheral derivedFrom=\"B\"/>"), "null: No peripherals found — check SVD format"},
        {device(R"(<peripheral><name>%s%n</name><registers>
           <register><name>%n%s%n%x</name><dim>2</dim></register><register><name>%n[%s]%s</name><dim>1</dim></register>
           <cluster><name>%n%s</name><dim>1</dim><register><name>%s</name><dim>1</dim></register></cluster>)" + end),
         "P %s%n 0x00000000 4\n  %n0%n%x 0x00000000 0x00000000\n  %n1%n%x 0x00000004 0x00000000\n"
         "  %n0%s 0x00000000 0x00000000\n  %n0_0 0x00000000 0x00000000\n"},
        {device(reg + R"(<fields><field><name>MSB_BELOW</name><bitRange>[3:7]</bitRange></field>
           <field><name>M2</name><lsb>7</lsb><msb>3</msb></field><field><name>OFF40</name><bitOffset>40</bitOffset><bitWidth>1</bitWidth></field>
           <field><name>PAST31</name><bitOffset>30</bitOffset><bitWidth>4</bitWidth></field>
           <field><name>HUGE</name><bitOffset>1</bitOffset><bitWidth>4294967295</bitWidth></field>
           <field><name>ZERO</name><bitWidth>0</bitWidth></field><field><name>MSB32</name><bitRange>[32:0]</bitRange></field>
           <field><name>GARBLED</name><bitRange>[x:1]</bitRange></field><field><name>OK</name><bitRange>[31:31]</bitRange></field>
           </fields></register>)" + end),
         "P P 0x00000000 1\n  R 0x00000000 0x00000000 OK:31:1\n"},
        {device("<peripheral><name>P</name><registers>" + rep(dim64k + "</register>", 16) + end), huge},
        {device("<peripheral><name>P</name><registers>" + dim64k + "<fields>" + rep("<field><name>F</name></field>", 32) +
                "</fields></register>" + end), huge},
        {device(R"(<peripheral><name>P</name><registers><cluster><name>A%s</name><dim>1024</dim>
           <register><name>R%s</name><dim>1024</dim></register></cluster>)" + end), huge},
        {device("<peripheral><name>B</name><registers>" + dim64k + "</register>" + end +
                rep("<peripheral derivedFrom=\"B\"><name>D</name></peripheral>", 16)), huge},
        {device("<peripheral><name>A%s</name><dim>65536</dim><registers><register><name>R%s</name><dim>64</dim></register>" + end), huge},
        {device(reg + rep("<x>", 200000) + rep("</x>", 200000) + "</register>" + end), "P P 0x00000000 1\n  R 0x00000000 0x00000000\n"},
        {device(nested(16, false)), "P P 0x00000000 0\n"},  // 1024^16 instances of nothing: no work
        {device(nested(17, true)), "null: [SVD] Clusters nested more than 16 deep"},
        {device(orphans), rep("P P 0x00000000 0\n", 50000)},  // unresolved links stay linear
    };
    for (const auto& k : cases) {
        const std::string got = dumped_doc(k.doc);
        EXPECT_EQ(k.want.rfind("null: ", 0) == 0 ? got.substr(0, k.want.size()) : got, k.want) << k.doc.substr(0, 200);
    }
    DevPtr d = parse(device(reg + "<dim>99999999999999</dim></register>" + end));
    ASSERT_TRUE(d) << svd_error();
    ASSERT_EQ(d->periphs[0].reg_count, 65536u);  // capped
    EXPECT_EQ(d->periphs[0].regs[65535].address, 65535u * 4);
    // 63 characters each, the most a name keeps: "periph->reg" and its NUL still fit.
    const std::string p(63, 'P'), r(63, 'R');
    d = parse(device("<peripheral><name>" + p + "</name><registers><register><name>" + r + "</name></register>" + end));
    SvdLocation loc;
    memset(&loc, 0x55, sizeof loc);
    ASSERT_TRUE(d && svd_lookup(d.get(), 0, &loc));
    EXPECT_EQ(std::string(loc.full, strnlen(loc.full, sizeof loc.full)), p + "->" + r);
    EXPECT_LT(strnlen(loc.full, sizeof loc.full), sizeof loc.full) << "terminated inside its array";
}

}  // namespace
