// Typed watch values against gdb's `print` on QEMU: each typed global of the
// demo at main's entry, our text from the bytes gdb reads there.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/image.h"
#include "app/watch_display.h"
#include "symbols/elf_dwarf.h"
#include "symbols/elf_variable.h"
#include "tests/sim/qemu_gdb.h"

namespace {

class WatchGdb : public ::testing::TestWithParam<const char*> {};

TEST_P(WatchGdb, TypedGlobalsPrintAsGdbPrintsThem) {
    if (!qemu_gdb_available()) GTEST_SKIP() << "needs qemu-system-arm and gdb-multiarch";
    const std::string elf = std::string(KORVANE_DEMO_FW_DIR) + "/" + GetParam();
    g_elf = elf_dwarf_load(elf.c_str());
    ASSERT_NE(g_elf, nullptr) << elf_dwarf_error();
    static ElfVariable vars[512];
    int n = elf_dwarf_get_all_variables(g_elf, vars, 512);
    const char* names[] = {"g_i8", "g_u8",  "g_i16", "g_u16", "g_i32",        "g_u32", "g_i64",
                           "g_u64", "g_f32", "g_f64", "g_mode", "g_tick_count", "g_wave"};
    QemuGdbScript s{elf, {{QemuGdbOp::Break, "*main"}, {QemuGdbOp::Continue}}};
    for (const char* name : names) {
        s.steps.push_back({QemuGdbOp::Print, name});
        s.steps.push_back({QemuGdbOp::Memory, std::string("&") + name, 2});
    }
    QemuGdbResult r;
    ASSERT_TRUE(qemu_gdb_run(s, &r)) << r.error;
    int k = 0;
    for (const char* name : names) {
        SCOPED_TRACE(name);
        const ElfVariable* v = nullptr;
        for (int i = 0; i < n && !v; ++i)
            if (!strcmp(vars[i].name, name)) v = &vars[i];
        ASSERT_NE(v, nullptr);
        const auto& w = r.memory.at(k).words;
        char text[96];
        watch_format(*v, (uint64_t)w.at(1) << 32 | w.at(0), text, sizeof text);
        // Ours: "0xHEX  (typed)"; gdb's print is the typed part.
        std::string t = text, typed = t.substr(t.find("  (") + 3);
        typed.pop_back();
        EXPECT_EQ(typed, r.prints.at(k)) << text;
        ++k;
    }
    elf_dwarf_free(g_elf);
    g_elf = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Demo, WatchGdb, ::testing::Values("demo_O0_dwarf4.elf", "demo_O2_dwarf4.elf"),
                         [](const auto& info) { return std::string(info.param).substr(0, 7); });

}  // namespace
