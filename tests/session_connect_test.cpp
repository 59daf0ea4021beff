// Connection set-up and ReConnect without a session thread: the results and
// lines of InitSocket, the table reset, the lost-connection notice and the
// reconnect thread's handle.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/testing.h"
#include "platform/thread.h"
#include "session/connect.h"
#include "session/outbound.h"
#include "session/session_thread.h"
#include "session/testing.h"
#include "util/engine_fixture.h"
#include "util/lock_checks.h"
#include "util/session_fixture.h"
#include "util/session_state_fixture.h"
#include "vorel/vorel.h"
#include "vorel/vorel_window.h"

namespace {

using testutil::WaitReal;

// Holds a lock on a thread of its own while it lives, so that the engine's
// set-ups wait for it while the test's thread, which calls what must run
// under no lock of the engine, holds none. Its waits are in real time: it
// never moves a test clock.
class LockHeldElsewhere {
public:
    explicit LockHeldElsewhere(KThreadMutex& lock)
        : holder_([this, &lock] {
              KMutexAdaptor<KThreadMutex> guard(lock, -1);
              bHeld_ = true;
              while (!bRelease_) platform::SleepRealMs(1);
          }) {
        while (!bHeld_) platform::SleepRealMs(1);
    }
    ~LockHeldElsewhere() {
        bRelease_ = true;
        holder_.join();
    }
    LockHeldElsewhere(const LockHeldElsewhere&) = delete;
    LockHeldElsewhere& operator=(const LockHeldElsewhere&) = delete;

private:
    std::atomic<bool> bHeld_{false};
    std::atomic<bool> bRelease_{false};
    std::thread holder_;
};

class SessionConnect : public testutil::EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        platform::SocketHandle s = platform::SocketListenLoopback(0, &wDeadPort_);
        platform::SocketClose(s);  // nobody listens there
        live_ = platform::SocketListenLoopback(0, &wLivePort_);
    }
    void TearDown() override {
        EngineFixture::TearDown();
        platform::SocketClose(live_);
    }
    std::string Address(const char* szHost, uint16_t wPort) {
        return std::string(szHost) + " " + std::to_string(wPort);
    }

    uint16_t wDeadPort_ = 0;
    uint16_t wLivePort_ = 0;
    platform::SocketHandle live_ = platform::kInvalidSocket;
};

TEST_F(SessionConnect, UnreachableWithTheSameConfigurationIsMinusThree) {
    WriteConfigValue(Address("127.0.0.1", wDeadPort_));
    ClientEngine& engine = CreateEngine();
    engine.connection.iSetupFlag = 0;
    EXPECT_EQ(InitSocket(engine), -3);
    EXPECT_EQ(engine.connection.hSocket.load(), platform::kInvalidSocket);
    EXPECT_EQ(engine.connection.iSetupFlag.load(), 1);
    EXPECT_TRUE(
        LogHas("---InitSocket---error2---严重错误,无法连接到 注册/登录服务器---: 127.0.0.1," +
               std::to_string(wDeadPort_)));
}

TEST_F(SessionConnect, AConfigurationNamingAnotherDottedAddressIsTriedAtOnce) {
    WriteConfigValue(Address("127.0.0.1", wDeadPort_));
    ClientEngine& engine = CreateEngine();
    WriteConfigValue(Address("127.0.0.1", wLivePort_));
    EXPECT_EQ(InitSocket(engine), 0);
    EXPECT_NE(engine.connection.hSocket.load(), platform::kInvalidSocket);
    // Another host alone, the port unchanged, is tried at once as well
    // (nobody listens on 127.0.0.2).
    WriteConfigValue(Address("127.0.0.2", wLivePort_));
    EXPECT_EQ(engine.ReadConfigFile(), 0);
    WriteConfigValue(Address("127.0.0.1", wLivePort_));
    EXPECT_EQ(InitSocket(engine), 0);
    EXPECT_NE(engine.connection.hSocket.load(), platform::kInvalidSocket);
    // A retry that fails as well leaves no socket behind, and its line.
    uint16_t wOtherDeadPort = 0;
    platform::SocketClose(platform::SocketListenLoopback(0, &wOtherDeadPort));
    WriteConfigValue(Address("127.0.0.1", wDeadPort_));
    EXPECT_EQ(engine.ReadConfigFile(), 0);
    WriteConfigValue(Address("127.0.0.1", wOtherDeadPort));
    EXPECT_EQ(InitSocket(engine), -2);
    EXPECT_EQ(engine.connection.hSocket.load(), platform::kInvalidSocket);
    EXPECT_TRUE(
        LogHas("---InitSocket---error1---严重错误,无法连接到 注册/登录服务器---: 127.0.0.1," +
               std::to_string(wOtherDeadPort)));
}

