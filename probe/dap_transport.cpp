// Finding and opening a CMSIS-DAP probe, and exchanging one packet with it.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/usb.h"
#include "probe/dap_priv.h"
#include "platform/log_store.h"

DapContext g_dap_ctx;

const uint16_t g_dap_known_probes[DAP_KNOWN_PROBE_COUNT][2] = {
    {0x0D28, 0x0204}, {0x0D28, 0x0205}, {0x1FC9, 0x0143}, {0x0483, 0x374B}, {0x0483, 0x374E}, {0x1366, 0x0101},
    {0x03EB, 0x2141}, {0x2341, 0x003D}, {0x04B4, 0xF139}, {0x2E8A, 0x000C}, {0x2E8A, 0x0004},
};

static const unsigned kUsbTimeoutMs = 2000;
static const int kBulkAttempts = 32;
static const int kDrainReads = 64;

bool dap_known_probe(uint16_t vid, uint16_t pid) {
    for (const auto& p : g_dap_known_probes)
        if (p[0] == vid && p[1] == pid) return true;
    return false;
}

bool product_is_cmsis_dap(const char* product, size_t cap) {
    static const char kName[] = "CMSIS-DAP";
    const size_t n = sizeof kName - 1;
    if (!product) return false;
    for (size_t i = 0; i < cap && product[i]; ++i) {
        if (product[i] != 'C' && product[i] != 'c') continue;
        size_t k = 0;
        while (k < n && i + k < cap && product[i + k] &&
               std::toupper((unsigned char)product[i + k]) == (unsigned char)kName[k])
            ++k;
        if (k == n) return true;
    }
    return false;
}

static void reset_context_state(DapContext* ctx) {
    ctx->cur_apsel = 0xFF;
    ctx->cur_apbank = 0xFF;
    ctx->csw_valid = false;
    ctx->disconnected = false;
    ctx->open = true;
    ctx->in_len = 0;
    // Until DAP_Info says otherwise: what every probe of the kind carries.
    ctx->packet_size = ctx->is_v2 ? 512 : 64;
    ctx->packet_count = 1;
}

bool dap_probe_present() {
    const UsbHidBackend* hb = usb_hid_backend();
    static UsbHidDeviceInfo s_list[USB_MAX_HID_DEVICES];
    int n = hb->enumerate(hb->ctx, s_list, (int)USB_MAX_HID_DEVICES);
    for (int i = 0; i < n; ++i)
        if (dap_known_probe(s_list[i].vid, s_list[i].pid) || product_is_cmsis_dap(s_list[i].product, sizeof s_list[i].product))
            return true;
    const UsbBulkBackend* bb = usb_bulk_backend();
    void* bus = nullptr;
    if (bb->init(bb->ctx, &bus) != USB_OK) return false;
    void* list = nullptr;
    bool found = false;
    n = bb->get_device_list(bus, &list);
    for (int i = 0; i < n && !found; ++i) {
        UsbDeviceDesc dd;
        if (bb->get_device_descriptor(list, i, &dd) != USB_OK) continue;
        if (dap_known_probe(dd.vid, dd.pid)) {
            found = true;
            break;
        }
        void* h = nullptr;
        if (!dd.i_product || bb->open(list, i, &h) != USB_OK) continue;
        char prod[256];
        found = bb->get_string_ascii(h, dd.i_product, prod, (int)sizeof prod) > 0 && product_is_cmsis_dap(prod, sizeof prod);
        bb->close(h);
    }
    if (n >= 0) bb->free_device_list(list);
    bb->exit(bus);
    return found;
}

// --- v1 (HID) ------------------------------------------------------------------

DapContext* dap_open(uint16_t vid, uint16_t pid) {
    DapContext* ctx = &g_dap_ctx;
    if (ctx->open) return nullptr;
    const UsbHidBackend* hb = usb_hid_backend();
    static UsbHidDeviceInfo s_list[USB_MAX_HID_DEVICES];
    int n = hb->enumerate(hb->ctx, s_list, (int)USB_MAX_HID_DEVICES);
    for (int i = 0; i < n; ++i) {
        const UsbHidDeviceInfo& d = s_list[i];
        bool match = (vid || pid) ? (d.vid == vid && d.pid == pid)
                                  : (dap_known_probe(d.vid, d.pid) || product_is_cmsis_dap(d.product, sizeof d.product));
        if (!match) continue;
        // Matched on the enumeration's attributes first: opening every HID
        // node (keyboards included) only to look at it is not needed here.
        void* h = hb->open_path(hb->ctx, d.path);
        if (!h) continue;
        ctx->hid = h;
        ctx->usb_dev = nullptr;
        ctx->usb_ctx = nullptr;
        ctx->is_v2 = false;
        reset_context_state(ctx);
        return ctx;
    }
    return nullptr;
}

