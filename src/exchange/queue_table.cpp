#include "exchange/queue_table.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#include "base/alloc.h"
#include "base/text.h"
#include "exchange/testing.h"
#include "platform/clock.h"

namespace {

constexpr int64_t kDefaultHeldAnswerLimit = 64 * 1024 * 1024;

std::atomic<int64_t> g_iHeldAnswerBytes{0};
std::atomic<int64_t> g_iHeldAnswerLimit{kDefaultHeldAnswerLimit};
// What was held when the current connection began.
std::atomic<int64_t> g_iHeldAtConnection{0};

// Queues made so far: the order of queues that share a bucket.
std::atomic<uint64_t> g_qwQueuesMade{0};

}  // namespace

namespace {

// What a heap block of iRequested bytes takes from the heap. glibc puts a
// size word in front of each block (8 bytes on 64-bit systems, 4 on 32-bit)
// and rounds blocks up to 16 bytes (32 at least on 64-bit); the Windows heap
// puts a header of 8 bytes in front (16 on 64-bit) and rounds to 8 (16).
// Two pointers of header, the whole rounded up to 16 bytes, is never below
// any of them and above by at most 16 bytes, so the bound holds for the
// heap the answers really take.
constexpr size_t kHeapBlockHeader = 2 * sizeof(void*);
constexpr size_t kHeapBlockGranule = 16;

size_t HeapBlockCost(size_t iRequested) {
    return (iRequested + kHeapBlockHeader + kHeapBlockGranule - 1) / kHeapBlockGranule *
           kHeapBlockGranule;
}

}  // namespace

uint32_t HeldAnswerCost(uint32_t dwLength) {
    // The packet block (the packet and its zero byte) and the node record.
    return static_cast<uint32_t>(HeapBlockCost(static_cast<size_t>(dwLength) + 1) +
                                 HeapBlockCost(sizeof(MESSAGE_NODE)));
}

void CountHeldAnswer(MESSAGE_NODE* pNode) {
    pNode->dwHeld = HeldAnswerCost(pNode->pPacket->header.dwLength);
    g_iHeldAnswerBytes.fetch_add(pNode->dwHeld);
}

void MarkAnswerTaken(MESSAGE_NODE* pNode) {
    pNode->iDone = 1;
    if (pNode->dwHeld != 0) g_iHeldAnswerBytes.fetch_sub(pNode->dwHeld);
    pNode->dwHeld = 0;
}

int64_t HeldAnswerBytes() { return g_iHeldAnswerBytes.load(); }

bool HeldAnswersAtLimit() {
    // Answers kept from an earlier connection do not count: the game may be
    // unable to read them until it has logged on again over this one, which
    // takes reading. Held bytes thus stay below twice the limit.
    int64_t iHeld = g_iHeldAnswerBytes.load();
    int64_t iEarlier = g_iHeldAtConnection.load();
    if (iEarlier > iHeld) iEarlier = iHeld;
    return iHeld - iEarlier >= g_iHeldAnswerLimit.load();
}

void MarkNewConnectionForHeldAnswers() { g_iHeldAtConnection.store(g_iHeldAnswerBytes.load()); }

namespace vorel_testing {

void SetHeldAnswerLimit(size_t iBytes) {
    g_iHeldAnswerLimit.store(iBytes == 0 ? kDefaultHeldAnswerLimit : static_cast<int64_t>(iBytes));
}

}  // namespace vorel_testing

namespace {

// "send+%d" or "recv+%d": formed for every request, answer and read.
void FormKey(char* szKey, const char* szKind, int iQueueId) {
    static_assert(kQueueKeySize >= 5 + kDecimalSize, "room for the longest key");
    std::memcpy(szKey, szKind, 5);
    FormatDecimal(szKey + 5, iQueueId);
}

}  // namespace

void FormSendKey(char* szKey, int iQueueId) { FormKey(szKey, "send+", iQueueId); }

void FormRecvKey(char* szKey, int iQueueId) { FormKey(szKey, "recv+", iQueueId); }

void FreeMessageNode(MESSAGE_NODE* pNode) {
    if (pNode == nullptr) return;
    if (pNode->dwHeld != 0) g_iHeldAnswerBytes.fetch_sub(pNode->dwHeld);
    ZeroFree(pNode->pPacket);
    ZeroFree(pNode);
}

