// The two lock classes that carry all mutual exclusion of the library.
//
// KThreadMutex owns one critical section. KMutexAdaptor<KThreadMutex> holds a
// KThreadMutex for exactly its own lifetime: no code enters or leaves a lock
// other than through such a guard, so an early return or an exception
// leaving the guarded region also leaves the lock.
#pragma once

#include "platform/mutex.h"

class KThreadMutex {
public:
    KThreadMutex();
    virtual ~KThreadMutex();  // REQUIRES: no thread holds or waits for the lock
    KThreadMutex(const KThreadMutex&) = delete;
    KThreadMutex& operator=(const KThreadMutex&) = delete;

    void Lock();
    void Unlock();

private:
    platform::CriticalSection criticalSection;
};

// A scoped guard: a local object of the function that needs the lock, never
// copied, stored or shared between threads. It carries no critical section
// of its own: nothing would ever enter one, and making and deleting it for
// every guarded region, several for each request and answer, cost more than
// the region's work.
template <class TMutex>
class KMutexAdaptor {
public:
    // iUnused is -1 at every call site.
    KMutexAdaptor(TMutex& lock, int iUnused) : pLock(&lock) {
        (void)iUnused;
        pLock->Lock();
    }
    ~KMutexAdaptor() { pLock->Unlock(); }
    KMutexAdaptor(const KMutexAdaptor&) = delete;
    KMutexAdaptor& operator=(const KMutexAdaptor&) = delete;

private:
    TMutex* pLock;  // not owned
};
