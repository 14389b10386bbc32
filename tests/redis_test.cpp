// The Redis store against a real redis-server: the same results as the file store, whole and
// atomic saves through server kills, the guard, and every failure a server can give told in words.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "pool/file_store.h"
#include "pool/hash_pool.h"
#include "pool/pool_file.h"
#include "pool/redis_store.h"
#include "pool/store.h"
#include "tests/support/files.h"
#include "tests/support/hash_pool_test_access.h"
#include "tests/support/redis_server.h"
#include "tests/support/reference.h"

namespace {

using EType = RedisReply::EType;

#define SKIP_WITHOUT_REDIS() \
    if (CTestRedis::Program().empty()) GTEST_SKIP() << "redis-server is not installed"

RedisStoreOptions Options(const CTestRedis& redis, bool bGuard = false,
                          uint32_t uiTimeoutMs = 120000) {
    RedisStoreOptions options;
    options.server = redis.Server(uiTimeoutMs);
    options.strKeyPrefix = "k:";
    options.bGuard = bGuard;
    return options;
}

// The hash's fields in the server's order, as the bytes of a pool file of those records.
std::string HashAsFile(CTestRedis& redis, const std::string& strKey) {
    const RedisReply reply = redis.Command({"HGETALL", strKey});
    std::string strBytes;
    for (const RedisReply& item : reply.vecItems) strBytes += item.strText + "\n";
    return strBytes;
}

// A pool whose entries are given, the odd ones a file skips included.
void Fill(CHashPool& pool, const reference::Entries& entries) {
    CHashPool::Table& table = CHashPoolTestAccess::Entries(pool);
    for (const auto& [strKey, strValue] : entries) {
        table.FindOrInsert(strKey.data(), strKey.size()).Assign(strValue);
    }
}

std::vector<std::string> Keys(CTestRedis& redis) {
    std::vector<std::string> vecKeys;
    for (const RedisReply& item : redis.Command({"KEYS", "*"}).vecItems) {
        vecKeys.push_back(item.strText);
    }
    std::sort(vecKeys.begin(), vecKeys.end());
    return vecKeys;
}

class Redis : public ::testing::Test {
   protected:
    void SetUp() override {
        SKIP_WITHOUT_REDIS();
        ASSERT_TRUE(m_Redis.Start()) << FileBytes(m_Redis.Dir() + "/redis.log");
    }
    CTestRedis m_Redis;
};

// The same script of pool operations on a file pool and a Redis pool: every Load and Save gives
// the same result, and each pool holds the same entries in the same order after each load.
TEST_F(Redis, GivesTheFileStoresResults) {
    CTempDir dir;
    CFileStore files;
    CRedisStore redis(Options(m_Redis));
    const std::vector<std::string> aTexts = {"a", "b", "", "x\ny", "\n", "ab\r", "\xc3\xa9", "k"};
    std::mt19937 random(29);
    std::printf("seed 29\n");
    CHashPool onFile("f");
    CHashPool onRedis("r");
    ASSERT_TRUE(onFile.SetFile(dir.File("p").c_str()));
    ASSERT_TRUE(onRedis.SetFile("p"));
    for (int iStep = 0; iStep < 3000; ++iStep) {
        const std::string& strKey = aTexts[random() % aTexts.size()];
        const std::string strValue =
            aTexts[random() % aTexts.size()] + std::to_string(random() % 3);
        const unsigned uiOp = random() % 10;
        SCOPED_TRACE("step " + std::to_string(iStep) + " op " + std::to_string(uiOp));
        if (uiOp < 5) {
            Fill(onFile, {{strKey, uiOp == 4 ? "" : strValue}});
            Fill(onRedis, {{strKey, uiOp == 4 ? "" : strValue}});
        } else if (uiOp == 5) {
            onFile.Del(strKey.c_str());
            onRedis.Del(strKey.c_str());
        } else if (uiOp < 8) {
            ASSERT_EQ(onFile.Save(files), onRedis.Save(redis)) << onRedis.LastError();
        } else {
            const bool bFile = onFile.Load(files);
            // An empty pool's save leaves an empty file but deletes the hash.
            const bool bEmptied = bFile && onFile.Size() == 0;
            ASSERT_EQ(bFile && !bEmptied, onRedis.Load(redis)) << onRedis.LastError();
            if (bEmptied) CHashPoolTestAccess::Entries(onRedis).Clear();
            // The order a file load gives for the hash's fields in the server's order.
            CHashPool expected("e");
            ASSERT_TRUE(WriteWholeFile(dir.File("e"), HashAsFile(m_Redis, "k:p")));
            expected.SetFile(dir.File("e").c_str());
            if (bFile) {
                ASSERT_TRUE(expected.Load(files));
                ASSERT_EQ(reference::Contents(expected.Entries()),
                          reference::Contents(onRedis.Entries()));
            }
            auto fileEntries = reference::Contents(onFile.Entries());
            auto redisEntries = reference::Contents(onRedis.Entries());
            std::sort(fileEntries.begin(), fileEntries.end());
            std::sort(redisEntries.begin(), redisEntries.end());
            ASSERT_EQ(fileEntries, redisEntries);
        }
    }
}

TEST_F(Redis, TellsAMissingHashAsAMissingFileAndEmptiesItBySaving) {
    CRedisStore store(Options(m_Redis));
    CHashPool pool("p");
    pool.SetFile("gone");
    Fill(pool, {{"kept", "1"}});
    EXPECT_FALSE(pool.Load(store));
    EXPECT_EQ(pool.LastError(), "load \"gone\": redis unix:" + m_Redis.Dir() +
                                    "/redis.sock: the hash does not exist");
    EXPECT_EQ(reference::Contents(pool.Entries()), (reference::Entries{{"kept", "1"}}));
    ASSERT_TRUE(pool.Save(store)) << pool.LastError();
    EXPECT_EQ(Keys(m_Redis), std::vector<std::string>{"k:gone"});
    pool.Del("kept");
    Fill(pool, {{"", "skipped"}, {"line\nend", "skipped"}});
    ASSERT_TRUE(pool.Save(store)) << pool.LastError();
    EXPECT_TRUE(Keys(m_Redis).empty());
}

// Every corpus file loaded from its file, saved to Redis and loaded back: the same entries, in
// the order a file of the hash's fields in the server's order gives.
TEST_F(Redis, RoundTripsEveryCorpusFile) {
    CTempDir dir;
    CFileStore files;
    CRedisStore store(Options(m_Redis));
    const std::vector<std::string> vecNames = ListDir(QUILL_POOL_FILES);
    ASSERT_FALSE(vecNames.empty());
    for (const std::string& strName : vecNames) {
        SCOPED_TRACE(strName);
        CHashPool fromFile("f");
        fromFile.SetFile((std::string(QUILL_POOL_FILES) + "/" + strName).c_str());
        if (!fromFile.Load(files)) continue;
        CHashPool onRedis("r");
        onRedis.SetFile(strName.c_str());
        Fill(onRedis, {{"stale", "entry"}});
        ASSERT_TRUE(fromFile.Save(store)) << fromFile.LastError();
        onRedis.SetFile(fromFile.File());
        const bool bLoaded = onRedis.Load(store);
        // What a save keeps: the entries a file written from the pool would hold.
        reference::Entries expected;
        for (const auto& entry : reference::Contents(fromFile.Entries())) {
            if (CPoolFile::FitsLine(entry.first.data(), entry.first.size()) &&
                CPoolFile::FitsLine(entry.second.data(), entry.second.size())) {
                expected.push_back(entry);
            }
        }
        auto got = reference::Contents(onRedis.Entries());
        if (expected.empty()) {
            EXPECT_FALSE(bLoaded);
            continue;
        }
        ASSERT_TRUE(bLoaded) << onRedis.LastError();
        CHashPool ordered("o");
        ASSERT_TRUE(WriteWholeFile(dir.File("o"),
                                   HashAsFile(m_Redis, "k:" + std::string(fromFile.File()))));
        ordered.SetFile(dir.File("o").c_str());
        ASSERT_TRUE(ordered.Load(files));
        EXPECT_EQ(reference::Contents(ordered.Entries()), got);
        std::sort(expected.begin(), expected.end());
        std::sort(got.begin(), got.end());
        EXPECT_EQ(expected, got);
    }
}

// A listening socket that takes connections and never answers.
class CSilentServer {
   public:
    explicit CSilentServer(const std::string& strPath) {
        m_iFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, strPath.c_str(), sizeof(address.sun_path) - 1);
        m_bListening = ::bind(m_iFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                       ::listen(m_iFd, 16) == 0;
    }
    ~CSilentServer() { ::close(m_iFd); }
    bool Listening() const { return m_bListening; }
    int Fd() const { return m_iFd; }