void FreeMessageQueue(void* pValue) {
    MESSAGE_QUEUE* pQueue = static_cast<MESSAGE_QUEUE*>(pValue);
    if (pQueue == nullptr) return;
    {
        // The queue is no longer reachable through the table; a game thread
        // that found it earlier may still be inside: wait until it leaves.
        KMutexAdaptor<KThreadMutex> guard(pQueue->lock, -1);
    }
    while (pQueue->pHead != nullptr) {
        MESSAGE_NODE* pNode = pQueue->pHead;
        pQueue->pHead = pNode->pNext;
        FreeMessageNode(pNode);
    }
    pQueue->~MESSAGE_QUEUE();
    ZeroFree(pQueue);
}

_hash* NewQueueTable() { return hash_init(kQueueTableSize, FreeMessageQueue); }

FindOrCreateResult FindOrCreateQueue(_hash* pTable, const char* szKey, MESSAGE_QUEUE** ppQueue) {
    *ppQueue = static_cast<MESSAGE_QUEUE*>(hash_lookup(pTable, szKey));
    if (*ppQueue != nullptr) return kQueueReady;

    void* pBlock = ZeroAlloc(sizeof(MESSAGE_QUEUE));
    if (pBlock == nullptr) return kQueueAllocFailed;
    MESSAGE_QUEUE* pQueue = new (pBlock) MESSAGE_QUEUE();  // members zero, lock constructed
    std::strncpy(pQueue->szKey, szKey, sizeof(pQueue->szKey) - 1);
    pQueue->iSlot = hash_slot(pTable, pQueue->szKey);
    pQueue->qwMade = g_qwQueuesMade.fetch_add(1);
    if (hash_add(pTable, pQueue, pQueue) != 0) {
        FreeMessageQueue(pQueue);
        return kQueueAddFailed;
    }
    *ppQueue = pQueue;
    return kQueueReady;
}

MESSAGE_NODE* NewMessageNode(uint32_t dwLength, bool* pbPacketFailed) {
    *pbPacketFailed = false;
    MESSAGE_NODE* pNode = static_cast<MESSAGE_NODE*>(ZeroAlloc(sizeof(MESSAGE_NODE)));
    if (pNode == nullptr) return nullptr;
    pNode->pPacket = static_cast<MESSAGE_PACKET*>(ZeroAlloc(static_cast<size_t>(dwLength) + 1));
    if (pNode->pPacket == nullptr) {
        *pbPacketFailed = true;
        ZeroFree(pNode);
        return nullptr;
    }
    return pNode;
}

void AppendMessageNode(MESSAGE_QUEUE* pQueue, MESSAGE_NODE* pNode, int32_t tNow) {
    pQueue->lock.AssertHeld();
    if (pQueue->pHead == nullptr) {
        pQueue->pHead = pNode;
    } else {
        pQueue->pTail->pNext = pNode;
    }
    ++pQueue->iCount;
    pQueue->pTail = pNode;
    pQueue->tLastUse = tNow;
}

MESSAGE_NODE* UnlinkConsumedNode(MESSAGE_QUEUE* pQueue, MESSAGE_NODE* pPrev, MESSAGE_NODE* pNode) {
    pQueue->lock.AssertHeld();
    MESSAGE_NODE* pNext = pNode->pNext;
    if (pPrev == nullptr) {
        pQueue->pHead = pNext;
    } else {
        pPrev->pNext = pNext;
    }
    --pQueue->iCount;
    FreeMessageNode(pNode);
    return pNext;
}

QueueTable::~QueueTable() { ZeroFree(ppGatherOrder); }

void QueueTable::Free() {
    if (pQueueTable != nullptr) free_hash(pQueueTable);
    pQueueTable = nullptr;
    pListedHead = nullptr;
    iListed = 0;
    ZeroFree(ppGatherOrder);
    ppGatherOrder = nullptr;
    iOrderRoom = 0;
}

_hash* QueueTable::SwapTableForTesting(_hash* pTable) {
    KMutexAdaptor<KThreadMutex> guard(lockTable, -1);
    std::swap(pTable, pQueueTable);
    pListedHead = nullptr;
    iListed = 0;
    return pTable;
}

namespace {

// Intrusive doubly linked lists, newest first: T's pPrev and pNext members
// (given as member pointers) link it. REQUIRES: the list's lock held.
template <typename T, T* T::*pPrev, T* T::*pNext>
void LinkFront(T*& pHead, T* pItem) {
    pItem->*pPrev = nullptr;
    pItem->*pNext = pHead;
    if (pHead != nullptr) pHead->*pPrev = pItem;
    pHead = pItem;
}

template <typename T, T* T::*pPrev, T* T::*pNext>
void Unlink(T*& pHead, T* pItem) {
    if (pItem->*pPrev != nullptr) {
        (pItem->*pPrev)->*pNext = pItem->*pNext;
    } else {
        pHead = pItem->*pNext;
    }
    if (pItem->*pNext != nullptr) (pItem->*pNext)->*pPrev = pItem->*pPrev;
    pItem->*pPrev = nullptr;
    pItem->*pNext = nullptr;
}

}  // namespace

