// Injected socket faults for tests, shared by both platforms' socket code.
#pragma once

#include "platform/socket.h"
#include "platform/testing.h"

namespace platform {
namespace detail {

// True when a fault was armed for this socket (or for any socket) and this
// operation: *piError receives its Winsock error and one use is consumed.
bool TakeSocketFault(SocketHandle s, platform_testing::SocketOp op, int* piError);

// The test's answer for a name lookup: 1 or 0 as ResolveHook, -1 when no
// hook is set or it leaves the name to the system.
int HookedResolve(const char* szHost, uint32_t* pAddrNet);

}  // namespace detail
}  // namespace platform
