// The part of the socket calls that is the same on every platform; the
// system's part is in posix/socket.cpp and win32/socket.cpp.
#include <cstring>

#include "platform/socket.h"
#include "platform/socket_faults.h"
#include "platform/socket_registry.h"
#include "platform/system.h"

namespace platform {
namespace {

constexpr uint32_t kAddressNone = 0xFFFFFFFFu;  // inet_addr's error value

// True when an injected fault stands in for the call: its error is set.
bool Faulted(SocketHandle s, platform_testing::SocketOp op) {
    int iFault = 0;
    if (!detail::TakeSocketFault(s, op, &iFault)) return false;
    detail::FailSocketCall(iFault);
    return true;
}

// A transfer's injected fault: true when one stands in for the call, with
// *piResult what the call returns: -1 with the fault's error set, or 0 for
// a fault of error 0 (a call that moved no byte).
bool TransferFaulted(SocketHandle s, platform_testing::SocketOp op, int* piResult) {
    int iFault = 0;
    if (!detail::TakeSocketFault(s, op, &iFault)) return false;
    *piResult = iFault == 0 ? 0 : detail::FailSocketCall(iFault);
    return true;
}

}  // namespace

bool ResolveHost(const char* szHost, uint32_t* pAddrNet) {
    // An empty name would give the local host's own address on Windows.
    if (szHost == nullptr || szHost[0] == '\0' || pAddrNet == nullptr) {
        detail::FailSocketCall(kWsaHostNotFound);
        return false;
    }
    int iHooked = detail::HookedResolve(szHost, pAddrNet);
    if (iHooked >= 0) {
        if (iHooked == 0) detail::FailSocketCall(kWsaHostNotFound);
        return iHooked == 1;
    }
    return detail::SystemResolve(szHost, pAddrNet);
}

bool ParseDottedAddress(const char* szHost, uint32_t* pAddrNet) {
    if (szHost == nullptr || pAddrNet == nullptr) return false;
    uint32_t dwAddr = detail::SystemParseDotted(szHost);
    if (dwAddr == kAddressNone) return false;
    *pAddrNet = dwAddr;
    return true;
}

int SocketConnect(SocketHandle s, uint32_t dwAddrNet, uint16_t wPort) {
    if (Faulted(s, platform_testing::SocketOp::kConnect)) return -1;
    return detail::SystemConnect(s, dwAddrNet, wPort);
}

int SocketPoll(SocketHandle s, bool* pbReadable, bool* pbWritable) {
    if (pbReadable != nullptr) *pbReadable = false;
    if (pbWritable != nullptr) *pbWritable = false;
    if (Faulted(s, platform_testing::SocketOp::kPoll)) return -1;
    return detail::SystemPoll(s, pbReadable, pbWritable);
}

int SocketRecv(SocketHandle s, void* pBuf, int iLen) {
    int iFaulted = 0;
    if (TransferFaulted(s, platform_testing::SocketOp::kRecv, &iFaulted)) return iFaulted;
    if (pBuf == nullptr || iLen < 0) return detail::FailSocketCall(kWsaBadAddress);
    return detail::SystemRecv(s, pBuf, iLen);
}

int SocketSend(SocketHandle s, const void* pBuf, int iLen) {
    int iFaulted = 0;
    if (TransferFaulted(s, platform_testing::SocketOp::kSend, &iFaulted)) return iFaulted;
    if (pBuf == nullptr || iLen < 0) return detail::FailSocketCall(kWsaBadAddress);
    return detail::SystemSend(s, pBuf, iLen);
}

int SocketClose(SocketHandle s) {
    if (detail::CloseRegisteredSocket(s) != 0) return detail::FailSocketCall(kWsaNotSocket);
    return 0;
}

int SocketCloseWithReset(SocketHandle s) {
    if (detail::SystemSetNoLinger(s) != 0) return -1;
    return SocketClose(s);
}

SocketHandle SocketListenLoopback(uint16_t wPort, uint16_t* pwBoundPort) {
    const uint8_t abLoopback[4] = {127, 0, 0, 1};
    uint32_t dwAddrNet;
    std::memcpy(&dwAddrNet, abLoopback, sizeof(dwAddrNet));
    return SocketListen(dwAddrNet, wPort, pwBoundPort);
}

}  // namespace platform
