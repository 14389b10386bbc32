// Chained hash table from byte-string keys to values, with the bucket counts, growth rule,
// chain order and iteration order that scripts observe through positions and saved files.
#ifndef QUILLSTORE_POOL_HASH_TABLE_H
#define QUILLSTORE_POOL_HASH_TABLE_H

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "pool/bytes.h"

namespace hash_table_detail {

constexpr uint32_t PRIMES[] = {
    5u,         53u,        97u,         193u,        389u,        769u,
    1543u,      3079u,      6151u,       12289u,      24593u,      49157u,
    98317u,     196613u,    393241u,     786433u,     1572869u,    3145739u,
    6291469u,   12582917u,  25165843u,   50331653u,   100663319u,  201326611u,
    402653189u, 805306457u, 1610612741u, 3221225473u, 4294967291u,
};

// The smallest listed prime not less than uiRequest; the largest one past the end of the list.
constexpr uint32_t PrimeFor(uint64_t uiRequest) {
    for (uint32_t uiPrime : PRIMES) {
        if (uiPrime >= uiRequest) return uiPrime;
    }
    return PRIMES[sizeof(PRIMES) / sizeof(PRIMES[0]) - 1];
}

// n mod d for one d, with two multiplications where a division would cost several times as
// much on every lookup (Lemire's method, exact for every 32-bit n and d). Written for 32-bit
// arithmetic units too.
class CModulo {
   public:
    explicit CModulo(uint32_t uiDivisor)
        : m_uiDivisor(uiDivisor), m_uiMagic(UINT64_MAX / uiDivisor + 1) {}
    uint32_t operator()(uint32_t n) const {
        const uint64_t uiLow = m_uiMagic * n;
        const uint64_t uiHigh = (uiLow >> 32) * m_uiDivisor;
        const uint64_t uiLowHigh = ((uiLow & 0xFFFFFFFFu) * m_uiDivisor) >> 32;
        return static_cast<uint32_t>((uiHigh + uiLowHigh) >> 32);
    }
    uint32_t Divisor() const { return m_uiDivisor; }

   private:
    uint32_t m_uiDivisor;
    uint64_t m_uiMagic;
};

// h = 5h + b over the key's bytes, each byte read as signed, modulo 2^32.
inline uint32_t Hash(const char* pKey, size_t uiLen) {
    uint32_t uiHash = 0;
    for (size_t i = 0; i < uiLen; ++i) {
        uiHash =
            5u * uiHash + static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(pKey[i])));
    }
    return uiHash;
}

// Equality of two byte runs of one length, word by word: keys that share a chain mostly share
// their length too, so this runs once for nearly every entry a lookup passes.
inline bool SameBytes(const char* pA, const char* pB, size_t uiLen) {
    if (uiLen >= 8) {
        for (size_t i = 0; i + 8 < uiLen; i += 8) {
            if (bytes::Load<uint64_t>(pA + i) != bytes::Load<uint64_t>(pB + i)) return false;
        }
        return bytes::Load<uint64_t>(pA + uiLen - 8) == bytes::Load<uint64_t>(pB + uiLen - 8);
    }
    if (uiLen >= 4) {
        return bytes::Load<uint32_t>(pA) == bytes::Load<uint32_t>(pB) &&
               bytes::Load<uint32_t>(pA + uiLen - 4) == bytes::Load<uint32_t>(pB + uiLen - 4);
    }
    for (size_t i = 0; i < uiLen; ++i) {
        if (pA[i] != pB[i]) return false;
    }
    return true;
}

}  // namespace hash_table_detail

// A table of unique keys, each with a TValue. Keys are byte strings compared by length and bytes.
// Lookups insert missing keys, and every lookup first grows the table when it is full, so the
// table's shape depends on the exact sequence of operations, not only on its contents.
//
// Each bucket's chain is one block holding the chain's values, hashes, key ends and key bytes
// side by side, oldest entry first, so the head of the chain is the block's last entry. A lookup
// reads one block front to back instead of following a pointer per entry. A growth lays its
// new blocks out in bucket order in a few large segments, and the first keys of new chains
// after it are laid end to end in segments too, up to as many bytes as the growth laid out;
// other blocks are allocated one by one. A segment block that its chain outgrows or empties
// stays unused until the next growth frees the segments. The old and the new blocks exist side
// by side during a growth. Values move whenever their block is rebuilt: a reference or pointer
// to a value stays valid only until the next change to the table.
template <typename TValue>
class CHashTable {
    static_assert(std::is_nothrow_default_constructible_v<TValue> &&
                      std::is_nothrow_move_constructible_v<TValue> &&
                      std::is_nothrow_move_assignable_v<TValue>,
                  "blocks are rebuilt without a way back");
    static_assert(alignof(TValue) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);

   public:
    // An empty table with the listed prime for uiBucketRequest buckets.
    explicit CHashTable(uint32_t uiBucketRequest = 100)
        : m_Bucket(hash_table_detail::PrimeFor(uiBucketRequest)),
          m_uiBuckets(m_Bucket.Divisor()),
          m_ppBuckets(new Chain*[m_uiBuckets]()) {}
    ~CHashTable() {
        Clear();
        delete[] m_ppBuckets;
    }
    CHashTable(const CHashTable&) = delete;
    CHashTable& operator=(const CHashTable&) = delete;

