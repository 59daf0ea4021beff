// The system clocks on Windows.
// mmsystem.h builds on windows.h.
// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <ctime>

#include "platform/system_clock.h"

namespace platform {

int64_t SystemNowSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

void SystemGetLocalTime(LocalTime* pTime) {
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    pTime->iYear = st.wYear;
    pTime->iMonth = st.wMonth;
    pTime->iDay = st.wDay;
    pTime->iHour = st.wHour;
    pTime->iMinute = st.wMinute;
    pTime->iSecond = st.wSecond;
}

uint32_t SystemTickMs() { return static_cast<uint32_t>(timeGetTime()); }

void SystemSleepMs(uint32_t dwMs) { Sleep(dwMs); }

}  // namespace platform
