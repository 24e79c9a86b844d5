// Time a USB link costs: frame scheduling and wire time per personality.
#pragma once

#include <cstddef>
#include <cstdint>

enum class SimUsbKind : uint8_t {
    V1Hid,      // full speed, HID interrupt endpoints, 64-byte reports, 1 ms frames
    V2Bulk512,  // high speed, bulk 512, 125 us microframes
    V2Bulk64,   // full speed bulk, 64-byte packets, 1 ms frames
};

// Frame (or microframe) period.
uint64_t sim_link_frame_ns(SimUsbKind k);
// Time the bytes take on the bus at the personality's signalling rate.
uint64_t sim_link_wire_ns(SimUsbKind k, size_t bytes);
// The host controller schedules a transfer in the next (micro)frame.
uint64_t sim_link_next_frame(uint64_t now_ns, uint64_t frame_ns);
