// The write step and the pass of the session thread, driven without the
// thread: the bytes that reach the socket, the tail rule, the bounds of the
// write buffer, retries, keep-alives and key requests on a fast clock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <thread>

#include "base/alloc.h"
#include "base/packet.h"
#include "base/testing.h"
#include "exchange/queue_table.h"
#include "platform/clock.h"
#include "platform/socket_registry.h"
#include "platform/testing.h"
#include "session/connect.h"
#include "session/outbound.h"
#include "util/session_fixture.h"
#include "util/session_state_fixture.h"
#include "vorel/vorel.h"

namespace {

using testutil::InspectQueue;
using testutil::SendKey;

constexpr const char* kKey = "K3y-7f2a9c";

class SessionOutbound : public testutil::SessionStateFixture {
protected:
    void SetUp() override {
        SessionStateFixture::SetUp();
        ConnectPeer();
    }

    // Splits what the peer received into packets (type, payload).
    struct Packet {
        int iType;
        uint32_t dwLength;
        std::string payload;
        std::string raw;
    };
    static std::vector<Packet> Packets(const std::string& bytes) {
        std::vector<Packet> packets;
        size_t p = 0;
        while (p + 16 <= bytes.size()) {
            uint32_t dwLength = ReadPacketLength(bytes.data() + p);
            if (dwLength < 16 || p + dwLength > bytes.size()) break;
            packets.push_back({ReadPacketType(bytes.data() + p), dwLength,
                               bytes.substr(p + 16, dwLength - 16), bytes.substr(p, dwLength)});
            p += dwLength;
        }
        return packets;
    }
    std::string Decode(const std::string& payload) {
        char plain[70000];
        int n = Engine().connection.codec.DataDecode(
            kKey, payload.data(), static_cast<unsigned>(payload.size()), plain, sizeof(plain), 2);
        return n > 0 ? std::string(plain, static_cast<size_t>(n)) : std::string("<undecodable>");
    }
};

TEST_F(SessionOutbound, RequestsOfOneIdentifierGoOutInOrderInOneSendAndTheTailStays) {
    SetKey(kKey);
    ASSERT_EQ(Request(300, "300 4 first"), 1);
    ASSERT_EQ(Request(301, "301 4 second"), 1);
    WriteStep(Engine(), State());
    std::vector<Packet> packets = Packets(PeerReceive());
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(Decode(packets[0].payload), "300 4 first");
    EXPECT_EQ(packets[1].iType, 301);
    EXPECT_EQ(Decode(packets[1].payload), "301 4 second");
    // The encoded packet keeps the queued header but for its length.
    EXPECT_EQ(packets[0].dwLength, packets[0].payload.size() + 16);
    EXPECT_EQ(packets[0].raw.substr(4, 12), std::string("\0\0\0\0\x2C\x01\0\0\x7E\0\0\0", 12));
    testutil::QueueView queue = InspectQueue(Engine().queues, SendKey(4).c_str());
    EXPECT_EQ(queue.iCount, 1);
    ASSERT_EQ(queue.nodes.size(), 1u);
    EXPECT_EQ(queue.nodes[0].iDone, 1);
    EXPECT_EQ(State().iScheduledSendTotal, 2);
    EXPECT_EQ(State().iWriteStartPos, 0);

    // A later request: the taken tail is freed, the new one sent and kept.
    ASSERT_EQ(Request(302, "302 4 third"), 1);
    WriteStep(Engine(), State());
    packets = Packets(PeerReceive());
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(Decode(packets[0].payload), "302 4 third");
    queue = InspectQueue(Engine().queues, SendKey(4).c_str());
    EXPECT_EQ(queue.iCount, 1);
    EXPECT_EQ(queue.nodes[0].payload, "302 4 third");
}

// Between identifiers the requests of one gathering go out in the order of
// the table's slots (a key's FNV-1a hash modulo 10,000), not in the order
// in which they were queued.
TEST_F(SessionOutbound, RequestsOfSeveralIdentifiersGoOutInTheOrderOfTheTablesSlots) {
    auto Slot = [](int iQueueId) {
        uint32_t dwHash = 2166136261u;
        for (unsigned char c : SendKey(iQueueId)) dwHash = (dwHash ^ c) * 16777619u;
        return dwHash % 10000;
    };
    SetKey(kKey);
    // The second time without memory to order the queues in: the whole
    // table is walked instead, with the same result.
    for (int iRound : {0, 1}) {
        std::vector<std::pair<uint32_t, std::string>> expected;
        for (int iQueueId = 1; iQueueId <= 12 + 18 * iRound; ++iQueueId) {
            std::string text = "300 " + std::to_string(iQueueId) + " x";
            ASSERT_EQ(Request(300, text), 1);
            expected.emplace_back(Slot(iQueueId), text);
        }
        std::sort(expected.begin(), expected.end());
        if (iRound == 1) vorel_testing::FailAllocations(0, 1);
        WriteStep(Engine(), State());
        vorel_testing::FailAllocations(0, 0);
        std::vector<Packet> packets = Packets(PeerReceive());
        ASSERT_EQ(packets.size(), expected.size()) << iRound;
        for (size_t i = 0; i < packets.size(); ++i) {
            EXPECT_EQ(Decode(packets[i].payload), expected[i].second) << iRound << " " << i;
        }
    }
    // Two identifiers of one bucket: in the order in which their queues were
    // made, whatever the order of the requests.
    std::map<uint32_t, int> firstOfSlot;
    int iMadeFirst = 0;
    int iMadeSecond = 100;
    while (firstOfSlot.emplace(Slot(iMadeSecond), iMadeSecond).second) ++iMadeSecond;
    iMadeFirst = firstOfSlot[Slot(iMadeSecond)];
    for (int iQueueId : {iMadeFirst, iMadeSecond, iMadeSecond, iMadeFirst}) {
        ASSERT_EQ(Request(300, "300 " + std::to_string(iQueueId) + " x"), 1);
        if (iQueueId == iMadeSecond) continue;
        WriteStep(Engine(), State());
        std::vector<Packet> packets = Packets(PeerReceive());
        ASSERT_GE(packets.size(), 1u);
        EXPECT_EQ(Decode(packets[0].payload), "300 " + std::to_string(iMadeFirst) + " x");
    }
}

// The encoding area holds 10,224 bytes: a text that fills it exactly goes
// out encoded (a packet of 10,240 bytes); a longer one goes out plain, up to
// the longest text of 65,520 bytes (a packet of 65,536).
TEST_F(SessionOutbound, RequestsEncodedUpTo10224BytesAndPlainBeyond) {
    SetKey(kKey);
    auto Text = [](size_t iLength) {
        std::string text = "300 9 ";
        return text + std::string(iLength - text.size(), 'p');
    };
    const std::string fits = Text(7664), over = Text(7665), longest = Text(65520);
    for (const std::string& text : {fits, over, longest}) ASSERT_EQ(Request(300, text), 1);
    WriteStep(Engine(), State());
    std::vector<Packet> packets = Packets(PeerReceive(500));
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0].dwLength, 10240u);
    EXPECT_EQ(Decode(packets[0].payload), fits);
    EXPECT_EQ(packets[1].dwLength, over.size() + 16);
    EXPECT_EQ(packets[1].payload, over);  // without the queued terminator
    EXPECT_EQ(packets[2].dwLength, 65536u);
    EXPECT_EQ(packets[2].payload, longest);
}

