// Chip identification: CPUID, the ROM table's JEP106 code, the vendor's
// device-id register and the flash-size word, then the device record.
#include "target/mcu_id.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "probe/dap.h"
#include "probe/probe.h"
#include "symbols/svd.h"
#include "platform/log_store.h"
#include "target/algo_select.h"
#include "target/pdsc_db.h"
#include "target/pdsc_scan.h"

const CoreEntry s_cores[11] = {
    {0xC20, "Cortex-M0", false, false},   {0xC60, "Cortex-M0+", false, false}, {0xC21, "Cortex-M1", false, false},
    {0xC23, "Cortex-M3", false, false},   {0xC24, "Cortex-M4", true, false},   {0xC27, "Cortex-M7", true, false},
    {0xD20, "Cortex-M23", false, true},   {0xD21, "Cortex-M33", true, true},   {0xD31, "Cortex-M35P", true, true},
    {0xD22, "Cortex-M55", true, true},    {0xD23, "Cortex-M85", true, true},
};

const JepEntry s_jep[7] = {
    {0x020, MCU_VENDOR_ST, "ST"},           {0x4BB, MCU_VENDOR_NXP, "NXP"},
    {0x33B, MCU_VENDOR_UNKNOWN, "ARM"},     {0x444, MCU_VENDOR_NORDIC, "Nordic"},
    {0x0E2, MCU_VENDOR_RENESAS, "Renesas"}, {0x017, MCU_VENDOR_MICROCHIP, "Microchip"},
    {0x041, MCU_VENDOR_INFINEON, "Infineon"},
};

McuInfo g_mcu_info;
SetupMcuInfo g_setup_mcu;

SetupMcuInfo setup_mcu_snapshot() {
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    return g_setup_mcu;
}

