// Threads on POSIX: detached pthreads sharing a small record with their
// handle. The routine's end is announced through that record, so waiting
// never involves joining, and a handle may be released at any time.
#include "platform/thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>

namespace platform {

struct ThreadHandle {
    ThreadRoutine routine;
    void* pArg;
    std::atomic<int> iRefs{2};  // the handle and the running thread
    pthread_mutex_t mutex;      // with cond: signals the routine's end
    pthread_cond_t cond;
    bool bEnded = false;                 // guarded by mutex
    uint32_t dwExitCode = kStillActive;  // guarded by mutex
};

namespace {

pthread_mutex_t g_runningMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_runningCond;
int g_iRunning = 0;  // guarded by g_runningMutex
pthread_once_t g_once = PTHREAD_ONCE_INIT;

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

void* ThreadMain(void* pParam) {
    ThreadHandle* pRecord = static_cast<ThreadHandle*>(pParam);
    uint32_t dwCode = pRecord->routine(pRecord->pArg);

    pthread_mutex_lock(&pRecord->mutex);
    pRecord->dwExitCode = dwCode;
    pRecord->bEnded = true;
    pthread_cond_broadcast(&pRecord->cond);
    pthread_mutex_unlock(&pRecord->mutex);

    pthread_mutex_lock(&g_runningMutex);
    --g_iRunning;
    pthread_cond_broadcast(&g_runningCond);
    pthread_mutex_unlock(&g_runningMutex);

    Release(pRecord);
    return nullptr;
}

}  // namespace

ThreadHandle* ThreadCreate(ThreadRoutine routine, void* pArg) {
    if (routine == nullptr) return nullptr;
    pthread_once(&g_once, InitRunningCond);
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

    pthread_mutex_lock(&g_runningMutex);
    ++g_iRunning;
    pthread_mutex_unlock(&g_runningMutex);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int iError = pthread_create(&thread, &attr, ThreadMain, pRecord);
    pthread_attr_destroy(&attr);
    if (iError != 0) {
        pthread_mutex_lock(&g_runningMutex);
        --g_iRunning;
        pthread_cond_broadcast(&g_runningCond);
        pthread_mutex_unlock(&g_runningMutex);
        pRecord->iRefs.store(1);
        Release(pRecord);
        return nullptr;
    }
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
    return bEnded;
}

void ThreadClose(ThreadHandle* hThread) {
    if (hThread != nullptr) Release(hThread);
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
    return bReached;
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

}  // namespace platform
