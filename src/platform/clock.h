// Clocks: calendar seconds, local time for log lines, the millisecond tick
// and sleep; the waits of platform::Event (event.h) run on the same tick.
// Tests substitute them all at once (platform/testing.h), so that rules of
// 20, 60, 480 or 600 seconds run in milliseconds of real time.
#pragma once

#include <cstdint>

namespace platform {

struct LocalTime {
    int iYear;    // e.g. 2026
    int iMonth;   // 1..12
    int iDay;     // 1..31
    int iHour;    // 0..23
    int iMinute;  // 0..59
    int iSecond;  // 0..60
};

// Calendar time in whole seconds since 1970 (time(0)).
int64_t NowSeconds();

// The low 32 bits of NowSeconds(): how every stored time is kept.
inline int32_t NowSeconds32() { return static_cast<int32_t>(NowSeconds()); }

// Whether at least `iSeconds` have passed since the stored time `tThen`: the
// difference is taken in 64 bits, and a negative one (a clock set back) never
// counts as elapsed.
inline bool SecondsElapsed(int32_t tThen, int64_t iSeconds) {
    int64_t iDiff = static_cast<int64_t>(NowSeconds32()) - static_cast<int64_t>(tThen);
    return iDiff >= 0 && iDiff >= iSeconds;
}

// The local date and time now, for log lines.
void GetLocalTime(LocalTime* pTime);

// The millisecond tick (timeGetTime). It wraps around after 2^32 ms; compare
// ticks only by unsigned subtraction.
uint32_t TickMs();
inline uint32_t TickMsSince(uint32_t dwThen) { return TickMs() - dwThen; }

// Suspends the calling thread for about dwMs milliseconds.
void SleepMs(uint32_t dwMs);

// Waits until done() holds or dwMs have passed on the millisecond tick,
// looking every dwSliceMs. Counting on the tick rather than in numbers of
// sleeps keeps a pause its length where the system rounds each sleep up
// (Windows rounds to its timer tick, about 15.6 ms). Returns done()'s last
// answer.
template <class Done>
bool WaitOnTick(uint32_t dwMs, uint32_t dwSliceMs, Done done) {
    uint32_t dwStart = TickMs();
    for (;;) {
        if (done()) return true;
        uint32_t dwElapsed = TickMsSince(dwStart);
        if (dwElapsed >= dwMs) return false;
        uint32_t dwLeft = dwMs - dwElapsed;
        SleepMs(dwLeft < dwSliceMs ? dwLeft : dwSliceMs);
    }
}

// The same in real time, never substituted: for the bounds of waits on
// other threads, which must hold whatever clock the tests run.
void SleepRealMs(uint32_t dwMs);

}  // namespace platform
