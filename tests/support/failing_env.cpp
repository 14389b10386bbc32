// The failing Env's calls: each one counted, the chosen one failed, every other passed on.
#include "tests/support/failing_env.h"

#include <utility>

namespace {

using ECall = CFailingEnv::ECall;

class CFailingSequentialFile final : public CSequentialFile {
   public:
    CFailingSequentialFile(CFailingEnv& env, std::unique_ptr<CSequentialFile> pInner)
        : m_Env(env), m_pInner(std::move(pInner)) {}

    CStatus Read(char* pBuffer, size_t uiLen, size_t& uiRead) override {
        uiRead = 0;
        if (m_Env.Fails(ECall::Read)) return m_Env.Current();
        return m_pInner->Read(pBuffer, uiLen, uiRead);
    }

   private:
    CFailingEnv& m_Env;
    std::unique_ptr<CSequentialFile> m_pInner;
};

class CFailingWritableFile final : public CWritableFile {
   public:
    CFailingWritableFile(CFailingEnv& env, std::unique_ptr<CWritableFile> pInner)
        : m_Env(env), m_pInner(std::move(pInner)) {}

    CStatus Append(const char* pData, size_t uiLen) override {
        if (!m_Env.Fails(ECall::Append)) return m_pInner->Append(pData, uiLen);
        if (m_Env.HalfWay()) m_pInner->Append(pData, uiLen / 2);
        return m_Env.Current();
    }
    CStatus Sync() override {
        return m_Env.Fails(ECall::Sync) ? m_Env.Current() : m_pInner->Sync();
    }
    CStatus TakeOver(const FileTarget& target) override {
        return m_Env.Fails(ECall::TakeOver) ? m_Env.Current() : m_pInner->TakeOver(target);
    }
    // A close that fails still lets go of the file, as the system's does.
    CStatus Close() override {
        const CStatus status = m_pInner->Close();
        return m_Env.Fails(ECall::Close) ? m_Env.Current() : status;
    }

   private:
    CFailingEnv& m_Env;
    std::unique_ptr<CWritableFile> m_pInner;
};

}  // namespace

void CFailingEnv::FailCall(uint32_t uiCall, EMode eMode, bool bAndAfter) {
    m_uiFailAt = uiCall;
    m_eMode = eMode;
    m_bAndAfter = bAndAfter;
    m_bFailed = false;
    m_Injected = CStatus();
    m_aCalls.clear();
}

bool CFailingEnv::Fails(ECall eCall) {
    m_aCalls.push_back(eCall);
    if (m_uiFailAt == 0 || m_aCalls.size() < m_uiFailAt) return false;
    if (m_aCalls.size() == m_uiFailAt) {
        m_bFailed = true;
        m_Injected = FailureOf(eCall, m_eMode);
        m_Current = m_Injected;
        return true;
    }
    if (!m_bAndAfter) return false;
    m_Current = FailureOf(eCall, EMode::Whole);
    return true;
}

bool CFailingEnv::CanFailHalfWay(ECall eCall) {
    return eCall == ECall::PutInPlace || eCall == ECall::Append || eCall == ECall::NewFile;
}

CStatus CFailingEnv::FailureOf(ECall eCall, EMode eMode) {
    if (eCall == ECall::PutInPlace && eMode == EMode::HalfWay) {
        return CStatus::Error(CStatus::ECode::HalfDone, CStatus::IoError().SystemCode());
    }
    switch (eCall) {
        case ECall::OpenRead:
        case ECall::OpenExisting:
            return AccessDeniedStatus();
        case ECall::Append:
            return NoSpaceStatus();
        default:
            return CStatus::IoError();
    }
}

const char* CFailingEnv::NameOf(ECall eCall) {
    static const char* const NAMES[] = {
        "OpenRead",
        "OpenStandardInput",
        "OpenStandardOutput",
        "Resolve",
        "NewFile",
        "OpenExisting",
        "PutInPlace",
        "RemoveFile",
        "RemoveLeftover",
        "ListFolder",
        "SyncFolder",
        "TakeSaveTurn",
        "Read",
        "Append",
        "Sync",
        "TakeOver",
        "Close",
    };
    static_assert(sizeof(NAMES) / sizeof(NAMES[0]) == static_cast<size_t>(ECall::Close) + 1);
    return NAMES[static_cast<size_t>(eCall)];
}

