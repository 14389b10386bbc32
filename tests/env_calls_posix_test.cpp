// The system calls the real Env makes for a save, recorded on their way to the C library and
// checked against what the save policy counts on: the new file's data written and fsynced on its
// own descriptor before the rename, its flock held from before the first write until after it,
// and the folder that holds the new name opened and fsynced after it. The in-memory crash model
// trusts these; a regression here (a lost fsync, one on the wrong descriptor, a folder synced too
// early or not at all) would pass every test on that model.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "pool/hash_pool.h"
#include "tests/support/files.h"
#include "tests/support/system_calls.h"

namespace {

using EKind = SystemCall::EKind;

// What is wrong with the recorded calls of a save that put a new file in place at strTarget, in
// the folder whose identity is folder; empty iff nothing.
class CSaveCheck {
   public:
    CSaveCheck(const std::vector<SystemCall>& vecCalls, const std::string& strTarget,
               const FileIdentity& folder)
        : m_vecCalls(vecCalls), m_strTarget(strTarget), m_Folder(folder) {}

    std::string Problems() {
        if (!FindCreateAndRename()) return m_strProblems;
        CheckLockHeld();
        CheckDataSynced();
        CheckFolderSynced();
        return m_strProblems;
    }

   private:
    void Problem(const std::string& strWhat) { m_strProblems += strWhat + "; "; }

    bool OnNewFile(const SystemCall& call) const { return call.bOk && call.id == m_NewFile; }

    // The new file is the one opened exclusively; it must be renamed over the target.
    bool FindCreateAndRename() {
        const uint32_t uiCreate = O_CREAT | O_EXCL;
        for (size_t i = 0; i < m_vecCalls.size() && m_uiCreate == NONE; ++i) {
            const SystemCall& call = m_vecCalls[i];
            if (call.eKind == EKind::Open && call.bOk && (call.uiFlags & uiCreate) == uiCreate) {
                m_uiCreate = i;
                m_NewFile = call.id;
            }
        }
        if (m_uiCreate == NONE) {
            Problem("no new file opened exclusively");
            return false;
        }
        const std::string& strTemp = m_vecCalls[m_uiCreate].strPath;
        for (size_t i = m_uiCreate; i < m_vecCalls.size() && m_uiRename == NONE; ++i) {
            const SystemCall& call = m_vecCalls[i];
            if (call.eKind == EKind::Rename && call.bOk && call.strPath == strTemp &&
                call.strTo == m_strTarget) {
                m_uiRename = i;
            }
        }
        if (m_uiRename == NONE)
            Problem("the new file " + strTemp + " never renamed over the target");
        return m_uiRename != NONE;
    }

    // An exclusive flock on the new file before any write, neither unlocked nor closed before
    // the rename: another save must never take the file for a killed save's leftover.
    void CheckLockHeld() {
        size_t uiLock = NONE;
        bool bWrittenUnlocked = false;
        for (size_t i = m_uiCreate; i < m_uiRename; ++i) {
            const SystemCall& call = m_vecCalls[i];
            if (!OnNewFile(call)) continue;
            if (call.eKind == EKind::Lock && (call.uiFlags & LOCK_EX) != 0 && uiLock == NONE) {
                uiLock = i;
            }
            bWrittenUnlocked = bWrittenUnlocked || (call.eKind == EKind::Write && uiLock == NONE);
            const bool bUnlock = call.eKind == EKind::Lock && (call.uiFlags & LOCK_UN) != 0;
            if (uiLock != NONE && (bUnlock || call.eKind == EKind::Close)) {
                Problem("its flock let go before the rename: " + call.Describe());
            }
        }
        if (bWrittenUnlocked) Problem("written before its flock");
        if (uiLock == NONE) Problem("the new file never flocked");
    }

    // Every byte the target holds now written to the new file, then an fsync of a descriptor of
    // that file, all before the rename.
    void CheckDataSynced() {
        std::string strWritten;
        size_t uiLastWrite = m_uiCreate;
        size_t uiSync = NONE;
        for (size_t i = m_uiCreate; i < m_uiRename; ++i) {
            const SystemCall& call = m_vecCalls[i];
            if (!OnNewFile(call)) continue;
            if (call.eKind == EKind::Write) {
                strWritten += call.strBytes;
                uiLastWrite = i;
                uiSync = NONE;
            }
            if (call.eKind == EKind::Sync) uiSync = i;
        }
        if (strWritten != FileBytes(m_strTarget)) {
            Problem("the new file's writes (" + std::to_string(strWritten.size()) +
                    " bytes) are not the target's bytes");
        }
        if (uiSync == NONE || uiSync < uiLastWrite) {
            Problem("no fsync of the new file after its last write and before the rename");
        }
    }

