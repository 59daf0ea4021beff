// The event on POSIX: a flag under a mutex with a condition variable that
// measures its waits on CLOCK_MONOTONIC, so that setting the calendar clock
// neither stretches nor cuts a pause.
#include "platform/event.h"

#include <pthread.h>
#include <time.h>

#include <cstdlib>
#include <new>

namespace platform {
namespace {

struct Native {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
};

static_assert(sizeof(Native) <= 128, "room for the mutex and the condition variable");
static_assert(alignof(Native) <= 16, "alignment of the mutex and the condition variable");

Native* NativeOf(unsigned char* pStorage) {
    return std::launder(reinterpret_cast<Native*>(pStorage));
}

}  // namespace

Event::Event() {
    Native* pNative = new (storage_) Native;
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    // Both fail only for lack of memory; a pause that cannot be ended
    // cannot be worked around.
    if (pthread_mutex_init(&pNative->mutex, nullptr) != 0 ||
        pthread_cond_init(&pNative->cond, &attr) != 0)
        std::abort();
    pthread_condattr_destroy(&attr);
}

Event::~Event() {
    Native* pNative = NativeOf(storage_);
    pthread_cond_destroy(&pNative->cond);
    pthread_mutex_destroy(&pNative->mutex);
}

void Event::Set() {
    Native* pNative = NativeOf(storage_);
    pthread_mutex_lock(&pNative->mutex);
    bSet_.store(true, std::memory_order_release);
    pthread_cond_broadcast(&pNative->cond);
    pthread_mutex_unlock(&pNative->mutex);
}

void Event::Reset() {
    Native* pNative = NativeOf(storage_);
    pthread_mutex_lock(&pNative->mutex);
    bSet_.store(false, std::memory_order_release);
    pthread_mutex_unlock(&pNative->mutex);
}

bool Event::WaitRealUs(uint64_t qwUs) {
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    uint64_t qwNs = static_cast<uint64_t>(deadline.tv_nsec) + (qwUs % 1000000u) * 1000u;
    deadline.tv_sec += static_cast<time_t>(qwUs / 1000000u + qwNs / 1000000000u);
    deadline.tv_nsec = static_cast<long>(qwNs % 1000000000u);
    Native* pNative = NativeOf(storage_);
    pthread_mutex_lock(&pNative->mutex);
    // Woken without the flag (a spurious wake-up): wait on to the deadline.
    while (!bSet_.load(std::memory_order_acquire) &&
           pthread_cond_timedwait(&pNative->cond, &pNative->mutex, &deadline) == 0) {
    }
    bool bSet = bSet_.load(std::memory_order_acquire);
    pthread_mutex_unlock(&pNative->mutex);
    return bSet;
}

}  // namespace platform
