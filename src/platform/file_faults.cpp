// What both platforms' file code shares: the append faults that tests
// inject, and the checks in front of the system's append.
#include <atomic>

#include "platform/files.h"
#include "platform/system.h"
#include "platform/testing.h"

namespace platform {
namespace {

std::atomic<int> g_iFaults{0};
std::atomic<size_t> g_iFaultBytes{0};

// True when an append fault is armed: *piBytes receives how many bytes the
// faulty write may still write, and one use is consumed.
bool TakeAppendFault(size_t* piBytes) {
    int iLeft = g_iFaults.load(std::memory_order_acquire);
    while (iLeft > 0) {
        if (g_iFaults.compare_exchange_weak(iLeft, iLeft - 1)) {
            *piBytes = g_iFaultBytes.load();
            return true;
        }
    }
    return false;
}

}  // namespace

size_t AppendFileWrite(AppendFile hFile, const void* pData, size_t iLength) {
    if (hFile == kNoAppendFile || (pData == nullptr && iLength > 0)) return 0;
    size_t iAllowed = 0;
    if (TakeAppendFault(&iAllowed)) {
        return detail::SystemAppendWrite(hFile, pData, iAllowed < iLength ? iAllowed : 0);
    }
    return detail::SystemAppendWrite(hFile, pData, iLength);
}

}  // namespace platform

void platform_testing::InjectAppendFaults(int iCount, size_t iBytes) {
    platform::g_iFaultBytes.store(iBytes);
    platform::g_iFaults.store(iCount > 0 ? iCount : 0);
}