static bool hid_transfer(DapContext* ctx, int cmd_len) {
    if (!dap_send(ctx, ctx->pkt_out + 1, cmd_len)) return false;
    // hidraw hands back the report without its ID byte.
    int r = usb_hid_backend()->read(ctx->hid, ctx->pkt_in + 1, 64, kUsbTimeoutMs);
    if (r <= 0) {
        ctx->disconnected = true;
        return false;
    }
    ctx->pkt_in[0] = 0;
    ctx->in_len = (uint16_t)r;
    return ctx->pkt_in[1] == ctx->pkt_out[1];
}

// --- v2 (bulk) ------------------------------------------------------------------

static bool interface_is_cmsis_dap(const UsbBulkBackend* bb, void* h, const UsbAltSetting& a, char* name, int cap) {
    if (a.cls != 0xFF || a.subclass != 0 || a.protocol != 0 || a.i_interface == 0) return false;
    int n = bb->get_string_ascii(h, a.i_interface, name, cap);
    return n > 0 && product_is_cmsis_dap(name, (size_t)cap);
}

// Each read waits up to timeout_ms for an answer that may not be there: only
// at open and close, and to resynchronise after a lost answer, never as part
// of a transfer (every answer a transfer is owed, it reads).
static void drain_in(DapContext* ctx, int reads, int len, unsigned timeout_ms, bool stop_on_empty, int* flushed) {
    const UsbBulkBackend* bb = usb_bulk_backend();
    uint8_t scratch[DAP_PKT_BUF];
    for (int i = 0; i < reads; ++i) {
        int got = 0;
        int r = bb->bulk_transfer(ctx->usb_dev, ctx->bulk_ep_in, scratch, len, &got, timeout_ms);
        if (r != USB_OK || (stop_on_empty && got == 0)) break;
        if (flushed) ++*flushed;
    }
}

DapContext* dap_open_v2(uint16_t vid, uint16_t pid) {
    DapContext* ctx = &g_dap_ctx;
    if (ctx->open) return nullptr;
    const UsbBulkBackend* bb = usb_bulk_backend();
    void* bus = nullptr;
    if (bb->init(bb->ctx, &bus) != USB_OK) {
        log_add_line(&logv, "[DAPv2] libusb_init failed");
        return nullptr;
    }
    void* list = nullptr;
    int n = bb->get_device_list(bus, &list);
    if (n < 0) {
        log_add_line(&logv, "[DAPv2] libusb_get_device_list failed");
        bb->exit(bus);
        return nullptr;
    }
    void* chosen = nullptr;
    uint8_t ep_in = 0, ep_out = 0, iface = 0;
    for (int i = 0; i < n && !chosen; ++i) {
        UsbDeviceDesc dd;
        if (bb->get_device_descriptor(list, i, &dd) != USB_OK) continue;
        bool candidate = (vid || pid) ? (dd.vid == vid && dd.pid == pid) : dap_known_probe(dd.vid, dd.pid);
        void* h = nullptr;
        if (bb->open(list, i, &h) != USB_OK) continue;
        if (!candidate && dd.i_product) {
            char prod[256];
            if (bb->get_string_ascii(h, dd.i_product, prod, (int)sizeof prod) > 0)
                candidate = product_is_cmsis_dap(prod, sizeof prod);
        }
        if (!candidate) {
            bb->close(h);
            continue;
        }
        static UsbConfigDesc s_cfg;
        if (bb->get_active_config(h, &s_cfg) != USB_OK) {
            bb->close(h);
            continue;
        }
        for (int a = 0; a < s_cfg.num_alts && !chosen; ++a) {
            const UsbAltSetting& alt = s_cfg.alts[a];
            char name[256];
            if (!interface_is_cmsis_dap(bb, h, alt, name, (int)sizeof name)) continue;
            log_addf(&logv, "[DAPv2] CMSIS-DAP interface found: iface=%u str=\"%.200s\"",
                     (unsigned)alt.interface_number, name);
            uint8_t in = 0, out = 0;
            for (int e = 0; e < alt.num_endpoints; ++e) {
                const UsbEndpointDesc& ep = alt.ep[e];
                if ((ep.attributes & 3) != 2) continue;
                if (ep.address & 0x80) in = ep.address;
                else out = ep.address;
            }
            if (!in || !out) continue;
            if (bb->claim_interface(h, alt.interface_number) != USB_OK) continue;
            chosen = h;
            ep_in = in;
            ep_out = out;
            iface = alt.interface_number;
        }
        if (!chosen) bb->close(h);
    }
    bb->free_device_list(list);
    if (!chosen) {
        bb->exit(bus);
        return nullptr;
    }
    ctx->usb_dev = chosen;
    ctx->usb_ctx = bus;
    ctx->bulk_ep_out = ep_out;
    ctx->bulk_ep_in = ep_in;
    ctx->bulk_interface = iface;
    ctx->is_v2 = true;
    ctx->hid = nullptr;
    reset_context_state(ctx);
    log_add_line(&logv, "[DAPv2] Bulk device opened (CMSIS-DAP v2)");
    // Answers left over from an earlier session would pair with our commands.
    drain_in(ctx, kDrainReads, DAP_PKT_BUF, 1, false, nullptr);
    ctx->disconnected = false;
    return ctx;
}

