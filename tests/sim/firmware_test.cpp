// The demo firmware and its SVD, judged by tools nobody here wrote: the Arm
// binutils, xmllint with the CMSIS-SVD schema, ST's own SVD of the part, and
// (firmware_qemu_tests) QEMU's STM32F405 board driven by gdb.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/sim/qemu_gdb.h"

namespace {

constexpr uint32_t kFlashBase = 0x08000000, kFlashSize = 1024 * 1024;
constexpr uint32_t kSramBase = 0x20000000, kSramSize = 128 * 1024;

[[maybe_unused]] bool in_flash(uint32_t a) { return a >= kFlashBase && a - kFlashBase < kFlashSize; }
[[maybe_unused]] bool in_sram(uint32_t a) { return a >= kSramBase && a - kSramBase < kSramSize; }

std::string fw_path(const std::string& variant, const char* ext) {
    return std::string(KORVANE_DEMO_FW_DIR) + "/" + variant + ext;
}

struct Variant {
    const char* name;
    int dwarf;
};
const Variant kVariants[] = {
    {"demo_O0_dwarf4", 4}, {"demo_O0_dwarf5", 5}, {"demo_O2_dwarf4", 4}, {"demo_O2_dwarf5", 5}};

bool have_tool(const char* name) {
    std::string out;
    int code = -1;
    return qemu_gdb_capture({name, "--version"}, 10000, &out, &code) && code == 0;
}

// Output of a tool that must succeed.
std::string tool(const std::vector<std::string>& argv) {
    std::string out;
    int code = -1;
    bool ran = qemu_gdb_capture(argv, 30000, &out, &code);
    EXPECT_TRUE(ran && code == 0) << argv[0] << " failed (" << code << "): " << out;
    return out;
}

std::vector<uint8_t> read_bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

uint32_t le32(const std::vector<uint8_t>& b, size_t off) {
    if (off + 4 > b.size()) return 0xFFFFFFFFu;
    return b[off] | b[off + 1] << 8 | b[off + 2] << 16 | static_cast<uint32_t>(b[off + 3]) << 24;
}

[[maybe_unused]] uint32_t num(const std::string& s) { return static_cast<uint32_t>(std::strtoul(s.c_str(), nullptr, 0)); }

struct Sym {
    uint32_t addr = 0, size = 0;
    char type = '?';
};

// arm-none-eabi-nm -S: "addr [size] type name".
std::map<std::string, Sym> symbols(const std::string& elf) {
    std::map<std::string, Sym> syms;
    std::istringstream in(tool({"arm-none-eabi-nm", "-S", elf}));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::vector<std::string> t;
        std::string w;
        while (ls >> w) t.push_back(w);
        Sym s;
        if (t.size() == 4) {
            s.addr = static_cast<uint32_t>(std::stoul(t[0], nullptr, 16));
            s.size = static_cast<uint32_t>(std::stoul(t[1], nullptr, 16));
            s.type = t[2][0];
            syms[t[3]] = s;
        } else if (t.size() == 3) {
            s.addr = static_cast<uint32_t>(std::stoul(t[0], nullptr, 16));
            s.type = t[1][0];
            syms[t[2]] = s;
        }
    }
    return syms;
}

bool binutils_present() { return have_tool("arm-none-eabi-readelf") && have_tool("arm-none-eabi-nm"); }

#define SKIP_WITHOUT_BINUTILS()                                                          \
    if (!binutils_present()) GTEST_SKIP() << "arm-none-eabi binutils absent "           \
                                             "(Debian package binutils-arm-none-eabi)"

#ifndef KORVANE_QEMU_TESTS
// ---------------------------------------------------------------------------
// A small XML reader: elements, attributes and text, enough for SVD files.
struct Xml {
    std::string tag, text;
    std::map<std::string, std::string> attrs;
    std::vector<Xml> kids;
    const Xml* child(const char* name) const {
        for (const Xml& k : kids)
            if (k.tag == name) return &k;
        return nullptr;
    }
    std::string get(const char* name) const {
        const Xml* k = child(name);
        return k ? k->text : "";
    }
};

bool xml_parse(const std::string& s, size_t* pos, Xml* node);

bool xml_skip_misc(const std::string& s, size_t* pos) {
    for (;;) {
        while (*pos < s.size() && std::isspace(static_cast<unsigned char>(s[*pos]))) ++*pos;
        if (s.compare(*pos, 4, "<!--") == 0) {
            size_t e = s.find("-->", *pos);
            if (e == std::string::npos) return false;
            *pos = e + 3;
        } else if (s.compare(*pos, 2, "<?") == 0) {
            size_t e = s.find("?>", *pos);
            if (e == std::string::npos) return false;
            *pos = e + 2;
        } else {
            return true;
        }
    }
}

