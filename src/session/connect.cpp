// Connection set-up (InitSocket), the address from `init`
// (SetServerAddress) and the answer to a lost connection (ReConnect, which
// runs the set-up on a ReconnectThread).
//
// Sharing the socket. hSocket is an atomic socket number; numbers are never
// reused, and closing a socket while another thread is inside a call on it
// wakes that call, which fails (the platform layer keeps the system socket
// until the call has left). A set-up works on its own socket in a local
// variable and clears hSocket only while it still holds that socket.
//
// Set-ups are numbered. Only the newest one may install its socket, raise
// iSetupFlag or log and act on its result; an older one still inside a name
// lookup or a connect when a newer one begins (after `init`, say) drops its
// socket and leaves quietly. lockSetup makes the emptying of the session
// and the installing of a socket one step each, and is never held across a
// lookup or a connect.
#include "session/connect.h"

#include <atomic>
#include <cstring>
#include <exception>

#include "base/log_file.h"
#include "base/threads.h"
#include "exchange/queue_table.h"
#include "platform/clock.h"
#include "platform/window.h"
#include "session/engine.h"
#include "session/session_state.h"
#include "session/testing.h"

namespace {

// What a reconnect thread knows of itself: its engine, the number of its
// set-up, and its own handle, published by ReConnect once creation has
// returned.
struct ReconnectSelf {
    ClientEngine* pEngine;
    int32_t iSerial;
    SlotSelf self;
};

// Releases the socket s and clears hSocket if it still names s.
void DropOwnSocket(ClientEngine& engine, platform::SocketHandle s) {
    platform::SocketHandle expected = s;
    engine.connection.hSocket.compare_exchange_strong(expected, platform::kInvalidSocket);
    platform::SocketClose(s);
}

uint32_t ReconnectThread(void* pArg) {
    ReconnectSelf* pSelf = static_cast<ReconnectSelf*>(pArg);
    ClientEngine& engine = *pSelf->pEngine;
    InitSocket(engine, pSelf->iSerial);
    pSelf->self.Leave(engine.threads.hThread3);
    delete pSelf;
    engine.threads.iReconnectThreads.fetch_sub(1);
    return 0;
}

// The set-up's steps; InitSocket marks its end whichever way they leave.
class ConnectionSetUp {
public:
    ConnectionSetUp(ClientEngine& engine, int32_t iSerial) : engine_(engine), iSerial_(iSerial) {}
    int Run();

private:
    bool Current() const { return engine_.connection.iSetupSerial.load() == iSerial_; }
    // Raises iSetupFlag for `init`, and copies the address this attempt
    // uses, only while this set-up is the newest: under lockAddress, where
    // `init` changes the address and draws its number.
    bool TakeAddress(char* szOutHost, int* piOutPort);
    // Makes s the engine's socket, unless a newer set-up or the engine's
    // stop came first; then s is closed and false returned.
    bool Install(platform::SocketHandle s);
    // The steps that empty the session for a new connection.
    void EmptySession();

