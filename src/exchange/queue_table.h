// The message queue table: per identifier N, a send queue ("send+N") of the
// game's requests and a receive queue ("recv+N") of the server's answers.
//
// Lifetime and ordering. A queue is found under the table's lockTable and
// used after that lock is left, while the idle sweep and the table reset
// free queues holding lockTable alone. So every user takes the queue's own
// `lock` before it leaves lockTable (hand over hand), and holds it for as
// long as it touches the queue; FreeMessageQueue enters and leaves a queue's
// lock before freeing it, which waits out a user still inside. The session
// thread, which holds lockTable for its passes, also takes a queue's lock
// while it appends to or drains that queue. Producer and consumer therefore
// always meet under the same lock: the links, the tail rule and iCount stay
// exact without relying on memory ordering between different locks.
//
// Lock order: lockTable, then a queue's lock, then lockCounter. A thread
// that holds a queue's lock never takes lockTable.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>

#include "base/lock.h"
#include "base/packet.h"
#include "platform/event.h"
#include "support/quorvex.h"

// One queued packet: dwLength bytes (the header and the payload) and one
// zero byte behind them that dwLength does not count.
struct MESSAGE_PACKET {
    PacketHeader header;
    // The payload follows the header in the same block.
};

struct MESSAGE_NODE {
    MESSAGE_PACKET* pPacket;  // owned; never null in a listed node
    int32_t iDone;            // 0 pending, 1 consumed
    MESSAGE_NODE* pNext;      // next newer node, null at the tail
    uint32_t dwHeld;          // bytes counted in the held answers (0 for a request)
    uint32_t dwSerial;        // an answer's number (see AnswerPublished); 0 for a request
    int32_t iFields;          // an answer's fields as its reader counts them (up to 5000)
};

struct MESSAGE_QUEUE {
    char szKey[20];       // "send+N" or "recv+N"; first, so the table can key on it
    MESSAGE_NODE* pHead;  // oldest node; null only while the queue never held one
    MESSAGE_NODE* pTail;  // newest node
    int32_t iCount;       // nodes in the list
    int32_t tLastUse;     // seconds (low 32 bits) of the last use
    KThreadMutex lock;    // guards everything above but szKey, see the header comment
    // Where a walk of the table meets the queue: its bucket, and its place
    // among the queues of that bucket (the order in which they were made).
    // Set when the queue is made.
    int32_t iSlot;
    uint64_t qwMade;
    // The list of request queues that a request was queued to since the
    // last gathering, guarded by the table's lockTable.
    bool bListed;
    MESSAGE_QUEUE* pPrevListed;
    MESSAGE_QUEUE* pNextListed;
};

constexpr int kQueueTableSize = 10000;
constexpr int kQueueKeySize = 20;

// The payload bytes of a packet (dwLength - 16 of them, then a zero).
inline char* PacketPayload(MESSAGE_PACKET* pPacket) {
    return reinterpret_cast<char*>(pPacket) + kPacketHeaderSize;
}
inline const char* PacketPayload(const MESSAGE_PACKET* pPacket) {
    return reinterpret_cast<const char*>(pPacket) + kPacketHeaderSize;
}

// What a visit tells ForEachQueue to do next.
enum class QueueWalk {
    kNext,    // go on to the next queue
    kRemove,  // take this queue out of the table, release it, go on
    kStop,    // end the walk here
};

// Visits every queue of the table, buckets in index order and each bucket's
// chain in chain order: visit(MESSAGE_QUEUE*) returns a QueueWalk. A queue
// removed is unlinked, released through the table's release function and
// no longer counted in iCount. False when a visit stopped the walk. A null
// table has no queues. REQUIRES: lockTable held (for the engine's table).
template <typename Visit>
bool ForEachQueue(_hash* pTable, Visit visit) {
    // The support library walks its own table and calls back for each queue.
    int (*pfnVisit)(void*, void*) = [](void* pData, void* pContext) -> int {
        switch ((*static_cast<Visit*>(pContext))(static_cast<MESSAGE_QUEUE*>(pData))) {
            case QueueWalk::kRemove:
                return HASH_WALK_REMOVE;
            case QueueWalk::kStop:
                return HASH_WALK_STOP;
            case QueueWalk::kNext:
            default:
                return HASH_WALK_NEXT;
        }
    };
    return hash_walk(pTable, pfnVisit, &visit) != 0;
}

