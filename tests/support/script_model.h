// A model of the script functions written from their documented rules alone: what each
// call gives the script and what it leaves in the pools, with the reference container for order.
#ifndef QUILLSTORE_TESTS_SUPPORT_SCRIPT_MODEL_H
#define QUILLSTORE_TESTS_SUPPORT_SCRIPT_MODEL_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/sq_vm.h"

using ModelEntries = std::vector<std::pair<std::string, std::string>>;

// A call's arguments, and shorthands for the values tests write in them.
using Args = std::vector<CSqValue>;
inline CSqValue S(const std::string& str) { return CSqValue::String(str); }
inline CSqValue I(SQInteger i) { return CSqValue::Integer(i); }
inline CSqValue F(SQFloat f) { return CSqValue::Float(f); }

// A script function as the plug-in must register it: its name, the parameter count the VM
// checks (`this` counted; 0 for no check) and its type mask as DescribeTypeMask shows it.
struct ScriptFunc {
    const char* pszName;
    SQInteger iParamsCheck;
    const char* pszMask;
};
// Every script function, in registration order.
inline constexpr ScriptFunc SCRIPT_FUNCS[] = {
    {"HLoad", 3, "tss"}, {"HSave", 2, "ts"}, {"HClose", 2, "ts"}, {"HAdd", 0, ""},
    {"HGet", 0, ""},     {"HInc", 0, ""},    {"HDec", 0, ""},     {"HDel", 3, "tss"},
    {"HCount", 2, "ts"}, {"HHas", 3, "tss"}, {"HKey", 3, "tsi"},  {"HError", 2, "ts"}};

// What a script must receive from one call.
struct Expect {
    // StringStart: a string that begins with str, where the rest is the system's to say.
    enum class EKind { Null, Bool, Integer, String, StringStart, Error };
    EKind eKind = EKind::Null;
    bool b = false;
    SQInteger i = 0;
    std::string str;  // the string result, or the error text
    // The native's own return value: 1 with a result, 0 for null; -1 when the VM refuses the call.
    int32_t iNativeReturn = 1;

    static Expect Null(int32_t iReturn) { return {EKind::Null, false, 0, {}, iReturn}; }
    static Expect Bool(bool bValue) { return {EKind::Bool, bValue, 0, {}, 1}; }
    static Expect Integer(SQInteger iValue) { return {EKind::Integer, false, iValue, {}, 1}; }
    static Expect String(std::string strValue) {
        return {EKind::String, false, 0, std::move(strValue), 1};
    }
    static Expect StringStart(std::string strStart) {
        return {EKind::StringStart, false, 0, std::move(strStart), 1};
    }
    static Expect Error(std::string strText) {
        return {EKind::Error, false, 0, std::move(strText), -1};
    }

    // True iff the call gave exactly this: result, type, native return and whether it ran.
    bool Matches(const SqCallResult& result) const;
    std::string Describe() const;
};

// Folds one entry into a running digest of entries in order; start from DIGEST_START.
constexpr uint64_t DIGEST_START = 14695981039346656037ull;
uint64_t DigestEntry(uint64_t uiDigest, const char* pKey, size_t uiKeyLen, const char* pValue,
                     size_t uiValueLen);

// What a call actually gave, in the words Expect::Describe uses.
std::string DescribeResult(const SqCallResult& result);

class CScriptModel;
// How the registry's open pools differ from the model's: empty when both hold the same names,
// each with the same entries in the same order, bucket count and path; otherwise the first
// difference found, in words. Enters no name in the registry.
std::string DifferenceFromRegistry(const CScriptModel& model);

class CScriptModel {
   public:
    // Gives the bytes of the file at the path and true iff a load must read it whole: a regular
    // file (links followed) that opens for reading.
    using FileReader = std::function<bool(const std::string& strPath, std::string& strBytes)>;
    // True iff a save to the path must succeed.
    using SaveRule = std::function<bool(const std::string& strPath)>;

    CScriptModel();
    ~CScriptModel();
    CScriptModel(const CScriptModel&) = delete;
    CScriptModel& operator=(const CScriptModel&) = delete;

    // The result of the call; the pools change as the call must change them.
    Expect Call(const std::string& strFunc, const std::vector<CSqValue>& aArgs);
    // As the host's shut-down does: every pool gone.
    void CloseAll();
    // Opens a pool as a load that failed would leave it, then stores the entries in order.
    void Seed(const std::string& strName, const std::string& strPath, const ModelEntries& entries);

    void SetFileReader(FileReader fnRead) { m_fnRead = std::move(fnRead); }
    void SetSaveRule(SaveRule fnSave) { m_fnSave = std::move(fnSave); }

    size_t OpenCount() const { return m_pools.size(); }
    bool IsOpen(const std::string& strName) const { return m_pools.count(strName) != 0; }
    std::vector<std::string> OpenNames() const;
    // REQUIRES: IsOpen(strName) for these.
    ModelEntries EntriesOf(const std::string& strName) const;
    size_t EntryCount(const std::string& strName) const;
    uint32_t BucketCount(const std::string& strName) const;
    const std::string& PathOf(const std::string& strName) const;
    // The bytes a save of the pool writes.
    std::string FileBytes(const std::string& strName) const;
    // A digest of the entries in order, to compare whole pools without copying them: what
    // DigestEntries gives for the same entries in the same order.
    uint64_t Digest(const std::string& strName) const;

    // The records of a pool file in file order, as the reader pairs them.
    static ModelEntries ParseFile(const std::string& strBytes);
    // Reads a file as a load does: true iff it is a regular file that opened and read whole.
    static bool ReadRegularFile(const std::string& strPath, std::string& strBytes);

   private:
    struct Pool;

    Pool* Find(const std::string& strName);
    Expect Load(const std::vector<std::string>& aText);
    Expect Save(const std::string& strName);
    Expect Close(const std::string& strName);
    Expect Add(const std::vector<CSqValue>& aArgs);
    Expect Get(const std::vector<CSqValue>& aArgs);
    Expect Count(const std::vector<CSqValue>& aArgs, bool bInc);
    Expect Del(const std::string& strName, const std::string& strKey);
    Expect Key(const Pool& pool, SQInteger iPos) const;

    std::map<std::string, std::unique_ptr<Pool>> m_pools;
    FileReader m_fnRead;
    SaveRule m_fnSave;
};

#endif