    // A descriptor of the target's own folder fsynced after the rename, and none before it: a
    // sync of the folder before the name changed makes nothing durable.
    void CheckFolderSynced() {
        bool bSynced = false;
        for (size_t i = 0; i < m_vecCalls.size(); ++i) {
            const SystemCall& call = m_vecCalls[i];
            if (call.eKind != EKind::Sync || !call.bOk || !(call.id == m_Folder)) continue;
            if (i < m_uiRename) Problem("the folder fsynced before the rename");
            if (i > m_uiRename) bSynced = true;
        }
        if (!bSynced) Problem("the target's folder never fsynced after the rename");
    }

    static constexpr size_t NONE = static_cast<size_t>(-1);
    const std::vector<SystemCall>& m_vecCalls;
    std::string m_strTarget;
    FileIdentity m_Folder;
    std::string m_strProblems;
    size_t m_uiCreate = NONE;
    size_t m_uiRename = NONE;
    FileIdentity m_NewFile;
};

// A pool of uiEntries entries of uiValueLen bytes each, bound to strPath.
void Fill(CHashPool& pool, const std::string& strPath, size_t uiEntries, size_t uiValueLen) {
    const std::string strValue(uiValueLen, 'v');
    for (size_t i = 0; i < uiEntries; ++i)
        pool.Add(("key" + std::to_string(i)).c_str(), strValue.c_str());
    pool.SetFile(strPath.c_str());
}

struct SaveCase {
    const char* pszName;
    // The pool's path, under the case's folder, and the file that the save replaces there.
    const char* pszPath;
    const char* pszTarget;
    // Files made before the save: (name, bytes), or a symbolic link when the bytes start "->".
    std::vector<std::pair<std::string, std::string>> vecBefore;
    // A large pool writes in many pieces, and starts the disk's writeback between them.
    size_t uiEntries = 3;
    size_t uiValueLen = 8;
};

std::vector<SaveCase> SaveCases() {
    return {
        {"over an existing file", "data.pool", "data.pool", {{"data.pool", "old\n1\n"}}},
        {"a new file, no file there yet", "data.pool", "data.pool", {}},
        {"beside a killed save's leftover",
         "data.pool",
         "data.pool",
         {{"data.pool", "old\n1\n"}, {".data.pool.quilltmp-k1lled", "old"}}},
        // The file replaced, and the folder synced, are the link's target's, in another folder.
        {"through a link into another folder",
         "link.pool",
         "real/data.pool",
         {{"real/data.pool", "old\n1\n"}, {"link.pool", "->real/data.pool"}}},
        {"a pool of several megabytes", "data.pool", "data.pool", {}, 40000, 100},
    };
}

void MakeFiles(const CTempDir& dir, const SaveCase& saveCase) {
    ASSERT_EQ(::mkdir(dir.File("real").c_str(), 0755), 0);
    for (const auto& [strName, strBytes] : saveCase.vecBefore) {
        if (strBytes.rfind("->", 0) == 0) {
            ASSERT_EQ(::symlink(strBytes.substr(2).c_str(), dir.File(strName).c_str()), 0);
        } else {
            ASSERT_TRUE(WriteWholeFile(dir.File(strName), strBytes));
        }
    }
}

// Each save, recorded on the way to the C library, keeps the protocol, on an absolute path and on
// one relative to the working folder (a folder part of ".").
TEST(EnvCalls, EverySaveSyncsItsFileThenRenamesThenSyncsItsFolder) {
    for (const SaveCase& saveCase : SaveCases()) {
        for (const bool bRelative : {false, true}) {
            const CTempDir dir;
            MakeFiles(dir, saveCase);
            const std::string strTarget =
                bRelative ? std::string(saveCase.pszTarget) : dir.File(saveCase.pszTarget);
            const std::string strFolder =
                dir.File(saveCase.pszTarget).substr(0, dir.File(saveCase.pszTarget).rfind('/'));
            const std::string strPath =
                bRelative ? std::string(saveCase.pszPath) : dir.File(saveCase.pszPath);
            CHashPool pool("p");
            Fill(pool, strPath, saveCase.uiEntries, saveCase.uiValueLen);
            char szWorking[4096];
            ASSERT_NE(::getcwd(szWorking, sizeof(szWorking)), nullptr);
            ASSERT_EQ(::chdir(bRelative ? dir.Path().c_str() : szWorking), 0);
            std::vector<SystemCall> vecCalls;
            std::string strTrace;
            bool bSaved = false;
            {
                const CRecording recording;
                bSaved = pool.Save();
                vecCalls = recording.Calls();
                strTrace = recording.Describe();
            }
            const std::string strProblems =
                CSaveCheck(vecCalls, strTarget, IdentityOf(strFolder)).Problems();
            ASSERT_EQ(::chdir(szWorking), 0);
            EXPECT_TRUE(bSaved) << saveCase.pszName << ": " << pool.LastError();
            EXPECT_EQ(strProblems, "")
                << saveCase.pszName << (bRelative ? ", relative" : "") << "; the calls:\n"
                << strTrace;
        }
    }
}

}  // namespace
