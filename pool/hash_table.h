// Chained hash table from byte-string keys to values, with the bucket counts, growth rule,
// chain order and iteration order that scripts observe through positions and saved files.
#ifndef QUILLSTORE_POOL_HASH_TABLE_H
#define QUILLSTORE_POOL_HASH_TABLE_H

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

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

// h = 5h + b over the key's bytes, each byte read as signed, modulo 2^32.
inline uint32_t Hash(const char* pKey, size_t uiLen) {
    uint32_t uiHash = 0;
    for (size_t i = 0; i < uiLen; ++i) {
        uiHash =
            5u * uiHash + static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(pKey[i])));
    }
    return uiHash;
}

}  // namespace hash_table_detail

// A table of unique keys, each with a TValue. Keys are byte strings compared by length and bytes.
// Lookups insert missing keys, and every lookup first grows the table when it is full, so the
// table's shape depends on the exact sequence of operations, not only on its contents.
template <typename TValue>
class CHashTable {
   public:
    // An empty table with the listed prime for uiBucketRequest buckets.
    explicit CHashTable(uint32_t uiBucketRequest = 100)
        : m_uiBuckets(hash_table_detail::PrimeFor(uiBucketRequest)),
          m_ppBuckets(NewBuckets(m_uiBuckets)) {}
    ~CHashTable() {
        Clear();
        delete[] m_ppBuckets;
    }
    CHashTable(const CHashTable&) = delete;
    CHashTable& operator=(const CHashTable&) = delete;

    // Grows the table if it is full, then returns the value of the key, inserting the key with a
    // value-initialised TValue at the head of its chain when absent. The reference stays valid
    // until the entry is erased or the table cleared. Throws std::bad_alloc with nothing changed.
    TValue& FindOrInsert(const char* pKey, size_t uiLen) {
        GrowFor(static_cast<uint64_t>(m_uiCount) + 1);
        const uint32_t uiHash = hash_table_detail::Hash(pKey, uiLen);
        Node** ppHead = &m_ppBuckets[uiHash % m_uiBuckets];
        for (Node* pNode = *ppHead; pNode != nullptr; pNode = pNode->pNext) {
            if (pNode->Matches(uiHash, pKey, uiLen)) return pNode->value;
        }
        Node* pNode = Node::Make(uiHash, pKey, uiLen);
        pNode->pNext = *ppHead;
        *ppHead = pNode;
        ++m_uiCount;
        Forget();
        return pNode->value;
    }
    TValue& FindOrInsert(const char* pszKey) { return FindOrInsert(pszKey, std::strlen(pszKey)); }

    // The value of the key, or null; never grows and never inserts.
    TValue* Find(const char* pKey, size_t uiLen) const {
        const uint32_t uiHash = hash_table_detail::Hash(pKey, uiLen);
        for (Node* pNode = m_ppBuckets[uiHash % m_uiBuckets]; pNode != nullptr;
             pNode = pNode->pNext) {
            if (pNode->Matches(uiHash, pKey, uiLen)) return &pNode->value;
        }
        return nullptr;
    }

    // Removes the key's entry; true iff there was one. Never grows.
    bool Erase(const char* pKey, size_t uiLen) {
        const uint32_t uiHash = hash_table_detail::Hash(pKey, uiLen);
        for (Node** ppLink = &m_ppBuckets[uiHash % m_uiBuckets]; *ppLink != nullptr;
             ppLink = &(*ppLink)->pNext) {
            Node* pNode = *ppLink;
            if (!pNode->Matches(uiHash, pKey, uiLen)) continue;
            *ppLink = pNode->pNext;
            Node::Free(pNode);
            --m_uiCount;
            Forget();
            return true;
        }
        return false;
    }
    bool Erase(const char* pszKey) { return Erase(pszKey, std::strlen(pszKey)); }

    // Removes every entry; the bucket count stays.
    void Clear() {
        if (m_uiCount == 0) return;
        for (uint32_t i = 0; i < m_uiBuckets; ++i) {
            for (Node* pNode = m_ppBuckets[i]; pNode != nullptr;) {
                Node* pNext = pNode->pNext;
                Node::Free(pNode);
                pNode = pNext;
            }
            m_ppBuckets[i] = nullptr;
        }
        m_uiCount = 0;
        Forget();
    }

    // Exchanges the whole contents, bucket counts included, with another table.
    void Swap(CHashTable& other) noexcept {
        std::swap(m_uiBuckets, other.m_uiBuckets);
        std::swap(m_ppBuckets, other.m_ppBuckets);
        std::swap(m_uiCount, other.m_uiCount);
        Forget();
        other.Forget();
    }

    uint32_t Size() const { return m_uiCount; }
    uint32_t BucketCount() const { return m_uiBuckets; }