// Each set-up releases the connection before it, so the server sees it end,
// and starts the new one without a key, ready to ask for one at once.
TEST_F(SessionConnect, EachSetUpReleasesTheOldConnectionAndEmptiesTheSession) {
    WriteConfigValue(Address("127.0.0.1", wLivePort_));
    ClientEngine& engine = CreateEngine();
    ASSERT_EQ(InitSocket(engine), 0);
    platform::SocketHandle first = platform::SocketAccept(live_);
    {
        KMutexAdaptor<KThreadMutex> guard(engine.connection.lockKey, -1);
        std::strcpy(engine.connection.szSessionKey, "key-of-the-first");
    }
    engine.connection.iTimeFlag = platform::NowSeconds32();
    ASSERT_EQ(InitSocket(engine), 0);
    platform::SocketHandle second = platform::SocketAccept(live_);
    EXPECT_NE(second, platform::kInvalidSocket);
    // The server reads the end of the connection (never blocking on one
    // left open).
    bool bEnded = WaitReal(
        [first] {
            bool bReadable = false;
            platform::SocketPoll(first, &bReadable, nullptr);
            return bReadable;
        },
        2000);
    char c = 0;
    EXPECT_TRUE(bEnded && platform::SocketRecv(first, &c, 1) == 0);
    char szKey[40];
    engine.connection.GetSessionKey(szKey);
    EXPECT_STREQ(szKey, "");
    EXPECT_EQ(engine.connection.iTimeFlag.load(), 0);
    platform::SocketClose(first);
    platform::SocketClose(second);
}

TEST_F(SessionConnect, AConfigurationNamingAHostByNameFailsItsRetry) {
    WriteConfigValue(Address("127.0.0.1", wDeadPort_));
    ClientEngine& engine = CreateEngine();
    WriteConfigValue(Address("localhost", wLivePort_));
    EXPECT_EQ(InitSocket(engine), -2);
    EXPECT_TRUE(
        LogHas("---InitSocket---error1---严重错误,无法连接到 注册/登录服务器---: localhost," +
               std::to_string(wLivePort_)));
    // The next set-up resolves the name in its first attempt.
    EXPECT_EQ(InitSocket(engine), 0);
}

TEST_F(SessionConnect, AnAddressFromInitThatCannotBeReachedIsMinusElevenQuietly) {
    ClientEngine& engine = CreateEngine();  // no configuration file
    int iMissingLines = CountLogLines(
        "---ReadConfigFile---error---严重错误,配置文件,缺少配置项[Lumaro_COM:ConfigInfo]---" +
        ConfigPath());
    std::string host = "127.0.0.1";
    EXPECT_EQ(init(host.data(), wDeadPort_), -2);  // no session thread raises the flag
    EXPECT_EQ(InitSocket(engine), -11);
    EXPECT_EQ(
        CountLogLines(
            "---ReadConfigFile---error---严重错误,配置文件,缺少配置项[Lumaro_COM:ConfigInfo]---" +
            ConfigPath()),
        iMissingLines);
    EXPECT_FALSE(
        LogHas("---InitSocket---error2---严重错误,无法连接到 注册/登录服务器---: 127.0.0.1," +
               std::to_string(wDeadPort_)));
    // Released, so that the session's next pass fails its poll and tries again.
    EXPECT_EQ(engine.connection.hSocket.load(), platform::kInvalidSocket);
}

TEST_F(SessionConnect, StoppingEnginesSetUpNothing) {
    WriteConfigValue(Address("127.0.0.1", wLivePort_));
    ClientEngine& engine = CreateEngine();
    engine.iRunState = 0;
    engine.connection.iSetupFlag = 0;
    EXPECT_EQ(InitSocket(engine), -8);
    EXPECT_EQ(engine.connection.iSetupFlag.load(), 1);
    EXPECT_EQ(engine.connection.hSocket.load(), platform::kInvalidSocket);
    engine.iRunState = 1;
}