TEST_F(SessionOutbound, AMessageOutsideTheRequestBoundsIsDroppedWithItsLine) {
    SetKey(kKey);
    ASSERT_EQ(Request(300, "300 6 odd"), 1);
    {
        ClientEngine& engine = Engine();
        KMutexAdaptor<KThreadMutex> guard(engine.queues.LockForTesting(), -1);
        MESSAGE_QUEUE* pQueue =
            static_cast<MESSAGE_QUEUE*>(hash_lookup(engine.queues.TableForTesting(), "send+6"));
        KMutexAdaptor<KThreadMutex> queueGuard(pQueue->lock, -1);
        pQueue->pHead->pPacket->header.iType = 150;
    }
    g_sessionStatics.tLastSend = platform::NowSeconds32() + 1000;  // no keep-alive either
    // The bounds of the request types themselves go out.
    ASSERT_EQ(Request(200, "200 6 lowest"), 1);
    ASSERT_EQ(Request(399, "399 6 highest"), 1);
    WriteStep(Engine(), State());
    EXPECT_TRUE(LogHas("---每秒定时处理---error---发生奇怪错误(此错误不可能出现),25,150"));
    std::vector<Packet> packets = Packets(PeerReceive());
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].iType, 200);
    EXPECT_EQ(Decode(packets[0].payload), "200 6 lowest");
    EXPECT_EQ(packets[1].iType, 399);
    EXPECT_EQ(InspectQueue(Engine().queues, SendKey(6).c_str()).Pending(), 0);
}

// The lines of a gathering are made under the table's lock but written once it is
// left, all of them and in order: a game's call never waits for the log
// file. A burst of lines outgrows the area kept for a few; without memory
// for more, the lines still all come, in order.
TEST_F(SessionOutbound, TheLinesOfAGatheringAreWrittenOnceTheTableLockIsLeft) {
    SetKey(kKey);
    g_sessionStatics.tLastSend = platform::NowSeconds32() + 1000;  // no keep-alive
    auto Gathering = [this](int iRequests, int iType) {
        for (int i = 0; i < iRequests; ++i)
            EXPECT_EQ(Request(iType, std::to_string(iType) + " 7 r" + std::to_string(i)), 1);
        ClearLog();
        {
            testutil::TableLockWhileLogging watch(Clock(), Engine().queues);
            WriteStep(Engine(), State());
            EXPECT_GE(watch.Entries(), iRequests);
            EXPECT_EQ(watch.Blocked(), 0) << "lines written under the table's lock";
        }
        EXPECT_EQ(LogLines(),
                  std::vector<std::string>(
                      iRequests, "线程1---send2---type=" + std::to_string(iType) + "---"));
        EXPECT_EQ(static_cast<int>(Packets(PeerReceive()).size()), iRequests);
    };
    // No memory to grow the area: the lines kept so far go out early.
    for (int i = 0; i < 400; ++i) ASSERT_EQ(Request(302, "302 8 r" + std::to_string(i)), 1);
    ClearLog();
    vorel_testing::FailAllocations(0, 1000);
    WriteStep(Engine(), State());
    vorel_testing::FailAllocations(0, 0);
    EXPECT_EQ(LogLines(), std::vector<std::string>(400, "线程1---send2---type=302---"));
    EXPECT_EQ(Packets(PeerReceive()).size(), 400u);

    Gathering(3, 300);
    Gathering(400, 301);
}

