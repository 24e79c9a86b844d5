// The variable reader against the compiler's output: which entries are in
// scope (from readelf's decoding of .debug_info), their types, sizes and
// locations (from gdb), on the demo firmware, the newlib program and a C++
// program with type units, DWARF 2 to 5 at -O0 and -O2. Then hand-made DWARF
// for the forms and edge cases the compiler does not emit, and hostile images.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "symbols/elf_dwarf.h"
#include "symbols/elf_variable.h"
#include "tests/symbols/elf_builder.h"
#include "tests/symbols/oracle.h"

namespace {

struct ElfDeleter {
    void operator()(ElfDwarf* e) const { elf_dwarf_free(e); }
};
typedef std::unique_ptr<ElfDwarf, ElfDeleter> ElfPtr;

std::string fixture(const char* name) { return std::string(KORVANE_SYMBOL_FIXTURES) + "/" + name; }

std::vector<ElfVariable> vars_at(const ElfDwarf* e, uint32_t pc) {
    static std::vector<ElfVariable> buf(512);
    int n = elf_dwarf_get_variables(e, pc, buf.data(), (int)buf.size());
    return std::vector<ElfVariable>(buf.begin(), buf.begin() + (n > 0 ? n : 0));
}

std::vector<ElfVariable> index_of(const ElfDwarf* e) {
    std::vector<ElfVariable> v(1024);
    int n = elf_dwarf_get_all_variables(e, v.data(), (int)v.size());
    EXPECT_LT(n, 1024) << "room for the whole index";
    v.resize(n > 0 ? n : 0);
    return v;
}

std::string key(const ElfVariable& v) {
    return std::string(v.name) + "|" + v.type_name + "|" + std::to_string(v.byte_size) + "|" +
           std::to_string(v.loc_kind) + "|" + std::to_string(v.loc_value) + "|" + std::to_string(v.is_param) +
           "|" + std::to_string(v.member_count);
}

std::vector<std::string> keys(const std::vector<ElfVariable>& v) {
    std::vector<std::string> k;
    for (const ElfVariable& x : v) k.push_back(key(x));
    return k;
}

// The variables outside every function, at an address (0: discarded by the
// linker) or constants.
std::set<std::string> readelf_globals(const std::vector<ReadelfDie>& dies) {
    std::map<uint32_t, const ReadelfDie*> by_off;
    for (const ReadelfDie& d : dies) by_off[d.off] = &d;
    std::set<std::string> globals;
    std::vector<const ReadelfDie*> path;
    for (const ReadelfDie& d : dies) {
        if (d.tag.empty()) continue;
        path.resize(d.depth);
        path.push_back(&d);
        if (!d.walk || d.tag != "DW_TAG_variable") continue;
        bool func = std::any_of(path.begin(), path.end() - 1, [](const ReadelfDie* a) {
            return a->tag == "DW_TAG_subprogram" || a->tag == "DW_TAG_lexical_block" ||
                   a->tag == "DW_TAG_inlined_subroutine";
        });
        auto loc = d.at.find("DW_AT_location");
        auto cv = d.at.find("DW_AT_const_value");
        std::smatch bm;  // a constant of at most 8 bytes: larger ones are not values here
        bool constant = cv != d.at.end() && !d.at.count("DW_AT_declaration") &&
                        !(std::regex_search(cv->second, bm, std::regex(R"(^(\d+) byte block)")) && std::stoi(bm[1]) > 8);
        if (func || (!constant && (loc == d.at.end() || loc->second.find("DW_OP_addr:") == std::string::npos ||
                                   loc->second.find("(DW_OP_addr: 0)") != std::string::npos)))
            continue;
        std::string n = die_name(d);
        for (auto& [attr, v] : d.at)  // nameless: named by the declaration it refers to
            if (n.empty() && attr != "DW_AT_type" && v.find("<0x") == 0 && by_off.count(die_number(d, attr.c_str())))
                n = die_name(*by_off[die_number(d, attr.c_str())]);
        globals.insert(n);
    }
    return globals;
}


// gdb prints "unsigned long" for DWARF's "long unsigned int" and so on.
std::string c_names(std::string t) {
    static const std::pair<const char*, const char*> kNames[] = {
        {"long long unsigned int", "unsigned long long"}, {"long long int", "long long"},
        {"long unsigned int", "unsigned long"},           {"short unsigned int", "unsigned short"},
        {"long int", "long"},                              {"short int", "short"},
        {"volatile const ", "const volatile "}};
    for (auto& [from, to] : kNames)
        for (size_t k; (k = t.find(from)) != std::string::npos;) t.replace(k, strlen(from), to);
    return t;
}

// gdb's `whatis` in the reader's form: no struct/enum keywords or
// namespaces, "fn()*" for a function pointer.
std::string short_type(std::string t) {
    t = std::regex_replace(t, std::regex(R"(^type = )"), "");
    t = std::regex_replace(t, std::regex(R"(\b(struct|union|enum|class) )"), "");
    t = std::regex_replace(t, std::regex(R"(\w+::)"), "");
    t = std::regex_replace(t, std::regex(R"(\{\.\.\.\})"), "(anon)");
    t = std::regex_replace(t, std::regex(R"(^.*\(\*\)\(.*\)$)"), "fn()*");
    return c_names(t);
}

struct GdbLoc {
    bool known;
    VarLocKind kind;
    int32_t value;  // for REG, -1 stands for a register past r15
};

int gdb_reg(const std::string& r) {
    if (r == "sp" || r == "lr" || r == "pc") return r == "sp" ? 13 : r == "lr" ? 14 : 15;
    return r.size() > 1 && r[0] == 'r' && isdigit((unsigned char)r[1]) ? std::stoi(r.substr(1)) : -1;
}

// One symbol description of `info scope`, evaluated at pc.
GdbLoc gdb_location(const std::string& desc, uint32_t pc) {
    std::smatch m;
    if (desc.find("multi-location:") == 0) {
        std::regex range(R"(Range 0x([0-9a-f]+)-0x([0-9a-f]+): )");
        for (auto it = std::sregex_iterator(desc.begin(), desc.end(), range); it != std::sregex_iterator(); ++it) {
            uint32_t lo = (uint32_t)std::stoul((*it)[1], nullptr, 16), hi = (uint32_t)std::stoul((*it)[2], nullptr, 16);
            if (lo <= pc && pc < hi) {
                std::string rest = desc.substr(it->position() + it->length());
                size_t next = rest.find("\n  Range ");
                return gdb_location(rest.substr(0, next), pc);
            }
        }
        return GdbLoc{true, VAR_LOC_NONE, 0};
    }
    if (desc.find("-byte piece]") != std::string::npos) return GdbLoc{true, VAR_LOC_EXPR, 0};  // split over registers
    if (std::regex_search(desc, m, std::regex(R"(^a variable in \$(\w+))")))
        return GdbLoc{true, VAR_LOC_REG, gdb_reg(m[1])};
    if (std::regex_search(desc, m, std::regex(R"(^a variable at frame base reg \$(\w+) offset (-?\d+)\+(-?\d+))")))
        return GdbLoc{true, VAR_LOC_FBREG, (m[1] == "sp" ? std::stoi(m[2]) : 0) + std::stoi(m[3])};
    if (std::regex_search(desc, m, std::regex(R"(^a variable at offset (-?\d+) from base reg \$(\w+))")))
        return m[2] == "sp" ? GdbLoc{true, VAR_LOC_FBREG, std::stoi(m[1])} : GdbLoc{true, VAR_LOC_NONE, 0};
    if (std::regex_search(desc, m, std::regex(R"(^static storage at address 0x([0-9a-f]+))")))
        return GdbLoc{true, VAR_LOC_ADDR, (int32_t)std::stoul(m[1], nullptr, 16)};
    if (desc.find("a complex DWARF expression:") == 0) {
        std::regex op(R"(\n\s+\d+: DW_OP_\w+)");
        auto n = std::distance(std::sregex_iterator(desc.begin(), desc.end(), op), std::sregex_iterator());
        // Only places at a function entry are compared, where the CFA is the SP.
        if (n == 1 && std::regex_search(desc, m, std::regex(R"(0: DW_OP_(?:fbreg|breg13) (-?\d+))")))
            return GdbLoc{true, VAR_LOC_FBREG, std::stoi(m[1])};
        // Entry values and VFP registers are not evaluated here; the rest is kept whole.
        bool foreign = desc.find("entry_value") != std::string::npos || desc.find("_type") != std::string::npos ||
                       desc.find("bad_register") != std::string::npos;
        return GdbLoc{true, foreign ? VAR_LOC_NONE : VAR_LOC_EXPR, 0};
    }
    if (desc.find("optimized out") == 0) return GdbLoc{true, VAR_LOC_NONE, 0};
    if (desc.find("constant") == 0 || desc.find("the constant") == 0) return GdbLoc{true, VAR_LOC_CONST, 0};
    return GdbLoc{false, VAR_LOC_NONE, 0};
}

std::string loc_of(const ElfVariable* v) {
    if (!v) return "absent";
    const char* k[] = {"none", "reg", "cfa", "addr", "const", "expr"};
    if (v->loc_kind == VAR_LOC_CONST) return "const " + std::to_string(v->const_value);
    if (v->loc_kind == VAR_LOC_EXPR) return "expr " + std::to_string(v->expr_len);
    return std::string(k[v->loc_kind]) + (v->loc_kind ? " " + std::to_string(v->loc_value) : "");
}

// One image of the sweep, and the least each part must compare there: gdb
// failing or a parser gone blind shows as a count too low.
struct SweepImage {
    const char* name;
    bool types;   // false where they sit in .debug_types, which is not read
    bool places;  // false where gcc's empty location entries at a function's entry
                  // hold it here, and gdb (without a frame) takes the next entry
    // Together at least what the four sweeps this replaced wanted of all
    // images: 8000 pcs, 1000 types and places, 200 globals, 100 moves.
    size_t min_pcs, min_types, min_locations, min_globals, min_moved, min_bitfields;
};

const SweepImage kSweep[] = {
    {"demo_O0_info2.elf", true, true, 180, 30, 12, 22, 0, 4},          {"demo_O0_info3.elf", true, true, 180, 30, 12, 22, 0, 4},
    {"demo_O0_line4.elf", true, true, 180, 30, 12, 22, 0, 4},          {"demo_O0_info5.elf", true, true, 180, 30, 12, 22, 0, 4},
    {"demo_O2_info2.elf", true, true, 240, 25, 8, 22, 25, 4},          {"demo_O2_info3.elf", true, true, 240, 25, 8, 22, 25, 4},
    {"demo_O2_line4.elf", true, true, 240, 25, 8, 22, 25, 4},          {"demo_O2_info5.elf", true, true, 240, 25, 8, 22, 25, 4},
    {"newlib_O0_info2.elf", true, true, 1200, 600, 600, 6, 5000, 0},   {"newlib_O0_info5.elf", true, true, 1200, 600, 600, 6, 5000, 0},
    {"newlib_O2_info3.elf", true, true, 1200, 600, 600, 6, 5000, 0},   {"newlib_line4.elf", true, true, 1200, 600, 600, 6, 5000, 0},
    {"newlib_clang5.elf", true, true, 600, 300, 300, 6, 1000, 0},     {"typeunit_info4.elf", false, false, 12, 0, 0, 0, 0, 0},           {"typeunit_info5.elf", true, true, 12, 2, 0, 2, 0, 0},
    // The FreeRTOS builds: many inlined calls at -O2.
    {"rtos_O0_dwarf4.elf", true, true, 900, 200, 200, 30, 0, 0},       {"rtos_O2_dwarf4.elf", true, false, 1000, 200, 0, 30, 1000, 0},
};

void PrintTo(const SweepImage& s, std::ostream* os) { *os << s.name; }

class VariablesOracle : public testing::TestWithParam<SweepImage> {};

}  // namespace

