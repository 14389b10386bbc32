// Pool files: the reader on odd inputs, round trips, and saves and loads under real faults.
#include "pool/pool_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "pool/hash_pool.h"
#include "tests/support/files.h"
#include "tests/support/hash_pool_test_access.h"

using namespace std::string_literals;

// Allocation failure, injected for real: once the count runs out every allocation fails until
// the test disarms it, as when memory is exhausted.
static long s_lAllocsLeft = -1;

static void* Allocate(std::size_t uiSize) {
    if (s_lAllocsLeft == 0) return nullptr;
    if (s_lAllocsLeft > 0) --s_lAllocsLeft;
    return std::malloc(uiSize == 0 ? 1 : uiSize);
}

// Out of line, so that the compiler, seeing operator new's pointer reach free() after inlining,
// does not take the matched pair for a mismatch.
[[gnu::noinline]] static void Release(void* p) { std::free(p); }

void* operator new(std::size_t uiSize) {
    void* p = Allocate(uiSize);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new[](std::size_t uiSize) {
    void* p = Allocate(uiSize);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new(std::size_t uiSize, const std::nothrow_t&) noexcept { return Allocate(uiSize); }
void* operator new[](std::size_t uiSize, const std::nothrow_t&) noexcept {
    return Allocate(uiSize);
}
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }

namespace {

constexpr size_t READ_BUFFER_SIZE = CPoolFile::READ_BUFFER_SIZE;
constexpr size_t WRITE_BUFFER_SIZE = CPoolFile::WRITE_BUFFER_SIZE;

using Entries = std::vector<std::pair<std::string, std::string>>;

Entries EntriesOf(const CHashPool::Table& table) {
    Entries entries;
    table.ForEach([&](const char* pKey, size_t uiLen, const CHashPool::Value& value) {
        entries.emplace_back(std::string(pKey, uiLen), value);
    });
    return entries;
}

// The order that inserting the records in file order gives in a table of that bucket count.
Entries InsertedInOrder(const Entries& records, uint32_t uiBuckets) {
    CHashPool::Table table(uiBuckets);
    for (const auto& [strKey, strValue] : records) {
        table.FindOrInsert(strKey.data(), strKey.size()) = strValue;
    }
    return EntriesOf(table);
}

bool Storable(const std::string& strText) {
    return !strText.empty() && strText.find('\n') == std::string::npos &&
           strText.find('\0') == std::string::npos;
}

// The file a save must produce, formatted independently of the writer.
std::string ExpectedBytes(const CHashPool::Table& table) {
    std::string strBytes;
    for (const auto& [strKey, strValue] : EntriesOf(table)) {
        if (Storable(strKey) && Storable(strValue)) strBytes += strKey + "\n" + strValue + "\n";
    }
    return strBytes;
}

Entries StorableEntries(const CHashPool::Table& table) {
    Entries kept;
    for (const auto& entry : EntriesOf(table)) {
        if (Storable(entry.first) && Storable(entry.second)) kept.push_back(entry);
    }
    return kept;
}

std::string FileBytes(const std::string& strPath) {
    std::string strBytes;
    EXPECT_TRUE(ReadWholeFile(strPath, strBytes)) << strPath;
    return strBytes;
}

mode_t ModeOf(const std::string& strPath, bool bFollow = false) {
    struct stat st {};
    const int iResult = bFollow ? ::stat(strPath.c_str(), &st) : ::lstat(strPath.c_str(), &st);
    return iResult == 0 ? st.st_mode : 0;
}

void Fill(CHashPool& pool, const std::string& strPrefix, int iCount, size_t uiValueLen) {
    for (int i = 0; i < iCount; ++i) {
        const std::string strKey = strPrefix + std::to_string(i);
        pool.Add(strKey.c_str(), std::string(uiValueLen, static_cast<char>('a' + i % 26)).c_str());
    }
}

// The bytes that a save of this pool writes, taken from a save into a private directory.
std::string SavedBytes(CHashPool& pool) {
    CTempDir dir;
    const std::string strOld = pool.File();
    pool.SetFile(dir.File("copy").c_str());
    EXPECT_TRUE(pool.Save());
    std::string strBytes = FileBytes(dir.File("copy"));
    pool.SetFile(strOld.c_str());
    return strBytes;
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
        EXPECT_EQ(EntriesOf(whole), expected);

        CHashPool::Table bytewise(100);
        CPoolReader bytewiseReader(bytewise);
        for (char c : row.strInput) bytewiseReader.Feed(&c, 1);
        bytewiseReader.Finish();
        EXPECT_EQ(EntriesOf(bytewise), expected);

        CHashPool::Table pieces(100);
        CPoolReader piecesReader(pieces);
        for (size_t uiAt = 0; uiAt < row.strInput.size();) {
            const size_t uiLen = std::min<size_t>(rng() % 300, row.strInput.size() - uiAt);
            piecesReader.Feed(row.strInput.data() + uiAt, uiLen);
            uiAt += uiLen;
        }
        piecesReader.Finish();
        EXPECT_EQ(EntriesOf(pieces), expected);

        ASSERT_TRUE(WriteWholeFile(dir.File("row.pool"), row.strInput));
        CHashPool pool("rows");
        pool.Add("stale", "entry");
        pool.SetFile(dir.File("row.pool").c_str());
        EXPECT_TRUE(pool.Load());
        EXPECT_EQ(EntriesOf(pool.Entries()), expected);
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
        EXPECT_EQ(EntriesOf(loaded.Entries()),
                  InsertedInOrder(StorableEntries(pool.Entries()), uiBuckets));
        EXPECT_GE(loaded.Entries().BucketCount(), uiBuckets);
        EXPECT_EQ(ListDir(dir.Path()).size(), static_cast<size_t>(iRound + 1));
    }
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
    EXPECT_EQ(EntriesOf(loaded.Entries()), InsertedInOrder(StorableEntries(pool.Entries()), 193));
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
        EXPECT_EQ(EntriesOf(pool.Entries()), EntriesOf(reference));
        EXPECT_STREQ(pool.GetIndex(0), EntriesOf(reference)[0].second.c_str());
    }
}