// The lines of one gathering, written together, are those that one write
// for each gave, in the same order: a request's line, the line of a request
// dropped, and the line of the request that no longer fits, which ends it.
TEST_F(SessionOutbound, TheLinesOfAGatheringKeepTheirTextAndOrder) {
    SetKey(kKey);
    g_sessionStatics.tLastSend = platform::NowSeconds32() + 1000;  // no keep-alive
    ASSERT_EQ(Request(300, "300 6 first"), 1);
    ASSERT_EQ(Request(301, "301 6 second"), 1);
    ASSERT_EQ(Request(302, "302 6 third " + std::string(3000, 't')), 1);
    {
        ClientEngine& engine = Engine();
        KMutexAdaptor<KThreadMutex> guard(engine.queues.LockForTesting(), -1);
        MESSAGE_QUEUE* pQueue =
            static_cast<MESSAGE_QUEUE*>(hash_lookup(engine.queues.TableForTesting(), "send+6"));
        KMutexAdaptor<KThreadMutex> queueGuard(pQueue->lock, -1);
        pQueue->pHead->pNext->pPacket->header.iType = 150;
    }
    // Room for the first request and not for the third.
    State().hWriteSocket = Engine().connection.hSocket.load();
    State().iWriteStartPos = static_cast<int>(kWriteBufferSize) - 2000;
    ClearLog();
    WriteStep(Engine(), State());
    std::vector<std::string> expected = {
        "线程1---send2---type=300---", "线程1---send2---type=150---",
        "---每秒定时处理---error---发生奇怪错误(此错误不可能出现),28,150",
        "线程1---send2---type=302---", "---每秒定时处理---error---dwLength>=1024*1024"};
    EXPECT_EQ(LogLines(), expected);
}

TEST_F(SessionOutbound, TheWriteBufferStaysBelowOneMebibyte) {
    SetKey(kKey);
    ASSERT_EQ(Request(300, "300 3 fits"), 1);
    // Measure the packet, then bring the buffer to just below and just at
    // the limit. The socket is gone, so what was gathered stays there.
    WriteStep(Engine(), State());
    int iPacket = static_cast<int>(Packets(PeerReceive()).at(0).dwLength);
    platform::SocketClose(Engine().connection.hSocket.exchange(platform::kInvalidSocket));
    State().hWriteSocket = platform::kInvalidSocket;  // the bytes below are this "connection's"

    ASSERT_EQ(Request(300, "300 3 fits"), 1);
    State().iWriteStartPos =
        static_cast<int>(kWriteBufferSize) - iPacket;  // the sum reaches the limit
    WriteStep(Engine(), State());
    EXPECT_TRUE(LogHas("---每秒定时处理---error---dwLength>=1024*1024"));
    EXPECT_EQ(State().iWriteStartPos, static_cast<int>(kWriteBufferSize) - iPacket);
    EXPECT_EQ(InspectQueue(Engine().queues, SendKey(3).c_str()).Pending(), 1);

    State().iWriteStartPos = static_cast<int>(kWriteBufferSize) - iPacket - 1;
    WriteStep(Engine(), State());
    EXPECT_EQ(State().iWriteStartPos, static_cast<int>(kWriteBufferSize) - 1);
    EXPECT_EQ(InspectQueue(Engine().queues, SendKey(3).c_str()).Pending(), 0);
}

// A request that does not fit ends the gathering: queues not yet visited
// wait for a later pass, even when theirs would fit.
TEST_F(SessionOutbound, ARequestThatDoesNotFitEndsTheGathering) {
    SetKey(kKey);
    // Which of two queues the gathering visits first.
    ASSERT_EQ(Request(300, "300 3 probe"), 1);
    ASSERT_EQ(Request(300, "300 5 probe"), 1);
    WriteStep(Engine(), State());
    std::vector<Packet> packets = Packets(PeerReceive());
    ASSERT_EQ(packets.size(), 2u);
    int iFirst = Decode(packets[0].payload) == "300 3 probe" ? 3 : 5;
    int iLater = iFirst == 3 ? 5 : 3;
    int iShort = static_cast<int>(packets[0].dwLength);
    platform::SocketClose(Engine().connection.hSocket.exchange(platform::kInvalidSocket));
    State().hWriteSocket = platform::kInvalidSocket;

    // The first queue's request is too long for the room left, the later
    // one's would fit.
    ASSERT_EQ(Request(300, "300 " + std::to_string(iFirst) + " longer than the probe"), 1);
    ASSERT_EQ(Request(300, "300 " + std::to_string(iLater) + " probe"), 1);
    State().iWriteStartPos = static_cast<int>(kWriteBufferSize) - iShort - 1;
    WriteStep(Engine(), State());
    EXPECT_TRUE(LogHas("---每秒定时处理---error---dwLength>=1024*1024"));
    EXPECT_EQ(State().iWriteStartPos, static_cast<int>(kWriteBufferSize) - iShort - 1);
    EXPECT_EQ(InspectQueue(Engine().queues, SendKey(iFirst).c_str()).Pending(), 1);
    EXPECT_EQ(InspectQueue(Engine().queues, SendKey(iLater).c_str()).Pending(), 1);
}

TEST_F(SessionOutbound, FiveTransientSendFailuresAreWaitedOutTheSixthIsALostConnection) {
    SetKey(kKey);
    platform::SocketHandle s = Engine().connection.hSocket.load();
    // Would-block, five in a row: waited out; a send that goes through then
    // starts the count again.
    ASSERT_EQ(Request(300, "300 2 patient"), 1);
    platform_testing::InjectSocketFault(s, platform_testing::SocketOp::kSend,
                                        platform::kWsaWouldBlock, 5);
    for (int i = 0; i < 5; ++i) WriteStep(Engine(), State());
    EXPECT_TRUE(ReConnects().empty());
    EXPECT_GT(State().iWriteStartPos, 0);
    WriteStep(Engine(), State());
    EXPECT_EQ(Decode(Packets(PeerReceive()).at(0).payload), "300 2 patient");

    // A send that wrote nothing is no failure: its line, and the bytes wait.
    ASSERT_EQ(Request(300, "300 2 nothing yet"), 1);
    platform_testing::InjectSocketFault(s, platform_testing::SocketOp::kSend, 0, 1);
    WriteStep(Engine(), State());
    EXPECT_TRUE(LogHas("线程2---发送数据---warn---1---wrote 0 bytes to fd " + std::to_string(s)));
    EXPECT_TRUE(ReConnects().empty());
    EXPECT_EQ(PeerReceive(50), "");
    WriteStep(Engine(), State());
    EXPECT_EQ(Decode(Packets(PeerReceive()).at(0).payload), "300 2 nothing yet");

    // No buffer space counts alike; the sixth failure in a row is a lost
    // connection, and the bytes stay for the next connection.
    ASSERT_EQ(Request(300, "300 2 again"), 1);
    platform_testing::InjectSocketFault(s, platform_testing::SocketOp::kSend,
                                        platform::kWsaNoBufferSpace, 6);
    for (int i = 0; i < 5; ++i) WriteStep(Engine(), State());
    EXPECT_TRUE(ReConnects().empty());
    WriteStep(Engine(), State());
    EXPECT_EQ(ReConnects(), std::vector<int>{0});
    EXPECT_EQ(State().iSendRetries, 0);
    int iKept = State().iWriteStartPos;
    EXPECT_GT(iKept, 0);
    EXPECT_TRUE(
        LogHas("线程2---发送数据---error---1---:(-1," + std::to_string(iKept) + "),errno=10055"));
    // The next pass sends them.
    WriteStep(Engine(), State());
    EXPECT_EQ(State().iWriteStartPos, 0);
    EXPECT_EQ(Decode(Packets(PeerReceive()).at(0).payload), "300 2 again");
}

