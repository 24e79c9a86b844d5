#include "app/image.h"

#include <cstdio>

#include "app/source_files.h"
#include "probe/probe.h"
#include "runctl/step.h"
#include "symbols/elf_dwarf.h"
#include "ui/log_view.h"
#include "ui/panels.h"
#include "ui/ui_state.h"

ElfDwarf* g_elf = nullptr;
char s_src_dwarf_file[256] = "";
uint32_t s_src_current_line = 0;

static bool hook_elf_loaded() { return g_elf != nullptr; }

static void hook_bkpt_toggle(int slot) {
    if (!probe_post_cmd(PROBE_CMD_BKPT_TOGGLE, (uint32_t)slot)) log_add_line(&logv, "[BKP] Busy \xE2\x80\x94 toggle again when the step ends");
}

static bool hook_find_function(const char* name, uint32_t* addr) { return elf_dwarf_find_function(g_elf, name, addr); }

static bool hook_addr_to_line(uint32_t addr, char* file, unsigned cap, uint32_t* line) {
    ElfLocation loc;
    if (!elf_dwarf_lookup(g_elf, addr, &loc) || !loc.file[0] || !loc.line) return false;
    snprintf(file, cap, "%s", loc.file);
    *line = loc.line;
    return true;
}

bool app_load_image(const char* path, const char* dump_path) {
    app_free_image();
    if (!path || !path[0]) return false;
    g_elf = elf_dwarf_load(path);
    if (!g_elf) {
        log_addf(&logv, "[ELF] %s", elf_dwarf_error());
        return false;
    }
    log_add_line(&logv, "[ELF] Debug info loaded OK");
    if (dump_path && elf_dwarf_dump_to_file(g_elf, dump_path))
        log_add_line(&logv, "[ELF] Dump written \xE2\x86\x92 elf_dump.txt");
    else
        log_add_line(&logv, "[ELF] Dump failed");
    g_ui_symbols = UiSymbols{hook_elf_loaded, hook_find_function, hook_addr_to_line, hook_bkpt_toggle,
                             source_gutter_click};
    step_set_image(g_elf);
    uint32_t main_addr = 0;
    ElfLocation loc;
    if (elf_dwarf_find_function(g_elf, "main", &main_addr) && elf_dwarf_lookup(g_elf, main_addr & ~1u, &loc) &&
        loc.file[0]) {
        snprintf(s_src_dwarf_file, sizeof s_src_dwarf_file, "%.255s", loc.file);
        s_src_current_line = loc.line;
        render_needed.store(true);
    }
    return true;
}

void app_free_image() {
    g_ui_symbols = UiSymbols{};
    step_set_image(nullptr);
    elf_dwarf_free(g_elf);
    g_elf = nullptr;
}