// The lookup stands for the system's: it fails, or it resolves the name to
// the loopback address while the engine is told to stop.
ClientEngine* g_pStoppedInLookup = nullptr;
int FailingLookup(const char*, uint32_t*) { return 0; }
int ThrowingLookup(const char*, uint32_t*) { throw std::runtime_error("lookup"); }
int LookupDuringWhichANewerSetUpBegins(const char*, uint32_t* pAddrNet) {
    ReserveSetUp(*g_pStoppedInLookup);
    return platform::ParseDottedAddress("127.0.0.1", pAddrNet) ? 1 : 0;
}
int LookupDuringWhichTheEngineStops(const char*, uint32_t* pAddrNet) {
    g_pStoppedInLookup->iRunState = 0;
    return platform::ParseDottedAddress("127.0.0.1", pAddrNet) ? 1 : 0;
}

// A set-up whose lookup fails, or whose connect fails once the engine is
// stopping, ends without the configuration's second chance or its line.
TEST_F(SessionConnect, ALookupThatFailsIsMinusTwoOneThatThrowsMinusNineAStopMinusEight) {
    WriteConfigValue(Address("127.0.0.1", wDeadPort_));
    ClientEngine& engine = CreateEngine();
    platform_testing::SetResolveHook(FailingLookup);
    EXPECT_EQ(InitSocket(engine), -2);
    EXPECT_EQ(engine.connection.hSocket.load(), platform::kInvalidSocket);
    // An exception inside the set-up: its line, -9, and no lock left held.
    platform_testing::SetResolveHook(ThrowingLookup);
    EXPECT_EQ(InitSocket(engine), -9);
    EXPECT_TRUE(LogHas("---InitSocket---error---严重错误,---try,catch---"));
    EXPECT_EQ(InitSocket(engine), -9);  // lockSetup and the table's lock were left
    g_pStoppedInLookup = &engine;
    // Overtaken during its lookup: it gives its socket up.
    platform_testing::SetResolveHook(LookupDuringWhichANewerSetUpBegins);
    EXPECT_EQ(InitSocket(engine), -8);
    EXPECT_EQ(engine.connection.hSocket.load(), platform::kInvalidSocket);
    platform_testing::SetResolveHook(LookupDuringWhichTheEngineStops);
    EXPECT_EQ(InitSocket(engine), -8);
    platform_testing::SetResolveHook(nullptr);
    engine.iRunState = 1;
    EXPECT_FALSE(
        LogHas("---InitSocket---error1---严重错误,无法连接到 注册/登录服务器---: 127.0.0.1," +
               std::to_string(wDeadPort_)));
    EXPECT_FALSE(
        LogHas("---InitSocket---error2---严重错误,无法连接到 注册/登录服务器---: 127.0.0.1," +
               std::to_string(wDeadPort_)));
}

// A set-up overtaken by a newer one before it began leaves the session as
// it is: the connection, its key and the mark of the last emptying.
TEST_F(SessionConnect, ASetUpOvertakenBeforeItBeganLeavesTheSessionAlone) {
    WriteConfigValue(Address("127.0.0.1", wLivePort_));
    ClientEngine& engine = CreateEngine();
    ASSERT_EQ(InitSocket(engine), 0);
    platform::SocketHandle accepted = platform::SocketAccept(live_);
    {
        KMutexAdaptor<KThreadMutex> guard(engine.connection.lockKey, -1);
        std::strcpy(engine.connection.szSessionKey, "key-of-the-session");
    }
    platform::SocketHandle s = engine.connection.hSocket.load();
    int32_t iEmptied = engine.connection.iEmptiedSerial.load();
    int32_t iStale = ReserveSetUp(engine);
    ReserveSetUp(engine);
    EXPECT_EQ(InitSocket(engine, iStale), -8);
    EXPECT_EQ(engine.connection.hSocket.load(), s);
    char szKey[40];
    engine.connection.GetSessionKey(szKey);
    EXPECT_STREQ(szKey, "key-of-the-session");
    EXPECT_EQ(engine.connection.iEmptiedSerial.load(), iEmptied);
    platform::SocketClose(accepted);

    // Overtaken later, while it waits for the address: -8, and its own
    // socket is released.
    std::atomic<int> iResult{1};
    std::thread setUp;
    {
        LockHeldElsewhere address(engine.address.Lock());
        setUp = std::thread([&engine, &iResult] { iResult = InitSocket(engine); });
        EXPECT_TRUE(
            WaitReal([&] { return engine.connection.iEmptiedSerial.load() != iEmptied; }, 5000));
        ReserveSetUp(engine);
    }
    setUp.join();
    EXPECT_EQ(iResult.load(), -8);
    EXPECT_EQ(engine.connection.hSocket.load(), platform::kInvalidSocket);
}

