// Shutdown never kills a thread: a thread killed inside the log writer or
// holding a lock would leave that lock held and that call half done. Every
// thread of the library is asked to stop and unblocked instead (the run
// state, the socket closed, downloads aborted), then waited for within a
// bound of about two seconds in all. The release steps run only once no
// thread can touch what they release; a thread still running at the bound
// (one inside a name lookup that does not return, say) is logged, and then
// nothing it can reach is released: the engine, its buffers and table and
// the socket layer stay, and the platform keeps the library's code loaded.
// The log tells the same story as before: the lines of the threads that had
// to be stopped at that step.
#include "frame/shutdown.h"

#include "base/log_file.h"
#include "download/download.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "platform/window.h"
#include "session/engine.h"

std::atomic<int32_t> g_iExportCalls{0};

namespace {

// How long the threads get to leave once told, after the session thread's
// own second, in real milliseconds.
constexpr uint32_t kStopBoundMs = 1000;

// Closes a slot's handle if the thread has not cleared it itself, and writes
// the slot's line when its thread was still running as the step began.
void EndThreadSlot(std::atomic<platform::ThreadHandle*>& slot, bool bWasRunning,
                   const char* szLine) {
    platform::ThreadHandle* hThread = slot.exchange(nullptr);
    platform::ThreadClose(hThread);
    if (bWasRunning) WriteFileNew(LogFile(), "%s", szLine);
}

// Whether the session thread cannot end before this call returns: the
// unload runs on the session thread itself, or in the procedure of the game
// window that the session thread is sending a notice to (a game that
// unloads the library when told of a lost connection).
bool SessionWaitsForThisThread(const ClientEngine& engine) {
    if (engine.threads.dwSessionThreadId.load() == platform::CurrentThreadId()) return true;
    platform::WindowHandle hWnd = engine.threads.hNoticeWindow.load();
    return hWnd != nullptr && platform::WindowHandledByCallingThread(hWnd);
}

bool SessionThreadRunning(const ClientEngine& engine) {
    platform::ThreadHandle* hThread = engine.threads.hThread2.load();
    uint32_t dwCode = 0;
    return hThread != nullptr && platform::ThreadGetExitCode(hThread, &dwCode) &&
           dwCode == platform::kStillActive;
}

// The session thread's own second to leave: over once it has set the run
// state to 2, or its handle tells it has ended (or there is none).
void WaitForSessionThread(ClientEngine& engine) {
    platform::WaitOnTick(1000, 10, [&engine] {
        return engine.iRunState.load() != 0 || !SessionThreadRunning(engine);
    });
}

// Names the threads still running at the bound.
void LogThreadsLeftRunning(const ClientEngine& engine) {
    WriteFileNew(LogFile(),
                 "---testing20090618---close---error---线程未能停止:会话线程%d,重连线程%d,"
                 "下载线程%d,进行中的调用%d,共%d个线程;引擎不释放,库保持加载---",
                 SessionThreadRunning(engine) ? 1 : 0, engine.threads.iReconnectThreads.load(),
                 DownloadThreadsRunning(), g_iExportCalls.load(), platform::ThreadsRunning());
}

}  // namespace

bool WaitForExportCalls(uint32_t dwStartMs, uint32_t dwBoundMs) {
    if (g_iExportCalls.load() == 0) return true;
    while (g_iExportCalls.load() > 0 && platform::TickMsSince(dwStartMs) < dwBoundMs) {
        platform::SleepRealMs(5);
    }
    if (g_iExportCalls.load() > 0) return false;
    // The last call has left the count but still returns through a few
    // instructions of the library (and of the front on POSIX): let it.
    platform::SleepRealMs(20);
    return true;
}

