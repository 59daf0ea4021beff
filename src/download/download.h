// File downloads: in the calling thread, or in the background through a
// temporary file beside the destination. Neither needs the engine.
#pragma once

#include <atomic>

#include "frame/lock.h"
#include "platform/thread.h"

// Serialises Download_File_EX; lives from library load to unload and is
// never held together with another lock.
extern KThreadMutex DownloadLock;

// The handle of the newest background download thread, or null.
extern std::atomic<platform::ThreadHandle*> hThread1;

// InternetDownloadFile in the calling thread: 0 success.
int DownloadFileNow(const char* szUrl, const char* szLocalFile);

// Starts a background download: 0 started, 1 arguments rejected.
int StartBackgroundDownload(const char* szUrl, const char* szLocalFile);

// While true, transfers in progress stop and new ones fail at once
// (shutdown uses it to end download threads).
void AbortDownloads(bool bAbort);
