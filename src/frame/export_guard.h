// The frame every export runs in: no exception leaves the library, and the
// exports that use the engine are counted for shutdown and answer without
// one when it cannot be had.
#pragma once

#include "frame/shutdown.h"

struct ClientEngine;

// body() with any exception turned into iFailed.
template <typename Body>
int GuardedExport(int iFailed, Body body) {
    try {
        return body();
    } catch (...) {
        return iFailed;
    }
}

// body(engine) for an export that needs the engine, counted in
// g_iExportCalls for as long as it runs. The engine comes from
// pfnEngine; iFailed is the answer when there is none and when an
// exception ends the call.
template <typename Body>
int EngineExport(ClientEngine* (*pfnEngine)(), int iFailed, Body body) {
    ExportCall call;
    return GuardedExport(iFailed, [&] {
        ClientEngine* pEngine = pfnEngine();
        if (pEngine == nullptr) return iFailed;
        return body(*pEngine);
    });
}
