// Running a CMSIS flash algorithm on the halted core: the blob goes to the
// top of the algorithm's RAM, each call loads the registers and lets the core
// run into the BKPT trap at the blob's start, and a job erases what the image
// covers, programs it page by page and reads it back.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "flash/flash_span.h"
#include "flash/flm.h"
#include "platform/clock.h"
#include "platform/file_read.h"
#include "probe/dap_priv.h"
#include "probe/probe.h"
#include "platform/log_store.h"

namespace {

FlmBlob s_blob;

constexpr uint32_t kDhcsrHaltMask = 0xA05F000B;  // debug on, halted, interrupts masked
constexpr uint32_t kDhcsrRunMask = 0xA05F0009;   // run with interrupts still masked
constexpr int CONSEC_FAIL_FAST_ABORT = 400;
constexpr uint32_t kStackMin = 0x40, kStackWanted = 0x200;
constexpr uint32_t kVerifyChunk = 4096;
// Banked data registers with TAR on DHCSR: DHCSR, DCRSR, DCRDR.
constexpr uint8_t kBd0 = 0x10, kBd1 = 0x14, kBd2 = 0x18;

const char* state_name(DapState s) {
    switch (s) {
    case DAP_STATE_HALTED: return "HALTED";
    case DAP_STATE_RUNNING: return "RUNNING";
    case DAP_STATE_LOCKUP: return "LOCKUP";
    default: return "UNKNOWN";
    }
}

void set_progress(int p) {
    g_flash_progress = p;
    probe_wake_ui();
}

void free_blob() { flm_blob_free(&s_blob); }

// Packs requests into as few DAP_Transfer exchanges as the probe takes,
// keeping the SELECT/CSW cache right. Requests that need TAR on DHCSR and
// bank 1 (the banked registers) get that prefix in every packet.
struct Batch {
    DapXfer x[64];
    int n = 0;
};

// Header (3 bytes), request bytes and answer bytes of one transfer.
int req_bytes(const DapXfer& x) {
    bool read = x.req & DAP_REQ_READ;
    return read && !(x.req & DAP_REQ_MATCH_VALUE) ? 1 : 5;
}
int ans_bytes(const DapXfer& x) { return (x.req & DAP_REQ_READ) && !(x.req & DAP_REQ_MATCH_VALUE) ? 4 : 0; }

// Sends the banked-register requests b.x[0..n); reads land in out (in
// request order, plain reads only). True when every request went through.
bool send_banked(DapContext* ctx, const Batch& b, uint32_t* out, int* failed_at) {
    const int limit = dap_packet_limit(ctx);
    int done = 0, outk = 0;
    *failed_at = -1;
    while (done < b.n) {
        DapXfer x[DAP_MAX_XFERS];
        uint32_t o[DAP_MAX_XFERS];
        DapMemPrefix p{};
        int n = dap_add_banked_prefix(ctx, x, &p);
        x[n++] = DapXfer{DAP_REQ_MATCH_MASK, DAP_DHCSR_S_REGRDY};
        int bytes = 3 + 5 * n, in = 3, first = done;
        while (done < b.n && n < DAP_MAX_XFERS && bytes + req_bytes(b.x[done]) <= limit &&
               in + ans_bytes(b.x[done]) <= limit) {
            bytes += req_bytes(b.x[done]);
            in += ans_bytes(b.x[done]);
            x[n++] = b.x[done++];
        }
        // A register write is three requests that must stay in one packet.
        if (done == first) return false;
        int got = dap_transfer_n(ctx, x, n, o);
        bool ok = got == n;
        dap_mem_prefix_done(ctx, &p, ok);
        // The SELECT at the head went through unless the exchange failed.
        dap_select_done(ctx, dap_current_ap(ctx), 1, ok);
        if (!ok) {
            ap_cache_invalidate(ctx);
            const int head = n - (done - first);  // prefix requests of this packet
            *failed_at = got <= head ? first : first + (got - head);
            return false;
        }
        for (int i = n - (done - first); i < n; ++i)
            if (ans_bytes(x[i])) out[outk++] = o[i];
    }
    return true;
}

void add_reg_write(Batch* b, uint8_t idx, uint32_t val) {
    b->x[b->n++] = DapXfer{dap_ap_req(kBd2, false), val};
    b->x[b->n++] = DapXfer{dap_ap_req(kBd1, false), (uint32_t)(idx & 0x7F) | 0x10000u};
    b->x[b->n++] = DapXfer{(uint8_t)(dap_ap_req(kBd0, true) | DAP_REQ_MATCH_VALUE), DAP_DHCSR_S_REGRDY};
}

void add_reg_read(Batch* b, uint8_t idx) {
    b->x[b->n++] = DapXfer{dap_ap_req(kBd1, false), (uint32_t)(idx & 0x7F)};
    b->x[b->n++] = DapXfer{(uint8_t)(dap_ap_req(kBd0, true) | DAP_REQ_MATCH_VALUE), DAP_DHCSR_S_REGRDY};
    b->x[b->n++] = DapXfer{dap_ap_req(kBd2, true), 0};
}

// Registers and resume in one go: the eight call registers, then DHCSR with
// C_HALT clear and C_MASKINTS kept, so the halted firmware's interrupts stay
// off while the algorithm runs. `halt_first` also (re)writes the halted and
// masked state before the registers.
bool start_call(DapContext* dap, const FlmInfo* info, uint32_t pc, uint32_t r0, uint32_t r1, uint32_t r2,
                bool halt_first) {
    Batch b;
    if (halt_first) b.x[b.n++] = DapXfer{dap_ap_req(kBd0, false), kDhcsrHaltMask};
    const FlmReg regs[8] = {{13, info->stack_top},  {14, info->load_addr + 1}, {15, pc | 1u},      {0, r0},
                            {1, r1},                {2, r2},                   {9, info->static_base}, {16, 0x01000000}};
    for (const FlmReg& r : regs) add_reg_write(&b, r.idx, r.val);
    const int resume_at = b.n;
    b.x[b.n++] = DapXfer{dap_ap_req(kBd0, false), kDhcsrRunMask};
    int failed_at = -1;
    uint32_t none[1];
    if (send_banked(dap, b, none, &failed_at)) return true;
    if (failed_at >= resume_at) {
        log_add_line(&logv, "[FLM] ERROR: resume before the call failed");
        // Whether the write landed is unknown: make sure nothing runs on.
        dap_halt(dap);
    } else {
        log_add_line(&logv, "[FLM] ERROR: bulk register write failed");
    }
    return false;
}

// PC and R0 of the halted core in one exchange.
bool read_pc_r0(DapContext* dap, uint32_t* pc, uint32_t* r0) {
    Batch b;
    add_reg_read(&b, 15);
    add_reg_read(&b, 0);
    uint32_t out[2] = {};
    int failed_at;
    if (!send_banked(dap, b, out, &failed_at)) return false;
    *pc = out[0];
    *r0 = out[1];
    return true;
}

// One exchange for each look at a running call: DHCSR as it is (a lockup
// shows there), then the probe itself waits for S_HALT by value match, as
// long as its match retries last, and reads PC and R0 once the core stopped.
// *regs tells whether PC and R0 were read; false when the link failed.
bool poll_call(DapContext* dap, uint32_t* dhcsr, bool* regs, uint32_t* pc, uint32_t* r0) {
    *regs = false;
    DapXfer x[24];
    uint32_t out[24] = {};
    DapMemPrefix p{};
    int n = dap_add_banked_prefix(dap, x, &p);
    const int state_at = n;
    x[n++] = DapXfer{dap_ap_req(kBd0, true), 0};
    x[n++] = DapXfer{DAP_REQ_MATCH_MASK, DAP_DHCSR_S_HALT};
    x[n++] = DapXfer{(uint8_t)(dap_ap_req(kBd0, true) | DAP_REQ_MATCH_VALUE), DAP_DHCSR_S_HALT};
    x[n++] = DapXfer{DAP_REQ_MATCH_MASK, DAP_DHCSR_S_REGRDY};
    Batch b;
    add_reg_read(&b, 15);
    add_reg_read(&b, 0);
    for (int i = 0; i < b.n; ++i) x[n++] = b.x[i];
    if (!dap_transfer_fits(dap, x, n)) {
        dap_mem_prefix_done(dap, &p, false);
        if (!dap_read_dhcsr(dap, dhcsr)) return false;
        *regs = (*dhcsr & DAP_DHCSR_S_HALT) && read_pc_r0(dap, pc, r0);
        return true;
    }
    DapStop stop;
    const int got = dap_transfer_once(dap, x, n, out, &stop);
    dap_mem_prefix_done(dap, &p, got >= state_at);
    dap_select_done(dap, dap_current_ap(dap), 1, got >= state_at);
    if ((stop != DAP_STOP_NONE && stop != DAP_STOP_MISMATCH) || got <= state_at) return false;
    *dhcsr = out[state_at];
    if (stop == DAP_STOP_NONE && got == n) {
        *pc = out[n - 4];
        *r0 = out[n - 1];
        *regs = true;
    }
    return true;
}

// Polls until the call ends. True when the core stopped at the trap and R0 is 0.
bool wait_call(DapContext* dap, const FlmInfo* info, uint32_t timeout_ms, bool need_diagnostics) {
    const uint64_t t0 = plat_time_ms();
    int consec_fail = 0;
    unsigned long next_line_ms = 250;
    for (int poll = 0;; ++poll) {
        uint32_t d = 0, pc = 0, r0 = 0;
        bool regs = false;
        bool ok = poll_call(dap, &d, &regs, &pc, &r0);
        DapState st = !ok ? DAP_STATE_UNKNOWN
                      : (d & DAP_DHCSR_S_LOCKUP) ? DAP_STATE_LOCKUP
                      : regs || (d & DAP_DHCSR_S_HALT) ? DAP_STATE_HALTED
                                                       : DAP_STATE_RUNNING;
        unsigned long elapsed = (unsigned long)(plat_time_ms() - t0);
        // A line about every quarter second of a long call.
        if ((poll == 0 && need_diagnostics) || (poll > 0 && elapsed >= next_line_ms)) {
            next_line_ms = elapsed + 250;
            log_addf(&logv, "[FLM] poll[%d] ok=%d DHCSR=0x%08X state=%s t=%lums", poll, ok ? 1 : 0, d,
                     state_name(st), elapsed);
            probe_wake_ui();
        }
        if (!ok) {
            ++consec_fail;
            if (consec_fail == 3) {
                uint32_t ctrl = 0;
                dap_dp_read(dap, 0x04, &ctrl);
                log_addf(&logv, "[FLM] SWD read fail — DP error recovery (DP_CTRL=0x%08X)", ctrl);
                dap_restore_ap0(dap);
                plat_sleep_ms(10);
            }
            if (consec_fail >= CONSEC_FAIL_FAST_ABORT) {
                log_addf(&logv, "[FLM] ERROR: SWD lost for >2000ms (consec_fail=%d) — chip reset?", consec_fail);
                return false;
            }
        } else {
            consec_fail = 0;
        }
        if (st == DAP_STATE_HALTED) {
            if (!regs && !read_pc_r0(dap, &pc, &r0)) {
                log_add_line(&logv, "[FLM] ERROR: cannot read R0 after the call");
                return false;
            }
            if ((pc & ~1u) != info->load_addr) {
                log_addf(&logv, "[FLM] ERROR: core halted at PC=0x%08X, not at the return trap 0x%08X", pc,
                         info->load_addr);
                return false;
            }
            // Page calls succeed by the hundred; only their failures are worth a line.
            if (need_diagnostics || r0 != 0)
                log_addf(&logv, "[FLM] flm_call done: R0=0x%08X (%s)", r0, r0 == 0 ? "OK" : "FAIL");
            return r0 == 0;
        }
        if (st == DAP_STATE_LOCKUP) {
            log_add_line(&logv, "[FLM] ERROR: core lockup");
            dap_halt(dap);
            return false;
        }
        if (g_stop.load()) {
            log_add_line(&logv, "[FLM] ERROR: stopped while the algorithm ran");
            dap_halt(dap);
            return false;
        }
        if (plat_time_ms() - t0 > timeout_ms) {
            log_addf(&logv, "[FLM] ERROR: timeout after %u ms", timeout_ms);
            dap_halt(dap);
            return false;
        }
        // A poll that answered has already waited in the probe for as long
        // as its match retries last: look again at once. A failing link is
        // given time to come back, and the abort still means about two seconds.
        if (!ok) plat_sleep_ms(5);
    }
}

// The sector holding addr by the algorithm's map, clipped to the flash;
// false outside it or in a run of size 0.
bool sector_at(const FlmInfo* info, uint64_t addr, uint64_t* start, uint64_t* end) {
    const uint64_t fstart = info->flash_start, fend = fstart + info->flash_size;
    for (int i = 0; i < info->sector_count; ++i) {
        const uint64_t run = fstart + info->sectors[i].addr_offset;
        uint64_t run_end = i + 1 < info->sector_count ? fstart + info->sectors[i + 1].addr_offset : fend;
        if (run_end > fend) run_end = fend;
        const uint32_t sz = info->sectors[i].sz_sector;
        if (addr < run || addr >= run_end || sz == 0) continue;
        *start = run + (addr - run) / sz * sz;
        *end = *start + sz < fend ? *start + sz : fend;
        return true;
    }
    return false;
}

// The job's erase: only the sectors the image touches, so the rest of the
// flash keeps its contents.
bool erase_range(DapContext* dap, const FlmInfo* info, uint32_t base, uint32_t len) {
    const uint64_t lo = base, hi = (uint64_t)base + len;
    const uint64_t fstart = info->flash_start;
    if (info->sector_count == 0) {
        if (info->pc_erase_chip) return flm_erase_chip(dap, info);
        if (!info->page_size) return false;
        log_add_line(&logv,
                     "[FLM] WARN: no sector map — erasing by page_size (may fail on devices with large sectors, e.g. STM32F4/H7)");
        for (uint64_t a = lo - (lo - fstart) % info->page_size; a < hi; a += info->page_size)
            if (!flm_erase_sector(dap, info, (uint32_t)a)) return false;
        return true;
    }
    for (int i = 0; i < info->sector_count; ++i)
        if (info->sectors[i].sz_sector == 0) {
            log_add_line(&logv, "[FLM] ERROR: sector size 0 in the sector map");
            return false;
        }
    int erased = 0;
    uint64_t s = 0, e = 0;
    for (uint64_t a = lo; a < hi && sector_at(info, a, &s, &e); a = e) {
        if (!flm_erase_sector(dap, info, (uint32_t)s)) return false;
        if (++erased % 4 == 0) probe_wake_ui();
    }
    log_addf(&logv, "[FLM] erased %d sector(s) for 0x%08X..0x%08X", erased, base, (uint32_t)(hi - 1));
    return true;
}

// The sectors an image touches, [lo, hi); false when only a chip erase is known.
bool covered_span(const FlmInfo* info, uint32_t base, uint32_t len, uint32_t* lo, uint32_t* hi) {
    const uint64_t a = base, b = (uint64_t)base + len, fstart = info->flash_start, fend = fstart + info->flash_size;
    uint64_t l = 0, h = 0, unused = 0;
    if (info->sector_count == 0) {
        if (!info->page_size) return false;
        l = a - (a - fstart) % info->page_size;
        h = b + (info->page_size - (b - fstart) % info->page_size) % info->page_size;
        if (h > fend) h = fend;
    } else if (!sector_at(info, a, &l, &unused) || !sector_at(info, b - 1, &unused, &h)) {
        return false;
    }
    if (l > a || h < b) return false;
    *lo = (uint32_t)l, *hi = (uint32_t)h;
    return true;
}

// Reads the programmed range back: the image, and 0xFF up to the end of the last page.
bool verify(DapContext* dap, uint32_t base, const uint8_t* data, uint32_t len, uint32_t lead, uint32_t padded_len) {
    uint8_t* buf = (uint8_t*)std::malloc(kVerifyChunk);
    if (!buf) return false;
    bool ok = true;
    for (uint32_t at = 0; at < padded_len && ok; at += kVerifyChunk) {
        uint32_t n = padded_len - at < kVerifyChunk ? padded_len - at : kVerifyChunk;
        if (!dap_read_mem_block(dap, base + at, buf, n)) {
            log_addf(&logv, "[FLM] ERROR: read-back failed at 0x%08X", base + at);
            ok = false;
            break;
        }
        for (uint32_t i = 0; i < n; ++i) {
            int64_t k = (int64_t)at + i - lead;
            uint8_t want = k >= 0 && k < (int64_t)len ? data[k] : 0xFF;
            if (buf[i] != want) {
                log_addf(&logv, "[FLM] ERROR: verify mismatch at 0x%08X: read 0x%02X, expected 0x%02X", base + at + i,
                         buf[i], want);
                ok = false;
                break;
            }
        }
    }
    std::free(buf);
    if (ok) log_addf(&logv, "[FLM] verify OK: %u bytes read back", len);
    return ok;
}

bool upload_page(DapContext* dap, uint32_t buf_addr, const uint8_t* page, uint32_t size) {
    if (dap_write_mem_block(dap, buf_addr, page, size)) return true;
    log_addf(&logv, "[FLM] ERROR: page upload to 0x%08X failed", buf_addr);
    return false;
}

// Page bytes from the image at `off` (which may lie before its start when
// the image does not begin on a page); the rest is the erased value.
void fill_page(uint8_t* page, uint32_t page_size, const uint8_t* data, uint32_t len, int64_t off) {
    for (uint32_t i = 0; i < page_size; ++i) {
        int64_t at = off + i;
        page[i] = at >= 0 && at < (int64_t)len ? data[at] : 0xFF;
    }
}

// Pages one after another; with two buffers the next page travels while the
// algorithm programs the current one.
bool program_pages(DapContext* dap, const FlmInfo* info, const uint8_t* data, uint32_t len, uint32_t base,
                   uint32_t lead) {
    const uint32_t ps = info->page_size;
    const uint32_t total = (uint32_t)(((uint64_t)len + lead + ps - 1) / ps);
    log_addf(&logv, "[FLM] Programming: %u pages x %u B = %u B total  [%s]", total, ps, len,
             info->double_buffered ? "DOUBLE-BUFFERED" : "single-buffered");
    uint8_t* page = (uint8_t*)std::malloc(ps);
    if (!page) {
        log_add_line(&logv, "[FLM] ERROR: no memory for a page buffer");
        return false;
    }
    const uint32_t bufs[2] = {info->page_buf_addr, info->double_buffered ? info->page_buf_addr2 : info->page_buf_addr};
    bool ok = true;
    int last_pct = -1;
    if (info->double_buffered) {
        fill_page(page, ps, data, len, -(int64_t)lead);
        ok = upload_page(dap, bufs[0], page, ps);
    }
    for (uint32_t i = 0; i < total && ok; ++i) {
        const uint32_t buf = bufs[i & 1];
        if (!info->double_buffered) {
            fill_page(page, ps, data, len, (int64_t)i * ps - lead);
            if (!(ok = upload_page(dap, buf, page, ps))) break;
        }
        if (!(ok = start_call(dap, info, info->pc_program_page, base + i * ps, ps, buf, false))) break;
        if (info->double_buffered && i + 1 < total) {
            fill_page(page, ps, data, len, (int64_t)(i + 1) * ps - lead);
            if (!upload_page(dap, bufs[(i + 1) & 1], page, ps)) {
                dap_halt(dap);
                ok = false;
                break;
            }
        }
        if (!(ok = wait_call(dap, info, info->prog_timeout_ms, false))) {
            log_addf(&logv, "[FLM] ERROR: ProgramPage failed at 0x%08X", base + i * ps);
            break;
        }
        int pct = 40 + (int)((uint64_t)(i + 1) * 60 / total);
        if (pct != last_pct) {
            last_pct = pct;
            g_flash_progress = pct;
            log_addf(&logv, "[FLM] Progress: %d%% (%u/%u pages)", pct, i + 1, total);
            probe_wake_ui();
        }
    }
    std::free(page);
    return ok;
}

}  // namespace

