// A test clock that runs `scale` times faster than real time: with a scale
// of 1000 a second of the library's time passes in a millisecond, and its
// sleeps shrink alike. Seconds can also be moved by hand, forward or back.
// While a ScopedTestClock lives, every clock of the platform layer is it.
#pragma once

#include <cstdint>

namespace platform {
class Event;
}

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
    void AdvanceMs(int64_t iMs);
    // Virtual milliseconds since installation.
    int64_t ElapsedMs() const;
    // Every sleep and every wait on an event from now on lasts its length
    // rounded up to a multiple of dwMs, as Windows rounds them up to its
    // timer tick (0: exact).
    void SetSleepGranularityMs(uint32_t dwMs);

    // Calls of the sleep hook, and waits on events (platform::Event), since
    // installation: how many pieces a pause was made of.
    int64_t Sleeps() const;
    int64_t Waits() const;

    // While held, every wait on an event stops the clock's time for its
    // thread: it lasts, in real time, until the event is set (the wait then
    // ends at once, no time having passed on this clock) or the hold is
    // lifted (the wait then takes its length as usual). Lets a test act
    // while a thread is provably inside a pause.
    void HoldWaits(bool bHold);
    // Waits now held.
    int HeldWaits() const;

    // Called on the calling thread at every reading of the local time (the
    // log writer's time stamp of each entry); null: none.
    void SetLocalTimeObserver(void (*pfnObserver)());
};

}  // namespace testutil
