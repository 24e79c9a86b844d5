#include "platform/usb.h"

#include <atomic>

static std::atomic<const UsbBulkBackend*> s_bulk{nullptr};
static std::atomic<const UsbHidBackend*> s_hid{nullptr};

const UsbBulkBackend* usb_bulk_backend() {
    const UsbBulkBackend* b = s_bulk.load(std::memory_order_acquire);
    return b ? b : usb_libusb_backend();
}

const UsbHidBackend* usb_hid_backend() {
    const UsbHidBackend* h = s_hid.load(std::memory_order_acquire);
    return h ? h : usb_hidraw_backend();
}

void usb_backend_install(const UsbBulkBackend* bulk, const UsbHidBackend* hid) {
    s_bulk.store(bulk, std::memory_order_release);
    s_hid.store(hid, std::memory_order_release);
}

const char* usb_error_name(int err) {
    switch (err) {
    case USB_OK: return "LIBUSB_SUCCESS";
    case USB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case USB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case USB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case USB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case USB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case USB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case USB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case USB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case USB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case USB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case USB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    default: return err > 0 ? "LIBUSB_SUCCESS" : "LIBUSB_ERROR_OTHER";
    }
}
