// Loads a large debug ELF (generated: many translation units, 10+ MB of
// DWARF) next to gdb and readelf on the same file in the same run, then
// measures address lookups and the Thumb classifier.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "disasm/thumb2_disasm.h"
#include "symbols/elf_dwarf.h"

static double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

static double time_command(const std::string& cmd) {
    double t0 = now_s();
    if (system(cmd.c_str()) != 0) fprintf(stderr, "symbols_bench: '%s' failed\n", cmd.c_str());
    return now_s() - t0;
}

// Writes and builds the program once; later runs reuse it.
static bool build_large_elf(const std::string& dir, std::string* elf) {
    *elf = dir + "/large.elf";
    if (FILE* f = fopen(elf->c_str(), "rb")) {
        fclose(f);
        return true;
    }
    if (system(("mkdir -p " + dir).c_str()) != 0) return false;
    const int units = 240, funcs = 120;
    std::string objs;
    FILE* mk = fopen((dir + "/Makefile").c_str(), "w");
    if (!mk) return false;
    fprintf(mk, "CFLAGS=-mcpu=cortex-m4 -mthumb -O1 -g -gdwarf-4 -Wa,--gdwarf-5 -ffunction-sections\n");
    for (int u = 0; u < units; ++u) {
        std::string c = dir + "/unit" + std::to_string(u) + ".c";
        FILE* f = fopen(c.c_str(), "w");
        if (!f) return false;
        fprintf(f, "struct rec%d { int a; unsigned b[4]; float c; };\n", u);
        for (int k = 0; k < funcs; ++k) {
            fprintf(f, "int u%d_f%d(struct rec%d* r, int x) {\n", u, k, u);
            fprintf(f, "    int s = x * %d;\n    for (int i = 0; i < 4; ++i) s += (int)r->b[i] ^ i;\n", k + 1);
            fprintf(f, "    if (s > %d) s -= r->a;\n    r->c = (float)s * 0.5f;\n    return s + %d;\n}\n", k * 7, u);
        }
        fclose(f);
        objs += " unit" + std::to_string(u) + ".o";
    }
    FILE* m = fopen((dir + "/main.c").c_str(), "w");
    if (!m) return false;
    fprintf(m, "int main(void) { return 0; }\nvoid _exit(int c) { (void)c; for (;;) {} }\n");
    fclose(m);
    fprintf(mk, "large.elf: main.o%s\n\tarm-none-eabi-gcc -mcpu=cortex-m4 -mthumb -nostartfiles -Wl,-e,main $^ -o $@\n", objs.c_str());
    fprintf(mk, "%%.o: %%.c\n\tarm-none-eabi-gcc $(CFLAGS) -c $< -o $@\n");
    fclose(mk);
    fprintf(stderr, "symbols_bench: building %d translation units (once)...\n", units);
    return system(("make -s -j2 -C " + dir + " large.elf").c_str()) == 0;
}

int main(int argc, char** argv) {
    std::string dir = argc > 1 ? argv[1] : "/tmp/korvane_symbols_bench";
    std::string elf;
    if (!build_large_elf(dir, &elf)) {
        fprintf(stderr, "symbols_bench: could not build the large ELF\n");
        return 1;
    }
    std::string sizes = "arm-none-eabi-size -A " + elf + " | awk '/debug/ {s += $2} END {printf \"%.1f\", s / 1048576}'";
    FILE* p = popen(sizes.c_str(), "r");
    char mb[32] = "?";
    if (p) {
        if (!fgets(mb, sizeof mb, p)) mb[0] = 0;
        pclose(p);
    }
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
        readelf = std::min(readelf, time_command("arm-none-eabi-readelf --debug-dump=decodedline " + elf + " >/dev/null"));
    }
    printf("large ELF: %s MB of DWARF, %u line rows, %u files, %u functions\n", mb, e->line_count, e->file_count,
           e->func_count);
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
    return 0;
}