    // The value at a position of the iteration order, or null past the last. Reading the same
    // position or the next one as the previous call costs constant time.
    const TValue* At(uint32_t uiPos) const {
        if (uiPos >= m_uiCount) return nullptr;
        if (m_pCursor == nullptr || uiPos < m_uiCursorPos) {
            m_uiCursorBucket = 0;
            m_uiCursorPos = 0;
            m_pCursor = FirstFrom(0);
        }
        while (m_uiCursorPos < uiPos) {
            m_pCursor = Next(m_pCursor);
            ++m_uiCursorPos;
        }
        return &m_pCursor->value;
    }

    // Calls fn(key, key length, value) for every entry in iteration order: buckets in order, each
    // chain from its head.
    template <typename TFn>
    void ForEach(TFn fn) const {
        for (uint32_t i = 0; i < m_uiBuckets; ++i) {
            for (const Node* pNode = m_ppBuckets[i]; pNode != nullptr; pNode = pNode->pNext) {
                fn(pNode->Key(), static_cast<size_t>(pNode->uiKeyLen), pNode->value);
            }
        }
    }
    template <typename TFn>
    void ForEach(TFn fn) {
        for (uint32_t i = 0; i < m_uiBuckets; ++i) {
            for (Node* pNode = m_ppBuckets[i]; pNode != nullptr; pNode = pNode->pNext) {
                fn(pNode->Key(), static_cast<size_t>(pNode->uiKeyLen), pNode->value);
            }
        }
    }

   private:
    // One allocation per entry: the node, then the key's bytes and a terminating zero.
    struct Node {
        Node* pNext;
        uint32_t uiHash;
        uint32_t uiKeyLen;
        TValue value;

        const char* Key() const { return reinterpret_cast<const char*>(this + 1); }
        bool Matches(uint32_t uiKeyHash, const char* pKey, size_t uiLen) const {
            return uiHash == uiKeyHash && uiKeyLen == uiLen && std::memcmp(Key(), pKey, uiLen) == 0;
        }
        static Node* Make(uint32_t uiKeyHash, const char* pKey, size_t uiLen) {
            if (uiLen > UINT32_MAX - sizeof(Node) - 1) throw std::bad_alloc();
            void* pMemory = ::operator new(sizeof(Node) + uiLen + 1);
            Node* pNode =
                new (pMemory) Node{nullptr, uiKeyHash, static_cast<uint32_t>(uiLen), TValue()};
            char* pKeyCopy = reinterpret_cast<char*>(pNode + 1);
            std::memcpy(pKeyCopy, pKey, uiLen);
            pKeyCopy[uiLen] = '\0';
            return pNode;
        }
        static void Free(Node* pNode) {
            pNode->~Node();
            ::operator delete(pNode);
        }
    };

    static Node** NewBuckets(uint32_t uiCount) { return new Node*[uiCount](); }

    // Rehashes into the prime for uiNeeded when the table holds fewer buckets. Old buckets are
    // taken in order and each chain from its head, every node going to the head of its new
    // chain; nodes of one old chain thus end up reversed.
    void GrowFor(uint64_t uiNeeded) {
        if (uiNeeded <= m_uiBuckets) return;
        const uint32_t uiNewBuckets = hash_table_detail::PrimeFor(uiNeeded);
        if (uiNewBuckets <= m_uiBuckets) return;
        Node** ppNew = NewBuckets(uiNewBuckets);
        for (uint32_t i = 0; i < m_uiBuckets; ++i) {
            while (Node* pNode = m_ppBuckets[i]) {
                m_ppBuckets[i] = pNode->pNext;
                Node** ppHead = &ppNew[pNode->uiHash % uiNewBuckets];
                pNode->pNext = *ppHead;
                *ppHead = pNode;
            }
        }
        delete[] m_ppBuckets;
        m_ppBuckets = ppNew;
        m_uiBuckets = uiNewBuckets;
        Forget();
    }

    Node* FirstFrom(uint32_t uiBucket) const {
        for (m_uiCursorBucket = uiBucket; m_uiCursorBucket < m_uiBuckets; ++m_uiCursorBucket) {
            if (m_ppBuckets[m_uiCursorBucket] != nullptr) return m_ppBuckets[m_uiCursorBucket];
        }
        return nullptr;
    }
    Node* Next(Node* pNode) const {
        if (pNode->pNext != nullptr) return pNode->pNext;
        return FirstFrom(m_uiCursorBucket + 1);
    }
    // Any change to the table invalidates the remembered position.
    void Forget() const { m_pCursor = nullptr; }

    uint32_t m_uiBuckets;
    Node** m_ppBuckets;
    uint32_t m_uiCount = 0;
    mutable Node* m_pCursor = nullptr;
    mutable uint32_t m_uiCursorPos = 0;
    mutable uint32_t m_uiCursorBucket = 0;
};

#endif
