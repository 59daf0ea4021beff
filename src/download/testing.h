// The download layer's test seams (the scheme is described in
// platform/testing.h).
#pragma once

#include <cstdint>

struct HWND__;

namespace vorel_testing {

// The transfer of both download exports, in the shape of the support
// library's InternetDownloadFile; null restores that. Lets a transfer report
// success without leaving a file.
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