bool flm_layout(FlmInfo* info, const FlmBlob* blob) {
    if (!info || !blob || !blob->blob || !info->page_size) return false;
    // 64 bits throughout: sizes from the file or the pack must not wrap.
    const int64_t lo = ((int64_t)info->ram_start + 3) & ~(int64_t)3;
    const int64_t hi = ((int64_t)info->ram_start + info->ram_size) & ~(int64_t)3;
    const int64_t page = info->page_size;
    if (hi > (int64_t)1 << 32 || hi - lo < (int64_t)blob->blob_size) {
        log_addf(&logv, "[FLM] ERROR: algorithm (%u B) does not fit its RAM 0x%08X + %u B", blob->blob_size,
                 info->ram_start, info->ram_size);
        return false;
    }
    const int64_t load = (hi - blob->blob_size) & ~(int64_t)3;
    const int64_t b1 = (load - page) & ~(int64_t)15;
    const int64_t b2 = (b1 - page) & ~(int64_t)15;
    const int64_t sc = (b2 - page) & ~(int64_t)15;
    int64_t stack;
    info->double_buffered = false;
    info->page_buf_addr2 = 0;
    if (sc >= lo + kStackWanted) {
        info->double_buffered = true;
        info->page_buf_addr2 = (uint32_t)b2;
        stack = sc;
    } else if (b2 >= lo + kStackWanted) {
        stack = b2;
    } else {
        stack = b1;
    }
    if (stack < lo + kStackMin) {
        log_add_line(&logv, "[FLM] ERROR: not enough RAM for stack");
        return false;
    }
    info->load_addr = (uint32_t)load;
    info->page_buf_addr = (uint32_t)b1;
    info->stack_top = (uint32_t)stack;
    info->static_base = info->load_addr + blob->rw_offset;
    info->pc_init = info->load_addr + 4 + blob->sym_init;
    info->pc_uninit = info->load_addr + 4 + blob->sym_uninit;
    info->pc_erase_sector = info->load_addr + 4 + blob->sym_erase_sector;
    info->pc_program_page = info->load_addr + 4 + blob->sym_program_page;
    info->pc_erase_chip = blob->sym_erase_chip == FLM_SYM_ABSENT ? 0 : info->load_addr + 4 + blob->sym_erase_chip;
    return true;
}

