// The host's view of the simulated probe: USB back-ends (bulk and HID) that
// enumerate the simulated probe, next to any decoy devices a test adds, and a
// clock whose sleeps run the board, so a host stack runs in virtual time.
#pragma once

#include <cstdint>

#include "platform/clock.h"
#include "platform/usb.h"
#include "sim/sim_system.h"

enum : int { SIM_HOST_MAX_DECOYS = 8 };

// A device on the bus that is not our probe (a keyboard, another vendor's
// adapter): it enumerates, may open, answers descriptors, and nothing more.
struct SimUsbDecoy {
    bool hid;                 // listed by the HID back-end, else by the bulk one
    uint16_t vid;
    uint16_t pid;
    char product[64];
    char interface_name[64];  // bulk only
    uint8_t interface_class;  // bulk only: 0xFF vendor, 0x03 HID, ...
    bool open_fails;
};

struct SimUsbHostCounters {
    int opens;
    int claims;
    int hid_opens;
};

struct SimUsbHost {
    SimSystem* sys;  // null: no probe attached
    SimUsbDecoy decoys[SIM_HOST_MAX_DECOYS];
    int decoy_count;
    bool libusb_init_fails;
    SimUsbHostCounters counters;
    UsbBulkBackend bulk;
    UsbHidBackend hid;
};

void sim_usb_host_init(SimUsbHost* h, SimSystem* sys);
bool sim_usb_host_add_decoy(SimUsbHost* h, const SimUsbDecoy* d);
// Makes these back-ends the process's USB (usb_backend_install); remove with
// usb_backend_install(nullptr, nullptr) before the host record goes away.
void sim_usb_host_install(SimUsbHost* h);

// Virtual time tied to the board: now is the board's clock, a sleep runs the
// board for that long (under the system's lock). Only for a system in
// virtual time: a real-time one keeps the wall clock.
struct SimHostClock {
    SimSystem* sys;
    PlatClock clock;
};
void sim_host_clock_init(SimHostClock* c, SimSystem* sys);
