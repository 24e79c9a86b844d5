#include "sim/sim_usb_host.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

namespace {

// Device indices in a bulk list: decoys first, then the probe.
struct HostList {
    SimUsbHost* host;
    int count;
    int decoy[SIM_HOST_MAX_DECOYS];
    bool has_probe;
};

struct HostHandle {
    SimUsbHost* host;
    int decoy;  // -1 = the simulated probe
};

const int kProbe = -1;

bool probe_present(SimUsbHost* h, bool want_hid) {
    if (!h->sys) return false;
    sim_system_lock(h->sys);
    SimUsbDev* u = sim_system_usb(h->sys);
    bool hid = u->cfg.kind == SimUsbKind::V1Hid;
    bool present = sim_usb_plugged(u) && hid == want_hid;
    sim_system_unlock(h->sys);
    return present;
}

int map_status(SimUsbStatus s) {
    switch (s) {
    case SimUsbStatus::Ok: return USB_OK;
    case SimUsbStatus::Unplugged: return USB_ERROR_NO_DEVICE;
    case SimUsbStatus::Timeout:
    case SimUsbStatus::Busy: return USB_ERROR_TIMEOUT;
    case SimUsbStatus::Overflow: return USB_ERROR_OVERFLOW;
    case SimUsbStatus::Short: return USB_OK;
    default: return USB_ERROR_IO;
    }
}

// --- bulk -------------------------------------------------------------------

int bulk_init(void* ctx, void** bus) {
    SimUsbHost* h = static_cast<SimUsbHost*>(ctx);
    if (h->libusb_init_fails) return USB_ERROR_OTHER;
    *bus = h;
    return USB_OK;
}

void bulk_exit(void*) {}

int bulk_list(void* bus, void** list) {
    SimUsbHost* h = static_cast<SimUsbHost*>(bus);
    HostList* l = new (std::nothrow) HostList{};
    if (!l) return USB_ERROR_NO_MEM;
    l->host = h;
    for (int i = 0; i < h->decoy_count; ++i)
        if (!h->decoys[i].hid) l->decoy[l->count++] = i;
    l->has_probe = probe_present(h, false);
    *list = l;
    return l->count + (l->has_probe ? 1 : 0);
}

void bulk_free_list(void* list) { delete static_cast<HostList*>(list); }

// -2 = out of range.
int list_entry(const HostList* l, int index) {
    if (index < 0) return -2;
    if (index < l->count) return l->decoy[index];
    if (index == l->count && l->has_probe) return kProbe;
    return -2;
}

int bulk_device_descriptor(void* list, int index, UsbDeviceDesc* d) {
    const HostList* l = static_cast<const HostList*>(list);
    int e = list_entry(l, index);
    if (e == -2) return USB_ERROR_INVALID_PARAM;
    std::memset(d, 0, sizeof *d);
    if (e == kProbe) {
        uint8_t buf[18];
        size_t len = 0;
        sim_system_lock(l->host->sys);
        bool ok = sim_usb_descriptor(sim_system_usb(l->host->sys), 1, 0, buf, sizeof buf, &len);
        sim_system_unlock(l->host->sys);
        if (!ok || len < 18) return USB_ERROR_NO_DEVICE;
        d->vid = (uint16_t)(buf[8] | buf[9] << 8);
        d->pid = (uint16_t)(buf[10] | buf[11] << 8);
        d->bcd_device = (uint16_t)(buf[12] | buf[13] << 8);
        d->i_manufacturer = buf[14];
        d->i_product = buf[15];
        d->i_serial = buf[16];
        return USB_OK;
    }
    const SimUsbDecoy& dc = l->host->decoys[e];
    d->vid = dc.vid;
    d->pid = dc.pid;
    d->i_product = dc.product[0] ? 2 : 0;
    return USB_OK;
}

int bulk_open(void* list, int index, void** handle) {
    const HostList* l = static_cast<const HostList*>(list);
    int e = list_entry(l, index);
    if (e == -2) return USB_ERROR_INVALID_PARAM;
    SimUsbHost* h = l->host;
    if (e == kProbe) {
        sim_system_lock(h->sys);
        bool ok = sim_usb_open(sim_system_usb(h->sys));
        sim_system_unlock(h->sys);
        if (!ok) return USB_ERROR_NO_DEVICE;
    } else if (h->decoys[e].open_fails) {
        return USB_ERROR_ACCESS;
    }
    HostHandle* hh = new (std::nothrow) HostHandle{h, e};
    if (!hh) return USB_ERROR_NO_MEM;
    h->counters.opens++;
    *handle = hh;
    return USB_OK;
}

void bulk_close(void* handle) {
    HostHandle* hh = static_cast<HostHandle*>(handle);
    if (!hh) return;
    if (hh->decoy == kProbe) {
        sim_system_lock(hh->host->sys);
        sim_usb_close(sim_system_usb(hh->host->sys));
        sim_system_unlock(hh->host->sys);
    }
    delete hh;
}

int copy_ascii(const char* s, char* buf, int cap) {
    if (cap <= 0) return USB_ERROR_INVALID_PARAM;
    int n = (int)std::strlen(s);
    if (n > cap - 1) n = cap - 1;
    std::memcpy(buf, s, (size_t)n);
    buf[n] = 0;
    return n;
}

int bulk_string(void* handle, uint8_t index, char* buf, int cap) {
    HostHandle* hh = static_cast<HostHandle*>(handle);
    if (cap <= 0) return USB_ERROR_INVALID_PARAM;
    if (index == 0) return USB_ERROR_NOT_FOUND;
    if (hh->decoy != kProbe) {
        const SimUsbDecoy& d = hh->host->decoys[hh->decoy];
        const char* s = index == 2 ? d.product : index == 4 ? d.interface_name : "";
        if (!s[0]) return USB_ERROR_PIPE;
        return copy_ascii(s, buf, cap);
    }
    uint8_t raw[256];
    size_t len = 0;
    sim_system_lock(hh->host->sys);
    bool ok = sim_usb_descriptor(sim_system_usb(hh->host->sys), 3, index, raw, sizeof raw, &len);
    sim_system_unlock(hh->host->sys);
    if (!ok) return USB_ERROR_PIPE;
    if (len < 2 || raw[1] != 3) return USB_ERROR_IO;
    // UTF-16LE to ASCII as libusb does it: anything outside ASCII becomes '?'.
    int n = 0;
    for (size_t i = 2; i + 1 < len && i < raw[0] && n < cap - 1; i += 2) {
        uint16_t ch = (uint16_t)(raw[i] | raw[i + 1] << 8);
        buf[n++] = ch < 0x80 ? (char)ch : '?';
    }
    buf[n] = 0;
    return n;
}

int parse_config(const uint8_t* p, size_t len, UsbConfigDesc* cfg) {
    std::memset(cfg, 0, sizeof *cfg);
    UsbAltSetting* cur = nullptr;
    for (size_t i = 0; i + 2 <= len;) {
        uint8_t dl = p[i], type = p[i + 1];
        if (dl < 2 || i + dl > len) return USB_ERROR_IO;
        if (type == 4 && dl >= 9) {
            cur = nullptr;
            if (cfg->num_alts < USB_MAX_ALTSETTINGS) {
                cur = &cfg->alts[cfg->num_alts++];
                cur->interface_number = p[i + 2];
                cur->alternate = p[i + 3];
                cur->cls = p[i + 5];
                cur->subclass = p[i + 6];
                cur->protocol = p[i + 7];
                cur->i_interface = p[i + 8];
            }
        } else if (type == 5 && dl >= 7 && cur && cur->num_endpoints < USB_MAX_ENDPOINTS) {
            UsbEndpointDesc& ep = cur->ep[cur->num_endpoints++];
            ep.address = p[i + 2];
            ep.attributes = p[i + 3];
            ep.max_packet = (uint16_t)(p[i + 4] | p[i + 5] << 8);
        }
        i += dl;
    }
    return USB_OK;
}

int bulk_config(void* handle, UsbConfigDesc* cfg) {
    HostHandle* hh = static_cast<HostHandle*>(handle);
    if (hh->decoy != kProbe) {
        const SimUsbDecoy& d = hh->host->decoys[hh->decoy];
        std::memset(cfg, 0, sizeof *cfg);
        cfg->num_alts = 1;
        UsbAltSetting& a = cfg->alts[0];
        a.cls = d.interface_class;
        a.i_interface = d.interface_name[0] ? 4 : 0;
        a.num_endpoints = 2;
        a.ep[0] = {0x02, 0x02, 64};
        a.ep[1] = {0x82, 0x02, 64};
        return USB_OK;
    }
    uint8_t raw[512];
    size_t len = 0;
    sim_system_lock(hh->host->sys);
    bool ok = sim_usb_descriptor(sim_system_usb(hh->host->sys), 2, 0, raw, sizeof raw, &len);
    sim_system_unlock(hh->host->sys);
    if (!ok) return USB_ERROR_NO_DEVICE;
    return parse_config(raw, len, cfg);
}

int bulk_claim(void* handle, int iface) {
    HostHandle* hh = static_cast<HostHandle*>(handle);
    hh->host->counters.claims++;
    if (hh->decoy != kProbe) return USB_OK;
    sim_system_lock(hh->host->sys);
    SimUsbDev* u = sim_system_usb(hh->host->sys);
    bool ok = sim_usb_claim(u, (uint8_t)iface);
    int err = ok ? USB_OK : map_status(u->last);
    sim_system_unlock(hh->host->sys);
    return ok ? USB_OK : (err == USB_OK ? USB_ERROR_IO : err);
}

int bulk_release(void* handle, int) {
    (void)handle;
    return USB_OK;
}

int bulk_transfer(void* handle, uint8_t ep, uint8_t* data, int len, int* transferred, unsigned timeout_ms) {
    HostHandle* hh = static_cast<HostHandle*>(handle);
    *transferred = 0;
    if (len < 0) return USB_ERROR_INVALID_PARAM;
    if (hh->decoy != kProbe) return USB_ERROR_PIPE;
    SimSystem* s = hh->host->sys;
    size_t n = 0;
    bool ok = (ep & 0x80) ? sim_system_usb_read(s, data, (size_t)len, timeout_ms, &n)
                          : sim_system_usb_write(s, data, (size_t)len, timeout_ms, &n);
    sim_system_lock(s);
    SimUsbStatus st = sim_system_usb(s)->last;
    sim_system_unlock(s);
    *transferred = (int)n;
    if (ok) return USB_OK;
    int err = map_status(st);
    // A short OUT transfer is a success with fewer bytes, as libusb reports it.
    return st == SimUsbStatus::Short ? USB_OK : (err == USB_OK ? USB_ERROR_IO : err);
}

// --- HID --------------------------------------------------------------------

int hid_enumerate(void* ctx, UsbHidDeviceInfo* out, int cap) {
    SimUsbHost* h = static_cast<SimUsbHost*>(ctx);
    int n = 0;
    for (int i = 0; i < h->decoy_count && n < cap; ++i) {
        const SimUsbDecoy& d = h->decoys[i];
        if (!d.hid) continue;
        UsbHidDeviceInfo& e = out[n++];
        std::memset(&e, 0, sizeof e);
        std::snprintf(e.path, sizeof e.path, "sim:decoy%d", i);
        e.vid = d.vid;
        e.pid = d.pid;
        std::snprintf(e.product, sizeof e.product, "%s", d.product);
    }
    if (n < cap && probe_present(h, true)) {
        UsbHidDeviceInfo& e = out[n++];
        std::memset(&e, 0, sizeof e);
        std::snprintf(e.path, sizeof e.path, "sim:probe");
        sim_system_lock(h->sys);
        const SimUsbConfig& c = sim_system_usb(h->sys)->cfg;
        e.vid = c.vid;
        e.pid = c.pid;
        std::snprintf(e.product, sizeof e.product, "%s", c.product);
        sim_system_unlock(h->sys);
    }
    return n;
}

void* hid_open(void* ctx, const char* path) {
    SimUsbHost* h = static_cast<SimUsbHost*>(ctx);
    int decoy = kProbe;
    if (std::strcmp(path, "sim:probe") != 0) {
        if (std::sscanf(path, "sim:decoy%d", &decoy) != 1 || decoy < 0 || decoy >= h->decoy_count) return nullptr;
        if (h->decoys[decoy].open_fails) return nullptr;
    } else {
        if (!h->sys) return nullptr;
        sim_system_lock(h->sys);
        bool ok = sim_usb_open(sim_system_usb(h->sys));
        sim_system_unlock(h->sys);
        if (!ok) return nullptr;
    }
    h->counters.hid_opens++;
    return new (std::nothrow) HostHandle{h, decoy};
}

int hid_write(void* handle, const uint8_t* data, size_t len, unsigned timeout_ms) {
    HostHandle* hh = static_cast<HostHandle*>(handle);
    if (hh->decoy != kProbe) return USB_ERROR_IO;
    size_t n = 0;
    if (!sim_system_usb_write(hh->host->sys, data, len, timeout_ms, &n)) {
        sim_system_lock(hh->host->sys);
        SimUsbStatus st = sim_system_usb(hh->host->sys)->last;
        sim_system_unlock(hh->host->sys);
        return st == SimUsbStatus::Short ? (int)n : USB_ERROR_IO;
    }
    return (int)n;
}

int hid_read(void* handle, uint8_t* buf, size_t len, unsigned timeout_ms) {
    HostHandle* hh = static_cast<HostHandle*>(handle);
    if (hh->decoy != kProbe) return USB_ERROR_IO;
    size_t n = 0;
    if (sim_system_usb_read(hh->host->sys, buf, len, timeout_ms, &n)) return (int)n;
    sim_system_lock(hh->host->sys);
    SimUsbStatus st = sim_system_usb(hh->host->sys)->last;
    sim_system_unlock(hh->host->sys);
    return st == SimUsbStatus::Timeout ? 0 : USB_ERROR_IO;
}

void hid_close(void* handle) { bulk_close(handle); }

// --- clock ------------------------------------------------------------------

uint64_t clock_now(void* ctx) {
    SimSystem* s = static_cast<SimHostClock*>(ctx)->sys;
    sim_system_lock(s);
    uint64_t ns = sim_usb_host_now(sim_system_usb(s));
    sim_system_unlock(s);
    return ns / 1000000u;
}

void clock_sleep(void* ctx, uint32_t ms) {
    SimSystem* s = static_cast<SimHostClock*>(ctx)->sys;
    sim_system_lock(s);
    sim_usb_host_wait(sim_system_usb(s), (uint64_t)ms * 1000000u);
    sim_system_unlock(s);
}

}  // namespace

void sim_usb_host_init(SimUsbHost* h, SimSystem* sys) {
    std::memset(static_cast<void*>(h), 0, sizeof *h);
    h->sys = sys;
    h->bulk = UsbBulkBackend{h,           bulk_init,   bulk_exit,   bulk_list,    bulk_free_list, bulk_device_descriptor,
                             bulk_open,   bulk_close,  bulk_string, bulk_config,  bulk_claim,     bulk_release,
                             bulk_transfer};
    h->hid = UsbHidBackend{h, hid_enumerate, hid_open, hid_write, hid_read, hid_close};
}

bool sim_usb_host_add_decoy(SimUsbHost* h, const SimUsbDecoy* d) {
    if (h->decoy_count >= SIM_HOST_MAX_DECOYS) return false;
    h->decoys[h->decoy_count++] = *d;
    return true;
}

void sim_usb_host_install(SimUsbHost* h) { usb_backend_install(&h->bulk, &h->hid); }

void sim_host_clock_init(SimHostClock* c, SimSystem* sys) {
    c->sys = sys;
    c->clock = PlatClock{clock_now, clock_sleep, c, true};
}
