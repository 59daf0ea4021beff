// The system clocks on POSIX.
#include <errno.h>
#include <time.h>

#include "platform/system_clock.h"

namespace platform {

int64_t SystemNowSeconds() { return static_cast<int64_t>(time(nullptr)); }

void SystemGetLocalTime(LocalTime* pTime) {
    // The conversion takes the C library's time-zone lock and walks its
    // tables, while log entries come by the thousand a second: each thread
    // keeps its last conversion for the second it stands for.
    thread_local bool bConverted = false;
    thread_local time_t tConverted = 0;
    thread_local LocalTime converted;
    time_t now = time(nullptr);
    if (!bConverted || now != tConverted) {
        struct tm local {};
        localtime_r(&now, &local);
        converted.iYear = local.tm_year + 1900;
        converted.iMonth = local.tm_mon + 1;
        converted.iDay = local.tm_mday;
        converted.iHour = local.tm_hour;
        converted.iMinute = local.tm_min;
        converted.iSecond = local.tm_sec;
        tConverted = now;
        bConverted = true;
    }
    *pTime = converted;
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