TEST_F(SessionConnect, OnlySetUpsFiveSecondsAfterCreationAndAfterAConnectionEmptyTheTable) {
    WriteConfigValue(Address("127.0.0.1", wLivePort_));
    UseManualClock();
    ClientEngine& engine = CreateEngine();
    char szText[] = "300 4 queued";
    ASSERT_EQ(Write_Message1(300, szText, 0), 1);
    EXPECT_EQ(InitSocket(engine), 0);
    EXPECT_TRUE(testutil::InspectQueue(engine.queues, "send+4").bExists);
    Clock().AdvanceSeconds(5);
    EXPECT_EQ(InitSocket(engine), 0);
    EXPECT_FALSE(testutil::InspectQueue(engine.queues, "send+4").bExists);
    EXPECT_EQ(Write_Message1(300, szText, 0), 1);  // a fresh table takes new requests
    // That set-up connected: the next one empties the table even though it
    // fails. The set-ups that follow no connection keep what the game queued
    // meanwhile for the connection to come.
    WriteConfigValue(Address("127.0.0.1", wDeadPort_));
    engine.ReadConfigFile();
    EXPECT_EQ(InitSocket(engine), -3);
    EXPECT_FALSE(testutil::InspectQueue(engine.queues, "send+4").bExists);
    ASSERT_EQ(Write_Message1(300, szText, 0), 1);
    EXPECT_EQ(InitSocket(engine), -3);
    WriteConfigValue(Address("127.0.0.1", wLivePort_));
    engine.ReadConfigFile();
    EXPECT_EQ(InitSocket(engine), 0);
    EXPECT_TRUE(testutil::InspectQueue(engine.queues, "send+4").bExists);
}

// A later set-up frees every held answer, up to 64 MiB, which takes tens of
// milliseconds: nothing of the old table is freed while the table's lock is held,
// so no game call waits for it.
TEST_F(SessionConnect, ASetUpFreesTheOldTableOnceTheTableLockIsLeft) {
    WriteConfigValue(Address("127.0.0.1", wLivePort_));
    UseManualClock();
    ClientEngine& engine = CreateEngine();
    char szText[] = "300 4 queued";
    for (int i = 0; i < 3; ++i) ASSERT_EQ(Write_Message1(300, szText, 0), 1);
    EXPECT_EQ(InitSocket(engine), 0);  // a connection: the table may now hold stale messages
    Clock().AdvanceSeconds(5);
    {
        testutil::TableLockWhileFreeing watch(engine.queues);
        EXPECT_EQ(InitSocket(engine), 0);
        EXPECT_GE(watch.Entries(), 7) << "the queue, its three requests and their packets";
        EXPECT_EQ(watch.Blocked(), 0) << "freed under the table's lock";
    }
    EXPECT_FALSE(testutil::InspectQueue(engine.queues, "send+4").bExists);
    EXPECT_EQ(Write_Message1(300, szText, 0), 1);
}

std::atomic<int> g_iNotices{0};

intptr_t CountNotices(HWND, unsigned int uMsg, uintptr_t, intptr_t lParam) {
    if (uMsg == WM_COPYDATA && reinterpret_cast<const COPYDATASTRUCT*>(lParam)->dwData == 95)
        ++g_iNotices;
    return 0;
}

