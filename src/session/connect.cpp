// Connection set-up (InitSocket) and the answer to a lost connection
// (ReConnect, which runs the set-up on a ReconnectThread).
//
// Sharing the socket. hSocket is an atomic socket number; numbers are never
// reused, and closing a socket while another thread is inside a call on it
// wakes that call, which fails (the platform layer keeps the system socket
// until the call has left). A set-up works on its own socket in a local
// variable and clears hSocket only while it still holds that socket. Set-ups
// run one at a time under lockSetup.
#include <cstring>
#include <exception>

#include "exchange/queue_table.h"
#include "frame/engine.h"
#include "platform/clock.h"
#include "platform/window.h"
#include "session/session_thread.h"

namespace {

// What a reconnect thread knows of itself: its engine and its own handle,
// published by ReConnect once creation has returned.
struct ReconnectSelf {
    ClientEngine* pEngine;
    std::atomic<platform::ThreadHandle*> hSelf{nullptr};
    std::atomic<bool> bPublished{false};
};

// Releases the socket s and clears hSocket if it still names s.
void DropOwnSocket(ClientEngine& engine, platform::SocketHandle s) {
    platform::SocketHandle expected = s;
    engine.hSocket.compare_exchange_strong(expected, platform::kInvalidSocket);
    platform::SocketClose(s);
}

uint32_t ReconnectThread(void* pArg) {
    ReconnectSelf* pSelf = static_cast<ReconnectSelf*>(pArg);
    ClientEngine& engine = *pSelf->pEngine;
    engine.InitSocket();
    engine.iSetupsPending.fetch_sub(1);
    // Close only this thread's own handle: once ReConnect has started a
    // newer thread, the slot is the newer thread's and this handle is closed.
    while (!pSelf->bPublished.load(std::memory_order_acquire)) platform::SleepMs(1);
    platform::ThreadHandle* hOwn = pSelf->hSelf.load(std::memory_order_acquire);
    platform::ThreadHandle* hExpected = hOwn;
    if (engine.hThread3.compare_exchange_strong(hExpected, nullptr)) platform::ThreadClose(hOwn);
    delete pSelf;
    return 0;
}

}  // namespace

void ClientEngine::ClearSessionKey() {
    KMutexAdaptor<KThreadMutex> guard(lockKey, -1);
    std::memset(szSessionKey, 0, sizeof(szSessionKey));
}

void ClientEngine::GetSessionKey(char* szOut) {
    KMutexAdaptor<KThreadMutex> guard(lockKey, -1);
    std::memcpy(szOut, szSessionKey, sizeof(szSessionKey));
}

