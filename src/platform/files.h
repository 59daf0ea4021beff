// Files: the running executable's path, INI reading, append, move with
// replace, existence and removal. Paths are byte strings in the system's
// code page.
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

// Writes a whole new file (created or truncated). True on success.
bool WriteWholeFile(const char* szPath, const void* pData, size_t iLength);

// MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING). True on success.
bool MoveFileReplace(const char* szFrom, const char* szTo);

// Whether a file (not a directory) exists at szPath.
bool FileExists(const char* szPath);

// Deletes a file; true if it is gone afterwards.
bool RemoveFile(const char* szPath);

}  // namespace platform
