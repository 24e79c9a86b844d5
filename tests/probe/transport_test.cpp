// Finding the probe among other USB devices, and the packet exchange's
// recovery paths, on the simulated probe through the USB seam.
#include <cstring>

#include "probe_fixture.h"

namespace {

SimUsbDecoy decoy(bool hid, uint16_t vid, uint16_t pid, const char* product, const char* iface = "", uint8_t cls = 0xFF) {
    SimUsbDecoy d{};
    d.hid = hid;
    d.vid = vid;
    d.pid = pid;
    std::snprintf(d.product, sizeof d.product, "%s", product);
    std::snprintf(d.interface_name, sizeof d.interface_name, "%s", iface);
    d.interface_class = cls;
    return d;
}

bool swj_clock(DapContext* c, uint32_t hz) { return dap_cmd_swj_clock(c, hz); }

}  // namespace

TEST(ProbeMatching, ProductStringSearchIsBoundedAndCaseBlind) {
    EXPECT_TRUE(product_is_cmsis_dap("Korvane cmsis-dap v2", 64));
    EXPECT_TRUE(product_is_cmsis_dap("xxCMSIS-DAP", 64));
    EXPECT_FALSE(product_is_cmsis_dap("CMSIS-DA", 64));
    EXPECT_FALSE(product_is_cmsis_dap("CMSIS_DAP", 64));
    char unterminated[9];
    std::memcpy(unterminated, "CMSIS-DAP", 9);  // no NUL inside the buffer
    EXPECT_TRUE(product_is_cmsis_dap(unterminated, 9));
    EXPECT_FALSE(product_is_cmsis_dap(unterminated, 8));
    EXPECT_TRUE(dap_known_probe(0x2E8A, 0x000C));
    EXPECT_FALSE(dap_known_probe(0x2E8A, 0x000D));
}

TEST(ProbeMatching, BulkProbeIsFoundPastDevicesThatAreNotProbes) {
    SimRig rig(SimUsbKind::V2Bulk512);
    ASSERT_NE(rig.sys, nullptr) << rig.err;
    SimUsbDecoy a = decoy(false, 0x046D, 0xC52B, "USB Receiver", "Receiver", 0x03);
    SimUsbDecoy b = decoy(false, 0x1234, 0x0001, "Vendor gadget", "Vendor bulk");  // class 0xFF, wrong string
    SimUsbDecoy c = decoy(false, 0x0D28, 0x0204, "Locked", "CMSIS-DAP v2");
    c.open_fails = true;  // a known probe we may not open (no udev rule)
    sim_usb_host_add_decoy(&rig.host, &a);
    sim_usb_host_add_decoy(&rig.host, &b);
    sim_usb_host_add_decoy(&rig.host, &c);
    DapContext* ctx = dap_open_v2(0, 0);
    ASSERT_NE(ctx, nullptr);
    EXPECT_TRUE(ctx->is_v2);
    EXPECT_EQ(ctx->bulk_ep_out, 0x01);
    EXPECT_EQ(ctx->bulk_ep_in, 0x81);
    EXPECT_TRUE(log_has("[DAPv2] CMSIS-DAP interface found: iface=0 str=\"Korvane Sim CMSIS-DAP v2\""));
    EXPECT_TRUE(log_has("[DAPv2] Bulk device opened (CMSIS-DAP v2)"));
    EXPECT_TRUE(swj_clock(ctx, 1000000));
    dap_close(ctx);
    EXPECT_FALSE(ctx->open);
    // Exact IDs that name another device: the probe still answers to its
    // product string on the bulk path, but not on the HID path.
    ctx = dap_open_v2(0x1111, 0x2222);
    ASSERT_NE(ctx, nullptr);
    dap_close(ctx);
    EXPECT_EQ(dap_open(0x1111, 0x2222), nullptr);
}

TEST(ProbeMatching, HidProbeIsMatchedByItsProductStringWhenItsIdsAreUnknown) {
    SimRig rig(SimUsbKind::V1Hid);
    ASSERT_NE(rig.sys, nullptr) << rig.err;
    SimUsbDecoy kb = decoy(true, 0x046D, 0xC31C, "USB Keyboard");
    sim_usb_host_add_decoy(&rig.host, &kb);
    EXPECT_EQ(dap_open_v2(0, 0), nullptr);  // the v1 probe has no bulk interface
    DapContext* ctx = dap_open(0, 0);
    ASSERT_NE(ctx, nullptr);
    EXPECT_FALSE(ctx->is_v2);
    EXPECT_TRUE(swj_clock(ctx, 1000000));
    EXPECT_EQ(rig.host.counters.hid_opens, 1);  // the keyboard was never opened
}

TEST(ProbeMatching, NoProbeMeansNullAndOnlyLibusbFailuresAreLogged) {
    SimRig rig(SimUsbKind::V2Bulk512, "", false);
    EXPECT_EQ(dap_open_v2(0, 0), nullptr);
    EXPECT_EQ(dap_open(0, 0), nullptr);
    EXPECT_EQ(log_count(&logv), 0);
    rig.host.libusb_init_fails = true;
    EXPECT_EQ(dap_open_v2(0, 0), nullptr);
    EXPECT_TRUE(log_has("[DAPv2] libusb_init failed"));
}

