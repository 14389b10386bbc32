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
#include "pool/position_index.h"
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
// new chains after it lie end to end in segments (pool/chain_arena.h). A table read at a position
// other than the next one gains an index of its buckets' counts (pool/position_index.h), kept by
// inserts and erases until a growth or Clear drops it.
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
    // position or the next one costs a step of a cursor, so reading every position in order costs
    // about as much as one iteration; any other position costs a descent of the index, O(log n).
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
    // positional read looks through for the next chain before it asks the index.
    static constexpr uint32_t PREFETCH_AHEAD = 8;
    static constexpr uint32_t NEAR_BUCKETS = 8;

    Chain* NewChain(size_t uiLen);
    // Out of line: growth is rare, and the lookup that calls it is not.
    [[gnu::noinline]] void GrowFor(uint64_t uiNeeded);
    template <typename TRef, typename TFn>
    void Walk(TFn& fn) const;
    [[gnu::noinline]] const TValue* Seek(uint32_t uiPos) const;
    // Out of line, as growth is: each runs at most once per change of the table.
    [[gnu::noinline]] const TValue* SeekByWalk(uint32_t uiPos) const;
    [[gnu::noinline]] bool BuildIndex() const;
    uint32_t NearChain(uint32_t uiFrom) const;
    const TValue* Enter(uint32_t uiPos, uint32_t uiBucket, uint32_t uiSlot) const;
    [[gnu::always_inline]] inline void PrefetchAfterCursor() const;
    // The first non-empty bucket from uiBucket on. REQUIRES: one exists.
    uint32_t NonEmptyFrom(uint32_t uiBucket) const {
        while (m_ppBuckets[uiBucket] == nullptr) ++uiBucket;
        return uiBucket;
    }
    // Any change to the table invalidates the remembered position.
    void Forget() const { m_bCursor = false; }
    // Keeps the index's count of a bucket, when there is an index.
    void Counted(uint32_t uiBucket, uint32_t uiDelta) {
        if (m_Index.Built()) m_Index.Add(uiBucket, uiDelta);
    }

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
    mutable hash_table_detail::CPositionIndex m_Index;
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
    const uint32_t uiBucket = m_Bucket(uiHash);
    Chain*& pChain = m_ppBuckets[uiBucket];
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
    Counted(uiBucket, 1);
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
    const uint32_t uiBucket = m_Bucket(uiHash);
    Chain*& pChain = m_ppBuckets[uiBucket];
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
    Counted(uiBucket, UINT32_MAX);
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
    m_Index.Drop();
    Forget();
}

template <typename TValue>
inline void CHashTable<TValue>::Swap(CHashTable& other) noexcept {
    std::swap(m_Bucket, other.m_Bucket);
    std::swap(m_uiBuckets, other.m_uiBuckets);
    std::swap(m_ppBuckets, other.m_ppBuckets);
    std::swap(m_uiCount, other.m_uiCount);
    m_Arena.Swap(other.m_Arena);
    m_Index.Swap(other.m_Index);
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
    // Every count moved; the next positional read that needs the index builds it anew.
    m_Index.Drop();
    Forget();
}

