// The bulk back-end on libusb-1.0: a thin layer that turns libusb's objects
// into the plain records of platform/usb.h.
#include <libusb.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/usb.h"

// The transport compares against USB_ERROR_*; they are libusb's numbers so
// results pass through unchanged.
static_assert((int)USB_OK == (int)LIBUSB_SUCCESS);
static_assert((int)USB_ERROR_IO == (int)LIBUSB_ERROR_IO);
static_assert((int)USB_ERROR_INVALID_PARAM == (int)LIBUSB_ERROR_INVALID_PARAM);
static_assert((int)USB_ERROR_ACCESS == (int)LIBUSB_ERROR_ACCESS);
static_assert((int)USB_ERROR_NO_DEVICE == (int)LIBUSB_ERROR_NO_DEVICE);
static_assert((int)USB_ERROR_NOT_FOUND == (int)LIBUSB_ERROR_NOT_FOUND);
static_assert((int)USB_ERROR_BUSY == (int)LIBUSB_ERROR_BUSY);
static_assert((int)USB_ERROR_TIMEOUT == (int)LIBUSB_ERROR_TIMEOUT);
static_assert((int)USB_ERROR_OVERFLOW == (int)LIBUSB_ERROR_OVERFLOW);
static_assert((int)USB_ERROR_PIPE == (int)LIBUSB_ERROR_PIPE);
static_assert((int)USB_ERROR_NO_MEM == (int)LIBUSB_ERROR_NO_MEM);
static_assert((int)USB_ERROR_NOT_SUPPORTED == (int)LIBUSB_ERROR_NOT_SUPPORTED);
static_assert((int)USB_ERROR_OTHER == (int)LIBUSB_ERROR_OTHER);

struct LusbList {
    libusb_device** devs;
    int count;
};

// libusb has codes usb.h does not name (LIBUSB_ERROR_INTERRUPTED); callers
// only know the named ones, so anything else becomes OTHER.
static int lusb_err(int r) {
    if (r >= 0) return r;
    switch (r) {
    case USB_ERROR_IO: case USB_ERROR_INVALID_PARAM: case USB_ERROR_ACCESS:
    case USB_ERROR_NO_DEVICE: case USB_ERROR_NOT_FOUND: case USB_ERROR_BUSY:
    case USB_ERROR_TIMEOUT: case USB_ERROR_OVERFLOW: case USB_ERROR_PIPE:
    case USB_ERROR_NO_MEM: case USB_ERROR_NOT_SUPPORTED: return r;
    default: return USB_ERROR_OTHER;
    }
}

static libusb_device* lusb_dev(void* list, int index) {
    const LusbList* l = static_cast<const LusbList*>(list);
    if (!l || index < 0 || index >= l->count) return nullptr;
    return l->devs[index];
}

static int lusb_init(void*, void** bus) {
    if (!bus) return USB_ERROR_INVALID_PARAM;
    *bus = nullptr;
    libusb_context* c = nullptr;
    const int r = libusb_init(&c);
    if (r != LIBUSB_SUCCESS) return lusb_err(r);
    *bus = c;
    return USB_OK;
}

static void lusb_exit(void* bus) {
    // libusb_exit(nullptr) would tear down the default context someone else may own.
    if (bus) libusb_exit(static_cast<libusb_context*>(bus));
}

static int lusb_get_device_list(void* bus, void** list) {
    if (!bus || !list) return USB_ERROR_INVALID_PARAM;
    *list = nullptr;
    libusb_device** devs = nullptr;
    const ssize_t n = libusb_get_device_list(static_cast<libusb_context*>(bus), &devs);
    if (n < 0) return lusb_err(static_cast<int>(n));
    LusbList* l = new (std::nothrow) LusbList{devs, static_cast<int>(n)};
    if (!l) {
        libusb_free_device_list(devs, 1);
        return USB_ERROR_NO_MEM;
    }
    *list = l;
    return l->count;
}

static void lusb_free_device_list(void* list) {
    LusbList* l = static_cast<LusbList*>(list);
    if (!l) return;
    if (l->devs) libusb_free_device_list(l->devs, 1);
    delete l;
}

static int lusb_get_device_descriptor(void* list, int index, UsbDeviceDesc* d) {
    libusb_device* dev = lusb_dev(list, index);
    if (!dev || !d) return USB_ERROR_INVALID_PARAM;
    libusb_device_descriptor raw;
    const int r = libusb_get_device_descriptor(dev, &raw);
    if (r != LIBUSB_SUCCESS) return lusb_err(r);
    *d = UsbDeviceDesc{raw.idVendor, raw.idProduct, raw.bcdDevice,
                       raw.iManufacturer, raw.iProduct, raw.iSerialNumber};
    return USB_OK;
}