static bool mailbox_session(DapContext* dap) {
    dap_dp_write(dap, 0x04, 0x50000F00);
    dap_dp_write(dap, 0x00, DAP_ABORT_ALL);
    dap_ap_write(dap, 1, 0x00, 0x21);
    plat_sleep_ms(30);
    uint32_t csw = 0;
    bool ok = dap_ap_read(dap, 1, 0x00, &csw);
    log_addf(&logv, "[FLM] Mailbox step1: AP1_CSW=0x%08X ok=%d (expect RESYNCH_REQ clear)", csw, ok ? 1 : 0);
    if (!ok) {
        log_add_line(&logv, "[FLM] ERROR: AP1 CSW read failed after Activate");
        return false;
    }
    dap_ap_write(dap, 1, 0x04, 7);
    plat_sleep_ms(30);
    uint32_t ret = 0;
    bool got = false;
    const uint64_t t0 = plat_time_ms();
    for (int attempt = 1; attempt <= 20 && !got; ++attempt) {
        got = dap_ap_read(dap, 1, 0x08, &ret);
        log_addf(&logv, "[FLM] Mailbox step2: AP1_RETURN=0x%08X ok=%d attempt=%d t=%lums", ret, got ? 1 : 0, attempt,
                 (unsigned long)(plat_time_ms() - t0));
        if (!got) plat_sleep_ms(25);
    }
    if (!got) {
        log_add_line(&logv, "[FLM] ERROR: AP1 RETURN read failed — session not established");
        return false;
    }
    if (ret & 0xFFFF) {
        log_addf(&logv, "[FLM] ERROR: Mailbox session error status=0x%04X (expect 0x0000)", ret & 0xFFFF);
        return false;
    }
    log_add_line(&logv, "[FLM] Mailbox session established OK");
    uint32_t discard;
    dap_dp_read(dap, 0x04, &discard);
    dap_dp_write(dap, 0x00, DAP_ABORT_ALL);
    dap_dp_write(dap, 0x08, 0);
    dap->cur_apsel = 0xFF;
    dap->cur_apbank = 0xFF;
    dap->csw_valid = false;
    uint32_t cswv[2] = {};
    for (uint32_t& v : cswv) {
        const DapXfer x[3] = {{DAP_REQ_DP_SELECT_W, 0}, {dap_ap_req(DAP_AP_CSW, true), 0}, {DAP_REQ_DP_RDBUFF_R, 0}};
        uint32_t out[3] = {};
        dap_transfer_n(dap, x, 3, out);
        v = out[2];
    }
    log_addf(&logv, "[FLM] v4 AP0 raw restore: CSW1=0x%08X CSW2=0x%08X", cswv[0], cswv[1]);
    dap->cur_apsel = 0;
    dap->cur_apbank = 0;
    dap->cur_csw = cswv[1];
    dap->csw_valid = cswv[1] != 0;
    if (cswv[1] == 0) {
        log_add_line(&logv, "[FLM] ERROR: AP0 not accessible — SELECT=0 had no effect");
        return false;
    }
    return true;
}

