// Engine shutdown: stops the engine's threads and releases what it holds,
// once the export calls in progress, which it counts, have left.
#pragma once

#include <atomic>
#include <cstdint>

struct ClientEngine;

// Calls of the engine exports in progress on the game's threads. Shutdown
// waits for them to leave before it frees what they use.
extern std::atomic<int32_t> g_iExportCalls;

// Counts one export call for its lifetime.
class ExportCall {
public:
    ExportCall() { g_iExportCalls.fetch_add(1); }
    ~ExportCall() { g_iExportCalls.fetch_sub(1); }
    ExportCall(const ExportCall&) = delete;
    ExportCall& operator=(const ExportCall&) = delete;
};

// Waits until no export call is in progress, until dwBoundMs have passed on
// the millisecond tick since dwStartMs. True when none is.
bool WaitForExportCalls(uint32_t dwStartMs, uint32_t dwBoundMs);

// Runs the shutdown steps (log lines close1 to close5). Returns true when
// the engine may be freed; false when a thread of the library could not be
// stopped in time: the engine and what that thread can reach are then left
// allocated (and the fact logged) rather than freed under it.
bool ShutdownEngine(ClientEngine& engine);

// At the end of the process, when the system has already ended the other
// threads: writes close1 to close5 and waits for nothing.
void ShutdownEngineAtProcessExit(ClientEngine& engine);
