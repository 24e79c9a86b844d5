#include "app/register_display.h"

#include <cstring>
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
static uint32_t s_prev_ext[REG_EXT_COUNT];
static int s_prev_ext_count = 0;

void register_display_reset() {
    s_prev_regs_valid = false;
    s_prev_ext_count = 0;
}

// xPSR with its flags and exception number, the stack pointers, the special
// register's four parts, and FPSCR and S0-S31 (with their float values).
static void show_ext_registers(const uint32_t* ext, int n) {
    auto mark = [&](int i) { return i < s_prev_ext_count && s_prev_ext[i] != ext[i] ? "\x01" : ""; };
    if (n >= REG_EXT_CORE) {
        uint32_t x = ext[REG_EXT_XPSR];
        log_addf(&memmap_view, "%sxPSR = 0x%08X %c%c%c%c%c %s ISR %u", mark(REG_EXT_XPSR), x, x >> 31 & 1 ? 'N' : 'n',
                 x >> 30 & 1 ? 'Z' : 'z', x >> 29 & 1 ? 'C' : 'c', x >> 28 & 1 ? 'V' : 'v', x >> 27 & 1 ? 'Q' : 'q',
                 x >> 24 & 1 ? "T" : "-", x & 0x1FF);
        log_addf(&memmap_view, "%sMSP = 0x%08X", mark(REG_EXT_MSP), ext[REG_EXT_MSP]);
        log_addf(&memmap_view, "%sPSP = 0x%08X", mark(REG_EXT_PSP), ext[REG_EXT_PSP]);
        uint32_t sp = ext[REG_EXT_SPECIAL];
        const char* m = mark(REG_EXT_SPECIAL);
        log_addf(&memmap_view, "%sCONTROL   = 0x%02X", m, sp >> 24 & 0xFF);
        log_addf(&memmap_view, "%sFAULTMASK = %u", m, sp >> 16 & 1);
        log_addf(&memmap_view, "%sBASEPRI   = 0x%02X", m, sp >> 8 & 0xFF);
        log_addf(&memmap_view, "%sPRIMASK   = %u", m, sp & 1);
    }
    if (n >= REG_EXT_COUNT) {
        log_addf(&memmap_view, "%sFPSCR = 0x%08X", mark(REG_EXT_FPSCR), ext[REG_EXT_FPSCR]);
        for (int k = 0; k < 32; ++k) {
            float f;
            std::memcpy(&f, &ext[REG_EXT_S0 + k], 4);
            log_addf(&memmap_view, "%sS%-2d = 0x%08X %.9g", mark(REG_EXT_S0 + k), k, ext[REG_EXT_S0 + k], (double)f);
        }
    }
    std::memcpy(s_prev_ext, ext, sizeof(uint32_t) * (size_t)n);
    s_prev_ext_count = n;
}

void memmap_view_show_placeholder() {
    log_clear(&memmap_view);
    log_add_line(&memmap_view, "PC  = ----");
    for (const char* l : s_labels) log_addf(&memmap_view, "%s = ----", l);
}

static int s_seen_stack_generation = 0;

bool update_registers_display() {
    uint32_t regs[16], ext[REG_EXT_COUNT];
    int ext_count = 0;
    bool fresh;
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        ext_count = reg_ext_count;
        std::memcpy(ext, reg_ext_buf, sizeof(uint32_t) * (size_t)ext_count);
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
    show_ext_registers(ext, ext_count);
    for (int i = 0; i < 16; ++i) s_prev_regs[i] = regs[i];
    s_prev_regs_valid = true;
    return true;
}
