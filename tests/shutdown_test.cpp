// Unloading the library as a game does, with dlopen and dlclose: at any
// moment, the unload stops every thread of the library in about two seconds,
// writes close1 to close5 in order, and really unloads the library.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "loader/vorel_exports.h"
#include "platform/socket.h"
#include "server/reference_server.h"
#include "util/http_server.h"
#include "util/process_resources.h"
#include "util/session_fixture.h"
#include "util/temp_dir.h"

// A slow name service for the library loaded below: this program's
// getaddrinfo comes before the C library's (the link exports it), so a
// lookup of a name that starts with "slow" takes g_iSlowLookupMs before it
// answers with the loopback address, and then returns into the library as
// a real lookup would.
std::atomic<int> g_iSlowLookupMs{0};
std::atomic<int> g_iSlowLookupsStarted{0};
std::atomic<int> g_iSlowLookupsEnded{0};

extern "C" __attribute__((visibility("default"))) int getaddrinfo(const char* szNode,
                                                                  const char* szService,
                                                                  const struct addrinfo* pHints,
                                                                  struct addrinfo** ppResult) {
    using Real = int (*)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
    static Real pfnReal = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (szNode != nullptr && strncmp(szNode, "slow", 4) == 0) {
        ++g_iSlowLookupsStarted;
        std::this_thread::sleep_for(std::chrono::milliseconds(g_iSlowLookupMs.load()));
        ++g_iSlowLookupsEnded;
        szNode = "127.0.0.1";
    }
    return pfnReal(szNode, szService, pHints, ppResult);
}

// LeakSanitizer's own thread reads the dynamic-TLS records of the libraries
// these tests unload, and without this crashes on stale ones at exit
// ("Tracer caught signal 11"). Dynamic TLS is still scanned, through the
// threads' static TLS that points to it.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() {
    return "intercept_tls_get_addr=0";
}

namespace {

using Clock = std::chrono::steady_clock;
using testutil::WaitReal;

// The library, loaded at run time, and its exports found by name.
struct Library : loader::VorelExports {
    void* pHandle = nullptr;

    bool Load() {
        pHandle = dlopen(VOREL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        return pHandle != nullptr && loader::FindExports(pHandle, this).empty();
    }
    // dlclose; returns how long it took.
    Clock::duration Unload() {
        auto start = Clock::now();
        EXPECT_EQ(dlclose(pHandle), 0);
        pHandle = nullptr;
        return Clock::now() - start;
    }
    static bool StillLoaded(const char* szPath = VOREL_LIBRARY_PATH) {
        void* p = dlopen(szPath, RTLD_NOW | RTLD_NOLOAD);
        if (p == nullptr) return false;
        dlclose(p);
        return true;
    }
    // The object with the library's code, which an unload keeps loaded
    // for a thread that could not be stopped.
    static bool CoreStillLoaded() { return StillLoaded(VOREL_CORE_PATH); }
};

class Unload : public ::testing::Test {
protected:
    void SetUp() override {
        g_iSlowLookupMs = 0;
        g_iSlowLookupsStarted = 0;
        g_iSlowLookupsEnded = 0;
        cwd_ = std::filesystem::current_path().string();
        ASSERT_EQ(chdir(dir_.Path().c_str()), 0);  // the library's GameRun.log goes here
        ASSERT_TRUE(server_.Start());
        ASSERT_TRUE(lib_.Load()) << dlerror();
    }
    void TearDown() override {
        if (lib_.pHandle != nullptr) lib_.Unload();
        EXPECT_FALSE(Library::StillLoaded());
        ASSERT_EQ(chdir(cwd_.c_str()), 0);
    }

