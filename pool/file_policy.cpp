// The load and save policy of the file store: which of the Env's primitives a load and a save
// call, in which order, and what each failure leaves behind. Nothing here names a system.
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "pool/env.h"
#include "pool/file_store.h"
#include "pool/pool_file.h"

using ECode = CStatus::ECode;
using EStep = CStatus::EStep;

static constexpr size_t PATH_BUFFER_SIZE = FileTarget::PATH_BUFFER_SIZE;
// How many times a save writes its new file again after another save took the closed file for
// a leftover in the moment before it was put in place.
static constexpr int REPLACE_TRIES = 3;

// Reads into a fresh table of the pool's bucket count, so that a load either ends as
// clear-then-insert would or leaves the entries untouched.
static CStatus LoadEntries(CSequentialFile& file, CStore::Table& entries) {
    try {
        CStore::Table fresh(entries.BucketCount());
        const CStatus status = CPoolFile::Read(file, fresh);
        if (!status.Ok()) return status.At(EStep::Read);
        entries.Swap(fresh);
        return status;
    } catch (const std::bad_alloc&) {
        return CStatus::NoMemory();
    }
}

namespace {

// The folder part of a target, ending in a separator, or empty for the working folder.
class CFolderOf {
   public:
    explicit CFolderOf(const FileTarget& target) {
        std::memcpy(m_szFolder, target.szPath, target.uiBaseOffset);
        m_szFolder[target.uiBaseOffset] = '\0';
    }
    const char* Get() const { return m_szFolder; }

   private:
    char m_szFolder[PATH_BUFFER_SIZE];
};

// Removes, among a folder's names, the temporary files that killed saves of the target left;
// the Env keeps those a live save holds.
class CLeftoverSweep final : public IFolderNames {
   public:
    CLeftoverSweep(CEnv& env, const FileTarget& target) : m_Env(env), m_Target(target) {}

    void Name(const char* pszName) override {
        if (!CPoolFile::IsTempName(pszName, m_Target.szPath + m_Target.uiBaseOffset)) return;
        const size_t uiNameLen = std::strlen(pszName);
        if (m_Target.uiBaseOffset + uiNameLen >= sizeof(m_szPath)) return;
        std::memcpy(m_szPath, m_Target.szPath, m_Target.uiBaseOffset);
        std::memcpy(m_szPath + m_Target.uiBaseOffset, pszName, uiNameLen + 1);
        m_Env.RemoveLeftover(m_szPath);
    }

   private:
    CEnv& m_Env;
    const FileTarget& m_Target;
    char m_szPath[PATH_BUFFER_SIZE];
};

}  // namespace

// A file that is missing because its folder is: the status that names the folder, in strDetail.
// The folder part is the one the system finds in the path, without its last separator.
static CStatus MissingFolder(CEnv& env, const FileTarget& target, const CStatus& status,
                             std::string& strDetail) {
    if (status.Code() != ECode::NotFound || target.uiBaseOffset < 2) return status;
    CFolderOf folder(target);
    std::string strFolder(folder.Get(), target.uiBaseOffset - 1);
    if (env.Exists(strFolder.c_str())) return status;
    strDetail = "the folder \"" + strFolder + "\" does not exist";
    return CStatus::Error(ECode::NoFolder, status.SystemCode()).At(status.Step());
}

CStatus CFileStore::Load(const char* pszPath, Table& entries, std::string& strDetail) {
    std::unique_ptr<CSequentialFile> pFile;
    CStatus status = Env().OpenRead(pszPath, CEnv::EReadMode::PoolFile, pFile).At(EStep::Open);
    if (status.Ok()) return LoadEntries(*pFile, entries);
    if (status.Code() == ECode::Outside) strDetail = m_strOutside;
    FileTarget target;
    if (status.Code() == ECode::NotFound && Env().Resolve(pszPath, target).Ok()) {
        status = MissingFolder(Env(), target, status, strDetail);
    }
    return status;
}

// A folder that cannot be listed, or a leftover that cannot be removed, fails no save: the next
// save tries again.
static void SweepLeftovers(CEnv& env, const FileTarget& target) {
    const CFolderOf folder(target);
    CLeftoverSweep sweep(env, target);
    env.ListFolder(folder.Get(), sweep);
}

// Makes a new temporary file beside the target under a name no other file has.
static CStatus CreateTemp(CEnv& env, const FileTarget& target, char (&szTemp)[PATH_BUFFER_SIZE],
                          std::unique_ptr<CWritableFile>& pFile) {
    CStatus status = CStatus::Error(ECode::Failed);
    for (int iTry = 0; iTry < CPoolFile::TEMP_NAME_TRIES; ++iTry) {
        if (!CPoolFile::TempName(target, env.NameSeed(), szTemp)) {
            return CStatus::Error(ECode::Failed);
        }
        status = env.NewFile(szTemp, pFile);
        if (status.Code() != ECode::Exists) return status;
    }
    return status;
}

// The new file's contents, made durable: what it takes over from the old file first, so that
// it is never readable by more people than the old one was.
static CStatus WriteNew(CWritableFile& file, const FileTarget& target,
                        const CStore::Table& entries) {
    CStatus status = file.TakeOver(target).At(EStep::TakeOver);
    if (status.Ok()) status = CPoolFile::Write(file, entries).At(EStep::Write);
    if (status.Ok()) status = file.Sync().At(EStep::Sync);
    const CStatus closed = file.Close();
    if (status.Ok()) status = closed.At(EStep::Sync);
    return status;
}