    // Grows the table if it is full, then returns the value of the key, inserting the key with a
    // value-initialised TValue at the head of its chain when absent. The reference stays valid
    // until the next change to the table. Throws std::bad_alloc with nothing changed.
    TValue& FindOrInsert(const char* pKey, size_t uiLen) {
        if (m_uiCount >= m_uiBuckets) GrowFor(static_cast<uint64_t>(m_uiCount) + 1);
        const uint32_t uiHash = hash_table_detail::Hash(pKey, uiLen);
        Chain*& pChain = m_ppBuckets[m_Bucket(uiHash)];
        if (pChain != nullptr) {
            const uint32_t uiSlot = pChain->Find(pKey, uiLen, uiHash);
            if (uiSlot != NOT_FOUND) return pChain->Values()[uiSlot];
        }
        if (uiLen > UINT32_MAX / 2) throw std::bad_alloc();
        if (pChain == nullptr) {
            pChain = NewChain(uiLen);
        } else if (!pChain->Fits(uiLen)) {
            pChain = Rebuilt(pChain, uiLen);
        }
        TValue& value = pChain->Append(pKey, static_cast<uint32_t>(uiLen), uiHash);
        ++m_uiCount;
        Forget();
        return value;
    }
    TValue& FindOrInsert(const char* pszKey) { return FindOrInsert(pszKey, std::strlen(pszKey)); }

    // The value of the key, or null; never grows and never inserts.
    TValue* Find(const char* pKey, size_t uiLen) const {
        const uint32_t uiHash = hash_table_detail::Hash(pKey, uiLen);
        Chain* pChain = m_ppBuckets[m_Bucket(uiHash)];
        if (pChain == nullptr) return nullptr;
        const uint32_t uiSlot = pChain->Find(pKey, uiLen, uiHash);
        return uiSlot != NOT_FOUND ? &pChain->Values()[uiSlot] : nullptr;
    }

    // Removes the key's entry; true iff there was one. Never grows.
    bool Erase(const char* pKey, size_t uiLen) {
        const uint32_t uiHash = hash_table_detail::Hash(pKey, uiLen);
        Chain*& pChain = m_ppBuckets[m_Bucket(uiHash)];
        if (pChain == nullptr) return false;
        const uint32_t uiSlot = pChain->Find(pKey, uiLen, uiHash);
        if (uiSlot == NOT_FOUND) return false;
        pChain->Remove(uiSlot);
        if (pChain->uiCount == 0) {
            Drop(pChain);
            pChain = nullptr;
        } else if (pChain->uiCount <= pChain->uiCapacity / 4) {
            pChain = Shrunk(pChain);
        }
        --m_uiCount;
        Forget();
        return true;
    }
    bool Erase(const char* pszKey) { return Erase(pszKey, std::strlen(pszKey)); }

    // Removes every entry; the bucket count stays.
    void Clear() {
        if (m_uiCount != 0) {
            for (uint32_t i = 0; i < m_uiBuckets; ++i) {
                if (m_ppBuckets[i] == nullptr) continue;
                Drop(m_ppBuckets[i]);
                m_ppBuckets[i] = nullptr;
            }
        }
        // Segments outlive their entries: a table emptied by erasing still holds them.
        FreeSegments(m_pSegments);
        m_pSegments = nullptr;
        m_pSpare = nullptr;
        m_uiSpare = 0;
        m_uiSpareTaken = 0;
        m_uiSpareBudget = MIN_SPARE_BUDGET;
        m_uiCount = 0;
        Forget();
    }

    // Exchanges the whole contents, bucket counts included, with another table.
    void Swap(CHashTable& other) noexcept {
        std::swap(m_Bucket, other.m_Bucket);
        std::swap(m_uiBuckets, other.m_uiBuckets);
        std::swap(m_ppBuckets, other.m_ppBuckets);
        std::swap(m_uiCount, other.m_uiCount);
        std::swap(m_pSegments, other.m_pSegments);
        std::swap(m_pSpare, other.m_pSpare);
        std::swap(m_uiSpare, other.m_uiSpare);
        std::swap(m_uiSpareTaken, other.m_uiSpareTaken);
        std::swap(m_uiSpareBudget, other.m_uiSpareBudget);
        Forget();
        other.Forget();
    }

    uint32_t Size() const { return m_uiCount; }
    uint32_t BucketCount() const { return m_uiBuckets; }

