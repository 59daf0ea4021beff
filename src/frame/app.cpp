// The application object and the table of engine slots it keeps; the
// exports use the first slot, which the first call that needs an engine
// creates and starts. The platform's load and unload hooks run the object's
// work.
#include "frame/app.h"

#include <memory>
#include <new>

#include "base/lock.h"
#include "base/log_file.h"
#include "download/download.h"
#include "exchange/queue_table.h"
#include "frame/shutdown.h"
#include "platform/clock.h"
#include "platform/library.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "session/engine.h"
#include "session/session_thread.h"
#include "session/testing.h"

namespace {

constexpr int kEngineSlots = 10;
// How long an unload without an engine waits for export calls to leave,
// from its start, in real milliseconds.
constexpr uint32_t kExportCallBoundMs = 1000;

std::atomic<ClientEngine*> g_apEngines[kEngineSlots];
// Engines left allocated by an unload because a thread of theirs could not
// be stopped: that thread may still use them. Kept here for as long as the
// library is.
std::atomic<ClientEngine*> g_apKeptEngines[kEngineSlots * 4];

// Makes the first creation of the engine safe when several game threads
// call their first export at once.
KThreadMutex g_engineCreateLock;

// Set while the library is being unloaded: an export that comes in then
// creates no engine, whose threads the unload, already past the engine
// table, would never stop. Changed under g_engineCreateLock.
std::atomic<bool> g_bUnloading{false};

// The application object of the library: its load and unload work, run by
// the platform's hooks (platform/library.h).
class CPelmo_DLLApp {
public:
    void InitInstance() {
        g_bUnloading = false;
        ClearEngineTable();
        // A library kept loaded by an earlier unload starts downloading again.
        StopCallingThreadDownloads(false);
    }
    // True when no thread of the library runs any more.
    bool ExitInstance(bool bProcessExit) {
        bool bStopped = true;
        if (bProcessExit) {
            LogShutdownAtProcessExit();
        } else {
            bStopped = StopEverything();
        }
        // The close lines are in the log: the file is not kept open past the
        // library (a thread left running opens it again if it writes).
        WriteFileClose();
        return bStopped;
    }
    // Destroys the engines and waits for the downloads; true when no thread
    // of the library runs any more.
    bool StopEverything() {
        {
            // An engine being created now is in the table before this
            // returns, and the unload destroys it.
            KMutexAdaptor<KThreadMutex> guard(g_engineCreateLock, -1);
            g_bUnloading = true;
        }
        // A DownloadFile runs on a game thread, inside the library's code:
        // it is told to end now (with 7) rather than waited out, engine or
        // none. The engine's shutdown and the wait below then see its call
        // leave.
        uint32_t dwStart = platform::TickMs();
        StopCallingThreadDownloads(true);
        bool bHadEngine = false;
        bool bStopped = DestroyAllEngines(&bHadEngine);
        // Downloads started without an engine still run the library's code;
        // an engine's shutdown has stopped them already.
        if (!bHadEngine) {
            WaitForDownloadsAtUnload();
            bStopped = WaitForExportCallsWithoutEngine(dwStart) && bStopped;
        }
        // Joins what has ended, so that no thread is still on its way out
        // through the library's code when it goes.
        return bStopped && platform::ThreadsWaitRunningAtMost(0, 200);
    }
    // Export calls in progress at an unload without an engine: none but a
    // DownloadFile told to stop, or a Download_File_EX within its 10 ms,
    // should be left, so the bound is short. A call still inside at the
    // bound keeps the library loaded and is logged.
    static bool WaitForExportCallsWithoutEngine(uint32_t dwStart) {
        if (WaitForExportCalls(dwStart, kExportCallBoundMs)) return true;
        WriteFileNew(LogFile(),
                     "---testing20090618---close---error---调用未能返回:进行中的调用%d;"
                     "库保持加载---",
                     static_cast<int>(g_iExportCalls.load()));
        return false;
    }
    void LogShutdownAtProcessExit() {
        for (auto& slot : g_apEngines) {
            ClientEngine* pEngine = slot.load(std::memory_order_acquire);
            if (pEngine != nullptr) ShutdownEngineAtProcessExit(*pEngine);
        }
    }
};

CPelmo_DLLApp theApp;

// A new engine, started: null when it cannot be allocated.
ClientEngine* CreateEngine() {
    std::unique_ptr<ClientEngine> pEngine(new (std::nothrow) ClientEngine);
    if (pEngine == nullptr) return nullptr;
    ClientEngine& engine = *pEngine;
    // The socket layer, version 1.1; a failure shows later as failed
    // connection attempts.
    platform::SocketStartup();
    engine.tStart = platform::NowSeconds32();
    // A table that cannot be created stays null: every lookup then finds
    // nothing and every insertion fails, which the callers report.
    engine.queues.Create();
    engine.ReadConfigFile();
    if (vorel_testing::SessionThreadEnabled()) StartSessionThread(engine);
    // The call that creates the engine pauses 100 ms, time for the session
    // thread to start its connection.
    platform::SleepMs(100);
    return pEngine.release();
}

}  // namespace

void ClearEngineTable() {
    for (auto& slot : g_apEngines) slot.store(nullptr, std::memory_order_release);
}

bool DestroyAllEngines(bool* pbHadEngine) {
    bool bStopped = true;
    for (auto& slot : g_apEngines) {
        ClientEngine* pEngine = slot.exchange(nullptr, std::memory_order_acq_rel);
        if (pEngine == nullptr) continue;
        if (pbHadEngine != nullptr) *pbHadEngine = true;
        // An engine whose threads could not be stopped stays allocated.
        if (ShutdownEngine(*pEngine)) {
            delete pEngine;
            continue;
        }
        bStopped = false;
        for (auto& kept : g_apKeptEngines) {
            ClientEngine* pNone = nullptr;
            if (kept.compare_exchange_strong(pNone, pEngine)) break;
        }
    }
    return bStopped;
}

ClientEngine* GetEngine() {
    ClientEngine* pEngine = g_apEngines[0].load(std::memory_order_acquire);
    if (pEngine != nullptr) return pEngine;
    KMutexAdaptor<KThreadMutex> guard(g_engineCreateLock, -1);
    pEngine = g_apEngines[0].load(std::memory_order_acquire);
    if (pEngine == nullptr && !g_bUnloading.load()) {
        pEngine = CreateEngine();
        g_apEngines[0].store(pEngine, std::memory_order_release);
    }
    return pEngine;
}

void OnLibraryLoad() { theApp.InitInstance(); }

bool OnLibraryUnload(bool bProcessExit) { return theApp.ExitInstance(bProcessExit); }