bool ShutdownEngine(ClientEngine& engine) {
    engine.iStopping = 1;
    engine.queues.WakeWaiters();  // readers of the prompt mode see it at once
    WriteFileNew(LogFile(), "---testing20090618---close1---");
    bool bSessionWaitsForUs = SessionWaitsForThisThread(engine);
    // About one second for the session thread to leave on its own; none
    // when it cannot leave before this call returns.
    if (engine.iRunState.load() == 1) {
        engine.RequestStop();
        if (!bSessionWaitsForUs) WaitForSessionThread(engine);
    }
    WriteFileNew(LogFile(), "---testing20090618---close2---");
    // Stop what still runs: unblock it, then wait for it.
    bool bStopped = true;
    try {
        bool bRunning1 = hThread1.load() != nullptr;
        bool bRunning2 = engine.threads.hThread2.load() != nullptr;
        bool bRunning3 = engine.threads.hThread3.load() != nullptr;
        engine.RequestStop();
        platform::SocketHandle s = engine.connection.TakeSocket();
        if (s != platform::kInvalidSocket) platform::SocketClose(s);
        AbortDownloads(true);
        // Every thread of the library, also those whose handles were
        // released when a newer thread took their slot. On Windows this runs
        // in the unload hook, under the loader lock: waiting for a thread
        // object to be signalled would deadlock there, because a thread's
        // exit needs that lock. The wait tests instead the end that each
        // thread announces as the last act of its routine, which needs no
        // lock of the loader. A session thread that waits for this thread
        // is not waited for.
        int iMayRemain = bSessionWaitsForUs && bRunning2 ? 1 : 0;
        uint32_t dwStart = platform::TickMs();
        bStopped = platform::ThreadsWaitRunningAtMost(iMayRemain, kStopBoundMs);
        // Game threads still inside an export (a read ends its wait once it
        // sees the engine stopping, a download once told to stop), within
        // the same bound.
        bool bCallsLeft = WaitForExportCalls(dwStart, kStopBoundMs);
        bStopped = bStopped && iMayRemain == 0 && bCallsLeft;
        if (!bStopped) LogThreadsLeftRunning(engine);
        EndThreadSlot(hThread1, bRunning1, "---testing20090618---TerminateThread---hThread1");
        EndThreadSlot(engine.threads.hThread2, bRunning2,
                      "---testing20090618---TerminateThread---hThread2");
        EndThreadSlot(engine.threads.hThread3, bRunning3,
                      "---testing20090618---TerminateThread---hThread3");
        // Downloads that could not be stopped stay told to stop.
        if (bStopped) AbortDownloads(false);
    } catch (...) {
        // The handles as they stand, printed as numbers.
        WriteFileNew(LogFile(), "---testing20090618---TerminateThread---try,catch---%d,%d,%d",
                     static_cast<int>(reinterpret_cast<intptr_t>(hThread1.load())),
                     static_cast<int>(reinterpret_cast<intptr_t>(engine.threads.hThread2.load())),
                     static_cast<int>(reinterpret_cast<intptr_t>(engine.threads.hThread3.load())));
    }
    // Normally the session thread has freed both buffers on its way out.
    if (bStopped) engine.connection.FreeSessionBuffers();
    platform::SocketHandle s = engine.connection.TakeSocket();
    if (s != platform::kInvalidSocket) platform::SocketClose(s);
    WriteFileNew(LogFile(), "---testing20090618---close3---");
    if (bStopped) engine.queues.Free();
    WriteFileNew(LogFile(), "---testing20090618---close4---");
    // A thread still running may still make socket calls.
    if (bStopped) platform::SocketCleanup();
    WriteFileNew(LogFile(), "---testing20090618---close5---");
    // The members go with the engine, in reverse order of declaration.
    return bStopped;
}

void ShutdownEngineAtProcessExit(ClientEngine& /*engine*/) {
    // The system has already ended every other thread and releases what the
    // process holds: the lines are all that is left to do, and nothing may
    // wait for a thread.
    WriteFileNew(LogFile(), "---testing20090618---close1---");
    WriteFileNew(LogFile(), "---testing20090618---close2---");
    WriteFileNew(LogFile(), "---testing20090618---close3---");
    WriteFileNew(LogFile(), "---testing20090618---close4---");
    WriteFileNew(LogFile(), "---testing20090618---close5---");
}
