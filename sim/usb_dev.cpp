#include "sim/usb_dev.h"

#include <cstdio>
#include <cstring>

static bool is_hid(const SimUsbDev* u) { return u->cfg.kind == SimUsbKind::V1Hid; }

void sim_usb_default_config(SimUsbConfig* c, SimUsbKind kind) {
    std::memset(c, 0, sizeof *c);
    c->kind = kind;
    bool v1 = kind == SimUsbKind::V1Hid;
    c->vid = v1 ? 0xC251 : 0x0D28;
    c->pid = v1 ? 0xF00A : 0x0204;
    c->bcd_device = 0x0100;
    std::snprintf(c->manufacturer, sizeof c->manufacturer, "Korvane");
    std::snprintf(c->product, sizeof c->product, "Korvane Sim CMSIS-DAP");
    std::snprintf(c->serial, sizeof c->serial, "KSIM00000001");
    std::snprintf(c->interface_name, sizeof c->interface_name, v1 ? "Korvane Sim CMSIS-DAP v1" : "Korvane Sim CMSIS-DAP v2");
}

bool sim_usb_init(SimUsbDev* u, const SimUsbConfig* c, SimDap* dap, SimTicker ticker) {
    std::memset(u, 0, sizeof *u);
    u->cfg = *c;
    u->dap = dap;
    u->ticker = ticker;
    u->plugged = true;
    if (!dap || !ticker.advance || !ticker.now_ns) return false;
    // The firmware's packets must fit the endpoint they travel through.
    return dap->cfg.packet_size == sim_usb_packet_size(u) && dap->cfg.packet_count + 1u <= SIM_USB_QUEUE;
}

uint16_t sim_usb_packet_size(const SimUsbDev* u) { return u->cfg.kind == SimUsbKind::V2Bulk512 ? 512 : 64; }

// --- descriptors -----------------------------------------------------------

static const uint8_t kHidReport[] = {
    0x06, 0x00, 0xFF,  // usage page: vendor 0xFF00
    0x09, 0x01,        // usage 1
    0xA1, 0x01,        // collection: application
    0x15, 0x00,        // logical minimum 0
    0x26, 0xFF, 0x00,  // logical maximum 255
    0x75, 0x08,        // report size 8 bits
    0x95, 0x40,        // report count 64
    0x09, 0x01,        // usage 1
    0x81, 0x02,        // input: data, variable, absolute
    0x95, 0x40,        // report count 64
    0x09, 0x01,        // usage 1
    0x91, 0x02,        // output: data, variable, absolute
    0xC0,              // end collection
};

namespace {
struct Buf {
    uint8_t* p;
    size_t cap;
    size_t len;
    void put(uint8_t v) {
        if (len < cap) p[len] = v;
        len++;
    }
    void put16(uint16_t v) {
        put((uint8_t)v);
        put((uint8_t)(v >> 8));
    }
};
}  // namespace

static void endpoint(Buf* b, uint8_t addr, uint8_t attr, uint16_t size, uint8_t interval) {
    b->put(7);
    b->put(5);
    b->put(addr);
    b->put(attr);
    b->put16(size);
    b->put(interval);
}

static void config_descriptor(const SimUsbDev* u, Buf* b) {
    bool hid = is_hid(u);
    uint16_t total = 9 + 9 + (hid ? 9 : 0) + 7 + 7;
    b->put(9);
    b->put(2);
    b->put16(total);
    b->put(1);     // interfaces
    b->put(1);     // bConfigurationValue
    b->put(0);     // iConfiguration
    b->put(0x80);  // bus powered
    b->put(50);    // 100 mA
    b->put(9);
    b->put(4);
    b->put(0);  // interface 0
    b->put(0);  // alternate 0
    b->put(2);  // endpoints
    b->put(hid ? 0x03 : 0xFF);
    b->put(0);
    b->put(0);
    b->put(4);  // iInterface
    if (hid) {
        b->put(9);
        b->put(0x21);
        b->put16(0x0111);
        b->put(0);
        b->put(1);
        b->put(0x22);
        b->put16(sizeof kHidReport);
        endpoint(b, 0x81, 0x03, 64, 1);
        endpoint(b, 0x01, 0x03, 64, 1);
    } else {
        uint16_t mps = sim_usb_packet_size(u);
        endpoint(b, 0x01, 0x02, mps, 0);
        endpoint(b, 0x81, 0x02, mps, 0);
    }
}

