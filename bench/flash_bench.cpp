// Programming 256 KB into the simulated STM32F4 with ST's real flash
// algorithm over each probe kind, then each generation's board through its
// own flash controller: exchanges, bytes on the wire, modelled time and
// speed, next to the limit that the link, SWD and the flash's own erase and
// program times set. Figures come from the simulator's counters.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "flash/flm.h"
#include "flash/stm32_flash.h"
#include "flash/target_algo_flash.h"
#include "sim/board.h"
#include "sim/board_profile.h"
#include "target/mcu_id.h"
#include "platform/clock.h"
#include "platform/usb.h"
#include "probe/dap.h"
#include "sim/flash_f4.h"
#include "sim/sim_system.h"
#include "sim/sim_usb_host.h"
#include "bench/bench_rig.h"

namespace {

const std::string kData = KORVANE_SHARED_DATA;
constexpr uint32_t kLen = 256 * 1024;

bool copy_file(const std::string& from, const std::string& to) {
    FILE* in = std::fopen(from.c_str(), "rb");
    FILE* out = in ? std::fopen(to.c_str(), "wb") : nullptr;
    bool ok = in && out;
    char buf[65536];
    size_t n;
    while (ok && (n = std::fread(buf, 1, sizeof buf, in)) > 0) ok = std::fwrite(buf, 1, n, out) == n;
    if (in) std::fclose(in);
    if (out) std::fclose(out);
    return ok;
}

const char* name(SimUsbKind k) { return k == SimUsbKind::V1Hid ? "v1 HID (64 B, 1 ms frames)" : "v2 bulk 512 B (HS)"; }

// The least the job can take. The flash: erase of sectors 0-5 and one
// program access per word (PSIZE x32, as ST's algorithm uses). The link and
// SWD: the image once down (and once up for the read-back), by the shared
// link model. Uploads can overlap the programming, so the programming phase
// costs whichever is longer.
void limit(SimUsbKind kind, double* no_verify_ms, double* with_verify_ms) {
    const SimFlashF4Timing t = sim_flashf4_timing_typical();
    // ST's EraseSector sets CR = SER with PSIZE x8; ProgramPage uses x32.
    const double erase_ms = (4.0 * (double)t.erase_16k_ns[0] + (double)t.erase_64k_ns[0] + (double)t.erase_128k_ns[0]) / 1e6;
    const double program_ms = (kLen / 4.0) * (double)t.program_ns / 1e6;
    const LinkLimit down = bench_link_limit(kind, kLen, true), up = bench_link_limit(kind, kLen, false);
    *no_verify_ms = erase_ms + (program_ms > down.ms ? program_ms : down.ms);
    *with_verify_ms = *no_verify_ms + up.ms;
    std::printf("  limit: erase %.0f ms, program %.0f ms, link %.0f ms (%.0f packets) down and %.0f ms up, SWD %.0f ms a pass\n",
                erase_ms, program_ms, down.link_ms, down.packets, up.link_ms, down.swd_ms);
}

bool run(SimUsbKind kind, const std::string& packs) {
    SimSystemConfig cfg;
    sim_system_default_config(&cfg);
    cfg.usb_kind = kind;
    std::string elf = std::string(KORVANE_DEMO_FW_DIR) + "/demo_O2_dwarf4.elf";
    cfg.firmware_elf = elf.c_str();
    BenchRig rig(cfg);
    if (!rig.sys) return false;
    DapContext* c = rig.connect(kind);
    SimSystem* sys = rig.sys;
    bool ok = c != nullptr;
    std::vector<uint8_t> img(kLen);
    for (uint32_t i = 0; i < kLen; ++i) img[i] = (uint8_t)(i * 13 + (i >> 9));
    std::printf("%s:\n", name(kind));
    if (ok) {
        SimProbe* p = sim_system_probe(sys);
        SimBoard* b = sim_system_board(sys);
        sim_probe_reset_counters(p);
        const uint64_t t0 = sim_board_now_ns(b);
        ok = flm_program_device(c, packs.c_str(), "STM32F405RG", img.data(), kLen, 0);
        const double ms = (double)(sim_board_now_ns(b) - t0) / 1e6;
        const SimProbeCounters k = sim_probe_counters(p);
        const double kb = kLen / 1024.0;
        std::printf("  %s  exchanges %llu (%.1f per KB)  out %llu B  in %llu B  SWD %.0f ms  link %.0f ms\n",
                    ok ? "ok" : "FAILED", (unsigned long long)k.exchanges, (double)k.exchanges / kb,
                    (unsigned long long)k.bytes_out, (unsigned long long)k.bytes_in, (double)k.swd_ns / 1e6,
                    (double)k.link_ns / 1e6);
        double lim, lim_v;
        limit(kind, &lim, &lim_v);
        std::printf("  modelled time %.0f ms = %.1f KB/s; limit %.0f ms = %.1f KB/s without read-back (%.0f%%), "
                    "%.0f ms = %.1f KB/s with it (%.0f%%)\n",
                    ms, kb / (ms / 1000.0), lim, kb / (lim / 1000.0), 100.0 * lim / ms, lim_v, kb / (lim_v / 1000.0),
                    100.0 * lim_v / ms);
    } else {
        std::printf("  CONNECT FAILED\n");
    }
    return ok;
}

// The native route on one generation's board: the image (256 KB, or the
// whole flash when smaller) erased, programmed and read back.
bool run_native(const char* label, SimFlashKind board, SimUsbKind kind) {
    SimSystemConfig cfg;
    sim_system_default_config(&cfg);
    cfg.usb_kind = kind;
    if (!sim_board_profile_for(board, &cfg.board)) return false;
    BenchRig rig(cfg);
    if (!rig.sys) return false;
    DapContext* c = rig.connect(kind);
    SimSystem* sys = rig.sys;
    McuInfo info{};
    bool ok = c && mcu_id_read(c, nullptr, &info) && info.valid;
    const uint32_t len = cfg.board.flash.size < kLen ? cfg.board.flash.size : kLen;
    std::vector<uint8_t> img(len);
    for (uint32_t i = 0; i < len; ++i) img[i] = (uint8_t)(i * 13 + (i >> 9));
    if (ok) {
        SimProbe* p = sim_system_probe(sys);
        SimBoard* b = sim_system_board(sys);
        sim_probe_reset_counters(p);
        const uint64_t t0 = sim_board_now_ns(b), busy0 = sim_board_flash_busy_ns(b);
        ok = stm32_flash_program(c, &info.mcu, img.data(), len, 0);
        const double ms = (double)(sim_board_now_ns(b) - t0) / 1e6;
        const double flash_ms = (double)(sim_board_flash_busy_ns(b) - busy0) / 1e6;
        const SimProbeCounters k = sim_probe_counters(p);
        const double kb = len / 1024.0;
        // Programming can overlap the download; the read-back comes after it.
        const LinkLimit down = bench_link_limit(kind, len, true), up = bench_link_limit(kind, len, false);
        const double link_ms = down.link_ms, swd_ms = down.swd_ms;
        const double lim = (flash_ms > down.ms ? flash_ms : down.ms) + up.ms;
        std::printf("  %-4s %-18s %s  %3.0f KB  exchanges %6llu (%5.1f per KB)  time %7.0f ms = %6.1f KB/s  "
                    "flash %6.0f ms, link %4.0f ms, SWD %4.0f ms a pass: limit %6.0f ms (%3.0f%%)\n",
                    label, kind == SimUsbKind::V1Hid ? "v1 HID" : "v2 bulk", ok ? "ok" : "FAILED", kb,
                    (unsigned long long)k.exchanges, (double)k.exchanges / kb, ms, kb / (ms / 1000.0), flash_ms, link_ms,
                    swd_ms, lim, 100.0 * lim / ms);
    } else {
        std::printf("  %-4s CONNECT FAILED\n", label);
    }
    return ok;
}

// A target INI's route (its blob or its scripted steps), or our own FLM
// through the demo pack, on the F4 board: the same 256 KB, the same figures.
bool run_ini(const char* label, const char* ini, SimUsbKind kind) {
    SimSystemConfig cfg;
    sim_system_default_config(&cfg);
    cfg.usb_kind = kind;
    BenchRig rig(cfg);
    if (!rig.sys) return false;
    DapContext* c = rig.connect(kind);
    std::vector<uint8_t> img(kLen);
    for (uint32_t i = 0; i < kLen; ++i) img[i] = (uint8_t)(i * 13 + (i >> 9));
    auto algo = std::make_unique<TargetAlgo>();
    bool ok = c && (!ini || target_algo_load((std::string(KORVANE_TARGETS_DIR "/") + ini).c_str(), algo.get()));
    if (!ok) return std::printf("  %-9s CONNECT OR LOAD FAILED\n", label), false;
    SimProbe* p = sim_system_probe(rig.sys);
    SimBoard* b = sim_system_board(rig.sys);
    sim_probe_reset_counters(p);
    const uint64_t t0 = sim_board_now_ns(b), busy0 = sim_board_flash_busy_ns(b);
    ok = ini ? target_algo_program(c, algo.get(), img.data(), kLen, 0)
             : flm_program_device(c, KORVANE_DEMO_PACK_DIR, "STM32F405RG", img.data(), kLen, 0x08000000);
    target_algo_free(algo.get());
    const double ms = (double)(sim_board_now_ns(b) - t0) / 1e6, flash_ms = (double)(sim_board_flash_busy_ns(b) - busy0) / 1e6;
    const SimProbeCounters k = sim_probe_counters(p);
    const double kb = kLen / 1024.0;
    std::printf("  %-9s %-8s %s  exchanges %6llu (%5.1f per KB)  out %8llu B  time %6.0f ms = %5.1f KB/s  flash busy %5.0f ms\n",
                label, kind == SimUsbKind::V1Hid ? "v1 HID" : "v2 bulk", ok ? "ok" : "FAILED", (unsigned long long)k.exchanges,
                (double)k.exchanges / kb, (unsigned long long)k.bytes_out, ms, kb / (ms / 1000.0), flash_ms);
    return ok;
}

}  // namespace

