// The connection to the server: the socket, the session key and its lock,
// the codec, the session thread's buffers, and the numbered set-ups that
// make and install a socket (session/connect.h).
#pragma once

#include <atomic>
#include <cstdint>

#include "base/lock.h"
#include "platform/socket.h"
#include "support/quorvex.h"

// Shared between threads: the fields marked atomic are read and written
// without a lock; the others name the lock that guards them or the one
// thread that uses them. lockSetup comes before the queue table's locks;
// lockKey is a leaf.
struct Connection {
    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Frees the read and write buffers and empties both pointers; either may
    // be null already. REQUIRES: the session thread has ended or is the caller.
    void FreeSessionBuffers();

    // Empties the session key; copies it out (szOut: 40 bytes); stores a new
    // one (40 bytes). Each under lockKey.
    void ClearSessionKey();
    void GetSessionKey(char* szOut);
    void SetSessionKey(const char* szNewKey);

    // Takes the socket out of the connection, leaving none: the caller
    // closes what it got, unless that is none.
    platform::SocketHandle TakeSocket() { return hSocket.exchange(platform::kInvalidSocket); }

    void AssertNotHeld() const {
        lockSetup.AssertNotHeld();
        lockKey.AssertNotHeld();
    }

    std::atomic<platform::SocketHandle> hSocket{platform::kInvalidSocket};
    char szSessionKey[40] = {};  // guarded by lockKey; empty until the key answer
    KThreadMutex lockKey;        // szSessionKey
    TextEncodeDecode codec;      // session thread only
    uint32_t dwLastActive = 0;   // session thread only
    char* pReadBuf = nullptr;    // session thread (shutdown once it has ended)
    char* pWriteBuf = nullptr;   // session thread (shutdown once it has ended)
    std::atomic<int32_t> iSetupFlag{0};
    std::atomic<int32_t> iTimeFlag{0};  // seconds of the last key request
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
};
