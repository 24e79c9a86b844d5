// The disassembler's text and objdump's brought to one form, so that the
// oracle tests compare what an instruction is rather than how it is spelled.
#pragma once

#include <cctype>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "disasm/arm_disasm.h"
#include "symbols/elf_dwarf.h"

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

inline bool is_branch(const std::string& m) {
    static const std::set<std::string> stems = {"b", "bl", "blx", "cbz", "cbnz"};
    static const std::set<std::string> conds = {"eq", "ne", "cs", "cc", "mi", "pl", "vs", "vc",
                                                "hi", "ls", "ge", "lt", "gt", "le"};
    return stems.count(m) || (m.size() > 2 && stems.count(m.substr(0, m.size() - 2)) && conds.count(m.substr(m.size() - 2)));
}

inline std::string strip_width(std::string m) {
    if (m.size() > 2 && (m.compare(m.size() - 2, 2, ".w") == 0 || m.compare(m.size() - 2, 2, ".n") == 0)) m.resize(m.size() - 2);
    return m;
}

// A word of the operands in its normal form: numbers in decimal, aliases as rN.
inline std::string normal_word(const std::string& w, bool hex_default) {
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

inline Text normalise(std::string line, bool objdump) {
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
    std::string ops = sp == std::string::npos ? std::string() : line.substr(sp + 1);
    // Spaces and "#" end a word but are dropped ("lsr sl" reads "lsrr10").
    // objdump writes a branch target as bare hexadecimal: the last operand.
    size_t last_comma = ops.rfind(',');
    bool at_target = objdump && is_branch(t.mnem) && last_comma == std::string::npos;
    for (size_t i = 0; i < ops.size();) {
        size_t j = i;
        while (j < ops.size() && (isalnum((unsigned char)ops[j]) || ops[j] == '_' || ops[j] == '.')) ++j;
        if (j == i) {
            if (ops[i] != ' ' && ops[i] != '#') t.ops += ops[i], at_target = objdump && is_branch(t.mnem) && i == last_comma;
            ++i;
            continue;
        }
        t.ops += normal_word(ops.substr(i, j - i), at_target);
        at_target = false;
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

// The image's symbols in a decoder state: mapping symbols as code/data
// markers, data objects as labels, functions as Thumb code.
inline void disasm_symbols_from_elf(ARMSTATE* st, const ElfDwarf* e) {
    for (uint32_t i = 0; i < e->symbol_count; ++i) {
        const ElfSymbol& s = e->symbols[i];
        const char* name = s.kind == 'd' ? "$d" : s.kind == 't' ? "$t" : s.kind == 'a' ? "$a" : s.name;
        disasm_symbol(st, name, s.kind == 'o' ? s.address : s.address & ~1u, 0);
    }
    for (uint32_t i = 0; i < e->func_count; ++i) disasm_symbol(st, e->funcs[i].name, e->funcs[i].address, 2);
}
