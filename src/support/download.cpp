// The downloader: fetches into a temporary file beside the destination and
// moves it into place only after a complete, successful transfer, so that a
// failure never leaves a partial file at the destination.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/http_download.h"
#include "platform/mutex.h"
#include "support/quorvex.h"
#include "support/testing.h"

namespace {

std::atomic<uint32_t> g_dwConnectMs{30000};
std::atomic<uint32_t> g_dwStallMs{60000};
// About 17 bytes a second: far below any working link (a 9600 bit/s modem
// brings 1,024 bytes in about a second), so it cuts only a server that
// trickles, which the stall time-out alone lets hold a call for ever.
std::atomic<uint32_t> g_dwFloorBytes{1024};
std::atomic<uint32_t> g_dwFloorWindowMs{60000};
std::atomic<bool> g_bAbort{false};
// What a download must leave free on the destination's volume. A full
// system volume breaks far more than the game (the page file, the system's
// updates, the game's own saves and log), and a download that cannot fit
// with this much to spare is better refused than allowed to take the last
// of it; 256 MiB is little against the disks the game runs on.
constexpr uint64_t kDiskReserveBytes = 256ull * 1024 * 1024;

// The caller's own stop question beside the process-wide abort.
struct StopQuestion {
    int (*pfnStop)(void* pContext);
    void* pContext;
};

bool ShouldAbort(void* pContext) {
    if (g_bAbort.load(std::memory_order_acquire)) return true;
    const StopQuestion* pQuestion = static_cast<const StopQuestion*>(pContext);
    return pQuestion->pfnStop != nullptr && pQuestion->pfnStop(pQuestion->pContext) != 0;
}

enum : int {
    kOk = 0,
    kBadArguments = 1,
    kTempFile = 2,
    kTransfer = 3,
    kHttpStatus = 4,
    kMoveFailed = 5,
    kBadScheme = 6,
    kAborted = 7,
    kDiskFull = 8,
};

// ---- temporary names ----------------------------------------------------------
// A transfer writes "<path>.part" while it is the only transfer of this
// process to that destination; one that starts while others run takes the
// lowest free "<path>.part1" to "<path>.part7". The names are the same in
// every run, so what a killed process left behind is overwritten by the
// next download of the destination, and the numbered ones are removed when
// the last transfer to a destination ends. The destinations in use are kept
// in a list of their own.

constexpr int kTempSlots = 8;          // ".part" and seven numbered variants
constexpr size_t kTempSuffixRoom = 8;  // ".part7" and the terminator, with room to spare

struct DestinationUsers {
    DestinationUsers* pNext;
    uint32_t dwSlots;  // bit k set: slot k is in use
    bool bSweeping;    // the last user is removing numbered leftovers
    char szPath[1];    // the destination, allocated to its length
};

// REQUIRES for the list and every record in it: g_tempNamesLock held. Taken
// for memory work only; the files are touched outside it.
platform::CriticalSection g_tempNamesLock;
DestinationUsers* g_pDestinations = nullptr;

class TempNamesGuard {
public:
    TempNamesGuard() { g_tempNamesLock.Enter(); }
    ~TempNamesGuard() { g_tempNamesLock.Leave(); }
    TempNamesGuard(const TempNamesGuard&) = delete;
    TempNamesGuard& operator=(const TempNamesGuard&) = delete;
};

// REQUIRES: g_tempNamesLock held.
DestinationUsers** FindDestination(const char* szPath) {
    DestinationUsers** ppLink = &g_pDestinations;
    while (*ppLink != nullptr && std::strcmp((*ppLink)->szPath, szPath) != 0) {
        ppLink = &(*ppLink)->pNext;
    }
    return ppLink;
}

// The temporary name of slot iSlot into szTemp (room for the path and
// kTempSuffixRoom).
void FormatTempName(char* szTemp, size_t iSize, const char* szPath, int iSlot) {
    if (iSlot == 0) {
        std::snprintf(szTemp, iSize, "%s.part", szPath);
    } else {
        std::snprintf(szTemp, iSize, "%s.part%d", szPath, iSlot);
    }
}

// Takes the lowest free slot of the destination: its number, or -1 when
// all are taken or memory ran out.
int ClaimTempSlot(const char* szPath) {
    for (;;) {
        {
            TempNamesGuard guard;
            DestinationUsers** ppLink = FindDestination(szPath);
            DestinationUsers* pUsers = *ppLink;
            if (pUsers == nullptr) {
                size_t iLength = std::strlen(szPath);
                pUsers =
                    static_cast<DestinationUsers*>(std::malloc(sizeof(DestinationUsers) + iLength));
                if (pUsers == nullptr) return -1;
                pUsers->pNext = nullptr;
                pUsers->dwSlots = 0;
                pUsers->bSweeping = false;
                std::memcpy(pUsers->szPath, szPath, iLength + 1);
                *ppLink = pUsers;
            }
            if (!pUsers->bSweeping) {
                for (int iSlot = 0; iSlot < kTempSlots; ++iSlot) {
                    if ((pUsers->dwSlots & (1u << iSlot)) == 0) {
                        pUsers->dwSlots |= 1u << iSlot;
                        return iSlot;
                    }
                }
                return -1;
            }
        }
        // A sweep is a few file removals: wait it out rather than let it
        // remove the file this transfer is about to write.
        platform::SleepRealMs(1);
    }
}

// Gives the slot back; the last user of the destination then removes the
// numbered names, which no transfer of this process is writing any more.
void ReleaseTempSlot(const char* szPath, int iSlot, char* szScratch, size_t iScratchSize) {
    DestinationUsers* pUsers;
    {
        TempNamesGuard guard;
        pUsers = *FindDestination(szPath);
        if (pUsers == nullptr) return;
        pUsers->dwSlots &= ~(1u << iSlot);
        if (pUsers->dwSlots != 0) return;
        pUsers->bSweeping = true;
    }
    for (int iNumbered = 1; iNumbered < kTempSlots; ++iNumbered) {
        FormatTempName(szScratch, iScratchSize, szPath, iNumbered);
        platform::RemoveFile(szScratch);
    }
    TempNamesGuard guard;
    DestinationUsers** ppLink = FindDestination(szPath);
    *ppLink = pUsers->pNext;
    std::free(pUsers);
}

int TranslateResult(platform::HttpResult result) {
    switch (result) {
        case platform::HttpResult::kOk:
            return kOk;
        case platform::HttpResult::kBadScheme:
            return kBadScheme;
        case platform::HttpResult::kFileError:
            return kTempFile;
        case platform::HttpResult::kHttpStatus:
            return kHttpStatus;
        case platform::HttpResult::kAborted:
            return kAborted;
        case platform::HttpResult::kDiskFull:
            return kDiskFull;
        case platform::HttpResult::kTransferError:
        default:
            return kTransfer;
    }
}

}  // namespace