namespace {

constexpr uint32_t kDhcsr = 0xE000EDF0, kCpuid = 0xE000ED00, kMvfr0 = 0xE000EF40, kSauCtrl = 0xE000EDD0;
constexpr uint32_t kPidr4 = 0xE00FFFD0, kPidr2 = 0xE00FFFE8, kPidr1 = 0xE00FFFE4, kPidr0 = 0xE00FFFE0;
constexpr uint32_t kDhcsrSHalt = 1u << 17;

const uint32_t s_mcx_devid_addrs[6] = {0x40091FF8, 0x40000FF8, 0x4009CFF8, 0x40001FF8, 0x400913FC, 0x40091FFC};

const uint16_t s_st_jep[1] = {0x20};
const McuDb s_mcu_dbs[1] = {{MCU_VENDOR_ST, "ST", s_st_jep, 1, stm32_lookup}};

const SvdDevice* s_svd;

const JepEntry* jep_find(uint16_t code) {
    for (const JepEntry& e : s_jep)
        if (e.jep == code) return &e;
    return nullptr;
}

// Step 5: vendor from the ROM table. ADIv5 puts the 7-bit JEP106 identity in
// PIDR1[7:4] and PIDR2[2:0], with PIDR2 bit 3 the "JEDEC code used" flag.
// The vendor table carries codes of both shapes: ST's as the plain identity
// (0x020), NXP's as seen with the flag bit folded in (0x4BB); every real
// table has the flag set, so both shapes are looked up. Returns the static
// text of the name, or null when it had to be formatted into `info`.
const char* read_vendor(DapContext* dap, McuInfo* info) {
    uint32_t p4 = 0, p2 = 0, p1 = 0, p0 = 0;
    if (!dap_read_mem32(dap, kPidr4, &p4) || !dap_read_mem32(dap, kPidr2, &p2) || !dap_read_mem32(dap, kPidr1, &p1) ||
        !dap_read_mem32(dap, kPidr0, &p0)) {
        std::snprintf(info->vendor_name, sizeof info->vendor_name, "Unknown");
        return "Unknown";
    }
    const uint16_t cont = static_cast<uint16_t>((p4 & 0xF) << 8);
    const uint16_t with_flag = static_cast<uint16_t>(cont | (((p2 << 4) | ((p1 >> 4) & 0xF)) & 0xFF));
    const uint16_t jep106 = static_cast<uint16_t>(cont | ((p2 & 0x7) << 4) | ((p1 >> 4) & 0xF));
    const JepEntry* e = jep_find(with_flag);
    if (!e) e = jep_find(jep106);
    if (e) {
        info->vendor = e->vendor;
        std::snprintf(info->vendor_name, sizeof info->vendor_name, "%s", e->name);
        return e->name;
    }
    info->vendor = MCU_VENDOR_UNKNOWN;
    std::snprintf(info->vendor_name, sizeof info->vendor_name, "JEP=0x%04X", jep106);
    return nullptr;
}

uint32_t stm32_read_device_id(DapContext* dap, uint16_t partno) {
    uint32_t addrs[2] = {};
    int n = 0;
    switch (partno) {
    case 0xC20:
    case 0xC60: addrs[n++] = 0x40015800; break;
    case 0xC23:
    case 0xC24: addrs[n++] = 0xE0042000; break;
    case 0xC27: addrs[n++] = 0x5C001000; addrs[n++] = 0xE0042000; break;
    case 0xD21: addrs[n++] = 0xE0044000; addrs[n++] = 0x44024000; break;
    default: break;
    }
    for (int i = 0; i < n; ++i) {
        uint32_t v = 0;
        if (dap_read_mem32(dap, addrs[i], &v) && (v & 0xFFF)) return v & 0xFFF;
    }
    return 0;
}

bool usable_id(uint32_t v) { return v != 0 && v != 0xFFFFFFFF; }

const SvdRegister* svd_device_id_reg(const SvdDevice* svd) {
    if (!svd) return nullptr;
    const int np = svd_peripheral_count(svd);
    for (int i = 0; i < np; ++i) {
        const SvdPeripheral* p = svd_get_peripheral(svd, i);
        if (!p || std::strncmp(p->name, "SYSCON", 6) != 0) continue;
        const int nr = svd_register_count(p);
        for (int j = 0; j < nr; ++j) {
            const SvdRegister* r = svd_get_register(p, j);
            if (r && std::strncmp(r->name, "DEVICE_ID", 9) == 0) return r;
        }
        return nullptr;  // only the first SYSCON peripheral counts
    }
    return nullptr;
}

uint32_t nxp_read_raw_device_id(DapContext* dap, const SvdDevice* svd) {
    if (const SvdRegister* r = svd_device_id_reg(svd)) {
        log_addf(&logv, "[MCU ID] SVD DEVICE_ID addr=0x%08X", r->address);
        uint32_t v = 0;
        if (dap_read_mem32(dap, r->address, &v) && usable_id(v)) {
            log_addf(&logv, "[MCU ID] DEVICE_ID=0x%08X", v);
            return v;
        }
    }
    for (uint32_t a : s_mcx_devid_addrs) {
        uint32_t v = 0;
        if (!dap_read_mem32(dap, a, &v)) continue;
        log_addf(&logv, "[MCU ID] DEVID@0x%08X=0x%08X", a, v);
        if (usable_id(v)) return v;
    }
    log_add_line(&logv, "[MCU ID] MCX DEVICE_ID: not found");
    return 0;
}

const char* mcx_name(uint32_t raw) {
    if (((raw >> 24) & 0xF) != 0xA) return nullptr;
    switch (raw & 0xFF) {
    case 0x08: return "MCXA152";
    case 0x14: return "MCXA154";
    case 0x18: return "MCXA156";
    case 0x28: return "MCXA153";
    case 0x48: return "MCXA345";
    case 0x68: return "MCXA346";
    default: return nullptr;
    }
}

bool db_lookup(DapContext* dap, const McuInfo* info, uint32_t device_id, McuRecord* rec) {
    for (const McuDb& db : s_mcu_dbs) {
        if (!db.lookup) continue;
        if (db.jep_count > 0 && db.vendor != info->vendor) continue;
        if (db.lookup(dap, info->partno, device_id, rec)) return true;
    }
    return false;
}

// Without the pack database the MCX record comes from what the name implies.
void mcx_fallback(McuRecord* rec, const char* name, uint32_t raw) {
    rec->vendor = MCU_VENDOR_NXP;
    rec->vendor_name = "NXP";
    rec->family_name = "MCX A";
    rec->device_name = name;
    rec->device_id = raw;
    rec->flash_base = 0;
    rec->flash_erase_val = 0xFF;
    switch (raw & 0xFF) {
    case 0x08: rec->flash_algo = "MCXA_128.FLM"; rec->ram_size = 32 * 1024; break;
    case 0x28: rec->flash_algo = "MCXA_256.FLM"; rec->ram_size = 64 * 1024; break;
    case 0x48: rec->flash_algo = "MCXA_512.FLM"; rec->ram_size = 128 * 1024; break;
    case 0x68: rec->flash_algo = "MCXA_1024.FLM"; rec->ram_size = 128 * 1024; break;
    default: break;
    }
}

// What the device's pack says, for the log.
void log_pack(const PdscDevice& d) {
    auto yn = [](bool b) { return b ? "yes" : "no"; };
    log_add_line(&logv, "[PDSC] === Device info from PDSC ===");
    log_addf(&logv, "[PDSC] Debug: %s  clock=%u kHz  SWJ=%s  DefaultReset=%s", d.dbg_cfg.default_proto,
             d.dbg_cfg.clock_hz / 1000, yn(d.dbg_cfg.swj), d.dbg_cfg.default_reset[0] ? d.dbg_cfg.default_reset : "-");
    log_addf(&logv, "[PDSC] Core: %s  %u MHz  FPU=%s  TZ=%s  DSP=%s", d.processor.core, d.processor.clock_hz / 1000000,
             yn(d.processor.has_fpu), yn(d.processor.has_tz), yn(d.processor.has_dsp));
    for (int i = 0; i < d.memory_count; ++i) {
        const PdscMemory& m = d.memories[i];
        log_addf(&logv, "[PDSC] Memory: %-20s  0x%08X  %4u KB  %s%s%s%s%s", m.name, m.start, m.size >> 10,
                 m.access_r ? "r" : "", m.access_w ? "w" : "", m.access_x ? "x" : "", m.is_default ? " default" : "",
                 m.startup ? " startup" : "");
    }
    if (d.has_flash_algo)
        log_addf(&logv, "[PDSC] FlashAlgo: %s  start=0x%08X  size=0x%X  RAMstart=0x%08X  RAMsize=0x%X", d.flash_algo.name,
                 d.flash_algo.start, d.flash_algo.size, d.flash_algo.ram_start, d.flash_algo.ram_size);
    if (d.debug_var_count > 0) {
        log_addf(&logv, "[PDSC] DebugVars (%d):", d.debug_var_count);
        for (int i = 0; i < d.debug_var_count; ++i)
            log_addf(&logv, "[PDSC]   %-20s = 0x%llX", d.debug_vars[i].name, (unsigned long long)d.debug_vars[i].value);
    }
    log_addf(&logv, "[PDSC] Sequences (%d):", d.sequence_count);
    for (int i = 0; i < d.sequence_count; ++i)
        log_addf(&logv, "[PDSC]   %-30s  %s  nodes=%d", d.sequences[i].name, d.sequences[i].disabled ? "(disabled)" : "(active) ",
                 d.sequences[i].pool_used);
    log_add_line(&logv, "[PDSC] ================================");
}

PdscDevice s_nxp_pdsc_dev;  // probe thread only
PdscDevice s_st_pdsc_dev;   // probe thread only

// An ST part's pack device: ST's table names a group of parts, the pack its
// ordering codes; the one with the chip's flash size is taken, as flashing does.
const PdscDevice* st_pack(const McuInfo* info) {
    const char* packs = pdsc_db_packs_dir();
    const McuRecord& r = info->mcu;
    char dir[512], dname[64], path[512];
    if (!r.device_name || !info->flash_kb || !pdsc_db_packs_folder(dir, sizeof dir)) return nullptr;
    if (!pdsc_scan_variant(dir, r.device_name, r.flash_base, info->flash_kb * 1024u, dname, sizeof dname, path,
                           sizeof path)) {
        log_addf(&logv, "[MCU ID] ST: no pack in %s lists %s", packs, r.device_name);
        return nullptr;
    }
    if (!pdsc_xml_load(path, dname, &s_st_pdsc_dev)) {
        log_addf(&logv, "[MCU ID] ST: pack device %s (%s) unreadable: %s", dname, s_st_pdsc_dev.pdsc_filename,
                 s_st_pdsc_dev.parse_error);
        return nullptr;
    }
    log_addf(&logv, "[MCU ID] ST: pack device %s (%s)", dname, s_st_pdsc_dev.pdsc_filename);
    return &s_st_pdsc_dev;
}

}  // namespace

