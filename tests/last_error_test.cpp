// A pool's LastError for each way a load or save fails, and what a save that the system stops
// half-way through putting its file in place leaves: the data kept, named, and not swept.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "pool/env.h"
#include "pool/hash_pool.h"
#include "pool/pool_file.h"
#include "tests/support/files.h"

namespace {

// The system's Env, but for the calls a test replaces.
class CForwardingEnv : public CEnv {
   public:
    CStatus OpenRead(const char* pszPath, EReadMode eMode,
                     std::unique_ptr<CSequentialFile>& pFile) override {
        return m_Base.OpenRead(pszPath, eMode, pFile);
    }
    CStatus OpenStandardInput(std::unique_ptr<CSequentialFile>& pFile) override {
        return m_Base.OpenStandardInput(pFile);
    }
    CStatus OpenStandardOutput(std::unique_ptr<CWritableFile>& pFile) override {
        return m_Base.OpenStandardOutput(pFile);
    }
    bool Exists(const char* pszPath) override { return m_Base.Exists(pszPath); }
    CStatus Resolve(const char* pszPath, FileTarget& target) override {
        return m_Base.Resolve(pszPath, target);
    }
    CStatus NewFile(const char* pszPath, std::unique_ptr<CWritableFile>& pFile) override {
        return m_Base.NewFile(pszPath, pFile);
    }
    CStatus OpenExisting(const char* pszPath, EWriteInto eInto,
                         std::unique_ptr<CWritableFile>& pFile) override {
        return m_Base.OpenExisting(pszPath, eInto, pFile);
    }
    CStatus PutInPlace(const char* pszFrom, const char* pszTo) override {
        return m_Base.PutInPlace(pszFrom, pszTo);
    }
    CStatus RemoveFile(const char* pszPath) override { return m_Base.RemoveFile(pszPath); }
    CStatus RemoveLeftover(const char* pszPath) override { return m_Base.RemoveLeftover(pszPath); }
    CStatus ListFolder(const char* pszFolder, IFolderNames& names) override {
        return m_Base.ListFolder(pszFolder, names);
    }
    CStatus SyncFolder(const char* pszFolder) override { return m_Base.SyncFolder(pszFolder); }
    CStatus TakeSaveTurn(const char* pszPath, std::unique_ptr<CSaveTurn>& pTurn) override {
        return m_Base.TakeSaveTurn(pszPath, pTurn);
    }
    uint64_t NameSeed() override { return m_Base.NameSeed(); }

   protected:
    CEnv& m_Base = CEnv::Default();
};

// A file whose appends fail.
class CFailingWrites final : public CWritableFile {
   public:
    explicit CFailingWrites(std::unique_ptr<CWritableFile> pFile) : m_pFile(std::move(pFile)) {}
    CStatus Append(const char*, size_t) override { return CStatus::IoError(); }
    CStatus Sync() override { return m_pFile->Sync(); }
    CStatus TakeOver(const FileTarget& target) override { return m_pFile->TakeOver(target); }
    CStatus Close() override { return m_pFile->Close(); }