// Per image, against one gdb run and readelf's entries:
// - the variables in scope at every pc of the line table and every function
//   entry, as gdb's `info scope` lists them (blocks given by range lists hold
//   only their ranges, inlined calls bring their own variables), with gdb's
//   size and location of each there;
// - each function's locals with gdb's `whatis`, each global's type, size and
//   address;
// - the index (globals, then each function's locals once) against readelf;
// - a watched local placed again at another pc of its function is where the
//   variables in scope there say (its place at the entry holds only until its
//   location list says otherwise);
// - every unit walked for every pc gives the same answers as the walk of only
//   the units holding it.
TEST_P(VariablesOracle, ScopesTypesLocationsAndTheIndexMatchGdbAndReadelf) {
    const SweepImage& img = GetParam();
    const std::string path = std::string(img.name).rfind("rtos", 0) == 0
                                 ? std::string(KORVANE_DEMO_FW_DIR) + "/" + img.name
                                 : fixture(img.name);
    ElfPtr e(elf_dwarf_load(path.c_str()));
    ASSERT_TRUE(e) << elf_dwarf_error();
    const std::vector<ReadelfDie> dies = readelf_dies(path);

    // The index: readelf's globals first, each local of a function's entry
    // once per name and type; the index also keeps the locals of a
    // function's blocks, and a function's own where an inlined call starts at its entry.
    const std::set<std::string> globals = readelf_globals(dies);
    std::vector<ElfVariable> index = index_of(e.get());
    size_t g = 0;
    while (g < index.size() && globals.count(index[g].name)) ++g;
    std::set<std::string> ours_globals, seen, unique;
    for (size_t i = 0; i < g; ++i) {
        ours_globals.insert(index[i].name);
        seen.insert(std::string(index[i].name) + "|" + index[i].type_name);
    }
    EXPECT_EQ(ours_globals, globals);
    for (size_t i = g; i < index.size(); ++i)
        EXPECT_TRUE(unique.insert(std::string(index[i].name) + "|" + index[i].type_name).second) << index[i].name;
    std::map<uint32_t, std::vector<ElfVariable>> entry_vars;  // by function
    for (uint32_t i = 0; i < e->func_count; ++i) {
        entry_vars[i] = vars_at(e.get(), e->funcs[i].address);
        for (const ElfVariable& v : entry_vars[i])
            if (!v.is_param && e->funcs[i].address && seen.insert(std::string(v.name) + "|" + v.type_name).second) {
                EXPECT_TRUE(unique.count(std::string(v.name) + "|" + v.type_name)) << v.name;
            }
    }

    // What gdb lists that is no variable here: labels and enumerators, the
    // variables of functions only inlined, local extern declarations.
    std::vector<std::pair<uint32_t, uint32_t>> funcs;
    std::set<std::string> labels, abstract_vars, local_decls;
    std::map<std::string, int> global_names;
    bool abstract = false;
    for (const ReadelfDie& d : dies) {
        if (d.tag == "DW_TAG_label" || d.tag == "DW_TAG_enumerator") labels.insert(die_name(d));
        if (d.tag == "DW_TAG_variable" && d.depth > 1 && d.at.count("DW_AT_declaration")) local_decls.insert(die_name(d));
        if (d.tag == "DW_TAG_variable" && d.depth == 1 && !die_name(d).empty()) ++global_names[die_name(d)];
        if (d.tag == "DW_TAG_subprogram") abstract = d.at.count("DW_AT_inline") != 0;
        if (abstract && d.depth > 1 && (d.tag == "DW_TAG_variable" || d.tag == "DW_TAG_formal_parameter"))
            abstract_vars.insert(die_name(d));
        if (d.tag == "DW_TAG_subprogram" && d.at.count("DW_AT_low_pc") && d.at.count("DW_AT_high_pc")) {
            uint32_t lo = die_number(d, "DW_AT_low_pc"), hi = die_number(d, "DW_AT_high_pc");
            if (lo) funcs.emplace_back(lo, d.version >= 4 ? lo + hi : hi);
        }
    }
    // Outside every function's entry gdb lists the file's static block
    // instead; functions the linker discarded all sit at 0. At most about
    // 1500 pcs an image, spread over all of it, and every function's entry.
    auto in_function = [&](uint32_t pc) {
        return std::any_of(funcs.begin(), funcs.end(), [&](auto& f) { return f.first <= pc && pc < f.second; });
    };
    std::set<uint32_t> all;
    for (const LineRow& r : objdump_lines(path)) all.insert(std::get<0>(r));
    for (uint32_t i = 0; i < e->func_count; ++i) all.insert(e->funcs[i].address & ~1u);
    std::set<uint32_t> pcs;
    size_t k = 0, stride = all.size() / 1500 + 1;
    for (uint32_t pc : all)
        if (k++ % stride == 0 && in_function(pc)) pcs.insert(pc);
    std::vector<std::pair<std::string, std::string>> cmds;
    std::map<uint32_t, uint32_t> entries;  // entry pc -> function, where its name is unique
    std::map<std::string, int> func_names;
    for (uint32_t i = 0; i < e->func_count; ++i) ++func_names[e->funcs[i].name];
    for (uint32_t i = 0; i < e->func_count; ++i) {
        const FuncEntry& f = e->funcs[i];
        if (entry_vars[i].empty() || func_names[f.name] > 1 || std::string(f.name).find("_Z") == 0) continue;
        entries[f.address] = i;
        pcs.insert(f.address);
        std::map<std::string, int> n;
        for (const ElfVariable& v : entry_vars[i]) ++n[v.name];
        for (const ElfVariable& v : entry_vars[i])
            if (img.types && n[v.name] == 1)
                cmds.emplace_back("T" + std::to_string(f.address) + v.name, std::string("whatis ") + f.name + "::" + v.name);
    }
    for (uint32_t pc : pcs) {
        char at[48];
        snprintf(at, sizeof at, "info scope *0x%x", pc);
        cmds.emplace_back(std::to_string(pc), at);
    }
    // Globals of the index, when their name is unique in the image.
    std::vector<ElfVariable> gl;
    for (const ElfVariable& v : index)
        if (img.types && v.loc_kind == VAR_LOC_ADDR && global_names[v.name] == 1) {
            cmds.emplace_back("GT" + std::to_string(gl.size()), std::string("whatis '") + v.name + "'");
            cmds.emplace_back("GS" + std::to_string(gl.size()), std::string("print sizeof('") + v.name + "')");
            cmds.emplace_back("GA" + std::to_string(gl.size()), std::string("info address ") + v.name);
            if (std::any_of(v.members, v.members + std::min<uint32_t>(v.member_count, ELF_MAX_MEMBERS),
                            [](const ElfMember& m) { return m.bit_size != 0; }))
                cmds.emplace_back("GB" + std::to_string(gl.size()), std::string("ptype/o '") + v.name + "'");
            gl.push_back(v);
        }
    std::map<std::string, std::string> out = gdb_static(path, cmds);
    ASSERT_GT(out.size(), cmds.size() / 2) << "gdb answered";

    size_t pcs_compared = 0, names = 0, types = 0, sizes = 0, locations = 0, moved = 0, differ = 0, gdb_failed = 0;
    auto check_type = [&](const ElfVariable& v, const std::string& t) {
        if (t.find("type = ") != 0) return;
        EXPECT_EQ(c_names(v.type_name), short_type(t.substr(0, t.find('\n')))) << v.name;
        ++types;
    };
    // A value without a place: a constant or an expression, as gdb's words do not tell them apart.
    auto check_location = [&](const ElfVariable& v, const std::string& desc, uint32_t pc) {
        GdbLoc g = gdb_location(desc, pc);
        if (!g.known) return;
        auto computed = [](int k) { return k == VAR_LOC_CONST || k == VAR_LOC_EXPR; };
        if (computed(g.kind) && computed(v.loc_kind)) g.kind = v.loc_kind;
        EXPECT_EQ(v.loc_kind, g.kind) << v.name << " at 0x" << std::hex << pc << ": " << desc;
        if (g.kind == VAR_LOC_REG && g.value < 0) {
            EXPECT_GE(v.loc_value, 16) << "a VFP register";
        } else if (g.kind == v.loc_kind && g.kind != VAR_LOC_CONST && g.kind != VAR_LOC_EXPR) {
            EXPECT_EQ(v.loc_value, g.value) << v.name << " at 0x" << std::hex << pc << ": " << desc;
        }
        ++locations;
    };
    std::map<uint32_t, std::vector<std::string>> filtered;
    for (uint32_t pc : pcs) {
        const std::vector<ElfVariable> here = vars_at(e.get(), pc);
        filtered[pc] = keys(here);
        if (entries.count(pc))
            for (const ElfVariable& v : here)
                if (out.count("T" + std::to_string(pc) + v.name)) check_type(v, out["T" + std::to_string(pc) + v.name]);
        // A local with a location list placed again here from its entry snapshot.
        static const std::vector<ElfVariable> kNone;
        const std::vector<ElfVariable>* entry_snapshot = &kNone;
        for (uint32_t i = 0; i < e->func_count; ++i)
            if (pc > e->funcs[i].address && pc - e->funcs[i].address < e->funcs[i].size) entry_snapshot = &entry_vars[i];
        for (const ElfVariable& h : here)
            for (const ElfVariable& v : *entry_snapshot) {
                if (v.var_die != h.var_die || v.var_unit != h.var_unit || !v.loc_list) continue;
                ElfVariable at;
                ASSERT_TRUE(elf_dwarf_locate(e.get(), &v, pc, &at));
                EXPECT_EQ(loc_of(&at), loc_of(&h)) << v.name << " at 0x" << std::hex << pc;
                moved += loc_of(&at) != loc_of(&v);
            }
        const std::string& text = out[std::to_string(pc)];
        if (text.find("No function contains") != std::string::npos || text.find("No line") != std::string::npos) continue;
        // gdb stops listing at a location list it cannot decode.
        const bool cut = text.find("Corrupted DWARF") != std::string::npos;
        gdb_failed += cut;
        std::vector<std::string> ours;
        std::map<std::string, int> ours_n, theirs_n;
        for (const ElfVariable& v : here) ours.push_back(v.name), ++ours_n[v.name];
        std::sort(ours.begin(), ours.end());
        // gdb also lists a local extern declaration (by the linker's symbol);
        // as optimized out, labels without an address and the variables of
        // an inlined function that has no concrete entry for them in this
        // call (once more when it has one in a nested block); a local enum's
        // enumerators as constants. Not variables: an inlined block's own
        // function, labels, local typedefs.
        std::vector<std::string> kept;
        std::map<std::string, GdbScopeSymbol> theirs;
        for (const GdbScopeSymbol& s : gdb_info_scope(text)) {
            const std::string& d = s.desc;
            if (d.find("a function at") == 0 || d.find("a label at") == 0 || d.find("a typedef") == 0) continue;
            bool optimized_out = d.find("optimized out") == 0, constant = d.find("a constant") == 0;
            bool ours_too = std::count(ours.begin(), ours.end(), s.name) > std::count(kept.begin(), kept.end(), s.name);
            if (!ours_too && ((optimized_out && (labels.count(s.name) || abstract_vars.count(s.name))) ||
                              (constant && labels.count(s.name)) || local_decls.count(s.name)))
                continue;
            kept.push_back(s.name);
            theirs[s.name] = s;
            ++theirs_n[s.name];
        }
        std::sort(kept.begin(), kept.end());
        if (!cut) {
            EXPECT_EQ(ours, kept) << "at 0x" << std::hex << pc << "\n" << text;
            if (ours != kept && ++differ > 5) return;
            ++pcs_compared;
            names += ours.size();
        }
        // Sizes of the names each side lists once; their places at a
        // function's entry (gdb's frame base there is the CFA's register),
        // unless an inlined call starts there.
        bool entry = entries.count(pc) && text.find("is a function at address") == std::string::npos;
        for (const ElfVariable& v : here) {
            if (!img.types || ours_n[v.name] != 1 || theirs_n[v.name] != 1) continue;
            const GdbScopeSymbol& s = theirs[v.name];
            if (s.length >= 0) {
                EXPECT_EQ(v.byte_size, (uint32_t)s.length) << v.name << " at 0x" << std::hex << pc;
                ++sizes;
            }
            if (entry && img.places) check_location(v, s.desc, pc);
        }
    }
    size_t global_count = 0, bitfields = 0;
    for (size_t gi = 0; gi < gl.size(); ++gi) {
        const ElfVariable& v = gl[gi];
        SCOPED_TRACE(v.name);
        const std::string t = out["GT" + std::to_string(gi)], sz = out["GS" + std::to_string(gi)],
                          a = out["GA" + std::to_string(gi)];
        check_type(v, t);
        std::smatch m;
        if (std::regex_search(sz, m, std::regex(R"(^\$\d+ = (\d+))"))) {
            EXPECT_EQ(v.byte_size, (uint32_t)std::stoul(m[1]));
            ++sizes;
        }
        GdbLoc loc = gdb_location(a.substr(a.find(" is ") + 4), 0);
        EXPECT_TRUE(loc.known && loc.kind == VAR_LOC_ADDR && loc.value == v.loc_value) << a;
        ++global_count;
        // Bit-fields: first bit and width as ptype/o shows them ("/*  2: 0  |  4 */  int delta : 5;").
        const std::string p = out["GB" + std::to_string(gi)];
        std::map<std::string, std::pair<uint32_t, uint32_t>> theirs;
        std::regex bf(R"(/\*\s+(\d+):\s*(\d+)\s*\|\s*\d+ \*/.*\b(\w+) : (\d+);)");
        for (auto it = std::sregex_iterator(p.begin(), p.end(), bf); it != std::sregex_iterator(); ++it)
            theirs[(*it)[3]] = {std::stoul((*it)[1]) * 8 + std::stoul((*it)[2]), std::stoul((*it)[4])};
        for (uint32_t k = 0; k < v.member_count && k < ELF_MAX_MEMBERS; ++k)
            if (const ElfMember& m = v.members[k]; m.bit_size && theirs.count(m.name)) {
                EXPECT_EQ(std::make_pair(m.byte_offset * 8 + m.bit_offset, (uint32_t)m.bit_size), theirs[m.name]) << m.name;
                ++bitfields;
            }
    }

    // The unit filter off: the same answers at every pc above, every
    // function's entry and pcs spread over the code, and the same index.
    for (uint32_t i = 0; i < e->func_count; ++i) filtered[e->funcs[i].address] = keys(entry_vars[i]);
    for (uint32_t k = 0; k < 500; ++k) {
        uint32_t pc = e->text_addr + (uint32_t)((k * 2654435761u) % (e->text_size + 1));
        filtered[pc] = keys(vars_at(e.get(), pc));
    }
    int known = 0;
    for (uint32_t u = 0; u < e->unit_count; ++u) {
        known += (e->units[u].flags & DWARF_UNIT_RANGES_KNOWN) != 0;
        e->units[u].flags &= (uint8_t)~DWARF_UNIT_RANGES_KNOWN;
    }
    EXPECT_GT(known, 0);
    for (const auto& [pc, k] : filtered) ASSERT_EQ(keys(vars_at(e.get(), pc)), k) << std::hex << pc;
    EXPECT_EQ(keys(index_of(e.get())), keys(index));

    EXPECT_GE(pcs_compared, img.min_pcs);
    EXPECT_GE(types, img.min_types);
    EXPECT_GE(sizes, img.types ? pcs_compared : 0) << "most pcs have a variable of a known size";
    EXPECT_GE(locations, img.min_locations);
    EXPECT_GE(global_count, img.min_globals);
    EXPECT_GE(moved, img.min_moved);
    EXPECT_GE(bitfields, img.min_bitfields);
    printf("%s: %zu pcs, %zu variables, %zu types, %zu sizes, %zu locations, %zu globals, %zu moved, %zu bit-fields; "
           "%zu pcs where gdb failed\n",
           img.name, pcs_compared, names, types, sizes, locations, global_count, moved, bitfields, gdb_failed);
}

