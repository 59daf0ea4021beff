// Clocks: the elapsed-seconds rule, the wrapping tick, and substituted clocks
// that let minute-long rules run in milliseconds.
#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <thread>

#include "platform/clock.h"
#include "util/fake_clock.h"

namespace {

TEST(PlatformClock, ElapsedSecondsCountExactlyAndNeverBackwards) {
    testutil::ScopedTestClock clock(1);
    int32_t tThen = platform::NowSeconds32();
    clock.AdvanceSeconds(479);
    EXPECT_FALSE(platform::SecondsElapsed(tThen, 480));
    clock.AdvanceSeconds(1);
    EXPECT_TRUE(platform::SecondsElapsed(tThen, 480));
    EXPECT_TRUE(platform::SecondsElapsed(tThen, 0));
    // A clock set back: the negative difference never counts as elapsed,
    // not even for a rule of zero seconds.
    clock.AdvanceSeconds(-600);
    EXPECT_FALSE(platform::SecondsElapsed(tThen, 0));
    EXPECT_FALSE(platform::SecondsElapsed(tThen, -5));
}

TEST(PlatformClock, AZeroStoredTimeHasLongElapsed) {
    // Stored times start at 0 (the key-request time after a reconnect, for
    // instance): any rule has then elapsed.
    EXPECT_TRUE(platform::SecondsElapsed(0, 60));
    EXPECT_TRUE(platform::SecondsElapsed(0, 600));
}

TEST(PlatformClock, TickDifferencesSurviveTheWrap) {
    testutil::ScopedTestClock clock(1000, 0xFFFFFF00u);  // 256 ms before the wrap
    uint32_t dwStart = platform::TickMs();
    platform::SleepMs(60000);  // a minute of the library's time
    uint32_t dwNow = platform::TickMs();
    EXPECT_LT(dwNow, dwStart);  // the counter wrapped
    uint32_t dwElapsed = platform::TickMsSince(dwStart);
    EXPECT_GE(dwElapsed, 60000u);
    EXPECT_LT(dwElapsed, 600000u);
}

TEST(PlatformClock, SubstitutedSleepRunsInMillisecondsOfRealTime) {
    testutil::ScopedTestClock clock(1000);
    int32_t tStart = platform::NowSeconds32();
    auto realStart = std::chrono::steady_clock::now();
    platform::SleepMs(600 * 1000);  // the 600-second maintenance period
    auto real = std::chrono::steady_clock::now() - realStart;
    EXPECT_TRUE(platform::SecondsElapsed(tStart, 600));
    // Generous: only shows that the substitution took effect.
    EXPECT_LT(real, std::chrono::seconds(30));
}

TEST(PlatformClock, LocalTimeFollowsTheSubstitutedSeconds) {
    testutil::ScopedTestClock clock(1);
    platform::LocalTime before;
    platform::GetLocalTime(&before);
    clock.AdvanceSeconds(24 * 3600);
    platform::LocalTime after;
    platform::GetLocalTime(&after);
    EXPECT_TRUE(before.iDay != after.iDay || before.iMonth != after.iMonth);
    EXPECT_GE(after.iMonth, 1);
    EXPECT_LE(after.iMonth, 12);
}

TEST(PlatformClock, SystemClocksAreBackAfterTheTestClock) {
    {
        testutil::ScopedTestClock clock(1);
        clock.AdvanceSeconds(100000);
    }
    int64_t iNow = platform::NowSeconds();
    EXPECT_LT(std::llabs(iNow - static_cast<int64_t>(time(nullptr))), 5);
    platform::LocalTime now;
    platform::GetLocalTime(&now);
    EXPECT_GE(now.iYear, 2024);
}

// The system's local time is the C library's conversion of the current
// second, also as the seconds pass (a thread keeps a conversion for its
// second).
TEST(PlatformClock, SystemLocalTimeFollowsTheSecondsAsTheyPass) {
    int iSecondsSeen = 0;
    time_t tLast = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (iSecondsSeen < 3 && std::chrono::steady_clock::now() < deadline) {
        time_t tBefore = time(nullptr);
        platform::LocalTime now;
        platform::GetLocalTime(&now);
        if (time(nullptr) != tBefore) continue;  // a second began meanwhile
        struct tm expected {};
        localtime_r(&tBefore, &expected);
        ASSERT_EQ(now.iSecond, expected.tm_sec);
        ASSERT_EQ(now.iMinute, expected.tm_min);
        ASSERT_EQ(now.iHour, expected.tm_hour);
        ASSERT_EQ(now.iDay, expected.tm_mday);
        ASSERT_EQ(now.iMonth, expected.tm_mon + 1);
        ASSERT_EQ(now.iYear, expected.tm_year + 1900);
        if (tBefore != tLast) ++iSecondsSeen;
        tLast = tBefore;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(iSecondsSeen, 3);
}

}  // namespace
