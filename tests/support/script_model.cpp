// The script-function model: the documented rules, with the reference container for entry order.
#define _FILE_OFFSET_BITS 64
#include "tests/support/script_model.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <limits>
#include <type_traits>

#include "pool/file_env.h"
#include "pool/hash_pool_manager.h"
#include "tests/support/files.h"
#include "tests/support/reference.h"

namespace {

using ModelMap = reference::RefMap;

constexpr size_t NAME_MAX_CHARS = 127;
constexpr size_t PATH_LIMIT = 250;
constexpr size_t RESULT_MAX_CHARS = 511;

// A script string as the plug-in sees it: the VM hands over a zero-terminated buffer.
std::string Text(const CSqValue& value) {
    const std::string& str = value.AsString();
    return str.substr(0, str.find('\0'));
}

bool IsString(const CSqValue& value) { return value.Type() == OT_STRING; }

const char* TypeWord(SQObjectType eType) {
    switch (eType) {
        case OT_NULL:
            return "null";
        case OT_BOOL:
            return "bool";
        case OT_INTEGER:
            return "integer";
        case OT_FLOAT:
            return "float";
        case OT_STRING:
            return "string";
        case OT_TABLE:
            return "table";
        case OT_ARRAY:
            return "array";
        case OT_CLOSURE:
        case OT_NATIVECLOSURE:
            return "function";
        default:
            return "?";
    }
}

// The VM's integers: 32 or 64 bits, as the script host is built.
using ModelInt = std::conditional_t<sizeof(SQInteger) == 8, int64_t, int32_t>;
using ModelUnsigned = std::make_unsigned_t<ModelInt>;

std::string Format(ModelInt iValue) {
    char sz[32];
    std::snprintf(sz, sizeof(sz), "%lld", static_cast<long long>(iValue));
    return sz;
}

std::string Shown(const std::string& str) {
    std::string strOut = "\"";
    for (size_t i = 0; i < str.size() && i < 40; ++i) {
        const unsigned char c = static_cast<unsigned char>(str[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            strOut += static_cast<char>(c);
        } else {
            char sz[8];
            std::snprintf(sz, sizeof(sz), "\\x%02x", c);
            strOut += sz;
        }
    }
    strOut += "\"";
    if (str.size() > 40) strOut += "... (" + std::to_string(str.size()) + " bytes)";
    return strOut;
}

// A float amount truncated, with x86's answer where it does not fit: the smallest integer.
ModelInt FloatAmount(float f) {
    const double dLimit = std::ldexp(1.0, std::numeric_limits<ModelInt>::digits);
    const double d = std::trunc(static_cast<double>(f));
    if (!(d >= -dLimit && d < dLimit)) return std::numeric_limits<ModelInt>::min();
    return static_cast<ModelInt>(d);
}

bool Storable(const std::string& str) {
    return !str.empty() && str.find('\n') == std::string::npos;
}

// The start of a failure line: the operation and the path the pool was bound to.
std::string FailureStart(const char* pszOp, const std::string& strPath) {
    return std::string(pszOp) + " \"" + strPath + "\": ";
}

// The whole line of a load or save of a pool left unbound by a path of uiLen bytes.
std::string RefusedPathLine(const char* pszOp, size_t uiLen) {
    return std::string(pszOp) + ": the path given is " + std::to_string(uiLen) +
           " bytes long; a pool keeps paths of at most " + std::to_string(PATH_LIMIT - 1) +
           " bytes, so no file is bound to it";
}

}  // namespace

struct CScriptModel::Pool {
    ModelMap entries{100};
    std::string strPath;
    // Where the last read by position ended, so that reading positions one after the other
    // does not walk from the start each time. Any change to the entries drops it.
    bool bCursor = false;
    uint32_t uiCursorPos = 0;
    ModelMap::iterator itCursor;
    // How HError's line for the last failed HLoad or HSave starts (`load "PATH": `), empty when
    // the last of them succeeded or none was made. The reason after it is the system's.
    std::string strFailure;
    // The length of the last path too long to bind, 0 once one was bound: the unbound pool's
    // line names it.
    size_t uiRefusedLen = 0;
};

bool Expect::Matches(const SqCallResult& result) const {
    if (eKind == EKind::Error) {
        return result.bError && !result.bNativeRan && result.ErrorText() == str;
    }
    if (result.bError || !result.bNativeRan || result.iNativeReturn != iNativeReturn) return false;
    const CSqValue& value = result.value;
    switch (eKind) {
        case EKind::Null:
            return value.IsNull();
        case EKind::Bool:
            return value.Type() == OT_BOOL && value.AsBool() == b;
        case EKind::Integer:
            return value.Type() == OT_INTEGER && value.AsInteger() == i;
        case EKind::String:
            return value.Type() == OT_STRING && value.AsString() == str;
        case EKind::StringStart:
            return value.Type() == OT_STRING && value.AsString().compare(0, str.size(), str) == 0;
        case EKind::Error:
            break;
    }
    return false;
}

std::string Expect::Describe() const {
    switch (eKind) {
        case EKind::Null:
            return "null (native returns " + std::to_string(iNativeReturn) + ")";
        case EKind::Bool:
            return b ? "true" : "false";
        case EKind::Integer:
            return std::to_string(i);
        case EKind::String:
            return Shown(str);
        case EKind::StringStart:
            return "a string starting with " + Shown(str);
        case EKind::Error:
            return "error: " + str;
    }
    return "?";
}

std::string DescribeResult(const SqCallResult& result) {
    if (result.bError) {
        return "error: " + result.ErrorText() + (result.bNativeRan ? " (native ran)" : "");
    }
    if (!result.bNativeRan) return "no error, yet the native did not run";
    const CSqValue& value = result.value;
    if (value.IsNull()) return "null (native returns " + std::to_string(result.iNativeReturn) + ")";
    std::string str = value.Type() == OT_STRING ? Shown(value.AsString()) : value.Render();
    if (result.iNativeReturn != 1)
        str += " (native returns " + std::to_string(result.iNativeReturn) + ")";
    return str;
}

static uint64_t DigestBytes(uint64_t uiDigest, const char* pData, size_t uiLen) {
    // The length goes first, so that where one text ends and the next begins is part of it.
    const uint64_t uiLen64 = uiLen;
    for (int i = 0; i < 8; ++i) {
        uiDigest = (uiDigest ^ ((uiLen64 >> (8 * i)) & 0xFF)) * 1099511628211ull;
    }
    for (size_t i = 0; i < uiLen; ++i) {
        uiDigest = (uiDigest ^ static_cast<unsigned char>(pData[i])) * 1099511628211ull;
    }
    return uiDigest;
}

uint64_t DigestEntry(uint64_t uiDigest, const char* pKey, size_t uiKeyLen, const char* pValue,
                     size_t uiValueLen) {
    return DigestBytes(DigestBytes(uiDigest, pKey, uiKeyLen), pValue, uiValueLen);
}

std::string DifferenceFromRegistry(const CScriptModel& model) {
    if (CHashPoolManager::OpenCount() != model.OpenCount()) {
        return std::to_string(CHashPoolManager::OpenCount()) + " pools open, expected " +
               std::to_string(model.OpenCount());
    }
    for (const std::string& strName : model.OpenNames()) {
        const auto* pEntry = CHashPoolManager::Entries().Find(strName.data(), strName.size());
        const CHashPool* pPool = pEntry != nullptr ? pEntry->get() : nullptr;
        const std::string strPool = "pool '" + Printable(strName, 24) + "'";
        if (pPool == nullptr) return strPool + " is not open";
        if (pPool->File() != model.PathOf(strName)) {
            return strPool + " is bound to '" + Printable(pPool->File(), 40) + "', expected '" +
                   Printable(model.PathOf(strName), 40) + "'";
        }
        // A digest first: the soak compares every pool after each of many calls.
        uint64_t uiDigest = DIGEST_START;
        pPool->Entries().ForEach([&](const char* pKey, size_t uiLen, const auto& value) {
            const std::string_view svValue(value);
            uiDigest = DigestEntry(uiDigest, pKey, uiLen, svValue.data(), svValue.size());
        });
        const uint32_t uiBuckets = pPool->Entries().BucketCount();
        if (uiDigest == model.Digest(strName) && uiBuckets == model.BucketCount(strName)) continue;
        const ModelEntries expected = model.EntriesOf(strName);
        const ModelEntries actual = reference::Contents(*pPool);
        size_t uiAt = 0;
        while (uiAt < actual.size() && uiAt < expected.size() && actual[uiAt] == expected[uiAt]) {
            ++uiAt;
        }
        return strPool + " holds " + std::to_string(actual.size()) + " entries in " +
               std::to_string(uiBuckets) + " buckets, expected " + std::to_string(expected.size()) +
               " in " + std::to_string(model.BucketCount(strName)) +
               "; first difference at position " + std::to_string(uiAt);
    }
    return "";
}

CScriptModel::CScriptModel() = default;
CScriptModel::~CScriptModel() = default;

CScriptModel::Pool* CScriptModel::Find(const std::string& strName) {
    if (strName.size() > NAME_MAX_CHARS) return nullptr;
    auto it = m_pools.find(strName);
    return it != m_pools.end() ? it->second.get() : nullptr;
}

void CScriptModel::CloseAll() { m_pools.clear(); }

void CScriptModel::Seed(const std::string& strName, const std::string& strPath,
                        const ModelEntries& entries) {
    auto& pPool = m_pools[strName];
    pPool = std::make_unique<Pool>();
    pPool->strPath = strPath;
    for (const auto& [strKey, strValue] : entries) pPool->entries[strKey] = strValue;
}

std::vector<std::string> CScriptModel::OpenNames() const {
    std::vector<std::string> names;
    for (const auto& entry : m_pools) names.push_back(entry.first);
    return names;
}

ModelEntries CScriptModel::EntriesOf(const std::string& strName) const {
    ModelEntries entries;
    for (const auto& entry : m_pools.at(strName)->entries) entries.push_back(entry);
    return entries;
}

uint64_t CScriptModel::Digest(const std::string& strName) const {
    uint64_t uiDigest = DIGEST_START;
    for (const auto& [strKey, strValue] : m_pools.at(strName)->entries) {
        uiDigest =
            DigestEntry(uiDigest, strKey.data(), strKey.size(), strValue.data(), strValue.size());
    }
    return uiDigest;
}

size_t CScriptModel::EntryCount(const std::string& strName) const {
    return m_pools.at(strName)->entries.size();
}

uint32_t CScriptModel::BucketCount(const std::string& strName) const {
    return static_cast<uint32_t>(m_pools.at(strName)->entries.bucket_count());
}

const std::string& CScriptModel::PathOf(const std::string& strName) const {
    return m_pools.at(strName)->strPath;
}

std::string CScriptModel::FileBytes(const std::string& strName) const {
    std::string strBytes;
    for (const auto& [strKey, strValue] : m_pools.at(strName)->entries) {
        if (Storable(strKey) && Storable(strValue)) strBytes += strKey + "\n" + strValue + "\n";
    }
    return strBytes;
}

ModelEntries CScriptModel::ParseFile(const std::string& strBytes) {
    return reference::ParseRecords(strBytes);
}

bool CScriptModel::ReadRegularFile(const std::string& strPath, std::string& strBytes) {
    return CReadableFile::ReadWhole(strPath.c_str(), strBytes);
}

Expect CScriptModel::Call(const std::string& strFunc, const std::vector<CSqValue>& aArgs) {
    // The functions registered with a check, by the letters of their masks after `this`: the
    // VM refuses a wrong count, then the first argument of another type, before the handler runs.
    static const std::map<std::string, std::string> CHECKED = [] {
        std::map<std::string, std::string> checked;
        for (const ScriptFunc& func : SCRIPT_FUNCS) {
            if (func.iParamsCheck != 0) checked[func.pszName] = func.pszMask + 1;
        }
        return checked;
    }();
    if (const auto itChecked = CHECKED.find(strFunc); itChecked != CHECKED.end()) {
        const std::string& strMask = itChecked->second;
        if (aArgs.size() != strMask.size()) return Expect::Error("wrong number of parameters");
        for (size_t i = 0; i < aArgs.size(); ++i) {
            const bool bString = strMask[i] == 's';
            if (aArgs[i].Type() == (bString ? OT_STRING : OT_INTEGER)) continue;
            return Expect::Error("parameter " + std::to_string(i + 1) + " has an invalid type '" +
                                 TypeWord(aArgs[i].Type()) + "' ; expected: '" +
                                 (bString ? "string" : "integer") + "'");
        }
        const std::string strName = Text(aArgs[0]);
        if (strFunc == "HLoad") return Load({strName, Text(aArgs[1])});
        if (strFunc == "HSave") return Save(strName);
        if (strFunc == "HClose") return Close(strName);
        if (strFunc == "HDel") return Del(strName, Text(aArgs[1]));
        // The four that only look: no name and no key is ever entered.
        const Pool* pPool = Find(strName);
        if (pPool == nullptr) return Expect::Null(0);
        if (strFunc == "HError") {
            if (pPool->strFailure.empty()) return Expect::Null(0);
            return Expect::StringStart(pPool->strFailure);
        }
        if (strFunc == "HCount")
            return Expect::Integer(static_cast<SQInteger>(pPool->entries.size()));
        if (strFunc == "HHas") return Expect::Bool(pPool->entries.count(Text(aArgs[1])) != 0);
        return Key(*pPool, aArgs[1].AsInteger());
    }
    if (strFunc == "HAdd") return Add(aArgs);
    if (strFunc == "HGet") return Get(aArgs);
    if (strFunc == "HInc") return Count(aArgs, true);
    if (strFunc == "HDec") return Count(aArgs, false);
    return Expect::Error("the index '" + strFunc + "' does not exist");
}

Expect CScriptModel::Key(const Pool& pool, SQInteger iPos) const {
    if (iPos < 0 || static_cast<uint64_t>(iPos) >= pool.entries.size()) return Expect::Null(0);
    auto it = pool.entries.begin();
    std::advance(it, iPos);
    return Expect::String(it->first);
}

Expect CScriptModel::Load(const std::vector<std::string>& aText) {
    const std::string& strName = aText[0];
    const std::string& strPath = aText[1];
    if (strName.size() > NAME_MAX_CHARS) return Expect::Bool(false);
    Pool* pPool = Find(strName);
    if (pPool == nullptr) {
        auto& pNew = m_pools[strName];
        pNew = std::make_unique<Pool>();
        pPool = pNew.get();
    }
    // A path the pool cannot hold whole unbinds it; the entries stay, and the load of the
    // unbound pool fails with a reason of its own.
    if (strPath.size() >= PATH_LIMIT) {
        pPool->strPath.clear();
        pPool->uiRefusedLen = strPath.size();
        pPool->strFailure = RefusedPathLine("load", strPath.size());
        return Expect::Bool(false);
    }
    pPool->strPath = strPath;
    pPool->uiRefusedLen = 0;
    pPool->strFailure = FailureStart("load", strPath);
    if (strPath.empty()) return Expect::Bool(false);
    std::string strBytes;
    const bool bRead = m_fnRead ? m_fnRead(strPath, strBytes) : ReadRegularFile(strPath, strBytes);
    if (!bRead) return Expect::Bool(false);
    pPool->strFailure.clear();
    // Clear, then insert in file order; the bucket count reached so far stays.
    pPool->bCursor = false;
    pPool->entries.clear();
    for (const auto& [strKey, strValue] : ParseFile(strBytes)) pPool->entries[strKey] = strValue;
    return Expect::Bool(true);
}

Expect CScriptModel::Save(const std::string& strName) {
    Pool* pPool = Find(strName);
    if (pPool == nullptr) return Expect::Null(0);
    const bool bSaved = !pPool->strPath.empty() && (m_fnSave ? m_fnSave(pPool->strPath) : true);
    pPool->strFailure = bSaved                     ? std::string()
                        : pPool->uiRefusedLen != 0 ? RefusedPathLine("save", pPool->uiRefusedLen)
                                                   : FailureStart("save", pPool->strPath);
    return Expect::Bool(bSaved);
}

Expect CScriptModel::Close(const std::string& strName) {
    if (Find(strName) == nullptr) return Expect::Null(0);
    m_pools.erase(strName);
    return Expect::Bool(true);
}

Expect CScriptModel::Add(const std::vector<CSqValue>& aArgs) {
    if (aArgs.size() != 3) return Expect::Null(0);
    const CSqValue& value = aArgs[2];
    std::string strValue;
    if (value.Type() == OT_STRING) {
        strValue = Text(value);
    } else if (value.Type() == OT_INTEGER) {
        strValue = Format(value.AsInteger());
    } else if (value.Type() == OT_FLOAT) {
        char sz[64];
        std::snprintf(sz, sizeof(sz), "%f", static_cast<double>(value.AsFloat()));
        strValue = sz;
    } else {
        return Expect::Null(0);
    }
    if (!IsString(aArgs[0]) || !IsString(aArgs[1])) return Expect::Null(0);
    Pool* pPool = Find(Text(aArgs[0]));
    if (pPool == nullptr) return Expect::Null(0);
    pPool->bCursor = false;
    pPool->entries[Text(aArgs[1])] = strValue;
    return Expect::Bool(true);
}

Expect CScriptModel::Get(const std::vector<CSqValue>& aArgs) {
    if (aArgs.size() != 2) return Expect::Null(0);
    const CSqValue& key = aArgs[1];
    if (key.Type() != OT_STRING && key.Type() != OT_INTEGER) return Expect::Null(0);
    if (!IsString(aArgs[0])) return Expect::Null(0);
    Pool* pPool = Find(Text(aArgs[0]));
    if (pPool == nullptr) return Expect::Null(0);
    std::string strValue;
    if (key.Type() == OT_STRING) {
        pPool->bCursor = false;
        strValue = pPool->entries[Text(key)];
    } else if (key.AsInteger() >= 0 &&
               static_cast<uint64_t>(key.AsInteger()) < pPool->entries.size()) {
        // Any position below zero or past the last entry, in the VM's whole width, finds none.
        const auto uiPos = static_cast<uint32_t>(key.AsInteger());
        if (!pPool->bCursor || uiPos < pPool->uiCursorPos) {
            pPool->itCursor = pPool->entries.begin();
            pPool->uiCursorPos = 0;
            pPool->bCursor = true;
        }
        for (; pPool->uiCursorPos < uiPos; ++pPool->uiCursorPos) ++pPool->itCursor;
        strValue = pPool->itCursor->second;
    }
    strValue = strValue.substr(0, RESULT_MAX_CHARS);
    if (strValue.empty()) return Expect::Null(1);
    if (reference::IsNum(strValue)) {
        return Expect::Integer(reference::ParseNum<ModelInt>(strValue));
    }
    return Expect::String(strValue);
}

Expect CScriptModel::Count(const std::vector<CSqValue>& aArgs, bool bInc) {
    if (aArgs.size() < 2) return Expect::Null(0);
    if (!IsString(aArgs[0]) || !IsString(aArgs[1])) return Expect::Null(0);
    // The amount is read only from exactly three arguments, as sq_getinteger reads it:
    // floats truncated, bools as 0 or 1, anything else leaving the default.
    ModelInt iAmount = 1;
    if (aArgs.size() == 3) {
        const CSqValue& amount = aArgs[2];
        if (amount.Type() == OT_INTEGER) iAmount = amount.AsInteger();
        if (amount.Type() == OT_FLOAT) iAmount = FloatAmount(amount.AsFloat());
        if (amount.Type() == OT_BOOL) iAmount = amount.AsBool() ? 1 : 0;
    }
    Pool* pPool = Find(Text(aArgs[0]));
    if (pPool == nullptr) return Expect::Null(0);
    const ModelUnsigned uiDelta =
        bInc ? static_cast<ModelUnsigned>(iAmount) : 0u - static_cast<ModelUnsigned>(iAmount);
    const std::string strKey = Text(aArgs[1]);
    pPool->bCursor = false;
    // Two lookups, or three when a number is stored: each may grow the table first.
    ModelMap& entries = pPool->entries;
    if (entries[strKey].empty()) {
        entries[strKey] = Format(static_cast<ModelInt>(uiDelta));
    } else {
        const std::string strValue = entries[strKey];
        if (reference::IsNum(strValue)) {
            const ModelUnsigned uiSum =
                static_cast<ModelUnsigned>(reference::ParseNum<ModelInt>(strValue)) + uiDelta;
            entries[strKey] = Format(static_cast<ModelInt>(uiSum));
        }
    }
    return Expect::Bool(true);
}

Expect CScriptModel::Del(const std::string& strName, const std::string& strKey) {
    Pool* pPool = Find(strName);
    if (pPool == nullptr) return Expect::Null(0);
    pPool->bCursor = false;
    pPool->entries.erase(strKey);
    return Expect::Bool(true);
}
