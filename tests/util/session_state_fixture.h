// The base of the tests of the session's steps without a session thread:
// an engine with its buffers, a SessionState, a recorder in place of
// ReConnect, and a connected loopback socket pair whose far end the test
// reads, so that what the write step sends can be checked byte for byte.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "session/session_thread.h"
#include "util/engine_fixture.h"

namespace testutil {

class SessionStateFixture : public EngineFixture {
protected:
    void SetUp() override;
    void TearDown() override;

    SessionState& State() { return *state_; }

    // The ReConnect calls the steps made, by their argument.
    const std::vector<int>& ReConnects() const;

    // Connects engine.connection.hSocket to a loopback peer; Peer() is the far end.
    void ConnectPeer();
    platform::SocketHandle Peer() const { return peer_; }
    // Everything the peer can read within iMs of real time.
    std::string PeerReceive(int iMs = 200);

    // Feeds bytes to the framer as if received behind what it kept.
    void Feed(const std::string& bytes);

    // Installs a session key (as a key answer would).
    void SetKey(const char* szKey);

    // An answer packet: header of type iType, then the text.
    static std::string Answer(int iType, const std::string& text);
    // Queues a request through the export.
    static int Request(int iType, const std::string& text);

private:
    std::unique_ptr<SessionState> state_;
    platform::SocketHandle listener_ = platform::kInvalidSocket;
    platform::SocketHandle peer_ = platform::kInvalidSocket;
};

// Watches events on the constructing thread while it lives: for each one,
// whether another thread could take the table's lock meanwhile, as every call of
// the game does. One watch at a time.
class TableLockWatch {
public:
    explicit TableLockWatch(QueueTable& queues);
    ~TableLockWatch();
    TableLockWatch(const TableLockWatch&) = delete;
    TableLockWatch& operator=(const TableLockWatch&) = delete;

    int Entries() const;  // events seen on the thread
    int Blocked() const;  // of them, seen while the table's lock could not be had
};

// The log entries the thread writes: it learns of an entry through the test
// clock's local-time observer (the log writer stamps every entry with the
// local time).
class TableLockWhileLogging : public TableLockWatch {
public:
    TableLockWhileLogging(ScopedTestClock& clock, QueueTable& queues);
    ~TableLockWhileLogging();

private:
    ScopedTestClock& clock_;
};

// The library's blocks the thread frees (the allocator's free observer).
class TableLockWhileFreeing : public TableLockWatch {
public:
    explicit TableLockWhileFreeing(QueueTable& queues);
    ~TableLockWhileFreeing();
};

}  // namespace testutil