TEST_F(SessionConnect, TheLostConnectionNoticeNeedsALoggedOnUserAndAWindow) {
    ClientEngine& engine = CreateEngine();
    HWND hWnd = VorelCreateWindow(CountNotices, nullptr);
    engine.logon.hGameWnd = hWnd;
    g_iNotices = 0;
    struct Case {
        int iConnect, iStatus, iLoginFlag;
        bool bWindow;
        int iNotices, iStatusAfter;
    } cases[] = {
        {0, 1, 1, true, 1, 2},   // the notice, and the status becomes 2
        {1, 1, 1, true, 0, 2},   // after the server's own notice: none, still 2
        {0, 1, 0, true, 0, 2},   // logged off
        {0, 1, 1, false, 0, 2},  // no window
        {0, 0, 1, true, 0, 0},   // never logged on
        {0, 2, 1, true, 0, 2},   // already lost
    };
    for (const Case& c : cases) {
        g_iNotices = 0;
        engine.logon.iUserStatus1 = c.iStatus;
        engine.logon.iLoginFlag = c.iLoginFlag;
        engine.logon.hGameWnd = c.bWindow ? hWnd : nullptr;
        EXPECT_EQ(ReConnect(engine, c.iConnect), 0);
        EXPECT_EQ(g_iNotices.load(), c.iNotices)
            << c.iConnect << c.iStatus << c.iLoginFlag << c.bWindow;
        EXPECT_EQ(engine.logon.iUserStatus1.load(), c.iStatusAfter);
    }
    EXPECT_TRUE(LogHas("---ReConnect---iConnect=1, IsWindow(hGameWnd)=1, iUserStatus1=1"));
    EXPECT_TRUE(LogHas("---ReConnect---iConnect=0, IsWindow(hGameWnd)=0, iUserStatus1=1"));
    // A library being unloaded tells the game nothing more.
    g_iNotices = 0;
    engine.logon.iUserStatus1 = 1;
    engine.logon.iLoginFlag = 1;
    engine.logon.hGameWnd = hWnd;
    engine.RequestStop();
    EXPECT_EQ(ReConnect(engine, 0), 0);
    EXPECT_EQ(g_iNotices.load(), 0);
    EXPECT_EQ(engine.logon.iUserStatus1.load(), 2);
    VorelDestroyWindow(hWnd);
}

// The server's disconnect notice waits for the new set-up to empty the
// session, but not for one that a newer set-up overtook before it began:
// that one never will.
testutil::ScopedTestClock* g_pNoticeClock = nullptr;
std::atomic<int64_t> g_iNoticeMs{-1};
intptr_t TimeDisconnectNotice(HWND, unsigned int uMsg, uintptr_t, intptr_t lParam) {
    if (uMsg == WM_COPYDATA && reinterpret_cast<const COPYDATASTRUCT*>(lParam)->dwData == 96)
        g_iNoticeMs = g_pNoticeClock->ElapsedMs();
    return 0;
}
ClientEngine* g_pOvertaken = nullptr;
std::atomic<bool> g_bOvertakeAtNextLine{false};
void OvertakeAtTheNextLine() {
    if (g_bOvertakeAtNextLine.exchange(false)) ReserveSetUp(*g_pOvertaken);
}

TEST_F(SessionConnect, TheDisconnectNoticeWaitsNotForASetUpOvertakenBeforeItBegan) {
    UseManualClock();
    ClientEngine& engine = CreateEngine();
    HWND hWnd = VorelCreateWindow(TimeDisconnectNotice, nullptr);
    engine.logon.hGameWnd = hWnd;
    engine.logon.iUserStatus1 = 1;
    engine.logon.iLoginFlag = 1;
    g_pNoticeClock = &Clock();
    g_pOvertaken = &engine;
    // The set-up's thread is refused once; as the refusal is logged, a newer
    // set-up begins, and the thread started a second later is stale.
    platform_testing::RefuseThreads(1);
    g_bOvertakeAtNextLine = true;
    Clock().SetLocalTimeObserver(OvertakeAtTheNextLine);
    int64_t iStart = Clock().ElapsedMs();
    EXPECT_EQ(ReConnect(engine, 1), 0);
    Clock().SetLocalTimeObserver(nullptr);
    EXPECT_FALSE(g_bOvertakeAtNextLine.load());
    EXPECT_EQ(g_iNoticeMs.load() - iStart, 1000) << "the notice waited for the stale set-up";
    EXPECT_TRUE(WaitReal([&engine] { return engine.threads.iReconnectThreads.load() == 0; }, 5000));
    VorelDestroyWindow(hWnd);
}

