// A builder of small ELF images with hand-made DWARF, for hostile images
// (the tests and the benchmarks share it).
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace dwarf_build {

struct Bytes {
    std::vector<uint8_t> d;
    Bytes& u8(uint32_t v) { d.push_back((uint8_t)v); return *this; }
    Bytes& u16(uint32_t v) { return u8(v).u8(v >> 8); }
    Bytes& u32(uint32_t v) { return u16(v).u16(v >> 16); }
    Bytes& uleb(uint64_t v) {
        do u8((uint32_t)(v & 0x7F) | (v > 0x7F ? 0x80 : 0)); while ((v >>= 7) != 0);
        return *this;
    }
    Bytes& sleb(int64_t v) {
        for (bool more = true; more;) {
            uint8_t b = v & 0x7F;
            v >>= 7;
            more = !((v == 0 && !(b & 0x40)) || (v == -1 && (b & 0x40)));
            u8(b | (more ? 0x80 : 0));
        }
        return *this;
    }
    Bytes& str(const std::string& s) {
        d.insert(d.end(), s.begin(), s.end());
        return u8(0);
    }
    Bytes& raw(std::initializer_list<uint8_t> b) {
        for (uint8_t x : b) d.push_back(x);  // GCC 12's -Wstringop-overflow misreads insert() here under -fsanitize=thread
        return *this;
    }
    Bytes& block(const Bytes& b) {  // exprloc / block: ULEB length and bytes
        uleb(b.d.size());
        d.insert(d.end(), b.d.begin(), b.d.end());
        return *this;
    }
    uint32_t size() const { return (uint32_t)d.size(); }
    void put32(uint32_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) d[at + i] = (uint8_t)(v >> (8 * i));
    }
};

inline Bytes op_addr(uint32_t a) { return Bytes().u8(0x03).u32(a); }

struct Section {
    std::string name;
    std::vector<uint8_t> data;
    uint32_t type = 1, flags = 0, addr = 0;
};

struct Func {
    std::string name;
    uint32_t addr, size;
};

// An ELF32 image of the sections, a .text at 0x1000 and a symbol table of the functions.
inline std::vector<uint8_t> make_elf(std::vector<Section> secs, const std::vector<Func>& funcs) {
    secs.insert(secs.begin(), Section{".text", std::vector<uint8_t>(0x300, 0), 1, 6, 0x1000});
    Bytes strtab, symtab;
    strtab.u8(0);
    symtab.d.resize(16, 0);
    for (const Func& f : funcs) {
        symtab.u32(strtab.size()).u32(f.addr | 1).u32(f.size).u8(0x12).u8(0).u16(1);
        strtab.str(f.name);
    }
    uint32_t sym_index = (uint32_t)secs.size() + 1;
    secs.push_back(Section{".symtab", symtab.d, 2});
    secs.push_back(Section{".strtab", strtab.d, 3});
    Bytes names;
    std::vector<uint32_t> name_off;
    secs.push_back(Section{".shstrtab", {}, 3});
    for (const Section& s : secs) name_off.push_back(names.u8(0).size()), names.d.insert(names.d.end(), s.name.begin(), s.name.end());
    secs.back().data = names.u8(0).d;
    Bytes img;
    img.d.resize(52, 0);
    std::vector<uint32_t> offs;
    for (const Section& s : secs) {
        offs.push_back(img.size());
        img.d.insert(img.d.end(), s.data.begin(), s.data.end());
    }
    while (img.size() % 4) img.u8(0);
    uint32_t shoff = img.size();
    img.d.resize(img.size() + 40, 0);  // the null section
    for (size_t i = 0; i < secs.size(); ++i) {
        const Section& s = secs[i];
        img.u32(name_off[i]).u32(s.type).u32(s.flags).u32(s.addr).u32(offs[i]).u32((uint32_t)s.data.size());
        img.u32(s.type == 2 ? sym_index + 1 : 0).u32(0).u32(1).u32(s.type == 2 ? 16 : 0);
    }
    memcpy(img.d.data(), "\x7F" "ELF\x01\x01\x01", 7);
    img.d[16] = 2, img.d[18] = 40, img.d[20] = 1;  // ET_EXEC, EM_ARM, version 1
    img.d[40] = 52, img.d[46] = 40;                // the header's and a section header's sizes
    img.put32(32, shoff);
    img.d[48] = (uint8_t)(secs.size() + 1);
    img.d[50] = (uint8_t)secs.size();
    return img.d;
}