INSTANTIATE_TEST_SUITE_P(Images, VariablesOracle, testing::ValuesIn(kSweep), [](const auto& info) {
    std::string n = info.param.name;
    std::replace(n.begin(), n.end(), '.', '_');
    return n;
});


namespace {

using namespace dwarf_build;

const std::string kLongName = "k_" + std::string(150, 'x');

// What no compiler here writes, in a DWARF 5 unit: an indirect form, a data16
// constant, 70 attributes on one entry, a 60-member structure, types naming
// themselves, a type in the next unit by DW_FORM_ref_addr; a frame base and
// SP-based places under a CFA that moves to SP + 16 and then to r7; a
// location list by index with a one-byte range. The next unit, DWARF 4,
// holds the type and a global.
struct Synthetic {
    std::vector<Section> secs;

    Synthetic() {
        Bytes ab, info, ll, fr;
        // .debug_loclists: header, one offset, the list: [+0,+0x10) r0, [+0x20] r5 alone (a one-byte
        // range, as gcc writes one), [+0x80,+0x90) SP + 16.
        ll.u32(0).u16(5).u8(4).u8(0).u32(1).u32(4);
        ll.u8(4).uleb(0).uleb(0x10).block(Bytes().u8(0x50)).u8(4).uleb(0x20).uleb(0x21).block(Bytes().u8(0x55));
        ll.u8(4).uleb(0x80).uleb(0x90).block(Bytes().u8(0x7D).sleb(16)).u8(0);
        ll.put32(0, ll.size() - 4);
        abbrev(ab, 1, 0x11, true, {{A_name, F_string}, {A_low_pc, F_addr}, {A_high_pc, F_data4}, {A_loclists_base, F_sec_offset}});
        abbrev(ab, 2, 0x24, false, {{A_name, F_string}, {A_byte_size, F_data1}});
        abbrev(ab, 3, 0x2E, true, {{A_name, F_string}, {A_low_pc, F_addr}, {A_high_pc, F_data2}, {A_frame_base, F_exprloc}});
        abbrev(ab, 4, 0x34, false, {{A_name, F_string}, {A_type, F_ref4}, {A_location, F_exprloc}});
        abbrev(ab, 5, 0x05, false, {{A_name, F_string}, {A_type, F_ref_udata}, {A_location, F_loclistx}});
        abbrev(ab, 6, 0x0B, true, {{A_low_pc, F_addr}, {A_high_pc, F_udata}});
        abbrev(ab, 8, 0x26, false, {{A_type, F_ref4}});
        abbrev(ab, 9, 0x35, false, {{A_type, F_ref4}});
        abbrev(ab, 10, 0x13, true, {{A_name, F_string}, {A_byte_size, F_udata}});
        abbrev(ab, 11, 0x0D, false, {{A_name, F_string}, {A_type, F_ref4}, {A_member_loc, F_data1}});
        abbrev(ab, 12, 0x0D, false, {{A_name, F_string}, {A_type, F_ref4}, {A_member_loc, F_implicit, 4}});
        abbrev(ab, 13, 0x0D, false, {{A_name, F_string}, {A_type, F_ref4}, {A_member_loc, F_block1}});
        std::vector<std::array<int64_t, 3>> wide = {{A_name, F_string}};
        for (int i = 0; i < 70; ++i) wide.push_back({0x2000 + i, F_data1, 0});
        wide.push_back({A_type, F_ref4});
        wide.push_back({A_location, F_exprloc});
        abbrev(ab, 14, 0x34, false, wide);
        abbrev(ab, 15, 0x34, false, {{A_name, F_indirect}, {A_const_value, F_data16}, {A_type, F_ref4}, {A_location, F_exprloc}});
        abbrev(ab, 16, 0x34, false, {{A_name, F_string}, {A_type, F_ref_addr}, {A_location, F_exprloc}});
        abbrev(ab, 18, 0x16, false, {{A_name, F_string}, {A_type, F_ref4}});
        abbrev(ab, 19, 0x0F, false, {{A_byte_size, F_data1}, {A_type, F_ref4}});
        ab.u8(0);

        info.u32(0).u16(5).u8(1).u8(4).u32(0);
        info.uleb(1).str("a.c").u32(0x1000).u32(0x200).u32(12);
        uint32_t t_int = info.size(), t_char = t_int + 6, t_vol = t_char + 7, t_cv = t_vol + 5, t_big = t_cv + 5;
        info.uleb(2).str("int").u8(4).uleb(2).str("char").u8(1).uleb(9).u32(t_int).uleb(8).u32(t_vol);
        info.uleb(10).str("big").uleb(240);
        info.uleb(13).str("m0").u32(t_int).u8(2).u8(0x23).u8(0);  // plus_uconst 0
        info.uleb(12).str("m1").u32(t_int);                       // implicit 4
        for (int i = 2; i < 60; ++i) info.uleb(11).str("m" + std::to_string(i)).u32(t_int).u8(4 * i);
        info.u8(0);
        uint32_t t_loop = info.size(), t_self = t_loop + 10;
        info.uleb(18).str("loop").u32(t_loop).uleb(19).u8(4).u32(t_self);
        info.uleb(3).str("f5a").u32(0x1000).u16(0x100).block(Bytes().u8(0x7D).sleb(8));
        info.uleb(5).str("p").uleb(t_char).uleb(0);
        info.uleb(4).str("cv").u32(t_cv).block(Bytes().u8(0x91).sleb(-4));
        info.uleb(14).str("wide");
        for (int i = 0; i < 70; ++i) info.u8(i);
        info.u32(t_int).block(Bytes().u8(0x55));
        info.uleb(15).uleb(F_string).str("ind");
        for (int i = 0; i < 16; ++i) info.u8(0xEE);
        info.u32(t_int).block(Bytes().u8(0x53));
        uint32_t across_at = info.size() + 1 + 7;
        info.uleb(16).str("across").u32(0).block(op_addr(0x20000010));
        info.uleb(4).str("s").u32(t_big).block(Bytes().u8(0x91).sleb(-300));
        info.uleb(4).str("val").u32(t_int).block(op_addr(5).u8(0x9F));
        info.uleb(4).str("lp").u32(t_loop).block(Bytes().u8(0x51));
        info.uleb(4).str("selfp").u32(t_self).block(Bytes().u8(0x52));
        info.uleb(4).str(kLongName).u32(t_int).block(Bytes().u8(0x51));
        info.uleb(6).u32(0x1080).uleb(0x20);
        info.uleb(4).str("inner").u32(t_int).block(Bytes().u8(0x77).sleb(4));
        info.uleb(4).str("inner_sp").u32(t_int).block(Bytes().u8(0x92).uleb(13).sleb(-8));
        info.u8(0).u8(0).u8(0);
        info.put32(0, info.size() - 4);

        uint32_t ub = info.size(), ab_b = ab.size();
        abbrev(ab, 1, 0x11, true, {{A_name, F_string}, {A_low_pc, F_addr}, {A_high_pc, F_data4}});
        abbrev(ab, 2, 0x24, false, {{A_name, F_string}, {A_byte_size, F_data1}});
        abbrev(ab, 3, 0x34, false, {{A_name, F_string}, {A_type, F_ref4}, {A_location, F_exprloc}});
        ab.u8(0);
        info.u32(0).u16(4).u32(ab_b).u8(4).uleb(1).str("b.c").u32(0x1200).u32(0x100);
        uint32_t t_long = info.size();
        info.put32(across_at, t_long);  // DW_FORM_ref_addr: an offset in the section
        info.uleb(2).str("long").u8(4).uleb(3).str("g4").u32(t_long - ub).block(op_addr(0x20000100)).u8(0);
        info.put32(ub, info.size() - ub - 4);

        // .debug_frame: CFA = SP at 0x1000, SP + 16 from 0x1080, r7-based from 0x1090.
        fr.u32(12).u32(0xFFFFFFFF).u8(1).u8(0).uleb(2).sleb(-4).u8(14).u8(0x0C).uleb(13).uleb(0);
        fr.u32(20).u32(0).u32(0x1000).u32(0x300).u8(0x02).u8(0x40).u8(0x0E).uleb(16).u8(0x02).u8(0x08).u8(0x0D).uleb(7);
        secs = {{".debug_frame", fr.d}, {".debug_abbrev", ab.d}, {".debug_info", info.d}, {".debug_loclists", ll.d}};
    }
    std::vector<uint8_t> image() const { return make_elf(secs, {{"f5a", 0x1000, 0x100}}); }
    Section& sec(const char* name) {
        for (Section& s : secs)
            if (s.name == name) return s;
        return secs[0];
    }
};

ElfPtr load(const std::vector<uint8_t>& img) { return ElfPtr(elf_dwarf_load_buffer(img.data(), (uint32_t)img.size())); }

// A variable at a pc: its place, type and size ("absent" where it is not in scope).
std::string at(const ElfDwarf* e, uint32_t pc, const std::string& name) {
    for (const ElfVariable& v : vars_at(e, pc))
        if (name == v.name) return loc_of(&v) + " | " + v.type_name + " | " + std::to_string(v.byte_size);
    return "absent";
}

}  // namespace