bool xml_parse(const std::string& s, size_t* pos, Xml* node) {
    if (!xml_skip_misc(s, pos) || *pos >= s.size() || s[*pos] != '<') return false;
    size_t end = s.find('>', *pos);
    if (end == std::string::npos) return false;
    std::string head = s.substr(*pos + 1, end - *pos - 1);
    bool empty = !head.empty() && head.back() == '/';
    if (empty) head.pop_back();
    std::istringstream hs(head);
    hs >> node->tag;
    std::string rest((std::istreambuf_iterator<char>(hs)), std::istreambuf_iterator<char>());
    for (size_t i = 0; (i = rest.find('=', i)) != std::string::npos;) {
        size_t ks = rest.find_last_of(" \t\n", i);
        std::string key = rest.substr(ks == std::string::npos ? 0 : ks + 1, i - (ks == std::string::npos ? 0 : ks + 1));
        char q = rest[i + 1];
        size_t ve = rest.find(q, i + 2);
        if (ve == std::string::npos) return false;
        node->attrs[key] = rest.substr(i + 2, ve - i - 2);
        i = ve + 1;
    }
    *pos = end + 1;
    if (empty) return true;
    std::string close = "</" + node->tag + ">";
    for (;;) {
        size_t lt = s.find('<', *pos);
        if (lt == std::string::npos) return false;
        node->text += s.substr(*pos, lt - *pos);
        *pos = lt;
        if (s.compare(lt, close.size(), close) == 0) {
            *pos = lt + close.size();
            size_t a = node->text.find_first_not_of(" \t\r\n");
            node->text = a == std::string::npos ? "" : node->text.substr(a, node->text.find_last_not_of(" \t\r\n") - a + 1);
            return true;
        }
        if (s.compare(lt, 4, "<!--") == 0) {
            if (!xml_skip_misc(s, pos)) return false;
            continue;
        }
        node->kids.emplace_back();
        if (!xml_parse(s, pos, &node->kids.back())) return false;
    }
}

bool xml_load(const std::string& path, Xml* root) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t pos = 0;
    return xml_parse(s, &pos, root);
}

// A peripheral by name, with derivedFrom followed for its registers.
const Xml* svd_peripheral(const Xml& device, const std::string& name, const Xml** regs_owner) {
    const Xml* ps = device.child("peripherals");
    if (!ps) return nullptr;
    const Xml* found = nullptr;
    for (const Xml& p : ps->kids)
        if (p.get("name") == name) found = &p;
    if (!found) return nullptr;
    *regs_owner = found;
    for (int depth = 0; depth < 4 && !(*regs_owner)->child("registers"); ++depth) {
        auto d = (*regs_owner)->attrs.find("derivedFrom");
        if (d == (*regs_owner)->attrs.end()) break;
        const Xml* base = nullptr;
        for (const Xml& p : ps->kids)
            if (p.get("name") == d->second) base = &p;
        if (!base) return nullptr;
        *regs_owner = base;
    }
    return found;
}

const Xml* svd_register(const Xml& periph, const std::string& name) {
    const Xml* rs = periph.child("registers");
    if (!rs) return nullptr;
    for (const Xml& r : rs->kids)
        if (r.get("name") == name) return &r;
    return nullptr;
}
// Bits [lo, hi) of a field in ST's register; ST sometimes splits a field
// into one-bit parts (SW -> SW0, SW1), which must then be contiguous.
bool st_field_bits(const Xml& reg, const std::string& name, uint32_t* lo, uint32_t* hi) {
    const Xml* fs = reg.child("fields");
    if (!fs) return false;
    std::map<int, std::pair<uint32_t, uint32_t>> parts;
    for (const Xml& k : fs->kids) {
        std::string n = k.get("name");
        uint32_t off = num(k.get("bitOffset")), width = num(k.get("bitWidth"));
        if (n == name) {
            *lo = off;
            *hi = off + width;
            return true;
        }
        if (n.size() > name.size() && n.compare(0, name.size(), name) == 0 &&
            n.find_first_not_of("0123456789", name.size()) == std::string::npos)
            parts[std::atoi(n.c_str() + name.size())] = {off, off + width};
    }
    if (parts.empty() || parts.begin()->first != 0) return false;
    *lo = parts.begin()->second.first;
    *hi = *lo;
    int expect = 0;
    for (auto& [index, bits] : parts) {
        if (index != expect++ || bits.first != *hi) return false;
        *hi = bits.second;
    }
    return true;
}
#endif

}  // namespace

#ifndef KORVANE_QEMU_TESTS

// ---------------------------------------------------------------------------
TEST(DemoFirmwareElf, HeaderSaysArmThumbEntryInFlash) {
    SKIP_WITHOUT_BINUTILS();
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.name);
        std::string h = tool({"arm-none-eabi-readelf", "-h", fw_path(v.name, ".elf")});
        EXPECT_NE(h.find("ELF32"), std::string::npos) << h;
        EXPECT_NE(h.find("Machine:                           ARM"), std::string::npos) << h;
        size_t at = h.find("Entry point address:");
        ASSERT_NE(at, std::string::npos);
        uint32_t entry = num(h.substr(at + 20));
        EXPECT_EQ(entry & 1u, 1u) << "entry must be a Thumb address";
        EXPECT_TRUE(in_flash(entry)) << std::hex << entry;
        auto syms = symbols(fw_path(v.name, ".elf"));
        EXPECT_EQ(entry & ~1u, syms["Reset_Handler"].addr & ~1u);
    }
}

