// What both platforms' file code shares: the append faults and the free
// space that tests inject, the checks in front of the system's append, and
// the directory that a free-space question asks about.
#include <atomic>
#include <cstdlib>
#include <cstring>

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

std::atomic<platform_testing::FreeSpaceHook> g_pfnFreeSpaceHook{nullptr};

}  // namespace

bool FreeDiskSpace(const char* szPath, uint64_t* pqwBytes) {
    if (szPath == nullptr || pqwBytes == nullptr) return false;
    platform_testing::FreeSpaceHook pfnHook = g_pfnFreeSpaceHook.load();
    if (pfnHook != nullptr) return pfnHook(szPath, pqwBytes);
    // Everything up to and with the last separator of either kind.
    const char* pSlash = std::strrchr(szPath, '/');
    const char* pBackslash = std::strrchr(szPath, '\\');
    if (pSlash == nullptr || (pBackslash != nullptr && pBackslash > pSlash)) pSlash = pBackslash;
    size_t iLength = pSlash != nullptr ? static_cast<size_t>(pSlash - szPath) + 1 : 0;
    char* szDirectory = static_cast<char*>(std::malloc(iLength + 1));
    if (szDirectory == nullptr) return false;
    std::memcpy(szDirectory, szPath, iLength);
    szDirectory[iLength] = '\0';
    bool bKnown = detail::SystemFreeDiskSpace(szDirectory, pqwBytes);
    std::free(szDirectory);
    return bKnown;
}

size_t AppendFileWrite(AppendFile hFile, const void* pData, size_t iLength) {
    if (hFile == kNoAppendFile || (pData == nullptr && iLength > 0)) return 0;
    size_t iAllowed = 0;
    if (TakeAppendFault(&iAllowed)) {
        return detail::SystemAppendWrite(hFile, pData, iAllowed < iLength ? iAllowed : 0);
    }
    return detail::SystemAppendWrite(hFile, pData, iLength);
}

}  // namespace platform

void platform_testing::SetFreeSpaceHook(FreeSpaceHook pfnHook) {
    platform::g_pfnFreeSpaceHook.store(pfnHook);
}

void platform_testing::InjectAppendFaults(int iCount, size_t iBytes) {
    platform::g_iFaultBytes.store(iBytes);
    platform::g_iFaults.store(iCount > 0 ? iCount : 0);
}
