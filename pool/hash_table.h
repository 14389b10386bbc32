// Chained hash table from byte-string keys to values, with the bucket counts, growth rule,
// chain order and iteration order that scripts observe through positions and saved files.
#ifndef QUILLSTORE_POOL_HASH_TABLE_H
#define QUILLSTORE_POOL_HASH_TABLE_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>

#include "pool/chain_arena.h"
#include "pool/chain_block.h"
#include "pool/table_growth.h"
#include "pool/table_hash.h"

// A table of unique keys, each with a TValue; keys are byte strings compared by length and bytes.
// - Growth: FindOrInsert first grows the table when it holds as many entries as buckets, to the
//   listed prime for one entry more; nothing else grows it, and nothing shrinks it. The shape of
//   a table thus follows the exact sequence of its operations, not only its contents.
// - Order: buckets in order, each chain from its head, the newest entry. An insert goes to the
//   head of its chain; a growth takes old chains in that order and puts each entry at the head
//   of its new chain.
// - Pointers: a reference or pointer to a value stays valid only until the next FindOrInsert
//   that grows or inserts, Erase, Clear or Swap, since values move whenever their block is
//   rebuilt.
// - Failure: FindOrInsert throws std::bad_alloc with the table exactly as it was; Find, Erase,
//   Clear, Swap, At and ForEach do not fail.
// Each chain is one block (pool/chain_block.h); blocks laid out by a growth and the first keys of
// new chains after it lie end to end in segments (pool/chain_arena.h).
template <typename TValue>
class CHashTable {
    static_assert(std::is_nothrow_default_constructible_v<TValue> &&
                      std::is_nothrow_move_constructible_v<TValue> &&
                      std::is_nothrow_move_assignable_v<TValue>,
                  "blocks are rebuilt without a way back");
    static_assert(alignof(TValue) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);

   public:
    // An empty table with the listed prime for uiBucketRequest buckets.
    explicit CHashTable(uint32_t uiBucketRequest = 100);
    ~CHashTable();
    CHashTable(const CHashTable&) = delete;
    CHashTable& operator=(const CHashTable&) = delete;

    // Grows the table if it is full, then returns the key's value, inserting the key with a
    // value-initialised TValue at the head of its chain when absent. Throws std::bad_alloc.
    TValue& FindOrInsert(const char* pKey, size_t uiLen);
    TValue& FindOrInsert(const char* pszKey) { return FindOrInsert(pszKey, std::strlen(pszKey)); }
    // The key's value, or null; never grows and never inserts.
    const TValue* Find(const char* pKey, size_t uiLen) const;
    TValue* Find(const char* pKey, size_t uiLen) {
        return const_cast<TValue*>(std::as_const(*this).Find(pKey, uiLen));
    }
    // Removes the key's entry; true iff there was one.
    bool Erase(const char* pKey, size_t uiLen);
    bool Erase(const char* pszKey) { return Erase(pszKey, std::strlen(pszKey)); }
    // Removes every entry; the bucket count stays.
    void Clear();
    // Exchanges the whole contents, bucket counts included, with another table.
    void Swap(CHashTable& other) noexcept;

    uint32_t Size() const { return m_uiCount; }
    uint32_t BucketCount() const { return m_uiBuckets; }

    // The value at a position of the iteration order, or null past the last. Reading the same
    // position or a later one than the previous call continues from there, so reading every
    // position in order costs as much as one iteration.
    const TValue* At(uint32_t uiPos) const;
    // The key at a position of the iteration order, found as At() finds the value there and with
    // the same cursor; true iff the position holds an entry. The bytes are not zero-terminated and
    // stay valid until the next change to the table.
    bool KeyAt(uint32_t uiPos, std::string_view& svKey) const;
    // Calls fn(key, key length, value) for every entry in iteration order. The key is not
    // zero-terminated.
    template <typename TFn>
    void ForEach(TFn fn) const {
        Walk<const TValue>(fn);
    }
    template <typename TFn>
    void ForEach(TFn fn) {
        Walk<TValue>(fn);
    }