static int lusb_open(void* list, int index, void** handle) {
    if (!handle) return USB_ERROR_INVALID_PARAM;
    *handle = nullptr;
    libusb_device* dev = lusb_dev(list, index);
    if (!dev) return USB_ERROR_INVALID_PARAM;
    libusb_device_handle* h = nullptr;
    const int r = libusb_open(dev, &h);
    if (r != LIBUSB_SUCCESS) return lusb_err(r);
    // Not supported on every platform; claiming then simply fails if a driver holds it.
    (void)libusb_set_auto_detach_kernel_driver(h, 1);
    *handle = h;
    return USB_OK;
}

static void lusb_close(void* handle) {
    if (handle) libusb_close(static_cast<libusb_device_handle*>(handle));
}

static int lusb_get_string_ascii(void* handle, uint8_t index, char* buf, int cap) {
    if (!buf || cap <= 0) return USB_ERROR_INVALID_PARAM;
    buf[0] = '\0';
    if (!handle) return USB_ERROR_INVALID_PARAM;
    // Index 0 is the language table, not a string.
    if (index == 0) return USB_ERROR_NOT_FOUND;
    if (cap == 1) return 0;
    const int len = cap - 1;
    const int r = libusb_get_string_descriptor_ascii(static_cast<libusb_device_handle*>(handle), index,
                                                     reinterpret_cast<unsigned char*>(buf), len);
    if (r < 0) {
        buf[0] = '\0';
        return lusb_err(r);
    }
    const int n = std::min(r, len);
    buf[n] = '\0';
    return n;
}

static int lusb_get_active_config(void* handle, UsbConfigDesc* cfg) {
    if (!handle || !cfg) return USB_ERROR_INVALID_PARAM;
    std::memset(cfg, 0, sizeof *cfg);
    libusb_config_descriptor* raw = nullptr;
    const int r = libusb_get_active_config_descriptor(libusb_get_device(static_cast<libusb_device_handle*>(handle)), &raw);
    if (r != LIBUSB_SUCCESS) return lusb_err(r);
    size_t n = 0;
    for (int i = 0; i < raw->bNumInterfaces && n < USB_MAX_ALTSETTINGS; ++i) {
        const libusb_interface& itf = raw->interface[i];
        for (int a = 0; a < itf.num_altsetting && n < USB_MAX_ALTSETTINGS; ++a) {
            const libusb_interface_descriptor& id = itf.altsetting[a];
            UsbAltSetting& out = cfg->alts[n++];
            out.interface_number = id.bInterfaceNumber;
            out.alternate = id.bAlternateSetting;
            out.cls = id.bInterfaceClass;
            out.subclass = id.bInterfaceSubClass;
            out.protocol = id.bInterfaceProtocol;
            out.i_interface = id.iInterface;
            const size_t ne = std::min<size_t>(id.bNumEndpoints, USB_MAX_ENDPOINTS);
            out.num_endpoints = static_cast<uint8_t>(ne);
            for (size_t e = 0; e < ne; ++e)
                out.ep[e] = UsbEndpointDesc{id.endpoint[e].bEndpointAddress, id.endpoint[e].bmAttributes,
                                            id.endpoint[e].wMaxPacketSize};
        }
    }
    cfg->num_alts = static_cast<uint8_t>(n);
    libusb_free_config_descriptor(raw);
    return USB_OK;
}

static int lusb_claim_interface(void* handle, int interface_number) {
    if (!handle) return USB_ERROR_INVALID_PARAM;
    return lusb_err(libusb_claim_interface(static_cast<libusb_device_handle*>(handle), interface_number));
}

static int lusb_release_interface(void* handle, int interface_number) {
    if (!handle) return USB_ERROR_INVALID_PARAM;
    return lusb_err(libusb_release_interface(static_cast<libusb_device_handle*>(handle), interface_number));
}

static int lusb_bulk_transfer(void* handle, uint8_t endpoint, uint8_t* data, int len, int* transferred,
                              unsigned timeout_ms) {
    if (transferred) *transferred = 0;
    if (!handle || len < 0 || (!data && len > 0)) return USB_ERROR_INVALID_PARAM;
    int done = 0;
    const int r = libusb_bulk_transfer(static_cast<libusb_device_handle*>(handle), endpoint, data, len, &done,
                                       timeout_ms);
    // On a time-out part of the data may have moved; the caller needs that count too.
    if (transferred) *transferred = done;
    return lusb_err(r);
}

static const UsbBulkBackend s_libusb = {
    nullptr,
    lusb_init,
    lusb_exit,
    lusb_get_device_list,
    lusb_free_device_list,
    lusb_get_device_descriptor,
    lusb_open,
    lusb_close,
    lusb_get_string_ascii,
    lusb_get_active_config,
    lusb_claim_interface,
    lusb_release_interface,
    lusb_bulk_transfer,
};

const UsbBulkBackend* usb_libusb_backend() { return &s_libusb; }
