// Loads a large debug ELF (generated: many translation units, 10+ MB of
// DWARF) next to gdb and readelf on the same file in the same run, then
// measures address lookups, the Thumb classifier, and the variable index,
// dump and scope queries on a ~4 MB and the large image; first the dump of
// a small hostile image, within its budget and without one.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "disasm/thumb2_disasm.h"
#include "symbols/elf_dwarf.h"
#include "symbols/elf_variable.h"
#include "tests/symbols/elf_builder.h"

static double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

static double time_command(const std::string& cmd) {
    double t0 = now_s();
    if (system(cmd.c_str()) != 0) fprintf(stderr, "symbols_bench: '%s' failed\n", cmd.c_str());
    return now_s() - t0;
}

// Writes and builds a program of `units` translation units of `funcs`
// functions each (parameters, locals, a block-local, a function-level static,
// file-level globals and a structure per unit) once; later runs reuse it.
static bool build_large_elf(const std::string& dir, int units, int funcs, std::string* elf) {
    std::string name = "vars_" + std::to_string(units) + "x" + std::to_string(funcs);
    *elf = dir + "/" + name + ".elf";
    if (FILE* f = fopen(elf->c_str(), "rb")) {
        fclose(f);
        return true;
    }
    std::string src = dir + "/" + name;
    if (system(("mkdir -p " + src).c_str()) != 0) return false;
    std::string objs;
    FILE* mk = fopen((src + "/Makefile").c_str(), "w");
    if (!mk) return false;
    fprintf(mk, "CFLAGS=-mcpu=cortex-m4 -mthumb -O1 -g -gdwarf-4 -Wa,--gdwarf-5 -ffunction-sections\n");
    for (int u = 0; u < units; ++u) {
        std::string c = src + "/unit" + std::to_string(u) + ".c";
        FILE* f = fopen(c.c_str(), "w");
        if (!f) return false;
        fprintf(f, "struct rec%d { int a; unsigned b[4]; float c; };\n", u);
        fprintf(f, "int k0_hook(int v);\nint k1_hook(int v);\nint k2_hook(int v);\n");
        fprintf(f, "volatile int g_u%d_count;\nstruct rec%d g_u%d_last;\nstatic unsigned s_u%d_mask = %du;\n", u, u, u,
                u, u + 1);
        for (int k = 0; k < funcs; ++k) {
            fprintf(f, "int u%d_f%d(struct rec%d* r, int x) {\n", u, k, u);
            fprintf(f, "    static int calls;\n    int s = x * %d;\n", k + 1);
            fprintf(f, "    for (int i = 0; i < 4; ++i) s += (int)(r->b[i] & s_u%d_mask) ^ i;\n", u);
            fprintf(f, "    if (s > %d) s -= r->a;\n    r->c = (float)s * 0.5f;\n", k * 7);
            fprintf(f, "    g_u%d_count += ++calls;\n    if (k%d_hook(s)) g_u%d_last = *r;\n    return s + %d;\n}\n", u,
                    k % 3, u, u);
        }
        fclose(f);
        objs += " unit" + std::to_string(u) + ".o";
    }
    FILE* m = fopen((src + "/main.c").c_str(), "w");
    if (!m) return false;
    fprintf(m, "int main(void) { return 0; }\nvoid _exit(int c) { (void)c; for (;;) {} }\n");
    for (int h = 0; h < 3; ++h) fprintf(m, "int k%d_hook(int v) { return v > %d; }\n", h, h * 100);
    fclose(m);
    fprintf(mk, "../%s.elf: main.o%s\n\tarm-none-eabi-gcc -mcpu=cortex-m4 -mthumb -nostartfiles -Wl,-e,main $^ -o $@\n",
            name.c_str(), objs.c_str());
    fprintf(mk, "%%.o: %%.c\n\tarm-none-eabi-gcc $(CFLAGS) -c $< -o $@\n");
    fclose(mk);
    fprintf(stderr, "symbols_bench: building %d translation units (once)...\n", units);
    return system(("make -s -j2 -C " + src + " ../" + name + ".elf").c_str()) == 0;
}