// Paths that open but are no file to read, or do not open: the load fails at once and the
// entries, their order and the bucket count stay. Run in a child so that a blocking open or an
// endless read ends in the watchdog instead of hanging the suite.
TEST(PoolFileLoad, FailureKeepsEntriesAndOrder) {
    CTempDir dir;
    ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
    ASSERT_EQ(::mkdir(dir.File("dir").c_str(), 0700), 0);
    ASSERT_EQ(::symlink("nowhere", dir.File("dangling").c_str()), 0);
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"directory", dir.File("dir")},
        {"FIFO without writer", dir.File("fifo")},
        {"missing file", dir.File("missing")},
        {"dangling link", dir.File("dangling")},
        {"endless device", "/dev/zero"},
        {"empty path", ""},
        {"missing directory", dir.File("no/such.pool")},
    };
    CHashPool pool("kept");
    Fill(pool, "key", 250, 5);
    const Entries before = EntriesOf(pool.Entries());
    const uint32_t uiBuckets = pool.Entries().BucketCount();
    for (const auto& [strName, strPath] : rows) {
        const int iStatus = RunInChild(
            [&, &strPath = strPath]() {
                pool.SetFile(strPath.c_str());
                if (pool.Load()) return 1;
                const bool bKept = EntriesOf(pool.Entries()) == before &&
                                   pool.Entries().BucketCount() == uiBuckets;
                return bKept ? 0 : 2;
            },
            {});
        EXPECT_EQ(iStatus, 0) << strName
                              << ": 1 = load succeeded, 2 = entries changed, 142 = blocked";
    }
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
    const Entries before = EntriesOf(pool.Entries());
    long lAllowed = 0;
    for (;; ++lAllowed) {
        s_lAllocsLeft = lAllowed;
        const bool bLoaded = pool.Load();
        s_lAllocsLeft = -1;
        if (bLoaded) break;
        ASSERT_EQ(EntriesOf(pool.Entries()), before) << "after " << lAllowed << " allocations";
        ASSERT_EQ(pool.Entries().BucketCount(), 193u);
        ASSERT_LT(lAllowed, 100000);
    }
    EXPECT_GT(lAllowed, 200);
    EXPECT_EQ(EntriesOf(pool.Entries()), InsertedInOrder(records, 193));
}

TEST(PoolFileSave, RunningOutOfMemoryKeepsOldFile) {
    CTempDir dir;
    CHashPool pool("memory");
    Fill(pool, "k", 10, 10);
    pool.SetFile(dir.File("p.pool").c_str());
    ASSERT_TRUE(WriteWholeFile(dir.File("p.pool"), "old\nbytes\n"));
    s_lAllocsLeft = 0;
    const bool bSaved = pool.Save();
    s_lAllocsLeft = -1;
    EXPECT_FALSE(bSaved);
    EXPECT_EQ(FileBytes(dir.File("p.pool")), "old\nbytes\n");
    EXPECT_EQ(ListDir(dir.Path()), std::vector<std::string>{"p.pool"});
}

