// The native script functions: argument checks, conversions and results.
#include "script/sq_hash_funcs.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>

#include "pool/digits.h"
#include "pool/hash_pool.h"
#include "pool/hash_pool_manager.h"
#include "script/number_text.h"

static constexpr size_t TEXT_SIZE = 512;

// The VM's integer as the pool's counters and number reading take it: 32 or 64 bits, as the
// script host is built.
using SqInt = std::conditional_t<sizeof(SQInteger) == 8, int64_t, int32_t>;
using SqUnsigned = std::make_unsigned_t<SqInt>;
static_assert(sizeof(SqInt) == sizeof(SQInteger));

// What a handler hands back when it fails: HLoad's false, HGet's null, or everyone else's null.
enum class Failure { False, NullAfterEmptyString, NullAfterFalse };

// The script host's API table, through which every handler reads its arguments and pushes its
// result.
static SquirrelApiTable& Sq() { return *quill::SquirrelApi(); }

static SQInteger Fail(HSQUIRRELVM vm, Failure eFailure) {
    if (eFailure == Failure::NullAfterEmptyString) {
        Sq().sq_pushstring(vm, "", -1);
        return 0;
    }
    Sq().sq_pushbool(vm, SQFalse);
    return eFailure == Failure::False ? 1 : 0;
}

static SQInteger PushBool(HSQUIRRELVM vm, bool bValue) {
    Sq().sq_pushbool(vm, bValue ? SQTrue : SQFalse);
    return 1;
}

// The one place where a C++ exception is stopped: a handler that runs out of memory gives its
// failure result instead of unwinding into the VM.
template <typename TBody>
static SQInteger Guard(HSQUIRRELVM vm, Failure eFailure, TBody body) noexcept {
    try {
        return body();
    } catch (...) {
        return Fail(vm, eFailure);
    }
}

// The string at a stack position, or null when the argument is not a string.
static const SQChar* GetString(HSQUIRRELVM vm, SQInteger iPos) {
    const SQChar* psz = nullptr;
    Sq().sq_getstring(vm, iPos, &psz);
    return psz;
}

// The open pool named by the string at position 2, or null.
static CHashPool* FindPool(HSQUIRRELVM vm) {
    const SQChar* pszName = GetString(vm, 2);
    if (pszName == nullptr) return nullptr;
    return CHashPoolManager::FindOrEnter(pszName);
}

// The same without entering the name in the registry, for the functions that only look. The VM
// has checked that position 2 holds a string.
static const CHashPool* PeekPool(HSQUIRRELVM vm) {
    const SQChar* pszName = nullptr;
    Sq().sq_getstring(vm, 2, &pszName);
    return CHashPoolManager::FindWithoutEntering(pszName);
}

// A script's position as the pool counts them: one below zero or past the last entry, in the
// VM's full width, becomes the first position past the last, so it finds nothing.
static uint32_t Position(SQInteger iPos, const CHashPool& pool) {
    if (iPos < 0 || static_cast<SQUnsignedInteger>(iPos) >= pool.Size()) return pool.Size();
    return static_cast<uint32_t>(iPos);
}

SQInteger CSQHashFuncs::Load(HSQUIRRELVM vm) {
    return Guard(vm, Failure::False, [vm]() -> SQInteger {
        if (Sq().sq_gettop(vm) != 3) return Fail(vm, Failure::False);
        const SQChar* pszName = GetString(vm, 2);
        const SQChar* pszPath = GetString(vm, 3);
        if (pszName == nullptr || pszPath == nullptr) return Fail(vm, Failure::False);
        CHashPool* pPool = CHashPoolManager::FindOrEnter(pszName);
        if (pPool == nullptr) pPool = CHashPoolManager::New(pszName);
        if (pPool == nullptr) return Fail(vm, Failure::False);
        // An unstorable path unbinds the pool rather than binding it to a cut path; the load
        // of the unbound pool then fails and leaves HError its reason.
        pPool->SetFile(pszPath);
        return PushBool(vm, pPool->Load());
    });
}

