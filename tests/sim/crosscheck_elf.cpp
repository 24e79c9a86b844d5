#include "tests/sim/crosscheck_elf.h"

#include "tests/sim/qemu_gdb.h"

#include <cstdlib>
#include <set>
#include <sstream>

namespace {

bool hex32(const std::string& s, uint32_t* v) {
    if (s.empty() || s.size() > 8 || s.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
    *v = static_cast<uint32_t>(std::strtoul(s.c_str(), nullptr, 16));
    return true;
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = s.find(sep, start);
        parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

std::string trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

// "08000388 <main>:" -> address and name.
bool function_header(const std::string& line, uint32_t* addr, std::string* name) {
    if (line.size() < 13 || line[8] != ' ' || line[9] != '<' || line.compare(line.size() - 2, 2, ">:") != 0) return false;
    *name = line.substr(10, line.size() - 12);
    return hex32(line.substr(0, 8), addr) && !name->empty();
}

// A branch that can leave the function: bl, b and conditional b, any width.
bool is_branch(const std::string& m) {
    static const char* const conds[] = {"",   "eq", "ne", "cs", "cc", "hs", "lo", "mi", "pl",
                                        "vs", "vc", "hi", "ls", "ge", "lt", "gt", "le", "al"};
    std::string base = m;
    size_t dot = base.find('.');
    if (dot != std::string::npos) {
        std::string w = base.substr(dot);
        if (w != ".n" && w != ".w") return false;
        base.resize(dot);
    }
    if (base == "bl") return true;
    if (base.empty() || base[0] != 'b') return false;
    for (const char* c : conds)
        if (base.substr(1) == c) return true;
    return false;
}

bool tool_output(const std::vector<std::string>& argv, std::string* out, std::string* err) {
    int code = -1;
    if (!qemu_gdb_capture(argv, 30000, out, &code) || code != 0) {
        *err = argv[0] + " failed (exit " + std::to_string(code) + ")";
        return false;
    }
    return true;
}

}  // namespace

bool xc_elf_parse_functions(const std::string& objdump, uint32_t end_of_code, std::vector<XcCodeRange>* out) {
    out->clear();
    std::istringstream in(objdump);
    std::string line;
    while (std::getline(in, line)) {
        uint32_t addr = 0;
        std::string name;
        if (!function_header(line, &addr, &name)) continue;
        if (!out->empty()) out->back().hi = addr;
        out->push_back({addr, end_of_code, name});
    }
    for (const XcCodeRange& r : *out)
        if (r.hi <= r.lo) return false;
    return !out->empty();
}

std::vector<XcCodeRange> xc_elf_reachable(const std::string& objdump, const std::vector<XcCodeRange>& functions,
                                          const std::string& root) {
    std::map<std::string, std::set<std::string>> calls;
    std::set<std::string> known;
    for (const XcCodeRange& f : functions) known.insert(f.name);
    std::istringstream in(objdump);
    std::string line, current;
    while (std::getline(in, line)) {
        uint32_t addr = 0;
        std::string name;
        if (function_header(line, &addr, &name)) {
            current = name;
            continue;
        }
        std::vector<std::string> f = split(line, '\t');
        if (current.empty() || f.size() < 4 || !is_branch(trim(f[2]))) continue;
        size_t lt = f[3].find('<'), gt = f[3].find('>');
        if (lt == std::string::npos || gt == std::string::npos || gt < lt) continue;
        std::string target = f[3].substr(lt + 1, gt - lt - 1);
        if (target.find('+') != std::string::npos || target == current || !known.count(target)) continue;
        calls[current].insert(target);
    }
    std::set<std::string> seen;
    std::vector<std::string> todo;
    if (known.count(root)) todo.push_back(root);
    while (!todo.empty()) {
        std::string n = todo.back();
        todo.pop_back();
        if (!seen.insert(n).second) continue;
        for (const std::string& t : calls[n]) todo.push_back(t);
    }
    std::vector<XcCodeRange> out;
    for (const XcCodeRange& f : functions)
        if (seen.count(f.name)) out.push_back(f);
    return out;
}

std::vector<XcCodeRange> xc_elf_reachable(const XcElfInfo& info, const std::string& root) {
    return xc_elf_reachable(info.disassembly, info.functions, root);
}

bool xc_elf_in(const std::vector<XcCodeRange>& ranges, uint32_t addr) {
    for (const XcCodeRange& r : ranges)
        if (addr >= r.lo && addr < r.hi) return true;
    return false;
}

bool xc_elf_symbol(const XcElfInfo& info, const std::string& name, uint32_t* value) {
    auto it = info.symbols.find(name);
    if (it == info.symbols.end()) return false;
    *value = it->second;
    return true;
}

bool xc_elf_read(const std::string& elf, XcElfInfo* info) {
    *info = XcElfInfo{};
    std::string nm;
    if (!tool_output({"arm-none-eabi-nm", elf}, &nm, &info->error) ||
        !tool_output({"arm-none-eabi-objdump", "-d", elf}, &info->disassembly, &info->error))
        return false;
    std::istringstream in(nm);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> t = split(line, ' ');
        uint32_t v = 0;
        if (t.size() == 3 && hex32(t[0], &v)) info->symbols[t[2]] = v;
    }
    // Code ends where the image's read-only data ends; the last function's
    // range is closed by its own symbol table neighbour, else by this.
    uint32_t end = 0;
    if (!xc_elf_symbol(*info, "_sidata", &end)) {
        info->error = "no _sidata in " + elf;
        return false;
    }
    if (info->symbols.size() < 8 || !xc_elf_parse_functions(info->disassembly, end, &info->functions)) {
        info->error = "unreadable nm/objdump output for " + elf;
        return false;
    }
    return true;
}