static void string_descriptor(const char* s, Buf* b) {
    size_t n = std::strlen(s);
    if (n > 126) n = 126;
    b->put((uint8_t)(2 + 2 * n));
    b->put(3);
    for (size_t i = 0; i < n; ++i) b->put16((uint8_t)s[i]);  // ASCII as UTF-16LE
}

bool sim_usb_descriptor(const SimUsbDev* u, uint8_t type, uint8_t index, uint8_t* buf, size_t cap, size_t* len) {
    *len = 0;
    if (!u->plugged) return false;
    Buf b{buf, cap, 0};
    switch (type) {
    case 1:
        if (index != 0) return false;
        b.put(18);
        b.put(1);
        b.put16(0x0200);
        b.put(0);  // class per interface
        b.put(0);
        b.put(0);
        b.put(64);  // endpoint 0 max packet
        b.put16(u->cfg.vid);
        b.put16(u->cfg.pid);
        b.put16(u->cfg.bcd_device);
        b.put(1);
        b.put(2);
        b.put(3);
        b.put(1);
        break;
    case 2:
        if (index != 0) return false;
        config_descriptor(u, &b);
        break;
    case 3:
        switch (index) {
        case 0:
            b.put(4);
            b.put(3);
            b.put16(0x0409);
            break;
        case 1: string_descriptor(u->cfg.manufacturer, &b); break;
        case 2: string_descriptor(u->cfg.product, &b); break;
        case 3: string_descriptor(u->cfg.serial, &b); break;
        case 4: string_descriptor(u->cfg.interface_name, &b); break;
        default: return false;
        }
        break;
    case 0x22:
        if (!is_hid(u) || index != 0) return false;
        for (uint8_t v : kHidReport) b.put(v);
        break;
    default: return false;
    }
    // Like a control transfer with a short wLength: the host gets the start.
    *len = b.len < cap ? b.len : cap;
    return true;
}

// --- operations ------------------------------------------------------------

static bool fail(SimUsbDev* u, SimUsbStatus s) {
    u->last = s;
    return false;
}

// The host's time passes; the board runs only past what the probe did ahead.
static void spend(SimUsbDev* u, uint64_t ns) {
    if (ns <= u->lead_ns) {
        u->lead_ns -= ns;
        return;
    }
    ns -= u->lead_ns;
    u->lead_ns = 0;
    u->counters.link_ns += ns;
    u->ticker.advance(u->ticker.ctx, ns);
}

static uint64_t now(const SimUsbDev* u) { return u->ticker.now_ns(u->ticker.ctx) - u->lead_ns; }

uint64_t sim_usb_host_now(const SimUsbDev* u) { return now(u); }

void sim_usb_host_wait(SimUsbDev* u, uint64_t ns) {
    const uint64_t link = u->counters.link_ns;
    spend(u, ns);
    u->counters.link_ns = link;  // the host's own wait, not the link's
}

// HID: the kernel polls the IN endpoint every frame whether or not anybody
// reads, and keeps the reports; the probe's buffer is free once it was polled.
static int unpolled(const SimUsbDev* u, uint64_t t) {
    int n = 0;
    for (unsigned i = 0; i < u->count; ++i) n += u->queue[(u->head + i) % SIM_USB_QUEUE].in_ns > t;
    return n;
}

bool sim_usb_open(SimUsbDev* u) {
    if (!sim_usb_plugged(u)) return fail(u, SimUsbStatus::Unplugged);
    u->opened = true;
    u->opened_at_ns = now(u);
    u->last = SimUsbStatus::Ok;
    return true;
}