bool flm_load(DapContext* dap, FlmInfo* info) {
    if (!dap || !info) return false;
    if (dap->mcu.has_debug_mailbox && !mailbox_session(dap)) return false;
    DapState st = dap_get_state(dap);
    log_addf(&logv, "[FLM] Target state before halt: %s (DHCSR check)", state_name(st));
    if (st == DAP_STATE_HALTED) {
        log_add_line(&logv, "[FLM] Target already halted");
    } else {
        log_add_line(&logv, "[FLM] Target not halted — halting before FLM load");
        uint32_t d = 0;
        bool halted = dap_halt(dap);
        dap_read_dhcsr(dap, &d);
        if (!halted) {
            log_addf(&logv, "[FLM] ERROR: could not halt target (DHCSR=0x%08X)", d);
            return false;
        }
        log_addf(&logv, "[FLM] Target halted OK (DHCSR=0x%08X)", d);
    }

    log_add_line(&logv, "[FLM] flm_load: parsing ELF");
    free_blob();
    uint8_t* file = nullptr;
    size_t size = 0;
    if (plat_read_file(info->flm_path, 64u << 20, &file, &size) != PLAT_READ_OK) {
        log_addf(&logv, "[FLM] ERROR: cannot open FLM file '%s'", info->flm_path);
        return false;
    }
    log_addf(&logv, "[FLM] FLM file opened OK — %u bytes", (unsigned)size);
    bool parsed = flm_parse_elf(file, (uint32_t)size, info, &s_blob);
    std::free(file);
    if (!parsed) {
        log_add_line(&logv, "[FLM] ERROR: ELF parse failed");
        free_blob();
        return false;
    }
    if (info->page_size == 0) {
        log_add_line(&logv, "[FLM] ERROR: page_size == 0");
        free_blob();
        return false;
    }
    if (!flm_layout(info, &s_blob)) {
        free_blob();
        return false;
    }
    log_addf(&logv, "[FLM] load_addr=0x%08X stack=0x%08X pc_init=0x%08X blob=%uB buf2=0x%08X dbl=%d", info->load_addr,
             info->stack_top, info->pc_init, s_blob.blob_size, info->page_buf_addr2, info->double_buffered ? 1 : 0);

    log_add_line(&logv, "[FLM] flm_load: uploading blob to RAM");
    if (!dap_write_mem_block(dap, info->load_addr, s_blob.blob, s_blob.blob_size)) {
        log_add_line(&logv, "[FLM] ERROR: blob upload failed");
        free_blob();
        return false;
    }
    uint8_t back[16] = {};
    uint32_t n = s_blob.blob_size < 16 ? s_blob.blob_size : 16;
    if (!dap_read_mem_block(dap, info->load_addr, back, n)) {
        log_add_line(&logv,
                     "[FLM] ERROR: blob verify read FAILED — AP0 inaccessible after upload (Mailbox session lost?)");
        free_blob();
        return false;
    }
    uint32_t w[4], e[2];
    for (int i = 0; i < 4; ++i) w[i] = dap_get32(back + 4 * i);
    e[0] = dap_get32(s_blob.blob);
    e[1] = dap_get32(s_blob.blob + 4);
    log_addf(&logv, "[FLM] flm_load: blob verify OK [0x%08X 0x%08X 0x%08X 0x%08X]", w[0], w[1], w[2], w[3]);
    if (w[0] != e[0] || w[1] != e[1]) {
        log_addf(&logv, "[FLM] ERROR: blob verify MISMATCH read=[0x%08X 0x%08X] expect=[0x%08X 0x%08X]", w[0], w[1],
                 e[0], e[1]);
        free_blob();
        return false;
    }
    log_add_line(&logv, "[FLM] flm_load: blob uploaded OK");
    return true;
}