// gdb cannot read these forms: the scopes and places as the units above build them.
TEST(VariablesForms, HandMadeUnits) {
    Synthetic syn;
    ElfPtr e = load(syn.image());
    ASSERT_TRUE(e) << elf_dwarf_error();
    const std::string cut = kLongName.substr(0, 124) + "...";
    const std::vector<std::string> outer = {"across", "cv", "ind", cut, "lp", "p", "s", "selfp", "val", "wide"};
    std::vector<std::string> nested = outer;
    nested.insert(nested.begin() + 3, {"inner", "inner_sp"});
    for (const auto& [pc, names] : {std::pair{0x1000u, outer}, {0x1084u, nested}, {0x10A0u, outer}, {0x1300u, {}}}) {
        std::vector<std::string> ours;
        for (const ElfVariable& v : vars_at(e.get(), pc)) ours.push_back(v.name);
        std::sort(ours.begin(), ours.end());
        EXPECT_EQ(ours, names) << std::hex << pc;
    }
    const struct {
        uint32_t pc;
        std::string name, want, why;
    } places[] = {
        {0x1001, "cv", "cfa 4 | const volatile int | 4", "fbreg -4 on a frame base of SP+8, the CFA there; the Thumb bit ignored"},
        {0x1000, "p", "reg 0 | char | 1", "loclistx, an offset pair from the unit's base"},
        {0x1010, "p", "none | char | 1", "an entry ends before its end address"},
        {0x1020, "p", "reg 5 | char | 1", "a one-byte range holds its address"},
        {0x1022, "p", "none | char | 1", "and only that"},
        {0x1084, "p", "cfa 0 | char | 1", "breg13 16 where the CFA is SP + 16 (not moved by the frame base)"},
        {0x1090, "p", "none | char | 1", "no entry covers the pc"},
        {0x1000, "wide", "reg 5 | int | 4", "70 attributes read past"},
        {0x1000, "ind", "reg 3 | int | 4", "an indirect string, data16"},
        {0x1000, "across", "addr 536870928 | long | 4", "ref_addr is section-relative"},
        {0x1000, "s", "cfa -292 | big | 240", ""},
        {0x1000, "val", "const 5 | int | 4", "DW_OP_addr then DW_OP_stack_value is a value, not a place"},
        {0x1000, "lp", "reg 1 | loop | 0", "a typedef of itself"},
        {0x1000, cut, "reg 1 | int | 4", "a long name ends in an ellipsis"},
        {0x1000, "inner", "absent", "the block starts at 0x1080"},
        {0x1084, "inner", "expr 2 | int | 4", "memory at r7 + 4: for the innermost frame"},
        {0x1084, "inner_sp", "cfa -24 | int | 4", "bregx 13 where the CFA is SP + 16"},
        {0x1094, "inner_sp", "none | int | 4", "the CFA is r7-based"},
        {0x1094, "cv", "none | const volatile int | 4", "a frame base of SP there"},
    };
    for (const auto& k : places) EXPECT_EQ(at(e.get(), k.pc, k.name), k.want) << k.name << " at " << std::hex << k.pc << ": " << k.why;
    std::vector<ElfVariable> a = vars_at(e.get(), 0x1000);
    auto find = [&](const char* n) -> const ElfVariable* {
        for (const ElfVariable& v : a)
            if (!strcmp(v.name, n)) return &v;
        return nullptr;
    };
    ASSERT_TRUE(find("p") && find("selfp") && find("s"));
    EXPECT_TRUE(find("p")->is_param);
    EXPECT_EQ(find("selfp")->byte_size, 4u) << "a pointer to itself";
    const ElfVariable* s = find("s");
    EXPECT_TRUE(s->is_struct);
    ASSERT_EQ(s->member_count, 48u) << "60 members, 48 kept";
    EXPECT_STREQ(s->members[47].name, "m47");
    EXPECT_EQ(s->members[1].byte_offset, 4u) << "implicit_const";
    EXPECT_EQ(std::make_pair(s->members[0].byte_offset, s->members[47].byte_offset), std::make_pair(0u, 188u));

    // The index: the globals, then the locals once per name and type, a nested block's among its function's.
    std::vector<std::string> names;
    for (const ElfVariable& v : index_of(e.get())) names.push_back(std::string(v.name) + ":" + v.type_name);
    ASSERT_EQ(names.size(), 12u);
    names[8] = names[8].substr(0, 6) + (names[8].back() == '*' ? "?*" : "");  // the self pointer's name is cut off
    EXPECT_EQ(names, (std::vector<std::string>{"g4:long", "cv:const volatile int", "wide:int", "ind:int", "across:long",
                                               "s:big", "val:int", "lp:loop", "selfp:?*", cut + ":int", "inner:int",
                                               "inner_sp:int"}));
    EXPECT_EQ(loc_of(&index_of(e.get())[0]), "addr 536871168");
}

