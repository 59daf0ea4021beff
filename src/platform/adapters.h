// The local network adapters, in the shape of GetAdaptersInfo: a list of
// records written into the caller's buffer, with the size-query protocol and
// result codes of that call.
#pragma once

#include <cstdint>

namespace platform {

constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorBufferOverflow = 111;  // ERROR_BUFFER_OVERFLOW
constexpr uint32_t kErrorNoData = 232;          // ERROR_NO_DATA: no adapter at all

// One adapter: the first IPv4 address as dotted text, "0.0.0.0" when it has
// none. Records are chained through pNext inside the caller's buffer.
struct AdapterRecord {
    AdapterRecord* pNext;
    char szIpAddress[16];
};

// GetAdaptersInfo(pList, pdwSize): with a buffer too small (a size of 0
// included) returns kErrorBufferOverflow and the size needed in *pdwSize; with
// room, fills the list and returns 0; kErrorNoData when the machine has no
// adapter (loopback does not count); any other value when the query failed.
uint32_t QueryAdapters(AdapterRecord* pList, uint32_t* pdwSize);
}  // namespace platform