TEST_F(SessionConnect, AnOlderReconnectThreadNeverClosesItsSuccessorsHandle) {
    ClientEngine& engine = CreateEngine();
    int iThreadsBefore = platform::ThreadsRunning();
    {
        // Set-ups wait for this lock: both reconnect threads stay alive.
        LockHeldElsewhere hold(engine.connection.lockSetup);
        ReConnect(engine, 0);
        ReConnect(engine, 0);
        EXPECT_TRUE(LogHas("---error---hThread3!=NULL---"));
        EXPECT_NE(engine.threads.hThread3.load(), nullptr);
    }
    ASSERT_TRUE(platform::ThreadsWaitRunningAtMost(iThreadsBefore, 5000));
    EXPECT_EQ(engine.threads.hThread3.load(), nullptr);
    EXPECT_EQ(engine.connection.iSetupInProgress.load(), 0);
}

// ReConnect pauses and calls the game's window, whose procedure may call the
// exports: a caller holding a lock of the engine stops at once instead of
// hanging the game now and then.
TEST_F(SessionConnect, ReConnectUnderALockOfTheEngineAborts) {
    SKIP_WITHOUT_LOCK_CHECKS();
    ClientEngine& engine = CreateEngine();
    for (KThreadMutex* pLock : {&engine.connection.lockSetup, &engine.queues.LockForTesting(),
                                &engine.queues.CounterLockForTesting(), &engine.address.Lock(),
                                &engine.connection.lockKey}) {
        EXPECT_DEATH(
            {
                KMutexAdaptor<KThreadMutex> guard(*pLock, -1);
                ReConnect(engine, 0);
            },
            "the calling thread holds the lock");
    }
    EXPECT_DEATH(
        {
            KMutexAdaptor<KThreadMutex> guard(engine.connection.lockSetup, -1);
            SessionSleep(engine, 1);
        },
        "the calling thread holds the lock");
}

// Windows rounds every sleep up to its timer tick, about 15.6 ms: pauses
// counted in numbers of 10 ms sleeps ran half as long again there.
TEST_F(SessionConnect, PausesKeepTheirLengthWhenEverySleepRunsLong) {
    UseManualClock();
    ClientEngine& engine = CreateEngine();
    Clock().SetSleepGranularityMs(16);
    for (uint32_t dwMs : {30u, 150u, 500u, 1000u}) {
        int64_t iStart = Clock().ElapsedMs();
        SessionSleep(engine, dwMs);
        int64_t iTook = Clock().ElapsedMs() - iStart;
        EXPECT_GE(iTook, dwMs);
        EXPECT_LT(iTook, dwMs + 16) << "a pause of " << dwMs << " ms";
    }
    // ReConnect's own pauses: 1.1 s on the clock. Its set-up waits for the
    // lock meanwhile, so that no other thread moves this clock.
    int64_t iStart = Clock().ElapsedMs();
    {
        LockHeldElsewhere hold(engine.connection.lockSetup);
        ReConnect(engine, 0);
        EXPECT_GE(Clock().ElapsedMs() - iStart, 1100);
        EXPECT_LT(Clock().ElapsedMs() - iStart, 1100 + 2 * 16);
    }
    ASSERT_TRUE(platform::ThreadsWaitRunningAtMost(0, 5000));
    // A refused reconnect thread is tried again a second later.
    platform_testing::RefuseThreads(2);
    iStart = Clock().ElapsedMs();
    {
        LockHeldElsewhere hold(engine.connection.lockSetup);
        ReConnect(engine, 0);
        EXPECT_GE(Clock().ElapsedMs() - iStart, 3100);
        EXPECT_LT(Clock().ElapsedMs() - iStart, 3100 + 4 * 16);
    }
    ASSERT_TRUE(platform::ThreadsWaitRunningAtMost(0, 5000));
    // init's wait for a set-up that never comes (no session thread here):
    // five seconds, not five hundred sleeps.
    std::string host = "127.0.0.1";
    iStart = Clock().ElapsedMs();
    EXPECT_EQ(init(host.data(), wDeadPort_), -2);
    int64_t iTook = Clock().ElapsedMs() - iStart;
    EXPECT_GE(iTook, 5000);
    EXPECT_LT(iTook, 5000 + 16);
}

