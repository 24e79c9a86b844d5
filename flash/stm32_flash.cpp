// STM32 flash through the flash controller's registers. Each generation's
// register table holds the published constants; the procedures differ in how
// a sector is named (address, page number, sector number), how wide a
// program access is, and where bank 2 lives.
#include "flash/stm32_flash.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "flash/flash_span.h"
#include "platform/clock.h"
#include "platform/log_store.h"
#include "probe/probe.h"

namespace {

constexpr uint32_t KiB = 1024;

//                      algo                    base        KEYR  SR    CR    AR    lock        pg     per    ser  mer1 mer2    strt     shift bker
const StmFlashCtrl k_flash_f3_f1_f0 = {FLASH_ALGO_F3_F1_F0, 0x40022000, 0x04, 0x0C, 0x10, 0x14, 0x80, 0x1, 0x2, 0, 0x4, 0, 0x40, 0, 0,
                                       0x1, 0, 0x14, 0x45670123, 0xCDEF89AB, 0, 0, STM_PG_WIDTH_16, 2, false, true, false,
                                       1500, 1000, 30000};
const StmFlashCtrl k_flash_f7_f4_f2 = {FLASH_ALGO_F7_F4_F2, 0x40023C00, 0x04, 0x0C, 0x10, 0, 0x80000000, 0x1, 0, 0x2, 0x4,
                                       0x8000, 0x10000, 3, 0, 0x10000, 0, 0xF2, 0x45670123, 0xCDEF89AB, 0, 0,
                                       STM_PG_WIDTH_32, 4, true, false, false, 15000, 5000, 40000};
const StmFlashCtrl k_flash_c0_l4_gx = {FLASH_ALGO_C0_L4_GX_WX, 0x40022000, 0x08, 0x10, 0x14, 0, 0x80000000, 0x1, 0x2, 0,
                                       0x4, 0x8000, 0x10000, 3, 0x2000, 0x10000, 0, 0xFA, 0x45670123, 0xCDEF89AB, 0, 0,
                                       STM_PG_WIDTH_32, 8, true, false, false, 10000, 10000, 3000};
const StmFlashCtrl k_flash_wx = {FLASH_ALGO_C0_L4_GX_WX, 0x58004000, 0x08, 0x10, 0x14, 0, 0x80000000, 0x1, 0x2, 0, 0x4,
                                 0x8000, 0x10000, 3, 0x2000, 0x10000, 0, 0xFA, 0x45670123, 0xCDEF89AB, 0, 0,
                                 STM_PG_WIDTH_32, 8, true, false, false, 10000, 10000, 3000};
const StmFlashCtrl k_flash_l1_l0 = {FLASH_ALGO_L1_L0, 0, 0x0C, 0x18, 0x04, 0, 0x1, 0x8, 0x200, 0, 0, 0, 0, 0, 0, 0x1, 0,
                                    0x10700, 0x89ABCDEF, 0x02030405, 0x8C9DAEBF, 0x13141516, STM_PG_WIDTH_32, 0, false,
                                    true, true, 2000, 2000, 10000};
const StmFlashCtrl k_flash_l5_u5 = {FLASH_ALGO_L5_U5, 0x40022000, 0x08, 0x20, 0x28, 0, 0x80000000, 0x1, 0x2, 0, 0x4,
                                    0x8000, 0x10000, 3, 0x800, 0x10000, 0, 0x20FA, 0x45670123, 0xCDEF89AB, 0, 0,
                                    STM_PG_WIDTH_64, 8, true, false, false, 10000, 10000, 10000};
const StmFlashCtrl k_flash_u0 = {FLASH_ALGO_U0, 0x40022000, 0x08, 0x10, 0x14, 0, 0x80000000, 0x1, 0x2, 0, 0x4, 0,
                                 0x10000, 3, 0, 0x40000, 0, 0x99F8, 0x45670123, 0xCDEF89AB, 0, 0, STM_PG_WIDTH_32, 8,
                                 false, false, false, 10000, 10000, 10000};
const StmFlashCtrl k_flash_h5 = {FLASH_ALGO_H5, 0x40022000, 0x04, 0x20, 0x28, 0, 0x1, 0x2, 0x4, 0, 0x8000, 0, 0x20, 6,
                                 0x80000000, 0x1, 0, 0xFC0000, 0x45670123, 0xCDEF89AB, 0, 0, STM_PG_WIDTH_64, 16, true,
                                 false, false, 10000, 2000, 10000};
const StmFlashCtrl k_flash_h7 = {FLASH_ALGO_H7, 0x52002000, 0x04, 0x10, 0x0C, 0, 0x1, 0x2, 0, 0x4, 0x8, 0, 0x80, 8, 0,
                                 0x1, 0x4, 0x7EE0000, 0x45670123, 0xCDEF89AB, 0, 0, STM_PG_WIDTH_64, 32, true, false,
                                 false, 5000, 5000, 30000};

// The sectors of one F2/F4/F7 bank: four of 16 KB, one of 64 KB, seven of 128 KB.
const struct { uint32_t offset, size; } k_f4_bank1_map[12] = {
    {0x00000, 16 * KiB},  {0x04000, 16 * KiB},  {0x08000, 16 * KiB},  {0x0C000, 16 * KiB},
    {0x10000, 64 * KiB},  {0x20000, 128 * KiB}, {0x40000, 128 * KiB}, {0x60000, 128 * KiB},
    {0x80000, 128 * KiB}, {0xA0000, 128 * KiB}, {0xC0000, 128 * KiB}, {0xE0000, 128 * KiB},
};

struct Job {
    DapContext* dap;
    const StmFlashCtrl* c;
    uint32_t regs;       // register base (bank 2's on H7 while it is worked on)
    bool lost;           // the probe stopped answering
};

uint32_t reg(const Job& j, uint8_t off) { return j.regs + off; }

bool rd(Job& j, uint32_t addr, uint32_t* v) {
    if (dap_read_mem32(j.dap, addr, v)) return true;
    j.lost = true;
    return false;
}
bool wr(Job& j, uint32_t addr, uint32_t v) {
    if (dap_write_mem32(j.dap, addr, v)) return true;
    j.lost = true;
    return false;
}

// The status bits that say why, in the reference manuals' words.
void log_status(const Job& j, uint32_t sr) {
    const StmFlashCtrl& c = *j.c;
    char why[160] = "";
    auto add = [&](const char* s) {
        std::strncat(why, why[0] ? ", " : "", sizeof why - std::strlen(why) - 1);
        std::strncat(why, s, sizeof why - std::strlen(why) - 1);
    };
    // Bit positions by generation: write protection is what users meet first.
    uint32_t wrp = 0, pgs = 0;
    switch (c.algo) {
    case FLASH_ALGO_F3_F1_F0: wrp = 0x10, pgs = 0x04; break;                   // WRPRTERR, PGERR
    case FLASH_ALGO_F7_F4_F2: wrp = 0x10, pgs = 0xE0; break;                   // WRPERR, PGAERR/PGPERR/PGSERR
    case FLASH_ALGO_C0_L4_GX_WX: case FLASH_ALGO_L5_U5: case FLASH_ALGO_U0:
        wrp = 0x10, pgs = 0x2E8; break;                                         // WRPERR, PROGERR/PGAERR/SIZERR/PGSERR
    case FLASH_ALGO_L1_L0: wrp = 0x100, pgs = 0x10600; break;                   // WRPERR, PGAERR/SIZERR/NOTZEROERR
    case FLASH_ALGO_H7: wrp = 0x20000, pgs = 0x7C0000; break;                   // WRPERR, PGSERR/STRBERR/INCERR/OPERR
    default: break;
    }
    if (sr & wrp) add("the sector is write-protected");
    if (sr & pgs) add("the controller refused the program sequence");
    if (sr & c.sr_error_mask & ~(wrp | pgs)) add("other error bits");
    if (sr & (c.sr_bsy | c.sr_qw)) add("the controller stays busy");
    log_addf(&logv, "[STM32 FLASH] Status 0x%08X: %s", sr, why[0] ? why : "no error bit set");
}

// Until BSY (and QW) clear: true when no error bit is then set. Ends on the
// time-out, a stop request and a lost probe.
bool wait_busy(Job& j, uint32_t sr_addr, uint32_t timeout_ms) {
    const StmFlashCtrl& c = *j.c;
    const uint64_t t0 = plat_time_ms();
    uint32_t sr = 0;
    for (;;) {
        if (!rd(j, sr_addr, &sr)) {
            log_add_line(&logv, "[STM32 FLASH] The probe no longer answers");
            return false;
        }
        if (!(sr & (c.sr_bsy | c.sr_qw))) break;
        if (g_stop.load()) {
            log_add_line(&logv, "[STM32 FLASH] Stopped while the controller was busy");
            return false;
        }
        const uint64_t waited = plat_time_ms() - t0;
        if (waited > timeout_ms) {
            log_addf(&logv, "[STM32 FLASH] Timeout after %u ms", timeout_ms);
            log_status(j, sr);
            return false;
        }
        // A program ends within microseconds, a page erase within tens of
        // milliseconds: look again at once (a read is one exchange) for the
        // first milliseconds, then at a millisecond's pace.
        if (waited >= 3) plat_sleep_ms(1);
    }
    if (sr & c.sr_error_mask) {
        log_status(j, sr);
        return false;
    }
    return true;
}

bool clear_errors(Job& j) {
    uint32_t sr = 0;
    if (j.c->algo == FLASH_ALGO_H5) return rd(j, reg(j, j.c->off_sr), &sr) && wr(j, j.regs + 0x30, (j.c->sr_error_mask | 0x10000) & sr);
    return rd(j, reg(j, j.c->off_sr), &sr) && wr(j, reg(j, j.c->off_sr), sr | j.c->sr_error_mask);
}

bool unlock(Job& j) {
    const StmFlashCtrl& c = *j.c;
    uint32_t cr = 0;
    if (!rd(j, reg(j, c.off_cr), &cr)) return false;
    // L0/L1: PELOCK and PRGLOCK, in PECR, set while locked.
    const uint32_t locked = c.l_style_lock ? 0x3 : c.cr_lock;
    if (!(cr & locked)) return true;
    wr(j, reg(j, c.off_keyr), c.key1);
    wr(j, reg(j, c.off_keyr), c.key2);
    if (c.prgkey1) {
        wr(j, j.regs + 0x10, c.prgkey1);
        wr(j, j.regs + 0x10, c.prgkey2);
    }
    return rd(j, reg(j, c.off_cr), &cr) && !(cr & locked);
}

bool unlock_or_say(Job& j) {
    if (unlock(j)) return true;
    log_add_line(&logv, j.lost ? "[STM32 FLASH] The probe no longer answers"
                               : "[STM32 FLASH] Flash unlock sikertelen (the controller refused the keys; it stays locked until the next reset)");
    return false;
}

void lock(Job& j) {
    uint32_t cr = 0;
    if (j.lost || !rd(j, reg(j, j.c->off_cr), &cr)) return;
    wr(j, reg(j, j.c->off_cr), cr | j.c->cr_lock);
}

// Read-out protection level 1 hides the flash from the debugger: say so
// before erasing anything. RDP is the option byte 0xAA at level 0.
bool rdp_level0(Job& j) {
    uint32_t addr = 0, shift = 0;
    switch (j.c->algo) {
    case FLASH_ALGO_F7_F4_F2: addr = j.regs + 0x14, shift = 8; break;          // OPTCR
    case FLASH_ALGO_C0_L4_GX_WX: case FLASH_ALGO_U0: addr = j.regs + 0x20; break; // OPTR
    case FLASH_ALGO_L5_U5: addr = j.regs + 0x40; break;                        // OPTR
    case FLASH_ALGO_L1_L0: addr = j.regs + 0x1C; break;                        // OPTR
    case FLASH_ALGO_H7: addr = j.regs + 0x1C, shift = 8; break;                // OPTSR_CUR
    case FLASH_ALGO_F3_F1_F0: {
        uint32_t obr = 0;  // OBR: RDPRT bits 2:1 (F0), bit 1 (F1/F3)
        if (!rd(j, j.regs + 0x1C, &obr)) return false;
        if (obr & 0x6) log_add_line(&logv, "[STM32 FLASH] Read-out protection is set (OBR.RDPRT): the flash cannot be programmed until it is removed");
        return !(obr & 0x6);
    }
    default: return true;
    }
    uint32_t v = 0;
    if (!rd(j, addr, &v)) return false;
    const uint8_t rdp = uint8_t(v >> shift);
    if (rdp == 0xAA) return true;
    log_addf(&logv, "[STM32 FLASH] Read-out protection level %d is set (RDP=0x%02X): the flash cannot be programmed until it is removed",
             rdp == 0xCC ? 2 : 1, rdp);
    return false;
}

// Where bank 2 starts from the flash start (0: one bank) and the page size
// of page-erased generations, from the chip's size and its option bits.
struct Layout {
    uint32_t bank2_offset;
    uint32_t page;
};

Layout chip_layout(Job& j, const McuRecord& rec, uint32_t flash_bytes) {
    Layout l{0, rec.flash_block_size ? rec.flash_block_size : 2048};
    uint32_t opt = 0;
    const uint32_t id = rec.device_id & 0xFFF;
    switch (j.c->algo) {
    case FLASH_ALGO_F7_F4_F2:
        // RM0090: the 2 MB parts have two banks; 1 MB F42x/43x parts too when DB1M is set.
        if (flash_bytes >= 2048 * KiB) l.bank2_offset = 0x100000;
        else if ((rec.dual_bank || rec.dual_bank_opt) && rd(j, j.regs + 0x14, &opt) && (opt & (1u << 30)))
            l.bank2_offset = flash_bytes / 2;
        break;
    case FLASH_ALGO_C0_L4_GX_WX:
        if (!rd(j, j.regs + 0x20, &opt)) break;
        if (id == 0x468 || id == 0x469 || id == 0x479) {
            // RM0440: DBANK set, two banks of 2 KB pages; clear, one bank of 4 KB pages.
            if (opt & (1u << 22)) l.bank2_offset = flash_bytes / 2;
            else if (id != 0x468) l.page = 4096;
        } else if (id == 0x415) {
            l.bank2_offset = flash_bytes / 2;  // RM0351: L47x/48x always have two banks
        } else if ((id == 0x461 || id == 0x467) && (opt & (1u << 21))) {
            l.bank2_offset = flash_bytes / 2;  // DUALBANK (L49x/4Ax, G0B1/C1)
        }
        break;
    case FLASH_ALGO_L5_U5:
        // RM0456: two banks whatever DUALBANK says on the 2 MB parts; L5 by DBANK.
        if (id == 0x472) {
            if (rd(j, j.regs + 0x40, &opt) && (opt & (1u << 22))) l.bank2_offset = flash_bytes / 2;
            else l.page = 4096;
        } else {
            l.bank2_offset = flash_bytes / 2;
        }
        break;
    case FLASH_ALGO_H7:
        if (id != 0x483) l.bank2_offset = flash_bytes / 2;  // RM0468: H72x/73x have one bank
        break;
    default: break;
    }
    if (flash_bytes == 0) l.bank2_offset = rec.dual_bank ? 0x100000 : 0;
    return l;
}

uint32_t chip_flash_bytes(Job& j, const McuRecord& rec) {
    uint32_t w = 0;
    // Read as identification reads it: the record's shift picks the half-word.
    if (!rec.flash_size_reg || !dap_read_mem32(j.dap, rec.flash_size_reg, &w)) return 0;
    const uint32_t kb = (w >> rec.flash_size_shift) & rec.flash_size_mask;
    return kb == rec.flash_size_mask ? 0 : kb * KiB;  // an unprogrammed word says nothing
}

// The sector holding addr: F2/F4/F7 by the map, the others in pages.
bool sector_of(const Job& j, uint32_t start, uint32_t addr, const Layout& l, uint32_t* s_start, uint32_t* s_size,
               int* index) {
    if (j.c->algo == FLASH_ALGO_F7_F4_F2) {
        *index = stm32_sector_map_f4_f7(start, addr, l.bank2_offset, s_start, s_size);
        return *index >= 0;
    }
    const uint32_t size = j.c->algo == FLASH_ALGO_H7 ? 128 * KiB : l.page;
    const uint32_t off = addr - start;
    *s_size = size;
    *s_start = start + off / size * size;
    *index = int(off / size);
    return true;
}

// Erase one sector (its index from the flash start; bank 2 from bank2_offset).
bool erase(Job& j, uint32_t start, uint32_t s_start, int index, const Layout& l) {
    const StmFlashCtrl& c = *j.c;
    const uint32_t cr = reg(j, c.off_cr), sr = reg(j, c.off_sr);
    const uint32_t off = s_start - start;
    const bool bank2 = l.bank2_offset && off >= l.bank2_offset;
    switch (c.algo) {
    case FLASH_ALGO_F3_F1_F0:
        return wr(j, cr, c.cr_per) && wr(j, reg(j, c.off_ar), s_start) && wr(j, cr, c.cr_per | c.cr_strt) &&
               wait_busy(j, sr, c.timeout_erase_ms) && wr(j, cr, 0);
    case FLASH_ALGO_F7_F4_F2: {
        // Bank 2's sectors are numbered from 16 in SNB; x32 parallelism (PSIZE = 2).
        const uint32_t snb = index > 11 ? uint32_t(index - 12) | 16u : uint32_t(index);
        const uint32_t v = c.cr_ser | (snb << c.cr_page_shift) | (2u << 8);
        return wr(j, cr, v) && wr(j, cr, v | c.cr_strt) && wait_busy(j, sr, c.timeout_erase_ms) && wr(j, cr, 0);
    }
    case FLASH_ALGO_L1_L0:
        // PECR: ERASE with PROG, then any word store into the page erases it.
        return wr(j, cr, c.cr_per | c.cr_pg) && wr(j, s_start, 0) && wait_busy(j, sr, c.timeout_erase_ms) &&
               wr(j, cr, 0);
    case FLASH_ALGO_H7: {
        // Each bank has its own registers; SNB counts within the bank; x64 (PSIZE = 3).
        j.regs = c.flash_base + (bank2 ? 0x100 : 0);
        const uint32_t snb = (off - (bank2 ? l.bank2_offset : 0)) / (128 * KiB);
        const uint32_t v = c.cr_ser | (snb << c.cr_page_shift) | (3u << 4);
        const bool ok = unlock_or_say(j) && clear_errors(j) && wr(j, reg(j, c.off_cr), v) &&
                        wr(j, reg(j, c.off_cr), v | c.cr_strt) && wait_busy(j, reg(j, c.off_sr), c.timeout_erase_ms) &&
                        wr(j, reg(j, c.off_cr), 0);
        lock(j);
        j.regs = c.flash_base;
        return ok;
    }
    default: {
        // Page numbers count within a bank; bank 2 is chosen by BKER.
        const uint32_t in_bank = bank2 ? off - l.bank2_offset : off;
        const uint32_t pnb = in_bank / l.page;
        const uint32_t v = c.cr_per | (pnb << c.cr_page_shift) | (bank2 ? c.cr_bker : 0);
        return clear_errors(j) && wr(j, cr, v) && wr(j, cr, v | c.cr_strt) && wait_busy(j, sr, c.timeout_erase_ms) &&
               wr(j, cr, 0);
    }
    }
}

void set_progress(int p) {
    g_flash_progress = p;
    probe_wake_ui();
}

// A long stream of stores in pieces: progress between them, and a stop or a
// lost probe noticed. The bus holds each store while the controller is busy
// with the one before, so no status poll is needed in between.
constexpr uint32_t kPiece = 16 * KiB;

bool stream(Job& j, uint32_t addr, const uint8_t* data, uint32_t len, bool halfwords, int pct0, int pct1) {
    std::vector<uint16_t> hw;
    for (uint32_t o = 0; o < len; o += kPiece) {
        const uint32_t n = len - o < kPiece ? len - o : kPiece;
        bool ok;
        if (halfwords) {
            hw.resize(n / 2);
            for (uint32_t i = 0; i < n / 2; ++i) hw[i] = uint16_t(data[o + 2 * i] | data[o + 2 * i + 1] << 8);
            ok = dap_write_halfwords(j.dap, addr + o, hw.data(), n / 2);
        } else {
            ok = dap_write_mem_block(j.dap, addr + o, data + o, n);
        }
        if (!ok) {
            j.lost = true;
            log_add_line(&logv, "[STM32 FLASH] The probe no longer answers");
            return false;
        }
        set_progress(pct0 + int(uint64_t(o + n) * (pct1 - pct0) / len));
        if (g_stop.load()) {
            log_add_line(&logv, "[STM32 FLASH] Stopped");
            return false;
        }
    }
    return true;
}

// Program len bytes (a multiple of the generation's granule) at addr, in
// one stream per bank.
bool program(Job& j, uint32_t addr, const uint8_t* data, uint32_t len, const Layout& l, uint32_t start, int pct0,
             int pct1) {
    const StmFlashCtrl& c = *j.c;
    const uint32_t cr = reg(j, c.off_cr), sr = reg(j, c.off_sr);
    switch (c.algo) {
    case FLASH_ALGO_F3_F1_F0:  // half-words only (RM0091, RM0008)
        return wr(j, cr, c.cr_pg) && stream(j, addr, data, len, true, pct0, pct1) &&
               wait_busy(j, sr, c.timeout_write_ms) && wr(j, cr, 0);
    case FLASH_ALGO_L1_L0:
        // Half-page programming (FPRG with PROG): each 16 words in a row fill
        // one aligned half page, and the next one waits on the bus.
        return wr(j, cr, 0x400 | c.cr_pg) && stream(j, addr, data, len, false, pct0, pct1) &&
               wait_busy(j, sr, c.timeout_write_ms) && wr(j, cr, 0);
    case FLASH_ALGO_H7: {
        // Each bank through its own registers.
        const uint32_t split = l.bank2_offset ? start + l.bank2_offset : 0xFFFFFFFFu;
        for (uint32_t a = addr; a < addr + len;) {
            const bool bank2 = a >= split;
            const uint32_t end = !bank2 && addr + len > split ? split : addr + len;
            const int p0 = pct0 + int(uint64_t(a - addr) * (pct1 - pct0) / len);
            const int p1 = pct0 + int(uint64_t(end - addr) * (pct1 - pct0) / len);
            j.regs = c.flash_base + (bank2 ? 0x100 : 0);
            const bool ok = unlock_or_say(j) && clear_errors(j) && wr(j, reg(j, c.off_cr), c.cr_pg | (3u << 4)) &&
                            stream(j, a, data + (a - addr), end - a, false, p0, p1) &&
                            wait_busy(j, reg(j, c.off_sr), c.timeout_write_ms) && wr(j, reg(j, c.off_cr), 0);
            lock(j);
            j.regs = c.flash_base;
            if (!ok) return false;
            a = end;
        }
        return true;
    }
    default: {
        // F2/F4/F7 program x32; the others gather words into their row.
        const uint32_t v = c.cr_pg | (c.algo == FLASH_ALGO_F7_F4_F2 ? 0x200u : 0u);
        return clear_errors(j) && wr(j, cr, v) && stream(j, addr, data, len, false, pct0, pct1) &&
               wait_busy(j, sr, c.timeout_write_ms) && wr(j, cr, 0);
    }
    }
}

// False on a difference, a failed read or a stop (*stopped then tells).
bool verify(Job& j, uint32_t addr, const uint8_t* data, uint32_t len, bool* stopped) {
    *stopped = false;
    constexpr uint32_t kChunk = 4096;
    static uint8_t raw[kChunk + 8];  // whole words around the chunk
    for (uint32_t o = 0; o < len; o += kChunk) {
        const uint32_t n = len - o < kChunk ? len - o : kChunk;
        const uint32_t a = addr + o, head = a & 3, span = (head + n + 3) & ~3u;
        if (!dap_read_mem_block(j.dap, a - head, raw, span)) {
            log_add_line(&logv, "[STM32 FLASH] Verify: readback failed");
            return false;
        }
        const uint8_t* back = raw + head;
        for (uint32_t i = 0; i < n; ++i)
            if (back[i] != data[o + i]) {
                log_addf(&logv, "[STM32 FLASH] Verify FAIL @ 0x%08X: expected 0x%02X got 0x%02X", a + i, data[o + i], back[i]);
                return false;
            }
        if (g_stop.load()) return *stopped = true, false;
    }
    return true;
}

}  // namespace

