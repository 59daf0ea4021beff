// HTTP(S) transfer of one URL into a local file: libcurl on POSIX, WinINet
// on Windows. The support library's downloader builds on it.
#pragma once

#include <cstdint>

namespace platform {

enum class HttpResult {
    kOk,             // a 2xx answer, its whole body written
    kBadScheme,      // not an http:// or https:// URL
    kFileError,      // the file could not be created or written
    kTransferError,  // name lookup, connect, time-out, or the stream broke off
    kHttpStatus,     // the final answer's status was not 2xx
    kAborted,        // pfnShouldAbort asked to stop
};

struct HttpOptions {
    uint32_t dwConnectTimeoutMs;  // bound on name lookup and connect
    uint32_t dwStallTimeoutMs;    // a transfer with no byte for this long fails
    // Asked now and then during the transfer; true stops it with kAborted.
    bool (*pfnShouldAbort)(void* pContext);
    void* pContext;
};

// Fetches szUrl, following redirects, and writes the body to szPath
// (created or truncated). On failure szPath may hold a partial body: the
// caller removes it. *piHttpStatus receives the final status, 0 if none.
HttpResult HttpDownloadToFile(const char* szUrl, const char* szPath, const HttpOptions& options,
                              int* piHttpStatus);

}  // namespace platform