// A stopping engine never spins on a refused thread: ReConnect gives up.
TEST_F(SessionConnect, ARefusedReconnectThreadIsNotRetriedOnceStopping) {
    ClientEngine& engine = CreateEngine();
    auto Refusals = [this] {
        int iRefusals = 0;
        for (const std::string& line : LogLines())
            iRefusals += line.rfind("---error---严重错误---创建线程2失败: ", 0) == 0 ? 1 : 0;
        return iRefusals;
    };
    platform_testing::RefuseThreads(100000);
    std::atomic<bool> bReturned{false};
    std::thread session([&] {
        ReConnect(engine, 0);
        bReturned = true;
    });
    // Refused and retried once a second of the (fast) clock while running.
    ASSERT_TRUE(WaitReal([&] { return Refusals() >= 3; }, 5000));
    engine.iRunState = 0;
    EXPECT_TRUE(WaitReal([&] { return bReturned.load(); }, 2000));
    int iRefusals = Refusals();
    session.join();
    platform_testing::RefuseThreads(0);
    EXPECT_LT(iRefusals, 100) << "retried without pause once stopping";
    EXPECT_EQ(engine.threads.hThread3.load(), nullptr);
    EXPECT_FALSE(CurrentSetUpRunning(engine));
    EXPECT_EQ(engine.threads.iReconnectThreads.load(), 0);
    // Stopped, no thread is even tried.
    ReConnect(engine, 0);
    EXPECT_EQ(Refusals(), iRefusals);
    engine.iRunState = 1;
}

// ---- ReConnect holds no lock: its pauses and its notice -------------------

// What a game's window procedure saw when told of a lost connection. The
// procedure reads on another thread, as a game's window belongs to its own
// thread: a lock still held by the notifying thread holds that read up.
struct NoticeSeen {
    std::atomic<int> iNotices{0};
    std::atomic<int> iStatus{-1};  // iUserStatus1 inside the procedure
    std::atomic<int> iRead{-100};  // Read_Message2 inside it, timeout 0
    std::atomic<bool> bReadInTime{false};
    std::mutex readersLock;
    std::vector<std::thread> readers;

    // Once the notifying thread has let go of whatever it held.
    void JoinReaders() {
        std::lock_guard<std::mutex> guard(readersLock);
        for (std::thread& reader : readers) reader.join();
        readers.clear();
    }
    ~NoticeSeen() { JoinReaders(); }
};
NoticeSeen* g_pNoticeSeen = nullptr;

intptr_t ReadOnLostConnection(HWND, unsigned int uMsg, uintptr_t, intptr_t lParam) {
    if (uMsg != WM_COPYDATA || reinterpret_cast<const COPYDATASTRUCT*>(lParam)->dwData != 95)
        return 0;
    NoticeSeen& seen = *g_pNoticeSeen;
    ++seen.iNotices;
    seen.iStatus = GetEngine()->logon.iUserStatus1.load();
    auto pDone = std::make_shared<std::atomic<bool>>(false);
    std::thread reader([&seen, pDone] {
        int iType = 0;
        char buffer[512];
        seen.iRead = Read_Message2(&iType, buffer, sizeof(buffer), 0, 0);
        *pDone = true;
    });
    seen.bReadInTime = WaitReal([&pDone] { return pDone->load(); }, 5000);
    std::lock_guard<std::mutex> guard(seen.readersLock);
    seen.readers.push_back(std::move(reader));
    return 1;
}

// The three places where the session thread hands a connection to ReConnect
// while it works on the queue table. It leaves the table's lock first, so a game
// thread's calls go through while ReConnect pauses, and the game's window
// procedure may call the exports when told.
enum class LostBy { kFailedSend, kAnswerWithoutRequestQueue, kChangedConfiguration };

class ReConnectWithoutTheTableLock : public testutil::SessionStateFixture,
                                     public ::testing::WithParamInterface<LostBy> {
protected:
    static int RealReConnect(ClientEngine& engine, int iConnect) {
        return ReConnect(engine, iConnect);
    }
    // The step that finds the loss, on the session thread; and the line that
    // it writes after ReConnect's own.
    std::function<void()> Step(std::string* pLine) {
        ClientEngine& engine = Engine();
        switch (GetParam()) {
            case LostBy::kFailedSend:
                SetKey("K3y-7f2a9c");
                ConnectPeer();
                EXPECT_EQ(Request(300, "300 2 reset"), 1);
                platform_testing::InjectSocketFault(engine.connection.hSocket.load(),
                                                    platform_testing::SocketOp::kSend,
                                                    platform::kWsaConnectionReset, 1);
                *pLine = "线程2---发送数据---error---1---:(-1,";
                return [this] { WriteStep(Engine(), State()); };
            case LostBy::kAnswerWithoutRequestQueue:
                *pLine = "线程2---READ---error---9---:";
                return [this] { Feed(Answer(300, "300 9 nobody asked")); };
            case LostBy::kChangedConfiguration: {
                platform::SocketHandle s = platform::SocketListenLoopback(0, &wPort_);
                platform::SocketClose(s);  // nobody listens there
                WriteConfigValue("127.0.0.1 " + std::to_string(wPort_));
                *pLine = "线程2---配置文件被更新---warn---重新连接sokcet---new:127.0.0.1," +
                         std::to_string(wPort_);
                return [this] { RunMaintenance(Engine(), State()); };
            }
        }
        return [] {};
    }
    int LineIndex(const std::string& start) const {
        std::vector<std::string> lines = LogLines();
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].rfind(start, 0) == 0) return static_cast<int>(i);
        }
        return -1;
    }
    uint16_t wPort_ = 0;
};

