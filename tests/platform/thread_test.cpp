// The events the probe thread waits on for its commands.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/thread.h"

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