// A send that takes only part of the buffer: the rest moves to its start,
// the next pass goes on without a pause, and the server reads every packet
// whole and in order.
TEST_F(SessionOutbound, APartialSendKeepsTheRestForTheNextPassWithoutAPause) {
    UseManualClock();
    SetKey(kKey);
    {
        // A small send buffer that never blocks: a send takes what fits.
        platform::detail::SocketUse use(Engine().connection.hSocket.load());
        int fd = static_cast<int>(use.Native());
        int iSmall = 4096;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &iSmall, sizeof(iSmall));
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
    }
    std::vector<std::string> texts;
    for (int i = 0; i < 100; ++i) {
        texts.push_back("300 7 " + std::to_string(i) + " " + std::string(6000, 'a' + i % 26));
        ASSERT_EQ(Request(300, texts.back()), 1);
    }
    g_sessionStatics.tLastSend = platform::NowSeconds32() + 100000;  // no keep-alives
    RunSessionPass(Engine(), State());
    int iGathered = 0;
    for (const std::string& text : texts) {
        char encoded[10224];
        iGathered += 16 + Engine().connection.codec.DataEncode(kKey, text.data(), text.size(),
                                                               encoded, sizeof(encoded), 2);
    }
    ASSERT_GT(State().iWriteStartPos, 0);
    ASSERT_LT(State().iWriteStartPos, iGathered);
    EXPECT_TRUE(ReConnects().empty());

    std::string bytes = PeerReceive(50);
    int64_t iStart = Clock().ElapsedMs();
    RunSessionPass(Engine(), State());
    EXPECT_EQ(Clock().ElapsedMs() - iStart, 0);
    for (int i = 0; i < 2000 && State().iWriteStartPos > 0; ++i) {
        bytes += PeerReceive(10);
        Engine().connection.dwLastActive = platform::TickMs();
        RunSessionPass(Engine(), State());
    }
    bytes += PeerReceive(100);
    EXPECT_TRUE(ReConnects().empty());
    std::vector<Packet> packets = Packets(bytes);
    ASSERT_EQ(packets.size(), texts.size());
    EXPECT_EQ(bytes.size(), static_cast<size_t>(iGathered));
    for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(Decode(packets[i].payload), texts[i]) << i;

    // The last byte of a packet, all that a send left, goes out in its turn
    // instead of a keep-alive.
    Engine().connection.pWriteBuf[0] = 'z';
    State().iWriteStartPos = 1;
    State().hWriteSocket = Engine().connection.hSocket.load();
    g_sessionStatics.tLastSend = 0;
    WriteStep(Engine(), State());
    EXPECT_EQ(PeerReceive(50), "z");
    EXPECT_EQ(State().iWriteStartPos, 0);
}

// A read step that gives the connection up ends the pass's work: nothing is
// written on the connection just handed on.
TEST_F(SessionOutbound, APassWhoseReadStepGivesUpWritesNothing) {
    SetKey(kKey);
    ASSERT_EQ(Request(300, "300 4 waiting"), 1);
    std::string bad = Answer(200, "");  // a header alone: protocol error 6
    ASSERT_EQ(platform::SocketSend(Peer(), bad.data(), static_cast<int>(bad.size())),
              static_cast<int>(bad.size()));
    ASSERT_TRUE(testutil::WaitReal(
        [this] {
            bool bReadable = false;
            platform::SocketPoll(Engine().connection.hSocket.load(), &bReadable, nullptr);
            return bReadable;
        },
        2000));
    RunSessionPass(Engine(), State());
    EXPECT_EQ(ReConnects(), std::vector<int>{0});
    EXPECT_EQ(PeerReceive(100), "");
    EXPECT_EQ(InspectQueue(Engine().queues, SendKey(4).c_str()).Pending(), 1);
}

TEST_F(SessionOutbound, AnyOtherSendErrorIsALostConnectionAtOnce) {
    SetKey(kKey);
    ASSERT_EQ(Request(300, "300 2 reset"), 1);
    platform_testing::InjectSocketFault(Engine().connection.hSocket.load(),
                                        platform_testing::SocketOp::kSend,
                                        platform::kWsaConnectionReset, 1);
    WriteStep(Engine(), State());
    EXPECT_EQ(ReConnects(), std::vector<int>{0});
}