TEST(DemoFirmwareElf, VectorTableHoldsStackAndNamedThumbHandlers) {
    SKIP_WITHOUT_BINUTILS();
    const char* names[16] = {nullptr,          "Reset_Handler", "NMI_Handler",      "HardFault_Handler",
                             "MemManage_Handler", "BusFault_Handler", "UsageFault_Handler", nullptr,
                             nullptr,          nullptr,         nullptr,            "SVC_Handler",
                             "DebugMon_Handler", nullptr,        "PendSV_Handler",   "SysTick_Handler"};
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.name);
        std::vector<uint8_t> bin = read_bytes(fw_path(v.name, ".bin"));
        ASSERT_GE(bin.size(), (16u + 82u) * 4u);
        EXPECT_LT(bin.size(), 8192u) << "the demo image should stay a few KB";
        auto syms = symbols(fw_path(v.name, ".elf"));
        uint32_t sp = le32(bin, 0);
        EXPECT_TRUE(in_sram(sp - 4)) << std::hex << sp;
        EXPECT_EQ(sp % 8, 0u) << "AAPCS wants an 8-byte aligned stack";
        EXPECT_EQ(syms["vector_table"].addr, kFlashBase);
        std::map<uint32_t, std::string> seen;
        for (int i = 1; i < 16; ++i) {
            uint32_t h = le32(bin, 4 * i);
            if (!names[i]) {
                EXPECT_EQ(h, 0u) << "reserved vector " << i;
                continue;
            }
            ASSERT_TRUE(syms.count(names[i])) << names[i];
            EXPECT_EQ(h & 1u, 1u) << names[i] << " must be a Thumb address";
            EXPECT_TRUE(in_flash(h)) << names[i];
            EXPECT_EQ(h & ~1u, syms[names[i]].addr & ~1u) << names[i];
            EXPECT_FALSE(seen.count(h)) << names[i] << " shares its address with " << seen[h];
            seen[h] = names[i];
        }
        for (int irq = 0; irq < 82; ++irq) {
            uint32_t h = le32(bin, 4 * (16 + irq));
            EXPECT_EQ(h & 1u, 1u) << "IRQ " << irq;
            EXPECT_TRUE(in_flash(h)) << "IRQ " << irq;
        }
        EXPECT_EQ(le32(bin, 4 * 16) & ~1u, syms["WWDG_IRQHandler"].addr);
        EXPECT_EQ(le32(bin, 4 * (16 + 81)) & ~1u, syms["Default_Handler"].addr);
    }
}

// Every byte of the image is in flash, where a probe can program it; RAM is
// filled only by the reset code.
TEST(DemoFirmwareElf, LoadSegmentsAreFlashableAndHexMatchesBin) {
    SKIP_WITHOUT_BINUTILS();
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.name);
        std::istringstream segs(tool({"arm-none-eabi-readelf", "-lW", fw_path(v.name, ".elf")}));
        std::string line;
        int loads = 0;
        while (std::getline(segs, line)) {
            std::istringstream ls(line);
            std::string type, off, vaddr, paddr, filesz, memsz;
            if (!(ls >> type >> off >> vaddr >> paddr >> filesz >> memsz) || type != "LOAD") continue;
            ++loads;
            if (num(filesz) > 0) {
                EXPECT_TRUE(in_flash(num(paddr))) << line;
            }
            // A loader zero-fills memsz beyond filesz at the load address:
            // in flash that would be a write past the image.
            if (in_flash(num(paddr))) {
                EXPECT_EQ(num(filesz), num(memsz)) << line;
            }
        }
        EXPECT_GE(loads, 2);

        std::vector<uint8_t> bin = read_bytes(fw_path(v.name, ".bin"));
        std::ifstream hex(fw_path(v.name, ".hex"));
        ASSERT_TRUE(hex.good());
        std::map<uint32_t, uint8_t> bytes;
        uint32_t base = 0, start = 0;
        bool eof = false;
        while (std::getline(hex, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            ASSERT_TRUE(line.size() >= 11 && line[0] == ':' && line.size() % 2 == 1) << line;
            std::vector<uint8_t> rec;
            for (size_t i = 1; i < line.size(); i += 2) rec.push_back(static_cast<uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)));
            uint8_t sum = 0;
            for (uint8_t b : rec) sum = static_cast<uint8_t>(sum + b);
            ASSERT_EQ(sum, 0) << "checksum of " << line;
            ASSERT_EQ(rec.size(), rec[0] + 5u) << line;
            uint32_t addr = rec[1] << 8 | rec[2];
            switch (rec[3]) {
            case 0:
                for (unsigned i = 0; i < rec[0]; ++i) bytes[base + addr + i] = rec[4 + i];
                break;
            case 1: eof = true; break;
            case 4: base = (rec[4] << 8 | rec[5]) << 16; break;
            case 5: start = static_cast<uint32_t>(rec[4]) << 24 | rec[5] << 16 | rec[6] << 8 | rec[7]; break;
            default: ADD_FAILURE() << "unexpected record " << line;
            }
        }
        EXPECT_TRUE(eof);
        EXPECT_EQ(start, le32(bin, 4)) << "HEX start address = reset vector";
        ASSERT_EQ(bytes.size(), bin.size());
        EXPECT_EQ(bytes.begin()->first, kFlashBase);
        size_t mismatches = 0;
        for (auto& [a, b] : bytes)
            if (a - kFlashBase >= bin.size() || bin[a - kFlashBase] != b) ++mismatches;
        EXPECT_EQ(mismatches, 0u);
    }
}