static bool bulk_send(DapContext* ctx, int cmd_len, int* sent, int* err) {
    const UsbBulkBackend* bb = usb_bulk_backend();
    *sent = 0;
    *err = bb->bulk_transfer(ctx->usb_dev, ctx->bulk_ep_out, ctx->pkt_out + 1, cmd_len, sent, kUsbTimeoutMs);
    return *err == USB_OK && *sent == cmd_len;
}

static bool bulk_transfer(DapContext* ctx, int cmd_len) {
    const UsbBulkBackend* bb = usb_bulk_backend();
    char line[128];
    if (!dap_send(ctx, ctx->pkt_out + 1, cmd_len)) return false;
    const uint8_t cmd = ctx->pkt_out[1];
    int sent = 0, err = 0;
    // Sending these twice would repeat target writes.
    bool write_unsafe = cmd == 0x05 || cmd == 0x06 || cmd == 0x08;
    for (int attempt = 0; attempt < kBulkAttempts; ++attempt) {
        int got = 0;
        int r = bb->bulk_transfer(ctx->usb_dev, ctx->bulk_ep_in, ctx->pkt_in + 1, 512, &got, kUsbTimeoutMs);
        if (r != USB_OK || got == 0) {
            std::snprintf(line, 96, "[DAP] bulk IN fail: cmd=0x%02X got=%d err=%d (%s)", cmd, got, r, usb_error_name(r));
            log_add_line(&logv, line);
            ctx->disconnected = true;
            return false;
        }
        ctx->in_len = (uint16_t)got;
        if (ctx->pkt_in[1] == cmd) return true;
        std::snprintf(line, 128, "[DAP] IN mismatch: sent=0x%02X got=0x%02X transferred=%d write_unsafe=%d attempt=%d",
                      cmd, ctx->pkt_in[1], got, write_unsafe ? 1 : 0, attempt);
        log_add_line(&logv, line);
        if (write_unsafe) {
            std::snprintf(line, 96, "[DAP] draining stale echo=0x%02X before WRITE reply (attempt %d)", ctx->pkt_in[1],
                          attempt);
            log_add_line(&logv, line);
            continue;
        }
        std::snprintf(line, 96, "[DAP] re-sending OUT to pump FIFO (attempt %d)", attempt);
        log_add_line(&logv, line);
        if (!bulk_send(ctx, cmd_len, &sent, &err)) {
            log_add_line(&logv, "[DAP] bulk re-send OUT failed during stale recovery");
            ctx->disconnected = true;
            return false;
        }
    }
    std::snprintf(line, 96, "[DAP] echo mismatch after %d pumps: sent=0x%02X got=0x%02X", kBulkAttempts, cmd,
                  ctx->pkt_in[1]);
    log_add_line(&logv, line);
    return false;
}

bool dap_io(DapContext* ctx, int cmd_len) {
    if (!ctx || !ctx->open || cmd_len < 1) return false;
    // Never past the packet buffer, and never more than one packet of this probe.
    int limit = ctx->is_v2 ? (ctx->packet_size < 512 ? ctx->packet_size : 512) : 64;
    if (cmd_len > limit) return false;
    ctx->in_len = 0;
    return ctx->is_v2 ? bulk_transfer(ctx, cmd_len) : hid_transfer(ctx, cmd_len);
}

bool dap_send(DapContext* ctx, const uint8_t* cmd, int len) {
    if (!ctx || !ctx->open || len < 1 || len > dap_packet_limit(ctx)) return false;
    if (!ctx->is_v2) {
        if (!ctx->hid) return ctx->disconnected = true, false;
        uint8_t report[65] = {};
        std::memcpy(report + 1, cmd, (size_t)len);
        if (usb_hid_backend()->write(ctx->hid, report, 65, kUsbTimeoutMs) < 65) return ctx->disconnected = true, false;
        return true;
    }
    if (!ctx->usb_dev) return ctx->disconnected = true, false;
    int sent = 0;
    int err = usb_bulk_backend()->bulk_transfer(ctx->usb_dev, ctx->bulk_ep_out, const_cast<uint8_t*>(cmd), len, &sent,
                                                kUsbTimeoutMs);
    if (err != USB_OK || sent != len) {
        log_addf(&logv, "[DAP] bulk OUT fail: cmd=0x%02X len=%d sent=%d err=%d (%s)", cmd[0], len, sent, err,
                 usb_error_name(err));
        return ctx->disconnected = true, false;
    }
    return true;
}

