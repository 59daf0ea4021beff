// An event: a flag that threads wait on with a bound, and that any thread
// sets to end every wait on it at once (what Win32 calls a manual-reset
// event). A pause that a stop must be able to cut short is one wait on such
// an event, not a string of short sleeps, so an idle thread wakes only when
// its pause is over or when it is told to stop.
#pragma once

#include <atomic>
#include <cstdint>

namespace platform {

class Event {
public:
    Event();   // not set
    ~Event();  // REQUIRES: no thread waits on it
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // Sets the event: every wait on it, now or later, ends at once, until
    // Reset.
    void Set();
    void Reset();
    bool IsSet() const { return bSet_.load(std::memory_order_acquire); }

    // Waits until the event is set or dwMs have passed on the millisecond
    // tick (TickMs, which tests substitute; under a substituted clock the
    // wait follows that clock through its wait hook). Normally a single wait
    // on the system; it is topped up only when the system ends a wait before
    // the tick says the time is over. True when the event was set.
    bool WaitFor(uint32_t dwMs);

    // One wait of at most qwUs microseconds of real time, never substituted.
    // It may end early: when the event is set, and on Windows, which counts
    // in milliseconds, never before it is set or the time (rounded up to a
    // millisecond) is over. True when the event is set. Substituted clocks
    // build their waits on it.
    bool WaitRealUs(uint64_t qwUs);

private:
    std::atomic<bool> bSet_{false};
    // Room for the system's objects (a mutex and a condition variable, or
    // an event handle), so that this header needs no system header; each
    // implementation checks the size at compile time.
    alignas(16) unsigned char storage_[128];
};

}  // namespace platform
