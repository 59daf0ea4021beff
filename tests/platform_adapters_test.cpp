// The adapter list: the size-query protocol on the real machine, and the
// substitution that tests of the network check use.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/adapters.h"
#include "platform/testing.h"

namespace {

// The machine's own list, read here from the system: one record per
// interface but loopback, in the system's order, with its first IPv4
// address, or "0.0.0.0" when it has none.
std::vector<std::string> AdaptersOfThisMachine() {
    std::vector<std::string> names;
    std::vector<std::string> addresses;
    ifaddrs* pAll = nullptr;
    if (getifaddrs(&pAll) != 0) return addresses;
    for (ifaddrs* p = pAll; p != nullptr; p = p->ifa_next) {
        if (p->ifa_name == nullptr || (p->ifa_flags & IFF_LOOPBACK) != 0) continue;
        size_t i = std::find(names.begin(), names.end(), p->ifa_name) - names.begin();
        if (i == names.size()) {
            names.push_back(p->ifa_name);
            addresses.push_back("0.0.0.0");
        }
        if (p->ifa_addr != nullptr && p->ifa_addr->sa_family == AF_INET &&
            addresses[i] == "0.0.0.0") {
            char szAddress[16];
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(p->ifa_addr)->sin_addr, szAddress,
                      sizeof(szAddress));
            addresses[i] = szAddress;
        }
    }
    freeifaddrs(pAll);
    return addresses;
}

TEST(PlatformAdapters, SizeQueryThenListOfDottedAddresses) {
    const std::vector<std::string> expected = AdaptersOfThisMachine();
    uint32_t dwSize = 0;
    uint32_t dwResult = platform::QueryAdapters(nullptr, &dwSize);
    if (expected.empty()) {
        EXPECT_EQ(dwResult, platform::kErrorNoData);
        GTEST_SKIP() << "this machine has no adapter";
    }
    ASSERT_EQ(dwResult, platform::kErrorBufferOverflow);
    ASSERT_GE(dwSize, sizeof(platform::AdapterRecord));

    std::vector<unsigned char> small(dwSize - 1);
    uint32_t dwSmall = dwSize - 1;
    EXPECT_EQ(
        platform::QueryAdapters(reinterpret_cast<platform::AdapterRecord*>(small.data()), &dwSmall),
        platform::kErrorBufferOverflow);
    EXPECT_EQ(dwSmall, dwSize);

    std::vector<platform::AdapterRecord> list(dwSize / sizeof(platform::AdapterRecord));
    ASSERT_EQ(platform::QueryAdapters(list.data(), &dwSize), platform::kErrorSuccess);
    std::vector<std::string> got;
    for (platform::AdapterRecord* p = list.data(); p != nullptr; p = p->pNext) {
        in_addr addr;
        EXPECT_EQ(inet_pton(AF_INET, p->szIpAddress, &addr), 1) << p->szIpAddress;
        EXPECT_STRNE(p->szIpAddress, "127.0.0.1");  // loopback is no adapter
        got.push_back(p->szIpAddress);
    }
    EXPECT_EQ(got.size(), list.size());
    EXPECT_EQ(got, expected);
}

uint32_t NoAdapters(platform::AdapterRecord*, uint32_t*) { return platform::kErrorNoData; }

TEST(PlatformAdapters, SubstitutedQueryIsUsedUntilRemoved) {
    platform_testing::SetAdapterQuery(NoAdapters);
    uint32_t dwSize = 0;
    EXPECT_EQ(platform::QueryAdapters(nullptr, &dwSize), platform::kErrorNoData);
    platform_testing::SetAdapterQuery(nullptr);
    uint32_t dwResult = platform::QueryAdapters(nullptr, &dwSize);
    EXPECT_TRUE(dwResult == platform::kErrorBufferOverflow || dwResult == platform::kErrorNoData);
}

}  // namespace
