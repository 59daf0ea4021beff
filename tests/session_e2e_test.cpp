// The road of a request end to end: the game's calls, the session thread,
// the reference server on 127.0.0.1, and back.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "base/packet.h"
#include "base/testing.h"
#include "platform/socket.h"
#include "platform/testing.h"
#include "platform/thread.h"
#include "session/session_thread.h"
#include "session/testing.h"
#include "util/session_fixture.h"
#include "vorel/vorel.h"

namespace {

using testutil::SessionFixture;

TEST_F(SessionFixture, KeyRequestIsTheFirstPacketExactly) {
    ConnectedEngine();
    std::vector<refserver::ReceivedPacket> received = Server().Received();
    ASSERT_FALSE(received.empty());
    const std::string expected("\x10\x00\x00\x00\x00\x00\x00\x00\x6B\x00\x00\x00\x7E\x00\x00\x00",
                               16);
    EXPECT_EQ(received[0].raw, expected);
}

TEST_F(SessionFixture, LogOnThenRequestsComeBackUnderTheirIdentifiers) {
    ConnectedEngine();
    ASSERT_TRUE(LogOn(1));
    EXPECT_EQ(Engine().logon.iUserStatus1.load(), 1);
    int iCode = 0;
    std::string answer = Ask(300, "300 7 hello world", 7, &iCode);
    EXPECT_EQ(iCode, 6);
    EXPECT_EQ(answer.substr(0, 9), "300 7 ok ");
    // What went over the wire was encoded and decodes to the game's text.
    bool bSeen = false;
    for (const auto& packet : Server().Received()) {
        if (packet.iType != 300) continue;
        bSeen = true;
        EXPECT_TRUE(packet.bEncoded);
        EXPECT_TRUE(packet.bDecoded);
        EXPECT_EQ(packet.text, "300 7 hello world");
        EXPECT_EQ(packet.dwLength, packet.raw.size());
        EXPECT_EQ(packet.raw[12], '\x7E');
    }
    EXPECT_TRUE(bSeen);
}

}  // namespace