CStatus CFailingEnv::OpenRead(const char* pszPath, EReadMode eMode,
                              std::unique_ptr<CSequentialFile>& pFile) {
    if (Fails(ECall::OpenRead)) return m_Current;
    std::unique_ptr<CSequentialFile> pInner;
    const CStatus status = m_Inner.OpenRead(pszPath, eMode, pInner);
    if (status.Ok()) pFile = std::make_unique<CFailingSequentialFile>(*this, std::move(pInner));
    return status;
}

CStatus CFailingEnv::OpenStandardInput(std::unique_ptr<CSequentialFile>& pFile) {
    if (Fails(ECall::OpenStandardInput)) return m_Current;
    std::unique_ptr<CSequentialFile> pInner;
    const CStatus status = m_Inner.OpenStandardInput(pInner);
    if (status.Ok()) pFile = std::make_unique<CFailingSequentialFile>(*this, std::move(pInner));
    return status;
}

CStatus CFailingEnv::OpenStandardOutput(std::unique_ptr<CWritableFile>& pFile) {
    if (Fails(ECall::OpenStandardOutput)) return m_Current;
    std::unique_ptr<CWritableFile> pInner;
    const CStatus status = m_Inner.OpenStandardOutput(pInner);
    if (status.Ok()) pFile = std::make_unique<CFailingWritableFile>(*this, std::move(pInner));
    return status;
}

CStatus CFailingEnv::Resolve(const char* pszPath, FileTarget& target) {
    if (Fails(ECall::Resolve)) return m_Current;
    const CStatus status = m_Inner.Resolve(pszPath, target);
    if (m_bReportReadOnly && target.eKind == FileTarget::EKind::Regular) target.bWritable = false;
    return status;
}

CStatus CFailingEnv::NewFile(const char* pszPath, std::unique_ptr<CWritableFile>& pFile) {
    if (Fails(ECall::NewFile)) {
        if (HalfWay() && !m_bRefuseNewFiles) {
            // Made, then let go of: a file no live save holds, as a killed one leaves.
            std::unique_ptr<CWritableFile> pMade;
            m_Inner.NewFile(pszPath, pMade);
        }
        return m_Current;
    }
    if (m_bRefuseNewFiles) return AccessDeniedStatus();
    std::unique_ptr<CWritableFile> pInner;
    const CStatus status = m_Inner.NewFile(pszPath, pInner);
    if (status.Ok()) pFile = std::make_unique<CFailingWritableFile>(*this, std::move(pInner));
    return status;
}

CStatus CFailingEnv::OpenExisting(const char* pszPath, EWriteInto eInto,
                                  std::unique_ptr<CWritableFile>& pFile) {
    if (Fails(ECall::OpenExisting)) return m_Current;
    std::unique_ptr<CWritableFile> pInner;
    const CStatus status = m_Inner.OpenExisting(pszPath, eInto, pInner);
    if (status.Ok()) pFile = std::make_unique<CFailingWritableFile>(*this, std::move(pInner));
    return status;
}

CStatus CFailingEnv::PutInPlace(const char* pszFrom, const char* pszTo) {
    if (!Fails(ECall::PutInPlace)) return m_Inner.PutInPlace(pszFrom, pszTo);
    if (HalfWay()) m_Inner.RemoveFile(pszTo);
    return m_Current;
}

CStatus CFailingEnv::RemoveFile(const char* pszPath) {
    return Fails(ECall::RemoveFile) ? m_Current : m_Inner.RemoveFile(pszPath);
}

CStatus CFailingEnv::RemoveLeftover(const char* pszPath) {
    return Fails(ECall::RemoveLeftover) ? m_Current : m_Inner.RemoveLeftover(pszPath);
}

CStatus CFailingEnv::ListFolder(const char* pszFolder, IFolderNames& names) {
    return Fails(ECall::ListFolder) ? m_Current : m_Inner.ListFolder(pszFolder, names);
}

CStatus CFailingEnv::SyncFolder(const char* pszFolder) {
    return Fails(ECall::SyncFolder) ? m_Current : m_Inner.SyncFolder(pszFolder);
}

CStatus CFailingEnv::TakeSaveTurn(const char* pszPath, std::unique_ptr<CSaveTurn>& pTurn) {
    return Fails(ECall::TakeSaveTurn) ? m_Current : m_Inner.TakeSaveTurn(pszPath, pTurn);
}
