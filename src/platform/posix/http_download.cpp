// HTTP(S) transfers on POSIX through libcurl.
#include "platform/http_download.h"

#include <curl/curl.h>
#include <dlfcn.h>
#include <stdio.h>

#include <chrono>
#include <mutex>

#include "platform/system.h"

namespace platform {
namespace {

std::once_flag g_curlInit;

// A monotonic millisecond tick for the transfer watch.
uint32_t NowMs() {
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

bool ShouldAbort(const HttpOptions& options) {
    return options.pfnShouldAbort != nullptr && options.pfnShouldAbort(options.pContext);
}

struct Transfer {
    FILE* pFile;
    bool bWriteFailed;
    const HttpOptions* pOptions;
    TransferWatch watch;
    bool bStalled;
    CURL* pCurl;
    DiskRoom room;
    bool bLengthChecked;  // the announced length has been held against the room
    bool bDiskFull;
};

size_t WriteBody(char* pData, size_t iSize, size_t iCount, void* pContext) {
    Transfer* pTransfer = static_cast<Transfer*>(pContext);
    size_t iBytes = iSize * iCount;
    if (!pTransfer->bLengthChecked) {
        pTransfer->bLengthChecked = true;
        curl_off_t iLength = -1;
        curl_easy_getinfo(pTransfer->pCurl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &iLength);
        if (iLength > 0 && !pTransfer->room.Fits(static_cast<uint64_t>(iLength))) {
            pTransfer->bDiskFull = true;
            return 0;
        }
    }
    if (!pTransfer->room.Allows(iBytes)) {
        pTransfer->bDiskFull = true;
        return 0;  // makes libcurl stop with a write error
    }
    if (fwrite(pData, 1, iBytes, pTransfer->pFile) != iBytes) {
        pTransfer->bWriteFailed = true;
        return 0;  // makes libcurl stop with a write error
    }
    return iBytes;
}

// Called by libcurl at least once a second, data or not (also while the
// name lookup runs on libcurl's own thread), and as data arrives: watches
// for a stalled or too slow transfer and for a request to stop.
int Progress(void* pContext, curl_off_t, curl_off_t iBytesNow, curl_off_t, curl_off_t) {
    Transfer* pTransfer = static_cast<Transfer*>(pContext);
    const HttpOptions* pOptions = pTransfer->pOptions;
    if (ShouldAbort(*pOptions)) return 1;  // aborts the transfer
    uint64_t iBytes = iBytesNow > 0 ? static_cast<uint64_t>(iBytesNow) : 0;
    if (pTransfer->watch.TooSlow(iBytes, NowMs())) {
        pTransfer->bStalled = true;
        return 1;
    }
    return 0;
}

// libcurl's global set-up, and libcurl kept loaded for the rest of the
// process: a name lookup that a stopped transfer leaves behind finishes on
// libcurl's own thread and returns into libcurl's code, also after the
// library that started it has been unloaded.
void InitCurl() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&curl_easy_init), &info) != 0 && info.dli_fname != nullptr) {
        dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    }
}

}  // namespace

namespace detail {

HttpResult SystemHttpDownload(const char* szUrl, const char* szPath, const HttpOptions& options,
                              int* piHttpStatus) {
    std::call_once(g_curlInit, InitCurl);

    CURL* pCurl = curl_easy_init();
    if (pCurl == nullptr) return HttpResult::kTransferError;
    FILE* pFile = fopen(szPath, "wbe");
    if (pFile == nullptr) {
        curl_easy_cleanup(pCurl);
        return HttpResult::kFileError;
    }

    Transfer transfer{pFile,
                      false,
                      &options,
                      TransferWatch(options, NowMs()),
                      false,
                      pCurl,
                      DiskRoom(szPath, options.qwDiskReserve),
                      false,
                      false};
    curl_easy_setopt(pCurl, CURLOPT_URL, szUrl);
    curl_easy_setopt(pCurl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(pCurl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(pCurl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(pCurl, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(pCurl, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(options.dwConnectTimeoutMs));
    curl_easy_setopt(pCurl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(pCurl, CURLOPT_WRITEFUNCTION, WriteBody);
    curl_easy_setopt(pCurl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(pCurl, CURLOPT_XFERINFOFUNCTION, Progress);
    curl_easy_setopt(pCurl, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(pCurl, CURLOPT_NOPROGRESS, 0L);
#if LIBCURL_VERSION_NUM >= 0x075700
    // A transfer stopped during its name lookup returns at once instead of
    // waiting in its clean-up for the lookup to come back.
    curl_easy_setopt(pCurl, CURLOPT_QUICK_EXIT, 1L);
#endif

    CURLcode code = curl_easy_perform(pCurl);
    long iStatus = 0;
    curl_easy_getinfo(pCurl, CURLINFO_RESPONSE_CODE, &iStatus);
    curl_easy_cleanup(pCurl);
    bool bClosed = fclose(pFile) == 0;
    *piHttpStatus = static_cast<int>(iStatus);

    if (code == CURLE_ABORTED_BY_CALLBACK) {
        return transfer.bStalled ? HttpResult::kTransferError : HttpResult::kAborted;
    }
    if (transfer.bDiskFull) return HttpResult::kDiskFull;
    if (transfer.bWriteFailed || (code == CURLE_OK && !bClosed)) return HttpResult::kFileError;
    if (code != CURLE_OK) return HttpResult::kTransferError;
    if (iStatus < 200 || iStatus > 299) return HttpResult::kHttpStatus;
    return HttpResult::kOk;
}

}  // namespace detail
}  // namespace platform
