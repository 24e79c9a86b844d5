// Programming through a target INI. Both routes first widen the image to the
// erase units it touches, with what those units hold beside it read back, so
// an erase never takes more than the user's image replaces.
#include "flash/target_algo_flash.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "flash/flash_span.h"
#include "flash/flm.h"
#include "platform/clock.h"
#include "platform/file_read.h"
#include "platform/log_store.h"
#include "probe/dap.h"
#include "probe/probe.h"
#include "target/mcu_id.h"

namespace {

constexpr uint32_t kTrapWord = 0xBE00BE00;  // BKPT; BKPT
constexpr uint32_t kStackMin = 256;         // what the blob's stack must have to itself
constexpr size_t kMaxBin = 1u << 20;
constexpr uint32_t kVerifyChunk = 4096;
constexpr uint8_t kErased = 0xFF;  // INI targets are taken to erase to 0xFF
constexpr int kPollOpsMax = 4;     // stores and polls of one compiled word

void set_progress(int p) {
    g_flash_progress = p;
    probe_wake_ui();
}

struct Unit {
    uint32_t start, size, number;
};

// The image as it will be programmed: widened to the units it touches, with
// their other bytes kept, and without the erased tail.
struct Plan {
    std::vector<Unit> units;
    std::vector<uint8_t> whole;
    const uint8_t* data;
    uint32_t len, base;
};

bool inside_flash(const AlgoFlash& fl, uint32_t base, uint32_t len) {
    if (len > fl.flash_size) {
        log_addf(&logv, "[ALGO] Firmware %u B > flash %u B", len, fl.flash_size);
        return false;
    }
    if (base < fl.flash_base || (uint64_t)base + len > (uint64_t)fl.flash_base + fl.flash_size) {
        log_addf(&logv, "[ALGO] Image 0x%08X..0x%08X lies outside the flash 0x%08X..0x%08X", base,
                 (uint32_t)(base + len - 1), fl.flash_base, (uint32_t)(fl.flash_base + fl.flash_size - 1));
        return false;
    }
    return true;
}

bool plan_units(const AlgoFlash& fl, bool pages_too, uint32_t base, uint32_t len, Plan* p) {
    p->units.clear();
    uint32_t s = 0, sz = 0, num = 0;
    for (uint64_t a = base; a < (uint64_t)base + len; a = (uint64_t)s + sz) {
        if (!target_algo_unit_at(&fl, (uint32_t)a, pages_too, &s, &sz, &num)) return false;
        p->units.push_back(Unit{s, sz, num});
    }
    return !p->units.empty();
}

// Reads back what the first and last unit hold outside the image.
bool plan_keep(DapContext* dap, const AlgoFlash& fl, const uint8_t* data, uint32_t len, uint32_t base, Plan* p) {
    p->data = data, p->len = len, p->base = base;
    if (p->units.empty()) return true;  // a chip erase: nothing to keep
    const uint32_t lo = p->units.front().start;
    uint64_t hi = (uint64_t)p->units.back().start + p->units.back().size;
    const uint64_t fend = (uint64_t)fl.flash_base + fl.flash_size;
    if (hi > fend) hi = fend;
    if (lo == base && hi == (uint64_t)base + len) return true;
    const uint32_t span = (uint32_t)(hi - lo), tail_at = base - lo + len;
    if (!flash_read_around(dap, lo, (uint32_t)hi, base, data, len, &p->whole)) {
        log_addf(&logv, "[ALGO] Cannot read back 0x%08X..0x%08X to keep it", lo, (uint32_t)(hi - 1));
        return false;
    }
    uint32_t n = span;
    while (n > tail_at && p->whole[n - 1] == kErased) --n;
    const uint32_t kept = n - len;
    if (kept) log_addf(&logv, "[ALGO] Kept %u B of partly covered sectors as they were", kept);
    p->data = p->whole.data(), p->len = n, p->base = lo;
    return true;
}

bool run_named(TargetAlgo* algo, DapContext* dap, const char* name, const char* what) {
    if (!name[0]) return true;
    log_addf(&logv, "[ALGO] Running %s: %s", what, name);
    return target_seq_run(algo, name, dap);
}

// The firmware must not run while its flash changes under it.
bool halt_core(DapContext* dap) {
    uint32_t d = 0;
    if (dap_read_dhcsr(dap, &d) && (d & DAP_DHCSR_S_HALT)) return true;
    log_add_line(&logv, "[ALGO] Halting the core for programming");
    if (dap_halt(dap) && dap_read_dhcsr(dap, &d) && (d & DAP_DHCSR_S_HALT)) return true;
    log_addf(&logv, "[ALGO] The core does not halt (DHCSR=0x%08X)", d);
    return false;
}

// Once, before a job: answers an earlier, interrupted session may have left
// in the bulk pipe would pair with our commands (each read waits 1 ms for one).
void settle_probe(DapContext* dap) {
    dap_drain_bulk(dap);
    dap_sync_pipeline(dap);
}

// Reads the programmed span back and compares it word by word.
bool verify(DapContext* dap, const uint8_t* data, uint32_t len, uint32_t base) {
    log_add_line(&logv, "[ALGO] Verifying...");
    std::vector<uint8_t> got(kVerifyChunk);
    for (uint32_t off = 0; off < len; off += kVerifyChunk) {
        const uint32_t n = len - off < kVerifyChunk ? len - off : kVerifyChunk;
        const uint32_t rd = (n + 3) & ~3u;
        if (!dap_read_mem_block(dap, base + off, got.data(), rd)) {
            log_addf(&logv, "[ALGO] Verify: cannot read 0x%08X", base + off);
            return false;
        }
        if (std::memcmp(got.data(), data + off, n) == 0) continue;
        for (uint32_t w = 0; w < n; w += 4) {
            uint32_t exp = 0xFFFFFFFFu, have = 0;
            std::memcpy(&have, got.data() + w, 4);
            std::memcpy(&exp, data + off + w, n - w < 4 ? n - w : 4);
            if (n - w < 4) have |= ~0u << (8 * (n - w)), exp |= ~0u << (8 * (n - w));
            if (exp != have) {
                log_addf(&logv, "[ALGO] Verify FAIL at 0x%08X: exp 0x%08X got 0x%08X", base + off + w, exp, have);
                return false;
            }
        }
    }
    log_add_line(&logv, "[ALGO] Verify OK");
    return true;
}

// The program closing or the probe gone ends a job between its steps.
bool stopped(const DapContext* dap) {
    const char* why = g_stop.load() ? "the program is closing" : dap->disconnected.load() ? "the probe is gone" : nullptr;
    if (why) log_addf(&logv, "[ALGO] Flash job stopped: %s", why);
    return why != nullptr;
}

bool overlap(uint64_t a, uint64_t an, uint64_t b, uint64_t bn) { return a < b + bn && b < a + an; }

// --- the scripted word -------------------------------------------------------

// FLASH_PROGRAM_WORD as stores and polls whose only varying inputs are
// $write_addr and $data: then whole pages go in a few packets, each poll
// done by the probe's own value match, in the script's order.
struct WordOp {
    DapMemOpKind kind;
    uint8_t addr_from, val_from;  // 0: fixed, 1: $write_addr, 2: $data
    uint32_t addr, val, mask, timeout_ms;
};
struct CompiledWord {
    WordOp ops[kPollOpsMax];
    int count;
};

bool compile_arg(const SeqStep& s, int slot, const VarContext* vars, uint8_t* from, uint32_t* fixed) {
    *from = 0;
    if (!(s.arg_flags[slot] & SEQ_ARG_VAR)) return *fixed = slot == 0 ? s.val : s.mask, true;
    if (s.arg_flags[slot] & SEQ_ARG_RESULT) return false;
    if (!std::strcmp(s.arg_names[slot], "$write_addr")) return *from = 1, true;
    if (!std::strcmp(s.arg_names[slot], "$data")) return *from = 2, true;
    // Nothing else runs between the words, so any other variable stays as it is.
    return algo_var_get(vars, s.arg_names[slot], fixed);
}

bool compile_word(const Sequence* seq, const VarContext* vars, CompiledWord* out) {
    out->count = 0;
    for (int i = 0; i < seq->step_count && i < ALGO_MAX_STEPS; ++i) {
        const SeqStep& s = seq->steps[i];
        if (s.op == SEQ_OP_NOP) continue;
        if (out->count == kPollOpsMax) return false;
        WordOp& o = out->ops[out->count++];
        o = WordOp{};
        if (s.op == SEQ_OP_MEM_WRITE || s.op == SEQ_OP_MEM_WRITE16) {
            o.kind = s.op == SEQ_OP_MEM_WRITE ? DAP_MEMOP_WRITE32 : DAP_MEMOP_WRITE16;
            if (!compile_arg(s, 0, vars, &o.addr_from, &o.addr) || !compile_arg(s, 1, vars, &o.val_from, &o.val))
                return false;
        } else if (s.op == SEQ_OP_MEM_POLL) {
            o.kind = DAP_MEMOP_POLL32;
            o.addr = s.val, o.mask = s.mask, o.timeout_ms = s.timeout_ms;
            o.val = (uint32_t)std::strtoul(s.call_name, nullptr, 16);
        } else {
            return false;
        }
    }
    return out->count > 0;
}

uint32_t pick(uint8_t from, uint32_t fixed, uint32_t addr, uint32_t data) {
    return from == 1 ? addr : from == 2 ? data : fixed;
}

// Runs the compiled word for `n` units of data starting at `addr`; false
// with *failed_at the address whose word failed.
bool program_compiled(DapContext* dap, const CompiledWord& cw, const uint32_t* addrs, const uint32_t* datas, int n,
                      uint32_t* failed_at) {
    std::vector<DapMemOp> ops((size_t)n * cw.count);
    for (int w = 0; w < n; ++w)
        for (int j = 0; j < cw.count; ++j) {
            const WordOp& o = cw.ops[j];
            ops[(size_t)w * cw.count + j] = DapMemOp{o.kind, pick(o.addr_from, o.addr, addrs[w], datas[w]),
                                                      pick(o.val_from, o.val, addrs[w], datas[w]), o.mask};
        }
    const int total = (int)ops.size();
    for (int at = 0; at < total;) {
        int done = 0;
        const bool ok = dap_mem_ops(dap, ops.data() + at, total - at, &done);
        at += done;
        if (ok && at == total) break;
        *failed_at = addrs[at / cw.count];
        if (!ok) return false;
        // The probe's match retries ran out: the poll goes on here.
        const WordOp& o = cw.ops[at % cw.count];
        uint32_t v;
        if (!target_algo_poll(dap, -1, 0, o.addr, o.mask, o.val, o.timeout_ms, &v)) return false;
        ++at;
    }
    return true;
}

}  // namespace

