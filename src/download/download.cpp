#include "download/download.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "base/alloc.h"
#include "base/log_file.h"
#include "base/threads.h"
#include "download/testing.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/files.h"
#include "support/quorvex.h"

KThreadMutex DownloadLock;
ThreadSlot hThread1{nullptr};

namespace {

constexpr size_t kSlotSize = 512;

// The arguments of the latest Download_File_EX, written under DownloadLock.
// Its thread works from copies in its own start record, so the call never
// waits for the thread to run.
char szDownloadUrl[kSlotSize];
char szDownloadPath[kSlotSize];

// Numbers the temporary files; each download takes its own.
std::atomic<int> iTempFileNo{0};

// Background download threads whose routine has not yet ended: raised by the
// starter before the thread can run, lowered as the thread's last act. The
// count changes under its lock together with an event that is set exactly
// while it is 0, so that the unload waits for the downloads' end in one
// wait. Built in static storage and never destroyed: a download thread that
// could not be stopped at the unload lowers the count after the library's
// statics are gone (on Windows that keeps one event handle per load).
struct DownloadThreadCount {
    DownloadThreadCount() { none.Set(); }
    KThreadMutex lock;
    platform::Event none;
    std::atomic<int> iRunning{0};  // changed under lock, read without it
};
alignas(DownloadThreadCount) unsigned char g_downloadThreadsStorage[sizeof(DownloadThreadCount)];
DownloadThreadCount& g_downloadThreads = *new (g_downloadThreadsStorage) DownloadThreadCount;

void CountDownloadThreadStarting() {
    KMutexAdaptor<KThreadMutex> guard(g_downloadThreads.lock, -1);
    if (g_downloadThreads.iRunning.fetch_add(1) == 0) g_downloadThreads.none.Reset();
}

void CountDownloadThreadEnded() {
    KMutexAdaptor<KThreadMutex> guard(g_downloadThreads.lock, -1);
    if (g_downloadThreads.iRunning.fetch_sub(1) == 1) g_downloadThreads.none.Set();
}

// How long the unload waits for background downloads: first for them to
// finish, then, after asking them to stop, for them to stop.
std::atomic<uint32_t> g_dwUnloadFinishMs{1500};
std::atomic<uint32_t> g_dwUnloadStopMs{500};

// Set by the unload: DownloadFile calls in progress and later ones end
// with 7.
std::atomic<bool> g_bStopCallingThreadDownloads{false};
constexpr int kStoppedForUnload = 7;

int ShouldStopCallingThreadDownload(void*) {
    return g_bStopCallingThreadDownloads.load(std::memory_order_acquire) ? 1 : 0;
}

std::atomic<vorel_testing::DownloadFunction> g_pfnDownload{nullptr};
std::atomic<void (*)()> g_pfnThreadGate{nullptr};

int Transfer(const char* szUrl, const char* szPath) {
    vorel_testing::DownloadFunction pfnDownload = g_pfnDownload.load();
    if (pfnDownload != nullptr) return pfnDownload(nullptr, 0, 0, szUrl, szPath);
    return InternetDownloadFile(nullptr, 0, 0, szUrl, szPath);
}

// Everything a download thread needs, handed over on the heap and freed by
// the thread: its own copies of the arguments and its temporary number, and
// its own handle, published by the starter once creation has returned.
struct DownloadThreadStart {
    char szUrl[kSlotSize];
    char szPath[kSlotSize];
    int iTempNo;
    SlotSelf self;
};

// "Temp%d" in place of everything after the last backslash (or the last
// forward slash; the whole text when there is neither).
void BuildTempPath(char* szTemp, const char* szPath, int iNumber) {
    std::memcpy(szTemp, szPath, kSlotSize);
    char* pCut = std::strrchr(szTemp, '\\');
    if (pCut == nullptr) pCut = std::strrchr(szTemp, '/');
    char* pName = pCut != nullptr ? pCut + 1 : szTemp;
    std::snprintf(pName, kSlotSize - static_cast<size_t>(pName - szTemp), "Temp%d", iNumber);
}

// Room for "Temp" and the longest number behind the destination's directory.
bool TempNameFits(const char* szPath) {
    const char* pCut = std::strrchr(szPath, '\\');
    if (pCut == nullptr) pCut = std::strrchr(szPath, '/');
    size_t iDirLength = pCut != nullptr ? static_cast<size_t>(pCut - szPath) + 1 : 0;
    return iDirLength + std::strlen("Temp") + 10 + 1 <= kSlotSize;
}

// Moves a good transfer into place. A failed move leaves the destination as
// it was; the temporary file is removed rather than left beside it.
void PlaceDownload(const DownloadThreadStart& start, const char* szTemp) {
    if (platform::MoveFileReplace(szTemp, start.szPath)) return;
    WriteFileNew(LogFile(), "---Download_File_Thread---error---移动文件失败---%d---%s---%s---%s\n",
                 platform::NowSeconds32(), start.szUrl, start.szPath, szTemp);
    platform::RemoveFile(szTemp);
}

uint32_t Download_File_Thread(void* pArg) {
    DownloadThreadStart* pStart = static_cast<DownloadThreadStart*>(pArg);
    void (*pfnGate)() = g_pfnThreadGate.load();
    if (pfnGate != nullptr) pfnGate();
    char szTemp[kSlotSize];
    BuildTempPath(szTemp, pStart->szPath, pStart->iTempNo);
    int iResult = Transfer(pStart->szUrl, szTemp);
    if (iResult == 0 && platform::FileExists(szTemp)) {
        PlaceDownload(*pStart, szTemp);
    } else {
        WriteFileNew(LogFile(), "---Download_File_Thread---error---下载失败---%d---%s---%s---%s\n",
                     platform::NowSeconds32(), pStart->szUrl, pStart->szPath, szTemp);
    }
    pStart->self.Leave(hThread1);
    pStart->~DownloadThreadStart();
    ZeroFree(pStart);
    CountDownloadThreadEnded();
    return 0;
}

// Waits until no background download thread runs, for at most dwTimeoutMs
// on the millisecond tick, in one wait that the last thread's end cuts
// short. True when none runs.
bool WaitDownloadThreadsEnded(uint32_t dwTimeoutMs) {
    if (DownloadThreadsRunning() == 0) return true;
    if (!g_downloadThreads.none.WaitFor(dwTimeoutMs)) return false;
    // A thread that has just announced its end still returns through a few
    // instructions of the library: let it.
    platform::SleepRealMs(20);
    return true;
}

}  // namespace

