// The support library's test seams: settings of its downloader and its log
// writer that are not part of its exported interface, for tests that link
// its objects directly (the scheme is described in platform/testing.h).
#pragma once

#include <cstdint>

namespace quorvex_testing {

// Time-outs of InternetDownloadFile (defaults: 30 s to connect, 60 s
// without a byte). Tests shorten them to meet a stalled server quickly.
void SetDownloadTimeouts(uint32_t dwConnectMs, uint32_t dwStallMs);

// The speed floor of InternetDownloadFile (default: 1,024 bytes in every
// window of 60 s, counted from the first body byte): a slower transfer
// fails with 3, as a stalled one does. A window of 0 turns the floor off.
// Tests shrink both to meet a dripping server in milliseconds.
void SetDownloadFloor(uint32_t dwFloorBytes, uint32_t dwWindowMs);

// The four settings above as they stand.
struct DownloadSettings {
    uint32_t dwConnectMs;
    uint32_t dwStallMs;
    uint32_t dwFloorBytes;
    uint32_t dwFloorWindowMs;
};
DownloadSettings CurrentDownloadSettings();

// Stops every transfer in progress and every later one with result 7 while
// set; clearing it lets downloads run again.
void SetDownloadAbort(bool bAbort);

// The bound past which the log writer rotates a log file (default 64 MiB):
// tests rotate after a few kilobytes. 0 restores the default.
void SetLogBound(uint64_t qwBytes);

// The next iCount calls of hash_add that would add an entry fail as when
// its memory cannot be had (0 ends it): the callers' -1 path.
void FailHashAdds(int iCount);

}  // namespace quorvex_testing
