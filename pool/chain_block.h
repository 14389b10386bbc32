// One bucket's chain as one block of memory: a header, the values, the hashes and key ends, and
// the key bytes side by side, oldest entry first.
#ifndef QUILLSTORE_POOL_CHAIN_BLOCK_H
#define QUILLSTORE_POOL_CHAIN_BLOCK_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "pool/bytes.h"

namespace hash_table_detail {

// A slot number that no block has.
constexpr uint32_t NOT_FOUND = UINT32_MAX;
// Set in a block's uiKeyCapacity when a segment holds the block.
constexpr uint32_t IN_SEGMENT = 0x80000000u;
// The largest chain, in key bytes and in slot bytes, that Reverse turns around through buffers
// on the stack rather than in place.
constexpr size_t REVERSE_BUFFER = 512;
constexpr size_t CACHE_LINE = 64;

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

// An entry's full hash, and the end of its key among the block's key bytes: its key starts
// where the previous entry's ends.
struct Slot {
    uint32_t uiHash;
    uint32_t uiKeyEnd;
};

// A block: this header, uiCapacity values, uiCapacity slots and KeyCapacity() key bytes.
// Entries are oldest first, so the head of the chain is the last entry. A lookup reads only the
// slots and the key bytes, which lie together. The header's fields are the block's layout.
template <typename TValue>
struct CChainBlock {
    static constexpr size_t ALIGN = alignof(TValue) > 8 ? alignof(TValue) : 8;

    uint32_t uiCount;
    uint32_t uiCapacity;
    uint32_t uiKeyBytes;
    uint32_t uiKeyCapacity;  // IN_SEGMENT too when a segment holds the block

    uint32_t KeyCapacity() const { return uiKeyCapacity & ~IN_SEGMENT; }
    bool InSegment() const { return (uiKeyCapacity & IN_SEGMENT) != 0; }

    TValue* Values() { return reinterpret_cast<TValue*>(this + 1); }
    const TValue* Values() const { return reinterpret_cast<const TValue*>(this + 1); }
    Slot* Slots() { return reinterpret_cast<Slot*>(Values() + uiCapacity); }
    const Slot* Slots() const { return reinterpret_cast<const Slot*>(Values() + uiCapacity); }
    char* Keys() { return reinterpret_cast<char*>(Slots() + uiCapacity); }
    const char* Keys() const { return reinterpret_cast<const char*>(Slots() + uiCapacity); }
    uint32_t KeyStart(uint32_t uiSlot) const {
        return uiSlot == 0 ? 0 : Slots()[uiSlot - 1].uiKeyEnd;
    }
    bool Fits(size_t uiLen) const {
        return uiCount < uiCapacity && uiLen <= KeyCapacity() - uiKeyBytes;
    }

    // The slot of the key, or NOT_FOUND.
    uint32_t Find(const char* pKey, size_t uiLen, uint32_t uiHash) const {
        const Slot* pSlots = Slots();
        const char* pKeys = Keys();
        uint32_t uiStart = 0;
        for (uint32_t i = 0; i < uiCount; ++i) {
            const uint32_t uiEnd = pSlots[i].uiKeyEnd;
            if (pSlots[i].uiHash == uiHash && uiEnd - uiStart == uiLen &&
                SameBytes(pKeys + uiStart, pKey, uiLen)) {
                return i;
            }
            uiStart = uiEnd;
        }
        return NOT_FOUND;
    }

    // Adds the key with a value-initialised TValue as the newest entry. REQUIRES: Fits(uiLen).
    TValue& Append(const char* pKey, uint32_t uiLen, uint32_t uiHash) {
        bytes::CopyBytes(Keys() + uiKeyBytes, pKey, uiLen);
        uiKeyBytes += uiLen;
        Slots()[uiCount] = {uiHash, uiKeyBytes};
        TValue* pValue = new (&Values()[uiCount]) TValue();
        ++uiCount;
        return *pValue;
    }