StmFlashAlgo stm32_flash_algo_of(const McuRecord* rec) {
    for (int i = 0; i < 8; ++i)
        if (rec && rec->flash_algo && !std::strcmp(rec->flash_algo, s_stm32_algo_names[i])) return StmFlashAlgo(i);
    return FLASH_ALGO_F3_F1_F0;
}

const StmFlashCtrl* stm32_flash_ctrl_for_algo(StmFlashAlgo algo, uint32_t device_id) {
    static StmFlashCtrl g4, l0, u5;
    const uint32_t id = device_id & 0xFFF;
    switch (algo) {
    case FLASH_ALGO_F3_F1_F0: return &k_flash_f3_f1_f0;
    case FLASH_ALGO_F7_F4_F2: return &k_flash_f7_f4_f2;
    case FLASH_ALGO_C0_L4_GX_WX:
        if (id == 0x495 || id == 0x496 || id == 0x497) return &k_flash_wx;
        // BKER is bit 13 only on the G0 (RM0444); bit 11 on the L4 and G4 (RM0351, RM0440).
        if (id == 0x456 || id == 0x460 || id == 0x466 || id == 0x467 || id == 0x443 || id == 0x453)
            return &k_flash_c0_l4_gx;
        g4 = k_flash_c0_l4_gx;
        g4.cr_bker = 0x800;
        return &g4;
    case FLASH_ALGO_L1_L0:
        l0 = k_flash_l1_l0;
        // Every L0 category, the category-3 parts (0x417, RM0367) included, keeps its
        // interface at 0x40022000; the L1 parts at 0x40023C00.
        l0.flash_base = (id == 0x416 || id == 0x417 || id == 0x425 || id == 0x447 || id == 0x457) ? 0x40022000 : 0x40023C00;
        return &l0;
    case FLASH_ALGO_L5_U5:
        if (id > 0x454) {
            u5 = k_flash_l5_u5;
            u5.trim_bytes = 16;  // quad-word programming
            return &u5;
        }
        return &k_flash_l5_u5;
    case FLASH_ALGO_U0: return &k_flash_u0;
    case FLASH_ALGO_H5: return &k_flash_h5;
    case FLASH_ALGO_H7: return &k_flash_h7;
    }
    log_add_line(&logv, "[STM32 FLASH] Ismeretlen flash algoritmus");
    return nullptr;
}

