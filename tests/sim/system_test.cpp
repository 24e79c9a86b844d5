// The demo's mode: the board runs the demo firmware on its own thread at the wall clock's pace while a
// host talks CMSIS-DAP to the simulated probe's USB device from another: the whole chain a real transport uses.
#include <chrono>
#include <memory>
#include <thread>

#include "sim/board.h"
#include "sim/sim_system.h"
#include "tests/sim/dap_fake_board.h"
#include "tests/symbols/oracle.h"

TEST(SimSystemRealTime, FirmwareRunsWhileTheHostTalksToTheProbe) {
    const std::string elf = std::string(KORVANE_DEMO_FW_DIR) + "/demo_O0_dwarf4.elf";
    SimSystemConfig c;
    sim_system_default_config(&c);
    c.usb_kind = SimUsbKind::V2Bulk512;
    c.firmware_elf = elf.c_str();
    char err[256];
    std::unique_ptr<SimSystem, void (*)(SimSystem*)> sys(sim_system_create(&c, err, sizeof err), sim_system_destroy);
    ASSERT_NE(sys, nullptr) << err;
    SimSystem* s = sys.get();
    ASSERT_TRUE(sim_system_start_realtime(s));
    EXPECT_TRUE(sim_system_is_realtime(s));
    sim_system_lock(s);  // as the host seam opens it: the board's thread is running
    const bool opened = sim_usb_open(sim_system_usb(s)) && sim_usb_claim(sim_system_usb(s), 0);
    sim_system_unlock(s);
    ASSERT_TRUE(opened);
    auto x = [s](const Bytes& req, bool) {
        uint8_t buf[1024];
        size_t n = 0;
        EXPECT_TRUE(sim_system_usb_write(s, req.data(), req.size(), 100, &n));
        EXPECT_TRUE(sim_system_usb_read(s, buf, sizeof buf, 100, &n));
        return Bytes(buf, buf + n);
    };
    dap_trace("00 FF > 00 02 0002 | 02 01 > 02 01 | 12 38 FFFFFFFFFFFFFF > 12 00 | 12 10 9EE7 > 12 00 | "
              "12 3C FFFFFFFFFFFFFF0F > 12 00 | 05 00 04 02 04 00000050 08 00000000 01 12000023 > 05 04 01 7714A02B",
              x);
    auto word = [&](uint32_t a) {
        const Bytes r = x({0x05, 0x00, 0x02, 0x05, uint8_t(a), uint8_t(a >> 8), uint8_t(a >> 16), uint8_t(a >> 24), 0x0F}, false);
        EXPECT_EQ(r.size(), 7u);
        return r.size() == 7 ? get32(r, 3) : 0;
    };
    const uint32_t tick = nm_symbols(elf)["g_tick_count"];
    ASSERT_NE(tick, 0u);
    // A 1 kHz tick never runs ahead of the wall clock; a loaded machine lets
    // the board fall behind, so its progress is waited for, not timed.
    const auto t0 = std::chrono::steady_clock::now();
    uint32_t a = word(tick), b = a;
    for (int i = 0; i < 2000 && b - a < 100; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        b = word(tick);
    }
    const auto wall_ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    EXPECT_GE(b - a, 100u) << "the board's thread ran";
    // A step of the board's thread may cover up to 20 ms it had already lived before the window opened.
    EXPECT_LE(b - a, (uint32_t)wall_ms.count() + 21) << "ticks ahead of the wall clock";
    // Halting through the probe stops the ticks although the thread runs on, and the board's clock keeps
    // the wall clock's pace: halted, it costs nothing to emulate, so a fast clock cannot hide behind load.
    dap_trace("05 00 02 05 F0ED00E0 0D 03005FA0 > 05 02 01", x);
    auto board_ns = [s] {
        sim_system_lock(s);
        const uint64_t t = sim_board_now_ns(sim_system_board(s));
        sim_system_unlock(s);
        return t;
    };
    a = word(tick);
    const auto w0 = std::chrono::steady_clock::now();
    const uint64_t v0 = board_ns();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const uint64_t dv = board_ns() - v0;
    const auto dw = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - w0);
    EXPECT_EQ(word(tick), a);
    EXPECT_LE(dv, uint64_t(dw.count()) + 21000000u) << "the board's clock ran ahead of the wall clock";
    EXPECT_GT(dv, 0u);
    sys.reset();  // stops and joins the board's thread
}