TEST_F(SessionOutbound, KeyRequestsGoOutOncePerMinuteUntilAKeyArrives) {
    UseManualClock();  // still but for its sleeps, so that the minute is exact
    Engine().connection.iTimeFlag = 0;
    std::string t0 = std::to_string(platform::NowSeconds32());
    WriteStep(Engine(), State());
    std::vector<Packet> packets = Packets(PeerReceive());
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].raw, std::string("\x10\0\0\0\0\0\0\0\x6B\0\0\0\x7E\0\0\0", 16));
    EXPECT_EQ(State().iScheduledSendTotal, 1);
    EXPECT_TRUE(LogHas("线程1---send1---type=107---,iTimeFlag=" + t0 + ",time(0)=" + t0));

    // Within the minute a writable pass sends nothing and pauses a second.
    int64_t iStart = Clock().ElapsedMs();
    WriteStep(Engine(), State());
    EXPECT_EQ(Clock().ElapsedMs() - iStart, 1000);
    EXPECT_EQ(PeerReceive(50), "");
    Clock().AdvanceSeconds(58);
    WriteStep(Engine(), State());  // 59 s after the request: nothing yet
    EXPECT_EQ(PeerReceive(50), "");
    WriteStep(Engine(), State());  // 60 s
    EXPECT_EQ(Packets(PeerReceive()).size(), 1u);
    EXPECT_EQ(State().iScheduledSendTotal, 2);

    // A key request counts as a send: the keep-alive comes 20 s after it.
    SetKey(kKey);
    Clock().AdvanceSeconds(19);
    WriteStep(Engine(), State());
    EXPECT_EQ(PeerReceive(50), "");
    Clock().AdvanceSeconds(1);
    WriteStep(Engine(), State());
    packets = Packets(PeerReceive());
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].iType, 127);
}

TEST_F(SessionOutbound, KeepAliveAfterTwentySecondsOfSilence) {
    UseManualClock();
    SetKey(kKey);
    g_sessionStatics.tLastSend = platform::NowSeconds32();
    WriteStep(Engine(), State());
    Clock().AdvanceSeconds(19);
    WriteStep(Engine(), State());
    EXPECT_EQ(PeerReceive(50), "");
    Clock().AdvanceSeconds(1);
    WriteStep(Engine(), State());
    std::vector<Packet> packets = Packets(PeerReceive());
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].raw, std::string("\x10\0\0\0\0\0\0\0\x7F\0\0\0\x7E\0\0\0", 16));
    WriteStep(Engine(), State());  // at most one per 20 s
    EXPECT_EQ(PeerReceive(50), "");

    // Requests going out restart the 20 s as well.
    Clock().AdvanceSeconds(10);
    ASSERT_EQ(Request(300, "300 2 busy"), 1);
    WriteStep(Engine(), State());
    packets = Packets(PeerReceive());
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].iType, 300);
    Clock().AdvanceSeconds(19);
    WriteStep(Engine(), State());
    EXPECT_EQ(PeerReceive(50), "");
    Clock().AdvanceSeconds(1);
    WriteStep(Engine(), State());
    packets = Packets(PeerReceive());
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].iType, 127);
}

// The pass: a poll that finds nothing runs no maintenance; a ready one does.
TEST_F(SessionOutbound, OnlyAPassWithAReadySocketRunsMaintenance) {
    SetKey(kKey);
    platform::SocketHandle connected =
        Engine().connection.hSocket.exchange(platform::SocketCreate());
    State().tMaintenance = platform::NowSeconds32() - 700;
    int32_t tBefore = State().tMaintenance;
    RunSessionPass(Engine(), State());  // a never-connected socket: nothing ready
    EXPECT_EQ(State().tMaintenance, tBefore);
    EXPECT_TRUE(ReConnects().empty());

    platform::SocketClose(Engine().connection.hSocket.exchange(connected));
    RunSessionPass(Engine(), State());
    EXPECT_NE(State().tMaintenance, tBefore);
}

TEST_F(SessionOutbound, WithoutASocketEveryPassHandsTheConnectionOn) {
    platform::SocketClose(Engine().connection.hSocket.exchange(platform::kInvalidSocket));
    State().framer.Feed(Engine().connection.pReadBuf, 5);
    RunSessionPass(Engine(), State());
    RunSessionPass(Engine(), State());
    EXPECT_EQ(ReConnects(), (std::vector<int>{0, 0}));
    EXPECT_EQ(State().framer.Kept(), 0);
    // While the newest set-up runs, a missing socket is a connection in
    // progress; once init has made that set-up stale, it is not.
    int32_t iSerial = ReserveSetUp(Engine());
    RunSessionPass(Engine(), State());
    EXPECT_EQ(ReConnects().size(), 2u);
    std::string host = "10.0.0.9";
    EXPECT_EQ(init(host.data(), 4000), -2);  // no set-up here: the wait runs out
    RunSessionPass(Engine(), State());
    EXPECT_EQ(ReConnects().size(), 3u);
    EXPECT_EQ(InitSocket(Engine(), iSerial), -8);  // the stale set-up ends quietly
}

