// Every instruction of newlib (five multilibs, ARM and Thumb), the demo
// firmware and the flash algorithms, as our disassembler writes it, against
// arm-none-eabi-objdump's listing of the same image. Code and data are told
// apart by the image's mapping symbols, read by our own ELF loader.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "disasm/arm_disasm.h"
#include "symbols/elf_dwarf.h"
#include "tests/disasm/disasm_text.h"
#include "tests/symbols/oracle.h"

namespace {

struct Image {
    const char* name;
    std::string path;
};

std::string fixture(const char* f) { return std::string(KORVANE_DISASM_FIXTURES "/") + f; }

struct Tally {
    long insns = 0, mnem_bad = 0, ops_bad = 0, words = 0, words_bad = 0, literals = 0, literals_bad = 0;
};

class ObjdumpOracle : public testing::TestWithParam<Image> {};

}  // namespace

TEST_P(ObjdumpOracle, EveryInstructionReadsAsObjdumpShowsIt) {
    const std::string path = GetParam().path;
    // The RTOS and C++ firmware are built only where their kernel and compiler are.
    if (!std::ifstream(path)) GTEST_SKIP() << path << " not built";
    std::vector<ObjdumpInsn> listing = objdump_listing(path);
    ASSERT_GT(listing.size(), 10u) << path;
    ElfDwarf* e = elf_dwarf_load(path.c_str());
    ASSERT_NE(e, nullptr) << elf_dwarf_error();
    ARMSTATE st;
    disasm_init(&st, DISASM_ADD_CMT);
    disasm_symbols_from_elf(&st, e);

    const char* env = getenv("KORVANE_DISASM_DIFFS");
    const long show = env ? atol(env) : 20;
    Tally t;
    std::map<std::string, long> by_mnem;
    std::string shown;
    bool arm = false, in_sync = false;
    for (const ObjdumpInsn& x : listing) {
        if (x.data && x.len != 4) {  // .short / .byte tails: not words, resynchronise after them
            in_sync = false;
            continue;
        }
        if (!x.data) arm = x.arm;
        // Walk through what objdump leaves out ("..." for zeros), so that
        // the markers see every word; start afresh only after a jump back.
        auto step = [&](uint32_t at) {
            uint8_t b[4] = {0, 0, 0, 0};
            elf_read_text(e, at, b, 4);
            if (arm) disasm_arm(&st, (uint32_t)b[0] | b[1] << 8 | b[2] << 16 | (uint32_t)b[3] << 24);
            else disasm_thumb(&st, (uint16_t)(b[0] | b[1] << 8), (uint16_t)(b[2] | b[3] << 8));
        };
        while (in_sync && st.address + st.size < x.addr) step(st.address + st.size);
        if (!in_sync || st.address + st.size != x.addr) disasm_address(&st, x.addr);
        in_sync = true;
        step(x.addr);
        const char* ours = disasm_result(&st, nullptr);
        std::string theirs = x.mnem + " " + x.ops;
        bool bad;
        if (x.data) {
            ++t.words;
            char want[32];
            snprintf(want, sizeof want, ".word 0x%08x", x.word);
            Text o = normalise(ours, false);
            bad = o.mnem + " " + o.ops != normalise(want, false).mnem + " " + normalise(want, false).ops;
            t.words_bad += bad;
        } else {
            ++t.insns;
            Text o = normalise(ours, false), d = normalise(theirs, true);
            bool mbad = o.mnem != d.mnem;
            bad = mbad || o.ops != d.ops;
            t.mnem_bad += mbad;
            t.ops_bad += bad;
            if (bad) ++by_mnem[strip_width(x.mnem)];
            // The word a PC-relative load reads, which the view shows: objdump
            // names it in its comment, "@ (8000450 <main+0xc8>)" (Thumb) or "@ 8000020 <f+0x20>" (ARM).
            size_t at = x.ops.find("@ ");
            if (at != std::string::npos) at += x.ops.compare(at, 3, "@ (") == 0 ? 1 : 0;
            if (at != std::string::npos && x.ops.find("[pc") != std::string::npos &&
                (x.mnem.rfind("ldr", 0) == 0 || x.mnem.rfind("vldr", 0) == 0)) {
                ++t.literals;
                if (st.ldr_addr != (uint32_t)strtoul(x.ops.c_str() + at + 2, nullptr, 16)) {
                    ++t.literals_bad;
                    bad = true;
                }
            }
        }
        if (bad && t.mnem_bad + t.ops_bad + t.words_bad <= show) {
            char head[64];
            snprintf(head, sizeof head, "%08x  %0*x  ", x.addr, x.len * 2, x.word);
            shown += std::string(head) + "ours: " + ours + "\n" + std::string(20 + x.len * 2, ' ') + "objdump: " + theirs + "\n";
        }
    }
    std::vector<std::pair<long, std::string>> kinds;
    for (auto& [m, n] : by_mnem) kinds.push_back({-n, m});
    std::sort(kinds.begin(), kinds.end());
    std::string summary;
    for (size_t i = 0; i < kinds.size() && i < 40; ++i) summary += kinds[i].second + ":" + std::to_string(-kinds[i].first) + " ";
    double ops_agree = t.insns ? 100.0 * (double)(t.insns - t.ops_bad) / (double)t.insns : 0;
    printf("%s: %ld instructions, %ld mnemonics differ, %ld texts differ (%.3f%% agree), %ld/%ld data words differ, "
           "%ld/%ld literal addresses differ\n",
           GetParam().name, t.insns, t.mnem_bad, t.ops_bad, ops_agree, t.words_bad, t.words, t.literals_bad, t.literals);
    EXPECT_EQ(t.mnem_bad, 0) << "by objdump's mnemonic: " << summary << "\n" << shown;
    EXPECT_GE(ops_agree, 99.5) << "by objdump's mnemonic: " << summary << "\n" << shown;
    EXPECT_EQ(t.words_bad, 0) << shown;
    EXPECT_EQ(t.literals_bad, 0) << shown;
    disasm_cleanup(&st);
    elf_dwarf_free(e);
}