   private:
    std::unique_ptr<CWritableFile> m_pFile;
};

class CFailingWritesEnv final : public CForwardingEnv {
   public:
    CStatus NewFile(const char* pszPath, std::unique_ptr<CWritableFile>& pFile) override {
        const CStatus status = m_Base.NewFile(pszPath, pFile);
        if (status.Ok()) pFile.reset(new CFailingWrites(std::move(pFile)));
        return status;
    }
};

// Puts a file in place as ReplaceFileW does when it cannot move the new file in: the old file
// is removed, the new one stays under its own name.
class CHalfDoneEnv final : public CForwardingEnv {
   public:
    CStatus PutInPlace(const char*, const char* pszTo) override {
        m_Base.RemoveFile(pszTo);
        return CStatus::Error(CStatus::ECode::HalfDone, CStatus::IoError().SystemCode());
    }
};

class CClosedFolderEnv final : public CForwardingEnv {
   public:
    CStatus NewFile(const char*, std::unique_ptr<CWritableFile>&) override {
        return CStatus::Error(CStatus::ECode::Denied, CStatus::IoError().SystemCode());
    }
};

class CReadOnlyEnv final : public CForwardingEnv {
   public:
    CStatus Resolve(const char* pszPath, FileTarget& target) override {
        const CStatus status = m_Base.Resolve(pszPath, target);
        target.bWritable = false;
        return status;
    }
};

std::string FileBytes(const std::string& strPath) {
    std::string strBytes;
    return ReadWholeFile(strPath, strBytes) ? strBytes : "<unreadable>";
}

// The text of a line up to its system's words: they differ between systems.
std::string UpToWords(const std::string& strLine) { return strLine.substr(0, strLine.find(" (")); }

// The names in the folder other than the pool file's.
std::vector<std::string> Others(const CTempDir& dir, const std::string& strPool) {
    std::vector<std::string> aNames;
    for (const std::string& strName : ListDir(dir.Path())) {
        if (strName != strPool) aNames.push_back(strName);
    }
    return aNames;
}

TEST(LastError, NamesEachRefusalOfALoadAndClearsOnSuccess) {
    CTempDir dir;
    const std::string strMissing = dir.File("missing.pool");
    CHashPool pool("p");
    EXPECT_EQ(pool.LastError(), "");
    EXPECT_FALSE(pool.Load());
    EXPECT_EQ(pool.LastError(), "load \"\": no file is bound to the pool");

    pool.SetFile(strMissing.c_str());
    EXPECT_FALSE(pool.Load());
    EXPECT_EQ(pool.LastError(),
              "load \"" + strMissing + "\": the file does not exist (No such file or directory)");

    pool.SetFile(dir.Path().c_str());
    EXPECT_FALSE(pool.Load());
    EXPECT_EQ(pool.LastError(), "load \"" + dir.Path() + "\": it is a folder, not a file");

    const std::string strPath = dir.File("p.pool");
    ASSERT_TRUE(WriteWholeFile(strPath, "k\nv\n"));
    pool.SetFile(strPath.c_str());
    EXPECT_TRUE(pool.Load());
    EXPECT_EQ(pool.LastError(), "");
}

TEST(LastError, NamesEachRefusalOfASave) {
    CTempDir dir;
    CHashPool pool("p");
    pool.Add("k", "v");
    EXPECT_FALSE(pool.Save());
    EXPECT_EQ(pool.LastError(), "save \"\": no file is bound to the pool");

    for (const std::string& strFolder : {dir.Path(), dir.Path() + "/"}) {
        pool.SetFile(strFolder.c_str());
        EXPECT_FALSE(pool.Save());
        EXPECT_EQ(pool.LastError(), "save \"" + strFolder + "\": it is a folder, not a file");
    }

    const std::string strPath = dir.File("p.pool");
    ASSERT_TRUE(WriteWholeFile(strPath, "old\n1\n"));
    pool.SetFile(strPath.c_str());
    CReadOnlyEnv readOnly;
    EXPECT_FALSE(pool.Save(readOnly));
    EXPECT_EQ(pool.LastError(), "save \"" + strPath + "\": the file is read-only");
    // A failed save leaves a load's line alone until the next load or save.
    EXPECT_EQ(pool.LastError(), "save \"" + strPath + "\": the file is read-only");
    EXPECT_TRUE(pool.Save());
    EXPECT_EQ(pool.LastError(), "");
}

// A folder that takes no new files: a new pool file cannot be made there at all, while an
// existing one is rewritten in place.
TEST(LastError, ClosedFolderNamesTheFolderOrRewritesInPlace) {
    CTempDir dir;
    const std::string strPath = dir.File("p.pool");
    CHashPool pool("p");
    pool.Add("k", "new");
    pool.SetFile(strPath.c_str());
    CClosedFolderEnv closed;
    EXPECT_FALSE(pool.Save(closed));
    EXPECT_EQ(UpToWords(pool.LastError()),
              "save \"" + strPath + "\": the folder takes no new files");
    EXPECT_TRUE(ListDir(dir.Path()).empty());

    ASSERT_TRUE(WriteWholeFile(strPath, "old\n1\n"));
    EXPECT_TRUE(pool.Save(closed));
    EXPECT_EQ(pool.LastError(), "");
    EXPECT_EQ(FileBytes(strPath), "k\nnew\n");
}

TEST(LastError, FailedWriteKeepsTheOldFileAndNamesTheStep) {
    CTempDir dir;
    const std::string strPath = dir.File("p.pool");
    ASSERT_TRUE(WriteWholeFile(strPath, "old\n1\n"));
    CHashPool pool("p");
    pool.Add("k", "new");
    pool.SetFile(strPath.c_str());
    CFailingWritesEnv failing;
    EXPECT_FALSE(pool.Save(failing));
    EXPECT_EQ(UpToWords(pool.LastError()),
              "save \"" + strPath + "\": the new file cannot be written");
    EXPECT_EQ(FileBytes(strPath), "old\n1\n");
    EXPECT_TRUE(Others(dir, "p.pool").empty());
}

// The system removed the old file and could not move the new one in: the new file is the only
// copy of the data. It is named, kept through a save that fails, and removed only once a later
// save has put a whole file in place.
TEST(LastError, HalfDonePutInPlaceKeepsTheDataUntilAWholeFileIsInPlace) {
    CTempDir dir;
    const std::string strPath = dir.File("p.pool");
    ASSERT_TRUE(WriteWholeFile(strPath, "old\n1\n"));
    CHashPool pool("p");
    pool.Add("k", "new");
    pool.SetFile(strPath.c_str());
    CHalfDoneEnv halfDone;
    EXPECT_FALSE(pool.Save(halfDone));
    const std::vector<std::string> aKept = Others(dir, "p.pool");
    ASSERT_EQ(aKept.size(), 1u);
    EXPECT_TRUE(CPoolFile::IsTempName(aKept[0].c_str(), "p.pool"));
    const std::string strKept = dir.File(aKept[0]);
    EXPECT_EQ(FileBytes(strKept), "k\nnew\n");
    const std::string strError = pool.LastError();
    EXPECT_EQ(UpToWords(strError), "save \"" + strPath + "\": the new file cannot be put in place");
    EXPECT_NE(strError.find("); the data is in \"" + strKept + "\""), std::string::npos)
        << strError;

    CFailingWritesEnv failing;
    EXPECT_FALSE(pool.Save(failing));
    EXPECT_EQ(Others(dir, "p.pool"), aKept);
    EXPECT_EQ(FileBytes(strKept), "k\nnew\n");

    pool.Add("k", "newer");
    EXPECT_TRUE(pool.Save());
    EXPECT_EQ(pool.LastError(), "");
    EXPECT_EQ(FileBytes(strPath), "k\nnewer\n");
    EXPECT_EQ(ListDir(dir.Path()), std::vector<std::string>{"p.pool"});
}

#ifndef _WIN32
// A device that takes nothing: the save fails with the system's own reason.
TEST(LastError, FullDeviceNamesTheDevice) {
    CHashPool pool("p");
    pool.Add("k", "v");
    pool.SetFile("/dev/full");
    EXPECT_FALSE(pool.Save());
    EXPECT_EQ(pool.LastError(),
              "save \"/dev/full\": the device takes no more (No space left on device)");
}
#endif

}  // namespace
