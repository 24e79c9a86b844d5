// The HID back-end on hidapi's hidraw flavour.
#include <hidapi/hidapi.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform/usb.h"

// hid_init is not safe to race; every entry point goes through here first.
static bool hidraw_ready() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] { ok = hid_init() == 0; });
    return ok;
}

// Wide (UTF-32 on Linux) to UTF-8 into out[0..cap), always NUL-terminated.
// Stops before a character that would not fit whole; surrogates and values
// past U+10FFFF become '?'. Returns the bytes written, without the NUL.
// Not static so the test can check it against the C library's converter.
size_t usb_hidraw_wide_to_utf8(const wchar_t* in, char* out, size_t cap) {
    if (!out || cap == 0) return 0;
    size_t n = 0;
    for (; in && *in; ++in) {
        uint32_t c = static_cast<uint32_t>(*in);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = '?';
        unsigned char b[4];
        size_t k;
        if (c < 0x80) {
            b[0] = static_cast<unsigned char>(c);
            k = 1;
        } else if (c < 0x800) {
            b[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
            b[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            k = 2;
        } else if (c < 0x10000) {
            b[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
            b[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            b[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            k = 3;
        } else {
            b[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
            b[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            b[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            b[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            k = 4;
        }
        // A cut multi-byte sequence would make the whole string invalid UTF-8.
        if (n + k > cap - 1) break;
        std::memcpy(out + n, b, k);
        n += k;
    }
    out[n] = '\0';
    return n;
}

static int hidraw_enumerate(void*, UsbHidDeviceInfo* out, int cap) {
    if (cap < 0 || (cap > 0 && !out)) return USB_ERROR_INVALID_PARAM;
    if (!hidraw_ready()) return USB_ERROR_OTHER;
    if (cap == 0) return 0;
    // NULL is both "none present" and "failed"; hidapi does not tell them apart.
    hid_device_info* all = hid_enumerate(0, 0);
    int n = 0;
    for (const hid_device_info* d = all; d && n < cap; d = d->next) {
        if (!d->path) continue;
        const size_t len = std::strlen(d->path);
        // A shortened path would name another node, or none.
        if (len >= sizeof out[n].path) continue;
        UsbHidDeviceInfo& o = out[n++];
        std::memcpy(o.path, d->path, len + 1);
        o.vid = d->vendor_id;
        o.pid = d->product_id;
        usb_hidraw_wide_to_utf8(d->product_string, o.product, sizeof o.product);
        o.interface_number = d->interface_number;
    }
    hid_free_enumeration(all);
    return n;
}

static void* hidraw_open_path(void*, const char* path) {
    if (!path || !hidraw_ready()) return nullptr;
    return hid_open_path(path);
}

// hidraw writes block in the kernel until the report is queued; hidapi offers
// no time-out for them, so timeout_ms is not used.
static int hidraw_write(void* handle, const uint8_t* data, size_t len, unsigned) {
    if (!handle || !data || len == 0 || len > INT_MAX) return USB_ERROR_INVALID_PARAM;
    const int r = hid_write(static_cast<hid_device*>(handle), data, len);
    return r < 0 ? USB_ERROR_IO : r;
}

static int hidraw_read(void* handle, uint8_t* buf, size_t len, unsigned timeout_ms) {
    if (!handle || !buf || len == 0 || len > INT_MAX) return USB_ERROR_INVALID_PARAM;
    // hidapi treats a negative time-out as "wait forever"; a large unsigned one must not become that.
    const int ms = timeout_ms > static_cast<unsigned>(INT_MAX) ? INT_MAX : static_cast<int>(timeout_ms);
    const int r = hid_read_timeout(static_cast<hid_device*>(handle), buf, len, ms);
    return r < 0 ? USB_ERROR_IO : r;
}

static void hidraw_close(void* handle) {
    if (handle) hid_close(static_cast<hid_device*>(handle));
}

static const UsbHidBackend s_hidraw = {
    nullptr, hidraw_enumerate, hidraw_open_path, hidraw_write, hidraw_read, hidraw_close,
};

const UsbHidBackend* usb_hidraw_backend() { return &s_hidraw; }