const PdscDevice* g_nxp_pdsc_device = nullptr;
const PdscDevice* g_pack_device = nullptr;

void mcu_record_init(McuRecord* rec) {
    if (!rec) return;
    *rec = McuRecord{};
    rec->vendor = MCU_VENDOR_UNKNOWN;
    rec->vendor_name = "Unknown";
    rec->flash_size_mask = 0xFFFF;
    rec->flash_base = 0x08000000;
    rec->flash_erase_val = 0xFF;
    rec->reset_vec_base = 0x08000000;
}

bool mcu_id_read(DapContext* dap, const SvdDevice* svd, McuInfo* info) {
    if (!dap || !info) return false;
    *info = McuInfo{};

    uint32_t dhcsr = 0;
    if (!dap_read_mem32(dap, kDhcsr, &dhcsr)) dhcsr = 0;
    info->was_halted = (dhcsr & kDhcsrSHalt) != 0;

    uint32_t cpuid = 0;
    if (!dap_read_mem32(dap, kCpuid, &cpuid)) {
        std::snprintf(info->error, sizeof info->error, "CPUID read failed");
        return false;
    }
    info->cpuid_raw = cpuid;
    info->implementer = static_cast<uint8_t>(cpuid >> 24);
    info->variant = static_cast<uint8_t>((cpuid >> 20) & 0xF);
    info->arch = static_cast<uint8_t>((cpuid >> 16) & 0xF);
    info->partno = static_cast<uint16_t>((cpuid >> 4) & 0xFFF);
    info->revision = static_cast<uint8_t>(cpuid & 0xF);

    const CoreEntry* core = nullptr;
    for (const CoreEntry& c : s_cores)
        if (c.partno == info->partno) {
            core = &c;
            break;
        }
    if (core) {
        std::snprintf(info->core_name, sizeof info->core_name, "%s", core->name);
        uint32_t v = 0;
        if (core->has_fpu_option) info->has_fpu = dap_read_mem32(dap, kMvfr0, &v) && v != 0;
        if (core->has_tz_option) info->has_tz = dap_read_mem32(dap, kSauCtrl, &v) && v != 0xFFFFFFFF;
    } else {
        std::snprintf(info->core_name, sizeof info->core_name, "Unknown(0x%03X)", info->partno);
    }

    const char* vendor_text = read_vendor(dap, info);

    uint32_t device_id = 0;
    if (info->vendor == MCU_VENDOR_ST) device_id = stm32_read_device_id(dap, info->partno);
    else if (info->vendor == MCU_VENDOR_NXP) device_id = nxp_read_raw_device_id(dap, svd);

    mcu_record_init(&info->mcu);
    bool found = db_lookup(dap, info, device_id, &info->mcu);
    if (!found && info->vendor == MCU_VENDOR_NXP && device_id != 0) {
        const char* name = mcx_name(device_id);
        log_addf(&logv, "[MCU ID] NXP raw=0x%08X \u2192 %s", device_id, name ? name : "unknown");
        if (name) {
            g_nxp_pdsc_device = nullptr;
            if (pdsc_db_lookup(name, &info->mcu, &s_nxp_pdsc_dev)) {
                g_nxp_pdsc_device = &s_nxp_pdsc_dev;
                log_add_line(&logv, "[MCU ID] NXP: PDSC lookup OK");
            } else {
                log_add_line(&logv, "[MCU ID] NXP: PDSC not found, using fallback");
                mcx_fallback(&info->mcu, name, device_id);
            }
            found = true;
        }
    }
    if (!found) {
        info->mcu.vendor = info->vendor;
        // The static text where there is one, so a copy of the info does not
        // point back into the original; only an unlisted code must.
        info->mcu.vendor_name = vendor_text ? vendor_text : info->vendor_name;
    }
    info->mcu.device_id = device_id;
    target_algo_select(info, device_id);
    const PdscDevice* pack = info->vendor == MCU_VENDOR_NXP ? g_nxp_pdsc_device : nullptr;
    g_pack_device = pack;
    if (pack && pack->processor.core[0]) info->has_tz = pack->processor.has_tz;

    if (info->mcu.flash_size_reg) {
        uint32_t w = 0;
        if (dap_read_mem32(dap, info->mcu.flash_size_reg, &w))
            info->flash_kb = (w >> info->mcu.flash_size_shift) & info->mcu.flash_size_mask;
    } else if (pack) {
        uint32_t bytes = 0;
        for (int i = 0; i < pack->memory_count; ++i)
            if (pack->memories[i].startup && pack->memories[i].access_r && pack->memories[i].access_x) bytes += pack->memories[i].size;
        info->flash_kb = bytes >> 10;
    }
    // The pack adds sequences and memories to the log; the table's record stays.
    if (info->mcu.vendor == MCU_VENDOR_ST && (pack = st_pack(info))) g_pack_device = pack;
    if (pack && !g_target_algo_valid) log_pack(*pack);
    info->valid = true;
    return true;
}

