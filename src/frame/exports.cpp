// The seven exported functions. No exception leaves the library.
#include <atomic>

#include "base/packet.h"
#include "download/download.h"
#include "exchange/retrieve.h"
#include "exchange/submit.h"
#include "frame/app.h"
#include "frame/export_guard.h"
#include "frame/testing.h"
#include "platform/window.h"
#include "session/connect.h"
#include "session/engine.h"
#include "session/session_thread.h"
#include "vorel/vorel.h"

namespace {

std::atomic<bool> g_bThrowInNextExport{false};

// The engine for an export, with its session thread brought back if a failed
// start ended it. Null when the engine cannot be allocated.
ClientEngine* EngineForCall() {
    ClientEngine* pEngine = GetEngine();
    if (pEngine != nullptr) RestartSessionThreadIfEnded(*pEngine);
    return pEngine;
}

}  // namespace

bool TakeInjectedExportException() {
    return g_bThrowInNextExport.load() && g_bThrowInNextExport.exchange(false);
}

void vorel_testing::ThrowInNextExport() { g_bThrowInNextExport = true; }

extern "C" VOREL_API int VOREL_CALL Write_Message1(int iType, const char* szInput,
                                                   int iInputLength) {
    return EngineExport(EngineForCall, -9, [&](ClientEngine& engine) {
        // The login flag follows the request's type whatever becomes of the
        // request itself.
        engine.logon.NoteRequestType(iType);
        return ProcessUserRequest(engine.ForCalls(), szInput, iInputLength, iType);
    });
}

extern "C" VOREL_API int VOREL_CALL Read_Message1(int iType, char* OutputBuff, int iOutputLength,
                                                  int iTimeout, int iQueueId) {
    return EngineExport(EngineForCall, -9, [&](ClientEngine& engine) {
        return ReturnUserRequestResult1(engine.ForCalls(), OutputBuff, iOutputLength, iTimeout,
                                        iQueueId, iType);
    });
}

extern "C" VOREL_API int VOREL_CALL Read_Message2(int* piType, char* OutputBuff, int iOutputLength,
                                                  int iTimeout, int iReserved) {
    return EngineExport(EngineForCall, -9, [&](ClientEngine& engine) {
        return ReturnUserRequestResultEx(engine.ForCalls(), OutputBuff, iOutputLength, iTimeout,
                                         iReserved, piType);
    });
}

extern "C" VOREL_API int VOREL_CALL DownloadFile(const char* szUrl, const char* szLocalFile) {
    return CountedExport(-9, [&] { return DownloadFileNow(szUrl, szLocalFile); });
}

extern "C" VOREL_API int VOREL_CALL Download_File_EX(const char* szUrl, const char* szLocalFile) {
    return CountedExport(1, [&] { return StartBackgroundDownload(szUrl, szLocalFile); });
}

extern "C" VOREL_API int VOREL_CALL init(const char* szHost, int iPort) {
    return EngineExport(EngineForCall, -9, [&](ClientEngine& engine) {
        return SetServerAddress(engine, szHost, iPort);
    });
}

// Only sets the window: it does not bring back an ended session thread.
VOREL_API int VOREL_CALL SetMessageWnd(platform::WindowHandle hWnd) {
    return EngineExport(GetEngine, 0, [&](ClientEngine& engine) {
        if (!platform::IsWindowHandle(hWnd)) return 0;
        engine.logon.hGameWnd = hWnd;
        return 1;
    });
}
