// Writes typed in the window, carried out on the probe thread: memory (also
// while the core runs), core registers (halted only), watched variables
// where their readers find them. Every write is read back and logged.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "probe/probe_priv.h"
#include "platform/log_store.h"

static std::mutex s_write_mtx;
static ProbeWrite s_write;

bool probe_post_write(const ProbeWrite* w) {
    if (!w || w->len < 1 || w->len > PROBE_WRITE_MAX) return false;
    {
        std::lock_guard<std::mutex> lk(s_write_mtx);
        // Only one command is busy at a time: a slot still held belongs to a
        // write not yet taken, and the post below is refused then.
        if (g_cmd_busy) return false;
        s_write = *w;
    }
    return probe_post_cmd(PROBE_CMD_WRITE, 0);
}

bool probe_take_write(ProbeWrite* out) {
    std::lock_guard<std::mutex> lk(s_write_mtx);
    *out = s_write;
    return out->len >= 1 && out->len <= PROBE_WRITE_MAX;
}

static uint64_t low8(const uint8_t* b, uint32_t len) {
    uint64_t v = 0;
    for (uint32_t k = 0; k < len && k < 8; ++k) v |= (uint64_t)b[k] << (8 * k);
    return v;
}

static void hex(const uint8_t* b, uint32_t len, char* out, size_t cap) {
    if (len <= 8) {
        std::snprintf(out, cap, "0x%0*" PRIX64, (int)(2 * len), low8(b, len));
        return;
    }
    size_t at = 0;
    for (uint32_t k = 0; k < len && at + 3 < cap; ++k) at += (size_t)std::snprintf(out + at, cap - at, "%02X", b[k]);
}

static bool write_memory(const char* label, uint32_t addr, const uint8_t* data, uint32_t len, uint64_t mask) {
    uint8_t want[PROBE_WRITE_MAX], got[PROBE_WRITE_MAX];
    std::memcpy(want, data, len);
    if (mask) {
        uint8_t old[8];
        if (len > 8 || !dbg_read_mem(addr, old, len)) {
            log_addf(&logv, "%s: could not read 0x%08X before the write", label, addr);
            return false;
        }
        for (uint32_t k = 0; k < len; ++k) {
            uint8_t m = (uint8_t)(mask >> (8 * k));
            want[k] = (uint8_t)((old[k] & ~m) | (want[k] & m));
        }
    }
    DapContext* c = probe_context();
    if (!c || !dap_write_mem(c, addr, want, len)) {
        log_addf(&logv, "%s: write to 0x%08X failed", label, addr);
        return false;
    }
    char w[140], g[140];
    hex(want, len, w, sizeof w);
    if (!dbg_read_mem(addr, got, len)) {
        log_addf(&logv, "%s = %s written at 0x%08X; reading it back failed", label, w, addr);
        return true;
    }
    hex(got, len, g, sizeof g);
    if (std::memcmp(want, got, len) != 0) log_addf(&logv, "%s: wrote %s at 0x%08X, reads back %s", label, w, addr, g);
    else log_addf(&logv, "%s = %s written at 0x%08X", label, w, addr);
    return true;
}

static bool write_register(const char* label, int sel, uint32_t val, uint32_t mask) {
    if (!dbg_is_halted()) {
        log_addf(&logv, "%s: registers are written only while the target is halted", label);
        return false;
    }
    uint32_t old = 0;
    if (mask && mask != 0xFFFFFFFFu) {
        if (!dbg_read_reg(sel, &old)) {
            log_addf(&logv, "%s: could not read the register before the write", label);
            return false;
        }
        val = (old & ~mask) | (val & mask);
    }
    // The call stack and the frames found for locals no longer hold.
    dbg_core_moving();
    if (!dbg_write_reg(sel, val)) {
        log_addf(&logv, "%s: register write failed", label);
        return false;
    }
    uint32_t back = 0;
    if (!dbg_read_reg(sel, &back)) log_addf(&logv, "%s = 0x%08X written; reading it back failed", label, val);
    else if (back != val) log_addf(&logv, "%s: wrote 0x%08X, reads back 0x%08X", label, val, back);
    else log_addf(&logv, "%s = 0x%08X written", label, val);
    return true;
}

// A watched local in its own function's frame, found as its reader finds it.
static bool write_local(const ProbeWrite& w) {
    bool halted_here = false;
    if (!watch_halt_for_locals(&halted_here)) {
        log_addf(&logv, "%s: the core did not halt for the write", w.label);
        return false;
    }
    WatchFrames wf{};
    wf.have_regs = dbg_read_regs(wf.regs);
    WatchPlace p = watch_place(w.watch, &wf);
    bool ok = false;
    if (p.kind == WATCH_PLACE_MEM) {
        ok = write_memory(w.label, p.where, w.data, w.len, w.mask);
    } else if (p.kind == WATCH_PLACE_REG) {
        uint32_t m = w.len >= 4 ? 0xFFFFFFFFu : (1u << (8 * w.len)) - 1;
        ok = write_register(w.label, (int)p.where, (uint32_t)low8(w.data, w.len), m);
    } else {
        log_addf(&logv, "%s: %s, nothing written", w.label,
                 p.why == WATCH_VAL_NOT_IN_SCOPE ? "not in scope"
                 : p.why == WATCH_VAL_UNAVAILABLE ? "in a register of an outer frame"
                                                 : "no location to write");
    }
    watch_resume_after_locals(halted_here);
    return ok;
}

bool probe_run_write(const ProbeWrite* w) {
    if (!w || !probe_context()) return false;
    const char* label = w->label[0] ? w->label : "[EDIT]";
    if (w->len < 1 || w->len > PROBE_WRITE_MAX) return false;
    switch (w->kind) {
    case PROBE_WRITE_MEM: return write_memory(label, w->addr, w->data, w->len, w->mask);
    case PROBE_WRITE_REG:
        return write_register(label, (int)w->addr, (uint32_t)low8(w->data, 4), w->mask ? (uint32_t)w->mask : 0xFFFFFFFFu);
    case PROBE_WRITE_WATCH:
        if (w->watch.kind == VAR_LOC_ADDR) return write_memory(label, (uint32_t)w->watch.value, w->data, w->len, w->mask);
        if (w->watch.kind == VAR_LOC_REG || w->watch.kind == VAR_LOC_FBREG) return write_local(*w);
        log_addf(&logv, "%s: no location to write", label);
        return false;
    }
    return false;
}
