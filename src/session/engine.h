// ClientEngine: the one engine behind the exports. Its parts own their
// fields and their locks: the server address, the message queue table, the
// log-on state, the connection and the threads. The record itself keeps
// what spans them: the run state and its stop signal, the trace switch, the
// unload's flag and the start time.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/server_address.h"
#include "exchange/exchange.h"
#include "exchange/logon_state.h"
#include "exchange/queue_table.h"
#include "platform/event.h"
#include "session/connection.h"
#include "session/session_threads.h"

// Shared between threads: the fields marked atomic are read and written
// without a lock; the others name the lock that guards them or the one
// thread that uses them.
//
// Locks, in the order in which a thread may take them:
//   the connection's lockSetup -> the queue table's locks
//   (exchange/queue_table.h).
// The address's lock and the connection's lockKey are leaves: nothing else
// is taken while holding one of them. The locks guard memory work only: no
// thread pauses, sends a window notice or writes the log while it holds a
// lock of the table or of a queue, which the game's threads take. The session thread
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
    int ReadConfigFile() { return address.ReadConfigFile(&iLogFlag, &iPromptMode); }

    // What the game's request and read calls work on.
    Exchange ForCalls() { return Exchange{queues, logon, iLogFlag, iStopping, iPromptMode}; }

    // Asks the engine's threads to stop: iRunState leaves 1, and a pause
    // under way on any of them ends at once.
    void RequestStop();

    // The check of a contract "the calling thread holds no lock of the
    // engine" (its queues' locks aside): aborts in debug builds when it holds
    // one (see base/lock.h).
    void AssertNoLockHeld() const {
        connection.AssertNotHeld();
        queues.AssertNotHeld();
        address.AssertNotHeld();
    }

    ServerAddress address;  // szHost, iPort, iAddrFromInit under lockAddress
    QueueTable queues;      // the message queue table, its locks and its counts
    LogonState logon;       // iUserStatus1, iLoginFlag, hGameWnd
    Connection connection;  // the socket, the session key, the set-ups
    SessionThreads threads;
    std::atomic<int32_t> iRunState{1};  // 1 running, 0 stop requested, 2 session thread ended
    // Set by RequestStop, never reset: the pauses of the session (SessionSleep)
    // wait on it, so a stop ends them at once.
    platform::Event stopSignal;
    std::atomic<int32_t> iLogFlag{0};
    // 1 when serverConfigs.ini asks for answers as fast as the wire: readers
    // are woken by their answers instead of looking every 50 ms.
    std::atomic<int32_t> iPromptMode{0};
    // Set by shutdown as it begins: a game thread waiting in a read ends its
    // wait, so that the library can be unloaded under no caller.
    std::atomic<int32_t> iStopping{0};
    int32_t tStart = 0;  // set at creation, read-only afterwards
};
