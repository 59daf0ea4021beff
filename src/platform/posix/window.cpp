// Stand-in windows for POSIX hosts: a registry of window procedures under
// never-reused handle numbers. A message is delivered synchronously on the
// sending thread, as SendMessage does for a window of the same thread.
#include "platform/window.h"

#include <pthread.h>

#include <cstdint>
#include <new>
#include <unordered_map>

#include "vorel/vorel_window.h"

namespace platform {
namespace {

struct StandInWindow {
    VOREL_WNDPROC pfnWndProc;
    void* pUser;
    int iInFlight = 0;             // procedure calls running; guarded by g_mutex
    bool bDestroyed = false;       // guarded by g_mutex
    bool bDestroyerWaits = false;  // guarded by g_mutex: the destroyer frees it
};

pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_idle = PTHREAD_COND_INITIALIZER;
std::unordered_map<uintptr_t, StandInWindow*>* g_pWindows = nullptr;  // guarded by g_mutex
uintptr_t g_iNextId = 0x10000;

// The windows whose procedure the calling thread is inside, innermost last,
// so that a procedure destroying its own window does not wait for itself.
constexpr int kMaxNesting = 16;
thread_local uintptr_t t_inside[kMaxNesting];
thread_local int t_iDepth = 0;

uintptr_t IdOf(HWND hWnd) { return reinterpret_cast<uintptr_t>(hWnd); }

// REQUIRES: g_mutex held.
StandInWindow* FindLocked(uintptr_t id) {
    if (g_pWindows == nullptr) return nullptr;
    auto it = g_pWindows->find(id);
    return it == g_pWindows->end() ? nullptr : it->second;
}

bool InsideOnThisThread(uintptr_t id) {
    for (int i = 0; i < t_iDepth && i < kMaxNesting; ++i) {
        if (t_inside[i] == id) return true;
    }
    return false;
}

}  // namespace

bool IsWindowHandle(WindowHandle hWnd) {
    if (hWnd == nullptr) return false;
    pthread_mutex_lock(&g_mutex);
    bool bFound = FindLocked(IdOf(hWnd)) != nullptr;
    pthread_mutex_unlock(&g_mutex);
    return bFound;
}

intptr_t SendCopyData(WindowHandle hWnd, uintptr_t dwData, uint32_t cbData, const void* lpData) {
    if (hWnd == nullptr) return 0;
    uintptr_t id = IdOf(hWnd);
    pthread_mutex_lock(&g_mutex);
    StandInWindow* pWindow = FindLocked(id);
    if (pWindow != nullptr) ++pWindow->iInFlight;
    pthread_mutex_unlock(&g_mutex);
    if (pWindow == nullptr) return 0;

    COPYDATASTRUCT cds;
    cds.dwData = dwData;
    cds.cbData = cbData;
    cds.lpData = const_cast<void*>(lpData);
    if (t_iDepth < kMaxNesting) t_inside[t_iDepth] = id;
    ++t_iDepth;
    intptr_t iResult = pWindow->pfnWndProc(hWnd, WM_COPYDATA, 0, reinterpret_cast<intptr_t>(&cds));
    --t_iDepth;

    pthread_mutex_lock(&g_mutex);
    bool bFree = --pWindow->iInFlight == 0 && pWindow->bDestroyed && !pWindow->bDestroyerWaits;
    pthread_cond_broadcast(&g_idle);
    pthread_mutex_unlock(&g_mutex);
    if (bFree) delete pWindow;
    return iResult;
}

// A stand-in window's procedure runs on the sending thread: the calling
// thread handles the message it is inside.
bool WindowHandledByCallingThread(WindowHandle hWnd) {
    return hWnd != nullptr && InsideOnThisThread(IdOf(hWnd));
}

}  // namespace platform

using platform::g_idle;
using platform::g_mutex;

extern "C" VOREL_API HWND VorelCreateWindow(VOREL_WNDPROC pfnWndProc, void* pUser) {
    if (pfnWndProc == nullptr) return nullptr;
    platform::StandInWindow* pWindow = new (std::nothrow) platform::StandInWindow;
    if (pWindow == nullptr) return nullptr;
    pWindow->pfnWndProc = pfnWndProc;
    pWindow->pUser = pUser;
    HWND hWnd = nullptr;
    pthread_mutex_lock(&g_mutex);
    try {
        if (platform::g_pWindows == nullptr) {
            platform::g_pWindows = new std::unordered_map<uintptr_t, platform::StandInWindow*>;
        }
        uintptr_t id = platform::g_iNextId;
        platform::g_iNextId += 0x10;
        platform::g_pWindows->emplace(id, pWindow);
        hWnd = reinterpret_cast<HWND>(id);
    } catch (...) {
        hWnd = nullptr;
    }
    pthread_mutex_unlock(&g_mutex);
    if (hWnd == nullptr) delete pWindow;
    return hWnd;
}

extern "C" VOREL_API void VorelDestroyWindow(HWND hWnd) {
    if (hWnd == nullptr) return;
    uintptr_t id = platform::IdOf(hWnd);
    pthread_mutex_lock(&g_mutex);
    platform::StandInWindow* pWindow = platform::FindLocked(id);
    if (pWindow == nullptr) {
        pthread_mutex_unlock(&g_mutex);
        return;
    }
    platform::g_pWindows->erase(id);
    pWindow->bDestroyed = true;
    bool bFree = pWindow->iInFlight == 0;
    if (!bFree && !platform::InsideOnThisThread(id)) {
        // Wait for the calls on other threads, then free the window here.
        pWindow->bDestroyerWaits = true;
        while (pWindow->iInFlight > 0) pthread_cond_wait(&g_idle, &g_mutex);
        bFree = true;
    }
    if (platform::g_pWindows->empty()) {
        delete platform::g_pWindows;
        platform::g_pWindows = nullptr;
    }
    pthread_mutex_unlock(&g_mutex);
    if (bFree) delete pWindow;
}

extern "C" VOREL_API void* VorelGetWindowUser(HWND hWnd) {
    pthread_mutex_lock(&g_mutex);
    platform::StandInWindow* pWindow = platform::FindLocked(platform::IdOf(hWnd));
    void* pUser = pWindow != nullptr ? pWindow->pUser : nullptr;
    pthread_mutex_unlock(&g_mutex);
    return pUser;
}
