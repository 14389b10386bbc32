// The registry of open pools, keyed by the names scripts give them.
#ifndef QUILLSTORE_POOL_HASH_POOL_MANAGER_H
#define QUILLSTORE_POOL_HASH_POOL_MANAGER_H

#include <cstdint>
#include <memory>

#include "pool/hash_pool.h"
#include "pool/hash_table.h"

class CHashPoolManager {
   public:
    // A new empty pool registered under the name, replacing the entry's previous pointer, or
    // null for a name longer than a pool can store. The registry owns the pool.
    // REQUIRES: FindWithoutEntering(pszName) is null.
    static CHashPool* New(const char* pszName);
    // The open pool under the name, or null. A storable name gains an empty entry if it had
    // none; a longer name is never entered.
    static CHashPool* FindOrEnter(const char* pszName);
    // The open pool under the name, or null; never enters the name.
    static CHashPool* FindWithoutEntering(const char* pszName);
    // Destroys the pool without saving it and empties its entry: 1, or 0 for a null pool.
    static int32_t Remove(CHashPool* pPool);
    // As above for the pool registered under the name.
    static int32_t Remove(const char* pszName);
    // Destroys every open pool and removes every entry; the bucket count stays.
    static void RemoveAll();

    // How many pools are open.
    static uint32_t OpenCount();
    // The registry's table, read-only: an entry per name entered, null where no pool is open.
    static const CHashTable<std::unique_ptr<CHashPool>>& Entries();
};

#endif
