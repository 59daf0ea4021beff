#include "platform/socket_faults.h"

#include <atomic>

#include "platform/mutex.h"

namespace platform {
namespace {

constexpr int kOps = 4;
constexpr int kSlots = 8;

struct Fault {
    SocketHandle s;  // kInvalidSocket: any socket
    int iError;
    int iRemaining;
};

CriticalSection g_faultLock;
Fault g_faults[kOps][kSlots];  // guarded by g_faultLock
// Lets the common path skip the lock when nothing is armed.
std::atomic<int> g_iArmed{0};

}  // namespace

namespace detail {

bool TakeSocketFault(SocketHandle s, platform_testing::SocketOp op, int* piError) {
    if (g_iArmed.load(std::memory_order_acquire) == 0) return false;
    g_faultLock.Enter();
    // A fault armed for this very socket wins over one armed for any socket.
    Fault* pRow = g_faults[static_cast<int>(op)];
    Fault* pFault = nullptr;
    for (int i = 0; i < kSlots; ++i) {
        Fault& fault = pRow[i];
        if (fault.iRemaining <= 0) continue;
        if (fault.s == s && s != kInvalidSocket) {
            pFault = &fault;
            break;
        }
        if (fault.s == kInvalidSocket && pFault == nullptr) pFault = &fault;
    }
    if (pFault != nullptr) {
        *piError = pFault->iError;
        if (--pFault->iRemaining == 0) g_iArmed.fetch_sub(1, std::memory_order_acq_rel);
    }
    g_faultLock.Leave();
    return pFault != nullptr;
}

}  // namespace detail

namespace {
std::atomic<platform_testing::ResolveHook> g_pfnResolveHook{nullptr};
}  // namespace

namespace detail {

int HookedResolve(const char* szHost, uint32_t* pAddrNet) {
    platform_testing::ResolveHook pfnHook = g_pfnResolveHook.load();
    return pfnHook != nullptr ? pfnHook(szHost, pAddrNet) : -1;
}

}  // namespace detail

}  // namespace platform

void platform_testing::SetResolveHook(ResolveHook pfnHook) {
    platform::g_pfnResolveHook.store(pfnHook);
}

bool platform_testing::InjectSocketFault(platform::SocketHandle s, SocketOp op, int error,
                                         int count) {
    using namespace platform;
    g_faultLock.Enter();
    Fault* pRow = g_faults[static_cast<int>(op)];
    Fault* pSlot = nullptr;
    for (int i = 0; i < kSlots; ++i) {
        if (pRow[i].iRemaining > 0 && pRow[i].s == s) pSlot = &pRow[i];  // replaces it
    }
    for (int i = 0; i < kSlots && pSlot == nullptr; ++i) {
        if (pRow[i].iRemaining == 0) pSlot = &pRow[i];
    }
    if (pSlot != nullptr) {
        if (pSlot->iRemaining > 0) g_iArmed.fetch_sub(1, std::memory_order_acq_rel);
        pSlot->s = s;
        pSlot->iError = error;
        pSlot->iRemaining = count > 0 ? count : 0;
        if (pSlot->iRemaining > 0) g_iArmed.fetch_add(1, std::memory_order_acq_rel);
    }
    g_faultLock.Leave();
    return pSlot != nullptr;
}

void platform_testing::ClearSocketFaults() {
    using namespace platform;
    g_faultLock.Enter();
    for (auto& row : g_faults) {
        for (Fault& fault : row) fault.iRemaining = 0;
    }
    g_iArmed.store(0, std::memory_order_release);
    g_faultLock.Leave();
}
