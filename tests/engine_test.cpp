// The exported surface: init and its hand-over to the connection set-up,
// the game window, the login flag, the first engine under concurrent first
// calls, and the download exports' arguments (which never need the engine).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "platform/testing.h"
#include "platform/thread.h"
#include "session/session_thread.h"
#include "session/testing.h"
#include "util/engine_fixture.h"
#include "util/session_fixture.h"
#include "vorel/vorel.h"

namespace {

class Exports : public testutil::EngineFixture {
protected:
    int Init(std::string host, int iPort) { return init(host.data(), iPort); }
    std::string MissingConfigLine() const {
        return "---ReadConfigFile---error---严重错误,配置文件,缺少配置项[Lumaro_COM:ConfigInfo]--"
               "-" +
               ConfigPath();
    }
};

// ---- init ---------------------------------------------------------------------

TEST_F(Exports, InitRefusesBadHostsAndPortsChangingNothing) {
    WriteConfigValue("10.0.0.1 8000");
    Engine();
    struct Case {
        const char* szHost;
        int iPort;
    };
    const std::string host50(50, 'h');
    const Case refused[] = {{nullptr, 80},    {"", 80},
                            {"abcdef", 80},   {host50.c_str(), 80},
                            {"10.0.0.2", 0},  {"10.0.0.2", 65536},
                            {"10.0.0.2", -1}, {"10.0.0.2", INT_MIN}};
    for (const Case& c : refused) {
        EXPECT_EQ(init(const_cast<char*>(c.szHost), c.iPort), -1)
            << (c.szHost ? c.szHost : "null") << ":" << c.iPort;
    }
    EXPECT_EQ(Host(), "10.0.0.1");
    EXPECT_EQ(Port(), 8000);
    EXPECT_EQ(Engine().address.FromInit(), false);
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(Exports, InitAcceptsTheBoundsAndKeepsTheAddressWithoutASetUp) {
    Engine();
    ClearLog();
    const std::string host49(49, 'h');
    // Without a connection set-up the wait runs out: -2, the address stays.
    EXPECT_EQ(Init("abcdefg", 1), -2);
    EXPECT_EQ(Host(), "abcdefg");
    EXPECT_EQ(Port(), 1);
    EXPECT_EQ(Engine().address.FromInit(), true);
    EXPECT_EQ(Init(host49, 65535), -2);
    EXPECT_EQ(Host(), host49);
    EXPECT_EQ(Port(), 65535);
    EXPECT_EQ(Init("abcdefg", 2), -2);
    EXPECT_EQ(Host(), "abcdefg");  // nothing of the longer host left behind
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{"---Run---abcdefg,1", "---Run---" + host49 + ",65535",
                                        "---Run---abcdefg,2"}));
}

