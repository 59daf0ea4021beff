// The application object and the table of engine slots it keeps; the
// exports use the first slot. The platform's load and unload hooks run the
// object's work.
#include <atomic>
#include <new>

#include "download/download.h"
#include "frame/engine.h"
#include "frame/lock.h"
#include "frame/shutdown.h"
#include "platform/library.h"

std::atomic<int32_t> g_iExportCalls{0};

namespace {

constexpr int kEngineSlots = 10;

std::atomic<ClientEngine*> g_apEngines[kEngineSlots];

// Makes the first creation of the engine safe when several game threads
// call their first export at once.
KThreadMutex g_engineCreateLock;

// The application object of the library: its load and unload work, run by
// the platform's hooks (platform/library.h).
class CPelmo_DLLApp {
public:
    void InitInstance() { ClearEngineTable(); }
    void ExitInstance(bool bProcessExit) {
        // At the end of the process the system has already stopped the other
        // threads: there is nothing to stop and nothing to wait for.
        if (bProcessExit) return;
        DestroyAllEngines();
        // Downloads started without an engine still run the library's code.
        WaitForDownloadsAtUnload();
    }
};

CPelmo_DLLApp theApp;

}  // namespace

void ClearEngineTable() {
    for (auto& slot : g_apEngines) slot.store(nullptr, std::memory_order_release);
}

void DestroyAllEngines() {
    for (auto& slot : g_apEngines) {
        ClientEngine* pEngine = slot.exchange(nullptr, std::memory_order_acq_rel);
        if (pEngine == nullptr) continue;
        // An engine whose threads could not be stopped stays allocated.
        if (ShutdownEngine(*pEngine)) delete pEngine;
    }
}

ClientEngine* GetEngine() {
    ClientEngine* pEngine = g_apEngines[0].load(std::memory_order_acquire);
    if (pEngine != nullptr) return pEngine;
    KMutexAdaptor<KThreadMutex> guard(g_engineCreateLock, -1);
    pEngine = g_apEngines[0].load(std::memory_order_acquire);
    if (pEngine == nullptr) {
        pEngine = new (std::nothrow) ClientEngine;
        g_apEngines[0].store(pEngine, std::memory_order_release);
    }
    return pEngine;
}

void OnLibraryLoad() { theApp.InitInstance(); }

void OnLibraryUnload(bool bProcessExit) { theApp.ExitInstance(bProcessExit); }
