#include "app/register_display.h"

#include <mutex>

#include "app/source_files.h"
#include "app/watch_display.h"
#include "probe/probe.h"
#include "ui/log_view.h"
#include "ui/svd_view.h"

uint32_t s_current_pc = 0;

static const char* const s_labels[15] = {"R0 ", "R1 ", "R2 ", "R3 ", "R4 ", "R5 ", "R6 ", "R7 ",
                                         "R8 ", "R9 ", "R10", "R11", "R12", "SP ", "LR "};
static uint32_t s_prev_regs[16];
static bool s_prev_regs_valid = false;

void register_display_reset() { s_prev_regs_valid = false; }

void memmap_view_show_placeholder() {
    log_clear(&memmap_view);
    log_add_line(&memmap_view, "PC  = ----");
    for (const char* l : s_labels) log_addf(&memmap_view, "%s = ----", l);
}

static int s_seen_stack_generation = 0;

bool update_registers_display() {
    uint32_t regs[16];
    bool fresh;
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        fresh = reg_buf_fresh;
        if (!fresh && g_stack_generation == s_seen_stack_generation) return false;
        // The call stack may come after the registers: its first frame can
        // name another line for the same PC (an inlined call not entered yet).
        s_seen_stack_generation = g_stack_generation;
        for (int i = 0; i < 16; ++i) regs[i] = reg_buf[i];
        reg_buf_fresh = false;
    }
    if (!fresh) {
        source_follow_pc(regs[15]);
        return true;
    }
    log_clear(&memmap_view);
    s_current_pc = regs[15] & ~1u;
    source_follow_pc(regs[15]);
    // Peripheral watches need no image, so the texts are refreshed either way.
    watch_refresh_all();
    if (g_svd_view.level != SVD_VIEW_PERIPH_LIST) svd_view_refresh();
    auto mark = [&](int i) { return s_prev_regs_valid && s_prev_regs[i] != regs[i] ? "\x01" : ""; };
    log_addf(&memmap_view, "%sPC  = 0x%08X", mark(15), regs[15]);
    for (int i = 0; i < 15; ++i) log_addf(&memmap_view, "%s%s = 0x%08X", mark(i), s_labels[i], regs[i]);
    for (int i = 0; i < 16; ++i) s_prev_regs[i] = regs[i];
    s_prev_regs_valid = true;
    return true;
}
