// Pool operations: where entries land, when the table grows, and what counters store.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pool/hash_pool.h"

namespace {

std::vector<std::string> Values(const CHashPool& pool) {
    std::vector<std::string> values;
    for (uint32_t i = 0; i < pool.Entries().Size(); ++i) values.emplace_back(pool.GetIndex(i));
    return values;
}

TEST(PoolNew, StartsEmptyWithTheDefaultBuckets) {
    CHashPool pool("p");
    EXPECT_EQ(pool.Entries().Size(), 0u);
    EXPECT_EQ(pool.Entries().BucketCount(), 193u);
    EXPECT_STREQ(pool.GetIndex(0), "");
    EXPECT_STREQ(pool.GetIndex(4294967295u), "");
    EXPECT_STREQ(pool.File(), "");
    EXPECT_STREQ(pool.Name(), "p");
}

TEST(PoolNew, KeepsTheFirst127BytesOfALongName) {
    const std::string name(200, 'n');
    CHashPool pool(name.c_str());
    EXPECT_EQ(std::string(pool.Name()), name.substr(0, 127));
}

// Entries as "key=value", in the pool's order.
std::vector<std::string> Shown(const CHashPool& pool) {
    std::vector<std::string> entries;
    pool.Entries().ForEach([&](const char* pKey, size_t uiLen, const CHashPool::Value& value) {
        entries.push_back(std::string(pKey, uiLen) + "=" + std::string(value));
    });
    return entries;
}

struct OrderCase {
    const char* pszCase;
    // "+key=value" adds, "-key" deletes (which gives true whether or not the key was there).
    std::vector<std::string> aSteps;
    std::vector<std::string> aOrder;
};

// Where entries land, pinned by hand beside the random sequences checked against the reference
// container: bucket order by hash, the newest key at the head of its chain.
TEST(PoolOrder, FollowsBucketsAndChainHeads) {
    const OrderCase CASES[] = {
        {"one-byte keys lie in their own buckets", {"+b=B", "+a=A"}, {"a=A", "b=B"}},
        {"the later of two keys in a bucket comes first", {"+a=A", "+oy=OY"}, {"oy=OY", "a=A"}},
        {"the later of two keys, the other way", {"+oy=OY", "+a=A"}, {"a=A", "oy=OY"}},
        // 0xE9 hashes to 2^32 - 23, bucket 85 of 193: between "T" (84) and "V" (86), not near
        // "(" (40), where an unsigned reading would put it.
        {"high bytes count as negative",
         {"+V=86", "+\xe9=85", "+T=84", "+(=40"},
         {"(=40", "T=84", "\xe9=85", "V=86"}},
        {"the empty key comes first", {"+z=Z", "+=empty"}, {"=empty", "z=Z"}},
        {"a re-added key goes to the head of its chain",
         {"+a=A", "+oy=OY", "-a", "+a=A2"},
         {"a=A2", "oy=OY"}},
        {"adding a present key keeps its position", {"+a=1", "+oy=2", "+a=3"}, {"oy=2", "a=3"}},
        {"a delete moves later positions forward",
         {"+a=a", "+b=b", "+c=c", "+d=d", "-b", "-missing"},
         {"a=a", "c=c", "d=d"}},
    };
    for (const OrderCase& orderCase : CASES) {
        SCOPED_TRACE(orderCase.pszCase);
        CHashPool pool("p");
        for (const std::string& strStep : orderCase.aSteps) {
            const size_t uiEquals = strStep.find('=');
            const std::string strKey = strStep.substr(1, uiEquals - 1);
            if (strStep[0] == '-') {
                EXPECT_TRUE(pool.Del(strKey.c_str()));
            } else {
                pool.Add(strKey.c_str(), strStep.substr(uiEquals + 1).c_str());
            }
        }
        EXPECT_EQ(Shown(pool), orderCase.aOrder);
    }
}

TEST(PoolGet, MissingKeyIsInsertedWithAnEmptyValue) {
    CHashPool pool("p");
    pool.Add("b", "B");
    EXPECT_STREQ(pool.Get("a"), "");
    EXPECT_EQ(pool.Entries().Size(), 2u);
    EXPECT_EQ(Values(pool), (std::vector<std::string>{"", "B"}));
}

// Fills a fresh pool with 193 entries: the table is full but has not grown.
void FillToCapacity(CHashPool& pool) {
    for (int i = 0; i < 193; ++i) pool.Add(("k" + std::to_string(i)).c_str(), "v");
    ASSERT_EQ(pool.Entries().BucketCount(), 193u);
}

TEST(PoolGrowth, EveryLookupOfAFullTableGrowsIt) {
    struct Row {
        const char* pszOp;
        bool bGrows;
    };
    const Row rows[] = {{"Add", true}, {"Get", true},  {"Inc", true},
                        {"Dec", true}, {"Del", false}, {"GetIndex", false}};
    for (const Row& row : rows) {
        CHashPool pool("p");
        FillToCapacity(pool);
        const std::string op = row.pszOp;
        if (op == "Add") pool.Add("k5", "x");
        if (op == "Get") pool.Get("k5");
        if (op == "Inc") pool.Inc("k5", 1);
        if (op == "Dec") pool.Dec("k5", 1);
        if (op == "Del") pool.Del("absent");
        if (op == "GetIndex") pool.GetIndex(3);
        EXPECT_EQ(pool.Entries().BucketCount(), row.bGrows ? 389u : 193u) << op;
    }
}

TEST(PoolGrowth, IncOfAMissingKeyGrowsWithinTheSameCall) {
    CHashPool pool("p");
    for (int i = 0; i < 192; ++i) pool.Add(("k" + std::to_string(i)).c_str(), "v");
    pool.Inc("new", 1);
    EXPECT_EQ(pool.Entries().Size(), 193u);
    EXPECT_EQ(pool.Entries().BucketCount(), 389u);
    EXPECT_STREQ(pool.Get("new"), "1");
}

// Counters count in the width of the calling VM's integers: every row runs in 32 bits (the
// amount cut to 32 bits) and in 64 bits, on every target.
TEST(PoolCounters, StoreTheDocumentedResultsInEitherWidth) {
    struct Row {
        const char* pszStart;  // null: the key is missing
        bool bInc;
        int64_t iAmount;
        bool bResult;
        const char* pszEnd32;
        const char* pszEnd64;
    };
    const Row rows[] = {
        {nullptr, true, 1, true, "1", "1"},
        {"", true, 1, true, "1", "1"},
        {nullptr, false, 1, true, "-1", "-1"},
        {"5", true, 3, true, "8", "8"},
        {"007", true, 1, true, "8", "8"},
        {"5", false, -5, true, "10", "10"},
        {"2147483647", true, 1, true, "-2147483648", "2147483648"},
        {"99999999999", true, 1, true, "-2147483648", "100000000000"},
        {"", true, 4294967295, true, "-1", "4294967295"},
        {"3", true, 4294967295, true, "2", "4294967298"},
        {"3", false, 1, true, "2", "2"},
        {"0", false, 1, true, "-1", "-1"},
        {"", false, -2147483648LL, true, "-2147483648", "2147483648"},
        {"9223372036854775807", true, 1, true, "-2147483648", "-9223372036854775808"},
        {"99999999999999999999", true, 1, true, "-2147483648", "-9223372036854775808"},
        {"", false, INT64_MIN, true, "0", "-9223372036854775808"},
        {"1", true, INT64_MAX, true, "0", "-9223372036854775808"},
        {"abc", true, 1, false, "abc", "abc"},
        {"1.500000", true, 1, false, "1.500000", "1.500000"},
        {"-1", true, 1, false, "-1", "-1"},
        {"-1", false, 1, false, "-1", "-1"},
        {"+1", true, 1, false, "+1", "+1"},
        {" 12", true, 1, false, " 12", " 12"},
    };
    for (const Row& row : rows) {
        for (const bool b64 : {false, true}) {
            CHashPool pool("p");
            if (row.pszStart != nullptr) pool.Add("c", row.pszStart);
            bool bResult = false;
            if (b64) {
                bResult = row.bInc ? pool.Inc<int64_t>("c", static_cast<uint64_t>(row.iAmount))
                                   : pool.Dec<int64_t>("c", row.iAmount);
            } else {
                bResult = row.bInc ? pool.Inc("c", static_cast<uint32_t>(row.iAmount))
                                   : pool.Dec("c", static_cast<int32_t>(row.iAmount));
            }
            const std::string context = std::string(b64 ? "64-bit " : "32-bit ") +
                                        (row.bInc ? "Inc " : "Dec ") + std::to_string(row.iAmount) +
                                        " of '" + (row.pszStart ? row.pszStart : "<missing>") + "'";
            EXPECT_EQ(bResult, row.bResult) << context;
            EXPECT_STREQ(pool.Get("c"), b64 ? row.pszEnd64 : row.pszEnd32) << context;
        }
    }
}

TEST(PoolCounters, ReadLongDigitValuesWhole) {
    CHashPool pool("p");
    // 200 digits: far above the largest integer, read whole and saturated.
    pool.Add("long", std::string(200, '1').c_str());
    EXPECT_TRUE(pool.Inc("long", 1));
    EXPECT_STREQ(pool.Get("long"), "-2147483648");
    // A non-digit at byte 150 must be seen, not cut off by a short working copy.
    std::string value(200, '2');
    value[150] = 'x';
    pool.Add("mixed", value.c_str());
    EXPECT_FALSE(pool.Inc("mixed", 1));
    EXPECT_EQ(std::string(pool.Get("mixed")), value);
    // Leading zeros do not count towards the size of the number.
    pool.Add("zeros", (std::string(300, '0') + "41").c_str());
    EXPECT_TRUE(pool.Inc("zeros", 1));
    EXPECT_STREQ(pool.Get("zeros"), "42");
}

TEST(PoolCounters, KeepTheKeysPositionAndTheOtherEntries) {
    CHashPool pool("p");
    pool.Add("a", "1");
    pool.Add("oy", "2");
    pool.Inc("a", 10);
    pool.Dec("oy", 1);
    EXPECT_EQ(Values(pool), (std::vector<std::string>{"1", "11"}));
}

TEST(PoolFile, PathsUpTo249BytesAreKeptWhole) {
    CHashPool pool("p");
    const std::string fits(249, 'f');
    EXPECT_TRUE(pool.SetFile(fits.c_str()));
    EXPECT_EQ(std::string(pool.File()), fits);
    EXPECT_FALSE(pool.SetFile(std::string(250, 'g').c_str()));
    EXPECT_STREQ(pool.File(), "");
    EXPECT_TRUE(pool.SetFile(""));
    EXPECT_STREQ(pool.File(), "");
}

}  // namespace

