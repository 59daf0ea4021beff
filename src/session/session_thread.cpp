// The session thread: a polling loop paced by an idle sleep. Each pass reads
// (inbound), writes (outbound), and now and then expires idle queues and
// looks at the configuration file again.
#include "session/session_thread.h"

#include <cstring>
#include <new>
#include <stdexcept>

#include "base/alloc.h"
#include "base/log_file.h"
#include "base/threads.h"
#include "exchange/queue_table.h"
#include "platform/clock.h"
#include "platform/window.h"
#include "session/connect.h"
#include "session/engine.h"
#include "session/inbound.h"
#include "session/outbound.h"
#include "session/testing.h"

namespace {

std::atomic<bool> g_bSessionThreadEnabled{true};
std::atomic<bool> g_bThrowInNextPass{false};

// The idle sleep that paces the loop: none after a pass with traffic, then
// longer pauses the longer the connection has been silent.
void IdleSleep(ClientEngine& engine, SessionState& state) {
    if (state.iReceivedMeasure + state.iPendingMeasure != 0) {
        engine.connection.dwLastActive = platform::TickMs();
    } else if (platform::TickMsSince(engine.connection.dwLastActive) > 60000) {
        SessionSleep(engine, 500);
    } else if (platform::TickMsSince(engine.connection.dwLastActive) > 30000) {
        SessionSleep(engine, 250);
    } else if (platform::TickMsSince(engine.connection.dwLastActive) > 10000) {
        SessionSleep(engine, 150);
    } else {
        SessionSleep(engine, 30);
    }
    state.iReceivedMeasure = 0;
    state.iPendingMeasure = 0;
}

}  // namespace

void RunSessionPass(ClientEngine& engine, SessionState& state) {
    IdleSleep(engine, state);
    RetryKeptAnswers(engine, state);
    if (g_bThrowInNextPass.exchange(false)) engine.queues.ThrowLocked();
    // The poll never waits: the idle sleep alone paces the loop.
    bool bReadable = false;
    bool bWritable = false;
    int iReady = platform::SocketPoll(engine.connection.hSocket.load(), &bReadable, &bWritable);
    // The newest set-up still running has the socket in hand (or has none
    // yet): that is a connection in progress, not a new failure. A stale
    // set-up, still in the lookup of an address that `init` has replaced,
    // does not count.
    if (iReady < 0 && CurrentSetUpRunning(engine)) iReady = 0;
    if (iReady < 0) {
        HandToReConnect(engine, 0);
        ResetReadSide(state);
        return;
    }
    // Nothing ready: no write step, no maintenance.
    if (iReady == 0) {
        if (engine.iLogFlag.load() != 0) {
            WriteFileNew(LogFile(), "---numfds2==%d\n", iReady);
            if (state.iPassCount % 10 == 0) WriteStatisticsLine(engine, state);
        }
        return;
    }
    state.iConnectionGood = 1;
    if (engine.iLogFlag.load() != 0) WriteFileNew(LogFile(), "---numfds1==%d\n", iReady);
    if (bReadable) {
        if (engine.iLogFlag.load() != 0) WriteFileNew(LogFile(), "socket可读(有数据到)\n");
        ReadStep(engine, state);
    }
    if (bWritable && state.iConnectionGood == 1) {
        state.iWriteFlag = 1;
        if (engine.iLogFlag.load() != 0) WriteFileNew(LogFile(), "socket可写(可发送)\n");
    } else {
        state.iWriteFlag = 0;
    }
    // The statistics clock starts at the first ready pass, whatever the
    // verbose switch says.
    int64_t tZero = 0;
    g_sessionStatics.tStatistics.compare_exchange_strong(tZero, platform::NowSeconds());
    if (engine.iLogFlag.load() != 0 &&
        platform::NowSeconds() - g_sessionStatics.tStatistics.load() >= 30) {
        g_sessionStatics.tStatistics = platform::NowSeconds();
        WriteStatisticsLine(engine, state);
    }
    if (state.iWriteFlag == 1) {
        WriteStep(engine, state);
    } else if (engine.iLogFlag.load() != 0) {
        WriteFileNew(LogFile(), "---iWriteFlag==%d---socket不可发送数据\n", state.iWriteFlag);
    }
    if (platform::SecondsElapsed(state.tMaintenance, 600)) RunMaintenance(engine, state);
}

namespace {

void WriteMainThreadLine(const char* szFormat) {
    platform::LocalTime now;
    platform::GetLocalTime(&now);
    WriteFileNew(LogFile(), szFormat, now.iYear, now.iMonth, now.iDay, now.iHour, now.iMinute,
                 now.iSecond);
}

}  // namespace

void WriteStatisticsLine(ClientEngine& engine, const SessionState& state) {
    int32_t iRequestTotal = engine.queues.RequestTotal();
    platform::LocalTime now;
    platform::GetLocalTime(&now);
    WriteFileNew(LogFile(),
                 "MainThread---业务主线程---正在运行---%-10d: %04d-%02d-%02d %02d:%02d:%02d,"
                 "处理请求总数:%d,预定发送总数:%d,有效接受总数:%d,没有处理就被删除总数:%d\n",
                 state.iPassCount, now.iYear, now.iMonth, now.iDay, now.iHour, now.iMinute,
                 now.iSecond, iRequestTotal, state.iScheduledSendTotal, state.iValidReceiveTotal,
                 g_sessionStatics.iDeletedUnprocessed.load());
}

