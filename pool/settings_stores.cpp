// The stores the owner's settings choose: the pool folder's file store, the Redis stores of
// prefixed paths (in a build with QUILL_HAS_REDIS), or the closed store.
#include "pool/settings_stores.h"

#include <cstring>
#include <memory>
#include <utility>

#include "pool/confined_env.h"
#include "pool/env.h"
#ifdef QUILL_HAS_REDIS
#include "pool/redis_store.h"
#endif

namespace {

#ifdef QUILL_HAS_REDIS
// A Redis store handed each path without the section's prefix, which the path starts with.
class CPrefixCutStore final : public CStore {
   public:
    CPrefixCutStore(RedisStoreOptions options, size_t uiCut)
        : m_Store(std::move(options)), m_uiCut(uiCut) {}

    CStatus Load(const char* pszPath, Table& entries, std::string& strDetail) override {
        return m_Store.Load(pszPath + m_uiCut, entries, strDetail);
    }
    CStatus Save(const char* pszPath, const Table& entries, std::string& strDetail) override {
        return m_Store.Save(pszPath + m_uiCut, entries, strDetail);
    }

   private:
    CRedisStore m_Store;
    size_t m_uiCut;
};

// The line of a password file that cannot give a password; never any byte of the file.
std::string PasswordFileLine(const std::string& strWhere, const std::string& strFile,
                             const CStatus& status) {
    std::string strLine = strWhere + ": the password file \"" + strFile + "\" ";
    if (status.Code() == CStatus::ECode::Settings) {
        return strLine + "holds no password: it must be one non-empty line of at most 4096 bytes";
    }
    return strLine + "cannot be read: " + status.ToString();
}
#endif

}  // namespace

std::string UnreadableSettingsLine(std::string_view svName, const CStatus& status) {
    return SettingsText(svName) + ": " + status.ToString();
}

CStatus ReadPasswordFile(CEnv& env, const char* pszPath, std::string& strPassword) {
    constexpr size_t MAX_BYTES = 4096;
    std::unique_ptr<CSequentialFile> pFile;
    const CStatus status = env.OpenRead(pszPath, CEnv::EReadMode::PoolFile, pFile);
    if (!status.Ok()) return status.At(CStatus::EStep::Open);
    std::string strBytes(MAX_BYTES + 1, '\0');
    size_t uiHave = 0;
    while (uiHave < strBytes.size()) {
        size_t uiRead = 0;
        const CStatus read = pFile->Read(&strBytes[uiHave], strBytes.size() - uiHave, uiRead);
        if (!read.Ok()) return read.At(CStatus::EStep::Read);
        if (uiRead == 0) break;
        uiHave += uiRead;
    }
    strBytes.resize(uiHave);
    if (!strBytes.empty() && strBytes.back() == '\n') strBytes.pop_back();
    if (!strBytes.empty() && strBytes.back() == '\r') strBytes.pop_back();
    if (uiHave > MAX_BYTES || strBytes.empty() || strBytes.find('\n') != std::string::npos) {
        return CStatus::Error(CStatus::ECode::Settings);
    }
    strPassword = std::move(strBytes);
    return CStatus();
}

std::string CSettingsStores::Load(CEnv& env, const char* pszPath, std::string_view svName) {
    CSettingsReader reader(svName);
    const CStatus status = ReadSettingsFile(env, pszPath, reader);
    if (!status.Ok()) {
        std::string strLine = UnreadableSettingsLine(reader.Name(), status);
        Close(strLine);
        return strLine;
    }
    if (!reader.Ok()) {
        Close(reader.Errors().front());
        return reader.Errors().front();
    }
    return Open(reader.Get(), reader.Name());
}

