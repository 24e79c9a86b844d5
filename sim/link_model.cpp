#include "sim/link_model.h"

uint64_t sim_link_frame_ns(SimUsbKind k) { return k == SimUsbKind::V2Bulk512 ? 125000u : 1000000u; }

uint64_t sim_link_wire_ns(SimUsbKind k, size_t bytes) {
    uint64_t bits = (uint64_t)bytes * 8;
    return k == SimUsbKind::V2Bulk512 ? bits * 1000 / 480 : bits * 1000 / 12;
}

uint64_t sim_link_next_frame(uint64_t now_ns, uint64_t frame_ns) { return (now_ns / frame_ns + 1) * frame_ns; }
