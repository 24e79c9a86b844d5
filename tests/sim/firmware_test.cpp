// The demo firmware and its SVD, judged by tools nobody here wrote: the Arm
// binutils, xmllint with the CMSIS-SVD schema, ST's own SVD of the part, and
// (firmware_qemu_tests) QEMU's STM32F405 board driven by gdb.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>

#include "tests/sim/qemu_gdb.h"
#include "tests/test_util.h"

namespace {

constexpr uint32_t kFlash = 0x08000000;
bool in_flash(uint32_t a) { return a - kFlash < 1024 * 1024; }
bool in_sram(uint32_t a) { return a - 0x20000000u < 128 * 1024; }
uint32_t num(const std::string& s) { return static_cast<uint32_t>(std::strtoul(s.c_str(), nullptr, 0)); }
std::string fw(const std::string& variant, const char* ext) { return KORVANE_DEMO_FW_DIR "/" + variant + ext; }
const std::pair<const char*, int> kVariants[] = {
    {"demo_O0_dwarf4", 4}, {"demo_O0_dwarf5", 5}, {"demo_O2_dwarf4", 4}, {"demo_O2_dwarf5", 5}};

bool run_tool(const std::vector<std::string>& argv, std::string* out) {
    int code = -1;
    return qemu_gdb_capture(argv, 30000, out, &code) && code == 0;
}
bool have(const char* name) {
    std::string out;
    return run_tool({name, "--version"}, &out);
}
// Output of a tool that must succeed.
std::string tool(const std::vector<std::string>& argv) {
    std::string out;
    EXPECT_TRUE(run_tool(argv, &out)) << argv[0] << " failed: " << out;
    return out;
}


uint32_t le32(const std::string& b, uint32_t off) {
    if (size_t{off} + 4 > b.size()) return 0xFFFFFFFFu;
    uint32_t v;
    std::memcpy(&v, b.data() + off, 4);
    return v;
}

// arm-none-eabi-nm -S: "addr [size] type name".
std::map<std::string, std::pair<uint32_t, uint32_t>> symbols(const std::string& elf) {
    std::map<std::string, std::pair<uint32_t, uint32_t>> syms;
    std::istringstream in(tool({"arm-none-eabi-nm", "-S", elf}));
    for (std::string line; std::getline(in, line);) {
        std::istringstream ls(line);
        std::vector<std::string> t;
        for (std::string w; ls >> w;) t.push_back(w);
        if (t.size() == 3 || t.size() == 4)
            syms[t.back()] = {std::strtoul(t[0].c_str(), nullptr, 16), t.size() == 4 ? std::strtoul(t[1].c_str(), nullptr, 16) : 0};
    }
    return syms;
}

#define SKIP_WITHOUT_BINUTILS() \
    if (!have("arm-none-eabi-readelf") || !have("arm-none-eabi-nm") || !have("arm-none-eabi-objdump")) \
    GTEST_SKIP() << "arm-none-eabi binutils absent (Debian package binutils-arm-none-eabi)"

}  // namespace


