// The application object's side that the exports and the tests see: the
// engine of the process, and the engine table that load and unload clear
// and empty.
#pragma once

struct ClientEngine;

// The engine of the process, created and started by the first call that
// needs it: the socket layer started, the queue table made, the
// configuration read, the session thread started, then a 100 ms pause.
// Safe when several threads make that first call at once: they all get the
// same engine. Null only when the engine cannot be allocated.
ClientEngine* GetEngine();

// Load and unload of the library: the engine table is cleared at load, and
// every engine in it destroyed at unload (and by tests, to start afresh).
void ClearEngineTable();
// True when every engine's threads stopped; *pbHadEngine (if given) is set
// when there was an engine to destroy.
bool DestroyAllEngines(bool* pbHadEngine = nullptr);
