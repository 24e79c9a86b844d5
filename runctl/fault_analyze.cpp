#include "runctl/fault_analyze.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "probe/dap.h"
#include "probe/probe.h"
#include "symbols/elf_dwarf.h"
#include "platform/log_store.h"

HardFaultInfo g_hardfault = {};

namespace {

constexpr uint32_t kScbCfsr = 0xE000ED28, kScbHfsr = 0xE000ED2C, kScbMmfar = 0xE000ED34, kScbBfar = 0xE000ED38;
// CFSR, HFSR, DFSR, MMFAR and BFAR are consecutive words: one block read.
constexpr int kScbWords = 5;
constexpr uint8_t kRegXpsr = 16, kRegPsp = 18;
// R0-R15, xPSR and PSP in one batch of register reads.
constexpr uint8_t kAllRegs[18] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, kRegXpsr, kRegPsp};

bool probe_write_word(uint32_t addr, uint32_t val) { return dbg_write_word(addr, val); }

const FaultTarget kProbeTarget = {dbg_read_reg_list, dbg_read_mem, probe_write_word};
FaultTarget s_target = kProbeTarget;  // probe thread only
const ElfDwarf* s_elf = nullptr;

// Formats into a bounded line; longer results are cut.
__attribute__((format(printf, 3, 4))) void cut(char* out, size_t cap, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(out, cap, fmt, ap);
    va_end(ap);
}

