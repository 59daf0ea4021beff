// The critical section on Windows: the system's own CRITICAL_SECTION, kept
// in the object's storage so that no allocation is needed.
#include "platform/mutex.h"

#include <windows.h>

#include <new>

namespace platform {
namespace {

static_assert(sizeof(CRITICAL_SECTION) <= 64, "room for the critical section");
static_assert(alignof(CRITICAL_SECTION) <= 16, "alignment of the critical section");

CRITICAL_SECTION* Native(unsigned char* pStorage) {
    return std::launder(reinterpret_cast<CRITICAL_SECTION*>(pStorage));
}

}  // namespace

CriticalSection::CriticalSection() {
    static_assert(sizeof(storage_) == 64, "the storage checked above");
    // Since Windows Vista this cannot fail; the lock is re-entrant by nature.
    InitializeCriticalSection(new (storage_) CRITICAL_SECTION);
}

CriticalSection::~CriticalSection() { DeleteCriticalSection(Native(storage_)); }

void CriticalSection::Enter() { EnterCriticalSection(Native(storage_)); }

void CriticalSection::Leave() { LeaveCriticalSection(Native(storage_)); }

}  // namespace platform