static std::string debug_mb(const std::string& elf) {
    std::string sizes =
        "arm-none-eabi-size -A " + elf + " | awk '/debug/ {s += $2} END {printf \"%.1f\", s / 1048576}'";
    FILE* p = popen(sizes.c_str(), "r");
    char mb[32] = "?";
    if (p) {
        if (!fgets(mb, sizeof mb, p)) mb[0] = 0;
        pclose(p);
    }
    return mb;
}

// The variable index (as the program builds it at start-up, 512 entries) and
// the dump, against readelf decoding .debug_info of the same file; then
// variables in scope at random function entries.
static void bench_variables(const std::string& elf) {
    ElfDwarf* e = elf_dwarf_load(elf.c_str());
    if (!e) {
        fprintf(stderr, "symbols_bench: load failed: %s\n", elf_dwarf_error());
        return;
    }
    std::vector<ElfVariable> vars(512);
    double index = 1e9, dump = 1e9, readelf = 1e9;
    int n = 0;
    std::string dump_path = elf + ".dump.txt";
    for (int i = 0; i < 3; ++i) {
        double t0 = now_s();
        n = elf_dwarf_get_all_variables(e, vars.data(), (int)vars.size());
        index = std::min(index, now_s() - t0);
        t0 = now_s();
        if (!elf_dwarf_dump_to_file(e, dump_path.c_str())) fprintf(stderr, "symbols_bench: dump failed\n");
        dump = std::min(dump, now_s() - t0);
        readelf = std::min(readelf, time_command("arm-none-eabi-readelf --debug-dump=info " + elf + " >/dev/null"));
    }
    std::mt19937 rng(11);
    std::uniform_int_distribution<uint32_t> pick(0, e->func_count - 1);
    const int calls = 2000;
    double worst = 0, total = 0;
    uint64_t found = 0;
    for (int i = 0; i < calls; ++i) {
        double t0 = now_s();
        found += (uint64_t)elf_dwarf_get_variables(e, e->funcs[pick(rng)].address, vars.data(), (int)vars.size());
        double dt = now_s() - t0;
        total += dt;
        worst = std::max(worst, dt);
    }
    printf("%s: %s MB of DWARF, %u functions, %u units\n", elf.c_str(), debug_mb(elf).c_str(), e->func_count,
           e->unit_count);
    printf("  variable index (%d held):       %.1f ms\n", n, 1000 * index);
    printf("  dump file:                      %.1f ms\n", 1000 * dump);
    printf("  readelf --debug-dump=info:      %.1f ms  -> index + dump is %.2fx of readelf\n", 1000 * readelf,
           (index + dump) / readelf);
    printf("  elf_dwarf_get_variables:        %.3f ms per call, worst %.3f ms (%d calls, %.1f variables each)\n",
           1000 * total / calls, 1000 * worst, calls, (double)found / calls);
    elf_dwarf_free(e);
}

// The start-up dump of 1,000 functions of 512 variables of 48 members each:
// with the default budget (into a file), and whole (into /dev/null).
static void bench_hostile_dump(const std::string& dir) {
    std::vector<uint8_t> img = dwarf_build::hostile_dump_image();
    ElfDwarf* e = elf_dwarf_load_buffer(img.data(), (uint32_t)img.size());
    if (!e) {
        fprintf(stderr, "symbols_bench: hostile image: %s\n", elf_dwarf_error());
        return;
    }
    std::string path = dir + "/hostile_dump.txt";
    double bounded = 1e9;
    for (int i = 0; i < 3; ++i) {
        double t0 = now_s();
        if (!elf_dwarf_dump_to_file(e, path.c_str())) fprintf(stderr, "symbols_bench: hostile dump failed\n");
        bounded = std::min(bounded, now_s() - t0);
    }
    long bytes = 0;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        fseek(f, 0, SEEK_END);
        bytes = ftell(f);
        fclose(f);
    }
    double t0 = now_s();
    elf_dwarf_dump_to_file(e, "/dev/null", 1L << 40, 1 << 30);
    double whole = now_s() - t0;
    printf("hostile image (%zu bytes, %u functions):\n", img.size(), e->func_count);
    printf("  dump within its budget:         %.1f ms (best of 3), %.1f MB written\n", 1000 * bounded, bytes / 1048576.0);
    printf("  dump without a budget:          %.1f ms (whole, into /dev/null)\n", 1000 * whole);
    elf_dwarf_free(e);
}

