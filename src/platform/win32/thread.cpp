// Threads on Windows. The system's thread handle is closed at once: nobody
// ever waits on the thread object, because a thread's own end needs the
// loader lock, which the library's unload hook runs under. Instead the handle
// and the running thread share a record through which the routine announces
// its end, with an event that waiters use.
#include "platform/thread.h"

#include <windows.h>

#include <atomic>
#include <new>

#include "platform/system.h"

namespace platform {

struct ThreadHandle {
    ThreadRoutine routine;
    void* pArg;
    std::atomic<int> iRefs{2};  // the handle and the running thread
    HANDLE hEnded = nullptr;    // manual-reset event, set once the routine has returned
    std::atomic<bool> bEnded{false};
    uint32_t dwExitCode = kStillActive;  // written before bEnded is set
};

namespace {

std::atomic<int> g_iRunning{0};

void Release(ThreadHandle* pRecord) {
    if (pRecord->iRefs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        CloseHandle(pRecord->hEnded);
        delete pRecord;
    }
}

DWORD WINAPI ThreadMain(LPVOID pParam) {
    ThreadHandle* pRecord = static_cast<ThreadHandle*>(pParam);
    uint32_t dwCode = pRecord->routine(pRecord->pArg);

    pRecord->dwExitCode = dwCode;
    pRecord->bEnded.store(true, std::memory_order_release);
    SetEvent(pRecord->hEnded);
    Release(pRecord);
    // The last act: once the count drops, only this function's return is left
    // to run in the library's code, so an unload may go ahead.
    g_iRunning.fetch_sub(1, std::memory_order_release);
    return dwCode;
}

}  // namespace

ThreadHandle* detail::SystemThreadCreate(ThreadRoutine routine, void* pArg) {
    ThreadHandle* pRecord = new (std::nothrow) ThreadHandle;
    if (pRecord == nullptr) return nullptr;
    pRecord->routine = routine;
    pRecord->pArg = pArg;
    pRecord->hEnded = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (pRecord->hEnded == nullptr) {
        delete pRecord;
        return nullptr;
    }

    // Counted before it starts, so that the count never misses a thread that
    // is already running.
    g_iRunning.fetch_add(1, std::memory_order_relaxed);
    DWORD dwThreadId = 0;
    HANDLE hThread = CreateThread(nullptr, 0, ThreadMain, pRecord, 0, &dwThreadId);
    if (hThread == nullptr) {
        g_iRunning.fetch_sub(1, std::memory_order_release);
        pRecord->iRefs.store(1, std::memory_order_relaxed);
        Release(pRecord);
        return nullptr;
    }
    // Not waited for: called under the loader lock (from a DLL's entry
    // point, say) a new thread cannot start before the caller has returned.
    // It is counted already, so an unload that comes first and cannot wait
    // for it keeps the library loaded for it.
    CloseHandle(hThread);
    return pRecord;
}

bool ThreadGetExitCode(ThreadHandle* hThread, uint32_t* pdwCode) {
    if (hThread == nullptr || pdwCode == nullptr) return false;
    *pdwCode = hThread->bEnded.load(std::memory_order_acquire) ? hThread->dwExitCode : kStillActive;
    return true;
}

bool ThreadWaitEnd(ThreadHandle* hThread, uint32_t dwTimeoutMs) {
    if (hThread == nullptr) return false;
    if (hThread->bEnded.load(std::memory_order_acquire)) return true;
    return WaitForSingleObject(hThread->hEnded, dwTimeoutMs) == WAIT_OBJECT_0;
}

void ThreadClose(ThreadHandle* hThread) {
    if (hThread != nullptr) Release(hThread);
}

int ThreadsRunning() { return g_iRunning.load(std::memory_order_acquire); }

bool ThreadsWaitRunningAtMost(int iCount, uint32_t dwTimeoutMs) {
    // Polled: the count is lowered by threads on their way out, which must
    // not touch anything that could outlive them. The wait runs on the real
    // tick, not on the clocks that tests substitute.
    DWORD dwStart = GetTickCount();
    bool bWaited = false;
    for (;;) {
        if (g_iRunning.load(std::memory_order_acquire) <= iCount) {
            // A thread that has just announced its end still returns
            // through a few instructions of the library: let it.
            if (bWaited) Sleep(20);
            return true;
        }
        bWaited = true;
        DWORD dwElapsed = GetTickCount() - dwStart;
        if (dwElapsed >= dwTimeoutMs) return false;
        DWORD dwLeft = dwTimeoutMs - dwElapsed;
        Sleep(dwLeft < 5 ? dwLeft : 5);
    }
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(GetCurrentThreadId()); }

}  // namespace platform