// The idle sleep that paces the loop: none after a pass with traffic, then
// longer pauses the longer the connection has been silent.
TEST_F(SessionOutbound, IdlePassesPauseLongerTheLongerTheSilence) {
    UseManualClock();
    ClientEngine& engine = Engine();
    auto PassPause = [&] {
        int64_t iStart = Clock().ElapsedMs();
        RunSessionPass(engine, State());
        return Clock().ElapsedMs() - iStart;
    };
    auto PauseAfterSilence = [&](uint32_t dwSilentMs) {
        engine.connection.dwLastActive = platform::TickMs() - dwSilentMs;
        return PassPause();
    };
    // A pass that received bytes: the next one goes on at once.
    SetKey(kKey);
    ASSERT_EQ(Request(300, "300 4 asked"), 1);
    std::string answer = Answer(300, "300 4 ok answer");
    ASSERT_EQ(platform::SocketSend(Peer(), answer.data(), static_cast<int>(answer.size())),
              static_cast<int>(answer.size()));
    ASSERT_TRUE(testutil::WaitReal(
        [&engine] {
            bool bReadable = false;
            platform::SocketPoll(engine.connection.hSocket.load(), &bReadable, nullptr);
            return bReadable;
        },
        2000));
    EXPECT_EQ(PauseAfterSilence(70000), 0);  // the first pass never sleeps
    EXPECT_EQ(InspectQueue(engine.queues, testutil::RecvKey(4).c_str()).Pending(), 1);
    EXPECT_EQ(PassPause(), 0);
    EXPECT_EQ(PassPause(), 30);

    ClearLog();
    // A socket that never connected: every pass finds nothing ready, and the
    // idle sleep is its only pause.
    platform::SocketClose(engine.connection.hSocket.exchange(platform::SocketCreate()));
    const struct {
        uint32_t dwSilentMs;
        int64_t iPauseMs;
    } cases[] = {{0, 30},      {10000, 30},  {10001, 150}, {30000, 150},
                 {30001, 250}, {60000, 250}, {60001, 500}, {600000, 500}};
    for (const auto& c : cases)
        EXPECT_EQ(PauseAfterSilence(c.dwSilentMs), c.iPauseMs) << c.dwSilentMs << " ms of silence";

    // Bytes received, or bytes a send left waiting: the next pass goes on at
    // once, and the silence counts from then.
    for (int32_t SessionState::*pMeasure :
         {&SessionState::iReceivedMeasure, &SessionState::iPendingMeasure}) {
        engine.connection.dwLastActive = platform::TickMs() - 70000;
        State().*pMeasure = 100;
        EXPECT_EQ(PassPause(), 0);
        EXPECT_EQ(PassPause(), 30);
    }
    // Without the verbose switch, idle passes write nothing.
    EXPECT_EQ(LogLines(), std::vector<std::string>{});
}

// An idle pause is one wait on the clock, not a string of short sleeps, and a
// stop ends it at once: an idle library wakes at its own pace, and unloading
// it never waits out a pause.
TEST_F(SessionOutbound, AnIdlePauseIsOneWaitThatAStopEndsAtOnce) {
    UseManualClock();
    ClientEngine& engine = Engine();
    platform::SocketClose(engine.connection.hSocket.exchange(platform::SocketCreate()));
    State().iReceivedMeasure = 0;
    State().iPendingMeasure = 0;
    for (uint32_t dwSilentMs : {0u, 10001u, 30001u, 60001u}) {
        engine.connection.dwLastActive = platform::TickMs() - dwSilentMs;
        int64_t iWaits = Clock().Waits();
        int64_t iSleeps = Clock().Sleeps();
        RunSessionPass(engine, State());
        EXPECT_EQ(Clock().Waits() - iWaits, 1) << dwSilentMs << " ms of silence";
        EXPECT_EQ(Clock().Sleeps() - iSleeps, 0) << dwSilentMs << " ms of silence";
    }

    // A minute of silence: the pause is 500 ms. The stop comes while the
    // pass is inside it, and ends it with no time passed on the clock.
    engine.connection.dwLastActive = platform::TickMs() - 60001;
    Clock().HoldWaits(true);
    std::atomic<bool> bPassDone{false};
    std::thread session([&] {
        RunSessionPass(engine, State());
        bPassDone = true;
    });
    ASSERT_TRUE(testutil::WaitReal([this] { return Clock().HeldWaits() == 1; }, 10000));
    int64_t iAtStop = Clock().ElapsedMs();
    engine.RequestStop();
    bool bEndedByStop = testutil::WaitReal([&] { return bPassDone.load(); }, 10000);
    Clock().HoldWaits(false);
    session.join();
    EXPECT_TRUE(bEndedByStop) << "the pause outlived the stop";
    EXPECT_EQ(Clock().ElapsedMs(), iAtStop);
    // Once stopping, the session pauses no more.
    int64_t iWaits = Clock().Waits();
    SessionSleep(engine, 500);
    EXPECT_EQ(Clock().Waits(), iWaits);
    EXPECT_EQ(Clock().ElapsedMs(), iAtStop);
}

// Maintenance every 600 s of ready passes: the configuration file is read
// again, and a new host or a new port, either alone, hands the connection to
// a new set-up. An address from init leaves the file unread.
TEST_F(SessionOutbound, MaintenanceReconnectsWhenTheFileNamesAnotherHostOrPort) {
    UseManualClock();
    SetKey(kKey);
    g_sessionStatics.tLastSend = platform::NowSeconds32() + 100000;  // no keep-alives
    WriteConfigValue("127.0.0.1 4000");
    auto ReadyPass = [this] {
        Engine().connection.dwLastActive = platform::TickMs();  // a short idle sleep
        RunSessionPass(Engine(), State());
    };
    auto Line = [](const std::string& newAddress, const std::string& oldAddress) {
        return "线程2---配置文件被更新---warn---重新连接sokcet---new:" + newAddress +
               "---old:" + oldAddress;
    };
    State().tMaintenance = platform::NowSeconds32() - 599;
    ReadyPass();
    EXPECT_TRUE(ReConnects().empty());
    State().tMaintenance = platform::NowSeconds32() - 600;
    ReadyPass();
    EXPECT_EQ(ReConnects(), std::vector<int>{0});
    EXPECT_TRUE(LogHas(Line("127.0.0.1,4000", ",0")));

    // The next 600 s start there: a change waits for them.
    WriteConfigValue("localhost 4000");
    ReadyPass();
    EXPECT_EQ(ReConnects().size(), 1u);
    State().framer.Feed(Engine().connection.pReadBuf, 7);  // part of a packet of the old connection
    RunMaintenance(Engine(), State());
    EXPECT_EQ(ReConnects().size(), 2u);
    EXPECT_TRUE(LogHas(Line("localhost,4000", "127.0.0.1,4000")));
    EXPECT_EQ(State().framer.Kept(), 0);
    WriteConfigValue("localhost 4001");
    RunMaintenance(Engine(), State());
    EXPECT_EQ(ReConnects().size(), 3u);
    EXPECT_TRUE(LogHas(Line("localhost,4001", "localhost,4000")));
    RunMaintenance(Engine(), State());  // unchanged
    EXPECT_EQ(ReConnects().size(), 3u);

    std::string host = "10.0.0.9";
    EXPECT_EQ(init(host.data(), 4002), -2);  // no set-up here: the wait runs out
    std::remove(ConfigPath().c_str());
    ClearLog();
    RunMaintenance(Engine(), State());
    EXPECT_EQ(ReConnects().size(), 3u);
    EXPECT_EQ(LogLines(), std::vector<std::string>{});
}