bool flm_call(DapContext* dap, const FlmInfo* info, uint32_t pc, uint32_t r0, uint32_t r1, uint32_t r2,
              uint32_t timeout_ms, bool need_ap0_restore, bool need_diagnostics) {
    if (!dap || !info) return false;
    const bool mailbox = dap->mcu.has_debug_mailbox;
    if (mailbox && need_ap0_restore) {
        dap_restore_ap0(dap);
        uint32_t csw = 0;
        bool ok = dap_ap_read(dap, 0, 0x00, &csw);
        log_addf(&logv, "[FLM] flm_call AP0 restore: CSW=0x%08X ok=%d", csw, ok ? 1 : 0);
        if (!ok) {
            log_add_line(&logv, "[FLM] ERROR: AP0 inaccessible before FLM call");
            return false;
        }
    }
    if (mailbox && need_diagnostics) {
        uint32_t idr = 0, d = 0;
        bool ok_idr = dap_ap_read(dap, 0, 0xFC, &idr);
        bool ok_d = dap_read_dhcsr(dap, &d);
        log_addf(&logv, "[FLM] shadow sync: AP0_IDR=0x%08X ok=%d DHCSR=0x%08X ok=%d", idr, ok_idr ? 1 : 0, d,
                 ok_d ? 1 : 0);
        if (!ok_d || !(d & DAP_DHCSR_S_HALT)) {
            log_add_line(&logv, "[FLM] shadow sync: core not halted — attempting re-halt");
            dap_write_mem32(dap, DAP_DHCSR, 0xA05F0003);
            plat_sleep_ms(20);
            ok_d = dap_read_dhcsr(dap, &d);
            bool halted = ok_d && (d & DAP_DHCSR_S_HALT);
            log_addf(&logv, "[FLM] shadow sync re-halt: DHCSR=0x%08X ok=%d halted=%d", d, ok_d ? 1 : 0, halted ? 1 : 0);
            if (!halted) {
                log_add_line(&logv, "[FLM] ERROR: cannot halt core before FLM launch");
                return false;
            }
        }
    }
    if (need_diagnostics) {
        if (!dap_write_mem32(dap, DAP_DHCSR, kDhcsrHaltMask)) {
            log_add_line(&logv, "[FLM] ERROR: DHCSR write failed");
            return false;
        }
        uint32_t d = 0;
        dap_read_dhcsr(dap, &d);
        log_addf(&logv, "[FLM] pre-flight DHCSR=0x%08X (S_HALT=%d C_MASKINTS=%d)", d, (d >> 17) & 1, (d >> 3) & 1);
        if (!(d & DAP_DHCSR_S_HALT)) {
            log_add_line(&logv, "[FLM] ERROR: S_HALT not set after DHCSR write");
            return false;
        }
        uint32_t demcr = 0;
        if (dap_read_mem32(dap, DAP_DEMCR, &demcr))
            dap_write_mem32(dap, DAP_DEMCR, (demcr & ~DAP_DEMCR_VC_CORERESET) | DAP_DEMCR_TRCENA);
        uint32_t csw = 0;
        dap_read_dhcsr(dap, &d);
        dap_ap_read(dap, 0, 0x00, &csw);
        log_addf(&logv, "[FLM] pre-launch: DHCSR=0x%08X CSW=0x%08X", d, csw);
    }
    // Without diagnostics the halted, masked state is written in the same
    // exchange as the registers.
    if (!start_call(dap, info, pc, r0, r1, r2, !need_diagnostics)) return false;
    if (need_diagnostics && mailbox) {
        plat_sleep_ms(10);
        uint32_t d = 0, csw = 0, cur_pc = pc;
        bool ok = dap_read_dhcsr(dap, &d);
        dap_ap_read(dap, 0, 0x00, &csw);
        if (!ok) {
            uint32_t ctrl = 0;
            dap_dp_read(dap, 0x04, &ctrl);
            log_addf(&logv, "[FLM] ERROR: SWD lost immediately after resume (DP_CTRL=0x%08X) — Debug Mailbox disconnect?",
                     ctrl);
            return false;
        }
        log_addf(&logv, "[FLM] resumed PC=0x%08X DHCSR=0x%08X CSW=0x%08X read_ok=%d", cur_pc, d, csw, ok ? 1 : 0);
    }
    return wait_call(dap, info, timeout_ms, need_diagnostics);
}