// Stands in for the connection set-up: once the socket has been taken away,
// raise iSetupFlag as a new set-up does.
class SetUpStandIn {
public:
    explicit SetUpStandIn(ClientEngine& engine) : engine_(engine) {
        engine_.connection.hSocket = platform::SocketCreate();
        thread_ = std::thread([this] {
            while (!bStop_) {
                if (engine_.connection.hSocket.load() == platform::kInvalidSocket) {
                    // The next connection is in place before the caller of
                    // init learns of it, so that a following init finds it.
                    engine_.connection.hSocket = platform::SocketCreate();
                    ++iSetUps_;
                    engine_.connection.iSetupFlag = 1;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    }
    ~SetUpStandIn() {
        bStop_ = true;
        thread_.join();
        platform::SocketHandle s = engine_.connection.hSocket.exchange(platform::kInvalidSocket);
        if (s != platform::kInvalidSocket) platform::SocketClose(s);
    }
    int SetUps() const { return iSetUps_; }

private:
    ClientEngine& engine_;
    std::atomic<bool> bStop_{false};
    std::atomic<int> iSetUps_{0};
    std::thread thread_;
};

TEST_F(Exports, InitClosesTheSocketAndWaitsForTheNextSetUp) {
    UseClockScale(1);  // the wait is real: up to 5 s, normally a millisecond
    Engine();
    SetUpStandIn standIn(Engine());
    // A connection in place, whose end the server must see.
    uint16_t wPort = 0;
    platform::SocketHandle listener = platform::SocketListenLoopback(0, &wPort);
    platform::SocketHandle s = platform::SocketCreate();
    uint32_t dwLoopback = 0;
    platform::ParseDottedAddress("127.0.0.1", &dwLoopback);
    ASSERT_EQ(platform::SocketConnect(s, dwLoopback, wPort), 0);
    platform::SocketHandle server = platform::SocketAccept(listener);
    platform::SocketClose(Engine().connection.hSocket.exchange(s));
    EXPECT_EQ(Init("10.0.0.7", 7000), 0);
    EXPECT_EQ(standIn.SetUps(), 1);
    // The server reads the end of the connection (never blocking on one
    // left open).
    bool bEnded = testutil::WaitReal(
        [server] {
            bool bReadable = false;
            platform::SocketPoll(server, &bReadable, nullptr);
            return bReadable;
        },
        2000);
    char c = 0;
    EXPECT_TRUE(bEnded && platform::SocketRecv(server, &c, 1) == 0);
    platform::SocketClose(server);
    platform::SocketClose(listener);
    // The same address again still hands over to a new set-up.
    EXPECT_EQ(Init("10.0.0.7", 7000), 0);
    EXPECT_EQ(standIn.SetUps(), 2);
    EXPECT_EQ(Host(), "10.0.0.7");
    EXPECT_EQ(Port(), 7000);
}

// ---- the game window --------------------------------------------------------------

intptr_t IgnoreMessages(HWND, unsigned int, uintptr_t, intptr_t) { return 0; }

TEST_F(Exports, SetMessageWndTakesOnlyWindows) {
    HWND hFirst = VorelCreateWindow(IgnoreMessages, nullptr);
    HWND hSecond = VorelCreateWindow(IgnoreMessages, nullptr);
    ASSERT_NE(hFirst, nullptr);
    ASSERT_NE(hSecond, nullptr);

    // The first call of all creates the engine even when it refuses.
    EXPECT_EQ(SetMessageWnd(nullptr), 0);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{MissingConfigLine()}));
    EXPECT_EQ(Engine().logon.hGameWnd.load(), nullptr);

    EXPECT_EQ(SetMessageWnd(hFirst), 1);
    EXPECT_EQ(Engine().logon.hGameWnd.load(), hFirst);
    EXPECT_EQ(SetMessageWnd(reinterpret_cast<HWND>(0x12345)), 0);
    EXPECT_EQ(Engine().logon.hGameWnd.load(), hFirst);
    EXPECT_EQ(SetMessageWnd(hSecond), 1);
    EXPECT_EQ(Engine().logon.hGameWnd.load(), hSecond);
    VorelDestroyWindow(hFirst);
    EXPECT_EQ(SetMessageWnd(hFirst), 0);
    EXPECT_EQ(Engine().logon.hGameWnd.load(), hSecond);
    VorelDestroyWindow(hSecond);
}

// ---- the login flag -------------------------------------------------------------------

TEST_F(Exports, LoginFlagFollowsTypes201And207WhateverTheOutcome) {
    struct Step {
        int iType;
        const char* szText;
        int iResult;
        int iFlag;
    };
    const std::string tooLong(65521, 'x');
    const Step steps[] = {
        {202, "a 1 c", 1, 0},                      // a new engine's flag is clear
        {201, "logon", -1, 1},                     // refused for its fields, flag set all the same
        {202, "a 1 c", 1, 1},                      // other types leave it
        {300, "a 1 c", 1, 1},   {207, "", -3, 0},  // refused for its length, flag cleared
        {202, "a 1 c", 1, 0},   {201, "a 1 player secret", 1, 1},
        {207, "a 1 bye", 1, 0}, {201, tooLong.c_str(), -3, 1},
    };
    for (const Step& step : steps) {
        std::string text = step.szText;
        EXPECT_EQ(Write_Message1(step.iType, text.data(), 0), step.iResult) << step.iType;
        EXPECT_EQ(Engine().logon.iLoginFlag.load(), step.iFlag) << step.iType;
    }
}

// ---- the first engine ------------------------------------------------------------------

TEST_F(Exports, ConcurrentFirstCallsMakeOneEngine) {
    // Real time, so that the constructor's 100 ms pause lets every thread
    // arrive while the engine is being made.
    UseClockScale(1);
    constexpr int kThreads = 12;
    std::vector<ClientEngine*> engines(kThreads);
    std::atomic<int> iReady{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ++iReady;
            while (iReady < kThreads) std::this_thread::yield();
            engines[i] = &CreateEngine();
        });
    }
    for (auto& t : threads) t.join();
    for (ClientEngine* p : engines) EXPECT_EQ(p, engines[0]);
    EXPECT_EQ(CountLogLines(MissingConfigLine()), 1);  // constructed once
}

