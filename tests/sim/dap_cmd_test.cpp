// CMSIS-DAP commands as byte-exact request/response pairs, in the layout the
// CMSIS-DAP command reference gives for each command (values little-endian).
#include <algorithm>

#include "tests/sim/dap_fake_board.h"

namespace {

const std::string kRst = "12 38 FFFFFFFFFFFFFF > 12 00 | ", kSel = "12 10 9EE7 > 12 00 | ";
const std::string kIdr = "05 00 01 02 > 05 01 01 7714A02B | ", kNone = "05 00 01 02 > 05 00 07 | ";
const std::string kClear = "08 00 04000000 > 08 00 | ";  // DAP_WriteAbort: STKERRCLR

struct Cmd : DapRig {
    using DapRig::DapRig;
    // "REQ > RESP | REQ > RESP ..."; a '!' before REQ: the command must be refused (false).
    void run(const std::string& trace) {
        for (size_t at = 0, bar; at < trace.size(); at = bar + 1) {
            bar = std::min(trace.find('|', at), trace.size());
            std::string ex = trace.substr(at, bar - at), req = ex.substr(0, ex.find('>'));
            bool refuse = req.find('!') != std::string::npos;
            if (refuse) req.erase(req.find('!'), 1);
            if (req.find_first_not_of(' ') == std::string::npos) continue;
            EXPECT_EQ(x(H(req), !refuse), H(ex.substr(ex.find('>') + 1))) << "request " << req;
        }
    }
    // Runs a trace and checks the SWCLK cycles and the time it cost.
    void cost(const std::string& trace, uint64_t clocks, uint64_t ns) {
        uint64_t c0 = p->dap.counters.swd_clocks, t0 = b.clock.ns;
        run(trace);
        EXPECT_EQ(p->dap.counters.swd_clocks - c0, clocks) << trace;
        EXPECT_EQ(b.clock.ns - t0, ns) << trace;
    }
    // What a host does first: connect, line reset, JTAG-to-SWD, line reset, then DPIDR,
    // power-up, SELECT 0 and CSW for 32-bit auto-increment in one DAP_Transfer.
    void attach() { run("02 01 > 02 01 | " + kRst + kSel + kRst + "05 00 04 02 04 00000050 08 00000000 01 52000023 > 05 04 01 7714A02B"); }
};

TEST(DapCmdInfo, StringsCapabilitiesAndPacketGeometry) {
    Cmd r;
    for (auto [id, s] : {std::pair<uint8_t, std::string>{0x01, "Korvane"}, {0x02, "Korvane Sim CMSIS-DAP"},
                         {0x03, "KSIM00000001"}, {0x04, "2.1.0"}, {0x09, "1.0.0"}})
        EXPECT_EQ(r.x({0x00, id}), cat({{0x00, (uint8_t)(s.size() + 1)}, Bytes(s.begin(), s.end()), {0x00}}));
    for (uint8_t id : {0x05, 0x06, 0x07, 0x08, 0xFB, 0xFC, 0xFD, 0x42}) EXPECT_EQ(r.x({0x00, id}), (Bytes{0x00, 0x00}));
    // Capabilities SWD + test domain timer, its 1 MHz, packet count 4, packet size 512 (64 on a 64-byte probe).
    r.run("00 F0 > 00 01 21 | 00 F1 > 00 04 40420F00 | 00 FE > 00 01 04 | 00 FF > 00 02 0002");
    Cmd(SimUsbKind::V2Bulk64).run("00 FF > 00 02 4000");
}

TEST(DapCmdBasics, ConnectConfigurePinsAndSimpleCommands) {
    Cmd r;
    // Host status; JTAG refused; unconnected: transfers unanswered, sequences not driven; default
    // port SWD; disconnect; transfer/SWD configure; clock; reset target (no sequence); transfer
    // abort (no answer); ExecuteCommands running two.
    r.run("01 00 01 > 01 00 | 02 02 > 02 00 | 05 00 01 02 > 05 00 07 | 12 08 FF > 12 FF | 02 00 > 02 01 | 03 > 03 00 | "
          "04 02 4000 1000 > 04 00 | 13 00 > 13 00 | 11 40420F00 > 11 00 | 0A > 0A 00 00 | 07 > | "
          "7F 02 00 FE 03 > 7F 02 00 01 04 03 00");
    EXPECT_EQ((std::vector<unsigned>{r.p->dap.idle_cycles, r.p->dap.wait_retry, r.p->dap.match_retry}),
              (std::vector<unsigned>{2, 64, 16}));
    r.cost("09 E803 > 09 00", 0, 1000000);  // DAP_Delay 1000 us
    r.run("10 00 80 00000000 > 10 27");  // SWJ_Pins: nRESET low
    EXPECT_TRUE(r.b.nreset_asserted);
    r.run("10 80 80 00000000 > 10 A7");
    EXPECT_FALSE(r.b.nreset_asserted);
    // A 1 ms wait for TDO (never high) runs out; one for SWCLK low is met at once.
    r.cost("10 08 08 E8030000 > 10 A7 | 10 00 01 E8030000 > 10 A6", 0, 1000000);
}

TEST(DapCmdSequences, NoAnswerBeforeTheRightSequence) {
    // A line reset alone leaves JTAG; select, then a line reset by DAP_SWD_Sequence (56 output cycles)
    // with 8 input cycles reading the pulled-up line; CTRL/STAT before DPIDR is not answered. Dormant,
    // then the wake-up in one SWJ_Sequence of 8+128+4+8 bits (0x1A split across the last two bytes).
    Cmd().run("02 01 > 02 01 | " + kRst + kNone + kRst + kSel + "1D 02 38 FFFFFFFFFFFFFF 88 > 1D 00 FF | " +
              "05 00 01 06 > 05 00 07 | " + kIdr + kRst + "12 10 BCE3 > 12 00 | " + kRst + kNone +
              "12 94 FF 92F30962952D8586E9AFDDE3A20EBC19 A0 01 > 12 00 | " + kRst + kIdr);
}

TEST(DapCmdTransfer, MixedBatchHidesPostedReadsAndStampsTime) {
    Cmd r;
    r.attach();
    for (uint32_t i = 0; i < 3; ++i) r.b.set_word(0x20000100 + 4 * i, 0xA1A2A3A4 + i * 0x10101010);
    // TAR write, DRW read x2, CTRL/STAT read, DRW read, DPIDR read, DRW write.
    r.run("05 00 07 05 00010020 0F 0F 06 0F 02 0D AAAA5555 > 05 07 01 A4A3A2A1 B4B3B2B1 400000F0 C4C3C2C1 7714A02B");
    EXPECT_EQ(r.b.word(0x2000010C), 0x5555AAAAu);
    Bytes t = r.x({0x05, 0x00, 0x01, 0x82});  // bit 7: the 1 MHz timer before the data
    ASSERT_EQ(t.size(), 11u);
    EXPECT_EQ(get32(t, 3), (uint32_t)(r.b.clock.ns / 1000));
    EXPECT_EQ(get32(t, 7), 0x2BA01477u);
}

TEST(DapCmdTransfer, ValueMatchThenMismatchAfterTheRetries) {
    Cmd r;
    r.attach();
    r.b.set_word(0x20000100, 0x00001205);
    // Match mask write (no SWD traffic), TAR, DRW read matching 0x05 under mask 0xFF; match retry 3.
    r.run("05 00 03 20 FF000000 05 00010020 1F 05000000 > 05 03 01 | 04 00 1000 0300 > 04 00");
    EXPECT_EQ(r.p->dap.match_mask, 0xFFu);
    unsigned reads = r.b.bus_reads;
    r.run("05 00 02 05 00010020 1F 06000000 > 05 01 11");  // one done; mismatch bit with ACK OK
    EXPECT_EQ(r.b.bus_reads - reads, 5u);                  // the posted start + 1 read + 3 retries
}

TEST(DapCmdTransfer, WaitRetriesRecoverOrGiveUp) {
    Cmd r;
    r.attach();
    r.run("04 00 0500 0000 > 04 00");  // 5 WAIT retries
    r.faults(5, 0, 0);                 // five WAITs: the sixth try works
    r.run("05 00 02 03 03 > 05 02 01 52000023 52000023");
    EXPECT_EQ(r.p->dap.counters.waits, 5u);
    r.faults(6, 0, 0);  // six outlast the retries: the first transfer gives up, count 0; DAPABORT ends it
    r.run("05 00 02 01 52000023 03 > 05 00 02 | 08 00 01000000 > 08 00 | 05 00 01 06 > 05 01 01 400000F0");
    EXPECT_EQ(r.p->dap.counters.waits, 11u);
}

TEST(DapCmdTransfer, FaultAndNoAckStopTheBatchAtTheFailedTransfer) {
    Cmd r;
    r.attach();
    // The first DRW read hit the hole; its value never came: count 1 (the TAR write). STICKYERR stays
    // (CTRL/STAT without READOK) until cleared. A posted write into the hole is caught by the closing
    // RDBUFF read.
    r.run("05 00 04 05 80800020 0F 0F 0F > 05 01 04 | 05 00 01 03 > 05 00 04 | 05 00 01 06 > 05 01 01 200000F0 | " +
          kClear + "05 00 01 03 > 05 01 01 52000023 | 05 00 02 05 90800020 0D 78563412 > 05 01 04 | " + kClear);
    // FAULT at the 3rd transaction from now: CSW read, RDBUFF (fetching it before CTRL/STAT),
    // CTRL/STAT read, which cannot FAULT, so the CSW read after it takes the FAULT.
    r.faults(0, 3, 0);
    r.run("05 00 03 03 06 03 > 05 02 04 52000023 400000F0");
    EXPECT_EQ(r.p->dap.counters.faults, 4u);
    r.faults(0, 0, 2);  // the 2nd transaction unanswered
    r.run("05 00 03 02 02 02 > 05 01 07 7714A02B | " + kIdr);
}

TEST(DapCmdBlock, WritesAndReadsAcrossTheKilobyteWrap) {
    Cmd r;
    r.attach();
    r.run("05 00 01 05 00040020 > 05 01 01");
    for (unsigned next = 0; next < 257;) {  // 257 words in blocks of 126 (the most a 512-byte packet carries)
        unsigned n = std::min(257 - next, 126u);
        Bytes b{0x06, 0x00, (uint8_t)n, 0x00, 0x0D};
        for (unsigned i = 0; i < n; ++i) b = cat({b, le32(0x1000 + next++)});
        EXPECT_EQ(r.x(b), (Bytes{0x06, (uint8_t)n, 0x00, 0x01}));
    }
    EXPECT_EQ(r.b.word(0x20000400), 0x1000u + 256);  // the 257th word wrapped to the block start
    EXPECT_EQ(r.b.word(0x200007FC), 0x1000u + 255);
    EXPECT_EQ(r.b.word(0x20000800), 0u);
    r.run("05 00 01 05 00040020 > 05 01 01");
    Bytes b = r.x({0x06, 0x00, 127, 0x00, 0x0F});
    ASSERT_EQ(b.size(), 4u + 4 * 127);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 4), H("06 7F00 01"));
    for (unsigned i = 0; i < 127; ++i) ASSERT_EQ(get32(b, 4 + 4 * i), 0x1000u + (i ? i : 256)) << i;
    // A block read into the hole stops at the word that failed.
    r.run("05 00 01 05 78800020 > 05 01 01 | 06 00 0500 0F > 06 0200 04 00000000 00000000");
}

