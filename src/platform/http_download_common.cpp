// What HTTP transfers check the same way on every platform, before the
// system's half (posix/http_download.cpp, win32/http_download.cpp) runs.
#include "platform/http_download.h"
#include "platform/system.h"

namespace platform {
namespace {

bool StartsWithNoCase(const char* szText, const char* szPrefix) {
    for (; *szPrefix != '\0'; ++szText, ++szPrefix) {
        char c = *szText;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != *szPrefix) return false;
    }
    return true;
}

bool HasHttpScheme(const char* szUrl) {
    return StartsWithNoCase(szUrl, "http://") || StartsWithNoCase(szUrl, "https://");
}

}  // namespace

HttpResult HttpDownloadToFile(const char* szUrl, const char* szPath, const HttpOptions& options,
                              int* piHttpStatus) {
    if (piHttpStatus != nullptr) *piHttpStatus = 0;
    if (szUrl == nullptr || !HasHttpScheme(szUrl)) return HttpResult::kBadScheme;
    if (szPath == nullptr) return HttpResult::kFileError;
    int iStatus = 0;
    HttpResult result = detail::SystemHttpDownload(szUrl, szPath, options, &iStatus);
    if (piHttpStatus != nullptr) *piHttpStatus = iStatus;
    return result;
}

}  // namespace platform
