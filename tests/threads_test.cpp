// The library's thread helpers: a slot cleared only by the thread whose
// handle it holds, also when that thread ends before its starter has
// published the handle; and thread creation retried while the system
// refuses, each refusal logged.
#include "base/threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>

#include "platform/clock.h"
#include "platform/testing.h"
#include "platform/thread.h"
#include "util/engine_fixture.h"
#include "util/session_fixture.h"

namespace {

using testutil::WaitReal;

class Threads : public testutil::EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        UseClockScale(0);
    }
    void TearDown() override {
        platform_testing::RefuseThreads(0);
        EXPECT_TRUE(platform::ThreadsWaitRunningAtMost(0, 10000));
        EngineFixture::TearDown();
    }
    int RefusalLines(const std::string& pattern) const {
        int iCount = 0;
        for (const std::string& line : LogLines())
            iCount += std::regex_match(line, std::regex(pattern)) ? 1 : 0;
        return iCount;
    }
};

// A slotted thread held at a gate until released, leaving its slot as it ends.
struct SlottedThread {
    ThreadSlot* pSlot = nullptr;
    SlotSelf self;
    std::atomic<bool> bRelease{false};
    std::atomic<bool> bLeft{false};
};

uint32_t RunSlotted(void* pArg) {
    SlottedThread* pThread = static_cast<SlottedThread*>(pArg);
    while (!pThread->bRelease.load()) platform::SleepRealMs(1);
    pThread->self.Leave(*pThread->pSlot);
    pThread->bLeft = true;
    return 0;
}

platform::ThreadHandle* StartSlotted(ThreadSlot& slot, SlottedThread& thread) {
    thread.pSlot = &slot;
    TakeThreadSlot(slot, "---slot taken---");
    platform::ThreadHandle* hThread = CreateThreadRetrying(RunSlotted, &thread, "refused: %d\n");
    thread.self.Publish(slot, hThread);
    return hThread;
}

TEST_F(Threads, AThreadEndingBeforeItsHandleIsPublishedStillClearsItsSlot) {
    ThreadSlot slot{nullptr};
    SlottedThread thread;
    thread.pSlot = &slot;
    thread.bRelease = true;  // it ends at once, before the handle is out
    platform::ThreadHandle* hThread = platform::ThreadCreate(RunSlotted, &thread);
    ASSERT_NE(hThread, nullptr);
    platform::SleepRealMs(50);
    EXPECT_FALSE(thread.bLeft.load()) << "it left without knowing its handle";
    thread.self.Publish(slot, hThread);
    EXPECT_TRUE(WaitReal([&] { return thread.bLeft.load(); }, 5000));
    EXPECT_EQ(slot.load(), nullptr);
}

TEST_F(Threads, AnOlderThreadEndingLeavesItsSuccessorsHandleInTheSlot) {
    ThreadSlot slot{nullptr};
    SlottedThread older;
    SlottedThread newer;
    StartSlotted(slot, older);
    EXPECT_EQ(CountLogLines("---slot taken---"), 0) << "the slot was empty";
    platform::ThreadHandle* hNewer = StartSlotted(slot, newer);
    EXPECT_EQ(CountLogLines("---slot taken---"), 1);
    ASSERT_EQ(slot.load(), hNewer);

    older.bRelease = true;
    ASSERT_TRUE(WaitReal([&] { return older.bLeft.load(); }, 5000));
    EXPECT_EQ(slot.load(), hNewer) << "the older thread cleared its successor's handle";
    uint32_t dwCode = 0;
    EXPECT_TRUE(platform::ThreadGetExitCode(hNewer, &dwCode)) << "the handle is still open";

    newer.bRelease = true;
    ASSERT_TRUE(WaitReal([&] { return newer.bLeft.load(); }, 5000));
    EXPECT_EQ(slot.load(), nullptr);
}

uint32_t EndAtOnce(void*) { return 0; }

TEST_F(Threads, CreationIsRetriedAtOnceWithoutLimitEachRefusalLogged) {
    platform_testing::RefuseThreads(3);
    platform::ThreadHandle* hThread = CreateThreadRetrying(EndAtOnce, nullptr, "refused A: %d\n");
    ASSERT_NE(hThread, nullptr);
    EXPECT_TRUE(platform::ThreadWaitEnd(hThread, 5000));
    platform::ThreadClose(hThread);
    EXPECT_EQ(RefusalLines("refused A: \\d+"), 3);
}

TEST_F(Threads, CreationStopsWhenTheRetryRuleSaysSo) {
    platform_testing::RefuseThreads(5);
    int iAsked = 0;
    platform::ThreadHandle* hThread =
        CreateThreadRetrying(EndAtOnce, nullptr, "refused B: %d\n", [&iAsked] {
            // Logged before the rule is asked.
            return ++iAsked < 2;
        });
    EXPECT_EQ(hThread, nullptr);
    EXPECT_EQ(iAsked, 2);
    EXPECT_EQ(RefusalLines("refused B: \\d+"), 2);

    // A thread the system grants at once asks nothing and logs nothing.
    platform_testing::RefuseThreads(0);
    iAsked = 0;
    hThread = CreateThreadRetrying(EndAtOnce, nullptr, "refused C: %d\n", [&iAsked] {
        ++iAsked;
        return false;
    });
    ASSERT_NE(hThread, nullptr);
    EXPECT_TRUE(platform::ThreadWaitEnd(hThread, 5000));
    platform::ThreadClose(hThread);
    EXPECT_EQ(iAsked, 0);
    EXPECT_EQ(RefusalLines("refused C: \\d+"), 0);
}

}  // namespace
