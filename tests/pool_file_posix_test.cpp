// Pool files where only a POSIX system can make the fault or the file: a file size limit, a killed
// child, flock, FIFOs, devices, symbolic links, mode bits and another user.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "pool/hash_pool.h"
#include "pool/pool_file.h"
#include "tests/pool_file_test.h"
#include "tests/support/files.h"

using namespace pool_file_test;
using namespace std::string_literals;

namespace {

constexpr size_t WRITE_BUFFER_SIZE = CPoolFile::WRITE_BUFFER_SIZE;

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
