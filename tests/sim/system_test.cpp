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

}  // namespace

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
    // A 1 kHz tick never runs ahead of the wall clock; a loaded machine lets
    // the board fall behind, so its progress is waited for, not timed.
    uint32_t a = 0, b = 0;
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(t.mem_read(tick_addr, &a));
    b = a;
    for (int i = 0; i < 2000 && b - a < 100; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(t.mem_read(tick_addr, &b));
    }
    const auto wall_ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    EXPECT_GE(b - a, 100u) << "the board's thread ran";
    // A step of the board's thread may cover up to 20 ms it had already lived before the window opened.
    EXPECT_LE(b - a, (uint32_t)wall_ms.count() + 21) << "ticks ahead of the wall clock";
    // Halting through the probe stops the ticks although the thread runs on.
    ASSERT_TRUE(t.mem_write(0xE000EDF0, 0xA05F0003));
    ASSERT_TRUE(t.mem_read(tick_addr, &a));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(t.mem_read(tick_addr, &b));
    EXPECT_EQ(a, b);
    ss.sys.reset();  // stops and joins the board's thread
}