TEST(DemoFirmwareElf, EntryAndVectorTableNameDistinctThumbHandlersInFlash) {
    SKIP_WITHOUT_BINUTILS();
    const char* names[16] = {nullptr,           "Reset_Handler",    "NMI_Handler",        "HardFault_Handler",
                             "MemManage_Handler", "BusFault_Handler", "UsageFault_Handler", nullptr, nullptr, nullptr,
                             nullptr,           "SVC_Handler",      "DebugMon_Handler",   nullptr, "PendSV_Handler",
                             "SysTick_Handler"};
    for (auto [v, dwarf] : kVariants) {
        SCOPED_TRACE(v);
        std::string bin = read_text_file(fw(v, ".bin")), h = tool({"arm-none-eabi-readelf", "-h", fw(v, ".elf")});
        auto syms = symbols(fw(v, ".elf"));
        ASSERT_TRUE(bin.size() >= (16 + 82) * 4 && bin.size() < 8192) << "a few KB: " << bin.size();
        size_t at = h.find("Entry point address:");
        ASSERT_NE(at, std::string::npos) << h;
        EXPECT_EQ(num(h.substr(at + 20)), syms["Reset_Handler"].first | 1u) << "Thumb entry at Reset_Handler";
        EXPECT_TRUE(in_sram(le32(bin, 0) - 4) && le32(bin, 0) % 8 == 0) << "8-byte aligned SP in SRAM: " << le32(bin, 0);
        EXPECT_EQ(syms["vector_table"].first, kFlash);
        std::map<uint32_t, std::string> seen;
        for (uint32_t i = 1; i < 16 + 82; ++i) {
            uint32_t a = le32(bin, 4 * i);
            if (i < 16 && !names[i]) {
                EXPECT_EQ(a, 0u) << "reserved vector " << i;
                continue;
            }
            EXPECT_TRUE((a & 1) && in_flash(a)) << "vector " << i << " = " << a;
            if (i >= 16) continue;
            EXPECT_EQ(a, syms[names[i]].first | 1u) << names[i];
            EXPECT_TRUE(seen.emplace(a, names[i]).second) << names[i] << " shares its address with " << seen[a];
        }
        EXPECT_EQ(le32(bin, 4 * 16), syms["WWDG_IRQHandler"].first | 1u);
        EXPECT_EQ(le32(bin, 4 * (16 + 81)), syms["Default_Handler"].first | 1u);
    }
}

// Every byte of the image is in flash, where a probe can program it; RAM is
// filled only by the reset code. The HEX file carries exactly the .bin.
TEST(DemoFirmwareElf, LoadSegmentsAreFlashableAndHexMatchesBin) {
    SKIP_WITHOUT_BINUTILS();
    for (auto [v, dwarf] : kVariants) {
        SCOPED_TRACE(v);
        std::istringstream segs(tool({"arm-none-eabi-readelf", "-lW", fw(v, ".elf")}));
        int loads = 0;
        for (std::string line, type, off, vaddr, paddr, filesz, memsz; std::getline(segs, line);) {
            std::istringstream ls(line);
            if (!(ls >> type >> off >> vaddr >> paddr >> filesz >> memsz) || type != "LOAD") continue;
            ++loads;
            EXPECT_TRUE(num(filesz) == 0 || in_flash(num(paddr))) << line;
            // A loader zero-fills memsz beyond filesz: in flash, a write past the image.
            EXPECT_TRUE(!in_flash(num(paddr)) || num(filesz) == num(memsz)) << line;
        }
        EXPECT_GE(loads, 2);
        // objcopy reads the HEX back: one block at the flash base, the .bin's bytes, entry = reset vector.
        std::string back = ::testing::TempDir() + "/" + v + "_hex.bin", bin = read_text_file(fw(v, ".bin"));
        std::string h = tool({"arm-none-eabi-objdump", "-f", "-h", fw(v, ".hex")}), start = "start address 0x";
        EXPECT_NE(h.find(" 08000000  08000000 "), std::string::npos) << h;
        EXPECT_EQ(num(h.substr(h.find(start) + start.size() - 2)), le32(bin, 4)) << h;
        tool({"arm-none-eabi-objcopy", "-I", "ihex", "-O", "binary", fw(v, ".hex"), back});
        EXPECT_TRUE(read_text_file(back) == bin) << "HEX and .bin differ";
    }
}

