// The probe as a host meets it over USB: descriptors per personality,
// endpoint operations and their faults, link time, and the counters of a
// 64 KB read done the way a minimal host driver would.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "sim/link_model_probe.h"
#include "tests/sim/dap_fake_board.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Host {
    DapFakeBoard b;
    std::unique_ptr<SimProbe> p = std::make_unique<SimProbe>();
    SimUsbKind kind;
    explicit Host(SimUsbKind k) : kind(k) {
        SimProbeConfig c;
        sim_probe_default_config(&c, k);
        c.bus = b.port();
        c.lines = b.lines();
        c.ticker = b.clock.ticker;
        EXPECT_TRUE(sim_probe_init(p.get(), &c));
    }
    SimUsbDev* u() { return &p->usb; }
    bool hid() const { return kind == SimUsbKind::V1Hid; }
    bool open() { return sim_usb_open(u()) && (hid() || sim_usb_claim(u(), 0)); }
    bool send(const Bytes& cmd) {
        Bytes out = cmd;
        if (hid()) out.insert(out.begin(), 0x00);  // hidraw: report ID first
        size_t w = 0;
        return sim_usb_write(u(), out.data(), out.size(), 100, &w) && w == out.size();
    }
    bool recv(Bytes* r, uint32_t timeout_ms = 100) {
        uint8_t buf[1024];
        size_t n = 0;
        if (!sim_usb_read(u(), buf, sizeof buf, timeout_ms, &n)) return false;
        r->assign(buf, buf + n);
        return true;
    }
    Bytes x(const Bytes& cmd) {
        Bytes r;
        EXPECT_TRUE(send(cmd));
        EXPECT_TRUE(recv(&r));
        return r;
    }
    std::string str(uint8_t index) {
        uint8_t buf[256];
        size_t n = 0;
        if (!sim_usb_descriptor(u(), 3, index, buf, sizeof buf, &n) || n < 2 || buf[1] != 3) return "";
        std::string s;
        for (size_t i = 2; i + 1 < n && i < buf[0]; i += 2) s += (char)buf[i];
        return s;
    }
};

void put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back((uint8_t)(v >> (8 * i)));
}

TEST(DapUsbDevice, DescriptorsOfEachPersonality) {
    struct Case {
        SimUsbKind kind;
        uint16_t vid, pid, mps;
        uint8_t cls, ep_type;
    } cases[] = {
        {SimUsbKind::V1Hid, 0xC251, 0xF00A, 64, 0x03, 0x03},
        {SimUsbKind::V2Bulk512, 0x0D28, 0x0204, 512, 0xFF, 0x02},
        {SimUsbKind::V2Bulk64, 0x0D28, 0x0204, 64, 0xFF, 0x02},
    };
    for (const Case& c : cases) {
        Host h(c.kind);
        uint8_t d[256];
        size_t n = 0;
        ASSERT_TRUE(sim_usb_descriptor(h.u(), 1, 0, d, sizeof d, &n));
        ASSERT_EQ(n, 18u);
        EXPECT_EQ(d[0], 18);
        EXPECT_EQ(d[1], 1);
        EXPECT_EQ(d[8] | d[9] << 8, c.vid);
        EXPECT_EQ(d[10] | d[11] << 8, c.pid);
        EXPECT_EQ(d[17], 1);  // one configuration
        ASSERT_TRUE(sim_usb_descriptor(h.u(), 2, 0, d, sizeof d, &n));
        ASSERT_EQ(n, (size_t)(d[2] | d[3] << 8));  // wTotalLength covers everything
        // Walk the descriptors: one interface, then two endpoints of the personality.
        size_t at = d[0];
        int eps = 0;
        bool saw_in = false, saw_out = false;
        while (at < n) {
            ASSERT_GE(d[at], 2);
            if (d[at + 1] == 4) {
                EXPECT_EQ(d[at + 5], c.cls);
                EXPECT_EQ(d[at + 4], 2);
                EXPECT_NE(h.str(d[at + 8]).find("CMSIS-DAP"), std::string::npos);
            }
            if (d[at + 1] == 5) {
                eps++;
                EXPECT_EQ(d[at + 3], c.ep_type);
                EXPECT_EQ(d[at + 4] | d[at + 5] << 8, c.mps);
                (d[at + 2] & 0x80 ? saw_in : saw_out) = true;
            }
            at += d[at];
        }
        EXPECT_EQ(at, n);
        EXPECT_EQ(eps, 2);
        EXPECT_TRUE(saw_in && saw_out);
        EXPECT_NE(h.str(2).find("CMSIS-DAP"), std::string::npos);
        EXPECT_EQ(h.str(0).size(), 1u);  // the language list: one LANGID
        EXPECT_FALSE(sim_usb_descriptor(h.u(), 3, 9, d, sizeof d, &n));
        bool has_report = sim_usb_descriptor(h.u(), 0x22, 0, d, sizeof d, &n);
        EXPECT_EQ(has_report, c.kind == SimUsbKind::V1Hid);
        ASSERT_TRUE(h.open());
        Bytes r = h.x({0x00, 0xFF});
        ASSERT_GE(r.size(), 4u);
        EXPECT_EQ(r[2] | r[3] << 8, c.mps);
        EXPECT_EQ(r.size(), h.hid() ? 64u : 4u);  // hidraw returns whole reports
    }
}

