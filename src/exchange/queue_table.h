// The message queue table: per identifier N, a send queue ("send+N") of the
// game's requests and a receive queue ("recv+N") of the server's answers.
//
// Lifetime and ordering. A queue is found under the engine's lockTable and
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

#include <cstdint>

#include "base/lock.h"
#include "base/packet.h"
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
};

struct MESSAGE_QUEUE {
    char szKey[20];       // "send+N" or "recv+N"; first, so the table can key on it
    MESSAGE_NODE* pHead;  // oldest node; null only while the queue never held one
    MESSAGE_NODE* pTail;  // newest node
    int32_t iCount;       // nodes in the list
    int32_t tLastUse;     // seconds (low 32 bits) of the last use
    KThreadMutex lock;    // guards everything above but szKey, see the header comment
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
// table has no queues. REQUIRES: lockTable held (for an engine's table).
template <typename Visit>
bool ForEachQueue(_hash* pTable, Visit visit) {
    if (pTable == nullptr) return true;
    for (int i = 0; i < pTable->iSize; ++i) {
        _hashent** ppLink = &pTable->ppBuckets[i];
        while (*ppLink != nullptr) {
            _hashent* pEntry = *ppLink;
            QueueWalk next = visit(static_cast<MESSAGE_QUEUE*>(pEntry->pData));
            if (next == QueueWalk::kStop) return false;
            if (next == QueueWalk::kNext) {
                ppLink = &pEntry->pNext;
                continue;
            }
            *ppLink = pEntry->pNext;
            pTable->pfnRelease(pEntry->pData);
            free_hashent(pEntry);
            --pTable->iCount;
        }
    }
    return true;
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
// (ClientEngine::dwAnswersPublished). Nodes without a number always may.
inline bool AnswerPublished(uint32_t dwPublished, const MESSAGE_NODE* pNode) {
    return static_cast<int32_t>(dwPublished - pNode->dwSerial) >= 0;
}

// Unlinks a consumed node that is not pTail: pPrev is its predecessor, or
// null when it is pHead. Frees the node and its packet and returns its
// successor. REQUIRES: the queue's lock held; pNode != pTail.
MESSAGE_NODE* UnlinkConsumedNode(MESSAGE_QUEUE* pQueue, MESSAGE_NODE* pPrev, MESSAGE_NODE* pNode);