void QueueTable::List(MESSAGE_QUEUE* pQueue) {
    lockTable.AssertHeld();
    if (pQueue->bListed) return;
    pQueue->bListed = true;
    LinkFront<MESSAGE_QUEUE, &MESSAGE_QUEUE::pPrevListed, &MESSAGE_QUEUE::pNextListed>(pListedHead,
                                                                                       pQueue);
    ++iListed;
}

void QueueTable::Unlist(MESSAGE_QUEUE* pQueue) {
    lockTable.AssertHeld();
    if (!pQueue->bListed) return;
    pQueue->bListed = false;
    Unlink<MESSAGE_QUEUE, &MESSAGE_QUEUE::pPrevListed, &MESSAGE_QUEUE::pNextListed>(pListedHead,
                                                                                    pQueue);
    --iListed;
}

namespace {

// A walk meets the buckets in index order, and the queues of one bucket in
// the order in which they were made (see hash_slot).
bool WalkOrder(const MESSAGE_QUEUE* a, const MESSAGE_QUEUE* b) {
    return a->iSlot != b->iSlot ? a->iSlot < b->iSlot : a->qwMade < b->qwMade;
}

}  // namespace

bool QueueTable::OrderListed(int* piListed) {
    if (iListed > iOrderRoom) {
        // Twice what is needed, so that a growing list rarely grows it again.
        int iRoom = iListed * 2;
        auto ppRoom = static_cast<MESSAGE_QUEUE**>(
            ZeroAlloc(static_cast<size_t>(iRoom) * sizeof(MESSAGE_QUEUE*)));
        if (ppRoom == nullptr) return false;
        ZeroFree(ppGatherOrder);
        ppGatherOrder = ppRoom;
        iOrderRoom = iRoom;
    }
    int n = 0;
    for (MESSAGE_QUEUE* pQueue = pListedHead; pQueue != nullptr; pQueue = pQueue->pNextListed) {
        ppGatherOrder[n++] = pQueue;
    }
    std::sort(ppGatherOrder, ppGatherOrder + n, WalkOrder);
    *piListed = n;
    return true;
}

bool QueueTable::DrainListed(bool (*pfnDrain)(MESSAGE_QUEUE*, void*), void* pContext) {
    lockTable.AssertHeld();
    int n = 0;
    if (!OrderListed(&n)) {
        // Without room to order the list, the table is walked as a whole:
        // the same queues in the same order, and the others hold nothing.
        return ForEachQueue(pQueueTable, [this, pfnDrain, pContext](MESSAGE_QUEUE* pQueue) {
            if (std::strncmp(pQueue->szKey, "send", 4) != 0) return QueueWalk::kNext;
            if (!pfnDrain(pQueue, pContext)) return QueueWalk::kStop;
            Unlist(pQueue);
            return QueueWalk::kNext;
        });
    }
    for (int i = 0; i < n; ++i) {
        if (!pfnDrain(ppGatherOrder[i], pContext)) return false;
        Unlist(ppGatherOrder[i]);
    }
    return true;
}

int QueueTable::Replace() {
    _hash* pNewTable = NewQueueTable();
    _hash* pOldTable = nullptr;
    int iPending = 0;
    {
        KMutexAdaptor<KThreadMutex> guard(lockTable, -1);
        if (pQueueTable != nullptr) {
            iPending = CountPendingLocked();
            pOldTable = pQueueTable;
            pQueueTable = pNewTable;
            pNewTable = nullptr;
            // The listed queues go with the old table.
            pListedHead = nullptr;
            iListed = 0;
        }
    }
    // Nothing reaches the old table once it is out, and each of its queues
    // waits for a game thread still inside it.
    if (pOldTable != nullptr) free_hash(pOldTable);
    if (pNewTable != nullptr) free_hash(pNewTable);  // the table stayed absent
    return iPending;
}