TEST(DapUsbDevice, OperationsRefuseWhatAHostCouldNotDo) {
    Host v2(SimUsbKind::V2Bulk512);
    size_t w = 0;
    uint8_t cmd[2] = {0x00, 0xFE};
    EXPECT_FALSE(sim_usb_write(v2.u(), cmd, 2, 10, &w));
    EXPECT_EQ(v2.u()->last, SimUsbStatus::NotOpen);
    ASSERT_TRUE(sim_usb_open(v2.u()));
    EXPECT_FALSE(sim_usb_write(v2.u(), cmd, 2, 10, &w));  // not claimed
    EXPECT_FALSE(sim_usb_claim(v2.u(), 1));
    ASSERT_TRUE(sim_usb_claim(v2.u(), 0));
    Bytes big(513, 0x00);
    EXPECT_FALSE(sim_usb_write(v2.u(), big.data(), big.size(), 10, &w));
    EXPECT_EQ(v2.u()->last, SimUsbStatus::TooBig);
    uint64_t t0 = v2.b.clock.ns;
    Bytes r;
    EXPECT_FALSE(v2.recv(&r, 20));  // nothing asked, nothing to read
    EXPECT_EQ(v2.u()->last, SimUsbStatus::Timeout);
    EXPECT_EQ(v2.b.clock.ns - t0, 20000000u);
    // Answers come in order, as many as the packet count; one more command is NAKed.
    for (uint8_t id : {0x01, 0x02, 0x03, 0x04}) ASSERT_TRUE(v2.send({0x00, id}));
    EXPECT_FALSE(v2.send({0x00, 0x09}));
    EXPECT_EQ(v2.u()->last, SimUsbStatus::Busy);
    uint8_t small[4];
    size_t n = 0;
    EXPECT_FALSE(sim_usb_read(v2.u(), small, sizeof small, 10, &n));  // too small: the answer stays
    EXPECT_EQ(v2.u()->last, SimUsbStatus::Overflow);
    for (const char* want : {"Korvane", "Korvane Sim CMSIS-DAP", "KSIM00000001", "2.1.0"}) {
        ASSERT_TRUE(v2.recv(&r));
        EXPECT_EQ(std::string((const char*)r.data() + 2), want);
    }

    Host v1(SimUsbKind::V1Hid);
    ASSERT_TRUE(sim_usb_open(v1.u()));  // hidraw: no claim needed
    uint8_t no_id[3] = {0x05, 0x00, 0xFE};
    EXPECT_FALSE(sim_usb_write(v1.u(), no_id, 3, 10, &w));  // report ID must be 0
    EXPECT_EQ(v1.u()->last, SimUsbStatus::BadReport);
    Bytes too_long(66, 0x00);
    EXPECT_FALSE(sim_usb_write(v1.u(), too_long.data(), too_long.size(), 10, &w));
}

