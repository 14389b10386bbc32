// Pool files: the reader on odd inputs, round trips, and saves and loads under real faults.
#include "pool/pool_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "pool/hash_pool.h"
#include "tests/pool_file_test.h"
#include "tests/support/counted_new.h"
#include "tests/support/files.h"
#include "tests/support/hash_pool_test_access.h"
#include "tests/support/reference.h"

using namespace std::string_literals;

namespace pool_file_test {

static bool Storable(const std::string& strText) {
    return !strText.empty() && strText.find('\n') == std::string::npos &&
           strText.find('\0') == std::string::npos;
}

std::string ExpectedBytes(const CHashPool::Table& table) {
    std::string strBytes;
    for (const auto& [strKey, strValue] : reference::Contents(table)) {
        if (Storable(strKey) && Storable(strValue)) strBytes += strKey + "\n" + strValue + "\n";
    }
    return strBytes;
}

void Fill(CHashPool& pool, const std::string& strPrefix, int iCount, size_t uiValueLen) {
    for (int i = 0; i < iCount; ++i) {
        const std::string strKey = strPrefix + std::to_string(i);
        pool.Add(strKey.c_str(), std::string(uiValueLen, static_cast<char>('a' + i % 26)).c_str());
    }
}

std::string SavedBytes(CHashPool& pool) {
    CTempDir dir;
    const std::string strOld = pool.File();
    pool.SetFile(dir.File("copy").c_str());
    EXPECT_TRUE(pool.Save());
    std::string strBytes = FileBytes(dir.File("copy"));
    pool.SetFile(strOld.c_str());
    return strBytes;
}

void ExpectLoadFailuresKeepEntries(const std::vector<std::pair<std::string, std::string>>& rows,
                                   const Runner& fnRun) {
    CHashPool pool("kept");
    Fill(pool, "key", 250, 5);
    const Entries before = reference::Contents(pool.Entries());
    const uint32_t uiBuckets = pool.Entries().BucketCount();
    for (const auto& [strName, strPath] : rows) {
        auto load = [&, &strPath = strPath]() {
            pool.SetFile(strPath.c_str());
            if (pool.Load()) return 1;
            const bool bKept = reference::Contents(pool.Entries()) == before &&
                               pool.Entries().BucketCount() == uiBuckets;
            return bKept ? 0 : 2;
        };
        const int iStatus = fnRun(load);
        EXPECT_EQ(iStatus, 0) << strName
                              << ": 1 = load succeeded, 2 = entries changed, 142 = blocked";
    }
}

}  // namespace pool_file_test

using namespace pool_file_test;

