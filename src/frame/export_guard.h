// The frame every export runs in: no exception leaves the library, every
// call is counted for shutdown while it runs, and the exports that use the
// engine answer without one when it cannot be had.
#pragma once

#include <stdexcept>

#include "frame/shutdown.h"

struct ClientEngine;

// True, once, after a test asked for an exception in the next export
// (testing.h).
bool TakeInjectedExportException();

// body() with any exception turned into iFailed.
template <typename Body>
int GuardedExport(int iFailed, Body body) {
    try {
        if (TakeInjectedExportException()) throw std::runtime_error("injected");
        return body();
    } catch (...) {
        return iFailed;
    }
}

// GuardedExport counted in g_iExportCalls for as long as it runs, so that
// the unload waits for the call to leave before the code goes.
template <typename Body>
int CountedExport(int iFailed, Body body) {
    ExportCall call;
    return GuardedExport(iFailed, body);
}

// body(engine) for an export that needs the engine, counted as
// CountedExport is. The engine comes from pfnEngine; iFailed is the answer
// when there is none and when an exception ends the call.
template <typename Body>
int EngineExport(ClientEngine* (*pfnEngine)(), int iFailed, Body body) {
    return CountedExport(iFailed, [&] {
        ClientEngine* pEngine = pfnEngine();
        if (pEngine == nullptr) return iFailed;
        return body(*pEngine);
    });
}
