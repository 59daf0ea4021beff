#include "util/session_state_fixture.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "base/alloc.h"
#include "base/testing.h"
#include "platform/clock.h"
#include "server/reference_server.h"
#include "session/connect.h"
#include "session/inbound.h"
#include "session/testing.h"
#include "util/session_fixture.h"
#include "vorel/vorel.h"

namespace testutil {
namespace {

std::vector<int> g_reConnects;  // the steps run on the test's thread only

// The state of the one TableLockWatch.
std::thread::id g_watchedThread;
std::atomic<QueueTable*> g_pWatchedTable{nullptr};
std::atomic<int> g_iWatchedEntries{0};
std::atomic<int> g_iBlockedEntries{0};
std::mutex g_probesLock;
std::vector<std::thread> g_probes;  // joined once the watched thread has let go

void ProbeTableLock() {
    QueueTable* pQueues = g_pWatchedTable.load();
    if (pQueues == nullptr || std::this_thread::get_id() != g_watchedThread) return;
    ++g_iWatchedEntries;
    // One entry written under the lock is enough to know.
    if (g_iBlockedEntries.load() > 0) return;
    auto pTaken = std::make_shared<std::atomic<bool>>(false);
    std::thread probe([pQueues, pTaken] {
        KMutexAdaptor<KThreadMutex> guard(pQueues->LockForTesting(), -1);
        *pTaken = true;
    });
    // Held by the writing thread, the lock stays taken until the entry is
    // written: the probe is joined later, when it can have it.
    if (!WaitReal([&pTaken] { return pTaken->load(); }, 2000)) ++g_iBlockedEntries;
    std::lock_guard<std::mutex> guard(g_probesLock);
    g_probes.push_back(std::move(probe));
}

// What ReConnect does for the game: the server's disconnect notice goes to
// the window from there.
int RecordReConnect(ClientEngine& engine, int iConnect) {
    g_reConnects.push_back(iConnect);
    if (iConnect == 1) SendDisconnectNotice(engine);
    return 0;
}

}  // namespace

void SessionStateFixture::SetUp() {
    EngineFixture::SetUp();
    g_reConnects.clear();
    ClientEngine& engine = CreateEngine();
    engine.connection.pReadBuf = static_cast<char*>(ZeroAlloc(kReadBufferSize));
    engine.connection.pWriteBuf = static_cast<char*>(ZeroAlloc(kWriteBufferSize));
    state_ = std::make_unique<SessionState>();
    state_->pEngine = &engine;
    vorel_testing::SetReConnectStandIn(RecordReConnect);
    state_->iConnectionGood = 1;
    state_->tMaintenance = platform::NowSeconds32();
    g_sessionStatics.tLastSend = 0;
}

void SessionStateFixture::TearDown() {
    platform::SocketClose(peer_);
    platform::SocketClose(listener_);
    state_.reset();
    vorel_testing::SetReConnectStandIn(nullptr);
    EngineFixture::TearDown();
}

const std::vector<int>& SessionStateFixture::ReConnects() const { return g_reConnects; }

void SessionStateFixture::ConnectPeer() {
    platform::SocketClose(peer_);
    platform::SocketClose(listener_);
    uint16_t wPort = 0;
    listener_ = platform::SocketListenLoopback(0, &wPort);
    platform::SocketHandle s = platform::SocketCreate();
    uint32_t dwAddr = 0;
    platform::ParseDottedAddress("127.0.0.1", &dwAddr);
    ASSERT_EQ(platform::SocketConnect(s, dwAddr, wPort), 0);
    peer_ = platform::SocketAccept(listener_);
    Engine().connection.hSocket = s;
}

std::string SessionStateFixture::PeerReceive(int iMs) {
    std::string bytes;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iMs);
    char buffer[65536];
    while (std::chrono::steady_clock::now() < deadline) {
        bool bReadable = false;
        if (platform::SocketPoll(peer_, &bReadable, nullptr) > 0 && bReadable) {
            int n = platform::SocketRecv(peer_, buffer, sizeof(buffer));
            if (n <= 0) break;
            bytes.append(buffer, static_cast<size_t>(n));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    return bytes;
}

void SessionStateFixture::Feed(const std::string& bytes) {
    ClientEngine& engine = Engine();
    std::memcpy(engine.connection.pReadBuf + state_->framer.Kept(), bytes.data(), bytes.size());
    ParseReceived(engine, *state_, static_cast<int>(bytes.size()));
}

void SessionStateFixture::SetKey(const char* szKey) {
    char szPadded[sizeof(Connection::szSessionKey)] = {};
    std::strncpy(szPadded, szKey, sizeof(szPadded) - 1);
    Engine().connection.SetSessionKey(szPadded);
}

std::string SessionStateFixture::Answer(int iType, const std::string& text) {
    return refserver::MakePacket(iType, text);
}

int SessionStateFixture::Request(int iType, const std::string& text) {
    std::vector<char> input(text.begin(), text.end());
    input.push_back('\0');
    return Write_Message1(iType, input.data(), static_cast<int>(text.size()));
}

TableLockWatch::TableLockWatch(QueueTable& queues) {
    g_watchedThread = std::this_thread::get_id();
    g_iWatchedEntries = 0;
    g_iBlockedEntries = 0;
    g_pWatchedTable = &queues;
}

TableLockWatch::~TableLockWatch() {
    g_pWatchedTable = nullptr;
    std::lock_guard<std::mutex> guard(g_probesLock);
    for (std::thread& probe : g_probes) probe.join();
    g_probes.clear();
}

int TableLockWatch::Entries() const { return g_iWatchedEntries.load(); }

int TableLockWatch::Blocked() const { return g_iBlockedEntries.load(); }

TableLockWhileLogging::TableLockWhileLogging(ScopedTestClock& clock, QueueTable& queues)
    : TableLockWatch(queues), clock_(clock) {
    clock_.SetLocalTimeObserver(ProbeTableLock);
}

TableLockWhileLogging::~TableLockWhileLogging() { clock_.SetLocalTimeObserver(nullptr); }

TableLockWhileFreeing::TableLockWhileFreeing(QueueTable& queues) : TableLockWatch(queues) {
    vorel_testing::ObserveFrees(ProbeTableLock);
}

TableLockWhileFreeing::~TableLockWhileFreeing() { vorel_testing::ObserveFrees(nullptr); }

}  // namespace testutil
