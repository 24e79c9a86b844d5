// A minimal host speaks CMSIS-DAP to the simulated probe's USB device, and
// through it reaches the board running the demo firmware: the whole chain a
// real transport will use.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>
#include <memory>
#include <chrono>
#include <thread>

#include "sim/sim_system.h"
#include "tests/symbols/oracle.h"

namespace {

const char* kinds_name(SimUsbKind k) {
    return k == SimUsbKind::V1Hid ? "v1 HID" : k == SimUsbKind::V2Bulk512 ? "v2 bulk 512" : "v2 bulk 64";
}

// Sends one command and returns its response (v1 reports carry a leading report ID on write).
class Host {
public:
    explicit Host(SimSystem* s, SimUsbKind kind) : sys_(s), usb_(sim_system_usb(s)), v1_(kind == SimUsbKind::V1Hid) {}
    bool open() { return sim_usb_open(usb_) && sim_usb_claim(usb_, 0); }
    std::vector<uint8_t> cmd(const std::vector<uint8_t>& req) {
        std::vector<uint8_t> out;
        if (v1_) out.push_back(0);
        out.insert(out.end(), req.begin(), req.end());
        size_t n = 0;
        if (!sim_system_usb_write(sys_, out.data(), out.size(), 100, &n)) return {};
        uint8_t buf[1024];
        size_t got = 0;
        if (!sim_system_usb_read(sys_, buf, sizeof buf, 100, &got) || got == 0 || buf[0] != req[0]) return {};
        return std::vector<uint8_t>(buf, buf + got);
    }
    size_t packet_size() { return sim_usb_packet_size(usb_); }

private:
    SimSystem* sys_;
    SimUsbDev* usb_;
    bool v1_;
};

void put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back((uint8_t)(x >> (8 * i)));
}
uint32_t get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

// DAP_Transfer request bytes: APnDP bit 0, RnW bit 1, A[3:2] bits 2-3.
constexpr uint8_t DP_R = 0x02, DP_W = 0x00, AP_R = 0x03, AP_W = 0x01;
constexpr uint8_t A0 = 0x00, A4 = 0x04, A8 = 0x08, AC = 0x0C;

struct Target {
    Host& h;
    bool write(uint8_t req, uint32_t value) {
        std::vector<uint8_t> r = {0x05, 0, 1, req};
        put32(r, value);
        auto resp = h.cmd(r);
        return resp.size() >= 3 && resp[1] == 1 && resp[2] == 1;
    }
    bool read(uint8_t req, uint32_t* value) {
        auto resp = h.cmd({0x05, 0, 1, req});
        if (resp.size() < 7 || resp[1] != 1 || resp[2] != 1) return false;
        *value = get32(&resp[3]);
        return true;
    }
    bool mem_write(uint32_t addr, uint32_t v) { return write(AP_W | A4, addr) && write(AP_W | AC, v); }
    bool mem_read(uint32_t addr, uint32_t* v) { return write(AP_W | A4, addr) && read(AP_R | AC, v); }
};

SimSystem* make_system(SimUsbKind kind, const std::string& elf) {
    SimSystemConfig c;
    sim_system_default_config(&c);
    c.usb_kind = kind;
    c.firmware_elf = elf.c_str();
    char err[256];
    SimSystem* s = sim_system_create(&c, err, sizeof err);
    EXPECT_NE(s, nullptr) << err;
    return s;
}

// Connect, switch the line to SWD, read DPIDR, power up the debug domain, select a 32-bit auto-incrementing AP.
void connect(Host& h, Target& t) {
    ASSERT_TRUE(h.open());
    auto info = h.cmd({0x00, 0xFF});  // packet size
    ASSERT_GE(info.size(), 4u);
    EXPECT_EQ(info[1], 2);
    EXPECT_EQ(info[2] | info[3] << 8, (int)h.packet_size());
    ASSERT_EQ(h.cmd({0x02, 1}).at(1), 1);  // SWD
    ASSERT_EQ(h.cmd({0x12, 56, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}).at(1), 0);
    ASSERT_EQ(h.cmd({0x12, 16, 0x9E, 0xE7}).at(1), 0);
    ASSERT_EQ(h.cmd({0x12, 60, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}).at(1), 0);
    uint32_t v = 0;
    ASSERT_TRUE(t.read(DP_R | A0, &v));
    EXPECT_EQ(v, 0x2BA01477u);
    ASSERT_TRUE(t.write(DP_W | A4, 0x50000000));  // CSYSPWRUPREQ | CDBGPWRUPREQ
    ASSERT_TRUE(t.read(DP_R | A4, &v));
    EXPECT_EQ(v & 0xF0000000u, 0xF0000000u);
    ASSERT_TRUE(t.write(DP_W | A8, 0));
    ASSERT_TRUE(t.write(AP_W | A0, 0x23000012));  // 32-bit, auto-increment single
}