int main(int argc, char** argv) {
    std::string dir = argc > 1 ? argv[1] : "/tmp/korvane_symbols_bench";
    if (system(("mkdir -p " + dir).c_str()) != 0) return 1;
    bench_hostile_dump(dir);
    std::string elf, mid;
    if (!build_large_elf(dir, 60, 120, &mid) || !build_large_elf(dir, 240, 120, &elf)) {
        fprintf(stderr, "symbols_bench: could not build the large ELF\n");
        return 1;
    }
    std::string mb = debug_mb(elf);
    // Ours: best of five loads.
    double ours = 1e9;
    ElfDwarf* e = nullptr;
    for (int i = 0; i < 5; ++i) {
        double t0 = now_s();
        ElfDwarf* x = elf_dwarf_load(elf.c_str());
        ours = std::min(ours, now_s() - t0);
        if (e) elf_dwarf_free(e);
        e = x;
    }
    if (!e) {
        fprintf(stderr, "symbols_bench: load failed: %s\n", elf_dwarf_error());
        return 1;
    }
    double gdb = 1e9, readelf = 1e9;
    for (int i = 0; i < 3; ++i) {
        gdb = std::min(gdb, time_command("gdb-multiarch -nx -batch -ex 'info line main' " + elf + " >/dev/null 2>&1"));
        readelf =
            std::min(readelf, time_command("arm-none-eabi-readelf --debug-dump=decodedline " + elf + " >/dev/null"));
    }
    printf("large ELF: %s MB of DWARF, %u line rows, %u files, %u functions\n", mb.c_str(), e->line_count,
           e->file_count, e->func_count);
    printf("load (best of 5):                %.1f ms\n", 1000 * ours);
    printf("gdb-multiarch 'info line main':  %.1f ms (best of 3)  -> ours is %.2fx of gdb\n", 1000 * gdb, ours / gdb);
    printf("readelf decodedline:             %.1f ms (best of 3)\n", 1000 * readelf);

    std::mt19937 rng(7);
    uint32_t lo = e->lines[0].address, hi = e->lines[e->line_count - 1].address;
    std::uniform_int_distribution<uint32_t> pick(lo, hi);
    const int n = 2000000;
    ElfLocation loc;
    uint32_t found = 0;
    double t0 = now_s();
    for (int i = 0; i < n; ++i) found += elf_dwarf_lookup(e, pick(rng), &loc);
    double dt = now_s() - t0;
    printf("address to line:                 %.2f M lookups/s (%u found)\n", n / dt / 1e6, found);

    uint64_t insns = 0, classes = 0;
    t0 = now_s();
    for (int rep = 0; rep < 20; ++rep)
        for (int s = 0; s < e->code_section_count; ++s) {
            const ElfCodeSection& c = e->code_sections[s];
            for (uint32_t off = 0; off + 4 <= c.size;) {
                classes += thumb2_classify(c.addr + off, c.data + off);
                off += (uint32_t)thumb2_insn_len(c.data + off);
                ++insns;
            }
        }
    dt = now_s() - t0;
    printf("Thumb classifier:                %.1f M instructions/s (%llu classified, checksum %llu)\n",
           insns / dt / 1e6, (unsigned long long)insns, (unsigned long long)classes);
    elf_dwarf_free(e);
    bench_variables(mid);
    bench_variables(elf);
    return 0;
}
