// The adapter list on POSIX, from getifaddrs: every interface but loopback,
// with its first IPv4 address.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>

#include "platform/system_adapters.h"

namespace platform {
namespace {

constexpr uint32_t kErrorGenFailure = 31;  // ERROR_GEN_FAILURE: the query failed
constexpr int kMaxAdapters = 256;

struct Found {
    const char* szName;
    char szIpAddress[16];
};

}  // namespace

uint32_t SystemQueryAdapters(AdapterRecord* pList, uint32_t* pdwSize) {
    if (pdwSize == nullptr) return 87;  // ERROR_INVALID_PARAMETER
    ifaddrs* pAll = nullptr;
    if (getifaddrs(&pAll) != 0) return kErrorGenFailure;

    Found found[kMaxAdapters];
    int iCount = 0;
    for (ifaddrs* p = pAll; p != nullptr; p = p->ifa_next) {
        if (p->ifa_name == nullptr || (p->ifa_flags & IFF_LOOPBACK) != 0) continue;
        int i = 0;
        while (i < iCount && std::strcmp(found[i].szName, p->ifa_name) != 0) ++i;
        if (i == iCount) {
            if (iCount == kMaxAdapters) continue;
            found[i].szName = p->ifa_name;
            std::strcpy(found[i].szIpAddress, "0.0.0.0");
            ++iCount;
        }
        if (p->ifa_addr != nullptr && p->ifa_addr->sa_family == AF_INET &&
            std::strcmp(found[i].szIpAddress, "0.0.0.0") == 0) {
            const sockaddr_in* pAddr = reinterpret_cast<const sockaddr_in*>(p->ifa_addr);
            inet_ntop(AF_INET, &pAddr->sin_addr, found[i].szIpAddress,
                      sizeof(found[i].szIpAddress));
        }
    }

    uint32_t dwResult;
    uint32_t dwNeeded = static_cast<uint32_t>(iCount) * sizeof(AdapterRecord);
    if (iCount == 0) {
        dwResult = kErrorNoData;
    } else if (pList == nullptr || *pdwSize < dwNeeded) {
        *pdwSize = dwNeeded;
        dwResult = kErrorBufferOverflow;
    } else {
        for (int i = 0; i < iCount; ++i) {
            std::memcpy(pList[i].szIpAddress, found[i].szIpAddress, sizeof(pList[i].szIpAddress));
            pList[i].pNext = (i + 1 < iCount) ? &pList[i + 1] : nullptr;
        }
        dwResult = kErrorSuccess;
    }
    freeifaddrs(pAll);
    return dwResult;
}

}  // namespace platform