// The entries go to a temporary file beside the target, which is synced and put in place of
// it; the folder is synced so that the new name survives a crash. The file stays marked as a
// live save's until it is in place, so that no other save takes it for a leftover; the sync has
// reported every write error by then. On any failure the target is as it was and the new file
// is removed, except when putting it in place removed the old file but could not move the new
// one: it then holds the only copy of the data and stays, named in szKept.
static CStatus Replace(CEnv& env, const FileTarget& target, const CStore::Table& entries,
                       char (&szKept)[PATH_BUFFER_SIZE]) {
    std::unique_ptr<CSaveTurn> pTurn;
    env.TakeSaveTurn(target.szPath, pTurn);
    // Over a whole file, what killed saves left goes first, which frees their room. With no
    // file in place, one of them may hold a failed save's data, so they wait until this save's
    // file is in place.
    const bool bSweepFirst = target.eKind == FileTarget::EKind::Regular;
    if (bSweepFirst) SweepLeftovers(env, target);
    CStatus status;
    for (int iTry = 0; iTry < REPLACE_TRIES; ++iTry) {
        char szTemp[PATH_BUFFER_SIZE];
        std::unique_ptr<CWritableFile> pFile;
        status = CreateTemp(env, target, szTemp, pFile).At(EStep::Create);
        if (!status.Ok()) return status;
        status = WriteNew(*pFile, target, entries);
        const bool bWritten = status.Ok();
        if (bWritten) status = env.PutInPlace(szTemp, target.szPath).At(EStep::PutInPlace);
        if (status.Ok()) {
            pFile.reset();
            const CFolderOf folder(target);
            // The new file is in place either way; a folder that cannot be synced only leaves
            // its new name less durable.
            env.SyncFolder(folder.Get());
            if (!bSweepFirst) SweepLeftovers(env, target);
            return status;
        }
        if (status.Code() == ECode::HalfDone) {
            std::memcpy(szKept, szTemp, sizeof(szKept));
            return status;
        }
        const bool bTempGone = bWritten && !env.Exists(szTemp);
        env.RemoveFile(szTemp);
        if (!bTempGone) return status;
    }
    return status;
}

// Writes into the target itself: a device or pipe as it is, or a regular file emptied first
// and synced after, for the in-place rewrite. A failed rewrite can leave the file short.
static CStatus WriteInto(CEnv& env, const FileTarget& target, const CStore::Table& entries,
                         CEnv::EWriteInto eInto) {
    const bool bRewrite = eInto == CEnv::EWriteInto::Rewrite;
    const EStep eStep = bRewrite ? EStep::Rewrite : EStep::DeviceWrite;
    std::unique_ptr<CWritableFile> pFile;
    CStatus status = env.OpenExisting(target.szPath, eInto, pFile);
    if (!status.Ok()) return status.At(eStep);
    status = CPoolFile::Write(*pFile, entries);
    if (status.Ok() && bRewrite) status = pFile->Sync();
    const CStatus closed = pFile->Close();
    if (status.Ok()) status = closed;
    return status.At(eStep);
}

// How a save treats its target: a folder, a path ending in a folder separator and a file closed
// to writing are refused; a device or pipe is written into; anything else is replaced, or, in
// a folder that takes no new files, rewritten in place.
static CStatus SaveEntries(CEnv& env, const char* pszPath, const CStore::Table& entries,
                           char (&szKept)[PATH_BUFFER_SIZE], std::string& strDetail) {
    FileTarget target;
    const CStatus resolved = env.Resolve(pszPath, target).At(EStep::Resolve);
    if (!resolved.Ok()) return resolved;
    if (target.szPath[target.uiBaseOffset] == '\0') return CStatus::Error(ECode::Folder);
    switch (target.eKind) {
        case FileTarget::EKind::Missing:
            break;
        case FileTarget::EKind::Directory:
            return CStatus::Error(ECode::Folder);
        case FileTarget::EKind::Device:
            return WriteInto(env, target, entries, CEnv::EWriteInto::Device);
        case FileTarget::EKind::Regular:
            // A file its owner made read-only is not replaced behind their back.
            if (!target.bWritable) return CStatus::Error(ECode::ReadOnly);
            break;
    }
    CStatus status = Replace(env, target, entries, szKept);
    if (status.Step() == EStep::Create) status = MissingFolder(env, target, status, strDetail);
    const bool bClosedFolder = status.Step() == EStep::Create && status.Code() == ECode::Denied;
    if (bClosedFolder && target.eKind == FileTarget::EKind::Regular) {
        return WriteInto(env, target, entries, CEnv::EWriteInto::Rewrite);
    }
    return status;
}

CStatus CFileStore::Save(const char* pszPath, const Table& entries, std::string& strDetail) {
    char szKept[PATH_BUFFER_SIZE];
    szKept[0] = '\0';
    const CStatus status = SaveEntries(Env(), pszPath, entries, szKept, strDetail);
    if (status.Code() == ECode::HalfDone) strDetail = szKept;
    if (status.Code() == ECode::Outside) strDetail = m_strOutside;
    return status;
}