TEST(DemoFirmwareElf, CompileUnitsCarryTheDwarfVersionBuilt) {
    SKIP_WITHOUT_BINUTILS();
    for (auto [v, dwarf] : kVariants) {
        SCOPED_TRACE(v);
        std::istringstream in(tool({"arm-none-eabi-readelf", "--debug-dump=info", fw(v, ".elf")}));
        std::string names;
        int version = 0, units = 0;
        bool want = false;  // the unit's own name comes first
        for (std::string line; std::getline(in, line);) {
            if (line.find("Compilation Unit @") != std::string::npos) version = 0, want = true, ++units;
            if (line.find("  Version:") != std::string::npos && want && !version) version = num(line.substr(line.find(':') + 1));
            if (line.find("DW_AT_name") != std::string::npos && want) {
                names += line.substr(line.rfind(' ')) + " ";
                EXPECT_EQ(version, dwarf) << line;
                want = false;
            }
        }
        EXPECT_GE(units, 4);
        for (const char* src : {"/startup.c ", "/main.c ", "/faults.c ", "/wave.c "})
            EXPECT_NE(names.find(src), std::string::npos) << src << " has no compile unit: " << names;
    }
}

// Sizes and places from nm; initial values of .data read from the raw image
// where the reset code copies them from.
TEST(DemoFirmwareElf, GlobalsHaveTheirSizesPlacesAndInitialValues) {
    SKIP_WITHOUT_BINUTILS();
    const std::pair<const char*, uint32_t> sizes[] = {
        {"g_i8", 1},     {"g_u16", 2},    {"g_i32", 4},           {"g_u64", 8},           {"g_f32", 4},
        {"g_f64", 8},    {"g_record", 20}, {"g_flags", 4},         {"g_ptr", 4},           {"g_tick_count", 4},
        {"g_wave", 4},   {"g_fault_trigger", 4}, {"g_bkpt_trigger", 4}, {"g_sine_table", 34},
        {"g_mode", 1}};  // arm-none-eabi uses short enums
    for (auto [v, dwarf] : kVariants) {
        SCOPED_TRACE(v);
        auto syms = symbols(fw(v, ".elf"));
        for (auto [name, size] : sizes) {
            auto [addr, got] = syms[name];
            EXPECT_EQ(got, size) << name;
            EXPECT_TRUE(name == std::string("g_sine_table") ? in_flash(addr) : in_sram(addr)) << name;
            EXPECT_EQ(addr % std::min(size, 4u), 0u) << name << " misaligned";
        }
        std::string bin = read_text_file(fw(v, ".bin"));
        ASSERT_TRUE(in_flash(syms["_sidata"].first));
        auto initial = [&](const char* name, uint32_t plus = 0) {
            return le32(bin, syms["_sidata"].first - kFlash + syms[name].first - syms["_sdata"].first + plus);
        };
        EXPECT_EQ(initial("g_u32"), 0xDEADBEEFu);
        EXPECT_EQ(initial("g_ptr"), syms["g_i32"].first) << "g_ptr points at g_i32";
        EXPECT_EQ(initial("g_record"), 42u);
        EXPECT_EQ(initial("g_u64", 4), 0x01234567u) << "high word of g_u64";
        uint32_t table = syms["g_sine_table"].first - kFlash;
        EXPECT_EQ(le32(bin, table) & 0xFFFF, 0u);
        EXPECT_EQ(le32(bin, table + 32) & 0xFFFF, 32767u) << "sin(90 degrees) in Q15";
    }
}

// The fault sites fault on their first instruction, so a stacked PC can be
// compared with the symbol's address (the buffered store's is past it).
TEST(DemoFirmwareElf, FaultSitesStartWithTheFaultingInstruction) {
    SKIP_WITHOUT_BINUTILS();
    const std::pair<const char*, const char*> sites[] = {
        {"fault_udf", "udf"}, {"fault_bus_read", "ldr\tr0, [r0"}, {"fault_divide", "udiv\tr0, r0, r1"}, {"fault_bkpt", "bkpt\t0x0042"},
        {"fault_bus_write", "str\tr1, [r0"}};
    for (auto [v, dwarf] : kVariants) {
        SCOPED_TRACE(v);
        auto syms = symbols(fw(v, ".elf"));
        for (auto [fn, insn] : sites) {
            std::string d = tool({"arm-none-eabi-objdump", "-d", std::string("--disassemble=") + fn, fw(v, ".elf")});
            char addr[16];
            std::snprintf(addr, sizeof addr, " %x:", syms[fn].first);
            size_t at = d.find(addr);
            ASSERT_NE(at, std::string::npos) << fn << "\n" << d;
            EXPECT_NE(d.substr(at, d.find('\n', at) - at).find(insn), std::string::npos) << fn << ": " << d.substr(at);
        }
    }
}