TEST(DapCmdTiming, TransfersCostTheirClocksAtTheSwjClock) {
    Cmd r;
    r.attach();
    r.cost("11 40420F00 > 11 00 | 04 02 0000 0000 > 04 00", 0, 0);  // 1 MHz, 2 idle cycles
    r.cost("05 00 02 02 06 > 05 02 01 7714A02B 400000F0", 2 * (46 + 2), 2 * 48000);
    r.cost("13 01 > 13 00 | 11 002D3101 > 11 00", 0, 0);  // turnaround 2; 20 MHz asked, 10 MHz the most
    r.cost(kIdr, 48 + 2, 5000);
    r.cost(kRst, 56, 5600);
}

TEST(DapCmdMalformed, ErrorsNeverOverrunOrRunHalfACommand) {
    Cmd r(SimUsbKind::V2Bulk64);
    r.attach();
    unsigned writes = r.b.bus_writes;
    uint64_t bad = r.p->dap.counters.malformed;
    // Unknown commands; DAP_Info without an id; a transfer count beyond the data; 16 reads needing 67 answer
    // bytes in a 64-byte packet; a reserved request bit; write data cut short; blocks too long for the packet,
    // short of data, with value match, or truncated; short SWJ_Sequence, SWJ_Pins, SWD_Sequence; clock 0
    // (taken, answered with an error); ExecuteCommands stopping at the first command it cannot take.
    const std::string trace =
        "!42 > FF | !80 01 > FF | !00 > 00 00 | !05 00 03 05 00000020 0D 01000000 > 05 00 08 | "
        "!05 00 10 02020202020202020202020202020202 > 05 00 08 | !05 00 01 42 > 05 00 08 | "
        "!05 00 02 05 00000020 0D 0102 > 05 00 08 | "
        "!06 00 1000 0F > 06 0000 08 | !06 00 0200 0D 01 02 > 06 0000 08 | !06 00 0100 1F > 06 0000 08 | "
        "!06 05 00 0F > 06 0000 08 | !12 40 FFFF > 12 FF | !10 00 80 > 10 FF | !1D 01 10 FF > 1D FF | "
        "11 00000000 > 11 FF | !7F 03 03 42 03 > 7F 02 03 00 FF";
    r.run(trace);
    EXPECT_EQ(r.x(Bytes(65, 0x00), false), H("00 00"));  // longer than a packet
    EXPECT_EQ(r.b.bus_writes, writes);
    EXPECT_EQ(r.p->dap.counters.malformed - bad, (uint64_t)std::count(trace.begin(), trace.end(), '!') + 1);
    uint8_t tiny[1];  // a response buffer too small for any answer: nothing written, false
    size_t n = 99;
    EXPECT_FALSE(sim_dap_process(&r.p->dap, (const uint8_t*)"\x00\x02", 2, tiny, sizeof tiny, &n));
    EXPECT_EQ(n, 0u);
}

}  // namespace
