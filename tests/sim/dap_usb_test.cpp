// The probe as a host meets it over USB: endpoint operations and their refusals, link time and counters.
// The descriptors are read by the host's discovery over the simulated bus (ProbeMatching).
// The fault injection (stale, short, lost answers, unplug) is exercised by the host's recovery tests.
#include <string>

#include "tests/sim/dap_fake_board.h"

namespace {

const SimUsbKind kAll[] = {SimUsbKind::V1Hid, SimUsbKind::V2Bulk512, SimUsbKind::V2Bulk64};

void expect_refused(DapRig& h, bool ok, SimUsbStatus st) { EXPECT_TRUE(!ok && h.u()->last == st) << int(h.u()->last); }

TEST(DapUsbDevice, OperationsRefuseWhatAHostCouldNotDo) {
    DapRig v2;
    Bytes r;
    expect_refused(v2, v2.send({0x00, 0xFE}), SimUsbStatus::NotOpen);
    ASSERT_TRUE(sim_usb_open(v2.u()));
    expect_refused(v2, v2.send({0x00, 0xFE}), SimUsbStatus::NotOpen);  // not claimed
    EXPECT_FALSE(sim_usb_claim(v2.u(), 1));
    ASSERT_TRUE(sim_usb_claim(v2.u(), 0));
    expect_refused(v2, v2.send(Bytes(513, 0x00)), SimUsbStatus::TooBig);
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
        for (uint64_t offset : {0ull, 1ull, 400000ull, 999999ull}) {
            // Forward only: the endpoints remember which frames they used.
            const uint64_t start = (h.b.clock.ns / 10000000 + 1) * 10000000 + offset;
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

// Commands kept in flight: the probe works while the next ones travel. On
// HID the kernel polls every answer off the probe in its own frame, so one
// command a frame goes through where a wait for each answer costs two (bulk
// gains only where the probe has work to hide), and a
// command past the packet count waits for the next poll instead of failing;
// bulk answers wait for the host, so that command is refused.
TEST(DapUsbLink, CommandsInFlightCostAFrameEachUpToThePacketCount) {
    for (SimUsbKind k : kAll) {
        DapRig h(k);
        ASSERT_TRUE(h.open());
        const uint64_t frame = k == SimUsbKind::V2Bulk512 ? 125000 : 1000000;
        const bool hid = k == SimUsbKind::V1Hid;
        const Bytes info = {0x00, 0xFE};
        Bytes r;
        uint64_t t0 = h.b.clock.ns;
        for (int i = 0; i < 40; ++i) h.ux(info);
        const uint64_t one_by_one = h.b.clock.ns - t0;
        t0 = h.b.clock.ns;
        int sent = 0, got = 0;
        for (; sent < 4; ++sent) ASSERT_TRUE(h.send(info));
        for (; got < 40; ++got) {
            ASSERT_TRUE(h.recv(&r) && r[0] == 0x00 && r[2] == 4) << got;
            if (sent < 40) {
                ASSERT_TRUE(h.send(info));
                ++sent;
            }
        }
        const uint64_t in_flight = h.b.clock.ns - t0;
        EXPECT_GE(one_by_one, 80 * frame) << int(k);
        EXPECT_TRUE(!hid || in_flight <= 42 * frame) << in_flight;
        EXPECT_LE(in_flight, one_by_one) << int(k);
        // Four DAP_Delay of 5 ms: every buffer holds work when a fifth comes.
        const Bytes delay = {0x09, 0x88, 0x13};
        const uint64_t t1 = h.b.clock.ns;
        for (int i = 0; i < 4; ++i) ASSERT_TRUE(h.send(delay));
        EXPECT_EQ(h.send(info), hid) << int(k);
        EXPECT_TRUE(!hid || h.b.clock.ns - t1 >= 5000000) << "the fifth waited for the first answer's poll";
        for (int i = 0; i < (hid ? 5 : 4); ++i) EXPECT_TRUE(h.recv(&r) && r[0] == (i < 4 ? 0x09 : 0x00)) << i;
        EXPECT_FALSE(h.recv(&r, 5)) << "nothing more owed";
    }
    // High-speed bulk, block reads of 100 words (4.6 ms of SWD at 1 MHz each):
    // kept in flight, the link's time hides behind the probe's work.
    DapRig h;
    ASSERT_TRUE(h.open());
    attach(h, "52000023");
    const Bytes block = H("06 00 6400 0F");
    const uint64_t swd = 101 * 46000, t0 = h.b.clock.ns;
    Bytes r;
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(h.send(block));
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(h.recv(&r) && r.size() == 404u);
    EXPECT_LE(h.b.clock.ns - t0, 4 * swd + 3 * 125000) << "the link adds no more than the first and last transfer";
}

}  // namespace