// A system with the host attached; destroyed on every way out of a test.
struct Session {
    std::unique_ptr<SimSystem, void (*)(SimSystem*)> sys;
    Host h;
    Target t;
    Session(SimSystem* s, SimUsbKind kind) : sys(s, sim_system_destroy), h(s, kind), t{h} {}
};

class SimSystemTest : public ::testing::TestWithParam<SimUsbKind> {
protected:
    void SetUp() override {
        elf_ = std::string(KORVANE_DEMO_FW_DIR) + "/demo_O2_dwarf4.elf";
        bin_ = read_binary_file(std::string(KORVANE_DEMO_FW_DIR) + "/demo_O2_dwarf4.bin");
        ASSERT_FALSE(bin_.empty());
    }
    std::string elf_;
    std::vector<uint8_t> bin_;
};

}  // namespace

TEST_P(SimSystemTest, HaltReadRegistersAndResumeThroughTheProbe) {
    Session ss(make_system(GetParam(), elf_), GetParam());
    ASSERT_NE(ss.sys, nullptr);
    SimSystem* s = ss.sys.get();
    Host& h = ss.h;
    Target& t = ss.t;
    connect(h, t);
    if (HasFatalFailure()) return;
    uint32_t v = 0;
    ASSERT_TRUE(t.mem_read(0xE0042000, &v));
    EXPECT_EQ(v, 0x10076413u);  // DBGMCU_IDCODE of an STM32F405/407
    ASSERT_TRUE(t.mem_read(0x1FFF7A20, &v));
    EXPECT_EQ(v >> 16, 1024u);  // flash size word (upper halfword of the word at 0x1FFF7A20)

    // The firmware has been running while we talked to the probe.
    ASSERT_TRUE(t.mem_read(0xE000EDF0, &v));
    EXPECT_EQ(v & 0x00020000u, 0u) << "not halted yet";
    ASSERT_TRUE(t.mem_write(0xE000EDF0, 0xA05F0003));  // C_DEBUGEN | C_HALT
    ASSERT_TRUE(t.mem_read(0xE000EDF0, &v));
    EXPECT_NE(v & 0x00020000u, 0u) << "S_HALT";
    ASSERT_TRUE(t.mem_write(0xE000EDF4, 15));  // DCRSR: read PC
    ASSERT_TRUE(t.mem_read(0xE000EDF0, &v));
    EXPECT_NE(v & 0x00010000u, 0u) << "S_REGRDY";
    uint32_t pc = 0;
    ASSERT_TRUE(t.mem_read(0xE000EDF8, &pc));
    EXPECT_GE(pc, 0x08000000u);
    EXPECT_LT(pc, 0x08000000u + bin_.size());
    uint32_t board_pc = 0;
    ASSERT_TRUE(sim_board_read_core_reg(sim_system_board(s), 15, &board_pc));
    EXPECT_EQ(pc, board_pc);

    // Halted, the tick counter stands still; resumed, SysTick counts about one tick per millisecond.
    uint32_t tick_addr = nm_symbols(elf_)["g_tick_count"];
    ASSERT_NE(tick_addr, 0u);
    uint32_t t1 = 0, t2 = 0, t3 = 0;
    ASSERT_TRUE(t.mem_read(tick_addr, &t1));
    sim_board_run(sim_system_board(s), 5'000'000);
    ASSERT_TRUE(t.mem_read(tick_addr, &t2));
    EXPECT_EQ(t1, t2);
    // The exchanges themselves take target time too (1-2 ms each at full speed).
    ASSERT_TRUE(t.mem_write(0xE000EDF0, 0xA05F0001));  // resume: running at the latest from here
    uint64_t ns0 = sim_board_now_ns(sim_system_board(s));
    sim_board_run(sim_system_board(s), 20'000'000);    // 20 ms of target time
    ASSERT_TRUE(t.mem_read(tick_addr, &t3));
    double ran_ms = (sim_board_now_ns(sim_system_board(s)) - ns0) / 1e6;
    EXPECT_GE(t3 - t2 + 1.0, ran_ms);
    EXPECT_LE(t3 - t2, ran_ms + 3.0);  // it may have resumed during the last exchange of the write
}

