// The pool's entry operations and counters.
#include "pool/hash_pool.h"

#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "pool/utils.h"

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

bool CHashPool::Inc(const char* pszKey, uint32_t uiAmount) {
    return Count(pszKey, static_cast<int32_t>(uiAmount));
}

bool CHashPool::Dec(const char* pszKey, int32_t iAmount) {
    return Count(pszKey, static_cast<int32_t>(0u - static_cast<uint32_t>(iAmount)));
}

// Each counter makes two lookups, or three when it stores a number, and every lookup may grow
// the table first; that growth is visible in the order, so the lookups are made as such.
bool CHashPool::Count(const char* pszKey, int32_t iDelta) {
    char szText[16];
    const size_t uiLen = std::strlen(pszKey);
    if (m_Entries.FindOrInsert(pszKey, uiLen).Empty()) {
        std::snprintf(szText, sizeof(szText), "%i", static_cast<int>(iDelta));
        m_Entries.FindOrInsert(pszKey, uiLen).Assign(szText);
        return true;
    }
    const char* pszValue = m_Entries.FindOrInsert(pszKey, uiLen).CStr();
    if (!CUtils::IsNum(pszValue)) return false;
    const uint32_t uiSum =
        static_cast<uint32_t>(CUtils::ParseNum(pszValue)) + static_cast<uint32_t>(iDelta);
    std::snprintf(szText, sizeof(szText), "%i", static_cast<int>(static_cast<int32_t>(uiSum)));
    m_Entries.FindOrInsert(pszKey, uiLen).Assign(szText);
    return true;
}

bool CHashPool::SetFile(const char* pszPath) {
    const size_t uiLen = std::strlen(pszPath);
    if (uiLen >= FILE_SIZE) {
        m_szFile[0] = '\0';
        return false;
    }
    std::memcpy(m_szFile, pszPath, uiLen + 1);
    return true;
}