TEST_F(SessionOutbound, MaintenanceExpiresQueuesIdleForEightMinutes) {
    UseManualClock();  // still, so that the stamps sit exactly on the boundary
    ASSERT_EQ(Request(300, "300 1 old"), 1);
    ASSERT_EQ(Request(300, "300 2 younger"), 1);
    int32_t tNow = platform::NowSeconds32();
    ASSERT_TRUE(testutil::SetQueueLastUse(Engine().queues, "send+1", tNow - 480));
    ASSERT_TRUE(testutil::SetQueueLastUse(Engine().queues, "send+2", tNow - 479));
    int iDeletedBefore = g_sessionStatics.iDeletedUnprocessed.load();
    {
        KMutexAdaptor<KThreadMutex> guard(Engine().queues.LockForTesting(), -1);
        ExpireIdleQueues(Engine());
    }
    EXPECT_FALSE(InspectQueue(Engine().queues, "send+1").bExists);
    EXPECT_TRUE(InspectQueue(Engine().queues, "send+2").bExists);
    EXPECT_EQ(g_sessionStatics.iDeletedUnprocessed.load(), iDeletedBefore + 1);
    testutil::TableCount count = testutil::CountTable(Engine().queues);
    EXPECT_EQ(count.iRecorded, count.iWalked);
    EXPECT_EQ(count.iRecorded, 1);
    // The next gathering takes what is left, and nothing of the queue gone.
    SetKey(kKey);
    WriteStep(Engine(), State());
    std::vector<Packet> packets = Packets(PeerReceive());
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(Decode(packets[0].payload), "300 2 younger");
}

}  // namespace

namespace {

int StatisticsLines(const std::vector<std::string>& lines) {
    int n = 0;
    for (const std::string& line : lines)
        n += line.rfind("MainThread---业务主线程---正在运行---", 0) == 0 ? 1 : 0;
    return n;
}

TEST_F(SessionOutbound, StatisticsLineEveryThirtySecondsAndInEveryTenthIdlePass) {
    UseManualClock();
    SetKey(kKey);
    Engine().iLogFlag = 1;
    g_sessionStatics.tStatistics = 0;
    g_sessionStatics.tLastSend = platform::NowSeconds32() + 100000;  // no keep-alives
    // Two requests queued and sent, one answer stored: the line's totals.
    ASSERT_EQ(Request(300, "300 4 first"), 1);
    ASSERT_EQ(Request(300, "300 4 second"), 1);
    std::string answer = Answer(300, "300 4 ok first");
    ASSERT_EQ(platform::SocketSend(Peer(), answer.data(), static_cast<int>(answer.size())),
              static_cast<int>(answer.size()));
    ASSERT_TRUE(testutil::WaitReal(
        [this] {
            bool bReadable = false;
            platform::SocketPoll(Engine().connection.hSocket.load(), &bReadable, nullptr);
            return bReadable;
        },
        2000));
    RunSessionPass(Engine(), State());  // the first ready pass starts the clock
    EXPECT_EQ(StatisticsLines(LogLines()), 0);
    std::string sent = PeerReceive();
    EXPECT_EQ(Packets(sent).size(), 2u);
    // The verbose pass says what the socket was ready for, and what it sent.
    std::vector<std::string> said;
    for (const std::string& line : LogLines()) {
        if (line.rfind("---numfds", 0) == 0 || line.rfind("socket可", 0) == 0 ||
            line.rfind("---iWrite", 0) == 0)
            said.push_back(line);
    }
    EXPECT_EQ(said, (std::vector<std::string>{
                        "---numfds1==2", "socket可读(有数据到)", "socket可写(可发送)",
                        "---iWriteFlag==1---socket可发送数据",
                        "---iWriteStartPos=" + std::to_string(sent.size()) + ",有数据发送"}));
    Clock().AdvanceSeconds(29);
    RunSessionPass(Engine(), State());
    EXPECT_EQ(StatisticsLines(LogLines()), 0);
    Clock().AdvanceSeconds(1);
    RunSessionPass(Engine(), State());
    EXPECT_EQ(StatisticsLines(LogLines()), 1);
    RunSessionPass(Engine(), State());  // the next 30 s start with the line
    EXPECT_EQ(StatisticsLines(LogLines()), 1);

    // Idle passes (nothing ready): a line when the pass counter is a multiple of 10.
    platform::SocketClose(Engine().connection.hSocket.exchange(platform::SocketCreate()));
    State().iPassCount = 20;
    RunSessionPass(Engine(), State());
    State().iPassCount = 21;
    RunSessionPass(Engine(), State());
    EXPECT_EQ(StatisticsLines(LogLines()), 2);
    EXPECT_TRUE(LogHas("---numfds2==0"));
    std::regex shape(
        "MainThread---业务主线程---正在运行---20        : \\d{4}-\\d{2}-\\d{2} "
        "\\d{2}:\\d{2}:\\d{2},"
        "处理请求总数:2,预定发送总数:2,有效接受总数:1,没有处理就被删除总数:\\d+");
    bool bShaped = false;
    for (const std::string& line : LogLines()) bShaped = bShaped || std::regex_match(line, shape);
    EXPECT_TRUE(bShaped);
}

// Bytes gathered for one connection were encoded with its key: after a
// reconnection they are dropped and counted, and the new connection carries
// only what was gathered for it.
TEST_F(SessionOutbound, BytesOfAnEarlierConnectionNeverGoOutOnANewOne) {
    SetKey(kKey);
    ASSERT_EQ(Request(300, "300 4 old-a"), 1);
    ASSERT_EQ(Request(300, "300 5 old-b"), 1);
    ASSERT_EQ(Request(300, "300 6 old-c"), 1);
    platform_testing::InjectSocketFault(Engine().connection.hSocket.load(),
                                        platform_testing::SocketOp::kSend, platform::kWsaWouldBlock,
                                        1);
    WriteStep(Engine(), State());
    ASSERT_GT(State().iWriteStartPos, 0);  // waiting for the next pass
    int iDeletedBefore = g_sessionStatics.iDeletedUnprocessed.load();

    platform::SocketClose(Engine().connection.hSocket.load());
    ConnectPeer();  // a new connection, with a new key
    const char* kNewKey = "N3w-k3y-99";
    SetKey(kNewKey);
    ASSERT_EQ(Request(300, "300 7 new"), 1);
    WriteStep(Engine(), State());
    std::vector<Packet> packets = Packets(PeerReceive());
    ASSERT_EQ(packets.size(), 1u);
    char plain[256];
    int n = Engine().connection.codec.DataDecode(kNewKey, packets[0].payload.data(),
                                                 static_cast<unsigned>(packets[0].payload.size()),
                                                 plain, sizeof(plain), 2);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(plain, static_cast<size_t>(n)), "300 7 new");
    EXPECT_EQ(g_sessionStatics.iDeletedUnprocessed.load() - iDeletedBefore, 3);
    int iBytes = 0;
    for (const char* szText : {"300 4 old-a", "300 5 old-b", "300 6 old-c"}) {
        char encoded[256];
        iBytes += 16 + Engine().connection.codec.DataEncode(kKey, szText, std::strlen(szText),
                                                            encoded, sizeof(encoded), 2);
    }
    EXPECT_TRUE(LogHas("线程2---发送数据---warn---2---连接已重建,丢弃旧连接未发送的3个请求(" +
                       std::to_string(iBytes) + "字节)"));
}