bool sim_usb_claim(SimUsbDev* u, uint8_t interface_number) {
    if (!u->plugged) return fail(u, SimUsbStatus::Unplugged);
    if (!u->opened || interface_number != 0) return fail(u, SimUsbStatus::NotOpen);
    u->claimed = true;
    u->last = SimUsbStatus::Ok;
    return true;
}

void sim_usb_close(SimUsbDev* u) {
    u->opened = false;
    u->claimed = false;
}

static bool ready_for_io(SimUsbDev* u) {
    if (!u->plugged) return fail(u, SimUsbStatus::Unplugged);
    // hidraw needs only an open node; bulk endpoints need the claimed interface.
    if (!u->opened || (!is_hid(u) && !u->claimed)) return fail(u, SimUsbStatus::NotOpen);
    return true;
}

bool sim_usb_write(SimUsbDev* u, const uint8_t* data, size_t n, uint32_t timeout_ms, size_t* written) {
    *written = 0;
    if (!ready_for_io(u)) return false;
    uint8_t packet[SIM_DAP_MAX_PACKET];
    size_t len;
    if (is_hid(u)) {
        if (n < 2 || n > 65 || data[0] != 0) return fail(u, SimUsbStatus::BadReport);  // no report IDs
        std::memset(packet, 0, 64);
        std::memcpy(packet, data + 1, n - 1);
        len = 64;
    } else {
        if (n == 0 || n > sim_usb_packet_size(u)) return fail(u, SimUsbStatus::TooBig);
        std::memcpy(packet, data, n);
        len = n;
    }
    if (u->faults.fail_next_write) {
        u->faults.fail_next_write = false;
        spend(u, (uint64_t)timeout_ms * 1000000);
        return fail(u, SimUsbStatus::Timeout);
    }
    if (is_hid(u) && u->count < SIM_USB_QUEUE && unpolled(u, now(u)) >= (int)u->dap->cfg.packet_count) {
        // The OUT is NAKed until the next poll takes an answer off the probe.
        for (unsigned i = 0; i < u->count; ++i) {
            const SimUsbPacket& p = u->queue[(u->head + i) % SIM_USB_QUEUE];
            if (p.in_ns > now(u)) {
                spend(u, p.in_ns - now(u));
                break;
            }
        }
    }
    const int held = is_hid(u) ? unpolled(u, now(u)) : (int)u->count;
    if (held >= (int)u->dap->cfg.packet_count || u->count >= SIM_USB_QUEUE) {
        // Every command buffer holds an unread answer: the probe NAKs.
        spend(u, (uint64_t)timeout_ms * 1000000);
        return fail(u, SimUsbStatus::Busy);
    }
    size_t deliver = len;
    bool is_short = false;
    if (u->faults.short_next_write) {
        if (u->faults.short_next_write < len) {
            deliver = u->faults.short_next_write;
            is_short = true;
        }
        u->faults.short_next_write = 0;
    }
    uint64_t frame = sim_link_frame_ns(u->cfg.kind);
    spend(u, sim_link_next_frame(now(u), frame) - now(u) + sim_link_wire_ns(u->cfg.kind, deliver));
    u->counters.exchanges++;
    u->counters.bytes_out += deliver;

    SimUsbPacket& slot = u->queue[(u->head + u->count) % SIM_USB_QUEUE];
    size_t resp_len = 0;
    // The probe takes commands in order: this one starts when it arrived or
    // when the one before ended, whichever is later, and the host need not
    // wait for it.
    const uint64_t board0 = u->ticker.now_ns(u->ticker.ctx);
    sim_dap_process(u->dap, packet, deliver, slot.data, sizeof slot.data, &resp_len);
    const uint64_t board1 = u->ticker.now_ns(u->ticker.ctx);
    u->lead_ns += board1 - board0;
    bool drop = u->faults.drop_next_response;
    u->faults.drop_next_response = false;
    if (u->faults.drop_nth_response && --u->faults.drop_nth_response == 0) drop = true;
    if (resp_len > 0 && !drop) {
        slot.len = (uint16_t)resp_len;
        slot.ready_ns = board1 + u->faults.response_delay_ns;
        slot.in_ns = 0;
        if (is_hid(u)) {
            const uint64_t first = sim_link_next_frame(slot.ready_ns, frame);
            const uint64_t at = first > u->in_next_ns ? first : u->in_next_ns;
            slot.in_ns = at + sim_link_wire_ns(u->cfg.kind, 64);
            u->in_next_ns = at + frame;
        }
        u->count++;
    }
    // hidraw reports what the caller passed; the report itself is padded.
    *written = !is_hid(u) ? deliver : is_short ? deliver + 1 : n;
    if (is_short) return fail(u, SimUsbStatus::Short);
    u->last = SimUsbStatus::Ok;
    return true;
}

