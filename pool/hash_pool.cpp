// The pool's entry operations and counters.
#include "pool/hash_pool.h"

#include <charconv>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "pool/digits.h"
#include "pool/file_store.h"
#include "pool/store.h"

CHashPool::CHashPool(const char* pszName) : m_szName(), m_szFile(), m_Entries(100) {
    std::strncpy(m_szName, pszName, NAME_SIZE - 1);
}

bool CHashPool::Add(const char* pszKey, const char* pszValue) {
    const std::string_view svValue(pszValue);
    // A short value lives inside its entry, so storing it cannot fail once the key is in; a
    // longer one is copied first, so that a failed allocation leaves no key behind.
    if (svValue.size() <= Value::INLINE_MAX) {
        m_Entries.FindOrInsert(pszKey).Assign(svValue);
        return true;
    }
    Value value{svValue};
    m_Entries.FindOrInsert(pszKey) = std::move(value);
    return true;
}

const char* CHashPool::Get(const char* pszKey) { return m_Entries.FindOrInsert(pszKey).CStr(); }

bool CHashPool::Del(const char* pszKey) {
    m_Entries.Erase(pszKey);
    return true;
}

// Each counter makes two lookups, or three when it stores a number, and every lookup may grow
// the table first; that growth is visible in the order, so the lookups are made as such.
template <typename TInt>
bool CHashPool::Count(const char* pszKey, std::make_unsigned_t<TInt> uiDelta) {
    // The longest text is the smallest value: a sign and 19 digits.
    char szText[24];
    const size_t uiLen = std::strlen(pszKey);
    const auto store = [&](std::make_unsigned_t<TInt> uiValue) {
        const auto result =
            std::to_chars(szText, szText + sizeof(szText), static_cast<TInt>(uiValue));
        m_Entries.FindOrInsert(pszKey, uiLen)
            .Assign(std::string_view(szText, static_cast<size_t>(result.ptr - szText)));
    };
    if (m_Entries.FindOrInsert(pszKey, uiLen).Empty()) {
        store(uiDelta);
        return true;
    }
    const char* pszValue = m_Entries.FindOrInsert(pszKey, uiLen).CStr();
    if (!CDigits::IsNum(pszValue)) return false;
    store(static_cast<std::make_unsigned_t<TInt>>(CDigits::ParseNum<TInt>(pszValue)) + uiDelta);
    return true;
}

template bool CHashPool::Count<int32_t>(const char*, uint32_t);
template bool CHashPool::Count<int64_t>(const char*, uint64_t);

bool CHashPool::SetFile(const char* pszPath) {
    const size_t uiLen = std::strlen(pszPath);
    if (uiLen >= FILE_SIZE) {
        m_szFile[0] = '\0';
        m_uiRefusedPathLen = uiLen;
        return false;
    }
    std::memcpy(m_szFile, pszPath, uiLen + 1);
    m_uiRefusedPathLen = 0;
    return true;
}

// True iff the path field holds a non-empty, terminated path.
static bool HasPath(const char* pszFile) {
    return pszFile[0] != '\0' && std::memchr(pszFile, '\0', CHashPool::FILE_SIZE) != nullptr;
}

std::string CHashPool::RefusedPath() const {
    if (m_uiRefusedPathLen == 0) return std::string();
    return "the path given is " + std::to_string(m_uiRefusedPathLen) +
           " bytes long; a pool keeps paths of at most " + std::to_string(FILE_SIZE - 1) +
           " bytes, so no file is bound to it";
}

void CHashPool::Record(bool bSave, const CStatus& status, std::string&& strDetail) const {
    m_bLastWasSave = bSave;
    m_LastStatus = status;
    m_strDetail = std::move(strDetail);
}

std::string CHashPool::LastError() const {
    if (m_LastStatus.Ok()) return std::string();
    if (m_LastStatus.Code() == CStatus::ECode::Unbound && !m_strDetail.empty()) {
        return (m_bLastWasSave ? "save: " : "load: ") + m_strDetail;
    }
    std::string strLine = m_bLastWasSave ? "save \"" : "load \"";
    strLine += m_szFile;
    strLine += "\": ";
    if (CStore::Describes(m_LastStatus.Code()) && !m_strDetail.empty()) {
        return strLine + m_strDetail;
    }
    strLine += m_LastStatus.ToString();
    if (m_LastStatus.Code() == CStatus::ECode::HalfDone && !m_strDetail.empty()) {
        strLine += "; the data is in \"" + m_strDetail + "\"";
    }
    return strLine;
}

bool CHashPool::Load() { return Load(quill::PoolStores().For(m_szFile)); }

bool CHashPool::Load(CEnv& env) {
    CFileStore store(env);
    return Load(store);
}

bool CHashPool::Load(CStore& store) {
    if (!HasPath(m_szFile)) {
        Record(false, CStatus::Error(CStatus::ECode::Unbound).At(CStatus::EStep::Bind),
               RefusedPath());
        return false;
    }
    std::string strDetail;
    const CStatus status = store.Load(m_szFile, m_Entries, strDetail);
    Record(false, status, std::move(strDetail));
    return status.Ok();
}

bool CHashPool::Save() const { return Save(quill::PoolStores().For(m_szFile)); }

bool CHashPool::Save(CEnv& env) const {
    CFileStore store(env);
    return Save(store);
}

bool CHashPool::Save(CStore& store) const {
    if (!HasPath(m_szFile)) {
        Record(true, CStatus::Error(CStatus::ECode::Unbound).At(CStatus::EStep::Bind),
               RefusedPath());
        return false;
    }
    std::string strDetail;
    const CStatus status = store.Save(m_szFile, m_Entries, strDetail);
    Record(true, status, std::move(strDetail));
    return status.Ok();
}