TEST(DemoFirmwareElf, CompileUnitsCarryTheDwarfVersionBuilt) {
    SKIP_WITHOUT_BINUTILS();
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.name);
        std::istringstream in(tool({"arm-none-eabi-readelf", "--debug-dump=info", fw_path(v.name, ".elf")}));
        std::string line;
        std::vector<int> versions;
        std::vector<std::string> names;
        bool want_name = false;
        while (std::getline(in, line)) {
            if (line.find("Compilation Unit @") != std::string::npos) want_name = true;
            size_t at = line.find("Version:");
            if (at != std::string::npos && want_name && names.size() == versions.size())
                versions.push_back(std::atoi(line.c_str() + at + 8));
            if (want_name && line.find("DW_AT_name") != std::string::npos) {
                names.push_back(line.substr(line.rfind(' ') + 1));
                want_name = false;
            }
        }
        ASSERT_EQ(versions.size(), names.size());
        for (size_t i = 0; i < versions.size(); ++i) EXPECT_EQ(versions[i], v.dwarf) << names[i];
        for (const char* src : {"startup.c", "main.c", "faults.c", "wave.c"}) {
            bool found = false;
            for (const std::string& n : names) found = found || (n.size() >= std::strlen(src) && n.compare(n.size() - std::strlen(src), std::string::npos, src) == 0);
            EXPECT_TRUE(found) << src << " has no compile unit";
        }
    }
}

// Sizes from nm; initial values of .data read from the raw image at the
// place the reset code copies them from.
TEST(DemoFirmwareElf, GlobalsHaveTheirTypesSizesAndInitialValues) {
    SKIP_WITHOUT_BINUTILS();
    struct Expect {
        const char* name;
        uint32_t size;
        bool flash;
    };
    const Expect expect[] = {
        {"g_i8", 1, false},     {"g_u8", 1, false},         {"g_i16", 2, false},       {"g_u16", 2, false},
        {"g_i32", 4, false},    {"g_u32", 4, false},        {"g_i64", 8, false},       {"g_u64", 8, false},
        {"g_f32", 4, false},    {"g_f64", 8, false},        {"g_record", 20, false},   {"g_flags", 4, false},
        {"g_ptr", 4, false},    {"g_tick_count", 4, false}, {"g_wave", 4, false},      {"g_fault_trigger", 4, false},
        {"g_bkpt_trigger", 4, false}, {"g_sine_table", 34, true},
        // arm-none-eabi uses short enums: a four-value enum is one byte.
        {"g_mode", 1, false},
    };
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.name);
        auto syms = symbols(fw_path(v.name, ".elf"));
        for (const Expect& e : expect) {
            ASSERT_TRUE(syms.count(e.name)) << e.name;
            EXPECT_EQ(syms[e.name].size, e.size) << e.name;
            EXPECT_TRUE(e.flash ? in_flash(syms[e.name].addr) : in_sram(syms[e.name].addr)) << e.name;
            EXPECT_EQ(syms[e.name].addr % (e.size >= 4 ? 4 : e.size), 0u) << e.name << " misaligned";
        }
        std::vector<uint8_t> bin = read_bytes(fw_path(v.name, ".bin"));
        uint32_t sidata = syms["_sidata"].addr, sdata = syms["_sdata"].addr;
        ASSERT_TRUE(in_flash(sidata));
        auto initial = [&](const char* name) { return le32(bin, sidata - kFlashBase + (syms[name].addr - sdata)); };
        EXPECT_EQ(initial("g_u32"), 0xDEADBEEFu);
        EXPECT_EQ(initial("g_ptr"), syms["g_i32"].addr) << "g_ptr points at g_i32";
        EXPECT_EQ(initial("g_record"), 42u);
        uint64_t raw = initial("g_f64") | static_cast<uint64_t>(le32(bin, sidata - kFlashBase + syms["g_f64"].addr - sdata + 4)) << 32;
        double d;
        std::memcpy(&d, &raw, sizeof d);
        EXPECT_DOUBLE_EQ(d, 2.718281828459045);
        uint32_t table = syms["g_sine_table"].addr - kFlashBase;
        EXPECT_EQ(le32(bin, table) & 0xFFFF, 0u);
        EXPECT_EQ(le32(bin, table + 32) & 0xFFFF, 32767u) << "sin(90 degrees) in Q15";
    }
}

