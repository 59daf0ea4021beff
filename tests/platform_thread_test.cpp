// Threads: the exit-code meaning, bounded waits, released handles, and the
// count of routines still running.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/thread.h"

namespace {

struct Gate {
    std::atomic<bool> bOpen{false};
    std::atomic<bool> bEntered{false};
};

uint32_t WaitAtGate(void* pArg) {
    Gate* pGate = static_cast<Gate*>(pArg);
    pGate->bEntered = true;
    while (!pGate->bOpen) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 42;
}

TEST(PlatformThread, ExitCodeIsStillActiveUntilTheRoutineReturns) {
    Gate gate;
    platform::ThreadHandle* hThread = platform::ThreadCreate(WaitAtGate, &gate);
    ASSERT_NE(hThread, nullptr);
    uint32_t dwCode = 0;
    ASSERT_TRUE(platform::ThreadGetExitCode(hThread, &dwCode));
    EXPECT_EQ(dwCode, platform::kStillActive);
    EXPECT_FALSE(platform::ThreadWaitEnd(hThread, 20));  // bounded: the routine still waits
    // And it lasts its whole length, also when the milliseconds carry into
    // the next second of its deadline (a lower bound: a slow machine only
    // lengthens it).
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(platform::ThreadWaitEnd(hThread, 999));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(999));

    gate.bOpen = true;
    EXPECT_TRUE(platform::ThreadWaitEnd(hThread, 5000));
    ASSERT_TRUE(platform::ThreadGetExitCode(hThread, &dwCode));
    EXPECT_EQ(dwCode, 42u);
    EXPECT_TRUE(platform::ThreadWaitEnd(hThread, 0));  // ended stays ended
    platform::ThreadClose(hThread);
}

TEST(PlatformThread, ReleasedHandleLeavesTheThreadRunningAndCounted) {
    int iBefore = platform::ThreadsRunning();
    Gate gate;
    platform::ThreadHandle* hThread = platform::ThreadCreate(WaitAtGate, &gate);
    ASSERT_NE(hThread, nullptr);
    while (!gate.bEntered) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    platform::ThreadClose(hThread);  // the thread runs on untracked

    EXPECT_EQ(platform::ThreadsRunning(), iBefore + 1);
    EXPECT_FALSE(platform::ThreadsWaitRunningAtMost(iBefore, 20));
    gate.bOpen = true;
    EXPECT_TRUE(platform::ThreadsWaitRunningAtMost(iBefore, 5000));
    EXPECT_EQ(platform::ThreadsRunning(), iBefore);
}

TEST(PlatformThread, NullHandlesAreRefused) {
    uint32_t dwCode = 7;
    EXPECT_FALSE(platform::ThreadGetExitCode(nullptr, &dwCode));
    EXPECT_FALSE(platform::ThreadWaitEnd(nullptr, 0));
    platform::ThreadClose(nullptr);
    EXPECT_EQ(platform::ThreadCreate(nullptr, nullptr), nullptr);
}

uint32_t CountUp(void* pArg) {
    static_cast<std::atomic<int>*>(pArg)->fetch_add(1);
    return 0;
}

TEST(PlatformThread, ManyShortThreadsAllRunAndEnd) {
    std::atomic<int> iDone{0};
    platform::ThreadHandle* handles[64];
    for (auto& h : handles) {
        h = platform::ThreadCreate(CountUp, &iDone);
        ASSERT_NE(h, nullptr);
    }
    for (auto& h : handles) {
        EXPECT_TRUE(platform::ThreadWaitEnd(h, 5000));
        platform::ThreadClose(h);
    }
    EXPECT_EQ(iDone.load(), 64);
    EXPECT_NE(platform::CurrentThreadId(), 0u);
}

}  // namespace
