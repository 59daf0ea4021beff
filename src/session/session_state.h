// What the session's steps share: the state of one session thread, the
// process-wide counters, and the pauses, notices and resets that the read
// step, the write step, the thread's loop and the reconnection all use.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/packet.h"
#include "platform/socket.h"
#include "platform/window.h"
#include "session/deferred_log.h"
#include "session/framer.h"

struct ClientEngine;

// The state of one session thread: its counters, positions and scratch
// areas. It lives as long as the thread; the read and write steps work on it.
struct SessionState {
    ClientEngine* pEngine = nullptr;

    int32_t iPassCount = 0;      // passes so far
    int32_t iWriteStartPos = 0;  // bytes in the write buffer not yet sent
    // The connection the write buffer's bytes were encoded for (its socket)
    // and the bytes at the buffer's start that end a packet already partly
    // sent. Bytes of an earlier connection never go out on a later one.
    platform::SocketHandle hWriteSocket = platform::kInvalidSocket;
    int32_t iWriteFrontPartial = 0;
    int32_t iReceivedMeasure = -1;    // bytes received in this pass
    int32_t iPendingMeasure = -1;     // bytes left to send after this pass's send
    int32_t iBusyReadRetries = 0;     // would-block receives in a row
    bool bStorageFailed = false;      // the last parse kept answers it could not store yet
    bool bHeldLimitLogged = false;    // the bound on unread answers has been logged
    int32_t iSendRetries = 0;         // transient send failures in a row
    int32_t iConnectionGood = 0;      // 1 from a ready poll until the read step gives up
    int32_t iWriteFlag = 0;           // 1 when this pass may write
    int32_t iScheduledSendTotal = 0;  // packets copied for sending plus key requests
    int32_t iValidReceiveTotal = 0;   // answers stored
    int32_t tMaintenance = 0;         // seconds: when maintenance last ran
    // The packets cut from engine.connection.pReadBuf, and the start of an incomplete
    // one kept there for the next receive.
    PacketFramer framer;

    static constexpr int kTextAreaSize = 32768;
    char szText1[kTextAreaSize];  // an error line's text: the server's, escaped
    // The packet being built from one request: the header area followed
    // directly by the encoding area.
    unsigned char packetArea[kPacketHeaderSize + kEncodeCapacity];
    char szHostCopy[50];  // the host before the configuration check
    // The lines of a gathering, made under the table's lock and written after it,
    // and those of a receive, written once its packets are parsed.
    DeferredLog deferredLog;
};

// Process-wide values of the session: the statistics clock, the time of the
// last send attempt (the keep-alive rule), and the queued messages dropped
// without being handled (printed in the statistics line).
struct SessionStatics {
    std::atomic<int64_t> tStatistics{0};  // 0: not started yet
    std::atomic<int32_t> tLastSend{0};
    std::atomic<int32_t> iDeletedUnprocessed{0};
};
extern SessionStatics g_sessionStatics;

// The session's pauses (the idle sleep, the busy-read and key-request
// pauses, ReConnect's): one wait on the engine's stop signal, so that a stop
// ends a pause at once and an idle session wakes only at its own pace.
// REQUIRES: the calling thread holds no lock of the engine.
void SessionSleep(ClientEngine& engine, uint32_t dwMs);

// Sends the game window a WM_COPYDATA notice (dwData iData) and waits for its
// procedure, recording the window meanwhile in hNoticeWindow.
// REQUIRES: the calling thread holds no lock of the engine.
void SendGameNotice(ClientEngine& engine, platform::WindowHandle hWnd, int iData);

// The reset wherever the connection is handed to ReConnect: the bytes kept
// from the old connection go, and the retry counts of both directions start
// again. The read step, which gives the connection up in the middle of a
// pass, also clears iConnectionGood itself.
void ResetReadSide(SessionState& state);