StoreResult QueueTable::StoreAnswer(int iQueueId, const char* pPacket, uint32_t dwLength,
                                    int iFields) {
    KMutexAdaptor<KThreadMutex> guard(lockTable, -1);
    char szKey[kQueueKeySize];
    FormSendKey(szKey, iQueueId);
    MESSAGE_QUEUE* pSendQueue = static_cast<MESSAGE_QUEUE*>(hash_lookup(pQueueTable, szKey));
    if (pSendQueue == nullptr) return StoreResult::kNoRequestQueue;
    int32_t tNow = platform::NowSeconds32();
    {
        KMutexAdaptor<KThreadMutex> queueGuard(pSendQueue->lock, -1);
        pSendQueue->tLastUse = tNow;
    }
    FormRecvKey(szKey, iQueueId);
    MESSAGE_QUEUE* pRecvQueue = nullptr;
    FindOrCreateResult found = FindOrCreateQueue(pQueueTable, szKey, &pRecvQueue);
    if (found == kQueueAllocFailed) return StoreResult::kQueueAllocFailed;
    if (found == kQueueAddFailed) return StoreResult::kQueueAddFailed;
    // The node is complete before it is linked.
    bool bPacketFailed = false;
    MESSAGE_NODE* pNode = NewMessageNode(dwLength, &bPacketFailed);
    if (pNode == nullptr) {
        return bPacketFailed ? StoreResult::kPacketAllocFailed : StoreResult::kNodeAllocFailed;
    }
    std::memcpy(pNode->pPacket, pPacket, dwLength);
    pNode->iFields = iFields;
    CountHeldAnswer(pNode);
    // Taken by no reader before its line is in the log.
    pNode->dwSerial = dwAnswerSerial.fetch_add(1) + 1;
    {
        KMutexAdaptor<KThreadMutex> queueGuard(pRecvQueue->lock, -1);
        AppendMessageNode(pRecvQueue, pNode, platform::NowSeconds32());
    }
    return StoreResult::kStored;
}

int QueueTable::ExpireIdle() {
    KMutexAdaptor<KThreadMutex> guard(lockTable, -1);
    int iDropped = 0;
    ForEachQueue(pQueueTable, [this, &iDropped](MESSAGE_QUEUE* pQueue) {
        bool bExpired;
        int iPending = 0;
        {
            KMutexAdaptor<KThreadMutex> queueGuard(pQueue->lock, -1);
            bExpired = platform::SecondsElapsed(pQueue->tLastUse, 480);
            for (MESSAGE_NODE* pNode = pQueue->pHead; bExpired && pNode != nullptr;
                 pNode = pNode->pNext) {
                if (pNode->iDone == 0) ++iPending;
            }
        }
        if (!bExpired) return QueueWalk::kNext;
        iDropped += iPending;
        Unlist(pQueue);
        return QueueWalk::kRemove;
    });
    return iDropped;
}

void QueueTable::PublishAnswers() {
    uint32_t dwSerial = dwAnswerSerial.load();
    if (dwAnswersPublished.exchange(dwSerial) == dwSerial) return;
    if (iWaiters.load() > 0) WakeWaiters();
}

void QueueTable::AddWaiter(AnswerWaiter* pWaiter) {
    KMutexAdaptor<KThreadMutex> guard(lockWaiters, -1);
    LinkFront<AnswerWaiter, &AnswerWaiter::pPrev, &AnswerWaiter::pNext>(pWaitersHead, pWaiter);
    ++iWaiters;
}

void QueueTable::RemoveWaiter(AnswerWaiter* pWaiter) {
    KMutexAdaptor<KThreadMutex> guard(lockWaiters, -1);
    Unlink<AnswerWaiter, &AnswerWaiter::pPrev, &AnswerWaiter::pNext>(pWaitersHead, pWaiter);
    --iWaiters;
}

void QueueTable::WakeWaiters() {
    KMutexAdaptor<KThreadMutex> guard(lockWaiters, -1);
    for (AnswerWaiter* pWaiter = pWaitersHead; pWaiter != nullptr; pWaiter = pWaiter->pNext) {
        pWaiter->published.Set();
    }
}

int QueueTable::CountPending() {
    KMutexAdaptor<KThreadMutex> guard(lockTable, -1);
    return CountPendingLocked();
}

int QueueTable::CountPendingLocked() {
    lockTable.AssertHeld();
    int iPending = 0;
    ForEachQueue(pQueueTable, [&iPending](MESSAGE_QUEUE* pQueue) {
        KMutexAdaptor<KThreadMutex> guard(pQueue->lock, -1);
        for (MESSAGE_NODE* pNode = pQueue->pHead; pNode != nullptr; pNode = pNode->pNext) {
            if (pNode->iDone == 0) ++iPending;
        }
        return QueueWalk::kNext;
    });
    return iPending;
}

void QueueTable::ThrowLocked() {
    KMutexAdaptor<KThreadMutex> guard(lockTable, -1);
    throw std::runtime_error("injected");
}
