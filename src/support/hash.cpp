// Hash table of the support library: chained buckets keyed by NUL-terminated
// texts. The table takes no lock; its callers serialise every operation.
//
// Entries are appended at the end of their chain, so a walk over the buckets
// meets the entries of one bucket in the order they were added. The seed is
// fixed rather than random so that the bucket order, which decides the order
// in which a walk visits the entries, is the same from run to run.

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "support/quorvex.h"
#include "support/testing.h"

namespace {

// Entries that the next hash_add calls fail to allocate (a test seam).
std::atomic<int> g_iFailingAdds{0};

bool TakeFailingAdd() {
    int iLeft = g_iFailingAdds.load();
    while (iLeft > 0 && !g_iFailingAdds.compare_exchange_weak(iLeft, iLeft - 1)) {
    }
    return iLeft > 0;
}

constexpr uint32_t kFnvOffsetBasis = 2166136261u;
constexpr uint32_t kFnvPrime = 16777619u;

// FNV-1a over the key text, started from the table's seed.
uint32_t HashKeyText(const char* szKey, uint32_t dwSeed) {
    uint32_t dwHash = dwSeed;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(szKey); *p != 0; ++p) {
        dwHash ^= *p;
        dwHash *= kFnvPrime;
    }
    return dwHash;
}

bool IsUsable(const _hash* pTable) {
    return pTable != nullptr && pTable->ppBuckets != nullptr && pTable->iSize > 0;
}

_hashent** BucketOf(const _hash* pTable, const char* szKey) {
    uint32_t dwSlot = HashKeyText(szKey, pTable->dwSeed) % static_cast<uint32_t>(pTable->iSize);
    return &pTable->ppBuckets[dwSlot];
}

bool KeyEquals(const _hashent* pEntry, const char* szKey) {
    return std::strcmp(static_cast<const char*>(pEntry->pKey), szKey) == 0;
}

}  // namespace

extern "C" {

_hash* hash_init(int iSize, void (*pfnRelease)(void*)) {
    if (iSize < 1) return nullptr;
    _hash* pTable = static_cast<_hash*>(std::calloc(1, sizeof(_hash)));
    if (pTable == nullptr) return nullptr;
    pTable->ppBuckets =
        static_cast<_hashent**>(std::calloc(static_cast<size_t>(iSize), sizeof(_hashent*)));
    if (pTable->ppBuckets == nullptr) {
        std::free(pTable);
        return nullptr;
    }
    pTable->iSize = iSize;
    pTable->iCount = 0;
    pTable->dwSeed = kFnvOffsetBasis;
    pTable->dwReserved = 0;
    pTable->pfnRelease = pfnRelease;
    return pTable;
}

int hash_add(_hash* pTable, void* pKey, void* pData) {
    if (!IsUsable(pTable) || pKey == nullptr || pData == nullptr) return -2;
    const char* szKey = static_cast<const char*>(pKey);

    // Walk to the end of the chain, refusing a key that is already there.
    _hashent** ppLink = BucketOf(pTable, szKey);
    for (; *ppLink != nullptr; ppLink = &(*ppLink)->pNext) {
        if (KeyEquals(*ppLink, szKey)) return -3;
    }

    _hashent* pEntry =
        TakeFailingAdd() ? nullptr : static_cast<_hashent*>(std::calloc(1, sizeof(_hashent)));
    if (pEntry == nullptr) return -1;
    pEntry->pKey = pKey;
    pEntry->pData = pData;
    pEntry->pNext = nullptr;
    *ppLink = pEntry;
    ++pTable->iCount;
    return 0;
}

void* hash_lookup(_hash* pTable, const char* szKey) {
    if (!IsUsable(pTable) || szKey == nullptr) return nullptr;
    for (_hashent* pEntry = *BucketOf(pTable, szKey); pEntry != nullptr; pEntry = pEntry->pNext) {
        if (KeyEquals(pEntry, szKey)) return pEntry->pData;
    }
    return nullptr;
}

int hash_slot(_hash* pTable, const char* szKey) {
    if (!IsUsable(pTable) || szKey == nullptr) return -1;
    return static_cast<int>(BucketOf(pTable, szKey) - pTable->ppBuckets);
}

void free_hash(_hash* pTable) {
    if (pTable == nullptr) return;
    if (pTable->ppBuckets != nullptr) {
        for (int i = 0; i < pTable->iSize; ++i) {
            _hashent* pEntry = pTable->ppBuckets[i];
            while (pEntry != nullptr) {
                // The value may own the key text (the queue table stores a
                // record that begins with its key), so nothing of the entry
                // but its link is read once the value is released.
                _hashent* pNext = pEntry->pNext;
                if (pTable->pfnRelease != nullptr) pTable->pfnRelease(pEntry->pData);
                std::free(pEntry);
                pEntry = pNext;
            }
        }
        std::free(pTable->ppBuckets);
    }
    std::free(pTable);
}

void free_hashent(_hashent* pEntry) { std::free(pEntry); }

int hash_walk(_hash* pTable, int (*pfnVisit)(void* pData, void* pContext), void* pContext) {
    if (!IsUsable(pTable) || pfnVisit == nullptr) return 1;
    for (int i = 0; i < pTable->iSize; ++i) {
        _hashent** ppLink = &pTable->ppBuckets[i];
        while (*ppLink != nullptr) {
            _hashent* pEntry = *ppLink;
            int iNext = pfnVisit(pEntry->pData, pContext);
            if (iNext == HASH_WALK_STOP) return 0;
            if (iNext != HASH_WALK_REMOVE) {
                ppLink = &pEntry->pNext;
                continue;
            }
            // Unlinked before the value is released: the value may own the
            // key text.
            *ppLink = pEntry->pNext;
            --pTable->iCount;
            if (pTable->pfnRelease != nullptr) pTable->pfnRelease(pEntry->pData);
            std::free(pEntry);
        }
    }
    return 1;
}

}  // extern "C"

void quorvex_testing::FailHashAdds(int iCount) { g_iFailingAdds.store(iCount); }
