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

// InternetDownloadFile in the calling thread: 0 success; 7 when
// StopCallingThreadDownloads has asked it to end.
int DownloadFileNow(const char* szUrl, const char* szLocalFile);

// While bStop holds, every DownloadFileNow in progress ends with 7 (within
// about 100 ms, also inside a name lookup) and every later one returns 7 at
// once. The background downloads are not touched. The unload sets it, since
// a game thread inside the library cannot be waited out; the next load
// clears it.
void StopCallingThreadDownloads(bool bStop);

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