// A server that stops reading blocks the session thread's send, and that
// thread only: the game's calls keep their own limits meanwhile.
TEST_F(SessionOutbound, APeerThatStopsReadingNeverHoldsUpTheGamesCalls) {
    // A peer with a small receive buffer that never reads.
    int iListener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(iListener, 0);
    int iSmall = 4096;
    setsockopt(iListener, SOL_SOCKET, SO_RCVBUF, &iSmall, sizeof(iSmall));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(iListener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    socklen_t iAddrLength = sizeof(addr);
    getsockname(iListener, reinterpret_cast<sockaddr*>(&addr), &iAddrLength);
    ASSERT_EQ(listen(iListener, 1), 0);
    platform::SocketHandle s = platform::SocketCreate();
    uint32_t dwLoopback = 0;
    platform::ParseDottedAddress("127.0.0.1", &dwLoopback);
    ASSERT_EQ(platform::SocketConnect(s, dwLoopback, ntohs(addr.sin_port)), 0);
    int iPeer = accept(iListener, nullptr, nullptr);
    ASSERT_GE(iPeer, 0);
    platform::SocketClose(Engine().connection.hSocket.exchange(s));

    SetKey(kKey);
    Engine().logon.iUserStatus1 = 1;  // logged on: the reader waits out its time
    // The session keeps writing while requests keep coming, until the
    // system's buffers are full and a send blocks.
    std::atomic<bool> bStop{false};
    std::atomic<int64_t> iStepStartMs{0};  // 0: not inside a write step
    auto NowMs = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    auto WriterBlocked = [&] {
        int64_t iStart = iStepStartMs.load();
        return iStart != 0 && NowMs() - iStart > 300;
    };
    std::thread writer([&] {
        while (!bStop.load()) {
            iStepStartMs = NowMs();
            WriteStep(Engine(), State());
            iStepStartMs = 0;
        }
    });
    std::thread filler([&] {
        std::string filler(4000, 'x');
        for (int i = 0; i < 5000 && !bStop.load() && !WriterBlocked(); ++i) {
            Request(300, "300 7 " + filler);
            if (i % 250 == 249) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    bool bBlocked = testutil::WaitReal(WriterBlocked, 10000);

    std::atomic<bool> bGameDone{false};
    std::atomic<int> iWrite{0}, iRead{-100};
    auto gameStart = std::chrono::steady_clock::now();
    std::thread game([&] {
        iWrite = Request(300, "300 8 while-blocked");
        char buffer[256];
        iRead = Read_Message1(300, buffer, sizeof(buffer), 1, 8);  // 1 s of library time
        bGameDone = true;
    });
    bool bGameInTime = testutil::WaitReal([&] { return bGameDone.load(); }, 3000);
    std::printf("game calls while the session's send was blocked: %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - gameStart)
                                           .count()));
    // Let the writer go whatever happened, then look.
    bStop = true;
    shutdown(iPeer, SHUT_RDWR);
    close(iPeer);
    close(iListener);
    game.join();
    filler.join();
    writer.join();
    ASSERT_TRUE(bBlocked) << "no send blocked: nothing to prove";
    EXPECT_TRUE(bGameInTime) << "a game thread waited behind the blocked send";
    EXPECT_EQ(iWrite.load(), 1);
    EXPECT_EQ(iRead.load(), 0);
}

}  // namespace
