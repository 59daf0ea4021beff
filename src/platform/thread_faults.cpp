// What both platforms' thread code shares: whether an unload kept the
// library loaded, and refused thread creations for tests.
#include <atomic>

#include "platform/library.h"
#include "platform/system.h"
#include "platform/testing.h"
#include "platform/thread.h"

namespace platform {
namespace {

std::atomic<int> g_iRefusals{0};
std::atomic<bool> g_bKeptLoaded{false};

// True, using one refusal up, while RefuseThreads has some left.
bool TakeThreadRefusal() {
    int iLeft = g_iRefusals.load();
    while (iLeft > 0) {
        if (g_iRefusals.compare_exchange_weak(iLeft, iLeft - 1)) return true;
    }
    return false;
}

}  // namespace

void MarkLibraryKeptLoaded() { g_bKeptLoaded.store(true); }
bool LibraryKeptLoaded() { return g_bKeptLoaded.load(); }

ThreadHandle* ThreadCreate(ThreadRoutine routine, void* pArg) {
    if (routine == nullptr || TakeThreadRefusal()) return nullptr;
    return detail::SystemThreadCreate(routine, pArg);
}

}  // namespace platform

void platform_testing::RefuseThreads(int iCount) { platform::g_iRefusals.store(iCount); }