// --- the blob ---------------------------------------------------------------------

bool algo_read_blob(TargetAlgo* algo) {
    if (!algo) return false;
    if (algo->blob.data) return true;
    const char* path = algo->flash.bin_path;
    uint8_t* data = nullptr;
    size_t size = 0;
    if (!path[0] || plat_read_file(path, kMaxBin, &data, &size) != PLAT_READ_OK) {
        log_addf(&logv, "[ALGO] Cannot open BIN: %s", path[0] ? path : "(no bin in [flash_algo])");
        return false;
    }
    algo->blob.data = data;
    algo->blob.size = (uint32_t)size;
    log_addf(&logv, "[ALGO] BIN loaded: %u bytes \u2192 0x%08X", algo->blob.size, algo->flash.load_addr);
    return true;
}

bool algo_blob_fits(const TargetAlgo* algo) {
    const AlgoDevice& d = algo->device;
    const AlgoFlash& fl = algo->flash;
    if (!d.ram_size) {
        log_add_line(&logv, "[ALGO] The INI gives no RAM (ram_base, ram_size): the algorithm has nowhere to run");
        return false;
    }
    const uint64_t ram = d.ram_base, ram_end = ram + d.ram_size;
    const uint32_t buf = fl.static_base + (fl.page_buf_offset ? fl.page_buf_offset : 4);
    struct Area {
        const char* name;
        uint64_t at, size;
    } areas[] = {{"the BIN", fl.load_addr, algo->blob.size},
                 {"the return trap", fl.static_base, 4},
                 {"the page buffer", buf, fl.page_size},
                 {"the stack", (uint64_t)fl.stack_top - kStackMin, kStackMin}};
    if (fl.stack_top < kStackMin) areas[3].at = 0;
    for (const Area& a : areas)
        if (a.at < ram || a.at + a.size > ram_end) {
            log_addf(&logv, "[ALGO] %s (0x%08X, %u B) lies outside RAM 0x%08X..0x%08X", a.name, (uint32_t)a.at,
                     (uint32_t)a.size, d.ram_base, (uint32_t)(ram_end - 1));
            return false;
        }
    for (size_t i = 0; i < 4; ++i)
        for (size_t j = i + 1; j < 4; ++j)
            if (overlap(areas[i].at, areas[i].size, areas[j].at, areas[j].size)) {
                log_addf(&logv, "[ALGO] %s (0x%08X, %u B) overlaps %s (0x%08X, %u B)", areas[i].name,
                         (uint32_t)areas[i].at, (uint32_t)areas[i].size, areas[j].name, (uint32_t)areas[j].at,
                         (uint32_t)areas[j].size);
                return false;
            }
    return true;
}

