// An Env over a disk held in memory, the same on every system, that logs each change a save
// makes to the disk, so that the crash-state checker can replay it.
#ifndef QUILLSTORE_TESTS_SUPPORT_MEM_ENV_H
#define QUILLSTORE_TESTS_SUPPORT_MEM_ENV_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "pool/env.h"

// A disk: names (whole paths, "/" between folders) pointing at files, and each file's bytes.
// Several names may point at one file.
struct MemDisk {
    std::map<std::string, uint32_t> mapNames;
    std::map<uint32_t, std::string> mapFiles;
    uint32_t uiNextFile = 1;

    // Makes a new file holding strBytes under strPath, in place of what had that name.
    void Put(const std::string& strPath, const std::string& strBytes);
    // True iff the name exists; its bytes into strBytes.
    bool Get(const std::string& strPath, std::string& strBytes) const;
    // The names in a folder ("d/", or "" for the top), without their folder part, sorted.
    std::vector<std::string> NamesIn(const std::string& strFolder) const;
    // Every name with its bytes, for failure messages.
    std::string Describe() const;
};

// The folder part of a path, up to and with its last "/", or empty.
std::string MemFolderOf(const std::string& strPath);

// One change to the disk as a save made it, in the terms of a disk's durability: a file's data
// survives a crash once the file is synced, a name change once its folder is.
struct MemOp {
    enum class EKind {
        Create,      // strPath: a new name for the new file uiFile
        Append,      // strBytes appended to uiFile
        Truncate,    // uiFile emptied
        SyncFile,    // uiFile's data made durable
        Rename,      // strPath moved to strTo, in place of what strTo named; uiFile is the file
        Remove,      // strPath removed
        SyncFolder,  // the name changes in the folder strPath made durable
    };
    EKind eKind;
    std::string strPath;
    std::string strTo;
    uint32_t uiFile = 0;
    std::string strBytes;

    std::string Describe() const;
};

// Every primitive works on the disk as the process sees it, which is the disk before a crash;
// the log keeps what changed it. Nothing here is ever live after the process: files that
// NewFile made are live saves' only while their objects exist.
class CMemEnv final : public CEnv {
   public:
    explicit CMemEnv(MemDisk disk = MemDisk());

    const MemDisk& Disk() const { return m_Disk; }
    const std::vector<MemOp>& Log() const { return m_Log; }
    // A folder that takes no new files from now on: creating, renaming and removing in it are
    // refused, as a folder closed to this user's writes does.
    void CloseFolder(const std::string& strFolder) { m_setClosed.insert(strFolder); }

    CStatus OpenRead(const char* pszPath, EReadMode eMode,
                     std::unique_ptr<CSequentialFile>& pFile) override;
    CStatus OpenStandardInput(std::unique_ptr<CSequentialFile>& pFile) override;
    // The disk has no standard output: it fails.
    CStatus OpenStandardOutput(std::unique_ptr<CWritableFile>& pFile) override;
    bool Exists(const char* pszPath) override;
    CStatus Resolve(const char* pszPath, FileTarget& target) override;
    CStatus NewFile(const char* pszPath, std::unique_ptr<CWritableFile>& pFile) override;
    CStatus OpenExisting(const char* pszPath, EWriteInto eInto,
                         std::unique_ptr<CWritableFile>& pFile) override;
    CStatus PutInPlace(const char* pszFrom, const char* pszTo) override;
    CStatus RemoveFile(const char* pszPath) override;
    CStatus RemoveLeftover(const char* pszPath) override;
    CStatus ListFolder(const char* pszFolder, IFolderNames& names) override;
    CStatus SyncFolder(const char* pszFolder) override;
    CStatus TakeSaveTurn(const char* pszPath, std::unique_ptr<CSaveTurn>& pTurn) override;
    uint64_t NameSeed() override { return ++m_uiSeed; }

   private:
    friend class CMemWritableFile;

    bool Closed(const std::string& strPath) const;
    bool IsFolder(const std::string& strPath) const;

    MemDisk m_Disk;
    std::vector<MemOp> m_Log;
    std::set<std::string> m_setClosed;
    // Files that NewFile made whose objects still exist.
    std::set<uint32_t> m_setLive;
    uint64_t m_uiSeed = 0;
};

#endif