TEST_P(SimSystemTest, Read64KiBOfFlashAndReportWhatItCost) {
    Session ss(make_system(GetParam(), elf_), GetParam());
    ASSERT_NE(ss.sys, nullptr);
    SimSystem* s = ss.sys.get();
    Host& h = ss.h;
    Target& t = ss.t;
    connect(h, t);
    if (HasFatalFailure()) return;
    SimProbe* p = sim_system_probe(s);
    sim_probe_reset_counters(p);
    uint64_t t0 = sim_board_now_ns(sim_system_board(s));

    // The largest DAP_TransferBlock read that fits a response packet; TAR is
    // written at every 1 KB boundary, where its auto-increment wraps.
    const size_t words_per_packet = (h.packet_size() - 4) / 4;
    std::vector<uint8_t> data;
    for (uint32_t block = 0; block < 64; ++block) {
        uint32_t addr = 0x08000000 + block * 1024;
        ASSERT_TRUE(t.write(AP_W | A4, addr));
        size_t left = 256;
        while (left) {
            size_t n = std::min(left, words_per_packet);
            auto resp = h.cmd({0x06, 0, (uint8_t)n, (uint8_t)(n >> 8), AP_R | AC});
            ASSERT_EQ(resp.size() >= 4 + 4 * n, true);
            ASSERT_EQ(resp[1] | resp[2] << 8, (int)n);
            ASSERT_EQ(resp[3], 1);
            data.insert(data.end(), resp.begin() + 4, resp.begin() + 4 + 4 * n);
            left -= n;
        }
    }
    ASSERT_EQ(data.size(), 65536u);
    EXPECT_TRUE(std::equal(bin_.begin(), bin_.end(), data.begin())) << "flash holds the firmware image";
    for (size_t i = bin_.size(); i < data.size(); ++i) ASSERT_EQ(data[i], 0xFF) << "erased flash at +" << i;

    SimProbeCounters c = sim_probe_counters(p);
    double ms = (sim_board_now_ns(sim_system_board(s)) - t0) / 1e6;
    printf("[COUNTERS] 64 KiB read over %s: %llu exchanges, %llu bytes out, %llu bytes in, %llu AP reads, "
           "%llu SWD clocks, link %.1f ms, total %.1f ms\n",
           kinds_name(GetParam()), (unsigned long long)c.exchanges, (unsigned long long)c.bytes_out,
           (unsigned long long)c.bytes_in, (unsigned long long)c.ap_reads, (unsigned long long)c.swd_clocks,
           c.link_ns / 1e6, ms);
    // Sanity of the link model: at least one exchange per packet of data, and
    // at least one 1 ms frame (v1, full speed) or 125 us microframe per exchange.
    EXPECT_GE(c.exchanges, 65536 / (h.packet_size() - 4));
    EXPECT_GE(c.link_ns, c.exchanges * (h.packet_size() == 512 ? 125000ull : 1000000ull));
}

INSTANTIATE_TEST_SUITE_P(AllProbes, SimSystemTest,
                         ::testing::Values(SimUsbKind::V1Hid, SimUsbKind::V2Bulk512, SimUsbKind::V2Bulk64),
                         [](const auto& info) {
                             return std::string(info.param == SimUsbKind::V1Hid       ? "V1Hid"
                                                : info.param == SimUsbKind::V2Bulk512 ? "V2Bulk512"
                                                                                      : "V2Bulk64");
                         });

// The demo's mode: the board runs on its own thread at the wall clock's pace
// while the host talks to the probe from another thread.
TEST(SimSystemRealTime, FirmwareRunsWhileTheHostTalksToTheProbe) {
    std::string elf = std::string(KORVANE_DEMO_FW_DIR) + "/demo_O0_dwarf4.elf";
    Session ss(make_system(SimUsbKind::V2Bulk512, elf), SimUsbKind::V2Bulk512);
    ASSERT_NE(ss.sys, nullptr);
    SimSystem* s = ss.sys.get();
    ASSERT_TRUE(sim_system_start_realtime(s));
    EXPECT_TRUE(sim_system_is_realtime(s));
    Host& h = ss.h;
    Target& t = ss.t;
    connect(h, t);
    if (HasFatalFailure()) return;
    uint32_t tick_addr = nm_symbols(elf)["g_tick_count"];
    ASSERT_NE(tick_addr, 0u);
    uint32_t a = 0, b = 0;
    ASSERT_TRUE(t.mem_read(tick_addr, &a));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(t.mem_read(tick_addr, &b));
    // A 1 kHz tick over 300 ms of wall time; loose bounds, since a loaded
    // machine lets the board fall behind rather than race.
    EXPECT_GT(b - a, 30u);
    EXPECT_LT(b - a, 400u);
    // Halting through the probe stops the ticks although the thread runs on.
    ASSERT_TRUE(t.mem_write(0xE000EDF0, 0xA05F0003));
    ASSERT_TRUE(t.mem_read(tick_addr, &a));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(t.mem_read(tick_addr, &b));
    EXPECT_EQ(a, b);
    ss.sys.reset();  // stops and joins the board's thread
}
