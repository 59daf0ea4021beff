// The two lock classes that carry all mutual exclusion of the library.
//
// KThreadMutex owns one critical section. KMutexAdaptor<KThreadMutex> holds a
// KThreadMutex for exactly its own lifetime: no code enters or leaves a lock
// other than through such a guard, so an early return or an exception
// leaving the guarded region also leaves the lock.
//
// A function whose contract says that a lock is held (or not held) checks it
// on entry with AssertHeld (AssertNotHeld). In builds without NDEBUG (the
// debug and sanitizer builds) the lock records its holder and a failed check
// aborts with a message; in release builds the checks are empty and the lock
// records nothing.
#pragma once

#include "platform/mutex.h"

#ifndef NDEBUG
#include <atomic>
#include <cstdint>
#endif

class KThreadMutex {
public:
    KThreadMutex();
    virtual ~KThreadMutex();  // REQUIRES: no thread holds or waits for the lock
    KThreadMutex(const KThreadMutex&) = delete;
    KThreadMutex& operator=(const KThreadMutex&) = delete;

    void Lock();
    void Unlock();  // REQUIRES: the calling thread holds the lock

#ifndef NDEBUG
    void AssertHeld() const;     // aborts unless the calling thread holds the lock
    void AssertNotHeld() const;  // aborts when the calling thread holds it
#else
    void AssertHeld() const {}
    void AssertNotHeld() const {}
#endif

private:
    platform::CriticalSection criticalSection;
#ifndef NDEBUG
    // The holder's platform thread id, 0 while free. Written only by the
    // holder, read by any thread asking whether it is the holder: a thread
    // that is not cannot find its own id there.
    std::atomic<uint32_t> dwOwner{0};
    int iDepth = 0;  // the holder's entries (the lock is re-entrant); holder only
#endif
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

// A guard is the pointer to its lock and nothing else.
static_assert(sizeof(KMutexAdaptor<KThreadMutex>) == sizeof(KThreadMutex*),
              "a guard must not carry a lock of its own");
