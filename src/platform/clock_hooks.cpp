// Routes every clock call to the system clocks or, in tests, to substituted
// ones.
#include <atomic>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/system_clock.h"
#include "platform/testing.h"

namespace platform {
namespace {

using platform_testing::ClockHooks;

std::atomic<const ClockHooks*> g_pHooks{nullptr};

}  // namespace

int64_t NowSeconds() {
    const ClockHooks* pHooks = g_pHooks.load(std::memory_order_acquire);
    return pHooks != nullptr ? pHooks->pfnNowSeconds() : SystemNowSeconds();
}

void GetLocalTime(LocalTime* pTime) {
    const ClockHooks* pHooks = g_pHooks.load(std::memory_order_acquire);
    if (pHooks != nullptr) {
        pHooks->pfnGetLocalTime(pTime);
    } else {
        SystemGetLocalTime(pTime);
    }
}

uint32_t TickMs() {
    const ClockHooks* pHooks = g_pHooks.load(std::memory_order_acquire);
    return pHooks != nullptr ? pHooks->pfnTickMs() : SystemTickMs();
}

void SleepMs(uint32_t dwMs) {
    const ClockHooks* pHooks = g_pHooks.load(std::memory_order_acquire);
    if (pHooks != nullptr) {
        pHooks->pfnSleepMs(dwMs);
    } else {
        SystemSleepMs(dwMs);
    }
}

void SleepRealMs(uint32_t dwMs) { SystemSleepMs(dwMs); }

bool Event::WaitFor(uint32_t dwMs) {
    uint32_t dwStart = TickMs();
    for (;;) {
        if (IsSet()) return true;
        uint32_t dwElapsed = TickMsSince(dwStart);
        if (dwElapsed >= dwMs) return false;
        uint32_t dwLeft = dwMs - dwElapsed;
        const ClockHooks* pHooks = g_pHooks.load(std::memory_order_acquire);
        bool bSet;
        if (pHooks == nullptr) {
            bSet = WaitRealUs(static_cast<uint64_t>(dwLeft) * 1000u);
        } else if (pHooks->pfnWaitMs != nullptr) {
            bSet = pHooks->pfnWaitMs(*this, dwLeft);
        } else {
            pHooks->pfnSleepMs(dwLeft);
            bSet = IsSet();
        }
        if (bSet) return true;
    }
}

}  // namespace platform

void platform_testing::SetClockHooks(const ClockHooks* pHooks) {
    platform::g_pHooks.store(pHooks, std::memory_order_release);
}