TEST(DemoSvd, ValidatesAgainstTheCmsisSchema) {
    std::string xsd = KORVANE_SVD_SCHEMA, out, broken = ::testing::TempDir() + "/broken.svd";
    if (xsd.empty() || access(xsd.c_str(), R_OK) != 0) GTEST_SKIP() << "no CMSIS-SVD.xsd under " << KORVANE_SHARED_DATA;
    if (!have("xmllint")) GTEST_SKIP() << "xmllint absent (Debian package libxml2-utils)";
    EXPECT_TRUE(run_tool({"xmllint", "--noout", "--schema", xsd, KORVANE_DEMO_SVD}, &out)) << out;
    // The schema is strict enough to notice damage: a register offset that is no number.
    std::string s = read_text_file(KORVANE_DEMO_SVD);
    size_t at = s.find("<addressOffset>0x0<");
    ASSERT_NE(at, std::string::npos);
    std::ofstream(broken) << s.replace(at + 15, 3, "zero");
    EXPECT_FALSE(run_tool({"xmllint", "--noout", "--schema", xsd, broken}, &out)) << out;
    EXPECT_NE(out.find("addressOffset"), std::string::npos) << out;
}

// An SVD flattened: each leaf element as "PERIPH/REG/FIELD/tag" -> text, the
// path made of the names of its named ancestors below the device (SVD puts
// <name> first), plus "PERIPH/@derivedFrom".
std::map<std::string, std::string> svd_leaves(const std::string& path) {
    std::string s = read_text_file(path);
    std::map<std::string, std::string> out;
    struct Open { std::string tag, name, derived; size_t text; bool kids = false; };
    std::vector<Open> st;
    auto prefix = [&] {
        std::string k;
        for (size_t i = 1; i < st.size(); ++i) k += st[i].name.empty() ? "" : st[i].name + "/";
        return k;
    };
    for (size_t lt = s.find('<'), gt; lt != std::string::npos; lt = s.find('<', gt)) {
        if ((gt = s.find(s.compare(lt, 4, "<!--") == 0 ? "-->" : ">", lt)) == std::string::npos) break;
        std::string head = s.substr(lt + 1, gt - lt - 1);
        if (head.empty() || head[0] == '!' || head[0] == '?') continue;
        if (head[0] == '/') {
            if (st.empty()) break;
            Open o = st.back();
            st.pop_back();
            std::string text = s.substr(o.text, lt - o.text);
            text = text.erase(text.find_last_not_of(" \t\r\n") + 1).erase(0, text.find_first_not_of(" \t\r\n"));
            if (o.tag == "name" && !st.empty()) st.back().name = text;
            else if (!o.kids) out[prefix() + o.tag] = text;
            if (!o.derived.empty()) out[prefix() + o.name + "/@derivedFrom"] = o.derived;
            continue;
        }
        if (!st.empty()) st.back().kids = true;
        size_t d = head.find("derivedFrom=\"");
        if (head.back() != '/')
            st.push_back({head.substr(0, head.find_first_of(" \t\r\n")), "",
                          d == std::string::npos ? "" : head.substr(d + 13, head.find('"', d + 13) - d - 13), gt + 1});
    }
    return out;
}