// The fault sites fault on their first instruction, so a stacked PC can be
// compared with the symbol's address.
TEST(DemoFirmwareElf, FaultSitesStartWithTheFaultingInstruction) {
    SKIP_WITHOUT_BINUTILS();
    if (!have_tool("arm-none-eabi-objdump")) GTEST_SKIP() << "arm-none-eabi-objdump absent";
    const std::pair<const char*, const char*> sites[] = {
        {"fault_udf", "udf"}, {"fault_bus_read", "ldr\tr0, [r0"}, {"fault_divide", "udiv\tr0, r0, r1"}, {"fault_bkpt", "bkpt\t0x0042"}};
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.name);
        auto syms = symbols(fw_path(v.name, ".elf"));
        for (auto& [fn, insn] : sites) {
            std::string d = tool({"arm-none-eabi-objdump", "-d", std::string("--disassemble=") + fn, fw_path(v.name, ".elf")});
            char addr[16];
            std::snprintf(addr, sizeof addr, "%x:", syms[fn].addr);
            size_t at = d.find(std::string(" ") + addr);
            ASSERT_NE(at, std::string::npos) << fn << "\n" << d;
            std::string first = d.substr(at, d.find('\n', at) - at);
            EXPECT_NE(first.find(insn), std::string::npos) << fn << ": " << first;
        }
    }
}

// ---------------------------------------------------------------------------
TEST(DemoSvd, ValidatesAgainstTheCmsisSchema) {
    std::string xsd = KORVANE_SVD_SCHEMA;
    if (xsd.empty() || access(xsd.c_str(), R_OK) != 0) GTEST_SKIP() << "no CMSIS-SVD.xsd under " << KORVANE_SHARED_DATA;
    if (!have_tool("xmllint")) GTEST_SKIP() << "xmllint absent (Debian package libxml2-utils)";
    std::string out;
    int code = -1;
    ASSERT_TRUE(qemu_gdb_capture({"xmllint", "--noout", "--schema", xsd, KORVANE_DEMO_SVD}, 30000, &out, &code));
    EXPECT_EQ(code, 0) << out;
    // The schema is strict enough to notice damage: a register offset that is no number.
    std::string broken = std::string(::testing::TempDir()) + "/broken.svd";
    {
        std::ifstream in(KORVANE_DEMO_SVD);
        std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        size_t at = s.find("<addressOffset>0x0</addressOffset>");
        ASSERT_NE(at, std::string::npos);
        s.replace(at, 34, "<addressOffset>zero</addressOffset>");
        std::ofstream(broken) << s;
    }
    ASSERT_TRUE(qemu_gdb_capture({"xmllint", "--noout", "--schema", xsd, broken}, 30000, &out, &code));
    EXPECT_NE(code, 0);
}

// ST's SVD of the STM32F407 (the same die as the F405) is the independent
// reference for every address, reset value and field we describe.
TEST(DemoSvd, AgreesWithStsOwnSvd) {
    std::string st_path = std::string(KORVANE_SHARED_DATA) + "/svd/STM32F407.svd";
    if (access(st_path.c_str(), R_OK) != 0) GTEST_SKIP() << "no " << st_path;
    Xml ours, st;
    ASSERT_TRUE(xml_load(KORVANE_DEMO_SVD, &ours));
    ASSERT_TRUE(xml_load(st_path, &st));
    EXPECT_EQ(ours.get("name"), "KORVANE_F405_DEMO");
    EXPECT_EQ(ours.child("cpu")->get("name"), "CM4");
    EXPECT_EQ(ours.child("cpu")->get("fpuPresent"), "true");

    struct Map {
        const char* ours;
        const char* st;
        const char* reg_prefix;
    };
    const Map maps[] = {{"RCC", "RCC", ""}, {"GPIOD", "GPIOD", ""}, {"GPIOC", "GPIOC", ""}, {"GPIOE", "GPIOE", ""},
                        {"FLASH", "FLASH", ""}, {"DBGMCU", "DBG", "DBGMCU_"}};
    int fields = 0, registers = 0;
    for (const Map& m : maps) {
        SCOPED_TRACE(m.ours);
        const Xml *our_regs = nullptr, *st_regs = nullptr;
        const Xml* op = svd_peripheral(ours, m.ours, &our_regs);
        const Xml* sp = svd_peripheral(st, m.st, &st_regs);
        ASSERT_TRUE(op && sp && our_regs && st_regs);
        EXPECT_EQ(num(op->get("baseAddress")), num(sp->get("baseAddress")));
        for (const Xml& r : our_regs->child("registers")->kids) {
            std::string rn = r.get("name");
            SCOPED_TRACE(rn);
            const Xml* sr = svd_register(*st_regs, m.reg_prefix + rn);
            ASSERT_TRUE(sr) << "ST has no register " << rn;
            ++registers;
            EXPECT_EQ(num(r.get("addressOffset")), num(sr->get("addressOffset")));
            // IDCODE's revision half depends on the silicon, and ST's file
            // gives OPTCR 0x14 where RM0090 says 0x0FFFAAED (the factory option bytes).
            if (rn != "IDCODE" && rn != "OPTCR" && !sr->get("resetValue").empty()) {
                EXPECT_EQ(num(r.get("resetValue")), num(sr->get("resetValue")));
            }
            for (const Xml& f : r.child("fields")->kids) {
                uint32_t lo = 0, hi = 0;
                ASSERT_TRUE(st_field_bits(*sr, f.get("name"), &lo, &hi)) << "ST has no field " << f.get("name");
                ++fields;
                EXPECT_EQ(num(f.get("bitOffset")), lo) << f.get("name");
                EXPECT_EQ(num(f.get("bitWidth")), hi - lo) << f.get("name");
            }
        }
    }
    EXPECT_GE(registers, 30);
    EXPECT_GE(fields, 100);
}