   private:
    using Chain = hash_table_detail::CChainBlock<TValue>;
    using Arena = hash_table_detail::CChainArena<Chain::ALIGN>;
    using Growth = hash_table_detail::CTableGrowth<TValue>;
    static_assert(sizeof(Chain) % alignof(TValue) == 0 &&
                      sizeof(TValue) % alignof(hash_table_detail::Slot) == 0,
                  "values and slots lie at their alignment");

    // How many buckets ahead a walk asks for the blocks it is about to read, and how many a
    // positional read looks ahead for the next chains.
    static constexpr uint32_t PREFETCH_AHEAD = 8;
    static constexpr uint32_t PREFETCH_SCAN = 64;

    Chain* NewChain(size_t uiLen);
    // Out of line: growth is rare, and the lookup that calls it is not.
    [[gnu::noinline]] void GrowFor(uint64_t uiNeeded);
    template <typename TRef, typename TFn>
    void Walk(TFn& fn) const;
    [[gnu::noinline]] const TValue* Seek(uint32_t uiPos) const;
    [[gnu::always_inline]] inline void PrefetchAfterCursor() const;
    // The first non-empty bucket from uiBucket on. REQUIRES: one exists.
    uint32_t NonEmptyFrom(uint32_t uiBucket) const {
        while (m_ppBuckets[uiBucket] == nullptr) ++uiBucket;
        return uiBucket;
    }
    // Any change to the table invalidates the remembered position.
    void Forget() const { m_bCursor = false; }

    hash_table_detail::CModulo m_Bucket;  // a hash's bucket
    uint32_t m_uiBuckets;
    Chain** m_ppBuckets;
    uint32_t m_uiCount = 0;
    Arena m_Arena;
    mutable bool m_bCursor = false;
    mutable uint32_t m_uiCursorPos = 0;
    mutable uint32_t m_uiCursorBucket = 0;
    // The cursor's entry within its block, where positions run from the last slot down, and
    // its value.
    mutable uint32_t m_uiCursorSlot = 0;
    mutable const TValue* m_pCursorValue = nullptr;
};

template <typename TValue>
inline CHashTable<TValue>::CHashTable(uint32_t uiBucketRequest)
    : m_Bucket(hash_table_detail::PrimeFor(uiBucketRequest)),
      m_uiBuckets(m_Bucket.Divisor()),
      m_ppBuckets(new Chain*[m_uiBuckets]()) {}

template <typename TValue>
inline CHashTable<TValue>::~CHashTable() {
    Clear();
    delete[] m_ppBuckets;
}

template <typename TValue>
inline TValue& CHashTable<TValue>::FindOrInsert(const char* pKey, size_t uiLen) {
    if (m_uiCount >= m_uiBuckets) GrowFor(static_cast<uint64_t>(m_uiCount) + 1);
    const uint32_t uiHash = hash_table_detail::Hash(pKey, uiLen);
    Chain*& pChain = m_ppBuckets[m_Bucket(uiHash)];
    if (pChain != nullptr) {
        const uint32_t uiSlot = pChain->Find(pKey, uiLen, uiHash);
        if (uiSlot != hash_table_detail::NOT_FOUND) return pChain->Values()[uiSlot];
    }
    if (uiLen > UINT32_MAX / 2) throw std::bad_alloc();
    if (pChain == nullptr) {
        pChain = NewChain(uiLen);
    } else if (!pChain->Fits(uiLen)) {
        pChain = Chain::Rebuilt(pChain, uiLen);
    }
    TValue& value = pChain->Append(pKey, static_cast<uint32_t>(uiLen), uiHash);
    ++m_uiCount;
    Forget();
    return value;
}

template <typename TValue>
inline const TValue* CHashTable<TValue>::Find(const char* pKey, size_t uiLen) const {
    const uint32_t uiHash = hash_table_detail::Hash(pKey, uiLen);
    const Chain* pChain = m_ppBuckets[m_Bucket(uiHash)];
    if (pChain == nullptr) return nullptr;
    const uint32_t uiSlot = pChain->Find(pKey, uiLen, uiHash);
    return uiSlot != hash_table_detail::NOT_FOUND ? &pChain->Values()[uiSlot] : nullptr;
}

