#include "app/source_files.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "app/image.h"
#include "app/register_display.h"
#include "app/settings.h"
#include "disasm/thumb2_disasm.h"
#include "probe/probe.h"
#include "runctl/fault_analyze.h"
#include "runctl/breakpoints.h"
#include "symbols/elf_dwarf.h"
#include "ui/file_picker.h"
#include "ui/gl.h"
#include "ui/layout.h"
#include "platform/log_store.h"
#include "ui/source_view.h"
#include "ui/ui_callbacks.h"
#include "ui/ui_state.h"

char s_src_loaded_file[256] = "";
AsmBlock* s_asm_cache = nullptr;
int s_asm_cache_size = 0;

// The last path that could not be opened: reported once, not on every poll.
static char s_failed_path[256] = "";
static bool s_placeholder_for_pc = false;
static uint32_t s_placeholder_pc = 0;

static void wake() {
    render_needed.store(true);
    if (win_global) glfwPostEmptyEvent();
}

void asm_cache_alloc(int line_count) {
    g_ui_asm_cache = nullptr;
    g_ui_asm_cache_count = 0;
    free(s_asm_cache);
    s_asm_cache = nullptr;
    s_asm_cache_size = 0;
    if (line_count <= 0) return;
    s_asm_cache = (AsmBlock*)calloc((size_t)line_count, sizeof(AsmBlock));
    if (s_asm_cache) s_asm_cache_size = line_count;
    g_ui_asm_cache = s_asm_cache;
    g_ui_asm_cache_count = s_asm_cache_size;
}

void source_files_reset() {
    source_view_clear(&source_view);
    asm_cache_alloc(0);
    s_src_loaded_file[0] = 0;
    s_failed_path[0] = 0;
    s_placeholder_for_pc = false;
}

static bool file_readable(const char* path) {
    FILE* f = fopen(path, "rb");
    if (!f) return false;
    fclose(f);
    return true;
}

bool src_resolve(const char* dwarf_path, char* out, size_t cap) {
    if (!dwarf_path || !g_src_root_dir[0]) return false;
    const char* base = dwarf_path;
    for (const char* p = dwarf_path; *p; ++p)
        if (*p == '/' || *p == '\\') base = p + 1;
    if (!base[0]) return false;
    // Longest tail first, so that two files of one name in different folders
    // under the root are told apart; the base name alone last.
    for (const char* tail = dwarf_path; tail && *tail; ) {
        while (*tail == '/' || *tail == '\\') ++tail;
        if (!*tail) break;
        int n = snprintf(out, cap, "%s/%s", g_src_root_dir, tail);
        if (n > 0 && (size_t)n < cap && file_readable(out)) return true;
        const char* next = strpbrk(tail, "/\\");
        tail = next;
    }
    return false;
}

// The name of the function or data object at addr, "" when there is none.
static void symbol_at(uint32_t addr, char* out, size_t cap) {
    char name[128];
    out[0] = 0;
    if (elf_dwarf_is_function_entry(g_elf, addr & ~1u, name)) {
        snprintf(out, cap, "%.*s", (int)cap - 1, name);
        return;
    }
    const ElfSymbol* first = g_elf->symbols;
    const ElfSymbol* end = first + g_elf->symbol_count;
    const ElfSymbol* it = std::lower_bound(first, end, addr, [](const ElfSymbol& a, uint32_t v) { return a.address < v; });
    for (; it != end && it->address == addr; ++it)
        if (it->kind == 'o') {
            snprintf(out, cap, "%s", it->name);
            return;
        }
}

// A PC-relative load's comment: where the word is, and what it holds.
static void literal_comment(AsmInsn* in) {
    uint32_t at = thumb2_literal_addr();
    uint8_t w[4];
    if (at == 0xFFFFFFFFu || !elf_read_text(g_elf, at, w, 4)) return;
    uint32_t value = (uint32_t)w[0] | w[1] << 8 | w[2] << 16 | (uint32_t)w[3] << 24;
    char* semi = strstr(in->text, "  ; ");
    if (semi) *semi = 0;
    for (size_t n = strlen(in->text); n > 0 && in->text[n - 1] == ' ';) in->text[--n] = 0;
    char name[64];
    symbol_at(value, name, sizeof name);
    size_t used = strlen(in->text);
    int pad = used < 22 ? (int)(22 - used) : 0;
    snprintf(in->text + used, sizeof in->text - used, "%*s  ; [0x%08x] = 0x%08x%s%s", pad, "", at, value, name[0] ? " " : "", name);
}