// Writes fail for real past RLIMIT_FSIZE: at the first byte, around one write buffer and one
// byte short of the whole file. The old file must survive byte for byte and no temporary file
// may stay; a limit of exactly the file's size lets the save through.
TEST(PoolFileSave, FileSizeLimitKeepsOldFile) {
    CTempDir dir;
    const std::string strPath = dir.File("limit.pool");
    CHashPool oldPool("old");
    Fill(oldPool, "old", 50, 30);
    oldPool.SetFile(strPath.c_str());
    ASSERT_TRUE(oldPool.Save());
    const std::string strOld = FileBytes(strPath);
    CHashPool newPool("new");
    Fill(newPool, "new", 4000, 60);
    const std::string strNew = SavedBytes(newPool);
    ASSERT_GT(strNew.size(), 3 * WRITE_BUFFER_SIZE);
    newPool.SetFile(strPath.c_str());

    const long long llNew = static_cast<long long>(strNew.size());
    const long long llBuffer = static_cast<long long>(WRITE_BUFFER_SIZE);
    for (long long llLimit : {0LL, 1LL, llBuffer - 1, llBuffer, llBuffer + 1, llNew - 1}) {
        const int iStatus =
            RunInChild([&]() { return newPool.Save() ? 0 : 1; }, {.llFileSizeLimit = llLimit});
        EXPECT_EQ(iStatus, 1) << "limit " << llLimit;
        EXPECT_EQ(FileBytes(strPath), strOld) << "limit " << llLimit;
        EXPECT_EQ(ListDir(dir.Path()), std::vector<std::string>{"limit.pool"}) << llLimit;
    }
    EXPECT_EQ(RunInChild([&]() { return newPool.Save() ? 0 : 1; }, {.llFileSizeLimit = llNew}), 0);
    EXPECT_EQ(FileBytes(strPath), strNew);
}