uint32_t word_at(const uint8_t* b) { return (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24; }

// The fault status words, in one read when the link allows it.
struct Scb {
    uint32_t cfsr, hfsr, dfsr, mmfar, bfar;
    bool dfsr_ok;
};

Scb read_scb() {
    Scb s{};
    uint8_t b[4 * kScbWords];
    if (s_target.read_mem(kScbCfsr, b, sizeof b)) {
        s = Scb{word_at(b), word_at(b + 4), word_at(b + 8), word_at(b + 12), word_at(b + 16), true};
        return s;
    }
    // Word by word: a failed one stays 0.
    scb_read(kScbCfsr, &s.cfsr);
    scb_read(kScbHfsr, &s.hfsr);
    s.dfsr_ok = scb_read(DAP_DFSR, &s.dfsr);
    if (s.cfsr & (1u << 7)) scb_read(kScbMmfar, &s.mmfar);
    if (s.cfsr & (1u << 15)) scb_read(kScbBfar, &s.bfar);
    return s;
}

// A "[FAULT] " line goes to the log and, without its tag, onto the summary.
void fault_line(HardFaultInfo* r, const char* line) {
    log_add_line(&logv, line);
    hf_append(r, line + 8);
}

struct Bit {
    int bit;
    const char* text;
};

void append_bits(HardFaultInfo* r, uint32_t v, const Bit* bits, int n) {
    for (int i = 0; i < n; ++i)
        if (v & (1u << bits[i].bit)) hf_append(r, bits[i].text);
}

void analyze(const uint32_t regs[16], uint32_t xpsr, uint32_t psp, const Scb& scb, HardFaultInfo* r) {
    memset(r, 0, sizeof *r);
    uint32_t exc = xpsr & 0xFF;
    if (exc == 0) return;
    r->exception_nr = exc;
    r->stop_pc = regs[15] & ~1u;
    const char* name = exc >= 3 && exc <= 7 ? fault_exception_name(exc) : "Unknown exception";
    char l80[80], l128[128], l64[64], l256[256];
    cut(l80, sizeof l80, "[FAULT] Exception: %s (IPSR=%u)", name, exc);
    fault_line(r, l80);

    r->cfsr = scb.cfsr;
    r->hfsr = scb.hfsr;
    r->mmfar_valid = (scb.cfsr & (1u << 7)) != 0;
    r->bfar_valid = (scb.cfsr & (1u << 15)) != 0;
    if (r->mmfar_valid) r->mmfar = scb.mmfar;
    if (r->bfar_valid) r->bfar = scb.bfar;
    cut(l128, sizeof l128, "[FAULT] HFSR=0x%08X  CFSR=0x%08X", r->hfsr, r->cfsr);
    fault_line(r, l128);

    static const Bit hfsr_bits[] = {{1, "HFSR.VECTTBL: Vector table read fault"},
                                    {30, "HFSR.FORCED: Escalated to HardFault"},
                                    {31, "HFSR.DEBUGEVT: Debug event"}};
    append_bits(r, r->hfsr, hfsr_bits, 3);
    static const Bit mmfsr_bits[] = {{0, "MMFSR.IACCVIOL: MPU instruction access violation"},
                                     {1, "MMFSR.DACCVIOL: MPU data access violation"},
                                     {3, "MMFSR.MUNSTKERR"},
                                     {4, "MMFSR.MSTKERR"},
                                     {5, "MMFSR.MLSPERR"}};
    append_bits(r, r->cfsr, mmfsr_bits, 5);
    if (r->mmfar_valid) {
        cut(l64, sizeof l64, "MMFAR=0x%08X", r->mmfar);
        hf_append(r, l64);
    }
    // BFAR belongs with a precise error only: it follows that line.
    uint32_t bfsr = r->cfsr >> 8;
    if (bfsr & 1) hf_append(r, "BFSR.IBUSERR");
    if (bfsr & 2) {
        hf_append(r, "BFSR.PRECISERR");
        if (r->bfar_valid) {
            cut(l64, sizeof l64, "BFAR=0x%08X", r->bfar);
            hf_append(r, l64);
        }
    }
    static const Bit bfsr_bits[] = {
        {2, "BFSR.IMPRECISERR: faulting addr unknown"}, {3, "BFSR.UNSTKERR"}, {4, "BFSR.STKERR"}, {5, "BFSR.LSPERR"}};
    append_bits(r, bfsr, bfsr_bits, 4);
    static const Bit ufsr_bits[] = {{0, "UFSR.UNDEFINSTR"}, {1, "UFSR.INVSTATE"}, {2, "UFSR.INVPC"}, {3, "UFSR.NOCP"},
                                    {4, "UFSR.STKOF"},      {8, "UFSR.UNALIGNED"}, {9, "UFSR.DIVBYZERO"}};
    append_bits(r, r->cfsr >> 16, ufsr_bits, 7);

    // The basic frame starts at the stack pointer whether or not FP state follows it.
    uint32_t exc_return = regs[14];
    bool on_psp = (exc_return & (1u << 2)) != 0, extended = (exc_return & (1u << 4)) == 0;
    uint32_t base = on_psp ? psp : regs[13];
    cut(l80, sizeof l80, "[FAULT] EXC_RETURN=0x%08X  stack=%s%s  frame_base=0x%08X", exc_return,
             on_psp ? "PSP" : "MSP", extended ? "+FPU" : "", base);
    fault_line(r, l80);

    uint8_t f[32];
    if (!s_target.read_mem(base, f, sizeof f)) {
        hf_append(r, "WARNING: Could not read exception stack frame");
        log_add_line(&logv, "[FAULT] Cannot read exception frame \xE2\x80\x94 stack may be corrupted");
        r->valid = true;
        return;
    }
    r->frame_r0 = word_at(f);
    r->frame_r1 = word_at(f + 4);
    r->frame_r2 = word_at(f + 8);
    r->frame_r3 = word_at(f + 12);
    r->frame_r12 = word_at(f + 16);
    r->frame_lr = word_at(f + 20);
    r->frame_pc = word_at(f + 24) & ~1u;
    r->frame_xpsr = word_at(f + 28);
    r->frame_valid = true;
    cut(l128, sizeof l128, "[FAULT] Stacked PC=0x%08X  LR=0x%08X  xPSR=0x%08X", r->frame_pc, r->frame_lr,
             r->frame_xpsr);
    fault_line(r, l128);

    if (s_elf && r->frame_pc) {
        static ElfLocation loc;  // probe thread only
        // The lookup alone answers the nearest line below any address: a pc
        // outside every row (a wild one, code in RAM) has no source.
        ElfRow row;
        if (elf_dwarf_row_at(s_elf, r->frame_pc, &row) && elf_dwarf_lookup(s_elf, r->frame_pc, &loc) && loc.file[0] &&
            loc.line) {
            snprintf(r->fault_file, sizeof r->fault_file, "%s", loc.file);
            r->fault_line = loc.line;
            cut(l256, sizeof l256, "[FAULT] Source: %s : %u", loc.file, loc.line);
            fault_line(r, l256);
        } else {
            hf_append(r, "Source location: no DWARF info for faulting PC");
        }
    }
    if (!(r->frame_xpsr & (1u << 24))) {
        hf_append(r, "WARNING: Stacked xPSR.T=0 \xE2\x80\x94 frame may be corrupted");
        log_add_line(&logv, "[FAULT] Stacked xPSR.T=0");
    }
    if (!pc_is_plausible(r->frame_pc)) {
        hf_append(r, "WARNING: PC outside executable regions \xE2\x80\x94 stack overflow or frame corruption?");
        log_add_line(&logv, "[FAULT] PC outside executable regions");
    }
    if (bfsr & 4) hf_append(r, "NOTE: Imprecise bus fault \xE2\x80\x94 stacked PC may not be exact.");
    r->valid = true;
    log_add_line(&logv, "[FAULT] Analysis complete \xE2\x80\x94 see HardFault panel");
}

void publish(const HardFaultInfo& r) {
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    g_hardfault = r;
}

// One analysis from the registers already read: the record is built without
// the lock, so a slow link never holds up the window.
void analyze_and_publish(const uint32_t regs[16], uint32_t xpsr, uint32_t psp, const Scb& scb) {
    static HardFaultInfo r;  // probe thread only
    analyze(regs, xpsr, psp, scb, &r);
    publish(r);
}

bool starts_with(const char* s, const char* prefix) { return strncmp(s, prefix, strlen(prefix)) == 0; }

}  // namespace

