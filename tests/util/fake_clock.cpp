#include "util/fake_clock.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/testing.h"

namespace testutil {
namespace {

std::atomic<uint32_t> g_dwScale{1};
std::atomic<int64_t> g_iRealStartUs{0};
std::atomic<int64_t> g_iOffsetMs{0};
std::atomic<int64_t> g_iSecondsStart{0};
std::atomic<uint32_t> g_dwTickStart{0};
std::atomic<uint32_t> g_dwGranularityMs{0};
std::atomic<int64_t> g_iSleeps{0};
std::atomic<int64_t> g_iWaits{0};
std::atomic<bool> g_bHoldWaits{false};
std::atomic<int> g_iHeldWaits{0};
std::atomic<void (*)()> g_pfnLocalTimeObserver{nullptr};

int64_t RealUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t VirtualMs() {
    if (g_dwScale.load() == 0) return g_iOffsetMs.load();  // manual: moved by hand and by sleeps
    int64_t iRealUs = RealUs() - g_iRealStartUs.load();
    return iRealUs * static_cast<int64_t>(g_dwScale.load()) / 1000 + g_iOffsetMs.load();
}

int64_t HookNowSeconds() {
    int64_t iMs = VirtualMs();
    // Floor division, so that a clock set back a little reads one second less.
    int64_t iSeconds = iMs >= 0 ? iMs / 1000 : -((-iMs + 999) / 1000);
    return g_iSecondsStart.load() + iSeconds;
}

void HookLocalTime(platform::LocalTime* pTime) {
    void (*pfnObserver)() = g_pfnLocalTimeObserver.load();
    if (pfnObserver != nullptr) pfnObserver();
    time_t now = static_cast<time_t>(HookNowSeconds());
    struct tm local {};
    localtime_r(&now, &local);
    pTime->iYear = local.tm_year + 1900;
    pTime->iMonth = local.tm_mon + 1;
    pTime->iDay = local.tm_mday;
    pTime->iHour = local.tm_hour;
    pTime->iMinute = local.tm_min;
    pTime->iSecond = local.tm_sec;
}

uint32_t HookTickMs() { return g_dwTickStart.load() + static_cast<uint32_t>(VirtualMs()); }

uint32_t Rounded(uint32_t dwMs) {
    uint32_t dwGranularity = g_dwGranularityMs.load();
    if (dwGranularity > 0) dwMs = (dwMs + dwGranularity - 1) / dwGranularity * dwGranularity;
    return dwMs;
}

void HookSleepMs(uint32_t dwMs) {
    g_iSleeps.fetch_add(1);
    dwMs = Rounded(dwMs);
    if (g_dwScale.load() == 0) {
        g_iOffsetMs.fetch_add(dwMs);
        std::this_thread::yield();
        return;
    }
    int64_t iRealUs = static_cast<int64_t>(dwMs) * 1000 / g_dwScale.load();
    std::this_thread::sleep_for(std::chrono::microseconds(iRealUs));
}

bool HookWaitMs(platform::Event& event, uint32_t dwMs) {
    g_iWaits.fetch_add(1);
    if (g_bHoldWaits.load()) {
        g_iHeldWaits.fetch_add(1);
        while (g_bHoldWaits.load() && !event.IsSet()) event.WaitRealUs(1000);
        g_iHeldWaits.fetch_sub(1);
        if (event.IsSet()) return true;
    }
    dwMs = Rounded(dwMs);
    uint32_t dwScale = g_dwScale.load();
    if (dwScale == 0) {
        if (event.IsSet()) return true;
        g_iOffsetMs.fetch_add(dwMs);
        std::this_thread::yield();
        return event.IsSet();
    }
    // Rounded up, so that the wait never ends before its time on this clock.
    return event.WaitRealUs((static_cast<uint64_t>(dwMs) * 1000 + dwScale - 1) / dwScale);
}

const platform_testing::ClockHooks g_hooks{HookNowSeconds, HookLocalTime, HookTickMs, HookSleepMs,
                                           HookWaitMs};

}  // namespace

ScopedTestClock::ScopedTestClock(uint32_t dwScale, uint32_t dwTickStart) {
    g_dwScale.store(dwScale);
    g_iRealStartUs.store(RealUs());
    g_iOffsetMs.store(0);
    g_iSecondsStart.store(static_cast<int64_t>(time(nullptr)));
    g_dwTickStart.store(dwTickStart);
    g_dwGranularityMs.store(0);
    g_iSleeps.store(0);
    g_iWaits.store(0);
    g_bHoldWaits.store(false);
    g_pfnLocalTimeObserver.store(nullptr);
    platform_testing::SetClockHooks(&g_hooks);
}

ScopedTestClock::~ScopedTestClock() {
    g_bHoldWaits.store(false);
    g_pfnLocalTimeObserver.store(nullptr);
    platform_testing::SetClockHooks(nullptr);
}

void ScopedTestClock::AdvanceSeconds(int64_t iSeconds) { AdvanceMs(iSeconds * 1000); }

void ScopedTestClock::AdvanceMs(int64_t iMs) { g_iOffsetMs.fetch_add(iMs); }

int64_t ScopedTestClock::ElapsedMs() const { return VirtualMs(); }

void ScopedTestClock::SetSleepGranularityMs(uint32_t dwMs) { g_dwGranularityMs.store(dwMs); }

int64_t ScopedTestClock::Sleeps() const { return g_iSleeps.load(); }

int64_t ScopedTestClock::Waits() const { return g_iWaits.load(); }

void ScopedTestClock::HoldWaits(bool bHold) { g_bHoldWaits.store(bHold); }

int ScopedTestClock::HeldWaits() const { return g_iHeldWaits.load(); }

void ScopedTestClock::SetLocalTimeObserver(void (*pfnObserver)()) {
    g_pfnLocalTimeObserver.store(pfnObserver);
}

}  // namespace testutil