namespace {

constexpr size_t READ_BUFFER_SIZE = CPoolFile::READ_BUFFER_SIZE;
constexpr size_t WRITE_BUFFER_SIZE = CPoolFile::WRITE_BUFFER_SIZE;

// The order that inserting the records in file order gives in a table of that bucket count.
Entries InsertedInOrder(const Entries& records, uint32_t uiBuckets) {
    CHashPool::Table table(uiBuckets);
    for (const auto& [strKey, strValue] : records) {
        table.FindOrInsert(strKey.data(), strKey.size()) = strValue;
    }
    return reference::Contents(table);
}

Entries StorableEntries(const CHashPool::Table& table) {
    Entries kept;
    for (const auto& entry : reference::Contents(table)) {
        if (Storable(entry.first) && Storable(entry.second)) kept.push_back(entry);
    }
    return kept;
}

struct ReaderRow {
    std::string strName;
    std::string strInput;
    Entries expected;
};

std::ostream& operator<<(std::ostream& os, const ReaderRow& row) {
    return os << "row '" << row.strName << "' (" << row.strInput.size() << " input bytes)";
}

std::vector<ReaderRow> ReaderRows() {
    std::vector<ReaderRow> rows = {
        {"zero-byte file", "", {}},
        {"lone line feeds", "\n\n\n", {}},
        {"blank lines where keys are expected",
         "\n\nk\nv\n\n\nk2\nv2\n",
         {{"k", "v"}, {"k2", "v2"}}},
        {"blank line where a value is expected", "k\n\nk2\nv2\n", {{"k", ""}, {"k2", "v2"}}},
        {"CRLF line ends stay in the text", "a\r\nb\r\n\r\nv\n", {{"a\r", "b\r"}, {"\r", "v"}}},
        {"duplicated key keeps its first place", "a\n1\nb\n2\na\n3\n", {{"a", "3"}, {"b", "2"}}},
        {"last line without line feed keeps every byte", "a\nxyz", {{"a", "xyz"}}},
        {"key at end of file is dropped", "a\n1\nb\n", {{"a", "1"}}},
        {"key at end without line feed is dropped", "a\n1\nb", {{"a", "1"}}},
        {"zero bytes end a line's text", "k\0junk\nv\0x\n"s, {{"k", "v"}}},
        {"key line starting with a zero byte is blank", "\0abc\nk\nv\n"s, {{"k", "v"}}},
        {"value line starting with a zero byte is empty", "k\n\0zz\n"s, {{"k", ""}}},
        {"last line ending in a zero byte", "k\nv\0"s, {{"k", "v"}}},
        {"high bytes", "\xff\xfe\n\x80\n", {{"\xff\xfe", "\x80"}}},
    };
    ReaderRow old{"lines around 126 to 129 bytes", "", {}};
    for (size_t uiLen = 125; uiLen <= 129; ++uiLen) {
        old.expected.emplace_back(std::string(uiLen, 'k') + std::to_string(uiLen),
                                  std::string(uiLen, 'v'));
    }
    for (const auto& [strKey, strValue] : old.expected)
        old.strInput += strKey + "\n" + strValue + "\n";
    rows.push_back(old);
    // The first line's line end falls just before, on and after the end of the first read.
    for (size_t uiLen : {READ_BUFFER_SIZE - 2, READ_BUFFER_SIZE - 1, READ_BUFFER_SIZE,
                         READ_BUFFER_SIZE + 1, 2 * READ_BUFFER_SIZE}) {
        const std::string strLong(uiLen, 'L');
        rows.push_back({"lines of " + std::to_string(uiLen) + " bytes",
                        strLong + "\nv\nk\n" + strLong + "\n",
                        {{strLong, "v"}, {"k", strLong}}});
    }
    std::string strCut(READ_BUFFER_SIZE + 10, 'c');
    strCut[READ_BUFFER_SIZE - 1] = '\0';
    rows.push_back({"zero byte in a line longer than the buffer",
                    strCut + "\nv\n",
                    {{std::string(READ_BUFFER_SIZE - 1, 'c'), "v"}}});
    return rows;
}

}  // namespace

// Each row is parsed whole, a byte at a time, in random pieces and through a real file; all four
// must agree with the expected records inserted in file order.
TEST(PoolFileReader, ParsesOddInputsTheSameInAnyPieces) {
    const uint32_t uiSeed = 1234567;
    std::mt19937 rng(uiSeed);
    CTempDir dir;
    for (const ReaderRow& row : ReaderRows()) {
        SCOPED_TRACE(::testing::Message() << row << ", seed " << uiSeed);
        const Entries expected = InsertedInOrder(row.expected, 193);

        CHashPool::Table whole(100);
        CPoolReader wholeReader(whole);
        wholeReader.Feed(row.strInput.data(), row.strInput.size());
        wholeReader.Finish();
        EXPECT_EQ(reference::Contents(whole), expected);

        CHashPool::Table bytewise(100);
        CPoolReader bytewiseReader(bytewise);
        for (char c : row.strInput) bytewiseReader.Feed(&c, 1);
        bytewiseReader.Finish();
        EXPECT_EQ(reference::Contents(bytewise), expected);

        CHashPool::Table pieces(100);
        CPoolReader piecesReader(pieces);
        for (size_t uiAt = 0; uiAt < row.strInput.size();) {
            const size_t uiLen = std::min<size_t>(rng() % 300, row.strInput.size() - uiAt);
            piecesReader.Feed(row.strInput.data() + uiAt, uiLen);
            uiAt += uiLen;
        }
        piecesReader.Finish();
        EXPECT_EQ(reference::Contents(pieces), expected);

        ASSERT_TRUE(WriteWholeFile(dir.File("row.pool"), row.strInput));
        CHashPool pool("rows");
        pool.Add("stale", "entry");
        pool.SetFile(dir.File("row.pool").c_str());
        EXPECT_TRUE(pool.Load());
        EXPECT_EQ(reference::Contents(pool.Entries()), expected);
    }
}