    ClientEngine& engine_;
    int32_t iSerial_;
};

bool ConnectionSetUp::TakeAddress(char* szOutHost, int* piOutPort) {
    return engine_.address.Take(
        [this] {
            if (!Current()) return false;
            engine_.connection.iSetupFlag = 1;
            return true;
        },
        szOutHost, piOutPort);
}

bool ConnectionSetUp::Install(platform::SocketHandle s) {
    KMutexAdaptor<KThreadMutex> guard(engine_.connection.lockSetup, -1);
    if (Current() && engine_.iRunState.load() == 1) {
        engine_.connection.hSocket = s;
        return true;
    }
    platform::SocketClose(s);
    return false;
}

void ConnectionSetUp::EmptySession() {
    platform::SocketHandle sOld = engine_.connection.TakeSocket();
    if (sOld != platform::kInvalidSocket) platform::SocketClose(sOld);
    // Without a key, the session asks for one as soon as it can write.
    engine_.connection.ClearSessionKey();
    MarkNewConnectionForHeldAnswers();
    engine_.connection.iTimeFlag = 0;
    // A set-up in the engine's first 5 s keeps the table, and so does one
    // that follows no connection: nothing in the table can have gone out
    // yet, so nothing in it is stale (the first connection of an engine,
    // the set-ups while the server cannot be reached). Any other drops
    // every queued message. The old table is freed after it is swapped
    // out: freeing up to 64 MiB of held answers takes tens of milliseconds,
    // which no game call should wait for.
    if (platform::SecondsElapsed(engine_.tStart, 5) &&
        engine_.connection.bConnectedSinceReset.load()) {
        engine_.connection.bConnectedSinceReset = false;
        g_sessionStatics.iDeletedUnprocessed.fetch_add(engine_.queues.Replace());
    }
}

int ConnectionSetUp::Run() {
    {
        KMutexAdaptor<KThreadMutex> setupGuard(engine_.connection.lockSetup, -1);
        // A set-up overtaken before it began does nothing at all.
        if (!Current()) return -8;
        EmptySession();
        engine_.connection.iEmptiedSerial = iSerial_;
    }
    TakeAddress(nullptr, nullptr);
    if (engine_.iRunState.load() != 1) return -8;
    platform::SocketHandle s = platform::SocketCreate();
    if (s == platform::kInvalidSocket) return -1;
    char szAddressHost[ServerAddress::kHostSize];
    int iAddressPort = 0;
    if (!TakeAddress(szAddressHost, &iAddressPort)) {
        platform::SocketClose(s);
        return -8;
    }
    // In hSocket before the lookup and the connect, so that `init` and
    // shutdown can close it and so end a connect early.
    if (!Install(s)) return -8;
    uint32_t dwAddr = 0;
    bool bResolved = platform::ResolveHost(szAddressHost, &dwAddr);
    if (!Current()) {
        DropOwnSocket(engine_, s);
        return -8;
    }
    if (!bResolved) {
        DropOwnSocket(engine_, s);
        return -2;
    }
    // Bounded by the system's connect time-out; a close from another thread
    // (init, shutdown, a newer set-up) ends it early.
    if (platform::SocketConnect(s, dwAddr, static_cast<uint16_t>(iAddressPort & 0xFFFF)) == 0) {
        engine_.connection.bConnectedSinceReset = true;
        return 0;
    }
    if (engine_.iRunState.load() != 1) return -8;
    if (!Current()) {
        DropOwnSocket(engine_, s);
        return -8;
    }
    if (engine_.address.FromInit()) {
        // The unconnected socket would sit in the poll's neither set for
        // ever; releasing it makes the session's next pass fail its poll
        // and start the next attempt.
        DropOwnSocket(engine_, s);
        return -11;
    }
    // A second chance when the configuration file now names another server.
    char szOldHost[ServerAddress::kHostSize];
    std::memcpy(szOldHost, szAddressHost, sizeof(szOldHost));
    int iOldPort = iAddressPort;
    engine_.ReadConfigFile();
    char szNewHost[ServerAddress::kHostSize];
    int iNewPort = 0;
    engine_.address.Get(szNewHost, &iNewPort);
    if (std::memcmp(szNewHost, szOldHost, sizeof(szOldHost)) == 0 && iNewPort == iOldPort) {
        DropOwnSocket(engine_, s);
        WriteFileNew(LogFile(),
                     "---InitSocket---error2---严重错误,无法连接到 注册/登录服务器---: %s,%d\n",
                     szOldHost, iOldPort);
        return -3;
    }
    // The retry takes the new text as a dotted address, without a name
    // lookup. It goes out on a fresh socket: after a failed connect not
    // every system lets the same socket connect again.
    DropOwnSocket(engine_, s);
    uint32_t dwNewAddr = 0;
    if (platform::ParseDottedAddress(szNewHost, &dwNewAddr)) {
        s = platform::SocketCreate();
        if (s != platform::kInvalidSocket) {
            if (!Install(s)) return -8;
            if (platform::SocketConnect(s, dwNewAddr, static_cast<uint16_t>(iNewPort & 0xFFFF)) ==
                0) {
                engine_.connection.bConnectedSinceReset = true;
                return 0;
            }
            DropOwnSocket(engine_, s);
            if (!Current()) return -8;
        }
    }
    WriteFileNew(LogFile(),
                 "---InitSocket---error1---严重错误,无法连接到 注册/登录服务器---: %s,%d\n",
                 szNewHost, iNewPort);
    return -2;
}

}  // namespace

