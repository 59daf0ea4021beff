// Files on POSIX.
#include "platform/files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/system.h"

namespace platform {
namespace {

// Beyond any path the system hands out for a running program.
constexpr size_t kMaxExecutablePath = 1u << 20;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Trims blanks at both ends of [*ppBegin, *ppEnd).
void Trim(const char** ppBegin, const char** ppEnd) {
    while (*ppBegin < *ppEnd && IsBlank(**ppBegin)) ++*ppBegin;
    while (*ppEnd > *ppBegin && IsBlank((*ppEnd)[-1])) --*ppEnd;
}

bool EqualNoCase(const char* pBegin, const char* pEnd, const char* szName) {
    size_t iLen = static_cast<size_t>(pEnd - pBegin);
    return std::strlen(szName) == iLen && strncasecmp(pBegin, szName, iLen) == 0;
}

// Copies [pBegin, pEnd) into szOut, cut to dwSize - 1 characters.
uint32_t CopyResult(const char* pBegin, const char* pEnd, char* szOut, uint32_t dwSize) {
    if (szOut == nullptr || dwSize == 0) return 0;
    size_t iLen = static_cast<size_t>(pEnd - pBegin);
    if (iLen > dwSize - 1) iLen = dwSize - 1;
    std::memcpy(szOut, pBegin, iLen);
    szOut[iLen] = '\0';
    return static_cast<uint32_t>(iLen);
}

// Writes until every byte is out or a write fails; returns the bytes written.
size_t WritePrefix(int fd, const void* pData, size_t iLength) {
    const char* p = static_cast<const char*>(pData);
    size_t iDone = 0;
    while (iDone < iLength) {
        ssize_t n = write(fd, p + iDone, iLength - iDone);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (n == 0) break;
        iDone += static_cast<size_t>(n);
    }
    return iDone;
}

bool WriteAll(int fd, const void* pData, size_t iLength) {
    return WritePrefix(fd, pData, iLength) == iLength;
}

FileIdentity IdentityOf(const struct stat& st) {
    return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

}  // namespace

uint32_t GetExecutablePath(char* szOut, uint32_t dwSize) {
    if (szOut == nullptr || dwSize == 0) return 0;
    szOut[0] = '\0';
    // readlink cuts silently and does not terminate: a link that fills the
    // buffer may be longer, so ask again with twice the room.
    size_t iRoom = 1024;
    for (;;) {
        char* pPath = static_cast<char*>(std::malloc(iRoom));
        if (pPath == nullptr) return 0;
        ssize_t n = readlink("/proc/self/exe", pPath, iRoom);
        if (n > 0 && static_cast<size_t>(n) < iRoom) {
            CopyResult(pPath, pPath + n, szOut, dwSize);
            std::free(pPath);
            return static_cast<uint32_t>(n);
        }
        std::free(pPath);
        if (n <= 0 || iRoom >= kMaxExecutablePath) return 0;
        iRoom *= 2;
    }
}

uint32_t ReadIniString(const char* szSection, const char* szKey, const char* szDefault, char* szOut,
                       uint32_t dwSize, const char* szPath) {
    const char* pDefault = szDefault != nullptr ? szDefault : "";
    const char* pDefaultEnd = pDefault + std::strlen(pDefault);
    // The default loses trailing blanks, as the system's reader does.
    while (pDefaultEnd > pDefault && IsBlank(pDefaultEnd[-1])) --pDefaultEnd;
    if (szSection == nullptr || szKey == nullptr || szPath == nullptr) {
        return CopyResult(pDefault, pDefaultEnd, szOut, dwSize);
    }
    FILE* pFile = fopen(szPath, "rb");
    if (pFile == nullptr) return CopyResult(pDefault, pDefaultEnd, szOut, dwSize);

    char* pLine = nullptr;
    size_t iCapacity = 0;
    bool bInSection = false;
    bool bFirstLine = true;
    uint32_t dwResult = 0;
    bool bFound = false;
    ssize_t iRead;
    while (!bFound && (iRead = getline(&pLine, &iCapacity, pFile)) >= 0) {
        const char* pBegin = pLine;
        const char* pEnd = pLine + iRead;
        if (bFirstLine && iRead >= 3 && std::memcmp(pBegin, "\xEF\xBB\xBF", 3) == 0) pBegin += 3;
        bFirstLine = false;
        Trim(&pBegin, &pEnd);
        if (pBegin == pEnd || *pBegin == ';') continue;
        if (*pBegin == '[') {
            const char* pClose = static_cast<const char*>(std::memchr(pBegin, ']', pEnd - pBegin));
            if (pClose == nullptr) pClose = pEnd;
            const char* pNameBegin = pBegin + 1;
            const char* pNameEnd = pClose;
            Trim(&pNameBegin, &pNameEnd);
            bInSection = EqualNoCase(pNameBegin, pNameEnd, szSection);
            continue;
        }
        if (!bInSection) continue;
        const char* pEqual = static_cast<const char*>(std::memchr(pBegin, '=', pEnd - pBegin));
        if (pEqual == nullptr) continue;
        const char* pKeyEnd = pEqual;
        const char* pKeyBegin = pBegin;
        Trim(&pKeyBegin, &pKeyEnd);
        if (!EqualNoCase(pKeyBegin, pKeyEnd, szKey)) continue;
        const char* pValue = pEqual + 1;
        const char* pValueEnd = pEnd;
        Trim(&pValue, &pValueEnd);
        if (pValueEnd - pValue >= 2 && (*pValue == '"' || *pValue == '\'') &&
            pValueEnd[-1] == *pValue) {
            ++pValue;
            --pValueEnd;
        }
        dwResult = CopyResult(pValue, pValueEnd, szOut, dwSize);
        bFound = true;
    }
    free(pLine);
    fclose(pFile);
    if (!bFound) return CopyResult(pDefault, pDefaultEnd, szOut, dwSize);
    return dwResult;
}

bool AppendToFile(const char* szPath, const void* pData, size_t iLength) {
    if (pData == nullptr && iLength > 0) return false;
    AppendFile hFile = AppendFileOpen(szPath, nullptr);
    if (hFile == kNoAppendFile) return false;
    bool bOk = AppendFileWrite(hFile, pData, iLength) == iLength;
    AppendFileClose(hFile);
    return bOk;
}

AppendFile AppendFileOpen(const char* szPath, FileIdentity* pIdentity) {
    if (szPath == nullptr) return kNoAppendFile;
    // O_NONBLOCK: a FIFO at the path without a reader fails at once rather
    // than holding the writer.
    int fd = open(szPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) return kNoAppendFile;
    if (pIdentity != nullptr) {
        struct stat st;
        if (fstat(fd, &st) != 0) {
            close(fd);
            return kNoAppendFile;
        }
        *pIdentity = IdentityOf(st);
    }
    return fd;
}

size_t detail::SystemAppendWrite(AppendFile hFile, const void* pData, size_t iLength) {
    // With O_APPEND each write lands whole at the end of the file.
    return WritePrefix(static_cast<int>(hFile), pData, iLength);
}

bool AppendFileSize(AppendFile hFile, uint64_t* pqwSize) {
    struct stat st;
    if (hFile == kNoAppendFile || fstat(static_cast<int>(hFile), &st) != 0) return false;
    *pqwSize = static_cast<uint64_t>(st.st_size);
    return true;
}

void AppendFileClose(AppendFile hFile) {
    if (hFile != kNoAppendFile) close(static_cast<int>(hFile));
}

bool AppendFileStillAt(const char* szPath, const FileIdentity& identity) {
    if (szPath == nullptr) return false;
    // A removed file vanishes from its path at once; a renamed one takes its
    // identity along.
    struct stat st;
    return stat(szPath, &st) == 0 && IdentityOf(st) == identity;
}

bool WriteWholeFile(const char* szPath, const void* pData, size_t iLength) {
    if (szPath == nullptr || (pData == nullptr && iLength > 0)) return false;
    int fd = open(szPath, O_WRONLY | O_TRUNC | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool bOk = WriteAll(fd, pData, iLength);
    return close(fd) == 0 && bOk;
}

bool MoveFileReplace(const char* szFrom, const char* szTo) {
    if (szFrom == nullptr || szTo == nullptr) return false;
    return rename(szFrom, szTo) == 0;
}

bool FileExists(const char* szPath) {
    if (szPath == nullptr) return false;
    struct stat st;
    return stat(szPath, &st) == 0 && S_ISREG(st.st_mode);
}

bool RemoveFile(const char* szPath) {
    if (szPath == nullptr) return false;
    return unlink(szPath) == 0 || errno == ENOENT;
}

namespace detail {

bool SystemFreeDiskSpace(const char* szDirectory, uint64_t* pqwBytes) {
    struct statvfs st;
    if (statvfs(szDirectory[0] != '\0' ? szDirectory : ".", &st) != 0) return false;
    *pqwBytes = static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
    return true;
}

}  // namespace detail

}  // namespace platform