const Image kImages[] = {
    {"newlib_arm", fixture("newlib_arm.elf")},
    {"newlib_v6m", fixture("newlib_v6m.elf")},
    {"newlib_v7m", fixture("newlib_v7m.elf")},
    {"newlib_v7em_fp", fixture("newlib_v7em_fp.elf")},
    {"newlib_v8mmain_fp", fixture("newlib_v8mmain_fp.elf")},
    {"demo_O0", KORVANE_DEMO_FW_DIR "/demo_O0_dwarf4.elf"},
    {"demo_O2", KORVANE_DEMO_FW_DIR "/demo_O2_dwarf4.elf"},
    {"rtos_O0", KORVANE_DEMO_FW_DIR "/rtos_O0_dwarf4.elf"},
    {"rtos_O2", KORVANE_DEMO_FW_DIR "/rtos_O2_dwarf4.elf"},
    {"cpp_O2", KORVANE_DEMO_FW_DIR "/cpp_O2_dwarf4.elf"},
    {"korvane_flm", KORVANE_DEMO_PACK_DIR "/Korvane.DemoBoard/Flash/KorvaneF4_1024.FLM"},
    {"st_flm_f4", KORVANE_SHARED_DATA "/flm/STM32F4xx_1024.FLM"},
    {"st_flm_h7", KORVANE_SHARED_DATA "/flm/STM32H7x_2048.FLM"},
    {"st_flm_u5", KORVANE_SHARED_DATA "/flm/STM32U5xx_2M_0800.FLM"},
};

[[maybe_unused]] void PrintTo(const Image& i, std::ostream* os) { *os << i.name; }
INSTANTIATE_TEST_SUITE_P(Images, ObjdumpOracle, testing::ValuesIn(kImages), [](const auto& i) { return std::string(i.param.name); });