TEST_P(ReConnectWithoutTheTableLock, TheGamesCallsGoThroughWhileItPauses) {
    ClientEngine& engine = Engine();
    vorel_testing::SetReConnectStandIn(RealReConnect);
    NoticeSeen seen;
    g_pNoticeSeen = &seen;
    HWND hWnd = VorelCreateWindow(ReadOnLostConnection, nullptr);
    engine.logon.hGameWnd = hWnd;
    engine.logon.iUserStatus1 = 1;  // logged on: reads look into the table
    engine.logon.iLoginFlag = 1;
    std::string causeLine;
    std::function<void()> step = Step(&causeLine);
    ClearLog();

    // ReConnect's first pause is held until the game's calls are done.
    Clock().HoldWaits(true);
    std::thread session(step);
    bool bPaused = WaitReal([this] { return Clock().HeldWaits() == 1; }, 10000);
    std::atomic<bool> bGameDone{false};
    std::atomic<int> iWrite{0}, iRead{-100};
    std::thread game([&] {
        iWrite = Request(300, "300 5 while it pauses");
        char buffer[256];
        iRead = Read_Message1(300, buffer, sizeof(buffer), 0, 5);
        bGameDone = true;
    });
    bool bGameInTime = bPaused && WaitReal([&] { return bGameDone.load(); }, 5000);
    bool bStillPaused = Clock().HeldWaits() == 1;
    Clock().HoldWaits(false);
    game.join();
    session.join();
    seen.JoinReaders();

    ASSERT_TRUE(bPaused) << "ReConnect never paused";
    EXPECT_TRUE(bGameInTime && bStillPaused) << "a game thread waited for ReConnect's pauses";
    EXPECT_EQ(iWrite.load(), 1);
    EXPECT_EQ(iRead.load(), 0);
    // The notice came with no lock held, before the log-on was marked lost.
    EXPECT_EQ(seen.iNotices.load(), 1);
    EXPECT_TRUE(seen.bReadInTime.load());
    EXPECT_EQ(seen.iStatus.load(), 1);
    EXPECT_EQ(seen.iRead.load(), 0);  // served: nothing pushed, not refused with -9
    EXPECT_EQ(engine.logon.iUserStatus1.load(), 2);
    int iType = 0;
    char buffer[256];
    EXPECT_EQ(Read_Message2(&iType, buffer, sizeof(buffer), 0, 0), -9);
    // The lines as ever: ReConnect's, then the cause's.
    int iReConnectLine =
        LineIndex("---ReConnect---iConnect=0, IsWindow(hGameWnd)=1, iUserStatus1=1");
    EXPECT_GE(iReConnectLine, 0);
    EXPECT_GT(LineIndex(causeLine), iReConnectLine) << causeLine;
    VorelDestroyWindow(hWnd);
    g_pNoticeSeen = nullptr;
}

INSTANTIATE_TEST_SUITE_P(EveryCause, ReConnectWithoutTheTableLock,
                         ::testing::Values(LostBy::kFailedSend, LostBy::kAnswerWithoutRequestQueue,
                                           LostBy::kChangedConfiguration),
                         [](const ::testing::TestParamInfo<LostBy>& info) {
                             switch (info.param) {
                                 case LostBy::kFailedSend:
                                     return "AFailedSend";
                                 case LostBy::kAnswerWithoutRequestQueue:
                                     return "AnAnswerWithoutARequestQueue";
                                 case LostBy::kChangedConfiguration:
                                     return "AChangedConfiguration";
                             }
                             return "";
                         });

}  // namespace
