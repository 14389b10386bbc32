// The reference the fuzzers hold pools to: the container whose order scripts see, a pool file
// reader and writer written from the format alone, and the rules for numbers in values.
#ifndef QUILLSTORE_TESTS_SUPPORT_REFERENCE_H
#define QUILLSTORE_TESTS_SUPPORT_REFERENCE_H

#define _GLIBCXX_PERMIT_BACKWARD_HASH

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ext/hash_map>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "pool/hash_pool.h"

namespace reference {

// h = 5h + b with every byte signed, in 32 bits: written apart from the table's own hash so that
// the reference does not inherit its faults. The container's default would hash in 64 bits.
struct RefHash {
    size_t operator()(const std::string& str) const {
        uint32_t uiHash = 0;
        for (const char c : str) {
            uiHash = uiHash * 5u + static_cast<uint32_t>(int32_t{static_cast<int8_t>(c)});
        }
        return uiHash;
    }
};

using RefMap = __gnu_cxx::hash_map<std::string, std::string, RefHash>;
using Entries = std::vector<std::pair<std::string, std::string>>;

// A new pool asks for 100 buckets and gets the next listed prime.
constexpr size_t NEW_POOL_BUCKETS = 100;

inline Entries Contents(const RefMap& map) {
    Entries entries;
    for (const auto& entry : map) entries.emplace_back(entry.first, entry.second);
    return entries;
}

// A pool value's text, whichever type the pool keeps its values in.
template <typename TValue>
std::string ValueText(const TValue& value) {
    if constexpr (requires { value.CStr(); }) {
        return std::string(value.CStr(), value.Size());
    } else {
        return std::string(value);
    }
}

inline Entries Contents(const CHashPool::Table& table) {
    Entries entries;
    table.ForEach([&](const char* pKey, size_t uiLen, const auto& value) {
        entries.emplace_back(std::string(pKey, uiLen), ValueText(value));
    });
    return entries;
}

// A pool's entries in its order: what every test compares pools by.
inline Entries Contents(const CHashPool& pool) { return Contents(pool.Entries()); }

// The records of a pool file in file order: lines end at line feeds, a last line without one
// counts whole, a line's text ends at its first zero byte, empty lines where a key belongs are
// skipped, and a key that the file ends after is dropped.
inline Entries ParseRecords(std::string_view svFile) {
    Entries records;
    std::string strKey;
    bool bHaveKey = false;
    while (!svFile.empty()) {
        const size_t uiEnd = svFile.find('\n');
        std::string_view svLine = svFile.substr(0, uiEnd);
        svFile.remove_prefix(uiEnd == std::string_view::npos ? svFile.size() : uiEnd + 1);
        svLine = svLine.substr(0, svLine.find('\0'));
        if (bHaveKey) {
            records.emplace_back(std::move(strKey), std::string(svLine));
            bHaveKey = false;
        } else if (!svLine.empty()) {
            strKey = std::string(svLine);
            bHaveKey = true;
        }
    }
    return records;
}

// A successful load: the entries go, the bucket count stays, the records go in in file order.
inline void Load(RefMap& map, std::string_view svFile) {
    map.clear();
    for (auto& [strKey, strValue] : ParseRecords(svFile)) map[strKey] = std::move(strValue);
}

// True iff an entry survives a save: a non-empty key and value without line feeds.
inline bool Writable(const std::string& strKey, const std::string& strValue) {
    const auto fits = [](const std::string& str) {
        return !str.empty() && str.find('\n') == std::string::npos &&
               str.find('\0') == std::string::npos;
    };
    return fits(strKey) && fits(strValue);
}

inline std::string Serialize(const Entries& entries) {
    std::string strFile;
    for (const auto& [strKey, strValue] : entries) {
        if (!Writable(strKey, strValue)) continue;
        strFile += strKey + '\n' + strValue + '\n';
    }
    return strFile;
}

inline bool IsNum(std::string_view sv) {
    if (sv.empty()) return false;
    for (const char c : sv) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// REQUIRES: IsNum(sv). Digits read in base 10, held at TInt's largest value (2147483647 for a
// 32-bit script host, 9223372036854775807 for a 64-bit one).
template <typename TInt = int32_t>
inline TInt ParseNum(std::string_view sv) {
    constexpr TInt MAX = std::numeric_limits<TInt>::max();
    while (sv.size() > 1 && sv.front() == '0') sv.remove_prefix(1);
    if (sv.size() > static_cast<size_t>(std::numeric_limits<TInt>::digits10) + 1) return MAX;
    const unsigned long long ullValue = std::stoull(std::string(sv));
    return ullValue > static_cast<unsigned long long>(MAX) ? MAX : static_cast<TInt>(ullValue);
}

template <typename TInt = int32_t>
inline std::string IntText(TInt iValue) {
    return std::to_string(iValue);
}

inline std::string FloatText(float fValue) {
    char szText[512];
    std::snprintf(szText, sizeof(szText), "%f", static_cast<double>(fValue));
    return szText;
}

// A counter step with the lookups it makes: two, or three when it stores a number. Each lookup
// may grow the table, so they are made one by one. The sum wraps in TInt's width. True iff a
// value was stored.
template <typename TInt = int32_t>
inline bool Count(RefMap& map, const std::string& strKey, std::make_unsigned_t<TInt> uiDelta) {
    using TUnsigned = std::make_unsigned_t<TInt>;
    if (map[strKey].empty()) {
        map[strKey] = IntText(static_cast<TInt>(uiDelta));
        return true;
    }
    const std::string strValue = map[strKey];
    if (!IsNum(strValue)) return false;
    const TUnsigned uiSum = static_cast<TUnsigned>(ParseNum<TInt>(strValue)) + uiDelta;
    map[strKey] = IntText(static_cast<TInt>(uiSum));
    return true;
}

}  // namespace reference

#endif