   private:
    int m_iFd = -1;
    bool m_bListening = false;
};

TEST(RedisFaults, GivesUpOnAServerThatNeverAnswers) {
    CTempDir dir;
    CSilentServer silent(dir.File("s.sock"));
    ASSERT_TRUE(silent.Listening());
    RedisStoreOptions options;
    options.server.strUnixPath = dir.File("s.sock");
    options.server.uiTimeoutMs = 200;
    CRedisStore store(options);
    CHashPool pool("p");
    pool.SetFile("p");
    Fill(pool, {{"a", "1"}});
    const std::string strWho = "redis unix:" + dir.File("s.sock") + ": ";
    EXPECT_FALSE(pool.Load(store));
    EXPECT_EQ(pool.LastError(), "load \"p\": " + strWho + "timed out after 200 ms");
    EXPECT_FALSE(pool.Save(store));
    EXPECT_EQ(pool.LastError(), "save \"p\": " + strWho + "timed out after 200 ms");
    EXPECT_EQ(reference::Contents(pool.Entries()), (reference::Entries{{"a", "1"}}));
}

// A server that reads a command, sends the given bytes and closes the connection, or, when
// bHold, keeps it open until the client closes it.
int ServeOnce(int iListening, const std::string& strBytes, bool bHold = false) {
    const int iFd = ::accept(iListening, nullptr, nullptr);
    if (iFd < 0) return 1;
    char aBuffer[4096];
    if (::read(iFd, aBuffer, sizeof(aBuffer)) <= 0) return 2;
    if (::write(iFd, strBytes.data(), strBytes.size()) != static_cast<ssize_t>(strBytes.size())) {
        return 3;
    }
    while (bHold && ::read(iFd, aBuffer, sizeof(aBuffer)) > 0) {
    }
    ::close(iFd);
    return 0;
}

// Replies cut short, malformed or of the wrong shape, the fields' array holding items other than
// strings (nil, integers, errors, statuses, arrays) included, with the guard's MULTI and without:
// false with the reason and the pool as it was.
TEST(RedisFaults, RefusesPartialAndMalformedReplies) {
    struct Case {
        bool bGuard;
        std::string strBytes;
        std::string strWords;
    };
    const std::string strQueued = "+OK\r\n+QUEUED\r\n+QUEUED\r\n";
    const Case aCases[] = {
        {false, "*4\r\n$1\r\na\r\n$1\r\n", "the server closed the connection"},
        {false, "$5\r\nab", "the server closed the connection"},
        {false, "", "the server closed the connection"},
        {false, "!oops\r\n",
         "the reply cannot be read (Protocol error, got \"!\" as reply type byte)"},
        {false, "*1\r\n:12\r\n", "the reply is not a hash's fields"},
        {false, "*3\r\n$1\r\na\r\n$1\r\nb\r\n$1\r\nc\r\n", "the reply is not a hash's fields"},
        {false, "-ERR unknown command\r\n", "ERR unknown command"},
        {false, "*2\r\n$1\r\na\r\n$-1\r\n", "the reply is not a hash's fields"},
        {false, "*2\r\n$1\r\na\r\n+OK\r\n", "the reply is not a hash's fields"},
        {false, "*4\r\n$1\r\na\r\n*2\r\n$1\r\nb\r\n$1\r\nc\r\n$1\r\nd\r\n$1\r\ne\r\n",
         "the reply is not a hash's fields"},
        {false, "*2\r\n$1\r\na\r\n-ERR inside\r\n", "ERR inside"},
        {false, "$1\r\na\r\n", "the reply is not a hash's fields"},
        {true, strQueued + "*2\r\n*2\r\n$1\r\na\r\n$1\r\n", "the server closed the connection"},
        {true, strQueued + "-EXECABORT Transaction discarded\r\n",
         "EXECABORT Transaction discarded"},
        {true, strQueued + "*2\r\n-WRONGTYPE Operation\r\n$-1\r\n", "WRONGTYPE Operation"},
        {true, strQueued + "*2\r\n*2\r\n$1\r\na\r\n$-1\r\n$-1\r\n",
         "the reply is not a hash's fields"},
        {true, strQueued + "*2\r\n*2\r\n$1\r\na\r\n*1\r\n$1\r\nb\r\n$-1\r\n",
         "the reply is not a hash's fields"},
        {true, strQueued + "*2\r\n*2\r\n$1\r\na\r\n$1\r\nb\r\n*1\r\n$1\r\n1\r\n",
         "the reply is not a hash's fields"},
        {true, strQueued + "*3\r\n*2\r\n$1\r\na\r\n$1\r\nb\r\n$-1\r\n:1\r\n",
         "the reply is not a hash's fields"},
        {true, strQueued + "*2\r\n*1\r\n$1\r\na\r\n$-1\r\n", "the reply is not a hash's fields"},
    };
    for (const Case& c : aCases) {
        SCOPED_TRACE(Printable(c.strBytes));
        CTempDir dir;
        CSilentServer server(dir.File("s.sock"));
        ASSERT_TRUE(server.Listening());
        const pid_t pid = StartChild([&]() { return ServeOnce(server.Fd(), c.strBytes); });
        RedisStoreOptions options;
        options.server.strUnixPath = dir.File("s.sock");
        options.bGuard = c.bGuard;
        CRedisStore store(options);
        CHashPool pool("p");
        pool.SetFile("p");
        Fill(pool, {{"a", "1"}});
        EXPECT_FALSE(pool.Load(store));
        EXPECT_EQ(pool.LastError(),
                  "load \"p\": redis unix:" + dir.File("s.sock") + ": " + c.strWords);
        EXPECT_EQ(reference::Contents(pool.Entries()), (reference::Entries{{"a", "1"}}));
        EXPECT_EQ(WaitChild(pid), 0);
    }
}

// A save whose replies stop part way, the connection closed or left silent: false with the
// reason, the pool as it was, within the timeout.
TEST(RedisFaults, RefusesASavesPartialReply) {
    struct Case {
        std::string strBytes;
        bool bHold;
        std::string strWords;
    };
    const Case aCases[] = {
        {":1\r\n:", false, "the server closed the connection"},
        {"", false, "the server closed the connection"},
        {":1\r\n$3\r\nab", true, "timed out after 300 ms"},
    };
    for (const Case& c : aCases) {
        SCOPED_TRACE(Printable(c.strBytes));
        CTempDir dir;
        CSilentServer server(dir.File("s.sock"));
        ASSERT_TRUE(server.Listening());
        const pid_t pid = StartChild([&]() { return ServeOnce(server.Fd(), c.strBytes, c.bHold); });
        RedisStoreOptions options;
        options.server.strUnixPath = dir.File("s.sock");
        options.server.uiTimeoutMs = 300;
        CHashPool pool("p");
        pool.SetFile("p");
        Fill(pool, {{"a", "1"}, {"b", "2"}});
        {
            CRedisStore store(options);
            EXPECT_FALSE(pool.Save(store));
            EXPECT_EQ(pool.LastError(),
                      "save \"p\": redis unix:" + dir.File("s.sock") + ": " + c.strWords);
        }
        EXPECT_EQ(reference::Contents(pool.Entries()),
                  (reference::Entries{{"a", "1"}, {"b", "2"}}));
        EXPECT_EQ(WaitChild(pid), 0);
    }
}

TEST(RedisFaults, TellsARefusedConnection) {
    CTempDir dir;
    RedisStoreOptions options;
    options.server.strUnixPath = dir.File("none.sock");
    CRedisStore store(options);
    CHashPool pool("p");
    pool.SetFile("p");
    EXPECT_FALSE(pool.Load(store));
    EXPECT_EQ(pool.LastError(),
              "load \"p\": redis unix:" + dir.File("none.sock") + ": no such file or directory");
    options.server.strUnixPath.clear();
    options.server.uiPort = 1;
    CRedisStore tcp(options);
    EXPECT_FALSE(pool.Save(tcp));
    EXPECT_EQ(pool.LastError(), "save \"p\": redis 127.0.0.1:1: connection refused");
}

TEST(RedisFaults, RefusesWhenTheServerIsFull) {
    SKIP_WITHOUT_REDIS();
    CTestRedis redis({"--maxmemory", "1mb", "--maxmemory-policy", "noeviction"});
    ASSERT_TRUE(redis.Start());
    CRedisStore store(Options(redis));
    CHashPool pool("p");
    pool.SetFile("full");
    Fill(pool, {{"small", "pool"}});
    ASSERT_TRUE(pool.Save(store)) << pool.LastError();
    for (int i = 0; i < 20000; ++i) {
        Fill(pool, {{"key" + std::to_string(i), std::string(100, 'v')}});
    }
    EXPECT_FALSE(pool.Save(store));
    EXPECT_NE(pool.LastError().find(": OOM command not allowed"), std::string::npos)
        << pool.LastError();
    EXPECT_EQ(Keys(redis), std::vector<std::string>{"k:full"});
    CHashPool loaded("l");
    loaded.SetFile("full");
    ASSERT_TRUE(loaded.Load(store));
    EXPECT_EQ(reference::Contents(loaded.Entries()), (reference::Entries{{"small", "pool"}}));
}

TEST(RedisFaults, TellsAMissingOrWrongPasswordWithoutShowingIt) {
    SKIP_WITHOUT_REDIS();
    CTestRedis redis({"--requirepass", "right-secret"});
    ASSERT_TRUE(redis.Start());
    RedisStoreOptions options = Options(redis);
    CHashPool pool("p");
    pool.SetFile("p");
    {
        CRedisStore store(options);
        EXPECT_FALSE(pool.Load(store));
        EXPECT_NE(pool.LastError().find(": NOAUTH"), std::string::npos) << pool.LastError();
    }
    options.server.strPassword = "wrong-secret";
    {
        CRedisStore store(options);
        EXPECT_FALSE(pool.Save(store));
        EXPECT_NE(pool.LastError().find(": WRONGPASS"), std::string::npos) << pool.LastError();
        EXPECT_EQ(pool.LastError().find("secret"), std::string::npos) << pool.LastError();
    }
    options.server.strPassword = "right-secret";
    options.server.uiDb = 3;
    CRedisStore store(options);
    Fill(pool, {{"a", "1"}});
    EXPECT_TRUE(pool.Save(store)) << pool.LastError();
    EXPECT_TRUE(pool.Load(store)) << pool.LastError();
}

TEST_F(Redis, RefusesAKeyOfAnotherType) {
    ASSERT_EQ(m_Redis.Command({"SET", "k:text", "plain"}).eType, EType::Status);
    CRedisStore store(Options(m_Redis));
    CHashPool pool("p");
    pool.SetFile("text");
    EXPECT_FALSE(pool.Load(store));
    EXPECT_NE(pool.LastError().find(": WRONGTYPE"), std::string::npos) << pool.LastError();
    Fill(pool, {{"a", "1"}});
    EXPECT_FALSE(pool.Save(store));
    EXPECT_NE(pool.LastError().find(": WRONGTYPE"), std::string::npos) << pool.LastError();
    pool.Del("a");
    EXPECT_FALSE(pool.Save(store));
    EXPECT_EQ(m_Redis.Command({"GET", "k:text"}).strText, "plain");
    EXPECT_EQ(Keys(m_Redis), std::vector<std::string>{"k:text"});
}

// Text of uiSize bytes, every byte but a line feed and a zero byte, that a pool keeps.
std::string BigText(size_t uiSize, uint32_t uiSeed) {
    std::string strText(uiSize, ' ');
    std::mt19937 random(uiSeed);
    for (size_t i = 0; i < uiSize; i += 4) {
        uint32_t uiWord = random();
        for (size_t j = i; j < std::min(i + 4, uiSize); ++j, uiWord >>= 8) {
            const char c = static_cast<char>(uiWord & 0xff);
            strText[j] = c == '\n' || c == '\0' ? 'x' : c;
        }
    }
    return strText;
}

// The process's peak resident memory (VmHWM) in bytes since the last ResetPeak, or 0 where
// the system does not tell it.
size_t PeakResident() {
    const std::string strStatus = FileBytes("/proc/self/status");
    const size_t uiAt = strStatus.find("VmHWM:");
    if (uiAt == std::string::npos) return 0;
    return std::strtoull(strStatus.c_str() + uiAt + 6, nullptr, 10) * 1024;
}

// True iff the peak was set back to the memory resident now.
bool ResetPeak() {
    std::FILE* pFile = std::fopen("/proc/self/clear_refs", "w");
    if (pFile == nullptr) return false;
    const bool bOk = std::fputs("5", pFile) >= 0;
    return std::fclose(pFile) == 0 && bOk;
}

// A value of 100 MB and a key of 100 MB go to the server and come back byte for byte, and
// neither the save nor the load holds more than a few copies of them at once.
TEST_F(Redis, KeepsAHundredMegabyteValueAndKeyWhole) {
    constexpr size_t BIG = 100 * 1024 * 1024;
    const reference::Entries entries = {
        {"a", "1"}, {"big value", BigText(BIG, 1)}, {BigText(BIG, 2), "big key"}, {"z", "2"}};
    CRedisStore store(Options(m_Redis));
    CHashPool pool("p");
    pool.SetFile("big");
    Fill(pool, entries);
    const bool bMeasured = ResetPeak();
    const size_t uiBefore = PeakResident();
    ASSERT_TRUE(pool.Save(store)) << pool.LastError();
    const size_t uiSaving = PeakResident() - uiBefore;
    CHashPool loaded("l");
    loaded.SetFile("big");
    const bool bTracked = bMeasured && ResetPeak();
    const size_t uiLoadBefore = PeakResident();
    ASSERT_TRUE(loaded.Load(store)) << loaded.LastError();
    const size_t uiLoading = PeakResident() - uiLoadBefore;
    reference::Entries got = reference::Contents(loaded.Entries());
    reference::Entries expected = entries;
    std::sort(got.begin(), got.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_TRUE(got == expected);
    std::printf("200 MB of key and value: the save held %zu MB more at its peak, the load %zu MB\n",
                uiSaving >> 20, uiLoading >> 20);
    if (!bTracked || uiBefore == 0) GTEST_SKIP() << "peak resident memory is not told here";
    // The commands' bytes once (with the room a growing buffer keeps), or the reply's bytes as
    // read and as kept plus the pool's copy; a copy per piece read or sent would be far more.
    EXPECT_LT(uiSaving, 6 * 2 * BIG);
    EXPECT_LT(uiLoading, 8 * 2 * BIG);
}

// A server whose bulk strings are limited refuses the 100 MB value: false with its words, and
// the hash it had is kept.
TEST(RedisFaults, TellsAValueTheServerRefusesAsTooLong) {
    SKIP_WITHOUT_REDIS();
    CTestRedis redis({"--proto-max-bulk-len", "16mb"});
    ASSERT_TRUE(redis.Start());
    CRedisStore store(Options(redis));
    CHashPool pool("p");
    pool.SetFile("limited");
    Fill(pool, {{"a", "1"}});
    ASSERT_TRUE(pool.Save(store)) << pool.LastError();
    Fill(pool, {{"big", BigText(100 * 1024 * 1024, 3)}});
    EXPECT_FALSE(pool.Save(store));
    EXPECT_NE(pool.LastError().find("invalid bulk length"), std::string::npos) << pool.LastError();
    EXPECT_EQ(Keys(redis), std::vector<std::string>{"k:limited"});
    CHashPool loaded("l");
    loaded.SetFile("limited");
    ASSERT_TRUE(loaded.Load(store)) << loaded.LastError();
    EXPECT_EQ(reference::Contents(loaded.Entries()), (reference::Entries{{"a", "1"}}));
}

TEST(RedisFaults, SavesAfterTheServerRestartedSinceTheLoad) {
    SKIP_WITHOUT_REDIS();
    CTestRedis redis({"--appendonly", "yes", "--appendfsync", "always"});
    ASSERT_TRUE(redis.Start());
    for (const bool bGuard : {false, true}) {
        SCOPED_TRACE(bGuard ? "guarded" : "unguarded");
        CRedisStore store(Options(redis, bGuard));
        CHashPool pool("p");
        pool.SetFile("kept");
        Fill(pool, {{"a", "1"}});
        ASSERT_TRUE(pool.Save(store)) << pool.LastError();
        ASSERT_TRUE(pool.Load(store)) << pool.LastError();
        redis.Stop(SIGKILL);
        ASSERT_TRUE(redis.Start());
        Fill(pool, {{"b", "2"}});
        ASSERT_TRUE(pool.Save(store)) << pool.LastError();
        CRedisStore other(Options(redis));
        CHashPool loaded("l");
        loaded.SetFile("kept");
        ASSERT_TRUE(loaded.Load(other)) << loaded.LastError();
        EXPECT_EQ(reference::Contents(loaded.Entries()).size(), 2u);
    }
}

// Two processes load one guarded hash; the first to save wins, the other is refused and keeps
// being refused until it loads again.
TEST_F(Redis, GuardRefusesASaveOverAnotherServersChange) {
    CRedisStore store(Options(m_Redis, true));
    CHashPool pool("p");
    pool.SetFile("shared");
    Fill(pool, {{"score", "1"}});
    ASSERT_TRUE(pool.Save(store)) << pool.LastError();
    ASSERT_TRUE(pool.Load(store)) << pool.LastError();
    const int iChild = RunInChild([&]() {
        CRedisStore theirs(Options(m_Redis, true));
        CHashPool their("t");
        their.SetFile("shared");
        if (!their.Load(theirs)) return 1;
        Fill(their, {{"score", "2"}});
        return their.Save(theirs) ? 0 : 2;
    });
    ASSERT_EQ(iChild, 0);
    Fill(pool, {{"score", "3"}});
    EXPECT_FALSE(pool.Save(store));
    EXPECT_EQ(pool.LastError(),
              "save \"shared\": changed by another server since this pool was loaded");
    EXPECT_FALSE(pool.Save(store));
    EXPECT_EQ(Keys(m_Redis),
              (std::vector<std::string>{"k:shared", std::string("k:shared\0quill-version", 22)}));
    CHashPool reread("r");
    reread.SetFile("shared");
    ASSERT_TRUE(reread.Load(store));
    EXPECT_EQ(reference::Contents(reread.Entries()), (reference::Entries{{"score", "2"}}));
    Fill(reread, {{"score", "4"}});
    EXPECT_TRUE(reread.Save(store)) << reread.LastError();
    // An unguarded save raises the version too, so a guarded store still sees the change.
    CRedisStore unguarded(Options(m_Redis, false));
    ASSERT_TRUE(reread.Save(unguarded));
    EXPECT_FALSE(reread.Save(store));
}

// The entries of one save: kCount keys, each value naming the save.
reference::Entries Generation(int iTag, int iCount) {
    reference::Entries entries;
    for (int i = 0; i < iCount; ++i) {
        entries.emplace_back("key" + std::to_string(i),
                             std::to_string(iTag) + ":" + std::to_string(i));
    }
    return entries;
}

// True iff the entries are one whole generation; its tag goes to iTag.
bool IsOneGeneration(const reference::Entries& entries, int& iTag) {
    if (entries.empty()) return false;
    iTag = std::stoi(entries.front().second);
    auto sorted = entries;
    std::sort(sorted.begin(), sorted.end());
    auto expected = Generation(iTag, static_cast<int>(entries.size()));
    std::sort(expected.begin(), expected.end());
    return sorted == expected &&
           (iTag % 2 == 0 ? entries.size() == 100000 : entries.size() == 99000);
}

// The server killed while another process saves a 100,000-entry pool over and over, round
// after round, restarted each time on its append-only file: the hash is always one whole save.
TEST(RedisKill, LeavesTheOldHashOrTheNewThroughKills) {
    SKIP_WITHOUT_REDIS();
    CTestRedis redis({"--appendonly", "yes", "--appendfsync", "always"});
    ASSERT_TRUE(redis.Start());
    constexpr int ROUNDS = 8;
    {
        CRedisStore store(Options(redis));
        CHashPool first("p");
        first.SetFile("big");
        Fill(first, Generation(2 * 999999, 100000));
        ASSERT_TRUE(first.Save(store)) << first.LastError();
    }
    int iLastTag = 2 * 999999;
    int iNew = 0;
    for (int iRound = 0; iRound < ROUNDS; ++iRound) {
        SCOPED_TRACE("round " + std::to_string(iRound));
        int aiPipe[2];
        ASSERT_EQ(::pipe(aiPipe), 0);
        const pid_t pid = StartChild([&]() {
            ::close(aiPipe[0]);
            ::signal(SIGPIPE, SIG_IGN);
            CRedisStore store(Options(redis));
            for (int iSave = 0;; ++iSave) {
                const int iTag = 2 * (iRound * 1000 + iSave) + iSave % 2;
                CHashPool pool("p");
                pool.SetFile("big");
                Fill(pool, Generation(iTag, iTag % 2 == 0 ? 100000 : 99000));
                if (::write(aiPipe[1], "s", 1) != 1) return 0;
                if (!pool.Save(store)) return 0;
            }
        });
        ::close(aiPipe[1]);
        // The kill comes as the child starts its second save, so it falls in one.
        char aStarted[2];
        ASSERT_EQ(::read(aiPipe[0], aStarted, 1), 1);
        ASSERT_EQ(::read(aiPipe[0], aStarted + 1, 1), 1);
        redis.Stop(SIGKILL);
        ::close(aiPipe[0]);
        EXPECT_EQ(WaitChild(pid), 0);
        ASSERT_TRUE(redis.Start());
        CRedisStore reader(Options(redis));
        CHashPool loaded("l");
        loaded.SetFile("big");
        ASSERT_TRUE(loaded.Load(reader)) << loaded.LastError();
        int iTag = -1;
        ASSERT_TRUE(IsOneGeneration(reference::Contents(loaded.Entries()), iTag));
        // The kill met the round's second save (odd tags): its new hash, or the first's.
        EXPECT_TRUE(iTag == iLastTag || iTag / 2 / 1000 == iRound) << iTag;
        if (iTag % 2 == 1) ++iNew;
        iLastTag = iTag;
    }
    std::printf("%d rounds killed in a save: %d left its new hash, %d the old\n", ROUNDS, iNew,
                ROUNDS - iNew);
}

}  // namespace
