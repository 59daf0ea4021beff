// The table behind every SocketHandle: maps our own socket numbers, which are
// never reused, to the system's sockets, and counts the calls in progress on
// each, so that closing a socket from one thread can never release the
// system socket (whose number the system would hand out again) under another
// thread that is still inside a call on it.
//
// Each platform's socket.cpp registers its sockets here and defines the two
// system operations declared below.
#pragma once

#include <cstdint>

#include "platform/socket.h"

namespace platform {
namespace detail {

using NativeSocket = intptr_t;

// Per platform: wake every call blocked on the socket (POSIX shuts down both
// directions; on Windows, where only closing would wake a call, the waits run
// in short slices that test SocketUse::Closed instead), and release the
// system socket.
void SystemWakeSocket(NativeSocket native);
void SystemCloseSocket(NativeSocket native);

struct SocketEntry;

// Adds a system socket; returns its new number, or kInvalidSocket (and
// closes the system socket) when the table cannot take it.
SocketHandle RegisterSocket(NativeSocket native);

// Removes the number: later uses fail at once; calls in progress are woken
// and the system socket is released by the last of them. -1 for a number
// that is not open.
int CloseRegisteredSocket(SocketHandle s);

// Number of sockets open in the table (for leak checks in tests).
int RegisteredSocketCount();

// A call in progress on a socket: holds the system socket open for its
// lifetime. Falsy when the number is not (or no longer) open.
class SocketUse {
public:
    explicit SocketUse(SocketHandle s);
    ~SocketUse();
    SocketUse(const SocketUse&) = delete;
    SocketUse& operator=(const SocketUse&) = delete;

    explicit operator bool() const { return pEntry != nullptr; }
    NativeSocket Native() const;
    // True once another thread has closed the number during this use; long
    // waits (connect, accept) test it to give up.
    bool Closed() const;
    // Whether the socket has been connected (or is listening): a socket that
    // never was is in neither set of a poll, as with Winsock's select.
    bool Pollable() const;
    void MarkPollable();

private:
    SocketEntry* pEntry;
};

}  // namespace detail
}  // namespace platform
