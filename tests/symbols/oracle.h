// binutils and gdb (on the ELF alone) as oracles: each tool's output parsed
// once, for every suite.
#pragma once

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/test_util.h"

inline std::string run_capture(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

inline std::string base_of(const std::string& path) {
    size_t k = path.find_last_of("/\\");
    return k == std::string::npos ? path : path.substr(k + 1);
}

// name -> address as `arm-none-eabi-nm` lists it (a function's Thumb bit set).
inline std::map<std::string, uint32_t> nm_symbols(const std::string& elf) {
    std::map<std::string, uint32_t> m;
    std::istringstream in(run_capture("arm-none-eabi-nm '" + elf + "' 2>/dev/null"));
    char name[256], type;
    unsigned long addr;
    for (std::string line; std::getline(in, line);)
        if (std::sscanf(line.c_str(), "%lx %c %255s", &addr, &type, name) == 3) m[name] = static_cast<uint32_t>(addr);
    return m;
}

typedef std::tuple<uint32_t, uint32_t, std::string> LineRow;  // address, line, base name

// Rows of `objdump --dwarf=decodedline` (end-of-sequence rows carry no line number).
inline std::vector<LineRow> objdump_lines(const std::string& elf) {
    std::vector<LineRow> rows;
    std::istringstream in(run_capture("arm-none-eabi-objdump -w --dwarf=decodedline '" + elf + "' 2>/dev/null"));
    std::regex re(R"(^(\S+)\s+(\d+)\s+(0x[0-9a-f]+))");
    std::string line;
    std::smatch m;
    while (std::getline(in, line))
        if (std::regex_search(line, m, re))
            rows.emplace_back((uint32_t)std::stoul(m[3], nullptr, 16), (uint32_t)std::stoul(m[2]), base_of(m[1]));
    return rows;
}

struct FuncRow {
    uint32_t addr, size;
    std::string name;
    bool operator<(const FuncRow& o) const { return std::tie(addr, size, name) < std::tie(o.addr, o.size, o.name); }
    bool operator==(const FuncRow& o) const { return addr == o.addr && size == o.size && name == o.name; }
};

inline std::multiset<FuncRow> readelf_funcs(const std::string& elf) {
    std::multiset<FuncRow> out;
    std::istringstream in(run_capture("arm-none-eabi-readelf -sW '" + elf + "' 2>/dev/null"));
    std::regex re(R"(^\s*\d+:\s+([0-9a-f]+)\s+(\S+)\s+FUNC\s+\S+\s+\S+\s+\S+\s+(\S+))");
    std::string line;
    std::smatch m;
    while (std::getline(in, line))
        if (std::regex_search(line, m, re))
            out.insert(FuncRow{(uint32_t)std::stoul(m[1], nullptr, 16) & ~1u,
                               (uint32_t)std::stoul(m[2], nullptr, 0), std::string(m[3]).substr(0, 127)});
    return out;
}

// One line of `objdump -d`: a Thumb instruction ("   2c:\tf8c4 6188 \tstr.w\tr6, [r4, #392]"),
// an ARM one ("8000:\te92d4010 \tpush\t{r4, lr}") or data (".word", ".short",
// ".byte"). In an archive the addresses start again with each member.
// An encoding objdump cannot decode has no mnemonic, only the comment
// "@ <UNDEFINED> instruction: 0x...".
struct ObjdumpInsn {
    uint32_t addr;
    uint8_t code[4];
    int len;
    std::string mnem, ops, func;
    bool arm = false, data = false;
    uint32_t word = 0;  // the value as objdump groups it: an ARM word, Thumb halfwords high first
};

// `options` replace "-d", e.g. "-D -b binary -marm" for a file of raw encodings.
inline std::vector<ObjdumpInsn> objdump_listing(const std::string& file, const std::string& options = "-d") {
    std::vector<ObjdumpInsn> out;
    std::istringstream in(run_capture("arm-none-eabi-objdump " + options + " '" + file + "' 2>/dev/null"));
    std::string func;
    for (std::string line; std::getline(in, line);) {
        size_t lt = line.find(" <");  // "00008040 <main>:"
        if (line.size() > 4 && line.compare(line.size() - 2, 2, ">:") == 0 && lt != std::string::npos)
            func = line.substr(lt + 2, line.size() - lt - 4);
        size_t colon = line.find(":\t");
        if (colon == std::string::npos || colon > 12) continue;
        ObjdumpInsn x{};
        char* end = nullptr;
        x.addr = (uint32_t)strtoul(line.c_str(), &end, 16);
        size_t p = colon + 2, tab = line.find('\t', p);
        if (end != line.c_str() + colon || tab == std::string::npos) continue;
        std::string hex = line.substr(p, tab - p);
        while (!hex.empty() && hex.back() == ' ') hex.pop_back();
        size_t t2 = line.find('\t', tab + 1);
        x.mnem = line.substr(tab + 1, t2 == std::string::npos ? std::string::npos : t2 - tab - 1);
        x.ops = t2 == std::string::npos ? "" : line.substr(t2 + 1);
        x.func = func;
        x.data = !x.mnem.empty() && x.mnem[0] == '.';
        unsigned h[2];
        if (hex.size() == 8) {  // an ARM word or a data word
            x.word = (uint32_t)strtoul(hex.c_str(), nullptr, 16);
            for (int i = 0; i < 4; ++i) x.code[i] = (uint8_t)(x.word >> (8 * i));
            x.len = 4;
            x.arm = !x.data;
        } else {
            int n = sscanf(hex.c_str(), "%x %x", &h[0], &h[1]);
            if (n < 1) continue;
            if (hex.size() <= 4 && x.data) {  // .short / .byte
                x.word = h[0];
                x.len = (int)hex.size() / 2;
                for (int i = 0; i < x.len; ++i) x.code[i] = (uint8_t)(h[0] >> (8 * i));
            } else {
                for (int i = 0; i < n; ++i) {
                    x.code[2 * i] = (uint8_t)h[i];
                    x.code[2 * i + 1] = (uint8_t)(h[i] >> 8);
                }
                x.len = 2 * n;
                x.word = n == 2 ? (h[0] << 16) | h[1] : h[0];
            }
        }
        out.push_back(x);
    }
    return out;
}

// The Thumb instructions alone.
inline std::vector<ObjdumpInsn> objdump_insns(const std::string& file) {
    std::vector<ObjdumpInsn> out;
    for (ObjdumpInsn& x : objdump_listing(file))
        if (!x.data && !x.arm) out.push_back(std::move(x));
    return out;
}

inline std::set<uint32_t> objdump_insn_starts(const std::string& elf) {
    std::set<uint32_t> out;
    for (const ObjdumpInsn& x : objdump_insns(elf)) out.insert(x.addr);
    return out;
}

// `readelf -SW`: section name -> its index, address, file offset and size.
struct ElfSectionRow {
    uint32_t index, addr, offset, size;
};

inline std::map<std::string, ElfSectionRow> elf_sections(const std::string& elf) {
    std::map<std::string, ElfSectionRow> out;
    std::istringstream in(run_capture("arm-none-eabi-readelf -SW '" + elf + "' 2>/dev/null"));
    std::regex re(R"(^\s*\[\s*(\d+)\]\s+(\S+)\s+\S+\s+([0-9a-f]+)\s+([0-9a-f]+)\s+([0-9a-f]+))");
    std::smatch m;
    for (std::string line; std::getline(in, line);)
        if (std::regex_search(line, m, re) && m[1] != "0")
            out[m[2]] = {(uint32_t)std::stoul(m[1]), (uint32_t)std::stoul(m[3], nullptr, 16),
                         (uint32_t)std::stoul(m[4], nullptr, 16), (uint32_t)std::stoul(m[5], nullptr, 16)};
    return out;
}

// A section's bytes as the file holds them (empty when there is no such section).
inline std::vector<uint8_t> elf_section_bytes(const std::string& elf, const std::string& name) {
    auto s = elf_sections(elf);
    std::vector<uint8_t> img = read_binary_file(elf);
    auto it = s.find(name);
    if (it == s.end() || (uint64_t)it->second.offset + it->second.size > img.size()) return {};
    return std::vector<uint8_t>(img.begin() + it->second.offset, img.begin() + it->second.offset + it->second.size);
}

// `readelf -wi`: the entries of .debug_info.

struct ReadelfDie {
    uint32_t off;
    int depth, version;
    bool walk;            // in a compile unit (not a type unit)
    std::string tag;      // empty for a null entry
    std::map<std::string, std::string> at;
};

inline std::vector<ReadelfDie> readelf_dies(const std::string& elf) {
    std::vector<ReadelfDie> dies;
    std::istringstream in(run_capture("arm-none-eabi-readelf -wi '" + elf + "' 2>/dev/null"));
    std::regex die_re(R"(^\s*<(\d+)><([0-9a-f]+)>: Abbrev Number: (\d+)(?: \((\w+)\))?)");
    std::regex at_re(R"(^\s*<[0-9a-f]+>\s+(DW_AT_\w+)\s*: ?(.*)$)");
    std::smatch m;
    int version = 0;
    bool walk = true;
    for (std::string line; std::getline(in, line);) {
        if (line.find("Compilation Unit @") != std::string::npos) walk = true;
        if (line.find("   Version:") == 0) version = std::stoi(line.substr(line.find(':') + 1));
        if (line.find("   Unit Type:") == 0) walk = line.find("DW_UT_compile") != std::string::npos;
        if (std::regex_search(line, m, die_re))
            dies.push_back(ReadelfDie{(uint32_t)std::stoul(m[2], nullptr, 16), std::stoi(m[1]), version, walk,
                                      m[3] == "0" ? "" : std::string(m[4]), {}});
        else if (!dies.empty() && std::regex_search(line, m, at_re))
            dies.back().at[m[1]] = m[2];
    }
    return dies;
}

inline std::string die_name(const ReadelfDie& d) {
    auto it = d.at.find("DW_AT_name");
    if (it == d.at.end()) return "";
    const std::string& v = it->second;
    size_t k = v.find("): ");
    std::string s = v[0] == '(' && k != std::string::npos ? v.substr(k + 3) : v;
    if (s.find("DW_FORM_") == 0) s = s.substr(s.find(' ') + 1);  // given through DW_FORM_indirect
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
    return s;
}

// An attribute's number: the last hex value readelf shows for it, else its decimal.
inline uint32_t die_number(const ReadelfDie& d, const char* attr) {
    auto it = d.at.find(attr);
    if (it == d.at.end()) return 0;
    std::string v = it->second, last;
    std::regex hex("0x([0-9a-f]+)");
    for (auto i = std::sregex_iterator(v.begin(), v.end(), hex); i != std::sregex_iterator(); ++i) last = (*i)[1];
    return last.empty() ? (uint32_t)std::stoul(v) : (uint32_t)std::stoul(last, nullptr, 16);
}

// `readelf --debug-dump=frames-interp`: the CFA table.

struct CfaRow {
    uint32_t loc, end;  // the row's range
    uint32_t reg;
    int32_t off;
    // The register columns: register number, and the offset from the CFA
    // where it is saved ("c-8"), or 1 where readelf says "u" (not saved).
    std::vector<std::pair<uint32_t, int32_t>> saved;
};

inline std::vector<CfaRow> readelf_cfa_rows(const std::string& elf) {
    // "r4" -> 4, "ra" -> 14 (gcc's return-address column), else -1.
    auto column_reg = [](const std::string& n) {
        if (n == "ra" || n == "lr") return 14;
        return n.size() > 1 && n[0] == 'r' && isdigit((unsigned char)n[1]) ? std::stoi(n.substr(1)) : -1;
    };
    std::vector<CfaRow> rows;
    std::istringstream in(run_capture("arm-none-eabi-readelf --debug-dump=frames-interp '" + elf + "' 2>/dev/null"));
    std::regex fde(R"(FDE cie=\w+ pc=([0-9a-f]+)\.\.([0-9a-f]+))"), row(R"(^([0-9a-f]{8}) r(\d+)\+(-?\d+))");
    std::smatch m;
    uint32_t fde_end = 0;
    size_t fde_first = 0;
    bool in_fde = false;
    std::vector<int> columns;
    for (std::string line; std::getline(in, line);) {
        if (line.find("   LOC   CFA") == 0) {
            columns.clear();
            std::istringstream hs(line.substr(12));
            for (std::string c; hs >> c;) columns.push_back(column_reg(c));
        } else if (line.find(" CIE") != std::string::npos) {
            in_fde = false;
        } else if (std::regex_search(line, m, fde)) {
            fde_end = (uint32_t)std::stoul(m[2], nullptr, 16);
            fde_first = rows.size();
            in_fde = true;
        } else if (in_fde && std::regex_search(line, m, row)) {
            // --gc-sections leaves the entries of dropped functions at 0, on top of each other.
            if (fde_first == rows.size() && m[1] == "00000000") {
                in_fde = false;
                continue;
            }
            uint32_t loc = (uint32_t)std::stoul(m[1], nullptr, 16);
            if (rows.size() > fde_first) rows.back().end = loc;
            CfaRow r{loc, fde_end, (uint32_t)std::stoul(m[2]), std::stoi(m[3]), {}};
            std::istringstream vs(line.substr(17));
            std::string v;
            for (size_t c = 0; c < columns.size() && vs >> v; ++c)
                if (columns[c] >= 0) r.saved.push_back({(uint32_t)columns[c], v.rfind("c", 0) == 0 ? std::stoi(v.substr(1)) : 1});
            rows.push_back(r);
        }
    }
    return rows;
}


// The registers of an SVD file in the SVD tests' dump form (svd_walk.py).
inline std::string svd_walk(const std::string& svd) {
    return run_capture("python3 '" KORVANE_SOURCE_DIR "/tests/symbols/svd_walk.py' '" + svd + "' 2>/dev/null");
}

// `xmllint --xpath`, without the trailing white space.
inline std::string xpath(const std::string& expr, const std::string& file) {
    std::string s = run_capture("xmllint --xpath '" + expr + "' '" + file + "' 2>/dev/null");
    while (!s.empty() && isspace((unsigned char)s.back())) s.pop_back();
    return s;
}


// Runs gdb once with the commands, returns each command's output by its tag.
inline std::map<std::string, std::string> gdb_static(const std::string& elf,
                                                     const std::vector<std::pair<std::string, std::string>>& cmds) {
    // Each command its own -ex (a sourced script would stop at the first
    // error), in runs short enough for one command line.
    std::string out;
    for (size_t first = 0; first < cmds.size(); first += 1000) {
        std::string args;
        for (size_t i = first; i < cmds.size() && i < first + 1000; ++i)
            args += " -ex 'echo @@@" + cmds[i].first + "\\n' -ex '" + cmds[i].second + "'";
        out += run_capture("gdb-multiarch -nx -batch" + args + " '" + elf + "' 2>&1");
    }
    std::map<std::string, std::string> by_tag;
    for (size_t k = out.find("@@@"); k != std::string::npos;) {
        size_t eol = out.find('\n', k), next = out.find("@@@", k + 3);
        if (eol == std::string::npos) break;
        by_tag[out.substr(k + 3, eol - k - 3)] =
            out.substr(eol + 1, next == std::string::npos ? std::string::npos : next - eol - 1);
        k = next;
    }
    return by_tag;
}

// One symbol of `info scope`: "Symbol <name> is <desc>, length <length>."
// (length -1 where gdb gives none).
struct GdbScopeSymbol {
    std::string name, desc;
    long length;
};

inline std::vector<GdbScopeSymbol> gdb_info_scope(const std::string& text) {
    std::vector<GdbScopeSymbol> out;
    std::vector<size_t> starts;
    for (size_t k = 0; (k = text.find("Symbol ", k)) != std::string::npos; k += 7)
        if (k == 0 || text[k - 1] == '\n') starts.push_back(k);
    for (size_t i = 0; i < starts.size(); ++i) {
        size_t end = i + 1 < starts.size() ? starts[i + 1] : text.size();
        std::string block = text.substr(starts[i] + 7, end - starts[i] - 7);
        size_t is = block.find(" is ");
        if (is == std::string::npos) continue;
        std::string desc = block.substr(is + 4);
        long length = -1;
        size_t len = desc.rfind(", length ");
        if (len != std::string::npos) {
            length = std::stol(desc.substr(len + 9));
            desc.resize(len);
        }
        out.push_back({block.substr(0, is), desc, length});
    }
    return out;
}

// `info line *addr`: the line and file, false where gdb has none.
inline bool gdb_info_line(const std::string& text, uint32_t* line, std::string* file) {
    std::smatch m;
    if (!std::regex_search(text, m, std::regex(R"(Line (\d+) of \"([^\"]+)\"\s+(starts at|is at) address)"))) return false;
    *line = (uint32_t)std::stoul(m[1]);
    *file = m[2];
    return true;
}
