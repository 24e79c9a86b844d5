// USB primitives the probe transport is written against: a bulk back-end
// shaped like libusb (device list, descriptors, strings, claim, bulk transfer
// with a time-out) and a HID back-end shaped like hidapi's hidraw one
// (enumeration with attributes and product string, open, report write/read).
// The real back-ends talk to the kernel; the simulator installs its own, so
// the transport's enumeration, matching and recovery code runs unchanged on it.
#pragma once

#include <cstddef>
#include <cstdint>

// Result codes: 0 or a count on success, libusb's negative error numbers otherwise.
enum : int {
    USB_OK = 0,
    USB_ERROR_IO = -1,
    USB_ERROR_INVALID_PARAM = -2,
    USB_ERROR_ACCESS = -3,
    USB_ERROR_NO_DEVICE = -4,
    USB_ERROR_NOT_FOUND = -5,
    USB_ERROR_BUSY = -6,
    USB_ERROR_TIMEOUT = -7,
    USB_ERROR_OVERFLOW = -8,
    USB_ERROR_PIPE = -9,
    USB_ERROR_NO_MEM = -11,
    USB_ERROR_NOT_SUPPORTED = -12,
    USB_ERROR_OTHER = -99,
};

enum : size_t { USB_MAX_ALTSETTINGS = 16, USB_MAX_ENDPOINTS = 8, USB_MAX_HID_DEVICES = 64 };

struct UsbDeviceDesc {
    uint16_t vid;
    uint16_t pid;
    uint16_t bcd_device;
    uint8_t i_manufacturer;
    uint8_t i_product;
    uint8_t i_serial;
};

struct UsbEndpointDesc {
    uint8_t address;     // bit 7 set = IN
    uint8_t attributes;  // bits 1:0 = transfer type (2 = bulk)
    uint16_t max_packet;
};

// One alternate setting of one interface, flattened out of the configuration.
struct UsbAltSetting {
    uint8_t interface_number;
    uint8_t alternate;
    uint8_t cls;
    uint8_t subclass;
    uint8_t protocol;
    uint8_t i_interface;
    uint8_t num_endpoints;
    UsbEndpointDesc ep[USB_MAX_ENDPOINTS];
};

struct UsbConfigDesc {
    uint8_t num_alts;
    UsbAltSetting alts[USB_MAX_ALTSETTINGS];
};

// Bulk back-end. `bus`, `list` and `handle` are the back-end's own objects.
struct UsbBulkBackend {
    void* ctx;
    int (*init)(void* ctx, void** bus);
    void (*exit)(void* bus);
    // A snapshot of the devices present: the count, or a negative error.
    int (*get_device_list)(void* bus, void** list);
    void (*free_device_list)(void* list);
    int (*get_device_descriptor)(void* list, int index, UsbDeviceDesc* d);
    // Kernel drivers are detached automatically when an interface is claimed.
    int (*open)(void* list, int index, void** handle);
    void (*close)(void* handle);
    // ASCII string descriptor, NUL-terminated; the length or a negative error.
    int (*get_string_ascii)(void* handle, uint8_t index, char* buf, int cap);
    int (*get_active_config)(void* handle, UsbConfigDesc* cfg);
    int (*claim_interface)(void* handle, int interface_number);
    int (*release_interface)(void* handle, int interface_number);
    int (*bulk_transfer)(void* handle, uint8_t endpoint, uint8_t* data, int len, int* transferred, unsigned timeout_ms);
};

struct UsbHidDeviceInfo {
    char path[260];
    uint16_t vid;
    uint16_t pid;
    char product[256];  // UTF-8; empty when the device has none
    int interface_number;
};

// HID back-end. Reports are written with their report-ID byte first (0 for
// devices without numbered reports) and read without it.
struct UsbHidBackend {
    void* ctx;
    // Present HID devices into out[0..cap): the count, or a negative error.
    int (*enumerate)(void* ctx, UsbHidDeviceInfo* out, int cap);
    void* (*open_path)(void* ctx, const char* path);
    // Bytes written, or a negative error.
    int (*write)(void* handle, const uint8_t* data, size_t len, unsigned timeout_ms);
    // Bytes read, 0 on time-out, or a negative error.
    int (*read)(void* handle, uint8_t* buf, size_t len, unsigned timeout_ms);
    void (*close)(void* handle);
};

// The back-ends in use: the kernel's (libusb, hidraw) unless replaced.
const UsbBulkBackend* usb_bulk_backend();
const UsbHidBackend* usb_hid_backend();
// Replaces them for the whole process; nullptr restores the kernel's. The
// records must outlive their use.
void usb_backend_install(const UsbBulkBackend* bulk, const UsbHidBackend* hid);
const char* usb_error_name(int err);

// The kernel's back-ends (for tests that want to name them).
const UsbBulkBackend* usb_libusb_backend();
const UsbHidBackend* usb_hidraw_backend();
