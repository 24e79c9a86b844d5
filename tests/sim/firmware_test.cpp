// The demo firmware and its SVD, judged by tools nobody here wrote: the Arm
// binutils and ST's own SVD of the part. (Its runs on QEMU are the cross-check's.)
#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>

#include "tests/symbols/oracle.h"

namespace {

constexpr uint32_t kFlash = 0x08000000;
bool in_flash(uint32_t a) { return a - kFlash < 1024 * 1024; }
bool in_sram(uint32_t a) { return a - 0x20000000u < 128 * 1024; }
uint32_t num(const std::string& s) { return static_cast<uint32_t>(std::strtoul(s.c_str(), nullptr, 0)); }
std::string fw(const std::string& variant, const char* ext) { return KORVANE_DEMO_FW_DIR "/" + variant + ext; }

uint32_t le32(const std::string& b, uint32_t off) {
    uint32_t v = 0xFFFFFFFFu;
    if (size_t{off} + 4 <= b.size()) std::memcpy(&v, b.data() + off, 4);
    return v;
}

}  // namespace

// Per variant: the entry and vector table; every byte of the image in flash,
// where a probe can program it (RAM is filled only by the reset code); the HEX
// file carrying exactly the .bin; each compile unit's DWARF version; the
// constant table in flash and .data's initial values where the reset code
// copies them from; the fault sites starting with their faulting instruction
// (so a stacked PC can be compared with the symbol; the buffered store's is past it).
TEST(DemoFirmwareElf, VectorsSegmentsHexDwarfAndPlacementAreAsBuilt) {
    if (run_capture("arm-none-eabi-objdump --version").empty()) GTEST_SKIP() << "arm-none-eabi binutils absent";
    const char* names[16] = {nullptr,           "Reset_Handler",    "NMI_Handler",        "HardFault_Handler",
                             "MemManage_Handler", "BusFault_Handler", "UsageFault_Handler", nullptr, nullptr, nullptr,
                             nullptr,           "SVC_Handler",      "DebugMon_Handler",   nullptr, "PendSV_Handler",
                             "SysTick_Handler"};
    for (auto [v, dwarf] : {std::pair{"demo_O0_dwarf4", 4}, {"demo_O0_dwarf5", 5}, {"demo_O2_dwarf4", 4}, {"demo_O2_dwarf5", 5}}) {
        SCOPED_TRACE(v);
        const std::string elf = fw(v, ".elf"), bin = read_text_file(fw(v, ".bin")), h = run_capture("arm-none-eabi-readelf -h " + elf);
        auto syms = nm_symbols(elf);
        auto at = [&](const char* n) { return syms[n] & ~1u; };
        ASSERT_TRUE(bin.size() >= (16 + 82) * 4 && bin.size() < 8192) << "a few KB: " << bin.size();
        size_t entry = h.find("Entry point address:");
        ASSERT_NE(entry, std::string::npos) << h;
        EXPECT_EQ(num(h.substr(entry + 20)), at("Reset_Handler") | 1u) << "Thumb entry at Reset_Handler";
        EXPECT_TRUE(in_sram(le32(bin, 0) - 4) && le32(bin, 0) % 8 == 0) << "8-byte aligned SP in SRAM: " << le32(bin, 0);
        EXPECT_EQ(at("vector_table"), kFlash);
        std::map<uint32_t, std::string> seen;
        for (uint32_t i = 1; i < 16 + 82; ++i) {
            uint32_t a = le32(bin, 4 * i);
            if (i < 16 && !names[i]) {
                EXPECT_EQ(a, 0u) << "reserved vector " << i;
                continue;
            }
            EXPECT_TRUE((a & 1) && in_flash(a)) << "vector " << i << " = " << a;
            if (i >= 16) continue;
            EXPECT_EQ(a, at(names[i]) | 1u) << names[i];
            EXPECT_TRUE(seen.emplace(a, names[i]).second) << names[i] << " shares its address with " << seen[a];
        }
        EXPECT_EQ(le32(bin, 4 * 16), at("WWDG_IRQHandler") | 1u);
        EXPECT_EQ(le32(bin, 4 * (16 + 81)), at("Default_Handler") | 1u);

        std::istringstream segs(run_capture("arm-none-eabi-readelf -lW " + elf));
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
        std::string back = ::testing::TempDir() + "/" + v + "_hex.bin", start = "start address 0x";
        std::string hex = run_capture("arm-none-eabi-objdump -f -h " + fw(v, ".hex"));
        EXPECT_NE(hex.find(" 08000000  08000000 "), std::string::npos) << hex;
        EXPECT_EQ(num(hex.substr(hex.find(start) + start.size() - 2)), le32(bin, 4)) << hex;
        run_capture("arm-none-eabi-objcopy -I ihex -O binary " + fw(v, ".hex") + " " + back);
        EXPECT_TRUE(read_text_file(back) == bin) << "HEX and .bin differ";
        std::string units;
        for (const ReadelfDie& d : readelf_dies(elf))
            if (d.tag == "DW_TAG_compile_unit") {
                units += base_of(die_name(d)) + " ";
                EXPECT_EQ(d.version, dwarf) << die_name(d);
            }
        for (const char* src : {"startup.c ", "main.c ", "faults.c ", "wave.c "}) EXPECT_NE(units.find(src), std::string::npos) << units;

        const uint32_t table = at("g_sine_table");
        ASSERT_TRUE(in_flash(table) && in_flash(at("_sidata")) && in_sram(at("g_u32")));
        EXPECT_EQ(le32(bin, table - kFlash) & 0xFFFF, 0u);
        EXPECT_EQ(le32(bin, table - kFlash + 32) & 0xFFFF, 32767u) << "sin(90 degrees) in Q15";
        EXPECT_EQ(le32(bin, at("_sidata") - kFlash + at("g_u32") - at("_sdata")), 0xDEADBEEFu) << "g_u32's initial value";
        std::map<uint32_t, std::string> insn;
        for (const ObjdumpInsn& x : objdump_insns(elf)) insn[x.addr] = x.mnem + " " + x.ops;
        for (auto [fn, first] : {std::pair{"fault_udf", "udf"}, {"fault_bus_read", "ldr r0, [r0"},
                                 {"fault_divide", "udiv r0, r0, r1"}, {"fault_bkpt", "bkpt 0x0042"}, {"fault_bus_write", "str r1, [r0"}})
            EXPECT_EQ(insn[at(fn)].rfind(first, 0), 0u) << fn << ": " << insn[at(fn)];
    }
}
// ST's SVD of the STM32F407 (the same die as the F405) is the independent
// reference for every address, reset value and field we describe.
TEST(DemoSvd, AgreesWithStsOwnSvd) {
    std::string st_path = KORVANE_SHARED_DATA "/svd/STM32F407.svd";
    if (access(st_path.c_str(), R_OK) != 0) GTEST_SKIP() << "no " << st_path;
    for (const char* k : {"fpuPresent", "mpuPresent", "nvicPrioBits"})
        EXPECT_EQ(xpath(std::string("string(//cpu/") + k + ")", KORVANE_DEMO_SVD), xpath(std::string("string(//cpu/") + k + ")", st_path)) << k;
    // "PERIPH/REG" -> its line of the walk: address, reset value, "field:lowest:width" each.
    auto walk = [](const std::string& svd) {
        std::map<std::string, std::vector<std::string>> regs;
        std::istringstream in(svd_walk(svd));
        std::string periph;
        for (std::string line, w; std::getline(in, line);) {
            std::istringstream ls(line);
            ls >> w;
            if (w == "P") ls >> periph;
            else for (auto& r = regs[periph + "/" + w]; ls >> w;) r.push_back(w);
        }
        return regs;
    };
    auto ours = walk(KORVANE_DEMO_SVD), st = walk(st_path);
    int fields = 0;
    for (const auto& [key, o] : ours) {
        // ST names the debug unit DBG and its registers DBGMCU_*.
        std::string sk = key.rfind("DBGMCU/", 0) == 0 ? "DBG/DBGMCU_" + key.substr(7) : key;
        ASSERT_TRUE(st.count(sk)) << "ST has no register " << sk;
        const std::vector<std::string>& s = st[sk];
        EXPECT_EQ(o[0], s[0]) << key << " address";
        // IDCODE's revision half depends on the silicon, and ST's file gives
        // OPTCR 0x14 where RM0090 says 0x0FFFAAED (the factory option bytes).
        if (key.find("/IDCODE") == std::string::npos && key.find("/OPTCR") == std::string::npos) {
            EXPECT_EQ(o[1], s[1]) << key << " reset value";
        }
        std::map<std::string, std::pair<uint32_t, uint32_t>> sf;  // ST's fields: name -> (lowest, width)
        for (size_t k = 2; k < s.size(); ++k) {
            size_t c1 = s[k].find(':'), c2 = s[k].rfind(':');
            sf[s[k].substr(0, c1)] = {num(s[k].substr(c1 + 1, c2 - c1 - 1)), num(s[k].substr(c2 + 1))};
        }
        for (size_t i = 2; i < o.size(); ++i, ++fields) {
            std::string name = o[i].substr(0, o[i].find(':'));
            auto f = sf.count(name) ? sf[name] : std::pair<uint32_t, uint32_t>{0, 0};
            // ST sometimes splits a field into contiguous one-bit parts (SW -> SW0, SW1).
            for (int n = 0; !sf.count(name) && sf.count(name + std::to_string(n)); ++n) {
                auto [l, w] = sf[name + std::to_string(n)];
                f = n == 0 ? std::pair{l, w} : std::pair{f.first, l == f.first + f.second ? f.second + w : 99};
            }
            EXPECT_EQ(name + ":" + std::to_string(f.first) + ":" + std::to_string(f.second), o[i]) << key;
        }
    }
    EXPECT_GE(ours.size(), 30u);
    EXPECT_GE(fields, 100);
}