template <typename TValue>
inline bool CHashTable<TValue>::Erase(const char* pKey, size_t uiLen) {
    const uint32_t uiHash = hash_table_detail::Hash(pKey, uiLen);
    Chain*& pChain = m_ppBuckets[m_Bucket(uiHash)];
    if (pChain == nullptr) return false;
    const uint32_t uiSlot = pChain->Find(pKey, uiLen, uiHash);
    if (uiSlot == hash_table_detail::NOT_FOUND) return false;
    pChain->Remove(uiSlot);
    if (pChain->uiCount == 0) {
        Chain::Drop(pChain);
        pChain = nullptr;
    } else if (pChain->uiCount <= pChain->uiCapacity / 4) {
        pChain = Chain::Shrunk(pChain);
    }
    --m_uiCount;
    Forget();
    return true;
}

template <typename TValue>
inline void CHashTable<TValue>::Clear() {
    if (m_uiCount != 0) {
        for (uint32_t i = 0; i < m_uiBuckets; ++i) {
            if (m_ppBuckets[i] == nullptr) continue;
            Chain::Drop(m_ppBuckets[i]);
            m_ppBuckets[i] = nullptr;
        }
    }
    // Segments outlive their entries: a table emptied by erasing still holds them.
    m_Arena.Clear();
    m_uiCount = 0;
    Forget();
}

template <typename TValue>
inline void CHashTable<TValue>::Swap(CHashTable& other) noexcept {
    std::swap(m_Bucket, other.m_Bucket);
    std::swap(m_uiBuckets, other.m_uiBuckets);
    std::swap(m_ppBuckets, other.m_ppBuckets);
    std::swap(m_uiCount, other.m_uiCount);
    m_Arena.Swap(other.m_Arena);
    Forget();
    other.Forget();
}

template <typename TValue>
inline const TValue* CHashTable<TValue>::At(uint32_t uiPos) const {
    // The cursor's own position again: a key read there and then its value.
    if (m_bCursor && uiPos == m_uiCursorPos) return m_pCursorValue;
    // The next position within the cursor's chain is the value below the cursor's.
    if (m_bCursor && uiPos == m_uiCursorPos + 1 && m_uiCursorSlot != 0) {
        m_uiCursorPos = uiPos;
        --m_uiCursorSlot;
        return --m_pCursorValue;
    }
    return Seek(uiPos);
}

template <typename TValue>
inline bool CHashTable<TValue>::KeyAt(uint32_t uiPos, std::string_view& svKey) const {
    if (At(uiPos) == nullptr) return false;
    const Chain& chain = *m_ppBuckets[m_uiCursorBucket];
    const uint32_t uiStart = chain.KeyStart(m_uiCursorSlot);
    svKey = {chain.Keys() + uiStart, chain.Slots()[m_uiCursorSlot].uiKeyEnd - uiStart};
    return true;
}

// A block for the first key of a chain, of uiLen bytes: in a segment while the arena has room.
template <typename TValue>
inline typename CHashTable<TValue>::Chain* CHashTable<TValue>::NewChain(size_t uiLen) {
    const size_t uiBytes = Chain::Bytes(1, uiLen);
    if (uiBytes == 0) throw std::bad_alloc();
    char* pMemory = m_Arena.TakeFirstKeyBlock(uiBytes);
    if (pMemory == nullptr) return Chain::Make(1, uiLen);
    return Chain::MakeAt(pMemory, 1, uiLen, true);
}

// Rehashes into the prime for uiNeeded when the table holds fewer buckets. Throws
// std::bad_alloc with the table as it was.
template <typename TValue>
void CHashTable<TValue>::GrowFor(uint64_t uiNeeded) {
    if (uiNeeded <= m_uiBuckets) return;
    const hash_table_detail::CModulo newBucket(hash_table_detail::PrimeFor(uiNeeded));
    if (newBucket.Divisor() <= m_uiBuckets) return;
    Growth growth(m_ppBuckets, m_uiBuckets, m_uiCount, newBucket);
    growth.Plan();
    growth.Allocate();
    growth.Move();
    m_Arena.TakeGrowth(growth.NewSegments());
    delete[] m_ppBuckets;
    m_ppBuckets = growth.TakeBuckets();
    m_Bucket = newBucket;
    m_uiBuckets = newBucket.Divisor();
    Forget();
}

