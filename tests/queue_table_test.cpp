// The message queue table: keys, the records' life, the release that waits
// for a user still inside a queue, and every side of the table at work at
// once (writers, readers, the outbound drain, the idle sweep and the
// whole-table reset of a reconnect).
#include "exchange/queue_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "base/testing.h"
#include "session/session_thread.h"
#include "util/engine_fixture.h"
#include "util/lock_checks.h"
#include "util/process_resources.h"
#include "vorel/vorel.h"

namespace {

// A table of its own, released at the end of the test; allocation failures
// switched off again whatever happens.
class QueueTable : public ::testing::Test {
protected:
    void TearDown() override {
        vorel_testing::FailAllocations(0, 0);
        free_hash(pTable);
    }
    MESSAGE_NODE* Node(const char* szPayload) {
        uint32_t dwLength = static_cast<uint32_t>(std::strlen(szPayload)) + kPacketHeaderSize;
        bool bPacketFailed = false;
        MESSAGE_NODE* pNode = NewMessageNode(dwLength, &bPacketFailed);
        EXPECT_NE(pNode, nullptr);
        if (pNode == nullptr) return nullptr;
        FillPacketHeader(&pNode->pPacket->header, 300, dwLength, 0, 0, 0);
        std::memcpy(PacketPayload(pNode->pPacket), szPayload, std::strlen(szPayload));
        return pNode;
    }
    _hash* pTable = NewQueueTable();
};

TEST_F(QueueTable, KeysOfIdentifiers) {
    char szKey[kQueueKeySize];
    FormSendKey(szKey, -5);
    EXPECT_STREQ(szKey, "send+-5");
    FormRecvKey(szKey, -5);
    EXPECT_STREQ(szKey, "recv+-5");
    FormSendKey(szKey, 0);
    EXPECT_STREQ(szKey, "send+0");
    FormRecvKey(szKey, INT_MIN);
    EXPECT_STREQ(szKey, "recv+-2147483648");
    FormSendKey(szKey, INT_MAX);
    EXPECT_STREQ(szKey, "send+2147483647");
}

TEST_F(QueueTable, NewQueueThenFirstAppendIsHeadAndTail) {
    ASSERT_NE(pTable, nullptr);
    MESSAGE_QUEUE* pQueue = nullptr;
    ASSERT_EQ(FindOrCreateQueue(pTable, "recv+3", &pQueue), kQueueReady);
    EXPECT_STREQ(pQueue->szKey, "recv+3");
    EXPECT_EQ(pQueue->pHead, nullptr);
    EXPECT_EQ(pQueue->pTail, nullptr);
    EXPECT_EQ(pQueue->iCount, 0);
    EXPECT_EQ(pQueue->tLastUse, 0);
    // The table finds it by its key text.
    EXPECT_EQ(hash_lookup(pTable, "recv+3"), pQueue);
    MESSAGE_QUEUE* pAgain = nullptr;
    ASSERT_EQ(FindOrCreateQueue(pTable, "recv+3", &pAgain), kQueueReady);
    EXPECT_EQ(pAgain, pQueue);
    EXPECT_EQ(pTable->iCount, 1);

    KMutexAdaptor<KThreadMutex> queueGuard(pQueue->lock, -1);
    MESSAGE_NODE* pFirst = Node("a 3 c d");
    AppendMessageNode(pQueue, pFirst, 1234);
    EXPECT_EQ(pQueue->pHead, pFirst);
    EXPECT_EQ(pQueue->pTail, pFirst);
    EXPECT_EQ(pQueue->iCount, 1);
    EXPECT_EQ(pQueue->tLastUse, 1234);

    MESSAGE_NODE* pSecond = Node("a 3 e f");
    AppendMessageNode(pQueue, pSecond, 1240);
    EXPECT_EQ(pQueue->pHead, pFirst);
    EXPECT_EQ(pFirst->pNext, pSecond);
    EXPECT_EQ(pQueue->pTail, pSecond);
    EXPECT_EQ(pQueue->iCount, 2);

    // Unlinking the consumed head leaves the tail as the only node.
    pFirst->iDone = 1;
    EXPECT_EQ(UnlinkConsumedNode(pQueue, nullptr, pFirst), pSecond);
    EXPECT_EQ(pQueue->pHead, pSecond);
    EXPECT_EQ(pQueue->iCount, 1);
    // Releasing the table releases the queue with its pending node.
}

TEST_F(QueueTable, FailuresToCreateLeaveTheTableUnchanged) {
    MESSAGE_QUEUE* pQueue = nullptr;
    vorel_testing::FailAllocations(0, 1);
    EXPECT_EQ(FindOrCreateQueue(pTable, "send+1", &pQueue), kQueueAllocFailed);
    EXPECT_EQ(pTable->iCount, 0);
    EXPECT_EQ(hash_lookup(pTable, "send+1"), nullptr);

    // A table that cannot take the queue: the queue made for it is released.
    EXPECT_EQ(FindOrCreateQueue(nullptr, "send+1", &pQueue), kQueueAddFailed);

    bool bPacketFailed = true;
    vorel_testing::FailAllocations(0, 1);
    EXPECT_EQ(NewMessageNode(100, &bPacketFailed), nullptr);
    EXPECT_FALSE(bPacketFailed);
    vorel_testing::FailAllocations(1, 1);
    EXPECT_EQ(NewMessageNode(100, &bPacketFailed), nullptr);
    EXPECT_TRUE(bPacketFailed);  // and the node was freed (the leak checker would say)

    MESSAGE_NODE* pNode = NewMessageNode(65536, &bPacketFailed);
    ASSERT_NE(pNode, nullptr);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(pNode->pPacket);
    for (int i = 0; i <= 65536; ++i) ASSERT_EQ(p[i], 0) << i;  // zeroed, terminator included
    EXPECT_EQ(pNode->iDone, 0);
    EXPECT_EQ(pNode->pNext, nullptr);
    FreeMessageNode(pNode);
    FreeMessageQueue(nullptr);
}

// What an answer counts against the bound on held answers is what it takes
// from the heap, as the heap itself counts it: never less (the bound would
// let the heap grow past it), and not much more. Smallest answers show the
// heap's rounding and headers most; measured on this thread's heap, so in
// builds whose allocator is glibc's.
TEST_F(QueueTable, AHeldAnswerCountsTheHeapItTakes) {
    if (!testutil::HeapMeasurable()) GTEST_SKIP() << "a sanitizer's allocator";
    for (uint32_t dwLength : {17u, 23u, 40u, 100u, 1000u}) {
        constexpr int kAnswers = 2000;
        std::vector<MESSAGE_NODE*> nodes;
        nodes.reserve(kAnswers);  // before the heap is measured
        int64_t iHeldBefore = HeldAnswerBytes();
        int64_t iHeapBefore = testutil::MeasureProcessResources().iHeapBytes;
        for (int i = 0; i < kAnswers; ++i) {
            bool bPacketFailed = false;
            MESSAGE_NODE* pNode = NewMessageNode(dwLength, &bPacketFailed);
            ASSERT_NE(pNode, nullptr);
            FillPacketHeader(&pNode->pPacket->header, 300, dwLength, 0, 0, 0);
            CountHeldAnswer(pNode);
            nodes.push_back(pNode);
        }
        int64_t iHeap = testutil::MeasureProcessResources().iHeapBytes - iHeapBefore;
        int64_t iHeld = HeldAnswerBytes() - iHeldBefore;
        EXPECT_GE(iHeld, iHeap) << dwLength;
        EXPECT_LE(iHeld, iHeap + 2 * 16 * kAnswers) << dwLength;
        for (MESSAGE_NODE* pNode : nodes) FreeMessageNode(pNode);
        EXPECT_EQ(HeldAnswerBytes(), iHeldBefore);
    }
}

// The bound on answers held for the game, as shipped: reached once they
// take 64 MiB of the heap, not the smallest answer earlier. Each count is
// kept as a copy of its node, through which it is taken back.
TEST_F(QueueTable, HeldAnswersReachTheShippedBoundAt64MiB) {
    constexpr int64_t kBound = 64 * 1024 * 1024;
    MESSAGE_NODE* pBig = Node(std::string(65000, 'b').c_str());
    MESSAGE_NODE* pSmall = Node("s");
    ASSERT_TRUE(pBig != nullptr && pSmall != nullptr);
    const uint32_t dwBig = HeldAnswerCost(pBig->pPacket->header.dwLength);
    const uint32_t dwSmall = HeldAnswerCost(pSmall->pPacket->header.dwLength);
    MarkNewConnectionForHeldAnswers();
    const int64_t iHeldBefore = HeldAnswerBytes();
    std::vector<MESSAGE_NODE> counted;
    auto Count = [&counted](MESSAGE_NODE* pNode) {
        CountHeldAnswer(pNode);
        counted.push_back(*pNode);
        pNode->dwHeld = 0;
    };
    while (HeldAnswerBytes() - iHeldBefore + dwBig < kBound) Count(pBig);
    while (!HeldAnswersAtLimit() && HeldAnswerBytes() - iHeldBefore < 2 * kBound) Count(pSmall);
    const int64_t iHeld = HeldAnswerBytes() - iHeldBefore;
    EXPECT_TRUE(HeldAnswersAtLimit());
    EXPECT_GE(iHeld, kBound);
    EXPECT_LT(iHeld - dwSmall, kBound);
    for (MESSAGE_NODE& copy : counted) MarkAnswerTaken(&copy);
    EXPECT_EQ(HeldAnswerBytes(), iHeldBefore);
    FreeMessageNode(pBig);
    FreeMessageNode(pSmall);
}

// The contracts on the queue's and the table's locks are checked where they
// are written: a caller that forgot the lock stops at once.
TEST_F(QueueTable, AQueueChangedWithoutItsLockOrATableWalkedWithoutItsLockAborts) {
    SKIP_WITHOUT_LOCK_CHECKS();
    MESSAGE_QUEUE* pQueue = nullptr;
    ASSERT_EQ(FindOrCreateQueue(pTable, "recv+4", &pQueue), kQueueReady);
    EXPECT_DEATH(AppendMessageNode(pQueue, Node("a 4 c d"), 1), "does not hold the lock");
    {
        KMutexAdaptor<KThreadMutex> queueGuard(pQueue->lock, -1);
        AppendMessageNode(pQueue, Node("a 4 c d"), 1);
    }
    EXPECT_DEATH(UnlinkConsumedNode(pQueue, nullptr, pQueue->pHead), "does not hold the lock");

    // The table's own methods take its lock; what a gathering runs inside
    // it checks that it is held.
    ::QueueTable queues;
    EXPECT_DEATH(queues.AssertHeld(), "does not hold the lock");
    EXPECT_EQ(queues.CountPending(), 0);
    EXPECT_EQ(queues.ExpireIdle(), 0);
    // A reset of an absent table leaves it absent and keeps nothing of the
    // table it made.
    int64_t iHeapBefore = testutil::MeasureProcessResources().iHeapBytes;
    for (int i = 0; i < 10; ++i) EXPECT_EQ(queues.Replace(), 0);
    EXPECT_EQ(queues.TableForTesting(), nullptr);
    if (testutil::HeapMeasurable()) {
        EXPECT_EQ(testutil::MeasureProcessResources().iHeapBytes, iHeapBefore);
    }
}

// A reader or writer that found a queue holds its lock past the table lock;
// the release must wait for it rather than free the queue under it.
TEST_F(QueueTable, ReleaseWaitsForAUserInsideTheQueue) {
    MESSAGE_QUEUE* pQueue = nullptr;
    ASSERT_EQ(FindOrCreateQueue(pTable, "recv+9", &pQueue), kQueueReady);
    {
        KMutexAdaptor<KThreadMutex> queueGuard(pQueue->lock, -1);
        AppendMessageNode(pQueue, Node("a 9 c d"), 1);
    }

    std::atomic<bool> bInside{false};
    std::atomic<bool> bLeave{false};
    std::thread user([&] {
        KMutexAdaptor<KThreadMutex> guard(pQueue->lock, -1);
        bInside = true;
        while (!bLeave) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        // Still inside: the queue must still be there.
        pQueue->tLastUse = 2;
        pQueue->pHead->iDone = 1;
    });
    while (!bInside) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    std::atomic<bool> bReleased{false};
    std::thread releaser([&] {
        free_hash(pTable);
        bReleased = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(bReleased.load());
    bLeave = true;
    user.join();
    releaser.join();
    EXPECT_TRUE(bReleased.load());
    pTable = nullptr;
}

// ---- the walk over the table ----------------------------------------------------

// The keys as the buckets hold them, read from the table's own layout.
std::vector<std::string> KeysInBucketOrder(const _hash* pTable) {
    std::vector<std::string> keys;
    for (int i = 0; i < pTable->iSize; ++i) {
        for (const _hashent* pEntry = pTable->ppBuckets[i]; pEntry != nullptr;
             pEntry = pEntry->pNext)
            keys.push_back(static_cast<const MESSAGE_QUEUE*>(pEntry->pData)->szKey);
    }
    return keys;
}

std::vector<std::string> KeysWalked(_hash* pTable) {
    std::vector<std::string> keys;
    EXPECT_TRUE(ForEachQueue(pTable, [&keys](MESSAGE_QUEUE* pQueue) {
        keys.push_back(pQueue->szKey);
        return QueueWalk::kNext;
    }));
    return keys;
}

int g_iReleased = 0;
void CountAndRelease(void* pQueue) {
    ++g_iReleased;
    FreeMessageQueue(pQueue);
}

// Small tables, so that buckets hold chains of several queues.
class QueueTableWalk : public QueueTable {
protected:
    void Refill(int iBuckets, int iQueues) {
        free_hash(pTable);
        pTable = hash_init(iBuckets, CountAndRelease);
        inserted.clear();
        for (int i = 0; i < iQueues; ++i) {
            char szKey[kQueueKeySize];
            (i % 2 == 0 ? FormSendKey : FormRecvKey)(szKey, i);
            MESSAGE_QUEUE* pQueue = nullptr;
            ASSERT_EQ(FindOrCreateQueue(pTable, szKey, &pQueue), kQueueReady);
            inserted.push_back(szKey);
        }
        g_iReleased = 0;
    }
    std::vector<std::string> inserted;
};

TEST_F(QueueTableWalk, BucketsInIndexOrderChainsInChainOrder) {
    Refill(1, 12);
    EXPECT_EQ(KeysWalked(pTable), inserted) << "one chain: the order of insertion";
    Refill(3, 40);
    EXPECT_EQ(KeysWalked(pTable), KeysInBucketOrder(pTable));
    Refill(kQueueTableSize, 300);
    EXPECT_EQ(KeysWalked(pTable), KeysInBucketOrder(pTable));
    EXPECT_EQ(KeysWalked(pTable).size(), 300u);
    // No table, no queues.
    int iVisits = 0;
    EXPECT_TRUE(ForEachQueue(nullptr, [&iVisits](MESSAGE_QUEUE*) {
        ++iVisits;
        return QueueWalk::kNext;
    }));
    EXPECT_EQ(iVisits, 0);
}

TEST_F(QueueTableWalk, AVisitThatStopsEndsTheWalkThere) {
    Refill(3, 40);
    std::vector<std::string> order = KeysInBucketOrder(pTable);
    std::vector<std::string> seen;
    EXPECT_FALSE(ForEachQueue(pTable, [&seen](MESSAGE_QUEUE* pQueue) {
        seen.push_back(pQueue->szKey);
        return seen.size() == 17 ? QueueWalk::kStop : QueueWalk::kNext;
    }));
    EXPECT_EQ(seen, std::vector<std::string>(order.begin(), order.begin() + 17));
    EXPECT_EQ(pTable->iCount, 40);
    EXPECT_EQ(g_iReleased, 0);
}

// Heads, runs of neighbours and tails of chains go; the rest stay linked in
// their order, found by their keys, and counted.
TEST_F(QueueTableWalk, RemovedQueuesAreUnlinkedReleasedAndUncounted) {
    for (int iBuckets : {1, 3}) {
        Refill(iBuckets, 30);
        std::vector<std::string> order = KeysInBucketOrder(pTable);
        std::vector<std::string> kept;
        std::vector<std::string> removed;
        size_t iAt = 0;
        EXPECT_TRUE(ForEachQueue(pTable, [&](MESSAGE_QUEUE* pQueue) {
            size_t i = iAt++;
            bool bRemove = i == 0 || i == 4 || i == 5 || i == 6 || i % 7 == 3 || i + 1 == 30;
            (bRemove ? removed : kept).push_back(pQueue->szKey);
            return bRemove ? QueueWalk::kRemove : QueueWalk::kNext;
        }));
        EXPECT_EQ(iAt, 30u) << "every queue visited once";
        EXPECT_EQ(g_iReleased, static_cast<int>(removed.size()));
        EXPECT_EQ(pTable->iCount, static_cast<int>(kept.size()));
        EXPECT_EQ(KeysWalked(pTable), kept);
        for (const std::string& key : removed) EXPECT_EQ(hash_lookup(pTable, key.c_str()), nullptr);
        for (const std::string& key : kept) EXPECT_NE(hash_lookup(pTable, key.c_str()), nullptr);

        // Everything, down to an empty table that still takes new queues.
        ForEachQueue(pTable, [](MESSAGE_QUEUE*) { return QueueWalk::kRemove; });
        EXPECT_EQ(pTable->iCount, 0);
        EXPECT_EQ(g_iReleased, 30);
        EXPECT_TRUE(KeysWalked(pTable).empty());
        MESSAGE_QUEUE* pQueue = nullptr;
        EXPECT_EQ(FindOrCreateQueue(pTable, "send+1", &pQueue), kQueueReady);
        EXPECT_EQ(KeysWalked(pTable), std::vector<std::string>{"send+1"});
    }
}

// ---- everything at once --------------------------------------------------------

class QueueTableStress : public testutil::EngineFixture {};

constexpr int kWriters = 8;
constexpr int kReaders = 8;
constexpr int kMaxSerial = 1 << 21;
constexpr auto kRunFor = std::chrono::milliseconds(1200);

int Check(int iSerial, int iQueueId) {
    return static_cast<int>((int64_t{iSerial} * 7919 + int64_t{iQueueId} * 31) % 100003);
}

// Counters and the first thing that went wrong.
struct StressBook {
    std::atomic<bool> bStop{false};
    std::atomic<int> iNextSerial{1};
    std::atomic<int64_t> iRequestsAccepted{0};
    std::atomic<int64_t> iAnswersQueued{0};
    std::atomic<int64_t> iDelivered{0};
    std::atomic<int64_t> iDrained{0};
    std::atomic<int64_t> iDroppedByReset{0};
    std::atomic<int64_t> iResets{0};
    std::atomic<int64_t> iQueuesSwept{0};
    std::atomic<int64_t> iTimeouts{0};
    std::atomic<int> iFailures{0};
    std::vector<std::atomic<uint8_t>> seen = std::vector<std::atomic<uint8_t>>(kMaxSerial);
    std::atomic<int> aiOwnId[kWriters] = {};
    std::mutex mutex;
    std::string firstFailure;

    void Fail(const std::string& what) {
        if (iFailures.fetch_add(1) == 0) {
            std::lock_guard<std::mutex> guard(mutex);
            firstFailure = what;
        }
    }
};

// The links of a queue agree with its count and its tail.
// REQUIRES: the table's lock and the queue's lock held.
void CheckQueueShape(MESSAGE_QUEUE* pQueue, StressBook& book) {
    int iListed = 0;
    MESSAGE_NODE* pLast = nullptr;
    for (MESSAGE_NODE* pNode = pQueue->pHead; pNode != nullptr; pNode = pNode->pNext) {
        ++iListed;
        pLast = pNode;
        uint32_t dwLength = pNode->pPacket->header.dwLength;
        if (dwLength < kMinPacketLength || dwLength > kMaxPacketLength || pNode->iDone < 0 ||
            pNode->iDone > 1) {
            book.Fail(std::string("bad node in ") + pQueue->szKey);
        }
    }
    if (iListed != pQueue->iCount) {
        book.Fail(std::string("iCount ") + std::to_string(pQueue->iCount) + " but " +
                  std::to_string(iListed) + " listed in " + pQueue->szKey);
    }
    if (pLast != pQueue->pTail)
        book.Fail(std::string("pTail is not the last node in ") + pQueue->szKey);
}

// REQUIRES: the table's lock held.
int CheckTableShape(ClientEngine& engine, StressBook& book) {
    int iWalked = 0;
    ForEachQueue(engine.queues.TableForTesting(), [&](MESSAGE_QUEUE* pQueue) {
        ++iWalked;
        KMutexAdaptor<KThreadMutex> guard(pQueue->lock, -1);
        CheckQueueShape(pQueue, book);
        return QueueWalk::kNext;
    });
    if (iWalked != engine.queues.TableForTesting()->iCount)
        book.Fail("table iCount disagrees with its buckets");
    return iWalked;
}

void Writer(ClientEngine& engine, StressBook& book, int t) {
    for (int i = 0; !book.bStop; ++i) {
        int iSerial = book.iNextSerial.fetch_add(3);
        if (iSerial + 2 >= kMaxSerial) break;
        // Shared identifiers, and one of this writer's own that moves on
        // now and then, leaving the old one to age out.
        int iOwnId = 1000 + t * 1000 + (i / 64) % 1000;
        book.aiOwnId[t] = iOwnId;
        int iQueueId = i % 2 == 0 ? 1 + i % 3 : iOwnId;
        std::string request = "req " + std::to_string(iQueueId) + " " + std::to_string(iSerial);
        if (Write_Message1(300, request.data(), 0) != 1) book.Fail("request refused: " + request);
        ++book.iRequestsAccepted;
        std::string answer = "ans " + std::to_string(iQueueId) + " " + std::to_string(iSerial) +
                             " " + std::to_string(Check(iSerial, iQueueId));
        // Refused only when a reset removed the send queue a moment ago.
        if (testutil::QueueAnswer(engine.queues, iQueueId, 300, answer,
                                  testutil::SendQueue::kRequire)) {
            ++book.iAnswersQueued;
        }
        if (i % 5 == 0) {
            // An answer nobody asks for: left until it is dropped.
            std::string other =
                "oth " + std::to_string(iQueueId) + " " + std::to_string(iSerial + 1) + " x";
            if (testutil::QueueAnswer(engine.queues, iQueueId, 301, other,
                                      testutil::SendQueue::kRequire)) {
                ++book.iAnswersQueued;
            }
        }
        if (i % 4 == 0) {
            std::string zero = "req 0 " + std::to_string(iSerial + 2);
            if (Write_Message1(300, zero.data(), 0) != 1) book.Fail("request refused: " + zero);
            ++book.iRequestsAccepted;
            std::string push = "push 0 " + std::to_string(iSerial + 2) + " " +
                               std::to_string(Check(iSerial + 2, 0));
            if (testutil::QueueAnswer(engine.queues, 0, 400 + i % 3, push,
                                      testutil::SendQueue::kRequire)) {
                ++book.iAnswersQueued;
            }
        }
    }
}

void CheckDelivered(StressBook& book, int iResult, const char* szOut, int iQueueId,
                    const char* szKind) {
    if (iResult == 0) {
        ++book.iTimeouts;
        return;
    }
    if (iResult != 4) {
        book.Fail("read returned " + std::to_string(iResult) + ": " + szOut);
        return;
    }
    char szWord[8] = {};
    int iId = -1, iSerial = -1, iCheck = -1;
    if (std::sscanf(szOut, "%7s %d %d %d", szWord, &iId, &iSerial, &iCheck) != 4 ||
        std::strcmp(szWord, szKind) != 0 || iId != iQueueId || iSerial <= 0 ||
        iSerial >= kMaxSerial || iCheck != Check(iSerial, iId)) {
        book.Fail(std::string("wrong answer for ") + std::to_string(iQueueId) + ": " + szOut);
        return;
    }
    if (book.seen[iSerial].exchange(1) != 0) {
        book.Fail("delivered twice: " + std::string(szOut));
        return;
    }
    ++book.iDelivered;
}

void Reader(StressBook& book, int r) {
    char szOut[512];
    for (int i = 0; !book.bStop; ++i) {
        int iTimeout = i % 4 == 0 ? 1 : 0;
        if (r >= 6) {
            int iType = -1;
            int iResult = Read_Message2(&iType, szOut, sizeof(szOut), iTimeout, 0);
            if (iResult != 0 && (iType < 400 || iType > 402)) book.Fail("Read_Message2 type");
            CheckDelivered(book, iResult, szOut, 0, "push");
        } else {
            int iQueueId = i % 2 == 0 ? 1 + i % 3 : book.aiOwnId[r].load();
            int iResult = Read_Message1(300, szOut, sizeof(szOut), iTimeout, iQueueId);
            CheckDelivered(book, iResult, szOut, iQueueId, "ans");
        }
    }
}

// The outbound path's consumption: every pending request of every send
// queue taken, under the table's lock and each queue's lock; the tail stays.
void Drainer(ClientEngine& engine, StressBook& book) {
    while (!book.bStop) {
        {
            KMutexAdaptor<KThreadMutex> tableGuard(engine.queues.LockForTesting(), -1);
            ForEachQueue(engine.queues.TableForTesting(), [&book](MESSAGE_QUEUE* pQueue) {
                if (std::strncmp(pQueue->szKey, "send+", 5) != 0) return QueueWalk::kNext;
                KMutexAdaptor<KThreadMutex> queueGuard(pQueue->lock, -1);
                while (pQueue->pHead != nullptr) {
                    MESSAGE_NODE* pNode = pQueue->pHead;
                    if (pNode->iDone == 0) {
                        if (pNode->pPacket->header.iType != 300 ||
                            std::strncmp(PacketPayload(pNode->pPacket), "req ", 4) != 0) {
                            book.Fail(std::string("strange request in ") + pQueue->szKey);
                        }
                        ++book.iDrained;
                    }
                    if (pNode == pQueue->pTail) {
                        pNode->iDone = 1;
                        break;
                    }
                    UnlinkConsumedNode(pQueue, nullptr, pNode);
                }
                return QueueWalk::kNext;
            });
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
}

// What a reconnect does to the table.
void Resetter(ClientEngine& engine, StressBook& book) {
    while (!book.bStop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        if (book.bStop) break;
        {
            KMutexAdaptor<KThreadMutex> tableGuard(engine.queues.LockForTesting(), -1);
            CheckTableShape(engine, book);
        }
        book.iDroppedByReset += engine.queues.Replace();
        ++book.iResets;
    }
}

// The session's maintenance sweep of idle queues.
void Sweeper(ClientEngine& engine, StressBook& book) {
    while (!book.bStop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        if (book.bStop) break;
        KMutexAdaptor<KThreadMutex> tableGuard(engine.queues.LockForTesting(), -1);
        int iBefore = CheckTableShape(engine, book);
        ExpireIdleQueues(engine);
        book.iQueuesSwept += iBefore - CheckTableShape(engine, book);
    }
}

TEST_F(QueueTableStress, WritersReadersDrainSweepAndResetKeepCountsExact) {
    // 480 s of idleness pass in 48 ms of real time.
    UseClockScale(10000);
    ClientEngine& engine = Engine();
    engine.logon.iUserStatus1 = 1;
    int iDroppedBySweepBase = g_sessionStatics.iDeletedUnprocessed.load();

    StressBook book;
    for (int t = 0; t < kWriters; ++t) book.aiOwnId[t] = 1000 + t * 1000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kWriters; ++t)
        threads.emplace_back(Writer, std::ref(engine), std::ref(book), t);
    for (int r = 0; r < kReaders; ++r) threads.emplace_back(Reader, std::ref(book), r);
    threads.emplace_back(Drainer, std::ref(engine), std::ref(book));
    threads.emplace_back(Resetter, std::ref(engine), std::ref(book));
    threads.emplace_back(Sweeper, std::ref(engine), std::ref(book));
    std::this_thread::sleep_for(kRunFor);
    book.bStop = true;
    for (auto& t : threads) t.join();

    int64_t iRemaining;
    {
        KMutexAdaptor<KThreadMutex> tableGuard(engine.queues.LockForTesting(), -1);
        CheckTableShape(engine, book);
        iRemaining = engine.queues.CountPending();
    }
    ASSERT_EQ(book.iFailures.load(), 0) << book.firstFailure;
    {
        KMutexAdaptor<KThreadMutex> guard(engine.queues.CounterLockForTesting(), -1);
        EXPECT_EQ(engine.queues.RequestTotal(), book.iRequestsAccepted.load());
    }
    int64_t iDroppedBySweep = g_sessionStatics.iDeletedUnprocessed.load() - iDroppedBySweepBase;
    // Every request and answer went somewhere, and only once.
    EXPECT_EQ(book.iRequestsAccepted + book.iAnswersQueued,
              book.iDrained + book.iDelivered + book.iDroppedByReset + iDroppedBySweep + iRemaining)
        << "accepted " << book.iRequestsAccepted << " queued " << book.iAnswersQueued << " drained "
        << book.iDrained << " delivered " << book.iDelivered << " reset " << book.iDroppedByReset
        << " swept " << iDroppedBySweep << " remaining " << iRemaining;
    // The run did exercise every side.
    EXPECT_GT(book.iDelivered.load(), 0);
    EXPECT_GT(book.iDrained.load(), 0);
    EXPECT_GT(book.iTimeouts.load(), 0);
    EXPECT_GT(book.iResets.load(), 0);
    EXPECT_GT(book.iQueuesSwept.load(), 0);
}

}  // namespace
