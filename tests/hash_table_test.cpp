// The table against the container whose order scripts were built on, step by step.
#include "pool/hash_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "pool/pool_value.h"
#include "tests/support/counted_new.h"
#include "tests/support/reference.h"

namespace {

// The reference container with a 32-bit hash written apart from the table's.
using reference::RefMap;
using Table = CHashTable<CPoolValue>;
using reference::Entries;

// The entries of a reference or a table in order.
using reference::Contents;

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
        const CPoolValue& value = m_table.FindOrInsert(key.data(), key.size());
        ASSERT_EQ(refValue, std::string(value)) << "value of looked-up key differs";
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
    void Swap(SideBySide& other) {
        m_ref.swap(other.m_ref);
        m_table.Swap(other.m_table);
    }
    // The whole order, and every position read one after the other as a script walks a pool.
    void ExpectSame(const std::string& context) const {
        ASSERT_EQ(m_ref.bucket_count(), m_table.BucketCount()) << context;
        ASSERT_EQ(m_ref.size(), m_table.Size()) << context;
        const Entries entries = Contents(m_ref);
        ASSERT_EQ(entries, Contents(m_table)) << context;
        // Every other position is read as a walk of keys and values reads it: key, then value.
        for (uint32_t uiPos = 0; uiPos < entries.size(); ++uiPos) {
            if (uiPos % 2 == 0) ExpectKeyAt(uiPos, entries, context);
            const CPoolValue* pValue = m_table.At(uiPos);
            ASSERT_NE(pValue, nullptr) << context << " position " << uiPos;
            ASSERT_EQ(std::string(*pValue), entries[uiPos].second)
                << context << " position " << uiPos;
        }
        ASSERT_EQ(m_table.At(static_cast<uint32_t>(entries.size())), nullptr) << context;
        std::string_view svKey;
        ASSERT_FALSE(m_table.KeyAt(static_cast<uint32_t>(entries.size()), svKey)) << context;
    }
    void ExpectKeyAt(uint32_t uiPos, const Entries& entries, const std::string& context) const {
        std::string_view svKey;
        ASSERT_TRUE(m_table.KeyAt(uiPos, svKey)) << context << " key at " << uiPos;
        ASSERT_EQ(svKey, entries[uiPos].first) << context << " key at " << uiPos;
    }
    // Positions as a script reads them, checked against a walk of the reference.
    void ExpectPositions(const std::vector<uint32_t>& positions, const std::string& context) const {
        const Entries entries = Contents(m_ref);
        for (uint32_t uiPos : positions) {
            const CPoolValue* pValue = m_table.At(uiPos);
            if (uiPos >= entries.size()) {
                ASSERT_EQ(pValue, nullptr) << context << " position " << uiPos;
            } else {
                ASSERT_NE(pValue, nullptr) << context << " position " << uiPos;
                ASSERT_EQ(std::string(*pValue), entries[uiPos].second)
                    << context << " position " << uiPos;
                // The key after the value, from the cursor the value left.
                if (uiPos % 3 == 0) ExpectKeyAt(uiPos, entries, context);
            }
        }
    }
    size_t Size() const { return m_ref.size(); }
    const Table& Inner() const { return m_table; }
    Table& Inner() { return m_table; }
    RefMap& Ref() { return m_ref; }

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
            // Every fifth value is too long to live inside its entry.
            const std::string strValue =
                iStep % 5 == 0 ? std::string(16 + iStep % 40, 'v') + std::to_string(iStep)
                               : std::to_string(iStep);
            tables.Set(key, strValue);
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

// Keys of iBlocks two-byte blocks, each "Aa" or "B\\": 5 * 'A' + 'a' == 5 * 'B' + '\\', so all
// 2^iBlocks keys share one whole hash and one length, as keys with numbers in them do in
// groups. Such a chain moves to a single new bucket at every growth.
std::vector<std::string> OneHashKeys(int iBlocks) {
    std::vector<std::string> keys;
    for (uint32_t uiBits = 0; uiBits < (1u << iBlocks); ++uiBits) {
        std::string key;
        for (int i = 0; i < iBlocks; ++i) key += (uiBits >> i) & 1 ? "B\\" : "Aa";
        keys.push_back(key);
    }
    return keys;
}

// Positions read in random order, as a script picks a random entry, between inserts, erases that
// leave long runs of empty buckets, growths, clears and swaps of two tables whose positions have
// been read: every read after a change checks that the change reached the bucket counts.
TEST(HashTablePositions, RandomPositionsMatchReferenceThroughEveryChange) {
    const uint32_t uiSeed = 2718;
    SCOPED_TRACE("seed " + std::to_string(uiSeed));
    std::mt19937 rng(uiSeed);
    SideBySide tables[2];
    for (int iStep = 0; iStep < 12000; ++iStep) {
        SideBySide& side = tables[rng() % 2];
        const uint32_t uiOp = rng() % 1000;
        const std::string key = "k" + std::to_string(rng() % 3000);
        if (uiOp < 2) {
            side.Clear();
        } else if (uiOp < 6) {
            tables[0].Swap(tables[1]);
        } else if (uiOp < (iStep % 4000 < 2500 ? 600 : 250)) {
            side.Set(key, std::to_string(iStep));
        } else {
            side.Erase(key);
        }
        if (::testing::Test::HasFatalFailure()) return;
        std::vector<uint32_t> positions;
        for (int i = 0; i < 3; ++i) positions.push_back(rng() % (side.Size() + 1));
        const std::string context = "step " + std::to_string(iStep);
        side.ExpectPositions(positions, context);
        if (iStep % 500 == 0) side.ExpectSame(context);
        if (::testing::Test::HasFatalFailure()) return;
    }
    tables[0].ExpectSame("end, first table");
    tables[1].ExpectSame("end, second table");
}

TEST(HashTablePositions, SparseTableReadsEveryPositionInAnyOrder) {
    // 20 entries left in 49157 buckets: chains hundreds of buckets apart, read in order, backwards
    // and at random.
    SideBySide tables;
    for (int i = 0; i < 30000; ++i) tables.Set("key" + std::to_string(i), std::to_string(i));
    for (int i = 0; i < 30000; ++i) {
        if (i % 1500 != 7) tables.Erase("key" + std::to_string(i));
    }
    ASSERT_EQ(tables.Inner().BucketCount(), 49157u);
    ASSERT_EQ(tables.Size(), 20u);
    tables.ExpectSame("in order");
    std::vector<uint32_t> backwards;
    for (uint32_t uiPos = 21; uiPos-- > 0;) backwards.push_back(uiPos);
    tables.ExpectPositions(backwards, "backwards");
    std::mt19937 rng(5);
    std::vector<uint32_t> positions;
    for (int i = 0; i < 200; ++i) positions.push_back(rng() % 21);
    tables.ExpectPositions(positions, "at random");
}

TEST(HashTableOrder, MatchesReferenceWithLongChainsOfOneHash) {
    // 2048 keys of one hash make a chain longer than a growth's segment and than the buffers
    // that turn a kept chain around; keys of other hashes force growths up to 6151 buckets, and
    // some of them share the long chain's buckets on the way.
    const uint32_t uiSeed = 4242;
    SCOPED_TRACE("seed " + std::to_string(uiSeed));
    std::mt19937 rng(uiSeed);
    std::vector<std::string> oneHash = OneHashKeys(11);
    std::shuffle(oneHash.begin(), oneHash.end(), rng);
    SideBySide tables;
    size_t uiNext = 0;
    for (int iStep = 0; iStep < 7000; ++iStep) {
        const uint32_t uiOp = rng() % 100;
        const std::string& strOneHash = oneHash[rng() % oneHash.size()];
        if (uiOp < 40) {
            tables.Set(oneHash[uiNext++ % oneHash.size()], std::to_string(iStep));
        } else if (uiOp < 75) {
            tables.Set("n" + std::to_string(rng() % 4000), std::string(rng() % 30, 'w'));
        } else if (uiOp < 85) {
            tables.Erase(strOneHash);
        } else if (uiOp < 95) {
            tables.Lookup(strOneHash);
        } else {
            tables.Erase("n" + std::to_string(rng() % 4000));
        }
        if (::testing::Test::HasFatalFailure()) return;
        if (iStep % 97 != 0) continue;
        tables.ExpectSame("step " + std::to_string(iStep));
        if (::testing::Test::HasFatalFailure()) return;
    }
    tables.ExpectSame("end");
}

TEST(HashTableOrder, GrowthGathersChainsLargerThanASegment) {
    // In 193 buckets a key of 70000 zero bytes and the empty key (both hash 0) share bucket 0,
    // and "F'" (hash 389) lies in bucket 3; at 389 buckets all three meet in bucket 0, in one
    // block larger than any segment.
    SideBySide tables;
    tables.Set(std::string(70000, '\0'), "zeros");
    tables.Set("F'", "389");
    tables.Set("", "empty");
    for (int i = 0; tables.Size() < 193; ++i) tables.Set("k" + std::to_string(i), "v");
    tables.ExpectSame("before the growth");
    tables.Lookup("F'");
    tables.ExpectSame("after the growth");
    EXPECT_EQ(tables.Inner().BucketCount(), 389u);
}

TEST(HashTableOrder, MatchesReferenceThroughTheGrowthsOfALargeTable) {
    // From 32768 entries on, a growth asks for the memory it touches ahead of time; the growth
    // to 98317 buckets happens at 49157 entries, some way before the end.
    const uint32_t uiSeed = 777;
    SCOPED_TRACE("seed " + std::to_string(uiSeed));
    std::mt19937 rng(uiSeed);
    SideBySide tables;
    for (int i = 0; i < 60000; ++i) {
        const std::string key = rng() % 2 == 0 ? "key" + std::to_string(i)
                                               : RandomKey(rng, 1000000) + std::to_string(i);
        tables.Set(key, std::to_string(i));
        if (i % 7 == 0) tables.Erase("key" + std::to_string(rng() % (i + 1)));
        if (::testing::Test::HasFatalFailure()) return;
        if (i % 8192 == 0) tables.ExpectSame("insert " + std::to_string(i));
        if (::testing::Test::HasFatalFailure()) return;
    }
    tables.ExpectSame("end");
    EXPECT_EQ(tables.Inner().BucketCount(), 98317u);
}

// Every lookup that may allocate is tried with its first, second, ... allocation failing: each
// failure must leave the table exactly as it was, down to its bucket count and positions, and
// erasing, which shrinks blocks only when it can, must never fail.
TEST(HashTableMemory, FailedAllocationLeavesTheTableAsItWas) {
    const uint32_t uiSeed = 31337;
    SCOPED_TRACE("seed " + std::to_string(uiSeed));
    std::mt19937 rng(uiSeed);
    const std::vector<std::string> oneHash = OneHashKeys(7);
    SideBySide tables;
    for (int iStep = 0; iStep < 1600; ++iStep) {
        const uint32_t uiOp = rng() % 100;
        std::string key =
            uiOp % 3 == 0 ? oneHash[rng() % oneHash.size()] : "key" + std::to_string(rng() % 1200);
        if (uiOp < 20) {
            counted_new::AllocsLeft() = 0;
            const bool bErased = tables.Inner().Erase(key.data(), key.size());
            counted_new::AllocsLeft() = -1;
            ASSERT_EQ(bErased, tables.Ref().erase(key) == 1) << "step " << iStep;
            continue;
        }
        const Entries before = Contents(tables.Inner());
        const uint32_t uiBuckets = tables.Inner().BucketCount();
        for (long lAllowed = 0;; ++lAllowed) {
            counted_new::AllocsLeft() = lAllowed;
            bool bDone = true;
            try {
                tables.Inner().FindOrInsert(key.data(), key.size());
            } catch (const std::bad_alloc&) {
                bDone = false;
            }
            counted_new::AllocsLeft() = -1;
            if (bDone) break;
            ASSERT_EQ(Contents(tables.Inner()), before)
                << "step " << iStep << " after " << lAllowed << " allocations";
            ASSERT_EQ(tables.Inner().BucketCount(), uiBuckets) << "step " << iStep;
            ASSERT_LT(lAllowed, 100) << "step " << iStep;
        }
        tables.Ref()[key];
        tables.Set(key, std::to_string(iStep));
        if (iStep % 50 == 0) tables.ExpectSame("step " + std::to_string(iStep));
        if (::testing::Test::HasFatalFailure()) return;
    }
    tables.ExpectSame("end");
    EXPECT_GE(tables.Inner().BucketCount(), 769u);
}

// Reading a position never fails: without memory for the index, positions are found by walking
// the chains, and the index is built on a later read that has memory.
TEST(HashTableMemory, PositionsAreReadWithoutMemoryForTheIndex) {
    const uint32_t uiSeed = 1618;
    SCOPED_TRACE("seed " + std::to_string(uiSeed));
    std::mt19937 rng(uiSeed);
    SideBySide tables;
    for (int iRound = 0; iRound < 40; ++iRound) {
        for (int i = 0; i < 60; ++i) {
            const std::string key = "k" + std::to_string(rng() % 1500);
            if (rng() % 3 == 0) {
                tables.Erase(key);
            } else {
                tables.Set(key, std::to_string(iRound));
            }
        }
        const std::string context = "round " + std::to_string(iRound);
        std::vector<uint32_t> positions;
        for (int i = 0; i < 8; ++i) positions.push_back(rng() % (tables.Size() + 1));
        const Entries entries = Contents(tables.Ref());
        for (uint32_t uiPos : positions) {
            std::string_view svKey;
            counted_new::AllocsLeft() = 0;
            const CPoolValue* pValue = tables.Inner().At(uiPos);
            const bool bKey = tables.Inner().KeyAt(uiPos, svKey);
            counted_new::AllocsLeft() = -1;
            ASSERT_EQ(pValue != nullptr, uiPos < entries.size()) << context << " at " << uiPos;
            ASSERT_EQ(bKey, uiPos < entries.size()) << context << " at " << uiPos;
            if (pValue == nullptr) continue;
            ASSERT_EQ(std::string(*pValue), entries[uiPos].second) << context << " at " << uiPos;
            ASSERT_EQ(svKey, entries[uiPos].first) << context << " at " << uiPos;
        }
        // Every third round the index is built and then kept through the next round's changes.
        if (iRound % 3 == 0) tables.ExpectPositions(positions, context + " with memory");
        if (::testing::Test::HasFatalFailure()) return;
    }
    tables.ExpectSame("end");
}

TEST(HashTableMemory, OnlyPositionsReadOutOfOrderTakeMemory) {
    // Single bytes 1 to 120 lie in buckets 1 to 120 of 193, none far from the one before: reading
    // them in order needs no index, and going back builds it once.
    Table table;
    for (int i = 1; i <= 120; ++i) table.FindOrInsert(std::string(1, static_cast<char>(i)).c_str());
    const long lFilled = counted_new::Live();
    for (uint32_t uiPos = 0; uiPos < 120; ++uiPos) ASSERT_NE(table.At(uiPos), nullptr);
    EXPECT_EQ(counted_new::Live(), lFilled);
    ASSERT_NE(table.At(3), nullptr);
    EXPECT_EQ(counted_new::Live(), lFilled + 1);
    ASSERT_NE(table.At(100), nullptr);
    table.Erase("\x05");
    table.FindOrInsert("\x05");
    EXPECT_EQ(counted_new::Live(), lFilled + 1);
}

TEST(HashTableMemory, EveryAllocationIsFreedHoweverTheEntriesLeave) {
    // Entries leave by erasing, by clearing, by a swap or with the table; blocks, segments and
    // bucket arrays must all go back, also those of a table that erasing has emptied.
    const std::vector<std::string> oneHash = OneHashKeys(8);
    const long lBefore = counted_new::Live();
    {
        Table erased;
        Table cleared;
        Table swapped(1000);
        for (int i = 0; i < 3000; ++i) {
            const std::string key = i % 3 == 0 ? oneHash[static_cast<size_t>(i) % oneHash.size()]
                                               : "key" + std::to_string(i);
            erased.FindOrInsert(key.data(), key.size()) =
                std::string(static_cast<size_t>(i % 40), 'v');
            cleared.FindOrInsert(key.data(), key.size()) = "v";
            swapped.FindOrInsert(key.data(), key.size()) = std::string(20, 's');
        }
        // Positions read out of order give each table an index too.
        for (Table* pTable : {&erased, &cleared, &swapped}) ASSERT_NE(pTable->At(1500), nullptr);
        for (int i = 0; i < 3000; ++i) {
            const std::string key = i % 3 == 0 ? oneHash[static_cast<size_t>(i) % oneHash.size()]
                                               : "key" + std::to_string(i);
            erased.Erase(key.data(), key.size());
        }
        EXPECT_EQ(erased.Size(), 0u);
        cleared.Clear();
        cleared.FindOrInsert("again") = "v";
        swapped.Swap(cleared);
    }
    EXPECT_EQ(counted_new::Live(), lBefore);
}

TEST(HashTableMemory, KeysComingAndGoingWithoutGrowthDoNotGatherMemory) {
    // 150 keys in 193 buckets, one replaced by a new key again and again: the table never
    // grows, and the first keys of new chains must stop taking segments at some point.
    Table table;
    for (int i = 0; i < 150; ++i) table.FindOrInsert(("k" + std::to_string(i)).c_str()) = "v";
    int iNext = 150;
    const auto churn = [&](int iRounds) {
        for (int i = 0; i < iRounds; ++i, ++iNext) {
            table.Erase(("k" + std::to_string(iNext - 150)).c_str());
            table.FindOrInsert(("k" + std::to_string(iNext)).c_str()) = "v";
        }
    };
    churn(20000);
    const long lSettled = counted_new::Live();
    churn(100000);
    EXPECT_LE(counted_new::Live(), lSettled + 8);
    EXPECT_EQ(table.Size(), 150u);
    EXPECT_EQ(table.BucketCount(), 193u);
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