enum : uint32_t {
    F_addr = 0x01, F_data1 = 0x0B, F_data4 = 0x06, F_string = 0x08, F_udata = 0x0F, F_ref4 = 0x13, F_indirect = 0x16,
    F_exprloc = 0x18, F_implicit = 0x21,
};
enum : uint32_t {
    A_location = 0x02, A_name = 0x03, A_byte_size = 0x0B, A_low_pc = 0x11, A_high_pc = 0x12, A_member_loc = 0x38,
    A_frame_base = 0x40, A_type = 0x49,
};

inline void abbrev(Bytes& ab, uint32_t code, uint32_t tag, bool children, std::vector<std::array<int64_t, 3>> pairs) {
    ab.uleb(code).uleb(tag).u8(children);
    for (auto& s : pairs) {
        ab.uleb((uint64_t)s[0]).uleb((uint64_t)s[1]);
        if (s[1] == F_implicit) ab.sleb(s[2]);
    }
    ab.u8(0).u8(0);
}

// The image that made the start-up dump take 29 s and aim at 1.6 GB from
// 30 KB: 1,000 functions inside one subprogram whose 512 variables are a
// 48-member structure reached through 7 typedefs (as deep as the reader
// follows), so every function lists every variable with every member.
inline std::vector<uint8_t> hostile_dump_image() {
    const int kFuncs = 1000, kVars = 512, kMembers = 48, kTypedefs = 7;
    Bytes ab, info;
    abbrev(ab, 1, 0x11, true, {{A_name, F_string}, {A_low_pc, F_addr}, {A_high_pc, F_data4}});
    abbrev(ab, 2, 0x24, false, {{A_name, F_string}, {A_byte_size, F_data1}});
    abbrev(ab, 3, 0x13, true, {{A_name, F_string}, {A_byte_size, F_udata}});
    abbrev(ab, 4, 0x0D, false, {{A_name, F_string}, {A_type, F_ref4}, {A_member_loc, F_data1}});
    abbrev(ab, 5, 0x16, false, {{A_name, F_string}, {A_type, F_ref4}});
    abbrev(ab, 6, 0x2E, true,
           {{A_name, F_string}, {A_low_pc, F_addr}, {A_high_pc, F_data4}, {A_frame_base, F_exprloc}});
    abbrev(ab, 7, 0x34, false, {{A_name, F_string}, {A_type, F_ref4}, {A_location, F_exprloc}});
    ab.u8(0);
    const uint32_t span = 4 * kFuncs;
    info.u32(0).u16(4).u32(0).u8(4);
    info.uleb(1).str("hostile.c").u32(0x1000).u32(span);
    uint32_t t_int = info.size();
    info.uleb(2).str("int").u8(4);
    uint32_t t = info.size();
    info.uleb(3).str("wide").uleb(4 * kMembers);
    for (int m = 0; m < kMembers; ++m) info.uleb(4).str("m" + std::to_string(m)).u32(t_int).u8(4 * m);
    info.u8(0);
    for (int k = 0; k < kTypedefs; ++k) {
        uint32_t next = info.size();
        info.uleb(5).str("wide_t" + std::to_string(k)).u32(t);
        t = next;
    }
    info.uleb(6).str("all").u32(0x1000).u32(span).block(Bytes().u8(0x9C));
    for (int v = 0; v < kVars; ++v)
        info.uleb(7).str("v" + std::to_string(v)).u32(t).block(Bytes().u8(0x91).sleb(-4 * (v + 1)));
    info.u8(0).u8(0);
    info.put32(0, info.size() - 4);
    std::vector<Func> funcs;
    for (int f = 0; f < kFuncs; ++f) funcs.push_back({"f" + std::to_string(f), 0x1000 + 4u * f, 4});
    return make_elf({{".debug_abbrev", ab.d}, {".debug_info", info.d}}, funcs);
}

}  // namespace dwarf_build
