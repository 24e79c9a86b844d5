#include "tests/sim/crosscheck_debugger.h"

#include <cstdarg>
#include <cstdio>

namespace {

// Register addresses from the ARMv7-M manual (System Control Space) and the
// FPB at 0xE0002000; written out here rather than taken from the simulator's
// headers, so a wrong constant there cannot hide behind the same constant here.
constexpr uint32_t kDhcsr = 0xE000EDF0, kDcrsr = 0xE000EDF4, kDcrdr = 0xE000EDF8, kDemcr = 0xE000EDFC;
constexpr uint32_t kAircr = 0xE000ED0C, kDfsr = 0xE000ED30;
constexpr uint32_t kFpCtrl = 0xE0002000, kFpComp0 = 0xE0002008;

constexpr uint32_t kDbgKey = 0xA05F0000u;
constexpr uint32_t kDebugen = 1u << 0, kHalt = 1u << 1, kStep = 1u << 2;
constexpr uint32_t kRegRdy = 1u << 16, kSHalt = 1u << 17, kSLockup = 1u << 19, kSResetSt = 1u << 25;
constexpr uint32_t kRegWnR = 1u << 16;
constexpr uint32_t kVcCoreReset = 1u << 0;
constexpr uint32_t kVectKey = 0x05FA0000u, kSysResetReq = 1u << 2;
constexpr uint32_t kDfsrVcatch = 1u << 3, kDfsrAll = 0x1Fu;

bool fail(XcDebugger* d, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(d->error, sizeof d->error, fmt, ap);
    va_end(ap);
    return false;
}

bool dhcsr_write(XcDebugger* d, uint32_t ctrl) { return xc_write32(d, kDhcsr, kDbgKey | ctrl); }

// Runs the board in slices until DHCSR.S_HALT; a lockup or the time limit
// ends the wait as a failure.
bool wait_halt(XcDebugger* d, const char* what) {
    const uint64_t start = sim_board_now_ns(d->board);
    for (;;) {
        uint32_t s = 0;
        if (!xc_read32(d, kDhcsr, &s)) return false;
        if (s & kSHalt) return true;
        if (s & kSLockup) return fail(d, "%s: core locked up (DHCSR %08x)", what, s);
        if (sim_board_now_ns(d->board) - start >= d->limit_ns)
            return fail(d, "%s: no halt within %llu us of virtual time", what,
                        static_cast<unsigned long long>(d->limit_ns / 1000));
        sim_board_run(d->board, d->slice_ns);
    }
}

bool wait_regrdy(XcDebugger* d) {
    for (int i = 0; i < 100; ++i) {
        uint32_t s = 0;
        if (!xc_read32(d, kDhcsr, &s)) return false;
        if (s & kRegRdy) return true;
        sim_board_run(d->board, 1000);
    }
    return fail(d, "DHCSR.S_REGRDY never set (selector refused?)");
}

bool halted(XcDebugger* d) {
    uint32_t s = 0;
    return xc_read32(d, kDhcsr, &s) && (s & kSHalt);
}

bool write_comp(XcDebugger* d, unsigned comp, uint32_t value) {
    return xc_write32(d, kFpComp0 + 4 * comp, value);
}

uint32_t comp_value(uint32_t addr) {
    // Version 1: COMP holds address bits [28:2]; REPLACE 01 breaks on the
    // lower halfword of that word, 10 on the upper one.
    const uint32_t replace = (addr & 2u) ? 2u : 1u;
    return (replace << 30) | (addr & 0x1FFFFFFCu) | 1u;
}

}  // namespace

void xc_init(XcDebugger* d, SimBoard* board) {
    *d = XcDebugger{};
    d->board = board;
    if (board) d->port = sim_board_debug_port(board);
    d->slice_ns = 50000;
    d->limit_ns = 2000000000ull;
}

bool xc_read32(XcDebugger* d, uint32_t addr, uint32_t* v) {
    if (!d->board) return fail(d, "no board");
    if (!d->port.read(d->port.ctx, addr, 4, v)) return fail(d, "read of %08x refused", addr);
    return true;
}

bool xc_write32(XcDebugger* d, uint32_t addr, uint32_t v) {
    if (!d->board) return fail(d, "no board");
    if (!d->port.write(d->port.ctx, addr, 4, v)) return fail(d, "write of %08x to %08x refused", v, addr);
    return true;
}

bool xc_read_words(XcDebugger* d, uint32_t addr, uint32_t* words, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (!xc_read32(d, addr + static_cast<uint32_t>(4 * i), &words[i])) return false;
    return true;
}

bool xc_halt(XcDebugger* d) {
    return dhcsr_write(d, kDebugen | kHalt) && wait_halt(d, "halt request");
}

