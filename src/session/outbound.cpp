#include "session/outbound.h"

#include <cstring>

#include "base/log_file.h"
#include "exchange/queue_table.h"
#include "platform/clock.h"
#include "session/connect.h"
#include "session/engine.h"
#include "session/session_state.h"

namespace {

// A header-only packet (key request or keep-alive) straight on the socket,
// bypassing the write buffer; the result is not examined.
void SendHeaderOnly(ClientEngine& engine, int iType) {
    PacketHeader header;
    std::memset(&header, 0, sizeof(header));
    FillPacketHeader(&header, iType, kPacketHeaderSize, 0, 0, 0);
    platform::SocketSend(engine.connection.hSocket.load(), &header, sizeof(header));
}

void KeyRequestStep(ClientEngine& engine, SessionState& state) {
    if (!platform::SecondsElapsed(engine.connection.iTimeFlag.load(), 60)) {
        SessionSleep(engine, 1000);
        return;
    }
    int32_t tNow = platform::NowSeconds32();
    engine.connection.iTimeFlag = tNow;
    SendHeaderOnly(engine, kTypeKey);
    ++state.iScheduledSendTotal;
    g_sessionStatics.tLastSend = tNow;
    WriteFileNew(LogFile(), "线程1---send1---type=%d---,iTimeFlag=%d,time(0)=%d\n", kTypeKey,
                 engine.connection.iTimeFlag.load(), tNow);
}

// Copies one waiting request, encoded when the codec manages it, behind the
// bytes already in the write buffer. False when it does not fit: the
// gathering ends and the request keeps waiting. Its lines are kept for
// writing once the table's lock is left.
// REQUIRES: the table's lock held (inside a gathering).
bool ScheduleRequest(ClientEngine& engine, SessionState& state, const char* szKey,
                     MESSAGE_PACKET* pPacket) {
    engine.queues.AssertHeld();
    uint32_t dwLength = pPacket->header.dwLength;
    int iType = pPacket->header.iType;
    state.deferredLog.Add("线程1---send2---type=%d---\n", iType);
    if (dwLength > kMaxPacketLength || iType < kRequestTypeMin || iType > kRequestTypeMax) {
        // Dropped: counted as taken, never sent.
        state.deferredLog.Add("---每秒定时处理---error---发生奇怪错误(此错误不可能出现),%d,%d\n",
                              static_cast<int>(dwLength), iType);
        return true;
    }
    const unsigned char* pSend;
    uint32_t dwSend;
    unsigned char* pEncoded = state.packetArea + kPacketHeaderSize;
    int iEncoded = engine.connection.codec.DataEncode(
        szKey, PacketPayload(pPacket), dwLength - kPacketHeaderSize,
        reinterpret_cast<char*>(pEncoded), kEncodeCapacity, kEncodeModeRequest);
    if (iEncoded > 0) {
        std::memcpy(state.packetArea, &pPacket->header, kPacketHeaderSize);
        dwSend = static_cast<uint32_t>(iEncoded) + kPacketHeaderSize;
        reinterpret_cast<PacketHeader*>(state.packetArea)->dwLength = dwSend;
        pSend = state.packetArea;
    } else {
        // Encoding failed (too long for the encoding area): the record goes
        // out as queued, without its terminating zero.
        dwSend = dwLength;
        pSend = reinterpret_cast<const unsigned char*>(pPacket);
    }
    if (static_cast<uint32_t>(state.iWriteStartPos) + dwSend >= kWriteBufferSize) {
        state.deferredLog.Add("---每秒定时处理---error---dwLength>=1024*1024\n");
        return false;
    }
    std::memcpy(engine.connection.pWriteBuf + state.iWriteStartPos, pSend, dwSend);
    state.iWriteStartPos += static_cast<int32_t>(dwSend);
    ++state.iScheduledSendTotal;
    return true;
}

// Drains one send queue from its head. False when the write buffer is full.
// REQUIRES: the table's and the queue's locks held (inside a gathering).
bool DrainQueue(ClientEngine& engine, SessionState& state, const char* szKey,
                MESSAGE_QUEUE* pQueue) {
    engine.queues.AssertHeld();
    pQueue->lock.AssertHeld();
    while (pQueue->pHead != nullptr) {
        MESSAGE_NODE* pNode = pQueue->pHead;
        if (pNode->iDone == 0 && !ScheduleRequest(engine, state, szKey, pNode->pPacket))
            return false;
        // Taken. The tail stays, marked, for the producer to link behind.
        if (pNode == pQueue->pTail) {
            pNode->iDone = 1;
            return true;
        }
        UnlinkConsumedNode(pQueue, nullptr, pNode);
    }
    return true;
}

// Requests whose bytes are in the write buffer, whole or in part.
int CountBufferedRequests(const ClientEngine& engine, const SessionState& state) {
    int iCount = state.iWriteFrontPartial > 0 ? 1 : 0;
    int p = state.iWriteFrontPartial;
    while (p + 4 <= state.iWriteStartPos) {
        uint32_t dwLength = ReadPacketLength(engine.connection.pWriteBuf + p);
        if (dwLength < kPacketHeaderSize) break;  // only whole packets go in
        ++iCount;
        p += static_cast<int>(dwLength);
    }
    return iCount;
}

// After n bytes from the buffer's start went out: what remains at the
// front of the packet that the send cut.
void AdvanceFront(const ClientEngine& engine, SessionState& state, int n) {
    int p = state.iWriteFrontPartial;
    while (p < n) {
        uint32_t dwLength = ReadPacketLength(engine.connection.pWriteBuf + p);
        if (dwLength < kPacketHeaderSize) {
            p = n;
            break;
        }
        p += static_cast<int>(dwLength);
    }
    state.iWriteFrontPartial = p - n;
}

// Bytes gathered for an earlier connection were encoded with its session
// key, and may end with half a packet: the server of a new connection could
// neither decode them nor find its framing again. They are dropped, counted
// with the other messages dropped unprocessed, and logged.
void DropBytesOfAnEarlierConnection(ClientEngine& engine, SessionState& state,
                                    platform::SocketHandle s) {
    if (state.iWriteStartPos > 0 && state.hWriteSocket != s) {
        int iRequests = CountBufferedRequests(engine, state);
        g_sessionStatics.iDeletedUnprocessed.fetch_add(iRequests);
        WriteFileNew(
            LogFile(),
            "线程2---发送数据---warn---2---连接已重建,丢弃旧连接未发送的%d个请求(%d字节)\n",
            iRequests, state.iWriteStartPos);
        state.iWriteStartPos = 0;
        state.iWriteFrontPartial = 0;
    }
    state.hWriteSocket = s;
}

// Sends the write buffer on s, the connection its bytes belong to, or a
// keep-alive when it is empty. Runs without the table's lock: a server that stops
// reading blocks this send, and only this thread.
void SendOrKeepAlive(ClientEngine& engine, SessionState& state, platform::SocketHandle s) {
    if (state.iWriteStartPos <= 0) {
        if (platform::SecondsElapsed(g_sessionStatics.tLastSend.load(), 20)) {
            SendHeaderOnly(engine, kTypeKeepAlive);
            g_sessionStatics.tLastSend = platform::NowSeconds32();
        }
        return;
    }
    if (engine.iLogFlag.load() != 0) {
        WriteFileNew(LogFile(), "---iWriteStartPos=%d,有数据发送\n", state.iWriteStartPos);
    }
    int n = platform::SocketSend(s, engine.connection.pWriteBuf, state.iWriteStartPos);
    if (n == -1) {
        int iError = platform::SocketLastError();
        bool bTransient =
            iError == platform::kWsaWouldBlock || iError == platform::kWsaNoBufferSpace;
        if (engine.connection.hSocket.load() != s) {
            // A set-up replaced the connection meanwhile: the failure was the
            // old one's, and the new one must not be given up for it.
            DropBytesOfAnEarlierConnection(engine, state, engine.connection.hSocket.load());
        } else if (!bTransient || state.iSendRetries++ >= 5) {
            // Five transient failures in a row are waited out; the sixth,
            // like any other error, gives up the connection. The bytes stay
            // until a new connection drops them.
            HandToReConnect(engine, 0);
            ResetReadSide(state);
            WriteFileNew(LogFile(), "线程2---发送数据---error---1---:(%d,%d),errno=%d\n", -1,
                         state.iWriteStartPos, iError);
        }
    } else if (n == 0) {
        WriteFileNew(LogFile(), "线程2---发送数据---warn---1---wrote 0 bytes to fd %d\n", s);
    } else if (n > 0) {
        state.iSendRetries = 0;
        AdvanceFront(engine, state, n);
        if (n < state.iWriteStartPos) {
            std::memmove(engine.connection.pWriteBuf, engine.connection.pWriteBuf + n,
                         static_cast<size_t>(state.iWriteStartPos - n));
        }
        state.iWriteStartPos -= n;
    }
    state.iPendingMeasure = state.iWriteStartPos;
    g_sessionStatics.tLastSend = platform::NowSeconds32();
}

}  // namespace

void WriteStep(ClientEngine& engine, SessionState& state) {
    engine.AssertNoLockHeld();
    if (engine.iLogFlag.load() != 0)
        WriteFileNew(LogFile(), "---iWriteFlag==1---socket可发送数据\n");
    // The socket before the key: InitSocket empties the key before it
    // installs a new socket, so a key read after the socket belongs to that
    // socket's connection.
    platform::SocketHandle s = engine.connection.hSocket.load();
    char szKey[kSessionKeySize];
    engine.connection.GetSessionKey(szKey);
    if (szKey[0] == '\0') {
        KeyRequestStep(engine, state);
        return;
    }
    DropBytesOfAnEarlierConnection(engine, state, s);
    // Gathering under the table's lock; its lines, then the send, after it.
    {
        DeferredLog::WriteAtScopeEnd writeLines(state.deferredLog);
        engine.queues.Gather(
            [&](MESSAGE_QUEUE* pQueue) { return DrainQueue(engine, state, szKey, pQueue); });
    }
    if (engine.connection.hSocket.load() != s) {
        DropBytesOfAnEarlierConnection(engine, state, engine.connection.hSocket.load());
        return;
    }
    SendOrKeepAlive(engine, state, s);
}
