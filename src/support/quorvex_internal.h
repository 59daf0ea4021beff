// Settings of the support library that are not part of its exported
// interface: tests and tools that link its objects directly use them.
#pragma once

#include <cstdint>

namespace quorvex {

// Time-outs of InternetDownloadFile (defaults: 30 s to connect, 60 s
// without a byte). Tests shorten them to meet a stalled server quickly.
void SetDownloadTimeouts(uint32_t dwConnectMs, uint32_t dwStallMs);

// Stops every transfer in progress and every later one with result 7 while
// set; clearing it lets downloads run again.
void SetDownloadAbort(bool bAbort);

}  // namespace quorvex