int32_t ReserveSetUp(ClientEngine& engine) {
    int32_t iSerial = engine.connection.iSetupSerial.fetch_add(1) + 1;
    engine.connection.iSetupInProgress = iSerial;
    return iSerial;
}

bool CurrentSetUpRunning(const ClientEngine& engine) {
    int32_t iRunning = engine.connection.iSetupInProgress.load();
    return iRunning != 0 && iRunning == engine.connection.iSetupSerial.load();
}

int SetServerAddress(ClientEngine& engine, const char* szHostIn, int iPortIn) {
    // Rejected arguments change nothing.
    if (szHostIn == nullptr) return -1;
    size_t iLength = strnlen(szHostIn, ServerAddress::kHostSize);
    if (iLength < 7 || iLength >= ServerAddress::kHostSize) return -1;
    uint32_t dwPort = static_cast<uint32_t>(iPortIn);
    if (dwPort < 1 || dwPort > 65535) return -1;
    // Flag and address change together under lockAddress, so that a
    // configuration run racing with this call cannot overwrite them. The new
    // number makes every set-up in flight stale: none of them may install
    // its socket or raise iSetupFlag for the old address.
    engine.address.SetFromInit(szHostIn, iLength, iPortIn, [&engine] {
        engine.connection.iSetupSerial.fetch_add(1);
        engine.connection.iSetupFlag = 0;
    });
    WriteFileNew(LogFile(), "---Run---%s,%d", szHostIn, iPortIn);
    // The session thread's next pass fails on the closed socket and sets up
    // a new connection to the new address.
    platform::SocketHandle s = engine.connection.TakeSocket();
    if (s != platform::kInvalidSocket) platform::SocketClose(s);
    // Five seconds on the clock for a set-up to take the new address up,
    // cut short by the unload: the call must leave the library before its
    // code goes.
    platform::WaitOnTick(5000, 10, [&engine] {
        return engine.connection.iSetupFlag.load() != 0 || engine.iStopping.load() != 0;
    });
    return engine.connection.iSetupFlag.load() != 0 ? 0 : -2;
}

int InitSocket(ClientEngine& engine) { return InitSocket(engine, ReserveSetUp(engine)); }

int InitSocket(ClientEngine& engine, int32_t iSerial) {
    int iResult;
    try {
        iResult = ConnectionSetUp(engine, iSerial).Run();
    } catch (...) {
        // The guards have left their locks as the stack unwound.
        WriteFileNew(LogFile(), "---InitSocket---error---严重错误,---try,catch---\n");
        iResult = -9;
    }
    int32_t iExpected = iSerial;
    engine.connection.iSetupInProgress.compare_exchange_strong(iExpected, 0);
    return iResult;
}

int32_t StartSetUpThread(ClientEngine& engine) {
    // The earlier thread runs on, untracked.
    TakeThreadSlot(engine.threads.hThread3, "---error---hThread3!=NULL---");
    // A stopping engine needs no new connection.
    if (engine.iRunState.load() != 1) return 0;
    // The set-up's number is drawn now, so that the session's next passes
    // take the missing socket for a connection in progress.
    ReconnectSelf* pSelf = new ReconnectSelf;
    pSelf->pEngine = &engine;
    pSelf->iSerial = ReserveSetUp(engine);
    engine.threads.iReconnectThreads.fetch_add(1);
    // The retries end with the engine rather than go on without pause.
    auto retryWhileRunning = [&engine] {
        if (engine.iRunState.load() != 1) return false;
        SessionSleep(engine, 1000);
        return true;
    };
    platform::ThreadHandle* hNew = CreateThreadRetrying(
        ReconnectThread, pSelf, "---error---严重错误---创建线程2失败: %d\n", retryWhileRunning);
    int32_t iSerial = pSelf->iSerial;
    if (hNew == nullptr) {
        engine.threads.iReconnectThreads.fetch_sub(1);
        int32_t iExpected = iSerial;
        engine.connection.iSetupInProgress.compare_exchange_strong(iExpected, 0);
        delete pSelf;
        return 0;
    }
    pSelf->self.Publish(engine.threads.hThread3, hNew);
    return iSerial;
}

