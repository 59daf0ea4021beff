#include "base/alloc.h"

#include <atomic>
#include <cstdlib>

#include "base/testing.h"

namespace {

std::atomic<int> g_iSkip{0};
std::atomic<int> g_iFail{0};
std::atomic<void (*)()> g_pfnFreeObserver{nullptr};

bool ShouldFail() {
    if (g_iFail.load(std::memory_order_acquire) <= 0) return false;
    if (g_iSkip.fetch_sub(1) > 0) return false;
    return g_iFail.fetch_sub(1) > 0;
}

}  // namespace

void* ZeroAlloc(size_t iSize) {
    if (ShouldFail()) return nullptr;
    return std::calloc(1, iSize);
}

void ZeroFree(void* p) {
    void (*pfnObserver)() = g_pfnFreeObserver.load(std::memory_order_acquire);
    if (pfnObserver != nullptr) pfnObserver();
    std::free(p);
}

namespace vorel_testing {

void FailAllocations(int iSkip, int iCount) {
    g_iFail.store(0);
    g_iSkip.store(iSkip);
    g_iFail.store(iCount, std::memory_order_release);
}

void ObserveFrees(void (*pfnObserver)()) {
    g_pfnFreeObserver.store(pfnObserver, std::memory_order_release);
}

}  // namespace vorel_testing