bool xc_reset_halt(XcDebugger* d) {
    uint32_t demcr = 0, dfsr = 0;
    if (!xc_halt(d) || !xc_read32(d, kDemcr, &demcr) || !xc_write32(d, kDemcr, demcr | kVcCoreReset) ||
        !xc_write32(d, kDfsr, kDfsrAll) || !xc_write32(d, kAircr, kVectKey | kSysResetReq))
        return false;
    // S_HALT was already set before the reset: DFSR.VCATCH tells the new halt.
    const uint64_t start = sim_board_now_ns(d->board);
    for (;;) {
        sim_board_run(d->board, d->slice_ns);
        if (!xc_read32(d, kDfsr, &dfsr)) return false;
        if ((dfsr & kDfsrVcatch) && halted(d)) break;
        if (sim_board_now_ns(d->board) - start >= d->limit_ns)
            return fail(d, "reset: no vector-catch halt (DFSR %08x)", dfsr);
    }
    // S_RESET_ST is sticky and clears when read; set on a second read means
    // the core is still in reset, whatever S_HALT claims.
    uint32_t s1 = 0, s2 = 0;
    if (!xc_read32(d, kDhcsr, &s1) || !xc_read32(d, kDhcsr, &s2) || !xc_write32(d, kDemcr, demcr & ~kVcCoreReset))
        return false;
    if (s2 & kSResetSt) return fail(d, "reset: core still held in reset (DHCSR %08x)", s2);
    return true;
}

bool xc_read_reg(XcDebugger* d, unsigned sel, uint32_t* v) {
    if (!halted(d)) return fail(d, "register %u: core not halted", sel);
    if (!xc_write32(d, kDcrsr, sel & 0x7Fu) || !wait_regrdy(d)) return false;
    return xc_read32(d, kDcrdr, v);
}

bool xc_write_reg(XcDebugger* d, unsigned sel, uint32_t v) {
    if (!halted(d)) return fail(d, "register %u: core not halted", sel);
    if (!xc_write32(d, kDcrdr, v) || !xc_write32(d, kDcrsr, kRegWnR | (sel & 0x7Fu))) return false;
    return wait_regrdy(d);  // a selector the core lacks never completes
}

bool xc_set_breakpoint(XcDebugger* d, unsigned comp, uint32_t addr) {
    uint32_t ctrl = 0;
    if (!xc_read32(d, kFpCtrl, &ctrl)) return false;
    if ((ctrl >> 28) != 0) return fail(d, "FPB version %u, not 1", (ctrl >> 28) + 1);
    d->num_code = ((ctrl >> 4) & 0xFu) | (((ctrl >> 12) & 0x7u) << 4);
    if (comp >= d->num_code || comp >= XC_MAX_BREAKPOINTS)
        return fail(d, "comparator %u out of range (%u)", comp, d->num_code);
    if (addr >= 0x20000000u || (addr & 1u))
        return fail(d, "breakpoint address %08x: not a halfword in the code region", addr);
    if (!xc_write32(d, kFpCtrl, 3u) || !write_comp(d, comp, comp_value(addr))) return false;
    d->bp_addr[comp] = addr;
    d->bp_on[comp] = true;
    return true;
}

bool xc_clear_breakpoint(XcDebugger* d, unsigned comp) {
    if (comp >= XC_MAX_BREAKPOINTS) return fail(d, "comparator %u out of range", comp);
    if (!write_comp(d, comp, 0)) return false;
    d->bp_on[comp] = false;
    return true;
}

bool xc_step(XcDebugger* d) {
    if (!halted(d)) return fail(d, "step: core not halted");
    return dhcsr_write(d, kDebugen | kStep) && wait_halt(d, "step");
}

bool xc_continue(XcDebugger* d) {
    uint32_t pc = 0;
    if (!xc_read_reg(d, 15, &pc)) return false;
    bool hit[XC_MAX_BREAKPOINTS] = {};
    bool any = false;
    for (unsigned i = 0; i < XC_MAX_BREAKPOINTS; ++i)
        if (d->bp_on[i] && d->bp_addr[i] == pc) hit[i] = any = true;
    if (any) {
        for (unsigned i = 0; i < XC_MAX_BREAKPOINTS; ++i)
            if (hit[i] && !write_comp(d, i, 0)) return false;
        const bool stepped = xc_step(d);
        for (unsigned i = 0; i < XC_MAX_BREAKPOINTS; ++i)
            if (hit[i] && !write_comp(d, i, comp_value(d->bp_addr[i]))) return false;
        if (!stepped) return false;
    }
    return dhcsr_write(d, kDebugen) && wait_halt(d, "continue");
}
