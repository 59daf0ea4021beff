// Shutdown never kills a thread: a thread killed inside the log writer or
// holding a lock would leave that lock held and that call half done. Every
// thread of the library is asked to stop and unblocked instead (the run
// state, the socket closed, downloads aborted), then waited for within a
// bound. The release steps run only once no thread can touch what they
// release. The log tells the same story as before: the lines of the threads
// that had to be stopped at that step.
#include "frame/shutdown.h"

#include "download/download.h"
#include "frame/alloc.h"
#include "frame/engine.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace {

// How long the threads get to leave once asked, in real milliseconds.
constexpr uint32_t kStopBoundMs = 1500;

// Closes a slot's handle if the thread has not cleared it itself, and writes
// the slot's line when its thread was still running as the step began.
void EndThreadSlot(std::atomic<platform::ThreadHandle*>& slot, bool bWasRunning,
                   const char* szLine) {
    platform::ThreadHandle* hThread = slot.exchange(nullptr);
    platform::ThreadClose(hThread);
    if (bWasRunning) WriteFileNew(LogFile(), "%s", szLine);
}

}  // namespace

bool ShutdownEngine(ClientEngine& engine) {
    // 1.
    engine.iStopping = 1;
    WriteFileNew(LogFile(), "---testing20090618---close1---");
    // 2. About one second for the session thread to leave on its own.
    if (engine.iRunState.load() == 1) {
        engine.iRunState = 0;
        for (int i = 0; i < 100; ++i) {
            if (engine.iRunState.load() != 0) break;
            platform::ThreadHandle* hThread = engine.hThread2.load();
            // No handle while the run state is still 0: no session thread
            // was ever started, so there is nothing to wait for.
            if (hThread == nullptr) break;
            {
                uint32_t dwCode = 0;
                if (!platform::ThreadGetExitCode(hThread, &dwCode) ||
                    dwCode != platform::kStillActive)
                    break;
            }
            platform::SleepMs(10);
        }
    }
    // 3.
    WriteFileNew(LogFile(), "---testing20090618---close2---");
    // 4. Stop what still runs: unblock it, then wait for it.
    bool bStopped = true;
    try {
        bool bRunning1 = hThread1.load() != nullptr;
        bool bRunning2 = engine.hThread2.load() != nullptr;
        bool bRunning3 = engine.hThread3.load() != nullptr;
        engine.iRunState = 0;
        platform::SocketHandle s = engine.hSocket.exchange(platform::kInvalidSocket);
        if (s != platform::kInvalidSocket) platform::SocketClose(s);
        AbortDownloads(true);
        // Every thread of the library, also those whose handles were
        // released when a newer thread took their slot. On Windows this runs
        // in the unload hook, under the loader lock: waiting for a thread
        // object to be signalled would deadlock there, because a thread's
        // exit needs that lock. The wait tests instead the end that each
        // thread announces as the last act of its routine, which needs no
        // lock of the loader.
        bStopped = platform::ThreadsWaitRunningAtMost(0, kStopBoundMs);
        // Game threads still inside an export (a read ends its wait once it
        // sees the engine stopping).
        for (uint32_t dwWaited = 0; g_iExportCalls.load() > 0 && dwWaited < kStopBoundMs;
             dwWaited += 5) {
            platform::SleepRealMs(5);
        }
        bStopped = bStopped && g_iExportCalls.load() == 0;
        EndThreadSlot(hThread1, bRunning1, "---testing20090618---TerminateThread---hThread1");
        EndThreadSlot(engine.hThread2, bRunning2,
                      "---testing20090618---TerminateThread---hThread2");
        EndThreadSlot(engine.hThread3, bRunning3,
                      "---testing20090618---TerminateThread---hThread3");
        AbortDownloads(false);
    } catch (...) {
        // The handles as they stand, printed as numbers.
        WriteFileNew(LogFile(), "---testing20090618---TerminateThread---try,catch---%d,%d,%d",
                     static_cast<int>(reinterpret_cast<intptr_t>(hThread1.load())),
                     static_cast<int>(reinterpret_cast<intptr_t>(engine.hThread2.load())),
                     static_cast<int>(reinterpret_cast<intptr_t>(engine.hThread3.load())));
    }
    if (!bStopped) {
        WriteFileNew(LogFile(),
                     "---testing20090618---close---error---%d个线程未能停止,引擎不释放---",
                     platform::ThreadsRunning());
    }
    // 5. Normally the session thread has freed both on its way out.
    if (bStopped) {
        ZeroFree(engine.pReadBuf);
        ZeroFree(engine.pWriteBuf);
        engine.pReadBuf = nullptr;
        engine.pWriteBuf = nullptr;
    }
    // 6.
    platform::SocketHandle s = engine.hSocket.exchange(platform::kInvalidSocket);
    if (s != platform::kInvalidSocket) platform::SocketClose(s);
    // 7.
    WriteFileNew(LogFile(), "---testing20090618---close3---");
    // 8.
    if (bStopped && engine.pQueueTable != nullptr) {
        free_hash(engine.pQueueTable);
        engine.pQueueTable = nullptr;
    }
    // 9.
    WriteFileNew(LogFile(), "---testing20090618---close4---");
    // 10.
    platform::SocketCleanup();
    // 11.
    WriteFileNew(LogFile(), "---testing20090618---close5---");
    // 12. The members go with the engine, in reverse order of declaration.
    return bStopped;
}
