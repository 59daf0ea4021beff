// The engine record: construction, the address from `init`, the log file.
#include "base/engine.h"

#include <cstring>

#include "exchange/queue_table.h"
#include "platform/clock.h"
#include "session/session_thread.h"

namespace {

std::atomic<const char*> g_szLogFile{"GameRun.log"};

}  // namespace

const char* LogFile() { return g_szLogFile.load(std::memory_order_acquire); }

namespace vorel_testing {

void SetLogFile(const char* szPath) {
    g_szLogFile.store(szPath != nullptr ? szPath : "GameRun.log", std::memory_order_release);
}

}  // namespace vorel_testing

// The codec, the locks and the stop signal are constructed first, as
// members, in declaration order.
ClientEngine::ClientEngine() {
    // The socket layer, version 1.1; a failure shows later as failed
    // connection attempts.
    platform::SocketStartup();
    hGameWnd = nullptr;
    iUserStatus1 = 0;
    iLoginFlag = 0;
    tStart = platform::NowSeconds32();
    iRequestTotal = 0;
    pReadBuf = nullptr;
    pWriteBuf = nullptr;
    hThread2 = nullptr;
    hThread3 = nullptr;
    // A table that cannot be created stays null: every lookup then finds
    // nothing and every insertion fails, which the callers report.
    pQueueTable = NewQueueTable();
    iTimeFlag = 0;
    std::memset(szHost, 0, sizeof(szHost));
    std::memset(szSessionKey, 0, sizeof(szSessionKey));
    iPort = 0;
    hSocket = platform::kInvalidSocket;
    iRunState = 1;
    iLogFlag = 0;
    iAddrFromInit = 0;
    ReadConfigFile();
    if (vorel_testing::SessionThreadEnabled()) StartSessionThread(*this);
    // The call that creates the engine pauses 100 ms, time for the session
    // thread to start its connection.
    platform::SleepMs(100);
}

// The shutdown steps run before (ShutdownEngine); what is left here is the
// members' own destruction.
ClientEngine::~ClientEngine() = default;

void ClientEngine::RequestStop() {
    iRunState = 0;
    stopSignal.Set();
}

void ClientEngine::GetServerAddress(char* szOutHost, int* piOutPort) {
    KMutexAdaptor<KThreadMutex> guard(lockAddress, -1);
    std::memcpy(szOutHost, szHost, sizeof(szHost));
    *piOutPort = iPort;
}

int ClientEngine::SetServerAddress(const char* szHostIn, int iPortIn) {
    // Rejected arguments change nothing.
    if (szHostIn == nullptr) return -1;
    size_t iLength = strnlen(szHostIn, sizeof(szHost));
    if (iLength < 7 || iLength >= sizeof(szHost)) return -1;
    uint32_t dwPort = static_cast<uint32_t>(iPortIn);
    if (dwPort < 1 || dwPort > 65535) return -1;
    // Flag and address change together under lockAddress, so that a
    // configuration run racing with this call cannot overwrite them. The new
    // number makes every set-up in flight stale: none of them may install
    // its socket or raise iSetupFlag for the old address.
    {
        KMutexAdaptor<KThreadMutex> guard(lockAddress, -1);
        iAddrFromInit = 1;
        std::memset(szHost, 0, sizeof(szHost));
        std::memcpy(szHost, szHostIn, iLength);
        iPort = iPortIn;
        iSetupSerial.fetch_add(1);
        iSetupFlag = 0;
    }
    WriteFileNew(LogFile(), "---Run---%s,%d", szHostIn, iPortIn);
    // The session thread's next pass fails on the closed socket and sets up
    // a new connection to the new address.
    platform::SocketHandle s = hSocket.exchange(platform::kInvalidSocket);
    if (s != platform::kInvalidSocket) platform::SocketClose(s);
    // Five seconds on the clock for a set-up to take the new address up.
    bool bTakenUp = platform::WaitOnTick(5000, 10, [this] { return iSetupFlag.load() != 0; });
    return bTakenUp ? 0 : -2;
}