// An indirect form naming itself without end, an unterminated string and a
// block longer than the unit: each abandons its unit, the rest is kept.
TEST(VariablesMalformed, HostileEntriesAbandonOnlyTheirUnit) {
    for (int variant = 0; variant < 3; ++variant) {
        Synthetic syn;
        std::vector<uint8_t>& info = syn.sec(".debug_info").data;
        // Abbreviation 15 ("ind") has DW_FORM_indirect for its name: its entry follows "wide".
        auto at = std::search(info.begin(), info.end(), std::begin("ind"), std::end("ind"));
        ASSERT_NE(at, info.end());
        size_t k = (size_t)(at - info.begin()) - 1;  // the indirect form byte
        if (variant == 0) {  // 200000 chained indirections
            info.insert(info.begin() + (long)k, 200000, (uint8_t)F_indirect);
            uint32_t len = (uint32_t)(info[0] | info[1] << 8 | info[2] << 16) + 200000;
            for (int i = 0; i < 4; ++i) info[i] = (uint8_t)(len >> (8 * i));
        } else if (variant == 1) {  // "in" and no NUL before the unit's (and the section's) end
            info.resize(k + 3);
            for (int i = 0; i < 4; ++i) info[i] = (uint8_t)((k - 1) >> (8 * i));
        } else {  // the name via exprloc of 4 GB
            info[k] = F_exprloc;
            info.insert(info.begin() + (long)k + 1, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F});
            info[0] += 5;  // the unit grows by the five bytes
        }
        ElfPtr e = load(syn.image());
        ASSERT_TRUE(e);
        EXPECT_EQ(vars_at(e.get(), 0x1000).size(), 3u) << variant << ": the entries before it";
        EXPECT_EQ(index_of(e.get()).size(), variant == 1 ? 2u : 3u) << variant << ": the next unit's global";
    }
}

