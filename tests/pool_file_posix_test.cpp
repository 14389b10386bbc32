// Pool files where only a POSIX system can make the file: flock, FIFOs, devices, symbolic links
// and mode bits. Saves under a file size limit, killed, refused by permissions or rewriting a file
// in place are run as whole sessions by the faults suite.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "pool/hash_pool.h"
#include "tests/pool_file_test.h"
#include "tests/support/files.h"

using namespace pool_file_test;
using namespace std::string_literals;

namespace {

mode_t ModeOf(const std::string& strPath, bool bFollow = false) {
    struct stat st {};
    const int iResult = bFollow ? ::stat(strPath.c_str(), &st) : ::lstat(strPath.c_str(), &st);
    return iResult == 0 ? st.st_mode : 0;
}

}  // namespace

// Paths that open but are no file to read: a FIFO, a link to nothing, an endless device. Run in
// a child so that a blocking open or an endless read ends in the watchdog instead of hanging.
TEST(PoolFileLoad, FailureOnSpecialFilesKeepsEntriesAndOrder) {
    CTempDir dir;
    ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("nowhere", dir.File("dangling").c_str()), 0);
    ExpectLoadFailuresKeepEntries(
        {{"FIFO without writer", dir.File("fifo")},
         {"dangling link", dir.File("dangling")},
         {"endless device", "/dev/zero"}},
        [](const std::function<int()>& fnLoad) { return RunInChild(fnLoad); });
}

// Links to a directory and links in a loop name no file either.
TEST(PoolFileSave, RefusesLinksThatNameNoFile) {
    CTempDir dir;
    ASSERT_EQ(::mkdir(dir.File("dir").c_str(), 0700), 0);
    ASSERT_EQ(::symlink("dir", dir.File("dirlink").c_str()), 0);
    ASSERT_EQ(::symlink("loop2", dir.File("loop1").c_str()), 0);
    ASSERT_EQ(::symlink("loop1", dir.File("loop2").c_str()), 0);
    CHashPool pool("p");
    pool.Add("k", "v");
    for (const std::string& strPath :
         {dir.File("dirlink"), dir.File("dirlink/"), dir.File("loop1")}) {
        pool.SetFile(strPath.c_str());
        EXPECT_FALSE(pool.Save()) << "'" << strPath << "'";
    }
    EXPECT_TRUE(S_ISDIR(ModeOf(dir.File("dir"))));
    EXPECT_TRUE(S_ISLNK(ModeOf(dir.File("loop1"))));
    EXPECT_EQ(ListDir(dir.Path()), (std::vector<std::string>{"dir", "dirlink", "loop1", "loop2"}));
    EXPECT_TRUE(ListDir(dir.File("dir")).empty());
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
