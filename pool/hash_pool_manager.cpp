// The registry of open pools.
#include "pool/hash_pool_manager.h"

#include <cassert>
#include <cstring>
#include <memory>

// Entries own their pools, so pools still open when the module is unloaded are destroyed with
// the table.
static CHashTable<std::unique_ptr<CHashPool>> s_pools(100);
// How many entries hold a pool.
static uint32_t s_uiOpenPools = 0;

// A pool keeps at most NAME_SIZE - 1 bytes of its name and finds its own entry by that copy, so
// longer names never reach the table.
static bool Storable(const char* pszName) { return std::strlen(pszName) < CHashPool::NAME_SIZE; }

CHashPool* CHashPoolManager::New(const char* pszName) {
    if (!Storable(pszName)) return nullptr;
    auto pPool = std::make_unique<CHashPool>(pszName);
    std::unique_ptr<CHashPool>& pEntry = s_pools.FindOrInsert(pszName);
    assert(pEntry == nullptr);
    pEntry = std::move(pPool);
    ++s_uiOpenPools;
    return pEntry.get();
}

// The pool the last lookup found. Scripts name the same pool call after call, and comparing
// the name with that pool's own copy costs less than hashing it. A hit skips only the registry's
// growth check, which no script can see.
static CHashPool* s_pLastFound = nullptr;

// True iff the last pool found is stored under the whole name. Names are short; a byte loop here
// costs less than a call of the library's strcmp.
static bool IsLastFound(const char* pszName) {
    if (s_pLastFound == nullptr) return false;
    const char* pszStored = s_pLastFound->Name();
    for (; *pszStored == *pszName; ++pszStored, ++pszName) {
        if (*pszName == '\0') return true;
    }
    return false;
}

static CHashPool* Remembered(CHashPool* pPool) {
    if (pPool != nullptr) s_pLastFound = pPool;
    return pPool;
}

CHashPool* CHashPoolManager::FindOrEnter(const char* pszName) {
    if (IsLastFound(pszName)) return s_pLastFound;
    if (!Storable(pszName)) return nullptr;
    return Remembered(s_pools.FindOrInsert(pszName).get());
}

CHashPool* CHashPoolManager::FindWithoutEntering(const char* pszName) {
    if (IsLastFound(pszName)) return s_pLastFound;
    const size_t uiLen = std::strlen(pszName);
    if (uiLen >= CHashPool::NAME_SIZE) return nullptr;
    std::unique_ptr<CHashPool>* pEntry = s_pools.Find(pszName, uiLen);
    return pEntry != nullptr ? Remembered(pEntry->get()) : nullptr;
}

int32_t CHashPoolManager::Remove(CHashPool* pPool) {
    if (pPool == nullptr) return 0;
    std::unique_ptr<CHashPool>* pEntry = s_pools.Find(pPool->Name(), std::strlen(pPool->Name()));
    assert(pEntry != nullptr && pEntry->get() == pPool);
    if (s_pLastFound == pPool) s_pLastFound = nullptr;
    pEntry->reset();
    --s_uiOpenPools;
    return 1;
}

int32_t CHashPoolManager::Remove(const char* pszName) { return Remove(FindOrEnter(pszName)); }

uint32_t CHashPoolManager::OpenCount() { return s_uiOpenPools; }

const CHashTable<std::unique_ptr<CHashPool>>& CHashPoolManager::Entries() { return s_pools; }

void CHashPoolManager::RemoveAll() {
    s_pLastFound = nullptr;
    s_pools.ForEach([](const char*, size_t, std::unique_ptr<CHashPool>& pPool) { pPool.reset(); });
    s_uiOpenPools = 0;
    s_pools.Clear();
}
