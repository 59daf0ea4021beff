// The lock classes: exclusion, re-entry, and a guard left by an exception.
#include "base/lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

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
    KThreadMutex lockTable;
    KThreadMutex lockQueue;
    { KMutexAdaptor<KThreadMutex> guard(lockTable, -1); }
    KMutexAdaptor<KThreadMutex> guard(lockQueue, -1);
    EXPECT_TRUE(OtherThreadCanTake(lockTable));
}

}  // namespace
