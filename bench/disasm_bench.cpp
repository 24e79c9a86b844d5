// The disassembler's rate next to objdump's over the same newlib image, and
// the time to fill the source view's disassembly for a 2,000-line file.
//   disasm_bench [work-dir]   (default /tmp/korvane_disasm_bench)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/image.h"
#include "app/source_files.h"
#include "disasm/arm_disasm.h"
#include "disasm/thumb2_disasm.h"
#include "symbols/elf_dwarf.h"
#include "tests/disasm/disasm_text.h"

static double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

static bool run(const std::string& cmd) {
    if (system(cmd.c_str()) == 0) return true;
    fprintf(stderr, "disasm_bench: '%s' failed\n", cmd.c_str());
    return false;
}

// Every line of the image's code sections as a listing would write it: the
// mapping symbols pick ARM, Thumb or data.
static unsigned long long disassemble_all(const ElfDwarf* e, FILE* out) {
    ARMSTATE st;
    disasm_init(&st, DISASM_ADD_ADDR | DISASM_ADD_BIN | DISASM_ADD_CMT);
    disasm_symbols_from_elf(&st, e);
    unsigned long long lines = 0;
    uint32_t sym = 0;
    bool arm = false;
    for (int c = 0; c < e->code_section_count; ++c) {
        const ElfCodeSection& sec = e->code_sections[c];
        disasm_address(&st, sec.addr);
        for (uint32_t off = 0; off + 4 <= sec.size; off += st.size) {
            uint32_t at = sec.addr + off;
            while (sym < e->symbol_count && e->symbols[sym].address <= at) {
                if (e->symbols[sym].kind == 'a') arm = true;
                if (e->symbols[sym].kind == 't') arm = false;
                ++sym;
            }
            const uint8_t* p = sec.data + off;
            if (arm) disasm_arm(&st, (uint32_t)p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24);
            else disasm_thumb(&st, (uint16_t)(p[0] | p[1] << 8), (uint16_t)(p[2] | p[3] << 8));
            fputs(disasm_result(&st, nullptr), out);
            fputc('\n', out);
            ++lines;
        }
    }
    disasm_cleanup(&st);
    return lines;
}

static void bench_rate(const std::string& dir, const char* multilib, const char* flags) {
    std::string lib = dir + "/libdir_" + multilib;
    std::string elf = dir + "/newlib_" + std::string(multilib) + ".elf";
    if (!run("d=$(dirname $(arm-none-eabi-gcc " + std::string(flags) + " -print-file-name=libc.a)) && "
             "arm-none-eabi-ld --whole-archive $d/libc.a $d/libm.a --no-whole-archive --unresolved-symbols=ignore-all "
             "-z muldefs -e 0 -Ttext=0x08000000 -o " + elf))
        return;
    // objdump: best of three, its whole listing thrown away.
    double objdump_s = 1e9;
    for (int i = 0; i < 3; ++i) {
        double t0 = now_s();
        if (!run("arm-none-eabi-objdump -d " + elf + " > /dev/null")) return;
        objdump_s = std::min(objdump_s, now_s() - t0);
    }
    std::string count_cmd = "arm-none-eabi-objdump -d " + elf + " | grep -c '^ *[0-9a-f]*:.'";
    FILE* p = popen(count_cmd.c_str(), "r");
    unsigned long long objdump_lines = 0;
    if (p) {
        if (fscanf(p, "%llu", &objdump_lines) != 1) objdump_lines = 0;
        pclose(p);
    }
    ElfDwarf* e = elf_dwarf_load(elf.c_str());
    if (!e) {
        fprintf(stderr, "disasm_bench: %s: %s\n", elf.c_str(), elf_dwarf_error());
        return;
    }
    FILE* null = fopen("/dev/null", "w");
    double ours_s = 1e9;
    unsigned long long lines = 0;
    for (int i = 0; i < 3; ++i) {
        double t0 = now_s();
        lines = disassemble_all(e, null);
        ours_s = std::min(ours_s, now_s() - t0);
    }
    fclose(null);
    elf_dwarf_free(e);
    double ours_rate = (double)lines / ours_s, objdump_rate = (double)objdump_lines / objdump_s;
    printf("%-18s ours %6.2f M lines/s (%llu lines, %.3f s), objdump %5.2f M lines/s (%llu lines, %.3f s): %.1fx\n",
           multilib, ours_rate / 1e6, lines, ours_s, objdump_rate / 1e6, objdump_lines, objdump_s, ours_rate / objdump_rate);
}

// A C file of 2,000 lines (200 functions of ten statements), built at -O0,
// and the source view's disassembly filled for every line.
static void bench_cache(const std::string& dir) {
    std::string c = dir + "/lines2000.c", elf = dir + "/lines2000.elf";
    FILE* f = fopen(c.c_str(), "w");
    if (!f) return;
    fprintf(f, "volatile int g_sink;\n");
    int lines = 1;
    for (int fn = 0; lines < 2000; ++fn) {
        fprintf(f, "int f%d(int a, int b) {\n", fn);
        fprintf(f, "    int x = a + %d;\n", fn);
        for (int k = 0; k < 6; ++k) fprintf(f, "    x = (x * %d) ^ (b >> %d);\n", k + 3, k);
        fprintf(f, "    g_sink = x;\n    return x + b;\n}\n");
        lines += 11;
    }
    fprintf(f, "int main(void) { return f0(1, 2); }\n");
    fclose(f);
    if (!run("arm-none-eabi-gcc -mcpu=cortex-m4 -mthumb -O0 -g -nostdlib -nostartfiles -Wl,-e,main " + c + " -o " + elf))
        return;
    g_elf = elf_dwarf_load(elf.c_str());
    if (!g_elf) return;
    thumb2_init();
    for (uint32_t i = 0; i < g_elf->func_count; ++i) thumb2_add_symbol(g_elf->funcs[i].name, g_elf->funcs[i].address);
    double best = 1e9;
    int insns = 0;
    for (int round = 0; round < 5; ++round) {
        double t0 = now_s();
        asm_cache_alloc(lines + 1);
        for (int n = 1; n <= lines + 1; ++n) asm_cache_load_line((uint32_t)n, c.c_str());
        best = std::min(best, now_s() - t0);
        insns = 0;
        for (int n = 0; n < s_asm_cache_size; ++n) insns += s_asm_cache[n].count;
    }
    printf("disassembly cache: %d lines, %d instructions filled in %.2f ms\n", lines + 1, insns, best * 1e3);
    asm_cache_alloc(0);
    elf_dwarf_free(g_elf);
    g_elf = nullptr;
    thumb2_fini();
}

int main(int argc, char** argv) {
    std::string dir = argc > 1 ? argv[1] : "/tmp/korvane_disasm_bench";
    if (!run("mkdir -p " + dir)) return 1;
    bench_rate(dir, "arm", "");
    bench_rate(dir, "v6m", "-mthumb -march=armv6s-m");
    bench_rate(dir, "v7em_fp", "-mthumb -march=armv7e-m+fp -mfloat-abi=hard");
    bench_cache(dir);
    return 0;
}
