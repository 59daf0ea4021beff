// Sockets on Windows: Windows Sockets 1.1.
//
// Every system socket is kept in non-blocking mode and the blocking calls
// of socket.h are built on it: each waits for readiness in short select()
// slices and gives up when another thread closes the socket. Winsock has no
// way to wake a call blocked on a socket other than closing that socket, and
// a closed socket's number is free for the system to hand out again at once,
// possibly under a thread that is just about to use it. With the waits in our
// own hands, the registry can keep the system socket open until the last
// call on it has left, and closing merely marks it.
#include "platform/socket.h"

// Winsock 1.1 only; with it in first, winsock2.h cannot come in by way of
// another header.
// clang-format off
#include <winsock.h>
#include <windows.h>
// clang-format on

#include <cstring>

#include "platform/socket_registry.h"
#include "platform/system.h"

namespace platform {
namespace {

static_assert(kWsaInterrupted == WSAEINTR && kWsaWouldBlock == WSAEWOULDBLOCK &&
                  kWsaNotSocket == WSAENOTSOCK && kWsaConnectionRefused == WSAECONNREFUSED &&
                  kWsaAddressInUse == WSAEADDRINUSE &&
                  kWsaAddressNotAvailable == WSAEADDRNOTAVAIL && kWsaAccessDenied == WSAEACCES &&
                  kWsaHostNotFound == WSAHOST_NOT_FOUND && kWsaNotInitialised == WSANOTINITIALISED,
              "our error numbers are Winsock's");

constexpr long kWaitSliceUs = 50 * 1000;  // how soon a waiting call notices a close
constexpr int kShutdownSend = 1;          // SD_SEND, which winsock.h does not name
constexpr int kListenBacklog = 64;

SOCKET Native(const detail::SocketUse& use) { return static_cast<SOCKET>(use.Native()); }

int Fail(int iError) {
    WSASetLastError(iError);
    return -1;
}

bool SetNonBlocking(SOCKET sock) {
    u_long ulOn = 1;
    return ioctlsocket(sock, FIONBIO, &ulOn) == 0;
}

// Registers a new system socket as pollable or not; kInvalidSocket with the
// error in *piError when the table cannot take it (it is closed then).
SocketHandle Register(SOCKET sock, bool bPollable, int* piError) {
    SocketHandle s = detail::RegisterSocket(static_cast<detail::NativeSocket>(sock));
    if (s == kInvalidSocket) {
        *piError = kWsaNoBufferSpace;
        return kInvalidSocket;
    }
    if (bPollable) {
        detail::SocketUse use(s);
        if (use) use.MarkPollable();
    }
    return s;
}

// Runs op(use, &iError) on the socket s held in use. The use ends, which may
// release the system socket, before the error is set, so that nothing on the
// way out can overwrite it.
template <class Op>
int WithSocket(SocketHandle s, Op op) {
    int iError = kWsaNotSocket;
    int iResult = -1;
    {
        detail::SocketUse use(s);
        if (use) iResult = op(use, &iError);
    }
    if (iResult < 0) WSASetLastError(iError);
    return iResult;
}

enum class Readiness { kRead, kWrite };

// Waits until the socket is ready, in slices, until another thread closes
// it. 0 when ready, else a Winsock error.
int WaitReady(const detail::SocketUse& use, Readiness readiness) {
    SOCKET sock = Native(use);
    for (;;) {
        if (use.Closed()) return kWsaInterrupted;
        fd_set set;
        set.fd_count = 1;
        set.fd_array[0] = sock;
        timeval slice{0, kWaitSliceUs};
        int r = readiness == Readiness::kRead ? select(0, &set, nullptr, nullptr, &slice)
                                              : select(0, nullptr, &set, nullptr, &slice);
        if (r == SOCKET_ERROR) return WSAGetLastError();
        if (r > 0) return 0;
    }
}

// Waits for a connect in progress: success shows as writable, failure in
// the exception set with its reason in SO_ERROR. 0 or a Winsock error.
int AwaitConnect(const detail::SocketUse& use) {
    SOCKET sock = Native(use);
    for (;;) {
        if (use.Closed()) return kWsaInterrupted;
        fd_set writable;
        writable.fd_count = 1;
        writable.fd_array[0] = sock;
        fd_set failed = writable;
        timeval slice{0, kWaitSliceUs};
        int r = select(0, nullptr, &writable, &failed, &slice);
        if (r == SOCKET_ERROR) return WSAGetLastError();
        if (r == 0) continue;
        if (FD_ISSET(sock, &writable)) return 0;
        int iSoError = 0;
        int iLen = sizeof(iSoError);
        char* pValue = reinterpret_cast<char*>(&iSoError);
        if (getsockopt(sock, SOL_SOCKET, SO_ERROR, pValue, &iLen) != 0) return WSAGetLastError();
        return iSoError != 0 ? iSoError : kWsaConnectionRefused;
    }
}

int ConnectOn(detail::SocketUse& use, uint32_t dwAddrNet, uint16_t wPort, int* piError) {
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(wPort);
    addr.sin_addr.s_addr = dwAddrNet;
    int iError = 0;
    if (connect(Native(use), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        iError = WSAGetLastError();
        if (iError == WSAEWOULDBLOCK) iError = AwaitConnect(use);
    }
    if (iError != 0) {
        *piError = iError;
        return -1;
    }
    use.MarkPollable();
    return 0;
}

int PollOn(const detail::SocketUse& use, bool* pbReadable, bool* pbWritable, int* piError) {
    // A socket that never connected is in neither set.
    if (!use.Pollable()) return 0;
    SOCKET sock = Native(use);
    fd_set readable;
    readable.fd_count = 1;
    readable.fd_array[0] = sock;
    fd_set writable = readable;
    timeval none{0, 0};
    int r = select(0, &readable, &writable, nullptr, &none);
    if (r == SOCKET_ERROR) {
        *piError = WSAGetLastError();
        return -1;
    }
    if (pbReadable != nullptr) *pbReadable = FD_ISSET(sock, &readable) != 0;
    if (pbWritable != nullptr) *pbWritable = FD_ISSET(sock, &writable) != 0;
    return r;
}

int RecvOn(const detail::SocketUse& use, void* pBuf, int iLen, int* piError) {
    SOCKET sock = Native(use);
    for (;;) {
        int n = recv(sock, static_cast<char*>(pBuf), iLen, 0);
        if (n != SOCKET_ERROR) return n;
        int iError = WSAGetLastError();
        if (iError == WSAEWOULDBLOCK) iError = WaitReady(use, Readiness::kRead);
        if (iError != 0) {
            *piError = iError;
            return -1;
        }
    }
}

// Like a blocking send: returns once every byte is with the system, or with
// the count so far when the connection fails after some went out.
int SendOn(const detail::SocketUse& use, const void* pBuf, int iLen, int* piError) {
    SOCKET sock = Native(use);
    const char* p = static_cast<const char*>(pBuf);
    int iSent = 0;
    for (;;) {
        int n = send(sock, p + iSent, iLen - iSent, 0);
        int iError;
        if (n == SOCKET_ERROR) {
            iError = WSAGetLastError();
            if (iError == WSAEWOULDBLOCK) iError = WaitReady(use, Readiness::kWrite);
        } else {
            iSent += n;
            if (iSent == iLen) return iSent;
            // The system took only part of it: wait for room for the rest.
            iError = WaitReady(use, Readiness::kWrite);
        }
        if (iError != 0) {
            if (iSent > 0) return iSent;
            *piError = iError;
            return -1;
        }
    }
}

int AcceptOn(const detail::SocketUse& use, int* piError) {
    SOCKET listener = Native(use);
    for (;;) {
        SOCKET sock = accept(listener, nullptr, nullptr);
        if (sock != INVALID_SOCKET) {
            if (!SetNonBlocking(sock)) {
                *piError = WSAGetLastError();
                closesocket(sock);
                return -1;
            }
            return Register(sock, true, piError);
        }
        int iError = WSAGetLastError();
        // A peer that gave up before we took its connection: wait for the next.
        if (iError == WSAECONNRESET) continue;
        if (iError == WSAEWOULDBLOCK) iError = WaitReady(use, Readiness::kRead);
        if (iError != 0) {
            *piError = iError;
            return -1;
        }
    }
}

}  // namespace

namespace detail {

// Nothing to do: every wait on a socket is a short slice that looks at the
// closed mark, and no call blocks in the system.
void SystemWakeSocket(NativeSocket) {}

void SystemCloseSocket(NativeSocket native) { closesocket(static_cast<SOCKET>(native)); }

int FailSocketCall(int iWsaError) { return Fail(iWsaError); }

uint32_t SystemParseDotted(const char* szHost) { return static_cast<uint32_t>(inet_addr(szHost)); }

bool SystemResolve(const char* szHost, uint32_t* pAddrNet) {
    const hostent* pHost = gethostbyname(szHost);
    if (pHost == nullptr) return false;
    if (pHost->h_addrtype != AF_INET || pHost->h_length != 4 || pHost->h_addr_list[0] == nullptr) {
        Fail(kWsaHostNotFound);
        return false;
    }
    std::memcpy(pAddrNet, pHost->h_addr_list[0], 4);
    return true;
}

int SystemConnect(SocketHandle s, uint32_t dwAddrNet, uint16_t wPort) {
    return WithSocket(
        s, [&](SocketUse& use, int* piError) { return ConnectOn(use, dwAddrNet, wPort, piError); });
}

int SystemPoll(SocketHandle s, bool* pbReadable, bool* pbWritable) {
    return WithSocket(s, [&](SocketUse& use, int* piError) {
        return PollOn(use, pbReadable, pbWritable, piError);
    });
}

int SystemRecv(SocketHandle s, void* pBuf, int iLen) {
    return WithSocket(
        s, [&](SocketUse& use, int* piError) { return RecvOn(use, pBuf, iLen, piError); });
}

int SystemSend(SocketHandle s, const void* pBuf, int iLen) {
    return WithSocket(
        s, [&](SocketUse& use, int* piError) { return SendOn(use, pBuf, iLen, piError); });
}

int SystemSetNoLinger(SocketHandle s) {
    SocketUse use(s);
    if (!use) return Fail(kWsaNotSocket);
    linger noLinger{1, 0};
    setsockopt(Native(use), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&noLinger),
               sizeof(noLinger));
    return 0;
}

}  // namespace detail

int SocketStartup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(1, 1), &data);
}

