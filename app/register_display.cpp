#include "app/register_display.h"

#include <chrono>
#include <cstring>
#include <mutex>

#include "app/image.h"
#include "app/source_files.h"
#include "app/watch_display.h"
#include "probe/probe.h"
#include "platform/log_store.h"
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
static std::chrono::steady_clock::time_point s_last_sample;

bool update_registers_display() {
    uint32_t regs[16], ext[REG_EXT_COUNT];
    int ext_count = 0;
    bool fresh, stack_new;
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        ext_count = reg_ext_count;
        std::memcpy(ext, reg_ext_buf, sizeof(uint32_t) * (size_t)ext_count);
        fresh = reg_buf_fresh;
        stack_new = g_stack_generation != s_seen_stack_generation;
        if (!fresh && !stack_new) return false;
        // The call stack may come after the registers: its first frame can
        // name another line for the same PC (an inlined call not entered yet).
        s_seen_stack_generation = g_stack_generation;
        for (int i = 0; i < 16; ++i) regs[i] = reg_buf[i];
        reg_buf_fresh = false;
    }
    // The probe publishes on every poll, halted or not: a frame is drawn only
    // when something shown changed, so an idle window stays idle.
    bool values = fresh && watch_refresh_all();  // peripheral watches need no image
    bool same_but_pc = s_prev_regs_valid && std::memcmp(regs, s_prev_regs, 15 * sizeof(uint32_t)) == 0 &&
                       ext_count == s_prev_ext_count &&
                       std::memcmp(ext, s_prev_ext, sizeof(uint32_t) * (size_t)ext_count) == 0;
    // Running, the sampled PC moves at every poll: it is shown and followed
    // once a second, unless a watched value changed as well.
    if (fresh && same_but_pc && !stack_new && !values && !g_is_halted.load()) {
        auto now = std::chrono::steady_clock::now();
        if (now - s_last_sample < std::chrono::seconds(1)) return false;
        s_last_sample = now;
    }
    uint32_t line_before = s_src_current_line;
    char file_before[sizeof s_src_dwarf_file];
    std::memcpy(file_before, s_src_dwarf_file, sizeof file_before);
    source_follow_pc(regs[15]);
    bool moved = line_before != s_src_current_line || std::strcmp(file_before, s_src_dwarf_file) != 0;
    if (!fresh) return true;  // a new call stack
    bool same = same_but_pc && regs[15] == s_prev_regs[15];
    if (same && !values && !stack_new) return moved;
    log_clear(&memmap_view);
    s_current_pc = regs[15] & ~1u;
    if (g_svd_view.level != SVD_VIEW_PERIPH_LIST) svd_view_refresh();
    auto mark = [&](int i) { return s_prev_regs_valid && s_prev_regs[i] != regs[i] ? "\x01" : ""; };
    log_addf(&memmap_view, "%sPC  = 0x%08X", mark(15), regs[15]);
    for (int i = 0; i < 15; ++i) log_addf(&memmap_view, "%s%s = 0x%08X", mark(i), s_labels[i], regs[i]);
    show_ext_registers(ext, ext_count);
    for (int i = 0; i < 16; ++i) s_prev_regs[i] = regs[i];
    s_prev_regs_valid = true;
    return true;
}

// The rows as update_registers_display writes them.
bool register_row(int row, RegisterRow* out) {
    static const char* const ext_names[7] = {"xPSR", "MSP", "PSP", "CONTROL", "FAULTMASK", "BASEPRI", "PRIMASK"};
    static const char* const s_names[32] = {"S0",  "S1",  "S2",  "S3",  "S4",  "S5",  "S6",  "S7",  "S8",  "S9",  "S10",
                                            "S11", "S12", "S13", "S14", "S15", "S16", "S17", "S18", "S19", "S20", "S21",
                                            "S22", "S23", "S24", "S25", "S26", "S27", "S28", "S29", "S30", "S31"};
    static const char* const core_names[15] = {"R0", "R1", "R2",  "R3",  "R4",  "R5", "R6", "R7",
                                               "R8", "R9", "R10", "R11", "R12", "SP", "LR"};
    int ext_rows = s_prev_ext_count >= REG_EXT_COUNT ? 7 + 1 + 32 : s_prev_ext_count >= REG_EXT_CORE ? 7 : 0;
    if (row < 0 || row >= 16 + ext_rows || !s_prev_regs_valid) return false;
    if (row == 0) return *out = RegisterRow{15, 0, 32, false, "PC"}, true;
    if (row < 16) return *out = RegisterRow{row - 1, 0, 32, false, core_names[row - 1]}, true;
    int e = row - 16;
    // CONTROL, FAULTMASK, BASEPRI and PRIMASK share one selector, from bit 31 down.
    static const int special_shift[4] = {24, 16, 8, 0}, special_width[4] = {8, 1, 8, 1};
    if (e < 3) return *out = RegisterRow{16 + e, 0, 32, false, ext_names[e]}, true;
    if (e < 7) return *out = RegisterRow{20, special_shift[e - 3], special_width[e - 3], false, ext_names[e]}, true;
    if (e == 7) return *out = RegisterRow{0x21, 0, 32, false, "FPSCR"}, true;
    return *out = RegisterRow{0x40 + (e - 8), 0, 32, true, s_names[e - 8]}, true;
}

// The value row `row` shows, as shown last.
bool register_row_value(int row, uint32_t* v) {
    RegisterRow r;
    if (!register_row(row, &r)) return false;
    uint32_t raw = row == 0 ? s_prev_regs[15] : row < 16 ? s_prev_regs[row - 1]
                 : r.sel == 16 ? s_prev_ext[REG_EXT_XPSR] : r.sel == 17 ? s_prev_ext[REG_EXT_MSP]
                 : r.sel == 18 ? s_prev_ext[REG_EXT_PSP] : r.sel == 20 ? s_prev_ext[REG_EXT_SPECIAL]
                 : r.sel == 0x21 ? s_prev_ext[REG_EXT_FPSCR] : s_prev_ext[REG_EXT_S0 + (r.sel - 0x40)];
    *v = r.width < 32 ? raw >> r.shift & ((1u << r.width) - 1) : raw;
    return true;
}
