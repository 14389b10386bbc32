// Fixed faults whose test needs a POSIX system: a file size limit set for a forked child.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pool/hash_pool.h"
#include "tests/support/files.h"

// Bug: a save rewrote the pool file in place and ignored write errors, so a full disk left a
// short file and the save still reported success.
TEST(RegressPoolFile, FailedWriteKeepsOldFileAndReportsFailure) {
    CTempDir dir;
    ASSERT_TRUE(WriteWholeFile(dir.File("p.pool"), "old\nfile\n"));
    CHashPool pool("p");
    for (int i = 0; i < 1000; ++i) pool.Add(("key" + std::to_string(i)).c_str(), "value");
    pool.SetFile(dir.File("p.pool").c_str());
    EXPECT_EQ(RunInChild([&]() { return pool.Save() ? 0 : 1; }, {.llFileSizeLimit = 100}), 1);
    std::string strBytes;
    ASSERT_TRUE(ReadWholeFile(dir.File("p.pool"), strBytes));
    EXPECT_EQ(strBytes, "old\nfile\n");
    EXPECT_EQ(ListDir(dir.Path()), std::vector<std::string>{"p.pool"});
}