// ---------------------------------------------------------------------------
// The harness's own bad-input paths need no QEMU.
TEST(QemuGdbHarness, RefusesBadScriptsAndTruncatedOutput) {
    QemuGdbResult r;
    QemuGdbScript s;
    s.elf = "/nonexistent/demo.elf";
    s.steps = {{QemuGdbOp::Continue, "", 0}};
    EXPECT_FALSE(qemu_gdb_run(s, &r));
    EXPECT_FALSE(r.error.empty());

    s.elf = fw_path("demo_O0_dwarf4", ".elf");
    s.steps = {{QemuGdbOp::Print, "g_u32\nshell rm -rf /", 0}};
    EXPECT_FALSE(qemu_gdb_run(s, &r));
    EXPECT_NE(r.error.find("bad step"), std::string::npos) << r.error;
    s.steps = {{QemuGdbOp::Memory, "0x0", 0}};
    EXPECT_FALSE(qemu_gdb_run(s, &r));

    s.steps = {{QemuGdbOp::Print, "g_u32", 0}, {QemuGdbOp::Memory, "0x08000000", 2}};
    std::string cmds = qemu_gdb_command_file(s, 1234);
    EXPECT_NE(cmds.find("target remote 127.0.0.1:1234"), std::string::npos);
    EXPECT_FALSE(qemu_gdb_parse(s, "", &r));
    EXPECT_NE(r.error.find("never ran"), std::string::npos);
    // Cut off inside the second step (gdb stopped at an error).
    std::string partial = "\n@@KQG 0\n$1 = 3735928559\n\n@@KQG 1\nCannot access memory at address 0x8000000\n";
    EXPECT_FALSE(qemu_gdb_parse(s, partial, &r));
    EXPECT_NE(r.error.find("step 1"), std::string::npos) << r.error;
    // Fewer words than asked for is not a success.
    std::string short_mem = "\n@@KQG 0\n$1 = 3735928559\n\n@@KQG 1\n0x8000000 <vector_table>:\t0x20020000\n\n@@KQG END\n";
    EXPECT_FALSE(qemu_gdb_parse(s, short_mem, &r));
    std::string full = "\n@@KQG 0\n$1 = 3735928559\n\n@@KQG 1\n0x8000000 <vector_table>:\t0x20020000\t0x080001ad\n\n@@KQG END\n";
    ASSERT_TRUE(qemu_gdb_parse(s, full, &r)) << r.error;
    EXPECT_EQ(r.prints[0], "3735928559");
    EXPECT_EQ(r.memory[0].addr, 0x08000000u);
    EXPECT_EQ(r.memory[0].words, (std::vector<uint32_t>{0x20020000u, 0x080001adu}));
}

#else  // KORVANE_QEMU_TESTS

// ---------------------------------------------------------------------------
namespace {

constexpr uint32_t kCfsr = 0xE000ED28, kHfsr = 0xE000ED2C, kBfar = 0xE000ED38;

#define SKIP_WITHOUT_QEMU()                                                                     \
    if (!qemu_gdb_available() || !binutils_present())                                            \
    GTEST_SKIP() << "qemu-system-arm, gdb-multiarch or arm-none-eabi binutils absent "           \
                    "(Debian packages qemu-system-arm, gdb-multiarch, binutils-arm-none-eabi)"

QemuGdbStep step(QemuGdbOp op, std::string arg = "", unsigned count = 0) { return {op, std::move(arg), count}; }

// Runs to main, writes g_fault_trigger and stops in HardFault_Handler before
// its first instruction; reads the fault state.
struct FaultRun {
    QemuGdbResult r;
    uint32_t ipsr = 0, stacked_pc = 0, stacked_r0 = 0, cfsr = 0, hfsr = 0, bfar = 0;
    std::string stop_function;
};

bool run_fault(const std::string& elf, int trigger, FaultRun* f, const char* variable = "g_fault_trigger") {
    QemuGdbScript s;
    s.elf = elf;
    s.steps = {step(QemuGdbOp::Break, "main"),
               step(QemuGdbOp::Continue),
               step(QemuGdbOp::SetVar, std::string(variable) + " = " + std::to_string(trigger)),
               step(QemuGdbOp::Break, "*HardFault_Handler"),
               step(QemuGdbOp::Continue),
               step(QemuGdbOp::Registers),
               step(QemuGdbOp::Memory, "$sp", 8),
               step(QemuGdbOp::Memory, std::to_string(kCfsr), 1),
               step(QemuGdbOp::Memory, std::to_string(kHfsr), 1),
               step(QemuGdbOp::Memory, std::to_string(kBfar), 1)};
    bool ok = qemu_gdb_run(s, &f->r);
    if (std::getenv("KORVANE_QEMU_VERBOSE")) std::fprintf(stderr, "%s\n", f->r.transcript.c_str());
    if (!ok) return false;
    f->stop_function = f->r.stops[1].function;
    f->ipsr = f->r.regs[0].xpsr & 0x1FF;
    f->stacked_r0 = f->r.memory[0].words[0];
    f->stacked_pc = f->r.memory[0].words[6];
    f->cfsr = f->r.memory[1].words[0];
    f->hfsr = f->r.memory[2].words[0];
    f->bfar = f->r.memory[3].words[0];
    return true;
}

class DemoOnQemu : public ::testing::TestWithParam<const char*> {
  protected:
    std::string elf() const { return fw_path(GetParam(), ".elf"); }
    std::vector<uint8_t> bin() const { return read_bytes(fw_path(GetParam(), ".bin")); }
};

}  // namespace