// "send+%d" / "recv+%d" with N into szKey (at least kQueueKeySize bytes).
void FormSendKey(char* szKey, int iQueueId);
void FormRecvKey(char* szKey, int iQueueId);

// The table's release function: frees a queue with all its nodes and
// packets, pending or not. Waits for a user still inside the queue (see
// above). Null is ignored.
void FreeMessageQueue(void* pQueue);

// A new table of 10000 slots releasing queues with FreeMessageQueue.
_hash* NewQueueTable();

// Find or create. REQUIRES: lockTable held.
enum FindOrCreateResult {
    kQueueReady = 0,        // *ppQueue found or created and added
    kQueueAllocFailed = 1,  // no memory for a new queue; the table is unchanged
    kQueueAddFailed = 2,    // hash_add refused it; it was released, the table is unchanged
};
FindOrCreateResult FindOrCreateQueue(_hash* pTable, const char* szKey, MESSAGE_QUEUE** ppQueue);

// A zeroed node with a zeroed packet of dwLength + 1 bytes, or null; on
// failure *pbPacketFailed tells which allocation failed (the node is freed).
MESSAGE_NODE* NewMessageNode(uint32_t dwLength, bool* pbPacketFailed);
void FreeMessageNode(MESSAGE_NODE* pNode);

// Links a complete node behind pTail (or as pHead), counts it and stamps the
// queue. REQUIRES: the queue's lock held.
void AppendMessageNode(MESSAGE_QUEUE* pQueue, MESSAGE_NODE* pNode, int32_t tNow);

// What the library holds for the game: the heap taken by the answers stored
// in receive queues and not yet freed, in all queues of all tables. The
// session stops taking answers from the server while they reach the limit
// (64 MiB unless a test lowers it), so that a server cannot fill the
// process's memory faster than the game reads; TCP then holds the server
// back.
void CountHeldAnswer(MESSAGE_NODE* pNode);  // before the node is linked
// The heap one stored answer of dwLength bytes takes: its packet block and
// its node, each as the heap rounds it, with the heap's own header.
uint32_t HeldAnswerCost(uint32_t dwLength);
// Marks an answer read (iDone 1) and no longer held: a read tail node stays
// listed, but the game has it. REQUIRES: the queue's lock held.
void MarkAnswerTaken(MESSAGE_NODE* pNode);
int64_t HeldAnswerBytes();
bool HeldAnswersAtLimit();
// A connection set-up calls it: answers held from earlier connections no
// longer hold up reading (see HeldAnswersAtLimit).
void MarkNewConnectionForHeldAnswers();

// Whether a reader may take the answer: its number has been published
// (QueueTable::PublishAnswers). Nodes without a number always may.
inline bool AnswerPublished(uint32_t dwPublished, const MESSAGE_NODE* pNode) {
    return static_cast<int32_t>(dwPublished - pNode->dwSerial) >= 0;
}

// Unlinks a consumed node that is not pTail: pPrev is its predecessor, or
// null when it is pHead. Frees the node and its packet and returns its
// successor. REQUIRES: the queue's lock held; pNode != pTail.
MESSAGE_NODE* UnlinkConsumedNode(MESSAGE_QUEUE* pQueue, MESSAGE_NODE* pPrev, MESSAGE_NODE* pNode);

// What became of an answer given to QueueTable::StoreAnswer.
enum class StoreResult {
    kStored,
    kNoRequestQueue,    // no send queue of its identifier: the server broke the protocol
    kQueueAllocFailed,  // the receive queue could not be made
    kQueueAddFailed,    // the table refused the new receive queue
    kNodeAllocFailed,
    kPacketAllocFailed,
};

// A reader of the prompt mode while it waits: its event is set whenever
// answers are published (QueueTable::PublishAnswers), and at the unload.
struct AnswerWaiter {
    platform::Event published;
    AnswerWaiter* pPrev = nullptr;
    AnswerWaiter* pNext = nullptr;
};

// The engine's queue table with its lock: every look-up, insertion, walk,
// expiry and replacement of the table goes through here, each taking
// lockTable for its memory work alone. Work on one queue runs under that
// queue's lock, taken before lockTable is left (see the top of this file).
// What follows from an outcome (a log line, a reconnect) is the caller's,
// once the lock is left.
class QueueTable {
public:
    QueueTable() = default;
    ~QueueTable();
    QueueTable(const QueueTable&) = delete;
    QueueTable& operator=(const QueueTable&) = delete;

