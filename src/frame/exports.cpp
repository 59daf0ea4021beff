// The seven exported functions. No exception leaves the library.
#include "base/engine.h"
#include "base/packet.h"
#include "download/download.h"
#include "exchange/retrieve.h"
#include "exchange/submit.h"
#include "frame/app.h"
#include "frame/shutdown.h"
#include "platform/window.h"
#include "session/connect.h"
#include "session/session_thread.h"
#include "vorel/vorel.h"

namespace {

// The engine for an export, with its session thread brought back if a failed
// start ended it. Null when the engine cannot be allocated.
ClientEngine* EngineForCall() {
    ClientEngine* pEngine = GetEngine();
    if (pEngine != nullptr) RestartSessionThreadIfEnded(*pEngine);
    return pEngine;
}

}  // namespace

extern "C" VOREL_API int VOREL_CALL Write_Message1(int iType, const char* szInput,
                                                   int iInputLength) {
    ExportCall call;
    try {
        ClientEngine* pEngine = EngineForCall();
        if (pEngine == nullptr) return -9;
        // The login flag follows the request's type whatever becomes of the
        // request itself.
        if (iType == kTypeLogonRequest) {
            pEngine->iLoginFlag = 1;
        } else if (iType == kTypeLogoffRequest) {
            pEngine->iLoginFlag = 0;
        }
        return ProcessUserRequest(*pEngine, szInput, iInputLength, iType);
    } catch (...) {
        return -9;
    }
}

extern "C" VOREL_API int VOREL_CALL Read_Message1(int iType, char* OutputBuff, int iOutputLength,
                                                  int iTimeout, int iQueueId) {
    ExportCall call;
    try {
        ClientEngine* pEngine = EngineForCall();
        if (pEngine == nullptr) return -9;
        return ReturnUserRequestResult1(*pEngine, OutputBuff, iOutputLength, iTimeout, iQueueId,
                                        iType);
    } catch (...) {
        return -9;
    }
}

extern "C" VOREL_API int VOREL_CALL Read_Message2(int* piType, char* OutputBuff, int iOutputLength,
                                                  int iTimeout, int iReserved) {
    ExportCall call;
    try {
        ClientEngine* pEngine = EngineForCall();
        if (pEngine == nullptr) return -9;
        return ReturnUserRequestResultEx(*pEngine, OutputBuff, iOutputLength, iTimeout, iReserved,
                                         piType);
    } catch (...) {
        return -9;
    }
}

extern "C" VOREL_API int VOREL_CALL DownloadFile(const char* szUrl, const char* szLocalFile) {
    try {
        return DownloadFileNow(szUrl, szLocalFile);
    } catch (...) {
        return -9;
    }
}

extern "C" VOREL_API int VOREL_CALL Download_File_EX(const char* szUrl, const char* szLocalFile) {
    try {
        return StartBackgroundDownload(szUrl, szLocalFile);
    } catch (...) {
        return 1;
    }
}

extern "C" VOREL_API int VOREL_CALL init(const char* szHost, int iPort) {
    ExportCall call;
    try {
        ClientEngine* pEngine = EngineForCall();
        if (pEngine == nullptr) return -9;
        return SetServerAddress(*pEngine, szHost, iPort);
    } catch (...) {
        return -9;
    }
}

VOREL_API int VOREL_CALL SetMessageWnd(platform::WindowHandle hWnd) {
    ExportCall call;
    try {
        ClientEngine* pEngine = GetEngine();
        if (pEngine == nullptr) return 0;
        if (!platform::IsWindowHandle(hWnd)) return 0;
        pEngine->hGameWnd = hWnd;
        return 1;
    } catch (...) {
        return 0;
    }
}
