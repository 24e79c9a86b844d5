// CMSIS-DAP commands as byte-exact request/response pairs, in the layout the
// CMSIS-DAP command reference gives for each command (values little-endian).
#include <algorithm>
#include <sstream>

#include "tests/sim/dap_fake_board.h"

namespace {

#define RST "12 38 FFFFFFFFFFFFFF > 12 00 | "
#define SEL "12 10 9EE7 > 12 00 | "
#define IDR "05 00 01 02 > 05 01 01 7714A02B | "
#define NONE "05 00 01 02 > 05 00 07 | "
#define CLEAR "08 00 04000000 > 08 00 | "  // DAP_WriteAbort: STKERRCLR
// What a host does first: connect, line reset, JTAG-to-SWD, line reset, then DPIDR,
// power-up, SELECT 0 and CSW for 32-bit auto-increment in one DAP_Transfer.
#define ATTACH "02 01 > 02 01 | " RST SEL RST "05 00 04 02 04 00000050 08 00000000 01 52000023 > 05 04 01 7714A02B | "

// A trace of "REQ > RESP" exchanges, and between them, '|'-separated:
//   faults W F N   arm SWD faults (W WAITs, FAULT at the Fth, no answer at the Nth)
//   set A V / word A V   write / check a board word;   nreset 0|1   the pin's state
//   mark / cost C N      SWCLK cycles C and N ns passed since the mark
//   waits N / faults= N  the probe's counters;   reads N   bus reads since the mark
// A response's TTTTTTTT is the 1 MHz timer after the command.
void run(DapRig& r, const std::string& trace) {
    uint64_t c0 = 0, t0 = 0, reads0 = 0;
    auto mark = [&] { c0 = r.p->dap.counters.swd_clocks, t0 = r.b.clock.ns, reads0 = r.b.bus_reads; };
    mark();
    for (size_t at = 0, bar; at < trace.size(); at = bar + 1) {
        bar = std::min(trace.find('|', at), trace.size());
        const std::string ex = trace.substr(at, bar - at);
        std::istringstream in(ex);
        std::string op;
        uint64_t a = 0, v = 0, w = 0;
        in >> op >> std::hex >> a >> v >> w;
        SCOPED_TRACE(ex);
        if (op == "faults") r.faults(uint32_t(a), uint32_t(v), uint32_t(w));
        else if (op == "set") r.b.set_word(uint32_t(a), uint32_t(v));
        else if (op == "word") EXPECT_EQ(r.b.word(uint32_t(a)), v);
        else if (op == "nreset") EXPECT_EQ(r.b.nreset_asserted, a != 0);
        else if (op == "mark") mark();
        else if (op == "cost") EXPECT_EQ((std::vector<uint64_t>{r.p->dap.counters.swd_clocks - c0, r.b.clock.ns - t0}),
                                         (std::vector<uint64_t>{a, v}));
        else if (op == "waits") EXPECT_EQ(r.p->dap.counters.waits, a);
        else if (op == "faults=") EXPECT_EQ(r.p->dap.counters.faults, a);
        else if (op == "reads") EXPECT_EQ(r.b.bus_reads - reads0, a);
        else if (ex.find('>') != std::string::npos) {
            std::string want = ex.substr(ex.find('>') + 1);
            const Bytes got = r.x(H(ex.substr(0, ex.find('>'))));
            if (want.find("TTTTTTTT") != std::string::npos) {
                char now[9];
                std::snprintf(now, sizeof now, "%08X", __builtin_bswap32(uint32_t(r.b.clock.ns / 1000)));
                want.replace(want.find("TTTTTTTT"), 8, now);
            }
            EXPECT_EQ(got, H(want));
        }
    }
}

struct Case { const char* why; std::string trace; SimUsbKind kind = SimUsbKind::V2Bulk512; };
const Case kCases[] = {
    {"DAP_Info: strings, unknown ids empty, capabilities SWD + test domain timer, its 1 MHz, 4 packets of 512",
     "00 01 > 00 08 'Korvane' 00 | 00 02 > 00 16 'Korvane Sim CMSIS-DAP' 00 | 00 03 > 00 0D 'KSIM00000001' 00 | "
     "00 04 > 00 06 '2.1.0' 00 | 00 09 > 00 06 '1.0.0' 00 | 00 05 > 00 00 | 00 06 > 00 00 | 00 07 > 00 00 | "
     "00 08 > 00 00 | 00 FB > 00 00 | 00 FC > 00 00 | 00 FD > 00 00 | 00 42 > 00 00 | "
     "00 F0 > 00 01 21 | 00 F1 > 00 04 40420F00 | 00 FE > 00 01 04 | 00 FF > 00 02 0002"},
    {"a 64-byte probe's packet size", "00 FF > 00 02 4000", SimUsbKind::V2Bulk64},
    {"simple commands; unconnected, transfers go unanswered and sequences undriven; a 1 ms wait for TDO "
     "(never high) runs out, one for SWCLK low is met at once",
     "01 00 01 > 01 00 | 02 02 > 02 00 | 05 00 01 02 > 05 00 07 | 12 08 FF > 12 FF | 02 00 > 02 01 | 03 > 03 00 | "
     "04 02 4000 1000 > 04 00 | 13 00 > 13 00 | 11 40420F00 > 11 00 | 0A > 0A 00 00 | 07 > | "
     "7F 02 00 FE 03 > 7F 02 00 01 04 03 00 | mark | 09 E803 > 09 00 | cost 0 F4240 | "
     "10 00 80 00000000 > 10 27 | nreset 1 | 10 80 80 00000000 > 10 A7 | nreset 0 | mark | "
     "10 08 08 E8030000 > 10 A7 | 10 00 01 E8030000 > 10 A6 | cost 0 F4240"},
    {"no answer before the right sequence: JTAG, a line reset by DAP_SWD_Sequence (56 out, 8 in), CTRL/STAT "
     "before DPIDR, dormant; the wake-up as one SWJ_Sequence of 8+128+4+8 bits",
     "02 01 > 02 01 | " RST NONE RST SEL "1D 02 38 FFFFFFFFFFFFFF 88 > 1D 00 FF | 05 00 01 06 > 05 00 07 | " IDR RST
     "12 10 BCE3 > 12 00 | " RST NONE "12 94 FF 92F30962952D8586E9AFDDE3A20EBC19 A0 01 > 12 00 | " RST IDR},
    {"a mixed batch hides the posted reads; bit 7 puts the timer before the data",
     ATTACH "set 20000100 A1A2A3A4 | set 20000104 B1B2B3B4 | set 20000108 C1C2C3C4 | "
     "05 00 07 05 00010020 0F 0F 06 0F 02 0D AAAA5555 > 05 07 01 A4A3A2A1 B4B3B2B1 400000F0 C4C3C2C1 7714A02B | "
     "word 2000010C 5555AAAA | 05 00 01 82 > 05 01 01 TTTTTTTT 7714A02B"},
    {"value match under the mask, then a mismatch after 3 retries (the posted start + 1 read + 3 retries)",
     ATTACH "set 20000100 1205 | 05 00 03 20 FF000000 05 00010020 1F 05000000 > 05 03 01 | "
     "04 00 1000 0300 > 04 00 | mark | 05 00 02 05 00010020 1F 06000000 > 05 01 11 | reads 5"},
    {"five WAITs within 5 retries: the sixth try works; six: the first transfer gives up, DAPABORT ends it",
     ATTACH "04 00 0500 0000 > 04 00 | faults 5 0 0 | 05 00 02 03 03 > 05 02 01 52000023 52000023 | waits 5 | "
     "faults 6 0 0 | 05 00 02 01 52000023 03 > 05 00 02 | 08 00 01000000 > 08 00 | "
     "05 00 01 06 > 05 01 01 400000F0 | waits B"},
    {"FAULT and no answer stop the batch at the failed transfer; STICKYERR stays until cleared; CTRL/STAT "
     "cannot FAULT, the read after it takes the armed one",
     ATTACH "05 00 04 05 80800020 0F 0F 0F > 05 01 04 | 05 00 01 03 > 05 00 04 | 05 00 01 06 > 05 01 01 200000F0 | "
     CLEAR "05 00 01 03 > 05 01 01 52000023 | 05 00 02 05 90800020 0D 78563412 > 05 01 04 | " CLEAR
     "faults 0 3 0 | 05 00 03 03 06 03 > 05 02 04 52000023 400000F0 | faults= 4 | faults 0 0 2 | "
     "05 00 03 02 02 02 > 05 01 07 7714A02B | " IDR},
    {"transfers cost their clocks at the SWJ clock (1 MHz, then 10: the most), idle cycles and turnaround",
     ATTACH "11 40420F00 > 11 00 | 04 02 0000 0000 > 04 00 | mark | 05 00 02 02 06 > 05 02 01 7714A02B 400000F0 | "
     "cost 60 17700 | 13 01 > 13 00 | 11 002D3101 > 11 00 | mark | " IDR "cost 32 1388 | mark | " RST "cost 38 15E0"},
};

TEST(DapCmd, ByteExactExchanges) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.why);
        DapRig r(c.kind);
        run(r, c.trace);
    }
}