template <typename TValue>
template <typename TRef, typename TFn>
inline void CHashTable<TValue>::Walk(TFn& fn) const {
    // Read once: a call that stores through a char pointer could otherwise have changed them,
    // for all the compiler knows, and they would be read again after every entry.
    Chain* const* pBucket = m_ppBuckets;
    Chain* const* const pEnd = pBucket + m_uiBuckets;
    if (pBucket == pEnd) return;
    Chain* const* const pLast = pEnd - 1;
    while (pBucket != pEnd) {
        // The empty buckets up to the next chain pass in a loop of their own, on a pointer of
        // its own that stays in a register: one kept across the entries' calls would be kept in
        // memory, and every empty bucket would wait on a store and a load of it. Blocks lie
        // all over the heap. The header of the block two strides ahead is asked for first; one
        // stride ahead, with the header there by then, the whole block. Near the end the last
        // bucket's is asked for again instead, which costs no branch.
        Chain* pChain;
        Chain* const* pNext = pBucket;
        do {
            const size_t uiLeft = static_cast<size_t>(pLast - pNext);
            __builtin_prefetch(uiLeft > 2 * PREFETCH_AHEAD ? pNext[2 * PREFETCH_AHEAD] : *pLast);
            const Chain* pAhead = uiLeft > PREFETCH_AHEAD ? pNext[PREFETCH_AHEAD] : *pLast;
            if (pAhead != nullptr) pAhead->Prefetch();
            pChain = *pNext++;
        } while (pChain == nullptr && pNext != pEnd);
        pBucket = pNext;
        if (pChain == nullptr) return;
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

// At() for any position but the next one in the cursor's chain. The position after the
// cursor's chain, or the first one, is usually in one of the next few buckets; any other, or one
// past many empty buckets, is found by the index.
template <typename TValue>
const TValue* CHashTable<TValue>::Seek(uint32_t uiPos) const {
    if (uiPos >= m_uiCount) return nullptr;
    // In a table of fewer entries than one per NEAR_BUCKETS buckets, the next chain is seldom
    // near: one with an index asks it straight away.
    const bool bSparse = m_uiCount < m_uiBuckets / NEAR_BUCKETS && m_Index.Built();
    if (!bSparse && uiPos == (m_bCursor ? m_uiCursorPos + 1 : 0)) {
        const uint32_t uiNear = NearChain(m_bCursor ? m_uiCursorBucket + 1 : 0);
        if (uiNear != m_uiBuckets) {
            Enter(uiPos, uiNear, m_ppBuckets[uiNear]->uiCount - 1);
            PrefetchAfterCursor();
            return m_pCursorValue;
        }
    }
    if (!m_Index.Built() && !BuildIndex()) return SeekByWalk(uiPos);
    uint32_t uiOffset = 0;
    const uint32_t uiBucket = m_Index.Locate(uiPos, uiOffset);
    return Enter(uiPos, uiBucket, m_ppBuckets[uiBucket]->uiCount - 1 - uiOffset);
}

// The first non-empty bucket among the NEAR_BUCKETS from uiFrom on, or m_uiBuckets for none.
template <typename TValue>
inline uint32_t CHashTable<TValue>::NearChain(uint32_t uiFrom) const {
    const uint32_t uiEnd =
        m_uiBuckets - uiFrom > NEAR_BUCKETS ? uiFrom + NEAR_BUCKETS : m_uiBuckets;
    for (uint32_t i = uiFrom; i < uiEnd; ++i) {
        if (m_ppBuckets[i] != nullptr) return i;
    }
    return m_uiBuckets;
}

// Builds the index from the chains' counts; false iff there was no memory for it. Reading a
// position must not fail, so the caller then walks the chains instead.
template <typename TValue>
bool CHashTable<TValue>::BuildIndex() const {
    Chain* const* const ppBuckets = m_ppBuckets;
    return m_Index.Build(m_uiBuckets, [ppBuckets](uint32_t uiBucket) {
        return ppBuckets[uiBucket] != nullptr ? ppBuckets[uiBucket]->uiCount : 0;
    });
}

// Puts the cursor on slot uiSlot of bucket uiBucket's chain, the entry at position uiPos, and
// returns its value.
template <typename TValue>
inline const TValue* CHashTable<TValue>::Enter(uint32_t uiPos, uint32_t uiBucket,
                                               uint32_t uiSlot) const {
    m_bCursor = true;
    m_uiCursorPos = uiPos;
    m_uiCursorBucket = uiBucket;
    m_uiCursorSlot = uiSlot;
    m_pCursorValue = &m_ppBuckets[uiBucket]->Values()[uiSlot];
    return m_pCursorValue;
}

// Seek() without an index: from the cursor for a later position, else from the first chain,
// passing whole chains by their counts.
template <typename TValue>
const TValue* CHashTable<TValue>::SeekByWalk(uint32_t uiPos) const {
    if (!m_bCursor || uiPos < m_uiCursorPos) {
        const uint32_t uiFirst = NonEmptyFrom(0);
        Enter(0, uiFirst, m_ppBuckets[uiFirst]->uiCount - 1);
    }
    while (uiPos - m_uiCursorPos > m_uiCursorSlot) {
        m_uiCursorPos += m_uiCursorSlot + 1;
        m_uiCursorBucket = NonEmptyFrom(m_uiCursorBucket + 1);
        m_uiCursorSlot = m_ppBuckets[m_uiCursorBucket]->uiCount - 1;
    }
    return Enter(uiPos, m_uiCursorBucket, m_uiCursorSlot - (uiPos - m_uiCursorPos));
}

// Positions read in order walk the cursor's chain's values downwards and then go on to the next
// chain: the values below the cursor, and the whole block of the next chain, are asked for when
// the cursor enters a chain, when that chain is near.
template <typename TValue>
inline void CHashTable<TValue>::PrefetchAfterCursor() const {
    const char* pValues = reinterpret_cast<const char*>(m_pCursorValue - m_uiCursorSlot);
    const size_t uiBytes = (static_cast<size_t>(m_uiCursorSlot) + 1) * sizeof(TValue);
    for (size_t uiOffset = 0; uiOffset < uiBytes; uiOffset += hash_table_detail::CACHE_LINE) {
        __builtin_prefetch(pValues + uiOffset);
    }
    const uint32_t uiNext = NearChain(m_uiCursorBucket + 1);
    if (uiNext == m_uiBuckets) return;
    m_ppBuckets[uiNext]->Prefetch();
    const uint32_t uiAfter = NearChain(uiNext + 1);
    if (uiAfter != m_uiBuckets) __builtin_prefetch(m_ppBuckets[uiAfter]);
}

#endif