    int Call(decltype(&::Write_Message1) pfn, int iType, const std::string& text) {
        std::vector<char> input(text.begin(), text.end());
        input.push_back('\0');
        return pfn(iType, input.data(), 0);
    }
    void ConnectToServer() {
        std::string host = "127.0.0.1";
        EXPECT_EQ(lib_.init(host.data(), server_.Port()), 0);
        EXPECT_TRUE(WaitReal([this] { return server_.Received().size() >= 1; }, 5000));
    }
    bool LogOn() {
        if (Call(lib_.Write_Message1, 201, "201 1 player secret") != 1) return false;
        char buffer[512];
        return lib_.Read_Message1(202, buffer, sizeof(buffer), 10, 1) >= 4;
    }
    std::vector<std::string> CloseLines() {
        std::vector<std::string> lines;
        std::string log = testutil::ReadFile(dir_.File("GameRun.log"));
        size_t p = 0;
        while ((p = log.find("---testing20090618---", p)) != std::string::npos) {
            size_t e = log.find('\n', p);
            lines.push_back(log.substr(p + 21, e - p - 21));
            p = e;
        }
        return lines;
    }
    // close1 to close5 in order, with nothing but TerminateThread lines between.
    void ExpectCloseLinesInOrder() {
        std::vector<std::string> closes;
        for (const std::string& line : CloseLines()) {
            if (line.size() == 9 && line.rfind("close", 0) == 0) closes.push_back(line);
        }
        EXPECT_EQ(closes, (std::vector<std::string>{"close1---", "close2---", "close3---",
                                                    "close4---", "close5---"}));
    }
    void ExpectQuickUnload() {
        Clock::duration took = lib_.Unload();
        EXPECT_LT(took, std::chrono::milliseconds(2600));

        EXPECT_FALSE(Library::StillLoaded());
        EXPECT_FALSE(Library::CoreStillLoaded());
        ExpectCloseLinesInOrder();
    }
    // A library kept loaded by an unload serves a new load as before, and
    // its next unload, with nothing left running, joins the threads that
    // ended after the first.
    void ExpectTheKeptLibraryServesAgain() {
        ASSERT_TRUE(lib_.Load());
        ConnectToServer();
        EXPECT_TRUE(LogOn());
        EXPECT_LT(lib_.Unload(), std::chrono::milliseconds(2600));
    }
    bool HasCloseLine(const std::string& text) {
        for (const std::string& line : CloseLines())
            if (line == text) return true;
        return false;
    }

