// Loopback sockets through the platform layer: data both ways, readiness,
// Winsock error numbers, injected faults, and closing from another thread.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/socket.h"
#include "platform/socket_registry.h"
#include "platform/testing.h"
#include "util/process_resources.h"

namespace {

using platform::SocketHandle;

uint32_t Loopback() {
    uint32_t dwAddr = 0;
    EXPECT_TRUE(platform::ParseDottedAddress("127.0.0.1", &dwAddr));
    return dwAddr;
}

// A connected pair: client side made with SocketCreate/SocketConnect.
struct Pair {
    SocketHandle listener = platform::kInvalidSocket;
    SocketHandle client = platform::kInvalidSocket;
    SocketHandle server = platform::kInvalidSocket;
    Pair() {
        uint16_t wPort = 0;
        listener = platform::SocketListenLoopback(0, &wPort);
        client = platform::SocketCreate();
        EXPECT_EQ(platform::SocketConnect(client, Loopback(), wPort), 0);
        server = platform::SocketAccept(listener);
    }
    ~Pair() {
        platform::SocketClose(client);
        platform::SocketClose(server);
        platform::SocketClose(listener);
    }
};

// Polls until the socket is readable, at most about two seconds.
bool WaitReadable(SocketHandle s) {
    for (int i = 0; i < 200; ++i) {
        bool bReadable = false;
        if (platform::SocketPoll(s, &bReadable, nullptr) > 0 && bReadable) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(PlatformSocket, DataFlowsBothWaysAndPollReportsReadiness) {
    Pair pair;
    ASSERT_NE(pair.server, platform::kInvalidSocket);
    bool bReadable = true, bWritable = false;
    EXPECT_EQ(platform::SocketPoll(pair.client, &bReadable, &bWritable), 1);
    EXPECT_FALSE(bReadable);
    EXPECT_TRUE(bWritable);

    EXPECT_EQ(platform::SocketSend(pair.client, "", 0), 0);  // nothing to send is no failure
    ASSERT_EQ(platform::SocketSend(pair.client, "hello", 5), 5);
    ASSERT_TRUE(WaitReadable(pair.server));
    char buf[16] = {};
    EXPECT_EQ(platform::SocketRecv(pair.server, buf, sizeof(buf)), 5);
    EXPECT_STREQ(buf, "hello");
    {
        // Nothing more to read on a socket that never blocks: Winsock's
        // would-block error.
        platform::detail::SocketUse use(pair.server);
        int fd = static_cast<int>(use.Native());
        ASSERT_EQ(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK), 0);
    }
    EXPECT_EQ(platform::SocketRecv(pair.server, buf, sizeof(buf)), -1);
    EXPECT_EQ(platform::SocketLastError(), platform::kWsaWouldBlock);

    ASSERT_EQ(platform::SocketSend(pair.server, "back", 4), 4);
    ASSERT_TRUE(WaitReadable(pair.client));
    EXPECT_EQ(platform::SocketPoll(pair.client, &bReadable, &bWritable), 2);
    EXPECT_EQ(platform::SocketRecv(pair.client, buf, sizeof(buf)), 4);
}

TEST(PlatformSocket, PeerCloseReadsAsEndThenSendFailsWithReset) {
    Pair pair;
    platform::SocketClose(pair.server);
    pair.server = platform::kInvalidSocket;
    ASSERT_TRUE(WaitReadable(pair.client));
    char buf[8];
    EXPECT_EQ(platform::SocketRecv(pair.client, buf, sizeof(buf)), 0);
    // The first send may still be buffered; the peer's reset fails a later one.
    int iResult = 0;
    for (int i = 0; i < 50 && iResult >= 0; ++i) {
        iResult = platform::SocketSend(pair.client, "x", 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(iResult, -1);
    EXPECT_EQ(platform::SocketLastError(), platform::kWsaConnectionReset);
}

TEST(PlatformSocket, ShutdownSendGivesThePeerEndOfStream) {
    Pair pair;
    EXPECT_EQ(platform::SocketShutdownSend(pair.server), 0);
    ASSERT_TRUE(WaitReadable(pair.client));
    char buf[4];
    EXPECT_EQ(platform::SocketRecv(pair.client, buf, sizeof(buf)), 0);
    // The other direction still works.
    EXPECT_EQ(platform::SocketSend(pair.client, "ok", 2), 2);
}

TEST(PlatformSocket, UnknownAndClosedSocketsFailWithNotSocket) {
    bool bReadable, bWritable;
    EXPECT_EQ(platform::SocketPoll(platform::kInvalidSocket, &bReadable, &bWritable), -1);
    EXPECT_EQ(platform::SocketLastError(), platform::kWsaNotSocket);
    SocketHandle s = platform::SocketCreate();
    ASSERT_NE(s, platform::kInvalidSocket);
    EXPECT_EQ(platform::SocketClose(s), 0);
    EXPECT_EQ(platform::SocketPoll(s, &bReadable, &bWritable), -1);
    char c;
    EXPECT_EQ(platform::SocketRecv(s, &c, 1), -1);
    EXPECT_EQ(platform::SocketLastError(), platform::kWsaNotSocket);
    EXPECT_EQ(platform::SocketClose(s), -1);
    // A call that succeeds leaves the last error as it was, as Winsock does.
    s = platform::SocketCreate();
    EXPECT_EQ(platform::SocketLastError(), platform::kWsaNotSocket);
    platform::SocketClose(s);
}

TEST(PlatformSocket, NeverConnectedSocketIsInNeitherSet) {
    SocketHandle s = platform::SocketCreate();
    bool bReadable = true, bWritable = true;
    EXPECT_EQ(platform::SocketPoll(s, &bReadable, &bWritable), 0);
    EXPECT_FALSE(bReadable);
    EXPECT_FALSE(bWritable);
    platform::SocketClose(s);
    // So is a listener that nobody has called yet: the system's poll finds
    // nothing ready, which is no failure.
    uint16_t wPort = 0;
    SocketHandle listener = platform::SocketListenLoopback(0, &wPort);
    bReadable = bWritable = true;
    EXPECT_EQ(platform::SocketPoll(listener, &bReadable, &bWritable), 0);
    EXPECT_FALSE(bReadable);
    EXPECT_FALSE(bWritable);
    platform::SocketClose(listener);
}

TEST(PlatformSocket, RefusedConnectionReportsConnRefused) {
    uint16_t wPort = 0;
    SocketHandle listener = platform::SocketListenLoopback(0, &wPort);
    platform::SocketClose(listener);  // nobody listens there now
    SocketHandle s = platform::SocketCreate();
    EXPECT_EQ(platform::SocketConnect(s, Loopback(), wPort), -1);
    EXPECT_EQ(platform::SocketLastError(), platform::kWsaConnectionRefused);
    // A failed connect leaves an unconnected socket: in neither set.
    bool bReadable, bWritable;
    EXPECT_EQ(platform::SocketPoll(s, &bReadable, &bWritable), 0);
    platform::SocketClose(s);
}

TEST(PlatformSocket, AddressesResolveAndDottedParsingRefusesNames) {
    uint32_t dwAddr = 0;
    EXPECT_TRUE(platform::ResolveHost("127.0.0.1", &dwAddr));
    EXPECT_EQ(dwAddr, htonl(INADDR_LOOPBACK));
    EXPECT_TRUE(platform::ResolveHost("localhost", &dwAddr));
    EXPECT_EQ(dwAddr, htonl(INADDR_LOOPBACK));
    EXPECT_FALSE(platform::ResolveHost("", &dwAddr));
    // A missing name or a missing place for the address: refused, not read.
    EXPECT_FALSE(platform::ResolveHost(nullptr, &dwAddr));
    EXPECT_FALSE(platform::ResolveHost("127.0.0.1", nullptr));
    EXPECT_FALSE(platform::ParseDottedAddress(nullptr, &dwAddr));
    EXPECT_FALSE(platform::ParseDottedAddress("10.1.2.3", nullptr));
    EXPECT_FALSE(platform::ParseDottedAddress("localhost", &dwAddr));
    EXPECT_FALSE(platform::ParseDottedAddress("300.1.1.1", &dwAddr));
    EXPECT_TRUE(platform::ParseDottedAddress("10.1.2.3", &dwAddr));
    EXPECT_EQ(dwAddr, htonl(0x0A010203));
    // A lookup gives back what the system's lookup took.
    if (!testutil::HeapMeasurable()) return;
    for (int i = 0; i < 20; ++i)
        platform::ResolveHost("localhost", &dwAddr);  // the system's caches
    int64_t iBefore = testutil::MeasureProcessResources().iHeapBytes;
    for (int i = 0; i < 200; ++i) platform::ResolveHost("localhost", &dwAddr);
    EXPECT_LT(testutil::MeasureProcessResources().iHeapBytes - iBefore, 4096);
}

// Connects a new socket to the address and port: 0, or the Winsock error.
int ConnectError(uint32_t dwAddrNet, uint16_t wPort) {
    SocketHandle s = platform::SocketCreate();
    int iError =
        platform::SocketConnect(s, dwAddrNet, wPort) == 0 ? 0 : platform::SocketLastError();
    platform::SocketClose(s);
    return iError;
}

TEST(PlatformSocket, ListenTakesTheAddressItIsGiven) {
    // Every 127.x.x.x is this machine's on Linux: a listener on 127.0.0.2
    // takes connections there and none on 127.0.0.1.
    uint32_t dwOther = htonl(0x7F000002);
    uint16_t wPort = 0;
    SocketHandle listener = platform::SocketListen(dwOther, 0, &wPort);
    ASSERT_NE(listener, platform::kInvalidSocket);
    EXPECT_NE(wPort, 0);
    EXPECT_EQ(ConnectError(Loopback(), wPort), platform::kWsaConnectionRefused);
    EXPECT_EQ(ConnectError(dwOther, wPort), 0);
    platform::SocketClose(listener);

    // 0.0.0.0 is every interface, loopback included.
    listener = platform::SocketListen(htonl(INADDR_ANY), 0, &wPort);
    ASSERT_NE(listener, platform::kInvalidSocket);
    EXPECT_EQ(ConnectError(Loopback(), wPort), 0);
    platform::SocketClose(listener);
}

TEST(PlatformSocket, ListenFailuresTellWhy) {
    uint16_t wPort = 0;
    SocketHandle listener = platform::SocketListenLoopback(0, &wPort);
    ASSERT_NE(listener, platform::kInvalidSocket);
    uint16_t wUnused = 0;
    EXPECT_EQ(platform::SocketListen(Loopback(), wPort, &wUnused), platform::kInvalidSocket);
    EXPECT_EQ(platform::SocketLastError(), platform::kWsaAddressInUse);
    platform::SocketClose(listener);
    // 192.0.2.1 is reserved for documentation: no machine has it.
    EXPECT_EQ(platform::SocketListen(htonl(0xC0000201), 0, &wUnused), platform::kInvalidSocket);
    EXPECT_EQ(platform::SocketLastError(), platform::kWsaAddressNotAvailable);
}

TEST(PlatformSocket, CloseWithResetResetsThePeer) {
    Pair pair;
    ASSERT_NE(pair.server, platform::kInvalidSocket);
    EXPECT_EQ(platform::SocketSend(pair.server, "unsent?", 7), 7);
    EXPECT_EQ(platform::SocketCloseWithReset(pair.server), 0);
    pair.server = platform::kInvalidSocket;
    ASSERT_TRUE(WaitReadable(pair.client));
    // The bytes already delivered may come first; then the reset.
    char buf[16];
    int n;
    while ((n = platform::SocketRecv(pair.client, buf, sizeof(buf))) > 0) {
    }
    EXPECT_EQ(n, -1);
    EXPECT_EQ(platform::SocketLastError(), platform::kWsaConnectionReset);
    EXPECT_EQ(platform::SocketCloseWithReset(pair.server), -1);
    EXPECT_EQ(platform::SocketLastError(), platform::kWsaNotSocket);
}

TEST(PlatformSocket, ReceiveBufferIsSetOnTheSystemSocket) {
    uint16_t wPort = 0;
    SocketHandle listener = platform::SocketListenLoopback(0, &wPort);
    ASSERT_EQ(platform::SocketSetReceiveBuffer(listener, 4096), 0);
    int iBytes = 0;
    socklen_t iLength = sizeof(iBytes);
    {
        platform::detail::SocketUse use(listener);
        ASSERT_TRUE(use);
        ASSERT_EQ(
            getsockopt(static_cast<int>(use.Native()), SOL_SOCKET, SO_RCVBUF, &iBytes, &iLength),
            0);
    }
    // Linux doubles what it is asked for, for its own bookkeeping.
    EXPECT_GE(iBytes, 4096);
    EXPECT_LT(iBytes, 65536);
    platform::SocketClose(listener);
    EXPECT_EQ(platform::SocketSetReceiveBuffer(listener, 4096), -1);
    EXPECT_EQ(platform::SocketLastError(), platform::kWsaNotSocket);
}

TEST(PlatformSocket, InjectedFaultsHitOnlyTheirSocketAndRunOut) {
    Pair pair;
    platform_testing::InjectSocketFault(pair.client, platform_testing::SocketOp::kRecv,
                                        platform::kWsaWouldBlock, 2);
    platform_testing::InjectSocketFault(pair.client, platform_testing::SocketOp::kSend,
                                        platform::kWsaNoBufferSpace, 1);
    char buf[8];
    EXPECT_EQ(platform::SocketRecv(pair.client, buf, sizeof(buf)), -1);
    EXPECT_EQ(platform::SocketLastError(), platform::kWsaWouldBlock);
    EXPECT_EQ(platform::SocketSend(pair.client, "a", 1), -1);
    EXPECT_EQ(platform::SocketLastError(), platform::kWsaNoBufferSpace);
    EXPECT_EQ(platform::SocketSend(pair.client, "a", 1), 1);  // send fault used up
    // The other socket of the pair is untouched.
    ASSERT_TRUE(WaitReadable(pair.server));
    EXPECT_EQ(platform::SocketRecv(pair.server, buf, sizeof(buf)), 1);
    EXPECT_EQ(platform::SocketRecv(pair.client, buf, sizeof(buf)), -1);  // second recv fault
    platform::SocketSend(pair.server, "z", 1);
    ASSERT_TRUE(WaitReadable(pair.client));
    EXPECT_EQ(platform::SocketRecv(pair.client, buf, sizeof(buf)), 1);

    platform_testing::InjectSocketFault(platform::kInvalidSocket, platform_testing::SocketOp::kPoll,
                                        platform::kWsaNetworkDown, 5);
    platform_testing::ClearSocketFaults();
    bool bReadable, bWritable;
    EXPECT_GE(platform::SocketPoll(pair.client, &bReadable, &bWritable), 1);

    // A poll or a connect fault fails the call as the system would.
    platform_testing::InjectSocketFault(pair.client, platform_testing::SocketOp::kPoll,
                                        platform::kWsaNetworkDown, 1);
    EXPECT_EQ(platform::SocketPoll(pair.client, &bReadable, &bWritable), -1);
    EXPECT_EQ(platform::SocketLastError(), platform::kWsaNetworkDown);
    SocketHandle s = platform::SocketCreate();
    platform_testing::InjectSocketFault(s, platform_testing::SocketOp::kConnect,
                                        platform::kWsaConnectionRefused, 1);
    EXPECT_EQ(platform::SocketConnect(s, Loopback(), 1), -1);
    EXPECT_EQ(platform::SocketLastError(), platform::kWsaConnectionRefused);
    platform::SocketClose(s);
}

// A connection the system cannot give a descriptor is a failed accept, not
// one to try again for ever (the reference server's accept).
TEST(PlatformSocket, AnAcceptWithoutADescriptorLeftFails) {
    uint16_t wPort = 0;
    SocketHandle listener = platform::SocketListenLoopback(0, &wPort);
    SocketHandle client = platform::SocketCreate();
    ASSERT_EQ(platform::SocketConnect(client, Loopback(), wPort), 0);
    rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    int iFree = dup(0);  // the lowest descriptor free: the limit leaves none
    ASSERT_GE(iFree, 0);
    close(iFree);
    rlimit tight = old;
    tight.rlim_cur = static_cast<rlim_t>(iFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    SocketHandle accepted = platform::SocketAccept(listener);
    int iError = platform::SocketLastError();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    EXPECT_EQ(accepted, platform::kInvalidSocket);
    EXPECT_EQ(iError, 10024);  // WSAEMFILE, as the log lines print it
    if (accepted != platform::kInvalidSocket) platform::SocketClose(accepted);
    platform::SocketClose(client);
    platform::SocketClose(listener);
}

// Every system error a socket call can meet is reported by its Winsock
// number, as the log lines print it; one without a number of its own as an
// invalid argument. Most of them cannot be raised on loopback.
TEST(PlatformSocket, SystemErrorsAreReportedByTheirWinsockNumbers) {
    const std::pair<int, int> table[] = {
        {0, 0},
        {EINTR, 10004},
        {EACCES, 10013},
        {EFAULT, 10014},
        {EINVAL, 10022},
        {EMFILE, 10024},
        {ENFILE, 10024},
        {EAGAIN, 10035},
        {EWOULDBLOCK, 10035},
        {EINPROGRESS, 10036},
        {EBADF, 10038},
        {ENOTSOCK, 10038},
        {EMSGSIZE, 10040},
        {EADDRINUSE, 10048},
        {EADDRNOTAVAIL, 10049},
        {ENETDOWN, 10050},
        {ENETUNREACH, 10051},
        {ECONNABORTED, 10053},
        {ECONNRESET, 10054},
        {EPIPE, 10054},
        {ENOBUFS, 10055},
        {ENOMEM, 10055},
        {EISCONN, 10056},
        {ENOTCONN, 10057},
        {ESHUTDOWN, 10058},
        {ETIMEDOUT, 10060},
        {ECONNREFUSED, 10061},
        {EHOSTUNREACH, 10065},
        {EPROTONOSUPPORT, 10022},
        {ENOENT, 10022},
    };
    for (const auto& row : table) {
        EXPECT_EQ(platform_testing::WinsockErrorOf(row.first), row.second) << "errno " << row.first;
    }
}

TEST(PlatformSocket, AFaultForTheVerySocketWinsOverOneForAnySocket) {
    Pair pair;
    using platform_testing::SocketOp;
    ASSERT_TRUE(platform_testing::InjectSocketFault(platform::kInvalidSocket, SocketOp::kSend,
                                                    platform::kWsaNetworkDown, 1));
    ASSERT_TRUE(platform_testing::InjectSocketFault(pair.client, SocketOp::kSend,
                                                    platform::kWsaWouldBlock, 1));
    EXPECT_EQ(platform::SocketSend(pair.client, "a", 1), -1);
    EXPECT_EQ(platform::SocketLastError(), platform::kWsaWouldBlock);
    EXPECT_EQ(platform::SocketSend(pair.server, "a", 1), -1);
    EXPECT_EQ(platform::SocketLastError(), platform::kWsaNetworkDown);
    EXPECT_EQ(platform::SocketSend(pair.server, "a", 1), 1);
}

TEST(PlatformSocket, NumbersAreNeverReused) {
    SocketHandle a = platform::SocketCreate();
    platform::SocketClose(a);
    SocketHandle b = platform::SocketCreate();
    EXPECT_NE(a, b);
    platform::SocketClose(b);
}

TEST(PlatformSocket, CloseFromAnotherThreadWakesABlockedRecv) {
    Pair pair;
    int iBefore = platform::detail::RegisteredSocketCount();
    std::atomic<int> iResult{1};
    std::atomic<int> iError{0};
    std::thread reader([&] {
        char buf[8];
        iResult = platform::SocketRecv(pair.client, buf, sizeof(buf));
        iError = platform::SocketLastError();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(platform::SocketClose(pair.client), 0);
    reader.join();
    EXPECT_EQ(iResult.load(), -1);
    EXPECT_EQ(iError.load(), platform::kWsaInterrupted);
    EXPECT_EQ(platform::detail::RegisteredSocketCount(), iBefore - 1);
    pair.client = platform::kInvalidSocket;
}

TEST(PlatformSocket, CloseFromAnotherThreadEndsAHangingConnect) {
    // A listener with a full backlog that never accepts: the kernel drops
    // further handshakes, so the next connect hangs.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(fd, 0), 0);
    socklen_t iLen = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &iLen);
    uint16_t wPort = ntohs(addr.sin_port);
    std::vector<SocketHandle> fillers;
    SocketHandle hanging = platform::kInvalidSocket;
    std::atomic<bool> bDone{false};
    std::atomic<int> iResult{0};
    // Fill the backlog until a connect no longer completes at once.
    for (int i = 0; i < 8 && hanging == platform::kInvalidSocket; ++i) {
        SocketHandle s = platform::SocketCreate();
        bDone = false;
        std::thread t([&] {
            iResult = platform::SocketConnect(s, Loopback(), wPort);
            bDone = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (bDone) {
            t.join();
            // A connect that returned at once really connected.
            EXPECT_EQ(iResult.load(), 0);
            platform::detail::SocketUse use(s);
            sockaddr_in peer{};
            socklen_t iPeerLen = sizeof(peer);
            EXPECT_EQ(getpeername(static_cast<int>(use.Native()),
                                  reinterpret_cast<sockaddr*>(&peer), &iPeerLen),
                      0);
            fillers.push_back(s);
            continue;
        }
        hanging = s;
        auto start = std::chrono::steady_clock::now();
        platform::SocketClose(s);
        t.join();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        EXPECT_EQ(iResult.load(), -1);
    }
    for (SocketHandle s : fillers) platform::SocketClose(s);
    close(fd);
    if (hanging == platform::kInvalidSocket) GTEST_SKIP() << "the kernel kept accepting handshakes";
}

}  // namespace