int main() {
    const std::string flm = kData + "/flm/STM32F4xx_1024.FLM", pdsc = kData + "/pdsc/Keil.STM32F4xx_DFP.pdsc";
    char tmpl[] = "/tmp/flash_bench_XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    mkdir((dir + "/CMSIS").c_str(), 0755);
    mkdir((dir + "/CMSIS/Flash").c_str(), 0755);
    if (!copy_file(pdsc, dir + "/p.pdsc") || !copy_file(flm, dir + "/CMSIS/Flash/STM32F4xx_1024.FLM")) {
        std::printf("shared data absent (%s): nothing measured\n", kData.c_str());
        return 0;
    }
    std::printf("Programming %u KB with ST's STM32F4xx_1024.FLM (erase, program, read back)\n", kLen / 1024);
    bool ok = run(SimUsbKind::V1Hid, dir) & run(SimUsbKind::V2Bulk512, dir);
    std::printf("Through each chip's own flash controller (erase, program, read back):\n");
    ok &= run_native("F4", SimFlashKind::stm32f4, SimUsbKind::V1Hid);
    const struct { const char* label; SimFlashKind kind; } boards[] = {
        {"F4", SimFlashKind::stm32f4}, {"F4 2M", SimFlashKind::stm32f4_2m}, {"F0", SimFlashKind::stm32f0},
        {"G0", SimFlashKind::stm32g0}, {"G4", SimFlashKind::stm32g4}, {"L4", SimFlashKind::stm32l4},
        {"L0", SimFlashKind::stm32l0}, {"U5", SimFlashKind::stm32u5}, {"H7", SimFlashKind::stm32h7},
    };
    for (const auto& b : boards) ok &= run_native(b.label, b.kind, SimUsbKind::V2Bulk512);
    std::printf("Through a target INI on the F4 board, next to our own FLM (erase, program, read back):\n");
    for (SimUsbKind k : {SimUsbKind::V2Bulk512, SimUsbKind::V1Hid}) {
        ok &= run_ini("our FLM", nullptr, k);
        ok &= run_ini("INI blob", "stm32f4_blob.ini", k);
        ok &= run_ini("INI steps", "stm32f4_scripted.ini", k);
    }
    unlink((dir + "/CMSIS/Flash/STM32F4xx_1024.FLM").c_str());
    unlink((dir + "/p.pdsc").c_str());
    rmdir((dir + "/CMSIS/Flash").c_str());
    rmdir((dir + "/CMSIS").c_str());
    rmdir(dir.c_str());
    return ok ? 0 : 1;
}
