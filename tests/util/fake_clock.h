// A test clock that runs `scale` times faster than real time: with a scale
// of 1000 a second of the library's time passes in a millisecond, and its
// sleeps shrink alike. Seconds can also be moved by hand, forward or back.
// While a ScopedTestClock lives, every clock of the platform layer is it.
#pragma once

#include <cstdint>

namespace testutil {

class ScopedTestClock {
public:
    // dwTickStart: the millisecond tick at installation, so that tests can
    // start just below the wrap-around of the 32-bit tick.
    explicit ScopedTestClock(uint32_t dwScale, uint32_t dwTickStart = 1000000u);
    ~ScopedTestClock();
    ScopedTestClock(const ScopedTestClock&) = delete;
    ScopedTestClock& operator=(const ScopedTestClock&) = delete;

    // Moves the clock by iSeconds (negative sets it back).
    void AdvanceSeconds(int64_t iSeconds);
    // Virtual milliseconds since installation.
    int64_t ElapsedMs() const;
    // Every sleep from now on lasts its length rounded up to a multiple of
    // dwMs, as Windows rounds sleeps up to its timer tick (0: exact).
    void SetSleepGranularityMs(uint32_t dwMs);
};

}  // namespace testutil