bool flm_init(DapContext* dap, const FlmInfo* info, uint32_t function) {
    if (!info) return false;
    return flm_call(dap, info, info->pc_init, info->flash_start, 0, function, info->erase_timeout_ms, false, true);
}

bool flm_uninit(DapContext* dap, const FlmInfo* info, uint32_t function) {
    if (!info) return false;
    return flm_call(dap, info, info->pc_uninit, function, 0, 0, 5000, true, true);
}

bool flm_erase_sector(DapContext* dap, const FlmInfo* info, uint32_t addr) {
    if (!info) return false;
    return flm_call(dap, info, info->pc_erase_sector, addr, 0, 0, info->erase_timeout_ms, true, true);
}

bool flm_erase_chip(DapContext* dap, const FlmInfo* info) {
    if (!dap || !info) return false;
    if (info->pc_erase_chip)
        return flm_call(dap, info, info->pc_erase_chip, 0, 0, 0, 8 * info->erase_timeout_ms, true, true);
    if (info->sector_count > 0) return erase_range(dap, info, info->flash_start, info->flash_size);
    if (!info->page_size) return false;
    return erase_range(dap, info, info->flash_start, info->flash_size);
}

bool flm_program_page_buf(DapContext* dap, const FlmInfo* info, uint32_t addr, const uint8_t* data, uint32_t buf_addr) {
    if (!dap || !info || !data) return false;
    if (!dap_write_mem_block(dap, buf_addr, data, info->page_size)) return false;
    return flm_call(dap, info, info->pc_program_page, addr, info->page_size, buf_addr, info->prog_timeout_ms, false,
                    false);
}