    testutil::TempDir dir_;
    std::string cwd_;
    refserver::ReferenceServer server_;
    testutil::TestHttpServer http_;
    Library lib_;
};

// The body is held until the download is known to be running, then
// released as the unload begins: what the download has left to do within
// the unload's wait is a hundred bytes on loopback, not a pace that a slow
// or busy machine stretches.
TEST_F(Unload, WithoutAnEngineNothingIsLoggedAndARunningDownloadFinishes) {
    testutil::HttpAnswer held(200, std::string(200, 'd'));
    held.iHoldAfter = 100;
    http_.Set("/held", held);
    std::string dest = dir_.File("file.bin");
    ASSERT_EQ(lib_.Download_File_EX(http_.Url("/held").c_str(), dest.c_str()), 0);
    ASSERT_TRUE(WaitReal([this] { return http_.Requests("/held") == 1; }, 5000));
    http_.Release();
    lib_.Unload();
    EXPECT_TRUE(CloseLines().empty());
    EXPECT_EQ(testutil::ReadFile(dest), std::string(200, 'd'));
}

// A game thread inside DownloadFile while another unloads the library,
// with and without an engine, the transfer dripping or stuck in its name
// lookup: the call ends with 7 before the unload returns, nothing had to be
// left running, and the library really goes.
TEST_F(Unload, DuringADownloadFileTheCallEndsWithSevenAndTheLibraryGoes) {
    testutil::HttpAnswer drip(200, std::string(100000, 'd'));
    drip.iDripDelayMs = 5;  // longer than any unload: the call cannot end by itself
    http_.Set("/drip", drip);
    g_iSlowLookupMs = 3000;
    for (bool bEngine : {false, true}) {
        for (bool bInLookup : {false, true}) {
            SCOPED_TRACE(std::string(bEngine ? "engine, " : "no engine, ") +
                         (bInLookup ? "in the lookup" : "dripping"));
            if (lib_.pHandle == nullptr) {
                ASSERT_TRUE(lib_.Load());
            }
            if (bEngine) ConnectToServer();
            int iLookups = g_iSlowLookupsStarted.load();
            int iRequests = http_.Requests("/drip");
            std::string url =
                bInLookup ? "http://slow.lookup.test:" + std::to_string(http_.Port()) + "/drip"
                          : http_.Url("/drip");
            std::string dest = dir_.File("drip.bin");
            std::atomic<int> iResult{-100};
            std::thread game([&] { iResult = lib_.DownloadFile(url.c_str(), dest.c_str()); });
            ASSERT_TRUE(WaitReal(
                [&] {
                    return bInLookup ? g_iSlowLookupsStarted.load() > iLookups
                                     : http_.Requests("/drip") > iRequests;
                },
                5000));
            Clock::duration took = lib_.Unload();
            std::printf("unload during DownloadFile: %lld ms\n",
                        static_cast<long long>(
                            std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
            game.join();
            EXPECT_EQ(iResult.load(), 7);
            EXPECT_FALSE(Library::StillLoaded());
            EXPECT_FALSE(Library::CoreStillLoaded()) << "kept for a call still inside";
            std::string log = testutil::ReadFile(dir_.File("GameRun.log"));
            EXPECT_EQ(log.find("close---error"), std::string::npos) << log;
            if (bEngine) ExpectCloseLinesInOrder();
            EXPECT_FALSE(std::filesystem::exists(dest));
            EXPECT_FALSE(std::filesystem::exists(dest + ".part"));
            std::filesystem::remove(dir_.File("GameRun.log"));
        }
    }
    // The lookups left behind come back into the transfer's own library.
    EXPECT_TRUE(WaitReal([] { return g_iSlowLookupsEnded.load() == 2; }, 10000));
}

TEST_F(Unload, IdleSession) {
    ConnectToServer();
    ASSERT_TRUE(LogOn());
    ExpectQuickUnload();
    EXPECT_TRUE(CloseLines().size() == 5) << "no thread needed stopping";
}

TEST_F(Unload, DuringTrafficFromSeveralGameThreads) {
    ConnectToServer();
    ASSERT_TRUE(LogOn());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 200; ++i) {
                Call(lib_.Write_Message1, 300,
                     "300 " + std::to_string(10 + t) + " load " + std::to_string(i));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    ExpectQuickUnload();  // requests and answers still in flight
}

TEST_F(Unload, DuringReconnectsToAnUnreachableAddress) {
    uint16_t wDead = 0;
    platform::SocketClose(platform::SocketListenLoopback(0, &wDead));
    std::string host = "127.0.0.1";
    lib_.init(host.data(), wDead);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // inside the reconnect cycle
    ExpectQuickUnload();
}

TEST_F(Unload, DuringASlowDownload) {
    ConnectToServer();
    testutil::HttpAnswer held(200, std::string(5000, 's'));
    held.iHoldAfter = 100;  // never released: the download cannot end by itself
    http_.Set("/held", held);
    ASSERT_EQ(lib_.Download_File_EX(http_.Url("/held").c_str(), dir_.File("big").c_str()), 0);
    ASSERT_TRUE(WaitReal([this] { return http_.Requests("/held") == 1; }, 5000));
    ExpectQuickUnload();
    bool bDownloadLine = false;
    for (const std::string& line : CloseLines())
        bDownloadLine |= line == "TerminateThread---hThread1";
    EXPECT_TRUE(bDownloadLine);
}

TEST_F(Unload, WhileAReaderWaitsInsideTheLibrary) {
    ConnectToServer();
    ASSERT_TRUE(LogOn());
    std::atomic<int> iResult{1};
    std::thread reader([this, &iResult] {
        char buffer[512];
        iResult = lib_.Read_Message1(300, buffer, sizeof(buffer), 60, 99);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ExpectQuickUnload();
    reader.join();
    EXPECT_EQ(iResult.load(), 0);  // its wait ended as a time-out
}

// `init` waiting for a set-up to take its address up (the session thread
// is in its pause between attempts at an unreachable server) ends at once
// when the library is unloaded: nothing is left running, nothing kept.
TEST_F(Unload, WhileInitWaitsForItsSetUp) {
    uint16_t wDead = 0;
    platform::SocketClose(platform::SocketListenLoopback(0, &wDead));
    std::string host = "127.0.0.1";
    lib_.init(host.data(), wDead);
    ASSERT_TRUE(WaitReal(
        [this] {
            return testutil::ReadFile(dir_.File("GameRun.log")).find("---ReConnect---") !=
                   std::string::npos;
        },
        10000));
    std::atomic<int> iResult{1};
    std::thread caller([this, &host, &iResult, wDead] { iResult = lib_.init(host.data(), wDead); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ExpectQuickUnload();
    caller.join();
    EXPECT_TRUE(iResult.load() == 0 || iResult.load() == -2) << iResult.load();
    EXPECT_EQ(testutil::ReadFile(dir_.File("GameRun.log")).find("线程未能停止"), std::string::npos);
}

// Chaos: game threads on all seven exports against a server that keeps
// changing its faults, and the library unloaded while their calls are in
// flight. Every call returns, nothing crashes (the sanitizer builds run it
// too), nothing is left running and the library really goes. Several rounds
// of load, chaos and unload in one process.
std::atomic<int> g_iChaosNotices{0};

intptr_t CountChaosNotices(HWND, unsigned int uMsg, uintptr_t, intptr_t) {
    if (uMsg == WM_COPYDATA) ++g_iChaosNotices;
    return 1;
}

TEST_F(Unload, ChaosOfGameThreadsOnEveryExportWhileTheServerFlipsItsFaults) {
    constexpr int kRounds = 3;
    constexpr int kThreads = 16;
    testutil::HttpAnswer drip(200, std::string(300, 'c'));
    drip.iDripDelayMs = 1;
    http_.Set("/drip", drip);
    const std::string url = http_.Url("/drip");
    const refserver::Fault faults[] = {
        refserver::Fault::kNone,           refserver::Fault::kCloseMidPacket,
        refserver::Fault::kGarbage,        refserver::Fault::kDrip,
        refserver::Fault::kUnknownId,      refserver::Fault::kRefuse,
        refserver::Fault::kResetMidPacket, refserver::Fault::kBurst,
        refserver::Fault::kFlood,          refserver::Fault::kStopReading};
    for (int iRound = 0; iRound < kRounds; ++iRound) {
        if (lib_.pHandle == nullptr) {
            ASSERT_TRUE(lib_.Load());
        }
        HWND hWnd = lib_.VorelCreateWindow(CountChaosNotices, nullptr);
        ConnectToServer();
        // Read once: the server listens anew (on the same port) after a refusal.
        const int iPort = server_.Port();
        std::atomic<bool> bStop{false};
        std::atomic<bool> bUnloading{false};
        std::atomic<int> iCallsEnded{0};
        std::atomic<int> iEndedInTheUnload{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                char buffer[512];
                std::string host = "127.0.0.1";
                std::string dest = dir_.File("chaos" + std::to_string(t));
                for (int i = 0; !bStop.load(); ++i) {
                    switch ((i + t) % 7) {
                        case 0:
                            Call(lib_.Write_Message1, i % 3 == 0 ? 201 : 300,
                                 (i % 3 == 0 ? "201 1 player secret" : "300 ") +
                                     std::string(i % 3 == 0 ? "" : std::to_string(t) + " x"));
                            break;
                        case 1:
                            lib_.Read_Message1(300, buffer, sizeof(buffer), i % 2, t);
                            break;
                        case 2: {
                            int iType = 0;
                            lib_.Read_Message2(&iType, buffer, sizeof(buffer), i % 2, 0);
                            break;
                        }
                        case 3:
                            lib_.DownloadFile(url.c_str(), dest.c_str());
                            break;
                        case 4:
                            lib_.Download_File_EX(url.c_str(), (dest + "ex").c_str());
                            break;
                        case 5:
                            lib_.init(host.data(), iPort);
                            break;
                        case 6:
                            lib_.SetMessageWnd(hWnd);
                            break;
                    }
                    ++iCallsEnded;
                    if (bUnloading.load()) ++iEndedInTheUnload;
                }
            });
        }
        for (int i = 0; i < 12; ++i) {
            server_.SetFault(faults[(i * 7 + iRound) % 10], 3);
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            if (i == 6) server_.SendDisconnect();
        }
        // No new call starts once the unload is near; those under way go on.
        bStop = true;
        lib_.VorelDestroyWindow(hWnd);  // as a game closing down, calls still in flight
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        bUnloading = true;
        ExpectQuickUnload();
        for (auto& thread : threads) thread.join();
        server_.SetFault(refserver::Fault::kNone);
        EXPECT_GT(iCallsEnded.load(), kThreads) << "round " << iRound;
        EXPECT_GT(iEndedInTheUnload.load(), 0) << "round " << iRound << ": no call was in flight";
        std::printf("round %d: %d calls, %d of them ended by the unload\n", iRound,
                    iCallsEnded.load(), iEndedInTheUnload.load());
        std::string log = testutil::ReadFile(dir_.File("GameRun.log"));
        EXPECT_EQ(log.find("线程未能停止"), std::string::npos) << "round " << iRound;
        std::remove(dir_.File("GameRun.log").c_str());
    }
}

TEST_F(Unload, LoadUseUnloadAndLoadAgain) {
    for (int i = 0; i < 3; ++i) {
        if (lib_.pHandle == nullptr) {
            ASSERT_TRUE(lib_.Load());
        }
        ConnectToServer();
        ASSERT_TRUE(LogOn()) << "round " << i;
        lib_.Unload();
        EXPECT_FALSE(Library::StillLoaded());
    }
    EXPECT_EQ(server_.Connections(), 3);
}

// Every export, found by name, reaches the library's code through the
// loaded library; after the unload the process runs no more threads than
// before the load.
std::atomic<int> g_iDisconnectNotices{0};

intptr_t CountDisconnectNotices(HWND, unsigned int uMsg, uintptr_t, intptr_t lParam) {
    if (uMsg == WM_COPYDATA && reinterpret_cast<const COPYDATASTRUCT*>(lParam)->dwData == 96)
        ++g_iDisconnectNotices;
    return 1;
}

TEST_F(Unload, EveryExportReachesTheLibraryAndNoThreadOutlivesTheUnload) {
    lib_.Unload();
    std::thread([] {}).join();  // a sanitizer's runtime starts a thread along with the first
    int iThreadsBeforeLoad = testutil::MeasureProcessResources().iThreads;
    ASSERT_TRUE(lib_.Load());
    g_iDisconnectNotices = 0;
    int iUser = 0;
    HWND hWnd = lib_.VorelCreateWindow(CountDisconnectNotices, &iUser);
    ASSERT_NE(hWnd, nullptr);
    EXPECT_EQ(lib_.VorelGetWindowUser(hWnd), &iUser);
    EXPECT_EQ(lib_.SetMessageWnd(hWnd), 1);
    ConnectToServer();
    ASSERT_TRUE(LogOn());

    char buffer[512];
    ASSERT_EQ(Call(lib_.Write_Message1, 300, "300 0 push hello"), 1);
    EXPECT_EQ(lib_.Read_Message1(300, buffer, sizeof(buffer), 10, 0), 6);
    int iType = 0;
    EXPECT_EQ(lib_.Read_Message2(&iType, buffer, sizeof(buffer), 10, 0), 7);
    EXPECT_EQ(iType, 400);

    http_.Set("/file.bin", {200, "the file"});
    std::string url = http_.Url("/file.bin");
    EXPECT_EQ(lib_.DownloadFile(url.c_str(), dir_.File("here.bin").c_str()), 0);
    EXPECT_EQ(testutil::ReadFile(dir_.File("here.bin")), "the file");
    ASSERT_EQ(lib_.Download_File_EX(url.c_str(), dir_.File("background.bin").c_str()), 0);
    EXPECT_TRUE(WaitReal(
        [this] { return testutil::ReadFile(dir_.File("background.bin")) == "the file"; }, 10000));

    ASSERT_EQ(Call(lib_.Write_Message1, 300, "300 5 disconnect"), 1);
    EXPECT_TRUE(WaitReal([] { return g_iDisconnectNotices.load() == 1; }, 10000));
    lib_.VorelDestroyWindow(hWnd);
    ExpectQuickUnload();
    // The server's and the HTTP server's threads for the library's
    // connections end once the library has closed them.
    int iThreads = 0;
    EXPECT_TRUE(WaitReal(
        [&] {
            return (iThreads = testutil::MeasureProcessResources().iThreads) <= iThreadsBeforeLoad;
        },
        5000))
        << iThreads << " threads, " << iThreadsBeforeLoad << " before the load";
}

// The unload lets go of the log after close5 even while the support library
// stays loaded (here this program holds it, as a game that uses it would):
// the file can go, and the next load starts it anew.
TEST_F(Unload, TheLogIsLetGoAtUnloadAndTheNextLoadStartsItAnew) {
    void* pSupport = dlopen(VOREL_QUORVEX_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(pSupport, nullptr) << dlerror();
    std::string log = dir_.File("GameRun.log");
    ConnectToServer();
    ASSERT_TRUE(LogOn());
    EXPECT_EQ(testutil::DescriptorsOnFile(log), 1);
    lib_.Unload();
    EXPECT_EQ(testutil::DescriptorsOnFile(log), 0);
    ExpectCloseLinesInOrder();
    ASSERT_EQ(rename(log.c_str(), dir_.File("first-run.log").c_str()), 0);

    ASSERT_TRUE(lib_.Load());
    ConnectToServer();
    ASSERT_TRUE(LogOn());
    lib_.Unload();
    ExpectCloseLinesInOrder();
    EXPECT_NE(testutil::ReadFile(log).find("---LOGON_RESULT---"), std::string::npos);
    dlclose(pSupport);
}

TEST_F(Unload, TheReconnectThreadStillSettingUpIsNamedInTheLog) {
    g_iSlowLookupMs = 200;  // within the bound: the thread ends, the library goes
    ConnectToServer();
    std::string slow = "slow.lookup.test";
    EXPECT_EQ(lib_.init(slow.data(), server_.Port()), 0);
    ASSERT_TRUE(WaitReal([] { return g_iSlowLookupsStarted.load() == 1; }, 5000));
    ExpectQuickUnload();
    EXPECT_TRUE(HasCloseLine("TerminateThread---hThread3"));
    EXPECT_FALSE(HasCloseLine("TerminateThread---hThread2")) << "the session thread left by itself";
}

// A set-up stuck in a name lookup past the unload's bound: the unload
// returns in time, names the thread it could not stop, releases nothing
// that thread can reach and keeps the library's code loaded, so that the
// lookup returns into code that is still there.
TEST_F(Unload, ASetUpStuckInANameLookupKeepsTheLibraryLoadedAndTheProcessAlive) {
    g_iSlowLookupMs = 3500;
    ConnectToServer();
    std::string slow = "slow.lookup.test";
    EXPECT_EQ(lib_.init(slow.data(), server_.Port()), 0);
    ASSERT_TRUE(WaitReal([] { return g_iSlowLookupsStarted.load() == 1; }, 5000));
    Clock::duration took = lib_.Unload();
    std::printf("unload with a set-up stuck in a lookup: %lld ms\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    EXPECT_LT(took, std::chrono::milliseconds(2600));
    EXPECT_FALSE(Library::StillLoaded());
    EXPECT_TRUE(Library::CoreStillLoaded());
    ExpectCloseLinesInOrder();
    EXPECT_TRUE(HasCloseLine("TerminateThread---hThread3"));
    std::string log = testutil::ReadFile(dir_.File("GameRun.log"));
    EXPECT_NE(log.find("---testing20090618---close---error---线程未能停止:会话线程0,重连线程1,"),
              std::string::npos);
    // The lookup comes back into the library, which finishes the set-up
    // quietly and lets the thread end.
    ASSERT_TRUE(WaitReal([] { return g_iSlowLookupsEnded.load() == 1; }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(server_.Connections(), 1) << "a stopped library connected again";
    ExpectTheKeptLibraryServesAgain();
}

// A game that unloads the library from its window procedure when told that
// the server ended the session. The session thread that sends the notice
// waits for that procedure: the unload must neither wait for it nor unmap
// the code it returns into.
std::atomic<void*> g_pLibraryToUnload{nullptr};
std::atomic<int64_t> g_iUnloadMs{-1};
std::atomic<int> g_iNotice{0};

intptr_t UnloadOnNotice(HWND, unsigned int uMsg, uintptr_t, intptr_t lParam) {
    if (uMsg != WM_COPYDATA) return 0;
    g_iNotice = static_cast<int>(reinterpret_cast<const COPYDATASTRUCT*>(lParam)->dwData);
    void* pHandle = g_pLibraryToUnload.exchange(nullptr);
    if (pHandle == nullptr) return 0;
    auto start = Clock::now();
    dlclose(pHandle);
    g_iUnloadMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    return 0;
}

TEST_F(Unload, AWindowProcedureThatUnloadsOnTheDisconnectNotice) {
    ConnectToServer();
    HWND hWnd = lib_.VorelCreateWindow(UnloadOnNotice, nullptr);
    ASSERT_EQ(lib_.SetMessageWnd(hWnd), 1);
    ASSERT_TRUE(LogOn());
    g_pLibraryToUnload = lib_.pHandle;
    lib_.pHandle = nullptr;  // the procedure unloads it
    Call(lib_.Write_Message1, 300, "300 5 disconnect");
    ASSERT_TRUE(WaitReal([] { return g_iUnloadMs.load() >= 0; }, 10000));
    EXPECT_EQ(g_iNotice.load(), 96);
    std::printf("unload from the window procedure: %lld ms\n",
                static_cast<long long>(g_iUnloadMs.load()));
    // Quick: waiting for the session thread, which waits for this very
    // procedure, could only burn the bound.
    EXPECT_LT(g_iUnloadMs.load(), 800);
    EXPECT_FALSE(Library::StillLoaded());
    EXPECT_TRUE(Library::CoreStillLoaded());
    ExpectCloseLinesInOrder();
    // The session thread comes back from the procedure and ends.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    // The set-up under way as the notice came may connect; a stopped library
    // starts no other.
    EXPECT_LE(server_.Connections(), 2);
    ExpectTheKeptLibraryServesAgain();
}

}  // namespace

// The library's front found beside no core: it says so on the standard
// error, and every export answers as the library's boundary does on an
// internal failure (SetMessageWnd 0, Download_File_EX 1, the others -9).
TEST(Front, WithoutItsCoreEveryExportFailsAndTheReasonIsPrinted) {
    testutil::TempDir dir;
    std::string front = dir.File("libVorel.so");
    std::filesystem::copy_file(VOREL_LIBRARY_PATH, front);
    std::string errors = dir.File("stderr");
    fflush(stderr);
    int iSaved = dup(2);
    FILE* pErrors = fopen(errors.c_str(), "w");
    ASSERT_NE(pErrors, nullptr);
    dup2(fileno(pErrors), 2);
    loader::VorelExports lib;
    std::string error;
    void* pHandle = loader::OpenVorel(front, &lib, &error);
    fflush(stderr);
    dup2(iSaved, 2);
    close(iSaved);
    fclose(pErrors);
    ASSERT_NE(pHandle, nullptr) << error;
    EXPECT_EQ(testutil::ReadFile(errors).rfind(
                  "libVorel.so: cannot load " + dir.File("libVorelCore.so") + ": ", 0),
              0u)
        << testutil::ReadFile(errors);

    char text[] = "300 1 x";
    char buffer[256];
    int iType = 0;
    char host[] = "127.0.0.1";
    EXPECT_EQ(lib.Write_Message1(300, text, 0), -9);
    EXPECT_EQ(lib.Read_Message1(300, buffer, sizeof(buffer), 0, 1), -9);
    EXPECT_EQ(lib.Read_Message2(&iType, buffer, sizeof(buffer), 0, 0), -9);
    EXPECT_EQ(lib.DownloadFile("http://127.0.0.1:1/x", dir.File("x").c_str()), -9);
    EXPECT_EQ(lib.Download_File_EX("http://127.0.0.1:1/x", dir.File("x").c_str()), 1);
    EXPECT_EQ(lib.init(host, 1), -9);
    EXPECT_EQ(lib.SetMessageWnd(nullptr), 0);
    dlclose(pHandle);
}
