// Probe-side test rig: a stand-in board (RAM with a hole that answers bus errors, power requests
// that ack or not, an nRESET recorder, a plain clock) behind a whole simulated probe, and helpers.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/link_model_probe.h"

using Bytes = std::vector<uint8_t>;

inline Bytes le32(uint32_t v) { return {(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)}; }
inline uint32_t get32(const Bytes& b, size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | (uint32_t)b[at + 3] << 24; }
// "05 00 01 02" or "05000102": hex bytes, spaces ignored; 'text' is its ASCII bytes.
inline Bytes H(const std::string& hex) {
    Bytes b;
    for (size_t i = 0; i < hex.size(); ++i) {
        if (hex[i] == '\'') {
            const size_t e = hex.find('\'', i + 1);
            b.insert(b.end(), hex.begin() + i + 1, hex.begin() + e);
            i = e;
        } else if (hex[i] != ' ') b.push_back((uint8_t)std::stoul(hex.substr(i++, 2), nullptr, 16));
    }
    return b;
}
// "REQ > RESP | REQ > RESP ...": each request through `x` (its flag: a '!' before REQ, the command
// must be refused) must get exactly RESP.
inline void dap_trace(const std::string& trace, const std::function<Bytes(const Bytes&, bool)>& x) {
    for (size_t at = 0, bar; at < trace.size(); at = bar + 1) {
        bar = std::min(trace.find('|', at), trace.size());
        std::string ex = trace.substr(at, bar - at), req = ex.substr(0, ex.find('>'));
        const bool refuse = req.find('!') != std::string::npos;
        if (refuse) req.erase(req.find('!'), 1);
        if (req.find_first_not_of(' ') == std::string::npos) continue;
        EXPECT_EQ(x(H(req), refuse), H(ex.substr(ex.find('>') + 1))) << "request " << req;
    }
}

struct DapFakeBoard {
    static constexpr uint32_t kRamBase = 0x20000000u, kRamSize = 0x20000u;
    static constexpr uint32_t kHoleBase = 0x20008080u, kHoleSize = 0x100u;  // faults; inside a 1 KB block
    Bytes ram = Bytes(kRamSize);
    bool power_acks = true, nreset_asserted = false;
    unsigned bus_reads = 0, bus_writes = 0, bad_size_or_align = 0;  // the last: accesses the port forbids
    SimPlainClock clock;
    DapFakeBoard() { sim_plain_clock_init(&clock); }

    static bool access(void* ctx, uint32_t a, unsigned size, uint32_t* v, bool write) {
        auto* b = static_cast<DapFakeBoard*>(ctx);
        (write ? b->bus_writes : b->bus_reads)++;
        if ((size != 1 && size != 2 && size != 4) || (a & (size - 1))) b->bad_size_or_align++;
        if (a < kRamBase || a + size > kRamBase + kRamSize || (a + size > kHoleBase && a < kHoleBase + kHoleSize))
            return false;
        for (unsigned i = 0; i < size; ++i) {
            uint8_t& m = b->ram[a - kRamBase + i];
            if (write) m = (uint8_t)(*v >> (8 * i));
            else *v = (i ? *v : 0) | (uint32_t)m << (8 * i);
        }
        return true;
    }
    SimMemPort port() {
        return {this, [](void* c, uint32_t a, unsigned s, uint32_t* v) { return access(c, a, s, v, false); },
                [](void* c, uint32_t a, unsigned s, uint32_t v) { return access(c, a, s, &v, true); }};
    }
    SimTargetLines lines() {
        return {this, [](void* c, bool on) { static_cast<DapFakeBoard*>(c)->nreset_asserted = on; },
                [](void* c, bool dbg, bool sys, bool* da, bool* sa) {
                    *da = dbg && static_cast<DapFakeBoard*>(c)->power_acks;
                    *sa = sys && static_cast<DapFakeBoard*>(c)->power_acks;
                }};
    }
    uint32_t word(uint32_t a) const { return get32(ram, a - kRamBase); }
    void set_word(uint32_t a, uint32_t v) { std::copy_n(le32(v).begin(), 4, ram.begin() + (a - kRamBase)); }
};

// The whole probe (USB device, CMSIS-DAP firmware, SW-DP) on the fake board.
struct DapRig {
    DapFakeBoard b;
    std::unique_ptr<SimProbe> p = std::make_unique<SimProbe>();
    SimUsbKind kind;
    explicit DapRig(SimUsbKind k = SimUsbKind::V2Bulk512, uint32_t dpidr = 0x2BA01477u) : kind(k) {
        SimProbeConfig c;
        sim_probe_default_config(&c, k);
        c.swd.dpidr = dpidr;
        c.bus = b.port();
        c.lines = b.lines();
        c.ticker = b.clock.ticker;
        EXPECT_TRUE(sim_probe_init(p.get(), &c));
    }
    SimSwd* s() { return &p->swd; }
    SimUsbDev* u() { return &p->usb; }
    void faults(uint32_t wait_next, uint32_t fault_at, uint32_t no_ack_at, uint32_t parity_at = 0) {
        const SimSwdFaults f{wait_next, fault_at, no_ack_at, parity_at};
        sim_swd_arm_faults(s(), &f);
    }
    Bytes x(const Bytes& req, bool want_ok = true) {  // one command straight into the firmware
        uint8_t resp[SIM_DAP_MAX_PACKET];
        size_t n = 0;
        EXPECT_EQ(sim_dap_process(&p->dap, req.data(), req.size(), resp, sizeof resp, &n), want_ok);
        return Bytes(resp, resp + n);
    }
    void run(const std::string& trace) { dap_trace(trace, [this](const Bytes& r, bool refuse) { return x(r, !refuse); }); }
    // Over USB, as a host driver does it (hidraw: report ID 0 first).
    bool open() { return sim_usb_open(u()) && (kind == SimUsbKind::V1Hid || sim_usb_claim(u(), 0)); }
    bool send(Bytes cmd) {
        if (kind == SimUsbKind::V1Hid) cmd.insert(cmd.begin(), 0x00);
        size_t w = 0;
        return sim_usb_write(u(), cmd.data(), cmd.size(), 100, &w) && w == cmd.size();
    }
    bool recv(Bytes* r, uint32_t timeout_ms = 100) {
        uint8_t buf[SIM_DAP_MAX_PACKET];
        size_t n = 0;
        bool ok = sim_usb_read(u(), buf, sizeof buf, timeout_ms, &n);
        r->assign(buf, buf + n);
        return ok;
    }
    Bytes ux(const Bytes& cmd) {
        Bytes r;
        EXPECT_TRUE(send(cmd) && recv(&r));
        return r;
    }
};
