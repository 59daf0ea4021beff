// The event on Windows: the system's manual-reset event beside the flag.
// Should the system refuse the event object, waits become plain sleeps that
// a Set no longer cuts short: the pauses keep their length, and a stop waits
// at most for the pause under way.
#include "platform/event.h"

#include <windows.h>

#include <new>

namespace platform {
namespace {

static_assert(sizeof(HANDLE) <= 128, "room for the event handle");

HANDLE& HandleOf(unsigned char* pStorage) {
    return *std::launder(reinterpret_cast<HANDLE*>(pStorage));
}

}  // namespace

Event::Event() { new (storage_) HANDLE(CreateEventA(nullptr, TRUE, FALSE, nullptr)); }

Event::~Event() {
    HANDLE hEvent = HandleOf(storage_);
    if (hEvent != nullptr) CloseHandle(hEvent);
}

void Event::Set() {
    bSet_.store(true, std::memory_order_release);
    HANDLE hEvent = HandleOf(storage_);
    if (hEvent != nullptr) SetEvent(hEvent);
}

void Event::Reset() {
    HANDLE hEvent = HandleOf(storage_);
    if (hEvent != nullptr) ResetEvent(hEvent);
    bSet_.store(false, std::memory_order_release);
}

bool Event::WaitRealUs(uint64_t qwUs) {
    if (IsSet()) return true;
    uint64_t qwMs = (qwUs + 999u) / 1000u;
    DWORD dwMs = qwMs >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(qwMs);
    HANDLE hEvent = HandleOf(storage_);
    if (hEvent == nullptr) {
        Sleep(dwMs);
        return IsSet();
    }
    return WaitForSingleObject(hEvent, dwMs) == WAIT_OBJECT_0 || IsSet();
}

}  // namespace platform