TEST(PoolFileRoundTrip, KeepsEveryStorableEntryInFileOrder) {
    const uint32_t uiSeed = 20240611;
    std::mt19937 rng(uiSeed);
    // Bytes from every class that matters: plain text, carriage returns, bytes above 0x7F, and
    // line feeds that the writer must leave out.
    const std::string strAlphabet = "abcXYZ019 \r\x80\xe9\xff\x01\t\n";
    auto text = [&]() {
        const uint32_t uiRoll = rng() % 20;
        const size_t uiLen = uiRoll == 0 ? 0 : uiRoll < 16 ? rng() % 40 : rng() % 2001;
        std::string str(uiLen, 'x');
        for (char& c : str) {
            c = rng() % 50 == 0 ? '\n' : strAlphabet[rng() % (strAlphabet.size() - 1)];
        }
        return str;
    };
    CTempDir dir;
    for (int iRound = 0; iRound < 12; ++iRound) {
        SCOPED_TRACE(::testing::Message() << "seed " << uiSeed << ", round " << iRound);
        CHashPool pool("trip");
        const uint32_t uiCount = rng() % 400;
        for (uint32_t i = 0; i < uiCount; ++i) {
            const std::string strKey = text();
            if (rng() % 40 == 0) {
                // Only the table itself can hold a zero byte; it would not read back.
                CHashPoolTestAccess::Entries(pool).FindOrInsert((strKey + "\0z"s).data(),
                                                                strKey.size() + 2) = "v";
            } else {
                pool.Add(strKey.c_str(), text().c_str());
            }
        }
        const std::string strPath = dir.File("trip" + std::to_string(iRound) + ".pool");
        pool.SetFile(strPath.c_str());
        ASSERT_TRUE(pool.Save());
        const std::string strBytes = FileBytes(strPath);
        EXPECT_EQ(strBytes, ExpectedBytes(pool.Entries()));
        ASSERT_TRUE(pool.Save());
        EXPECT_EQ(FileBytes(strPath), strBytes);

        // The loading pool has grown past the default bucket count to show that it keeps it.
        CHashPool loaded("loaded");
        Fill(loaded, "old", static_cast<int>(rng() % 500), 3);
        const uint32_t uiBuckets = loaded.Entries().BucketCount();
        loaded.SetFile(strPath.c_str());
        ASSERT_TRUE(loaded.Load());
        EXPECT_EQ(reference::Contents(loaded.Entries()),
                  InsertedInOrder(StorableEntries(pool.Entries()), uiBuckets));
        EXPECT_GE(loaded.Entries().BucketCount(), uiBuckets);
        EXPECT_EQ(ListDir(dir.Path()).size(), static_cast<size_t>(iRound + 1));
    }
}

// The writer tests a text in pieces that depend on its length: a line end or a zero byte at any
// place of a key or value of 1 to 24 bytes leaves the entry out, and the clean entries around it
// are written whole.
TEST(PoolFileRoundTrip, LeavesOutEveryTextWithALineEndOrZeroAnywhere) {
    CTempDir dir;
    CHashPool pool("places");
    for (size_t uiLen = 1; uiLen <= 24; ++uiLen) {
        for (size_t uiAt = 0; uiAt < uiLen; ++uiAt) {
            const std::string strTag = std::to_string(uiLen) + "." + std::to_string(uiAt);
            std::string strText(uiLen, 'a');
            strText[uiAt] = '\n';
            pool.Add(("k" + strTag).c_str(), strText.c_str());
            pool.Add((strText + strTag).c_str(), "v");
            strText[uiAt] = '\0';
            CHashPoolTestAccess::Entries(pool).FindOrInsert(strText.data(), strText.size()) = "z";
            CHashPoolTestAccess::Entries(pool)
                .FindOrInsert(("z" + strTag).c_str())
                .Assign(std::string_view(strText));
            pool.Add(("clean" + strTag).c_str(), std::string(uiLen, 'c').c_str());
        }
    }
    pool.SetFile(dir.File("places.pool").c_str());
    ASSERT_TRUE(pool.Save());
    const std::string strBytes = FileBytes(dir.File("places.pool"));
    EXPECT_EQ(strBytes, ExpectedBytes(pool.Entries()));
    EXPECT_EQ(strBytes.find('\0'), std::string::npos);
}

