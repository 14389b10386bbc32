// Where a key's entry lives: the key's 32-bit hash, the listed bucket counts, and a hash's bucket.
#ifndef QUILLSTORE_POOL_TABLE_HASH_H
#define QUILLSTORE_POOL_TABLE_HASH_H

#include <cstddef>
#include <cstdint>

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

}  // namespace hash_table_detail

#endif