void mcu_id_summary(const McuInfo* info, char* buf, int len) {
    if (!info || !buf || len < 1) return;
    const size_t n = static_cast<size_t>(len);
    if (!info->valid) {
        std::snprintf(buf, n, "[MCU ID] Error: %s", info->error);
        return;
    }
    const char* tag = info->has_fpu && info->has_tz ? "[FPU TZ]" : info->has_fpu ? "[FPU]" : info->has_tz ? "[TZ]" : "";
    const McuRecord& m = info->mcu;
    std::snprintf(buf, n,
                  "%s r%dp%d  %s  %s  CPUID:0x%08X  DevID:0x%08X  Flash:%uKB  RAM:%uKB  Family:%s  Device:%s  Algo:%s",
                  info->core_name, info->variant, info->revision, info->vendor_name, tag, info->cpuid_raw, m.device_id,
                  info->flash_kb, m.ram_size >> 10, m.family_name ? m.family_name : "Unknown",
                  m.device_name ? m.device_name : "?",
                  g_target_algo_valid ? g_target_algo.device.name : m.flash_algo ? m.flash_algo : "-");
}

namespace {

bool hook_identified() { return g_mcu_info.valid; }

void hook_identify(DapContext* dap) {
    mcu_id_read(dap, s_svd, &g_mcu_info);
    if (g_mcu_info.valid) {
        char line[192];
        mcu_id_summary(&g_mcu_info, line, sizeof line);
        // The log's area prefix; the summary itself is the chip's one line.
        log_addf(&logv, "[MCU ID] %s", line);
    } else {
        log_addf(&logv, "[MCU ID] %s", g_mcu_info.error);
    }
    const McuRecord& m = g_mcu_info.mcu;
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    g_setup_mcu = SetupMcuInfo{};
    g_setup_mcu.valid = g_mcu_info.valid;
    if (g_mcu_info.valid) {
        const char* name = m.device_name ? m.device_name : m.family_name ? m.family_name : "?";
        std::snprintf(g_setup_mcu.device, sizeof g_setup_mcu.device, "%s", name);
        g_setup_mcu.flash_kb = g_mcu_info.flash_kb;
        g_setup_mcu.has_flash_algo = (m.device_name && m.flash_algo) || g_target_algo_valid;
    }
}

void hook_forget() {
    g_mcu_info = McuInfo{};
    g_pack_device = nullptr;
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    g_setup_mcu = SetupMcuInfo{};
}

const ProbeIdentify s_identify_hooks = {hook_identified, hook_identify, hook_forget};

// A target INI's "ResetSystem" stands in for the pack's reset.
const Sequence* ini_reset_seq() {
    return g_target_algo_valid ? target_algo_find_seq(&g_target_algo, "ResetSystem") : nullptr;
}

// The connected chip's pack sequences, for the probe thread's connect, reset and detach.
bool hook_run_sequence(DapContext* dap, const char* name, bool* ok) {
    if (!std::strcmp(name, "ResetSystem") && ini_reset_seq()) {
        *ok = target_seq_run(&g_target_algo, name, dap);
        return true;
    }
    const PdscDevice* d = g_pack_device;
    const PdscSequence* s = d ? pdsc_find_sequence(d, name) : nullptr;
    if (!s) return false;
    *ok = true;
    if (s->disabled) return true;  // the pack asks for nothing to be done here
    static SeqContext ctx;  // probe thread only
    pdsc_seq_ctx_init(&ctx, dap, d);
    ctx.hold_halt = !std::strcmp(name, "DebugDeviceUnlock") || !std::strcmp(name, "DebugCoreStart");
    *ok = pdsc_seq_run(&ctx, name);
    const char* why = pdsc_seq_error(&ctx);
    if (*ok) log_addf(&logv, "[PDSC] Sequence %s: done", name);
    else log_addf(&logv, "[PDSC] Sequence %s failed: %s", name, why ? why : "?");
    return true;
}

const char* hook_reset_name() {
    if (ini_reset_seq()) return "ResetSystem";
    const PdscDevice* d = g_pack_device;
    if (!d) return nullptr;
    const PdscSequence* s = pdsc_find_sequence(d, d->dbg_cfg.default_reset[0] ? d->dbg_cfg.default_reset : "ResetSystem");
    return s && !s->disabled ? s->name : nullptr;
}

const char* hook_reset_owner() { return ini_reset_seq() ? "target INI" : "pack"; }

const ProbeSequences s_sequence_hooks = {hook_run_sequence, hook_reset_name, hook_reset_owner};

}  // namespace

void mcu_id_set_svd(const SvdDevice* svd) { s_svd = svd; }

void mcu_id_install() {
    probe_set_identify(&s_identify_hooks);
    probe_set_sequences(&s_sequence_hooks);
}
