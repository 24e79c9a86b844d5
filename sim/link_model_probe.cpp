#include "sim/link_model_probe.h"

#include <cstring>

void sim_probe_default_config(SimProbeConfig* c, SimUsbKind kind) {
    std::memset(c, 0, sizeof *c);
    sim_usb_default_config(&c->usb, kind);
    sim_dap_default_config(&c->dap);
    c->dap.packet_size = kind == SimUsbKind::V2Bulk512 ? 512 : 64;
    sim_swd_default_config(&c->swd);
}

bool sim_probe_init(SimProbe* p, const SimProbeConfig* c) {
    bool ok = sim_swd_init(&p->swd, &c->swd, c->bus, c->lines);
    ok = sim_dap_init(&p->dap, &c->dap, &p->swd, c->lines, c->ticker) && ok;
    ok = sim_usb_init(&p->usb, &c->usb, &p->dap, c->ticker) && ok;
    return ok;
}

SimProbeCounters sim_probe_counters(const SimProbe* p) {
    const SimDapCounters& d = p->dap.counters;
    const SimUsbCounters& u = p->usb.counters;
    SimProbeCounters c{};
    c.exchanges = u.exchanges;
    c.bytes_out = u.bytes_out;
    c.bytes_in = u.bytes_in;
    c.dp_reads = d.dp_reads;
    c.dp_writes = d.dp_writes;
    c.ap_reads = d.ap_reads;
    c.ap_writes = d.ap_writes;
    c.waits = d.waits;
    c.faults = d.faults;
    c.no_acks = d.no_acks;
    c.swd_clocks = d.swd_clocks;
    c.swd_ns = d.swd_ns;
    c.link_ns = u.link_ns;
    c.delay_ns = d.delay_ns;
    return c;
}

void sim_probe_reset_counters(SimProbe* p) {
    p->dap.counters = SimDapCounters{};
    p->usb.counters = SimUsbCounters{};
}