TEST_P(DemoOnQemu, ReachesMainWithDataCopiedAndTicks) {
    SKIP_WITHOUT_QEMU();
    auto syms = symbols(elf());
    QemuGdbScript s;
    s.elf = elf();
    s.steps = {step(QemuGdbOp::Registers),  // at reset, before any instruction
               step(QemuGdbOp::Memory, "0x08000000", 16),
               step(QemuGdbOp::Memory, "0", 16),  // flash alias
               step(QemuGdbOp::Break, "main"),
               step(QemuGdbOp::Continue),
               step(QemuGdbOp::Print, "g_u32"),
               step(QemuGdbOp::Print, "g_record"),
               step(QemuGdbOp::Print, "*g_ptr == g_i32 && g_ptr == &g_i32"),
               step(QemuGdbOp::Print, "sizeof(g_mode)"),
               step(QemuGdbOp::Print, "g_tick_count"),
               step(QemuGdbOp::Break, "SysTick_Handler"),
               step(QemuGdbOp::Continue),
               step(QemuGdbOp::Registers),
               step(QemuGdbOp::Continue),
               step(QemuGdbOp::Continue),
               step(QemuGdbOp::Continue),
               step(QemuGdbOp::Delete),
               step(QemuGdbOp::Print, "g_tick_count"),
               step(QemuGdbOp::Print, "g_wave >= -1.0 && g_wave <= 1.0")};
    QemuGdbResult r;
    bool ok = qemu_gdb_run(s, &r);
    if (std::getenv("KORVANE_QEMU_VERBOSE")) std::fprintf(stderr, "%s\n", r.transcript.c_str());
    ASSERT_TRUE(ok) << r.error << "\n" << r.transcript;

    std::vector<uint8_t> image = bin();
    const QemuGdbRegs& reset = r.regs[0];
    EXPECT_EQ(reset.r[13], le32(image, 0)) << "SP from vector 0";
    EXPECT_EQ(reset.r[15], le32(image, 4) & ~1u) << "PC from vector 1";
    EXPECT_EQ(reset.xpsr & (1u << 24), 1u << 24) << "Thumb bit from vector 1";
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(r.memory[0].words[i], le32(image, 4 * i)) << "flash word " << i;
        EXPECT_EQ(r.memory[1].words[i], le32(image, 4 * i)) << "alias word " << i;
    }

    EXPECT_EQ(r.stops[0].function, "main");
    EXPECT_EQ(r.prints[0], "3735928559");
    EXPECT_NE(r.prints[1].find("id = 42"), std::string::npos) << r.prints[1];
    EXPECT_NE(r.prints[1].find("pos = {x = -3, y = 7}"), std::string::npos) << r.prints[1];
    EXPECT_EQ(r.prints[2], "1");
    EXPECT_EQ(r.prints[3], "1");
    EXPECT_EQ(r.prints[4], "0") << "bss zeroed, SysTick not yet started";

    for (int i = 1; i <= 4; ++i) EXPECT_EQ(r.stops[i].function, "SysTick_Handler") << i;
    EXPECT_EQ(r.regs[1].xpsr & 0x1FF, 15u) << "IPSR = SysTick";
    EXPECT_GE(std::strtoul(r.prints[5].c_str(), nullptr, 0), 3u) << "three handler runs completed";
    EXPECT_EQ(r.prints[6], "1");
}