// Keys and values of any length go out and come back whole, also where a piece of a record meets
// or passes the end of the write buffer or of a read.
TEST(PoolFileRoundTrip, KeepsLinesAroundBufferSizesWhole) {
    CTempDir dir;
    CHashPool pool("long");
    for (size_t uiSize : {WRITE_BUFFER_SIZE, READ_BUFFER_SIZE}) {
        for (size_t uiLen : {uiSize - 2, uiSize - 1, uiSize, uiSize + 1, 2 * uiSize}) {
            const std::string strLen = std::to_string(uiLen);
            pool.Add((std::string(uiLen, 'K') + strLen).c_str(), "v");
            pool.Add(("k" + strLen).c_str(), std::string(uiLen, 'V').c_str());
            pool.Add(("pad" + strLen).c_str(), std::string(uiLen % 97, 'p').c_str());
        }
    }
    pool.SetFile(dir.File("long.pool").c_str());
    ASSERT_TRUE(pool.Save());
    EXPECT_EQ(FileBytes(dir.File("long.pool")), ExpectedBytes(pool.Entries()));
    CHashPool loaded("loaded");
    loaded.SetFile(dir.File("long.pool").c_str());
    ASSERT_TRUE(loaded.Load());
    EXPECT_EQ(reference::Contents(loaded.Entries()),
              InsertedInOrder(StorableEntries(pool.Entries()), 193));
}

TEST(PoolFileRoundTrip, EmptyPoolSavesZeroBytes) {
    CTempDir dir;
    CHashPool pool("empty");
    pool.Get("no value");
    pool.SetFile(dir.File("empty.pool").c_str());
    ASSERT_TRUE(pool.Save());
    EXPECT_EQ(FileBytes(dir.File("empty.pool")), "");
    EXPECT_TRUE(pool.Load());
    EXPECT_EQ(pool.Entries().Size(), 0u);
}

TEST(PoolFileLoad, KeepsReachedBucketCountAndClearThenInsertOrder) {
    CTempDir dir;
    Entries records;
    for (int i = 0; i < 300; ++i) records.emplace_back("k" + std::to_string(i * 7), "v");
    records.emplace_back("k0", "again");
    std::string strFile;
    for (const auto& [strKey, strValue] : records) strFile += strKey + "\n" + strValue + "\n";
    ASSERT_TRUE(WriteWholeFile(dir.File("p.pool"), strFile));

    // 400 entries grow the table to 769 buckets; the 300 records then fit without growing.
    // A pool still at 193 buckets grows while loading them, exactly as the inserts would.
    for (int iEntries : {400, 0}) {
        SCOPED_TRACE(iEntries);
        CHashPool pool("grown");
        CHashPool::Table reference(100);
        for (int i = 0; i < iEntries; ++i) {
            const std::string strKey = "k" + std::to_string(i);
            pool.Add(strKey.c_str(), "old");
            reference.FindOrInsert(strKey.c_str()) = "old";
        }
        reference.Clear();
        for (const auto& [strKey, strValue] : records) {
            reference.FindOrInsert(strKey.c_str()) = strValue;
        }
        pool.SetFile(dir.File("p.pool").c_str());
        ASSERT_TRUE(pool.Load());
        EXPECT_EQ(pool.Entries().BucketCount(), reference.BucketCount());
        EXPECT_EQ(reference::Contents(pool.Entries()), reference::Contents(reference));
        EXPECT_STREQ(pool.GetIndex(0), reference::Contents(reference)[0].second.c_str());
    }
}

// Paths that name no file to read: the load fails at once and the entries, their order and the
// bucket count stay.
TEST(PoolFileLoad, FailureKeepsEntriesAndOrder) {
    CTempDir dir;
    ASSERT_TRUE(std::filesystem::create_directory(dir.File("dir")));
    ExpectLoadFailuresKeepEntries({{"directory", dir.File("dir")},
                                   {"missing file", dir.File("missing")},
                                   {"empty path", ""},
                                   {"missing directory", dir.File("no/such.pool")}},
                                  [](const std::function<int()>& fnLoad) { return fnLoad(); });
}

