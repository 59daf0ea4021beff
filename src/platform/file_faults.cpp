#include "platform/file_faults.h"

#include <atomic>

#include "platform/files.h"

namespace platform {
namespace {

std::atomic<int> g_iFaults{0};
std::atomic<size_t> g_iFaultBytes{0};

}  // namespace

namespace testing {

void InjectAppendFaults(int iCount, size_t iBytes) {
    g_iFaultBytes.store(iBytes);
    g_iFaults.store(iCount > 0 ? iCount : 0);
}

}  // namespace testing

namespace detail {

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

}  // namespace detail
}  // namespace platform