void SendDisconnectNotice(ClientEngine& engine) {
    platform::WindowHandle hWnd = engine.logon.hGameWnd.load();
    if (platform::IsWindowHandle(hWnd) && engine.logon.iUserStatus1.load() == 1 &&
        engine.logon.iLoginFlag.load() == 1 && engine.iRunState.load() == 1) {
        SendGameNotice(engine, hWnd, 96);
    }
}

namespace {

// Waits, for at most dwMs, until set-up iSerial has emptied the session, or
// can no longer do so (overtaken, or the engine stopping). Returns the
// milliseconds waited.
uint32_t WaitForEmptiedSession(ClientEngine& engine, int32_t iSerial, uint32_t dwMs) {
    if (iSerial == 0) return 0;
    uint32_t dwStart = platform::TickMs();
    platform::WaitOnTick(dwMs, 1, [&engine, iSerial] {
        return engine.connection.iEmptiedSerial.load() == iSerial ||
               engine.connection.iSetupSerial.load() != iSerial || engine.iRunState.load() != 1;
    });
    uint32_t dwWaited = platform::TickMsSince(dwStart);
    return dwWaited < dwMs ? dwWaited : dwMs;
}

}  // namespace

int ReConnect(ClientEngine& engine, int iConnect) {
    engine.AssertNoLockHeld();
    int32_t iSerial = StartSetUpThread(engine);
    uint32_t dwPause = 1000;
    if (iConnect == 1) {
        // The server ended the session: the game hears of it only once the
        // new set-up has emptied the session, so that a log-on it makes on
        // hearing it is not dropped with the old table but goes out on the
        // new connection. The wait counts towards the pause.
        dwPause -= WaitForEmptiedSession(engine, iSerial, 1000);
        SendDisconnectNotice(engine);
    }
    SessionSleep(engine, dwPause);
    platform::WindowHandle hWnd = engine.logon.hGameWnd.load();
    bool bIsWindow = platform::IsWindowHandle(hWnd);
    WriteFileNew(LogFile(), "---ReConnect---iConnect=%d, IsWindow(hGameWnd)=%d, iUserStatus1=%d",
                 iConnect, bIsWindow ? 1 : 0, engine.logon.iUserStatus1.load());
    SessionSleep(engine, 100);
    // The lost-connection notice goes out before the log-on is marked lost:
    // a game that reads inside its window procedure is still served there.
    // The caller holds no lock, so the procedure may call the exports. A
    // library being unloaded tells the game nothing more.
    platform::WindowHandle hNoticeWnd = engine.logon.hGameWnd.load();
    if (iConnect == 0 && platform::IsWindowHandle(hNoticeWnd) &&
        engine.logon.iUserStatus1.load() == 1 && engine.logon.iLoginFlag.load() == 1 &&
        engine.iRunState.load() == 1) {
        SendGameNotice(engine, hNoticeWnd, 95);
    }
    engine.logon.MarkLost();
    return 0;
}

namespace {
std::atomic<vorel_testing::ReConnectStandIn> g_pfnReConnectStandIn{nullptr};
}  // namespace

int HandToReConnect(ClientEngine& engine, int iConnect) {
    // Checked here too, so that a test's stand-in still sees a step that
    // calls it under a lock.
    engine.AssertNoLockHeld();
    vorel_testing::ReConnectStandIn pfnStandIn = g_pfnReConnectStandIn.load();
    return pfnStandIn != nullptr ? pfnStandIn(engine, iConnect) : ReConnect(engine, iConnect);
}

void vorel_testing::SetReConnectStandIn(ReConnectStandIn pfnStandIn) {
    g_pfnReConnectStandIn.store(pfnStandIn);
}
