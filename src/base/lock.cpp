#include "base/lock.h"

#ifndef NDEBUG
#include <cstdio>
#include <cstdlib>

#include "platform/thread.h"
#endif

KThreadMutex::KThreadMutex() = default;

#ifdef NDEBUG

KThreadMutex::~KThreadMutex() = default;

void KThreadMutex::Lock() { criticalSection.Enter(); }
void KThreadMutex::Unlock() { criticalSection.Leave(); }

#else

namespace {

[[noreturn]] void LockCheckFailed(const KThreadMutex* pLock, const char* szWhat, uint32_t dwOwner) {
    std::fprintf(stderr, "lock check failed: %s (lock %p, calling thread %u, holder %u)\n", szWhat,
                 static_cast<const void*>(pLock),
                 static_cast<unsigned>(platform::CurrentThreadId()),
                 static_cast<unsigned>(dwOwner));
    std::fflush(stderr);
    std::abort();
}

}  // namespace

KThreadMutex::~KThreadMutex() {
    uint32_t dwHolder = dwOwner.load(std::memory_order_relaxed);
    if (dwHolder != 0) LockCheckFailed(this, "the lock is destroyed while held", dwHolder);
}

void KThreadMutex::Lock() {
    criticalSection.Enter();
    uint32_t dwSelf = platform::CurrentThreadId();
    // Holding the lock now, this thread either entered it again or found it
    // free, with dwOwner 0 and iDepth 0 left by the last holder.
    if (dwOwner.load(std::memory_order_relaxed) == dwSelf) {
        ++iDepth;
    } else {
        dwOwner.store(dwSelf, std::memory_order_relaxed);
        iDepth = 1;
    }
}

void KThreadMutex::Unlock() {
    AssertHeld();
    if (--iDepth == 0) dwOwner.store(0, std::memory_order_relaxed);
    criticalSection.Leave();
}

void KThreadMutex::AssertHeld() const {
    uint32_t dwHolder = dwOwner.load(std::memory_order_relaxed);
    if (dwHolder != platform::CurrentThreadId())
        LockCheckFailed(this, "the calling thread does not hold the lock", dwHolder);
}

void KThreadMutex::AssertNotHeld() const {
    uint32_t dwHolder = dwOwner.load(std::memory_order_relaxed);
    if (dwHolder == platform::CurrentThreadId())
        LockCheckFailed(this, "the calling thread holds the lock", dwHolder);
}

#endif