bool sim_usb_read(SimUsbDev* u, uint8_t* buf, size_t cap, uint32_t timeout_ms, size_t* got) {
    *got = 0;
    if (!ready_for_io(u)) return false;
    uint64_t t = now(u), limit = t + (uint64_t)timeout_ms * 1000000;
    if (u->count == 0 || u->queue[u->head].ready_ns > limit) {
        spend(u, limit - t);
        return fail(u, SimUsbStatus::Timeout);
    }
    SimUsbPacket& p = u->queue[u->head];
    size_t len = is_hid(u) ? 64 : p.len;
    if (cap < len) return fail(u, SimUsbStatus::Overflow);  // the answer stays queued
    uint64_t ready = p.ready_ns > t ? p.ready_ns : t;
    // Bulk: the host asks for the answer only now. HID: it was polled already.
    uint64_t at = is_hid(u) ? (p.in_ns > t ? p.in_ns : t)
                            : sim_link_next_frame(ready, sim_link_frame_ns(u->cfg.kind)) + sim_link_wire_ns(u->cfg.kind, len);
    if (at > limit) {
        spend(u, limit - t);
        return fail(u, SimUsbStatus::Timeout);
    }
    spend(u, at - t);
    std::memset(buf, 0, len);
    std::memcpy(buf, p.data, p.len < len ? p.len : len);
    u->head = (u->head + 1) % SIM_USB_QUEUE;
    u->count--;
    u->counters.bytes_in += len;
    *got = len;
    u->last = SimUsbStatus::Ok;
    return true;
}

void sim_usb_set_faults(SimUsbDev* u, const SimUsbFaults* f) { u->faults = *f; }

bool sim_usb_inject_stale(SimUsbDev* u, const uint8_t* data, size_t n) {
    if (u->count >= SIM_USB_QUEUE || n == 0 || n > sim_usb_packet_size(u)) return false;
    u->head = (u->head + SIM_USB_QUEUE - 1) % SIM_USB_QUEUE;
    SimUsbPacket& p = u->queue[u->head];
    std::memcpy(p.data, data, n);
    p.len = (uint16_t)n;
    p.ready_ns = 0;
    u->count++;
    return true;
}

void sim_usb_unplug(SimUsbDev* u) {
    u->plugged = false;
    u->opened = false;
    u->claimed = false;
    u->count = 0;
}

void sim_usb_replug_at(SimUsbDev* u, uint64_t at_ns) { u->replug_at_ns = at_ns; }

bool sim_usb_plugged(SimUsbDev* u) {
    if (!u->plugged && u->replug_at_ns && now(u) >= u->replug_at_ns) sim_usb_replug(u);
    return u->plugged;
}

void sim_usb_replug(SimUsbDev* u) {
    u->replug_at_ns = 0;
    u->plugged = true;
    u->count = 0;
    u->faults = SimUsbFaults{};
    sim_dap_reset(u->dap);
}
