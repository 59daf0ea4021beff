// HTTP(S) transfer of one URL into a local file: libcurl on POSIX, WinINet
// on Windows. The support library's downloader builds on it.
#pragma once

#include <cstdint>

#include "platform/files.h"

namespace platform {

enum class HttpResult {
    kOk,             // a 2xx answer, its whole body written
    kBadScheme,      // not an http:// or https:// URL
    kFileError,      // the file could not be created or written
    kTransferError,  // name lookup, connect, time-out, too slow, or the stream broke off
    kHttpStatus,     // the final answer's status was not 2xx
    kAborted,        // pfnShouldAbort asked to stop
    kDiskFull,       // the body would leave less than the reserve free on the file's volume
};

struct HttpOptions {
    uint32_t dwConnectTimeoutMs;  // bound on name lookup and connect
    uint32_t dwStallTimeoutMs;    // a transfer with no byte for this long fails
    // The speed floor: from the first body byte on, every window of
    // dwFloorWindowMs must bring at least dwFloorBytes, or the transfer
    // fails as a stalled one does. A window of 0 turns the floor off.
    uint32_t dwFloorBytes;
    uint32_t dwFloorWindowMs;
    // The body fails with kDiskFull rather than leave fewer than this many
    // bytes free on the volume of the file; 0 turns the check off.
    uint64_t qwDiskReserve;
    // Asked now and then during the transfer; true stops it with kAborted.
    bool (*pfnShouldAbort)(void* pContext);
    void* pContext;
};

// The stall and speed-floor rules, shared by both implementations, which
// feed it the body bytes received so far and their own millisecond tick
// (compared by unsigned subtraction, so it may wrap).
//
// The floor is judged over consecutive windows that begin with the first
// body byte: the time before it (connect, redirects, a slow answer head) is
// bounded by the connect and stall time-outs instead, and the floor never
// cuts a transfer for latency. A transfer whose rate falls below the floor
// therefore fails at most two windows after the fall.
class TransferWatch {
public:
    TransferWatch(const HttpOptions& options, uint32_t dwNowMs)
        : dwStallMs_(options.dwStallTimeoutMs),
          dwFloorBytes_(options.dwFloorBytes),
          dwWindowMs_(options.dwFloorWindowMs),
          dwLastMoveMs_(dwNowMs) {}

    // True when the transfer must stop as stalled: no byte for the stall
    // time, or a finished window that brought fewer bytes than the floor.
    bool TooSlow(uint64_t iBytes, uint32_t dwNowMs) {
        if (iBytes < iLastBytes_) {
            // The count started again (the request after a redirect): so
            // does the floor, as for a first byte.
            bWindowOpen_ = false;
            iLastBytes_ = 0;
        }
        if (iBytes != iLastBytes_) {
            if (!bWindowOpen_) {
                bWindowOpen_ = true;
                dwWindowStartMs_ = dwNowMs;
                iWindowStartBytes_ = iLastBytes_;
            }
            iLastBytes_ = iBytes;
            dwLastMoveMs_ = dwNowMs;
        } else if (dwNowMs - dwLastMoveMs_ >= dwStallMs_) {
            return true;
        }
        if (!bWindowOpen_ || dwWindowMs_ == 0 || dwNowMs - dwWindowStartMs_ < dwWindowMs_) {
            return false;
        }
        if (iBytes - iWindowStartBytes_ < dwFloorBytes_) return true;
        dwWindowStartMs_ = dwNowMs;
        iWindowStartBytes_ = iBytes;
        return false;
    }

private:
    uint32_t dwStallMs_;
    uint32_t dwFloorBytes_;
    uint32_t dwWindowMs_;
    uint64_t iLastBytes_ = 0;  // body bytes when progress was last seen
    uint32_t dwLastMoveMs_;    // when that was
    bool bWindowOpen_ = false;
    uint32_t dwWindowStartMs_ = 0;
    uint64_t iWindowStartBytes_ = 0;
};

// The disk reserve, shared by both implementations: they ask it about an
// announced length before the body and about every piece of the body
// before writing it. The free space is asked again after every
// kRequeryBytes of body, and at once when the last answer leaves no room
// for the next piece, so that the count stays close to the volume's own
// while others write to it too. A volume that cannot tell its free space
// is not held to the reserve.
class DiskRoom {
public:
    static constexpr uint64_t kRequeryBytes = 1024 * 1024;

    DiskRoom(const char* szPath, uint64_t qwReserve) : szPath_(szPath), qwReserve_(qwReserve) {}

    // Whether a body of qwLength bytes fits above the reserve.
    bool Fits(uint64_t qwLength) {
        if (qwReserve_ == 0) return true;
        Query();
        return !bKnown_ || Room(qwLength);
    }

    // Whether qwMore further bytes may be written; counts them when so.
    bool Allows(uint64_t qwMore) {
        if (qwReserve_ == 0) return true;
        if (!bKnown_ || qwSinceQuery_ + qwMore > kRequeryBytes || !Room(qwMore)) Query();
        if (bKnown_ && !Room(qwMore)) return false;
        qwSinceQuery_ += qwMore;
        return true;
    }

private:
    void Query() {
        bKnown_ = FreeDiskSpace(szPath_, &qwFree_);
        qwSinceQuery_ = 0;
    }
    // Room for qwMore bytes after those written since the last answer.
    bool Room(uint64_t qwMore) const {
        return qwFree_ >= qwReserve_ && qwFree_ - qwReserve_ >= qwSinceQuery_ &&
               qwFree_ - qwReserve_ - qwSinceQuery_ >= qwMore;
    }

    const char* szPath_;
    uint64_t qwReserve_;
    bool bKnown_ = false;
    uint64_t qwFree_ = 0;        // the volume's last answer
    uint64_t qwSinceQuery_ = 0;  // body bytes written since
};

// Fetches szUrl, following redirects, and writes the body to szPath
// (created or truncated). On failure szPath may hold a partial body: the
// caller removes it. *piHttpStatus receives the final status, 0 if none.
HttpResult HttpDownloadToFile(const char* szUrl, const char* szPath, const HttpOptions& options,
                              int* piHttpStatus);

}  // namespace platform
