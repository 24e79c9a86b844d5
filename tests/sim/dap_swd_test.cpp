// SW-DP line protocol, DP registers and the AHB-AP, driven transaction by
// transaction as ADIv5 describes them.
#include <gtest/gtest.h>

#include "sim/swd_dp.h"
#include "tests/sim/dap_fake_board.h"

namespace {

// Request bytes: APnDP | RnW | A[3:2].
constexpr uint8_t kDpidrRd = 0x02, kAbortWr = 0x00, kCtrlRd = 0x06, kCtrlWr = 0x04, kSelectWr = 0x08,
                  kRdbuffRd = 0x0E, kTargetselWr = 0x0C;
constexpr uint8_t kCswWr = 0x01, kCswRd = 0x03, kTarWr = 0x05, kTarRd = 0x07, kDrwWr = 0x0D, kDrwRd = 0x0F;

struct Rig {
    DapFakeBoard b;
    SimSwd s;
    explicit Rig(uint32_t dpidr = 0x2BA01477u) {
        SimSwdConfig c;
        sim_swd_default_config(&c);
        c.dpidr = dpidr;
        EXPECT_TRUE(sim_swd_init(&s, &c, b.port(), b.lines()));
    }
    void seq(const std::vector<uint8_t>& bytes, unsigned bits = 0) {
        sim_swd_sequence(&s, bytes.data(), bits ? bits : (unsigned)bytes.size() * 8);
    }
    void to_swd() {
        seq(dap_seq::kLineReset);
        seq(dap_seq::kJtagToSwd);
        seq(dap_seq::kLineReset);
    }
    uint8_t rd(uint8_t r, uint32_t* v) { return sim_swd_transfer(&s, r, v); }
    uint32_t rd_ok(uint8_t r) {
        uint32_t v = 0xDEADBEEF;
        EXPECT_EQ(rd(r, &v), SIM_SWD_ACK_OK) << "request " << int(r);
        return v;
    }
    uint8_t wr(uint8_t r, uint32_t v) { return sim_swd_transfer(&s, r, &v); }
    void wr_ok(uint8_t r, uint32_t v) { EXPECT_EQ(wr(r, v), SIM_SWD_ACK_OK) << "request " << int(r); }
    void connect() {
        to_swd();
        EXPECT_EQ(rd_ok(kDpidrRd), 0x2BA01477u);
        wr_ok(kCtrlWr, SIM_DP_CDBGPWRUPREQ | SIM_DP_CSYSPWRUPREQ);
    }
    uint32_t read_word(uint32_t addr) {
        wr_ok(kTarWr, addr);
        rd_ok(kDrwRd);
        return rd_ok(kRdbuffRd);
    }
};

TEST(DapSwdLine, PowerOnIsJtagAndNeedsTheSelectSequenceBetweenLineResets) {
    Rig r;
    uint32_t v = 0;
    EXPECT_EQ(r.rd(kDpidrRd, &v), SIM_SWD_ACK_NONE);
    r.seq(dap_seq::kLineReset);
    EXPECT_EQ(r.rd(kDpidrRd, &v), SIM_SWD_ACK_NONE);  // a line reset alone leaves JTAG selected
    r.seq(dap_seq::kJtagToSwd);                       // after a transaction: no 50 ones before it
    r.seq(dap_seq::kLineReset);
    EXPECT_EQ(r.rd(kDpidrRd, &v), SIM_SWD_ACK_NONE);
    EXPECT_EQ(sim_swd_line(&r.s), SimSwdLine::Jtag);

    r.seq(dap_seq::kLineReset);
    r.seq(dap_seq::kJtagToSwd);
    EXPECT_EQ(sim_swd_line(&r.s), SimSwdLine::Swd);
    // The select sequence ends in three ones: 46 more make 49, one short.
    r.seq({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x3F}, 46);
    EXPECT_EQ(r.rd(kDpidrRd, &v), SIM_SWD_ACK_NONE);
    r.seq({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x03}, 50);
    EXPECT_EQ(r.rd_ok(kDpidrRd), 0x2BA01477u);
}

TEST(DapSwdLine, FirstAccessAfterLineResetMustReadDpidr) {
    Rig r;
    r.to_swd();
    uint32_t v = 0;
    EXPECT_EQ(r.rd(kCtrlRd, &v), SIM_SWD_ACK_NONE);
    EXPECT_EQ(r.wr(kSelectWr, 0), SIM_SWD_ACK_NONE);
    EXPECT_EQ(r.rd(kDrwRd, &v), SIM_SWD_ACK_NONE);
    EXPECT_EQ(r.rd_ok(kDpidrRd), 0x2BA01477u);
    EXPECT_EQ(r.rd(kCtrlRd, &v), SIM_SWD_ACK_OK);
    r.seq(dap_seq::kLineReset);  // every line reset asks again
    EXPECT_EQ(r.rd(kCtrlRd, &v), SIM_SWD_ACK_NONE);
    EXPECT_EQ(r.rd(kDpidrRd, &v), SIM_SWD_ACK_OK);
}

TEST(DapSwdLine, DormantEntryAndWakeUp) {
    Rig r;
    r.connect();
    r.seq(dap_seq::kLineReset);
    r.seq(dap_seq::kSwdToDormant);
    EXPECT_EQ(sim_swd_line(&r.s), SimSwdLine::Dormant);
    r.seq(dap_seq::kLineReset);
    uint32_t v = 0;
    EXPECT_EQ(r.rd(kDpidrRd, &v), SIM_SWD_ACK_NONE);

    auto wake = [&](uint8_t code) {
        r.seq({0xFF});  // at least 8 cycles high
        r.seq(dap_seq::kAlert);
        r.seq({0x00}, 4);
        r.seq({code});
        r.seq(dap_seq::kLineReset);
    };
    wake(0x1B);  // not the SWD activation code
    EXPECT_EQ(r.rd(kDpidrRd, &v), SIM_SWD_ACK_NONE);
    // The alert must follow 8 high cycles: here it follows a low bit.
    r.seq({0x00}, 1);
    r.seq(dap_seq::kAlert);
    r.seq({0x00}, 4);
    r.seq({0x1A});
    r.seq(dap_seq::kLineReset);
    EXPECT_EQ(r.rd(kDpidrRd, &v), SIM_SWD_ACK_NONE);
    wake(0x1A);
    EXPECT_EQ(r.rd_ok(kDpidrRd), 0x2BA01477u);

    // JTAG-to-dormant from power-on, then the same wake-up.
    Rig j;
    j.seq({0xFF});
    j.seq({0xBA, 0xBB, 0xBB, 0x33}, 31);
    EXPECT_EQ(sim_swd_line(&j.s), SimSwdLine::Dormant);
    j.seq({0xFF});
    j.seq(dap_seq::kAlert);
    j.seq({0x00}, 4);
    j.seq({0x1A});
    EXPECT_EQ(j.rd(kDpidrRd, &v), SIM_SWD_ACK_NONE);  // no line reset yet
    j.seq(dap_seq::kLineReset);
    EXPECT_EQ(j.rd_ok(kDpidrRd), 0x2BA01477u);
}

TEST(DapSwdLine, TargetselDeselectsAnotherTargetOnDpv2) {
    Rig r(0x6BA02477u);  // DPv2
    r.to_swd();
    uint32_t v = 0;
    EXPECT_EQ(r.wr(kTargetselWr, 0x12345678u), SIM_SWD_ACK_NONE);  // never answered
    EXPECT_EQ(r.rd(kDpidrRd, &v), SIM_SWD_ACK_NONE);
    r.seq(dap_seq::kLineReset);
    EXPECT_EQ(r.wr(kTargetselWr, r.s.cfg.targetid), SIM_SWD_ACK_NONE);
    EXPECT_EQ(r.rd_ok(kDpidrRd), 0x6BA02477u);
    r.wr_ok(kSelectWr, 0x2);  // DPBANKSEL 2: TARGETID
    EXPECT_EQ(r.rd_ok(kCtrlRd), r.s.cfg.targetid);
}

TEST(DapSwdDp, PowerRequestsAreAcknowledgedByTheBoard) {
    Rig r;
    r.connect();
    EXPECT_EQ(r.rd_ok(kCtrlRd), 0xF0000000u);
    r.wr_ok(kCtrlWr, 0);
    EXPECT_EQ(r.rd_ok(kCtrlRd), 0u);

    Rig dead;
    dead.b.power_acks = false;
    dead.connect();
    EXPECT_EQ(dead.rd_ok(kCtrlRd), 0x50000000u);
    uint32_t v = 0;
    EXPECT_EQ(dead.rd(kCswRd, &v), SIM_SWD_ACK_FAULT);  // AP unpowered
    EXPECT_TRUE(dead.rd_ok(kCtrlRd) & SIM_DP_STICKYERR);
}

TEST(DapSwdDp, ApReadsArePostedAndRdbuffHoldsTheLast) {
    Rig r;
    r.connect();
    r.b.set_word(0x20000100, 0x11111111);
    r.b.set_word(0x20000104, 0x22222222);
    r.wr_ok(kCswWr, 0x23000052);  // 32-bit, single increment
    r.wr_ok(kTarWr, 0x20000100);
    r.rd_ok(kDrwRd);  // returns whatever was in the buffer before
    EXPECT_EQ(r.rd_ok(kDrwRd), 0x11111111u);
    EXPECT_EQ(r.rd_ok(kRdbuffRd), 0x22222222u);
    EXPECT_EQ(r.rd_ok(kRdbuffRd), 0x22222222u);  // RDBUFF read starts nothing new
    EXPECT_EQ(r.rd_ok(kTarRd), 0x22222222u);     // TAR read is posted too: returns the old buffer
    EXPECT_EQ(r.rd_ok(kRdbuffRd), 0x20000108u);
    EXPECT_TRUE(r.rd_ok(kCtrlRd) & SIM_DP_READOK);
}

TEST(DapSwdDp, BusErrorSetsStickyErrUntilAbortClearsIt) {
    Rig r;
    r.connect();
    r.wr_ok(kCswWr, 0x23000052);
    r.wr_ok(kTarWr, DapFakeBoard::kHoleBase + 8);
    uint32_t v = 0;
    EXPECT_EQ(r.rd(kDrwRd, &v), SIM_SWD_ACK_OK);        // posted: the error shows next
    EXPECT_EQ(r.rd(kRdbuffRd, &v), SIM_SWD_ACK_FAULT);
    EXPECT_EQ(r.rd(kCswRd, &v), SIM_SWD_ACK_FAULT);
    EXPECT_EQ(r.wr(kSelectWr, 0), SIM_SWD_ACK_FAULT);
    uint32_t cs = r.rd_ok(kCtrlRd);                      // exempt
    EXPECT_TRUE(cs & SIM_DP_STICKYERR);
    EXPECT_EQ(r.rd_ok(kDpidrRd), 0x2BA01477u);            // exempt
    EXPECT_EQ(r.wr(kCtrlWr, 0xF00000FFu), SIM_SWD_ACK_FAULT);  // not exempt, and could not clear it
    EXPECT_TRUE(r.rd_ok(kCtrlRd) & SIM_DP_STICKYERR);
    r.wr_ok(kAbortWr, SIM_DP_STKERRCLR);
    EXPECT_FALSE(r.rd_ok(kCtrlRd) & SIM_DP_STICKYERR);
    r.rd_ok(kTarRd);
    EXPECT_EQ(r.rd_ok(kRdbuffRd), DapFakeBoard::kHoleBase + 8);  // TAR kept the failing address

    // A failed write is posted the same way.
    r.wr_ok(kDrwWr, 1);
    EXPECT_EQ(r.rd(kRdbuffRd, &v), SIM_SWD_ACK_FAULT);
    r.wr_ok(kAbortWr, SIM_DP_STKERRCLR);
    EXPECT_EQ(r.read_word(0x20000000), 0u);
}

TEST(DapSwdDp, OverrunDetectionAndAbortOfAWaitStorm) {
    Rig r;
    r.connect();
    r.wr_ok(kCtrlWr, 0x50000000u | SIM_DP_ORUNDETECT);
    SimSwdFaults f{};
    f.wait_next = 1000;
    sim_swd_arm_faults(&r.s, &f);
    uint32_t v = 0;
    EXPECT_EQ(r.rd(kCswRd, &v), SIM_SWD_ACK_WAIT);
    EXPECT_EQ(r.rd(kDpidrRd, &v), SIM_SWD_ACK_OK);  // never WAITed
    EXPECT_TRUE(r.rd_ok(kCtrlRd) & SIM_DP_STICKYORUN);
    r.wr_ok(kAbortWr, SIM_DP_DAPABORT | SIM_DP_ORUNERRCLR);
    EXPECT_FALSE(r.rd_ok(kCtrlRd) & SIM_DP_STICKYORUN);
    EXPECT_EQ(r.rd(kCswRd, &v), SIM_SWD_ACK_OK);  // the storm was abandoned
}

TEST(DapSwdDp, WriteParityErrorDropsTheWriteAndSetsWdataerr) {
    Rig r;
    r.connect();
    r.wr_ok(kCswWr, 0x23000002);
    r.wr_ok(kTarWr, 0x20000040);
    SimSwdFaults f{};
    f.parity_error_at = 1;
    sim_swd_arm_faults(&r.s, &f);
    r.wr_ok(kDrwWr, 0x77777777);
    EXPECT_EQ(r.b.word(0x20000040), 0u);
    uint32_t v = 0;
    EXPECT_EQ(r.rd(kRdbuffRd, &v), SIM_SWD_ACK_FAULT);
    EXPECT_TRUE(r.rd_ok(kCtrlRd) & SIM_DP_WDATAERR);
    r.wr_ok(kAbortWr, SIM_DP_WDERRCLR);
    EXPECT_EQ(r.rd_ok(kCtrlRd) & 0xB2u, 0u);  // no sticky flag left
    r.wr_ok(kDrwWr, 0x77777777);
    EXPECT_EQ(r.b.word(0x20000040), 0x77777777u);
}

TEST(DapSwdMemAp, IdentityRegistersResetCswAndAbsentAp1) {
    Rig r;
    r.connect();
    r.rd_ok(kCswRd);
    EXPECT_EQ(r.rd_ok(kRdbuffRd), 0x23000040u);
    r.wr_ok(kSelectWr, 0x000000F0);  // AP0, bank 0xF
    r.rd_ok(0x0B);                   // BASE (0xF8)
    EXPECT_EQ(r.rd_ok(0x0F), 0xE00FF003u);  // IDR read returns BASE
    EXPECT_EQ(r.rd_ok(kRdbuffRd), 0x24770011u);
    r.rd_ok(0x07);  // CFG
    EXPECT_EQ(r.rd_ok(kRdbuffRd), 0u);
    r.wr_ok(kSelectWr, 0x010000F0);  // AP1
    r.rd_ok(0x0F);
    EXPECT_EQ(r.rd_ok(kRdbuffRd), 0u);
    r.wr_ok(kSelectWr, 0);
    r.wr_ok(kCswWr, 0x23000007);  // reserved size: ignored
    r.rd_ok(kCswRd);
    EXPECT_EQ(r.rd_ok(kRdbuffRd), 0x23000040u);
}

TEST(DapSwdMemAp, ByteAndHalfwordLanes) {
    Rig r;
    r.connect();
    r.wr_ok(kCswWr, 0x23000010);  // 8-bit, single increment
    r.wr_ok(kTarWr, 0x20000201);
    r.wr_ok(kDrwWr, 0x4433AB11);  // lane 1 carries the byte
    r.wr_ok(kDrwWr, 0x44CD2211);  // TAR is now ...202: lane 2
    EXPECT_EQ(r.b.word(0x20000200), 0x00CDAB00u);
    r.b.set_word(0x20000204, 0x87654321);
    r.wr_ok(kTarWr, 0x20000207);
    r.rd_ok(kDrwRd);
    EXPECT_EQ(r.rd_ok(kRdbuffRd) >> 24, 0x87u);
    r.wr_ok(kCswWr, 0x23000011);  // 16-bit
    r.wr_ok(kTarWr, 0x20000206);
    r.rd_ok(kDrwRd);
    EXPECT_EQ(r.rd_ok(kRdbuffRd), 0x87650000u);
    r.wr_ok(kTarWr, 0x20000212);
    r.wr_ok(kDrwWr, 0xBEEF0000);
    EXPECT_EQ(r.b.word(0x20000210), 0xBEEF0000u);
    r.rd_ok(kTarRd);
    EXPECT_EQ(r.rd_ok(kRdbuffRd), 0x20000214u);
    r.wr_ok(kCswWr, 0x23000022);  // 32-bit packed = single
    r.wr_ok(kCswWr, 0x23000020);  // 8-bit packed: four bytes per DRW
    r.wr_ok(kTarWr, 0x20000220);
    r.wr_ok(kDrwWr, 0x44332211);
    EXPECT_EQ(r.b.word(0x20000220), 0x44332211u);
    EXPECT_EQ(r.b.bad_size_or_align, 0u);
    EXPECT_EQ(r.b.bus_writes, 7u);
}

TEST(DapSwdMemAp, AutoIncrementWrapsInsideTheKilobyte) {
    Rig r;
    r.connect();
    r.wr_ok(kCswWr, 0x23000012);
    r.wr_ok(kTarWr, 0x200007FC);
    r.wr_ok(kDrwWr, 0xAAAAAAAA);
    r.wr_ok(kDrwWr, 0xBBBBBBBB);
    EXPECT_EQ(r.b.word(0x200007FC), 0xAAAAAAAAu);
    EXPECT_EQ(r.b.word(0x20000400), 0xBBBBBBBBu);  // back at the block start, not 0x20000800
    EXPECT_EQ(r.b.word(0x20000800), 0u);
    // 32-bit with TAR[1:0] set: the bus sees the aligned word.
    r.b.set_word(0x20000500, 0x01020304);
    r.wr_ok(kTarWr, 0x20000502);
    r.rd_ok(kDrwRd);
    EXPECT_EQ(r.rd_ok(kRdbuffRd), 0x01020304u);
    EXPECT_EQ(r.b.bad_size_or_align, 0u);
}

TEST(DapSwdMemAp, PushedCompareAndBankedData) {
    Rig r;
    r.connect();
    r.b.set_word(0x20000300, 0x12345678);
    r.b.set_word(0x20000304, 0x9ABCDEF0);
    r.wr_ok(kCswWr, 0x23000002);
    r.wr_ok(kTarWr, 0x20000300);
    r.wr_ok(kCtrlWr, 0x50000000u | (2u << 2) | (0xFu << 8));  // pushed compare, all lanes
    r.wr_ok(kDrwWr, 0x11111111);
    EXPECT_FALSE(r.rd_ok(kCtrlRd) & SIM_DP_STICKYCMP);
    r.wr_ok(kDrwWr, 0x12345678);
    EXPECT_TRUE(r.rd_ok(kCtrlRd) & SIM_DP_STICKYCMP);
    EXPECT_EQ(r.b.word(0x20000300), 0x12345678u);  // compare never writes
    r.wr_ok(kAbortWr, SIM_DP_STKCMPCLR);
    r.wr_ok(kCtrlWr, 0x50000000u);
    r.wr_ok(kSelectWr, 0x10);  // bank 1: BD0..BD3
    r.rd_ok(0x07);             // BD1
    EXPECT_EQ(r.rd_ok(kRdbuffRd), 0x9ABCDEF0u);
    r.wr_ok(0x0D, 0xCAFEF00D);  // BD3
    EXPECT_EQ(r.b.word(0x2000030C), 0xCAFEF00Du);
}

}  // namespace
