// binutils as an oracle: each tool's output parsed once, for every suite.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

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

inline std::vector<uint8_t> read_binary_file(const std::string& path) {
    std::vector<uint8_t> d;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return d;
    fseek(f, 0, SEEK_END);
    d.resize((size_t)ftell(f));
    fseek(f, 0, SEEK_SET);
    if (fread(d.data(), 1, d.size(), f) != d.size()) d.clear();
    fclose(f);
    return d;
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

// Instruction start addresses from objdump's disassembly.
inline std::set<uint32_t> objdump_insn_starts(const std::string& elf) {
    std::set<uint32_t> out;
    std::istringstream in(run_capture("arm-none-eabi-objdump -d '" + elf + "' 2>/dev/null"));
    std::regex re(R"(^\s+([0-9a-f]+):\s+[0-9a-f]{4})");
    std::string line;
    std::smatch m;
    while (std::getline(in, line))
        if (std::regex_search(line, m, re)) out.insert((uint32_t)std::stoul(m[1], nullptr, 16));
    return out;
}