// A save killed at any moment leaves the old file or the new one, each complete. The kill waits
// for the temporary file to appear, then a random delay, so that kills land mid-write as well as
// after the rename.
TEST(PoolFileSave, KilledSaveLeavesOldOrNewFile) {
    const uint32_t uiSeed = 777;
    std::mt19937 rng(uiSeed);
    CTempDir dir;
    const std::string strPath = dir.File("killed.pool");
    CHashPool oldPool("old");
    Fill(oldPool, "old", 300, 20);
    oldPool.SetFile(strPath.c_str());
    CHashPool newPool("new");
    Fill(newPool, "new", 30000, 40);
    const std::string strNew = SavedBytes(newPool);
    newPool.SetFile(strPath.c_str());
    int iOld = 0;
    int iNew = 0;
    for (int iRound = 0; iRound < 30; ++iRound) {
        SCOPED_TRACE(::testing::Message() << "seed " << uiSeed << ", round " << iRound);
        ASSERT_TRUE(oldPool.Save());
        ASSERT_EQ(ListDir(dir.Path()), std::vector<std::string>{"killed.pool"});
        const std::string strOld = FileBytes(strPath);
        const pid_t pid = StartChild([&]() { return newPool.Save() ? 0 : 1; });
        ASSERT_GT(pid, 0);
        while (ListDir(dir.Path()).size() < 2 && !HasEnded(pid)) ::usleep(20);
        // Half the kills come early in the write, the rest spread over the slowest save.
        ::usleep(rng() % 2 == 0 ? rng() % 5000 : rng() % 80000);
        ::kill(pid, SIGKILL);
        const int iStatus = WaitChild(pid);
        EXPECT_TRUE(iStatus == 0 || iStatus == SIGNALLED + SIGKILL) << iStatus;
        const std::string strNow = FileBytes(strPath);
        EXPECT_TRUE(strNow == strOld || strNow == strNew) << strNow.size() << " bytes";
        (strNow == strOld ? iOld : iNew) += 1;
        for (const std::string& strName : ListDir(dir.Path())) {
            EXPECT_TRUE(strName == "killed.pool" || strName.rfind(".killed.pool.quilltmp-", 0) == 0)
                << strName;
        }
    }
    ASSERT_TRUE(newPool.Save());
    EXPECT_EQ(FileBytes(strPath), strNew);
    EXPECT_EQ(ListDir(dir.Path()), std::vector<std::string>{"killed.pool"});
    std::cout << "kills leaving the old file: " << iOld << ", the new file: " << iNew << "\n";
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

// A temporary file that another open file holds locked belongs to a save still writing it, in
// this process or another: the next save leaves it and removes only the unlocked one.
TEST(PoolFileSave, NextSaveLeavesTheTemporaryFileOfALiveSave) {
    CTempDir dir;
    const std::string strLive = dir.File(".p.pool.quilltmp-Live01");
    const std::string strDead = dir.File(".p.pool.quilltmp-Dead01");
    ASSERT_TRUE(WriteWholeFile(strLive, "half a save"));
    ASSERT_TRUE(WriteWholeFile(strDead, "x"));
    const int iLive = ::open(strLive.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(iLive, 0);
    ASSERT_EQ(::flock(iLive, LOCK_EX), 0);
    CHashPool pool("p");
    pool.Add("k", "v");
    pool.SetFile(dir.File("p.pool").c_str());
    ASSERT_TRUE(pool.Save());
    EXPECT_EQ(ListDir(dir.Path()), (std::vector<std::string>{".p.pool.quilltmp-Live01", "p.pool"}));
    EXPECT_EQ(FileBytes(strLive), "half a save");
    ::close(iLive);
    ASSERT_TRUE(pool.Save());
    EXPECT_EQ(ListDir(dir.Path()), std::vector<std::string>{"p.pool"});
}

TEST(PoolFileSave, RefusesPathsThatNameNoFile) {
    CTempDir dir;
    ASSERT_EQ(::mkdir(dir.File("dir").c_str(), 0700), 0);
    ASSERT_EQ(::symlink("dir", dir.File("dirlink").c_str()), 0);
    ASSERT_EQ(::symlink("loop2", dir.File("loop1").c_str()), 0);
    ASSERT_EQ(::symlink("loop1", dir.File("loop2").c_str()), 0);
    CHashPool pool("p");
    pool.Add("k", "v");
    for (const std::string& strPath :
         {""s, dir.File("missing/p.pool"), dir.File("dir"), dir.File("dirlink"), dir.File("dir/"),
          dir.File("new/"), dir.File("loop1")}) {
        pool.SetFile(strPath.c_str());
        EXPECT_FALSE(pool.Save()) << "'" << strPath << "'";
    }
    EXPECT_TRUE(S_ISDIR(ModeOf(dir.File("dir"))));
    EXPECT_TRUE(S_ISLNK(ModeOf(dir.File("loop1"))));
    EXPECT_EQ(ListDir(dir.Path()), (std::vector<std::string>{"dir", "dirlink", "loop1", "loop2"}));
    EXPECT_TRUE(ListDir(dir.File("dir")).empty());
}

// A FIFO is written in place and never replaced: with no reader the save fails at once, with a
// reader it gets the file's bytes, and with a reader that takes nothing the save fails instead
// of waiting for room.
TEST(PoolFileSave, WritesFifoInPlaceWithoutBlocking) {
    CTempDir dir;
    const std::string strFifo = dir.File("fifo");
    ASSERT_EQ(::mkfifo(strFifo.c_str(), 0600), 0);
    CHashPool pool("p");
    Fill(pool, "k", 20, 5);
    pool.SetFile(strFifo.c_str());
    EXPECT_EQ(RunInChild([&]() { return pool.Save() ? 0 : 1; }), 1);
    EXPECT_TRUE(S_ISFIFO(ModeOf(strFifo)));

    const int iReader = ::open(strFifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(iReader, 0);
    EXPECT_EQ(RunInChild([&]() { return pool.Save() ? 0 : 1; }), 0);
    std::string strRead(4096, '\0');
    const ssize_t iRead = ::read(iReader, strRead.data(), strRead.size());
    strRead.resize(iRead > 0 ? static_cast<size_t>(iRead) : 0);
    EXPECT_EQ(strRead, ExpectedBytes(pool.Entries()));

    CHashPool big("big");
    Fill(big, "k", 20000, 40);
    big.SetFile(strFifo.c_str());
    EXPECT_EQ(RunInChild([&]() { return big.Save() ? 0 : 1; }), 1);
    ::close(iReader);
    EXPECT_TRUE(S_ISFIFO(ModeOf(strFifo)));
    EXPECT_EQ(ListDir(dir.Path()), std::vector<std::string>{"fifo"});
}

TEST(PoolFileSave, DeviceStaysDevice) {
    struct stat before {};
    ASSERT_EQ(::stat("/dev/null", &before), 0);
    ASSERT_TRUE(S_ISCHR(before.st_mode));
    CHashPool pool("p");
    Fill(pool, "k", 100, 10);
    pool.SetFile("/dev/null");
    const int iStatus = RunInChild([&]() { return pool.Save() ? 0 : 1; });
    EXPECT_TRUE(iStatus == 0 || iStatus == 1) << iStatus;
    struct stat after {};
    ASSERT_EQ(::lstat("/dev/null", &after), 0);
    EXPECT_TRUE(S_ISCHR(after.st_mode));
    EXPECT_EQ(after.st_rdev, before.st_rdev);
    EXPECT_EQ(after.st_ino, before.st_ino);
}

// A link stays a link, in the same directory or another, relative or absolute, in a chain, or
// dangling (its target is then created); the temporary file lives beside the target.
TEST(PoolFileSave, SymbolicLinkStaysLinkAndTargetIsReplaced) {
    CTempDir dir;
    CTempDir other;
    CHashPool pool("p");
    Fill(pool, "k", 30, 8);
    const std::string strExpected = ExpectedBytes(pool.Entries());
    ASSERT_EQ(::mkdir(dir.File("sub").c_str(), 0700), 0);
    ASSERT_TRUE(WriteWholeFile(dir.File("sub/target.pool"), "old\nold\n"));
    ASSERT_TRUE(WriteWholeFile(other.File("abs.pool"), "old\nold\n"));
    ASSERT_EQ(::symlink("sub/target.pool", dir.File("rel").c_str()), 0);
    ASSERT_EQ(::symlink(other.File("abs.pool").c_str(), dir.File("abs").c_str()), 0);
    ASSERT_EQ(::symlink("rel", dir.File("chain").c_str()), 0);
    ASSERT_EQ(::symlink("../sub/made.pool", dir.File("sub/dangling").c_str()), 0);
    struct Row {
        std::string strLink;
        std::string strTarget;
    };
    for (const Row& row : {Row{"rel", "sub/target.pool"}, Row{"abs", ""}, Row{"chain", "rel"},
                           Row{"sub/dangling", "../sub/made.pool"}}) {
        SCOPED_TRACE(row.strLink);
        pool.SetFile(dir.File(row.strLink).c_str());
        ASSERT_TRUE(pool.Save());
        EXPECT_TRUE(S_ISLNK(ModeOf(dir.File(row.strLink))));
        EXPECT_EQ(FileBytes(dir.File(row.strLink)), strExpected);
        if (row.strTarget.empty()) continue;
        char szTarget[256] = {};
        ASSERT_GT(::readlink(dir.File(row.strLink).c_str(), szTarget, sizeof(szTarget) - 1), 0);
        EXPECT_EQ(std::string(szTarget), row.strTarget);
    }
    EXPECT_EQ(FileBytes(other.File("abs.pool")), strExpected);
    EXPECT_EQ(FileBytes(dir.File("sub/made.pool")), strExpected);
    EXPECT_EQ(ListDir(dir.Path()), (std::vector<std::string>{"abs", "chain", "rel", "sub"}));
    EXPECT_EQ(ListDir(dir.File("sub")),
              (std::vector<std::string>{"dangling", "made.pool", "target.pool"}));
    EXPECT_EQ(ListDir(other.Path()), std::vector<std::string>{"abs.pool"});
}

TEST(PoolFileSave, KeepsModeOfExistingFileAndGivesNewFileTheUmaskMode) {
    CTempDir dir;
    CHashPool pool("p");
    pool.Add("k", "v");
    for (mode_t uiMode : {0640u, 0604u, 0600u, 0777u, 02750u}) {
        const std::string strPath = dir.File("existing" + std::to_string(uiMode));
        ASSERT_TRUE(WriteWholeFile(strPath, "old\n"));
        ASSERT_EQ(::chmod(strPath.c_str(), uiMode), 0);
        pool.SetFile(strPath.c_str());
        ASSERT_TRUE(pool.Save());
        EXPECT_EQ(ModeOf(strPath) & 07777, uiMode) << std::oct << uiMode;
        EXPECT_EQ(FileBytes(strPath), "k\nv\n");
    }
    for (mode_t uiMask : {0022u, 0027u, 0000u, 0177u}) {
        const mode_t uiOldMask = ::umask(uiMask);
        const std::string strPath = dir.File("new" + std::to_string(uiMask));
        pool.SetFile(strPath.c_str());
        const bool bSaved = pool.Save();
        ::umask(uiOldMask);
        ASSERT_TRUE(bSaved);
        EXPECT_EQ(ModeOf(strPath) & 07777, 0666u & ~uiMask) << std::oct << uiMask;
    }
}

// A directory closed to new files still lets a writable file in it be rewritten in place; a file
// closed to writing is left alone. Root passes every permission check, so a root run does these
// saves in a child that has dropped to an ordinary user.
TEST(PoolFileSave, ClosedDirectoryRewritesWritableFileInPlace) {
    CTempDir dir;
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    const std::string strClosed = dir.File("closed");
    ASSERT_EQ(::mkdir(strClosed.c_str(), 0755), 0);
    const std::string strPath = strClosed + "/p.pool";
    // Longer than the new file, so that a rewrite must also cut it.
    ASSERT_TRUE(WriteWholeFile(strPath, std::string(5000, 'o') + "\nold\n"));
    ASSERT_EQ(::chmod(strPath.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(strClosed.c_str(), 0555), 0);
    struct stat before {};
    ASSERT_EQ(::stat(strPath.c_str(), &before), 0);

    CHashPool pool("p");
    Fill(pool, "k", 40, 12);
    pool.SetFile(strPath.c_str());
    const ChildOptions asUser{.bUnprivileged = true};
    const int iStatus = RunInChild(
        [&]() {
            if (::access(strClosed.c_str(), X_OK) != 0) return CHILD_SETUP_FAILED;
            return pool.Save() ? 0 : 1;
        },
        asUser);
    if (iStatus == CHILD_SETUP_FAILED) GTEST_SKIP() << "no ordinary user can reach " << strClosed;
    EXPECT_EQ(iStatus, 0);
    EXPECT_EQ(FileBytes(strPath), ExpectedBytes(pool.Entries()));
    struct stat after {};
    ASSERT_EQ(::stat(strPath.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(ListDir(strClosed), std::vector<std::string>{"p.pool"});

    ChildOptions limited = asUser;
    limited.llFileSizeLimit = 10;
    EXPECT_EQ(RunInChild([&]() { return pool.Save() ? 0 : 1; }, limited), 1);

    // A missing file cannot be created in the closed directory.
    pool.SetFile((strClosed + "/new.pool").c_str());
    EXPECT_EQ(RunInChild([&]() { return pool.Save() ? 0 : 1; }, asUser), 1);
    EXPECT_EQ(ListDir(strClosed), std::vector<std::string>{"p.pool"});

    const std::string strReadOnly = dir.File("readonly.pool");
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0777), 0);
    ASSERT_TRUE(WriteWholeFile(strReadOnly, "old\nold\n"));
    ASSERT_EQ(::chmod(strReadOnly.c_str(), 0444), 0);
    pool.SetFile(strReadOnly.c_str());
    EXPECT_EQ(RunInChild([&]() { return pool.Save() ? 0 : 1; }, asUser), 1);
    EXPECT_EQ(FileBytes(strReadOnly), "old\nold\n");
    EXPECT_EQ(ListDir(dir.Path()), (std::vector<std::string>{"closed", "readonly.pool"}));
}

// What decides is whether the saver may write to the file, not the folder alone: root may write
// to any file, so a save as root replaces a read-only pool file, which keeps its mode.
TEST(PoolFileSave, ReadOnlyFileIsReplacedByRootKeepingItsMode) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root may write to a file of mode 0444";
    CTempDir dir;
    const std::string strPath = dir.File("readonly.pool");
    ASSERT_TRUE(WriteWholeFile(strPath, "old\nold\n"));
    ASSERT_EQ(::chmod(strPath.c_str(), 0444), 0);
    struct stat before {};
    ASSERT_EQ(::stat(strPath.c_str(), &before), 0);
    CHashPool pool("p");
    pool.Add("k", "v");
    pool.SetFile(strPath.c_str());
    ASSERT_TRUE(pool.Save());
    EXPECT_EQ(FileBytes(strPath), "k\nv\n");
    EXPECT_EQ(ModeOf(strPath) & 07777, 0444u);
    struct stat after {};
    ASSERT_EQ(::stat(strPath.c_str(), &after), 0);
    // Replaced by a rename, not written into.
    EXPECT_NE(after.st_ino, before.st_ino);
    EXPECT_EQ(ListDir(dir.Path()), std::vector<std::string>{"readonly.pool"});
}