    // Moves every entry of another block behind this block's entries. REQUIRES: room.
    void TakeAll(CChainBlock& from) {
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
    void TakeRun(CChainBlock& from, uint32_t uiHigh, uint32_t uiLow) {
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

    // Turns the order of the entries around, as moving them one by one to the head of an empty
    // chain would.
    void Reverse() {
        if (uiCount < 2) return;
        std::reverse(Values(), Values() + uiCount);
        if (uiKeyBytes <= REVERSE_BUFFER && uiCount * sizeof(Slot) <= REVERSE_BUFFER) {
            ReverseKeysThroughBuffers();
        } else {
            ReverseKeysInPlace();
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

    // Asks for every cache line of the block up to its last key byte. Always inlined: the
    // compiler drops a call to a function that only asks for memory.
    [[gnu::always_inline]] void Prefetch() const {
        const char* pEnd = Keys() + uiKeyBytes;
        for (const char* p = reinterpret_cast<const char*>(this); p < pEnd; p += CACHE_LINE) {
            __builtin_prefetch(p);
        }
    }

    // The bytes of a block with room for the given entries and key bytes, rounded up so that
    // blocks laid end to end stay aligned; 0 when that would not fit a size_t.
    static size_t Bytes(uint64_t uiCapacity, uint64_t uiKeyCapacity) {
        const uint64_t uiBytes = sizeof(CChainBlock) + uiKeyCapacity +
                                 (sizeof(Slot) + uint64_t{sizeof(TValue)}) * uiCapacity;
        if (uiCapacity >= IN_SEGMENT || uiKeyCapacity >= IN_SEGMENT || uiBytes > PTRDIFF_MAX) {
            return 0;
        }
        return static_cast<size_t>((uiBytes + ALIGN - 1) & ~uint64_t{ALIGN - 1});
    }
    // An empty block in memory of Bytes(uiCapacity, uiKeyCapacity) bytes.
    static CChainBlock* MakeAt(void* pMemory, uint64_t uiCapacity, uint64_t uiKeyCapacity,
                               bool bInSegment) {
        auto* pChain = static_cast<CChainBlock*>(pMemory);
        pChain->uiCount = 0;
        pChain->uiCapacity = static_cast<uint32_t>(uiCapacity);
        pChain->uiKeyBytes = 0;
        pChain->uiKeyCapacity =
            static_cast<uint32_t>(uiKeyCapacity) | (bInSegment ? IN_SEGMENT : 0);
        return pChain;
    }
    // An empty block of its own. Throws std::bad_alloc.
    static CChainBlock* Make(uint64_t uiCapacity, uint64_t uiKeyCapacity) {
        const size_t uiBytes = Bytes(uiCapacity, uiKeyCapacity);
        if (uiBytes == 0) throw std::bad_alloc();
        return MakeAt(::operator new(uiBytes), uiCapacity, uiKeyCapacity, false);
    }
    // Destroys the block's values and frees the block, unless a segment holds it.
    static void Drop(CChainBlock* pChain) {
        if constexpr (!std::is_trivially_destructible_v<TValue>) {
            TValue* pValues = pChain->Values();
            for (uint32_t i = 0; i < pChain->uiCount; ++i) pValues[i].~TValue();
        }
        if (!pChain->InSegment()) ::operator delete(pChain);
    }

    // A copy of the chain (or a new one) with room for one more key of uiLen bytes and half as
    // many entries again, so that a chain that keeps growing is rebuilt only now and then. The
    // old block is dropped. Throws std::bad_alloc with the old block untouched.
    static CChainBlock* Rebuilt(CChainBlock* pOld, size_t uiLen) {
        const uint64_t uiCount = pOld != nullptr ? pOld->uiCount : 0;
        const uint64_t uiKeyBytes = (pOld != nullptr ? pOld->uiKeyBytes : 0) + uiLen;
        const uint64_t uiCapacity = uiCount + 1 + (uiCount + 1) / 2;
        // The spare entries get room for keys of the chain's average length.
        const uint64_t uiKeyCapacity =
            uiKeyBytes + (uiCapacity - uiCount - 1) * ((uiKeyBytes + uiCount) / (uiCount + 1));
        CChainBlock* pNew = Make(uiCapacity, uiKeyCapacity);
        if (pOld != nullptr) {
            pNew->TakeAll(*pOld);
            Drop(pOld);
        }
        return pNew;
    }

    // A block just large enough for the chain's entries; the chain itself when there is no
    // memory for one, since shrinking is only an economy.
    static CChainBlock* Shrunk(CChainBlock* pOld) {
        CChainBlock* pNew;
        try {
            pNew = Make(pOld->uiCount, pOld->uiKeyBytes);
        } catch (const std::bad_alloc&) {
            return pOld;
        }
        pNew->TakeAll(*pOld);
        Drop(pOld);
        return pNew;
    }

   private:
    // Keys and slots written out in their new order, then copied back.
    void ReverseKeysThroughBuffers() {
        Slot* pSlots = Slots();
        char* pKeys = Keys();
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
    }

    // The whole run of key bytes turned around puts the keys in their new order, each with its
    // bytes reversed; each slot, turned around with the rest, still holds its key's old end,
    // from which the key's length follows.
    void ReverseKeysInPlace() {
        Slot* pSlots = Slots();
        char* pKeys = Keys();
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
};

}  // namespace hash_table_detail

#endif