TEST(DapUsbDevice, StaleShortFailedDroppedAndDelayedPackets) {
    Host h(SimUsbKind::V2Bulk512);
    ASSERT_TRUE(h.open());
    const Bytes stale{0x05, 0x01, 0x01, 0x11, 0x22, 0x33, 0x44};
    ASSERT_TRUE(sim_usb_inject_stale(h.u(), stale.data(), stale.size()));
    ASSERT_TRUE(h.send({0x00, 0xFE}));
    Bytes r;
    ASSERT_TRUE(h.recv(&r));
    EXPECT_EQ(r, stale);  // the old answer first
    ASSERT_TRUE(h.recv(&r));
    EXPECT_EQ(r, (Bytes{0x00, 0x01, 0x04}));

    SimUsbFaults f{};
    f.short_next_write = 3;
    sim_usb_set_faults(h.u(), &f);
    Bytes t{0x05, 0x00, 0x01, 0x05};
    put32(t, 0x20000000);
    EXPECT_FALSE(h.send(t));
    EXPECT_EQ(h.u()->last, SimUsbStatus::Short);
    ASSERT_TRUE(h.recv(&r));
    EXPECT_EQ(r, (Bytes{0x05, 0x00, 0x08}));  // the probe saw a truncated command

    f = SimUsbFaults{};
    f.fail_next_write = true;
    sim_usb_set_faults(h.u(), &f);
    EXPECT_FALSE(h.send({0x00, 0xFE}));
    EXPECT_FALSE(h.recv(&r, 5));

    f = SimUsbFaults{};
    f.drop_next_response = true;
    sim_usb_set_faults(h.u(), &f);
    EXPECT_TRUE(h.send({0x00, 0xFE}));
    EXPECT_FALSE(h.recv(&r, 5));
    EXPECT_EQ(h.x({0x00, 0xFE}), (Bytes{0x00, 0x01, 0x04}));

    f = SimUsbFaults{};
    f.response_delay_ns = 5000000;
    sim_usb_set_faults(h.u(), &f);
    ASSERT_TRUE(h.send({0x00, 0xFE}));
    EXPECT_FALSE(h.recv(&r, 2));
    EXPECT_EQ(h.u()->last, SimUsbStatus::Timeout);
    ASSERT_TRUE(h.recv(&r, 10));
    EXPECT_EQ(r, (Bytes{0x00, 0x01, 0x04}));
}

TEST(DapUsbDevice, UnplugFailsEverythingUntilReplug) {
    Host h(SimUsbKind::V1Hid);
    ASSERT_TRUE(h.open());
    EXPECT_EQ(h.x({0x02, 0x01})[1], 0x01);
    sim_usb_unplug(h.u());
    Bytes r;
    EXPECT_FALSE(h.send({0x00, 0xFE}));
    EXPECT_EQ(h.u()->last, SimUsbStatus::Unplugged);
    EXPECT_FALSE(h.recv(&r, 1));
    EXPECT_FALSE(sim_usb_open(h.u()));
    uint8_t d[64];
    size_t n = 0;
    EXPECT_FALSE(sim_usb_descriptor(h.u(), 1, 0, d, sizeof d, &n));
    sim_usb_replug(h.u());
    EXPECT_FALSE(h.send({0x00, 0xFE}));  // a new device node: open it again
    ASSERT_TRUE(h.open());
    Bytes t = h.x({0x05, 0x00, 0x01, 0x02});
    EXPECT_EQ(t[2], 0x07);  // the firmware restarted: not connected any more
}

TEST(DapUsbLink, OneExchangeCostsOneToTwoFrames) {
    for (SimUsbKind k : {SimUsbKind::V1Hid, SimUsbKind::V2Bulk512, SimUsbKind::V2Bulk64}) {
        Host h(k);
        ASSERT_TRUE(h.open());
        uint64_t frame = k == SimUsbKind::V2Bulk512 ? 125000 : 1000000;
        for (uint64_t start : {0ull, 1ull, 400000ull, 999999ull}) {
            h.b.clock.ns = start;
            uint64_t t0 = h.b.clock.ns;
            h.x({0x00, 0xFE});
            uint64_t cost = h.b.clock.ns - t0;
            EXPECT_GE(cost, frame) << int(k) << " from " << start;
            EXPECT_LE(cost, 2 * frame + 100000) << int(k) << " from " << start;
        }
    }
}

