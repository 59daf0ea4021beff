// Threads on POSIX: pthreads sharing a small record with their handle. The
// routine's end is announced through that record, so a handle may be
// released at any time. Every thread is also joined, by the platform layer
// itself: ended threads are reaped as new ones start, and a wait for the
// running count to drop joins those that ended, so that once it returns no
// ended thread is still running the library's code (the library may be
// unloaded right after).
#include "platform/thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "platform/system.h"

namespace platform {

struct ThreadHandle {
    ThreadRoutine routine;
    void* pArg;
    std::atomic<int> iRefs{3};  // the handle, the running thread, the joiner
    pthread_t thread;
    pthread_mutex_t mutex;  // with cond: signals the routine's end
    pthread_cond_t cond;
    bool bEnded = false;                 // guarded by mutex
    uint32_t dwExitCode = kStillActive;  // guarded by mutex
};

namespace {

pthread_mutex_t g_runningMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_runningCond;
int g_iRunning = 0;  // guarded by g_runningMutex
pthread_once_t g_once = PTHREAD_ONCE_INIT;
// Threads started and not yet joined; guarded by g_runningMutex.
ThreadHandle* g_apUnjoined[1024];
int g_iUnjoined = 0;

void InitRunningCond() {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&g_runningCond, &attr);
    pthread_condattr_destroy(&attr);
}

void Release(ThreadHandle* pRecord) {
    if (pRecord->iRefs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        pthread_cond_destroy(&pRecord->cond);
        pthread_mutex_destroy(&pRecord->mutex);
        delete pRecord;
    }
}

timespec DeadlineAfter(uint32_t dwTimeoutMs) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += static_cast<time_t>(dwTimeoutMs / 1000u);
    ts.tv_nsec += static_cast<long>(dwTimeoutMs % 1000u) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

bool Ended(ThreadHandle* pRecord) {
    pthread_mutex_lock(&pRecord->mutex);
    bool bEnded = pRecord->bEnded;
    pthread_mutex_unlock(&pRecord->mutex);
    return bEnded;
}

// Joins the threads that have ended.
// REQUIRES: g_runningMutex not held: a thread on its way out takes it.
void JoinEnded() {
    ThreadHandle* apToJoin[1024];
    int iToJoin = 0;
    pthread_t self = pthread_self();
    pthread_mutex_lock(&g_runningMutex);
    for (int i = 0; i < g_iUnjoined;) {
        ThreadHandle* pRecord = g_apUnjoined[i];
        if (!pthread_equal(pRecord->thread, self) && Ended(pRecord)) {
            apToJoin[iToJoin++] = pRecord;
            g_apUnjoined[i] = g_apUnjoined[--g_iUnjoined];
        } else {
            ++i;
        }
    }
    pthread_mutex_unlock(&g_runningMutex);
    for (int i = 0; i < iToJoin; ++i) {
        pthread_join(apToJoin[i]->thread, nullptr);
        Release(apToJoin[i]);
    }
}

void* ThreadMain(void* pParam) {
    ThreadHandle* pRecord = static_cast<ThreadHandle*>(pParam);
    uint32_t dwCode = pRecord->routine(pRecord->pArg);

    pthread_mutex_lock(&pRecord->mutex);
    pRecord->dwExitCode = dwCode;
    pRecord->bEnded = true;
    pthread_cond_broadcast(&pRecord->cond);
    pthread_mutex_unlock(&pRecord->mutex);
    Release(pRecord);

    pthread_mutex_lock(&g_runningMutex);
    --g_iRunning;
    pthread_cond_broadcast(&g_runningCond);
    pthread_mutex_unlock(&g_runningMutex);
    return nullptr;
}

}  // namespace

ThreadHandle* detail::SystemThreadCreate(ThreadRoutine routine, void* pArg) {
    pthread_once(&g_once, InitRunningCond);
    JoinEnded();
    ThreadHandle* pRecord = new (std::nothrow) ThreadHandle;
    if (pRecord == nullptr) return nullptr;
    pRecord->routine = routine;
    pRecord->pArg = pArg;
    pthread_mutex_init(&pRecord->mutex, nullptr);
    pthread_condattr_t condAttr;
    pthread_condattr_init(&condAttr);
    pthread_condattr_setclock(&condAttr, CLOCK_MONOTONIC);
    pthread_cond_init(&pRecord->cond, &condAttr);
    pthread_condattr_destroy(&condAttr);

    // Counted and listed before it starts, so that neither misses a thread
    // that is already running; the list is bounded, and a full list refuses
    // the thread as the system would.
    pthread_mutex_lock(&g_runningMutex);
    if (g_iUnjoined == static_cast<int>(sizeof(g_apUnjoined) / sizeof(g_apUnjoined[0]))) {
        pthread_mutex_unlock(&g_runningMutex);
        pRecord->iRefs.store(1);
        Release(pRecord);
        return nullptr;
    }
    ++g_iRunning;
    g_apUnjoined[g_iUnjoined++] = pRecord;
    // Created while the list is held, so pRecord->thread is set before any
    // joiner looks at it.
    int iError = pthread_create(&pRecord->thread, nullptr, ThreadMain, pRecord);
    if (iError != 0) {
        --g_iRunning;
        --g_iUnjoined;
        pthread_cond_broadcast(&g_runningCond);
        pthread_mutex_unlock(&g_runningMutex);
        pRecord->iRefs.store(1);
        Release(pRecord);
        return nullptr;
    }
    pthread_mutex_unlock(&g_runningMutex);
    return pRecord;
}

bool ThreadGetExitCode(ThreadHandle* hThread, uint32_t* pdwCode) {
    if (hThread == nullptr || pdwCode == nullptr) return false;
    pthread_mutex_lock(&hThread->mutex);
    *pdwCode = hThread->bEnded ? hThread->dwExitCode : kStillActive;
    pthread_mutex_unlock(&hThread->mutex);
    return true;
}

bool ThreadWaitEnd(ThreadHandle* hThread, uint32_t dwTimeoutMs) {
    if (hThread == nullptr) return false;
    timespec deadline = DeadlineAfter(dwTimeoutMs);
    pthread_mutex_lock(&hThread->mutex);
    while (!hThread->bEnded) {
        if (pthread_cond_timedwait(&hThread->cond, &hThread->mutex, &deadline) != 0 &&
            !hThread->bEnded) {
            break;  // timed out
        }
    }
    bool bEnded = hThread->bEnded;
    pthread_mutex_unlock(&hThread->mutex);
    if (bEnded) JoinEnded();
    return bEnded;
}

void ThreadClose(ThreadHandle* hThread) {
    if (hThread == nullptr) return;
    Release(hThread);
    JoinEnded();
}

int ThreadsRunning() {
    pthread_mutex_lock(&g_runningMutex);
    int iRunning = g_iRunning;
    pthread_mutex_unlock(&g_runningMutex);
    return iRunning;
}

bool ThreadsWaitRunningAtMost(int iCount, uint32_t dwTimeoutMs) {
    pthread_once(&g_once, InitRunningCond);
    timespec deadline = DeadlineAfter(dwTimeoutMs);
    pthread_mutex_lock(&g_runningMutex);
    while (g_iRunning > iCount) {
        if (pthread_cond_timedwait(&g_runningCond, &g_runningMutex, &deadline) != 0 &&
            g_iRunning > iCount) {
            break;
        }
    }
    bool bReached = g_iRunning <= iCount;
    pthread_mutex_unlock(&g_runningMutex);
    JoinEnded();
    return bReached;
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

}  // namespace platform
