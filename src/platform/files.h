// Files: the running executable's path, INI reading, append (once, or
// through a file kept open, whose size can be asked), move with replace,
// existence and removal, and the free space of a volume.
// Paths are byte strings in the system's code page.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// GetModuleFileNameA(NULL): the full path of the process's executable (the
// host program, not this library). Writes at most dwSize bytes including the
// terminator. Returns the length of the whole path without its terminator,
// 0 on failure. A result of dwSize or more means that the path did not fit:
// szOut then holds it cut to dwSize - 1 characters and terminated, which
// names another file, so callers must not use it as a path.
uint32_t GetExecutablePath(char* szOut, uint32_t dwSize);

// GetPrivateProfileStringA with a section and a key: the value of `szKey`
// in `[szSection]` of the file `szPath`, or `szDefault` (null counts as "")
// when the file, the section or the key is absent. Section and key names
// compare without regard to ASCII case; blanks around names and values are
// dropped; one pair of matching quotes around a value is removed; lines
// starting with ';' are comments. The result is cut to dwSize - 1 characters
// and always terminated (when dwSize > 0). Returns the characters written,
// without the terminator.
uint32_t ReadIniString(const char* szSection, const char* szKey, const char* szDefault, char* szOut,
                       uint32_t dwSize, const char* szPath);

// Appends iLength bytes to the file at szPath, creating it if needed, with
// one write so that concurrent appenders never interleave inside an entry.
// Never waits on the file: true when every byte was written.
bool AppendToFile(const char* szPath, const void* pData, size_t iLength);

// Which file a path or an open file is: the device and inode number on
// POSIX, the volume serial number and file index on Windows. Two names of
// one file have the same identity; a file made anew at a path has another.
struct FileIdentity {
    uint64_t qwVolume;
    uint64_t qwIndex;
};
inline bool operator==(const FileIdentity& a, const FileIdentity& b) {
    return a.qwVolume == b.qwVolume && a.qwIndex == b.qwIndex;
}

// A file kept open for appending: a descriptor on POSIX, a HANDLE on
// Windows. kNoAppendFile is none.
using AppendFile = intptr_t;
constexpr AppendFile kNoAppendFile = -1;

// Opens szPath for appending, creating it if needed, and stores the file's
// identity in *pIdentity (when given). Every write through the handle lands
// whole at the end of the file as it is then, whoever else appends, and
// while the handle is open others may still read, write, rename and delete
// the file. The handle is not inherited by child processes. Never waits on
// the file. kNoAppendFile on failure.
AppendFile AppendFileOpen(const char* szPath, FileIdentity* pIdentity);

// Appends iLength bytes in one write (a second only after a write the
// system cut short). Returns how many bytes reached the file: iLength on
// success, fewer on a failure.
size_t AppendFileWrite(AppendFile hFile, const void* pData, size_t iLength);

// The size in bytes of the file a handle kept for appending is open on.
// False when the system cannot tell.
bool AppendFileSize(AppendFile hFile, uint64_t* pqwSize);

// Closes the handle; kNoAppendFile is ignored.
void AppendFileClose(AppendFile hFile);

// Whether a file kept open for appending, opened at szPath with this
// identity, is still the file there, or should be closed and the path opened
// again. On POSIX: whether szPath names that file still. On Windows always
// false: a file deleted while open keeps its name and identity until its
// last handle closes, and not every system tells that it is being deleted
// (Wine does not), so only closing it lets it go.
bool AppendFileStillAt(const char* szPath, const FileIdentity& identity);

// Writes a whole new file (created or truncated). True on success.
bool WriteWholeFile(const char* szPath, const void* pData, size_t iLength);

// MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING). True on success.
bool MoveFileReplace(const char* szFrom, const char* szTo);

// Whether a file (not a directory) exists at szPath.
bool FileExists(const char* szPath);

// Deletes a file; true if it is gone afterwards.
bool RemoveFile(const char* szPath);

// The bytes this process may still write on the volume that holds szPath:
// the directory part of szPath is asked (the current directory when it has
// none), so the file itself need not exist. statvfs on POSIX (the blocks
// free to unprivileged users), GetDiskFreeSpaceExA on Windows (the caller's
// quota included). False when the system cannot tell.
bool FreeDiskSpace(const char* szPath, uint64_t* pqwBytes);

}  // namespace platform