// A dump that cannot be given, opened or written fails with its reason;
// without .debug_info it says so and the variable queries find none.
TEST(VariablesDump, FailedWritesAndNoDebugInfo) {
    Synthetic syn;
    ElfPtr e = load(syn.image());
    ASSERT_TRUE(e);
    for (const auto& [path, why] : {std::pair<const char*, const char*>{nullptr, "NULL argument"},
                                    {"/nonexistent-dir/x.txt", "Cannot open output file for writing"},
                                    {"/dev/full", "Failed to write the output file"}}) {
        EXPECT_FALSE(elf_dwarf_dump_to_file(e.get(), path)) << why;
        EXPECT_STREQ(elf_dwarf_error(), why);
    }
    ElfVariable one;
    EXPECT_EQ(elf_dwarf_get_all_variables(e.get(), &one, 0), -1);
    EXPECT_EQ(elf_dwarf_get_all_variables(e.get(), &one, 1), 1);
    syn.sec(".debug_info").name = ".debug_infx";
    ElfPtr bare = load(syn.image());
    const std::string path = testing::TempDir() + "/vars_dump.txt";
    ASSERT_TRUE(bare && elf_dwarf_dump_to_file(bare.get(), path.c_str()));
    EXPECT_NE(read_text_file(path).find("  (no .debug_info section \xE2\x80\x94 compile with -g)\n\n"), std::string::npos);
    EXPECT_EQ(elf_dwarf_get_variables(bare.get(), 0x1000, nullptr, 1), -1);
    EXPECT_EQ(elf_dwarf_get_variables(bare.get(), 0x1000, &one, 1), 0);
}

