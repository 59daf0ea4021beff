// The library's own threads: creation retried while the system refuses a
// thread, and the slot that holds the handle of the newest thread of a kind.
//
// A slot (the reconnect thread's, the background download's) holds the
// handle of the newest thread of its kind, or null. Starting a newer thread
// takes the slot over and closes the older handle; the older thread runs on
// untracked. A thread that ends clears the slot only while the slot still
// holds its own handle, so that it never closes a successor's. The thread
// learns its handle from its starter once creation has returned, and waits
// for it before it touches the slot.
#pragma once

#include <atomic>

#include "platform/thread.h"

using ThreadSlot = std::atomic<platform::ThreadHandle*>;

// Empties the slot for a newer thread. A slot still occupied is logged with
// szOccupiedLine (a text without conversions) and its handle closed.
void TakeThreadSlot(ThreadSlot& slot, const char* szOccupiedLine);

// What a slotted thread knows of its own handle. Part of the record the
// thread is started with; the starter publishes, the thread leaves.
class SlotSelf {
public:
    // The starter, once creation has returned: the handle goes into the slot
    // and then to the thread.
    void Publish(ThreadSlot& slot, platform::ThreadHandle* hThread);

    // The thread, as it ends: waits until its handle is published, then
    // clears the slot and closes the handle if the slot still holds it.
    void Leave(ThreadSlot& slot);

private:
    std::atomic<platform::ThreadHandle*> hSelf_{nullptr};
    std::atomic<bool> bPublished_{false};
};

// Writes one refusal of a new thread to the log: szFormat takes the time in
// seconds as its one %d.
void LogThreadRefused(const char* szFormat);

// Starts routine(pArg). Each refusal of the system is logged through
// LogThreadRefused(szRefusedFormat), then again() says whether to try once
// more (it may pause first). Null only when again() said no.
template <typename Again>
platform::ThreadHandle* CreateThreadRetrying(platform::ThreadRoutine routine, void* pArg,
                                             const char* szRefusedFormat, Again again) {
    platform::ThreadHandle* hThread;
    while ((hThread = platform::ThreadCreate(routine, pArg)) == nullptr) {
        LogThreadRefused(szRefusedFormat);
        if (!again()) break;
    }
    return hThread;
}

// The same, retried at once and without limit: never null.
inline platform::ThreadHandle* CreateThreadRetrying(platform::ThreadRoutine routine, void* pArg,
                                                    const char* szRefusedFormat) {
    return CreateThreadRetrying(routine, pArg, szRefusedFormat, [] { return true; });
}