namespace {

std::string Text(size_t uiLen, char cFirst) {
    std::string str;
    for (size_t i = 0; i < uiLen; ++i) str += static_cast<char>(cFirst + i % 26);
    return str;
}

// A value reads back as the text it was given, zero-terminated, whatever its form.
void ExpectHolds(const CPoolValue& value, const std::string& strText) {
    EXPECT_EQ(std::string(value), strText);
    EXPECT_EQ(value.Size(), strText.size());
    EXPECT_EQ(value.Empty(), strText.empty());
    EXPECT_EQ(value.CStr()[strText.size()], '\0');
    EXPECT_EQ(std::string(value.CStr()), strText);
}

}  // namespace

TEST(PoolValue, HoldsTextsOfEveryLengthAroundTheInlineLimit) {
    for (size_t uiFirst = 0; uiFirst <= 2 * CPoolValue::SIZE; ++uiFirst) {
        for (size_t uiSecond : {size_t{0}, size_t{1}, CPoolValue::INLINE_MAX,
                                CPoolValue::INLINE_MAX + 1, size_t{100}}) {
            SCOPED_TRACE(::testing::Message() << uiFirst << " then " << uiSecond << " bytes");
            CPoolValue value{Text(uiFirst, 'a')};
            ExpectHolds(value, Text(uiFirst, 'a'));
            value.Assign(Text(uiSecond, 'A'));
            ExpectHolds(value, Text(uiSecond, 'A'));
        }
    }
}

TEST(PoolValue, AssignsFromItsOwnText) {
    for (size_t uiLen :
         {size_t{3}, CPoolValue::INLINE_MAX, CPoolValue::INLINE_MAX + 1, size_t{40}}) {
        SCOPED_TRACE(::testing::Message() << uiLen << " bytes");
        const std::string strText = Text(uiLen, 'a');
        CPoolValue value{strText};
        value.Assign(std::string_view(value));
        ExpectHolds(value, strText);
        value.Assign(std::string_view(value).substr(1));
        ExpectHolds(value, strText.substr(1));
        value.Assign(std::string_view(value).substr(0, 2));
        ExpectHolds(value, strText.substr(1, 2));
    }
}

TEST(PoolValue, MovingLeavesTheSourceEmpty) {
    for (size_t uiLen : {size_t{5}, size_t{50}}) {
        CPoolValue source{Text(uiLen, 'm')};
        CPoolValue moved{std::move(source)};
        ExpectHolds(moved, Text(uiLen, 'm'));
        ExpectHolds(source, "");
        CPoolValue target{Text(60, 't')};
        target = std::move(moved);
        ExpectHolds(target, Text(uiLen, 'm'));
        ExpectHolds(moved, "");
    }
}
