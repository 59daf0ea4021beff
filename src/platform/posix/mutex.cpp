// The critical section on POSIX: a recursive pthread mutex.
#include "platform/mutex.h"

#include <pthread.h>

#include <cstdlib>
#include <new>

namespace platform {
namespace {

static_assert(sizeof(pthread_mutex_t) <= 64, "room for the mutex");
static_assert(alignof(pthread_mutex_t) <= 16, "alignment of the mutex");

}  // namespace

CriticalSection::CriticalSection() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_t* pMutex = new (storage_) pthread_mutex_t;
    // Initialising a recursive mutex fails only for lack of memory; a lock
    // that does not exist cannot be worked around.
    if (pthread_mutex_init(pMutex, &attr) != 0) std::abort();
    pthread_mutexattr_destroy(&attr);
}

CriticalSection::~CriticalSection() {
    pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t*>(storage_));
}

void CriticalSection::Enter() { pthread_mutex_lock(reinterpret_cast<pthread_mutex_t*>(storage_)); }

void CriticalSection::Leave() {
    // A recursive mutex refuses the unlock of a thread that does not hold
    // it: in builds without NDEBUG that fault stops the program, as the
    // lock checks do, instead of passing unseen.
    int iResult = pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t*>(storage_));
#ifndef NDEBUG
    if (iResult != 0) std::abort();
#else
    (void)iResult;
#endif
}

}  // namespace platform
