// The downloader: fetches into a temporary file beside the destination and
// moves it into place only after a complete, successful transfer, so that a
// failure never leaves a partial file at the destination.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/files.h"
#include "platform/http_download.h"
#include "platform/thread.h"
#include "support/quorvex.h"
#include "support/quorvex_internal.h"

namespace {

std::atomic<uint32_t> g_dwConnectMs{30000};
std::atomic<uint32_t> g_dwStallMs{60000};
std::atomic<bool> g_bAbort{false};
std::atomic<uint32_t> g_dwTempSerial{0};

bool ShouldAbort(void*) { return g_bAbort.load(std::memory_order_acquire); }

enum : int {
    kOk = 0,
    kBadArguments = 1,
    kTempFile = 2,
    kTransfer = 3,
    kHttpStatus = 4,
    kMoveFailed = 5,
    kBadScheme = 6,
    kAborted = 7,
};

}  // namespace

namespace quorvex {

void SetDownloadTimeouts(uint32_t dwConnectMs, uint32_t dwStallMs) {
    g_dwConnectMs.store(dwConnectMs);
    g_dwStallMs.store(dwStallMs);
}

void SetDownloadAbort(bool bAbort) { g_bAbort.store(bAbort, std::memory_order_release); }

}  // namespace quorvex

extern "C" QUORVEX_API void InternetDownloadAbort(int iAbort) {
    g_bAbort.store(iAbort != 0, std::memory_order_release);
}

extern "C" QUORVEX_API int InternetDownloadFile(HWND__* /*hWnd*/, int /*iReserved1*/,
                                                int /*iReserved2*/, const char* szUrl,
                                                const char* szPath) {
    if (szUrl == nullptr || szPath == nullptr || szUrl[0] == '\0' || szPath[0] == '\0') {
        return kBadArguments;
    }
    if (g_bAbort.load(std::memory_order_acquire)) return kAborted;

    // "<path>.dl<thread>-<serial>": unique among the transfers of this
    // process, and in the destination's directory so the move is a rename.
    size_t iPathLength = std::strlen(szPath);
    size_t iTempSize = iPathLength + 32;
    char* szTemp = static_cast<char*>(std::malloc(iTempSize));
    if (szTemp == nullptr) return kTempFile;
    std::snprintf(szTemp, iTempSize, "%s.dl%u-%u", szPath, platform::CurrentThreadId(),
                  g_dwTempSerial.fetch_add(1) + 1);

    platform::HttpOptions options{g_dwConnectMs.load(), g_dwStallMs.load(), ShouldAbort, nullptr};
    int iStatus = 0;
    platform::HttpResult result = platform::HttpDownloadToFile(szUrl, szTemp, options, &iStatus);
    int iResult;
    switch (result) {
        case platform::HttpResult::kOk:
            iResult = platform::MoveFileReplace(szTemp, szPath) ? kOk : kMoveFailed;
            break;
        case platform::HttpResult::kBadScheme:
            iResult = kBadScheme;
            break;
        case platform::HttpResult::kFileError:
            iResult = kTempFile;
            break;
        case platform::HttpResult::kHttpStatus:
            iResult = kHttpStatus;
            break;
        case platform::HttpResult::kAborted:
            iResult = kAborted;
            break;
        case platform::HttpResult::kTransferError:
        default:
            iResult = kTransfer;
            break;
    }
    if (iResult != kOk) platform::RemoveFile(szTemp);
    std::free(szTemp);
    return iResult;
}
