// A named store of text entries bound to a pool file.
#ifndef QUILLSTORE_POOL_HASH_POOL_H
#define QUILLSTORE_POOL_HASH_POOL_H

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "pool/hash_table.h"
#include "pool/pool_value.h"
#include "pool/status.h"

class CEnv;
class CStore;

class CHashPool {
   public:
    static constexpr uint32_t NAME_SIZE = 128;
    static constexpr uint32_t FILE_SIZE = 250;
    using Value = CPoolValue;
    using Table = CHashTable<Value>;

    // A pool with no entries, 193 buckets, an empty path and the first 127 bytes of the name.
    explicit CHashPool(const char* pszName);

    // Sets the key's value, inserting the key if absent; always true.
    bool Add(const char* pszKey, const char* pszValue);
    // The key's value, empty when the key is missing, which it then inserts with an empty
    // value. The pointer stays valid until the next change to the pool.
    const char* Get(const char* pszKey);
    // The value at a position of the iteration order, or the constant empty string past the
    // last; never inserts and never grows. Valid until the next change to the pool.
    const char* GetIndex(uint32_t uiPos) const {
        const Value* pValue = m_Entries.At(uiPos);
        return pValue != nullptr ? pValue->CStr() : "";
    }
    // The key at a position of GetIndex's order, whole, sharing its cursor; false past the last.
    // Never inserts and never grows. Valid until the next change to the pool.
    bool KeyAt(uint32_t uiPos, std::string_view& svKey) const {
        return m_Entries.KeyAt(uiPos, svKey);
    }
    // How many entries the pool holds, those with empty values included.
    uint32_t Size() const { return m_Entries.Size(); }
    // True iff the key is in the pool, whatever its value. Never inserts and never grows.
    bool Has(const char* pszKey) const {
        return m_Entries.Find(pszKey, std::strlen(pszKey)) != nullptr;
    }
    // Removes the key if present; always true. Never grows.
    bool Del(const char* pszKey);
    // Adds (Inc) or subtracts (Dec) the amount to the key's value in wrapping arithmetic of TInt,
    // the width of the calling script host's integers (int32_t or int64_t); an empty or missing
    // value counts from 0, and digits past TInt's largest value read as that value. True iff a
    // value was stored; false, with the value unchanged, when the value is not all digits.
    template <typename TInt = int32_t>
    bool Inc(const char* pszKey, std::make_unsigned_t<TInt> uiAmount) {
        return Count<TInt>(pszKey, static_cast<std::make_unsigned_t<TInt>>(uiAmount));
    }
    template <typename TInt = int32_t>
    bool Dec(const char* pszKey, TInt iAmount) {
        return Count<TInt>(pszKey, 0u - static_cast<std::make_unsigned_t<TInt>>(iAmount));
    }

    // Binds the pool to a path. True iff the path and its terminating zero fit FILE_SIZE bytes;
    // otherwise the path is emptied, so the pool cannot be saved until it is bound again, and
    // the length given is kept for LastError.
    bool SetFile(const char* pszPath);

    // Replaces the entries by those kept where the bound path names: in the store that
    // quill::PoolStores() chooses for it, in the one given, or in the pool file read through
    // env. True iff all were read; on false the entries and their order are exactly as before.
    bool Load();
    bool Load(CStore& store);
    bool Load(CEnv& env);
    // Replaces what is kept at the bound path by the entries that have a non-empty key and value
    // free of line feeds, chosen as for Load. True iff the whole new set is in place; on false
    // the old one is untouched, or, where the system removed the old file half-way through
    // putting the new one in place, the data is in the new file, which LastError names.
    bool Save() const;
    bool Save(CStore& store) const;
    bool Save(CEnv& env) const;
    // The last Load or Save's failure as one line of text, empty when the last of them succeeded
    // or none was made. Throws std::bad_alloc.
    std::string LastError() const;

    // The name as stored: at most NAME_SIZE - 1 bytes of the one the pool was made with.
    const char* Name() const { return m_szName; }
    // The bound path, empty while the pool is unbound.
    const char* File() const { return m_szFile; }
    // The entries, read-only, for walking and inspecting them in the pool's own order.
    const Table& Entries() const { return m_Entries; }

   private:
    // Tests store entries no script call can make through this one friend, defined with them.
    friend struct CHashPoolTestAccess;

    // Adds uiDelta in TInt's width; defined for int32_t and int64_t.
    template <typename TInt>
    bool Count(const char* pszKey, std::make_unsigned_t<TInt> uiDelta);

    // Records how the last Load or Save ended, with the store's words for it (for a save's
    // half-way failure, the name of the new file that holds the data).
    void Record(bool bSave, const CStatus& status, std::string&& strDetail) const;
    // Why no file is bound after a path too long to keep, or empty when none was refused.
    std::string RefusedPath() const;

    char m_szName[NAME_SIZE];
    char m_szFile[FILE_SIZE];
    Table m_Entries;
    // The last Load or Save's result, read by LastError.
    mutable CStatus m_LastStatus;
    mutable bool m_bLastWasSave = false;
    mutable std::string m_strDetail;
    // The length of the last path SetFile refused as too long; 0 once one was bound.
    size_t m_uiRefusedPathLen = 0;
};

#endif
