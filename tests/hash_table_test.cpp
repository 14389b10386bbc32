// The table against the container whose order scripts were built on, step by step.
#define _GLIBCXX_PERMIT_BACKWARD_HASH
#include "pool/hash_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ext/hash_map>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

// The same 32-bit hash for the reference; its own hash would work in 64 bits on x86-64.
struct RefHash {
    size_t operator()(const std::string& str) const {
        return hash_table_detail::Hash(str.data(), str.size());
    }
};
using RefMap = __gnu_cxx::hash_map<std::string, std::string, RefHash>;
using Table = CHashTable<std::string>;
using Entries = std::vector<std::pair<std::string, std::string>>;

Entries Contents(const RefMap& ref) {
    Entries entries;
    for (const auto& entry : ref) entries.emplace_back(entry.first, entry.second);
    return entries;
}

Entries Contents(const Table& table) {
    Entries entries;
    table.ForEach([&](const char* pKey, size_t uiLen, const std::string& value) {
        entries.emplace_back(std::string(pKey, uiLen), value);
    });
    return entries;
}

// Keys from several families: short keys of a small alphabet that share chains, keys with a
// number in them that collide in whole, single bytes over the whole byte range but zero, bytes
// above 0x7F, and the empty key.
std::string RandomKey(std::mt19937& rng, uint32_t uiSpread) {
    switch (rng() % 5) {
        case 0: {
            std::string key;
            const size_t uiLen = rng() % 3;
            for (size_t i = 0; i < uiLen; ++i) key += static_cast<char>("aboyz"[rng() % 5]);
            return key;
        }
        case 1:
            return "key" + std::to_string(rng() % uiSpread);
        case 2:
            return std::string(1, static_cast<char>(1 + rng() % 255));
        case 3: {
            std::string key;
            const size_t uiLen = 1 + rng() % 6;
            for (size_t i = 0; i < uiLen; ++i) key += static_cast<char>(0x80 + rng() % 128);
            return key;
        }
        default:
            return "player" + std::to_string(rng() % uiSpread) + "_" + std::to_string(rng() % 7);
    }
}

class SideBySide {
   public:
    void Lookup(const std::string& key) {
        std::string& refValue = m_ref[key];
        std::string& value = m_table.FindOrInsert(key.data(), key.size());
        ASSERT_EQ(refValue, value) << "value of looked-up key differs";
    }
    void Set(const std::string& key, const std::string& value) {
        m_ref[key] = value;
        m_table.FindOrInsert(key.data(), key.size()) = value;
    }
    void Erase(const std::string& key) {
        const bool bRefErased = m_ref.erase(key) == 1;
        ASSERT_EQ(bRefErased, m_table.Erase(key.data(), key.size()));
    }
    void Clear() {
        m_ref.clear();
        m_table.Clear();
    }
    void ExpectSame(const std::string& context) const {
        ASSERT_EQ(m_ref.bucket_count(), m_table.BucketCount()) << context;
        ASSERT_EQ(m_ref.size(), m_table.Size()) << context;
        ASSERT_EQ(Contents(m_ref), Contents(m_table)) << context;
    }
    // Positions as a script reads them, checked against a walk of the reference.
    void ExpectPositions(const std::vector<uint32_t>& positions, const std::string& context) const {
        const Entries entries = Contents(m_ref);
        for (uint32_t uiPos : positions) {
            const std::string* pValue = m_table.At(uiPos);
            if (uiPos >= entries.size()) {
                ASSERT_EQ(pValue, nullptr) << context << " position " << uiPos;
            } else {
                ASSERT_NE(pValue, nullptr) << context << " position " << uiPos;
                ASSERT_EQ(*pValue, entries[uiPos].second) << context << " position " << uiPos;
            }
        }
    }
    size_t Size() const { return m_ref.size(); }

   private:
    RefMap m_ref;
    Table m_table;
};

std::vector<uint32_t> RandomPositions(std::mt19937& rng, size_t uiSize) {
    std::vector<uint32_t> positions;
    uint32_t uiPos = rng() % (uiSize + 2);
    for (int i = 0; i < 6; ++i) {
        switch (rng() % 4) {
            case 0:
                break;  // the same position again
            case 1:
                uiPos = rng() % (uiSize + 2);
                break;  // anywhere, past the end too
            case 2:
                uiPos = UINT32_MAX;
                break;  // a script's -1
            default:
                ++uiPos;
                break;  // the next one
        }
        positions.push_back(uiPos);
    }
    return positions;
}

void RunRandomSequence(uint32_t uiSeed, int iSteps, uint32_t uiSpread, int iEraseShare,
                       int iClearEvery) {
    SCOPED_TRACE("seed " + std::to_string(uiSeed));
    std::mt19937 rng(uiSeed);
    SideBySide tables;
    for (int iStep = 0; iStep < iSteps; ++iStep) {
        const std::string key = RandomKey(rng, uiSpread);
        const uint32_t uiOp = rng() % 100;
        if (iClearEvery > 0 && iStep % iClearEvery == iClearEvery - 1) {
            tables.Clear();
        } else if (uiOp < static_cast<uint32_t>(iEraseShare)) {
            tables.Erase(key);
        } else if (uiOp < 70) {
            tables.Set(key, std::to_string(iStep));
        } else {
            tables.Lookup(key);
        }
        if (::testing::Test::HasFatalFailure()) return;
        // Comparing the whole order at every step is quadratic; large tables are compared often
        // enough to catch any divergence close to where it starts.
        if (tables.Size() >= 300 && iStep % 16 != 0) continue;
        const std::string context = "step " + std::to_string(iStep) + " key '" + key + "'";
        tables.ExpectSame(context);
        tables.ExpectPositions(RandomPositions(rng, tables.Size()), context);
        if (::testing::Test::HasFatalFailure()) return;
    }
    tables.ExpectSame("end");
}