// 64 KB through the minimal driver: TAR once per 1 KB (auto-increment
// wraps there), DAP_TransferBlock with the largest read that fits.
SimProbeCounters read_64k(SimUsbKind kind, const char* name) {
    Host h(kind);
    const uint32_t base = DapFakeBoard::kRamBase + 0x10000;  // clear of the hole
    for (uint32_t i = 0; i < 0x10000; i += 4) h.b.set_word(base + i, i * 2654435761u);
    EXPECT_TRUE(h.open());
    EXPECT_EQ(h.x({0x02, 0x01})[1], 1);
    h.x({0x11, 0x80, 0x96, 0x98, 0x00});  // 10 MHz
    h.x({0x12, 0x38, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    h.x({0x12, 0x10, 0x9E, 0xE7});
    h.x({0x12, 0x38, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    Bytes setup{0x05, 0x00, 0x04, 0x02, 0x04};
    put32(setup, 0x50000000);
    setup.push_back(0x08);
    put32(setup, 0);
    setup.push_back(0x01);
    put32(setup, 0x23000052);
    EXPECT_EQ(h.x(setup)[1], 4);
    Bytes mps = h.x({0x00, 0xFF});
    unsigned packet = mps[2] | mps[3] << 8;
    unsigned max_words = (packet - 4) / 4;
    sim_probe_reset_counters(h.p.get());
    uint64_t t0 = h.b.clock.ns;

    unsigned blocks = 0, tars = 0;
    bool all_equal = true;
    for (uint32_t kb = 0; kb < 64; ++kb) {
        Bytes tar{0x05, 0x00, 0x01, 0x05};
        put32(tar, base + kb * 1024);
        EXPECT_EQ(h.x(tar)[2], 0x01);
        tars++;
        for (unsigned done = 0; done < 256;) {
            unsigned n = 256 - done < max_words ? 256 - done : max_words;
            Bytes r = h.x({0x06, 0x00, (uint8_t)n, (uint8_t)(n >> 8), 0x0F});
            EXPECT_EQ(r[1] | r[2] << 8, (int)n);
            EXPECT_EQ(r[3], 0x01);
            for (unsigned i = 0; i < n; ++i) {
                uint32_t v = (uint32_t)r[4 + 4 * i] | r[5 + 4 * i] << 8 | r[6 + 4 * i] << 16 | (uint32_t)r[7 + 4 * i] << 24;
                all_equal = all_equal && v == h.b.word(base + kb * 1024 + (done + i) * 4);
            }
            done += n;
            blocks++;
        }
    }
    EXPECT_TRUE(all_equal);
    SimProbeCounters c = sim_probe_counters(h.p.get());
    uint64_t elapsed = h.b.clock.ns - t0;
    EXPECT_EQ(c.exchanges, (uint64_t)blocks + tars);
    EXPECT_EQ(c.ap_reads, 16384u);  // n posted reads carry n-1 values...
    // ...RDBUFF gives each block's last, and confirms each TAR write.
    EXPECT_EQ(c.dp_reads, (uint64_t)blocks + tars);
    EXPECT_EQ(c.ap_writes, (uint64_t)tars);
    EXPECT_EQ(c.swd_clocks, 46 * (c.ap_reads + c.dp_reads + c.ap_writes));
    EXPECT_EQ(elapsed, c.link_ns + c.swd_ns);
    uint64_t frame = kind == SimUsbKind::V2Bulk512 ? 125000 : 1000000;
    EXPECT_GE(c.link_ns, c.exchanges * frame);
    EXPECT_LE(c.link_ns, c.exchanges * 2 * frame + c.exchanges * 400000);
    std::printf("[ counters ] 64 KB read over %s: packet %u bytes, %u words/block, %llu exchanges, "
                "%llu bytes out, %llu bytes in, DP r/w %llu/%llu, AP r/w %llu/%llu, WAIT %llu, FAULT %llu, "
                "%llu SWD clocks (%.3f ms at 10 MHz), link %.3f ms, total %.3f ms = %.1f KB/s\n",
                name, packet, max_words, (unsigned long long)c.exchanges, (unsigned long long)c.bytes_out,
                (unsigned long long)c.bytes_in, (unsigned long long)c.dp_reads, (unsigned long long)c.dp_writes,
                (unsigned long long)c.ap_reads, (unsigned long long)c.ap_writes, (unsigned long long)c.waits,
                (unsigned long long)c.faults, (unsigned long long)c.swd_clocks, c.swd_ns / 1e6, c.link_ns / 1e6,
                elapsed / 1e6, 64.0 / (elapsed / 1e9));
    return c;
}

TEST(DapUsbCounters, Read64KbOverV1AndV2) {
    SimProbeCounters v1 = read_64k(SimUsbKind::V1Hid, "v1 HID");
    SimProbeCounters v2 = read_64k(SimUsbKind::V2Bulk512, "v2 bulk 512");
    SimProbeCounters v64 = read_64k(SimUsbKind::V2Bulk64, "v2 bulk 64");
    EXPECT_EQ(v1.exchanges, 64u * (18 + 1));  // 15 words per 64-byte packet
    EXPECT_EQ(v2.exchanges, 64u * (3 + 1));   // 127 words per 512-byte packet
    EXPECT_EQ(v64.exchanges, v1.exchanges);
    EXPECT_EQ(v1.bytes_in, v1.exchanges * 64);  // whole HID reports
    EXPECT_LT(v64.bytes_in, v1.bytes_in);       // bulk answers are only as long as they are
    EXPECT_LT(v2.link_ns * 10, v1.link_ns);
}

}  // namespace