bool flm_program_page(DapContext* dap, const FlmInfo* info, uint32_t addr, const uint8_t* data) {
    if (!info) return false;
    return flm_program_page_buf(dap, info, addr, data, info->page_buf_addr);
}

bool flm_program_device(DapContext* dap, const char* pack_dir, const char* device_name, const uint8_t* data,
                        uint32_t len, uint32_t base_addr) {
    if (!dap || !pack_dir || !device_name || !data) return false;
    log_addf(&logv, "[FLM] pdsc_find_algo: pack_dir='%s'  device='%s'", pack_dir, device_name);
    FlmInfo info;
    if (!pdsc_find_algo(pack_dir, device_name, &info)) {
        log_addf(&logv, "[FLM] pdsc_find_algo FAILED — FLM not found for '%s'", device_name);
        return false;
    }
    log_addf(&logv, "[FLM] pdsc_find_algo OK: flm_path='%s'", info.flm_path);
    if (base_addr == 0) {
        log_addf(&logv, "[FLASH] BIN: using FLM flash_start=0x%08X", info.flash_start);
        base_addr = info.flash_start;
    } else if (base_addr != info.flash_start) {
        log_addf(&logv, "[FLASH] WARNING: HEX base=0x%08X != FLM flash_start=0x%08X — wrong MCU?", base_addr,
                 info.flash_start);
    }
    if (len > info.flash_size) {
        log_addf(&logv, "[FLASH] WARNING: firmware size %u B exceeds flash %u B", len, info.flash_size);
        return false;
    }
    // Refused before the target is touched: the algorithm would write outside its flash.
    const uint64_t img_end = (uint64_t)base_addr + len, fl_end = (uint64_t)info.flash_start + info.flash_size;
    if (len == 0 || base_addr < info.flash_start || img_end > fl_end) {
        log_addf(&logv, "[FLM] ERROR: image 0x%08X + %u B is outside the flash 0x%08X + %u B", base_addr, len,
                 info.flash_start, info.flash_size);
        return false;
    }
    g_flash_progress = 0;

    log_add_line(&logv, "[FLM] step: flm_load");
    if (!flm_load(dap, &info)) {
        log_add_line(&logv, "[FLM] ERROR: flm_load failed");
        free_blob();
        return false;
    }
    set_progress(2);
    // The sectors the image touches are erased whole: what the image does not
    // cover in them (calibration, EEPROM emulation kept behind the code) is
    // read back first and written again unchanged.
    std::vector<uint8_t> whole;
    uint32_t lo = 0, hi = 0;
    if (covered_span(&info, base_addr, len, &lo, &hi) && (lo < base_addr || hi > base_addr + len)) {
        if (!flash_read_around(dap, lo, hi, base_addr, data, len, &whole)) {
            log_addf(&logv, "[FLM] ERROR: cannot read back 0x%08X..0x%08X to keep it", lo, hi - 1);
            free_blob();
            return false;
        }
        // Erased bytes at the end need no programming.
        uint32_t n = hi - lo;
        while (n > base_addr - lo + len && whole[n - 1] == info.val_empty) --n;
        const uint32_t kept = n - len;
        if (kept) log_addf(&logv, "[FLM] Kept %u B of partly covered sectors as they were", kept);
        data = whole.data(), len = n, base_addr = lo;
    }
    // An image that does not start on a page gets the erased value in front.
    const uint32_t lead = (base_addr - info.flash_start) % info.page_size;
    const uint32_t page_base = base_addr - lead;

    log_add_line(&logv, "[FLM] step: flm_init(ERASE)");
    if (!flm_init(dap, &info, FLM_FUNC_ERASE)) {
        log_add_line(&logv, "[FLM] ERROR: flm_init(ERASE) failed");
        free_blob();
        return false;
    }
    set_progress(5);

    log_add_line(&logv, "[FLM] step: erase");
    set_progress(10);
    if (!erase_range(dap, &info, base_addr, len)) {
        log_add_line(&logv, "[FLM] ERROR: erase failed");
        flm_uninit(dap, &info, FLM_FUNC_ERASE);
        free_blob();
        return false;
    }
    set_progress(37);

    // CMSIS pairs every Init with an UnInit: ST's Init writes the unlock keys
    // unconditionally, and a second key sequence on an unlocked STM32F4
    // flash is a bus fault.
    log_add_line(&logv, "[FLM] step: flm_uninit(ERASE) + flm_init(PROGRAM) [flm_load skipped]");
    if (!flm_uninit(dap, &info, FLM_FUNC_ERASE)) {
        log_add_line(&logv, "[FLM] ERROR: flm_uninit(ERASE) failed");
        free_blob();
        return false;
    }
    if (!flm_init(dap, &info, FLM_FUNC_PROGRAM)) {
        log_add_line(&logv, "[FLM] ERROR: flm_init(PROGRAM) failed");
        flm_uninit(dap, &info, FLM_FUNC_PROGRAM);
        free_blob();
        return false;
    }
    set_progress(40);

    bool ok = program_pages(dap, &info, data, len, page_base, lead);
    if (!flm_uninit(dap, &info, FLM_FUNC_PROGRAM)) log_add_line(&logv, "[FLM] WARN: UnInit(PROGRAM) failed");
    free_blob();
    if (!ok) return false;
    // The algorithm's word alone is not proof: a write the flash dropped only shows here.
    uint64_t span = ((uint64_t)lead + len + info.page_size - 1) / info.page_size * info.page_size;
    if (page_base + span > fl_end) span = fl_end - page_base;
    if (!verify(dap, page_base, data, len, lead, (uint32_t)(span & ~(uint64_t)3))) return false;
    set_progress(100);
    return true;
}
