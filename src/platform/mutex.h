// A critical section: a re-entrant mutual-exclusion lock, as the Win32
// CRITICAL_SECTION is (the owning thread may enter it again and must leave it
// as often as it entered).
#pragma once

#include <cstddef>

namespace platform {

class CriticalSection {
public:
    CriticalSection();   // InitializeCriticalSection
    ~CriticalSection();  // DeleteCriticalSection: no thread may hold or wait for it
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter();  // waits as long as it takes
    void Leave();

private:
    // Room for the system's lock object, so that this header needs no system
    // header and the lock needs no allocation; each implementation checks the
    // size at compile time.
    alignas(16) unsigned char storage_[64];
};

}  // namespace platform
