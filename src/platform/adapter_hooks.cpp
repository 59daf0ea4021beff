// Routes the adapter query to the system or, in tests, to a substitute.
#include <atomic>

#include "platform/adapters.h"
#include "platform/system_adapters.h"
#include "platform/testing.h"

namespace platform {
namespace {

std::atomic<platform_testing::AdapterQueryFn> g_pfnQuery{nullptr};

}  // namespace

uint32_t QueryAdapters(AdapterRecord* pList, uint32_t* pdwSize) {
    platform_testing::AdapterQueryFn pfnQuery = g_pfnQuery.load(std::memory_order_acquire);
    return pfnQuery != nullptr ? pfnQuery(pList, pdwSize) : SystemQueryAdapters(pList, pdwSize);
}

}  // namespace platform

void platform_testing::SetAdapterQuery(AdapterQueryFn pfnQuery) {
    platform::g_pfnQuery.store(pfnQuery, std::memory_order_release);
}