bool dap_recv(DapContext* ctx, uint8_t cmd) {
    if (!ctx || !ctx->open) return false;
    ctx->in_len = 0;
    int got = 0;
    if (!ctx->is_v2) {
        got = ctx->hid ? usb_hid_backend()->read(ctx->hid, ctx->pkt_in + 1, 64, kUsbTimeoutMs) : 0;
    } else if (ctx->usb_dev) {
        int r = usb_bulk_backend()->bulk_transfer(ctx->usb_dev, ctx->bulk_ep_in, ctx->pkt_in + 1, 512, &got, kUsbTimeoutMs);
        if (r != USB_OK) got = 0;
    }
    if (got <= 0) {
        log_addf(&logv, "[DAP] No answer to command 0x%02X in flight", cmd);
        return ctx->disconnected = true, false;
    }
    ctx->pkt_in[0] = 0;
    ctx->in_len = (uint16_t)got;
    if (ctx->pkt_in[1] == cmd) return true;
    // Answers and commands no longer pair up: what follows cannot be trusted.
    log_addf(&logv, "[DAP] Answer 0x%02X to command 0x%02X in flight", ctx->pkt_in[1], cmd);
    return ctx->disconnected = true, false;
}

bool dap_is_disconnected() { return g_dap_ctx.disconnected.exchange(false); }

void dap_sync_pipeline(DapContext* ctx) {
    if (!ctx || !ctx->open || !ctx->is_v2 || !ctx->usb_dev) return;
    const UsbBulkBackend* bb = usb_bulk_backend();
    int flushed = 0;
    drain_in(ctx, kDrainReads, 512, 1, true, &flushed);
    uint8_t hs[7] = {0x10, 0, 0, 0, 0, 0, 0};
    int sent = 0;
    int r = bb->bulk_transfer(ctx->usb_dev, ctx->bulk_ep_out, hs, (int)sizeof hs, &sent, kUsbTimeoutMs);
    if (r != USB_OK || sent != (int)sizeof hs) {
        log_add_line(&logv, "[DAP] sync_pipeline: handshake OUT failed");
        ctx->disconnected = true;
        return;
    }
    uint8_t buf[512];
    for (int i = 0; i < 32; ++i) {
        int got = 0;
        r = bb->bulk_transfer(ctx->usb_dev, ctx->bulk_ep_in, buf, (int)sizeof buf, &got, kUsbTimeoutMs);
        if (r != USB_OK || got == 0) {
            log_add_line(&logv, "[DAP] sync_pipeline: handshake IN failed");
            ctx->disconnected = true;
            return;
        }
        if (buf[0] == 0x10) break;
        ++flushed;
    }
    if (flushed) log_addf(&logv, "[DAP] sync_pipeline: flushed %d stale packet(s)", flushed);
    ap_cache_invalidate(ctx);
}

void dap_drain_bulk(DapContext* ctx) {
    if (!ctx || !ctx->open || !ctx->is_v2 || !ctx->usb_dev) return;
    int flushed = 0;
    drain_in(ctx, kDrainReads, DAP_PKT_BUF, 1, false, &flushed);
    log_addf(&logv, "[DAP] drain_bulk: flushed %d packet(s)", flushed);
    ap_cache_invalidate(ctx);
}

void dap_drain_bulk_timeout(DapContext* ctx, unsigned timeout_ms) {
    if (!ctx || !ctx->open || !ctx->is_v2 || !ctx->usb_dev) return;
    drain_in(ctx, kDrainReads, DAP_PKT_BUF, timeout_ms, false, nullptr);
}

void dap_close(DapContext* ctx) {
    if (!ctx || !ctx->open) return;
    if (ctx->is_v2) {
        const UsbBulkBackend* bb = usb_bulk_backend();
        if (ctx->usb_dev) {
            drain_in(ctx, kDrainReads, DAP_PKT_BUF, 1, false, nullptr);
            bb->release_interface(ctx->usb_dev, ctx->bulk_interface);
            bb->close(ctx->usb_dev);
            ctx->usb_dev = nullptr;
        }
        if (ctx->usb_ctx) {
            bb->exit(ctx->usb_ctx);
            ctx->usb_ctx = nullptr;
        }
        ctx->is_v2 = false;
    } else if (ctx->hid) {
        usb_hid_backend()->close(ctx->hid);
        ctx->hid = nullptr;
    }
    ctx->open = false;
    ctx->mcu.has_debug_mailbox = false;
}