void asm_cache_load_line(uint32_t line_nr, const char* src_file) {
    if (!g_elf || !s_asm_cache || line_nr < 1 || (int)line_nr > s_asm_cache_size) return;
    AsmBlock& blk = s_asm_cache[line_nr - 1];
    if (blk.loaded) return;
    blk.loaded = true;
    uint32_t starts[ASM_BLOCK_MAX];
    int n = elf_dwarf_line_addrs(g_elf, src_file, line_nr, starts, ASM_BLOCK_MAX);
    thumb2_init();
    for (int r = 0; r < n && blk.count < ASM_BLOCK_MAX; ++r) {
        uint32_t start = starts[r], end = r + 1 < n ? starts[r + 1] : 0;
        uint32_t next = elf_dwarf_next_line_addr(g_elf, start);
        if (next && (end == 0 || next < end)) end = next;
        uint32_t len = (end > start) ? end - start : 16;
        if (len > 128) len = 128;
        uint8_t code[128 + 4] = {};
        if (!elf_read_text(g_elf, start, code, len)) continue;
        // Decoding looks at up to four bytes; a 32-bit instruction that would
        // cross the range's end is not taken from beyond it.
        for (uint32_t off = 0; off + 2 <= len && blk.count < ASM_BLOCK_MAX;) {
            int ilen = 0;
            AsmInsn& in = blk.insns[blk.count];
            thumb2_disasm(start + off, code + off, in.text, sizeof in.text, &ilen, nullptr, nullptr);
            if (ilen < 1 || off + (uint32_t)ilen > len) break;
            literal_comment(&in);
            in.addr = start + off;
            ++blk.count;
            off += (uint32_t)ilen;
        }
    }
}

void source_load_file(const char* dwarf_path_in, const char* local_path, uint32_t line_nr) {
    if (!dwarf_path_in || !dwarf_path_in[0]) return;
    char dwarf_path[256];
    snprintf(dwarf_path, sizeof dwarf_path, "%s", dwarf_path_in);
    bool line_changed = line_nr != s_src_current_line;
    s_src_current_line = line_nr;
    bool has_local = local_path && local_path[0];
    const char* want = has_local ? local_path : dwarf_path;
    // Already shown, whichever path it was opened by: only the line moves.
    if (s_src_loaded_file[0] &&
        (strcmp(want, s_src_loaded_file) == 0 || (!has_local && strcmp(dwarf_path, s_src_dwarf_file) == 0))) {
        if (line_changed) wake();
        return;
    }
    if (!has_local && strcmp(dwarf_path, s_failed_path) == 0) return;

    source_view_clear(&source_view);
    asm_cache_alloc(0);
    s_src_dwarf_file[0] = 0;
    source_view_reset_follow();
    source_view.scroll_target = 0;
    s_placeholder_for_pc = false;
    char resolved[512] = "";
    const char* opened = want;
    FILE* f = fopen(want, "rb");
    if (!f && has_local) f = fopen(opened = dwarf_path, "rb");
    if (!f && src_resolve(dwarf_path, resolved, sizeof resolved)) f = fopen(opened = resolved, "rb");
    if (!f) {
        log_addf(&logv, "[SRC] Cannot open: %s", dwarf_path);
        char text[300];
        snprintf(text, sizeof text, "[Cannot open: %s]", dwarf_path);
        source_view_set_text(&source_view, text);
        s_src_loaded_file[0] = 0;
        snprintf(s_failed_path, sizeof s_failed_path, "%s", dwarf_path);
        wake();
        return;
    }
    s_failed_path[0] = 0;
    long size = -1;
    if (fseek(f, 0, SEEK_END) == 0) size = ftell(f);
    char* buf = (size > 0 && fseek(f, 0, SEEK_SET) == 0) ? (char*)malloc((size_t)size + 1) : nullptr;
    bool ok = buf && fread(buf, 1, (size_t)size, f) == (size_t)size;
    fclose(f);
    snprintf(s_src_loaded_file, sizeof s_src_loaded_file, "%s", opened);
    snprintf(s_src_dwarf_file, sizeof s_src_dwarf_file, "%s", dwarf_path);
    if (!ok) {
        // Empty or unreadable: shown as an empty view, not reopened on every poll.
        free(buf);
        wake();
        return;
    }
    buf[size] = 0;
    int count = 0;
    for (long i = 0; i < size; ++i) count += buf[i] == '\n';
    if (buf[size - 1] != '\n') ++count;
    if (count < 1) count = 1;
    char** lines = (char**)malloc(sizeof(char*) * (size_t)count);
    if (!lines) {
        free(buf);
        wake();
        return;
    }
    int n = 0;
    lines[n++] = buf;
    for (long i = 0; i < size; ++i) {
        if (buf[i] == '\r') buf[i] = 0;
        else if (buf[i] == '\n') {
            buf[i] = 0;
            if (i + 1 < size && n < count) lines[n++] = buf + i + 1;
        }
    }
    source_view.arena = buf;
    source_view.arena_size = (size_t)size + 1;
    source_view.lines = lines;
    source_view.count = n;
    asm_cache_alloc(n);
    if (g_elf)
        for (int k = 1; k <= n; ++k) asm_cache_load_line((uint32_t)k, dwarf_path);
    wake();
}

