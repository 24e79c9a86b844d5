#include "runctl/breakpoints.h"

#include <mutex>

#include "probe/probe.h"
#include "platform/log_store.h"

BkptSlot g_bkpt[BKPT_SLOTS] = {};

int bkpt_count() {
    int n = 0;
    for (const BkptSlot& s : g_bkpt) n += s.active;
    return n;
}

int bkpt_find(uint32_t addr) {
    addr &= ~1u;
    for (int i = 0; i < BKPT_SLOTS; ++i)
        if (g_bkpt[i].active && g_bkpt[i].addr == addr) return i;
    return -1;
}

int bkpt_free_slot() {
    for (int i = 0; i < BKPT_SLOTS; ++i)
        if (!g_bkpt[i].active) return i;
    return -1;
}

int bkpt_enabled_count() {
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    int n = 0;
    for (const BkptSlot& s : g_bkpt) n += s.active && !s.disabled;
    return n;
}

// The unit's comparators less one that stepping always keeps: a breakpoint
// past them would be listed and never fire.
static bool comparator_left(uint32_t addr) {
    int num = dbg_fpb_num_code();
    if (num <= 0) return true;  // no probe: the comparator write fails and says so
    int used = 0;
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        for (const BkptSlot& s : g_bkpt) used += s.active && !s.disabled && s.addr != addr;
    }
    if (used < num - 1) return true;
    log_addf(&logv, "[BKP] No comparator left for 0x%08X: the FPB has %d, one is kept for stepping (%d breakpoints at most)",
             addr, num, num - 1);
    return false;
}

bool bp_is_set(uint32_t addr) {
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    return bkpt_find(addr & ~1u) >= 0;
}

bool bp_set(uint32_t addr) {
    addr &= ~1u;
    {
        std::unique_lock<std::mutex> lk(reg_buf_mtx);
        int i = bkpt_find(addr);
        if (i >= 0 && !g_bkpt[i].disabled) return true;
        if (i >= 0) {
            lk.unlock();
            if (!comparator_left(addr)) return false;
            if (!dbg_bp_set(addr)) {
                log_addf(&logv, "[BKP] Set failed @ 0x%08X", addr);
                return false;
            }
            lk.lock();
            int n = bkpt_count();
            if (g_bkpt[i].active && g_bkpt[i].addr == addr) g_bkpt[i].disabled = false;
            lk.unlock();
            log_addf(&logv, "[BKP] Set @ 0x%08X (%d/%d)", addr, n, BKPT_SLOTS);
            return true;
        }
        if (bkpt_count() >= BKPT_SLOTS) {
            lk.unlock();
            log_add_line(&logv, "[BKP] Nincs szabad slot");
            return false;
        }
    }
    if (!comparator_left(addr)) return false;
    if (!dbg_bp_set(addr)) {
        log_addf(&logv, "[BKP] Set failed @ 0x%08X", addr);
        return false;
    }
    int n;
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        int slot = bkpt_free_slot();
        if (slot < 0) {
            n = -1;
        } else {
            g_bkpt[slot] = BkptSlot{addr, true, false, true};
            n = bkpt_count();
        }
    }
    if (n < 0) {
        dbg_bp_clear(addr);
        log_add_line(&logv, "[BKP] Set: slot race, visszavonva");
        return false;
    }
    log_addf(&logv, "[BKP] Set @ 0x%08X (%d/%d)", addr, n, BKPT_SLOTS);
    return true;
}

void bp_clear(uint32_t addr) {
    addr &= ~1u;
    dbg_bp_clear(addr);
    bool had;
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        int i = bkpt_find(addr);
        had = i >= 0;
        if (had) g_bkpt[i] = BkptSlot{};
    }
    if (had) log_addf(&logv, "[BKP] Cleared @ 0x%08X", addr);
}

void bp_restore_all() {
    // A list made for another unit (or read back from a file) can hold more
    // than this one has: past its comparators less the one stepping keeps,
    // the rest are disabled rather than taking that one.
    int num = -1, placed = 0;
    for (int i = 0; i < BKPT_SLOTS; ++i) {
        uint32_t addr;
        {
            std::lock_guard<std::mutex> lk(reg_buf_mtx);
            if (!g_bkpt[i].active || g_bkpt[i].disabled) continue;
            addr = g_bkpt[i].addr;
        }
        if (num < 0) num = dbg_fpb_num_code();
        if (num > 0 && placed >= num - 1) {
            {
                std::lock_guard<std::mutex> lk(reg_buf_mtx);
                int j = bkpt_find(addr);
                if (j >= 0) g_bkpt[j].disabled = true;
            }
            log_addf(&logv, "[BKP] No comparator left for 0x%08X: disabled (the FPB has %d, one is kept for stepping)",
                     addr, num);
        } else if (dbg_bp_set(addr)) {
            ++placed;
            log_addf(&logv, "[BKP] Restored @ 0x%08X", addr);
        } else {
            log_addf(&logv, "[BKP] Restore failed @ 0x%08X", addr);
        }
    }
}

void bp_after_connect(bool halted) {
    if (bkpt_enabled_count() == 0) return;
    // Halted for the comparator writes, as for a breakpoint set while the core runs.
    if (!halted && !dbg_halt()) {
        log_add_line(&logv, "[BKP] Core did not halt: the listed breakpoints are set at the next resume");
        return;
    }
    bp_restore_all();
    if (!halted) dbg_resume();
}

bool bp_enable(int slot) {
    if (slot < 0 || slot >= BKPT_SLOTS) return false;
    uint32_t addr;
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        if (!g_bkpt[slot].active || !g_bkpt[slot].disabled) return false;
        addr = g_bkpt[slot].addr;
    }
    if (!comparator_left(addr) || !dbg_bp_set(addr)) {
        log_add_line(&logv, "[BKP] Enable failed");
        return false;
    }
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        if (g_bkpt[slot].active && g_bkpt[slot].addr == addr) g_bkpt[slot].disabled = false;
    }
    log_addf(&logv, "[BKP] Enabled @ 0x%08X", addr);
    return true;
}

bool bp_disable(int slot) {
    if (slot < 0 || slot >= BKPT_SLOTS) return false;
    uint32_t addr;
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        if (!g_bkpt[slot].active || g_bkpt[slot].disabled) return false;
        addr = g_bkpt[slot].addr;
    }
    dbg_bp_clear(addr);
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        if (g_bkpt[slot].active && g_bkpt[slot].addr == addr) g_bkpt[slot].disabled = true;
    }
    log_addf(&logv, "[BKP] Disabled @ 0x%08X", addr);
    return true;
}

bool bp_toggle_enable(int slot) {
    if (slot < 0 || slot >= BKPT_SLOTS) return false;
    bool disabled;
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        if (!g_bkpt[slot].active) return false;
        disabled = g_bkpt[slot].disabled;
    }
    if (!disabled) {
        bp_disable(slot);
        return false;
    }
    return bp_enable(slot);
}
