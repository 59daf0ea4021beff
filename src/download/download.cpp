#include "download/download.h"

#include <cstdio>
#include <cstring>

#include "frame/engine.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "support/quorvex.h"

KThreadMutex DownloadLock;
std::atomic<platform::ThreadHandle*> hThread1{nullptr};

namespace {

constexpr size_t kSlotSize = 512;

// The arguments of the latest Download_File_EX, handed to its thread.
// Written under DownloadLock; the thread copies them and says so through
// g_bCopied before the call lets go of the lock, so a following call can
// never change them under an unfinished copy.
char szDownloadUrl[kSlotSize];
char szDownloadPath[kSlotSize];
std::atomic<bool> g_bCopied{false};

// Numbers the temporary files; each download takes its own.
std::atomic<int> iTempFileNo{0};

std::atomic<vorel_testing::DownloadFunction> g_pfnDownload{nullptr};

int Transfer(const char* szUrl, const char* szPath) {
    vorel_testing::DownloadFunction pfnDownload = g_pfnDownload.load();
    if (pfnDownload != nullptr) return pfnDownload(nullptr, 0, 0, szUrl, szPath);
    return InternetDownloadFile(nullptr, 0, 0, szUrl, szPath);
}

// What a download thread knows of itself: its own handle, published by the
// starter once creation has returned.
struct DownloadThreadSelf {
    std::atomic<platform::ThreadHandle*> hSelf{nullptr};
    std::atomic<bool> bPublished{false};
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

uint32_t Download_File_Thread(void* pArg) {
    DownloadThreadSelf* pSelf = static_cast<DownloadThreadSelf*>(pArg);
    // 1.
    char szUrl[kSlotSize];
    char szPath[kSlotSize];
    char szTemp[kSlotSize];
    std::memcpy(szUrl, szDownloadUrl, kSlotSize);
    std::memcpy(szPath, szDownloadPath, kSlotSize);
    g_bCopied.store(true, std::memory_order_release);
    // 2.
    BuildTempPath(szTemp, szPath, iTempFileNo.fetch_add(1) + 1);
    // 3.
    int iResult = Transfer(szUrl, szTemp);
    // 4.
    if (iResult == 0 && platform::FileExists(szTemp)) {
        platform::MoveFileReplace(szTemp, szPath);
    } else {
        // 5.
        WriteFileNew(LogFile(), "---Download_File_Thread---error---下载失败---%d---%s---%s---%s\n",
                     platform::NowSeconds32(), szUrl, szPath, szTemp);
    }
    // 6. Only this thread's own handle: a newer download owns the slot once
    //    it has taken it, and the starter has closed this handle then.
    while (!pSelf->bPublished.load(std::memory_order_acquire)) platform::SleepMs(1);
    platform::ThreadHandle* hOwn = pSelf->hSelf.load(std::memory_order_acquire);
    platform::ThreadHandle* hExpected = hOwn;
    if (hThread1.compare_exchange_strong(hExpected, nullptr)) platform::ThreadClose(hOwn);
    delete pSelf;
    return 0;
}

}  // namespace

void AbortDownloads(bool bAbort) { InternetDownloadAbort(bAbort ? 1 : 0); }

int DownloadFileNow(const char* szUrl, const char* szLocalFile) {
    return Transfer(szUrl, szLocalFile);
}

void WaitForDownloadsAtUnload() {
    if (platform::ThreadsWaitRunningAtMost(0, 2000)) return;
    AbortDownloads(true);
    bool bStopped = platform::ThreadsWaitRunningAtMost(0, 1500);
    AbortDownloads(false);
    if (!bStopped) {
        WriteFileNew(LogFile(), "---Download_File_Thread---error---卸载时下载线程未能停止---%d\n",
                     platform::ThreadsRunning());
    }
}

namespace vorel_testing {

void SetDownloadFunction(DownloadFunction pfnDownload) { g_pfnDownload.store(pfnDownload); }

}  // namespace vorel_testing

int StartBackgroundDownload(const char* szUrl, const char* szLocalFile) {
    // 1.
    KMutexAdaptor<KThreadMutex> guard(DownloadLock, -1);
    // 2.
    if (szUrl == nullptr || szLocalFile == nullptr) return 1;
    size_t iUrlLength = strnlen(szUrl, kSlotSize);
    size_t iPathLength = strnlen(szLocalFile, kSlotSize);
    if (iUrlLength < 6 || iUrlLength > 511 || iPathLength < 1 || iPathLength > 511) return 1;
    // A directory that leaves no room for the temporary name is refused
    // rather than written past.
    if (!TempNameFits(szLocalFile)) return 1;
    // 3.
    std::memset(szDownloadUrl, 0, kSlotSize);
    std::memset(szDownloadPath, 0, kSlotSize);
    std::memcpy(szDownloadUrl, szUrl, iUrlLength);
    std::memcpy(szDownloadPath, szLocalFile, iPathLength);
    g_bCopied.store(false, std::memory_order_release);
    // 4. The earlier download runs on, untracked.
    platform::ThreadHandle* hOld = hThread1.exchange(nullptr);
    if (hOld != nullptr) {
        WriteFileNew(LogFile(), "---error---hThread1!=NULL---");
        platform::ThreadClose(hOld);
    }
    // 5.
    DownloadThreadSelf* pSelf = new DownloadThreadSelf;
    platform::ThreadHandle* hNew;
    while ((hNew = platform::ThreadCreate(Download_File_Thread, pSelf)) == nullptr) {
        WriteFileNew(LogFile(), "创建线程1失败: %d\n", platform::NowSeconds32());
    }
    pSelf->hSelf.store(hNew, std::memory_order_release);
    hThread1.store(hNew);
    pSelf->bPublished.store(true, std::memory_order_release);
    // 6. Held at least 10 ms, and until the thread has its own copies.
    platform::SleepMs(10);
    while (!g_bCopied.load(std::memory_order_acquire)) platform::SleepMs(1);
    // 7.
    return 0;
}
