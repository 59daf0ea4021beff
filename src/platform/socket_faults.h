// Injected socket faults for tests, shared by both platforms' socket code.
#pragma once

#include "platform/socket.h"

namespace platform {
namespace detail {

// True when a fault was armed for this socket (or for any socket) and this
// operation: *piError receives its Winsock error and one use is consumed.
bool TakeSocketFault(SocketHandle s, testing::SocketOp op, int* piError);

}  // namespace detail
}  // namespace platform
