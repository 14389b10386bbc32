// Each case guards a fault that was found and fixed; its first line tells the fault.
#include <gtest/gtest.h>

#include <string>

#include "pool/hash_pool.h"
#include "tests/support/files.h"

// Bug: the writer cut keys and values at 128 bytes and the reader split lines longer than 126
// bytes, so long entries came back cut and the key and value lines fell out of step.
TEST(RegressPoolFile, LongKeysAndValuesRoundTripWhole) {
    CTempDir dir;
    CHashPool pool("long");
    for (size_t uiLen : {126u, 127u, 128u, 129u, 300u}) {
        pool.Add((std::string(uiLen, 'k') + std::to_string(uiLen)).c_str(),
                 std::string(uiLen, 'v').c_str());
    }
    pool.Add("after", "long ones");
    pool.SetFile(dir.File("long.pool").c_str());
    ASSERT_TRUE(pool.Save());
    CHashPool loaded("loaded");
    loaded.SetFile(dir.File("long.pool").c_str());
    ASSERT_TRUE(loaded.Load());
    EXPECT_EQ(loaded.Entries().Size(), 6u);
    for (size_t uiLen : {126u, 127u, 128u, 129u, 300u}) {
        const std::string strKey = std::string(uiLen, 'k') + std::to_string(uiLen);
        EXPECT_EQ(std::string(loaded.Get(strKey.c_str())), std::string(uiLen, 'v')) << uiLen;
    }
    EXPECT_STREQ(loaded.Get("after"), "long ones");
}

// Bug: the reader dropped the last byte of every line, also of a last line without line feed.
TEST(RegressPoolFile, LastLineWithoutLineFeedKeepsItsLastByte) {
    CTempDir dir;
    ASSERT_TRUE(WriteWholeFile(dir.File("p.pool"), "a\n12\nb\n34"));
    CHashPool pool("p");
    pool.SetFile(dir.File("p.pool").c_str());
    ASSERT_TRUE(pool.Load());
    EXPECT_STREQ(pool.Get("a"), "12");
    EXPECT_STREQ(pool.Get("b"), "34");
}

// Bug: a key or value holding a line feed was written as it was and split into extra lines, so
// every later record loaded with keys and values swapped.
TEST(RegressPoolFile, LineFeedInEntryDoesNotShiftLaterRecords) {
    CTempDir dir;
    CHashPool pool("p");
    pool.Add("bad\nkey", "v");
    pool.Add("key", "bad\nvalue");
    for (int i = 0; i < 20; ++i) pool.Add(("k" + std::to_string(i)).c_str(), "v");
    pool.SetFile(dir.File("p.pool").c_str());
    ASSERT_TRUE(pool.Save());
    CHashPool loaded("loaded");
    loaded.SetFile(dir.File("p.pool").c_str());
    ASSERT_TRUE(loaded.Load());
    EXPECT_EQ(loaded.Entries().Size(), 20u);
    for (int i = 0; i < 20; ++i) EXPECT_STREQ(loaded.Get(("k" + std::to_string(i)).c_str()), "v");
}

// Bug: a directory as the pool path opened for reading, read nothing and left the pool emptied
// by a load that reported success.
TEST(RegressPoolFile, LoadingDirectoryKeepsEntries) {
    CTempDir dir;
    CHashPool pool("p");
    pool.Add("kept", "yes");
    pool.SetFile(dir.Path().c_str());
    EXPECT_FALSE(pool.Load());
    EXPECT_STREQ(pool.Get("kept"), "yes");
}
