// Refused thread creations for tests, shared by both platforms' threads.
#include <atomic>

#include "platform/thread.h"

namespace platform {
namespace {

std::atomic<int> g_iRefusals{0};

}  // namespace

namespace testing {

void RefuseThreads(int iCount) { g_iRefusals.store(iCount); }

}  // namespace testing

namespace detail {

bool TakeThreadRefusal() {
    int iLeft = g_iRefusals.load();
    while (iLeft > 0) {
        if (g_iRefusals.compare_exchange_weak(iLeft, iLeft - 1)) return true;
    }
    return false;
}

}  // namespace detail
}  // namespace platform
