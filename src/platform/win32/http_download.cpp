// HTTP(S) transfers on Windows through WinINet, synchronously on the
// caller's thread.
#include "platform/http_download.h"

// wininet.h builds on windows.h.
// clang-format off
#include <windows.h>
#include <wininet.h>
// clang-format on

#include "platform/system.h"

namespace platform {
namespace {

constexpr DWORD kReadChunk = 16 * 1024;

// Always a fresh answer from the origin server, nothing left in the cache,
// never a dialog; redirects in either direction between http and https are
// followed like any other.
constexpr DWORD kOpenFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                             INTERNET_FLAG_NO_UI | INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP |
                             INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS;

class InternetHandle {
public:
    explicit InternetHandle(HINTERNET hHandle) : hHandle_(hHandle) {}
    ~InternetHandle() {
        if (hHandle_ != nullptr) InternetCloseHandle(hHandle_);
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;

    HINTERNET Get() const { return hHandle_; }

private:
    HINTERNET hHandle_;
};

class OutputFile {
public:
    explicit OutputFile(const char* szPath)
        : hFile_(CreateFileA(szPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~OutputFile() { Close(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool IsOpen() const { return hFile_ != INVALID_HANDLE_VALUE; }

    bool Write(const char* pData, DWORD dwLength) {
        while (dwLength > 0) {
            DWORD dwWritten = 0;
            if (!WriteFile(hFile_, pData, dwLength, &dwWritten, nullptr) || dwWritten == 0) {
                return false;
            }
            pData += dwWritten;
            dwLength -= dwWritten;
        }
        return true;
    }

    // True when the file was open and everything written reached it.
    bool Close() {
        if (hFile_ == INVALID_HANDLE_VALUE) return false;
        bool bOk = CloseHandle(hFile_) != FALSE;
        hFile_ = INVALID_HANDLE_VALUE;
        return bOk;
    }

private:
    HANDLE hFile_;
};

bool ShouldAbort(const HttpOptions& options) {
    return options.pfnShouldAbort != nullptr && options.pfnShouldAbort(options.pContext);
}

// A time-out of 0 leaves the system's own.
void SetTimeout(HINTERNET hSession, DWORD dwOption, uint32_t dwMs) {
    if (dwMs == 0) return;
    DWORD dwValue = dwMs;
    InternetSetOptionA(hSession, dwOption, &dwValue, sizeof(dwValue));
}

bool QueryNumber(HINTERNET hRequest, DWORD dwInfo, DWORD* pdwValue) {
    DWORD dwLength = sizeof(*pdwValue);
    return HttpQueryInfoA(hRequest, dwInfo | HTTP_QUERY_FLAG_NUMBER, pdwValue, &dwLength,
                          nullptr) != FALSE;
}

// The announced Content-Length, read as text: the number form has 32 bits
// and would cut a length of 4 GiB or more.
bool QueryContentLength(HINTERNET hRequest, uint64_t* pqwLength) {
    char szValue[32];
    DWORD dwLength = sizeof(szValue);
    if (!HttpQueryInfoA(hRequest, HTTP_QUERY_CONTENT_LENGTH, szValue, &dwLength, nullptr)) {
        return false;
    }
    uint64_t qwValue = 0;
    int iDigits = 0;
    for (const char* p = szValue; *p >= '0' && *p <= '9'; ++p, ++iDigits) {
        if (qwValue > (UINT64_MAX - 9) / 10) return false;
        qwValue = qwValue * 10 + static_cast<uint64_t>(*p - '0');
    }
    if (iDigits == 0) return false;
    *pqwLength = qwValue;
    return true;
}

// Copies the body into the file, asking about an abort before every read.
// Each read takes what has arrived, so the question comes up whenever data
// does, and at the latest after the stall time-out (the receive time-out,
// which also ends a read that waits that long). The speed floor is judged
// after every read: a server that keeps sending a byte now and then never
// lets the receive time-out fire.
HttpResult CopyBody(HINTERNET hRequest, OutputFile& file, const char* szPath,
                    const HttpOptions& options) {
    uint64_t qwExpected = 0;
    bool bLengthKnown = QueryContentLength(hRequest, &qwExpected);
    DiskRoom room(szPath, options.qwDiskReserve);
    if (bLengthKnown && !room.Fits(qwExpected)) return HttpResult::kDiskFull;
    uint64_t qwTotal = 0;
    TransferWatch watch(options, GetTickCount());
    char buffer[kReadChunk];
    for (;;) {
        if (ShouldAbort(options)) return HttpResult::kAborted;
        DWORD dwAvailable = 0;
        if (!InternetQueryDataAvailable(hRequest, &dwAvailable, 0, 0)) {
            return HttpResult::kTransferError;
        }
        DWORD dwWanted = (dwAvailable > 0 && dwAvailable < kReadChunk) ? dwAvailable : kReadChunk;
        DWORD dwRead = 0;
        if (!InternetReadFile(hRequest, buffer, dwWanted, &dwRead)) {
            return HttpResult::kTransferError;
        }
        if (dwRead == 0) break;
        if (!room.Allows(dwRead)) return HttpResult::kDiskFull;
        if (!file.Write(buffer, dwRead)) return HttpResult::kFileError;
        qwTotal += dwRead;
        if (watch.TooSlow(qwTotal, GetTickCount())) return HttpResult::kTransferError;
    }
    // A connection that broke off early can look like the end of the body.
    if (bLengthKnown && qwTotal != qwExpected) return HttpResult::kTransferError;
    return HttpResult::kOk;
}

}  // namespace

namespace detail {

HttpResult SystemHttpDownload(const char* szUrl, const char* szPath, const HttpOptions& options,
                              int* piHttpStatus) {
    if (ShouldAbort(options)) return HttpResult::kAborted;

    OutputFile file(szPath);
    if (!file.IsOpen()) return HttpResult::kFileError;

    InternetHandle session(
        InternetOpenA("Vorel", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (session.Get() == nullptr) return HttpResult::kTransferError;
    SetTimeout(session.Get(), INTERNET_OPTION_CONNECT_TIMEOUT, options.dwConnectTimeoutMs);
    SetTimeout(session.Get(), INTERNET_OPTION_SEND_TIMEOUT, options.dwStallTimeoutMs);
    SetTimeout(session.Get(), INTERNET_OPTION_RECEIVE_TIMEOUT, options.dwStallTimeoutMs);

    // Name lookup, connect, request and every redirect happen in here.
    InternetHandle request(InternetOpenUrlA(session.Get(), szUrl, nullptr, 0, kOpenFlags, 0));
    if (request.Get() == nullptr) return HttpResult::kTransferError;

    DWORD dwStatus = 0;
    if (!QueryNumber(request.Get(), HTTP_QUERY_STATUS_CODE, &dwStatus)) {
        return HttpResult::kTransferError;
    }
    *piHttpStatus = static_cast<int>(dwStatus);
    if (dwStatus < 200 || dwStatus > 299) return HttpResult::kHttpStatus;

    HttpResult result = CopyBody(request.Get(), file, szPath, options);
    if (!file.Close() && result == HttpResult::kOk) result = HttpResult::kFileError;
    return result;
}

}  // namespace detail
}  // namespace platform