    // A new empty table. One that cannot be made stays absent: every look-up
    // then finds nothing, and the next request makes it.
    void Create() { pQueueTable = NewQueueTable(); }

    // Releases the table and every queue in it. REQUIRES: no other thread
    // uses it any more (shutdown, once the engine's threads have ended).
    void Free();

    // A connection set-up's reset: a new table takes the old one's place
    // under lockTable, and the old one, with everything it holds, is freed
    // once the lock is left, so that no game call waits for the freeing. An
    // absent table stays absent. Returns the pending messages dropped.
    int Replace();

    // A request: the queue of szKey, found or created (an absent table is
    // made first). When it is ready, fnAppend(MESSAGE_QUEUE*) runs under the
    // queue's lock and returns whether it appended a request, which marks
    // the table for the next gathering and is counted (RequestTotal).
    // Returns how the queue was found.
    template <typename Fn>
    FindOrCreateResult Submit(const char* szKey, Fn fnAppend);

    // A reader: fnWalk(MESSAGE_QUEUE*, dwPublished) runs under the lock of
    // the queue of szKey, with the number of the newest answer published
    // (see AnswerPublished); nothing happens when there is none.
    template <typename Fn>
    void Take(const char* szKey, Fn fnWalk);

    // The session's gathering: every send queue that a request was queued
    // to since it was last drained, in the order of a walk of the table
    // (buckets in index order, chains in chain order), is given to
    // fnDrain(MESSAGE_QUEUE*) under its lock; the other queues hold nothing
    // to send. fnDrain returns false to stop (the write buffer is full):
    // that queue and those after it stay listed for the next gathering.
    template <typename Fn>
    void Gather(Fn fnDrain);

    // An answer of dwLength bytes for identifier iQueueId, with iFields
    // fields counted as its reader counts them: while the send queue of
    // iQueueId exists it is stamped, and a copy of the answer is appended to
    // the receive queue (made when needed), with the next number. Returns
    // what became of it. Session thread only.
    StoreResult StoreAnswer(int iQueueId, const char* pPacket, uint32_t dwLength, int iFields);

    // Readers take the answers stored so far, once their lines are in the
    // log: no line of a game thread about an answer comes before that
    // answer's line. Session thread only.
    // Readers waiting in the prompt mode are woken.
    void PublishAnswers();

    // A reader of the prompt mode joins the waiters for as long as its call
    // lasts; WakeWaiters wakes every one (the unload).
    void AddWaiter(AnswerWaiter* pWaiter);
    void RemoveWaiter(AnswerWaiter* pWaiter);
    void WakeWaiters();

    // Requests queued since the engine was made (the statistics line).
    int32_t RequestTotal() {
        KMutexAdaptor<KThreadMutex> guard(lockCounter, -1);
        return iRequestTotal;
    }

    // Removes the queues that have not been used for 480 s, with everything
    // they hold. Returns the pending messages dropped with them.
    int ExpireIdle();

    // Pending messages in all queues.
    int CountPending();

    void AssertHeld() const { lockTable.AssertHeld(); }
    void AssertNotHeld() const {
        lockTable.AssertNotHeld();
        lockCounter.AssertNotHeld();
        lockWaiters.AssertNotHeld();
    }

    // For tests: the locks, to hold them on another thread or check where
    // they are held, and the table itself, to look into it. ThrowLocked
    // throws while it holds lockTable, as a pass that fails midway.
    // SwapTableForTesting puts pTable (null: none) in the table's place and
    // hands back the one it held, for the test to free or put back; the
    // list of queues to gather starts empty.
    KThreadMutex& LockForTesting() { return lockTable; }
    KThreadMutex& CounterLockForTesting() { return lockCounter; }
    _hash* TableForTesting() { return pQueueTable; }
    _hash* SwapTableForTesting(_hash* pTable);
    [[noreturn]] void ThrowLocked();

private:
    // Pending messages. REQUIRES: lockTable held.
    int CountPendingLocked();
    // The list of queues a request was queued to. REQUIRES: lockTable held.
    void List(MESSAGE_QUEUE* pQueue);
    void Unlist(MESSAGE_QUEUE* pQueue);
    // The listed queues in the order of a walk of the table, in
    // ppGatherOrder; false when no room could be had for them.
    bool OrderListed(int* piListed);
    // Gives the listed queues to fnDrain; see Gather. REQUIRES: lockTable held.
    bool DrainListed(bool (*pfnDrain)(MESSAGE_QUEUE*, void*), void* pContext);

