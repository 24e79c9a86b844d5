// What the probe thread's modules share.
#pragma once

#include "probe/probe.h"

extern DapContext* s_dap;  // the open probe; probe thread only once it runs
void probe_restore_breakpoints();
void probe_identify_if_needed();
