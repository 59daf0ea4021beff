#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "support/quorvex.h"
#include "util/process_resources.h"

namespace {

// Stands for a queue record: it begins with its key text and is stored as
// both key and value, so releasing it also frees the key.
struct Record {
    char szKey[20];
    int iId;
};

std::map<int, int> g_releases;  // id -> release calls

void ReleaseRecord(void* p) {
    Record* pRecord = static_cast<Record*>(p);
    ++g_releases[pRecord->iId];
    std::free(pRecord);
}

Record* NewRecord(const char* szFormat, int iId) {
    Record* pRecord = static_cast<Record*>(std::calloc(1, sizeof(Record)));
    std::snprintf(pRecord->szKey, sizeof pRecord->szKey, szFormat, iId);
    pRecord->iId = iId;
    return pRecord;
}

void* Lookup(_hash* pTable, const char* szFormat, int iId) {
    char szKey[20];
    std::snprintf(szKey, sizeof szKey, szFormat, iId);
    return hash_lookup(pTable, szKey);
}

class SupportHash : public ::testing::Test {
protected:
    void SetUp() override { g_releases.clear(); }
};

TEST_F(SupportHash, InitGivesEmptyTableOrRefusesSize) {
    EXPECT_EQ(hash_init(0, ReleaseRecord), nullptr);
    EXPECT_EQ(hash_init(-1, ReleaseRecord), nullptr);
    _hash* pTable = hash_init(10000, ReleaseRecord);
    ASSERT_NE(pTable, nullptr);
    EXPECT_EQ(pTable->iSize, 10000);
    EXPECT_EQ(pTable->iCount, 0);
    EXPECT_EQ(pTable->pfnRelease, &ReleaseRecord);
    for (int i = 0; i < pTable->iSize; ++i) ASSERT_EQ(pTable->ppBuckets[i], nullptr);
    EXPECT_EQ(hash_lookup(pTable, "send+0"), nullptr);
    free_hash(pTable);
    free_hash(nullptr);
    free_hashent(nullptr);
}

// Freeing a table gives back all it took, its slots and the table itself.
// (Under a sanitizer the leak check sees to it.)
TEST_F(SupportHash, AFreedTableGivesBackAllItTook) {
    if (!testutil::HeapMeasurable()) GTEST_SKIP() << "a sanitizer's allocator";
    int64_t iBefore = testutil::MeasureProcessResources().iHeapBytes;
    for (int i = 0; i < 1000; ++i) free_hash(hash_init(16, ReleaseRecord));
    EXPECT_LT(testutil::MeasureProcessResources().iHeapBytes - iBefore,
              static_cast<int64_t>(1000 * sizeof(_hash) / 2));
}

TEST_F(SupportHash, AddRefusesNullsAndDuplicatesWithoutTrace) {
    _hash* pTable = hash_init(16, ReleaseRecord);
    Record* pFirst = NewRecord("send+%d", -5);
    Record* pTwin = NewRecord("send+%d", -5);  // equal text, other buffer
    EXPECT_EQ(hash_add(nullptr, pFirst, pFirst), -2);
    EXPECT_EQ(hash_add(pTable, nullptr, pFirst), -2);
    EXPECT_EQ(hash_add(pTable, pFirst, nullptr), -2);
    EXPECT_EQ(pTable->iCount, 0);
    ASSERT_EQ(hash_add(pTable, pFirst, pFirst), 0);
    EXPECT_EQ(hash_add(pTable, pTwin, pTwin), -3);
    EXPECT_EQ(pTable->iCount, 1);
    EXPECT_EQ(Lookup(pTable, "send+%d", -5), pFirst);
    EXPECT_EQ(Lookup(pTable, "recv+%d", -5), nullptr);
    EXPECT_EQ(hash_lookup(pTable, nullptr), nullptr);
    EXPECT_EQ(hash_lookup(nullptr, "send+-5"), nullptr);
    ReleaseRecord(pTwin);  // the caller frees what was refused
    free_hash(pTable);
    EXPECT_EQ(g_releases[-5], 2);
}

// A key's slot is its 32-bit FNV-1a hash modulo the size, the same in every
// run: the slots decide the order in which a walk meets the queues.
TEST_F(SupportHash, EachKeyLandsInTheSlotOfItsFnv1aHash) {
    auto Fnv1a = [](const std::string& key) {
        uint32_t dwHash = 2166136261u;
        for (unsigned char c : key) dwHash = (dwHash ^ c) * 16777619u;
        return dwHash;
    };
    _hash* pTable = hash_init(10000, ReleaseRecord);
    for (int i : {0, 1, 7, 42, -5, 65535}) {
        for (const char* szFormat : {"send+%d", "recv+%d"}) {
            Record* pRecord = NewRecord(szFormat, i);
            ASSERT_EQ(hash_add(pTable, pRecord, pRecord), 0);
            _hashent* pHead = pTable->ppBuckets[Fnv1a(pRecord->szKey) % 10000];
            ASSERT_NE(pHead, nullptr) << pRecord->szKey;
            EXPECT_EQ(pHead->pData, pRecord) << pRecord->szKey;
        }
    }
    free_hash(pTable);
}

TEST_F(SupportHash, ManyKeysInFewSlotsChainInOrderOfAdding) {
    for (int iSize : {1, 3}) {
        _hash* pTable = hash_init(iSize, ReleaseRecord);
        for (int i = 0; i < 2000; ++i) {
            Record* pRecord = NewRecord(i % 2 ? "recv+%d" : "send+%d", i);
            ASSERT_EQ(hash_add(pTable, pRecord, pRecord), 0);
        }
        EXPECT_EQ(pTable->iCount, 2000);
        int iSeen = 0;
        for (int b = 0; b < iSize; ++b) {
            int iLast = -1;
            for (_hashent* p = pTable->ppBuckets[b]; p != nullptr; p = p->pNext, ++iSeen) {
                int iId = static_cast<Record*>(p->pData)->iId;
                EXPECT_GT(iId, iLast);
                iLast = iId;
            }
        }
        EXPECT_EQ(iSeen, 2000);
        for (int i = 0; i < 2000; ++i) {
            Record* pFound = static_cast<Record*>(Lookup(pTable, i % 2 ? "recv+%d" : "send+%d", i));
            ASSERT_NE(pFound, nullptr);
            EXPECT_EQ(pFound->iId, i);
            EXPECT_EQ(Lookup(pTable, i % 2 ? "send+%d" : "recv+%d", i), nullptr);
        }
        free_hash(pTable);
    }
    EXPECT_EQ(g_releases.size(), 2000u);
}

// The session thread's maintenance walks the buckets itself and removes
// entries while walking: release the value, unlink, free_hashent, iCount--.
TEST_F(SupportHash, WalkerUnlinksWhileWalkingThenFreeHashReleasesTheRest) {
    _hash* pTable = hash_init(7, ReleaseRecord);  // several entries per chain
    for (int i = 0; i < 300; ++i) {
        Record* pRecord = NewRecord("send+%d", i);
        ASSERT_EQ(hash_add(pTable, pRecord, pRecord), 0);
    }
    auto expired = [](int iId) { return iId % 3 != 1; };  // heads, middles and tails alike
    for (int b = 0; b < pTable->iSize; ++b) {
        _hashent** ppLink = &pTable->ppBuckets[b];
        while (*ppLink != nullptr) {
            _hashent* pEntry = *ppLink;
            if (!expired(static_cast<Record*>(pEntry->pData)->iId)) {
                ppLink = &pEntry->pNext;
                continue;
            }
            pTable->pfnRelease(pEntry->pData);
            *ppLink = pEntry->pNext;
            free_hashent(pEntry);
            --pTable->iCount;
        }
    }
    EXPECT_EQ(pTable->iCount, 100);
    for (int i = 0; i < 300; ++i) {
        Record* pFound = static_cast<Record*>(Lookup(pTable, "send+%d", i));
        if (expired(i)) {
            EXPECT_EQ(pFound, nullptr) << i;
        } else {
            ASSERT_NE(pFound, nullptr) << i;
            EXPECT_EQ(pFound->iId, i);
        }
    }
    Record* pAgain = NewRecord("send+%d", 0);  // a removed key can come back
    pAgain->iId = 1000;
    EXPECT_EQ(hash_add(pTable, pAgain, pAgain), 0);
    EXPECT_EQ(Lookup(pTable, "send+%d", 0), pAgain);

    free_hash(pTable);
    EXPECT_EQ(g_releases.size(), 301u);
    for (const auto& [iId, iCalls] : g_releases) EXPECT_EQ(iCalls, 1) << iId;
}

TEST_F(SupportHash, FreeHashWithoutReleaseLeavesValuesAlone) {
    _hash* pTable = hash_init(4, nullptr);
    Record* pRecord = NewRecord("recv+%d", 0);
    ASSERT_EQ(hash_add(pTable, pRecord, pRecord), 0);
    free_hash(pTable);
    EXPECT_EQ(pRecord->iId, 0);  // still ours, still readable
    ReleaseRecord(pRecord);
}

}  // namespace