int stm32_sector_map_f4_f7(uint32_t flash_base, uint32_t addr, uint32_t bank2_offset, uint32_t* sect_start,
                           uint32_t* sect_size) {
    if (addr < flash_base) return -1;
    uint32_t off = addr - flash_base, bank_base = 0;
    int first = 0;
    if (bank2_offset && off >= bank2_offset) {
        off -= bank2_offset, bank_base = bank2_offset, first = 12;
    }
    const uint32_t bank_size = bank2_offset ? bank2_offset : 0x100000;
    for (int i = 0; i < 12; ++i) {
        const auto& s = k_f4_bank1_map[i];
        if (s.offset >= bank_size) break;
        if (off >= s.offset && off - s.offset < s.size) {
            *sect_start = flash_base + bank_base + s.offset;
            *sect_size = s.size;
            return first + i;
        }
    }
    return -1;
}

bool stm32_flash_program(DapContext* dap, const McuRecord* rec, const uint8_t* data, uint32_t size,
                         uint32_t base_addr) {
    if (!dap || !rec || !data || size == 0) return false;
    const uint32_t start = base_addr ? base_addr : rec->flash_base;
    if (uint64_t(start) + size > 0xFFFFFFFFull) {
        log_add_line(&logv, "[STM32 FLASH] Hiba: flash_start + size > 0xFFFFFFFF (overflow)");
        return false;
    }
    const StmFlashCtrl* c = stm32_flash_ctrl_for_algo(stm32_flash_algo_of(rec), rec->device_id);
    if (!c) return false;
    Job j{dap, c, c->flash_base, false};

    // Read-out protection first: with it the core cannot even fetch its reset vector.
    if (!rdp_level0(j)) return false;
    if (!dap_reset_halt(dap)) {
        log_add_line(&logv, "[STM32 FLASH] Reset+halt sikertelen");
        return false;
    }
    for (int i = 0; i < rec->dbg_init_count && i < 4; ++i)
        if (rec->dbg_init_regs[i]) dap_write_mem32(dap, rec->dbg_init_regs[i], rec->dbg_init_vals[i]);
    const uint32_t flash_bytes = chip_flash_bytes(j, *rec);
    const Layout l = chip_layout(j, *rec, flash_bytes);
    // Sectors are counted from the flash start: an image may start inside one.
    const uint32_t fstart = rec->flash_base && rec->flash_base <= start ? rec->flash_base : start;
    struct Sector {
        uint32_t start, size;
        int index;
    };
    std::vector<Sector> secs;
    bool inside = true;
    for (uint32_t a = start; a < start + size;) {
        Sector s{};
        if (!(inside = sector_of(j, fstart, a, l, &s.start, &s.size, &s.index))) break;
        secs.push_back(s);
        a = s.start + s.size;
    }
    const int count = int(secs.size());
    if (c->algo == FLASH_ALGO_F7_F4_F2)
        log_addf(&logv, "[STM32 FLASH] Start  base=0x%08X  size=%u B  sec_size=variable  n=%d  algo=%s  dual=%d", start,
                 size, count, rec->flash_algo ? rec->flash_algo : "?", l.bank2_offset ? 1 : 0);
    else
        log_addf(&logv, "[STM32 FLASH] Start  base=0x%08X  size=%u B  sec_size=%u  n=%d  algo=%s", start, size,
                 c->algo == FLASH_ALGO_H7 ? 128 * KiB : l.page, count, rec->flash_algo ? rec->flash_algo : "?");
    if (l.bank2_offset) log_addf(&logv, "[STM32 FLASH] Two banks: bank 2 at 0x%08X", fstart + l.bank2_offset);
    if (!inside) {
        log_addf(&logv, "[STM32 FLASH] Hiba: 0x%08X..0x%08X is outside the flash", start, start + size - 1);
        return false;
    }

    if (c->algo != FLASH_ALGO_H7 && !unlock_or_say(j)) return false;
    // The sectors the image touches, whole: what the image does not cover in
    // them is read back first and programmed again unchanged.
    const uint32_t lo = secs.front().start, hi = secs.back().start + secs.back().size;
    std::vector<uint8_t> whole;
    bool ok = flash_read_around(dap, lo, hi, start, data, size, &whole);
    if (!ok) log_add_line(&logv, "[STM32 FLASH] Cannot read back the partly covered sectors to keep their other bytes");
    // Erase: every sector first, then one program stream.
    for (const Sector& s : secs) {
        if (!ok) break;
        if (!erase(j, fstart, s.start, s.index, l)) {
            log_addf(&logv, "[STM32 FLASH] Erase FAIL  sector=%d  addr=0x%08X", s.index, s.start);
            ok = false;
            break;
        }
        set_progress(int(uint64_t(s.start + s.size - lo) * 30 / (hi - lo)));
        if (g_stop.load()) {
            log_add_line(&logv, "[STM32 FLASH] Stopped");
            ok = false;
        }
    }
    if (ok) {
        // Only up to the last byte that is not the erased value, in whole granules.
        const uint32_t granule = c->algo == FLASH_ALGO_L1_L0 ? 64 : c->trim_bytes > 1 ? c->trim_bytes : 4;
        uint32_t end = hi - lo;
        while (end > 0 && whole[end - 1] == rec->flash_erase_val) --end;
        end = (end + granule - 1) / granule * granule;
        if (end && !program(j, lo, whole.data(), end, l, fstart, 30, 95)) {
            log_addf(&logv, "[STM32 FLASH] Write FAIL  addr=0x%08X..0x%08X", lo, lo + end - 1);
            ok = false;
        }
    }
    for (int n = 0; ok && n < count; ++n)
        if (n % 8 == 0 || n == count - 1)
            log_addf(&logv, "[STM32 FLASH] Sector %d kész  (0x%08X + %u KB)", secs[n].index, secs[n].start, secs[n].size / 1024);
    if (c->algo != FLASH_ALGO_H7) lock(j);
    if (!ok) return false;
    const uint32_t kept = (hi - lo) - size;
    if (kept) log_addf(&logv, "[STM32 FLASH] Kept %u B of partly covered sectors as they were", kept);
    log_add_line(&logv, "[STM32 FLASH] Verify...");
    bool stopped = false;
    if (!verify(j, start, data, size, &stopped)) {
        // A stop is not a difference: what was read so far matched.
        log_add_line(&logv, stopped ? "[STM32 FLASH] Stopped" : "[STM32 FLASH] Verify SIKERTELEN");
        return false;
    }
    log_add_line(&logv, "[STM32 FLASH] Verify OK");
    dap_reset_halt(dap);
    return true;
}
