// What the Arm binutils (nm, objdump) say about a firmware image: symbol
// addresses and the code a function can reach through direct calls and tail
// branches. Independent of the simulator and of QEMU.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct XcCodeRange {
    uint32_t lo = 0, hi = 0;  // [lo, hi)
    std::string name;
};

struct XcElfInfo {
    std::map<std::string, uint32_t> symbols;  // value as nm prints it (Thumb bit kept)
    std::vector<XcCodeRange> functions;       // from objdump's function headers, in address order
    std::string disassembly;                  // objdump -d
    std::string error;
};

// Runs arm-none-eabi-nm and arm-none-eabi-objdump; false (with `error`) when
// either fails or prints nothing usable.
bool xc_elf_read(const std::string& elf, XcElfInfo* info);
// Parses objdump -d output into function ranges (each ends where the next
// begins; the last at `end_of_code`).
bool xc_elf_parse_functions(const std::string& objdump, uint32_t end_of_code, std::vector<XcCodeRange>* out);
// Functions reachable from `root` through bl/b to another function's start,
// root included; empty when `root` is unknown.
std::vector<XcCodeRange> xc_elf_reachable(const std::string& objdump, const std::vector<XcCodeRange>& functions,
                                          const std::string& root);
std::vector<XcCodeRange> xc_elf_reachable(const XcElfInfo& info, const std::string& root);
bool xc_elf_in(const std::vector<XcCodeRange>& ranges, uint32_t addr);
// A symbol's value, or false when absent.
bool xc_elf_symbol(const XcElfInfo& info, const std::string& name, uint32_t* value);