void ExpireIdleQueues(ClientEngine& engine) {
    g_sessionStatics.iDeletedUnprocessed.fetch_add(engine.queues.ExpireIdle());
}

void RunMaintenance(ClientEngine& engine, SessionState& state) {
    engine.queues.AssertNotHeld();
    state.tMaintenance = platform::NowSeconds32();
    ExpireIdleQueues(engine);
    // The configuration check needs no table: it reads the file and the
    // address (under lockAddress), and a changed address calls ReConnect,
    // whose pauses the game's calls must not wait behind.
    if (engine.address.FromInit()) return;
    int iOldPort = 0;
    engine.address.Get(state.szHostCopy, &iOldPort);
    engine.ReadConfigFile();
    char szNewHost[ServerAddress::kHostSize];
    int iNewPort = 0;
    engine.address.Get(szNewHost, &iNewPort);
    if (std::memcmp(szNewHost, state.szHostCopy, sizeof(szNewHost)) != 0 || iNewPort != iOldPort) {
        HandToReConnect(engine, 0);
        ResetReadSide(state);
        WriteFileNew(LogFile(),
                     "线程2---配置文件被更新---warn---重新连接sokcet---new:%s,%d---old:%s,%d\n",
                     szNewHost, iNewPort, state.szHostCopy, iOldPort);
    }
}

uint32_t MainThread(void* pArg) {
    ClientEngine& engine = *static_cast<ClientEngine*>(pArg);
    // Through the library's allocator, whose failures tests can make.
    void* pBlock = ZeroAlloc(sizeof(SessionState));
    SessionState* pState = pBlock != nullptr ? new (pBlock) SessionState : nullptr;
    if (pState == nullptr) {
        WriteMainThreadLine(
            "---error---MainThread---malloc--fail: %04d-%02d-%02d %02d:%02d:%02d\n");
        return 0;
    }
    engine.threads.dwSessionThreadId = platform::CurrentThreadId();
    SessionState& state = *pState;
    state.pEngine = &engine;
    state.tMaintenance = platform::NowSeconds32();
    // The first set-up runs beside the loop, as every later one does; its
    // result shows in the first polls.
    StartSetUpThread(engine);
    if (engine.connection.pReadBuf == nullptr)
        engine.connection.pReadBuf = static_cast<char*>(ZeroAlloc(kReadBufferSize));
    if (engine.connection.pWriteBuf == nullptr)
        engine.connection.pWriteBuf = static_cast<char*>(ZeroAlloc(kWriteBufferSize));
    if (engine.connection.pReadBuf == nullptr || engine.connection.pWriteBuf == nullptr) {
        engine.connection.FreeSessionBuffers();
        WriteMainThreadLine(
            "---error---MainThread---malloc--fail: %04d-%02d-%02d %02d:%02d:%02d\n");
        pState->~SessionState();
        ZeroFree(pState);
        return 0;
    }
    while (engine.iRunState.load() == 1) {
        try {
            RunSessionPass(engine, state);
        } catch (...) {
            WriteMainThreadLine(
                "---error---MainThread---try/catch: %04d-%02d-%02d %02d:%02d:%02d\n");
        }
        ++state.iPassCount;
    }
    engine.connection.FreeSessionBuffers();
    pState->~SessionState();
    ZeroFree(pState);
    engine.iRunState = 2;
    platform::ThreadHandle* hOwn = engine.threads.hThread2.exchange(nullptr);
    platform::ThreadClose(hOwn);
    return 0;
}

void RestartSessionThreadIfEnded(ClientEngine& engine) {
    static std::atomic<bool> s_bRestarted{false};
    static std::atomic<uint32_t> s_dwLastRestart{0};
    if (engine.iRunState.load() != 1 || engine.iStopping.load() != 0) return;
    platform::ThreadHandle* hThread = engine.threads.hThread2.load();
    uint32_t dwCode = 0;
    if (hThread == nullptr || !platform::ThreadGetExitCode(hThread, &dwCode) ||
        dwCode == platform::kStillActive)
        return;
    if (s_bRestarted.load() && platform::TickMsSince(s_dwLastRestart.load()) < 1000) return;
    // One caller takes the ended thread's handle and starts the next one.
    if (!engine.threads.hThread2.compare_exchange_strong(hThread, nullptr)) return;
    s_dwLastRestart = platform::TickMs();
    s_bRestarted = true;
    platform::ThreadClose(hThread);
    StartSessionThread(engine);
}

void StartSessionThread(ClientEngine& engine) {
    engine.threads.hThread2 = CreateThreadRetrying(MainThread, &engine, "创建线程1失败: %d\n");
}

namespace vorel_testing {

void SetSessionThreadEnabled(bool bEnabled) { g_bSessionThreadEnabled = bEnabled; }
bool SessionThreadEnabled() { return g_bSessionThreadEnabled.load(); }
void ThrowInNextPass() { g_bThrowInNextPass = true; }

}  // namespace vorel_testing
