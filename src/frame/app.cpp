// The application object: a process-wide object constructed when the library
// is loaded and destroyed when it is unloaded. It keeps the table of engine
// slots; the exports use the first.
#include <atomic>
#include <new>

#include "frame/engine.h"
#include "frame/lock.h"
#include "frame/shutdown.h"

namespace {

constexpr int kEngineSlots = 10;

std::atomic<ClientEngine*> g_apEngines[kEngineSlots];

// Makes the first creation of the engine safe when several game threads
// call their first export at once.
KThreadMutex g_engineCreateLock;

class CPelmo_DLLApp {
public:
    CPelmo_DLLApp() { ClearEngineTable(); }
    virtual ~CPelmo_DLLApp() { DestroyAllEngines(); }
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
