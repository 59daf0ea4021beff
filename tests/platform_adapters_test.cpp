// The adapter list: the size-query protocol on the real machine, and the
// substitution that tests of the network check use.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/adapters.h"
#include "platform/testing.h"

namespace {

TEST(PlatformAdapters, SizeQueryThenListOfDottedAddresses) {
    uint32_t dwSize = 0;
    uint32_t dwResult = platform::QueryAdapters(nullptr, &dwSize);
    if (dwResult == platform::kErrorNoData) GTEST_SKIP() << "this machine has no adapter";
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
    int iCount = 0;
    for (platform::AdapterRecord* p = list.data(); p != nullptr; p = p->pNext) {
        in_addr addr;
        EXPECT_EQ(inet_pton(AF_INET, p->szIpAddress, &addr), 1) << p->szIpAddress;
        EXPECT_STRNE(p->szIpAddress, "127.0.0.1");  // loopback is no adapter
        ++iCount;
    }
    EXPECT_EQ(static_cast<size_t>(iCount), list.size());
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