namespace {

using testutil::SessionFixture;
using testutil::WaitReal;

TEST_F(SessionFixture, ManyIdentifiersFromSeveralGameThreads) {
    ConnectedEngine();
    ASSERT_TRUE(LogOn(1));
    std::atomic<int> iGood{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t, &iGood] {
            for (int i = 0; i < 10; ++i) {
                int iQueueId = 100 + t * 10 + i;
                std::string text = "300 " + std::to_string(iQueueId) + " word" + std::to_string(i);
                int iCode = 0;
                std::string answer = Ask(300, text, iQueueId, &iCode);
                if (iCode == 5 &&
                    answer.rfind("300 " + std::to_string(iQueueId) + " ok ", 0) == 0 &&
                    answer.find(" word" + std::to_string(i)) != std::string::npos) {
                    ++iGood;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(iGood.load(), 40);
    EXPECT_EQ(Server().Connections(), 1);
}

TEST_F(SessionFixture, AnswersDrippingOneByteAtATimeArriveWhole) {
    ConnectedEngine();
    ASSERT_TRUE(LogOn(1));
    Server().SetFault(refserver::Fault::kDrip, -1);
    int iCode = 0;
    std::string answer = Ask(300, "300 8 slowly but surely", 8, &iCode);
    EXPECT_EQ(iCode, 7);
    EXPECT_EQ(answer.substr(0, 9), "300 8 ok ");
}

TEST_F(SessionFixture, SeveralAnswersInOneReceiveAreAllDelivered) {
    ConnectedEngine();
    ASSERT_TRUE(LogOn(1));
    Server().SetApplication([](int iType, const std::string& text) {
        std::vector<refserver::Reply> replies;
        for (int i = 0; i < 3; ++i) replies.push_back({iType, "301 9 part " + std::to_string(i)});
        (void)text;
        return replies;
    });
    char szText[] = "301 9 three answers please";
    ASSERT_EQ(Write_Message1(301, szText, 0), 1);
    char buffer[512];
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(Read_Message1(301, buffer, sizeof(buffer), 200, 9), 4) << i;
        EXPECT_EQ(std::string(buffer), "301 9 part " + std::to_string(i));
    }
}

// After each fault the connection is rebuilt and the game carries on.
class SessionFaults : public SessionFixture,
                      public ::testing::WithParamInterface<refserver::Fault> {};

TEST_P(SessionFaults, TheSessionRecoversAndLaterRequestsSucceed) {
    ConnectedEngine();
    ASSERT_TRUE(LogOn(1));
    int iBefore = Server().Connections();
    Server().SetFault(GetParam(), 1);
    char szText[] = "300 7 provoke";
    ASSERT_EQ(Write_Message1(300, szText, 0), 1);
    ASSERT_TRUE(WaitForConnections(iBefore + 1, 15000)) << "no new connection";
    EXPECT_EQ(Engine().logon.iUserStatus1.load(), 2);  // the logged-on user lost the connection
    ASSERT_TRUE(LogOn(1));
    int iCode = 0;
    std::string answer = Ask(300, "300 7 again", 7, &iCode);
    EXPECT_EQ(iCode, 5) << answer;
}

INSTANTIATE_TEST_SUITE_P(EveryFault, SessionFaults,
                         ::testing::Values(refserver::Fault::kCloseMidPacket,
                                           refserver::Fault::kGarbage, refserver::Fault::kOversize,
                                           refserver::Fault::kUnknownId,
                                           refserver::Fault::kShortHeader));

TEST_F(SessionFixture, RefusedConnectionsAreRetriedUntilTheServerIsBack) {
    ConnectedEngine();
    Server().SetFault(refserver::Fault::kRefuse, -1);
    Server().DropConnections();
    ASSERT_TRUE(WaitReal(
        [this] {
            return LogHas(
                "---InitSocket---error2---严重错误,无法连接到 注册/登录服务器---: 127.0.0.1," +
                std::to_string(Server().Port()));
        },
        15000));
    Server().SetFault(refserver::Fault::kNone);
    ASSERT_TRUE(WaitForConnections(2, 15000));
    EXPECT_TRUE(LogOn(1));
}

std::atomic<int> g_iNotice95{0};
std::atomic<int> g_iNotice96{0};

intptr_t GameWindow(HWND, unsigned int uMsg, uintptr_t, intptr_t lParam) {
    if (uMsg != WM_COPYDATA) return 0;
    uintptr_t dwData = reinterpret_cast<const COPYDATASTRUCT*>(lParam)->dwData;
    if (dwData == 95) ++g_iNotice95;
    if (dwData == 96) ++g_iNotice96;
    return 1;
}

TEST_F(SessionFixture, TheGameWindowHearsOfLostConnectionsAndDisconnectNotices) {
    g_iNotice95 = 0;
    g_iNotice96 = 0;
    HWND hWnd = VorelCreateWindow(GameWindow, nullptr);
    ConnectedEngine();
    ASSERT_EQ(SetMessageWnd(hWnd), 1);
    ASSERT_TRUE(LogOn(1));
    Server().DropConnections();
    ASSERT_TRUE(WaitReal([] { return g_iNotice95.load() == 1; }, 15000));
    EXPECT_EQ(g_iNotice96.load(), 0);
    ASSERT_TRUE(WaitForConnections(2, 15000));

    ASSERT_TRUE(LogOn(1));
    Server().SendDisconnect();
    ASSERT_TRUE(WaitReal([] { return g_iNotice96.load() == 1; }, 15000));
    ASSERT_TRUE(WaitForConnections(3, 15000));
    EXPECT_EQ(g_iNotice95.load(), 1);  // the notice came in place of a lost-connection one
    VorelDestroyWindow(hWnd);
}

// A notice to the game's window, and what the game sees until it logs on
// again: Read_Message2 says the log-on was lost (-9), a request's answer is
// refused at once with the network's state, and a new log-on brings the
// session back. The window gets that one notice and nothing else.
struct LostSession {
    const char* szHow;  // the third field that makes the server end the session
    uintptr_t dwData;
};

class LostSessions : public SessionFixture, public ::testing::WithParamInterface<LostSession> {};

std::mutex g_windowMutex;
std::vector<uintptr_t> g_notices;  // guarded by g_windowMutex
int g_iOtherMessages = 0;          // guarded by g_windowMutex

intptr_t RecordingWindow(HWND, unsigned int uMsg, uintptr_t, intptr_t lParam) {
    std::lock_guard<std::mutex> lock(g_windowMutex);
    if (uMsg == WM_COPYDATA) {
        g_notices.push_back(reinterpret_cast<const COPYDATASTRUCT*>(lParam)->dwData);
    } else {
        ++g_iOtherMessages;
    }
    return 1;
}

TEST_P(LostSessions, TheUserIsRefusedUntilLoggedOnAgain) {
    {
        std::lock_guard<std::mutex> lock(g_windowMutex);
        g_notices.clear();
        g_iOtherMessages = 0;
    }
    HWND hWnd = VorelCreateWindow(RecordingWindow, nullptr);
    ConnectedEngine();
    ASSERT_EQ(SetMessageWnd(hWnd), 1);
    ASSERT_TRUE(LogOn(1));
    std::string request = std::string("300 8 ") + GetParam().szHow;
    ASSERT_EQ(Write_Message1(300, request.c_str(), 0), 1);
    ASSERT_TRUE(WaitReal(
        [] {
            std::lock_guard<std::mutex> lock(g_windowMutex);
            return !g_notices.empty();
        },
        15000));

    char buffer[512];
    int iType = 0;
    EXPECT_TRUE(
        WaitReal([&] { return Read_Message2(&iType, buffer, sizeof(buffer), 0, 0) == -9; }, 15000));
    auto start = std::chrono::steady_clock::now();
    int iRefused = Read_Message1(300, buffer, sizeof(buffer), 100, 7);
    EXPECT_TRUE(iRefused == -1 || iRefused == -2 || iRefused == -3 || iRefused == -9) << iRefused;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

    ASSERT_TRUE(WaitForConnections(2, 15000));
    ASSERT_TRUE(LogOn(1));
    int iCode = 0;
    std::string answer = Ask(300, "300 7 again", 7, &iCode);
    EXPECT_EQ(iCode, 5) << answer;
    {
        std::lock_guard<std::mutex> lock(g_windowMutex);
        EXPECT_EQ(g_notices, std::vector<uintptr_t>{GetParam().dwData});
        EXPECT_EQ(g_iOtherMessages, 0);
    }
    VorelDestroyWindow(hWnd);
}

// A game that logs on again as soon as it hears of the lost session, from
// its window procedure or from a thread the procedure wakes: the log-on is
// not dropped with the old session's table but goes out on the new
// connection and is answered.
std::atomic<bool> g_bLogOnInProcedure{false};
std::atomic<int> g_iNoticesHeard{0};

intptr_t LogOnAtNotice(HWND, unsigned int uMsg, uintptr_t, intptr_t) {
    if (uMsg != WM_COPYDATA) return 0;
    if (g_bLogOnInProcedure.load()) {
        EXPECT_EQ(Write_Message1(201, "201 1 player secret", 0), 1);
    }
    ++g_iNoticesHeard;
    return 1;
}

TEST_P(LostSessions, ALogOnMadeOnHearingTheNoticeIsAnswered) {
    HWND hWnd = VorelCreateWindow(LogOnAtNotice, nullptr);
    ConnectedEngine();
    ASSERT_EQ(SetMessageWnd(hWnd), 1);
    ASSERT_TRUE(LogOn(1));
    for (bool bInProcedure : {true, false}) {
        g_bLogOnInProcedure = bInProcedure;
        g_iNoticesHeard = 0;
        Clock().AdvanceSeconds(5);  // past the engine's first seconds: the set-up empties the table
        std::string request = std::string("300 8 ") + GetParam().szHow;
        ASSERT_EQ(Write_Message1(300, request.c_str(), 0), 1);
        ASSERT_TRUE(WaitReal([] { return g_iNoticesHeard.load() == 1; }, 15000));
        if (!bInProcedure) {
            ASSERT_EQ(Write_Message1(201, "201 1 player secret", 0), 1);
        }
        char buffer[512];
        EXPECT_GE(Read_Message1(202, buffer, sizeof(buffer), 200, 1), 4)
            << (bInProcedure ? "in the procedure" : "from a game thread");
    }
    VorelDestroyWindow(hWnd);
}

INSTANTIATE_TEST_SUITE_P(DisconnectNoticeAndDrop, LostSessions,
                         ::testing::Values(LostSession{"disconnect", 96}, LostSession{"drop", 95}),
                         [](const auto& info) { return std::string(info.param.szHow); });

// Requests written back to back are answered in the order written, and
// their bytes (GBK text among them) come back as they went.
TEST_F(SessionFixture, RequestsWrittenBackToBackAreAnsweredInOrderWithTheirBytesUntouched) {
    ConnectedEngine();
    ASSERT_TRUE(LogOn(1));
    const std::string word = "\xcd\xe6\xbc\xd2";  // "player" in GBK
    for (int i = 1; i <= 5; ++i) {
        std::string text = "300 21 b" + std::to_string(i) + " " + word;
        ASSERT_EQ(Write_Message1(300, text.c_str(), 0), 1);
    }
    long iLastSequence = -1;
    for (int i = 1; i <= 5; ++i) {
        char buffer[512];
        ASSERT_EQ(Read_Message1(300, buffer, sizeof(buffer), 200, 21), 6) << i;
        std::istringstream fields(buffer);
        std::string type, id, ok, rest;
        long iSequence = -1;
        fields >> type >> id >> ok >> iSequence;
        std::getline(fields, rest);
        EXPECT_EQ(type + " " + id + " " + ok, "300 21 ok") << buffer;
        EXPECT_EQ(rest, " b" + std::to_string(i) + " " + word);
        EXPECT_GT(iSequence, iLastSequence);
        iLastSequence = iSequence;
    }
}

// A request under identifier 0 whose third field is "push" brings, besides
// its answer, a type-400 message that Read_Message2 hands out with its type.
TEST_F(SessionFixture, APushedMessageIsReadWithItsType) {
    ConnectedEngine();
    ASSERT_TRUE(LogOn(1));
    char buffer[512];
    int iType = -1;
    EXPECT_EQ(Read_Message2(&iType, buffer, sizeof(buffer), 0, 0), 0);
    EXPECT_EQ(iType, 0);

    int iCode = 0;
    std::string answer = Ask(300, "300 0 push hello", 0, &iCode);
    ASSERT_EQ(iCode, 6) << answer;
    std::string sequence = answer.substr(9, answer.find(' ', 9) - 9);  // after "300 0 ok "
    iType = 0;
    EXPECT_EQ(Read_Message2(&iType, buffer, sizeof(buffer), 200, 0), 7);
    EXPECT_EQ(iType, 400);
    EXPECT_EQ(std::string(buffer), "400 0 notice " + sequence + " pushed for 0");
}

TEST_F(SessionFixture, ASetUpFiveSecondsAfterCreationEmptiesTheTable) {
    ConnectedEngine();
    ASSERT_TRUE(LogOn(1));
    Clock().AdvanceSeconds(10);
    char szText[] = "300 50 unread";
    ASSERT_EQ(Write_Message1(300, szText, 0), 1);
    ASSERT_TRUE(WaitReal(
        [this] { return testutil::InspectQueue(Engine().queues, "recv+50").iCount == 1; }, 10000));
    Server().DropConnections();
    ASSERT_TRUE(WaitForConnections(2, 15000));
    EXPECT_FALSE(testutil::InspectQueue(Engine().queues, "recv+50").bExists);
    EXPECT_FALSE(testutil::InspectQueue(Engine().queues, "send+50").bExists);
}

TEST_F(SessionFixture, ASetUpWithinFiveSecondsOfCreationKeepsTheTable) {
    UseClockScale(1);
    ConnectedEngine();
    ASSERT_TRUE(LogOn(1));
    char szText[] = "300 60 unread";
    ASSERT_EQ(Write_Message1(300, szText, 0), 1);
    ASSERT_TRUE(WaitReal(
        [this] { return testutil::InspectQueue(Engine().queues, "recv+60").iCount == 1; }, 3000));
    Server().DropConnections();
    ASSERT_TRUE(WaitForConnections(2, 4000));
    EXPECT_EQ(testutil::InspectQueue(Engine().queues, "recv+60").iCount, 1);
}

TEST_F(SessionFixture, AKeepAliveAfterTwentySecondsOfSilence) {
    ConfigForServer(1);  // with the statistics line
    ConnectedEngine();
    ASSERT_TRUE(WaitReal([this] { return ReceivedOfType(127) >= 1; }, 10000));
    for (const auto& packet : Server().Received()) {
        if (packet.iType == 127) {
            EXPECT_EQ(packet.raw, std::string("\x10\0\0\0\0\0\0\0\x7F\0\0\0\x7E\0\0\0", 16));
        }
    }
    // 30 s after the first ready pass, the statistics line counts the
    // session thread's passes so far.
    std::regex statistics("MainThread---业务主线程---正在运行---(\\d+) *: .*");
    int iPasses = 0;
    for (int i = 0; i < 100 && iPasses == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (const std::string& line : LogLines()) {
            std::smatch match;
            if (std::regex_match(line, match, statistics)) iPasses = std::stoi(match[1]);
        }
    }
    EXPECT_GT(iPasses, 0);
}

TEST_F(SessionFixture, WithoutAKeyAnswerTheKeyRequestIsRepeatedAfterAMinute) {
    UseClockScale(1);
    Server().SetFault(refserver::Fault::kNoKeyAnswer, -1);
    CreateEngine();
    ASSERT_TRUE(WaitReal([this] { return ReceivedOfType(107) == 1; }, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(ReceivedOfType(107), 1);
    Clock().AdvanceSeconds(61);
    EXPECT_TRUE(WaitReal([this] { return ReceivedOfType(107) == 2; }, 3000));
}

TEST_F(SessionFixture, MaintenancePicksUpAChangedConfigurationFile) {
    ConnectedEngine();
    refserver::ReferenceServer other;
    ASSERT_TRUE(other.Start());
    WriteConfigValue("127.0.0.1 " + std::to_string(other.Port()) + " 0");
    Clock().AdvanceSeconds(601);
    ASSERT_TRUE(WaitReal([&other] { return other.Connections() == 1; }, 15000));
    // The new connection no longer waits for the session thread's lock: it
    // may come while ReConnect still pauses, before the line is written.
    EXPECT_TRUE(WaitReal(
        [&] {
            return LogHas("线程2---配置文件被更新---warn---重新连接sokcet---new:127.0.0.1," +
                          std::to_string(other.Port()) + "---old:127.0.0.1," +
                          std::to_string(Server().Port()));
        },
        15000));
}

TEST_F(SessionFixture, AnExceptionInsideAPassDoesNotEndTheThread) {
    ConnectedEngine();
    ASSERT_TRUE(LogOn(1));
    Ask(300, "300 3 before", 3);
    vorel_testing::ThrowInNextPass();
    ASSERT_TRUE(WaitReal(
        [this] {
            for (const std::string& line : LogLines()) {
                if (line.rfind("---error---MainThread---try/catch: ", 0) == 0) return true;
            }
            return false;
        },
        5000));
    ASSERT_TRUE(LogOn(1));  // the table lock was left, the loop goes on
    int iCode = 0;
    Ask(300, "300 3 still here", 3, &iCode);
    EXPECT_EQ(iCode, 6);
    // The session's counts went on through the pass that threw: the
    // requests and answers before it and after it are in the next
    // statistics line.
    Engine().iLogFlag = 1;
    Clock().AdvanceSeconds(30);
    std::regex counts(
        "MainThread---业务主线程---正在运行---\\d+ *: [-0-9 :]+,"
        "处理请求总数:4,预定发送总数:\\d+,有效接受总数:4,没有处理就被删除总数:\\d+");
    EXPECT_TRUE(WaitReal(
        [&] {
            for (const std::string& line : LogLines())
                if (std::regex_match(line, counts)) return true;
            return false;
        },
        5000));
}

TEST_F(SessionFixture, InitMovesTheSessionToANewAddress) {
    WriteConfigValue("NULL");
    CreateEngine();
    std::string host = "127.0.0.1";
    EXPECT_EQ(init(host.data(), Server().Port()), 0);
    ASSERT_TRUE(WaitForKey(10000));
    EXPECT_TRUE(LogOn(1));
    EXPECT_TRUE(LogHas("---Run---127.0.0.1," + std::to_string(Server().Port())));
}

TEST_F(SessionFixture, AnUnreachableAddressFromInitIsTriedAgain) {
    CreateEngine();
    uint16_t wDeadPort = 0;
    platform::SocketHandle s = platform::SocketListenLoopback(0, &wDeadPort);
    platform::SocketClose(s);
    std::string host = "127.0.0.1";
    init(host.data(), wDeadPort);
    // Refused at every attempt, quietly (no configuration re-read, no line).
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(
        LogHas("---InitSocket---error2---严重错误,无法连接到 注册/登录服务器---: 127.0.0.1," +
               std::to_string(wDeadPort)));
    // The first set-up may have been overtaken by the first `init` before it
    // reached the server: one more connection than it has seen so far.
    int iBefore = Server().Connections();
    EXPECT_EQ(init(host.data(), Server().Port()), 0);
    ASSERT_TRUE(WaitForConnections(iBefore + 1, 15000));
}

// A lookup that never ends until the test lets it: names starting with
// "slow" wait for the release, then resolve to the loopback address.
std::atomic<bool> g_bReleaseLookups{false};
std::atomic<int> g_iSlowLookups{0};

int SlowLookup(const char* szHost, uint32_t* pAddrNet) {
    if (std::strncmp(szHost, "slow", 4) != 0) return -1;
    ++g_iSlowLookups;
    WaitReal([] { return g_bReleaseLookups.load(); }, 20000);
    return platform::ParseDottedAddress("127.0.0.1", pAddrNet) ? 1 : 0;
}

// `init` while a set-up hangs in a name lookup: the new address is taken up
// and tried at once, and the stale set-up, when its lookup ends, installs
// nothing and reports nothing.
TEST_F(SessionFixture, InitWhileASetUpHangsInANameLookupTakesTheNewAddressAtOnce) {
    g_bReleaseLookups = false;
    g_iSlowLookups = 0;
    platform_testing::SetResolveHook(SlowLookup);
    ClientEngine& engine = ConnectedEngine();
    std::string slow = "slow.lookup.test";
    EXPECT_EQ(init(slow.data(), Server().Port()), 0);  // the set-up began, then hung
    ASSERT_TRUE(WaitReal([] { return g_iSlowLookups.load() == 1; }, 5000));

    std::string host = "127.0.0.1";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(init(host.data(), Server().Port()), 0);
    std::printf("init while a set-up hangs in a lookup: %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - start)
                                           .count()));
    EXPECT_TRUE(WaitForConnections(2, 5000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_TRUE(LogOn());

    platform::SocketHandle sGood = engine.connection.hSocket.load();
    g_bReleaseLookups = true;
    ASSERT_TRUE(WaitReal([&engine] { return engine.threads.hThread3.load() == nullptr; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(engine.connection.hSocket.load(), sGood);
    EXPECT_EQ(Server().Connections(), 2);
    EXPECT_EQ(Ask(300, "300 3 still", 3).substr(0, 8), "300 3 ok");
    EXPECT_FALSE(
        LogHas("---InitSocket---error2---严重错误,无法连接到 注册/登录服务器---: "
               "slow.lookup.test," +
               std::to_string(Server().Port())));
    platform_testing::SetResolveHook(nullptr);
}

// The same for the engine's first set-up, whose lookup hangs as the engine
// starts: `init` is taken up at once, and what the game queued meanwhile,
// seconds later, goes out on the first connection.
TEST_F(SessionFixture, TheFirstSetUpHangingInALookupIsOvertakenAndDropsNothing) {
    g_bReleaseLookups = false;
    g_iSlowLookups = 0;
    platform_testing::SetResolveHook(SlowLookup);
    WriteConfigValue("slow.first.test " + std::to_string(Server().Port()));
    CreateEngine();
    ASSERT_TRUE(WaitReal([] { return g_iSlowLookups.load() == 1; }, 5000));
    ASSERT_EQ(Write_Message1(201, "201 1 player secret", 0), 1);
    Clock().AdvanceSeconds(10);
    std::string host = "127.0.0.1";
    EXPECT_EQ(init(host.data(), Server().Port()), 0);
    char buffer[512];
    EXPECT_GE(Read_Message1(202, buffer, sizeof(buffer), 200, 1), 4) << buffer;
    g_bReleaseLookups = true;
    ASSERT_TRUE(WaitReal([this] { return Engine().threads.hThread3.load() == nullptr; }, 5000));
    EXPECT_EQ(Server().Connections(), 1);
    platform_testing::SetResolveHook(nullptr);
}

// A failed allocation as the session thread starts ends that thread; the
// game's next call starts it again instead of queueing for ever.
TEST_F(SessionFixture, ASessionThreadThatFailedToStartIsStartedAgainByTheNextCall) {
    vorel_testing::FailAllocations(0, 1);  // the session thread's state
    CreateEngine();
    auto Failed = [this] {
        for (const std::string& line : LogLines())
            if (line.rfind("---error---MainThread---malloc--fail: ", 0) == 0) return true;
        return false;
    };
    ASSERT_TRUE(WaitReal(Failed, 5000));
    vorel_testing::FailAllocations(0, 0);
    EXPECT_TRUE(LogOn());
    EXPECT_EQ(Ask(300, "300 2 back", 2).substr(0, 8), "300 2 ok");
}

// A session thread that keeps failing as it starts is started again at most
// once a second, however often the game calls.
TEST_F(SessionFixture, AnEndedSessionThreadIsStartedAgainAtMostOnceASecond) {
    UseManualClock();  // only the test moves it: no session thread runs to sleep
    auto Failures = [this] {
        int iLines = 0;
        for (const std::string& line : LogLines())
            iLines += line.rfind("---error---MainThread---malloc--fail: ", 0) == 0 ? 1 : 0;
        return iLines;
    };
    auto Ended = [this] {
        uint32_t dwCode = 0;
        platform::ThreadHandle* hThread = Engine().threads.hThread2.load();
        return hThread != nullptr && platform::ThreadGetExitCode(hThread, &dwCode) &&
               dwCode != platform::kStillActive;
    };
    // Each start fails on its state; a refused `init` only brings it back.
    vorel_testing::FailAllocations(0, 1);
    CreateEngine();
    ASSERT_TRUE(WaitReal([&] { return Failures() == 1 && Ended(); }, 5000));
    Clock().AdvanceSeconds(2);  // past a start that an earlier test made
    vorel_testing::FailAllocations(0, 1);
    EXPECT_EQ(init(nullptr, 0), -1);
    ASSERT_TRUE(WaitReal([&] { return Failures() == 2 && Ended(); }, 5000));
    vorel_testing::FailAllocations(0, 1);
    Clock().AdvanceMs(999);
    EXPECT_EQ(init(nullptr, 0), -1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Failures(), 2);
    Clock().AdvanceMs(1);
    EXPECT_EQ(init(nullptr, 0), -1);
    EXPECT_TRUE(WaitReal([&] { return Failures() == 3 && Ended(); }, 5000));
    vorel_testing::FailAllocations(0, 0);
}

}  // namespace
