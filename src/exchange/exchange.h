// What the game's request and read calls work on: the queue table, the
// log-on state that decides whether a read waits, and the engine's two
// switches they read. Made by the exports from the engine for each call.
#pragma once

#include <atomic>
#include <cstdint>

class QueueTable;

struct Exchange {
    QueueTable& queues;
    // 0 not logged on, 1 logged on, 2 lost while logged on.
    const std::atomic<int32_t>& iUserStatus1;
    // 1 after a log-on request (201), 0 after a log-off (207).
    const std::atomic<int32_t>& iLoginFlag;
    const std::atomic<int32_t>& iLogFlag;   // the trace switch
    const std::atomic<int32_t>& iStopping;  // the unload has begun: waits end
};
