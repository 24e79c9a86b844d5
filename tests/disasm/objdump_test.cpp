// Every instruction of newlib (five multilibs, ARM and Thumb), the demo
// firmware and the flash algorithms, as our disassembler writes it, against
// arm-none-eabi-objdump's listing of the same image. Code and data are told
// apart by the image's mapping symbols, read by our own ELF loader.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>

#include "disasm/arm_disasm.h"
#include "symbols/elf_dwarf.h"
#include "tests/symbols/oracle.h"

namespace {

// One documented normalisation, applied to both texts: comments and objdump's
// "<symbol+off>" dropped; lower case; white space dropped after the mnemonic;
// "#" dropped and every number in decimal; register aliases sb, sl, fp, ip as
// r9 to r12; objdump's bare hexadecimal branch target made a number.
// Mnemonic synonyms: the width qualifiers .w/.n (assembler hints, not part of
// the instruction), ldmia/stmia = ldm/stm, push/pop = stmdb/ldmia on sp with
// write-back (the architecture's preferred text for the latter).
struct Text {
    std::string mnem, ops;
};

bool is_branch(const std::string& m) {
    static const std::set<std::string> stems = {"b", "bl", "blx", "cbz", "cbnz"};
    static const std::set<std::string> conds = {"eq", "ne", "cs", "cc", "mi", "pl", "vs", "vc",
                                                "hi", "ls", "ge", "lt", "gt", "le"};
    return stems.count(m) || (m.size() > 2 && stems.count(m.substr(0, m.size() - 2)) && conds.count(m.substr(m.size() - 2)));
}

std::string strip_width(std::string m) {
    if (m.size() > 2 && (m.compare(m.size() - 2, 2, ".w") == 0 || m.compare(m.size() - 2, 2, ".n") == 0)) m.resize(m.size() - 2);
    return m;
}

// A word of the operands in its normal form: numbers in decimal, aliases as rN.
std::string normal_word(const std::string& w, bool hex_default) {
    static const std::map<std::string, std::string> aliases = {{"sb", "r9"}, {"sl", "r10"}, {"fp", "r11"}, {"ip", "r12"},
                                                               {"sp", "r13"}, {"lr", "r14"}, {"pc", "r15"}};
    auto a = aliases.find(w);
    if (a != aliases.end()) return a->second;
    bool hex = w.size() > 2 && w[0] == '0' && w[1] == 'x' && w.find_first_not_of("0123456789abcdef", 2) == std::string::npos;
    bool dec = !w.empty() && w.find_first_not_of("0123456789") == std::string::npos;
    bool bare_hex = hex_default && !w.empty() && w.find_first_not_of("0123456789abcdef") == std::string::npos;
    if ((hex || bare_hex || dec) && w.size() <= 18) return std::to_string(std::stoull(w, nullptr, hex || bare_hex ? 16 : 10));
    return w;
}

Text normalise(std::string line, bool objdump) {
    size_t c = line.find(objdump ? '@' : ';');
    if (c != std::string::npos) line.resize(c);
    for (char& ch : line) ch = ch == '\t' ? ' ' : (char)tolower((unsigned char)ch);
    for (size_t lt; (lt = line.find(" <")) != std::string::npos;) {
        size_t gt = line.find('>', lt);
        line.erase(lt, gt == std::string::npos ? std::string::npos : gt - lt + 1);
    }
    size_t b = line.find_first_not_of(' ');
    if (b == std::string::npos) return {};
    line = line.substr(b);
    size_t sp = line.find(' ');
    Text t{strip_width(line.substr(0, sp)), ""};
    std::string ops;
    for (char ch : sp == std::string::npos ? std::string() : line.substr(sp + 1))
        if (ch != ' ' && ch != '#') ops += ch;
    // objdump writes a branch target as bare hexadecimal: the last operand.
    size_t target = objdump && is_branch(t.mnem) ? (ops.rfind(',') == std::string::npos ? 0 : ops.rfind(',') + 1) : std::string::npos;
    for (size_t i = 0; i < ops.size();) {
        size_t j = i;
        while (j < ops.size() && (isalnum((unsigned char)ops[j]) || ops[j] == '_' || ops[j] == '.')) ++j;
        if (j == i) {
            t.ops += ops[i++];
            continue;
        }
        t.ops += normal_word(ops.substr(i, j - i), i == target);
        i = j;
    }
    // Register lists in full: "{r4-r7}" is "{r4, r5, r6, r7}" (objdump writes
    // ranges only for floating-point lists, we for any run of three).
    for (size_t open = t.ops.find('{'); open != std::string::npos; open = t.ops.find('{', open + 1)) {
        size_t close = t.ops.find('}', open);
        if (close == std::string::npos) break;
        std::string list = t.ops.substr(open + 1, close - open - 1), full;
        std::istringstream parts(list);
        for (std::string item; std::getline(parts, item, ',');) {
            size_t dash = item.find('-');
            int from, to;
            char a, b;
            if (dash != std::string::npos && sscanf(item.c_str(), "%c%d-%c%d", &a, &from, &b, &to) == 4 && a == b && from < to)
                for (int r = from; r <= to; ++r) full += (full.empty() ? "" : ",") + std::string(1, a) + std::to_string(r);
            else
                full += (full.empty() ? "" : ",") + item;
        }
        t.ops.replace(open + 1, close - open - 1, full);
    }
    // Synonyms.
    // objdump's Thumb-2 "mov rd, rm, <shift> #n" / "mov rd, rm, rrx" is the
    // shift instruction the architecture names: "lsl rd, rm, #n", "rrx rd, rm".
    if (t.mnem.rfind("mov", 0) == 0) {
        static const char* const kinds[] = {"lsl", "lsr", "asr", "ror", "rrx"};
        for (const char* k : kinds) {
            size_t at = t.ops.find(std::string(",") + k);
            if (at == std::string::npos || t.ops.find(',') == at) continue;
            std::string amount = t.ops.substr(at + 4);
            t.mnem = k + t.mnem.substr(3);
            t.ops = t.ops.substr(0, at) + (amount.empty() ? "" : "," + amount);
            break;
        }
    }
    for (const char* stem : {"ldm", "stm"})
        if (t.mnem.rfind(std::string(stem) + "ia", 0) == 0) t.mnem.erase(3, 2);
    bool sp_wb = t.ops.rfind("r13!,", 0) == 0;
    if (sp_wb && t.mnem.rfind("stmdb", 0) == 0) t.mnem = "push" + t.mnem.substr(5), t.ops = t.ops.substr(5);
    else if (sp_wb && t.mnem.rfind("ldm", 0) == 0 && !(t.mnem.size() >= 5 && (t.mnem.compare(3, 2, "db") == 0 || t.mnem.compare(3, 2, "ib") == 0 || t.mnem.compare(3, 2, "da") == 0)))
        t.mnem = "pop" + t.mnem.substr(3), t.ops = t.ops.substr(5);
    return t;
}

struct Image {
    const char* name;
    std::string path;
};

std::string fixture(const char* f) { return std::string(KORVANE_DISASM_FIXTURES "/") + f; }

struct Tally {
    long insns = 0, mnem_bad = 0, ops_bad = 0, words = 0, words_bad = 0;
};

class ObjdumpOracle : public testing::TestWithParam<Image> {};

}  // namespace

