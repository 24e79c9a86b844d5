// Typed watch values against gdb's `print` on QEMU: every argument, local and
// global gdb lists at breakpoints across the demo, the FreeRTOS and the C++
// firmware, read at OUR location and compared as text.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>

#include "app/image.h"
#include "app/watch_display.h"
#include "probe/probe.h"
#include "probe/watch_list.h"
#include "symbols/dwarf_expr.h"
#include "symbols/elf_dwarf.h"
#include "symbols/elf_variable.h"
#include "tests/sim/qemu_gdb.h"

namespace {

// Normalisation before texts are compared: runs of white space are one
// space; a float or double is equal when both texts parse to the same value
// of its type (gdb and we may print different digits of it), any NaN equal
// to any NaN. Nothing else is rewritten.

// Kinds of outcome, by name; the first three are compared, the first two agree.
const char* const kOutcomes[] = {"equal",
                                 "equal: both optimized out",
                                 "DIFFERENT VALUE",                                              // a fault
                                 "gdb has a value, we have no location",
                                 "gdb: <optimized out>, we have a location",
                                 "missing: gdb lists it, we do not",                             // a fault
                                 "gdb: an inlined function's abstract variable, optimized out",  // no concrete entry here
                                 "extra: we list it, gdb does not",                              // a fault
                                 "not compared: past the 64 bytes a watch reads, or a C++ static member",
                                 "not read: our location outside gdb's reads",  // register pair, beyond the stack window
                                 "gdb cannot print it"};
enum Outcome { Equal, BothGone, Different, OursNone, GdbGone, Missing, AbstractGone, Extra, NotCompared, Unread, GdbError, Count };

struct Example {
    std::string name, gdb, ours, where;
    uint32_t pc;
};

struct Tally {
    unsigned n[Count][2] = {};  // [outcome][0 locals and args, 1 globals]
    std::vector<Example> ex[Count];
    unsigned hidden_stops = 0;
    std::vector<std::string> notes;  // where our CFA is not gdb's
    void add(Outcome o, bool global, Example e) {
        ++n[o][global];
        // One example per name; every difference, few of the rest.
        size_t cap = o == Different ? 40 : o == Equal ? 0 : 5;
        for (const Example& x : ex[o])
            if (x.name == e.name) return;
        if (ex[o].size() < cap) ex[o].push_back(std::move(e));
    }
    unsigned count(Outcome o) const { return n[o][0] + n[o][1]; }
};

std::string squeeze(const std::string& s) {
    std::istringstream in(s);
    std::string r;
    for (std::string w; in >> w;) r += (r.empty() ? "" : " ") + w;
    return r;
}

bool same_float(const std::string& a, const std::string& b, uint32_t size) {
    char *ea = nullptr, *eb = nullptr;
    double x = std::strtod(a.c_str(), &ea), y = std::strtod(b.c_str(), &eb);
    if (ea == a.c_str() || eb == b.c_str() || *ea || *eb) return false;
    if (std::isnan(x) || std::isnan(y)) return std::isnan(x) && std::isnan(y);
    return size == 4 ? static_cast<float>(x) == static_cast<float>(y) : x == y;
}

// The value as C reads it from "0xHEX  (typed)"; the whole text when it has no such part.
std::string typed_part(const std::string& t) {
    size_t a = t.find("  (");
    if (a == std::string::npos || t.back() != ')') return t;
    return t.substr(a + 3, t.size() - a - 4);
}

std::string where_ours(const ElfVariable& v) {  // for the examples
    static const char* const kinds[] = {"no location", "DWARF reg", "CFA+", "at", "constant", "expression"};
    char b[64];
    std::snprintf(b, sizeof b, "%s 0x%llx", v.loc_kind < 6 ? kinds[v.loc_kind] : "?",
                  (unsigned long long)(v.loc_kind == VAR_LOC_CONST ? v.const_value : (uint64_t)v.loc_value));
    return b;
}

// Memory at the stop as gdb read it; constants in flash are the image's own bytes.
bool expr_read(void* user, uint32_t addr, uint8_t* out, uint32_t len) {
    std::vector<uint8_t> b;
    if (static_cast<const QemuGdbVarStop*>(user)->read(addr, len, &b) && b.size() == len) {
        std::memcpy(out, b.data(), len);
        return true;
    }
    uint8_t img[WATCH_BYTES + 1];  // the image reads from an even address
    if (len > WATCH_BYTES || !elf_read_text(g_elf, addr & ~1u, img, len + (addr & 1))) return false;
    std::memcpy(out, img + (addr & 1), len);
    return true;
}

// The bytes at our location, from gdb's registers and memory at the stop.
bool our_bytes(const ElfVariable& v, const QemuGdbVarStop& st, std::vector<uint8_t>* out) {
    uint32_t n = v.byte_size ? std::min<uint32_t>(v.byte_size, 64) : 4;
    auto words = [&](const uint32_t* w, unsigned count) {
        if (n > 4 * count) return false;
        for (uint32_t i = 0; i < n; ++i) out->push_back(static_cast<uint8_t>(w[i / 4] >> (8 * (i % 4))));
        return true;
    };
    int r = v.loc_value;
    switch (v.loc_kind) {
    case VAR_LOC_ADDR: return st.read(static_cast<uint32_t>(v.loc_value), n, out);
    case VAR_LOC_FBREG: return st.has_cfa && st.read(st.cfa + static_cast<uint32_t>(v.loc_value), n, out);
    case VAR_LOC_CONST:
        for (uint32_t i = 0; i < n && i < 8; ++i) out->push_back(static_cast<uint8_t>(v.const_value >> (8 * i)));
        return n <= 8;
    case VAR_LOC_EXPR: {  // evaluated on gdb's registers and memory, as the probe thread does on the core's
        if (!st.has_regs || n > 8) return false;
        DwarfExprEnv env{st.r, st.has_cfa, st.cfa, expr_read, const_cast<QemuGdbVarStop*>(&st)};
        uint64_t x = 0;
        if (!dwarf_expr_eval(v.expr, v.expr_len, &env, n, &x)) return false;
        for (uint32_t i = 0; i < n; ++i) out->push_back(static_cast<uint8_t>(x >> (8 * i)));
        return true;
    }
    case VAR_LOC_REG:  // DWARF numbers for ARM: r0-r15 0-15, s0-s31 64-95, d0-d15 256-271
        if (r >= 0 && r <= 15) return st.has_regs && words(&st.r[r], 1);
        if (r >= 64 && r <= 95) return st.has_fregs && words(&st.s[r - 64], 1);
        if (r >= 256 && r <= 271) return st.has_fregs && words(&st.s[2 * (r - 256)], 2);
        return false;
    default: return false;
    }
}

// One variable gdb printed as gdb_text, against ours (null: we have none).
void compare(const ElfVariable* v, const std::string& name, const std::string& gdb_text, const QemuGdbVar* gv,
             const QemuGdbVarStop& st, bool global, Tally* t) {
    Example e{name, gdb_text, "", "", st.pc};
    bool gone = gdb_text == "<optimized out>";
    // gdb also lists an inlined function's variables that have no concrete
    // entry in this call (or one in a block not holding pc), as optimized out.
    if (!v) return t->add(gone && !global ? AbstractGone : Missing, global, e);
    char frame[96];
    std::snprintf(frame, sizeof frame, "; gdb reads it at 0x%x; SP 0x%x CFA 0x%x", gv ? gv->addr : 0, st.r[13], st.cfa);
    e.where = where_ours(*v) + frame;
    if (v->loc_kind == VAR_LOC_NONE) return t->add(gone ? BothGone : OursNone, global, e);
    if (gone) return t->add(GdbGone, global, e);
    std::vector<uint8_t> bytes;
    if (!our_bytes(*v, st, &bytes)) return t->add(Unread, global, e);
    // Our text as the Watch tab makes it from the bytes at our location.
    char text[512];
    watch_value_text(*v, bytes.data(), (uint32_t)bytes.size(), expr_read, const_cast<QemuGdbVarStop*>(&st), text,
                     sizeof text);
    e.ours = text;
    std::string ours = squeeze(typed_part(text)), theirs = squeeze(gdb_text);
    // gdb's print names a pointer's or reference's type first: "(int *) 0x...", "{void (void)} 0x...".
    if (!theirs.empty() && (theirs[0] == '(' || theirs[0] == '{') && v->value_kind == VAR_VAL_POINTER) {
        int depth = 0;
        for (size_t k = 0; k < theirs.size(); ++k) {
            depth += theirs[k] == '(' || theirs[k] == '{' ? 1 : theirs[k] == ')' || theirs[k] == '}' ? -1 : 0;
            if (depth == 0) {
                theirs = theirs.substr(k + 1 < theirs.size() && theirs[k + 1] == ' ' ? k + 2 : k + 1);
                break;
            }
        }
    }
    if (ours.find("<error: Cannot access memory") != std::string::npos) return t->add(Unread, global, e);
    // gdb writes a C++ function's parameter list in a pointer's symbol: "<Reset_Handler()>".
    for (size_t k = 0; (k = theirs.find("()>", k)) != std::string::npos;) theirs.erase(k, 2);
    // Not ours to match: values past the 64 bytes a watch reads, C++ static
    // members (gdb reads them elsewhere).
    if (v->byte_size > 64 || theirs.find("static ") != std::string::npos) return t->add(NotCompared, global, e);
    bool same = ours == theirs || (v->value_kind == VAR_VAL_FLOAT && same_float(ours, theirs, v->byte_size));
    t->add(same ? Equal : Different, global, e);
}

const std::pair<const char*, unsigned> kVarImages[] = {  // image, most stops
    {"demo_O0_dwarf4.elf", 120}, {"demo_O2_dwarf4.elf", 120}, {"rtos_O0_dwarf4.elf", 160},
    {"rtos_O2_dwarf4.elf", 160}, {"cpp_O0_dwarf4.elf", 120},  {"cpp_O2_dwarf4.elf", 120},
};

class WatchGdbVars : public ::testing::TestWithParam<std::pair<const char*, unsigned>> {};

TEST_P(WatchGdbVars, EveryVariableGdbListsPrintsAsGdbPrintsIt) {
    if (!qemu_gdb_available()) GTEST_SKIP() << "needs qemu-system-arm and gdb-multiarch";
    const std::string elf = std::string(KORVANE_DEMO_FW_DIR) + "/" + GetParam().first;
    if (!std::filesystem::exists(elf)) GTEST_SKIP() << elf << " is not built (no FreeRTOS kernel or no arm-none-eabi-g++)";
    g_elf = elf_dwarf_load(elf.c_str());
    ASSERT_NE(g_elf, nullptr) << elf_dwarf_error();
    static ElfVariable vars[512];

    // Breakpoints: in every function of our sources with variables, after
    // its prologue and at the middle and three quarters of its statement rows.
    QemuGdbVarSession s;
    s.elf = elf;
    s.max_stops = GetParam().second;
    for (uint32_t f = 0; f < g_elf->func_count; ++f) {
        uint32_t lo = 0, hi = 0, entry = g_elf->funcs[f].address & ~1u;
        ElfLocation loc;
        if (!elf_dwarf_lookup(g_elf, entry, &loc) || !firmware_source(loc.file) || !elf_dwarf_func_span(g_elf, entry, &lo, &hi))
            continue;
        std::vector<uint32_t> rows;
        for (uint32_t i = 0; i < g_elf->line_count; ++i)
            if (g_elf->lines[i].is_stmt && g_elf->lines[i].address >= lo && g_elf->lines[i].address < hi)
                rows.push_back(g_elf->lines[i].address & ~1u);
        std::vector<uint32_t> picks = {elf_dwarf_after_prologue(g_elf, entry)};
        if (!rows.empty()) picks.push_back(rows[rows.size() / 2]), picks.push_back(rows[rows.size() * 3 / 4]);
        for (uint32_t a : picks) {
            int n = a ? elf_dwarf_get_variables(g_elf, a, vars, 512) : 0;
            if (n <= 0 || std::find(s.breaks.begin(), s.breaks.end(), a) != s.breaks.end()) continue;
            s.breaks.push_back(a);
            for (int i = 0; i < n; ++i)  // static locals, at our address
                if (vars[i].loc_kind == VAR_LOC_ADDR)
                    s.reads[a].push_back({(uint32_t)vars[i].loc_value, std::clamp<uint32_t>(vars[i].byte_size, 1, 64)});
        }
    }
    ASSERT_FALSE(s.breaks.empty());

    // Globals: gdb's names (from the image alone) and ours, qualified as gdb writes them.
    std::map<std::string, int> gdb_count;
    for (const std::string& g : gdb_info_variables(elf)) ++gdb_count[g];
    ASSERT_FALSE(gdb_count.empty());
    for (const auto& [g, count] : gdb_count)
        if (count == 1) s.globals.push_back(g);  // a name in several files prints only one of them
    // The index, as the program loads it: pointers are named by its globals.
    g_var_count = std::max(0, elf_dwarf_get_all_variables(g_elf, g_var_list, VAR_LIST_MAX));
    std::vector<ElfVariable> our_globals;
    for (int i = 0; i < g_var_count; ++i)
        if (const ElfVariable& v = g_var_list[i]; v.func_addr == 0) {
            our_globals.push_back(v);
            if (v.loc_kind == VAR_LOC_ADDR) s.global_reads.push_back({(uint32_t)v.loc_value, std::clamp<uint32_t>(v.byte_size, 1, 64)});
        }

    QemuGdbVarResult r;
    ASSERT_TRUE(qemu_gdb_variables(s, &r)) << r.error << "\n" << r.transcript.substr(r.transcript.size() > 4000 ? r.transcript.size() - 4000 : 0);

    Tally t;
    for (const QemuGdbVarStop& st : r.stops) {
        SCOPED_TRACE(st.pc);
        uint32_t base = 0;
        if (st.has_regs && st.has_cfa && (!elf_dwarf_frame_base(g_elf, st.r, &base) || base != st.cfa)) {
            char b[96];
            std::snprintf(b, sizeof b, "[CFA] pc 0x%x: gdb's CFA 0x%x, ours 0x%x", st.pc, st.cfa, base);
            t.notes.push_back(b);
        }
        // At the first instruction of an inlined body gdb shows its caller's frame.
        ElfInline chain[ELF_MAX_INLINE];
        int depth = elf_dwarf_inline_chain(g_elf, st.pc, chain, ELF_MAX_INLINE), hidden = 0;
        while (hidden < depth && chain[depth - 1 - hidden].entry == st.pc) ++hidden;
        t.hidden_stops += hidden > 0;
        int n = elf_dwarf_get_frame_variables(g_elf, st.pc, hidden, vars, 512);
        ASSERT_GE(n, 0);
        std::vector<bool> used(n, false);
        std::map<std::string, int> seen;  // gdb lists a shadowed name once per block, innermost first
        for (const QemuGdbEntry& en : st.entries) {
            int k = seen[en.name]++;
            const QemuGdbVar* gv = nullptr;
            for (const QemuGdbVar& x : st.vars)
                if (x.kind != 'g' && x.name == en.name) gv = &x;
            std::string text = en.value;
            if (k == 0 && gv) {
                if (!gv->error.empty()) {
                    t.add(GdbError, false, {en.name, gv->error, "", "", st.pc});
                    continue;
                }
                text = gv->print;
            }
            // Ours in order outermost first: the k-th innermost is k from the end.
            const ElfVariable* v = nullptr;
            for (int i = n - 1, m = 0; i >= 0 && !v; --i)
                if (!strcmp(vars[i].name, en.name.c_str()) && m++ == k) v = &vars[i], used[i] = true;
            compare(v, en.name, text, gv, st, false, &t);
        }
        for (int i = 0; i < n; ++i)
            if (!used[i]) t.add(Extra, false, {vars[i].name, "", "", where_ours(vars[i]), st.pc});
    }
    if (!r.stops.empty()) {  // globals, at the first stop
        const QemuGdbVarStop& st = r.stops.front();
        std::set<std::string> done;
        for (const ElfVariable& v : our_globals) {
            if (!gdb_count.count(v.name)) t.add(Extra, true, {v.name, "", "", where_ours(v), st.pc});
            if (!gdb_count.count(v.name) || !done.insert(v.name).second) continue;
            for (const QemuGdbVar& gv : st.vars)  // none for a name in several files
                if (gv.kind == 'g' && gv.name == v.name) {
                    if (!gv.error.empty()) t.add(GdbError, true, {v.name, gv.error, "", "", st.pc});
                    else compare(&v, v.name, gv.print, &gv, st, true, &t);
                }
        }
        for (const auto& [g, count] : gdb_count)
            if (!done.count(g)) t.add(Missing, true, {g, "", "", "", st.pc});
    }

    // The table: counts by outcome for locals/args and globals, then examples.
    std::string table = std::string("\n== ") + GetParam().first + ": " + std::to_string(r.stops.size()) + " stops at " +
                        std::to_string(s.breaks.size()) + " breakpoints (" + (r.quiet ? "ran until quiet" : "stop limit") +
                        "), stops in an inlined call's caller " + std::to_string(t.hidden_stops) + "\n";
    char line[640];
    for (int k = 0; k < Count; ++k) {
        std::snprintf(line, sizeof line, "  %-60s %8u %8u\n", kOutcomes[k], t.n[k][0], t.n[k][1]);
        table += line;
        for (const Example& e : t.ex[k]) {
            std::snprintf(line, sizeof line, "      %s at pc 0x%x: gdb \"%s\" ours \"%s\" (%s)\n", e.name.c_str(), e.pc,
                          e.gdb.substr(0, 60).c_str(), e.ours.substr(0, 60).c_str(), e.where.c_str());
            table += line;
        }
    }
    for (const std::string& x : t.notes) table += "  " + x + "\n";
    std::printf("%s", table.c_str());
    EXPECT_GT(r.stops.size(), 5u) << table;
    EXPECT_GT(t.count(Equal), 20u) << "too few equal values: the comparison itself is broken" << table;
    for (Outcome o : {Different, Missing, Extra}) EXPECT_EQ(t.count(o), 0u) << kOutcomes[o] << table;
    EXPECT_TRUE(t.notes.empty()) << "our CFA is gdb's" << table;
    g_var_count = 0;
    elf_dwarf_free(g_elf);
    g_elf = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Firmware, WatchGdbVars, ::testing::ValuesIn(kVarImages), [](const auto& info) {
    std::string f = info.param.first;
    return f.substr(0, f.find("_dwarf"));
});

}  // namespace
