// Sockets on POSIX, speaking Winsock's error numbers.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "platform/socket_registry.h"
#include "platform/system.h"
#include "platform/testing.h"

namespace platform {
namespace {

thread_local int t_iLastError = 0;

// The one place where system errors become Winsock numbers.
int TranslateErrno(int iErrno) {
    switch (iErrno) {
        case 0:
            return 0;
        case EINTR:
            return kWsaInterrupted;
        case EACCES:
            return kWsaAccessDenied;
        case EFAULT:
            return kWsaBadAddress;
        case EINVAL:
            return kWsaInvalidArgument;
        case EMFILE:
        case ENFILE:
            return kWsaTooManySockets;
#if EAGAIN != EWOULDBLOCK
        case EAGAIN:
#endif
        case EWOULDBLOCK:
            return kWsaWouldBlock;
        case EINPROGRESS:
            return kWsaInProgress;
        case EBADF:
        case ENOTSOCK:
            return kWsaNotSocket;
        case EMSGSIZE:
            return kWsaMessageSize;
        case EADDRINUSE:
            return kWsaAddressInUse;
        case EADDRNOTAVAIL:
            return kWsaAddressNotAvailable;
        case ENETDOWN:
            return kWsaNetworkDown;
        case ENETUNREACH:
            return kWsaNetworkUnreachable;
        case ECONNABORTED:
            return kWsaConnectionAborted;
        case ECONNRESET:
        case EPIPE:
            return kWsaConnectionReset;
        case ENOBUFS:
        case ENOMEM:
            return kWsaNoBufferSpace;
        case EISCONN:
            return kWsaIsConnected;
        case ENOTCONN:
            return kWsaNotConnected;
        case ESHUTDOWN:
            return kWsaShutdown;
        case ETIMEDOUT:
            return kWsaTimedOut;
        case ECONNREFUSED:
            return kWsaConnectionRefused;
        case EHOSTUNREACH:
            return kWsaHostUnreachable;
        default:
            return kWsaInvalidArgument;
    }
}

int FailWith(int iWsaError) {
    t_iLastError = iWsaError;
    return -1;
}

int FailWithErrno() { return FailWith(TranslateErrno(errno)); }

bool SetBlocking(int fd, bool bBlocking) {
    int iFlags = fcntl(fd, F_GETFL, 0);
    if (iFlags < 0) return false;
    iFlags = bBlocking ? (iFlags & ~O_NONBLOCK) : (iFlags | O_NONBLOCK);
    return fcntl(fd, F_SETFL, iFlags) == 0;
}

// Waits for `events` on a socket in short slices, giving up when another
// thread closes the socket. Returns poll's revents, or -1 with the error set.
int WaitInterruptible(const detail::SocketUse& use, short events) {
    int fd = static_cast<int>(use.Native());
    for (;;) {
        if (use.Closed()) return FailWith(kWsaInterrupted);
        pollfd pfd{fd, events, 0};
        int r = poll(&pfd, 1, 50);
        if (r < 0) {
            if (errno == EINTR) continue;
            return FailWithErrno();
        }
        if (r > 0) return pfd.revents;
    }
}

}  // namespace

namespace detail {

void SystemWakeSocket(NativeSocket native) { shutdown(static_cast<int>(native), SHUT_RDWR); }

void SystemCloseSocket(NativeSocket native) { close(static_cast<int>(native)); }

int FailSocketCall(int iWsaError) { return FailWith(iWsaError); }

uint32_t SystemParseDotted(const char* szHost) { return inet_addr(szHost); }

bool SystemResolve(const char* szHost, uint32_t* pAddrNet) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* pResult = nullptr;
    if (getaddrinfo(szHost, nullptr, &hints, &pResult) != 0 || pResult == nullptr) {
        t_iLastError = kWsaHostNotFound;
        return false;
    }
    const sockaddr_in* pAddr = reinterpret_cast<const sockaddr_in*>(pResult->ai_addr);
    *pAddrNet = pAddr->sin_addr.s_addr;
    freeaddrinfo(pResult);
    return true;
}

int SystemConnect(SocketHandle s, uint32_t dwAddrNet, uint16_t wPort) {
    SocketUse use(s);
    if (!use) return FailWith(kWsaNotSocket);
    int fd = static_cast<int>(use.Native());

    sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(wPort);
    addr.sin_addr.s_addr = dwAddrNet;

    // The connect runs non-blocking under a wait that a close from another
    // thread can end; the socket is blocking again before it is handed back.
    if (!SetBlocking(fd, false)) return FailWithErrno();
    int r = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
    int iError = 0;
    if (r != 0) {
        if (errno != EINPROGRESS) {
            iError = TranslateErrno(errno);
        } else {
            int iEvents = WaitInterruptible(use, POLLOUT);
            if (iEvents < 0) {
                iError = t_iLastError;
            } else {
                int iSoError = 0;
                socklen_t iLen = sizeof(iSoError);
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &iSoError, &iLen) != 0) iSoError = errno;
                iError = TranslateErrno(iSoError);
            }
        }
    }
    SetBlocking(fd, true);
    if (iError != 0) return FailWith(iError);
    use.MarkPollable();
    return 0;
}