    // The value at a position of the iteration order, or null past the last. Reading the same
    // position or a later one than the previous call continues from there, so reading every
    // position in order costs as much as one iteration.
    const TValue* At(uint32_t uiPos) const {
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

    // The key at a position of the iteration order, found as At() finds the value there and with
    // the same cursor; true iff the position holds an entry. The bytes are not zero-terminated
    // and stay valid until the next change to the table.
    bool KeyAt(uint32_t uiPos, std::string_view& svKey) const {
        if (At(uiPos) == nullptr) return false;
        const Chain& chain = *m_ppBuckets[m_uiCursorBucket];
        const uint32_t uiStart = chain.KeyStart(m_uiCursorSlot);
        svKey = {chain.Keys() + uiStart, chain.Slots()[m_uiCursorSlot].uiKeyEnd - uiStart};
        return true;
    }

    // Calls fn(key, key length, value) for every entry in iteration order: buckets in order, each
    // chain from its head. The key is not zero-terminated.
    template <typename TFn>
    void ForEach(TFn fn) const {
        Walk<const TValue>(fn);
    }
    template <typename TFn>
    void ForEach(TFn fn) {
        Walk<TValue>(fn);
    }

   private:
    static constexpr uint32_t NOT_FOUND = UINT32_MAX;
    // How many entries ahead a growth asks for the memory it is about to touch, and how many
    // buckets ahead a walk asks for the blocks it is about to read.
    static constexpr uint32_t LOOKAHEAD = 16;
    static constexpr uint32_t PREFETCH_AHEAD = 8;
    static constexpr size_t CACHE_LINE = 64;
    // How many buckets a positional read looks ahead for the next chains.
    static constexpr uint32_t PREFETCH_SCAN = 64;
    // Below this many entries a table lies in the caches and asking ahead only costs.
    static constexpr uint32_t LOOKAHEAD_FROM = 32768;
    // Small enough that the C library hands segments out of its heap and takes them back for
    // reuse, rather than mapping fresh pages for every growth.
    static constexpr size_t SEGMENT_BYTES = 64 * 1024;
    // The first segment for first keys, and the segment bytes first keys may take before the
    // first growth: small tables are many, and stay small.
    static constexpr size_t MIN_SEGMENT_BYTES = 1024;
    static constexpr size_t MIN_SPARE_BUDGET = 64 * 1024;
    // The largest chain, in key bytes and in slot bytes, that Reverse turns around through
    // buffers on the stack rather than in place.
    static constexpr size_t REVERSE_BUFFER = 512;
    // Set in uiKeyCapacity for a block that lies in a segment.
    static constexpr uint32_t IN_SEGMENT = 0x80000000u;

    // An entry's full hash, and the end of its key among the block's key bytes: its key starts
    // where the previous entry's ends.
    struct Slot {
        uint32_t uiHash;
        uint32_t uiKeyEnd;
    };

    // A block: this header, uiCapacity values, uiCapacity slots and KeyCapacity() key bytes.
    // Entries are oldest first. A lookup reads only the slots and the key bytes, which lie
    // together.
    struct Chain {
        uint32_t uiCount;
        uint32_t uiCapacity;
        uint32_t uiKeyBytes;
        uint32_t uiKeyCapacity;  // IN_SEGMENT too when a segment holds the block

        uint32_t KeyCapacity() const { return uiKeyCapacity & ~IN_SEGMENT; }
        bool InSegment() const { return (uiKeyCapacity & IN_SEGMENT) != 0; }

        TValue* Values() { return reinterpret_cast<TValue*>(this + 1); }
        Slot* Slots() { return reinterpret_cast<Slot*>(Values() + uiCapacity); }
        const Slot* Slots() const {
            return reinterpret_cast<const Slot*>(reinterpret_cast<const TValue*>(this + 1) +
                                                 uiCapacity);
        }
        char* Keys() { return reinterpret_cast<char*>(Slots() + uiCapacity); }
        const char* Keys() const { return reinterpret_cast<const char*>(Slots() + uiCapacity); }
        uint32_t KeyStart(uint32_t uiSlot) const {
            return uiSlot == 0 ? 0 : Slots()[uiSlot - 1].uiKeyEnd;
        }
        bool Fits(size_t uiLen) const {
            return uiCount < uiCapacity && uiLen <= KeyCapacity() - uiKeyBytes;
        }

        uint32_t Find(const char* pKey, size_t uiLen, uint32_t uiHash) const {
            const Slot* pSlots = Slots();
            const char* pKeys = Keys();
            uint32_t uiStart = 0;
            for (uint32_t i = 0; i < uiCount; ++i) {
                const uint32_t uiEnd = pSlots[i].uiKeyEnd;
                if (pSlots[i].uiHash == uiHash && uiEnd - uiStart == uiLen &&
                    hash_table_detail::SameBytes(pKeys + uiStart, pKey, uiLen)) {
                    return i;
                }
                uiStart = uiEnd;
            }
            return NOT_FOUND;
        }

        // REQUIRES: Fits(uiLen).
        TValue& Append(const char* pKey, uint32_t uiLen, uint32_t uiHash) {
            bytes::CopyBytes(Keys() + uiKeyBytes, pKey, uiLen);
            uiKeyBytes += uiLen;
            Slots()[uiCount] = {uiHash, uiKeyBytes};
            TValue* pValue = new (&Values()[uiCount]) TValue();
            ++uiCount;
            return *pValue;
        }

        // Moves every entry of another block behind this block's entries. REQUIRES: room.
        void TakeAll(Chain& from) {
            std::memcpy(Keys() + uiKeyBytes, from.Keys(), from.uiKeyBytes);
            Slot* pSlots = Slots();
            const Slot* pFromSlots = from.Slots();
            TValue* pValues = Values();
            TValue* pFromValues = from.Values();
            for (uint32_t i = 0; i < from.uiCount; ++i) {
                pSlots[uiCount + i] = {pFromSlots[i].uiHash, uiKeyBytes + pFromSlots[i].uiKeyEnd};
                new (&pValues[uiCount + i]) TValue(std::move(pFromValues[i]));
                pFromValues[i].~TValue();
            }
            uiCount += from.uiCount;
            uiKeyBytes += from.uiKeyBytes;
            from.uiCount = 0;
            from.uiKeyBytes = 0;
        }

        // Moves slots uiHigh down to uiLow of another block, in that order, behind this block's
        // entries, leaving their values moved-from. REQUIRES: room.
        void TakeRun(Chain& from, uint32_t uiHigh, uint32_t uiLow) {
            const Slot* pFromSlots = from.Slots();
            const char* pFromKeys = from.Keys();
            TValue* pFromValues = from.Values();
            Slot* pSlots = Slots();
            char* pKeys = Keys();
            TValue* pValues = Values();
            uint32_t uiEnd = pFromSlots[uiHigh].uiKeyEnd;
            for (uint32_t uiSlot = uiHigh + 1; uiSlot-- > uiLow;) {
                const uint32_t uiStart = uiSlot == 0 ? 0 : pFromSlots[uiSlot - 1].uiKeyEnd;
                bytes::CopyBytes(pKeys + uiKeyBytes, pFromKeys + uiStart, uiEnd - uiStart);
                uiKeyBytes += uiEnd - uiStart;
                pSlots[uiCount] = {pFromSlots[uiSlot].uiHash, uiKeyBytes};
                new (&pValues[uiCount]) TValue(std::move(pFromValues[uiSlot]));
                ++uiCount;
                uiEnd = uiStart;
            }
        }

        // Turns the order of the entries around, as moving them one by one to the head of an
        // empty chain would.
        void Reverse() {
            if (uiCount < 2) return;
            Slot* pSlots = Slots();
            char* pKeys = Keys();
            TValue* pValues = Values();
            std::reverse(pValues, pValues + uiCount);
            if (uiKeyBytes <= REVERSE_BUFFER && uiCount * sizeof(Slot) <= REVERSE_BUFFER) {
                // Keys and slots written out in their new order, then copied back.
                char aKeys[REVERSE_BUFFER];
                Slot aSlots[REVERSE_BUFFER / sizeof(Slot)];
                uint32_t uiEnd = uiKeyBytes;
                uint32_t uiNewEnd = 0;
                for (uint32_t i = uiCount; i-- > 0;) {
                    const uint32_t uiStart = i == 0 ? 0 : pSlots[i - 1].uiKeyEnd;
                    bytes::CopyBytes(aKeys + uiNewEnd, pKeys + uiStart, uiEnd - uiStart);
                    uiNewEnd += uiEnd - uiStart;
                    aSlots[uiCount - 1 - i] = {pSlots[i].uiHash, uiNewEnd};
                    uiEnd = uiStart;
                }
                std::memcpy(pKeys, aKeys, uiKeyBytes);
                std::memcpy(pSlots, aSlots, uiCount * sizeof(Slot));
                return;
            }
            // The whole run of key bytes turned around puts the keys in their new order, each
            // with its bytes reversed; each slot, turned around with the rest, still holds its
            // key's old end, from which the key's length follows.
            std::reverse(pKeys, pKeys + uiKeyBytes);
            std::reverse(pSlots, pSlots + uiCount);
            uint32_t uiEnd = 0;
            for (uint32_t i = 0; i < uiCount; ++i) {
                const uint32_t uiOldStart = i + 1 < uiCount ? pSlots[i + 1].uiKeyEnd : 0;
                const uint32_t uiLen = pSlots[i].uiKeyEnd - uiOldStart;
                std::reverse(pKeys + uiEnd, pKeys + uiEnd + uiLen);
                uiEnd += uiLen;
                pSlots[i].uiKeyEnd = uiEnd;
            }
        }

        // Removes one entry; the later ones move one slot down, keeping their order.
        void Remove(uint32_t uiSlot) {
            const uint32_t uiStart = KeyStart(uiSlot);
            Slot* pSlots = Slots();
            const uint32_t uiLen = pSlots[uiSlot].uiKeyEnd - uiStart;
            char* pKeys = Keys();
            std::memmove(pKeys + uiStart, pKeys + uiStart + uiLen, uiKeyBytes - uiStart - uiLen);
            TValue* pValues = Values();
            for (uint32_t i = uiSlot; i + 1 < uiCount; ++i) {
                pSlots[i] = {pSlots[i + 1].uiHash, pSlots[i + 1].uiKeyEnd - uiLen};
                pValues[i] = std::move(pValues[i + 1]);
            }
            pValues[uiCount - 1].~TValue();
            --uiCount;
            uiKeyBytes -= uiLen;
        }

        // The bytes of a block with room for the given entries and key bytes, rounded up so
        // that blocks laid end to end stay aligned; 0 when that would not fit a size_t.
        static size_t Bytes(uint64_t uiCapacity, uint64_t uiKeyCapacity) {
            const uint64_t uiBytes = sizeof(Chain) + uiKeyCapacity +
                                     (sizeof(Slot) + uint64_t{sizeof(TValue)}) * uiCapacity;
            if (uiCapacity >= IN_SEGMENT || uiKeyCapacity >= IN_SEGMENT || uiBytes > PTRDIFF_MAX) {
                return 0;
            }
            return static_cast<size_t>((uiBytes + ALIGN - 1) & ~uint64_t{ALIGN - 1});
        }
        // An empty block in memory of Bytes(uiCapacity, uiKeyCapacity) bytes.
        static Chain* MakeAt(void* pMemory, uint64_t uiCapacity, uint64_t uiKeyCapacity,
                             bool bInSegment) {
            Chain* pChain = static_cast<Chain*>(pMemory);
            pChain->uiCount = 0;
            pChain->uiCapacity = static_cast<uint32_t>(uiCapacity);
            pChain->uiKeyBytes = 0;
            pChain->uiKeyCapacity =
                static_cast<uint32_t>(uiKeyCapacity) | (bInSegment ? IN_SEGMENT : 0);
            return pChain;
        }
        // An empty block of its own. Throws std::bad_alloc.
        static Chain* Make(uint64_t uiCapacity, uint64_t uiKeyCapacity) {
            const size_t uiBytes = Bytes(uiCapacity, uiKeyCapacity);
            if (uiBytes == 0) throw std::bad_alloc();
            return MakeAt(::operator new(uiBytes), uiCapacity, uiKeyCapacity, false);
        }
    };
    static constexpr size_t ALIGN = alignof(TValue) > 8 ? alignof(TValue) : 8;
    static_assert(sizeof(Chain) % alignof(TValue) == 0 && sizeof(TValue) % alignof(Slot) == 0,
                  "values and slots lie at their alignment");

    // A segment begins with the link to the next segment of the same growth; blocks follow.
    struct Segment {
        Segment* pNext;
    };
    static constexpr size_t SEGMENT_HEADER = (sizeof(Segment) + ALIGN - 1) & ~(ALIGN - 1);

    static void FreeSegments(Segment* pSegment) {
        while (pSegment != nullptr) {
            Segment* pNext = pSegment->pNext;
            ::operator delete(pSegment);
            pSegment = pNext;
        }
    }
    // Destroys the block's values and frees the block, unless a segment holds it.
    static void Drop(Chain* pChain) {
        if constexpr (!std::is_trivially_destructible_v<TValue>) {
            TValue* pValues = pChain->Values();
            for (uint32_t i = 0; i < pChain->uiCount; ++i) pValues[i].~TValue();
        }
        if (!pChain->InSegment()) ::operator delete(pChain);
    }

    // A block for the first key of a chain, of uiLen bytes. Most of them stay single entries,
    // so they are laid end to end in segments, which saves an allocation now and a free at the
    // next growth. Each new segment is as large as those taken since the growth together, and
    // they stop at the budget the growth set, so that a table that keeps losing and gaining
    // keys without growing does not gather segments. Throws std::bad_alloc.
    Chain* NewChain(size_t uiLen) {
        const size_t uiBytes = Chain::Bytes(1, uiLen);
        if (uiBytes == 0) throw std::bad_alloc();
        if (uiBytes > m_uiSpare) {
            const size_t uiSegment =
                std::min(SEGMENT_BYTES, std::max(MIN_SEGMENT_BYTES, m_uiSpareTaken));
            if (uiBytes > uiSegment - SEGMENT_HEADER || uiSegment > m_uiSpareBudget) {
                return Chain::Make(1, uiLen);
            }
            auto* pSegment = static_cast<Segment*>(::operator new(uiSegment));
            pSegment->pNext = m_pSegments;
            m_pSegments = pSegment;
            m_pSpare = reinterpret_cast<char*>(pSegment) + SEGMENT_HEADER;
            m_uiSpare = uiSegment - SEGMENT_HEADER;
            m_uiSpareTaken += uiSegment;
            m_uiSpareBudget -= uiSegment;
        }
        Chain* pChain = Chain::MakeAt(m_pSpare, 1, uiLen, true);
        m_pSpare += uiBytes;
        m_uiSpare -= uiBytes;
        return pChain;
    }

    // A copy of the chain (or a new one) with room for one more key of uiLen bytes and half as
    // many entries again, so that a chain that keeps growing is rebuilt only now and then. The
    // old block is dropped. Throws std::bad_alloc with the old block untouched.
    static Chain* Rebuilt(Chain* pOld, size_t uiLen) {
        const uint64_t uiCount = pOld != nullptr ? pOld->uiCount : 0;
        const uint64_t uiKeyBytes = (pOld != nullptr ? pOld->uiKeyBytes : 0) + uiLen;
        const uint64_t uiCapacity = uiCount + 1 + (uiCount + 1) / 2;
        // The spare entries get room for keys of the chain's average length.
        const uint64_t uiKeyCapacity =
            uiKeyBytes + (uiCapacity - uiCount - 1) * ((uiKeyBytes + uiCount) / (uiCount + 1));
        Chain* pNew = Chain::Make(uiCapacity, uiKeyCapacity);
        if (pOld != nullptr) {
            pNew->TakeAll(*pOld);
            Drop(pOld);
        }
        return pNew;
    }

    // A block just large enough for the chain's entries; the chain itself when there is no
    // memory for one, since shrinking is only an economy.
    static Chain* Shrunk(Chain* pOld) {
        Chain* pNew;
        try {
            pNew = Chain::Make(pOld->uiCount, pOld->uiKeyBytes);
        } catch (const std::bad_alloc&) {
            return pOld;
        }
        pNew->TakeAll(*pOld);
        Drop(pOld);
        return pNew;
    }

    // Entries of one old block that go to one new bucket and stand next to each other in
    // rehash order: slots uiHigh down to uiLow. Keys that share their whole hash, as keys with
    // a number in them do, make long runs.
    struct Run {
        Chain* pChain;
        uint32_t uiHigh;
        uint32_t uiLow;
        uint32_t uiBucket;
    };

    // Calls fn(run) for the runs of every entry in rehash order: old buckets in order, each
    // chain from its head. In a large table every run moves to a block far from the one before,
    // so there each run goes to early() LOOKAHEAD runs and to late() LOOKAHEAD / 2 runs before it
    // goes to fn(), and the memory fn() touches is on its way meanwhile.
    template <typename TEarly, typename TLate, typename TFn>
    void VisitRuns(const hash_table_detail::CModulo& newBucket, TEarly early, TLate late,
                   TFn fn) const {
        if (m_uiCount < LOOKAHEAD_FROM) {
            ForEachRun<false>(newBucket, fn);
            return;
        }
        Run aRing[LOOKAHEAD];
        uint32_t uiEntered = 0;
        ForEachRun<true>(newBucket, [&](const Run& run) {
            Run& slot = aRing[uiEntered % LOOKAHEAD];
            if (uiEntered >= LOOKAHEAD) fn(slot);
            slot = run;
            early(run.uiBucket);
            if (uiEntered >= LOOKAHEAD / 2) {
                late(aRing[(uiEntered - LOOKAHEAD / 2) % LOOKAHEAD].uiBucket);
            }
            ++uiEntered;
        });
        const uint32_t uiFirst = uiEntered > LOOKAHEAD ? uiEntered - LOOKAHEAD : 0;
        for (uint32_t k = uiFirst; k < uiEntered; ++k) fn(aRing[k % LOOKAHEAD]);
    }

    template <bool bAhead, typename TFn>
    void ForEachRun(const hash_table_detail::CModulo& newBucket, TFn fn) const {
        for (uint32_t i = 0; i < m_uiBuckets; ++i) {
            if constexpr (bAhead) {
                // The old blocks ahead are on their way too: first their headers, then their
                // slots.
                if (i + PREFETCH_AHEAD < m_uiBuckets) {
                    __builtin_prefetch(m_ppBuckets[i + PREFETCH_AHEAD]);
                }
                if (i + PREFETCH_AHEAD / 2 < m_uiBuckets) {
                    if (const Chain* pAhead = m_ppBuckets[i + PREFETCH_AHEAD / 2]) {
                        __builtin_prefetch(pAhead->Slots());
                    }
                }
            }
            Chain* pChain = m_ppBuckets[i];
            if (pChain == nullptr) continue;
            const Slot* pSlots = pChain->Slots();
            uint32_t uiSlot = pChain->uiCount - 1;
            uint32_t uiHash = pSlots[uiSlot].uiHash;
            Run run{pChain, uiSlot, uiSlot, newBucket(uiHash)};
            while (uiSlot-- > 0) {
                if (pSlots[uiSlot].uiHash != uiHash) {
                    uiHash = pSlots[uiSlot].uiHash;
                    const uint32_t uiBucket = newBucket(uiHash);
                    if (uiBucket != run.uiBucket) {
                        fn(run);
                        run = {pChain, uiSlot, uiSlot, uiBucket};
                        continue;
                    }
                }
                run.uiLow = uiSlot;
            }
            fn(run);
        }
    }

    // Rehashes into the prime for uiNeeded when the table holds fewer buckets. Old buckets are
    // taken in order and each chain from its head, every entry going to the head of its new
    // chain; entries of one old chain thus end up reversed. Every new block is made before the
    // first entry moves, so a failed allocation leaves the table as it was.
    void GrowFor(uint64_t uiNeeded) {
        if (uiNeeded <= m_uiBuckets) return;
        const hash_table_detail::CModulo newBucket(hash_table_detail::PrimeFor(uiNeeded));
        const uint32_t uiNewBuckets = newBucket.Divisor();
        if (uiNewBuckets <= m_uiBuckets) return;
        struct Size {
            uint32_t uiCount;
            uint32_t uiKeyBytes;
        };
        // Until the new blocks are made, a new bucket holds the one old chain that all its
        // entries come from, or MIXED.
        static Chain s_mixed;
        Chain* const MIXED = &s_mixed;
        std::unique_ptr<Chain*[]> ppNew(new Chain*[uiNewBuckets]());
        std::unique_ptr<Size[]> pSizes(new Size[uiNewBuckets]());
        Size* pSize = pSizes.get();
        Chain** ppTo = ppNew.get();
        VisitRuns(
            newBucket,
            [&](uint32_t uiBucket) {
                __builtin_prefetch(&pSize[uiBucket], 1);
                __builtin_prefetch(&ppTo[uiBucket], 1);
            },
            [](uint32_t) {},
            [&](const Run& run) {
                const Chain& from = *run.pChain;
                const uint32_t uiLen = from.Slots()[run.uiHigh].uiKeyEnd - from.KeyStart(run.uiLow);
                Size& size = pSize[run.uiBucket];
                if (uiLen > UINT32_MAX / 2 - size.uiKeyBytes) throw std::bad_alloc();
                size.uiCount += run.uiHigh - run.uiLow + 1;
                size.uiKeyBytes += uiLen;
                Chain*& pSource = ppTo[run.uiBucket];
                if (pSource == nullptr) {
                    pSource = run.pChain;
                } else if (pSource != run.pChain) {
                    pSource = MIXED;
                }
            });
        // A whole old chain that makes up a new chain alone keeps its block, turned around,
        // unless a segment holds it: segments are freed as a whole.
        const auto keepsBlock = [&](uint32_t uiBucket) {
            const Chain* pSource = ppTo[uiBucket];
            return pSource != MIXED && pSource->uiCount == pSize[uiBucket].uiCount &&
                   !pSource->InSegment();
        };
        const auto capacity = [](const Size& size) -> uint64_t { return size.uiCount; };
        const auto keyCapacity = [](const Size& size) -> uint64_t { return size.uiKeyBytes; };
        // The blocks that segments take, so that the last segment is no larger than they need.
        uint64_t uiSegmentBytes = 0;
        for (uint32_t i = 0; i < uiNewBuckets; ++i) {
            if (pSize[i].uiCount == 0 || keepsBlock(i)) continue;
            const size_t uiBytes = Chain::Bytes(capacity(pSize[i]), keyCapacity(pSize[i]));
            if (uiBytes == 0) throw std::bad_alloc();
            if (uiBytes <= SEGMENT_BYTES - SEGMENT_HEADER) uiSegmentBytes += uiBytes;
        }
        const uint64_t uiLaidOut = uiSegmentBytes;
        Segment* pSegments = nullptr;
        uint32_t uiPlaced = 0;
        char* pFree = nullptr;
        size_t uiFree = 0;
        try {
            for (; uiPlaced < uiNewBuckets; ++uiPlaced) {
                const Size& size = pSize[uiPlaced];
                if (size.uiCount == 0 || keepsBlock(uiPlaced)) continue;
                const size_t uiBytes = Chain::Bytes(capacity(size), keyCapacity(size));
                if (uiBytes > SEGMENT_BYTES - SEGMENT_HEADER) {
                    ppTo[uiPlaced] = Chain::Make(capacity(size), keyCapacity(size));
                    continue;
                }
                if (uiBytes > uiFree) {
                    const size_t uiSegment = static_cast<size_t>(
                        std::min<uint64_t>(SEGMENT_BYTES, SEGMENT_HEADER + uiSegmentBytes));
                    auto* pSegment = static_cast<Segment*>(::operator new(uiSegment));
                    pSegment->pNext = pSegments;
                    pSegments = pSegment;
                    pFree = reinterpret_cast<char*>(pSegment) + SEGMENT_HEADER;
                    uiFree = uiSegment - SEGMENT_HEADER;
                }
                uiSegmentBytes -= uiBytes;
                ppTo[uiPlaced] = Chain::MakeAt(pFree, capacity(size), keyCapacity(size), true);
                pFree += uiBytes;
                uiFree -= uiBytes;
            }
        } catch (const std::bad_alloc&) {
            // The blocks made so far are the empty ones; the old chains kept are not.
            for (uint32_t i = 0; i < uiPlaced; ++i) {
                Chain* pMade = ppTo[i];
                if (pSize[i].uiCount == 0 || pMade->uiCount != 0 || pMade->InSegment()) continue;
                ::operator delete(pMade);
            }
            FreeSegments(pSegments);
            throw;
        }
        pSizes.reset();
        VisitRuns(
            newBucket, [&](uint32_t uiBucket) { __builtin_prefetch(&ppTo[uiBucket]); },
            [&](uint32_t uiBucket) { __builtin_prefetch(ppTo[uiBucket], 1); },
            [&](const Run& run) {
                Chain* pTo = ppTo[run.uiBucket];
                // A kept chain is one run, all its entries.
                if (pTo == run.pChain) {
                    pTo->Reverse();
                    return;
                }
                pTo->TakeRun(*run.pChain, run.uiHigh, run.uiLow);
                // The head goes first, so the run that ends at slot 0 is its block's last.
                if (run.uiLow == 0) Drop(run.pChain);
            });
        FreeSegments(m_pSegments);
        m_pSegments = pSegments;
        m_pSpare = pFree;
        m_uiSpare = uiFree;
        m_uiSpareTaken = 0;
        m_uiSpareBudget = std::max<size_t>(MIN_SPARE_BUDGET, static_cast<size_t>(uiLaidOut));
        delete[] m_ppBuckets;
        m_ppBuckets = ppNew.release();
        m_Bucket = newBucket;
        m_uiBuckets = uiNewBuckets;
        Forget();
    }

    template <typename TRef, typename TFn>
    void Walk(TFn& fn) const {
        for (uint32_t i = 0; i < m_uiBuckets; ++i) {
            // Blocks lie all over the heap. The header of the block two strides ahead is asked
            // for first; one stride ahead, with the header there by then, the whole block.
            if (i + 2 * PREFETCH_AHEAD < m_uiBuckets) {
                __builtin_prefetch(m_ppBuckets[i + 2 * PREFETCH_AHEAD]);
            }
            if (i + PREFETCH_AHEAD < m_uiBuckets) {
                if (const Chain* pAhead = m_ppBuckets[i + PREFETCH_AHEAD]) PrefetchBlock(pAhead);
            }
            Chain* pChain = m_ppBuckets[i];
            if (pChain == nullptr) continue;
            TValue* pValues = pChain->Values();
            const Slot* pSlots = pChain->Slots();
            const char* pKeys = pChain->Keys();
            for (uint32_t uiSlot = pChain->uiCount; uiSlot-- > 0;) {
                const uint32_t uiStart = uiSlot == 0 ? 0 : pSlots[uiSlot - 1].uiKeyEnd;
                fn(pKeys + uiStart, static_cast<size_t>(pSlots[uiSlot].uiKeyEnd - uiStart),
                   static_cast<TRef&>(pValues[uiSlot]));
            }
        }
    }

    // Always inlined: the compiler drops a call to a function that only asks for memory.
    [[gnu::always_inline]] static void PrefetchBlock(const Chain* pChain) {
        const char* pEnd = pChain->Keys() + pChain->uiKeyBytes;
        for (const char* p = reinterpret_cast<const char*>(pChain); p < pEnd; p += CACHE_LINE) {
            __builtin_prefetch(p);
        }
    }

    // At() for any position but the next one in the cursor's chain.
    [[gnu::noinline]] const TValue* Seek(uint32_t uiPos) const {
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
        // Positions read in order walk this chain's values downwards and then go on to the
        // next chain: the values below the cursor, the whole block of the next chain, whose
        // header an earlier call asked for, and the header of the chain after it are asked for
        // now. Chains more than PREFETCH_SCAN buckets ahead are left alone.
        const char* pValues = reinterpret_cast<const char*>(m_pCursorValue - m_uiCursorSlot);
        const size_t uiBytes = (static_cast<size_t>(m_uiCursorSlot) + 1) * sizeof(TValue);
        for (size_t uiOffset = 0; uiOffset < uiBytes; uiOffset += CACHE_LINE) {
            __builtin_prefetch(pValues + uiOffset);
        }
        uint32_t uiNext = m_uiCursorBucket + 1;
        const uint32_t uiLast = std::min(m_uiBuckets - 1, m_uiCursorBucket + PREFETCH_SCAN);
        while (uiNext <= uiLast && m_ppBuckets[uiNext] == nullptr) ++uiNext;
        if (uiNext > uiLast) return m_pCursorValue;
        PrefetchBlock(m_ppBuckets[uiNext]);
        const uint32_t uiFarLast = std::min(m_uiBuckets - 1, uiNext + PREFETCH_SCAN);
        for (uint32_t i = uiNext + 1; i <= uiFarLast; ++i) {
            if (m_ppBuckets[i] == nullptr) continue;
            __builtin_prefetch(m_ppBuckets[i]);
            break;
        }
        return m_pCursorValue;
    }

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
    // The segments since the latest growth, the newest first, and the room left in the newest;
    // the bytes of segments taken for first keys since that growth, and those still allowed.
    Segment* m_pSegments = nullptr;
    char* m_pSpare = nullptr;
    size_t m_uiSpare = 0;
    size_t m_uiSpareTaken = 0;
    size_t m_uiSpareBudget = MIN_SPARE_BUDGET;
    mutable bool m_bCursor = false;
    mutable uint32_t m_uiCursorPos = 0;
    mutable uint32_t m_uiCursorBucket = 0;
    // The cursor's entry within its block, where positions run from the last slot down, and
    // its value.
    mutable uint32_t m_uiCursorSlot = 0;
    mutable TValue* m_pCursorValue = nullptr;
};

#endif
