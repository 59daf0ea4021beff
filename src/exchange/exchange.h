// What the game's request and read calls work on: the queue table, the
// log-on state that decides whether a read waits, and the engine's
// switches they read. Made by the exports from the engine for each call.
#pragma once

#include <atomic>
#include <cstdint>

class QueueTable;
struct LogonState;

struct Exchange {
    QueueTable& queues;
    const LogonState& logon;
    const std::atomic<int32_t>& iLogFlag;   // the trace switch
    const std::atomic<int32_t>& iStopping;  // the unload has begun: waits end
    // Readers are woken by their answers (the prompt mode), not only by
    // their 50 ms looks.
    const std::atomic<int32_t>& iPromptMode;
};
