// Events on the system clocks: a bounded wait that a Set ends at once. (On
// the test clock, the session's tests count the waits of its pauses.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/clock.h"
#include "platform/event.h"
#include "util/fake_clock.h"
#include "util/session_fixture.h"

namespace {

using testutil::WaitReal;

TEST(PlatformEvent, ASetEndsEveryWaitAtOnceAndStaysUntilReset) {
    // The system clocks: two threads wait a minute of real time each.
    platform::Event event;
    EXPECT_FALSE(event.IsSet());
    std::atomic<int> iWaiting{0}, iEnded{0}, iSaidSet{0};
    auto Waiter = [&] {
        ++iWaiting;
        if (event.WaitFor(60000)) ++iSaidSet;
        ++iEnded;
    };
    std::thread first(Waiter), second(Waiter);
    // Most likely inside their waits by now; a Set that came first would
    // only let them through without waiting.
    ASSERT_TRUE(WaitReal([&] { return iWaiting.load() == 2; }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    event.Set();
    // A bound against a hang only: they end as soon as they are scheduled.
    bool bEnded = WaitReal([&] { return iEnded.load() == 2; }, 10000);
    first.join();
    second.join();
    EXPECT_TRUE(bEnded) << "a wait outlived the Set";
    EXPECT_EQ(iSaidSet.load(), 2);
    // Set stays set: a later wait does not wait at all.
    EXPECT_TRUE(event.IsSet());
    EXPECT_TRUE(event.WaitFor(60000));
    EXPECT_TRUE(event.WaitRealUs(60000000));
    event.Reset();
    EXPECT_FALSE(event.IsSet());
    EXPECT_FALSE(event.WaitFor(1));
    EXPECT_FALSE(event.WaitRealUs(100));
    // Unset, a wait lasts its whole length (a lower bound: a slow machine
    // only lengthens it).
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(event.WaitRealUs(20000));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(event.WaitFor(20));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
}

}  // namespace
