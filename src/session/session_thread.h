// The session thread: the only thread that reads from and writes to the
// server socket. Its state and what its steps share are in session_state.h.
#pragma once

#include <cstdint>

#include "session/session_state.h"

struct ClientEngine;

// The session thread's routine; its argument is the engine. Returns 0.
uint32_t MainThread(void* pEngine);

// One pass of the loop (idle sleep, poll, read step, write step, statistics,
// maintenance). MainThread runs it under its exception guard; tests drive it.
void RunSessionPass(ClientEngine& engine, SessionState& state);

// Starts MainThread for the engine and stores its handle in hThread2,
// retrying without limit (and logging) while the system refuses the thread.
void StartSessionThread(ClientEngine& engine);

// Starts the session thread again when it has ended on its own while the
// engine runs, which only a failed allocation at its start makes it do: a
// later call of the game then brings the session back. At most once a
// second. Called by the exports, on the game's threads.
void RestartSessionThreadIfEnded(ClientEngine& engine);

// Writes the statistics line.
void WriteStatisticsLine(ClientEngine& engine, const SessionState& state);

// Maintenance: expiry of idle queues, then, without the table's lock, the
// configuration check and the ReConnect that a changed address calls for.
// REQUIRES: called on the session thread, the table's lock not held.
void RunMaintenance(ClientEngine& engine, SessionState& state);

// Removes every queue of the table idle for 480 s or more, counting the
// pending messages dropped with them.
void ExpireIdleQueues(ClientEngine& engine);
