// The platform layer's test seams: refused threads, injected socket and
// append faults, a substituted name lookup, adapter list and clocks. Only
// tests call these; each leaves the platform as the system's once cleared
// (null, 0 or Clear*). Every seam of a layer is declared in that layer's
// testing.h, in the namespace <owner>_testing (platform_testing here,
// vorel_testing for the library's own layers, quorvex_testing for the
// support library): one pattern to find them all, and never confused with
// GoogleTest's ::testing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/adapters.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace platform {
class Event;
}  // namespace platform

namespace platform_testing {

// Threads (thread.h): the next iCount calls of ThreadCreate fail as when the
// system refuses a thread (0 ends it).
void RefuseThreads(int iCount);

// Sockets (socket.h): the next `count` calls of `op` on socket `s` (on any
// socket when `s` is kInvalidSocket) fail with -1 and `error`, without
// touching the socket; a recv or send fault of error 0 returns 0 instead,
// as a transfer that moved no byte. Thread-safe; a later injection for the
// same socket and operation replaces the earlier one; one for the very
// socket wins over one for any socket. False when too many faults are
// armed already.
enum class SocketOp { kRecv, kSend, kConnect, kPoll };
bool InjectSocketFault(platform::SocketHandle s, SocketOp op, int error, int count);
void ClearSocketFaults();

// Sockets, POSIX builds: the Winsock number that a system error (errno) is
// reported as, as SocketLastError and the log lines give it.
int WinsockErrorOf(int iErrno);

// Name lookup (socket.h): the hook stands in for the system's lookup (null
// restores it) and returns 1 with *pAddrNet set, 0 for a name that does not
// resolve, or -1 to leave the name to the system. Lets tests make a lookup
// slow.
using ResolveHook = int (*)(const char* szHost, uint32_t* pAddrNet);
void SetResolveHook(ResolveHook pfnHook);

// Files (files.h): each of the next iCount calls of AppendFileWrite writes at
// most iBytes bytes for real and then fails, as a write that the system cut
// short by a failure. Thread-safe; a later call replaces an earlier one, and
// a count of 0 clears it.
void InjectAppendFaults(int iCount, size_t iBytes);

// Free space (files.h): the hook stands in for the system's answer to every
// FreeDiskSpace call, with the same arguments and contract (null restores
// the system). Lets a test put a huge download into a small volume.
using FreeSpaceHook = bool (*)(const char* szPath, uint64_t* pqwBytes);
void SetFreeSpaceHook(FreeSpaceHook pfnHook);

// Adapters (adapters.h): pfnQuery is called instead of the system with the
// same arguments and contract as QueryAdapters. Null restores the system.
using AdapterQueryFn = uint32_t (*)(platform::AdapterRecord* pList, uint32_t* pdwSize);
void SetAdapterQuery(AdapterQueryFn pfnQuery);

// Clocks (clock.h): substitutes them all at once, so that rules of 20, 60,
// 480 or 600 seconds run in milliseconds of real time. Every member but
// pfnWaitMs must be set. The hooks are called from any thread; the object
// must outlive its use. Null restores the system clocks; SleepRealMs and
// Event::WaitRealUs are never substituted.
struct ClockHooks {
    int64_t (*pfnNowSeconds)();
    void (*pfnGetLocalTime)(platform::LocalTime* pTime);
    uint32_t (*pfnTickMs)();
    void (*pfnSleepMs)(uint32_t dwMs);
    // One wait of Event::WaitFor: at most dwMs of this clock, ending early
    // when the event is set (Event::WaitRealUs waits in real time). Returns
    // whether it is set. Null: the wait sleeps its length in pfnSleepMs,
    // which no Set cuts short.
    bool (*pfnWaitMs)(platform::Event& event, uint32_t dwMs);
};
void SetClockHooks(const ClockHooks* pHooks);

}  // namespace platform_testing
