// The probe as a USB device: descriptors a host enumerates, and the
// endpoint operations (bulk for CMSIS-DAP v2, HID reports for v1) with
// time-outs, response queueing and fault injection.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/dap_fw.h"
#include "sim/link_model.h"
#include "sim/sim_types.h"

enum : size_t { SIM_USB_QUEUE = 9 };  // packet count (max 8) + one stale packet

struct SimUsbConfig {
    SimUsbKind kind;
    uint16_t vid;
    uint16_t pid;
    uint16_t bcd_device;
    char manufacturer[40];
    char product[60];         // contains "CMSIS-DAP"
    char serial[40];
    char interface_name[60];  // contains "CMSIS-DAP": v2 hosts match on it
};

struct SimUsbFaults {
    bool fail_next_write;      // the next write fails, nothing reaches the probe
    uint16_t short_next_write; // the next write delivers only this many bytes (0 = off)
    bool drop_next_response;   // the next command gets no answer (the read times out)
    uint16_t drop_nth_response;// the answer to the n-th command from now is lost (1 = the next)
    uint64_t response_delay_ns;// every answer becomes readable this much later
};

enum class SimUsbStatus : uint8_t { Ok, Unplugged, NotOpen, Timeout, Short, TooBig, BadReport, Overflow, Busy };

struct SimUsbPacket {
    uint8_t data[SIM_DAP_MAX_PACKET];
    uint16_t len;
    uint64_t ready_ns;  // the probe finished the command
    uint64_t in_ns;     // HID: the kernel's poll of the IN endpoint took it off the probe
};

struct SimUsbCounters {
    uint64_t exchanges;  // commands delivered to the probe
    uint64_t bytes_out;
    uint64_t bytes_in;
    uint64_t link_ns;    // USB scheduling and wire time the host waited beyond the probe's work
};

struct SimUsbDev {
    SimUsbConfig cfg;
    SimDap* dap;
    SimTicker ticker;
    bool plugged;
    bool opened;
    bool claimed;
    SimUsbPacket queue[SIM_USB_QUEUE];
    unsigned head;
    unsigned count;
    SimUsbFaults faults;
    SimUsbStatus last;
    SimUsbCounters counters;
    uint64_t replug_at_ns;  // a replug due at this virtual time (0: none)
    uint64_t opened_at_ns;  // virtual time of the last open
    // The probe works on a command while the host goes on sending the next
    // ones: the board's clock runs this far ahead of the host's.
    uint64_t lead_ns;
    uint64_t in_next_ns;    // HID: the first frame the IN endpoint is free again
};

// Defaults per personality: v1 0xC251/0xF00A (Keil ULINK-ME style IDs of a
// CMSIS-DAP v1 probe), v2 0x0D28/0x0204 (DAPLink).
void sim_usb_default_config(SimUsbConfig* c, SimUsbKind kind);
bool sim_usb_init(SimUsbDev* u, const SimUsbConfig* c, SimDap* dap, SimTicker ticker);
// Endpoint packet size: 64, or 512 for high-speed bulk.
uint16_t sim_usb_packet_size(const SimUsbDev* u);

// GET_DESCRIPTOR: type 1 device, 2 configuration, 3 string (index 0 = the
// language list), 0x22 HID report (v1 only). False = the device stalls.
bool sim_usb_descriptor(const SimUsbDev* u, uint8_t type, uint8_t index, uint8_t* buf, size_t cap, size_t* len);

bool sim_usb_open(SimUsbDev* u);
bool sim_usb_claim(SimUsbDev* u, uint8_t interface_number);
void sim_usb_close(SimUsbDev* u);
// v2: one bulk OUT transfer of a command. v1: a hidraw write, report ID
// byte 0 first then up to 64 bytes (padded to a 64-byte report).
bool sim_usb_write(SimUsbDev* u, const uint8_t* data, size_t n, uint32_t timeout_ms, size_t* written);
// v2: one bulk IN transfer (the response length). v1: one 64-byte input
// report as hidraw returns it (no report ID byte).
bool sim_usb_read(SimUsbDev* u, uint8_t* buf, size_t cap, uint32_t timeout_ms, size_t* got);

void sim_usb_set_faults(SimUsbDev* u, const SimUsbFaults* f);
// The host's clock (the board's, less the probe's lead), and the host waiting
// that long: the board runs only once the host has caught up with it.
uint64_t sim_usb_host_now(const SimUsbDev* u);
void sim_usb_host_wait(SimUsbDev* u, uint64_t ns);
// An old answer left in the IN endpoint: the host reads it first.
bool sim_usb_inject_stale(SimUsbDev* u, const uint8_t* data, size_t n);
void sim_usb_unplug(SimUsbDev* u);
// Plugged back: the probe firmware restarts (the target keeps its state).
void sim_usb_replug(SimUsbDev* u);
// Plugged back once the virtual clock reaches at_ns, whenever the host looks
// for it then: a test's timing does not hang on how its threads are scheduled.
void sim_usb_replug_at(SimUsbDev* u, uint64_t at_ns);
// Whether the host finds the device now (a due replug takes effect).
bool sim_usb_plugged(SimUsbDev* u);
