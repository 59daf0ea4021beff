// File downloads: in the calling thread, or in the background through a
// temporary file beside the destination. Neither needs the engine.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/lock.h"
#include "base/threads.h"

struct HWND__;

// Serialises Download_File_EX; lives from library load to unload and is
// never held together with another lock.
extern KThreadMutex DownloadLock;

// The handle of the newest background download thread, or null.
extern ThreadSlot hThread1;

// InternetDownloadFile in the calling thread: 0 success.
int DownloadFileNow(const char* szUrl, const char* szLocalFile);

// Starts a background download: 0 started, 1 arguments rejected.
int StartBackgroundDownload(const char* szUrl, const char* szLocalFile);

// While true, transfers in progress stop and new ones fail at once
// (shutdown uses it to end download threads).
void AbortDownloads(bool bAbort);

// Background download threads (those of Download_File_EX) whose routine
// has not yet ended, tracked or not; other threads of the library are not
// counted.
int DownloadThreadsRunning();

// At unload with no engine: the background downloads still running are left
// to finish, since their code must stay in place while they run; one that
// needs more than about 1.5 s is stopped. Only download threads are
// waited for: with none running it returns at once, whatever other threads
// do. Nothing is logged unless a download thread cannot be stopped at all.
void WaitForDownloadsAtUnload();

namespace vorel_testing {

// Replaces the transfer of both download exports (null restores the
// support library's), so that tests can make a transfer report success
// without leaving a file.
using DownloadFunction = int (*)(HWND__* hWnd, int iReserved1, int iReserved2, const char* szUrl,
                                 const char* szPath);
void SetDownloadFunction(DownloadFunction pfnDownload);

// Called as the first act of every background download thread (null: none):
// a gate that holds the thread stands in for one that cannot start yet, as
// on Windows when Download_File_EX runs under the loader lock.
void SetDownloadThreadGate(void (*pfnGate)());

// The bounds of WaitForDownloadsAtUnload (defaults 1500 and 500 ms): how
// long downloads may take to finish, and then to stop once asked to.
void SetUnloadDownloadWait(uint32_t dwFinishMs, uint32_t dwStopMs);

}  // namespace vorel_testing
