// Engine shutdown: stops the engine's threads and releases what it holds.
#pragma once

struct ClientEngine;

// Runs the shutdown steps (log lines close1 to close5). Returns true when
// the engine may be freed; false when a thread of the library could not be
// stopped in time: the engine and what that thread can reach are then left
// allocated (and the fact logged) rather than freed under it.
bool ShutdownEngine(ClientEngine& engine);

// At the end of the process, when the system has already ended the other
// threads: writes close1 to close5 and waits for nothing.
void ShutdownEngineAtProcessExit(ClientEngine& engine);