int source_bkpt_at_line(uint32_t line_nr) {
    if (!g_elf || !s_src_dwarf_file[0] || line_nr == 0) return 0;
    // Asked for every visible line in every frame: without breakpoints the
    // line-table scan is not needed at all.
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        if (bkpt_count() == 0) return 0;
    }
    uint32_t addr = elf_dwarf_line_to_addr(g_elf, s_src_dwarf_file, line_nr) & ~1u;
    if (!addr) return 0;
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    int i = bkpt_find(addr);
    if (i < 0) return 0;
    return g_bkpt[i].disabled ? 2 : 1;
}

void source_gutter_click(uint32_t line_nr) {
    if (!g_elf || !s_src_dwarf_file[0] || line_nr == 0) return;
    uint32_t addr = elf_dwarf_line_to_addr(g_elf, s_src_dwarf_file, line_nr) & ~1u;
    if (!addr) {
        log_add_line(&logv, "[BKP] Ezen a soron nincs k\xC3\xB3" "d");
        return;
    }
    bool was_enabled = false, removed = false;
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        int i = bkpt_find(addr);
        if (i >= 0) {
            was_enabled = !g_bkpt[i].disabled;
            g_bkpt[i] = BkptSlot{};
            removed = true;
        }
    }
    if (removed) {
        // A disabled breakpoint is not in the hardware: removing it needs no probe traffic.
        if (was_enabled && !probe_post_cmd(PROBE_CMD_CLEAR_BKPT, addr)) {
            // Keep the slot so the list still says what the comparator holds.
            std::lock_guard<std::mutex> lk(reg_buf_mtx);
            int slot = bkpt_free_slot();
            if (slot >= 0) g_bkpt[slot] = BkptSlot{addr, true, false, true};
            log_add_line(&logv, "[BKP] Busy \xE2\x80\x94 breakpoint kept; click again when the command ends");
        }
        wake();
        return;
    }
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        int slot = bkpt_free_slot();
        if (slot < 0) {
            log_add_line(&logv, "[BKP] Nincs szabad slot");
            return;
        }
        g_bkpt[slot] = BkptSlot{addr, true, true, true};
    }
    if (!probe_post_cmd(PROBE_CMD_SET_BKPT, addr)) {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        int i = bkpt_find(addr);
        if (i >= 0 && g_bkpt[i].disabled) g_bkpt[i] = BkptSlot{};
        log_add_line(&logv, "[BKP] post_cmd sikertelen, slot visszavonva");
    }
    wake();
}

uint32_t find_main_addr() {
    uint32_t addr = 0;
    if (!g_elf) return 0;
    if (elf_dwarf_find_function(g_elf, "main", &addr)) {
        log_addf(&logv, "[DBG] main() @ 0x%08X", addr);
        return addr;
    }
    log_add_line(&logv, "[DBG] main() not found in ELF function table");
    return 0;
}

// A view the user scrolled away keeps its file; the core's line is marked
// only while it lies in that file.
static void follow_to(const char* file, uint32_t line) {
    if (g_source_follow || strcmp(file, s_src_dwarf_file) == 0) source_load_file(file, nullptr, line);
    else s_src_current_line = 0;
}