TEST(DapCmd, BlocksWriteAndReadAcrossTheKilobyteWrap) {
    DapRig r;
    run(r, ATTACH "05 00 01 05 00040020 > 05 01 01");
    for (unsigned next = 0; next < 257;) {  // 257 words in blocks of 126 (the most a 512-byte packet carries)
        unsigned n = std::min(257 - next, 126u);
        Bytes b{0x06, 0x00, (uint8_t)n, 0x00, 0x0D};
        for (unsigned i = 0; i < n; ++i) for (uint8_t x : le32(0x1000 + next++)) b.push_back(x);
        EXPECT_EQ(r.x(b), (Bytes{0x06, (uint8_t)n, 0x00, 0x01}));
    }
    // The 257th word wrapped to the block start.
    run(r, "word 20000400 1100 | word 200007FC 10FF | word 20000800 0 | 05 00 01 05 00040020 > 05 01 01");
    Bytes b = r.x({0x06, 0x00, 127, 0x00, 0x0F});
    ASSERT_EQ(b.size(), 4u + 4 * 127);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 4), H("06 7F00 01"));
    for (unsigned i = 0; i < 127; ++i) ASSERT_EQ(get32(b, 4 + 4 * i), 0x1000u + (i ? i : 256)) << i;
    // A block read into the hole stops at the word that failed.
    run(r, "05 00 01 05 78800020 > 05 01 01 | 06 00 0500 0F > 06 0200 04 00000000 00000000");
}

TEST(DapCmd, MalformedCommandsNeverOverrunOrRunHalfway) {
    DapRig r(SimUsbKind::V2Bulk64);
    run(r, ATTACH);
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
