// The threads and events the probe thread and its callers are built on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/thread.h"

TEST(Threads, JoinTimesOutOnALiveThreadAndKeepsTheHandle) {
    static std::atomic<int> state{0};  // 1 released, 2 ran
    PlatThread* t = plat_thread_start([](void*) {
        while (state.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        state = 2;
    }, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_FALSE(plat_thread_join(t, 30));  // still running: caller must keep its resources alive
    EXPECT_EQ(state.exchange(1), 0);
    EXPECT_TRUE(plat_thread_join(t, 5000));
    EXPECT_EQ(state.load(), 2);
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