void source_follow_pc(uint32_t pc) {
    if (!g_elf) {
        s_src_current_line = 0;
        return;
    }
    // The call stack's first frame, when published for this PC, says where
    // the core stands (at an inlined call not yet entered: the call's line).
    UnwindFrame f0;
    bool have_frame = false;
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        if (g_stack_frames_valid && g_stack_frame_count > 0 && g_stack_frames[0].pc == (pc & ~1u) &&
            g_stack_frames[0].file[0] && g_stack_frames[0].line) {
            f0 = g_stack_frames[0];
            have_frame = true;
        }
        // Stopped at a fault, in a handler whose line says little: the
        // faulting line is shown while the core stays where the report was made.
        const HardFaultInfo& hf = g_hardfault;
        if (hf.valid && hf.fault_line && hf.fault_file[0] && hf.stop_pc == (pc & ~1u)) {
            memset(&f0, 0, sizeof f0);
            snprintf(f0.file, sizeof f0.file, "%.*s", (int)sizeof f0.file - 1, hf.fault_file);
            f0.line = hf.fault_line;
            have_frame = true;
        }
    }
    if (have_frame) {
        follow_to(f0.file, f0.line);
        return;
    }
    ElfLocation loc;
    uint8_t two[2];
    // Bit 0 is the Thumb bit; bit 1 is part of the address of a 16-bit instruction.
    // The line table has no upper bounds, so a PC outside the image's code (RAM,
    // ROM) would otherwise show the last line below it.
    if (elf_read_text(g_elf, pc & ~1u, two, 2) && elf_dwarf_lookup(g_elf, pc & ~1u, &loc) && loc.file[0]) {
        follow_to(loc.file, loc.line);
        return;
    }
    if (!g_source_follow) return;
    if (!s_placeholder_for_pc || pc != s_placeholder_pc) {
        s_placeholder_pc = pc;
        source_view_clear(&source_view);
        asm_cache_alloc(0);
        char text[64];
        snprintf(text, sizeof text, "[No debug info for PC 0x%08X]", pc);
        source_view_set_text(&source_view, text);
        s_src_loaded_file[0] = 0;
        s_src_dwarf_file[0] = 0;
        s_placeholder_for_pc = true;
        wake();
    }
    s_src_current_line = 0;
}

bool source_show_file(const char* dwarf_path, uint32_t line_nr) {
    if (!dwarf_path || !dwarf_path[0]) return false;
    char local[512];
    if (!file_readable(dwarf_path) && !src_resolve(dwarf_path, local, sizeof local)) {
        if (g_src_root_dir[0])
            log_addf(&logv, "[SRC] Cannot open %s: not there, nor under the source root %s", dwarf_path,
                     g_src_root_dir);
        else
            log_addf(&logv, "[SRC] Cannot open %s: not there, and no source root is set (Setup panel)", dwarf_path);
        return false;
    }
    source_view_suspend_follow();
    source_load_file(dwarf_path, nullptr, 0);
    if (!s_src_loaded_file[0] || strcmp(s_src_dwarf_file, dwarf_path) != 0) return false;  // the loader logged why
    // The core's line is marked only when it lies in this file.
    s_src_current_line = 0;
    if (s_current_pc) source_follow_pc(s_current_pc);
    // Placed as a halted line is: just above the middle.
    SourceView& v = source_view;
    float off = source_line_offset(&v, line_nr, g_show_asm, s_asm_cache, s_asm_cache_size);
    v.scroll = v.scroll_target = std::max(0.0f, off - (v.height / 2 - v.line_height));
    wake();
    return true;
}

static PickerFile s_list[FILE_PICKER_MAX];
static int s_list_count = 0;

void source_list_clear() {
    file_picker_close(&g_file_picker);
    g_ui_files = UiFileHooks{};
    s_list_count = 0;
}

static int list_hook(const PickerFile** out) {
    // The source root may have changed since the last opening.
    char local[512];
    for (int i = 0; i < s_list_count; ++i)
        s_list[i].found = file_readable(s_list[i].path) || src_resolve(s_list[i].path, local, sizeof local);
    *out = s_list;
    return s_list_count;
}

static void open_hook(int index) {
    if (index >= 0 && index < s_list_count) source_show_file(s_list[index].path, s_list[index].first_line);
}

static const char* shown_hook() { return s_src_dwarf_file; }

void source_list_build() {
    source_list_clear();
    if (!g_elf) return;
    static ElfSourceFile files[FILE_PICKER_MAX];
    int total = elf_dwarf_source_files(g_elf, files, FILE_PICKER_MAX);
    s_list_count = std::min(total, (int)FILE_PICKER_MAX);
    for (int i = 0; i < s_list_count; ++i) s_list[i] = PickerFile{files[i].path, files[i].first_line, false};
    if (total > s_list_count)
        log_addf(&logv, "[SRC] %d source files; the file list holds the first %d by name", total, s_list_count);
    g_ui_files = UiFileHooks{list_hook, open_hook, shown_hook};
}