bool algo_load_blob(DapContext* dap, TargetAlgo* algo) {
    if (!dap || !algo || !algo_read_blob(algo) || !algo_blob_fits(algo)) return false;
    uint32_t d = 0;
    if (!dap_read_dhcsr(dap, &d) || !(d & DAP_DHCSR_S_HALT)) {
        log_addf(&logv, "[ALGO] BIN write PRE-CHECK: core not halted! DHCSR=0x%08X", d);
        return false;
    }
    if (!dap_write_mem_block(dap, algo->flash.load_addr, algo->blob.data, algo->blob.size)) {
        log_add_line(&logv, "[ALGO] Failed to write BIN to target RAM");
        return false;
    }
    // Every answer to the upload was read: nothing is left in flight to settle.
    if (!dap_read_dhcsr(dap, &d) || !(d & DAP_DHCSR_S_HALT)) {
        log_add_line(&logv, "[ALGO] BIN write sync: core not halted");
        return false;
    }
    return true;
}

bool algo_call(DapContext* dap, const AlgoFlash* fl, uint32_t pc, uint32_t r0, uint32_t r1, uint32_t r2,
               uint32_t timeout_ms) {
    if (!dap || !fl) return false;
    uint32_t d = 0;
    if (!dap_read_dhcsr(dap, &d) || d == 0) dap_read_dhcsr(dap, &d);
    if (d == 0) {
        log_addf(&logv, "[ALGO] algo_call: DHCSR read failed, DHCSR=0x%08X", d);
        return false;
    }
    if (!(d & DAP_DHCSR_S_HALT)) {
        log_addf(&logv, "[ALGO] algo_call: core NOT halted before call! DHCSR=0x%08X", d);
        dap_halt(dap);
        plat_sleep_ms(50);
        if (!dap_read_dhcsr(dap, &d) || !(d & DAP_DHCSR_S_HALT)) {
            log_add_line(&logv, "[ALGO] algo_call: halt failed, aborting");
            return false;
        }
        log_add_line(&logv, "[ALGO] algo_call: core halted via dap_halt");
    }
    if (!dap_write_mem32(dap, fl->static_base, kTrapWord)) {
        log_addf(&logv, "[ALGO] algo_call: cannot write the return trap at 0x%08X", fl->static_base);
        return false;
    }
    // One NXP part's windowed watchdog, worth a line when a call times out
    // there; elsewhere these addresses are other peripherals.
    if (g_mcu_info.valid && g_mcu_info.vendor == MCU_VENDOR_NXP) {
        uint32_t cc0 = 0, mod = 0, tc = 0, tv = 0;
        if (dap_read_mem32(dap, 0x40091040, &cc0) && dap_read_mem32(dap, 0x4000C000, &mod) &&
            dap_read_mem32(dap, 0x4000C004, &tc) && dap_read_mem32(dap, 0x4000C008, &tv))
            log_addf(&logv, "[ALGO] WWDT: MRCC_CC0=0x%08X MOD=0x%08X TC=0x%08X TV=0x%08X", cc0, mod, tc, tv);
    }
    // The FLM route's call: registers and resume in one exchange, LR and the
    // stop check on the trap, R9 the static base.
    FlmInfo call{};
    call.load_addr = fl->static_base;
    call.stack_top = fl->stack_top;
    call.static_base = fl->static_base;
    if (flm_call(dap, &call, pc & ~1u, r0, r1, r2, timeout_ms, false, false)) return true;
    log_addf(&logv, "[ALGO] algo_call: 0x%08X(0x%X, 0x%X, 0x%X) failed", pc & ~1u, r0, r1, r2);
    return false;
}

