#include "app/image.h"

#include <atomic>
#include <cstdio>
#include <new>
#include <string>

#include "app/source_files.h"
#include "disasm/thumb2_disasm.h"
#include "platform/thread.h"
#include "probe/probe.h"
#include "runctl/step.h"
#include "probe/watch_list.h"
#include "symbols/elf_dwarf.h"
#include "symbols/svd.h"
#include "platform/log_store.h"
#include "ui/panels.h"
#include "ui/svd_view.h"
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

// The dump of a loaded image is written on a thread of its own, so that the
// window never waits for it; it reads the image, which therefore stays loaded
// until the dump has stopped.
struct DumpJob {
    const ElfDwarf* elf;
    std::string path;
};
static PlatThread* s_dump_thread = nullptr;
static std::atomic<bool> s_dump_cancel{false};

static void dump_thread_body(void* arg) {
    DumpJob* job = (DumpJob*)arg;
    bool ok = elf_dwarf_dump_to_file(job->elf, job->path.c_str(), ELF_DUMP_MAX_BYTES, ELF_DUMP_MAX_MS, &s_dump_cancel);
    // A dump cut short because its image is being closed is no failure to report.
    if (ok || !s_dump_cancel.load()) {
        log_add_line(&logv, ok ? "[ELF] Dump written \xE2\x86\x92 elf_dump.txt" : "[ELF] Dump failed");
        ui_request_redraw();
    }
    delete job;
}

static void dump_start(const char* dump_path) {
    s_dump_cancel.store(false);
    DumpJob* job = new (std::nothrow) DumpJob{g_elf, dump_path};
    s_dump_thread = job ? plat_thread_start(dump_thread_body, job) : nullptr;
    if (s_dump_thread) return;
    delete job;
    log_add_line(&logv, "[ELF] Dump failed");
}

// The dump checks the flag before every entry it writes, so a cancelled one
// ends within an entry; until it has, the image must stay.
static void dump_join(bool cancel) {
    if (!s_dump_thread) return;
    if (cancel) s_dump_cancel.store(true);
    while (!plat_thread_join(s_dump_thread, 1000)) {
    }
    s_dump_thread = nullptr;
}

void app_wait_dump() { dump_join(false); }

bool app_load_image(const char* path, const char* dump_path) {
    app_free_image();
    if (!path || !path[0]) return false;
    g_elf = elf_dwarf_load(path);
    if (!g_elf) {
        log_addf(&logv, "[ELF] %s", elf_dwarf_error());
        return false;
    }
    log_add_line(&logv, "[ELF] Debug info loaded OK");
    // The disassembly names branch targets and literal words by the image's
    // symbols, and tells literal pools from code by its mapping symbols.
    thumb2_fini();
    thumb2_init();
    for (uint32_t i = 0; i < g_elf->func_count; ++i) thumb2_add_symbol(g_elf->funcs[i].name, g_elf->funcs[i].address);
    for (uint32_t i = 0; i < g_elf->symbol_count; ++i) {
        const ElfSymbol& sym = g_elf->symbols[i];
        if (sym.kind == 'o') thumb2_add_label(sym.name, sym.address);
        else thumb2_add_mapping(sym.kind, sym.address);
    }
    if (dump_path) dump_start(dump_path);
    int n = elf_dwarf_get_all_variables(g_elf, g_var_list, VAR_LIST_MAX);
    g_var_count = n < 0 ? 0 : n;
    log_addf(&logv, "[ELF] %d variables indexed", g_var_count);
    g_ui_symbols = UiSymbols{hook_elf_loaded, hook_find_function, hook_addr_to_line, hook_bkpt_toggle,
                             source_gutter_click};
    source_list_build();
    step_set_image(g_elf);
    probe_set_frame_base(runctl_frame_of);
    probe_set_relocate(runctl_relocate);
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
    dump_join(true);
    g_ui_symbols = UiSymbols{};
    source_list_clear();
    g_var_count = 0;
    step_set_image(nullptr);
    probe_set_frame_base(nullptr);
    elf_dwarf_free(g_elf);
    g_elf = nullptr;
    thumb2_fini();
}

bool app_load_svd(const char* vendor_path, const char* arm_path) {
    app_free_svd();
    if (!vendor_path || !vendor_path[0]) {
        log_add_line(&logv, "[CFG] No svd path in debugger.ini");
        log_add_line(&periph_view, "[SVD] Not loaded");
        return false;
    }
    SvdDevice* dev = svd_load(vendor_path);
    if (!dev) {
        log_addf(&logv, "[SVD] Load failed: %s", svd_error());
        log_add_line(&periph_view, "[SVD] Not loaded");
        return false;
    }
    log_addf(&logv, "[SVD] Vendor loaded \xE2\x80\x94 %d peripherals", svd_peripheral_count(dev));
    if (arm_path && arm_path[0]) {
        SvdDevice* arm = svd_load(arm_path);
        if (!arm) log_addf(&logv, "[SVD] ARM SVD load failed: %s", svd_error());
        else if (svd_merge(dev, arm))
            log_addf(&logv, "[SVD] ARM SVD merged \xE2\x80\x94 %d peripherals total", svd_peripheral_count(dev));
        else
            log_add_line(&logv, "[SVD] Merge failed (out of memory)");
        svd_free(arm);
    }
    g_svd = dev;
    svd_view_reset();
    svd_view_refresh();
    return true;
}

void app_free_svd() {
    svd_free(g_svd);
    g_svd = nullptr;
    svd_view_reset();
}