namespace quorvex_testing {

void SetDownloadTimeouts(uint32_t dwConnectMs, uint32_t dwStallMs) {
    g_dwConnectMs.store(dwConnectMs);
    g_dwStallMs.store(dwStallMs);
}

void SetDownloadFloor(uint32_t dwFloorBytes, uint32_t dwWindowMs) {
    g_dwFloorBytes.store(dwFloorBytes);
    g_dwFloorWindowMs.store(dwWindowMs);
}

DownloadSettings CurrentDownloadSettings() {
    return {g_dwConnectMs.load(), g_dwStallMs.load(), g_dwFloorBytes.load(),
            g_dwFloorWindowMs.load()};
}

void SetDownloadAbort(bool bAbort) { g_bAbort.store(bAbort, std::memory_order_release); }

}  // namespace quorvex_testing

extern "C" QUORVEX_API void InternetDownloadAbort(int iAbort) {
    g_bAbort.store(iAbort != 0, std::memory_order_release);
}

extern "C" QUORVEX_API int InternetDownloadFile(HWND__* hWnd, int iReserved1, int iReserved2,
                                                const char* szUrl, const char* szPath) {
    return InternetDownloadFileStoppable(hWnd, iReserved1, iReserved2, szUrl, szPath, nullptr,
                                         nullptr);
}

extern "C" QUORVEX_API int InternetDownloadFileStoppable(HWND__* /*hWnd*/, int /*iReserved1*/,
                                                         int /*iReserved2*/, const char* szUrl,
                                                         const char* szPath,
                                                         int (*pfnStop)(void* pContext),
                                                         void* pContext) {
    if (szUrl == nullptr || szPath == nullptr || szUrl[0] == '\0' || szPath[0] == '\0') {
        return kBadArguments;
    }
    StopQuestion question{pfnStop, pContext};
    if (ShouldAbort(&question)) return kAborted;

    // In the destination's directory, so the move is a rename.
    size_t iTempSize = std::strlen(szPath) + kTempSuffixRoom;
    char* szTemp = static_cast<char*>(std::malloc(iTempSize));
    if (szTemp == nullptr) return kTempFile;
    int iSlot = ClaimTempSlot(szPath);
    if (iSlot < 0) {
        std::free(szTemp);
        return kTempFile;
    }
    FormatTempName(szTemp, iTempSize, szPath, iSlot);

    platform::HttpOptions options{};
    options.dwConnectTimeoutMs = g_dwConnectMs.load();
    options.dwStallTimeoutMs = g_dwStallMs.load();
    options.dwFloorBytes = g_dwFloorBytes.load();
    options.dwFloorWindowMs = g_dwFloorWindowMs.load();
    options.qwDiskReserve = kDiskReserveBytes;
    options.pfnShouldAbort = ShouldAbort;
    options.pContext = &question;
    int iStatus = 0;
    int iResult = TranslateResult(platform::HttpDownloadToFile(szUrl, szTemp, options, &iStatus));
    if (iResult == kOk && !platform::MoveFileReplace(szTemp, szPath)) iResult = kMoveFailed;
    if (iResult != kOk) platform::RemoveFile(szTemp);
    ReleaseTempSlot(szPath, iSlot, szTemp, iTempSize);
    std::free(szTemp);
    return iResult;
}
