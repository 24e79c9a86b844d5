// The probe as a host meets it over USB: descriptors per personality,
// endpoint operations and their faults, link time and counters, and a real
// objcopy image through the whole probe.
#include <string>

#include "tests/symbols/oracle.h"
#include "tests/sim/dap_fake_board.h"

namespace {

const SimUsbKind kAll[] = {SimUsbKind::V1Hid, SimUsbKind::V2Bulk512, SimUsbKind::V2Bulk64};

Bytes desc(DapRig& h, uint8_t type, uint8_t index, size_t cap = 256) {
    uint8_t d[256];
    size_t n = 0;
    return sim_usb_descriptor(h.u(), type, index, d, cap, &n) ? Bytes(d, d + n) : Bytes{};
}
void expect_refused(DapRig& h, bool ok, SimUsbStatus st) {
    EXPECT_FALSE(ok);
    EXPECT_EQ(h.u()->last, st);
}

TEST(DapUsbDevice, DescriptorsOfEachPersonality) {
    // Device and configuration descriptors as USB 2.0 lays them out: HID class with a HID descriptor
    // (report descriptor of 27 bytes) and interrupt endpoints, or vendor class with bulk endpoints.
    const char* dev[] = {"12 01 0002 00 00 00 40 51C2 0AF0 0001 01 02 03 01", "12 01 0002 00 00 00 40 280D 0402 0001 01 02 03 01"};
    const char* cfg[] = {
        "09 02 2900 01 01 00 80 32 09 04 00 00 02 03 00 00 04 09 21 1101 00 01 22 1B00 07 05 81 03 4000 01 07 05 01 03 4000 01",
        "09 02 2000 01 01 00 80 32 09 04 00 00 02 FF 00 00 04 07 05 01 02 0002 00 07 05 81 02 0002 00",
        "09 02 2000 01 01 00 80 32 09 04 00 00 02 FF 00 00 04 07 05 01 02 4000 00 07 05 81 02 4000 00"};
    for (int i = 0; i < 3; ++i) {
        DapRig h(kAll[i]);
        const bool hid = i == 0;
        const Bytes full = H(dev[hid ? 0 : 1]);
        EXPECT_EQ(desc(h, 1, 0), full);
        EXPECT_EQ(desc(h, 1, 0, 8), Bytes(full.begin(), full.begin() + 8));  // a short wLength gets the start
        EXPECT_EQ(desc(h, 2, 0), H(cfg[i]));
        EXPECT_EQ(desc(h, 3, 0), H("04 03 0904"));  // LANGID en-US
        const std::string names[] = {"Korvane", "Korvane Sim CMSIS-DAP", "KSIM00000001",
                                     hid ? "Korvane Sim CMSIS-DAP v1" : "Korvane Sim CMSIS-DAP v2"};
        for (uint8_t s = 1; s <= 4; ++s) {  // ASCII as UTF-16LE
            Bytes want{(uint8_t)(2 + 2 * names[s - 1].size()), 3};
            for (char c : names[s - 1]) want.insert(want.end(), {(uint8_t)c, 0});
            EXPECT_EQ(desc(h, 3, s), want);
        }
        EXPECT_TRUE(desc(h, 3, 9).empty());
        EXPECT_EQ(desc(h, 0x22, 0).size(), hid ? 27u : 0u);
        ASSERT_TRUE(h.open());
        Bytes r = h.ux({0x00, 0xFF});
        ASSERT_EQ(r.size(), hid ? 64u : 4u);  // hidraw returns whole reports
        EXPECT_EQ(r[2] | r[3] << 8, kAll[i] == SimUsbKind::V2Bulk512 ? 512 : 64);
    }
}

TEST(DapUsbDevice, OperationsRefuseWhatAHostCouldNotDoAndUnplug) {
    DapRig v2;
    Bytes r;
    expect_refused(v2, v2.send({0x00, 0xFE}), SimUsbStatus::NotOpen);
    ASSERT_TRUE(sim_usb_open(v2.u()));
    expect_refused(v2, v2.send({0x00, 0xFE}), SimUsbStatus::NotOpen);  // not claimed
    EXPECT_FALSE(sim_usb_claim(v2.u(), 1));
    ASSERT_TRUE(sim_usb_claim(v2.u(), 0));
    expect_refused(v2, v2.send(Bytes(513, 0x00)), SimUsbStatus::TooBig);
    uint64_t t0 = v2.b.clock.ns;
    expect_refused(v2, v2.recv(&r, 20), SimUsbStatus::Timeout);  // nothing asked, nothing to read: the whole time-out passes
    EXPECT_EQ(v2.b.clock.ns - t0, 20000000u);
    // Answers come in order, as many as the packet count; one more command is NAKed; a read
    // buffer too small fails and leaves the answer queued.
    for (uint8_t id : {0x01, 0x02, 0x03, 0x04}) ASSERT_TRUE(v2.send({0x00, id}));
    expect_refused(v2, v2.send({0x00, 0x09}), SimUsbStatus::Busy);
    uint8_t small[4];
    size_t n = 0;
    expect_refused(v2, sim_usb_read(v2.u(), small, sizeof small, 10, &n), SimUsbStatus::Overflow);
    for (const char* want : {"Korvane", "Korvane Sim CMSIS-DAP", "KSIM00000001", "2.1.0"}) {
        ASSERT_TRUE(v2.recv(&r));
        EXPECT_EQ(std::string((const char*)r.data() + 2), want);
    }
    DapRig v1(SimUsbKind::V1Hid);
    ASSERT_TRUE(sim_usb_open(v1.u()));  // hidraw: no claim needed, report ID 0, at most 64 bytes after it
    for (const Bytes& bad : {Bytes{0x05, 0x00, 0xFE}, Bytes(66, 0x00), Bytes{0x00}})
        expect_refused(v1, sim_usb_write(v1.u(), bad.data(), bad.size(), 10, &n), SimUsbStatus::BadReport);
    EXPECT_EQ(v1.ux({0x02, 0x01})[1], 0x01);
    sim_usb_unplug(v1.u());  // unplugged: everything fails until a replug, then the node must be opened again
    expect_refused(v1, v1.send({0x00, 0xFE}), SimUsbStatus::Unplugged);
    EXPECT_FALSE(v1.recv(&r, 1) || sim_usb_open(v1.u()) || !desc(v1, 1, 0).empty());
    sim_usb_replug(v1.u());
    EXPECT_FALSE(v1.send({0x00, 0xFE}));
    ASSERT_TRUE(v1.open());
    EXPECT_EQ(v1.ux({0x05, 0x00, 0x01, 0x02})[2], 0x07);  // the firmware restarted: not connected any more
    // 512-byte packets in 64-byte HID reports, no packet buffer, more than the IN queue holds, no bus.
    for (int i = 0; i < 4; ++i) {
        SimProbeConfig c;
        sim_probe_default_config(&c, SimUsbKind::V1Hid);
        c.bus = i == 3 ? SimMemPort{} : v1.b.port();
        c.lines = v1.b.lines();
        c.ticker = v1.b.clock.ticker;
        c.dap.packet_size = i == 0 ? 512 : 64;
        c.dap.packet_count = i == 1 ? 0 : i == 2 ? 9 : 4;
        EXPECT_FALSE(sim_probe_init(v1.p.get(), &c)) << i;
    }
}

TEST(DapUsbDevice, StaleShortFailedDroppedAndDelayedPackets) {
    DapRig h;
    ASSERT_TRUE(h.open());
    const Bytes stale = H("05 01 01 11223344"), fe = H("00 01 04");
    Bytes r;
    ASSERT_TRUE(sim_usb_inject_stale(h.u(), stale.data(), stale.size()));
    EXPECT_EQ(h.ux({0x00, 0xFE}), stale);  // the old answer first
    ASSERT_TRUE(h.recv(&r));
    EXPECT_EQ(r, fe);
    struct Case {
        SimUsbFaults f;
        bool sent;
        SimUsbStatus status;
        Bytes first;  // what the next read gets (empty: it times out)
    } cases[] = {
        {{false, 3, false, 0}, false, SimUsbStatus::Short, H("05 00 08")},  // the probe saw a truncated command
        {{true, 0, false, 0}, false, SimUsbStatus::Timeout, {}},
        {{false, 0, true, 0}, true, SimUsbStatus::Ok, {}},
    };
    for (const Case& c : cases) {
        sim_usb_set_faults(h.u(), &c.f);
        EXPECT_EQ(h.send(H("05 00 01 05 00000020")), c.sent);
        EXPECT_EQ(h.u()->last, c.status);
        EXPECT_EQ(h.recv(&r, 5), !c.first.empty());
        EXPECT_EQ(r, c.first);
    }
    EXPECT_EQ(h.ux({0x00, 0xFE}), fe);
    SimUsbFaults late{false, 0, false, 5000000};
    sim_usb_set_faults(h.u(), &late);
    ASSERT_TRUE(h.send({0x00, 0xFE}));
    EXPECT_FALSE(h.recv(&r, 2) || h.u()->last != SimUsbStatus::Timeout);
    ASSERT_TRUE(h.recv(&r, 10));
    EXPECT_EQ(r, fe);
}

// Connect, SWD, DPIDR, power-up, SELECT 0, CSW and TAR at the RAM in one transfer, over USB.
void attach(DapRig& h, const char* csw) {
    dap_trace(std::string("02 01 > 02 01 | 12 38 FFFFFFFFFFFFFF > 12 00 | 12 10 9EE7 > 12 00 | 12 38 FFFFFFFFFFFFFF > 12 00 | "
                          "05 00 05 02 04 00000050 08 00000000 01 ") + csw + " 05 00000020 > 05 05 01 7714A02B",
              [&](const Bytes& req, bool) {
                  Bytes r = h.ux(req);
                  if (h.kind == SimUsbKind::V1Hid) r.resize(req[0] == 0x05 ? 7 : 2);  // the rest of the report
                  return r;
              });
}

TEST(DapUsbLink, ExchangesCostOneToTwoFramesAndAreCounted) {
    for (SimUsbKind k : kAll) {
        DapRig h(k);
        ASSERT_TRUE(h.open());
        const uint64_t frame = k == SimUsbKind::V2Bulk512 ? 125000 : 1000000;
        const bool hid = k == SimUsbKind::V1Hid;
        for (uint64_t start : {0ull, 1ull, 400000ull, 999999ull}) {
            h.b.clock.ns = start;
            h.ux({0x00, 0xFE});
            EXPECT_GE(h.b.clock.ns - start, frame) << int(k) << " from " << start;
            EXPECT_LE(h.b.clock.ns - start, 2 * frame + 100000) << int(k) << " from " << start;
        }
        // A 10-word block read: 10 posted AP reads and one RDBUFF at 1 MHz; time = link + SWD.
        attach(h, "52000023");
        sim_probe_reset_counters(h.p.get());
        uint64_t t0 = h.b.clock.ns;
        EXPECT_EQ(h.ux(H("06 00 0A00 0F")).size(), hid ? 64u : 44u);
        SimProbeCounters c = sim_probe_counters(h.p.get());
        EXPECT_EQ((std::vector<uint64_t>{c.exchanges, c.bytes_out, c.bytes_in, c.dp_reads, c.dp_writes, c.ap_reads,
                                         c.ap_writes, c.waits, c.faults, c.no_acks, c.swd_clocks, c.swd_ns}),
                  (std::vector<uint64_t>{1, hid ? 64u : 5u, hid ? 64u : 44u, 1, 0, 10, 0, 0, 0, 0, 11 * 46, 11 * 46000}));
        EXPECT_EQ(h.b.clock.ns - t0, c.link_ns + c.swd_ns);
        EXPECT_GE(c.link_ns, frame);
    }
}

// A firmware image built by arm-none-eabi-gcc/objcopy (bytes nobody here chose) goes into RAM through the
// whole probe in 32-bit blocks and comes back through the 32-bit, 8-bit and 16-bit packed paths.
TEST(DapImage, ObjcopyImageRoundTripsThroughEveryAccessSize) {
    Bytes img = read_binary_file(std::string(KORVANE_DEMO_FW_DIR) + "/demo_O2_dwarf4.bin");
    ASSERT_GT(img.size(), 0x188u) << "demo firmware missing";
    img.resize(std::min<size_t>((img.size() + 3) & ~size_t(3), 0x8000));
    DapRig p(SimUsbKind::V2Bulk64);
    ASSERT_TRUE(p.open());
    attach(p, "12000023");
    auto block = [&](uint32_t csw, size_t off, unsigned words, bool write) {  // at most 14 written, 15 read
        Bytes b = cat({H("05 00 02 01"), le32(csw), H("05"), le32(0x20010000 + (uint32_t)off)});
        EXPECT_EQ(p.ux(b)[2], 0x01);
        b = {0x06, 0x00, (uint8_t)words, 0x00, (uint8_t)(write ? 0x0D : 0x0F)};
        if (write) b.insert(b.end(), img.begin() + off, img.begin() + off + 4 * words);
        Bytes r = p.ux(b);
        EXPECT_EQ(Bytes(r.begin(), r.begin() + 4), (Bytes{0x06, (uint8_t)words, 0x00, 0x01}));
        return Bytes(r.begin() + 4, r.begin() + 4 + (write ? 0 : 4 * words));
    };
    Bytes back;  // blocks end at each 1 KB, where the TAR's auto-increment wraps
    for (bool write : {true, false}) {
        for (size_t off = 0, n; off < img.size(); off += 4 * n) {
            n = std::min<size_t>({write ? 14u : 15u, (img.size() - off) / 4, (1024 - off % 1024) / 4});
            const Bytes r = block(0x23000012, off, (unsigned)n, write);
            back.insert(back.end(), r.begin(), r.end());
        }
    }
    EXPECT_TRUE(std::equal(img.begin(), img.end(), p.b.ram.begin() + 0x10000));
    EXPECT_EQ(back, img);
    Bytes r = block(0x23000010, 0, 15, false);  // 8-bit: one byte per DRW read, on its lane
    for (unsigned i = 0; i < 15; ++i) EXPECT_EQ((get32(r, 4 * i) >> (8 * (i % 4))) & 0xFF, img[i]) << "byte " << i;
    r = block(0x23000021, 0x100, 15, false);  // 16-bit packed: two halfwords per DRW read
    for (unsigned i = 0; i < 15; ++i) EXPECT_EQ(get32(r, 4 * i), get32(img, 0x100 + 4 * i)) << "word " << i;
    EXPECT_EQ(p.b.bad_size_or_align, 0u);
}

}  // namespace