namespace {
const char* const kStopLine = "\n  \\.\\.\\. stopped before (.+): the dump keeps to \\d+ KB and its time budget\n\n$";
}  // namespace

// Any byte budget cuts the dump after a whole entry of any section, keeps the
// file within it and ends it with a line naming the entry it stopped before.
TEST(VariablesDump, AnyBudgetCutsAfterAWholeEntryAndSaysWhere) {
    ElfPtr e(elf_dwarf_load(fixture("demo_O2_line5.elf").c_str()));
    ASSERT_TRUE(e);
    std::string path = testing::TempDir() + "/budget_dump.txt";
    ASSERT_TRUE(elf_dwarf_dump_to_file(e.get(), path.c_str(), 1L << 30));
    const std::string full = read_text_file(path);
    EXPECT_EQ(full.find("stopped before"), std::string::npos);
    EXPECT_NE(full.find("  DWARF version   : 4\n"), std::string::npos) << "the units of -gdwarf-4";
    // What a stop names, and the head of the section the text before it ends in.
    const std::pair<const char*, const char*> kinds[] = {
        {"the summary", ""}, {"the file table", "ELF / DWARF INFO"}, {"file (\\d+) of \\d+", "FILE TABLE"},
        {"the function table", "FILE TABLE"}, {"function (\\d+) of \\d+", "FUNCTION TABLE"},
        {"the line table", "FUNCTION TABLE"}, {"row (\\d+) of \\d+", "LINE NUMBER TABLE"},
        {"the sorted line table", "LINE NUMBER TABLE"}, {"(?:row (\\d+) of )?file \\[\\d+\\]", "SORTED BY LINE"},
        {"the variables", "SORTED BY LINE"}, {"\\[0x[0-9A-F]{8}\\] .+", "VARIABLES PER FUNCTION"}};
    std::set<size_t> seen;
    // The file table's rows are as short as the build folder's paths: its
    // stops lie in narrow windows, swept finely.
    const long files_at = (long)full.find("FILE TABLE"), functions_at = (long)full.find("FUNCTION TABLE") + 1600;
    for (long budget = 0; budget < (long)full.size() + 2048; budget += budget >= files_at && budget < functions_at ? 5 : 97) {
        ASSERT_TRUE(elf_dwarf_dump_to_file(e.get(), path.c_str(), budget));
        std::string text = read_text_file(path);
        if (text == full) continue;
        std::smatch m, w;
        ASSERT_TRUE(std::regex_search(text, m, std::regex(kStopLine))) << budget;
        size_t at = (size_t)m.position(0);
        EXPECT_LE((long)text.size(), std::max(budget, 300L));
        ASSERT_EQ(full.compare(0, at, text, 0, at), 0) << budget << ": a prefix of the whole dump";
        EXPECT_TRUE(at == 0 || text[at - 1] == '\n');
        std::string where = m[1], before = text.substr(0, at), head = "";
        size_t k = 0;
        while (k < std::size(kinds) && !std::regex_match(where, w, std::regex(kinds[k].first))) ++k;
        ASSERT_LT(k, std::size(kinds)) << where;
        seen.insert(k);
        for (const auto& [_, h] : kinds)
            if (*h && before.find(h) != std::string::npos) head = h;
        EXPECT_EQ(head, kinds[k].second) << where;
        // A row's index is the count of rows of its table before it.
        if (w.size() > 1 && w[1].matched) {
            EXPECT_EQ(std::count(before.begin() + (long)before.rfind("----\n") + 5, before.end(), '\n'), std::stol(w[1]))
                << where;
        }
    }
    for (size_t k = 0; k < std::size(kinds); ++k) EXPECT_TRUE(seen.count(k)) << "no stop before " << kinds[k].first;
}

