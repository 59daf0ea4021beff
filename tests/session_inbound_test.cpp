// The framer and the checks of the read step, fed bytes without a socket.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "base/packet.h"
#include "base/testing.h"
#include "base/text.h"
#include "exchange/queue_table.h"
#include "exchange/testing.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/testing.h"
#include "session/connect.h"
#include "session/inbound.h"
#include "session/session_thread.h"
#include "session/testing.h"
#include "support/testing.h"
#include "util/session_fixture.h"
#include "util/session_state_fixture.h"
#include "vorel/vorel.h"
#include "vorel/vorel_window.h"

namespace {

using testutil::InspectQueue;
using testutil::RecvKey;
using testutil::SendKey;

class SessionInbound : public testutil::SessionStateFixture {
protected:
    void SetUp() override {
        SessionStateFixture::SetUp();
        ASSERT_EQ(Request(300, "300 12 ask"), 1);  // the send queue of 12
    }
    int Stored(int iQueueId) {
        return InspectQueue(Engine().queues, RecvKey(iQueueId).c_str()).iCount;
    }
};

TEST_F(SessionInbound, TwoAnswersInOneReceiveAreBothStoredInOrder) {
    std::string first = Answer(300, "300 12 first a");
    Feed(first + Answer(301, "301 12 second b"));
    EXPECT_TRUE(LogHas("线程1---recv---type=300---,iReadStartPos=0"));
    EXPECT_TRUE(LogHas("线程1---recv---type=301---,iReadStartPos=" + std::to_string(first.size())));
    testutil::QueueView queue = InspectQueue(Engine().queues, RecvKey(12).c_str());
    ASSERT_EQ(queue.iCount, 2);
    EXPECT_EQ(queue.nodes[0].payload, "300 12 first a");
    EXPECT_EQ(queue.nodes[1].iType, 301);
    EXPECT_TRUE(queue.nodes[1].bTerminated);
    EXPECT_EQ(State().iValidReceiveTotal, 2);
    EXPECT_EQ(State().framer.Kept(), 0);
    EXPECT_TRUE(ReConnects().empty());
}

TEST_F(SessionInbound, APacketOverTwoReceivesWaitsAtTheStartOfTheBuffer) {
    std::string packet = Answer(300, "300 12 split over two");
    Feed(packet.substr(0, 10));
    EXPECT_EQ(State().framer.Kept(), 10);
    EXPECT_EQ(Stored(12), 0);
    Feed(packet.substr(10));
    EXPECT_EQ(State().framer.Kept(), 0);
    EXPECT_EQ(Stored(12), 1);
}

TEST_F(SessionInbound, ThreeBytesOfTheNextPacketStayUnparsed) {
    std::string next = Answer(300, "300 12 next one");
    Feed(Answer(300, "300 12 whole one") + next.substr(0, 3));
    EXPECT_EQ(Stored(12), 1);
    EXPECT_EQ(State().framer.Kept(), 3);
    EXPECT_EQ(std::string(Engine().connection.pReadBuf, 3), next.substr(0, 3));
    Feed(next.substr(3));
    EXPECT_EQ(Stored(12), 2);
}

TEST_F(SessionInbound, AnIncompletePacketAnnouncingTooMuchDropsTheConnection) {
    std::string header = Answer(300, "300 12 x").substr(0, 16);
    header[0] = '\x01';  // 65,537
    header[1] = '\x00';
    header[2] = '\x01';
    Feed(header);
    EXPECT_EQ(ReConnects(), std::vector<int>{0});
    EXPECT_EQ(State().framer.Kept(), 0);
    EXPECT_EQ(State().iConnectionGood, 0);
    EXPECT_TRUE(LogHas("线程2---READ---error---13---:(16,0),65537"));
}

TEST_F(SessionInbound, BoundsOfLengthAndType) {
    Feed(Answer(200, ""));  // a header alone of type 200
    EXPECT_TRUE(LogHas("线程2---READ---error---6---消息包太大或太小:16,200"));
    EXPECT_EQ(ReConnects().size(), 1u);

    State().iConnectionGood = 1;
    Feed(Answer(601, "601 12 a b"));
    EXPECT_TRUE(LogHas("线程2---READ---error---6---消息包太大或太小:26,601"));

    State().iConnectionGood = 1;
    std::string negative = Answer(300, "300 12 a b");
    negative[8] = '\x00';  // type bytes 0x8000: a signed 16-bit type
    negative[9] = '\x80';
    Feed(negative);
    EXPECT_TRUE(LogHas("线程2---READ---error---6---消息包太大或太小:26,-32768"));

    State().iConnectionGood = 1;
    Feed(Answer(300, "x"));  // 17 bytes: within the bounds, but too few fields
    EXPECT_TRUE(LogHas("线程2---READ---error---8---:17,300,1,x"));
    EXPECT_FALSE(LogHas("线程2---READ---error---6---消息包太大或太小:17,300"));
    EXPECT_EQ(ReConnects().size(), 4u);

    State().iConnectionGood = 1;
    Feed(Answer(200, "200 12 lowest type") + Answer(600, "600 12 highest type"));
    EXPECT_EQ(Stored(12), 2);
    std::string longest = "300 12 long ";
    longest += std::string(65520 - longest.size(), 'L');
    std::string packet = Answer(300, longest);  // 65,536 bytes: accepted
    Feed(packet.substr(0, 16));                 // announced before it is all here
    EXPECT_EQ(State().framer.Kept(), 16);
    Feed(packet.substr(16));
    EXPECT_EQ(ReConnects().size(), 4u);
    testutil::QueueView queue = InspectQueue(Engine().queues, RecvKey(12).c_str());
    ASSERT_EQ(queue.iCount, 3);
    EXPECT_EQ(queue.nodes[2].dwLength, 65536u);
    EXPECT_EQ(queue.nodes[2].payload, longest);  // stored whole past the text areas
}

TEST_F(SessionInbound, PacketsTooShortForATypeAreErrorSixNeverADisconnect) {
    // Eight bytes whose type bytes would read 96 if taken from beyond the packet.
    std::string shortPacket("\x08\x00\x00\x00\x00\x00\x00\x00", 8);
    Feed(shortPacket + std::string("\x60\x00", 2));
    EXPECT_TRUE(LogHas("线程2---READ---error---6---消息包太大或太小:8,0"));
    EXPECT_EQ(ReConnects(), std::vector<int>{0});
    State().iConnectionGood = 1;
    Feed(std::string("\x00\x00\x00\x00", 4));  // a zero length
    EXPECT_TRUE(LogHas("线程2---READ---error---6---消息包太大或太小:0,0"));
    // Ten bytes hold the type field: it is read, and the packet is still
    // too short.
    State().iConnectionGood = 1;
    Feed(std::string("\x0A\x00\x00\x00\x00\x00\x00\x00\x2C\x01", 10));
    EXPECT_TRUE(LogHas("线程2---READ---error---6---消息包太大或太小:10,300"));
}

TEST_F(SessionInbound, AnswerWithoutARequestQueueIsErrorNineAndNotStored) {
    Feed(Answer(300, "300 77 nobody asked"));
    EXPECT_TRUE(LogHas("线程2---READ---error---9---:35,300,77,300 77 nobody asked"));
    EXPECT_FALSE(InspectQueue(Engine().queues, RecvKey(77).c_str()).bExists);
    EXPECT_EQ(ReConnects(), std::vector<int>{0});
}

TEST_F(SessionInbound, ThreeFieldsAreErrorEight) {
    Feed(Answer(300, "300 12 three"));
    EXPECT_TRUE(LogHas("线程2---READ---error---8---:28,300,3,300 12 three"));
    EXPECT_EQ(Stored(12), 0);
    // Only the bytes a text area holds (32,767) are looked at and shown:
    // the fields behind them do not count, and a character cut there shows
    // as its lead byte.
    State().iConnectionGood = 1;
    std::string head = "300 " + std::string(32762, 'y') + "\x81";
    Feed(Answer(300, head + "\x40 12 x z"));
    EXPECT_TRUE(LogHas("线程2---READ---error---8---:32791,300,2," + head));
    EXPECT_EQ(Stored(12), 0);
}

// The error lines copy the server's text with its control bytes escaped: a
// forged line break and time stamp make no line of their own, and a
// terminal escape reaches no terminal. Printable text and GBK characters
// pass as they are, also a backslash as a trail byte; a lead byte before a
// control byte is no character, so the control byte is still escaped. An
// escaped text that outgrows its area is cut before an escape that does
// not fit whole.
TEST_F(SessionInbound, ServerTextInTheErrorLinesIsEscaped) {
    const std::string forged = "\r\n[2026-01-01 00:00:00] fake line\x1B[2J\x7F";
    const std::string shown = "\\x0D\\x0A[2026-01-01 00:00:00] fake line\\x1B[2J\\x7F";
    std::string unknown = Answer(300, "300 77 \xD5\x5C\\ \xB1\x0A " + forged);
    ClearLog();
    Feed(unknown);
    State().iConnectionGood = 1;
    std::string few = Answer(300, "300\t12\r\n[2026-01-01 00:00:00] fake");
    Feed(few);
    State().iConnectionGood = 1;
    std::string key = Answer(107, "not-a-key\r\n\x1B[2J second");
    Feed(key);
    State().iConnectionGood = 1;
    std::string lines(9000, '\n');
    std::string many = Answer(300, "300 12 x" + lines);
    Feed(many);
    std::string cut = "300 12 x";  // three bytes short of the area when cut
    while (cut.size() + 4 <= SessionState::kTextAreaSize - 1) cut += "\\x0A";
    std::vector<std::string> expected = {
        "线程1---recv---type=300---,iReadStartPos=0",
        "线程2---READ---error---9---:" + std::to_string(unknown.size()) +
            ",300,77,300 77 \xD5\x5C\\ \xB1\\x0A " + shown,
        "线程1---recv---type=300---,iReadStartPos=0",
        "线程2---READ---error---8---:" + std::to_string(few.size()) +
            ",300,3,300\\x0912\\x0D\\x0A[2026-01-01 00:00:00] fake",
        "线程1---recv---type=107---,iReadStartPos=0",
        "线程2---READ---error---10---:" + std::to_string(key.size()) +
            ",107,2,not-a-key\\x0D\\x0A\\x1B[2J",
        "线程1---recv---type=300---,iReadStartPos=0",
        "线程2---READ---error---8---:" + std::to_string(many.size()) + ",300,3," + cut};
    std::vector<std::string> logged;
    for (const std::string& line : LogLines())
        if (line.rfind("---ReConnect", 0) != 0) logged.push_back(line);
    EXPECT_EQ(logged, expected);
}

// At the cut a two-byte character is kept whole or dropped whole: the ends
// of the GBK lead range (0x81-0xFE) and of the trail range (0x40-0xFE but
// 0x7F); any other byte is a character of its own.
TEST_F(SessionInbound, AnEscapedTextIsNeverCutInsideACharacter) {
    const struct {
        const char* szText;
        const char* szKept;
    } cases[] = {
        {"ab\x81\x40", "ab"},     {"ab\xFE\xFE", "ab"},     {"ab\x80\x40", "ab\x80"},
        {"ab\xFF\x40", "ab\xFF"}, {"ab\x81\x3F", "ab\x81"}, {"ab\x81\xFF", "ab\x81"},
        {"ab\x81\x7F", "ab\x81"}, {"ab\x81\x80", "ab"},
    };
    for (const auto& c : cases) {
        char szOut[4];  // room for three bytes
        CopyEscapingControls(szOut, sizeof(szOut), c.szText);
        EXPECT_EQ(std::string(szOut), c.szKept) << testing::PrintToString(std::string(c.szText));
    }
    // A text that ends after its length reads nothing behind it: a lead
    // byte at its end stays a byte of its own, and a number stops there.
    char szOut[16];
    EXPECT_EQ(CopyEscapingControls(szOut, sizeof(szOut), "a\x81\x40\x01", 2), 2u);
    EXPECT_EQ(std::string(szOut), "a\x81");
    EXPECT_EQ(CopyEscapingControls(szOut, sizeof(szOut), "a\0\x01", 3), 1u);
    // An escape that fits exactly is written; an area of one byte holds the
    // terminator alone, one of none is not touched.
    EXPECT_EQ(CopyEscapingControls(szOut, 5, "\x01"), 4u);
    EXPECT_EQ(std::string(szOut), "\\x01");
    EXPECT_EQ(CopyEscapingControls(szOut, 1, "abc"), 0u);
    EXPECT_EQ(szOut[0], '\0');
    szOut[0] = '#';
    EXPECT_EQ(CopyEscapingControls(szOut, 0, "abc"), 0u);
    EXPECT_EQ(szOut[0], '#');
    EXPECT_EQ(ParseDecimal("12345", 3), 123);
    EXPECT_EQ(ParseDecimal(" -42", 3), -4);
    EXPECT_EQ(ParseDecimal("7\0"
                           "9",
                           3),
              7);
}

TEST_F(SessionInbound, KeyAnswersInstallTheKeyOrDropTheConnection) {
    char szEncoded[128];
    const char* szKey = "Key-of-the-test";
    int iEncoded = Engine().connection.codec.DataEncode(
        nullptr, szKey, static_cast<unsigned>(std::strlen(szKey)), szEncoded, sizeof(szEncoded), 0);
    ASSERT_GT(iEncoded, 0);
    Feed(Answer(107, std::string(szEncoded, static_cast<size_t>(iEncoded))));  // a single field
    char szInstalled[40];
    Engine().connection.GetSessionKey(szInstalled);
    EXPECT_STREQ(szInstalled, szKey);
    EXPECT_TRUE(ReConnects().empty());

    Feed(Answer(107, "not-a-key more fields"));
    EXPECT_TRUE(LogHas("线程2---READ---error---10---:37,107,3,not-a-key"));
    EXPECT_EQ(ReConnects(), std::vector<int>{0});
}

TEST_F(SessionInbound, LogonAnswerWithStatusZeroLogsOnAndIsStored) {
    ASSERT_EQ(Request(201, "201 5 player secret"), 1);
    Feed(Answer(202, "202 5 player 3 refused"));
    EXPECT_EQ(Engine().logon.iUserStatus1.load(), 0);
    Feed(Answer(203, "203 5 player 0 not-a-logon-answer"));
    EXPECT_EQ(Engine().logon.iUserStatus1.load(), 0);
    Feed(Answer(202, "202 5 player 0 welcome"));
    EXPECT_EQ(Engine().logon.iUserStatus1.load(), 1);
    EXPECT_TRUE(LogHas("---LOGON_RESULT---iUserStatus1=1"));
    EXPECT_EQ(Stored(5), 3);
}

// An answer keeps its request queue alive: the send queue of N is stamped
// as an answer for N arrives, so the sweep leaves it and later answers for
// N are still taken.
TEST_F(SessionInbound, AnAnswerStampsItsRequestQueue) {
    UseManualClock();
    int32_t tNow = platform::NowSeconds32();
    ASSERT_TRUE(testutil::SetQueueLastUse(Engine().queues, SendKey(12).c_str(), tNow - 470));
    Feed(Answer(300, "300 12 keeps it alive"));
    EXPECT_EQ(InspectQueue(Engine().queues, SendKey(12).c_str()).tLastUse, tNow);
    Clock().AdvanceSeconds(20);
    {
        KMutexAdaptor<KThreadMutex> guard(Engine().queues.LockForTesting(), -1);
        ExpireIdleQueues(Engine());
    }
    Feed(Answer(300, "300 12 still taken"));
    EXPECT_TRUE(ReConnects().empty());
    EXPECT_EQ(Stored(12), 2);
}

// The read step on a socket. A receive that would block is waited out five
// times in a row, 200 ms each, and data starts the count again; the sixth
// in a row gives the connection up.
TEST_F(SessionInbound, WouldBlockReceivesAreWaitedOutFiveTimesInARow) {
    UseManualClock();
    ConnectPeer();
    platform::SocketHandle s = Engine().connection.hSocket.load();
    auto BusyReads = [&](int iCount) {
        platform_testing::InjectSocketFault(s, platform_testing::SocketOp::kRecv,
                                            platform::kWsaWouldBlock, iCount);
        for (int i = 0; i < iCount; ++i) {
            int64_t iStart = Clock().ElapsedMs();
            ReadStep(Engine(), State());
            EXPECT_EQ(Clock().ElapsedMs() - iStart, 200) << i;
        }
    };
    BusyReads(4);
    std::string answer = Answer(300, "300 12 between busy reads");
    ASSERT_EQ(platform::SocketSend(Peer(), answer.data(), static_cast<int>(answer.size())),
              static_cast<int>(answer.size()));
    ASSERT_TRUE(testutil::WaitReal(
        [s] {
            bool bReadable = false;
            platform::SocketPoll(s, &bReadable, nullptr);
            return bReadable;
        },
        2000));
    ReadStep(Engine(), State());
    EXPECT_EQ(Stored(12), 1);
    BusyReads(5);
    EXPECT_TRUE(ReConnects().empty());
    EXPECT_EQ(State().iConnectionGood, 1);

    platform_testing::InjectSocketFault(s, platform_testing::SocketOp::kRecv,
                                        platform::kWsaWouldBlock, 1);
    int64_t iStart = Clock().ElapsedMs();
    ReadStep(Engine(), State());
    EXPECT_EQ(Clock().ElapsedMs() - iStart, 0);
    EXPECT_EQ(ReConnects(), std::vector<int>{0});
    EXPECT_EQ(State().iConnectionGood, 0);
    EXPECT_TRUE(LogHas("线程2---READ---warn---1---socket繁忙,2097152"));
}

// The server closes the connection while part of a packet waits: the line
// gives the room that was left, and the part is dropped.
TEST_F(SessionInbound, AConnectionTheServerClosedIsLoggedWithTheRoomLeft) {
    ConnectPeer();
    Feed(Answer(300, "300 12 cut short").substr(0, 10));
    platform::SocketShutdownSend(Peer());
    platform::SocketHandle s = Engine().connection.hSocket.load();
    ASSERT_TRUE(testutil::WaitReal(
        [s] {
            bool bReadable = false;
            platform::SocketPoll(s, &bReadable, nullptr);
            return bReadable;
        },
        2000));
    ReadStep(Engine(), State());
    EXPECT_EQ(ReConnects(), std::vector<int>{0});
    EXPECT_EQ(State().framer.Kept(), 0);
    bool bLine = false;
    for (const std::string& line : LogLines())
        bLine = bLine || line.rfind("线程2---READ---warn---2---socket已断,2097142,", 0) == 0;
    EXPECT_TRUE(bLine);
}

// A full read buffer is parsed without receiving, even with data waiting;
// a receive that fills the buffer is parsed at once and followed by
// another in the same pass.
TEST_F(SessionInbound, AFullReadBufferIsParsedAndReceivedIntoAgainInOnePass) {
    ConnectPeer();
    auto AnswerOf = [](size_t iLength) {
        std::string text = "300 12 fill ";
        return Answer(300, text + std::string(iLength - 16 - text.size(), 'f'));
    };
    auto Send = [this](const std::string& bytes) {
        ASSERT_EQ(platform::SocketSend(Peer(), bytes.data(), static_cast<int>(bytes.size())),
                  static_cast<int>(bytes.size()));
        platform::SleepRealMs(50);
    };
    const std::string big = AnswerOf(65536);
    auto FillBuffer = [&](size_t iBytes) {
        size_t p = 0;
        while (iBytes - p > big.size()) {
            std::memcpy(Engine().connection.pReadBuf + p, big.data(), big.size());
            p += big.size();
        }
        std::string last = AnswerOf(iBytes - p);
        std::memcpy(Engine().connection.pReadBuf + p, last.data(), last.size());
        State().framer.Feed(Engine().connection.pReadBuf, static_cast<int>(iBytes));
    };
    FillBuffer(kReadBufferSize);  // 32 answers
    Send(AnswerOf(100));          // waits in the socket meanwhile
    ReadStep(Engine(), State());
    EXPECT_TRUE(ReConnects().empty());
    EXPECT_EQ(Stored(12), 32);
    EXPECT_EQ(State().framer.Kept(), 0);

    // 100 bytes of room: the first receive fills it with the waiting
    // answer, the second brings the one behind.
    FillBuffer(kReadBufferSize - 100);
    Send(Answer(300, "300 12 behind the full buffer"));
    ReadStep(Engine(), State());
    EXPECT_TRUE(ReConnects().empty());
    EXPECT_EQ(Stored(12), 32 + 32 + 1 + 1);
}

std::atomic<int> g_iNotices{0};
std::atomic<uintptr_t> g_dwLastData{0};

intptr_t RecordNotice(HWND, unsigned int uMsg, uintptr_t, intptr_t lParam) {
    if (uMsg == WM_COPYDATA) {
        g_dwLastData = reinterpret_cast<const COPYDATASTRUCT*>(lParam)->dwData;
        ++g_iNotices;
    }
    return 0;
}

TEST_F(SessionInbound, DisconnectNoticeReachesALoggedOnGameAndDropsTheRest) {
    HWND hWnd = VorelCreateWindow(RecordNotice, nullptr);
    Engine().logon.hGameWnd = hWnd;
    g_iNotices = 0;
    Engine().logon.iUserStatus1 = 2;  // lost already: no notice
    Engine().logon.iLoginFlag = 1;
    Feed(Answer(96, ""));
    EXPECT_EQ(g_iNotices.load(), 0);
    EXPECT_EQ(ReConnects(), std::vector<int>{1});

    Engine().logon.iUserStatus1 = 1;
    State().iConnectionGood = 1;
    std::string notice = Answer(96, "");
    Feed(notice + Answer(300, "300 12 after the notice"));
    EXPECT_EQ(g_iNotices.load(), 1);
    EXPECT_EQ(g_dwLastData.load(), 96u);
    EXPECT_EQ(Stored(12), 0);  // dropped with the notice
    EXPECT_EQ(State().framer.Kept(), 0);

    Engine().logon.iLoginFlag = 0;  // logged off: no notice
    State().iConnectionGood = 1;
    Feed(notice);
    EXPECT_EQ(g_iNotices.load(), 1);
    VorelDestroyWindow(hWnd);
}

TEST_F(SessionInbound, StorageFailureKeepsTheDataForALaterPass) {
    ASSERT_EQ(Stored(12), 0);
    std::string packet = Answer(300, "300 12 kept for later");
    std::string behind = Answer(300, "300 12 behind it");
    vorel_testing::FailAllocations(0, 1);  // the receive queue cannot be made
    Feed(packet + behind);
    vorel_testing::FailAllocations(0, 0);
    EXPECT_TRUE(LogHas("线程2---READ---error---10---calloc-fail"));
    EXPECT_TRUE(ReConnects().empty());
    EXPECT_EQ(State().framer.Kept(), static_cast<int>(packet.size() + behind.size()));
    Feed("");  // the next pass parses what was kept
    EXPECT_EQ(Stored(12), 2);

    vorel_testing::FailAllocations(1, 1);  // the node succeeds, its packet fails
    Feed(packet);
    vorel_testing::FailAllocations(0, 0);
    EXPECT_TRUE(LogHas("---error12---calloc failed:37"));
    Feed("");
    EXPECT_EQ(Stored(12), 3);

    ASSERT_EQ(Write_Message1(300, "300 13 asked", 0), 1);
    quorvex_testing::FailHashAdds(1);  // the table cannot take a new receive queue
    Feed(Answer(300, "300 13 answer kept"));
    quorvex_testing::FailHashAdds(0);
    EXPECT_TRUE(LogHas("---error1---hash_add failed (MESSAGE_QUEUE_TABLE)"));
    EXPECT_EQ(Stored(13), 0);
    Feed("");
    EXPECT_EQ(Stored(13), 1);
}

// An answer is stored under the table's lock; the lines of what went wrong, and the
// ReConnect of an answer without a request queue, come once it is left.
TEST_F(SessionInbound, TheLinesOfAStoredAnswerAreWrittenOnceTheTableLockIsLeft) {
    {
        testutil::TableLockWhileLogging watch(Clock(), Engine().queues);
        vorel_testing::FailAllocations(0, 1);  // the receive queue cannot be made
        Feed(Answer(300, "300 12 kept for later"));
        vorel_testing::FailAllocations(0, 0);
        Feed(Answer(300, "300 404 no request"));
        EXPECT_GE(watch.Entries(), 4);
        EXPECT_EQ(watch.Blocked(), 0) << "lines written under the table's lock";
    }
    EXPECT_TRUE(LogHas("线程2---READ---error---10---calloc-fail"));
    EXPECT_TRUE(LogHas("线程2---READ---error---9---:34,300,404,300 404 no request"));
    EXPECT_EQ(ReConnects(), std::vector<int>{0});
}

// What a stand-in for ReConnect and the game's window find: the log as it is
// when they are called, and a line of their own, as the real ones write.
std::vector<std::string> g_logAtCall;
std::string (*g_pfnReadLog)() = nullptr;

int ReConnectWritingALine(ClientEngine& engine, int iConnect) {
    g_logAtCall.push_back(g_pfnReadLog());
    if (iConnect == 1) SendDisconnectNotice(engine);  // as ReConnect does, before its line
    WriteFileNew(LogFile(), "---ReConnect---iConnect=%d, (stand-in)", iConnect);
    return 0;
}

intptr_t NoticeWritingALine(HWND, unsigned int uMsg, uintptr_t, intptr_t lParam) {
    if (uMsg == WM_COPYDATA) {
        g_logAtCall.push_back(g_pfnReadLog());
        WriteFileNew(LogFile(), "window: notice %d",
                     static_cast<int>(reinterpret_cast<const COPYDATASTRUCT*>(lParam)->dwData));
    }
    return 0;
}

class SessionInboundLines : public SessionInbound {
protected:
    void SetUp() override {
        SessionInbound::SetUp();
        g_logAtCall.clear();
        g_pLines = this;
        g_pfnReadLog = [] {
            std::string joined;
            for (const std::string& line : g_pLines->LogLines()) joined += line + "|";
            return joined;
        };
        vorel_testing::SetReConnectStandIn(ReConnectWritingALine);
    }
    void TearDown() override {
        g_pfnReadLog = nullptr;
        SessionInbound::TearDown();
    }
    static SessionInboundLines* g_pLines;
};
SessionInboundLines* SessionInboundLines::g_pLines = nullptr;

// The lines of one receive, written together, come in the order in which
// the packets were parsed, and before what ReConnect and the game's window
// write: exactly the lines that one write for each gave.
TEST_F(SessionInboundLines, TheLinesOfAReceiveKeepTheirOrderAroundReConnectAndTheNotice) {
    ASSERT_EQ(Request(201, "201 5 player secret"), 1);
    std::string first = Answer(300, "300 12 first a");
    std::string logon = Answer(202, "202 5 player 0 welcome");
    std::string stray = Answer(300, "300 404 no request");
    ClearLog();
    Feed(first + logon + stray);
    const int p2 = static_cast<int>(first.size()), p3 = p2 + static_cast<int>(logon.size());
    std::vector<std::string> expected = {
        "线程1---recv---type=300---,iReadStartPos=0",
        "线程1---recv---type=202---,iReadStartPos=" + std::to_string(p2),
        "---LOGON_RESULT---iUserStatus1=1",
        "线程1---recv---type=300---,iReadStartPos=" + std::to_string(p3),
        "---ReConnect---iConnect=0, (stand-in)",
        "线程2---READ---error---9---:34,300,404,300 404 no request"};
    EXPECT_EQ(LogLines(), expected);
    ASSERT_EQ(g_logAtCall.size(), 1u);
    EXPECT_EQ(std::count(g_logAtCall[0].begin(), g_logAtCall[0].end(), '|'), 4)
        << "the lines before ReConnect were in the log when it was called";

    // The disconnect notice: its line is in the log before the window hears
    // of it, and the window's lines come before ReConnect's.
    HWND hWnd = VorelCreateWindow(NoticeWritingALine, nullptr);
    Engine().logon.hGameWnd = hWnd;
    Engine().logon.iLoginFlag = 1;
    State().iConnectionGood = 1;
    g_logAtCall.clear();
    ClearLog();
    Feed(first + Answer(96, ""));
    expected = {"线程1---recv---type=300---,iReadStartPos=0",
                "线程1---recv---type=96---,iReadStartPos=" + std::to_string(p2),
                "window: notice 96", "---ReConnect---iConnect=1, (stand-in)"};
    EXPECT_EQ(LogLines(), expected);
    ASSERT_EQ(g_logAtCall.size(), 2u);
    EXPECT_EQ(g_logAtCall[0], expected[0] + "|" + expected[1] + "|");
    VorelDestroyWindow(hWnd);
    EXPECT_EQ(Stored(12), 2);
}

// A receive of many answers writes its lines in pieces as it parses (every
// 32 KiB of lines), not all at its end: what the lines take stays small, however
// much arrives at once. Every line comes, once and in order.
TEST_F(SessionInbound, ALongReceiveWritesItsLinesInPiecesAsItGoes) {
    constexpr int kAnswers = 4000;
    std::string bytes;
    std::vector<std::string> expected;
    for (int i = 0; i < kAnswers; ++i) {
        expected.push_back("线程1---recv---type=300---,iReadStartPos=" +
                           std::to_string(bytes.size()));
        bytes += Answer(300, "300 12 answer " + std::to_string(i));
    }
    static int s_iStoredAtFirstEntry;
    static int s_iReadAtFirstEntry;
    static SessionState* s_pState;
    s_iStoredAtFirstEntry = -1;
    s_pState = &State();
    Engine().logon.iUserStatus1 = 1;  // logged on: a reader could take the answers
    ClearLog();
    // As the first lines are being written, none of the answers they name
    // can be read yet.
    Clock().SetLocalTimeObserver([] {
        if (s_iStoredAtFirstEntry >= 0) return;
        s_iStoredAtFirstEntry = s_pState->iValidReceiveTotal;
        char szBuffer[512];
        s_iReadAtFirstEntry = Read_Message1(300, szBuffer, sizeof(szBuffer), 0, 12);
    });
    Feed(bytes);
    Clock().SetLocalTimeObserver(nullptr);
    EXPECT_EQ(Stored(12), kAnswers);
    EXPECT_GT(s_iStoredAtFirstEntry, 0);
    EXPECT_LT(s_iStoredAtFirstEntry, kAnswers / 2) << "the first lines waited for the end";
    EXPECT_EQ(s_iReadAtFirstEntry, 0) << "an answer was read before its line was written";
    EXPECT_EQ(LogLines(), expected);
}

TEST_F(SessionInbound, AnswersBeyondTheTextAreasAreCountedFromTheirStart) {
    std::string text = "300 12 big " + std::string(40000, 'B') + " tail";
    Feed(Answer(300, text));
    testutil::QueueView queue = InspectQueue(Engine().queues, RecvKey(12).c_str());
    ASSERT_EQ(queue.iCount, 1);
    EXPECT_EQ(queue.nodes[0].payload, text);
    // More fields than the split keeps apart: stored whole all the same.
    std::string fields = "300 12 many";
    for (int i = 0; i < 150; ++i) fields += " " + std::to_string(i);
    Feed(Answer(300, fields));
    queue = InspectQueue(Engine().queues, RecvKey(12).c_str());
    ASSERT_EQ(queue.iCount, 2);
    EXPECT_EQ(queue.nodes[1].payload, fields);
}

// A server that sends faster than the game reads: what the library holds
// for the game stops growing at its bound (the rest waits in the system's
// buffers, nothing is dropped), one line says so, and reading resumes once
// the game has read.
TEST_F(SessionInbound, UnreadAnswersAreBoundedAndReadingResumesOnceTheGameReads) {
    ConnectPeer();
    Engine().logon.iUserStatus1 = 1;  // logged on: the reader takes answers
    std::string answers[9];
    for (int i = 0; i < 9; ++i) answers[i] = Answer(300, "300 12 answer " + std::to_string(i));
    int64_t iHeldBefore = HeldAnswerBytes();
    // Reached by the third answer of a receive: the rest waits.
    const uint32_t dwCost = HeldAnswerCost(static_cast<uint32_t>(answers[0].size()));
    vorel_testing::SetHeldAnswerLimit(static_cast<size_t>(iHeldBefore) + 5 * dwCost / 2);
    auto Send = [this](const std::string& bytes) {
        ASSERT_EQ(platform::SocketSend(Peer(), bytes.data(), static_cast<int>(bytes.size())),
                  static_cast<int>(bytes.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };
    // The read step as the session runs it: only when the poll says so.
    auto ReadStepWhenReadable = [this] {
        bool bReadable = false;
        if (platform::SocketPoll(Engine().connection.hSocket.load(), &bReadable, nullptr) > 0 &&
            bReadable)
            ReadStep(Engine(), State());
    };
    Send(answers[0] + answers[1] + answers[2] + answers[3]);
    ReadStepWhenReadable();
    EXPECT_EQ(Stored(12), 3);
    Send(answers[4] + answers[5]);
    ReadStepWhenReadable();
    ReadStepWhenReadable();
    EXPECT_EQ(Stored(12), 3) << "read past the bound";
    int iLines = 0;
    for (const std::string& line : LogLines())
        iLines += line.rfind("线程2---READ---warn---3---游戏未读取的应答已达", 0) == 0 ? 1 : 0;
    EXPECT_EQ(iLines, 1);
    // The game reads two: the rest comes in, whole and in order, as far as
    // the bound lets it; what waits in the read buffer is stored by the
    // session's passes once the game reads on.
    char buffer[256];
    EXPECT_EQ(Read_Message1(300, buffer, sizeof(buffer), 1, 12), 4);
    EXPECT_STREQ(buffer, "300 12 answer 0");
    EXPECT_EQ(Read_Message1(300, buffer, sizeof(buffer), 1, 12), 4);
    ReadStepWhenReadable();
    EXPECT_EQ(InspectQueue(Engine().queues, RecvKey(12).c_str()).Pending(), 3);
    for (int i = 2; i < 6; ++i) {
        RetryKeptAnswers(Engine(), State());
        EXPECT_EQ(Read_Message1(300, buffer, sizeof(buffer), 1, 12), 4);
        EXPECT_EQ(std::string(buffer), "300 12 answer " + std::to_string(i));
    }
    EXPECT_TRUE(ReConnects().empty());
    EXPECT_EQ(HeldAnswerBytes(), iHeldBefore) << "every answer read is no longer held";
    vorel_testing::SetHeldAnswerLimit(0);
}

// An answer kept because storing it failed is stored at the next pass, with
// no more bytes from the server, and before a connection that the server
// has closed is given up.
TEST_F(SessionInbound, AnAnswerKeptAfterAStorageFailureIsStoredWithoutMoreData) {
    ConnectPeer();
    std::string packet = Answer(202, "202 12 player 0 welcome");
    ASSERT_EQ(platform::SocketSend(Peer(), packet.data(), static_cast<int>(packet.size())),
              static_cast<int>(packet.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    vorel_testing::FailAllocations(0, 1);  // the receive queue cannot be made
    ReadStep(Engine(), State());
    vorel_testing::FailAllocations(0, 0);
    ASSERT_EQ(Stored(12), 0);
    // A pass with nothing to read stores it.
    RunSessionPass(Engine(), State());
    EXPECT_EQ(Stored(12), 1);
    EXPECT_EQ(State().framer.Kept(), 0);

    // Kept again, and then the server closes: stored before the loss.
    ASSERT_EQ(platform::SocketSend(Peer(), packet.data(), static_cast<int>(packet.size())),
              static_cast<int>(packet.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    vorel_testing::FailAllocations(0, 1);  // the node this time
    ReadStep(Engine(), State());
    vorel_testing::FailAllocations(0, 0);
    ASSERT_EQ(Stored(12), 1);
    platform::SocketShutdownSend(Peer());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ReadStep(Engine(), State());
    EXPECT_EQ(Stored(12), 2);
    EXPECT_EQ(ReConnects(), std::vector<int>{0});
    std::string lost =
        "线程2---READ---warn---2---socket已断," + std::to_string(2097152 - packet.size()) + ",";
    int iLost = 0;
    for (const std::string& line : LogLines()) iLost += line.rfind(lost, 0) == 0 ? 1 : 0;
    EXPECT_EQ(iLost, 1);
}

}  // namespace
