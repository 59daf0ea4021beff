// The log writer: one timestamped entry per call, appended whole.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/mutex.h"
#include "support/quorvex.h"

namespace {

// Orders the appends of this process's threads; each entry is also written
// with a single append, so entries of other processes never cut into it.
platform::CriticalSection g_logLock;

constexpr size_t kStackEntry = 4096;
constexpr size_t kPrefixLength = 22;  // "[YYYY-MM-DD HH:MM:SS] "

}  // namespace

extern "C" QUORVEX_API void WriteFileNew(const char* szFile, const char* szFormat, ...) {
    if (szFile == nullptr || szFile[0] == '\0' || szFormat == nullptr) return;

    platform::LocalTime now;
    platform::GetLocalTime(&now);
    char szPrefix[64];
    int iPrefix =
        std::snprintf(szPrefix, sizeof(szPrefix), "[%04d-%02d-%02d %02d:%02d:%02d] ", now.iYear,
                      now.iMonth, now.iDay, now.iHour, now.iMinute, now.iSecond);
    if (iPrefix < 0 || static_cast<size_t>(iPrefix) >= sizeof(szPrefix)) iPrefix = 0;

    va_list args;
    va_start(args, szFormat);
    va_list argsAgain;
    va_copy(argsAgain, args);
    char stackEntry[kStackEntry];
    char* pEntry = stackEntry;
    size_t iCapacity = sizeof(stackEntry);
    std::memcpy(pEntry, szPrefix, static_cast<size_t>(iPrefix));
    int iText = std::vsnprintf(pEntry + iPrefix, iCapacity - iPrefix, szFormat, args);
    va_end(args);
    if (iText < 0) {
        va_end(argsAgain);
        return;  // a format the C library refuses: nothing sensible to write
    }
    // Room for the text, a line end and the terminator.
    size_t iNeeded = static_cast<size_t>(iPrefix) + static_cast<size_t>(iText) + 2;
    if (iNeeded > iCapacity) {
        char* pHeap = static_cast<char*>(std::malloc(iNeeded));
        if (pHeap != nullptr) {
            std::memcpy(pHeap, szPrefix, static_cast<size_t>(iPrefix));
            std::vsnprintf(pHeap + iPrefix, iNeeded - iPrefix, szFormat, argsAgain);
            pEntry = pHeap;
            iCapacity = iNeeded;
        } else {
            // Out of memory: keep what fits in the stack entry.
            iText = static_cast<int>(iCapacity - iPrefix - 2);
        }
    }
    va_end(argsAgain);

    size_t iLength = static_cast<size_t>(iPrefix) + static_cast<size_t>(iText);
    // Every entry ends its line, whether or not the format did.
    if (iLength == static_cast<size_t>(iPrefix) || pEntry[iLength - 1] != '\n')
        pEntry[iLength++] = '\n';

    g_logLock.Enter();
    platform::AppendToFile(szFile, pEntry, iLength);
    g_logLock.Leave();
    if (pEntry != stackEntry) std::free(pEntry);
}
