// ClientEngine: the one engine behind the exports. It owns the server
// address, the socket, the session key, the codec, the message queue table,
// the thread handles, the locks and the logon state.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/lock.h"
#include "base/server_address.h"
#include "base/threads.h"
#include "exchange/exchange.h"
#include "exchange/logon_state.h"
#include "exchange/queue_table.h"
#include "platform/event.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "platform/window.h"
#include "support/quorvex.h"

// Shared between threads: the fields marked atomic are read and written
// without a lock; the others name the lock that guards them or the one
// thread that uses them.
//
// Locks, in the order in which a thread may take them:
//   lockSetup -> the queue table's locks (exchange/queue_table.h).
// the address's lock and lockKey are leaves: nothing else is taken while
// holding one of them. The locks guard memory work only: no thread pauses,
// sends a window notice or writes the log while it holds a lock of the
// table or of a queue, which the game's threads take. The session thread
// learns from the table's methods what must happen and does it once they
// have returned: ReConnect (its pauses, its notice), and the log lines of a
// gathering.
struct ClientEngine {
    // Made only by GetEngine (frame/app.h), which also starts it; freed after
    // ShutdownEngine.
    ClientEngine() = default;
    ~ClientEngine() = default;
    ClientEngine(const ClientEngine&) = delete;
    ClientEngine& operator=(const ClientEngine&) = delete;

    // Reads serverConfigs.ini: the address (unless `init` gave one) and the
    // trace switch. 0 after every completed run, -9 when an exception
    // stopped it. Runs at the engine's creation, and on the session's
    // threads when a connection fails and in the maintenance.
    int ReadConfigFile() { return address.ReadConfigFile(&iLogFlag); }

    // What the game's request and read calls work on.
    Exchange ForCalls() { return Exchange{queues, logon, iLogFlag, iStopping}; }

    // Asks the engine's threads to stop: iRunState leaves 1, and a pause
    // under way on any of them ends at once.
    void RequestStop();

    // Frees the read and write buffers and empties both pointers; either may
    // be null already. REQUIRES: the session thread has ended or is the caller.
    void FreeSessionBuffers();

    // Empties the session key (under lockKey); copies it out (szOut: 40 bytes).
    void ClearSessionKey();
    void GetSessionKey(char* szOut);

    // The check of a contract "the calling thread holds no lock of the
    // engine" (its queues' locks aside): aborts in debug builds when it holds
    // one (see base/lock.h).
    void AssertNoLockHeld() const {
        lockSetup.AssertNotHeld();
        queues.AssertNotHeld();
        address.AssertNotHeld();
        lockKey.AssertNotHeld();
    }

    std::atomic<platform::SocketHandle> hSocket{platform::kInvalidSocket};
    ServerAddress address;              // szHost, iPort, iAddrFromInit under lockAddress
    char szSessionKey[40] = {};         // guarded by lockKey; empty until the key answer
    TextEncodeDecode codec;             // session thread only
    std::atomic<int32_t> iRunState{1};  // 1 running, 0 stop requested, 2 session thread ended
    // Set by RequestStop, never reset: the pauses of the session (SessionSleep)
    // wait on it, so a stop ends them at once.
    platform::Event stopSignal;
    uint32_t dwLastActive = 0;  // session thread only
    std::atomic<int32_t> iLogFlag{0};
    LogonState logon;           // iUserStatus1, iLoginFlag, hGameWnd
    int32_t tStart = 0;         // set at creation, read-only afterwards
    char* pReadBuf = nullptr;   // session thread (shutdown once it has ended)
    char* pWriteBuf = nullptr;  // session thread (shutdown once it has ended)
    std::atomic<platform::ThreadHandle*> hThread2{nullptr};  // the session thread
    ThreadSlot hThread3{nullptr};                            // the reconnect thread
    QueueTable queues;  // the message queue table, its locks and its counts
    std::atomic<int32_t> iSetupFlag{0};
    std::atomic<int32_t> iTimeFlag{0};  // seconds of the last key request
    KThreadMutex lockKey;               // szSessionKey
    // Held by a connection set-up while it empties the session and while it
    // installs a socket, never across a name lookup or a connect: a stuck
    // lookup must not hold up the set-up of a newer address.
    KThreadMutex lockSetup;
    // The number of the newest set-up (see ReserveSetUp in session/connect.h),
    // and that of the set-up still running, 0 when none.
    std::atomic<int32_t> iSetupSerial{0};
    std::atomic<int32_t> iSetupInProgress{0};
    // The number of the newest set-up that has emptied the session: a
    // notice that must reach the game only once a request made on hearing
    // it goes out on the new connection waits for it.
    std::atomic<int32_t> iEmptiedSerial{0};
    // Whether a connection was made since the table was last replaced (or
    // created): only then can the table hold anything stale, so only then
    // does a set-up replace it. What the game queued before the first
    // connection, or while set-ups keep failing, is kept for the next one.
    std::atomic<bool> bConnectedSinceReset{false};
    // Set by shutdown as it begins: a game thread waiting in a read ends its
    // wait, so that the library can be unloaded under no caller.
    std::atomic<int32_t> iStopping{0};
    // The game window a notice is being delivered to, null when none: an
    // unload made from that window's procedure cannot wait for the session
    // thread, which waits for the procedure.
    std::atomic<platform::WindowHandle> hNoticeWindow{nullptr};
    // The session thread's id, so that an unload running on it does not
    // wait for itself.
    std::atomic<uint32_t> dwSessionThreadId{0};
    // Reconnect threads whose routine has not ended, tracked or not.
    std::atomic<int32_t> iReconnectThreads{0};
};