int ClientEngine::InitSocket() {
    KMutexAdaptor<KThreadMutex> setupGuard(lockSetup, -1);
    try {
        // 1.
        platform::SocketHandle sOld = hSocket.exchange(platform::kInvalidSocket);
        if (sOld != platform::kInvalidSocket) platform::SocketClose(sOld);
        // 2. Without a key, the session asks for one as soon as it can write.
        ClearSessionKey();
        iTimeFlag = 0;
        // 3. A set-up in the engine's first 5 s (normally the first one)
        //    keeps the table; any later one drops every queued message.
        if (platform::SecondsElapsed(tStart, 5)) {
            KMutexAdaptor<KThreadMutex> tableGuard(lockTable, -1);
            if (pQueueTable != nullptr) {
                g_sessionStatics.iDeletedUnprocessed.fetch_add(CountPendingMessages(*this));
                free_hash(pQueueTable);
                pQueueTable = NewQueueTable();
            }
        }
        // 4.
        iSetupFlag = 1;
        // 5.
        if (iRunState.load() != 1) return -8;
        // 6.
        platform::SocketHandle s = platform::SocketCreate();
        if (s == platform::kInvalidSocket) {
            hSocket = platform::kInvalidSocket;
            return -1;
        }
        hSocket = s;
        // 7.
        char szAddressHost[sizeof(szHost)];
        int iAddressPort = 0;
        GetServerAddress(szAddressHost, &iAddressPort);
        // Raised again now that the attempt has its address: an `init` that
        // lowered the flag since step 4 (finding no socket to close yet)
        // learns that its address is being used.
        iSetupFlag = 1;
        uint32_t dwAddr = 0;
        if (!platform::ResolveHost(szAddressHost, &dwAddr)) {
            DropOwnSocket(*this, s);
            return -2;
        }
        // 8. Bounded by the system's connect time-out; a close from another
        //    thread (init, shutdown) ends it early.
        if (platform::SocketConnect(s, dwAddr, static_cast<uint16_t>(iAddressPort & 0xFFFF)) == 0) {
            return 0;
        }
        // 9.
        if (iRunState.load() != 1) return -8;
        if (iAddrFromInit.load() == 1) {
            // The unconnected socket would sit in the poll's neither set for
            // ever; releasing it makes the session's next pass fail its poll
            // and start the next attempt.
            DropOwnSocket(*this, s);
            return -11;
        }
        // 10.
        char szOldHost[sizeof(szHost)];
        std::memcpy(szOldHost, szAddressHost, sizeof(szOldHost));
        int iOldPort = iAddressPort;
        ReadConfigFile();
        char szNewHost[sizeof(szHost)];
        int iNewPort = 0;
        GetServerAddress(szNewHost, &iNewPort);
        if (std::memcmp(szNewHost, szOldHost, sizeof(szOldHost)) == 0 && iNewPort == iOldPort) {
            DropOwnSocket(*this, s);
            WriteFileNew(LogFile(),
                         "---InitSocket---error2---严重错误,无法连接到 注册/登录服务器---: %s,%d\n",
                         szOldHost, iOldPort);
            return -3;
        }
        // The retry takes the new text as a dotted address, without a name
        // lookup. It goes out on a fresh socket: after a failed connect not
        // every system lets the same socket connect again.
        DropOwnSocket(*this, s);
        uint32_t dwNewAddr = 0;
        if (platform::ParseDottedAddress(szNewHost, &dwNewAddr)) {
            s = platform::SocketCreate();
            if (s != platform::kInvalidSocket) {
                hSocket = s;
                if (platform::SocketConnect(s, dwNewAddr,
                                            static_cast<uint16_t>(iNewPort & 0xFFFF)) == 0) {
                    return 0;
                }
                DropOwnSocket(*this, s);
            }
        }
        WriteFileNew(LogFile(),
                     "---InitSocket---error1---严重错误,无法连接到 注册/登录服务器---: %s,%d\n",
                     szNewHost, iNewPort);
        return -2;
    } catch (...) {
        // 11. The guards have left lockTable (and lockSetup) as the stack unwound.
        WriteFileNew(LogFile(), "---InitSocket---error---严重错误,---try,catch---\n");
        return -9;
    }
}

int ClientEngine::ReConnect(int iConnect) {
    // 1. The earlier thread runs on, untracked.
    platform::ThreadHandle* hOld = hThread3.exchange(nullptr);
    if (hOld != nullptr) {
        WriteFileNew(LogFile(), "---error---hThread3!=NULL---");
        platform::ThreadClose(hOld);
    }
    // 2.
    ReconnectSelf* pSelf = new ReconnectSelf;
    pSelf->pEngine = this;
    iSetupsPending.fetch_add(1);
    platform::ThreadHandle* hNew;
    while ((hNew = platform::ThreadCreate(ReconnectThread, pSelf)) == nullptr) {
        WriteFileNew(LogFile(), "---error---严重错误---创建线程2失败: %d\n",
                     platform::NowSeconds32());
        SessionSleep(*this, 1000);
    }
    pSelf->hSelf.store(hNew, std::memory_order_release);
    hThread3.store(hNew);
    pSelf->bPublished.store(true, std::memory_order_release);
    // 3.
    SessionSleep(*this, 1000);
    // 4.
    platform::WindowHandle hWnd = hGameWnd.load();
    bool bIsWindow = platform::IsWindowHandle(hWnd);
    WriteFileNew(LogFile(), "---ReConnect---iConnect=%d, IsWindow(hGameWnd)=%d, iUserStatus1=%d",
                 iConnect, bIsWindow ? 1 : 0, iUserStatus1.load());
    // 5.
    SessionSleep(*this, 100);
    // 6. Decided here; the session thread sends it once it holds no lock.
    if (iConnect == 0 && platform::IsWindowHandle(hGameWnd.load()) && iUserStatus1.load() == 1 &&
        iLoginFlag.load() == 1) {
        iNotice95Pending = 1;
    }
    // 7.
    int32_t iLoggedOn = 1;
    iUserStatus1.compare_exchange_strong(iLoggedOn, 2);
    // 8.
    return 0;
}
