// The lock classes: exclusion, re-entry, a guard left by an exception, and
// the debug builds' check of who holds a lock.
#include "base/lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/mutex.h"
#include "util/lock_checks.h"

namespace {

TEST(Lock, GuardsExcludeEachOther) {
    KThreadMutex lock;
    long iCounter = 0;  // plain on purpose: only the lock protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                KMutexAdaptor<KThreadMutex> guard(lock, -1);
                ++iCounter;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(iCounter, 80000);
}

TEST(Lock, TheHoldingThreadMayEnterAgain) {
    KThreadMutex lock;
    KMutexAdaptor<KThreadMutex> outer(lock, -1);
    KMutexAdaptor<KThreadMutex> inner(lock, -1);
    SUCCEED();
}

// Whether another thread can take the lock within about a second.
bool OtherThreadCanTake(KThreadMutex& lock) {
    std::atomic<bool> bTaken{false};
    std::thread other([&] {
        KMutexAdaptor<KThreadMutex> guard(lock, -1);
        bTaken = true;
    });
    for (int i = 0; i < 1000 && !bTaken; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    bool bResult = bTaken.load();
    if (!bResult) {
        other.detach();  // it will finish once the lock is free; the test has failed anyway
    } else {
        other.join();
    }
    return bResult;
}

TEST(Lock, AnExceptionLeavingTheRegionLeavesTheLock) {
    KThreadMutex lock;
    try {
        KMutexAdaptor<KThreadMutex> guard(lock, -1);
        throw std::runtime_error("inside the region");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(OtherThreadCanTake(lock));
}

TEST(Lock, ANestedBlockReleasesBeforeTheFunctionEnds) {
    KThreadMutex lockOfTable;
    KThreadMutex lockQueue;
    { KMutexAdaptor<KThreadMutex> guard(lockOfTable, -1); }
    KMutexAdaptor<KThreadMutex> guard(lockQueue, -1);
    EXPECT_TRUE(OtherThreadCanTake(lockOfTable));
}

// The holder is known at every depth of re-entry and forgotten only when
// the last guard leaves; another thread is never taken for the holder.
TEST(Lock, TheHolderIsKnownThroughReEntryUntilTheLastGuardLeaves) {
    KThreadMutex lock;
    lock.AssertNotHeld();
    {
        KMutexAdaptor<KThreadMutex> outer(lock, -1);
        {
            KMutexAdaptor<KThreadMutex> inner(lock, -1);
            lock.AssertHeld();
        }
        lock.AssertHeld();
        std::thread other([&] { lock.AssertNotHeld(); });
        other.join();
    }
    lock.AssertNotHeld();
    std::thread other([&] {
        KMutexAdaptor<KThreadMutex> guard(lock, -1);
        lock.AssertHeld();
    });
    other.join();
    lock.AssertNotHeld();
}

TEST(LockDeathTest, ACheckThatTheLockIsHeldAbortsOnAThreadThatDoesNotHoldIt) {
    SKIP_WITHOUT_LOCK_CHECKS();
    KThreadMutex lock;
    EXPECT_DEATH(lock.AssertHeld(), "lock check failed: the calling thread does not hold the lock");
    // Held, but by another thread.
    EXPECT_DEATH(
        {
            std::atomic<bool> bHeld{false};
            std::atomic<bool> bLeave{false};
            std::thread holder([&] {
                KMutexAdaptor<KThreadMutex> guard(lock, -1);
                bHeld = true;
                while (!bLeave) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            });
            while (!bHeld) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            lock.AssertHeld();
            bLeave = true;
            holder.join();
        },
        "does not hold the lock");
    // Left as often as it was entered.
    EXPECT_DEATH(
        {
            { KMutexAdaptor<KThreadMutex> outer(lock, -1); }
            lock.AssertHeld();
        },
        "does not hold the lock");
}

TEST(LockDeathTest, ACheckThatTheLockIsNotHeldAbortsOnTheHolder) {
    SKIP_WITHOUT_LOCK_CHECKS();
    KThreadMutex lock;
    EXPECT_DEATH(
        {
            KMutexAdaptor<KThreadMutex> outer(lock, -1);
            { KMutexAdaptor<KThreadMutex> inner(lock, -1); }
            lock.AssertNotHeld();
        },
        "lock check failed: the calling thread holds the lock");
}

TEST(LockDeathTest, LeavingALockThatTheThreadDoesNotHoldAborts) {
    SKIP_WITHOUT_LOCK_CHECKS();
    KThreadMutex lock;
    EXPECT_DEATH(lock.Unlock(), "does not hold the lock");
    // The platform's critical section under it refuses such a leave too.
    platform::CriticalSection section;
    EXPECT_DEATH(section.Leave(), "");
}

TEST(LockDeathTest, DestroyingAHeldLockAborts) {
    SKIP_WITHOUT_LOCK_CHECKS();
    EXPECT_DEATH(
        {
            auto* pLock = new KThreadMutex;
            pLock->Lock();
            delete pLock;
        },
        "destroyed while held");
}

}  // namespace