TEST(BulkRecovery, AnswersLeftFromAnEarlierSessionAreDrainedAtOpen) {
    SimRig rig(SimUsbKind::V2Bulk512);
    const uint8_t stale[] = {0x05, 0x01, 0x01};
    rig.lock();
    sim_usb_inject_stale(rig.usb(), stale, sizeof stale);
    sim_usb_inject_stale(rig.usb(), stale, sizeof stale);
    rig.unlock();
    DapContext* ctx = dap_open_v2(0, 0);
    ASSERT_NE(ctx, nullptr);
    EXPECT_TRUE(swj_clock(ctx, 1000000));
    EXPECT_FALSE(log_has("IN mismatch"));
}

TEST(BulkRecovery, StaleEchoBeforeAWriteIsDiscardedAndOtherCommandsAreResent) {
    SimRig rig(SimUsbKind::V2Bulk512);
    DapContext* ctx = dap_open_v2(0, 0);
    ASSERT_NE(ctx, nullptr);
    ASSERT_TRUE(dap_connect(ctx, 1000000, false));
    log_clear(&logv);
    const uint8_t stale[] = {0x00, 0x02, 0x40, 0x00};
    rig.lock();
    sim_usb_inject_stale(rig.usb(), stale, sizeof stale);
    uint64_t before = rig.usb()->counters.exchanges;
    rig.unlock();
    ASSERT_TRUE(dap_write_mem32(ctx, 0x20000100, 0xCAFEF00D));
    EXPECT_TRUE(log_has("[DAP] draining stale echo=0x00 before WRITE reply (attempt 0)"));
    EXPECT_EQ(rig.usb()->counters.exchanges - before, 1u);  // sent once: the write is not repeated
    uint32_t v = 0;
    ASSERT_TRUE(sim_board_read_mem(rig.board(), 0x20000100, &v, 4));
    EXPECT_EQ(v, 0xCAFEF00Du);

    log_clear(&logv);
    rig.lock();
    sim_usb_inject_stale(rig.usb(), stale, sizeof stale);
    before = rig.usb()->counters.exchanges;
    rig.unlock();
    ASSERT_TRUE(swj_clock(ctx, 4000000));
    EXPECT_TRUE(log_has("[DAP] re-sending OUT to pump FIFO (attempt 0)"));
    EXPECT_EQ(rig.usb()->counters.exchanges - before, 2u);
    // The extra answer the resend produced is still queued: the next
    // non-write command pumps past it as well.
    ASSERT_TRUE(swj_clock(ctx, 4000000));
    dap_sync_pipeline(ctx);
    EXPECT_TRUE(dap_read_mem32(ctx, 0x20000100, &v));
    EXPECT_EQ(v, 0xCAFEF00Du);
}

TEST(Disconnect, UnplugDuringUseFailsTheTransferAndIsReportedOnce) {
    for (SimUsbKind kind : {SimUsbKind::V1Hid, SimUsbKind::V2Bulk512}) {
        SimRig rig(kind);
        DapContext* ctx = rig_open(kind);
        ASSERT_NE(ctx, nullptr) << kind_name(kind);
        ASSERT_TRUE(dap_connect(ctx, 1000000, false));
        EXPECT_FALSE(dap_is_disconnected());
        rig.lock();
        sim_usb_unplug(rig.usb());
        rig.unlock();
        uint32_t v;
        EXPECT_FALSE(dap_read_mem32(ctx, 0x20000000, &v));
        EXPECT_TRUE(dap_is_disconnected());
        EXPECT_FALSE(dap_is_disconnected());
        dap_close(ctx);
    }
}

TEST(Disconnect, ALostAnswerTimesOutWithinTwoSeconds) {
    SimRig rig(SimUsbKind::V1Hid);
    DapContext* ctx = dap_open(0, 0);
    ASSERT_NE(ctx, nullptr);
    SimUsbFaults f{};
    f.drop_next_response = true;
    rig.lock();
    sim_usb_set_faults(rig.usb(), &f);
    uint64_t t0 = sim_board_now_ns(rig.board());
    rig.unlock();
    EXPECT_FALSE(swj_clock(ctx, 1000000));
    uint64_t waited = sim_board_now_ns(rig.board()) - t0;
    EXPECT_GE(waited, 2000000000ull);
    EXPECT_LT(waited, 2100000000ull);
    EXPECT_TRUE(dap_is_disconnected());
}

TEST(PacketLimits, CommandsLongerThanOnePacketAreRefused) {
    SimRig rig(SimUsbKind::V1Hid);
    DapContext* ctx = dap_open(0, 0);
    ASSERT_NE(ctx, nullptr);
    ctx->pkt_out[1] = 0x11;
    EXPECT_FALSE(dap_io(ctx, 65));
    EXPECT_EQ(rig.usb()->counters.exchanges, 0u);
    // A batch whose answer would overflow a 64-byte report is refused as a whole.
    DapXfer reads[16];
    for (auto& x : reads) x = DapXfer{0x0F, 0};
    EXPECT_FALSE(dap_transfer_fits(ctx, reads, 16));
    EXPECT_TRUE(dap_transfer_fits(ctx, reads, 15));
    EXPECT_EQ(dap_transfer_n(ctx, reads, 16, nullptr), -1);
}