TEST_P(ObjdumpOracle, EveryInstructionReadsAsObjdumpShowsIt) {
    const std::string path = GetParam().path;
    std::vector<ObjdumpInsn> listing = objdump_listing(path);
    ASSERT_GT(listing.size(), 10u) << path;
    ElfDwarf* e = elf_dwarf_load(path.c_str());
    ASSERT_NE(e, nullptr) << elf_dwarf_error();
    ARMSTATE st;
    disasm_init(&st, DISASM_ADD_CMT);
    for (uint32_t i = 0; i < e->symbol_count; ++i) {
        const ElfSymbol& s = e->symbols[i];
        const char* name = s.kind == 'd' ? "$d" : s.kind == 't' ? "$t" : s.kind == 'a' ? "$a" : s.name;
        disasm_symbol(&st, name, s.address & (s.kind == 'o' ? ~0u : ~1u), 0);
    }
    for (uint32_t i = 0; i < e->func_count; ++i) disasm_symbol(&st, e->funcs[i].name, e->funcs[i].address, 2);

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
    printf("%s: %ld instructions, %ld mnemonics differ, %ld texts differ (%.3f%% agree), %ld/%ld data words differ\n",
           GetParam().name, t.insns, t.mnem_bad, t.ops_bad, ops_agree, t.words_bad, t.words);
    EXPECT_EQ(t.mnem_bad, 0) << "by objdump's mnemonic: " << summary << "\n" << shown;
    EXPECT_GE(ops_agree, 99.5) << "by objdump's mnemonic: " << summary << "\n" << shown;
    EXPECT_EQ(t.words_bad, 0) << shown;
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
    {"korvane_flm", KORVANE_DEMO_PACK_DIR "/Korvane.DemoBoard/Flash/KorvaneF4_1024.FLM"},
    {"st_flm_f4", KORVANE_SHARED_DATA "/flm/STM32F4xx_1024.FLM"},
    {"st_flm_h7", KORVANE_SHARED_DATA "/flm/STM32H7x_2048.FLM"},
    {"st_flm_u5", KORVANE_SHARED_DATA "/flm/STM32U5xx_2M_0800.FLM"},
};

[[maybe_unused]] void PrintTo(const Image& i, std::ostream* os) { *os << i.name; }
INSTANTIATE_TEST_SUITE_P(Images, ObjdumpOracle, testing::ValuesIn(kImages), [](const auto& i) { return std::string(i.param.name); });