template <typename TValue>
template <typename TRef, typename TFn>
inline void CHashTable<TValue>::Walk(TFn& fn) const {
    for (uint32_t i = 0; i < m_uiBuckets; ++i) {
        // Blocks lie all over the heap. The header of the block two strides ahead is asked for
        // first; one stride ahead, with the header there by then, the whole block.
        if (i + 2 * PREFETCH_AHEAD < m_uiBuckets) {
            __builtin_prefetch(m_ppBuckets[i + 2 * PREFETCH_AHEAD]);
        }
        if (i + PREFETCH_AHEAD < m_uiBuckets) {
            if (const Chain* pAhead = m_ppBuckets[i + PREFETCH_AHEAD]) pAhead->Prefetch();
        }
        Chain* pChain = m_ppBuckets[i];
        if (pChain == nullptr) continue;
        TValue* pValues = pChain->Values();
        const hash_table_detail::Slot* pSlots = pChain->Slots();
        const char* pKeys = pChain->Keys();
        for (uint32_t uiSlot = pChain->uiCount; uiSlot-- > 0;) {
            const uint32_t uiStart = uiSlot == 0 ? 0 : pSlots[uiSlot - 1].uiKeyEnd;
            fn(pKeys + uiStart, static_cast<size_t>(pSlots[uiSlot].uiKeyEnd - uiStart),
               static_cast<TRef&>(pValues[uiSlot]));
        }
    }
}

// At() for any position but the next one in the cursor's chain.
template <typename TValue>
const TValue* CHashTable<TValue>::Seek(uint32_t uiPos) const {
    if (uiPos >= m_uiCount) return nullptr;
    if (!m_bCursor || uiPos < m_uiCursorPos) {
        m_uiCursorBucket = NonEmptyFrom(0);
        m_uiCursorSlot = m_ppBuckets[m_uiCursorBucket]->uiCount - 1;
        m_uiCursorPos = 0;
        m_bCursor = true;
    }
    // Whole chains are passed over by their counts.
    while (uiPos - m_uiCursorPos > m_uiCursorSlot) {
        m_uiCursorPos += m_uiCursorSlot + 1;
        m_uiCursorBucket = NonEmptyFrom(m_uiCursorBucket + 1);
        m_uiCursorSlot = m_ppBuckets[m_uiCursorBucket]->uiCount - 1;
    }
    m_uiCursorSlot -= uiPos - m_uiCursorPos;
    m_uiCursorPos = uiPos;
    m_pCursorValue = &m_ppBuckets[m_uiCursorBucket]->Values()[m_uiCursorSlot];
    PrefetchAfterCursor();
    return m_pCursorValue;
}

// Positions read in order walk the cursor's chain's values downwards and then go on to the next
// chain: the values below the cursor, the whole block of the next chain, whose header an
// earlier call asked for, and the header of the chain after it are asked for now. Chains more
// than PREFETCH_SCAN buckets ahead are left alone.
template <typename TValue>
inline void CHashTable<TValue>::PrefetchAfterCursor() const {
    const char* pValues = reinterpret_cast<const char*>(m_pCursorValue - m_uiCursorSlot);
    const size_t uiBytes = (static_cast<size_t>(m_uiCursorSlot) + 1) * sizeof(TValue);
    for (size_t uiOffset = 0; uiOffset < uiBytes; uiOffset += hash_table_detail::CACHE_LINE) {
        __builtin_prefetch(pValues + uiOffset);
    }
    uint32_t uiNext = m_uiCursorBucket + 1;
    const uint32_t uiLast = std::min(m_uiBuckets - 1, m_uiCursorBucket + PREFETCH_SCAN);
    while (uiNext <= uiLast && m_ppBuckets[uiNext] == nullptr) ++uiNext;
    if (uiNext > uiLast) return;
    m_ppBuckets[uiNext]->Prefetch();
    const uint32_t uiFarLast = std::min(m_uiBuckets - 1, uiNext + PREFETCH_SCAN);
    for (uint32_t i = uiNext + 1; i <= uiFarLast; ++i) {
        if (m_ppBuckets[i] == nullptr) continue;
        __builtin_prefetch(m_ppBuckets[i]);
        break;
    }
}

#endif
