#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/clock.h"
#include "platform/thread.h"

TEST(Threads, JoinTimesOutOnALiveThreadAndKeepsTheHandle) {
    static std::atomic<bool> release{false};
    static std::atomic<int> ran{0};
    release = false;
    ran = 0;
    PlatThread* t = plat_thread_start(
        [](void*) {
            while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ran = 1;
        },
        nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_FALSE(plat_thread_join(t, 30));  // still running: caller must keep its resources alive
    EXPECT_EQ(ran.load(), 0);
    release = true;
    EXPECT_TRUE(plat_thread_join(t, 5000));
    EXPECT_EQ(ran.load(), 1);
}

TEST(Events, AutoResetWakesOnceAndTimesOut) {
    PlatEvent* e = plat_event_create();
    ASSERT_NE(e, nullptr);
    EXPECT_FALSE(plat_event_wait(e, 10));
    plat_event_set(e);
    plat_event_set(e);  // two sets before a wait still wake only one wait
    EXPECT_TRUE(plat_event_wait(e, 0));
    EXPECT_FALSE(plat_event_wait(e, 10));
    plat_event_set(e);
    plat_event_reset(e);
    EXPECT_FALSE(plat_event_wait(e, 10));

    std::atomic<bool> woke{false};
    std::thread waiter([&] { woke = plat_event_wait(e, 5000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    plat_event_set(e);
    waiter.join();
    EXPECT_TRUE(woke.load());
    plat_event_destroy(e);
}

TEST(Clock, VirtualClockReplacesTimeAndSleep) {
    uint64_t t0 = plat_time_ms();
    PlatVirtualClock vc;
    plat_virtual_clock_init(&vc, 1000);
    plat_clock_install(&vc.clock);
    EXPECT_EQ(plat_time_ms(), 1000u);
    auto wall0 = std::chrono::steady_clock::now();
    plat_sleep_ms(60000);  // a minute of virtual time, no real waiting
    EXPECT_LT(std::chrono::steady_clock::now() - wall0, std::chrono::seconds(5));
    EXPECT_EQ(plat_time_ms(), 61000u);
    plat_clock_install(nullptr);
    uint64_t t1 = plat_time_ms();
    EXPECT_GE(t1, t0);
    plat_sleep_ms(20);
    EXPECT_GE(plat_time_ms(), t1 + 20);
}