TEST_P(DemoOnQemu, UdfEscalatesToHardFaultWithStackedPcAtTheUdf) {
    SKIP_WITHOUT_QEMU();
    auto syms = symbols(elf());
    FaultRun f;
    ASSERT_TRUE(run_fault(elf(), 1, &f)) << f.r.error << "\n" << f.r.transcript;
    EXPECT_EQ(f.stop_function, "HardFault_Handler");
    EXPECT_EQ(f.ipsr, 3u);
    EXPECT_EQ(f.stacked_pc, syms["fault_udf"].addr & ~1u);
    EXPECT_TRUE(f.cfsr & (1u << 16)) << "UFSR.UNDEFINSTR, cfsr=" << std::hex << f.cfsr;
    EXPECT_TRUE(f.hfsr & (1u << 30)) << "HFSR.FORCED";
    std::vector<uint8_t> image = bin();
    uint32_t off = f.stacked_pc - kFlashBase;
    ASSERT_LT(off + 1, image.size());
    EXPECT_EQ(image[off + 1], 0xDE) << "UDF T1 encoding 0xDExx at the stacked PC";
}

TEST_P(DemoOnQemu, UnmappedLoadEscalatesPreciseBusFault) {
    SKIP_WITHOUT_QEMU();
    auto syms = symbols(elf());
    FaultRun f;
    ASSERT_TRUE(run_fault(elf(), 2, &f)) << f.r.error << "\n" << f.r.transcript;
    EXPECT_EQ(f.stop_function, "HardFault_Handler");
    EXPECT_EQ(f.ipsr, 3u);
    EXPECT_EQ(f.stacked_pc, syms["fault_bus_read"].addr & ~1u);
    EXPECT_EQ(f.stacked_r0, 0x60000000u);
    EXPECT_EQ(f.cfsr & 0x8200u, 0x8200u) << "BFARVALID and PRECISERR, cfsr=" << std::hex << f.cfsr;
    EXPECT_EQ(f.bfar, 0x60000000u);
    EXPECT_TRUE(f.hfsr & (1u << 30)) << "HFSR.FORCED";
}

TEST_P(DemoOnQemu, DivideByZeroAndArmStateCallFaultAsUsageFaults) {
    SKIP_WITHOUT_QEMU();
    auto syms = symbols(elf());
    FaultRun div;
    ASSERT_TRUE(run_fault(elf(), 3, &div)) << div.r.error << "\n" << div.r.transcript;
    EXPECT_EQ(div.ipsr, 3u);
    EXPECT_EQ(div.stacked_pc, syms["fault_divide"].addr & ~1u);
    EXPECT_TRUE(div.cfsr & (1u << 25)) << "UFSR.DIVBYZERO, cfsr=" << std::hex << div.cfsr;

    FaultRun inv;
    ASSERT_TRUE(run_fault(elf(), 4, &inv)) << inv.r.error << "\n" << inv.r.transcript;
    EXPECT_EQ(inv.ipsr, 3u);
    EXPECT_EQ(inv.stacked_pc, syms["fault_udf"].addr & ~1u) << "the even branch target";
    EXPECT_TRUE(inv.cfsr & (1u << 17)) << "UFSR.INVSTATE, cfsr=" << std::hex << inv.cfsr;
    EXPECT_FALSE(inv.cfsr & (1u << 16)) << "not UNDEFINSTR: the UDF itself never ran";
}

// QEMU does not model halting debug, so a BKPT is the "no debugger" case:
// HardFault with the stacked PC at the BKPT. (QEMU reports HFSR.FORCED; the
// ARMv7-M manual says DEBUGEVT with DFSR.BKPT, which is what the simulator
// must do, so HFSR is not compared here.)
TEST_P(DemoOnQemu, BkptWithoutDebuggerEndsInHardFaultAtTheBkpt) {
    SKIP_WITHOUT_QEMU();
    auto syms = symbols(elf());
    FaultRun f;
    ASSERT_TRUE(run_fault(elf(), 1, &f, "g_bkpt_trigger")) << f.r.error << "\n" << f.r.transcript;
    EXPECT_EQ(f.stop_function, "HardFault_Handler");
    EXPECT_EQ(f.ipsr, 3u);
    EXPECT_EQ(f.stacked_pc, syms["fault_bkpt"].addr & ~1u);
    std::vector<uint8_t> image = bin();
    uint32_t off = f.stacked_pc - kFlashBase;
    ASSERT_LT(off + 1, image.size());
    EXPECT_EQ(image[off + 1], 0xBE) << "BKPT encoding 0xBExx";
    EXPECT_EQ(image[off], 0x42) << "BKPT immediate";
}

INSTANTIATE_TEST_SUITE_P(Variants, DemoOnQemu, ::testing::Values("demo_O0_dwarf4", "demo_O2_dwarf5"));

// A session that never reaches its breakpoint ends at the time-out, as a failure.
TEST(QemuGdbHarness, ContinueThatNeverStopsTimesOut) {
    SKIP_WITHOUT_QEMU();
    QemuGdbScript s;
    s.elf = fw_path("demo_O0_dwarf4", ".elf");
    s.timeout_ms = 4000;
    s.steps = {step(QemuGdbOp::Break, "NMI_Handler"), step(QemuGdbOp::Continue)};
    QemuGdbResult r;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(qemu_gdb_run(s, &r));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_NE(r.error.find("time-out"), std::string::npos) << r.error;
    EXPECT_NE(r.error.find("step 1"), std::string::npos) << r.error;
    EXPECT_LT(ms, 8000);
}

#endif  // KORVANE_QEMU_TESTS