// --- the two routes ------------------------------------------------------------

bool target_algo_program(DapContext* dap, TargetAlgo* algo, const uint8_t* data, uint32_t len, uint32_t base_addr) {
    if (!dap || !algo || !data || !len) return false;
    if (!algo->flash.use_bin) return target_algo_program_native(dap, algo, data, len, base_addr);
    AlgoFlash& fl = algo->flash;
    const uint32_t base = base_addr ? base_addr : fl.flash_base;
    if (!inside_flash(fl, base, len)) return false;
    Plan plan;
    const bool by_unit = plan_units(fl, false, base, len, &plan);
    if (!by_unit && !fl.pc_erase_chip) {
        log_add_line(&logv, "[ALGO] No erase unit: the INI needs sector_size or sectors, or pc_erase_chip");
        return false;
    }
    struct BlobGone {
        TargetAlgo* a;
        ~BlobGone() { target_algo_free(a); }
    } gone{algo};
    // Everything that can refuse the job does so before the target changes.
    if (!algo_read_blob(algo) || !algo_blob_fits(algo) || !halt_core(dap) || !plan_keep(dap, fl, data, len, base, &plan))
        return false;
    if (!run_named(algo, dap, fl.pre_flash_seq, "pre_flash")) return false;
    settle_probe(dap);
    set_progress(2);
    log_add_line(&logv, "[ALGO] Loading flash algo BIN");
    if (!algo_load_blob(dap, algo)) return false;
    set_progress(5);
    if (fl.pc_pre_init) {
        log_add_line(&logv, "[ALGO] PreInit (EnableFlashRWX)");
        algo_call(dap, &fl, fl.pc_pre_init, 0, 0, 0, fl.erase_ms);
    }
    log_add_line(&logv, "[ALGO] Init(ERASE)");
    if (!algo_call(dap, &fl, fl.pc_init, plan.base, 0, 1, fl.erase_ms)) return false;
    set_progress(8);
    if (by_unit) {
        // Sector by sector even where a chip erase exists: the rest of the flash stays.
        log_add_line(&logv, "[ALGO] EraseSector (sector-by-sector)");
        const size_t n = plan.units.size();
        for (size_t i = 0; i < n; ++i) {
            if (!algo_call(dap, &fl, fl.pc_erase, plan.units[i].start, 0, 0, fl.erase_ms)) {
                log_addf(&logv, "[ALGO] EraseSector failed at 0x%08X", plan.units[i].start);
                return false;
            }
            set_progress(8 + (int)((i + 1) * 29 / n));
        }
    } else {
        log_add_line(&logv, "[ALGO] EraseChip");
        if (!algo_call(dap, &fl, fl.pc_erase_chip, 0, 0, 0, fl.erase_ms)) return false;
    }
    set_progress(37);
    log_add_line(&logv, "[ALGO] Uninit(ERASE)");
    algo_call(dap, &fl, fl.pc_uninit, 1, 0, 0, fl.erase_ms);
    log_add_line(&logv, "[ALGO] Init(PROGRAM)");
    if (!algo_call(dap, &fl, fl.pc_init, plan.base, 0, 2, fl.program_ms)) return false;
    set_progress(40);
    const uint32_t ps = fl.page_size, buf = fl.static_base + (fl.page_buf_offset ? fl.page_buf_offset : 4);
    const uint32_t pages = (plan.len + ps - 1) / ps;
    log_addf(&logv, "[ALGO] Programming: %u pages x %u B", pages, ps);
    std::vector<uint8_t> page(ps);
    bool ok = true;
    for (uint32_t i = 0; i < pages && ok; ++i) {
        const uint32_t off = i * ps, n = plan.len - off < ps ? plan.len - off : ps;
        if (stopped(dap)) {
            ok = false;
            break;
        }
        std::memset(page.data(), kErased, ps);
        std::memcpy(page.data(), plan.data + off, n);
        if (!dap_write_mem_block(dap, buf, page.data(), ps)) {
            log_add_line(&logv, "[ALGO] Failed to write page buffer to RAM");
            ok = false;
        } else if (!algo_call(dap, &fl, fl.pc_program, plan.base + off, ps, buf, fl.program_ms)) {
            log_addf(&logv, "[ALGO] ProgramPage failed at 0x%08X", plan.base + off);
            ok = false;
        } else {
            set_progress(40 + (int)((i + 1) * 55 / pages));
        }
    }
    algo_call(dap, &fl, fl.pc_uninit, 2, 0, 0, fl.program_ms);
    if (!ok || !verify(dap, plan.data, plan.len, plan.base)) return false;
    if (fl.post_flash_seq[0]) run_named(algo, dap, fl.post_flash_seq, "post_flash");
    set_progress(100);
    log_add_line(&logv, "[ALGO] Flash programming complete");
    return true;
}