TEST_F(Exports, ConcurrentFirstCallsAreAllServed) {
    UseClockScale(1);
    constexpr int kThreads = 8;
    std::vector<int> results(kThreads);
    std::atomic<int> iReady{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            std::string text = "a " + std::to_string(i % 2) + " c";
            ++iReady;
            while (iReady < kThreads) std::this_thread::yield();
            results[i] = Write_Message1(300, text.data(), 0);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(results, std::vector<int>(kThreads, 1));
    EXPECT_EQ(CountLogLines(MissingConfigLine()), 1);
    KMutexAdaptor<KThreadMutex> guard(Engine().queues.CounterLockForTesting(), -1);
    EXPECT_EQ(Engine().queues.RequestTotal(), kThreads);
}

TEST_F(Exports, OnlyTheEngineCreatingCallPauses100Ms) {
    // The clock moves only by the library's sleeps, and no session thread
    // runs here: what passes is the constructor's own pause.
    UseManualClock();
    int64_t iStart = Clock().ElapsedMs();
    EXPECT_EQ(SetMessageWnd(nullptr), 0);
    int64_t iPause = Clock().ElapsedMs() - iStart;
    EXPECT_GE(iPause, 100);
    EXPECT_LT(iPause, 150);

    iStart = Clock().ElapsedMs();
    std::string text = "a 1 c";
    EXPECT_EQ(Write_Message1(300, text.data(), 0), 1);
    EXPECT_EQ(SetMessageWnd(nullptr), 0);
    EXPECT_EQ(Clock().ElapsedMs() - iStart, 0);
}

// A session thread that the system refuses is asked for again at once, each
// refusal logged, so that the creating call returns with the thread running.
TEST_F(Exports, ARefusedSessionThreadIsRetriedAtOnceAndLogged) {
    vorel_testing::SetSessionThreadEnabled(true);
    platform_testing::RefuseThreads(3);
    Engine();
    int iRefusals = 0;
    for (const std::string& line : LogLines())
        iRefusals += std::regex_match(line, std::regex("创建线程1失败: \\d+")) ? 1 : 0;
    EXPECT_EQ(iRefusals, 3);
    EXPECT_NE(Engine().threads.hThread2.load(), nullptr);
}

// ---- downloads --------------------------------------------------------------------------

TEST_F(Exports, DownloadArgumentBoundsWithoutAnEngine) {
    std::string target = Dir().File("file.bin");
    std::string url5 = "abcde";
    std::string url512(512, 'u');
    std::string path512 = Dir().Path() + "/" + std::string(511 - Dir().Path().size(), 'p');
    ASSERT_EQ(path512.size(), 512u);
    EXPECT_EQ(Download_File_EX(nullptr, target.c_str()), 1);
    EXPECT_EQ(Download_File_EX("http://127.0.0.1/x", nullptr), 1);
    EXPECT_EQ(Download_File_EX(url5.c_str(), target.c_str()), 1);
    EXPECT_EQ(Download_File_EX(url512.c_str(), target.c_str()), 1);
    EXPECT_EQ(Download_File_EX("http://127.0.0.1/x", ""), 1);
    EXPECT_EQ(Download_File_EX("http://127.0.0.1/x", path512.c_str()), 1);

    // Accepted at the bounds; neither scheme is one the downloader serves,
    // so both fail at once without touching the network.
    std::string url511 = "abcdef" + std::string(505, 'u');
    std::string path511 = path512.substr(0, 511);
    EXPECT_EQ(Download_File_EX("abcdef", target.c_str()), 0);
    EXPECT_EQ(Download_File_EX(url511.c_str(), path511.c_str()), 0);
    ASSERT_TRUE(platform::ThreadsWaitRunningAtMost(0, 10000));

    EXPECT_EQ(DownloadFile(nullptr, const_cast<char*>(target.c_str())), 1);
    EXPECT_EQ(
        DownloadFile(const_cast<char*>("ftp://127.0.0.1/x"), const_cast<char*>(target.c_str())), 6);

    std::regex failure("---Download_File_Thread---error---下载失败---\\d+---abcdef---" + target +
                       "---" + Dir().Path() + "/Temp\\d+");
    int iFailures = 0;
    for (const std::string& line : LogLines()) {
        // No engine: its constructor would have logged the missing item.
        EXPECT_EQ(line.find("ReadConfigFile"), std::string::npos) << line;
        if (std::regex_match(line, failure)) ++iFailures;
    }
    EXPECT_EQ(iFailures, 1);
    EXPECT_FALSE(std::filesystem::exists(target));
}

}  // namespace