// The injected failure comes at every allocation in turn; each failed load must leave the pool
// exactly as it was, and the first one that gets all its memory must load the whole file.
TEST(PoolFileLoad, RunningOutOfMemoryLeavesEntriesAsTheyWere) {
    CTempDir dir;
    std::string strFile = std::string(READ_BUFFER_SIZE + 5, 'L') + "\nlong\n";
    Entries records = {{std::string(READ_BUFFER_SIZE + 5, 'L'), "long"}};
    for (int i = 0; i < 220; ++i) {
        records.emplace_back("key" + std::to_string(i), std::string(i % 40, 'v'));
        strFile += records.back().first + "\n" + records.back().second + "\n";
    }
    ASSERT_TRUE(WriteWholeFile(dir.File("p.pool"), strFile));
    CHashPool pool("memory");
    Fill(pool, "before", 30, 20);
    pool.SetFile(dir.File("p.pool").c_str());
    const Entries before = reference::Contents(pool.Entries());
    long lAllowed = 0;
    for (;; ++lAllowed) {
        counted_new::AllocsLeft() = lAllowed;
        const bool bLoaded = pool.Load();
        counted_new::AllocsLeft() = -1;
        if (bLoaded) break;
        ASSERT_EQ(reference::Contents(pool.Entries()), before)
            << "after " << lAllowed << " allocations";
        ASSERT_EQ(pool.Entries().BucketCount(), 193u);
        ASSERT_LT(lAllowed, 100000);
    }
    EXPECT_GT(lAllowed, 200);
    EXPECT_EQ(reference::Contents(pool.Entries()), InsertedInOrder(records, 193));
}

TEST(PoolFileSave, RunningOutOfMemoryKeepsOldFile) {
    CTempDir dir;
    CHashPool pool("memory");
    Fill(pool, "k", 10, 10);
    pool.SetFile(dir.File("p.pool").c_str());
    ASSERT_TRUE(WriteWholeFile(dir.File("p.pool"), "old\nbytes\n"));
    counted_new::AllocsLeft() = 0;
    const bool bSaved = pool.Save();
    counted_new::AllocsLeft() = -1;
    EXPECT_FALSE(bSaved);
    EXPECT_EQ(FileBytes(dir.File("p.pool")), "old\nbytes\n");
    EXPECT_EQ(ListDir(dir.Path()), std::vector<std::string>{"p.pool"});
}

TEST(PoolFileSave, NextSaveRemovesOnlyItsOwnLeftovers) {
    CTempDir dir;
    const std::vector<std::string> leftovers = {".p.pool.quilltmp-AbC123",
                                                ".p.pool.quilltmp-zzzzzz"};
    const std::vector<std::string> others = {
        ".p.pool.quilltmp-short",   ".p.pool.quilltmp-AbC12!", ".p.pool.quilltmp-AbC1234",
        ".p.pool.quilltmp-AbC123~", ".q.pool.quilltmp-AbC123", "p.pool.quilltmp-AbC123",
        ".p.quilltmp-AbC123",
    };
    for (const std::string& strName : leftovers)
        ASSERT_TRUE(WriteWholeFile(dir.File(strName), "x"));
    for (const std::string& strName : others) ASSERT_TRUE(WriteWholeFile(dir.File(strName), "x"));
    CHashPool pool("p");
    pool.Add("k", "v");
    pool.SetFile(dir.File("p.pool").c_str());
    ASSERT_TRUE(pool.Save());
    std::vector<std::string> expected = others;
    expected.push_back("p.pool");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ListDir(dir.Path()), expected);
}

TEST(PoolFileSave, RefusesPathsThatNameNoFile) {
    CTempDir dir;
    ASSERT_TRUE(std::filesystem::create_directory(dir.File("dir")));
    CHashPool pool("p");
    pool.Add("k", "v");
    for (const std::string& strPath :
         {""s, dir.File("missing/p.pool"), dir.File("dir"), dir.File("dir/"), dir.File("new/")}) {
        pool.SetFile(strPath.c_str());
        EXPECT_FALSE(pool.Save()) << "'" << strPath << "'";
    }
    EXPECT_EQ(ListDir(dir.Path()), std::vector<std::string>{"dir"});
    EXPECT_TRUE(ListDir(dir.File("dir")).empty());
}