int SystemPoll(SocketHandle s, bool* pbReadable, bool* pbWritable) {
    SocketUse use(s);
    if (!use) return FailWith(kWsaNotSocket);
    // A socket that never connected is in neither set, as with select.
    if (!use.Pollable()) return 0;
    pollfd pfd{static_cast<int>(use.Native()), POLLIN | POLLOUT, 0};
    int r;
    do {
        r = poll(&pfd, 1, 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return FailWithErrno();
    if (pfd.revents & POLLNVAL) return FailWith(kWsaNotSocket);
    // select reports end-of-stream and errors as readable, and a failed
    // socket as writable; the next recv or send then tells what happened.
    bool bReadable = (pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    bool bWritable = (pfd.revents & (POLLOUT | POLLERR)) != 0;
    if (pbReadable != nullptr) *pbReadable = bReadable;
    if (pbWritable != nullptr) *pbWritable = bWritable;
    return (bReadable ? 1 : 0) + (bWritable ? 1 : 0);
}

int SystemRecv(SocketHandle s, void* pBuf, int iLen) {
    SocketUse use(s);
    if (!use) return FailWith(kWsaNotSocket);
    ssize_t n;
    do {
        n = recv(static_cast<int>(use.Native()), pBuf, static_cast<size_t>(iLen), 0);
    } while (n < 0 && errno == EINTR && !use.Closed());
    // A close from another thread wakes the call; report it as the
    // interrupted blocking call that it is, not as the peer's end-of-stream.
    if (use.Closed()) return FailWith(kWsaInterrupted);
    if (n < 0) return FailWithErrno();
    return static_cast<int>(n);
}

int SystemSend(SocketHandle s, const void* pBuf, int iLen) {
    SocketUse use(s);
    if (!use) return FailWith(kWsaNotSocket);
    ssize_t n;
    do {
        // No SIGPIPE for a peer that has gone: the error comes back instead.
        n = send(static_cast<int>(use.Native()), pBuf, static_cast<size_t>(iLen), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR && !use.Closed());
    if (use.Closed()) return FailWith(kWsaInterrupted);
    if (n < 0) return FailWithErrno();
    return static_cast<int>(n);
}

int SystemSetNoLinger(SocketHandle s) {
    SocketUse use(s);
    if (!use) return FailWith(kWsaNotSocket);
    linger noLinger{1, 0};
    setsockopt(static_cast<int>(use.Native()), SOL_SOCKET, SO_LINGER, &noLinger, sizeof(noLinger));
    return 0;
}

}  // namespace detail

int SocketStartup() { return 0; }

void SocketCleanup() {}

SocketHandle SocketCreate() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        FailWithErrno();
        return kInvalidSocket;
    }
    SocketHandle s = detail::RegisterSocket(fd);
    if (s == kInvalidSocket) FailWith(kWsaNoBufferSpace);
    return s;
}

int SocketLastError() { return t_iLastError; }

SocketHandle SocketListen(uint32_t dwAddrNet, uint16_t wPort, uint16_t* pwBoundPort) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        FailWithErrno();
        return kInvalidSocket;
    }
    int iOne = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &iOne, sizeof(iOne));
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(wPort);
    addr.sin_addr.s_addr = dwAddrNet;
    socklen_t iLen = sizeof(addr);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(fd, 64) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &iLen) != 0) {
        FailWithErrno();
        close(fd);
        return kInvalidSocket;
    }
    if (pwBoundPort != nullptr) *pwBoundPort = ntohs(addr.sin_port);
    // Non-blocking, so that accept after a poll never hangs when another
    // thread took the connection first.
    SetBlocking(fd, false);
    SocketHandle s = detail::RegisterSocket(fd);
    if (s == kInvalidSocket) {
        FailWith(kWsaNoBufferSpace);
        return kInvalidSocket;
    }
    detail::SocketUse use(s);
    if (use) use.MarkPollable();
    return s;
}

SocketHandle SocketAccept(SocketHandle listener) {
    detail::SocketUse use(listener);
    if (!use) {
        FailWith(kWsaNotSocket);
        return kInvalidSocket;
    }
    for (;;) {
        if (WaitInterruptible(use, POLLIN) < 0) return kInvalidSocket;
        int fd = accept4(static_cast<int>(use.Native()), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK ||
                errno == ECONNABORTED) {
                continue;
            }
            FailWithErrno();
            return kInvalidSocket;
        }
        SetBlocking(fd, true);
        SocketHandle s = detail::RegisterSocket(fd);
        if (s == kInvalidSocket) {
            FailWith(kWsaNoBufferSpace);
            return kInvalidSocket;
        }
        detail::SocketUse accepted(s);
        if (accepted) accepted.MarkPollable();
        return s;
    }
}

int SocketShutdownSend(SocketHandle s) {
    detail::SocketUse use(s);
    if (!use) return FailWith(kWsaNotSocket);
    if (shutdown(static_cast<int>(use.Native()), SHUT_WR) != 0) return FailWithErrno();
    return 0;
}

int SocketSetReceiveBuffer(SocketHandle s, int iBytes) {
    detail::SocketUse use(s);
    if (!use) return FailWith(kWsaNotSocket);
    if (setsockopt(static_cast<int>(use.Native()), SOL_SOCKET, SO_RCVBUF, &iBytes,
                   sizeof(iBytes)) != 0)
        return FailWithErrno();
    return 0;
}

}  // namespace platform

int platform_testing::WinsockErrorOf(int iErrno) { return platform::TranslateErrno(iErrno); }
