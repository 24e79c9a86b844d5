#include "runctl/step.h"

#include "probe/probe.h"
#include "ui/log_view.h"

void step_done(const char* line) {
    g_stepping = false;
    if (line) log_add_line(&logv, line);
    publish_state();
    g_cmd_busy = 0;
}

bool step_dispatch(int cmd, uint32_t addr) {
    (void)addr;
    switch (cmd) {
    case PROBE_CMD_RESET:
        step_done(dbg_reset_halt() ? "[DBG] Reset: halted at reset vector" : "[DBG] Reset: core did not halt");
        return false;
    case PROBE_CMD_STEP_ASM:
        g_stepping = true;
        step_done(dbg_step_asm() ? "[DBG] Step instruction: done" : "[DBG] Step instruction: failed");
        return false;
    default:
        log_addf(&logv, "[DBG] Command %d needs the line table and breakpoints", cmd);
        step_done(nullptr);
        return false;
    }
}

bool step_poll() { return true; }

void step_abort() { g_stepping = false; }

void runctl_install() {
    static const ProbeRunControl rc = {step_dispatch, step_poll, step_abort, nullptr, nullptr};
    probe_set_run_control(&rc);
}