const char* fault_exception_name(uint32_t n) {
    switch (n) {
    case 3: return "HardFault";
    case 4: return "MemManage";
    case 5: return "BusFault";
    case 6: return "UsageFault";
    case 7: return "SecureFault";
    default: return "Unknown";
    }
}

void fault_set_target(const FaultTarget* t) { s_target = t ? *t : kProbeTarget; }
void fault_set_image(const ElfDwarf* elf) { s_elf = elf; }

bool scb_read(uint32_t addr, uint32_t* out) {
    uint8_t b[4];
    if (!s_target.read_mem(addr, b, 4)) return false;
    *out = word_at(b);
    return true;
}

bool pc_is_plausible(uint32_t pc) {
    if (pc == 0 || (pc & 1)) return false;
    if (pc < 0x40000000) return true;  // code and SRAM
    if (pc < 0x60000000) return false;  // peripherals
    return pc < 0xA0000000;  // external RAM; devices and the system region never execute
}

void hf_append(HardFaultInfo* r, const char* line) {
    char* s = r->summary;
    const size_t cap = sizeof r->summary;
    size_t len = strnlen(s, cap - 1), rem = cap - len, at = len;
    if (rem <= 2) return;
    if (len) {
        s[len] = '\n';
        at = len + 1;
        rem = cap - 1 - len;
    }
    size_t n = strnlen(line, rem - 1);
    memcpy(s + at, line, n);
    s[at + n] = 0;
    s[cap - 1] = 0;
}

void hardfault_clear() {
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    g_hardfault.valid = false;
}

void hardfault_analyze(const uint32_t regs[16], HardFaultInfo* out) {
    static const uint8_t sel[2] = {kRegXpsr, kRegPsp};
    uint32_t v[2] = {};
    if (!s_target.read_regs(sel, 2, v)) v[0] = 0;  // no exception known: an empty record
    analyze(regs, v[0], v[1], read_scb(), out);
}

bool hardfault_check(const char* stop_reply, const uint32_t* regs_in) {
    static const char* const kOrdinary[] = {"BREAKPOINT", "STEP", "HALT", "POST_HALT", "RESET_HALT"};
    if (stop_reply)
        for (const char* o : kOrdinary)
            if (starts_with(stop_reply, o)) {
                hardfault_clear();
                return false;
            }
    uint32_t v[18] = {};
    bool ok = regs_in ? s_target.read_regs(kAllRegs + 16, 2, v + 16) : s_target.read_regs(kAllRegs, 18, v);
    if (!ok) log_add_line(&logv, "[FAULT] Core registers unreadable at the stop \xE2\x80\x94 no fault check");
    if (!ok || (v[16] & 0xFF) == 0) {
        hardfault_clear();
        return false;
    }
    if (regs_in) memcpy(v, regs_in, 16 * sizeof(uint32_t));
    analyze_and_publish(v, v[16], v[17], read_scb());
    return true;
}

void fault_on_stop() {
    uint32_t v[18] = {};
    if (!s_target.read_regs(kAllRegs, 18, v)) {
        log_add_line(&logv, "[FAULT] Core registers unreadable at the stop \xE2\x80\x94 no fault check");
        return;
    }
    Scb scb = read_scb();
    uint32_t exc = v[16] & 0xFF;
    bool in_fault_handler = exc >= 3 && exc <= 7;
    // Sticky: left set, the next stop would look like a catch too.
    if (scb.dfsr_ok && (scb.dfsr & DAP_DFSR_VCATCH)) {
        s_target.write_word(DAP_DFSR, DAP_DFSR_VCATCH);
        if (in_fault_handler) log_addf(&logv, "[FAULT] Vector catch: the core stopped on entering %s", fault_exception_name(exc));
    }
    // A breakpoint in an interrupt handler, or a pause anywhere else, is no fault.
    if (!in_fault_handler || (scb.cfsr | scb.hfsr) == 0) {
        hardfault_clear();
        return;
    }
    analyze_and_publish(v, v[16], v[17], scb);
}

void fault_on_resume() {
    bool valid;
    uint32_t exc;
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        valid = g_hardfault.valid;
        exc = g_hardfault.exception_nr;
    }
    if (valid)
        log_addf(&logv, "[FAULT] Continue from a fault stop: the core re-enters the %s handler (Reset runs the firmware again)",
                 exc >= 3 && exc <= 7 ? fault_exception_name(exc) : "exception");
}
