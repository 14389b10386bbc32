// The in-memory Env and its disk.
#include "tests/support/mem_env.h"

#include <algorithm>
#include <cstring>
#include <utility>

void MemDisk::Put(const std::string& strPath, const std::string& strBytes) {
    const uint32_t uiFile = uiNextFile++;
    mapFiles[uiFile] = strBytes;
    mapNames[strPath] = uiFile;
}

bool MemDisk::Get(const std::string& strPath, std::string& strBytes) const {
    const auto it = mapNames.find(strPath);
    if (it == mapNames.end()) return false;
    strBytes = mapFiles.at(it->second);
    return true;
}

std::vector<std::string> MemDisk::NamesIn(const std::string& strFolder) const {
    std::vector<std::string> vecNames;
    for (const auto& [strPath, uiFile] : mapNames) {
        if (MemFolderOf(strPath) == strFolder) vecNames.push_back(strPath.substr(strFolder.size()));
    }
    return vecNames;
}

std::string MemDisk::Describe() const {
    std::string strText;
    for (const auto& [strPath, uiFile] : mapNames) {
        strText += " " + strPath + "=\"" + mapFiles.at(uiFile) + "\"";
    }
    return strText.empty() ? " (nothing)" : strText;
}

std::string MemFolderOf(const std::string& strPath) {
    const size_t uiSlash = strPath.rfind('/');
    return uiSlash == std::string::npos ? std::string() : strPath.substr(0, uiSlash + 1);
}

std::string MemOp::Describe() const {
    switch (eKind) {
        case EKind::Create:
            return "create " + strPath;
        case EKind::Append:
            return "append " + std::to_string(strBytes.size()) + " bytes to #" +
                   std::to_string(uiFile);
        case EKind::Truncate:
            return "truncate #" + std::to_string(uiFile);
        case EKind::SyncFile:
            return "sync #" + std::to_string(uiFile);
        case EKind::Rename:
            return "rename " + strPath + " to " + strTo;
        case EKind::Remove:
            return "remove " + strPath;
        case EKind::SyncFolder:
            return "sync folder \"" + strPath + "\"";
    }
    return "?";
}

namespace {

class CMemSequentialFile final : public CSequentialFile {
   public:
    explicit CMemSequentialFile(std::string strBytes) : m_strBytes(std::move(strBytes)) {}

    CStatus Read(char* pBuffer, size_t uiLen, size_t& uiRead) override {
        uiRead = std::min(uiLen, m_strBytes.size() - m_uiAt);
        std::memcpy(pBuffer, m_strBytes.data() + m_uiAt, uiRead);
        m_uiAt += uiRead;
        return CStatus();
    }

   private:
    std::string m_strBytes;
    size_t m_uiAt = 0;
};

}  // namespace

// Writes into the disk the process sees, logging each change; a file is written by number, so
// that it stays the same file under whatever name it is moved to.
class CMemWritableFile final : public CWritableFile {
   public:
    CMemWritableFile(CMemEnv& env, uint32_t uiFile, bool bLive)
        : m_Env(env), m_uiFile(uiFile), m_bLive(bLive) {
        if (m_bLive) m_Env.m_setLive.insert(m_uiFile);
    }
    ~CMemWritableFile() override {
        if (m_bLive) m_Env.m_setLive.erase(m_uiFile);
    }

    CStatus Append(const char* pData, size_t uiLen) override {
        if (m_bClosed) return CStatus::Error(CStatus::ECode::Failed);
        m_Env.m_Disk.mapFiles[m_uiFile].append(pData, uiLen);
        m_Env.m_Log.push_back({MemOp::EKind::Append, "", "", m_uiFile, std::string(pData, uiLen)});
        return CStatus();
    }
    CStatus Sync() override {
        if (m_bClosed) return CStatus::Error(CStatus::ECode::Failed);
        m_Env.m_Log.push_back({MemOp::EKind::SyncFile, "", "", m_uiFile, ""});
        return CStatus();
    }
    CStatus TakeOver(const FileTarget&) override { return CStatus(); }
    CStatus Close() override {
        m_bClosed = true;
        return CStatus();
    }

   private:
    CMemEnv& m_Env;
    uint32_t m_uiFile;
    bool m_bLive;
    bool m_bClosed = false;
};

CMemEnv::CMemEnv(MemDisk disk) : m_Disk(std::move(disk)) {}

bool CMemEnv::Closed(const std::string& strPath) const {
    return m_setClosed.count(MemFolderOf(strPath)) != 0;
}

bool CMemEnv::IsFolder(const std::string& strPath) const {
    if (!strPath.empty() && strPath.back() == '/') return true;
    const auto it = m_Disk.mapNames.lower_bound(strPath + "/");
    return it != m_Disk.mapNames.end() &&
           it->first.compare(0, strPath.size() + 1, strPath + "/") == 0;
}

CStatus CMemEnv::OpenRead(const char* pszPath, EReadMode, std::unique_ptr<CSequentialFile>& pFile) {
    if (IsFolder(pszPath)) return CStatus::Error(CStatus::ECode::Folder);
    std::string strBytes;
    if (!m_Disk.Get(pszPath, strBytes)) return CStatus::Error(CStatus::ECode::NotFound);
    pFile = std::make_unique<CMemSequentialFile>(std::move(strBytes));
    return CStatus();
}

