// The system's half of the calls whose other half is the same on every
// platform: each is defined once per platform (posix/, win32/), and called
// only from the platform-neutral files of this folder, which check the
// arguments and apply the faults that tests inject before handing over.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/files.h"
#include "platform/http_download.h"
#include "platform/socket.h"
#include "platform/thread.h"

namespace platform {
namespace detail {

// Sets the calling thread's SocketLastError() to a Winsock number and
// returns -1.
int FailSocketCall(int iWsaError);

// inet_addr of the system: the address in network byte order, or
// 0xFFFFFFFF (INADDR_NONE) for text it does not take.
uint32_t SystemParseDotted(const char* szHost);

// The system's name lookup for a name that is neither empty nor hooked.
bool SystemResolve(const char* szHost, uint32_t* pAddrNet);

// SocketConnect, SocketPoll, SocketRecv and SocketSend once their arguments
// are checked and no injected fault stands in for them.
int SystemConnect(SocketHandle s, uint32_t dwAddrNet, uint16_t wPort);
int SystemPoll(SocketHandle s, bool* pbReadable, bool* pbWritable);
int SystemRecv(SocketHandle s, void* pBuf, int iLen);
int SystemSend(SocketHandle s, const void* pBuf, int iLen);

// Turns lingering off, so that closing the socket resets the connection.
// 0, or -1 with the error set for a number that is not open.
int SystemSetNoLinger(SocketHandle s);

// HttpDownloadToFile for an http:// or https:// URL and a path; the final
// status goes to *piHttpStatus (never null), which starts at 0.
HttpResult SystemHttpDownload(const char* szUrl, const char* szPath, const HttpOptions& options,
                              int* piHttpStatus);

// FreeDiskSpace for a directory: "" for the current one; otherwise it ends
// with its separator ("dir/", "C:\\", "/").
bool SystemFreeDiskSpace(const char* szDirectory, uint64_t* pqwBytes);

// Writes until every byte is out or a write fails; returns the bytes written.
// REQUIRES: hFile is open.
size_t SystemAppendWrite(AppendFile hFile, const void* pData, size_t iLength);

// Starts the thread (routine is not null).
ThreadHandle* SystemThreadCreate(ThreadRoutine routine, void* pArg);

}  // namespace detail
}  // namespace platform
