// The engine's threads as the rest of the library sees them: the session
// thread and its id, the reconnect thread's slot and the count of reconnect
// routines, and the game window a notice is being delivered to.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/threads.h"
#include "platform/thread.h"
#include "platform/window.h"

struct SessionThreads {
    SessionThreads() = default;
    SessionThreads(const SessionThreads&) = delete;
    SessionThreads& operator=(const SessionThreads&) = delete;

    std::atomic<platform::ThreadHandle*> hThread2{nullptr};  // the session thread
    ThreadSlot hThread3{nullptr};                            // the reconnect thread
    // The session thread's id, so that an unload running on it does not
    // wait for itself.
    std::atomic<uint32_t> dwSessionThreadId{0};
    // Reconnect threads whose routine has not ended, tracked or not.
    std::atomic<int32_t> iReconnectThreads{0};
    // The game window a notice is being delivered to, null when none: an
    // unload made from that window's procedure cannot wait for the session
    // thread, which waits for the procedure.
    std::atomic<platform::WindowHandle> hNoticeWindow{nullptr};
};
