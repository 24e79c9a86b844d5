// The program's probe thread and run control on the simulated board running a demo
// image, undone on destruction; breakpoints listed before the connect are set at it.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "probe/probe.h"
#include "probe_fixture.h"
#include "runctl/breakpoints.h"
#include "runctl/fault_analyze.h"
#include "runctl/step.h"
#include "symbols/elf_dwarf.h"

struct BoardRun {
    std::string path;  // the image's file
    SimRig rig;
    ElfDwarf* elf = nullptr;
    PlatThread* thread = nullptr;

    // instr_per_us: 16 is the board's real clock, which the firmware's 1 ms tick
    // assumes; at 4 a tick lasts 4 ms, and board time costs a quarter of the work.
    explicit BoardRun(const std::string& image, uint8_t fpb_version = 0, const std::vector<uint32_t>& listed = {},
                      unsigned instr_per_us = 4, SimUsbKind kind = SimUsbKind::V2Bulk512)
        : path(std::string(KORVANE_DEMO_FW_DIR) + "/" + image), rig(kind, image, true, instr_per_us, fpb_version) {
        if (!rig.sys || !(elf = elf_dwarf_load(path.c_str()))) return;
        step_set_image(elf);
        hardfault_clear();  // an earlier test's report
        g_is_halted = false;
        reg_buf_mtx.lock();
        reg_buf[15] = 0;  // no PC seen yet
        memset(g_bkpt, 0, sizeof g_bkpt);
        for (size_t i = 0; i < listed.size(); ++i) g_bkpt[i] = BkptSlot{listed[i], true, false, true};
        reg_buf_mtx.unlock();
        runctl_install();
        thread = probe_thread_start();
    }
    ~BoardRun() {
        stop();
        probe_set_run_control(nullptr);
        step_set_image(nullptr);
        elf_dwarf_free(elf);
    }

    // The board, the image and the thread came up and the probe connected (a failed connect ends the wait).
    bool ok() {
        auto settled = [] { return g_probe_connected || log_has("[PRB] SWD connect failed"); };
        return rig.sys && elf && thread && wait_for(settled) && g_probe_connected;
    }
    // Stops the probe thread now; false when it did not stop in time.
    bool stop() {
        PlatThread* t = std::exchange(thread, nullptr);
        return !t || probe_thread_stop_and_wait(t);
    }
    // Posts a command and waits until it has ended; halt and reset take no busy flag,
    // their end is their log line. A slow build stretches a step's 30 s of board time.
    bool run(int cmd, uint32_t addr = 0, const char* ends_with = nullptr) {
        constexpr int kPatienceMs = 300000;
        return wait_for([] { return g_cmd_busy == 0; }, kPatienceMs) && probe_post_cmd(cmd, addr) &&
               (!ends_with || wait_for([&] { return log_has(ends_with); }, kPatienceMs)) &&
               wait_for([] { return g_cmd_busy == 0 && probe_poll_state() != PS_WAIT_HALT; }, kPatienceMs);
    }
    // A memory or register write through the probe thread, as the window makes it.
    bool write(ProbeWriteKind kind, uint32_t addr, uint32_t v) {
        ProbeWrite w{};
        w.kind = kind, w.addr = addr, w.len = 4;
        memcpy(w.data, &v, 4);
        auto idle = [] { return wait_for([] { return g_cmd_busy == 0; }); };
        return idle() && probe_post_write(&w) && idle();
    }
};