CStatus CMemEnv::OpenStandardInput(std::unique_ptr<CSequentialFile>& pFile) {
    pFile = std::make_unique<CMemSequentialFile>(std::string());
    return CStatus();
}

CStatus CMemEnv::OpenStandardOutput(std::unique_ptr<CWritableFile>& pFile) {
    pFile.reset();
    return CStatus::Error(CStatus::ECode::Failed);
}

bool CMemEnv::Exists(const char* pszPath) {
    return m_Disk.mapNames.count(pszPath) != 0 || IsFolder(pszPath);
}

CStatus CMemEnv::Resolve(const char* pszPath, FileTarget& target) {
    const size_t uiLen = std::strlen(pszPath);
    if (uiLen >= sizeof(target.szPath)) return CStatus::Error(CStatus::ECode::Failed);
    std::memcpy(target.szPath, pszPath, uiLen + 1);
    target.uiBaseOffset = MemFolderOf(pszPath).size();
    target.eKind = IsFolder(pszPath)                     ? FileTarget::EKind::Directory
                   : m_Disk.mapNames.count(pszPath) != 0 ? FileTarget::EKind::Regular
                                                         : FileTarget::EKind::Missing;
    target.bWritable = target.eKind == FileTarget::EKind::Regular;
    target.uiOwner = target.uiGroup = 0;
    target.uiPermissions = 0644;
    return CStatus();
}

CStatus CMemEnv::NewFile(const char* pszPath, std::unique_ptr<CWritableFile>& pFile) {
    if (Closed(pszPath)) return CStatus::Error(CStatus::ECode::Denied);
    if (Exists(pszPath)) return CStatus::Error(CStatus::ECode::Exists);
    const uint32_t uiFile = m_Disk.uiNextFile++;
    m_Disk.mapFiles[uiFile];
    m_Disk.mapNames[pszPath] = uiFile;
    m_Log.push_back({MemOp::EKind::Create, pszPath, "", uiFile, ""});
    pFile = std::make_unique<CMemWritableFile>(*this, uiFile, true);
    return CStatus();
}

CStatus CMemEnv::OpenExisting(const char* pszPath, EWriteInto eInto,
                              std::unique_ptr<CWritableFile>& pFile) {
    if (IsFolder(pszPath)) return CStatus::Error(CStatus::ECode::Folder);
    const auto it = m_Disk.mapNames.find(pszPath);
    if (it == m_Disk.mapNames.end()) return CStatus::Error(CStatus::ECode::NotFound);
    // The disk holds regular files alone.
    if (eInto == EWriteInto::Device) return CStatus::Error(CStatus::ECode::NotAFile);
    m_Disk.mapFiles[it->second].clear();
    m_Log.push_back({MemOp::EKind::Truncate, "", "", it->second, ""});
    pFile = std::make_unique<CMemWritableFile>(*this, it->second, false);
    return CStatus();
}

CStatus CMemEnv::PutInPlace(const char* pszFrom, const char* pszTo) {
    if (Closed(pszFrom) || Closed(pszTo)) return CStatus::Error(CStatus::ECode::Denied);
    const auto it = m_Disk.mapNames.find(pszFrom);
    if (it == m_Disk.mapNames.end()) return CStatus::Error(CStatus::ECode::NotFound);
    if (IsFolder(pszTo)) return CStatus::Error(CStatus::ECode::Folder);
    const uint32_t uiFile = it->second;
    m_Disk.mapNames.erase(it);
    m_Disk.mapNames[pszTo] = uiFile;
    m_Log.push_back({MemOp::EKind::Rename, pszFrom, pszTo, uiFile, ""});
    return CStatus();
}

CStatus CMemEnv::RemoveFile(const char* pszPath) {
    if (Closed(pszPath)) return CStatus::Error(CStatus::ECode::Denied);
    if (m_Disk.mapNames.erase(pszPath) == 0) return CStatus::Error(CStatus::ECode::NotFound);
    m_Log.push_back({MemOp::EKind::Remove, pszPath, "", 0, ""});
    return CStatus();
}

CStatus CMemEnv::RemoveLeftover(const char* pszPath) {
    const auto it = m_Disk.mapNames.find(pszPath);
    if (it != m_Disk.mapNames.end() && m_setLive.count(it->second) != 0) return CStatus();
    return RemoveFile(pszPath);
}

CStatus CMemEnv::ListFolder(const char* pszFolder, IFolderNames& names) {
    for (const std::string& strName : m_Disk.NamesIn(pszFolder)) names.Name(strName.c_str());
    return CStatus();
}

CStatus CMemEnv::SyncFolder(const char* pszFolder) {
    m_Log.push_back({MemOp::EKind::SyncFolder, pszFolder, "", 0, ""});
    return CStatus();
}

CStatus CMemEnv::TakeSaveTurn(const char*, std::unique_ptr<CSaveTurn>& pTurn) {
    pTurn.reset();
    return CStatus();
}