void SocketCleanup() { WSACleanup(); }

SocketHandle SocketCreate() {
    SOCKET sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock == INVALID_SOCKET) return kInvalidSocket;
    int iError = 0;
    if (!SetNonBlocking(sock)) {
        iError = WSAGetLastError();
        closesocket(sock);
        Fail(iError);
        return kInvalidSocket;
    }
    SocketHandle s = Register(sock, false, &iError);
    if (s == kInvalidSocket) Fail(iError);
    return s;
}

int SocketLastError() { return WSAGetLastError(); }

SocketHandle SocketListen(uint32_t dwAddrNet, uint16_t wPort, uint16_t* pwBoundPort) {
    SOCKET sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock == INVALID_SOCKET) return kInvalidSocket;
    // No SO_REUSEADDR: on Windows it would let another socket take over a
    // port that is in use.
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(wPort);
    addr.sin_addr.s_addr = dwAddrNet;
    int iLen = sizeof(addr);
    if (!SetNonBlocking(sock) ||
        bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(sock, kListenBacklog) != 0 ||
        getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &iLen) != 0) {
        int iError = WSAGetLastError();
        closesocket(sock);
        Fail(iError);
        return kInvalidSocket;
    }
    if (pwBoundPort != nullptr) *pwBoundPort = ntohs(addr.sin_port);
    int iError = 0;
    SocketHandle s = Register(sock, true, &iError);
    if (s == kInvalidSocket) Fail(iError);
    return s;
}

SocketHandle SocketAccept(SocketHandle listener) {
    return WithSocket(listener,
                      [](detail::SocketUse& use, int* piError) { return AcceptOn(use, piError); });
}

int SocketShutdownSend(SocketHandle s) {
    return WithSocket(s, [](detail::SocketUse& use, int* piError) {
        if (shutdown(Native(use), kShutdownSend) == 0) return 0;
        *piError = WSAGetLastError();
        return -1;
    });
}

int SocketSetReceiveBuffer(SocketHandle s, int iBytes) {
    return WithSocket(s, [iBytes](detail::SocketUse& use, int* piError) {
        const char* pValue = reinterpret_cast<const char*>(&iBytes);
        if (setsockopt(Native(use), SOL_SOCKET, SO_RCVBUF, pValue, sizeof(iBytes)) == 0) return 0;
        *piError = WSAGetLastError();
        return -1;
    });
}

}  // namespace platform
