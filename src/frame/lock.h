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
// copied, stored or shared between threads. It derives from its lock type,
// so it carries a critical section of its own that nothing enters.
template <class TMutex>
class KMutexAdaptor : public TMutex {
public:
    // iUnused is -1 at every call site.
    KMutexAdaptor(TMutex& lock, int iUnused) : pLock(&lock) {
        (void)iUnused;
        pLock->Lock();
    }
    ~KMutexAdaptor() override { pLock->Unlock(); }
    KMutexAdaptor(const KMutexAdaptor&) = delete;
    KMutexAdaptor& operator=(const KMutexAdaptor&) = delete;

private:
    TMutex* pLock;  // not owned
};
