// The adapter list on Windows: GetAdaptersInfo, translated into our records.
// iphlpapi.h builds on windows.h.
// clang-format off
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include <cstdlib>
#include <cstring>

#include "platform/system_adapters.h"

namespace platform {
namespace {

static_assert(kErrorBufferOverflow == ERROR_BUFFER_OVERFLOW, "ERROR_BUFFER_OVERFLOW");
static_assert(kErrorNoData == ERROR_NO_DATA, "ERROR_NO_DATA");

// The system's own list in a buffer of ours, freed with the object.
class SystemAdapterList {
public:
    SystemAdapterList() = default;
    ~SystemAdapterList() { std::free(pList); }
    SystemAdapterList(const SystemAdapterList&) = delete;
    SystemAdapterList& operator=(const SystemAdapterList&) = delete;

    // Fetches the list: 0, or the system's error (ERROR_NO_DATA among them).
    uint32_t Query() {
        ULONG ulSize = 0;
        ULONG ulResult = GetAdaptersInfo(nullptr, &ulSize);
        // The list may grow between asking for the size and fetching it.
        for (int iTry = 0; iTry < 4 && ulResult == ERROR_BUFFER_OVERFLOW; ++iTry) {
            std::free(pList);
            pList = static_cast<IP_ADAPTER_INFO*>(std::malloc(ulSize));
            if (pList == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
            ulResult = GetAdaptersInfo(pList, &ulSize);
        }
        return ulResult;
    }

    // Only the links are followed: the system lays out the records, and the
    // fields after the address lists differ with the size of time_t.
    const IP_ADAPTER_INFO* First() const { return pList; }

private:
    IP_ADAPTER_INFO* pList = nullptr;
};

// The adapter's first address as text, "0.0.0.0" when it has none.
void CopyFirstAddress(const IP_ADAPTER_INFO* pAdapter, char (&szOut)[16]) {
    const char* szAddress = pAdapter->IpAddressList.IpAddress.String;
    const size_t iRoom = sizeof(pAdapter->IpAddressList.IpAddress.String);
    const void* pEnd = std::memchr(szAddress, '\0', iRoom);
    size_t iLength =
        pEnd != nullptr ? static_cast<size_t>(static_cast<const char*>(pEnd) - szAddress) : iRoom;
    if (iLength == 0) {
        szAddress = "0.0.0.0";
        iLength = 7;
    }
    if (iLength > sizeof(szOut) - 1) iLength = sizeof(szOut) - 1;
    std::memcpy(szOut, szAddress, iLength);
    szOut[iLength] = '\0';
}

}  // namespace

uint32_t SystemQueryAdapters(AdapterRecord* pList, uint32_t* pdwSize) {
    if (pdwSize == nullptr) return ERROR_INVALID_PARAMETER;
    SystemAdapterList adapters;
    uint32_t dwResult = adapters.Query();
    if (dwResult != ERROR_SUCCESS) return dwResult;

    uint32_t dwCount = 0;
    for (const IP_ADAPTER_INFO* p = adapters.First(); p != nullptr; p = p->Next) ++dwCount;
    if (dwCount == 0) return kErrorNoData;
    uint32_t dwNeeded = dwCount * static_cast<uint32_t>(sizeof(AdapterRecord));
    if (pList == nullptr || *pdwSize < dwNeeded) {
        *pdwSize = dwNeeded;
        return kErrorBufferOverflow;
    }

    uint32_t i = 0;
    for (const IP_ADAPTER_INFO* p = adapters.First(); p != nullptr; p = p->Next, ++i) {
        CopyFirstAddress(p, pList[i].szIpAddress);
        pList[i].pNext = (i + 1 < dwCount) ? &pList[i + 1] : nullptr;
    }
    return kErrorSuccess;
}

}  // namespace platform