TEST(HashTableOrder, MatchesReferenceWhileGrowingThroughSeveralPrimes) {
    // Mostly inserts: crosses 193, 389, 769 and 1543 buckets.
    RunRandomSequence(20261208, 6000, 2000, 10, 0);
}

TEST(HashTableOrder, MatchesReferenceWithHeavyErasing) { RunRandomSequence(7, 5000, 300, 45, 0); }

TEST(HashTableOrder, MatchesReferenceAcrossClearsThatKeepTheBucketCount) {
    RunRandomSequence(99, 6000, 1500, 15, 1700);
}

TEST(HashTableOrder, ManySeedsOfShortSequences) {
    for (uint32_t uiSeed = 1; uiSeed <= 40; ++uiSeed) {
        RunRandomSequence(uiSeed, 400, 60, 30, 150);
        if (HasFatalFailure()) return;
    }
}

TEST(HashTableGrowth, GrowsOnTheLookupAfterTheTableIsFull) {
    Table table;
    for (int i = 0; i < 193; ++i) table.FindOrInsert(("k" + std::to_string(i)).c_str());
    EXPECT_EQ(table.BucketCount(), 193u);
    // Erasing and reading positions never grow.
    EXPECT_FALSE(table.Erase("absent"));
    EXPECT_EQ(table.At(192) != nullptr, true);
    EXPECT_EQ(table.BucketCount(), 193u);
    // A lookup of a present key grows too: the check comes before the search.
    table.FindOrInsert("k0");
    EXPECT_EQ(table.BucketCount(), 389u);
    EXPECT_EQ(table.Size(), 193u);
}

TEST(HashTableGrowth, ClearKeepsTheBucketCount) {
    Table table;
    for (int i = 0; i < 400; ++i) table.FindOrInsert(std::to_string(i).c_str());
    ASSERT_EQ(table.BucketCount(), 769u);
    table.Clear();
    EXPECT_EQ(table.Size(), 0u);
    EXPECT_EQ(table.BucketCount(), 769u);
    EXPECT_EQ(table.At(0), nullptr);
}

TEST(HashTableGrowth, BucketRequestsTakeTheNextListedPrime) {
    struct Row {
        uint64_t uiRequest;
        uint32_t uiPrime;
    };
    const Row rows[] = {{0, 5},
                        {5, 5},
                        {6, 53},
                        {100, 193},
                        {193, 193},
                        {194, 389},
                        {4294967291u, 4294967291u},
                        {4294967292u, 4294967291u}};
    for (const Row& row : rows) {
        EXPECT_EQ(hash_table_detail::PrimeFor(row.uiRequest), row.uiPrime)
            << "request " << row.uiRequest;
    }
}

TEST(HashTableHash, ReadsBytesAsSigned) {
    struct Row {
        std::string key;
        uint32_t uiHash;
    };
    const Row rows[] = {
        {"", 0u},
        {"a", 97u},
        {"oy", 676u},
        {"\x7f", 127u},
        {"\x80", 4294967168u},  // -128
        {"\xe9", 4294967273u},  // -23
        {"\xff", 4294967295u},  // -1
        {"\xff\xff", 4294967290u},
        {"key123", 5u * (5u * (5u * (5u * (5u * 107u + 101u) + 121u) + 49u) + 50u) + 51u},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(hash_table_detail::Hash(row.key.data(), row.key.size()), row.uiHash)
            << "key of " << row.key.size() << " bytes, first "
            << (row.key.empty() ? 0 : int(uint8_t(row.key[0])));
    }
}

TEST(HashTablePositions, CursorFollowsEveryChange) {
    Table table;
    for (const char* psz : {"a", "b", "c", "d"}) table.FindOrInsert(psz) = psz;
    ASSERT_EQ(*table.At(1), "b");
    table.Erase("b");
    ASSERT_EQ(*table.At(1), "c");
    table.FindOrInsert("b") = "B";
    ASSERT_EQ(*table.At(1), "B");
    ASSERT_EQ(*table.At(2), "c");
    table.Clear();
    EXPECT_EQ(table.At(0), nullptr);
    table.FindOrInsert("z") = "Z";
    ASSERT_EQ(*table.At(0), "Z");
}

TEST(HashTableSwap, ExchangesEntriesAndBucketCounts) {
    Table small;
    Table large(1000);
    small.FindOrInsert("x") = "1";
    large.FindOrInsert("y") = "2";
    ASSERT_EQ(*small.At(0), "1");
    small.Swap(large);
    EXPECT_EQ(small.BucketCount(), 1543u);
    EXPECT_EQ(large.BucketCount(), 193u);
    EXPECT_EQ(*small.At(0), "2");
    EXPECT_EQ(*large.At(0), "1");
}

}  // namespace