// ST's SVD of the STM32F407 (the same die as the F405) is the independent
// reference for every address, reset value and field we describe.
TEST(DemoSvd, AgreesWithStsOwnSvd) {
    std::string st_path = KORVANE_SHARED_DATA "/svd/STM32F407.svd";
    if (access(st_path.c_str(), R_OK) != 0) GTEST_SKIP() << "no " << st_path;
    auto ours = svd_leaves(KORVANE_DEMO_SVD), st = svd_leaves(st_path);
    for (const char* k : {"CM4/fpuPresent", "CM4/mpuPresent", "CM4/nvicPrioBits"}) EXPECT_EQ(ours[k], st[k]) << k;
    auto owner = [](std::map<std::string, std::string>& svd, std::string p) {  // follows derivedFrom
        for (int i = 0; i < 4 && svd.count(p + "/@derivedFrom"); ++i) p = svd[p + "/@derivedFrom"];
        return p + "/";
    };
    // ST's field bits [lo, hi); ST sometimes splits a field into contiguous one-bit parts (SW -> SW0, SW1).
    auto st_bits = [&](const std::string& f, uint32_t* lo, uint32_t* hi) {
        if (st.count(f + "/bitOffset")) return *lo = num(st[f + "/bitOffset"]), *hi = *lo + num(st[f + "/bitWidth"]), true;
        int n = 0;
        for (std::string p; st.count((p = f + std::to_string(n)) + "/bitOffset"); ++n) {
            if (n == 0) *lo = *hi = num(st[p + "/bitOffset"]);
            if (num(st[p + "/bitOffset"]) != *hi) return false;
            *hi += num(st[p + "/bitWidth"]);
        }
        return n > 0;
    };
    int registers = 0, fields = 0;
    for (std::string p : {"RCC", "GPIOD", "GPIOC", "GPIOE", "FLASH", "DBGMCU"}) {
        SCOPED_TRACE(p);
        std::string sp = p == "DBGMCU" ? "DBG" : p, reg_prefix = p == "DBGMCU" ? "DBGMCU_" : "";
        ASSERT_TRUE(st.count(sp + "/baseAddress"));
        EXPECT_EQ(num(ours[p + "/baseAddress"]), num(st[sp + "/baseAddress"]));
        std::string o = owner(ours, p), s = owner(st, sp);
        for (auto it = ours.lower_bound(o); it != ours.end() && it->first.rfind(o, 0) == 0; ++it) {
            std::string rest = it->first.substr(o.size()), reg = rest.substr(0, rest.find('/'));
            std::string leaf = rest.substr(reg.size() + (reg.size() < rest.size())), sr = s + reg_prefix + reg + "/";
            if (leaf == "addressOffset") {
                ASSERT_TRUE(st.count(sr + "addressOffset")) << "ST has no register " << reg;
                ++registers;
                EXPECT_EQ(num(it->second), num(st[sr + "addressOffset"])) << reg;
                // IDCODE's revision half depends on the silicon, and ST's file
                // gives OPTCR 0x14 where RM0090 says 0x0FFFAAED (the factory option bytes).
                if (reg != "IDCODE" && reg != "OPTCR" && st.count(sr + "resetValue")) {
                    EXPECT_EQ(num(ours[o + reg + "/resetValue"]), num(st[sr + "resetValue"])) << reg;
                }
            } else if (leaf.ends_with("/bitOffset") && leaf.find('/') == leaf.size() - 10) {
                std::string f = leaf.substr(0, leaf.size() - 10);
                uint32_t lo = 0, hi = 0;
                ASSERT_TRUE(st_bits(sr + f, &lo, &hi)) << "ST has no field " << reg << "." << f;
                ++fields;
                EXPECT_EQ(num(it->second), lo) << reg << "." << f;
                EXPECT_EQ(num(ours[o + reg + "/" + f + "/bitWidth"]), hi - lo) << reg << "." << f;
            }
        }
    }
    EXPECT_GE(registers, 30);
    EXPECT_GE(fields, 100);
}

