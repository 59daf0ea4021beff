// Files on Windows.
#include "platform/files.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/system.h"

namespace platform {
namespace {

// Beyond the longest path Windows knows: 32,767 characters, each up to two
// bytes in the ANSI code page.
constexpr DWORD kMaxExecutablePath = 1u << 17;

bool IsAbsolutePath(const char* szPath) {
    if (szPath[0] == '\\' || szPath[0] == '/') return true;
    // "C:\dir", and also the drive-relative "C:name", which names no
    // directory of the search path either.
    return szPath[0] != '\0' && szPath[1] == ':';
}

// The default as the system hands it out: trailing blanks dropped, cut to
// dwSize - 1 characters. REQUIRES: dwSize > 0.
uint32_t CopyDefault(const char* szDefault, char* szOut, uint32_t dwSize) {
    size_t iLength = std::strlen(szDefault);
    while (iLength > 0 && (szDefault[iLength - 1] == ' ' || szDefault[iLength - 1] == '\t')) {
        --iLength;
    }
    if (iLength > dwSize - 1) iLength = dwSize - 1;
    std::memcpy(szOut, szDefault, iLength);
    szOut[iLength] = '\0';
    return static_cast<uint32_t>(iLength);
}

// WriteFile until every byte is out (a single call on a disk file) or a
// write fails; returns the bytes written.
size_t WritePrefix(HANDLE hFile, const void* pData, size_t iLength) {
    const char* p = static_cast<const char*>(pData);
    size_t iDone = 0;
    while (iDone < iLength) {
        size_t iLeft = iLength - iDone;
        DWORD dwChunk = iLeft > 0x40000000u ? 0x40000000u : static_cast<DWORD>(iLeft);
        DWORD dwWritten = 0;
        if (!WriteFile(hFile, p + iDone, dwChunk, &dwWritten, nullptr) || dwWritten == 0) break;
        iDone += dwWritten;
    }
    return iDone;
}

bool WriteAll(HANDLE hFile, const void* pData, size_t iLength) {
    return WritePrefix(hFile, pData, iLength) == iLength;
}

// The identity of an open file; false when the system cannot tell it.
bool IdentityOfHandle(HANDLE hFile, FileIdentity* pIdentity) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(hFile, &info)) return false;
    pIdentity->qwVolume = info.dwVolumeSerialNumber;
    pIdentity->qwIndex = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

// Whoever else has the file open may read, write, rename and delete it.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The length of the executable's path, which did not fit dwTried bytes:
// the system tells it only by fitting, so ask with more room until it does.
// Should that fail, dwTried still says that the path did not fit.
uint32_t WholeExecutablePathLength(DWORD dwTried) {
    for (DWORD dwRoom = dwTried * 2; dwRoom > dwTried && dwRoom <= kMaxExecutablePath;
         dwRoom *= 2) {
        char* pPath = static_cast<char*>(std::malloc(dwRoom));
        if (pPath == nullptr) break;
        DWORD dwLength = GetModuleFileNameA(nullptr, pPath, dwRoom);
        std::free(pPath);
        if (dwLength == 0) break;
        if (dwLength < dwRoom) return dwLength;
    }
    return dwTried;
}

}  // namespace

uint32_t GetExecutablePath(char* szOut, uint32_t dwSize) {
    if (szOut == nullptr || dwSize == 0) return 0;
    DWORD dwLength = GetModuleFileNameA(nullptr, szOut, dwSize);
    if (dwLength == 0) {
        szOut[0] = '\0';
        return 0;
    }
    if (dwLength < dwSize) return dwLength;
    // A path that does not fit comes back cut to the buffer's size (and on
    // Windows XP without its terminator), with the buffer's size as result.
    szOut[dwSize - 1] = '\0';
    return WholeExecutablePathLength(dwSize);
}

uint32_t ReadIniString(const char* szSection, const char* szKey, const char* szDefault, char* szOut,
                       uint32_t dwSize, const char* szPath) {
    if (szOut == nullptr || dwSize == 0) return 0;
    const char* pDefault = szDefault != nullptr ? szDefault : "";
    if (szSection == nullptr || szKey == nullptr || szPath == nullptr) {
        // The system call would list the names of sections or keys instead.
        return CopyDefault(pDefault, szOut, dwSize);
    }
    // A path that is not absolute would be looked for in the Windows
    // directory; it means the current directory, as everywhere else.
    std::string path;
    if (!IsAbsolutePath(szPath)) {
        path = ".\\";
        path += szPath;
        szPath = path.c_str();
    }
    return GetPrivateProfileStringA(szSection, szKey, pDefault, szOut, dwSize, szPath);
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
    // Append-only access (no FILE_WRITE_DATA): every write lands whole at the
    // current end of the file, whoever else appends. Reading the attributes
    // tells the file's identity.
    HANDLE hFile = CreateFileA(szPath, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                               kShareAll, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return kNoAppendFile;
    // Nothing here depends on the identity (AppendFileStillAt): a file system
    // that cannot tell it leaves it zero rather than refuse the file.
    if (pIdentity != nullptr && !IdentityOfHandle(hFile, pIdentity)) *pIdentity = FileIdentity{};
    return reinterpret_cast<AppendFile>(hFile);
}

size_t detail::SystemAppendWrite(AppendFile hFile, const void* pData, size_t iLength) {
    return WritePrefix(reinterpret_cast<HANDLE>(hFile), pData, iLength);
}

bool AppendFileSize(AppendFile hFile, uint64_t* pqwSize) {
    LARGE_INTEGER size;
    if (hFile == kNoAppendFile || !GetFileSizeEx(reinterpret_cast<HANDLE>(hFile), &size))
        return false;
    *pqwSize = static_cast<uint64_t>(size.QuadPart);
    return true;
}

void AppendFileClose(AppendFile hFile) {
    if (hFile != kNoAppendFile) CloseHandle(reinterpret_cast<HANDLE>(hFile));
}

bool AppendFileStillAt(const char* /*szPath*/, const FileIdentity& /*identity*/) {
    // The path may well name the file still while it is being deleted: it
    // goes only once every handle is closed. Opening the path again now and
    // then is what lets it go, and costs little at the rate it is asked.
    return false;
}

bool WriteWholeFile(const char* szPath, const void* pData, size_t iLength) {
    if (szPath == nullptr || (pData == nullptr && iLength > 0)) return false;
    HANDLE hFile = CreateFileA(szPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return false;
    bool bOk = WriteAll(hFile, pData, iLength);
    return CloseHandle(hFile) && bOk;
}

bool MoveFileReplace(const char* szFrom, const char* szTo) {
    if (szFrom == nullptr || szTo == nullptr) return false;
    return MoveFileExA(szFrom, szTo, MOVEFILE_REPLACE_EXISTING) != FALSE;
}

bool FileExists(const char* szPath) {
    if (szPath == nullptr) return false;
    DWORD dwAttributes = GetFileAttributesA(szPath);
    return dwAttributes != INVALID_FILE_ATTRIBUTES &&
           (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool RemoveFile(const char* szPath) {
    if (szPath == nullptr) return false;
    if (DeleteFileA(szPath)) return true;
    DWORD dwError = GetLastError();
    return dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND;
}

namespace detail {

bool SystemFreeDiskSpace(const char* szDirectory, uint64_t* pqwBytes) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExA(szDirectory[0] != '\0' ? szDirectory : nullptr, &available, nullptr,
                             nullptr)) {
        return false;
    }
    *pqwBytes = available.QuadPart;
    return true;
}

}  // namespace detail

}  // namespace platform
