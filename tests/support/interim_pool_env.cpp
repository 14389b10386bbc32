// The steps of today's load and save over an Env, for the crash-state test until the pool's own
// Load and Save through an Env are in place; then this file goes.
#include <cstring>
#include <memory>
#include <string>

#include "pool/env.h"
#include "pool/hash_pool.h"
#include "tests/support/reference.h"

namespace {

class CTempNames final : public IFolderNames {
   public:
    CTempNames(std::string strFolder, std::string strPrefix)
        : m_strFolder(std::move(strFolder)), m_strPrefix(std::move(strPrefix)) {}
    void Name(const char* pszName) override {
        const std::string strName = pszName;
        if (strName.size() == m_strPrefix.size() + 6 && strName.rfind(m_strPrefix, 0) == 0) {
            vecPaths.push_back(m_strFolder + strName);
        }
    }
    std::vector<std::string> vecPaths;

   private:
    std::string m_strFolder;
    std::string m_strPrefix;
};

}  // namespace

bool CHashPool::Load(CEnv& env) {
    std::unique_ptr<CSequentialFile> pFile;
    if (m_szFile[0] == '\0' || !env.OpenRead(m_szFile, CEnv::EReadMode::PoolFile, pFile).Ok()) {
        return false;
    }
    std::string strBytes;
    char szBuffer[4096];
    for (;;) {
        size_t uiRead = 0;
        if (!pFile->Read(szBuffer, sizeof(szBuffer), uiRead).Ok()) return false;
        if (uiRead == 0) break;
        strBytes.append(szBuffer, uiRead);
    }
    Table fresh(m_Entries.BucketCount());
    for (const auto& [strKey, strValue] : reference::ParseRecords(strBytes)) {
        fresh.FindOrInsert(strKey.c_str()).Assign(strValue);
    }
    m_Entries.Swap(fresh);
    return true;
}

bool CHashPool::Save(CEnv& env) const {
    FileTarget target;
    if (m_szFile[0] == '\0' || !env.Resolve(m_szFile, target).Ok()) return false;
    const std::string strFolder(target.szPath, target.uiBaseOffset);
    const std::string strPrefix =
        "." + std::string(target.szPath + target.uiBaseOffset) + ".quilltmp-";
    CTempNames leftovers(strFolder, strPrefix);
    env.ListFolder(strFolder.c_str(), leftovers);
    for (const std::string& strPath : leftovers.vecPaths) env.RemoveLeftover(strPath.c_str());
    const std::string strBytes = reference::Serialize(reference::Contents(m_Entries));
    std::unique_ptr<CWritableFile> pFile;
    std::string strTemp;
    CStatus status;
    for (int iTry = 0; iTry < 100; ++iTry) {
        strTemp = strFolder + strPrefix;
        uint64_t uiSeed = env.NameSeed();
        for (int i = 0; i < 6; ++i, uiSeed /= 26) strTemp += static_cast<char>('a' + uiSeed % 26);
        status = env.NewFile(strTemp.c_str(), pFile);
        if (status.Code() != CStatus::ECode::Exists) break;
    }
    if (status.Code() == CStatus::ECode::Denied && target.eKind == FileTarget::EKind::Regular) {
        if (!env.OpenExisting(target.szPath, CEnv::EWriteInto::Rewrite, pFile).Ok()) return false;
        return pFile->Append(strBytes.data(), strBytes.size()).Ok() && pFile->Sync().Ok() &&
               pFile->Close().Ok();
    }
    if (!status.Ok()) return false;
    const bool bOk = pFile->TakeOver(target).Ok() &&
                     pFile->Append(strBytes.data(), strBytes.size()).Ok() && pFile->Sync().Ok() &&
                     pFile->Close().Ok() && env.PutInPlace(strTemp.c_str(), target.szPath).Ok();
    if (!bOk) {
        env.RemoveFile(strTemp.c_str());
        return false;
    }
    env.SyncFolder(strFolder.c_str());
    return true;
}