SQInteger CSQHashFuncs::Save(HSQUIRRELVM vm) {
    return Guard(vm, Failure::NullAfterFalse, [vm]() -> SQInteger {
        if (Sq().sq_gettop(vm) != 2) return Fail(vm, Failure::NullAfterFalse);
        CHashPool* pPool = FindPool(vm);
        if (pPool == nullptr) return Fail(vm, Failure::NullAfterFalse);
        return PushBool(vm, pPool->Save());
    });
}

SQInteger CSQHashFuncs::Close(HSQUIRRELVM vm) {
    return Guard(vm, Failure::NullAfterFalse, [vm]() -> SQInteger {
        if (Sq().sq_gettop(vm) != 2) return Fail(vm, Failure::NullAfterFalse);
        CHashPool* pPool = FindPool(vm);
        if (pPool == nullptr) return Fail(vm, Failure::NullAfterFalse);
        CHashPoolManager::Remove(pPool);
        return PushBool(vm, true);
    });
}

SQInteger CSQHashFuncs::Add(HSQUIRRELVM vm) {
    return Guard(vm, Failure::NullAfterFalse, [vm]() -> SQInteger {
        if (Sq().sq_gettop(vm) != 4) return Fail(vm, Failure::NullAfterFalse);
        const SQChar* pszKey = GetString(vm, 3);
        const SQChar* pszValue = nullptr;
        SQInteger iValue = 0;
        SQFloat fValue = 0;
        const SQObjectType eType = Sq().sq_gettype(vm, 4);
        if (eType == OT_STRING) {
            Sq().sq_getstring(vm, 4, &pszValue);
        } else if (eType == OT_INTEGER) {
            Sq().sq_getinteger(vm, 4, &iValue);
        } else if (eType == OT_FLOAT) {
            Sq().sq_getfloat(vm, 4, &fValue);
        } else {
            return Fail(vm, Failure::NullAfterFalse);
        }
        if (pszKey == nullptr) return Fail(vm, Failure::NullAfterFalse);
        CHashPool* pPool = FindPool(vm);
        if (pPool == nullptr) return Fail(vm, Failure::NullAfterFalse);
        char szText[quill::NUMBER_TEXT_SIZE] = {};
        if (eType == OT_INTEGER) {
            quill::IntegerText(iValue, szText);
            pszValue = szText;
        } else if (eType == OT_FLOAT) {
            quill::FloatText(fValue, szText);
            pszValue = szText;
        }
        if (pszValue == nullptr) return Fail(vm, Failure::NullAfterFalse);
        return PushBool(vm, pPool->Add(pszKey, pszValue));
    });
}

SQInteger CSQHashFuncs::Get(HSQUIRRELVM vm) {
    return Guard(vm, Failure::NullAfterEmptyString, [vm]() -> SQInteger {
        if (Sq().sq_gettop(vm) != 3) return Fail(vm, Failure::NullAfterEmptyString);
        const SQChar* pszKey = nullptr;
        SQInteger iPos = 0;
        const SQObjectType eType = Sq().sq_gettype(vm, 3);
        if (eType == OT_STRING) {
            Sq().sq_getstring(vm, 3, &pszKey);
        } else if (eType == OT_INTEGER) {
            Sq().sq_getinteger(vm, 3, &iPos);
        } else {
            return Fail(vm, Failure::NullAfterEmptyString);
        }
        CHashPool* pPool = FindPool(vm);
        if (pPool == nullptr) return Fail(vm, Failure::NullAfterEmptyString);
        const char* pszValue =
            eType == OT_STRING ? pPool->Get(pszKey) : pPool->GetIndex(Position(iPos, *pPool));
        // A script sees the value's first 511 bytes: one pass over them tells how many there
        // are and what they read as, and the VM copies the string from the pool itself.
        const CDigits::Scan<SqInt> scan = CDigits::ScanNum<SqInt>(pszValue, TEXT_SIZE - 1);
        if (scan.uiLen == 0) {
            Sq().sq_pushnull(vm);
        } else if (scan.bNum) {
            Sq().sq_pushinteger(vm, scan.iValue);
        } else {
            Sq().sq_pushstring(vm, pszValue, static_cast<SQInteger>(scan.uiLen));
        }
        return 1;
    });
}