// The image that took 29 s aiming at 1.6 GB keeps to the budget, its whole
// function table and members through typedefs kept, and ends right after the
// line saying where; no time left, or the image closed, leave only that line.
TEST(VariablesDump, AHostileImageKeepsToTheBudget) {
    ElfPtr e = load(hostile_dump_image());
    ASSERT_TRUE(e);
    std::string path = testing::TempDir() + "/hostile_dump.txt";
    ASSERT_TRUE(elf_dwarf_dump_to_file(e.get(), path.c_str()));
    std::string text = read_text_file(path);
    EXPECT_LE((long)text.size(), (long)ELF_DUMP_MAX_BYTES);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, std::regex(kStopLine))) << text.substr(text.size() - 300);
    EXPECT_TRUE(std::regex_match(std::string(m[1]), std::regex("\\[0x[0-9A-F]{8}\\] f\\d+")));
    EXPECT_EQ(text.find("stopped before"), (size_t)m.position(0) + 7) << "one stop";
    EXPECT_NE(text.find("  0x00001F9C  4           f999\n"), std::string::npos);
    EXPECT_NE(text.find("         .m47   "), std::string::npos);
    std::atomic<bool> closed{true};
    for (auto [ms, cancel, ok, why] : {std::tuple<int, const std::atomic<bool>*, bool, const char*>{
                                           0, nullptr, true, "the dump keeps to 16384 KB and its time budget"},
                                       {ELF_DUMP_MAX_MS, &closed, false, "the image was closed"}}) {
        EXPECT_EQ(elf_dwarf_dump_to_file(e.get(), path.c_str(), ELF_DUMP_MAX_BYTES, ms, cancel), ok);
        EXPECT_EQ(read_text_file(path), std::string("\n  ... stopped before the summary: ") + why + "\n\n");
    }
}
