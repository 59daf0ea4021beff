// The system clocks on POSIX.
#include <errno.h>
#include <time.h>

#include "platform/system_clock.h"

namespace platform {

int64_t SystemNowSeconds() { return static_cast<int64_t>(time(nullptr)); }

void SystemGetLocalTime(LocalTime* pTime) {
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    pTime->iYear = local.tm_year + 1900;
    pTime->iMonth = local.tm_mon + 1;
    pTime->iDay = local.tm_mday;
    pTime->iHour = local.tm_hour;
    pTime->iMinute = local.tm_min;
    pTime->iSecond = local.tm_sec;
}

uint32_t SystemTickMs() {
    // Like timeGetTime: milliseconds since some fixed point, wrapping at 2^32.
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void SystemSleepMs(uint32_t dwMs) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(dwMs / 1000u);
    ts.tv_nsec = static_cast<long>(dwMs % 1000u) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace platform
