// SW-DP line protocol, DP registers and the AHB-AP, driven transaction by
// transaction as ADIv5 describes them.
#include <sstream>
#include <string>

#include "tests/sim/dap_fake_board.h"

namespace {

// SWJ bit sequences as a host sends them, LSB first.
const Bytes kLineReset(7, 0xFF), kJtagToSwd = {0x9E, 0xE7}, kSwdToDormant = {0xBC, 0xE3},
            kAlert = H("92F30962952D8586E9AFDDE3A20EBC19");

// A trace of line activity and transactions, one token each:
//   L / L46     line reset (56 ones) / that many ones
//   J D A       JTAG-to-SWD, SWD-to-dormant, selection alert
//   s1A s00/4   raw bits: hex bytes, optional bit count
//   ?J ?S ?D    the line is in JTAG, SWD or dormant state
//   fW,F,N,P    arm faults: W WAITs, FAULT at the Fth, no answer at the Nth, bad parity at the Pth
//   n7          the board has seen 7 bus writes
//   @addr=v     board word check; @addr:v sets it
//   NAME[:v][=want][&mask][!W|!F|!N]   a transaction: ':' makes it a write;
//     a read checks (value & mask) == want; the ACK must be OK unless '!' names another.
void run(DapRig& r, const std::string& trace) {
    static const std::pair<const char*, uint8_t> kRegs[] = {
        {"DPIDR", 0x00}, {"ABORT", 0x00}, {"CS", 0x04}, {"SEL", 0x08}, {"RDBUFF", 0x0C}, {"TSEL", 0x0C},
        {"CSW", 0x01},   {"TAR", 0x05},   {"AP8", 0x09}, {"DRW", 0x0D}};
    auto seq = [&](const Bytes& b, unsigned bits) { sim_swd_sequence(r.s(), b.data(), bits); };
    std::istringstream in(trace);
    for (std::string t; in >> t;) {
        SCOPED_TRACE(t);
        auto has = [&](char c) { return t.find(c) != std::string::npos; };
        auto field = [&](char c, uint32_t def, int base = 16) {
            return has(c) ? (uint32_t)std::stoul(t.substr(t.find(c) + 1), nullptr, base) : def;
        };
        if (t == "J" || t == "D" || t == "A") seq(t == "J" ? kJtagToSwd : t == "D" ? kSwdToDormant : kAlert, t == "A" ? 128 : 16);
        else if (t[0] == 'L') seq(kLineReset, t.size() > 1 ? std::stoul(t.substr(1)) : 56);
        else if (t[0] == 's') {
            Bytes b;
            for (size_t i = 1; i + 1 < t.size() && t[i] != '/'; i += 2) b.push_back((uint8_t)std::stoul(t.substr(i, 2), nullptr, 16));
            seq(b, field('/', 8 * (unsigned)b.size(), 10));
        } else if (t[0] == '?') EXPECT_EQ(sim_swd_line(r.s()), t[1] == 'J' ? SimSwdLine::Jtag : t[1] == 'S' ? SimSwdLine::Swd : SimSwdLine::Dormant);
        else if (t[0] == 'f') {
            unsigned f[4] = {};
            std::sscanf(t.c_str() + 1, "%u,%u,%u,%u", &f[0], &f[1], &f[2], &f[3]);
            r.faults(f[0], f[1], f[2], f[3]);
        } else if (t[0] == 'n') EXPECT_EQ(r.b.bus_writes, std::stoul(t.substr(1)));
        else if (t[0] == '@') {
            uint32_t a = (uint32_t)std::stoul(t.substr(1), nullptr, 16);
            if (has(':')) r.b.set_word(a, field(':', 0));
            EXPECT_EQ(r.b.word(a), field(has(':') ? ':' : '=', 0));
        } else {
            std::string name = t.substr(0, t.find_first_of(":=&!"));
            uint8_t req = 0xFF;
            for (auto& [n, code] : kRegs) req = name == n ? code : req;
            ASSERT_NE(req, 0xFF) << "unknown register " << name;
            bool write = has(':');
            uint32_t v = field(':', 0xDEADBEEF);
            // ACK codes 1 OK, 2 WAIT, 4 FAULT, 7 none are the positions of O, W, F, N here.
            size_t want_ack = has('!') ? std::string("-OW-F--N").find(t[t.find('!') + 1]) : (size_t)SIM_SWD_ACK_OK;
            EXPECT_EQ(sim_swd_transfer(r.s(), write ? req : (uint8_t)(req | SIM_SWD_RNW), &v), want_ack);
            if (!write && has('=')) { EXPECT_EQ(v & field('&', ~0u), field('=', 0)); }
        }
    }
}

#define CONNECT "L J L DPIDR=2BA01477 CS:50000000 "
struct Case { const char *why, *trace; uint32_t dpidr = 0x2BA01477u; bool power_acks = true; };
const Case kCases[] = {
    {"power-on is JTAG; a select needs its line reset (the select's last three ones and 46 are one short); "
     "then DPIDR must come first, after every line reset",
     "DPIDR!N L DPIDR!N J L DPIDR!N ?J L J ?S L46 DPIDR!N L50 CS!N SEL:0!N DRW!N DPIDR=2BA01477 CS L CS!N DPIDR"},
    {"wake-up from dormant: 8 high cycles, alert, 4 low, code 0x1A, a line reset; any wrong step stays silent",
     CONNECT "L D ?D L DPIDR!N sFF A s00/4 s1B L DPIDR!N s00/1 A s00/4 s1A L DPIDR!N sFF A s00/4 s1A DPIDR!N "
             "L DPIDR=2BA01477 ?S"},
    {"JTAG-to-dormant from power-on", "sFF sBABBBB33/31 ?D"},
    {"TARGETSEL is never answered; a wrong one silences the DPv2 until the next line reset",
     "L J L TSEL:12345678!N DPIDR!N L TSEL:00413041!N DPIDR=6BA02477 SEL:2 CS=00413041", 0x6BA02477u},
    {"AP reads are posted, RDBUFF gives the last and starts nothing; withdrawn power requests drop the acks",
     CONNECT "CS=F0000000 @20000100:11111111 @20000104:22222222 CSW:23000052 TAR:20000100 "
             "DRW DRW=11111111 RDBUFF=22222222 RDBUFF=22222222 TAR=22222222 RDBUFF=20000108 CS:0 CS=40"},
    {"an unpowered AP faults", CONNECT "CS=50000000 CSW!F CS&20=20", 0x2BA01477u, false},
    {"sticky errors FAULT all but DPIDR/CTRL-STAT reads and ABORT until ABORT clears them; TAR keeps the failing "
     "address; a WAIT storm ends by DAPABORT; bad write parity: OK answered, the write dropped, WDATAERR",
     CONNECT "CSW:23000052 TAR:20008088 DRW RDBUFF!F CSW!F SEL:0!F CS&20=20 DPIDR=2BA01477 "
             "CS:F00000FF!F ABORT:4 CS&20=0 TAR RDBUFF=20008088 DRW:1 RDBUFF!F ABORT:4 CS:50000001 "
             "f1000,0,0,0 CSW!W DPIDR CS&2=2 ABORT:11 CS&2=0 CSW CS:50000000 CSW:23000002 TAR:20000040 "
             "f0,0,0,1 DRW:77777777 @20000040=0 RDBUFF!F CS&80=80 ABORT:8 CS&B2=0 DRW:77777777 @20000040=77777777"},
    {"CSW reset value; bank 0xF: BASE then IDR (posted), CFG; AP1 absent reads 0; a reserved size is ignored",
     CONNECT "CSW RDBUFF=23000040 SEL:F0 AP8 DRW=E00FF003 RDBUFF=24770011 TAR RDBUFF=0 "
             "SEL:010000F0 DRW RDBUFF=0 SEL:0 CSW:23000007 CSW RDBUFF=23000040"},
    {"byte lanes by TAR[1:0], packed transfers, the 1 KB auto-increment wrap, an unaligned TAR on words",
     CONNECT "CSW:23000010 TAR:20000201 DRW:4433AB11 DRW:44CD2211 @20000200=00CDAB00 "
             "@20000204:87654321 TAR:20000207 DRW RDBUFF=87000000 CSW:23000011 TAR:20000206 DRW RDBUFF=87650000 "
             "TAR:20000212 DRW:BEEF0000 @20000210=BEEF0000 TAR RDBUFF=20000214 "
             "CSW:23000020 TAR:20000220 DRW:44332211 @20000220=44332211 n7 "
             "CSW:23000012 TAR:200007FC DRW:AAAAAAAA DRW:BBBBBBBB @200007FC=AAAAAAAA @20000400=BBBBBBBB @20000800=0 "
             "@20000500:01020304 TAR:20000502 DRW RDBUFF=01020304"},
    {"pushed compare (TRNMODE 2, all lanes) sets STICKYCMP on a match and never writes; then BD1/BD3",
     CONNECT "@20000300:12345678 @20000304:9ABCDEF0 CSW:23000002 TAR:20000300 CS:50000F08 "
             "DRW:11111111 CS&10=0 DRW:12345678 CS&10=10 @20000300=12345678 ABORT:2 CS:50000000 "
             "SEL:10 TAR RDBUFF=9ABCDEF0 DRW:CAFEF00D @2000030C=CAFEF00D"},
};

TEST(DapSwd, LineDpAndMemApTraces) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.why);
        DapRig r(SimUsbKind::V2Bulk512, c.dpidr);
        r.b.power_acks = c.power_acks;
        run(r, c.trace);
        EXPECT_EQ(r.b.bad_size_or_align, 0u);
    }
}

}  // namespace