// HInc and HDec differ only in the pool operation they call.
template <typename TCount>
static SQInteger ChangeCounter(HSQUIRRELVM vm, TCount count) {
    return Guard(vm, Failure::NullAfterFalse, [vm, count]() -> SQInteger {
        const SQInteger iTop = Sq().sq_gettop(vm);
        if (iTop <= 2) return Fail(vm, Failure::NullAfterFalse);
        SQInteger iAmount = 1;
        const SQChar* pszKey = GetString(vm, 3);
        if (iTop == 4) Sq().sq_getinteger(vm, 4, &iAmount);
        if (pszKey == nullptr) return Fail(vm, Failure::NullAfterFalse);
        CHashPool* pPool = FindPool(vm);
        if (pPool == nullptr) return Fail(vm, Failure::NullAfterFalse);
        count(pPool, pszKey, iAmount);
        return PushBool(vm, true);
    });
}

SQInteger CSQHashFuncs::Inc(HSQUIRRELVM vm) {
    return ChangeCounter(vm, [](CHashPool* pPool, const char* pszKey, SQInteger iAmount) {
        pPool->Inc<SqInt>(pszKey, static_cast<SqUnsigned>(iAmount));
    });
}

SQInteger CSQHashFuncs::Dec(HSQUIRRELVM vm) {
    return ChangeCounter(vm, [](CHashPool* pPool, const char* pszKey, SQInteger iAmount) {
        pPool->Dec<SqInt>(pszKey, static_cast<SqInt>(iAmount));
    });
}

SQInteger CSQHashFuncs::Del(HSQUIRRELVM vm) {
    return Guard(vm, Failure::NullAfterFalse, [vm]() -> SQInteger {
        if (Sq().sq_gettop(vm) != 3) return Fail(vm, Failure::NullAfterFalse);
        const SQChar* pszKey = GetString(vm, 3);
        if (pszKey == nullptr) return Fail(vm, Failure::NullAfterFalse);
        CHashPool* pPool = FindPool(vm);
        if (pPool == nullptr) return Fail(vm, Failure::NullAfterFalse);
        return PushBool(vm, pPool->Del(pszKey));
    });
}

SQInteger CSQHashFuncs::Count(HSQUIRRELVM vm) {
    return Guard(vm, Failure::NullAfterFalse, [vm]() -> SQInteger {
        const CHashPool* pPool = PeekPool(vm);
        if (pPool == nullptr) return Fail(vm, Failure::NullAfterFalse);
        Sq().sq_pushinteger(vm, static_cast<SQInteger>(pPool->Size()));
        return 1;
    });
}

SQInteger CSQHashFuncs::Has(HSQUIRRELVM vm) {
    return Guard(vm, Failure::NullAfterFalse, [vm]() -> SQInteger {
        const CHashPool* pPool = PeekPool(vm);
        if (pPool == nullptr) return Fail(vm, Failure::NullAfterFalse);
        const SQChar* pszKey = nullptr;
        Sq().sq_getstring(vm, 3, &pszKey);
        return PushBool(vm, pPool->Has(pszKey));
    });
}

SQInteger CSQHashFuncs::Key(HSQUIRRELVM vm) {
    return Guard(vm, Failure::NullAfterEmptyString, [vm]() -> SQInteger {
        const CHashPool* pPool = PeekPool(vm);
        SQInteger iPos = 0;
        Sq().sq_getinteger(vm, 3, &iPos);
        std::string_view svKey;
        if (pPool == nullptr || !pPool->KeyAt(Position(iPos, *pPool), svKey)) {
            return Fail(vm, Failure::NullAfterEmptyString);
        }
        // Keys hold no zero byte, so the length passes the whole key, however long.
        Sq().sq_pushstring(vm, svKey.data(), static_cast<SQInteger>(svKey.size()));
        return 1;
    });
}

SQInteger CSQHashFuncs::LastError(HSQUIRRELVM vm) {
    return Guard(vm, Failure::NullAfterEmptyString, [vm]() -> SQInteger {
        const CHashPool* pPool = PeekPool(vm);
        if (pPool == nullptr) return Fail(vm, Failure::NullAfterEmptyString);
        const std::string strLine = pPool->LastError();
        if (strLine.empty()) return Fail(vm, Failure::NullAfterEmptyString);
        Sq().sq_pushstring(vm, strLine.data(), static_cast<SQInteger>(strLine.size()));
        return 1;
    });
}