bool target_algo_program_native(DapContext* dap, TargetAlgo* algo, const uint8_t* data, uint32_t len,
                                uint32_t base_addr) {
    if (!dap || !algo || !data || !len) return false;
    AlgoFlash& fl = algo->flash;
    const uint32_t base = base_addr ? base_addr : fl.flash_base;
    if (!inside_flash(fl, base, len)) return false;
    const bool half = fl.write_width == 16;
    const char* prog_name = half ? "FLASH_PROGRAM_HWORD" : "FLASH_PROGRAM_WORD";
    const Sequence* prog = target_algo_find_seq(algo, prog_name);
    const Sequence* erase_page = target_algo_find_seq(algo, "FLASH_ERASE_PAGE");
    const Sequence* erase_sector = target_algo_find_seq(algo, "FLASH_ERASE_SECTOR");
    // Nothing is erased that cannot be programmed again.
    if (!prog || (!erase_page && !erase_sector)) {
        log_addf(&logv, "[ALGO] Sequence not found: '%s'", !prog ? prog_name : "FLASH_ERASE_PAGE");
        return false;
    }
    Plan plan;
    if (!plan_units(fl, true, base, len, &plan)) {
        log_add_line(&logv, "[ALGO] No erase unit: the INI needs sector_size, sectors or page_size");
        return false;
    }
    if (!halt_core(dap) || !plan_keep(dap, fl, data, len, base, &plan)) return false;
    if (!run_named(algo, dap, fl.pre_flash_seq, "pre_flash")) return false;
    settle_probe(dap);
    set_progress(5);

    VarContext vars{};
    const size_t units = plan.units.size();
    for (size_t i = 0; i < units; ++i) {
        if (stopped(dap)) return false;
        const Unit& u = plan.units[i];
        algo_var_set(&vars, "$erase_addr", u.start);
        algo_var_set(&vars, "$sector_num", u.number);
        log_addf(&logv, "[ALGO] Erasing sector %u at 0x%08X", u.number, u.start);
        if (!(erase_page && target_seq_exec(algo, erase_page, dap, &vars)) &&
            !(erase_sector && target_seq_exec(algo, erase_sector, dap, &vars))) {
            log_addf(&logv, "[ALGO] Erase failed at sector %u (addr 0x%08X)", u.number, u.start);
            return false;
        }
        set_progress(5 + (int)((i + 1) * 35 / units));
    }
    set_progress(40);

    const uint32_t step = half ? 2 : 4, ps = fl.page_size ? fl.page_size : 256;
    const uint32_t pages = (plan.len + ps - 1) / ps;
    algo_var_set(&vars, "$write_addr", 0);
    algo_var_set(&vars, "$data", 0);
    CompiledWord cw;
    const bool compiled = compile_word(prog, &vars, &cw);
    std::vector<uint32_t> addrs(ps / step + 1), datas(ps / step + 1);
    for (uint32_t pg = 0; pg < pages; ++pg) {
        if (stopped(dap)) return false;
        const uint32_t off = pg * ps, end = plan.len - off < ps ? plan.len : off + ps;
        // One line per 16 pages: a megabyte in 256-byte pages would bury the log.
        if (pg % 16 == 0) log_addf(&logv, "[ALGO] Programming page %u at 0x%08X", pg, plan.base + off);
        int n = 0;
        for (uint32_t o = off; o < end; o += step) {
            uint32_t v = half ? 0xFFFFu : 0xFFFFFFFFu;
            std::memcpy(&v, plan.data + o, end - o < step ? end - o : step);  // past the image: erased
            addrs[n] = plan.base + o, datas[n++] = v;
        }
        uint32_t failed_at = plan.base + off;
        bool ok;
        if (compiled) {
            ok = program_compiled(dap, cw, addrs.data(), datas.data(), n, &failed_at);
        } else {
            ok = true;
            for (int w = 0; w < n && ok; ++w) {
                algo_var_set(&vars, "$write_addr", addrs[w]);
                algo_var_set(&vars, "$data", datas[w]);
                failed_at = addrs[w];
                ok = target_seq_exec(algo, prog, dap, &vars);
            }
        }
        if (!ok) {
            log_addf(&logv, "[ALGO] Program failed at 0x%08X", failed_at);
            return false;
        }
        set_progress(40 + (int)((pg + 1) * 55 / pages));
    }
    set_progress(95);
    if (!verify(dap, plan.data, plan.len, plan.base)) return false;
    if (fl.post_flash_seq[0]) run_named(algo, dap, fl.post_flash_seq, "post_flash");
    set_progress(100);
    log_add_line(&logv, "[ALGO] Native flash programming complete");
    return true;
}