    _hash* pQueueTable = nullptr;  // guarded by lockTable
    // Set once a request has been queued, taken by the gathering: a pass
    // with no new request does not even look at the list.
    std::atomic<bool> bRequestQueued{false};
    int32_t iRequestTotal = 0;  // guarded by lockCounter
    // Answers are numbered as they are stored (under lockTable), and a
    // reader takes one only once its number is published (read without the
    // lock). Compared as a signed 32-bit difference, so the numbers may wrap.
    std::atomic<uint32_t> dwAnswerSerial{0};
    std::atomic<uint32_t> dwAnswersPublished{0};
    // The request queues a request was queued to since they were last
    // drained (MESSAGE_QUEUE::bListed), newest first; guarded by lockTable.
    MESSAGE_QUEUE* pListedHead = nullptr;
    int iListed = 0;
    // The gathering's ordering area (lockTable): room for iOrderRoom queues.
    MESSAGE_QUEUE** ppGatherOrder = nullptr;
    int iOrderRoom = 0;
    mutable KThreadMutex lockTable;
    mutable KThreadMutex lockCounter;  // taken inside a queue's lock, never the other way
    // The readers waiting in the prompt mode, under lockWaiters (a leaf);
    // their count is read without it, so that the default mode takes no
    // lock to publish.
    AnswerWaiter* pWaitersHead = nullptr;
    std::atomic<int32_t> iWaiters{0};
    mutable KThreadMutex lockWaiters;
};

template <typename Fn>
FindOrCreateResult QueueTable::Submit(const char* szKey, Fn fnAppend) {
    std::optional<KMutexAdaptor<KThreadMutex>> tableGuard(std::in_place, lockTable, -1);
    // A table that could not be made (at start-up or at a reset) is made
    // now: one failed allocation must not refuse every request after it.
    if (pQueueTable == nullptr) pQueueTable = NewQueueTable();
    MESSAGE_QUEUE* pQueue = nullptr;
    FindOrCreateResult found = FindOrCreateQueue(pQueueTable, szKey, &pQueue);
    if (found != kQueueReady) return found;
    // Listed before the request is appended: a gathering that finds the
    // queue listed takes its lock, and so waits for the request.
    List(pQueue);
    // Hand over hand: the queue's lock before the table's is left, so that
    // the sweep cannot free the queue under this call.
    KMutexAdaptor<KThreadMutex> queueGuard(pQueue->lock, -1);
    tableGuard.reset();
    // Only once the request is in its queue: a gathering that takes the
    // mark then finds it.
    if (fnAppend(pQueue)) {
        bRequestQueued.store(true);
        KMutexAdaptor<KThreadMutex> counterGuard(lockCounter, -1);
        ++iRequestTotal;
    }
    return kQueueReady;
}

template <typename Fn>
void QueueTable::Take(const char* szKey, Fn fnWalk) {
    std::optional<KMutexAdaptor<KThreadMutex>> tableGuard(std::in_place, lockTable, -1);
    MESSAGE_QUEUE* pQueue = static_cast<MESSAGE_QUEUE*>(hash_lookup(pQueueTable, szKey));
    if (pQueue == nullptr) return;
    KMutexAdaptor<KThreadMutex> queueGuard(pQueue->lock, -1);
    tableGuard.reset();
    fnWalk(pQueue, dwAnswersPublished.load());
}

template <typename Fn>
void QueueTable::Gather(Fn fnDrain) {
    KMutexAdaptor<KThreadMutex> guard(lockTable, -1);
    // Without a request queued since the last gathering there is nothing to
    // take, nor a taken node with a request behind it to free. Requests
    // that did not fit the write buffer wait for the next gathering.
    if (!bRequestQueued.exchange(false)) return;
    auto drain = [](MESSAGE_QUEUE* pQueue, void* pContext) {
        KMutexAdaptor<KThreadMutex> queueGuard(pQueue->lock, -1);
        return (*static_cast<Fn*>(pContext))(pQueue);
    };
    if (!DrainListed(drain, &fnDrain)) bRequestQueued.store(true);
}