std::string CSettingsStores::Open(const Settings& settings, std::string_view svName) {
    m_vecPrefixed.clear();
    m_pFolder.reset();
    m_pFolderEnv.reset();
    m_pStore = &m_plain;
    std::string strRedisLine = OpenRedis(settings, svName);
    if (!strRedisLine.empty()) {
        Close(strRedisLine);
        return strRedisLine;
    }
    const Settings::Files& files = settings.files;
    if (files.strRoot.empty()) return std::string();
    const std::string strWhere = SettingsText(svName) + ":" + std::to_string(files.uiRootLine);
    const CStatus status = NewConfinedEnv(files.strRoot.c_str(), m_pFolderEnv);
    if (!status.Ok() || m_pFolderEnv == nullptr) {
        std::string strLine =
            strWhere + ": the pool folder \"" + files.strRoot + "\" cannot be opened";
        const std::string strWords = CStatus::SystemWords(status.SystemCode());
        if (!strWords.empty()) strLine += " (" + strWords + ")";
        Close(strLine);
        return strLine;
    }
    m_pFolder =
        std::make_unique<CFileStore>(*m_pFolderEnv, "outside the pool folder \"" + files.strRoot +
                                                        "\" (" + SettingsText(svName) + ")");
    m_pStore = m_pFolder.get();
    return std::string();
}

void CSettingsStores::Close(std::string strLine) {
    m_closed.m_strLine = std::move(strLine);
    m_pStore = &m_closed;
}

void CSettingsStores::CloseForLackOfMemory() {
    m_closed.m_strLine.clear();
    m_closed.m_pszFixed = "the settings cannot be read (not enough memory)";
    m_pStore = &m_closed;
}

std::string CSettingsStores::OpenRedis(const Settings& settings, std::string_view svName) {
    for (const Settings::Redis& redis : settings.vecRedis) {
        const std::string strWhere = SettingsText(svName) + ":";
#ifdef QUILL_HAS_REDIS
        RedisStoreOptions options;
        options.server = redis.server;
        options.strKeyPrefix = redis.strKeyPrefix;
        options.bGuard = redis.bGuard;
        if (!redis.strPasswordFile.empty()) {
            const CStatus status = ReadPasswordFile(CEnv::Default(), redis.strPasswordFile.c_str(),
                                                    options.server.strPassword);
            if (!status.Ok()) {
                return PasswordFileLine(strWhere + std::to_string(redis.uiPasswordFileLine),
                                        redis.strPasswordFile, status);
            }
        }
        m_vecPrefixed.push_back(Prefixed{
            redis.strPrefix,
            std::make_unique<CPrefixCutStore>(std::move(options), redis.strPrefix.size())});
#else
        return strWhere + std::to_string(redis.uiLine) + ": [redis " + redis.strName +
               "] is not offered " QUILL_REDIS_ABSENT ": pools there are files";
#endif
    }
    return std::string();
}

const CSettingsStores::Prefixed* CSettingsStores::LongestPrefix(const char* pszPath) const {
    const Prefixed* pBest = nullptr;
    for (const Prefixed& prefixed : m_vecPrefixed) {
        if (std::strncmp(pszPath, prefixed.strPrefix.c_str(), prefixed.strPrefix.size()) == 0 &&
            (pBest == nullptr || prefixed.strPrefix.size() > pBest->strPrefix.size())) {
            pBest = &prefixed;
        }
    }
    return pBest;
}

CStore& CSettingsStores::For(const char* pszPath) {
    if (m_pStore == &m_closed || pszPath == nullptr) return *m_pStore;
    const Prefixed* pBest = LongestPrefix(pszPath);
    return pBest != nullptr ? *pBest->pStore : *m_pStore;
}

CEnv* CSettingsStores::FileEnvFor(const char* pszPath) {
    if (m_pStore == &m_closed || pszPath == nullptr || LongestPrefix(pszPath) != nullptr) {
        return nullptr;
    }
    return m_pFolderEnv != nullptr ? m_pFolderEnv.get() : &CEnv::Default();
}

CStatus CSettingsStores::CClosedStore::Load(const char*, Table&, std::string& strDetail) {
    if (m_strLine.empty()) {
        strDetail.assign(m_pszFixed);
    } else {
        strDetail = m_strLine;
    }
    return CStatus::Error(CStatus::ECode::Settings);
}

CStatus CSettingsStores::CClosedStore::Save(const char*, const Table&, std::string& strDetail) {
    if (m_strLine.empty()) {
        strDetail.assign(m_pszFixed);
    } else {
        strDetail = m_strLine;
    }
    return CStatus::Error(CStatus::ECode::Settings);
}