void AbortDownloads(bool bAbort) { InternetDownloadAbort(bAbort ? 1 : 0); }

int DownloadThreadsRunning() { return g_downloadThreads.iRunning.load(std::memory_order_acquire); }

int DownloadFileNow(const char* szUrl, const char* szLocalFile) {
    if (ShouldStopCallingThreadDownload(nullptr) != 0) return kStoppedForUnload;
    vorel_testing::DownloadFunction pfnDownload = g_pfnDownload.load();
    if (pfnDownload != nullptr) return pfnDownload(nullptr, 0, 0, szUrl, szLocalFile);
    return InternetDownloadFileStoppable(nullptr, 0, 0, szUrl, szLocalFile,
                                         ShouldStopCallingThreadDownload, nullptr);
}

void StopCallingThreadDownloads(bool bStop) {
    g_bStopCallingThreadDownloads.store(bStop, std::memory_order_release);
}

void WaitForDownloadsAtUnload() {
    if (WaitDownloadThreadsEnded(g_dwUnloadFinishMs.load())) return;
    AbortDownloads(true);
    bool bStopped = WaitDownloadThreadsEnded(g_dwUnloadStopMs.load());
    AbortDownloads(false);
    if (!bStopped) {
        WriteFileNew(LogFile(), "---Download_File_Thread---error---卸载时下载线程未能停止---%d\n",
                     DownloadThreadsRunning());
    }
}

namespace vorel_testing {

void SetDownloadFunction(DownloadFunction pfnDownload) { g_pfnDownload.store(pfnDownload); }

void SetDownloadThreadGate(void (*pfnGate)()) { g_pfnThreadGate.store(pfnGate); }

void SetUnloadDownloadWait(uint32_t dwFinishMs, uint32_t dwStopMs) {
    g_dwUnloadFinishMs.store(dwFinishMs);
    g_dwUnloadStopMs.store(dwStopMs);
}

}  // namespace vorel_testing

int StartBackgroundDownload(const char* szUrl, const char* szLocalFile) {
    KMutexAdaptor<KThreadMutex> guard(DownloadLock, -1);
    if (szUrl == nullptr || szLocalFile == nullptr) return 1;
    size_t iUrlLength = strnlen(szUrl, kSlotSize);
    size_t iPathLength = strnlen(szLocalFile, kSlotSize);
    if (iUrlLength < 6 || iUrlLength > 511 || iPathLength < 1 || iPathLength > 511) return 1;
    // A directory that leaves no room for the temporary name is refused
    // rather than written past.
    if (!TempNameFits(szLocalFile)) return 1;

    std::memset(szDownloadUrl, 0, kSlotSize);
    std::memset(szDownloadPath, 0, kSlotSize);
    std::memcpy(szDownloadUrl, szUrl, iUrlLength);
    std::memcpy(szDownloadPath, szLocalFile, iPathLength);
    // Through the library's allocator, whose failures tests can make.
    void* pBlock = ZeroAlloc(sizeof(DownloadThreadStart));
    DownloadThreadStart* pStart = pBlock != nullptr ? new (pBlock) DownloadThreadStart : nullptr;
    if (pStart == nullptr) {
        // Not started: the game hears 1, and the log says why.
        WriteFileNew(LogFile(), "---Download_File_EX---error---内存不足,下载未启动---%s---%s\n",
                     szDownloadUrl, szDownloadPath);
        return 1;
    }
    std::memcpy(pStart->szUrl, szDownloadUrl, kSlotSize);
    std::memcpy(pStart->szPath, szDownloadPath, kSlotSize);
    pStart->iTempNo = iTempFileNo.fetch_add(1) + 1;

    // The earlier download runs on, untracked.
    TakeThreadSlot(hThread1, "---error---hThread1!=NULL---");
    // Counted before it can run, so that the unload's wait never misses it.
    CountDownloadThreadStarting();
    platform::ThreadHandle* hNew =
        CreateThreadRetrying(Download_File_Thread, pStart, "创建线程1失败: %d\n");
    pStart->self.Publish(hThread1, hNew);
    // From here the thread may have ended and freed pStart.
    platform::SleepMs(10);
    return 0;
}
